#!/bin/sh
# Configures and builds keelgate in BUILD_DIR (default: build).
#   scripts/build.sh [BUILD_DIR] [extra cmake arguments]
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
[ $# -gt 0 ] && shift
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
