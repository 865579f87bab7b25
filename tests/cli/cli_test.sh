#!/usr/bin/env bash
# korven-darir-cli end to end, as a script uses it, against korven-sensor-sim
# on a pseudo-terminal: reached directly (local), or through Debian's
# ser2net on loopback with a raw TCP (socket) or an RFC 2217 accepter.
#   cli_test.sh BUILD_DIR local|socket|rfc2217
# Exit 77 (skipped) when ser2net is needed and not installed.
set -euo pipefail
build=$1
kind=${2:-local}
cli=$build/korven-darir-cli
sim=$build/korven-sensor-sim
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A virtual sensor on a pseudo-terminal, linked at $1, started with the rest.
start_sensor() {
  local link=$1; shift
  "$sim" --link "$link" "$@" >/dev/null 2>>"$work/sim.log" &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$link" ] && return 0; sleep 0.1; done
  fail "the virtual sensor did not start"
}
start_sensor "$work/tty" --eeprom "$work/eeprom.txt"
start_sensor "$work/silent" --silent

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

case $kind in
  local) port=$work/tty ;;
  socket | rfc2217)
    command -v ser2net >/dev/null || { echo "ser2net is not installed: skipped"; exit 77; }
    tcp=$(free_port)
    accepter="tcp,127.0.0.1,$tcp"
    [ "$kind" = rfc2217 ] && accepter="telnet(rfc2217),tcp,127.0.0.1,$tcp"
    cat >"$work/ser2net.yaml" <<YAML
connection: &sensor
  accepter: $accepter
  connector: serialdev,$work/tty,19200n81,local
  options:
    kickolduser: true
YAML
    ser2net -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" 2>>"$work/ser2net.log" &
    pids+=($!)
    for _ in $(seq 50); do
      python3 -c "import socket; socket.create_connection(('127.0.0.1', $tcp), 0.2).close()" \
        2>/dev/null && break
      sleep 0.1
    done
    port=$kind://127.0.0.1:$tcp
    ;;
  *) fail "unknown kind $kind" ;;
esac

# Runs the command line; its status, output and errors land in $rc,
# $work/out and $work/err.
run() {
  rc=0
  timeout 30 "$cli" "$@" >"$work/out" 2>"$work/err" || rc=$?
}
expect() {
  local want=$1; shift
  run "$@"
  [ "$rc" -eq "$want" ] || { cat "$work/err" >&2; fail "$* ended with $rc, not $want"; }
}
one_error_line() {
  [ "$(wc -l <"$work/err")" -eq 1 ] || { cat "$work/err" >&2; fail "$1: not one error line"; }
  grep -q "$2" "$work/err" || { cat "$work/err" >&2; fail "$1: no '$2'"; }
}

# scan finds the sensor on the port given.
expect 0 scan --port "$port"
grep -qP "^COM[0-9]+\t\Q$port\E\tsensor\tboard 100, ccd type 2, firmware \"KORVEN CCD" "$work/out" ||
  { cat "$work/out" >&2; fail "scan did not list the sensor"; }

# info as text and JSON.
expect 0 info --port "$port"
grep -qx "subpixels: 8192" "$work/out" || fail "info text"
expect 0 info --port "$port" --format json
python3 - "$work/out" <<'PY' || fail "info json"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["schema"] == "korven-darir-info/1" and d["pcb_type"] == 100 and d["subpixels"] == 8192
assert d["firmware"].startswith("KORVEN CCD"), d
PY

# Backup of both memories: the parameter file on standard output is the
# one the program writes, byte for byte.
expect 0 params get --port "$port" --from ram
cp "$work/out" "$work/ram-stdout.dat"
expect 0 params get --port "$port" --from ram -o "$work/ram.dat"
cmp "$work/ram.dat" "$work/ram-stdout.dat" || fail "dat on standard output differs from -o"
[ "$(wc -l <"$work/ram.dat")" -eq 16 ] || fail "a parameter file has 16 lines"
expect 0 params get --port "$port" --from eeprom -o "$work/eeprom.dat"

# Words set by name, read back by the command and once more by a get.
expect 0 params set --port "$port" tTol=123 vThd=0x96
grep -qx "RAM: 16 words written and read back equal" "$work/out" || fail "set words"
expect 0 params get --port "$port" --format json
python3 - "$work/out" <<'PY' || fail "get json after set"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["schema"] == "korven-darir-parameters/1" and d["memory"] == "ram"
assert d["words"]["tTol"] == 123 and d["words"]["vThd"] == 150, d
assert len(d["words"]) == 16
PY

# Restore with verification: a changed set into the EEPROM, then the backup.
expect 0 params set --port "$port" --to eeprom tTol=77
expect 0 params get --port "$port" --from eeprom -o "$work/eeprom-changed.dat"
cmp -s "$work/eeprom.dat" "$work/eeprom-changed.dat" && fail "EEPROM did not change"
expect 0 params set --port "$port" --to eeprom "$work/eeprom.dat"
grep -qx "EEPROM: 16 words written and read back equal" "$work/out" || fail "restore"
expect 0 params get --port "$port" --from eeprom -o "$work/eeprom-back.dat"
cmp "$work/eeprom.dat" "$work/eeprom-back.dat" || fail "EEPROM not restored"

# A word the program's range repair changes is a difference: status 1.
expect 1 params set --port "$port" eEnd=65000
one_error_line "range" "eEnd (given 65000, holds 8192)"
expect 1 params set --port "$port" eBeg=7000 eEnd=100
one_error_line "inverted window" "Not sent: Edge left is above Edge right!"
expect 1 params set --port "$port" "$work/missing.dat"
one_error_line "missing file" "missing.dat"

# 100 answers as JSON lines, 100 as CSV rows under the recording's header.
expect 0 stream --port "$port" --count 100 --format jsonl
python3 - "$work/out" <<'PY' || fail "stream jsonl"
import json, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) == 100, len(lines)
last = -1.0
for line in lines:
    d = json.loads(line)
    assert d["schema"] == "korven-darir-answer/1" and d["edge_count"] >= 0
    assert d["elapsed_s"] >= last
    last = d["elapsed_s"]
PY
expect 0 stream --port "$port" --count 100
[ "$(wc -l <"$work/out")" -eq 101 ] || fail "stream csv rows"
head -1 "$work/out" | grep -q "^local_time,elapsed_s,left_edge_subpx," || fail "csv header"
expect 0 stream --port "$port" --seconds 1 -o "$work/second.csv"
rows=$(($(wc -l <"$work/second.csv") - 1))
[ "$rows" -ge 10 ] || fail "a second of answers gave $rows rows"

# Video lines of 256 values.
expect 0 video --port "$port" --frames 2 --format jsonl
python3 - "$work/out" <<'PY' || fail "video jsonl"
import json, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) == 2
for n, line in enumerate(lines, 1):
    d = json.loads(line)
    assert d["schema"] == "korven-darir-video/1" and d["frame"] == n and len(d["values"]) == 256
PY

# The setup record after two seconds of measuring, as PDF and JSON.
expect 0 report --port "$port" --operator "Dana Q. Inspector" --reference "Gauge pin 3" \
  --tolerance 5 --seconds 2 -o "$work/record.pdf"
grep -q "^Report KRVN-.* written: $work/record.pdf and $work/record.json$" "$work/out" ||
  { cat "$work/out" >&2; fail "report text"; }
[ -s "$work/err" ] && { cat "$work/err" >&2; fail "report wrote to standard error"; }
if command -v pdftotext >/dev/null; then
  pdftotext "$work/record.pdf" "$work/record.txt"
  for field in "Operator: Dana Q. Inspector" "Reference objects: Gauge pin 3" "Page 1 of" "Answers"; do
    grep -qF "$field" "$work/record.txt" || fail "report PDF without '$field'"
  done
fi
python3 - "$work/record.json" <<'PY' || fail "report json"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["schema"] == "korven-darir-report/1", d["schema"]
PY

# An interrupt ends a continuous stream with whole lines; a reader that goes
# away ends it too.
"$cli" stream --port "$port" --format jsonl >"$work/cont" 2>"$work/err" &
cont=$!
sleep 1.5
kill -INT "$cont"
rc=0
wait "$cont" || rc=$?
[ "$rc" -eq 0 ] || fail "interrupted stream ended with $rc"
python3 -c "import json,sys; [json.loads(l) for l in open(sys.argv[1])]" "$work/cont" ||
  fail "interrupted stream left a broken line"
set +e
timeout 20 "$cli" stream --port "$port" 2>/dev/null | head -2 >/dev/null
st=${PIPESTATUS[0]}
set -e
[ "$st" -ne 124 ] || fail "stream into a closed pipe did not end"

# Errors: one line on standard error, status 1; wrong usage: status 2.
expect 1 info --port "$work/silent"
one_error_line "silent sensor" "Timeout"
expect 1 info --port "$work/nothing-here"
one_error_line "missing port" "No serial port found"
expect 2 stream --port "$port" --count 0
echo "korven-darir-cli over $kind: all checks passed"
