"""How stereo._sievel meets the interpreter: its function table, argument checking before any
native code runs, lists for input arrays, in-place outputs, and the two extra exports."""
import threading

import numpy as np
import pytest

from sievel_support import exports, ffi, lib, libc, ptr, ref_rand_round

TABLE = {"hist_sievel", "hist_model", "median_sievel", "median_sievel_mask", "median_model"}
ARITY = {"hist_sievel": 10, "hist_model": 8, "median_sievel": 7, "median_sievel_mask": 8,
         "median_model": 6}


def test_lib_exposes_exactly_the_function_table():
    assert {n for n in dir(lib) if not n.startswith("_")} == TABLE
    assert not hasattr(lib, "rand_round") and not hasattr(lib, "cmp")


def test_declared_signatures():
    sig = {n: [a.cname for a in ffi.typeof(getattr(lib, n)).args] for n in TABLE}
    assert sig["hist_sievel"] == ["uint8_t *", "uint8_t *", "uint16_t *", "uint32_t *", "int",
                                  "int", "int", "int", "int", "uint8_t *"]
    assert sig["hist_model"] == ["uint16_t *", "uint8_t *", "uint32_t *", "int", "int", "int",
                                 "int", "int"]
    assert sig["median_sievel"] == ["uint8_t *"] * 4 + ["int", "int", "float"]
    assert sig["median_sievel_mask"] == ["uint8_t *"] * 4 + ["int", "int", "float",
                                                             "uint8_t *"]
    assert sig["median_model"] == ["uint8_t *", "uint8_t *", "int", "int", "double", "double"]
    for n in TABLE:
        assert ffi.typeof(getattr(lib, n)).result.cname == "void"


@pytest.mark.parametrize("name", sorted(TABLE))
@pytest.mark.parametrize("delta", [-1, +1])
def test_wrong_argument_count_names_the_function(name, delta):
    with pytest.raises(TypeError) as err:
        getattr(lib, name)(*([0] * (ARITY[name] + delta)))
    assert name in str(err.value)
    assert "expected %d arguments" % ARITY[name] in str(err.value)


def test_argument_errors_stop_before_native_code():
    model = ffi.new("uint8_t[4]", [10, 10, 10, 10])
    image = ffi.new("uint8_t[4]", [200] * 4)
    libc.srand(5)
    first = libc.rand()
    libc.srand(5)
    with pytest.raises(TypeError):
        lib.median_model(model, image, 2, 2, 20.0)
    with pytest.raises(OverflowError):
        lib.median_model(model, image, 2 ** 40, 2, 20.0, 0.5)
    with pytest.raises(TypeError):
        lib.median_model(model, image, 2, 2, "20", 0.5)
    with pytest.raises(TypeError):
        lib.median_model(ffi.new("uint16_t[4]"), image, 2, 2, 20.0, 0.5)
    assert list(model) == [10] * 4
    # No draw was taken from the generator either.
    assert libc.rand() == first
    hist = ffi.new("uint16_t[64]")
    with pytest.raises(OverflowError):
        lib.hist_model(hist, image, ffi.new("uint32_t[4]"), 2, 2, 16, 2 ** 40, 256)
    assert list(hist) == [0] * 64


def test_lists_as_input_arrays_are_copied_not_updated():
    lower, upper, image = [10, 10, 10], [20, 20, 10], [40, 12, 12]
    keep = (list(lower), list(upper), list(image))
    out = ffi.new("uint8_t[3]")
    lib.median_sievel(out, lower, upper, image, 3, 1, 1.0)
    assert list(out) == [30, 0, 2]
    assert (lower, upper, image) == keep
    # A model passed as a list is updated only in the temporary copy.
    model = [100, 100]
    lib.median_model(model, [0, 255], 2, 1, 20.0, 0.5)
    assert model == [100, 100]


def test_arrays_from_ffi_new_are_written_in_place():
    model = ffi.new("uint8_t[2]", [100, 100])
    lib.median_model(model, ffi.new("uint8_t[2]", [0, 255]), 2, 1, 20.0, 0.5)
    assert list(model) == [90, 110]


def test_null_source_is_a_null_pointer():
    # No function here returns a pointer; the one pointer that may be null is the mask's
    # source. ffi.NULL reaches the code as null, so the image pixel is copied.
    image = ffi.new("uint8_t[3]", [50, 10, 0])
    lower = ffi.new("uint8_t[3]", [10, 10, 10])
    out = ffi.new("uint8_t[3]", [1, 1, 1])
    lib.median_sievel_mask(out, lower, lower, image, 3, 1, 2.0, ffi.NULL)
    assert list(out) == [50, 0, 0]


def test_rand_round_and_cmp_are_exported():
    for seed in (1, 77, 123456):
        xs = [0.0, 0.5, 0.999, 1.25, 2.0, 7.75, -0.5, -3.9, 0.15, 1e-9]
        libc.srand(seed)
        got = [exports.rand_round(x) for x in xs]
        libc.srand(seed)
        assert got == [ref_rand_round(x) for x in xs]
    assert exports.cmp(1, 2) == -1 and exports.cmp(2, 1) == 1 and exports.cmp(5, 5) == 0
    # Only the low bytes count, as unsigned numbers.
    assert exports.cmp(0x1FF, 0x0FE) == 1
    assert exports.cmp(-1, 254) == 1
    assert exports.cmp(256, 0) == 0
    assert exports.cmp(0x80, 0x7F) == 1


def test_rand_round_saturates_beyond_int():
    # Still one draw per call; values past the int range end at its limits, never wrap.
    xs = [1e12, 2147483647.0, 2147483647.5, 2147483648.0, -2147483648.0, -2147483648.5,
          -1e12, float("inf"), float("-inf"), float("nan"), 2147483646.5]
    libc.srand(17)
    got = [exports.rand_round(x) for x in xs]
    after = libc.rand()
    libc.srand(17)
    for _ in xs:
        libc.rand()
    assert libc.rand() == after
    top, bottom = 2 ** 31 - 1, -2 ** 31
    assert got[:10] == [top, top, top, top, bottom, bottom, bottom, top, bottom, 0]
    assert got[10] in (2147483646, top)


def test_rand_round_statistics():
    libc.srand(99)
    draws = [exports.rand_round(2.25) for _ in range(20000)]
    assert set(draws) == {2, 3}
    assert abs(sum(draws) / len(draws) - 2.25) < 0.02
    assert {exports.rand_round(-1.75) for _ in range(200)} == {-1}
    assert {exports.rand_round(4.0) for _ in range(200)} == {4}


def test_calls_run_concurrently_on_distinct_arrays():
    rng = np.random.default_rng(3)
    n = 150_000
    jobs = [tuple(rng.integers(0, 256, size=n, dtype=np.uint8) for _ in range(3))
            for _ in range(4)]
    outs = [np.zeros(n, dtype=np.uint8) for _ in jobs]

    def run(job, out):
        for _ in range(20):
            lib.median_sievel_mask(ptr(out), ptr(job[0]), ptr(job[1]), ptr(job[2]), n, 1, 1.5,
                                   ffi.NULL)

    threads = [threading.Thread(target=run, args=a) for a in zip(jobs, outs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (lo, up, img), out in zip(jobs, outs):
        spread = np.maximum(up.astype(np.int64) - lo, 1)
        th = (spread * 98304 + 32768) >> 16
        d = img.astype(np.int64) - lo
        assert np.array_equal(out, np.where((d > th) | (d < -th), img, 0))
