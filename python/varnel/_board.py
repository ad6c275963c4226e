"""The board connection: `Board`, and what runs for it on the library's
I/O thread (`_Delivery`) and on its reconnecting thread."""

import collections
import ctypes
import enum
import functools
import operator
import queue
import socket
import threading
import time
import warnings
import weakref

import numpy as np

from ._errors import (
    ERROR_CONNECTION_FAILED,
    CallbackError,
    ConnectionFailed,
    Error,
    PackagesDropped,
    PackagesDroppedWarning,
    Timeout,
    VersionMismatch,
    describe,
    error_for,
    count_packages,
)
from ._library import CALLBACK, StatisticsStruct, library
from ._packages import META_DTYPE, RECEIVE_TIME_DTYPE, WAVEFORM_TYPE_SLOTS, Batch
from ._statistics import Statistics

PORT = 63751
_UINT32_MAX = 0xFFFFFFFF

# How long a waiting reader, and the reconnecting thread, wait before they
# look at the connection state again.
_STATE_POLL_SECONDS = 0.05

# The reconnecting thread's wait before each attempt: doubled after every
# failure up to the maximum, and back to the first once a connection has
# lasted as long as the maximum.
_BACKOFF_FIRST_SECONDS = 0.1
_BACKOFF_MAX_SECONDS = 5.0

# A chunk's room, in bytes of packages (meta data, waveform types and
# samples); a chunk holds at least one hand-over. Large enough that a read
# seldom spans two chunks, which costs a copy (a batch's arrays are views
# of its chunk, and keep all of it).
_CHUNK_BYTES = 8 << 20

# What a wait for packages can end with besides packages.
_ENDED = object()
_TIMED_OUT = object()


class ConnectionState(enum.IntEnum):
    """The connection state as the library reports it: an int (the C
    interface's value) whose str() and format() give its name."""

    CONNECTED = 0  # connected; no unfinished stream handed over
    RECEIVING = 1  # a stream the board has not finished was handed over
    NOT_CONNECTED = 2  # idle, connecting or disconnected
    ERROR = 3  # an error is recorded: see Board.error

    def __str__(self):
        return self.name

    def __format__(self, spec):
        # A number's format ("{:d}", "{:x}") gives the value; any other
        # ("{}", "{:>14}") the name, as print() does.
        if spec and spec[-1] in "bcdoxXneEfFgG%":
            return int.__format__(self, spec)
        return format(self.name, spec)


VersionInfo = collections.namedtuple("VersionInfo", "major minor patch")
VersionInfo.__doc__ = "The library's version; compares equal to a tuple such as (1, 1, 0)."


def version():
    """The library's version, (1, 1, 0) for this one."""
    v = library().mirt_get_version_info()
    return VersionInfo(v.major, v.minor, v.patch)


def library_path():
    """The file name of the loaded library (loading it if need be)."""
    return library().path


def _call(lib, function, *args):
    """Calls a mirt_* function with an error pointer and raises its
    failure, with the library's text, read right after the call on the same
    thread."""
    error = ctypes.c_int32(0)
    result = function(*args, ctypes.byref(error))
    if error.value != 0:
        raise error_for(error.value, lib.last_error_message(), lib.last_failure_cause())
    return result


def _explain(where, tcp_timeout, error):
    """Gives a library failure its summary: the board and, in words, what
    happened. Returns the error."""
    if error.code is not None and error.summary is None:
        error.summary = "{}: {}".format(where, describe(error.cause, tcp_timeout))
    return error


def _recorded_error(lib, handle, explain):
    """The failure recorded for the parser, explained, or None."""
    try:
        _call(lib, lib.mirt_varnel_get_async_error, handle)
    except Error as e:
        return explain(e)
    return None


def _connect_failure(lib, handle, explain, thrown):
    """The exception for a failed connect, the same for the first connect
    and for reconnects: the library fails a connect only when the board was
    never reached (refused, unreachable, no answer, reset while
    connecting); that is a ConnectionFailed with the recorded text and
    cause. A board that was reached connects, also when it fails at once."""
    recorded = _recorded_error(lib, handle, explain)
    if recorded is None:
        return explain(thrown)
    return ConnectionFailed(recorded.message, ERROR_CONNECTION_FAILED, recorded.summary, recorded.cause)


def _resolve(address):
    """The numeric address for `address`, which may be a host name; IPv4
    before IPv6, since that is what a board usually has."""
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            socket.inet_pton(family, address)
            return address
        except (OSError, ValueError):
            pass
    try:
        found = socket.getaddrinfo(address, PORT, type=socket.SOCK_STREAM)
        cause = "it has no IPv4 or IPv6 address"
    except (OSError, UnicodeError) as e:
        found = []
        cause = getattr(e, "strerror", None) or str(e)
    found = sorted(
        (f for f in found if f[0] in (socket.AF_INET, socket.AF_INET6)), key=lambda f: f[0] != socket.AF_INET
    )
    if not found:
        error = ConnectionFailed(cause, summary="{}: the host name cannot be resolved".format(address))
        error.code = None  # the resolver's failure, not the library's
        raise error
    return found[0][4][0]


class _Run:
    """Packages of one shape that lie one after the other in a chunk: the
    `count` packages from index `start`, their samples from `offset` on."""

    __slots__ = ("chunk", "start", "count", "shape", "offset")

    def __init__(self, chunk, start, count, shape, offset):
        self.chunk = chunk
        self.start = start
        self.count = count
        self.shape = shape
        self.offset = offset

    def follows(self, other):
        """True when this run goes on where `other` ends, in its chunk."""
        per_package = other.shape[0] * other.shape[1]
        return (
            self.chunk is other.chunk
            and self.shape == other.shape
            and self.start == other.start + other.count
            and self.offset == other.offset + other.count * per_package
        )

    def part(self, first, count):
        """The run's packages `first` to `first + count` as a run."""
        channels, size = self.shape
        return _Run(self.chunk, self.start + first, count, self.shape, self.offset + first * channels * size)

    def batch(self):
        chunk, start, stop = self.chunk, self.start, self.start + self.count
        channels, size = self.shape
        samples = chunk.samples[self.offset : self.offset + self.count * channels * size]
        return Batch(
            chunk.meta[start:stop],
            chunk.types[start:stop, :channels],
            samples.reshape(self.count, channels, size),
            chunk.times[start:stop],
        )

    def package(self, index):
        """The run's package `index` as a Package, with its own samples, so
        that a package kept for long keeps no chunk."""
        return self.part(index, 1).batch()[0]


class _Chunk:
    """Arrays that the library's batch copy fills, hand-over after
    hand-over, with packages of one shape. Readers get views of them; a
    place once filled is never written again, so the views stay valid."""

    __slots__ = ("shape", "capacity", "filled", "meta", "times", "types", "samples", "numbers", "addresses")

    def __init__(self, shape, packages):
        channels, size = shape
        per_package = channels * size
        self.shape = shape
        package_bytes = META_DTYPE.itemsize + RECEIVE_TIME_DTYPE.itemsize + 4 * WAVEFORM_TYPE_SLOTS + 4 * per_package
        self.capacity = max(packages, _CHUNK_BYTES // package_bytes)
        self.filled = 0
        self.meta = np.empty(self.capacity, META_DTYPE)
        self.times = np.empty(self.capacity, RECEIVE_TIME_DTYPE)
        self.types = np.empty((self.capacity, WAVEFORM_TYPE_SLOTS), np.uint32)
        self.samples = np.empty(self.capacity * per_package, np.uint32)
        self.numbers = self.meta["headerValue"]
        self.addresses = (
            self.meta.ctypes.data,
            self.times.ctypes.data,
            self.types.ctypes.data,
            self.samples.ctypes.data if per_package else None,
        )


class _Delivery:
    """The side of a board that runs on the library's I/O thread: copies
    the packages out of each stream handed over into chunks, counts the
    gaps in their numbers and gives them to the application's callback or
    to the bounded queue of runs of packages that the readers take from.
    Holds no reference to the Board, so that a Board can be collected while
    its C parser lives.

    The I/O thread never waits for a reader: it passes its runs on through
    a SimpleQueue (whose put never blocks), and each counter is written by
    one side only. A lock the readers held while they wait for the
    interpreter lock would otherwise stall the reading of the board."""

    def __init__(self, lib, callback, maxsize):
        self.lib = lib
        self.callback = callback
        self.maxsize = maxsize
        # Written by the I/O thread:
        self.arrivals = queue.SimpleQueue()  # lists of _Runs; [] only wakes the reader
        self.received = 0  # packages put into the queue
        self.dropped = 0  # packages dropped because the queue was full
        self.gaps = 0  # jumps in headerValue
        self.missing = 0  # numbers left out by forward jumps
        self.error_lock = threading.Lock()
        self.first_error = None  # the first exception of a hand-over ...
        self.error_count = 0  # ... and how many hand-overs raised (both under error_lock)
        # Set by the I/O thread when the callback raised, cleared by the
        # application's next connect(): the callback is not called meanwhile.
        self.callback_failed = False
        # Written by the reader:
        self.queue = collections.deque()  # _Runs taken from `arrivals`, oldest first
        self.taken = 0  # packages of queue[0] already given out
        self.given = 0  # packages given out
        self.reported = 0  # drops reported
        # Only on the I/O thread:
        self.last_number = None
        self.shape = None  # of the last packages taken
        self.chunk = None  # the chunk being filled
        self.error = ctypes.c_int32(0)
        self.channels = ctypes.c_uint32(0)
        self.samples_per_channel = ctypes.c_uint32(0)
        self.references = tuple(map(ctypes.byref, (self.channels, self.samples_per_channel, self.error)))
        # The C function pointer must live as long as the C parser.
        self.cfunction = CALLBACK(self.on_stream)

    def on_stream(self, stream, _user_data):
        # Nothing may propagate into the library: whatever is raised here is
        # recorded and raised by the Board's next call.
        try:
            if self.callback_failed:
                # A callback that raised is not called again; the library
                # destroys the packages it leaves in the stream.
                count = self.lib.mirt_ostra_data_stream_get_size(stream, self.references[2])
                self.check()
                self.dropped += count
                return
            runs = self.take_runs(stream)
            self.count_gaps(runs)
            if self.callback is not None:
                packages = [run.package(index) for run in runs for index in range(run.count)]
                try:
                    self.callback(packages)
                except BaseException:  # noqa: B902 - recorded below
                    self.callback_failed = True
                    raise
            elif runs:
                self.enqueue(runs)
        except BaseException as e:  # noqa: B902 - the C frame must not see it
            with self.error_lock:
                if self.first_error is None:
                    self.first_error = e
                self.error_count += 1
            self.arrivals.put([])

    def check(self):
        if self.error.value != 0:
            raise error_for(self.error.value, self.lib.last_error_message(), self.lib.last_failure_cause())

    def take_runs(self, stream):
        """Empties the stream into the chunks, in one call per run of
        packages of one shape that fits the chunk being filled."""
        pop_batch = self.lib.mirt_ostra_data_stream_pop_batch_timed
        channels_out, size_out, error = self.references
        remaining = self.lib.mirt_ostra_data_stream_get_size(stream, error)
        self.check()
        if remaining and self.shape is None:
            # No room at all: the call only tells the first package's shape.
            pop_batch(stream, 0, None, None, None, None, 0, channels_out, size_out, error)
            self.check()
            self.shape = (self.channels.value, self.samples_per_channel.value)
        runs = []
        # Each call takes packages, or tells the shape that lets the next
        # call take them.
        for _ in range(2 * remaining):
            if not remaining:
                break
            chunk = self.chunk
            if chunk is None or chunk.filled == chunk.capacity:
                chunk = self.chunk = _Chunk(self.shape, remaining)
            start = chunk.filled
            room = min(remaining, chunk.capacity - start)
            per_package = chunk.shape[0] * chunk.shape[1]
            offset = start * per_package
            meta, times, types, samples = chunk.addresses
            taken = pop_batch(
                stream,
                room,
                meta + start * META_DTYPE.itemsize,
                times + start * RECEIVE_TIME_DTYPE.itemsize,
                types + start * 4 * WAVEFORM_TYPE_SLOTS,
                None if samples is None else samples + 4 * offset,
                room * per_package,
                channels_out,
                size_out,
                error,
            )
            self.check()
            shape = (self.channels.value, self.samples_per_channel.value)
            if not taken:
                if shape == (0, 0):
                    break  # the stream is empty
                self.shape, self.chunk = shape, None  # larger packages: a chunk of their own
                continue
            self.shape = shape
            runs.append(_Run(chunk, start, taken, shape, offset))
            # Packages of another shape that still fitted end the chunk's use.
            chunk.filled = start + taken if shape == chunk.shape else chunk.capacity
            remaining -= taken
        return runs

    def count_gaps(self, runs):
        """Counts the jumps in the packages' numbers, and the numbers they
        leave out, continuing from the last package of the previous
        hand-over (also across a reconnect)."""
        gaps = missing = 0
        last = self.last_number
        for run in runs:
            numbers = run.chunk.numbers[run.start : run.start + run.count].tolist()
            first = numbers[0]
            if last is not None and first != last + 1:
                gaps += 1
                missing += max(first - last - 1, 0)
            if numbers != list(range(first, first + len(numbers))):
                for before, after in zip(numbers, numbers[1:]):
                    if after != before + 1:
                        gaps += 1
                        missing += max(after - before - 1, 0)
            last = numbers[-1]
        self.last_number = last
        self.gaps += gaps
        self.missing += missing

    def enqueue(self, runs):
        kept = []
        for run in runs:
            room = self.maxsize - (self.received - self.given)
            if run.count > room:
                self.dropped += run.count - room
                run.count = room
            if run.count:
                kept.append(run)
                self.received += run.count
        self.arrivals.put(kept)

    # The reader's side.

    def collect(self, deadline):
        """Moves the runs that arrived into `queue`; when none are there,
        waits for them up to the poll interval, but not past `deadline`.
        True when packages are queued."""
        if not self.queue:
            wait = _STATE_POLL_SECONDS if deadline is None else min(_STATE_POLL_SECONDS, deadline - time.monotonic())
            if wait > 0:
                try:
                    self.queue.extend(self.arrivals.get(timeout=wait))
                except queue.Empty:
                    pass
        while not self.arrivals.empty():
            self.queue.extend(self.arrivals.get_nowait())
        return bool(self.queue)

    def news(self):
        """True when drops or a hand-over's failure wait to be reported."""
        return self.dropped != self.reported or self.first_error is not None

    def _advance(self, count):
        self.taken += count
        self.given += count
        if self.taken == self.queue[0].count:
            self.queue.popleft()
            self.taken = 0

    def take_one(self):
        """The oldest package, as its run and index in the run."""
        run, index = self.queue[0], self.taken
        self._advance(1)
        return run, index

    def take_run(self, limit):
        """The oldest packages of the oldest one's shape, at most `limit`
        (None: no limit), as a list of runs; runs that lie one after the
        other in a chunk are joined."""
        if limit is None:
            limit = self.received - self.given
        shape = self.queue[0].shape
        parts = []
        count = 0
        while self.queue and count < limit and self.queue[0].shape == shape:
            run, first = self.queue[0], self.taken
            take = min(run.count - first, limit - count)
            part = run.part(first, take)
            if parts and part.follows(parts[-1]):
                last = parts[-1]
                parts[-1] = _Run(last.chunk, last.start, last.count + take, shape, last.offset)
            else:
                parts.append(part)
            self._advance(take)
            count += take
        return parts

    def take_error(self):
        """The recorded hand-over failure as a CallbackError, or None;
        forgets it."""
        with self.error_lock:
            if self.first_error is None:
                return None
            error = CallbackError(self.first_error, self.error_count)
            error.__cause__ = self.first_error
            self.first_error = None
            self.error_count = 0
            return error


class _Control:
    """Keeps the parser's operations to one thread at a time, the
    application's or the reconnecting thread's, and runs that thread."""

    def __init__(self):
        self.lock = threading.Lock()
        self.thread = None
        self.stop = None
        # Orders the start of the reconnecting thread against the release
        # of the parser, which may run on the library's thread (a callback
        # that closes the board) and so cannot take `lock`.
        self.closing = threading.Lock()
        self.closed = False
        # Written by the reconnecting thread only:
        self.reconnects = 0
        self.last_failure = None

    def reconnecting(self):
        return self.thread is not None and self.thread.is_alive()

    def start_reconnecting(self, lib, handle, explain):
        with self.closing:
            # The board was closed meanwhile (by the callback, while the
            # connect was still waiting): its handle is gone.
            if self.closed or self.reconnecting():
                return
            self.stop = threading.Event()
            self.thread = threading.Thread(
                target=_reconnect, args=(lib, handle, self, self.stop, explain), name="varnel-reconnect", daemon=True
            )
            self.thread.start()

    def stop_reconnecting(self):
        """Ends the reconnecting thread, waiting for an attempt in progress
        (at most about the TCP timeout)."""
        thread = self.thread
        if thread is None:
            return
        self.stop.set()
        if thread is not threading.current_thread():
            thread.join()
        self.thread = None


def _reconnect(lib, handle, control, stop, explain):
    """The reconnecting thread: looks at the state every poll interval;
    after a failure it connects again, after a growing wait, until it has a
    connection again or is stopped. A board refused for its version is not
    tried again: its failure stays recorded for the application."""
    delay = _BACKOFF_FIRST_SECONDS
    connected_at = time.monotonic()
    while not stop.wait(_STATE_POLL_SECONDS):
        if lib.mirt_varnel_get_state(handle, None) != ConnectionState.ERROR:
            continue
        if time.monotonic() - connected_at >= _BACKOFF_MAX_SECONDS:
            delay = _BACKOFF_FIRST_SECONDS
        failure = _recorded_error(lib, handle, explain)
        while failure is not None and not isinstance(failure, VersionMismatch):
            control.last_failure = failure
            if stop.wait(delay):
                return
            delay = min(2 * delay, _BACKOFF_MAX_SECONDS)
            with control.lock:
                if stop.is_set():
                    return
                try:
                    _call(lib, lib.mirt_varnel_connect, handle)
                except Error as e:
                    failure = _connect_failure(lib, handle, explain, e)
                else:
                    failure = None
                    control.reconnects += 1
                    connected_at = time.monotonic()
        if failure is not None:
            return


def _release(lib, handle, delivery, control):
    # `delivery` is passed only to keep its C function pointer alive until
    # the parser is gone.
    del delivery
    with control.closing:
        control.closed = True
    control.stop_reconnecting()
    lib.mirt_varnel_delete(handle, None)


def _setting(name, value):
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError("{} must be an integer, not {}".format(name, type(value).__name__)) from None
    if not 1 <= value <= _UINT32_MAX:
        raise ValueError("{} must be 1 to {}, not {}".format(name, _UINT32_MAX, value))
    return value


def _timeout(timeout):
    if timeout is not None and timeout < 0:
        raise ValueError("timeout must not be negative")
    return None if timeout is None else time.monotonic() + timeout


class Board:
    """A connection to one board, read on the library's own I/O thread.

    address: the board's IPv4 or IPv6 address or host name (port 63751). A
        name is resolved here, once (IPv4 first); `ip` is the address used.
        A name that cannot be resolved raises `ConnectionFailed` (code None).
    package_counter: packages per hand-over (a hand-over also comes when
        the board ends a stream, and `wait_ms` after the last one).
    wait_ms: the longest time in milliseconds between two hand-overs.
    tcp_timeout: how long `connect` waits for the board, in seconds.
    callback: a function that gets a list of `Package` objects at every
        hand-over (possibly an empty list when only the wait time passed).
        It is called on the library's I/O thread, not on the thread that
        connected: keep it short (no package is read while it runs), and
        guard whatever it shares with other threads. An exception it raises
        is recorded, and raised as `CallbackError` by the board's next call
        or when the `with` block ends. After it raised, the callback is not
        called again until the next `connect()`: the packages handed over
        meanwhile are dropped and counted in `dropped`. Without a callback
        the packages go to a queue that `read()` and `packages()` read.
    maxsize: the queue's capacity in packages. Packages that arrive while
        it is full are dropped and counted in `dropped`.
    overflow: what `read()` and `packages()` do when packages were dropped:
        "warn" issues a `PackagesDroppedWarning`, "raise" raises
        `PackagesDropped`.
    reconnect: when True, a connection that fails after `connect()` has
        succeeded is replaced by a new one, on a thread of the board's:
        after a wait of 0.1 s, doubled with every failed attempt up to 5 s.
        Readers meanwhile wait (their time-outs apply) and raise nothing;
        `reconnects`, `gaps`, `missing` and `last_failure` tell what
        happened. A board refused for its version is not tried again: its
        `VersionMismatch` is raised as without reconnecting.

    Call a board's methods from one thread at a time. Used as a context
    manager, the board connects on entering and disconnects on leaving.
    Library failures raise `ConnectionFailed`, `CommunicationError`,
    `VersionMismatch` or `GeneralError` (all `Error`) with the library's
    code and message, and a summary that names the board and the cause.
    """

    def __init__(
        self,
        address,
        package_counter=25,
        wait_ms=250,
        tcp_timeout=10,
        callback=None,
        maxsize=1000,
        overflow="warn",
        reconnect=False,
    ):
        if not isinstance(address, str):
            raise TypeError("address must be a str, not {}".format(type(address).__name__))
        if callback is not None and not callable(callback):
            raise TypeError("callback must be callable")
        if overflow not in ("warn", "raise"):
            raise ValueError("overflow must be 'warn' or 'raise', not {!r}".format(overflow))
        self.address = address
        self.package_counter = _setting("package_counter", package_counter)
        self.wait_ms = _setting("wait_ms", wait_ms)
        self.tcp_timeout = _setting("tcp_timeout", tcp_timeout)
        self.maxsize = _setting("maxsize", maxsize)
        self.overflow = overflow
        self.reconnect = bool(reconnect)
        self.ip = _resolve(address)
        where = address if self.ip == address else "{} ({})".format(address, self.ip)
        self._explain = functools.partial(_explain, where, self.tcp_timeout)
        self._lib = lib = library()
        self._delivery = _Delivery(lib, callback, self.maxsize)
        self._control = _Control()
        handle = _call(lib, lib.mirt_varnel_create, self.ip.encode("utf-8"), self._delivery.cfunction, None)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _release, lib, handle, self._delivery, self._control)
        _call(lib, lib.mirt_varnel_set_package_counter, handle, self.package_counter)
        _call(lib, lib.mirt_varnel_set_wait_time_ms, handle, self.wait_ms)
        _call(lib, lib.mirt_varnel_set_tcp_timeout, handle, self.tcp_timeout)

    def __repr__(self):
        return "<varnel.Board {} {}>".format(self.address, "closed" if self.closed else "open")

    # ------------------------------------------------------------ lifecycle

    def __enter__(self):
        self.connect()
        return self

    def __exit__(self, exc_type, exc, tb):
        errors = []
        if not self.closed:
            try:
                self._disconnect()
            except Error as e:
                errors.append(e)
        pending = self._delivery.take_error()
        if pending is not None:
            errors.append(pending)
        if exc_type is None and errors:
            first = errors[0]
            for other in errors[1:]:
                if hasattr(first, "add_note"):
                    first.add_note("also: {}: {}".format(type(other).__name__, other))
            raise first
        return False

    @property
    def closed(self):
        return not self._finalizer.alive

    def close(self):
        """Disconnects and releases the library's parser; the board cannot
        be used afterwards. Called by itself when the board is collected or
        the interpreter exits."""
        self._finalizer()

    def connect(self):
        """Connects to the board; returns once connected. Does nothing
        while a healthy connection exists; a failed one is replaced by a
        new attempt. Raises `ConnectionFailed` when the board could not be
        reached (refused, no answer within `tcp_timeout` s). A board that
        was reached but fails at once (refused for its version, malformed
        first packages, closed after a few packages) still connects: its
        packages come first, then the reads (and `check()`, `disconnect()`)
        raise the cause's exception. The board may be closed by the
        callback before this returns; then nothing follows."""
        handle = self._open_handle()
        self._raise_pending()
        self._delivery.callback_failed = False
        with self._control.lock:
            try:
                _call(self._lib, self._lib.mirt_varnel_connect, handle)
            except Error as e:
                raise _connect_failure(self._lib, handle, self._explain, e) from None
        if self.reconnect:
            self._control.start_reconnecting(self._lib, handle, self._explain)

    def disconnect(self):
        """Closes the connection, then raises the error recorded before or
        during the shutdown, if any (with `reconnect`, only a
        `VersionMismatch`), and then a callback's pending exception."""
        self._disconnect()
        self._raise_pending()

    def _disconnect(self):
        handle = self._open_handle()
        self._control.stop_reconnecting()
        with self._control.lock:
            try:
                _call(self._lib, self._lib.mirt_varnel_disconnect, handle)
            except Error as e:
                error = self._explain(e)
                if not self.reconnect or isinstance(error, VersionMismatch):
                    raise error from None
                self._control.last_failure = error

    # ---------------------------------------------------------------- state

    @property
    def state(self):
        """The `ConnectionState`; ERROR once an error is recorded, which
        `error` and `check()` give."""
        handle = self._open_handle()
        self._raise_pending()
        return ConnectionState(self._lib.mirt_varnel_get_state(handle, None))

    @property
    def is_connected(self):
        handle = self._open_handle()
        self._raise_pending()
        return bool(_call(self._lib, self._lib.mirt_varnel_is_connected, handle))

    @property
    def error(self):
        """The error recorded on the library's thread as an exception
        object (not raised), or None."""
        handle = self._open_handle()
        self._raise_pending()
        return _recorded_error(self._lib, handle, self._explain)

    def check(self):
        """Raises the error recorded on the library's thread, if any."""
        error = self.error
        if error is not None:
            raise error

    @property
    def dropped(self):
        """Packages dropped so far because the queue was full, or because
        the callback had raised."""
        return self._delivery.dropped

    @property
    def gaps(self):
        """Jumps in the received packages' numbers (headerValue), within
        and across connections; `missing` counts the numbers they left
        out."""
        return self._delivery.gaps

    @property
    def missing(self):
        return self._delivery.missing

    @property
    def statistics(self):
        """What the library's parser has done since the board was made, as
        a read-only `Statistics` snapshot (see there); cheap, and taken
        from any thread at any time."""
        record = StatisticsStruct(size=ctypes.sizeof(StatisticsStruct))
        _call(self._lib, self._lib.mirt_varnel_get_statistics, self._open_handle(), ctypes.byref(record))
        return Statistics.from_record(record)

    @property
    def reconnects(self):
        """Connections made again after a failure (with `reconnect`)."""
        return self._control.reconnects

    @property
    def last_failure(self):
        """The last failure the board reconnected after (or was to), as an
        exception object, or None."""
        return self._control.last_failure

    # ------------------------------------------------------------- packages

    def read(self, max_packages=None, timeout=None):
        """The queued packages as one `Batch`, oldest first: at most
        `max_packages` (None: all), and only the leading ones of one shape;
        the packages of another shape come with the next call.

        Waits up to `timeout` seconds (None: without limit) for the first
        package; with 0 it gives what is queued now. Returns an empty batch
        when none came in time, and at once when the board is disconnected
        and everything queued was read. When the connection has failed, the
        packages queued before are given first, then the failure is raised.
        Dropped packages are reported as `overflow` says."""
        limit = None if max_packages is None else _setting("max_packages", max_packages)
        self._packages_to_read()
        delivery = self._delivery
        got = self._wait(_timeout(timeout), lambda: delivery.take_run(limit))
        if got is _ENDED or got is _TIMED_OUT:
            return Batch.empty()
        return Batch.join([part.batch() for part in got])

    def packages(self, timeout=None):
        """Iterates over the received packages in order, as `Package`
        objects (made from the same queue as `read()`).

        `timeout`: seconds to wait for each next package; when none came in
        that time, `Timeout` is raised (the iteration can be started again).
        The iteration ends when the board is disconnected and everything
        queued was given. When the connection fails, the packages queued
        before are given first, then the recorded error is raised. Dropped
        packages are reported as `overflow` says."""
        self._packages_to_read()
        _timeout(timeout)
        return self._iterate(timeout)

    def _packages_to_read(self):
        if self._delivery.callback is not None:
            raise RuntimeError("this board hands its packages to its callback; there are none to read")
        self._open_handle()

    def _iterate(self, timeout):
        while True:
            got = self._wait(_timeout(timeout), self._delivery.take_one)
            if got is _ENDED:
                return
            if got is _TIMED_OUT:
                raise Timeout("{}: no package within {} s".format(self.address, timeout))
            run, index = got
            yield run.package(index)

    def _wait(self, deadline, take):
        """`take()`'s result as soon as packages are queued; _TIMED_OUT
        once `deadline` has passed, _ENDED
        when no more will come. Raises pending callback errors, reports
        drops and raises the connection's failure."""
        delivery = self._delivery
        while True:
            self._raise_pending()
            self._report_drops()
            if delivery.collect(deadline):
                return take()
            if delivery.news():
                continue  # reported at the top
            if self._ended():
                return _ENDED
            if deadline is not None and time.monotonic() >= deadline:
                return _TIMED_OUT

    def _ended(self):
        """True when no more packages will come: the board is disconnected
        and its queue is empty. Raises a recorded failure once the queue is
        empty, unless the board is reconnecting."""
        if self._control.reconnecting():
            return False
        state = self._lib.mirt_varnel_get_state(self._open_handle(), None)
        if state not in (ConnectionState.ERROR, ConnectionState.NOT_CONNECTED):
            return False
        # The library hands the last packages over before it records a
        # failure or finishes a disconnect, so they have arrived by now.
        if self._delivery.collect(time.monotonic()):
            return False
        if state == ConnectionState.ERROR:
            self.check()
        return True

    def _report_drops(self):
        delivery = self._delivery
        total = delivery.dropped
        dropped, delivery.reported = total - delivery.reported, total
        if not dropped:
            return
        if self.overflow == "raise":
            raise PackagesDropped(dropped, total)
        warnings.warn(
            PackagesDroppedWarning(
                "{} dropped because the queue of {} was full ({} in all)".format(
                    count_packages(dropped), self.maxsize, total)
            ),
            stacklevel=4,
        )

    # -------------------------------------------------------------- helpers

    def _open_handle(self):
        if not self._finalizer.alive:
            raise ValueError("the board is closed")
        return self._handle

    def _raise_pending(self):
        error = self._delivery.take_error()
        if error is not None:
            raise error
