// Correspondences synthesised from known rotation angles, in the coordinates each cost
// expects: normalised for the generated cost, pixels for the reference cost.
#pragma once

#include "rectification.h"

#include <array>
#include <random>
#include <vector>

namespace synth
{

struct Options {
    int count = 300;
    double noise_px = 0.0; // row noise on the right image, in units of the loss scale
    double outliers = 0.0; // share of correspondences with a gross row error
    unsigned seed = 1;
};

// Scene points seen by the pair rectified by the angles x (x[5] ignored), projected into the
// unrectified images: left = RL^T·X, right = RR^T·(X - baseline).
std::vector<correspondence> normalised(const std::array<double, 6> &x, const Options &o);

// The same scene in pixels under the reference cost's camera model (focal 3^x[5]·(w + h),
// principal point in the image centre, right camera rotated by Rx(x[2])·Rz(x[4])·Ry(x[3])).
std::vector<correspondence> pixels(const std::array<double, 6> &x, int width, int height,
                                   const Options &o);

} // namespace synth
