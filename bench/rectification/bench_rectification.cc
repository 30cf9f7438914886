// Time per correspondence of the generated cost (value, value with gradient) against the
// reference cost with its numeric gradient, and minimiser wall time; medians of one run.
#include "rectification.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
volatile double g_sink;

std::vector<correspondence> make_corr(int n, bool pixels, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f), d(-0.01f, 0.01f);
    std::vector<correspondence> c;
    for (int i = 0; i < n; ++i) {
        float lx = u(rng), ly = u(rng) * 0.75f;
        float rx = lx - 0.05f + d(rng), ry = ly + d(rng);
        if (pixels) {
            lx = lx * 640 + 320, ly = ly * 640 + 240, rx = rx * 640 + 320, ry = ry * 640 + 240;
        }
        c.push_back({{lx, ly}, {rx, ry}, 1.0f});
    }
    return c;
}

// Median over `samples` of the time of `reps` calls, in nanoseconds per call.
double median_ns(int samples, int reps, const std::function<void()> &call)
{
    std::vector<double> t;
    for (int s = 0; s < samples; ++s) {
        auto t0 = Clock::now();
        for (int r = 0; r < reps; ++r)
            call();
        auto t1 = Clock::now();
        t.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / reps);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

} // namespace

int main()
{
    const int n = 1000;
    auto norm = make_corr(n, false, 1), pix = make_corr(n, true, 1);
    cost_data dn{640, 480, n, norm.data()}, dp{640, 480, n, pix.data()};
    const double x[6] = {0.01, -0.02, 0.015, 0.005, -0.01, 0.1};
    double grad[6];

    const double gen_value =
        median_ns(21, 200, [&] { g_sink = generated_cost_fun(6, x, nullptr, &dn); }) / n;
    const double gen_grad =
        median_ns(21, 200, [&] { g_sink = generated_cost_fun(6, x, grad, &dn); }) / n;
    const double ref_value = median_ns(11, 5, [&] { g_sink = cost_fun_(6, x, nullptr, &dp); }) / n;
    const double ref_grad = median_ns(11, 2, [&] { g_sink = cost_fun_(6, x, grad, &dp); }) / n;

    std::printf("cost per correspondence (median, %d correspondences)\n", n);
    std::printf("  generated, value only        %10.2f ns\n", gen_value);
    std::printf("  generated, value + gradient  %10.2f ns\n", gen_grad);
    std::printf("  reference, value only        %10.2f ns\n", ref_value);
    std::printf("  reference, value + gradient  %10.2f ns  (2n+1 = 13 evaluations)\n", ref_grad);
    std::printf("  ratio reference/generated, with gradient: %.1fx (goal >= 50x)\n",
                ref_grad / gen_grad);
    std::printf("  throughput generated with gradient: %.1f M correspondences/s\n", 1e3 / gen_grad);

    const double lb[6] = {-0.1, -0.1, -0.1, -0.1, -0.1, -1}, ub[6] = {0.1, 0.1, 0.1, 0.1, 0.1, 1};
    for (int count : {200, 1000}) {
        auto c = make_corr(count, false, 7);
        int rc = 0;
        double minf = 0;
        const double ns = median_ns(5, 1, [&] {
            double xs[6] = {};
            rc = minimize(6, xs, 2000, &minf, count, c.data(), const_cast<double *>(lb),
                          const_cast<double *>(ub), 640, 480, get_generated_cost_fun());
        });
        std::printf("minimize, %4d correspondences, 2000 evaluations: %8.2f ms median "
                    "(result %d, minimum %.4f)\n",
                    count, ns / 1e6, rc, minf);
    }
    return 0;
}
