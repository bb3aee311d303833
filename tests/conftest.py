"""Fixtures shared by the test modules."""

import os
import sys

import pytest

import rowmint
from rowfile_model import hex_file_bytes, stand_in_os
from support import object_copy_command


@pytest.fixture(scope="session")
def objcopy():
    """A shell command that runs an object-copy tool able to read the example
    ELF files; the tests that need one are skipped without it."""
    command = object_copy_command("elf")
    if command is None:
        pytest.skip("no object-copy tool on PATH reads the example ELF files")
    return command


# A conversion of a HEX file the test writes: the object-copy tool is left
# out through a stand-in os, and the row file is read back.

@pytest.fixture
def hex_file(tmp_path, monkeypatch):
    path = tmp_path / "image.hex"
    monkeypatch.setattr(rowmint, "os", stand_in_os())
    monkeypatch.setattr(sys, "argv", ["script", "tool", str(tmp_path / "in.elf"), str(path), str(tmp_path / "image.cyacd")])
    return path


@pytest.fixture
def output(tmp_path, hex_file):
    return tmp_path / "image.cyacd"


@pytest.fixture
def convert(hex_file, output):
    def run(*lines):
        hex_file.write_bytes(hex_file_bytes(lines))
        rowmint.main()
        data = output.read_bytes()
        assert data.endswith(os.linesep.encode())
        return data.decode("ascii").split(os.linesep)[:-1]
    return run
