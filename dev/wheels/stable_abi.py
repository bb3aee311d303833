"""The stable ABI of CPython 3.7, from abi3info (CPython's own manifest).

Writes into a folder:
- python3.def: python3.dll's functions and data as far as 3.7 goes, from
  which an import library is made;
- stable_abi-windows.tsv and stable_abi-unix.tsv: name, kind and the version
  that added it, for the names a module may take from the interpreter on
  Windows and on Linux and macOS.
"""

import sys
from pathlib import Path
from typing import List, Optional, Set, Tuple

import abi3info
from abi3info.models import PyVersion

NEWEST = PyVersion(3, 7)
Entry = Tuple[str, str, PyVersion]


def macros_on(windows: bool) -> Set[str]:
    """Feature macros the interpreter is built with; "maybe" ones (debug
    builds, stack checks) are not."""
    found = set()
    for name, macro in abi3info.FEATURE_MACROS.items():
        if macro.windows == "maybe":
            continue
        if windows and macro.windows is True:
            found.add(name)
        if not windows and name != "MS_WINDOWS":
            found.add(name)
    return found


def entries(windows: bool) -> List[Entry]:
    macros = macros_on(windows)
    found: List[Entry] = []
    for kind, table in (("function", abi3info.FUNCTIONS), ("data", abi3info.DATAS)):
        for symbol, item in table.items():
            ifdef: Optional[str] = item.ifdef.name if item.ifdef is not None else None
            if item.added <= NEWEST and (ifdef is None or ifdef in macros):
                found.append((symbol.name, kind, item.added))
    return sorted(found)


def write_table(path: Path, table: List[Entry]) -> None:
    path.write_text("".join("%s\t%s\t%s\n" % (name, kind, added) for name, kind, added in table))


def write_def(path: Path, table: List[Entry]) -> None:
    lines = ["LIBRARY python3.dll", "EXPORTS"]
    lines += ["    %s%s" % (name, " DATA" if kind == "data" else "") for name, kind, _ in table]
    path.write_text("\n".join(lines) + "\n")


def main() -> None:
    folder = Path(sys.argv[1])
    windows = entries(windows=True)
    write_def(folder / "python3.def", windows)
    write_table(folder / "stable_abi-windows.tsv", windows)
    write_table(folder / "stable_abi-unix.tsv", entries(windows=False))
    print("wheels: python3.def: %d functions and %d data of the stable ABI up to 3.7"
          % (sum(kind == "function" for _, kind, _ in windows), sum(kind == "data" for _, kind, _ in windows)))


if __name__ == "__main__":
    main()
