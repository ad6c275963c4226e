"""Varnel for Python: the live data stream of an Ostra6 board as NumPy
arrays, through the Varnel shared library's C interface.

    import varnel

    with varnel.Board("192.168.1.10", package_counter=10) as board:
        for package in board.packages(timeout=2.0):
            print(package.header_value, package.samples.shape, package.samples[0, :5])

    with varnel.Board("board-7.lab") as board:  # many packages per call
        batch = board.read(10000, timeout=1.0)  # batch.samples: (packages, channels, samples)

The shared library is found through the environment variable
VARNEL_LIBRARY (a file), next to this package, or on the system's library
path; see `varnel._library` for the details.

`python3 -m varnel scope ADDRESS` and `python3 -m varnel plot FILE.h5` draw
the live stream and recordings of varnel-monitor; they need matplotlib,
which nothing else here does.
"""

from ._board import Board, VersionInfo, library_path, version
from ._calls import ConnectionState
from ._errors import (
    CallbackError,
    CommunicationError,
    ConnectionFailed,
    Error,
    FailureCause,
    GeneralError,
    PackagesDropped,
    PackagesDroppedWarning,
    Timeout,
    VersionMismatch,
)
from ._library import LibraryNotFoundError
from ._packages import META_DTYPE, RECEIVE_TIME_DTYPE, Batch, MetaData, Package, ReceiveTime
from ._statistics import Statistics
from ._version import __version__

__all__ = [
    "META_DTYPE",
    "RECEIVE_TIME_DTYPE",
    "Batch",
    "Board",
    "CallbackError",
    "CommunicationError",
    "ConnectionFailed",
    "ConnectionState",
    "Error",
    "FailureCause",
    "GeneralError",
    "LibraryNotFoundError",
    "MetaData",
    "Package",
    "PackagesDropped",
    "PackagesDroppedWarning",
    "ReceiveTime",
    "Statistics",
    "Timeout",
    "VersionInfo",
    "VersionMismatch",
    "library_path",
    "version",
]
