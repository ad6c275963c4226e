"""The scope and the plot command, drawn without a window (Agg): the
panels, the data in them against the known signals of varnel-board, and
the titles; and what the commands say without matplotlib."""

import itertools
import os
import re
import subprocess
import sys
import types

import numpy as np
import pytest

from conftest import BOARD_PROGRAM, PYTHON_DIR, REFUSING_ADDRESS

pytest.importorskip("matplotlib")
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.image import imread  # noqa: E402

import varnel  # noqa: E402
from varnel import __main__ as command  # noqa: E402
from varnel import _pictures, _plot, _scope  # noqa: E402

SAMPLES = 16
# Channel 0 counts samples (package n holds n * 16 to n * 16 + 15); channel
# 1 is a square wave of one period per package; channel 2 is noise.
SIGNALS = ["--channels", 3, "--samples", SAMPLES, "--sample-rate", SAMPLES, "--signal", "0=counter",
           "--signal", "1=square:1000:1", "--signal", "2=noise"]
SQUARE = [1000] * (SAMPLES // 2) + [-1000] * (SAMPLES // 2)


def counter(numbers):
    return (np.asarray(numbers, np.int64)[:, None] * SAMPLES + np.arange(SAMPLES)).ravel()


def solid(y):
    """A line's values without the breaks at gaps."""
    return y[~np.isnan(y)]


@pytest.mark.parametrize("seconds", [None, 0.5])
def test_scope_shows_the_chosen_channels_of_the_latest_packages(start_board, tmp_path, seconds):
    board = start_board(*SIGNALS, "--rate", 200)
    png = tmp_path / "scope.png"
    argv = ["scope", board.address, "--channels", "0-1", "--save", png, "--duration", 1]
    figure = command.run([str(a) for a in argv + (["--seconds", seconds] if seconds else [])])

    title = figure._suptitle.get_text()
    assert re.match(re.escape(board.address) + r": (receiving|connected), \d+ packages/s, gaps: 0 ", title), title
    last = int(re.search(r"package (\d+)$", title).group(1))
    assert len(figure.axes) == 2
    (x, counted), (_, square) = (ax.lines[0].get_data() for ax in figure.axes)
    if seconds is None:
        np.testing.assert_array_equal(counted, counter([last]))
        np.testing.assert_array_equal(square, SQUARE)
    else:
        # x is the package number and the sample's place in the package.
        np.testing.assert_array_equal(counted, x * SAMPLES)
        assert x[-1] == last + (SAMPLES - 1) / SAMPLES
        assert 1 < x[0] < last  # the first packages of the second are gone
        np.testing.assert_array_equal(square, np.tile(SQUARE, len(x) // SAMPLES))
    assert imread(png).shape[:2] == (500, 800)


def test_plot_shows_a_recording_of_the_monitor(start_board, tmp_path, capsys):
    h5py = pytest.importorskip("h5py")
    board = start_board(*SIGNALS, "--skip-every", 7, "--fast")
    recording = tmp_path / "run.h5"
    monitor = os.path.join(os.path.dirname(BOARD_PROGRAM), "varnel-monitor")
    result = subprocess.run([monitor, board.address, "--count", "40", "--quiet", "--record", str(recording)],
                            capture_output=True, text=True, timeout=60)
    if result.returncode == 2 and "record" in result.stderr:
        pytest.skip("this varnel-monitor cannot record: " + result.stderr.strip())
    assert result.returncode == 0, result.stderr

    figure = command.run(["plot", str(recording), "-o", str(tmp_path / "run.png"), "--channels", "0-1",
                          "--packages", "10:30"])
    # 1 to 7, 9 to 15, ...: 40 packages numbered 1 to 45.
    numbers = [n for n in range(1, 46) if n % 8]
    assert "packages: 40 (numbers 1 to 45), gaps: 5 (5 missing)" in capsys.readouterr().out
    assert len(figure.axes) == 2
    assert board.address in figure._suptitle.get_text()
    counted, square = (ax.lines[0].get_ydata() for ax in figure.axes)
    np.testing.assert_array_equal(solid(counted), counter(numbers[10:30]))
    np.testing.assert_array_equal(solid(square), np.tile(SQUARE, 20))

    with h5py.File(recording, "r") as f:
        receive_times = f["packages"]["receiveTime"]
    label = figure.axes[-1].xaxis.get_major_formatter()(20.5, 0)
    assert label == "{:.3f}\n{}".format(receive_times[20] - receive_times[0], numbers[20])


def eight_channels(figure, command_name):
    """Draws 50 packages of 8 channels of 16 samples into `figure` as the
    command would."""
    rows, size = 50, 16
    numbers = np.arange(1, rows + 1, dtype=np.uint64)
    samples = np.arange(rows * 8 * size, dtype=np.int64).reshape(rows, 8, size) * 1000
    if command_name == "plot":
        recording = _plot.Recording(
            path="run.h5", attributes={"board_address": "127.0.7.1"}, channels=list(range(8)), numbers=numbers,
            receive_times=np.arange(rows) * 0.01, rows=range(rows),
            samples={c: samples[:, c, :].astype(np.int32) for c in range(8)},
        )
        _plot.draw(figure, recording)
        return
    meta = np.zeros(rows, varnel.META_DTYPE)
    meta["headerValue"] = numbers
    scope = _scope.Scope(figure, "127.0.7.1")
    scope.add(varnel.Batch(meta, np.zeros((rows, 8), np.uint32), samples.astype(np.uint32)), 0.0)
    board = types.SimpleNamespace(state=varnel.ConnectionState.RECEIVING, gaps=0, missing=0, reconnects=0,
                                  dropped=0)
    scope.draw(board, 0.0)


@pytest.mark.parametrize("command_name", ["scope", "plot"])
def test_eight_panels_keep_their_labels_apart(command_name):
    # The scope learns the channel count from the packages, the plot from
    # the recording.
    figure = _pictures.new_figure(None, "", 1 if command_name == "scope" else 8)
    FigureCanvasAgg(figure)
    eight_channels(figure, command_name)
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    assert len(figure.axes) == 8
    boxes = []  # (panel, extent) of the y label, the offset and every drawn y tick label
    for panel, ax in enumerate(figure.axes):
        bottom, top = ax.get_window_extent(renderer).intervaly
        for text in [ax.yaxis.label, ax.yaxis.get_offset_text()] + ax.get_yticklabels():
            box = text.get_window_extent(renderer)
            # The labels of ticks beyond the panel's limits are not drawn.
            beyond = text in ax.get_yticklabels() and not bottom - 1 <= (box.y0 + box.y1) / 2 <= top + 1
            if text.get_visible() and text.get_text() and not beyond:
                boxes.append((panel, box))
    for (a, box_a), (b, box_b) in itertools.combinations(boxes, 2):
        assert a == b or not box_a.overlaps(box_b), (a, b)


def test_a_file_format_matplotlib_cannot_write_is_refused_first(tmp_path, capsys):
    for argv in (["plot", str(tmp_path / "run.h5"), "-o", "x.xyz"], ["scope", REFUSING_ADDRESS, "--save", "x.XYZ"]):
        assert command.main(argv) == 1
        out, err = capsys.readouterr()
        assert out == ""  # nothing read, nothing connected
        ending = argv[-1].rsplit(".", 1)[1].lower()
        assert err.startswith("varnel {}: {}: matplotlib cannot write .{} files; ".format(argv[0], argv[-1], ending))
        assert "png" in err and err.count("\n") == 1


def test_plot_of_a_recording_damaged_inside_says_why_in_one_line(tmp_path, capsys):
    """A file that opens but fails while it is read (the index of /channels
    damaged, as a disk that filled during a metadata write can leave it):
    one line and status 1, not a traceback."""
    h5py = pytest.importorskip("h5py")
    path = tmp_path / "damaged.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("packages", data=np.zeros(3, dtype=[("headerValue", "<u8"), ("receiveTime", "<f8")]))
        f.create_group("channels").create_dataset("0", data=np.zeros((3, SAMPLES), np.uint32))
    data = bytearray(path.read_bytes())
    index = data.rindex(b"TREE")  # the B-tree of /channels, made after the root's
    data[index : index + 4] = b"XXXX"
    path.write_bytes(bytes(data))

    assert command.main(["plot", str(path), "-o", str(tmp_path / "damaged.png")]) == 1
    err = capsys.readouterr().err
    assert err.startswith("varnel plot: {}: cannot be read as a recording (".format(path)), err
    assert err.count("\n") == 1, err


def test_without_matplotlib_the_package_imports_and_the_commands_say_so():
    hide = "import sys; sys.modules['matplotlib'] = None; import varnel, runpy; "
    run = "runpy.run_module('varnel', run_name='__main__', alter_sys=True)"
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    for argv in (["scope", REFUSING_ADDRESS], ["plot", "run.h5"]):
        result = subprocess.run([sys.executable, "-c", hide + run] + argv, capture_output=True, text=True,
                                env=env, timeout=60)
        assert result.returncode == 1, result.stderr
        assert "varnel {}: drawing needs matplotlib".format(argv[0]) in result.stderr
        assert "python3-matplotlib" in result.stderr
