/* Benchmark of the stereo._sievel kernels against their literal renderings, with the
 * machine's memory-copy bandwidth measured in the same run. */
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.h"
#include "reference.h"
#include "sievel.h"

namespace
{

using bench::check;
using bench::size2;
using bytes = std::vector<unsigned char>;

/* A background with noise, and a bright object over part of it. */
void frame(bytes &img, const bytes &base, size2 s, int seed)
{
    bytes noise(img.size());
    bench::fill(noise, seed);
    for (size_t i = 0; i < img.size(); ++i) {
        int v = base[i] + (noise[i] % 9) - 4;
        img[i] = v < 0 ? 0 : v > 255 ? 255 : v;
    }
    for (int y = s.h / 3; y < s.h / 2; ++y)
        for (int x = s.w / 4; x < s.w / 2; ++x)
            img[y * s.w + x] = 240;
}

void run(size2 s)
{
    const int n = s.w * s.h;
    const int nbins = 16, range = 256, maxcount = 100;
    bytes base(n), img(n), lower(n), upper(n), out(n), out_ref(n);
    bench::fill(base, 7);
    frame(img, base, s, 1);
    for (int i = 0; i < n; ++i) {
        lower[i] = base[i] > 6 ? base[i] - 6 : 0;
        upper[i] = base[i] < 249 ? base[i] + 6 : 255;
    }

    bytes model(base), model_ref(base);
    /* Both draw from the one generator: the steps differ call by call, the work does not. */
    srand(1);
    auto t = bench::median_pair(
        [&] { median_model(model.data(), img.data(), s.w, s.h, 2.0, 0.5); },
        [&] { ref::median_model(model_ref.data(), img.data(), s.w, s.h, 2.0, 0.5); });
    bench::row("median_model", s, t, 3.0 * n);

    t = bench::median_pair(
        [&] { median_sievel(out.data(), lower.data(), upper.data(), img.data(), s.w, s.h, 2.5f); },
        [&] {
            ref::median_sievel(out_ref.data(), lower.data(), upper.data(), img.data(), s.w, s.h,
                               2.5f);
        });
    check(out == out_ref, "median_sievel");
    bench::row("median_sievel", s, t, 4.0 * n);

    t = bench::median_pair(
        [&] {
            median_sievel_mask(out.data(), lower.data(), upper.data(), img.data(), s.w, s.h, 1.5f,
                               nullptr);
        },
        [&] {
            ref::median_sievel_mask(out_ref.data(), lower.data(), upper.data(), img.data(), s.w,
                                    s.h, 1.5f, nullptr);
        });
    check(out == out_ref, "median_sievel_mask");
    bench::row("median_sievel_mask", s, t, 4.0 * n);

    /* Histograms after a stream of frames, then each kernel on its own copy. */
    std::vector<uint16_t> hist(size_t(n) * nbins, 0);
    std::vector<uint32_t> count(n, 0);
    for (int f = 0; f < 60; ++f) {
        frame(img, base, s, 100 + f);
        hist_model(hist.data(), img.data(), count.data(), s.w, s.h, nbins, maxcount, range);
    }
    auto hist_ref = hist;
    auto count_ref = count;
    t = bench::median_pair(
        [&] {
            hist_model(hist.data(), img.data(), count.data(), s.w, s.h, nbins, maxcount, range);
        },
        [&] {
            ref::hist_model(hist_ref.data(), img.data(), count_ref.data(), s.w, s.h, nbins,
                            maxcount, range);
        });
    /* Traffic: the image, the counts read and written, and every histogram line read and
     * written (each pixel's 32 bytes share a cache line with its neighbour's). */
    bench::row("hist_model", s, t, n + 8.0 * n + 4.0 * nbins * n);

    bytes bg(n), bg_ref(n);
    for (int divisor : {2, 3}) {
        t = bench::median_pair(
            [&] {
                hist_sievel(out.data(), img.data(), hist.data(), count.data(), s.w, s.h, nbins,
                            divisor, range, bg.data());
            },
            [&] {
                ref::hist_sievel(out_ref.data(), img.data(), hist.data(), count.data(), s.w, s.h,
                                 nbins, divisor, range, bg_ref.data());
            });
        check(out == out_ref && bg == bg_ref, "hist_sievel");
        bench::row(divisor == 2 ? "hist_sievel (div 2)" : "hist_sievel (div 3)", s, t,
                   3.0 * n + 4.0 * n + 2.0 * nbins * n);
    }
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
