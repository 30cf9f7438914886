// Small numeric building blocks of the rectification: rotation from three angles, dense
// matrix product and transpose, and the Sampson distance of one correspondence.
#include "export.h"
#include "log.h"
#include "rectification.h"

#include <cmath>
#include <cstdlib>
#include <syslog.h>

namespace
{
// Every message of this module carries the source name "minimize".
constexpr const char kLogSource[] = "minimize.c";
constexpr double kPenalty = 1000000.0;
} // namespace

extern "C" ZENT_EXPORT double *euler(double a, double b, double c)
{
    double *R = static_cast<double *>(std::malloc(9 * sizeof(double)));
    if (R == nullptr)
        return nullptr;
    double sa, ca, sb, cb, sc, cc;
    sincos(a, &sa, &ca);
    sincos(b, &sb, &cb);
    sincos(c, &sc, &cc);
    R[0] = cb * cc;
    R[1] = -sc;
    R[2] = sb * cc;
    R[3] = ca * cb * sc + sa * sb;
    R[4] = ca * cc;
    R[5] = ca * sc * sb - sa * cb;
    R[6] = sa * cb * sc - ca * sb;
    R[7] = sa * cc;
    R[8] = sa * sb * sc + ca * cb;
    return R;
}

extern "C" ZENT_EXPORT void multiply(double *out, const double *A, const double *B, int n, int m,
                                     int p)
{
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < p; ++j) {
            double sum = 0.0;
            for (int k = 0; k < m; ++k)
                sum += A[i * m + k] * B[k * p + j];
            out[i * p + j] = sum;
        }
    }
}

extern "C" ZENT_EXPORT void transpose(double *out, const double *in, int m, int n)
{
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < m; ++k)
            out[k * n + i] = in[i * m + k];
}

extern "C" ZENT_EXPORT double sampson(const double *F, correspondence corr)
{
    const double l[3] = {corr.left.x, corr.left.y, 1.0};
    const double r[3] = {corr.right.x, corr.right.y, 1.0};

    double *u = static_cast<double *>(std::malloc(3 * sizeof(double)));
    if (u == nullptr) {
        l_printf_file(kLogSource, LOG_ERR, "could not allocate memory.\n");
        return kPenalty;
    }
    multiply(u, r, F, 1, 3, 3); // u = r^T F
    double e;
    multiply(&e, u, l, 1, 3, 1);
    e = e * e;

    const double S[9] = {0, -1, 0, 1, 0, 0, 0, 0, 0};
    double *SF = static_cast<double *>(std::malloc(9 * sizeof(double)));
    if (SF == nullptr) {
        l_printf_file(kLogSource, LOG_ERR, "could not allocate memory\n");
        std::free(u);
        return kPenalty;
    }
    multiply(SF, S, F, 3, 3, 3);
    double q[3];
    multiply(q, SF, l, 3, 3, 1);
    std::free(SF);
    double s[3];
    multiply(s, u, S, 1, 3, 3);
    std::free(u);

    double qq, ss;
    multiply(&qq, q, q, 1, 3, 1);
    multiply(&ss, s, s, 1, 3, 1);
    double den = qq + ss;
    if (den == 0.0)
        return kPenalty;
    if (std::isnan(e) || std::isnan(den))
        return kPenalty;
    return e / den;
}
