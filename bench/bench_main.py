"""Times rowmint.main() on a full-size image against two baselines.

    python bench/bench_main.py [--runs N] [--no-scale] [--no-memory] [--no-callgrind]

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
literal/native (aim: at least 100) and native/floor (aim: at most 0.7).

Then, unless told not to:
- scale: the full image followed by records outside flash (extended linear
  bases 0x20000 and up) to 3, 10 and 40 MB, native against the I/O floor of
  the same file (aim: at most 0.6);
- memory: the peak growth of a process's resident set over one conversion
  of the image followed by records outside flash, to 40 MB (read once,
  whole) and 100 MB (past the 64 MiB that is read once: the text path,
  whose memory should not grow with the file);
- callgrind (when valgrind is on PATH): instructions per conversion of the
  full image with LF and with CR LF line ends, taken as a process of 21
  conversions less one of 1, divided by 20; they hold still on a noisy
  machine, where times do not.
"""

import argparse
import gc
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import rowmint  # noqa: E402

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
            if row == LAST_ROW and offset >= 0xB0:
                # The metadata area reserved as an image built for the
                # bootloader reserves it: zero placeholders in a run of
                # their own from byte 192 on, byte 191 left unset.
                data = data[:-1] if offset == 0xB0 else bytes(RECORD_BYTES)
            lines.append(record(((row & 0xFF) << 8) | offset, 0, data))
    lines.append(END_RECORD)
    return lines


def with_records_outside_flash(image_lines, megabytes, line_end):
    """The image, then 16-byte records under bases 0x20000, 0x30000, ...
    up to the given file size, then the end-of-file record."""
    lines = image_lines[:-1]
    size = sum(len(line) + len(line_end) for line in lines)
    data = bytes(range(RECORD_BYTES))
    upper = 2
    while size < megabytes * 1000000:
        lines.append(record(0, 4, upper.to_bytes(2, "big")))
        for address in range(0, 0x10000, RECORD_BYTES):
            lines.append(record(address, 0, data))
        size += (len(lines[-1]) + len(line_end)) * 4097
        upper += 1
    lines.append(END_RECORD)
    return lines


def write_hex(path, lines, line_end):
    with open(path, "w", newline=line_end) as f:
        f.write("\n".join(lines) + "\n")


def run_native(paths):
    sys.argv = ["rowmint", "objcopy", paths["elf"], paths["hex"], paths["native"]]
    rowmint.main()


def run_literal(paths):
    from pure_reference import convert_literal
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


def output_lines_of(path):
    with open(path) as f:
        return f.read().splitlines()


def full_image_times(folder, runs):
    paths = {name: os.path.join(folder, name + ext) for name, ext in (
        ("elf", ".elf"), ("hex", ".hex"), ("native", ".cyacd"),
        ("literal", ".cyacd"), ("floor", ".cyacd"))}
    lines = full_image_lines()
    write_hex(paths["hex"], lines, "\r\n")

    run_native(paths)
    run_literal(paths)
    with open(paths["native"], "rb") as f:
        native_bytes = f.read()
    with open(paths["literal"], "rb") as f:
        literal_bytes = f.read()
    assert native_bytes == literal_bytes, "native output differs from the literal rendering"
    output_lines = output_lines_of(paths["native"])

    native, literal, floor = median_ms(
        [lambda: run_native(paths), lambda: run_literal(paths),
         lambda: io_floor(paths, output_lines)], runs)
    print("image: %d HEX lines, %d row lines, %d runs each (median)"
          % (len(lines), len(output_lines) - 1, runs))
    print("native main()        %10.2f ms" % native)
    print("(a) literal Python   %10.2f ms" % literal)
    print("(b) I/O floor        %10.2f ms" % floor)
    print("literal / native     %10.1f x  (aim >= 100)" % (literal / native))
    print("native / floor       %10.2f x  (aim <= 0.7)" % (native / floor))


def scale_times(folder, runs):
    """The same image with ever more records outside flash behind it."""
    image = full_image_lines()
    paths = {name: os.path.join(folder, name + ext) for name, ext in (
        ("elf", ".elf"), ("hex", ".hex"), ("native", ".cyacd"), ("floor", ".cyacd"))}
    print("scale: the image, then records outside flash (CR LF), %d runs each (median)" % runs)
    for megabytes in (3, 10, 40):
        write_hex(paths["hex"], with_records_outside_flash(image, megabytes, "\r\n"), "\r\n")
        run_native(paths)
        output_lines = output_lines_of(paths["native"])
        native, floor = median_ms([lambda: run_native(paths), lambda: io_floor(paths, output_lines)], runs)
        size = os.path.getsize(paths["hex"]) / 1e6
        print("  %5.1f MB  native %8.1f ms  floor %8.1f ms  native / floor %5.2f x  (aim <= 0.6)"
              % (size, native, floor, native / floor))


def peak_growth_mb(hex_path):
    """How far one conversion in a fresh process raises its peak resident set."""
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--peak", hex_path],
                          check=True, stdout=subprocess.PIPE, universal_newlines=True)
    return float(done.stdout)


def memory_peaks(folder):
    image = full_image_lines()
    path = os.path.join(folder, "large.hex")
    print("memory: peak resident set growth over one conversion (CR LF)")
    for megabytes in (40, 100):
        write_hex(path, with_records_outside_flash(image, megabytes, "\r\n"), "\r\n")
        print("  %5.1f MB  %6.1f MB" % (os.path.getsize(path) / 1e6, peak_growth_mb(path)))
    os.remove(path)


def peak_kb():
    """The process's peak resident set in KB. /proc's VmHWM starts afresh at
    exec, where ru_maxrss keeps the peak of the process that forked it."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KB on Linux


def convert_measuring_peak(hex_path):
    before = peak_kb()
    folder = tempfile.mkdtemp(prefix="rowmint-peak-")
    rowmint.os = stand_in_os()
    try:
        run_native({"elf": os.path.join(folder, "in.elf"), "hex": hex_path, "native": os.path.join(folder, "out.cyacd")})
    finally:
        shutil.rmtree(folder)
    print((peak_kb() - before) / 1024.0)


def instructions(hex_path, conversions):
    """Instructions callgrind counts for a process making `conversions` conversions."""
    with tempfile.TemporaryDirectory(prefix="rowmint-callgrind-") as folder:
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        sys.executable, os.path.abspath(__file__), "--convert", hex_path, str(conversions)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            totals = re.search(r"^(?:summary|totals): *(\d+)", f.read(), re.MULTILINE)
    return int(totals.group(1))


def callgrind_counts(folder):
    if shutil.which("valgrind") is None:
        print("callgrind: valgrind is not on PATH, instructions not counted")
        return
    lines = full_image_lines()
    print("callgrind: instructions per conversion of the image ((21 - 1) / 20)")
    counts = {}
    for name, line_end in (("LF", "\n"), ("CR LF", "\r\n")):
        path = os.path.join(folder, name.replace(" ", "") + ".hex")
        write_hex(path, lines, line_end)
        counts[name] = (instructions(path, 21) - instructions(path, 1)) / 20
        print("  %-5s %12.0f" % (name, counts[name]))
    print("  CR LF / LF %6.3f x  (aim <= 1.05)" % (counts["CR LF"] / counts["LF"]))


def convert_repeatedly(hex_path, conversions):
    """The process callgrind counts: nothing but the conversions differs
    between its runs."""
    folder = tempfile.mkdtemp(prefix="rowmint-convert-")
    paths = {"elf": os.path.join(folder, "in.elf"), "hex": hex_path, "native": os.path.join(folder, "out.cyacd")}
    rowmint.os = stand_in_os()
    try:
        for _ in range(conversions):
            run_native(paths)
    finally:
        shutil.rmtree(folder)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=11, help="runs of each (default 11)")
    parser.add_argument("--no-scale", action="store_true", help="leave out the 3, 10 and 40 MB files")
    parser.add_argument("--no-memory", action="store_true", help="leave out the peak memory of large files")
    parser.add_argument("--no-callgrind", action="store_true", help="leave out the instruction counts")
    parser.add_argument("--convert", nargs=2, metavar=("HEX", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--peak", metavar="HEX", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.peak:
        convert_measuring_peak(args.peak)
        return 0
    if args.convert:
        convert_repeatedly(args.convert[0], int(args.convert[1]))
        return 0
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    saved_os, saved_argv = rowmint.os, sys.argv
    rowmint.os = stand_in_os()
    try:
        with tempfile.TemporaryDirectory(prefix="rowmint-bench-") as folder:
            full_image_times(folder, args.runs)
            if not args.no_scale:
                scale_times(folder, max(3, args.runs // 4))
            if not args.no_memory:
                memory_peaks(folder)
            if not args.no_callgrind:
                callgrind_counts(folder)
    finally:
        rowmint.os, sys.argv = saved_os, saved_argv
    return 0


if __name__ == "__main__":
    sys.exit(main())
