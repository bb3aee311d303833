"""End-to-end conversions of real Cortex-M0 firmware images.

The ELF files under examples/elf are built from examples/firmware by its
build.sh.  Each test runs the whole conversion through rowmint.main() with
the host's objcopy and compares the row file with the one worked out from
the ELF bytes by tests/firmware_image.py.
"""

import os
import re
import shutil
import sys
from pathlib import Path

import pytest

pytest.importorskip("elftools")

import rowmint  # noqa: E402
import firmware_image as fi  # noqa: E402

ELF_DIR = Path(__file__).resolve().parent.parent / "examples" / "elf"

# What each image is built to be: its first and last row, how many row
# lines it gives, and which record types objcopy writes for it.
IMAGES = {
    # a few KB packed from 0x2200 on; the metadata area reserved in row 0x02D
    "blinky": dict(first=0x022, last=0x02D, rows=12, types={0x00, 0x01, 0x03}),
    # crosses 0x10000 (a segment record), ends well before row 0x1FF
    "cross64k": dict(first=0x022, last=0x134, rows=275, types={0x00, 0x01, 0x02, 0x03}),
    # up to the last row, a trailer in the last 64 bytes of flash and two
    # sections at 0x100000 and 0x20001000 that stay out of the row file
    "fullflash": dict(first=0x022, last=0x1FF, rows=467, types={0x00, 0x01, 0x02, 0x03, 0x04}),
    # odd section starts with gaps; records run over row ends and 0x10000;
    # the metadata area reserved in row 0x1AC
    "scattered": dict(first=0x022, last=0x1AC, rows=17, types={0x00, 0x01, 0x02, 0x03}),
}

# The row file is written in text mode: lines end the platform's way.
EOL = os.linesep


def expected_bytes(elf):
    return fi.expected_row_file(elf).text().replace("\n", EOL).encode("ascii")


ROW_LINE = re.compile(r":00(0[01][0-9A-F]{2})0100([0-9A-F]{512})([0-9A-F]{2})")


def convert(objcopy, elf, hex_path, cyacd_path, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["rowmint", objcopy, str(elf), str(hex_path), str(cyacd_path)])
    assert rowmint.main() is None
    with open(cyacd_path, "rb") as f:
        return f.read()


def describe_difference(expected, got):
    """First differing line, with its row and the first differing data byte."""
    exp_lines = expected.decode("ascii").split(EOL)
    got_lines = got.decode("ascii", "replace").split(EOL)
    if len(exp_lines) != len(got_lines):
        exp_rows = [line[3:7] for line in exp_lines[1:-1]]
        got_rows = [line[3:7] for line in got_lines[1:-1]]
        return "%d lines expected, got %d; rows expected %s, got %s" % (
            len(exp_lines) - 1, len(got_lines) - 1,
            sorted(set(exp_rows) - set(got_rows)) or "-",
            sorted(set(got_rows) - set(exp_rows)) or "-")
    for n, (e, g) in enumerate(zip(exp_lines, got_lines)):
        if e == g:
            continue
        if n == 0 or len(e) != len(g) or e[:11] != g[:11]:
            return "line %d: expected %r, got %r" % (n + 1, e[:40], g[:40])
        k = next(i for i in range(11, len(e)) if e[i] != g[i])
        if k >= 523:
            return "row %s: checksum expected %s, got %s" % (e[3:7], e[523:], g[523:])
        byte = (k - 11) // 2
        lo = 11 + 2 * max(0, byte - 4)
        return "row %s, data byte %d: expected ...%s..., got ...%s..." % (
            e[3:7], byte, e[lo:lo + 24], g[lo:lo + 24])
    return "no difference"


@pytest.fixture(scope="module")
def converted(objcopy, tmp_path_factory):
    """Each image converted once; the tests below inspect the results."""
    results = {}
    mp = pytest.MonkeyPatch()
    try:
        for name in IMAGES:
            out = tmp_path_factory.mktemp(name)
            elf = ELF_DIR / (name + ".elf")
            try:
                data = convert(objcopy, elf, out / "x.hex", out / "x.cyacd", mp)
            except Exception as exc:  # reported by the test of that image
                data = exc
            results[name] = (data, out / "x.hex")
    finally:
        mp.undo()
    return results


def output_of(converted, name):
    data, _ = converted[name]
    if isinstance(data, Exception):
        pytest.fail("conversion of %s.elf raised %s: %s" % (name, type(data).__name__, data))
    return data


@pytest.mark.parametrize("name", IMAGES)
def test_objcopy_output_matches_the_elf_model(name, converted):
    """The model's load addresses are objcopy's: the HEX file that the
    conversion left holds exactly the ELF's section bytes, and the records
    that these images are meant to exercise are there."""
    _, hex_path = converted[name]
    hex_bytes, start, types = fi.read_hex(hex_path)
    chunks = fi.load_chunks(ELF_DIR / (name + ".elf"))
    elf_bytes = {lma + k: b for lma, data, _ in chunks for k, b in enumerate(data)}
    assert hex_bytes == elf_bytes
    assert set(types) == IMAGES[name]["types"]
    assert start is not None and start != 0
    outside = [a for a in hex_bytes if a >= fi.FLASH_END]
    if name == "fullflash":
        assert min(outside) == 0x100000 and max(outside) >= 0x20000000
    else:
        assert not outside


@pytest.mark.parametrize("name", IMAGES)
def test_row_file_matches_the_elf_bytes(name, converted):
    got = output_of(converted, name)
    expected = expected_bytes(ELF_DIR / (name + ".elf"))
    assert got == expected, describe_difference(expected, got)


@pytest.mark.parametrize("name", IMAGES)
def test_row_file_structure(name, converted):
    """Checks on the output alone: header, one 525-char line per row,
    ascending rows within 0x022..0x1FF, row checksums, metadata record and
    application checksum."""
    text = output_of(converted, name).decode("ascii")
    assert text.endswith(EOL)
    lines = text[:-len(EOL)].split(EOL)
    assert lines[0] == "256A11B50000"
    rows, data = [], []
    for line in lines[1:]:
        assert len(line) == 525
        m = ROW_LINE.fullmatch(line)
        assert m, line[:40]
        body = bytes.fromhex(line[1:])
        assert sum(body) & 255 == 0, "row %s checksum" % m.group(1)
        rows.append(int(m.group(1), 16))
        data.append(bytes.fromhex(m.group(2)))
    info = IMAGES[name]
    assert rows == sorted(set(rows)), "rows not ascending or repeated"
    assert (rows[0], rows[-1], len(rows)) == (info["first"], info["last"], info["rows"])
    meta = data[-1][192:204]
    assert meta[1:10] == fi.METADATA_FIXED
    assert int.from_bytes(meta[10:12], "little") == len(rows) - 1
    app_sum = sum(map(sum, data)) - sum(data[-1][192:])
    assert (meta[0] + app_sum) & 255 == 0


def test_scattered_rows_are_those_the_sections_reach(converted):
    """Rows written down by hand from the section table of scattered.ld:
    a record running over a row end opens the following row (0x29, 0x2B,
    0x124), the one crossing 0x10000 reaches row 0x100, rows lying in gaps
    (0x25..0x27, 0x2D, 0x30..0x39) get no line, and the metadata area's
    placeholders end the image in row 0x1AC."""
    text = output_of(converted, "scattered").decode("ascii")
    rows = [int(line[3:7], 16) for line in text.split(EOL)[1:-1]]
    assert rows == [0x022, 0x023, 0x024, 0x028, 0x029, 0x02A, 0x02B, 0x02C,
                    0x02E, 0x02F, 0x03A, 0x0FF, 0x100, 0x123, 0x124, 0x1AB, 0x1AC]


def test_fullflash_trailer_and_outside_sections(converted):
    """The trailer at 0x1FFC0 fills the metadata area of row 0x1FF: its
    first 12 bytes give way to the metadata record, the other 52 stay; no
    byte of the sections at 0x100000 and 0x20001000 gets into a row, and
    no row line stands for the start address or end-of-file records."""
    text = output_of(converted, "fullflash").decode("ascii")
    lines = text.split(EOL)[1:-1]
    rows = [int(line[3:7], 16) for line in lines]
    assert rows.count(0x100) == 1 and rows.count(0x1FF) == 1
    last = bytes.fromhex(lines[-1][11:523])
    assert lines[-1][3:7] == "01FF"
    chunks = {name: (lma, data) for lma, data, name in fi.load_chunks(ELF_DIR / "fullflash.elf")}
    lma, trailer = chunks[".trailer"]
    assert (lma, len(trailer)) == (0x1FFC0, 64)
    assert last[204:] == trailer[12:]
    assert last[192:204] != trailer[:12]
    res_lma, resources = chunks[".resources"]
    assert last[:0x30] == resources[0x1FF00 - res_lma:]
    assert last[0x30:0xC0] == bytes(0x90)
    # the entry point record (type 03) does not write into row 0x100
    row100 = bytes.fromhex(lines[rows.index(0x100)][11:523])
    assert row100 == resources[0x10000 - res_lma:0x10100 - res_lma]


def test_paths_with_spaces(objcopy, tmp_path, monkeypatch):
    folder = tmp_path / "firmware out"
    folder.mkdir()
    elf = folder / "small image.elf"
    shutil.copyfile(ELF_DIR / "blinky.elf", elf)
    got = convert(objcopy, elf, folder / "small image.hex", folder / "small image.cyacd", monkeypatch)
    expected = expected_bytes(elf)
    assert got == expected, describe_difference(expected, got)
    assert sorted(os.listdir(folder)) == ["small image.cyacd", "small image.elf", "small image.hex"]


def test_repeated_conversion_replaces_the_row_file(objcopy, tmp_path, monkeypatch):
    """Converting a second image to the same paths leaves exactly the second
    image's row file (the longer first file leaves nothing behind)."""
    hex_path, cyacd = tmp_path / "out.hex", tmp_path / "out.cyacd"
    convert(objcopy, ELF_DIR / "cross64k.elf", hex_path, cyacd, monkeypatch)
    got = convert(objcopy, ELF_DIR / "scattered.elf", hex_path, cyacd, monkeypatch)
    expected = expected_bytes(ELF_DIR / "scattered.elf")
    assert got == expected, describe_difference(expected, got)
