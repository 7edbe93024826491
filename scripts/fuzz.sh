#!/bin/sh
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a while
# on a working copy of its seed corpus, then prints one table row per target.
# A crash fails the run and leaves its input in build-fuzz/crashes/.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 60)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DKEELGATE_SANITIZE=fuzzer -DKEELGATE_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
mkdir -p "$build/crashes"
status=0
printf '%-16s %8s %12s %10s %s\n' target seconds executions exec/s result
for bin in "$build"/fuzz/fuzz_*; do
  name=$(basename "$bin" | sed 's/^fuzz_//')
  work="$build/corpus/$name"
  mkdir -p "$work"
  [ -d "$top/fuzz/corpus/$name" ] && cp -n "$top/fuzz/corpus/$name"/* "$work"/ 2>/dev/null || true
  log="$build/$name.log"
  if "$bin" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$build/crashes/$name-" "$work" >"$log" 2>&1; then
    result=ok
  else
    result="CRASH (see $log)"
    status=1
  fi
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  printf '%-16s %8s %12s %10s %s\n' "$name" "$seconds" "${runs:-?}" "$(( ${runs:-0} / seconds ))" "$result"
done
exit $status
