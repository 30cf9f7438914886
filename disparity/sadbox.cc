// SAD box matchers: per-candidate integral images give every box cost in four lookups, then a
// winner-take-all pass with a preference margin picks one candidate per cell.
#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/export.h"
#include "disparity.h"
#include "row_scan.h"
#include "sadbox_internal.h"
#include "team_run.h"

namespace
{

constexpr int32_t kNoCost = 16777215;      // start of the winner search: nothing chosen yet
constexpr int32_t kCellPenalty = 1020;     // a half-resolution cell whose pair leaves the row
constexpr int32_t kPixelPenalty = 255;     // a full-resolution pixel whose partner leaves the row
constexpr int32_t kRasterNoCost = 1048575; // start of the raster matcher's search
constexpr int kWinnerChunk = 256;          // cells decided together; bounds the stack scratch
constexpr int kSampleChunk = 256;          // cells whose pixel differences are taken together

long floor_div(long a, long b)
{
    long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

long ceil_div(long a, long b)
{
    return -floor_div(-a, b);
}

// Element count a*b*c as a positive size, or 0 when it overflows or is not positive.
size_t checked_count(long a, long b, long c)
{
    long ab = 0;
    long abc = 0;
    if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &abc) || abc < 0)
        return 0;
    size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(abc), sizeof(int32_t), &bytes))
        return 0;
    return static_cast<size_t>(abc);
}

int32_t *zeroed_area(long a, long b, long c, bool *ok)
{
    const size_t count = checked_count(a, b, c);
    // calloc(0) may legitimately answer null; ask for one entry so null always means failure.
    if (count == 0 && !(a == 0 || b == 0 || c == 0)) {
        *ok = false;
        return nullptr;
    }
    auto *p = static_cast<int32_t *>(std::calloc(std::max<size_t>(count, 1), sizeof(int32_t)));
    if (p == nullptr)
        *ok = false;
    return p;
}

// Wrap-around subtraction: the winner rule lowers a box cost by the margin, which must not be
// undefined for extreme margins.
inline int32_t minus(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

using zent_disparity::integral_row;

struct HalfGeometry {
    long w, h;
    long Q;  // length of one cost slice
    long W2; // cells per grid row
    long S;  // distance between the team members' integral blocks
    long B2; // box side in cells
    long grid_rows;
};

HalfGeometry half_geometry(const sadbox &sb)
{
    HalfGeometry g{};
    g.w = sb.width;
    g.h = sb.height;
    g.Q = g.w * g.h / 4;
    g.W2 = g.w / 2;
    g.S = g.w + g.h + g.Q;
    g.B2 = (sb.box & 0xFFFE) / 2;
    g.grid_rows = (g.h + 1) / 2;
    return g;
}

// One candidate's cost slice at half resolution. I points at the member's integral block (the
// row above it reads as zero); slice receives the box sums of the cells that end a full box.
void half_slice(const HalfGeometry &g, int32_t *__restrict I, int32_t *__restrict slice,
                const uint8_t *__restrict L, const uint8_t *__restrict R, long d)
{
    const long W2 = g.W2;
    const long B2 = g.B2;
    // Cells whose pixel pair (x - d, x - d + 1) lies inside the row: d <= 2 xc <= w - 2 + d.
    const long lo = std::max(0L, ceil_div(d, 2));
    const long hi = std::min(W2 - 1, floor_div(g.w - 2 + d, 2));
    for (long yc = 0; yc < g.grid_rows; ++yc) {
        int32_t *__restrict Ir = I + yc * W2;
        const int32_t *__restrict Iu = Ir - W2;
        const long y = 2 * yc;
        // Per chunk of cells: byte-wide pixel differences (sixteen to a vector), then each
        // cell's pair sum from one 16-bit word (the sum of its two bytes does not depend on byte
        // order), then the running sum doubles them into integral values.
        int32_t run = 0;
        for (long c0 = 0; c0 < W2; c0 += kSampleChunk) {
            const long m = std::min<long>(kSampleChunk, W2 - c0);
            uint16_t half[kSampleChunk];
            const long in_lo = std::clamp(lo - c0, 0L, m);        // first cell inside the row
            const long in_hi = std::clamp(hi + 1 - c0, in_lo, m); // one past the last
            for (long i = 0; i < in_lo; ++i)
                half[i] = kCellPenalty / 2;
            if (in_hi > in_lo) {
                uint16_t pairs[kSampleChunk];
                auto *diff = reinterpret_cast<uint8_t *>(pairs);
                const long cnt = in_hi - in_lo;
                const uint8_t *__restrict l = L + y * g.w + 2 * (c0 + in_lo);
                const uint8_t *__restrict r = R + y * g.w + 2 * (c0 + in_lo) - d;
                for (long j = 0; j < 2 * cnt; ++j)
                    diff[j] = static_cast<uint8_t>(r[j] > l[j] ? r[j] - l[j] : l[j] - r[j]);
                uint16_t *__restrict hc = half + in_lo;
                for (long i = 0; i < cnt; ++i)
                    hc[i] = static_cast<uint16_t>((pairs[i] & 0xFF) + (pairs[i] >> 8));
            }
            for (long i = in_hi; i < m; ++i)
                half[i] = kCellPenalty / 2;
            run = zent_disparity::integral_row_doubled(Ir + c0, half, Iu + c0, m, run);
        }
        if (yc >= B2) {
            const int32_t *__restrict Ib = Ir - B2 * W2;
            int32_t *__restrict out = slice + yc * W2;
            for (long i = B2; i < W2; ++i)
                out[i] = Ir[i] - Ir[i - B2] - Ib[i] + Ib[i - B2];
        }
    }
}

// Winner choice over n cost slices for one stretch of cells; best values land in val. Four
// candidates share one pass so that the running best stays in registers.
void choose(const int32_t *const *slices, const uint8_t *list, int n, long cells, int32_t margin,
            int32_t *__restrict val)
{
    int32_t best[kWinnerChunk];
    for (long i = 0; i < cells; ++i) {
        best[i] = kNoCost;
        val[i] = 0;
    }
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const int32_t *__restrict c0 = slices[k];
        const int32_t *__restrict c1 = slices[k + 1];
        const int32_t *__restrict c2 = slices[k + 2];
        const int32_t *__restrict c3 = slices[k + 3];
        const int32_t v0 = list[k], v1 = list[k + 1], v2 = list[k + 2], v3 = list[k + 3];
        for (long i = 0; i < cells; ++i) {
            int32_t b = best[i];
            int32_t v = val[i];
            bool take = c0[i] < b;
            b = take ? minus(c0[i], margin) : b;
            v = take ? v0 : v;
            take = c1[i] < b;
            b = take ? minus(c1[i], margin) : b;
            v = take ? v1 : v;
            take = c2[i] < b;
            b = take ? minus(c2[i], margin) : b;
            v = take ? v2 : v;
            take = c3[i] < b;
            b = take ? minus(c3[i], margin) : b;
            v = take ? v3 : v;
            best[i] = b;
            val[i] = v;
        }
    }
    for (; k < n; ++k) {
        const int32_t *__restrict c = slices[k];
        const int32_t v = list[k];
        for (long i = 0; i < cells; ++i) {
            const bool take = c[i] < best[i];
            best[i] = take ? minus(c[i], margin) : best[i];
            val[i] = take ? v : val[i];
        }
    }
}

} // namespace

namespace zent_disparity
{

void jump_y_with_threads(struct sadbox *sb, uint8_t *out, const uint8_t *left, const uint8_t *right,
                         int n, const uint8_t *list, int threads, Schedule schedule)
{
    const HalfGeometry g = half_geometry(*sb);
    std::memset(out, 0, static_cast<size_t>(g.w * g.h));
    const long BE = 2 * g.B2;
    const long win_rows = std::max(0L, (g.h + 1 - BE) / 2);
    const int32_t margin = sb->margin;
    const int32_t offset = sb->offset;
    int32_t *integral = sb->integral;
    int32_t *cost = sb->cost;
    // Another matcher may have used the area: the row above each member's block must read as
    // zero. Cleared here, before any member starts, whichever members take part.
    for (int t = 0; t < std::max(threads, 1); ++t)
        std::memset(integral + (t + 1) * g.S - g.W2, 0,
                    static_cast<size_t>(g.W2) * sizeof(int32_t));

    auto slice = [&](long k, int t) {
        half_slice(g, integral + (t + 1) * g.S, cost + k * g.Q, left, right,
                   long(list[k]) + offset);
    };
    auto rows = [&](long first, long end) {
        const int32_t *slices[256]; // n comes as one byte
        int32_t val[kWinnerChunk];
        for (long j = first; j < end; ++j) {
            const long yc = g.B2 + j;
            const long top = yc * 2 - g.B2; // output row of the block's upper half
            // An odd height with a box below 2 would put the lower half under the image.
            const bool lower = top + 1 < g.h;
            for (long x0 = g.B2; x0 < g.W2; x0 += kWinnerChunk) {
                const long cells = std::min<long>(kWinnerChunk, g.W2 - x0);
                for (int k = 0; k < n; ++k)
                    slices[k] = cost + k * g.Q + yc * g.W2 + x0;
                choose(slices, list, n, cells, margin, val);
                uint8_t *__restrict o = out + top * g.w + 2 * x0 - g.B2;
                for (long i = 0; i < cells; ++i) {
                    o[2 * i] = static_cast<uint8_t>(val[i]);
                    o[2 * i + 1] = static_cast<uint8_t>(val[i]);
                }
                if (lower) {
                    uint8_t *__restrict o2 = o + g.w;
                    for (long i = 0; i < cells; ++i) {
                        o2[2 * i] = static_cast<uint8_t>(val[i]);
                        o2[2 * i + 1] = static_cast<uint8_t>(val[i]);
                    }
                }
            }
        }
    };
    run_job(n, win_rows, threads, schedule, slice, rows);
}

void orig_with_threads(struct sadbox *sb, uint8_t *out, const uint8_t *left, const uint8_t *right,
                       int n, const uint8_t *list, int threads, Schedule schedule)
{
    const long w = sb->width;
    const long h = sb->height;
    const long box = sb->box;
    const long half = box / 2;
    const long plane = w * h;
    const int32_t margin = sb->margin;
    const int32_t offset = sb->offset;
    int32_t *integral = sb->integral;
    int32_t *cost = sb->cost;
    const long first_block = w * sb->num_disp;
    std::memset(out, 0, static_cast<size_t>(plane));

    // No box of negative size fits anywhere (its sums would reach behind the rows and the
    // output); the output stays 0, as it does for a box larger than the image.
    if (box < 0) {
        omp_set_num_threads(threads);
        return;
    }
    for (int t = 0; t < std::max(threads, 1); ++t)
        std::memset(integral + first_block + t * w * (h + 1) - w, 0,
                    static_cast<size_t>(w) * sizeof(int32_t));

    auto slice = [&](long k, int t) {
        int32_t *I = integral + first_block + t * w * (h + 1);
        const long d = long(list[k]) + offset;
        const long lo = std::clamp(d, 0L, w);
        const long hi = std::clamp(w + d, lo, w); // valid x in [lo, hi)
        int32_t *slice_k = cost + k * plane;
        for (long y = 0; y < h; ++y) {
            int32_t *__restrict Ir = I + y * w;
            const int32_t *__restrict Iu = Ir - w;
            const uint8_t *__restrict l = left + y * w;
            for (long x = 0; x < lo; ++x)
                Ir[x] = kPixelPenalty;
            if (hi > lo) {
                const uint8_t *__restrict r = right + y * w + lo - d;
                for (long x = lo; x < hi; ++x)
                    Ir[x] = std::abs(int32_t(r[x - lo]) - int32_t(l[x]));
            }
            for (long x = hi; x < w; ++x)
                Ir[x] = kPixelPenalty;
            integral_row(Ir, Iu, w);
            if (y >= box) {
                const int32_t *__restrict Ib = Ir - box * w;
                int32_t *__restrict c = slice_k + y * w;
                for (long x = box; x < w; ++x)
                    c[x] = Ir[x] - Ir[x - box] - Ib[x] + Ib[x - box];
            }
        }
    };
    auto rows = [&](long first, long end) {
        const int32_t *slices[256];
        int32_t val[kWinnerChunk];
        for (long j = first; j < end; ++j) {
            const long y = box + j;
            for (long x0 = box; x0 < w; x0 += kWinnerChunk) {
                const long cells = std::min<long>(kWinnerChunk, w - x0);
                for (int k = 0; k < n; ++k)
                    slices[k] = cost + k * plane + y * w + x0;
                choose(slices, list, n, cells, margin, val);
                uint8_t *__restrict o = out + (y - half) * w + x0 - half;
                for (long i = 0; i < cells; ++i)
                    o[i] = static_cast<uint8_t>(val[i]);
            }
        }
    };
    run_job(n, h - box, threads, schedule, slice, rows);
}

} // namespace zent_disparity

extern "C" {

ZENT_EXPORT struct sadbox *sadbox_init(int width, int height, int offset, int max_disp, int box,
                                       int margin)
{
    auto *sb = static_cast<sadbox *>(std::calloc(1, sizeof(sadbox)));
    if (sb == nullptr)
        return nullptr;
    sb->width = width;
    sb->height = height;
    sb->offset = offset;
    sb->max_disp = max_disp;
    // Wraps instead of overflowing; a non-positive slot count then fails the allocation.
    sb->num_disp = static_cast<int32_t>(static_cast<uint32_t>(max_disp) + 1u);
    sb->box = box;
    sb->margin = margin;
    bool ok = true;
    sb->integral = zeroed_area(width, long(height) + 1, sb->num_disp, &ok);
    if (ok)
        sb->row_acc = zeroed_area(1, 1, sb->num_disp, &ok);
    if (ok)
        sb->cost = zeroed_area(width, height, sb->num_disp, &ok);
    if (!ok) {
        sadbox_free(&sb);
        return nullptr;
    }
    return sb;
}

ZENT_EXPORT void sadbox_free(struct sadbox **sb)
{
    if (sb == nullptr || *sb == nullptr)
        return;
    std::free((*sb)->integral);
    std::free((*sb)->row_acc);
    std::free((*sb)->cost);
    std::free(*sb);
    *sb = nullptr;
}

ZENT_EXPORT void sadbox_disp_jump_y(struct sadbox *sb, uint8_t *out, uint8_t *left, uint8_t *right,
                                    uint8_t n, uint8_t *list)
{
    zent_disparity::jump_y_with_threads(sb, out, left, right, n, list, zent_disparity::kTeamSize,
                                        zent_disparity::Schedule::kAdaptive);
}

ZENT_EXPORT void sadbox_disp(struct sadbox *sb, uint8_t *out, uint8_t *left, uint8_t *right,
                             uint8_t n, uint8_t *list)
{
    sadbox_disp_jump_y(sb, out, left, right, n, list);
}

ZENT_EXPORT void sadbox_disp_orig(struct sadbox *sb, uint8_t *out, uint8_t *left, uint8_t *right,
                                  uint8_t n, uint8_t *list)
{
    zent_disparity::orig_with_threads(sb, out, left, right, n, list, zent_disparity::kTeamSize,
                                      zent_disparity::Schedule::kAdaptive);
}

ZENT_EXPORT void sadbox_disp_multiint(struct sadbox *sb, uint8_t *out, uint8_t *left,
                                      uint8_t *right)
{
    const long w = sb->width;
    const long plane = w * sb->height;
    const long nd = sb->num_disp;
    const long first = sb->max_disp;
    const long off = sb->offset;
    const long g = sb->box;
    // A negative box completes nowhere (its corners would lie ahead of the scan, past the
    // area): every visited byte gets slot 0, as under a box larger than the image.
    const bool boxes = g >= 0;
    // Unsigned views: the running totals exceed 32 bits on large planes, and the box sum only
    // needs them modulo 2^32.
    auto *acc = reinterpret_cast<uint32_t *>(sb->row_acc);
    auto *I = reinterpret_cast<uint32_t *>(sb->integral);
    std::memset(acc, 0, static_cast<size_t>(nd) * sizeof(uint32_t));
    // The zero row and the never-visited first raster entries must not hold another matcher's
    // sums.
    const long total = w * (sb->height + 1L) * nd;
    const long cleared = std::clamp((w + std::max(first, 0L)) * nd, 0L, total);
    std::memset(I, 0, static_cast<size_t>(cleared) * sizeof(uint32_t));
    uint32_t *base = I + w * nd;
    for (long i = std::max(first, 0L); i < plane; ++i) {
        uint32_t *Ii = base + i * nd;
        const uint32_t *Iup = Ii - w * nd;
        const long l = i - g * w - g;
        const uint8_t li = left[i];
        const uint8_t *r = right + i - off;
        int32_t best = kRasterNoCost;
        long winner = 0;
        for (long j = 0; j < nd; ++j) {
            acc[j] += static_cast<uint32_t>(std::abs(int(r[-j]) - int(li)));
            Ii[j] = acc[j] + Iup[j];
            if (boxes && l >= 0) {
                const uint32_t v =
                    base[l * nd + j] + Ii[j] - base[(i - g) * nd + j] - base[(i - g * w) * nd + j];
                if (static_cast<int32_t>(v) < best) {
                    best = static_cast<int32_t>(v);
                    winner = j;
                }
            }
        }
        out[i] = static_cast<uint8_t>(winner - off);
    }
}

} // extern "C"
