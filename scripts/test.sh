#!/usr/bin/env bash
# Sets everything up on a new machine and runs every test: the C++ suites
# (plain and under AddressSanitizer + UndefinedBehaviorSanitizer), the Python
# suite against the installed package, and each fuzz target for a bounded time.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

JOBS="${VREX_JOBS:-$(nproc)}"
SUMMARY="$VREX_ROOT/build/test-summary.log"
mkdir -p "$VREX_ROOT/build"
: >"$SUMMARY"

# Runs a test command, keeping its output for the summary at the end.
counted() {
  local log
  log="$(mktemp)"
  set +e
  "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  set -e
  grep -E 'tests passed|[0-9]+ passed' "$log" | tail -1 >>"$SUMMARY" || true
  rm -f "$log"
  return "$status"
}
FUZZ_SECONDS="${VREX_FUZZ_SECONDS:-45}"

ensure_debian_packages g++ libgtest-dev libbenchmark-dev clang libclang-rt-14-dev clang-format
ensure_venv
"$VREX_VENV/bin/python" -m pip install -q cmake ninja
export PATH="$VREX_VENV/bin:$PATH"

# Configures, builds and runs the GoogleTest suites in build/$1 with extra flags.
run_cpp_suite() {
  local dir="$VREX_ROOT/build/$1"
  shift
  log "C++ suite in build/$(basename "$dir") $*"
  cmake -S "$VREX_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVREX_BUILD_MODULE=OFF -DVREX_BUILD_TESTS=ON -DVREX_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && counted ctest --output-on-failure -j "$JOBS")
}

log "checking formatting"
find "$VREX_ROOT/vrex" "$VREX_ROOT/src" "$VREX_ROOT/tests/cpp" "$VREX_ROOT/bench" \
  "$VREX_ROOT/fuzz" -name '*.cpp' -o -name '*.h' | xargs clang-format --dry-run --Werror

source "$VREX_ROOT/scripts/lint.sh"
run_python_lint
run_cpp_lint

run_cpp_suite test -DVREX_BUILD_BENCH=ON
run_cpp_suite asan -DVREX_SANITIZE=ON
# Every fast path forced off: the scalar reference paths alone pass the same suites.
run_cpp_suite scalar -DVREX_FORCE_SCALAR=ON

log "the parallel engine's and the threaded reader's C++ tests under ThreadSanitizer"
cmake -S "$VREX_ROOT" -B "$VREX_ROOT/build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVREX_BUILD_MODULE=OFF -DVREX_BUILD_TESTS=ON -DVREX_WERROR=ON -DVREX_THREAD_SANITIZE=ON >/dev/null
cmake --build "$VREX_ROOT/build/tsan" -j "$JOBS" --target parallel_convert_test chunk_chain_test row_split_test reader_threads_test reader_slices_test
(cd "$VREX_ROOT/build/tsan" && TSAN_OPTIONS=halt_on_error=1 \
  counted ctest --output-on-failure -j "$JOBS" -R 'ParallelConvert|ChunkChain|RowSplit|RecordScan|ReaderThreads|ReaderSlices')

# Copies the package's Python files beside a module build (whose vrex/ holds
# that build's reader), so that `import vrex` there runs against that build.
stage_package() {
  mkdir -p "$1/vrex"
  cp "$VREX_ROOT"/python/vrex/*.py "$VREX_ROOT/python/vrex/py.typed" "$1/vrex/"
}

source "$VREX_ROOT/scripts/arm.sh"
run_arm_suite

# The suites below run against the wheel users get: built, checked by
# auditwheel, then installed here and into a fresh environment of its own.
source "$VREX_ROOT/scripts/wheel.sh"
build_wheel
"$VREX_VENV/bin/python" -m pip install -q --force-reinstall --no-deps "$WHEEL"
"$VREX_VENV/bin/python" -m pip install -q "$WHEEL[test]"
run_wheel_suite
log "test-only build of the modules with fault injection"
cmake -S "$VREX_ROOT" -B "$VREX_ROOT/build/faults" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$VREX_VENV/bin/python" -DVREX_FAULT_INJECTION=ON >/dev/null
cmake --build "$VREX_ROOT/build/faults" -j "$JOBS" --target _vrex _reader _engine
stage_package "$VREX_ROOT/build/faults"
log "Python suite"
(cd "$VREX_ROOT/tests/python" && VREX_FAULT_BUILD_DIR="$VREX_ROOT/build/faults" \
  counted "$VREX_VENV/bin/python" -m pytest -q .)

log "Python suite against modules built with AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S "$VREX_ROOT" -B "$VREX_ROOT/build/asan-module" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$VREX_VENV/bin/python" -DVREX_SANITIZE=ON -DVREX_FAULT_INJECTION=ON \
  >/dev/null
cmake --build "$VREX_ROOT/build/asan-module" -j "$JOBS" --target _vrex _reader _engine
stage_package "$VREX_ROOT/build/asan-module"
(cd "$VREX_ROOT/tests/python" &&
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH="$VREX_ROOT/build/asan-module" VREX_FAULT_BUILD_DIR="$VREX_ROOT/build/asan-module" \
  counted "$VREX_VENV/bin/python" -m pytest -q -p no:cacheprovider .)

source "$VREX_ROOT/scripts/fuzz.sh"
run_fuzz_targets "$FUZZ_SECONDS"
# One closing line over every suite: GoogleTest cases (plain and sanitized)
# and pytest cases (plain and sanitized); the fuzz runs add no count.
passed=$(grep -hoE '[0-9]+ passed|out of [0-9]+' "$SUMMARY" |
  grep -oE '[0-9]+' | awk '{ total += $1 } END { print total + 0 }')
log "all suites passed"
echo "${passed:-0} passed, 0 failed"
