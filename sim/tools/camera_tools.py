"""Installs the camera tool stand-ins into a camera root (used by sim/make-camera-root):
reboot (<root>/sbin), hfetchr and knobctl (<root>/usr/bin), the account CGI
(<root>/usr/html/orvex-cgi/pwdgrp.cgi), on request the package's curl
(<root>/usr/local/packages/tallyo/package/curl), and the camera's web users."""
import fcntl
import json
import os
import shlex
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))

# (stand-in, camera directory, Python helper needed beside it)
TOOLS = [
    ("reboot", "/sbin", False),
    ("hfetchr", "/usr/bin", True),
    ("pwdgrp.cgi", "/usr/html/orvex-cgi", True),
]
PACKAGE_DIR = "/usr/local/packages/tallyo/package"


def _copy(root, name, camera_dir, helper):
    dest_dir = root + camera_dir
    os.makedirs(dest_dir, exist_ok=True)
    dest = os.path.join(dest_dir, name)
    shutil.copyfile(os.path.join(HERE, name), dest)
    os.chmod(dest, 0o755)
    if helper:
        shutil.copyfile(os.path.join(HERE, "_toolroot.py"), os.path.join(dest_dir, "_toolroot.py"))


def add_user(root, user, password, group="users", sgrp="viewer:operator:admin"):
    """Adds (or replaces) a user of the camera's web server."""
    state = root + "/var/lib/camweb"
    os.makedirs(state, exist_ok=True)
    path = os.path.join(state, "users.json")
    with open(os.path.join(state, "users.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(path, encoding="utf-8") as f:
                users = json.load(f)
        except FileNotFoundError:
            users = {}
        users[user] = {"password": password, "group": group, "sgrp": sgrp, "comment": ""}
        with open(path + ".new", "w", encoding="utf-8") as f:
            json.dump(users, f, indent=1, sort_keys=True)
        os.replace(path + ".new", path)


def install(root, build=None, package_curl=False, users=()):
    """`build` is the build tree (for knobctl, a command of its qlparam); without one, or
    without qlparam in it, the root gets no knobctl."""
    root = os.path.abspath(root)
    for name, camera_dir, helper in TOOLS:
        _copy(root, name, camera_dir, helper)
    qlparam = os.path.join(build, "sim", "qlparameter", "qlparam") if build else None
    if qlparam and os.access(qlparam, os.X_OK):
        knobctl = root + "/usr/bin/knobctl"
        with open(knobctl, "w") as f:
            f.write("#!/bin/sh\n# The camera's parameter lister: the parameter tool's knobctl "
                    "command.\nexec %s knobctl \"$@\"\n" % shlex.quote(os.path.abspath(qlparam)))
        os.chmod(knobctl, 0o755)
    if package_curl:
        _copy(root, "curl", PACKAGE_DIR, True)
    for user, password in users:
        add_user(root, user, password)
