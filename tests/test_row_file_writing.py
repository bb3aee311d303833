"""How the row file reaches the disk: replaced in one step, never left half
written, never appended to."""

import os
import sys

import pytest

import rowmint
from rowfile_model import hex_file_bytes, record, row_file, stand_in_os

DATA = bytes(range(16))


def leftovers(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".tmp"))


def test_existing_row_file_is_replaced_not_appended(convert, output):
    output.write_text("256A11B50000\n:stale\n" * 50)
    assert convert(record(0x2200, DATA)) == row_file([(0x22, DATA + bytes(240))])
    assert leftovers(output.parent) == []


@pytest.mark.skipif(os.name != "posix", reason="POSIX permission bits")
def test_new_file_gets_the_permissions_of_a_newly_created_file(convert, output):
    output.write_text("old")
    os.chmod(output, 0o600)
    mask = os.umask(0o027)
    try:
        convert(record(0x2200, DATA))
    finally:
        os.umask(mask)
    assert output.stat().st_mode & 0o777 == 0o640


def test_row_file_may_take_the_place_of_the_hex_file(hex_file, monkeypatch):
    hex_file.write_bytes(hex_file_bytes([record(0x2200, DATA)]))
    argv = list(sys.argv)
    argv[4] = argv[3]
    monkeypatch.setattr(sys, "argv", argv)
    rowmint.main()
    assert hex_file.read_bytes() == "".join(line + os.linesep for line in row_file([(0x22, DATA + bytes(240))])).encode()


def test_failed_conversion_leaves_the_old_file_and_no_temporary(convert, output):
    output.write_text("previous row file\n")
    with pytest.raises(ValueError):
        convert(":0400000210000000EA")
    assert output.read_text() == "previous row file\n"
    assert leftovers(output.parent) == []


def test_target_that_cannot_be_replaced(hex_file, output):
    hex_file.write_bytes(hex_file_bytes([record(0x2200, DATA)]))
    output.mkdir()
    (output / "keep").write_text("x")
    with pytest.raises(OSError):
        rowmint.main()
    assert (output / "keep").read_text() == "x"
    assert leftovers(output.parent) == []


def test_missing_folder_raises_before_anything_is_written(hex_file, monkeypatch, tmp_path):
    hex_file.write_bytes(hex_file_bytes([record(0x2200, DATA)]))
    argv = list(sys.argv)
    argv[4] = str(tmp_path / "no" / "such" / "out.cyacd")
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(FileNotFoundError) as caught:
        rowmint.main()
    assert caught.value.filename == argv[4]  # the row file, not a temporary name
    assert not (tmp_path / "no").exists()


def test_failure_of_the_final_replace_removes_the_temporary(hex_file, output, monkeypatch):
    hex_file.write_bytes(hex_file_bytes([record(0x2200, DATA)]))

    def refuse(source, target):
        assert os.path.dirname(source) == os.path.dirname(str(output))
        assert os.path.exists(source)
        raise PermissionError("refused by the test")

    monkeypatch.setattr(rowmint, "os", stand_in_os(replace=refuse))
    with pytest.raises(PermissionError, match="refused by the test"):
        rowmint.main()
    assert not output.exists()
    assert leftovers(output.parent) == []


@pytest.mark.parametrize("as_path", [
    pytest.param(lambda p: __import__("pathlib").Path(p), id="pathlib"),
    pytest.param(os.fsencode, id="bytes"),
])
def test_row_file_path_of_other_path_types(hex_file, output, monkeypatch, as_path):
    hex_file.write_bytes(hex_file_bytes([record(0x2200, DATA)]))
    argv = list(sys.argv)
    argv[4] = as_path(str(output))
    monkeypatch.setattr(sys, "argv", argv)
    rowmint.main()
    assert output.read_text().splitlines() == row_file([(0x22, DATA + bytes(240))])
    assert leftovers(output.parent) == []
