#!/usr/bin/env bash
# The wheel under the newest CPythons, with the newest binutils: Debian
# unstable's python3.14 and python3.15, which no other source here carries,
# in a Debian unstable root made with debootstrap. The root lives outside the
# checkout and is kept between runs; each run brings it up to date, and makes
# it anew when updating fails. In the root, a virtual environment per
# interpreter gets the wheel and the test dependencies from PyPI, and the
# test suite runs from the checkout (bound in read-only) against the wheel,
# with the root's own objcopy.
#
# Usage: WHEEL=dist/rowmint-...-manylinux2014_x86_64.whl dev/unstable_python.sh
#
# UNSTABLE_ROOT is the root's folder (default: /var/cache/rowmint/unstable-root),
# DEBIAN_MIRROR the archive it comes from. Needs root (or sudo), debootstrap,
# unshare and chroot. When the root cannot be made or updated (no
# debootstrap, apt or the network failing), or the test dependencies cannot
# be fetched, this says why and stops with success: unstable breaks at times,
# and that must not block a landing. A test that fails in the root fails.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${UNSTABLE_ROOT:-/var/cache/rowmint/unstable-root}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
versions="3.14 3.15"
packages=(binutils)
for version in $versions; do packages+=("python$version" "python$version-venv"); done
marker=.rowmint-unstable-root
started=$(date +%s)

tag=unstable-python
# shellcheck source=dev/common.sh
. "$here/dev/common.sh"

skip() { say "skipped: $*"; exit 0; }

# The last lines of a log, indented, for a reason to print.
log_tail() { tail -n "${2:-5}" "$1" | sed 's/^/    /' >&2; }

# Runs a command inside the root, in a mount namespace of its own: /proc,
# /dev, the checkout and the wheel's folder are mounted there and vanish with
# the command, so the root never holds a mount that outlives a run.
in_root() {
    as_root unshare --mount --propagation private -- /bin/sh -c '
        root=$1 checkout=$2 wheels=$3
        shift 3
        mount -t proc proc "$root/proc" &&
        mount --bind /dev "$root/dev" &&
        mkdir -p "$root/mnt/checkout" "$root/mnt/wheel" &&
        mount --bind "$checkout" "$root/mnt/checkout" &&
        mount -o remount,bind,ro "$root/mnt/checkout" &&
        mount --bind "$wheels" "$root/mnt/wheel" &&
        exec chroot "$root" /usr/bin/env -i \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
    ' in_root "$root" "$here" "$(dirname "$wheel")" "${passed_env[@]}" "$@"
}

# What the host needs to reach the archives and PyPI: its resolver, its
# proxy settings and the certificate bundle its pip trusts.
passed_env=()
carry_network_settings() {
    passed_env=()
    as_root cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    local name
    for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL PIP_DEFAULT_TIMEOUT; do
        [ -n "${!name:-}" ] && passed_env+=("$name=${!name}")
    done
    if [ -n "${PIP_CERT:-}" ] && [ -f "$PIP_CERT" ]; then
        as_root cp -L "$PIP_CERT" "$root/etc/rowmint-pip-cert.pem"
        passed_env+=(PIP_CERT=/etc/rowmint-pip-cert.pem)
    fi
}

# The archive reached here may be a snapshot whose Release file is past its
# Valid-Until date (a week for unstable): apt is told to take it all the same,
# as debootstrap does; the signatures are still checked.
update_root() {
    [ -f "$root/$marker" ] || return 1
    carry_network_settings
    local apt="apt-get -qq -o Acquire::Check-Valid-Until=false"
    in_root sh -c "$apt update && $apt -y dist-upgrade && $apt -y install --no-install-recommends $*" \
        >"$work/apt.log" 2>&1
}

# A fresh root, built beside the old one and put in its place only whole.
build_root() {
    local partial=$root.partial
    command -v debootstrap >/dev/null || { say "no debootstrap"; return 1; }
    as_root rm -rf "$partial"
    local include
    include=$(IFS=,; echo "${packages[*]}")
    say "making the root with debootstrap (unstable, $mirror)"
    if ! as_root debootstrap --variant=minbase --include="$include" unstable "$partial" "$mirror" \
        >"$work/debootstrap.log" 2>&1; then
        say "debootstrap failed:"
        log_tail "$work/debootstrap.log"
        as_root rm -rf "$partial"
        return 1
    fi
    as_root touch "$partial/$marker"
    as_root rm -rf "$root"
    as_root mv "$partial" "$root"
}

# Installs the wheel and the test dependencies for one interpreter in a
# fresh environment in the root; 2 when PyPI could not be reached.
prepare_venv() {
    local version=$1 venv=/opt/rowmint-$1 log=$work/pip-$1.log
    local pip="$venv/bin/python -m pip install -q --disable-pip-version-check"
    in_root sh -c "rm -rf $venv && python$version -m venv $venv" >"$log" 2>&1 || return 1
    in_root sh -c "$pip --no-deps /mnt/wheel/$(basename "$wheel")" >>"$log" 2>&1 || return 1
    in_root sh -c "$pip /mnt/wheel/$(basename "$wheel") ${requirements[*]}" >>"$log" 2>&1 || return 2
}

[ -n "${WHEEL:-}" ] || fail "WHEEL names no wheel"
[ -f "$WHEEL" ] || fail "no wheel at $WHEEL"
wheel=$(cd "$(dirname "$WHEEL")" && pwd)/$(basename "$WHEEL")
command -v unshare >/dev/null && command -v chroot >/dev/null || skip "unshare and chroot are needed"
as_root true 2>/dev/null || skip "making a root needs root or sudo"
if [ -e "$root" ] && [ ! -f "$root/$marker" ] && [ -n "$(ls -A "$root" 2>/dev/null)" ]; then
    fail "$root exists and is not this script's root; refusing to replace it"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mapfile -t requirements < <(wheel_test_requirements python3 "$wheel")
[ "${#requirements[@]}" -gt 0 ] || fail "the wheel declares no test requirements"

if update_root "${packages[*]}"; then
    say "root brought up to date: $root"
else
    [ -f "$root/$marker" ] && { say "updating the root failed; making it anew:"; log_tail "$work/apt.log"; }
    build_root || skip "cannot make the Debian unstable root"
    carry_network_settings
fi
say "$(in_root objcopy --version | head -n 1) in the root, $(( $(date +%s) - started ))s"

failed=()
skipped=()
for version in $versions; do
    begun=$(date +%s)
    status=0
    prepare_venv "$version" || status=$?
    case $status in
        0) ;;
        2) log_tail "$work/pip-$version.log"
           say "$version: skipped: the wheel's dependencies or the test dependencies could not be fetched"
           skipped+=("$version")
           continue ;;
        *) log_tail "$work/pip-$version.log"; fail "$version: no virtual environment with the wheel" ;;
    esac
    say "$version: $(in_root "python$version" -c 'import platform; print(platform.python_version())')"
    # The checkout is read-only here: Hypothesis keeps its examples in the root.
    if in_root sh -c "cd /mnt/checkout && HYPOTHESIS_STORAGE_DIRECTORY=/var/tmp/hypothesis-$version \
                      PYTHONMALLOC=debug /opt/rowmint-$version/bin/python -m pytest -q -p no:cacheprovider"; then
        say "$version: passed in $(( $(date +%s) - begun ))s"
    else
        failed+=("$version")
        say "$version: FAILED after $(( $(date +%s) - begun ))s"
    fi
done

say "failed under: ${failed[*]:-none}; skipped: ${skipped[*]:-none}; $(( $(date +%s) - started ))s in all"
[ "${#failed[@]}" -eq 0 ] || fail "tests failed under ${failed[*]}"
