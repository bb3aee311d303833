#!/usr/bin/env bash
# One wheel, every interpreter it claims: builds the cp37-abi3 wheel once with
# the main interpreter, then, under each other CPython from 3.7 on that is
# found, makes a virtual environment with that interpreter, installs the
# wheel and whichever test dependencies install on that version, and runs the
# test suite from the checkout against the installed wheel: all of it when
# every dependency installed, otherwise the test modules that need none of
# the missing ones (modules that skip themselves without a dependency stay in).
# The suite runs under the interpreter's debug memory allocator
# (PYTHONMALLOC=debug), which fills freed memory, so that a reference the
# module uses after its owner let go of it fails there rather than passing by
# chance.
#
# Usage: dev/every_python.sh [WORKDIR]   (default: /tmp/rowmint-every-python)
#
# PYTHON is the main interpreter (default: python3): it builds the wheel, and
# its own version is left to the main test run. WHEEL names a wheel built
# already (dev/wheels.sh's manylinux one, say): it is tested instead, under
# the main interpreter's version as well. Interpreters are looked for
# in pyenv's versions folder (the newest 3.N.x of each 3.N) and as python3.N
# on PATH. A version from 3.7 to 3.13 that is not found is skipped with a line
# saying so. Fails if the wheel does not install somewhere or a test fails.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/rowmint-every-python}
python=${PYTHON:-python3}
pyenv_versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
expected_minors="7 8 9 10 11 12 13"
started=$(date +%s)

tag=every-python
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"

# The CPython 3.N at the given path, if it runs and is one.
is_cpython() {
    local exe=$1 minor=$2
    [ -x "$exe" ] || return 1
    [ "$("$exe" -c 'import sys; print(sys.implementation.name, *sys.version_info[:2])' 2>/dev/null)" = "cpython 3 $minor" ]
}

# The interpreter for 3.N: pyenv's newest 3.N.x (free-threaded builds, which
# take no stable-ABI wheels, left out), else python3.N on PATH.
find_python() {
    local minor=$1 folder exe
    if [ -d "$pyenv_versions" ]; then
        while read -r folder; do
            exe=$pyenv_versions/$folder/bin/python3.$minor
            if is_cpython "$exe" "$minor"; then echo "$exe"; return 0; fi
        done < <(ls "$pyenv_versions" | grep -E "^3\.$minor\.[0-9]+$" | sort -rV)
    fi
    exe=$(command -v "python3.$minor" || true)
    if [ -n "$exe" ] && is_cpython "$exe" "$minor"; then echo "$exe"; return 0; fi
    return 1
}

# The module a test imports for a distribution of the test extra.
import_name() {
    case $1 in
        pyelftools) echo elftools ;;
        *) echo "$1" ;;
    esac
}

main_version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
say "main interpreter: $("$python" -c 'import sys; print(sys.executable)') ($main_version)"

wheels=$work/wheel
if [ -e "$work" ] && [ ! -f "$work/.every-python" ]; then
    fail "$work exists and is not this script's folder; refusing to replace it"
fi
rm -rf "$work"
mkdir -p "$wheels"
touch "$work/.every-python"

if [ -n "${WHEEL:-}" ]; then
    [ -f "$WHEEL" ] || fail "no wheel at $WHEEL"
    wheel=$WHEEL
    say "wheel: $(basename "$wheel")"
else
    build_wheel "$python" "$wheels"
fi

# The test extra's requirements, as the wheel declares them.
mapfile -t test_requirements < <(wheel_test_requirements "$python" "$wheel")
[ "${#test_requirements[@]}" -gt 0 ] || fail "the wheel declares no test requirements"
say "test requirements: ${test_requirements[*]}"

# Runs the tests under one interpreter; returns non-zero when they fail.
test_under() {
    local version=$1 exe=$2 venv=$work/venv-$version log=$work/pip-$version.log
    local requirement name module missing=() ignore=()
    if ! "$exe" -m venv "$venv" >"$log" 2>&1; then
        say "$version: skipped: cannot make a virtual environment with $exe ($(tail -n 1 "$log"))"
        return 0
    fi
    local vpython=$venv/bin/python
    "$vpython" -m pip install -q --disable-pip-version-check --upgrade pip >>"$log" 2>&1 ||
        say "$version: pip stays at $("$vpython" -m pip --version | cut -d' ' -f2): it could not be upgraded"
    if ! "$vpython" -m pip install -q --disable-pip-version-check "$wheel" >>"$log" 2>&1; then
        say "$version: the wheel does not install:"
        sed 's/^/    /' "$log" >&2
        return 1
    fi
    # All at once where they install; otherwise one by one, to keep what does.
    if ! "$vpython" -m pip install -q --disable-pip-version-check "${test_requirements[@]}" >>"$log" 2>&1; then
        for requirement in "${test_requirements[@]}"; do
            if ! "$vpython" -m pip install -q --disable-pip-version-check "$requirement" >"$log.one" 2>&1; then
                name=${requirement%%[<>=!~\[;]*}
                missing+=("$name")
                say "$version: $requirement does not install here: $(grep '^ERROR' "$log.one" | tail -n 1 | cut -c1-160)"
            fi
            cat "$log.one" >>"$log"
        done
    fi
    for name in "${missing[@]+"${missing[@]}"}"; do
        [ "$name" = pytest ] && { say "$version: cannot run the tests without pytest"; return 1; }
        module=$(import_name "$name")
        while read -r path; do
            ignore+=("--ignore=tests/$(basename "$path")")
            say "$version: leaving out $(basename "$path"), which imports $module"
        done < <(grep -lE "^(import|from) $module([ .]|$)" "$here"/tests/test_*.py || true)
    done
    (cd "$here" && PYTHONMALLOC=debug "$vpython" -m pytest -q -p no:cacheprovider "${ignore[@]+"${ignore[@]}"}")
}

failed=()
tested=()
minors=$expected_minors
for minor in $(seq 14 19); do
    find_python "$minor" >/dev/null && minors="$minors $minor"
done
for minor in $minors; do
    version=3.$minor
    if [ "$version" = "$main_version" ] && [ -z "${WHEEL:-}" ]; then
        say "$version: the main interpreter, tested by the main run"
        continue
    fi
    if ! exe=$(find_python "$minor"); then
        say "$version: skipped: no CPython $version found (pyenv versions folder, python$version on PATH)"
        continue
    fi
    begun=$(date +%s)
    say "$version: $exe ($("$exe" -c 'import platform; print(platform.python_version())'))"
    if test_under "$version" "$exe"; then
        tested+=("$version")
        say "$version: passed in $(( $(date +%s) - begun ))s"
    else
        failed+=("$version")
        say "$version: FAILED after $(( $(date +%s) - begun ))s"
    fi
done

say "passed under: ${tested[*]:-none}; failed under: ${failed[*]:-none}; $(( $(date +%s) - started ))s in all"
[ "${#failed[@]}" -eq 0 ] || fail "tests failed under ${failed[*]}"
