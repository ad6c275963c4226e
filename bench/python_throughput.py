#!/usr/bin/python3
"""Packages per second of the Python package's batch path (Board.read)
beside the C++ monitor (varnel-monitor), in turns on the same simulated
board, for small (1 channel x 2 samples) and 16 KiB packages.

    cmake --preset x64-release && cmake --build --preset x64-release
    /usr/bin/python3 bench/python_throughput.py            # 3 rounds of 3 s
    /usr/bin/python3 bench/python_throughput.py --rounds 5 --seconds 5

Both receivers use the library's default settings (25 packages per
hand-over, 250 ms) and run as processes of their own against varnel-board
--fast on 127.0.12.1 (small) and 127.0.12.2 (16 KiB), port 63751; the
board serves them one after the other, and the order alternates from round
to round. The monitor's rate is its summary's "packages:" over its
"duration:"; the Python receiver counts what read() returned in the same
way (time from the connect to the stop, packages handed over by the
disconnect included, packages it dropped because it fell behind not). The
goal is the median ratio: at least 0.5 for the small packages, 0.8 for the
16 KiB ones. The figures move with the machine's load, printed at the start
and the end.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, address, board options, bytes per package, goal (Python / C++)
CASES = [
    ("1 ch x 2 samples", "127.0.12.1", ["--channels", "1", "--samples", "2"], 128 + 4 * 2, 0.5),
    ("16 KiB (4 ch x 1016)", "127.0.12.2", ["--channels", "4", "--samples", "1016"], 128 + 4 * 4064, 0.8),
]

# The Python receiver's queue: about 64 MB of packages, at least 1000.
QUEUE_BYTES = 64 * 10**6


def receive(address, seconds, package_bytes):
    """The Python receiver (run in a process of its own): reads batches
    for `seconds` and prints its figures as JSON."""
    sys.path.insert(0, os.path.join(REPOSITORY, "python"))
    import warnings

    import varnel

    # Packages dropped while the receiver was held up are not counted as
    # read, and are reported beside the rate.
    warnings.simplefilter("ignore", varnel.PackagesDroppedWarning)
    maxsize = max(1000, QUEUE_BYTES // (package_bytes + 96 + 32))
    board = varnel.Board(address, maxsize=maxsize)
    packages = 0
    board.connect()
    start = time.monotonic()
    end = start + seconds
    while time.monotonic() < end:
        packages += len(board.read(timeout=0.25))
    elapsed = time.monotonic() - start
    board.disconnect()
    packages += len(board.read(timeout=0))
    print(json.dumps({"packages": packages, "seconds": elapsed, "dropped": board.dropped}))


def summary_value(text, key):
    for line in text.splitlines():
        if line.startswith(key + ":"):
            return float(line[len(key) + 1 :].split()[0])
    raise ValueError("no '{}:' line in the monitor's summary:\n{}".format(key, text))


def run_monitor(monitor, address, seconds):
    run = subprocess.run(
        [monitor, address, "--duration", str(seconds), "--quiet"],
        capture_output=True,
        text=True,
        timeout=seconds + 60,
    )
    if run.returncode != 0:
        raise RuntimeError("varnel-monitor failed ({}):\n{}{}".format(run.returncode, run.stdout, run.stderr))
    return summary_value(run.stdout, "packages") / summary_value(run.stdout, "duration")


def run_python(library, address, seconds, package_bytes):
    env = dict(os.environ, VARNEL_LIBRARY=library, PYTHONDONTWRITEBYTECODE="1")
    run = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--receive", address, str(seconds), str(package_bytes)],
        capture_output=True,
        text=True,
        env=env,
        timeout=seconds + 60,
    )
    if run.returncode != 0:
        raise RuntimeError("the Python receiver failed ({}):\n{}{}".format(run.returncode, run.stdout, run.stderr))
    figures = json.loads(run.stdout)
    return figures["packages"] / figures["seconds"], figures["dropped"]


def start_board(program, address, options):
    board = subprocess.Popen(
        [program, "--bind", address, "--fast"] + options,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    for line in board.stderr:  # ends when the board does
        if "listening on" in line:
            return board
    board.wait(timeout=10)
    raise RuntimeError("varnel-board did not start on {} (exit {})".format(address, board.returncode))


def stop(board):
    board.terminate()
    try:
        board.wait(timeout=10)
    except subprocess.TimeoutExpired:
        board.kill()
        board.wait(timeout=10)
    board.stderr.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(REPOSITORY, "build", "x64-release"),
                        help="build tree with the library and the tools (default: build/x64-release)")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of each run (default 3)")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each receiver per case (default 3)")
    parser.add_argument("--receive", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.receive:
        address, seconds, package_bytes = args.receive
        receive(address, float(seconds), int(package_bytes))
        return 0

    names = ("libVarnel_x64.so", "libVarnel_x64d.so")
    library = next((os.path.join(args.build, "src", n) for n in names
                    if os.path.isfile(os.path.join(args.build, "src", n))), None)
    board_program = os.path.join(args.build, "tools", "varnel-board")
    monitor = os.path.join(args.build, "tools", "varnel-monitor")
    if library is None or not os.access(monitor, os.X_OK) or not os.access(board_program, os.X_OK):
        print("no library, varnel-board or varnel-monitor in {}; build x64-release first".format(args.build))
        return 2

    print("library {}; {} rounds of {:.1f} s; load average {:.2f} {:.2f} {:.2f}".format(
        library, args.rounds, args.seconds, *os.getloadavg()))
    failed = False
    for name, address, options, package_bytes, goal in CASES:
        board = start_board(board_program, address, options)
        try:
            ratios = []
            print("\n{} ({} bytes per package)".format(name, package_bytes))
            print("  round    C++ monitor pkg/s   Python read() pkg/s   Python/C++   Python's drops")
            for round_number in range(args.rounds):
                # The order alternates, so that a trend in the load falls on both.
                if round_number % 2 == 0:
                    cpp = run_monitor(monitor, address, args.seconds)
                    python, dropped = run_python(library, address, args.seconds, package_bytes)
                else:
                    python, dropped = run_python(library, address, args.seconds, package_bytes)
                    cpp = run_monitor(monitor, address, args.seconds)
                ratios.append(python / cpp)
                print("  {:5d}   {:17,.0f}   {:19,.0f}   {:10.2f}   {:13,d}".format(
                    round_number + 1, cpp, python, ratios[-1], dropped))
            median = statistics.median(ratios)
            result = "PASS" if median >= goal else "MISS"
            failed |= result == "MISS"
            print("  median ratio {:.2f} (goal at least {}): {}".format(median, goal, result))
        finally:
            stop(board)
    print("\nload average at the end {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
