/* libwrapper: the camera's square fiducial-marker detector, as the marker module links it.
 * This build is a self-contained detector for one 4x4 dictionary of 50 markers. */
#ifndef WRAPPER_H
#define WRAPPER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A point of the image plane, in pixels. */
typedef struct {
    double x;
    double y;
} point_t;

/* Finds the markers in an 8-bit grey image.
 *
 * Image: `width` x `height` samples, row-major, one byte per sample, row stride equal to the
 * width (the first integer is the width, the second the height). It is only read.
 *
 * Markers: a square of 6 x 6 equal cells, a one-cell black border around a 4x4 data grid (a
 * white cell is a 1 bit), dark on a light background, with a light quiet zone of at least
 * one cell on every side. The id of a marker is its index 0..49 in the dictionary
 * (sim/libwrapper/dictionary.h, code = data cells row by row from the marker's top-left,
 * bit 15 first); `gen_dictionary.py --draw ID` prints one. Any one wrong data cell is
 * corrected; a marker with two or three wrong cells is not reported, and no marker with
 * fewer than four wrong cells is ever read as another id.
 *
 * Coordinates: x to the right, y down; the centre of the pixel in column c and row r is
 * (c, r), so the pixel covers c - 0.5 .. c + 0.5. Corners are the corners of the marker's
 * outer black square at sub-pixel precision: a marker drawn axis-aligned over the pixels
 * x0 .. x1, y0 .. y1 has its corners at (x0 - 0.5, y0 - 0.5), (x1 + 0.5, y0 - 0.5), ...
 *
 * Results, all three out-cells set on every return (NULL, 0, NULL when nothing is found or
 * on failure):
 *   *points  4 x *count corners, four per marker in the marker's own order: its top-left,
 *            top-right, bottom-right and bottom-left corner (clockwise on the screen when
 *            the marker faces the camera), whatever its rotation in the image;
 *   *count   the number of markers found;
 *   *ids     *count marker ids, in the same order as the corner groups.
 * Markers are listed in the order of their topmost border pixel (row, then column). Both
 * arrays come from malloc and belong to the caller, who releases them with free.
 *
 * A marker is found when its sides are at least 12 pixels long and it lies wholly inside the
 * image, not touching its edge. Corners are within about 0.1 pixel on sharp images of
 * markers from 24 pixels on, 0.3 pixel with camera noise (10 grey levels at a contrast of
 * 160) or for smaller markers.
 *
 * Partly covered markers: a marker is still found when most of each side is visible and the
 * cells read cleanly, and its corners are then where the visible parts of the sides meet
 * (so a hidden corner is still placed right). A light object over the outer edge of a side,
 * less than about a third of a cell deep, moves that side with it; deeper, the cells no
 * longer read cleanly and the marker is not reported. A marker whose border is cut through
 * is not reported either.
 *
 * Returns 0 when the detection ran (whether or not markers were found), -1 for bad
 * arguments (a null pointer, a dimension below 1, or an image larger than 2^31 - 1 pixels
 * with a one-pixel frame), -2 when memory ran out. The call is reentrant: threads may
 * detect at the same time. */
int detect_aruco(uint8_t *image, int width, int height, point_t **points, size_t *count, int **ids);

/* The dictionary: sets *codes to the table of codes (indexed by id, read only) and returns
 * its length. */
int aruco_dictionary(const uint16_t **codes);

#ifdef __cplusplus
}
#endif

#endif
