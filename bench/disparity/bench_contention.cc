// sadbox_disp on a loaded machine: the exported two-thread call against the same call on one
// thread, idle and beside one and two busy-looping processes that this program starts and stops.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_pair.h"
#include "disparity.h"
#include "sadbox_internal.h"

namespace
{

using zent_disparity::Schedule;

using bench_disparity::make_pair;
using bench_disparity::Pair;

// Busy-looping processes, each one a competitor for a core; they die with this program.
class Competitors
{
  public:
    explicit Competitors(int count)
    {
        const pid_t parent = getpid();
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != parent)
                    _exit(0);
                volatile unsigned long spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (pid > 0)
                pids_.push_back(pid);
            else
                std::perror("fork");
        }
    }
    ~Competitors()
    {
        for (pid_t pid : pids_)
            kill(pid, SIGKILL);
        for (pid_t pid : pids_)
            waitpid(pid, nullptr, 0);
    }
    Competitors(const Competitors &) = delete;
    Competitors &operator=(const Competitors &) = delete;
    int started() const { return int(pids_.size()); }

  private:
    std::vector<pid_t> pids_;
};

struct Mode {
    const char *name;
    int threads;
    Schedule schedule;
};

// The exported call first; the others are the same matcher with its team fixed.
const Mode kModes[] = {
    {"sadbox_disp", 2, Schedule::kAdaptive},
    {"one thread", 1, Schedule::kShared},
    {"team of two", 2, Schedule::kShared},
    {"even halves", 2, Schedule::kStatic},
};
constexpr int kModeCount = int(sizeof kModes / sizeof kModes[0]);
// A team thread that has nothing to do spins for a few milliseconds before it sleeps.
constexpr int kSettleMs = 30;

struct Stats {
    double median, p90;
};

Stats stats(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 9 / 10)]};
}

// Jiffies of the whole machine, busy and in total, from the first line of /proc/stat.
struct CpuTimes {
    unsigned long long busy = 0, total = 0;
};

CpuTimes cpu_times()
{
    CpuTimes t;
    FILE *f = std::fopen("/proc/stat", "r");
    if (f == nullptr)
        return t;
    unsigned long long v[8] = {};
    if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                    &v[4], &v[5], &v[6], &v[7]) == 8) {
        for (auto x : v)
            t.total += x;
        t.busy = t.total - v[3] - v[4]; // less idle and I/O wait
    }
    std::fclose(f);
    return t;
}

double own_cpu_seconds()
{
    struct rusage ru {
    };
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Times the modes `modes` in turn, a block of calls each, so that all see the same load; adds
// each mode's times to `times` and its output to `outs`. Before each block the program sleeps
// long enough for an idle team thread to stop spinning, so that no mode pays for the one before.
void run_modes(struct sadbox *sb, const Pair &p, const std::vector<int> &modes, int blocks,
               int block, std::vector<double> *times, std::vector<uint8_t> *outs)
{
    auto *L = const_cast<uint8_t *>(p.left.data());
    auto *R = const_cast<uint8_t *>(p.right.data());
    uint8_t list[16];
    for (int i = 0; i < 16; ++i)
        list[i] = uint8_t(i);
    auto run = [&](int m) {
        const Mode &mode = kModes[m];
        const auto a = std::chrono::steady_clock::now();
        if (mode.schedule == Schedule::kAdaptive)
            sadbox_disp(sb, outs[m].data(), L, R, 16, list);
        else
            zent_disparity::jump_y_with_threads(sb, outs[m].data(), L, R, 16, list, mode.threads,
                                                mode.schedule);
        const auto b = std::chrono::steady_clock::now();
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    for (int b = 0; b < blocks; ++b)
        for (int m : modes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
            for (int i = 0; i < block; ++i)
                times[m].push_back(run(m));
        }
}

void print_mode(int m, const std::vector<double> &t, const Stats &one, double mp)
{
    const Stats s = stats(t);
    std::printf("  %-12s median %8.3f ms  p90 %8.3f ms  %7.1f MP/s  median x%5.2f  p90 x%5.2f"
                " of one thread\n",
                kModes[m].name, s.median, s.p90, mp / (s.median / 1e3), s.median / one.median,
                s.p90 / one.p90);
}

// One size under one load: first the exported call against the one-thread call, then, with
// fewer calls, the two fixed teams against the one-thread call again. Returns false when an
// output differs from the one-thread output.
bool measure(int w, int h, int competitors, int calls)
{
    const Pair p = make_pair(w, h);
    struct sadbox *sb = sadbox_init(w, h, 0, 16, 15, 50);
    if (sb == nullptr) {
        std::fprintf(stderr, "out of memory\n");
        return false;
    }
    std::vector<uint8_t> outs[kModeCount];
    std::vector<double> times[kModeCount], fixed_one;
    for (auto &o : outs)
        o.assign(size_t(w) * h, 0);
    constexpr int kBlock = 25;
    const int blocks = std::max(2, calls / kBlock);

    zent_disparity::TeamPolicy &policy = zent_disparity::team_policy();
    const long teams_before = policy.team_calls(), alone_before = policy.solo_calls();
    const CpuTimes cpu0 = cpu_times();
    const double own0 = own_cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    CpuTimes cpu1;
    double own = 0, wall = 0;
    int started = 0;
    {
        Competitors busy(competitors);
        started = busy.started();
        // Let the competitors reach their cores before timing.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        run_modes(sb, p, {0, 1}, blocks, kBlock, times, outs);
        const long teams = policy.team_calls() - teams_before;
        const long alone = policy.solo_calls() - alone_before;
        std::swap(fixed_one, times[1]);
        run_modes(sb, p, {1, 2, 3}, std::max(2, blocks / 4), kBlock, times, outs);
        std::swap(fixed_one, times[1]);
        cpu1 = cpu_times();
        own = own_cpu_seconds() - own0;
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

        const double ncpu = double(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
        const double machine = cpu1.total > cpu0.total
                                   ? double(cpu1.busy - cpu0.busy) / double(cpu1.total - cpu0.total)
                                   : 0.0;
        std::printf("%dx%d, %d busy process%s (started %d); machine busy %.0f%% of %.0f cores, "
                    "this program %.0f%% of a core, the rest (competitors and others) %.2f cores\n",
                    w, h, competitors, competitors == 1 ? "" : "es", started, 100 * machine, ncpu,
                    100 * own / wall, std::max(0.0, machine * ncpu - own / wall));
        const double mp = double(w) * h / 1e6;
        std::printf(" %zu calls each, in turn:\n", times[0].size());
        const Stats one = stats(times[1]);
        print_mode(0, times[0], one, mp);
        print_mode(1, times[1], one, mp);
        std::printf("  sadbox_disp ran %ld calls with its team and %ld on the caller alone\n",
                    teams, alone);
        std::printf(" for reference, the team without its policy, %zu calls each, in turn:\n",
                    times[2].size());
        const Stats one_again = stats(fixed_one);
        print_mode(1, fixed_one, one_again, mp);
        print_mode(2, times[2], one_again, mp);
        print_mode(3, times[3], one_again, mp);
    }
    sadbox_free(&sb);

    bool same = true;
    for (int m = 0; m < kModeCount; ++m)
        same = same && outs[m] == outs[1];
    std::printf("  %s\n", same ? "same output in every mode" : "OUTPUT DIFFERS");
    return same;
}

} // namespace

int main(int argc, char **argv)
{
    // An optional first argument scales the number of calls (for a quick look: 0.25).
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    std::printf(
        "sadbox_disp under CPU contention: 16 candidates 0..15, box 15, margin 50;\n"
        "ratios against the same call on one thread, timed in alternating blocks of calls\n");
    bool ok = true;
    const int sizes[][2] = {{160, 120}, {320, 240}};
    for (int competitors = 0; competitors <= 2; ++competitors)
        for (const auto &s : sizes)
            ok = measure(s[0], s[1], competitors, int(1000 * scale)) && ok;
    return ok ? 0 : 1;
}
