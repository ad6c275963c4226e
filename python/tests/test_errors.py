"""Failures: the library's, with code and text, and the application's
callback's, which never reach the library."""

import json
import os
import subprocess
import sys
import threading

import pytest

import varnel
from conftest import PYTHON_DIR, REFUSING_ADDRESS


def test_a_refused_connect_raises_connection_failed_with_the_cause():
    b = varnel.Board(REFUSING_ADDRESS, tcp_timeout=2)
    try:
        with pytest.raises(varnel.ConnectionFailed) as caught:
            b.connect()
        failed = caught.value
        assert isinstance(failed, varnel.Error)
        assert failed.code == 1
        assert failed.message.startswith("start: ") and len(failed.message) > len("start: ")
        assert failed.message in str(failed)

        # The cause stays recorded, as the communication error it was.
        assert b.state == varnel.ConnectionState.ERROR
        assert not b.is_connected
        recorded = b.error
        assert isinstance(recorded, varnel.CommunicationError)
        assert (recorded.code, recorded.message) == (2, failed.message)
        with pytest.raises(varnel.CommunicationError):
            b.check()
        with pytest.raises(varnel.CommunicationError):
            b.disconnect()
    finally:
        b.close()


def test_a_refused_connect_leaves_the_with_block_unentered():
    entered = False
    with pytest.raises(varnel.ConnectionFailed):
        with varnel.Board(REFUSING_ADDRESS, tcp_timeout=2):
            entered = True
    assert not entered


def test_a_name_instead_of_an_address_is_a_general_error():
    b = varnel.Board("board.local", tcp_timeout=1)
    try:
        with pytest.raises(varnel.GeneralError) as caught:
            b.connect()
        assert caught.value.code == 3 and caught.value.message
    finally:
        b.close()


def test_a_callback_exception_is_raised_by_the_next_call_and_streaming_goes_on(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--rate", 500)
    calls = []
    first_raised = threading.Event()
    later_call = threading.Event()

    def on_packages(packages):
        calls.append(len(packages))
        if len(calls) == 1:
            first_raised.set()
            raise ValueError("the application's mistake")
        later_call.set()

    with varnel.Board(board.address, package_counter=2, wait_ms=50, callback=on_packages) as b:
        assert first_raised.wait(timeout=10)
        assert later_call.wait(timeout=10)  # the library went on calling
        with pytest.raises(varnel.CallbackError) as caught:
            b.state
        assert isinstance(caught.value.exception, ValueError)
        assert caught.value.__cause__ is caught.value.exception
        assert caught.value.count == 1
        # Reported once; the connection is fine.
        assert b.is_connected and b.error is None


def test_a_callback_exception_is_raised_when_the_with_block_ends(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--rate", 500)
    raised = threading.Event()

    def on_packages(packages):
        if packages:
            raised.set()
            raise KeyError("every time")

    with pytest.raises(varnel.CallbackError) as caught:
        with varnel.Board(board.address, package_counter=1, callback=on_packages):
            assert raised.wait(timeout=10)
    assert isinstance(caught.value.exception, KeyError)
    assert caught.value.count >= 1


def test_a_callback_exception_does_not_replace_the_with_blocks_own(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--rate", 500)
    raised = threading.Event()

    def on_packages(packages):
        raised.set()
        raise KeyError("in the callback")

    with pytest.raises(ZeroDivisionError):
        with varnel.Board(board.address, package_counter=1, wait_ms=20, callback=on_packages):
            assert raised.wait(timeout=10)
            1 / 0


# Runs in a process of its own: the library checks the board's version
# only until a board has passed the check once in a process.
OLD_BOARD_CLIENT = r"""
import json, sys, time
import varnel

b = varnel.Board(sys.argv[1], package_counter=1, tcp_timeout=5)
result = {}
try:
    b.connect()
    result["connect"] = None
except varnel.ConnectionFailed as e:  # the refusal may come before connect returns
    result["connect"] = e.message
deadline = time.monotonic() + 10
while b.state != varnel.ConnectionState.ERROR and time.monotonic() < deadline:
    time.sleep(0.01)
result["state"] = b.state.name
error = b.error
result["error"] = [type(error).__name__, error.code, error.message] if error else None
try:
    for package in b.packages(timeout=5):
        result.setdefault("packages", 0)
        result["packages"] += 1
    result["iterator"] = None
except varnel.Error as e:
    result["iterator"] = [type(e).__name__, e.code]
b.close()
print(json.dumps(result))
"""


def test_a_board_too_old_is_a_version_mismatch(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--old-board", "--rate", 50)
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), PYTHONDONTWRITEBYTECODE="1")
    run = subprocess.run([sys.executable, "-c", OLD_BOARD_CLIENT, board.address], env=env,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert result["state"] == "ERROR"
    kind, code, message = result["error"]
    assert (kind, code) == ("VersionMismatch", 4)
    assert "wrong version" in message
    assert result["connect"] in (None, message)
    assert result["iterator"] == ["VersionMismatch", 4]
    assert "packages" not in result
