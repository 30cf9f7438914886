# Package life cycle through the HTTP commands: download, install, upgrade and purge with real
# curl and tar against a local server, and the manifest verdicts.
import os
import re
import signal
import subprocess

import pytest

from conftest import (PKG_DIR, StatePoller, is_subsequence, make_package, package, pid_alive,
                      wait_for)

UPGRADE_FROM_NOTHING = [
    ("upgrade_package", "DOWNLOADING"),
    ("upgrade_package", "PACKAGE_DOWNLOADED"),
    ("install", "INSTALLING"),
    ("install", "PACKAGE_INSTALLED"),
    ("start_app", "STARTING"),
    ("flask_daemon", "PACKAGE_RUNNING"),
]


def label(c):
    rec = c.app_record()
    return rec and rec["label"]


def test_upgrade_from_nothing_uses_tar(camera, server):
    server.offer(package(), delay=1.5)
    c = camera()
    c.start(download_url=server.base)
    assert c.status() == {"status": "not_present", "manifest_state": "missing"}
    poller = StatePoller(c)
    assert c.post("upgrade") == (200, "application/json", b'{"status": "Ok"}\n')
    c.wait_status("running", manifest="ok")
    seen = poller.stop()
    assert is_subsequence(["not_present", "downloading", "running"], seen), seen
    assert is_subsequence(seen, ["not_present", "downloading", "downloaded", "installing",
                                 "installed", "starting", "running"]), seen
    assert c.state_changes()[-6:] == UPGRADE_FROM_NOTHING
    log = c.log()
    assert "upgrade_package::Setting manifest state to MISSING" in log
    assert "install::Setting manifest state to OK" in log
    assert "Download command returned 1" in log
    assert "Upgrade complete, starting." in log
    # No update script was installed: tar did the work.
    assert not c.exists("/tmp/update-sh.log")
    assert c.exists(PKG_DIR + "/pyrun")
    with open(c.path("/tmp/package.tar.gz"), "rb") as f, open(package(), "rb") as g:
        assert f.read() == g.read()  # the archive is kept
    assert server.requests[0][0] == "/vendle_tallyo_5_v1-6plus"
    assert c.stop() == 0


def test_upgrade_over_installed_package_runs_update_sh(camera, server):
    server.offer(package("package-v2"))
    c = camera(install=package())
    c.start(download_url=server.base)
    c.wait_status("running")
    first = c.app_record()["pid"]
    assert c.post("upgrade")[0] == 200
    wait_for(lambda: label(c) == "v2", 30, "the new package to start")
    c.wait_status("running")
    with open(c.path("/tmp/update-sh.log")) as f:
        text = f.read()
    assert "update.sh (default): installing" in text
    assert "tar exit status 0" in text
    assert c.app_record()["pid"] != first
    assert "Killed app gracefully." in c.log()
    assert c.stop() == 0


def test_failing_update_sh_falls_back_to_tar(camera, server, workdir):
    failing = make_package(os.path.join(workdir, "failing.tar.gz"), "--failing-update-sh",
                           "--label", "failing")
    server.offer(package("package-v2"))
    c = camera(install=failing)
    c.start(download_url=server.base)
    c.wait_status("running")
    assert c.post("upgrade")[0] == 200
    wait_for(lambda: label(c) == "v2", 30, "the new package to start")
    with open(c.path("/tmp/update-sh.log")) as f:
        assert "failing on purpose" in f.read()
    assert c.stop() == 0


@pytest.mark.parametrize("how", ["not-found", "nothing-listening"])
def test_failed_download_keeps_the_application(camera, server, how):
    base = server.base if how == "not-found" else "http://127.0.0.1:1/"
    c = camera(install=package())
    c.start(download_url=base)
    c.wait_status("running")
    pid = c.app_record()["pid"]
    assert c.post("upgrade")[0] == 200
    c.wait_status("download_failed")
    log = c.log()
    assert "Download command returned 0" in log
    # Why it failed: curl's own message and its status. The progress meter it redraws with
    # carriage returns leaves single lines, not a record per redraw.
    if how == "not-found":
        assert "curl: curl: (22) The requested URL returned error: 404" in log
        assert "curl exited with status 22" in log
    else:
        assert "curl: curl: (7) Failed to connect to 127.0.0.1 port 1" in log
        assert "curl exited with status 7" in log
    curl_lines = [m for _, p, m in c.records() if m.startswith("curl: ")]
    assert curl_lines and not any("\\r" in m or "\\n" in m for m in curl_lines), curl_lines
    assert c.app_record()["pid"] == pid
    assert os.path.exists("/proc/%d" % pid)
    assert c.post("download")[0] == 200
    c.wait_log(r"download_package::Setting state to DOWNLOAD_FAILED")
    assert c.stop() == 0


def test_download_then_install(camera, server):
    server.offer(package())
    c = camera()
    c.start(download_url=server.base)
    assert c.post("download")[0] == 200
    c.wait_status("downloaded")
    # The manifest is judged only by an install.
    assert c.status()["manifest_state"] == "missing"
    assert c.app_record() is None
    assert c.post("install")[0] == 200
    c.wait_status("running", manifest="ok")
    assert "Installed new package successfully." in c.log()
    assert c.stop() == 0


MANIFESTS = [
    ("ok", [], "ok"),
    ("missing", ["--manifest", "none"], "missing"),
    ("oldfw", ["--min-firmware", "6.60"], "invalid_firmware"),
    ("blacklisted", ["--blacklist-firmware", "6.10;6.50.1;7"], "invalid_firmware"),
    ("newpellum", ["--min-pellum", "1.7"], "invalid_pellum"),
    ("both", ["--min-firmware", "6.50.1.0", "--min-pellum", "1.7"],
     "invalid_pellum_and_firmware"),
    ("nomin", ["--min-firmware", "none", "--min-pellum", "none"], "ok"),
]


@pytest.mark.parametrize("name,args,verdict", MANIFESTS, ids=[m[0] for m in MANIFESTS])
def test_manifest_verdicts_at_start_and_install(camera, workdir, name, args, verdict):
    archive = make_package(os.path.join(workdir, name + ".tar.gz"), "--label", name, *args)
    c = camera(download=archive)
    c.start()
    assert c.status() == {"status": "downloaded", "manifest_state": verdict}
    assert c.post("install")[0] == 200
    if verdict in ("ok", "missing"):
        c.wait_status("running", manifest=verdict)
        assert label(c) == name
    else:
        c.wait_status("install_failed", manifest=verdict)
        assert not c.exists(PKG_DIR)
        assert "Failed to install new package." in c.log()
    assert c.stop() == 0


def test_refused_install_keeps_running_application(camera):
    c = camera(install=package(), download=package("package-oldfw"))
    c.start()
    c.wait_status("running")
    pid = c.app_record()["pid"]
    assert c.status()["manifest_state"] == "invalid_firmware"
    assert c.post("install")[0] == 200
    c.wait_log(r"install::Setting manifest state to INVALID_FIRMWARE")
    c.wait_log(r"Failed to install new package\.")
    assert c.status() == {"status": "running", "manifest_state": "invalid_firmware"}
    assert c.app_record()["pid"] == pid
    assert os.path.exists("/proc/%d" % pid)
    assert c.stop() == 0


def test_bad_manifest_is_missing_and_installs(camera):
    c = camera(download=package("package-badmanifest"))
    c.start()
    assert c.status()["manifest_state"] == "missing"
    assert c.post("install")[0] == 200
    c.wait_status("running", manifest="missing")
    assert c.stop() == 0


def alive(pid):
    return pid_alive(pid)


def still_supervised(c, pid):
    """The application is killed behind the launcher's back: the checks start a new one."""
    os.kill(pid, signal.SIGKILL)
    c.wait_log(r"Stereo application \(%d\) died for some strange reason\." % pid)
    wait_for(lambda: c.app_record()["pid"] != pid, 20, "a restart")


def test_install_without_archive_keeps_the_application(camera, workdir):
    plain = make_package(os.path.join(workdir, "plain.tar.gz"), "--no-update-sh")
    c = camera(install=plain)
    c.start()
    c.wait_status("running")
    pid = c.app_record()["pid"]
    assert c.post("install")[0] == 200
    c.wait_log(r"Failed to install new package\.")
    assert "VALIDATE_MANIFEST ERROR (extracting file: " in c.log()
    assert "Package archive /tmp/package.tar.gz is missing or damaged, nothing installed." in c.log()
    # Nothing was stopped or unpacked: the application and its supervision go on.
    assert c.status() == {"status": "running", "manifest_state": "missing"}
    assert "INSTALLING" not in c.log() and "Killing in" not in c.log()
    assert alive(pid) and c.app_record()["pid"] == pid
    still_supervised(c, pid)
    assert c.stop() == 0


def damaged_archives(workdir):
    """A download that is not a package, and one cut short after a good manifest."""
    garbage = os.path.join(workdir, "garbage.tar.gz")
    with open(garbage, "wb") as f:
        f.write(b"<html>503 Service Unavailable</html>\n" * 20)
    src = os.path.join(workdir, "cut")
    os.makedirs(os.path.join(src, "package"))
    with open(os.path.join(src, "package", "REQUIREMENTS.ini"), "w") as f:
        f.write("[firmware]\nmin_required=5.50\n[pellum]\nmin_required=1.6\n")
    with open(os.path.join(src, "package", "pyrun"), "wb") as f:
        f.write(os.urandom(200000))  # incompressible, so the cut lands inside it
    whole = os.path.join(workdir, "whole.tar.gz")
    subprocess.run(["tar", "-czf", whole, "-C", src, "package/REQUIREMENTS.ini",
                    "package/pyrun"], check=True)
    cut = os.path.join(workdir, "cut.tar.gz")
    with open(whole, "rb") as f, open(cut, "wb") as g:
        g.write(f.read()[:100000])
    # tar reads to the end of the archive even for one member, so the cut one has no
    # manifest to show either.
    return {"garbage": (garbage, "missing"), "cut-after-manifest": (cut, "missing")}


@pytest.mark.parametrize("kind", ["garbage", "cut-after-manifest"])
def test_damaged_download_leaves_the_running_application_alone(camera, server, workdir, kind):
    archive, verdict = damaged_archives(workdir)[kind]
    server.offer(archive)
    c = camera(install=package())
    c.start(download_url=server.base)
    c.wait_status("running")
    pid = c.app_record()["pid"]
    assert c.post("upgrade")[0] == 200  # served with 200: curl succeeds
    c.wait_log(r"Failed to upgrade package\.")
    log = c.log()
    assert "Download command returned 1" in log
    assert "install::Setting manifest state to %s" % verdict.upper() in log
    assert "Package archive /tmp/package.tar.gz is missing or damaged" in log
    # tar's own account of the damage is in the log, with its status.
    assert re.search(r"tar: tar: .*\n", log), log[-3000:]
    assert re.search(r"tar exited with status [1-9]", log)
    assert "INSTALLING" not in log and "Killing in" not in log
    assert c.status() == {"status": "downloaded", "manifest_state": verdict}
    assert alive(pid) and c.app_record()["pid"] == pid
    # The installed package is untouched.
    with open(c.path(PKG_DIR + "/pyrun"), "rb") as f:
        assert f.read(2) == b"#!"
    still_supervised(c, pid)
    assert c.stop() == 0


def test_damaged_download_with_nothing_running_is_install_failed(camera, server, workdir):
    archive, _ = damaged_archives(workdir)["garbage"]
    server.offer(archive)
    c = camera()
    c.start(download_url=server.base)
    assert c.post("upgrade")[0] == 200
    c.wait_status("install_failed", manifest="missing")
    assert not c.exists(PKG_DIR + "/pyrun")
    assert "Watching process" not in c.log()
    assert c.stop() == 0


def test_failed_unpack_restarts_the_installed_application(camera, workdir):
    # An intact archive with a good manifest that cannot be unpacked over the installed
    # package: a file where the installed package has a directory.
    src = os.path.join(workdir, "clash")
    os.makedirs(os.path.join(src, "package"))
    with open(os.path.join(src, "package", "REQUIREMENTS.ini"), "w") as f:
        f.write("[firmware]\nmin_required=5.50\n[pellum]\nmin_required=1.6\n")
    with open(os.path.join(src, "package", "python-site-packages"), "w") as f:
        f.write("not a directory\n")
    clash = os.path.join(workdir, "clash.tar.gz")
    subprocess.run(["tar", "-czf", clash, "-C", src, "package"], check=True)
    c = camera(install=package(), download=clash)
    c.start()
    c.wait_status("running")
    pid = c.app_record()["pid"]
    assert c.post("install")[0] == 200
    c.wait_log(r"Install failed, restarting the installed application\.")
    c.wait_status("running", manifest="ok")
    assert c.state_changes()[-5:] == [
        ("install", "INSTALLING"), ("install", "INSTALL_FAILED"),
        ("install", "PACKAGE_INSTALLED"), ("start_app", "STARTING"),
        ("flask_daemon", "PACKAGE_RUNNING")]
    log = c.log()
    assert "Failed to install new package." in log
    assert re.search(r"install: tar: package/python-site-packages: Cannot open", log)
    assert re.search(r"install exited with status [1-9]", log)
    # The installed application came back and is supervised again.
    new = c.app_record()
    assert new["pid"] != pid and new["label"] == "default"
    still_supervised(c, new["pid"])
    assert c.stop() == 0


def test_purge_stops_and_removes_everything(camera):
    c = camera(install=package(), download=package())
    c.start()
    c.wait_status("running")
    pid = c.app_record()["pid"]
    assert c.post("purge", "confirm=yes")[0] == 200
    c.wait_status("not_present")
    assert not c.exists(PKG_DIR) and not c.exists("/tmp/package.tar.gz")
    assert c.exists("/usr/local/packages/tallyo")
    wait_for(lambda: not os.path.exists("/proc/%d" % pid) or
             open("/proc/%d/stat" % pid).read().split(") ")[1][0] in "ZX", 10, "the stop")
    assert c.state_changes()[-2:] == [("purge_package", "PACKAGE_INSTALLED"),
                                      ("purge_package", "NOTHING")]
    # With the archive gone there is no manifest to judge, as after a restart.
    assert c.status() == {"status": "not_present", "manifest_state": "missing"}
    assert "purge_package::Setting manifest state to MISSING" in c.log()
    assert c.stop() == 0
    c.start()
    assert c.status() == {"status": "not_present", "manifest_state": "missing"}
    assert c.stop() == 0
