/* Image kernels of pixelor._speedups. Every result is bit for bit the plain algorithm:
 * integer means for grey, IEEE double in the stated order of operations for geometry. */
#include "speedups.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "export.h"

#include "wide_kernels.h"

#ifdef ZENT_WIDE_KERNELS
/* x86-64 builds carry a second copy of the wide loops compiled for AVX2 (the same source);
 * every other machine, the camera included, runs the portable copy alone. */
#define SPEEDUPS_WIDE_VARIANT 1
#define SPEEDUPS_WIDE __attribute__((target("avx2")))
#endif

#define SPEEDUPS_BODY __attribute__((always_inline)) inline

namespace
{

/* Exact for every sum of three bytes (0 ... 765): the error of 21846/65536 against 1/3 stays
 * below 1/100 there, and the fraction of sum/3 never exceeds 2/3. */
inline unsigned char mean3(uint16_t sum)
{
    return static_cast<unsigned char>((static_cast<uint32_t>(sum) * 21846u) >> 16);
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool little_endian = true;
#else
constexpr bool little_endian = false;
#endif

inline uint64_t load64(const unsigned char *p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store64(unsigned char *p, uint64_t v)
{
    std::memcpy(p, &v, sizeof v);
}

/* One 8x8 byte block in general-purpose registers: swap 1-, 2- and 4-byte sub-blocks between
 * rows. Works on any machine with 64-bit integers (two words each on the 32-bit camera). */
inline void transpose8x8(const unsigned char *src, std::ptrdiff_t sstride, unsigned char *dst,
                         std::ptrdiff_t dstride)
{
    uint64_t r[8];
    for (int k = 0; k < 8; ++k)
        r[k] = load64(src + k * sstride);
    for (int k = 0; k < 8; k += 2) {
        uint64_t t = ((r[k] >> 8) ^ r[k + 1]) & 0x00FF00FF00FF00FFull;
        r[k + 1] ^= t;
        r[k] ^= t << 8;
    }
    static constexpr int pairs2[] = {0, 1, 4, 5};
    for (int k : pairs2) {
        uint64_t t = ((r[k] >> 16) ^ r[k + 2]) & 0x0000FFFF0000FFFFull;
        r[k + 2] ^= t;
        r[k] ^= t << 16;
    }
    for (int k = 0; k < 4; ++k) {
        uint64_t t = ((r[k] >> 32) ^ r[k + 4]) & 0x00000000FFFFFFFFull;
        r[k + 4] ^= t;
        r[k] ^= t << 32;
    }
    for (int k = 0; k < 8; ++k)
        store64(dst + k * dstride, r[k]);
}

void transpose_scalar(unsigned char *__restrict dst, const unsigned char *__restrict src,
                      std::ptrdiff_t width, std::ptrdiff_t height, std::ptrdiff_t i0,
                      std::ptrdiff_t i1, std::ptrdiff_t j0, std::ptrdiff_t j1)
{
    for (std::ptrdiff_t i = i0; i < i1; ++i)
        for (std::ptrdiff_t j = j0; j < j1; ++j)
            dst[j * height + i] = src[i * width + j];
}

/* Byte levels as doubles: a table load instead of a conversion per sample (a library call
 * with software floating point). Small integers convert exactly, so the sums are unchanged. */
constexpr std::array<double, 256> make_levels()
{
    std::array<double, 256> t{};
    for (int v = 0; v < 256; ++v)
        t[v] = v;
    return t;
}

constexpr std::array<double, 256> level = make_levels();

/* The four weights and the neighbour offsets of one bilinear lookup. Offsets of
 * neighbours whose weight is exactly 0 point back at the top-left sample, so nothing outside
 * the image is read and the zero term adds nothing to the sum. */
struct bilin_point {
    const unsigned char *p;
    std::ptrdiff_t dx, dy;
    double wtl, wbl, wtr, wbr;
};

SPEEDUPS_BODY bilin_point bilin_setup(const unsigned char *img, int width, double x, double y)
{
    int ix = static_cast<int>(x);
    int iy = static_cast<int>(y);
    double fx = x - ix;
    double fy = y - iy;
    double ux = 1 - fx;
    double uy = 1 - fy;
    bilin_point b;
    b.p = img + (static_cast<std::ptrdiff_t>(iy) * width + ix) * 3;
    b.dx = fx != 0 ? 3 : 0;
    b.dy = fy != 0 ? static_cast<std::ptrdiff_t>(width) * 3 : 0;
    b.wtl = ux * uy;
    b.wbl = fy * ux;
    b.wtr = fx * uy;
    b.wbr = fx * fy;
    return b;
}

SPEEDUPS_BODY unsigned char bilin_sample(const bilin_point &b, int channel)
{
    const unsigned char *p = b.p + channel;
    double sum = ((b.wtl * level[p[0]] + b.wbl * level[p[b.dy]]) + b.wtr * level[p[b.dx]]) +
                 b.wbr * level[p[b.dx + b.dy]];
    return static_cast<unsigned char>(static_cast<unsigned>(sum));
}

/* The output may overlap the input (grey written over the start of the colour image): the
 * compiler checks and falls back to the scalar loop, which reads every pixel before its
 * byte is overwritten. */
SPEEDUPS_BODY void grey_body(unsigned char *out, const unsigned char *in, int n)
{
    for (std::ptrdiff_t i = 0; i < n; ++i)
        out[i] = mean3(static_cast<uint16_t>(in[3 * i] + in[3 * i + 1] + in[3 * i + 2]));
}

void grey_portable(unsigned char *out, const unsigned char *in, int n)
{
    grey_body(out, in, n);
}

#ifdef SPEEDUPS_WIDE_VARIANT
SPEEDUPS_WIDE void grey_wide(unsigned char *out, const unsigned char *in, int n)
{
    grey_body(out, in, n);
}
#endif

SPEEDUPS_BODY void project_body(int dst_width, unsigned char *dst, int src_width, int src_height,
                                const unsigned char *src, const double *h, int x0, int x1, int y0,
                                int y1)
{
    const double xmax = src_width - 1;
    const double ymax = src_height - 1;
    const double h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3], h4 = h[4], h5 = h[5], h6 = h[6],
                 h7 = h[7], h8 = h[8];
    /* Projection first, a chunk of the row at a time: a branch-free loop the compiler
     * vectorises, divisions included. The products with y are the same in every column. */
    constexpr int chunk = 256;
    double sx[chunk], sy[chunk];
    for (int y = y0; y < y1; ++y) {
        const double yd = y;
        const double yh1 = yd * h1, yh4 = yd * h4, yh7 = yd * h7;
        unsigned char *row = dst + static_cast<std::ptrdiff_t>(y) * dst_width * 3;
        for (int xs = x0; xs < x1; xs += chunk) {
            const int len = x1 - xs < chunk ? x1 - xs : chunk;
            for (int k = 0; k < len; ++k) {
                const double xd = xs + k;
                const double w = (xd * h6 + yh7) + h8;
                sx[k] = ((xd * h0 + yh1) + h2) / w;
                sy[k] = ((xd * h3 + yh4) + h5) / w;
            }
            for (int k = 0; k < len; ++k) {
                const double px = sx[k], py = sy[k];
                if (!(px >= 0 && px <= xmax && py >= 0 && py <= ymax))
                    continue;
                const bilin_point b = bilin_setup(src, src_width, px, py);
                unsigned char *out = row + static_cast<std::ptrdiff_t>(xs + k) * 3;
                out[0] = bilin_sample(b, 0);
                out[1] = bilin_sample(b, 1);
                out[2] = bilin_sample(b, 2);
            }
        }
    }
}

void project_portable(int dst_width, unsigned char *dst, int src_width, int src_height,
                      const unsigned char *src, const double *h, int x0, int x1, int y0, int y1)
{
    project_body(dst_width, dst, src_width, src_height, src, h, x0, x1, y0, y1);
}

#ifdef SPEEDUPS_WIDE_VARIANT
SPEEDUPS_WIDE void project_wide(int dst_width, unsigned char *dst, int src_width, int src_height,
                                const unsigned char *src, const double *h, int x0, int x1, int y0,
                                int y1)
{
    project_body(dst_width, dst, src_width, src_height, src, h, x0, x1, y0, y1);
}
#endif

} // namespace

extern "C" {

ZENT_EXPORT void rgb_to_grey(unsigned char *grey, unsigned char *rgb, int n)
{
#ifdef SPEEDUPS_WIDE_VARIANT
    if (zent_wide_kernels()) {
        grey_wide(grey, rgb, n);
        return;
    }
#endif
    grey_portable(grey, rgb, n);
}

ZENT_EXPORT void uint8_transpose(unsigned char *dst, unsigned char *src, int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    const std::ptrdiff_t w = width, h = height;
    const std::ptrdiff_t w8 = little_endian ? w & ~std::ptrdiff_t{7} : 0;
    const std::ptrdiff_t h8 = little_endian ? h & ~std::ptrdiff_t{7} : 0;
    for (std::ptrdiff_t i = 0; i < h8; i += 8)
        for (std::ptrdiff_t j = 0; j < w8; j += 8)
            transpose8x8(src + i * w + j, w, dst + j * h + i, h);
    transpose_scalar(dst, src, w, h, 0, h8, w8, w);
    transpose_scalar(dst, src, w, h, h8, h, 0, w);
}

ZENT_EXPORT void projxy(double *rx, double *ry, double x, double y, double *h)
{
    double w = (x * h[6] + y * h[7]) + h[8];
    *rx = ((x * h[0] + y * h[1]) + h[2]) / w;
    *ry = ((x * h[3] + y * h[4]) + h[5]) / w;
}

ZENT_EXPORT unsigned char bilin(unsigned char *img, int width, double x, double y, int channel)
{
    return bilin_sample(bilin_setup(img, width, x, y), channel);
}

ZENT_EXPORT void project_rgbimage_onto(int dst_width, int dst_height, unsigned char *dst,
                                       int src_width, int src_height, unsigned char *src, double *h,
                                       int x0, int x1, int y0, int y1)
{
    (void)dst_height;
    if (x0 >= x1 || y0 >= y1)
        return;
#ifdef SPEEDUPS_WIDE_VARIANT
    if (zent_wide_kernels()) {
        project_wide(dst_width, dst, src_width, src_height, src, h, x0, x1, y0, y1);
        return;
    }
#endif
    project_portable(dst_width, dst, src_width, src_height, src, h, x0, x1, y0, y1);
}

} // extern "C"
