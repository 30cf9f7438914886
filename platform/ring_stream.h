/* Ring-buffer streams: a plain way to read a capture node with four full-frame buffers per
 * stream, held in the exported table vca_chan. */
#ifndef ZENT_PLATFORM_RING_STREAM_H
#define ZENT_PLATFORM_RING_STREAM_H

#include "export.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RB_STREAMS 4
#define RB_BUFFERS 4

/* One frame as the application sees it; `index` is the buffer (0-3), or -1 for "no frame". */
typedef struct rb_frame {
    int sec;
    int usec;
    int width;
    int height;
    int size; /* width * height */
    uint8_t *data;
    int index;
} rb_frame;

typedef struct rb_stream {
    int fd;       /* -1 while the stream is closed */
    int reserved; /* always 0 */
    int offset[RB_BUFFERS];
    uint8_t *header[RB_BUFFERS];
    rb_frame frame[RB_BUFFERS];
    int in_use[RB_BUFFERS];
} rb_stream;

ZENT_EXPORT extern rb_stream vca_chan[RB_STREAMS];

/* Opens stream `index` (0-3) on "/dev/cam<index>" at width >> shift by height >> shift.
 * 0, or -1 for a bad index or size, a stream already open, or a device that cannot be
 * opened, programmed or mapped (whatever was obtained is released). */
ZENT_EXPORT int UNOFFICIAL_rb_open_stream(int index, int width, int height, int shift);

/* Waits for the oldest filled buffer and takes it. A frame with data NULL and index -1 when
 * the stream is not open or all four buffers are already held. */
ZENT_EXPORT rb_frame UNOFFICIAL_rb_request_frame(int index);

/* Hands a held frame back; anything else is ignored. */
ZENT_EXPORT void UNOFFICIAL_rb_return_frame(int index, rb_frame frame);

/* Unmaps and releases the buffers and closes the node: the result of the last release
 * request (0 or -1), or -1 when the stream is not open. */
ZENT_EXPORT int UNOFFICIAL_rb_close_stream(int index);

#ifdef __cplusplus
}
#endif

#endif
