"""python3 -m varnel scope ADDRESS | plot FILE.h5: the stream and the
recordings as pictures.

Both commands draw with matplotlib, which the package itself does not
need; without it they say so and end with exit status 1, as they do on
any other failure (2: a wrong command line)."""

import argparse
import sys

from ._errors import CommandError, Error


def _channels(text):
    """Channels as given on the command line: "0,2-3" -> [0, 2, 3]."""
    channels = set()
    for part in text.split(","):
        first, _, last = part.strip().partition("-")
        try:
            first = int(first)
            last = int(last) if last else first
        except ValueError:
            raise argparse.ArgumentTypeError("channels are numbers and ranges such as 0,2-3: {!r}".format(text))
        if not 0 <= first <= last <= 7:
            raise argparse.ArgumentTypeError("channels are 0 to 7, ranges from low to high: {!r}".format(text))
        channels.update(range(first, last + 1))
    return sorted(channels)


def _packages(text):
    """Rows as a slice, as Python counts them: "100:200", "-500:", "7"."""
    try:
        parts = [int(p) if p.strip() else None for p in text.split(":")]
    except ValueError:
        parts = []
    if len(parts) == 1 and parts[0] is not None:
        return slice(parts[0], parts[0] + 1 or None)
    if len(parts) != 2:
        raise argparse.ArgumentTypeError("a range is START:STOP, either may be left out: {!r}".format(text))
    return slice(*parts)


def _seconds(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be more than 0: {!r}".format(text))
    return value


def parser():
    p = argparse.ArgumentParser(prog="python3 -m varnel", description="A board's data stream as pictures.")
    commands = p.add_subparsers(dest="command", required=True, metavar="{scope,plot}")

    s = commands.add_parser(
        "scope",
        help="a live view of a board's stream",
        description="A live view of a board's stream, one panel per channel: the samples of the latest package, "
        "or with --seconds those of the last S seconds. The title shows the state, packages/s and the gaps in "
        "the package numbers. Closing the window disconnects. Without a display, or with --save, it watches "
        "for --duration seconds and writes the last view to a PNG file (scope.png without --save).",
    )
    s.add_argument("address", help="the board's IPv4 or IPv6 address or host name (port 63751)")
    s.add_argument("--channels", type=_channels, metavar="LIST", help="channels to show, e.g. 0,2-3 (default: all)")
    s.add_argument("--seconds", type=_seconds, metavar="S", help="show the samples of the last S seconds")
    s.add_argument("--save", metavar="FILE.png", help="no window: write the view to FILE.png after --duration s")
    s.add_argument("--duration", type=_seconds, default=2.0, metavar="S",
                   help="how long to watch without a window (default: 2)")
    s.add_argument("--package-counter", type=int, default=10, metavar="N", help="packages per hand-over (default: 10)")
    s.add_argument("--tcp-timeout", type=int, default=10, metavar="S",
                   help="seconds the connect waits for the board (default: 10)")

    r = commands.add_parser(
        "plot",
        help="plot a recording of varnel-monitor --record",
        description="Plots a recording of varnel-monitor --record, one panel per channel over the packages' "
        "receive times, and prints a summary (packages, gaps, duration). Without -o it shows a window, or "
        "without a display writes FILE.png beside FILE.h5.",
    )
    r.add_argument("file", metavar="FILE.h5", help="the recording")
    r.add_argument("-o", "--output", metavar="FILE.png", help="write the picture to FILE.png instead of a window")
    r.add_argument("--channels", type=_channels, metavar="LIST", help="channels to plot, e.g. 0,2-3 (default: all)")
    r.add_argument("--packages", type=_packages, metavar="RANGE",
                   help="the recording's packages to plot, START:STOP counted from 0 as in Python (--packages=-500: "
                   "are the last 500; default: all)")
    return p


def run(argv=None):
    """Runs the command line `argv` and returns its figure; raises on
    failure."""
    return _run(parser().parse_args(argv))


def _run(options):
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CommandError(
            "drawing needs matplotlib, which is not installed here "
            "(Debian, Ubuntu: apt install python3-matplotlib; elsewhere: pip install matplotlib)"
        ) from None
    if options.command == "scope":
        from . import _scope

        return _scope.run(options)
    from . import _plot

    return _plot.run(options)


def main(argv=None):
    """Runs the command line; returns the exit status."""
    options = parser().parse_args(argv)
    try:
        _run(options)
    except (CommandError, Error, OSError) as e:
        print("varnel {}: {}".format(options.command, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
