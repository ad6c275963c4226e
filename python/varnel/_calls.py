"""Calls into the library as the board's threads make them: failures
raised as exceptions with the library's text and explained, and the
connection state it reports."""

import ctypes
import enum

from ._errors import ERROR_CONNECTION_FAILED, ConnectionFailed, Error, describe, error_for

# How long a waiting reader, and the reconnecting thread, wait before they
# look at the connection state again.
STATE_POLL_SECONDS = 0.05


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


def call(lib, function, *args):
    """Calls a mirt_* function with an error pointer and raises its
    failure, with the library's text, read right after the call on the same
    thread."""
    error = ctypes.c_int32(0)
    result = function(*args, ctypes.byref(error))
    if error.value != 0:
        raise error_for(error.value, lib.last_error_message(), lib.last_failure_cause())
    return result


def add_summary(where, tcp_timeout, error):
    """Gives a library failure its summary: the board and, in words, what
    happened. Returns the error."""
    if error.code is not None and error.summary is None:
        error.summary = "{}: {}".format(where, describe(error.cause, tcp_timeout))
    return error


def recorded_error(lib, handle, explain):
    """The failure recorded for the parser, explained, or None."""
    try:
        call(lib, lib.mirt_varnel_get_async_error, handle)
    except Error as e:
        return explain(e)
    return None


def connect_failure(lib, handle, explain, thrown):
    """The exception for a failed connect, the same for the first connect
    and for reconnects: the library fails a connect only when the board was
    never reached (refused, unreachable, no answer, reset while
    connecting); that is a ConnectionFailed with the recorded text and
    cause. A board that was reached connects, also when it fails at once."""
    recorded = recorded_error(lib, handle, explain)
    if recorded is None:
        return explain(thrown)
    return ConnectionFailed(recorded.message, ERROR_CONNECTION_FAILED, recorded.summary, recorded.cause)
