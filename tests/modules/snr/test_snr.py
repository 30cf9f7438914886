"""_snr through the interpreter against the image-control service on a private bus: the
value and the healthy state, a missing service, replies of the wrong form, error replies, a
service slower than the timeout (with other interpreter threads running meanwhile), an
unreachable bus, the bus lost and restarted under an open object, the sticky status, and
null objects."""
import time

import pytest

ERR_VARIANT = "The reply does not contain a variant"
ERR_INT32 = "The variant in the reply is not of int32 type"


def state(py):
    return (py("lib.zent_dbus_get_status(d)"), py("lib.zent_dbus_is_error(d)"),
            py("text(lib.zent_dbus_get_error(d))"))


def test_reads_the_current_value_each_time(bus, interpreter):
    bus.service("--snr", 42)
    py = interpreter()
    py.run("d = lib.zent_dbus_open()")
    assert py("d != ffi.NULL")
    assert state(py) == (0, 0, "")          # an empty text, never a null pointer
    assert py("lib.zent_dbus_get_snr(d)") == 42
    bus.ctl("SetSnr", "int32:-17")
    assert py("lib.zent_dbus_get_snr(d)") == -17
    assert bus.calls() == 2
    assert state(py) == (0, 0, "")
    assert py("lib.ZENT_DBUS_ERROR_INTERNAL") == 4
    py.run("lib.zent_dbus_close(d)")
    assert py.close() == 0


def test_missing_service_then_sticky_until_reopened(bus, interpreter):
    py = interpreter()
    py.run("d = lib.zent_dbus_open()")
    assert py("lib.zent_dbus_get_snr(d)") == -1
    status, is_error, text = state(py)
    assert (status, is_error) == (4, 1)
    assert text == "The name com.orvex.ImageControl was not provided by any .service files"
    # The service appears; the object stays in error and does not ask it.
    bus.service("--snr", 30)
    assert py("lib.zent_dbus_get_snr(d)") == -1
    assert state(py) == (4, 1, text)
    assert bus.calls() == 0
    py.run("lib.zent_dbus_close(d); d = lib.zent_dbus_open()")
    assert py("lib.zent_dbus_get_snr(d)") == 30
    assert state(py) == (0, 0, "")
    py.run("lib.zent_dbus_close(d)")


@pytest.mark.parametrize("mode,message", [
    ("string", ERR_INT32),      # a variant holding "42"
    ("bare", ERR_VARIANT),      # an int32 without the variant around it
    ("empty", ERR_VARIANT),     # no argument at all
])
def test_reply_of_the_wrong_form(bus, interpreter, mode, message):
    bus.service("--mode", mode)
    py = interpreter()
    py.run("d = lib.zent_dbus_open()")
    assert py("lib.zent_dbus_get_snr(d)") == -1
    assert state(py) == (4, 1, message)
    py.run("lib.zent_dbus_close(d)")


def test_error_reply_gives_its_message(bus, interpreter):
    bus.service("--mode", "error", "--error", "com.orvex.ImageControl.Error.Busy",
                "Sensor busy, try later")
    py = interpreter()
    py.run("d = lib.zent_dbus_open()")
    assert py("lib.zent_dbus_get_snr(d)") == -1
    assert state(py) == (4, 1, "Sensor busy, try later")
    bus.ctl("SetMode", "string:int")
    assert py("lib.zent_dbus_get_snr(d)") == -1          # sticky: not asked again
    assert bus.calls() == 1
    bus.ctl("SetMode", "string:error")
    bus.ctl("SetError", "string:com.orvex.ImageControl.Error.Other", "string:Second failure")
    py.run("lib.zent_dbus_close(d); d = lib.zent_dbus_open()")
    assert py("lib.zent_dbus_get_snr(d)") == -1
    assert state(py) == (4, 1, "Second failure")
    py.run("lib.zent_dbus_close(d)")


def test_slow_service_times_out_without_stopping_the_interpreter(bus, interpreter):
    bus.service("--snr", 12, "--delay", 2500)
    py = interpreter()
    py.run("""
d = lib.zent_dbus_open()
ticks = [0]
stop = threading.Event()
def count():
    while not stop.is_set():
        ticks[0] += 1
        time.sleep(0.005)
t = threading.Thread(target=count)
t.start()
time.sleep(0.05)
t0 = time.monotonic(); n0 = ticks[0]
r = lib.zent_dbus_get_snr(d)
took = time.monotonic() - t0
during = ticks[0] - n0
stop.set(); t.join()
""")
    assert py("r") == -1
    took = py("took")
    assert 0.9 <= took < 2.0, took
    assert py("during") >= 50          # about 200 ticks in one second when not held up
    status, is_error, text = state(py)
    assert (status, is_error) == (4, 1) and text
    py.run("lib.zent_dbus_close(d)")


def test_unreachable_bus_at_open(bus, interpreter):
    py = interpreter("unix:abstract=zent-snr-test-nobody-listens-here")
    py.run("d = lib.zent_dbus_open()")
    assert py("d != ffi.NULL")
    status, is_error, text = state(py)
    assert (status, is_error) == (1, 1) and text
    # No connection: the first query says so and replaces the status.
    assert py("lib.zent_dbus_get_snr(d)") == -1
    assert state(py) == (2, 1, "Uninitialized dbus object")
    py.run("lib.zent_dbus_close(d)")
    assert py.close() == 0


def test_bus_lost_and_restarted_under_an_open_object(bus, interpreter):
    bus.service("--snr", 7)
    py = interpreter()
    py.run("d = lib.zent_dbus_open(); other = lib.zent_dbus_open()")
    assert py("lib.zent_dbus_get_snr(d)") == 7
    bus.stop()
    # The interpreter lives on; the query fails and then sees the connection closed.
    assert py("lib.zent_dbus_get_snr(d)") == -1
    assert py("lib.zent_dbus_get_status(d)") in (3, 4)
    assert py("lib.zent_dbus_get_snr(d)") == -1
    assert state(py) == (3, 1, "DBus connection is not open")
    assert py.alive()
    # The same bus again: a reopened object gets a live connection.
    bus.start()
    bus.service("--snr", 8)
    assert py("lib.zent_dbus_get_snr(d)") == -1
    py.run("lib.zent_dbus_close(d); d = lib.zent_dbus_open()")
    assert state(py) == (0, 0, "")
    assert py("lib.zent_dbus_get_snr(d)") == 8
    # An object opened before the restart stays on the old connection until reopened.
    assert py("lib.zent_dbus_get_snr(other)") == -1
    assert py("lib.zent_dbus_get_status(other)") == 3
    py.run("lib.zent_dbus_close(d); lib.zent_dbus_close(other)")
    assert py.close() == 0


def test_objects_share_the_connection(bus, interpreter):
    bus.service("--snr", 5)
    py = interpreter()
    py.run("a = lib.zent_dbus_open(); b = lib.zent_dbus_open()")
    py.run("lib.zent_dbus_close(a)")
    assert py("lib.zent_dbus_get_snr(b)") == 5
    py.run("lib.zent_dbus_close(b)")


def test_null_object(bus, interpreter):
    py = interpreter()
    py.run("lib.zent_dbus_close(ffi.NULL)")
    assert py("lib.zent_dbus_get_snr(ffi.NULL)") == -1
    assert py("lib.zent_dbus_get_status(ffi.NULL)") == 2
    assert py("lib.zent_dbus_is_error(ffi.NULL)") == 1
    assert py("text(lib.zent_dbus_get_error(ffi.NULL))") == "Uninitialized dbus object"
    assert py.close() == 0
