// LD_PRELOAD stand-in for the camera's device drivers: descriptors opened on a simulated
// device path are real eventfds owned here (so poll and select work unchanged), and their
// ioctl, mmap, read and write calls are answered by the simulated drivers.
#include "devsim_internal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace
{

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using close_fn = int (*)(int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using dup_fn = int (*)(int);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);
using mmap_fn = void *(*)(void *, size_t, int, int, int, off_t);
using mmap64_fn = void *(*)(void *, size_t, int, int, int, off64_t);
using munmap_fn = int (*)(void *, size_t);
using read_fn = ssize_t (*)(int, void *, size_t);
using write_fn = ssize_t (*)(int, const void *, size_t);

template <typename F> F next_symbol(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define DEVSIM_REAL(type, name)                                                                    \
    type real_##name()                                                                             \
    {                                                                                              \
        static type f = next_symbol<type>(#name);                                                  \
        return f;                                                                                  \
    }

DEVSIM_REAL(open_fn, open)
DEVSIM_REAL(open_fn, open64)
DEVSIM_REAL(openat_fn, openat)
DEVSIM_REAL(openat_fn, openat64)
DEVSIM_REAL(close_fn, close)
DEVSIM_REAL(ioctl_fn, ioctl)
DEVSIM_REAL(dup_fn, dup)
DEVSIM_REAL(dup2_fn, dup2)
DEVSIM_REAL(dup3_fn, dup3)
DEVSIM_REAL(mmap_fn, mmap)
DEVSIM_REAL(mmap64_fn, mmap64)
DEVSIM_REAL(munmap_fn, munmap)
DEVSIM_REAL(read_fn, read)
DEVSIM_REAL(write_fn, write)

#undef DEVSIM_REAL

// The simulated devices, keyed by their exact path.
const devsim::sim_device *const device_table[] = {
    &devsim::external_device,
    &devsim::capture_device_0,
    &devsim::capture_device_1,
    &devsim::user_encode_device,
};

// One open of a device, as the kernel's open file: shared by the descriptor's copies and by
// the mappings made through it, released with the last of them.
struct open_file {
    const devsim::sim_device *dev;
    void *state;
    int efd; // the driver's own copy of the eventfd
    std::atomic<int> refs;
    pid_t pid; // the process whose driver state this is
};

// Which open a descriptor belongs to (null = not ours). Descriptors beyond the table are
// refused rather than left untracked.
constexpr int max_fd = 4096;
std::array<std::atomic<open_file *>, max_fd> fd_table{};
std::mutex table_mu;

struct mapping {
    uintptr_t start;
    size_t len;
    off_t off;
    open_file *file;
};
// Never destroyed: libraries may still unmap while the process exits.
std::mutex map_mu;
std::vector<mapping> &mappings = *new std::vector<mapping>;
std::atomic<int> mapping_count{0};

const devsim::sim_device *find_device(const char *path)
{
    if (path == nullptr)
        return nullptr;
    for (const devsim::sim_device *d : device_table)
        if (std::strcmp(path, d->path) == 0)
            return d;
    return nullptr;
}

// Takes a reference on the open behind fd, or null for everything that is not ours (the
// lock-free test keeps other descriptors on the fast path).
open_file *acquire(int fd)
{
    if (fd < 0 || fd >= max_fd || fd_table[fd].load(std::memory_order_acquire) == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(table_mu);
    open_file *f = fd_table[fd].load();
    if (f != nullptr)
        f->refs++;
    return f;
}

void put(open_file *f)
{
    if (f == nullptr || --f->refs > 0)
        return;
    // A forked child that closes its inherited copies (before an exec, say) must not tear
    // down the parent's driver state: its threads do not exist in the child.
    if (f->dev->release != nullptr && f->pid == getpid())
        f->dev->release(f->state);
    real_close()(f->efd);
    delete f;
}

int fail(long err)
{
    errno = static_cast<int>(-err);
    return -1;
}

int sim_open(const devsim::sim_device *d, int flags)
{
    // Non-blocking so that the drivers can drain readiness; the caller never reads it
    // directly (read is answered by the driver).
    int fd = eventfd(0, EFD_NONBLOCK | ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    if (fd < 0)
        return -1;
    if (fd >= max_fd) {
        real_close()(fd);
        errno = EMFILE;
        return -1;
    }
    // The driver's copy stays above the tracked range where the descriptor limit allows.
    int efd = fcntl(fd, F_DUPFD_CLOEXEC, max_fd);
    if (efd < 0)
        efd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (efd < 0) {
        int e = errno;
        real_close()(fd);
        errno = e;
        return -1;
    }
    void *state = nullptr;
    int r = d->open(efd, flags, &state);
    if (r < 0) {
        real_close()(efd);
        real_close()(fd);
        return fail(r);
    }
    auto *f = new open_file{d, state, efd, {1}, getpid()};
    std::lock_guard<std::mutex> lock(table_mu);
    fd_table[fd].store(f, std::memory_order_release);
    return fd;
}

// A copy of a device descriptor is the same open; a descriptor replaced by dup2 is closed.
int track_copy(int from, int to, open_file *f)
{
    if (to < 0) {
        put(f);
        return to;
    }
    if (to >= max_fd) {
        if (f != nullptr) {
            real_close()(to);
            put(f);
            errno = EMFILE;
            return -1;
        }
        return to;
    }
    (void)from;
    open_file *old = nullptr;
    {
        std::lock_guard<std::mutex> lock(table_mu);
        old = fd_table[to].exchange(f);
    }
    put(old);
    return to;
}

mode_t mode_arg(int flags, va_list ap)
{
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

// Off is off_t or off64_t, which differ on 32-bit targets such as the camera.
template <typename Off, typename Real>
void *sim_mmap(open_file *f, void *addr, size_t len, int prot, int flags, Off off, Real real)
{
    // The drivers hand out small offsets; one that off_t cannot hold is none of them.
    if (static_cast<Off>(static_cast<off_t>(off)) != off) {
        put(f);
        fail(-EINVAL);
        return MAP_FAILED;
    }
    int backing = -1;
    const off_t at = static_cast<off_t>(off);
    long r = f->dev->mmap ? f->dev->mmap(f->state, len, prot, flags, at, &backing) : -ENODEV;
    if (r < 0) {
        put(f);
        fail(r);
        return MAP_FAILED;
    }
    void *p = real(addr, len, prot, flags, backing, off);
    if (p == MAP_FAILED) {
        put(f);
        return p;
    }
    // The mapping keeps its reference on the open, like a kernel mapping keeps the file.
    std::lock_guard<std::mutex> lock(map_mu);
    mappings.push_back({reinterpret_cast<uintptr_t>(p), len, at, f});
    mapping_count.store(static_cast<int>(mappings.size()));
    return p;
}

} // namespace

namespace devsim
{
namespace
{
std::mutex log_mu;
int log_fd = -1;
std::string &log_path = *new std::string;
} // namespace

std::string env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t pos = s.find(sep, start);
        if (pos == std::string::npos)
            pos = s.size();
        if (pos > start)
            out.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
    return out;
}

long parse_num(const std::string &s, long fallback)
{
    if (s.empty())
        return fallback;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0')
        return fallback;
    return v;
}

std::string words_text(const uint32_t *w, int n)
{
    std::string s;
    char b[16];
    for (int i = 0; i < n; i++) {
        std::snprintf(b, sizeof b, i ? ",%u" : "%u", w[i]);
        s += b;
    }
    return s;
}

void log_reopen()
{
    const char *v = std::getenv("DEVSIM_LOG");
    std::string path = v ? v : "";
    std::lock_guard<std::mutex> lock(log_mu);
    if (path == log_path && (log_fd >= 0 || path.empty()))
        return;
    if (log_fd >= 0)
        real_close()(log_fd);
    log_fd = -1;
    log_path = path;
    if (!path.empty())
        log_fd = real_open()(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void log_line(const char *fmt, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), sizeof line - 1);
    if (len == sizeof line - 1)
        line[len - 1] = '\n'; // a cut line still ends its line
    std::lock_guard<std::mutex> lock(log_mu);
    if (log_fd < 0)
        return;
    // One write per line on an O_APPEND descriptor keeps lines whole across processes.
    ssize_t w = real_write()(log_fd, line, len);
    (void)w;
}

namespace
{
// The kernel checks the source of a pipe write: EFAULT instead of a fault.
int copy_through_pipe(void *dst, uint64_t addr, size_t n)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return EFAULT;
    int err = 0;
    auto *src = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(addr));
    auto *out = static_cast<uint8_t *>(dst);
    for (size_t done = 0; done < n && err == 0;) {
        size_t chunk = std::min<size_t>(n - done, 4096);
        ssize_t w = real_write()(p[1], src + done, chunk);
        if (w <= 0 || real_read()(p[0], out + done, static_cast<size_t>(w)) != w)
            err = EFAULT;
        else
            done += static_cast<size_t>(w);
    }
    real_close()(p[0]);
    real_close()(p[1]);
    return err;
}
} // namespace

int copy_from_user(void *dst, uint64_t addr, size_t n)
{
    if (n == 0)
        return 0;
    if (addr == 0)
        return EFAULT;
    // The kernel's own check of the caller's memory: an unmapped address fails the copy
    // instead of faulting the simulated driver.
    iovec local{dst, n};
    iovec remote{reinterpret_cast<void *>(static_cast<uintptr_t>(addr)), n};
    ssize_t r = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (r == static_cast<ssize_t>(n))
        return 0;
    if (r < 0 && (errno == ENOSYS || errno == EPERM))
        return copy_through_pipe(dst, addr, n); // a sandbox without the call
    return EFAULT;
}

void ready_set(int efd)
{
    uint64_t one = 1;
    ssize_t w = real_write()(efd, &one, sizeof one);
    (void)w;
}

void ready_clear(int efd)
{
    uint64_t v;
    ssize_t r = real_read()(efd, &v, sizeof v);
    (void)r;
}

const char *err_name(int err)
{
    switch (err) {
    case 0:
        return "ok";
    case EIO:
        return "EIO";
    case EINVAL:
        return "EINVAL";
    case EFAULT:
        return "EFAULT";
    case ENOTTY:
        return "ENOTTY";
    case ENOSPC:
        return "ENOSPC";
    case ENOMEM:
        return "ENOMEM";
    case EBUSY:
        return "EBUSY";
    case ENOENT:
        return "ENOENT";
    case ENODEV:
        return "ENODEV";
    default:
        return "error";
    }
}

size_t page_size()
{
    static const size_t p = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return p;
}

size_t page_round(size_t n)
{
    size_t p = page_size();
    return (n + p - 1) / p * p;
}

} // namespace devsim

extern "C" {

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen);

ZENT_EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (const devsim::sim_device *d = find_device(path))
        return sim_open(d, flags);
    return real_open()(path, flags, mode);
}

ZENT_EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (const devsim::sim_device *d = find_device(path))
        return sim_open(d, flags);
    return real_open64()(path, flags, mode);
}

ZENT_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (const devsim::sim_device *d = find_device(path))
        return sim_open(d, flags);
    return real_openat()(dirfd, path, flags, mode);
}

ZENT_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (const devsim::sim_device *d = find_device(path))
        return sim_open(d, flags);
    return real_openat64()(dirfd, path, flags, mode);
}

// The fortified entry points that glibc's headers may route open() and read() through.
ZENT_EXPORT int __open_2(const char *path, int flags)
{
    return open(path, flags);
}

ZENT_EXPORT int __open64_2(const char *path, int flags)
{
    return open64(path, flags);
}

ZENT_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    return openat(dirfd, path, flags);
}

ZENT_EXPORT int close(int fd)
{
    if (fd >= 0 && fd < max_fd && fd_table[fd].load(std::memory_order_acquire) != nullptr) {
        open_file *f = nullptr;
        {
            std::lock_guard<std::mutex> lock(table_mu);
            f = fd_table[fd].exchange(nullptr);
        }
        int r = real_close()(fd);
        put(f);
        return r;
    }
    return real_close()(fd);
}

ZENT_EXPORT int dup(int fd)
{
    open_file *f = acquire(fd);
    return track_copy(fd, real_dup()(fd), f);
}

ZENT_EXPORT int dup2(int fd, int fd2)
{
    if (fd == fd2)
        return real_dup2()(fd, fd2);
    open_file *f = acquire(fd);
    return track_copy(fd, real_dup2()(fd, fd2), f);
}

ZENT_EXPORT int dup3(int fd, int fd2, int flags)
{
    open_file *f = acquire(fd);
    return track_copy(fd, real_dup3()(fd, fd2, flags), f);
}

ZENT_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    if (open_file *f = acquire(fd)) {
        long r = f->dev->ioctl ? f->dev->ioctl(f->state, request, arg) : -ENOTTY;
        put(f);
        if (r < 0)
            return fail(r);
        return static_cast<int>(r);
    }
    return real_ioctl()(fd, request, arg);
}

ZENT_EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    if (!(flags & MAP_ANONYMOUS))
        if (open_file *f = acquire(fd))
            return sim_mmap(f, addr, len, prot, flags, off, real_mmap());
    return real_mmap()(addr, len, prot, flags, fd, off);
}

ZENT_EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    if (!(flags & MAP_ANONYMOUS))
        if (open_file *f = acquire(fd))
            return sim_mmap(f, addr, len, prot, flags, off, real_mmap64());
    return real_mmap64()(addr, len, prot, flags, fd, off);
}

ZENT_EXPORT int munmap(void *addr, size_t len)
{
    if (mapping_count.load(std::memory_order_acquire) == 0)
        return real_munmap()(addr, len);
    // Mappings wholly inside the range are gone; a partly unmapped one keeps its open.
    std::vector<mapping> gone;
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    uintptr_t end = a + devsim::page_round(len);
    {
        std::lock_guard<std::mutex> lock(map_mu);
        auto it = std::remove_if(mappings.begin(), mappings.end(), [&](const mapping &m) {
            if (m.start >= a && m.start + m.len <= end) {
                gone.push_back(m);
                return true;
            }
            return false;
        });
        mappings.erase(it, mappings.end());
        mapping_count.store(static_cast<int>(mappings.size()));
    }
    int r = real_munmap()(addr, len);
    for (const mapping &m : gone) {
        if (m.file->dev->munmap != nullptr)
            m.file->dev->munmap(m.file->state, m.off, std::min(m.len, len));
        put(m.file);
    }
    return r;
}

ZENT_EXPORT ssize_t read(int fd, void *buf, size_t n)
{
    if (open_file *f = acquire(fd)) {
        long r = f->dev->read ? f->dev->read(f->state, buf, n) : -EINVAL;
        put(f);
        return r < 0 ? fail(r) : r;
    }
    return real_read()(fd, buf, n);
}

ZENT_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    if (n > buflen)
        abort();
    return read(fd, buf, n);
}

ZENT_EXPORT ssize_t write(int fd, const void *buf, size_t n)
{
    if (open_file *f = acquire(fd)) {
        long r = f->dev->write ? f->dev->write(f->state, buf, n) : -EINVAL;
        put(f);
        return r < 0 ? fail(r) : r;
    }
    return real_write()(fd, buf, n);
}

} // extern "C"
