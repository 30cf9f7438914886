# EEPROM operations against the simulated head: chunked writes and their pacing, round trips
# through both partitions, verification, header fields, dumps and failure paths.
import errno
import os
import resource
import signal

import pytest

from conftest import ufm_header

SAMPLE = bytes([0x01, 0x00, 0x10, 0x00]) + b"ABCDEFGHIJ" + bytes([0xfe, 0x07])

# The driver's timeout as the tool reports it: the system's own text and number (110 on
# x86-64, 145 on the camera's MIPS).
TIMEOUT_TEXT = f"{os.strerror(errno.ETIMEDOUT)} ({errno.ETIMEDOUT})"


def test_17_bytes_at_chunk_1_are_two_paced_chunk_writes(head):
    data = bytes(range(1, 18))
    f = head.root / "d.bin"
    f.write_bytes(data[:1])  # 1 data byte + 16 header bytes = 17 bytes from chunk 1
    r = head.run("-d", f)
    assert r.returncode == 0, r.stderr
    writes = head.transfers(dev="eeprom", kind="write")
    assert [(w.addr, w.len, w.tries) for w in writes] == [(16, 16, 10), (32, 1, 10)]
    # The first try succeeded each time: the tool let the write cycle finish in between.
    assert all(w.used == 1 and w.result == "ok" for w in writes)
    assert head.image()[16:33] == ufm_header(size=1) + data[:1]


def test_every_chunk_write_waits_for_the_write_cycle(head):
    f = head.root / "d.bin"
    f.write_bytes(os.urandom(200))
    # Subsequent transfers right after a write would be NACKed for 5 ms; none are.
    r = head.run("-d", f, "-w", "-u", "ABCDEFGHIJ", "-C", "5", "-p")
    assert r.returncode == 0, r.stderr
    eeprom = head.transfers(dev="eeprom")
    assert len(eeprom) > 20
    assert all(t.used == 1 for t in eeprom), [t for t in eeprom if t.used != 1]


@pytest.mark.parametrize("tail", [False, True])
def test_round_trip_through_a_partition(head, tail):
    payload = os.urandom(1000)
    f = head.root / "in.bin"
    f.write_bytes(payload)
    out = head.root / "out.bin"
    flags = ["-t"] if tail else []
    r = head.run("-d", f, *flags)
    assert r.returncode == 0, r.stderr
    r = head.run("-o", out, *flags)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == payload
    assert (os.stat(out).st_mode & 0o777) == 0o744
    img = head.image()
    start = 61440 if tail else 16
    assert img[start:start + 16] == ufm_header(size=1000)
    assert img[start + 16:start + 1016] == payload
    other = 16 if tail else 61440
    assert img[other:other + 16] == b"\xff" * 16  # the other partition is untouched


def test_tail_header_copies_the_main_identity(head):
    head.poke(16, ufm_header(size=3, unit_id=b"UNIT000042", crop=-5, compr=2, field=9))
    f = head.root / "in.bin"
    f.write_bytes(b"xyz1234")
    r = head.run("-d", f, "-t")
    assert r.returncode == 0, r.stderr
    img = head.image()
    assert img[61440:61456] == ufm_header(size=7, unit_id=b"UNIT000042", crop=-5, compr=2, field=9)
    assert img[16:32] == ufm_header(size=3, unit_id=b"UNIT000042", crop=-5, compr=2, field=9)


def test_output_overwrites_an_existing_file(head):
    head.poke(16, ufm_header(size=4) + b"abcd")
    out = head.root / "out.bin"
    out.write_bytes(b"previous content that is longer")
    r = head.run("-o", out)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == b"abcd"


def test_verify_passes_and_reports_on_one_line(head):
    f = head.root / "in.bin"
    f.write_bytes(os.urandom(300))
    r = head.run("-d", f, "-w")
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith("Verify header succesfulVerify data succesful")
    assert r.stderr == ""


def test_verify_detects_a_corrupted_data_byte(head):
    f = head.root / "in.bin"
    f.write_bytes(os.urandom(300))
    r = head.run("-d", f, "-w", faults={"DEVSIM_CORRUPT_ADDR": 32 + 150})
    assert r.returncode == 21
    assert "Verify header succesful" in r.stdout
    assert "Verify data succesful" not in r.stdout
    assert r.stderr == "ERR eeprom_read_head_data: Data not equal\n"
    assert r.stdout.endswith("Unsuccesful\n")


def test_verify_detects_a_corrupted_header_byte(head):
    f = head.root / "in.bin"
    f.write_bytes(b"0123456789")
    r = head.run("-d", f, "-w", faults={"DEVSIM_CORRUPT_ADDR": 16 + 5})
    assert r.returncode == 21
    assert r.stderr == "ERR eeprom_read_head_data: Headers not equal\n"
    assert "Verify data succesful" in r.stdout


def test_unit_id_and_crop_go_to_the_main_header_even_with_tail(head):
    f = head.root / "in.bin"
    f.write_bytes(b"tail data")
    r = head.run("-d", f, "-t", "-u", "SN12345678", "-C", "-77")
    assert r.returncode == 0, r.stderr
    img = head.image()
    assert img[16:32] == ufm_header(size=0, unit_id=b"SN12345678", crop=-77)
    # The tail header was written before the unit id, from the blank main header.
    assert img[61440:61456] == ufm_header(size=9)


def test_unit_id_keeps_other_header_fields(head):
    head.poke(16, ufm_header(size=0x1234, unit_id=b"OLDOLDOLD0", crop=3, compr=0x42, field=0x99))
    r = head.run("-u", "NEWNEWNEW1")
    assert r.returncode == 0, r.stderr
    assert head.image()[16:32] == ufm_header(size=0x1234, unit_id=b"NEWNEWNEW1", crop=3,
                                             compr=0x42, field=0x99)


@pytest.mark.parametrize("args, fields", [
    (["-u", "NEWNEWNEW1"], {"unit_id": b"NEWNEWNEW1"}),
    (["-C", "-128"], {"crop": -128}),
])
def test_header_update_on_a_foreign_header_starts_from_a_fresh_one(head, args, fields):
    # Not version 1: nothing of it is kept, not even the fields the tool would keep.
    head.poke(16, bytes([2, 0x42, 0x34, 0x12]) + b"OLDOLDOLD0" + bytes([3, 0x99]))
    r = head.run(*args)
    assert r.returncode == 0, r.stderr
    assert head.image()[16:32] == ufm_header(**fields)


def test_crop_keeps_other_header_fields(head):
    head.poke(16, ufm_header(size=0x0102, unit_id=b"KEEPKEEP00", crop=3, compr=0x42, field=0x99))
    r = head.run("-C", "127")
    assert r.returncode == 0, r.stderr
    assert head.image()[16:32] == ufm_header(size=0x0102, unit_id=b"KEEPKEEP00", crop=127,
                                             compr=0x42, field=0x99)


def test_dump_of_the_sample_header(head):
    head.poke(16, SAMPLE)
    r = head.run("-x")
    assert r.returncode == 0, r.stderr
    assert r.stdout == (
        "Successfully set I2C method in Serializer\n"
        "raw: 01 00 10 00 41 42 43 44 45 46 47 48 49 4a fe 07 \n"
        "version = 0x01\n"
        "compr_type = 0x00\n"
        "size = 0x0010, 00016\n"
        "unit_id = \"ABCDEFGHIJ\"\n"
        "crop = 0xfe, -02\n"
        "data_field = 0x07\n")


def test_dump_of_a_blank_header_fails(head):
    r = head.run("-x")
    assert r.returncode == 21
    assert r.stdout.endswith("raw: " + "ff " * 16 + "\nUnsuccesful\n")
    assert r.stderr == "ERR dump_ufm_header: Error (21) parsing UFM header\n\n"


def test_write_failing_at_chunk_n(head):
    payload = bytes(range(256)) * 2  # 512 bytes + header = 33 chunks from chunk 1
    f = head.root / "in.bin"
    f.write_bytes(payload)
    r = head.run("-d", f, faults={"DEVSIM_FAIL_EEPROM_WRITE": 5})
    assert r.returncode == 16
    assert r.stderr == (f"ERR link_write_full: error (TIMEOUT): {TIMEOUT_TEXT}\n"
                        f"ERR write_head_data: Error writing data file ({f})\n")
    assert r.stdout.endswith("Unsuccesful\n")
    writes = head.transfers(dev="eeprom", kind="write")
    assert len(writes) == 5 and writes[-1].addr == 80 and writes[-1].result == "ETIMEDOUT"
    img = head.image()
    assert img[16:80] == ufm_header(size=512) + payload[:48]  # chunks 1-4 written
    assert img[80:] == b"\xff" * (65536 - 80)  # chunk 5 on never written


def test_write_shows_progress_only_on_a_terminal(head):
    payload = bytes(range(256)) * 2  # 33 chunks with the header
    f = head.root / "in.bin"
    f.write_bytes(payload)
    rc, out, err = head.run_on_terminal("-d", f, "-p")
    assert rc == 0, err
    assert err.startswith("\rWriting EEPROM:   3% (1/33 chunks)\rWriting EEPROM:   6% (2/33")
    assert err.endswith("\rWriting EEPROM: 100% (33/33 chunks)\r\n")
    assert err.count("\r\n") == 1
    assert out.endswith("Head_version = 0xffff\n")
    # Small header writes (unit id) show nothing.
    rc, out, err = head.run_on_terminal("-u", "ABCDEFGHIJ")
    assert (rc, err) == (0, "")
    assert head.image()[16:32] == ufm_header(size=512, unit_id=b"ABCDEFGHIJ")


def test_write_failing_on_a_terminal_starts_its_errors_on_a_new_line(head):
    payload = bytes(range(256)) * 2
    f = head.root / "in.bin"
    f.write_bytes(payload)
    rc, out, err = head.run_on_terminal("-d", f, faults={"DEVSIM_FAIL_EEPROM_WRITE": 5})
    assert rc == 16
    assert err.endswith("\rWriting EEPROM:  12% (4/33 chunks)\r\n"
                        f"ERR link_write_full: error (TIMEOUT): {TIMEOUT_TEXT}\r\n"
                        f"ERR write_head_data: Error writing data file ({f})\r\n"), err
    assert out.endswith("Unsuccesful\n")


def test_write_failure_with_verify_still_reads_back(head):
    f = head.root / "in.bin"
    f.write_bytes(bytes(100))
    r = head.run("-d", f, "-w", faults={"DEVSIM_FAIL_EEPROM_WRITE": 3})
    assert r.returncode == 16
    assert "ERR eeprom_read_head_data: Data not equal\n" in r.stderr
    assert head.transfers(dev="eeprom", kind="read")  # the read-back happened


def test_later_failure_keeps_earlier_writes(head):
    f = head.root / "in.bin"
    f.write_bytes(b"abc")
    # Head id (1 write), head data (2 writes), then the unit id's write fails.
    r = head.run("-I", "7", "-v", "8", "-d", f, "-u", "0123456789",
                 faults={"DEVSIM_FAIL_EEPROM_WRITE": 4})
    assert r.returncode == 16
    assert "ERR eeprom_write_unit_id: Writing unit id failed (16).\n" in r.stderr
    img = head.image()
    assert img[0:4] == bytes([8, 0, 7, 0])
    assert img[16:35] == ufm_header(size=3) + b"abc"


def test_tail_header_claiming_too_much_is_refused_before_reading(head):
    head.poke(61440, ufm_header(size=4081))
    out = head.root / "out.bin"
    r = head.run("-o", out, "-t")
    assert r.returncode == 19
    assert r.stderr == "ERR eeprom_read_head_data: Invalid data size in header\n"
    assert not out.exists()
    reads = head.transfers(dev="eeprom", kind="read")
    assert [t.addr for t in reads] == [61440]


def test_tail_header_of_exactly_4080_is_read(head):
    head.poke(61440, ufm_header(size=4080))
    out = head.root / "out.bin"
    r = head.run("-o", out, "-t")
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == b"\xff" * 4080


def test_main_header_with_an_impossible_size_is_refused(head):
    head.poke(16, ufm_header(size=65505))
    r = head.run("-o", head.root / "out.bin")
    assert r.returncode == 19
    assert r.stderr == "ERR eeprom_read_head_data: Invalid data size in header\n"
    assert len(head.transfers(dev="eeprom", kind="read")) == 1


def test_reading_a_blank_partition_fails(head):
    r = head.run("-o", head.root / "out.bin")
    assert r.returncode == 21
    assert r.stderr == "ERR eeprom_read_head_data: Failed to parse data header ret = 21\n"
    assert not (head.root / "out.bin").exists()


def test_unwritable_output_file(head):
    head.poke(16, ufm_header(size=2) + b"hi")
    out = head.root / "no" / "such" / "dir.bin"
    r = head.run("-o", out)
    assert r.returncode == 29
    assert r.stderr.startswith(
        f"ERR eeprom_read_head_data: Could not open file ({out}). Errno: 2, ")


def test_short_write_of_the_output_file_is_a_failure(head):
    head.poke(16, ufm_header(size=5000) + bytes(5000))
    out = head.root / "out.bin"

    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))

    env_log = head.log_path
    head.env.pop("DEVSIM_LOG")  # the log would outgrow the limit too
    try:
        r = head.run("-o", out, preexec_fn=limit_file_size)
    finally:
        head.env["DEVSIM_LOG"] = str(env_log)
    assert r.returncode == 29
    assert r.stderr.startswith(
        f"ERR eeprom_read_head_data: Error writing data file ({out}). Errno: 27, ")
    assert os.path.getsize(out) == 1000


def test_file_shrinking_after_its_size_was_taken(head):
    f = head.root / "in.bin"
    f.write_bytes(os.urandom(500))
    # The stand-in cuts the file when the tool first reads the EEPROM, i.e. between the
    # file's size being taken and its contents being read.
    r = head.run("-d", f, faults={"DEVSIM_SHRINK_FILE": f"100:{f}"})
    assert r.returncode == 34
    assert r.stderr == f"ERR write_head_data: Could not read file ({f}): 100 of 500 bytes\n"
    assert head.transfers(dev="eeprom", kind="write") == []
    assert head.image() == b"\xff" * 65536


def test_empty_file_writes_a_header_with_size_zero(head):
    f = head.root / "empty.bin"
    f.write_bytes(b"")
    out = head.root / "out.bin"
    r = head.run("-d", f, "-w", "-o", out)
    assert r.returncode == 0, r.stderr
    assert head.image()[16:32] == ufm_header(size=0)
    assert out.read_bytes() == b""


def test_eeprom_contents_persist_between_runs(head):
    assert head.run("-I", "0x1234", "-v", "0x5678").returncode == 0
    r = head.run("-p")
    assert "Head_id = 0x1234\nHead_version = 0x5678\n" in r.stdout


def test_failed_erase_does_not_stop_the_run_but_fails_it(head):
    head.set_image(bytes(65536))
    r = head.run("-e", "-I", "0x3", "-v", "0x4", "-p", faults={"DEVSIM_FAIL_EEPROM_WRITE": 3})
    assert r.returncode == 16
    assert "ERR main: Erasing EEPROM failed (16)\n" in r.stderr
    # The later operations ran; the status still reports the erase.
    assert r.stdout.endswith("Head_id = 0x0003\nHead_version = 0x0004\nUnsuccesful\n")
    img = head.image()
    assert img[0:16] == bytes([4, 0, 3, 0]) + bytes(12)
    assert img[16:32] == b"\xff" * 16  # erased before the failure
    assert img[32:] == bytes(65536 - 32)  # never reached
