/* Literal renderings of the image kernels, for the benchmarks to compare against. */
#include "reference.h"

namespace ref
{

void rgb_to_grey(unsigned char *grey, unsigned char *rgb, int n)
{
    for (int i = 0; i < n; ++i)
        grey[i] = (rgb[3 * i] + rgb[3 * i + 1] + rgb[3 * i + 2]) / 3;
}

void uint8_transpose(unsigned char *dst, unsigned char *src, int width, int height)
{
    for (int i = 0; i < height; ++i)
        for (int j = 0; j < width; ++j)
            dst[j * height + i] = src[i * width + j];
}

void projxy(double *rx, double *ry, double x, double y, double *h)
{
    double w = (x * h[6] + y * h[7]) + h[8];
    *rx = ((x * h[0] + y * h[1]) + h[2]) / w;
    *ry = ((x * h[3] + y * h[4]) + h[5]) / w;
}

unsigned char bilin(unsigned char *img, int width, double x, double y, int channel)
{
    int ix = (int)x, iy = (int)y;
    double fx = x - ix, fy = y - iy;
    double ux = 1 - fx, uy = 1 - fy;
    double wtl = ux * uy, wbl = fy * ux, wtr = fx * uy, wbr = fx * fy;
    double tl = img[(iy * width + ix) * 3 + channel];
    double bl = wbl != 0 ? img[((iy + 1) * width + ix) * 3 + channel] : 0;
    double tr = wtr != 0 ? img[(iy * width + ix + 1) * 3 + channel] : 0;
    double br = wbr != 0 ? img[((iy + 1) * width + ix + 1) * 3 + channel] : 0;
    double sum = ((wtl * tl + wbl * bl) + wtr * tr) + wbr * br;
    return (unsigned char)(unsigned)sum;
}

void project_rgbimage_onto(int dst_width, int, unsigned char *dst, int src_width, int src_height,
                           unsigned char *src, double *h, int x0, int x1, int y0, int y1)
{
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            double sx, sy;
            projxy(&sx, &sy, x, y, h);
            if (sx >= 0 && sx <= src_width - 1 && sy >= 0 && sy <= src_height - 1)
                for (int c = 0; c < 3; ++c)
                    dst[(y * dst_width + x) * 3 + c] = bilin(src, src_width, sx, sy, c);
        }
}

} // namespace ref
