"""The `rowmint` console command, run as a user runs it: the installed script
in a subprocess, in a fresh working folder.

A few cases that no real tool can bring about (an interrupt inside the
conversion, exceptions of every kind) call the launcher in-process with the
module's `os` replaced by a stand-in.
"""

import errno
import os
import shlex
import shutil
import stat
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import rowmint
from support import hex_codec_error, make_os, stopping_system

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
    assert out.startswith("usage: rowmint [-h] [--version] [--check[=elf|hex]] [--strict] [--verbose] OBJCOPY ELF HEX CYACD\n")
    for fact in ['"256A11B50000"', "525 characters", "0100", "512", "checksum",
                 "0x2200", "0x1FFFF", "metadata", "last row", '"--"']:
        assert fact in " ".join(out.split()), fact


@needs_cli
@pytest.mark.parametrize("command", ["rowmint", "rowmint-check"])
def test_version_prints_the_module_version(tmp_path, command):
    path = os.path.join(os.path.dirname(CLI), command + (".exe" if os.name == "nt" else ""))
    result = subprocess.run([path, "--version"], cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
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
    assert lines[0] == "usage: rowmint [-h] [--version] [--check[=elf|hex]] [--strict] [--verbose] OBJCOPY ELF HEX CYACD"
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
    "hex-file-is-a-folder": before_the_tool("cannot write HEX file folder: Is a directory", hex_path="folder"),
    "missing-hex-folder": before_the_tool(
        "cannot write HEX file missing/out.hex: No such file or directory", hex_path="missing/out.hex"),
    "tool-not-found": dict(  # the shell's own "not found" line left out
        tool="exit 127;",
        message="the object-copy command failed with exit status 127: exit 127; -O ihex in.elf out.hex; "
                "the shell could not run a command of that name: install the target's own objcopy "
                "(arm-none-eabi-objcopy; on Debian the package binutils-arm-none-eabi) or give the tool's full path"),
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


# Paths in the wrong order, a device and a pipe, with the real tool and the
# example ELF: refused before the tool runs, with and without --check. An
# earlier run left app.hex and app.cyacd; "fifo" is a named pipe.
ORDER = " (check the order: OBJCOPY ELF HEX CYACD)"
REFUSED_WITH_THE_REAL_TOOL = {
    "hex-and-elf-swapped": (["app.hex", "app.elf", "app.cyacd"],
                            "the HEX path names an ELF file; the tool would write over it" + ORDER),
    "hex-and-row-file-swapped": (["app.elf", "app.cyacd", "new.hex"],
                                 "the HEX path names a row file; the tool would write over it" + ORDER),
    "hex-is-a-pipe": (["app.elf", "fifo", "new.cyacd"],
                      "the HEX path names a device, a pipe or a socket, not a file" + ORDER),
    "row-file-is-the-null-device": (["app.elf", "app.hex", os.devnull],
                                    "the row-file path names a device, a pipe or a socket, not a file"),
    "check-same-row-file": (["--check", "app.elf", "app.cyacd", "app.cyacd"],
                            "the HEX path names a row file; the tool would write over it" + ORDER),
    "check-hex-names-the-row-file": (["--check", "app.elf", "new.cyacd", "./new.cyacd"],
                                     "the HEX path names the row file"),
    "check-row-file-is-a-pipe": (["--check", "app.elf", "app.hex", "fifo"],
                                 "the row-file path names a device, a pipe or a socket, not a file"),
    "check-missing-hex-folder": (["--check", "app.elf", "no/app.hex", "app.cyacd"],
                                 "cannot write HEX file no/app.hex: No such file or directory"),
}


@needs_cli
@posix_only
@pytest.mark.parametrize("case", sorted(REFUSED_WITH_THE_REAL_TOOL))
def test_what_the_user_keeps_is_refused_before_the_real_tool(tmp_path, objcopy, monkeypatch, case):
    args, message = REFUSED_WITH_THE_REAL_TOOL[case]
    if os.devnull in args:
        # The real tool only where main() is seen to refuse the device before
        # any tool runs: without that, a conversion run as root replaces it.
        monkeypatch.setattr(rowmint, "os", make_os(stopping_system))
        monkeypatch.setattr(sys, "argv", ["rowmint", "tool", str(BLINKY), str(tmp_path / "new.hex"), os.devnull])
        with pytest.raises(ValueError, match="^the row-file path names a device"):
            rowmint.main()
    options = [arg for arg in args if arg.startswith("--")]
    shutil.copyfile(str(BLINKY), str(tmp_path / "app.elf"))
    (tmp_path / "app.hex").write_text(EOF_RECORD + "\n")
    (tmp_path / "app.cyacd").write_text("256A11B50000\n")
    os.mkfifo(str(tmp_path / "fifo"))
    before = sorted(os.listdir(str(tmp_path)))
    result = run_cli(tmp_path, *options, objcopy, *args[len(options):])
    assert_one_error_line(result, message)
    assert sorted(os.listdir(str(tmp_path))) == before
    assert (tmp_path / "app.elf").read_bytes() == BLINKY.read_bytes()
    assert (tmp_path / "app.hex").read_text() == EOF_RECORD + "\n"
    assert (tmp_path / "app.cyacd").read_text() == "256A11B50000\n"
    assert stat.S_ISFIFO(os.stat(str(tmp_path / "fifo")).st_mode)
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
@needs_cli
@posix_only
@pytest.mark.parametrize("name", ["SIGTERM", "SIGHUP"])
def test_a_strict_conversion_ended_by_a_signal_leaves_no_scratch_folder(tmp_path, name):
    tool = "sleep 1; " + copying_tool(tmp_path, GOOD_RECORD + "\n" + EOF_RECORD + "\n")
    (tmp_path / "out.cyacd").write_text("previous\n")
    process = subprocess.Popen([CLI, "--strict", tool, "in.elf", "out.hex", "out.cyacd"], cwd=str(tmp_path),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    while not any(entry.startswith(".cyacd-") for entry in os.listdir(str(tmp_path))):
        assert process.poll() is None, process.communicate()
        time.sleep(0.01)
    process.send_signal(getattr(signal, name))
    assert process.communicate(timeout=120) == (b"", b"")
    assert process.returncode == 128 + getattr(signal, name)
    # out.hex is there or not, as the signal came before or after the tool ran
    assert set(os.listdir(str(tmp_path))) - {"out.hex"} == {"copy_hex.py", "out.cyacd", "prepared.hex"}
    assert (tmp_path / "out.cyacd").read_text() == "previous\n"


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
    (PermissionError(errno.EACCES, "Permission denied", ".cyacd-0123456789ab.tmp"),
     "cannot write row file out.cyacd: Permission denied"),
    (OSError(errno.EXDEV, "Invalid cross-device link", ".cyacd-0123456789ab.tmp", "out.cyacd"),
     "cannot write row file out.cyacd: Invalid cross-device link"),
    (OSError(errno.EIO, "Input/output error", "elsewhere"), "elsewhere: Input/output error"),
    (subprocess.CalledProcessError(9009, "tool -O ihex in.elf out.hex"),
     "the object-copy command failed with exit status 9009: tool -O ihex in.elf out.hex; the shell could not "
     "run a command of that name: install the target's own objcopy (arm-none-eabi-objcopy; on Debian the "
     "package binutils-arm-none-eabi) or give the tool's full path"),
    (OSError(errno.ENOSPC, "No space left on device"), "No space left on device"),
], ids=lambda v: type(v).__name__ if isinstance(v, BaseException) else None)
def test_each_kind_of_failure_becomes_one_line(launcher, monkeypatch, capsys, error, expected):
    def system(cmd):
        raise error
    monkeypatch.setattr(rowmint, "os", make_os(system))
    assert launcher.run(ARGS) == 1
    out, err = capsys.readouterr()
    assert (out, err) == ("", "rowmint: error: " + expected + "\n")


@pytest.mark.parametrize("names_the_scratch_file", [True, False])
def test_a_full_disk_in_the_scratch_folder_names_the_row_file(launcher, tmp_path, monkeypatch, capsys,
                                                               names_the_scratch_file):
    def full_disk(tool, elf, hex_file, row_file):
        raise OSError(errno.ENOSPC, "No space left on device", *([row_file] if names_the_scratch_file else []))
    monkeypatch.setattr("rowmint_tools.conversion.run_main", full_disk)
    monkeypatch.chdir(tmp_path)
    assert launcher.run(["--strict"] + ARGS) == 1
    assert capsys.readouterr() == ("", "rowmint: error: cannot write row file out.cyacd: No space left on device\n")
    assert os.listdir(str(tmp_path)) == []


def test_keyboard_interrupt_exits_130_quietly(launcher, monkeypatch, capsys):
    def system(cmd):
        raise KeyboardInterrupt
    monkeypatch.setattr(rowmint, "os", make_os(system))
    assert launcher.run(ARGS) == 130
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("options", [
    ["--check"], ["--strict", "--verbose", "--check=hex"], ["--check=elf", "--strict"], ["--check", "--check=hex"],
])
def test_options_before_the_paths_are_read_as_argparse_reads_them(launcher, options):
    argv = options + ARGS
    parsed = launcher.build_parser("1.00").parse_args(launcher._check_spelled_out(argv))
    assert vars(launcher._parse(argv, "1.00")) == vars(parsed)


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
