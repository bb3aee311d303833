"""Reference, block and memory growth of the extension over thousands of
conversions and `replace` calls, successful and failing.

Run it with a debug interpreter, whose sys.gettotalrefcount() counts every
reference taken and dropped, the extension's own included (built against the
3.7 limited API, its Py_INCREF/Py_DECREF update _Py_RefTotal inline):

    python3.11-dbg tests/memory/refleak_check.py [--rounds N] [--warmup N] [--repeat N]

dev/refleak.sh builds the extension for Debian's python3.11-dbg and runs this.

Every round runs each case --repeat times; the first --warmup rounds fill the
interpreter's caches and are not judged. After each round the figures are
printed: the total reference count, the allocated pymalloc blocks, the bytes
malloc holds (glibc's mallinfo2, which sees the C++ core's own heap) and the
resident set size. The check fails if any of them grew by more than its
tolerance over the judged rounds. A case that leaks once per call grows the
counts by at least --repeat a round, far above the tolerances.

Not collected by pytest (no test_ prefix): it is a standalone program.
"""

import argparse
import array
import binascii
import codecs
import ctypes
import ctypes.util
import gc
import os
import subprocess
import sys
import tempfile
import time
import types
import warnings

import rowmint

# ---------------------------------------------------------------- HEX text


def record(address, data=b"", kind=0):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF)


COUNTING = bytes(range(16))
SEGMENT = ":020000021000EC"
END = ":00000001FF"


def text(*lines, end="\n"):
    return "".join(line + end for line in lines)


def image(rows):
    data = bytes((i * 13 + 5) & 0xFF for i in range(rows * 256))
    return [record(0x2200 + i, data[i:i + 16]) for i in range(0, len(data), 16)]


HEX_FILES = {
    # converted
    "small": text(record(0x2200, COUNTING), record(0x22F8, COUNTING), SEGMENT, record(0x0500, b"\xAB\xCD"), END),
    "rows40": text(*image(40), END, end="\r\n"),
    "revisits": text(record(0x3000, b"\x02"), record(0x2200, b"\x01"), record(0x3010, b"\x03"),
                     record(0x21F8, COUNTING), SEGMENT, record(0x0100, b"\x11"), record(0xFF00, b"\x01"), END, ""),
    "unicode_space": "\u3000" + record(0x2200, COUNTING) + "\u2028\n\xa0" + END + "\n",
    "lower_case": text(record(0x2200, COUNTING).lower(), record(0xFF10, b"\xA0\xB0").lower(), END),
    # refused, one of each kind
    "bad_extended": text(record(0x2200, COUNTING), ":0400000210000000EA", END),
    "short_header": text(record(0x2200, COUNTING), ":10"),
    "empty_line": text(record(0x2200, COUNTING), ""),
    "non_hex_header": text(record(0x2200, COUNTING), ":1G220000"),
    "odd_header": text(record(0x2200, COUNTING), ":1022000"),
    "non_hex_data": text(":10220000" + "0G" * 16 + "00"),
    "short_data": text(record(0x2200, COUNTING), ":10230000000102030405060708090A0B0C0D0E"),
    "no_image": text(record(0x2100, COUNTING), END),
    "past_flash": text(SEGMENT, record(0xFF00, COUNTING), record(0xFFF8, COUNTING)),
    "below_second_segment": text(SEGMENT, record(0x0100, b"\x01"), record(0, b"\x00\x00", 4), record(0x2200, b"\x01")),
    "odd_base": text(record(0, b"\x02\x20", 2), record(0x0000, b"\x01")),
    "after_last_row": text(SEGMENT, record(0xFF00, b"\x01"), record(0xFE00, b"\x01")),
    "non_ascii_digits": ":02220000\u0660\u0661\u0662\u066344\n",
    # past the first 64 KiB read of the file: the text turns non-ASCII, then a bad record
    "late_error": text(*(image(40)[:2000] + ["\u00a0" + record(0x2900, b"\x01"), ":0400000210000000EA"])),
    "late_unicode": text(*(image(40)[:2000] + ["\u3000" + record(0x2900, b"\x01") + "\u2028"] + image(40)[2000:]
                           + [END])),
    # records that are not whole and intact, and a file cut short
    "no_colon": text(record(0x2200, COUNTING), ";" + record(0x2300, COUNTING)[1:], END),
    "no_checksum": text(record(0x2200, COUNTING), record(0x2300, COUNTING)[:-2], END),
    "past_checksum": text(record(0x2200, COUNTING), record(0x2300, COUNTING) + "00", END),
    "wrong_checksum": text(record(0x2200, COUNTING), record(0x2300, COUNTING)[:-2] + "00", END),
    "cut_short": text(record(0x2200, COUNTING), record(0x2300, COUNTING)),
    # a row file where the tool would write its HEX file
    "row_file": text("256A11B50000", record(0x2200, COUNTING)),
}

# ---------------------------------------------------------------- stand-ins


# The tests' own stand-ins: an os that delegates to the real one, and the
# exception they raise to end main() at a chosen point.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import Stop, make_os as stand_in_os  # noqa: E402


def stopping_system(command):
    raise Stop(command)


def refusing_replace(source, target):
    raise PermissionError("refused")


HEX_DECODER = codecs.getdecoder("hex")


def failing_decoder(data):
    raise Stop("decoder")


def bytearray_decoder(data):
    return bytearray(HEX_DECODER(data)[0]), len(data)


def odd_decoder(data):
    return ("not bytes", len(data))


OS_QUIET = stand_in_os(lambda command: 0)
OS_STATUS_256 = stand_in_os(lambda command: 256)
OS_STATUS_9 = stand_in_os(lambda command: 9)
OS_NT_1 = stand_in_os(lambda command: 1, name="nt")
OS_NONE = stand_in_os(lambda command: None)
OS_STOP = stand_in_os(stopping_system)
OS_REFUSE = stand_in_os(lambda command: 0, replace=refusing_replace)
CODECS_COUNTING = types.SimpleNamespace(getdecoder=lambda name: HEX_DECODER)
CODECS_FAILING = types.SimpleNamespace(getdecoder=lambda name: failing_decoder)
CODECS_ODD = types.SimpleNamespace(getdecoder=lambda name: odd_decoder)
CODECS_BYTEARRAY = types.SimpleNamespace(getdecoder=lambda name: bytearray_decoder)
SIX_PY2 = types.SimpleNamespace(PY2=True, PY3=True)
SIX_NEITHER = types.SimpleNamespace(PY2=False, PY3=False)
SIX_NO_FLAGS = types.SimpleNamespace(PY2=False)
MISSING = object()

# ---------------------------------------------------------------- the cases


def conversion(hex_name, expect=None, os_=OS_QUIET, argv=None, **namespace):
    """One main() call on a HEX file, with names of the module's namespace
    rebound for the call; `expect` is the exception type it must raise."""

    def run():
        sys.argv = argv if argv is not None else ["rowmint", "tool", "in.elf", hex_name + ".hex", "out.cyacd"]
        saved = {name: rowmint.__dict__.get(name, MISSING) for name in list(namespace) + ["os"]}
        rowmint.os = os_
        for name, value in namespace.items():
            if value is MISSING:
                del rowmint.__dict__[name]
            else:
                rowmint.__dict__[name] = value
        try:
            try:
                rowmint.main()
            except Exception as exc:
                if expect is None or not isinstance(exc, expect):
                    raise
            else:
                if expect is not None:
                    raise AssertionError("%s: no %s raised" % (hex_name, expect.__name__))
        finally:
            for name, value in saved.items():
                if value is MISSING:
                    rowmint.__dict__.pop(name, None)
                else:
                    rowmint.__dict__[name] = value

    return run


def recording_replace(*args, **kwargs):
    return ORIGINAL_REPLACE(*args, **kwargs)


ORIGINAL_REPLACE = rowmint.replace

CONVERSIONS = {
    "small": conversion("small"),
    "40 rows, CRLF": conversion("rows40"),
    "revisited rows": conversion("revisits"),
    "unicode whitespace": conversion("unicode_space"),
    "unicode whitespace late": conversion("late_unicode"),
    "lower case": conversion("lower_case"),
    "bytes row-file path": conversion("small", argv=["rowmint", "tool", "in.elf", "small.hex", b"out.cyacd"]),
    "substituted replace": conversion("small", replace=recording_replace),
    "substituted decoder": conversion("small", codecs=CODECS_COUNTING),
    "bad extended address": conversion("bad_extended", ValueError),
    "short header": conversion("short_header", IndexError),
    "empty line": conversion("empty_line", IndexError),
    "non-hex header": conversion("non_hex_header", binascii.Error),
    "odd-length header": conversion("odd_header", binascii.Error),
    "non-hex data": conversion("non_hex_data", binascii.Error),
    "record short of its count": conversion("short_data", ValueError),
    "no image data": conversion("no_image", ValueError),
    "past the end of flash": conversion("past_flash", ValueError),
    "non-ASCII digits": conversion("non_ascii_digits", ValueError),
    "error after non-ASCII text": conversion("late_error", ValueError),
    "record without ':'": conversion("no_colon", ValueError),
    "record without its checksum": conversion("no_checksum", ValueError),
    "record past its checksum": conversion("past_checksum", ValueError),
    "wrong record checksum": conversion("wrong_checksum", ValueError),
    "file cut short": conversion("cut_short", ValueError),
    "wrong checksum, substituted decoder": conversion("wrong_checksum", ValueError, codecs=CODECS_BYTEARRAY),
    "tool status 256": conversion("small", subprocess.CalledProcessError, OS_STATUS_256),
    "tool killed": conversion("small", subprocess.CalledProcessError, OS_STATUS_9),
    "tool status on nt": conversion("small", subprocess.CalledProcessError, OS_NT_1),
    "tool returns None, no HEX": conversion("missing", FileNotFoundError, OS_NONE),
    "tool raises": conversion("small", Stop, OS_STOP),
    "missing HEX file": conversion("missing", FileNotFoundError),
    "missing row-file folder": conversion("small", FileNotFoundError,
                                          argv=["rowmint", "tool", "in.elf", "small.hex", "no/such/out.cyacd"]),
    "row-file folder is a file": conversion("small", NotADirectoryError,
                                            argv=["rowmint", "tool", "in.elf", "small.hex", "small.hex/out.cyacd"]),
    "HEX path names the ELF": conversion("small", ValueError,
                                         argv=["rowmint", "tool", "small.hex", "./small.hex", "out.cyacd"]),
    "HEX path names a row file": conversion("row_file", ValueError),
    "missing HEX folder": conversion("small", FileNotFoundError,
                                     argv=["rowmint", "tool", "in.elf", "no/such/x.hex", "out.cyacd"]),
    "row file through a link": conversion("small", argv=["rowmint", "tool", "in.elf", "small.hex", "linked.cyacd"]),
    "final rename refused": conversion("small", PermissionError, OS_REFUSE),
    "short argv": conversion("small", IndexError, argv=["rowmint", "tool", "in.elf"]),
    "non-str argv": conversion("small", TypeError, argv=["rowmint", "tool", 5, "small.hex", "out.cyacd"]),
    "decoder raises": conversion("small", Stop, codecs=CODECS_FAILING),
    "decoder returns no bytes": conversion("small", TypeError, codecs=CODECS_ODD),
    "six with both flags": conversion("small", TypeError, six=SIX_PY2),
    "six with neither flag": conversion("small", UnboundLocalError, six=SIX_NEITHER),
    "six without PY3": conversion("small", AttributeError, six=SIX_NO_FLAGS),
    "six missing": conversion("small", NameError, six=MISSING),
}


def main_with_arguments():
    for args, kwargs in (((1,), {}), ((), {"x": 1})):
        try:
            rowmint.main(*args, **kwargs)
        except TypeError:
            pass
        else:
            raise AssertionError("main() took arguments")


CONVERSIONS["main() with arguments"] = main_with_arguments


ROW = ":0000220100" + "00" * 256 + "AB"
TEXT = "".join(["0123456789", "abcdefgh" * 50])
BIG = 10 ** 30 + 1


class Line(str):
    def __getitem__(self, key):
        return str.__getitem__(self, key)


class FailingLine(str):
    def __getitem__(self, key):
        raise Stop("slice")


class Piece:
    def __init__(self, fail_after):
        self.fail_after = fail_after

    def __add__(self, other):
        if self.fail_after == 0:
            raise Stop("add")
        return Piece(self.fail_after - 1)


class PieceLine:
    def __init__(self, fail_after):
        self.fail_after = fail_after

    def __getitem__(self, key):
        return Piece(self.fail_after)


class Position:
    """A start that adds to itself and serves as a slice bound."""

    def __init__(self, value):
        self.value = value

    def __add__(self, other):
        return Position(self.value + other)

    def __index__(self):
        return self.value


def raw_call(func, args, kwargs):
    """A call through the C API, whose keyword dict may hold keys of any type."""
    return PY_OBJECT_CALL(func, args, kwargs)


PY_OBJECT_CALL = ctypes.pythonapi.PyObject_Call
PY_OBJECT_CALL.restype = ctypes.py_object
PY_OBJECT_CALL.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]

REPLACE_CALLS = [
    # (args, kwargs, exception type or None)
    ((2, 3, ROW, "XYZ"), {}, None),
    ((0, 512, ROW, "AB" * 256), {}, None),
    ((BIG, 0, TEXT, "X"), {}, None),
    ((2, BIG, TEXT, "X"), {}, None),
    ((-11, -5, TEXT, "XY"), {}, None),
    ((0, 0, TEXT, ""), {}, None),
    ((0, 2, list(range(30)), [object()]), {}, None),
    ((0, 2, tuple(range(30)), (1,)), {}, None),
    ((0, 2, b"bytes row line", b"B"), {}, None),
    ((Position(2), 3, TEXT, "X"), {}, None),
    ((1, 2, Line(ROW), "X"), {}, None),
    ((1, 2, PieceLine(5), "X"), {}, None),
    ((), {"start": 1, "lenth": 2, "str": ROW, "repstr": "X"}, None),
    ((1, 2), {"str": ROW, "repstr": "X"}, None),
    # binding errors
    ((), {}, TypeError),
    ((1, 2, ROW), {}, TypeError),
    ((1, 2, ROW, "X", 5), {}, TypeError),
    ((1, 2, ROW, "X"), {"start": 1}, TypeError),
    ((1, 2, ROW, "X"), {"foo": 1}, TypeError),
    ((1, 2, ROW, "X"), {"foo": 1, "start": 1}, TypeError),
    ((), {"start": 1, "lenth": 1, "repstr": "r"}, TypeError),
    ((1, 2, ROW, "X"), {"\u00fcber": 1}, TypeError),
    # failures of the splice itself
    (("x", "bad", 5, 6), {}, TypeError),
    ((0, "bad", 5, 6), {}, TypeError),
    ((0, 0, None, "X"), {}, TypeError),
    ((0, 0, object(), "X"), {}, TypeError),
    ((0, 0, {}, "X"), {}, TypeError),
    ((0.5, 0, TEXT, "X"), {}, TypeError),
    ((0, "bad", TEXT, 5), {}, TypeError),
    ((0, None, TEXT, "X"), {}, TypeError),
    ((0, 1.5, TEXT, "X"), {}, TypeError),
    ((0, 0, [1], "X"), {}, TypeError),
    ((0, 0, FailingLine(ROW), "X"), {}, Stop),
    ((0, 0, PieceLine(0), "X"), {}, Stop),
    ((0, 0, PieceLine(1), "X"), {}, Stop),
]

RAW_REPLACE_CALLS = [
    ((1, 2, ROW, "X"), {1: 2}, TypeError),
    ((1, 2, ROW, "X"), {"foo": 1, 1: 2}, TypeError),
    ((2,), {"lenth": 3, "str": ROW, "repstr": "XYZ"}, None),
]


def replace_calls():
    for args, kwargs, expect in REPLACE_CALLS:
        try:
            rowmint.replace(*args, **kwargs)
        except Exception as exc:
            if expect is None or not isinstance(exc, expect):
                raise
        else:
            if expect is not None:
                raise AssertionError("replace%r %r: no %s" % (args, kwargs, expect.__name__))
    for args, kwargs, expect in RAW_REPLACE_CALLS:
        try:
            raw_call(rowmint.replace, args, kwargs)
        except Exception as exc:
            if expect is None or not isinstance(exc, expect):
                raise
        else:
            if expect is not None:
                raise AssertionError("raw replace%r %r: no %s" % (args, kwargs, expect.__name__))


# ---------------------------------------------------------------- figures

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
LIBC = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_in_use_function():
    try:
        mallinfo2 = LIBC.mallinfo2
    except AttributeError:  # glibc before 2.33
        return None
    mallinfo2.restype = MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


MALLOC_IN_USE = malloc_in_use_function()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


FIGURES = ("refs", "blocks", "malloc", "rss")


def take_figures(history, number):
    """Stores the figures after round `number` in `history`, a preallocated
    array, so that keeping them allocates nothing the next round would see."""
    gc.collect()
    gc.collect()
    sys._clear_type_cache()
    base = number * len(FIGURES)
    history[base] = sys.gettotalrefcount()
    history[base + 1] = sys.getallocatedblocks()
    history[base + 2] = MALLOC_IN_USE() if MALLOC_IN_USE else 0
    history[base + 3] = resident_bytes()


# What each figure may grow over the judged rounds. A leak of one reference
# (and so at least one block) per call of any single case gives --repeat a
# round; one leaked 525-character row line per conversion, some 750 KiB a
# round in malloc's figure.
TOLERANCE = {"refs": 20, "blocks": 20, "malloc": 64 * 1024, "rss": 256 * 1024}


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=8, help="judged rounds (default 8)")
    parser.add_argument("--warmup", type=int, default=3, help="rounds before judging (default 3)")
    parser.add_argument("--repeat", type=int, default=40, help="calls of each case a round (default 40)")
    parser.add_argument("--plant-leak", action="store_true",
                        help="add a case that leaks a reference and a malloc block per call, to see the check fail")
    return parser.parse_args()


PLANTED_MALLOC = LIBC.malloc
PLANTED_MALLOC.restype = ctypes.c_void_p
PLANTED_MALLOC.argtypes = [ctypes.c_size_t]


def planted_leak():
    """What a leak looks like: one reference and 600 bytes of heap a call."""
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))
    PLANTED_MALLOC(600)


def main():
    args = parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: this interpreter does not count references; run it under a debug build", file=sys.stderr)
        return 2
    if args.rounds < 2 or args.warmup < 1 or args.repeat < 1:
        print("refleak: need --rounds >= 2, --warmup >= 1, --repeat >= 1", file=sys.stderr)
        return 2
    # A HEX file left open by a failed conversion is closed when it is
    # released; the debug interpreter would warn about each one.
    warnings.simplefilter("ignore", ResourceWarning)
    cases = dict(CONVERSIONS)
    cases["replace calls"] = replace_calls
    if args.plant_leak:
        cases["planted leak"] = planted_leak

    conversions = sum(1 for name in cases if name in CONVERSIONS) * args.repeat
    replaces = (len(REPLACE_CALLS) + len(RAW_REPLACE_CALLS)) * args.repeat
    print("refleak: %s, extension %s" % (sys.version.split()[0] + sys.abiflags, rowmint.__file__))
    print("refleak: %d cases; a round is %d main() calls and %d replace() calls; %d warm-up + %d judged rounds"
          % (len(cases), conversions, replaces, args.warmup, args.rounds))

    folder = tempfile.mkdtemp(prefix="rowmint-refleak-")
    saved_argv = sys.argv
    os.chdir(folder)
    try:
        for name, content in HEX_FILES.items():
            with open(name + ".hex", "w", encoding="utf-8", newline="") as out:
                out.write(content)
        os.symlink("link-target.cyacd", "linked.cyacd")  # dangling until the first conversion
        started = time.monotonic()
        failed = measure(cases, args)
        if failed:
            blame(cases, args.repeat)
    finally:
        sys.argv = saved_argv
        os.chdir("/")
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        os.rmdir(folder)
    print("refleak: %s in %.1f s" % ("FAILED" if failed else "no growth", time.monotonic() - started))
    return 1 if failed else 0


def measure(cases, args):
    """Runs the rounds, prints the figures after each, and tells whether any
    figure grew beyond its tolerance over the judged rounds."""
    saved_argv = sys.argv
    total = args.warmup + args.rounds
    history = array.array("q", [0] * (total * len(FIGURES)))
    print("%-8s %12s %10s %12s %12s %8s" % (("round",) + FIGURES + ("seconds",)))
    for number in range(total):
        round_started = time.monotonic()
        for case in cases.values():
            for _ in range(args.repeat):
                case()
        sys.argv = saved_argv
        take_figures(history, number)
        label = ("warm-%d" % (number + 1)) if number < args.warmup else str(number - args.warmup + 1)
        row = tuple(history[number * len(FIGURES):(number + 1) * len(FIGURES)])
        print("%-8s %12d %10d %12d %12d %8.2f" % ((label,) + row + (time.monotonic() - round_started,)), flush=True)

    # Judged: from the end of the last warm-up round to the end of the last round.
    failed = False
    print("growth over the %d judged rounds (tolerance):" % args.rounds)
    for index, key in enumerate(FIGURES):
        if key == "malloc" and MALLOC_IN_USE is None:
            print("  %-7s not available" % key)
            continue
        series = history[index::len(FIGURES)][args.warmup - 1:]
        growth = series[-1] - series[0]
        per_round = " ".join("%+d" % (after - before) for before, after in zip(series[:-1], series[1:]))
        grows = growth > TOLERANCE[key]
        failed = failed or grows
        print("  %-7s %+10d (%d)  per round: %s  %s" % (key, growth, TOLERANCE[key], per_round,
                                                       "GROWS" if grows else "ok"))
    return failed


def blame(cases, repeat):
    """Runs each case alone, twice, and names those after which the reference
    count, the blocks or malloc's heap grew both times."""
    print("cases whose figures grew in two runs of %d calls each:" % repeat)
    width = len(FIGURES)
    figures = array.array("q", [0] * (3 * width))
    for name, case in cases.items():
        take_figures(figures, 0)
        for run in (1, 2):
            for _ in range(repeat):
                case()
            take_figures(figures, run)
        first = [figures[width + i] - figures[i] for i in range(width)]
        second = [figures[2 * width + i] - figures[width + i] for i in range(width)]
        if any(a > 0 and b > 0 for a, b in list(zip(first, second))[:3]):
            print("  %-28s %s" % (name, "  ".join("%s %+d %+d" % (key, a, b)
                                                  for key, a, b in zip(FIGURES, first, second))))


if __name__ == "__main__":
    sys.exit(main())
