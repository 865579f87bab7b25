#!/usr/bin/env bash
# Builds the benchmark (optimised, with debug information for profiling) and
# prints the table. Arguments go to korven-bench, e.g.:
#   bash bench/run.sh                       # full run, memory run 600 s
#   bash bench/run.sh --quick               # smoke check, about a minute
#   bash bench/run.sh --only run,cpu --seconds 20
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KORVEN_BENCH_BUILD:-$here/build-bench}"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEN_BUILD_QT=ON -DKORVEN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target korven-bench >/dev/null
export QT_QPA_PLATFORM=offscreen
exec "$build/korven-bench" "$@"
