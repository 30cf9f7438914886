"""The all-parameters page parsed by a real JSON parser whatever the stored values hold:
quotes, backslashes, control characters, text that looks like a number or "nan", values with
dots and equals signs, groups whose names prefix each other, and a camera whose optics are
unknown."""
import json

VALUES = {
    "Counter0Url": "http://a.b/c?x=1&y=2.5",
    "Counter0Back": "a\\b\\",
    "Counter0Ctl": "a\x01b\x7fc\td",
    "Counter0Quote": 'say "hi" / bye',
    "Counter0Lone": '"',
    "Counter0Unicode": "Zürich ✓",
    "Counter0Empty": "",
    "Counter0Nan": "nan",
    "Counter0Zoom": "5000",
    "Counter0Path": "a/b",
    "CounterX0Y": "1",
    "Counters0Z": "2",
    "Build0Tag": "x",
    "Builder0Y": "y",
    "Httppost0Pass": "abc",
    "Environment0Pwd": "hidden",
}

EXPECTED = {
    "Counter": {
        "Url": "http://a.b/c?x=1&y=2.5",
        "Back": "a\\b\\",
        "Ctl": "a\x01b\x7fc\td",
        "Quote": 'say "hi" / bye',
        "Lone": '"',
        "Unicode": "Zürich ✓",
        "Empty": "",
        "Nan": "nan",
        "Zoom": "5000",
        "Path": "a/b",
        "DigitalZoom": "5000",
        "DigitalZoomEnabled": "1",
    },
    "CounterX": {"Y": "1"},
    "Counters": {"Z": "2"},
    "Httppost": {"Pass": "***"},
    "Environment": {"Pwd": "****"},
}


def load(camera, query=b""):
    child = camera.run("""
        lib.zent_param_set_error_(b"SYS_PWD_ERROR", b'Failed to get system admin account. Go to the <a href=\\\\"rootpwd.html\\\\">root account page</a> to enter this.')
        text, n = page("gen_allparams_page", query=%r)
        out(text=text, n=n)
    """ % query)
    assert child.rc == 0, child.stderr
    return child.result["text"], child.result["n"]


def test_page_is_json_whatever_the_values(camera):
    pairs = []
    for name, value in VALUES.items():
        pairs += ["root.stereo." + name, value]
    camera.set(*pairs)
    camera.set("root.Brand.ProdNbr", "X9999", "root.stereo.Counter0DigitalZoomEnabled", "1",
               "root.stereo.Counter0DigitalZoom", "5000")
    text, n = load(camera)
    assert n == len(text.encode())
    doc = json.loads(text)
    settings = {k: v for k, v in doc.items() if k not in ("Build", "Static")}
    assert settings == EXPECTED
    # The order on the page is the store's: groups whole, one after the other.
    assert list(doc) == ["Counter", "CounterX", "Counters", "Environment", "Httppost", "Build",
                         "Static"]
    static = doc["Static"]
    # No optics known for this camera: finite figures, never "nan".
    assert static["DigitalZoomFactor"] == 1
    assert static["Lens"] == -1 and static["Ccdw"] == -1 and static["LensLambda"] == 0
    assert static["ModelName"] == "X9999"
    assert static["Errors"] == {"SYS_PWD_ERROR": 'Failed to get system admin account. Go to the '
                                '<a href="rootpwd.html">root account page</a> to enter this.'}
    assert len(static["Timestamp"]) == 14 and static["Timestamp"].isdigit()
    assert doc["Build"]["Name"] == "stereo"


def test_script_form_is_an_assignment_of_the_same_document(camera):
    camera.set("root.stereo.Counter0Zoom", "5000")
    text, _ = load(camera, b"&variable=stereoCfg&x=1")
    assert text.startswith("var stereoCfg = {\n")
    doc = json.loads(text[len("var stereoCfg = "):])
    assert doc["Counter"] == {"Zoom": "5000"}
    text, _ = load(camera, b"&variable=a</script><script>alert(1)")
    assert json.loads(text)["Counter"] == {"Zoom": "5000"}


def test_knobctl_lines_as_the_camera_prints_them(camera):
    # The lister quotes every value; the page takes the stored text between the quotes.
    camera.set("root.stereo.Counter0Name", "a/b", "root.stereo.Counter0Q", 'a"/b')
    r = camera.run("import subprocess; out(o=subprocess.run([os.environ['ZENT_ROOT'] + "
                   "'/usr/bin/knobctl', '--nocgi', 'getgroup', 'stereo'], capture_output=True, "
                   "text=True).stdout)")
    assert r.result["o"] == 'root.stereo.Counter0Name="a/b"\nroot.stereo.Counter0Q="a"/b"\n'
    text, _ = load(camera)
    assert '"Name": "a/b"' in text
    assert '"Q": "a\\"\\/b"' in text
    assert json.loads(text)["Counter"] == {"Name": "a/b", "Q": 'a"/b'}
