// The heartbeat file and the watchdog that reboots the camera when the heartbeat stops. The
// watchdog judges on the monotonic clock: a heartbeat is stale when its file went a whole
// period unchanged, so a wall-clock step (the first NTP sync after boot) cannot reboot a
// healthy camera, nor hide a hung one.
#include "watchdog.h"

#include "log.h"
#include "zent_root.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

constexpr long kPeriodMs = 60000;

// The check period: 60 s, or ZENT_WATCHDOG_PERIOD_MS (10 ... 60000) in tests. The waits
// around the reboot scale with it (10 s at the real period).
long period_ms()
{
    const char *v = std::getenv("ZENT_WATCHDOG_PERIOD_MS");
    if (v == nullptr || v[0] == '\0')
        return kPeriodMs;
    long ms = std::strtol(v, nullptr, 10);
    return ms < 10 ? 10 : (ms > kPeriodMs ? kPeriodMs : ms);
}

void add_ms(struct timespec &t, long ms)
{
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
}

void sleep_until(const struct timespec &deadline)
{
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void sleep_ms(long ms)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    add_ms(t, ms);
    sleep_until(t);
}

bool heartbeat(struct timespec &mtime)
{
    struct stat st;
    if (stat(zent_path("/tmp/watchme").c_str(), &st) != 0)
        return false;
    mtime = st.st_mtim;
    return true;
}

} // namespace

extern "C" {

ZENT_EXPORT void watchdog_kick(void)
{
    // Never through a link someone placed at the heartbeat's name.
    int fd = open(zent_path("/tmp/watchme").c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t w = write(fd, "Kick!", 5);
    (void)w;
    close(fd);
}

ZENT_EXPORT void watchdog_main(void)
{
    const long period = period_ms();
    l_printf_file(__FILE__, LOG_INFO, "Starting watchdog");
    watchdog_kick();
    // A heartbeat that cannot be read yet is judged at the first check, like any other.
    struct timespec last = {-1, -1};
    heartbeat(last);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (;;) {
        add_ms(deadline, period);
        sleep_until(deadline);
        struct timespec now_mtime;
        if (!heartbeat(now_mtime))
            break;
        if (now_mtime.tv_sec == last.tv_sec && now_mtime.tv_nsec == last.tv_nsec)
            break;
        last = now_mtime;
    }
    l_printf_file(__FILE__, LOG_ERR, "Watchdog not kicked. Rebooting in 10 s...\n");
    sleep_ms(period / 6);
    int rc = std::system(zent_tool("reboot").c_str());
    (void)rc;
    sleep_ms(period / 6);
    std::fflush(nullptr);
    _exit(0);
}

} // extern "C"
