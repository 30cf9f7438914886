# The whole-EEPROM operations, each about twenty seconds of real write cycles: erase with
# its terminal progress, Ctrl-C in the middle of one, and a full main partition.
import os
import re
import signal
import subprocess

from conftest import ufm_header


def test_erase_shows_progress_on_a_terminal_and_blanks_everything(head):
    head.set_image(bytes(range(256)) * 256)
    rc, out, err = head.run_on_terminal("-e", "-x", timeout=120)
    # The blank header cannot be dumped.
    assert rc == 21
    assert out == ("Successfully set I2C method in Serializer\n"
                   "raw: " + "ff " * 16 + "\nUnsuccesful\n")
    assert head.image() == b"\xff" * 65536
    assert "\rErasing EEPROM:   0% (1/4096 chunks)" in err
    assert "\rErasing EEPROM:  50% (2048/4096 chunks)" in err
    assert "\rErasing EEPROM: 100% (4096/4096 chunks)\r\n" in err  # the tty adds the \r
    assert "ERR dump_ufm_header: Error (21) parsing UFM header" in err
    writes = head.transfers(dev="eeprom", kind="write")
    assert len(writes) == 4096
    assert [w.addr for w in writes] == [16 * i for i in range(4096)]
    assert all(w.used == 1 and w.len == 16 for w in writes)


def test_ctrl_c_during_erase_exits_130_and_leaves_it_partly_erased(head):
    head.set_image(bytes(65536))
    p = head.spawn("-e", "-p", stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert head.wait_for(lambda: len(head.transfers(dev="eeprom", kind="write")) >= 200)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=30)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    assert p.returncode == 130
    assert out.endswith("Ctrl-C detected, exiting.\n")
    assert "Head_id" not in out  # later operations never ran
    assert "Unsuccesful" not in out
    assert err == ""  # not a terminal: no progress line
    n = len(head.transfers(dev="eeprom", kind="write"))
    assert 200 <= n < 4096
    img = head.image()
    assert img[:16 * n] == b"\xff" * (16 * n)
    assert img[16 * n:] == bytes(65536 - 16 * n)


def test_full_main_partition_round_trip_with_verify(head):
    payload = os.urandom(61408)
    f = head.root / "full.bin"
    f.write_bytes(payload)
    out = head.root / "back.bin"
    rc, stdout, err = head.run_on_terminal("-d", f, "-w", "-o", out)
    assert rc == 0, err
    assert stdout.endswith("Verify header succesfulVerify data succesful")
    # The twenty seconds of writing show as one line redrawn once per percent.
    assert err.startswith("\rWriting EEPROM:   0% (1/3839 chunks)")
    assert err.endswith("\rWriting EEPROM: 100% (3839/3839 chunks)\r\n")
    shown = [int(m) for m in re.findall(r"\rWriting EEPROM: +(\d+)% ", err)]
    assert shown == list(range(101)), shown
    assert out.read_bytes() == payload
    img = head.image()
    assert img[16:32] == ufm_header(size=61408)
    assert img[32:61440] == payload
    assert img[61440:] == b"\xff" * 4096  # tail partition untouched
    writes = head.transfers(dev="eeprom", kind="write")
    assert len(writes) == 3839 and writes[-1].addr == 61424
