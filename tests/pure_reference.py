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
record types are honoured, one row line per row, a record running past its
row always reaches the following row, short records and the flash limits are
refused with ValueError, the row file is replaced atomically, and both passes
agree on where the second segment starts again.

Readings chosen where the corrections leave a detail open (convert_mended):
- Every line's header (characters 1 to 8) is decoded first, in every state,
  so a non-hex header raises the codec's error even while placement has
  ended.
- A line is a segment record when its header decodes to 4 bytes, its type is
  02 with value 1000 or 04 with value 0001, its byte count is 2 and the four
  characters after the header are hex digits (either case).  Address field,
  checksum and anything after the value are ignored.
- In the states "first segment" and "second segment" a header of fewer than
  4 bytes raises IndexError("HEX line N: the record header holds K of its 4
  bytes") before the record is otherwise examined.
- Type-02/04 records with value 0000 bring the pass back inside the image
  without touching the segment state; any other non-segment value takes it
  outside.  While placement has ended (state 2) such records do nothing: only
  the segment record is recognised there.
- Second pass: after a row-0x1FF data record (state 1, last high byte 255),
  every line with another high byte that is not a segment record ends
  placement before its type is looked at; so a malformed extended address
  record at that point ends placement instead of raising, as the first pass
  (already past row 0x1FF there) passes it over.  Records that are not
  data records never set the last high byte.
- Data placement checks, in this order: the short-record check, then the
  end-of-flash check (row 0x1FF running past its end), then the row lookups.
- The first pass meets the end-of-flash limit at the first row-0x1FF data
  record in the second segment; the second pass meets it for later records
  of row 0x1FF (which the first pass no longer reads).
- A state-0 record of row 0x0FF that runs past its end moves the second pass
  to the second segment after it has been placed (its rest goes to row
  0x100); the last high byte is left alone.
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

INSIDE, OUTSIDE = "inside", "outside"


def malformed(number):
    return ValueError("HEX line %d: malformed extended address record" % number)


def extended_value(data_hex, header):
    """The value of a type-02/04 record, or None when it is malformed."""
    digits = data_hex[9:13]
    if header[0] != 2 or len(digits) != 4 or not set(digits) <= HEX_DIGITS:
        return None
    return int(digits, 16)


def is_segment_record(data_hex, header):
    if len(header) < 4 or header[3] not in (2, 4):
        return False
    value = extended_value(data_hex, header)
    return (header[3], value) in ((2, 0x1000), (4, 0x0001))


def read_records(hex_path, hex_decoder):
    """(line number, record text, header bytes) for every line of the file."""
    with open(hex_path) as f:
        for number, line in enumerate(f, 1):
            data_hex = line.strip()
            yield number, data_hex, hex_decoder(data_hex[1:9])[0]


def require_header(number, header):
    if len(header) < 4:
        raise IndexError("HEX line %d: the record header holds %d of its 4 bytes"
                         % (number, len(header)))


def follow_extended(number, data_hex, header):
    """Where a non-segment type-02/04 record leaves the pass."""
    value = extended_value(data_hex, header)
    if value is None:
        raise malformed(number)
    return INSIDE if value == 0 else OUTSIDE


def convert_mended(hex_path, cyacd_path):
    hex_decoder = codecs.getdecoder("hex")
    list_cyacd = [HEADER_LINE]
    positions = {}  # row number -> list position of its one row line

    def open_row(row):
        if row not in positions:
            list_cyacd.append(row_prefix(row >> 8, row & 0xFF) + ZERO512)
            positions[row] = len(list_cyacd) - 1

    # First pass: the row table.
    flash = 0
    where = INSIDE
    for number, data_hex, header in read_records(hex_path, hex_decoder):
        if is_segment_record(data_hex, header):
            flash, where = 1, INSIDE
            continue
        if flash == 2:
            continue
        require_header(number, header)
        n, h, l, kind = header[0], header[1], header[2], header[3]
        if kind in (2, 4):
            where = follow_extended(number, data_hex, header)
            continue
        if kind != 0 or where == OUTSIDE:
            continue
        if flash == 0:
            if h < STARTLINE:
                continue
            open_row(h)
            if l + n > 256:
                if h == 255:
                    flash = 1
                open_row(h + 1)
        else:
            open_row(256 + h)
            if l + n > 256:
                if h == 255:
                    raise ValueError(PAST_FLASH % number)
                open_row(256 + h + 1)
            if h == 255:
                flash = 2

    max_row = len(list_cyacd) - 1
    check_row_count(max_row)

    # Second pass: data placement.
    def place(number, data_hex, header, flash):
        n, h, l = header[0], header[1], header[2]
        index = h + flash * 256
        start = l * 2
        len_ = n * 2
        digits = data_hex[9:9 + len_]
        if len(digits) < len_:
            raise ValueError(
                "HEX line %d: the record holds %d data digits, its byte count needs %d"
                % (number, len(digits), len_))
        if start + len_ <= 512:
            row = positions.get(index)
            list_cyacd[row] = replace(start, len_, list_cyacd[row], digits)
            return
        if index == 0x1FF:
            raise ValueError(PAST_FLASH % number)
        len1 = 512 - start
        row = positions.get(index)
        list_cyacd[row] = replace(start, len1, list_cyacd[row], digits[:len1])
        row = positions.get(index + 1)
        list_cyacd[row] = replace(0, len_ - len1, list_cyacd[row], digits[len1:])

    flash = 0
    where = INSIDE
    last_index = 0
    for number, data_hex, header in read_records(hex_path, hex_decoder):
        if is_segment_record(data_hex, header):
            flash, where, last_index = 1, INSIDE, 0
            continue
        if flash == 2:
            continue
        require_header(number, header)
        n, h, l, kind = header[0], header[1], header[2], header[3]
        if flash == 1 and last_index == 255 and h != 255:
            flash = 2
            continue
        if kind in (2, 4):
            where = follow_extended(number, data_hex, header)
            continue
        if kind != 0 or where == OUTSIDE:
            continue
        if flash == 0:
            if h < STARTLINE:
                continue
            place(number, data_hex, header, flash)
            if h == 255 and l + n > 256:
                flash = 1
        else:
            place(number, data_hex, header, flash)
            last_index = h

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
