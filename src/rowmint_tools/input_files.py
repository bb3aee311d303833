"""Inputs refused before they are read: devices, unseekable ELF files, row
files larger than any row file, and files of another kind given as a row
file. Each refusal is one line that says what the file is instead.

Every command reads a row file through `read_bounded_bytes`, whatever it
then calls a file too large."""

import os
import stat
from typing import Optional, Tuple

# No row file is larger: 512 row lines of 527 characters and a header (one
# of every application row with CR LF line ends is about 250 KB). The bound
# keeps a wrong path, a firmware image or a device, from being read whole.
ROW_FILE_BOUND = 1 << 20

ELF_MAGIC = b"\x7fELF"


class InputRefused(ValueError):
    """A file that is not what it was given as; `filename` is the name the
    caller gave and `reason` the refusal, without the name."""

    def __init__(self, filename: str, reason: str) -> None:
        super().__init__("%s: %s" % (filename, reason))
        self.filename = filename
        self.reason = reason


def require_kind(name: str, seekable: bool) -> None:
    """Refuses a device or a socket before it is opened (/dev/zero never
    ends), and a pipe where the reader must seek. A missing file is left to
    open(), which names it."""
    try:
        mode = os.stat(name).st_mode
    except OSError:
        return
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        return  # a folder: open() says so
    if not stat.S_ISFIFO(mode):
        raise InputRefused(name, "not a regular file or pipe")
    if seekable:
        raise InputRefused(name, "a pipe, which cannot be read as an ELF file: give the file itself")


def hex_body(digits: str) -> Optional[bytes]:
    """The bytes the digits spell, or None unless every character is a hex
    digit: bytes.fromhex skips whitespace between bytes, so only a full
    count of bytes says so."""
    try:
        body = bytes.fromhex(digits)
    except ValueError:
        return None
    return body if 2 * len(body) == len(digits) else None


def _looks_like_hex(data: bytes) -> bool:
    """Whether the first line is an Intel HEX record: ":", hex digits, as
    many as its byte count asks for."""
    first = data[:600].split(b"\n", 1)[0].rstrip(b"\r")
    body = hex_body(first[1:].decode("latin-1")) if first.startswith(b":") else None
    return body is not None and len(body) == 5 + body[0]


def read_bounded_bytes(name: str) -> Tuple[bytes, bool]:
    """The first ROW_FILE_BOUND bytes of the file, and whether it holds more
    than that, which no row file does."""
    with open(name, "rb") as stream:
        data = stream.read(ROW_FILE_BOUND + 1)
    return data[:ROW_FILE_BOUND], len(data) > ROW_FILE_BOUND


def refuse_another_kind(name: str, data: bytes) -> None:
    """An ELF or HEX file given as a row file (arguments in the wrong order,
    most often) is named for what it is in one line, not as hundreds of
    lines that are no row lines."""
    if data.startswith(ELF_MAGIC):
        raise InputRefused(name, "this is an ELF file, not a row file")
    if _looks_like_hex(data):
        raise InputRefused(name, "this is an Intel HEX file, not a row file")


def read_row_file_bytes(name: str) -> bytes:
    """The bytes of a row file, read through a bound; pipes are read too.
    A file of another kind is named as such before its size is."""
    require_kind(name, seekable=False)
    data, too_large = read_bounded_bytes(name)
    refuse_another_kind(name, data)
    if too_large:
        raise InputRefused(name, "not a row file: larger than any row file")
    return data
