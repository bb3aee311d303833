"""The user's paths, checked before the tool runs in a proven conversion.

`rowmint --check` and `convert(..., check=True)` have rowmint.main() write
into a folder of their own, so the checks main() makes before the tool runs
never see the row file the user named. They are made here on the user's
paths, in main()'s order and with main()'s errors: a rendering of our own,
since a proof must not lean on the code it proves.
"""

import errno
import os
import stat
from typing import Optional

ELF_MAGIC = b"\x7fELF"
ROW_FILE_HEADER = b"256A11B50000"


def check_paths(elf: str, hex_file: str, row_file: str) -> None:
    """Raises what main() raises before the tool runs for these paths, and
    ValueError when the HEX path names the row file: main() lets the tool's
    HEX file take the row file's place, a proven conversion keeps the old one."""
    _refuse_paths_naming_the_elf(elf, hex_file, row_file)
    _refuse_a_hex_path_the_user_keeps(hex_file)
    _require_a_place_for_the_row_file(row_file)
    if _is_device_pipe_or_socket(_mode(row_file)):
        raise ValueError("the row-file path names a device, a pipe or a socket, not a file")
    if _same_file(hex_file, row_file):
        raise ValueError("the HEX path names the row file")


def _mode(path: str) -> Optional[int]:
    """st_mode with links followed; None when there is nothing to look at."""
    try:
        return os.stat(path).st_mode
    except (OSError, ValueError):
        return None


def _is_device_pipe_or_socket(mode: Optional[int]) -> bool:
    return mode is not None and any(
        test(mode) for test in (stat.S_ISCHR, stat.S_ISBLK, stat.S_ISFIFO, stat.S_ISSOCK))


def _names_the_elf(elf: str, other: str) -> bool:
    return os.path.exists(other) and os.path.samefile(elf, other)


def _refuse_paths_naming_the_elf(elf: str, hex_file: str, row_file: str) -> None:
    if not os.path.exists(elf):
        return  # no file there to lose
    if _names_the_elf(elf, hex_file):
        raise ValueError("the HEX path names the ELF file")
    if _names_the_elf(elf, row_file):
        raise ValueError("the row-file path names the ELF file")


def _os_error(code: int, path: str) -> OSError:
    # OSError() makes the subclass the code stands for (FileNotFoundError...).
    return OSError(code, os.strerror(code), path)


def _require_a_folder_for(path: str, named: str) -> None:
    """The folder `path` lies in must be one; the error names `named`."""
    folder = os.path.dirname(path) or os.curdir
    if os.path.isdir(folder):
        return
    try:
        os.stat(folder)
    except OSError as error:
        raise OSError(error.errno, error.strerror, named) from None
    raise _os_error(errno.ENOTDIR, named)


def _first_bytes(path: str, count: int) -> Optional[bytes]:
    try:
        with open(path, "rb") as file:
            return file.read(count)
    except (OSError, ValueError):
        return None  # the tool meets it, and says why


def _refuse_a_hex_path_the_user_keeps(hex_file: str) -> None:
    mode = _mode(hex_file)
    if _is_device_pipe_or_socket(mode):
        raise ValueError("the HEX path names a device, a pipe or a socket, not a file")
    _require_a_folder_for(hex_file, hex_file)
    if mode is None:
        return
    if stat.S_ISDIR(mode):
        raise _os_error(errno.EISDIR, hex_file)
    start = _first_bytes(hex_file, len(ROW_FILE_HEADER)) if stat.S_ISREG(mode) else None
    if start is not None and start.startswith(ELF_MAGIC):
        raise ValueError("the HEX path names an ELF file; the tool would write over it")
    if start is not None and start.startswith(ROW_FILE_HEADER):
        raise ValueError("the HEX path names a row file; the tool would write over it")


def _require_a_place_for_the_row_file(row_file: str) -> None:
    # A link is followed: the file it points to is the one replaced.
    target = os.path.realpath(row_file) if os.path.islink(row_file) else row_file
    _require_a_folder_for(target, row_file)
    if os.path.isdir(target):
        raise _os_error(errno.EISDIR, row_file)


def _same_file(hex_file: str, row_file: str) -> bool:
    if os.path.exists(hex_file) and os.path.exists(row_file):
        return os.path.samefile(hex_file, row_file)
    # normcase compares without case on Windows only.
    return os.path.normcase(os.path.abspath(hex_file)) == os.path.normcase(os.path.abspath(row_file))
