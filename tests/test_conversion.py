"""Whole conversions of hand-made HEX files: the worked examples of the row
file format, and how the conversion treats record types, revisited rows,
records that cross row ends, short records and the limits of flash."""

import sys
import types

import pytest

import rowmint
from rowfile_model import END_OF_FILE, SEGMENT_RECORD, data_records, image_rows, record, row_file
from support import hex_codec_error

COUNTING = bytes(range(16))  # the data bytes 00..0F of the worked examples


def test_single_record_gives_header_and_one_row(convert):
    lines = convert(":10220000000102030405060708090A0B0C0D0E0F56", END_OF_FILE)
    assert lines == row_file([(0x22, COUNTING + bytes(240))])
    row = lines[1]
    assert row[:11] == ":0000220100"
    assert row[11:43] == "000102030405060708090A0B0C0D0E0F"
    # All but the last 64 data bytes count: 0+1+...+15 = 120, 256 - 120 = 0x88.
    assert row[395:419] == "88" + "112200002100000000" + "0000"
    assert len(row) == 525


FIRST_EXAMPLE = [
    ":10100000000102030405060708090A0B0C0D0E0F68",
    ":10220000000102030405060708090A0B0C0D0E0F56",
    ":1022F800000102030405060708090A0B0C0D0E0F5E",
    ":10230800000102030405060708090A0B0C0D0E0F4D",
    ":10250000000102030405060708090A0B0C0D0E0F53",
    SEGMENT_RECORD,
    ":10050000000102030405060708090A0B0C0D0E0F73",
    ":040000030000224196",
    END_OF_FILE,
]


def test_worked_example_start_address_record_opens_no_row(convert):
    # The start address record in the second segment is not data: it opens no
    # line for row 0x100 and writes nothing into flash.
    lines = convert(*FIRST_EXAMPLE)
    assert [line[:11] for line in lines[1:]] == [":0000220100", ":0000230100", ":0000250100", ":0001050100"]
    assert lines == row_file(image_rows({
        0x022: {0: COUNTING, 248: COUNTING[:8]},
        0x023: {0: COUNTING[8:], 8: COUNTING},
        0x025: {0: COUNTING},
        0x105: {0: COUNTING},
    }))


def test_worked_example_split_record_lands_in_both_rows(convert):
    lines = convert(*FIRST_EXAMPLE[1:4])
    row22, row23 = lines[1], lines[2]
    assert row22[507:523] == "0001020304050607"
    assert row23[11:27] == "08090A0B0C0D0E0F"


def test_second_example_record_running_past_the_row_it_opens(convert):
    # The 32-byte record at 0x10FF0 opens row 0x10F and runs on into row
    # 0x110, which now gets its own line and the record's last 16 bytes.
    lines = convert(
        ":10FF0000000102030405060708090A0B0C0D0E0F79",
        ":10FFF800000102030405060708090A0B0C0D0E0F81",
        SEGMENT_RECORD,
        ":10000800000102030405060708090A0B0C0D0E0F70",
        ":200FF000000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1FF1",
    )
    assert [line[:11] for line in lines[1:]] == [":0000FF0100", ":0001000100", ":00010F0100", ":0001100100"]
    assert lines == row_file([
        (0x0FF, COUNTING + bytes(232) + COUNTING[:8]),
        (0x100, COUNTING[8:] + COUNTING + bytes(232)),
        (0x10F, bytes(240) + COUNTING),
        (0x110, bytes(range(16, 32)) + bytes(240)),
    ])
    assert lines[4][415:419] == "0300"  # last row index 3


@pytest.mark.parametrize("target", [0x00, 0x0B, 0xAB, 0xE3])
def test_row_checksum_is_two_upper_case_digits(convert, target):
    # Row 0x022's prefix bytes sum to 0x23; one data byte sets the total.
    first = (-(0x23 + target)) & 0xFF
    lines = convert(record(0x2200, bytes([first])), record(0x2300, b"\x01"))
    assert lines[1][-2:] == "%02X" % target


@pytest.mark.parametrize("data_sum, app_checksum", [(0, "00"), (256, "00"), (250, "06"), (1000 & 255, "18")])
def test_application_checksum(convert, data_sum, app_checksum):
    data = bytes([255] * (data_sum // 255) + [data_sum % 255])
    lines = convert(*data_records(0x2200, data), record(0x2300, b"\x00"))
    assert lines[2][395:397] == app_checksum


def test_metadata_area_is_left_out_of_the_application_checksum(convert):
    plain = convert(record(0x2200, b"\x05"))
    with_tail = convert(record(0x2200, b"\x05"), record(0x22F0, b"\x77" * 16))
    assert plain[1][395:397] == with_tail[1][395:397] == "FB"
    assert plain[1][-2:] != with_tail[1][-2:]
    assert with_tail[1][419:523].endswith("77" * 16)


def rows_lines(count):
    """Records opening `count` rows from 0x022 on, in both segments."""
    lines = []
    for row in range(0x22, 0x22 + count):
        if row == 0x100:
            lines.append(SEGMENT_RECORD)
        lines.append(record((row & 0xFF) << 8, b"\x01"))
    return lines


@pytest.mark.parametrize("last_index, digits", [
    (0, "0000"), (15, "0F00"), (16, "1000"), (255, "FF00"), (256, "0001"), (271, "0F01"), (272, "1001"), (477, "DD01"),
])
def test_last_row_index_is_little_endian(convert, last_index, digits):
    lines = convert(*rows_lines(last_index + 1))
    assert len(lines) == last_index + 2
    assert lines[-1][415:419] == digits
    assert lines[-1][:11] == ":00%04X0100" % (0x22 + last_index)


def test_full_flash_image(convert):
    data = bytes((i * 7 + 3) & 0xFF for i in range(0x20000 - 0x2200))
    lines = data_records(0x2200, data[:0x10000 - 0x2200]) + [SEGMENT_RECORD]
    lines += data_records(0x0000, data[0x10000 - 0x2200:]) + [END_OF_FILE]
    out = convert(*lines)
    rows = [(row, data[(row - 0x22) * 256:(row - 0x21) * 256]) for row in range(0x22, 0x200)]
    assert out == row_file(rows)


class TestRecordTypes:
    def test_start_address_records_in_second_segment_have_no_effect(self, convert):
        lines = convert(
            SEGMENT_RECORD, record(0x0500, COUNTING), ":0400000500002241" + "94", ":040000030000224196", END_OF_FILE,
        )
        assert lines == row_file([(0x105, COUNTING + bytes(240))])

    @pytest.mark.parametrize("segment", [
        ":020000021000EC", ":020000021000ec", ":02FFFF021000AA", ":020000040001F9", ":020000040001f9",
    ])
    def test_both_forms_of_the_segment_record(self, convert, segment):
        lines = convert(segment, record(0x1200, COUNTING))
        assert lines == row_file([(0x112, COUNTING + bytes(240))])

    def test_sections_at_one_megabyte_and_up_are_left_out(self, convert):
        lines = convert(
            record(0x2200, COUNTING),
            ":020000020000FC", ":020000040010EA", record(0x2200, b"\xEE" * 16), record(0x2300, b"\xEE"),
            ":020000042000DA", record(0x0000, b"\xEE" * 16),
            END_OF_FILE,
        )
        assert lines == row_file([(0x22, COUNTING + bytes(240))])

    def test_extended_address_zero_brings_the_image_back(self, convert):
        lines = convert(
            ":020000040010EA", record(0x2400, b"\xEE"),
            ":020000040000FA", record(0x2300, COUNTING),
        )
        assert lines == row_file([(0x23, COUNTING + bytes(240))])

    def test_other_segment_values_leave_the_image(self, convert):
        lines = convert(record(0x2200, COUNTING), ":020000022000DC", record(0x2300, b"\xEE"))
        assert lines == row_file([(0x22, COUNTING + bytes(240))])

    @pytest.mark.parametrize("bad", [
        ":0400000210000000EA",   # four data bytes
        ":01000004001A",         # one data byte
    ])
    def test_malformed_extended_address_record(self, convert, bad):
        with pytest.raises(ValueError) as caught:
            convert(record(0x2200, COUNTING), bad, END_OF_FILE)
        assert str(caught.value) == "HEX line 2: malformed extended address record"

    @pytest.mark.parametrize("line, size", [("", 0), (":10", 1), (":102200", 3)])
    def test_short_header_in_the_image(self, convert, line, size):
        with pytest.raises(IndexError) as caught:
            convert(record(0x2200, COUNTING), line)
        assert str(caught.value) == "HEX line 2: the record header holds %d of its 4 bytes" % size


class TestRowLines:
    def test_a_revisited_row_keeps_its_one_line(self, convert):
        lines = convert(record(0x2200, b"\x01"), record(0x3000, b"\x02"), record(0x2210, b"\x03"))
        assert lines == row_file([
            (0x22, b"\x01" + bytes(15) + b"\x03" + bytes(239)),
            (0x30, b"\x02" + bytes(255)),
        ])

    def test_rows_keep_the_order_records_first_reach_them(self, convert):
        lines = convert(record(0x3000, b"\x02"), record(0x2200, b"\x01"))
        assert [line[:11] for line in lines[1:]] == [":0000300100", ":0000220100"]

    def test_record_opening_its_row_and_running_past_it(self, convert):
        lines = convert(record(0x22F8, COUNTING), END_OF_FILE)
        assert lines == row_file([(0x22, bytes(248) + COUNTING[:8]), (0x23, COUNTING[8:] + bytes(248))])

    def test_rest_goes_to_the_following_row_wherever_its_line_stands(self, convert):
        lines = convert(record(0x2300, b"\x05"), record(0x3000, b"\x06"), record(0x22F8, COUNTING))
        assert lines == row_file([
            (0x23, COUNTING[8:] + bytes(248)), (0x30, b"\x06" + bytes(255)), (0x22, bytes(248) + COUNTING[:8]),
        ])
        assert lines[1][11:13] == "08"  # the rest overwrote the earlier record's byte

    def test_record_ending_on_the_last_byte_of_its_row_is_not_split(self, convert):
        lines = convert(record(0x22E0, bytes(range(1, 33))))
        assert lines == row_file([(0x22, bytes(224) + bytes(range(1, 33)))])

    def test_row_0ff_runs_on_into_the_second_segment(self, convert):
        lines = convert(record(0xFFF8, COUNTING), SEGMENT_RECORD, record(0x0010, b"\x09"))
        assert lines == row_file([
            (0x0FF, bytes(248) + COUNTING[:8]), (0x100, COUNTING[8:] + bytes(8) + b"\x09" + bytes(239)),
        ])

    def test_later_record_wins_where_two_overlap(self, convert):
        lines = convert(record(0x2200, COUNTING), record(0x2204, b"\xAA\xBB"))
        assert lines[1][11:43] == "00010203AABB060708090A0B0C0D0E0F"

    def test_return_to_the_second_segment_after_the_last_row(self, convert):
        lines = convert(
            SEGMENT_RECORD, record(0xFF00, b"\x01"), SEGMENT_RECORD, record(0x0500, b"\x02"), END_OF_FILE,
        )
        assert lines == row_file([(0x1FF, b"\x01" + bytes(255)), (0x105, b"\x02" + bytes(255))])

    def test_records_of_the_last_row_after_its_first(self, convert):
        lines = convert(SEGMENT_RECORD, record(0xFF00, b"\x01"), record(0xFF10, b"\x02"))
        assert lines == row_file([(0x1FF, b"\x01" + bytes(15) + b"\x02" + bytes(239))])


class TestRefusedInput:
    def test_record_shorter_than_its_byte_count(self, convert, output):
        short = ":10230000000102030405060708090A0B0C0D0E"
        with pytest.raises(ValueError) as caught:
            convert(record(0x2200, COUNTING), short)
        assert str(caught.value) == "HEX line 2: the record holds 30 data digits, its byte count needs 32"
        assert not output.exists()

    @pytest.mark.parametrize("lines", [
        [],
        [END_OF_FILE],
        [record(0x2100, COUNTING), record(0x0000, COUNTING)],
    ])
    def test_no_image_data(self, convert, output, lines):
        with pytest.raises(ValueError, match="no image data at or above address 0x2200"):
            convert(*lines)
        assert not output.exists()

    @pytest.mark.parametrize("lines, line_number", [
        ([SEGMENT_RECORD, record(0xFFF8, COUNTING)], 2),
        ([SEGMENT_RECORD, record(0xFF00, COUNTING), record(0xFFF8, COUNTING)], 3),
    ])
    def test_image_running_past_the_end_of_flash(self, convert, output, lines, line_number):
        output.write_text("old\n")
        with pytest.raises(ValueError) as caught:
            convert(*lines)
        assert str(caught.value) == "HEX line %d: the image runs past the end of flash, row 0x1FF" % line_number
        assert output.read_text() == "old\n"


def test_repeated_conversions_share_nothing(convert):
    first = convert(record(0x2200, COUNTING))
    convert(record(0x3000, b"\x01"), record(0x3100, b"\x02"))
    assert convert(record(0x2200, COUNTING)) == first


def test_main_returns_none(convert, hex_file, monkeypatch, output):
    hex_file.write_text(record(0x2200, COUNTING) + "\n" + END_OF_FILE + "\n")
    assert rowmint.main() is None
    assert sys.argv[4] == str(output)


class TestLongFiles:
    """Files longer than one read of the HEX file: lines that straddle reads,
    and text that turns non-ASCII part way through."""

    @staticmethod
    def long_image(rows=0xDE):
        data = bytes((i * 13 + 5) & 0xFF for i in range(rows * 256))
        return data, data_records(0x2200, data) + [END_OF_FILE]

    @pytest.mark.parametrize("line_end", ["\n", "\r\n", "\r"])
    def test_every_line_end_over_many_reads(self, hex_file, output, line_end):
        data, lines = self.long_image()
        hex_file.write_bytes(line_end.join(lines).encode() + line_end.encode())
        rowmint.main()
        expected = row_file([(0x22 + i, data[i * 256:(i + 1) * 256]) for i in range(0xDE)])
        assert output.read_text().splitlines() == expected

    @pytest.mark.parametrize("where", [1, 1456, 3500])
    def test_unicode_whitespace_late_in_the_file(self, hex_file, output, where):
        data, lines = self.long_image()
        lines[where] = "\u3000" + lines[where] + "\u2028"
        hex_file.write_text("\n".join(lines) + "\n", encoding="utf-8")
        rowmint.main()
        assert output.read_text().splitlines() == row_file(
            [(0x22 + i, data[i * 256:(i + 1) * 256]) for i in range(0xDE)])

    def test_line_numbers_after_non_ascii_text(self, hex_file):
        _, lines = self.long_image()
        lines[10] = "\u00a0" + lines[10]
        lines[3000] = ":0400000210000000EA"
        hex_file.write_text("\n".join(lines) + "\n", encoding="utf-8")
        with pytest.raises(ValueError, match="^HEX line 3001: malformed extended address record$"):
            rowmint.main()

    def test_non_ascii_data_digits_are_refused(self, hex_file, output):
        hex_file.write_text(":02220000\u0660\u0661\u0662\u066344\n", encoding="utf-8")
        with pytest.raises(ValueError, match="only ASCII") as caught:
            rowmint.main()
        assert caught.value.__notes__ == ["HEX line 1"]
        assert not output.exists()


@pytest.mark.parametrize("bad_line, error, note", [
    (":1G220000", hex_codec_error("1G220000")[1], ["HEX line 2"]),
    (":1022000", hex_codec_error("1022000")[1], ["HEX line 2"]),
    (record(0x2300, b"\xAB")[:10] + "G" + record(0x2300, b"\xAB")[11:],
     hex_codec_error(record(0x2300, b"\xAB")[1:10] + "G")[1], ["HEX line 2"]),
    ("", "HEX line 2: the record header holds 0 of its 4 bytes", None),
])
def test_errors_on_a_line_say_which(convert, bad_line, error, note):
    with pytest.raises((ValueError, IndexError)) as caught:
        convert(record(0x2200, COUNTING), bad_line)
    assert str(caught.value) == error
    assert getattr(caught.value, "__notes__", None) == note


def test_an_error_whose_text_fails_still_gets_its_note(convert, monkeypatch):
    class Unprintable(ValueError):
        def __str__(self):
            raise RuntimeError("no text")

    def decoder(text):
        raise Unprintable()

    monkeypatch.setattr(rowmint, "codecs", types.SimpleNamespace(getdecoder=lambda name: decoder))
    with pytest.raises(Unprintable) as caught:
        convert(record(0x2200, COUNTING))
    assert caught.value.__notes__ == ["HEX line 1"]


def test_failed_conversion_closes_the_hex_file(convert, recwarn):
    with pytest.raises(ValueError):
        convert(record(0x2200, COUNTING), ":0400000210000000EA")
    __import__("gc").collect()
    assert [w for w in recwarn if issubclass(w.category, ResourceWarning)] == []


@pytest.mark.parametrize("data, error", [
    # An unfinished character at the very end: line 1 is refused first.
    (b":\n\xe5", IndexError),
    # Bytes that are not UTF-8 well past the first read of the file.
    (b":\n" + b":00000001FF\n" * 700 + b"\xff\n", IndexError),
    (b":040000030000224196\n" * 700 + b"\xff\n:\n", UnicodeDecodeError),
])
def test_a_bad_line_is_met_before_undecodable_text_after_it(hex_file, data, error):
    hex_file.write_bytes(data)
    with pytest.raises(error):
        rowmint.main()
