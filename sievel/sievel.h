/* Per-pixel background models of the stereo._sievel module (running quantile and
 * histogram) and the foreground images and masks computed from them. */
#ifndef SIEVEL_H
#define SIEVEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Foreground from the histogram model: output 255 where the pixel's bin lies above the bin
 * that completes count/divisor of its history, that bin's upper level into background. */
void hist_sievel(uint8_t *output, uint8_t *image, uint16_t *hist, uint32_t *count, int width,
                 int height, int nbins, int divisor, int range, uint8_t *background);

/* Adds image to the per-pixel histograms, halving a pixel's bins when one reaches maxcount. */
void hist_model(uint16_t *hist, uint8_t *image, uint32_t *count, int width, int height, int nbins,
                int maxcount, int range);

/* Brighter-than-background measure from a lower and an upper median model. */
void median_sievel(uint8_t *output, uint8_t *lower, uint8_t *upper, uint8_t *image, int width,
                   int height, float k);

/* Two-sided foreground mask: source (or image when source is null) where the pixel leaves
 * the band around the lower model, 0 inside it. */
void median_sievel_mask(uint8_t *output, uint8_t *lower, uint8_t *upper, uint8_t *image, int width,
                        int height, float k, uint8_t *source);

/* Moves every model pixel one randomly rounded step towards image. */
void median_model(uint8_t *model, uint8_t *image, int width, int height, double step,
                  double quantile);

/* Randomised rounding of x with one draw of rand(). */
int rand_round(double x);

/* Compares the low bytes of a and b as unsigned numbers: -1, 0 or 1. */
int cmp(int a, int b);

#ifdef __cplusplus
}
#endif

#endif
