// The stereo pair both disparity benchmarks time on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace bench_disparity
{

struct Pair {
    std::vector<uint8_t> left, right;
};

// A textured pair whose true disparity drifts from 2 to 12 across the image.
inline Pair make_pair(int w, int h)
{
    std::mt19937 gen(uint32_t(w * 7919 + h));
    Pair p{std::vector<uint8_t>(w * h), std::vector<uint8_t>(w * h)};
    for (auto &v : p.left)
        v = uint8_t(gen() & 0xFF);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int src = x + 2 + 10 * x / w;
            const int v = src < w ? p.left[y * w + src] : int(gen() & 0xFF);
            p.right[y * w + x] = uint8_t(std::clamp(v + int(gen() % 7) - 3, 0, 255));
        }
    return p;
}

} // namespace bench_disparity
