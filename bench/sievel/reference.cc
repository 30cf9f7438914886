/* Literal renderings of the background-model kernels, for the benchmarks to compare
 * against (the top-bin background saturates at 255 here too). */
#include "reference.h"

#include <cstdlib>

namespace ref
{

int rand_round(double x)
{
    int r = rand();
    int t = (int)x;
    double f = x - t;
    return r / 2147483647.0 < f ? t + 1 : t;
}

void median_model(uint8_t *model, uint8_t *image, int width, int height, double step,
                  double quantile)
{
    int down = rand_round((1 - quantile) * step);
    int up = rand_round(step * quantile);
    if (down == 0 && up == 0)
        return;
    for (int i = 0; i < width * height; ++i) {
        int m = model[i];
        if (image[i] < m) {
            m -= down;
            model[i] = m < 0 ? 0 : m > 255 ? 255 : m;
        } else if (image[i] > m) {
            m += up;
            model[i] = m < 0 ? 0 : m > 255 ? 255 : m;
        }
    }
}

void median_sievel(uint8_t *output, uint8_t *lower, uint8_t *upper, uint8_t *image, int width,
                   int height, float k)
{
    int K = (int)(k * 65536.0f);
    for (int i = 0; i < width * height; ++i) {
        int spread = upper[i] - lower[i];
        if (spread <= 0)
            spread = 1;
        int threshold = (spread * K + 32768) >> 16;
        if (image[i] > lower[i] + threshold) {
            int d = image[i] - lower[i];
            output[i] = d > 0 ? d : 0;
        } else {
            output[i] = 0;
        }
    }
}

void median_sievel_mask(uint8_t *output, uint8_t *lower, uint8_t *upper, uint8_t *image, int width,
                        int height, float k, uint8_t *source)
{
    int K = (int)(k * 65536.0f);
    for (int i = 0; i < width * height; ++i) {
        int spread = upper[i] - lower[i];
        if (spread <= 0)
            spread = 1;
        int threshold = (spread * K + 32768) >> 16;
        if (image[i] > lower[i] + threshold || image[i] < lower[i] - threshold)
            output[i] = source ? source[i] : image[i];
        else
            output[i] = 0;
    }
}

void hist_model(uint16_t *hist, uint8_t *image, uint32_t *count, int width, int height, int nbins,
                int maxcount, int range)
{
    int binw = range / nbins + 1;
    for (int i = width * height - 1; i >= 0; --i) {
        count[i] += 1;
        int b = image[i] / binw;
        uint16_t *c = &hist[i * nbins + b];
        *c += 1;
        if (*c == maxcount) {
            uint32_t sum = 0;
            for (int k = 0; k < nbins; ++k) {
                hist[i * nbins + k] /= 2;
                sum += hist[i * nbins + k];
            }
            count[i] = sum;
        }
    }
}

void hist_sievel(uint8_t *output, uint8_t *image, uint16_t *hist, uint32_t *count, int width,
                 int height, int nbins, int divisor, int range, uint8_t *background)
{
    int binw = range / nbins + 1;
    for (int i = width * height - 1; i >= 0; --i) {
        int b = image[i] / binw;
        uint32_t threshold = count[i] / divisor;
        uint32_t sum = 0;
        int j = nbins - 1;
        for (int k = 0; k < nbins; ++k) {
            sum += hist[i * nbins + k];
            if (sum >= threshold) {
                j = k;
                break;
            }
        }
        int level = binw * (j + 1);
        background[i] = level > 255 ? 255 : level;
        output[i] = j < b ? 255 : 0;
    }
}

} // namespace ref
