#!/usr/bin/env bash
# Builds the programs and runs the fax-over-IP manager tessaly on a server
# area that it creates under ./run when none is given (KORVANE_HOME).  No root
# and no device controller are needed.  Ctrl-C (or SIGTERM, or a shutdown
# packet on the TESSALY mailslot) stops it cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh build
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF > /dev/null
cmake --build build/release -j "${KV_JOBS:-$(nproc)}" --target tessaly marrock | tail -n 1
export KORVANE_HOME=${KORVANE_HOME:-$PWD/run}
bash tools/make-server-area.sh "$KORVANE_HOME" > /dev/null
export KORVANE_INI_PATH=${KORVANE_INI_PATH:-$KORVANE_HOME/KORVANE.INI}
export KORVANE_MAILSLOT_DIR=${KORVANE_MAILSLOT_DIR:-$KORVANE_HOME/mailslot}
console=$KORVANE_HOME/tessaly-console.log
log=$KORVANE_HOME/K-DB/TESSALY.log

cd "$KORVANE_HOME"
"$OLDPWD/build/release/tessaly" > "$console" 2>&1 &
pid=$!
stop() { kill -TERM "$pid" 2>/dev/null || true; }
trap stop INT TERM

for _ in $(seq 1 100); do
  grep -q "Serving device controllers on mailslot TESSALY" "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if grep -q "Serving device controllers on mailslot TESSALY" "$log" 2>/dev/null; then
  echo "tessaly is serving (pid $pid), server area $KORVANE_HOME"
  sed 's/^/  /' "$log"
else
  echo "tessaly did not start serving; see $log and $console"
fi
echo "Logs:    $log (program log), $KORVANE_HOME/K-DB/SERVER.log, $console"
echo "Stop it: Ctrl-C here, or kill -TERM $pid"
# A signal interrupts a wait; wait again until tessaly has ended.
while kill -0 "$pid" 2>/dev/null; do wait "$pid" || true; done
status=0
wait "$pid" || status=$?
echo "tessaly stopped (exit code $status); last lines of its log:"
tail -n 3 "$log" | sed 's/^/  /'
