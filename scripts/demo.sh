#!/bin/sh
# Builds keelgate, lays down a sample installation directory and starts the
# daemon on it (127.0.0.1:998 and :999, needs root), then asks it a few policy
# questions with keelgate-query. Stop it with: kill -TERM -$(ps -o pgid= $(cat DIR/bin/keelgate.pid))
#   sudo scripts/demo.sh [KELP_HOME]      (default: ./demo)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
home=${1:-$top/demo}
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build" -DKEELGATE_TESTS=OFF
"$top/scripts/install.sh" "$top/build" "$home"
if [ -f "$home/bin/keelgate.pid" ] && kill -0 "$(cat "$home/bin/keelgate.pid")" 2>/dev/null; then
  echo "keelgate already runs on $home (pid $(cat "$home/bin/keelgate.pid"))"
else
  rm -f "$home/bin/keelgate.pid"
  KELP_HOME="$home" "$home/bin/keelgate"
  sleep 0.5
fi
pid=$(cat "$home/bin/keelgate.pid")
echo "keelgate main process $pid, pool of $(pgrep -g "$(ps -o pgid= "$pid" | tr -d ' ')" | wc -l) processes"
q="$home/bin/keelgate-query -r"
echo; echo "CONNECT from a client, port 998:"
$q -p 998 protocol_state=CONNECT client_address=198.51.100.20
echo; echo "MAIL without TLS under the default policy (may), port 999:"
$q -p 999 client_address=198.51.100.20 sender=alice@example.org
echo; echo "MAIL from the partner bank's network without TLS (verify):"
$q -p 999 client_address=192.0.2.25 sender=alice@bank.example
echo; echo "MAIL from the partner bank with TLS and a verified certificate:"
$q -p 999 client_address=192.0.2.25 sender=alice@bank.example encryption_cipher=TLS_AES_256_GCM_SHA384 ccert_subject=mx.bank.example
echo; echo "log: $home/log/keelgate.log"
tail -n 5 "$home/log/keelgate.log"
