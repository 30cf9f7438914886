// Correlation matcher: SAD of horizontal gradients over a win-row window, an inclusive disparity
// search per row and a left-right consistency check, scaled to 0 .. 255.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/export.h"
#include "disparity.h"
#include "row_scan.h"

namespace
{

constexpr int32_t kNone = INT32_MAX;  // no candidate yet
constexpr int32_t kFill = 2139062143; // window cost of a column without a full window

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using Owned = std::unique_ptr<T[], FreeDeleter>;

template <typename T> Owned<T> grab(long count)
{
    if (count < 0)
        return nullptr;
    size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(std::max(count, 1L)), sizeof(T), &bytes))
        return nullptr;
    return Owned<T>(static_cast<T *>(std::malloc(bytes)));
}

// Replaces every row by its horizontal gradient; tmp holds one row.
int row_gradient(IntImage *img, int32_t *__restrict tmp)
{
    const long w = img->width;
    if (w < 3) // no interior column; the image is left as it is
        return 0;
    for (long y = 0; y < img->height; ++y) {
        int32_t *row = img->data + y * w;
        int32_t *__restrict g = tmp;
        for (long x = 1; x < w - 1; ++x)
            g[x] = row[x + 1] - row[x - 1];
        g[0] = g[1];
        g[w - 1] = g[w - 2];
        std::memcpy(row, g, static_cast<size_t>(w) * sizeof(int32_t));
    }
    return 0;
}

// Left columns whose partner x - d exists: [xs, xe).
struct Cols {
    long xs, xe;
};
Cols valid_cols(long w, long d)
{
    return {std::max(0L, d), std::min(w, w + d)};
}

// Window costs A for one disparity from the column costs S over [xs, xe): the fill value
// outside the columns that have a full window of 2 hw + 1 columns. P receives the prefix sums
// of S over [xs, xe) and may be S itself.
void window_costs(const int32_t *S, int32_t *P, int32_t *__restrict A, long w, Cols c, long hw)
{
    for (long x = 0; x < w; ++x)
        A[x] = kFill;
    const long first = c.xs + hw;
    const long last = c.xe - hw - 1;
    if (last < first)
        return;
    if (P != S)
        std::memcpy(P + c.xs, S + c.xs, static_cast<size_t>(c.xe - c.xs) * sizeof(int32_t));
    zent_disparity::prefix_row(P + c.xs, c.xe - c.xs);
    A[first] = P[first + hw]; // the prefix before xs is 0
    const int32_t *__restrict hi = P + hw;
    const int32_t *__restrict lo = P - hw - 1;
    for (long x = first + 1; x <= last; ++x)
        A[x] = hi[x] - lo[x];
}

void left_update(const int32_t *__restrict A, int32_t *__restrict minL, int32_t *__restrict bestL,
                 long from, long to, int32_t d)
{
    for (long x = from; x < to; ++x) {
        const bool take = A[x] < minL[x];
        minL[x] = take ? A[x] : minL[x];
        bestL[x] = take ? d : bestL[x];
    }
}

void right_update(const int32_t *__restrict A, int32_t *__restrict minR, int32_t *__restrict bestR,
                  Cols c, long d)
{
    // Right column x - d; xs - d >= 0 by construction.
    int32_t *__restrict m = minR + (c.xs - d);
    int32_t *__restrict b = bestR + (c.xs - d);
    const int32_t *__restrict a = A + c.xs;
    const int32_t nd = static_cast<int32_t>(-d);
    for (long i = 0; i < c.xe - c.xs; ++i) {
        const bool take = a[i] < m[i];
        m[i] = take ? a[i] : m[i];
        b[i] = take ? nd : b[i];
    }
}

// Left updates after the first disparity can only succeed with a real window cost, so they are
// confined to the window columns; the first disparity reaches every column.
void left_update_for(const int32_t *A, int32_t *minL, int32_t *bestL, long w, Cols c, long hw,
                     long d, long dmin)
{
    if (d == dmin)
        left_update(A, minL, bestL, 0, w, static_cast<int32_t>(d));
    else
        left_update(A, minL, bestL, std::max(0L, c.xs + hw), std::min(w, c.xe - hw),
                    static_cast<int32_t>(d));
}

// The disparities that can touch any column: beyond +-(w - 1) no partner exists.
struct DispRange {
    long lo, hi;
};
DispRange live_disparities(long w, long dmin, long dmax)
{
    return {std::max(dmin, -(w - 1)), std::min(dmax, w - 1)};
}

// s[x] += |l(x, y) - r(x - d, y)| over the valid columns of one image row y.
void add_row(int32_t *__restrict s, const int32_t *lg, const int32_t *rg, long w, long y, long d,
             Cols c)
{
    const int32_t *__restrict l = lg + y * w + c.xs;
    const int32_t *__restrict r = rg + y * w + (c.xs - d);
    int32_t *__restrict o = s + c.xs;
    for (long i = 0; i < c.xe - c.xs; ++i)
        o[i] += std::abs(l[i] - r[i]);
}

void slide_row(int32_t *__restrict s, const int32_t *lg, const int32_t *rg, long w, long y_in,
               long y_out, long d, Cols c)
{
    const int32_t *__restrict la = lg + y_in * w + c.xs;
    const int32_t *__restrict ra = rg + y_in * w + (c.xs - d);
    const int32_t *__restrict lr = lg + y_out * w + c.xs;
    const int32_t *__restrict rr = rg + y_out * w + (c.xs - d);
    int32_t *__restrict o = s + c.xs;
    for (long i = 0; i < c.xe - c.xs; ++i)
        o[i] += std::abs(la[i] - ra[i]) - std::abs(lr[i] - rr[i]);
}

void reset_row(int32_t *a, long w)
{
    for (long x = 0; x < w; ++x)
        a[x] = kNone;
}

} // namespace

extern "C" {

ZENT_EXPORT int FindRowDisp(int *bestL, int *bestR, IntImage *left, IntImage *right, int row,
                            int win, int dmin, int dmax)
{
    const long w = left->width;
    reset_row(bestL, w);
    reset_row(bestR, w);
    // A negative window reaches no rows and would put its columns outside the row: nothing is
    // matched, as in corr_disp.
    if (dmax < dmin || win < 0)
        return 0;
    Owned<int32_t> minL = grab<int32_t>(w), minR = grab<int32_t>(w);
    Owned<int32_t> S = grab<int32_t>(w), A = grab<int32_t>(w);
    if (!minL || !minR || !S || !A)
        return -1;
    reset_row(minL.get(), w);
    reset_row(minR.get(), w);
    const long hw = win / 2;
    const DispRange live = live_disparities(w, dmin, dmax);
    if (dmin < live.lo || dmin > live.hi) {
        // The first disparity finds no partner anywhere: every column keeps it at fill cost.
        window_costs(S.get(), S.get(), A.get(), w, Cols{0, 0}, hw);
        left_update(A.get(), minL.get(), bestL, 0, w, dmin);
    }
    for (long d = live.lo; d <= live.hi; ++d) {
        const Cols c = valid_cols(w, d);
        int32_t *__restrict s = S.get();
        for (long x = c.xs; x < c.xe; ++x)
            s[x] = 0;
        for (long y = row + 1L; y <= long(row) + win; ++y)
            add_row(s, left->data, right->data, w, y, d, c);
        window_costs(s, s, A.get(), w, c, hw);
        left_update_for(A.get(), minL.get(), bestL, w, c, hw, d, dmin);
        right_update(A.get(), minR.get(), bestR, c, d);
    }
    return 0;
}

ZENT_EXPORT int corr_disp(unsigned char *out, unsigned char *left, unsigned char *right, int width,
                          int height, int dmin, int dmax, int win)
{
    const long w = width;
    const long h = height;
    const long plane = w * h;
    const long hw = win / 2;
    const DispRange live = live_disparities(w, dmin, dmax);
    const long nlive = dmax < dmin ? 0 : std::max(0L, live.hi - live.lo + 1);

    // Everything is obtained before the output is touched, so a shortage leaves it as it was.
    Owned<int32_t> lg = grab<int32_t>(plane), rg = grab<int32_t>(plane);
    Owned<int32_t> bestL = grab<int32_t>(w), bestR = grab<int32_t>(w);
    Owned<int32_t> minL = grab<int32_t>(w), minR = grab<int32_t>(w), A = grab<int32_t>(w);
    Owned<int32_t> P = grab<int32_t>(w);
    Owned<int32_t> colsum = grab<int32_t>(nlive * w); // one running column-cost row per disparity
    if (!lg || !rg || !bestL || !bestR || !minL || !minR || !A || !P || !colsum)
        return 0;

    for (long i = 0; i < plane; ++i) {
        lg[i] = left[i];
        rg[i] = right[i];
    }
    IntImage li{width, height, lg.get()};
    IntImage ri{width, height, rg.get()};
    row_gradient(&li, A.get());
    row_gradient(&ri, A.get());
    std::memset(out, 0, static_cast<size_t>(std::max(plane, 0L)));
    // A negative window would reach rows outside both images; nothing is matched then.
    const long rows = win < 0 ? 0 : h - win;
    const long scale = dmax > dmin ? 255L / (long(dmax) - dmin) : 0;

    for (long k = 0; k < rows; ++k) {
        reset_row(bestL.get(), w);
        reset_row(bestR.get(), w);
        if (dmax >= dmin) {
            reset_row(minL.get(), w);
            reset_row(minR.get(), w);
            if (dmin < live.lo || dmin > live.hi) {
                window_costs(colsum.get(), P.get(), A.get(), w, Cols{0, 0}, hw);
                left_update(A.get(), minL.get(), bestL.get(), 0, w, dmin);
            }
            for (long d = live.lo; d <= live.hi; ++d) {
                const Cols c = valid_cols(w, d);
                int32_t *__restrict s = colsum.get() + (d - live.lo) * w;
                if (k == 0) {
                    for (long x = c.xs; x < c.xe; ++x)
                        s[x] = 0;
                    for (long y = 1; y <= win; ++y)
                        add_row(s, lg.get(), rg.get(), w, y, d, c);
                } else {
                    // The window slides down one row to rows k+1 .. k+win.
                    slide_row(s, lg.get(), rg.get(), w, k + win, k, d, c);
                }
                window_costs(s, P.get(), A.get(), w, c, hw);
                left_update_for(A.get(), minL.get(), bestL.get(), w, c, hw, d, dmin);
                right_update(A.get(), minR.get(), bestR.get(), c, d);
            }
        }
        unsigned char *o = out + k * w;
        for (long x = 0; x < w; ++x) {
            const long d = bestL[x];
            if (d == kNone || d == dmin)
                continue;
            const long partner = x - d;
            if (partner < 0 || partner >= w || bestR[partner] != -d)
                continue;
            o[x] = static_cast<unsigned char>((d - dmin) * scale);
        }
    }
    return 0;
}

} // extern "C"
