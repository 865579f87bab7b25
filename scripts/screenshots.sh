#!/usr/bin/env bash
# Pictures of the program for the documentation: the main panel in run mode
# and in video mode and the calibration pop-up, taken against the virtual
# sensor on a virtual X display (or Qt's offscreen platform without Xvfb).
# Usage: scripts/screenshots.sh [BUILD_DIR] [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
out="${2:-docs}"
if [ ! -x "$build/korven-darir" ]; then
  cmake -S . -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target korven-darir
fi
mkdir -p "$out"
out="$(cd "$out" && pwd)"
run=("$build/korven-darir" --simulate --screenshots "$out")
if command -v xvfb-run >/dev/null 2>&1; then
  timeout 120 xvfb-run -a -s "-screen 0 1600x1000x24" "${run[@]}"
else
  QT_QPA_PLATFORM=offscreen timeout 120 "${run[@]}"
fi
for f in main-run.png main-video.png compare.png calibration.png; do
  [ -s "$out/$f" ] || { echo "missing $out/$f" >&2; exit 1; }
done
echo "pictures in $out"
