#!/usr/bin/env bash
# End to end: installs the program into a scratch prefix, starts
# korven-sensor-sim on a pseudo-terminal as its own process, and runs the
# installed korven-darir against it on the offscreen platform. The program
# walks through RUN, STOP, the video loop and the calibration pop-up, then
# closes its main panel; it must end with status 0, having drawn each mode
# and talked to the sensor.
#   installed_program_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
bin=$work/prefix/bin
for f in bin/korven-darir bin/korven-darir-cli bin/korven-sensor-sim \
         share/korven-darir/KORVENDarir23.uir share/bash-completion/completions/korven-darir-cli \
         share/korven-darir/korven_logo2.png share/applications/korven-darir.desktop; do
  [ -e "$work/prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done

"$bin/korven-sensor-sim" --link "$work/ttyKORVEN" --verbose >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/ttyKORVEN" ] && break; sleep 0.1; done
[ -e "$work/ttyKORVEN" ] || { echo "the virtual sensor did not start" >&2; exit 1; }

# The installed command line finds the layout file in the shared data folder.
"$bin/korven-darir-cli" info --port "$work/ttyKORVEN" | grep -qx "pcb_type: 100" ||
  { echo "korven-darir-cli info failed on the installed program" >&2; exit 1; }

# The walk saves a parameter file and a recording where the dialogues
# propose: the user's documents folder, here in a home of its own.
mkdir -p "$work/home"
status=0
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config QT_QPA_PLATFORM=offscreen \
  timeout 90 "$bin/korven-darir" --port "1=$work/ttyKORVEN" --screenshots "$work/shots" ||
  status=$?
if [ "$status" -ne 0 ]; then
  echo "korven-darir ended with status $status" >&2
  tail -20 "$work/sim.log" >&2
  exit 1
fi
for shot in main-run.png main-video.png calibration.png; do
  [ -s "$work/shots/$shot" ] || { echo "missing picture: $shot" >&2; exit 1; }
done
for saved in "Parameter file saved: $work/home/KRVNpara.dat" "Recording to $work/home/KRVN-rec-"; do
  grep -qF "$saved" "$work/shots/status.log" ||
    { echo "never shown: $saved" >&2; cat "$work/shots/status.log" >&2; exit 1; }
done
[ -s "$work/home/KRVNpara.dat" ] || { echo "no parameter file in the home folder" >&2; exit 1; }
# The sensor saw the connection sequence, run requests, video block
# requests and the calibration exchange.
for cmd in 5 10 2 7 8 9 12; do
  grep -q "RX cmd $cmd " "$work/sim.log" ||
    { echo "the sensor never got command $cmd" >&2; tail -5 "$work/sim.log" >&2; exit 1; }
done
echo "installed program ran against korven-sensor-sim and ended with status 0"
