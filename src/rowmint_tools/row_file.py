"""Reading a row file strictly: every line is held against the row file's
layout, and every departure is reported with its line.

This reader knows the layout and nothing of how the conversion builds it:
it is what the conversion's output is checked with.
"""

import os
import zlib
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple, Union

from .input_files import hex_body, read_row_file_bytes

PathArg = Union[str, "os.PathLike[str]"]

HEADER = "256A11B50000"
ROW_SIZE = 256
LINE_LENGTH = 525  # ":" and 262 bytes: array ID, row number, data length, data, checksum
# Flash below row 0x022 (address 0x2200) belongs to the bootloader; row
# 0x1FF ends the second 64 KB segment.
FIRST_ROW = 0x022
LAST_ROW = 0x1FF
# The last 64 data bytes of the last row line are the metadata area; the
# metadata record fills its first 12: the application checksum, nine fixed
# bytes and the index of the last row line, little-endian.
METADATA_AREA = 192
METADATA_RECORD_END = 204
METADATA_FIXED = bytes.fromhex("112200002100000000")

# Past this many problems on the lines, the rest are only counted: a file
# of a million blank lines is not worth a million messages.
LINE_PROBLEMS_SHOWN = 100


def hex_bytes(data: bytes) -> str:
    """Bytes as the row file's readers see them: "11 22 00"."""
    return " ".join("%02X" % b for b in data)


def metadata_text(app_checksum: int, fixed: bytes, last_row_index: int) -> str:
    return "application checksum 0x%02X, metadata %s, last row index %d" % (
        app_checksum, hex_bytes(fixed), last_row_index)


def byte_sum(data: bytes) -> int:
    """The sum of at most 256 bytes (a row's data). Adler-32's low half is 1
    plus the sum of the bytes modulo 65521, which 256 bytes of FF stay
    below: the sum in C, where Python's sum() takes a step per byte and most
    of the reading."""
    assert len(data) <= ROW_SIZE
    return (zlib.adler32(data) & 0xFFFF) - 1


def checksum(total: int) -> int:
    """The byte that brings `total` to a multiple of 256."""
    return -total & 0xFF


@dataclass(frozen=True)
class Problem:
    """One departure from the layout or from the image; `line` is the row
    file's line number (1 is the header), `row` the row number and
    `address` the flash address, each when the problem has one. `kind`
    names what a proof against an image found, so that callers can sort
    findings without reading their text: `missing_rows`, `extra_row`,
    `row_differs`, `metadata_overwrite`, `left_out_below`, `above_flash`,
    `metadata_area`; None for the row file's own layout."""

    message: str
    line: Optional[int] = None
    row: Optional[int] = None
    address: Optional[int] = None
    kind: Optional[str] = None


@dataclass(frozen=True)
class Row:
    """One row line as read: its row number, 256 data bytes and checksum."""

    number: int
    data: bytes
    checksum: int
    line: int

    @property
    def address(self) -> int:
        return self.number * ROW_SIZE


@dataclass(frozen=True)
class RowFile:
    """A row file as read. `rows` holds every row line that has the layout's
    shape, in file order, whatever else is wrong with it; the metadata
    fields are read from the last line when it is such a row line."""

    path: str
    header: Optional[str]
    rows: Tuple[Row, ...]
    row_lines: int
    app_checksum: Optional[int]
    metadata_fixed: Optional[bytes]
    last_row_index: Optional[int]
    problems: Tuple[Problem, ...]

    @property
    def ok(self) -> bool:
        return not self.problems

    @property
    def metadata_row(self) -> Optional[Row]:
        """The row line that holds the metadata record: the file's last line."""
        if self.rows and self.rows[-1].line == self.row_lines + 1:
            return self.rows[-1]
        return None


def _split_lines(data: bytes) -> Tuple[List[str], bool]:
    """The lines without their line ends (LF or CR LF), and whether the last
    one has its line end. Bytes that are not ASCII stay one character each,
    so that they count where they stand."""
    text = data.decode("latin-1")
    lines = text.split("\n")
    ended = lines[-1] == ""
    if ended:
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines], ended


def _shape(text: str) -> Tuple[Optional[bytes], Optional[str]]:
    """A row line's 262 bytes after the ":", or what keeps it from them."""
    if len(text) != LINE_LENGTH:
        return None, "the row line has %d characters, not %d" % (len(text), LINE_LENGTH)
    if not text.startswith(":"):
        return None, "the row line does not begin with ':'"
    body = hex_body(text[1:])
    if body is None:
        at = next(k for k in range(1, len(text)) if text[k] not in "0123456789ABCDEFabcdef")
        return None, "character %d, %r, is not a hex digit" % (at + 1, text[at])
    return body, None


def _read_row(text: str, line: int, problems: List[Problem]) -> Optional[Row]:
    body, shape = _shape(text)
    if body is None:
        problems.append(Problem(shape or "", line))
        return None
    number = int.from_bytes(body[1:3], "big")
    found = []
    if body[0] != 0:
        found.append("the array ID is %s, not 00" % text[1:3])
    if body[3:5] != b"\x01\x00":
        found.append("the data length is %s, not 0100" % text[7:11])
    if not FIRST_ROW <= number <= LAST_ROW:
        found.append("row 0x%03X lies outside the application rows 0x%03X to 0x%03X"
                     % (number, FIRST_ROW, LAST_ROW))
    need = checksum(sum(body[:5]) + byte_sum(body[5:-1]))
    if body[-1] != need:
        found.append("row 0x%03X: the row checksum is 0x%02X, its bytes need 0x%02X" % (number, body[-1], need))
    problems.extend(Problem(message, line, number, number * ROW_SIZE) for message in found)
    return Row(number, body[5:-1], body[-1], line)


def _duplicates(rows: List[Row]) -> List[Problem]:
    first: Dict[int, int] = {}
    problems = []
    for row in rows:
        if row.number in first:
            problems.append(Problem("row 0x%03X is given again (first on line %d)"
                                    % (row.number, first[row.number]), row.line, row.number, row.address))
        else:
            first[row.number] = row.line
    return problems


def _metadata_problems(rows: List[Row], row_lines: int, every_line_read: bool) -> List[Problem]:
    last = rows[-1]
    record = last.data[METADATA_AREA:METADATA_RECORD_END]
    problems = []
    if every_line_read:
        total = sum(byte_sum(row.data) for row in rows) - byte_sum(last.data[METADATA_AREA:])
        if record[0] != checksum(total):
            problems.append(Problem("the metadata record's application checksum is 0x%02X, the rows need 0x%02X"
                                    % (record[0], checksum(total)), last.line))
    if record[1:10] != METADATA_FIXED:
        problems.append(Problem("the metadata record's fixed bytes are %s, not %s"
                                % (hex_bytes(record[1:10]), hex_bytes(METADATA_FIXED)), last.line))
    index = int.from_bytes(record[10:12], "little")
    if index != row_lines - 1:
        problems.append(Problem("the metadata record's last-row index is %d, the file has %d row lines (index %d)"
                                % (index, row_lines, row_lines - 1), last.line))
    at = last.address + METADATA_AREA
    return [Problem(p.message, p.line, last.number, at) for p in problems]


def _read_rows(lines: List[str], problems: List[Problem]) -> List[Row]:
    """The row lines read, their problems added up to a bound."""
    rows = []
    unlisted = 0
    for number, text in enumerate(lines[1:], 2):
        found: List[Problem] = []
        row = _read_row(text, number, found)
        if row is not None:
            rows.append(row)
        if len(problems) < LINE_PROBLEMS_SHOWN:
            problems.extend(found)
        else:
            unlisted += len(found)
    if unlisted:
        problems.append(Problem("%d more problems on later lines are not listed" % unlisted))
    return rows


def parse_row_file(data: bytes, path: str = "") -> RowFile:
    """A row file's bytes as read by `read_row_file`."""
    lines, ended = _split_lines(data)
    problems: List[Problem] = []
    if not lines:
        problems.append(Problem("the file is empty"))
    elif lines[0] != HEADER:
        problems.append(Problem("the header line is %r, not %r" % (lines[0][:40], HEADER), 1))
    if lines and not ended:
        problems.append(Problem("the last line has no line end", len(lines)))
    rows = _read_rows(lines, problems)
    row_lines = max(len(lines) - 1, 0)
    if lines and not row_lines:
        problems.append(Problem("the file has no row lines"))
    problems.extend(_duplicates(rows))

    fields: Tuple[Optional[int], Optional[bytes], Optional[int]] = (None, None, None)
    if rows and rows[-1].line == len(lines):
        record = rows[-1].data[METADATA_AREA:METADATA_RECORD_END]
        fields = (record[0], record[1:10], int.from_bytes(record[10:12], "little"))
        problems.extend(_metadata_problems(rows, row_lines, len(rows) == row_lines))
    problems.sort(key=lambda p: (p.line is None, p.line or 0))
    return RowFile(path, lines[0] if lines else None, tuple(rows), row_lines, *fields, tuple(problems))


def read_row_file(path: PathArg) -> RowFile:
    """Reads and checks the row file at `path` (a str or path object; a
    pipe is read too). Raises OSError when it cannot be read and
    InputRefused, a ValueError, when it is no row file at all: a device, an
    ELF or HEX file, or larger than any row file. Everything wrong inside a
    row file is in the result's `problems`."""
    name = os.fspath(path)
    return parse_row_file(read_row_file_bytes(name), name)
