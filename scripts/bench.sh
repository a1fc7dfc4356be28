#!/usr/bin/env bash
# The end-to-end benchmark in one command: sets up .venv-bench (the package and
# the tools users would pick instead), generates the data sets into
# build/bench-data/ (seeded, nothing downloaded), times every tool on them and
# writes bench/RESULTS.md and bench/results.png.
#
#   bash scripts/bench.sh                 # the full run: 100 MB per data set
#   VREX_BENCH_MB=5 bash scripts/bench.sh # a quick check of the harness
#
# Other knobs: VREX_BENCH_REPS (timed runs per tool, default 5),
# VREX_BENCH_SETS (e.g. "numeric wide"), VREX_BENCH_PHASES=0 (skip the C++
# per-phase profile), VREX_BENCH_OUT (where RESULTS.md and the chart go).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

VREX_VENV="$VREX_ROOT/.venv-bench"
size_mb="${VREX_BENCH_MB:-100}"
reps="${VREX_BENCH_REPS:-5}"
sets="${VREX_BENCH_SETS:-numeric text mixed wide trips}"
out_dir="${VREX_BENCH_OUT:-$VREX_ROOT/bench}"
data_dir="$VREX_ROOT/build/bench-data"
python="$VREX_VENV/bin/python"

ensure_venv
# Keeps the environment out of version control without touching .gitignore.
[ -f "$VREX_VENV/.gitignore" ] || echo '*' >"$VREX_VENV/.gitignore"
install_package ""
log "installing the tools to compare with"
"$python" -m pip install -q pyarrow polars duckdb pandas matplotlib

mkdir -p "$data_dir"
log "generating data sets of ${size_mb} MB into $data_dir"
# shellcheck disable=SC2086
"$python" "$VREX_ROOT/bench/python/make_data.py" --out "$data_dir" --size-mb "$size_mb" $sets
# The instruction count always uses the 10 MB numeric set.
"$python" "$VREX_ROOT/bench/python/make_data.py" --out "$data_dir" --size-mb 10 numeric

phases_args=()
if [ "${VREX_BENCH_PHASES:-1}" != 0 ] && command -v cmake >/dev/null && command -v ninja >/dev/null; then
  log "building and running the per-phase profile (C++)"
  phases_build="$VREX_ROOT/build/bench-phases"
  cmake -S "$VREX_ROOT" -B "$phases_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVREX_BUILD_MODULE=OFF -DVREX_BUILD_TESTS=OFF -DVREX_BUILD_BENCH=ON >/dev/null
  cmake --build "$phases_build" --target phases_bench -j2 >/dev/null
  phases_json="$data_dir/phases-${size_mb}mb.json"
  VREX_BENCH_DATA="$data_dir" VREX_BENCH_MB="$size_mb" "$phases_build/phases_bench" \
    --benchmark_min_time=1 --benchmark_format=json --benchmark_out="$phases_json" \
    --benchmark_out_format=json >/dev/null
  phases_args=(--phases-json "$phases_json")
fi

log "timing (reps: $reps)"
# shellcheck disable=SC2086
"$python" "$VREX_ROOT/bench/python/run_bench.py" --data "$data_dir" --size-mb "$size_mb" \
  --reps "$reps" --out "$out_dir" "${phases_args[@]}" $sets
log "timing read-back of the converted mixed and text sets"
"$python" "$VREX_ROOT/bench/python/read_back.py" --data "$data_dir" --size-mb "$size_mb" \
  --reps "$reps" --results "$out_dir/RESULTS.md" mixed text
log "wrote $out_dir/RESULTS.md and $out_dir/results.png"
