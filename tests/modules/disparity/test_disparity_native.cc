// Native checks of the disparity kernels: allocation failures at every step (the allocator is
// wrapped at link time), team sizes of one and two threads, and matchers sharing a work object.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "disparity.h"
#include "row_scan.h"
#include "sadbox_internal.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void __real_free(void *p);
void *__wrap_malloc(size_t size);
void *__wrap_calloc(size_t count, size_t size);
void __wrap_free(void *p);
}

namespace
{

// Allocation ledger of the kernels: fail the Nth allocation from now, and count what is still
// held of the blocks handed out while armed.
struct Ledger {
    std::mutex lock;
    long countdown = -1; // allocations to let through before one fails; -1: never fail
    bool tracking = false;
    bool failed = false;
    std::set<void *> live;
};

Ledger &ledger()
{
    static Ledger l;
    return l;
}

void *note(void *p)
{
    Ledger &l = ledger();
    std::lock_guard<std::mutex> g(l.lock);
    if (p != nullptr && l.tracking)
        l.live.insert(p);
    return p;
}

bool refuse()
{
    Ledger &l = ledger();
    std::lock_guard<std::mutex> g(l.lock);
    if (l.countdown < 0)
        return false;
    if (l.countdown-- == 0) {
        l.failed = true;
        return true;
    }
    return false;
}

class AllocationFailure
{
  public:
    explicit AllocationFailure(long pass)
    {
        Ledger &l = ledger();
        std::lock_guard<std::mutex> g(l.lock);
        l.countdown = pass;
        l.tracking = true;
        l.failed = false;
        l.live.clear();
    }
    ~AllocationFailure()
    {
        Ledger &l = ledger();
        std::lock_guard<std::mutex> g(l.lock);
        l.countdown = -1;
        l.tracking = false;
    }
    bool failed()
    {
        std::lock_guard<std::mutex> g(ledger().lock);
        return ledger().failed;
    }
    size_t held()
    {
        std::lock_guard<std::mutex> g(ledger().lock);
        return ledger().live.size();
    }
};

} // namespace

extern "C" void *__wrap_malloc(size_t size)
{
    if (refuse())
        return nullptr;
    return note(__real_malloc(size));
}

extern "C" void *__wrap_calloc(size_t count, size_t size)
{
    if (refuse())
        return nullptr;
    return note(__real_calloc(count, size));
}

extern "C" void __wrap_free(void *p)
{
    {
        Ledger &l = ledger();
        std::lock_guard<std::mutex> g(l.lock);
        l.live.erase(p);
    }
    __real_free(p);
}

namespace
{

std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(gen() & 0xFF);
    return v;
}

// Right image matching the left one at disparity `shift`, with some noise.
std::vector<uint8_t> shifted(const std::vector<uint8_t> &left, int w, int h, int shift,
                             uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> right(left.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int src = x + shift;
            int v = (src >= 0 && src < w) ? left[y * w + src] : int(gen() & 0xFF);
            v += int(gen() % 9) - 4;
            right[y * w + x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    return right;
}

struct Owned {
    sadbox *sb;
    explicit Owned(sadbox *p) : sb(p) {}
    ~Owned() { sadbox_free(&sb); }
};

TEST(SadboxInit, EveryAllocationFailureReturnsNullAndReleasesTheRest)
{
    int failures = 0;
    for (long pass = 0;; ++pass) {
        AllocationFailure fail(pass);
        sadbox *sb = sadbox_init(64, 48, 0, 8, 15, 50);
        if (!fail.failed()) {
            ASSERT_NE(sb, nullptr);
            sadbox_free(&sb);
            EXPECT_EQ(sb, nullptr);
            EXPECT_EQ(fail.held(), 0u);
            break;
        }
        EXPECT_EQ(sb, nullptr) << "allocation " << pass;
        EXPECT_EQ(fail.held(), 0u) << "allocation " << pass;
        ++failures;
    }
    EXPECT_EQ(failures, 4); // the object and its three areas
}

TEST(SadboxInit, AreasAreZeroFilledAndSized)
{
    Owned o(sadbox_init(21, 13, 3, 6, 5, -2));
    ASSERT_NE(o.sb, nullptr);
    EXPECT_EQ(o.sb->width, 21);
    EXPECT_EQ(o.sb->height, 13);
    EXPECT_EQ(o.sb->offset, 3);
    EXPECT_EQ(o.sb->max_disp, 6);
    EXPECT_EQ(o.sb->num_disp, 7);
    EXPECT_EQ(o.sb->box, 5);
    EXPECT_EQ(o.sb->margin, -2);
    for (long i = 0; i < 21L * 14 * 7; ++i)
        ASSERT_EQ(o.sb->integral[i], 0);
    for (long i = 0; i < 7; ++i)
        ASSERT_EQ(o.sb->row_acc[i], 0);
    for (long i = 0; i < 21L * 13 * 7; ++i)
        ASSERT_EQ(o.sb->cost[i], 0);
}

TEST(CorrDisp, EveryAllocationFailureLeavesTheOutputUntouched)
{
    const int w = 23, h = 11;
    const auto left = noise(w * h, 1);
    const auto right = shifted(left, w, h, 2, 2);
    std::vector<uint8_t> expect(w * h);
    corr_disp(expect.data(), const_cast<uint8_t *>(left.data()),
              const_cast<uint8_t *>(right.data()), w, h, -1, 6, 3);
    int failures = 0;
    for (long pass = 0;; ++pass) {
        std::vector<uint8_t> out(w * h, 0xA7);
        bool failed = false;
        size_t held = 0;
        int rc = -1;
        {
            AllocationFailure fail(pass);
            rc = corr_disp(out.data(), const_cast<uint8_t *>(left.data()),
                           const_cast<uint8_t *>(right.data()), w, h, -1, 6, 3);
            failed = fail.failed();
            held = fail.held();
        }
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(held, 0u) << "allocation " << pass;
        if (!failed) {
            EXPECT_EQ(out, expect);
            break;
        }
        EXPECT_EQ(out, std::vector<uint8_t>(w * h, 0xA7)) << "allocation " << pass;
        ++failures;
    }
    EXPECT_GE(failures, 3);
}

TEST(FindRowDisp, AllocationFailureReportsAndMarksNoCandidate)
{
    const int w = 9, h = 6;
    std::vector<int32_t> l(w * h), r(w * h);
    for (int i = 0; i < w * h; ++i) {
        l[i] = (i * 7) % 31;
        r[i] = (i * 5) % 29;
    }
    IntImage li{w, h, l.data()}, ri{w, h, r.data()};
    std::vector<int> bestL(w, 5), bestR(w, 5);
    int rc = 0;
    {
        AllocationFailure fail(0);
        rc = FindRowDisp(bestL.data(), bestR.data(), &li, &ri, 0, 3, 0, 3);
        EXPECT_TRUE(fail.failed());
        EXPECT_EQ(fail.held(), 0u);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(bestL, std::vector<int>(w, INT32_MAX));
    EXPECT_EQ(bestR, std::vector<int>(w, INT32_MAX));
}

struct Shape {
    int w, h, max_disp, box, margin, offset, n;
};

void PrintTo(const Shape &s, std::ostream *os)
{
    *os << s.w << "x" << s.h << " max_disp " << s.max_disp << " box " << s.box << " margin "
        << s.margin << " offset " << s.offset << " n " << s.n;
}

class TeamSize : public ::testing::TestWithParam<Shape>
{
};

TEST_P(TeamSize, OneAndTwoThreadsAgree)
{
    const Shape s = GetParam();
    const auto left = noise(size_t(s.w) * s.h, 11);
    const auto right = shifted(left, s.w, s.h, 3, 12);
    std::vector<uint8_t> list(s.n);
    std::mt19937 gen(5);
    for (auto &c : list)
        c = static_cast<uint8_t>(gen() % 17);
    Owned a(sadbox_init(s.w, s.h, s.offset, s.max_disp, s.box, s.margin));
    Owned b(sadbox_init(s.w, s.h, s.offset, s.max_disp, s.box, s.margin));
    ASSERT_NE(a.sb, nullptr);
    ASSERT_NE(b.sb, nullptr);
    std::vector<uint8_t> one(left.size(), 1), two(left.size(), 2), exported(left.size(), 3);
    zent_disparity::jump_y_with_threads(a.sb, one.data(), left.data(), right.data(), s.n,
                                        list.data(), 1);
    zent_disparity::jump_y_with_threads(b.sb, two.data(), left.data(), right.data(), s.n,
                                        list.data(), 2);
    sadbox_disp(b.sb, exported.data(), const_cast<uint8_t *>(left.data()),
                const_cast<uint8_t *>(right.data()), static_cast<uint8_t>(s.n), list.data());
    EXPECT_EQ(one, two);
    EXPECT_EQ(two, exported);
    EXPECT_NE(std::count(one.begin(), one.end(), 0), long(one.size()));

    // Every schedule, and a third member where its integral block fits the area.
    const long Q = long(s.w) * s.h / 4, S = s.w + s.h + Q, G = ((s.h + 1) / 2) * (s.w / 2);
    const bool three = 3 * S + G <= long(s.w) * (s.h + 1) * (s.max_disp + 1);
    for (auto schedule : {zent_disparity::Schedule::kStatic, zent_disparity::Schedule::kAdaptive,
                          zent_disparity::Schedule::kShared})
        for (int threads : {2, 3}) {
            if (threads == 3 && !three)
                continue;
            std::fill(two.begin(), two.end(), 4);
            zent_disparity::jump_y_with_threads(b.sb, two.data(), left.data(), right.data(), s.n,
                                                list.data(), threads, schedule);
            EXPECT_EQ(one, two) << int(schedule) << " " << threads;
        }

    if (s.n <= s.max_disp + 1 && s.max_disp >= 2) {
        std::fill(one.begin(), one.end(), 1);
        std::fill(two.begin(), two.end(), 2);
        zent_disparity::orig_with_threads(a.sb, one.data(), left.data(), right.data(), s.n,
                                          list.data(), 1);
        zent_disparity::orig_with_threads(b.sb, two.data(), left.data(), right.data(), s.n,
                                          list.data(), 2);
        EXPECT_EQ(one, two);
        for (auto schedule :
             {zent_disparity::Schedule::kStatic, zent_disparity::Schedule::kAdaptive}) {
            std::fill(two.begin(), two.end(), 4);
            zent_disparity::orig_with_threads(b.sb, two.data(), left.data(), right.data(), s.n,
                                              list.data(), 2, schedule);
            EXPECT_EQ(one, two) << int(schedule);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, TeamSize,
                         ::testing::Values(Shape{160, 120, 16, 15, 50, 0, 16},
                                           Shape{77, 45, 8, 9, 3, -1, 9},
                                           Shape{33, 18, 4, 2, 0, 2, 3},
                                           Shape{64, 31, 3, 4, 7, 0, 13},
                                           Shape{50, 40, 6, 1, 0, 0, 7}),
                         [](const ::testing::TestParamInfo<Shape> &param_info) {
                             const Shape &s = param_info.param;
                             return std::to_string(s.w) + "x" + std::to_string(s.h) + "_box" +
                                    std::to_string(s.box) + "_n" + std::to_string(s.n);
                         });

// Lengths around the vector widths and the tail: the vector scans must agree with the plain
// loops and with the sums written out.
TEST(RowScan, VectorAndPortableScansAgree)
{
    std::mt19937 gen(99);
    for (long n = 0; n <= 41; ++n) {
        for (int trial = 0; trial < 4; ++trial) {
            const int32_t span = trial % 2 ? (1 << 24) : 1020;
            std::vector<int32_t> row(n), above(n);
            for (long i = 0; i < n; ++i) {
                row[i] = int32_t(gen() % uint32_t(2 * span + 1)) - span;
                above[i] = int32_t(gen() % 100000);
            }
            std::vector<int32_t> expect_int(n), expect_pre(n);
            int64_t run = 0;
            for (long i = 0; i < n; ++i) {
                run += row[i];
                expect_pre[i] = int32_t(run);
                expect_int[i] = int32_t(run + above[i]);
            }
            using Integral = void (*)(int32_t *, const int32_t *, long);
            using Prefix = void (*)(int32_t *, long);
            std::vector<std::pair<Integral, Prefix>> variants = {
                {zent_disparity::integral_row_portable, zent_disparity::prefix_row_portable},
                {zent_disparity::integral_row, zent_disparity::prefix_row},
#if ZENT_DISPARITY_SSE2
                {zent_disparity::integral_row_sse2, zent_disparity::prefix_row_sse2},
#endif
            };
            for (const auto &[integral, prefix] : variants) {
                auto a = row, b = row;
                integral(a.data(), above.data(), n);
                prefix(b.data(), n);
                EXPECT_EQ(a, expect_int) << n;
                EXPECT_EQ(b, expect_pre) << n;
            }

            // Half sample costs (0 .. 510), doubled, continuing a running sum.
            std::vector<uint16_t> half(n);
            for (auto &v : half)
                v = uint16_t(gen() % 511);
            const int32_t start = int32_t(gen() % 5000);
            std::vector<int32_t> expect_dbl(n);
            int32_t total = start;
            for (long i = 0; i < n; ++i) {
                total += 2 * half[i];
                expect_dbl[i] = total + above[i];
            }
            using Doubled =
                int32_t (*)(int32_t *, const uint16_t *, const int32_t *, long, int32_t);
            std::vector<Doubled> doubled = {
                zent_disparity::integral_row_doubled_portable,
                zent_disparity::integral_row_doubled,
#if ZENT_DISPARITY_SSE2
                zent_disparity::integral_row_doubled_sse2,
#endif
            };
            for (Doubled f : doubled) {
                std::vector<int32_t> out(n, -1);
                EXPECT_EQ(f(out.data(), half.data(), above.data(), n, start), total) << n;
                EXPECT_EQ(out, expect_dbl) << n;
            }
        }
    }
}

// Fills the integral area with large values, as a long-lived object used by another matcher
// may hold; sums over them would overflow if a matcher relied on them.
void dirty(sadbox *sb)
{
    const long total = long(sb->width) * (sb->height + 1) * sb->num_disp;
    for (long i = 0; i < total; ++i)
        sb->integral[i] = INT32_MAX - int32_t(i % 977);
}

bool zero(const int32_t *p, long count)
{
    return std::all_of(p, p + count, [](int32_t v) { return v == 0; });
}

TEST(SharedWorkObject, MatchersClearTheRowsTheyReadAsZero)
{
    const int w = 48, h = 30, md = 8, nd = md + 1;
    const auto left = noise(w * h, 21);
    const auto right = shifted(left, w, h, 2, 22);
    uint8_t list[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    auto *L = const_cast<uint8_t *>(left.data());
    auto *R = const_cast<uint8_t *>(right.data());

    std::vector<uint8_t> half(w * h), full(w * h), rast(w * h);
    {
        Owned fresh(sadbox_init(w, h, 0, md, 5, 2));
        sadbox_disp_jump_y(fresh.sb, half.data(), L, R, 9, list);
        sadbox_disp_orig(fresh.sb, full.data(), L, R, 9, list);
    }
    {
        Owned fresh(sadbox_init(w, h, 0, md, 5, 2));
        sadbox_disp_multiint(fresh.sb, rast.data(), L, R);
    }

    Owned shared(sadbox_init(w, h, 0, md, 5, 2));
    const long Q = w * h / 4, W2 = w / 2, S = w + h + Q;
    std::vector<uint8_t> out(w * h);
    for (int round = 0; round < 2; ++round) {
        dirty(shared.sb);
        std::fill(out.begin(), out.end(), 0);
        sadbox_disp_multiint(shared.sb, out.data(), L, R);
        EXPECT_EQ(out, rast) << round;
        // The zero row and the entries before the first visited raster index.
        EXPECT_TRUE(zero(shared.sb->integral, long(w + md) * nd));

        dirty(shared.sb);
        sadbox_disp_jump_y(shared.sb, out.data(), L, R, 9, list);
        EXPECT_EQ(out, half) << round;
        for (long t = 1; t <= 2; ++t)
            EXPECT_TRUE(zero(shared.sb->integral + t * S - W2, W2)) << t;

        dirty(shared.sb);
        sadbox_disp_orig(shared.sb, out.data(), L, R, 9, list);
        EXPECT_EQ(out, full) << round;
        for (long t = 0; t < 2; ++t)
            EXPECT_TRUE(zero(shared.sb->integral + w * nd + t * w * (h + 1) - w, w)) << t;
    }
}

} // namespace
