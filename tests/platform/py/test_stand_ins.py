"""The camera stand-ins on their own: every documented answer and failure of the web server,
the account CGI, hfetchr, knobctl, reboot and the package's curl, and the camera root they
are installed into."""
import base64
import http.client
import json
import os
import subprocess
import time

import pytest

from conftest import ADMIN, BUILD, MAKE_ROOT, PYTHON, QLPARAM


def get(port, path, auth=ADMIN):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {}
    if auth is not None:
        token = base64.b64encode(("%s:%s" % auth).encode()).decode()
        headers["Authorization"] = "Basic " + token
    conn.request("GET", path, headers=headers)
    r = conn.getresponse()
    body = r.read()
    conn.close()
    return r.status, body, r


def tool(camera, path, *args, env=None, raw=False):
    return subprocess.run([str(camera.path(path)), *args], env=camera.env(**(env or {})),
                          capture_output=True, text=not raw)


class TestWebServer:
    def test_port_is_recorded_and_requests_are_logged(self, camera):
        port = camera.web()
        assert camera.get("root.System.BoaPort") == str(port)
        assert camera.path("var/lib/camweb/port").read_text() == "%d\n" % port
        status, body, _ = get(port, "/orvex-cgi/com/ptz.cgi?query=position")
        assert (status, body) == (200, b"pan=0.0000\ntilt=0.0000\nzoom=1\n")
        status, body, _ = get(port, "/orvex-cgi/opticssetup.cgi?monitor=poll")
        assert b'zoomPosition="0.25"' in body
        status, body, r = get(port, "/operator/basic.shtml")
        assert status == 200 and r.getheader("Content-Type") == "text/html" and body
        assert camera.requests() == [
            {"path": "/orvex-cgi/com/ptz.cgi", "query": "query=position", "user": "root", "status": 200},
            {"path": "/orvex-cgi/opticssetup.cgi", "query": "monitor=poll", "user": "root", "status": 200},
            {"path": "/operator/basic.shtml", "query": "", "user": "root", "status": 200}]

    @pytest.mark.parametrize("auth", [None, ("root", "wrong"), ("ghost", ADMIN[1]), ("root", "")])
    def test_without_valid_credentials_401(self, camera, auth):
        port = camera.web()
        status, _, r = get(port, "/operator/basic.shtml", auth=auth)
        assert status == 401
        assert r.getheader("WWW-Authenticate") == 'Basic realm="camera"'

    def test_unknown_paths_and_queries_404(self, camera):
        port = camera.web()
        assert get(port, "/orvex-cgi/com/ptz.cgi?query=limits")[0] == 404
        assert get(port, "/nothing")[0] == 404

    def test_users_are_read_at_each_request(self, camera):
        port = camera.web()
        assert get(port, "/operator/basic.shtml", auth=("new", "pw"))[0] == 401
        camera.add_user("new", "pw")
        assert get(port, "/operator/basic.shtml", auth=("new", "pw"))[0] == 200
        camera.path("var/lib/camweb/users.json").write_text("{broken")
        assert get(port, "/operator/basic.shtml")[0] == 401

    def test_faults(self, camera):
        port = camera.web()
        camera.state("fault", "status=503")
        assert get(port, "/operator/basic.shtml")[0] == 503
        camera.state("fault", "empty")
        assert get(port, "/orvex-cgi/com/ptz.cgi?query=position")[:2] == (200, b"")
        camera.state("fault", "garbage")
        body = get(port, "/orvex-cgi/com/ptz.cgi?query=position")[1]
        assert b"zoom=?" in body and b"\xff" in body
        camera.state("fault", "status=500 /orvex-cgi/")
        assert get(port, "/operator/basic.shtml")[0] == 200
        assert get(port, "/orvex-cgi/opticssetup.cgi?monitor=poll")[0] == 500
        # Credentials still come first.
        assert get(port, "/orvex-cgi/opticssetup.cgi?monitor=poll", auth=None)[0] == 401
        camera.state("fault", "close")
        with pytest.raises((http.client.RemoteDisconnected, ConnectionError)):
            get(port, "/operator/basic.shtml")
        camera.state("fault", "delay=0.3")
        started = time.monotonic()
        assert get(port, "/operator/basic.shtml")[0] == 200
        assert time.monotonic() - started >= 0.3
        assert [r["status"] for r in camera.requests()] == [503, 200, 200, 200, 500, 401, "closed", 200]


class TestAccountCgi:
    def cgi(self, camera, query):
        r = tool(camera, "usr/html/orvex-cgi/pwdgrp.cgi", env={"QUERY_STRING": query}, raw=True)
        r.stdout = r.stdout.decode()
        return r

    def users(self, camera):
        return json.loads(camera.path("var/lib/camweb/users.json").read_text())

    def test_add_and_remove(self, camera):
        r = self.cgi(camera, "action=add&user=viewer1&pwd=Pw-1&grp=users&sgrp=viewer&comment=")
        assert (r.returncode, r.stdout) == (0, "Content-Type: text/plain\r\n\r\nCreated account viewer1.\n")
        assert self.users(camera)["viewer1"] == {"password": "Pw-1", "group": "users",
                                                 "sgrp": "viewer", "comment": ""}
        r = self.cgi(camera, "action=remove&user=viewer1")
        assert r.stdout.endswith("Removed account viewer1.\n")
        assert "viewer1" not in self.users(camera)
        assert [c["query"] for c in camera.calls("pwdgrp.cgi")] == [
            "action=add&user=viewer1&pwd=Pw-1&grp=users&sgrp=viewer&comment=",
            "action=remove&user=viewer1"]

    @pytest.mark.parametrize("query", [
        "action=add&user=root&pwd=x",               # exists
        "action=remove&user=ghost",                 # does not exist
        "action=add&user=bad name&pwd=x",
        "action=add&user=ok&pwd=a:b",
        "action=add&user=ok&pwd=",
        "action=rename&user=ok",
        "",
    ])
    def test_refusals_never_say_created_or_removed(self, camera, query):
        before = self.users(camera)
        r = self.cgi(camera, query)
        assert r.returncode == 0
        assert "Error: " in r.stdout
        assert "Created" not in r.stdout and "Removed" not in r.stdout
        assert self.users(camera) == before

    def test_fault_fails_the_program(self, camera):
        camera.state("pwdgrp.fault", "")
        r = self.cgi(camera, "action=add&user=u1&pwd=p")
        assert r.returncode == 1
        assert r.stdout.endswith("Error: internal failure\n")
        assert "u1" not in self.users(camera)


class TestClients:
    def test_hfetchr(self, camera):
        port = camera.web()
        url = "http://127.0.0.1:%d/orvex-cgi/com/ptz.cgi?query=position" % port
        r = tool(camera, "usr/bin/hfetchr", "-o", "/dev/stdout", "-u", "root", "-w", ADMIN[1], url)
        assert (r.returncode, r.stdout) == (0, "pan=0.0000\ntilt=0.0000\nzoom=1\n")
        out = camera.path("tmp/fetched")
        r = tool(camera, "usr/bin/hfetchr", "-o", str(out), "-u", "root", "-w", ADMIN[1], url)
        assert r.returncode == 0 and out.read_text().endswith("zoom=1\n")
        r = tool(camera, "usr/bin/hfetchr", "-o", "/dev/stdout", "-u", "root", "-w", "bad", url)
        assert (r.returncode, r.stdout) == (1, "")
        assert tool(camera, "usr/bin/hfetchr", "-o").returncode == 2
        assert tool(camera, "usr/bin/hfetchr", "-u", "root").returncode == 2
        assert camera.calls("hfetchr")[0] == ["-o", "/dev/stdout", "-u", "root", "-w", ADMIN[1], url]

    def test_package_curl_is_debians_curl(self, camera):
        port = camera.web()
        url = "http://127.0.0.1:%d/operator/basic.shtml" % port
        p = "usr/local/packages/tallyo/package/curl"
        r = tool(camera, p, "-s", "-f", "--user", "root:" + ADMIN[1], url)
        assert r.returncode == 0 and "<html>" in r.stdout
        r = tool(camera, p, "-s", "-f", "--user", "root:no", url)
        assert r.returncode == 22
        assert camera.calls("curl") == [["-s", "-f", "--user", "root:" + ADMIN[1], url],
                                        ["-s", "-f", "--user", "root:no", url]]

    def test_knobctl(self, camera):
        camera.set("root.stereo.Counter0B", "2", "root.stereo.Counter0A", "line\none\rtwo",
                   "root.stereoX.Other0C", "3")
        r = tool(camera, "usr/bin/knobctl", "--nocgi", "getgroup", "stereo")
        assert (r.returncode, r.stdout) == (
            0, 'root.stereo.Counter0A="line one two"\nroot.stereo.Counter0B="2"\n')
        r = tool(camera, "usr/bin/knobctl", "getgroup", "root.stereoX")
        assert r.stdout == 'root.stereoX.Other0C="3"\n'
        r = tool(camera, "usr/bin/knobctl", "--nocgi", "getgroup", "ptz")
        assert (r.returncode, r.stdout) == (1, "")
        assert tool(camera, "usr/bin/knobctl", "--nocgi", "list").returncode == 2
        assert camera.calls("knobctl") == [["--nocgi", "getgroup", "stereo"],
                                           ["getgroup", "root.stereoX"],
                                           ["--nocgi", "getgroup", "ptz"], ["--nocgi", "list"]]

    def test_reboot_records_and_fails_on_request(self, camera):
        camera.path("tmp/reboot.fail").write_text("2\n")
        codes = [tool(camera, "sbin/reboot", "-f").returncode for _ in range(3)]
        assert codes == [1, 1, 0]
        assert camera.path("tmp/reboot.calls").read_text() == (
            "%s -f\n" % camera.path("sbin/reboot")) * 3


class TestCameraRoot:
    def test_tools_are_installed_inside_the_root(self, camera):
        for rel in ("sbin/reboot", "usr/bin/hfetchr", "usr/bin/knobctl",
                    "usr/html/orvex-cgi/pwdgrp.cgi", "usr/local/packages/tallyo/package/curl"):
            assert os.access(camera.path(rel), os.X_OK), rel
        assert json.loads(camera.path("var/lib/camweb/users.json").read_text())["root"]["password"] == ADMIN[1]

    def test_without_a_build_tree_no_knobctl_and_no_package(self, tmp_path):
        env = {k: v for k, v in os.environ.items() if k != "ZENT_BUILD_DIR"}
        root = tmp_path / "bare"
        subprocess.run([PYTHON, str(MAKE_ROOT), str(root)], env=env, check=True)
        assert not (root / "usr/bin/knobctl").exists()
        assert not (root / "usr/local/packages/tallyo/package").exists()
        assert os.access(root / "sbin/reboot", os.X_OK)

    def test_malformed_user_is_refused(self, tmp_path):
        r = subprocess.run([PYTHON, str(MAKE_ROOT), str(tmp_path / "r"), "--camera-user", "nocolon"],
                           capture_output=True, text=True)
        assert r.returncode != 0 and "USER:PASSWORD" in r.stderr
