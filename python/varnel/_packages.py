"""Received packages: one at a time (`Package`) and many of one shape at
once (`Batch`), and the meta data record as a NumPy dtype."""

import collections
import ctypes
import dataclasses

import numpy as np

from ._library import META_FIELDS, MetaDataStruct, ReceiveTimeStruct

MetaData = collections.namedtuple("MetaData", META_FIELDS)
MetaData.__doc__ = (
    "The twenty meta data values of a package, named as in the C interface "
    "(statusWord, headerValue, word36, ..., word108)."
)

_NUMPY_TYPES = {
    ctypes.c_uint16: np.uint16,
    ctypes.c_uint32: np.uint32,
    ctypes.c_uint64: np.uint64,
    ctypes.c_double: np.float64,
}


def _meta_dtype():
    # The C record as it lies in memory (padding included), so that the
    # library writes records straight into an array of this type.
    fields = [(name, kind) for name, kind in MetaDataStruct._fields_ if name in META_FIELDS]
    return np.dtype(
        {
            "names": [name for name, _ in fields],
            "formats": [_NUMPY_TYPES[kind] for _, kind in fields],
            "offsets": [getattr(MetaDataStruct, name).offset for name, _ in fields],
            "itemsize": ctypes.sizeof(MetaDataStruct),
        }
    )


# The dtype of `Batch.meta`: the twenty meta data fields by their C names.
META_DTYPE = _meta_dtype()

# The dtype of `Batch.receive_time`: the C record mirt_receive_time, both
# fields int64 nanoseconds.
RECEIVE_TIME_DTYPE = np.dtype([(name, np.int64) for name, _ in ReceiveTimeStruct._fields_])

ReceiveTime = collections.namedtuple("ReceiveTime", "systemTimeNs steadyTimeNs")
ReceiveTime.__doc__ = (
    "When a package arrived: the moment the library's read that completed it returned, in "
    "nanoseconds, on the system clock (systemTimeNs, since 1970 UTC) and on the library's "
    "steady clock (steadyTimeNs, for intervals). Packages of one read share it."
)

# Waveform type slots per package in the library's batch copy.
WAVEFORM_TYPE_SLOTS = 8


@dataclasses.dataclass(frozen=True, eq=False)
class Package:
    """One package, copied out of the library.

    `samples` is a uint32 array of shape (channels, samples per channel);
    the board's samples are signed 32-bit values, so `samples.view(np.int32)`
    gives them with their sign."""

    meta: MetaData
    waveform_types: tuple
    samples: np.ndarray
    receive_time: ReceiveTime = ReceiveTime(0, 0)

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


class Batch:
    """Consecutive packages of one shape (channel count and samples per
    channel), as arrays with one row per package, oldest first:

    - `samples`: uint32, shape (packages, channels, samples per channel);
      `samples.view(np.int32)` gives the signed values;
    - `meta`: a structured array of `META_DTYPE`, the twenty meta data
      fields by name (`meta["statusWord"]`, ...);
    - `header_values`: uint64, the packages' numbers (`meta["headerValue"]`);
    - `waveform_types`: uint32, shape (packages, channels);
    - `receive_time`: a structured array of `RECEIVE_TIME_DTYPE`, when
      each package arrived (`receive_time["systemTimeNs"]`, nanoseconds
      since 1970 UTC; `receive_time["steadyTimeNs"]`, for intervals).

    `len(batch)` is the number of packages, `batch[i]` the i-th as a
    `Package` (with a copy of its samples), `batch[i:j]` a batch, and
    iterating gives every package. An empty batch has the shape 0 x 0.
    Nothing changes the arrays afterwards; they may be views of a larger
    block that they keep alive."""

    __slots__ = ("meta", "waveform_types", "samples", "receive_time")

    def __init__(self, meta, waveform_types, samples, receive_time=None):
        self.meta = meta
        self.waveform_types = waveform_types
        self.samples = samples
        self.receive_time = np.zeros(len(meta), RECEIVE_TIME_DTYPE) if receive_time is None else receive_time

    @classmethod
    def empty(cls):
        return cls(
            np.empty(0, META_DTYPE), np.empty((0, 0), np.uint32), np.empty((0, 0, 0), np.uint32)
        )

    @property
    def header_values(self):
        return self.meta["headerValue"]

    @property
    def channel_count(self):
        return self.samples.shape[1]

    @property
    def size(self):
        """Samples per channel."""
        return self.samples.shape[2]

    @property
    def shape(self):
        """(channels, samples per channel)."""
        return self.samples.shape[1:]

    def __len__(self):
        return self.samples.shape[0]

    def __getitem__(self, index):
        if isinstance(index, slice):
            return Batch(self.meta[index], self.waveform_types[index], self.samples[index], self.receive_time[index])
        return Package(
            MetaData._make(self.meta[index].item()),
            tuple(self.waveform_types[index].tolist()),
            self.samples[index].copy(),
            ReceiveTime._make(self.receive_time[index].item()),
        )

    def __iter__(self):
        return (self[i] for i in range(len(self)))

    def __repr__(self):
        if not len(self):
            return "Batch(packages=0)"
        return "Batch(packages={}, header_values={}..{}, channels={}, samples per channel={})".format(
            len(self), self.header_values[0], self.header_values[-1], self.channel_count, self.size
        )

    @staticmethod
    def join(parts):
        """One batch of `parts`, batches of one shape; the part itself when
        there is only one."""
        if len(parts) == 1:
            return parts[0]
        # As plain records: NumPy joins structured arrays field by field.
        records = np.dtype((np.void, META_DTYPE.itemsize))
        return Batch(
            np.concatenate([p.meta.view(records) for p in parts]).view(META_DTYPE),
            np.concatenate([p.waveform_types for p in parts]),
            np.concatenate([p.samples for p in parts]),
            np.concatenate([p.receive_time for p in parts]),
        )
