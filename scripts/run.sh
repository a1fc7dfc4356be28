#!/usr/bin/env bash
# Sets everything up on a new machine and runs the main job: converts the
# bundled CSV into a .vrex file and prints what was written.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

ensure_venv
install_package ""
mkdir -p "$VREX_ROOT/out"
"$VREX_VENV/bin/python" "$VREX_ROOT/examples/convert.py" \
  "$VREX_ROOT/examples/data/orders.csv" "$VREX_ROOT/out/orders.vrex"
