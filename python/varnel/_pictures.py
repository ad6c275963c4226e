"""What the two drawing commands (`python3 -m varnel scope` and `plot`)
share: the choice between a window and a PNG file, the figure and its
panels, and the channel selection. Imported only by those commands, since it needs
matplotlib, which the package itself does not."""

import os

import matplotlib
import numpy as np
from matplotlib.backend_bases import FigureCanvasBase
from matplotlib.figure import Figure

from ._errors import CommandError

# Inches; with matplotlib's 100 dots per inch 800 pixels wide and at least
# 500 high. Each panel gets PANEL_HEIGHT of its own below the title and
# above the x axis's labels (MARGIN_HEIGHT together), so that eight
# panels' tick labels stay apart: 500 pixels for up to three channels,
# 900 for eight (which still fits a 1080-pixel screen).
FIGURE_WIDTH = 8
MIN_FIGURE_HEIGHT = 5
PANEL_HEIGHT = 0.9
MARGIN_HEIGHT = 1.8


def figure_size(panels):
    """Width and height in inches of a figure of `panels` panels."""
    return FIGURE_WIDTH, max(MIN_FIGURE_HEIGHT, MARGIN_HEIGHT + PANEL_HEIGHT * panels)


def check_picture_file(path):
    """Refuses, before anything is drawn, a file name whose ending names
    no format matplotlib writes (without an ending it writes PNG)."""
    ending = os.path.splitext(path)[1][1:].lower()
    formats = FigureCanvasBase.get_supported_filetypes()
    if ending and ending not in formats:
        raise CommandError(
            "{}: matplotlib cannot write .{} files; the name's ending chooses the format: {}".format(
                path, ending, ", ".join(sorted(formats))
            )
        )


def window_or_file(file_asked):
    """pyplot when the picture goes to a window, or None when it is only
    written to a file: because `file_asked`, or because nothing here can
    show a window (no display, or a matplotlib without a GUI toolkit). The
    second value says why there is no window when it was not asked for."""
    if file_asked:
        return None, None
    if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return None, "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)"
    from matplotlib import pyplot

    backend = pyplot.get_backend()
    if backend.lower() in getattr(matplotlib.rcsetup, "non_interactive_bk", ()):
        return None, "matplotlib's backend {} shows no windows (is a GUI toolkit such as python3-tk installed?)".format(
            backend
        )
    return pyplot, None


def new_figure(pyplot, title, panels):
    """A figure of `panels` panels for a window (through pyplot) or,
    without pyplot, one that is only saved: it is then drawn by the Agg
    renderer and never touches pyplot's global state."""
    if pyplot is None:
        return Figure(figsize=figure_size(panels), layout="constrained")
    return pyplot.figure(title, figsize=figure_size(panels), layout="constrained")


def add_panels(figure, channels, xlabel):
    """One panel per channel, one above the other on a shared x axis; each
    with one line, returned with its axes."""
    figure.clear()
    axes = figure.subplots(len(channels), 1, sharex=True, squeeze=False)[:, 0]
    lines = []
    for ax, channel in zip(axes, channels):
        ax.set_ylabel("channel {}".format(channel))
        # Whole sample values, without the "1e6" or "+2.1e9" that matplotlib
        # would put above the panel, into the one above it.
        ax.ticklabel_format(axis="y", style="plain", useOffset=False)
        ax.grid(True, linewidth=0.5, alpha=0.5)
        (line,) = ax.plot([], [], linewidth=0.8)
        lines.append(line)
    axes[-1].set_xlabel(xlabel)
    return list(axes), lines


def select_channels(wanted, available, source):
    """The channels to draw: `wanted` (None: all), each of which must be
    one of `available`."""
    if wanted is None:
        return list(available)
    absent = [c for c in wanted if c not in available]
    if absent:
        raise CommandError(
            "channel {} is not in {} (channels {})".format(
                ", ".join(map(str, absent)), source, ", ".join(map(str, available)) or "none"
            )
        )
    return list(wanted)


def break_at_gaps(x, y, numbers, size):
    """x and y of a line through packages of `size` samples each, with a
    break (NaN) before each package whose number does not follow the one
    before, so that no line is drawn across missing packages."""
    starts = (np.flatnonzero(np.diff(numbers.astype(np.int64)) != 1) + 1) * size
    return np.insert(x.astype(np.float64), starts, np.nan), np.insert(y.astype(np.float64), starts, np.nan)
