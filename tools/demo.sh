#!/usr/bin/env bash
# The demonstration fax: sends the sample 3-page fax (tools/samples/SAMPLE3.TIF)
# through the whole system to an independent peer on this machine and checks
# what arrived.
#   1. starts the system (tools/run.sh) when it is not running on the area;
#   2. starts the far end on 127.0.0.1: sipp as the SIP gateway of the area's
#      SETUP.INI ("SIPGatewayAddress:" / "SIPGatewayPort:"), answering with a
#      T.38 answer that points at t38-fax-peer, spandsp's T.38 terminal, which
#      receives the fax into a TIFF file;
#   3. has the stand-in submit the sample to controller G1-1 and shows the job
#      result (status word, pages, connect time);
#   4. shows the SIP exchange (tshark summary of the capture on loopback) and
#      compares the pages the peer received with those sent.
# Exit code 0 only when the job succeeded, the peer received the fax and its
# pages equal those sent; 1 otherwise.  A system started here is stopped at
# the end.  KORVANE_HOME, KV_BIN_DIR as for tools/run.sh; KV_DEMO_SECONDS
# (default 180) bounds the fax.  Work files in <area>/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ -z "${KV_BIN_DIR:-}" ] || KV_BIN_DIR=$(cd "$KV_BIN_DIR" && pwd)
if [ -n "${KORVANE_HOME:-}" ]; then
  mkdir -p "$KORVANE_HOME"
  KORVANE_HOME=$(cd "$KORVANE_HOME" && pwd)
fi
cd "$root"
bash tools/deps.sh test
if [ -n "${KV_BIN_DIR:-}" ]; then
  bin=$KV_BIN_DIR
else
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF > /dev/null
  cmake --build build/release -j "${KV_JOBS:-$(nproc)}" \
    --target tessaly marrock drennic-standin t38-fax-peer | tail -n 1
  bin=$root/build/release
fi
export KV_BIN_DIR=$bin
for program in tessaly marrock drennic-standin t38-fax-peer; do
  [ -x "$bin/$program" ] || { echo "demo: $bin/$program is missing"; exit 1; }
done
area=${KORVANE_HOME:-$root/run}
mkdir -p "$area"
area=$(cd "$area" && pwd)
export KORVANE_HOME=$area
export KORVANE_MAILSLOT_DIR=$area/mailslot
limit=${KV_DEMO_SECONDS:-180}
work=$area/demo
rm -rf "$work"
mkdir -p "$work"
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Everything started here is stopped on the way out, each wait bounded.
pids=()
started_system=0
run_pid=
stop_pid() {  # stop_pid PID NAME SECONDS
  local t
  kill -0 "$1" 2> /dev/null || return 0
  kill -TERM "$1" 2> /dev/null || true
  for ((t = 0; t < $3 * 10; t++)); do
    kill -0 "$1" 2> /dev/null || break
    sleep 0.1
  done
  if kill -0 "$1" 2> /dev/null; then
    echo "demo: $2 (pid $1) still running after $3 s: killed"
    kill -KILL "$1" 2> /dev/null || true
  fi
  wait "$1" 2> /dev/null || true
}
finish() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[$i]%%:*}" "${pids[$i]#*:}" 5; done
  if [ "$started_system" = 1 ]; then
    echo "Stopping the system started for the demonstration"
    stop_pid "$run_pid" "tools/run.sh" 60
    sed -n '/^Stopping/,$p' "$work/run.log" | sed 's/^/  /'
  fi
}
trap finish EXIT
trap 'exit 1' INT TERM

# 1. The system.
if flock -n "$area/run.lock" true 2> /dev/null; then
  echo "Starting the system on $area (log $work/run.log)"
  setsid bash tools/run.sh > "$work/run.log" 2>&1 < /dev/null &
  run_pid=$!
  started_system=1
  for ((t = 0; t < 600; t++)); do
    grep -q '^Up in ' "$work/run.log" && break
    kill -0 "$run_pid" 2> /dev/null || break
    sleep 0.1
  done
  if ! grep -q '^Up in ' "$work/run.log"; then
    cat "$work/run.log"
    echo "demo: the system did not come up"
    exit 1
  fi
  grep -E ' is up |^Up in ' "$work/run.log" | sed 's/^/  /'
else
  echo "The system is running on $area"
fi
setup=$area/K-DB/SETUP.INI
ini_value() { sed -n "/^\[TESSALY\]/,/^\[/s/^$1:[[:space:]]*\([^[:space:]]*\).*/\1/p" "$setup" | head -n 1; }
gateway=$(ini_value SIPGatewayAddress)
gateway_port=$(ini_value SIPGatewayPort)
gateway=${gateway:-127.0.0.1}
gateway_port=${gateway_port:-5060}
case $gateway in 127.*) ;; *) echo "demo: SIPGatewayAddress $gateway is not on loopback"; exit 1 ;; esac

# 2. The far end: the fax peer first (its port goes into the SDP answer),
# then sipp; the capture runs while they do.
"$bin/t38-fax-peer" receive "$work/received.tif" --port-file "$work/peer.port" \
  --remote-file "$work/remote.txt" --seconds "$limit" --ident "DEMO PEER" > "$work/peer.log" 2>&1 &
pids+=("$!:t38-fax-peer")
peer_pid=$!
for ((t = 0; t < 50; t++)); do [ -s "$work/peer.port" ] && break; sleep 0.1; done
[ -s "$work/peer.port" ] || { cat "$work/peer.log"; echo "demo: the fax peer did not start"; exit 1; }
peer_port=$(cat "$work/peer.port")
capture=0
if command -v tshark > /dev/null; then
  tshark -i lo -q -f "udp port $gateway_port or udp port $peer_port" -w "$work/demo.pcap" > "$work/tshark.log" 2>&1 &
  tshark_pid=$!
  pids+=("$tshark_pid:tshark")
  for ((t = 0; t < 50; t++)); do
    grep -q 'Capturing on' "$work/tshark.log" && { capture=1; break; }
    kill -0 "$tshark_pid" 2> /dev/null || break
    sleep 0.1
  done
fi
[ "$capture" = 1 ] || echo "demo: no capture on loopback (tshark cannot capture here); the SIP summary comes from sipp"
(cd "$work" && exec sipp -sf "$root/tools/demo/uas-t38.xml" -i "$gateway" -p "$gateway_port" -m 1 -nostdin \
  -key peer_port "$peer_port" -key remote_file "$work/remote.txt" -trace_msg -message_file "$work/sip.log" \
  -timeout "$((limit + 10))" -timeout_error > "$work/sipp.log" 2>&1) &
sipp_pid=$!
pids+=("$sipp_pid:sipp")
sleep 0.5
kill -0 "$sipp_pid" 2> /dev/null || {
  tail -n 5 "$work/sipp.log"
  echo "demo: sipp could not take $gateway:$gateway_port"
  exit 1
}
echo "Far end: sipp on $gateway:$gateway_port, t38-fax-peer on 127.0.0.1:$peer_port"

# 3. The job.
standin_log=$area/standin.log
job=$((($(date +%s) % 9000) + 1000))
cp tools/samples/SAMPLE3.TIF "$work/SAMPLE3.TIF"
lines_before=$(wc -l < "$standin_log")
began=$(now_ms)
echo "Submitting job $job: $work/SAMPLE3.TIF (3 pages) to FOIP\\G1\\1, number 00001"
"$bin/drennic-standin" --post sendfax 'FOIP\G1\1' "$job" 00001 "$work\\" SAMPLE3.TIF 6 3
result=
for ((t = 0; t < limit * 10; t++)); do
  result=$(tail -n +"$((lines_before + 1))" "$standin_log" | grep -m 1 "JOB_RESULT FOIP/1 .* job=$job " || true)
  [ -n "$result" ] && break
  sleep 0.1
done
job_ms=$(($(now_ms) - began))
tail -n +"$((lines_before + 1))" "$standin_log" | sed 's/^/  stand-in: /'
ok=1
if [ -z "$result" ]; then
  echo "Job result: none within $limit s"
  ok=0
else
  status=$(sed 's/.* status=\(0x[0-9A-F]*\) .*/\1/' <<< "$result")
  pages=$(sed 's/.* pages=\([0-9]*\).*/\1/' <<< "$result")
  connect=$(sed 's/.* connect=\([0-9]*\) .*/\1/' <<< "$result")
  echo "Job result: status word $status, pages $pages, connect time $connect s; $job_ms ms from submit to result"
  [ "$status" = 0x0 ] && [ "$pages" = 3 ] || ok=0
fi

# 4. The far end's view: after a call the peer ends by itself (bounded).
if [ -e "$work/remote.txt" ]; then
  for ((t = 0; t < 100; t++)); do kill -0 "$peer_pid" 2> /dev/null || break; sleep 0.1; done
fi
stop_pid "$peer_pid" t38-fax-peer 1
stop_pid "$sipp_pid" sipp 1
sed 's/^/  /' "$work/peer.log"
grep -q '^t38-fax-peer: result 0 ' "$work/peer.log" || ok=0
echo "SIP exchange:"
if [ "$capture" = 1 ]; then
  stop_pid "$tshark_pid" tshark 5
  tshark -r "$work/demo.pcap" -d "udp.port==$gateway_port,sip" -Y sip -T fields -E separator=' ' \
    -e frame.time_relative -e ip.src -e udp.srcport -e ip.dst -e udp.dstport -e _ws.col.Info 2> /dev/null |
    sed -e 's/ | *$//' -e 's/^/  /' || true
  udptl=$(tshark -r "$work/demo.pcap" -d "udp.port==$peer_port,t38" -Y t38 2> /dev/null | wc -l || true)
  echo "  $udptl T.38 (UDPTL) datagrams to and from the peer; capture in $work/demo.pcap"
elif [ -e "$work/sip.log" ]; then
  grep -E '^(SIP/2\.0 [0-9]+|[A-Z]+ sip:)' "$work/sip.log" | sed 's/^/  /' || true
fi
if [ -s "$work/received.tif" ]; then
  "$bin/t38-fax-peer" compare "$work/SAMPLE3.TIF" "$work/received.tif" | sed 's/^/  /'
  "$bin/t38-fax-peer" compare "$work/SAMPLE3.TIF" "$work/received.tif" > /dev/null || ok=0
else
  echo "  the peer received no fax"
  ok=0
fi
if [ "$ok" = 1 ]; then
  echo "Demonstration passed: the peer received the 3 pages sent"
  exit 0
fi
echo "Demonstration FAILED; logs in $work and $area"
exit 1
