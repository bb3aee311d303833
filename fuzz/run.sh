#!/usr/bin/env bash
# Runs each fuzz target for a bounded time in the current Python environment,
# starting from a scratch copy of the seed corpus (the committed corpus is
# never changed), and prints how many inputs each target ran.
#
# Usage: fuzz/run.sh [SECONDS_PER_TARGET]   (default 30; a longer local run: fuzz/run.sh 600)
#
# Exits non-zero when a target finds a crash, a hang or a wrong result; the
# inputs that show it are kept in $FUZZ_ARTIFACTS (default
# ${TMPDIR:-/tmp}/rowmint-fuzz-artifacts).  Reproduce one with
#   python fuzz/fuzz_<target>.py <artifact file>
# FUZZ_TARGETS picks the targets (default: "replace main").
# FUZZ_TOLERATE=decode-first lets fuzz_main pass over a difference that has
# already been reported (see fuzz_main.py).  FUZZ_OPTIONS adds libFuzzer
# options; FUZZ_PRELOAD is put in LD_PRELOAD of the targets (fuzz/native.sh
# uses both for a build with native coverage and AddressSanitizer).
set -uo pipefail

seconds=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
python=${PYTHON:-python}
command -v "$python" >/dev/null 2>&1 || python=python3
artifacts=${FUZZ_ARTIFACTS:-${TMPDIR:-/tmp}/rowmint-fuzz-artifacts}

run_python() {
    if [ -n "${FUZZ_PRELOAD:-}" ]; then
        LD_PRELOAD=$FUZZ_PRELOAD "$python" "$@"
    else
        "$python" "$@"
    fi
}

if ! run_python -c "import atheris" 2>/dev/null; then
    "$python" -m pip install -q atheris || exit 1
fi
run_python -c "import rowmint" || { echo "fuzz: rowmint is not installed in this environment" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/rowmint-fuzz.XXXXXX")
# fuzz_main converts in a folder of its own, on a memory file system where
# there is one; the fuzzer ends the process without cleaning up.
if [ -z "${FUZZ_TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    FUZZ_TMPDIR=$(mktemp -d /dev/shm/rowmint-fuzz.XXXXXX)
else
    FUZZ_TMPDIR=${FUZZ_TMPDIR:-$scratch}
fi
export FUZZ_TMPDIR
trap 'rm -rf "$scratch"; case $FUZZ_TMPDIR in /dev/shm/rowmint-fuzz.*) rm -rf "$FUZZ_TMPDIR";; esac' EXIT

status=0
for target in ${FUZZ_TARGETS:-replace main}; do
    work=$scratch/$target
    mkdir -p "$work/corpus" "$work/found"
    cp "$here/corpus/$target/"* "$work/corpus/"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$work/found/")
    if [ "$target" = main ]; then
        options+=(-dict="$here/hex.dict")
    fi
    # shellcheck disable=SC2206  # FUZZ_OPTIONS is a list of words
    options+=(${FUZZ_OPTIONS:-})
    run_python "$here/fuzz_$target.py" "${options[@]}" "$work/corpus" >"$work/log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
    [ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$work/log" | tail -n 1)
    echo "fuzz_$target: ${runs:-0} executions in about ${seconds}s (exit status $rc)"
    if [ "$rc" -ne 0 ] || [ -n "$(ls -A "$work/found")" ]; then
        status=1
        echo "fuzz_$target: FOUND A PROBLEM; last lines of its log:"
        grep -v '^#\|^INFO\|^WARNING\|^ *"' "$work/log" | tail -n 25
        mkdir -p "$artifacts"
        cp "$work/found/"* "$artifacts/" 2>/dev/null
        echo "fuzz_$target: inputs kept in $artifacts"
    fi
done
exit $status
