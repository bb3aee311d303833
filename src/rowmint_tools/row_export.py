"""What a device holds once the bootloader has written every row of a row
file, the metadata record included, as Intel HEX or as a binary image.

Intel HEX is written as the object-copy tool writes it: 16 data bytes a
record, upper-case digits, CR LF line ends; the upper address bits come in
extended linear address records (type 04), one before the first data
record and one wherever they change; the end-of-file record closes it.
"""

import binascii
import os
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

from .output_file import check_output, write_replacing
from .row_file import ROW_SIZE, PathArg, Row
from .row_input import RowFileRefused, findings, read_bounded

SUFFIXES = {".hex": "hex", ".ihex": "hex", ".bin": "bin"}
RECORD_BYTES = 16
END_OF_FILE = b":00000001FF\r\n"


@dataclass(frozen=True)
class Exported:
    """What `export` wrote: `start` to `end` (inclusive) are the addresses
    the output covers; `filled_rows` the rows missing from the row file
    between them, which a binary output holds as `fill` bytes."""

    row_file: str
    out: str
    format: str
    start: int
    end: int
    rows: int
    filled_rows: int
    fill: Optional[int]
    size: int


def format_for(out: str, format: Optional[str] = None) -> str:
    """"hex" or "bin": as asked, or told by the suffix of `out`. A suffix that
    says the other format is refused, as a file named for one format that
    holds the other would mislead every tool after."""
    suffix = SUFFIXES.get(os.path.splitext(out)[1].lower())
    if format is None:
        if suffix is None:
            raise ValueError("%s: cannot tell the format from the suffix (.hex, .ihex or .bin); give --format"
                             % out)
        return suffix
    if format not in ("hex", "bin"):
        raise ValueError("the format is hex or bin, not %r" % (format,))
    if suffix is not None and suffix != format:
        raise ValueError("%s: the suffix says %s, the format asked for is %s" % (out, suffix, format))
    return format


def runs(rows: Sequence[Row]) -> List[Tuple[int, bytes]]:
    """The rows as runs of consecutive addresses: (address, bytes)."""
    found: List[Tuple[int, List[bytes]]] = []
    last = None
    for row in sorted(rows, key=lambda r: r.number):
        if last is not None and row.number == last + 1:
            found[-1][1].append(row.data)
        else:
            found.append((row.address, [row.data]))
        last = row.number
    return [(address, b"".join(pieces)) for address, pieces in found]


def _record(kind: int, offset: int, data: bytes) -> bytes:
    body = bytes((len(data), offset >> 8, offset & 0xFF, kind)) + data
    return b":%s%02X\r\n" % (binascii.hexlify(body).upper(), -sum(body) & 0xFF)


def _lane_sums(lanes: bytearray, width: int) -> bytes:
    """The sum, modulo 256, of each `width`-byte lane of `lanes` (`width` a
    power of two). A whole image has thousands of records: the bytes are
    summed as one integer, neighbouring lanes added pairwise, each step
    doubling the lane width, so that no carry crosses into the next lane."""
    size = len(lanes)
    total = int.from_bytes(lanes, "little")
    step = 1
    while step < width:
        mask = int.from_bytes((b"\xff" * step + b"\x00" * step) * (size // (2 * step)), "little")
        total = (total & mask) + ((total >> (8 * step)) & mask)
        step *= 2
    return total.to_bytes(size, "little")[0::width]


_NEGATED = bytes(-value & 0xFF for value in range(256))
_LANE = 32  # a record's 20 bytes before its checksum, in a lane of a power of two


def _data_records(offset: int, data: bytes) -> bytes:
    """The data records of `data` (whole rows) at `offset` within one 64 KB
    segment, built column by column rather than record by record."""
    count = len(data) // RECORD_BYTES
    lanes = bytearray(_LANE * count)
    lanes[0::_LANE] = bytes([RECORD_BYTES]) * count
    first_row = offset // ROW_SIZE
    for k in range(ROW_SIZE // RECORD_BYTES):  # the k-th record of each row
        lanes[1 + _LANE * k::_LANE * 16] = bytes(range(first_row, first_row + count // 16))
        lanes[2 + _LANE * k::_LANE * 16] = bytes([k * RECORD_BYTES]) * (count // 16)
    for k in range(RECORD_BYTES):
        lanes[4 + k::_LANE] = data[k::RECORD_BYTES]
    body = bytearray(21 * count)  # byte count, offset, type, 16 data bytes, checksum
    for k in range(20):
        body[k::21] = lanes[k::_LANE]
    body[20::21] = _lane_sums(lanes, _LANE).translate(_NEGATED)
    digits = binascii.hexlify(body).upper()
    text = bytearray(45 * count)  # ":", 42 digits, CR LF
    text[0::45] = b":" * count
    for k in range(42):
        text[1 + k::45] = digits[k::42]
    text[43::45] = b"\r" * count
    text[44::45] = b"\n" * count
    return bytes(text)


def _segments(address: int, data: bytes) -> List[Tuple[int, bytes]]:
    """A run of rows cut at each 64 KB boundary."""
    pieces = []
    while data:
        room = 0x10000 - (address & 0xFFFF)
        pieces.append((address, data[:room]))
        address, data = address + room, data[room:]
    return pieces


def intel_hex(rows: Sequence[Row]) -> bytes:
    records = []
    base = None
    for start, run in runs(rows):
        for address, data in _segments(start, run):
            if address >> 16 != base:
                base = address >> 16
                records.append(_record(4, 0, base.to_bytes(2, "big")))
            records.append(_data_records(address & 0xFFFF, data))
    records.append(END_OF_FILE)
    return b"".join(records)


def binary(rows: Sequence[Row], fill: int) -> bytes:
    """From the lowest row's address to the end of the highest row."""
    start = min(row.address for row in rows)
    image = bytearray([fill]) * (max(row.address for row in rows) + ROW_SIZE - start)
    for row in rows:
        image[row.address - start:row.address - start + ROW_SIZE] = row.data
    return bytes(image)


def export(row_file: PathArg, out: PathArg, *, format: Optional[str] = None, fill: Optional[int] = None) -> Exported:
    """Writes what the device holds after the bootloader has written every
    row of `row_file` to `out`, as Intel HEX ("hex") or a binary image
    ("bin"), by `format` or the suffix of `out`. `fill` (binary only, 0x00
    by default) stands for the rows the file lacks.

    Raises, before anything is written: ValueError for a format or fill
    that cannot be, OutputRefused (a ValueError) when `out` names the row
    file, a folder, a device, a pipe or a socket; RowFileRefused (a
    ValueError) when the row file has any problem; OSError when a file
    cannot be read or written. `out` is replaced whole or not at all."""
    source, target = os.fspath(row_file), os.fspath(out)
    kind = format_for(target, format)
    if fill is not None and kind != "bin":
        raise ValueError("a fill byte applies to a binary output only")
    if fill is not None and not 0 <= fill <= 0xFF:
        raise ValueError("the fill byte is 0x00 to 0xFF, not %r" % (fill,))
    check_output(target, source)
    rows = read_bounded(source)
    if rows.problems:
        raise RowFileRefused(findings(rows, rows.problems))
    data = intel_hex(rows.rows) if kind == "hex" else binary(rows.rows, 0 if fill is None else fill)
    write_replacing(target, data)
    start = min(row.address for row in rows.rows)
    end = max(row.address for row in rows.rows) + ROW_SIZE - 1
    filled = (end + 1 - start) // ROW_SIZE - len(rows.rows) if kind == "bin" else 0
    return Exported(source, target, kind, start, end, len(rows.rows), filled,
                    (0 if fill is None else fill) if kind == "bin" else None, len(data))
