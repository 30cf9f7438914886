"""Local MJPEG recording: the multipart file read back by a real parser with every image
decoded, timed and unlimited recordings, the 90 MiB limit, one recording at a time, a failing
capture open, the upload command exactly as the upload client receives it, a failed upload
keeping the file, and serial numbers that try to reach the shell."""
import json
import os

import pytest

from conftest import SERIAL, jpeg_facts, mime_parts, split_parts

LIMIT = 94371840
START_LOG = (4, "capture: Local mjpg recordning already running.")


def check_recording(data, serial=SERIAL):
    """Both parsers agree part for part; the settings part comes first and every further part
    is a 160x120 JPEG of the recording stream (quality 20), in capture order. The number of
    images."""
    exact = split_parts(data)
    mime = mime_parts(data)
    assert [(t, len(b), b) for t, b in exact] == mime
    assert exact[0][0] == "text/plain"
    settings = json.loads(exact[0][1])
    assert settings["Static"]["Serial"] == serial
    # The application's settings of the camera root (seeded with Counter.Zoom 5000).
    assert str(settings["Counter"]["Zoom"]) == "5000"
    frames = []
    for kind, body in exact[1:]:
        assert kind == "image/jpeg"
        size, number, stream, quality = jpeg_facts(body)
        assert size == (160, 120) and quality == 20
        frames.append((stream, number))
    assert len({s for s, _ in frames}) <= 1
    numbers = [n for _, n in frames]
    assert numbers == sorted(set(numbers))
    return len(frames)


def test_timed_recording_is_uploaded_then_removed(camera, child):
    root = camera()
    c = child("""
t0 = time.time()
out(start=start(2))
wait_idle()
out(t0=t0, t1=time.time(), slot=slot.value, frames=capsim.capture_sim_frames_outstanding(),
    streams=capsim.capture_sim_streams_open(), exists=os.path.exists(RECORDING),
    count=native.mjpg_frame_count())
""", root)
    assert c.rc == 0, c.stderr
    assert c.results[0] == {"start": 0}
    r = c.result
    assert r["slot"] is None and not r["exists"]
    assert r["frames"] == 0 and r["streams"] == 0 and r["count"] == -1
    # One capture stream with exactly the recording's property text.
    opens = [l for l in c.capture_log if l.startswith("open ")]
    assert len(opens) == 1
    assert opens[0].endswith(" fps=4 resolution=160x120 quality=20 media=image/jpeg "
                             "props=fps=4&resolution=160x120&compression=80"), opens[0]
    # The upload client got the command line word for word.
    calls = c.skyput_calls()
    assert len(calls) == 1
    argv = calls[0]["argv"]
    name = argv[-1]
    assert argv[:-1] == ["-s", "-T", "604800", "-p", "upload.tallyo.invalid",
                         "-l", str(root / "mnt/flash/recording"), "-c", "/incoming/", "-d"]
    assert name.startswith("recording-%s-" % SERIAL)
    assert int(r["t0"]) <= int(name.rsplit("-", 1)[1]) <= int(r["t1"]) + 1
    # ... and the command was logged at LOG_INFO as the shell ran it.
    command = ("'%s/usr/bin/skyput' -s -T 604800 -p 'upload.tallyo.invalid' -l "
               "'%s/mnt/flash/recording' -c /incoming/ -d '%s'" % (root, root, name))
    assert (6, "capture: " + command) in c.messages()
    uploaded = (root / "tmp" / "skyput.uploads" / calls[0]["stored"]).read_bytes()
    assert calls[0]["size"] == len(uploaded) and calls[0]["status"] == 0
    # Two seconds at four frames a second.
    assert 5 <= check_recording(uploaded) <= 10


@pytest.mark.parametrize("duration", [0, -3])
def test_unlimited_recording_runs_until_the_slot_is_cleared(camera, child, duration):
    root = camera()
    c = child(f"""
out(start=start({duration}))
wait_for(lambda: parts_on_disk() >= 3, what="three images")
held = slot.value
second = start(5)
out(second=second, same_slot=slot.value == held, grown=parts_on_disk() >= 3)
stop()
wait_idle()
native.gen_allparams_page.restype = ctypes.c_char_p
n = ctypes.c_int(0)
page = native.gen_allparams_page(None, b"", ctypes.byref(n)).decode()
out(slot=slot.value, frames=capsim.capture_sim_frames_outstanding(),
    streams=capsim.capture_sim_streams_open(), page=page)
""", root)
    assert c.rc == 0, c.stderr
    assert c.results[0] == {"start": 0}
    # A second start changes nothing: same file, still recording.
    assert c.results[1] == {"second": 8, "same_slot": True, "grown": True}
    page = json.loads(c.result.pop("page"))
    assert c.result == {"slot": None, "frames": 0, "streams": 0}
    assert c.messages().count(START_LOG) == 1
    assert c.skyput_calls() == []
    data = (root / "mnt/flash/recording").read_bytes()
    assert check_recording(data) >= 3
    # The settings part is the all-parameters page (only its clock reading differs).
    settings = json.loads(split_parts(data)[0][1])
    for doc in (settings, page):
        doc["Static"].pop("Timestamp")
    assert settings == page
    assert not [m for m in c.messages() if "Aborting" in m[1]]


def test_concurrent_starts_record_once(camera, child):
    root = camera()
    c = child("""
barrier = threading.Barrier(8)
results = []
def go():
    barrier.wait()
    results.append(start(0))
ts = [threading.Thread(target=go) for _ in range(8)]
for t in ts: t.start()
for t in ts: t.join()
wait_for(lambda: parts_on_disk() >= 1, what="an image")
stop()
wait_idle()
out(results=sorted(results))
""", root)
    assert c.rc == 0, c.stderr
    assert c.result == {"results": [0] + [8] * 7}
    assert c.messages().count(START_LOG) == 7
    assert check_recording((root / "mnt/flash/recording").read_bytes()) >= 1


def test_timed_recording_stops_at_the_limit_and_is_still_uploaded(camera, child):
    root = camera()
    c = child("""
out(start=start(100000))
wait_idle(600)
out(exists=os.path.exists(RECORDING), frames=capsim.capture_sim_frames_outstanding())
""", root, timeout=900, CAPTURE_UNPACED=1, CAPTURE_PAD_BYTES=1048576)
    assert c.rc == 0, c.stderr
    assert c.result == {"exists": False, "frames": 0}
    calls = c.skyput_calls()
    assert len(calls) == 1 and calls[0]["status"] == 0
    uploaded = root / "tmp" / "skyput.uploads" / calls[0]["stored"]
    size = uploaded.stat().st_size
    # Never past the limit, and the next image would not have fitted.
    assert size <= LIMIT
    data = uploaded.read_bytes()
    parts = split_parts(data)
    assert size + min(len(b) for _, b in parts[1:]) > LIMIT
    aborts = [m for m in c.messages() if m[1].startswith("capture: Aborting recording after ")]
    assert aborts == [(7, "capture: Aborting recording after %d bytes." % size)]
    for kind, body in parts[1:]:
        assert kind == "image/jpeg"
        assert jpeg_facts(body)[0] == (160, 120)
    # About a mebibyte each: the limit holds close to ninety of them.
    assert 85 <= len(parts) - 1 <= 90


def test_failing_capture_open_keeps_only_the_settings(camera, child):
    root = camera()
    c = child("""
out(start=start(3))
wait_idle()
out(slot_open=bool(slot.value), streams=capsim.capture_sim_streams_open())
stop()
os.environ.pop("CAPTURE_FAIL_OPEN")
# Idle again: the next start records.
out(again=start(0))
wait_for(lambda: parts_on_disk() >= 1, what="an image")
stop()
wait_idle()
""", root, CAPTURE_FAIL_OPEN="all")
    assert c.rc == 0, c.stderr
    assert c.results[0] == {"start": 0}
    assert c.results[1] == {"slot_open": True, "streams": 0}
    assert c.results[2] == {"again": 0}
    assert (4, "capture: Failed to open video stream.") in c.messages()
    assert c.skyput_calls() == []
    assert check_recording((root / "mnt/flash/recording").read_bytes()) >= 1


def test_settings_part_alone_after_a_failing_open(camera, child):
    root = camera()
    c = child("""
out(start=start(0))
wait_idle()
stop()
""", root, CAPTURE_FAIL_OPEN="1")
    assert c.rc == 0, c.stderr
    data = (root / "mnt/flash/recording").read_bytes()
    assert check_recording(data) == 0
    head = data[:data.index(b"\r\n\r\n") + 4]
    body = split_parts(data)[0][1]
    assert head == b"\r\n--myboundary\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % len(body)


def test_failed_upload_keeps_the_recording(camera, child):
    root = camera()
    (root / "tmp" / "skyput.exit").write_text("3\n")
    c = child("""
out(start=start(1))
wait_idle()
""", root)
    assert c.rc == 0, c.stderr
    calls = c.skyput_calls()
    assert len(calls) == 1 and calls[0]["status"] == 3
    kept = root / "mnt/flash/recording"
    assert kept.exists()
    assert calls[0]["size"] == kept.stat().st_size
    assert (4, "capture: Upload of %s failed (status 3); keeping it" % kept) in c.messages()
    assert check_recording(kept.read_bytes()) >= 2


def test_too_long_upload_command_runs_nothing_and_keeps_the_file(camera, child):
    root = camera(name="r" + "o" * 240)
    c = child("""
out(start=start(1))
wait_idle()
""", root)
    assert c.rc == 0, c.stderr
    assert c.skyput_calls() == []
    assert (root / "mnt/flash/recording").exists()
    warn = [m for m in c.messages() if m[0] == 4 and "Upload command of " in m[1]]
    assert len(warn) == 1 and warn[0][1].endswith("exceeds 500; keeping %s/mnt/flash/recording" % root)
    assert not [m for m in c.messages() if m[0] == 6]


@pytest.mark.parametrize("serial", [
    "$(touch PWNED)",
    "`touch PWNED`",
    "'; touch PWNED; echo '",
    "x' -d 'y",
    "a b;touch PWNED|cat &",
    "\\'\"$HOME",
])
def test_serial_number_reaches_the_upload_client_as_one_inert_word(camera, child, serial):
    root = camera(serial=serial)
    c = child("""
out(start=start(1))
wait_idle()
""", root)
    assert c.rc == 0, c.stderr
    calls = c.skyput_calls()
    assert len(calls) == 1 and calls[0]["status"] == 0
    argv = calls[0]["argv"]
    assert len(argv) == 11
    assert argv[-1].startswith("recording-" + serial + "-")
    assert argv[-1][len("recording-" + serial + "-"):].isdigit()
    for where in (root, root.parent, root / "mnt/flash", root / "tmp"):
        assert not (where / "PWNED").exists()
    check_recording((root / "tmp" / "skyput.uploads" / calls[0]["stored"]).read_bytes(), serial)


def test_upload_endpoint_can_be_configured(camera, child):
    root = camera()
    c = child("""
out(start=start(1))
wait_idle()
""", root, ZENT_UPLOAD_ENDPOINT="files.example.test")
    assert c.rc == 0, c.stderr
    argv = c.skyput_calls()[0]["argv"]
    assert argv[3:5] == ["-p", "files.example.test"]


@pytest.mark.parametrize("limit", [300, 3000])
def test_write_failures_leave_only_whole_parts(camera, child, limit):
    # A file size limit makes the writes fail part-way, as a full flash would.
    root = camera()
    c = child(f"""
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.RLIM_INFINITY))
out(start=start(0))
wait_idle()
out(slot=slot.value, frames=capsim.capture_sim_frames_outstanding())
""", root)
    assert c.rc == 0, c.stderr
    assert c.result == {"slot": None, "frames": 0}
    data = (root / "mnt/flash/recording").read_bytes()
    aborts = [m for m in c.messages() if "Aborting" in m[1]]
    assert aborts == [(7, "capture: Aborting recording after %d bytes." % len(data))]
    config_failed = (7, "capture: Failed to write config.") in c.messages()
    if limit == 300:
        # The settings part does not fit: nothing of it stays.
        assert config_failed and data == b""
    else:
        assert not config_failed and len(data) <= limit
        assert check_recording(data) >= 1
