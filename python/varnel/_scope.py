"""`python3 -m varnel scope`: the live view of a board's stream, one panel
per channel, in a window or written to a PNG file."""

import collections
import time
import warnings

import numpy as np

from ._board import Board
from ._errors import CommandError, PackagesDroppedWarning
from ._pictures import (
    add_panels,
    break_at_gaps,
    check_picture_file,
    figure_size,
    new_figure,
    select_channels,
    window_or_file,
)

# The longest wait for a hand-over between two refreshes of the window,
# which is also how often a window without packages handles its events.
_FRAME_SECONDS = 0.05

# Reads per refresh: enough to empty the queue when the packages change
# shape, few enough that a board faster than the drawing cannot hold the
# scope in reading.
_READS_PER_FRAME = 4

# The packages/s in the title count the packages of this last stretch.
_RATE_SECONDS = 1.0

DEFAULT_FILE = "scope.png"


class Scope:
    """The picture of the latest packages: the samples of the newest
    package per channel (x: sample index), or with `seconds` those of the
    packages received in the last `seconds` s (x: package number, the
    samples of package n from n to n + 1), as signed values."""

    def __init__(self, figure, where, channels=None, seconds=None):
        self.figure = figure
        self.where = where
        self.wanted = channels
        self.seconds = seconds
        self.shown = None  # (channels shown, channel count, samples per channel) of the panels
        self.axes = self.lines = ()
        self.kept = collections.deque()  # (receive time, header values, signed samples) per read
        self.arrivals = collections.deque()  # (receive time, packages)
        figure.suptitle("{}: waiting for packages".format(where))

    def add(self, batch, now):
        """Takes the packages of a read, received at `now` (monotonic s)."""
        if not len(batch):
            return
        samples = batch.samples.view(np.int32)
        if self.kept and self.kept[-1][2].shape[1:] != samples.shape[1:]:
            self.kept.clear()  # another shape: the old packages cannot share the panels
        if self.seconds is None:
            self.kept.clear()
        self.kept.append((now, batch.header_values, samples))
        if self.seconds is not None:
            while len(self.kept) > 1 and self.kept[0][0] < now - self.seconds:
                self.kept.popleft()
        self.arrivals.append((now, len(batch)))
        self._layout(samples.shape[1], samples.shape[2])

    def _layout(self, channel_count, size):
        if self.shown is not None and self.shown[1:] == (channel_count, size):
            return
        channels = select_channels(self.wanted, range(channel_count), "the board's packages")
        xlabel = "sample" if self.seconds is None else "package number (headerValue)"
        size_inches = figure_size(len(channels))
        if tuple(self.figure.get_size_inches()) != size_inches:
            self.figure.set_size_inches(size_inches, forward=True)  # a window grows with it
        self.axes, self.lines = add_panels(self.figure, channels, xlabel)
        self.shown = (channels, channel_count, size)

    def rate(self, now):
        while self.arrivals and self.arrivals[0][0] < now - _RATE_SECONDS:
            self.arrivals.popleft()
        return sum(count for _, count in self.arrivals) / _RATE_SECONDS

    def draw(self, board, now):
        """Puts the kept packages into the panels and the board's figures
        into the title."""
        state = board.state.name.lower().replace("_", " ")
        title = "{}: {}, {:.0f} packages/s, gaps: {} ({} missing)".format(
            self.where, state, self.rate(now), board.gaps, board.missing
        )
        if board.reconnects:
            title += ", {} reconnect{}".format(board.reconnects, "" if board.reconnects == 1 else "s")
        if board.dropped:
            title += ", {} dropped by the scope".format(board.dropped)
        if not self.kept:
            self.figure.suptitle(title + ", no packages yet")
            return
        numbers = self.kept[-1][1]
        self.figure.suptitle("{}, package {}".format(title, numbers[-1]))
        channels, _, size = self.shown
        if self.seconds is None:
            x = np.arange(size)
            numbers, samples = numbers[-1:], self.kept[-1][2][-1:]
        else:
            numbers = np.concatenate([n for _, n, _ in self.kept])
            samples = np.concatenate([s for _, _, s in self.kept])
            x = (numbers[:, None] + np.arange(size) / size).ravel()
        for ax, line, channel in zip(self.axes, self.lines, channels):
            line.set_data(*break_at_gaps(x, samples[:, channel, :].ravel(), numbers, size))
            ax.relim()
            ax.autoscale_view()


def run(options):
    """Shows the scope in a window until it is closed (or Ctrl-C), or
    without a window watches for `options.duration` s and writes the last
    view to `options.save` (DEFAULT_FILE when there is no display). Returns
    the figure."""
    if options.save is not None:
        check_picture_file(options.save)
    pyplot, why = window_or_file(options.save is not None)
    path = options.save
    if pyplot is None and path is None:
        path = DEFAULT_FILE
        print("varnel scope: {}; the view after {} s goes to {}".format(why, options.duration, path))
    with warnings.catch_warnings():
        # A scope that draws slower than the board sends skips packages;
        # the title counts them.
        warnings.simplefilter("ignore", PackagesDroppedWarning)
        with Board(
            options.address, package_counter=options.package_counter, wait_ms=100,
            tcp_timeout=options.tcp_timeout, reconnect=True,
        ) as board:
            where = board.address if board.ip == board.address else "{} ({})".format(board.address, board.ip)
            # Sized for the channels asked for, or for one panel until the
            # packages tell how many there are.
            figure = new_figure(pyplot, "varnel scope {}".format(where), len(options.channels or [0]))
            scope = Scope(figure, where, options.channels, options.seconds)
            if pyplot is not None:
                pyplot.show(block=False)
            try:
                _watch(board, scope, pyplot, options.duration)
            except KeyboardInterrupt:
                pass
            scope.draw(board, time.monotonic())
    if path is not None:
        figure.savefig(path)
        if not scope.kept:
            raise CommandError("no packages from {} within {} s; wrote the empty view to {}".format(
                where, options.duration, path))
    return figure


def _watch(board, scope, pyplot, duration):
    """Reads and draws until the window is closed, or without a window
    until `duration` s have passed."""
    end = None if pyplot is not None else time.monotonic() + duration
    figure = scope.figure
    while True:
        now = time.monotonic()
        if end is not None and now >= end:
            return
        if pyplot is not None and not pyplot.fignum_exists(figure.number):
            return
        wait = _FRAME_SECONDS if end is None else min(_FRAME_SECONDS, end - now)
        for _ in range(_READS_PER_FRAME):
            batch = board.read(timeout=wait)
            if not len(batch):
                break
            scope.add(batch, time.monotonic())
            wait = 0
        if pyplot is not None:
            scope.draw(board, time.monotonic())
            figure.canvas.draw_idle()
            figure.canvas.flush_events()
