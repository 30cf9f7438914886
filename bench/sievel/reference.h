/* Literal renderings of the background-model kernels, for the benchmarks to compare
 * against. */
#ifndef SIEVEL_REFERENCE_H
#define SIEVEL_REFERENCE_H

#include <cstdint>

namespace ref
{

int rand_round(double x);
void median_model(uint8_t *model, uint8_t *image, int width, int height, double step,
                  double quantile);
void median_sievel(uint8_t *output, uint8_t *lower, uint8_t *upper, uint8_t *image, int width,
                   int height, float k);
void median_sievel_mask(uint8_t *output, uint8_t *lower, uint8_t *upper, uint8_t *image, int width,
                        int height, float k, uint8_t *source);
void hist_model(uint16_t *hist, uint8_t *image, uint32_t *count, int width, int height, int nbins,
                int maxcount, int range);
void hist_sievel(uint8_t *output, uint8_t *image, uint16_t *hist, uint32_t *count, int width,
                 int height, int nbins, int divisor, int range, uint8_t *background);

} // namespace ref

#endif
