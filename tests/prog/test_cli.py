# promwright's command line: usage, argument errors and their exit statuses, instance
# selection, file-size limits and the head id round trip.
import pytest

from conftest import PROMWRIGHT

USAGE_HEAD = "======================= Usage (examples) ======================"


def expected_usage(name):
    return "\n".join([
        USAGE_HEAD,
        f" Write head id:   {name} -I <head_id> -v <head_version> -i [instance]",
        f" Write head data: {name} -d <filename> -i [instance]",
        f" Write unit id:   {name} -u <unitid> -i [instance]",
        f" Read head data:  {name} -o <filename> -i [instance]",
        f" Print head id:   {name} -p -i [instance]",
        " ",
        " ====================== Command line options ===================",
        " -o Name of output file, if output of eeprom data.",
        "    should be to file.",
        "",
        " -i instance [0-3]",
        "",
        " -p Print the head id and head version.",
        "",
        " -x Print the UFM header",
        "",
        " -d Read data from input file and write to EEPROM. Number of bytes",
        "    that can be written depends on the device. Typically this",
        "    will be used when writing head data to EEPROM",
        "",
        " -t Make -d and -o operate on the tail partition instead of the main partition",
        "",
        " -I Write head id to EEPROM. Needs to be combined with -v",
        "",
        " -v Write head version to EEPROM. Needs to be combined with -I",
        "",
        " -e Erase all data in EEPROM (will be 0xff after)",
        "",
        " -u Write the Unit ID (10 characters)",
        "",
        " -h print this help text.",
        "",
        " -w verify data",
        "",
        "",
    ])


@pytest.mark.parametrize("args", [[], ["-h"], ["-p", "-h", "-e"]])
def test_usage_exits_zero_without_touching_the_device(head, args):
    r = head.run(*args)
    assert r.returncode == 0
    assert r.stdout == expected_usage(str(PROMWRIGHT))
    assert r.stderr == ""
    assert head.log_lines() == []  # the device was never opened


def test_unknown_option_prints_usage_and_fails(head):
    r = head.run("-z")
    assert r.returncode == 255
    assert r.stdout == expected_usage(str(PROMWRIGHT))
    assert head.log_lines() == []


@pytest.mark.parametrize("args, err", [
    (["-I", "0x10000", "-v", "1"], "ERR main: Id too large: 0x10000 > 0xffff\n"),
    (["-I", "1", "-v", "10000"], "ERR main: Version too large: 0x10000 > 0xffff\n"),
    (["-C", "200"], "ERR main: Crop value 200 is out of range, the valid range = [-128, 127]\n"),
    (["-C", "-129"], "ERR main: Crop value -129 is out of range, the valid range = [-128, 127]\n"),
    (["-C", "abc"], "ERR main: Crop value abc is out of range, the valid range = [-128, 127]\n"),
    (["-u", "ABCDEFGHI"], "ERR main: Unit ID must be exactly 10 characters long\n"),
    (["-u", "ABCDEFGHIJK"], "ERR main: Unit ID must be exactly 10 characters long\n"),
    # Parsing stops at the first bad argument: the later one is never looked at.
    (["-C", "128", "-u", "x"], "ERR main: Crop value 128 is out of range, the valid range = [-128, 127]\n"),
])
def test_argument_errors(head, args, err):
    r = head.run(*args, "-p")
    assert r.returncode == 255
    assert r.stderr == err
    assert r.stdout == "Unsuccesful\n"
    assert head.log_lines() == []


@pytest.mark.parametrize("args", [["-I", "0x12"], ["-v", "3"], ["-I", "0", "-v", "3"],
                                  ["-I", "zz", "-v", "3"]])
def test_id_and_version_go_together(head, args):
    r = head.run(*args)
    assert r.returncode == 255
    assert r.stdout == "Both id and version have to be specified\n"
    assert head.log_lines() == []


@pytest.mark.parametrize("crop", ["-128", "127", "0"])
def test_crop_limits_accepted(head, crop):
    r = head.run("-C", crop, "-x")
    assert r.returncode == 0, r.stderr
    value = int(crop)
    assert f"crop = 0x{value & 0xff:02x}, {value:03d}\n" in r.stdout


@pytest.mark.parametrize("arg, used", [("7", 0), ("-1", 0), ("two", 0), ("3", 3), ("2", 2)])
def test_instance_selection(head, arg, used):
    r = head.run("-i", arg, "-p")
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    insts = {t.inst for t in head.transfers()}
    assert insts == {used}


def test_head_id_written_and_printed_back(head):
    r = head.run("-I", "0x1", "-v", "0x2", "-p")
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith("Head_id = 0x0001\nHead_version = 0x0002\n")
    img = head.image()
    assert img[0:16] == bytes([2, 0, 1, 0]) + bytes(12)
    # Only chunk 0 was written; the rest of the blank part is untouched.
    assert img[16:] == b"\xff" * (65536 - 16)


def test_head_id_little_endian_full_range(head):
    r = head.run("-I", "ffff", "-v", "0xA55A", "-p")
    assert r.returncode == 0, r.stderr
    assert "Head_id = 0xffff\nHead_version = 0xa55a\n" in r.stdout
    assert head.image()[0:4] == bytes([0x5a, 0xa5, 0xff, 0xff])


@pytest.mark.parametrize("tail, size", [(False, 61409), (True, 4081)])
def test_file_one_byte_over_the_partition_is_refused(head, tail, size):
    f = head.root / "big.bin"
    f.write_bytes(b"\x11" * size)
    limit = 4080 if tail else 61408
    r = head.run("-d", f, *(["-t"] if tail else []))
    assert r.returncode == 1
    assert r.stderr == f"ERR write_head_data: File {f} too large to fit in eeprom. {size} > {limit}\n"
    assert r.stdout.endswith("Unsuccesful\n")
    assert head.transfers(dev="eeprom", kind="write") == []


def test_tail_partition_takes_exactly_4080_bytes(head):
    payload = bytes((i * 7 + 3) & 0xff for i in range(4080))
    f = head.root / "tail.bin"
    f.write_bytes(payload)
    out = head.root / "back.bin"
    r = head.run("-d", f, "-t", "-o", out)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == payload
    img = head.image()
    assert img[61440:61444] == bytes([1, 0, 0xf0, 0x0f])
    assert img[61456:] == payload
    writes = head.transfers(dev="eeprom", kind="write")
    assert len(writes) == 256
    assert writes[-1].addr == 65520 and writes[-1].len == 16


def test_missing_input_file(head):
    missing = head.root / "nope.bin"
    r = head.run("-d", missing)
    assert r.returncode == 29
    assert r.stderr.startswith(f"ERR write_head_data: Could not open file ({missing}). Errno: 2, ")
    assert r.stdout.endswith("Unsuccesful\n")
