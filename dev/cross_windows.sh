#!/usr/bin/env bash
# The extension builds and links for 64-bit Windows: cross-compiles every
# source under src/ with MinGW-w64 against the stable ABI of 3.7, links
# rowmint.pyd against an import library of python3.dll, reads its import and
# export tables, and loads it under Wine. Fails on any compiler warning, on an
# import from a DLL other than python3.dll, KERNEL32.dll and the C runtime
# (msvcrt.dll, api-ms-win-crt-*), on a python3.dll name outside the stable
# ABI of 3.7, on any export but PyInit_rowmint, and when the module does not
# load. Prints the DLLs imported, the count of python3.dll names and the
# newest stable-ABI version among them, and the exports.
#
# python3.dll's names come from abi3info (CPython's stable-ABI manifest); the
# headers are the host interpreter's, with dev/windows/pyconfig.h beside them.
# What is missing (MinGW-w64, Wine) is installed with apt-get.
#
# Usage: dev/cross_windows.sh [WORKDIR]   (default: /tmp/rowmint-windows)
# WORKDIR gets a virtual environment for abi3info, the headers, the import
# library, the objects, rowmint.pyd and a Wine prefix (about 700 MB, kept for
# the next run).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/rowmint-windows}
python=${PYTHON:-python3}
started=$(date +%s)

tag=windows
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"

# ---------------------------------------------------------------- tools
# The win32 thread flavour: no winpthread DLL to ship, and a smaller install.
target=x86_64-w64-mingw32
cxx=$target-g++-win32
cc=$target-gcc-win32
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
missing=()
for tool in "$cxx" "$cc" "$target-dlltool" "$target-objdump"; do
    command -v "$tool" >/dev/null || missing=(g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64)
done
[ -x "$wine" ] && [ -x "$wineserver" ] || missing+=(wine64)
[ "${#missing[@]}" -eq 0 ] || apt_install "${missing[@]}"
say "compiler: $("$cxx" --version | head -n 1)"

venv=$work/venv
if [ -e "$venv" ] && [ ! -f "$venv/pyvenv.cfg" ]; then
    fail "$venv exists and is not a virtual environment; refusing to replace it"
fi
mkdir -p "$work"
if ! "$venv/bin/python" -c 'import abi3info' 2>/dev/null; then
    rm -rf "$venv"
    if ! "$python" -m venv "$venv" >/dev/null 2>&1; then
        # Debian's interpreter keeps ensurepip in a package of its own.
        rm -rf "$venv"
        apt_install python3-venv "python$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-venv"
        "$python" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check abi3info
fi

# ---------------------------------------------------------------- headers
# Python.h includes "pyconfig.h" in quotes, which finds the file beside it
# before any -I folder: the Windows one goes into a copy of the folder.
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
if [ ! -f "$include/Python.h" ] && [ "${include#/usr/}" != "$include" ]; then
    apt_install python3-dev
fi
[ -f "$include/Python.h" ] || fail "no Python.h in $include (the interpreter's headers are missing)"
headers=$work/include
rm -rf "$headers"
cp -R "$include" "$headers"
cp "$here/dev/windows/pyconfig.h" "$headers/pyconfig.h"
say "headers: $include, with dev/windows/pyconfig.h"

flags=(-std=c++17 -O2 -Wall -Wextra -Wconversion -Werror -DPy_LIMITED_API=0x03070000
       -isystem "$headers" -I src)
cd "$here"
"$cxx" "${flags[@]}" -fsyntax-only dev/windows/probe.cpp ||
    fail "the headers do not give 64-bit Windows' types and struct layouts (dev/windows/probe.cpp)"

# ---------------------------------------------------------------- import library
# python3.dll's functions and data as far as 3.7 goes: the stable ABI's
# entries added in 3.7 or earlier, present on Windows.
"$venv/bin/python" - "$work/python3.def" "$work/stable_abi.tsv" <<'EOF' || fail "could not write python3.def"
import sys
import abi3info
from abi3info.models import PyVersion

def_path, table_path = sys.argv[1:]
newest = PyVersion(3, 7)
# Feature macros python3.dll is built with; "maybe" ones (debug builds, stack
# checks) are not.
on_windows = {name for name, macro in abi3info.FEATURE_MACROS.items() if macro.windows is True}

entries = []
for kind, table in (("function", abi3info.FUNCTIONS), ("data", abi3info.DATAS)):
    for symbol, item in table.items():
        if item.added <= newest and (item.ifdef is None or item.ifdef.name in on_windows):
            entries.append((symbol.name, kind, item.added))
entries.sort()
with open(def_path, "w") as out:
    out.write("LIBRARY python3.dll\nEXPORTS\n")
    for name, kind, _ in entries:
        out.write("    %s%s\n" % (name, " DATA" if kind == "data" else ""))
with open(table_path, "w") as out:
    for name, kind, added in entries:
        out.write("%s\t%s\t%s\n" % (name, kind, added))
print("windows: python3.def: %d functions and %d data of the stable ABI up to 3.7"
      % (sum(kind == "function" for _, kind, _ in entries), sum(kind == "data" for _, kind, _ in entries)))
EOF
"$target-dlltool" -d "$work/python3.def" -l "$work/libpython3.a" -D python3.dll

# ---------------------------------------------------------------- compile
mapfile -t sources < <(find src -name '*.cpp' | LC_ALL=C sort)
[ "${#sources[@]}" -gt 0 ] || fail "no sources under src/"
objects=$work/objects
rm -rf "$objects"
mkdir -p "$objects"
# src/convert/main.cpp -> WORKDIR/objects/convert_main.cpp.o
object_of() { printf '%s/%s.o' "$objects" "$(printf '%s' "${1#src/}" | tr / _)"; }
compile() {
    local object
    object=$(object_of "$1")
    "$cxx" "${flags[@]}" -c "$1" -o "$object" >"$object.log" 2>&1 || touch "$object.failed"
}
say "compiling ${#sources[@]} sources: ${flags[*]}"
for source in "${sources[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
    compile "$source" &
done
wait
failed=0
for source in "${sources[@]}"; do
    object=$(object_of "$source")
    cat "$object.log" >&2
    if [ -e "$object.failed" ]; then failed=$((failed + 1)); fi
done
if [ "$failed" -gt 0 ]; then
    say "diagnostics:" >&2
    cat "$objects"/*.log | grep -E '^src/[^:]+:[0-9]+:[0-9]+: (error|warning):' | sed 's/^/    /' >&2 || true
    fail "$failed of ${#sources[@]} sources do not compile cleanly for Windows"
fi

# ---------------------------------------------------------------- link
pyd=$work/rowmint.pyd
rm -f "$pyd"
"$cxx" -shared -static-libgcc -static-libstdc++ -Wl,--no-undefined -o "$pyd" \
    "$objects"/*.o "$work/libpython3.a" || fail "rowmint.pyd does not link"
say "linked $pyd ($(stat -c %s "$pyd") bytes)"

# ---------------------------------------------------------------- audit
"$target-objdump" -p "$pyd" >"$work/objdump.txt"
"$venv/bin/python" - "$work/objdump.txt" "$work/stable_abi.tsv" <<'EOF' || fail "rowmint.pyd imports or exports more than it may"
import re, sys

dump_path, table_path = sys.argv[1:]
stable = {}
with open(table_path) as table:
    for line in table:
        name, kind, added = line.rstrip("\n").split("\t")
        stable[name] = tuple(int(part) for part in added.split("."))

dump = open(dump_path).read()
if "file format pei-x86-64" not in dump:
    print("windows: not a 64-bit Windows image")
    sys.exit(1)

# Import tables: per DLL a "DLL Name:" line, a column header, one line per
# name ("vma hint name"), then a blank line.
imports, dll, ok = {}, None, True
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
        print("windows: an import from %s by ordinal, not by name: %s" % (dll, line.strip()))
        ok = False
    else:
        imports[dll].append(entry.group(1))

def system_dll(name):
    lower = name.lower()
    return lower in ("kernel32.dll", "msvcrt.dll") or re.fullmatch(r"api-ms-win-crt-[a-z0-9-]+\.dll", lower)

for name in sorted(imports, key=str.lower):
    print("windows: imports %d names from %s" % (len(imports[name]), name))
    if name != "python3.dll" and not system_dll(name):
        print("windows:   %s is neither python3.dll nor the system's own" % name)
        ok = False

python_names = imports.get("python3.dll", [])
outside = sorted(set(python_names) - set(stable))
if outside:
    print("windows: python3.dll names outside the stable ABI of 3.7: %s" % ", ".join(outside))
    ok = False
known = [stable[name] for name in python_names if name in stable]
if known:
    newest = max(known)
    print("windows: python3.dll: %d names, the newest from %d.%d (%s)" % (
        len(python_names), newest[0], newest[1],
        ", ".join(sorted(name for name in python_names if stable.get(name) == newest))))

# Export table: the address table has one line per export ("[ 0] +base[ 1]
# RVA ..."), the name table one per exported name.
def table_lines(title, pattern):
    if title not in dump:
        return []
    found = []
    for line in dump.split(title, 1)[1].splitlines()[1:]:
        entry = re.match(pattern, line)
        if not entry:
            break
        found.append(entry.group(1))
    return found

addresses = table_lines("Export Address Table -- Ordinal Base", r"\s*\[\s*\d+\]\s+\+base\[\s*\d+\]\s+(\S+)")
exports = table_lines("[Ordinal/Name Pointer] Table", r"\s*\[\s*\d+\]\s+(\S+)\s*$")
if len(addresses) != len(exports):
    print("windows: %d exports, %d of them by name" % (len(addresses), len(exports)))
    ok = False
print("windows: exports: %s" % (", ".join(exports) or "nothing"))
if exports != ["PyInit_rowmint"]:
    print("windows: the only export must be PyInit_rowmint")
    ok = False
sys.exit(0 if ok else 1)
EOF

# ---------------------------------------------------------------- load test
# Wine's loader takes rowmint.pyd, resolves its imports against a python3.dll
# of stubs (every name of python3.def; only PyModuleDef_Init does anything)
# and the system's DLLs, runs its initialisers and calls PyInit_rowmint.
load=$work/load
rm -rf "$load"
mkdir -p "$load"
{
    printf '#include <stdio.h>\n#include <stdlib.h>\n'
    printf '__attribute__((noreturn)) static void called(const char* name)\n'
    printf '{ fprintf(stderr, "rowmint.pyd called %%s while loading\\n", name); exit(3); }\n'
    awk '$1 == "LIBRARY" || $1 == "EXPORTS" { next }
         $2 == "DATA" { printf "__declspec(dllexport) char %s[256];\n", $1; next }
         $1 == "PyModuleDef_Init" { print "__declspec(dllexport) void* PyModuleDef_Init(void* definition) { return definition; }"; next }
         { printf "__declspec(dllexport) void* %s(void) { called(\"%s\"); }\n", $1, $1 }' "$work/python3.def"
} >"$load/python3_stubs.c"
"$cc" -O1 -shared -o "$load/python3.dll" "$load/python3_stubs.c" || fail "the stub python3.dll does not build"
"$cc" -std=c11 -O1 -Wall -Wextra -Werror -o "$load/load_test.exe" dev/windows/load_test.c ||
    fail "dev/windows/load_test.c does not build"
cp "$pyd" "$load/"
# Wine binds a name a DLL lacks to a stub of its own and says so only among
# the loader's warnings.
export WINEPREFIX=$work/wine-prefix WINEDEBUG=warn+module
trap '"$wineserver" -k 2>/dev/null || true' EXIT
say "loading rowmint.pyd under $("$wine" --version)"
if ! (cd "$load" && timeout 300 "$wine" load_test.exe) >"$load/output.txt" 2>"$load/wine.log"; then
    cat "$load/output.txt" "$load/wine.log" >&2
    fail "rowmint.pyd does not load under Wine"
fi
if grep 'No implementation for' "$load/wine.log" >&2; then
    fail "rowmint.pyd imports names its DLLs do not have"
fi
sed 's/^/windows: /' "$load/output.txt"

say "passed in $(( $(date +%s) - started ))s"
