// How the box matchers spread a call over their team: every unit exactly once and the phases in
// order under each schedule, a late member's share taken over by the caller, the team policy's
// decisions call by call, and concurrent callers that stay bit-exact.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "disparity.h"
#include "sadbox_internal.h"
#include "team_run.h"

namespace
{

using zent_disparity::run_job;
using zent_disparity::Schedule;
using zent_disparity::TeamPolicy;

const char *name(Schedule s)
{
    switch (s) {
    case Schedule::kAdaptive:
        return "adaptive";
    case Schedule::kShared:
        return "shared";
    case Schedule::kStatic:
        return "static";
    }
    return "?";
}

// Holds `late` late team calls against a policy, at times well past any pause. Each one comes
// after calls alone, so each is preceded by a late call that is forgiven.
void make_late(TeamPolicy &p, int late, int64_t &clock)
{
    for (int i = 0; i < 2 * late; ++i) {
        clock += TeamPolicy::kMaxPauseNs + 1;
        while (!p.team(clock))
            ;
        p.record(clock, 200, 100);
    }
}

TEST(TeamPolicy, ColdLateTeamIsForgivenWarmOneSendsCallsToTheCaller)
{
    TeamPolicy p;
    EXPECT_TRUE(p.team(0));
    p.record(100, 200, 100); // first team call: its helper was asleep, and cost one call more
    EXPECT_EQ(p.backoff(), 0);
    EXPECT_TRUE(p.team(200));
    p.record(300, 200, 100); // late again: 100 ns lost, paid back twenty times over
    EXPECT_EQ(p.backoff(), 1);
    EXPECT_FALSE(p.team(400));  // the one call alone
    EXPECT_FALSE(p.team(2299)); // still paying back
    EXPECT_TRUE(p.team(2300));
    // Back from calls alone, the helper is cold again: one more late call is forgiven.
    p.record(2400, 200, 100);
    EXPECT_EQ(p.backoff(), 1);
    EXPECT_TRUE(p.team(2500));
    p.record(2600, 200, 100);
    EXPECT_EQ(p.backoff(), 2);
    EXPECT_FALSE(p.team(10'000'000));
    EXPECT_FALSE(p.team(10'000'001));
    EXPECT_TRUE(p.team(10'000'002));
    EXPECT_EQ(p.team_calls(), 5);
    EXPECT_EQ(p.solo_calls(), 4);
}

TEST(TeamPolicy, ColdTeamThatLostMoreThanAWakeUpIsHeldAtOnce)
{
    TeamPolicy p;
    ASSERT_TRUE(p.team(0));
    p.record(100, 201, 100); // lost more than the whole call alone: a stall, not a wake-up
    EXPECT_EQ(p.backoff(), 1);
    EXPECT_FALSE(p.team(200));
    // After the calls alone the helper is cold again; the same holds.
    ASSERT_TRUE(p.team(10'000));
    p.record(10'100, 1'000'000, 100);
    EXPECT_EQ(p.backoff(), 2);
    EXPECT_FALSE(p.team(10'200));
    EXPECT_FALSE(p.team(10'300));
    EXPECT_FALSE(p.team(10'100 + 20 * (1'000'000 - 100) - 1));
    EXPECT_TRUE(p.team(10'100 + 20 * (1'000'000 - 100)));
}

TEST(TeamPolicy, CallsAloneDoubleUpToTheCapAndHalveWhenInTime)
{
    constexpr int kCap = TeamPolicy::kMaxSoloCalls;
    TeamPolicy p;
    int64_t clock = 0;
    std::vector<int> seen, expect;
    for (int i = 0; (1 << i) <= 2 * kCap; ++i) {
        make_late(p, 1, clock);
        seen.push_back(p.backoff());
        expect.push_back(std::min(1 << i, kCap));
    }
    EXPECT_EQ(seen, expect);

    // Exactly a quarter over is still in time; one nanosecond more is not.
    clock += TeamPolicy::kMaxPauseNs + 1;
    for (int i = 0; i < kCap; ++i)
        ASSERT_FALSE(p.team(clock));
    ASSERT_TRUE(p.team(clock));
    p.record(clock, 125, 100);
    EXPECT_EQ(p.backoff(), kCap / 2);
    ASSERT_TRUE(p.team(clock));
    p.record(clock, 125, 100);
    EXPECT_EQ(p.backoff(), kCap / 4);
    ASSERT_TRUE(p.team(clock));
    p.record(clock, 126, 100);
    EXPECT_EQ(p.backoff(), kCap / 2);
}

TEST(TeamPolicy, PauseIsCappedAndStartsAfterTheCallsAlone)
{
    TeamPolicy p;
    int64_t clock = 1000;
    ASSERT_TRUE(p.team(clock));
    p.record(clock, 100, 100); // in time: the helper is awake
    ASSERT_TRUE(p.team(clock));
    // A team call that lost a whole minute must not keep the team away for twenty.
    const int64_t end = clock + 60'000'000'000;
    p.record(end, 60'000'000'100, 100);
    EXPECT_FALSE(p.team(end)); // the call alone
    EXPECT_FALSE(p.team(end + TeamPolicy::kMaxPauseNs - 1));
    EXPECT_TRUE(p.team(end + TeamPolicy::kMaxPauseNs));

    // A long pause does not replace the calls alone: both must be over.
    TeamPolicy q;
    clock = 0;
    make_late(q, 3, clock); // 1, 2, then 4 calls alone
    EXPECT_EQ(q.backoff(), 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(q.team(clock + TeamPolicy::kMaxPauseNs)) << i;
    EXPECT_TRUE(q.team(clock + TeamPolicy::kMaxPauseNs));
}

TEST(TeamPolicy, ConcurrentCallersShareOutExactlyTheCallsAlone)
{
    TeamPolicy p;
    int64_t clock = 0;
    while (p.backoff() < TeamPolicy::kMaxSoloCalls)
        make_late(p, 1, clock);
    const int64_t later = clock + TeamPolicy::kMaxPauseNs;
    std::atomic<int> alone{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            for (int c = 0; c < 200; ++c)
                if (!p.team(later))
                    alone.fetch_add(1);
        });
    go = true;
    for (auto &t : callers)
        t.join();
    EXPECT_EQ(alone.load(), TeamPolicy::kMaxSoloCalls);
}

// Records how a job ran: each unit's count, and whether any unit ran before the ones it depends
// on or beside another unit of the same member (which would share that member's scratch).
struct Probe {
    explicit Probe(long slices, long rows, int members)
        : slice_runs(slices), row_runs(rows), busy(members)
    {
    }
    std::vector<std::atomic<int>> slice_runs;
    std::vector<std::atomic<int>> row_runs;
    std::vector<std::atomic<bool>> busy; // a member's scratch in use
    std::atomic<long> slices_done{0};
    std::atomic<int> faults{0};
    std::atomic<int> row_calls{0};
    std::atomic<bool> in_parallel{false};
};

TEST(RunJob, EveryUnitOnceAndEverySliceBeforeAnyRow)
{
    const long slice_counts[] = {0, 1, 2, 17};
    const long row_counts[] = {0, 1, 5, 100, -3};
    for (Schedule schedule : {Schedule::kShared, Schedule::kStatic, Schedule::kAdaptive})
        for (int threads : {1, 2, 3, zent_disparity::kMaxLanes + 1})
            for (long slices : slice_counts)
                for (long rows : row_counts) {
                    SCOPED_TRACE(std::string(name(schedule)) + " threads " +
                                 std::to_string(threads) + " slices " + std::to_string(slices) +
                                 " rows " + std::to_string(rows));
                    Probe pr(slices, std::max(rows, 0L), threads);
                    auto slice = [&](long k, int t) {
                        if (t < 0 || t >= threads || pr.busy[t].exchange(true))
                            pr.faults.fetch_add(1);
                        pr.slice_runs[k].fetch_add(1);
                        // Long enough for the members to overlap.
                        volatile int spin = 0;
                        for (int i = 0; i < 2000; ++i)
                            spin = spin + i;
                        if (t >= 0 && t < threads)
                            pr.busy[t] = false;
                        pr.slices_done.fetch_add(1);
                    };
                    auto rows_of = [&](long a, long b) {
                        pr.row_calls.fetch_add(1);
                        if (pr.slices_done.load() != slices || a >= b || a < 0)
                            pr.faults.fetch_add(1);
                        for (long j = a; j < b; ++j)
                            pr.row_runs[j].fetch_add(1);
                    };
                    TeamPolicy policy;
                    run_job(slices, rows, threads, schedule, slice, rows_of, policy);
                    EXPECT_EQ(pr.faults.load(), 0);
                    for (long k = 0; k < slices; ++k)
                        EXPECT_EQ(pr.slice_runs[k].load(), 1) << "slice " << k;
                    for (long j = 0; j < rows; ++j)
                        EXPECT_EQ(pr.row_runs[j].load(), 1) << "row " << j;
                    // The static split gives each member one contiguous stretch of rows.
                    if (schedule == Schedule::kStatic) {
                        EXPECT_LE(pr.row_calls.load(), threads);
                    }
                    // The team size asked for stays with the caller's later regions.
                    EXPECT_EQ(omp_get_max_threads(), threads);
                }
}

// Waits, with a deadline, for an atomic to reach a value; false when the deadline passed.
bool await(const std::atomic<long> &a, long value)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (a.load() < value)
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

TEST(RunJob, MemberHeldInItsFirstUnitLeavesEverythingElseToTheCaller)
{
    const long slices = 24, rows = 64;
    std::atomic<long> caller_slices{0}, caller_rows{0}, helper_slices{0}, helper_rows{0};
    std::atomic<bool> helper_held_slice{false}, helper_held_rows{false};
    std::atomic<long> slices_done{0}, rows_done{0};
    bool timely = true;
    auto slice = [&](long, int t) {
        if (t != 0 && !helper_held_slice.exchange(true)) {
            // As if descheduled in the middle of its first slice: the others must go on.
            timely = await(slices_done, slices - 1) && timely;
        }
        (t == 0 ? caller_slices : helper_slices).fetch_add(1);
        slices_done.fetch_add(1);
    };
    auto rows_of = [&](long a, long b) {
        const bool caller = omp_get_thread_num() == 0;
        if (!caller && !helper_held_rows.exchange(true))
            timely = await(rows_done, rows - (b - a)) && timely;
        (caller ? caller_rows : helper_rows).fetch_add(b - a);
        rows_done.fetch_add(b - a);
    };
    run_job(slices, rows, 2, Schedule::kShared, slice, rows_of);
    EXPECT_TRUE(timely) << "the caller waited for a member it did not need";
    EXPECT_EQ(caller_slices + helper_slices, slices);
    EXPECT_EQ(caller_rows + helper_rows, rows);
    // A helper that arrives at all does one unit of each phase: the one it was held in.
    EXPECT_LE(helper_slices.load(), 1);
    EXPECT_LE(helper_rows.load(), zent_disparity::row_chunk(rows, 2));
}

TEST(RunJob, AdaptiveRunsTheCallerAloneAfterLateTeams)
{
    if (omp_get_thread_limit() < 2)
        GTEST_SKIP() << "the thread limit keeps every team to its caller";
    TeamPolicy policy;
    // Many short slices: the caller's wait for its helper to join, in its first slice, hardly
    // changes the pace by which the call alone is estimated (about that one wait).
    const long slices = 1000;
    std::atomic<long> helper_started{0};
    std::atomic<int> in_region{0}, outside{0};
    bool timely = true;
    auto slow_helper = [&](long, int t) {
        (omp_in_parallel() ? in_region : outside).fetch_add(1);
        if (t != 0) {
            helper_started = 1;
            // A helper descheduled for longer than any wake-up takes.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        } else if (omp_get_num_threads() > 1) {
            timely = await(helper_started, 1) && timely; // make sure the helper takes a slice
        }
    };
    auto rows_of = [](long, long) {};
    // Far more late than a wake-up explains: held against the team at once.
    run_job(slices, 4, 2, Schedule::kAdaptive, slow_helper, rows_of, policy);
    ASSERT_TRUE(timely);
    EXPECT_EQ(policy.backoff(), 1);
    EXPECT_EQ(policy.team_calls(), 1);
    EXPECT_EQ(in_region.load(), slices);
    EXPECT_EQ(outside.load(), 0);
    // Now the call runs on the caller alone, without a parallel region.
    run_job(slices, 4, 2, Schedule::kAdaptive, slow_helper, rows_of, policy);
    EXPECT_EQ(policy.solo_calls(), 1);
    EXPECT_EQ(outside.load(), slices);
}

std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(gen() & 0xFF);
    return v;
}

std::vector<uint8_t> shifted(const std::vector<uint8_t> &left, int w, int h, int shift)
{
    std::vector<uint8_t> right(left.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            right[y * w + x] = left[y * w + std::min(w - 1, x + shift)];
    return right;
}

struct Owned {
    sadbox *sb;
    explicit Owned(sadbox *p) : sb(p) {}
    ~Owned() { sadbox_free(&sb); }
};

// Several callers at once, each with its own work object and its own team, more threads than
// cores: members are descheduled mid-call and the policy changes its mind between calls.
TEST(Matchers, ConcurrentCallersStayExact)
{
    const int w = 96, h = 64, callers = 4, calls = 60;
    struct Input {
        std::vector<uint8_t> left, right, list, expect_half, expect_full;
    };
    std::vector<Input> in(callers);
    for (int i = 0; i < callers; ++i) {
        in[i].left = noise(size_t(w) * h, 40 + i);
        in[i].right = shifted(in[i].left, w, h, 2 + i);
        for (int c = 0; c < 12; ++c)
            in[i].list.push_back(uint8_t((c * 5 + i) % 13));
        Owned o(sadbox_init(w, h, 0, 12, 7, 3));
        ASSERT_NE(o.sb, nullptr);
        in[i].expect_half.resize(size_t(w) * h);
        in[i].expect_full.resize(size_t(w) * h);
        zent_disparity::jump_y_with_threads(o.sb, in[i].expect_half.data(), in[i].left.data(),
                                            in[i].right.data(), 12, in[i].list.data(), 1);
        zent_disparity::orig_with_threads(o.sb, in[i].expect_full.data(), in[i].left.data(),
                                          in[i].right.data(), 12, in[i].list.data(), 1);
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&, i] {
            Owned o(sadbox_init(w, h, 0, 12, 7, 3));
            if (o.sb == nullptr) {
                wrong.fetch_add(1);
                return;
            }
            Input &x = in[i];
            std::vector<uint8_t> out(size_t(w) * h);
            for (int c = 0; c < calls; ++c) {
                std::fill(out.begin(), out.end(), 0xEE);
                if (c % 4 == 3) {
                    sadbox_disp_orig(o.sb, out.data(), x.left.data(), x.right.data(), 12,
                                     x.list.data());
                    wrong.fetch_add(out != x.expect_full);
                } else {
                    sadbox_disp(o.sb, out.data(), x.left.data(), x.right.data(), 12, x.list.data());
                    wrong.fetch_add(out != x.expect_half);
                }
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
