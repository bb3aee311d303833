"""An Intel HEX file read as the image it holds, by a reader of our own.

Only the flash window, 0x2200 to 0x1FFFF, is kept byte by byte: a bytearray
and a mask of the bytes that are set. What lies below it (the bootloader's
flash) is kept as a mask of 0x2200 bytes and what lies above as address
ranges, so a file of any size is read in memory of about the window's size.

The reader accepts every file that the conversion accepts (repeated and
overlapping records, the later winning; start records; extended segment and
linear addresses) and refuses, with the conversion's texts and the line
named, what it refuses for the integrity of the records.

The `rowmint` command loads this file by its path after a conversion, to
print its warnings: it imports no other module of the package, nor typing
or dataclasses, and nothing relative.
"""

import binascii

TYPE_CHECKING = False
if TYPE_CHECKING:  # type checkers only: the launcher's path keeps off typing
    from typing import Dict, Iterator, List, Optional, Sequence, Tuple

ROW_SIZE = 256
APP_START = 0x2200  # below: the bootloader's flash
FLASH_END = 0x20000  # rows 0x022 to 0x1FF end here
LAST_ROW = FLASH_END // ROW_SIZE - 1
# The metadata record fills bytes 192 to 203 of the last row line; the
# application checksum leaves out bytes 192 to 255.
METADATA_AREA = 192
METADATA_RECORD_END = 204
METADATA_FIXED = bytes.fromhex("112200002100000000")
RANGES_NAMED = 4  # at most this many address ranges are named in a warning

_ONES = b"\x01" * 256


def _ones(count: int) -> bytes:
    return _ONES[:count] if count <= 256 else b"\x01" * count


class AddressRanges:
    """Address ranges [start, end) above the window, in two arrays so that a
    file with many records outside flash stays small. Objcopy writes them in
    ascending order, and each extends the last range."""

    def __init__(self) -> None:
        from array import array  # not on the launcher's quick path: it imports collections

        self.starts = array("Q")
        self.ends = array("Q")
        self.ascending = True

    def add(self, start: int, end: int) -> None:
        if self.ends and self.starts[-1] <= start <= self.ends[-1]:
            if end > self.ends[-1]:
                self.ends[-1] = end
            return
        if self.starts and start < self.starts[-1]:
            self.ascending = False
        self.starts.append(start)
        self.ends.append(end)

    def merged(self) -> "List[Tuple[int, int]]":
        """The ranges sorted, overlapping and adjoining ones joined."""
        pairs = zip(self.starts, self.ends)
        result = []  # type: List[Tuple[int, int]]
        for start, end in (pairs if self.ascending else sorted(pairs)):
            if result and start <= result[-1][1]:
                result[-1] = (result[-1][0], max(end, result[-1][1]))
            else:
                result.append((start, end))
        return result


class ImageBytes:
    """An image as placed: the window's bytes and mask, the bytes below it as
    a mask, the ranges above it, and the window's rows in the order that
    the image first reaches them (the order of the row file's lines)."""

    def __init__(self) -> None:
        self.data = bytearray(FLASH_END - APP_START)
        self.mask = bytearray(FLASH_END - APP_START)
        self.below = bytearray(APP_START)
        self.above = AddressRanges()
        self.rows = []  # type: List[int]
        self._row_seen = bytearray(LAST_ROW + 1)

    def put(self, start: int, data: "Optional[bytes]", size: int) -> None:
        """Sets `size` bytes from `start`: `data`, or with None only the mask
        (where the values do not matter)."""
        end = start + size
        low, high = max(start, 0), min(end, APP_START)
        if low < high:
            self.below[low:high] = _ones(high - low)
        low, high = max(start, APP_START), min(end, FLASH_END)
        if low < high:
            if data is not None:
                self.data[low - APP_START:high - APP_START] = data[low - start:high - start]
            self.mask[low - APP_START:high - APP_START] = _ones(high - low)
            for row in range(low // ROW_SIZE, (high - 1) // ROW_SIZE + 1):
                if not self._row_seen[row]:
                    self._row_seen[row] = 1
                    self.rows.append(row)
        if end > FLASH_END:
            self.above.add(max(start, FLASH_END), end)

    def below_ranges(self) -> "List[Tuple[int, int]]":
        return mask_runs(self.below, 0)

    def row_bytes(self, row: int) -> "Tuple[bytes, bytes]":
        """The data and mask of one window row."""
        at = row * ROW_SIZE - APP_START
        return bytes(self.data[at:at + ROW_SIZE]), bytes(self.mask[at:at + ROW_SIZE])


def mask_runs(mask: "Sequence[int]", offset: int) -> "List[Tuple[int, int]]":
    """The runs of set bytes of a mask as address ranges [start, end)."""
    runs = []  # type: List[Tuple[int, int]]
    data = bytes(mask)
    at = data.find(1)
    while at >= 0:
        stop = data.find(0, at)
        stop = len(data) if stop < 0 else stop
        runs.append((offset + at, offset + stop))
        at = data.find(1, stop)
    return runs


# ---------------------------------------------------------------- reading

LINE_LIMIT = 1 << 16  # a record is at most 521 characters: a longer line is no record


def _hex(text: str, number: int) -> bytes:
    try:
        return binascii.a2b_hex(text)
    except ValueError as error:
        raise ValueError("HEX line %d: %s" % (number, error)) from None


def _refusal(text: str, number: int) -> ValueError:
    """Why a line is no whole and intact record, checked in the order the
    conversion checks it."""
    header = _hex(text[1:9], number)
    if len(header) < 4:
        return ValueError("HEX line %d: the record header holds %d of its 4 bytes" % (number, len(header)))
    if text[:1] != ":":
        return ValueError("HEX line %d: the record does not begin with ':'" % number)
    digits = 2 * header[0]
    if len(text) > 11 + digits:
        return ValueError("HEX line %d: the record runs on past its checksum" % number)
    present = len(text[9:9 + digits])
    if present < digits:
        return ValueError("HEX line %d: the record holds %d data digits, its byte count needs %d"
                          % (number, present, digits))
    if len(text) < 11 + digits:
        return ValueError("HEX line %d: the record ends before its checksum" % number)
    body = _hex(text[1:], number)
    return ValueError("HEX line %d: the record checksum is 0x%02X, its bytes need 0x%02X"
                      % (number, body[-1], -sum(body[:-1]) & 0xFF))


def _record(text: str, number: int) -> "Optional[bytes]":
    """The bytes after ':' of a whole and intact record, or None for a line
    too short to hold a record header."""
    try:
        body = binascii.a2b_hex(text[1:])
        if text[0] == ":" and len(body) == body[0] + 5 and not sum(body) & 0xFF:
            return body
    except (ValueError, IndexError):
        pass
    if len(_hex(text[1:9], number)) == 4:
        raise _refusal(text, number)
    return None


def read_image(path: str) -> ImageBytes:
    """The image in the HEX file at `path`, read as the conversion reads it
    (text in the platform's encoding, each line stripped). Raises OSError
    when the file cannot be read and ValueError, naming the line, when it
    is refused."""
    image = ImageBytes()
    base = 0
    after_last_row = False  # short or malformed lines are then passed over, as the conversion does
    above_start = above_end = -1  # the run of bytes above the window being read
    number = 0
    with open(path) as lines:
        for number, line in enumerate(iter(lambda: lines.readline(LINE_LIMIT), ""), 1):
            text = line.strip()
            if len(line) == LINE_LIMIT and line[-1] != "\n":  # refused as the conversion would, unread
                if len(_hex(text[1:9], number)) == 4:
                    raise _refusal(text, number)
                raise ValueError("HEX line %d: the line is longer than any record" % number)
            body = _record(text, number)
            if body is None:
                if after_last_row:
                    continue
                raise _refusal(text, number)
            kind = body[3]
            if kind == 0:
                start = base + (body[1] << 8 | body[2])
                end = start + body[0]
                if start >= FLASH_END and above_start <= start <= above_end:
                    above_end = max(end, above_end)  # the usual case: on from the last record
                    continue
                if above_start >= 0:
                    image.above.add(above_start, above_end)
                if start >= FLASH_END:
                    above_start, above_end = start, end
                    continue
                above_start = above_end = -1
                image.put(start, body[4:-1], body[0])
                after_last_row = after_last_row or start >> 8 == LAST_ROW
            elif kind == 1:
                if above_start >= 0:
                    image.above.add(above_start, above_end)
                return image
            elif kind in (2, 4):
                if body[0] != 2:
                    if after_last_row:
                        continue
                    raise ValueError("HEX line %d: malformed extended address record" % number)
                base = (body[4] << 8 | body[5]) << (4 if kind == 2 else 16)
                after_last_row = after_last_row and base != 0x10000
    raise ValueError("the HEX file ends after line %d without an end-of-file record" % number)


# ---------------------------------------------------------------- what a row file loses

def span(start: int, end: int) -> str:
    """An address range [start, end) as the warnings name it."""
    return "0x%04X-0x%04X" % (start, end - 1)


def ranges_text(ranges: "List[Tuple[int, int]]") -> str:
    named = ", ".join(span(*r) for r in ranges[:RANGES_NAMED])
    if len(ranges) > RANGES_NAMED:
        named += " and %d more ranges" % (len(ranges) - RANGES_NAMED)
    return named


def left_out_below(ranges: "List[Tuple[int, int]]") -> str:
    return "%d image bytes below 0x%04X, the bootloader's flash, are left out: %s" % (
        sum(high - low for low, high in ranges), APP_START, ranges_text(ranges))


def metadata_record(app_checksum: int, last_row_index: int) -> bytes:
    return bytes([app_checksum]) + METADATA_FIXED + last_row_index.to_bytes(2, "little")


def changed_by_record(data: bytes, mask: bytes, record: bytes, reserved: bool) -> "List[int]":
    """The offsets in the row of image bytes whose value the metadata record
    changes. In an area the image reserves, a zero is a placeholder."""
    return [k for k in range(METADATA_AREA, METADATA_RECORD_END)
            if mask[k] and data[k] != record[k - METADATA_AREA] and not (reserved and data[k] == 0)]


def overwrite_text(row: int, offsets: "List[int]") -> str:
    return "the metadata record overwrites %d image bytes at %s" % (
        len(offsets), span(row * ROW_SIZE + offsets[0], row * ROW_SIZE + offsets[-1] + 1))


def hex_reserves(mask: bytes) -> bool:
    """A HEX file reserves the metadata area with a run of bytes of its own
    that begins there: byte 192 of the row set, byte 191 not."""
    return bool(mask[METADATA_AREA]) and not mask[METADATA_AREA - 1]


class _Unusual(Exception):
    """A line the quick scan leaves to the full reader."""


# The bytes of a row that decide what the metadata record does to an
# image: 191 (whether a run of its own begins at 192) to 203.
_DECIDING, _DECIDING_END = METADATA_AREA - 1, METADATA_RECORD_END
# The offsets, as objcopy writes them, of a 16-byte record that stays in its
# row and clear of bytes 191 to 203.
_CLEAR = frozenset(b"%02X" % k for k in range(ROW_SIZE - 15) if k + 16 <= _DECIDING or k >= _DECIDING_END)


class _Scan:
    """What the quick scan gathers: the ranges below the window, the
    window's rows in the order the records first reach them, and by row the
    records, with their addresses, that set bytes 191 to 203 of it."""

    def __init__(self) -> None:
        self.below = []  # type: List[Tuple[int, int]]
        self.rows = []  # type: List[int]
        self.near = {}  # type: Dict[int, List[Tuple[int, bytes]]]
        self.seen = bytearray(LAST_ROW + 1)

    def reach(self, row: int, start: int, end: int, first: int, text: bytes) -> None:
        if not self.seen[row]:
            self.seen[row] = 1
            self.rows.append(row)
        if start < (row << 8) + _DECIDING_END and end > (row << 8) + _DECIDING:
            self.near.setdefault(row, []).append((first, text))

    def place(self, first: int, end: int, text: bytes) -> None:
        """A record that does not lie in one row of the window."""
        if first < APP_START and first < end:
            self.below.append((first, min(end, APP_START)))
        start = max(first, APP_START)
        if start < min(end, FLASH_END):
            low, high = start >> 8, min(end - 1 >> 8, LAST_ROW)
            self.reach(low, start, end, first, text)
            if high != low:
                self.reach(high, start, end, first, text)


def _line_blocks(path: str) -> "Iterator[List[bytes]]":
    """The file's lines, without their LF, a block of about a MiB at a time.
    Raises _Unusual for a CR that ends no CR LF (the conversion takes it
    for a line end) or a line longer than any record."""
    rest = b""
    with open(path, "rb") as stream:
        while True:
            chunk = stream.read(1 << 20)
            block = rest + chunk
            cut = block.rfind(b"\n") + 1 if chunk else len(block)
            block, rest = block[:cut], block[cut:]
            if block.count(b"\r") != block.count(b"\r\n") or len(rest) > LINE_LIMIT:
                raise _Unusual()
            if not block:
                return
            yield block.split(b"\n")


def _quick_scan(path: str) -> _Scan:
    """The data records of a file the conversion has read, by their headers.
    Raises _Unusual for a file that objcopy would not write: a line with
    white space before its record, or a line end other than LF or CR LF."""
    scan = _Scan()
    seen, rows = scan.seen, scan.rows
    base = 0
    same = b""  # count and row of the last 16-byte record in the window, under the current base
    for lines in _line_blocks(path):
        for text in lines:
            if text[7:9] == b"00" and text[1:5] == same and text[5:7] in _CLEAR:
                continue  # the usual line: one more 16-byte record of that row, clear of its bytes 191 to 203
            same = b""
            if text[:1] != b":":
                if text.strip():
                    raise _Unusual()
                continue
            kind = text[7:9]
            if kind == b"00":
                fields = int(text[1:7], 16)
                start = base + (fields & 0xFFFF)
                offset = start & 0xFF
                end_offset = offset + (fields >> 16)
                if start >= FLASH_END:  # nothing up there is warned of
                    same = text[1:5] if text[1:3] == b"10" else b""
                elif APP_START <= start and 0 < end_offset <= ROW_SIZE:  # within one row: the usual record
                    row = start >> 8
                    if not seen[row]:
                        seen[row] = 1
                        rows.append(row)
                    if offset < _DECIDING_END and end_offset > _DECIDING:
                        scan.near.setdefault(row, []).append((start, text))
                    if text[1:3] == b"10":
                        same = text[1:5]
                else:
                    scan.place(start, start + (fields >> 16), text)
            elif kind == b"01":
                return scan
            elif kind in (b"02", b"04") and text[1:3] == b"02":
                base = int(text[9:13], 16) << (4 if kind == b"02" else 16)
    return scan


def _deciding_bytes(row: int, records: "List[Tuple[int, bytes]]") -> "Tuple[bytes, bytes]":
    """Bytes 191 to 203 of a row and their mask, the later record winning."""
    data, mask = bytearray(ROW_SIZE), bytearray(ROW_SIZE)
    for start, text in records:
        payload = binascii.a2b_hex(text[9:9 + 2 * int(text[1:3], 16)])
        for k in range(_DECIDING, _DECIDING_END):
            at = (row << 8) + k - start
            if 0 <= at < len(payload):
                data[k], mask[k] = payload[at], 1
    return bytes(data), bytes(mask)


def _warnings(image: ImageBytes) -> "List[str]":
    """The plain warnings of an image read whole."""
    below = image.below_ranges()
    warnings = [left_out_below(below)] if below else []
    if image.rows:
        row = image.rows[-1]
        data, mask = image.row_bytes(row)
        app_checksum = -(sum(image.data) - sum(data[METADATA_AREA:])) & 0xFF
        changed = changed_by_record(data, mask, metadata_record(app_checksum, len(image.rows) - 1),
                                    hex_reserves(mask))
        if changed:
            warnings.append(overwrite_text(row, changed))
    return warnings


def plain_warnings(hex_path: str) -> "List[str]":
    """The warnings of a conversion whose HEX file is `hex_path`, in the
    checker's words: image bytes below 0x2200 left out, and image bytes
    whose value the metadata record changes. Bytes from 0x20000 up get none:
    real images carry configuration sections there. Only record headers are
    read, and the data of the records that meet the metadata record. Raises
    OSError when the file cannot be read, and ValueError for a file that
    the conversion would have refused."""
    try:
        scan = _quick_scan(hex_path)
    except _Unusual:
        return _warnings(read_image(hex_path))
    below, rows, near = scan.below, scan.rows, scan.near
    warnings = []
    if below:
        below_mask = bytearray(APP_START)
        for start, end in below:
            below_mask[start:end] = _ones(end - start)
        warnings.append(left_out_below(mask_runs(below_mask, 0)))
    if rows and rows[-1] in near:
        data, mask = _deciding_bytes(rows[-1], near[rows[-1]])
        reserved = hex_reserves(mask)
        if mask[METADATA_AREA] and not (reserved and data[METADATA_AREA] == 0):
            return _warnings(read_image(hex_path))  # the application checksum decides: read it all
        # The checksum's byte is unset or a placeholder: it changes no image byte.
        changed = changed_by_record(data, mask, bytes(1) + metadata_record(0, len(rows) - 1)[1:], reserved)
        if changed:
            warnings.append(overwrite_text(rows[-1], changed))
    return warnings
