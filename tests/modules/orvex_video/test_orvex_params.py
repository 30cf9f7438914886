"""The platform services the capture side reads, reached natively from the module's shared
library: the crop settings behind the left-channel open, and the errors page as JSON."""
import json

import pytest

NATIVE = """
native.zent_param_get.restype = ctypes.c_char_p
native.gen_errors_page.restype = ctypes.c_char_p
native._cap_open.restype = ctypes.c_void_p
"""


@pytest.mark.parametrize("crop,window,add", [
    ("1", [127, 1, 0, 0, 1919, 1079, 0], [3, 3, 1, 1, 214, 0, 1279, 959]),
    ("0", [0] * 7, [3, 4, 0, 0, 0, 0, 0, 0]),
    ("junk", [0] * 7, [3, 4, 0, 0, 0, 0, 0, 0]),
])
def test_left_channel_follows_the_crop_settings(child, crop, window, add):
    c = child(NATIVE + f"""
for name, value in (("Counter.CropEnabled", {crop!r}), ("Counter.CropLeft", "0"),
                    ("Counter.CropRight", "1920"), ("Counter.CropTop", "0"),
                    ("Counter.CropBottom", "1080")):
    assert native.zent_param_set(name.encode(), value.encode()) == 0
cap = native._cap_open(2, 160, 120, 25, 0)
native.cap_close(ctypes.c_void_p(cap))
out(got=native.zent_param_get(b"Counter.CropRight").decode())
""")
    assert c.result == {"got": "1920"}, c.stderr
    assert [w for _, _, w, _ in c.ioctls("/dev/cam0", "CAM_SET_WINDOW")] == [window]
    adds = c.ioctls("/dev/cam0", "CAM_ADD_BUFFER")
    assert len(adds) == 2 and all(w[:8] == add for _, _, w, _ in adds)
    assert not c.ioctls("/dev/cam1")


def test_errors_page_is_json_with_the_messages_intact(child):
    c = child(NATIVE + r"""
msg = b'Failed to get system admin account. Go to the <a href=\\"rootpwd.html\\">root account page</a> to enter this.'
keep = [ctypes.create_string_buffer(b"SYS_PWD_ERROR"), ctypes.create_string_buffer(msg),
        ctypes.create_string_buffer(b"ERROR_NO_NTP"), ctypes.create_string_buffer(b"NTP off")]
native.zent_param_set_error_(keep[0], keep[1])
native.zent_param_set_error_(keep[2], keep[3])
n = ctypes.c_int(0)
page = native.gen_errors_page(None, None, ctypes.byref(n))
out(page=page.decode(), n=n.value)
""")
    r = c.result
    assert r is not None, c.stderr
    assert r["n"] == len(r["page"]) and r["page"].endswith("}}\n")
    doc = json.loads(r["page"])
    assert list(doc["errors"]) == ["SYS_PWD_ERROR", "ERROR_NO_NTP"]
    assert '<a href="rootpwd.html">root account page</a>' in doc["errors"]["SYS_PWD_ERROR"]
    assert doc["timestamp"].isdigit()
