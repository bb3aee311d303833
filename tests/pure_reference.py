"""Pure-Python renderings of the ELF-to-row-file conversion, minus the tool run.

Both functions take the path of an Intel HEX file (what the object-copy tool
would have left) and the path of the row file to write, and do what
``rowmint.main()`` does after the tool has run.  They serve as the oracle of
the differential tests and as the baseline of the benchmark.

``convert_literal`` is the original procedure, step for step: the first pass
compares each record only with the row line appended last, ``getrow`` scans
the row lines and decodes their row numbers on every call, the rest of a
split record goes into whatever list element follows, only the exact text
":020000021000EC" switches to the second 64 KB segment, and the row file is
removed and then appended to line by line.

``convert_mended`` is the same conversion with the decided corrections:
record types are honoured, every data record in the flash window (0x2200 to
0x1FFFF) is placed at its own address or refused with ValueError naming its
line, one row line per row, a record running past its row always reaches the
following row, every record must be whole and intact (':' first, its length
by its byte count, hex digits, its checksum), the end-of-file record ends the
file and a file without one is refused, and the row file is replaced
atomically.  Both passes read the file through one RecordReader (the states
`flash` 0, 1, 2 and the extended address `base`), so they agree on every row,
and every refusal is met in the first pass.

Readings chosen where the corrections leave a detail open (convert_mended):
- Every line's header (characters 1 to 8) is decoded first, in every state,
  so a non-hex header raises the codec's error even after the records of the
  last row have begun, and even after a base at 0x20000 or up.
- A type-02/04 record (intact, as every record must be) is well formed when
  its byte count is 2; its address field is ignored.  The segment record is
  a well-formed one giving base 0x10000 (type 02 value 1000, type 04 value
  0001).
- The end-of-file record is any intact record of type 01, whatever its byte
  count, address field or base.
- A line's checks, in order: its header decoded, a short header (refused
  before the records of the last row, passed over after), then whether the
  record is whole and intact, then the rules of its type.
- Limit messages: "the HEX file holds no image data at or above address
  0x2200" and "HEX line N: the image runs past the end of flash, row 0x1FF"
  (the wording the module chose; the corrections leave it open).
- The temporary file lives in the output's folder; its permissions are not
  adjusted (the tests only compare contents).

convert_literal, for the two cases the original procedure leaves open: a
conversion with no row line, more than 512 row lines, or a second-segment
record of row 0x1FF that runs past its row while row 0x1FF is the last row
line, raises the same ValueError as the mended rendering.
"""

import codecs
import os
import tempfile

HEADER_LINE = "256A11B50000"
SEGMENT_RECORD = ":020000021000EC"
STARTLINE = 34
ZERO512 = "0" * 512
METADATA_FIXED = "112200002100000000"
HEX_DIGITS = set("0123456789abcdefABCDEF")

NO_IMAGE = "the HEX file holds no image data at or above address 0x2200"
PAST_FLASH = "HEX line %d: the image runs past the end of flash, row 0x1FF"
TOO_MANY_ROWS = "more than 512 flash rows"


def replace(start, lenth, str, repstr):
    """Splice ``repstr`` into a row line at data digit ``start``."""
    start = start + 11
    return str[0:start] + repstr + str[start + lenth:]


def hex_text(n):
    return hex(n)[2:].upper()


def two_digits(n):
    if n < 16:
        return "0" + hex_text(n)
    return hex_text(n)


def row_prefix(segment, low):
    return ":000" + str(segment) + two_digits(low) + "0100"


# ---------------------------------------------------------------------------
# Checksums, metadata and the row file, shared by both renderings.


def add_checksums_and_metadata(list_cyacd, max_row, hex_decoder):
    appsum = 0
    for i in range(1, max_row + 1):
        data = hex_decoder(list_cyacd[i][11:])[0]
        if i != max_row:
            appsum = appsum + sum(data)
        else:
            appsum = appsum + sum(data[:-64])
    app_checksum = 256 - (appsum & 255)
    if app_checksum == 256:
        app_checksum = 0

    n = max_row - 1
    metadata = two_digits(app_checksum) + METADATA_FIXED
    if n > 255:
        metadata += two_digits(n - 256) + "01"
    else:
        metadata += two_digits(n) + "00"
    list_cyacd[max_row] = replace(384, 24, list_cyacd[max_row], metadata)

    for i in range(1, max_row + 1):
        data = hex_decoder(list_cyacd[i][1:])[0]
        data_checksum = 256 - (sum(data) & 255)
        if data_checksum == 256:
            data_checksum = 0
        list_cyacd[i] = list_cyacd[i] + two_digits(data_checksum)


def check_row_count(max_row):
    if max_row == 0:
        raise ValueError(NO_IMAGE)
    if max_row > 512:
        raise ValueError(TOO_MANY_ROWS)


# ---------------------------------------------------------------------------
# The original procedure.


def convert_literal(hex_path, cyacd_path):
    hex_decoder = codecs.getdecoder("hex")
    f = open(hex_path)
    list_cyacd = [HEADER_LINE]

    # First pass: one row line whenever a record reaches a row that is not
    # the row of the line appended last.
    row_cyacd = 0
    flash = 0
    number = 0
    for line in f:
        number += 1
        data_hex = line.strip()
        index_hex = hex_decoder(data_hex[1:9])[0]
        index_cyacd = hex_decoder(list_cyacd[row_cyacd][3:9])[0]
        if data_hex == SEGMENT_RECORD:
            flash = 1
        elif flash == 0 and index_hex[1] >= STARTLINE:
            h = index_hex[1]
            if index_cyacd[1] != h:
                list_cyacd.append(":0000" + hex_text(h) + "0100" + ZERO512)
                row_cyacd += 1
            elif index_hex[2] + index_hex[0] > 256:
                if h != 255:
                    list_cyacd.append(":0000" + hex_text(h + 1) + "0100" + ZERO512)
                else:
                    flash = 1
                    list_cyacd.append(":0001000100" + ZERO512)
                row_cyacd += 1
        elif flash == 1:
            h = index_hex[1]
            if index_cyacd[1] != h or index_cyacd[0] == 0:
                list_cyacd.append(":0001" + two_digits(h) + "0100" + ZERO512)
                row_cyacd += 1
            elif index_hex[2] + index_hex[0] > 256:
                if h == 255:
                    raise ValueError(PAST_FLASH % number)
                list_cyacd.append(":0001" + two_digits(h + 1) + "0100" + ZERO512)
                row_cyacd += 1
            if h == 255:
                flash = 2
    f.close()

    # Second pass: copy every record's digits into its row line.
    check_row_count(row_cyacd)
    f = open(hex_path)
    flash = 0
    max_row = row_cyacd
    row_cyacd = 0
    last_index = 0

    def getrow(index):
        for i in range(1, max_row + 1):
            index_cyacd = hex_decoder(list_cyacd[i][3:7])[0]
            if index == index_cyacd[0] * 256 + index_cyacd[1]:
                return i
        return None

    def place(data_hex, index_hex, flash):
        index = index_hex[1] + flash * 256
        row_cyacd = getrow(index)
        start = index_hex[2] * 2
        len_ = index_hex[0] * 2
        if start + len_ <= 512:
            list_cyacd[row_cyacd] = replace(
                start, len_, list_cyacd[row_cyacd], data_hex[9:9 + len_])
        else:
            len1 = 512 - start
            list_cyacd[row_cyacd] = replace(
                start, len1, list_cyacd[row_cyacd], data_hex[9:9 + len1])
            row_cyacd = row_cyacd + 1
            start = 0
            list_cyacd[row_cyacd] = replace(
                start, len_ - len1, list_cyacd[row_cyacd], data_hex[9 + len1:9 + len_])

    for line in f:
        data_hex = line.strip()
        index_hex = hex_decoder(data_hex[1:9])[0]
        if data_hex == SEGMENT_RECORD:
            flash = 1
        elif flash == 0 and index_hex[1] >= STARTLINE:
            place(data_hex, index_hex, flash)
        elif flash == 1:
            if last_index == 255 and index_hex[1] != 255:
                flash = 2
            else:
                place(data_hex, index_hex, flash)
            last_index = index_hex[1]
    f.close()

    add_checksums_and_metadata(list_cyacd, max_row, hex_decoder)

    if os.path.exists(cyacd_path):
        os.remove(cyacd_path)
    f = open(cyacd_path, "a")
    for line in list_cyacd:
        f.write(line)
        f.write("\n")
    f.close()


# ---------------------------------------------------------------------------
# The corrected procedure.

# The reader's `flash`: which part of flash the records have reached.
FIRST_SEGMENT, SECOND_SEGMENT, LAST_ROW = 0, 1, 2
SEGMENT_BASE = 0x10000
FLASH_END = 0x20000
BOOTLOADER_ROWS = 0x22  # rows below 0x022 (addresses below 0x2200) are the bootloader's

BELOW_SECOND_SEGMENT = ("HEX line %d: the record lies below address 0x10000, "
                        "after the image reached its second segment")
ODD_BASE = "HEX line %d: extended address base 0x%05X is neither 0x00000 nor 0x10000"
AFTER_LAST_ROW = "HEX line %d: a record of row 0x%03X follows the records of the last flash row, 0x1FF"
CUT_SHORT = "the HEX file ends after line %d without an end-of-file record"


def malformed(number):
    return ValueError("HEX line %d: malformed extended address record" % number)


def require_intact(number, data_hex, header, hex_decoder):
    """Refuses a record that is not whole and intact."""
    if data_hex[0] != ":":
        raise ValueError("HEX line %d: the record does not begin with ':'" % number)
    digits = 2 * header[0]
    whole = 9 + digits + 2
    if len(data_hex) > whole:
        raise ValueError("HEX line %d: the record runs on past its checksum" % number)
    if len(data_hex) < whole:
        present = len(data_hex[9:9 + digits])
        if present < digits:
            raise ValueError("HEX line %d: the record holds %d data digits, its byte count needs %d"
                             % (number, present, digits))
        raise ValueError("HEX line %d: the record ends before its checksum" % number)
    data = hex_decoder(data_hex[1:])[0]  # the codec's error for a character that is not a digit
    if sum(data) & 255:
        raise ValueError("HEX line %d: the record checksum is 0x%02X, its bytes need 0x%02X"
                         % (number, data[-1], -sum(data[:-1]) & 255))


def extended_value(data_hex, header):
    """The value of a type-02/04 record, or None when it is malformed."""
    digits = data_hex[9:13]
    if header[0] != 2 or len(digits) != 4 or not set(digits) <= HEX_DIGITS:
        return None
    return int(digits, 16)


class RecordReader:
    """One pass over the HEX file, read alike by both passes.

    Iterating yields (line number, record text, byte count, flash address) for
    every data record that reaches the flash window; the address (0x00000 to
    0x1FFFF) may lie below 0x2200 when the record runs on past it.  The reader
    keeps `flash` and `base`, refuses what it cannot place at its own address,
    and ends at the end-of-file record; the passes differ only in what they do
    with the records it yields.
    """

    def __init__(self, hex_path, hex_decoder):
        self.hex_path = hex_path
        self.hex_decoder = hex_decoder
        self.flash = FIRST_SEGMENT
        self.base = 0

    def __iter__(self):
        number = 0
        with open(self.hex_path) as f:
            for number, line in enumerate(f, 1):
                data_hex = line.strip()
                header = self.hex_decoder(data_hex[1:9])[0]
                if len(header) < 4:
                    if self.flash != LAST_ROW:
                        raise IndexError("HEX line %d: the record header holds %d of its 4 bytes"
                                         % (number, len(header)))
                    continue
                require_intact(number, data_hex, header, self.hex_decoder)
                kind = header[3]
                if kind == 1:
                    break  # nothing after the end-of-file record is read
                if kind in (2, 4):
                    self.follow_extended(number, data_hex, header)
                elif kind == 0:
                    address = self.data_address(number, header)
                    if address is not None:
                        yield number, data_hex, header[0], address
            else:
                raise ValueError(CUT_SHORT % number)

    def follow_extended(self, number, data_hex, header):
        value = extended_value(data_hex, header)
        if value is None:
            if self.flash != LAST_ROW:
                raise malformed(number)
            return
        self.base = value << (4 if header[3] == 2 else 16)
        if self.base == SEGMENT_BASE:
            self.flash = SECOND_SEGMENT

    def data_address(self, number, header):
        """Where a data record's bytes begin in flash, or None when it is passed over."""
        n, h, l = header[0], header[1], header[2]
        if self.base >= FLASH_END:
            return None
        if self.base == 0 and self.flash != FIRST_SEGMENT:
            raise ValueError(BELOW_SECOND_SEGMENT % number)
        if self.base not in (0, SEGMENT_BASE):
            raise ValueError(ODD_BASE % (number, self.base))
        runs_on = l + n > 256
        if self.flash == FIRST_SEGMENT:
            if h < BOOTLOADER_ROWS - 1 or (h == BOOTLOADER_ROWS - 1 and not runs_on):
                return None
            if h == 0xFF and runs_on:
                self.flash = SECOND_SEGMENT  # the rest lands in row 0x100; base stays 0
            return (h << 8) | l
        if h != 0xFF:
            if self.flash == LAST_ROW:
                raise ValueError(AFTER_LAST_ROW % (number, 0x100 + h))
        elif runs_on:
            raise ValueError(PAST_FLASH % number)
        else:
            self.flash = LAST_ROW
        return SEGMENT_BASE | (h << 8) | l


def pieces(address, count):
    """(row, first byte, byte count, offset in the record) of the rows a data
    record's bytes reach, from 0x2200 on: its own row, then the following one
    when it runs past its end."""
    row, offset = address >> 8, address & 0xFF
    first = min(count, 256 - offset)
    parts = [(row, offset, first, 0)]
    if first < count:
        parts.append((row + 1, 0, count - first, first))
    return [part for part in parts if part[0] >= BOOTLOADER_ROWS]


def convert_mended(hex_path, cyacd_path):
    hex_decoder = codecs.getdecoder("hex")
    list_cyacd = [HEADER_LINE]
    positions = {}  # row number -> list position of its one row line

    # First pass: the row table.
    for _, _, count, address in RecordReader(hex_path, hex_decoder):
        for row, _, _, _ in pieces(address, count):
            if row not in positions:
                list_cyacd.append(row_prefix(row >> 8, row & 0xFF) + ZERO512)
                positions[row] = len(list_cyacd) - 1

    max_row = len(list_cyacd) - 1
    check_row_count(max_row)

    # Second pass: data placement.
    for number, data_hex, count, address in RecordReader(hex_path, hex_decoder):
        digits = data_hex[9:9 + 2 * count]
        for row, offset, size, skip in pieces(address, count):
            line = positions.get(row)
            list_cyacd[line] = replace(2 * offset, 2 * size, list_cyacd[line],
                                       digits[2 * skip:2 * (skip + size)])

    add_checksums_and_metadata(list_cyacd, max_row, hex_decoder)

    folder = os.path.dirname(os.path.abspath(cyacd_path))
    fd, temp_path = tempfile.mkstemp(dir=folder, prefix=".rowfile-", suffix=".tmp")
    try:
        with os.fdopen(fd, "w") as out:
            for line in list_cyacd:
                out.write(line)
                out.write("\n")
        os.replace(temp_path, cyacd_path)
    except BaseException:
        if os.path.exists(temp_path):
            os.remove(temp_path)
        raise
