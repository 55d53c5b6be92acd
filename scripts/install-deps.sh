#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Does nothing when every package is already present.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libecpg-dev libpq-dev
  postgresql postgresql-contrib
  libgtest-dev
  clang libclang-rt-14-dev clang-format clang-tidy
  valgrind time
  man-db groff-base
  dpkg-dev file lintian
  prometheus prometheus-node-exporter curl
  pgbouncer openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run this script as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
