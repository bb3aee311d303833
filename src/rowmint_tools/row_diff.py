"""Two row files compared as the device would hold them: which rows each has
alone, which bytes of the rows they share differ, and what changed in the
metadata record.

Rows are compared as bytes, so the letter case of digits and the line ends
do not count. The 12 bytes of each file's metadata record are left out of
the row comparison: they are compared as the record's three fields instead.
"""

import re
from dataclasses import dataclass
from typing import Dict, FrozenSet, List, Optional, Tuple, TypeVar

from .row_file import METADATA_AREA, METADATA_RECORD_END, ROW_SIZE, PathArg, Problem, Row, RowFile
from .row_input import Finding, RowFileRefused, findings, read_bounded

# What a comparison can go on past: a row's own checksum and the metadata
# record are reported as changes anyway, and a missing last line end is a
# matter of line ends. Everything else (a line that is not a row line, a
# row given twice, a wrong array ID) leaves the file unfit to compare.
_TOLERATED = re.compile(r"row 0x[0-9A-F]+: the row checksum is |the metadata record's |the last line has no line end")

T = TypeVar("T")


@dataclass(frozen=True)
class Span:
    """Consecutive differing addresses, `first` to `last` inclusive."""

    first: int
    last: int

    @property
    def count(self) -> int:
        return self.last - self.first + 1


@dataclass(frozen=True)
class RowChange:
    """A row both files hold, with the address spans where their bytes
    differ; `checksums` is the pair (old, new) of row checksums when only
    they differ, which a wrong checksum in one of the files brings about."""

    row: int
    spans: Tuple[Span, ...]
    checksums: Optional[Tuple[int, int]] = None

    @property
    def count(self) -> int:
        return sum(span.count for span in self.spans)


@dataclass(frozen=True)
class Diff:
    """What differs between the row files `old` and `new`. A metadata field
    is None when both files agree on it, else the pair (old, new)."""

    old: RowFile
    new: RowFile
    only_old: Tuple[int, ...]
    only_new: Tuple[int, ...]
    changed_rows: Tuple[RowChange, ...]
    app_checksum: Optional[Tuple[int, int]]
    metadata_fixed: Optional[Tuple[bytes, bytes]]
    last_row_index: Optional[Tuple[int, int]]
    order_differs: bool
    warnings: Tuple[Finding, ...]

    @property
    def metadata_changes(self) -> int:
        return sum(change is not None for change in (self.app_checksum, self.metadata_fixed, self.last_row_index))

    @property
    def same(self) -> bool:
        """The same rows, in the same order, with the same bytes."""
        return not (self.only_old or self.only_new or self.changed_rows or self.metadata_changes
                    or self.order_differs)


def _tolerated(problem: Problem) -> bool:
    return _TOLERATED.match(problem.message) is not None


def _record_offsets(rows: RowFile, number: int) -> FrozenSet[int]:
    record = rows.metadata_row
    if record is None or record.number != number:
        return frozenset()
    return frozenset(range(METADATA_AREA, METADATA_RECORD_END))


def _spans(old: bytes, new: bytes, skip: FrozenSet[int], base: int) -> Tuple[Span, ...]:
    spans: List[Span] = []
    start: Optional[int] = None
    for at in range(ROW_SIZE + 1):
        differs = at < ROW_SIZE and at not in skip and old[at] != new[at]
        if differs and start is None:
            start = at
        elif not differs and start is not None:
            spans.append(Span(base + start, base + at - 1))
            start = None
    return tuple(spans)


def _row_change(old: RowFile, new: RowFile, a: Row, b: Row) -> Optional[RowChange]:
    skip = _record_offsets(old, a.number) | _record_offsets(new, b.number)
    spans = () if not skip and a.data == b.data else _spans(a.data, b.data, skip, a.address)
    if spans:
        return RowChange(a.number, spans)
    # The same bytes with another checksum: one of them is wrong, unless the
    # row holds a metadata record, whose own changes are reported apart.
    if a.checksum != b.checksum and not skip:
        return RowChange(a.number, (), (a.checksum, b.checksum))
    return None


def _field(old: T, new: T) -> Optional[Tuple[T, T]]:
    return None if old == new else (old, new)


def _record(rows: RowFile) -> Tuple[int, bytes, int]:
    """The metadata record's fields, which a file read without errors has."""
    if rows.app_checksum is None or rows.metadata_fixed is None or rows.last_row_index is None:
        raise RowFileRefused((Finding(rows.path, Problem("the file holds no metadata record")),))
    return rows.app_checksum, rows.metadata_fixed, rows.last_row_index


def _compare(old: RowFile, new: RowFile, warnings: Tuple[Finding, ...]) -> Diff:
    old_rows: Dict[int, Row] = {row.number: row for row in old.rows}
    new_rows: Dict[int, Row] = {row.number: row for row in new.rows}
    changes = (_row_change(old, new, old_rows[n], new_rows[n]) for n in sorted(old_rows.keys() & new_rows.keys()))
    shared_old = [row.number for row in old.rows if row.number in new_rows]
    shared_new = [row.number for row in new.rows if row.number in old_rows]
    old_record, new_record = _record(old), _record(new)
    return Diff(
        old, new,
        only_old=tuple(sorted(old_rows.keys() - new_rows.keys())),
        only_new=tuple(sorted(new_rows.keys() - old_rows.keys())),
        changed_rows=tuple(change for change in changes if change is not None),
        app_checksum=_field(old_record[0], new_record[0]),
        metadata_fixed=_field(old_record[1], new_record[1]),
        last_row_index=_field(old_record[2], new_record[2]),
        order_differs=shared_old != shared_new,
        warnings=warnings)


def diff(old: PathArg, new: PathArg) -> Diff:
    """Compares the row files `old` and `new` (str or path objects).

    Raises OSError when a file cannot be read (TooLarge past 1 MiB), and
    RowFileRefused, naming every problem of both files, when either cannot
    be read as row lines. Wrong row checksums and a wrong metadata record
    are the result's `warnings`, and the comparison goes on."""
    files = (read_bounded(old), read_bounded(new))
    errors: Tuple[Finding, ...] = ()
    warnings: Tuple[Finding, ...] = ()
    for rows in files:
        errors += findings(rows, (p for p in rows.problems if not _tolerated(p)))
        warnings += findings(rows, (p for p in rows.problems if _tolerated(p)))
    if errors:
        raise RowFileRefused(errors)
    return _compare(files[0], files[1], warnings)
