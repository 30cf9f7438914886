// Running sums along one row: a plain loop, and an SSE2 version that keeps the carry chain to
// one add and one shuffle per eight entries.
#include "row_scan.h"

#if ZENT_DISPARITY_SSE2
#include <emmintrin.h>
#endif

namespace zent_disparity
{

void integral_row_portable(int32_t *__restrict row, const int32_t *__restrict above, long n)
{
    int32_t run = 0;
    for (long i = 0; i < n; ++i) {
        run += row[i];
        row[i] = run + above[i];
    }
}

void prefix_row_portable(int32_t *row, long n)
{
    int32_t run = 0;
    for (long i = 0; i < n; ++i) {
        run += row[i];
        row[i] = run;
    }
}

int32_t integral_row_doubled_portable(int32_t *__restrict out, const uint16_t *__restrict half,
                                      const int32_t *__restrict above, long n, int32_t run)
{
    for (long i = 0; i < n; ++i) {
        run += 2 * int32_t(half[i]);
        out[i] = run + above[i];
    }
    return run;
}

#if ZENT_DISPARITY_SSE2
namespace
{

// Two in-register prefix sums of four lanes each, the second lifted by the first's total.
template <bool WithAbove>
void scan_sse2(int32_t *__restrict row, const int32_t *__restrict above, long n)
{
    __m128i carry = _mm_setzero_si128();
    long i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + i + 4));
        a = _mm_add_epi32(a, _mm_slli_si128(a, 4));
        b = _mm_add_epi32(b, _mm_slli_si128(b, 4));
        a = _mm_add_epi32(a, _mm_slli_si128(a, 8));
        b = _mm_add_epi32(b, _mm_slli_si128(b, 8));
        b = _mm_add_epi32(b, _mm_shuffle_epi32(a, _MM_SHUFFLE(3, 3, 3, 3)));
        a = _mm_add_epi32(a, carry);
        b = _mm_add_epi32(b, carry);
        carry = _mm_shuffle_epi32(b, _MM_SHUFFLE(3, 3, 3, 3));
        if constexpr (WithAbove) {
            a = _mm_add_epi32(a, _mm_loadu_si128(reinterpret_cast<const __m128i *>(above + i)));
            b = _mm_add_epi32(b, _mm_loadu_si128(reinterpret_cast<const __m128i *>(above + i + 4)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + i + 4), b);
    }
    int32_t run = _mm_cvtsi128_si32(carry);
    for (; i < n; ++i) {
        run += row[i];
        if constexpr (WithAbove)
            row[i] = run + above[i];
        else
            row[i] = run;
    }
}

} // namespace

int32_t integral_row_doubled_sse2(int32_t *__restrict out, const uint16_t *__restrict half,
                                  const int32_t *__restrict above, long n, int32_t run)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i carry = _mm_set1_epi32(run);
    long i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i *>(half + i));
        __m128i a = _mm_slli_epi32(_mm_unpacklo_epi16(h, zero), 1);
        __m128i b = _mm_slli_epi32(_mm_unpackhi_epi16(h, zero), 1);
        a = _mm_add_epi32(a, _mm_slli_si128(a, 4));
        b = _mm_add_epi32(b, _mm_slli_si128(b, 4));
        a = _mm_add_epi32(a, _mm_slli_si128(a, 8));
        b = _mm_add_epi32(b, _mm_slli_si128(b, 8));
        b = _mm_add_epi32(b, _mm_shuffle_epi32(a, _MM_SHUFFLE(3, 3, 3, 3)));
        a = _mm_add_epi32(a, carry);
        b = _mm_add_epi32(b, carry);
        carry = _mm_shuffle_epi32(b, _MM_SHUFFLE(3, 3, 3, 3));
        a = _mm_add_epi32(a, _mm_loadu_si128(reinterpret_cast<const __m128i *>(above + i)));
        b = _mm_add_epi32(b, _mm_loadu_si128(reinterpret_cast<const __m128i *>(above + i + 4)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i + 4), b);
    }
    run = _mm_cvtsi128_si32(carry);
    for (; i < n; ++i) {
        run += 2 * int32_t(half[i]);
        out[i] = run + above[i];
    }
    return run;
}

void integral_row_sse2(int32_t *row, const int32_t *above, long n)
{
    scan_sse2<true>(row, above, n);
}

void prefix_row_sse2(int32_t *row, long n)
{
    scan_sse2<false>(row, nullptr, n);
}
#endif

void integral_row(int32_t *row, const int32_t *above, long n)
{
#if ZENT_DISPARITY_SSE2
    integral_row_sse2(row, above, n);
#else
    integral_row_portable(row, above, n);
#endif
}

int32_t integral_row_doubled(int32_t *out, const uint16_t *half, const int32_t *above, long n,
                             int32_t run)
{
#if ZENT_DISPARITY_SSE2
    return integral_row_doubled_sse2(out, half, above, n, run);
#else
    return integral_row_doubled_portable(out, half, above, n, run);
#endif
}

void prefix_row(int32_t *row, long n)
{
#if ZENT_DISPARITY_SSE2
    prefix_row_sse2(row, n);
#else
    prefix_row_portable(row, n);
#endif
}

} // namespace zent_disparity
