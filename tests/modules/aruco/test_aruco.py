"""stereo._aruco as the application uses it: the declared calls and types, markers found at
their corners with their ids, the out-cells on every outcome, both arrays released through
the module's free, argument errors before detection, and concurrent calls."""
import ctypes
import mmap
import os
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest

from conftest import DARK, LIGHT, detect, draw
from stereo._aruco import ffi, lib

HERE = pathlib.Path(__file__).resolve().parent


def close(found, expected, tol=1e-3):
    return all(abs(a - c) <= tol and abs(b - d) <= tol
               for (a, b), (c, d) in zip(found, expected))


def test_module_exposes_the_detector_and_free_with_their_types():
    assert {n for n in dir(lib) if not n.startswith("_")} == {"detect_aruco", "free"}
    assert ffi.typeof(lib.detect_aruco).cname == \
        "int(*)(uint8_t *, int, int, point_t * *, size_t *, int * *)"
    assert ffi.typeof(lib.free).cname == "void(*)(void *)"
    assert ffi.sizeof("point_t") == 16 and ffi.alignof("point_t") == 8
    assert ffi.offsetof("point_t", "x") == 0 and ffi.offsetof("point_t", "y") == 8


def test_markers_come_back_with_ids_corners_and_owned_arrays(blank, codes):
    img = blank(320, 240)
    a = draw(img, codes[3], 20, 30, 12)
    b = draw(img, codes[17], 180, 100, 10, quarters=1)
    pts, n, ids = ffi.new("point_t **"), ffi.new("size_t *"), ffi.new("int **")
    status = lib.detect_aruco(ffi.from_buffer("uint8_t[]", img), 320, 240, pts, n, ids)
    assert type(status) is int and status == 0
    assert type(n[0]) is int and n[0] == 2
    assert ffi.typeof(pts[0]) == ffi.typeof("point_t *")
    assert ffi.typeof(ids[0]) == ffi.typeof("int *")
    assert [ids[0][0], ids[0][1]] == [3, 17]  # raster order of their top edges
    got = [[(pts[0][4 * m + k].x, pts[0][4 * m + k].y) for k in range(4)] for m in range(2)]
    assert type(got[0][0][0]) is float
    # Pixel centres at integers: the outer square's corners lie on pixel boundaries, listed
    # from the marker's own top-left whatever its turn.
    assert close(got[0], a) and close(got[1], b)
    assert got[0][0] == pytest.approx((19.5, 29.5), abs=1e-3)
    lib.free(pts[0])
    lib.free(ids[0])


@pytest.mark.parametrize("quarters", [0, 1, 2, 3])
def test_every_quarter_turn_keeps_the_marker_corner_order(blank, codes, quarters):
    img = blank(120, 120)
    corners = draw(img, codes[29], 24, 30, 9, quarters)
    status, found = detect(img)
    assert status == 0 and [f[0] for f in found] == [29]
    assert close(found[0][1], corners)


def test_width_comes_first(blank, codes):
    img = blank(300, 90)
    corners = draw(img, codes[8], 200, 12, 10)
    status, found = detect(img, 300, 90)
    assert status == 0 and [f[0] for f in found] == [8] and close(found[0][1], corners)
    status, found = detect(img, 90, 300)
    assert status == 0 and 8 not in [f[0] for f in found]


def test_nothing_found_leaves_null_arrays_that_free_accepts(blank):
    rng = np.random.default_rng(7)
    for img in (blank(64, 48), np.zeros((48, 64), np.uint8),
                rng.integers(0, 256, (240, 320), dtype=np.uint8)):
        pts, n, ids = ffi.new("point_t **"), ffi.new("size_t *"), ffi.new("int **")
        h, w = img.shape
        assert lib.detect_aruco(ffi.from_buffer("uint8_t[]", img), w, h, pts, n, ids) == 0
        assert n[0] == 0 and pts[0] == ffi.NULL and ids[0] == ffi.NULL
        lib.free(pts[0])
        lib.free(ids[0])
    lib.free(ffi.NULL)


@pytest.mark.parametrize("w,h", [(0, 10), (10, 0), (-4, 10), (10, -1), (65536, 32768)])
def test_bad_dimensions_report_minus_one_and_clear_the_cells(w, h):
    img = ffi.new("uint8_t[]", 100)
    pts, n, ids = ffi.new("point_t **"), ffi.new("size_t *"), ffi.new("int **")
    # Cells left over from an earlier call must not survive a refused one.
    pts[0], ids[0], n[0] = ffi.cast("point_t *", 16), ffi.cast("int *", 16), 9
    assert lib.detect_aruco(img, w, h, pts, n, ids) == -1
    assert pts[0] == ffi.NULL and ids[0] == ffi.NULL and n[0] == 0


def test_argument_errors_raise_before_the_detector_runs(blank):
    img = ffi.from_buffer("uint8_t[]", blank(32, 32))
    pts, n, ids = ffi.new("point_t **"), ffi.new("size_t *"), ffi.new("int **")
    pts[0] = ffi.cast("point_t *", 16)  # the detector would clear it
    with pytest.raises(TypeError, match="detect_aruco expected 6 arguments, got 5"):
        lib.detect_aruco(img, 32, 32, pts, n)
    with pytest.raises(OverflowError):
        lib.detect_aruco(img, 2 ** 40, 32, pts, n, ids)
    with pytest.raises(TypeError):
        lib.detect_aruco(img, 32, 32, ffi.new("int **"), n, ids)
    with pytest.raises(TypeError):
        lib.free(5)
    assert pts[0] == ffi.cast("point_t *", 16)


def test_image_given_as_a_list(codes):
    img = np.full((60, 60), LIGHT, np.uint8)
    corners = draw(img, codes[44], 12, 12, 6)
    status, found = detect(img.ravel().tolist(), 60, 60)
    assert status == 0 and [f[0] for f in found] == [44] and close(found[0][1], corners)


def test_image_ending_at_an_unreadable_page(codes):
    """A marker and a dark band at the very end of the buffer, which ends right before a
    page the process may not read: any read past the image faults."""
    w, h = 200, 150
    page = mmap.PAGESIZE
    size = -(-w * h // page) * page
    area = mmap.mmap(-1, size + page, prot=mmap.PROT_READ | mmap.PROT_WRITE)
    base = ctypes.addressof(ctypes.c_char.from_buffer(area))
    libc = ctypes.CDLL(None)
    assert libc.mprotect(ctypes.c_void_p(base + size), page, 0) == 0
    img = np.frombuffer(area, np.uint8, count=w * h, offset=size - w * h).reshape(h, w)
    img[:] = LIGHT
    corners = draw(img, codes[2], 130, 80, 10)
    img[-3:, :] = DARK
    img[:, -2:] = DARK
    status, found = detect(img)
    assert status == 0 and [f[0] for f in found] == [2] and close(found[0][1], corners)
    del img
    # The unreadable page stays mapped with the area; unmap it only after the last view.


ALLOCATION_CHECK = r"""
import cffi
import numpy as np
from conftest import LIGHT, draw, load_codes
from stereo._aruco import ffi, lib

# The bytes the allocator has handed out and not taken back: the sanitizer's count where it
# is loaded, else glibc's (exact once its per-thread cache is off, see the caller).
abi = cffi.FFI()
abi.cdef("size_t __sanitizer_get_current_allocated_bytes(void);"
         "struct mallinfo2 { size_t arena, ordblks, smblks, hblks, hblkhd, usmblks,"
         " fsmblks, uordblks, fordblks, keepcost; };"
         "struct mallinfo2 mallinfo2(void);")
process = abi.dlopen(None)
try:
    allocated = process.__sanitizer_get_current_allocated_bytes
except AttributeError:
    def allocated():
        i = process.mallinfo2()
        return i.uordblks + i.hblkhd
allocated()

codes = load_codes()
img = np.full((480, 640), LIGHT, np.uint8)
for i in range(12):
    draw(img, codes[i], 20 + 155 * (i % 4), 20 + 155 * (i // 4), 17, i % 4)
buf = ffi.from_buffer("uint8_t[]", img)
pts, n, ids = ffi.new("point_t **"), ffi.new("size_t *"), ffi.new("int **")
lib.detect_aruco(buf, 640, 480, pts, n, ids)  # the first call builds the id table
lib.free(pts[0])
lib.free(ids[0])
before = allocated()
status = lib.detect_aruco(buf, 640, 480, pts, n, ids)
held = allocated() - before
lib.free(pts[0])
lib.free(ids[0])
released = allocated() - before
for _ in range(200):
    lib.detect_aruco(buf, 640, 480, pts, n, ids)
    lib.free(pts[0])
    lib.free(ids[0])
print(status, n[0], held, released, allocated() - before)
"""


def test_both_arrays_are_allocations_that_free_releases():
    """Counted by the allocator itself, in a fresh interpreter: the two arrays are held after
    the call, gone after the two frees, and 200 rounds leave nothing behind."""
    env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.tcache_count=0",
               PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    res = subprocess.run([sys.executable, "-c", ALLOCATION_CHECK], env=env,
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    status, count, held, released, after = (int(v) for v in res.stdout.split())
    arrays = 12 * 4 * 16 + 12 * 4
    assert (status, count) == (0, 12)
    assert held >= arrays
    assert released < arrays
    assert after < arrays


def test_threads_detect_at_the_same_time(blank, codes):
    # The interpreter lock is released for the call; each thread must see its own result.
    jobs = []
    for t in range(4):
        img = blank(320, 240)
        expected = [(t * 10 + k, draw(img, codes[t * 10 + k], 20 + 100 * k, 40 + 20 * k, 12, k))
                    for k in range(3)]
        jobs.append((img, expected))
    failures = []

    def run(img, expected):
        for _ in range(10):
            status, found = detect(img)
            if status != 0 or [f[0] for f in found] != [e[0] for e in expected] or \
                    not all(close(f[1], e[1]) for f, e in zip(found, expected)):
                failures.append(found)

    threads = [threading.Thread(target=run, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


def test_a_marker_printed_by_the_generator_is_found():
    generator = pathlib.Path(os.environ.get("ZENT_SOURCE_DIR", HERE.parents[2]),
                             "sim", "libwrapper", "gen_dictionary.py")
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # the sanitizer runtime belongs to the module, not the tool
    out = subprocess.run([sys.executable, str(generator), "--draw", "7", "--cell", "9"],
                         env=env, capture_output=True, check=True).stdout
    header, pixels = out.split(b"\n255\n", 1)
    assert header == b"P5\n72 72"
    img = np.frombuffer(pixels, np.uint8).reshape(72, 72).copy()
    status, found = detect(img)
    # One white cell of margin: the marker's square runs from pixel 9 to pixel 62.
    assert status == 0 and [f[0] for f in found] == [7]
    assert close(found[0][1], [(8.5, 8.5), (62.5, 8.5), (62.5, 62.5), (8.5, 62.5)])
    bad = subprocess.run([sys.executable, str(generator), "--draw", "50"], env=env,
                         capture_output=True, text=True)
    assert bad.returncode != 0 and "id must be 0 to 49" in bad.stderr
