"""The image a row file should hold, read from its source: the ELF file as
the object-copy tool writes it (elf_image.py), or the Intel HEX file with
the reader of our own (hex_reader.py).

Either way the image is placed the same way: the flash window 0x2200 to
0x1FFFF byte by byte with a mask of the bytes set, what lies below and above
it only as address ranges.
"""

import os
from typing import Dict, List, Tuple

from .hex_reader import APP_START, METADATA_AREA, ImageBytes, hex_reserves, mask_runs, read_image
from .row_file import FIRST_ROW, LAST_ROW, ROW_SIZE, PathArg


# Plain classes: a dataclass costs a millisecond or more to create at
# import, and rowmint-check is timed as a whole process.

class Piece:
    """An ELF section as written: its name and the `size` bytes from the
    load `address` it is written at."""

    __slots__ = ("address", "size", "name")

    def __init__(self, address: int, size: int, name: str = "") -> None:
        self.address, self.size, self.name = address, size, name

    @property
    def end(self) -> int:
        return self.address + self.size

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Piece) and (self.address, self.size, self.name) == (other.address, other.size, other.name)

    def __hash__(self) -> int:
        return hash((self.address, self.size, self.name))

    def __repr__(self) -> str:
        return "Piece(address=0x%X, size=%d, name=%r)" % (self.address, self.size, self.name)


class FlashRow:
    """The image's bytes in one flash row: 00 where it sets none, and a
    mask with 1 where it sets one."""

    __slots__ = ("data", "mask")

    def __init__(self, data: bytearray, mask: bytearray) -> None:
        self.data, self.mask = data, mask

    @property
    def count(self) -> int:
        return self.mask.count(1)


class Image:
    """An image as placed. `pieces` are an ELF file's sections in the order
    they are written, a later one winning where they overlap; a HEX file
    has none."""

    def __init__(self, path: str, kind: str, memory: ImageBytes, pieces: Tuple[Piece, ...] = ()) -> None:
        self.path = path
        self.kind = kind  # "ELF" or "HEX"
        self.memory = memory
        self.pieces = pieces
        self._flash_rows: Dict[int, FlashRow] = {}  # made when first asked for

    def __repr__(self) -> str:
        return "Image(%r, %r, %d bytes)" % (self.path, self.kind, self.size)

    @property
    def size(self) -> int:
        """The bytes the image sets, wherever they lie."""
        return (self.memory.mask.count(1) + self.memory.below.count(1)
                + sum(high - low for low, high in self.memory.above.merged()))

    def flash_rows(self) -> Dict[int, FlashRow]:
        """The rows the image reaches between 0x2200 and 0x1FFFF, by number."""
        if self._flash_rows:
            return self._flash_rows
        rows = self._flash_rows
        mask = self.memory.mask
        for number in range(FIRST_ROW, LAST_ROW + 1):
            at = number * ROW_SIZE - APP_START
            if mask.find(1, at, at + ROW_SIZE) >= 0:
                rows[number] = FlashRow(self.memory.data[at:at + ROW_SIZE], mask[at:at + ROW_SIZE])
        return rows

    def below(self) -> List[Tuple[int, int]]:
        """The address ranges [from, to) of image bytes below 0x2200."""
        return mask_runs(self.memory.below, 0)

    def above(self) -> List[Tuple[int, int]]:
        """The address ranges [from, to) of image bytes from 0x20000 up."""
        return self.memory.above.merged()

    def reserves_metadata_area(self, row: int) -> bool:
        """Whether the image reserves the metadata area of `row` (its last 64
        bytes): in an ELF file with a section that covers exactly that area,
        in a HEX file with a run of bytes of its own that begins there."""
        area = row * ROW_SIZE + METADATA_AREA
        if self.kind == "ELF":
            return any(piece.address == area and piece.end == area + ROW_SIZE - METADATA_AREA
                       for piece in self.pieces)
        at = row * ROW_SIZE - APP_START
        return hex_reserves(bytes(self.memory.mask[at:at + ROW_SIZE]))

    def sections_at(self, addresses: List[int]) -> List[str]:
        """The names of the sections whose bytes lie at these addresses, in
        order, each once: the section written last at each address."""
        names: List[str] = []
        for address in addresses:
            owner = [p.name for p in self.pieces if p.address <= address < p.end][-1:]
            if owner and owner[0] not in names:
                names.append(owner[0])
        return names


def read_hex(path: PathArg) -> Image:
    """The image in an Intel HEX file; every record is verified. Raises
    OSError when it cannot be read and ValueError when it is refused."""
    name = os.fspath(path)
    try:
        memory = read_image(name)
    except ValueError as error:
        raise ValueError("cannot read HEX file %s: %s" % (name, error)) from None
    return Image(name, "HEX", memory)
