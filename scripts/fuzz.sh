# Builds the libFuzzer targets with clang and runs each for a bounded time,
# seeded from the third-party corpus when it sits beside the project.
# Sourced by test.sh; run alone as `bash scripts/fuzz.sh [SECONDS]`.

run_fuzz_targets() {
  local seconds="$1" dir="$VREX_ROOT/build/fuzz"
  log "fuzz targets, ${seconds}s each"
  CXX=clang++ cmake -S "$VREX_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVREX_BUILD_MODULE=OFF -DVREX_BUILD_FUZZ=ON >/dev/null
  cmake --build "$dir" -j "$JOBS"
  local seeds="$VREX_ROOT/../shared/corpus" target work
  for target in "$dir"/*_fuzz; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    work="$dir/corpus-$(basename "$target")"
    mkdir -p "$work"
    local seed_dirs=("$work")
    [ -d "$VREX_ROOT/fuzz/regressions" ] && seed_dirs+=("$VREX_ROOT/fuzz/regressions")
    [ -d "$seeds" ] && seed_dirs+=("$seeds")
    log "fuzzing $(basename "$target")"
    (cd "$dir" && "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -max_len=65536 -print_final_stats=1 "${seed_dirs[@]}" 2>"$work.log") || {
      tail -50 "$work.log"
      log "fuzz target $(basename "$target") failed"
      return 1
    }
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$work.log" >&2 || true
  done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
  JOBS="${VREX_JOBS:-$(nproc)}"
  export PATH="$VREX_VENV/bin:$PATH"
  run_fuzz_targets "${1:-60}"
fi
