/* The image processor's coordinate-table resampler on "/dev/camuser0": a frame goes in with
 * one write and comes back warped through one of two coordinate tables. */
#ifndef ZENT_PLATFORM_USER_ENCODE_H
#define ZENT_PLATFORM_USER_ENCODE_H

#include "export.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device requests on "/dev/camuser0", as the camera's driver numbers them. */
#define UE_SET_INPUT 0x800C2A62u
#define UE_SET_OUTPUT 0x82C82AE0u
#define UE_MAP_CONTROL 0x80042A11u
#define UE_UNMAP_CONTROL 0x825C2A12u
#define UE_ALLOC_DATA 0x20002A90u
#define UE_FREE_DATA 0x20002A91u
#define UE_ALLOC_TABLE 0x20002AADu
#define UE_FREE_TABLE 0x20002AAEu
#define UE_SET_ENCODE 0x80202AAAu
#define UE_START 0x40042A10u

#define UE_CONTROL_SIZE 604
#define UE_OUTPUT_BLOCK_SIZE 712

struct user_encode_internal {
    int fd;
    int ctl_offset;
    uint8_t *ctl;
    int frame_bytes;
    uint8_t *data;
    int out_width;
    int out_height;
    uint32_t encode_request[8];
    int table_offset[2];
    uint8_t *table[2];
    /* Kept here as real pointers: the control block holds only their 32-bit words. */
    int data_offset;
    uint32_t data_length;
    uint32_t *scale;
    uint32_t *sharpness;
};
typedef struct user_encode_internal *user_encode_internal_t;

struct user_encode {
    unsigned int tab_dim_x;
    unsigned int tab_dim_y;
    unsigned int tab_size;
    unsigned int tab_stride;
    unsigned int xysharp;
    user_encode_internal_t uc_int;
};
typedef struct user_encode *user_encode_t;

/* NULL when a size is not a positive multiple of 16, the stride is 0, the tables would not
 * fit in 32 bits, or the unit cannot be opened and set up (everything obtained is released). */
ZENT_EXPORT user_encode_t create_user_encode(int width, int height, int out_width, int out_height,
                                             unsigned int tab_stride, unsigned int xysharp);
/* Fills table 1 (table != 0) or 0 from tab_dim_x * tab_dim_y source coordinates. */
ZENT_EXPORT void set_user_encode_table(user_encode_t ue, int table, double *xs, double *ys);
/* Runs `source` (width x height) through the selected table and stores copy_width x
 * copy_height result bytes, packed, in `destination`. */
ZENT_EXPORT void user_encode_frame(user_encode_t ue, int table, uint8_t *source,
                                   uint8_t *destination, int copy_width, int copy_height);
ZENT_EXPORT void free_user_encode(user_encode_t ue);
/* The high bytes of the unit's 16-bit samples, copy_width per row, rows packed. */
ZENT_EXPORT void cpy_frame(user_encode_internal_t uc, uint8_t *destination, int copy_width,
                           int copy_height);

#ifdef __cplusplus
}
#endif

#endif
