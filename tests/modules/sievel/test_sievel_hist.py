"""The histogram background model and its foreground image against plain renderings of the
algorithms: bin widths, halving at maxcount, the share threshold and the top bin."""
import numpy as np
import pytest

from sievel_support import SIZES, ffi, lib, ptr


def binw(rng_, nbins):
    return rng_ // nbins + 1


def ref_hist_model(hist, image, count, nbins, maxcount, value_range):
    """Pixel by pixel, last to first, exactly as described."""
    hist = hist.copy().reshape(-1, nbins)
    count = count.copy()
    w = binw(value_range, nbins)
    for i in range(image.size - 1, -1, -1):
        count[i] = np.uint32(int(count[i]) + 1)
        b = int(image[i]) // w
        hist[i, b] = np.uint16((int(hist[i, b]) + 1) & 0xFFFF)
        if int(hist[i, b]) == maxcount:
            hist[i] = hist[i] // 2
            count[i] = int(hist[i].astype(np.int64).sum())
    return hist.ravel(), count


def ref_hist_sievel(image, hist, count, nbins, divisor, value_range):
    hist = hist.reshape(-1, nbins)
    w = binw(value_range, nbins)
    out = np.zeros(image.size, dtype=np.uint8)
    bg = np.zeros(image.size, dtype=np.uint8)
    for i in range(image.size - 1, -1, -1):
        b = int(image[i]) // w
        threshold = int(count[i]) // (divisor % 2 ** 32)  # unsigned division
        j, running = nbins - 1, 0
        for k in range(nbins):
            running += int(hist[i, k])
            if running >= threshold:
                j = k
                break
        bg[i] = min(w * (j + 1), 255)
        out[i] = 255 if j < b else 0
    return out, bg


def run_model(hist, image, count, width, height, nbins, maxcount, value_range):
    lib.hist_model(ptr(hist), ptr(image), ptr(count), width, height, nbins, maxcount,
                   value_range)


def run_sievel(image, hist, count, width, height, nbins, divisor, value_range, guarded):
    g_img = guarded(image)
    g_hist = guarded(hist, "uint16_t *")
    g_cnt = guarded(count, "uint32_t *")
    out = np.full(image.size, 0x77, dtype=np.uint8)
    bg = np.full(image.size, 0x77, dtype=np.uint8)
    lib.hist_sievel(ptr(out), g_img.ptr, g_hist.ptr, g_cnt.ptr, width, height, nbins, divisor,
                    value_range, ptr(bg))
    assert np.array_equal(g_hist.array, hist) and np.array_equal(g_cnt.array, count)
    return out, bg


# (nbins, range): every grey level must fall inside the pixel's histogram.
LAYOUTS = [(16, 256), (16, 255), (8, 256), (10, 256), (32, 256), (1, 256), (2, 200), (4, 300),
           (256, 255), (13, 180)]


@pytest.mark.parametrize("width,height", SIZES[:11])
@pytest.mark.parametrize("nbins,value_range", LAYOUTS[:6])
def test_model_and_sievel_follow_reference_over_a_stream(width, height, nbins, value_range,
                                                         guarded):
    rng = np.random.default_rng(width * 1000 + height * 10 + nbins)
    n = width * height
    hist = np.zeros(n * nbins, dtype=np.uint16)
    count = np.zeros(n, dtype=np.uint32)
    want_hist, want_count = hist.copy(), count.copy()
    background = rng.integers(0, 256, size=n)
    for frame in range(12):
        noise = rng.integers(-12, 13, size=n)
        image = np.clip(background + noise, 0, 255).astype(np.uint8)
        image[rng.random(n) < 0.1] = 255
        image[rng.random(n) < 0.1] = 0
        maxcount = 5 if frame < 8 else 7
        run_model(hist, image, count, width, height, nbins, maxcount, value_range)
        want_hist, want_count = ref_hist_model(want_hist, image, want_count, nbins, maxcount,
                                               value_range)
        assert np.array_equal(hist, want_hist) and np.array_equal(count, want_count)
        for divisor in (1, 2, 3, 7):
            got = run_sievel(image, hist, count, width, height, nbins, divisor, value_range,
                             guarded)
            want = ref_hist_sievel(image, hist, count, nbins, divisor, value_range)
            assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])


@pytest.mark.parametrize("nbins,value_range", LAYOUTS)
@pytest.mark.parametrize("divisor", [1, 2, 3, 4, 5, 64, 100, 2 ** 30, 2 ** 31 - 1, -1, -2,
                                     -2 ** 31])
def test_sievel_on_random_histograms(nbins, value_range, divisor, guarded):
    # Arbitrary counters (large ones too) and counts that need not equal their sums.
    rng = np.random.default_rng(nbins * 7 + divisor % 1000)
    width, height = 13, 7
    n = width * height
    hist = rng.integers(0, 65536, size=n * nbins).astype(np.uint16)
    hist[rng.random(n * nbins) < 0.5] = 0
    hist[: nbins] = 65535
    count = rng.integers(0, 2 ** 32, size=n, dtype=np.uint64).astype(np.uint32)
    sums = hist.reshape(n, nbins).astype(np.int64).sum(axis=1)
    pick = rng.random(n) < 0.4
    count[pick] = np.minimum(sums[pick] * divisor // 3, 2 ** 32 - 1)
    image = rng.integers(0, 256, size=n, dtype=np.uint8)
    got = run_sievel(image, hist, count, width, height, nbins, divisor, value_range, guarded)
    want = ref_hist_sievel(image, hist, count, nbins, divisor, value_range)
    assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])


def test_count_below_divisor_puts_background_in_bin_zero():
    hist = np.zeros(3 * 16, dtype=np.uint16)
    hist[16 + 5] = 9   # pixel 1 has history only in bin 5
    count = np.array([0, 2, 2], dtype=np.uint32)
    image = np.array([16, 17, 0], dtype=np.uint8)
    out = np.zeros(3, dtype=np.uint8)
    bg = np.zeros(3, dtype=np.uint8)
    lib.hist_sievel(ptr(out), ptr(image), ptr(hist), ptr(count), 3, 1, 16, 3, 256, ptr(bg))
    assert list(bg) == [17, 17, 17]
    assert list(out) == [0, 255, 0]


def test_divisor_one_takes_the_highest_filled_bin():
    hist = np.zeros(16, dtype=np.uint16)
    hist[[2, 3, 9]] = [4, 1, 2]
    count = np.array([7], dtype=np.uint32)
    out = np.zeros(1, dtype=np.uint8)
    bg = np.zeros(1, dtype=np.uint8)
    for level, fg in [(9 * 17 + 16, 0), (10 * 17, 255), (0, 0)]:
        lib.hist_sievel(ptr(out), ptr(np.array([level], dtype=np.uint8)), ptr(hist),
                        ptr(count), 1, 1, 16, 1, 256, ptr(bg))
        assert bg[0] == 170 and out[0] == fg
    # divisor 2: threshold 3, reached in bin 2 -> background 51.
    lib.hist_sievel(ptr(out), ptr(np.array([51], dtype=np.uint8)), ptr(hist), ptr(count),
                    1, 1, 16, 2, 256, ptr(bg))
    assert bg[0] == 51 and out[0] == 255
    # binw 17, j = 3: background 68.
    hist[:] = 0
    hist[3] = 5
    lib.hist_sievel(ptr(out), ptr(np.array([68], dtype=np.uint8)), ptr(hist), ptr(count),
                    1, 1, 16, 2, 256, ptr(bg))
    assert bg[0] == 68 and out[0] == 255


def test_top_bin_background_is_the_brightest_level_not_a_wrapped_one():
    # binw 17 and j = 15 give 272; binw 16 and j = 15 give 256. Both mean "above 255".
    out = np.zeros(2, dtype=np.uint8)
    bg = np.zeros(2, dtype=np.uint8)
    hist = np.zeros(2 * 16, dtype=np.uint16)
    hist[15] = 3
    hist[16 + 15] = 3
    count = np.array([3, 3], dtype=np.uint32)
    image = np.array([255, 250], dtype=np.uint8)
    for value_range in (256, 255):
        lib.hist_sievel(ptr(out), ptr(image), ptr(hist), ptr(count), 2, 1, 16, 1, value_range,
                        ptr(bg))
        assert list(bg) == [255, 255]
        assert list(out) == [0, 0]
    # Never reached at all (threshold above the sum): also the last bin.
    count[:] = 1000
    lib.hist_sievel(ptr(out), ptr(image), ptr(hist), ptr(count), 2, 1, 16, 1, 256, ptr(bg))
    assert list(bg) == [255, 255]
    # One bin for everything: binw 257.
    lib.hist_sievel(ptr(out), ptr(image), ptr(np.array([3, 3], dtype=np.uint16)), ptr(count),
                    2, 1, 1, 2, 256, ptr(bg))
    assert list(bg) == [255, 255] and list(out) == [0, 0]


def test_model_halves_at_maxcount():
    # 99 observations in bin 4, 3 in bin 0 and 1 in bin 9; the 100th halves at once.
    hist = np.zeros(16, dtype=np.uint16)
    hist[[0, 4, 9]] = [3, 99, 1]
    count = np.array([103], dtype=np.uint32)
    run_model(hist, np.array([4 * 17], dtype=np.uint8), count, 1, 1, 16, 100, 256)
    assert hist[4] == 50 and hist[0] == 1 and hist[9] == 0
    assert count[0] == 51
    # One below maxcount: no halving.
    hist[:] = 0
    hist[4] = 98
    count[0] = 98
    run_model(hist, np.array([4 * 17], dtype=np.uint8), count, 1, 1, 16, 100, 256)
    assert hist[4] == 99 and count[0] == 99


def test_model_maxcount_one_and_counter_wrap():
    hist = np.array([0, 5, 0, 7], dtype=np.uint16)
    count = np.array([12], dtype=np.uint32)
    # maxcount 1 with an empty bin: it reaches 1 and everything halves.
    run_model(hist, np.array([0], dtype=np.uint8), count, 1, 1, 4, 1, 256)
    assert list(hist) == [0, 2, 0, 3] and count[0] == 5
    # maxcount above 65535 is never reached: the counter wraps to 0, count keeps counting.
    hist = np.array([65535, 1], dtype=np.uint16)
    count = np.array([65536], dtype=np.uint32)
    run_model(hist, np.array([3], dtype=np.uint8), count, 1, 1, 2, 70000, 256)
    assert list(hist) == [0, 1] and count[0] == 65537
    # maxcount 65535 is reached by the last step of a 16-bit counter.
    hist = np.array([65534, 3], dtype=np.uint16)
    count = np.array([65537], dtype=np.uint32)
    run_model(hist, np.array([3], dtype=np.uint8), count, 1, 1, 2, 65535, 256)
    assert list(hist) == [32767, 1] and count[0] == 32768


@pytest.mark.parametrize("width,height", [(0, 3), (3, 0), (-2, 2), (2, -2)])
def test_empty_images_touch_nothing(width, height):
    hist = ffi.new("uint16_t[64]", [1] * 64)
    count = ffi.new("uint32_t[4]", [4] * 4)
    out = ffi.new("uint8_t[4]", [9] * 4)
    bg = ffi.new("uint8_t[4]", [9] * 4)
    image = ffi.new("uint8_t[4]", [200] * 4)
    lib.hist_model(hist, image, count, width, height, 16, 100, 256)
    lib.hist_sievel(out, image, hist, count, width, height, 16, 2, 256, bg)
    assert list(hist) == [1] * 64 and list(count) == [4] * 4
    assert list(out) == [9] * 4 and list(bg) == [9] * 4


def test_model_reads_and_writes_only_its_arrays(guarded):
    n, nbins = 11, 16
    rng = np.random.default_rng(6)
    image = guarded(rng.integers(0, 256, size=n, dtype=np.uint8))
    hist = guarded(np.full(n * nbins, 4, dtype=np.uint16), "uint16_t *")
    count = guarded(np.full(n, 64, dtype=np.uint32), "uint32_t *")
    want = ref_hist_model(hist.array.copy(), image.array, count.array.copy(), nbins, 5, 256)
    lib.hist_model(hist.ptr, image.ptr, count.ptr, n, 1, nbins, 5, 256)
    assert np.array_equal(hist.array, want[0]) and np.array_equal(count.array, want[1])


@pytest.mark.parametrize("nbins,value_range", [(16, 127), (16, 0), (4, 20), (1, 0)])
def test_model_keeps_levels_past_the_last_bin_in_their_own_histogram(nbins, value_range,
                                                                       guarded):
    # The range is too small for 255 to fit the bins: such levels go to the last bin of
    # their own pixel, never into the next pixel's histogram or past the array.
    n = 3
    image = np.array([0, 255, 255], dtype=np.uint8)
    hist = guarded(np.zeros(n * nbins, dtype=np.uint16), "uint16_t *")
    count = guarded(np.zeros(n, dtype=np.uint32), "uint32_t *")
    lib.hist_model(hist.ptr, ptr(image), count.ptr, n, 1, nbins, 100, value_range)
    h = hist.array.reshape(n, nbins)
    assert list(h.sum(axis=1)) == [1, 1, 1] and list(count.array) == [1, 1, 1]
    assert h[1, nbins - 1] == 1 and h[2, nbins - 1] == 1
    assert h[0, 0] == 1


@pytest.mark.parametrize("nbins,divisor,value_range", [(0, 2, 256), (16, 0, 256), (16, 2, -20),
                                                       (16, 2, -100), (-4, 2, 256)])
def test_sizes_that_would_divide_by_zero_touch_nothing(nbins, divisor, value_range):
    # No bins, a zero divisor or a bin width of zero or less: nothing is written (rather than
    # a division fault or writes below the pixel's histogram).
    hist = ffi.new("uint16_t[64]", [1] * 64)
    count = ffi.new("uint32_t[4]", [4] * 4)
    out = ffi.new("uint8_t[4]", [9] * 4)
    bg = ffi.new("uint8_t[4]", [9] * 4)
    image = ffi.new("uint8_t[4]", [200, 0, 17, 255])
    lib.hist_sievel(out, image, hist, count, 2, 2, nbins, divisor, value_range, bg)
    assert list(out) == [9] * 4 and list(bg) == [9] * 4
    if divisor:
        lib.hist_model(hist, image, count, 2, 2, nbins, 100, value_range)
        assert list(hist) == [1] * 64 and list(count) == [4] * 4
