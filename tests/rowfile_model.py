"""Small helpers of the conversion tests: HEX records written by hand and the
row file expected for rows of given contents, computed from the format's
rules alone."""

from support import make_os

HEADER = "256A11B50000"
METADATA_FIXED = bytes([0x11, 0x22, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x00])


def record(address, data=b"", kind=0, count=None):
    """One Intel HEX record with a correct checksum."""
    count = len(data) if count is None else count
    body = bytes([count, (address >> 8) & 0xFF, address & 0xFF, kind]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF)


SEGMENT_RECORD = ":020000021000EC"
END_OF_FILE = ":00000001FF"
HEX_DIGITS = set("0123456789abcdefABCDEF")


class AsWritten(list):
    """Lines of a HEX file that `sealed` leaves exactly as they are: for the
    tests of wrong checksums and of files without an end-of-file record."""


def sealed(lines):
    """The lines of a HEX file as a test means them: each record that is whole
    but for its checksum gets the one its bytes need, and the file ends with
    the end-of-file record unless it holds one."""
    if isinstance(lines, AsWritten):
        return list(lines)
    result = []
    for line in lines:
        text = line.strip()
        if (text[:1] == ":" and len(text) >= 11 and set(text[1:]) <= HEX_DIGITS
                and len(text) == 11 + 2 * int(text[1:3], 16)):
            body = bytes.fromhex(text[1:-2])
            if (sum(body) + int(text[-2:], 16)) & 0xFF:
                line = line.replace(text, text[:-2] + "%02X" % (-sum(body) & 0xFF))
        result.append(line)
    if not any(line.strip()[:1] == ":" and line.strip()[7:9] == "01" for line in result):
        result.append(END_OF_FILE)
    return result


def hex_file_bytes(lines, end="\n", encoding="ascii"):
    """The file of `sealed` lines, each ended by `end`."""
    return "".join(line + end for line in sealed(lines)).encode(encoding)


def data_records(address, data, size=16):
    """Data records of `size` bytes for data at a 16-bit address."""
    return [record(address + i, data[i:i + size]) for i in range(0, len(data), size)]


def row_file(rows):
    """The expected file for [(row number, 256 data bytes)] in file order."""
    rows = [(number, bytearray(data)) for number, data in rows]
    last = len(rows) - 1
    app_sum = sum(sum(data) for _, data in rows[:-1]) + sum(rows[-1][1][:192])
    rows[-1][1][192:204] = bytes([-app_sum & 0xFF]) + METADATA_FIXED + last.to_bytes(2, "little")
    lines = [HEADER]
    for number, data in rows:
        body = bytes([0]) + number.to_bytes(2, "big") + bytes([1, 0]) + bytes(data)
        lines.append(":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF))
    return lines


def image_rows(placed):
    """{row: {offset: bytes}} -> [(row, 256 bytes)] in ascending row order."""
    rows = []
    for number in sorted(placed):
        data = bytearray(256)
        for offset, chunk in placed[number].items():
            data[offset:offset + len(chunk)] = chunk
        rows.append((number, bytes(data)))
    return rows


def stand_in_os(system=lambda command: 0, **attributes):
    """The real os, but for a `system` that runs nothing and what else is given."""
    return make_os(system, **attributes)
