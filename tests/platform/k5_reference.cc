// The luma scaling filter written out literally from its definition, one pixel at a time:
// what the tests and the benchmark hold the kernel to.
#include "k5_reference.h"

#include <algorithm>
#include <cstdint>

namespace k5ref
{

static int tap(const uint32_t *filter, int phase, int k)
{
    return static_cast<int8_t>((filter[phase] >> (8 * (3 - k))) & 0xff);
}

static int norm(const uint32_t *filter, int phase, int sum)
{
    return ((filter[8] >> phase) & 1) ? sum / 16 : sum / 8;
}

std::vector<uint8_t> reference(const RefArgs &a)
{
    std::vector<uint8_t> dst(
        static_cast<std::size_t>(std::max(a.out_rows, 0)) * std::max(a.out_width, 0), 0xEE);
    const auto &g = *a.grid;
    auto gxv = [&](long i) { return static_cast<int64_t>(g.at(2 * (a.grid_origin + i))); };
    auto gyv = [&](long i) { return static_cast<int64_t>(g.at(2 * (a.grid_origin + i) + 1)); };
    for (int r = 0; r < a.out_rows; ++r) {
        int32_t ysum =
            static_cast<int32_t>(static_cast<uint32_t>(r) * static_cast<uint32_t>(a.y_step));
        int32_t J = (ysum >> 8) + 2 * a.y_start;
        int32_t gy = J >> 8, fy = J & 255, wy = 256 - fy;
        for (int c = 0; c < a.out_width; ++c) {
            int32_t xsum =
                static_cast<int32_t>(static_cast<uint32_t>(c) * static_cast<uint32_t>(a.x_step));
            int32_t L = (xsum >> 8) + 2 * a.x_start;
            int32_t gx = L >> 8, fx = L & 255, wx = 256 - fx;
            long A0 = static_cast<long>(gy) * a.table_stride + gx, A1 = A0 + 1;
            long B0 = static_cast<long>(gy + 1) * a.table_stride + gx, B1 = B0 + 1;
            int64_t X = wy * ((wx * gxv(A0) + fx * gxv(A1)) >> 7) +
                        fy * ((wx * gxv(B0) + fx * gxv(B1)) >> 7);
            int64_t Y = wy * ((wx * gyv(A0) + fx * gyv(A1)) >> 7) +
                        fy * ((wx * gyv(B0) + fx * gyv(B1)) >> 7);
            int64_t sx = X >> 12, sy = Y >> 12;
            int px = static_cast<int>((X >> 9) & 7), py = static_cast<int>((Y >> 9) & 7);
            int s[4][4];
            int mn = 255, mx = 0;
            for (int k = 0; k < 4; ++k)
                for (int j = 0; j < 4; ++j) {
                    int64_t row = std::clamp<int64_t>(sy - 1 + k, 0, a.src_height - 1);
                    int64_t col = std::clamp<int64_t>(sx - 1 + j, 0, a.src_width - 1);
                    int v = a.src->at(a.src_origin + row * a.src_stride + col);
                    mn = std::min(mn, v);
                    mx = std::max(mx, v);
                    s[k][j] = v * 16;
                }
            int vert[4];
            for (int j = 0; j < 4; ++j) {
                int sum = 0;
                for (int k = 0; k < 4; ++k)
                    sum += tap(a.filter, py, k) * s[k][j];
                vert[j] = std::clamp(norm(a.filter, py, sum), 0, 4095);
            }
            int sum = 0;
            for (int k = 0; k < 4; ++k)
                sum += tap(a.filter, px, k) * vert[k];
            sum = norm(a.filter, px, sum);
            int value;
            if (sx >= a.src_width || sy >= a.src_height || sx < 0 || sy < 0 || sum < 0)
                value = 0;
            else if (sum >= 4096)
                value = 255;
            else
                value = sum >> 4;
            value = std::min(value, mx + a.margin);
            value = std::max(value, mn - a.margin);
            // A negative margin can push the limited value past a byte: it is stored clamped.
            dst[static_cast<std::size_t>(r) * a.out_width + c] =
                static_cast<uint8_t>(std::clamp(value, 0, 255));
        }
    }
    return dst;
}

} // namespace k5ref
