"""How lines of the HEX file become records, seen through whole conversions."""
import codecs
import encodings.hex_codec as hex_codec
import locale
import sys
import types

import pytest

import rowmint
from pure_reference import convert_mended
from rowfile_model import AsWritten, hex_file_bytes, record, row_file, sealed
from support import (
    EOF_RECORD,
    HEADER_LINE,
    ROAD_DATA,
    ROAD_RECORD,
    Conversion,
    Recorder,
    hex_codec_error,
    make_os,
)

SECOND_DATA = "F0E1D2C3B4A5968778695A4B3C2D1E0F"
SECOND_RECORD = ":10000000" + SECOND_DATA + "77"
SEGMENT = ":020000021000EC"
ENCODING = locale.getpreferredencoding(False)


@pytest.fixture
def conv(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    conversion = Conversion()
    monkeypatch.setattr(sys, "argv", conversion.argv)
    monkeypatch.setattr(rowmint, "os", make_os(Recorder()))
    return conversion


def encoded(text):
    try:
        return text.encode(ENCODING)
    except UnicodeEncodeError:
        pytest.skip("the default encoding %s cannot hold %r" % (ENCODING, text))


def convert(conv, lines, end="\n"):
    conv.write_hex(data=encoded("".join(line + end for line in sealed(lines))))
    assert rowmint.main() is None
    return conv.output_lines()


def fails(conv, lines, end="\n"):
    conv.write_hex(data=encoded("".join(line + end for line in sealed(lines))))
    with pytest.raises(Exception) as info:
        rowmint.main()
    assert not conv.output_exists()
    return info.value


def data_field(line):
    return line[11:523]


# ---------------------------------------------------------------- line ends and whitespace

@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"], ids=["lf", "crlf", "cr"])
def test_line_ends(conv, end):
    lines = convert(conv, [ROAD_RECORD, SEGMENT, SECOND_RECORD, EOF_RECORD], end=end)
    assert lines[0] == HEADER_LINE
    assert lines[1].startswith(":0000220100" + ROAD_DATA)
    assert lines[2].startswith(":0001000100" + SECOND_DATA)
    assert len(lines) == 3
    assert all(len(line) == 525 for line in lines[1:])


def test_crlf_output_matches_lf_output(conv):
    records = [ROAD_RECORD, SEGMENT, SECOND_RECORD, EOF_RECORD]
    assert convert(conv, records, end="\r\n") == convert(conv, records, end="\n")


SPACES = [" ", "\t", "  \t ", "\x0b", "\x0c", "\x1c", "\x1f", "\x85", "\xa0",
          "\u1680", "\u2003", "\u2028", "\u2029", "\u202f", "\u3000", " \u3000\t\x85 "]


@pytest.mark.parametrize("space", SPACES, ids=[repr(s) for s in SPACES])
def test_surrounding_whitespace_is_stripped(conv, space):
    plain = convert(conv, [ROAD_RECORD, SEGMENT, SECOND_RECORD, EOF_RECORD])
    padded = [space + ROAD_RECORD + space, space + SEGMENT + space,
              SECOND_RECORD + space, space + EOF_RECORD]
    assert convert(conv, padded) == plain
    assert plain[2].startswith(":0001000100" + SECOND_DATA)


@pytest.mark.parametrize("mark", ["\u200b", "\ufeff", "\u180e"], ids=["zero-width-space", "bom", "mongolian-vs"])
def test_characters_that_are_not_whitespace_stay(conv, mark):
    error = fails(conv, [mark + ROAD_RECORD, EOF_RECORD])
    assert (type(error), str(error)) == codec_error(mark + ROAD_RECORD)


# ---------------------------------------------------------------- letter case, checksums, threshold

def test_lower_case_data_is_copied_in_lower_case(conv):
    lines = convert(conv, [ROAD_RECORD.lower(), EOF_RECORD.lower()])
    assert lines[1].startswith(":0000220100" + ROAD_DATA.lower())


def test_lower_case_header_digits(conv):
    lines = convert(conv, [":022a0000abcd00", ":02ff1000a0b0c0", EOF_RECORD])
    assert lines[1].startswith(":00002A0100abcd")
    assert lines[2].startswith(":0000FF0100" + "00" * 16 + "a0b0")
    assert len(lines) == 3


def test_record_checksum_is_verified(conv):
    error = fails(conv, AsWritten([ROAD_RECORD[:-2] + "00", EOF_RECORD]))
    assert type(error) is ValueError
    assert str(error) == "HEX line 1: the record checksum is 0x00, its bytes need 0x56"


def test_rows_below_0x22_are_skipped(conv):
    lines = convert(conv, [":10210000" + "11" * 16 + "00", ROAD_RECORD, EOF_RECORD])
    assert len(lines) == 2
    assert lines[1].startswith(":0000220100" + ROAD_DATA)
    assert "11" * 16 not in lines[1]


# ---------------------------------------------------------------- header errors

def codec_error(record):
    """What the hex codec raises for characters 1 to 8 of the stripped record,
    or else for all after its ':'."""
    header, rest = record.strip()[1:9], record.strip()[1:]
    try:
        codecs.getdecoder("hex")(header)
    except ValueError:
        return hex_codec_error(header)
    return hex_codec_error(rest)


HEADER_ERRORS = [
    ":1022000",
    ":1",
    ":102",
    ":10220",
    ":10G2000",  # an odd count and a non-hex digit: releases differ on which is named
    ":10G20000" + ROAD_DATA + "56",
    ":1022000Z" + ROAD_DATA + "56",
    ":10 20000" + ROAD_DATA + "56",
    ":-1220000" + ROAD_DATA + "56",
    "::10220000",
    ":1\u00e9220000" + ROAD_DATA,
    ":1\u00e9",
    ":10220\u30000" + ROAD_DATA,
    ":\uff11\uff10220000" + ROAD_DATA,
    # data digits, after a header that decodes
    ROAD_RECORD[:12] + "\u00e9" + ROAD_RECORD[13:],
    ROAD_RECORD[:12] + "G" + ROAD_RECORD[13:],
]


@pytest.mark.parametrize("record", HEADER_ERRORS, ids=[r[:12] for r in HEADER_ERRORS])
@pytest.mark.parametrize("place", ["first", "after-data"])
def test_header_errors(conv, record, place):
    lines = [record, EOF_RECORD] if place == "first" else [ROAD_RECORD, record, EOF_RECORD]
    error = fails(conv, lines)
    assert (type(error), str(error)) == codec_error(record)


def test_digits_the_interpreters_decoder_accepts_are_read_as_it_reads_them(conv, monkeypatch):
    # A release whose decoder takes digits the native reading refuses: here
    # "G" read as "0", in the header and in the record's checksum sum alike.
    a2b_hex = hex_codec.binascii.a2b_hex
    monkeypatch.setattr(hex_codec, "binascii", types.SimpleNamespace(
        a2b_hex=lambda digits: a2b_hex(digits.replace("G", "0")), Error=hex_codec.binascii.Error))
    lenient = convert(conv, [":1022G000" + ROAD_DATA + "56", EOF_RECORD])
    assert lenient == convert(conv, [ROAD_RECORD, EOF_RECORD])


@pytest.mark.parametrize(
    "lines",
    [
        ["", ROAD_RECORD, EOF_RECORD],
        [ROAD_RECORD, "", EOF_RECORD],
        [ROAD_RECORD, "   \t", EOF_RECORD],
        [ROAD_RECORD, "\u3000", EOF_RECORD],
        [ROAD_RECORD, ":", EOF_RECORD],
        [ROAD_RECORD, ":10", EOF_RECORD],
        [ROAD_RECORD, ":1022", EOF_RECORD],
        # four header bytes are needed before the segment is left
        [ROAD_RECORD, ":102200", EOF_RECORD],
        [ROAD_RECORD, SEGMENT, "", SECOND_RECORD, EOF_RECORD],
        [ROAD_RECORD, SEGMENT, ":1000", SECOND_RECORD, EOF_RECORD],
    ],
    ids=["blank-first", "blank-between", "spaces-only", "ideographic-space-only",
         "colon-only", "one-byte", "two-bytes", "three-bytes", "blank-in-second-segment",
         "two-bytes-in-second-segment"],
)
def test_short_header_raises_index_error(conv, lines):
    error = fails(conv, lines)
    assert type(error) is IndexError


# ---------------------------------------------------------------- the segment record

SEGMENT_RECORDS = [  # each given the checksum it needs
    ":020000021000EC",
    ":020000021000ec",
    ":02FFFF021000EE",
    ":02abcd02100000",
    ":020000040001F9",
    ":020000040001f9",
    ":02ABCD04000100",
]


@pytest.mark.parametrize("segment", SEGMENT_RECORDS)
@pytest.mark.parametrize("first_segment", [True, False], ids=["after-data", "at-start"])
def test_segment_records(conv, segment, first_segment):
    records = ([ROAD_RECORD] if first_segment else []) + [segment, SECOND_RECORD, ":02011000ABCD00", EOF_RECORD]
    lines = convert(conv, records)
    rows = lines[1:]
    if first_segment:
        assert rows[0].startswith(":0000220100" + ROAD_DATA)
        rows = rows[1:]
    assert [row[:11] for row in rows] == [":0001000100", ":0001010100"]
    assert data_field(rows[0]).startswith(SECOND_DATA)
    assert data_field(rows[1])[32:36] == "ABCD"


@pytest.mark.parametrize(
    "other",
    [":020000022000DC", ":020000040002F8", ":020000031000EB", ":020000051000EA", ":020000001000EE"],
    ids=["type-02-other-value", "type-04-other-value", "type-03", "type-05", "type-00"],
)
def test_other_records_do_not_enter_the_second_segment(conv, other):
    lines = convert(conv, [ROAD_RECORD, other, SECOND_RECORD, EOF_RECORD])
    assert len(lines) == 2
    assert lines[1].startswith(":0000220100" + ROAD_DATA)


MALFORMED = [  # each given the checksum it needs
    ":0400000210000000EA",
    ":0400000400010000E7",
    ":0000000200",
    ":0100000210EF",
    ":0300000210000000",
]


@pytest.mark.parametrize("record", MALFORMED)
@pytest.mark.parametrize("before", [0, 1, 3])
@pytest.mark.parametrize("end", ["\n", "\r\n"], ids=["lf", "crlf"])
def test_malformed_extended_address_record(conv, record, before, end):
    lines = [ROAD_RECORD] * before + [record, SECOND_RECORD, EOF_RECORD]
    error = fails(conv, lines, end=end)
    assert type(error) is ValueError
    assert str(error) == "HEX line %d: malformed extended address record" % (before + 1)


def test_malformed_record_in_second_segment(conv):
    lines = [ROAD_RECORD, SEGMENT, SECOND_RECORD, ":0400000210000000EA", EOF_RECORD]
    error = fails(conv, lines)
    assert type(error) is ValueError
    assert str(error) == "HEX line 4: malformed extended address record"


# ---------------------------------------------------------------- every record in flash placed or refused
# Each file with the rows it gives (row, {offset: bytes}) in file order, or the
# exception it raises; run through main() and through the corrected rendering.

C = bytes(range(16))
BASE_0 = ":020000020000FC"
BASE_0_TYPE_04 = ":020000040000FA"
BASE_2200 = ":020000020220DA"
BELOW_SECOND = "HEX line %d: the record lies below address 0x10000, after the image reached its second segment"
AFTER_LAST = "HEX line %d: a record of row 0x%03X follows the records of the last flash row, 0x1FF"

PLACED_OR_REFUSED = {
    # A record from row 0x021 on past 0x2200: its bytes from 0x2200 on start row 0x022.
    "across-0x2200": ([record(0x21F8, C), record(0x2210, b"\x01")], [(0x22, {0: C[8:], 0x10: b"\x01"})]),
    "across-0x2200-opens-row-022-last": ([record(0x2300, b"\x05"), record(0x21FF, C)],
                                         [(0x23, {0: b"\x05"}), (0x22, {0: C[1:]})]),
    "across-0x2200-short": ([ROAD_RECORD, record(0x21F8, C)[:-6]],
                            (ValueError, "HEX line 2: the record holds 28 data digits, its byte count needs 32")),
    # Base 0 after the second segment began.
    "type-04-base-0-then-first-segment-data": ([SEGMENT, record(0x0500, C), BASE_0_TYPE_04, record(0x2300, C)],
                                               (ValueError, BELOW_SECOND % 4)),
    "row-0ff-ran-on-then-base-0-data": ([record(0xFFF8, C), record(0x0010, b"\x09")], (ValueError, BELOW_SECOND % 2)),
    "base-0-data-after-the-last-row": ([SEGMENT, record(0xFF00, C), BASE_0, record(0x2300, C)],
                                       (ValueError, BELOW_SECOND % 4)),
    "base-0-record-alone-before-type-04": (
        [ROAD_RECORD, SEGMENT, record(0x0500, C), BASE_0, ":020000040010EA", record(0, b"\xEE"),
         ":020000040001F9", record(0x0600, C)],
        [(0x22, {0: C}), (0x105, {0: C}), (0x106, {0: C})]),
    # Bases other than 0x00000 and 0x10000 below 0x20000.
    "type-02-base-0x2200-then-data": ([BASE_2200, record(0, C)],
                                      (ValueError, "HEX line 2: extended address base 0x02200 is neither 0x00000 nor 0x10000")),
    "type-02-base-0x10010-then-data": ([SEGMENT, ":020000021001EB", record(0, b"")],
                                       (ValueError, "HEX line 3: extended address base 0x10010 is neither 0x00000 nor 0x10000")),
    "odd-bases-alone": ([BASE_2200, BASE_0, ROAD_RECORD, ":020000021001EB", SEGMENT, record(0x0500, C)],
                        [(0x22, {0: C}), (0x105, {0: C})]),
    # Nothing but row 0x1FF after its records begin; the end of flash is
    # met in the first pass there too.
    "descending-after-row-1ff": ([SEGMENT, record(0xFF00, C), record(0xFE00, C)], (ValueError, AFTER_LAST % (3, 0x1FE))),
    "zero-length-lower-row-after-row-1ff": ([SEGMENT, record(0xFF00, C), "", record(0x0100)],
                                            (ValueError, AFTER_LAST % (4, 0x101))),
    "short-and-malformed-lines-after-row-1ff": ([SEGMENT, record(0xFF00, C), "", ":00", ":0400000210000000EA",
                                                 record(0xFF10, b"\x11")],
                                                [(0x1FF, {0: C, 0x10: b"\x11"})]),
    "short-row-1ff-record-before-the-end-of-flash": ([SEGMENT, record(0xFF00, C)[:-6], record(0xFFF8, C)],
                                                     (ValueError, "HEX line 2: the record holds 28 data digits, "
                                                                  "its byte count needs 32")),
    # The end-of-file record ends the file.
    "blank-line-after-end-of-file": ([ROAD_RECORD, EOF_RECORD, ""], [(0x22, {0: C})]),
    "ctrl-z-after-end-of-file": ([ROAD_RECORD, EOF_RECORD, "\x1a"], [(0x22, {0: C})]),
    "records-after-end-of-file": ([ROAD_RECORD, ":00FF000100", record(0x2300, C), ":0400000210000000EA", SEGMENT,
                                   record(0xFF00, C), record(0xFE00, C)], [(0x22, {0: C})]),
    # Every record whole and intact, in every state and of every type; a file
    # without its end-of-file record was cut short.
    "record-not-beginning-with-colon": ([ROAD_RECORD, ";" + record(0x2300, C)[1:]],
                                        (ValueError, "HEX line 2: the record does not begin with ':'")),
    "record-missing-only-its-checksum": ([ROAD_RECORD[:-2]],
                                         (ValueError, "HEX line 1: the record ends before its checksum")),
    "segment-record-running-on-past-its-checksum": ([ROAD_RECORD, SEGMENT + "00"],
                                                    (ValueError, "HEX line 2: the record runs on past its checksum")),
    "wrong-end-of-file-checksum-after-row-1ff": (AsWritten([SEGMENT, record(0xFF00, C), ":00000001FE"]),
                                                 (ValueError, "HEX line 3: the record checksum is 0xFE, "
                                                              "its bytes need 0xFF")),
    "no-end-of-file-record": (AsWritten([ROAD_RECORD, record(0x2300, C)]),
                              (ValueError, "the HEX file ends after line 2 without an end-of-file record")),
}


def laid_out(rows):
    lines = []
    for number, pieces in rows:
        data = bytearray(256)
        for offset, chunk in pieces.items():
            data[offset:offset + len(chunk)] = chunk
        lines.append((number, bytes(data)))
    return row_file(lines)


@pytest.mark.parametrize("lines, expected", list(PLACED_OR_REFUSED.values()), ids=list(PLACED_OR_REFUSED))
@pytest.mark.parametrize("converter", ["native", "rendering"])
def test_records_in_flash_are_placed_at_their_address_or_refused(hex_file, output, lines, expected, converter):
    hex_file.write_bytes(hex_file_bytes(lines))
    run = rowmint.main if converter == "native" else lambda: convert_mended(str(hex_file), str(output))
    if isinstance(expected, list):
        run()
        assert output.read_text().splitlines() == laid_out(expected)
        return
    with pytest.raises(Exception) as caught:
        run()
    assert (type(caught.value), str(caught.value)) == expected
    assert not output.exists()
