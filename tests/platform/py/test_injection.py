"""Hostile text in every value that reaches a shell command stays one inert word: the tools
receive it verbatim as one argument and no marker file appears."""
import pytest

from conftest import ADMIN

PAYLOADS = [
    "$(touch {m})",
    "`touch {m}`",
    "x'; touch {m}; echo '",
    'x"; touch {m}; echo "',
    "x\ntouch {m}\n",
    "x && touch {m}",
    "x | touch {m}",
    "x; touch {m} #",
    "${{IFS}}touch${{IFS}}{m}",
    "'\"$(touch {m})\"'",
]


@pytest.fixture(params=range(len(PAYLOADS)), ids=lambda i: "payload%d" % i)
def payload(request, camera):
    marker = camera.path("tmp/marker-%d" % request.param)
    return PAYLOADS[request.param].format(m=marker), marker


def test_account_values_reach_curl_and_hfetchr_as_one_word(camera, payload):
    text, marker = payload
    port = camera.web()
    camera.set("root.stereo.Environment0SysAccount", "root" + text,
               "root.stereo.Environment0SysPwd", text)
    camera.set("root.Brand.ProdNbr", "Q6045-E", "root.Properties.System.HardwareID", "9F1")
    child = camera.run("""
        out(d=fn("zent_param_get_digital_zoom", ctypes.c_int)(),
            o=fn("zent_param_get_optical_zoom", ctypes.c_float)(),
            t=fn("zent_param_get_tz7_zoom", ctypes.c_int)())
    """)
    assert child.result == {"d": -1, "o": 0.0, "t": -1}
    assert not marker.exists()
    user = "root" + text + ":" + text
    curl = camera.calls("curl")
    # Digital zoom, optical zoom, and the account check after the failed optical read.
    assert [c[:5] for c in curl] == [["-k", "-L", "-f", "--user", user]] * 3
    assert camera.calls("hfetchr") == [
        ["-o", "/dev/stdout", "-u", "root", "-w", text,
         "http://127.0.0.1:%d/orvex-cgi/com/ptz.cgi?query=position" % port]]


def test_address_and_port_values_stay_in_the_url(camera, payload):
    text, marker = payload
    camera.set("root.stereo.Environment0SysAccount", ADMIN[0],
               "root.stereo.Environment0SysPwd", ADMIN[1],
               "root.Network.eth0.IPAddress", text[:15], "root.System.BoaPort", text)
    child = camera.run("""
        out(d=fn("zent_param_get_digital_zoom", ctypes.c_int)(),
            p=fn("pwdcheck", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p)(b"root", b"x"))
    """)
    assert child.result == {"d": -1, "p": -1}
    assert not marker.exists()
    urls = [c[-1] for c in camera.calls("curl")]
    assert urls == ["http://%s:%s/orvex-cgi/com/ptz.cgi?query=position" % (text[:15], text),
                    "http://127.0.0.1:%s/operator/basic.shtml" % text]


def test_password_page_query_values(camera, payload):
    text, marker = payload
    camera.web()
    query = "user=" + text.replace("&", "") + "&pass=" + text.replace("&", "")
    child = camera.run("""
        out(r=page("pwdcheck_page", query=os.environ["SVC_QUERY"].encode()))
    """, SVC_QUERY=query)
    assert child.result == {"r": ["{\n\t\"success\" : false\n}", 22]}
    assert not marker.exists()
    word = text.replace("&", "")
    assert camera.calls("curl")[0][4] == word + ":" + word
