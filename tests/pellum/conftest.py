# Harness for driving the real launcher: a fresh camera root per test, the daemon started
# with its debug copy on stderr, local package servers, a proxy, and polling helpers.
import http.client
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

import pytest

BUILD = os.environ.get("ZENT_BUILD_DIR", "")
SOURCE = os.environ.get("ZENT_SOURCE_DIR", "")
PELLUM_BIN = os.path.join(BUILD, "pellum", "pellum")
SHIM = os.path.join(BUILD, "tests", "pellum", "libpellum_test_shim.so")
PACKAGES = os.path.join(BUILD, "sim", "app")
MAKE_ROOT = os.path.join(SOURCE, "sim", "make-camera-root")
MAKE_PACKAGE = os.path.join(SOURCE, "sim", "app", "make-package")
QLPARAM = os.path.join(BUILD, "sim", "qlparameter", "qlparam")
DEVSIM = os.path.join(BUILD, "sim", "devsim", "libdevsim.so")
PYTHON = "/usr/bin/python3"

PKG_DIR = "/usr/local/packages/tallyo/package"
PACKAGE_NAME = "vendle_tallyo_5_v1-6plus"
# Shortened check period for tests; the worker polls at the same period.
TICK_MS = 200


def package(name="package"):
    return os.path.join(PACKAGES, name + ".tar.gz")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


def pyrun_pids(root=None, include_zombies=True):
    """Processes named pyrun (optionally only those working under root)."""
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.find("(") + 1:stat.rfind(")")]
        state = stat[stat.rfind(")") + 2:][:1]
        if comm != "pyrun":
            continue
        if not include_zombies and state in ("Z", "X"):
            continue
        if root is not None:
            try:
                if not os.readlink("/proc/%s/cwd" % entry).startswith(root):
                    continue
            except OSError:
                continue
        out.append(int(entry))
    return out


def pid_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(")") + 2:][:1] not in ("Z", "X")


def make_package(out, *args):
    subprocess.run([PYTHON, MAKE_PACKAGE, "--out", str(out)] + list(args), check=True)
    return str(out)


class FileServer:
    """A local HTTP server offering packages by path; optionally slow, always recording."""

    def __init__(self):
        self.routes = {}
        self.delays = {}
        self.requests = []
        self.lock = threading.Lock()
        self.request_seen = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                path = self.path.split("?", 1)[0]
                if path.startswith("http://"):
                    path = "/" + path.split("/", 3)[3]
                with server.lock:
                    server.requests.append((path, dict(self.headers)))
                server.request_seen.set()
                body = server.routes.get(path)
                if body is None:
                    self.send_response(404)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                self.send_response(200)
                self.send_header("Content-Type", "application/gzip")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                delay = server.delays.get(path, 0.0)
                chunks = 20 if delay else 1
                step = (len(body) + chunks - 1) // chunks
                try:
                    for i in range(0, len(body), step):
                        self.wfile.write(body[i:i + step])
                        self.wfile.flush()
                        if delay:
                            time.sleep(delay / chunks)
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.base = "http://127.0.0.1:%d/" % self.port
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def offer(self, archive, name=PACKAGE_NAME, delay=0.0):
        with open(archive, "rb") as f:
            self.routes["/" + name] = f.read()
        self.delays["/" + name] = delay

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class TinyProxy:
    """Debian's tinyproxy on a loopback port, asking for user and password."""

    def __init__(self, directory, user="user", password="pass"):
        self.port = free_port()
        self.log = os.path.join(directory, "tinyproxy.log")
        conf = os.path.join(directory, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write("Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile \"%s\"\nLogLevel Info\n"
                    "PidFile \"%s\"\nMaxClients 20\nBasicAuth %s %s\n"
                    % (self.port, self.log, os.path.join(directory, "tinyproxy.pid"), user,
                       password))
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.proc = subprocess.Popen(["/usr/bin/tinyproxy", "-d", "-c", conf], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(listening, 10, "tinyproxy to listen")

    def log_text(self):
        try:
            with open(self.log) as f:
                return f.read()
        except OSError:
            return ""

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Pellum:
    """One simulated camera: its root, and the launcher running on it."""

    def __init__(self, directory):
        self.dir = directory
        self.root = os.path.join(directory, "root")
        self.exe = os.path.join(directory, "pellum")
        self.stderr_path = os.path.join(directory, "pellum.stderr")
        self.stdout_path = os.path.join(directory, "pellum.stdout")
        self.syslog_path = os.path.join(directory, "syslog.records")
        self.meminfo_path = os.path.join(directory, "meminfo")
        self.port = None
        self.proc = None

    # -- the camera root
    def lay_out(self, install=None, download=None, params=(), firmware=None, preload=(),
                env=()):
        cmd = [PYTHON, MAKE_ROOT, self.root]
        for lib in preload:
            cmd += ["--preload", lib]
        for item in env:
            cmd += ["--env", item]
        if install:
            cmd += ["--install", install]
        if download:
            cmd += ["--download", download]
        if firmware is not None:
            cmd += ["--firmware", firmware]
        for p in params:
            cmd += ["--param", p]
        subprocess.run(cmd, check=True)

    def path(self, camera_path):
        return self.root + camera_path

    def exists(self, camera_path):
        return os.path.lexists(self.path(camera_path))

    def param(self, name):
        r = subprocess.run([QLPARAM, "get", name], env=dict(os.environ, ZENT_ROOT=self.root),
                           capture_output=True, text=True)
        assert r.returncode == 0, r.stderr
        return r.stdout.rstrip("\n")

    def app_record(self):
        try:
            with open(self.path("/tmp/app-started.json")) as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def app_starts(self):
        try:
            with open(self.path("/tmp/app-starts.log")) as f:
                return [line.split() for line in f if line.strip()]
        except OSError:
            return []

    # -- the daemon
    def start(self, args=(), env=None, debug=True, download_url="", tick=True, memory=None,
              wait_ready=True):
        # Any pyrun left anywhere makes the launcher's start-up kill wait 10 s.
        try:
            wait_for(lambda: not pyrun_pids(), 15, "earlier pyrun processes to vanish")
        except AssertionError:
            pass
        shutil.copyfile(PELLUM_BIN, self.exe)
        os.chmod(self.exe, 0o755)
        debug_entry = os.path.join(self.dir, "debug")
        if os.path.lexists(debug_entry):
            os.unlink(debug_entry)
        if debug == "dangling-link":
            os.symlink(os.path.join(self.dir, "no-such-target"), debug_entry)
        elif debug:
            open(debug_entry, "w").close()
        self.port = free_port()
        e = {k: v for k, v in os.environ.items()
             if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")}
        e.update({"ZENT_ROOT": self.root, "QLHTTP_PORT": str(self.port),
                  "PELLUM_SHIM_SYSLOG": self.syslog_path,
                  "PELLUM_SHIM_MEMINFO": self.meminfo_path})
        if download_url is not None:
            e["DOWNLOAD_URL"] = download_url
        else:
            e.pop("DOWNLOAD_URL", None)
        if tick:
            e["PELLUM_TEST_TICK_MS"] = str(TICK_MS)
        else:
            e.pop("PELLUM_TEST_TICK_MS", None)
        # The shim is built without sanitizers and the launcher of a sanitizer build carries
        # its own runtime, so the sanitizer runtimes are not preloaded here: the launcher's
        # shell commands (curl hangs with a preloaded ASan runtime) run as on the camera.
        e["LD_PRELOAD"] = SHIM
        if os.environ.get("ZENT_SANITIZER_PRELOAD"):
            e["ASAN_OPTIONS"] = (e.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")
        if memory is not None:
            self.set_memory(*memory)
        if env:
            e.update(env)
        self.out = open(self.stdout_path, "wb")
        self.err = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([self.exe] + list(args), cwd=self.dir, env=e,
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err)
        if wait_ready:
            self.wait_ready()
        return self

    def set_memory(self, kb, unit):
        with open(self.meminfo_path + ".new", "w") as f:
            f.write("%d %d\n" % (kb, unit))
        os.replace(self.meminfo_path + ".new", self.meminfo_path)

    def wait_ready(self, timeout=30):
        def ready():
            if self.proc.poll() is not None:
                raise AssertionError("pellum exited with %s during start:\n%s"
                                     % (self.proc.returncode, self.log()))
            try:
                return self.request("GET", "/local/tallyo/status", timeout=1)[0] == 200
            except OSError:
                return False
        wait_for(ready, timeout, "pellum to answer")

    def request(self, method, path, query=None, timeout=10):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            target = path + ("?" + query if query is not None else "")
            conn.request(method, target)
            r = conn.getresponse()
            return r.status, r.getheader("Content-Type"), r.read()
        finally:
            conn.close()

    def status(self):
        code, ctype, body = self.request("GET", "/local/tallyo/status")
        assert code == 200 and ctype == "application/json", (code, ctype, body)
        return json.loads(body)

    def post(self, command, query=None):
        return self.request("POST", "/local/tallyo/cmd/" + command, query)

    def wait_status(self, status, timeout=30, manifest=None):
        def reached():
            s = self.status()
            return s["status"] == status and (manifest is None or s["manifest_state"] == manifest)
        try:
            wait_for(reached, timeout, "status %s" % status)
        except AssertionError:
            raise AssertionError("status never became %s (now %s)\n%s"
                                 % (status, self.status(), self.log()[-4000:]))
        return self.status()

    def log(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_log(self, pattern, timeout=30, count=1):
        rx = re.compile(pattern)
        try:
            return wait_for(lambda: len(rx.findall(self.log())) >= count and rx.findall(self.log()),
                            timeout, "log line %r" % pattern)
        except AssertionError:
            raise AssertionError("log line %r not seen %d times:\n%s"
                                 % (pattern, count, self.log()[-4000:]))

    def records(self):
        """Syslog records as (monotonic seconds, priority, message)."""
        out = []
        try:
            with open(self.syslog_path, encoding="utf-8", errors="replace", newline="\n") as f:
                for line in f:
                    t, prio, msg = line.rstrip("\n").split(" ", 2)
                    out.append((float(t), int(prio), msg))
        except OSError:
            pass
        return out

    def state_changes(self):
        """(operation, state) of every logged application-state change, in order."""
        return re.findall(r"(\w+)::Setting state to (\w+)", self.log())

    def stop(self, sig=signal.SIGTERM, timeout=60):
        self.proc.send_signal(sig)
        return self.wait_exit(timeout)

    def wait_exit(self, timeout=60):
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("pellum did not exit within %ss:\n%s" % (timeout, self.log()))
        return rc

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def cleanup(self):
        if self.running():
            self.proc.kill()
            self.proc.wait()
        for f in ("out", "err"):
            if hasattr(self, f):
                getattr(self, f).close()
        for pid in pyrun_pids(self.root):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        try:
            wait_for(lambda: not pyrun_pids(self.root), 10, "test applications to be reaped")
        except AssertionError:
            pass


class StatePoller:
    """Reads the status page continuously and keeps every distinct state in order."""

    def __init__(self, camera, interval=0.02):
        self.camera = camera
        self.interval = interval
        self.seen = []
        self.stop_flag = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def sample(self):
        try:
            s = self.camera.status()["status"]
            if not self.seen or self.seen[-1] != s:
                self.seen.append(s)
        except (OSError, AssertionError, ValueError):
            pass

    def run(self):
        while not self.stop_flag.is_set():
            self.sample()
            time.sleep(self.interval)

    def stop(self):
        self.stop_flag.set()
        self.thread.join(5)
        # The caller has just seen a state the loop may not have sampled yet.
        self.sample()
        return self.seen


def is_subsequence(small, big):
    it = iter(big)
    return all(any(x == y for y in it) for x in small)


@pytest.fixture
def workdir():
    d = tempfile.mkdtemp(prefix="pl", dir="/tmp")
    yield d
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture
def camera(workdir):
    cams = []

    def make(**layout):
        sub = tempfile.mkdtemp(prefix="c", dir=workdir)
        c = Pellum(sub)
        c.lay_out(**layout)
        cams.append(c)
        return c
    yield make
    for c in cams:
        c.cleanup()


@pytest.fixture
def server():
    s = FileServer()
    yield s
    s.close()


@pytest.fixture
def proxy(workdir):
    p = TinyProxy(workdir)
    yield p
    p.close()
