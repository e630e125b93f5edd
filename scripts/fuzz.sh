#!/usr/bin/env bash
# Builds the libFuzzer harnesses (the codec's, and the shared-mutex area's in
# ext/fuzz; clang, ASan + UBSan) in build/fuzz, replays the committed corpora
# (seeds, and inputs that once crashed, kept beside them), then fuzzes each
# harness for SECONDS (default 60) over a working copy of its corpus under
# build/fuzz. The committed corpus is never written to. Fails on any crash. With RUNS=N in the environment each harness
# runs N executions past its corpus instead (a campaign: bench/results/fuzz.md).
#   usage: scripts/fuzz.sh [SECONDS [HARNESS...]]   (default: every harness)
# The seeds come from the codec's own encoders; after a wire-format change,
# regenerate them with
#   cmake --build build/fuzz --target fuzz_corpus_generator
#   build/fuzz/codec/fuzz/fuzz_corpus_generator codec/fuzz/corpus
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-60}
build=build/fuzz
harnesses=(decode roundtrip walk frames lz4 model shm_mutex)
[ $# -gt 1 ] && harnesses=("${@:2}")
# Where each harness lives: the codec's, and the shared-mutex area's in ext/fuzz.
home() { [ "$1" = shm_mutex ] && echo ext/fuzz || echo codec/fuzz; }
corpus() { [ "$1" = shm_mutex ] && echo ext/fuzz/corpus || echo "codec/fuzz/corpus/$1"; }

[ -d .venv/bin ] && export PATH="$root/.venv/bin:$PATH"  # cmake and ninja from bootstrap.sh
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CC=clang CXX=clang++ cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVAKRA_BUILD_FUZZERS=ON -DVAKRA_BUILD_EXTENSION=OFF -DVAKRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel --target fuzz_regression shm_mutex_regression "${harnesses[@]/%/_fuzzer}"

for harness in "${harnesses[@]}"; do
  if [ "$harness" = shm_mutex ]; then
    "$build/ext/fuzz/shm_mutex_regression" "$(corpus "$harness")"
  else
    "$build/codec/fuzz/fuzz_regression" "$harness" "$(corpus "$harness")"
  fi
done

limit=(-max_total_time="$seconds")
[ -n "${RUNS:-}" ] && limit=(-runs="$RUNS")
failed=0
for harness in "${harnesses[@]}"; do
  work=$build/corpus/$harness
  artifacts=$build/artifacts/$harness/
  mkdir -p "$work" "$artifacts"
  cp -n "$(corpus "$harness")"/* "$work"/
  log=$build/$harness.log
  start=$(date +%s)
  if "$build/$(home "$harness")/${harness}_fuzzer" "$work" "${limit[@]}" -max_len=65536 -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $harness: ${runs:-?} executions in $(($(date +%s) - start))s, no crash"
  else
    echo "fuzz $harness: CRASH (log: $log, inputs: $artifacts)" >&2
    grep -E "ERROR|fuzz check failed|SUMMARY" "$log" | head -5 >&2 || true
    failed=1
  fi
done
exit "$failed"
