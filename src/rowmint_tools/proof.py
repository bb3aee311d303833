"""Checking a row file against the image it came from: its rows are exactly
the rows the image reaches between 0x2200 and 0x1FFFF, and every byte is the
image's (00 where the image sets none), the metadata record aside."""

from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from .image import APP_START, FLASH_END, FlashRow, Image, read_elf, read_hex
from .row_file import (FIRST_ROW, LAST_ROW, METADATA_AREA, METADATA_RECORD_END, ROW_SIZE, PathArg,
                       Problem, Row, RowFile, read_row_file)

# At most this many address ranges are named in a warning.
RANGES_NAMED = 4


@dataclass(frozen=True)
class Report:
    """What `check` found: `problems` make the row file unfit to flash;
    `warnings` are image bytes that the row file leaves out or overwrites
    by design."""

    row_file: RowFile
    image: Optional[Image]
    problems: Tuple[Problem, ...]
    warnings: Tuple[Problem, ...]

    @property
    def ok(self) -> bool:
        return not self.problems


def _span(start: int, end: int) -> str:
    return "0x%04X-0x%04X" % (start, end - 1)


def _ranges_text(ranges: List[Tuple[int, int]]) -> str:
    named = ", ".join(_span(*r) for r in ranges[:RANGES_NAMED])
    if len(ranges) > RANGES_NAMED:
        named += " and %d more ranges" % (len(ranges) - RANGES_NAMED)
    return named


def _row_difference(row: Row, expected: FlashRow, keep_record: bool) -> Optional[Problem]:
    """The differing bytes of one row line; the metadata record's bytes do
    not count on the line that holds it."""
    differing = [k for k in range(ROW_SIZE) if row.data[k] != expected.data[k]
                 and not (keep_record and METADATA_AREA <= k < METADATA_RECORD_END)]
    if not differing:
        return None
    first = differing[0]
    return Problem("row 0x%03X differs from the image in %d byte%s, first at 0x%04X "
                   "(the file has %02X, the image %02X)"
                   % (row.number, len(differing), "" if len(differing) == 1 else "s",
                      row.address + first, row.data[first], expected.data[first]), row.line)


def _compare_rows(rows: RowFile, image_rows: Dict[int, FlashRow]) -> List[Problem]:
    problems = []
    record_line = rows.metadata_row.line if rows.metadata_row else None
    for row in rows.rows:
        if not FIRST_ROW <= row.number <= LAST_ROW:
            continue  # the reader has reported it
        expected = image_rows.get(row.number)
        if expected is None:
            problems.append(Problem("row 0x%03X is not part of the image, which sets no byte in %s"
                                    % (row.number, _span(row.address, row.address + ROW_SIZE)), row.line))
            continue
        difference = _row_difference(row, expected, row.line == record_line)
        if difference is not None:
            problems.append(difference)
    present = {row.number for row in rows.rows}
    for first, last in _runs(sorted(set(image_rows) - present)):
        count = sum(image_rows[n].count for n in range(first, last + 1))
        which = "row 0x%03X is" % first if first == last else "rows 0x%03X to 0x%03X are" % (first, last)
        problems.append(Problem("%s missing: the image sets %d bytes in %s"
                                % (which, count, _span(first * ROW_SIZE, (last + 1) * ROW_SIZE))))
    return problems


def _runs(numbers: List[int]) -> List[Tuple[int, int]]:
    """Ascending numbers as runs of consecutive ones, (first, last) each."""
    runs: List[Tuple[int, int]] = []
    for number in numbers:
        if runs and number == runs[-1][1] + 1:
            runs[-1] = (runs[-1][0], number)
        else:
            runs.append((number, number))
    return runs


def _left_out(image: Image) -> List[Problem]:
    warnings = []
    for start, end, where in ((0, APP_START, "below 0x%04X, the bootloader's flash," % APP_START),
                              (FLASH_END, 1 << 64, "from 0x%04X up, past the end of flash," % FLASH_END)):
        ranges = image.outside(start, end)
        if ranges:
            count = sum(high - low for low, high in ranges)
            warnings.append(Problem("%d image bytes %s are left out: %s" % (count, where, _ranges_text(ranges))))
    return warnings


def _metadata_area_bytes(rows: RowFile, image: Image, image_rows: Dict[int, FlashRow]) -> List[Problem]:
    """Image bytes in the last row's metadata area, unless a section of
    their own reserves exactly that area (its bytes are placeholders)."""
    last = rows.metadata_row
    if last is not None:
        number = last.number
    elif image_rows:
        number = max(image_rows)
    else:
        return []
    if number not in image_rows:
        return []
    area = number * ROW_SIZE + METADATA_AREA
    if image.covers_exactly(area, area + ROW_SIZE - METADATA_AREA):
        return []
    mask = image_rows[number].mask
    parts = []
    for low, high, what in ((METADATA_AREA, METADATA_RECORD_END, "the metadata record overwrites"),
                            (METADATA_RECORD_END, ROW_SIZE, "the application checksum leaves out")):
        offsets = [k for k in range(low, high) if mask[k]]
        if offsets:
            parts.append("%s %d image bytes in %s" % (what, len(offsets),
                                                     _span(number * ROW_SIZE + offsets[0],
                                                           number * ROW_SIZE + offsets[-1] + 1)))
    if not parts:
        return []
    return [Problem("the image has bytes in the metadata area of its last row, 0x%03X: %s"
                    % (number, "; ".join(parts)), last.line if last is not None else None)]


def prove(rows: RowFile, image: Image) -> Report:
    """The report on a row file already read, against an image already read."""
    image_rows = image.flash_rows()
    problems = list(rows.problems) + _compare_rows(rows, image_rows)
    problems.sort(key=lambda p: (p.line is None, p.line or 0))
    warnings = _left_out(image) + _metadata_area_bytes(rows, image, image_rows)
    return Report(rows, image, tuple(problems), tuple(warnings))


def check(row_file: PathArg, *, elf: Optional[PathArg] = None, hex_file: Optional[PathArg] = None) -> Report:
    """Reads the row file and proves it against the ELF file or the HEX file
    it was made from; with neither, checks the row file's layout alone.
    Raises OSError for a file that cannot be read and ValueError for an ELF
    or HEX file that cannot be parsed."""
    if elf is not None and hex_file is not None:
        raise TypeError("check() takes elf or hex_file, not both")
    rows = read_row_file(row_file)
    if elf is not None:
        return prove(rows, read_elf(elf))
    if hex_file is not None:
        return prove(rows, read_hex(hex_file))
    return Report(rows, None, rows.problems, ())
