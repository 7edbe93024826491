#!/bin/sh
# Median time of a whole SMTP session through Postfix with keelgate as its
# policy service (asked at CONNECT on 998 and at MAIL on 999), beside the same
# session with a trivial policy service that answers "action=DUNNO" at once.
# keelgate's share of a session is (keelgate - trivial) / keelgate of the
# medians. A second table times the policy request alone, without Postfix. Everything runs in a private network namespace: a fresh keelgate
# installation, a private Postfix (tests/postfix/postfix-instance.sh) and the
# client at 127.0.0.2; all of it is stopped and removed at the end.
#   sudo bench/postfix_session_bench.sh [SESSIONS]    (default 200; BUILD=dir, default build)
# Needs root, the packages of scripts/install-deps.sh and python3.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
sessions=${1:-200}
warmup=10
port=2525
trivial_port=2526
build=${BUILD:-$top/build}

if [ "$KEELGATE_BENCH_IN_NETNS" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root (a private network namespace, Postfix)" >&2; exit 1; }
  [ -x "$build/keelgate" ] || "$top/scripts/build.sh" "$build"
  KEELGATE_BENCH_IN_NETNS=1 BUILD=$build exec unshare -n "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d /tmp/keelgate-bench.XXXXXX)
chmod 755 "$work"  # the pool runs as kelp, which must reach the installation
chmod 755 "$work"
home="$work/kelp"
pool_pgid=""
dunno_pid=""
cleanup() {
  [ -n "$dunno_pid" ] && kill "$dunno_pid" 2>/dev/null
  [ -n "$pool_pgid" ] && kill -TERM -"$pool_pgid" 2>/dev/null
  if [ -f "$work/pf/queue/pid/master.pid" ]; then
    postfix -c "$work/pf/etc" stop >/dev/null 2>&1 || true
  fi
  sleep 1
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

wait_port() {  # waits at most 10 s for 127.0.0.1:$1 to listen
  hex=$(printf '0100007F:%04X' "$1")
  i=0
  while ! awk -v want="$hex" '$2 == want && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp; do
    i=$((i + 1)); [ $i -le 200 ] || { echo "nothing listens on port $1" >&2; exit 1; }
    sleep 0.05
  done
}

# Prints median, 90th percentile and mean of the times on standard input.
summary() {
  sort -n | awk '{ t[NR] = $1; s += $1 } END {
    m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
    p = t[int(NR * 0.9 + 0.999)]
    printf "%.2f %.2f %.2f\n", m, p, s / NR }'
}

"$top/scripts/install.sh" "$build" "$home" >/dev/null
KELP_HOME=$home "$home/bin/keelgate"
wait_port 998; wait_port 999
pool_pgid=$(ps -o pgid= "$(cat "$home/bin/keelgate.pid")" | tr -d ' ')
python3 "$top/bench/dunno_policy_server.py" 1998 1999 &
dunno_pid=$!
wait_port 1998; wait_port 1999

# One Postfix, two SMTP services: $port asks keelgate (the main.cf of the
# tests), $trivial_port asks the trivial service.
sh "$top/tests/postfix/postfix-instance.sh" "$work/pf" $port
postconf -c "$work/pf/etc" -e \
  "bench_client_restrictions = check_policy_service inet:127.0.0.1:1998" \
  "bench_sender_restrictions = check_policy_service inet:127.0.0.1:1999"
postconf -c "$work/pf/etc" -M "$trivial_port/inet = $trivial_port inet n - n - - smtpd \
  -o smtpd_client_restrictions=\$bench_client_restrictions \
  -o smtpd_sender_restrictions=\$bench_sender_restrictions"
postfix -c "$work/pf/etc" start >/dev/null 2>&1
wait_port $port; wait_port $trivial_port

python3 "$top/bench/smtp_sessions.py" 127.0.0.2 "$sessions" $warmup $port $trivial_port > "$work/times"
awk -v p=$port '$1 == p { print $2 }' "$work/times" > "$work/keelgate.ms"
awk -v p=$trivial_port '$1 == p { print $2 }' "$work/times" > "$work/dunno.ms"

set -- $(summary < "$work/keelgate.ms"); k_med=$1 k_p90=$2 k_mean=$3
set -- $(summary < "$work/dunno.ms"); d_med=$1 d_p90=$2 d_mean=$3
echo "SMTP sessions through Postfix $(postconf -c "$work/pf/etc" -h mail_version) on loopback, $sessions per policy service,"
echo "taken in turn ($warmup warm-up rounds not counted); the client sends one small message per session"
echo
echo "| policy service | median ms | p90 ms | mean ms |"
echo "|---|---:|---:|---:|"
echo "| keelgate (asked at CONNECT and at MAIL) | $k_med | $k_p90 | $k_mean |"
echo "| trivial service answering action=DUNNO | $d_med | $d_p90 | $d_mean |"
echo
awk -v k="$k_med" -v d="$d_med" 'BEGIN {
  printf "keelgate share of the median session: (%.2f - %.2f) / %.2f = %.3f\n", k, d, k, (k - d) / k }'

# The policy question alone, without Postfix: what keelgate adds per request.
python3 "$top/bench/policy_requests.py" $((sessions * 5)) 50 999 1999 > "$work/requests"
set -- $(awk '$1 == 999 { print $2 }' "$work/requests" | summary); q_med=$1 q_p90=$2 q_mean=$3
set -- $(awk '$1 == 1999 { print $2 }' "$work/requests" | summary); t_med=$1 t_p90=$2 t_mean=$3
echo
echo "One MAIL-stage policy request (connect, ask, read the answer), $((sessions * 5)) per service, taken in turn"
echo
echo "| policy service | median ms | p90 ms | mean ms |"
echo "|---|---:|---:|---:|"
echo "| keelgate, port 999 | $q_med | $q_p90 | $q_mean |"
echo "| trivial service answering action=DUNNO | $t_med | $t_p90 | $t_mean |"
