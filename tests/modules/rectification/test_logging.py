"""The logging routines as built into the deliverable: a child interpreter loads the module,
logs through its exported routine, and the system log is a recording stand-in (LD_PRELOAD)."""
import os
import subprocess
import sys

import pytest

SHIM = os.environ.get("ZENT_SYSLOG_SHIM", "")

CHILD = r"""
import ctypes
import stereo._rectification as mod
lib = ctypes.CDLL(mod.__file__)
lib.l_printf_file(b"/src/rectification/minimize.c", 3, b"could not allocate %s.\n", b"memory")
lib.l_printf_file(b"minimize.c", 7, b"%d%%", ctypes.c_int(50))
lib.log_cleanup()
"""


def run_child(tmp_path, stderr_copy):
    record = tmp_path / "syslog.txt"
    env = dict(os.environ)
    preload = [p for p in (os.environ.get("ZENT_SANITIZER_PRELOAD"), SHIM) if p]
    env["LD_PRELOAD"] = ":".join(preload)
    env["ZENT_SYSLOG_RECORD"] = str(record)
    env["ZENT_ROOT"] = str(tmp_path)
    env.pop("ZENT_LOG_STDERR", None)
    if stderr_copy:
        env["ZENT_LOG_STDERR"] = "1"
    proc = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = record.read_text().splitlines() if record.exists() else []
    return [line.split("\t") for line in lines], proc.stderr


@pytest.mark.skipif(not SHIM, reason="syslog stand-in not built")
def test_module_logs_under_stereo_with_source_prefix(tmp_path):
    records, err = run_child(tmp_path, stderr_copy=False)
    assert records == [
        ["open", "stereo", "2", "24"],            # LOG_CONS, LOG_DAEMON
        ["msg", "3", "minimize: could not allocate memory.\\n"],
        ["msg", "7", "minimize: 50%"],
        ["close"],
    ]
    assert "minimize" not in err


@pytest.mark.skipif(not SHIM, reason="syslog stand-in not built")
def test_stderr_copy_on_request(tmp_path):
    records, err = run_child(tmp_path, stderr_copy=True)
    assert records[0] == ["open", "stereo", "34", "24"]  # LOG_CONS | LOG_PERROR
    assert "stereo: minimize: could not allocate memory.\n" in err
    assert "stereo: minimize: 50%\n" in err
