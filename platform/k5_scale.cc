// The table-driven luma scaling filter, in fixed point throughout: 8-bit grid weights,
// 1/4096-pixel positions and 12-bit intermediate samples.
#include "k5_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace
{

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

// The running position sums wrap as the camera's 32-bit registers do; the shift that follows
// is arithmetic on the signed value.
int32_t wrap(uint32_t v)
{
    return static_cast<int32_t>(v);
}

struct Taps {
    int t[8][4];
    bool by16[8];
};

Taps unpack(const k5_filter_t &f)
{
    Taps taps;
    for (int p = 0; p < 8; ++p) {
        for (int k = 0; k < 4; ++k)
            taps.t[p][k] = static_cast<int8_t>(f.phase[p] >> (24 - 8 * k));
        taps.by16[p] = (f.mask >> p) & 1u;
    }
    return taps;
}

inline int divide(int sum, bool by16)
{
    return by16 ? sum / 16 : sum / 8;
}

// One output pixel at source position (X, Y) in 1/4096 pixel.
inline uint8_t filter_pixel(const uint8_t *src, int w, int h, int stride, const Taps &taps,
                            int64_t X, int64_t Y, int margin)
{
    int64_t sx64 = X >> 12, sy64 = Y >> 12;
    int px = static_cast<int>((X >> 9) & 7), py = static_cast<int>((Y >> 9) & 7);
    bool outside = sx64 < 0 || sy64 < 0 || sx64 >= w || sy64 >= h;
    // Far outside positions clamp to the border like near ones.
    int sx = static_cast<int>(std::clamp<int64_t>(sx64, -2, w + 1));
    int sy = static_cast<int>(std::clamp<int64_t>(sy64, -2, h + 1));
    int cols[4], rows[4];
    for (int k = 0; k < 4; ++k) {
        cols[k] = std::clamp(sx - 1 + k, 0, w - 1);
        rows[k] = std::clamp(sy - 1 + k, 0, h - 1);
    }
    int lo = 255, hi = 0;
    int v[4];
    const int *ty = taps.t[py];
    for (int j = 0; j < 4; ++j) {
        int sum = 0;
        for (int k = 0; k < 4; ++k) {
            int s = src[static_cast<std::ptrdiff_t>(rows[k]) * stride + cols[j]];
            lo = std::min(lo, s);
            hi = std::max(hi, s);
            sum += ty[k] * (s * 16);
        }
        v[j] = std::clamp(divide(sum, taps.by16[py]), 0, 4095);
    }
    const int *tx = taps.t[px];
    int sum = divide(tx[0] * v[0] + tx[1] * v[1] + tx[2] * v[2] + tx[3] * v[3], taps.by16[px]);
    int value;
    if (outside || sum < 0)
        value = 0;
    else if (sum >= 4096)
        value = 255;
    else
        value = sum >> 4;
    value = std::min(value, hi + margin);
    value = std::max(value, lo - margin);
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
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
    if (src == nullptr || dst == nullptr || filter == nullptr || grid == nullptr ||
        out_rows < 1 || src_width < 1 || src_height < 1)
        return;
    const Taps taps = unpack(*filter);
    uint32_t yacc = 0;
    for (int r = 0; r < out_rows; ++r, yacc += static_cast<uint32_t>(y_step)) {
        if (out_width < 1)
            continue;
        int32_t J = wrap(static_cast<uint32_t>(wrap(yacc) >> 8) + 2u * static_cast<uint32_t>(y_start));
        int32_t gy = J >> 8;
        int32_t fy = J & 255, wy = 256 - fy;
        const k5_point_t *rowA = grid + static_cast<std::ptrdiff_t>(gy) * table_stride;
        const k5_point_t *rowB = rowA + table_stride;
        uint8_t *out = dst + static_cast<std::ptrdiff_t>(r) * out_width;
        uint32_t xacc = 0;
        for (int c = 0; c < out_width; ++c, xacc += static_cast<uint32_t>(x_step)) {
            int32_t L = wrap(static_cast<uint32_t>(wrap(xacc) >> 8) + 2u * static_cast<uint32_t>(x_start));
            int32_t gx = L >> 8;
            int32_t fx = L & 255, wx = 256 - fx;
            const k5_point_t &a0 = rowA[gx], &a1 = rowA[gx + 1];
            const k5_point_t &b0 = rowB[gx], &b1 = rowB[gx + 1];
            int64_t X = wy * ((int64_t{wx} * a0.x + int64_t{fx} * a1.x) >> 7) +
                        fy * ((int64_t{wx} * b0.x + int64_t{fx} * b1.x) >> 7);
            int64_t Y = wy * ((int64_t{wx} * a0.y + int64_t{fx} * a1.y) >> 7) +
                        fy * ((int64_t{wx} * b0.y + int64_t{fx} * b1.y) >> 7);
            out[c] = filter_pixel(src, src_width, src_height, src_stride, taps, X, Y, margin);
        }
    }
}

} // extern "C"
