#!/bin/sh
# Lays down an installation directory: the daemon and its tools, the openssl
# wrapper, the sample configuration (existing files are kept) and the log
# directory; creates the system account "kelp" that owns the CSV logs.
#   scripts/install.sh BUILD_DIR KELP_HOME
set -e
build=${1:?usage: install.sh BUILD_DIR KELP_HOME}
home=${2:?usage: install.sh BUILD_DIR KELP_HOME}
cmake --install "$build" --prefix "$home" >/dev/null
"$(dirname "$0")/kelp-account.sh"
# The daemon runs as root and writes into log/: only root may create entries
# there (no planted symlinks); the CSV files themselves belong to kelp. The
# log may hold the database password at the diagnostic level: not for others.
chown root:root "$home/log" "$home/bin"
chmod 0750 "$home/log"
chmod 0755 "$home/bin"
echo "installed keelgate in $home"
