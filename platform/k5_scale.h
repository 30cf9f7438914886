/* Software luma resampling through a coarse grid of source coordinates: bilinear between grid
 * nodes, then an 8-phase 4-tap separable filter in 12-bit precision, limited to the range of
 * the 4x4 source neighbourhood widened by a margin so that it cannot overshoot. */
#ifndef ZENT_PLATFORM_K5_SCALE_H
#define ZENT_PLATFORM_K5_SCALE_H

#include "export.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One grid node: the source position in 1/8 pixel. */
typedef struct k5_point {
    int32_t x;
    int32_t y;
} k5_point_t;

/* Words 0-7: the four signed 8-bit taps of phase p, tap 0 in the most significant byte.
 * Word 8: bit p set divides a sum of phase p by 16, clear by 8. */
typedef struct k5_filter {
    uint32_t phase[8];
    uint32_t mask;
} k5_filter_t;

/* grid[i] = (xs[i] * 8, ys[i] * 8), truncated toward zero (saturated; NaN gives 0). */
ZENT_EXPORT void k5_set_table(k5_point_t *grid, int count, double *xs, double *ys);

/* out_rows rows of out_width bytes, packed. The grid must hold the nodes the steps and starts
 * reach, plus one to the right and one below. */
ZENT_EXPORT void k5_scale_luma(const uint8_t *src, uint8_t *dst, const k5_filter_t *filter,
                               int out_width, int out_rows, int src_width, int src_height,
                               int src_stride, int x_step, int y_step, int x_start, int y_start,
                               const k5_point_t *grid, int table_stride, int margin);

/* Not exported, for the tests and the benchmark: 1 where k5_scale_luma runs the AVX2 copy of
 * its row loop, 0 where it runs the portable copy; and the portable copy alone, the one the
 * camera runs, whatever the machine. */
int k5_scale_wide(void);
void k5_scale_luma_portable(const uint8_t *src, uint8_t *dst, const k5_filter_t *filter,
                            int out_width, int out_rows, int src_width, int src_height,
                            int src_stride, int x_step, int y_step, int x_start, int y_start,
                            const k5_point_t *grid, int table_stride, int margin);

#ifdef __cplusplus
}
#endif

#endif
