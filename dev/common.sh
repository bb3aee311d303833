# Shared by the scripts in dev/: sourced after the script sets `tag`, the
# word its lines begin with.
# shellcheck shell=bash

say() { printf '%s: %s\n' "$tag" "$*"; }
fail() { say "FAILED: $*" >&2; exit 1; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else return 1; fi
}

# Debian packages, with one `apt-get update` per run (CI starts on a fresh
# machine).
apt_updated=
apt_install() {
    command -v apt-get >/dev/null || { say "cannot install $*: no apt-get"; return 1; }
    if [ -z "$apt_updated" ]; then
        as_root apt-get update -qq
        apt_updated=1
    fi
    say "installing $*"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# build_wheel PYTHON FOLDER [PIP OPTIONS]: the checkout's wheel, built into
# FOLDER; its path in `wheel`.
build_wheel() {
    local python=$1 folder=$2
    shift 2
    say "building the wheel"
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps "$@" "$here" -w "$folder"
    local built
    shopt -s nullglob
    built=("$folder"/rowmint-*.whl)
    shopt -u nullglob
    [ "${#built[@]}" -eq 1 ] || fail "expected one rowmint wheel in $folder, found ${#built[@]}"
    wheel=${built[0]}
    say "wheel: $(basename "$wheel")"
}

# wheel_test_requirements PYTHON WHEEL: the test extra's requirements, as
# the wheel declares them, one a line.
wheel_test_requirements() {
    "$1" - "$2" <<'EOF'
import re, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    name = next(n for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
    metadata = wheel.read(name).decode()
for line in metadata.splitlines():
    if line.startswith("Requires-Dist:"):
        requirement, _, marker = line.split(":", 1)[1].partition(";")
        if re.search(r"""extra\s*==\s*["']test["']""", marker):
            print(requirement.strip().replace(" ", ""))
EOF
}
