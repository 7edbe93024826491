#!/bin/bash
# keelgate against a bare pre-forked server of the same design, in a private
# network namespace (loopback only). Needs root (ports 998/999, namespaces).
#
#   bench/run.sh [compare] [scale] [counting]      (as root; default: all three)
#
# compare  the reference server (bench/reference-server, with an agent) and
#          keelgate (sample installation, counting rules on, large lists,
#          10 k TLS policy entries, an agent sink) both running; measured in
#          turn at each client count, ROUNDS times; the median round is shown
#          with the ratios keelgate/reference of throughput, p99 latency and
#          server CPU per request (utime+stime of the whole pool, before/after).
# scale    per list size: image size, build/map/lookup costs (lists-bench),
#          start-up cold (image to build) and warm, a reload under the load of
#          1 and of 8 clients (per worker, from the flag files' appearance to
#          its own flag gone: the median and the largest), pool memory (sum of
#          Pss) and load at 8 clients.
# counting bench/counting-bench against an agent sink.
#
# Settings (environment): BUILD (build directory, default build-perf: a
# Release build without the tests, made here when missing and brought up to
# date when present),
# DURATION seconds per measurement (5), CLIENTS ("1 8 64"), ROUNDS (3),
# ENTRIES list size of compare (100000), SIZES of scale ("1000 100000 1000000"),
# TLS_ENTRIES (10000). Every load run is bounded by DURATION and 3 M requests.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build-perf}
if [ -z "${KEELGATE_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench/run.sh: run it as root (ports 998/999, a network namespace)" >&2; exit 1; }
  if [ -f "$build/CMakeCache.txt" ]; then
    cmake --build "$build" -j"$(nproc)" >&2
  else
    echo "bench/run.sh: no build in $build; building a Release build there first" >&2
    "$top/scripts/install-deps.sh" >&2
    "$top/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DKEELGATE_TESTS=OFF >&2
  fi
  KEELGATE_BENCH_NETNS=1 BUILD=$build exec unshare -n -- "$0" "$@"
fi
build=$(cd "$build" && pwd)
modes=${*:-compare scale counting}
duration=${DURATION:-5}
clients_list=${CLIENTS:-1 8 64}
rounds=${ROUNDS:-3}
entries=${ENTRIES:-100000}
sizes=${SIZES:-1000 100000 1000000}
tls_entries=${TLS_ENTRIES:-10000}
tick=$(getconf CLK_TCK)
bin=$build/bench

ip link set lo up
sysctl -qw net.ipv4.ip_local_port_range="1024 65000"
sysctl -qw net.ipv4.tcp_tw_reuse=1
work=$(mktemp -d /tmp/keelgate-bench.XXXXXX)
chmod 755 "$work"  # the pool runs as kelp, which must reach the installation
groups=()  # process groups started here, stopped at exit

stop_group() { kill -TERM -- "-$1" 2>/dev/null || true; }
cleanup() {
  for g in "${groups[@]}"; do stop_group "$g"; done
  sleep 0.3
  for g in "${groups[@]}"; do kill -KILL -- "-$g" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

flags_left() { compgen -G "$1/bin/keelgate.r*" >/dev/null; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
pgid_of() { ps -o pgid= -p "$1" | tr -d ' '; }
pids_of_group() { ps -eo pid=,pgid=,stat= | awk -v g="$1" '$2 == g && $3 !~ /^Z/ { print $1 }'; }  # zombies left out
# The sum over the group's processes of what an awk program prints for one
# of its /proc files (0 for a process gone meanwhile).
sum_over_group() {  # pgid file awk-program
  local total=0 p v
  for p in $(pids_of_group "$1"); do
    v=$(awk "$3" "/proc/$p/$2" 2>/dev/null || echo 0)
    total=$((total + ${v:-0}))
  done
  echo "$total"
}
cpu_ticks() { sum_over_group "$1" stat '{ print $14 + $15 }'; }  # utime + stime, clock ticks
pss_kb() { sum_over_group "$1" smaps_rollup '/^Pss:/ { print $2 }'; }  # kB
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" | head -n 1; }

start_sink() {  # port: an agent sink whose lines go nowhere
  setsid "$build/keelgate-agent-sink" -p "$1" -o /dev/null </dev/null >/dev/null 2>&1 &
  local pid=$!
  sleep 0.1
  groups+=("$(pgid_of "$pid")")
}

# An installation directory with the counting rules on and generated lists.
make_home() {  # home entries
  "$top/scripts/install.sh" "$build" "$1" >/dev/null
  sed -i -e 's/^ip_conn_enable = no /ip_conn_enable = yes/' -e 's/^ip_msg_enable = no /ip_msg_enable = yes/' \
    -e 's/^sender_enable = no /sender_enable = yes/' "$1/config/kelp.ini"
  if [ "$2" != sample ]; then
    "$bin/make-lists" "$1/config/throttling" "$2" "$1/config/tls_policy.ini" "$tls_entries"
  fi
}

# Starts keelgate on a home; sets kg_pg (its process group) and kg_ms (from
# the exec to the last worker done with its set-up: its reload flag file gone).
start_keelgate() {  # home
  local home=$1 t0 t1
  rm -f "$home/bin/keelgate.pid"
  t0=$(now_ms)
  KELP_HOME=$home "$home/bin/keelgate"
  # The main process creates the twenty flag files, then the pid file; each
  # worker removes its own flag file at the end of its set-up.
  for _ in $(seq 1 20000); do [ -s "$home/bin/keelgate.pid" ] && break; sleep 0.001; done
  for _ in $(seq 1 20000); do flags_left "$home" || break; sleep 0.001; done
  t1=$(now_ms)
  kg_pg=$(pgid_of "$(cat "$home/bin/keelgate.pid")")
  kg_ms=$((t1 - t0))
  groups+=("$kg_pg")
  if [ -n "${BENCH_DEBUG:-}" ]; then
    echo "debug: pool of $(pids_of_group "$kg_pg" | wc -l) in $kg_ms ms: $(ps -o comm= -p "$(pids_of_group "$kg_pg" | paste -sd,)" | sort | uniq -c | tr -s '\n ' '  ')" >&2
  fi
}

# A list changes and the pool gets SIGHUP while CLIENTS clients keep it busy;
# each worker reloads at its next connection. Prints the median and the
# largest reload of a worker in ms (bench/flag-watch, from the flag files).
reload_under() {  # home clients
  echo "# touched" >>"$1/config/throttling/approved_ip"
  sleep 3  # past the racy window, as lists in service are
  "$bin/keelgate-load" -c "$2" -d 30 -n 3000000 -l reload >/dev/null &
  local load=$! watch out
  sleep 0.5
  "$bin/flag-watch" "$1/bin" >"$work/reload.out" &
  watch=$!
  sleep 0.05
  kill -HUP "$(cat "$1/bin/keelgate.pid")"
  wait "$watch" || true
  out=$(grep '^RESULT' "$work/reload.out" || echo "RESULT")
  kill "$load" 2>/dev/null || true
  wait "$load" 2>/dev/null || true
  local p50 max
  p50=$(echo "$out" | field worker_p50_ms)
  max=$(echo "$out" | field worker_max_ms)
  echo "${p50:--} ${max:--}"
}

stop_keelgate() {  # pgid
  stop_group "$1"
  for _ in $(seq 1 100); do [ -z "$(pids_of_group "$1")" ] && return; sleep 0.05; done
  kill -KILL -- "-$1" 2>/dev/null || true
}

# One load run; prints "rps p99_us cpu_us_per_request errors p50_us".
measure() {  # label pgid conn_port sender_port clients
  local before after out reqs
  before=$(cpu_ticks "$2")
  out=$("$bin/keelgate-load" -l "$1" -p "$3" -q "$4" -c "$5" -d "$duration" -n 3000000)
  after=$(cpu_ticks "$2")
  echo "$out" >>"$work/load.log"
  reqs=$(echo "$out" | grep '^RESULT' | field requests)
  echo "$(echo "$out" | grep '^RESULT' | field rps) $(echo "$out" | grep '^RESULT' | field p99_us)" \
    "$(awk -v t=$((after - before)) -v n="$reqs" -v hz="$tick" 'BEGIN { printf "%.1f", n ? t * 1e6 / hz / n : 0 }')" \
    "$(echo "$out" | grep '^RESULT' | field errors) $(echo "$out" | grep '^RESULT' | field p50_us)"
}

median_line() { sort -n -k1,1 | awk '{ l[NR] = $0 } END { print l[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

run_compare() {
  echo "== compare: keelgate vs reference server; lists of $entries entries, $tls_entries TLS entries," \
    "$duration s per run, median of $rounds rounds"
  local home=$work/compare
  make_home "$home" "$entries"
  setsid "$bin/reference-server" -p 2998 -q 2999 -a 10041 </dev/null >/dev/null 2>&1 &
  local ref_pid=$!
  sleep 0.3
  local ref_pg
  ref_pg=$(pgid_of "$ref_pid")
  groups+=("$ref_pg")
  start_keelgate "$home"
  echo "keelgate start-up with these lists: $kg_ms ms; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  # Warm both up: page cache, every worker's first connections.
  measure warm "$ref_pg" 2998 2999 8 >/dev/null
  measure warm "$kg_pg" 998 999 8 >/dev/null
  printf "%7s | %9s %9s %5s | %8s %8s %5s | %9s %9s %5s | %s\n" clients "ref req/s" "kg req/s" ratio \
    "ref p99" "kg p99" ratio "ref CPU" "kg CPU" ratio "errors ref/kg"
  printf "%7s | %25s | %17s us | %19s us/req |\n" "" "" "" ""
  for c in $clients_list; do
    : >"$work/ref.$c"; : >"$work/kg.$c"
    for _ in $(seq 1 "$rounds"); do
      measure reference "$ref_pg" 2998 2999 "$c" >>"$work/ref.$c"
      measure keelgate "$kg_pg" 998 999 "$c" >>"$work/kg.$c"
    done
    local r k
    read -r -a r < <(median_line <"$work/ref.$c")
    read -r -a k < <(median_line <"$work/kg.$c")
    printf "%7s | %9s %9s %5s | %8s %8s %5s | %9s %9s %5s | %s/%s\n" "$c" "${r[0]}" "${k[0]}" \
      "$(ratio "${k[0]}" "${r[0]}")" "${r[1]}" "${k[1]}" "$(ratio "${k[1]}" "${r[1]}")" "${r[2]}" "${k[2]}" \
      "$(ratio "${k[2]}" "${r[2]}")" "${r[3]}" "${k[3]}"
  done
  echo "answers of the last keelgate run:"
  grep -A12 '^answers:' "$work/load.log" | tail -n 12 | grep '^  ' || true
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
  stop_keelgate "$kg_pg"
  stop_group "$ref_pg"
}

run_scale() {
  echo "== scale: list sizes $sizes (blocked lists that size, approved a tenth, plus ~4.3 k hot entries)"
  local home=$work/scale
  make_home "$home" sample
  local pg
  start_keelgate "$home"
  echo "start-up, sample configuration: $kg_ms ms"
  stop_keelgate "$kg_pg"
  printf "%8s | %6s | %7s %6s | %5s %6s %7s | %6s %5s | %6s %6s | %6s %6s | %6s %6s | %8s %9s | %7s %6s %6s\n" entries \
    "image" "build" "map" "ip" "sender" "request" "TLS" "TLS" "cold" "warm" "reload" "1 cl" "reload" "8 cl" "pool Pss" \
    "worker" "req/s" "p99" "CPU"
  printf "%8s | %6s | %7s %6s | %5s %6s %7s | %6s %5s | %6s %6s | %6s %6s | %6s %6s | %8s %9s | %7s %6s %6s\n" "" MB ms \
    ms ns ns ns "ms" "ns" "ms" "ms" "p50 ms" "max ms" "p50 ms" "max ms" MB "Pss MB" "" \
    us us/req
  for n in $sizes; do
    "$bin/make-lists" "$home/config/throttling" "$n" "$home/config/tls_policy.ini" "$tls_entries"
    sleep 3  # let the list files age past the racy window, as lists in service have
    local lb
    lb=$("$bin/lists-bench" "$home" | grep '^RESULT')
    rm -f "$home"/bin/throttling-lists-*
    local cold warm
    start_keelgate "$home"
    cold=$kg_ms
    stop_keelgate "$kg_pg"
    start_keelgate "$home"
    warm=$kg_ms
    pg=$kg_pg
    measure warm "$pg" 998 999 8 >/dev/null
    local light heavy
    light=$(reload_under "$home" 1)
    heavy=$(reload_under "$home" 8)
    local m pss workers
    read -r -a m < <(measure scale "$pg" 998 999 8)
    pss=$(pss_kb "$pg")
    workers=$(pids_of_group "$pg" | wc -l)
    printf "%8s | %6.1f | %7s %6s | %5s %6s %7s | %6s %5s | %6s %6s | %6s %6s | %6s %6s | %8.1f %9.2f | %7s %6s %6s\n" "$n" \
      "$(awk -v b="$(echo "$lb" | field image_bytes)" 'BEGIN { print b / 1048576 }')" \
      "$(echo "$lb" | field build_ms)" "$(echo "$lb" | field map_ms)" "$(echo "$lb" | field ip_ns)" \
      "$(echo "$lb" | field sender_ns)" "$(echo "$lb" | field request_ns)" "$(echo "$lb" | field tls_ms)" \
      "$(echo "$lb" | field tls_ns)" \
      "$cold" "$warm" $light $heavy \
      "$(awk -v k="$pss" 'BEGIN { print k / 1024 }')" "$(awk -v k="$pss" -v w="$workers" 'BEGIN { print k / 1024 / w }')" \
      "${m[0]}" "${m[1]}" "${m[2]}"
    stop_keelgate "$pg"
  done
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
}

run_counting() {
  echo "== counting: 100 k distinct IPs and senders, all three counting rules"
  mkdir -p "$work/counting"
  "$bin/counting-bench" "$work/counting" 100000 10040 | grep -v '^RESULT'
}

start_sink 10040  # keelgate's agent
start_sink 10041  # the reference server's agent
echo "keelgate bench $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
for m in $modes; do
  case $m in
    compare) run_compare ;;
    scale) run_scale ;;
    counting) run_counting ;;
    *) echo "unknown mode $m" >&2; exit 2 ;;
  esac
done
