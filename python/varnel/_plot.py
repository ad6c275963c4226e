"""`python3 -m varnel plot`: a recording of `varnel-monitor --record` (an
HDF5 file; the layout is in README.md under "Recording") as a picture,
one panel per channel, and a summary of the recording."""

import dataclasses
import os

import numpy as np
from matplotlib.ticker import FuncFormatter

from ._errors import CommandError
from ._pictures import add_panels, break_at_gaps, check_picture_file, new_figure, select_channels, window_or_file

# Gaps in the package numbers are marked in the panels, at most this many.
_MARKED_GAPS = 100


@dataclasses.dataclass
class Recording:
    """The packages of a recording: `numbers` (headerValue) and
    `receive_times` of all of them, the `samples` (signed) of the
    selected rows `rows` for the selected channels, and the file's
    attributes."""

    path: str
    attributes: dict
    channels: list
    numbers: np.ndarray
    receive_times: np.ndarray
    rows: range
    samples: dict  # channel -> int32 array (packages, samples per channel)

    def gaps(self, rows=None):
        """Jumps in the package numbers, and the numbers left out."""
        numbers = self.numbers if rows is None else self.numbers[rows.start : rows.stop]
        steps = np.diff(numbers.astype(np.int64))
        return int(np.count_nonzero(steps != 1)), int(np.sum(steps[steps > 1] - 1))


def read(path, channels, packages):
    """Reads the recording at `path`: every package's number and receive
    time, and the samples of `channels` (None: all) in the rows `packages`
    (a slice; None: all)."""
    try:
        import h5py
    except ImportError:
        raise CommandError(
            "reading a recording needs h5py, which is not installed here "
            "(Debian, Ubuntu: apt install python3-h5py; elsewhere: pip install h5py)"
        ) from None
    try:
        f = h5py.File(path, "r")
    except OSError as e:
        raise CommandError("{}: cannot be read as HDF5 ({})".format(path, _one_line(e))) from None
    try:
        with f:
            return _read_open(f, path, channels, packages)
    except CommandError:
        raise
    except Exception as e:  # a damaged file fails anywhere in h5py, with any of its exceptions
        raise CommandError("{}: cannot be read as a recording ({}: {})".format(
            path, type(e).__name__, _one_line(e))) from None


def _one_line(error):
    return " ".join(str(error).split())


def _read_open(f, path, channels, packages):
    if "packages" not in f or "channels" not in f:
        raise CommandError("{}: not a recording of varnel-monitor (no /packages or /channels)".format(path))
    table = f["packages"]
    available = sorted(int(name) for name in f["channels"])
    chosen = select_channels(channels, available, path)
    count = table.shape[0]
    for c in chosen:
        if f["channels"][str(c)].shape[0] != count:
            raise CommandError("{}: /channels/{} has {} rows, /packages {}: not a whole recording".format(
                path, c, f["channels"][str(c)].shape[0], count))
    rows = range(count)[packages or slice(None)]
    return Recording(
        path=path,
        attributes=dict(f.attrs),
        channels=chosen,
        numbers=table["headerValue"],
        receive_times=table["receiveTime"],
        rows=rows,
        samples={c: f["channels"][str(c)][rows.start : rows.stop].view(np.int32) for c in chosen},
    )


def summary(recording):
    """A few lines about the recording and the part plotted (none when
    nothing is selected); printed once the picture is made, or before the
    reason why there is none."""
    a = recording.attributes
    count = len(recording.numbers)
    if not count:
        return "{}: no packages (board {})".format(recording.path, a.get("board_address", "?"))
    gaps, missing = recording.gaps()
    shape = next(iter(recording.samples.values())).shape[1] if recording.samples else 0
    lines = [
        "{}: board {}, started {}".format(recording.path, a.get("board_address", "?"), a.get("start_time", "?")),
        "packages: {} (numbers {} to {}), gaps: {} ({} missing), duration: {:.2f} s".format(
            count, recording.numbers[0], recording.numbers[-1], gaps, missing,
            recording.receive_times[-1] - recording.receive_times[0],
        ),
    ]
    lost = ["{} {}".format(a[key], key.split("_")[0]) for key in ("dropped_packages", "skipped_packages") if a.get(key)]
    if lost:
        lines.append("not recorded: " + ", ".join(lost))
    rows = recording.rows
    if not len(rows):
        return "\n".join(lines)
    lines.append("plotted: packages {} to {} of {}, channels {}, {} sample{} per channel".format(
        rows.start, rows.stop - 1, count, ",".join(map(str, recording.channels)), shape, "" if shape == 1 else "s"))
    return "\n".join(lines)


def draw(figure, recording):
    """The selected packages' samples, one panel per channel. The x axis
    counts packages (row r from r to r + 1) and is labelled with their
    receive times and numbers; the lines break at gaps in the numbers, which dotted
    lines mark."""
    rows = recording.rows
    size = next(iter(recording.samples.values())).shape[1]
    x = (np.arange(rows.start, rows.stop)[:, None] + np.arange(size) / size).ravel()
    axes, lines = add_panels(figure, recording.channels, "receive time (s after the first package) and number")
    start = recording.receive_times[0]
    last = len(recording.receive_times) - 1

    def receive_time(position, _tick):
        row = min(max(int(position), 0), last)
        return "{:.3f}\n{}".format(recording.receive_times[row] - start, recording.numbers[row])

    numbers = recording.numbers[rows.start : rows.stop].astype(np.int64)
    gap_rows = rows.start + 1 + np.flatnonzero(np.diff(numbers) != 1)[:_MARKED_GAPS]
    for ax, line, channel in zip(axes, lines, recording.channels):
        line.set_data(*break_at_gaps(x, recording.samples[channel].ravel(), numbers, size))
        for row in gap_rows:
            ax.axvline(row, color="C3", linestyle=":", linewidth=1)
        ax.relim()
        ax.autoscale_view()
    axes[-1].xaxis.set_major_formatter(FuncFormatter(receive_time))
    gaps, missing = recording.gaps(rows)
    figure.suptitle("{}: board {}, packages {} to {} of {}, gaps: {} ({} missing)".format(
        os.path.basename(recording.path), recording.attributes.get("board_address", "?"),
        rows.start, rows.stop - 1, len(recording.numbers), gaps, missing))


def run(options):
    """Writes the picture to `options.output` (FILE.png beside FILE.h5
    when there is no display) and prints the summary, or prints it and
    shows the picture in a window. Returns the figure."""
    if options.output is not None:
        check_picture_file(options.output)
    recording = read(options.file, options.channels, options.packages)
    if not len(recording.rows):
        print(summary(recording))
        count = len(recording.numbers)
        why = "--packages selects none of its {} packages".format(count) if count else "it holds no packages"
        raise CommandError("{}: nothing to plot: {}".format(options.file, why))
    pyplot, why = window_or_file(options.output is not None)
    path = options.output
    if pyplot is None and path is None:
        path = os.path.splitext(options.file)[0] + ".png"
        print("varnel plot: {}; writing the picture to {}".format(why, path))
    figure = new_figure(pyplot, "varnel plot {}".format(os.path.basename(options.file)), len(recording.channels))
    draw(figure, recording)
    if path is not None:
        figure.savefig(path)
        print(summary(recording))
    else:
        print(summary(recording))
        pyplot.show()
    return figure
