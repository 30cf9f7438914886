"""Runs _orvex_video in a child interpreter with the simulated capture drivers preloaded: the
stop flag is process-wide and an impossible window ends the process, so every scenario gets
a process of its own. The child prints one JSON line with what it measured."""
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

BUILD = Path(os.environ["ZENT_BUILD_DIR"])
DEVSIM = BUILD / "sim" / "devsim" / "libdevsim.so"
MODULE = BUILD / "py" / "_orvex_video.so"

PRELUDE = """
import ctypes, json, os, sys, threading, time
import _orvex_video
ffi, lib = _orvex_video.ffi, _orvex_video.lib
dev = ctypes.CDLL(os.environ["ORVEX_TEST_DEVSIM"])
native = ctypes.CDLL(os.environ["ORVEX_TEST_MODULE"])
def out(**kw):
    print("RESULT " + json.dumps(kw), flush=True)
"""

IOCTL_RE = re.compile(r"^ioctl (?P<node>\S+) (?P<name>\S+) words=(?P<words>\S*) result=(?P<result>\S+)")


def preload():
    san = os.environ.get("ZENT_SANITIZER_PRELOAD")
    return f"{san}:{DEVSIM}" if san else str(DEVSIM)


class Child:
    def __init__(self, rc, stdout, stderr, log):
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr
        self.log = log
        results = [l for l in stdout.splitlines() if l.startswith("RESULT ")]
        self.result = json.loads(results[-1][7:]) if results else None

    def ioctls(self, node=None, name=None):
        found = []
        for line in self.log:
            m = IOCTL_RE.match(line)
            if not m or (node and m["node"] != node) or (name and m["name"] != name):
                continue
            words = [int(w) for w in m["words"].split(",") if w]
            found.append((m["node"], m["name"], words, m["result"]))
        return found

    def lines(self, prefix):
        return [l for l in self.log if l.startswith(prefix)]


@pytest.fixture
def child(tmp_path):
    """child(code, **env) runs `code` after the prelude and returns a Child."""
    def run(code, timeout=60, **env):
        log = tmp_path / "devsim.log"
        if log.exists():
            log.unlink()
        e = {k: v for k, v in os.environ.items()
             if not k.startswith(("DEVSIM_", "QLPARAMETER_"))}
        e.update({"ZENT_ROOT": str(tmp_path), "DEVSIM_LOG": str(log), "LD_PRELOAD": preload(),
                  "ORVEX_TEST_DEVSIM": str(DEVSIM), "ORVEX_TEST_MODULE": str(MODULE)})
        e.update({k: str(v) for k, v in env.items()})
        p = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=e,
                           capture_output=True, text=True, timeout=timeout, cwd=tmp_path)
        lines = log.read_text().splitlines() if log.exists() else []
        return Child(p.returncode, p.stdout, p.stderr, lines)
    return run
