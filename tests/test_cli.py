"""The `rowmint` console command, run as a user runs it: the installed script
in a subprocess, in a fresh working folder.

A few cases that no real tool can bring about (an interrupt inside the
conversion, exceptions of every kind) call the launcher in-process with the
module's `os` replaced by a stand-in.
"""

import errno
import os
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

import rowmint
from support import hex_codec_error, make_os

CLI = os.path.join(os.path.dirname(sys.executable), "rowmint")
if os.name == "nt":
    CLI += ".exe"
BLINKY = Path(__file__).resolve().parent.parent / "examples" / "elf" / "blinky.elf"

GOOD_RECORD = ":10220000000102030405060708090A0B0C0D0E0F56"
EOF_RECORD = ":00000001FF"

# Copies a prepared HEX file (its first argument) to the HEX path, which the
# conversion appends last: "<tool> -O ihex ELF HEX".
COPY_TOOL = "import shutil, sys; shutil.copyfile(sys.argv[1], sys.argv[-1])\n"

needs_cli = pytest.mark.skipif(not os.path.exists(CLI), reason="the rowmint console command is not installed")
posix_only = pytest.mark.skipif(os.name != "posix", reason="POSIX shell and signals")


def run_cli(folder, *args, env=None):
    return subprocess.run(
        [CLI, *args], cwd=str(folder), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=120, env=env)


def copying_tool(folder, hex_text=None, hex_bytes=None):
    """An OBJCOPY command that leaves the given HEX content at the HEX path."""
    (folder / "copy_hex.py").write_text(COPY_TOOL)
    data = hex_bytes if hex_bytes is not None else hex_text.encode("ascii")
    (folder / "prepared.hex").write_bytes(data)
    return "%s copy_hex.py prepared.hex" % shlex.quote(sys.executable)


def assert_one_error_line(result, expected):
    assert result.returncode == 1
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert lines == ["rowmint: error: " + expected], result.stderr


# --- help, version, usage ----------------------------------------------------

@needs_cli
@pytest.mark.parametrize("option", ["-h", "--help"])
def test_help_describes_the_command_and_the_row_file(tmp_path, option):
    result = run_cli(tmp_path, option)
    assert result.returncode == 0
    assert result.stderr == ""
    out = result.stdout
    assert out.startswith("usage: rowmint [-h] [--version] [--check[=hex]] [--verbose] OBJCOPY ELF HEX CYACD\n")
    for fact in ['"256A11B50000"', "525 characters", "0100", "512", "checksum",
                 "0x2200", "0x1FFFF", "metadata", "last row", '"--"']:
        assert fact in " ".join(out.split()), fact


@needs_cli
def test_version_prints_the_module_version(tmp_path):
    result = run_cli(tmp_path, "--version")
    assert (result.returncode, result.stdout, result.stderr) == (0, "1.00\n", "")
    assert rowmint.__version__ == "1.00"


@needs_cli
@pytest.mark.parametrize("args", [
    [],
    ["TOOL", "in.elf", "out.hex"],
    ["TOOL", "in.elf", "out.hex", "out.cyacd", "extra"],
    # a path that begins with "-" without the "--" separator is an unknown option
    ["TOOL", "-in.elf", "out.hex", "out.cyacd"],
    ["--no-such-option", "TOOL", "in.elf", "out.hex", "out.cyacd"],
], ids=["no-arguments", "three", "five", "dash-path", "unknown-option"])
def test_usage_errors_exit_2_before_any_tool_runs(tmp_path, args):
    tool = "%s -c %s" % (shlex.quote(sys.executable), shlex.quote("open('tool-ran', 'w').close()"))
    args = [tool if a == "TOOL" else a for a in args]
    result = run_cli(tmp_path, *args)
    assert result.returncode == 2
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert lines[0] == "usage: rowmint [-h] [--version] [--check[=hex]] [--verbose] OBJCOPY ELF HEX CYACD"
    assert lines[-1].startswith("rowmint: error: ")
    assert "Traceback" not in result.stderr
    assert os.listdir(str(tmp_path)) == []


# --- conversions that succeed ------------------------------------------------

@needs_cli
def test_converts_the_bundled_example_silently_as_main_does(tmp_path, objcopy, monkeypatch):
    result = run_cli(tmp_path, objcopy, str(BLINKY), "blinky.hex", "blinky.cyacd")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    written = (tmp_path / "blinky.cyacd").read_bytes()
    assert written.startswith(b"256A11B50000" + os.linesep.encode() + b":000022")

    # The same conversion through rowmint.main() in this process.
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["rowmint", objcopy, str(BLINKY), "direct.hex", "direct.cyacd"])
    assert rowmint.main() is None
    assert written == (tmp_path / "direct.cyacd").read_bytes()
    assert (tmp_path / "blinky.hex").read_bytes() == (tmp_path / "direct.hex").read_bytes()


@needs_cli
@posix_only
def test_paths_beginning_with_a_dash_go_after_the_separator(tmp_path):
    tool = copying_tool(tmp_path, GOOD_RECORD + "\n" + EOF_RECORD + "\n")
    result = run_cli(tmp_path, "--", tool, "-in.elf", "-out.hex", "-out.cyacd")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    lines = (tmp_path / "-out.cyacd").read_text().splitlines()
    assert lines[0] == "256A11B50000"
    assert lines[1].startswith(":0000220100000102030405060708090A0B0C0D0E0F")
    assert len(lines) == 2 and len(lines[1]) == 525


# --- conversions that fail ---------------------------------------------------

BAD_DIGIT = ":1022X000000102030405060708090A0B0C0D0E0F56"
SHORT_RECORD = ":102210000001020304050607"
MALFORMED_EXTENDED = ":0400000200100000EA"

def before_the_tool(message, **paths):
    """A failure met before the tool runs, with a tool that would have written a good HEX file."""
    return dict(hex=[GOOD_RECORD, EOF_RECORD], before_tool=True, message=message, **paths)


FAILURES = {
    "tool-fails": dict(
        tool="false",
        message="the object-copy command failed with exit status 1: false -O ihex in.elf out.hex"),
    "tool-writes-nothing": dict(
        tool="true",
        message="cannot read HEX file out.hex: No such file or directory "
                "(the object-copy command succeeded but wrote no HEX file)"),
    "bad-hex-digit": dict(
        hex=[GOOD_RECORD, BAD_DIGIT, EOF_RECORD],
        message="HEX line 2: " + hex_codec_error(BAD_DIGIT[1:9])[1]),
    "malformed-extended-address": dict(
        hex=[GOOD_RECORD, ":10221000000102030405060708090A0B0C0D0E0F46", MALFORMED_EXTENDED, EOF_RECORD],
        message="HEX line 3: malformed extended address record"),
    "short-record": dict(
        hex=[GOOD_RECORD, SHORT_RECORD, EOF_RECORD],
        message="HEX line 2: the record holds 16 data digits, its byte count needs 32"),
    "no-image-data": dict(
        hex=[":10010000000102030405060708090A0B0C0D0E0F77", EOF_RECORD],
        message="the HEX file holds no image data at or above address 0x2200"),
    "missing-output-folder": before_the_tool(
        "cannot write row file missing/out.cyacd: No such file or directory (its folder missing does not exist)",
        cyacd="missing/out.cyacd"),
    "output-folder-is-a-file": before_the_tool(
        "cannot write row file in.elf/out.cyacd: Not a directory", cyacd="in.elf/out.cyacd"),
    "row-file-is-a-folder": before_the_tool("cannot write row file folder: Is a directory", cyacd="folder"),
    "hex-names-the-elf": before_the_tool("the HEX path names the ELF file", hex_path="./in.elf"),
    "row-file-names-the-elf": before_the_tool("the row-file path names the ELF file", cyacd="in.elf"),
    "hex-file-is-a-folder": dict(
        tool="true", hex_path="folder",
        message="cannot read HEX file folder: Is a directory"),
}


@needs_cli
@posix_only
@pytest.mark.parametrize("case", sorted(FAILURES))
def test_a_failed_conversion_is_one_error_line(tmp_path, case):
    spec = FAILURES[case]
    (tmp_path / "folder").mkdir()
    (tmp_path / "in.elf").write_bytes(b"\x7fELF")
    tool = spec.get("tool") or copying_tool(tmp_path, "\n".join(spec["hex"]) + "\n")
    cyacd = spec.get("cyacd", "out.cyacd")
    result = run_cli(tmp_path, tool, "in.elf", spec.get("hex_path", "out.hex"), cyacd)
    assert_one_error_line(result, spec["message"])
    assert (tmp_path / "in.elf").read_bytes() == b"\x7fELF"
    if cyacd not in ("folder", "in.elf"):
        assert not (tmp_path / cyacd).exists()
    if spec.get("before_tool"):  # the tool never ran: no HEX file, the ELF as it was
        assert not (tmp_path / "out.hex").exists()


@needs_cli
@posix_only
def test_hex_file_that_is_not_text(tmp_path):
    tool = copying_tool(tmp_path, hex_bytes=(GOOD_RECORD + "\n").encode() + b"\xff\xfe\n")
    env = dict(os.environ, PYTHONUTF8="1")
    result = run_cli(tmp_path, tool, "in.elf", "out.hex", "out.cyacd", env=env)
    assert_one_error_line(
        result, "cannot read HEX file out.hex: 'utf-8' codec can't decode byte 0xff "
                "in position 44: invalid start byte")


@needs_cli
@posix_only
def test_a_tool_killed_by_a_signal(tmp_path):
    # The shell that runs the command kills itself: the wait status is a signal.
    result = run_cli(tmp_path, "kill -9 $$;", "in.elf", "out.hex", "out.cyacd")
    assert_one_error_line(
        result, "the object-copy command was killed by signal 9 (SIGKILL): kill -9 $$; -O ihex in.elf out.hex")


@needs_cli
@posix_only
def test_a_tool_interrupted_by_ctrl_c_ends_quietly_with_130(tmp_path):
    result = run_cli(tmp_path, "kill -INT $$;", "in.elf", "out.hex", "out.cyacd")
    assert (result.returncode, result.stdout, result.stderr) == (130, "", "")


@needs_cli
@posix_only
def test_an_existing_row_file_survives_a_failed_conversion(tmp_path):
    (tmp_path / "out.cyacd").write_text("previous\n")
    tool = copying_tool(tmp_path, "\n".join([GOOD_RECORD, BAD_DIGIT]) + "\n")
    result = run_cli(tmp_path, tool, "in.elf", "out.hex", "out.cyacd")
    assert_one_error_line(result, "HEX line 2: " + hex_codec_error(BAD_DIGIT[1:9])[1])
    assert (tmp_path / "out.cyacd").read_text() == "previous\n"
    assert sorted(os.listdir(str(tmp_path))) == ["copy_hex.py", "out.cyacd", "out.hex", "prepared.hex"]


# --- the launcher in-process: what no real tool brings about -------------------

@pytest.fixture
def launcher():
    return pytest.importorskip("rowmint_cli")


ARGS = ["tool", "in.elf", "out.hex", "out.cyacd"]


def with_note(error, note):
    error.__notes__ = [note]
    return error


@pytest.mark.parametrize("error, expected", [
    (RuntimeError("boom"), "RuntimeError: boom"),
    (Exception(), "Exception"),
    (ValueError("bad value"), "bad value"),
    (TypeError("can only concatenate str (not \"int\") to str"), "can only concatenate str (not \"int\") to str"),
    (with_note(ValueError("Odd-length string"), "HEX line 7"), "HEX line 7: Odd-length string"),
    (with_note(ValueError("HEX line 3: already named"), "HEX line 3"), "HEX line 3: already named"),
    (with_note(IndexError("index out of range"), "HEX line 4"), "HEX line 4: index out of range"),
    (ValueError("two\nlines"), "two lines"),
    (subprocess.CalledProcessError(3, "tool -O ihex in.elf out.hex"),
     "the object-copy command failed with exit status 3: tool -O ihex in.elf out.hex"),
    (PermissionError(errno.EACCES, "Permission denied", "out.hex"), "cannot read HEX file out.hex: Permission denied"),
    (PermissionError(errno.EACCES, "Permission denied", ".out.cyacd.0123abcd.tmp"),
     "cannot write row file out.cyacd: Permission denied"),
    (OSError(errno.EXDEV, "Invalid cross-device link", ".out.cyacd.0123abcd.tmp", "out.cyacd"),
     "cannot write row file out.cyacd: Invalid cross-device link"),
    (OSError(errno.EIO, "Input/output error", "elsewhere"), "elsewhere: Input/output error"),
    (OSError(errno.ENOSPC, "No space left on device"), "No space left on device"),
], ids=lambda v: type(v).__name__ if isinstance(v, BaseException) else None)
def test_each_kind_of_failure_becomes_one_line(launcher, monkeypatch, capsys, error, expected):
    def system(cmd):
        raise error
    monkeypatch.setattr(rowmint, "os", make_os(system))
    assert launcher.run(ARGS) == 1
    out, err = capsys.readouterr()
    assert (out, err) == ("", "rowmint: error: " + expected + "\n")


def test_keyboard_interrupt_exits_130_quietly(launcher, monkeypatch, capsys):
    def system(cmd):
        raise KeyboardInterrupt
    monkeypatch.setattr(rowmint, "os", make_os(system))
    assert launcher.run(ARGS) == 130
    assert capsys.readouterr() == ("", "")


def test_main_sees_exactly_the_four_arguments_and_argv_is_restored(launcher, monkeypatch):
    seen = []

    def system(cmd):
        seen.append((list(sys.argv), cmd))
        raise RuntimeError("stop")
    monkeypatch.setattr(rowmint, "os", make_os(system))
    monkeypatch.setattr(sys, "argv", ["/somewhere/rowmint", "ignored"])
    launcher.run(["my tool --flag", "in.elf", "out.hex", "out.cyacd"])
    assert seen == [(["/somewhere/rowmint", "my tool --flag", "in.elf", "out.hex", "out.cyacd"],
                     "my tool --flag -O ihex in.elf out.hex")]
    assert sys.argv == ["/somewhere/rowmint", "ignored"]
