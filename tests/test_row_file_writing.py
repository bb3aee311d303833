"""How the row file reaches the disk: replaced in one step, never left half
written, never appended to."""

import errno
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
@pytest.mark.parametrize("old_mode, mode", [(None, 0o640), (0o600, 0o600), (0o751, 0o751)],
                         ids=["new-file-umask", "kept-0600", "kept-0751"])
def test_permission_bits_of_a_replaced_file_carry_over(convert, output, old_mode, mode):
    if old_mode is not None:
        output.write_text("old")
        os.chmod(output, old_mode)
    mask = os.umask(0o027)
    try:
        convert(record(0x2200, DATA))
    finally:
        os.umask(mask)
    assert output.stat().st_mode & 0o7777 == mode


@pytest.mark.parametrize("target_exists", [True, False], ids=["link", "dangling-link"])
def test_a_row_file_link_stays_and_its_target_takes_the_rows(convert, output, target_exists):
    target = output.parent / "real" / "rows.cyacd"
    target.parent.mkdir()
    if target_exists:
        target.write_text("old rows\n")
    try:
        os.symlink(os.path.join("real", "rows.cyacd"), str(output))
    except (OSError, NotImplementedError):
        pytest.skip("no symbolic links here")
    assert convert(record(0x2200, DATA)) == row_file([(0x22, DATA + bytes(240))])
    assert os.readlink(str(output)) == os.path.join("real", "rows.cyacd")
    assert target.read_text().splitlines() == row_file([(0x22, DATA + bytes(240))])
    assert leftovers(output.parent) == leftovers(target.parent) == []


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


@pytest.mark.parametrize("row_file, error", [
    ("no/such/out.cyacd", FileNotFoundError),
    ("plain/out.cyacd", NotADirectoryError),
    ("folder", IsADirectoryError),
])
def test_a_row_file_with_nowhere_to_go_stops_before_the_tool(monkeypatch, tmp_path, row_file, error):
    (tmp_path / "plain").write_text("x")
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "keep").write_text("x")
    before = sorted(os.listdir(str(tmp_path)))
    commands = []
    monkeypatch.setattr(rowmint, "os", stand_in_os(system=commands.append))
    argv = ["script", "tool", "in.elf", str(tmp_path / "image.hex"), str(tmp_path / row_file)]
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(error) as caught:
        rowmint.main()
    assert caught.value.filename == argv[4]  # the row file as given
    assert commands == []
    assert sorted(os.listdir(str(tmp_path))) == before
    assert (tmp_path / "folder" / "keep").read_text() == "x"


def test_failure_of_the_final_replace_removes_the_temporary(hex_file, output, monkeypatch):
    hex_file.write_bytes(hex_file_bytes([record(0x2200, DATA)]))

    def refuse(source, target):
        assert os.path.dirname(source) == os.path.dirname(str(output))
        assert os.path.exists(source)
        raise PermissionError(errno.EACCES, "refused by the test", source, target)

    monkeypatch.setattr(rowmint, "os", stand_in_os(replace=refuse))
    with pytest.raises(PermissionError, match="refused by the test") as caught:
        rowmint.main()
    # Named after the row file alone, not the temporary one.
    assert str(caught.value) == "[Errno %d] refused by the test: %r" % (errno.EACCES, str(output))
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
