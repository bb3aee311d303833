"""Row files proven against their source: rowmint-check, rowmint --check and
the rowmint_tools API, on the example images and on damaged row files."""

import json
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import intelhex
import pytest

from rowmint_tools import CheckFailed, Problem, check, convert, read_row_file
from rowmint_tools.check_command import build_parser, main as rowmint_check, simple_options
from rowmint_tools.conversion import strict_findings
from rowmint_tools.image import read_hex
from rowmint_tools.proof import Report
from rowmint_tools.report import problem_line

REPO = Path(__file__).resolve().parent.parent
ELF_DIR = REPO / "examples" / "elf"
BIN = Path(sys.executable).parent
CHECK_COMMAND = BIN / ("rowmint-check.exe" if os.name == "nt" else "rowmint-check")
posix_only = pytest.mark.skipif(os.name != "posix", reason="POSIX shell, links and permission bits")


@pytest.fixture(scope="module")
def examples(objcopy, tmp_path_factory):
    """Each example converted once: {name: (row file, HEX file)}."""
    folder = tmp_path_factory.mktemp("examples")
    done = {}
    for elf in sorted(ELF_DIR.glob("*.elf")):
        row_file, hex_file = folder / (elf.stem + ".cyacd"), folder / (elf.stem + ".hex")
        convert(elf, row_file, tool=objcopy, hex_file=hex_file)
        done[elf.stem] = (row_file, hex_file)
    return done


@pytest.mark.parametrize("name", ["blinky", "cross64k", "fullflash", "scattered"])
def test_every_example_is_proven_against_its_elf_and_its_hex(examples, name):
    row_file, hex_file = examples[name]
    result = subprocess.run([str(CHECK_COMMAND), str(row_file), "--elf", str(ELF_DIR / (name + ".elf"))],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert (result.returncode, result.stderr) == (0, ""), result.stdout
    assert result.stdout.endswith(": every row matches %s\n" % (ELF_DIR / (name + ".elf")))
    assert "metadata area" not in result.stdout  # each example reserves it
    assert check(row_file, hex_file=hex_file).ok
    # the HEX reader against an independent one, byte by byte
    theirs, mine = intelhex.IntelHex(str(hex_file)), read_hex(hex_file)
    window = {a: b for a, b in theirs.todict().items() if isinstance(a, int) and 0x2200 <= a < 0x20000}
    assert mine.size == len(theirs)
    assert {0x2200 + a: mine.memory.data[a] for a, set_ in enumerate(mine.memory.mask) if set_} == window


def mended(line):
    """A row line with its row checksum made right again."""
    body = bytes.fromhex(line[1:523])
    return line[:523] + "%02X" % (-sum(body) & 0xFF)


def set_data(lines, index, at, digits):
    """Data byte `at` of lines[index] set to `digits`, its row checksum mended."""
    line = lines[index]
    lines[index] = mended(line[:11 + 2 * at] + digits + line[13 + 2 * at:])


def wrong_checksum(lines):
    lines[2] = lines[2][:523] + "%02X" % (int(lines[2][523:], 16) ^ 0x5A)


# blinky's row file: line 1 the header, lines 2 to 13 rows 0x022 to 0x02D.
DAMAGED = {
    "flipped-data-byte": (lambda lines: set_data(lines, 3, 0x14, "%02X" % (int(lines[3][51:53], 16) ^ 0x40)),
                          [":4: error: row 0x024 differs from the image in 1 byte, first at 0x2414",
                           ":13: error: the metadata record's application checksum is"]),
    "wrong-row-checksum": (wrong_checksum, [":3: error: row 0x023: the row checksum is 0x"]),
    "missing-row": (lambda lines: lines.pop(4),
                    [": error: row 0x025 is missing: the image sets 256 bytes in 0x2500-0x25FF",
                     ":12: error: the metadata record's last-row index is 11, the file has 11 row lines"]),
    "extra-row": (lambda lines: lines.insert(12, mended(":0000400100" + "0" * 514)),
                  [":13: error: row 0x040 is not part of the image",
                   ":14: error: the metadata record's last-row index is 11, the file has 13 row lines"]),
    "short-line": (lambda lines: lines.__setitem__(5, lines[5][:-1]),
                   [":6: error: the row line has 524 characters, not 525"]),
    "wrong-metadata-record": (lambda lines: set_data(lines, -1, 193, "12"),
                              [":13: error: the metadata record's fixed bytes are 12 22 00 00 21 00 00 00 00, "
                               "not 11 22 00 00 21 00 00 00 00"]),
    "wrong-header": (lambda lines: lines.__setitem__(0, "256A11B50001"),
                     [":1: error: the header line is '256A11B50001', not '256A11B50000'"]),
    "not-hex": (lambda lines: lines.__setitem__(6, lines[6][:100] + "G" + lines[6][101:]),
                [":7: error: character 101, 'G', is not a hex digit"]),
    "array-id": (lambda lines: lines.__setitem__(7, mended(":01" + lines[7][3:])),
                 [":8: error: the array ID is 01, not 00"]),
    "row-given-twice": (lambda lines: lines.insert(3, lines[2]),
                        [":4: error: row 0x023 is given again (first on line 3)"]),
    "row-in-the-bootloader": (lambda lines: lines.__setitem__(1, mended(":0000210100" + lines[1][11:])),
                              [":2: error: row 0x021 lies outside the application rows 0x022 to 0x1FF",
                               ": error: row 0x022 is missing"]),
}


@pytest.mark.parametrize("case", sorted(DAMAGED))
def test_a_damaged_row_file_fails_naming_the_line(examples, tmp_path, capsys, case):
    damage, expected = DAMAGED[case]
    lines = examples["blinky"][0].read_text().splitlines()
    damage(lines)
    damaged = tmp_path / "damaged.cyacd"
    damaged.write_text("".join(line + "\n" for line in lines))
    assert rowmint_check([str(damaged), "--elf", str(ELF_DIR / "blinky.elf")]) == 1
    out = capsys.readouterr().out
    for fragment in expected:
        assert str(damaged) + fragment in out, out
    # the same as JSON: a problem that names a row carries it and its
    # address (a differing byte's own), and the map marks a row of the file
    assert rowmint_check([str(damaged), "--elf", str(ELF_DIR / "blinky.elf"), "--json", "--map"]) == 1
    report = json.loads(capsys.readouterr().out)
    for error in report["errors"]:
        named = re.match(r"row 0x([0-9A-F]{3})", error["message"])
        if named:
            row = int(named.group(1), 16)
            first = re.search(r"first at 0x([0-9A-F]+)", error["message"])
            assert (error["row"], error["address"]) == (row, int(first.group(1), 16) if first else row * 256), error
            assert report["map"][row // 64][6 + row % 64] == ("X" if error["line"] else "."), error


@pytest.mark.parametrize("change, error, warning, located", [
    # linked 0x400 too low: the vector table and 1 KB more fall into the bootloader's flash
    ("--change-addresses -0x400", None,
     "1024 image bytes below 0x2200, the bootloader's flash, are left out: 0x1E00-0x21FF",
     ("left_out_below", None, 0x1E00)),
    # without its reservation the image ends in the metadata area of row 0x02C
    ("--remove-section .metadata_area", "the metadata record overwrites 12 image bytes at 0x2CC0-0x2CCB (section .rodata)",
     "the image has bytes in the metadata area of its last row, 0x02C: "
     "the application checksum leaves out 48 image bytes in 0x2CCC-0x2CFB", ("metadata_area", 0x02C, 0x2CCC)),
])
def test_image_bytes_left_out_or_overwritten(objcopy, tmp_path, change, error, warning, located):
    elf = changed_blinky(objcopy, tmp_path, change)
    try:
        report = convert(elf, tmp_path / "changed.cyacd", tool=objcopy, check=True)
    except CheckFailed as failed:
        report = failed.report
    assert [p.message for p in getattr(report, "problems", ())] == ([error] if error else [])
    assert [(w.message, (w.kind, w.row, w.address)) for w in report.warnings] == [(warning, located)]


# Inputs that must each end in one line, exit status 1, in bounded memory.
# {row}, {hex} and {elf} are blinky's; {odd} is a copy of its ELF under a
# name that is not UTF-8, printed escaped.
HOSTILE = {
    "blank-lines": (["blank.cyacd"], "blank.cyacd: error: not a row file: larger than any row file"),
    "dev-zero": (["/dev/zero"], "/dev/zero: error: not a regular file or pipe"),
    "dev-zero-hex": (["{row}", "--hex", "/dev/zero"], "/dev/zero: error: not a regular file or pipe"),
    "hex-as-row-file": (["{hex}"], "{hex}: error: this is an Intel HEX file, not a row file"),
    "elf-as-row-file": (["{elf}"], "{elf}: error: this is an ELF file, not a row file"),
    "name-not-utf-8": (["{odd}"], "{dir}/n\\udcff.elf: error: this is an ELF file, not a row file"),
    "json-unreadable": (["missing.cyacd", "--json"],
                        {"row_file": "missing.cyacd", "ok": False, "error": "missing.cyacd: No such file or directory",
                         "row_lines": None, "rows": [], "app_checksum": None, "metadata_fixed": None,
                         "last_row_index": None, "image": None, "errors": [], "warnings": []}),
}


@posix_only
@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_a_hostile_input_ends_in_one_line_within_600_mb(examples, tmp_path, case):
    args, expected = HOSTILE[case]
    row_file, hex_file = examples["blinky"]
    (tmp_path / "blank.cyacd").write_bytes(b"\n" * 2000000)
    odd = os.path.join(os.fsencode(str(tmp_path)), b"n\xff.elf")
    shutil.copy(str(ELF_DIR / "blinky.elf"), odd)
    names = dict(row=str(row_file), hex=str(hex_file), elf=str(ELF_DIR / "blinky.elf"), odd=os.fsdecode(odd),
                 dir=str(tmp_path))
    command = [os.fsencode(a.format(**names)) for a in [str(CHECK_COMMAND)] + args]
    # AddressSanitizer reserves terabytes of address space for its shadow
    # memory: under it the limit would stop the process before it starts.
    limit = b"" if "ASAN_OPTIONS" in os.environ else b"ulimit -v 600000; "
    result = subprocess.run([b"bash", b"-c", limit + b'exec "$@"', b"bash"] + command, cwd=str(tmp_path),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(os.environ, PYTHONIOENCODING="utf-8:strict"))
    lines = (result.stdout + result.stderr).decode().splitlines()
    assert result.returncode == 1 and len(lines) == 1, lines
    if isinstance(expected, dict):
        assert json.loads(lines[0]) == expected
    else:
        assert lines[0] == expected.format(**names)


@posix_only
@pytest.mark.parametrize("source, given, reason", [
    ("elf", "/dev/zero", "not a regular file or pipe"),
    ("hex_file", "/dev/zero", "not a regular file or pipe"),
    ("elf", "pipe", "a pipe, which cannot be read as an ELF file: give the file itself"),
])
def test_the_api_refuses_what_the_command_refuses(examples, tmp_path, source, given, reason):
    if given == "pipe":
        given = str(tmp_path / "pipe")
        os.mkfifo(given)  # never opened: refused by its kind
    with pytest.raises(ValueError, match="^%s: %s$" % (re.escape(given), re.escape(reason))):
        check(examples["blinky"][0], **{source: given})


@pytest.mark.parametrize("problem, named", [
    (Problem("row 0x024 differs from the image", 4), "row 0x024 differs from the image"),
    # blinky's line 13 is row 0x02D, which holds the metadata record
    (Problem("the metadata record's fixed bytes are wrong", 13), "row 0x02D: the metadata record's fixed bytes are wrong"),
    (Problem("rows 0x025 to 0x027 are missing", None, 0x025), "rows 0x025 to 0x027 are missing"),
    (Problem("the image has bytes in the metadata area of its last row, 0x02C: ...", 12, 0x02C),
     "the image has bytes in the metadata area of its last row, 0x02C: ..."),
])
def test_a_new_file_not_kept_is_reported_by_rows_not_lines(examples, problem, named):
    rows = read_row_file(examples["blinky"][0])
    assert problem_line("app.cyacd", problem, "error", rows) == "app.cyacd (new file, not kept): error: " + named


@pytest.mark.parametrize("argv, simple", [
    (["a.cyacd"], True),
    (["--map", "a.cyacd", "--elf", "a.elf", "--json"], True),
    (["--hex", "a.hex", "a.cyacd"], True),
    (["a.cyacd", "--elf=a.elf"], False),
    (["a.cyacd", "--json", "--json"], False),
    (["a.cyacd", "--elf", "-a.elf"], False),
    (["a.cyacd", "--elf", "a.elf", "--hex", "a.hex"], False),
    (["a.cyacd", "b.cyacd"], False),
])
def test_the_usual_command_lines_are_read_as_argparse_reads_them(argv, simple):
    # without argparse, whose import costs as much as reading a row file
    options = simple_options(argv)
    assert (options is not None) == simple
    if simple:
        assert vars(options) == vars(build_parser().parse_args(argv))


def changed_blinky(objcopy, folder, change):
    elf = folder / "changed.elf"
    subprocess.run(shlex.split(objcopy) + ["-I", "elf32-little"] + change.split() + [str(ELF_DIR / "blinky.elf"), str(elf)],
                   check=True, stderr=subprocess.PIPE)
    return elf


@posix_only
@pytest.mark.parametrize("options", [[], ["--strict"], ["--strict", "--check"]], ids=["plain", "strict", "strict-check"])
@pytest.mark.parametrize("change, warning", [
    ("--change-addresses 0", None),
    ("--change-addresses -0x400", "1024 image bytes below 0x2200, the bootloader's flash, are left out: 0x1E00-0x21FF"),
    ("--remove-section .metadata_area", "the metadata record overwrites 12 image bytes at 0x2CC0-0x2CCB"),
], ids=["sound", "linked-low", "no-reservation"])
def test_the_plain_command_warns_of_lost_bytes_and_strict_refuses(objcopy, tmp_path, change, warning, options):
    elf = changed_blinky(objcopy, tmp_path, change)
    (tmp_path / "app.cyacd").write_text("old\n")
    result = subprocess.run([str(BIN / "rowmint")] + options + [objcopy, str(elf), "app.hex", "app.cyacd"],
                            cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    refused = bool(warning and options)
    assert (result.returncode, result.stdout) == (int(refused), "")
    assert sorted(os.listdir(str(tmp_path))) == ["app.cyacd", "app.hex", "changed.elf"]
    assert ((tmp_path / "app.cyacd").read_text() == "old\n") == refused
    lines = result.stderr.splitlines()
    if not warning:
        assert lines == []
    elif not refused:
        assert lines == ["app.cyacd: warning: " + warning]
    elif "--check" in options and "metadata record" in warning:
        # the proof itself refuses a record that overwrites image bytes
        assert lines[0] == "app.cyacd (new file, not kept): error: row 0x02C: " + warning + " (section .rodata)"
        assert lines[-1] == "rowmint: error: the new row file does not match %s; app.cyacd is left as it was" % elf
    else:
        assert lines[0] == "app.cyacd (new file, not kept): error: " + warning
        assert lines[-1] == ("rowmint: error: --strict: the conversion loses or overwrites image bytes; "
                             "app.cyacd is left as it was")


@pytest.mark.parametrize("plain, errors, warnings, refused", [
    (["A"], [], [("A", "left_out_below")], ["A"]),  # the plain warning and the proof's, once
    ([], [], [("X", "above_flash"), ("Y", "metadata_area"), ("Z", "left_out_below")], ["Z"]),
    ([], [("R", "metadata_overwrite"), ("D", "row_differs")], [], ["R"]),
])
def test_strict_refuses_the_proofs_findings_of_its_kinds(plain, errors, warnings, refused):
    report = Report(None, None, tuple(Problem(m, kind=k) for m, k in errors),
                    tuple(Problem(m, kind=k) for m, k in warnings))
    assert strict_findings(plain, report) == refused


@posix_only
@pytest.mark.parametrize("tool, status", [("%s -R .rodata", 1), ("%s", 0)], ids=["image-changed", "sound"])
def test_rowmint_check_replaces_only_a_proven_row_file(objcopy, tmp_path, tool, status):
    target = tmp_path / "target.cyacd"
    target.write_text("old\n")
    target.chmod(0o640)
    (tmp_path / "link.cyacd").symlink_to("target.cyacd")
    result = subprocess.run(
        [str(BIN / "rowmint"), "--check", "--verbose", tool % objcopy, str(ELF_DIR / "blinky.elf"),
         "x.hex", "link.cyacd"],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.returncode == status, result.stderr
    assert sorted(os.listdir(str(tmp_path))) == ["link.cyacd", "target.cyacd", "x.hex"]
    assert (tmp_path / "link.cyacd").is_symlink() and stat.S_IMODE(target.stat().st_mode) == 0o640
    if status:
        assert target.read_text() == "old\n"
        assert "link.cyacd (new file, not kept): error: row 0x024 differs from the image" in result.stderr
        assert result.stderr.endswith("rowmint: error: the new row file does not match %s; link.cyacd is left as "
                                      "it was\n" % (ELF_DIR / "blinky.elf"))
    else:
        assert check(target, elf=ELF_DIR / "blinky.elf").ok
        assert re.fullmatch(r"link\.cyacd: 12 rows, 0x022 to 0x02D; .*, proven against .*blinky\.elf\n",
                            result.stdout)


def test_the_readme_api_example_runs_as_written(objcopy, tmp_path, monkeypatch):
    readme = (REPO / "README.md").read_text()
    example = re.search(r"### From Python\n.*?```python\n(.*?)```", readme, re.S).group(1)
    # The tool the README names, or the one that reads the examples here.
    example = example.replace('tool="arm-none-eabi-objcopy"', "tool=%r" % objcopy)
    assert "tool=%r" % objcopy in example
    (tmp_path / "examples" / "elf").mkdir(parents=True)
    shutil.copy(str(ELF_DIR / "blinky.elf"), str(tmp_path / "examples" / "elf"))
    monkeypatch.chdir(tmp_path)
    exec(compile(example, "README.md", "exec"), {})
    assert (tmp_path / "blinky.cyacd").exists()


@pytest.mark.skipif(os.name == "nt", reason="a path this long needs long-path support on Windows")
@pytest.mark.parametrize("proven", [False, True], ids=["main", "check"])
def test_a_row_file_name_as_long_as_the_file_system_allows(objcopy, tmp_path, proven):
    row_file = tmp_path / ("r" * 249 + ".cyacd")  # 255 bytes
    summary = convert(ELF_DIR / "blinky.elf", row_file, tool=objcopy, check=proven)
    assert summary.rows == 12
    assert os.listdir(str(tmp_path)) == [row_file.name]
