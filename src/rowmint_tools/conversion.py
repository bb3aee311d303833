"""Conversions through `rowmint.main()`, run as it is, and the replacement of
a row file by one that has been proven first."""

import _thread
import errno
import os
import stat
import sys
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Callable, Iterator, List, Optional, Tuple

from .path_guards import check_paths
from .proof import Report, check as check_row_file
from .row_file import PathArg, Problem, RowFile, metadata_text, read_row_file

# main() reads its paths from sys.argv, which the whole process shares.
_one_conversion_at_a_time = _thread.allocate_lock()


class CheckFailed(ValueError):
    """A new row file did not prove sound; the old one was left as it was."""

    def __init__(self, report: Report) -> None:
        first = report.problems[0] if report.problems else Problem("no problem recorded")
        super().__init__("the new row file failed its check: %s" % first.message)
        self.report = report


class StrictFailed(ValueError):
    """Under --strict, a conversion that loses or overwrites image bytes;
    the old row file was left as it was. `findings` are the warnings that
    failed it."""

    def __init__(self, findings: List[str]) -> None:
        super().__init__("the conversion loses or overwrites image bytes: %s" % findings[0])
        self.findings = findings


# The proof's findings that --strict refuses, as the plain command warns of
# them; bytes from 0x20000 up never count, as real images keep their
# configuration sections there.
STRICT_KINDS = frozenset(("left_out_below", "metadata_overwrite"))


def strict_findings(plain: List[str], report: Report) -> List[str]:
    """What --strict refuses: the plain command's warnings, then the proof's
    findings of those kinds, each text once."""
    findings = list(plain)
    for problem in report.problems + report.warnings:
        if problem.kind in STRICT_KINDS and problem.message not in findings:
            findings.append(problem.message)
    return findings


@dataclass(frozen=True)
class Summary:
    """What a row file holds, in brief; `warnings` are those of its check."""

    row_file: str
    rows: int
    first_row: int
    last_row: int
    app_checksum: int
    metadata_fixed: bytes
    last_row_index: int
    warnings: Tuple[Problem, ...] = ()

    def __str__(self) -> str:
        return "%s: %d rows, 0x%03X to 0x%03X; %s" % (
            self.row_file, self.rows, self.first_row, self.last_row,
            metadata_text(self.app_checksum, self.metadata_fixed, self.last_row_index))


def summarize(rows: RowFile, name: str, warnings: Tuple[Problem, ...] = ()) -> Summary:
    """The summary of a row file read without problems."""
    if rows.app_checksum is None or rows.metadata_fixed is None or rows.last_row_index is None:
        raise ValueError("%s holds no metadata record" % name)
    numbers = [row.number for row in rows.rows]
    return Summary(name, len(numbers), min(numbers), max(numbers), rows.app_checksum,
                   rows.metadata_fixed, rows.last_row_index, warnings)


def run_main(tool: str, elf: str, hex_file: str, row_file: str) -> None:
    """One call of rowmint.main() with sys.argv set for it and restored after."""
    import rowmint

    with _one_conversion_at_a_time:
        saved = sys.argv
        sys.argv = [saved[0] if saved else "rowmint", tool, elf, hex_file, row_file]
        try:
            rowmint.main()
        finally:
            sys.argv = saved


def replace_keeping(new: str, target: str) -> None:
    """Moves `new` over the file `target` names: through a symbolic link to
    the file it points to (the link stays), with the old file's permission
    bits. `new` must lie in that file's folder."""
    final = os.path.realpath(target)
    try:
        os.chmod(new, stat.S_IMODE(os.stat(final).st_mode))
    except FileNotFoundError:
        pass  # a new row file keeps the permissions it was created with
    os.replace(new, final)


def _named_as_given(error: OSError, folder: str, row_file: str) -> OSError:
    """The error of a step in the scratch folder, naming the row file as the
    caller gave it: the scratch path means nothing to the user. A full disk
    met while the row file is written names no file at all."""
    final = os.path.realpath(row_file)
    named = [name for name in (error.filename, error.filename2) if isinstance(name, str)]
    if any(name == final or name.startswith(folder + os.sep) for name in named):
        return OSError(error.errno, error.strerror, row_file)
    if not named and error.errno in (errno.ENOSPC, errno.EFBIG, getattr(errno, "EDQUOT", errno.ENOSPC)):
        return OSError(error.errno, error.strerror, row_file)
    return error


def _folder_beside(final: str) -> str:
    """A new folder, only for this process, beside the file `final`, as
    tempfile.mkdtemp would make it. Its name is short whatever the row
    file's, which the new file inside keeps: a row-file name as long as the
    file system allows still fits. tempfile and shutil are not imported:
    with random and the compressors they bring, they would cost --check more
    than its own work."""
    prefix = os.path.join(os.path.dirname(final), ".cyacd-")
    for _ in range(100):
        folder = prefix + os.urandom(4).hex() + ".tmp"
        try:
            os.mkdir(folder, 0o700)
            return folder
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free name for a scratch folder", prefix)


def _remove_folder(folder: str) -> None:
    """Removes the scratch folder and the files in it (it holds no folders);
    what cannot be removed stays, as with shutil.rmtree(ignore_errors=True)."""
    try:
        entries = os.listdir(folder)
    except OSError:
        return
    for entry in entries:
        try:
            os.remove(os.path.join(folder, entry))
        except OSError:
            pass
    try:
        os.rmdir(folder)
    except OSError:
        pass


def _hold_signals() -> Callable[[], None]:
    """Holds Ctrl-C, SIGTERM and SIGHUP back until the call returned: one
    that came between the scratch folder's creation and the code that
    removes it would leave the folder behind. Where signals cannot be held
    (Windows), does nothing."""
    import signal
    mask = getattr(signal, "pthread_sigmask", None)
    if mask is None:
        return lambda: None
    held = {getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)}
    before = mask(signal.SIG_BLOCK, held)

    def release() -> None:
        mask(signal.SIG_SETMASK, before)
    return release


@contextmanager
def _scratch_beside(target: str) -> Iterator[str]:
    """A path for a new row file in a folder of its own beside the file that
    `target` names, on the same file system; the folder is removed after."""
    final = os.path.realpath(target)
    if os.path.isdir(final):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
    release = _hold_signals()
    try:
        folder = _folder_beside(final)
    except OSError as error:
        release()
        error.filename = target  # a missing folder, say: the row file's, as the caller named it
        raise
    try:
        release()
        yield os.path.join(folder, os.path.basename(final))
    except OSError as error:
        named = _named_as_given(error, folder, target)
        if named is error:
            raise
        raise named from error
    finally:
        _remove_folder(folder)


def _proven(fresh: str, against: Optional[str], elf: str, hex_file: str) -> Report:
    if against == "elf":
        return check_row_file(fresh, elf=elf)
    if against == "hex":
        return check_row_file(fresh, hex_file=hex_file)
    rows = read_row_file(fresh)  # no proof asked for: the layout alone
    return Report(rows, None, rows.problems, ())


def convert_and_prove(tool: str, elf: str, hex_file: str, row_file: str, against: Optional[str] = "elf",
                      vet: Optional[Callable[[Report], None]] = None) -> Report:
    """Converts into a new row file beside `row_file`, proves it against the
    ELF (or, with against="hex", the HEX file the tool wrote; with None, its
    layout alone), hands the report to `vet`, which raises to refuse the
    file, and only then moves it over `row_file`. Raises CheckFailed when
    the proof fails, what main() would raise for the paths given (before the
    tool runs), and whatever main() or `vet` raises; `row_file` is untouched
    either way."""
    if against not in ("elf", "hex", None):
        raise ValueError("against is 'elf', 'hex' or None, not %r" % (against,))
    check_paths(elf, hex_file, row_file)  # main() sees only the scratch path
    with _scratch_beside(row_file) as fresh:
        run_main(tool, elf, hex_file, fresh)
        report = _proven(fresh, against, elf, hex_file)
        if not report.ok:
            raise CheckFailed(report)
        if vet is not None:
            vet(report)
        replace_keeping(fresh, row_file)
    return report


@contextmanager
def _hex_path(hex_file: Optional[PathArg]) -> Iterator[str]:
    if hex_file is not None:
        yield os.fspath(hex_file)
        return
    import tempfile
    with tempfile.TemporaryDirectory(prefix="rowmint-") as folder:
        yield os.path.join(folder, "image.hex")


def convert(elf: PathArg, row_file: PathArg, *, tool: str = "objcopy", hex_file: Optional[PathArg] = None,
            check: bool = False) -> Summary:
    """Converts the ELF file into a row file with rowmint.main(), as it is.
    The HEX file that the tool writes is `hex_file`, or a temporary one that
    is removed after. With check=True the new row file is first proven
    against the ELF and replaces `row_file` only then; CheckFailed is raised
    otherwise. Returns the summary of the row file written."""
    elf_path, row_path = os.fspath(elf), os.fspath(row_file)
    with _hex_path(hex_file) as hex_path:
        if check:
            report = convert_and_prove(tool, elf_path, hex_path, row_path)
            return summarize(report.row_file, row_path, report.warnings)
        run_main(tool, elf_path, hex_path, row_path)
    return summarize(read_row_file(row_path), row_path)
