"""The image in an ELF file, exactly as `objcopy -O ihex` writes it.

GNU objcopy reads the file through BFD, and these are BFD's rules:

(a) a section is written when it is allocated (SHF_ALLOC), has contents
    (not SHT_NOBITS), is a section at all (not SHT_NULL, nor the SHT_SHLIB
    and SHT_SYMTAB_SHNDX entries that BFD passes over) and is not empty;
(b) it belongs to a PT_LOAD segment (PT_TLS for a SHF_TLS section) when its
    file bytes and its address range both lie inside the segment's; it then
    loads at p_paddr + sh_offset - p_offset, and at sh_addr in no segment;
(c) the first segment that holds its whole address range wins, failing
    that the last one that matched;
(d) when every p_paddr is 0 and more than one PT_LOAD has p_memsz != 0,
    every section loads at sh_addr (the file carries no load addresses);
(e) sections are written in ascending load address, the later start
    winning where they overlap.

pyelftools parses the headers; the bytes of the written sections are read
from the file here, and only where they reach the flash window, so that no
section's size, type or compression costs more than its window bytes.
"""

import os
from typing import Any, BinaryIO, List, Tuple, cast

from .hex_reader import APP_START, FLASH_END, ImageBytes
from .image import Image, Piece
from .row_file import PathArg

SHF_ALLOC = 0x2
SHF_TLS = 0x400
SHF_COMPRESSED = 0x800
PN_XNUM = 0xFFFF
NAME_LIMIT = 256  # longest section name read


class Unreadable(ValueError):
    """An ELF file that objcopy refuses, or that cannot be parsed."""


def _headers(elf: Any, stream: BinaryIO, struct: Any, offset: int, count: int, entry: int,
             what: str) -> List[Any]:
    from elftools.common.utils import struct_parse

    if count and entry < struct.sizeof():
        raise Unreadable("its %s headers are %d bytes each, too short" % (what, entry))
    size = stream.seek(0, os.SEEK_END)
    if count and offset + count * entry > size:
        raise Unreadable("its %s headers run past the end of the file" % what)
    # Called through Any: pyelftools has types from 0.33 on, while the
    # release that installs on 3.7 has none.
    parse: Any = cast(Any, struct_parse)
    return [parse(struct, stream, stream_pos=offset + i * entry) for i in range(count)]


def _tables(elf: Any, stream: BinaryIO) -> Tuple[List[Any], List[Any]]:
    """The section headers and the program headers, read from the file."""
    section_count, segment_count = elf["e_shnum"], elf["e_phnum"]
    shdr, phdr = elf.structs.Elf_Shdr, elf.structs.Elf_Phdr
    first = _headers(elf, stream, shdr, elf["e_shoff"], 1 if elf["e_shoff"] else 0, elf["e_shentsize"], "section")
    if first and section_count == 0:
        section_count = first[0]["sh_size"]  # more sections than the field holds
    if first and segment_count == PN_XNUM:
        segment_count = first[0]["sh_info"]
    sections = _headers(elf, stream, shdr, elf["e_shoff"], section_count, elf["e_shentsize"], "section")
    segments = _headers(elf, stream, phdr, elf["e_phoff"], segment_count, elf["e_phentsize"], "program")
    return sections, segments


def _name(stream: BinaryIO, sections: List[Any], names_at: int, number: int) -> str:
    """A section's name from the section-name table, or its number where the
    file has no such table."""
    if not 0 < names_at < len(sections):
        return "#%d" % number
    stream.seek(sections[names_at]["sh_offset"] + sections[number]["sh_name"])
    raw = stream.read(NAME_LIMIT).split(b"\0", 1)[0]
    return raw.decode("utf-8", "backslashreplace")


NOT_WRITTEN = ("SHT_NOBITS", "SHT_NULL", "SHT_SHLIB", "SHT_SYMTAB_SHNDX")


def _written(section: Any) -> bool:
    return bool(section["sh_flags"] & SHF_ALLOC) and section["sh_type"] not in NOT_WRITTEN and section["sh_size"] > 0


def _holds(segment: Any, section: Any) -> bool:
    """Whether the section's file bytes and address range both lie in the segment."""
    tls = bool(section["sh_flags"] & SHF_TLS)
    if segment["p_type"] != ("PT_TLS" if tls else "PT_LOAD"):
        return False
    offset, address, size = section["sh_offset"], section["sh_addr"], section["sh_size"]
    return bool(segment["p_offset"] <= offset and offset - segment["p_offset"] + size <= segment["p_filesz"]
                and segment["p_vaddr"] <= address and address - segment["p_vaddr"] + size <= segment["p_memsz"])


def load_address(section: Any, segments: List[Any]) -> int:
    """Where objcopy writes a section: rules (b) to (d)."""
    loads = [s for s in segments if s["p_type"] == "PT_LOAD" and s["p_memsz"] != 0]
    if all(s["p_paddr"] == 0 for s in segments) and len(loads) > 1:
        return int(section["sh_addr"])
    address: int = section["sh_addr"]
    for segment in segments:
        if _holds(segment, section):
            address = segment["p_paddr"] + section["sh_offset"] - segment["p_offset"]
            if (segment["p_vaddr"] <= section["sh_addr"]
                    and section["sh_addr"] + section["sh_size"] <= segment["p_vaddr"] + segment["p_memsz"]):
                break
    return address


def _pieces(elf: Any, stream: BinaryIO) -> List[Tuple[Piece, int]]:
    """The written sections in writing order, each with its file offset."""
    sections, segments = _tables(elf, stream)
    if len(sections) <= 1:  # none but the null entry: objcopy refuses the file
        raise Unreadable("it has no sections")
    size = stream.seek(0, os.SEEK_END)
    names_at = elf["e_shstrndx"]
    if names_at == 0xFFFF and sections:
        names_at = sections[0]["sh_link"]
    pieces = []
    for number, header in enumerate(sections):
        if not _written(header):
            continue
        name = _name(stream, sections, names_at, number)
        if header["sh_flags"] & SHF_COMPRESSED:
            raise Unreadable("section %s is compressed" % name)
        if header["sh_offset"] + header["sh_size"] > size:
            raise Unreadable("the data of section %s run past the end of the file" % name)
        pieces.append((Piece(load_address(header, segments), header["sh_size"], name), header["sh_offset"]))
    pieces.sort(key=lambda item: item[0].address)  # stable: equal starts keep the headers' order
    return pieces


def _place(stream: BinaryIO, pieces: List[Tuple[Piece, int]]) -> ImageBytes:
    memory = ImageBytes()
    for piece, offset in pieces:
        memory.put(piece.address, None, piece.size)
        low, high = max(piece.address, APP_START), min(piece.end, FLASH_END)
        if low < high:
            stream.seek(offset + low - piece.address)
            data = stream.read(high - low)
            if len(data) != high - low:  # the file shrank under us: a shorter slice would shift the window
                raise Unreadable("the data of section %s run past the end of the file" % piece.name)
            memory.data[low - APP_START:high - APP_START] = data
    return memory


def read_elf(path: PathArg) -> Image:
    """The image in an ELF file, as objcopy writes it. Raises OSError when
    the file cannot be read and ValueError, "cannot read ELF file NAME:
    ...", for a file that is no ELF file or that objcopy refuses: a written
    section that is compressed or whose data lie past the end of the file."""
    from elftools.common.exceptions import ELFError
    from elftools.elf.elffile import ELFFile

    name = os.fspath(path)
    with open(name, "rb") as stream:
        try:
            elf: Any = cast(Any, ELFFile)(stream)  # untyped before pyelftools 0.33
            pieces = _pieces(elf, stream)
            memory = _place(stream, pieces)
        except (ELFError, ValueError, KeyError, TypeError, OverflowError) as error:
            reason = " ".join(str(error).split()) or type(error).__name__  # the parser's texts may span lines
            raise ValueError("cannot read ELF file %s: %s" % (name, reason)) from None
    return Image(name, "ELF", memory, tuple(piece for piece, _ in pieces))
