"""Failures: the library's, with code and text, and the application's
callback's, which never reach the library."""

import threading

import pytest

import varnel
from conftest import REFUSING_ADDRESS, wait_until


def test_a_refused_connect_raises_connection_failed_with_the_cause():
    b = varnel.Board(REFUSING_ADDRESS, tcp_timeout=2)
    try:
        with pytest.raises(varnel.ConnectionFailed) as caught:
            b.connect()
        failed = caught.value
        assert isinstance(failed, varnel.Error)
        assert failed.code == 1
        assert failed.cause is varnel.FailureCause.REFUSED
        assert failed.message.startswith("start: ") and len(failed.message) > len("start: ")
        assert str(failed).startswith("{}: connection refused".format(REFUSING_ADDRESS))
        assert failed.message in str(failed)

        # The cause stays recorded, as the communication error it was.
        assert b.state == varnel.ConnectionState.ERROR
        assert not b.is_connected
        recorded = b.error
        assert isinstance(recorded, varnel.CommunicationError)
        assert (recorded.code, recorded.message, recorded.cause) == (2, failed.message, failed.cause)
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


def test_host_names_are_resolved_and_an_unknown_one_is_named():
    b = varnel.Board("localhost", tcp_timeout=1)
    try:
        assert (b.address, b.ip) == ("localhost", "127.0.0.1")
    finally:
        b.close()
    with pytest.raises(varnel.ConnectionFailed) as caught:
        varnel.Board("no-such-board.invalid")
    assert str(caught.value).startswith("no-such-board.invalid: the host name cannot be resolved")
    assert caught.value.code is None
    # The resolver would take these for 87.0.0.1 and 127.0.0.1.
    for old_form in ("0127.0.0.1", "127.1", "0x7f.0.0.1"):
        with pytest.raises(varnel.ConnectionFailed, match="not an IPv4 address"):
            varnel.Board(old_form)
    with pytest.raises(varnel.ConnectionFailed, match="not an address"):
        varnel.Board("127.0.0.1\0x")


def test_a_callback_that_raised_is_not_called_again_until_the_next_connect(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--rate", 500)
    calls = []
    first_raised = threading.Event()
    later_call = threading.Event()

    def on_packages(packages):
        calls.append(len(packages))
        if len(calls) == 1:
            first_raised.set()
            raise ValueError("the application's mistake")
        if packages:
            later_call.set()

    with varnel.Board(board.address, package_counter=2, wait_ms=50, callback=on_packages) as b:
        assert first_raised.wait(timeout=10)
        # Streaming goes on, into `dropped`, without the callback.
        assert wait_until(lambda: b.dropped >= 20, timeout=10)
        assert calls == [calls[0]] and not later_call.is_set()
        with pytest.raises(varnel.CallbackError) as caught:
            b.state
        assert isinstance(caught.value.exception, ValueError)
        assert caught.value.__cause__ is caught.value.exception
        assert caught.value.count == 1
        # Reported once; the connection is fine.
        assert b.is_connected and b.error is None
        b.connect()
        assert later_call.wait(timeout=10)
        # What was dropped is no gap: the board sent every number.
        assert (b.gaps, b.missing) == (0, 0)


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
    assert caught.value.count == 1


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


def test_a_failed_connection_raises_the_exception_of_its_cause(start_board):
    signals = ["--channels", 1, "--samples", 4, "--rate", 50]
    cases = [
        (start_board(*signals, "--old-board"), "VersionMismatch", 4, "BOARD_TOO_OLD",
         "the board's versions are older than the library accepts"),
        (start_board(*signals, "--bad-header", "protocol-version"), "VersionMismatch", 4, "WRONG_PROTOCOL_VERSION",
         "the board speaks another protocol version"),
        (start_board(*signals, "--bad-header", "size-too-small"), "CommunicationError", 2, "MALFORMED_HEADER",
         "the board sent a malformed package"),
    ]
    for board, kind, code, cause, words in cases:
        b = varnel.Board(board.address, package_counter=1, tcp_timeout=5)
        try:
            # The board was reached: connect succeeds, the reading raises.
            b.connect()
            with pytest.raises(varnel.Error) as raised:
                assert list(b.packages(timeout=10)) == []
        finally:
            b.close()
        assert (type(raised.value).__name__, raised.value.code, raised.value.cause.name) == (kind, code, cause)
        assert str(raised.value).startswith("{}: {} (".format(board.address, words)), raised.value
