# The whole chain on the simulated camera: the launcher starts the sample application with
# the modules of this build, which captures stereo pairs from the simulated drivers,
# rectifies them, computes disparity and a background model, and saves what it sees.
import os
import re
import struct
import zlib

from conftest import DEVSIM, package, wait_for

OUT = "/tmp/pipeline"
PICTURES = ("left.png", "disparity.png", "mask.png")
FLOOR, PERSON, SCALE = 4, 12, 17  # the simulated scene's disparities, grey levels per pixel


def read_png(path):
    """(width, height, pixels) of an 8-bit greyscale PNG as the application writes them."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        assert struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0] == \
            zlib.crc32(kind + body) & 0xffffffff
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour = header[:4]
    assert (depth, colour) == (8, 0)
    raw = zlib.decompress(idat)
    rows = [raw[y * (width + 1):(y + 1) * (width + 1)] for y in range(height)]
    assert all(r[0] == 0 for r in rows)  # no row filter
    return width, height, b"".join(r[1:] for r in rows)


def histogram(pixels):
    counts = {}
    for v in pixels:
        counts[v] = counts.get(v, 0) + 1
    return counts


def sanitizer_settings():
    """In the sanitizer build the modules need their runtime loaded first, and the
    interpreter's own allocations are not ours to report."""
    runtime = os.environ.get("ZENT_SANITIZER_PRELOAD", "")
    if not runtime:
        return [], []
    return runtime.split(":"), ["ASAN_OPTIONS=detect_leaks=0:halt_on_error=1",
                                "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"]


def test_pipeline_writes_pictures_of_the_scene(camera):
    first, env = sanitizer_settings()
    c = camera(install=package("package-pipeline"), preload=first + [DEVSIM], env=env)
    c.start()
    c.wait_status("running", timeout=60)
    paths = [c.path(OUT + "/" + name) for name in PICTURES]
    wait_for(lambda: all(os.path.exists(p) for p in paths), 60, "the first pictures")
    log = c.log()
    assert "app: pipeline not started" not in log, log[-3000:]
    # The misaligned right camera was calibrated: matching points end up on the same row.
    m = re.search(r"counter: pipeline: calibrated on (\d+) matches: row difference "
                  r"([\d.]+) px before, ([\d.]+) px after", log)
    assert m, log[-3000:]
    assert int(m.group(1)) >= 12 and float(m.group(2)) >= 2.0 and float(m.group(3)) < 1.0

    left, disparity, mask = (read_png(p) for p in paths)
    assert left[:2] == disparity[:2] == mask[:2] == (320, 240)
    n = 320 * 240
    # The rectified picture shows texture, not a flat or empty frame.
    assert len(histogram(left[2])) > 100
    # The disparity map holds the floor and the person at their own levels.
    levels = histogram(disparity[2])
    near = sum(v for k, v in levels.items() if k >= (PERSON - 2) * SCALE)
    floor = sum(v for k, v in levels.items() if (FLOOR - 1) * SCALE <= k <= (FLOOR + 1) * SCALE)
    assert floor > 0.5 * n, levels
    assert 0.01 * n < near < 0.2 * n, levels
    # The foreground mask picks out the person: a part of the picture, nearer than the floor.
    assert set(histogram(mask[2])) <= {0, 255}
    fg = [i for i, v in enumerate(mask[2]) if v]
    assert 0.01 * n < len(fg) < 0.2 * n
    assert sum(1 for i in fg if disparity[2][i] >= (PERSON - 2) * SCALE) > 0.8 * len(fg)
    # Every few seconds the pictures are saved again, from later frames.
    saved = len(re.findall(r"counter: pipeline: frame \d+: disparity and mask saved", log))
    c.wait_log(r"counter: pipeline: frame \d+: disparity and mask saved", count=saved + 1,
               timeout=30)
    assert c.stop() == 0
    assert "Killed app gracefully." in c.log()
