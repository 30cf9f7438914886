// The table-driven luma scaling filter, in fixed point throughout: 8-bit grid weights,
// 1/4096-pixel positions and 12-bit intermediate samples.
#include "k5_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "wide_kernels.h"

#ifdef ZENT_WIDE_KERNELS
// x86-64 builds carry a second copy of the row loop compiled for AVX2 (the same source);
// every other machine, the camera included, runs the portable copy alone.
#define K5_WIDE_VARIANT 1
#include <immintrin.h>
#endif
#define K5_BODY __attribute__((always_inline)) inline

namespace
{

// Four 32-bit lanes: one per neighbourhood column. GCC lowers these to scalar code where
// the machine has no vector unit.
typedef int32_t v4si __attribute__((vector_size(16)));
typedef uint8_t v4qu __attribute__((vector_size(4)));

int32_t eighths(double v)
{
    double e = v * 8.0;
    if (std::isnan(e))
        return 0;
    if (e >= 2147483647.0)
        return INT32_MAX;
    if (e <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(e);
}

// The filter record prepared for the loop. Samples enter the vertical pass multiplied by 16,
// so its division by 16 or 8 is exact: the plain tap sum, or the sum with doubled taps. A
// negative horizontal sum gives 0 whether or not the division first truncates it to 0, so
// the non-negative sums are divided, and then taken to 8 bits, by one shift.
struct Taps {
    int32_t vert[8][4];
    int32_t horiz[8][4];
    int shift[8];
    // The vertical taps as 16-bit pairs (tap 0 | tap 1 << 16 in [0], tap 2 | tap 3 << 16 in
    // [1]), a row of eight phases each, for multiply-add instructions that take pairs and
    // vector lookups by phase. They serve the horizontal pass too: doubled taps for a phase
    // that divides by 8 let a shift by 8 take every sum to 8 bits, floor(2s/256) = floor(s/128).
    alignas(32) int32_t pairs[2][8];
};

int32_t pair16(int lo, int hi)
{
    return static_cast<int32_t>((static_cast<uint32_t>(lo) & 0xffffu) |
                                (static_cast<uint32_t>(hi) << 16));
}

Taps unpack(const k5_filter_t &f)
{
    Taps taps;
    for (int p = 0; p < 8; ++p) {
        bool by16 = (f.mask >> p) & 1u;
        for (int k = 0; k < 4; ++k) {
            int t = static_cast<int8_t>(f.phase[p] >> (24 - 8 * k));
            taps.vert[p][k] = by16 ? t : 2 * t;
            taps.horiz[p][k] = t;
        }
        taps.shift[p] = by16 ? 8 : 7;
        for (int k = 0; k < 2; ++k)
            taps.pairs[k][p] = pair16(taps.vert[p][2 * k], taps.vert[p][2 * k + 1]);
    }
    return taps;
}

struct Job {
    const uint8_t *src;
    uint8_t *dst;
    int out_width, out_rows, src_width, src_height, src_stride;
    int x_step, y_step, x_start, y_start;
    const k5_point_t *grid;
    int table_stride, margin;
};

namespace portable
{
#define K5_WIDE_BODY 0
#include "k5_scale_body.inc"
#undef K5_WIDE_BODY
} // namespace portable

#ifdef K5_WIDE_VARIANT
#pragma GCC push_options
#pragma GCC target("avx2")
namespace wide
{
#define K5_WIDE_BODY 1
#include "k5_scale_body.inc"
#undef K5_WIDE_BODY
} // namespace wide
#pragma GCC pop_options
#endif

void scale(bool use_wide, Job job, const k5_filter_t *filter)
{
    if (job.src == nullptr || job.dst == nullptr || filter == nullptr || job.grid == nullptr ||
        job.out_rows < 1 || job.src_width < 1 || job.src_height < 1)
        return;
    const Taps taps = unpack(*filter);
    // Past 255 either way a margin changes no byte; held there, the limits cannot overflow.
    job.margin = std::clamp(job.margin, -255, 255);
#ifdef K5_WIDE_VARIANT
    if (use_wide) {
        wide::scale_rows(job, taps);
        return;
    }
#else
    (void)use_wide;
#endif
    portable::scale_rows(job, taps);
}

} // namespace

extern "C" {

ZENT_EXPORT void k5_set_table(k5_point_t *grid, int count, double *xs, double *ys)
{
    if (grid == nullptr || xs == nullptr || ys == nullptr)
        return;
    for (int i = 0; i < count; ++i)
        grid[i] = {eighths(xs[i]), eighths(ys[i])};
}

ZENT_EXPORT void k5_scale_luma(const uint8_t *src, uint8_t *dst, const k5_filter_t *filter,
                               int out_width, int out_rows, int src_width, int src_height,
                               int src_stride, int x_step, int y_step, int x_start, int y_start,
                               const k5_point_t *grid, int table_stride, int margin)
{
    scale(zent_wide_kernels(),
          {src, dst, out_width, out_rows, src_width, src_height, src_stride, x_step, y_step,
           x_start, y_start, grid, table_stride, margin},
          filter);
}

void k5_scale_luma_portable(const uint8_t *src, uint8_t *dst, const k5_filter_t *filter,
                            int out_width, int out_rows, int src_width, int src_height,
                            int src_stride, int x_step, int y_step, int x_start, int y_start,
                            const k5_point_t *grid, int table_stride, int margin)
{
    scale(false,
          {src, dst, out_width, out_rows, src_width, src_height, src_stride, x_step, y_step,
           x_start, y_start, grid, table_stride, margin},
          filter);
}

int k5_scale_wide(void)
{
    return zent_wide_kernels() ? 1 : 0;
}

} // extern "C"
