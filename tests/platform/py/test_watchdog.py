"""The watchdog with its period shortened (ZENT_WATCHDOG_PERIOD_MS): no reboot while the
heartbeat is kicked, a reboot between one and two periods after the last kick, a reboot for a
removed heartbeat, and no reboot for heartbeats whose file times a wall-clock step moved."""
import os
import time

import pytest

from conftest import wait_for

PERIOD = 0.2  # seconds
SLACK = 2.0   # scheduling on a loaded machine


def far_future_seconds():
    """A wall-clock time decades ahead: 4e9 s (2096) where time_t holds it, else 2.1e9 s
    (2036), near the end of a 32-bit time_t such as the camera's."""
    try:
        time.gmtime(4_000_000_000)
        return 4_000_000_000
    except (OverflowError, OSError):
        return 2_100_000_000


@pytest.fixture
def watchdog(camera):
    procs = []

    def start():
        proc, record = camera.spawn("fn('watchdog_main', None)()\nout(returned=True)",
                                    ZENT_WATCHDOG_PERIOD_MS=int(PERIOD * 1000))
        procs.append(proc)
        heartbeat = camera.path("tmp/watchme")
        assert wait_for(lambda: heartbeat.exists() or proc.poll() is not None)
        return proc, record, heartbeat

    yield start
    for p in procs:
        if p.poll() is None:
            p.kill()
        p.communicate()


def kick(path, times=None):
    with open(path, "w") as f:
        f.write("Kick!")
    if times is not None:
        os.utime(path, ns=times)


def keep_kicking(proc, heartbeat, seconds, times=None):
    """Kicks every fifth of a period; the file times come from `times(k)` when given. Returns
    when the last kick was done."""
    end = time.monotonic() + seconds
    k = 0
    last = None
    while time.monotonic() < end:
        assert proc.poll() is None, "watchdog ended while kicked"
        kick(heartbeat, times(k) if times else None)
        last = time.monotonic()
        k += 1
        time.sleep(PERIOD / 5)
    return last


def reboots(camera):
    f = camera.path("tmp/reboot.calls")
    return f.read_text().splitlines() if f.exists() else []


def log_lines(record):
    return [l.split("\t", 2)[1:] for l in record.read_text().splitlines() if l.startswith("msg\t")]


def test_kicked_no_reboot_then_reboot_after_one_to_two_periods(camera, watchdog):
    proc, record, heartbeat = watchdog()
    assert heartbeat.read_text() == "Kick!"
    last = keep_kicking(proc, heartbeat, 10 * PERIOD)
    assert reboots(camera) == []
    assert wait_for(lambda: reboots(camera), timeout=2 * PERIOD + PERIOD / 6 + SLACK, step=0.002)
    seen = time.monotonic()
    # The check that finds a whole period without a kick comes at least a period after the
    # last kick, and the reboot a sixth of a period after that.
    assert seen - last >= PERIOD + PERIOD / 6
    assert proc.wait(timeout=5) == 0
    out, _ = proc.communicate()
    assert "RESULT" not in out
    assert reboots(camera) == ["%s " % camera.path("sbin/reboot")]
    assert log_lines(record) == [["6", "watchdog: Starting watchdog"],
                                 ["3", "watchdog: Watchdog not kicked. Rebooting in 10 s...\\n"]]


def test_removed_heartbeat_reboots_at_the_next_check(camera, watchdog):
    proc, record, heartbeat = watchdog()
    keep_kicking(proc, heartbeat, 3 * PERIOD)
    heartbeat.unlink()
    removed = time.monotonic()
    assert wait_for(lambda: reboots(camera), timeout=PERIOD + PERIOD / 6 + SLACK, step=0.002)
    assert time.monotonic() - removed >= PERIOD / 6 - 0.01
    assert proc.wait(timeout=5) == 0


@pytest.mark.parametrize("era", ["past", "future"])
def test_heartbeat_times_from_a_stepped_clock_do_not_reboot(camera, watchdog, era):
    proc, record, heartbeat = watchdog()
    # File times far from the clock, as after an NTP step; each kick still changes them.
    base = 1_000_000_000 if era == "past" else far_future_seconds() * 10**9
    keep_kicking(proc, heartbeat, 10 * PERIOD, times=lambda k: (base + k, base + k))
    assert reboots(camera) == []
    assert proc.poll() is None
    # A heartbeat that stops changing is stale whatever its time says.
    assert wait_for(lambda: reboots(camera), timeout=2 * PERIOD + PERIOD / 6 + SLACK, step=0.005)
    assert proc.wait(timeout=5) == 0


def test_kick_never_follows_a_link(camera, watchdog):
    target = camera.path("tmp/precious")
    target.write_text("keep me")
    camera.path("tmp/watchme").symlink_to(target)
    proc, record, heartbeat = watchdog()
    assert target.read_text() == "keep me"
    # No heartbeat could be written: the camera reboots.
    assert wait_for(lambda: reboots(camera), timeout=2 * PERIOD + PERIOD / 6 + SLACK)
    assert proc.wait(timeout=5) == 0
    assert target.read_text() == "keep me"
