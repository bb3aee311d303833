"""The images that row files are proven against: an ELF file read as objcopy
writes it, a HEX file read as the conversion reads it, and the metadata
record held against the image bytes it replaces."""

import subprocess

import pytest

import rowmint
from hand_made_elf import ALLOC, LAYOUTS, SHT_PROGBITS, data, elf_file
from rowfile_model import AsWritten, hex_file_bytes, record, row_file
from rowmint_tools import check
from rowmint_tools.elf_image import read_elf
from rowmint_tools.hex_reader import plain_warnings
from rowmint_tools.image import read_hex
from support import object_copy_words

C = data(16, 5)


def written(path, lines):
    path.write_text("".join(line + "\n" for line in lines))
    return path


def rows_of(placed):
    """[(row, 256 bytes)] of the flash rows that {address: bytes} reaches."""
    memory = {}
    for address, chunk in placed.items():
        memory.update((address + k, b) for k, b in enumerate(chunk))
    numbers = sorted({a >> 8 for a in memory if 0x2200 <= a < 0x20000})
    return [(n, bytes(memory.get(n * 256 + k, 0) for k in range(256))) for n in numbers]


@pytest.mark.parametrize("name", sorted(LAYOUTS))
def test_the_elf_image_is_what_objcopy_writes(objcopy, tmp_path, name):
    sections, segments, _ = LAYOUTS[name]
    elf, hex_path = tmp_path / "image.elf", tmp_path / "image.hex"
    elf.write_bytes(elf_file(sections, segments))
    tool = subprocess.run(list(object_copy_words()) + ["-O", "ihex", str(elf), str(hex_path)], stderr=subprocess.PIPE)
    if tool.returncode != 0 or name == "allocated-shf-compressed":  # objcopy writes the compressed stream
        with pytest.raises(ValueError, match="^cannot read ELF file %s: .*(past the end|compressed)" % elf):
            read_elf(elf)
        return
    mine, theirs = read_elf(elf).memory, read_hex(hex_path).memory
    assert (mine.data, mine.mask, mine.below) == (theirs.data, theirs.mask, theirs.below)
    assert mine.above.merged() == theirs.above.merged()


INFO_BLOCK = [(".text", SHT_PROGBITS, ALLOC, 0x2200, 0x100, data(0xC0, 1)),
              (".app_info", SHT_PROGBITS, ALLOC, 0x22C0, 0x1C0, data(0x40, 9))]


def false_accept(tmp_path, name):
    """A row file that a checker with a wrong view of the image took for
    sound, the source to prove it against, and the error it must now give."""
    if name == "code-row-last":
        hex_path = tmp_path / "image.hex"
        hex_path.write_bytes(hex_file_bytes([record(0x2200 + k, bytes(range(k, k + 16))) for k in range(0, 256, 16)]
                                            + [record(0x2300, C)]))
        rows = [(0x23, C + bytes(240)), (0x22, bytes(range(256)))]  # a code row last
        return row_file(rows), {"hex_file": hex_path}, "the metadata record overwrites 12 image bytes at 0x22C0-0x22CB"
    elf = tmp_path / "image.elf"
    if name == "data-section-on-the-metadata-area":
        elf.write_bytes(elf_file(INFO_BLOCK, []))
        return (row_file(rows_of({0x2200: data(0xC0, 1) + data(0x40, 9)})), {"elf": elf},
                "the metadata record overwrites 12 image bytes at 0x22C0-0x22CB (section .app_info)")
    sections, segments, naive = LAYOUTS[name]
    elf.write_bytes(elf_file(sections, segments))
    content = elf.read_bytes()
    naive = {a: content[b:] if isinstance(b, int) else b for a, b in naive.items()}
    return row_file(rows_of(naive)), {"elf": elf}, None


@pytest.mark.parametrize("name", ["code-row-last", "data-section-on-the-metadata-area"]
                         + sorted(set(LAYOUTS) - {"allocated-sht-hash"}))
def test_false_accepts_fail(tmp_path, name):
    lines, source, message = false_accept(tmp_path, name)
    path = written(tmp_path / "app.cyacd", lines)
    try:
        report = check(path, **source)
    except ValueError as error:
        assert str(error).startswith("cannot read ELF file")
        return
    assert not report.ok
    if message is not None:  # the record's row and the first byte it overwrites
        found = [(p.kind, p.row, p.address) for p in report.problems if p.message == message]
        assert found == [("metadata_overwrite", 0x022, 0x22C0)]


# HEX files that the conversion accepts, with the image they hold.
ACCEPTED = {
    "repeated-record": ([record(0x2200, C), record(0x2200, C)], {0x2200: C}),
    "overlapping-records-later-wins": ([record(0x2200, C), record(0x2208, b"\xEE" * 16)],
                                       {0x2200: C[:8] + b"\xEE" * 16}),
    "start-records-03-and-05": ([record(0, bytes(4), 3), record(0x2200, C), record(0, bytes(4), 5)], {0x2200: C}),
    "segment-and-linear-bases": ([":020000021000EC", record(0x0100, C), ":020000040001F9", record(0x0200, C)],
                                 {0x10100: C, 0x10200: C}),
    "placeholders-reserve-the-area": ([record(0x2200, C), record(0x22C0, bytes(64))], {0x2200: C, 0x22C0: bytes(64)}),
}


@pytest.mark.parametrize("name", sorted(ACCEPTED))
def test_hex_files_the_conversion_accepts_are_proven(tmp_path, name):
    lines, placed = ACCEPTED[name]
    hex_path = tmp_path / "image.hex"
    hex_path.write_bytes(hex_file_bytes(lines))
    report = check(written(tmp_path / "app.cyacd", row_file(rows_of(placed))), hex_file=hex_path)
    assert (report.problems, report.warnings) == ((), ())


REFUSED = [
    AsWritten([record(0x2200, C)[:-2] + "00", ":00000001FF"]),
    AsWritten([record(0x2200, C), record(0x2300, C)]),
    [record(0x2200, C), ";" + record(0x2300, C)[1:]],
    [record(0x2200, C)[:-4]],
    [record(0x2200, C)[:-2]],
    [record(0x2200, C) + "00"],
    [record(0x2200, C)[:20] + "G" + record(0x2200, C)[21:]],
    [record(0x2200, C), ""],
    [record(0x2200, C) + "0" * 70000],
]


@pytest.mark.parametrize("lines", REFUSED)
def test_hex_files_the_conversion_refuses_are_refused_in_its_words(hex_file, lines):
    hex_file.write_bytes(hex_file_bytes(lines))
    with pytest.raises(Exception) as conversion:
        rowmint.main()
    notes = getattr(conversion.value, "__notes__", [])
    words = "%s: %s" % (notes[0], conversion.value) if notes else str(conversion.value)
    with pytest.raises(ValueError) as reader:
        read_hex(hex_file)
    assert str(reader.value) == "cannot read HEX file %s: %s" % (hex_file, words)


@pytest.mark.parametrize("lines, warnings", [
    ([record(0x2200, C)], []),
    ([record(0x21F8, C), record(0x2100, C[:2])], ["10 image bytes below 0x2200, the bootloader's flash, are left out: "
                                                  "0x2100-0x2101, 0x21F8-0x21FF"]),
    ([record(0x22C0, C)], ["the metadata record overwrites 12 image bytes at 0x22C0-0x22CB"]),
    ([" " + record(0x22C0, C)], ["the metadata record overwrites 12 image bytes at 0x22C0-0x22CB"]),
    ([record(0x2200, C), record(0x22C0, bytes(64))], []),
    ([":020000040002F8", record(0, C)], []),
])
def test_the_plain_commands_warnings(tmp_path, lines, warnings):
    hex_path = tmp_path / "image.hex"
    hex_path.write_bytes(hex_file_bytes(lines, end="\r\n"))
    assert plain_warnings(str(hex_path)) == warnings
