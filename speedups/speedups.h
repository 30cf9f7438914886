/* Image kernels of the pixelor._speedups module: grey conversion, transposition,
 * homography projection, bilinear sampling and warping of packed three-channel images. */
#ifndef SPEEDUPS_H
#define SPEEDUPS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Channel `channel` of the three-channel image at (x, y), bilinearly interpolated and
 * truncated. Neighbours with a zero weight are not read. */
unsigned char bilin(unsigned char *img, int width, double x, double y, int channel);

/* Warps src onto the rectangle [x0, x1) x [y0, y1) of dst; h maps destination to source
 * coordinates. Pixels that project outside the source keep their value. dst_height is
 * accepted and not used. */
void project_rgbimage_onto(int dst_width, int dst_height, unsigned char *dst, int src_width,
                           int src_height, unsigned char *src, double *h, int x0, int x1, int y0,
                           int y1);

/* (x, y) through the row-major 3x3 homography h. */
void projxy(double *rx, double *ry, double x, double y, double *h);

/* grey[i] = (c0 + c1 + c2) / 3, truncated, for n pixels. */
void rgb_to_grey(unsigned char *grey, unsigned char *rgb, int n);

/* dst (width rows of height bytes) = transpose of src (height rows of width bytes). */
void uint8_transpose(unsigned char *dst, unsigned char *src, int width, int height);

#ifdef __cplusplus
}
#endif

#endif
