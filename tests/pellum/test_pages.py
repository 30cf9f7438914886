# The HTTP pages: exact reply bytes, content types and statuses, and what is not a page.
import pytest

from conftest import PKG_DIR, package

JSON = "application/json"

PAGES = [
    ("/local/tallyo/status", "GET"),
    ("/local/tallyo/version", "GET"),
    ("/local/tallyo/work", "GET"),
    ("/local/tallyo/cmd/install", "POST"),
    ("/local/tallyo/cmd/purge", "POST"),
    ("/local/tallyo/cmd/download", "POST"),
    ("/local/tallyo/cmd/upgrade", "POST"),
    ("/local/tallyo/app/version", "GET"),
    ("/local/tallyo/app/restart", "GET"),
    ("/local/tallyo/pages", "GET"),
]

DRY_RUN = (b'{"status": "Dry run.",\n \"will_remove\": [\"package.tar.gz\", \"package\"],\n'
           b' "hint": "Send confirm=yes to execute command"}\n')


def pages_reply():
    blocks = []
    for i, (uri, method) in enumerate(PAGES):
        blocks.append('\t{\n\t"uri": "%s",\n\t"content_type": "application/json",\n'
                      '\t"request_type": "%s"\n\t}%s\n'
                      % (uri, method, "," if i + 1 < len(PAGES) else ""))
    return ("[\n" + "".join(blocks) + "\n]").encode()


@pytest.fixture
def idle(camera):
    c = camera()
    c.start()
    yield c
    assert c.stop() == 0


def test_read_pages_exact_bytes(idle):
    assert idle.request("GET", "/local/tallyo/status") == (
        200, JSON, b'{"status": "not_present", "manifest_state": "missing"}\n')
    assert idle.request("GET", "/local/tallyo/version") == (
        200, JSON, b'{"vendle": "1.6.0", "firmware": "6.50.1", "hash": "rel/people/1.8.0"}\n')
    for path in ("/local/tallyo/work", "/local/tallyo/app/version", "/local/tallyo/app/restart"):
        assert idle.request("GET", path) == (200, JSON, b"Not implemented"), path
    code, ctype, body = idle.request("GET", "/local/tallyo/pages")
    assert (code, ctype) == (200, JSON)
    assert body == pages_reply()
    assert body.endswith(b"}\n\n]")
    # The query is not part of the path.
    assert idle.request("GET", "/local/tallyo/status", "x=1")[0] == 200
    # The header lines are logged without their line ends: one record, one log line.
    headers = [m for _, _, m in idle.records() if m.startswith("Writing ")]
    assert set(headers) == {"Writing content: 'Content-Type: application/json'",
                            "Writing status: 'Status: 200 OK'"}, headers
    assert "Writing status: 'Status: 200 OK'\ntallyo: " in idle.log()
    # The reply is logged without its last line end too.
    assert ("Reply: '{\"status\": \"not_present\", \"manifest_state\": \"missing\"}'\n"
            "tallyo: ") in idle.log()


def test_not_found_is_plain_and_empty(idle):
    cases = [
        ("POST", "/local/tallyo/status"),
        ("GET", "/local/tallyo/cmd/install"),
        ("GET", "/local/tallyo/cmd/purge"),
        ("PUT", "/local/tallyo/cmd/upgrade"),
        ("HEAD", "/local/tallyo/version"),
        ("GET", "/local/tallyo/status/"),
        ("GET", "/local/tallyo/Status"),
        ("GET", "/local/tallyo/nosuch"),
        ("GET", "/local/tallyo/"),
    ]
    for method, path in cases:
        code, ctype, body = idle.request(method, path)
        assert (code, ctype, body) == (404, "text/plain", b""), (method, path)
    # Nothing was queued by the refused commands.
    assert "Got task" not in idle.log()
    assert "Writing content: 'Content-Type: text/plain'" in idle.log()
    assert "Writing status: 'Status: 404 Not Found'" in idle.log()
    assert "No matching page found, returning 404" in idle.log()


def test_purge_dry_run_and_confirm_prefix(camera):
    c = camera(install=package())
    c.start()
    c.wait_status("running")
    for query in (None, "confirm=no", "confirm=ye", "other=yes"):
        assert c.post("purge", query) == (200, JSON, DRY_RUN), query
    assert c.exists(PKG_DIR + "/pyrun")
    assert "Got task" not in c.log()
    # Any value starting with the three letters confirms.
    assert c.post("purge", "confirm=yesplease") == (200, JSON, b'{"status": "Ok"}\n')
    c.wait_status("not_present")
    assert not c.exists(PKG_DIR)
    assert not c.exists("/tmp/package.tar.gz")
    assert c.stop() == 0
    changes = c.state_changes()
    assert changes[-2:] == [("purge_package", "PACKAGE_INSTALLED"), ("purge_package", "NOTHING")]
    assert "Queued purge job" in c.log()


def test_confirmed_purge_with_nothing_installed(idle):
    assert idle.post("purge", "confirm=yes") == (200, JSON, b'{"status": "Ok"}\n')
    idle.wait_log(r"purge_package::Setting state to NOTHING")
    assert idle.status() == {"status": "not_present", "manifest_state": "missing"}
    assert "Executing 'rm -rf " in idle.log()


def test_command_replies_and_logs(idle):
    # Nothing offered: the tasks run and fail, but each command answers at once.
    for command in ("install", "download", "upgrade"):
        assert idle.post(command) == (200, JSON, b'{"status": "Ok"}\n'), command
    idle.wait_log(r"Api-worker:: Got task Upgrade!")
    log = idle.log()
    for line in ("Called install_view", "Queued install job", "Queued download job",
                 "Queued upgrade job", "Api-worker:: Got task Install!",
                 "Api-worker:: Got task Download!"):
        assert line in log, line
    # Tasks run in the order they were queued.
    assert log.index("Got task Install!") < log.index("Got task Download!") < log.index(
        "Got task Upgrade!")


def test_parameters_are_logged(idle):
    idle.request("GET", "/local/tallyo/status", "a=1&b=two%20words")
    idle.wait_log(r"Parameter b: two words")
    log = idle.log()
    assert "Query: 'a=1&b=two%20words'" in log
    assert "Parameter a: 1" in log
    assert "Method: 'GET'" in log
