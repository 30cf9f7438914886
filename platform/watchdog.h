/* File-based watchdog: the application kicks "/tmp/watchme"; a heartbeat left unchanged for
 * a whole period reboots the camera. */
#ifndef ZENT_PLATFORM_WATCHDOG_H
#define ZENT_PLATFORM_WATCHDOG_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Rewrites the heartbeat file with "Kick!". */
ZENT_EXPORT void watchdog_kick(void);

/* Kicks once, then checks the heartbeat every period (60 s); when it went a whole period
 * without a kick (or the file vanished) it reboots the camera and ends the process with
 * status 0. Does not return. */
ZENT_EXPORT void watchdog_main(void);

#ifdef __cplusplus
}
#endif

#endif
