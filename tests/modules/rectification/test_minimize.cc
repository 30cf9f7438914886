// The minimiser recovers known angles, is repeatable whatever seed was set, and reports the
// objective value that the wrappers compute.
#include "rectification.h"
#include "synth.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace
{

using X6 = std::array<double, 6>;

const X6 kTruth = {0.021, -0.017, 0.034, -0.012, 0.026, 0.0};

struct Outcome {
    X6 x{};
    double minf = 0;
    int result = 0;
};

Outcome run(std::vector<correspondence> &c, int maxeval, nlopt_func f, X6 start = {})
{
    Outcome r;
    r.x = start;
    X6 lb = {-0.1, -0.1, -0.1, -0.1, -0.1, -1.0}, ub = {0.1, 0.1, 0.1, 0.1, 0.1, 1.0};
    r.result = minimize(6, r.x.data(), maxeval, &r.minf, int(c.size()), c.data(), lb.data(),
                        ub.data(), 640, 480, f);
    return r;
}

double cost_at(const X6 &x, std::vector<correspondence> &c)
{
    cost_data d{640, 480, int(c.size()), c.data()};
    return generated_cost_fun(6, x.data(), nullptr, &d);
}

TEST(Minimize, RecoversExactAnglesDespiteOutliers)
{
    synth::Options o;
    o.count = 400;
    o.outliers = 0.1;
    for (unsigned seed : {17u, 18u, 19u}) {
        o.seed = seed;
        auto c = synth::normalised(kTruth, o);
        const Outcome r = run(c, 2000, get_generated_cost_fun());
        EXPECT_GT(r.result, 0);
        for (int i = 0; i < 5; ++i)
            EXPECT_NEAR(r.x[i], kTruth[i], 1e-4) << "seed " << seed << " angle " << i;
        // Only the outliers cost anything, each the cap: a multiple of 2.25, from either side.
        EXPECT_NEAR(std::remainder(r.minf, 2.25), 0.0, 1e-3);
    }
}

TEST(Minimize, RecoversAnglesFromNoisyCorrespondencesWithOutliers)
{
    synth::Options o;
    o.count = 400;
    o.noise_px = 0.3;
    o.outliers = 0.1;
    for (unsigned seed : {17u, 18u, 19u}) {
        o.seed = seed;
        auto c = synth::normalised(kTruth, o);
        const Outcome r = run(c, 2000, get_generated_cost_fun());
        EXPECT_GT(r.result, 0);
        // The search finds the cost's minimum: no worse than the true angles.
        EXPECT_LE(r.minf, cost_at(kTruth, c) + 1e-9);
        // Row differences pin the roll and the relative in-plane rotation tightly; a common
        // rotation of both cameras about the vertical or the optical axis shows only through
        // disparity-weighted row shifts, so those common parts are looser under noise.
        EXPECT_NEAR(r.x[2], kTruth[2], 1e-3) << seed;
        EXPECT_NEAR(r.x[1] - r.x[4], kTruth[1] - kTruth[4], 3e-3) << seed;
        EXPECT_NEAR(r.x[0] - r.x[3], kTruth[0] - kTruth[3], 1e-2) << seed;
        for (int i = 0; i < 5; ++i)
            EXPECT_NEAR(r.x[i], kTruth[i], 1.5e-2) << "seed " << seed << " angle " << i;
    }
}

TEST(Minimize, RepeatableWhateverSeedWasSet)
{
    synth::Options o;
    o.count = 150;
    o.noise_px = 0.5;
    o.outliers = 0.05;
    auto c = synth::normalised(kTruth, o);
    set_seed(12345);
    const Outcome a = run(c, 600, get_generated_cost_fun());
    set_seed(987654321);
    const Outcome b = run(c, 600, get_generated_cost_fun());
    EXPECT_EQ(a.result, b.result);
    EXPECT_EQ(a.minf, b.minf);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(a.x[i], b.x[i]) << i;
}

TEST(Minimize, WrappersAgreeWithReportedMinimum)
{
    synth::Options o;
    o.count = 200;
    o.noise_px = 0.4;
    auto c = synth::normalised(kTruth, o);
    Outcome r = run(c, 800, get_generated_cost_fun());
    EXPECT_EQ(
        costfun_wrap(6, r.x.data(), int(c.size()), c.data(), 640, 480, get_generated_cost_fun()),
        r.minf);
    EXPECT_EQ(get_generated_cost_fun(), &generated_cost_fun);
}

TEST(Minimize, ReferenceCostCountsGradientRequestsFromZero)
{
    X6 truth = kTruth;
    truth[5] = 0.0;
    synth::Options o;
    o.count = 40;
    auto c = synth::pixels(truth, 640, 480, o);
    niter = 1000;
    const Outcome r = run(c, 60, cost_fun_);
    EXPECT_GT(r.result, 0);
    EXPECT_GT(niter, 0);
    EXPECT_LE(niter, 60);
    EXPECT_EQ(cost_fun_wrap(6, const_cast<double *>(r.x.data()), nullptr, int(c.size()), c.data(),
                            640, 480),
              r.minf);
    // The generated cost never counts.
    const Outcome g = run(c, 50, get_generated_cost_fun());
    (void)g;
    EXPECT_EQ(niter, 0);
}

TEST(Minimize, InconsistentBoundsAreReportedByTheLibrary)
{
    auto c = synth::normalised(kTruth, {});
    X6 x{}, lb = {0.1, 0, 0, 0, 0, 0}, ub = {-0.1, 0, 0, 0, 0, 0};
    double minf = 0;
    const int rc = minimize(6, x.data(), 100, &minf, int(c.size()), c.data(), lb.data(), ub.data(),
                            640, 480, get_generated_cost_fun());
    EXPECT_LT(rc, 0);
}

} // namespace
