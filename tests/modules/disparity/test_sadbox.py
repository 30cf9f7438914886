"""Box matchers against the plain-Python renderings: random pairs of many shapes, candidate
lists, margins and offsets, plus the edge behaviour (penalties, margin, ties, written area)."""
import os
import subprocess
import sys
import threading

import pytest

import disparity_ref as ref
from conftest import filled


def half_fits(w, h, n, num_disp, team=2):
    """The caller's limits of the half-resolution matcher."""
    Q, W2 = w * h // 4, w // 2
    G = ((h + 1) // 2) * W2
    S = w + h + Q
    return (max(n, 1) - 1) * Q + G <= w * h * num_disp and team * S + G <= w * (h + 1) * num_disp


def full_fits(w, h, n, num_disp, team=2):
    return n <= num_disp and w * num_disp + (team - 1) * w * (h + 1) + w * h <= w * (h + 1) * num_disp


def smallest_max_disp(fits, w, h, n, at_least=0):
    md = at_least
    while not fits(w, h, n, md + 1):
        md += 1
    return md


def textured_pair(rng, w, h, shift, noise=0):
    """A random left image and a right image that matches it at disparity `shift`."""
    L = [rng.randrange(256) for _ in range(w * h)]
    R = [0] * (w * h)
    for y in range(h):
        for x in range(w):
            src = x + shift
            v = L[y * w + src] if 0 <= src < w else rng.randrange(256)
            if noise:
                v = min(255, max(0, v + rng.randint(-noise, noise)))
            R[y * w + x] = v
    return L, R


class Box:
    """One work object of the generated module, released at the end of the test."""

    def __init__(self, mod, w, h, offset, max_disp, box, margin):
        self.ffi, self.lib = mod.ffi, mod.lib
        self.w, self.h = w, h
        self.sb = self.lib.sadbox_init(w, h, offset, max_disp, box, margin)
        assert self.sb != self.ffi.NULL

    def disp(self, L, R, cands, prefill=0xA5):
        out = filled(self.ffi, bytes([prefill]) * (self.w * self.h))
        self.lib.sadbox_disp(self.sb, out, bytes(L), bytes(R), len(cands), list(cands) or [0])
        return list(out)

    def free(self):
        holder = self.ffi.new("struct sadbox **", self.sb)
        self.lib.sadbox_free(holder)
        assert holder[0] == self.ffi.NULL


class ExtraBox:
    """A work object used with the library's further exports (opened directly)."""

    def __init__(self, extra, w, h, offset, max_disp, box, margin):
        self.ffi, self.lib = extra
        self.w, self.h = w, h
        self.sb = self.lib.sadbox_init(w, h, offset, max_disp, box, margin)
        assert self.sb != self.ffi.NULL

    def run(self, name, L, R, cands=None, prefill=0xA5):
        out = filled(self.ffi, bytes([prefill]) * (self.w * self.h))
        fn = getattr(self.lib, name)
        if cands is None:
            fn(self.sb, out, bytes(L), bytes(R))
        else:
            fn(self.sb, out, bytes(L), bytes(R), len(cands), list(cands) or [0])
        return list(out)

    def free(self):
        holder = self.ffi.new("struct sadbox **", self.sb)
        self.lib.sadbox_free(holder)


SHAPES = [(2, 2), (3, 3), (5, 4), (7, 9), (16, 8), (17, 11), (20, 15), (31, 6), (33, 17),
          (40, 30), (9, 40)]


@pytest.mark.parametrize("w,h", SHAPES)
def test_half_resolution_matches_reference(mod, rng, w, h):
    for trial in range(6):
        n = rng.choice([0, 1, 2, 3, 5, 9, 12])
        cands = [rng.randrange(0, 12) for _ in range(n)]  # unsorted, repeats likely
        offset = rng.randint(-3, 3)
        box = rng.choice([0, 1, 2, 3, 4, 6, 15]) if h % 2 == 0 else rng.choice([2, 3, 5, 15])
        margin = rng.choice([0, 0, 1, 7, 50, -5])
        L, R = textured_pair(rng, w, h, rng.randrange(0, 8), noise=rng.choice([0, 10]))
        md = smallest_max_disp(half_fits, w, h, n, at_least=rng.randrange(0, 4))
        b = Box(mod, w, h, offset, md, box, margin)
        try:
            got = b.disp(L, R, cands)
            # A work object serves any number of calls: repeat with other candidates.
            cands2 = list(reversed(cands))
            got2 = b.disp(R, L, cands2)
        finally:
            b.free()
        assert got == ref.half_resolution(L, R, w, h, offset, box, margin, cands), (trial, cands)
        assert got2 == ref.half_resolution(R, L, w, h, offset, box, margin, cands2), trial


def test_wide_rows_cross_the_internal_chunks(mod, extra, rng):
    # Rows of more than 256 cells (half resolution) and pixels (full resolution).
    w, h = 531, 7
    L, R = textured_pair(rng, w, h, 6, noise=12)
    cands = [9, 0, 6, 3, 6]
    b = Box(mod, w, h, 1, smallest_max_disp(half_fits, w, h, 5), 4, 2)
    try:
        got = b.disp(L, R, cands)
    finally:
        b.free()
    assert got == ref.half_resolution(L, R, w, h, 1, 4, 2, cands)
    e = ExtraBox(extra, w, h, 0, smallest_max_disp(full_fits, w, h, 5, at_least=4), 3, 1)
    try:
        got = e.run("sadbox_disp_orig", L, R, cands)
    finally:
        e.free()
    assert got == ref.full_resolution(L, R, w, h, 0, 3, 1, cands)


def test_half_resolution_odd_height_small_box_stays_inside(mod, rng):
    # Below box 2 an odd height puts the last blocks' lower half under the image; it is cut.
    w, h = 12, 7
    L, R = textured_pair(rng, w, h, 2)
    for box in (0, 1):
        b = Box(mod, w, h, 0, smallest_max_disp(half_fits, w, h, 3), box, 0)
        try:
            got = b.disp(L, R, [4, 1, 2])
        finally:
            b.free()
        assert got == ref.half_resolution(L, R, w, h, 0, box, 0, [4, 1, 2])
        assert got[(h - 1) * w:(h - 1) * w + 2] == [4, 4]


def test_half_resolution_largest_candidate_count(mod, rng):
    # Even sizes admit n = 4 * num_disp slices in the cost volume.
    w, h, md = 24, 16, 2
    n = 4 * (md + 1)
    cands = [rng.randrange(0, 10) for _ in range(n)]
    L, R = textured_pair(rng, w, h, 3, noise=5)
    b = Box(mod, w, h, 1, md, 4, 3)
    try:
        got = b.disp(L, R, cands)
    finally:
        b.free()
    assert got == ref.half_resolution(L, R, w, h, 1, 4, 3, cands)


def test_half_resolution_written_area_160x120_box15(mod, rng):
    w, h = 160, 120
    L = bytes(rng.randrange(256) for _ in range(w * h))
    b = Box(mod, w, h, 0, 8, 15, 50)
    try:
        got = b.disp(L, L, [5])
    finally:
        b.free()
    for y in range(h):
        row = got[y * w:(y + 1) * w]
        for x, v in enumerate(row):
            inside = 7 <= x <= 152 and 7 <= y <= 112
            assert v == (5 if inside else 0), (x, y)


def test_half_resolution_output_is_the_list_entry(mod, rng):
    # Offset 2 and list 0..8: the true disparity 5 is candidate 3.
    w, h = 64, 32
    L, R = textured_pair(rng, w, h, 5)
    b = Box(mod, w, h, 2, 8, 6, 0)
    try:
        got = b.disp(L, R, list(range(9)))
    finally:
        b.free()
    assert got == ref.half_resolution(L, R, w, h, 2, 6, 0, list(range(9)))
    centre = [got[y * w + x] for y in range(8, 24) for x in range(24, 60)]
    assert set(centre) == {3}


def test_half_resolution_no_candidates_and_tiny_boxes(mod, rng):
    w, h = 18, 10
    L, R = textured_pair(rng, w, h, 3)
    b = Box(mod, w, h, 0, 4, 15, 0)
    try:
        assert b.disp(L, R, []) == [0] * (w * h)
    finally:
        b.free()
    for box in (0, 1):
        b = Box(mod, w, h, 0, 4, box, 0)
        try:
            got = b.disp(L, R, [6, 3, 0])
        finally:
            b.free()
        # Every box cost is 0, so the first entry wins everywhere the matcher writes.
        assert got == [6] * (w * h)


def one_cell_pair(w, h, r1, r3):
    """Images whose only decisive cell is (2, 2) at box 2: cost at d=0 is 2|r3 - 100| and at
    d=1 it is 2|r1 - 100|."""
    L = [100] * (w * h)
    R = [100] * (w * h)
    R[2 * w + 1] = r1
    R[2 * w + 3] = r3
    return L, R


@pytest.mark.parametrize("margin,d1_lower_by,wins", [
    (0, 0, False),   # equal costs: the earlier entry stays
    (0, 2, True),
    (6, 6, False),   # lower by exactly the margin loses
    (6, 8, True),    # half-resolution costs move in steps of 2
    (7, 6, False),
    (7, 8, True),    # lower by margin + 1 wins
    (-4, -2, True),  # a negative margin lets a slightly worse later entry win
    (-4, -4, False),
])
def test_half_resolution_margin(mod, margin, d1_lower_by, wins):
    w, h = 8, 4
    base = 40  # cost at d=0 is 2*20
    r3 = 100 + 20
    cost1 = base - d1_lower_by
    L, R = one_cell_pair(w, h, 100 + cost1 // 2, r3)
    b = Box(mod, w, h, 0, 2, 2, margin)
    try:
        got = b.disp(L, R, [0, 1])
    finally:
        b.free()
    assert got == ref.half_resolution(L, R, w, h, 0, 2, margin, [0, 1])
    assert got[1 * w + 1] == (1 if wins else 0)


@pytest.mark.parametrize("real_cost,penalised_wins", [(1020, True), (1018, False)])
def test_half_resolution_cell_penalty(mod, real_cost, penalised_wins):
    # At cell x = 2 the pair of candidate 9 starts left of the image and costs 1020; the real
    # cost of candidate 0 there is 2*(a + b).
    w, h = 8, 4
    L = [0] * (w * h)
    R = [0] * (w * h)
    half = real_cost // 2
    R[2 * w + 2] = min(255, half)
    R[2 * w + 3] = half - min(255, half)
    b = Box(mod, w, h, 0, 9, 2, 0)
    try:
        got = b.disp(L, R, [9, 0])
    finally:
        b.free()
    assert got == ref.half_resolution(L, R, w, h, 0, 2, 0, [9, 0])
    assert got[1 * w + 1] == (9 if penalised_wins else 0)


def test_full_resolution_matches_reference(extra, rng):
    for w, h in [(3, 3), (6, 5), (11, 7), (16, 9), (21, 13), (8, 16)]:
        for trial in range(4):
            n = rng.choice([0, 1, 2, 4, 6])
            cands = [rng.randrange(0, 9) for _ in range(n)]
            offset = rng.randint(-2, 2)
            box = rng.choice([0, 1, 2, 3, 5, 15])
            margin = rng.choice([0, 3, 30, -2])
            L, R = textured_pair(rng, w, h, rng.randrange(0, 6), noise=rng.choice([0, 8]))
            md = smallest_max_disp(full_fits, w, h, n, at_least=rng.randrange(2, 6))
            b = ExtraBox(extra, w, h, offset, md, box, margin)
            try:
                got = b.run("sadbox_disp_orig", L, R, cands)
            finally:
                b.free()
            expect = ref.full_resolution(L, R, w, h, offset, box, margin, cands)
            assert got == expect, (w, h, trial, cands, box, offset, margin)


@pytest.mark.parametrize("margin,lower_by,wins", [(5, 5, False), (5, 6, True), (0, 0, False),
                                                   (0, 1, True)])
def test_full_resolution_margin_exact(extra, margin, lower_by, wins):
    # Box 1: the box cost is the pixel's own difference; pixel (3, 2), candidates 0 and 1.
    w, h = 8, 5
    L = [100] * (w * h)
    R = [100] * (w * h)
    R[2 * w + 3] = 100 + 30                 # d = 0 costs 30
    R[2 * w + 2] = 100 + 30 - lower_by      # d = 1 costs 30 - lower_by
    b = ExtraBox(extra, w, h, 0, 3, 1, margin)
    try:
        got = b.run("sadbox_disp_orig", L, R, [0, 1])
    finally:
        b.free()
    assert got == ref.full_resolution(L, R, w, h, 0, 1, margin, [0, 1])
    assert got[2 * w + 3] == (1 if wins else 0)


@pytest.mark.parametrize("real_cost,penalised_wins", [(255, True), (254, False)])
def test_full_resolution_pixel_penalty(extra, real_cost, penalised_wins):
    w, h = 8, 4
    L = [0] * (w * h)
    R = [0] * (w * h)
    R[2 * w + 1] = real_cost
    b = ExtraBox(extra, w, h, 0, 4, 1, 0)
    try:
        got = b.run("sadbox_disp_orig", L, R, [3, 0])  # pixel 1 at d = 3 leaves the row
    finally:
        b.free()
    assert got == ref.full_resolution(L, R, w, h, 0, 1, 0, [3, 0])
    assert got[2 * w + 1] == (3 if penalised_wins else 0)


def test_raster_matches_reference(extra, rng):
    for w, h in [(4, 3), (7, 5), (12, 9), (15, 15), (20, 6), (21, 19)]:
        for box in (0, 1, 2, 3, 5, 15):
            md = rng.randrange(0, min(w, 6))
            L, R = textured_pair(rng, w, h, rng.randrange(0, 4), noise=rng.choice([0, 6]))
            prefill = rng.randrange(256)
            b = ExtraBox(extra, w, h, 0, md, box, 9)
            try:
                got = b.run("sadbox_disp_multiint", L, R, prefill=prefill)
            finally:
                b.free()
            expect = ref.raster(L, R, w, h, md, box, [prefill] * (w * h))
            assert got == expect, (w, h, box, md)


def test_exported_jump_y_is_the_exposed_matcher(mod, extra, rng):
    w, h = 26, 14
    L, R = textured_pair(rng, w, h, 4, noise=4)
    cands = [7, 2, 4, 4, 0]
    b = ExtraBox(extra, w, h, -1, 3, 4, 2)
    try:
        got = b.run("sadbox_disp_jump_y", L, R, cands)
    finally:
        b.free()
    assert got == ref.half_resolution(L, R, w, h, -1, 4, 2, cands)


def test_matchers_can_share_one_work_object(extra, rng):
    # Each call clears the zero rows it relies on, so another matcher's leftovers do not leak.
    w, h, md = 20, 12, 4
    L, R = textured_pair(rng, w, h, 2, noise=5)
    cands = [0, 1, 2, 3, 4]
    b = ExtraBox(extra, w, h, 0, md, 3, 1)
    try:
        for _ in range(2):
            half = b.run("sadbox_disp_jump_y", L, R, cands)
            full = b.run("sadbox_disp_orig", L, R, cands)
            rast = b.run("sadbox_disp_multiint", L, R, prefill=0)
    finally:
        b.free()
    assert half == ref.half_resolution(L, R, w, h, 0, 3, 1, cands)
    assert full == ref.full_resolution(L, R, w, h, 0, 3, 1, cands)
    assert rast == ref.raster(L, R, w, h, md, 3, [0] * (w * h))


@pytest.mark.parametrize("callers", [2, 5])
def test_concurrent_calls_on_separate_work_objects(mod, rng, callers):
    # More callers than cores: team threads are descheduled mid-call and the calls switch
    # between their team and the caller alone.
    w, h = 96, 64
    jobs = []
    for i in range(callers):
        L, R = textured_pair(rng, w, h, 3 + i, noise=6)
        cands = list(range(12))
        jobs.append((L, R, cands))
    expected = []
    for L, R, cands in jobs:
        b = Box(mod, w, h, 0, 11, 7, 4)
        try:
            expected.append(b.disp(L, R, cands))
        finally:
            b.free()
    for (L, R, cands), got in zip(jobs, expected):
        assert got == ref.half_resolution(L, R, w, h, 0, 7, 4, cands)

    failures = []

    def worker(i):
        b = Box(mod, w, h, 0, 11, 7, 4)
        try:
            for _ in range(40):
                if b.disp(jobs[i][0], jobs[i][1], jobs[i][2]) != expected[i]:
                    failures.append(i)
        finally:
            b.free()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(callers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


SINGLE_THREAD_RUN = r"""
import random, sys
from stereo import _disparity as m
w, h = int(sys.argv[1]), int(sys.argv[2])
r = random.Random(7)
L = bytes(r.randrange(256) for _ in range(w * h))
R = bytes(L[i + 3] if (i % w) + 3 < w else 0 for i in range(w * h))
sb = m.lib.sadbox_init(w, h, 0, 16, 9, 2)
out = m.ffi.new("uint8_t[]", w * h)
m.lib.sadbox_disp(sb, out, L, R, 16, list(range(16)))
sys.stdout.write(bytes(out).hex())
"""


def test_one_thread_gives_the_same_output(tmp_path):
    # The matcher asks for two threads itself; OMP_THREAD_LIMIT caps the team at one.
    outputs = []
    for limit in ("1", None):
        env = dict(os.environ)
        env.pop("OMP_THREAD_LIMIT", None)
        if limit:
            env["OMP_THREAD_LIMIT"] = limit
        res = subprocess.run([sys.executable, "-c", SINGLE_THREAD_RUN, "77", "45"], env=env,
                             capture_output=True, text=True, timeout=120, check=True)
        outputs.append(res.stdout)
    assert outputs[0] and outputs[0] == outputs[1]


def test_timing_entry_prints_its_protocol(tmp_path):
    program = os.path.join(os.environ["ZENT_BUILD_DIR"], "disparity", "sadbox_timing")
    via_library = ("import cffi\nfrom stereo import _disparity as m\nf = cffi.FFI()\n"
                   "f.cdef('int main(void);')\nimport sys\n"
                   "sys.exit(f.dlopen(m.__file__).main())\n")
    for cmd in ([program], [sys.executable, "-c", via_library]):
        res = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
        assert res.returncode == 0, res.stderr
        lines = res.stdout.splitlines()
        assert lines[:2] == ["Threads: 2", "Threads: 2"]
        assert lines[2:52] == [str(i) for i in range(50)]
        assert len(lines) == 53
        import re
        assert re.fullmatch(r"Time: \d+\.\d{6} s", lines[52]), lines[52]


@pytest.mark.parametrize("box", [-1, -2, -5])
def test_negative_box_fits_nowhere(mod, extra, rng, box):
    # Like a box larger than the image: nothing is decided, and nothing is written outside the
    # output or read outside the work object.
    w, h, md = 14, 10, 5
    L, R = textured_pair(rng, w, h, 2, noise=3)
    cands = [0, 1, 2, 3]
    b = Box(mod, w, h, 0, md, box, 0)
    try:
        assert b.disp(L, R, cands) == [0] * (w * h)
    finally:
        b.free()
    e = ExtraBox(extra, w, h, 0, md, box, 0)
    try:
        assert e.run("sadbox_disp_orig", L, R, cands) == [0] * (w * h)
        # The raster matcher still writes from index max_disp on: slot 0 everywhere.
        assert e.run("sadbox_disp_multiint", L, R, prefill=0x77) == [0x77] * md + [0] * (w * h - md)
    finally:
        e.free()
    assert ref.raster(L, R, w, h, md, w + h, [0x77] * (w * h)) == [0x77] * md + [0] * (w * h - md)
