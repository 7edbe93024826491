#!/bin/sh
# Bounded soak of a keelgate pool (as root): a private network namespace with
# only loopback, a fresh installation directory with connection and sender
# counting and a CSV write every second, an agent sink recording the traffic
# lines, and bench/soak-client.cc driving both ports with a known-answer mix
# while it sends SIGHUP every second and SIGUSR1 now and then. Prints the
# client's summary table; exit status 0 when every check passed.
#   sudo bench/soak.sh [SECONDS]          (default 180)
# BUILD=dir picks the build directory (default build/), THREADS the client
# threads (default 8), KEEP=1 keeps the installation directory.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-180}
build=${BUILD:-$top/build}
if [ -z "$KEELGATE_SOAK_NETNS" ]; then
  KEELGATE_SOAK_NETNS=1 exec unshare -n "$0" "$@"
fi
ip link set lo up
# Hundreds of thousands of short connections: a wide port range.
sysctl -q -w net.ipv4.ip_local_port_range="1024 65000" net.ipv4.tcp_tw_reuse=1

home=$(mktemp -d /tmp/keelgate-soak.XXXXXX)
chmod 755 "$home"  # the pool runs as kelp, which must reach the installation
sink_pid=
cleanup() {
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null || true
  if [ -f "$home/bin/keelgate.pid" ]; then
    pgid=$(ps -o pgid= "$(cat "$home/bin/keelgate.pid")" 2>/dev/null | tr -d ' ')
    [ -n "$pgid" ] && kill -TERM -"$pgid" 2>/dev/null || true
  fi
  [ "${KEEP:-0}" = 1 ] && echo "kept $home" || rm -rf "$home"
}
trap cleanup EXIT

"$top/scripts/install.sh" "$build" "$home" >/dev/null
sed -i -e 's/^ip_conn_enable = no /ip_conn_enable = yes/' -e 's/^sender_enable = no /sender_enable = yes/' \
  -e 's/^blocked_log_interval = 300 /blocked_log_interval = 1 /' "$home/config/kelp.ini"
echo "198.51.100.50" >>"$home/config/throttling/approved_ip"
echo "@trusted.example" >>"$home/config/throttling/approved_sender"

client="$build/soak-client"
c++ -std=c++17 -O2 -Wall -Wextra -Werror -pthread "$top/bench/soak-client.cc" -o "$client"

"$home/bin/keelgate-agent-sink" -o "$home/log/agent.lines" </dev/null >/dev/null 2>&1 &
sink_pid=$!
KELP_HOME="$home" "$home/bin/keelgate"
for i in $(seq 50); do
  q="$home/bin/keelgate-query client_address=127.0.0.1"  # localhost: no traffic line
  $q -p 999 >/dev/null 2>&1 && $q -p 998 >/dev/null 2>&1 && break
  sleep 0.1
done
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
status=0
"$client" -H "$home" -a "$home/log/agent.lines" -s "$seconds" -t "${THREADS:-8}" || status=$?
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "log: $(wc -l <"$home/log/keelgate.log") lines; distinct messages other than per-request ones:"
sed -e 's/^.*keelgate\[[0-9]*\] //' "$home/log/keelgate.log" | grep -v -e '^normal Connected from' \
  -e '^normal current ' -e '^normal Localhost connect' -e '^normal Need to reload' | cut -c1-100 | sort | uniq -c |
  sort -rn | head -n 12
exit $status
