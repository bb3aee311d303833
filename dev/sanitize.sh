#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into a fresh virtual environment and runs the whole test suite under it.
#
# Usage: dev/sanitize.sh [VENV]   (default: /tmp/rowmint-sanitize)
#
# The interpreter itself is not instrumented: the sanitizer runtimes are
# preloaded, and PYTHONMALLOC=malloc sends Python's allocations through the
# instrumented malloc so that out-of-bounds reads of Python objects are seen
# too. Leak detection is off here (the interpreter keeps a great deal alive
# at exit); reference and memory growth are checked by dev/refleak.sh.
#
# Every process the tests start (the shell of os.system, objcopy, child
# interpreters) inherits the preload and the options. AddressSanitizer writes
# its reports to files under VENV/sanitizer-reports; UndefinedBehaviorSanitizer
# prints them and halts the process. Before the suite runs, two small canaries
# show that both reach the script. The script fails if the tests fail, if a
# report file was written, or if a report shows in the test output.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:-/tmp/rowmint-sanitize}
python=${PYTHON:-python3}
cxx=${CXX:-g++}
started=$(date +%s)

tag=sanitize
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"

# ---------------------------------------------------------------- tools
command -v "$cxx" >/dev/null || apt_install g++
command -v cmake >/dev/null || apt_install cmake
command -v nm >/dev/null || apt_install binutils

runtime() {
    local path
    path=$("$cxx" -print-file-name="$1")
    # An unknown name comes back as given, without a folder.
    if [ "$path" = "$1" ] || [ ! -e "$path" ]; then
        return 1
    fi
    readlink -f "$path"
}
if ! asan=$(runtime libasan.so) || ! ubsan=$(runtime libubsan.so); then
    gcc_major=$("$cxx" -dumpversion | cut -d. -f1)
    apt_install "libgcc-${gcc_major}-dev"
    asan=$(runtime libasan.so)
    ubsan=$(runtime libubsan.so)
fi
say "runtimes: $asan $ubsan"

# ---------------------------------------------------------------- build
if [ -e "$venv" ] && [ ! -f "$venv/pyvenv.cfg" ]; then
    say "$venv exists and is not a virtual environment; refusing to replace it" >&2
    exit 2
fi
rm -rf "$venv"
if ! "$python" -m venv "$venv" >/dev/null 2>&1; then
    # Debian's interpreter keeps ensurepip in a package of its own.
    rm -rf "$venv"
    apt_install python3-venv "python$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-venv"
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
say "building the instrumented extension into $venv"
"$venv/bin/python" -m pip install -q --no-cache-dir "$here[test]" \
    -Ccmake.define.ROWMINT_SANITIZE=ON -Ccmake.build-type=Debug

so=$("$venv/bin/python" - <<'EOF'
import importlib.util
print(importlib.util.find_spec("rowmint").origin)
EOF
)
# Without the runtimes among its needs the option did not reach the build.
needed=$(readelf -d "$so")
if ! grep -q 'NEEDED.*libasan' <<<"$needed" || ! grep -q 'NEEDED.*libubsan' <<<"$needed"; then
    say "$so is not instrumented (no libasan/libubsan among its needed libraries)" >&2
    exit 1
fi
say "instrumented: $so"

# ---------------------------------------------------------------- run
reports=$venv/sanitizer-reports
output=$venv/pytest-output.txt

sanitized() {
    env LD_PRELOAD="$asan:$ubsan${LD_PRELOAD:+:$LD_PRELOAD}" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$@"
}

# The harness itself: an overflow in a child process must leave a report,
# and the tests must import the instrumented build.
rm -rf "$reports"
mkdir -p "$reports"
canary='
import ctypes, subprocess, sys
child = """
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
block = libc.malloc(16)
ctypes.memmove(ctypes.create_string_buffer(64), block + 8, 32)
"""
subprocess.run([sys.executable, "-c", child])
'
sanitized "$venv/bin/python" -c "$canary" || true
if ! grep -qs 'heap-buffer-overflow' "$reports"/asan.*; then
    say "the preloaded AddressSanitizer did not report an overflow in a child process" >&2
    exit 1
fi
rm -rf "$reports"
mkdir -p "$reports"
# This UBSan runtime ignores log_path: its reports go to the standard error
# of the process, which halts (exit status 1). From the test process they
# reach the output read below; a child's halt fails the test that started it.
printf 'extern "C" int shift(int value, int by) { return value << by; }\n' >"$venv/ub_canary.cpp"
"$cxx" -shared -fPIC -fsanitize=undefined -fno-sanitize-recover=undefined \
    "$venv/ub_canary.cpp" -o "$venv/ub_canary.so"
if ub_output=$(sanitized "$venv/bin/python" -c \
        'import ctypes, sys; print(ctypes.CDLL(sys.argv[1]).shift(1, 40))' "$venv/ub_canary.so" 2>&1) ||
        ! grep -q 'runtime error: shift exponent' <<<"$ub_output"; then
    say "the preloaded UndefinedBehaviorSanitizer did not halt on undefined behaviour" >&2
    exit 1
fi
imported=$(cd "$here" && sanitized "$venv/bin/python" -c 'import rowmint; print(rowmint.__file__)')
if [ "$imported" != "$so" ]; then
    say "the tests would import $imported, not $so" >&2
    exit 1
fi
say "harness: overflows in child processes and undefined behaviour are caught"

set +e
# The suite's own cache would be written by the instrumented run: keep it apart.
(cd "$here" && sanitized "$venv/bin/python" -m pytest -q -p no:cacheprovider tests) 2>&1 | tee "$output"
status=${PIPESTATUS[0]}
set -e

found=0
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    found=1
    say "sanitizer report $report:"
    cat "$report"
done
# Reports that reached the output all the same (a child that reset the options).
if grep -qE 'ERROR: AddressSanitizer|runtime error:|SUMMARY: (Address|UndefinedBehavior)Sanitizer' "$output"; then
    found=1
    say "sanitizer reports in the test output:"
    grep -nE 'ERROR: AddressSanitizer|runtime error:|SUMMARY: (Address|UndefinedBehavior)Sanitizer' "$output"
fi

elapsed=$(( $(date +%s) - started ))
if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    say "FAILED (pytest exit $status, sanitizer reports: $found) after ${elapsed}s" >&2
    exit 1
fi
say "no sanitizer reports; tests passed in ${elapsed}s"
