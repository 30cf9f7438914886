/* Background models of stereo._sievel: the randomly rounded quantile tracker with its two
 * foreground measures, and the per-pixel histogram model with exponential forgetting. */
#include "sievel.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "export.h"

namespace
{

/* The 16.16 factor of k, multiplied in single precision. Products outside int saturate
 * instead of invoking an undefined conversion. */
int fixed_factor(float k)
{
    float p = k * 65536.0f;
    if (!(p < 2147483648.0f))
        return p != p ? 0 : INT_MAX;
    if (p < -2147483648.0f)
        return INT_MIN;
    return static_cast<int>(p);
}

/* The band threshold (spread * K + 32768) >> 16 for spreads 1 ... 255, in 16-bit lanes.
 *
 * A pixel's difference from the lower model lies in -255 ... 255, so a threshold beyond
 * -256 ... 256 decides the same as -256 or 256. The threshold never decreases with the
 * spread for K >= 0 (never increases for K < 0); spreads beyond the first one that reaches
 * that limit (smax) may therefore be cut to it, and K may be cut to -257 ... 256 in integer
 * part. With K = kh * 65536 + kl (0 <= kl < 65536) the threshold is
 *     spread * kh + ((spread * kl + 32768) >> 16)
 * and the second term is the high half of spread * kl plus the top bit of its low half.
 * Every intermediate then fits 16 bits. */
struct band {
    int16_t kh;
    uint16_t kl;
    int16_t smax;

    explicit band(float k)
    {
        long long K = fixed_factor(k);
        K = K < -257LL * 65536 ? -257LL * 65536 : K > 256LL * 65536 ? 256LL * 65536 : K;
        kh = static_cast<int16_t>(K >> 16);
        kl = static_cast<uint16_t>(K & 0xFFFF);
        auto saturated = [K](int s) {
            const long long th = (s * K + 32768) >> 16;
            return th >= 256 || th <= -256;
        };
        int lo = 1, hi = 255; /* first saturated spread, or 255 */
        while (lo < hi) {
            const int mid = (lo + hi) / 2;
            if (saturated(mid))
                hi = mid;
            else
                lo = mid + 1;
        }
        smax = static_cast<int16_t>(lo);
    }
};

/* The threshold of one pixel from the band's parts (kept as plain values so the loops
 * vectorise in 16-bit lanes). */
inline int16_t band_threshold(uint8_t lower, uint8_t upper, int16_t kh, uint16_t kl, int16_t smax)
{
    int16_t s = static_cast<int16_t>(upper - lower);
    s = s > 0 ? s : int16_t{1};
    s = s < smax ? s : smax;
    const uint16_t us = static_cast<uint16_t>(s);
    const uint16_t high = static_cast<uint16_t>((static_cast<uint32_t>(us) * kl) >> 16);
    const uint16_t low = static_cast<uint16_t>(static_cast<uint32_t>(us) * kl);
    return static_cast<int16_t>(s * kh + high + (low >> 15));
}

/* Byte lanes: each move is a subtraction then an addition, at most one of them non-zero,
 * both cut at the ends of the range. */
__attribute__((noinline)) void model_rows(uint8_t *m, const uint8_t *img, std::ptrdiff_t n,
                                          uint8_t dark_sub, uint8_t dark_add, uint8_t bright_sub,
                                          uint8_t bright_add)
{
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const uint8_t cur = m[i], v = img[i];
        const uint8_t sub = v < cur ? dark_sub : v > cur ? bright_sub : uint8_t{0};
        const uint8_t add = v < cur ? dark_add : v > cur ? bright_add : uint8_t{0};
        const uint8_t lowered = static_cast<uint8_t>(cur - (cur < sub ? cur : sub));
        const uint8_t room = static_cast<uint8_t>(255 - lowered);
        m[i] = static_cast<uint8_t>(lowered + (add < room ? add : room));
    }
}

/* The per-pixel loops take the band's parts as plain arguments: kept out of line, they
 * vectorise with 16-bit multiplies. The output may be one of the inputs (the compiler checks
 * for overlap and falls back to the scalar loop). */
__attribute__((noinline)) void sievel_rows(uint8_t *out, const uint8_t *lo, const uint8_t *up,
                                           const uint8_t *img, std::ptrdiff_t n, int16_t kh,
                                           uint16_t kl, int16_t smax)
{
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const int16_t th = band_threshold(lo[i], up[i], kh, kl, smax);
        const int16_t d = static_cast<int16_t>(img[i] - lo[i]);
        out[i] = static_cast<uint8_t>(d > th && d > 0 ? d : 0);
    }
}

__attribute__((noinline)) void mask_rows(uint8_t *out, const uint8_t *lo, const uint8_t *up,
                                         const uint8_t *img, const uint8_t *src, std::ptrdiff_t n,
                                         int16_t kh, uint16_t kl, int16_t smax)
{
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const int16_t th = band_threshold(lo[i], up[i], kh, kl, smax);
        const int16_t d = static_cast<int16_t>(img[i] - lo[i]);
        const int16_t neg = static_cast<int16_t>(-th);
        const uint8_t v = src[i];
        out[i] = (d > th) | (d < neg) ? v : uint8_t{0};
    }
}

/* Grey level -> bin, so the per-pixel loops need no division. */
struct bin_table {
    int binw;
    uint16_t bin[256];
    explicit bin_table(int range, int nbins) : binw(range / nbins + 1)
    {
        for (int v = 0; v < 256; ++v)
            bin[v] = static_cast<uint16_t>(binw > 0 ? v / binw : 0);
    }
};

/* Index of the first bin whose running sum reaches thr, or nbins - 1. The running sums never
 * decrease, so that index is the number of sums still below thr. */
template <int NB> inline int quantile_bin(const uint16_t *__restrict h, uint32_t thr, int nbins)
{
    const int nb = NB > 0 ? NB : nbins;
    uint32_t sum = 0;
    int j = 0;
    for (int k = 0; k < nb - 1; ++k) {
        sum += h[k];
        j += sum < thr;
    }
    return j;
}

/* NB: the bin count when fixed at compile time (0: nbins). Shift: a power-of-two divisor
 * (the median's 2 among them) divides by shifting. */
template <int NB, bool Shift>
void hist_sievel_loop(uint8_t *output, const uint8_t *image, const uint16_t *hist,
                      const uint32_t *count, std::ptrdiff_t n, int nbins, unsigned divisor,
                      const bin_table &bins, uint8_t *background)
{
    const int nb = NB > 0 ? NB : nbins;
    const int shift = __builtin_ctz(divisor);
    for (std::ptrdiff_t i = n - 1; i >= 0; --i) {
        const int b = bins.bin[image[i]];
        const uint32_t thr = Shift ? count[i] >> shift : count[i] / divisor;
        const int j = quantile_bin<NB>(hist + i * nb, thr, nb);
        /* The level above the last bin can pass 255 (272 for 16 bins of 17); it is the
         * brightest level, not a wrapped dark one. */
        const int level = bins.binw * (j + 1);
        background[i] = static_cast<uint8_t>(level < 255 ? level : 255);
        output[i] = j < b ? 255 : 0;
    }
}

} // namespace

extern "C" {

ZENT_EXPORT int rand_round(double x)
{
    const int r = rand();
    /* Values beyond int saturate (not-a-number rounds to 0): a raw conversion is undefined
     * and turns a huge step into a reversed one. The top value cannot round up further. */
    if (x != x)
        return 0;
    if (x >= 2147483647.0)
        return INT_MAX;
    if (x <= -2147483648.0)
        return INT_MIN;
    const int t = static_cast<int>(x);
    const double f = x - t;
    return r / 2147483647.0 < f ? t + 1 : t;
}

ZENT_EXPORT int cmp(int a, int b)
{
    const unsigned char x = static_cast<unsigned char>(a), y = static_cast<unsigned char>(b);
    return (x > y) - (x < y);
}

ZENT_EXPORT void median_model(uint8_t *model, uint8_t *image, int width, int height, double step,
                              double quantile)
{
    const int down = rand_round((1 - quantile) * step);
    const int up = rand_round(step * quantile);
    if (down == 0 && up == 0)
        return;
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(width) * height;
    if (n <= 0)
        return;
    /* A step is a saturating subtraction or addition of its size; sizes of 255 and more all
     * reach the end of the range. A negative step (quantile outside 0 ... 1) moves the other
     * way. */
    auto size = [](long long v) { return static_cast<uint8_t>(v > 255 ? 255 : v < 0 ? 0 : v); };
    const long long dn = down, dp = up;
    const uint8_t dark_sub = size(dn), dark_add = size(-dn);
    const uint8_t bright_add = size(dp), bright_sub = size(-dp);
    model_rows(model, image, n, dark_sub, dark_add, bright_sub, bright_add);
}

ZENT_EXPORT void median_sievel(uint8_t *output, uint8_t *lower, uint8_t *upper, uint8_t *image,
                               int width, int height, float k)
{
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(width) * height;
    if (n <= 0)
        return;
    const band bd(k);
    sievel_rows(output, lower, upper, image, n, bd.kh, bd.kl, bd.smax);
}

ZENT_EXPORT void median_sievel_mask(uint8_t *output, uint8_t *lower, uint8_t *upper, uint8_t *image,
                                    int width, int height, float k, uint8_t *source)
{
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(width) * height;
    if (n <= 0)
        return;
    const band bd(k);
    mask_rows(output, lower, upper, image, source ? source : image, n, bd.kh, bd.kl, bd.smax);
}

ZENT_EXPORT void hist_model(uint16_t *hist, uint8_t *image, uint32_t *count, int width, int height,
                            int nbins, int maxcount, int range)
{
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(width) * height;
    if (n <= 0 || nbins <= 0)
        return;
    bin_table bins(range, nbins);
    if (bins.binw <= 0)
        return; /* a zero or negative bin width has no bins to count in */
    /* A range too small for the bin count puts bright levels past the last bin; they are
     * counted in it rather than in the next pixel's histogram or past the array's end. */
    for (uint16_t &b : bins.bin)
        if (b > nbins - 1)
            b = static_cast<uint16_t>(nbins - 1);
    /* Every count grows by one: a vectorised pass of its own, leaving the scattered bin
     * updates a shorter loop. A halving then sets the count afresh. */
    for (std::ptrdiff_t i = 0; i < n; ++i)
        count[i] += 1;
    for (std::ptrdiff_t i = n - 1; i >= 0; --i) {
        uint16_t *h = hist + i * nbins;
        const uint16_t c = ++h[bins.bin[image[i]]];
        if (c == maxcount) [[unlikely]] {
            uint32_t sum = 0;
            for (int k = 0; k < nbins; ++k) {
                h[k] = static_cast<uint16_t>(h[k] >> 1);
                sum += h[k];
            }
            count[i] = sum;
        }
    }
}

ZENT_EXPORT void hist_sievel(uint8_t *output, uint8_t *image, uint16_t *hist, uint32_t *count,
                             int width, int height, int nbins, int divisor, int range,
                             uint8_t *background)
{
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(width) * height;
    if (n <= 0 || nbins <= 0)
        return;
    const bin_table bins(range, nbins);
    /* Sizes that would divide by zero or index below a pixel's histogram leave everything
     * untouched rather than stop the process. */
    if (bins.binw <= 0 || divisor == 0)
        return;
    /* The division is unsigned: a negative divisor acts as a huge one. */
    const unsigned d = static_cast<unsigned>(divisor);
    const bool pow2 = (d & (d - 1)) == 0;
    if (nbins == 16 && pow2)
        hist_sievel_loop<16, true>(output, image, hist, count, n, nbins, d, bins, background);
    else if (nbins == 16)
        hist_sievel_loop<16, false>(output, image, hist, count, n, nbins, d, bins, background);
    else if (pow2)
        hist_sievel_loop<0, true>(output, image, hist, count, n, nbins, d, bins, background);
    else
        hist_sievel_loop<0, false>(output, image, hist, count, n, nbins, d, bins, background);
}

} // extern "C"
