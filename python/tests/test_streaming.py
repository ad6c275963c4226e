"""Receiving from varnel-board in both styles: samples, meta data, the
bounded queue and the board's lifecycle."""

import dataclasses
import gc
import threading
import time
import warnings
import weakref

import numpy as np
import pytest

import varnel
from conftest import wait_until

SAMPLES = 16
# Channel 0 counts samples, channel 1 is a square wave of amplitude 1000,
# channel 2 a ramp of amplitude 500.
SIGNALS = ["--channels", 3, "--samples", SAMPLES, "--signal", "0=counter", "--signal", "1=square:1000",
           "--signal", "2=ramp:500"]


def check_samples(package):
    """The samples the board's options imply: the counter runs on from
    package to package, the square and the ramp stay within their
    amplitude (as signed values)."""
    samples = package.samples
    assert samples.dtype == np.uint32 and samples.shape == (3, SAMPLES) and samples.flags.c_contiguous
    first = package.header_value * SAMPLES
    expected = (first + np.arange(SAMPLES, dtype=np.uint64)) % 2**32
    np.testing.assert_array_equal(samples[0], expected.astype(np.uint32))
    assert set(samples[1].tolist()) <= {1000, 2**32 - 1000}
    signed = samples[2].view(np.int32)
    assert signed.min() >= -500 and signed.max() <= 500


def connect_to_a_short_board(b):
    """Connects to a board that sends a few packages at once and closes:
    the board may be done before the connect returns, yet the connection
    was established, so the connect succeeds and the end of the
    connection is raised by the reads that follow."""
    b.connect()


def take(iterator, count, timeout=10.0):
    """The first `count` items, within `timeout` seconds in all."""
    got = []
    deadline = time.monotonic() + timeout
    for item in iterator:
        got.append(item)
        if len(got) == count or time.monotonic() > deadline:
            break
    return got


def test_iterator_gives_the_boards_samples_and_meta_data(start_board):
    board = start_board(*SIGNALS, "--waveform-type", "0=7", "--first-number", 1000, "--status-word", "0x40000000",
                        "--dsp-version", 3700, "--firmware-version", "0x130", "--bios-version", "0x41",
                        "--rate", 500)
    with varnel.Board(board.address, package_counter=4, wait_ms=50, tcp_timeout=5) as b:
        assert b.is_connected
        packages = take(b.packages(timeout=5), 30)
    assert [p.header_value for p in packages] == list(range(1000, 1030))
    for p in packages:
        check_samples(p)
        assert p.waveform_types == (7, 2, 3)
        assert p.channel_count == 3 and p.size == SAMPLES
        meta = p.meta
        assert meta.statusWord == 0x40000000
        assert meta.headerValue == p.header_value
        assert (meta.dspVersion, meta.firmwareVersion, meta.biosVersion) == (3700, 0x130, 0x41)
        others = meta._replace(statusWord=0, headerValue=0, dspVersion=0, firmwareVersion=0, biosVersion=0)
        assert all(value == 0 for value in others)
        assert isinstance(meta.real72, float) and isinstance(meta.word108, int)


def test_callback_gets_lists_of_packages_on_the_librarys_thread(start_board):
    board = start_board(*SIGNALS, "--rate", 1000)
    lock = threading.Lock()
    batches = []
    threads = set()
    enough = threading.Event()

    def on_packages(packages):
        with lock:
            batches.append(packages)
            threads.add(threading.get_ident())
            if sum(len(b) for b in batches) >= 40:
                enough.set()

    with varnel.Board(board.address, package_counter=5, wait_ms=100, callback=on_packages) as b:
        assert enough.wait(timeout=10)
        with pytest.raises(RuntimeError):
            b.packages()
    with lock:
        received = [p for batch in batches for p in batch]
        sizes = [len(batch) for batch in batches]
    assert all(isinstance(batch, list) for batch in batches)
    assert max(sizes) <= 5
    assert [p.header_value for p in received] == list(range(1, len(received) + 1))
    for p in received:
        check_samples(p)
    assert threading.get_ident() not in threads


def test_a_full_queue_drops_the_newest_and_reports_every_drop(start_board):
    # 300 packages as fast as they are read, one per hand-over, then the
    # board closes the connection; nothing is read until then.
    board = start_board("--channels", 1, "--samples", 4, "--fast", "--count", 300)
    b = varnel.Board(board.address, package_counter=1, maxsize=10)
    try:
        connect_to_a_short_board(b)
        assert wait_until(lambda: b.state == varnel.ConnectionState.ERROR, timeout=20)
        assert b.dropped == 290
        with pytest.warns(varnel.PackagesDroppedWarning, match="290 packages dropped"):
            received = []
            with pytest.raises(varnel.CommunicationError) as closed:
                for p in b.packages(timeout=5):
                    received.append(p.header_value)
        assert received == list(range(1, 11))
        assert closed.value.message.startswith("readHeader: ")
        assert closed.value.cause is varnel.FailureCause.CLOSED_BETWEEN_PACKAGES
        assert b.dropped == 290
        # Reported once only.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(varnel.CommunicationError):
                list(b.packages(timeout=1))
    finally:
        b.close()


def test_drops_can_raise_instead(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--fast", "--count", 50)
    b = varnel.Board(board.address, package_counter=1, maxsize=20, overflow="raise")
    connect_to_a_short_board(b)
    try:
        assert wait_until(lambda: b.state == varnel.ConnectionState.ERROR, timeout=20)
        with pytest.raises(varnel.PackagesDropped) as caught:
            next(b.packages(timeout=5))
        assert (caught.value.dropped, caught.value.total, b.dropped) == (30, 30, 30)
        assert isinstance(caught.value, varnel.Error)
        # What the queue holds is still there.
        received = []
        with pytest.raises(varnel.CommunicationError):  # the board closed the connection
            for p in b.packages(timeout=5):
                received.append(p.header_value)
        assert received == list(range(1, 21))
    finally:
        b.close()


def test_a_time_out_is_told_apart_from_the_end(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--fast", "--stall-after", 3, "--stall-ms", 8000)
    b = varnel.Board(board.address, package_counter=1, wait_ms=50)
    try:
        b.connect()
        received = []
        started = time.monotonic()
        with pytest.raises(varnel.Timeout):
            for p in b.packages(timeout=1.0):
                received.append(p.header_value)
        assert received == [1, 2, 3]
        assert 1.0 <= time.monotonic() - started < 7
        assert len(b.read(timeout=0)) == 0  # nothing queued now
        assert b.is_connected and b.error is None
        # After a disconnect both end at once instead of waiting.
        b.disconnect()
        started = time.monotonic()
        assert list(b.packages(timeout=30)) == []
        assert len(b.read(timeout=30)) == 0
        assert time.monotonic() - started < 10
    finally:
        b.close()


def test_read_gives_runs_of_one_shape_in_order_across_a_reconnect(start_board):
    # The first board sends 20 packages and closes the connection; the
    # second, on the same address, numbers its packages on from 31 in
    # another shape. Nothing is read until the reconnect.
    first = start_board("--channels", 1, "--samples", 4, "--rate", 100, "--count", 20)
    b = varnel.Board(first.address, package_counter=5, wait_ms=50, reconnect=True)
    try:
        b.connect()
        assert first.wait_line("disconnected", timeout=20)
        assert wait_until(lambda: b.last_failure is not None, timeout=10)
        assert str(b.last_failure).startswith("{}: the board closed the connection".format(first.address))
        # Nothing listens now: the reconnects are refused, as a first
        # connect would be.
        assert wait_until(lambda: isinstance(b.last_failure, varnel.ConnectionFailed), timeout=10)
        assert b.last_failure.code == 1
        assert str(b.last_failure).startswith("{}: connection refused".format(first.address))
        second = start_board("--channels", 2, "--samples", 8, "--rate", 200, "--first-number", 31,
                             address=first.address)
        assert wait_until(lambda: b.reconnects == 1, timeout=20)

        head = b.read(7, timeout=10)
        assert list(head.header_values) == list(range(1, 8))
        eighth = next(b.packages(timeout=10))
        assert eighth.header_value == 8
        # Sent 10 ms apart: the receive times grow (two packages that one
        # read took share one), on both clocks.
        steady = head.receive_time["steadyTimeNs"]
        assert head.receive_time.dtype == varnel.RECEIVE_TIME_DTYPE
        assert (np.diff(steady) >= 0).all() and steady[-1] > steady[0]
        assert eighth.receive_time.steadyTimeNs >= steady[-1]
        assert abs(int(head.receive_time["systemTimeNs"][0]) - time.time_ns()) < 60 * 10**9
        assert head[3].receive_time == varnel.ReceiveTime(*head.receive_time[3].tolist())
        rest = b.read(1000, timeout=10)  # stops where the shape changes
        assert list(rest.header_values) == list(range(9, 21))
        assert rest.samples.shape == (12, 1, 4) and rest.waveform_types.shape == (12, 1)
        after = b.read(1000, timeout=10)
        assert after.samples.shape[1:] == (2, 8) and after.header_values[0] == 31
        assert list(after.header_values) == list(range(31, 31 + len(after)))
        assert after.meta["dspVersion"].tolist() == [3646] * len(after)
        assert (b.gaps, b.missing, b.reconnects) == (1, 10, 1)
        b.disconnect()  # the failures were handled: nothing raised
        assert second.wait_line("disconnected")
        # The library's figures go on across the reconnect: 20 packages of
        # 144 bytes, then those of 192 bytes. Failures: the close, and any
        # attempt refused before the second board listened.
        figures = b.statistics
        assert (figures.connections, figures.packages_not_popped) == (2, 0) and figures.failures >= 1
        assert figures.packages >= 20 + len(after)
        assert figures.bytes == 20 * 144 + (figures.packages - 20) * 192
        assert figures.connected_time == (0, 0)
        with pytest.raises(dataclasses.FrozenInstanceError):
            figures.packages = 0
    finally:
        b.close()


def test_context_manager_connects_disconnects_and_can_connect_again(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--rate", 50)
    b = varnel.Board(board.address, tcp_timeout=5)
    assert b.state == varnel.ConnectionState.NOT_CONNECTED and not b.is_connected
    assert (b.state, str(b.state), "{}".format(b.state)) == (2, "NOT_CONNECTED", "NOT_CONNECTED")
    with b:
        assert b.state in (varnel.ConnectionState.CONNECTED, varnel.ConnectionState.RECEIVING)
        assert b.is_connected and b.error is None
    assert b.state == varnel.ConnectionState.NOT_CONNECTED and not b.is_connected
    assert board.wait_line("disconnected", count=1)
    with b:
        assert b.is_connected
    assert board.wait_line("disconnected", count=2)
    b.close()
    b.close()
    assert b.closed
    with pytest.raises(ValueError):
        b.state


def test_a_board_that_is_no_longer_referenced_disconnects(start_board):
    board = start_board("--channels", 1, "--samples", 4, "--rate", 50)
    b = varnel.Board(board.address, tcp_timeout=5)
    b.connect()
    assert board.wait_line("connected from")
    ref = weakref.ref(b)
    del b
    gc.collect()
    assert ref() is None
    assert board.wait_line("disconnected")
