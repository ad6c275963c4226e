"""The exceptions of the package."""

# The library's error codes (mirt_error_code).
ERROR_NONE = 0
ERROR_CONNECTION_FAILED = 1
ERROR_COMMUNICATION = 2
ERROR_GENERAL = 3
ERROR_VERSION_MISMATCH = 4


class Error(Exception):
    """Base of every exception of the package.

    `code` is the library's error code (1 to 4) for a failure the library
    reported, None for the package's own; `message` is the library's text
    for it (the resolver's for a host name it cannot resolve). `summary`,
    when set, names the board and says in words what happened ("127.0.0.5:
    the board closed the connection"); str() puts it first."""

    code = None
    summary = None

    def __init__(self, message="", code=None, summary=None):
        super().__init__(message)
        self.message = message
        if code is not None:
            self.code = code
        if summary is not None:
            self.summary = summary

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


def error_for(code, message, summary=None):
    """The exception for a library error code; an unknown code counts as a
    general error, keeping its number."""
    cls = _BY_CODE.get(code, GeneralError)
    return cls(message, code, summary)


# The library's texts begin with the step that failed; what follows is the
# cause (a system text after "ErrorCode: ", or the package check's refusal).
_STEPS = ("start: ", "readHeader: ", "readBody: ", "timerHandler: ")


def describe(code, text, tcp_timeout):
    """What a recorded failure means, in words, from its code and the
    library's text."""
    if text.startswith("waitForConnectionLockFree"):
        return "no answer within {} s".format(tcp_timeout)
    if text.startswith("start: "):
        cause = text[len("start: "):].strip()
        return cause[:1].lower() + cause[1:] if cause else "cannot connect"
    if code == ERROR_VERSION_MISMATCH:
        if "protocol version" in text:
            return "the board speaks another protocol version"
        return "the board's versions are older than the library accepts"
    if "End of file" in text:
        return "the board closed the connection"
    if "reset by peer" in text:
        return "the board reset the connection"
    if "timed out" in text:
        return "the board stopped answering"
    if text.startswith(_STEPS):
        step_cause = text.split(": ", 1)[1]
        if step_cause.startswith("ErrorCode: "):
            return "the connection broke"
        return "the board sent a malformed package"
    return "the connection failed"


class CommandError(Exception):
    """A failure of `python3 -m varnel`'s commands that is reported in one
    line, such as a missing module or a channel a recording does not
    have."""


def count_packages(n):
    """'1 package', '2 packages'."""
    return "{} package{}".format(n, "" if n == 1 else "s")
