"""Shared helpers for the pixelor._speedups tests: module access, numpy <-> cdata, and
buffers that end right before an inaccessible page, so any read past them faults."""
import mmap

import cffi
import numpy as np
import pytest

from pixelor._speedups import ffi, lib

_abi = cffi.FFI()
_abi.cdef("int mprotect(void *addr, size_t len, int prot);")
_libc = _abi.dlopen(None)

PAGE = mmap.PAGESIZE


class Guarded:
    """nbytes of memory whose last byte is followed by a PROT_NONE page."""

    def __init__(self, nbytes):
        self.nbytes = nbytes
        data_pages = max(1, -(-nbytes // PAGE))
        self._map = mmap.mmap(-1, (data_pages + 1) * PAGE,
                              prot=mmap.PROT_READ | mmap.PROT_WRITE)
        base = _abi.cast("uintptr_t", _abi.from_buffer(self._map))
        guard = int(base) + data_pages * PAGE
        assert _libc.mprotect(_abi.cast("void *", guard), PAGE, 0) == 0
        self.offset = data_pages * PAGE - nbytes
        self.array = np.frombuffer(self._map, dtype=np.uint8, count=nbytes, offset=self.offset)
        self.ptr = ffi.cast("unsigned char *", guard - nbytes)

    def fill(self, values):
        self.array[:] = np.asarray(values, dtype=np.uint8).ravel()


@pytest.fixture
def guarded():
    made = []

    def make(values):
        values = np.asarray(values, dtype=np.uint8).ravel()
        g = Guarded(values.size)
        g.fill(values)
        made.append(g)
        return g

    yield make


def ptr(arr, ctype="unsigned char[]"):
    """A cdata array over a contiguous numpy array (kept alive by it); the kernels write
    it in place."""
    assert arr.flags["C_CONTIGUOUS"]
    return ffi.from_buffer(ctype, arr, require_writable=True)


SIZES = [(1, 1), (1, 7), (7, 1), (2, 3), (3, 2), (5, 9), (8, 8), (9, 17), (16, 16),
         (17, 15), (24, 8), (31, 33), (64, 48), (65, 47), (127, 9), (160, 120)]
