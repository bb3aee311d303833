"""rowmint-diff and rowmint-export on the example images' row files and on
damaged copies, the round trip of an export through a conversion, and the
Make recipe of examples/recipes."""

import json
import os
import re
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from rowmint_tools import convert, read_row_file
from rowmint_tools.diff_command import main as diff_main
from rowmint_tools.export_command import main as export_main
from support import object_copy_command
from test_check import set_data, wrong_checksum

REPO = Path(__file__).resolve().parent.parent
ELF_DIR = REPO / "examples" / "elf"
BIN = Path(sys.executable).parent
posix_only = pytest.mark.skipif(os.name != "posix", reason="POSIX devices, pipes, links and permission bits")


@pytest.fixture(scope="module")
def row_files(objcopy, tmp_path_factory):
    """Each example converted once: {name: row file}."""
    folder = tmp_path_factory.mktemp("rows")
    for elf in ELF_DIR.glob("*.elf"):
        convert(elf, folder / (elf.stem + ".cyacd"), tool=objcopy, hex_file=folder / (elf.stem + ".hex"))
    return {path.stem: path for path in folder.glob("*.cyacd")}


def exit_status(main, args):
    try:
        return main([str(arg) for arg in args])
    except SystemExit as done:  # argparse: usage errors, --help, --version
        return done.code


def flip(lines, index, at):
    """Data byte `at` of lines[index] with one digit changed, its row checksum mended."""
    set_data(lines, index, at, "%02X" % (int(lines[index][11 + 2 * at:13 + 2 * at], 16) ^ 0x40))


def lower_case_crlf(lines):
    lines[1:] = [":" + line[1:].lower() for line in lines[1:]]
    return "\r\n"


# blinky's row file (line 1 the header, lines 2 to 13 rows 0x022 to 0x02D,
# application checksum 0x41) against a copy changed by the first entry:
# the exit status, the report's lines apart from warnings and the summary
# (patterns), and the start of each warning or error line.
DIFFS = {
    "digit-case-and-line-ends": (lower_case_crlf, 0, [], []),
    "flipped-digit": (lambda lines: flip(lines, 3, 0x14), 1,
                      [r"row 0x024 differs in 1 byte: 0x2414"],
                      ["NEW:13: warning: the metadata record's application checksum is 0x41, the rows need"]),
    "missing-row": (lambda lines: lines.__delitem__(4), 1, [r"only in OLD: row 0x025"],
                    ["NEW:12: warning: the metadata record's application checksum",
                     "NEW:12: warning: the metadata record's last-row index is 11, the file has 11 row lines"]),
    "changed-application-checksum": (lambda lines: set_data(lines, -1, 192, "00"), 1,
                                     [r"application checksum: 0x41 in OLD, 0x00 in NEW"],
                                     ["NEW:13: warning: the metadata record's application checksum is 0x00"]),
    "rows-in-another-order": (lambda lines: lines.insert(3, lines.pop(4)), 1,
                              [r"row order differs: the rows both files hold come in another order"], []),
    "wrong-row-checksum": (wrong_checksum, 1,
                           [r"row 0x023 differs in its row checksum only: 0x[0-9A-F]{2} in OLD, 0x[0-9A-F]{2} in NEW"],
                           ["NEW:3: warning: row 0x023: the row checksum is"]),
    "short-line": (lambda lines: lines.__setitem__(5, lines[5][:-1]), 2, [],
                   ["NEW:6: error: the row line has 524 characters, not 525"]),
    "row-given-twice": (lambda lines: lines.insert(3, lines[2]), 2, [],
                        ["NEW:4: error: row 0x023 is given again (first on line 3)"]),
    "a-hex-file-as-new": (lambda lines: lines.__setitem__(slice(None), [":0122000000DD", ":00000001FF"]), 2, [],
                          ["NEW: error: this is an Intel HEX file, not a row file"]),
}


@pytest.mark.parametrize("case", sorted(DIFFS))
def test_rowmint_diff_names_each_change(row_files, tmp_path, capsys, case):
    damage, status, changes, notes = DIFFS[case]
    old, new = row_files["blinky"], tmp_path / "new.cyacd"
    lines = old.read_text().splitlines()
    line_end = damage(lines) or "\n"
    new.write_bytes("".join(line + line_end for line in lines).encode())
    named = {"OLD": str(old), "NEW": str(new)}

    def named_as_given(text):
        return re.sub(r"\b(OLD|NEW)\b", lambda m: named[m.group(1)], text)

    assert exit_status(diff_main, [old, new]) == status
    out, err = capsys.readouterr()
    report = (out if status < 2 else err).splitlines()
    if status < 2:
        *report, summary = report
        assert summary.startswith("%s and %s %s" % (old, new, "differ:" if status else "hold the same rows: 12,"))
    found = [line for line in report if ": warning: " in line or ": error: " in line]
    assert len(found) == len(notes) and all(f.startswith(named_as_given(n)) for f, n in zip(found, notes)), found
    assert len(report) - len(found) == len(changes), report
    for line, pattern in zip([line for line in report if line not in found], changes):
        assert re.fullmatch(named_as_given(pattern).replace(".cyacd", r"\.cyacd"), line), line

    assert exit_status(diff_main, [old, new, "--json"]) == status
    result = json.loads(capsys.readouterr().out)
    assert (len(result["errors"]) > 0, result.get("same")) == ((True, None) if status == 2 else (False, status == 0))


def test_rowmint_diff_json_keys(row_files, tmp_path, capsys):
    old, new = row_files["blinky"], tmp_path / "new.cyacd"
    lines = old.read_text().splitlines()
    flip(lines, 3, 0x14)
    set_data(lines, -1, 192, "00")
    new.write_text("".join(line + "\n" for line in lines[:-2] + lines[-1:]))
    assert exit_status(diff_main, [old, new, "--json"]) == 1
    result = json.loads(capsys.readouterr().out)
    assert [w["line"] for w in result.pop("warnings")] == [12, 12]
    assert result.pop("summary").startswith("%s and %s differ: 1 row only in %s, 0 only in" % (old, new, old))
    assert result == {
        "old": str(old), "new": str(new), "same": False, "only_old": [0x02C], "only_new": [],
        "changed_rows": [{"row": 0x024, "bytes": 1, "checksums": None,
                          "ranges": [{"first": 0x2414, "last": 0x2414, "bytes": 1}]}],
        "metadata": {"app_checksum": {"old": 0x41, "new": 0x00}, "metadata_fixed": None,
                     "last_row_index": None},
        "order_differs": False, "errors": []}


@pytest.mark.parametrize("name", ["blinky", "cross64k", "fullflash", "scattered"])
def test_an_export_converts_back_to_the_same_row_file(row_files, tmp_path, capsys, name):
    tool = object_copy_command("ihex")
    out = tmp_path / "OUT.hex"
    assert exit_status(export_main, [row_files[name], out]) == 0
    assert capsys.readouterr().out.startswith("%s: Intel HEX of " % out)
    convert(out, tmp_path / "T.cyacd", tool=tool, hex_file=tmp_path / "T.hex")
    assert (tmp_path / "T.cyacd").read_bytes() == row_files[name].read_bytes()


def test_intelhex_reads_the_export_as_the_rows_and_the_binary(row_files, tmp_path, capsys):
    intelhex = pytest.importorskip("intelhex")
    row_file = row_files["scattered"]  # gaps between rows, and rows on both sides of 0x10000
    assert exit_status(export_main, [row_file, tmp_path / "s.hex"]) == 0
    assert exit_status(export_main, [row_file, tmp_path / "s.bin", "--fill", "0xA5", "--json"]) == 0
    written = json.loads(capsys.readouterr().out.splitlines()[-1])
    image = intelhex.IntelHex(str(tmp_path / "s.hex"))
    rows = read_row_file(row_file).rows
    assert image.segments() == [(a, b + 1) for a, b in _runs_of(rows)]
    assert all(image.tobinstr(start=row.address, size=256) == row.data for row in rows)
    assert written["start"] == image.minaddr() and written["fill"] == 0xA5
    assert (tmp_path / "s.bin").read_bytes() == image.tobinstr(pad=0xA5)


def _runs_of(rows):
    """Inclusive address runs of consecutive rows."""
    runs = []
    for row in sorted(rows, key=lambda r: r.number):
        if runs and runs[-1][1] + 1 == row.address:
            runs[-1][1] = row.address + 255
        else:
            runs.append([row.address, row.address + 255])
    return [tuple(run) for run in runs]


def _make_fifo(path):
    os.mkfifo(str(path))
    return path


def _alias(folder, row):
    (folder / "alias.hex").symlink_to(row.name)
    return folder / "alias.hex"


# Each refused export: OUT (made in the folder), the extra arguments, the
# exit status and the start of what stderr says. Nothing is written.
REFUSED = {
    "out-names-the-row-file": (_alias, [], 2, "rowmint-export: error: {out} names the row file {row}"),
    "out-is-a-folder": (lambda d, row: d / "sub.hex", [], 2, "rowmint-export: error: {out} is a folder"),
    "out-is-a-device": (lambda d, row: Path(os.devnull), ["--format", "bin"], 2,
                        "rowmint-export: error: {out} is a device"),
    "out-is-a-pipe": (lambda d, row: _make_fifo(d / "pipe.hex"), [], 2, "rowmint-export: error: {out} is a pipe"),
    "no-format": (lambda d, row: d / "out.srec", [], 2, "rowmint-export: error: {out}: cannot tell the format"),
    "suffix-says-otherwise": (lambda d, row: d / "out.hex", ["--format", "bin"], 2,
                              "rowmint-export: error: {out}: the suffix says hex"),
    "fill-for-hex": (lambda d, row: d / "out.hex", ["--fill", "0xFF"], 2,
                     "rowmint-export: error: a fill byte applies to a binary output only"),
    "row-file-too-large": (lambda d, row: d / "out.bin", ["--big"], 2,
                           "{row}: error: the file is larger than 1048576 bytes"),
    "row-file-with-errors": (lambda d, row: d / "out.hex", ["--damaged"], 1,
                             "{row}:3: error: row 0x023: the row checksum is"),
    "row-file-is-an-elf": (lambda d, row: d / "out.hex", ["--elf"], 2,
                           "{row}: error: this is an ELF file, not a row file"),
}


@posix_only
@pytest.mark.parametrize("case", sorted(REFUSED))
def test_rowmint_export_refuses_before_writing(row_files, tmp_path, capsys, case):
    make_out, extra, status, message = REFUSED[case]
    row = tmp_path / "app.cyacd"
    lines = row_files["blinky"].read_text().splitlines()
    if "--damaged" in extra:
        wrong_checksum(lines)
    row.write_text("".join(line + "\n" for line in lines) + ("x" * (1 << 20) if "--big" in extra else ""))
    if "--elf" in extra:
        shutil.copyfile(str(ELF_DIR / "blinky.elf"), str(row))
    (tmp_path / "sub.hex").mkdir()
    out = make_out(tmp_path, row)
    if not out.exists():
        out.write_bytes(b"old")
    before = sorted(os.listdir(str(tmp_path))), out.read_bytes() if out.is_file() else None
    args = [row, out] + [arg for arg in extra if arg not in ("--damaged", "--big", "--elf")]
    assert exit_status(export_main, args) == status
    assert capsys.readouterr().err.startswith(message.format(out=out, row=row))
    assert (sorted(os.listdir(str(tmp_path))), out.read_bytes() if out.is_file() else None) == before


@posix_only
def test_an_export_replaces_the_file_a_link_names_keeping_its_mode(row_files, tmp_path, capsys):
    target = tmp_path / "target.bin"
    target.write_bytes(b"old")
    target.chmod(0o640)
    (tmp_path / "link.bin").symlink_to("target.bin")
    assert exit_status(export_main, [row_files["blinky"], tmp_path / "link.bin"]) == 0
    assert sorted(os.listdir(str(tmp_path))) == ["link.bin", "target.bin"]
    assert (tmp_path / "link.bin").is_symlink() and stat.S_IMODE(target.stat().st_mode) == 0o640
    assert target.read_bytes() == b"".join(row.data for row in read_row_file(row_files["blinky"]).rows)


@pytest.mark.parametrize("command", ["rowmint-diff", "rowmint-export"])
@pytest.mark.parametrize("args, status, out", [
    (["--version"], 0, "1.00\n"), (["--help"], 0, "usage: "), (["missing.cyacd", "x.hex"], 2, ""),
])
def test_the_commands_answer_in_one_line(tmp_path, command, args, status, out):
    script = BIN / (command + (".exe" if os.name == "nt" else ""))
    done = subprocess.run([str(script)] + args, cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert done.returncode == status and done.stdout.startswith(out)
    assert done.stderr == "" if status == 0 else re.fullmatch(r"missing\.cyacd: error: [^\n]+\n", done.stderr)


# A name the terminal cannot encode is printed escaped, and the command's
# work still counts as done.
@posix_only
@pytest.mark.parametrize("command, second, printed", [
    ("rowmint-diff", b"n\xff.cyacd", b"n\\udcff.cyacd and n\\udcff.cyacd hold the same rows: "),
    ("rowmint-export", b"o\xff.bin", b"o\\udcff.bin: binary image of "),
])
def test_names_the_terminal_cannot_encode_are_printed_escaped(row_files, tmp_path, command, second, printed):
    shutil.copy(str(row_files["blinky"]), os.path.join(os.fsencode(str(tmp_path)), b"n\xff.cyacd"))
    done = subprocess.run([os.fsencode(str(BIN / command)), b"n\xff.cyacd", second], cwd=str(tmp_path),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
                          env=dict(os.environ, PYTHONIOENCODING="utf-8:strict"))
    assert (done.returncode, done.stderr) == (0, b"") and done.stdout.startswith(printed)


MAKEFILE = REPO / "examples" / "recipes" / "Makefile"


@pytest.mark.skipif(os.name != "posix" or shutil.which("make") is None, reason="make and a POSIX shell")
@pytest.mark.parametrize("change, status", [("", 0), (" -R .rodata", 2)], ids=["sound", "image-changed"])
def test_the_make_recipe_fails_the_build_on_a_failed_proof(objcopy, row_files, tmp_path, change, status):
    readme = (REPO / "README.md").read_text()
    rule = re.search(r"## In a build\n.*?```make\n(.*?)```", readme, re.S).group(1)
    assert rule in MAKEFILE.read_text()
    shutil.copy(str(ELF_DIR / "blinky.elf"), str(tmp_path))
    done = subprocess.run(
        ["make", "-f", str(MAKEFILE), "blinky.cyacd", "blinky.factory.hex", "OBJCOPY=" + objcopy + change,
         "ROWMINT=" + str(BIN / "rowmint"), "ROWMINT_EXPORT=" + str(BIN / "rowmint-export")],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert done.returncode == status, done.stderr
    made = sorted(os.listdir(str(tmp_path)))
    if status:
        assert made == ["blinky.elf", "blinky.hex"] and "does not match blinky.elf" in done.stderr
    else:
        assert made == ["blinky.cyacd", "blinky.elf", "blinky.factory.hex", "blinky.hex"]
        assert (tmp_path / "blinky.cyacd").read_bytes() == row_files["blinky"].read_bytes()
