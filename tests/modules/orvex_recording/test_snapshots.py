"""JPEG snapshots: the property texts the capture library receives, the stream kept open by
jpeg_image, one stream per jpeg_single_image call, frames released on the next call, the
caller's query never written, refusal while anonymous access is off, and failing opens."""
import pytest

from conftest import jpeg_facts


def opens(c):
    return [l for l in c.capture_log if l.startswith("open ")]


def props(line):
    return line.split(" props=", 1)[1]


def test_jpeg_image_keeps_the_stream_of_its_first_call(camera, child):
    c = child(r"""
q1 = ctypes.create_string_buffer(b"a=1&resolution=640x480&b=2")
r = []
for q in (q1, b"&resolution=160x120", None, b"&resolution=640x480"):
    p, size, data = snap(native.jpeg_image, q)
    r.append((size, data.hex(), capsim.capture_sim_frames_outstanding(),
              capsim.capture_sim_streams_open()))
out(r=r, query=q1.value.decode())
""", camera())
    assert c.rc == 0, c.stderr
    # The caller's query is left as it was.
    assert c.result["query"] == "a=1&resolution=640x480&b=2"
    assert len(opens(c)) == 1
    assert props(opens(c)[0]) == "fps=5&&resolution=640x480\\n"
    numbers = []
    for size, data, frames, streams in c.result["r"]:
        body = bytes.fromhex(data)
        assert size == len(body)
        dims, number, stream, _ = jpeg_facts(body)
        assert dims == (640, 480)  # the later queries' sizes are not looked at
        numbers.append(number)
        # Only the frame handed out last is held; the stream stays open.
        assert (frames, streams) == (1, 1)
    assert numbers == sorted(set(numbers))
    frees = [l for l in c.capture_log if l.startswith("free ")]
    assert len(frees) == 3


@pytest.mark.parametrize("query,expected", [
    (b"", "fps=5&&resolution=320x240\\n"),
    (None, "fps=5&&resolution=320x240\\n"),
    (b"resolution=640x480", "fps=5&&resolution=320x240\\n"),
    (b"x=&resolution=800x600", "fps=5&&resolution=800x600\\n"),
])
def test_jpeg_image_property_text(camera, child, query, expected):
    c = child(f"""
p, size, data = snap(native.jpeg_image, {query!r})
out(size=size, data=data.hex())
""", camera())
    assert c.rc == 0, c.stderr
    assert [props(l) for l in opens(c)] == [expected]
    w, h = expected.split("=")[-1][:-2].split("x")
    assert jpeg_facts(bytes.fromhex(c.result["data"]))[0] == (int(w), int(h))


@pytest.mark.parametrize("query,expected", [
    (b"&resolution=640x480", "fps=5&resolution=640x480"),
    (b"cam=1&resolution=640x480&x=y", "fps=5&resolution=640x480"),
    (b"&resolution=1280x720", "fps=5&resolution=320x240"),
    (b"&resolution=640x4800", "fps=5&resolution=640x480"),
    (b"resolution=640x480", "fps=5&resolution=320x240"),
    (None, "fps=5&resolution=320x240"),
])
def test_single_image_property_text_and_one_stream_per_call(camera, child, query, expected):
    c = child(f"""
r = []
for i in range(3):
    p, size, data = snap(native.jpeg_single_image, {query!r})
    r.append((size, data.hex(), capsim.capture_sim_frames_outstanding(),
              capsim.capture_sim_streams_open()))
out(r=r)
""", camera())
    assert c.rc == 0, c.stderr
    assert [props(l) for l in opens(c)] == [expected] * 3
    assert len([l for l in c.capture_log if l.startswith("close ")]) == 3
    w, h = expected.split("=")[-1].split("x")
    for size, data, frames, streams in c.result["r"]:
        assert size == len(bytes.fromhex(data))
        assert jpeg_facts(bytes.fromhex(data))[0] == (int(w), int(h))
        # The frame outlives its closed stream until the next call releases it.
        assert (frames, streams) == (1, 0)


def test_anonymous_access_off_refuses_both(camera, child):
    root = camera()
    (root / "anon.lock").write_text("")
    c = child("""
r = [snap(native.jpeg_image, b"&resolution=640x480"),
     snap(native.jpeg_single_image, b"&resolution=640x480")]
out(r=[(p, size) for p, size, _ in r])
""", root)
    assert c.rc == 0, c.stderr
    assert c.result == {"r": [[None, 0], [None, 0]]}
    assert opens(c) == []


def test_anonymous_marker_appearing_later(camera, child):
    root = camera()
    c = child("""
first = snap(native.jpeg_image, b"")
open(ROOT + "/anon.lock", "w").close()
second = snap(native.jpeg_image, b"")
os.unlink(ROOT + "/anon.lock")
third = snap(native.jpeg_image, b"")
out(sizes=[first[1] > 0, second[0], second[1], third[1] > 0])
""", root)
    assert c.rc == 0, c.stderr
    assert c.result == {"sizes": [True, None, 0, True]}
    assert len(opens(c)) == 1


def test_failing_opens(camera, child):
    c = child("""
single = snap(native.jpeg_single_image, b"&resolution=640x480")
image = snap(native.jpeg_image, b"&resolution=640x480")
os.environ.pop("CAPTURE_FAIL_OPEN")
retry = snap(native.jpeg_image, b"&resolution=160x120")
out(single=[single[0] is not None, single[1], single[2].hex()], image=[image[0], image[1]],
    retry=retry[1] > 0, data=retry[2].hex(), frames=capsim.capture_sim_frames_outstanding())
""", camera(), CAPTURE_FAIL_OPEN="all")
    assert c.rc == 0, c.stderr
    r = c.result
    # One: the empty text; the other: nothing, and the next call opens the stream after all.
    assert r["single"] == [True, 0, ""]
    assert r["image"] == [None, 0]
    assert r["retry"] is True and r["frames"] == 1
    assert jpeg_facts(bytes.fromhex(r["data"]))[0] == (160, 120)
    assert [l.split(" ")[1] for l in opens(c)] == ["fail", "fail", "stream=1"]


def test_frames_that_do_not_come(camera, child):
    c = child("""
a = snap(native.jpeg_image, b"")
b = snap(native.jpeg_image, b"")
single = snap(native.jpeg_single_image, b"")
out(a=a[1] > 0, b=[b[0], b[1]], single=[single[1], single[2].hex()],
    frames=capsim.capture_sim_frames_outstanding(), streams=capsim.capture_sim_streams_open())
""", camera(), CAPTURE_FAIL_FRAME="2")
    assert c.rc == 0, c.stderr
    # The second frame of the kept stream fails; the single image's stream is new, so its
    # first frame comes.
    assert c.result["a"] is True and c.result["b"] == [None, 0]
    assert c.result["single"][0] > 0
    assert c.result["frames"] == 1 and c.result["streams"] == 1


def test_overlong_resolution_item_is_bounded(camera, child):
    c = child("""
q = b"&resolution=" + b"9" * 5000 + b"x1&z=1"
p, size, data = snap(native.jpeg_image, q)
out(p=p, size=size)
""", camera())
    assert c.rc == 0, c.stderr
    assert c.result == {"p": None, "size": 0}
    line = [l for l in c.capture_log if l.startswith("open fail")]
    assert len(line) == 1
    assert len(props(line[0])) < 100
