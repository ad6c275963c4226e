"""The board connection: `Board`, `Package` and their helpers."""

import collections
import ctypes
import dataclasses
import enum
import operator
import threading
import time
import warnings
import weakref

import numpy as np

from ._errors import CallbackError, Error, GeneralError, PackagesDropped, PackagesDroppedWarning, error_for
from ._library import CALLBACK, META_FIELDS, library

_UINT32_MAX = 0xFFFFFFFF
_SAMPLE_POINTER = ctypes.POINTER(ctypes.c_uint32)

# How long the package iterator waits for the queue before it looks at the
# connection state again.
_STATE_POLL_SECONDS = 0.05


class ConnectionState(enum.IntEnum):
    """The connection state as the library reports it."""

    CONNECTED = 0  # connected; no unfinished stream handed over
    RECEIVING = 1  # a stream the board has not finished was handed over
    NOT_CONNECTED = 2  # idle, connecting or disconnected
    ERROR = 3  # an error is recorded: see Board.error


VersionInfo = collections.namedtuple("VersionInfo", "major minor patch")
VersionInfo.__doc__ = "The library's version; compares equal to a tuple such as (1, 1, 0)."

MetaData = collections.namedtuple("MetaData", META_FIELDS)
MetaData.__doc__ = (
    "The twenty meta data values of a package, named as in the C interface "
    "(statusWord, headerValue, word36, ..., word108)."
)


@dataclasses.dataclass(frozen=True, eq=False)
class Package:
    """One package, copied out of the library.

    `samples` is a uint32 array of shape (channels, samples per channel);
    the board's samples are signed 32-bit values, so `samples.view(np.int32)`
    gives them with their sign."""

    meta: MetaData
    waveform_types: tuple
    samples: np.ndarray

    @property
    def header_value(self):
        """The package's number as the board sent it (meta.headerValue)."""
        return self.meta.headerValue

    @property
    def channel_count(self):
        return self.samples.shape[0]

    @property
    def size(self):
        """Samples per channel."""
        return self.samples.shape[1]

    def __repr__(self):
        return "Package(header_value={}, channels={}, samples per channel={}, waveform_types={})".format(
            self.header_value, self.channel_count, self.size, self.waveform_types
        )


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
        raise error_for(error.value, lib.last_error_message())
    return result


def _read_package(lib, handle):
    """Copies a popped package into a `Package`; always deletes the C
    package, also when copying fails."""
    try:
        channels = _call(lib, lib.mirt_ostra_data_package_get_channel_count, handle)
        size = _call(lib, lib.mirt_ostra_data_package_get_size, handle)
        samples = np.empty((channels, size), dtype=np.uint32)
        for channel in range(channels):
            row = samples[channel]
            copied = _call(
                lib, lib.mirt_ostra_data_package_get_waveform, handle, row.ctypes.data_as(_SAMPLE_POINTER), size, channel
            )
            if copied != size:
                raise GeneralError(
                    "channel {} of package holds {} samples instead of {}".format(channel, copied, size)
                )
        types = tuple(
            _call(lib, lib.mirt_ostra_data_package_get_waveform_type, handle, channel) for channel in range(channels)
        )
        record = _call(lib, lib.mirt_ostra_data_package_get_meta_data, handle)
        meta = MetaData(*(getattr(record, name) for name in META_FIELDS))
    finally:
        lib.mirt_ostra_data_package_delete(handle, None)
    return Package(meta, types, samples)


class _Delivery:
    """The side of a board that runs on the library's I/O thread: takes the
    packages out of each stream handed over and gives them to the
    application's callback or to the bounded queue. Holds no reference to
    the Board, so that a Board can be collected while its C parser lives."""

    def __init__(self, lib, callback, maxsize):
        self.lib = lib
        self.callback = callback
        self.maxsize = maxsize
        self.condition = threading.Condition()
        # Under `condition`:
        self.queue = collections.deque()
        self.dropped = 0  # all packages dropped
        self.unreported = 0  # dropped since the iterator last reported
        self.first_error = None  # the first exception of a hand-over ...
        self.error_count = 0  # ... and how many hand-overs raised
        # The C function pointer must live as long as the C parser.
        self.cfunction = CALLBACK(self.on_stream)

    def on_stream(self, stream, _user_data):
        # Nothing may propagate into the library: whatever is raised here is
        # recorded and raised by the Board's next call.
        try:
            packages = self.take_packages(stream)
            if self.callback is not None:
                self.callback(packages)
            else:
                self.enqueue(packages)
        except BaseException as e:  # noqa: B902 - the C frame must not see it
            with self.condition:
                if self.first_error is None:
                    self.first_error = e
                self.error_count += 1
                self.condition.notify_all()

    def take_packages(self, stream):
        lib = self.lib
        count = _call(lib, lib.mirt_ostra_data_stream_get_size, stream)
        packages = []
        for _ in range(count):
            handle = _call(lib, lib.mirt_ostra_data_stream_pop, stream)
            if not handle:
                break
            packages.append(_read_package(lib, handle))
        return packages

    def enqueue(self, packages):
        with self.condition:
            for package in packages:
                if len(self.queue) < self.maxsize:
                    self.queue.append(package)
                else:
                    self.dropped += 1
                    self.unreported += 1
            self.condition.notify_all()

    def take_error(self):
        """The recorded hand-over failure as a CallbackError, or None;
        forgets it."""
        with self.condition:
            if self.first_error is None:
                return None
            error = CallbackError(self.first_error, self.error_count)
            error.__cause__ = self.first_error
            self.first_error = None
            self.error_count = 0
            return error


def _release(lib, handle, delivery):
    # `delivery` is passed only to keep its C function pointer alive until
    # the parser is gone.
    del delivery
    lib.mirt_varnel_delete(handle, None)


def _setting(name, value):
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError("{} must be an integer, not {}".format(name, type(value).__name__)) from None
    if not 1 <= value <= _UINT32_MAX:
        raise ValueError("{} must be 1 to {}, not {}".format(name, _UINT32_MAX, value))
    return value


class Board:
    """A connection to one board, read on the library's own I/O thread.

    address: the board's numeric IPv4 or IPv6 address (port 63751).
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
        or when the `with` block ends. Without a callback the packages go
        to a queue that `packages()` reads.
    maxsize: the queue's capacity in packages. Packages that arrive while
        it is full are dropped and counted in `dropped`.
    overflow: what `packages()` does when packages were dropped: "warn"
        issues a `PackagesDroppedWarning`, "raise" raises
        `PackagesDropped`.

    Call a board's methods from one thread at a time. Used as a context
    manager, the board connects on entering and disconnects on leaving. Library failures raise `ConnectionFailed`,
    `CommunicationError`, `VersionMismatch` or `GeneralError` (all `Error`)
    with the library's code and message.
    """

    def __init__(
        self, address, package_counter=25, wait_ms=250, tcp_timeout=10, callback=None, maxsize=1000, overflow="warn"
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
        self._lib = lib = library()
        self._delivery = _Delivery(lib, callback, self.maxsize)
        handle = _call(lib, lib.mirt_varnel_create, address.encode("utf-8"), self._delivery.cfunction, None)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _release, lib, handle, self._delivery)
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
        """Connects to the board; returns once connected. Raises
        `ConnectionFailed` with the cause's text when the board cannot be
        reached in `tcp_timeout` seconds. Does nothing while a healthy
        connection exists; a failed one is replaced by a new attempt."""
        handle = self._open_handle()
        self._raise_pending()
        _call(self._lib, self._lib.mirt_varnel_connect, handle)

    def disconnect(self):
        """Closes the connection, then raises the error recorded before or
        during the shutdown, if any, and then a callback's pending
        exception."""
        self._disconnect()
        self._raise_pending()

    def _disconnect(self):
        _call(self._lib, self._lib.mirt_varnel_disconnect, self._open_handle())

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
        try:
            _call(self._lib, self._lib.mirt_varnel_get_async_error, handle)
        except Error as e:
            return e
        return None

    def check(self):
        """Raises the error recorded on the library's thread, if any."""
        error = self.error
        if error is not None:
            raise error

    @property
    def dropped(self):
        """Packages dropped so far because the queue was full."""
        with self._delivery.condition:
            return self._delivery.dropped

    # ------------------------------------------------------------- packages

    def packages(self, timeout=None):
        """Iterates over the received packages in order.

        `timeout`: seconds to wait for each next package; the iteration ends
        when none came in that time. With None it ends only when the board
        is disconnected. When the connection fails, the packages queued
        before are given first, then the recorded error is raised. Dropped
        packages are reported as `overflow` says."""
        if self._delivery.callback is not None:
            raise RuntimeError("this board hands its packages to its callback; packages() has none to give")
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must not be negative")
        self._open_handle()
        return self._iterate(timeout)

    def _iterate(self, timeout):
        delivery = self._delivery
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            self._raise_pending()
            self._report_drops()
            package = None
            with delivery.condition:
                slice_end = time.monotonic() + _STATE_POLL_SECONDS
                if deadline is not None:
                    slice_end = min(slice_end, deadline)
                while not delivery.queue and not delivery.unreported and delivery.first_error is None:
                    remaining = slice_end - time.monotonic()
                    if remaining <= 0:
                        break
                    delivery.condition.wait(remaining)
                if delivery.queue:
                    package = delivery.queue.popleft()
            if package is not None:
                yield package
                if timeout is not None:
                    deadline = time.monotonic() + timeout
                continue
            if delivery.unreported or delivery.first_error is not None:
                continue  # reported at the top
            state = ConnectionState(self._lib.mirt_varnel_get_state(self._open_handle(), None))
            if state == ConnectionState.ERROR:
                self.check()
            if state == ConnectionState.NOT_CONNECTED:
                return
            if deadline is not None and time.monotonic() >= deadline:
                return

    def _report_drops(self):
        delivery = self._delivery
        with delivery.condition:
            dropped, total = delivery.unreported, delivery.dropped
            delivery.unreported = 0
        if not dropped:
            return
        if self.overflow == "raise":
            raise PackagesDropped(dropped, total)
        warnings.warn(
            PackagesDroppedWarning(
                "{} packages dropped because the queue of {} was full ({} in all)".format(dropped, self.maxsize, total)
            ),
            stacklevel=3,
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
