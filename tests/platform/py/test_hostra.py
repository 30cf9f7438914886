"""The hosted-video camera user: created through the account CGI stand-in with a password
from the kernel's random source, stored as the camera account, and then accepted by the
camera's web server; nothing done when the service is off or an account is stored."""
import json
import re

import pytest

RUN = """
r = fn("set_password_for_hostra", ctypes.c_int)()
stored = {}
for name in (b"Environment.SysPwd", b"Environment.SysAccount"):
    stored[name.decode()] = fn("zent_param_get", ctypes.c_char_p, ctypes.c_char_p)(name).decode()
out(r=r, stored=stored, show=page("show_hostra_user"))
"""


def test_creates_the_user_and_the_web_server_accepts_it(camera):
    camera.web()
    camera.set("root.RemoteService.Enabled", "yes")
    child = camera.run(RUN + """
check = fn("pwdcheck", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p)
pw = fn("zent_param_get", ctypes.c_char_p, ctypes.c_char_p)(b"Environment.SysPwd")
out(r=r, stored=stored, show=page("show_hostra_user"), accepted=check(b"LumentaCamapi", pw))
""")
    res = child.result
    assert res["r"] == 0
    pw = res["stored"]["Environment.SysPwd"]
    assert res["stored"]["Environment.SysAccount"] == "LumentaCamapi"
    assert re.fullmatch(r"[A-HJ-Za-km-z]{20}", pw), pw
    assert res["accepted"] == 0
    text, n = res["show"]
    assert json.loads(text) == {"user": "LumentaCamapi", "password": pw}
    assert n == len(text)
    queries = [c["query"] for c in camera.calls("pwdgrp.cgi")]
    assert queries == ["action=remove&user=LumentaCamapi",
                       "action=add&user=LumentaCamapi&pwd=%s&grp=users"
                       "&sgrp=viewer:operator:admin:ptz&comment=" % pw]
    users = json.loads(camera.path("var/lib/camweb/users.json").read_text())
    assert users["LumentaCamapi"]["sgrp"] == "viewer:operator:admin:ptz"
    assert [t for t in child.texts(7) if t.startswith("pwdcheck")] == [
        "pwdcheck: Attempted to delete old user failed",
        "pwdcheck: Attempted to create new user succeeded"]
    # The settings were written without raising the updated flag.
    flag = camera.run("out(f=fn('zent_param_updated', ctypes.c_int)())")
    assert flag.result == {"f": 0}


def test_an_old_user_is_replaced(camera):
    camera.set("root.RemoteService.Enabled", "yes")
    camera.add_user("LumentaCamapi", "Old-password")
    child = camera.run(RUN)
    assert child.result["r"] == 0
    assert child.texts(7)[-2:] == ["pwdcheck: Attempted to delete old user succeeded",
                                   "pwdcheck: Attempted to create new user succeeded"]
    users = json.loads(camera.path("var/lib/camweb/users.json").read_text())
    assert users["LumentaCamapi"]["password"] == child.result["stored"]["Environment.SysPwd"]


def test_passwords_differ_between_cameras(camera):
    camera.set("root.RemoteService.Enabled", "yes")
    passwords = set()
    for _ in range(3):
        camera.set("root.stereo.Environment0SysPwd", "", "root.stereo.Environment0SysAccount", "")
        child = camera.run(RUN)
        assert child.result["r"] == 0
        passwords.add(child.result["stored"]["Environment.SysPwd"])
    assert len(passwords) == 3


@pytest.mark.parametrize("remote,pwd,account", [
    ("no", "", ""),
    ("", "", ""),
    ("yes", "kept", ""),
    ("yes", "", "someone"),
])
def test_nothing_to_do(camera, remote, pwd, account):
    camera.set("root.RemoteService.Enabled", remote, "root.stereo.Environment0SysPwd", pwd,
               "root.stereo.Environment0SysAccount", account)
    child = camera.run(RUN)
    assert child.result["r"] == 0
    assert child.result["stored"] == {"Environment.SysPwd": pwd, "Environment.SysAccount": account}
    assert camera.calls("pwdgrp.cgi") == []
    show = child.result["show"]
    if remote == "yes":
        assert json.loads(show[0]) == {"user": account, "password": pwd}
    else:
        assert show == ["", 0]


def test_failed_creation_stores_nothing(camera):
    camera.set("root.RemoteService.Enabled", "yes")
    camera.state("pwdgrp.fault", "")
    child = camera.run(RUN)
    assert child.result["r"] == 1
    assert child.result["stored"] == {"Environment.SysPwd": "", "Environment.SysAccount": ""}
    assert child.texts(7)[-2:] == ["pwdcheck: Attempted to delete old user failed",
                                   "pwdcheck: Attempted to create new user failed"]


def test_missing_account_program_is_a_failure(camera):
    camera.set("root.RemoteService.Enabled", "yes")
    camera.path("usr/html/orvex-cgi/pwdgrp.cgi").unlink()
    child = camera.run(RUN)
    assert child.result["r"] == 1
    assert child.result["stored"]["Environment.SysPwd"] == ""
