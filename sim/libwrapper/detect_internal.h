/* The marker detector's stages, shared by its entry point and its tests: dark mask, dark
 * blobs, outer contours, quadrilaterals with sub-pixel corners, and cell reading. */
#ifndef WRAPPER_DETECT_INTERNAL_H
#define WRAPPER_DETECT_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace wrapper
{

struct Image {
    const uint8_t *px;
    int w, h;
    uint8_t at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
    // Bilinear sample at pixel-centre coordinates; positions outside repeat the edge pixels.
    float sample(float x, float y) const;
    // The same for 0 <= x < w - 1 and 0 <= y < h - 1.
    float sample_inside(float x, float y) const
    {
        const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
        const float fx = x - x0, fy = y - y0;
        const uint8_t *p = px + static_cast<size_t>(y0) * w + x0;
        const float top = p[0] + fx * (p[1] - p[0]);
        const float bottom = p[w] + fx * (p[w + 1] - p[w]);
        return top + fy * (bottom - top);
    }
};

struct Pt {
    double x, y;
};

// Smallest marker side, in pixels, that is still read (two pixels per cell).
constexpr int kMinSide = 12;

/* Pixels darker than their neighbourhood: 1 where the mean of the 3x3 neighbourhood lies
 * more than a fixed margin below the mean of a larger window, else 0. The mask has a
 * one-pixel frame of zeros: (w + 2) x (h + 2), image pixel (x, y) at (x + 1, y + 1). */
void dark_mask(const Image &im, std::vector<uint8_t> &mask);

/* An 8-connected dark region: bounding box (inclusive) and its first pixel in raster order,
 * which lies on its outer boundary. */
struct Blob {
    int x0, y0, x1, y1;
    int start_x, start_y;
};

/* The regions that could hold a marker (large enough, clear of the image edge), in raster
 * order of their first pixel. */
std::vector<Blob> dark_blobs(const std::vector<uint8_t> &mask, int w, int h);

/* The outer boundary of the region holding (start_x, start_y), its first pixel in raster
 * order, as pixel positions; false when it is longer than max_len. */
bool trace_outer(const std::vector<uint8_t> &mask, int w, int start_x, int start_y, size_t max_len,
                 std::vector<Pt> &contour);

using Quad = std::array<Pt, 4>;

/* Four vertices approximating a closed contour, clockwise on the screen; false when the
 * contour is not close to a convex quadrilateral. */
bool contour_quad(const std::vector<Pt> &contour, Quad &quad);

/* Moves each side onto the image's dark-to-light edge and puts the corners where the
 * refined sides meet; false when the sides cannot be found or do not form a quadrilateral. */
bool refine_quad(const Image &im, Quad &quad);

/* Nine samples from the middle of each of the 6x6 cells of the marker whose corners
 * (clockwise, any starting corner) are q; cell (row, col) at index 6 * row + col, rows from
 * q[0] towards q[3]. */
using CellSamples = std::array<std::array<float, 9>, 36>;
CellSamples read_cells(const Image &im, const Quad &q);

/* The 4x4 code the cells read, or -1 when the border is not dark, the contrast too weak, or
 * the cells do not read cleanly dark or light (the grid is not on a marker's square). */
int cells_code(const CellSamples &cells);

/* The dictionary entry a code read from a quadrilateral (starting at its corner 0) belongs
 * to, with at most one wrong bit: the id, and the corner of the quadrilateral that is the
 * marker's top-left; false when no entry is that close. */
bool match_code(int code, int &id, int &first_corner);

// The code as the quadrilateral's grid reads when the marker is turned a quarter clockwise.
uint16_t rotate_code(uint16_t code);

struct Marker {
    int id;
    Quad corners; // the marker's top-left, top-right, bottom-right, bottom-left
};

/* Every marker of the image, in raster order of their topmost border pixel. Throws
 * std::bad_alloc when memory runs out. */
std::vector<Marker> detect(const Image &im);

} // namespace wrapper

#endif
