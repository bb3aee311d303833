#!/usr/bin/env bash
# The README's quick start, run as written: its shell block, taken from the
# README itself, runs in a copy of the checkout's files (a fresh virtual
# environment, a build from source, a conversion with the tool it names and
# the check), and the row file's first lines must begin as the README shows
# them. Needs the tool the quick start names on PATH.
#
# Usage: dev/quick_start.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
started=$(date +%s)

tag=quick-start
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"

# The first fenced block of the given kind after the README's "## Quick start".
quick_start_block() {
    awk -v kind="$1" '
        /^## / { inside = ($0 == "## Quick start") }
        /^```/ {
            if (open) { open = 0; if (taking) { taking = 0; done = 1 } }
            else { open = 1; if (inside && !done && $0 == "```" kind) taking = 1 }
            next
        }
        taking { print }
    ' "$here/README.md"
}

commands=$(quick_start_block sh)
shown=$(quick_start_block "")
[ -n "$commands" ] || fail "the README has no quick start commands"
[ -n "$shown" ] || fail "the README shows no lines of the row file"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The checkout's files as they stand, without its build folders or venvs.
git -C "$here" ls-files -z --cached --others --exclude-standard |
    tar -C "$here" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$work" -xf -

say "running, in a copy of the checkout:"
printf '    %s\n' "$commands"
(cd "$work" && bash -euo pipefail -c "$commands") || fail "the quick start failed"

mapfile -t expected <<<"$shown"
mapfile -t actual < <(head -n "${#expected[@]}" "$work/build/blinky.cyacd")
for i in "${!expected[@]}"; do
    [[ "${actual[i]:-}" == "${expected[i]}"* ]] ||
        fail "line $((i + 1)) of the row file does not begin as the README shows: ${expected[i]}"
done
say "passed in $(( $(date +%s) - started ))s"
