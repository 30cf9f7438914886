// Allocation below 4 GiB for records whose address travels in a 32-bit driver word.
#include "low_alloc.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

#if UINTPTR_MAX > 0xffffffffu
constexpr std::uintptr_t kLimit = std::uintptr_t{1} << 32;

std::size_t page_round(std::size_t size)
{
    long page = sysconf(_SC_PAGESIZE);
    std::size_t p = page > 0 ? static_cast<std::size_t>(page) : 4096;
    return (size + p - 1) / p * p;
}

void *map_low(std::size_t len)
{
#ifdef MAP_32BIT
    // x86-64 places MAP_32BIT mappings in the first 2 GiB.
    void *p =
        mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p != MAP_FAILED && reinterpret_cast<std::uintptr_t>(p) + len <= kLimit)
        return p;
    if (p != MAP_FAILED)
        munmap(p, len);
#endif
    // Elsewhere probe low addresses; MAP_FIXED_NOREPLACE never clobbers an existing mapping.
    for (std::uintptr_t addr = 0x10000000u; addr + len <= kLimit; addr += 0x01000000u) {
        void *q = mmap(reinterpret_cast<void *>(addr), len, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (q == MAP_FAILED)
            continue;
        if (q == reinterpret_cast<void *>(addr))
            return q;
        munmap(q, len); // an old kernel ignored the flag and put it elsewhere
    }
    return nullptr;
}
#endif

} // namespace

extern "C" void *zent_low_alloc(size_t size)
{
    if (size == 0)
        return nullptr;
#if UINTPTR_MAX > 0xffffffffu
    return map_low(page_round(size));
#else
    return std::calloc(1, size);
#endif
}

extern "C" void zent_low_free(void *p, size_t size)
{
    if (p == nullptr)
        return;
#if UINTPTR_MAX > 0xffffffffu
    munmap(p, page_round(size));
#else
    (void)size;
    std::free(p);
#endif
}
