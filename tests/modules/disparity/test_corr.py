"""Correlation matcher and its row search against the plain-Python renderings, plus the
constructed cases: scaling, the left-right check, rows left at 0, ties, empty ranges."""
import pytest

import disparity_ref as ref
from conftest import filled


def corr(mod, L, R, w, h, dmin, dmax, win, prefill=0xC3):
    ffi, lib = mod.ffi, mod.lib
    out = filled(ffi, bytes([prefill]) * (w * h), "unsigned char")
    assert lib.corr_disp(out, bytes(L), bytes(R), w, h, dmin, dmax, win) == 0
    return list(out)


def shifted(rng, w, h, shift):
    L = [rng.randrange(256) for _ in range(w * h)]
    R = [L[y * w + x + shift] if 0 <= x + shift < w else rng.randrange(256)
         for y in range(h) for x in range(w)]
    return L, R


@pytest.mark.parametrize("w,h", [(3, 2), (3, 5), (4, 4), (7, 6), (12, 9), (17, 8), (25, 12),
                                 (32, 10)])
def test_correlation_matches_reference(mod, rng, w, h):
    for trial in range(6):
        dmin = rng.randint(-4, 3)
        dmax = dmin + rng.choice([-2, 0, 1, 3, 7, 12])
        win = rng.choice([1, 2, 3, 4, 5, 7, h, h + 1])
        if rng.random() < 0.5:
            L, R = shifted(rng, w, h, rng.randint(0, max(0, min(dmax, w - 1))))
        else:
            L = [rng.randrange(256) for _ in range(w * h)]
            R = [rng.randrange(256) for _ in range(w * h)]
        got = corr(mod, L, R, w, h, dmin, dmax, win)
        assert got == ref.correlation(L, R, w, h, dmin, dmax, win), (trial, dmin, dmax, win)


def test_wide_disparity_ranges_beyond_the_image(mod, rng):
    w, h = 9, 7
    L, R = shifted(rng, w, h, 2)
    for dmin, dmax in [(-20, 20), (-30, -10), (10, 25), (-12, 1)]:
        got = corr(mod, L, R, w, h, dmin, dmax, 3)
        assert got == ref.correlation(L, R, w, h, dmin, dmax, 3), (dmin, dmax)


def test_consistent_disparity_is_scaled(mod, rng):
    # dmin 0, dmax 15: steps of 17, so disparity 4 writes 68.
    w, h, win = 48, 20, 5
    L, R = shifted(rng, w, h, 4)
    got = corr(mod, L, R, w, h, 0, 15, win)
    assert got == ref.correlation(L, R, w, h, 0, 15, win)
    interior = [got[y * w + x] for y in range(h - win) for x in range(8, w - 8)]
    assert interior.count(68) > 0.9 * len(interior)
    assert set(got[(h - win) * w:]) == {0}  # the last win rows stay 0


def test_steps_of_the_scale(mod, rng):
    # dmax - dmin = 7: steps of 36; disparity 3 over dmin -2 writes 5 * 36.
    w, h = 40, 14
    L, R = shifted(rng, w, h, 3)
    got = corr(mod, L, R, w, h, -2, 5, 3)
    assert got == ref.correlation(L, R, w, h, -2, 5, 3)
    assert 180 in got


def test_empty_and_degenerate_ranges_give_zero(mod, rng):
    w, h = 11, 9
    L, R = shifted(rng, w, h, 1)
    assert corr(mod, L, R, w, h, 3, 2, 3) == [0] * (w * h)      # dmax < dmin
    assert corr(mod, L, R, w, h, 2, 2, 3) == [0] * (w * h)      # every match is dmin
    assert corr(mod, L, R, w, h, 0, 4, h) == [0] * (w * h)      # no row has a window
    assert corr(mod, L, R, w, h, 0, 4, h + 3) == [0] * (w * h)
    assert corr(mod, L, R, w, h, 0, 4, -1) == [0] * (w * h)    # nothing outside the images


def test_equal_costs_keep_the_smaller_disparity(mod):
    # A pattern of period 3 matches at 3 and at 6 equally: 3 wins, (3 - 1) * 42 = 84.
    w, h = 30, 10
    pattern = [10, 200, 90]
    L = [pattern[(x + y) % 3] for y in range(h) for x in range(w)]
    got = corr(mod, L, L, w, h, 1, 7, 3)
    assert got == ref.correlation(L, L, w, h, 1, 7, 3)
    interior = {got[y * w + x] for y in range(h - 3) for x in range(8, w - 2)}
    assert interior == {84}


def test_inconsistent_partner_is_zero(mod):
    # Left columns that all prefer the same right pixel: only its own choice survives.
    w, h = 12, 6
    L = [0] * (w * h)
    R = [0] * (w * h)
    for y in range(h):
        L[y * w + 6] = 200
        R[y * w + 4] = 200
    got = corr(mod, L, R, w, h, 0, 4, 2)
    assert got == ref.correlation(L, R, w, h, 0, 4, 2)


def row_search(extra, Lg, Rg, w, h, row, win, dmin, dmax):
    ffi, lib = extra
    flatL = ffi.new("int32_t[]", [v for r in Lg for v in r])
    flatR = ffi.new("int32_t[]", [v for r in Rg for v in r])
    li = ffi.new("IntImage *", {"width": w, "height": h, "data": flatL})
    ri = ffi.new("IntImage *", {"width": w, "height": h, "data": flatR})
    bestL = ffi.new("int[]", [-7] * w)
    bestR = ffi.new("int[]", [-7] * w)
    assert lib.FindRowDisp(bestL, bestR, li, ri, row, win, dmin, dmax) == 0
    return list(bestL), list(bestR)


def test_row_search_matches_reference(extra, rng):
    # Includes the fill-value winners: columns without a full window keep the first disparity.
    for w, h in [(3, 3), (8, 5), (15, 9), (21, 7)]:
        for trial in range(5):
            L = [rng.randrange(256) for _ in range(w * h)]
            R = [rng.randrange(256) for _ in range(w * h)]
            Lg, Rg = ref.gradient(L, w, h), ref.gradient(R, w, h)
            win = rng.randint(1, h - 1)
            row = rng.randint(0, h - 1 - win)
            dmin = rng.randint(-w - 2, 3)
            dmax = dmin + rng.choice([-1, 0, 2, 5, w + 4])
            got = row_search(extra, Lg, Rg, w, h, row, win, dmin, dmax)
            assert got == ref.find_row(Lg, Rg, w, row, win, dmin, dmax), (w, h, trial)


def test_row_search_without_disparities_marks_no_candidate(extra):
    w, h = 6, 4
    grad = [[x - y for x in range(w)] for y in range(h)]
    bestL, bestR = row_search(extra, grad, grad, w, h, 0, 2, 5, 4)
    assert bestL == [ref.INT_MAX] * w and bestR == [ref.INT_MAX] * w


@pytest.mark.parametrize("win", [-1, -2, -3, -9])
def test_row_search_with_a_negative_window_matches_nothing(extra, win):
    # Such a window reaches no rows; its column bounds would fall outside the row.
    w, h = 8, 6
    grad = [[(x * 5 + y * 3) % 11 - 5 for x in range(w)] for y in range(h)]
    bestL, bestR = row_search(extra, grad, grad, w, h, 0, win, -2, 3)
    assert bestL == [ref.INT_MAX] * w and bestR == [ref.INT_MAX] * w
