/* The camera maker's capture library as the system uses it: a stream of complete JPEG images
 * of the camera's picture, opened by media type and a property text. */
#ifndef CAPTURE_STREAM_H
#define CAPTURE_STREAM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct capture_stream capture_stream;
typedef struct capture_frame capture_frame;

/* Opens a stream of `media_type` ("image/jpeg") with the properties given as "key=value"
 * items joined by '&' ("fps=4&resolution=160x120&compression=80"). NULL on failure.
 *
 * Stand-in behaviour:
 * - items may be empty ("fps=5&&resolution=640x480") and the text may end in a newline;
 *   unknown keys are ignored; fps 1 ... 60 (default 30), resolution WxH with sides 1 ... 4096
 *   (default 640x480), compression 0 ... 100 (default 30; JPEG quality = 100 - compression,
 *   at least 1). A malformed value of a known key, another media type or a NULL argument
 *   fails the open;
 * - the picture is the simulated capture drivers' synthetic scene at the stream's size:
 *   ((x + y) >> 3) % 200, a square of side min(64, w, h) at
 *   ((16 n) mod (w - side + 1), (8 n) mod (h - side + 1)) set to 255, n the stream's frame
 *   number, encoded as a colour (YCbCr 4:2:0) JPEG whose first comment segment reads
 *   "frame=<n> stream=<id> resolution=<w>x<h> quality=<q>";
 * - environment, read at each open: CAPTURE_LOG=<file> appends one line per call;
 *   CAPTURE_FAIL_OPEN=N fails the Nth open of the process (counted from 1), "all" every open;
 *   CAPTURE_FAIL_FRAME=N makes the Nth capture_get_frame of each stream return NULL;
 *   CAPTURE_UNPACED=1 delivers frames as fast as they are asked for; CAPTURE_PAD_BYTES=N
 *   adds about N bytes of further comment segments to every image. */
capture_stream *capture_open_stream(const char *media_type, const char *properties);

/* Blocks until the stream's next frame is due (frame n at n / fps seconds after the open; a
 * caller more than a frame late skips to the current one) and returns it, or NULL. */
capture_frame *capture_get_frame(capture_stream *stream);

/* The frame's one complete JPEG image and its length in bytes (NULL / 0 for NULL). */
void *capture_frame_data(const capture_frame *frame);
size_t capture_frame_size(const capture_frame *frame);

/* Releases a frame; its data stays valid until then, also after its stream was closed.
 * NULL is ignored. */
void capture_frame_free(capture_frame *frame);

/* Ends the stream: 0, or -1 for NULL. */
int capture_close_stream(capture_stream *stream);

#ifdef __cplusplus
}
#endif

#endif
