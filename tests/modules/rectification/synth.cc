// Scene synthesis for the cost and optimiser tests.
#include "synth.h"

#include <cmath>
#include <cstdlib>

namespace synth
{
namespace
{

using M3 = std::array<double, 9>;

M3 rot(double a, double b, double c)
{
    double *R = euler(a, b, c);
    M3 m{};
    for (int i = 0; i < 9; ++i)
        m[i] = R[i];
    std::free(R);
    return m;
}

// R^T·v, normalised to its third component.
std::array<double, 2> project_t(const M3 &R, const double v[3])
{
    double p[3];
    for (int i = 0; i < 3; ++i)
        p[i] = R[0 + i] * v[0] + R[3 + i] * v[1] + R[6 + i] * v[2];
    return {p[0] / p[2], p[1] / p[2]};
}

struct Scene {
    std::vector<std::array<double, 3>> points;
    std::vector<double> row_error; // added to the right image's rectified row
};

Scene make_scene(const Options &o)
{
    std::mt19937 rng(o.seed);
    std::uniform_real_distribution<double> u(-0.55, 0.55), v(-0.4, 0.4), z(1.0, 8.0);
    std::normal_distribution<double> noise(0.0, o.noise_px / 91.5);
    std::uniform_real_distribution<double> share(0.0, 1.0), gross(4.0 / 91.5, 25.0 / 91.5);
    Scene s;
    for (int i = 0; i < o.count; ++i) {
        const double depth = z(rng);
        s.points.push_back({u(rng) * depth, v(rng) * depth, depth});
        double e = o.noise_px > 0 ? noise(rng) : 0.0;
        if (share(rng) < o.outliers)
            e += (share(rng) < 0.5 ? -1 : 1) * gross(rng);
        s.row_error.push_back(e);
    }
    return s;
}

constexpr double kBaseline = 0.3;

} // namespace

std::vector<correspondence> normalised(const std::array<double, 6> &x, const Options &o)
{
    const M3 RL = rot(-x[2] / 2, x[0], x[1]), RR = rot(x[2] / 2, x[3], x[4]);
    const Scene s = make_scene(o);
    std::vector<correspondence> out;
    for (std::size_t i = 0; i < s.points.size(); ++i) {
        const auto &X = s.points[i];
        const double left[3] = {X[0], X[1], X[2]};
        // A row error in the rectified right image: shift the point's height at its depth.
        const double right[3] = {X[0] - kBaseline, X[1] + s.row_error[i] * X[2], X[2]};
        const auto l = project_t(RL, left), r = project_t(RR, right);
        out.push_back({{float(l[0]), float(l[1])}, {float(r[0]), float(r[1])}, 0.5f});
    }
    return out;
}

std::vector<correspondence> pixels(const std::array<double, 6> &x, int width, int height,
                                   const Options &o)
{
    const M3 R1 = rot(0, x[0], x[1]), R2 = rot(x[2], x[3], x[4]);
    const double f = std::pow(3.0, x[5]) * (width + height);
    const Scene s = make_scene(o);
    std::vector<correspondence> out;
    for (std::size_t i = 0; i < s.points.size(); ++i) {
        const auto &X = s.points[i];
        const double left[3] = {X[0], X[1], X[2]};
        const double right[3] = {X[0] - kBaseline, X[1] + s.row_error[i] * X[2], X[2]};
        const auto l = project_t(R1, left), r = project_t(R2, right);
        out.push_back({{float(f * l[0] + width * 0.5), float(f * l[1] + height * 0.5)},
                       {float(f * r[0] + width * 0.5), float(f * r[1] + height * 0.5)},
                       0.5f});
    }
    return out;
}

} // namespace synth
