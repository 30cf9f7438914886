// LD_PRELOAD stand-in for the camera's device drivers: descriptors opened on a simulated
// device path are real eventfds owned here, and their ioctls are answered by the simulation.
#include "devsim_internal.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using close_fn = int (*)(int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using dup_fn = int (*)(int);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);

template <typename F> F next_symbol(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

open_fn real_open()
{
    static open_fn f = next_symbol<open_fn>("open");
    return f;
}

open_fn real_open64()
{
    static open_fn f = next_symbol<open_fn>("open64");
    return f;
}

openat_fn real_openat()
{
    static openat_fn f = next_symbol<openat_fn>("openat");
    return f;
}

openat_fn real_openat64()
{
    static openat_fn f = next_symbol<openat_fn>("openat64");
    return f;
}

close_fn real_close()
{
    static close_fn f = next_symbol<close_fn>("close");
    return f;
}

ioctl_fn real_ioctl()
{
    static ioctl_fn f = next_symbol<ioctl_fn>("ioctl");
    return f;
}

dup_fn real_dup()
{
    static dup_fn f = next_symbol<dup_fn>("dup");
    return f;
}

dup2_fn real_dup2()
{
    static dup2_fn f = next_symbol<dup2_fn>("dup2");
    return f;
}

dup3_fn real_dup3()
{
    static dup3_fn f = next_symbol<dup3_fn>("dup3");
    return f;
}

// The simulated devices, keyed by their exact path. The capture drivers join this table.
const devsim::sim_device *const device_table[] = {
    &devsim::external_device,
};

// Which simulated device a descriptor belongs to (index + 1, 0 = not ours). Descriptors
// beyond the table are refused rather than left untracked.
constexpr int max_fd = 4096;
std::array<std::atomic<int>, max_fd> fd_owner{};

const devsim::sim_device *find_device(const char *path)
{
    if (path == nullptr)
        return nullptr;
    for (const devsim::sim_device *d : device_table)
        if (std::strcmp(path, d->path) == 0)
            return d;
    return nullptr;
}

int index_of(const devsim::sim_device *d)
{
    for (size_t i = 0; i < sizeof device_table / sizeof device_table[0]; i++)
        if (device_table[i] == d)
            return static_cast<int>(i);
    return -1;
}

const devsim::sim_device *owner_of(int fd)
{
    if (fd < 0 || fd >= max_fd)
        return nullptr;
    int v = fd_owner[fd].load();
    return v == 0 ? nullptr : device_table[v - 1];
}

int sim_open(const devsim::sim_device *d, int flags)
{
    int err = d->open(flags);
    if (err != 0) {
        errno = err;
        return -1;
    }
    int fd = eventfd(0, (flags & O_CLOEXEC) ? EFD_CLOEXEC : 0);
    if (fd < 0)
        return -1;
    if (fd >= max_fd) {
        real_close()(fd);
        errno = EMFILE;
        return -1;
    }
    fd_owner[fd].store(index_of(d) + 1);
    return fd;
}

// A copy of a device descriptor is the same device; a descriptor replaced by dup2 is not.
int track_copy(int from, int to)
{
    if (to < 0)
        return to;
    const devsim::sim_device *d = owner_of(from);
    if (to >= max_fd) {
        if (d != nullptr) {
            real_close()(to);
            errno = EMFILE;
            return -1;
        }
        return to;
    }
    fd_owner[to].store(d ? index_of(d) + 1 : 0);
    return to;
}

mode_t mode_arg(int flags, va_list ap)
{
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

} // namespace

extern "C" {

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);

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

// The fortified entry points that glibc's headers may route open() through.
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
    if (owner_of(fd) != nullptr)
        fd_owner[fd].store(0);
    return real_close()(fd);
}

ZENT_EXPORT int dup(int fd)
{
    return track_copy(fd, real_dup()(fd));
}

ZENT_EXPORT int dup2(int fd, int fd2)
{
    return track_copy(fd, real_dup2()(fd, fd2));
}

ZENT_EXPORT int dup3(int fd, int fd2, int flags)
{
    return track_copy(fd, real_dup3()(fd, fd2, flags));
}

ZENT_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (const devsim::sim_device *d = owner_of(fd)) {
        int err = d->ioctl(request, arg);
        if (err != 0) {
            errno = err;
            return -1;
        }
        return 0;
    }
    return real_ioctl()(fd, request, arg);
}

} // extern "C"
