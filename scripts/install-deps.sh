#!/bin/sh
# Installs the Debian packages keelgate needs to build, run and be tested.
# Safe to run again: packages already present are left as they are.
set -e
packages="cmake g++ make libgtest-dev libgmock-dev openssl iproute2 procps passwd unixodbc unixodbc-dev odbc-postgresql postgresql"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends $missing
fi
