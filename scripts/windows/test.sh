#!/usr/bin/env bash
# Tests the Windows build under Wine, in a Wine prefix of its own:
#  1. the headless test suite (korven_tests.exe);
#  2. the installer, silently: program, layout file, pictures, libraries,
#     start-menu entry and uninstaller in place;
#  3. end to end: the installed korven-darir.exe on COM5, which Wine links
#     to the pseudo-terminal of the Linux korven-sensor-sim. The program
#     connects (line check, identification, RAM read, firmware text), GETs
#     and SENDs, runs, shows the video and the calibration pop-up and ends by
#     itself; the sensor saw each command;
#  4. the silent uninstall leaves nothing of the program behind.
#
#   scripts/windows/test.sh WINDOWS_BUILD LINUX_BUILD [--docs DIR]
# LINUX_BUILD holds korven-sensor-sim; --docs copies the pictures the
# program took of itself under Wine into DIR.
set -euo pipefail
win=$(realpath "$1")
linux=$(realpath "$2")
docs=
[ "${3:-}" = --docs ] && docs=$(realpath -m "$4")
for f in "$win/tests/korven_tests.exe" "$win/dist/KORVEN-Darir" "$linux/korven-sensor-sim"; do
  [ -e "$f" ] || { echo "wine tests: $f is missing (build it first)" >&2; exit 1; }
done
setup=$(ls "$win"/dist/KORVEN-Darir-*-setup.exe | head -1)
"$(dirname "$0")/deps.sh" --install wine wine64 fontconfig

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=$work/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine || echo /usr/lib/wine/wine64)
say() { echo "wine tests: $*" >&2; }
fail() { say "FAILED: $*"; exit 1; }
start=$SECONDS

say "preparing a Wine prefix"
"$wine" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; fail "wineboot"; }
# Wine hands no QT_* variable of this shell to its programs: the Qt platform
# (offscreen, as the Linux tests) and its fonts go into the user's
# environment in the prefix instead.
fonts=$(fc-match -f '%{file}' 'DejaVu Sans' 2>/dev/null || echo /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf)
"$wine" reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /d "Z:$(dirname "$fonts" | tr / '\\')" /f >/dev/null 2>&1
wineserver -w

# ---- 1. the headless suite, beside the libraries it needs
say "headless suite"
cp "$win/tests/korven_tests.exe" "$win/dist/KORVEN-Darir/"
rc=0
(cd "$win" && timeout 900 "$wine" "$win/dist/KORVEN-Darir/korven_tests.exe" --gtest_brief=1 \
   >"$work/suite.log" 2>&1) || rc=$?
rm -f "$win/dist/KORVEN-Darir/korven_tests.exe"
tail -3 "$work/suite.log" >&2
[ "$rc" -eq 0 ] || { grep -E "FAILED|Failure" "$work/suite.log" | head -40 >&2; fail "suite, status $rc"; }
grep -q "PASSED" "$work/suite.log" || fail "the suite did not report"

# ---- 2. silent install
say "silent install of $(basename "$setup")"
"$wine" "$setup" /S >/dev/null 2>&1
wineserver -w
dir="$WINEPREFIX/drive_c/Program Files/KORVEN-Darir"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/KORVEN-Darir.lnk"
for f in korven-darir.exe korven-darir-cli.exe KORVENDarir23.uir korven_logo2.png Qt6Core.dll Qt6Widgets.dll \
         platforms/qwindows.dll uninstall.exe; do
  [ -e "$dir/$f" ] || fail "not installed: $f"
done
[ -e "$menu" ] || fail "no start-menu entry"
"$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KORVEN-Darir' \
  >/dev/null 2>&1 || fail "no uninstall entry"

# ---- 3. end to end against the virtual sensor on COM5
say "end to end on COM5"
"$linux/korven-sensor-sim" --link "$work/ttyKORVEN" --verbose >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/ttyKORVEN" ] && break; sleep 0.1; done
[ -e "$work/ttyKORVEN" ] || fail "the virtual sensor did not start"
ln -sf "$(readlink -f "$work/ttyKORVEN")" "$WINEPREFIX/dosdevices/com5"
rc=0
timeout 180 "$wine" "$dir/korven-darir.exe" --port 1=COM5 --screenshots "Z:$work/shots" \
  >"$work/program.log" 2>&1 || rc=$?
status=$work/shots/status.log
[ "$rc" -eq 0 ] || { cat "$work/program.log" "$status" >&2; tail -20 "$work/sim.log" >&2; fail "korven-darir.exe ended with status $rc"; }
expect() { tr -d "\r" <"$status" | grep -q -- "$1" || { cat "$status" >&2; fail "never shown: $1"; }; }
expect "Echo Check - Line Ok!"
expect "(simulated)"                          # the firmware text after identification
expect "Parameter-frame received! - Line Ok!" # start-up RAM read, then GET
expect " Line Ok!$"                           # SEND
expect "Data\[64\] block received!"          # a video frame
expect "Parameter file saved: .*KRVNpara.dat$" # SEND to the file the dialogue proposes
expect "Recording to .*KRVN-rec-[0-9-]*.csv$" # REC, likewise (the whole path)
for shot in main-run.png main-video.png calibration.png; do
  [ -s "$work/shots/$shot" ] || fail "missing picture: $shot"
done
# The sensor saw the line check, identification, reads, the write, run
# requests, video blocks and the calibration's exchange.
for cmd in 5 10 7 2 1 8 9 12; do
  grep -q "RX cmd $cmd " "$work/sim.log" || { tail -5 "$work/sim.log" >&2; fail "the sensor never got command $cmd"; }
done
runs=$(grep -c "RX cmd 8 " "$work/sim.log" || true)
# Four seconds of RUN at about 25 answers a second.
[ "$runs" -ge 40 ] || fail "only $runs run requests in four seconds of RUN"
say "program ended by itself; the sensor answered $runs run requests"

# ---- 4. the command line on the same port
say "korven-darir-cli.exe on COM5"
cli() { timeout 60 "$wine" "$dir/korven-darir-cli.exe" "$@" 2>>"$work/cli.err" | tr -d "\r"; }
rc=0
cli info --port COM5 >"$work/cli-info.txt" || rc=$?
[ "$rc" -eq 0 ] || { cat "$work/cli.err" "$work/cli-info.txt" >&2; fail "korven-darir-cli info ended with $rc"; }
grep -qx "pcb_type: 100" "$work/cli-info.txt" || { cat "$work/cli-info.txt" "$work/cli.err" >&2; fail "korven-darir-cli info: no board"; }
# Five streams in a row: closing the port after each one must end the
# reader thread's last read, however the two meet.
for run in 1 2 3 4 5; do
  rc=0
  cli stream --port COM5 --count 20 --format jsonl >"$work/cli-stream.txt" || rc=$?
  [ "$rc" -eq 0 ] || { cat "$work/cli.err" >&2; tail -3 "$work/cli-stream.txt" >&2; fail "korven-darir-cli stream $run ended with $rc"; }
  lines=$(grep -c '^{"schema":"korven-darir-answer/1"' "$work/cli-stream.txt" || true)
  [ "$lines" -eq 20 ] || { cat "$work/cli.err" >&2; fail "korven-darir-cli stream $run gave $lines answers, not 20"; }
done
say "korven-darir-cli.exe identified the sensor and streamed 20 answers five times"
if [ -n "$docs" ]; then
  mkdir -p "$docs"
  for shot in main-run main-video calibration compare; do
    [ -s "$work/shots/$shot.png" ] && cp "$work/shots/$shot.png" "$docs/windows-$shot.png"
  done
fi
kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true; sim_pid=

# ---- 4. silent uninstall
say "silent uninstall"
"$wine" "$dir/uninstall.exe" /S >/dev/null 2>&1
wineserver -w
for _ in $(seq 100); do [ -e "$dir" ] || break; sleep 0.2; done
[ ! -e "$dir" ] || { ls -R "$dir" >&2; fail "left behind: $dir"; }
[ ! -e "$menu" ] || fail "start-menu entry left behind"
say "all passed in $((SECONDS - start)) s"
