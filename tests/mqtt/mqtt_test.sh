#!/usr/bin/env bash
# korven-darir-cli stream --mqtt against Debian's mosquitto broker, started
# here on loopback with a configuration of its own, and korven-sensor-sim on
# a pseudo-terminal.
#   mqtt_test.sh BUILD_DIR
# Exit 77 (skipped) when mosquitto or mosquitto-clients are not installed.
set -euo pipefail
build=$1
cli=$build/korven-darir-cli
sim=$build/korven-sensor-sim
for tool in mosquitto mosquitto_sub mosquitto_passwd; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "$tool is not installed: skipped"; exit 77; }
done
broker_bin=$(command -v mosquitto || echo /usr/sbin/mosquitto)
work=$(mktemp -d)
pids=()
broker=
cleanup() {
  [ -n "$broker" ] && kill "$broker" 2>/dev/null && wait "$broker" 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The broker on $1 with the configuration lines given on standard input.
start_broker() {
  local port=$1
  { echo "listener $port 127.0.0.1"; echo "persistence false"; echo "user $(id -un)"; cat; } \
    >"$work/broker-$port.conf"
  "$broker_bin" -c "$work/broker-$port.conf" >>"$work/broker.log" 2>&1 &
  broker=$!
  for _ in $(seq 50); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2).close()" \
      2>/dev/null && return 0
    sleep 0.1
  done
  cat "$work/broker.log" >&2
  fail "the broker did not start on $port"
}
stop_broker() {
  kill "$broker" && wait "$broker" 2>/dev/null || true
  broker=
}

"$sim" --link "$work/tty" >/dev/null 2>>"$work/sim.log" &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
[ -e "$work/tty" ] || fail "the virtual sensor did not start"

port=$(free_port)
start_broker "$port" <<<"allow_anonymous true"
url=mqtt://127.0.0.1:$port
base=korven/bench-1/pcb100-fw231
sub() { mosquitto_sub -h 127.0.0.1 -p "$port" "$@"; }

# ---- 200 answers arrive complete and in order, one message each, the
# same objects as the JSON lines; then, gathered at 5 messages a second,
# the same answers in arrays.
for rate in 0 5; do
  sub -t "$base/measurement" -W 40 >"$work/sub-$rate" 2>>"$work/sub.log" &
  subscriber=$!
  sleep 0.5
  rate_option=()
  [ "$rate" -gt 0 ] && rate_option=(--mqtt-rate "$rate")
  timeout 60 "$cli" stream --port "$work/tty" --count 200 --format jsonl --mqtt "$url" \
    --mqtt-station "bench 1" "${rate_option[@]}" >"$work/out-$rate" 2>"$work/err-$rate" ||
    { cat "$work/err-$rate" >&2; fail "stream --mqtt (rate $rate) failed"; }
  sleep 1
  kill "$subscriber" 2>/dev/null; wait "$subscriber" 2>/dev/null || true
  python3 - "$work/out-$rate" "$work/sub-$rate" "$rate" <<'PY' || fail "measurements at rate $rate"
import json, sys
lines = open(sys.argv[1]).read().splitlines()
messages = open(sys.argv[2]).read().splitlines()
rate = int(sys.argv[3])
assert len(lines) == 200, len(lines)
if rate == 0:
    assert messages == lines, (len(messages), messages[:1], lines[:1])
else:
    got = []
    for m in messages:
        batch = json.loads(m)
        assert isinstance(batch, list) and batch, m
        got += [json.dumps(o, separators=(",", ":")) for o in batch]
    want = [json.dumps(json.loads(l), separators=(",", ":")) for l in lines]
    assert got == want, (len(got), len(want))
    # 200 answers in 8 s at most 5 a second: no more than 5 per second
    # plus the last, gathered when the loop ended.
    assert 2 <= len(messages) <= 5 * 9 + 1, len(messages)
PY
done

# ---- Retained: identity, parameters and the final state reach a
# subscriber that connects afterwards.
for topic in identity parameters state; do
  sub -t "$base/$topic" -C 1 -W 5 >"$work/retained-$topic" || fail "no retained $topic"
done
python3 - "$work" <<'PY' || fail "retained messages"
import json, sys
w = sys.argv[1]
i = json.load(open(w + "/retained-identity"))
assert i["schema"] == "korven-darir-mqtt-identity/1" and i["pcb_type"] == 100, i
assert i["firmware_version"] == 231 and i["firmware"].startswith("KORVEN CCD"), i
p = json.load(open(w + "/retained-parameters"))
assert p["schema"] == "korven-darir-mqtt-parameters/1" and p["memory"] == "ram", p
assert len(p["words"]) == 16 and p["event"] == "read" and p["confirmed"], p
s = json.load(open(w + "/retained-state"))
assert s["schema"] == "korven-darir-mqtt-state/1" and s["state"] == "offline", s
# Every message went out: the measurements of the second run and the rest.
assert s["lost"] == 0 and s["queued"] == 0 and s["sent"] >= 200 / 5, s
PY

# ---- The last will: a program killed outright is "offline" all the same.
"$cli" stream --port "$work/tty" --format jsonl --mqtt "$url" --mqtt-station killed \
  >"$work/killed.out" 2>"$work/killed.err" &
victim=$!
pids+=($victim)
sub -t korven/killed/pcb100-fw231/measurement -C 3 -W 10 >/dev/null || fail "killed: no measurements"
sub -t korven/killed/pcb100-fw231/state -C 1 -W 5 >"$work/state-running"
grep -q '"state":"running"' "$work/state-running" || fail "killed: state not running"
kill -KILL "$victim"
wait "$victim" 2>/dev/null || true
will=
for _ in $(seq 50); do
  will=$(sub -t korven/killed/pcb100-fw231/state -C 1 -W 2 || true)
  [ "$will" = '{"schema":"korven-darir-mqtt-state/1","state":"offline"}' ] && break
  sleep 0.1
done
[ "$will" = '{"schema":"korven-darir-mqtt-state/1","state":"offline"}' ] ||
  fail "killed: the last will did not come, state is $will"

# ---- The broker stopped and started mid-run: the run keeps its pace,
# publishing resumes, every answer is sent or counted as lost.
timeout 60 "$cli" stream --port "$work/tty" --seconds 9 --format jsonl --mqtt "$url" \
  --mqtt-station restart >"$work/restart.out" 2>"$work/restart.err" &
runner=$!
sleep 2.5
stop_broker
sleep 2
start_broker "$port" <<<"allow_anonymous true"
sub -t korven/restart/pcb100-fw231/measurement -C 5 -W 8 >"$work/resumed" ||
  { cat "$work/restart.err" >&2; fail "restart: publishing did not resume"; }
wait "$runner" || { cat "$work/restart.err" >&2; fail "restart: the stream failed"; }
grep -q "MQTT: connection to 127.0.0.1:$port lost" "$work/restart.err" ||
  { cat "$work/restart.err" >&2; fail "restart: the loss of the broker was not told"; }
[ "$(grep -c "MQTT: connected to" "$work/restart.err")" -ge 2 ] || fail "restart: no reconnection"
sub -t korven/restart/pcb100-fw231/state -C 1 -W 5 >"$work/restart-state"
python3 - "$work/restart.out" "$work/restart-state" <<'PY' || fail "restart: pace or counts"
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
t = [r["elapsed_s"] for r in rows]
gaps = [b - a for a, b in zip(t, t[1:])]
# The line's limit is 25.3 answers a second; the broker's absence must not
# hold the run up (no answer later than a few cycles after the last).
assert len(rows) >= 0.9 * 25.3 * 9, len(rows)
assert max(gaps) < 0.25, max(gaps)
s = json.load(open(sys.argv[2]))
assert s["state"] == "offline", s
assert s["sent"] + s["lost"] >= len(rows), (s, len(rows))
print("broker restarted mid-run: %d answers, largest gap %.3f s, %d sent, %d lost"
      % (len(rows), max(gaps), s["sent"], s["lost"]))
PY

# ---- A broker that goes away for good: the command still ends at once.
timeout 60 "$cli" stream --port "$work/tty" --seconds 2 --mqtt "$url" --mqtt-station gone \
  >"$work/gone.out" 2>"$work/gone.err" &
runner=$!
sleep 1
stop_broker
start=$(date +%s.%N)
wait "$runner" || fail "gone: the stream failed"
python3 -c "import sys; assert float(sys.argv[2]) - float(sys.argv[1]) < 4.0" "$start" \
  "$(date +%s.%N)" || fail "gone: the command waited for the broker"
[ "$(wc -l <"$work/gone.out")" -ge 40 ] || fail "gone: rows missing"

# ---- Nobody at the address: told, and the stream goes on.
timeout 30 "$cli" stream --port "$work/tty" --count 20 --mqtt "mqtt://127.0.0.1:$(free_port)" \
  >"$work/none.out" 2>"$work/none.err" || fail "no broker: the stream failed"
grep -q "MQTT: cannot reach 127.0.0.1:" "$work/none.err" || fail "no broker: not told"
[ "$(wc -l <"$work/none.out")" -eq 21 ] || fail "no broker: rows missing"

# ---- A wrong password: a clear text, the stream goes on; the right one
# publishes.
mosquitto_passwd -b -c "$work/passwords" alice secret >/dev/null 2>&1
chmod 600 "$work/passwords"
start_broker "$port" <<CONF
allow_anonymous false
password_file $work/passwords
CONF
echo wrong >"$work/wrong"
echo secret >"$work/right"
timeout 30 "$cli" stream --port "$work/tty" --count 30 --mqtt "$url" --mqtt-user alice \
  --mqtt-password-file "$work/wrong" >"$work/pw.out" 2>"$work/pw.err" ||
  fail "wrong password: the stream failed"
grep -q "MQTT: broker 127.0.0.1:$port refused the user name or password" "$work/pw.err" ||
  { cat "$work/pw.err" >&2; fail "wrong password: no clear text"; }
[ "$(wc -l <"$work/pw.out")" -eq 31 ] || fail "wrong password: rows missing"
timeout 30 "$cli" stream --port "$work/tty" --count 30 --mqtt "$url" --mqtt-user alice \
  --mqtt-password-file "$work/right" --mqtt-station pw >/dev/null 2>"$work/pw-right.err" ||
  fail "right password: the stream failed"
mosquitto_sub -h 127.0.0.1 -p "$port" -u alice -P secret -t korven/pw/pcb100-fw231/state -C 1 \
  -W 5 | grep -q '"sent":' || fail "right password: nothing published"
expect_usage() {
  local rc=0
  "$cli" stream --port "$work/tty" "$@" >/dev/null 2>"$work/usage.err" || rc=$?
  [ "$rc" -eq 2 ] || fail "$* ended with $rc, not 2"
}
expect_usage --mqtt-user alice
expect_usage --mqtt http://127.0.0.1
rc=0
"$cli" stream --port "$work/tty" --count 1 --mqtt "$url" --mqtt-user alice \
  --mqtt-password-file "$work/missing" >/dev/null 2>"$work/missing.err" || rc=$?
[ "$rc" -eq 1 ] && grep -q "cannot read the password file" "$work/missing.err" ||
  fail "a missing password file"
echo "korven-darir-cli stream --mqtt: all checks passed"
