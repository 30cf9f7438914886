/* Draws markers of the detector's dictionary into grey images with exactly known corners
 * (supersampled, so tilted edges are anti-aliased as a camera would see them), and random
 * scenes of them; shared by the detector's tests and its benchmark. */
#ifndef MARKER_RENDER_H
#define MARKER_RENDER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace render
{

struct P {
    double x, y;
};

// A marker's outer corners: its top-left, top-right, bottom-right, bottom-left.
using Corners = std::array<P, 4>;

struct Canvas {
    int w, h;
    std::vector<uint8_t> px;
    Canvas(int width, int height, uint8_t background)
        : w(width), h(height), px(static_cast<size_t>(width) * height, background)
    {
    }
    uint8_t &at(int x, int y) { return px[static_cast<size_t>(y) * w + x]; }
};

// The 4x4 code of marker `id`, from the library's own table.
uint16_t code_of(int id);

/* Draws the 6x6-cell marker with the given 4x4 code so that its outer square has the given
 * corners (pixel centres at integer coordinates). Pixels are the mean of ss x ss samples;
 * samples outside the marker keep the pixel's current value. */
void draw_code(Canvas &c, uint16_t code, const Corners &corners, uint8_t dark = 20,
               uint8_t light = 235, int ss = 16);

inline void draw_marker(Canvas &c, int id, const Corners &corners, uint8_t dark = 20,
                        uint8_t light = 235, int ss = 16)
{
    draw_code(c, code_of(id), corners, dark, light, ss);
}

/* The corners of a square of the given side centred at (cx, cy), turned clockwise on the
 * screen by `degrees`. */
Corners square(double cx, double cy, double side, double degrees);

/* The corners of a square of the given side centred at (cx, cy), tilted away from the viewer
 * by `tilt` degrees about its horizontal axis (top edge farther), seen by a pinhole camera
 * `distance` sides away, then turned by `degrees`. */
Corners tilted(double cx, double cy, double side, double tilt, double distance, double degrees);

// Adds Gaussian noise of the given standard deviation, clamped to 0..255.
void add_noise(Canvas &c, double sigma, uint32_t seed);

// Fills the axis-aligned rectangle x0..x1, y0..y1 (inclusive, clipped).
void fill_rect(Canvas &c, int x0, int y0, int x1, int y1, uint8_t v);

// Fills the disc of radius r around (cx, cy) (pixel centres inside).
void fill_disc(Canvas &c, double cx, double cy, double r, uint8_t v);

// Box blur of the given radius, edges repeated.
void box_blur(Canvas &c, int radius);

struct Placed {
    int id;
    Corners corners;
};

/* Up to `count` markers with random ids, sides between min_side and max_side, any rotation
 * and a random tilt up to max_tilt degrees, each with a quiet zone of at least one cell
 * clear of the others and of the image edge. */
std::vector<Placed> random_scene(Canvas &c, int count, double min_side, double max_side,
                                 double max_tilt, uint32_t seed);

} // namespace render

#endif
