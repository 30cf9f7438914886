"""The integrator's script saves a real stereo pair from the simulated camera as PNG files."""
import os
import struct
import subprocess
import sys
import zlib
from pathlib import Path

BUILD = Path(os.environ["ZENT_BUILD_DIR"])
SCRIPT = Path(os.environ["ZENT_SOURCE_DIR"]) / "sim" / "save-stereo-pair"


def read_png(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, head = 8, b"", None
    while pos < len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        assert struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])[0] == zlib.crc32(kind + body)
        if kind == b"IHDR":
            head = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    w, h = head[0], head[1]
    raw = zlib.decompress(idat)
    assert len(raw) == h * (w + 1)
    return w, h, bytes(b for y in range(h) for b in raw[y * (w + 1) + 1:(y + 1) * (w + 1)])


def test_saves_a_nonblank_pair(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    san = os.environ.get("ZENT_SANITIZER_PRELOAD")
    if san:
        env["LD_PRELOAD"] = san + ":" + str(BUILD / "sim" / "devsim" / "libdevsim.so")
        env["ZENT_ROOT"] = str(tmp_path)
    p = subprocess.run([sys.executable, str(SCRIPT), "--build", str(BUILD), "--size", "160x120",
                        str(tmp_path / "pair")], env=env, capture_output=True, text=True,
                       timeout=60)
    assert p.returncode == 0, p.stderr
    assert "left.png and right.png: 160x120" in p.stdout
    for name in ("left", "right"):
        w, h, pixels = read_png(tmp_path / "pair" / (name + ".png"))
        assert (w, h) == (160, 120)
        assert len(set(pixels)) > 20
