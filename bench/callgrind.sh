#!/bin/bash
# Where one request's cost goes: callgrind of one worker's request path
# (bench/request-driver: the worker's set-up, then answerPolicyRequest on a
# fixed set of requests from the load generator's spread), in a private
# network namespace with an agent sink, on an installation like the one of
# bench/run.sh compare (counting rules on, generated lists and TLS policies).
#
#   sudo bench/callgrind.sh [REQUESTS]      (default 20000)
#
# Settings (environment): BUILD (default build-perf), ENTRIES (100000),
# TLS_ENTRIES (10000), TOP (25 functions). Prints instructions per request
# and the top functions, exclusive and inclusive.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD:-$top/build-perf}" && pwd)
if [ -z "${KEELGATE_BENCH_NETNS:-}" ]; then
  KEELGATE_BENCH_NETNS=1 exec unshare -n -- "$0" "$@"
fi
requests=${1:-20000}
ip link set lo up
work=$(mktemp -d /tmp/keelgate-callgrind.XXXXXX)
chmod 755 "$work"  # the pool runs as kelp, which must reach the installation
sink=
cleanup() {
  [ -n "$sink" ] && kill "$sink" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

home=$work/home
"$top/scripts/install.sh" "$build" "$home" >/dev/null
sed -i -e 's/^ip_conn_enable = no /ip_conn_enable = yes/' -e 's/^ip_msg_enable = no /ip_msg_enable = yes/' \
  -e 's/^sender_enable = no /sender_enable = yes/' "$home/config/kelp.ini"
"$build/bench/make-lists" "$home/config/throttling" "${ENTRIES:-100000}" "$home/config/tls_policy.ini" \
  "${TLS_ENTRIES:-10000}"
"$build/keelgate-agent-sink" -p 10040 -o /dev/null -t 600 </dev/null >/dev/null 2>&1 &
sink=$!
sleep 0.2

out=$work/callgrind.out
KELP_HOME=$home valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect='answerPolicyRequest*' \
  "$build/bench/request-driver" "$requests" 2>"$work/valgrind.log"
total=$(sed -n 's/^summary: *//p; s/^totals: *//p' "$out" | head -n 1)
echo "requests: $requests, instructions in answerPolicyRequest: $total," \
  "per request: $(awk -v t="$total" -v n="$requests" 'BEGIN { printf "%.0f", t / n }')"
echo
callgrind_annotate --threshold=100 "$out" >"$work/self.txt" 2>/dev/null
callgrind_annotate --inclusive=yes --threshold=100 "$out" >"$work/inclusive.txt" 2>/dev/null
# Function names shortened: no argument lists, no library paths.
shorten() {
  sed -n '/Ir.*file:function/,$p' "$1" | head -n $((${TOP:-25} + 2)) |
    sed -e 's/ \[[^]]*\]$//; s/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g' \
      -e 's|\./[^ ]*/||; s/^\([^(]*([^)]*)[^(]*\)(.*/\1/' | cut -c1-120 || true
}
echo "== exclusive (self) cost"
shorten "$work/self.txt"
echo
echo "== inclusive cost"
shorten "$work/inclusive.txt"
