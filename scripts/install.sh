#!/bin/sh
# Lays down an installation directory: the daemon and its tools, the openssl
# wrapper, the sample configuration (existing files are kept) and the log
# directory; creates the system account "kelp" the pool runs as; sets owners
# and modes, on a fresh tree and on one from an older install alike:
#   KELP_HOME, script/, sql/      root, 0755; the programs root, 0755
#   bin/                          root, group kelp, 1775 (sticky: kelp makes
#                                 and removes its own files, not root's)
#   config/ and all in it         root, group kelp, 0750 folders, 0640 files
#                                 (odbc.ini too); odbc.ini.example 0600
#   log/                          kelp, 0750
#   scripts/install.sh BUILD_DIR KELP_HOME
set -e
build=${1:?usage: install.sh BUILD_DIR KELP_HOME}
home=${2:?usage: install.sh BUILD_DIR KELP_HOME}
umask 022
"$(dirname "$0")/kelp-account.sh"
programs="keelgate keelgate-agent keelgate-query keelgate-agent-sink keelgate-store"
# A name of a program that is anything but root's own file (a link kelp left
# in bin/ while it was missing) is removed before the program is copied there.
for p in $programs; do
  f=$home/bin/$p
  if [ -L "$f" ] || { [ -e "$f" ] && { [ ! -f "$f" ] || [ "$(stat -c %u "$f")" != 0 ]; }; }; then rm -rf "$f"; fi
done
cmake --install "$build" --prefix "$home" >/dev/null

chown root:root "$home" "$home/script" "$home/sql" "$home/script/openssl"
chmod 0755 "$home" "$home/script" "$home/sql" "$home/script/openssl"
for p in $programs; do
  if [ -f "$home/bin/$p" ]; then chown root:root "$home/bin/$p" && chmod 0755 "$home/bin/$p"; fi
done
chown root:kelp "$home/bin"
chmod 1775 "$home/bin"
# Left by an older install whose pool ran as root: list images, their lock
# and cipher listings are removed (the pool makes them again); the pid and
# flag files are handed to kelp.
find "$home/bin" -maxdepth 1 -user root \( -name 'throttling-lists*' -o -name 'cipher_high' -o -name 'cipher_medium' \) \
  -exec rm -f {} +
find "$home/bin" -maxdepth 1 -type f -user root -links 1 \( -name keelgate.pid -o -name 'keelgate.r[0-9]*' \
  -o -name keelgate.counters -o -name keelgate-agent.pid \) -exec chown -h kelp:kelp {} +

chown -R -h root:kelp "$home/config"
find "$home/config" -type d -exec chmod 0750 {} +
find "$home/config" -type f -exec chmod 0640 {} +
[ ! -f "$home/config/odbc.ini.example" ] || chmod 0600 "$home/config/odbc.ini.example"

chown kelp:kelp "$home/log"
chmod 0750 "$home/log"
# Root's log files of an older install: a worker reopens the log after a
# rotation, and logrotate rotates as kelp.
find "$home/log" -maxdepth 1 -type f -user root -links 1 -exec chown -h kelp:kelp {} +
echo "installed keelgate in $home"
