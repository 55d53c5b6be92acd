#!/usr/bin/env bash
# Runs a command as the owner of the throwaway clusters and pools: as postgres when called as
# root, since the server and pgbouncer refuse to run as root; as the caller otherwise.
if [ "$(id -u)" -eq 0 ]; then
  exec runuser -u postgres -- "$@"
fi
exec "$@"
