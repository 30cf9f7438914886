/* What the interposition layer of the device stand-in needs to know about each simulated
 * device: its exact path, how it answers open and ioctl. */
#ifndef DEVSIM_INTERNAL_H
#define DEVSIM_INTERNAL_H

#include "export.h"

namespace devsim
{

struct sim_device {
    const char *path;
    /* 0, or the errno with which open fails. */
    int (*open)(int flags);
    /* 0, or the errno with which the ioctl fails. */
    int (*ioctl)(unsigned long request, void *arg);
};

extern const sim_device external_device;

} // namespace devsim

#endif
