"""What the plain `rowmint` command warns about after a conversion, read
from the HEX file the object-copy tool wrote.

The conversion has verified every record, so only record headers are read,
and data only where a record reaches the metadata record's 12 bytes of the
last row line. The
launcher loads this file on its own, without the package's __init__: it
imports nothing beyond the interpreter's start-up modules, typing and
dataclasses included.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:  # type checkers only; typing costs start-up time
    from typing import Iterator, List, Optional, Set, Tuple

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


BLOCK = 1 << 20  # bytes read at a time: a HEX file of any size takes little memory


# Records other than data records, as objcopy writes them: end of file,
# the two extended address records and the two start records.
NOT_DATA = (b":00000001", b":02000002", b":02000004", b":04000003", b":04000005")


def _blocks(path: str) -> "Iterator[bytes]":
    """The file a block at a time, each block whole lines."""
    with open(path, "rb") as stream:
        rest = b""
        while True:
            block = stream.read(BLOCK)
            if not block:
                break
            cut = block.rfind(b"\n") + 1
            if cut == 0:
                rest += block
                continue
            yield rest + block[:cut]
            rest = block[cut:]
        if rest:
            yield rest


def _marks(block: bytes) -> "List[int]":
    """Where the records other than data records begin, found at the
    speed of bytes.find: a statement per line would cost more than the
    conversion's own reading of the file."""
    found = []
    for mark in NOT_DATA:
        at = block.find(mark)
        while at >= 0:
            if at == 0 or block[at - 1] == 0x0A:
                found.append(at)
            at = block.find(mark, at + 1)
    return sorted(found)


def _segments(path: str) -> "Iterator[Tuple[int, List[bytes]]]":
    """Runs of data records, with the base address they lie under, in file
    order, up to the end-of-file record. Lines that do not begin with ":"
    (blank, or indented) are left out; the conversion has dealt with them."""
    base = 0
    for block in _blocks(path):
        start = 0
        for at in _marks(block):
            yield base, block[start:at].split(b"\n")
            end = block.find(b"\n", at) + 1 or len(block)
            line, start = block[at:end].strip(), end
            kind = line[7:9]
            if kind == b"01":
                return
            if kind in (b"02", b"04"):
                base = int(line[9:13], 16) << (4 if kind == b"02" else 16)
        yield base, block[start:].split(b"\n")


def _header(base: int, line: bytes) -> "Tuple[int, int]":
    return base + int(line[3:7], 16), int(line[1:3], 16)


def _in_flash(address: int, count: int) -> bool:
    return address + count > APP_START and address < FLASH_END


def _first_pass(path: str) -> "Tuple[List[Tuple[int, int]], Optional[int]]":
    """The ranges below 0x2200, and the row of the last row line: the last
    record's row, or the next when it runs on past a row that already has
    the last line."""
    below: "List[Tuple[int, int]]" = []
    last: "List[Tuple[int, int]]" = []  # the last two records in flash, in file order
    for base, lines in _segments(path):
        if base >= FLASH_END:
            continue
        if base < APP_START:
            # under base 0, only address high bytes 00 to 21 lie below
            low = [line for line in lines if line[3:5] < b"22"] if base == 0 else lines
            for line in low:
                if line[:1] != b":":
                    continue
                address, count = _header(base, line)
                if address < APP_START:
                    _add_range(below, address, min(address + count, APP_START))
        found: "List[Tuple[int, int]]" = []
        for line in reversed(lines):
            if line[:1] != b":":
                continue
            record = _header(base, line)
            if _in_flash(*record):
                found.insert(0, record)
                if len(found) == 2:
                    break
        last = (last + found)[-2:]
    if not last:
        return below, None
    address, count = last[-1]
    row = address >> 8
    runs_on = (address & 0xFF) + count > ROW_SIZE
    if runs_on and len(last) == 2 and (last[0][0] >> 8) == row:
        row += 1
    return below, row


def _hex_spellings(value: int) -> "Set[bytes]":
    """A byte's two hex digits, in every mix of letter case."""
    upper = b"%02X" % value
    return {upper, upper.lower(), upper[:1] + upper[1:].lower(), upper[:1].lower() + upper[1:]}


def _tail(path: str, row: int) -> "List[Optional[int]]":
    """Bytes 191 to 203 of the row as the image sets them (None unset); a
    later record wins, as in the conversion."""
    first = row * ROW_SIZE + METADATA_AREA - 1
    tail: "List[Optional[int]]" = [None] * (METADATA_RECORD_END - METADATA_AREA + 1)
    for base, lines in _segments(path):
        rows = [(row - n) - (base >> 8) for n in (0, 1)]  # records that may reach it
        spellings = set().union(*(_hex_spellings(r) for r in rows if 0 <= r <= 0xFF))
        if not spellings:
            continue
        for line in [line for line in lines if line[3:5] in spellings and line[:1] == b":"]:
            address, count = _header(base, line)
            for at in range(max(address, first), min(address + count, first + len(tail))):
                digits = 9 + 2 * (at - address)
                tail[at - first] = int(line[digits:digits + 2], 16)
    return tail


def _metadata_warning(path: str, row: int) -> "Optional[str]":
    tail = _tail(path, row)
    # An area the image reserves: a run of its own from byte 192 on.
    reserved = tail[0] is None and tail[1] is not None
    # The checksum and the last-row index are not known from the headers:
    # an image byte there counts as changed unless it is a placeholder.
    record: "List[Optional[int]]" = [None] + list(METADATA_FIXED) + [None, None]
    changed = [k for k in range(12) if tail[k + 1] is not None
               and not (reserved and tail[k + 1] == 0) and tail[k + 1] != record[k]]
    if not changed:
        return None
    start = row * ROW_SIZE + METADATA_AREA
    return "the metadata record overwrites %d image bytes at 0x%04X-0x%04X" % (
        len(changed), start + changed[0], start + changed[-1])


def plain_warnings(hex_path: str) -> "List[str]":
    """The warnings of a conversion of the HEX file at `hex_path`: image
    bytes below 0x2200 left out, and image bytes the metadata record
    changes."""
    below, last_row = _first_pass(hex_path)
    warnings = []
    if below:
        count = sum(high - low for low, high in below)
        warnings.append("%d image bytes below 0x%04X, the bootloader's flash, are left out: %s"
                        % (count, APP_START, _ranges_text(below)))
    metadata = None if last_row is None else _metadata_warning(hex_path, last_row)
    if metadata is not None:
        warnings.append(metadata)
    return warnings
