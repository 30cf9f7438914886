"""Stereo capture through the real module and interpreter, against the simulated drivers:
request blocks, pairing, oldest-first order, draining, stop, zero copy, failures."""
import json

import numpy as np
import pytest

CAM_ADD_BUFFER = 0x80802A51

# The camera of the worked example: 1920 x 1080 window to 160 x 120.
OPEN = "cam = lib.create_camera({n}, 160, 120, 0, 1920, 0, 1080, 1920, 1080)\n"


def test_worked_example_programs_both_channels(child):
    c = child(OPEN.format(n=25) + """
out(w=cam.width, h=cam.height, left=dev.devsim_cam_buffers(0), right=dev.devsim_cam_buffers(1))
lib.free_camera(cam)
out(left=dev.devsim_cam_buffers(0), right=dev.devsim_cam_buffers(1))
""")
    assert c.rc == 0, c.stderr
    assert c.result == {"left": 0, "right": 0}
    first = json.loads([l for l in c.stdout.splitlines() if l.startswith("RESULT")][0][7:])
    assert first == {"w": 160, "h": 120, "left": 25, "right": 25}
    for idx, node in enumerate(["/dev/cam0", "/dev/cam1"]):
        table = c.ioctls(node, "CAM_SET_TABLE")
        assert len(table) == 1
        words = table[0][2]
        assert words[:3] == [3, idx * 256, 1026] and words[4:] == [1, 0]
        assert words[3] != 0 and table[0][3] == "0"
        assert [w for _, _, w, _ in c.ioctls(node, "CAM_SET_WINDOW")] == [[127, 1, 0, 0, 1919, 1079, 0]]
        adds = c.ioctls(node, "CAM_ADD_BUFFER")
        assert len(adds) == 25
        for _, _, w, result in adds:
            assert w[:8] == [3, 3, 1, 1, 214, 0, 1279, 959] and not any(w[8:]), w
            assert int(result) > 0
        offsets = sorted(int(r) for _, _, _, r in adds)
        released = sorted(w[0] for _, _, w, _ in c.ioctls(node, "CAM_RELEASE_BUFFER"))
        assert released == offsets
        maps = [l for l in c.lines("mmap " + node) if "result=ok" in l]
        assert len(maps) == 25 and all("len=%d" % (160 * 120 + 128) in l for l in maps)
        assert len(c.lines("munmap " + node)) == 25
        assert len(c.lines("close " + node)) == 1
    # The module wrote nothing into the driver's header words.
    assert not [l for l in c.log if "application wrote" in l]


def test_luma_plane_is_the_drivers_shared_buffer(child):
    c = child("""
import numpy as np
rng = np.random.default_rng(5)
sensor = rng.integers(0, 256, (1080, 1920), dtype=np.uint8)
buf = sensor.tobytes()
dev.devsim_cam_set_sensor(0, 1920, 1080, buf); dev.devsim_cam_set_sensor(1, 1920, 1080, buf)
""" + OPEN.format(n=4) + """
dev.devsim_cam_fill(0, -1, 1, 0, 1, 0); dev.devsim_cam_fill(1, -1, 1, 0, 1, 0)
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
plane = np.frombuffer(ffi.buffer(lib.cap_get_data(cam.left, pair.left), 160 * 120), np.uint8)
addr = int(ffi.cast("uintptr_t", lib.cap_get_data(cam.left, pair.left)))
maps = [l.split() for l in open("/proc/self/maps")]
hit = [m for m in maps if int(m[0].split("-")[0], 16) <= addr < int(m[0].split("-")[1], 16)]
out(perms=hit[0][1], name=" ".join(hit[0][5:]), ts=lib.get_timestamp(cam.left, pair.left))
lib.cap_return_stereo_frame(cam.left, cam.right, pair)
lib.free_camera(cam)
""")
    assert c.rc == 0, c.stderr
    # The plane is the driver's own shared buffer, not a copy.
    assert c.result["perms"].endswith("s") and "memfd:cam0" in c.result["name"]
    assert c.result["ts"] == 1.0


def test_window_geometry_matches_the_driver_formula(child, tmp_path):
    c = child("""
import numpy as np
rng = np.random.default_rng(5)
sensor = rng.integers(0, 256, (1080, 1920), dtype=np.uint8)
dev.devsim_cam_set_sensor(0, 1920, 1080, sensor.tobytes())
""" + OPEN.format(n=2) + """
dev.devsim_cam_fill(0, -1, 1, 0, 1, 0); dev.devsim_cam_fill(1, -1, 1, 0, 1, 0)
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
plane = np.frombuffer(ffi.buffer(lib.cap_get_data(cam.left, pair.left), 160 * 120), np.uint8)
np.save(os.environ["ZENT_ROOT"] + "/plane.npy", plane.reshape(120, 160))
np.save(os.environ["ZENT_ROOT"] + "/sensor.npy", sensor)
lib.free_camera(cam)
out(ok=1)
""")
    assert c.result == {"ok": 1}, c.stderr
    plane = np.load(tmp_path / "plane.npy")
    sensor = np.load(tmp_path / "sensor.npy")
    shift, scale, cx, cy = 3, 127, 214, 0
    xs = np.clip(((cx + (np.arange(160) << shift)) * (1024 + scale)) >> 10, 0, 1919)
    ys = np.clip(((cy + (np.arange(120) << shift)) * (1024 + scale)) >> 10, 0, 1079)
    assert np.array_equal(plane, sensor[np.ix_(ys, xs)])


PAIR = OPEN.format(n=4) + """
def fill(node, usec, cap_sec=1, cap_usec=0, sec=10):
    return dev.devsim_cam_fill(node, -1, sec, usec, cap_sec, cap_usec)
def user(frm):
    return round(lib.get_timestamp_user(frm), 6)
"""


@pytest.mark.parametrize("right_usec,paired", [(20000, True), (20001, False)])
def test_pairs_within_20_ms_inclusive(child, right_usec, paired):
    # The left frame is the older one here: 20001 us drops it.
    c = child(PAIR + f"""
fill(0, 0); fill(1, {right_usec})
lib.cap_stop()
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
out(pair=pair != ffi.NULL, left_state=dev.devsim_cam_state(0, 0),
    right_state=dev.devsim_cam_state(1, 0))
lib.free_camera(cam)
""")
    assert c.rc == 0, c.stderr
    assert c.result["pair"] is paired
    # Paired frames are held (still state 3); a dropped left frame went back to the driver.
    assert c.result["left_state"] == (3 if paired else 2)
    assert c.result["right_state"] == 3


def test_older_right_frame_dropped_and_next_pair_found(child):
    c = child(PAIR + """
fill(1, 0); fill(1, 40000); fill(0, 40000 + 20000)
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
out(l=user(pair.left), r=user(pair.right), dropped=dev.devsim_cam_state(1, 0))
lib.free_camera(cam)
""")
    assert c.result == {"l": 10.06, "r": 10.04, "dropped": 2}, c.stderr


def test_clocks_far_apart_are_never_paired(child):
    # 2^32 us apart: a 32-bit difference would wrap to 0 and pair them.
    c = child(PAIR + """
dev.devsim_cam_fill(0, -1, 0, 0, 1, 0)
dev.devsim_cam_fill(1, -1, 4294, 967296, 1, 0)
lib.cap_stop()
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
out(pair=pair != ffi.NULL, left=dev.devsim_cam_state(0, 0))
lib.free_camera(cam)
""")
    assert c.result == {"pair": False, "left": 2}, c.stderr


def test_oldest_capture_first_then_lower_slot(child):
    # Enough buffers that the driver never runs short (which would drop pairs).
    c = child(PAIR.replace("create_camera(4,", "create_camera(8,") + """
for node in (0, 1):
    fill(node, 0, 5, 100); fill(node, 1, 5, 100); fill(node, 2, 4, 999)
seen = []
for _ in range(3):
    pair = lib.cap_get_stereo_frame(cam.left, cam.right)
    seen.append([user(pair.left), lib.get_timestamp(cam.left, pair.left)])
    lib.cap_return_stereo_frame(cam.left, cam.right, pair)
out(seen=seen)
lib.free_camera(cam)
""")
    assert c.result == {"seen": [[10.000002, 4.000999], [10.0, 5.0001], [10.000001, 5.0001]]}, c.stderr


def test_stop_ends_a_wait_within_50_ms_and_start_rearms(child):
    c = child(PAIR + """
timer = threading.Timer(0.2, lib.cap_stop)
t0 = time.monotonic(); timer.start()
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
waited = time.monotonic() - t0
# Stopped, a wait gives up at once; frames still come while stopped.
t1 = time.monotonic(); again = lib.cap_get_stereo_frame(cam.left, cam.right); quick = time.monotonic() - t1
fill(0, 0); fill(1, 0)
got = lib.cap_get_stereo_frame(cam.left, cam.right) != ffi.NULL
lib.cap_start()
threading.Timer(0.1, lambda: (fill(0, 5), fill(1, 5))).start()
later = lib.cap_get_stereo_frame(cam.left, cam.right) != ffi.NULL
out(null=pair == ffi.NULL, waited=waited, again=again == ffi.NULL, quick=quick, got=got, later=later)
lib.free_camera(cam)
""")
    r = c.result
    assert r is not None, c.stderr
    assert r["null"] and r["again"] and r["got"] and r["later"]
    assert 0.19 <= r["waited"] < 0.2 + 0.15
    assert r["quick"] < 0.1


def test_driver_short_of_buffers_drops_pairs_but_keeps_the_next(child):
    c = child(PAIR + """
for k in range(4):
    fill(0, k * 1000, 1, k); fill(1, k * 1000, 1, k)
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
first = (user(pair.left), pair.buffers_filled_left, pair.buffers_filled_right)
states = [[dev.devsim_cam_state(n, s) for s in range(4)] for n in (0, 1)]
lib.cap_return_stereo_frame(cam.left, cam.right, pair)
lib.cap_stop()
nxt = lib.cap_get_stereo_frame(cam.left, cam.right)
out(first=first, states=states, next=user(nxt.left), again=lib.cap_get_stereo_frame(cam.left, cam.right) == ffi.NULL)
lib.free_camera(cam)
""")
    r = c.result
    assert r is not None, c.stderr
    assert r["first"] == [10.0, 4, 4]
    # Slots 0 and 1 stay the application's (delivered, held back); 2 and 3 went back.
    assert r["states"] == [[3, 3, 2, 2], [3, 3, 2, 2]]
    assert r["next"] == 10.001 and r["again"]


def test_returning_a_frame_twice_does_not_hand_back_a_refilled_buffer(child):
    c = child(PAIR + """
fill(0, 0); fill(1, 0)
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
lib.cap_return_stereo_frame(cam.left, cam.right, pair)
fill(0, 100); fill(1, 100)   # the driver refills the same slots
lib.cap_return_stereo_frame(cam.left, cam.right, pair)
lib.cap_return_frame(cam.left, ffi.NULL)
lib.cap_return_stereo_frame(cam.left, cam.right, ffi.NULL)
out(states=[dev.devsim_cam_state(0, 0), dev.devsim_cam_state(1, 0)])
lib.free_camera(cam)
""")
    assert c.result == {"states": [3, 3]}, c.stderr


def test_timestamps_as_seconds_and_the_32_bit_clock(child):
    c = child(PAIR + """
dev.devsim_cam_fill(0, -1, 7, 250000, 10, 500000); dev.devsim_cam_fill(1, -1, 7, 250000, -2, 999999)
pair = lib.cap_get_stereo_frame(cam.left, cam.right)
m = lib.monotonic_usec(); ref = (time.monotonic_ns() // 1000) % (1 << 32)
out(t=lib.get_timestamp(cam.left, pair.left), u=lib.get_timestamp_user(pair.left),
    r=lib.get_timestamp(cam.right, pair.right), m=m, d=(ref - m) % (1 << 32))
lib.free_camera(cam)
""")
    r = c.result
    assert r is not None, c.stderr
    assert r["t"] == 10.5 and r["u"] == 7.25 and r["r"] == pytest.approx(-1.000001)
    assert 0 <= r["m"] < 1 << 32 and r["d"] < 1000000


def test_impossible_window_ends_the_process_with_both_messages(child):
    c = child("lib.create_camera(2, 640, 480, 0, 320, 0, 240, 1920, 1080)\nout(alive=1)\n",
              ZENT_LOG_STDERR=1)
    assert c.rc == 1 and c.result is None
    assert "capture: Target width is larger than input width: midw:320 tgt_midw:640" in c.stderr
    assert "capture: Target height is larger than input height: midh:240 tgt_midh:480" in c.stderr


FAULTS = [
    ({"DEVSIM_CAM_MISSING": "0,1"}, 0),
    ({"DEVSIM_CAM_MISSING": "1"}, 0),
    ({"DEVSIM_CAM_FAIL": "CAM_SET_TABLE"}, 0),
    ({"DEVSIM_CAM_FAIL": "CAM_SET_WINDOW"}, 0),
    ({"DEVSIM_CAM_FAIL": "CAM_ADD_BUFFER:1"}, 0),
    ({"DEVSIM_CAM_FAIL": "CAM_ADD_BUFFER:3"}, 2),
    ({"DEVSIM_CAM_FAIL_MMAP": "1"}, 0),
    ({"DEVSIM_CAM_FAIL_MMAP": "2"}, 1),
]


@pytest.mark.parametrize("faults,kept", FAULTS, ids=[str(f) for f, _ in FAULTS])
def test_device_failures_give_a_dead_channel_and_leak_nothing(child, faults, kept):
    c = child("""
def fds():
    # The system log and the stand-in's own log open with their first line and stay.
    names = []
    for f in os.listdir("/proc/self/fd"):
        try:
            names.append(os.readlink("/proc/self/fd/" + f))
        except OSError:
            pass
    return sorted(n for n in names if not n.startswith(("socket:", "/dev/console", "/proc"))
                  and not n.endswith("devsim.log"))
before = fds()
cam = lib.create_camera(4, 160, 120, 0, 1920, 0, 1080, 1920, 1080)
alive = cam != ffi.NULL and cam.width == 160
lib.cap_stop()
none = lib.cap_get_stereo_frame(cam.left, cam.right) == ffi.NULL
lib.free_camera(cam)
out(alive=alive, none=none, fds=fds() == before)
""", ZENT_LOG_STDERR=1, **faults)
    assert c.result == {"alive": True, "none": True, "fds": True}, c.stderr
    # Every buffer the driver handed out and every mapping was given back.
    for node in ("/dev/cam0", "/dev/cam1"):
        added = [int(r) for _, _, _, r in c.ioctls(node, "CAM_ADD_BUFFER") if r.isdigit()]
        released = [w[0] for _, _, w, _ in c.ioctls(node, "CAM_RELEASE_BUFFER")]
        assert sorted(added) == sorted(released)
        maps = [l for l in c.lines("mmap " + node) if "result=ok" in l]
        assert len(maps) == len(c.lines("munmap " + node))
        assert len(c.lines("open %s ok" % node)) == len(c.lines("close " + node))
    assert "capture: " in c.stderr
    if "DEVSIM_CAM_MISSING" not in faults and "CAM_SET" not in faults.get("DEVSIM_CAM_FAIL", ""):
        assert len([l for l in c.lines("mmap /dev/cam0") if "result=ok" in l]) == kept


def test_more_than_40_buffers_are_refused(child):
    c = child("""
cam = lib.create_camera(41, 160, 120, 0, 1920, 0, 1080, 1920, 1080)
lib.cap_stop()
out(none=lib.cap_get_stereo_frame(cam.left, cam.right) == ffi.NULL)
lib.free_camera(cam)
""", ZENT_LOG_STDERR=1)
    assert c.result == {"none": True}, c.stderr
    assert not c.lines("open /dev/cam")
    assert "41 buffers refused, at most 40" in c.stderr


def test_free_running_driver_delivers_in_order(child):
    c = child(OPEN.format(n=8) + """
dev.devsim_cam_run(0, 300, 0)
stamps = []
for _ in range(200):
    pair = lib.cap_get_stereo_frame(cam.left, cam.right)
    stamps.append((lib.get_timestamp_user(pair.left), lib.get_timestamp_user(pair.right)))
    lib.cap_return_stereo_frame(cam.left, cam.right, pair)
dev.devsim_cam_halt()
out(n=len(stamps), ordered=all(a[0] < b[0] for a, b in zip(stamps, stamps[1:])),
    close=all(abs(l - r) <= 0.02 for l, r in stamps))
lib.free_camera(cam)
""")
    assert c.result == {"n": 200, "ordered": True, "close": True}, c.stderr


def test_interpreter_conventions(child):
    c = child("""
errs = []
for call in (lambda: lib.create_camera(1, 2), lambda: lib.create_camera(2 ** 40, 0, 0, 0, 0, 0, 0, 0, 0),
             lambda: lib.cap_get_data(ffi.NULL)):
    try:
        call(); errs.append(None)
    except (TypeError, OverflowError) as e:
        errs.append(type(e).__name__)
lib.cap_stop()
out(errs=errs, null=lib.cap_get_stereo_frame(ffi.NULL, ffi.NULL) == ffi.NULL,
    data=lib.cap_get_data(ffi.NULL, ffi.NULL) == ffi.NULL)
""")
    assert c.result == {"errs": ["TypeError", "OverflowError", "TypeError"], "null": True,
                        "data": True}, c.stderr
