"""What a caller puts in the module's namespace is used: `replace`, `six`,
the hex decoder reached through `codecs`, and builtins rebound before the
module was imported."""

import codecs
import os
import subprocess
import sys
import textwrap
import types

import pytest

import rowmint
from support import Stop
from rowfile_model import END_OF_FILE, SEGMENT_RECORD, hex_file_bytes, record, row_file

LINES = [record(0x2200, bytes(range(16))), record(0x22F8, bytes(range(16))), SEGMENT_RECORD,
         record(0x0500, b"\xAB\xCD"), END_OF_FILE]


def test_substituted_replace_is_called_and_its_result_kept(convert, monkeypatch):
    expected = convert(*LINES)
    calls = []

    def recording_replace(*args, **kwargs):
        calls.append((args, kwargs))
        return rowmint.__dict__["_original_replace"](*args)

    monkeypatch.setitem(rowmint.__dict__, "_original_replace", rowmint.replace)
    monkeypatch.setattr(rowmint, "replace", recording_replace)
    assert convert(*LINES) == expected
    assert all(kwargs == {} and len(args) == 4 for args, kwargs in calls)
    starts = [(args[0], args[1], args[3]) for args, _ in calls]
    assert starts == [
        (0, 32, "000102030405060708090A0B0C0D0E0F"),
        (496, 16, "0001020304050607"), (0, 16, "08090A0B0C0D0E0F"),
        (0, 4, "ABCD"),
        (384, 24, starts[-1][2]),
    ]
    assert len(starts[-1][2]) == 24


def test_names_the_tool_rebinds_are_the_ones_used(convert, monkeypatch):
    # The stand-in tool runs before the HEX file is read: a replace it puts
    # in place is called for every record.
    expected = convert(*LINES)
    calls = []
    original = rowmint.replace

    def system(command):
        monkeypatch.setattr(rowmint, "replace", lambda *args: calls.append(args) or original(*args))
        return 0

    monkeypatch.setattr(rowmint.os, "system", system)
    assert convert(*LINES) == expected
    assert len(calls) == 5


def test_result_of_a_substituted_replace_reaches_the_file(convert, monkeypatch):
    original = rowmint.replace
    monkeypatch.setattr(rowmint, "replace", lambda s, n, line, new: original(s, n, line, new.lower()))
    lines = convert(record(0x2200, b"\xAB\xCD"))
    assert lines[1][11:15] == "abcd"


def test_row_checksum_holds_for_a_line_of_any_length(convert, monkeypatch):
    # A substitute may make a row line far longer than 525 characters; its
    # checksum still covers every byte (80,000 digits here).
    original = rowmint.replace
    monkeypatch.setattr(rowmint, "replace", lambda s, n, line, new: original(s, n, line, new) + "FF" * 20000)
    line = convert(record(0x2200, b"\xAB\xCD"))[1]
    assert (sum(bytes.fromhex(line[1:])) & 255) == 0


def test_substituted_decoder_is_used(convert, monkeypatch):
    expected = convert(*LINES)
    real = codecs.getdecoder("hex")
    seen = []

    def decoder(text):
        seen.append(text)
        return real(text)

    fake_codecs = types.SimpleNamespace(getdecoder=lambda name: decoder if name == "hex" else None)
    monkeypatch.setattr(rowmint, "codecs", fake_codecs)
    assert convert(*LINES) == expected
    rows = len(expected) - 1
    # Every line's header and the record from its ':' on, in both passes; then
    # each row's data field and its checksummed part.
    assert len(seen) == 4 * len(LINES) + 2 * rows
    assert seen[0] == LINES[0][1:9]


class CountingSix:
    def __init__(self, py2, py3):
        self.reads = []
        self.flags = {"PY2": py2, "PY3": py3}

    def __getattr__(self, name):
        self.reads.append(name)
        return self.flags[name]


def test_six_flags_are_read_for_every_row(convert, monkeypatch):
    six = CountingSix(False, True)
    monkeypatch.setattr(rowmint, "six", six)
    lines = convert(*LINES)
    rows = len(lines) - 1
    assert six.reads == ["PY2", "PY3"] * rows + ["PY2", "PY3"] * rows


@pytest.mark.parametrize("py2, py3, error, message", [
    (True, True, TypeError, "ord() expected string of length 1, but int found"),
    (False, False, UnboundLocalError, "local variable 'data_checksum' referenced before assignment"),
])
def test_odd_six_flags(convert, output, monkeypatch, py2, py3, error, message):
    monkeypatch.setattr(rowmint, "six", types.SimpleNamespace(PY2=py2, PY3=py3))
    with pytest.raises(error) as caught:
        convert(*LINES)
    assert str(caught.value) == message
    assert not output.exists()


def test_six_flags_changed_between_the_sums_are_read_again(convert, monkeypatch):
    # A module's bool flags may be read once, but a replace of a caller's
    # runs between the two sums and may change them.
    six = types.ModuleType("six")
    six.PY2, six.PY3 = False, True
    original = rowmint.replace

    def replace(start, lenth, line, new):
        if start == 384:  # the metadata record
            six.PY3 = False
        return original(start, lenth, line, new)

    monkeypatch.setattr(rowmint, "six", six)
    monkeypatch.setattr(rowmint, "replace", replace)
    with pytest.raises(UnboundLocalError):
        convert(*LINES)


class FailsOneComparison:
    """A key that shares PY2's hash and fails the comparison of the given
    number from now: with 2, the module's own lookup after getattr's."""

    def __init__(self):
        self.compared = 0
        self.fails_at = None

    def fail_at(self, count):
        self.fails_at = self.compared + count

    def __hash__(self):
        return hash("PY2")

    def __eq__(self, other):
        self.compared += 1
        if self.compared == self.fails_at:
            raise Stop("compared")
        return False


def test_a_failed_lookup_of_a_six_flag_is_raised(convert, monkeypatch):
    six = types.ModuleType("six")
    key = FailsOneComparison()
    vars(six)[key] = None  # met before PY2, which comes after it
    six.PY2, six.PY3 = False, True
    key.fail_at(2)
    monkeypatch.setattr(rowmint, "six", six)
    with pytest.raises(Stop):
        convert(*LINES)


def test_six_without_flags(convert, monkeypatch):
    monkeypatch.setattr(rowmint, "six", types.SimpleNamespace(PY2=False))
    with pytest.raises(AttributeError):
        convert(*LINES)


def test_missing_module_name_is_a_name_error(convert, monkeypatch):
    monkeypatch.delattr(rowmint, "six")
    with pytest.raises(NameError, match="name 'six' is not defined"):
        convert(*LINES)


BUILTINS_REBOUND_BEFORE_IMPORT = textwrap.dedent("""
    import builtins, os, sys, types
    calls = []
    real_hex, real_sum, real_open = builtins.hex, builtins.sum, builtins.open
    builtins.hex = lambda n: (calls.append("hex"), real_hex(n))[1]
    builtins.sum = lambda it: (calls.append("sum"), real_sum(it))[1]
    builtins.open = lambda *a: (calls.append("open"), real_open(*a))[1]
    import rowmint
    builtins.hex, builtins.sum, builtins.open = real_hex, real_sum, real_open
    class StandIn(types.ModuleType):
        def __getattr__(self, name):
            return getattr(os, name)
    rowmint.os = StandIn("os"); rowmint.os.system = lambda cmd: 0
    folder = sys.argv[1]
    with open(os.path.join(folder, "a.hex"), "w") as f:
        f.write(sys.argv[2])
    sys.argv = ["x", "tool", "a.elf", os.path.join(folder, "a.hex"), os.path.join(folder, "a.cyacd")]
    rowmint.main()
    print(calls.count("open"), calls.count("hex"), calls.count("sum"))
    print(open(os.path.join(folder, "a.cyacd")).read(), end="")
""")


def test_builtins_captured_at_import_are_the_ones_called(tmp_path):
    text = hex_file_bytes([record(0x2200, bytes(range(16))), record(0x2300, b"\x01")]).decode()
    result = subprocess.run([sys.executable, "-c", BUILTINS_REBOUND_BEFORE_IMPORT, str(tmp_path), text],
                            capture_output=True, text=True, check=True)
    counts, *file_lines = result.stdout.splitlines()
    # Two reads of the HEX file and the new row file; two rows: two prefixes,
    # metadata (checksum and last index), two row checksums; two sums a row.
    assert counts.split() == ["3", "6", "4"]
    assert file_lines == row_file([(0x22, bytes(range(16)) + bytes(240)), (0x23, b"\x01" + bytes(255))])


HEX_REBINDING_REPLACE = textwrap.dedent("""
    import builtins, os, sys, types
    real_hex = builtins.hex

    def lower_case_replace(start, lenth, line, new):
        return line[:start + 11] + new.lower() + line[start + 11 + lenth:]

    def hex_rebinding_replace(number):
        sys.modules["rowmint"].replace = lower_case_replace
        return real_hex(number)

    builtins.hex = hex_rebinding_replace
    import rowmint
    builtins.hex = real_hex
    own_replace = rowmint.replace
    class StandIn(types.ModuleType):
        def __getattr__(self, name):
            return getattr(os, name)
    rowmint.os = StandIn("os"); rowmint.os.system = lambda cmd: 0
    folder, text = sys.argv[1], sys.argv[2]
    for name, after_the_end in (("ascii", ""), ("other", "\u00e9")):
        rowmint.replace = own_replace
        with open(os.path.join(folder, name + ".hex"), "w", encoding="utf-8") as f:
            f.write(text + after_the_end)
        sys.argv = ["x", "tool", "a.elf", os.path.join(folder, name + ".hex"), os.path.join(folder, name + ".cyacd")]
        rowmint.main()
        print(open(os.path.join(folder, name + ".cyacd")).read(), end="")
""")


def test_a_substitute_hex_that_rebinds_replace_gives_one_row_file(tmp_path):
    # A character after the end-of-file record keeps the file from being
    # read once; it must not change what the substitutes make of the rows.
    text = hex_file_bytes([record(0x2200, bytes(range(0xA0, 0xB0))), END_OF_FILE]).decode()
    env = dict(os.environ, PYTHONUTF8="1")
    result = subprocess.run([sys.executable, "-c", HEX_REBINDING_REPLACE, str(tmp_path), text],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:2] == lines[2:]
    assert lines[1].startswith(":0000220100a0a1a2")


@pytest.mark.parametrize("result, error", [
    (lambda s, n, line, new: list(line), TypeError),               # not text at all
    (lambda s, n, line, new: line + "Z", __import__("binascii").Error),  # odd digit count
    (lambda s, n, line, new: line.replace("0", "\u0663"), ValueError),   # non-ASCII digits
])
def test_odd_results_of_a_substituted_replace_fail_cleanly(convert, output, monkeypatch, result, error):
    monkeypatch.setattr(rowmint, "replace", result)
    with pytest.raises(error):
        convert(*LINES)
    assert not output.exists()
