#!/bin/sh
# Creates the system account "kelp", when it is missing: the keelgate pool
# runs as it once its ports are bound, and it owns log/ and the CSV logs.
set -e
if ! getent passwd kelp >/dev/null; then
  if getent group kelp >/dev/null; then group="--gid kelp"; else group="--user-group"; fi
  # shellcheck disable=SC2086
  useradd --system $group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin kelp
fi
