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
# The walk saves a parameter file and a recording where the dialogues
# propose: into a home of its own, with its own settings.
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config"
# A broker of its own for the MQTT pop-up (Debian's mosquitto), if there is one.
if [ -x /usr/sbin/mosquitto ]; then
  mqtt_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n' \
    "$mqtt_port" "$(id -un)" >"$home/broker.conf"
  /usr/sbin/mosquitto -c "$home/broker.conf" >/dev/null 2>&1 &
  broker=$!
  trap 'kill $broker 2>/dev/null; rm -rf "$home"' EXIT
  export KORVEN_TOUR_MQTT_URL="mqtt://127.0.0.1:$mqtt_port"
fi
run=("$build/korven-darir" --simulate --screenshots "$out")
if command -v xvfb-run >/dev/null 2>&1; then
  timeout 120 xvfb-run -a -s "-screen 0 1600x1000x24" "${run[@]}"
else
  QT_QPA_PLATFORM=offscreen timeout 120 "${run[@]}"
fi
# The walk's log of status texts is for tests, not for the documentation.
rm -f "$out/status.log"
for f in main-run.png main-video.png compare.png calibration.png mqtt.png; do
  [ -s "$out/$f" ] || { echo "missing $out/$f" >&2; exit 1; }
done
# The whole panel on a 1366 x 768 laptop screen and on a 4K screen at 200 %,
# on Qt's offscreen platform with a screen of that size (settings kept apart).
desk() {
  local name="$1" width="$2" height="$3" scale="$4" tmp
  tmp="$(mktemp -d)"
  printf '{"screens":[{"name":"desk","x":0,"y":0,"width":%d,"height":%d,"dpr":1}]}' \
    "$width" "$height" >"$tmp/screen.json"
  XDG_CONFIG_HOME="$tmp" QT_SCALE_FACTOR="$scale" \
    QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen.json" \
    timeout 120 "$build/korven-darir" --simulate --screenshots "$tmp" >/dev/null
  cp "$tmp/main-run.png" "$out/$name"
  rm -rf "$tmp"
}
desk desk-1366x768.png 1366 768 1
desk desk-3840x2160-at-200.png 3840 2160 2
echo "pictures in $out"
