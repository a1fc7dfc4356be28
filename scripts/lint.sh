# Static checks: ruff (lint and format) over the Python code, clang-tidy (the
# checks in .clang-tidy) over the C++ library and both extension modules.
# Sourced by test.sh; run alone as `bash scripts/lint.sh`.

run_python_lint() {
  log "checking the Python code (ruff: lint and format)"
  "$VREX_VENV/bin/python" -m pip install -q "ruff>=0.17,<0.18"
  "$VREX_VENV/bin/ruff" check "$VREX_ROOT"
  "$VREX_VENV/bin/ruff" format --check "$VREX_ROOT"
}

run_cpp_lint() {
  local dir="$VREX_ROOT/build/tidy" started=$SECONDS
  ensure_debian_packages clang-tidy
  log "checking the C++ code (clang-tidy)"
  # Configured only: clang-tidy needs the compile commands, not a build.
  cmake -S "$VREX_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$VREX_VENV/bin/python" >/dev/null
  # clang before 16 does not see the atomics CPython 3.13's headers test for.
  run-clang-tidy -p "$dir" -j "$JOBS" -quiet -extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1 \
    "$VREX_ROOT/(vrex|src)/"
  log "clang-tidy: $((SECONDS - started)) s"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
  JOBS="${VREX_JOBS:-$(nproc)}"
  ensure_venv
  "$VREX_VENV/bin/python" -m pip install -q cmake ninja
  export PATH="$VREX_VENV/bin:$PATH"
  run_python_lint
  run_cpp_lint
fi
