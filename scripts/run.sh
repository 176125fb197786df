#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (as root), builds and runs vesk-service in the
# foreground. The service reads config.ini beside the program (see config.ini.example) and prints
# where it listens and logs as soon as it is up.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)"
if [ -x build/bin/vesk-service ]; then
  echo "starting build/bin/vesk-service (Ctrl-C stops it)" >&2
  exec build/bin/vesk-service "$@"
fi
echo "vesk-service is not built yet" >&2
exit 1
