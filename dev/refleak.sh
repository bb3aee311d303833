#!/usr/bin/env bash
# Reference-leak and memory-growth check: builds the extension for Debian's
# debug interpreter and runs tests/memory/refleak_check.py under it, which
# fails if the total reference count, the allocated blocks, malloc's heap or
# the resident set grow over thousands of conversions and replace calls.
#
# Usage: dev/refleak.sh [VENV] [CHECK OPTIONS...]
#        (default VENV: /tmp/rowmint-refleak; options such as --rounds 12
#        go to the check, see its --help)
# PYVER picks the debug interpreter (default 3.11: python3.11-dbg).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=/tmp/rowmint-refleak
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    venv=$1
    shift
fi
pyver=${PYVER:-3.11}
dbg=python${pyver}-dbg
started=$(date +%s)

tag=refleak
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"

# The debug interpreter, its venv module, and its headers: python3.11d/ holds
# the debug pyconfig.h and links the rest to python3.11/ (libpython3.11-dev).
ready() {
    command -v "$dbg" >/dev/null &&
        [ -e "/usr/include/python${pyver}d/Python.h" ] &&
        "$dbg" -c 'import ensurepip, venv, sys; sys.gettotalrefcount' 2>/dev/null
}
if ! ready; then
    apt_install "$dbg" "python${pyver}-venv" "libpython${pyver}-dbg" "libpython${pyver}-dev"
    ready || fail "$dbg is still not usable after the install"
fi
command -v "${CXX:-g++}" >/dev/null || apt_install g++
command -v nm >/dev/null || apt_install binutils

if [ -e "$venv" ] && [ ! -f "$venv/pyvenv.cfg" ]; then
    say "$venv exists and is not a virtual environment; refusing to replace it" >&2
    exit 2
fi
rm -rf "$venv"
"$dbg" -m venv "$venv"
say "building the extension for $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0] + sys.abiflags)')"
# CMake hands the include folder over with -isystem, and GCC then resolves the
# symlinks of system headers: python3.11d/Python.h would become
# python3.11/Python.h, whose "pyconfig.h" is the release one (no Py_DEBUG,
# no reference counting into _Py_RefTotal). Keep the paths as given.
cxx=${CXX:-g++}
if "$cxx" -fno-canonical-system-headers -E -x c++ /dev/null >/dev/null 2>&1; then
    export CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-fno-canonical-system-headers"
fi
# (The debug interpreter shows ResourceWarnings, of which pip has a few.)
PYTHONWARNINGS=ignore::ResourceWarning \
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-cache-dir "$here"

so=$(cd / && "$venv/bin/python" -c 'import rowmint; print(rowmint.__file__)')
# Built against the 3.7 limited API, Py_INCREF and Py_DECREF are inline and
# count into _Py_RefTotal themselves: the extension must refer to it, or its
# references would go uncounted.
undefined=$(nm -D --undefined-only "$so")
if ! grep -qw _Py_RefTotal <<<"$undefined"; then
    say "$so does not count its references into _Py_RefTotal (not a debug build?)" >&2
    exit 1
fi
say "extension: $so (counts into _Py_RefTotal)"
say "set-up took $(( $(date +%s) - started ))s"

status=0
"$venv/bin/python" "$here/tests/memory/refleak_check.py" "$@" || status=$?
say "done in $(( $(date +%s) - started ))s, exit $status"
exit "$status"
