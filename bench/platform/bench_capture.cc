/* Stereo pairs per second through get, read and return, with the simulated drivers refilling
 * every buffer as soon as it is handed back, against the floor of the same drivers: a bare
 * loop that polls both nodes and hands back whatever is filled, with no pairing at all.
 * Runs under the drivers' preload (bench/platform/run.sh). */
#include "capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <poll.h>
#include <vector>

namespace
{

using clk = std::chrono::steady_clock;
using auto_fn = void (*)(int, int);

constexpr double kSeconds = 0.6;

// Pairs per second delivered by the module.
double module_rate(int w, int h, auto_fn autofill)
{
    cam_t cam = create_camera(25, w, h, 0, 1920, 0, 1080, 1920, 1080);
    autofill(0, 1);
    autofill(1, 1);
    long pairs = 0;
    unsigned sum = 0;
    const auto t0 = clk::now();
    const auto end =
        t0 + std::chrono::duration_cast<clk::duration>(std::chrono::duration<double>(kSeconds));
    while (clk::now() < end) {
        frm_pair_t p = cap_get_stereo_frame(cam->left, cam->right);
        sum += cap_get_data(cam->left, p->left)[w * h / 2] + cap_get_data(cam->right, p->right)[7];
        cap_return_stereo_frame(cam->left, cam->right, p);
        ++pairs;
    }
    double s = std::chrono::duration<double>(clk::now() - t0).count();
    autofill(0, 0);
    autofill(1, 0);
    free_camera(cam);
    if (sum == 1)
        std::puts("");
    return pairs / s;
}

// Hands back every filled buffer of a channel; how many.
int hand_back(cap_t c)
{
    int n = 0;
    for (int i = 0; i < c->buffer_count; ++i) {
        auto *state = reinterpret_cast<volatile uint32_t *>(c->buffers[i].header + CAP_HDR_STATE);
        if (*state == CAP_STATE_FILLED) {
            *state = CAP_STATE_DRIVER;
            ++n;
        }
    }
    return n;
}

// The floor: poll both nodes and return whatever is there; a "pair" per frame of each side.
double floor_rate(int w, int h, auto_fn autofill)
{
    cap_t l = _cap_open_channel_roi(1, 25, w, h, 0, 1920, 0, 1080, 25, 0, 0, 0);
    cap_t r = _cap_open_channel_roi(2, 25, w, h, 0, 1920, 0, 1080, 25, 0, 0, 0);
    autofill(0, 1);
    autofill(1, 1);
    long left = 0, right = 0;
    const auto t0 = clk::now();
    const auto end =
        t0 + std::chrono::duration_cast<clk::duration>(std::chrono::duration<double>(kSeconds));
    while (clk::now() < end) {
        struct pollfd p[2] = {{l->fd, POLLIN, 0}, {r->fd, POLLIN, 0}};
        poll(p, 2, 50);
        left += hand_back(l);
        right += hand_back(r);
    }
    double s = std::chrono::duration<double>(clk::now() - t0).count();
    autofill(0, 0);
    autofill(1, 0);
    cap_close(l);
    cap_close(r);
    return std::min(left, right) / s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    auto autofill = reinterpret_cast<auto_fn>(dlsym(RTLD_DEFAULT, "devsim_cam_auto"));
    if (autofill == nullptr) {
        std::fprintf(stderr, "bench_capture: run it under the simulated drivers (run.sh)\n");
        return 1;
    }
    std::printf("stereo pairs per second, 25 buffers a side, driver refilling at once;\n"
                "median of 5 interleaved runs of %.1f s each\n",
                kSeconds);
    std::printf("%-9s %12s %12s %10s %12s\n", "size", "module/s", "floor/s", "floor/mod",
                "us per pair");
    for (auto [w, h] : {std::pair{320, 240}, std::pair{640, 480}}) {
        std::vector<double> mod, flo;
        for (int i = 0; i < 5; ++i) {
            mod.push_back(module_rate(w, h, autofill));
            flo.push_back(floor_rate(w, h, autofill));
        }
        double m = median(mod), f = median(flo);
        std::printf("%4dx%-4d %12.0f %12.0f %10.2f %12.1f\n", w, h, m, f, f / m, 1e6 / m);
    }
    return 0;
}
