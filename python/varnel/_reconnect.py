"""The board's reconnecting thread, and the lock that keeps the parser's
operations to one thread at a time."""

import threading
import time

from ._calls import STATE_POLL_SECONDS, ConnectionState, call, connect_failure, recorded_error
from ._errors import Error, VersionMismatch

# The reconnecting thread's wait before each attempt: doubled after every
# failure up to the maximum, and back to the first once a connection has
# lasted as long as the maximum.
_BACKOFF_FIRST_SECONDS = 0.1
_BACKOFF_MAX_SECONDS = 5.0


class Control:
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
    while not stop.wait(STATE_POLL_SECONDS):
        if lib.mirt_varnel_get_state(handle, None) != ConnectionState.ERROR:
            continue
        if time.monotonic() - connected_at >= _BACKOFF_MAX_SECONDS:
            delay = _BACKOFF_FIRST_SECONDS
        failure = recorded_error(lib, handle, explain)
        while failure is not None and not isinstance(failure, VersionMismatch):
            control.last_failure = failure
            if stop.wait(delay):
                return
            delay = min(2 * delay, _BACKOFF_MAX_SECONDS)
            with control.lock:
                if stop.is_set():
                    return
                try:
                    call(lib, lib.mirt_varnel_connect, handle)
                except Error as e:
                    failure = connect_failure(lib, handle, explain, e)
                else:
                    failure = None
                    control.reconnects += 1
                    connected_at = time.monotonic()
        if failure is not None:
            return
