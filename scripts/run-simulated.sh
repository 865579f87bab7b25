#!/usr/bin/env bash
# Builds the program and starts it against the virtual sensor.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"
if [ ! -x build/korven-darir ]; then
  echo "The desktop program is not built yet." >&2
  exit 1
fi
exec build/korven-darir --simulate "$@"
