"""The native conversion against the pure-Python renderings, on generated HEX files.

Well-formed images (ascending data records in the order GNU objcopy writes
them, the kind of input the original procedure already converts correctly)
must give byte-for-byte the same row file from the native `main()`, the
literal rendering and the corrected rendering.  Messier files (records out of
order, other record types, short records, odd case and line ends) must give
the same file from `main()` and the corrected rendering, or the same
exception with the same message, and never leave anything at the output path
behind on failure.
"""
import contextlib
import os
import random
import sys
import tempfile

import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

import rowmint
from pure_reference import convert_literal, convert_mended
from support import make_os

SEGMENT_RECORD = ":020000021000EC"
END_RECORD = ":00000001FF"
FLASH_END = 0x20000
FIRST_IMAGE_ADDRESS = 0x2200
SENTINEL = b"an older row file\n"

FAST = settings(max_examples=40, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
MESSY = settings(max_examples=250, deadline=None,
                 suppress_health_check=[HealthCheck.too_slow])


def record(address, kind, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % ((-sum(body)) & 0xFF)


# ---------------------------------------------------------------------------
# Running a conversion in a folder of its own.


@contextlib.contextmanager
def tool_left_out(argv):
    saved = rowmint.os, sys.argv
    rowmint.os = make_os(lambda command: 0)
    sys.argv = argv
    try:
        yield
    finally:
        rowmint.os, sys.argv = saved


def native(hex_path, cyacd_path):
    with tool_left_out(["rowmint", "objcopy", "in.elf", hex_path, cyacd_path]):
        assert rowmint.main() is None


def outcome(convert, hex_path, folder):
    """("wrote", bytes) or ("raised", type, message); checks the folder afterwards."""
    os.mkdir(folder)
    cyacd_path = os.path.join(folder, "out.cyacd")
    with open(cyacd_path, "wb") as f:
        f.write(SENTINEL)
    try:
        convert(hex_path, cyacd_path)
    except Exception as exc:  # noqa: BLE001 - the exception is what is compared
        result = ("raised", type(exc), str(exc))
        with open(cyacd_path, "rb") as f:
            assert f.read() == SENTINEL, "a failed conversion touched the output"
    else:
        with open(cyacd_path, "rb") as f:
            result = ("wrote", f.read())
    assert os.listdir(folder) == ["out.cyacd"], "files left beside the output"
    return result


def convert_all(hex_bytes, converters):
    with tempfile.TemporaryDirectory(prefix="rowmint-diff-") as root:
        hex_path = os.path.join(root, "in.hex")
        with open(hex_path, "wb") as f:
            f.write(hex_bytes)
        return [outcome(convert, hex_path, os.path.join(root, name))
                for name, convert in converters]


def show(result):
    if result[0] == "raised":
        return "%s: %s" % (result[1].__name__, result[2])
    return "%d bytes" % len(result[1])


# ---------------------------------------------------------------------------
# Well-formed images.


def objcopy_records(sections, size, rng):
    """HEX lines for (start, length) sections, ascending, the way objcopy lays them.

    Records never cross a 64 KB boundary; the segment record comes before the
    first record at 0x10000 or above.  A record that would run past the end of
    a row is cut at that row's end unless an earlier record already reached the
    row: the original procedure opens only the record's own row then, which is
    exactly the fault the corrections mend, so such records belong to the
    messier files.
    """
    lines, reached, in_second = [], set(), False
    for start, length in sections:
        address, end = start, start + length
        while address < end:
            stop = min(address + size, end, (address | 0xFFFF) + 1)
            row = address >> 8
            if (stop - 1) >> 8 != row and row not in reached:
                stop = (row + 1) << 8
            if address >= 0x10000 and not in_second:
                lines.append(SEGMENT_RECORD)
                in_second = True
            data = rng.getrandbits(8 * (stop - address)).to_bytes(stop - address, "little")
            lines.append(record(address & 0xFFFF, 0, data))
            if address >= FIRST_IMAGE_ADDRESS:
                reached.update(range(row, ((stop - 1) >> 8) + 1))
            address = stop
    return lines


@st.composite
def well_formed_images(draw):
    size = draw(st.sampled_from([16, 32]))
    address = draw(st.integers(0x2000, 0xF000))
    sections = []
    for _ in range(draw(st.integers(1, 5))):
        length = draw(st.integers(1, 0xC00))
        if address + length > FLASH_END:
            break
        sections.append((address, length))
        address += length + draw(st.sampled_from([0, 0, 1, 7, 0x100, 0x1F0])
                                 | st.integers(0, 0x4000))
    last_start = sections[-1][0] + sections[-1][1]
    in_second = last_start > 0x10000 or draw(st.booleans())
    if in_second:
        # A second-segment image runs to the last flash row: read in the second
        # segment short of it, the end-of-file record would be taken for data.
        start = max(last_start, draw(st.integers(0x10000, FLASH_END - 1)))
        start = max(start, draw(st.sampled_from([FLASH_END - 0x40, FLASH_END - 0x130, start])))
        if start < FLASH_END:
            sections.append((start, FLASH_END - start))
    rng = random.Random(draw(st.integers(0, 2 ** 32)))
    lines = objcopy_records(sections, size, rng) + [END_RECORD]
    line_end = draw(st.sampled_from(["\n", "\r\n"]))
    return "".join(line + line_end for line in lines).encode("ascii")


@FAST
@given(well_formed_images())
def test_well_formed_image_is_converted_alike_by_all_three(hex_bytes):
    results = convert_all(hex_bytes, [("native", native), ("literal", convert_literal),
                                      ("mended", convert_mended)])
    native_result, literal_result, mended_result = results
    assume(literal_result[0] == "wrote" or "no image data" not in literal_result[2])
    assert literal_result[0] == "wrote", show(literal_result)
    assert mended_result == literal_result, (show(mended_result), show(literal_result))
    assert native_result == literal_result, (show(native_result), show(literal_result))


@pytest.mark.parametrize("first_address", [0x2200, 0x22F0, 0xFF00])
def test_image_filling_every_flash_row_is_converted_alike(first_address):
    rng = random.Random(first_address)
    lines = objcopy_records([(first_address, FLASH_END - first_address)], 16, rng)
    hex_bytes = "".join(line + "\r\n" for line in lines + [END_RECORD]).encode("ascii")
    native_result, literal_result, mended_result = convert_all(
        hex_bytes, [("native", native), ("literal", convert_literal), ("mended", convert_mended)])
    assert literal_result[0] == "wrote", show(literal_result)
    assert native_result == literal_result == mended_result


# ---------------------------------------------------------------------------
# Messier files: the native conversion against the corrected rendering.

ROWS = [0x00, 0x01, 0x1B, 0x20, 0x21, 0x22, 0x23, 0x24, 0x80, 0xFE, 0xFF]
OFFSETS = [0x00, 0x10, 0xE0, 0xF0, 0xF8, 0xFF]


def address_of(draw):
    high = draw(st.sampled_from(ROWS) | st.integers(0, 255))
    low = draw(st.sampled_from(OFFSETS) | st.integers(0, 255))
    return (high << 8) | low


@st.composite
def data_lines(draw):
    count = draw(st.sampled_from([0, 1, 4, 16, 16, 32, 128, 255]) | st.integers(0, 80))
    data = draw(st.binary(min_size=count, max_size=count))
    line = record(address_of(draw), 0, data)
    shape = draw(st.integers(0, 19))
    if shape < 2:  # short: checksum only, or data digits too
        line = line[:len(line) - draw(st.integers(1, max(1, len(line) - 9)))]
    elif shape == 2 and count:  # a data digit that is no hex digit
        at = draw(st.integers(9, 8 + 2 * count))
        line = line[:at] + draw(st.sampled_from(["G", "\u00e9", " ", "\u0660"])) + line[at + 1:]
    elif shape == 3:  # more text after the checksum
        line += draw(st.sampled_from(["00", "ZZ", " 1"]))
    return line


@st.composite
def extended_lines(draw):
    kind = draw(st.sampled_from([2, 4]))
    value = draw(st.sampled_from([0x0000, 0x1000, 0x0001, 0x2000, 0x0010, 0x0220, 0x1001])
                 | st.integers(0, 0xFFFF))
    address = draw(st.sampled_from([0, 0]) | st.integers(0, 0xFFFF))
    line = record(address, kind, value.to_bytes(2, "big"))
    shape = draw(st.integers(0, 11))
    if shape == 0:    # wrong byte count
        line = record(address, kind, draw(st.binary(min_size=1, max_size=3).filter(lambda b: len(b) != 2)))
    elif shape == 1:  # value digits that are not hex
        line = line[:9] + draw(st.sampled_from(["1G00", "00 1", "+100", "0x10"])) + line[13:]
    elif shape == 2:  # value cut short
        line = line[:draw(st.integers(9, 12))]
    elif shape == 3:  # checksum wrong or missing
        line = line[:13] + draw(st.sampled_from(["", "00", "FFFF"]))
    return line


@st.composite
def other_lines(draw):
    kind = draw(st.sampled_from([1, 3, 5, 6, 0x7F]))
    count = draw(st.sampled_from([0, 4]))
    return record(address_of(draw), kind, draw(st.binary(min_size=count, max_size=count)))


fixed_lines = st.sampled_from([
    SEGMENT_RECORD, SEGMENT_RECORD.lower(), ":020000040001F9", ":02FFFF021000EE",
    ":020000020000FC", ":020000040010EA", END_RECORD, ":040000030000224196",
    "", "   ", ":", ":00", ":0000", ":000000", ":1022", ":zz220000", ":10é20000",
    record(0x22F8, 0, range(16)), record(0xFFF8, 0, range(16)), record(0x21F8, 0, range(16)),
])

messy_line = st.one_of(data_lines(), data_lines(), data_lines(), extended_lines(),
                       other_lines(), fixed_lines)


@st.composite
def messy_files(draw):
    lines = draw(st.lists(messy_line, min_size=0, max_size=14))
    start = draw(st.sampled_from(["none", "row", "row", "last row"]))
    if start == "last row":  # only row 0x1FF may follow, up to the next segment record
        lines[0:0] = [SEGMENT_RECORD, record(0xFF00, 0, range(draw(st.sampled_from([4, 16, 255]))))]
    if start != "none":  # most files start with something the image keeps
        lines.insert(0, record(0x2200, 0, range(16)))
    lower = draw(st.sampled_from(["none", "all", "some"]))
    pad = draw(st.booleans())
    blanks = st.sampled_from([" ", "\t", " \t", "\x0b", "\x0c", "\x1c", "\x85", "\u00a0", "\u3000"])
    ends = draw(st.sampled_from(["\n", "\r\n", "\r", "mixed"]))
    text = ""
    for line in lines:
        if lower == "all" or (lower == "some" and draw(st.booleans())):
            line = line.lower()
        if pad and draw(st.booleans()):
            line = draw(blanks) + line + draw(blanks)
        end = draw(st.sampled_from(["\n", "\r\n", "\r"])) if ends == "mixed" else ends
        text += line + end
    if text and draw(st.integers(0, 4)) == 0:
        text = text.rstrip("\r\n")  # no line end after the last line
    data = text.encode("utf-8")
    oddity = draw(st.integers(0, 29))
    if oddity == 0:
        data = "\ufeff".encode("utf-8") + data  # byte-order mark
    elif oddity == 1:
        data += b"\xff\n"  # not UTF-8
    return data


@MESSY
@given(messy_files())
def test_messy_file_gives_the_corrected_result(hex_bytes):
    native_result, mended_result = convert_all(
        hex_bytes, [("native", native), ("mended", convert_mended)])
    assert native_result == mended_result, (show(native_result), show(mended_result))


# ---------------------------------------------------------------------------
# Hand-picked files for the corrections, each compared with the corrected
# rendering (and with the literal one where the original procedure is right).


def lines_to_bytes(*lines):
    return "".join(line + "\n" for line in lines).encode("ascii")


R22 = record(0x2200, 0, range(16))
R22_END = record(0x22F8, 0, range(16))

CORRECTED_CASES = {
    "revisited row keeps one line": (R22, record(0x3000, 0, range(16)), record(0x2210, 0, range(16))),
    "record opening its row runs into the next": (R22_END, record(0x2310, 0, range(4))),
    "record opening its own row runs past, nothing after": (R22_END,),
    "row 0x0FF running past moves to row 0x100": (record(0xFFF8, 0, range(16)), SEGMENT_RECORD,
                                                  record(0x0010, 0, range(4))),
    "end-of-file record in the second segment": (R22, SEGMENT_RECORD, record(0x0500, 0, range(16)), END_RECORD),
    "start address records in the second segment": (R22, SEGMENT_RECORD, record(0x0500, 0, range(16)),
                                                     ":040000030000224196", record(0, 5, bytes.fromhex("00002241"))),
    "type-04 segment record": (R22, ":020000040001F9", record(0x0500, 0, range(16))),
    "lower-case segment record": (R22, SEGMENT_RECORD.lower(), record(0x0500, 0, range(16))),
    "high sections skipped": (R22, ":020000020000FC", ":020000040010EA", record(0x2300, 0, range(16)),
                              ":020000040000FA", record(0x2400, 0, range(16))),
    "other segment value skipped until value 0000": (R22, ":020000022000DC", record(0x2300, 0, range(4)),
                                                      ":020000020000FC", record(0x2400, 0, range(4))),
    "first second-segment row 0x11B with no first-segment row": (SEGMENT_RECORD, record(0x1B00, 0, range(16))),
    "return to the second segment after row 0x1FF": (R22, SEGMENT_RECORD, record(0xFF00, 0, range(16)),
                                                       SEGMENT_RECORD, record(0x0200, 0, range(16))),
    "row 0x1FF runs past the end of flash": (R22, SEGMENT_RECORD, record(0xFFF8, 0, range(16))),
    "later row-0x1FF record runs past the end of flash": (R22, SEGMENT_RECORD, record(0xFF00, 0, range(16)),
                                                           record(0xFFF8, 0, range(16))),
    "no image data above 0x2200": (record(0x2100, 0, range(16)), END_RECORD),
    "empty file": (),
    "record short of its byte count": (R22, record(0x2300, 0, range(16))[:-6]),
    "record missing only its checksum": (R22, record(0x2300, 0, range(16))[:-2]),
    "malformed extended address record": (R22, ":0300000210000000"),
    "extended address record with a non-hex value": (R22, ":020000021G00EC"),
    "blank line in the first segment": (R22, ""),
    "blank line after the end-of-file record": (R22, SEGMENT_RECORD, record(0xFF00, 0, range(4)), END_RECORD, ""),
    "short header in the second segment": (R22, SEGMENT_RECORD, ":000000"),
    "non-hex header": (R22, ":zz220000"),
    # Once the records of row 0x1FF have begun, malformed records are passed over.
    "malformed extended address record after the last row": (
        R22, SEGMENT_RECORD, record(0xFF00, 0, range(4)), ":0300000210000000"),
}


@pytest.mark.parametrize("lines", list(CORRECTED_CASES.values()), ids=list(CORRECTED_CASES))
def test_corrected_case_matches_the_corrected_rendering(lines):
    native_result, mended_result = convert_all(
        lines_to_bytes(*lines), [("native", native), ("mended", convert_mended)])
    assert native_result == mended_result, (show(native_result), show(mended_result))


@pytest.mark.parametrize("line_end", ["\n", "\r\n"])
def test_row_file_may_take_the_place_of_the_hex_file(line_end):
    lines = [R22_END, record(0x2310, 0, range(16)), SEGMENT_RECORD, record(0x0500, 0, range(32)), END_RECORD]
    hex_bytes = "".join(line + line_end for line in lines).encode("ascii")
    results = []
    with tempfile.TemporaryDirectory(prefix="rowmint-diff-") as root:
        for name, convert in [("native", native), ("mended", convert_mended)]:
            path = os.path.join(root, name + ".hex")
            with open(path, "wb") as f:
                f.write(hex_bytes)
            convert(path, path)
            with open(path, "rb") as f:
                results.append(f.read())
        assert sorted(os.listdir(root)) == ["mended.hex", "native.hex"]
    assert results[0] == results[1]
    assert results[0].startswith(b"256A11B50000\n:0000220100")
