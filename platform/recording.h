/* Local recording of a low-rate JPEG stream into one multipart file on the camera's flash
 * (uploaded and removed when timed), and single JPEG snapshots for the web interface, both
 * from the camera maker's capture library. */
#ifndef ZENT_PLATFORM_RECORDING_H
#define ZENT_PLATFORM_RECORDING_H

#include "export.h"

#include <pthread.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The recording file, its size limit (90 MiB: the file never grows past it), and what a
 * start answers while a recording runs. */
#define ZENT_RECORDING_PATH "/mnt/flash/recording"
#define ZENT_RECORDING_MAX_BYTES 94371840L
#define ZENT_RECORDING_BUSY 8
/* Where a timed recording is uploaded to unless ZENT_UPLOAD_ENDPOINT names another host. */
#define ZENT_UPLOAD_ENDPOINT_DEFAULT "upload.tallyo.invalid"

/* The one recording of the process. The caller owns the file slot and the mutex that guards
 * it; `running` is 1 while a recording thread exists (accessed atomically); `duration` in
 * seconds, 0 or less for no limit. */
typedef struct local_mjpg_record {
    FILE **file_slot;
    pthread_mutex_t *lock;
    int running;
    int duration;
} local_mjpg_record_t;

/* Opens ZENT_RECORDING_PATH (truncated) into *file_slot, writes the all-parameters part and
 * starts the recording thread. 0 started; ZENT_RECORDING_BUSY while a recording runs
 * (nothing changed); 1 when the file cannot be opened or the thread cannot be started.
 * The caller stops an unlimited recording by closing the file and setting *file_slot to
 * NULL under the lock; the thread notices at its next frame. */
ZENT_EXPORT int start_local_mjpg_record(FILE **file_slot, pthread_mutex_t *lock, int duration);

/* Body of the recording thread, given the control record; returns NULL. */
ZENT_EXPORT void *main_local_mjpg_record(void *record);

/* Always -1. */
ZENT_EXPORT int mjpg_frame_count(void);

/* The next frame of a 5 fps stream opened by the first call (with the "&resolution=" item of
 * that call's query, 320x240 without one) and kept open. The previous call's frame is
 * released. NULL with *size 0 while anonymous access is switched off or when no frame can
 * be had (an open that failed is tried again by the next call). */
ZENT_EXPORT char *jpeg_image(void *unused, const char *query, int *size);

/* One frame of a stream opened for this call: 640x480 when the query holds
 * "&resolution=640x480", else 320x240. The previous call's frame is released. NULL with
 * *size 0 while anonymous access is switched off; the empty text with *size 0 when the
 * stream cannot be opened or gives no frame. */
ZENT_EXPORT char *jpeg_single_image(void *unused, const char *query, int *size);

#ifdef __cplusplus
}
#endif

#endif
