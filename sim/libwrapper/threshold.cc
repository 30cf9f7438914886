/* Adaptive threshold and dark-region labelling: the first stages of the marker detector,
 * one pass of running sums over the image and one union-find over the dark runs. */
#include "detect_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace wrapper
{

namespace
{

// Half-size of the window whose mean is the local reference. The outer border of a marker
// stays a closed dark band whatever the cell size, so one window serves every scale.
constexpr int kRadius = 10;
// How much darker than the local reference (grey levels) a pixel must be to count as dark.
constexpr int kMargin = 7;

struct Run {
    int y, x0, x1; // inclusive
};

int find_root(std::vector<int> &parent, int i)
{
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

void unite(std::vector<int> &parent, int a, int b)
{
    a = find_root(parent, a);
    b = find_root(parent, b);
    // The smaller index stays the root, so a root is its region's first run.
    if (a < b)
        parent[b] = a;
    else if (b < a)
        parent[a] = b;
}

} // namespace

float Image::sample(float x, float y) const
{
    x = std::clamp(x, 0.0f, static_cast<float>(w - 1));
    y = std::clamp(y, 0.0f, static_cast<float>(h - 1));
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
    const float fx = x - x0, fy = y - y0;
    const float top = at(x0, y0) + fx * (at(x1, y0) - at(x0, y0));
    const float bottom = at(x0, y1) + fx * (at(x1, y1) - at(x0, y1));
    return top + fy * (bottom - top);
}

void dark_mask(const Image &im, std::vector<uint8_t> &mask)
{
    const int w = im.w, h = im.h;
    const size_t stride = static_cast<size_t>(w) + 2;
    mask.assign(stride * (static_cast<size_t>(h) + 2), 0);
    // Column sums over the rows of the large window and of the 3-row window around row y.
    std::vector<int32_t> big(w, 0), small(w, 0), pbig(w + 1, 0);
    auto add_row = [&](std::vector<int32_t> &col, int y, int sign) {
        const uint8_t *row = im.px + static_cast<size_t>(y) * w;
        int32_t *c = col.data();
        for (int x = 0; x < w; ++x)
            c[x] += sign * row[x];
    };
    for (int y = 0; y <= std::min(kRadius, h - 1); ++y)
        add_row(big, y, 1);
    for (int y = 0; y <= std::min(1, h - 1); ++y)
        add_row(small, y, 1);

    for (int y = 0; y < h; ++y) {
        if (y > 0) {
            if (y + kRadius < h)
                add_row(big, y + kRadius, 1);
            if (y - kRadius - 1 >= 0)
                add_row(big, y - kRadius - 1, -1);
            if (y + 1 < h)
                add_row(small, y + 1, 1);
            if (y - 2 >= 0)
                add_row(small, y - 2, -1);
        }
        const int rows_big = std::min(y + kRadius, h - 1) - std::max(y - kRadius, 0) + 1;
        const int rows_small = std::min(y + 1, h - 1) - std::max(y - 1, 0) + 1;
        // The large window needs running sums along the row; the 3-wide one adds directly.
        for (int x = 0; x < w; ++x)
            pbig[x + 1] = pbig[x] + big[x];
        uint8_t *out = mask.data() + (static_cast<size_t>(y) + 1) * stride + 1;
        // dark when S / nS < B / nB - margin, in integers: S nB < B nS - margin nB nS
        auto edge_pixel = [&](int x) {
            const int lb = std::max(x - kRadius, 0), hb = std::min(x + kRadius, w - 1);
            const int ls = std::max(x - 1, 0), hs = std::min(x + 1, w - 1);
            const int32_t nb = rows_big * (hb - lb + 1), ns = rows_small * (hs - ls + 1);
            const int32_t b = pbig[hb + 1] - pbig[lb];
            int32_t s = 0;
            for (int k = ls; k <= hs; ++k)
                s += small[k];
            out[x] = s * nb < b * ns - kMargin * nb * ns;
        };
        const int inner_lo = std::max(kRadius, 1), inner_hi = std::min(w - 1 - kRadius, w - 2);
        if (inner_lo > inner_hi) {
            for (int x = 0; x < w; ++x)
                edge_pixel(x);
            continue;
        }
        for (int x = 0; x < inner_lo; ++x)
            edge_pixel(x);
        {
            const int32_t nb = rows_big * (2 * kRadius + 1), ns = rows_small * 3;
            const int32_t k = kMargin * nb * ns;
            const int32_t *pb = pbig.data(), *sm = small.data();
            for (int x = inner_lo; x <= inner_hi; ++x) {
                const int32_t b = pb[x + kRadius + 1] - pb[x - kRadius];
                const int32_t s = sm[x - 1] + sm[x] + sm[x + 1];
                out[x] = s * nb < b * ns - k;
            }
        }
        for (int x = inner_hi + 1; x < w; ++x)
            edge_pixel(x);
    }
}

std::vector<Blob> dark_blobs(const std::vector<uint8_t> &mask, int w, int h)
{
    const size_t stride = static_cast<size_t>(w) + 2;
    std::vector<Run> runs;
    std::vector<int> parent;
    size_t prev_begin = 0, prev_end = 0;
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = mask.data() + (static_cast<size_t>(y) + 1) * stride + 1;
        const size_t begin = runs.size();
        // row[-1] and row[w] are the zero frame, so every run ends inside the row.
        for (int x = 0; x < w;) {
            if (!row[x]) {
                // Most of a row is clear: skip it a word at a time.
                uint64_t word;
                while (x + 8 <= w && (std::memcpy(&word, row + x, 8), word == 0))
                    x += 8;
                while (x < w && !row[x])
                    ++x;
                continue;
            }
            const int x0 = x;
            while (row[x])
                ++x;
            runs.push_back({y, x0, x - 1});
            parent.push_back(static_cast<int>(runs.size() - 1));
        }
        const size_t end = runs.size();
        // Runs of the row above that touch a run here, diagonals included.
        size_t j = prev_begin;
        for (size_t i = begin; i < end; ++i) {
            while (j < prev_end && runs[j].x1 < runs[i].x0 - 1)
                ++j;
            for (size_t k = j; k < prev_end && runs[k].x0 <= runs[i].x1 + 1; ++k)
                unite(parent, static_cast<int>(i), static_cast<int>(k));
        }
        prev_begin = begin;
        prev_end = end;
    }

    std::vector<Blob> stats(runs.size());
    std::vector<char> seen(runs.size(), 0);
    for (size_t i = 0; i < runs.size(); ++i) {
        const int r = find_root(parent, static_cast<int>(i));
        Blob &b = stats[r];
        const Run &run = runs[i];
        if (!seen[r]) {
            seen[r] = 1;
            b = {run.x0, run.y, run.x1, run.y, run.x0, run.y};
        } else {
            b.x0 = std::min(b.x0, run.x0);
            b.x1 = std::max(b.x1, run.x1);
            b.y1 = std::max(b.y1, run.y);
        }
    }
    std::vector<Blob> out;
    // Roots are first runs, so walking runs in order lists regions in raster order.
    for (size_t i = 0; i < runs.size(); ++i) {
        if (parent[i] != static_cast<int>(i))
            continue;
        const Blob &b = stats[i];
        const int bw = b.x1 - b.x0 + 1, bh = b.y1 - b.y0 + 1;
        // The mask may sit a pixel inside the true edge on every side.
        if (bw < kMinSide - 2 || bh < kMinSide - 2)
            continue;
        if (b.x0 < 1 || b.y0 < 1 || b.x1 > w - 2 || b.y1 > h - 2)
            continue;
        out.push_back(b);
    }
    return out;
}

} // namespace wrapper
