# The sample application package: archive layout and variants, the spawn record, the
# marker, signal behaviour, its update script, and the camera tools around it.
import ctypes
import json
import os
import shutil
import signal
import stat
import subprocess
import tarfile
import threading

import pytest

from conftest import MAKE_CAMERA_ROOT, MAKE_PACKAGE, PACKAGES, PYTHON, source_path, wait_for

PKG_SUFFIX = "usr/local/packages/tallyo/package"
SPAWN_ENV = {"RUNNING_ON_TARGET": "y", "LD_LIBRARY_PATH": ".:/", "PYTHONPATH": "python-site-packages"}


def make_pkg(tmp_path, name, *opts):
    out = tmp_path / name
    subprocess.run([PYTHON, MAKE_PACKAGE, "--out", str(out), *opts], check=True)
    return out


def members(archive):
    with tarfile.open(archive, "r:gz") as t:
        return {m.name: m for m in t.getmembers()}


def member_text(archive, name):
    with tarfile.open(archive, "r:gz") as t:
        return t.extractfile(name).read()


_glib = ctypes.CDLL("libglib-2.0.so.0")
_glib.g_key_file_new.restype = ctypes.c_void_p
_glib.g_key_file_load_from_data.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ssize_t,
                                            ctypes.c_int, ctypes.c_void_p]
_glib.g_key_file_get_value.restype = ctypes.c_void_p
_glib.g_key_file_get_value.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                       ctypes.c_void_p]
_glib.g_key_file_free.argtypes = [ctypes.c_void_p]
_glib.g_free.argtypes = [ctypes.c_void_p]


def key_file(data):
    """The manifest as GLib's key-file loader sees it: None when it does not load."""
    kf = _glib.g_key_file_new()
    try:
        if not _glib.g_key_file_load_from_data(kf, data, len(data), 0, None):
            return None
        out = {}
        for group, key in (("firmware", "min_required"), ("firmware", "blacklist"),
                           ("pellum", "min_required"), ("pellum", "blacklist")):
            p = _glib.g_key_file_get_value(kf, group.encode(), key.encode(), None)
            if p:
                out["%s.%s" % (group, key)] = ctypes.string_at(p).decode()
                _glib.g_free(p)
        return out
    finally:
        _glib.g_key_file_free(kf)


class Lines:
    """Collects a pipe's lines on a thread so that tests can wait for one with a deadline."""

    def __init__(self, pipe):
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, args=(pipe,), daemon=True)
        self.thread.start()

    def _run(self, pipe):
        for line in iter(pipe.readline, b""):
            with self.lock:
                self.lines.append(line.decode())
        pipe.close()

    def count(self, text):
        with self.lock:
            return sum(1 for l in self.lines if text in l)

    def wait(self, text, timeout=10.0, times=1):
        return wait_for(lambda: self.count(text) >= times, timeout)


class App:
    def __init__(self, root, script="app.py", args=(), runner="./pyrun"):
        self.root = root
        if runner != "./pyrun":
            shutil.copy2(str(root / PKG_SUFFIX / "pyrun"), str(root / PKG_SUFFIX / runner))
        self.proc = subprocess.Popen([runner, script, *args], cwd=str(root / PKG_SUFFIX),
                                     env=SPAWN_ENV, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = Lines(self.proc.stdout)
        self.err = Lines(self.proc.stderr)

    def record(self):
        path = self.root / "tmp" / "app-started.json"
        assert wait_for(path.exists), "no start record"
        return json.loads(path.read_text())

    def marker(self):
        return (self.root / "tmp" / "runner_mounted_apps").exists()

    def wait_exit(self, timeout=10):
        return self.proc.wait(timeout=timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def installed(tmp_path):
    """A camera root with the given package archive installed; yields a starter."""
    apps = []

    def start(archive, script="app.py", args=(), runner="./pyrun.t"):
        # Under another name than "pyrun" unless the name is what is tested: launcher tests
        # elsewhere on the machine run "killall -9 pyrun".
        root = tmp_path / "cam"
        subprocess.run([PYTHON, MAKE_CAMERA_ROOT, str(root), "--install", str(archive)], check=True)
        app = App(root, script, args, runner)
        apps.append(app)
        return app

    yield start
    for a in apps:
        a.close()


def test_default_archive_layout():
    archive = os.path.join(PACKAGES, "package.tar.gz")
    m = members(archive)
    assert set(m) == {"package", "package/pyrun", "package/app.py", "package/app.conf",
                      "package/update.sh", "package/REQUIREMENTS.ini",
                      "package/python-site-packages",
                      "package/python-site-packages/sample_helper.py"}
    assert m["package"].isdir() and m["package/python-site-packages"].isdir()
    for exe in ("package/pyrun", "package/update.sh"):
        assert m[exe].mode & 0o111 == 0o111, exe
    assert member_text(archive, "package/pyrun").startswith(b"#!/usr/bin/python3\n")
    assert member_text(archive, "package/update.sh").startswith(b"#!/bin/sh\n")
    assert key_file(member_text(archive, "package/REQUIREMENTS.ini")) == {
        "firmware.min_required": "5.50", "pellum.min_required": "1.6"}


def test_fixed_variants_built_by_the_build():
    def conf(name):
        return json.loads(member_text(os.path.join(PACKAGES, name), "package/app.conf"))

    assert conf("package-crash.tar.gz")["behaviour"] == "crash"
    assert conf("package-noterm.tar.gz")["behaviour"] == "noterm"
    assert conf("package-nomarker.tar.gz")["behaviour"] == "nomarker"
    assert conf("package-v2.tar.gz")["label"] == "v2"
    bad = member_text(os.path.join(PACKAGES, "package-badmanifest.tar.gz"), "package/REQUIREMENTS.ini")
    assert key_file(bad) is None
    old = member_text(os.path.join(PACKAGES, "package-oldfw.tar.gz"), "package/REQUIREMENTS.ini")
    assert key_file(old)["firmware.min_required"] == "6.60"


def test_pipeline_variant_carries_the_modules():
    archive = os.path.join(PACKAGES, "package-pipeline.tar.gz")
    m = members(archive)
    site = "package/python-site-packages/"
    for name in ("_orvex_video.so", "stereo/_rectification.so", "stereo/_disparity.so",
                 "stereo/_sievel.so"):
        assert m[site + name].isfile() and m[site + name].size > 0, name
        assert member_text(archive, site + name)[:4] == b"\x7fELF"
    assert m[site + "stereo"].isdir()
    assert member_text(archive, site + "stereo/__init__.py") == b""
    assert member_text(archive, site + "pipeline.py") == open(
        source_path("sim", "app", "pipeline.py"), "rb").read()
    assert json.loads(member_text(archive, "package/app.conf"))["behaviour"] == "pipeline"


def test_root_preload_and_environment_reach_the_application(tmp_path):
    # The launcher gives the application three variables; the root's loader settings are
    # added by the package's runtime, in the same process.
    root = tmp_path / "cam"
    # A library the sample never loads by itself, uninstrumented in every build.
    lib = "libglib-2.0.so.0"
    subprocess.run([PYTHON, MAKE_CAMERA_ROOT, str(root), "--install",
                    os.path.join(PACKAGES, "package.tar.gz"), "--preload", lib,
                    "--env", "SIM_FLAG=a=b c"], check=True)
    assert (root / "etc" / "ld.so.preload").read_text() == lib + "\n"
    assert (root / "etc" / "environment").read_text() == "SIM_FLAG=a=b c\n"
    app = App(root, "app.py", ("--x",), runner="./pyrun")
    try:
        rec = app.record()
        assert rec["env"] == dict(SPAWN_ENV, LD_PRELOAD=lib, SIM_FLAG="a=b c")
        assert rec["pid"] == app.proc.pid
        assert rec["pyrun_argv"] == ["./pyrun", "app.py", "--x"]
        with open("/proc/%d/comm" % app.proc.pid) as f:
            assert f.read().strip() == "pyrun"
        with open("/proc/%d/maps" % app.proc.pid) as f:
            assert "/libglib-2.0.so.0" in f.read()
        assert app.out.wait("app: started pid=%d" % app.proc.pid)
    finally:
        app.close()


def test_generator_options(tmp_path):
    a = make_pkg(tmp_path, "a.tar.gz", "--manifest", "none", "--no-update-sh", "--app-pyc")
    names = set(members(a))
    assert "package/REQUIREMENTS.ini" not in names and "package/update.sh" not in names
    assert "package/app.pyc" in names and "package/app.py" not in names

    b = make_pkg(tmp_path, "b.tar.gz", "--min-firmware", "6.50.1.0", "--min-pellum", "none",
                 "--blacklist-firmware", "6.40;6.50.1", "--blacklist-pellum", "1.5")
    assert key_file(member_text(b, "package/REQUIREMENTS.ini")) == {
        "firmware.min_required": "6.50.1.0", "firmware.blacklist": "6.40;6.50.1",
        "pellum.blacklist": "1.5"}

    custom = tmp_path / "m.ini"
    custom.write_bytes(b"[pellum]\nmin_required=9.9\n")
    c = make_pkg(tmp_path, "c.tar.gz", "--manifest", str(custom), "--failing-update-sh")
    assert member_text(c, "package/REQUIREMENTS.ini") == custom.read_bytes()
    assert b"return 1" in member_text(c, "package/update.sh")

    r = subprocess.run([PYTHON, MAKE_PACKAGE, "--out", str(tmp_path / "d.tar.gz"),
                        "--no-update-sh", "--failing-update-sh"], capture_output=True)
    assert r.returncode != 0 and not (tmp_path / "d.tar.gz").exists()


def test_spawn_record_marker_output_and_sigterm(installed):
    app = installed(os.path.join(PACKAGES, "package.tar.gz"), args=("--demo", "a b"),
                    runner="./pyrun")
    rec = app.record()
    assert rec["argv"] == ["app.py", "--demo", "a b"]
    assert rec["pyrun_argv"] == ["./pyrun", "app.py", "--demo", "a b"]
    assert rec["cwd"] == str(app.root / PKG_SUFFIX)
    assert rec["env"] == SPAWN_ENV
    assert rec["site_import"] == "sample_helper"
    assert rec["label"] == "default" and rec["pid"] == app.proc.pid
    # The launcher's low-memory kill finds the application by this process name.
    with open("/proc/%d/comm" % app.proc.pid) as f:
        assert f.read().strip() == "pyrun"
    assert wait_for(app.marker), "marker not written"
    assert app.out.wait("app: started pid=%d" % app.proc.pid)
    assert app.err.wait("app: stderr open")
    assert app.out.wait("app: tick 1") and app.err.wait("app: tick 1 on stderr")
    app.proc.send_signal(signal.SIGTERM)
    assert app.wait_exit() == 0
    assert app.out.wait("SIGTERM received")
    assert (app.root / "tmp" / "app-starts.log").read_text() == "%d default\n" % app.proc.pid


def test_pyc_named_script_runs(installed, tmp_path):
    archive = make_pkg(tmp_path, "pyc.tar.gz", "--app-pyc", "--label", "pyc")
    app = installed(archive, script="app.pyc")
    assert app.record()["label"] == "pyc"
    assert wait_for(app.marker)


def test_crash_variant_exits_at_once_without_marker(installed):
    app = installed(os.path.join(PACKAGES, "package-crash.tar.gz"))
    assert app.wait_exit() == 1
    assert app.record()["behaviour"] == "crash"
    assert app.err.wait("crashing on purpose")
    assert not app.marker()


def test_noterm_variant_survives_sigterm_until_sigkill(installed):
    app = installed(os.path.join(PACKAGES, "package-noterm.tar.gz"))
    assert app.out.wait("app: tick 1")
    app.proc.send_signal(signal.SIGTERM)
    # Still ticking after the signal: it was ignored.
    assert app.out.wait("app: tick 3", timeout=10)
    assert app.proc.poll() is None
    app.proc.send_signal(signal.SIGKILL)
    assert app.wait_exit() == -signal.SIGKILL


def test_nomarker_variant_runs_but_never_signals_up(installed):
    app = installed(os.path.join(PACKAGES, "package-nomarker.tar.gz"))
    # The normal package writes its marker after half a second, before its first tick.
    assert app.out.wait("app: tick 2")
    assert not app.marker()
    assert app.out.count("marker written") == 0


def test_slow_start_variant_signals_up_late(installed, tmp_path):
    archive = make_pkg(tmp_path, "slow.tar.gz", "--behaviour", "slow-start", "--marker-delay", "2.5")
    app = installed(archive)
    assert app.out.wait("app: tick 2")
    assert not app.marker()
    assert app.out.wait("marker written") and app.marker()
    assert json.loads(member_text(make_pkg(tmp_path, "s7.tar.gz", "--behaviour", "slow-start"),
                                  "package/app.conf"))["marker_delay"] == 7.0


def run_update_sh(root):
    script = root / PKG_SUFFIX / "update.sh"
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    return subprocess.run([str(script)], cwd="/", env=env, capture_output=True)


def test_update_sh_installs_the_downloaded_archive(tmp_path):
    root = tmp_path / "cam"
    subprocess.run([PYTHON, MAKE_CAMERA_ROOT, str(root),
                    "--install", os.path.join(PACKAGES, "package.tar.gz"),
                    "--download", os.path.join(PACKAGES, "package-v2.tar.gz")], check=True)
    r = run_update_sh(root)
    assert r.returncode == 0, r.stderr
    assert json.loads((root / PKG_SUFFIX / "app.conf").read_text())["label"] == "v2"
    log = (root / "tmp" / "update-sh.log").read_text().splitlines()
    assert log == ["update.sh (default): installing %s/tmp/package.tar.gz" % root,
                   "update.sh: tar exit status 0"]
    # The unpack replaced the running script; the new one runs the next install.
    (root / "tmp" / "package.tar.gz").unlink()
    r = run_update_sh(root)
    assert r.returncode != 0
    log = (root / "tmp" / "update-sh.log").read_text().splitlines()
    assert log[2].startswith("update.sh (v2): installing")
    assert log[3] != "update.sh: tar exit status 0" and log[3].startswith("update.sh: tar exit status")


def test_failing_update_sh_leaves_the_package_alone(tmp_path):
    failing = make_pkg(tmp_path, "f.tar.gz", "--failing-update-sh", "--label", "old")
    root = tmp_path / "cam"
    subprocess.run([PYTHON, MAKE_CAMERA_ROOT, str(root), "--install", str(failing),
                    "--download", os.path.join(PACKAGES, "package-v2.tar.gz")], check=True)
    assert run_update_sh(root).returncode == 1
    assert json.loads((root / PKG_SUFFIX / "app.conf").read_text())["label"] == "old"
    assert "failing on purpose" in (root / "tmp" / "update-sh.log").read_text()


def test_camera_root_layout_and_control_cgi(tmp_path):
    root = tmp_path / "cam"
    subprocess.run([PYTHON, MAKE_CAMERA_ROOT, str(root)], check=True)
    for d in ("tmp", "usr/local/packages/tallyo", "var/lib/qlparameter"):
        assert (root / d).is_dir(), d
    assert not (root / PKG_SUFFIX).exists() and not (root / "tmp/package.tar.gz").exists()
    cgi = root / "usr/sbin/control.cgi"
    assert cgi.stat().st_mode & stat.S_IXUSR
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "ZENT_ROOT": str(root) + "/",
           "QUERY_STRING": "action=remove&package=motion"}
    assert subprocess.run([str(cgi), "remove", "two words"], env=env).returncode == 0
    # Without ZENT_ROOT the root comes from the script's own place.
    del env["ZENT_ROOT"]
    env["QUERY_STRING"] = ""
    assert subprocess.run(["sh", "-c", "cd /; \"$0\"", str(cgi)], env=env).returncode == 0
    calls = (root / "tmp" / "control.cgi.calls").read_text().splitlines()
    assert calls == ["args=remove two words query=action=remove&package=motion", "args= query="]
