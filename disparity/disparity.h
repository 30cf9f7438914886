/* Dense disparity from a rectified stereo pair: the SAD box matchers over a reusable work
 * object and the gradient correlation matcher with its left-right check. */
#ifndef ZENT_DISPARITY_H
#define ZENT_DISPARITY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Work object of the box matchers; created for one image size by sadbox_init. */
struct sadbox {
    int32_t width;
    int32_t height;
    int32_t offset; /* added to every candidate before matching */
    int32_t max_disp;
    int32_t num_disp; /* max_disp + 1: disparity slots the scratch areas hold */
    int32_t box;
    int32_t margin;    /* a later candidate must beat the winner by more than this */
    int32_t *integral; /* width * (height + 1) * num_disp entries */
    int32_t *row_acc;  /* num_disp entries */
    int32_t *cost;     /* width * height * num_disp entries */
};

/* A plane of signed 32-bit samples, row-major, stride = width. */
typedef struct IntImage {
    int32_t width;
    int32_t height;
    int32_t *data;
} IntImage;

/* Returns a null pointer when memory cannot be obtained (nothing is left allocated). */
struct sadbox *sadbox_init(int width, int height, int offset, int max_disp, int box, int margin);
/* Releases the object and stores a null pointer into *sb. */
void sadbox_free(struct sadbox **sb);

/* Half-resolution matcher over n candidates; the output holds the winning list entries. */
void sadbox_disp(struct sadbox *sb, uint8_t *out, uint8_t *left, uint8_t *right, uint8_t n,
                 uint8_t *list);
void sadbox_disp_jump_y(struct sadbox *sb, uint8_t *out, uint8_t *left, uint8_t *right, uint8_t n,
                        uint8_t *list);
/* Full-resolution matcher, same contract as sadbox_disp. */
void sadbox_disp_orig(struct sadbox *sb, uint8_t *out, uint8_t *left, uint8_t *right, uint8_t n,
                      uint8_t *list);
/* Single-threaded raster matcher over every slot 0 .. num_disp - 1. */
void sadbox_disp_multiint(struct sadbox *sb, uint8_t *out, uint8_t *left, uint8_t *right);

/* Correlation matcher on horizontal gradients with a left-right check. Always returns 0; when
 * memory cannot be obtained the output is left untouched. */
int corr_disp(unsigned char *out, unsigned char *left, unsigned char *right, int width, int height,
              int dmin, int dmax, int win);
/* Best left and right disparities of one output row. Returns 0, or -1 when its working memory
 * cannot be obtained (every entry then reads "no candidate", INT32_MAX); a negative window
 * matches nothing and leaves every entry at "no candidate" too. */
int FindRowDisp(int *bestL, int *bestR, IntImage *left, IntImage *right, int row, int win, int dmin,
                int dmax);

/* The library also exports `int main(void)`, a self-timing run of sadbox_disp. */

#ifdef __cplusplus
}
#endif

#endif
