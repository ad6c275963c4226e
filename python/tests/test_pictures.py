"""The scope and the plot command, drawn without a window (Agg): the
panels, the data in them against the known signals of varnel-board, and
the titles; and what the commands say without matplotlib."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

from conftest import BOARD_PROGRAM, PYTHON_DIR, REFUSING_ADDRESS

pytest.importorskip("matplotlib")
from matplotlib.image import imread  # noqa: E402

from varnel import __main__ as command  # noqa: E402

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

    import h5py

    with h5py.File(recording, "r") as f:
        receive_times = f["packages"]["receiveTime"]
    label = figure.axes[-1].xaxis.get_major_formatter()(20.5, 0)
    assert label == "{:.3f}\n{}".format(receive_times[20] - receive_times[0], numbers[20])


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
