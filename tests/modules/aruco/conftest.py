"""Fixtures of the marker module tests: the module, the detector library's own dictionary,
markers drawn into numpy images with exactly known corners, and a detection helper."""
import os
import pathlib

import cffi
import numpy as np
import pytest

from stereo._aruco import ffi, lib

LIGHT, DARK = 235, 20


def load_codes():
    """The dictionary as libwrapper holds it (the module itself exposes only the detector)."""
    build = os.environ.get("ZENT_BUILD_DIR")
    if not build:
        pytest.skip("no build tree given")
    abi = cffi.FFI()
    abi.cdef("int aruco_dictionary(const uint16_t **codes);")
    wrapper = abi.dlopen(str(pathlib.Path(build, "sim", "libwrapper", "libwrapper.so")))
    table = abi.new("const uint16_t **")
    n = wrapper.aruco_dictionary(table)
    return [table[0][i] for i in range(n)]


@pytest.fixture(scope="session")
def codes():
    return load_codes()


def grid(code):
    """The 6x6 cells of a marker: 1 = light."""
    g = np.zeros((6, 6), np.uint8)
    for r in range(4):
        for c in range(4):
            g[r + 1, c + 1] = code >> (15 - (4 * r + c)) & 1
    return g


def draw(img, code, x0, y0, cell, quarters=0):
    """Draws the marker axis-aligned over the pixels x0 .. x0 + 6 cell - 1 (and likewise in
    y), turned counter-clockwise by `quarters` quarter turns, and returns its corners in the
    marker's own order (top-left, top-right, bottom-right, bottom-left), pixel centres at
    integer coordinates."""
    g = np.rot90(grid(code), quarters)
    side = 6 * cell
    img[y0:y0 + side, x0:x0 + side] = np.where(np.kron(g, np.ones((cell, cell), np.uint8)),
                                               LIGHT, DARK)
    screen = [(x0 - 0.5, y0 - 0.5), (x0 + side - 0.5, y0 - 0.5),
              (x0 + side - 0.5, y0 + side - 0.5), (x0 - 0.5, y0 + side - 0.5)]
    return [screen[(i - quarters) % 4] for i in range(4)]


def detect(image, width=None, height=None):
    """Runs the detector on a numpy image (or anything the layer takes) and returns the
    status, the markers as (id, corners) and the raw cells; frees both arrays."""
    if width is None:
        height, width = image.shape
    if isinstance(image, np.ndarray):
        image = ffi.from_buffer("uint8_t[]", image)
    pts, n, ids = ffi.new("point_t **"), ffi.new("size_t *"), ffi.new("int **")
    status = lib.detect_aruco(image, width, height, pts, n, ids)
    found = [(ids[0][i], [(pts[0][4 * i + k].x, pts[0][4 * i + k].y) for k in range(4)])
             for i in range(n[0])]
    lib.free(pts[0])
    lib.free(ids[0])
    return status, found


@pytest.fixture
def blank():
    def make(w=320, h=240):
        return np.full((h, w), LIGHT, np.uint8)
    return make
