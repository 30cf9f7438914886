// The luma scaling filter bit for bit against a literal rendering of its definition, run once
// with the copy the machine picks and once with the portable copy forced.
#include "k5_reference.h"
#include "k5_scale.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace
{

using k5ref::RefArgs;
using k5ref::reference;

std::vector<uint8_t> run(const RefArgs &a)
{
    std::vector<uint8_t> dst(
        static_cast<std::size_t>(std::max(a.out_rows, 0)) * std::max(a.out_width, 0), 0xEE);
    k5_filter_t f;
    std::memcpy(&f, a.filter, sizeof f);
    k5_scale_luma(a.src->data() + a.src_origin, dst.data(), &f, a.out_width, a.out_rows,
                  a.src_width, a.src_height, a.src_stride, a.x_step, a.y_step, a.x_start, a.y_start,
                  reinterpret_cast<const k5_point_t *>(a.grid->data()) + a.grid_origin,
                  a.table_stride, a.margin);
    return dst;
}

uint32_t taps_word(int t0, int t1, int t2, int t3)
{
    return (static_cast<uint32_t>(t0 & 0xff) << 24) | (static_cast<uint32_t>(t1 & 0xff) << 16) |
           (static_cast<uint32_t>(t2 & 0xff) << 8) | static_cast<uint32_t>(t3 & 0xff);
}

struct Rng {
    std::mt19937 gen;
    explicit Rng(unsigned seed) : gen(seed) {}
    int operator()(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); }
};

// The grid rows and columns the running sums reach, as the definition forms them.
struct Reach {
    int32_t gx_min = INT32_MAX, gx_max = INT32_MIN, gy_min = INT32_MAX, gy_max = INT32_MIN;
};

Reach reach(const RefArgs &a)
{
    Reach r;
    for (int c = 0; c < std::max(a.out_width, 1); ++c) {
        int32_t s =
            static_cast<int32_t>(static_cast<uint32_t>(c) * static_cast<uint32_t>(a.x_step));
        int32_t gx = ((s >> 8) + 2 * a.x_start) >> 8;
        r.gx_min = std::min(r.gx_min, gx);
        r.gx_max = std::max(r.gx_max, gx);
    }
    for (int c = 0; c < std::max(a.out_rows, 1); ++c) {
        int32_t s =
            static_cast<int32_t>(static_cast<uint32_t>(c) * static_cast<uint32_t>(a.y_step));
        int32_t gy = ((s >> 8) + 2 * a.y_start) >> 8;
        r.gy_min = std::min(r.gy_min, gy);
        r.gy_max = std::max(r.gy_max, gy);
    }
    return r;
}

// Lays out a grid holding every entry the arguments reach (nodes one to the right and one
// below included), with the kernel's pointer placed so that negative nodes exist; node() gives
// each entry its (x, y) in eighths.
template <class Node> void make_grid(RefArgs &a, std::vector<int32_t> &grid, int ts, Node node)
{
    const Reach r = reach(a);
    const long lo = static_cast<long>(r.gy_min) * ts + r.gx_min;
    const long hi = static_cast<long>(r.gy_max + 1) * ts + r.gx_max + 1;
    ASSERT_LT(hi - lo, 1L << 22) << "grid too large for a test";
    grid.assign(2 * (hi - lo + 1), 0);
    for (long i = 0; i <= hi - lo; ++i) {
        auto [x, y] = node(i + lo);
        grid[2 * i] = x;
        grid[2 * i + 1] = y;
    }
    a.grid = &grid;
    a.table_stride = ts;
    a.grid_origin = -lo;
}

std::vector<uint8_t> noise(Rng &rng, std::size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(rng(0, 255));
    return v;
}

const uint32_t identity[9] = {taps_word(0, 16, 0, 0), 0, 0, 0, 0, 0, 0, 0, 1};

TEST(K5ScaleLuma, IdentityFilterOnIntegerGridCopiesTheSource)
{
    const int w = 37, h = 23;
    std::vector<uint8_t> src(w * h);
    for (int i = 0; i < w * h; ++i)
        src[i] = static_cast<uint8_t>(i * 13 + 5);
    // One grid node per output pixel, each at an integer source position.
    std::vector<int32_t> grid;
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x) {
            grid.push_back(x * 8);
            grid.push_back(y * 8);
        }
    RefArgs a{&src, identity, w, h, w, h, w, 65536, 65536, 0, 0, &grid, w + 1, 0};
    EXPECT_EQ(run(a), src);
    EXPECT_EQ(reference(a), src);
}

TEST(K5ScaleLuma, LeftOfTheImageGivesTheBorderMinimumNotZero)
{
    const int w = 8, h = 8;
    std::vector<uint8_t> src(w * h);
    for (int i = 0; i < w * h; ++i)
        src[i] = static_cast<uint8_t>(60 + (i % w) * 10 + (i / w));
    // Every node one pixel left of the image, on row 3.
    std::vector<int32_t> grid(2 * 4, 0);
    for (int i = 0; i < 4; ++i) {
        grid[2 * i] = -8;
        grid[2 * i + 1] = 3 * 8;
    }
    RefArgs a{&src, identity, 1, 1, w, h, w, 0, 0, 0, 0, &grid, 2, 0};
    std::vector<uint8_t> out = run(a);
    // Columns -2..1 clamp to 0,0,0,1; rows 2..5: the smallest sample is column 0, row 2.
    EXPECT_EQ(out[0], 60 + 2);
    EXPECT_EQ(reference(a)[0], out[0]);
    a.margin = 10;
    EXPECT_EQ(run(a)[0], 60 + 2 - 10);
}

TEST(K5ScaleLuma, NothingWrittenForEmptyOutputsOrSources)
{
    std::vector<uint8_t> src(16, 9), dst(16, 0xEE);
    std::vector<int32_t> grid(16, 0);
    k5_filter_t f{};
    auto *g = reinterpret_cast<const k5_point_t *>(grid.data());
    k5_scale_luma(src.data(), dst.data(), &f, 4, 0, 4, 4, 4, 256, 256, 0, 0, g, 2, 0);
    k5_scale_luma(src.data(), dst.data(), &f, 0, 4, 4, 4, 4, 256, 256, 0, 0, g, 2, 0);
    k5_scale_luma(src.data(), dst.data(), &f, 4, 4, 0, 4, 4, 256, 256, 0, 0, g, 2, 0);
    k5_scale_luma(src.data(), dst.data(), &f, -3, -1, 4, 4, 4, 256, 256, 0, 0, g, 2, 0);
    EXPECT_EQ(dst, std::vector<uint8_t>(16, 0xEE));
}

TEST(K5ScaleLuma, RandomFiltersGridsAndSizesMatchTheDefinition)
{
    Rng uni(2024);
    for (int round = 0; round < 300; ++round) {
        int sw = uni(1, 70), sh = uni(1, 50), stride = sw + uni(0, 5);
        std::vector<uint8_t> src = noise(uni, static_cast<std::size_t>(stride) * sh);
        uint32_t filter[9];
        for (int p = 0; p < 8; ++p)
            filter[p] = taps_word(uni(-40, 40), uni(-20, 127), uni(-20, 127), uni(-40, 40));
        filter[8] = static_cast<uint32_t>(uni(0, 255));
        int ow = uni(0, 40), oh = uni(0, 30);
        int x_step = uni(1, 20000), y_step = uni(1, 20000);
        int x_start = uni(0, 200), y_start = uni(0, 200);
        // Size the grid for the nodes these steps and starts reach.
        int64_t max_l = ((static_cast<int64_t>(std::max(ow - 1, 0)) * x_step) >> 8) + 2 * x_start;
        int64_t max_j = ((static_cast<int64_t>(std::max(oh - 1, 0)) * y_step) >> 8) + 2 * y_start;
        int ts = static_cast<int>(max_l >> 8) + 2, rows = static_cast<int>(max_j >> 8) + 2;
        std::vector<int32_t> grid;
        for (int i = 0; i < ts * rows; ++i) {
            grid.push_back(uni(-24, sw * 8 + 24)); // some nodes outside the source
            grid.push_back(uni(-24, sh * 8 + 24));
        }
        int margin = uni(-3, 12);
        RefArgs a{&src,   filter, ow,      oh,      sw,    sh, stride,
                  x_step, y_step, x_start, y_start, &grid, ts, margin};
        ASSERT_EQ(run(a), reference(a)) << "round " << round;
    }
}

TEST(K5ScaleLuma, LimiterClampsToBytesWithNegativeMargins)
{
    const int w = 4, h = 4;
    std::vector<uint8_t> src(w * h, 250);
    src[5] = 3;
    std::vector<int32_t> grid = {8, 8, 8, 8, 8, 8, 8, 8};
    // max + margin = 240 below min - margin = 13: values end at 13, inside 0..255.
    RefArgs a{&src, identity, 1, 1, w, h, w, 0, 0, 0, 0, &grid, 2, -10};
    EXPECT_EQ(run(a)[0], 13);
    std::vector<uint8_t> bright(w * h, 255);
    RefArgs b{&bright, identity, 1, 1, w, h, w, 0, 0, 0, 0, &grid, 2, -10};
    EXPECT_EQ(run(b)[0], 255);
}

// Taps at the ends of their range drive the vertical sums far past 0...4095 both ways and the
// horizontal sums negative or past 255, under every normalisation mask.
TEST(K5ScaleLuma, ExtremeTapsUnderEveryMaskMatchTheDefinition)
{
    Rng uni(77);
    const int sw = 61, sh = 45, stride = 64;
    const int ends[] = {-128, 127, -127, 0, 1, -1, 126};
    for (int mask = 0; mask < 256; ++mask) {
        std::vector<uint8_t> src = noise(uni, static_cast<std::size_t>(stride) * sh);
        // Some rows all dark or all bright, so that sums saturate one way only.
        for (int x = 0; x < sw; ++x) {
            src[5 * stride + x] = 0;
            src[6 * stride + x] = 255;
        }
        uint32_t filter[9];
        for (int p = 0; p < 8; ++p) {
            int t[4];
            for (int &v : t)
                v = uni(0, 2) ? ends[uni(0, 6)] : uni(-128, 127);
            filter[p] = taps_word(t[0], t[1], t[2], t[3]);
        }
        filter[8] = static_cast<uint32_t>(mask);
        std::vector<int32_t> grid;
        RefArgs a{&src,   filter,          uni(1, 35),      uni(1, 12),   sw,           sh,
                  stride, uni(1000, 9000), uni(1000, 9000), uni(-20, 20), uni(-20, 20), &grid,
                  0,      uni(-8, 40)};
        make_grid(a, grid, 7, [&](long) {
            return std::pair<int32_t, int32_t>(uni(-16, sw * 8 + 16), uni(-16, sh * 8 + 16));
        });
        ASSERT_EQ(run(a), reference(a)) << "mask " << mask;
    }
}

// Every output width from 1 to 40 on rows that run from left of the image, along its border
// and through its inside to past its right edge, so that groups of pixels mix inner, border
// and outside positions, and the last pixels of a row fall into a partial group.
TEST(K5ScaleLuma, RowsCrossingTheBorderMatchAtEveryWidth)
{
    Rng uni(5);
    const int sw = 40, sh = 30, stride = 41;
    std::vector<uint8_t> src = noise(uni, static_cast<std::size_t>(stride) * sh);
    uint32_t filter[9];
    for (int p = 0; p < 8; ++p)
        filter[p] = taps_word(uni(-30, 0), uni(40, 127), uni(0, 90), uni(-30, 10));
    filter[8] = 0x5a;
    for (int ow = 1; ow <= 40; ++ow) {
        const int oh = 12;
        std::vector<int32_t> grid;
        // Node i sits at x = -5 px + i * (sw + 10) / 4 px, rows from -3 px to sh + 3 px, with a
        // jitter of a few eighths so that neighbouring pixels straddle the edges.
        RefArgs a{&src,           filter,         ow, oh, sw,    sh, stride,
                  65536 * 4 / ow, 65536 * 2 / oh, 0,  0,  &grid, 0,  uni(0, 6)};
        make_grid(a, grid, 6, [&](long i) {
            const long gx = ((i % 6) + 6) % 6, gy = i / 6;
            return std::pair<int32_t, int32_t>(
                static_cast<int32_t>(-40 + gx * (sw + 10) * 2 + uni(-6, 6)),
                static_cast<int32_t>(-24 + gy * (sh + 6) * 4 + uni(-6, 6)));
        });
        ASSERT_EQ(run(a), reference(a)) << "width " << ow;
        // The same sweep along one row of nodes inside the image: only columns cross edges.
        a.y_step = 0;
        a.y_start = 128;
        ASSERT_EQ(run(a), reference(a)) << "width " << ow;
    }
}

// Nodes near and past the size where positions no longer fit narrow arithmetic (2^21 eighths
// and beyond, up to the whole 32-bit range), in rows that also hold ordinary nodes.
TEST(K5ScaleLuma, LargeAndNegativeCoordinatesMatchTheDefinition)
{
    Rng uni(11);
    const int sw = 50, sh = 40;
    std::vector<uint8_t> src = noise(uni, static_cast<std::size_t>(sw) * sh);
    uint32_t filter[9];
    for (int p = 0; p < 8; ++p)
        filter[p] = taps_word(uni(-128, 127), uni(-128, 127), uni(-128, 127), uni(-128, 127));
    filter[8] = 0xc3;
    // Around the narrow limit, then anywhere in the 32-bit range.
    const int32_t near[] = {(1 << 21) - 1, 1 << 21, (1 << 21) + 1, 1 << 22, (1 << 23) - 1, 1 << 23};
    const int32_t big[] = {(1 << 22) + 17, -(1 << 25) - 3,  INT32_MAX, INT32_MIN,
                           INT32_MAX - 7,  INT32_MIN + 255, 1 << 30,   -(1 << 30)};
    for (int round = 0; round < 300; ++round) {
        std::vector<int32_t> grid;
        // 0: every node near the limit, 1: every node large, else one node in about 4 * mode.
        const int mode = round % 5;
        RefArgs a{&src,          filter,        uni(1, 30),   uni(1, 8),    sw,    sh, sw,
                  uni(0, 20000), uni(0, 20000), uni(-10, 10), uni(-10, 10), &grid, 0,  uni(0, 10)};
        make_grid(a, grid, uni(3, 9), [&](long) {
            auto one = [&](int size) {
                if (mode == 0)
                    return (uni(0, 1) ? 1 : -1) * near[uni(0, 5)] + uni(-2, 2);
                if (mode == 1 || uni(0, 4 * mode) == 0)
                    return static_cast<int32_t>(static_cast<uint32_t>(big[uni(0, 7)]) +
                                                static_cast<uint32_t>(uni(-3, 3)) *
                                                    (uni(0, 1) ? 1u : 0x10000u));
                return uni(-24, size * 8 + 24);
            };
            return std::pair<int32_t, int32_t>(one(sw), one(sh));
        });
        ASSERT_EQ(run(a), reference(a)) << "round " << round;
    }
}

// Negative steps and starts walk the grid backwards and before its first entry; steps large
// enough wrap the running 32-bit sums, which then jump across the grid.
TEST(K5ScaleLuma, NegativeAndWrappingStepsMatchTheDefinition)
{
    Rng uni(31);
    const int sw = 45, sh = 33;
    std::vector<uint8_t> src = noise(uni, static_cast<std::size_t>(sw) * sh);
    uint32_t filter[9];
    for (int p = 0; p < 8; ++p)
        filter[p] = taps_word(uni(-20, 10), uni(0, 127), uni(0, 127), uni(-20, 10));
    filter[8] = 0x0f;
    for (int round = 0; round < 200; ++round) {
        int x_step, y_step;
        switch (round % 4) {
        case 0: // backwards
            x_step = -uni(1, 30000);
            y_step = -uni(1, 30000);
            break;
        case 1: // the running sum passes INT32_MAX after a few pixels
            x_step = uni(0x20000000, 0x7fffffff);
            y_step = uni(0x30000000, 0x7fffffff);
            break;
        case 2: // one wrapping, one ordinary
            x_step = uni(1, 9000);
            y_step = -uni(0x20000000, 0x7fffffff);
            break;
        default: // a wrap in the last pixels of a wide row
            x_step = INT32_MAX / uni(30, 40);
            y_step = uni(0, 9000);
            break;
        }
        std::vector<int32_t> grid;
        RefArgs a{&src,   filter, uni(1, 40),     uni(1, 6),      sw,    sh, sw,
                  x_step, y_step, uni(-300, 300), uni(-300, 300), &grid, 0,  uni(0, 4)};
        // Wrapped sums reach far across the grid: its nodes come from a hash, not the
        // generator, to keep such rounds quick.
        make_grid(a, grid, uni(1, 5), [&](long i) {
            const uint32_t h = static_cast<uint32_t>(i) * 2654435761u;
            return std::pair<int32_t, int32_t>(static_cast<int32_t>(h % (sw * 8 + 48)) - 24,
                                               static_cast<int32_t>((h >> 16) % (sh * 8 + 48)) -
                                                   24);
        });
        ASSERT_EQ(run(a), reference(a)) << "round " << round;
    }
}

// Sources at most a few samples wide or high never have an unclamped neighbourhood; wider
// strides and rows read upwards (a negative stride) are followed exactly.
TEST(K5ScaleLuma, SmallSourcesAndStridesMatchTheDefinition)
{
    Rng uni(13);
    for (int round = 0; round < 300; ++round) {
        const int sw = uni(1, round % 3 ? 6 : 30), sh = uni(1, round % 3 ? 30 : 6);
        const int pitch = sw + uni(0, 9);
        const bool upwards = round % 5 == 0;
        std::vector<uint8_t> src = noise(uni, static_cast<std::size_t>(pitch) * sh);
        uint32_t filter[9];
        for (int p = 0; p < 8; ++p)
            filter[p] = taps_word(uni(-128, 127), uni(-128, 127), uni(-128, 127), uni(-128, 127));
        filter[8] = static_cast<uint32_t>(uni(0, 255));
        std::vector<int32_t> grid;
        RefArgs a{&src,
                  filter,
                  uni(1, 24),
                  uni(1, 6),
                  sw,
                  sh,
                  upwards ? -pitch : pitch,
                  uni(500, 9000),
                  uni(500, 9000),
                  uni(0, 3),
                  uni(0, 3),
                  &grid,
                  0,
                  uni(-2, 5)};
        a.src_origin = upwards ? static_cast<long>(pitch) * (sh - 1) : 0;
        make_grid(a, grid, 9, [&](long) {
            return std::pair<int32_t, int32_t>(uni(-20, sw * 8 + 20), uni(-20, sh * 8 + 20));
        });
        ASSERT_EQ(run(a), reference(a)) << "round " << round;
    }
}

// An image whose rows lie more than 2^31 bytes apart in all gives the bytes of the same image
// packed: offsets into it no longer fit 32-bit lanes. Only the touched pages are ever backed.
TEST(K5ScaleLuma, RowsFarApartMatchThePackedImage)
{
    const int sw = 40, sh = 12;
    const std::size_t pitch = std::size_t{1} << 28;
    void *map = mmap(nullptr, pitch * sh, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED)
        GTEST_SKIP() << "no room for a 3 GiB sparse mapping";
    auto *far = static_cast<uint8_t *>(map);
    Rng uni(17);
    std::vector<uint8_t> packed = noise(uni, static_cast<std::size_t>(sw) * sh);
    for (int y = 0; y < sh; ++y)
        std::memcpy(far + y * pitch, packed.data() + y * sw, sw);
    uint32_t filter[9];
    for (int p = 0; p < 8; ++p)
        filter[p] = taps_word(uni(-20, 0), uni(20, 100), uni(20, 100), uni(-20, 0));
    filter[8] = 0xf0;
    std::vector<int32_t> grid;
    RefArgs a{&packed, filter, 29, 17, sw, sh, sw, 3000, 2000, 0, 0, &grid, 0, 2};
    make_grid(a, grid, 12, [&](long) {
        return std::pair<int32_t, int32_t>(uni(-8, sw * 8 + 8), uni(-8, sh * 8 + 8));
    });
    const std::vector<uint8_t> want = reference(a);
    ASSERT_EQ(run(a), want);
    std::vector<uint8_t> got(want.size(), 0xEE);
    k5_filter_t f;
    std::memcpy(&f, filter, sizeof f);
    k5_scale_luma(far, got.data(), &f, a.out_width, a.out_rows, sw, sh, static_cast<int>(pitch),
                  a.x_step, a.y_step, 0, 0,
                  reinterpret_cast<const k5_point_t *>(grid.data()) + a.grid_origin, a.table_stride,
                  a.margin);
    munmap(map, pitch * sh);
    EXPECT_EQ(got, want);
}

// Beyond 255 either way a margin changes nothing more: the limits already pass every byte
// (or none), and sums with the neighbourhood's range must not overflow.
TEST(K5ScaleLuma, MarginsBeyondAByteActAsAByte)
{
    Rng uni(3);
    const int sw = 30, sh = 20;
    std::vector<uint8_t> src = noise(uni, static_cast<std::size_t>(sw) * sh);
    uint32_t filter[9];
    for (int p = 0; p < 8; ++p)
        filter[p] = taps_word(uni(-60, 0), uni(0, 127), uni(0, 127), uni(-60, 0));
    filter[8] = 0x33;
    std::vector<int32_t> grid;
    RefArgs a{&src, filter, 21, 9, sw, sh, sw, 5000, 6000, 0, 0, &grid, 0, 255};
    make_grid(a, grid, 8, [&](long) {
        return std::pair<int32_t, int32_t>(uni(-20, sw * 8 + 20), uni(-20, sh * 8 + 20));
    });
    const std::vector<uint8_t> wide = reference(a);
    a.margin = -255;
    const std::vector<uint8_t> shut = reference(a);
    EXPECT_EQ(shut, std::vector<uint8_t>(shut.size(), 255));
    for (int m : {256, 1000, INT_MAX - 1, INT_MAX}) {
        a.margin = m;
        EXPECT_EQ(run(a), wide) << m;
    }
    for (int m : {-256, -1000, INT_MIN + 1, INT_MIN}) {
        a.margin = m;
        EXPECT_EQ(run(a), shut) << m;
    }
}

// The copy under test is the one the environment asks for: the AVX2 copy wherever the machine
// has it, unless the portable one is forced.
TEST(K5ScaleLuma, RunsTheCopyTheMachineAndEnvironmentSelect)
{
    const char *forced = std::getenv("ZENT_PORTABLE_KERNELS");
    const bool portable = forced && *forced && std::strcmp(forced, "0") != 0;
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
#else
    const bool avx2 = false;
#endif
    EXPECT_EQ(k5_scale_wide(), !portable && avx2 ? 1 : 0);
}

TEST(K5SetTable, EighthsTruncatedTowardZero)
{
    double xs[] = {10.3, -0.2, 1e12, -1e12, NAN, 0.124};
    double ys[] = {-0.2, 10.3, 0.0, 3.0, 1.0, -0.126};
    k5_point_t grid[7];
    std::memset(grid, 0x5a, sizeof grid);
    k5_set_table(grid, 6, xs, ys);
    EXPECT_EQ(grid[0].x, 82);
    EXPECT_EQ(grid[0].y, -1);
    EXPECT_EQ(grid[1].x, -1);
    EXPECT_EQ(grid[2].x, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(grid[3].x, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(grid[3].y, 24);
    EXPECT_EQ(grid[4].x, 0);
    EXPECT_EQ(grid[5].x, 0);
    EXPECT_EQ(grid[5].y, -1);
    EXPECT_EQ(grid[6].x, 0x5a5a5a5a);
    k5_set_table(grid, 0, xs, ys);
    k5_set_table(grid, -5, xs, ys);
    EXPECT_EQ(grid[0].x, 82);
}

} // namespace
