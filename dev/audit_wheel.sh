#!/usr/bin/env bash
# The wheel is what it claims: builds it, checks that it is tagged for the
# stable ABI of 3.7 (cp37-abi3), audits it with abi3audit (only stable-ABI
# symbols of 3.7 or earlier), and checks that the extension exports nothing
# but its init function.
#
# Usage: dev/audit_wheel.sh [WORKDIR]   (default: /tmp/rowmint-audit)
# WORKDIR gets a virtual environment for the tools and the built wheel.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/rowmint-audit}
python=${PYTHON:-python3}
started=$(date +%s)

tag=audit
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"
command -v nm >/dev/null || apt_install binutils

venv=$work/venv
wheels=$work/wheel
if [ -e "$venv" ] && [ ! -f "$venv/pyvenv.cfg" ]; then
    fail "$venv exists and is not a virtual environment; refusing to replace it"
fi
rm -rf "$venv" "$wheels"
mkdir -p "$work"
if ! "$python" -m venv "$venv" >/dev/null 2>&1; then
    # Debian's interpreter keeps ensurepip in a package of its own.
    rm -rf "$venv"
    apt_install python3-venv "python$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-venv"
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
"$venv/bin/python" -m pip install -q --disable-pip-version-check abi3audit

build_wheel "$venv/bin/python" "$wheels" --no-cache-dir

# ---------------------------------------------------------------- tag
"$venv/bin/python" - "$wheel" <<'EOF' || fail "the wheel is not tagged cp37-abi3"
import sys, zipfile
from packaging.utils import parse_wheel_filename

path = sys.argv[1]
name, version, build, tags = parse_wheel_filename(path.rsplit("/", 1)[-1])
from_name = sorted({(tag.interpreter, tag.abi) for tag in tags})
with zipfile.ZipFile(path) as wheel:
    metadata = next(n for n in wheel.namelist() if n.endswith(".dist-info/WHEEL"))
    declared = [line.split(":", 1)[1].strip() for line in wheel.read(metadata).decode().splitlines()
                if line.startswith("Tag:")]
from_metadata = sorted({tuple(tag.split("-")[:2]) for tag in declared})
print("audit: tags in the file name %s, in WHEEL %s" % (
    ", ".join(str(tag) for tag in sorted(tags, key=str)), ", ".join(declared)))
sys.exit(0 if from_name == from_metadata == [("cp37", "abi3")] else 1)
EOF

# ---------------------------------------------------------------- abi3audit
say "abi3audit --strict --assume-minimum-abi3 3.7"
"$venv/bin/abi3audit" --strict --summary --assume-minimum-abi3 3.7 "$wheel" ||
    fail "abi3audit found symbols outside the stable ABI of 3.7"
"$venv/bin/abi3audit" --report --output "$work/abi3audit.json" --assume-minimum-abi3 3.7 "$wheel" 2>/dev/null ||
    fail "abi3audit could not write its report"
"$venv/bin/python" - "$work/abi3audit.json" <<'EOF' || fail "abi3audit's report disagrees"
import json, sys

with open(sys.argv[1]) as report:
    audited = json.load(report)["specs"]
ok = True
for wheel in audited.values():
    for extension in wheel["wheel"]:
        result = extension["result"]
        print("audit: %s: abi3 %s, baseline %s, newest stable-ABI symbols from %s, %d outside the stable ABI"
              % (extension["name"], result["is_abi3"], result["baseline"], result["computed"],
                 len(result["non_abi3_symbols"])))
        needed = tuple(int(part) for part in result["computed"].split("."))
        ok = ok and result["is_abi3"] and not result["non_abi3_symbols"] and needed <= (3, 7)
sys.exit(0 if ok else 1)
EOF

# ---------------------------------------------------------------- exports
unpacked=$work/unpacked
rm -rf "$unpacked"
"$venv/bin/python" -m zipfile -e "$wheel" "$unpacked"
shopt -s nullglob
objects=("$unpacked"/rowmint*.so)
shopt -u nullglob
[ "${#objects[@]}" -eq 1 ] || fail "expected one rowmint shared object in the wheel, found ${#objects[@]}"
so=${objects[0]}
case "$(basename "$so")" in
    rowmint.abi3.so) ;;
    *) fail "the extension is named $(basename "$so"), not rowmint.abi3.so" ;;
esac
exported=$(nm -D --defined-only "$so")
say "symbols defined by $(basename "$so"):"
printf '%s\n' "$exported" | sed 's/^/    /'
functions=$(awk 'NF == 3 && $2 ~ /^[TtWwi]$/ { print $3 }' <<<"$exported")
others=$(awk 'NF == 3 && $2 !~ /^[TtWwi]$/ { print $3 }' <<<"$exported")
[ "$functions" = "PyInit_rowmint" ] || fail "exported functions are [$(echo $functions)], not only PyInit_rowmint"
[ -z "$others" ] || fail "the extension also exports [$(echo $others)]"

say "passed in $(( $(date +%s) - started ))s"
