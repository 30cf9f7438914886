# The drivers as an interpreter reaches them: plain os/fcntl/mmap calls on the device nodes
# in a child interpreter with the stand-in preloaded, and its control interface via ctypes.
import os
import subprocess
import sys
import textwrap
from pathlib import Path

BUILD = Path(os.environ["ZENT_BUILD_DIR"])
DEVSIM = BUILD / "sim" / "devsim" / "libdevsim.so"


def preload():
    san = os.environ.get("ZENT_SANITIZER_PRELOAD")
    return f"{san}:{DEVSIM}" if san else str(DEVSIM)


def run_child(tmp_path, body, **extra_env):
    env = {k: v for k, v in os.environ.items() if not k.startswith("DEVSIM_")}
    env.update({"ZENT_ROOT": str(tmp_path), "LD_PRELOAD": preload(),
                "DEVSIM_LOG": str(tmp_path / "devsim.log"), "DEVSIM_PATH": str(DEVSIM)})
    env.update(extra_env)
    prologue = textwrap.dedent("""
        import ctypes, fcntl, mmap, os, struct, select
        import numpy as np
        dev = ctypes.CDLL(os.environ["DEVSIM_PATH"])
        def words(*w, n=None):
            w = list(w) + [0] * ((n or len(w)) - len(w))
            return bytearray(struct.pack("<%dI" % len(w), *w))
        def ioc(fd, req, block):
            return fcntl.ioctl(fd, req, block, True)
        table = mmap.mmap(-1, 4096, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | 0x40)
        entries = [7 * i for i in range(512)] + [4095]
        table[:1026] = struct.pack("<513H", *entries)
        table_addr = ctypes.addressof(ctypes.c_char.from_buffer(table))
        assert table_addr < 2 ** 32
    """)
    r = subprocess.run([sys.executable, "-c", prologue + textwrap.dedent(body)], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout, (tmp_path / "devsim.log").read_text().splitlines()


def test_worked_example_frame_through_python(tmp_path):
    out, log = run_child(tmp_path, """
        sensor = ((np.arange(1080)[:, None] * 13 + np.arange(1920)[None, :] * 7) & 255)
        sensor = np.ascontiguousarray(sensor.astype(np.uint8))
        assert dev.devsim_cam_set_sensor(0, 1920, 1080, sensor.ctypes.data_as(ctypes.c_char_p)) == 0
        fd = os.open("/dev/cam0", os.O_RDWR)
        assert ioc(fd, 0x80182A0F, words(3, 0, 1026, table_addr, 1, 0)) == 0
        assert ioc(fd, 0x801C2A50, words(127, 1, 0, 0, 1919, 1079, 0)) == 0
        off = ioc(fd, 0x80802A51, words(3, 3, 1, 1, 214, 0, 1279, 959, n=32))
        assert off > 0 and off % mmap.PAGESIZE == 0
        buf = mmap.mmap(fd, 160 * 120 + 128, offset=off)
        hdr = np.frombuffer(buf, dtype="<u4", count=32)
        buf[40:44] = struct.pack("<I", 0)
        buf[32:36] = struct.pack("<I", 2)
        assert dev.devsim_cam_fill(0, -1, 10, 500000, 11, 250000) == 0
        p = select.poll(); p.register(fd, select.POLLIN)
        assert p.poll(1000)
        assert hdr[8] == 3 and list(hdr[11:15]) == [10, 500000, 11, 250000]
        img = np.frombuffer(buf, dtype=np.uint8, offset=128).reshape(120, 160)
        ox, oy = np.meshgrid(np.arange(160), np.arange(120))
        want = sensor[((0 + (oy << 3)) * 1151) >> 10, ((214 + (ox << 3)) * 1151) >> 10]
        assert (img == want).all()
        assert dev.devsim_cam_requests(0, 0x80802A51) == 1
        assert dev.devsim_cam_buffers(0) == 1
        del img, hdr
        buf.close()
        assert ioc(fd, 0x80042A52, off) == 0
        os.close(fd)
        assert dev.devsim_cam_buffers(0) == 0
        print("ok")
    """)
    assert out.strip() == "ok"
    assert "open /dev/cam0 ok" in log
    assert any(l.startswith("ioctl /dev/cam0 CAM_ADD_BUFFER words=3,3,1,1,214,0,1279,959,0,")
               for l in log)
    assert any(l.startswith("fill /dev/cam0 slot=0 frame=0 user_sec=10 user_usec=500000 "
                            "cap_sec=11 cap_usec=250000") for l in log)
    assert log[-1] == "close /dev/cam0"


def test_missing_nodes_and_producer_from_python(tmp_path):
    out, _ = run_child(tmp_path, """
        try:
            os.open("/dev/cam1", os.O_RDWR)
            raise SystemExit("opened a missing node")
        except FileNotFoundError:
            pass
        fd = os.open("/dev/cam0", os.O_RDWR)
        assert ioc(fd, 0x80182A0F, words(3, 0, 1026, table_addr, 1, 0)) == 0
        assert ioc(fd, 0x801C2A50, words(0, 0, 0, 0, 0, 0, 0)) == 0
        maps = []
        for i in range(3):
            off = ioc(fd, 0x80802A51, words(3, 4, n=32))
            m = mmap.mmap(fd, 160 * 120 + 128, offset=off)
            m[32:36] = struct.pack("<I", 2)
            maps.append(m)
        assert dev.devsim_cam_run(0, 0, 0) == 0
        p = select.poll(); p.register(fd, select.POLLIN)
        got = 0
        while got < 50:
            assert p.poll(2000)
            for m in maps:
                if struct.unpack_from("<I", m, 32)[0] == 3:
                    got += 1
                    m[32:36] = struct.pack("<I", 2)
        dev.devsim_cam_halt()
        assert dev.devsim_cam_dropped(0) == 0
        print("ok")
    """, DEVSIM_CAM_MISSING="1")
    assert out.strip() == "ok"
