"""Shared helpers for the stereo._sievel tests: the module, the C library's random generator
(the same one the module draws from), the library's exports outside the declaration list,
and buffers that end right before an inaccessible page."""
import mmap

import cffi
import numpy as np
import pytest

import stereo._sievel as sievel_module
from stereo._sievel import ffi, lib

abi = cffi.FFI()
abi.cdef("""
    void srand(unsigned int seed);
    int rand(void);
    int mprotect(void *addr, size_t len, int prot);
    int rand_round(double x);
    int cmp(int a, int b);
""")
libc = abi.dlopen(None)
# The module's own library, for the names it exports beside its declaration list.
exports = abi.dlopen(sievel_module.__file__)

PAGE = mmap.PAGESIZE


class Guarded:
    """An array of `count` elements whose last byte is followed by a PROT_NONE page."""

    def __init__(self, values, ctype):
        values = np.ascontiguousarray(values)
        nbytes = values.nbytes
        pages = max(1, -(-nbytes // PAGE))
        self._map = mmap.mmap(-1, (pages + 1) * PAGE, prot=mmap.PROT_READ | mmap.PROT_WRITE)
        base = int(abi.cast("uintptr_t", abi.from_buffer(self._map)))
        assert libc.mprotect(abi.cast("void *", base + pages * PAGE), PAGE, 0) == 0
        offset = pages * PAGE - nbytes
        self.array = np.frombuffer(self._map, dtype=values.dtype, count=values.size,
                                   offset=offset)
        self.array[:] = values.ravel()
        self.ptr = ffi.cast(ctype, base + offset)


@pytest.fixture
def guarded():
    made = []

    def make(values, ctype="uint8_t *"):
        g = Guarded(values, ctype)
        made.append(g)
        return g

    yield make


def ptr(arr):
    """A cdata array over a contiguous numpy array (kept alive by it), written in place."""
    assert arr.flags["C_CONTIGUOUS"]
    ctype = {np.dtype(np.uint8): "uint8_t[]", np.dtype(np.uint16): "uint16_t[]",
             np.dtype(np.uint32): "uint32_t[]"}[arr.dtype]
    return ffi.from_buffer(ctype, arr, require_writable=True)


def ref_rand_round(x):
    """Randomised rounding from the C library's rand(), one draw per call."""
    r = libc.rand()
    t = int(x)
    f = x - t
    return t + 1 if r / 2147483647.0 < f else t


SIZES = [(1, 1), (1, 7), (7, 1), (2, 3), (3, 2), (5, 9), (8, 8), (9, 17), (16, 16),
         (17, 15), (31, 33), (64, 48), (65, 47), (160, 120)]
