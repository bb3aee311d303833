"""The installed type stubs, as a type checker sees them: mypy on small
scripts that use the module, run from a folder outside the source tree so
that only what was installed is found."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

GOOD = """\
from pathlib import Path
from typing import List

import rowmint
from rowmint_tools import Diff, Exported, Report, RowFile, Summary, check, convert, diff, export, read_row_file

version: str = rowmint.__version__
rowmint.main()
line: str = rowmint.replace(0, 2, ":" + "0" * 522, "AB")
line = rowmint.replace(start=0, lenth=2, str=line, repstr="CD")
line = rowmint.replace(0, 2, repstr="EF", str=line)
joined: str = rowmint.os.path.join("a", "b")
argv: List[str] = rowmint.sys.argv
codec: str = rowmint.codecs.lookup("hex").name
flag: bool = bool(rowmint.six.PY3)
rowmint.__test__.clear()
rows: RowFile = read_row_file(Path("app.cyacd"))
report: Report = check("app.cyacd", elf=Path("app.elf"))
sound: bool = report.ok and rows.ok and not report.warnings
summary: Summary = convert(Path("app.elf"), "app.cyacd", tool="objcopy", hex_file=None, check=True)
changes: Diff = diff("old.cyacd", Path("new.cyacd"))
changed_bytes: int = sum(row.count for row in changes.changed_rows) if not changes.same else 0
written: Exported = export(Path("app.cyacd"), "app.bin", format="bin", fill=0xFF)
"""

# Each line one misuse, each of which must be reported on its own line.
BAD = """\
import rowmint, rowmint_tools
rowmint.replace(1, 2, 3)
rowmint.main(1)
rowmint.main(x=1)
rowmint.replace(start="0", lenth=2, str="x", repstr="y")
rowmint.replace(0, 2, "x", "y", "z")
rowmint.replace(0, 2, "x", rep="y")
rowmint.replace(0, 2.5, "x", "y")
number: int = rowmint.__version__
count: int = rowmint.replace(0, 2, "x", "y")
rowmint.convert()
rowmint_tools.convert("app.elf", "app.cyacd", "objcopy")
rowmint_tools.check("app.cyacd", "app.elf")
first_row: str = rowmint_tools.read_row_file("app.cyacd").rows[0].number
rowmint_tools.export("app.cyacd", "app.hex", "hex")
only: str = rowmint_tools.diff("a.cyacd", "b.cyacd").only_old
"""


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("typing")
    cache = folder / ".mypy_cache"

    def run(source, *options):
        script = folder / "script.py"
        script.write_text(textwrap.dedent(source))
        result = subprocess.run(
            [sys.executable, "-m", "mypy", "--cache-dir", str(cache), "--no-error-summary", *options, script.name],
            cwd=str(folder), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            universal_newlines=True, timeout=300)
        return result
    return run


def test_correct_use_passes_strict_checking(mypy_run):
    result = mypy_run(GOOD, "--strict")
    assert result.returncode == 0, result.stdout
    assert "error" not in result.stdout


def test_every_wrong_use_is_flagged_on_its_line(mypy_run):
    result = mypy_run(BAD)
    assert result.returncode == 1, result.stdout
    flagged = {int(n) for n in re.findall(r"^script\.py:(\d+): error:", result.stdout, re.M)}
    assert flagged == set(range(2, BAD.count("\n") + 1)), result.stdout


def test_the_module_is_typed_not_any(mypy_run):
    result = mypy_run("import rowmint\nreveal_type(rowmint.replace)\nreveal_type(rowmint.main)\n")
    assert result.returncode == 0, result.stdout
    # mypy writes builtin types with or without their module, by version.
    types = re.sub(r"\bbuiltins\.", "", result.stdout)
    assert 'script.py:2: note: Revealed type is "def (start: int, lenth: int, str: str, repstr: str) -> str"' in types
    assert re.search(r'script\.py:3: note: Revealed type is "def \(\)( -> None)?"', types)


def test_the_stubs_match_the_installed_module(mypy_run, tmp_path):
    # stubtest imports the module and reports any public name that the stubs
    # lack, or declare and the module does not have.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "rowmint"],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=300)
    assert result.returncode == 0, result.stdout


def test_the_tools_and_the_launcher_pass_strict_checking(tmp_path):
    # Copies of the installed files: mypy takes files inside site-packages
    # for installed packages, and the launcher is a lone module without py.typed.
    tools, launcher = (importlib.util.find_spec(name).origin for name in ("rowmint_tools", "rowmint_cli"))
    shutil.copytree(os.path.dirname(tools), str(tmp_path / "rowmint_tools"))
    shutil.copy(launcher, str(tmp_path))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / ".mypy_cache"),
         "rowmint_tools", "rowmint_cli.py"],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=300)
    assert result.returncode == 0, result.stdout
