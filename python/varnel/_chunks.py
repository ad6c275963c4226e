"""Where the packages of a hand-over are copied to: chunks of arrays, and
runs of packages of one shape within them, from which batches are viewed."""

import numpy as np

from ._packages import META_DTYPE, RECEIVE_TIME_DTYPE, WAVEFORM_TYPE_SLOTS, Batch

# A chunk's room, in bytes of packages (meta data, waveform types and
# samples); a chunk holds at least one hand-over. Large enough that a read
# seldom spans two chunks, which costs a copy (a batch's arrays are views
# of its chunk, and keep all of it).
_CHUNK_BYTES = 8 << 20


class Run:
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
        return Run(self.chunk, self.start + first, count, self.shape, self.offset + first * channels * size)

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


class Chunk:
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
