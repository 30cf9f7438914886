"""The generated layer of stereo._disparity: argument checks before native code, list inputs,
integer ranges, null results and in-place outputs."""
import os
import subprocess
import sys

import pytest

from conftest import filled


def test_wrong_argument_count_raises_before_the_call(mod):
    ffi, lib = mod.ffi, mod.lib
    out = filled(ffi, b"\x5a" * 12, "unsigned char")
    img = bytes(range(12))
    with pytest.raises(TypeError, match="corr_disp"):
        lib.corr_disp(out, img, img, 4, 3, 0, 2)
    with pytest.raises(TypeError, match="corr_disp"):
        lib.corr_disp(out, img, img, 4, 3, 0, 2, 1, 9)
    assert bytes(out) == b"\x5a" * 12  # the native function never ran
    with pytest.raises(TypeError, match="sadbox_init"):
        lib.sadbox_init(8, 8, 0, 4, 3)
    with pytest.raises(TypeError, match="sadbox_disp"):
        lib.sadbox_disp(ffi.NULL, out)


def test_lists_are_accepted_as_inputs_and_left_alone(mod):
    ffi, lib = mod.ffi, mod.lib
    w, h = 9, 6
    left = [(x * 37 + y * 11) % 256 for y in range(h) for x in range(w)]
    right = [(x * 37 + y * 11 + 74) % 256 for y in range(h) for x in range(w)]
    keep_left, keep_right = list(left), list(right)
    out_lists = ffi.new("unsigned char[]", w * h)
    out_bytes = ffi.new("unsigned char[]", w * h)
    assert lib.corr_disp(out_lists, left, right, w, h, 0, 4, 3) == 0
    assert lib.corr_disp(out_bytes, bytes(left), bytes(right), w, h, 0, 4, 3) == 0
    assert left == keep_left and right == keep_right
    assert bytes(out_lists) == bytes(out_bytes)

    sb = lib.sadbox_init(w, h, 0, 4, 2, 0)
    try:
        cands = [3, 1, 2]
        out = ffi.new("uint8_t[]", w * h)
        lib.sadbox_disp(sb, out, left, right, 3, cands)
        assert cands == [3, 1, 2]
        assert any(bytes(out))
    finally:
        lib.sadbox_free(ffi.new("struct sadbox **", sb))


def test_a_list_as_output_is_a_temporary_copy(mod):
    ffi, lib = mod.ffi, mod.lib
    out = [7] * 12
    img = bytes(12)
    lib.corr_disp(out, img, img, 4, 3, 0, 1, 1)
    assert out == [7] * 12


@pytest.mark.parametrize("args", [
    (2**40, 8, 0, 4, 3, 0),
    (8, -2**40, 0, 4, 3, 0),
    (8, 8, 0, 2**31, 3, 0),
    (8, 8, 0, 4, 3, 2.5),
])
def test_integer_arguments_are_range_checked(mod, args):
    with pytest.raises((OverflowError, TypeError)):
        mod.lib.sadbox_init(*args)


def test_uint8_count_is_range_checked(mod):
    ffi, lib = mod.ffi, mod.lib
    out = ffi.new("uint8_t[]", 16)
    with pytest.raises(OverflowError):
        lib.sadbox_disp(ffi.NULL, out, bytes(16), bytes(16), 256, [0])
    with pytest.raises(OverflowError):
        lib.sadbox_disp(ffi.NULL, out, bytes(16), bytes(16), -1, [0])
    cout = ffi.new("unsigned char[]", 16)
    with pytest.raises(OverflowError):
        lib.corr_disp(cout, bytes(16), bytes(16), 4, 4, 0, 2**40, 1)


def test_failed_creation_is_a_null_pointer_object(mod):
    ffi, lib = mod.ffi, mod.lib
    # The scratch sizes overflow any address space: creation must fail cleanly.
    for args in [(2**30, 2**30, 0, 2**30, 15, 0), (2**31 - 1, 2**31 - 1, 0, 2**31 - 1, 3, 0),
                 (64, 48, 0, -5, 3, 0)]:
        sb = lib.sadbox_init(*args)
        assert sb is not None
        assert ffi.typeof(sb) is ffi.typeof("struct sadbox *")
        assert sb == ffi.NULL


ABSURD = r"""
from stereo import _disparity as m
sb = m.lib.sadbox_init(100000, 100000, 0, 1000, 15, 0)
print("null" if sb == m.ffi.NULL else "object")
"""


def test_unobtainable_memory_is_a_null_pointer_object():
    # 4e13 bytes of scratch: the allocator itself refuses.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"
    res = subprocess.run([sys.executable, "-c", ABSURD], env=env, capture_output=True, text=True,
                         timeout=60)
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == "null"


def test_free_clears_the_callers_pointer_and_tolerates_null(mod):
    ffi, lib = mod.ffi, mod.lib
    sb = lib.sadbox_init(16, 8, 0, 2, 3, 0)
    assert sb != ffi.NULL
    holder = ffi.new("struct sadbox **", sb)
    lib.sadbox_free(holder)
    assert holder[0] == ffi.NULL
    lib.sadbox_free(holder)  # a second release finds null and does nothing
    lib.sadbox_free(ffi.NULL)


def test_outputs_are_written_in_place(mod):
    ffi, lib = mod.ffi, mod.lib
    w, h = 10, 8
    left = bytes((x * 53 + y * 29) % 256 for y in range(h) for x in range(w))
    right = bytes(left[y * w + min(w - 1, x + 2)] for y in range(h) for x in range(w))
    out = filled(ffi, b"\xff" * (w * h))
    keep = out
    sb = lib.sadbox_init(w, h, 0, 3, 2, 0)
    try:
        lib.sadbox_disp(sb, out, left, right, 3, [0, 1, 2])
    finally:
        lib.sadbox_free(ffi.new("struct sadbox **", sb))
    assert keep is out
    assert bytes(out) != b"\xff" * (w * h)
    assert 2 in bytes(out)


def test_module_exposes_exactly_its_declarations(mod):
    names = {n for n in dir(mod.lib) if not n.startswith("_")}
    assert names == {"corr_disp", "sadbox_disp", "sadbox_free", "sadbox_init"}
    with pytest.raises(ffi_error(mod)):
        mod.ffi.sizeof("struct sadbox")  # opaque to the interpreter


def ffi_error(mod):
    return mod.ffi.error
