"""Times rowmint.main() on a full-size image against two baselines.

    python bench/bench_main.py [--runs N]

The image fills every flash row from 0x022 to 0x1FF with 16-byte data
records (about 7,650 HEX lines, CR LF line ends as GNU objcopy writes them).
The object-copy tool is left out: the module's `os` is rebound to a stand-in
whose `system` returns 0 at once, and the generated HEX file is converted
directly.  Baselines:

  (a) literal  the pure-Python rendering of the original procedure
               (tests/pure_reference.py, its row lookup scans the table);
  (b) I/O floor  reading the HEX file twice line by line and writing the
               output's lines through Python file objects, with no parsing.

Prints the median of N runs of each, in milliseconds, and the ratios
literal/native (aim: at least 100) and native/floor (aim: at most 1.5).
"""

import argparse
import gc
import os
import random
import statistics
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import rowmint  # noqa: E402
from pure_reference import convert_literal  # noqa: E402

FIRST_ROW, LAST_ROW = 0x022, 0x1FF
RECORD_BYTES = 16
SEGMENT_RECORD = ":020000021000EC"
END_RECORD = ":00000001FF"


class StandInOs(types.ModuleType):
    """The real os, except that `system` runs nothing."""

    def __getattr__(self, name):
        return getattr(os, name)


def stand_in_os():
    fake = StandInOs("os")
    fake.system = lambda command: 0
    return fake


def record(address, kind, data):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum


def full_image_lines(seed=2200):
    rng = random.Random(seed)
    lines = []
    for row in range(FIRST_ROW, LAST_ROW + 1):
        if row == 0x100:
            lines.append(SEGMENT_RECORD)
        for offset in range(0, 256, RECORD_BYTES):
            data = bytes(rng.getrandbits(8) for _ in range(RECORD_BYTES))
            lines.append(record(((row & 0xFF) << 8) | offset, 0, data))
    lines.append(END_RECORD)
    return lines


def run_native(paths):
    sys.argv = ["rowmint", "objcopy", paths["elf"], paths["hex"], paths["native"]]
    rowmint.main()


def run_literal(paths):
    convert_literal(paths["hex"], paths["literal"])


def io_floor(paths, output_lines):
    for _ in range(2):
        with open(paths["hex"]) as f:
            for line in f:
                pass
    with open(paths["floor"], "w") as out:
        for line in output_lines:
            out.write(line)
            out.write("\n")


def median_ms(actions, runs):
    """Median time of each action in ms; the actions take turns, so that a
    change in the machine's load falls on all of them alike."""
    times = [[] for _ in actions]
    for _ in range(runs):
        for action, spent in zip(actions, times):
            gc.collect()
            gc.disable()  # as timeit does: no collection inside a timed run
            try:
                begin = time.perf_counter()
                action()
                spent.append(time.perf_counter() - begin)
            finally:
                gc.enable()
    return [statistics.median(spent) * 1000.0 for spent in times]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=11, help="runs of each (default 11)")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    saved_os, saved_argv = rowmint.os, sys.argv
    rowmint.os = stand_in_os()
    try:
        with tempfile.TemporaryDirectory(prefix="rowmint-bench-") as folder:
            paths = {name: os.path.join(folder, name + ext) for name, ext in (
                ("elf", ".elf"), ("hex", ".hex"), ("native", ".cyacd"),
                ("literal", ".cyacd"), ("floor", ".cyacd"))}
            lines = full_image_lines()
            with open(paths["hex"], "w", newline="\r\n") as f:
                f.write("\n".join(lines) + "\n")

            run_native(paths)
            run_literal(paths)
            with open(paths["native"], "rb") as f:
                native_bytes = f.read()
            with open(paths["literal"], "rb") as f:
                literal_bytes = f.read()
            assert native_bytes == literal_bytes, "native output differs from the literal rendering"
            with open(paths["native"]) as f:
                output_lines = f.read().splitlines()

            native, literal, floor = median_ms(
                [lambda: run_native(paths), lambda: run_literal(paths),
                 lambda: io_floor(paths, output_lines)], args.runs)
    finally:
        rowmint.os, sys.argv = saved_os, saved_argv

    print("image: %d HEX lines, %d row lines, %d runs each (median)"
          % (len(lines), len(output_lines) - 1, args.runs))
    print("native main()        %10.2f ms" % native)
    print("(a) literal Python   %10.2f ms" % literal)
    print("(b) I/O floor        %10.2f ms" % floor)
    print("literal / native     %10.1f x  (aim >= 100)" % (literal / native))
    print("native / floor       %10.2f x  (aim <= 1.5)" % (native / floor))
    return 0


if __name__ == "__main__":
    sys.exit(main())
