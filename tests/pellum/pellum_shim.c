/* Test double preloaded into the launcher: reports a chosen free-memory figure through
 * sysinfo() and records every syslog message with its priority and a monotonic time. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysinfo.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#define SHIM_EXPORT __attribute__((visibility("default")))

typedef int (*sysinfo_fn)(struct sysinfo *);
typedef void (*vsyslog_fn)(int, const char *, va_list);
typedef void (*vsyslog_chk_fn)(int, int, const char *, va_list);

/* "KB UNIT" in the file named by PELLUM_SHIM_MEMINFO replaces the free-RAM figure: the
 * kernel's count of UNIT-byte units that make KB kilobytes. Read at every call. */
SHIM_EXPORT int sysinfo(struct sysinfo *info)
{
    sysinfo_fn real = (sysinfo_fn)dlsym(RTLD_NEXT, "sysinfo");
    int rc = real != NULL ? real(info) : -1;
    const char *path = getenv("PELLUM_SHIM_MEMINFO");
    if (rc != 0 || path == NULL)
        return rc;
    FILE *f = fopen(path, "re");
    if (f == NULL)
        return rc;
    unsigned long long kb = 0;
    unsigned unit = 0;
    if (fscanf(f, "%llu %u", &kb, &unit) == 2 && unit > 0) {
        info->mem_unit = unit;
        info->freeram = (unsigned long)(kb * 1024ULL / unit);
    }
    fclose(f);
    return rc;
}

static void record(int priority, const char *format, va_list ap)
{
    const char *path = getenv("PELLUM_SHIM_SYSLOG");
    if (path == NULL)
        return;
    char message[4096];
    vsnprintf(message, sizeof message, format, ap);
    char line[4200];
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int n = snprintf(line, sizeof line, "%lld.%03ld %d ", (long long)ts.tv_sec,
                     ts.tv_nsec / 1000000, priority & LOG_PRIMASK);
    /* One record per line: line breaks inside a message are escaped. */
    for (const char *c = message; *c != '\0' && n < (int)sizeof line - 3; ++c) {
        if (*c == '\n' || *c == '\r') {
            line[n++] = '\\';
            line[n++] = *c == '\n' ? 'n' : 'r';
        } else {
            line[n++] = *c;
        }
    }
    line[n++] = '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t w = write(fd, line, (size_t)n);
    (void)w;
    close(fd);
}

SHIM_EXPORT void vsyslog(int priority, const char *format, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    record(priority, format, copy);
    va_end(copy);
    vsyslog_fn real = (vsyslog_fn)dlsym(RTLD_NEXT, "vsyslog");
    if (real != NULL)
        real(priority, format, ap);
}

SHIM_EXPORT void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

SHIM_EXPORT void __vsyslog_chk(int priority, int flag, const char *format, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    record(priority, format, copy);
    va_end(copy);
    vsyslog_chk_fn real = (vsyslog_chk_fn)dlsym(RTLD_NEXT, "__vsyslog_chk");
    if (real != NULL)
        real(priority, flag, format, ap);
}

SHIM_EXPORT void __syslog_chk(int priority, int flag, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    __vsyslog_chk(priority, flag, format, ap);
    va_end(ap);
}
