# Shared fixtures for the stand-in tests: build and source locations, a fresh camera root.
import os
import subprocess
import sys
import time

import pytest

BUILD = os.environ.get("ZENT_BUILD_DIR", "")
SOURCE = os.environ.get("ZENT_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "../../..")))
PYTHON = "/usr/bin/python3"


def build_path(*parts):
    return os.path.join(BUILD, *parts)


def source_path(*parts):
    return os.path.join(SOURCE, *parts)


QLPARAM = build_path("sim", "qlparameter", "qlparam")
QLPARAMETER_LIB = build_path("sim", "qlparameter", "libqlparameter.so")
QLHTTP_ECHO = build_path("tests", "sim", "qlhttp_echo")
PACKAGES = build_path("sim", "app")
MAKE_PACKAGE = source_path("sim", "app", "make-package")
MAKE_CAMERA_ROOT = source_path("sim", "make-camera-root")


def wait_for(predicate, timeout=10.0, interval=0.02):
    """Polls until predicate() is true; returns its last value (falsy on timeout)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


@pytest.fixture
def camera_root(tmp_path, monkeypatch):
    root = tmp_path / "camera"
    subprocess.run([PYTHON, MAKE_CAMERA_ROOT, str(root)], check=True)
    monkeypatch.setenv("ZENT_ROOT", str(root))
    monkeypatch.delenv("QLPARAMETER_DEFAULTS", raising=False)
    monkeypatch.delenv("QLPARAMETER_FAIL_NEW", raising=False)
    return root


def qlparam(*args, check=True, env=None):
    r = subprocess.run([QLPARAM, *args], capture_output=True, text=True, env=env)
    if check and r.returncode != 0:
        raise AssertionError("qlparam %s failed: %s" % (args, r.stderr))
    return r
