// Rotation from angles, matrix product and transpose, Sampson distance, and their failures.
#include "malloc_fault.h"
#include "rectification.h"
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

using M3 = std::array<double, 9>;

M3 mat_mul(const M3 &a, const M3 &b)
{
    M3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
    return r;
}

M3 rot_x(double t)
{
    return {1, 0, 0, 0, std::cos(t), -std::sin(t), 0, std::sin(t), std::cos(t)};
}
M3 rot_y(double t)
{
    return {std::cos(t), 0, std::sin(t), 0, 1, 0, -std::sin(t), 0, std::cos(t)};
}
M3 rot_z(double t)
{
    return {std::cos(t), -std::sin(t), 0, std::sin(t), std::cos(t), 0, 0, 0, 1};
}

M3 euler_m3(double a, double b, double c)
{
    double *R = euler(a, b, c);
    EXPECT_NE(R, nullptr);
    M3 m{};
    for (int i = 0; i < 9; ++i)
        m[i] = R[i];
    std::free(R);
    return m;
}

void expect_near_m3(const M3 &got, const M3 &want, double tol)
{
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(got[i], want[i], tol) << "element " << i;
}

double det(const M3 &m)
{
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
           m[2] * (m[3] * m[7] - m[4] * m[6]);
}

correspondence corr(float lx, float ly, float rx, float ry, float score = 0.0f)
{
    return correspondence{{lx, ly}, {rx, ry}, score};
}

TEST(Euler, SingleAxesAndIdentity)
{
    expect_near_m3(euler_m3(0, 0, 0), {1, 0, 0, 0, 1, 0, 0, 0, 1}, 0.0);
    expect_near_m3(euler_m3(0, 0.7, 0), rot_y(0.7), 1e-15);
    expect_near_m3(euler_m3(0, 0, -1.1), rot_z(-1.1), 1e-15);
    expect_near_m3(euler_m3(2.3, 0, 0), rot_x(2.3), 1e-15);
}

TEST(Euler, ProductOrderOrthonormalAndDeterminantOne)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> ang(-M_PI, M_PI);
    for (int t = 0; t < 200; ++t) {
        const double a = ang(rng), b = ang(rng), c = ang(rng);
        const M3 R = euler_m3(a, b, c);
        // y acts first, then z, then x.
        expect_near_m3(R, mat_mul(rot_x(a), mat_mul(rot_z(c), rot_y(b))), 1e-14);
        M3 Rt{};
        transpose(Rt.data(), R.data(), 3, 3);
        expect_near_m3(mat_mul(R, Rt), {1, 0, 0, 0, 1, 0, 0, 0, 1}, 1e-14);
        EXPECT_NEAR(det(R), 1.0, 1e-14);
    }
}

TEST(Euler, AllocationFailureGivesNull)
{
    malloc_fault::fail_nth(1);
    double *R = euler(0.1, 0.2, 0.3);
    malloc_fault::fail_nth(0);
    EXPECT_EQ(R, nullptr);
}

// Runs multiply into the middle of a guarded buffer and checks that exactly n*p doubles were
// written and that each equals the k-ascending sum.
void check_multiply(int n, int m, int p, std::mt19937 &rng)
{
    std::uniform_real_distribution<double> v(-3, 3);
    std::vector<double> A(n * m), B(m * p);
    for (auto &a : A)
        a = v(rng);
    for (auto &b : B)
        b = v(rng);
    const double guard = -12345.678;
    const int pad = 8;
    std::vector<double> out(n * p + 2 * pad, guard);
    multiply(out.data() + pad, A.data(), B.data(), n, m, p);
    for (int i = 0; i < pad; ++i) {
        EXPECT_EQ(out[i], guard) << "written before the output";
        EXPECT_EQ(out[pad + n * p + i], guard) << "written past the output";
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < p; ++j) {
            double s = 0.0;
            for (int k = 0; k < m; ++k)
                s += A[i * m + k] * B[k * p + j];
            EXPECT_EQ(out[pad + i * p + j], s) << n << "x" << m << "x" << p;
        }
}

TEST(Multiply, WritesExactlyTheOutputShape)
{
    std::mt19937 rng(11);
    check_multiply(1, 3, 1, rng); // dot product: one double
    check_multiply(3, 3, 1, rng); // matrix times column: three
    check_multiply(1, 3, 3, rng); // row times matrix
    check_multiply(3, 3, 3, rng);
    check_multiply(2, 5, 4, rng);
    check_multiply(1, 1, 1, rng);
}

TEST(Multiply, SameArrayForBothOperands)
{
    const double v[3] = {1.5, -2.0, 4.0};
    double out[3] = {7, 7, 7};
    multiply(out, v, v, 1, 3, 1);
    EXPECT_EQ(out[0], 1.5 * 1.5 + 4.0 + 16.0);
    EXPECT_EQ(out[1], 7.0);
}

TEST(Transpose, TwoByThreeToThreeByTwo)
{
    const double in[6] = {1, 2, 3, 4, 5, 6}; // 2 rows of 3 columns
    double out[8] = {0, 0, 0, 0, 0, 0, 99, 99};
    transpose(out, in, 3, 2);
    const double want[6] = {1, 4, 2, 5, 3, 6};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(out[i], want[i]) << i;
    EXPECT_EQ(out[6], 99);
    // And back again.
    double back[6] = {};
    transpose(back, out, 2, 3);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(back[i], in[i]);
}

// (r^T F l)^2 / ((F l)_0^2 + (F l)_1^2 + (F^T r)_0^2 + (F^T r)_1^2), written out.
double sampson_direct(const M3 &F, const correspondence &c)
{
    const double l[3] = {c.left.x, c.left.y, 1.0}, r[3] = {c.right.x, c.right.y, 1.0};
    double Fl[3] = {}, Ftr[3] = {};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) {
            Fl[i] += F[i * 3 + k] * l[k];
            Ftr[i] += F[k * 3 + i] * r[k];
        }
    const double e = r[0] * Fl[0] + r[1] * Fl[1] + r[2] * Fl[2];
    return e * e / (Fl[0] * Fl[0] + Fl[1] * Fl[1] + Ftr[0] * Ftr[0] + Ftr[1] * Ftr[1]);
}

TEST(Sampson, AgreesWithDirectFormula)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> v(-1, 1);
    std::uniform_real_distribution<float> px(-300, 300);
    for (int t = 0; t < 500; ++t) {
        M3 F;
        for (auto &f : F)
            f = v(rng);
        const correspondence c = corr(px(rng), px(rng), px(rng), px(rng));
        const double want = sampson_direct(F, c);
        EXPECT_NEAR(sampson(F.data(), c), want, 1e-12 * std::max(1.0, want));
    }
}

TEST(Sampson, EpipolarPointsAndScore)
{
    // Pure horizontal baseline: F = [t]x, rows must match.
    const M3 F = {0, 0, 0, 0, 0, -1, 0, 1, 0};
    EXPECT_EQ(sampson(F.data(), corr(10, 20, -5, 20)), 0.0);
    const double off = sampson(F.data(), corr(10, 20, -5, 23));
    EXPECT_NEAR(off, 9.0 / 2.0, 1e-12); // (dy)^2 / (1 + 1)
    EXPECT_EQ(sampson(F.data(), corr(10, 20, -5, 23, 1e30f)), off);
    EXPECT_EQ(sampson(F.data(), corr(10, 20, -5, 23, std::nanf(""))), off);
}

TEST(Sampson, Penalties)
{
    const M3 zero{};
    EXPECT_EQ(sampson(zero.data(), corr(1, 2, 3, 4)), 1000000.0);
    const M3 F = {0, 0, 0, 0, 0, -1, 0, 1, 0};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(sampson(F.data(), corr(nan, 2, 3, 4)), 1000000.0);
    EXPECT_EQ(sampson(F.data(), corr(1, 2, 3, nan)), 1000000.0);
    // Only the first column of F is non-zero: the denominator's terms all vanish.
    const M3 col = {1, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(sampson(col.data(), corr(0, 5, 0, 5)), 1000000.0);
}

TEST(Sampson, AllocationFailuresArePenalisedAndLogged)
{
    const M3 F = {0, 0, 0, 0, 0, -1, 0, 1, 0};
    syslog_capture::clear();
    malloc_fault::fail_nth(1);
    const double first = sampson(F.data(), corr(1, 2, 3, 4));
    malloc_fault::fail_nth(2);
    const double second = sampson(F.data(), corr(1, 2, 3, 4));
    malloc_fault::fail_nth(0);
    EXPECT_EQ(first, 1000000.0);
    EXPECT_EQ(second, 1000000.0);
    auto rec = syslog_capture::snapshot();
    ASSERT_EQ(rec.messages.size(), 2u);
    EXPECT_EQ(rec.messages[0].priority, LOG_ERR);
    EXPECT_EQ(rec.messages[0].text, "minimize: could not allocate memory.\n");
    EXPECT_EQ(rec.messages[1].text, "minimize: could not allocate memory\n");
}

} // namespace
