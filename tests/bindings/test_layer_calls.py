"""Calls through the generated layer, with the native side replaced by small C doubles:
argument counts and ranges are enforced before native code runs, temporary arrays, null
results, and the load-time check of the laid-out records."""
import os
import subprocess
import sys
import sysconfig
import textwrap

from bindings_helpers import C_COMPILER, GENERATOR, cdef_text, leaf, subprocess_env

HEADER = """#ifndef DOUBLE_H
#define DOUBLE_H
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
%s
#endif
"""


def build(tmp_path, module, decls, native_c, header_decls=None):
    """Generates the module's layer against a header of header_decls (default: the same
    declarations), compiles it with native_c and returns the directory to import from."""
    header = tmp_path / "double.h"
    header.write_text(HEADER % (decls if header_decls is None else header_decls))
    cdef = tmp_path / "decls.cdef"
    cdef.write_text(decls)
    gen = tmp_path / "layer.c"
    impl = tmp_path / "native.c"
    impl.write_text('#include "double.h"\n' + textwrap.dedent(native_c))
    subprocess.run([sys.executable, str(GENERATOR), "--module", module, "--cdef", str(cdef),
                    "--header", str(header), "--out", str(gen)],
                   check=True, env=subprocess_env(), capture_output=True)
    parts = module.split(".")
    outdir = tmp_path.joinpath("py", *parts[:-1])
    outdir.mkdir(parents=True)
    if len(parts) > 1:
        (outdir / "__init__.py").write_text("")
    res = subprocess.run([*C_COMPILER, "-shared", "-fPIC", "-w", "-I", sysconfig.get_paths()["include"],
                          "-o", str(outdir / (leaf(module) + ".so")), str(gen), str(impl)],
                         env=subprocess_env(), capture_output=True, text=True)
    assert res.returncode == 0, res.stderr
    return tmp_path / "py"


def run(pydir, script):
    """Runs the script in a fresh interpreter with the built double importable."""
    env = dict(os.environ, PYTHONPATH=str(pydir))
    res = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=env,
                         capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stdout + res.stderr
    return res.stdout


ARUCO_DOUBLE = """
static int calls;
int detect_aruco(uint8_t *image, int dim_a, int dim_b, point_t **points, size_t *count,
                 int **ids) {
    calls++;
    *count = 2;
    *points = malloc(2 * sizeof(point_t));
    *ids = malloc(2 * sizeof(int));
    for (int i = 0; i < 2; i++) {
        (*points)[i].x = image[i] + 0.5;
        (*points)[i].y = dim_a * 1000.0 + dim_b;
        (*ids)[i] = calls * 10 + i;
        image[i] = 0; /* lost when the caller passed a list */
    }
    return 7;
}
"""


def test_marker_module_calls_and_releases(tmp_path):
    pydir = build(tmp_path, "stereo._aruco", cdef_text("stereo._aruco"), ARUCO_DOUBLE)
    out = run(pydir, """
        from stereo._aruco import ffi, lib
        pts, n, ids = ffi.new("point_t **"), ffi.new("size_t *"), ffi.new("int **")
        image = [3, 4, 5]
        assert lib.detect_aruco(image, 12, 34, pts, n, ids) == 7
        assert image == [3, 4, 5]  # a list goes in through a temporary array
        assert n[0] == 2
        assert [(pts[0][i].x, pts[0][i].y) for i in range(2)] == [(3.5, 12034.0), (4.5, 12034.0)]
        assert [ids[0][0], ids[0][1]] == [10, 11]
        lib.free(pts[0]); lib.free(ids[0]); lib.free(ffi.NULL)

        buf = ffi.new("uint8_t[]", [9, 8])
        lib.detect_aruco(buf, 1, 2, pts, n, ids)
        assert list(buf) == [0, 0]  # an allocated array is written in place
        assert ids[0][0] == 20
        lib.free(pts[0]); lib.free(ids[0])

        # Wrong argument count and an out-of-range int raise before the detector runs.
        for args, err in (((buf, 1, 2, pts, n), TypeError),
                          ((buf, 2 ** 40, 2, pts, n, ids), OverflowError),
                          ((buf, 1.5, 2, pts, n, ids), TypeError)):
            try:
                lib.detect_aruco(*args)
            except err as e:
                print(type(e).__name__, e)
            else:
                raise AssertionError(args)
        lib.detect_aruco(buf, 1, 2, pts, n, ids)
        assert ids[0][0] == 30  # exactly three calls reached the detector
        lib.free(pts[0]); lib.free(ids[0])
    """)
    assert "detect_aruco expected 6 arguments, got 5" in out


PARAMETER_DOUBLE = """
struct _QLParameter { int opened; };
static char stored[64] = "first";
struct _QLParameter *orvex_parameter_new(void) { return NULL; }
void orvex_parameter_free(struct _QLParameter *handle) { (void)handle; }
int orvex_parameter_get(struct _QLParameter *handle, char *name, char **value, int *code) {
    (void)handle;
    if (name[0] != 'r') { *value = NULL; *code = QL_PARAMETER_PARAM_GET_ERROR; return 0; }
    *value = malloc(sizeof stored);
    for (size_t i = 0; i < sizeof stored; i++) (*value)[i] = stored[i];
    return 1;
}
int orvex_parameter_set(struct _QLParameter *handle, char *name, char *value, int *code,
                        int sync) {
    (void)handle; (void)name; (void)code;
    size_t i = 0;
    for (; value[i] && i + 1 < sizeof stored; i++) stored[i] = value[i];
    stored[i] = 0;
    return sync ? 1 : 2;
}
void orvex_parameter_free_value(char **value) { free(*value); }
"""


def test_parameter_module_null_handle_and_codes(tmp_path):
    pydir = build(tmp_path, "_orvex_parameter", cdef_text("_orvex_parameter"),
                  PARAMETER_DOUBLE)
    run(pydir, """
        from _orvex_parameter import ffi, lib
        h = lib.orvex_parameter_new()
        assert h is not None and h == ffi.NULL  # a null pointer object, not None
        assert ffi.typeof(h) == ffi.typeof("QLParameter *")
        value, code = ffi.new("char **"), ffi.new("int *")
        assert lib.orvex_parameter_get(h, b"x.y", value, code) == 0
        assert value[0] == ffi.NULL and code[0] == lib.QL_PARAMETER_PARAM_GET_ERROR == 9
        assert lib.orvex_parameter_set(h, b"root.A", b"second", code, 0) == 2
        assert lib.orvex_parameter_set(h, b"root.A", b"third", code, 1) == 1
        assert lib.orvex_parameter_get(h, b"root.A", value, code) == 1
        assert ffi.string(value[0]) == b"third"
        lib.orvex_parameter_free_value(value)
        try:
            lib.orvex_parameter_set(h, b"root.A", b"v", code, 2 ** 40)
        except OverflowError:
            pass
        else:
            raise AssertionError("2**40 accepted for an int")
        lib.orvex_parameter_free(h)
    """)


# The capture records as the native side would lay them out, and one with two fields
# swapped: loading must accept the first and refuse the second.
CAMERA_NATIVE = """
struct cap; struct frm; struct user_encode_internal;
typedef struct cap *cap_t;
typedef struct frm *frm_t;
typedef struct user_encode_internal *user_encode_internal_t;
struct camera { int width; int height; cap_t left; cap_t right; };
typedef struct camera *cam_t;
struct frm_pair { frm_t left; frm_t right; int buffers_filled_left; int buffers_filled_right; };
typedef struct frm_pair *frm_pair_t;
struct user_encode { unsigned int tab_dim_x, tab_dim_y, tab_size, tab_stride, xysharp;
                     user_encode_internal_t uc_int; };
typedef struct user_encode *user_encode_t;
"""

VIDEO_FUNCTIONS = """
cam_t create_camera(int a, int b, int c, int d, int e, int f, int g, int h, int i) {
    static struct camera cam;
    cam.width = b; cam.height = c; (void)a; (void)d; (void)e; (void)f; (void)g; (void)h; (void)i;
    return &cam;
}
void free_camera(cam_t c) { (void)c; }
void cap_start(void) {}
void cap_stop(void) {}
frm_pair_t cap_get_stereo_frame(cap_t l, cap_t r) { (void)l; (void)r; return NULL; }
int cap_return_stereo_frame(cap_t l, cap_t r, frm_pair_t p) { (void)l; (void)r; (void)p; return 0; }
int cap_return_frame(cap_t c, frm_t f) { (void)c; (void)f; return 0; }
uint8_t *cap_get_data(cap_t c, frm_t f) { (void)c; (void)f; return NULL; }
double get_timestamp(cap_t c, frm_t f) { (void)c; (void)f; return 10.5; }
double get_timestamp_user(frm_t f) { (void)f; return 0.25; }
unsigned long monotonic_usec(void) { return 4294967295UL; }
user_encode_t create_user_encode(int a, int b, int c, int d, unsigned s, unsigned x) {
    (void)a; (void)b; (void)c; (void)d; (void)s; (void)x; return NULL;
}
void set_user_encode_table(user_encode_t u, int t, double *xs, double *ys) {
    (void)u; (void)t; (void)xs; (void)ys;
}
void user_encode_frame(user_encode_t u, int t, uint8_t *s, uint8_t *d, int w, int h) {
    (void)u; (void)t; (void)s; (void)d; (void)w; (void)h;
}
void free_user_encode(user_encode_t u) { (void)u; }
"""


def video_header(native_records):
    # Functions as the native header declares them, after its records.
    protos = cdef_text("_orvex_video").split("typedef struct user_encode *user_encode_t;", 1)[1]
    return native_records + protos


def test_capture_records_checked_at_load(tmp_path):
    pydir = build(tmp_path, "_orvex_video", cdef_text("_orvex_video"), VIDEO_FUNCTIONS,
                  header_decls=video_header(CAMERA_NATIVE))
    run(pydir, """
        from _orvex_video import ffi, lib
        cam = lib.create_camera(25, 160, 120, 0, 1920, 0, 1080, 1920, 1080)
        assert (cam.width, cam.height) == (160, 120)
        assert cam.left == ffi.NULL
        assert lib.cap_get_stereo_frame(cam.left, cam.right) == ffi.NULL
        assert lib.get_timestamp(ffi.NULL, ffi.NULL) == 10.5
        assert lib.monotonic_usec() == 4294967295
        # Touching the fields runs the comparison with the native layout.
        for rec in ("struct camera", "struct frm_pair", "struct user_encode"):
            offs = [ffi.offsetof(rec, name) for name, _ in ffi.typeof(rec).fields]
            assert offs == sorted(offs) and offs[0] == 0, rec
        try:
            lib.cap_return_stereo_frame(cam.left, cam.right)
        except TypeError:
            pass
        else:
            raise AssertionError("two arguments accepted for three parameters")
    """)


def test_swapped_capture_record_is_refused_at_load(tmp_path):
    swapped = CAMERA_NATIVE.replace("struct camera { int width; int height; cap_t left;",
                                    "struct camera { cap_t left; int width; int height;")
    assert swapped != CAMERA_NATIVE
    pydir = build(tmp_path, "_orvex_video", cdef_text("_orvex_video"), VIDEO_FUNCTIONS,
                  header_decls=video_header(swapped))
    out = run(pydir, """
        from _orvex_video import ffi, lib
        try:
            ffi.offsetof("struct camera", "width")
        except ffi.error as e:
            print(e)
        else:
            raise AssertionError("swapped layout accepted")
    """)
    assert "struct camera: wrong offset for field 'width'" in out
