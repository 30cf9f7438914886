// The arithmetic of the capture module that needs no device: scaler settings, the 32-bit
// microsecond clock, the resampler's table entries and copy-out, and the luma scaling filter
// bit for bit against a literal rendering of its definition.
#include "capture.h"
#include "k5_reference.h"
#include "k5_scale.h"
#include "user_encode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace
{

using k5ref::RefArgs;
using k5ref::reference;

struct Scales {
    int shift, scale, offset;
};

Scales scales(int in, int out)
{
    Scales s{-7, -7, -7};
    _cap_calculate_scales(in, out, &s.shift, &s.scale, &s.offset);
    return s;
}

TEST(CaptureScales, WorkedExamplesAndLimits)
{
    Scales s = scales(1080, 120);
    EXPECT_EQ(s.shift, 3);
    EXPECT_EQ(s.scale, 127);
    EXPECT_EQ(s.offset, 0);
    s = scales(1920, 160);
    EXPECT_EQ(s.shift, 3);
    EXPECT_EQ(s.scale, 511);
    // Equal sizes need neither decimation nor scaling.
    s = scales(640, 640);
    EXPECT_EQ(s.shift, 0);
    EXPECT_EQ(s.scale, 0);
    // Enlarging cannot be done: no negative shift, no negative scale.
    s = scales(100, 640);
    EXPECT_EQ(s.shift, 0);
    EXPECT_EQ(s.scale, 0);
    // Nonsense sizes give the neutral settings instead of dividing by zero.
    s = scales(1920, 0);
    EXPECT_EQ(s.shift, 0);
    EXPECT_EQ(s.scale, 0);
    s = scales(0, 120);
    EXPECT_EQ(s.shift, 0);
    EXPECT_EQ(s.scale, 0);
    _cap_calculate_scales(1080, 120, nullptr, nullptr, nullptr);
}

TEST(CaptureScales, ScaledSizeNeverFallsShortOfTheDecimatedTarget)
{
    std::mt19937 rng(7);
    int checked = 0;
    for (int i = 0; i < 20000; ++i) {
        int out = std::uniform_int_distribution<int>(1, 2000)(rng);
        int in = std::uniform_int_distribution<int>(out, 8 * out)(rng);
        Scales s = scales(in, out);
        ASSERT_GE(s.shift, 0);
        ASSERT_LE(s.scale, 1024);
        ASSERT_GE(s.scale, 0);
        if (s.scale == 0 || s.scale == 1024)
            continue;
        long mid = static_cast<long>(in) * 1024 / (1024 + s.scale);
        ASSERT_GE(mid, static_cast<long>(out) << s.shift) << in << " -> " << out;
        ++checked;
    }
    EXPECT_GT(checked, 10000);
}

TEST(MonotonicUsec, WrapsEvery2To32Microseconds)
{
    timespec a{1000, 123456789};
    timespec b{1000 + 4294, 123456789 + 967296000};
    b.tv_sec += b.tv_nsec / 1000000000;
    b.tv_nsec %= 1000000000;
    EXPECT_EQ(zent_usec_from_timespec(&a), zent_usec_from_timespec(&b));
    timespec z{0, 0}, w{4294, 967296000};
    EXPECT_EQ(zent_usec_from_timespec(&z), 0u);
    EXPECT_EQ(zent_usec_from_timespec(&w), 0u);
    timespec last{4294, 967295000};
    EXPECT_EQ(zent_usec_from_timespec(&last), 0xffffffffu);
    timespec t{12, 345678999};
    EXPECT_EQ(zent_usec_from_timespec(&t), 12345678u);
    unsigned long m1 = monotonic_usec(), m2 = monotonic_usec();
    EXPECT_LE(m1, 0xffffffffUL);
    EXPECT_LT((m2 - m1) & 0xffffffffUL, 1000000UL);
}

// A user-encode record over plain memory, as the unit's mappings would hold it.
struct FakeUnit {
    user_encode ue{};
    user_encode_internal in{};
    std::vector<uint8_t> tables[2];
    std::vector<uint8_t> data;

    FakeUnit(unsigned dx, unsigned dy, int ow, int oh)
    {
        ue.tab_dim_x = dx;
        ue.tab_dim_y = dy;
        ue.tab_size = 8 * dx * dy;
        ue.uc_int = &in;
        for (int t = 0; t < 2; ++t) {
            tables[t].assign(ue.tab_size, 0xff);
            in.table[t] = tables[t].data();
        }
        in.out_width = ow;
        in.out_height = oh;
        data.resize(2 * static_cast<std::size_t>(ow) * oh);
        in.data = data.data();
    }
    int16_t x(int t, int i) const { return field<int16_t>(t, i, 0); }
    int16_t y(int t, int i) const { return field<int16_t>(t, i, 2); }
    uint32_t control(int t, int i) const { return field<uint32_t>(t, i, 4); }
    template <class T> T field(int t, int i, int off) const
    {
        T v;
        std::memcpy(&v, tables[t].data() + 8 * i + off, sizeof v);
        return v;
    }
};

TEST(UserEncodeTable, CoordinatesInEighthsTruncatedAndControlBits)
{
    FakeUnit u(4, 2, 16, 16);
    std::vector<double> xs = {10.3, -0.2, 0.0, 1.999, -1.13, 5000.0, -5000.0, NAN};
    std::vector<double> ys = {-0.2, 10.3, 0.125, -0.124, 4095.9, 0.0, 1.0, 2.5};
    set_user_encode_table(&u.ue, 0, xs.data(), ys.data());
    const int16_t ex[] = {82, -1, 0, 15, -9, 32767, -32768, 0};
    const int16_t ey[] = {-1, 82, 1, 0, 32767, 0, 8, 20};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(u.x(0, i), ex[i]) << i;
        EXPECT_EQ(u.y(0, i), ey[i]) << i;
        // Bits 0-8 become 128 and bits 24-29 are cleared; the others stay as they were.
        EXPECT_EQ(u.control(0, i), 0xC0FFFE80u) << i;
    }
    // Table 1 was not touched; any non-zero selector picks it.
    EXPECT_EQ(u.control(1, 0), 0xffffffffu);
    std::memset(u.tables[1].data() + 4, 0, 4);
    set_user_encode_table(&u.ue, -3, xs.data(), ys.data());
    EXPECT_EQ(u.control(1, 0), 128u);
    EXPECT_EQ(u.x(1, 0), 82);
    set_user_encode_table(&u.ue, 0, nullptr, ys.data());
    set_user_encode_table(nullptr, 0, xs.data(), ys.data());
}

TEST(UserEncodeCopy, HighBytesGroupsOfEightThenTheRest)
{
    const int ow = 32, oh = 6;
    FakeUnit u(4, 2, ow, oh);
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
            uint16_t s = static_cast<uint16_t>(((x * 7 + y * 31) & 0xff) << 8 | 0xA5);
            std::memcpy(u.data.data() + 2 * (y * ow + x), &s, 2);
        }
    for (int cw : {13, 8, 7, 1, 0, 32}) {
        std::vector<uint8_t> dst(static_cast<std::size_t>(cw) * 4 + 16, 0x11);
        cpy_frame(&u.in, dst.data(), cw, 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < cw; ++x)
                ASSERT_EQ(dst[y * cw + x], (x * 7 + y * 31) & 0xff) << cw << " " << x << "," << y;
        // Rows are packed: nothing written past copy_width * copy_height.
        for (std::size_t i = static_cast<std::size_t>(cw) * 4; i < dst.size(); ++i)
            ASSERT_EQ(dst[i], 0x11);
    }
    // A copy larger than the unit's output stops at its edges.
    std::vector<uint8_t> big(64 * 10, 0x22);
    cpy_frame(&u.in, big.data(), 64, 10);
    EXPECT_EQ(big[ow * oh], 0x22);
    EXPECT_EQ(big[ow * oh - 1], ((ow - 1) * 7 + (oh - 1) * 31) & 0xff);
    cpy_frame(&u.in, nullptr, 8, 1);
}

std::vector<uint8_t> run(const RefArgs &a)
{
    std::vector<uint8_t> dst(static_cast<std::size_t>(std::max(a.out_rows, 0)) *
                                 std::max(a.out_width, 0),
                             0xEE);
    k5_filter_t f;
    std::memcpy(&f, a.filter, sizeof f);
    k5_scale_luma(a.src->data(), dst.data(), &f, a.out_width, a.out_rows, a.src_width,
                  a.src_height, a.src_stride, a.x_step, a.y_step, a.x_start, a.y_start,
                  reinterpret_cast<const k5_point_t *>(a.grid->data()), a.table_stride, a.margin);
    return dst;
}

uint32_t taps_word(int t0, int t1, int t2, int t3)
{
    return (static_cast<uint32_t>(t0 & 0xff) << 24) | (static_cast<uint32_t>(t1 & 0xff) << 16) |
           (static_cast<uint32_t>(t2 & 0xff) << 8) | static_cast<uint32_t>(t3 & 0xff);
}

TEST(K5ScaleLuma, IdentityFilterOnIntegerGridCopiesTheSource)
{
    const int w = 37, h = 23;
    std::vector<uint8_t> src(w * h);
    for (int i = 0; i < w * h; ++i)
        src[i] = static_cast<uint8_t>(i * 13 + 5);
    uint32_t filter[9] = {taps_word(0, 16, 0, 0), 0, 0, 0, 0, 0, 0, 0, 1};
    // One grid node per output pixel, each at an integer source position.
    std::vector<int32_t> grid;
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x) {
            grid.push_back(x * 8);
            grid.push_back(y * 8);
        }
    RefArgs a{&src, filter, w, h, w, h, w, 65536, 65536, 0, 0, &grid, w + 1, 0};
    EXPECT_EQ(run(a), src);
    EXPECT_EQ(reference(a), src);
}

TEST(K5ScaleLuma, LeftOfTheImageGivesTheBorderMinimumNotZero)
{
    const int w = 8, h = 8;
    std::vector<uint8_t> src(w * h);
    for (int i = 0; i < w * h; ++i)
        src[i] = static_cast<uint8_t>(60 + (i % w) * 10 + (i / w));
    uint32_t filter[9] = {taps_word(0, 16, 0, 0), 0, 0, 0, 0, 0, 0, 0, 1};
    // Every node one pixel left of the image, on row 3.
    std::vector<int32_t> grid(2 * 4, 0);
    for (int i = 0; i < 4; ++i) {
        grid[2 * i] = -8;
        grid[2 * i + 1] = 3 * 8;
    }
    RefArgs a{&src, filter, 1, 1, w, h, w, 0, 0, 0, 0, &grid, 2, 0};
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
    std::mt19937 rng(2024);
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int round = 0; round < 300; ++round) {
        int sw = uni(1, 70), sh = uni(1, 50), stride = sw + uni(0, 5);
        std::vector<uint8_t> src(static_cast<std::size_t>(stride) * sh);
        for (auto &v : src)
            v = static_cast<uint8_t>(uni(0, 255));
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
        RefArgs a{&src, filter, ow, oh, sw, sh, stride, x_step, y_step, x_start, y_start,
                  &grid, ts, margin};
        ASSERT_EQ(run(a), reference(a)) << "round " << round;
    }
}

TEST(K5ScaleLuma, LimiterClampsToBytesWithNegativeMargins)
{
    const int w = 4, h = 4;
    std::vector<uint8_t> src(w * h, 250);
    src[5] = 3;
    uint32_t filter[9] = {taps_word(0, 16, 0, 0), 0, 0, 0, 0, 0, 0, 0, 1};
    std::vector<int32_t> grid = {8, 8, 8, 8, 8, 8, 8, 8};
    // max + margin = 240 below min - margin = 13: values end at 13, inside 0..255.
    RefArgs a{&src, filter, 1, 1, w, h, w, 0, 0, 0, 0, &grid, 2, -10};
    EXPECT_EQ(run(a)[0], 13);
    std::vector<uint8_t> bright(w * h, 255);
    RefArgs b{&bright, filter, 1, 1, w, h, w, 0, 0, 0, 0, &grid, 2, -10};
    EXPECT_EQ(run(b)[0], 255);
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
