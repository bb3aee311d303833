"""Expected row file of a firmware ELF, worked out from the ELF's own bytes.

This is a model of the conversion written for the tests only: it reads the
ELF with pyelftools and lays the flash image out by the rules of the row
file, without using anything of the module under test.  It also holds a
small Intel HEX reader so that a test can check the model's load addresses
against what objcopy actually wrote.

Rules of the row file modelled here:
- only bytes at 0x2200..0x1FFFF are converted (below is the bootloader);
- every 256-byte flash row holding a converted byte gets one row line,
  in ascending row order (the order in which objcopy's records reach them);
  bytes no section supplies read 00;
- the last row line carries the metadata record at data bytes 192..203:
  the application checksum, 11 22 00 00 21 00 00 00 00, and the index of
  the last row line, little-endian;
- the application checksum is 256 - (A & 255), mod 256, where A sums all
  data bytes except the last 64 of the last row line;
- each row line ends in 256 - (S & 255), mod 256, S summing the 261 bytes
  after the ':'.
"""

from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile

APP_START = 0x2200
FLASH_END = 0x20000
ROW_SIZE = 256
HEADER = "256A11B50000"
METADATA_OFFSET = 192
METADATA_AREA = 64
METADATA_FIXED = bytes([0x11, 0x22, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x00])


def _load_address(section, load_segments):
    """Load address of an allocated section: its place in the PT_LOAD
    segment whose file bytes hold it (p_paddr + its offset in the segment),
    or its own address when no segment holds it."""
    off, size = section["sh_offset"], section["sh_size"]
    for seg in load_segments:
        start = seg["p_offset"]
        if start <= off and off + size <= start + seg["p_filesz"]:
            return seg["p_paddr"] + (off - start)
    return section["sh_addr"]


def load_chunks(elf_path):
    """(load address, bytes, section name) of every allocated section with
    contents, as a loader places them, sorted by load address."""
    with open(elf_path, "rb") as f:
        elf = ELFFile(f)
        segments = [s for s in elf.iter_segments() if s["p_type"] == "PT_LOAD"]
        chunks = []
        for sec in elf.iter_sections():
            if not sec["sh_flags"] & SH_FLAGS.SHF_ALLOC:
                continue
            if sec["sh_type"] == "SHT_NOBITS" or sec["sh_size"] == 0:
                continue
            chunks.append((_load_address(sec, segments), sec.data(), sec.name))
        return sorted(chunks, key=lambda c: c[0])


def flash_bytes(chunks):
    """{address: byte} of the converted range 0x2200..0x1FFFF."""
    image = {}
    for lma, data, _ in chunks:
        for k, b in enumerate(data):
            addr = lma + k
            if APP_START <= addr < FLASH_END:
                image[addr] = b
    return image


def checksum(values):
    return (256 - (sum(values) & 255)) & 255


class RowFile:
    """The expected row file: rows (ascending row numbers), their 256 data
    bytes each, and the text of the whole file."""

    def __init__(self, image):
        self.rows = sorted({addr >> 8 for addr in image})
        if not self.rows:
            raise ValueError("no image data at or above 0x2200")
        self.data = {row: bytearray(ROW_SIZE) for row in self.rows}
        for addr, b in image.items():
            self.data[addr >> 8][addr & 255] = b
        last = self.data[self.rows[-1]]
        app_sum = sum(sum(self.data[r]) for r in self.rows)
        app_sum -= sum(last[ROW_SIZE - METADATA_AREA:])
        self.app_checksum = checksum([app_sum])
        self.last_index = len(self.rows) - 1
        self.metadata = (bytes([self.app_checksum]) + METADATA_FIXED
                         + self.last_index.to_bytes(2, "little"))
        last[METADATA_OFFSET:METADATA_OFFSET + len(self.metadata)] = self.metadata

    def line(self, row):
        body = bytes([0x00, row >> 8, row & 255, 0x01, 0x00]) + bytes(self.data[row])
        return ":" + body.hex().upper() + "%02X" % checksum(body)

    def lines(self):
        return [HEADER] + [self.line(r) for r in self.rows]

    def text(self):
        return "".join(line + "\n" for line in self.lines())


def expected_row_file(elf_path):
    return RowFile(flash_bytes(load_chunks(elf_path)))


def read_hex(hex_path):
    """Intel HEX file -> ({address: byte} of its data records, start
    address or None, list of record types in file order).  Record
    checksums are verified."""
    image, types, start = {}, [], None
    base = 0
    with open(hex_path) as f:
        for n, line in enumerate(f, 1):
            text = line.strip()
            if not text:
                continue
            assert text[0] == ":", "HEX line %d: no start code" % n
            raw = bytes.fromhex(text[1:])
            assert len(raw) == raw[0] + 5, "HEX line %d: length" % n
            assert sum(raw) & 255 == 0, "HEX line %d: checksum" % n
            count, addr, rtype, data = raw[0], int.from_bytes(raw[1:3], "big"), raw[3], raw[4:-1]
            types.append(rtype)
            if rtype == 0x00:
                for k in range(count):
                    image[base + addr + k] = data[k]
            elif rtype == 0x02:
                base = int.from_bytes(data, "big") << 4
            elif rtype == 0x04:
                base = int.from_bytes(data, "big") << 16
            elif rtype in (0x03, 0x05):
                start = int.from_bytes(data, "big")
    return image, start, types
