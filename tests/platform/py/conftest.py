"""A simulated camera per test for the platform services: a fresh root laid out by
sim/make-camera-root (tools, the package's curl, a web user), the camera's web server
stand-in on request, and each scenario run in a child interpreter that loads _orvex_video
through ctypes with the system log recorded (the services keep process-wide caches)."""
import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

BUILD = Path(os.environ["ZENT_BUILD_DIR"])
SOURCE = Path(os.environ["ZENT_SOURCE_DIR"])
MODULE = BUILD / "py" / "_orvex_video.so"
QLPARAM = BUILD / "sim" / "qlparameter" / "qlparam"
MAKE_ROOT = SOURCE / "sim" / "make-camera-root"
CAMWEB = SOURCE / "sim" / "camweb" / "camweb.py"
SHIM = os.environ.get("ZENT_SYSLOG_SHIM", "")
PYTHON = "/usr/bin/python3"
# The child that loads the module is the interpreter under test (under emulation, the
# target's); the camera's tools and the web server stand-in keep the host's.
MODULE_PYTHON = sys.executable

sys.path.insert(0, str(SOURCE / "sim" / "tools"))
import camera_tools  # noqa: E402

ADMIN = ("root", "Adm1n-secret")

PRELUDE = """
import ctypes, json, os, sys
lib = ctypes.CDLL(os.environ["SVC_MODULE"])
# The sanitizer runtimes and the log recorder are for this process only, not for the camera
# tools the services start.
os.environ.pop("LD_PRELOAD", None)
def fn(name, restype, *argtypes):
    f = getattr(lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f
def out(**kw):
    print("RESULT " + json.dumps(kw), flush=True)
def warnings():
    table = (ctypes.c_char_p * 20).in_dll(lib, "errorset")
    return [table[2 * i].decode() for i in range(10) if table[2 * i] is not None]
def page(name, arg=None, query=b""):
    f = fn(name, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_int))
    n = ctypes.c_int(-1)
    text = f(arg, query, ctypes.byref(n))
    return text.decode("utf-8", "replace"), n.value
"""


class Child:
    def __init__(self, proc, log):
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
        self.result = json.loads(lines[-1][7:]) if lines else None
        self.log = log

    def messages(self, priority=None):
        """Logged messages as (priority, text) with "\\n" shown as a backslash and n."""
        found = []
        for line in self.log:
            parts = line.split("\t", 2)
            if parts[0] == "msg" and len(parts) == 3:
                if priority is None or int(parts[1]) == priority:
                    found.append((int(parts[1]), parts[2]))
        return found

    def texts(self, priority=None):
        return [t for _, t in self.messages(priority)]


class Camera:
    def __init__(self, root):
        self.root = root
        self.web_proc = None
        self.port = None

    def env(self, **extra):
        e = {k: v for k, v in os.environ.items()
             if not k.startswith(("QLPARAMETER_", "ZENT_TEST_", "ZENT_WATCHDOG_"))
             and k != "LD_PRELOAD"}
        e["ZENT_ROOT"] = str(self.root)
        e.update({k: str(v) for k, v in extra.items()})
        return e

    def set(self, *pairs):
        """set(name, value, name, value, ...) in one committed group."""
        subprocess.run([str(QLPARAM), "set", *pairs], env=self.env(), check=True,
                       capture_output=True)

    def get(self, name):
        r = subprocess.run([str(QLPARAM), "get", name], env=self.env(), capture_output=True,
                           text=True)
        return r.stdout[:-1] if r.returncode == 0 else None

    def path(self, rel):
        return self.root / rel.lstrip("/")

    def calls(self, tool):
        f = self.path("tmp/%s.calls" % tool)
        if not f.exists():
            return []
        return [json.loads(l) for l in f.read_text().splitlines()]

    def requests(self):
        f = self.path("tmp/camweb.requests")
        return [json.loads(l) for l in f.read_text().splitlines()] if f.exists() else []

    def web(self):
        """Starts the web server stand-in; it records its port as root.System.BoaPort."""
        self.web_proc = subprocess.Popen(
            [PYTHON, str(CAMWEB), "--root", str(self.root), "--qlparam", str(QLPARAM)],
            env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.web_proc.stdout.readline()
        assert line.startswith("camweb: listening on 127.0.0.1:"), line + self.web_proc.stderr.read()
        self.port = int(line.rsplit(":", 1)[1])
        return self.port

    def stop_web(self):
        if self.web_proc is not None:
            self.web_proc.terminate()
            try:
                self.web_proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.web_proc.kill()
                self.web_proc.wait()
            self.web_proc = None

    def add_user(self, user, password):
        camera_tools.add_user(str(self.root), user, password)

    def state(self, name, text):
        """Writes a file of the web stand-in's state (fault, ptz.body, optics.body)."""
        p = self.path("var/lib/camweb/" + name)
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text)

    def spawn(self, code, **env):
        """Starts `code` in a child interpreter and returns (process, system-log record)."""
        record = self.path("tmp/syslog.record")
        if record.exists():
            record.unlink()
        preload = [p for p in (os.environ.get("ZENT_SANITIZER_PRELOAD"), SHIM) if p]
        e = self.env(SVC_MODULE=MODULE, ZENT_SYSLOG_RECORD=record, **env)
        e["LD_PRELOAD"] = ":".join(preload)
        proc = subprocess.Popen([MODULE_PYTHON, "-c", PRELUDE + textwrap.dedent(code)], env=e,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                cwd=self.root)
        return proc, record

    def run(self, code, timeout=60, **env):
        record = self.path("tmp/syslog.record")
        if record.exists():
            record.unlink()
        preload = [p for p in (os.environ.get("ZENT_SANITIZER_PRELOAD"), SHIM) if p]
        e = self.env(SVC_MODULE=MODULE, ZENT_SYSLOG_RECORD=record, **env)
        e["LD_PRELOAD"] = ":".join(preload)
        proc = subprocess.run([MODULE_PYTHON, "-c", PRELUDE + textwrap.dedent(code)], env=e,
                              capture_output=True, text=True, timeout=timeout, cwd=self.root)
        log = record.read_text().splitlines() if record.exists() else []
        return Child(proc, log)


@pytest.fixture
def camera(tmp_path):
    root = tmp_path / "root"
    subprocess.run([PYTHON, str(MAKE_ROOT), str(root), "--build", str(BUILD), "--package-curl",
                    "--camera-user", "%s:%s" % ADMIN], check=True)
    cam = Camera(root)
    cam.set("root.Network.eth0.IPAddress", "127.0.0.1")
    yield cam
    cam.stop_web()


def wait_for(predicate, timeout=10.0, step=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()

