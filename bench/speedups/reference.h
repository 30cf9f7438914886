/* Literal renderings of the image kernels, one statement per step of their description,
 * for the benchmarks to compare against. */
#ifndef SPEEDUPS_REFERENCE_H
#define SPEEDUPS_REFERENCE_H

namespace ref
{

void rgb_to_grey(unsigned char *grey, unsigned char *rgb, int n);
void uint8_transpose(unsigned char *dst, unsigned char *src, int width, int height);
void projxy(double *rx, double *ry, double x, double y, double *h);
unsigned char bilin(unsigned char *img, int width, double x, double y, int channel);
void project_rgbimage_onto(int dst_width, int dst_height, unsigned char *dst, int src_width,
                           int src_height, unsigned char *src, double *h, int x0, int x1, int y0,
                           int y1);

} // namespace ref

#endif
