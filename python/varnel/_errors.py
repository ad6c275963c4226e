"""The exceptions of the package."""

import enum

# The library's error codes (mirt_error_code).
ERROR_NONE = 0
ERROR_CONNECTION_FAILED = 1
ERROR_COMMUNICATION = 2
ERROR_GENERAL = 3
ERROR_VERSION_MISMATCH = 4


class FailureCause(enum.IntEnum):
    """What ended a connection or made a connect fail, as the library
    reports it beside code and text (mirt_failure_cause)."""

    NONE = 0  # no failure of a connection
    REFUSED = 1  # connect: refused (nothing listens on the port)
    UNREACHABLE = 2  # connect: no route to the board
    CONNECT_TIMED_OUT = 3  # connect: no answer within the TCP timeout
    CLOSED_BETWEEN_PACKAGES = 4  # the board closed where a package would begin
    CLOSED_INSIDE_PACKAGE = 5  # the board closed inside a header or a body
    RESET = 6  # the board reset the connection
    DEAD_LINK = 7  # the board stopped answering
    MALFORMED_HEADER = 8  # a header was refused
    MALFORMED_BODY = 9  # a body was refused
    WRONG_PROTOCOL_VERSION = 10  # another protocol version
    BOARD_TOO_OLD = 11  # the board's versions are below the minimum
    CALLBACK_THREW = 12  # the library's callback failed
    OTHER = 13  # any other failure

    @classmethod
    def of(cls, value):
        """The member for a value of the library; OTHER for one a later
        library may add."""
        try:
            return cls(value)
        except ValueError:
            return cls.OTHER


class Error(Exception):
    """Base of every exception of the package.

    `code` is the library's error code (1 to 4) for a failure the library
    reported, None for the package's own; `message` is the library's text
    for it (the resolver's for a host name it cannot resolve); `cause` the
    library's `FailureCause` (NONE for a failure that ended no connection),
    the value to act on. `summary`, when set, names the board and says in
    words what happened ("127.0.0.5: the board closed the connection");
    str() puts it first."""

    code = None
    summary = None
    cause = FailureCause.NONE

    def __init__(self, message="", code=None, summary=None, cause=None):
        super().__init__(message)
        self.message = message
        if code is not None:
            self.code = code
        if summary is not None:
            self.summary = summary
        if cause is not None:
            self.cause = FailureCause.of(cause)

    def __str__(self):
        if self.summary is None:
            if self.code is None:
                return self.message
            return "{} (error code {})".format(self.message or "no message", self.code)
        detail = self.message if self.code is None else "{}; error code {}".format(self.message, self.code)
        return "{} ({})".format(self.summary, detail) if detail else self.summary


class ConnectionFailed(Error):
    """The connection to the board could not be established."""

    code = ERROR_CONNECTION_FAILED


class CommunicationError(Error):
    """The TCP exchange failed, or the board sent a malformed package."""

    code = ERROR_COMMUNICATION


class GeneralError(Error):
    """Any other failure the library reports (a connection time-out among
    them)."""

    code = ERROR_GENERAL


class VersionMismatch(Error):
    """The board speaks another protocol version, or its firmware is older
    than the library's minimum."""

    code = ERROR_VERSION_MISMATCH


class Timeout(Error, TimeoutError):
    """No package came within the time the package iterator was given;
    the connection itself is fine (an end of the packages is the end of the
    iteration, a failure the failure's own exception)."""


class CallbackError(Error):
    """A hand-over of packages raised on the library's thread: the
    application's callback, or the copying of the packages. The first
    exception is the `__cause__` and `exception`; `count` tells how many
    hand-overs raised since the last report."""

    def __init__(self, exception, count):
        super().__init__(
            "a hand-over of packages raised {!r}{}".format(
                exception, "" if count == 1 else " (and {} later hand-overs raised too)".format(count - 1)
            )
        )
        self.exception = exception
        self.count = count


class PackagesDropped(Error):
    """Packages were dropped because the consumer fell behind; `dropped`
    counts those since the last report, `total` all of the board's."""

    def __init__(self, dropped, total):
        super().__init__(
            "{} dropped because the queue was full ({} in all)".format(count_packages(dropped), total)
        )
        self.dropped = dropped
        self.total = total


class PackagesDroppedWarning(UserWarning):
    """Issued by the package iterator when packages were dropped."""


_BY_CODE = {
    ERROR_CONNECTION_FAILED: ConnectionFailed,
    ERROR_COMMUNICATION: CommunicationError,
    ERROR_GENERAL: GeneralError,
    ERROR_VERSION_MISMATCH: VersionMismatch,
}

# The causes that decide the exception's class by themselves; the others
# (those of a connect, the callback's, OTHER) leave it to the code, which
# for a connect that failed is ConnectionFailed.
_BY_CAUSE = {
    FailureCause.CLOSED_BETWEEN_PACKAGES: CommunicationError,
    FailureCause.CLOSED_INSIDE_PACKAGE: CommunicationError,
    FailureCause.RESET: CommunicationError,
    FailureCause.DEAD_LINK: CommunicationError,
    FailureCause.MALFORMED_HEADER: CommunicationError,
    FailureCause.MALFORMED_BODY: CommunicationError,
    FailureCause.WRONG_PROTOCOL_VERSION: VersionMismatch,
    FailureCause.BOARD_TOO_OLD: VersionMismatch,
}

# The causes of a connect that never reached the board.
CONNECT_CAUSES = frozenset((FailureCause.REFUSED, FailureCause.UNREACHABLE, FailureCause.CONNECT_TIMED_OUT))


def error_for(code, message, cause=FailureCause.NONE, summary=None):
    """The exception for a library failure: the class of its cause, else
    of its code (an unknown code counts as a general error, keeping its
    number)."""
    cause = FailureCause.of(cause)
    if code == ERROR_CONNECTION_FAILED:
        cls = ConnectionFailed
    else:
        cls = _BY_CAUSE.get(cause) or _BY_CODE.get(code, GeneralError)
    return cls(message, code, summary, cause)


# What each cause means, in words.
_WORDS = {
    FailureCause.REFUSED: "connection refused",
    FailureCause.UNREACHABLE: "the board cannot be reached (no route)",
    FailureCause.CLOSED_BETWEEN_PACKAGES: "the board closed the connection",
    FailureCause.CLOSED_INSIDE_PACKAGE: "the board closed the connection inside a package",
    FailureCause.RESET: "the board reset the connection",
    FailureCause.DEAD_LINK: "the board stopped answering",
    FailureCause.MALFORMED_HEADER: "the board sent a malformed package",
    FailureCause.MALFORMED_BODY: "the board sent a malformed package",
    FailureCause.WRONG_PROTOCOL_VERSION: "the board speaks another protocol version",
    FailureCause.BOARD_TOO_OLD: "the board's versions are older than the library accepts",
    FailureCause.CALLBACK_THREW: "the library's callback failed",
}


def describe(cause, tcp_timeout):
    """What a failure means, in words, from its cause."""
    if cause == FailureCause.CONNECT_TIMED_OUT:
        return "no answer within {} s".format(tcp_timeout)
    return _WORDS.get(cause, "the connection failed")


class CommandError(Exception):
    """A failure of `python3 -m varnel`'s commands that is reported in one
    line, such as a missing module or a channel a recording does not
    have."""


def count_packages(n):
    """'1 package', '2 packages'."""
    return "{} package{}".format(n, "" if n == 1 else "s")
