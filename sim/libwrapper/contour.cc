/* From a dark region to a quadrilateral with sub-pixel corners: outer border following,
 * polygon simplification, and a line fit to the dark-to-light edge along each side. */
#include "detect_internal.h"

#include <algorithm>
#include <cmath>

namespace wrapper
{

namespace
{

double cross(Pt a, Pt b, Pt c)
{
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

double dist2(Pt a, Pt b)
{
    return (a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y);
}

/* Douglas-Peucker on the cyclic index range (a, b) of the contour: appends the split points
 * in order, and stops once more than `limit` have been taken. */
void simplify(const std::vector<Pt> &c, size_t a, size_t b, double eps, size_t limit,
              std::vector<size_t> &out)
{
    if (out.size() > limit)
        return;
    const size_t n = c.size();
    const Pt pa = c[a], pb = c[b];
    const double len = std::sqrt(dist2(pa, pb));
    double best = -1;
    size_t at = a;
    for (size_t i = (a + 1) % n; i != b; i = (i + 1) % n) {
        const double d =
            len > 0 ? std::fabs(cross(pa, pb, c[i])) / len : std::sqrt(dist2(pa, c[i]));
        if (d > best) {
            best = d;
            at = i;
        }
    }
    if (best <= eps)
        return;
    simplify(c, a, at, eps, limit, out);
    out.push_back(at);
    simplify(c, at, b, eps, limit, out);
}

// Edge points taken along each side at most.
constexpr int kSideSamples = 48;
// Largest difference, in pixels, between the mean offsets of a side's two halves.
constexpr double kMaxBend = 0.3;

struct Line {
    double nx, ny, c; // nx x + ny y = c, |n| = 1
};

// Total least squares line through the points.
void fit_points(const std::vector<Pt> &pts, Line &line)
{
    double mx = 0, my = 0;
    for (const Pt &p : pts) {
        mx += p.x;
        my += p.y;
    }
    mx /= pts.size();
    my /= pts.size();
    double sxx = 0, sxy = 0, syy = 0;
    for (const Pt &p : pts) {
        sxx += (p.x - mx) * (p.x - mx);
        sxy += (p.x - mx) * (p.y - my);
        syy += (p.y - my) * (p.y - my);
    }
    // Direction of largest spread; the normal is perpendicular to it.
    const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
    line.nx = -std::sin(angle);
    line.ny = std::cos(angle);
    line.c = line.nx * mx + line.ny * my;
}

/* A line through the points that most of them agree with, so that points along something
 * else (a speck on the border, an object covering part of the side) do not pull it: the
 * best of the lines through pairs of points half or a third of the side apart (each point
 * costing its squared distance, at most one pixel's worth), then fitted to the points near
 * it, twice. `pts` keeps
 * the points of the final fit, in their order. */
bool fit_line(std::vector<Pt> &pts, Line &line)
{
    const size_t n = pts.size();
    if (n < 3)
        return false;
    const std::vector<Pt> all = pts;
    double best = 1e300;
    for (size_t span : {n / 2, n / 3}) {
        for (size_t i = 0; span > 0 && i + span < n; ++i) {
            const Pt a = all[i], b = all[i + span];
            const double len = std::sqrt(dist2(a, b));
            if (len < 1e-9)
                continue;
            const Line cand{-(b.y - a.y) / len, (b.x - a.x) / len,
                            (-(b.y - a.y) * a.x + (b.x - a.x) * a.y) / len};
            double cost = 0;
            for (const Pt &p : all)
                cost += std::min(1.0, std::pow(cand.nx * p.x + cand.ny * p.y - cand.c, 2));
            if (cost < best) {
                best = cost;
                line = cand;
            }
        }
    }
    if (best > 1e299)
        fit_points(all, line);
    std::vector<double> res(n);
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < n; ++i)
            res[i] = std::fabs(line.nx * all[i].x + line.ny * all[i].y - line.c);
        std::vector<double> sorted = res;
        std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.end());
        const double keep = std::max(0.5, 3 * sorted[n / 2]);
        pts.clear();
        for (size_t i = 0; i < n; ++i)
            if (res[i] <= keep)
                pts.push_back(all[i]);
        if (pts.size() < 3)
            return false;
        fit_points(pts, line);
    }
    return true;
}

/* Whether the points kept along a side lie on one straight edge: an object covering part
 * of the side leaves points along its own outline instead, which pull the two halves of the
 * side to different offsets from the fitted line. */
bool straight(const std::vector<Pt> &pts, const Line &line)
{
    const size_t half = pts.size() / 2;
    double first = 0, second = 0;
    for (size_t i = 0; i < pts.size(); ++i) {
        const double r = line.nx * pts[i].x + line.ny * pts[i].y - line.c;
        (i < half ? first : second) += r;
    }
    return std::fabs(first / half - second / (pts.size() - half)) <= kMaxBend;
}

} // namespace

bool trace_outer(const std::vector<uint8_t> &mask, int w, int start_x, int start_y, size_t max_len,
                 std::vector<Pt> &contour)
{
    const long stride = w + 2;
    // Neighbour steps, counter-clockwise on the screen from east.
    const long step[8] = {1, -stride + 1, -stride, -stride - 1, -1, stride - 1, stride, stride + 1};
    const int dx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
    const int dy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
    const uint8_t *m = mask.data();
    const long start = (start_y + 1L) * stride + start_x + 1;
    contour.clear();

    // The start's west, north-west, north and north-east neighbours are clear; the first
    // set neighbour clockwise from west is where the border goes on.
    int d1 = -1;
    for (int k = 0; k < 8; ++k) {
        const int d = (4 - k + 8) & 7;
        if (m[start + step[d]]) {
            d1 = d;
            break;
        }
    }
    if (d1 < 0) {
        contour.push_back({double(start_x), double(start_y)});
        return true;
    }
    const long second = start + step[d1];
    long cur = start;
    int x = start_x, y = start_y;
    int back = d1; // direction from cur to the previous border pixel
    for (;;) {
        int d = back;
        for (int k = 1; k <= 8; ++k) {
            d = (back + k) & 7;
            if (m[cur + step[d]])
                break;
        }
        contour.push_back({double(x), double(y)});
        if (contour.size() > max_len)
            return false;
        const long next = cur + step[d];
        if (next == start && cur == second)
            break;
        cur = next;
        x += dx[d];
        y += dy[d];
        back = (d + 4) & 7;
    }
    return true;
}

bool contour_quad(const std::vector<Pt> &c, Quad &quad)
{
    const size_t n = c.size();
    // A side of kMinSide - 2 pixels takes that many outline steps, or 1/sqrt(2) of them when
    // it runs diagonally.
    if (n < 3 * (kMinSide - 2))
        return false;
    double mx = 0, my = 0;
    for (const Pt &p : c) {
        mx += p.x;
        my += p.y;
    }
    const Pt centre{mx / n, my / n};
    // The points farthest from the centre and from each other are corners of a convex shape.
    size_t a = 0;
    for (size_t i = 1; i < n; ++i)
        if (dist2(c[i], centre) > dist2(c[a], centre))
            a = i;
    size_t b = a;
    for (size_t i = 0; i < n; ++i)
        if (dist2(c[i], c[a]) > dist2(c[b], c[a]))
            b = i;
    if (b == a)
        return false;
    const double eps = std::max(2.0, 0.025 * n);
    constexpr size_t kMaxVertices = 6;
    std::vector<size_t> idx{a};
    simplify(c, a, b, eps, kMaxVertices, idx);
    idx.push_back(b);
    simplify(c, b, a, eps, kMaxVertices, idx);
    if (idx.size() < 4 || idx.size() > kMaxVertices)
        return false;
    std::vector<Pt> v;
    for (size_t i : idx)
        v.push_back(c[i]);
    // A split that fell in the middle of a side (two sides nearly parallel to the first
    // chord tie for farthest) leaves a vertex in line with its neighbours: drop it.
    while (v.size() > 4) {
        size_t best = 0;
        double least = 1e300;
        for (size_t i = 0; i < v.size(); ++i) {
            const Pt p = v[(i + v.size() - 1) % v.size()], q = v[(i + 1) % v.size()];
            const double d = std::fabs(cross(p, q, v[i])) / std::sqrt(dist2(p, q));
            if (d < least) {
                least = d;
                best = i;
            }
        }
        if (least > eps)
            break;
        v.erase(v.begin() + static_cast<long>(best));
    }
    // The threshold blunts acute corners into a short extra side; its two ends stand for one
    // corner, which the side fit puts back where the sides meet.
    double perimeter = 0;
    for (size_t i = 0; i < v.size(); ++i)
        perimeter += std::sqrt(dist2(v[i], v[(i + 1) % v.size()]));
    while (v.size() > 4) {
        size_t s = 0;
        for (size_t i = 1; i < v.size(); ++i)
            if (dist2(v[i], v[(i + 1) % v.size()]) < dist2(v[s], v[(s + 1) % v.size()]))
                s = i;
        const size_t t = (s + 1) % v.size();
        if (std::sqrt(dist2(v[s], v[t])) > 0.06 * perimeter)
            return false;
        v[s] = {0.5 * (v[s].x + v[t].x), 0.5 * (v[s].y + v[t].y)};
        v.erase(v.begin() + static_cast<long>(t));
    }
    for (int i = 0; i < 4; ++i)
        quad[i] = v[i];
    // Clockwise on the screen (y down) is a positive shoelace sum.
    double area = 0;
    for (int i = 0; i < 4; ++i)
        area += quad[i].x * quad[(i + 1) % 4].y - quad[(i + 1) % 4].x * quad[i].y;
    if (area < 0)
        std::swap(quad[1], quad[3]);
    for (int i = 0; i < 4; ++i) {
        if (cross(quad[i], quad[(i + 1) % 4], quad[(i + 2) % 4]) <= 0)
            return false; // not convex
        if (dist2(quad[i], quad[(i + 1) % 4]) < double(kMinSide - 2) * (kMinSide - 2))
            return false;
    }
    return true;
}

namespace
{

/* Where the dark-to-light edge crosses the outward normal through (px, py), as an offset
 * along it: a coarse crossing of the mid level first, then the edge position that the
 * area under the normalised profile gives around it, which stays unbiased for the
 * anti-aliased and blurred edges a camera delivers. `cell` is the marker's cell size,
 * which bounds how far the profile may reach into the border and the quiet zone. */
bool edge_offset(const Image &im, double px, double py, double nx, double ny, double cell,
                 double &offset)
{
    constexpr float kMinContrast = 10;
    constexpr double kStep = 0.25;
    constexpr int kMax = 40;
    const double reach_in = std::clamp(0.6 * cell - 0.5, 1.0, 4.0);
    const double reach_out = std::clamp(cell, 2.0, 5.0);
    const int n = std::min(kMax, static_cast<int>((reach_in + reach_out) / kStep) + 1);
    float f[kMax];
    float dark = 1e9f, light = -1e9f;
    const double x0 = px - reach_in * nx, y0 = py - reach_in * ny;
    const double x1 = x0 + (n - 1) * kStep * nx, y1 = y0 + (n - 1) * kStep * ny;
    // Profiles wholly inside the image (nearly all) skip the edge clamping.
    const bool inside = std::min(x0, x1) >= 0 && std::min(y0, y1) >= 0 &&
                        std::max(x0, x1) < im.w - 1 && std::max(y0, y1) < im.h - 1;
    for (int k = 0; k < n; ++k) {
        const double o = -reach_in + kStep * k;
        const auto sx = static_cast<float>(x0 + kStep * k * nx);
        const auto sy = static_cast<float>(y0 + kStep * k * ny);
        f[k] = inside ? im.sample_inside(sx, sy) : im.sample(sx, sy);
        if (o <= 0.5)
            dark = std::min(dark, f[k]);
        if (o >= 0.5)
            light = std::max(light, f[k]);
    }
    if (light - dark < kMinContrast)
        return false;
    const float level = 0.5f * (dark + light);
    double best = 1e9;
    int kc = -1;
    for (int k = 0; k + 1 < n; ++k)
        if (f[k] < level && f[k + 1] >= level) {
            const double o = -reach_in + kStep * (k + (level - f[k]) / (f[k + 1] - f[k]));
            if (std::fabs(o - 0.5) < best) {
                best = std::fabs(o - 0.5);
                kc = k;
            }
        }
    if (kc < 0)
        return false;
    // An ideal step at e inside the window [o0, o1] leaves e - o0 as the area above the
    // normalised profile; blur spreads the step but keeps that area.
    const int half = static_cast<int>(std::clamp(0.45 * cell, 1.0, 3.0) / kStep);
    const int k0 = std::max(0, kc - half + 1), k1 = std::min(n - 1, kc + half);
    if (k1 - k0 < 2)
        return false;
    const float lo = 0.5f * (f[k0] + f[k0 + 1]), hi = 0.5f * (f[k1] + f[k1 - 1]);
    if (hi - lo < kMinContrast)
        return false;
    double area = 0;
    for (int k = k0; k <= k1; ++k) {
        const double above = std::clamp(1.0 - (f[k] - lo) / (hi - lo), 0.0, 1.0);
        area += (k == k0 || k == k1) ? 0.5 * above : above;
    }
    offset = -reach_in + kStep * k0 + area * kStep;
    return true;
}

/* Fits a line to the edge along each side of q (sampled clear of the corners) and puts the
 * corners where neighbouring lines meet. */
bool fit_sides(const Image &im, const Quad &q, double cell, Quad &out)
{
    Line lines[4];
    std::vector<Pt> pts;
    for (int e = 0; e < 4; ++e) {
        const Pt a = q[e], b = q[(e + 1) % 4];
        const double len = std::sqrt(dist2(a, b));
        const double ux = (b.x - a.x) / len, uy = (b.y - a.y) / len;
        const double nx = uy, ny = -ux; // outward for a clockwise quadrilateral
        // Keep clear of the corners, which blur and the outline's rounding pull inwards.
        const double margin = std::max(1.5, 0.12 * len);
        const int samples = std::clamp(static_cast<int>(len - 2 * margin), 4, kSideSamples);
        pts.clear();
        for (int s = 0; s < samples; ++s) {
            const double t = margin + (len - 2 * margin) * (s + 0.5) / samples;
            const double px = a.x + t * ux, py = a.y + t * uy;
            double o;
            if (edge_offset(im, px, py, nx, ny, cell, o))
                pts.push_back({px + o * nx, py + o * ny});
        }
        const size_t found = pts.size();
        if (found < static_cast<size_t>(samples) / 2 || !fit_line(pts, lines[e]) ||
            pts.size() < found * 2 / 3 || !straight(pts, lines[e]))
            return false;
    }
    for (int i = 0; i < 4; ++i) {
        const Line &p = lines[(i + 3) % 4], &l = lines[i];
        const double det = p.nx * l.ny - p.ny * l.nx;
        if (std::fabs(det) < 0.05)
            return false; // sides nearly parallel
        out[i] = {(p.c * l.ny - p.ny * l.c) / det, (p.nx * l.c - p.c * l.nx) / det};
    }
    return true;
}

} // namespace

bool refine_quad(const Image &im, Quad &quad)
{
    double min_side = 1e300;
    for (int e = 0; e < 4; ++e)
        min_side = std::min(min_side, std::sqrt(dist2(quad[e], quad[(e + 1) % 4])));
    const double cell = min_side / 6;
    Quad out;
    if (!fit_sides(im, quad, cell, out))
        return false;
    // A blunted acute corner leaves the outline's vertex pixels away from the true one, and
    // the first lines lean towards it; sampling again along the fitted sides settles them.
    double moved = 0;
    for (int i = 0; i < 4; ++i)
        moved = std::max(moved, dist2(out[i], quad[i]));
    if (moved > 4.0) {
        const Quad first = out;
        if (!fit_sides(im, first, cell, out))
            return false;
    }
    for (int i = 0; i < 4; ++i)
        if (dist2(out[i], quad[i]) > std::pow(std::max(3.0, 0.25 * min_side), 2))
            return false;
    quad = out;
    return true;
}

} // namespace wrapper
