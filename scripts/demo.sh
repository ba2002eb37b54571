#!/usr/bin/env bash
# A tour of the product: orvex-sim plays two drives that follow CiA 402 to the letter
# (--strict-402) on a pseudo-terminal, drive 2 powered up in fault, and the orvex command-line tool
# drives them through ORVEX_DLL. Run by `make demo` after the build.
#
#   scripts/demo.sh BUILD_DIR
#
# Exit status 0 only when every step succeeded.
set -euo pipefail
export LC_NUMERIC=C  # "22.3 s" in every locale

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
BIN=$1/bin
SIM=$BIN/orvex-sim
ORVEX=$BIN/orvex
for program in "$SIM" "$ORVEX"; do
  if [[ ! -x $program ]]; then
    echo "demo: $program is missing; build first (make build)" >&2
    exit 1
  fi
done

# One stream, so that progress lines (stderr) and results (stdout) stay in order in a log.
exec 2>&1
started=$(date +%s.%N)
work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-demo.XXXXXX")
port=$work/port
sim_pid=
step_name="starting orvex-sim"

stop_sim() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
on_exit() {
  local status=$?
  stop_sim
  rm -rf "$work"
  if [[ $status -ne 0 ]]; then
    echo >&2
    echo "demo: FAILED during: $step_name (exit status $status)" >&2
  fi
}
trap on_exit EXIT

bold='' plain=''
if [[ -t 1 ]]; then bold=$'\033[1m' plain=$'\033[0m'; fi
heading() {
  step_name=$1
  printf '\n%s== %s%s\n' "$bold" "$1" "$plain"
}
# Shows the command without the connection options, then runs it against the simulator.
orvex() {
  printf '$ orvex %s\n' "$*"
  "$ORVEX" --device "$port" "$@"
}

heading "Start orvex-sim with two strict CiA 402 drives, drive 2 in fault"
"$SIM" --quiet --strict-402 --drives 2 --fault-node 2 --link "$port" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 1 100); do
  [[ -e $port ]] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$work/sim.err" >&2
    exit 1
  fi
  sleep 0.02
done
[[ -e $port ]] || { echo "demo: orvex-sim made no terminal" >&2; exit 1; }
echo "orvex-sim on $(head -n 1 "$work/sim.out") (linked as $port)"

heading "Drive 1 after power-up"
orvex --node 1 version
orvex --node 1 status

heading "The library's one-frame enable is no transition from switch on disabled"
orvex --node 1 enable --one-frame
orvex --node 1 status

heading "Enable step by step, each step confirmed"
orvex --node 1 -v enable

heading "Profile position: three moves in a row (set-point handshake)"
orvex --node 1 pp set 40000 200000 200000
orvex --node 1 pp move 20000 --wait --timeout 10
orvex --node 1 pp move -5000 --relative --wait --timeout 10
orvex --node 1 pp move 0 --wait --timeout 10

heading "Homing, method 17"
orvex --node 1 home set 17 20000 5000 200000
orvex --node 1 home start --wait --timeout 10

heading "Quick stop, and back"
orvex --node 1 quick-stop
orvex --node 1 status
orvex --node 1 enable

heading "Profile velocity: run at 5000 for 1 s"
orvex --node 1 pv run 5000 --for 1 --acc 20000 --dec 20000

heading "Profile torque for about half a second"
orvex --node 1 torque set 2000 100
sleep 0.5
orvex --node 1 halt

heading "Drive 2: a fault with its error code, refused, reset, enabled"
orvex --node 2 status
step_name="enable of drive 2 in fault (must fail)"
if orvex --node 2 enable; then
  echo "demo: drive 2 in fault was enabled" >&2
  exit 1
fi
step_name="Drive 2: reset and enable"
orvex --node 2 reset
orvex --node 2 enable

heading "Bus summaries"
orvex summary --drives 2

heading "Disable both drives"
orvex --node 1 disable
orvex --node 2 disable
orvex --node 1 status

heading "Stop orvex-sim"
step_name="stopping orvex-sim"
kill -TERM "$sim_pid"
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
if [[ $sim_status -ne 0 ]]; then
  echo "demo: orvex-sim exited with status $sim_status" >&2
  exit 1
fi
echo "orvex-sim stopped"

finished=$(date +%s.%N)
printf '\n%sDemo complete: every step succeeded in %.1f s%s\n' "$bold" \
  "$(awk "BEGIN { print $finished - $started }")" "$plain"
