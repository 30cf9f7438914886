/* What the interposition layer of the device stand-in needs to know about each simulated
 * device, and the helpers it lends the simulated drivers (log, user copies, readiness). */
#ifndef DEVSIM_INTERNAL_H
#define DEVSIM_INTERNAL_H

#include "export.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace devsim
{

/* A simulated driver. Every hook answers like a kernel driver: a result >= 0, or -errno.
 * `state` is the driver's per-open record, made by `open` and shared by every copy of the
 * descriptor (dup) and every mapping made through it; `release` runs when the last of those
 * is gone. A null hook makes the call fail as a driver without that operation would. */
struct sim_device {
    const char *path;
    /* `efd`: the driver's own copy of the caller's eventfd, valid until release; the driver
     * makes the caller's descriptor readable through it. */
    int (*open)(int efd, int flags, void **state);
    void (*release)(void *state);
    long (*ioctl)(void *state, unsigned long request, unsigned long arg);
    /* Checks a mapping; on success *backing names the descriptor that is really mapped, at
     * the same offset. */
    int (*mmap)(void *state, size_t len, int prot, int flags, off_t off, int *backing);
    void (*munmap)(void *state, off_t off, size_t len);
    long (*read)(void *state, void *buf, size_t n);
    long (*write)(void *state, const void *buf, size_t n);
};

extern const sim_device external_device;
extern const sim_device capture_device_0;
extern const sim_device capture_device_1;
extern const sim_device user_encode_device;

/* Re-reads DEVSIM_LOG (drivers call it at each open) and writes one line to it. */
void log_reopen();
void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Copies from the caller's memory like copy_from_user: 0, or EFAULT when any byte of the
 * range is unreadable. */
int copy_from_user(void *dst, uint64_t addr, size_t n);

/* Level readiness of a descriptor: readable after set, not after clear. */
void ready_set(int efd);
void ready_clear(int efd);

/* The drivers' settings from the environment: a variable's text ("" when unset), a number in
 * C notation (the fallback when empty or malformed), a list without its empty items. */
std::string env(const char *name);
long parse_num(const std::string &s, long fallback);
std::vector<std::string> split(const std::string &s, char sep);

/* A request block's words for the log: "w0,w1,...". */
std::string words_text(const uint32_t *w, int n);

const char *err_name(int err);
size_t page_size();
size_t page_round(size_t n);

} // namespace devsim

#endif
