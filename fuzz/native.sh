#!/usr/bin/env bash
# Fuzzing with the module's own branches as coverage, under AddressSanitizer.
#
# Builds, in a virtual environment of its own, atheris from source (for its
# runtime that joins libFuzzer and AddressSanitizer) and the module with
# clang's -fsanitize=fuzzer-no-link,address, then runs fuzz/run.sh in it.
# Needs clang with its compiler-rt (Debian: apt-get install clang).
#
# Usage: fuzz/native.sh [SECONDS_PER_TARGET]   (default 300)
# The environment is kept for later runs: $FUZZ_NATIVE_VENV
# (default ${TMPDIR:-/tmp}/rowmint-fuzz-native).
set -euo pipefail

seconds=${1:-300}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
venv=${FUZZ_NATIVE_VENV:-${TMPDIR:-/tmp}/rowmint-fuzz-native}

clang=${CLANG:-}
if [ -z "$clang" ]; then
    for candidate in clang clang-19 clang-18 clang-17 clang-16 clang-15 clang-14; do
        if command -v "$candidate" >/dev/null 2>&1; then clang=$candidate; break; fi
    done
fi
[ -n "$clang" ] || { echo "fuzz: no clang found (set CLANG)" >&2; exit 1; }
clangxx=${clang/clang/clang++}

if [ ! -x "$venv/bin/python" ]; then
    python3 -m venv "$venv"
    "$venv/bin/pip" install -q --upgrade pip
    "$venv/bin/pip" install -q six
fi
site=$("$venv/bin/python" -c "import sysconfig; print(sysconfig.get_paths()['purelib'])")
if [ ! -f "$site/asan_with_fuzzer.so" ]; then
    CLANG_BIN=$(command -v "$clang") "$venv/bin/pip" install -q --no-binary atheris --force-reinstall atheris
fi
CXX=$clangxx "$venv/bin/pip" install -q --force-reinstall --no-deps "$repo" \
    -C "cmake.define.CMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer -g -O1" \
    -C "build-dir=$venv/build"

export PYTHON=$venv/bin/python
export FUZZ_PRELOAD=$site/asan_with_fuzzer.so
export FUZZ_OPTIONS="-detect_leaks=0 -rss_limit_mb=4096 ${FUZZ_OPTIONS:-}"
# The interpreter's allocations go through malloc, so that the sanitizer
# sees the buffers of the objects the module works on.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:quarantine_size_mb=64:allocator_may_return_null=1}
exec bash "$here/run.sh" "$seconds"
