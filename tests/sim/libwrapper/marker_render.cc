/* Marker drawing for the detector's tests and benchmark: an independent inverse mapping
 * (solved as a linear system, not the detector's closed form) sampled ss x ss per pixel. */
#include "marker_render.h"

#include "wrapper.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

namespace render
{

namespace
{

/* The mapping from image points to marker cell coordinates (0..6 along each side), solved
 * from the four corner correspondences by Gaussian elimination. */
std::array<double, 8> image_to_cells(const Corners &q)
{
    const double uv[4][2] = {{0, 0}, {6, 0}, {6, 6}, {0, 6}};
    double a[8][9] = {};
    for (int i = 0; i < 4; ++i) {
        const double x = q[i].x, y = q[i].y, u = uv[i][0], v = uv[i][1];
        double *r = a[2 * i], *s = a[2 * i + 1];
        r[0] = x, r[1] = y, r[2] = 1, r[6] = -x * u, r[7] = -y * u, r[8] = u;
        s[3] = x, s[4] = y, s[5] = 1, s[6] = -x * v, s[7] = -y * v, s[8] = v;
    }
    for (int col = 0; col < 8; ++col) {
        int piv = col;
        for (int r = col + 1; r < 8; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[piv][col]))
                piv = r;
        std::swap(a[col], a[piv]);
        for (int r = 0; r < 8; ++r) {
            if (r == col)
                continue;
            const double f = a[r][col] / a[col][col];
            for (int k = col; k < 9; ++k)
                a[r][k] -= f * a[col][k];
        }
    }
    std::array<double, 8> hm;
    for (int i = 0; i < 8; ++i)
        hm[i] = a[i][8] / a[i][i];
    return hm;
}

} // namespace

uint16_t code_of(int id)
{
    const uint16_t *codes;
    const int n = aruco_dictionary(&codes);
    return id >= 0 && id < n ? codes[id] : 0;
}

void draw_code(Canvas &c, uint16_t code, const Corners &q, uint8_t dark, uint8_t light, int ss)
{
    const auto hm = image_to_cells(q);
    double minx = q[0].x, maxx = q[0].x, miny = q[0].y, maxy = q[0].y;
    for (const P &p : q) {
        minx = std::min(minx, p.x), maxx = std::max(maxx, p.x);
        miny = std::min(miny, p.y), maxy = std::max(maxy, p.y);
    }
    const int x0 = std::max(0, static_cast<int>(std::floor(minx)) - 1);
    const int x1 = std::min(c.w - 1, static_cast<int>(std::ceil(maxx)) + 1);
    const int y0 = std::max(0, static_cast<int>(std::floor(miny)) - 1);
    const int y1 = std::min(c.h - 1, static_cast<int>(std::ceil(maxy)) + 1);
    // Cell (0..35) or -1 outside, at an image point.
    auto cell_at = [&](double px, double py) {
        const double z = hm[6] * px + hm[7] * py + 1;
        const double u = (hm[0] * px + hm[1] * py + hm[2]) / z;
        const double v = (hm[3] * px + hm[4] * py + hm[5]) / z;
        if (!(u >= 0 && u < 6 && v >= 0 && v < 6))
            return -1;
        return 6 * static_cast<int>(v) + static_cast<int>(u);
    };
    auto value = [&](int cell, uint8_t outside) -> double {
        if (cell < 0)
            return outside;
        const int row = cell / 6, col = cell % 6;
        bool white = false;
        if (row >= 1 && row <= 4 && col >= 1 && col <= 4)
            white = code >> (15 - (4 * (row - 1) + (col - 1))) & 1;
        return white ? light : dark;
    };
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const uint8_t outside = c.at(x, y);
            // A pixel whose corners and centre fall in one cell is uniform (cells are convex).
            const int k = cell_at(x, y);
            if (k == cell_at(x - 0.5, y - 0.5) && k == cell_at(x + 0.5, y - 0.5) &&
                k == cell_at(x - 0.5, y + 0.5) && k == cell_at(x + 0.5, y + 0.5)) {
                c.at(x, y) = static_cast<uint8_t>(value(k, outside));
                continue;
            }
            double sum = 0;
            for (int j = 0; j < ss; ++j)
                for (int i = 0; i < ss; ++i)
                    sum +=
                        value(cell_at(x - 0.5 + (i + 0.5) / ss, y - 0.5 + (j + 0.5) / ss), outside);
            c.at(x, y) = static_cast<uint8_t>(std::lround(sum / (ss * ss)));
        }
}

Corners square(double cx, double cy, double side, double degrees)
{
    return tilted(cx, cy, side, 0, 1e9, degrees);
}

Corners tilted(double cx, double cy, double side, double tilt, double distance, double degrees)
{
    const double t = tilt * M_PI / 180, a = degrees * M_PI / 180, d = distance * side;
    const double unit[4][2] = {{-0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}, {-0.5, 0.5}};
    Corners out;
    for (int i = 0; i < 4; ++i) {
        const double X = unit[i][0] * side, Y = unit[i][1] * side;
        const double yz = Y * std::cos(t), z = -Y * std::sin(t);
        const double x = X * d / (d + z), y = yz * d / (d + z);
        out[i] = {cx + x * std::cos(a) - y * std::sin(a), cy + x * std::sin(a) + y * std::cos(a)};
    }
    return out;
}

void add_noise(Canvas &c, double sigma, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::normal_distribution<double> n(0, sigma);
    for (auto &v : c.px)
        v = static_cast<uint8_t>(std::clamp(std::lround(v + n(gen)), 0L, 255L));
}

void fill_rect(Canvas &c, int x0, int y0, int x1, int y1, uint8_t v)
{
    for (int y = std::max(y0, 0); y <= std::min(y1, c.h - 1); ++y)
        for (int x = std::max(x0, 0); x <= std::min(x1, c.w - 1); ++x)
            c.at(x, y) = v;
}

void fill_disc(Canvas &c, double cx, double cy, double r, uint8_t v)
{
    for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                c.at(x, y) = v;
}

void box_blur(Canvas &c, int radius)
{
    std::vector<uint8_t> tmp(c.px.size());
    auto pass = [&](const std::vector<uint8_t> &src, std::vector<uint8_t> &dst, bool horizontal) {
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                int sum = 0;
                for (int k = -radius; k <= radius; ++k) {
                    const int xx = horizontal ? std::clamp(x + k, 0, c.w - 1) : x;
                    const int yy = horizontal ? y : std::clamp(y + k, 0, c.h - 1);
                    sum += src[static_cast<size_t>(yy) * c.w + xx];
                }
                dst[static_cast<size_t>(y) * c.w + x] =
                    static_cast<uint8_t>((sum + radius) / (2 * radius + 1));
            }
    };
    pass(c.px, tmp, true);
    pass(tmp, c.px, false);
}

std::vector<Placed> random_scene(Canvas &c, int count, double min_side, double max_side,
                                 double max_tilt, uint32_t seed)
{
    std::mt19937 gen(seed);
    auto uni = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(gen);
    };
    struct Box {
        double x0, y0, x1, y1;
    };
    std::vector<Box> taken;
    std::vector<Placed> out;
    for (int attempt = 0; attempt < 100 * count && static_cast<int>(out.size()) < count;
         ++attempt) {
        const double side = uni(min_side, max_side);
        const Corners q = tilted(uni(0, c.w), uni(0, c.h), side, uni(-max_tilt, max_tilt),
                                 uni(3, 8), uni(0, 360));
        Box b{1e9, 1e9, -1e9, -1e9};
        for (const P &p : q)
            b = {std::min(b.x0, p.x), std::min(b.y0, p.y), std::max(b.x1, p.x),
                 std::max(b.y1, p.y)};
        const double quiet = side / 6 + 2;
        b = {b.x0 - quiet, b.y0 - quiet, b.x1 + quiet, b.y1 + quiet};
        if (b.x0 < 1 || b.y0 < 1 || b.x1 > c.w - 2 || b.y1 > c.h - 2)
            continue;
        bool clear = true;
        for (const Box &o : taken)
            clear = clear && (b.x1 < o.x0 || o.x1 < b.x0 || b.y1 < o.y0 || o.y1 < b.y0);
        if (!clear)
            continue;
        taken.push_back(b);
        const int id = std::uniform_int_distribution<int>(0, 49)(gen);
        draw_marker(c, id, q);
        out.push_back({id, q});
    }
    return out;
}

} // namespace render
