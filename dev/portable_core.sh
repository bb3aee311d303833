#!/usr/bin/env bash
# The core arithmetic (digit sums, splice positions) on other machines: the
# known-answer program tests/native/core_arithmetic_check.cpp, built with the
# same core source as the module, runs on this host, on a big-endian target
# (s390x, Debian's cross compiler, run under qemu-user) and on a 32-bit
# target (i686, whose Py_ssize_t is 32 bits wide; run directly where the
# kernel runs 32-bit programs, else under qemu-user). Installs what it lacks.
#
# Usage: dev/portable_core.sh [WORKDIR]   (default: /tmp/rowmint-portable-core)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/rowmint-portable-core}
started=$(date +%s)

tag=portable-core
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"

sources=("$here/tests/native/core_arithmetic_check.cpp" "$here/src/formats/core_arithmetic.cpp")

if [ -e "$work" ] && [ ! -f "$work/.portable-core" ]; then
    fail "$work exists and is not this script's folder; refusing to replace it"
fi
rm -rf "$work"
mkdir -p "$work"
touch "$work/.portable-core"

# need COMMAND PACKAGE: the command, installed from Debian when missing.
need() {
    command -v "$1" >/dev/null || apt_install "$2"
    command -v "$1" >/dev/null || fail "$1 is still missing after installing $2"
}
need "${CXX:-g++}" g++
need s390x-linux-gnu-g++ g++-s390x-linux-gnu
need i686-linux-gnu-g++ g++-i686-linux-gnu
need qemu-s390x qemu-user

# build NAME COMPILER: a static program, so that qemu needs no target libraries.
build() {
    local name=$1 compiler=$2
    "$compiler" -std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror -static -I "$here/src" "${sources[@]}" \
        -o "$work/check-$name"
}

# check NAME RUNNER...: runs the program, its lines prefixed with the target.
failed=()
check() {
    local name=$1
    shift
    if "$@" "$work/check-$name" | sed "s/^/$tag: $name: /"; [ "${PIPESTATUS[0]}" -eq 0 ]; then
        return 0
    fi
    failed+=("$name")
}

build host "${CXX:-g++}"
build s390x s390x-linux-gnu-g++
build i686 i686-linux-gnu-g++

# A 32-bit program that runs at all exits 0 or 1; otherwise qemu runs it.
i686_runner=env
"$work/check-i686" >/dev/null 2>&1 || [ $? -eq 1 ] || i686_runner=qemu-i386

check host env
check s390x qemu-s390x
check i686 "$i686_runner"

say "$(( $(date +%s) - started ))s"
[ "${#failed[@]}" -eq 0 ] || fail "the core gives wrong answers on: ${failed[*]}"
say "the core gives the known answers on every target"
