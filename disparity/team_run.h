// How a box matcher's call spreads its two phases (cost slices, then winner rows) over the
// caller's OpenMP team, and the rule that decides when the second thread is worth waiting for.
#ifndef ZENT_TEAM_RUN_H
#define ZENT_TEAM_RUN_H

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace zent_disparity
{

enum class Schedule {
    // The shared team while its second thread keeps pace; the caller alone for a while after a
    // team call that came out slower than the caller alone would have been.
    kAdaptive,
    // Always the full team in one parallel region; every member works through its own even
    // share of slices (then of row chunks) and then takes what the others have not started, so
    // a late member leaves its share to the others.
    kShared,
    // Always the full team, two parallel regions with fixed, even, contiguous shares (the plain
    // arrangement, kept as the reference that the shared team is measured against).
    kStatic,
};

// Whether the next call runs with its team. A team call reports how long it took and how long
// the caller alone would have taken (from the caller's own pace). A team more than a quarter
// slower than that sends the following calls to the caller alone: one call after the first late
// team, twice as many after each further one (at most kMaxSoloCalls), and none before the time
// lost has been paid back kPayback times over (at most kMaxPauseNs). A team in good time halves
// that count again. The first team call after calls alone may find its second thread asleep, so
// its lateness is not held against the team unless it lost more than the caller alone needs
// (more than a wake-up costs); the call after it decides. Safe to use from several threads.
class TeamPolicy
{
  public:
    static constexpr int kMaxSoloCalls = 128;
    static constexpr int64_t kPayback = 20;
    static constexpr int64_t kMaxPauseNs = 1'000'000'000;

    // Decides for a call starting at now_ns; a false answer uses up one call alone.
    bool team(int64_t now_ns);
    // The outcome of a team call that ended at now_ns; true when it sends the following calls
    // to the caller alone.
    bool record(int64_t now_ns, int64_t team_ns, int64_t alone_ns);

    // Calls alone after the last late team; the next late team doubles it.
    int backoff() const { return backoff_.load(std::memory_order_relaxed); }
    // Decisions so far, for benchmarks.
    long team_calls() const { return team_calls_.load(std::memory_order_relaxed); }
    long solo_calls() const { return solo_calls_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int> backoff_{0};
    std::atomic<int> solo_left_{0};     // calls still to run alone
    std::atomic<int64_t> resume_ns_{0}; // no team call before this time
    std::atomic<bool> warm_{false};     // the previous call ran with its team
    std::atomic<long> team_calls_{0};
    std::atomic<long> solo_calls_{0};
};

// The policy that the exported matchers follow, one for the process.
TeamPolicy &team_policy();

int64_t now_ns();
// Waits until `done` reaches `target`: spins briefly, then yields the core, so that a member
// descheduled in the middle of its last unit gets it back sooner.
void wait_for(const std::atomic<long> &done, long target);

struct Range {
    long begin;
    long end;
};

// Contiguous share of [0, count) for member t of a team of size T: the first count % T members
// take one item more.
inline Range share(long count, int t, int T)
{
    if (count <= 0)
        return {0, 0};
    const long q = count / T;
    const long r = count % T;
    if (t < r)
        return {t * (q + 1), t * (q + 1) + q + 1};
    return {t * q + r, t * q + r + q};
}

// What one member did, and how long it took.
struct Tally {
    long slices = 0;
    long rows = 0;
    int64_t slice_ns = 0;
    int64_t row_ns = 0;
};

// Lanes of units: member t starts on lane t, the contiguous share that the plain arrangement
// would give it, and then takes what is left of the others' lanes. Each lane's counter sits on
// a cache line of its own, so a member working through its own lane claims without contention.
inline constexpr int kMaxLanes = 8;

struct alignas(64) Lane {
    std::atomic<long> next{0};
    long end = 0;
};

// Shared state of one call: the lanes of both phases, the slices finished, and what the members
// other than the caller did in sum.
struct Claims {
    Lane slices[kMaxLanes];
    Lane rows[kMaxLanes];
    int lanes = 1;
    alignas(64) std::atomic<long> slices_done{0};
    std::atomic<long> helper_slices{0};
    std::atomic<long> helper_rows{0};
    std::atomic<int64_t> helper_slice_ns{0};
    std::atomic<int64_t> helper_row_ns{0};

    // Splits `slice_count` slices and `row_count` rows over `members` lanes (at most
    // kMaxLanes).
    Claims(long slice_count, long row_count, int members)
    {
        lanes = std::clamp(members, 1, kMaxLanes);
        for (int t = 0; t < lanes; ++t) {
            const Range ks = share(slice_count, t, lanes);
            const Range rs = share(row_count, t, lanes);
            slices[t].next.store(ks.begin, std::memory_order_relaxed);
            slices[t].end = ks.end;
            rows[t].next.store(rs.begin, std::memory_order_relaxed);
            rows[t].end = rs.end;
        }
    }
};

// Claims units `chunk` at a time, from member t's own lane first and then from the others in
// turn, and runs work(begin, end) on each claim; returns the number of units done.
template <typename Work> long drain(Lane *lanes, int count, int t, long chunk, Work &&work)
{
    long done = 0;
    for (int i = 0; i < count; ++i) {
        Lane &lane = lanes[(t + i) % count];
        for (long j; (j = lane.next.fetch_add(chunk, std::memory_order_relaxed)) < lane.end;) {
            const long end = std::min(j + chunk, lane.end);
            work(j, end);
            done += end - j;
        }
    }
    return done;
}

// Time the caller alone would have needed for `slices` slices and `rows` rows, at the pace it
// kept in the team (at the helpers' pace for a phase in which it did nothing).
int64_t alone_ns(const Tally &caller, const Claims &c, long slices, long rows);

// One call's work: `slices` units of the first phase, every one finished before any of the
// `rows` rows of the second, which are claimed `chunk` rows at a time. slice(k, t) computes
// slice k with member t's scratch; rows(a, b) decides the rows [a, b).
template <typename Slice, typename Rows> struct Job {
    long slices;
    long rows;
    long chunk;
    Slice &slice;
    Rows &rows_of;
};

template <typename J> Tally member(J &job, Claims &c, int t)
{
    Tally tally;
    const int64_t t0 = now_ns();
    tally.slices = drain(c.slices, c.lanes, t, 1, [&](long first, long end) {
        for (long k = first; k < end; ++k)
            job.slice(k, t);
    });
    tally.slice_ns = now_ns() - t0;
    c.slices_done.fetch_add(tally.slices, std::memory_order_release);
    wait_for(c.slices_done, job.slices);
    const int64_t t1 = now_ns();
    tally.rows = drain(c.rows, c.lanes, t, job.chunk, job.rows_of);
    tally.row_ns = now_ns() - t1;
    return tally;
}

// The caller is member 0. An adaptive call that the policy keeps to the caller does the same
// work without a parallel region, so no other thread is woken or waited for.
template <typename J> void run_shared(J &job, int threads, TeamPolicy *policy)
{
    const int64_t start = now_ns();
    Claims c(job.slices, job.rows, threads);
    if (policy != nullptr && !policy->team(start)) {
        member(job, c, 0);
        return;
    }
    Tally caller;
#pragma omp parallel
    {
        const int t = omp_get_thread_num();
        const Tally mine = member(job, c, t);
        if (t == 0) {
            caller = mine;
        } else {
            c.helper_slices.fetch_add(mine.slices, std::memory_order_relaxed);
            c.helper_rows.fetch_add(mine.rows, std::memory_order_relaxed);
            c.helper_slice_ns.fetch_add(mine.slice_ns, std::memory_order_relaxed);
            c.helper_row_ns.fetch_add(mine.row_ns, std::memory_order_relaxed);
        }
    }
    if (policy != nullptr) {
        const int64_t end = now_ns();
        // An idle team thread spins for a while before it sleeps; while the calls run alone it
        // would only take a core from them and from everyone else, so it is let go (the next
        // team call starts a new one).
        if (policy->record(end, end - start, alone_ns(caller, c, job.slices, job.rows)))
            omp_pause_resource_all(omp_pause_soft);
    }
}

// The plain arrangement: one region per phase, each member a fixed contiguous share.
template <typename J> void run_static(J &job)
{
#pragma omp parallel
    {
        const Range ks = share(job.slices, omp_get_thread_num(), omp_get_num_threads());
        for (long k = ks.begin; k < ks.end; ++k)
            job.slice(k, omp_get_thread_num());
    }
#pragma omp parallel
    {
        const Range rs = share(job.rows, omp_get_thread_num(), omp_get_num_threads());
        if (rs.end > rs.begin)
            job.rows_of(rs.begin, rs.end);
    }
}

// Row chunks: about eight per member, so that a late member's rows spread over the others.
inline long row_chunk(long rows, int threads)
{
    return std::max(1L, rows / (8L * std::max(threads, 1)));
}

// Runs a call's two phases on a team of `threads`; the adaptive schedule asks `policy`.
template <typename Slice, typename Rows>
void run_job(long slices, long rows, int threads, Schedule schedule, Slice &slice, Rows &rows_of,
             TeamPolicy &policy = team_policy())
{
    // The team size asked for also holds for the caller's later parallel regions.
    omp_set_num_threads(threads);
    rows = std::max(rows, 0L);
    Job<Slice, Rows> job{std::max(slices, 0L), rows, row_chunk(rows, threads), slice, rows_of};
    if (schedule == Schedule::kStatic)
        run_static(job);
    else
        run_shared(job, threads, schedule == Schedule::kAdaptive ? &policy : nullptr);
}

} // namespace zent_disparity

#endif
