#!/bin/sh
# Lays down an installation directory: the daemon, keelgate-query, the openssl
# wrapper, the sample configuration (existing files are kept) and the log
# directory; creates the system account "kelp" that owns the CSV logs.
#   scripts/install.sh BUILD_DIR KELP_HOME
set -e
build=${1:?usage: install.sh BUILD_DIR KELP_HOME}
home=${2:?usage: install.sh BUILD_DIR KELP_HOME}
cmake --install "$build" --prefix "$home" >/dev/null
"$(dirname "$0")/kelp-account.sh"
chown kelp:kelp "$home/log"
echo "installed keelgate in $home"
