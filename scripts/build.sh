#!/bin/sh
# Configures and builds keelgate in BUILD_DIR (default: build).
#   scripts/build.sh [BUILD_DIR] [extra cmake arguments]
# KEELGATE_TARGETS="a b" builds only those targets.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
[ $# -gt 0 ] && shift
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
if [ -n "${KEELGATE_TARGETS:-}" ]; then
  for target in $KEELGATE_TARGETS; do cmake --build "$build" -j"$(nproc)" --target "$target"; done
else
  cmake --build "$build" -j"$(nproc)"
fi
