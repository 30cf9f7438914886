/* The luma scaling filter: throughput at 640x480 from a 1280x960 source through a 41x31
 * grid, against its literal rendering, its portable copy and, where OpenCV is installed,
 * cv::remap with bicubic interpolation on dense maps made from the same grid (equal taps, not
 * equal bits). */
#include "bench_util.h"
#include "k5_reference.h"
#include "k5_scale.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef ZENT_HAVE_OPENCV
#include <opencv2/imgproc.hpp>
#endif

namespace
{

uint32_t taps_word(int t0, int t1, int t2, int t3)
{
    return (static_cast<uint32_t>(t0 & 0xff) << 24) | (static_cast<uint32_t>(t1 & 0xff) << 16) |
           (static_cast<uint32_t>(t2 & 0xff) << 8) | static_cast<uint32_t>(t3 & 0xff);
}

// A Catmull-Rom-like 4-tap filter per eighth of a pixel, taps summing to 16 (divide by 16).
void make_filter(uint32_t f[9])
{
    for (int p = 0; p < 8; ++p) {
        double t = p / 8.0;
        double w[4] = {(-t * t * t + 2 * t * t - t) / 2, (3 * t * t * t - 5 * t * t + 2) / 2,
                       (-3 * t * t * t + 4 * t * t + t) / 2, (t * t * t - t * t) / 2};
        int q[4], sum = 0;
        for (int k = 0; k < 4; ++k)
            sum += q[k] = static_cast<int>(std::lround(w[k] * 16));
        q[1] += 16 - sum;
        f[p] = taps_word(q[0], q[1], q[2], q[3]);
    }
    f[8] = 0xff;
}

} // namespace

int main()
{
    const int sw = 1280, sh = 960, ow = 640, oh = 480, node = 16;
    const int gw = ow / node + 1, gh = oh / node + 1; // 41 x 31
    std::vector<unsigned char> src(static_cast<size_t>(sw) * sh);
    bench::fill(src, 3);
    // A mild barrel warp of a 2x reduction, as a lens correction would ask.
    std::vector<double> xs(gw * gh), ys(gw * gh);
    for (int j = 0; j < gh; ++j)
        for (int i = 0; i < gw; ++i) {
            double u = (i * node - ow / 2.0) / (ow / 2.0), v = (j * node - oh / 2.0) / (oh / 2.0);
            double k = 1 - 0.06 * (u * u + v * v);
            xs[j * gw + i] = sw / 2.0 + u * k * (sw / 2.0 - 8);
            ys[j * gw + i] = sh / 2.0 + v * k * (sh / 2.0 - 8);
        }
    std::vector<k5_point_t> grid(gw * gh);
    k5_set_table(grid.data(), gw * gh, xs.data(), ys.data());
    std::vector<int32_t> grid_words(2 * grid.size());
    std::memcpy(grid_words.data(), grid.data(), grid_words.size() * sizeof(int32_t));
    uint32_t fw[9];
    make_filter(fw);
    k5_filter_t filter;
    std::memcpy(&filter, fw, sizeof filter);
    const int x_step = 65536 / node, y_step = 65536 / node;

    std::vector<unsigned char> out(static_cast<size_t>(ow) * oh);
    k5ref::RefArgs args{&src, fw, ow, oh, sw, sh, sw, x_step, y_step, 0, 0, &grid_words, gw, 4};
    auto ours = [&] {
        k5_scale_luma(src.data(), out.data(), &filter, ow, oh, sw, sh, sw, x_step, y_step, 0, 0,
                      grid.data(), gw, 4);
        bench::keep(out);
    };
    ours();
    bench::check(out == k5ref::reference(args), "k5_scale_luma");
    std::vector<unsigned char> ref_out;
    auto t = bench::median_pair(
        ours, [&] { ref_out = k5ref::reference(args); }, 11);
    const double mp = ow * double(oh) / 1e6;
    std::printf("k5_scale_luma %dx%d from %dx%d, grid %dx%d, median of 11 interleaved batches\n",
                ow, oh, sw, sh, gw, gh);
    std::printf("  ours      %8.3f ms  %7.1f Mpx/s\n", t.ours * 1e3, mp / t.ours);
    std::printf("  literal   %8.3f ms  %7.1f Mpx/s  (literal/ours %.2f)\n", t.ref * 1e3, mp / t.ref,
                t.ref / t.ours);
    // The portable copy, the one the camera runs, on this machine beside the one it picks.
    std::vector<unsigned char> port_out(out.size());
    auto portable = [&] {
        k5_scale_luma_portable(src.data(), port_out.data(), &filter, ow, oh, sw, sh, sw, x_step,
                               y_step, 0, 0, grid.data(), gw, 4);
        bench::keep(port_out);
    };
    portable();
    bench::check(port_out == out, "k5_scale_luma, portable copy");
    auto tp = bench::median_pair(ours, portable, 11);
    std::printf("  ours      %8.3f ms  %7.1f Mpx/s  (%s copy)\n", tp.ours * 1e3, mp / tp.ours,
                k5_scale_wide() ? "AVX2" : "portable");
    std::printf("  portable  %8.3f ms  %7.1f Mpx/s  (portable/ours %.2f)\n", tp.ref * 1e3,
                mp / tp.ref, tp.ref / tp.ours);
#ifdef ZENT_HAVE_OPENCV
    cv::setNumThreads(1); // one core, like the kernel
    cv::Mat gx(gh, gw, CV_32F), gy(gh, gw, CV_32F);
    for (int j = 0; j < gh; ++j)
        for (int i = 0; i < gw; ++i) {
            gx.at<float>(j, i) = static_cast<float>(xs[j * gw + i]);
            gy.at<float>(j, i) = static_cast<float>(ys[j * gw + i]);
        }
    // Dense maps by bilinear interpolation of the grid, made once and not timed.
    cv::Mat mx(oh, ow, CV_32F), my(oh, ow, CV_32F);
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
            int i = x / node, j = y / node;
            float fx = (x % node) / float(node), fy = (y % node) / float(node);
            auto lerp = [&](const cv::Mat &g) {
                float a = g.at<float>(j, i) * (1 - fx) + g.at<float>(j, i + 1) * fx;
                float b = g.at<float>(j + 1, i) * (1 - fx) + g.at<float>(j + 1, i + 1) * fx;
                return a * (1 - fy) + b * fy;
            };
            mx.at<float>(y, x) = lerp(gx);
            my.at<float>(y, x) = lerp(gy);
        }
    cv::Mat m1, m2;
    cv::convertMaps(mx, my, m1, m2, CV_16SC2);
    cv::Mat csrc(sh, sw, CV_8U, src.data()), cdst;
    auto t2 = bench::median_pair(
        ours,
        [&] {
            cv::remap(csrc, cdst, m1, m2, cv::INTER_CUBIC, cv::BORDER_REPLICATE);
            bench::keep(cdst);
        },
        21);
    std::printf("  ours      %8.3f ms  %7.1f Mpx/s\n", t2.ours * 1e3, mp / t2.ours);
    std::printf("  cv::remap %8.3f ms  %7.1f Mpx/s  (INTER_CUBIC, 1 thread; remap/ours %.2f)\n",
                t2.ref * 1e3, mp / t2.ref, t2.ref / t2.ours);
#else
    std::printf(
        "  cv::remap: OpenCV not installed (scripts/install-bench-deps), comparison skipped\n");
#endif
    return 0;
}
