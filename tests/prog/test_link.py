# The link layer as the head sees it: device and link failures, the serializer set-up's
# register values and order, and each set-up step failing.
import errno
import os

import pytest

OK_LINE = "Successfully set I2C method in Serializer\n"

# The driver's timeout as the tool reports it: the system's own text and number (110 on
# x86-64, 145 on the camera's MIPS).
TIMEOUT_TEXT = f"{os.strerror(errno.ETIMEDOUT)} ({errno.ETIMEDOUT})"


def reg_writes(head, dev="ser"):
    return [(t.addr, t.data[0]) for t in head.transfers(dev=dev, kind="write")]


def test_missing_device(head):
    r = head.run("-p", faults={"DEVSIM_MISSING": 1})
    assert r.returncode == 15
    assert r.stdout == "Unsuccesful\n"  # "Failed to open" is progress output, not shown
    # Which device, and why, then the set-up failure.
    assert r.stderr == ("ERR link_setup: Failed to open /dev/external_device: "
                        "No such file or directory (2)\n"
                        "ERR main: Failed (15) to setup FPGA, aborting\n")
    assert head.transfers() == []


@pytest.mark.parametrize("faults", [{"DEVSIM_LINK_DOWN": "0"}, {"DEVSIM_DES_STATUS": "0x7f"}])
def test_link_down_stops_before_the_serializer(head, faults):
    r = head.run("-p", faults=faults)
    assert r.returncode == 13
    assert r.stderr == "ERR check_link_status: No link, check that the link is connected\n"
    assert r.stdout == "Unsuccesful\n"
    assert [(t.dev, t.addr, t.tries) for t in head.transfers()] == [("des", 4, 2)]


def test_link_down_elsewhere_does_not_matter(head):
    r = head.run("-i", "1", "-p", faults={"DEVSIM_LINK_DOWN": "0,2,3"})
    assert r.returncode == 0, r.stderr


def test_link_status_read_failure(head):
    r = head.run("-p", faults={"DEVSIM_FAIL_READ": "des:4"})
    assert r.returncode == 17
    assert r.stderr == ("ERR link_read_full: link_read error: Input/output error (5)\n"
                        "ERR check_link_status: (17) reading link status\n")


def test_setup_sequence_and_register_values(head):
    r = head.run("-p", faults={"DEVSIM_SER_REGS": "0x05=0x12,0x04=0xff,0x0f=0xff,0x02=0x00"})
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(OK_LINE)
    seq = [line.split(" data=")[0] for line in head.log_lines()]
    assert seq[:13] == [
        "open /dev/external_device ok",
        "read des inst=0 addr=0x0004 len=1 tries=2 used=1 ok",
        "read ser inst=0 addr=0x0005 len=1 tries=2 used=1 ok",
        "write ser inst=0 addr=0x0005 len=1 tries=11 used=1 ok",
        "read ser inst=0 addr=0x0004 len=1 tries=2 used=1 ok",
        "write ser inst=0 addr=0x0004 len=1 tries=11 used=1 ok",
        "ctrl_read inst=0 intp=1 ok",
        "ctrl_write inst=0 intp=0 ok",
        "ctrl_write inst=0 intp=1 ok",
        "read ser inst=0 addr=0x000f len=1 tries=2 used=1 ok",
        "write ser inst=0 addr=0x000f len=1 tries=11 used=1 ok",
        "read ser inst=0 addr=0x0002 len=1 tries=2 used=1 ok",
        "write ser inst=0 addr=0x0002 len=1 tries=11 used=1 ok",
    ]
    # Only the named bits change.
    assert reg_writes(head) == [(0x05, 0x92), (0x04, 0xf3), (0x0f, 0xfd), (0x02, 0x20)]


def test_i2c_method_read_failure_still_sets_the_bit(head):
    r = head.run("-p", faults={"DEVSIM_FAIL_READ": "ser:5"})
    assert r.returncode == 0
    assert "ERR setup_ser_i2c_method: (17) reading i2c method from serializer\n" in r.stderr
    assert r.stdout.startswith(OK_LINE)
    assert reg_writes(head)[0] == (0x05, 0x80)


def test_i2c_method_write_failure_is_reported_and_the_run_goes_on(head):
    r = head.run("-p", faults={"DEVSIM_FAIL_WRITE": "ser:5"})
    assert r.returncode == 0
    assert r.stderr == (f"ERR link_write_full: error (TIMEOUT): {TIMEOUT_TEXT}\n"
                        "ERR setup_ser_i2c_method: (16) when setting i2c method in serializer\n")
    assert OK_LINE not in r.stdout
    assert "Head_id = 0x" in r.stdout
    w = head.transfers(dev="ser", kind="write")[0]
    assert (w.addr, w.tries, w.used, w.result) == (5, 11, 11, "ETIMEDOUT")


@pytest.mark.parametrize("faults, code, message", [
    ({"DEVSIM_FAIL_READ": "ser:4"}, 17, "ERR setup_ser9271: Failed to read INTTYPE on ser, err = 17\n\n"),
    ({"DEVSIM_FAIL_WRITE": "ser:4"}, 16, "ERR setup_ser9271: Failed to write INTTYPE in ser to 0, err = 16\n\n"),
    ({"DEVSIM_FAIL_CTRL": "read"}, 17, "ERR setup_ser9271: Failed to read INT pin value: Input/output error (5)\n\n"),
    ({"DEVSIM_FAIL_CTRL": "intp0"}, 16, "ERR setup_ser9271: Failed to write INT pin to 0: Input/output error (5)\n\n"),
    ({"DEVSIM_FAIL_CTRL": "intp1"}, 16, "ERR setup_ser9271: Failed to write INT pin to 1: Input/output error (5)\n\n"),
    ({"DEVSIM_FAIL_READ": "ser:15"}, 17, "ERR setup_ser9271: Failed to read in GPIO1 on ser, err = 17\n\n"),
    ({"DEVSIM_FAIL_WRITE": "ser:15"}, 16, "ERR setup_ser9271: Failed to write GPIO1 in ser to 0, err = 16\n\n"),
    ({"DEVSIM_FAIL_READ": "ser:2"}, 17, "ERR setup_ser9271: Failed to read spread spectrum on ser, err = 17\n"),
    ({"DEVSIM_FAIL_WRITE": "ser:2"}, 16, "ERR setup_ser9271: Failed to write spread spectrum in ser to 0, err = 16\n"),
])
def test_serializer_setup_step_failures(head, faults, code, message):
    r = head.run("-p", faults=faults)
    assert r.returncode == code
    assert r.stderr.endswith(message + f"ERR main: Failed ({code}) to setup serializer, aborting\n")
    assert r.stdout == OK_LINE + "Unsuccesful\n"
    # Nothing reached the EEPROM after a failed set-up.
    assert head.transfers(dev="eeprom") == []


def test_each_run_reports_a_failing_transfer_once(head):
    r = head.run("-p", faults={"DEVSIM_FAIL_READ": "eeprom"})
    assert r.returncode == 17
    assert r.stderr == ("ERR link_read_full: link_read error: Input/output error (5)\n"
                        "ERR eeprom_read: Failed to read eeprom chunk = 0, 17\n"
                        "ERR eeprom_print_head_id: Failed to read head_id\n\n")
    assert len(head.transfers(dev="eeprom")) == 1
