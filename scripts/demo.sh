#!/bin/sh
# Builds keelgate, lays down a sample installation directory and starts the
# daemon on it (127.0.0.1:998 and :999: needs root), with an agent sink on
# 127.0.0.1:10040 that prints the traffic lines; then asks a few policy
# questions with keelgate-query and shows what the sink and the log got.
#   sudo scripts/demo.sh [KELP_HOME]      (default: ./demo)
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
if ! pgrep -f "keelgate-agent-sink -o $home/log/agent-sink.lines" >/dev/null; then
  setsid "$home/bin/keelgate-agent-sink" -o "$home/log/agent-sink.lines" </dev/null >/dev/null 2>&1 &
fi
if [ -f "$home/bin/keelgate.pid" ] && kill -0 "$(cat "$home/bin/keelgate.pid")" 2>/dev/null; then
  echo "keelgate already runs on $home (pid $(cat "$home/bin/keelgate.pid"))"
else
  rm -f "$home/bin/keelgate.pid"
  KELP_HOME="$home" "$home/bin/keelgate"
  sleep 0.5
fi
pid=$(cat "$home/bin/keelgate.pid")
pgid=$(ps -o pgid= "$pid" | tr -d ' ')
echo "keelgate main process $pid: a pool of $(ps -eo pgid= | awk -v g="$pgid" '$1 == g' | wc -l) processes in group $pgid"
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
echo; echo "stop the pool with: kill -TERM -$pgid"
