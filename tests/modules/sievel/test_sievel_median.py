"""The median model and its two foreground measures against plain renderings of the
algorithms, with the C library's generator seeded so both sides draw the same numbers."""
import numpy as np
import pytest

from sievel_support import SIZES, ffi, lib, libc, ptr, ref_rand_round


def ref_median_model(model, image, step, quantile):
    down = ref_rand_round((1 - quantile) * step)
    up = ref_rand_round(step * quantile)
    if down == 0 and up == 0:
        return model.copy()
    m = model.astype(np.int64)
    v = image.astype(np.int64)
    m = np.where(v < m, np.clip(m - down, 0, 255), np.where(v > m, np.clip(m + up, 0, 255), m))
    return m.astype(np.uint8)


def fixed_k(k):
    return int(np.float32(k) * np.float32(65536))


def ref_threshold(lower, upper, k):
    spread = upper.astype(np.int64) - lower
    spread = np.where(spread > 0, spread, 1)
    return (spread * fixed_k(k) + 32768) >> 16


def ref_sievel(lower, upper, image, k):
    th = ref_threshold(lower, upper, k)
    lo = lower.astype(np.int64)
    v = image.astype(np.int64)
    return np.where(v > lo + th, np.maximum(v - lo, 0), 0).astype(np.uint8)


def ref_mask(lower, upper, image, k, source):
    th = ref_threshold(lower, upper, k)
    lo = lower.astype(np.int64)
    v = image.astype(np.int64)
    src = image if source is None else source
    return np.where((v > lo + th) | (v < lo - th), src, 0).astype(np.uint8)


def planes(rng, n, count):
    out = []
    for _ in range(count):
        p = rng.integers(0, 256, size=n, dtype=np.uint8)
        p[rng.random(n) < 0.05] = 0
        p[rng.random(n) < 0.05] = 255
        out.append(p)
    return out


# ---- median_model -----------------------------------------------------------------------

@pytest.mark.parametrize("width,height", SIZES)
def test_model_follows_reference_over_a_stream(width, height):
    rng = np.random.default_rng(width * 100 + height)
    n = width * height
    model = rng.integers(0, 256, size=n, dtype=np.uint8)
    want = model.copy()
    settings = [(0.3, 0.5), (1.0, 0.5), (2.7, 0.2), (12.0, 0.9), (40.0, 0.5), (3.0, 1.5),
                (5.0, -0.25), (700.0, 0.5), (600.0, 1.7)]
    for frame, (step, q) in enumerate(settings * 2):
        image = planes(rng, n, 1)[0]
        seed = frame * 7919 + n
        libc.srand(seed)
        lib.median_model(ptr(model), ptr(image), width, height, step, q)
        after = libc.rand()
        libc.srand(seed)
        want = ref_median_model(want, image, step, q)
        assert np.array_equal(model, want), (step, q)
        # Exactly two draws per call.
        assert libc.rand() == after


def test_model_small_step_moves_only_on_a_lucky_draw():
    # step 0.3 and quantile 0.5: each step is 1 with probability 0.15.
    seen = set()
    image = np.array([0, 255, 7], dtype=np.uint8)
    for seed in range(1, 400):
        libc.srand(seed)
        down = ref_rand_round((1 - 0.5) * 0.3)
        up = ref_rand_round(0.3 * 0.5)
        model = np.array([100, 100, 7], dtype=np.uint8)
        libc.srand(seed)
        lib.median_model(ptr(model), ptr(image), 3, 1, 0.3, 0.5)
        assert list(model) == [100 - down, 100 + up, 7]
        seen.add((down, up))
    assert seen == {(0, 0), (0, 1), (1, 0), (1, 1)}


def test_model_saturates_at_both_ends():
    # step 20, quantile 0.5: both steps are exactly 10, whatever the draws.
    model = np.array([250, 3, 128, 255, 0, 245, 10], dtype=np.uint8)
    image = np.array([255, 0, 128, 255, 0, 255, 0], dtype=np.uint8)
    lib.median_model(ptr(model), ptr(image), 7, 1, 20.0, 0.5)
    assert list(model) == [255, 0, 128, 255, 0, 255, 0]
    # Steps far beyond the level range, and reversed directions past 0 and 255.
    model = np.array([1, 254, 128, 128], dtype=np.uint8)
    lib.median_model(ptr(model), ptr(np.array([0, 255, 0, 255], dtype=np.uint8)), 2, 2,
                     1000.0, 0.5)
    assert list(model) == [0, 255, 0, 255]
    # Steps that no longer fit 16 bits must not wrap into small or reversed moves.
    for step in (70000.0, 131072.0 + 20, 4.0e9):
        model = np.array([1, 254, 128, 128], dtype=np.uint8)
        lib.median_model(ptr(model), ptr(np.array([0, 255, 0, 255], dtype=np.uint8)), 2, 2,
                         step, 0.5)
        assert list(model) == [0, 255, 0, 255], step
    # Steps beyond the int range still move towards the image (down and up saturate), and
    # a step that is not a number moves nothing.
    for step, q, want in [(1e10, 0.5, [0, 255, 0, 255]), (1e12, 0.5, [0, 255, 0, 255]),
                          (1e10, 1.5, [255, 255, 255, 255]), (1e10, -0.5, [0, 0, 0, 0]),
                          (float("inf"), 0.5, [0, 255, 0, 255]),
                          (float("nan"), 0.5, [1, 254, 128, 128])]:
        model = np.array([1, 254, 128, 128], dtype=np.uint8)
        lib.median_model(ptr(model), ptr(np.array([0, 255, 0, 255], dtype=np.uint8)), 2, 2,
                         step, q)
        assert list(model) == want, (step, q)
    model = np.array([254, 1, 200], dtype=np.uint8)
    # quantile 1.5, step 4: down = -2 (darker pixels rise), up = 6.
    lib.median_model(ptr(model), ptr(np.array([0, 9, 0], dtype=np.uint8)), 3, 1, 4.0, 1.5)
    assert list(model) == [255, 7, 202]
    model = np.array([5, 250], dtype=np.uint8)
    # quantile -0.5, step 4: down = 6, up = -2 (brighter pixels sink).
    lib.median_model(ptr(model), ptr(np.array([0, 255], dtype=np.uint8)), 2, 1, 4.0, -0.5)
    assert list(model) == [0, 248]
    model = np.array([1, 254], dtype=np.uint8)
    lib.median_model(ptr(model), ptr(np.array([255, 0], dtype=np.uint8)), 2, 1, 800.0, -0.5)
    assert list(model) == [0, 0]
    model = np.array([1, 254], dtype=np.uint8)
    lib.median_model(ptr(model), ptr(np.array([0, 255], dtype=np.uint8)), 2, 1, 800.0, 1.5)
    assert list(model) == [255, 255]


@pytest.mark.parametrize("width,height", [(0, 5), (5, 0), (-2, 3), (3, -2)])
def test_model_empty_image_touches_nothing(width, height):
    model = ffi.new("uint8_t[6]", [9] * 6)
    lib.median_model(model, ffi.new("uint8_t[6]", [200] * 6), width, height, 20.0, 0.5)
    assert list(model) == [9] * 6


def test_model_reads_and_writes_only_its_planes(guarded):
    n = 37
    rng = np.random.default_rng(1)
    model = guarded(rng.integers(0, 256, size=n, dtype=np.uint8))
    image = guarded(rng.integers(0, 256, size=n, dtype=np.uint8))
    want = model.array.copy()
    libc.srand(3)
    lib.median_model(model.ptr, image.ptr, n, 1, 30.0, 0.5)
    libc.srand(3)
    assert np.array_equal(model.array, ref_median_model(want, image.array, 30.0, 0.5))


# ---- median_sievel and median_sievel_mask -----------------------------------------------

KS = [0.0, 0.3, 1.0, 1.5, 2.5, 3.999, 0.0000153, -0.3, -2.0, 127.9, 128.1, 200.0, -150.0,
      1e6]


@pytest.mark.parametrize("width,height", SIZES)
def test_sievel_and_mask_match_reference(width, height, guarded):
    rng = np.random.default_rng(width * 37 + height)
    n = width * height
    lower, upper, image, source = planes(rng, n, 4)
    # Realistic pairs too: upper near lower, sometimes below it.
    upper[: n // 2] = np.clip(lower[: n // 2].astype(int) + rng.integers(-3, 20, size=n // 2),
                              0, 255)
    g = [guarded(p) for p in (lower, upper, image, source)]
    for k in KS + list(rng.uniform(-5, 5, size=4)):
        out = np.full(n, 0xCC, dtype=np.uint8)
        lib.median_sievel(ptr(out), g[0].ptr, g[1].ptr, g[2].ptr, width, height, float(k))
        assert np.array_equal(out, ref_sievel(lower, upper, image, k)), k
        lib.median_sievel_mask(ptr(out), g[0].ptr, g[1].ptr, g[2].ptr, width, height, float(k),
                               ffi.NULL)
        assert np.array_equal(out, ref_mask(lower, upper, image, k, None)), k
        lib.median_sievel_mask(ptr(out), g[0].ptr, g[1].ptr, g[2].ptr, width, height, float(k),
                               g[3].ptr)
        assert np.array_equal(out, ref_mask(lower, upper, image, k, source)), k


def test_fixed_point_threshold_boundaries():
    # k = 2.5, spread 10: threshold 25; 26 above passes, 25 above does not.
    lower = np.array([100, 100, 100, 100], dtype=np.uint8)
    upper = np.array([110, 110, 110, 110], dtype=np.uint8)
    image = np.array([126, 125, 75, 74], dtype=np.uint8)
    out = np.zeros(4, dtype=np.uint8)
    lib.median_sievel(ptr(out), ptr(lower), ptr(upper), ptr(image), 2, 2, 2.5)
    assert list(out) == [26, 0, 0, 0]
    lib.median_sievel_mask(ptr(out), ptr(lower), ptr(upper), ptr(image), 2, 2, 2.5, ffi.NULL)
    assert list(out) == [126, 0, 0, 74]
    # k = 0.3: K = 19660 (truncated), spread 5 gives threshold 1, not 2.
    assert fixed_k(0.3) == 19660
    lower = np.array([50, 50], dtype=np.uint8)
    upper = np.array([55, 55], dtype=np.uint8)
    image = np.array([52, 51], dtype=np.uint8)
    lib.median_sievel(ptr(out[:2]), ptr(lower), ptr(upper), ptr(image), 2, 1, 0.3)
    assert list(out[:2]) == [2, 0]
    # Rounded half up: spread 1 and k = 0.5 gives (32768 + 32768) >> 16 = 1, while
    # k = 0.49999 stays at 0.
    lower = np.array([10, 10], dtype=np.uint8)
    image = np.array([11, 11], dtype=np.uint8)
    lib.median_sievel(ptr(out[:2]), ptr(lower), ptr(lower), ptr(image), 2, 1, 0.5)
    assert list(out[:2]) == [0, 0]
    lib.median_sievel(ptr(out[:2]), ptr(lower), ptr(lower), ptr(image), 2, 1, 0.49999)
    assert list(out[:2]) == [1, 1]


def test_upper_at_or_below_lower_counts_as_spread_one():
    lower = np.array([100, 100, 100], dtype=np.uint8)
    upper = np.array([100, 40, 0], dtype=np.uint8)
    image = np.array([103, 104, 97], dtype=np.uint8)
    out = np.zeros(3, dtype=np.uint8)
    # k = 3: threshold (196608 + 32768) >> 16 = 3 for every pixel.
    lib.median_sievel(ptr(out), ptr(lower), ptr(upper), ptr(image), 3, 1, 3.0)
    assert list(out) == [0, 4, 0]
    lib.median_sievel_mask(ptr(out), ptr(lower), ptr(upper), ptr(image), 3, 1, 3.0, ffi.NULL)
    assert list(out) == [0, 104, 0]
    src = np.array([7, 8, 9], dtype=np.uint8)
    image[2] = 96
    lib.median_sievel_mask(ptr(out), ptr(lower), ptr(upper), ptr(image), 3, 1, 3.0, ptr(src))
    assert list(out) == [0, 8, 9]


def test_negative_k_passes_darker_pixels_as_zero():
    lower = np.array([100, 100, 100, 0], dtype=np.uint8)
    upper = np.array([110, 110, 110, 255], dtype=np.uint8)
    image = np.array([90, 100, 120, 0], dtype=np.uint8)
    out = np.full(4, 5, dtype=np.uint8)
    # k = -1: threshold -10 (-255 for the last pixel).
    lib.median_sievel(ptr(out), ptr(lower), ptr(upper), ptr(image), 4, 1, -1.0)
    assert list(out) == [0, 0, 20, 0]
    # Both sides of a negative band hold: every pixel is foreground.
    lib.median_sievel_mask(ptr(out), ptr(lower), ptr(upper), ptr(image), 4, 1, -1.0, ffi.NULL)
    assert list(out) == [90, 100, 120, 0]


@pytest.mark.parametrize("width,height", [(0, 5), (5, 0), (-1, 4), (4, -1)])
def test_measures_on_empty_images_touch_nothing(width, height):
    out = ffi.new("uint8_t[4]", [3] * 4)
    p = ffi.new("uint8_t[4]", [200] * 4)
    z = ffi.new("uint8_t[4]")
    lib.median_sievel(out, z, z, p, width, height, 1.0)
    lib.median_sievel_mask(out, z, z, p, width, height, 1.0, ffi.NULL)
    assert list(out) == [3] * 4


def test_every_spread_and_difference_near_the_limits():
    # All (lower, upper, image) combinations for a few lower levels, with factors just
    # inside and outside the point where the band passes the level range.
    lower = np.repeat(np.array([0, 1, 60, 128, 200, 254, 255], dtype=np.uint8), 65536)
    grid = np.arange(65536)
    upper = np.tile((grid // 256).astype(np.uint8), 7)
    image = np.tile((grid % 256).astype(np.uint8), 7)
    source = image[::-1].copy()
    n = lower.size
    ks = [0.0, 1.0 / 65536, 0.5 / 255, 1.0, 255.5 / 255, 2.0, 256.0 / 3, 256.0 / 127,
          255.99 / 127, 127.99, 128.0, 255.0, 255.99, 256.0, 256.01, 257.0, 300.0, 32767.0,
          32768.0, 1e5, -1.0 / 65536, -0.5, -1.0, -255.5 / 255, -256.0 / 3, -128.0, -255.0,
          -256.0, -256.01, -257.0, -258.0, -1e5, -32768.0]
    out = np.empty(n, dtype=np.uint8)
    for k in ks:
        lib.median_sievel(ptr(out), ptr(lower), ptr(upper), ptr(image), n, 1, k)
        assert np.array_equal(out, ref_sievel(lower, upper, image, k)), k
        lib.median_sievel_mask(ptr(out), ptr(lower), ptr(upper), ptr(image), n, 1, k,
                               ptr(source))
        assert np.array_equal(out, ref_mask(lower, upper, image, k, source)), k


def test_output_may_be_an_input_plane():
    rng = np.random.default_rng(12)
    n = 1000
    lower, upper, image = planes(rng, n, 3)
    want = ref_sievel(lower, upper, image, 1.5)
    inplace = image.copy()
    lib.median_sievel(ptr(inplace), ptr(lower), ptr(upper), ptr(inplace), n, 1, 1.5)
    assert np.array_equal(inplace, want)
    want = ref_mask(lower, upper, image, 0.7, None)
    inplace = image.copy()
    lib.median_sievel_mask(ptr(inplace), ptr(lower), ptr(upper), ptr(inplace), n, 1, 0.7,
                           ffi.NULL)
    assert np.array_equal(inplace, want)
    want = ref_mask(lower, upper, image, 0.7, upper)
    inplace = upper.copy()
    lib.median_sievel_mask(ptr(inplace), ptr(lower), ptr(inplace), ptr(image), n, 1, 0.7,
                           ptr(inplace))
    assert np.array_equal(inplace, want)
