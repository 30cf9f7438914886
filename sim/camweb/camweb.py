#!/usr/bin/python3
"""The camera's own web server, simulated: a real HTTP/1.1 server on 127.0.0.1 with basic
authentication against the users that the account CGI stand-in (sim/tools/pwdgrp.cgi) keeps
in <root>/var/lib/camweb/users.json.

    camweb.py --root DIR [--port N] [--qlparam PATH]

Port 0 (the default) picks a free port. The server prints "camweb: listening on
127.0.0.1:<port>" once it accepts requests, writes the port to <root>/var/lib/camweb/port and,
with --qlparam, records it as root.System.BoaPort in the root's parameter store.

    GET /orvex-cgi/com/ptz.cgi?query=position      position lines ("zoom=1" among them)
    GET /orvex-cgi/opticssetup.cgi?monitor=poll    optics lines ('zoomPosition="0.25"')
    GET /operator/basic.shtml                      an HTML page

Without valid credentials every path answers 401; unknown paths 404. The bodies of the
first two come from <root>/var/lib/camweb/ptz.body and optics.body when present. The file
<root>/var/lib/camweb/fault, read at each request, makes requests fail: "status=N" answers N,
"garbage" answers 200 with bytes no parser accepts, "empty" answers 200 with no body,
"delay=S" waits S seconds first, "close" drops the connection without an answer; a path
prefix after the word ("status=500 /orvex-cgi/") limits the fault to those paths. Every
request is recorded as a JSON line in <root>/tmp/camweb.requests.
"""
import argparse
import base64
import json
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PTZ_BODY = "pan=0.0000\ntilt=0.0000\nzoom=1\n"
OPTICS_BODY = 'focusPosition="0.500000"\nzoomPosition="0.25"\n'
BASIC_BODY = "<html><head><title>Basic setup</title></head><body>Basic setup</body></html>\n"
GARBAGE = b"\x00\xffzoom=?\nzoomPosition=\"\xfe\"\n\x1b[0m"


class Camera:
    def __init__(self, root):
        self.root = root.rstrip("/")
        self.state = os.path.join(self.root + "/var/lib/camweb")
        self.log_lock = threading.Lock()
        os.makedirs(self.state, exist_ok=True)
        os.makedirs(self.root + "/tmp", exist_ok=True)

    def read(self, name, default=None):
        try:
            with open(os.path.join(self.state, name), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return default

    def users(self):
        text = self.read("users.json")
        try:
            return json.loads(text) if text else {}
        except ValueError:
            return {}

    def log(self, entry):
        with self.log_lock, open(self.root + "/tmp/camweb.requests", "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")


def make_handler(camera):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def credentials(self):
            header = self.headers.get("Authorization", "")
            if not header.startswith("Basic "):
                return None, None
            try:
                raw = base64.b64decode(header[6:].strip(), validate=True).decode("utf-8")
            except (ValueError, UnicodeDecodeError):
                return None, None
            user, sep, password = raw.partition(":")
            return (user, password) if sep else (None, None)

        def reply(self, status, body, ctype="text/plain", extra=()):
            data = body if isinstance(body, bytes) else body.encode()
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(data)))
            for k, v in extra:
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            user, password = self.credentials()
            fault, _, only = (camera.read("fault") or "").strip().partition(" ")
            if only and not url.path.startswith(only.strip()):
                fault = ""
            entry = {"path": url.path, "query": url.query, "user": user}
            if fault.startswith("delay="):
                time.sleep(float(fault[6:]))
                fault = ""
            if fault == "close":
                camera.log(dict(entry, status="closed"))
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return
            known = camera.users().get(user) if user is not None else None
            if known is None or known.get("password") != password:
                camera.log(dict(entry, status=401))
                self.reply(401, "Unauthorized\n",
                           extra=[("WWW-Authenticate", 'Basic realm="camera"')])
                return
            if fault.startswith("status="):
                status = int(fault[7:])
                camera.log(dict(entry, status=status))
                self.reply(status, "Failure\n")
                return
            if url.path == "/orvex-cgi/com/ptz.cgi" and url.query == "query=position":
                body, ctype = camera.read("ptz.body", PTZ_BODY), "text/plain"
            elif url.path == "/orvex-cgi/opticssetup.cgi" and url.query == "monitor=poll":
                body, ctype = camera.read("optics.body", OPTICS_BODY), "text/plain"
            elif url.path == "/operator/basic.shtml":
                body, ctype = BASIC_BODY, "text/html"
            else:
                camera.log(dict(entry, status=404))
                self.reply(404, "Not found\n")
                return
            if fault == "garbage":
                body = GARBAGE
            elif fault == "empty":
                body = ""
            camera.log(dict(entry, status=200))
            self.reply(200, body, ctype)

    return Handler


def main():
    p = argparse.ArgumentParser(description="The camera's web server, simulated.")
    p.add_argument("--root", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--qlparam", help="qlparam tool that records the port in the store")
    args = p.parse_args()
    camera = Camera(args.root)
    server = ThreadingHTTPServer(("127.0.0.1", args.port), make_handler(camera))
    server.daemon_threads = True
    port = server.server_address[1]
    with open(os.path.join(camera.state, "port"), "w") as f:
        f.write("%d\n" % port)
    if args.qlparam:
        env = dict(os.environ, ZENT_ROOT=camera.root)
        subprocess.run([args.qlparam, "set", "root.System.BoaPort", str(port)], env=env,
                       check=True)
    print("camweb: listening on 127.0.0.1:%d" % port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
