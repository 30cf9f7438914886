#!/usr/bin/python3
# The camera's account CGI, simulated: reads QUERY_STRING and keeps the camera's users in
# <root>/var/lib/camweb/users.json, the file the web stand-in (sim/camweb) authenticates
# against.
#   action=add&user=U&pwd=P&grp=G&sgrp=S&comment=C   -> "Created account U."
#   action=remove&user=U                             -> "Removed account U."
# Anything refused prints an "Error: ..." line (never those words). Records every query in
# <root>/tmp/pwdgrp.cgi.calls. With <root>/var/lib/camweb/pwdgrp.fault present it fails
# (exit status 1, "Error: internal failure").
import fcntl
import json
import os
import re
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from _toolroot import camera_root, record  # noqa: E402

USER_RE = re.compile(r"^[A-Za-z0-9_]{1,32}$")


def answer(text, status=0):
    sys.stdout.write("Content-Type: text/plain\r\n\r\n" + text + "\n")
    return status


def main():
    root = camera_root(__file__, "/usr/html/orvex-cgi")
    query = os.environ.get("QUERY_STRING", "")
    record(root, "pwdgrp.cgi", {"query": query})
    state = os.path.join(root + "/var/lib/camweb")
    os.makedirs(state, exist_ok=True)
    if os.path.exists(os.path.join(state, "pwdgrp.fault")):
        return answer("Error: internal failure", 1)
    fields = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
    action = fields.get("action", "")
    user = fields.get("user", "")
    if not USER_RE.match(user):
        return answer("Error: bad user name")
    users_path = os.path.join(state, "users.json")
    with open(os.path.join(state, "users.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(users_path, encoding="utf-8") as f:
                users = json.load(f)
        except FileNotFoundError:
            users = {}
        if action == "add":
            pwd = fields.get("pwd", "")
            if not pwd or len(pwd) > 64 or not all(32 < ord(c) < 127 and c != ":" for c in pwd):
                return answer("Error: bad password")
            if user in users:
                return answer("Error: account %s already exists" % user)
            users[user] = {"password": pwd, "group": fields.get("grp", ""),
                           "sgrp": fields.get("sgrp", ""), "comment": fields.get("comment", "")}
            message = "Created account %s." % user
        elif action == "remove":
            if user not in users:
                return answer("Error: account %s does not exist" % user)
            del users[user]
            message = "Removed account %s." % user
        else:
            return answer("Error: unknown action")
        tmp = users_path + ".new"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(users, f, indent=1, sort_keys=True)
        os.replace(tmp, users_path)
    return answer(message)


if __name__ == "__main__":
    sys.exit(main())
