# Supervision of the application: restarts, output copied into syslog, the marker file, the
# SIGTERM grace period and the low-memory kill.
import os
import shutil
import signal
import subprocess
import time

from conftest import PKG_DIR, SOURCE, StatePoller, is_subsequence, package, pid_alive, wait_for

LOG_ERR, LOG_INFO, LOG_DEBUG = 3, 6, 7


def test_dying_child_is_restarted_and_its_output_logged(camera):
    c = camera(install=package("package-crash"))
    c.start()
    # Each start dies at once; the checks restart it every period.
    wait_for(lambda: len(c.app_starts()) >= 3, 20, "three starts")
    c.wait_log(r"Stereo application \(\d+\) died for some strange reason\.", count=2)
    changes = c.state_changes()
    assert changes[:2] == [("zent_init", "PACKAGE_INSTALLED"), ("start_app", "STARTING")]
    rest = changes[2:6]
    assert rest == [("status_daemon", "RUN_FAILED"), ("start_app", "STARTING")] * 2
    recs = c.records()
    assert (LOG_ERR, "counter: app: crashing on purpose\n") in [(p, m.replace("\\n", "\n"))
                                                                  for _, p, m in recs]
    infos = [m for _, p, m in recs if p == LOG_INFO and m.startswith("counter: ")]
    errs = [m for _, p, m in recs if p == LOG_ERR and m.startswith("counter: ")]
    assert any(m.startswith("counter: app: started pid=") and m.endswith("\\n") for m in infos)
    assert any(m.startswith("counter: app: stderr open pid=") for m in errs)
    assert not any("stderr" in m for m in infos)
    # The copy on stderr shows the same lines with their end of line.
    assert "tallyo: counter: app: crashing on purpose\n" in c.log()
    assert c.stop() == 0


def test_output_watches_end_with_the_child(camera):
    # Many short-lived children: every pipe is closed when its child ends, none polled.
    c = camera(install=package("package-crash"))
    c.start()
    wait_for(lambda: len(c.app_starts()) >= 6, 30, "six starts")
    fds = len(os.listdir("/proc/%d/fd" % c.proc.pid))
    wait_for(lambda: len(c.app_starts()) >= 9, 30, "nine starts")
    assert len(os.listdir("/proc/%d/fd" % c.proc.pid)) <= fds + 2
    # An idle launcher uses little CPU: no busy loop on a closed pipe.
    with open("/proc/%d/stat" % c.proc.pid) as f:
        before = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
    time.sleep(1.0)
    with open("/proc/%d/stat" % c.proc.pid) as f:
        after = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
    assert after - before < 50  # clock ticks: well under half a second of CPU
    assert c.stop() == 0


def test_marker_promotes_only_a_live_child(camera):
    c = camera(install=package("package-nomarker"))
    c.start()
    wait_for(c.app_record, 20, "the start record")
    poller = StatePoller(c)
    time.sleep(1.0)  # five check periods without a marker
    assert c.status()["status"] == "starting"
    open(c.path("/tmp/runner_mounted_apps"), "w").close()
    c.wait_status("running", timeout=10)
    seen = poller.stop()
    assert seen[0] == "starting" and seen[-1] == "running"
    assert "flask_daemon::Setting state to PACKAGE_RUNNING" in c.log()
    assert c.stop() == 0


def test_marker_with_a_dead_child_is_not_running(camera):
    # A runtime that cannot be executed leaves no live child at all, whatever the marker says.
    c = camera(install=package())
    os.chmod(c.path(PKG_DIR + "/pyrun"), 0o644)
    open(c.path("/tmp/runner_mounted_apps"), "w").close()
    c.start()
    poller = StatePoller(c)
    c.wait_log(r"Failed to start application: ", count=4)
    seen = poller.stop()
    assert "running" not in seen
    assert "PACKAGE_RUNNING" not in c.log()
    # Each check finds nothing alive and tries again.
    assert c.state_changes()[2:6] == [("status_daemon", "RUN_FAILED"),
                                      ("start_app", "STARTING")] * 2
    assert "Watching process: -1 (died)" in c.log()
    assert c.stop() == 0


def test_child_ignoring_sigterm_is_killed_after_two_seconds(camera):
    c = camera(install=package("package-noterm"))
    c.start()
    c.wait_status("running")
    pid = c.app_record()["pid"]
    assert c.stop() == 0
    log = c.log()
    assert "Killing in 1..\n" in log and "Killing in 0..\n" in log
    assert "Had to SIGKILL stereo application during shutdown of Pellum." in log
    recs = c.records()
    t_term = [t for t, _, m in recs if m == "Force exiting python"][0]
    t_kill = [t for t, _, m in recs if m.startswith("Had to SIGKILL")][0]
    assert 1.8 <= t_kill - t_term <= 3.5
    wait_for(lambda: not pid_alive(pid), 10, "the application to be gone")


def test_low_memory_kills_and_restarts(camera):
    c = camera(install=package())
    # 5000 kB free, counted by the kernel in 4096-byte units.
    c.start(memory=(5000, 4096))
    c.wait_log(r"Almost no memory left \(5000 kb\), killing all pyrun\.", count=2)
    wait_for(lambda: len(c.app_starts()) >= 2, 20, "a restart")
    assert any(p == LOG_ERR and m.startswith("Almost no memory left (5000 kb)")
               for _, p, m in c.records())
    # Memory back: the application stays up.
    c.set_memory(500000, 4096)
    c.wait_status("running")
    starts = len(c.app_starts())
    time.sleep(1.0)
    assert len(c.app_starts()) == starts
    assert c.stop() == 0


def test_memory_threshold_is_in_kilobytes(camera):
    # 20000 kB free is 5000 pages of 4096 bytes: the figure below 10000 is not in kilobytes,
    # so nothing is killed.
    c = camera(install=package())
    c.start(memory=(20000, 4096))
    c.wait_status("running")
    c.wait_log(r"Watching process: \d+ \(alive\)", count=5)
    assert "Almost no memory left" not in c.log()
    assert len(c.app_starts()) == 1
    # Just under the threshold, in bytes of 1.
    c.set_memory(9999, 1)
    c.wait_log(r"Almost no memory left \(9999 kb\)")
    assert c.stop() == 0


def test_death_after_failed_download_gives_run_failed_then_starting(camera, server):
    c = camera(install=package())
    c.start(download_url=server.base)
    c.wait_status("running")
    pid = c.app_record()["pid"]
    assert c.post("download")[0] == 200  # nothing offered: 404
    c.wait_status("download_failed")
    assert c.app_record()["pid"] == pid  # the download left the application alone
    poller = StatePoller(c)
    os.kill(pid, signal.SIGKILL)
    c.wait_status("running", timeout=20)
    seen = poller.stop()
    assert is_subsequence(["download_failed", "running"], seen), seen
    tail = c.state_changes()[-3:]
    assert tail == [("status_daemon", "RUN_FAILED"), ("start_app", "STARTING"),
                    ("flask_daemon", "PACKAGE_RUNNING")]
    assert c.stop() == 0


SLOW_WRITER = """
import os, sys, time
root = os.getcwd()[:-len("/usr/local/packages/tallyo/package")]
sys.stdout.write("partial")
sys.stdout.flush()
open(root + "/tmp/runner_mounted_apps", "a").close()
while not os.path.exists(root + "/tmp/finish-line"):
    time.sleep(0.05)
sys.stdout.write(" line\\nsecond\\nthird\\n")
sys.stdout.flush()
time.sleep(120)
"""


def test_unfinished_line_does_not_stall_the_loop(camera, workdir):
    src = os.path.join(workdir, "slowwriter")
    os.makedirs(os.path.join(src, "package"))
    shutil.copy(os.path.join(SOURCE, "sim", "app", "pyrun"), os.path.join(src, "package"))
    with open(os.path.join(src, "package", "app.py"), "w") as f:
        f.write(SLOW_WRITER)
    archive = os.path.join(workdir, "slowwriter.tar.gz")
    subprocess.run(["tar", "-czf", archive, "-C", src, "package"], check=True)
    c = camera(install=archive)
    c.start()
    c.wait_status("running")
    # Half a line sits in the pipe: the main loop still answers and keeps checking.
    c.wait_log(r"Watching process: \d+ \(alive\)", count=5)
    for _ in range(5):
        assert c.request("GET", "/local/tallyo/status", timeout=2)[0] == 200
    assert "counter: partial" not in c.log()
    open(c.path("/tmp/finish-line"), "w").close()
    # The burst arrives at once: every complete line is copied.
    c.wait_log(r"tallyo: counter: third\n")
    log = c.log()
    assert "tallyo: counter: partial line\ntallyo: counter: second\n" in log
    infos = [m for _, p, m in c.records() if p == LOG_INFO and m.startswith("counter: ")]
    assert infos == ["counter: partial line\\n", "counter: second\\n", "counter: third\\n"]
    assert c.stop() == 0
