// The cost the application minimises: summed robust loss of the scaled row difference of
// each correspondence after rotating both images, with its exact gradient in the same pass.
// Derived by hand from the rotation model; every angle-only term is formed once per call.
#include "export.h"
#include "rectification.h"
#include "robust_loss.h"

#include <cmath>

namespace
{

constexpr double kRowScale = 91.5;

// Rows 1 and 2 of Rx(a)·Rz(c)·Ry(b) and their derivatives by b and c. The derivative by a
// needs no table: d(row1)/da = -row2 and d(row2)/da = row1.
struct CameraRows {
    double n[3], d[3];   // rows 1 and 2
    double nb[3], db[3]; // by b
    double nc[3], dc[3]; // by c

    CameraRows(double sa, double ca, double sb, double cb, double sc, double cc)
        : n{ca * cb * sc + sa * sb, ca * cc, ca * sc * sb - sa * cb}, d{sa * cb * sc - ca * sb,
                                                                        sa * cc,
                                                                        sa * sb * sc + ca * cb},
          nb{-ca * sb * sc + sa * cb, 0.0, ca * sc * cb + sa * sb}, db{-sa * sb * sc - ca * cb, 0.0,
                                                                       sa * cb * sc - ca * sb},
          nc{ca * cb * cc, -ca * sc, ca * cc * sb}, dc{sa * cb * cc, -sa * sc, sa * sb * cc}
    {
    }
};

inline double dot(const double row[3], double px, double py)
{
    return row[0] * px + row[1] * py + row[2];
}

// Rectified row of an image point and its derivatives by the camera's three angles.
struct Row {
    double y, dy_da, dy_db, dy_dc;
};

// Formed exactly as in row_with_derivatives, so that the value does not depend on whether a
// gradient was asked for.
inline double row_only(const CameraRows &R, double px, double py)
{
    const double inv_d = 1.0 / dot(R.d, px, py);
    return dot(R.n, px, py) * inv_d;
}

inline Row row_with_derivatives(const CameraRows &R, double px, double py)
{
    const double N = dot(R.n, px, py);
    const double inv_d = 1.0 / dot(R.d, px, py);
    const double y = N * inv_d;
    return {y, -1.0 - y * y, (dot(R.nb, px, py) - y * dot(R.db, px, py)) * inv_d,
            (dot(R.nc, px, py) - y * dot(R.dc, px, py)) * inv_d};
}

} // namespace

extern "C" ZENT_EXPORT double generated_cost_fun(unsigned n, const double *x, double *grad,
                                                 void *data)
{
    if (grad != nullptr)
        for (unsigned j = 0; j < n; ++j)
            grad[j] = 0.0;
    const cost_data *cd = static_cast<const cost_data *>(data);
    if (cd->count <= 0)
        return 0.0;

    double sb_l, cb_l, sc_l, cc_l, sb_r, cb_r, sc_r, cc_r, sh, ch;
    sincos(x[0], &sb_l, &cb_l);
    sincos(x[1], &sc_l, &cc_l);
    sincos(x[2] * 0.5, &sh, &ch);
    sincos(x[3], &sb_r, &cb_r);
    sincos(x[4], &sc_r, &cc_r);
    // The roll about the baseline is split evenly: -x[2]/2 on the left, +x[2]/2 on the right.
    const CameraRows left(-sh, ch, sb_l, cb_l, sc_l, cc_l);
    const CameraRows right(sh, ch, sb_r, cb_r, sc_r, cc_r);

    double value = 0.0;
    double dloss;
    const correspondence *c = cd->corr;
    if (grad == nullptr) {
        for (int i = 0; i < cd->count; ++i) {
            const double rho = kRowScale * (row_only(left, c[i].left.x, c[i].left.y) -
                                            row_only(right, c[i].right.x, c[i].right.y));
            value += zent_rect::robust_loss(rho, &dloss);
        }
        return value;
    }

    double g0 = 0.0, g1 = 0.0, g2 = 0.0, g3 = 0.0, g4 = 0.0;
    for (int i = 0; i < cd->count; ++i) {
        const Row yl = row_with_derivatives(left, c[i].left.x, c[i].left.y);
        const Row yr = row_with_derivatives(right, c[i].right.x, c[i].right.y);
        const double rho = kRowScale * (yl.y - yr.y);
        value += zent_rect::robust_loss(rho, &dloss);
        // Capped (or not-a-number) residuals add nothing, even where a derivative is not finite.
        if (dloss == 0.0)
            continue;
        const double k = dloss * kRowScale;
        g0 += k * yl.dy_db;
        g1 += k * yl.dy_dc;
        // d(a_left)/dx2 = -1/2, d(a_right)/dx2 = +1/2
        g2 += k * (-0.5 * yl.dy_da - 0.5 * yr.dy_da);
        g3 -= k * yr.dy_db;
        g4 -= k * yr.dy_dc;
    }
    // Entry 5 (the focal exponent) has no influence here and stays 0.
    const double g[5] = {g0, g1, g2, g3, g4};
    for (unsigned j = 0; j < n && j < 5; ++j)
        grad[j] = g[j];
    return value;
}
