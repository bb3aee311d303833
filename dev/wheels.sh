#!/usr/bin/env bash
# Every distribution rowmint ships, built on this Linux machine into dist/ and
# audited: the sdist, then from it, with Zig's C++ compiler through the CMake
# toolchain files in cmake/toolchains/ and scikit-build-core, the wheels for
# manylinux2014 x86_64 and aarch64 (glibc 2.17), 64-bit Windows (universal C
# runtime) and macOS 11.0 universal2 (x86_64 and arm64 joined by llvm-lipo).
# Every source compiles with -Wconversion -Werror.
#
# Audits: every wheel's tags, license text and abi3audit (dev/wheels/
# audit_wheel.py); manylinux: `auditwheel show` and the exports; Windows: the
# import and export tables (dev/wheels/audit_pe.py) and a load under Wine;
# macOS: both slices (dev/wheels/audit_macho.py); the sdist: installed in a
# fresh virtual environment of the oldest CPython found, the test suite passes
# from its unpacked tree.
# Last, cibuildwheel lists the builds that pyproject.toml asks of it.
#
# Usage: dev/wheels.sh [WORKDIR]   (default: /tmp/rowmint-wheels)
# DIST names the output folder (default: dist/ in the checkout; its rowmint
# files are replaced). WORKDIR keeps the tools' virtual environment, Zig's
# cache (its C++ runtime builds for each target) and a Wine prefix for the
# next run; what is missing (Wine, LLVM, MinGW-w64's objdump) is installed
# with apt-get.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/rowmint-wheels}
dist=${DIST:-$here/dist}
python=${PYTHON:-python3}
started=$(date +%s)

tag=wheels
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"
tools=$here/dev/wheels

# ---------------------------------------------------------------- tools
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
newest_llvm() { ls -d /usr/lib/llvm-*/bin 2>/dev/null | sort -V | tail -n 1; }
missing=()
[ -x "$wine" ] && [ -x "$wineserver" ] || missing+=(wine64)
command -v x86_64-w64-mingw32-objdump >/dev/null || missing+=(binutils-mingw-w64-x86-64)
command -v nm >/dev/null || missing+=(binutils)
llvm=$(newest_llvm)
[ -n "$llvm" ] && [ -x "$llvm/llvm-lipo" ] || missing+=(llvm)
[ "${#missing[@]}" -eq 0 ] || apt_install "${missing[@]}"
llvm=$(newest_llvm)

venv=$work/venv
if [ -e "$venv" ] && [ ! -f "$venv/pyvenv.cfg" ]; then
    fail "$venv exists and is not a virtual environment; refusing to replace it"
fi
mkdir -p "$work"
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
fi
# The cibuildwheel major that .github/workflows/wheels.yml pins.
"$venv/bin/python" -m pip install -q --disable-pip-version-check ziglang abi3audit abi3info auditwheel \
    build wheel scikit-build-core cmake ninja packaging "cibuildwheel>=4.3,<5"
export PATH=$venv/bin:$PATH
zig=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG=$zig ZIG_GLOBAL_CACHE_DIR=$work/zig-cache
say "zig $("$zig" version), $(cmake --version | head -n 1), LLVM tools in $llvm"

# ---------------------------------------------------------------- headers and python3.dll
# Python.h includes "pyconfig.h" in quotes, which finds the file beside it
# before any -I folder: each target family gets a copy of the interpreter's
# headers with its own pyconfig.h.
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
if [ ! -f "$include/Python.h" ] && [ "${include#/usr/}" != "$include" ]; then
    apt_install python3-dev
fi
[ -f "$include/Python.h" ] || fail "no Python.h in $include (the interpreter's headers are missing)"
for family in windows unix; do
    rm -rf "$work/include-$family"
    cp -R "$include" "$work/include-$family"
    cp "$here/dev/$family/pyconfig.h" "$work/include-$family/pyconfig.h"
done
probe() { # ZIG_TARGET FAMILY: the headers give the target's types and layouts
    "$zig" c++ -target "$1" -std=c++17 -Wall -Wextra -Wconversion -Werror -DPy_LIMITED_API=0x03070000 \
        -isystem "$work/include-$2" -I "$here/src" -c "$here/dev/probe.cpp" -o "$work/probe.o" ||
        fail "the headers do not give $1's types and struct layouts (dev/probe.cpp)"
}
probe x86_64-windows-gnu windows
for target in x86_64-linux-gnu.2.17 aarch64-linux-gnu.2.17 x86_64-macos.11.0 aarch64-macos.11.0; do
    probe "$target" unix
done

# python3.dll as far as 3.7 goes: an import library to link against, and a
# DLL of stubs (only PyModuleDef_Init does anything) for the load under Wine.
python3=$work/python3
rm -rf "$python3"
mkdir -p "$python3"
"$venv/bin/python" "$tools/stable_abi.py" "$python3"
"$zig" dlltool -m i386:x86-64 -d "$python3/python3.def" -l "$python3/libpython3.dll.a" -D python3.dll
{
    printf '#include <stdio.h>\n#include <stdlib.h>\n'
    printf '__attribute__((noreturn)) static void called(const char* name)\n'
    printf '{ fprintf(stderr, "rowmint.pyd called %%s while loading\\n", name); exit(3); }\n'
    awk '$1 == "LIBRARY" || $1 == "EXPORTS" { next }
         $2 == "DATA" { printf "__declspec(dllexport) char %s[256];\n", $1; next }
         $1 == "PyModuleDef_Init" { print "__declspec(dllexport) void* PyModuleDef_Init(void* definition) { return definition; }"; next }
         { printf "__declspec(dllexport) void* %s(void) { called(\"%s\"); }\n", $1, $1 }' "$python3/python3.def"
} >"$python3/python3_stubs.c"

# ---------------------------------------------------------------- sdist
mkdir -p "$dist"
rm -f "$dist"/rowmint-*.tar.gz "$dist"/rowmint-*.whl
say "building the sdist"
"$venv/bin/python" -m build -q --sdist --no-isolation --outdir "$dist" "$here" >"$work/sdist.log" 2>&1 ||
    { cat "$work/sdist.log" >&2; fail "the sdist does not build"; }
sdist=$(ls "$dist"/rowmint-*.tar.gz)
tar -tzf "$sdist" | grep -x 'rowmint-[^/]*/LICENSE' >/dev/null || fail "the sdist lacks LICENSE"

# ---------------------------------------------------------------- wheels
# build_from_sdist NAME PLATFORM OUTPUT [CMAKE ARGUMENTS]: one wheel from the
# sdist with cmake/toolchains/NAME.cmake, tagged PLATFORM (as sysconfig
# spells it), into OUTPUT. A failure leaves build-NAME.failed beside its log.
build_from_sdist() {
    local name=$1 platform=$2 output=$3 cmake_args
    shift 3
    cmake_args=$(IFS=';'; echo "-DCMAKE_TOOLCHAIN_FILE=$here/cmake/toolchains/$name.cmake;-DROWMINT_WARNINGS_AS_ERRORS=ON;$*")
    "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
        -C "cmake.args=$cmake_args" -C "env._PYTHON_HOST_PLATFORM=$platform" -w "$output" "$sdist" \
        >>"$work/build-$name.log" 2>&1 || touch "$work/build-$name.failed"
}
# FindPython takes the import library for a DLL's only with the DLL beside
# it: the stubs come first.
build_for_windows() {
    "$zig" cc -target x86_64-windows-gnu -O1 -shared -o "$python3/python3.dll" "$python3/python3_stubs.c" \
        >"$work/build-windows-x86_64.log" 2>&1 || { touch "$work/build-windows-x86_64.failed"; return; }
    build_from_sdist windows-x86_64 win-amd64 "$dist" "-DPython_INCLUDE_DIR=$work/include-windows" \
        "-DPython_SABI_LIBRARY=$python3/libpython3.dll.a"
}
# Zig builds each target's C runtime and C++ runtime on first use, much of it
# on one core: one build per core at a time.
in_turn() {
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
    say "building for ${2:-$1}"
    "$@" &
}
rm -f "$work"/build-*.log "$work"/build-*.failed
slices=$work/macos-slices
rm -rf "$slices"
unix_headers=-DPython_INCLUDE_DIR=$work/include-unix
in_turn build_for_windows windows-x86_64
in_turn build_from_sdist linux-x86_64 manylinux2014-x86_64 "$dist" "$unix_headers"
in_turn build_from_sdist linux-aarch64 manylinux2014-aarch64 "$dist" "$unix_headers"
in_turn build_from_sdist macos-x86_64 macosx-11.0-x86_64 "$slices/x86_64" "$unix_headers"
in_turn build_from_sdist macos-arm64 macosx-11.0-universal2 "$slices/arm64" "$unix_headers"
wait
for failed in "$work"/build-*.failed; do
    [ -e "$failed" ] || continue
    cat "${failed%.failed}.log" >&2
    fail "the $(basename "${failed%.failed}" | cut -d- -f2-) wheel does not build"
done
# The arm64 wheel, already tagged universal2, takes the two slices joined.
unpacked=$slices/unpacked
"$venv/bin/python" -m wheel unpack -d "$unpacked" "$slices"/arm64/rowmint-*.whl >/dev/null
"$venv/bin/python" -m wheel unpack -d "$slices/x86_64/unpacked" "$slices"/x86_64/rowmint-*.whl >/dev/null
module_of() { ls "$1"/rowmint-*/rowmint.abi3.so; }
"$llvm/llvm-lipo" -create "$(module_of "$slices/x86_64/unpacked")" "$(module_of "$unpacked")" \
    -output "$slices/rowmint.abi3.so"
cp "$slices/rowmint.abi3.so" "$(module_of "$unpacked")"
"$venv/bin/python" -m wheel pack -d "$dist" "$unpacked"/rowmint-* >/dev/null
say "built: $(cd "$dist" && echo rowmint-*)"

# ---------------------------------------------------------------- audits
wheel_of() { ls "$dist"/rowmint-*-"$1".whl; }
extract() { rm -rf "$2" && "$venv/bin/python" -m zipfile -e "$1" "$2"; }
for platform in manylinux2014_x86_64 manylinux2014_aarch64 win_amd64 macosx_11_0_universal2; do
    say "$platform:"
    "$venv/bin/python" "$tools/audit_wheel.py" "$(wheel_of "$platform")" "$platform" "$venv/bin/abi3audit" ||
        fail "the $platform wheel fails its audit"
done

for arch in x86_64 aarch64; do
    wheel=$(wheel_of "manylinux2014_$arch")
    shown=$("$venv/bin/auditwheel" show "$wheel" 2>&1) || { echo "$shown" >&2; fail "auditwheel cannot read the $arch wheel"; }
    tr -s ' \n' ' ' <<<"$shown" | grep "consistent with the following platform tag: \"manylinux_2_17_$arch\"" >/dev/null ||
        { echo "$shown" >&2; fail "auditwheel does not find the $arch wheel manylinux2014-compatible"; }
    say "$arch: auditwheel: consistent with manylinux_2_17_$arch (manylinux2014)"
    extract "$wheel" "$work/unpacked-$arch"
    exported=$(nm -D --defined-only "$work/unpacked-$arch/rowmint.abi3.so" | awk 'NF == 3 { print $3 }')
    [ "$exported" = PyInit_rowmint ] || fail "the $arch module exports [$(echo $exported)], not only PyInit_rowmint"
    say "$arch: exports PyInit_rowmint only"
done

extract "$(wheel_of win_amd64)" "$work/unpacked-windows"
pyd=$work/unpacked-windows/rowmint.pyd
x86_64-w64-mingw32-objdump -p "$pyd" >"$work/objdump.txt"
"$venv/bin/python" "$tools/audit_pe.py" "$work/objdump.txt" "$python3/stable_abi-windows.tsv" ||
    fail "rowmint.pyd imports or exports more than it may"
# Wine's loader takes rowmint.pyd, resolves its imports against the stub
# python3.dll and the system's DLLs, runs its initialisers and calls
# PyInit_rowmint (dev/windows/load_test.c).
load=$work/load
rm -rf "$load"
mkdir -p "$load"
"$zig" cc -target x86_64-windows-gnu -std=c11 -O1 -Wall -Wextra -Werror -o "$load/load_test.exe" \
    "$here/dev/windows/load_test.c" || fail "dev/windows/load_test.c does not build"
cp "$pyd" "$python3/python3.dll" "$load/"
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
sed "s/^/$tag: /" "$load/output.txt"

extract "$(wheel_of macosx_11_0_universal2)" "$work/unpacked-macos"
"$venv/bin/python" "$tools/audit_macho.py" "$work/unpacked-macos/rowmint.abi3.so" \
    "$python3/stable_abi-unix.tsv" "$llvm" || fail "the macOS module is not what its tag claims"

# ---------------------------------------------------------------- sdist, installed
# Under the oldest CPython found: a source build there sees the oldest headers
# we support, whose declarations (the init function's export among them)
# differ from the newer ones the wheels are built with.
oldest_python() {
    local minor exe
    for minor in 7 8 9 10 11 12 13; do
        exe=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor".*/bin/python3."$minor" 2>/dev/null |
              sort -V | tail -n 1)
        [ -n "$exe" ] || exe=$(command -v python3."$minor" || true)
        if [ -n "$exe" ] && "$exe" -c 'import venv' 2>/dev/null; then echo "$exe"; return; fi
    done
    echo "$python"
}
sdist_python=$(oldest_python)
say "the sdist in a fresh virtual environment ($("$sdist_python" -c 'import platform; print(platform.python_version())'))"
rm -rf "$work/sdist-venv" "$work/sdist-tree"
"$sdist_python" -m venv "$work/sdist-venv"
# --no-cache-dir: pip keeps the wheel it built from an archive under the
# archive's path, and this path is the same every run; a cached wheel would
# test the last run's sources.
"$work/sdist-venv/bin/python" -m pip install -q --disable-pip-version-check --no-cache-dir \
    "rowmint[test] @ file://$sdist" \
    >"$work/sdist-install.log" 2>&1 || { cat "$work/sdist-install.log" >&2; fail "the sdist does not install"; }
mkdir -p "$work/sdist-tree"
tar -xzf "$sdist" -C "$work/sdist-tree"
(cd "$work/sdist-tree"/rowmint-* && "$work/sdist-venv/bin/python" -m pytest -q -p no:cacheprovider) ||
    fail "the tests fail from the unpacked sdist"

# ---------------------------------------------------------------- cibuildwheel
for platform in linux:"cp39-manylinux_x86_64 cp39-manylinux_aarch64" windows:cp39-win_amd64 \
                macos:cp39-macosx_universal2; do
    listed=$(cd "$here" && "$venv/bin/cibuildwheel" --print-build-identifiers --platform "${platform%%:*}" | xargs)
    [ "$listed" = "${platform#*:}" ] || fail "cibuildwheel lists [$listed] for ${platform%%:*}, not [${platform#*:}]"
    say "cibuildwheel, ${platform%%:*}: $listed"
done

say "passed in $(( $(date +%s) - started ))s"
