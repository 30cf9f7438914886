/* libwrapper's C interface: argument checks, the detection, and the result arrays handed to
 * the caller from malloc. */
#include "wrapper.h"

#include "detect_internal.h"
#include "dictionary.h"
#include "export.h"

#include <climits>
#include <cstdlib>
#include <new>

extern "C" ZENT_EXPORT int detect_aruco(uint8_t *image, int width, int height, point_t **points,
                                        size_t *count, int **ids)
{
    // Every out-cell the caller gave is defined on every return, so freeing them is safe.
    if (points)
        *points = nullptr;
    if (count)
        *count = 0;
    if (ids)
        *ids = nullptr;
    if (!image || !points || !count || !ids || width < 1 || height < 1)
        return -1;
    // The working mask has a one-pixel frame and is indexed with int-sized offsets.
    if ((static_cast<uint64_t>(width) + 2) * (static_cast<uint64_t>(height) + 2) > INT_MAX)
        return -1;

    std::vector<wrapper::Marker> found;
    try {
        found = wrapper::detect({image, width, height});
    } catch (const std::bad_alloc &) {
        return -2;
    }
    if (found.empty())
        return 0;
    auto *pts = static_cast<point_t *>(std::malloc(4 * found.size() * sizeof(point_t)));
    auto *out_ids = static_cast<int *>(std::malloc(found.size() * sizeof(int)));
    if (!pts || !out_ids) {
        std::free(pts);
        std::free(out_ids);
        return -2;
    }
    for (size_t i = 0; i < found.size(); ++i) {
        out_ids[i] = found[i].id;
        for (int k = 0; k < 4; ++k)
            pts[4 * i + k] = {found[i].corners[k].x, found[i].corners[k].y};
    }
    *points = pts;
    *ids = out_ids;
    *count = found.size();
    return 0;
}

extern "C" ZENT_EXPORT int aruco_dictionary(const uint16_t **codes)
{
    if (codes)
        *codes = wrapper_dictionary_codes;
    return WRAPPER_DICTIONARY_SIZE;
}
