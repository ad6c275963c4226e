"""The board connection: `Board`, and the library's version. What runs
for a board on the library's I/O thread is in `_delivery`, its
reconnecting thread in `_reconnect`."""

import collections
import ctypes
import functools
import operator
import time
import warnings
import weakref

from ._calls import ConnectionState, add_summary, call, connect_failure, recorded_error
from ._delivery import Delivery
from ._errors import Error, PackagesDropped, PackagesDroppedWarning, Timeout, VersionMismatch, count_packages
from ._hostname import resolve
from ._library import StatisticsStruct, library
from ._packages import Batch
from ._reconnect import Control
from ._statistics import Statistics

_UINT32_MAX = 0xFFFFFFFF

# What a wait for packages can end with besides packages.
_ENDED = object()
_TIMED_OUT = object()

VersionInfo = collections.namedtuple("VersionInfo", "major minor patch")
VersionInfo.__doc__ = "The library's version; compares equal to a tuple such as (1, 1, 0)."


def version():
    """The library's version, (1, 1, 0) for this one."""
    v = library().mirt_get_version_info()
    return VersionInfo(v.major, v.minor, v.patch)


def library_path():
    """The file name of the loaded library (loading it if need be)."""
    return library().path


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
        self.ip = resolve(address)
        where = address if self.ip == address else "{} ({})".format(address, self.ip)
        self._explain = functools.partial(add_summary, where, self.tcp_timeout)
        self._lib = lib = library()
        self._delivery = Delivery(lib, callback, self.maxsize)
        self._control = Control()
        handle = call(lib, lib.mirt_varnel_create, self.ip.encode("utf-8"), self._delivery.cfunction, None)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _release, lib, handle, self._delivery, self._control)
        call(lib, lib.mirt_varnel_set_package_counter, handle, self.package_counter)
        call(lib, lib.mirt_varnel_set_wait_time_ms, handle, self.wait_ms)
        call(lib, lib.mirt_varnel_set_tcp_timeout, handle, self.tcp_timeout)

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
                call(self._lib, self._lib.mirt_varnel_connect, handle)
            except Error as e:
                raise connect_failure(self._lib, handle, self._explain, e) from None
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
                call(self._lib, self._lib.mirt_varnel_disconnect, handle)
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
        return bool(call(self._lib, self._lib.mirt_varnel_is_connected, handle))

    @property
    def error(self):
        """The error recorded on the library's thread as an exception
        object (not raised), or None."""
        handle = self._open_handle()
        self._raise_pending()
        return recorded_error(self._lib, handle, self._explain)

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
        # Another thread may close the board meanwhile: the release waits
        # for the call, and a call after it finds the board closed.
        with self._control.closing:
            if self._control.closed:
                raise ValueError("the board is closed")
            call(self._lib, self._lib.mirt_varnel_get_statistics, self._open_handle(), ctypes.byref(record))
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
