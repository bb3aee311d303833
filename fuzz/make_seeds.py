"""Writes the seed corpus of the fuzz targets (fuzz/corpus/{main,replace}).

The main seeds are plain HEX files (fuzz_main takes any input that does not
start with a byte 0x00-0x07 as the HEX file itself): the small example files
the conversion is explained with (one record at 0x2200, rows opened and
revisited, a record split across two rows, the segment record in its
spellings), one file for each rule of reading the records (a record across
0x2200, base 0 after the second segment, a base inside flash, rows after the
last row's records, lines after the end-of-file record, each way a record
fails to be whole and intact, a file without its end-of-file record), short
excerpts of
what GNU objcopy writes for the example firmware images (start, end, the
64 KB boundary, the sections at 1 MB and up), and a few recipes found by a
seeded search (a run to the last flash row, a line across the module's 64 K
read boundary).  The replace seeds are calls written with fuzz_input.Writer:
the splices a conversion makes, the edge cases of the splice (negative and
huge positions, True, a float) and the binding errors.

Files named regression-* are inputs that once showed a fault; this script
leaves them alone.

Usage: python fuzz/make_seeds.py      (needs objcopy for the firmware excerpts)
"""
import glob
import os
import random
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from fuzz_input import Reader, Writer  # noqa: E402

MAIN = os.path.join(HERE, "corpus", "main")
REPLACE = os.path.join(HERE, "corpus", "replace")

ROAD = ":10220000000102030405060708090A0B0C0D0E0F56"
EOF = ":00000001FF"
SEGMENT = ":020000021000EC"

# Small files the conversion is explained with: which rows get a line, where a
# split record's digits go, how records are read.
FIRST_ROW_TABLE_EXAMPLE = [
    ":10100000000102030405060708090A0B0C0D0E0F68",
    ":10220000000102030405060708090A0B0C0D0E0F56",
    ":1022F800000102030405060708090A0B0C0D0E0F5E",
    ":10230800000102030405060708090A0B0C0D0E0F4D",
    ":10250000000102030405060708090A0B0C0D0E0F53",
    SEGMENT,
    ":10050000000102030405060708090A0B0C0D0E0F73",
    ":040000030000224196",
    EOF,
]
SECOND_ROW_TABLE_EXAMPLE = [
    ":10FF0000000102030405060708090A0B0C0D0E0F79",
    ":10FFF800000102030405060708090A0B0C0D0E0F81",
    SEGMENT,
    ":10000800000102030405060708090A0B0C0D0E0F70",
    ":200FF000000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1FF1",
]
MAIN_SEEDS = {
    "road.hex": [ROAD, EOF],
    "row-table-first-example.hex": FIRST_ROW_TABLE_EXAMPLE,
    "row-table-second-example.hex": SECOND_ROW_TABLE_EXAMPLE,
    "placement-split-record.hex": [ROAD, ":1022F800000102030405060708090A0B0C0D0E0F5E",
                                   ":10230800000102030405060708090A0B0C0D0E0F4D", EOF],
    "segment-record-lower-case.hex": [ROAD, SEGMENT.lower(), ":10050000000102030405060708090A0B0C0D0E0F73", EOF],
    "segment-record-spaced.hex": [ROAD, "  " + SEGMENT + "\t", ":10050000000102030405060708090A0B0C0D0E0F73", EOF],
    # Every record whole and intact; a file cut short is refused.
    "record-without-colon.hex": [ROAD, ";10230000000102030405060708090A0B0C0D0E0F55", EOF],
    "record-short-of-data-digits.hex": [ROAD, ":10230000000102030405060708090A0B0C0D0E", EOF],
    "record-ending-before-its-checksum.hex": [ROAD, ":10230000000102030405060708090A0B0C0D0E0F", EOF],
    "record-running-on-past-its-checksum.hex": [ROAD, SEGMENT + "00", EOF],
    "record-with-a-non-hex-digit.hex": [ROAD, ":10230000000102030405060708090A0B0C0D0E0G55", EOF],
    "wrong-checksum.hex": [":10220000000102030405060708090A0B0C0D0E0F00", EOF],
    "no-end-of-file-record.hex": [ROAD, ":10230000000102030405060708090A0B0C0D0E0F55"],
    "row-0x21-and-0x22.hex": [":1021F000000102030405060708090A0B0C0D0E0F65", ROAD, EOF],
    "lower-case-data.hex": [ROAD.lower(), EOF],
    "blank-line-first-segment.hex": [ROAD, "", EOF],
    "end-of-file-first.hex": [EOF, ROAD],
    # Every record in flash is placed at its own address, or refused.
    "record-across-0x2200.hex": [":1021F800000102030405060708090A0B0C0D0E0F5F", ":10221000" + "AA" * 16 + "1E",
                                 EOF],
    "base-0-after-second-segment.hex": [ROAD, SEGMENT, ":10050000000102030405060708090A0B0C0D0E0F73",
                                        ":020000040000FA", ":10230000000102030405060708090A0B0C0D0E0F55", EOF],
    "base-0-alone-before-type-04.hex": [ROAD, SEGMENT, ":10050000000102030405060708090A0B0C0D0E0F73",
                                        ":020000020000FC", ":020000040010EA", ":040000001122334452", EOF],
    "base-inside-flash.hex": [":020000020220DA", ":10000000000102030405060708090A0B0C0D0E0F78", EOF],
    "rows-after-the-last-row.hex": [SEGMENT, ":10FF0000000102030405060708090A0B0C0D0E0F79",
                                    ":10FE0000000102030405060708090A0B0C0D0E0F7A", EOF],
    "lines-after-end-of-file.hex": [ROAD, EOF, "", "\x1a", ":10230000000102030405060708090A0B0C0D0E0F55"],
}


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def hex_file(lines, end="\n"):
    return "".join(line + end for line in lines).encode("ascii")


def firmware_excerpts():
    """{name: bytes}: pieces of objcopy's HEX files of the example images."""
    seeds = {}
    with tempfile.TemporaryDirectory() as tmp:
        for elf in sorted(glob.glob(os.path.join(REPO, "examples", "elf", "*.elf"))):
            name = os.path.splitext(os.path.basename(elf))[0]
            hex_path = os.path.join(tmp, name + ".hex")
            subprocess.run(["objcopy", "-O", "ihex", elf, hex_path], check=True)
            with open(hex_path, "rb") as f:
                lines = f.read().splitlines(keepends=True)
            # An excerpt ends with the end-of-file record, as a whole file does.
            end_of_file = EOF.encode() + lines[0][len(lines[0].rstrip(b"\r\n")):]
            if len(lines) <= 200:
                seeds["firmware-%s-whole.hex" % name] = b"".join(lines)
                continue
            seeds["firmware-%s-first.hex" % name] = b"".join(lines[:20]) + end_of_file
            seeds["firmware-%s-last.hex" % name] = b"".join(lines[-20:])
            pieces = lines[:20]
            for at, line in enumerate(lines):
                if line.startswith(SEGMENT.encode()):
                    around = lines[max(0, at - 10):at + 10]
                    seeds["firmware-%s-64k-boundary.hex" % name] = b"".join(around) + end_of_file
                    pieces += around
            pieces += lines[-20:]
            seeds["firmware-%s-pieces.hex" % name] = b"".join(pieces)
    return seeds


def recipe_seeds():
    """Structured inputs with wanted properties, found by a seeded search."""
    import fuzz_main  # noqa: E402 - imports rowmint and atheris

    def rows_written(hex_bytes, settings):
        """Row lines written, when the module and the corrected rendering write the same file."""
        layout = fuzz_main.Layout(fuzz_main.NATIVE, settings, False)
        result = fuzz_main.run(fuzz_main.convert_native, hex_bytes, layout)
        if result[0] != "wrote":
            return -1
        layout = fuzz_main.Layout(fuzz_main.REFERENCE, settings, False)
        if fuzz_main.run(fuzz_main.convert_reference, hex_bytes, layout) != result:
            return -1
        return result[1].count(b"\n") - 1

    def utf8(hex_bytes):
        try:
            hex_bytes.decode("utf-8")
        except UnicodeDecodeError:
            return False
        return True

    wanted = {
        "recipe-last-flash-row.bin": lambda hex_bytes, settings: rows_written(hex_bytes, settings) > 300,
        "recipe-read-boundary.bin": lambda hex_bytes, settings: (
            len(hex_bytes) > 65536 and hex_bytes.count(b"\n") > 20 and rows_written(hex_bytes, settings) > 0),
        "recipe-many-kinds.bin": lambda hex_bytes, settings: (
            len(set(hex_bytes.split(b"\n"))) > 30 and len(hex_bytes) < 65536 and utf8(hex_bytes)
            and rows_written(hex_bytes, settings) > 0),
    }
    fuzz_main.clear(fuzz_main.NATIVE)
    fuzz_main.clear(fuzz_main.REFERENCE)
    rng = random.Random(1)
    seeds = {}
    for _ in range(200000):
        if not wanted:
            break
        data = bytes([1]) + bytes(rng.getrandbits(8) for _ in range(rng.choice((60, 200, 600))))
        hex_bytes, settings = fuzz_main.make_input(data)
        for name, test in list(wanted.items()):
            if test(hex_bytes, settings):
                seeds[name] = data
                del wanted[name]
    for name in wanted:
        sys.stderr.write("make_seeds: no input found for %s\n" % name)
    return seeds


# ---------------------------------------------------------------------------
# replace calls, in the encoding fuzz_replace reads.

ROW_LINE = ":0000220100" + "0" * 512
HUGE_INDEX = {2 ** 64: 7, 2 ** 60: 3, 2 ** 100: 9}


def encode_value(w, value):
    if isinstance(value, bool):
        w.byte(2).flag(value)
    elif isinstance(value, int) and -0x8000 <= value < 0x8000:
        w.byte(0).int16(value)
    elif isinstance(value, int):
        w.byte(1).byte(0 if value > 0 else 1).byte(HUGE_INDEX[abs(value)]).byte(128)
    elif isinstance(value, float):
        w.byte(3).byte({2.5: 3, 1.0: 2}[value])
    elif value is None:
        w.byte(4).byte(0)
    elif isinstance(value, str):
        data = value.encode("utf-8", "surrogateescape")
        w.byte(5).size(len(data)).take(data)
    elif isinstance(value, bytes):
        w.byte(7).size(len(value)).take(value)
    elif isinstance(value, list):
        w.byte(9).flag(False).size(len(value)).take(bytes(value))
    else:
        raise ValueError(value)


def encode_call(args, kwargs):
    """kwargs: list of (name, value); the names of replace's parameters or extras."""
    from fuzz_replace import KEYWORD_NAMES, NAMES  # noqa: E402
    w = Writer()
    named = [name for name, _ in kwargs if name in NAMES]
    extras = [(name, value) for name, value in kwargs if name not in NAMES]
    layout = sum(1 << NAMES.index(name) for name in named) | (len(extras) << 4)
    w.byte(len(args)).byte(layout)
    for value in args:
        encode_value(w, value)
    for name in NAMES:
        if name in named:
            encode_value(w, dict(kwargs)[name])
    for name, value in extras:
        w.byte(KEYWORD_NAMES.index(name))
        encode_value(w, value)
    return w.bytes()


def check_decoding(data, args, kwargs):
    from fuzz_replace import build_call  # noqa: E402
    decoded = build_call(Reader(data))
    if repr(decoded) != repr((tuple(args), dict(kwargs))):
        raise AssertionError("seed decodes to %r" % (decoded,))


REPLACE_SEEDS = {
    "splice-example": ((2, 3, "01234567890abcdefgh", "XYZ"), []),
    "split-record-first-piece": ((496, 16, ROW_LINE, "0001020304050607"), []),
    "split-record-second-piece": ((0, 16, ROW_LINE, "08090A0B0C0D0E0F"), []),
    "road-record": ((0, 32, ROW_LINE, "000102030405060708090A0B0C0D0E0F"), []),
    "metadata": ((384, 24, ROW_LINE, "181122000021000000002B01"), []),
    "lenth-zero": ((5, 0, ROW_LINE, "AB"), []),
    "start-minus-11": ((-11, 3, "01234567890ab", "X"), []),
    "start-minus-12": ((-12, 0, "abc", "X"), []),
    "negative-lenth": ((0, -2, "01234567890ab", "X"), []),
    "start-true": ((True, 1, "01234567890ab", "X"), []),
    "start-float": ((2.5, 1, "01234567890ab", "X"), []),
    "start-none": ((None, 1, "01234567890ab", "X"), []),
    "huge-start": ((2 ** 64, 5, "01234567890ab", "X"), []),
    "huge-start-negative-lenth": ((2 ** 64, -(2 ** 64), "01234567890abcdef", "X"), []),
    "beyond-native-limit": ((2 ** 60, -(2 ** 60), "01234567890abcdef", "X"), []),
    "non-ascii": ((1, 2, "01234567890\u00e9\u20ac\U0001f600\udcff", "\u00fc"), []),
    "lists": ((0, 1, list(range(20)), [7, 7]), []),
    "bytes": ((0, 1, b"01234567890abc", b"XY"), []),
    "unsliceable-int": ((0, 1, 5, "X"), []),
    "repstr-int": ((0, "x", "01234567890ab", 5), []),
    "three-positional": ((1, 2, "abc"), []),
    "five-positional": ((1, 2, "abc", "d", "e"), []),
    "all-keywords": ((), [("start", 2), ("lenth", 3), ("str", "01234567890abcdefgh"), ("repstr", "XYZ")]),
    "keyword-tail": ((2, 3), [("str", "01234567890abcdefgh"), ("repstr", "XYZ")]),
    "multiple-values": ((2, 3, "01234567890abcdefgh", "XYZ"), [("start", 1)]),
    "unexpected-keyword": ((2, 3, "01234567890abcdefgh", "XYZ"), [("length", 1)]),
    "non-str-keyword": ((2, 3, "01234567890abcdefgh", "XYZ"), [(1, 1)]),
    "missing-keyword": ((2,), [("str", "abc"), ("repstr", "X")]),
}


def main():
    for folder in (MAIN, REPLACE):
        os.makedirs(folder, exist_ok=True)
        for path in glob.glob(os.path.join(folder, "*")):
            if not os.path.basename(path).startswith("regression-"):
                os.remove(path)
    for name, lines in MAIN_SEEDS.items():
        write(MAIN, name, hex_file(lines))
    write(MAIN, "road-crlf.hex", hex_file([ROAD, EOF], "\r\n"))
    if shutil.which("objcopy"):
        for name, data in firmware_excerpts().items():
            write(MAIN, name, data)
    else:
        sys.stderr.write("make_seeds: no objcopy, firmware excerpts left out\n")
    for name, data in recipe_seeds().items():
        write(MAIN, name, data)
    for name, (args, kwargs) in REPLACE_SEEDS.items():
        data = encode_call(args, kwargs)
        check_decoding(data, args, kwargs)
        write(REPLACE, name + ".bin", data)


if __name__ == "__main__":
    main()
