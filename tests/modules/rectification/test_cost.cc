// The generated cost against a direct evaluation of its model and against finite
// differences; the loss joints; the reference cost and its wrappers.
#include "malloc_fault.h"
#include "rectification.h"
#include "robust_loss.h"
#include "synth.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <syslog.h>
#include <vector>

namespace
{

using X6 = std::array<double, 6>;

double gen(const X6 &x, std::vector<correspondence> &c, double *grad = nullptr)
{
    cost_data d{640, 480, int(c.size()), c.data()};
    return generated_cost_fun(6, x.data(), grad, &d);
}

// The model written out with the module's own rotation and product: rows of RL·l and RR·r.
double model_value(const X6 &x, const std::vector<correspondence> &c)
{
    double *RL = euler(-x[2] / 2, x[0], x[1]);
    double *RR = euler(x[2] / 2, x[3], x[4]);
    double sum = 0.0;
    for (const auto &k : c) {
        const double l[3] = {k.left.x, k.left.y, 1.0}, r[3] = {k.right.x, k.right.y, 1.0};
        double pl[3], pr[3];
        multiply(pl, RL, l, 3, 3, 1);
        multiply(pr, RR, r, 3, 3, 1);
        const double rho = 91.5 * (pl[1] / pl[2] - pr[1] / pr[2]);
        const double a = std::fabs(rho);
        if (std::isnan(rho) || a >= 2.5)
            sum += 2.25;
        else if (a >= 0.5)
            sum += a - 0.25;
        else
            sum += rho * rho;
    }
    std::free(RL);
    std::free(RR);
    return sum;
}

std::vector<correspondence> random_corr(std::mt19937 &rng, int n, double spread)
{
    std::uniform_real_distribution<float> u(-0.6f, 0.6f), dv(-float(spread), float(spread));
    std::vector<correspondence> c;
    for (int i = 0; i < n; ++i) {
        const float lx = u(rng), ly = u(rng);
        c.push_back({{lx, ly}, {lx - 0.05f + dv(rng), ly + dv(rng)}, 0.0f});
    }
    return c;
}

X6 random_x(std::mt19937 &rng, double range)
{
    std::uniform_real_distribution<double> a(-range, range);
    return {a(rng), a(rng), a(rng), a(rng), a(rng), a(rng) * 10};
}

TEST(RobustLoss, JointsAndBranches)
{
    double d = 99;
    EXPECT_EQ(zent_rect::robust_loss(-2.5, &d), 2.25);
    EXPECT_EQ(d, -1.0); // -2.5 is not below -2.5: the linear branch, at its joint
    EXPECT_EQ(zent_rect::robust_loss(-0.5, &d), 0.25);
    EXPECT_EQ(d, -1.0); // the quadratic branch: 2 * rho
    EXPECT_EQ(zent_rect::robust_loss(0.5, &d), 0.25);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(zent_rect::robust_loss(2.5, &d), 2.25);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(zent_rect::robust_loss(3.0, &d), 2.25);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(zent_rect::robust_loss(-3.0, &d), 2.25);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(zent_rect::robust_loss(0.25, &d), 0.0625);
    EXPECT_EQ(d, 0.5);
    EXPECT_EQ(zent_rect::robust_loss(-1.5, &d), 1.25);
    EXPECT_EQ(d, -1.0);
    EXPECT_EQ(zent_rect::robust_loss(std::nan(""), &d), 2.25);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(zent_rect::robust_loss(-std::numeric_limits<double>::infinity(), &d), 2.25);
    // Continuous at every joint.
    for (double j : {-2.5, -0.5, 0.5, 2.5}) {
        const double lo = zent_rect::robust_loss(std::nextafter(j, -10), &d);
        const double hi = zent_rect::robust_loss(std::nextafter(j, 10), &d);
        EXPECT_NEAR(lo, hi, 1e-14) << j;
    }
}

TEST(GeneratedCost, NoCorrespondences)
{
    X6 x = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    double grad[6] = {1, 2, 3, 4, 5, 6};
    cost_data d{640, 480, 0, nullptr};
    EXPECT_EQ(generated_cost_fun(6, x.data(), grad, &d), 0.0);
    for (double g : grad)
        EXPECT_EQ(g, 0.0);
    d.count = -3;
    EXPECT_EQ(generated_cost_fun(6, x.data(), nullptr, &d), 0.0);
}

TEST(GeneratedCost, ValueMatchesDirectModel)
{
    std::mt19937 rng(21);
    for (int t = 0; t < 200; ++t) {
        const X6 x = random_x(rng, 0.3);
        auto c = random_corr(rng, 1 + t % 37, 0.04);
        const double want = model_value(x, c);
        double grad[6];
        EXPECT_NEAR(gen(x, c), want, 1e-9 * (1 + want)) << t;
        // Asking for the gradient does not change the value, bit for bit.
        EXPECT_EQ(gen(x, c, grad), gen(x, c)) << t;
    }
}

TEST(GeneratedCost, IgnoresSizesAndFocalExponent)
{
    std::mt19937 rng(4);
    auto c = random_corr(rng, 40, 0.02);
    X6 x = random_x(rng, 0.1), y = x;
    y[5] = x[5] + 3.0;
    cost_data a{640, 480, int(c.size()), c.data()}, b{1, 2, int(c.size()), c.data()};
    EXPECT_EQ(generated_cost_fun(6, x.data(), nullptr, &a),
              generated_cost_fun(6, y.data(), nullptr, &b));
}

TEST(GeneratedCost, GradientMatchesCentralDifferences)
{
    // Scenes synthesised at large random angles with row errors of about a unit of the loss
    // scale, so that residuals fall in both the quadratic and the linear branches.
    std::mt19937 rng(99);
    int checked = 0;
    for (int t = 0; t < 400; ++t) {
        const X6 x = random_x(rng, 0.4);
        synth::Options o;
        o.count = 1;
        o.noise_px = 1.2;
        o.seed = unsigned(t) + 1;
        auto c = synth::normalised(x, o);
        // Capped residuals have no gradient to compare.
        if (gen(x, c) >= 2.25 - 1e-9)
            continue;
        double grad[6];
        gen(x, c, grad);
        EXPECT_EQ(grad[5], 0.0);
        bool near_joint = false;
        std::array<double, 5> fd{};
        for (int j = 0; j < 5; ++j) {
            const double h = 1e-6;
            X6 lo = x, hi = x;
            lo[j] -= h;
            hi[j] += h;
            const double vl = gen(lo, c), vh = gen(hi, c);
            // A branch change inside the stencil shows as a kink: skip that sample.
            X6 lo2 = x, hi2 = x;
            lo2[j] -= 2 * h;
            hi2[j] += 2 * h;
            const double fd2 = (gen(hi2, c) - gen(lo2, c)) / (4 * h);
            fd[j] = (vh - vl) / (2 * h);
            if (std::fabs(fd2 - fd[j]) > 1e-4 * (1 + std::fabs(fd[j])))
                near_joint = true;
        }
        if (near_joint)
            continue;
        ++checked;
        for (int j = 0; j < 5; ++j)
            EXPECT_NEAR(grad[j], fd[j], 2e-5 * (1 + std::fabs(fd[j]))) << "t " << t << " j " << j;
    }
    EXPECT_GT(checked, 250);
}

TEST(GeneratedCost, GradientOfSumsIsSumOfGradients)
{
    std::mt19937 rng(8);
    for (int t = 0; t < 50; ++t) {
        const X6 x = random_x(rng, 0.2);
        auto c = random_corr(rng, 60, 0.03);
        double total[6], part[6], acc[6] = {};
        gen(x, c, total);
        for (auto &k : c) {
            std::vector<correspondence> one{k};
            gen(x, one, part);
            for (int j = 0; j < 6; ++j)
                acc[j] += part[j];
        }
        for (int j = 0; j < 6; ++j)
            EXPECT_NEAR(total[j], acc[j], 1e-9 * (1 + std::fabs(acc[j])));
    }
}

TEST(GeneratedCost, EqualRowsCostNothing)
{
    std::vector<correspondence> c;
    for (int i = 0; i < 20; ++i)
        c.push_back({{0.01f * i, -0.02f * i}, {0.01f * i - 0.1f, -0.02f * i}, 1.0f});
    double grad[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(gen({0, 0, 0, 0, 0, 0.7}, c, grad), 0.0);
    for (double g : grad)
        EXPECT_EQ(g, 0.0);

    // A synthesised scene: zero at its own angles up to float rounding of the coordinates.
    const X6 truth = {0.02, -0.015, 0.03, -0.01, 0.025, 0.0};
    auto s = synth::normalised(truth, {});
    EXPECT_LT(gen(truth, s), 1e-6 * s.size());
    EXPECT_GT(gen({0, 0, 0, 0, 0, 0}, s), 10.0);
}

TEST(GeneratedCost, ResidualsAtAndBeyondTheJoints)
{
    // At x = 0 the rows are the y coordinates: rho = 91.5 * (left.y - right.y).
    const X6 zero{};
    for (double target : {-2.5, -0.5, 0.5, 2.5}) {
        for (double side : {-1e-4, 1e-4}) {
            const float dy = float((target + side) / 91.5);
            std::vector<correspondence> c{{{0.1f, 0.0f}, {0.0f, -dy}, 0.0f}};
            const double rho = 91.5 * (double(0.0f) - double(-dy));
            double d, grad[6];
            const double want = zent_rect::robust_loss(rho, &d);
            EXPECT_EQ(gen(zero, c, grad), want) << target << side;
            EXPECT_NEAR(want, std::fabs(target) == 2.5 ? 2.25 : 0.25, 2e-4);
            // Beyond the cap nothing moves the angles.
            if (std::fabs(rho) >= 2.5) {
                for (double g : grad)
                    EXPECT_EQ(g, 0.0);
            }
        }
    }
    std::vector<correspondence> far{{{0.1f, 0.0f}, {0.0f, float(-3.0 / 91.5)}, 0.0f}};
    double grad[6];
    EXPECT_EQ(gen(zero, far, grad), 2.25);
    for (double g : grad)
        EXPECT_EQ(g, 0.0);
}

TEST(GeneratedCost, NotANumberCostsTheCapAndAddsNoGradient)
{
    std::mt19937 rng(3);
    auto c = random_corr(rng, 10, 0.01);
    const X6 x = random_x(rng, 0.1);
    double clean[6];
    const double v = gen(x, c, clean);
    c.push_back({{std::nanf(""), 0.1f}, {0.2f, 0.1f}, 0.0f});
    c.push_back({{0.0f, 0.0f}, {0.0f, std::numeric_limits<float>::infinity()}, 0.0f});
    double grad[6];
    EXPECT_EQ(gen(x, c, grad), v + 2.25 + 2.25);
    for (int j = 0; j < 6; ++j)
        EXPECT_EQ(grad[j], clean[j]);
}

// The reference cost: the F of its camera model written out independently, mean Sampson.
double reference_direct(const X6 &x, const std::vector<correspondence> &c, int w, int h)
{
    const double f = std::pow(3.0, x[5]) * (w + h);
    auto lift = [&](point_f p) {
        return std::array<double, 3>{(p.x - w * 0.5) / f, (p.y - h * 0.5) / f, 1.0};
    };
    double *R1 = euler(0, x[0], x[1]), *R2 = euler(x[2], x[3], x[4]);
    double sum = 0;
    for (const auto &k : c) {
        // Sampson distance of the normalised pair under E = R2^T [t]x R1, rescaled to pixels.
        const auto l = lift(k.left), r = lift(k.right);
        double a[3], b[3];
        for (int i = 0; i < 3; ++i) {
            a[i] = R1[i * 3] * l[0] + R1[i * 3 + 1] * l[1] + R1[i * 3 + 2] * l[2];
            b[i] = R2[i * 3] * r[0] + R2[i * 3 + 1] * r[1] + R2[i * 3 + 2] * r[2];
        }
        const double Ta[3] = {0, -a[2], a[1]}; // (1,0,0) x a
        const double Tb[3] = {0, -b[2], b[1]};
        const double e = b[0] * Ta[0] + b[1] * Ta[1] + b[2] * Ta[2];
        // F l = Kinv^T R2^T T a and F^T r = -Kinv^T R1^T T b: first two entries are /f.
        double Fl[2] = {}, Ftr[2] = {};
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 3; ++j) {
                Fl[i] += R2[j * 3 + i] * Ta[j] / f;
                Ftr[i] -= R1[j * 3 + i] * Tb[j] / f;
            }
        sum += e * e / (Fl[0] * Fl[0] + Fl[1] * Fl[1] + Ftr[0] * Ftr[0] + Ftr[1] * Ftr[1]);
    }
    std::free(R1);
    std::free(R2);
    return sum / double(c.size());
}

TEST(ReferenceCost, ValueMatchesIndependentModel)
{
    std::mt19937 rng(12);
    std::uniform_real_distribution<float> px(0, 640), dy(-6, 6);
    for (int t = 0; t < 100; ++t) {
        const X6 x = random_x(rng, 0.2);
        std::vector<correspondence> c;
        for (int i = 0; i < 1 + t % 13; ++i) {
            const float lx = px(rng), ly = px(rng) * 0.75f;
            c.push_back({{lx, ly}, {lx - 30, ly + dy(rng)}, 0.0f});
        }
        cost_data d{640, 480, int(c.size()), c.data()};
        const double want = reference_direct(x, c, 640, 480);
        EXPECT_NEAR(cost_fun_(6, x.data(), nullptr, &d), want, 1e-9 * (1 + want)) << t;
    }
}

TEST(ReferenceCost, BothCostsVanishAtTheSameAngles)
{
    const X6 truth = {0.02, -0.015, 0.03, -0.01, 0.025, 0.2};
    auto p = synth::pixels(truth, 640, 480, {});
    auto n = synth::normalised(truth, {});
    cost_data d{640, 480, int(p.size()), p.data()};
    EXPECT_LT(cost_fun_(6, truth.data(), nullptr, &d), 1e-6);
    X6 off = truth;
    off[4] += 0.01;
    EXPECT_GT(cost_fun_(6, off.data(), nullptr, &d), 1e-2);
    EXPECT_LT(gen(truth, n), 1e-6 * n.size());
    EXPECT_GT(gen(off, n), 1.0);
}

TEST(ReferenceCost, GradientIsCentralDifferenceWithStepTenthAndCountsRequests)
{
    const X6 truth = {0.02, -0.015, 0.03, -0.01, 0.025, 0.0};
    synth::Options o;
    o.count = 30;
    o.noise_px = 1.0;
    auto p = synth::pixels(truth, 640, 480, o);
    cost_data d{640, 480, int(p.size()), p.data()};
    X6 x = {0.01, 0.0, 0.01, 0.0, 0.0, 0.1};
    niter = 5;
    double grad[6];
    const double v = cost_fun_(6, x.data(), grad, &d);
    EXPECT_EQ(niter, 6);
    EXPECT_EQ(v, cost_fun_wrap(6, x.data(), nullptr, int(p.size()), p.data(), 640, 480));
    EXPECT_EQ(niter, 6); // no gradient, no count
    for (int i = 0; i < 6; ++i) {
        X6 lo = x, hi = x;
        lo[i] -= 0.1;
        hi[i] += 0.1;
        const double want =
            (cost_fun_wrap(6, hi.data(), nullptr, int(p.size()), p.data(), 640, 480) -
             cost_fun_wrap(6, lo.data(), nullptr, int(p.size()), p.data(), 640, 480)) *
            0.5 / 0.1;
        EXPECT_EQ(grad[i], want) << i;
    }
}

TEST(ReferenceCost, NoCorrespondencesIsNotANumber)
{
    X6 x{};
    cost_data d{640, 480, 0, nullptr};
    EXPECT_TRUE(std::isnan(cost_fun_(6, x.data(), nullptr, &d)));
    EXPECT_TRUE(std::isnan(cost_fun_wrap(6, x.data(), nullptr, 0, nullptr, 640, 480)));
}

TEST(ReferenceCost, AllocationFailures)
{
    std::vector<correspondence> c{{{100, 100}, {90, 101}, 0}};
    X6 x{};
    cost_data d{640, 480, 1, c.data()};
    syslog_capture::clear();
    // Allocations per evaluation: R1, R2, then T and four products, then sampson's two.
    malloc_fault::fail_nth(1);
    EXPECT_EQ(cost_fun_(6, x.data(), nullptr, &d), 1000000.0);
    malloc_fault::fail_nth(2);
    EXPECT_EQ(cost_fun_(6, x.data(), nullptr, &d), 1000000.0);
    for (int k = 3; k <= 7; ++k) {
        malloc_fault::fail_nth(k);
        EXPECT_EQ(cost_fun_(6, x.data(), nullptr, &d), -1.0) << k;
    }
    malloc_fault::fail_nth(1);
    EXPECT_EQ(cost_fun_wrap(6, x.data(), nullptr, 1, c.data(), 640, 480), -1.0);
    malloc_fault::fail_nth(0);
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.messages.size(), 8u);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(rec.messages[i].priority, LOG_ERR);
        EXPECT_EQ(rec.messages[i].text, "minimize: Could not allocate memory.\n");
    }
    EXPECT_EQ(rec.messages[7].text, "minimize: Could not allocate memory\n");
    // And nothing broke: the next evaluation is the ordinary value.
    EXPECT_EQ(cost_fun_(6, x.data(), nullptr, &d),
              cost_fun_wrap(6, x.data(), nullptr, 1, c.data(), 640, 480));
}

} // namespace
