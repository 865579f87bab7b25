#!/usr/bin/env bash
# Builds the benchmark (optimised, with debug information for profiling) and
# prints the table. Arguments go to korven-bench, e.g.:
#   bash bench/run.sh                       # full run, memory run 600 s
#   bash bench/run.sh --quick               # smoke check, about a minute
#   bash bench/run.sh --only run,cpu --seconds 20
#   bash bench/run.sh --display --only run,video,cpu,click
# --display runs it on a virtual X server (Xvfb) and measures run, video, cpu
# and click on the xcb platform as well as on the offscreen one.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KORVEN_BENCH_BUILD:-$here/build-bench}"
display=0
args=()
for a in "$@"; do
  if [ "$a" = "--display" ]; then display=1; else args+=("$a"); fi
done
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEN_BUILD_QT=ON -DKORVEN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target korven-bench korven-darir-cli >/dev/null
export QT_QPA_PLATFORM=offscreen
if [ "$display" = 1 ]; then
  command -v xvfb-run >/dev/null || { echo "run.sh: --display needs xvfb-run (package xvfb)" >&2; exit 2; }
  exec xvfb-run -a -s "-screen 0 1920x1080x24" "$build/korven-bench" --xcb "${args[@]}"
fi
exec "$build/korven-bench" "${args[@]}"
