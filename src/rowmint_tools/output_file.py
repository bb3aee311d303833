"""An output file written whole or not at all, the way the conversion writes
a row file: the bytes go to a new file beside the target, which then
replaces the target in one step. A symbolic link stays a link and the file
it points to takes the new bytes; an existing file's permission bits carry
over.
"""

import errno
import os
import stat
from typing import BinaryIO, Tuple

# Besides a regular file, only a name that does not exist yet may be
# written: a device, a pipe or a socket would take a partial write, or block.
_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device"),
          (stat.S_ISFIFO, "a pipe"), (stat.S_ISSOCK, "a socket"))


class OutputRefused(ValueError):
    """An output path that may not be written; nothing was."""


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False  # one of them does not exist (yet)


def check_output(out: str, source: str) -> None:
    """Raises OutputRefused when `out` names `source` (through any spelling,
    link or hard link), or something other than a regular file; OSError when
    its folder cannot take a new file."""
    if _same_file(out, source):
        raise OutputRefused("%s names the row file %s: it would be overwritten" % (out, source))
    try:
        mode = os.stat(out).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        kind = next((name for test, name in _KINDS if test(mode)), "not a regular file")
        raise OutputRefused("%s is %s, not a file that can be replaced" % (out, kind))
    folder = os.path.dirname(os.path.realpath(out))
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "its folder %s does not exist" % os.path.dirname(out), out)


def _create_beside(folder: str) -> Tuple[str, BinaryIO]:
    """A new file in `folder` with a short name of its own (the target's name
    may already be as long as a name can be), created the way open() creates
    any new file, so that it gets the usual permissions."""
    for _ in range(100):
        path = os.path.join(folder, ".rowmint-%s.tmp" % os.urandom(6).hex())
        try:
            return path, open(path, "xb")
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free name for a temporary file", folder)


def _replace(temporary: str, f: BinaryIO, data: bytes, final: str) -> None:
    try:
        with f:
            f.write(data)
        try:
            os.chmod(temporary, stat.S_IMODE(os.stat(final).st_mode))
        except FileNotFoundError:
            pass  # a new file keeps the permissions it was created with
        os.replace(temporary, final)
    except BaseException:
        try:
            os.chmod(temporary, 0o600)  # a read-only file cannot be removed on Windows
            os.remove(temporary)
        except OSError:
            pass
        raise


def write_replacing(out: str, data: bytes) -> None:
    """Writes `data` to the file `out` names, replacing it in one step.
    Errors name `out`, never the temporary file."""
    final = os.path.realpath(out)
    try:
        temporary, f = _create_beside(os.path.dirname(final))
        _replace(temporary, f, data, final)
    except OSError as error:
        if error.filename != out:
            error.filename, error.filename2 = out, None
        raise
