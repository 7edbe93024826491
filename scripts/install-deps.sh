#!/bin/sh
# Installs the Debian packages keelgate needs to build, run and be tested.
# Safe to run again: packages already present are left as they are.
set -e
# clang and its runtime: the fuzzers. postfix, swaks (with libnet-ssleay-perl
# for its STARTTLS): the end-to-end tests run a real Postfix against keelgate.
# unixodbc, odbc-postgresql: the database store; postgresql: its tests.
# libasio-dev: standalone Asio (header-only), the event loop of keelgate-agent.
packages="cmake g++ make clang libclang-rt-14-dev libgtest-dev libgmock-dev openssl iproute2 procps passwd
          postfix swaks libnet-ssleay-perl unixodbc unixodbc-dev odbc-postgresql postgresql libasio-dev curl"
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
  # Postfix is installed for the tests only: no system mail configuration.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  apt-get -o DPkg::Lock::Timeout=300 update -q
  apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends $missing
fi
# Debian's odbcinst.ini turns on psqlODBC's communication log, which every
# process using the driver then leaves as /tmp/psqlodbc_*.log, whatever its
# connection string says once it has disconnected: switch it off.
if [ "$(id -u)" -eq 0 ] && [ -f /etc/odbcinst.ini ]; then
  sed -i 's/^\([[:space:]]*CommLog[[:space:]]*=[[:space:]]*\)1[[:space:]]*$/\10/' /etc/odbcinst.ini
fi
# The tests run private Postfix instances of their own; the system instance
# must not run or start at boot.
if [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/postfix ]; then
  if [ -d /run/systemd/system ]; then
    systemctl stop postfix.service >/dev/null 2>&1 || true
  elif [ -x /etc/init.d/postfix ]; then
    /etc/init.d/postfix stop >/dev/null 2>&1 || true
  fi
  # Disables the boot links of both systemd and sysvinit (also offline).
  update-rc.d postfix disable >/dev/null 2>&1 || true
  command -v systemctl >/dev/null && systemctl disable postfix.service >/dev/null 2>&1 || true
  /usr/sbin/postfix status >/dev/null 2>&1 && /usr/sbin/postfix stop >/dev/null 2>&1 || true
fi
