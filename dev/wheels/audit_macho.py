"""The macOS module is what its universal2 tag claims.

Reads rowmint.abi3.so with LLVM's tools: it is a fat Mach-O of exactly the
x86_64 and arm64 slices; each slice is built for macOS 11.0 (the tag's
deployment target), links no library but libSystem, exports _PyInit_rowmint
and otherwise only what Zig's linker cannot hide (see ZIG_EXPORTS), and
leaves to dynamic lookup only names of the stable ABI of 3.7 (the table that
stable_abi.py writes).

Usage: audit_macho.py MODULE STABLE_ABI_TABLE LLVM_BIN_FOLDER
"""

import os
import re
import subprocess
import sys
from typing import Dict, List, Set, Tuple

from stable_abi_table import read_table

SLICES = ["x86_64", "arm64"]
DEPLOYMENT_TARGET = "11.0"
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"
# A dynamic library's header symbols, and libc++'s replaceable operator new
# and delete, which the C++ runtime gives default visibility and Zig's Mach-O
# linker (no -exported_symbols_list) leaves exported. Two-level namespace
# keeps them from replacing anyone else's.
ZIG_EXPORTS = {"__mh_dylib_header", "___dso_handle"}
REPLACEABLE_ALLOCATION = re.compile(r"__Z(nw|na|dl|da)[mPv].*")


def run(tool: List[str]) -> str:
    return subprocess.run(tool, check=True, capture_output=True, text=True).stdout


def load_commands(headers: str) -> Tuple[str, List[Dict[str, str]]]:
    """The file type and each load command's fields, from --private-headers."""
    commands: List[Dict[str, str]] = []
    file_type = ""
    lines = headers.splitlines()
    for index, line in enumerate(lines):
        if line.strip().startswith("magic") and index + 1 < len(lines):
            file_type = lines[index + 1].split()[4]
        elif line.startswith("Load command"):
            commands.append({})
        elif commands:
            parts = line.strip().split(None, 1)
            if len(parts) == 2:
                commands[-1].setdefault(parts[0], parts[1])
    return file_type, commands


def bound_names(binds: str) -> Dict[str, Set[str]]:
    """Names of the bind and lazy-bind tables, by the library they come from
    ("flat-namespace" for dynamic lookup)."""
    found: Dict[str, Set[str]] = {}
    table = ""
    for line in binds.splitlines():
        if line.endswith("table:"):
            table = line
            continue
        fields = line.split()
        if table.startswith(("Bind", "Lazy")) and len(fields) >= 5 and fields[0] != "segment":
            found.setdefault(fields[-2], set()).add(fields[-1])
    return found


def audit_slice(module: str, arch: str, llvm: str, stable: Dict[str, Tuple[int, ...]]) -> bool:
    ok = True

    def say(text: str) -> None:
        print("wheels: %s: %s" % (arch, text))

    objdump = [os.path.join(llvm, "llvm-objdump"), "--macho", "--arch=" + arch]
    file_type, commands = load_commands(run(objdump + ["--private-headers", module]))
    libraries = sorted(c["name"].split(" (")[0] for c in commands
                       if c.get("cmd") in ("LC_LOAD_DYLIB", "LC_LOAD_WEAK_DYLIB", "LC_REEXPORT_DYLIB"))
    targets = sorted({c.get("minos", "") for c in commands if c.get("cmd") == "LC_BUILD_VERSION"})
    say("%s, macOS %s, links %s" % (file_type, ", ".join(targets), ", ".join(libraries)))
    if file_type not in ("DYLIB", "BUNDLE"):
        say("not a module the interpreter can load")
        ok = False
    if targets != [DEPLOYMENT_TARGET]:
        say("built for macOS %s, not the tag's %s" % (", ".join(targets), DEPLOYMENT_TARGET))
        ok = False
    if libraries != [LIBSYSTEM]:
        say("links more than libSystem")
        ok = False

    nm = [os.path.join(llvm, "llvm-nm"), "--arch=" + arch, "-g", "--defined-only", "--just-symbol-name"]
    exports = set(run(nm + [module]).split())
    runtime = {name for name in exports if name in ZIG_EXPORTS or REPLACEABLE_ALLOCATION.fullmatch(name)}
    others = sorted(exports - runtime - {"_PyInit_rowmint"})
    say("exports _PyInit_rowmint%s, and %d names of the C++ runtime's allocation and the library header"
        % ("" if "_PyInit_rowmint" in exports else " NOT", len(runtime)))
    if "_PyInit_rowmint" not in exports or others:
        say("exports more than _PyInit_rowmint: %s" % ", ".join(others))
        ok = False

    bound = bound_names(run(objdump + ["--bind", "--lazy-bind", module]))
    looked_up = {name[1:] for name in bound.pop("flat-namespace", set())}
    outside = sorted(looked_up - set(stable))
    newest = max((stable[name] for name in looked_up if name in stable), default=(0,))
    say("%d names left to dynamic lookup, the newest from %s" % (len(looked_up), ".".join(map(str, newest))))
    if outside or newest > (3, 7):
        say("dynamic lookup of names outside the stable ABI of 3.7: %s" % ", ".join(outside))
        ok = False
    if set(bound) - {"libSystem"}:
        say("names bound to %s" % ", ".join(sorted(set(bound) - {"libSystem"})))
        ok = False
    return ok


def main() -> int:
    module, table_path, llvm = sys.argv[1:]
    stable = read_table(table_path)
    slices = run([os.path.join(llvm, "llvm-lipo"), "-archs", module]).split()
    print("wheels: %s holds %s" % (os.path.basename(module), ", ".join(slices)))
    if sorted(slices) != sorted(SLICES):
        print("wheels: a universal2 module holds exactly %s" % " and ".join(SLICES))
        return 1
    results = [audit_slice(module, arch, llvm, stable) for arch in SLICES]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
