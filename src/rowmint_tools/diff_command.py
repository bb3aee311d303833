"""The `rowmint-diff` command: two row files compared, as `cmp` and `diff`
do it for other files.

Exit status: 0 when both hold the same rows in the same order with the same
bytes, 1 when they differ, 2 on trouble (a file that cannot be read, or read
as row lines; a usage error).
"""

import argparse
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .command_line import EXIT_TROUBLE, add_version, error_json, error_line, guarded, write_json, write_lines
from .input_files import InputRefused
from .row_diff import Diff, RowChange, Span, diff
from .row_file import hex_bytes
from .row_input import RowFileRefused

PROG = "rowmint-diff"
EXIT_SAME, EXIT_DIFFER = 0, 1

DESCRIPTION = (
    "Compare two cyacd row files: the rows only in OLD, the rows only in NEW, "
    "for each row both hold the address ranges whose bytes differ, the changes "
    "of the metadata record (application checksum, fixed bytes, last row "
    "index) and whether the rows come in another order. Each file's 12 "
    "metadata-record bytes are left out of the row comparison; line ends and "
    "the letter case of digits do not count. A wrong row checksum or metadata "
    "record is a warning; a file that cannot be read as row lines is an error, "
    "and so are a row given twice, a wrong array ID or data length and a row "
    "outside 0x022 to 0x1FF."
)
EPILOG = "Exit status: 0 when the files hold the same rows, 1 when they differ, 2 on trouble."


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG)
    add_version(parser)
    parser.add_argument("old", metavar="OLD", help="the row file to compare from")
    parser.add_argument("new", metavar="NEW", help="the row file to compare with")
    parser.add_argument("--json", action="store_true", help="print the comparison as one JSON object")
    return parser


def _runs(numbers: Sequence[int]) -> List[Tuple[int, int]]:
    runs: List[Tuple[int, int]] = []
    for number in numbers:
        if runs and runs[-1][1] == number - 1:
            runs[-1] = (runs[-1][0], number)
        else:
            runs.append((number, number))
    return runs


def rows_text(numbers: Sequence[int]) -> str:
    """Row numbers as runs: "rows 0x02E to 0x030, 0x040"."""
    parts = ["0x%03X" % first if first == last else "0x%03X to 0x%03X" % (first, last)
             for first, last in _runs(numbers)]
    return ("row " if len(numbers) == 1 else "rows ") + ", ".join(parts)


def _span_text(span: Span) -> str:
    if span.count == 1:
        return "0x%04X" % span.first
    return "0x%04X-0x%04X (%d bytes)" % (span.first, span.last, span.count)


def _change_text(change: RowChange, old: str, new: str) -> str:
    if change.checksums is not None:
        return "row 0x%03X differs in its row checksum only: 0x%02X in %s, 0x%02X in %s" % (
            change.row, change.checksums[0], old, change.checksums[1], new)
    return "row 0x%03X differs in %s: %s" % (change.row, _count(change.count, "byte"),
                                             ", ".join(_span_text(span) for span in change.spans))


def _count(number: int, noun: str) -> str:
    return "%d %s%s" % (number, noun, "" if number == 1 else "s")


def _differ(number: int, noun: str) -> str:
    return "%s %s" % (_count(number, noun), "differs" if number == 1 else "differ")


def _metadata_lines(result: Diff, old: str, new: str) -> List[str]:
    lines = []
    if result.app_checksum is not None:
        lines.append("application checksum: 0x%02X in %s, 0x%02X in %s"
                     % (result.app_checksum[0], old, result.app_checksum[1], new))
    if result.metadata_fixed is not None:
        lines.append("metadata fixed bytes: %s in %s, %s in %s"
                     % (hex_bytes(result.metadata_fixed[0]), old, hex_bytes(result.metadata_fixed[1]), new))
    if result.last_row_index is not None:
        lines.append("last row index: %d in %s, %d in %s"
                     % (result.last_row_index[0], old, result.last_row_index[1], new))
    return lines


def summary(result: Diff, old: str, new: str) -> str:
    if result.same:
        numbers = [row.number for row in result.old.rows]
        return "%s and %s hold the same rows: %d, 0x%03X to 0x%03X" % (
            old, new, len(numbers), min(numbers), max(numbers))
    changed = sum(change.count for change in result.changed_rows)
    return "%s and %s differ: %s only in %s, %d only in %s; %s in %s; %s; row order %s" % (
        old, new, _count(len(result.only_old), "row"), old, len(result.only_new), new,
        _differ(len(result.changed_rows), "shared row"), _count(changed, "byte"),
        _differ(result.metadata_changes, "metadata field"), "differs" if result.order_differs else "is the same")


def report_lines(result: Diff, old: str, new: str) -> List[str]:
    lines = [finding.text("warning") for finding in result.warnings]
    if result.only_old:
        lines.append("only in %s: %s" % (old, rows_text(result.only_old)))
    if result.only_new:
        lines.append("only in %s: %s" % (new, rows_text(result.only_new)))
    lines += [_change_text(change, old, new) for change in result.changed_rows]
    lines += _metadata_lines(result, old, new)
    if result.order_differs:
        lines.append("row order differs: the rows both files hold come in another order")
    return lines + [summary(result, old, new)]


def _pair(pair: Optional[Tuple[Any, Any]]) -> Optional[Dict[str, Any]]:
    if pair is None:
        return None
    old, new = pair
    if isinstance(old, bytes):
        return {"old": hex_bytes(old), "new": hex_bytes(new)}
    return {"old": old, "new": new}


def as_json(result: Diff, old: str, new: str) -> Dict[str, Any]:
    return {
        "old": old, "new": new, "same": result.same,
        "only_old": list(result.only_old), "only_new": list(result.only_new),
        "changed_rows": [{"row": c.row, "bytes": c.count,
                          "ranges": [{"first": s.first, "last": s.last, "bytes": s.count} for s in c.spans],
                          "checksums": _pair(c.checksums)}
                         for c in result.changed_rows],
        "metadata": {"app_checksum": _pair(result.app_checksum), "metadata_fixed": _pair(result.metadata_fixed),
                     "last_row_index": _pair(result.last_row_index)},
        "order_differs": result.order_differs,
        "errors": [], "warnings": [finding.as_json() for finding in result.warnings],
        "summary": summary(result, old, new),
    }


def _trouble(args: argparse.Namespace, errors: List[Dict[str, Any]], lines: List[str]) -> int:
    if args.json:
        write_json({"old": args.old, "new": args.new, "errors": errors, "warnings": [],
                    "summary": "%s and %s could not be compared" % (args.old, args.new)})
    else:
        write_lines(lines, sys.stderr)
    return EXIT_TROUBLE


def main(argv: List[str]) -> int:
    args = build_parser().parse_args(argv)
    try:
        result = diff(args.old, args.new)
    except RowFileRefused as refused:
        return _trouble(args, [f.as_json() for f in refused.findings], [f.text("error") for f in refused.findings])
    except (OSError, InputRefused) as error:
        return _trouble(args, [error_json(error)], [error_line(PROG, error)])
    if args.json:
        write_json(as_json(result, args.old, args.new))
    else:
        write_lines(report_lines(result, args.old, args.new))
    return EXIT_SAME if result.same else EXIT_DIFFER


def run() -> None:
    raise SystemExit(guarded(PROG, main))
