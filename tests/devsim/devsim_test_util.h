// Helpers of the driver protocol tests: a scratch directory with the driver log, memory
// below 4 GiB for records whose address travels in a 32-bit word, readiness with a deadline.
#ifndef DEVSIM_TEST_UTIL_H
#define DEVSIM_TEST_UTIL_H

#include "test_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace devsim_test
{

class ScratchTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = test_files::make_scratch_dir(SCRATCH_DIR, "devsim");
        ASSERT_FALSE(dir_.empty());
        log_ = dir_ + "/devsim.log";
        for (const char *v : {"DEVSIM_CAM_MISSING", "DEVSIM_CAM_FAIL", "DEVSIM_CAM_FAIL_MMAP",
                              "DEVSIM_CAM_SENSOR", "DEVSIM_UE_MISSING", "DEVSIM_UE_FAIL",
                              "DEVSIM_UE_FAIL_MMAP", "DEVSIM_UE_FAIL_WRITE", "DEVSIM_UE_HANG"})
            unsetenv(v);
        setenv("ZENT_ROOT", dir_.c_str(), 1);
        setenv("DEVSIM_LOG", log_.c_str(), 1);
    }

    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::vector<std::string> log_lines() const { return test_files::file_lines(log_); }

    int log_count(const std::string &needle) const
    {
        int n = 0;
        for (const std::string &l : log_lines())
            n += l.find(needle) != std::string::npos;
        return n;
    }

    std::string dir_, log_;
};

// Memory whose address fits the 32-bit word of a request block, as the module allocates it.
inline void *low_alloc(size_t n)
{
#ifdef MAP_32BIT
    constexpr int low = MAP_32BIT;
#else
    constexpr int low = 0; // a 32-bit target (the camera) has no other addresses
    static_assert(sizeof(void *) == 4, "a 64-bit target without MAP_32BIT needs another way");
#endif
    void *p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | low, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

inline uint32_t low_word(const void *p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

inline bool readable(int fd, int timeout_ms = 0)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN);
}

// Waits up to `ms` for readiness to reach the wanted level.
inline bool wait_readable(int fd, bool want, int ms = 2000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (readable(fd, want ? 10 : 0) == want)
            return true;
        if (!want)
            usleep(200);
    }
    return false;
}

// ioctl result as a value or -errno.
template <typename A> long req(int fd, uint32_t request, A arg)
{
    errno = 0;
    int r = ioctl(fd, static_cast<unsigned long>(request), arg);
    return r < 0 ? -errno : r;
}

} // namespace devsim_test

#endif
