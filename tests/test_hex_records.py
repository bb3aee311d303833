"""How lines of the HEX file become records, seen through whole conversions."""
import binascii
import codecs
import locale
import sys

import pytest

import rowmint
from support import (
    EOF_RECORD,
    HEADER_LINE,
    ROAD_DATA,
    ROAD_RECORD,
    Conversion,
    Recorder,
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
    conv.write_hex(data=encoded("".join(line + end for line in lines)))
    assert rowmint.main() is None
    return conv.output_lines()


def fails(conv, lines, end="\n"):
    conv.write_hex(data=encoded("".join(line + end for line in lines)))
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
    assert type(error) is binascii.Error
    assert str(error) == "Non-hexadecimal digit found"


# ---------------------------------------------------------------- letter case, checksums, threshold

def test_lower_case_data_is_copied_in_lower_case(conv):
    lines = convert(conv, [ROAD_RECORD.lower(), EOF_RECORD.lower()])
    assert lines[1].startswith(":0000220100" + ROAD_DATA.lower())


def test_lower_case_header_digits(conv):
    lines = convert(conv, [":022a0000abcd00", ":02ff1000a0b0c0", EOF_RECORD])
    assert lines[1].startswith(":00002A0100abcd")
    assert lines[2].startswith(":0000FF0100" + "00" * 16 + "a0b0")
    assert len(lines) == 3


def test_record_checksum_is_not_verified(conv):
    lines = convert(conv, [ROAD_RECORD[:-2] + "00", ":02230000ABCD", EOF_RECORD])
    assert lines[1].startswith(":0000220100" + ROAD_DATA)
    assert lines[2].startswith(":0000230100ABCD")


def test_rows_below_0x22_are_skipped(conv):
    lines = convert(conv, [":10210000" + "11" * 16 + "00", ROAD_RECORD, EOF_RECORD])
    assert len(lines) == 2
    assert lines[1].startswith(":0000220100" + ROAD_DATA)
    assert "11" * 16 not in lines[1]


# ---------------------------------------------------------------- header errors

def codec_error(record):
    """What the hex codec raises for characters 1 to 8 of the stripped record."""
    try:
        codecs.getdecoder("hex")(record.strip()[1:9])
    except ValueError as exc:
        return type(exc), str(exc)
    raise AssertionError("the header of %r decodes" % record)


HEADER_ERRORS = [
    (":1022000", binascii.Error, "Odd-length string"),
    (":1", binascii.Error, "Odd-length string"),
    (":102", binascii.Error, "Odd-length string"),
    (":10220", binascii.Error, "Odd-length string"),
    (":10G2000", binascii.Error, "Odd-length string"),
    (":10G20000" + ROAD_DATA + "56", binascii.Error, "Non-hexadecimal digit found"),
    (":1022000Z" + ROAD_DATA + "56", binascii.Error, "Non-hexadecimal digit found"),
    (":10 20000" + ROAD_DATA + "56", binascii.Error, "Non-hexadecimal digit found"),
    (":-1220000" + ROAD_DATA + "56", binascii.Error, "Non-hexadecimal digit found"),
    ("::10220000", binascii.Error, "Non-hexadecimal digit found"),
    (":1\u00e9220000" + ROAD_DATA, ValueError, None),
    (":1\u00e9", ValueError, None),
    (":10220\u30000" + ROAD_DATA, ValueError, None),
    (":\uff11\uff10220000" + ROAD_DATA, ValueError, None),
]


@pytest.mark.parametrize("record, kind, message", HEADER_ERRORS, ids=[r[0][:12] for r in HEADER_ERRORS])
@pytest.mark.parametrize("place", ["first", "after-data"])
def test_header_errors(conv, record, kind, message, place):
    lines = [record, EOF_RECORD] if place == "first" else [ROAD_RECORD, record, EOF_RECORD]
    error = fails(conv, lines)
    assert (type(error), str(error)) == codec_error(record)
    assert type(error) is kind
    if message is not None:
        assert str(error) == message


@pytest.mark.parametrize(
    "lines",
    [
        ["", ROAD_RECORD, EOF_RECORD],
        [ROAD_RECORD, "", EOF_RECORD],
        [ROAD_RECORD, EOF_RECORD, ""],
        [ROAD_RECORD, "   \t", EOF_RECORD],
        [ROAD_RECORD, "\u3000", EOF_RECORD],
        [ROAD_RECORD, ":", EOF_RECORD],
        [ROAD_RECORD, ":10", EOF_RECORD],
        [ROAD_RECORD, ":1022", EOF_RECORD],
        # four header bytes are needed before the segment is left (M3)
        [ROAD_RECORD, ":102200", EOF_RECORD],
        [ROAD_RECORD, SEGMENT, "", SECOND_RECORD, EOF_RECORD],
        [ROAD_RECORD, SEGMENT, ":1000", SECOND_RECORD, EOF_RECORD],
    ],
    ids=["blank-first", "blank-between", "blank-last", "spaces-only", "ideographic-space-only",
         "colon-only", "one-byte", "two-bytes", "three-bytes", "blank-in-second-segment",
         "two-bytes-in-second-segment"],
)
def test_short_header_raises_index_error(conv, lines):
    error = fails(conv, lines)
    assert type(error) is IndexError


# ---------------------------------------------------------------- the segment record (M3)

SEGMENT_RECORDS = [
    ":020000021000EC",
    ":020000021000ec",
    ":02FFFF021000xx",
    ":02abcd021000",
    ":020000021000",
    ":020000040001F9",
    ":020000040001f9",
    ":02ABCD040001",
    ":020000021000EC0000",
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


MALFORMED = [
    ":0400000210000000EA",
    ":0400000400010000E7",
    ":02000002GG00FC",
    ":0200000210G0FC",
    ":020000040x01F9",
    ":0200000210",
    ":02000002",
    ":020000041 01F9",
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
