#!/usr/bin/env bash
# Builds the current tree into a virtual environment for local work.
# Usage: dev/install.sh [VENV]   (default: .venv in the checkout)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:-$here/.venv}
if [ ! -x "$venv/bin/python" ]; then
    python3 -m venv "$venv"
    "$venv/bin/pip" install -q --upgrade pip
fi
"$venv/bin/pip" install -q "$here[test]"
