"""Fuzz target: rowmint.main() on arbitrary HEX text.

Each input becomes the HEX file that the object-copy tool would have left;
the tool itself is left out by rebinding the module's `os` to a stand-in whose
`system` answers 0 at once.  An input whose first byte is 0x00-0x07 is a
recipe: the bytes after it choose plausible records one by one (data records
of many lengths and addresses, records across 0x2200, the segment record and
its variants, other extended address records, bases inside flash and base 0
after the second segment, end-of-file records with lines after them, start
address records, unknown types, lower-case lines, runs of rows up to the end
of flash and down from it, every line end, padding that puts a line across
the module's read boundary at 64 K characters).  Records carry their
checksums and the file ends with the end-of-file record, so that the rules
of placement are reached; one recipe in four is a faulty file, which also
holds blank, short, long and broken lines, wrong checksums and raw bytes and
may lack the end-of-file record.  Any other input is
taken as the HEX file byte for byte, so plain HEX files serve as seeds.

Oracle, for every input:
- main() returns None or raises one of the exception types below;
- a written row file is well formed: the header line, then 525-character
  row lines ":00" + row number (0x022-0x1FF, once each) + "0100" + 512 data
  digits + checksum, the 262 bytes after ":" of each summing to 0 mod 256,
  the metadata record in the last row (application checksum, the nine fixed
  bytes, the last row index), "\\n" after every line;
- nothing else is left in the folder (no temporary file); the HEX file is
  untouched; after a failure the row file is as it was before (absent, or
  the older file byte for byte);
- the result equals that of the pure-Python corrected rendering in
  tests/pure_reference.py: the same row file, or the same exception type and
  message;
- the result equals that of the same conversion through the text file's own
  line iteration (a second process, whose module captured a transparent
  substitute of open() at import, so that it never reads the HEX file in
  one piece): the same row file, or the same exception type, message and
  notes.

Exception types main() may raise here, and why:
- ValueError itself: text that is not ASCII handed to the hex decoder; and
  the conversion's own refusals: a record that is not whole and intact (no
  ':' first, fewer data digits than its byte count needs, no whole checksum,
  characters after the checksum, a wrong checksum), a file without an
  end-of-file record, a malformed extended address record, no image data
  at or above 0x2200, an image running past row 0x1FF, a data record under
  an extended address base other than 0x00000 and 0x10000 (below 0x20000),
  under base 0 once the second segment has begun, or of another row once
  the records of row 0x1FF have begun.
- binascii.Error (a ValueError): characters 1-8 of a line that are not an
  even number of hex digits; characters after them that are not hex digits
  (met when the record is checked).
- UnicodeDecodeError (a ValueError): a HEX file that is not text in the
  interpreter's default encoding.
- IndexError: a line whose header holds fewer than 4 bytes before the
  records of row 0x1FF begin (blank and short lines).
- TypeError: a record placed in a row that has no row line (kept from the
  original procedure); with both passes agreeing on the rows it should not
  happen, and the comparison with the rendering would show it if it did.
Anything else (SystemError, OSError, AttributeError, NameError, ...) is a
finding.

Run: python fuzz/fuzz_main.py [libFuzzer options] [corpus folders or files]
"""
import atexit
import binascii
import builtins
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import types
import zlib

# Load the fuzzer's runtime with global symbols: an extension built with
# -fsanitize=fuzzer-no-link then reports its own coverage to it.
sys.setdlopenflags(sys.getdlopenflags() | os.RTLD_GLOBAL)
import atheris  # noqa: E402

with atheris.instrument_imports():  # noqa: E402
    from fuzz_input import Reader

# The second process of the comparison: the module takes the builtins once,
# when it is imported, so the substitute goes in before that.
WRAPPED_OPEN_WORKER = sys.argv[1:2] == ["--wrapped-open-worker"]
if WRAPPED_OPEN_WORKER:
    _real_open = builtins.open

    def _transparent_open(*args, **kwargs):
        return _real_open(*args, **kwargs)

    builtins.open = _transparent_open
import rowmint  # noqa: E402
if WRAPPED_OPEN_WORKER:
    builtins.open = _real_open

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
try:
    from pure_reference import convert_mended
except ImportError as exc:  # the structural checks still run
    sys.stderr.write("fuzz_main: no comparison with the pure rendering (%s)\n" % exc)
    convert_mended = None

ALLOWED = (ValueError, binascii.Error, UnicodeDecodeError, IndexError, TypeError)

HEADER = "256A11B50000"
METADATA_FIXED = bytes.fromhex("112200002100000000")
OLDER_ROW_FILE = b"an older row file\r\nwith two lines\n"
HEX_DIGITS = frozenset("0123456789ABCDEFabcdef")
UPPER_DIGITS = frozenset("0123456789ABCDEF")


class StandInOs(types.ModuleType):
    """The real os, except for the tool run."""

    def __getattr__(self, name):
        return getattr(os, name)


TOOL_LEFT_OUT = StandInOs("os")
TOOL_LEFT_OUT.system = lambda command: 0


# ---------------------------------------------------------------------------
# Recipes: plausible HEX files from a stream of decisions.

SEGMENT = ":020000021000EC"
END_OF_FILE = ":00000001FF"
COUNTS = (16, 16, 16, 32, 0, 1, 2, 4, 8, 15, 17, 64, 128, 240, 255)
ADDRESSES = (0x2200, 0x2200, 0x21F8, 0x21FF, 0x21F0, 0x22F8, 0x22FF, 0x2300, 0xFF00, 0xFFF0,
             0xFFF8, 0xFFFF, 0x0000, 0x0100, 0x1B00, 0x2100, 0x8000, 0xFE00, 0xFEF8)
EXTENDED_VALUES = (0x0000, 0x1000, 0x0001, 0x2000, 0x0010, 0x0002, 0xFFFF, 0x1001, 0x0220, 0x0FFF, 0x1FFF)
SEGMENT_VARIANTS = (SEGMENT, SEGMENT, SEGMENT.lower(), ":020000040001F9", ":020000040001f9",
                    ":02FFFF021000EE", ":020000021000EC ", " :020000021000EC", ":020000020001FB")
BROKEN_SEGMENTS = (":0200000210000000", ":020000021000", ":020000021000ECFF", ":020000041000E8",
                   ":020000021000E")
BROKEN_EXTENDED = (":0300000210000000", ":01000002100000", ":020000021G00EC", ":0200000210",
                   ":02000002", ":020000020 00FC", ":02000004+001F9", ":020000040x01F9",
                   ":00000004FC", ":0400000400010000F7")
BLANKS = ("", " ", "\t", " \t ", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x1f", "\x85",
          "\u00a0", "\u2028", "\u3000", "\x00", "\ufeff")
JUNK_DIGITS = ("G", "g", " ", "\u00e9", "\u0660", "\uff11", "\x00", ":", "-", "\U0001f600", "\udcff")
END_OF_FILE_SPELLINGS = (END_OF_FILE, END_OF_FILE, ":00000001ff", ":00FF000100")
BROKEN_END_OF_FILE = (":00FF0001FF", ":0000000100", ":00000001")
# Faulty files only: lines that fail the record checks, and blank lines
# (refused before the records of the last row).
BROKEN_KINDS = (10, 14, 15, 16, 17)
# What may follow the end-of-file record: none of it is read.
AFTER_END = ("", "\x1a", "\x1a\x1a", " ", "end", ":", ":0400000210000000EA", ":10220000" + "EE" * 16,
             b"\xff\xfe\x1a", b"\x00" * 8)
LINE_ENDS = ("\n", "\r\n", "\r", "\n\n", "\r\r\n", "\n\r")  # the last three make blank lines
MAX_LINES = 1200  # enough for every flash row, few enough for a quick run


def record(count, address, kind, data):
    body = bytes([count & 0xFF, (address >> 8) & 0xFF, address & 0xFF, kind & 0xFF]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF)


_BYTES = bytes(range(256)) * 2


def pattern(seed, count):
    start = (seed * 7) & 0xFF
    return _BYTES[start:start + count]


class Recipe:
    def __init__(self, r):
        self.r = r
        self.address = 0x2200
        self.lines = []
        self.faulty = False

    def data_record(self, count=None, address=None):
        r = self.r
        count = r.choice(COUNTS) if count is None else count
        address = self.address if address is None else address
        self.lines.append(record(count, address, 0, pattern(r.byte(), count)))
        self.address = (address + count) & 0xFFFF

    def segment_to_second(self):
        self.lines.append(SEGMENT)
        self.address = 0x0000

    def run_of_rows(self, step=1):
        """One small record per row: many rows cheaply, up to the end of flash
        (or, stepping down, to the first row of the segment)."""
        r = self.r
        rows = min(1 + r.byte(), MAX_LINES - len(self.lines))
        count = r.choice((1, 16, 1, 16, 4, 255))
        offset = r.choice((0x00, 0xF0, 0xF8, 0x10))
        row = self.address >> 8
        for _ in range(rows):
            self.lines.append(record(count, (row << 8) | offset, 0, pattern(row, count)))
            row += step
            if row < 0:
                break
            if row == 0x100:
                if r.flag():
                    break
                self.segment_to_second()
                row = 0
        self.address = (row << 8) & 0xFFFF

    def one_line(self):
        r = self.r
        kind = r.byte() % 22
        if kind in BROKEN_KINDS and not self.faulty:
            kind = 0
        if kind <= 6:
            if r.byte() < 24:
                self.address = r.choice(ADDRESSES)
            self.data_record()
        elif kind == 7:
            self.data_record(count=r.byte(), address=r.u16())
        elif kind == 8:
            self.lines.append(r.choice(SEGMENT_VARIANTS + (BROKEN_SEGMENTS if self.faulty else ())))
            self.address = 0x0000
        elif kind == 9:
            value = r.choice(EXTENDED_VALUES) if r.byte() < 200 else r.u16()
            self.lines.append(record(2, r.choice((0, 0, 0xFFFF, 0x2200)), r.choice((2, 4)),
                                     value.to_bytes(2, "big")))
        elif kind == 10:
            self.lines.append(r.choice(BROKEN_EXTENDED))
        elif kind == 11:
            self.lines.append(self.end_of_file())
        elif kind == 12:
            self.lines.append(record(4, 0, r.choice((3, 5)), pattern(r.byte(), 4)))
        elif kind == 13:
            count = r.choice(COUNTS)
            self.lines.append(record(count, self.address, r.byte(), pattern(r.byte(), count)))
        elif kind == 14:
            self.lines.append(r.choice(BLANKS) + r.choice(BLANKS))
        elif kind == 15:
            self.lines.append(r.take(r.size(60)))  # raw bytes, line ends and NULs included
        elif kind == 16:
            line = record(r.choice(COUNTS), self.address, 0, pattern(r.byte(), 16))
            self.lines.append(line[:r.byte() % (len(line) + 1)])
        elif kind == 17:
            count = r.choice(COUNTS) or 1
            line = record(count, self.address, 0, pattern(r.byte(), count))
            at = 1 + r.byte() % (len(line) - 1)
            self.lines.append(line[:at] + r.choice(JUNK_DIGITS) + line[at + 1:])
        elif kind == 18:
            self.run_of_rows()
        elif kind == 19:
            self.run_of_rows(step=-1)
        elif kind == 20:
            self.lines.append(self.end_of_file())
            self.lines.append(r.choice(AFTER_END))
        elif self.lines:
            self.lines.append(self.lines[-1 - r.byte() % len(self.lines)])

    def end_of_file(self):
        return self.r.choice(END_OF_FILE_SPELLINGS + (BROKEN_END_OF_FILE if self.faulty else ()))

    def decorate(self, line):
        r = self.r
        if isinstance(line, bytes):
            return line
        style = r.byte()
        if style & 0x07 == 1:
            line = line.lower()
        elif style & 0x07 == 2 and len(line) > 11 and self.faulty:
            line = line[:-2] + "00"  # most likely a wrong checksum
        if style & 0x18 == 0x08 and self.faulty:
            line = line + r.choice(("00", "ZZ", " 1", "\t", "FF" * 8))
        if style & 0xE0 == 0x20:
            # "\x00" and "\ufeff", the last two, are not white space
            spaces = BLANKS if self.faulty else BLANKS[:-2]
            line = r.choice(spaces) + line + r.choice(spaces)
        return line

    def build(self):
        r = self.r
        self.faulty = r.byte() >= 192
        line_ends = LINE_ENDS if self.faulty else LINE_ENDS[:3]
        ends = r.byte() % (len(line_ends) + 1)
        for _ in range(r.size(400)):
            if r.pos >= len(r.data) or len(self.lines) >= MAX_LINES:
                break
            self.one_line()
        if not self.faulty or r.flag():
            self.lines.append(END_OF_FILE)
        pad_at = r.u16() if r.byte() < 32 else None
        shift = r.byte() % 64
        out = bytearray(b"\xef\xbb\xbf" if r.byte() == 0xBB else b"")
        chars = 0  # text length after universal newlines, where the module's reads cut
        for number, line in enumerate(self.lines):
            line = self.decorate(line)
            if pad_at is not None and number == pad_at % max(1, len(self.lines)):
                pad = max(0, 65536 - chars - shift)
                if isinstance(line, bytes):
                    line = b" " * pad + line
                else:
                    line = " " * pad + line
            end = line_ends[ends] if ends < len(line_ends) else r.choice(line_ends)
            if number == len(self.lines) - 1 and r.byte() < 64:
                end = ""
            if isinstance(line, bytes):
                piece = line + end.encode()
            else:
                piece = (line + end).encode("utf-8", "surrogatepass")
            out += piece
            if pad_at is not None:
                chars += len(piece.replace(b"\r\n", b"\n"))  # close enough for ASCII lines
        return bytes(out)


def make_input(data):
    """The HEX file's bytes and the run's settings."""
    if data[:1] and data[0] < 8:
        r = Reader(data[1:])
        settings = r.byte()
        hex_bytes = Recipe(r).build()
    else:
        hex_bytes = bytes(data)
        settings = zlib.crc32(data) >> 29
    return hex_bytes, settings


# ---------------------------------------------------------------------------
# Running a conversion in a folder of its own.

def scratch_parent():
    """A memory file system where there is one: creating files there is ten times faster."""
    chosen = os.environ.get("FUZZ_TMPDIR")
    if chosen:
        return chosen
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        return "/dev/shm"
    return None


ROOT = tempfile.mkdtemp(prefix="rowmint-fuzz-main-", dir=scratch_parent())
atexit.register(shutil.rmtree, ROOT, True)


def clear(folder):
    if not os.path.isdir(folder):
        os.mkdir(folder)
        return
    for entry in os.scandir(folder):
        os.remove(entry.path)


def listing(folder):
    return sorted(os.listdir(folder))


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Layout:
    """Where the files of one run are, chosen by the settings bits."""

    def __init__(self, folder, settings, relative):
        self.folder = folder
        self.hex_name = "in.hex" if settings & 1 == 0 else "in put.hex"
        previous = (settings >> 1) & 3
        self.same_file = previous == 3
        self.cyacd_name = self.hex_name if self.same_file else ("out.cyacd", "row file \u00e9.cyacd")[settings & 1]
        self.older = OLDER_ROW_FILE if previous == 1 else None
        self.relative = relative
        base = "" if relative else folder + os.sep
        self.hex_path = base + self.hex_name
        self.cyacd_path = base + self.cyacd_name


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


NEW_FILE_MODE = 0o666 & ~current_umask()


def convert_native(layout):
    saved_os, saved_argv, saved_cwd = rowmint.os, sys.argv, os.getcwd()
    rowmint.os = TOOL_LEFT_OUT
    sys.argv = ["rowmint", "objcopy", "in.elf", layout.hex_path, layout.cyacd_path]
    if layout.relative:
        os.chdir(layout.folder)
    try:
        result = rowmint.main()
    finally:
        rowmint.os, sys.argv = saved_os, saved_argv
        os.chdir(saved_cwd)
    if result is not None:
        raise AssertionError("main() returned %r" % (result,))
    mode = os.stat(os.path.join(layout.folder, layout.cyacd_name)).st_mode & 0o777
    if mode != NEW_FILE_MODE:
        raise AssertionError("row file has mode %o, a new file gets %o" % (mode, NEW_FILE_MODE))


def convert_reference(layout):
    convert_mended(layout.hex_path, layout.cyacd_path)


def run(convert, hex_bytes, layout):
    """("wrote", bytes) or ("raised", exception), after the folder checks."""
    clear(layout.folder)
    hex_file = os.path.join(layout.folder, layout.hex_name)
    cyacd_file = os.path.join(layout.folder, layout.cyacd_name)
    with open(hex_file, "wb") as f:
        f.write(hex_bytes)
    if layout.older is not None:
        with open(cyacd_file, "wb") as f:
            f.write(layout.older)
    try:
        convert(layout)
    except AssertionError:
        raise
    except Exception as exc:  # noqa: BLE001 - the exception is what is checked
        result = ("raised", exc)
    else:
        result = ("wrote", read(cyacd_file))

    names = sorted({layout.hex_name, layout.cyacd_name}) if result[0] == "wrote" or layout.older else [layout.hex_name]
    if listing(layout.folder) != names:
        raise AssertionError("%s: folder holds %r, expected %r" % (describe(result), listing(layout.folder), names))
    if not (layout.same_file and result[0] == "wrote") and read(hex_file) != hex_bytes:
        raise AssertionError("%s: the HEX file changed" % describe(result))
    if result[0] == "raised" and layout.older is not None and read(cyacd_file) != layout.older:
        raise AssertionError("%s: the older row file changed" % describe(result))
    return result


def describe(result):
    if result[0] == "raised":
        return "raised %s: %s" % (type(result[1]).__name__, result[1])
    return "wrote %d bytes" % len(result[1])


# ---------------------------------------------------------------------------
# The row file's structure.


def check_row_file(data):
    if not data.endswith(b"\n"):
        raise AssertionError("row file does not end with a line end")
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise AssertionError("row file is not ASCII") from None
    lines = text.split("\n")[:-1]
    if lines[0] != HEADER:
        raise AssertionError("header line %r" % lines[0][:40])
    if len(lines) < 2:
        raise AssertionError("row file without row lines")
    rows = []
    app_sum = 0
    for number, line in enumerate(lines[1:], 2):
        if len(line) != 525:
            raise AssertionError("line %d has %d characters" % (number, len(line)))
        if not (line.startswith(":00") and line[7:11] == "0100"):
            raise AssertionError("line %d prefix %r" % (number, line[:11]))
        if not set(line[3:7]) <= UPPER_DIGITS or not set(line[523:]) <= UPPER_DIGITS:
            raise AssertionError("line %d: row number or checksum not upper-case hex" % number)
        if not set(line[11:523]) <= HEX_DIGITS:
            raise AssertionError("line %d: data digits that are not hex" % number)
        row = int(line[3:7], 16)
        if not 0x022 <= row <= 0x1FF:
            raise AssertionError("line %d: row 0x%03X outside the image" % (number, row))
        body = bytes.fromhex(line[1:])
        if sum(body) & 0xFF:
            raise AssertionError("line %d: checksum wrong" % number)
        rows.append(row)
        data_bytes = body[5:261]
        app_sum += sum(data_bytes) if number < len(lines) else sum(data_bytes[:192])
    if len(set(rows)) != len(rows):
        raise AssertionError("a row has more than one line")
    metadata = bytes.fromhex(lines[-1][11:523])[192:204]
    expected = bytes([-app_sum & 0xFF]) + METADATA_FIXED + (len(rows) - 1).to_bytes(2, "little")
    if metadata != expected:
        raise AssertionError("metadata %s, expected %s" % (metadata.hex(), expected.hex()))


def comparable(result):
    if result[0] == "wrote":
        return result
    exc = result[1]
    if isinstance(exc, UnicodeDecodeError):
        # Its position counts from the start of the piece being decoded,
        # which depends on how much is read at a time.
        return ("raised", UnicodeDecodeError, exc.encoding, exc.reason)
    return ("raised", type(exc), str(exc))


# Differences already reported, which a local run may pass over to look for
# others: FUZZ_TOLERATE=decode-first (comma-separated names).
TOLERATE = set(filter(None, os.environ.get("FUZZ_TOLERATE", "").split(",")))
tolerated = {}


def known_difference(hex_bytes, native, reference):
    """The name of a reported difference that this input shows, or None."""
    if (native[0] == "raised" and isinstance(native[1], UnicodeDecodeError)
            and (reference[0] == "wrote" or not isinstance(reference[1], UnicodeDecodeError))):
        # The module reads ahead of the line it is on, so a later byte that
        # is not UTF-8 is reported before an earlier line's own fault, or
        # after the end-of-file record, where reading ends.
        return "decode-first"
    return None


def outcome(result):
    """What the two processes compare: a written file, or the exception's
    type, message and notes."""
    if result[0] == "wrote":
        return result
    exc = result[1]
    kind = (type(exc).__module__, type(exc).__qualname__)
    message = (exc.encoding, exc.reason) if isinstance(exc, UnicodeDecodeError) else str(exc)
    return ("raised", kind, message, [str(note) for note in getattr(exc, "__notes__", [])])


class WrappedOpenRun:
    """The second process, which converts each input as it is sent."""

    def __init__(self):
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--wrapped-open-worker"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def convert(self, hex_bytes, settings, relative):
        try:
            pickle.dump((hex_bytes, settings, relative), self.process.stdin)
            self.process.stdin.flush()
            return pickle.load(self.process.stdout)
        except (EOFError, BrokenPipeError):
            raise AssertionError("the run through open()'s substitute ended with status %r"
                                 % self.process.wait()) from None


def serve_wrapped_open():
    while True:
        try:
            hex_bytes, settings, relative = pickle.load(sys.stdin.buffer)
        except EOFError:
            return
        result = run(convert_native, hex_bytes, Layout(WRAPPED, settings, relative))
        pickle.dump(outcome(result), sys.stdout.buffer)
        sys.stdout.buffer.flush()


wrapped_open_run = None


# The HEX file stands in for the tool's output but lies there before main()
# runs: one that begins as an ELF file or a row file is refused before the
# tool, as a file the user keeps, which the rendering of the passes leaves out.
KEPT_FILE_STARTS = (b"\x7fELF", HEADER.encode())


def TestOneInput(data):
    hex_bytes, settings = make_input(data)
    relative = settings & 8 == 0
    native = run(convert_native, hex_bytes, Layout(NATIVE, settings, relative))
    wrapped = wrapped_open_run.convert(hex_bytes, settings, relative)
    if outcome(native) != wrapped:
        raise AssertionError("main() %s; through open()'s substitute %r" % (describe(native), wrapped[:3]))
    if hex_bytes.startswith(KEPT_FILE_STARTS):
        if native[0] != "raised" or not str(native[1]).startswith("the HEX path names a"):
            raise AssertionError("main() %s for a HEX file that begins %r" % (describe(native), hex_bytes[:12]))
        return
    if native[0] == "raised":
        if type(native[1]) not in ALLOWED:
            raise AssertionError("main() raised %s: %s" % (type(native[1]).__name__, native[1])) from native[1]
    else:
        check_row_file(native[1])
    if convert_mended is not None:
        reference = run(convert_reference, hex_bytes, Layout(REFERENCE, settings, False))
        if comparable(native) != comparable(reference):
            known = known_difference(hex_bytes, native, reference)
            if known in TOLERATE:
                if known not in tolerated:
                    sys.stderr.write("fuzz_main: passing over inputs that show %s\n" % known)
                tolerated[known] = tolerated.get(known, 0) + 1
                return
            raise AssertionError("main() %s; the corrected rendering %s" % (describe(native), describe(reference)))


NATIVE = os.path.join(ROOT, "native")
REFERENCE = os.path.join(ROOT, "reference")
WRAPPED = os.path.join(ROOT, "wrapped")


def instrument_this_module():
    """Coverage of the kinds of lines and of the outcomes guides the fuzzer.

    The loops over lines and rows stay uninstrumented: they would slow every
    run and tell the fuzzer little.
    """
    for function in (make_input, known_difference, comparable, outcome, TestOneInput, Recipe.one_line):
        atheris.instrument_func(function)


def main():
    global wrapped_open_run
    if WRAPPED_OPEN_WORKER:
        clear(WRAPPED)
        serve_wrapped_open()
        return
    clear(NATIVE)
    clear(REFERENCE)
    wrapped_open_run = WrappedOpenRun()
    instrument_this_module()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
