#!/bin/sh
# Creates the system account "kelp", which owns the blocked-connection CSV
# logs, when it is missing.
set -e
if ! getent passwd kelp >/dev/null; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin kelp
fi
