#!/bin/sh
# Builds keelgate, lays down a sample installation directory and starts the
# daemon on it (127.0.0.1:998 and :999: needs root), with an agent sink on
# 127.0.0.1:10040 that prints the traffic lines; then asks a few policy
# questions with keelgate-query and shows what the sink and the log got.
# Ends with the command that stops the pool and the sink.
#   scripts/demo.sh [KELP_HOME]      (as root; default: ./demo)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
home=${1:-$top/demo}
fresh=no; [ -f "$home/config/kelp.ini" ] || fresh=yes
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build" -DKEELGATE_TESTS=OFF
"$top/scripts/install.sh" "$top/build" "$home"
if [ "$fresh" = yes ]; then
  # Count connections and messages in the demo, so the sink has lines to show.
  sed -i -e 's/^ip_conn_enable = no /ip_conn_enable = yes/' -e 's/^sender_enable = no /sender_enable = yes/' \
    "$home/config/kelp.ini"
fi
# The sink runs in a session of its own and leaves its pid in bin/, so that a
# second run finds it and the stop command below can name it.
sink_pidfile=$home/bin/keelgate-agent-sink.pid
sink_runs() {
  [ -f "$sink_pidfile" ] && grep -qs keelgate-agent-sink "/proc/$(cat "$sink_pidfile")/cmdline"
}
if ! sink_runs; then
  setsid "$home/bin/keelgate-agent-sink" -o "$home/log/agent-sink.lines" </dev/null >/dev/null 2>&1 &
  echo $! >"$sink_pidfile"
  sleep 0.2
  sink_runs || echo "the agent sink did not start (is 127.0.0.1:10040 taken?)" >&2
fi
sink=; if sink_runs; then sink=$(cat "$sink_pidfile"); else rm -f "$sink_pidfile"; fi
if [ -f "$home/bin/keelgate.pid" ] && kill -0 "$(cat "$home/bin/keelgate.pid")" 2>/dev/null; then
  echo "keelgate already runs on $home (pid $(cat "$home/bin/keelgate.pid"))"
else
  rm -f "$home/bin/keelgate.pid"
  KELP_HOME="$home" "$home/bin/keelgate"
  # The main process writes the pid file after the twenty reload flag files;
  # each worker removes its own flag file once it is set up.
  for _ in $(seq 50); do [ -s "$home/bin/keelgate.pid" ] && break; sleep 0.1; done
  for _ in $(seq 50); do ls "$home"/bin/keelgate.r* >/dev/null 2>&1 || break; sleep 0.1; done
fi
if [ ! -s "$home/bin/keelgate.pid" ]; then
  echo "keelgate did not start; the end of $home/log/keelgate.log:" >&2
  tail -n 5 "$home/log/keelgate.log" >&2 || true
  exit 1
fi
pid=$(cat "$home/bin/keelgate.pid")
pgid=$(ps -o pgid= "$pid" | tr -d ' ')
# Zombies left out: the process that detached the daemon stays in its group
# as a zombie until init reaps it, which on some machines takes a while.
pool=$(ps -eo pgid=,stat= | awk -v g="$pgid" '$1 == g && $2 !~ /^Z/' | wc -l)
echo "keelgate main process $pid: a pool of $pool processes in group $pgid"
q="$home/bin/keelgate-query -r"
ask() { echo; echo "$1"; shift; $q "$@" || true; }
ask "CONNECT from a client (port 998):" -p 998 protocol_state=CONNECT client_address=198.51.100.20
ask "CONNECT from a blocked client (config/throttling/blocked_ip):" -p 998 protocol_state=CONNECT client_address=203.0.113.66
ask "MAIL without TLS under the default policy, may (port 999):" client_address=198.51.100.20 sender=alice@example.org
ask "MAIL from a blocked sender (config/throttling/blocked_sender):" client_address=198.51.100.20 sender=spammer@spam.example
ask "MAIL from the partner bank's network without TLS (policy verify):" client_address=192.0.2.25 sender=alice@bank.example
ask "MAIL from the partner bank with TLS and a verified client certificate:" client_address=192.0.2.25 \
  sender=alice@bank.example encryption_cipher=TLS_AES_256_GCM_SHA384 ccert_subject=mx.bank.example
sleep 0.3
echo; echo "traffic lines the agent sink received ($home/log/agent-sink.lines):"
tail -n 4 "$home/log/agent-sink.lines" 2>/dev/null || true
echo; echo "the log ($home/log/keelgate.log):"
tail -n 6 "$home/log/keelgate.log"
echo; echo "stop the pool (process group $pgid)${sink:+ and the agent sink (pid $sink)} with:"
echo "  kill -TERM -- -$pgid${sink:+ $sink}"
