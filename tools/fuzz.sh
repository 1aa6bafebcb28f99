#!/usr/bin/env bash
# Builds the libFuzzer targets with the newest installed clang that supports
# them (see tools/find-fuzz-clang.sh), ASan and UBSan, and runs each for
# SECONDS (default 60), one per core at a time, starting from the seeds in
# fuzz/corpus/<target>/.
# New inputs go to build/fuzz/corpus/<target>/, never into the tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
cd "$root"
compilers=$(tools/find-fuzz-clang.sh)
read -r cc cxx <<<"$compilers"
echo "compilers: $cc $cxx"
build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DLEDGERLY_FUZZ=ON -DLEDGERLY_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
cmake --build "$build" -j2
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Each target runs alone on a core, as many at once as there are cores
# (LEDGERLY_FUZZ_JOBS), so that every one still gets SECONDS of a core.
jobs=${LEDGERLY_FUZZ_JOBS:-$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 1)}
fuzz_one() {  # fuzz_one NAME: runs one target; prints its stats, or its log's end when it fails
  local name=$1 seeds work log status=0
  seeds=fuzz/corpus/${name%_fuzz}
  work=$build/corpus/$name
  log=$build/$name.log
  mkdir -p "$work" "$build/artifacts"
  echo "--- $name for ${seconds}s"
  "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" "$work" "$seeds" \
    >"$log" 2>&1 || status=$?
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|SUMMARY)' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "$name failed (exit $status)" >&2
    return 1
  fi
}
names=()
for src in fuzz/*_fuzz.cpp; do names+=("$(basename "$src" .cpp)"); done
failed=0
for ((i = 0; i < ${#names[@]}; i += jobs)); do
  batch=("${names[@]:i:jobs}")
  pids=()
  for name in "${batch[@]}"; do
    fuzz_one "$name" >"$build/$name.out" 2>&1 &
    pids+=($!)
  done
  for k in "${!pids[@]}"; do
    wait "${pids[k]}" || failed=1
    cat "$build/${batch[k]}.out"
  done
done
[ "$failed" -eq 0 ] || exit 1
