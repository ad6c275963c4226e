#!/usr/bin/python3
"""Checks a recording of varnel-monitor --record against what the board sent.

The expected samples come from the test (the board's own generator), one
file per channel in the expected directory: <c>.u32, little-endian uint32,
package after package. Prints "recording ok" and exits 0 when everything
matches; otherwise prints each finding and exits 1.
"""
import argparse
import datetime
import os
import sys

import h5py
import numpy as np

META_ZERO = ["word36", "word52", "word56", "word60", "word64", "word68", "real72", "real80",
             "word88", "word92", "word96", "half100", "half102", "word104", "word108"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--expected", required=True)
    ap.add_argument("--packages", type=int, required=True)
    ap.add_argument("--first-number", type=int, required=True)
    ap.add_argument("--channels", type=int, required=True)
    ap.add_argument("--samples", type=int, required=True)
    ap.add_argument("--waveform-types", required=True)
    ap.add_argument("--address", required=True)
    ap.add_argument("--library-version", required=True)
    ap.add_argument("--package-counter", type=int, required=True)
    ap.add_argument("--wait-ms", type=int, required=True)
    ap.add_argument("--tcp-timeout", type=int, required=True)
    a = ap.parse_args()
    problems = []

    def expect(ok, text):
        if not ok:
            problems.append(text)

    n, s, channels = a.packages, a.samples, a.channels
    with h5py.File(a.file, "r") as f:
        attrs = dict(f.attrs)
        for name, value in [("board_address", a.address), ("library_version", a.library_version),
                            ("package_counter", a.package_counter), ("wait_ms", a.wait_ms),
                            ("tcp_timeout", a.tcp_timeout), ("packages", n), ("dropped_packages", 0),
                            ("skipped_packages", 0)]:
            expect(name in attrs and attrs[name] == value,
                   f"attribute {name}: {attrs.get(name)!r}, expected {value!r}")
        start = attrs.get("start_time", "")
        try:
            start_time = datetime.datetime.strptime(start, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
                tzinfo=datetime.timezone.utc).timestamp()
        except ValueError:
            problems.append(f"start_time {start!r} is not ISO 8601 UTC")
            start_time = None

        expect(sorted(f["channels"].keys()) == [str(c) for c in range(channels)],
               f"channels {sorted(f['channels'].keys())}")
        for c in range(channels):
            data = f[f"channels/{c}"]
            expect(data.dtype == np.uint32, f"channel {c}: dtype {data.dtype}")
            expect(data.shape == (n, s), f"channel {c}: shape {data.shape}, expected {(n, s)}")
            expect(data.maxshape == (None, s), f"channel {c}: maxshape {data.maxshape}")
            want = np.fromfile(os.path.join(a.expected, f"{c}.u32"), dtype="<u4").reshape(n, s)
            got = data[:]
            if got.shape == want.shape and not np.array_equal(got, want):
                rows, cols = np.nonzero(got != want)
                problems.append(f"channel {c}: {len(rows)} samples differ, first at package {rows[0]} "
                                f"sample {cols[0]}: {got[rows[0], cols[0]]} instead of {want[rows[0], cols[0]]}")

        p = f["packages"][:]
        expect(p.shape == (n,), f"packages: shape {p.shape}, expected {(n,)}")
        numbers = np.arange(a.first_number, a.first_number + n, dtype=np.uint64)
        expect(np.array_equal(p["headerValue"], numbers),
               f"headerValue {p['headerValue'][:5]}... expected {numbers[:5]}...")
        expect(np.all(p["statusWord"] == 0), "statusWord not 0")
        expect(np.all(p["dspVersion"] == 3646), "dspVersion not 3646")
        expect(np.all(p["firmwareVersion"] == 0x127), "firmwareVersion not 0x127")
        expect(np.all(p["biosVersion"] == 0x40), "biosVersion not 0x40")
        for name in META_ZERO:
            expect(np.all(p[name] == 0), f"{name} not 0")
        types = [int(t) for t in a.waveform_types.split(",")] + [0] * (8 - channels)
        expect(p["waveformTypes"].shape == (n, 8) and np.all(p["waveformTypes"] == types),
               f"waveformTypes {p['waveformTypes'][:1]}, expected {types}")
        times = p["receiveTime"]
        expect(np.all(np.diff(times) >= 0), "receiveTime goes back")
        # Each package has the time of the read that completed it, which
        # came before its hand-over (one read may feed several hand-overs,
        # and under load a few reads take all packages, so the times need
        # not be distinct); they are not the hand-overs' times.
        handed = p["handOverTime"]
        expect(np.all(times <= handed), "a package's receiveTime after its handOverTime")
        expect(n == 0 or np.any(times < handed), "every receiveTime is its hand-over's time")
        if start_time is not None and n:
            expect(start_time - 1 <= times[0] and times[-1] <= start_time + 600,
                   f"receiveTime {times[0]}..{times[-1]} not after start_time {start_time}")

    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"recording ok: {n} packages of {channels} ch x {s}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
