// The team policy of the box matchers and the waits between their phases.
#include "team_run.h"

#include <chrono>
#include <thread>

namespace zent_disparity
{

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace
{

void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

void wait_for(const std::atomic<long> &done, long target)
{
    for (int spins = 0; done.load(std::memory_order_acquire) < target; ++spins) {
        if (spins < 1000)
            relax();
        else
            std::this_thread::yield();
    }
}

int64_t alone_ns(const Tally &caller, const Claims &c, long slices, long rows)
{
    auto pace = [](long own, int64_t own_ns, long other, int64_t other_ns) {
        if (own > 0)
            return double(own_ns) / double(own);
        return other > 0 ? double(other_ns) / double(other) : 0.0;
    };
    const double per_slice =
        pace(caller.slices, caller.slice_ns, c.helper_slices.load(), c.helper_slice_ns.load());
    const double per_row =
        pace(caller.rows, caller.row_ns, c.helper_rows.load(), c.helper_row_ns.load());
    return int64_t(per_slice * double(slices) + per_row * double(rows));
}

bool TeamPolicy::team(int64_t now)
{
    int left = solo_left_.load(std::memory_order_relaxed);
    while (left > 0 && !solo_left_.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
        ;
    if (left > 0 || now < resume_ns_.load(std::memory_order_relaxed)) {
        warm_.store(false, std::memory_order_relaxed);
        solo_calls_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    team_calls_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool TeamPolicy::record(int64_t now, int64_t team_ns, int64_t alone)
{
    const bool warm = warm_.exchange(true, std::memory_order_relaxed);
    // In time: no more than a quarter over the caller alone.
    if (4 * team_ns <= 5 * alone) {
        backoff_.store(backoff_.load(std::memory_order_relaxed) / 2, std::memory_order_relaxed);
        return false;
    }
    // Waking a sleeping helper costs about one short call at most; a cold team that lost more
    // met a busy machine, not a sleeping thread.
    if (!warm && team_ns <= 2 * alone)
        return false;
    const int calls = std::clamp(2 * backoff_.load(std::memory_order_relaxed), 1, kMaxSoloCalls);
    backoff_.store(calls, std::memory_order_relaxed);
    solo_left_.store(calls, std::memory_order_relaxed);
    const int64_t lost = team_ns - alone;
    const int64_t pause = lost >= kMaxPauseNs / kPayback ? kMaxPauseNs : lost * kPayback;
    resume_ns_.store(now + pause, std::memory_order_relaxed);
    warm_.store(false, std::memory_order_relaxed);
    return true;
}

TeamPolicy &team_policy()
{
    static TeamPolicy policy;
    return policy;
}

} // namespace zent_disparity
