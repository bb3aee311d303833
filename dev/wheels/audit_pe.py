"""The Windows module imports and exports no more than it may.

Reads `objdump -p` of rowmint.pyd: every DLL it imports from is python3.dll
or the system's own (KERNEL32, the universal C runtime api-ms-win-crt-*),
every python3.dll name is in the stable ABI of 3.7 (the table that
stable_abi.py writes), nothing is imported by ordinal, and PyInit_rowmint is
the only export.

Usage: audit_pe.py OBJDUMP_OUTPUT STABLE_ABI_TABLE
"""

import re
import sys
from typing import Dict, List, Optional, Tuple

from stable_abi_table import read_table

SYSTEM_DLL = re.compile(r"kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll")


def import_tables(dump: str) -> Tuple[Dict[str, List[str]], List[str]]:
    """Per DLL a "DLL Name:" line, a column header, one line per name
    ("vma hint name"), then a blank line. Returns the names by DLL and the
    imports made by ordinal."""
    imports: Dict[str, List[str]] = {}
    by_ordinal: List[str] = []
    dll: Optional[str] = None
    for line in dump.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1)
            imports.setdefault(dll, [])
            continue
        if dll is None or "Member-Name" in line:
            continue
        entry = re.match(r"\s+[0-9a-fA-F]+\s+\d+\s+(\S+)\s*$", line)
        if not entry:
            dll = None
        elif entry.group(1).startswith("<"):
            by_ordinal.append("%s: %s" % (dll, line.strip()))
        else:
            imports[dll].append(entry.group(1))
    return imports, by_ordinal


def table_lines(dump: str, title: str, pattern: str) -> List[str]:
    """The entries of one export table, up to its first other line."""
    if title not in dump:
        return []
    found = []
    for line in dump.split(title, 1)[1].splitlines()[1:]:
        entry = re.match(pattern, line)
        if not entry:
            break
        found.append(entry.group(1))
    return found


def main() -> int:
    dump_path, table_path = sys.argv[1:]
    stable = read_table(table_path)
    with open(dump_path) as dump_file:
        dump = dump_file.read()
    if "file format pei-x86-64" not in dump:
        print("wheels: rowmint.pyd is not a 64-bit Windows image")
        return 1
    ok = True
    imports, by_ordinal = import_tables(dump)
    for line in by_ordinal:
        print("wheels: an import by ordinal, not by name: %s" % line)
        ok = False
    for name in sorted(imports, key=str.lower):
        print("wheels: rowmint.pyd imports %d names from %s" % (len(imports[name]), name))
        if name != "python3.dll" and not SYSTEM_DLL.fullmatch(name.lower()):
            print("wheels:   %s is neither python3.dll nor the system's own" % name)
            ok = False

    python_names = imports.get("python3.dll", [])
    outside = sorted(set(python_names) - set(stable))
    if outside:
        print("wheels: python3.dll names outside the stable ABI of 3.7: %s" % ", ".join(outside))
        ok = False
    known = [stable[name] for name in python_names if name in stable]
    if known:
        newest = max(known)
        print("wheels: python3.dll: %d names, the newest from %d.%d (%s)" % (
            len(python_names), newest[0], newest[1],
            ", ".join(sorted(name for name in python_names if stable.get(name) == newest))))

    # The address table has one line per export ("[ 0] +base[ 1] RVA ..."),
    # the name table one per exported name.
    addresses = table_lines(dump, "Export Address Table -- Ordinal Base",
                            r"\s*\[\s*\d+\]\s+\+base\[\s*\d+\]\s+(\S+)")
    exports = table_lines(dump, "[Ordinal/Name Pointer] Table", r"\s*\[\s*\d+\]\s+(\S+)\s*$")
    if len(addresses) != len(exports):
        print("wheels: rowmint.pyd has %d exports, %d of them by name" % (len(addresses), len(exports)))
        ok = False
    print("wheels: rowmint.pyd exports: %s" % (", ".join(exports) or "nothing"))
    if exports != ["PyInit_rowmint"]:
        print("wheels: the only export must be PyInit_rowmint")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
