// Timing of sadbox_disp and corr_disp against literal renderings of the same algorithms, in one
// run and on the same inputs; every pair of outputs is checked for equality.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_pair.h"
#include "disparity.h"

namespace
{

// The half-resolution matcher step by step: two regions of two threads, integral blocks at
// (t+1)*S, a cost slice per candidate, then the winner choice.
void literal_sadbox(struct sadbox *sb, uint8_t *out, const uint8_t *L, const uint8_t *R, int n,
                    const uint8_t *list)
{
    const int w = sb->width, h = sb->height;
    const int Q = w * h / 4, W2 = w / 2, S = w + h + Q;
    const int BE = sb->box & 0xFFFE, B2 = BE / 2;
    for (int i = 0; i < w * h; ++i)
        out[i] = 0;
    omp_set_num_threads(2);
#pragma omp parallel
    {
        const int T = omp_get_num_threads(), t = omp_get_thread_num();
        const int q = n / T, r = n % T;
        const int first = t < r ? t * (q + 1) : t * q + r;
        const int count = t < r ? q + 1 : q;
        int32_t *I = sb->integral + (t + 1) * S;
        for (int k = first; k < first + count; ++k) {
            const int d = list[k] + sb->offset;
            for (int y = 0; y < h; y += 2) {
                int row_sum = 0;
                for (int x = 0; x < w - 1; x += 2) {
                    const int c = (y / 2) * W2 + x / 2;
                    int sample;
                    if (0 <= x - d && x - d + 1 < w)
                        sample = 2 * (std::abs(R[y * w + x - d] - L[y * w + x]) +
                                      std::abs(R[y * w + x - d + 1] - L[y * w + x + 1]));
                    else
                        sample = 1020;
                    row_sum += sample;
                    I[c] = row_sum + I[c - W2];
                    if (y >= BE && x >= BE)
                        sb->cost[k * Q + c] =
                            I[c] - I[c - B2] - I[c - B2 * W2] + I[c - B2 * W2 - B2];
                }
            }
        }
    }
    const int rows = (h + 1 - BE) / 2;
#pragma omp parallel
    {
        const int T = omp_get_num_threads(), t = omp_get_thread_num();
        const int nr = std::max(rows, 0);
        const int q = nr / T, r = nr % T;
        const int first = t < r ? t * (q + 1) : t * q + r;
        const int count = t < r ? q + 1 : q;
        for (int j = first; j < first + count; ++j) {
            const int y = BE + 2 * j;
            for (int x = BE; x < w - 1; x += 2) {
                const int c = (y / 2) * W2 + x / 2;
                int best_value = 0, best_cost = 16777215;
                for (int k = 0; k < n; ++k)
                    if (sb->cost[k * Q + c] < best_cost) {
                        best_value = list[k];
                        best_cost = sb->cost[k * Q + c] - sb->margin;
                    }
                const int o = (y - B2) * w + x - B2;
                out[o] = out[o + 1] = out[o + w] = out[o + w + 1] = uint8_t(best_value);
            }
        }
    }
}

void literal_find_row(std::vector<int> &bestL, std::vector<int> &bestR, const std::vector<int> &Lg,
                      const std::vector<int> &Rg, int w, int k, int win, int dmin, int dmax)
{
    std::vector<int> minL(w, INT_MAX), minR(w, INT_MAX);
    std::fill(bestL.begin(), bestL.end(), INT_MAX);
    std::fill(bestR.begin(), bestR.end(), INT_MAX);
    if (dmax < dmin)
        return;
    const int hw = win / 2;
    std::vector<int> P(w), A(w);
    for (int d = dmin; d <= dmax; ++d) {
        const int xs = std::max(0, d), xe = std::min(w, w + d);
        int run = 0;
        for (int x = xs; x < xe; ++x) {
            int s = 0;
            for (int y = k + 1; y <= k + win; ++y)
                s += std::abs(Lg[y * w + x] - Rg[y * w + x - d]);
            run += s;
            P[x] = run;
        }
        std::fill(A.begin(), A.end(), 2139062143);
        for (int x = xs + hw; x <= xe - hw - 1; ++x)
            A[x] = P[x + hw] - (x - hw - 1 >= xs ? P[x - hw - 1] : 0);
        for (int x = 0; x < w; ++x)
            if (A[x] < minL[x]) {
                minL[x] = A[x];
                bestL[x] = d;
            }
        for (int x = xs; x < xe; ++x)
            if (A[x] < minR[x - d]) {
                minR[x - d] = A[x];
                bestR[x - d] = -d;
            }
    }
}

void literal_corr(uint8_t *out, const uint8_t *L, const uint8_t *R, int w, int h, int dmin,
                  int dmax, int win)
{
    std::vector<int> Lg(L, L + w * h), Rg(R, R + w * h);
    for (auto *img : {&Lg, &Rg})
        for (int y = 0; y < h; ++y) {
            std::vector<int> g(w);
            for (int x = 1; x < w - 1; ++x)
                g[x] = (*img)[y * w + x + 1] - (*img)[y * w + x - 1];
            g[0] = g[1];
            g[w - 1] = g[w - 2];
            std::copy(g.begin(), g.end(), img->begin() + y * w);
        }
    std::fill(out, out + w * h, 0);
    std::vector<int> bestL(w), bestR(w);
    for (int k = 0; k < h - win; ++k) {
        literal_find_row(bestL, bestR, Lg, Rg, w, k, win, dmin, dmax);
        for (int x = 0; x < w; ++x) {
            const int d = bestL[x];
            if (d == INT_MAX || d == dmin || bestR[x - d] != -d)
                continue;
            out[k * w + x] = uint8_t((d - dmin) * (255 / (dmax - dmin)));
        }
    }
}

struct Medians {
    double fast, ref;
};

// Alternates the two runs so that both see the same load on a shared machine.
template <typename F, typename G> Medians median_ms(int reps, F &&fast, G &&ref)
{
    std::vector<double> tf, tr;
    auto time = [](auto &&f) {
        const auto a = std::chrono::steady_clock::now();
        f();
        const auto b = std::chrono::steady_clock::now();
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    for (int i = 0; i < reps; ++i) {
        tf.push_back(time(fast));
        tr.push_back(time(ref));
    }
    std::sort(tf.begin(), tf.end());
    std::sort(tr.begin(), tr.end());
    return {tf[tf.size() / 2], tr[tr.size() / 2]};
}

using bench_disparity::make_pair;
using bench_disparity::Pair;

void report(const char *what, int w, int h, double fast, double ref, bool same)
{
    const double mp = double(w) * h / 1e6;
    std::printf(
        "%-12s %4dx%-4d %10.3f ms %9.1f MP/s | literal %10.3f ms %8.1f MP/s | x%6.2f | %s\n", what,
        w, h, fast, mp / (fast / 1e3), ref, mp / (ref / 1e3), ref / fast,
        same ? "same output" : "OUTPUT DIFFERS");
}

} // namespace

int main()
{
    const int sizes[][2] = {{160, 120}, {320, 240}, {640, 480}};
    bool all_same = true;
    std::printf("sadbox_disp: 16 candidates 0..15, box 15, margin 50; corr_disp: 0..15, win 9\n");
    std::printf("median of repeated runs; ratio = literal / optimised\n");
    for (const auto &s : sizes) {
        const int w = s[0], h = s[1];
        const Pair p = make_pair(w, h);
        auto *L = const_cast<uint8_t *>(p.left.data());
        auto *R = const_cast<uint8_t *>(p.right.data());
        uint8_t list[16];
        for (int i = 0; i < 16; ++i)
            list[i] = uint8_t(i);
        const int reps = w >= 640 ? 31 : 101;

        struct sadbox *fast_sb = sadbox_init(w, h, 0, 16, 15, 50);
        struct sadbox *ref_sb = sadbox_init(w, h, 0, 16, 15, 50);
        if (fast_sb == nullptr || ref_sb == nullptr) {
            std::fprintf(stderr, "out of memory\n");
            return 1;
        }
        std::vector<uint8_t> a(w * h), b(w * h);
        const Medians m = median_ms(
            reps, [&] { sadbox_disp(fast_sb, a.data(), L, R, 16, list); },
            [&] { literal_sadbox(ref_sb, b.data(), L, R, 16, list); });
        report("sadbox_disp", w, h, m.fast, m.ref, a == b);
        all_same = all_same && a == b;
        sadbox_free(&fast_sb);
        sadbox_free(&ref_sb);

        const int creps = w >= 640 ? 9 : 25;
        const Medians c = median_ms(
            creps, [&] { corr_disp(a.data(), L, R, w, h, 0, 15, 9); },
            [&] { literal_corr(b.data(), L, R, w, h, 0, 15, 9); });
        report("corr_disp", w, h, c.fast, c.ref, a == b);
        all_same = all_same && a == b;
    }
    return all_same ? 0 : 1;
}
