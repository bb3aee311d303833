"""ARM ELF32 little-endian executables built by hand with struct, for the
layouts whose load addresses a reader can get wrong."""

import struct
import zlib

PT_LOAD = 1
SHT_NULL, SHT_PROGBITS, SHT_HASH, SHT_SHLIB = 0, 1, 5, 10
ALLOC, COMPRESSED = 0x2, 0x800


def data(size, seed):
    return bytes((seed + 7 * k) & 0xFF for k in range(size))


def compressed(payload):
    """Section contents under SHF_COMPRESSED: the header, then a zlib stream."""
    return struct.pack("<III", 1, len(payload), 1) + zlib.compress(payload)


def elf_file(sections, segments):
    """sections: (name, type, flags, address, file offset, contents[, sh_size]);
    segments: PT_LOAD (offset, vaddr, paddr, filesz, memsz)."""
    body = bytearray(52 + 32 * len(segments))
    for _, _, _, _, offset, contents, *_ in sections:
        body.extend(bytes(max(offset + len(contents) - len(body), 0)))
        body[offset:offset + len(contents)] = contents
    names = b"\0" + b"".join(s[0].encode() + b"\0" for s in sections) + b".shstrtab\0"
    names_at = len(body)
    body += names + bytes(-len(names) % 4)
    headers = [bytes(40)]
    name_at = 1
    for name, kind, flags, address, offset, contents, *size in sections:
        size = size[0] if size else len(contents)
        headers.append(struct.pack("<10I", name_at, kind, flags, address, offset, size, 0, 0, 1, 0))
        name_at += len(name) + 1
    headers.append(struct.pack("<10I", name_at, 3, 0, 0, names_at, len(names), 0, 0, 1, 0))
    header_table = len(body)
    body[:52] = struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01", 2, 40, 1, 0, 52, header_table,
                            0x5000200, 52, 32, len(segments), 40, len(headers), len(headers) - 1)
    for k, (offset, vaddr, paddr, filesz, memsz) in enumerate(segments):
        body[52 + 32 * k:84 + 32 * k] = struct.pack("<8I", PT_LOAD, offset, vaddr, paddr, filesz, memsz, 5, 4)
    return bytes(body) + b"".join(headers)


# Each layout: its sections and PT_LOAD segments, and where a reader that
# takes the first segment whose file bytes hold a section, keeps every
# allocated section and decompresses would place each section: {address:
# bytes, or the file offset from which it reads to the end}.
CODE, TABLE, MORE = data(0x40, 1), data(0x30, 2), data(0x20, 3)
LAYOUTS = {
    # The one PT_LOAD gives the load addresses even with p_paddr 0; .table's
    # file bytes lie in it, its address does not.
    "every-paddr-0-one-load": ([(".code", SHT_PROGBITS, ALLOC, 0x8000, 0x2600, CODE),
                                (".table", SHT_PROGBITS, ALLOC, 0x9000, 0x2640, TABLE)],
                               [(0, 0x5A00, 0, 0x2700, 0x2700)],
                               {0x2600: CODE, 0x2640: TABLE}),
    # Two PT_LOADs with p_paddr 0: every section loads at its own address.
    "every-paddr-0-two-loads": ([(".code", SHT_PROGBITS, ALLOC, 0x2400, 0x2400, CODE),
                                 (".table", SHT_PROGBITS, ALLOC, 0x8000, 0x2500, TABLE)],
                                [(0, 0, 0, 0x2440, 0x2440), (0x2500, 0x8000, 0, 0x30, 0x30)],
                                {0x2400: CODE, 0: TABLE}),
    "offset-in-segment-address-not": ([(".data", SHT_PROGBITS, ALLOC, 0x20000000, 0x2500, CODE),
                                       (".extra", SHT_PROGBITS, ALLOC, 0x5000, 0x2540, TABLE)],
                                      [(0x2500, 0x20000000, 0x3000, 0x70, 0x70)],
                                      {0x3000: CODE, 0x3040: TABLE}),
    # The address range must lie in the segment whole, not only its start.
    "address-range-partly-in-segment": ([(".part", SHT_PROGBITS, ALLOC, 0x4000, 0x2500, CODE)],
                                        [(0x2500, 0x4000, 0x7000, 0x40, 0x20)], {0x7000: CODE}),
    "two-segments-same-bytes": ([(".mirror", SHT_PROGBITS, ALLOC, 0x6000, 0x2500, CODE)],
                                [(0x2500, 0x4000, 0x4000, 0x40, 0x40), (0x2500, 0x6000, 0x6000, 0x40, 0x40)],
                                {0x4000: CODE}),
    "allocated-sht-null-and-sht-shlib": ([(".code", SHT_PROGBITS, ALLOC, 0x2200, 0x2500, CODE),
                                          (".null", SHT_NULL, ALLOC, 0x2400, 0x2540, TABLE),
                                          (".shlib", SHT_SHLIB, ALLOC, 0x2500, 0x2570, MORE)],
                                         [], {0x2200: CODE, 0x2400: TABLE, 0x2500: MORE}),
    "allocated-shf-compressed": ([(".packed", SHT_PROGBITS, ALLOC | COMPRESSED, 0x2400, 0x2500, compressed(CODE))],
                                 [], {0x2400: CODE}),
    # Written by ascending address, not in header order: .low's end lies
    # under .high.
    "overlapping-sections": ([(".high", SHT_PROGBITS, ALLOC, 0x2420, 0x2500, TABLE),
                              (".low", SHT_PROGBITS, ALLOC, 0x2400, 0x2540, CODE)],
                             [], {0x2420: TABLE, 0x2400: CODE}),
    # Such a reader takes what the file holds from the section's offset on.
    "data-past-the-end-of-the-file": ([(".code", SHT_PROGBITS, ALLOC, 0x2200, 0x2500, CODE, 0x100000)],
                                      [], {0x2200: 0x2500}),
    # pyelftools reads a hash table's header when it meets the section.
    "allocated-sht-hash": ([(".hash", SHT_HASH, ALLOC, 0x2200, 0x2500, MORE)], [], None),
}
