"""_orvex_parameter through the interpreter against the parameter store stand-in: reads,
codes of failed calls, group commits with the sync flag, release of values, silence in the
system log, the interpreter lock released during a slow commit, and the demonstration
program's log lines."""
import os
import subprocess

import pytest

from conftest import SHIM, child_env


def test_reads_a_parameter_and_releases_the_value(child):
    c = child("""
h = lib.orvex_parameter_new()
assert h != ffi.NULL
value, code = ffi.new("char **"), ffi.new("int *", -1)
r = lib.orvex_parameter_get(h, b"root.Properties.Firmware.Version", value, code)
text = ffi.string(value[0]).decode()
lib.orvex_parameter_free_value(value)
cleared = value[0] == ffi.NULL
lib.orvex_parameter_free_value(value)      # the cell is empty now: nothing to release twice
lib.orvex_parameter_free(h)
out(r=r, text=text, code=code[0], cleared=cleared)
""")
    assert c.result == {"r": 1, "text": "6.50.1", "code": -1, "cleared": True}, c.stderr


@pytest.mark.parametrize("name,code", [
    (b"root.Not.There", 9),    # QL_PARAMETER_PARAM_GET_ERROR
    (b"root..x", 0),           # QL_PARAMETER_INVALID_ARG_ERROR
])
def test_failed_read_reports_the_library_code_and_no_value(child, name, code):
    c = child(f"""
h = lib.orvex_parameter_new()
value, code = ffi.new("char **"), ffi.new("int *", -1)
value[0] = ffi.cast("char *", 1234)        # whatever the cell held before
r = lib.orvex_parameter_get(h, {name!r}, value, code)
out(r=r, code=code[0], null=value[0] == ffi.NULL,
    const=lib.QL_PARAMETER_PARAM_GET_ERROR)
lib.orvex_parameter_free(h)
""")
    assert c.result == {"r": 0, "code": code, "null": True, "const": 9}, c.stderr


def test_sync_flag_holds_a_group_until_the_committing_write(child, qlparam):
    c = child(f"""
import subprocess
h = lib.orvex_parameter_new()
code = ffi.new("int *", -1)
a = lib.orvex_parameter_set(h, b"root.stereo.Counter.A", b"-1", code, 0)
b = lib.orvex_parameter_set(h, b"root.stereo.Counter.B", b"40000", code, 0)
seen = subprocess.run([{os.environ["QLPARAM"]!r}, "get", "root.stereo.Counter.A"],
                      capture_output=True, text=True).stdout
own = ffi.new("char **")
mine = lib.orvex_parameter_get(h, b"root.stereo.Counter.B", own, code)
mine_text = ffi.string(own[0]).decode()
lib.orvex_parameter_free_value(own)
c = lib.orvex_parameter_set(h, b"root.stereo.Counter.C", b"0", code, 1)
lib.orvex_parameter_free(h)
out(a=a, b=b, c=c, seen_before=seen, mine=mine, mine_text=mine_text, code=code[0])
""")
    assert c.result == {"a": 1, "b": 1, "c": 1, "seen_before": "", "mine": 1,
                        "mine_text": "40000", "code": -1}, c.stderr
    assert (qlparam("root.stereo.Counter.A"), qlparam("root.stereo.Counter.B"),
            qlparam("root.stereo.Counter.C")) == ("-1", "40000", "0")


def test_unsynced_writes_are_dropped_with_the_handle(child, qlparam):
    c = child("""
h = lib.orvex_parameter_new()
code = ffi.new("int *", -1)
r = lib.orvex_parameter_set(h, b"root.stereo.Pending", b"x", code, 0)
lib.orvex_parameter_free(h)
out(r=r)
""")
    assert c.result == {"r": 1}, c.stderr
    assert qlparam("root.stereo.Pending") is None


def test_failed_write_reports_the_code(child, qlparam):
    c = child("""
h = lib.orvex_parameter_new()
code = ffi.new("int *", -1)
r = lib.orvex_parameter_set(h, b"root.bad=name", b"1", code, 1)
out(r=r, code=code[0])
lib.orvex_parameter_free(h)
""")
    assert c.result == {"r": 0, "code": 0}, c.stderr


def test_unreachable_store_gives_a_null_pointer_object(child):
    c = child("""
h = lib.orvex_parameter_new()
lib.orvex_parameter_free(h)                # a null handle is ignored
value, code = ffi.new("char **"), ffi.new("int *", -1)
r = lib.orvex_parameter_get(ffi.NULL, b"root.Brand.ProdNbr", value, code)
out(is_none=h is None, null=h == ffi.NULL, type=ffi.typeof(h).cname, r=r, code=code[0])
""", QLPARAMETER_FAIL_NEW=1)
    assert c.result == {"is_none": False, "null": True, "type": "struct _QLParameter *",
                        "r": 0, "code": 0}, c.stderr


def test_null_cells_are_refused_not_written(child):
    c = child("""
h = lib.orvex_parameter_new()
code = ffi.new("int *", -1)
r1 = lib.orvex_parameter_get(h, b"root.Brand.ProdNbr", ffi.NULL, code)
r2 = lib.orvex_parameter_get(h, b"root.Not.There", ffi.new("char **"), ffi.NULL)
lib.orvex_parameter_free_value(ffi.NULL)
lib.orvex_parameter_free(h)
out(r1=r1, code=code[0], r2=r2)
""")
    assert c.result == {"r1": 0, "code": 0, "r2": 0}, c.stderr


@pytest.mark.skipif(not SHIM, reason="syslog stand-in not built")
def test_exported_functions_log_nothing(child):
    c = child("""
h = lib.orvex_parameter_new()
v, code = ffi.new("char **"), ffi.new("int *")
lib.orvex_parameter_get(h, b"root.Brand.ProdNbr", v, code)
lib.orvex_parameter_free_value(v)
lib.orvex_parameter_get(h, b"root.Not.There", v, code)
lib.orvex_parameter_set(h, b"root..bad", b"1", code, 1)
lib.orvex_parameter_free(h)
out(done=True)
""")
    assert c.result == {"done": True}, c.stderr
    assert c.syslog == []


def test_slow_commit_leaves_other_threads_running(child):
    # The stand-in pauses 400 ms inside the commit; the interpreter lock is released, so a
    # counting thread keeps going meanwhile.
    c = child("""
h = lib.orvex_parameter_new()
code = ffi.new("int *", -1)
ticks = [0]
stop = threading.Event()
def count():
    while not stop.is_set():
        ticks[0] += 1
        time.sleep(0.005)
t = threading.Thread(target=count)
t.start()
time.sleep(0.05)
before = ticks[0]
t0 = time.monotonic()
r = lib.orvex_parameter_set(h, b"root.stereo.Slow", b"1", code, 1)
took = time.monotonic() - t0
during = ticks[0] - before
stop.set(); t.join()
lib.orvex_parameter_free(h)
out(r=r, took=took, during=during)
""", QLPARAMETER_TEST_COMMIT_DELAY_US=400000)
    r = c.result
    assert r is not None, c.stderr
    assert r["r"] == 1 and r["took"] >= 0.35
    assert r["during"] >= 10


@pytest.mark.skipif(not SHIM, reason="syslog stand-in not built")
def test_demonstration_program_logs_each_step(camera, tmp_path, qlparam):
    record = tmp_path / "demo-syslog.txt"
    proc = subprocess.run([os.environ["ORVEX_PARAMETER_DEMO"]], env=child_env(camera, record),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert [l.split("\t") for l in record.read_text().splitlines()] == [
        ["open", "stereo", "2", "24"],
        ["msg", "7", "orvex_parameter: root.Brand.ProdNbr::P1455-LE-3\\n"],
        ["msg", "7", "orvex_parameter: root.System.ProdNbr::P1455-LE-3\\n"],
        ["msg", "7", "orvex_parameter: Set 'root.Network.Bonjour.FriendlyName' to 'Hello World!'\\n"],
        ["msg", "7", "orvex_parameter: root.Network.Bonjour.FriendlyName::Hello World!\\n"],
    ]
    assert qlparam("root.Network.Bonjour.FriendlyName") == "Hello World!"


@pytest.mark.skipif(not SHIM, reason="syslog stand-in not built")
def test_demonstration_program_logs_failures_with_their_codes(camera, tmp_path):
    # A damaged store cannot be opened: the demonstration goes on with a null handle, and
    # every step reports the library's invalid-argument code.
    record = tmp_path / "demo-syslog.txt"
    (camera / "var" / "lib" / "qlparameter" / "parameters").write_text("garbage without equals\n")
    proc = subprocess.run([os.environ["ORVEX_PARAMETER_DEMO"]], env=child_env(camera, record),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    msgs = [l.split("\t")[2] for l in record.read_text().splitlines() if l.startswith("msg")]
    assert msgs == [
        "orvex_parameter: Failed to read 'root.Brand.ProdNbr' due to error code 0\\n",
        "orvex_parameter: Failed to read 'root.System.ProdNbr' due to error code 0\\n",
        "orvex_parameter: Failed to set 'root.Network.Bonjour.FriendlyName' due to error code 0\\n",
        "orvex_parameter: Failed to read 'root.Network.Bonjour.FriendlyName' due to error code 0\\n",
    ]
