"""A check's report as text: a short summary, each problem in the form
compilers use (`FILE:LINE: error: ...`, which IDEs and CI annotate), a map
of the flash, or all of it as JSON."""

from typing import Any, Dict, List, Optional, Set, Tuple

from .proof import Report
from .row_file import FIRST_ROW, LAST_ROW, Problem, RowFile, hex_bytes, metadata_text

FLASH_ROWS = LAST_ROW + 1
APPLICATION_ROWS = FLASH_ROWS - FIRST_ROW
MAP_WIDTH = 64  # rows per line of the map: 16 KB of flash
MAP_LEGEND = ("flash rows, a character each: B bootloader, # row of the file, "
              "M row with the metadata record, X row with an error, . empty")
MAP_RULER = "      " + "".join("%-8X" % column for column in range(0, MAP_WIDTH, 8)).rstrip()


def locate(problem: Problem, rows: RowFile) -> Tuple[Optional[int], Optional[int]]:
    """A problem's row number and address: its own, or those of the row
    line it names."""
    if problem.row is not None:
        return problem.row, problem.address
    for row in rows.rows:
        if row.line == problem.line:
            return row.number, row.address
    return None, problem.address


def problem_line(name: str, problem: Problem, severity: str, rows: Optional[RowFile] = None) -> str:
    """The compiler form, FILE:LINE: error: ...; given `rows`, the file is
    gone (a new file not kept), so the row is named instead of the line."""
    if rows is None:
        where = name if problem.line is None else "%s:%d" % (name, problem.line)
        return "%s: %s: %s" % (where, severity, problem.message)
    number = locate(problem, rows)[0]
    message = problem.message
    if number is not None and not names_row(message, number):
        message = "row 0x%03X: %s" % (number, message)
    return "%s (new file, not kept): %s: %s" % (name, severity, message)


def names_row(message: str, number: int) -> bool:
    """Whether the message names the row already: its number as a word, not
    the start of a longer one (addresses are 0x2200 and up, so 0x02C0 is
    never one)."""
    token = "0x%03X" % number
    at = message.find(token)
    while at >= 0:
        if not message[at + len(token):at + len(token) + 1].isalnum():
            return True
        at = message.find(token, at + 1)
    return False


def problem_lines(report: Report, name: str, kept: bool = True) -> List[str]:
    """Errors, then warnings; for a file not kept, by row instead of line."""
    rows = None if kept else report.row_file
    return ([problem_line(name, p, "error", rows) for p in report.problems]
            + [problem_line(name, p, "warning", rows) for p in report.warnings])


def _application_rows(rows: RowFile) -> List[int]:
    return sorted({row.number for row in rows.rows if FIRST_ROW <= row.number <= LAST_ROW})


def summary_lines(report: Report, name: str) -> List[str]:
    rows = report.row_file
    numbers = _application_rows(rows)
    if numbers:
        lines = ["%s: %d row lines, rows 0x%03X to 0x%03X; %d of the %d application rows unused"
                 % (name, rows.row_lines, numbers[0], numbers[-1], APPLICATION_ROWS - len(numbers),
                    APPLICATION_ROWS)]
    else:
        lines = ["%s: %d row lines, none of them a readable application row" % (name, rows.row_lines)]
    if rows.app_checksum is not None and rows.metadata_fixed is not None and rows.last_row_index is not None:
        lines.append(metadata_text(rows.app_checksum, rows.metadata_fixed, rows.last_row_index))
    image = report.image
    if image is not None:
        in_flash = sum(row.count for row in image.flash_rows().values())
        lines.append("image %s (%s): %d bytes, %d of them in flash rows 0x%03X to 0x%03X"
                     % (image.path, image.kind, image.size, in_flash, FIRST_ROW, LAST_ROW))
    return lines


def verdict(report: Report, name: str) -> str:
    if not report.ok:
        return "%s: %d error%s, %d warning%s" % (
            name, len(report.problems), "" if len(report.problems) == 1 else "s",
            len(report.warnings), "" if len(report.warnings) == 1 else "s")
    if report.image is None:
        return "%s: the layout is sound (no image given to prove it against)" % name
    return "%s: every row matches %s" % (name, report.image.path)


def error_rows(report: Report) -> Set[int]:
    """The rows of the file that have errors; missing rows are not in it."""
    located = (locate(problem, report.row_file)[0] for problem in report.problems
               if problem.kind != "missing_rows")
    return {number for number in located if number is not None}


def flash_map(rows: RowFile, with_errors: Optional[Set[int]] = None) -> List[str]:
    """The 512 flash rows, a character each, 64 to a line, under a legend
    and a ruler of the column's row offset."""
    present = {row.number for row in rows.rows}
    record = rows.metadata_row
    marks = []
    for number in range(FLASH_ROWS):
        if with_errors and number in with_errors:
            marks.append("X")
        elif record is not None and number == record.number:
            marks.append("M")
        elif number in present:
            marks.append("#")
        else:
            marks.append("B" if number < FIRST_ROW else ".")
    return ([MAP_LEGEND, MAP_RULER]
            + ["0x%03X %s" % (start, "".join(marks[start:start + MAP_WIDTH]))
               for start in range(0, FLASH_ROWS, MAP_WIDTH)])


def _problems_json(problems: Tuple[Problem, ...], rows: RowFile) -> List[Dict[str, Any]]:
    located = []
    for p in problems:
        row, address = locate(p, rows)
        located.append({"line": p.line, "row": row, "address": address, "message": p.message})
    return located


def failure_json(name: str, error: str) -> Dict[str, Any]:
    """The document for an input that could not be read: the keys of a
    report, empty."""
    return {"row_file": name, "ok": False, "error": error, "row_lines": None, "rows": [],
            "app_checksum": None, "metadata_fixed": None, "last_row_index": None, "image": None,
            "errors": [], "warnings": []}


def as_json(report: Report, name: str, with_map: bool = False) -> Dict[str, Any]:
    rows = report.row_file
    image: Optional[Dict[str, Any]] = None
    if report.image is not None:
        image = {"path": report.image.path, "kind": report.image.kind, "bytes": report.image.size}
    result: Dict[str, Any] = {
        "row_file": name,
        "ok": report.ok,
        "error": None,
        "row_lines": rows.row_lines,
        "rows": [row.number for row in rows.rows],
        "app_checksum": rows.app_checksum,
        "metadata_fixed": None if rows.metadata_fixed is None else hex_bytes(rows.metadata_fixed),
        "last_row_index": rows.last_row_index,
        "image": image,
        "errors": _problems_json(report.problems, rows),
        "warnings": _problems_json(report.warnings, rows),
    }
    if with_map:
        result["map"] = flash_map(rows, error_rows(report))[2:]
    return result
