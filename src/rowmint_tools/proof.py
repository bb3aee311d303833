"""Checking a row file against the image it came from: its rows are exactly
the rows the image reaches between 0x2200 and 0x1FFFF, and every byte is the
image's (00 where the image sets none), the metadata record aside."""

import os
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from .elf_image import read_elf
from .hex_reader import FLASH_END, changed_by_record, left_out_below, overwrite_text, ranges_text, span as _span
from .image import FlashRow, Image, read_hex
from .input_files import require_kind
from .row_file import (FIRST_ROW, LAST_ROW, METADATA_AREA, METADATA_RECORD_END, ROW_SIZE, PathArg,
                       Problem, Row, RowFile, read_row_file)


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


def _row_difference(row: Row, expected: FlashRow, keep_record: bool) -> Optional[Problem]:
    """The differing bytes of one row line; the metadata record's bytes do
    not count on the line that holds it."""
    if row.data == expected.data or (keep_record and row.data[:METADATA_AREA] == expected.data[:METADATA_AREA]
                                     and row.data[METADATA_RECORD_END:] == expected.data[METADATA_RECORD_END:]):
        return None  # the usual row, compared at once
    differing = [k for k in range(ROW_SIZE) if row.data[k] != expected.data[k]
                 and not (keep_record and METADATA_AREA <= k < METADATA_RECORD_END)]
    if not differing:
        return None
    first = differing[0]
    return Problem("row 0x%03X differs from the image in %d byte%s, first at 0x%04X "
                   "(the file has %02X, the image %02X)"
                   % (row.number, len(differing), "" if len(differing) == 1 else "s",
                      row.address + first, row.data[first], expected.data[first]), row.line,
                   row.number, row.address + first, "row_differs")


def _compare_rows(rows: RowFile, image_rows: Dict[int, FlashRow]) -> List[Problem]:
    problems = []
    record_line = rows.metadata_row.line if rows.metadata_row else None
    for row in rows.rows:
        if not FIRST_ROW <= row.number <= LAST_ROW:
            continue  # the reader has reported it
        expected = image_rows.get(row.number)
        if expected is None:
            problems.append(Problem("row 0x%03X is not part of the image, which sets no byte in %s"
                                    % (row.number, _span(row.address, row.address + ROW_SIZE)), row.line,
                                    row.number, row.address, "extra_row"))
            continue
        difference = _row_difference(row, expected, row.line == record_line)
        if difference is not None:
            problems.append(difference)
    present = {row.number for row in rows.rows}
    for first, last in _runs(sorted(set(image_rows) - present)):
        count = sum(image_rows[n].count for n in range(first, last + 1))
        which = "row 0x%03X is" % first if first == last else "rows 0x%03X to 0x%03X are" % (first, last)
        problems.append(Problem("%s missing: the image sets %d bytes in %s"
                                % (which, count, _span(first * ROW_SIZE, (last + 1) * ROW_SIZE)),
                                None, first, first * ROW_SIZE, "missing_rows"))
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
    below, above = image.below(), image.above()
    warnings = [Problem(left_out_below(below), address=below[0][0], kind="left_out_below")] if below else []
    if above:
        warnings.append(Problem("%d image bytes from 0x%04X up, past the end of flash, are left out: %s" % (
            sum(high - low for low, high in above), FLASH_END, ranges_text(above)),
            address=above[0][0], kind="above_flash"))
    return warnings


def _record_row(rows: RowFile, image_rows: Dict[int, FlashRow]) -> Optional[Tuple[int, Optional[Row]]]:
    """The row that holds the metadata record, and its line: the row file's
    last row line, or without one the last row the image reaches."""
    last = rows.metadata_row
    if last is not None:
        return last.number, last
    return (max(image_rows), None) if image_rows else None


def _metadata_record(rows: RowFile, image: Image, image_rows: Dict[int, FlashRow]) -> Tuple[List[Problem], List[Problem]]:
    """An error for image bytes whose value the metadata record changes, and
    a warning for image bytes that the application checksum leaves out,
    unless the image reserves the area for them."""
    found = _record_row(rows, image_rows)
    if found is None or found[0] not in image_rows:
        return [], []
    number, last = found
    expected = image_rows[number]
    reserved = image.reserves_metadata_area(number)
    line = last.line if last is not None else None
    errors = []
    if last is not None:
        changed = changed_by_record(bytes(expected.data), bytes(expected.mask),
                                    last.data[METADATA_AREA:METADATA_RECORD_END], reserved)
        if changed:
            message = overwrite_text(number, changed)
            names = image.sections_at([number * ROW_SIZE + k for k in changed])
            if names:
                message += " (section%s %s)" % ("s" if len(names) > 1 else "", ", ".join(names))
            errors.append(Problem(message, line, number, number * ROW_SIZE + changed[0], "metadata_overwrite"))
    offsets = [k for k in range(METADATA_RECORD_END, ROW_SIZE) if expected.mask[k]]
    if reserved or not offsets:
        return errors, []
    return errors, [Problem("the image has bytes in the metadata area of its last row, 0x%03X: the application "
                            "checksum leaves out %d image bytes in %s"
                            % (number, len(offsets), _span(number * ROW_SIZE + offsets[0],
                                                            number * ROW_SIZE + offsets[-1] + 1)),
                            line, number, number * ROW_SIZE + offsets[0], "metadata_area")]


def prove(rows: RowFile, image: Image) -> Report:
    """The report on a row file already read, against an image already read."""
    image_rows = image.flash_rows()
    record_errors, record_warnings = _metadata_record(rows, image, image_rows)
    problems = list(rows.problems) + _compare_rows(rows, image_rows) + record_errors
    problems.sort(key=lambda p: (p.line is None, p.line or 0))
    warnings = _left_out(image) + record_warnings
    return Report(rows, image, tuple(problems), tuple(warnings))


def check(row_file: PathArg, *, elf: Optional[PathArg] = None, hex_file: Optional[PathArg] = None) -> Report:
    """Reads the row file and proves it against the ELF file or the HEX file
    it was made from; with neither, checks the row file's layout alone.
    Raises OSError for a file that cannot be read and ValueError for an ELF
    or HEX file that cannot be parsed, or that is a device or a socket (an
    ELF file must also be seekable: no pipe)."""
    if elf is not None and hex_file is not None:
        raise TypeError("check() takes elf or hex_file, not both")
    # Refused before the row file is read: /dev/zero as an image never ends.
    if elf is not None:
        require_kind(os.fspath(elf), seekable=True)
    if hex_file is not None:
        require_kind(os.fspath(hex_file), seekable=False)
    rows = read_row_file(row_file)
    if elf is not None:
        return prove(rows, read_elf(elf))
    if hex_file is not None:
        return prove(rows, read_hex(hex_file))
    return Report(rows, None, rows.problems, ())
