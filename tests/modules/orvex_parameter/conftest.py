"""Runs _orvex_parameter in child interpreters under a fresh camera root, with the system log
recorded by the preloaded stand-in. A child prints one RESULT line of JSON."""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("ZENT_SOURCE_DIR", Path(__file__).resolve().parents[3]))
SHIM = os.environ.get("ZENT_SYSLOG_SHIM", "")
QLPARAM = os.environ.get("QLPARAM", "")

PRELUDE = """
import json, os, sys, threading, time
import _orvex_parameter
ffi, lib = _orvex_parameter.ffi, _orvex_parameter.lib
def out(**kw):
    print("RESULT " + json.dumps(kw), flush=True)
"""


class Child:
    def __init__(self, proc, record):
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
        self.result = json.loads(lines[-1][7:]) if lines else None
        self.syslog = ([l.split("\t") for l in record.read_text().splitlines()]
                       if record.exists() else [])


@pytest.fixture
def camera(tmp_path):
    root = tmp_path / "camera"
    subprocess.run([sys.executable, str(SOURCE / "sim" / "make-camera-root"), str(root)],
                   check=True, capture_output=True)
    return root


def child_env(camera, record, **extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("QLPARAMETER_", "ZENT_LOG_STDERR"))}
    preload = [p for p in (os.environ.get("ZENT_SANITIZER_PRELOAD"), SHIM) if p]
    env.update({"ZENT_ROOT": str(camera), "ZENT_SYSLOG_RECORD": str(record),
                "LD_PRELOAD": ":".join(preload)})
    env.update({k: str(v) for k, v in extra.items()})
    return env


@pytest.fixture
def child(camera, tmp_path):
    """child(code, **env) runs the prelude and `code` in a fresh interpreter."""
    def run(code, timeout=60, **env):
        record = tmp_path / "syslog.txt"
        if record.exists():
            record.unlink()
        proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                              env=child_env(camera, record, **env), capture_output=True,
                              text=True, timeout=timeout, cwd=tmp_path)
        return Child(proc, record)
    return run


@pytest.fixture
def qlparam(camera):
    """The store as another process sees it: qlparam(name) -> value ('' when missing)."""
    def get(name):
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        env["ZENT_ROOT"] = str(camera)
        r = subprocess.run([QLPARAM, "get", name], env=env, capture_output=True, text=True)
        return r.stdout.rstrip("\n") if r.returncode == 0 else None
    return get
