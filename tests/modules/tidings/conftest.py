"""Runs _tidings in child interpreters under a fresh camera root: the subscription is
process-wide and the event thread owns the default main context, so each scenario gets a
process of its own. The child reaches the event library stand-in's control calls through
ctypes (the same library the module is linked with) and prints one RESULT line of JSON."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

QLEVENT_LIB = os.environ.get("QLEVENT_LIB", "")
QLEVENT_TOOL = os.environ.get("QLEVENT_TOOL", "")

PRELUDE = """
import ctypes, json, os, sys, threading, time
import _tidings
ffi, lib = _tidings.ffi, _tidings.lib
ql = ctypes.CDLL(os.environ["QLEVENT_LIB"])
ql.qlevent_sim_inject.argtypes = [ctypes.c_char_p]
ql.qlevent_sim_fail.argtypes = [ctypes.c_char_p]
def out(**kw):
    print("RESULT " + json.dumps(kw), flush=True)
def text(fn):
    n = fn(None, 0)
    buf = ctypes.create_string_buffer(n + 1)
    fn(buf, n + 1)
    return buf.value.decode()
def until(pred, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            raise SystemExit("timed out waiting")
        time.sleep(0.002)
def blocked_reader():
    box = {}
    t = threading.Thread(target=lambda: box.setdefault("word", lib.pop_states_block()))
    t.start()
    return t, box
"""


class Child:
    def __init__(self, proc):
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
        self.result = json.loads(lines[-1][7:]) if lines else None


def child_env(root, **extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QLEVENT_FAIL")}
    env["ZENT_ROOT"] = str(root)
    env.update({k: str(v) for k, v in extra.items()})
    return env


@pytest.fixture
def child(tmp_path):
    """child(code, **env) runs the prelude and `code` in a fresh interpreter; the timeout
    turns a deadlock into a failure."""
    def run(code, timeout=60, **env):
        proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                              env=child_env(tmp_path, **env), capture_output=True, text=True,
                              timeout=timeout, cwd=tmp_path)
        return Child(proc)
    return run
