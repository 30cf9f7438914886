/* Port event delivery latency: from injecting a port event to the return of a reader blocked
 * in pop_states_block, in process (the library's control call) and from another socket (as
 * the qlevent tool sends), against the same injection into a plain GLib main-loop callback
 * subscribed to the event library without the module. Median and 99th percentile. */
#include "tidings.h"

#include <qlevent.h>
#include <qlevent_control.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using clk = std::chrono::steady_clock;
constexpr int kEvents = 1000;

std::atomic<long long> g_arrived{0}; // steady-clock ns of the latest arrival
std::atomic<int> g_count{0};

long long now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clk::now().time_since_epoch())
        .count();
}

struct Stats {
    double median_us, p99_us;
};

Stats stats(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// Sends one datagram of port event entries to this process's own socket.
class Sender
{
  public:
    Sender()
    {
        std::string dir = std::string(std::getenv("ZENT_ROOT")) + "/run/qlevent/";
        addr_.sun_family = AF_UNIX;
        std::snprintf(addr_.sun_path, sizeof addr_.sun_path, "%s%d.sock", dir.c_str(),
                      static_cast<int>(getpid()));
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ~Sender() { close(fd_); }
    void port(int port, int state)
    {
        char text[256];
        int n = std::snprintf(text, sizeof text,
                              "topic0@tns1=s:Device\ntopic1@tnsorvex=s:IO\n"
                              "topic2@tnsorvex=s:Port\nport=i:%d\nstate=b:%d\n",
                              port, state);
        sendto(fd_, text, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr *>(&addr_),
               sizeof addr_);
    }

  private:
    int fd_;
    sockaddr_un addr_{};
};

// Latencies through the module: a reader thread blocked in pop_states_block.
template <typename Inject> std::vector<double> through_module(Inject inject)
{
    event_subscriber_init();
    pop_states_block();
    std::vector<double> us;
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        for (;;) {
            ready.store(1);
            pop_states_block();
            if (stop)
                return;
            g_arrived.store(now_ns());
            g_count.fetch_add(1);
        }
    });
    for (int i = 0; i < kEvents; ++i) {
        while (ready.exchange(0) == 0)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // let it block
        int before = g_count.load();
        long long t0 = now_ns();
        inject(i % 4, (i / 4) % 2 == 0);
        while (g_count.load() == before)
            std::this_thread::yield();
        us.push_back((g_arrived.load() - t0) / 1000.0);
    }
    stop = true;
    event_subscriber_cleanup();
    reader.join();
    return us;
}

void on_event(guint, QLEvent *event, gpointer)
{
    g_arrived.store(now_ns());
    g_count.fetch_add(1);
    ql_event_free(event);
}

// Latencies into a bare subscription served by a main loop on its own thread.
template <typename Inject> std::vector<double> bare_loop(Inject inject)
{
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    QLEventHandler *h = ql_event_handler_new();
    QLEventKeyValueSet *set = ql_event_key_value_set_new();
    ql_event_key_value_set_add_key_values(set, nullptr, "topic2", "tnsorvex", "Port",
                                          QL_EVENT_VALUE_TYPE_STRING, nullptr);
    guint id;
    ql_event_handler_subscribe(h, set, &id, on_event, nullptr, nullptr);
    ql_event_key_value_set_free(set);
    std::thread runner([loop] { g_main_loop_run(loop); });
    std::vector<double> us;
    for (int i = 0; i < kEvents; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        int before = g_count.load();
        long long t0 = now_ns();
        inject(i % 4, (i / 4) % 2 == 0);
        while (g_count.load() == before)
            std::this_thread::yield();
        us.push_back((g_arrived.load() - t0) / 1000.0);
    }
    g_idle_add(
        [](gpointer l) {
            g_main_loop_quit(static_cast<GMainLoop *>(l));
            return G_SOURCE_REMOVE;
        },
        loop);
    runner.join();
    ql_event_handler_free(h);
    g_main_loop_unref(loop);
    return us;
}

} // namespace

int main()
{
    char root[] = BENCH_TIDINGS_SCRATCH "/root-XXXXXX";
    if (mkdtemp(root) == nullptr) {
        std::perror("bench_tidings: mkdtemp");
        return 1;
    }
    setenv("ZENT_ROOT", root, 1);
    auto direct = [](int port, int state) { qlevent_sim_port_event(port, state); };

    std::vector<double> mod_direct = through_module(direct);
    std::vector<double> bare_direct = bare_loop(direct);
    std::vector<double> mod_socket, bare_socket;
    {
        // The socket exists while a handler does: make one for the sender's lifetime.
        event_subscriber_init();
        Sender s;
        event_subscriber_cleanup();
        mod_socket = through_module([&](int p, int st) { s.port(p, st); });
        bare_socket = bare_loop([&](int p, int st) { s.port(p, st); });
    }
    std::string rm = std::string("rm -rf '") + root + "'";
    if (std::system(rm.c_str()) != 0)
        std::fprintf(stderr, "bench_tidings: could not remove %s\n", root);

    std::printf("port event delivery latency, %d events each (the machine is shared: "
                "quote with care)\n",
                kEvents);
    std::printf("%-34s %11s %11s\n", "path", "median us", "p99 us");
    struct Row {
        const char *name;
        Stats s;
    } rows[] = {{"module reader, control call", stats(mod_direct)},
                {"bare GLib callback, control call", stats(bare_direct)},
                {"module reader, socket", stats(mod_socket)},
                {"bare GLib callback, socket", stats(bare_socket)}};
    for (const Row &r : rows)
        std::printf("%-34s %11.1f %11.1f\n", r.name, r.s.median_us, r.s.p99_us);
    std::printf("ratio module/bare: control call median %.2f, socket median %.2f\n",
                rows[0].s.median_us / rows[1].s.median_us,
                rows[2].s.median_us / rows[3].s.median_us);
    return 0;
}
