# The task queue under load, stopping during a download, and the download proxy: command
# shapes, hostile values, over-long values, masking of the password, and a real proxy.
import os
import re
import time
import urllib.parse

from conftest import PACKAGE_NAME, package, wait_for

TOO_MANY = b'{"status": "Too many jobs queued."}\n'
OK = b'{"status": "Ok"}\n'
CURL = "curl --fail --connect-timeout 10 --insecure "


def commands(c):
    """The logged download command lines (from the syslog records: one record per message)."""
    return [m[len("Command '"):-1].replace("\\n", "\n") for _, _, m in c.records()
            if m.startswith("Command '")]


def test_fourth_waiting_command_is_refused(camera, server):
    server.offer(package(), delay=4.0)
    c = camera()
    c.start(download_url=server.base)
    assert c.post("download") == (200, "application/json", OK)
    # The worker has taken the download: it no longer counts as waiting.
    c.wait_status("downloading")
    assert server.request_seen.wait(10)
    replies = [c.post("install") for _ in range(3)]
    assert replies == [(200, "application/json", OK)] * 3
    assert c.post("install") == (500, "application/json", TOO_MANY)
    assert c.post("upgrade") == (500, "application/json", TOO_MANY)
    assert c.post("download") == (500, "application/json", TOO_MANY)
    assert c.post("purge", "confirm=yes") == (500, "application/json", TOO_MANY)
    # The dry run queues nothing and is answered whatever the queue holds.
    assert c.post("purge")[0] == 200
    # The main loop keeps answering while the download runs.
    assert c.status()["status"] == "downloading"
    log = c.log()
    assert "Failed to queue install job" in log and "Failed to queue purge job" in log
    # Once the queue drains, commands are accepted again.
    c.wait_log(r"Got task Install!", count=3, timeout=60)
    c.wait_status("running", timeout=30)
    assert c.stop() == 0
    assert c.log().count("Got task Install!") == 3


def test_stop_waits_for_a_running_download(camera, server):
    server.offer(package(), delay=3.0)
    c = camera()
    c.start(download_url=server.base)
    assert c.post("download")[0] == 200
    c.wait_status("downloading")
    assert server.request_seen.wait(10)
    t0 = time.monotonic()
    rc = c.stop(timeout=60)
    assert rc == 0
    assert time.monotonic() - t0 >= 1.0
    log = c.log()
    assert log.index("Stopping application") < log.index(
        "download_package::Setting state to PACKAGE_DOWNLOADED") < log.index(
        "Exiting worker thread!") < log.index("Exiting main loop")
    with open(c.path("/tmp/package.tar.gz"), "rb") as f, open(package(), "rb") as g:
        assert f.read() == g.read()


def test_stop_runs_the_queued_tasks_first(camera, server):
    server.offer(package(), delay=2.0)
    c = camera()
    c.start(download_url=server.base)
    assert c.post("download")[0] == 200
    c.wait_status("downloading")
    assert c.post("install")[0] == 200
    assert c.post("purge", "confirm=yes")[0] == 200
    assert c.stop(timeout=90) == 0
    log = c.log()
    assert log.index("Got task Install!") < log.index("Got task Purge!") < log.index(
        "Exiting worker thread!")
    assert not c.exists("/tmp/package.tar.gz")


FINISHED = re.compile(r"download_package::Setting state to (DOWNLOAD_FAILED|PACKAGE_DOWNLOADED)")


def download_with(c, **query):
    """Runs one download with the given query; returns the command lines it logged."""
    q = urllib.parse.urlencode({k.replace("_", "-"): v for k, v in query.items()})
    before = len(commands(c))
    done = len(FINISHED.findall(c.log()))
    assert c.post("download", q)[0] == 200
    wait_for(lambda: len(FINISHED.findall(c.log())) > done, 30, "the download to finish")
    return commands(c)[before:]


def test_three_command_shapes_and_masked_password(camera):
    c = camera()
    base = "http://127.0.0.1:1/"
    c.start(download_url=base)
    archive = "'%s'" % c.path("/tmp/package.tar.gz")
    tail = " -L '%s%s' -o %s" % (base, PACKAGE_NAME, archive)

    got = download_with(c, proxy_url="proxy.example:3128", proxy_username="bob",
                        proxy_password="s3cret")
    assert got == [CURL + "-x 'bob:*****@proxy.example:3128'" + tail]
    c.wait_status("download_failed")

    got = download_with(c, proxy_url="proxy.example:3128", proxy_username="",
                        proxy_password="s3cret")
    assert got == [CURL + "-x 'proxy.example:3128'" + tail]
    c.wait_status("download_failed")

    # User name and password without a proxy URL: no proxy, as with stored settings.
    got = download_with(c, proxy_url="", proxy_username="bob", proxy_password="s3cret")
    assert got == [CURL + tail]
    c.wait_status("download_failed")
    assert c.param("root.Tallyo.ProxyUsername") == "bob"

    got = download_with(c, unrelated="1")
    assert got == [CURL + tail]
    c.wait_status("download_failed")
    # The request's table replaced the stored proxy settings, absent keys as empty strings.
    for name in ("ProxyUrl", "ProxyUsername", "ProxyPassword"):
        assert c.param("root.Tallyo." + name) == ""
    assert "s3cret" not in c.log()
    assert c.stop() == 0
    assert "s3cret" not in c.log()
    assert not any("s3cret" in m for _, _, m in c.records())


def test_configured_proxy_shapes(camera):
    base = "http://127.0.0.1:1/"
    shapes = [
        (("p.example:8080", "u", "pw"), "-x 'u:*****@p.example:8080'"),
        (("p.example:8080", "", "pw"), "-x 'p.example:8080'"),
        (("", "u", "pw"), ""),
    ]
    for (url, user, password), option in shapes:
        c = camera(params=["root.Tallyo.ProxyUrl=" + url, "root.Tallyo.ProxyUsername=" + user,
                           "root.Tallyo.ProxyPassword=" + password])
        c.start(download_url=base)
        assert c.post("upgrade")[0] == 200
        c.wait_status("download_failed")
        archive = "'%s'" % c.path("/tmp/package.tar.gz")
        assert commands(c) == [CURL + option + " -L '%s%s' -o %s" % (base, PACKAGE_NAME,
                                                                     archive)]
        log = c.log()
        assert "GOT proxy_url: %s\n" % url in log
        assert "GOT proxy_password: %s\n" % ("*****" if password else "") in log
        if not url:
            assert "Proxy url empty!" in log
        assert "pw'" not in log and ":pw@" not in log
        # Without a query the stored settings are used and not written.
        assert "Setting 'root.Tallyo.ProxyUrl'" not in log
        assert c.param("root.Tallyo.ProxyUrl") == url
        assert c.stop() == 0


HOSTILE = [
    "$(touch {root}/tmp/pwned-dollar)",
    "`touch {root}/tmp/pwned-backquote`",
    "x; touch {root}/tmp/pwned-semicolon; y",
    "x' ; touch {root}/tmp/pwned-quote ; echo '",
    "x\" ; touch {root}/tmp/pwned-dquote ; echo \"",
    "x\ntouch {root}/tmp/pwned-newline\n",
    "x && touch {root}/tmp/pwned-and | cat > {root}/tmp/pwned-pipe",
]


def test_hostile_proxy_values_stay_inert(camera, server):
    server.offer(package())
    c = camera()
    c.start(download_url=server.base)
    for value in HOSTILE:
        v = value.format(root=c.root)
        for fields in ({"proxy_url": v}, {"proxy_url": "127.0.0.1:1", "proxy_username": v,
                                          "proxy_password": "p"},
                       {"proxy_url": "127.0.0.1:1", "proxy_username": "u", "proxy_password": v}):
            got = download_with(c, **fields)
            assert len(got) == 1 and got[0].startswith(CURL + "-x '")
            c.wait_status("download_failed")
    assert [f for f in os.listdir(c.path("/tmp")) if f.startswith("pwned")] == []
    # A proxy value is one word to the shell: the server was never asked directly.
    assert server.requests == []
    assert c.stop() == 0


def test_values_too_long_for_the_command_are_refused(camera, server):
    server.offer(package())
    c = camera()
    c.start(download_url=server.base)
    before = len(commands(c))
    assert c.post("download", "proxy-url=127.0.0.1:1&proxy-username=u&proxy-password="
                  + "p" * 990)[0] == 200
    c.wait_status("download_failed")
    assert "Download command too long, refusing to run it" in c.log()
    assert len(commands(c)) == before
    # Just fitting: runs.
    assert c.post("download", "proxy-url=127.0.0.1:1&proxy-username=u&proxy-password="
                  + "p" * 300)[0] == 200
    wait_for(lambda: len(commands(c)) == before + 1, 30, "the command to run")
    c.wait_status("download_failed")
    assert server.requests == []
    assert c.stop() == 0


def test_download_through_authenticating_proxy(camera, server, proxy):
    server.offer(package())
    c = camera(params=["root.Tallyo.ProxyUrl=127.0.0.1:%d" % proxy.port,
                       "root.Tallyo.ProxyUsername=user", "root.Tallyo.ProxyPassword=wrong"])
    c.start(download_url=server.base)
    # The stored, wrong password: the proxy refuses and the download fails.
    assert c.post("download")[0] == 200
    c.wait_status("download_failed")
    assert server.requests == []
    # The right credentials from the request: fetched through the proxy.
    assert c.post("download", "proxy-url=127.0.0.1:%d&proxy-username=user&proxy-password=pass"
                  % proxy.port)[0] == 200
    c.wait_status("downloaded")
    assert len(server.requests) == 1
    path, headers = server.requests[0]
    assert path == "/" + PACKAGE_NAME
    assert "tinyproxy" in headers.get("Via", "")
    assert c.param("root.Tallyo.ProxyPassword") == "pass"
    with open(c.path("/tmp/package.tar.gz"), "rb") as f, open(package(), "rb") as g:
        assert f.read() == g.read()
    # Now stored: an upgrade without a query goes through the proxy as well.
    assert c.post("upgrade")[0] == 200
    c.wait_status("running")
    assert len(server.requests) == 2
    assert "pass'" not in c.log() and ":pass@" not in c.log()
    assert c.stop() == 0
