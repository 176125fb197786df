#!/usr/bin/env bash
# Installs everything vesk needs to build, run and test on Debian 12, as root.
# The one list of dependencies: both README commands and CI go through here.
set -euo pipefail

# openssh-server and rsync: the delivery test plays a management server against an sshd of its
# own on loopback. Where a service manager runs, installing openssh-server also starts the
# system's own sshd.
# prometheus (for promtool) and chromium: the listener's metrics and page are checked by the
# real tools that read them.
# mmdebstrap and systemd-container: the package test boots a Debian root of its own with
# systemd-nspawn.
# postgresql and sqlite3: the plays' store is tested against a throw-away PostgreSQL cluster and
# read back with the sqlite3 tool.
packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libqt6network6 libqt6sql6-sqlite libqt6sql6-psql
  libavcodec-dev libavformat-dev libavutil-dev
  libssl-dev libxxhash-dev xxhash
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-14 libclang-rt-14-dev
  ffmpeg curl python3 python3-cryptography openssh-server openssh-client rsync
  util-linux iproute2 procps e2fsprogs
  man-db groff-base
  dpkg-dev file lintian systemd adduser passwd init-system-helpers
  mmdebstrap systemd-container
  nginx-light wrk
  prometheus chromium
  postgresql sqlite3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
