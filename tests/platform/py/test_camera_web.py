"""Camera properties and the password check against the camera's web server stand-in: the
exact command lines that reach the package's curl and hfetchr, the answers parsed, and the
warnings raised when the camera does not answer."""
import pytest

from conftest import ADMIN

ACCOUNT = ("root.stereo.Environment0SysAccount", ADMIN[0],
           "root.stereo.Environment0SysPwd", ADMIN[1])


def test_password_check_right_wrong_empty(camera):
    port = camera.web()
    child = camera.run("""
        check = fn("pwdcheck", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p)
        out(right=check(b"root", b"Adm1n-secret"), wrong=check(b"root", b"adm1n-secret"),
            nouser=check(b"nobody", b"Adm1n-secret"), empty=check(b"", b""),
            empty_pass=check(b"root", b""))
    """)
    assert child.result == {"right": 0, "wrong": -1, "nouser": -1, "empty": -1, "empty_pass": -1}
    url = "http://127.0.0.1:%d/operator/basic.shtml" % port
    assert camera.calls("curl") == [
        ["-k", "-L", "-f", "--user", "root:Adm1n-secret", url],
        ["-k", "-L", "-f", "--user", "root:adm1n-secret", url],
        ["-k", "-L", "-f", "--user", "nobody:Adm1n-secret", url],
        ["-k", "-L", "-f", "--user", ":", url],
        ["-k", "-L", "-f", "--user", "root:", url],
    ]
    assert [r["status"] for r in camera.requests()] == [200, 401, 401, 401, 401]
    # Nothing is left in a shared file that a later check could trust.
    assert not camera.path("tmp/junk").exists()


def test_password_check_ignores_a_stale_shared_file(camera):
    camera.web()
    # A leftover from another run must not let a wrong password through.
    camera.path("tmp/junk").write_text("<html>leftover</html>")
    child = camera.run("""
        check = fn("pwdcheck", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p)
        out(wrong=check(b"root", b"wrong"))
    """)
    assert child.result == {"wrong": -1}


def test_password_page_through_the_server(camera):
    camera.web()
    child = camera.run("""
        a = page("pwdcheck_page", query=b"user=root&pass=Adm1n-secret&x=1")
        b = page("pwdcheck_page", query=b"user=root&pass=bad")
        c = page("pwdcheck_page", query=b"pass=Adm1n-secret&user=root")
        out(a=a, b=b, c=c)
    """)
    assert child.result["a"] == ["{\n\t\"success\" : true\n}", 21]
    assert child.result["b"] == ["{\n\t\"success\" : false\n}", 22]
    assert child.result["c"] == ["{\n\t\"success\" : false\n}", 22]
    assert [t for t in child.texts(7) if t.startswith("pwdcheck")] == [
        "pwdcheck: Could not parse password string"]


def test_password_check_without_a_server(camera):
    # Port recorded, nobody listening: refused, not an error.
    camera.set("root.System.BoaPort", "1")
    child = camera.run("""
        check = fn("pwdcheck", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p)
        out(r=check(b"root", b"Adm1n-secret"))
    """)
    assert child.result == {"r": -1}


def test_digital_zoom_from_the_position_query(camera):
    port = camera.web()
    camera.set(*ACCOUNT)
    camera.state("ptz.body", "pan=1.5\ntilt=-3\nzoom=4711\nfocus=2\n")
    child = camera.run("""
        out(zoom=fn("zent_param_get_digital_zoom", ctypes.c_int)())
    """)
    assert child.result == {"zoom": 4711}
    assert camera.calls("curl") == [
        ["-k", "-L", "-f", "--user", "root:Adm1n-secret",
         "http://127.0.0.1:%d/orvex-cgi/com/ptz.cgi?query=position" % port]]


@pytest.mark.parametrize("body,logged", [
    ("pan=1\nzoom=high\n", ["param: zent_param_get_digital_zoom(): sscanf\\n",
                           "param: buf = zoom=high\\n"]),
    ("pan=1\ntilt=2\n", ["param: buf = tilt=2\\n"]),
])
def test_digital_zoom_unparsable(camera, body, logged):
    camera.web()
    camera.set(*ACCOUNT)
    camera.state("ptz.body", body)
    child = camera.run("""
        out(zoom=fn("zent_param_get_digital_zoom", ctypes.c_int)())
    """)
    assert child.result == {"zoom": -1}
    assert child.texts(7) == ["param: param_get boa port: %d\\n" % camera.port] + logged


def test_optical_zoom_success_clears_its_warning(camera):
    camera.web()
    camera.set(*ACCOUNT)
    camera.set("root.Brand.ProdNbr", "S5510-E")
    camera.state("optics.body", 'focus="1"\nzoomPosition="0.625"\n')
    child = camera.run("""
        lib.zent_param_set_error_(b"GET_ZOOM_ERROR", b"Failed to get camera zoom value.")
        z = fn("zent_param_get_optical_zoom", ctypes.c_float)()
        live = fn("zent_param_get_lens_live_zoom", ctypes.c_float, ctypes.c_int)(0)
        out(z=z, live=live, warnings=warnings())
    """)
    assert child.result["z"] == pytest.approx(0.625)
    # The linear live focal length of this model: 4.7 + 42.6 z.
    assert child.result["live"] == pytest.approx(4.7 + 42.6 * 0.625, rel=1e-6)
    assert child.result["warnings"] == []
    assert all("opticssetup.cgi?monitor=poll" in c[-1] for c in camera.calls("curl"))


@pytest.mark.parametrize("fault,account_ok,expected", [
    ("status=500 /orvex-cgi/", True, ["GET_ZOOM_ERROR"]),
    ("garbage /orvex-cgi/", True, ["GET_ZOOM_ERROR"]),
    ("empty /orvex-cgi/", True, ["GET_ZOOM_ERROR"]),
    ("", False, ["GET_ZOOM_ERROR", "SYS_PWD_ERROR"]),
    # The account check fails too when the whole server is down.
    ("status=500", True, ["GET_ZOOM_ERROR", "SYS_PWD_ERROR"]),
])
def test_optical_zoom_failures_raise_warnings(camera, fault, account_ok, expected):
    camera.web()
    camera.set("root.stereo.Environment0SysAccount", "root", "root.stereo.Environment0SysPwd",
               ADMIN[1] if account_ok else "not-it")
    camera.set("root.Properties.System.HardwareID", "9F1.4")
    camera.state("fault", fault)
    child = camera.run("""
        z = fn("zent_param_get_optical_zoom", ctypes.c_float)()
        out(z=z, warnings=warnings())
    """)
    assert child.result == {"z": 0.0, "warnings": expected}


def test_lens_constant_follows_the_optical_zoom(camera):
    camera.web()
    camera.set(*ACCOUNT)
    camera.set("root.Properties.System.HardwareID", "9F1.4")
    camera.state("optics.body", 'zoomPosition="0.5"\n')
    child = camera.run("""
        out(l=fn("zent_param_get_lens_lambda", ctypes.c_float)())
    """)
    assert child.result["l"] == pytest.approx(-0.05 * 0.25 + 0.10 * 0.5 + 0.95, rel=1e-6)


def test_ptz_position_through_hfetchr(camera):
    port = camera.web()
    camera.set(*ACCOUNT)
    camera.set("root.Brand.ProdNbr", "Q6045-E")
    camera.state("ptz.body", "pan=0\nzoom=x\nzoom=2500\n")
    child = camera.run("""
        out(zoom=fn("zent_param_get_tz7_zoom", ctypes.c_int)())
    """)
    assert child.result == {"zoom": 2500}
    assert camera.calls("hfetchr") == [
        ["-o", "/dev/stdout", "-u", "root", "-w", ADMIN[1],
         "http://127.0.0.1:%d/orvex-cgi/com/ptz.cgi?query=position" % port]]
    assert "param: zent_param_get_tz7_zoom(): sscanf\\n" in child.texts(7)


def test_ptz_position_unavailable(camera):
    camera.web()
    camera.set(*ACCOUNT)
    camera.set("root.Brand.ProdNbr", "Q6045-E")
    camera.state("fault", "status=503")
    child = camera.run("""
        out(zoom=fn("zent_param_get_tz7_zoom", ctypes.c_int)())
    """)
    assert child.result == {"zoom": -1}
    assert child.texts(7)[-1] == "param: zent_param_get_tz7_zoom(): could not determine zoom position\\n"


def test_sanity_zoom_change_is_raised_and_kept(camera):
    camera.web()
    camera.set(*ACCOUNT)
    camera.set("root.Brand.ProdNbr", "S5510", "root.Time.SyncSource", "NTP",
               "root.Time.NTP.Server", "pool", "root.Image.I0.Appearance.Rotation", "0",
               "root.Image.I0.Appearance.MirrorEnabled", "no")
    camera.state("optics.body", 'zoomPosition="0.25"\n')
    child = camera.run("""
        import time
        check = fn("platform_check_sanity", ctypes.c_int)
        first = (check(), warnings())
        open(os.environ["ZENT_ROOT"] + "/var/lib/camweb/optics.body", "w").write('zoomPosition="0.5"\\n')
        second = (check(), warnings())
        open(os.environ["ZENT_ROOT"] + "/var/lib/camweb/optics.body", "w").write('zoomPosition="0.25"\\n')
        third = (check(), warnings())
        out(first=first, second=second, third=third)
    """, ZENT_TEST_BUILD_DATE="2020-01-01")
    assert child.result["first"] == [0, []]
    assert child.result["second"] == [0, ["ERROR_ZOOM_CHANGED"]]
    # Never cleared by the check.
    assert child.result["third"] == [0, ["ERROR_ZOOM_CHANGED"]]


def test_sanity_failed_zoom_read_is_no_change(camera):
    camera.web()
    camera.set(*ACCOUNT)
    camera.set("root.Brand.ProdNbr", "S5510", "root.Time.SyncSource", "NTP",
               "root.Time.NTP.Server", "pool", "root.Image.I0.Appearance.Rotation", "0",
               "root.Image.I0.Appearance.MirrorEnabled", "no")
    camera.state("fault", "status=500 /orvex-cgi/")
    child = camera.run("""
        check = fn("platform_check_sanity", ctypes.c_int)
        first = (check(), warnings())
        os.unlink(os.environ["ZENT_ROOT"] + "/var/lib/camweb/fault")
        second = (check(), warnings())
        third = (check(), warnings())
        out(first=first, second=second, third=third)
    """, ZENT_TEST_BUILD_DATE="2020-01-01")
    assert child.result["first"] == [0, ["GET_ZOOM_ERROR"]]
    # The camera answers again: its position is the first one recorded, not a change from 0.
    assert child.result["second"] == [0, []]
    assert child.result["third"] == [0, []]
