// Robust loss of a scaled row difference: quadratic near zero, linear beyond +-0.5, capped
// at 2.25 beyond +-2.5. Private to the module; the native tests check its joints directly.
#pragma once

namespace zent_rect
{

// Loss of rho; *dloss receives its derivative. The tests are strict and in this order, so a
// residual that is not a number fails them all and costs the cap with derivative 0.
inline double robust_loss(double rho, double *dloss)
{
    if (rho < -2.5) {
        *dloss = 0.0;
        return 2.25;
    } else if (rho < -0.5) {
        *dloss = -1.0;
        return -rho - 0.25;
    } else if (rho < 0.5) {
        *dloss = 2.0 * rho;
        return rho * rho;
    } else if (rho < 2.5) {
        *dloss = 1.0;
        return rho - 0.25;
    }
    *dloss = 0.0;
    return 2.25;
}

} // namespace zent_rect
