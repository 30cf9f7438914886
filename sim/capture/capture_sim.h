/* Test side of the capture library stand-in: what the library holds right now, for tests that
 * check a caller releases every frame and stream it obtained. */
#ifndef CAPTURE_SIM_H
#define CAPTURE_SIM_H

#ifdef __cplusplus
extern "C" {
#endif

/* Frames returned by capture_get_frame and not yet released. */
__attribute__((visibility("default"))) int capture_sim_frames_outstanding(void);
/* Streams opened and not yet closed. */
__attribute__((visibility("default"))) int capture_sim_streams_open(void);

#ifdef __cplusplus
}
#endif

#endif
