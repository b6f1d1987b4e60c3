#!/usr/bin/env bash
# Builds the programs and runs the whole system on a server area under ./run
# (KORVANE_HOME names another folder), created when missing:
#   1. drennic-standin, which holds the DRENNIC and MORVATH slots of the fax
#      server and prints every packet the programs send it;
#   2. tessaly, the fax-over-IP manager;
#   3. "marrock GROUP G1 <n> <n>" for each channel paragraph "[FOIP-G1-<n>]" of
#      KORVANE.INI.
# Each program gets a line when it is up (tessaly serving; a controller
# registered with tessaly and IDLE).  Ctrl-C or SIGTERM stops them in order:
# each controller gets the fax server's shutdown packet (class 99) on its
# request slot, ends the job in hand with its result and exits; then tessaly
# gets RST_TESSALY_SHUTDOWN and ends every session; then the stand-in.  A
# packet that cannot be written is replaced by SIGTERM, which the programs
# take the same way.  Every wait is bounded; a program still running after
# its bound is named and killed.  Exit code 0 when everything came up and stopped within
# its bounds, 1 otherwise.
#
# Nothing outside the server area is used: KORVANE_INI_PATH and
# KORVANE_MAILSLOT_DIR point into it, and no root is needed.
# KV_BIN_DIR=<folder> takes the programs from that folder instead of building
# them; KV_START_SECONDS (default 20) and KV_STOP_SECONDS (default 10) are the
# bounds of each start and stop.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Folders given relative to where the command was typed.
[ -z "${KV_BIN_DIR:-}" ] || KV_BIN_DIR=$(cd "$KV_BIN_DIR" && pwd)
if [ -n "${KORVANE_HOME:-}" ]; then
  mkdir -p "$KORVANE_HOME"
  KORVANE_HOME=$(cd "$KORVANE_HOME" && pwd)
fi
cd "$root"
if [ -n "${KV_BIN_DIR:-}" ]; then
  bin=$KV_BIN_DIR
else
  bash tools/deps.sh build
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF > /dev/null
  cmake --build build/release -j "${KV_JOBS:-$(nproc)}" --target tessaly marrock drennic-standin | tail -n 1
  bin=$root/build/release
fi
start_limit=${KV_START_SECONDS:-20}
stop_limit=${KV_STOP_SECONDS:-10}

mkdir -p "${KORVANE_HOME:-$root/run}"
KORVANE_HOME=$(cd "${KORVANE_HOME:-$root/run}" && pwd)
export KORVANE_HOME
KV_MARROCK=$bin/marrock bash tools/make-server-area.sh "$KORVANE_HOME" > /dev/null
export KORVANE_INI_PATH=$KORVANE_HOME/KORVANE.INI
export KORVANE_MAILSLOT_DIR=$KORVANE_HOME/mailslot
cd "$KORVANE_HOME"

# One run command per area.
exec 9> "$KORVANE_HOME/run.lock"
if ! flock -n 9; then
  echo "The system is running already on $KORVANE_HOME"
  exit 1
fi

standin_log=$KORVANE_HOME/standin.log
tessaly_log=$KORVANE_HOME/K-DB/TESSALY.log
: > "$standin_log"
printed=0
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Prints the stand-in's new lines.
pump() {
  local total
  total=$(wc -l < "$standin_log")
  if [ "$total" -gt "$printed" ]; then
    sed -n "$((printed + 1)),${total}p" "$standin_log" | sed 's/^/  stand-in: /'
    printed=$total
  fi
}

# Each program runs in its own session, so that a Ctrl-C on the terminal
# reaches this script only and the programs stop in order.
names=()
pids=()
start() {  # start NAME LOGFILE PROGRAM ARGS...
  local name=$1 log=$2
  shift 2
  setsid "$@" > "$log" 2>&1 < /dev/null &
  names+=("$name")
  pids+=("$!")
}
pid_of() {
  local i
  for i in "${!names[@]}"; do [ "${names[$i]}" = "$1" ] && echo "${pids[$i]}"; done
  return 0
}

# Waits up to the stop bound for the program to end, then kills it.
failed=0
stop_wait() {  # stop_wait NAME
  local pid status=0 t
  pid=$(pid_of "$1")
  [ -n "$pid" ] || return 0
  for ((t = 0; t < stop_limit * 10; t++)); do
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.1
    pump
  done
  if kill -0 "$pid" 2> /dev/null; then
    echo "$1 (pid $pid) still running after ${stop_limit}s: killed"
    kill -KILL "$pid" 2> /dev/null || true
    failed=1
  fi
  wait "$pid" 2> /dev/null || status=$?
  echo "$1 stopped (exit code $status)"
}

stopping=0
stop_all() {
  [ "$stopping" = 0 ] || return 0
  stopping=1
  trap '' INT TERM
  echo "Stopping"
  local name pid
  for name in "${names[@]}"; do
    case $name in "marrock G1-"*)
      pid=$(pid_of "$name")
      if "$bin/drennic-standin" --post shutdown "FOIP\\G1\\${name#marrock G1-}" > /dev/null 2>&1; then
        echo "closedown to $name (pid $pid): shutdown packet (class 99)"
      else
        echo "closedown to $name (pid $pid): SIGTERM"
        kill -TERM "$pid" 2> /dev/null || true
      fi ;;
    esac
  done
  for name in "${names[@]}"; do
    case $name in marrock*) stop_wait "$name" ;; esac
  done
  pid=$(pid_of tessaly)
  if [ -n "$pid" ]; then
    if "$bin/drennic-standin" --post tessaly-shutdown > /dev/null 2>&1; then
      echo "shutdown to tessaly (pid $pid): RST_TESSALY_SHUTDOWN"
    else
      echo "shutdown to tessaly (pid $pid): SIGTERM"
      kill -TERM "$pid" 2> /dev/null || true
    fi
    stop_wait tessaly
  fi
  pid=$(pid_of drennic-standin)
  if [ -n "$pid" ]; then
    sleep 0.2
    pump
    kill -TERM "$pid" 2> /dev/null || true
    stop_wait drennic-standin
  fi
  pump
  echo "All stopped"
  exit "$failed"
}
trap stop_all INT TERM

# Waits up to the start bound until the stand-in has printed every text given.
wait_standin() {  # wait_standin PROGRAM-NAME TEXT...
  local name=$1 t text ok pid
  shift
  pid=$(pid_of "$name")
  for ((t = 0; t < start_limit * 10; t++)); do
    pump
    ok=1
    for text in "$@"; do grep -qF -- "$text" "$standin_log" || ok=0; done
    # The lines that answered the wait are printed before the caller says so.
    [ "$ok" = 1 ] && { pump; return 0; }
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.1
  done
  pump
  return 1
}
fail_start() {
  echo "$1"
  failed=1
  stop_all
}

began=$(now_ms)
start drennic-standin "$standin_log" "$bin/drennic-standin" listen 2000000000
standin=$(pid_of drennic-standin)
for ((t = 0; t < start_limit * 10; t++)); do
  [ -S "$KORVANE_MAILSLOT_DIR/DRENNIC" ] && [ -S "$KORVANE_MAILSLOT_DIR/MORVATH" ] &&
    [ -S "$KORVANE_MAILSLOT_DIR/STANDIN" ] && break
  kill -0 "$standin" 2> /dev/null || break
  sleep 0.1
done
sleep 0.2
kill -0 "$standin" 2> /dev/null ||
  fail_start "drennic-standin did not start (is the system running already? a second one cannot hold the slots)"
echo "drennic-standin is up (pid $standin): holds DRENNIC, MORVATH and STANDIN"

start tessaly "$KORVANE_HOME/tessaly-console.log" "$bin/tessaly"
wait_standin tessaly "MORVATH PROGRAM_START name=TESSALY" ||
  fail_start "tessaly did not start serving; see $tessaly_log and $KORVANE_HOME/tessaly-console.log"
echo "tessaly is up (pid $(pid_of tessaly)): serving device controllers on mailslot TESSALY"

channels=$(sed -n 's/^\[FOIP-G1-\([0-9]\{1,3\}\)\][[:space:]]*$/\1/p' "$KORVANE_INI_PATH")
[ -n "$channels" ] || echo "No channel paragraph [FOIP-G1-<n>] in $KORVANE_INI_PATH: no controller started" \
  "(an older area: remove that file and tools/make-server-area.sh writes it again)"
for n in $channels; do
  start "marrock G1-$n" "$KORVANE_HOME/marrock-G1-$n.log" "$bin/marrock" GROUP G1 "$n" "$n"
done
for n in $channels; do
  wait_standin "marrock G1-$n" "DEVICE_START FOIP/$n slot=FOIP\\G1\\$n " "DEVICE_STATUS FOIP/$n state=1 " ||
    fail_start "marrock G1-$n did not reach IDLE; see $KORVANE_HOME/marrock-G1-$n.log"
  echo "marrock G1-$n is up (pid $(pid_of "marrock G1-$n")): registered with tessaly, IDLE"
done
echo "Up in $(($(now_ms) - began)) ms; server area $KORVANE_HOME"
echo "Logs: $tessaly_log, $KORVANE_HOME/K-DB/SERVER.LOG (tessaly and controllers), $KORVANE_HOME/*.log"
echo "Stop: Ctrl-C here, or kill -TERM $$"

# Serve until a signal; a program that ends by itself is reported.
while true; do
  pump
  for i in "${!pids[@]}"; do
    if ! kill -0 "${pids[$i]}" 2> /dev/null; then
      status=0
      wait "${pids[$i]}" 2> /dev/null || status=$?
      echo "${names[$i]} ended by itself (exit code $status)"
      unset 'names[i]' 'pids[i]'
      failed=1
      stop_all
    fi
  done
  sleep 0.2
done
