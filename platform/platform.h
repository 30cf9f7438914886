/* Platform hooks: the sanity check that fills the warning registry, restart and shutdown, and
 * the image sizes the application should request. */
#ifndef ZENT_PLATFORM_PLATFORM_H
#define ZENT_PLATFORM_PLATFORM_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Re-evaluates the time, time-sync, rotation and zoom warnings and repairs a capture mode
 * known not to work. 0 when the checks ran, -1 (and ERROR_SANE_CHECK) when a needed value is
 * missing. */
ZENT_EXPORT int platform_check_sanity(void);

/* Reboots the camera three seconds from now; the result of starting that. */
ZENT_EXPORT int platform_restart(void);

/* No effect on this platform. */
ZENT_EXPORT void platform_shutdown(void);

/* Always 0: nothing asks the application to quit on this platform. */
ZENT_EXPORT int get_quit_signal(void);

ZENT_EXPORT int platform_default_image_width(void);
ZENT_EXPORT int platform_default_image_height(void);
ZENT_EXPORT int platform_max_image_width(void);
ZENT_EXPORT int platform_max_image_height(void);
ZENT_EXPORT int platform_highres_image_width(void);
ZENT_EXPORT int platform_highres_image_height(void);

#ifdef __cplusplus
}
#endif

#endif
