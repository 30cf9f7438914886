/* Calls the detector through its C interface and compares what it found with what was drawn. */
#ifndef DETECT_UTIL_H
#define DETECT_UTIL_H

#include "marker_render.h"
#include "wrapper.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace detect_util
{

struct Found {
    int status;
    std::vector<render::Placed> markers;
};

inline Found run(render::Canvas &c)
{
    point_t *pts = nullptr;
    int *ids = nullptr;
    size_t n = 0;
    Found f{detect_aruco(c.px.data(), c.w, c.h, &pts, &n, &ids), {}};
    for (size_t i = 0; i < n; ++i) {
        render::Corners q;
        for (int k = 0; k < 4; ++k)
            q[k] = {pts[4 * i + k].x, pts[4 * i + k].y};
        f.markers.push_back({ids[i], q});
    }
    std::free(pts);
    std::free(ids);
    return f;
}

// Largest distance between corresponding corners, in the given order.
inline double corner_error(const render::Corners &a, const render::Corners &b)
{
    double e = 0;
    for (int k = 0; k < 4; ++k)
        e = std::max(e, std::hypot(a[k].x - b[k].x, a[k].y - b[k].y));
    return e;
}

/* The found marker whose corners lie closest to the drawn one's, or null when none comes
 * within `within` pixels. */
inline const render::Placed *nearest(const Found &f, const render::Placed &drawn, double within)
{
    const render::Placed *best = nullptr;
    double err = within;
    for (const auto &m : f.markers) {
        const double e = corner_error(m.corners, drawn.corners);
        if (e <= err) {
            err = e;
            best = &m;
        }
    }
    return best;
}

} // namespace detect_util

#endif
