"""Runs the recording and snapshot functions of _orvex_video natively (through ctypes on the
module's shared library) in a child interpreter, in a fresh simulated camera root with the
capture library stand-in, the upload client stand-in and the system log recorded. The
recording is process-wide, so every scenario gets a process of its own."""
import email
import email.policy
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

BUILD = Path(os.environ["ZENT_BUILD_DIR"])
SOURCE = Path(os.environ["ZENT_SOURCE_DIR"])
MODULE = BUILD / "py" / "_orvex_video.so"
CAPTURE = BUILD / "sim" / "capture" / "libcapture.so"
DEVSIM = BUILD / "sim" / "devsim" / "libdevsim.so"
SHIM = Path(os.environ.get("ZENT_SYSLOG_SHIM", BUILD / "tests" / "platform" / "libsyslog_shim.so"))

SERIAL = "ACCC8E5A0F11"
BOUNDARY = b"\r\n--myboundary\r\n"

PRELUDE = r"""
import ctypes, json, os, sys, threading, time
native = ctypes.CDLL(os.environ["REC_TEST_MODULE"])
capsim = ctypes.CDLL(os.environ["REC_TEST_CAPTURE"])
libc = ctypes.CDLL(None)
libc.fclose.argtypes = [ctypes.c_void_p]
libc.pthread_mutex_lock.argtypes = [ctypes.c_void_p]
libc.pthread_mutex_unlock.argtypes = [ctypes.c_void_p]
native.start_local_mjpg_record.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
for f in (native.jpeg_image, native.jpeg_single_image):
    f.restype = ctypes.c_void_p
    f.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)]
ROOT = os.environ["ZENT_ROOT"]
RECORDING = ROOT + "/mnt/flash/recording"
slot = ctypes.c_void_p(None)            # the caller's FILE * slot
mutex = ctypes.create_string_buffer(64)  # all zero: a default pthread mutex

def out(**kw):
    print("RESULT " + json.dumps(kw), flush=True)

def threads():
    return len(os.listdir("/proc/self/task"))

BASE_THREADS = threads()

def wait_for(cond, timeout=120, what="condition"):
    end = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > end:
            raise SystemExit("timed out waiting for " + what)
        time.sleep(0.02)

def start(duration):
    return native.start_local_mjpg_record(ctypes.addressof(slot), mutex, duration)

def wait_idle(timeout=120):
    # The recording thread clears `running` as its last step before it exits.
    wait_for(lambda: threads() == BASE_THREADS, timeout, "the recording thread to end")

def stop():
    libc.pthread_mutex_lock(mutex)
    if slot.value:
        libc.fclose(slot.value)
    slot.value = None
    libc.pthread_mutex_unlock(mutex)

def parts_on_disk():
    try:
        data = open(RECORDING, "rb").read()
    except FileNotFoundError:
        return 0
    return data.count(b"\r\n--myboundary\r\nContent-Type: image/jpeg\r\n")

def snap(fn, query, size_first=-7):
    size = ctypes.c_int(size_first)
    p = fn(None, query, ctypes.byref(size))
    data = ctypes.string_at(p, size.value) if p else None
    return p, size.value, data
"""


class Child:
    def __init__(self, proc, root, record, caplog):
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.root = root
        results = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
        self.results = [json.loads(l[7:]) for l in results]
        self.result = self.results[-1] if self.results else None
        self.syslog = []
        if record.exists():
            for line in record.read_text(errors="replace").splitlines():
                kind, _, rest = line.partition("\t")
                if kind == "msg":
                    prio, _, text = rest.partition("\t")
                    # The system log drops a message's closing newline.
                    if text.endswith("\\n"):
                        text = text[:-2]
                    self.syslog.append((int(prio), text))
        self.capture_log = caplog.read_text().splitlines() if caplog.exists() else []

    def messages(self, prefix="capture: "):
        return [(p, t) for p, t in self.syslog if t.startswith(prefix)]

    def skyput_calls(self):
        calls = self.root / "tmp" / "skyput.calls"
        if not calls.exists():
            return []
        return [json.loads(l) for l in calls.read_text().splitlines()]


def make_root(path, serial=SERIAL, extra=()):
    args = [sys.executable, str(SOURCE / "sim" / "make-camera-root"), str(path),
            "--param", "root.Properties.System.SerialNumber=" + serial,
            "--param", "root.stereo.Counter0Zoom=5000"]
    for item in extra:
        args += ["--param", item]
    subprocess.run(args, check=True, capture_output=True, text=True)
    return path


@pytest.fixture
def camera(tmp_path):
    """camera(serial=..., name=...) lays out a simulated camera root and returns its path."""
    def build(serial=SERIAL, name="root", extra=()):
        return make_root(tmp_path / name, serial, extra)
    return build


@pytest.fixture
def child(tmp_path):
    """child(code, root, **env) runs `code` after the prelude with `root` as ZENT_ROOT."""
    def run(code, root, timeout=300, **env):
        record = tmp_path / "syslog.record"
        caplog = tmp_path / "capture.log"
        for f in (record, caplog):
            if f.exists():
                f.unlink()
        e = {k: v for k, v in os.environ.items()
             if not k.startswith(("DEVSIM_", "QLPARAMETER_", "CAPTURE_"))}
        preload = [p for p in (os.environ.get("ZENT_SANITIZER_PRELOAD"), str(DEVSIM), str(SHIM),
                               os.environ.get("REC_TEST_EXTRA_PRELOAD")) if p]
        e.update({"ZENT_ROOT": str(root), "LD_PRELOAD": ":".join(preload),
                  "ZENT_SYSLOG_RECORD": str(record), "CAPTURE_LOG": str(caplog),
                  "REC_TEST_MODULE": str(MODULE), "REC_TEST_CAPTURE": str(CAPTURE)})
        e.pop("ZENT_UPLOAD_ENDPOINT", None)
        e.update({k: str(v) for k, v in env.items()})
        p = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=e,
                           capture_output=True, text=True, timeout=timeout, cwd=tmp_path)
        return Child(p, Path(root), record, caplog)
    return run


PART_RE = re.compile(rb"\r\n--myboundary\r\nContent-Type: ([^\r\n]*)\r\nContent-Length: (\d+)\r\n\r\n")


def split_parts(data):
    """The recording split byte for byte by its part headers: [(type, body)]."""
    parts, pos = [], 0
    while pos < len(data):
        m = PART_RE.match(data, pos)
        assert m, "no part header at byte %d: %r" % (pos, data[pos:pos + 60])
        n = int(m[2])
        body = data[m.end():m.end() + n]
        assert len(body) == n, "part at byte %d cut short" % pos
        parts.append((m[1].decode(), body))
        pos = m.end() + n
    return parts


def mime_parts(data):
    """The recording read by Python's own multipart parser, given the stream's outer header:
    [(type, Content-Length, body)]."""
    msg = email.message_from_bytes(
        b"Content-Type: multipart/mixed; boundary=myboundary\r\n\r\n" + data,
        policy=email.policy.compat32)
    assert msg.is_multipart()
    return [(p.get_content_type(), int(p["Content-Length"]), p.get_payload(decode=True))
            for p in msg.get_payload()]


COMMENT_RE = re.compile(rb"frame=(\d+) stream=(\d+) resolution=(\d+)x(\d+) quality=(\d+)")


def jpeg_facts(body):
    """Decodes a JPEG completely with Pillow; (size, frame number, stream, quality)."""
    import io
    from PIL import Image
    img = Image.open(io.BytesIO(body))
    img.load()
    assert img.format == "JPEG"
    m = COMMENT_RE.search(body)
    assert m, "no frame comment"
    assert (int(m[3]), int(m[4])) == img.size
    return img.size, int(m[1]), int(m[2]), int(m[5])
