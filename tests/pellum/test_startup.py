# Start-up and stop: the spawn contract, arguments, start-up states, exit statuses, the debug
# switch, the package-removal call and the sensor parameters.
import os
import signal

from conftest import PKG_DIR, make_package, package, wait_for

SPAWN_ENV = {"RUNNING_ON_TARGET": "y", "LD_LIBRARY_PATH": ".:/",
             "PYTHONPATH": "python-site-packages"}


def started(c):
    return wait_for(c.app_record, 20, "the application's start record")


def test_spawn_contract_with_default_arguments(camera):
    c = camera(install=package())
    c.start()
    rec = started(c)
    assert rec["pyrun_argv"] == ["./pyrun", "app.py", "--fps", "1000"]
    assert rec["env"] == SPAWN_ENV
    assert os.path.realpath(rec["cwd"]) == os.path.realpath(c.path(PKG_DIR))
    assert rec["site_import"] is not None  # PYTHONPATH reached python-site-packages
    log = c.log()
    # The external commands speak in the log, each with its status.
    assert "killall: pyrun: no process found\n" in log
    assert "killall exited with status 1\n" in log
    assert "mkdir exited with status 0\n" in log
    assert "Using default arguments (3)" in log
    assert "runtime_argv[1] = 'app.py'" in log
    assert "runtime_argv[3] = '1000'" in log
    # An installed package is started once at start and the checks promote it.
    c.wait_status("running")
    assert "Package already exists!" in log
    assert len(c.app_starts()) == 1
    assert c.stop() == 0


def test_user_arguments_replace_the_defaults(camera):
    c = camera(install=package())
    c.start(args=["--alpha", "two words"])
    rec = started(c)
    assert rec["pyrun_argv"] == ["./pyrun", "app.py", "--alpha", "two words"]
    assert "\t--alpha" in c.log()
    assert c.stop() == 0


def test_script_is_absolute_pyc_without_app_py(camera, workdir):
    archive = make_package(os.path.join(workdir, "pyc.tar.gz"), "--app-pyc", "--label", "pyc")
    c = camera(install=archive)
    c.start()
    rec = started(c)
    expected = c.path(PKG_DIR + "//app.pyc")
    assert rec["pyrun_argv"][:2] == ["./pyrun", expected]
    assert rec["label"] == "pyc"
    assert c.stop() == 0


def test_startup_with_downloaded_archive_only(camera):
    c = camera(download=package())
    c.start()
    assert c.status() == {"status": "downloaded", "manifest_state": "ok"}
    assert "Found a downloaded package - setting state to PACKAGE_DOWNLOADED" in c.log()
    # Nothing is started and no check runs.
    c.request("GET", "/local/tallyo/version")
    assert c.app_record() is None
    assert "Watching process" not in c.log()
    assert c.stop() == 0


def test_bad_firmware_version_exits_with_1(camera):
    c = camera(firmware="release-6")
    c.start(wait_ready=False)
    assert c.wait_exit(30) == 1
    assert "Failed to determine firmware version!" in c.log()
    assert "Starting worker thread." not in c.log()


def test_sigterm_exits_0_and_second_signal_does_nothing_more(camera):
    c = camera(install=package())
    c.start()
    c.wait_status("running")
    rec = started(c)
    c.proc.send_signal(signal.SIGTERM)
    c.proc.send_signal(signal.SIGINT)
    assert c.wait_exit(30) == 0
    log = c.log()
    assert log.count("Received signal") >= 1
    assert log.count("Stopping application") == 1
    assert log.count("Exiting worker thread!") == 1
    assert "Killed app gracefully." in log
    assert log.rstrip().endswith("Pellum is shutting down...")
    wait_for(lambda: not os.path.exists("/proc/%d" % rec["pid"]) or
             open("/proc/%d/stat" % rec["pid"]).read().split(") ")[1][0] in "ZX",
             10, "the application to end")


def test_start_calls_package_removal_and_sets_sensors(camera):
    c = camera(params=["root.ImageSource.I0.Sensor.SlaveTo=0",
                       "root.ImageSource.I1.Sensor.SlaveTo=0"])
    c.start()
    with open(c.path("/tmp/control.cgi.calls")) as f:
        calls = f.read()
    assert "query=action=remove&package=Trelk3" in calls
    assert c.param("root.ImageSource.I0.Sensor.SlaveTo") == "-1"
    assert c.param("root.ImageSource.I1.Sensor.SlaveTo") == "0"
    assert c.param("root.ImageSource.I0.Sensor.MaxExposureTime") == "40000"
    assert c.param("root.ImageSource.I1.Sensor.MaxExposureTime") == "40000"
    assert c.stop() == 0


def test_existing_pairing_is_left_alone(camera):
    c = camera(params=["root.ImageSource.I0.Sensor.SlaveTo=1",
                       "root.ImageSource.I1.Sensor.SlaveTo=-1"])
    c.start()
    assert c.param("root.ImageSource.I0.Sensor.SlaveTo") == "1"
    assert c.param("root.ImageSource.I1.Sensor.SlaveTo") == "-1"
    assert c.param("root.ImageSource.I1.Sensor.MaxExposureTime") == "40000"
    assert "Setting 'root.ImageSource.I0.Sensor.SlaveTo'" not in c.log()
    assert c.stop() == 0


def test_without_debug_entry_sigusr1_switches_the_copy_on(camera):
    c = camera()
    c.start(debug=False)
    c.request("GET", "/local/tallyo/status")
    assert c.log().count("tallyo: ") == 0
    # The messages still reach syslog at every priority.
    assert any("Called status_view" in m for _, p, m in c.records() if p == 7)
    c.proc.send_signal(signal.SIGUSR1)
    # The signal is handled by the main loop: poll until the copy shows up.
    wait_for(lambda: (c.request("GET", "/local/tallyo/status") and
                      "tallyo: Called status_view" in c.log()), 10, "the debug copy")
    assert c.stop() == 0


def test_a_dangling_debug_link_is_an_entry_too(camera):
    c = camera()
    c.start(debug="dangling-link")
    c.request("GET", "/local/tallyo/status")
    assert "tallyo: Called status_view" in c.log()
    assert c.stop() == 0


def test_empty_download_url_is_the_base(camera):
    c = camera()
    c.start(download_url="")
    assert c.post("download")[0] == 200
    c.wait_status("download_failed")
    assert "-L 'vendle_tallyo_5_v1-6plus' -o " in c.log()
    assert c.stop() == 0


def test_unset_download_url_uses_the_built_in_endpoint(camera):
    c = camera()
    c.start(download_url=None)
    assert c.post("download")[0] == 200
    c.wait_status("download_failed", timeout=40)
    assert "-L 'https://download.tallyo.invalid/packages/vendle_tallyo_5_v1-6plus'" in c.log()
    assert c.stop() == 0


def test_checks_run_every_5000_ms_without_override(camera):
    # Unset, the period is the real one: no check has run 3.5 s after the start.
    c = camera(install=package())
    c.start(tick=False)
    started(c)
    t0 = [t for t, _, m in c.records() if m.startswith("New process spawned")][0]
    wait_for(lambda: any(m.startswith("Watching process") for _, _, m in c.records()), 15,
             "the first check")
    t1 = [t for t, _, m in c.records() if m.startswith("Watching process")][0]
    assert 4.5 <= t1 - t0 <= 7.0
    assert c.stop() == 0
