"""Fixtures of the disparity tests: the generated module, and the library's further exports
(the sibling matchers and the row search) opened directly from the same shared object."""
import os
import random

import cffi
import pytest

from stereo import _disparity

EXTRA_DECLS = """
struct sadbox;
typedef struct IntImage { int32_t width; int32_t height; int32_t *data; } IntImage;
void sadbox_disp_jump_y(struct sadbox *, uint8_t *, uint8_t *, uint8_t *, uint8_t, uint8_t *);
void sadbox_disp_orig(struct sadbox *, uint8_t *, uint8_t *, uint8_t *, uint8_t, uint8_t *);
void sadbox_disp_multiint(struct sadbox *, uint8_t *, uint8_t *, uint8_t *);
int FindRowDisp(int *, int *, IntImage *, IntImage *, int, int, int, int);
struct sadbox *sadbox_init(int, int, int, int, int, int);
void sadbox_free(struct sadbox **);
int main(void);
"""


@pytest.fixture(scope="session")
def mod():
    return _disparity


@pytest.fixture(scope="session")
def extra():
    ffi = cffi.FFI()
    ffi.cdef(EXTRA_DECLS)
    return ffi, ffi.dlopen(_disparity.__file__)


@pytest.fixture
def rng(request):
    return random.Random(request.node.nodeid)


@pytest.fixture(autouse=True)
def camera_root(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENT_ROOT", str(tmp_path))


def library_path():
    return os.path.abspath(_disparity.__file__)


def filled(ffi, data, ctype="uint8_t"):
    """A byte array of exactly len(data) entries holding data (no terminating zero)."""
    arr = ffi.new("%s[%d]" % (ctype, len(data)))
    ffi.memmove(arr, data, len(data))
    return arr
