#!/bin/sh
# Builds keelgate, lays down a sample installation directory and starts the
# daemon on it (127.0.0.1:998 and :999: needs root) and its SMTP agent
# keelgate-agent (127.0.0.1:10040, metrics on 127.0.0.1:9740), which counts
# the traffic lines and blocks a client IP past its limit; then asks a few
# policy questions with keelgate-query, sends one client over the limit, and
# shows the agent's metrics, its blocks file and the logs. Ends with the
# commands that stop the pool and the agent.
#   scripts/demo.sh [KELP_HOME]      (as root; default: ./demo)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
home=${1:-$top/demo}
fresh=no; [ -f "$home/config/kelp.ini" ] || fresh=yes
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build" -DKEELGATE_TESTS=OFF
"$top/scripts/install.sh" "$top/build" "$home"
if [ "$fresh" = yes ]; then
  # Count connections and messages in the demo; a client IP with 5
  # connections within the hour is blocked for 10 minutes.
  sed -i -e 's/^ip_conn_enable = no /ip_conn_enable = yes/' -e 's/^sender_enable = no /sender_enable = yes/' \
    -e 's/^ip_conn_limit = 0/ip_conn_limit = 5/' -e 's/^ip_block_time = 0/ip_block_time = 600/' \
    "$home/config/kelp.ini"
fi
# The agent runs as kelp once its port is open: it keeps its pid file and its
# blocks file in bin/, which kelp may add to but whose programs stay root's.
chgrp kelp "$home/bin" && chmod 1775 "$home/bin"
# The agent detaches and leaves its pid in bin/keelgate-agent.pid; a second
# run finds it running. Its start fails (non-zero, with the reason in
# log/keelgate-agent.log) when 127.0.0.1:10040 is taken.
agent_pidfile=$home/bin/keelgate-agent.pid
agent_runs() {
  [ -f "$agent_pidfile" ] && grep -qs keelgate-agent "/proc/$(cat "$agent_pidfile")/cmdline"
}
if ! agent_runs; then
  KELP_HOME="$home" "$home/bin/keelgate-agent" || {
    echo "the agent did not start; the end of $home/log/keelgate-agent.log:" >&2
    tail -n 3 "$home/log/keelgate-agent.log" >&2
  }
fi
agent=; agent_runs && agent=$(cat "$agent_pidfile")
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
for i in 1 2 3 4 5 6; do
  ask "CONNECT number $i of 198.51.100.99 within the hour (the limit is 5):" -p 998 protocol_state=CONNECT \
    client_address=198.51.100.99
  # The fifth brings the count to the limit: the agent writes its blocks file
  # and sends SIGHUP to the daemon, whose workers then refuse the sixth.
  sleep 0.3
done
echo; echo "the agent's metrics that are not 0 (curl -s http://127.0.0.1:9740/metrics):"
if command -v curl >/dev/null; then
  curl -s http://127.0.0.1:9740/metrics | grep -E '^keelgate_agent_(lines_total|keys|blocks_total|reloads)' |
    grep -v ' 0$' || true
fi
echo; echo "the agent's blocks ($home/bin/keelgate-agent.blocks: type, IP, sender, expiration):"
cat "$home/bin/keelgate-agent.blocks" 2>/dev/null || true
echo; echo "the agent's log ($home/log/keelgate-agent.log):"
tail -n 4 "$home/log/keelgate-agent.log"
echo; echo "the daemon's log ($home/log/keelgate.log):"
tail -n 6 "$home/log/keelgate.log"
echo; echo "stop the pool (process group $pgid)${agent:+ and the agent (pid $agent)} with:"
echo "  kill -TERM -- -$pgid${agent:+ $agent}"
