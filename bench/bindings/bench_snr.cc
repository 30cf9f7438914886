/* SNR round trip: zent_dbus_get_snr against a bare libdbus loop that sends the identical Get
 * on the same shared connection to the same image-control service, on a private bus this
 * program starts. The two alternate in rounds, so load from other work falls on both. */
#include "private_bus.h"
#include "zent_dbus.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

using clk = std::chrono::steady_clock;

constexpr int kRounds = 20;
constexpr int kCallsPerRound = 250;

// One Get the way a plain libdbus caller writes it; the value, or -1.
int bare_get(DBusConnection *conn)
{
    DBusMessage *call =
        dbus_message_new_method_call("com.orvex.ImageControl", "/com/orvex/ImageControl/0/0",
                                     "org.freedesktop.DBus.Properties", "Get");
    const char *iface = "com.orvex.ImageControl.0.0", *prop = "Snr";
    dbus_message_append_args(call, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &prop,
                             DBUS_TYPE_INVALID);
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(conn, call, 1000, nullptr);
    dbus_message_unref(call);
    if (reply == nullptr)
        return -1;
    DBusMessageIter it, var;
    dbus_int32_t v = -1;
    if (dbus_message_iter_init(reply, &it) &&
        dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&it, &var);
        if (dbus_message_iter_get_arg_type(&var) == DBUS_TYPE_INT32)
            dbus_message_iter_get_basic(&var, &v);
    }
    dbus_message_unref(reply);
    return v;
}

struct Stats {
    double median_us, p99_us, per_second;
};

Stats stats(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double u : us)
        sum += u;
    return {us[us.size() / 2], us[us.size() * 99 / 100], 1e6 * us.size() / sum};
}

template <typename F> void timed(F call, std::vector<double> &out, bool &ok)
{
    for (int i = 0; i < kCallsPerRound; ++i) {
        auto t0 = clk::now();
        int v = call();
        out.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
        ok = ok && v == 42;
    }
}

} // namespace

int main()
{
    PrivateBus bus(BENCH_SNR_CONF, BENCH_SNR_SCRATCH, BENCH_SNR_SERVICE);
    if (!bus.start() || !bus.start_service({"--snr", "42"})) {
        std::fprintf(stderr, "bench_snr: could not start the private bus and service\n");
        return 1;
    }
    zent_dbus *d = zent_dbus_open();
    DBusConnection *conn = dbus_bus_get(DBUS_BUS_SYSTEM, nullptr);
    if (zent_dbus_get_status(d) != 0 || conn == nullptr) {
        std::fprintf(stderr, "bench_snr: no connection: %s\n", zent_dbus_get_error(d));
        return 1;
    }
    // Warm both paths up.
    for (int i = 0; i < 100; ++i) {
        zent_dbus_get_snr(d);
        bare_get(conn);
    }
    std::vector<double> mod, bare;
    bool ok = true;
    for (int r = 0; r < kRounds; ++r) {
        timed([&] { return zent_dbus_get_snr(d); }, mod, ok);
        timed([&] { return bare_get(conn); }, bare, ok);
    }
    zent_dbus_close(d);
    dbus_connection_unref(conn);
    if (!ok) {
        std::fprintf(stderr, "bench_snr: a call returned the wrong value\n");
        return 1;
    }
    Stats m = stats(mod), b = stats(bare);
    std::printf("SNR round trip on a private bus, %d calls each, alternating rounds\n",
                kRounds * kCallsPerRound);
    std::printf("%-14s %11s %11s %11s\n", "path", "median us", "p99 us", "calls/s");
    std::printf("%-14s %11.1f %11.1f %11.0f\n", "zent_dbus", m.median_us, m.p99_us, m.per_second);
    std::printf("%-14s %11.1f %11.1f %11.0f\n", "bare libdbus", b.median_us, b.p99_us,
                b.per_second);
    std::printf("ratio module/bare: median %.3f, p99 %.3f (goal: within 1.2)\n",
                m.median_us / b.median_us, m.p99_us / b.p99_us);
    return 0;
}
