"""How pixelor._speedups meets the interpreter: its function table, argument checking before
any native code runs, lists for input arrays, and in-place output arrays."""
import threading

import numpy as np
import pytest

from speedups_support import ffi, lib, ptr

TABLE = {"bilin", "project_rgbimage_onto", "projxy", "rgb_to_grey", "uint8_transpose"}
ARITY = {"bilin": 5, "project_rgbimage_onto": 11, "projxy": 5, "rgb_to_grey": 3,
         "uint8_transpose": 4}
IDENTITY = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]


def test_lib_exposes_exactly_the_function_table():
    names = {n for n in dir(lib) if not n.startswith("_")}
    assert names == TABLE
    for name in TABLE:
        assert callable(getattr(lib, name))


def test_declared_signatures():
    assert ffi.typeof(lib.bilin).cname == \
        "unsigned char(*)(unsigned char *, int, double, double, int)"
    assert ffi.typeof(lib.rgb_to_grey).cname == "void(*)(unsigned char *, unsigned char *, int)"
    assert ffi.typeof(lib.projxy).cname == \
        "void(*)(double *, double *, double, double, double *)"
    assert ffi.typeof(lib.uint8_transpose).cname == \
        "void(*)(unsigned char *, unsigned char *, int, int)"
    args = ffi.typeof(lib.project_rgbimage_onto).args
    assert [a.cname for a in args] == ["int", "int", "unsigned char *", "int", "int",
                                       "unsigned char *", "double *", "int", "int", "int",
                                       "int"]


@pytest.mark.parametrize("name", sorted(TABLE))
@pytest.mark.parametrize("delta", [-1, +1])
def test_wrong_argument_count_names_the_function(name, delta):
    args = [0] * (ARITY[name] + delta)
    with pytest.raises(TypeError) as err:
        getattr(lib, name)(*args)
    assert name in str(err.value)
    assert "expected %d arguments" % ARITY[name] in str(err.value)


def test_argument_errors_stop_before_native_code():
    out = ffi.new("unsigned char[4]", [7, 7, 7, 7])
    rgb = ffi.new("unsigned char[12]", list(range(12)))
    with pytest.raises(TypeError):
        lib.rgb_to_grey(out, rgb)
    with pytest.raises(OverflowError):
        lib.rgb_to_grey(out, rgb, 2 ** 40)
    with pytest.raises(OverflowError):
        lib.rgb_to_grey(out, rgb, -2 ** 31 - 1)
    with pytest.raises(TypeError):
        lib.rgb_to_grey(out, rgb, 4.0)
    with pytest.raises(TypeError):
        lib.rgb_to_grey(out, "not an array", 4)
    # A mistyped pointer is refused too.
    with pytest.raises(TypeError):
        lib.rgb_to_grey(ffi.new("int[4]"), rgb, 4)
    assert list(out) == [7, 7, 7, 7]
    # A bad last argument still stops the call before anything is written.
    dst = ffi.new("unsigned char[27]", [9] * 27)
    with pytest.raises(OverflowError):
        lib.project_rgbimage_onto(3, 3, dst, 3, 3, ffi.new("unsigned char[27]"),
                                  ffi.new("double[9]", IDENTITY), 0, 3, 0, 2 ** 40)
    assert list(dst) == [9] * 27


def test_int_limits_are_accepted():
    out = ffi.new("unsigned char[1]", [5])
    lib.rgb_to_grey(out, ffi.new("unsigned char[3]"), -2 ** 31)
    lib.uint8_transpose(out, out, 2 ** 31 - 1, 0)
    assert out[0] == 5


def test_lists_as_input_arrays_are_copied_not_updated():
    rgb = [255, 255, 254, 1, 1, 0, 2, 2, 2]
    snapshot = list(rgb)
    out = ffi.new("unsigned char[3]")
    lib.rgb_to_grey(out, rgb, 3)
    assert list(out) == [254, 0, 2]
    assert rgb == snapshot
    # A tuple works alike, and so does a list for the homography.
    rx, ry = ffi.new("double *"), ffi.new("double *")
    lib.projxy(rx, ry, 3.0, 4.0, tuple(IDENTITY[:8]) + (2.0,))
    assert (rx[0], ry[0]) == (1.5, 2.0)


def test_output_written_into_a_list_is_lost():
    out = [9, 9, 9]
    lib.rgb_to_grey(out, [3, 3, 3, 6, 6, 6, 9, 9, 9], 3)
    assert out == [9, 9, 9]


def test_arrays_from_ffi_new_are_written_in_place():
    rx, ry = ffi.new("double *", -1.0), ffi.new("double *", -1.0)
    lib.projxy(rx, ry, 10.0, -6.0, ffi.new("double[9]", IDENTITY))
    assert (rx[0], ry[0]) == (10.0, -6.0)
    dst = ffi.new("unsigned char[6]")
    lib.uint8_transpose(dst, ffi.new("unsigned char[6]", [1, 2, 3, 4, 5, 6]), 3, 2)
    assert list(dst) == [1, 4, 2, 5, 3, 6]


def test_byte_result_and_null_pointers():
    # No function here returns a pointer; the byte result arrives as a plain int, and a
    # null pointer argument passes as ffi.NULL (a zero-sized call reads nothing). This
    # interpreter's runtime refuses None for a pointer.
    img = ffi.new("unsigned char[3]", [200, 100, 50])
    v = lib.bilin(img, 1, 0.0, 0.0, 0)
    assert type(v) is int and v == 200
    lib.rgb_to_grey(ffi.NULL, ffi.NULL, 0)
    lib.uint8_transpose(ffi.NULL, ffi.NULL, 0, 5)
    lib.uint8_transpose(ffi.NULL, ffi.NULL, 5, -1)
    lib.project_rgbimage_onto(0, 0, ffi.NULL, 0, 0, ffi.NULL, ffi.NULL, 0, 0, 0, 0)
    lib.project_rgbimage_onto(0, 0, ffi.NULL, 0, 0, ffi.NULL, ffi.NULL, 5, 5, 0, 9)


def test_calls_run_concurrently_on_distinct_arrays():
    # The lock is released for the call, so threads overlap; each must see its own result.
    rng = np.random.default_rng(11)
    jobs = []
    for _ in range(4):
        rgb = rng.integers(0, 256, size=3 * 200_000, dtype=np.uint8)
        jobs.append((rgb, np.zeros(200_000, dtype=np.uint8)))

    def run(rgb, out):
        for _ in range(20):
            lib.rgb_to_grey(ptr(out), ptr(rgb), out.size)

    threads = [threading.Thread(target=run, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for rgb, out in jobs:
        want = rgb.reshape(-1, 3).astype(np.int32).sum(axis=1) // 3
        assert np.array_equal(out, want)
