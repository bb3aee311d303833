"""`rowmint --check` and `rowmint --strict`: the new row file is written
beside the old one, proven against the image or vetted for lost bytes, and
only then moved over it.

The launcher imports this module only for those options; it passes in its
own writers, so that every line reaches the terminal the same way as on the
plain path (one line each, names the terminal cannot encode escaped).
"""

import signal
import sys
from types import FrameType
from typing import Callable, List, Optional, TextIO

from . import conversion
from .conversion import CheckFailed, StrictFailed, convert_and_prove, summarize
from .hex_reader import plain_warnings
from .proof import Report
from .report import problem_lines

# 128 + the signal, as a shell reports a process that a signal ended.
EXIT_SIGNALLED = 128

Say = Callable[[str, TextIO], None]


class _Terminated(BaseException):
    """SIGTERM or SIGHUP while a new row file is on its way: unwinds like
    Ctrl-C, so that the scratch folder is removed."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _unwind_on_termination() -> None:
    def terminated(signum: int, frame: Optional[FrameType]) -> None:
        raise _Terminated(signum)
    for name in ("SIGTERM", "SIGHUP"):
        number = getattr(signal, name, None)
        if number is not None:
            signal.signal(number, terminated)


def _name(path: str) -> str:
    """A file name as the user gave it; an empty one made visible."""
    return path if path else "''"


def strict_findings(hex_path: str, report: Report) -> List[str]:
    """What --strict refuses: the plain command's warnings, and the proof's
    findings of the same kinds. Bytes from 0x20000 up never count."""
    return conversion.strict_findings(plain_warnings(hex_path), report)


def convert_proven(objcopy: str, elf: str, hex_path: str, cyacd: str, check: Optional[str], strict: bool,
                   verbose: bool, say: Say, fail: Callable[[str], int]) -> int:
    """The exit status of a conversion under --check (`check` names what it
    is proven against: "elf" or "hex") or --strict. A failure of the
    conversion itself is raised, as on the plain path."""
    def vet(report: Report) -> None:
        if strict:
            findings = strict_findings(hex_path, report)
            if findings:
                raise StrictFailed(findings)

    source = elf if check == "elf" else hex_path
    kept = "%s is left as it was" % _name(cyacd)
    try:
        _unwind_on_termination()
        try:
            report = convert_and_prove(objcopy, elf, hex_path, cyacd, against=check, vet=vet)
        except CheckFailed as failed:
            for line in problem_lines(failed.report, _name(cyacd), kept=False):
                say(line, sys.stderr)
            return fail("the new row file does not match %s; %s" % (_name(source), kept))
        except StrictFailed as refused:
            for finding in refused.findings:
                say("%s (new file, not kept): error: %s" % (_name(cyacd), finding), sys.stderr)
            return fail("--strict: the conversion loses or overwrites image bytes; %s" % kept)
        for line in problem_lines(report, _name(cyacd)):  # its warnings
            say(line, sys.stderr)
        if verbose:
            proven = ", proven against %s" % _name(source) if check is not None else ""
            say("%s%s" % (summarize(report.row_file, cyacd), proven), sys.stdout)
        return 0
    except _Terminated as terminated:
        return EXIT_SIGNALLED + terminated.signum
