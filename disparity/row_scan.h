// Running sums along one row, the serial step of both matchers. The portable loops are what
// every target has; where SSE2 exists a vector version is picked and must agree with them.
#ifndef ZENT_ROW_SCAN_H
#define ZENT_ROW_SCAN_H

#include <cstdint>

#if defined(__SSE2__) && !defined(ZENT_DISPARITY_PORTABLE)
#define ZENT_DISPARITY_SSE2 1
#else
#define ZENT_DISPARITY_SSE2 0
#endif

namespace zent_disparity
{

// row[i] = row[0] + ... + row[i] + above[i]: one row of an integral image from its samples.
void integral_row(int32_t *row, const int32_t *above, long n);
// row[i] = row[0] + ... + row[i].
void prefix_row(int32_t *row, long n);
// out[i] = run + 2 * (half[0] + ... + half[i]) + above[i]: an integral row from half sample
// costs, continuing a running sum; returns the running sum after the last entry.
int32_t integral_row_doubled(int32_t *out, const uint16_t *half, const int32_t *above, long n,
                             int32_t run);

void integral_row_portable(int32_t *row, const int32_t *above, long n);
void prefix_row_portable(int32_t *row, long n);
int32_t integral_row_doubled_portable(int32_t *out, const uint16_t *half, const int32_t *above,
                                      long n, int32_t run);
#if ZENT_DISPARITY_SSE2
void integral_row_sse2(int32_t *row, const int32_t *above, long n);
void prefix_row_sse2(int32_t *row, long n);
int32_t integral_row_doubled_sse2(int32_t *out, const uint16_t *half, const int32_t *above, long n,
                                  int32_t run);
#endif

} // namespace zent_disparity

#endif
