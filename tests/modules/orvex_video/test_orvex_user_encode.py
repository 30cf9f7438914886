"""The coordinate-table resampler through the real module: record sizes, the request blocks,
table entries, frames through either table against a reference written here from the
driver's documented resampling, and every failure of the unit without a leak."""
import numpy as np
import pytest

NODE = "/dev/camuser0"

SETUP = """
import numpy as np
W, H, OW, OH, S = {w}, {h}, {ow}, {oh}, {s}
ue = lib.create_user_encode(W, H, OW, OH, S, 5)
root = os.environ["ZENT_ROOT"]
"""


def reference(src, xs, ys, dx, s, ow, oh):
    """The driver's output for a table of (x, y) coordinates, as its header documents it."""
    h, w = src.shape
    tx = np.trunc(np.asarray(xs) * 8).astype(np.int64).reshape(-1, dx)
    ty = np.trunc(np.asarray(ys) * 8).astype(np.int64).reshape(-1, dx)
    out = np.zeros((oh, ow), np.uint8)
    rows, cols = tx.shape
    for oy in range(oh):
        j, fy = divmod(oy, s)
        j0, j1 = min(j, rows - 1), min(j + 1, rows - 1)
        for ox in range(ow):
            i, fx = divmod(ox, s)
            i0, i1 = min(i, cols - 1), min(i + 1, cols - 1)
            def blend(t):
                return ((s - fx) * (s - fy) * t[j0, i0] + fx * (s - fy) * t[j0, i1] +
                        (s - fx) * fy * t[j1, i0] + fx * fy * t[j1, i1])
            sx = min(max((blend(tx) + 4 * s * s) // (8 * s * s), 0), w - 1)
            sy = min(max((blend(ty) + 4 * s * s) // (8 * s * s), 0), h - 1)
            out[oy, ox] = src[sy, sx]
    return out


@pytest.mark.parametrize("args,dims", [
    ((160, 128, 160, 128, 16), (12, 9, 864)),
    ((160, 128, 80, 64, 32), (8, 5, 320)),
    ((32, 16, 16, 16, 7), (8, 4, 256)),
])
def test_record_sizes(child, args, dims):
    c = child(f"""
ue = lib.create_user_encode(*{args!r}, 9)
out(dims=[ue.tab_dim_x, ue.tab_dim_y, ue.tab_size], stride=ue.tab_stride, sharp=ue.xysharp)
lib.free_user_encode(ue)
""")
    assert c.result == {"dims": list(dims), "stride": args[4], "sharp": 9}, c.stderr


@pytest.mark.parametrize("args", [(168, 128, 160, 128, 16), (160, 120, 160, 128, 16),
                                  (160, 128, 168, 128, 16), (160, 128, 160, 120, 16),
                                  (0, 128, 160, 128, 16), (-16, 128, 160, 128, 16),
                                  (160, 128, 160, 128, 0)])
def test_refused_sizes_open_nothing(child, args):
    c = child(f"out(null=lib.create_user_encode(*{args!r}, 1) == ffi.NULL)\n")
    assert c.result == {"null": True}, c.stderr
    assert not c.lines("open " + NODE)


def test_request_blocks_and_free_order(child):
    c = child(SETUP.format(w=160, h=128, ow=96, oh=64, s=16) + """
xs = [i * S for j in range(ue.tab_dim_y) for i in range(ue.tab_dim_x)]
ys = [j * S for j in range(ue.tab_dim_y) for i in range(ue.tab_dim_x)]
lib.set_user_encode_table(ue, 0, xs, ys)
src = np.zeros(W * H, np.uint8); dst = ffi.new("uint8_t[]", OW * OH)
lib.user_encode_frame(ue, 0, ffi.from_buffer("uint8_t[]", src), dst, OW, OH)
lib.free_user_encode(ue)
out(ok=1)
""")
    assert c.result == {"ok": 1}, c.stderr
    calls = c.ioctls(NODE)
    names = [n for _, n, _, _ in calls]
    assert names == ["UE_SET_INPUT", "UE_SET_OUTPUT", "UE_MAP_CONTROL", "UE_ALLOC_DATA",
                     "UE_ALLOC_TABLE", "UE_ALLOC_TABLE", "UE_SET_ENCODE", "UE_START",
                     "UE_FREE_DATA", "UE_UNMAP_CONTROL", "UE_FREE_TABLE", "UE_FREE_TABLE"]
    by = {n: (w, r) for _, n, w, r in calls}
    assert by["UE_SET_INPUT"][0] == [160, 128, 0]
    out_block = by["UE_SET_OUTPUT"][0]
    assert len(out_block) == 178 and out_block[:6] == [2, 1, 0, 0, 96, 64] and not any(out_block[6:])
    assert by["UE_MAP_CONTROL"][0] == [2]
    assert by["UE_ALLOC_DATA"][0] == [2 * 96 * 64]
    tables = [int(r) for _, n, _, r in calls if n == "UE_ALLOC_TABLE"]
    assert all(w == [12 * 9 * 8] for _, n, w, _ in calls if n == "UE_ALLOC_TABLE")
    assert by["UE_SET_ENCODE"][0] == [1, 0, 0, 160, 128, tables[0], 12, 864]
    assert by["UE_START"][0] == [int(by["UE_MAP_CONTROL"][1])]
    assert sorted(w[0] for _, n, w, _ in calls if n == "UE_FREE_TABLE") == sorted(tables)
    assert not [l for l in c.log if "bad_entries" in l or "why=" in l]
    assert len(c.lines("mmap " + NODE)) == len(c.lines("munmap " + NODE))
    assert c.lines("write " + NODE) == ["write %s len=%d result=%d" % (NODE, 160 * 128, 160 * 128)]


def test_frames_through_either_table_match_the_reference(child, tmp_path):
    c = child(SETUP.format(w=64, h=48, ow=48, oh=32, s=16) + """
rng = np.random.default_rng(3)
src = rng.integers(0, 256, (H, W), dtype=np.uint8)
dx, dy = ue.tab_dim_x, ue.tab_dim_y
ident_x = [float(i * S) for j in range(dy) for i in range(dx)]
ident_y = [float(j * S) for j in range(dy) for i in range(dx)]
warp_x = [i * S * 1.1 + 3.3 - 0.05 * j for j in range(dy) for i in range(dx)]
warp_y = [j * S * 0.9 - 0.2 + 0.1 * i for j in range(dy) for i in range(dx)]
lib.set_user_encode_table(ue, 0, ident_x, ident_y)
lib.set_user_encode_table(ue, 1, warp_x, warp_y)
outs = []
for table, cw, ch in ((0, OW, OH), (1, OW, OH), (0, 13, 5), (7, 13, 5)):
    dst = ffi.new("uint8_t[]", OW * OH)
    lib.user_encode_frame(ue, table, ffi.from_buffer("uint8_t[]", src.ravel()), dst, cw, ch)
    outs.append(np.frombuffer(ffi.buffer(dst), np.uint8).copy())
np.savez(root + "/ue.npz", src=src, wx=warp_x, wy=warp_y, ix=ident_x, iy=ident_y, *outs)
out(dx=dx, frames=dev.devsim_ue_frames())
lib.free_user_encode(ue)
""")
    assert c.result == {"dx": 8, "frames": 4}, c.stderr
    d = np.load(tmp_path / "ue.npz")
    src, ow, oh = d["src"], 48, 32
    ident = reference(src, d["ix"], d["iy"], 8, 16, ow, oh)
    warp = reference(src, d["wx"], d["wy"], 8, 16, ow, oh)
    assert np.array_equal(ident, src[:oh, :ow])
    assert np.array_equal(d["arr_0"].reshape(oh, ow), ident)
    assert np.array_equal(d["arr_1"].reshape(oh, ow), warp)
    assert not np.array_equal(warp, ident)
    # copy_width 13: packed rows of 13 (one group of 8 and 5 single samples), nothing past.
    for k, expect in ((2, ident), (3, warp)):
        got = d["arr_%d" % k]
        assert np.array_equal(got[:13 * 5].reshape(5, 13), expect[:5, :13])
        assert not got[13 * 5:].any()


UE_FAULTS = [{"DEVSIM_UE_MISSING": "1"}] + [
    {"DEVSIM_UE_FAIL": r} for r in ("UE_SET_INPUT", "UE_SET_OUTPUT", "UE_MAP_CONTROL",
                                     "UE_ALLOC_DATA", "UE_ALLOC_TABLE:1", "UE_ALLOC_TABLE:2")
] + [{"DEVSIM_UE_FAIL_MMAP": str(n)} for n in (1, 2, 3, 4)]


@pytest.mark.parametrize("faults", UE_FAULTS, ids=[str(f) for f in UE_FAULTS])
def test_unit_failures_give_null_and_release_everything(child, faults):
    c = child("""
ue = lib.create_user_encode(160, 128, 160, 128, 16, 1)
out(null=ue == ffi.NULL)
""", ZENT_LOG_STDERR=1, **faults)
    assert c.result == {"null": True}, c.stderr
    assert "user_encode: " in c.stderr
    calls = c.ioctls(NODE)
    ok = lambda n: [int(r) for _, name, _, r in calls if name == n and r.lstrip("-").isdigit()]
    freed = lambda n: sorted(w[0] for _, name, w, _ in calls if name == n)
    assert sorted(ok("UE_ALLOC_TABLE")) == freed("UE_FREE_TABLE")
    assert sorted(ok("UE_ALLOC_DATA")) == freed("UE_FREE_DATA")
    assert sorted(ok("UE_MAP_CONTROL")) == freed("UE_UNMAP_CONTROL")
    assert len([l for l in c.lines("mmap " + NODE) if "result=ok" in l]) == len(c.lines("munmap " + NODE))
    assert len(c.lines("open %s ok" % NODE)) == len(c.lines("close " + NODE))


@pytest.mark.parametrize("faults", [{"DEVSIM_UE_FAIL_WRITE": "1"}, {"DEVSIM_UE_FAIL": "UE_START"},
                                    {"DEVSIM_UE_FAIL": "UE_SET_ENCODE"}])
def test_frame_that_cannot_run_returns_instead_of_waiting(child, faults):
    c = child(SETUP.format(w=32, h=32, ow=32, oh=32, s=16) + """
dst = ffi.new("uint8_t[]", [0x77] * (OW * OH))
lib.user_encode_frame(ue, 0, ffi.new("uint8_t[]", W * H), dst, OW, OH)
out(untouched=bytes(ffi.buffer(dst)) == b"\\x77" * (OW * OH))
lib.free_user_encode(ue)
""", timeout=20, ZENT_LOG_STDERR=1, **faults)
    assert c.result == {"untouched": True}, c.stderr
    assert "user_encode: " in c.stderr
