/* Control interface of the simulated capture and resampler drivers, for tests and benchmarks.
 * Plain ints and pointers only, so that an interpreter reaches it through ctypes on the
 * preloaded library. Nodes: 0 = "/dev/cam0" (left), 1 = "/dev/cam1" (right). Slots are
 * numbered in CAM_ADD_BUFFER order on the node's current open. */
#ifndef DEVSIM_CONTROL_H
#define DEVSIM_CONTROL_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sensor image of a node (kept across opens): pixels NULL = the synthetic moving scene;
 * pixels are copied (width * height bytes, row-major). (node, 0, 0, NULL) restores the
 * default: the synthetic scene sized by DEVSIM_CAM_SENSOR at each open. 0, or -1 for a bad
 * node or size. */
ZENT_EXPORT int devsim_cam_set_sensor(int node, int width, int height, const unsigned char *pixels);
/* Fills one buffer (slot -1: the lowest-index buffer in state 2) with the next frame and the
 * given stamps. The slot filled, or -1 when no buffer is free (counted as dropped) or the
 * node is not open. */
ZENT_EXPORT int devsim_cam_fill(int node, int slot, int user_sec, int user_usec, int cap_sec,
                                int cap_usec);
/* The header state word of a slot, or -1. */
ZENT_EXPORT int devsim_cam_state(int node, int slot);
/* Buffers currently added (and not released) on the open node; 0 when not open. */
ZENT_EXPORT int devsim_cam_buffers(int node);
/* Frames that found no free buffer, since the node's latest open. */
ZENT_EXPORT int devsim_cam_dropped(int node);
/* How many times the request was received since the node's latest open. */
ZENT_EXPORT int devsim_cam_requests(int node, unsigned int request);
/* Refills each buffer as soon as it is handed back, stamps from CLOCK_MONOTONIC. */
ZENT_EXPORT void devsim_cam_auto(int node, int on);
/* Free-running producer for both nodes: fps 0 = as fast as buffers come back (nothing is
 * dropped then); right_user_offset_us is added to the right node's user stamp; drop_every N
 * skips every Nth frame on the right node (0 = never). Replaces a running producer; 0. */
ZENT_EXPORT int devsim_cam_run(int fps, int right_user_offset_us, int drop_every);
ZENT_EXPORT void devsim_cam_halt(void);

/* Frames completed by the resampler in this process. */
ZENT_EXPORT int devsim_ue_frames(void);

#ifdef __cplusplus
}
#endif

#endif
