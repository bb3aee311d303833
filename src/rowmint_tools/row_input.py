"""Row files as `diff` and `export` take them: read whole, up to a bound,
by the strict reader, with each problem tied to the file it was found in.
"""

import errno
import os
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Tuple

from .input_files import ROW_FILE_BOUND, read_bounded_bytes, refuse_another_kind, require_kind
from .row_file import PathArg, Problem, RowFile, parse_row_file


class TooLarge(OSError):
    """A file larger than any row file can be."""

    def __init__(self, path: str) -> None:
        super().__init__(errno.EFBIG, "the file is larger than %d bytes (1 MiB), more than any row file can be"
                         % ROW_FILE_BOUND, path)

    def __str__(self) -> str:
        return str(self.strerror)


@dataclass(frozen=True)
class Finding:
    """A problem of one of the files given, with that file's name."""

    path: str
    problem: Problem

    def text(self, severity: str) -> str:
        """The line compilers print: `FILE:LINE: error: ...`."""
        where = self.path if self.problem.line is None else "%s:%d" % (self.path, self.problem.line)
        return "%s: %s: %s" % (where, severity, self.problem.message)

    def as_json(self) -> Dict[str, Any]:
        return {"file": self.path, "line": self.problem.line, "message": self.problem.message}


class RowFileRefused(ValueError):
    """Row files whose problems keep them from the job asked of them;
    `findings` names each problem with its file and line."""

    def __init__(self, findings: Tuple[Finding, ...]) -> None:
        first = findings[0].text("error") if findings else "no problem recorded"
        more = " (and %d more)" % (len(findings) - 1) if len(findings) > 1 else ""
        super().__init__(first + more)
        self.findings = findings


def read_bounded(path: PathArg) -> RowFile:
    """The row file at `path`, read by the strict reader. Raises OSError when
    it cannot be read, TooLarge (an OSError) past ROW_FILE_BOUND, and
    InputRefused (a ValueError) for a device or socket, or an ELF or HEX
    file."""
    name = os.fspath(path)
    require_kind(name, seekable=False)
    data, too_large = read_bounded_bytes(name)
    refuse_another_kind(name, data)
    if too_large:
        raise TooLarge(name)
    return parse_row_file(data, name)


def findings(rows: RowFile, problems: Iterable[Problem]) -> Tuple[Finding, ...]:
    return tuple(Finding(rows.path, problem) for problem in problems)

