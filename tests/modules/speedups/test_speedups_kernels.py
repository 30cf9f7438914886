"""Every kernel of pixelor._speedups against a plain rendering of its algorithm, on random
images of many sizes, extreme values and the boundaries where a fast path could slip."""
import math

import numpy as np
import pytest

from speedups_support import SIZES, ffi, lib, ptr

IDENTITY = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]


# ---- references -------------------------------------------------------------------------

def ref_grey(rgb):
    return (rgb.reshape(-1, 3).astype(np.int64).sum(axis=1) // 3).astype(np.uint8)


def ref_projxy(x, y, h):
    w = (x * h[6] + y * h[7]) + h[8]
    with np.errstate(divide="ignore", invalid="ignore"):
        return ((x * h[0] + y * h[1]) + h[2]) / w, ((x * h[3] + y * h[4]) + h[5]) / w


def ref_bilin(img, width, x, y, channel):
    """One sample, term by term; a neighbour whose weight is 0 is never looked up."""
    ix, iy = int(x), int(y)
    fx, fy = x - ix, y - iy
    ux, uy = 1 - fx, 1 - fy

    def term(weight, px, py):
        if weight == 0:
            return 0.0
        return weight * float(img[(py * width + px) * 3 + channel])

    s = term(ux * uy, ix, iy) + term(fy * ux, ix, iy + 1)
    s = s + term(fx * uy, ix + 1, iy)
    s = s + term(fx * fy, ix + 1, iy + 1)
    return int(s) & 0xFF


def ref_project(dst, dw, src, sw, sh, h, x0, x1, y0, y1):
    """The warp over numpy arrays: the same double operations, in the same order."""
    out = dst.copy().reshape(-1, 3)
    if x0 >= x1 or y0 >= y1:
        return out.ravel()
    ys, xs = np.meshgrid(np.arange(y0, y1, dtype=np.float64),
                         np.arange(x0, x1, dtype=np.float64), indexing="ij")
    sx, sy = ref_projxy(xs, ys, h)
    inside = (sx >= 0) & (sx <= sw - 1) & (sy >= 0) & (sy <= sh - 1)
    sx, sy = sx[inside], sy[inside]
    ix, iy = sx.astype(np.int64), sy.astype(np.int64)
    fx, fy = sx - ix, sy - iy
    ux, uy = 1 - fx, 1 - fy
    s = src.reshape(-1, 3).astype(np.float64)

    def term(weight, px, py):
        idx = np.where(weight != 0, py * sw + px, 0)
        return np.where(weight[:, None] != 0, weight[:, None] * s[idx], 0.0)

    acc = term(ux * uy, ix, iy) + term(fy * ux, ix, iy + 1)
    acc = acc + term(fx * uy, ix + 1, iy)
    acc = acc + term(fx * fy, ix + 1, iy + 1)
    rows = (ys[inside].astype(np.int64) * dw + xs[inside].astype(np.int64))
    out[rows] = (acc.astype(np.uint64) & 0xFF).astype(np.uint8)
    return out.ravel()


# ---- rgb_to_grey ------------------------------------------------------------------------

@pytest.mark.parametrize("n", [1, 2, 3, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 257, 4099,
                               19200])
def test_grey_matches_mean_of_channels(n, guarded):
    rng = np.random.default_rng(n)
    rgb = rng.integers(0, 256, size=3 * n, dtype=np.uint8)
    src = guarded(rgb)
    out = np.full(n + 1, 0xAB, dtype=np.uint8)
    lib.rgb_to_grey(ptr(out), src.ptr, n)
    assert np.array_equal(out[:n], ref_grey(rgb))
    assert out[n] == 0xAB


def test_grey_extremes_and_rounding_down():
    # Every sum of three bytes, the ones just below a multiple of three in particular.
    sums = np.arange(766)
    rgb = np.stack([np.minimum(sums, 255), np.clip(sums - 255, 0, 255),
                    np.clip(sums - 510, 0, 255)], axis=1).astype(np.uint8)
    out = np.zeros(766, dtype=np.uint8)
    lib.rgb_to_grey(ptr(out), ptr(rgb.ravel().copy()), 766)
    assert np.array_equal(out, (sums // 3).astype(np.uint8))
    out3 = ffi.new("unsigned char[3]")
    lib.rgb_to_grey(out3, [255, 255, 254, 1, 1, 0, 2, 2, 2], 3)
    assert list(out3) == [254, 0, 2]


@pytest.mark.parametrize("n", [0, -1, -2 ** 31])
def test_grey_nonpositive_count_writes_nothing(n):
    out = ffi.new("unsigned char[4]", [1, 2, 3, 4])
    lib.rgb_to_grey(out, ffi.new("unsigned char[12]", [9] * 12), n)
    assert list(out) == [1, 2, 3, 4]


# ---- uint8_transpose --------------------------------------------------------------------

@pytest.mark.parametrize("width,height", SIZES + [(8, 16), (16, 8), (23, 64), (640, 9)])
def test_transpose_matches_reference(width, height, guarded):
    rng = np.random.default_rng(width * 1000 + height)
    src = rng.integers(0, 256, size=(height, width), dtype=np.uint8)
    g = guarded(src)
    dst = np.full(width * height + 1, 0x5A, dtype=np.uint8)
    lib.uint8_transpose(ptr(dst), g.ptr, width, height)
    assert np.array_equal(dst[:-1].reshape(width, height), src.T)
    assert dst[-1] == 0x5A


def test_transpose_example_and_extremes():
    dst = ffi.new("unsigned char[6]")
    lib.uint8_transpose(dst, [1, 2, 3, 4, 5, 6], 3, 2)
    assert list(dst) == [1, 4, 2, 5, 3, 6]
    # 0 and 255 next to each other survive the block shuffles unchanged.
    src = np.indices((16, 16)).sum(axis=0).astype(np.uint8) % 2 * 255
    src[3, 5] = 0
    src[5, 3] = 1
    dst = np.zeros(256, dtype=np.uint8)
    lib.uint8_transpose(ptr(dst), ptr(src.ravel().copy()), 16, 16)
    assert np.array_equal(dst.reshape(16, 16), src.T)


@pytest.mark.parametrize("width,height", [(0, 4), (4, 0), (-3, 4), (4, -3), (0, 0)])
def test_transpose_empty_writes_nothing(width, height):
    dst = ffi.new("unsigned char[16]", [7] * 16)
    lib.uint8_transpose(dst, ffi.new("unsigned char[16]"), width, height)
    assert list(dst) == [7] * 16


# ---- projxy -----------------------------------------------------------------------------

def call_projxy(x, y, h):
    rx, ry = ffi.new("double *"), ffi.new("double *")
    lib.projxy(rx, ry, x, y, ffi.new("double[9]", list(h)))
    return rx[0], ry[0]


def same_double(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def test_projxy_matches_reference_bit_for_bit():
    rng = np.random.default_rng(5)
    for _ in range(2000):
        h = rng.normal(size=9) * rng.choice([1e-3, 1.0, 1e3], size=9)
        x, y = rng.uniform(-1000, 1000, size=2)
        got = call_projxy(float(x), float(y), h)
        want = ref_projxy(float(x), float(y), [float(v) for v in h])
        assert same_double(got[0], want[0]) and same_double(got[1], want[1])


def test_projxy_identity_halving_and_zero_w():
    assert call_projxy(3.25, -7.5, IDENTITY) == (3.25, -7.5)
    assert call_projxy(3.0, 5.0, IDENTITY[:8] + [2.0]) == (1.5, 2.5)
    rx, ry = call_projxy(1.0, 2.0, [1, 0, 0, 0, 1, 0, 0, 0, 0])
    assert rx == math.inf and ry == math.inf
    rx, ry = call_projxy(0.0, 0.0, [1, 0, 0, 0, 1, 0, 0, 0, 0])
    assert math.isnan(rx) and math.isnan(ry)


# ---- bilin ------------------------------------------------------------------------------

@pytest.mark.parametrize("width,height", [(1, 1), (2, 1), (1, 2), (3, 5), (17, 9)])
def test_bilin_matches_reference_everywhere(width, height, guarded):
    rng = np.random.default_rng(width * 31 + height)
    img = rng.integers(0, 256, size=width * height * 3, dtype=np.uint8)
    g = guarded(img)
    xs = list(rng.uniform(0, width - 1, size=40)) + list(range(width))
    ys = list(rng.uniform(0, height - 1, size=40)) + list(range(height))
    for x in xs:
        for y in ys[::7] + [height - 1]:
            for c in range(3):
                assert lib.bilin(g.ptr, width, float(x), float(y), c) == \
                    ref_bilin(img, width, float(x), float(y), c)


def test_bilin_exact_points_halfway_and_truncation():
    img = ffi.new("unsigned char[]", [10, 0, 255, 11, 255, 0])
    assert lib.bilin(img, 2, 0.0, 0.0, 0) == 10
    assert lib.bilin(img, 2, 1.0, 0.0, 0) == 11
    assert lib.bilin(img, 2, 0.5, 0.0, 0) == 10      # 10.5 truncates
    assert lib.bilin(img, 2, 0.5, 0.0, 1) == 127     # 127.5
    assert lib.bilin(img, 2, 0.999, 0.0, 2) == 0     # 0.255
    # Equal samples whose weights do not sum to exactly 1 may land just below the level.
    flat = np.full(2 * 2 * 3, 255, dtype=np.uint8)
    for x, y in [(0.1, 0.7), (0.3, 0.3), (0.7, 0.9)]:
        assert lib.bilin(ptr(flat), 2, x, y, 0) == ref_bilin(flat, 2, x, y, 0)


def test_bilin_on_last_column_and_row_reads_nothing_beyond(guarded):
    width, height = 5, 4
    rng = np.random.default_rng(2)
    img = rng.integers(0, 256, size=width * height * 3, dtype=np.uint8)
    g = guarded(img)  # the byte after the image is an inaccessible page
    for c in range(3):
        assert lib.bilin(g.ptr, width, 4.0, 3.0, c) == img[(3 * width + 4) * 3 + c]
        assert lib.bilin(g.ptr, width, 4.0, 2.5, c) == ref_bilin(img, width, 4.0, 2.5, c)
        assert lib.bilin(g.ptr, width, 2.25, 3.0, c) == ref_bilin(img, width, 2.25, 3.0, c)


# ---- project_rgbimage_onto --------------------------------------------------------------

def run_project(dst, dw, dh, src, sw, sh, h, x0, x1, y0, y1, guarded):
    g = guarded(src)
    out = dst.copy()
    lib.project_rgbimage_onto(dw, dh, ptr(out), sw, sh, g.ptr, ffi.new("double[9]", list(h)),
                              x0, x1, y0, y1)
    return out


def random_homography(rng, dw, dh, sw, sh):
    """Destination -> source maps that cover the source partly: shifts, scales, rotation
    and perspective, so that pixels fall inside, outside and on the border."""
    a = rng.uniform(-0.5, 0.5)
    s = rng.uniform(0.5, 1.6)
    h = np.array([s * math.cos(a), -s * math.sin(a), rng.uniform(-sw / 3, sw / 3),
                  s * math.sin(a), s * math.cos(a), rng.uniform(-sh / 3, sh / 3),
                  rng.uniform(-2e-3, 2e-3), rng.uniform(-2e-3, 2e-3), 1.0])
    return [float(v) for v in h]


@pytest.mark.parametrize("sw,sh", [(1, 1), (2, 3), (7, 5), (16, 16), (33, 17), (160, 120)])
@pytest.mark.parametrize("dw,dh", [(1, 1), (9, 7), (40, 30), (300, 3)])
def test_project_matches_reference(sw, sh, dw, dh, guarded):
    rng = np.random.default_rng(sw * 7 + sh * 13 + dw * 17 + dh)
    for _ in range(3):
        src = rng.integers(0, 256, size=sw * sh * 3, dtype=np.uint8)
        src[:3] = 255
        src[-3:] = 0
        dst = rng.integers(0, 256, size=dw * dh * 3, dtype=np.uint8)
        h = random_homography(rng, dw, dh, sw, sh)
        x0, x1 = sorted(rng.integers(0, dw + 1, size=2))
        y0, y1 = sorted(rng.integers(0, dh + 1, size=2))
        if rng.random() < 0.5:
            x0, x1, y0, y1 = 0, dw, 0, dh
        got = run_project(dst, dw, dh, src, sw, sh, h, int(x0), int(x1), int(y0), int(y1),
                          guarded)
        want = ref_project(dst, dw, src, sw, sh, h, int(x0), int(x1), int(y0), int(y1))
        assert np.array_equal(got, want)


def test_project_identity_copies_and_leaves_outside_untouched(guarded):
    sw, sh, dw, dh = 5, 4, 8, 6
    rng = np.random.default_rng(9)
    src = rng.integers(0, 256, size=sw * sh * 3, dtype=np.uint8)
    dst = np.full(dw * dh * 3, 77, dtype=np.uint8)
    got = run_project(dst, dw, dh, src, sw, sh, IDENTITY, 0, dw, 0, dh, guarded).reshape(dh, dw, 3)
    assert np.array_equal(got[:sh, :sw], src.reshape(sh, sw, 3))
    assert (got[sh:, :] == 77).all() and (got[:, sw:] == 77).all()


def test_project_border_and_just_outside(guarded):
    # A shift by -0.001 puts column 0 at -0.001 (kept) and a shift by +0.001 puts the last
    # column just beyond source width - 1 (kept); exactly on the border is sampled.
    sw = sh = 4
    src = np.arange(sw * sh * 3, dtype=np.uint8)
    dst = np.full(sw * sh * 3, 200, dtype=np.uint8)
    left = run_project(dst, sw, sh, src, sw, sh, [1, 0, -0.001, 0, 1, 0, 0, 0, 1],
                       0, sw, 0, sh, guarded).reshape(sh, sw, 3)
    assert (left[:, 0] == 200).all()
    assert (left[:, 1:] != 200).any()
    right = run_project(dst, sw, sh, src, sw, sh, [1, 0, 0.001, 0, 1, 0, 0, 0, 1],
                        0, sw, 0, sh, guarded).reshape(sh, sw, 3)
    assert (right[:, sw - 1] == 200).all()
    exact = run_project(dst, sw, sh, src, sw, sh, IDENTITY, 0, sw, 0, sh, guarded)
    assert np.array_equal(exact, src)


def test_project_zero_w_and_nan_leave_pixels(guarded):
    # The third row (1, 0, -2) makes w = 0 in column 2: inf / nan there, sampled elsewhere.
    sw = sh = 6
    rng = np.random.default_rng(4)
    src = rng.integers(0, 256, size=sw * sh * 3, dtype=np.uint8)
    dst = np.full(sw * sh * 3, 33, dtype=np.uint8)
    h = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 1.0, 0.0, -2.0]
    got = run_project(dst, sw, sh, src, sw, sh, h, 0, sw, 0, sh, guarded)
    want = ref_project(dst, sw, src, sw, sh, h, 0, sw, 0, sh)
    assert np.array_equal(got, want)
    assert (got.reshape(sh, sw, 3)[:, 2] == 33).all()


def test_project_empty_rectangles_touch_nothing(guarded):
    src = np.full(27, 9, dtype=np.uint8)
    dst = np.full(27, 1, dtype=np.uint8)
    for rect in [(0, 0, 0, 3), (0, 3, 2, 2), (3, 0, 0, 3), (0, 3, 3, 1)]:
        got = run_project(dst, 3, 3, src, 3, 3, IDENTITY, *rect, guarded=guarded)
        assert (got == 1).all()


def test_project_height_parameter_is_not_used(guarded):
    rng = np.random.default_rng(8)
    src = rng.integers(0, 256, size=10 * 10 * 3, dtype=np.uint8)
    dst = np.zeros(10 * 10 * 3, dtype=np.uint8)
    h = [0.8, 0.1, 1.0, -0.1, 0.9, 0.5, 0.0, 0.001, 1.0]
    a = run_project(dst, 10, 10, src, 10, 10, h, 0, 10, 0, 10, guarded)
    b = run_project(dst, 10, -5, src, 10, 10, h, 0, 10, 0, 10, guarded)
    assert np.array_equal(a, b)


@pytest.mark.parametrize("n", [1, 5, 64, 1001])
def test_grey_written_over_its_own_input(n):
    rng = np.random.default_rng(n + 3)
    rgb = rng.integers(0, 256, size=3 * n, dtype=np.uint8)
    want = ref_grey(rgb)
    buf = rgb.copy()
    lib.rgb_to_grey(ptr(buf), ptr(buf), n)
    assert np.array_equal(buf[:n], want)
