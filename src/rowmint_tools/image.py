"""The image a row file should hold, read from its source with the field's
own readers: the ELF file with pyelftools, or the Intel HEX file with
intelhex.

An image is a list of pieces: runs of bytes at their load addresses. For an
ELF file they are the bytes that `objcopy -O ihex` writes, one piece per
allocated section with contents; for a HEX file, one piece per run of
consecutive addresses.
"""

import os
from dataclasses import dataclass
from typing import Any, BinaryIO, Dict, List, Tuple, cast

from .row_file import FIRST_ROW, LAST_ROW, ROW_SIZE, PathArg

APP_START = FIRST_ROW * ROW_SIZE  # below: the bootloader's flash
FLASH_END = (LAST_ROW + 1) * ROW_SIZE


@dataclass(frozen=True)
class Piece:
    """Bytes at their load address; `name` is the ELF section's ("" for a
    run of a HEX file)."""

    address: int
    data: bytes
    name: str = ""

    @property
    def end(self) -> int:
        return self.address + len(self.data)


@dataclass
class FlashRow:
    """The image's bytes in one flash row: 00 where it sets none, and a
    mask with 1 where it sets one."""

    data: bytearray
    mask: bytearray

    @property
    def count(self) -> int:
        return sum(self.mask)


@dataclass(frozen=True)
class Image:
    path: str
    kind: str  # "ELF" or "HEX"
    pieces: Tuple[Piece, ...]

    @property
    def size(self) -> int:
        return sum(len(piece.data) for piece in self.pieces)

    def flash_rows(self) -> Dict[int, FlashRow]:
        """The rows the image reaches between 0x2200 and 0x1FFFF, by number."""
        rows: Dict[int, FlashRow] = {}
        for piece in self.pieces:
            at, end = max(piece.address, APP_START), min(piece.end, FLASH_END)
            while at < end:
                number, offset = divmod(at, ROW_SIZE)
                stop = min(end, (number + 1) * ROW_SIZE)
                row = rows.setdefault(number, FlashRow(bytearray(ROW_SIZE), bytearray(ROW_SIZE)))
                row.data[offset:offset + stop - at] = piece.data[at - piece.address:stop - piece.address]
                row.mask[offset:offset + stop - at] = b"\x01" * (stop - at)
                at = stop
        return rows

    def outside(self, start: int, end: int) -> List[Tuple[int, int]]:
        """The address ranges [from, to) of image bytes between `start` and
        `end`, adjoining ranges joined."""
        ranges: List[Tuple[int, int]] = []
        for piece in sorted(self.pieces, key=lambda p: p.address):
            low, high = max(piece.address, start), min(piece.end, end)
            if low >= high:
                continue
            if ranges and low <= ranges[-1][1]:
                ranges[-1] = (ranges[-1][0], max(high, ranges[-1][1]))
            else:
                ranges.append((low, high))
        return ranges

    def covers_exactly(self, start: int, end: int) -> bool:
        """Whether one piece spans exactly [start, end): a section of its own."""
        return any(piece.address == start and piece.end == end for piece in self.pieces)


def _load_address(section: Any, segments: List[Any]) -> int:
    """Where a loader puts a section: its place in the PT_LOAD segment whose
    file bytes hold it, or its own address when no segment does (a section
    that runs from RAM loads at the flash address its segment gives)."""
    offset, size = section["sh_offset"], section["sh_size"]
    for segment in segments:
        start = segment["p_offset"]
        if start <= offset and offset + size <= start + segment["p_filesz"]:
            return int(segment["p_paddr"] + offset - start)
    return int(section["sh_addr"])


def _elf_pieces(stream: BinaryIO) -> List[Piece]:
    from elftools.elf.constants import SH_FLAGS
    from elftools.elf.elffile import ELFFile

    # Its objects as Any: pyelftools has types from 0.33 on, while the
    # releases before (the last for Python 3.7 is 0.32) leave most
    # functions without them.
    elf: Any = cast(Any, ELFFile)(stream)
    segments = [s for s in elf.iter_segments() if s["p_type"] == "PT_LOAD"]
    pieces = []
    for section in elf.iter_sections():
        # What objcopy writes: allocated sections that have bytes in the file.
        if not section["sh_flags"] & SH_FLAGS.SHF_ALLOC or section["sh_type"] == "SHT_NOBITS":
            continue
        if section["sh_size"]:
            pieces.append(Piece(_load_address(section, segments), section.data(), section.name))
    return pieces


def read_elf(path: PathArg) -> Image:
    """The image in an ELF file. Raises OSError when it cannot be read and
    ValueError when it is no ELF file pyelftools can read."""
    from elftools.common.exceptions import ELFError

    name = os.fspath(path)
    with open(name, "rb") as stream:
        try:
            pieces = _elf_pieces(stream)
        except (ELFError, ValueError, KeyError) as error:
            raise ValueError("cannot read ELF file %s: %s" % (name, error)) from error
    return Image(name, "ELF", tuple(pieces))


def read_hex(path: PathArg) -> Image:
    """The image in an Intel HEX file; every record's checksum is verified.
    Raises OSError when it cannot be read and ValueError when a record is
    broken."""
    import intelhex  # type: ignore

    name = os.fspath(path)
    memory = intelhex.IntelHex()
    with open(name, "r") as stream:
        try:
            memory.loadhex(stream)
        except (intelhex.IntelHexError, ValueError) as error:
            raise ValueError("cannot read HEX file %s: %s" % (name, error)) from error
    pieces = [Piece(start, bytes(memory.gets(start, end - start))) for start, end in memory.segments()]
    return Image(name, "HEX", tuple(pieces))

