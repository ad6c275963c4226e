"""The side of a board that runs on the library's I/O thread, and the
queue its readers take packages from."""

import collections
import ctypes
import queue
import threading
import time

from ._calls import STATE_POLL_SECONDS
from ._chunks import Chunk, Run
from ._errors import CallbackError, error_for
from ._library import CALLBACK
from ._packages import META_DTYPE, RECEIVE_TIME_DTYPE, WAVEFORM_TYPE_SLOTS


class Delivery:
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
        self.arrivals = queue.SimpleQueue()  # lists of Runs; [] only wakes the reader
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
        self.queue = collections.deque()  # Runs taken from `arrivals`, oldest first
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
            runs = self.take_runs(stream)
            self.count_gaps(runs)
            if self.callback_failed:
                # A callback that raised is not called again: its packages
                # are dropped, their numbers still followed, so that a gap
                # counts what the board did not send, not what was dropped.
                self.dropped += sum(run.count for run in runs)
                return
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
                chunk = self.chunk = Chunk(self.shape, remaining)
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
            runs.append(Run(chunk, start, taken, shape, offset))
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
            wait = STATE_POLL_SECONDS if deadline is None else min(STATE_POLL_SECONDS, deadline - time.monotonic())
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
                parts[-1] = Run(last.chunk, last.start, last.count + take, shape, last.offset)
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
