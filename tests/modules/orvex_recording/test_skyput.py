"""The upload client stand-in as a camera root installs it: what it records, what it stores,
and each way it fails."""
import json
import os
import subprocess

import pytest


def run(root, *args, env_root=True):
    env = {k: v for k, v in os.environ.items() if k != "ZENT_ROOT"}
    if env_root:
        env["ZENT_ROOT"] = str(root)
    p = subprocess.run([str(root / "usr/bin/skyput"), *args], env=env, capture_output=True,
                       text=True, timeout=60)
    calls = root / "tmp" / "skyput.calls"
    records = [json.loads(l) for l in calls.read_text().splitlines()] if calls.exists() else []
    return p, records


def upload_args(local, name):
    return ["-s", "-T", "604800", "-p", "upload.tallyo.invalid", "-l", str(local),
            "-c", "/incoming/", "-d", name]


def test_stores_the_file_under_its_name(camera):
    root = camera()
    local = root / "mnt/flash/recording"
    local.write_bytes(b"\x00\xffdata" * 1000)
    p, records = run(root, *upload_args(local, "recording-A-1"))
    assert p.returncode == 0, p.stderr
    p2, records = run(root, *upload_args(local, "a/b c;$(x)"), env_root=False)
    assert p2.returncode == 0, p2.stderr
    p3, records = run(root, *upload_args(local, "recording-A-1"))
    assert [r["stored"] for r in records] == ["recording-A-1", "a_b_c___x_", "recording-A-1.1"]
    for r in records:
        assert r["status"] == 0 and r["size"] == 6000
        assert (root / "tmp/skyput.uploads" / r["stored"]).read_bytes() == local.read_bytes()
    assert records[1]["argv"] == upload_args(local, "a/b c;$(x)")


@pytest.mark.parametrize("args,status,why", [
    (["-s", "-p", "h", "-l", "MISSING", "-d", "n"], 1, "cannot read"),
    (["-s", "-p", "h", "-l", "FILE", "-d", "n", "--force"], 2, "unknown argument"),
    (["-s", "-p", "h", "-l", "FILE"], 2, "-d is required"),
    (["-T", "week", "-p", "h", "-l", "FILE", "-d", "n"], 2, "-T wants seconds"),
    (["-s", "-p", "h", "-l", "FILE", "-d"], 2, "needs a value"),
])
def test_refuses_what_the_client_cannot_do(camera, args, status, why):
    root = camera()
    (root / "tmp/file").write_text("x")
    args = [str(root / "tmp" / a.lower()) if a in ("FILE", "MISSING") else a for a in args]
    p, records = run(root, *args)
    assert p.returncode == status
    assert why in p.stderr
    assert len(records) == 1 and records[0]["status"] == status and records[0]["argv"] == args
    assert not (root / "tmp/skyput.uploads").exists()


def test_fails_on_request_without_storing(camera):
    root = camera()
    local = root / "mnt/flash/recording"
    local.write_bytes(b"abc")
    (root / "tmp/skyput.exit").write_text("5\n")
    p, records = run(root, *upload_args(local, "n"))
    assert p.returncode == 5
    assert records[0]["status"] == 5 and records[0]["size"] == 3
    assert "stored" not in records[0]
    assert not (root / "tmp/skyput.uploads").exists()
