# The HTTP library over a real socket: routing, what the callback is given, and how its
# CGI-style output becomes status line, headers and body.
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import urllib.parse

import pytest

from conftest import QLHTTP_ECHO, wait_for


class EchoServer:
    def __init__(self, port_env="0"):
        env = dict(os.environ, QLHTTP_PORT=port_env)
        self.proc = subprocess.Popen([QLHTTP_ECHO], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env)
        first = self.proc.stdout.readline().decode()
        self.ready = first.strip() == "ready"
        self.port = None
        if self.ready and port_env == "0":
            line = self.proc.stderr.readline().decode()
            m = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
            assert m, line
            self.port = int(m.group(1))
        elif self.ready:
            self.port = int(port_env)

    def request(self, method, target, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            conn.request(method, target, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, r.reason, r.getheader("Content-Type"), r.read(), r
        finally:
            conn.close()

    def echo(self, target, method="GET", **kw):
        status, _, ctype, body, _ = self.request(method, target, **kw)
        assert status == 200 and ctype == "application/json", (status, ctype, body)
        return json.loads(body)

    def raw(self, out):
        return self.request("GET", "/local/tallyo/raw?" + urllib.parse.urlencode({"out": out}))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode


@pytest.fixture
def server():
    s = EchoServer()
    assert s.ready
    yield s
    assert s.stop() == 0


def test_query_decoding(server):
    e = server.echo("/local/tallyo/echo?a=1+2&b=%41%2b%26&c&&d=&a=last&e=x%3Dy")
    assert e["path"] == "/local/tallyo/echo"
    # Raw: not form-decoded (the server only normalises escapes of unreserved characters).
    assert e["query"].startswith("a=1+2&b=") and "%26&c&&d=&a=last&e=x%3Dy" in e["query"]
    # '+' is a blank, %xx a byte, a bare key maps to "", the last repeated key wins.
    assert e["params"] == {"a": "last", "b": "A+&", "c": "", "d": "", "e": "x=y"}
    e = server.echo("/local/tallyo/echo?proxy-url=http%3A%2F%2Fp%3A3128&k%20ey=v+v")
    assert e["params"] == {"proxy-url": "http://p:3128", "k ey": "v v"}
    # %00 would cut the C string: it stays as written.
    assert server.echo("/local/tallyo/echo?z=a%00b")["params"] == {"z": "a%00b"}


@pytest.mark.parametrize("target,query", [("/local/tallyo/echo", None),
                                          ("/local/tallyo/echo?", ""),
                                          ("/local/tallyo/echo?&&", "&&")])
def test_no_query_parameters_give_no_table(server, target, query):
    e = server.echo(target)
    assert e["query"] == query
    assert e["params"] is None


def test_methods_pass_through_and_bodies_stay_out_of_the_table(server):
    for method in ("GET", "POST", "PUT", "DELETE", "OPTIONS"):
        assert server.echo("/local/tallyo/echo", method=method)["method"] == method
    e = server.echo("/local/tallyo/cmd/purge?x=1", method="POST", body="confirm=yes",
                    headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert e["path"] == "/local/tallyo/cmd/purge"
    assert e["params"] == {"x": "1"}
    status, _, _, body, _ = server.request("HEAD", "/local/tallyo/echo")
    assert status == 200 and body == b""


def test_paths_outside_the_prefix_are_404_without_a_callback(server):
    before = server.echo("/local/tallyo/echo")["calls"]
    for target in ("/", "/local/tallyo", "/local/tallyox/echo", "/other/local/tallyo/echo",
                   "/LOCAL/tallyo/echo", "/favicon.ico?x=1"):
        status, _, ctype, body, _ = server.request("GET", target)
        assert (status, ctype, body) == (404, "text/plain", b""), target
    status, _, _, _, _ = server.request("POST", "/local/")
    assert status == 404
    # Only the two echo requests reached the callback.
    assert server.echo("/local/tallyo/echo")["calls"] == before + 1


@pytest.mark.parametrize("out,status,reason,ctype,body", [
    ("Content-Type: application/json\r\nStatus: 200 OK\r\n\r\n{\"a\": 1}\n",
     200, "OK", "application/json", b"{\"a\": 1}\n"),
    ("Content-Type: text/plain\r\nStatus: 404 Not Found\r\n\r\n", 404, "Not Found", "text/plain", b""),
    ("Status: 500 Internal Server Error\r\n\r\n{\"status\": \"Too many jobs queued.\"}\n",
     500, "Internal Server Error", None, b"{\"status\": \"Too many jobs queued.\"}\n"),
    ("Status: 299 Odd Reason\n\nbody\n\nmore", 299, "Odd Reason", None, b"body\n\nmore"),
    ("Content-Type: text/html\n\n<p>x</p>", 200, "OK", "text/html", b"<p>x</p>"),
    ("no blank line: all of it is body\r\n", 200, "OK", None, b"no blank line: all of it is body\r\n"),
    ("", 200, "OK", None, b""),
    ("Status: 204\r\n\r\n", 204, "No Content", None, b""),
    ("Status: abc\r\n\r\nhidden", 500, "Internal Server Error", "text/plain", b""),
    ("Status: 99 Too Low\r\n\r\nhidden", 500, "Internal Server Error", "text/plain", b""),
    ("Status: 400 Bad Request\r\n\r\nfirst\r\n\r\nsecond", 400, "Bad Request", None,
     b"first\r\n\r\nsecond"),
    ("Status: 200 OK\n\r\n\r\nx", 200, "OK", None, b"\r\nx"),
])
def test_cgi_head_becomes_the_response(server, out, status, reason, ctype, body):
    got_status, got_reason, got_ctype, got_body, _ = server.raw(out)
    assert (got_status, got_reason, got_ctype, got_body) == (status, reason, ctype, body)


def test_extra_head_lines_become_headers_and_binary_bodies_survive(server):
    out = "X-Test: yes\r\nContent-Type: application/octet-stream\r\n\r\n\x01\xff\r\n"
    status, _, ctype, body, resp = server.request(
        "GET", "/local/tallyo/raw?out=" + urllib.parse.quote(out, encoding="latin-1"))
    assert status == 200 and ctype == "application/octet-stream"
    assert resp.getheader("X-Test") == "yes"
    assert body == b"\x01\xff\r\n"


def test_status_line_bytes_on_the_wire(server):
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as s:
        q = urllib.parse.quote("Status: 404 Not Found\r\nContent-Type: text/plain\r\n\r\n")
        s.sendall(("GET /local/tallyo/raw?out=%s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % q)
                  .encode())
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    assert lines[0] == b"HTTP/1.1 404 Not Found"
    assert b"Content-Type: text/plain" in lines
    assert b"Content-Length: 0" in lines
    assert body == b""


def test_kept_table_outlives_the_request(server):
    status, _, _, _, _ = server.request("GET", "/local/tallyo/keep?proxy-url=u&proxy-password=p")
    assert status == 204
    # Other requests in between must not disturb the referenced table.
    server.echo("/local/tallyo/echo?proxy-url=other")
    status, _, _, body, _ = server.request("GET", "/local/tallyo/kept")
    assert json.loads(body) == {"proxy-password": "p", "proxy-url": "u"}


def test_many_requests_on_one_connection(server):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        for i in range(50):
            conn.request("GET", "/local/tallyo/echo?i=%d" % i)
            r = conn.getresponse()
            assert json.loads(r.read())["params"] == {"i": str(i)}
    finally:
        conn.close()


def test_busy_or_invalid_port_makes_the_handler_fail(server):
    second = EchoServer(str(server.port))
    assert not second.ready
    assert wait_for(lambda: second.proc.poll() is not None) and second.proc.returncode == 1
    second.stop()
    for bad in ("abc", "65536", "-1", "80x"):
        s = EchoServer(bad)
        assert not s.ready, bad
        s.stop()
    # The first server still answers.
    assert server.echo("/local/tallyo/echo")["path"] == "/local/tallyo/echo"


def test_listens_on_loopback_only(server):
    # Learn a non-loopback address of this host (a UDP connect sends nothing).
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
        try:
            u.connect(("192.0.2.200", 9))
            local = u.getsockname()[0]
        except OSError:
            local = "127.0.0.1"
    if local.startswith("127.") or local == "0.0.0.0":
        pytest.skip("no non-loopback address")
    with pytest.raises(OSError):
        socket.create_connection((local, server.port), timeout=2).close()
