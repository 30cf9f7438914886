# Fixtures for running the real promwright against the device stand-in: a fresh camera root,
# an EEPROM image file and a transfer log per test.
import os
import pty
import re
import subprocess
import time
from pathlib import Path

import pytest

BUILD = Path(os.environ["ZENT_BUILD_DIR"])
PROMWRIGHT = BUILD / "prog" / "promwright"
DEVSIM = BUILD / "sim" / "devsim" / "libdevsim.so"
EEPROM_SIZE = 65536

LOG_RE = re.compile(
    r"^(?P<kind>read|write) (?P<dev>\w+) inst=(?P<inst>\d+) addr=0x(?P<addr>[0-9a-f]+) "
    r"len=(?P<len>\d+) tries=(?P<tries>\d+) used=(?P<used>\d+) (?P<result>\w+)"
    r"(?: data=(?P<data>[0-9a-f]*))?$")


def preload():
    san = os.environ.get("ZENT_SANITIZER_PRELOAD")
    return f"{san}:{DEVSIM}" if san else str(DEVSIM)


class Transfer:
    def __init__(self, m):
        self.kind = m["kind"]
        self.dev = m["dev"]
        self.inst = int(m["inst"])
        self.addr = int(m["addr"], 16)
        self.len = int(m["len"])
        self.tries = int(m["tries"])
        self.used = int(m["used"])
        self.result = m["result"]
        self.data = bytes.fromhex(m["data"] or "")

    def __repr__(self):
        return f"{self.kind} {self.dev} @{self.addr:#x} len={self.len} {self.result}"


class Head:
    """One simulated camera with its head; runs promwright against it."""

    def __init__(self, root: Path):
        self.root = root
        self.eeprom_path = root / "eeprom.bin"
        self.log_path = root / "transfers.log"
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("DEVSIM_")}
        self.env.update({
            "ZENT_ROOT": str(root),
            "DEVSIM_EEPROM": str(self.eeprom_path),
            "DEVSIM_LOG": str(self.log_path),
            "LD_PRELOAD": preload(),
        })

    def env_for(self, faults):
        env = dict(self.env)
        env.update({k: str(v) for k, v in (faults or {}).items()})
        return env

    def run(self, *args, faults=None, timeout=120, **kw):
        if self.log_path.exists():
            self.log_path.unlink()
        return subprocess.run([str(PROMWRIGHT), *map(str, args)], env=self.env_for(faults),
                              capture_output=True, text=True, timeout=timeout, cwd=self.root,
                              **kw)

    def spawn(self, *args, faults=None, **kw):
        if self.log_path.exists():
            self.log_path.unlink()
        return subprocess.Popen([str(PROMWRIGHT), *map(str, args)], env=self.env_for(faults),
                                cwd=self.root, **kw)

    def run_on_terminal(self, *args, faults=None, timeout=300):
        """Runs with standard error on a pseudo-terminal, as an operator sees it; returns
        (exit status, stdout text, what the terminal received on stderr)."""
        master, slave = pty.openpty()
        chunks = []
        try:
            p = self.spawn(*args, faults=faults, stdout=subprocess.PIPE, stderr=slave,
                           text=True)
            os.close(slave)
            slave = -1
            out, _ = p.communicate(timeout=timeout)
            while True:
                try:
                    b = os.read(master, 65536)
                except OSError:  # EIO once the last writer is gone
                    break
                if not b:
                    break
                chunks.append(b)
        finally:
            if slave >= 0:
                os.close(slave)
            os.close(master)
        return p.returncode, out, b"".join(chunks).decode()

    # The image file as the stand-in keeps it (created erased when absent).
    def image(self) -> bytes:
        if not self.eeprom_path.exists():
            return b"\xff" * EEPROM_SIZE
        data = self.eeprom_path.read_bytes()
        assert len(data) == EEPROM_SIZE
        return data

    def set_image(self, data: bytes):
        assert len(data) == EEPROM_SIZE
        self.eeprom_path.write_bytes(data)

    def poke(self, addr: int, data: bytes):
        img = bytearray(self.image())
        img[addr:addr + len(data)] = data
        self.set_image(bytes(img))

    def log_lines(self):
        if not self.log_path.exists():
            return []
        return self.log_path.read_text().splitlines()

    def transfers(self, dev=None, kind=None):
        out = []
        for line in self.log_lines():
            m = LOG_RE.match(line)
            if m and (dev is None or m["dev"] == dev) and (kind is None or m["kind"] == kind):
                out.append(Transfer(m))
        return out

    def wait_for(self, predicate, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.01)
        return False


@pytest.fixture
def head(tmp_path):
    return Head(tmp_path)


def ufm_header(size=0, unit_id=b"\0" * 10, crop=0, compr=0, field=0, version=1):
    return bytes([version, compr, size & 0xff, size >> 8]) + unit_id + bytes([crop & 0xff, field])
