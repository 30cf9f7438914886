/* Stereo capture on the camera's two capture channels: channel set-up on a crop window with
 * the hardware scaler, frame buffers shared with the driver, oldest-first frames, left/right
 * pairing within 20 ms, and the camera object the application holds. */
#ifndef ZENT_PLATFORM_CAPTURE_H
#define ZENT_PLATFORM_CAPTURE_H

#include "export.h"

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CAP_MAX_BUFFERS 40
#define CAP_HEADER_SIZE 128
/* Byte offsets of the header words this side reads or writes. */
#define CAP_HDR_STATE 32
#define CAP_HDR_CHANNEL_TAG 40
#define CAP_HDR_USER_SEC 44
#define CAP_HDR_USER_USEC 48
#define CAP_HDR_CAPTURE_SEC 52
#define CAP_HDR_CAPTURE_USEC 56
/* Buffer states: the driver's to fill, or filled and the application's. */
#define CAP_STATE_DRIVER 2
#define CAP_STATE_FILLED 3
/* Pairs whose user timestamps differ by more than this are not one stereo frame. */
#define CAP_PAIR_WINDOW_USEC 20000

/* Device requests on "/dev/cam%d", as the camera's driver numbers them. */
#define CAM_SET_TABLE 0x80182A0Fu
#define CAM_SET_WINDOW 0x801C2A50u
#define CAM_ADD_BUFFER 0x80802A51u
#define CAM_RELEASE_BUFFER 0x80042A52u
#define CAM_TABLE_ENTRIES 513

/* One frame buffer slot. */
struct frm {
    int map_offset;  /* the driver's mapping offset, also the buffer's identity */
    uint8_t *header; /* start of the mapping: 128-byte header, then the luma plane */
    int in_use;      /* 1 while the application holds the frame */
};
typedef struct frm *frm_t;

struct frm_pair {
    frm_t left;
    frm_t right;
    int buffers_filled_left;
    int buffers_filled_right;
};
typedef struct frm_pair *frm_pair_t;

/* One capture channel. */
struct cap {
    int width;
    int height;
    int stored_value;
    int fd; /* -1 when the device could not be opened or set up */
    struct frm buffers[CAP_MAX_BUFFERS];
    /* The pair formed with left slot i lives in pairs[i] of the left channel. */
    struct frm_pair pairs[CAP_MAX_BUFFERS];
    int filled_count;
    int buffer_count;
};
typedef struct cap *cap_t;

struct camera {
    int width;
    int height;
    cap_t left;
    cap_t right;
};
typedef struct camera *cam_t;

/* Channel set-up. A window that cannot supply the output size ends the process with status 1
 * after logging why. A device that cannot be opened or set up gives a channel whose waits
 * never succeed (fd -1, no buffers); NULL only when the record cannot be allocated. */
ZENT_EXPORT cap_t _cap_open_channel_roi(int channel, int buffers, int width, int height, int left,
                                        int right, int top, int bottom, int stored_value,
                                        int unused1, int unused2, int unused3);
ZENT_EXPORT cap_t _cap_open_channel(int channel, int buffers, int width, int height,
                                    int stored_value, int input_width, int unused1, int unused2);
ZENT_EXPORT cap_t _cap_open(int buffers, int width, int height, int stored_value, int unused);
ZENT_EXPORT cap_t _cap_open_roi(int buffers, int width, int height, int left, int right, int top,
                                int bottom, int stored_value, int unused);
ZENT_EXPORT void _cap_calculate_scales(int in, int out, int *shift, int *scale, int *offset);
ZENT_EXPORT void cap_close(cap_t cap);

/* Frames. */
ZENT_EXPORT int find_oldest_frame(cap_t cap);
ZENT_EXPORT frm_t cap_get_frame(cap_t cap);
ZENT_EXPORT int cap_return_frame(cap_t cap, frm_t frm);
ZENT_EXPORT frm_pair_t try_to_get_pair(cap_t left, cap_t right);
ZENT_EXPORT int buffer_full(cap_t cap);
ZENT_EXPORT frm_pair_t cap_get_stereo_frame(cap_t left, cap_t right);
ZENT_EXPORT int cap_return_stereo_frame(cap_t left, cap_t right, frm_pair_t pair);
ZENT_EXPORT uint8_t *cap_get_data(cap_t cap, frm_t frm);
ZENT_EXPORT int *cap_get_timestamp(int *out, cap_t cap, frm_t frm);
ZENT_EXPORT int *cap_get_timestamp_user(int *out, frm_t frm);
ZENT_EXPORT char *cap_get_jpeg(cap_t cap, frm_t frm, int *size);
ZENT_EXPORT int cap_get_luminance(void);
ZENT_EXPORT void cap_start(void);
ZENT_EXPORT void cap_stop(void);

/* The camera object. */
ZENT_EXPORT cam_t create_camera(int buffers, int width, int height, int crop_left, int crop_right,
                                int crop_top, int crop_bottom, int input_width, int input_height);
ZENT_EXPORT void free_camera(cam_t camera);
ZENT_EXPORT double get_timestamp(cap_t cap, frm_t frm);
ZENT_EXPORT double get_timestamp_user(frm_t frm);
ZENT_EXPORT unsigned long monotonic_usec(void);

/* monotonic_usec's arithmetic on a given clock reading (32-bit, wrapping every 2^32 us). */
uint32_t zent_usec_from_timespec(const struct timespec *ts);

/* The transfer table every capture stream passes to the driver (CAM_TABLE_ENTRIES words,
 * below 4 GiB), built once and kept for the process; NULL when it could not be allocated.
 * Not exported. */
const uint16_t *cap_transfer_table(void);

#ifdef __cplusplus
}
#endif

#endif
