/* Benchmark of the pixelor._speedups kernels against their literal renderings, with the
 * machine's memory-copy bandwidth measured in the same run. */
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.h"
#include "reference.h"
#include "speedups.h"

namespace
{

using bench::check;
using bench::size2;
using bytes = std::vector<unsigned char>;

/* A mild perspective warp that keeps most destination pixels inside the source. */
void warp(double *h, size2 s)
{
    const double a = 0.05, sc = 0.97;
    const double v[9] = {sc * std::cos(a),
                         -sc * std::sin(a),
                         0.06 * s.w,
                         sc * std::sin(a),
                         sc * std::cos(a),
                         -0.02 * s.h,
                         1e-5,
                         2e-5,
                         1.0};
    for (int i = 0; i < 9; ++i)
        h[i] = v[i];
}

void run(size2 s)
{
    const int n = s.w * s.h;
    bytes rgb(3 * n), grey(n), grey_ref(n), plane(n), tr(n), tr_ref(n);
    bench::fill(rgb, 1);
    bench::fill(plane, 2);

    auto t = bench::median_pair([&] { rgb_to_grey(grey.data(), rgb.data(), n); },
                                [&] { ref::rgb_to_grey(grey_ref.data(), rgb.data(), n); });
    check(grey == grey_ref, "rgb_to_grey");
    bench::row("rgb_to_grey", s, t, 4.0 * n);

    t = bench::median_pair([&] { uint8_transpose(tr.data(), plane.data(), s.w, s.h); },
                           [&] { ref::uint8_transpose(tr_ref.data(), plane.data(), s.w, s.h); });
    check(tr == tr_ref, "uint8_transpose");
    bench::row("uint8_transpose", s, t, 2.0 * n);

    double h[9];
    warp(h, s);
    bytes dst(3 * n, 0), dst_ref(3 * n, 0);
    t = bench::median_pair(
        [&] {
            project_rgbimage_onto(s.w, s.h, dst.data(), s.w, s.h, rgb.data(), h, 0, s.w, 0, s.h);
        },
        [&] {
            ref::project_rgbimage_onto(s.w, s.h, dst_ref.data(), s.w, s.h, rgb.data(), h, 0, s.w, 0,
                                       s.h);
        });
    check(dst == dst_ref, "project_rgbimage_onto");
    bench::row("project_rgbimage_onto", s, t, 6.0 * n);

    /* The per-point functions, once per pixel of the size. */
    auto project_grid = [&](auto fn) {
        double acc = 0, rx, ry;
        for (int y = 0; y < s.h; ++y)
            for (int x = 0; x < s.w; ++x) {
                fn(&rx, &ry, x, y, h);
                acc += rx + ry;
            }
        return acc;
    };
    check(project_grid(projxy) == project_grid(ref::projxy), "projxy");
    t = bench::median_pair([&] { bench::keep(project_grid(projxy)); },
                           [&] { bench::keep(project_grid(ref::projxy)); });
    bench::row("projxy (per point)", s, t, 0);

    auto sample_grid = [&](auto fn) {
        unsigned sum = 0;
        for (int y = 0; y < s.h - 1; ++y)
            for (int x = 0; x < s.w - 1; ++x)
                sum += fn(rgb.data(), s.w, x + 0.37, y + 0.61, x % 3);
        return sum;
    };
    check(sample_grid(bilin) == sample_grid(ref::bilin), "bilin");
    t = bench::median_pair([&] { bench::keep(sample_grid(bilin)); },
                           [&] { bench::keep(sample_grid(ref::bilin)); });
    bench::row("bilin (per point)", s, t, 0);
}

} // namespace

int main()
{
    bench::preamble();
    bench::header();
    for (auto s : bench::sizes)
        run(s);
    return 0;
}
