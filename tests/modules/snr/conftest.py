"""A private system-style bus for each test, the image-control service on it, and a child
interpreter with _snr that the test drives statement by statement (so the bus can be
stopped or restarted between two calls). DBUS_SYSTEM_BUS_ADDRESS always points at the
private bus, so nothing ever reaches the host's bus."""
import json
import os
import select
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("ZENT_SOURCE_DIR", Path(__file__).resolve().parents[3]))
IMAGECONTROLD = os.environ.get("IMAGECONTROLD", "")
CONF_TEMPLATE = SOURCE / "sim" / "imagecontrol" / "system-bus.conf.in"
DEST = "com.orvex.ImageControl"
PATH = "/com/orvex/ImageControl/0/0"


def read_line(stream, timeout):
    """One line from a pipe, or None when none came within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    line = b""
    fd = stream.fileno()
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        chunk = os.read(fd, 1)
        if not chunk:
            return None
        line += chunk
    return line.decode()


def bus_env(address, **extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS_")}
    env["DBUS_SYSTEM_BUS_ADDRESS"] = address
    env.update({k: str(v) for k, v in extra.items()})
    return env


class Bus:
    def __init__(self, tmp_path):
        self.dir = tmp_path
        # An abstract socket: no file, and no path-length limit from deep test directories.
        self.address = "unix:abstract=zent-snr-test-" + uuid.uuid4().hex
        self.daemon = None
        self.services = []

    def start(self):
        conf = self.dir / "bus.conf"
        conf.write_text(CONF_TEMPLATE.read_text().replace("@LISTEN@", self.address))
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + str(conf), "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=bus_env(self.address))
        line = read_line(self.daemon.stdout, 10)
        assert line and line.startswith(self.address), "bus did not start"
        return self

    def stop(self):
        if self.daemon is not None and self.daemon.poll() is None:
            self.daemon.terminate()
            self.daemon.wait(10)
        self.daemon = None
        for s in self.services:
            try:
                s.wait(10)      # a service ends with its bus
            except subprocess.TimeoutExpired:
                s.kill()
                s.wait()
        self.services = []

    def service(self, *args):
        p = subprocess.Popen([IMAGECONTROLD, *map(str, args)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=bus_env(self.address))
        assert read_line(p.stdout, 10) == "ready\n", p.stderr.read1().decode()
        self.services.append(p)
        return p

    def ctl(self, method, *args):
        """Calls the service's control interface with dbus-send ("int32:5" style args)."""
        r = subprocess.run(["dbus-send", "--bus=" + self.address, "--print-reply",
                            "--dest=" + DEST, PATH, "sim.ImageControl." + method, *args],
                           capture_output=True, text=True, timeout=10, env=bus_env(self.address))
        assert r.returncode == 0, r.stderr
        return r.stdout

    def calls(self):
        return int(self.ctl("GetCalls").split()[-1])


@pytest.fixture
def bus(tmp_path):
    b = Bus(tmp_path).start()
    yield b
    b.stop()


CHILD = r"""
import json, sys, threading, time
import _snr
ffi, lib = _snr.ffi, _snr.lib
def text(p):
    return None if p == ffi.NULL else ffi.string(p).decode()
ns = dict(globals())
for line in sys.stdin:
    cmd = json.loads(line)
    try:
        if cmd["exec"]:
            exec(cmd["code"], ns)
            res = None
        else:
            res = eval(cmd["code"], ns)
        print(json.dumps({"ok": res}), flush=True)
    except Exception as e:
        print(json.dumps({"err": repr(e)}), flush=True)
"""


class Interpreter:
    """A child interpreter that runs one statement or expression per request."""

    def __init__(self, address):
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=bus_env(address))

    def _send(self, code, is_exec, timeout):
        self.proc.stdin.write((json.dumps({"code": code, "exec": is_exec}) + "\n").encode())
        self.proc.stdin.flush()
        line = read_line(self.proc.stdout, timeout)
        if line is None:
            raise AssertionError("no answer to %r (alive: %s): %s" % (
                code, self.proc.poll() is None, self.stderr()))
        msg = json.loads(line)
        if "err" in msg:
            raise AssertionError("%s raised %s" % (code, msg["err"]))
        return msg["ok"]

    def __call__(self, expr, timeout=10):
        return self._send(expr, False, timeout)

    def run(self, code, timeout=10):
        self._send(code, True, timeout)

    def alive(self):
        return self.proc.poll() is None

    def stderr(self):
        if self.proc.poll() is None:
            return ""
        return self.proc.stderr.read().decode()

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


@pytest.fixture
def interpreter(bus):
    made = []

    def make(address=None):
        i = Interpreter(address or bus.address)
        made.append(i)
        return i
    yield make
    for i in made:
        i.close()
