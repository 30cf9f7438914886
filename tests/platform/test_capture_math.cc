// The arithmetic of the capture module that needs no device: scaler settings, the 32-bit
// microsecond clock, and the resampler's table entries and copy-out (the luma scaling filter
// has its own tests).
#include "capture.h"
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

} // namespace
