"""Shared pieces of the package's tests: the package from this source tree,
the library and the varnel-board program of a build tree, and boards
started as processes on loopback addresses of their own.

VARNEL_LIBRARY names the library, VARNEL_BOARD the varnel-board program and
VARNEL_META_DATA_FIELDS the program that prints the C layout of the meta
data record (tests/c/meta_data_fields.c); without them the 64-bit debug
build tree is used."""

import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
REPOSITORY = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))

_BUILD = REPOSITORY / "build" / "x64-debug"
if not os.environ.get("VARNEL_LIBRARY") and (_BUILD / "src" / "libVarnel_x64d.so").is_file():
    os.environ["VARNEL_LIBRARY"] = str(_BUILD / "src" / "libVarnel_x64d.so")
BOARD_PROGRAM = os.environ.get("VARNEL_BOARD") or str(_BUILD / "tools" / "varnel-board")
FIELDS_PROGRAM = os.environ.get("VARNEL_META_DATA_FIELDS") or str(_BUILD / "tests" / "c" / "meta_data_fields")

# The tests' boards listen on 127.0.7.1 to 127.0.7.38, one address each;
# nothing ever listens on REFUSING_ADDRESS.
_ADDRESSES = ["127.0.7.{}".format(n) for n in range(1, 39)]
_address_lock = threading.Lock()
REFUSING_ADDRESS = "127.0.7.39"


def next_address():
    with _address_lock:
        if not _ADDRESSES:
            raise RuntimeError("the tests use more boards than loopback addresses set aside for them")
        return _ADDRESSES.pop(0)


def wait_until(predicate, timeout, interval=0.005):
    """Polls `predicate` until it is true or `timeout` seconds have passed;
    returns its last result."""
    deadline = time.monotonic() + timeout
    for _ in range(int(timeout / interval) + 2):
        if predicate():
            return True
        if time.monotonic() >= deadline:
            break
        time.sleep(interval)
    return predicate()


class BoardProcess:
    """varnel-board run as a child process, its standard error collected
    line by line on a thread of its own."""

    def __init__(self, address, arguments):
        self.address = address
        self.command = [BOARD_PROGRAM, "--bind", address] + [str(a) for a in arguments]
        self.lines = []
        self._changed = threading.Condition()
        self._ended = False
        self.process = subprocess.Popen(
            self.command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
        )
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        # Ends at the end of the pipe, when the process has ended.
        for line in self.process.stderr:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def wait_line(self, text, count=1, timeout=10.0):
        """Waits until `count` lines contain `text`; False when the time
        passed or the process ended first."""

        def seen():
            return sum(text in line for line in self.lines) >= count

        with self._changed:
            return self._changed.wait_for(lambda: seen() or self._ended, timeout) and seen()

    def output(self):
        with self._changed:
            return "\n".join(self.lines)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        self._reader.join(timeout=10)
        self.process.stderr.close()


@pytest.fixture
def start_board():
    """start_board(*options) starts varnel-board on an address of its own
    (or on `address=`, where an earlier board of the test has ended) and
    returns it once it listens; every board is stopped after the test."""
    if not os.access(BOARD_PROGRAM, os.X_OK):
        pytest.skip("varnel-board not found at {} (set VARNEL_BOARD)".format(BOARD_PROGRAM))
    boards = []

    def start(*options, address=None):
        board = BoardProcess(address or next_address(), list(options))
        boards.append(board)
        if not board.wait_line("listening on", timeout=10):
            raise AssertionError(
                "{} did not start listening:\n{}".format(" ".join(board.command), board.output())
            )
        return board

    yield start
    for board in boards:
        board.stop()


@pytest.fixture
def c_meta_data_fields():
    """The fields of mirt_ostra_meta_data as the C compiler lays them out:
    a list of (name, offset, size) in their order, and the record's size."""
    if not os.access(FIELDS_PROGRAM, os.X_OK):
        pytest.skip("meta_data_fields not found at {} (set VARNEL_META_DATA_FIELDS)".format(FIELDS_PROGRAM))
    printed = subprocess.run([FIELDS_PROGRAM], check=True, capture_output=True, text=True, timeout=30)
    lines = printed.stdout.split("\n")
    rows = [line.split() for line in lines if line]
    assert rows and rows[-1][0] == "sizeof", lines
    return [(name, int(offset), int(size)) for name, offset, size in rows[:-1]], int(rows[-1][1])
