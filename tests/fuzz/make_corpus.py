#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers: the package fuzzer's into
tests/fuzz/corpus/, the framer fuzzer's into tests/fuzz/framer_corpus/;
with --stream STREAM SEED one package seed of the packages of a board's
byte stream (tests/data/make_captures.sh makes those of the capture
corpus).

A package seed is a sequence of records in the package fuzzer's input
format: control byte, header byte count, 36 header bytes, body byte count
(32-bit little-endian), body bytes.

A framer seed is the framer fuzzer's input: a package count byte, the
package sizes and then the read sizes, each 16-bit little-endian (see
FramerFuzzer.cpp).
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
HAND_OVER, POP_ONE, POP_TWO = 0x04, 0x10, 0x20


def package(flags=0, size=144, value=0, channels=2, status=0, types=(5, 9), data=16,
            dsp=3646, firmware=0x127, bios=0x40, version=1):
    header = struct.pack("<HHIQII8sI", version, flags, size, value, channels, status,
                         bytes(types).ljust(8, b"\0"), data)
    body = bytearray(max(size - 36, 0))
    if size >= 52:
        struct.pack_into("<III", body, 4, dsp, firmware, bios)
    if size >= 88:
        struct.pack_into("<dd", body, 36, 1.5, -2.25)
    for offset in range(92, len(body) - 3, 4):
        struct.pack_into("<I", body, offset, 0x01020304 + offset)
    return header, bytes(body)


def record(pkg, control=0, header_count=36, body_count=None):
    header, body = pkg
    if body_count is None:
        body_count = len(body)
    return bytes([control, header_count]) + header + struct.pack("<I", body_count) + body


SEEDS = {
    "example-144": record(package(flags=1), HAND_OVER | POP_ONE),
    "three-channels-40": record(package(size=168, channels=3, types=(1, 2, 3), data=40)),
    "header-only": record(package(size=36, channels=1, types=(7,), data=8)),
    "eight-channels": record(package(size=256, channels=8, types=range(8), data=128)),
    "no-channels": record(package(channels=0, types=(), data=16)),
    "stream-of-five": b"".join(
        record(package(value=i, flags=int(i == 4), status=1 << 30), POP_TWO) for i in range(5)),
    "old-board": record(package(dsp=1645, firmware=38, bios=0x3F)),
    "short-body": record(package(), body_count=98),
    "short-header": record(package(), header_count=35),
    "protocol-2": record(package(version=2)),
}



def framer(sizes, reads=()):
    data = bytes([len(sizes) - 1]) + b"".join(struct.pack("<H", size - 36) for size in sizes)
    return data + b"".join(struct.pack("<H", n) for n in reads)


FRAMER_SEEDS = {
    "large-then-header-only": framer([140, 65536, 36, 140]),
    "large-then-header-only-first-read-partial": framer([140, 65536, 36, 140], [1000]),
    "large-then-header-only-in-pieces": framer([65536, 36, 36, 37], [0, 20, 16, 1]),
    "large-back-to-back": framer([65536, 65536, 65536]),
    "boundary-sizes": framer([32767, 32768, 65535, 36, 52, 65500]),
    "boundary-sizes-small": framer([4096, 37, 36, 65536, 37]),
    "header-across-the-buffer-end": framer([65500, 140, 140], [65520]),
    "small-one-byte-at-a-time": framer([52, 36, 37, 140], [1] * 265),
}
def stream_seed(stream, every=4):
    """A seed of the packages of a board's byte stream (as varnel-board
    --replay --write-stream writes it), a hand-over with one package popped
    after every `every`-th; a package cut short ends it as it is."""
    out = bytearray()
    at, count = 0, 0
    while at < len(stream):
        header = stream[at:at + 36]
        size = struct.unpack_from("<I", header, 4)[0] if len(header) >= 8 else 0
        body = stream[at + 36:at + max(size, 36)]
        count += 1
        control = HAND_OVER | POP_ONE if count % every == 0 else 0
        out += bytes([control, len(header)]) + header.ljust(36, b"\0") + struct.pack("<I", len(body)) + body
        if len(header) < 36 or size < 36:
            break
        at += size
    return bytes(out)


def write(directory, seeds):
    out = os.path.join(HERE, directory)
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--stream":
        with open(sys.argv[2], "rb") as f:
            seed = stream_seed(f.read())
        with open(sys.argv[3], "wb") as f:
            f.write(seed)
        sys.exit(0)
    write("corpus", SEEDS)
    write("framer_corpus", FRAMER_SEEDS)
