/* What the application knows of the camera it runs on: identity, firmware, network facts,
 * zoom and lens optics from the per-model tables, build information and factory defaults. */
#ifndef ZENT_PLATFORM_CAMERA_PROPS_H
#define ZENT_PLATFORM_CAMERA_PROPS_H

#include "export.h"
#include "zent_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result buffer sizes of the buffered getters (the text is cut to one less). */
#define ZENT_BONJOUR_NAME_SIZE 200
#define ZENT_CAPTURE_MODE_SIZE 10
#define ZENT_IP_SIZE 16
#define ZENT_TIMEZONE_SIZE 100

/* Cached camera texts, read once and kept until zent_param_cleanup; the empty text (not
 * cached) while the parameter cannot be read. */
ZENT_EXPORT const char *zent_param_get_boa_port(void);
ZENT_EXPORT const char *zent_param_get_camera_model(void);
ZENT_EXPORT const char *zent_param_get_serialno(void);
ZENT_EXPORT const char *zent_param_get_hwid(void);

/* "Orvex". */
ZENT_EXPORT const char *zent_param_get_manufacturer(void);

/* The firmware version, parsed once from root.Properties.Firmware.Version; empty (all -1)
 * while the parameter is empty. */
ZENT_EXPORT zent_version *zent_param_get_firmware_version(void);

/* Buffered getters: process-wide buffers, overwritten by the next call of the same getter.
 * The setters return 0 when the value is unchanged or written, 1 on failure, and raise the
 * updated flag when they wrote. */
ZENT_EXPORT const char *zent_param_get_bonjour_name(void);
ZENT_EXPORT int zent_param_set_bonjour_name(const char *name);
ZENT_EXPORT const char *zent_param_get_capture_mode(void);
ZENT_EXPORT int zent_param_set_capture_mode(const char *mode);
ZENT_EXPORT const char *zent_param_get_ip(void);
ZENT_EXPORT const char *zent_param_get_timezone(void);

/* Seconds since boot, -1.0 when they cannot be read. */
ZENT_EXPORT float zent_param_get_uptime(void);

/* 30 on the high frame-rate models, else 20. */
ZENT_EXPORT int zent_param_get_fps(void);

/* 1 when wide (16:9) capture is possible: asked for, a wide model and firmware 5.40 or
 * later; an older firmware raises ERROR_OLD_FIRMWARE. */
ZENT_EXPORT int zent_param_wide_mode_supported(void);

/* Writes Counter.DigitalZoom; returns 0. */
ZENT_EXPORT int zent_param_set_digital_zoom(const char *zoom);

/* Focal length in millimetres at digital zoom position `zoom` (0 ... 9999), interpolated in
 * the camera's lens row; 0.0 without a row. */
ZENT_EXPORT float interpolate_dzoom_lens(int zoom);

/* Magnification of digital zoom position `zoom` against position 0. */
ZENT_EXPORT float zent_param_get_dzoom_factor(int zoom);

/* Sensor width in millimetres, -1.0 when unavailable. */
ZENT_EXPORT float zent_param_get_ccdw(void);

/* 1 when the camera has a motorised zoom, else 0. */
ZENT_EXPORT int zent_param_camera_has_tz7_zoom(void);

/* Motorised zoom position 0 ... 9999; 9999 without motorised zoom, -1 when unknown. */
ZENT_EXPORT int zent_param_get_tz7_zoom(void);

/* Setting the zoom is not supported: logs and sends nothing. */
ZENT_EXPORT void zent_param_set_zoom(int zoom);

/* Zoom position from the camera's position query, -1 on failure or without an account. */
ZENT_EXPORT int zent_param_get_digital_zoom(void);

/* Optical zoom position 0.0 ... 1.0; 0.0 without optics control or on failure (which raises
 * GET_ZOOM_ERROR, and SYS_PWD_ERROR when the camera account is refused). */
ZENT_EXPORT float zent_param_get_optical_zoom(void);

/* Lens constant, 0.0 when unavailable. */
ZENT_EXPORT float zent_param_get_lens_lambda(void);

/* Focal length in millimetres at the current optical zoom, -1.0 when unavailable. The
 * argument is not used. */
ZENT_EXPORT float zent_param_get_lens_live_zoom(int unused);

/* Focal length in millimetres (Counter.Lens on a faked model). */
ZENT_EXPORT float zent_param_get_lens(void);

/* Build information of the package. The build string, date and product are returned in the
 * calling thread's parameter buffer; the version string is a constant. */
ZENT_EXPORT zent_version *zent_param_get_build_version(void);
ZENT_EXPORT const char *zent_param_get_build_version_string(void);
ZENT_EXPORT const char *zent_param_get_build_string(void);
ZENT_EXPORT const char *zent_param_get_build_date(void);
ZENT_EXPORT const char *zent_param_get_build_product(void);

/* Writes the factory defaults of "/usr/local/packages/stereo/param.conf.default" and
 * commits them; the result of the commit. */
ZENT_EXPORT int param_factory_defaults(void);

/* Records the image size the parameter pages report; both -1 until set. */
ZENT_EXPORT void param_set_current_size(int width, int height);

#ifdef __cplusplus
}

#include <string>

/* Inside the library. */
namespace zent_props
{
/* The size recorded by param_set_current_size (-1, -1 until set). */
void current_size(int *width, int *height);
/* The optical zoom with whether it was read: failures are not positions. */
bool optical_zoom(float *position);
/* The camera account used for the camera's own HTTP interfaces (empty texts when unset). */
std::string account_name();
std::string account_password();
/* Drops the cached texts (zent_param_cleanup). */
void drop_caches();
} // namespace zent_props
#endif

#endif
