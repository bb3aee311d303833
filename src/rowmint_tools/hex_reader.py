"""What the plain `rowmint` command warns about after a conversion, read
from the HEX file the object-copy tool wrote.

The conversion has verified every record, so only record headers are read,
and data only where a record reaches the metadata record's 12 bytes. The
launcher loads this file on its own, without the package's __init__: it
imports nothing beyond the interpreter's start-up modules, typing and
dataclasses included.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:  # type checkers only; typing costs start-up time
    from typing import Dict, List, Optional, Tuple

ROW_SIZE = 256
APP_START = 0x2200  # below: the bootloader's flash
FLASH_END = 0x20000  # from here up: configuration sections, never warned of
METADATA_AREA = 192
METADATA_RECORD_END = 204
# The record's bytes after the checksum: nine fixed bytes; the last-row
# index follows.
METADATA_FIXED = bytes.fromhex("112200002100000000")
RANGES_NAMED = 4


def _span(start: int, end: int) -> str:
    return "0x%04X-0x%04X" % (start, end - 1)


def _ranges_text(ranges: "List[Tuple[int, int]]") -> str:
    named = ", ".join(_span(*r) for r in ranges[:RANGES_NAMED])
    if len(ranges) > RANGES_NAMED:
        named += " and %d more ranges" % (len(ranges) - RANGES_NAMED)
    return named


def _add_range(ranges: "List[Tuple[int, int]]", low: int, high: int) -> None:
    """Adds [low, high), joined to the last range when they touch."""
    if ranges and ranges[-1][0] <= low <= ranges[-1][1]:
        ranges[-1] = (ranges[-1][0], max(high, ranges[-1][1]))
    else:
        ranges.append((low, high))


class _Scan:
    """The facts the warnings need, gathered record by record."""

    def __init__(self) -> None:
        self.below: "List[Tuple[int, int]]" = []
        self.last_row: "Optional[int]" = None
        self.row_lines = 0
        # Per row: data bytes 191 to 203 as the image sets them (None unset).
        self.tails: "Dict[int, List[Optional[int]]]" = {}

    def data(self, address: int, line: str, count: int) -> None:
        end = address + count
        if address < APP_START:
            _add_range(self.below, address, min(end, APP_START))
        if end <= APP_START or address >= FLASH_END:
            return
        row = address // ROW_SIZE
        # A row line is opened when a record reaches a row other than the
        # last line's, or runs on past the last line's row.
        if row != self.last_row:
            self.last_row, self.row_lines = row, self.row_lines + 1
        elif address % ROW_SIZE + count > ROW_SIZE:
            self.last_row, self.row_lines = row + 1, self.row_lines + 1
        self._tails(address, end, line)

    def _tails(self, address: int, end: int, line: str) -> None:
        for row in {address // ROW_SIZE, (end - 1) // ROW_SIZE}:
            low = max(address, row * ROW_SIZE + METADATA_AREA - 1)
            high = min(end, row * ROW_SIZE + METADATA_RECORD_END)
            if low >= high:
                continue
            tail = self.tails.setdefault(row, [None] * (METADATA_RECORD_END - METADATA_AREA + 1))
            for at in range(low, high):
                digits = 9 + 2 * (at - address)
                tail[at - row * ROW_SIZE - METADATA_AREA + 1] = int(line[digits:digits + 2], 16)


def _scan(path: str) -> _Scan:
    scan = _Scan()
    base = 0
    with open(path, "r", encoding="ascii", errors="replace") as stream:
        for raw in stream:
            line = raw.strip()
            if len(line) < 11 or line[0] != ":":
                continue
            kind = line[7:9]
            if kind == "00":
                scan.data(base + int(line[3:7], 16), line, int(line[1:3], 16))
            elif kind == "01":
                break
            elif kind in ("02", "04"):
                base = int(line[9:13], 16) << (4 if kind == "02" else 16)
    return scan


def _metadata_warning(scan: _Scan) -> "Optional[str]":
    if scan.last_row is None or scan.last_row not in scan.tails:
        return None
    tail = scan.tails[scan.last_row]
    # An area the image reserves: a run of its own from byte 192 on.
    reserved = tail[0] is None and tail[1] is not None
    index = scan.row_lines - 1
    # The checksum byte is not known from the headers: it counts as changed.
    record: "List[Optional[int]]" = [None] + list(METADATA_FIXED) + [index & 0xFF, index >> 8]
    changed = [k for k in range(12) if tail[k + 1] is not None
               and not (reserved and tail[k + 1] == 0) and tail[k + 1] != record[k]]
    if not changed:
        return None
    start = scan.last_row * ROW_SIZE + METADATA_AREA
    return "the metadata record overwrites %d image bytes at 0x%04X-0x%04X" % (
        len(changed), start + changed[0], start + changed[-1])


def plain_warnings(hex_path: str) -> "List[str]":
    """The warnings of a conversion of the HEX file at `hex_path`: image
    bytes below 0x2200 left out, and image bytes the metadata record
    changes."""
    scan = _scan(hex_path)
    warnings = []
    if scan.below:
        count = sum(high - low for low, high in scan.below)
        warnings.append("%d image bytes below 0x%04X, the bootloader's flash, are left out: %s"
                        % (count, APP_START, _ranges_text(scan.below)))
    metadata = _metadata_warning(scan)
    if metadata is not None:
        warnings.append(metadata)
    return warnings
