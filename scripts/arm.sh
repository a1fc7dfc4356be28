# Cross-compiles the C++ library, both extension modules and the GoogleTest
# suites for 64-bit ARM, and runs the suites under qemu-user: the differential
# tests between the vector kernels and their scalar references then run on
# that architecture too. Sourced by test.sh; run alone as `bash scripts/arm.sh`.

run_arm_suite() {
  local dir="$VREX_ROOT/build/aarch64" include started=$SECONDS
  ensure_debian_packages g++-aarch64-linux-gnu libc6-arm64-cross qemu-user googletest
  # The modules are compiled and linked against the host interpreter's headers
  # (the same on every 64-bit Linux); they are not run here.
  include="$("$VREX_VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
  log "C++ suite cross-compiled for aarch64, run under qemu-user"
  cmake -S "$VREX_ROOT" -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$VREX_ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVREX_BUILD_TESTS=ON -DVREX_WERROR=ON \
    -DVREX_GTEST_SOURCE_DIR=/usr/src/googletest \
    -DPython_EXECUTABLE="$VREX_VENV/bin/python" -DPython_INCLUDE_DIR="$include" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  # The tests of inputs over 4 GiB stay on the host: under emulation they
  # would take most of the time budget and prove nothing new.
  (cd "$dir" && unset VREX_HUGE_TESTS && counted ctest --output-on-failure -j "$JOBS")
  log "aarch64 build and suite: $((SECONDS - started)) s"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
  JOBS="${VREX_JOBS:-$(nproc)}"
  counted() { "$@"; }
  ensure_venv
  "$VREX_VENV/bin/python" -m pip install -q cmake ninja
  export PATH="$VREX_VENV/bin:$PATH"
  run_arm_suite
fi
