#!/usr/bin/env bash
# The long soak: one lifetime of the whole system (tools/run.sh: tessaly,
# one marrock per channel, drennic-standin) on a server area of its own, on
# loopback, with ports picked free at start, carrying fax after fax both ways
# on the same channels, several at once, mixed with calls that end otherwise,
# then bursts of refused INVITEs and of OPTIONS, and a fax after them.
#   tools/soak.sh
# Rounds of faxes: a round sends one 1-page fax on each channel at once
# (sipp as the gateway, one spandsp T.38 peer per call), the next receives as
# many calls (sipp calls tessaly, the peers send), and so on.  Every few
# rounds (KV_SOAK_ENDINGS_EVERY) a round of other endings runs: a 486 from the
# gateway, a far end that hangs up mid-page, a far end whose fax stays silent,
# a controller abort and a CANCEL before the answer (the controllers held,
# stopped, while that call rings).  After the faxes every
# controller is taken offline, sipp sends the refused INVITEs (each must get
# a final refusal), the controllers come back online, sipp sends the OPTIONS
# (each must get its 200), and one more fax must go through.  Before stopping
# it waits for the system to go quiet.
# Printed: each round's faxes and tessaly's memory statistics when its last
# session ended; at the end the faxes passed, CPU time of tessaly per fax,
# its RSS after the first two rounds, after the first round of other endings
# (the start that counts: every road taken once) and at the end, where it
# lies (heap, arenas, files; also after each round), the refused and
# OPTIONS counts, and the pool lines of tessaly's resource report at start
# and at shutdown (K-DB/TESSALY.log).  Verdict line "soak: PASSED" (exit code
# 0) when every fax passed, every refused INVITE and OPTIONS got its answer,
# the fax after them passed, RSS grew less than KV_SOAK_RSS_GROWTH per cent,
# and the resource report at shutdown holds nothing the one at start did
# not (messages and buffers in transit aside, a few); "soak: FAILED ..." (exit code 1) otherwise.
# Settings (environment):
#   KV_SOAK_FAXES (1000)          faxes of the fax rounds
#   KV_SOAK_CHANNELS (19)         channels, each with its marrock
#   KV_SOAK_REFUSED (10000)       refused INVITEs
#   KV_SOAK_OPTIONS (10000)       OPTIONS
#   KV_SOAK_RATE (400)            calls per second of the two bursts
#   KV_SOAK_REFUSED_EACH_ROUND (0)  refused INVITEs sent beside each fax round
#                                 in which every channel carries a fax, once
#                                 every channel is busy with it (so each is
#                                 refused: no channel is free)
#   KV_SOAK_OPTIONS_EACH_ROUND (0)  OPTIONS sent beside each such round
#   KV_SOAK_SIDE_RATE (50)        calls per second of those
#   KV_SOAK_ENDINGS_EVERY (10)    a round of other endings after every N fax
#                                 rounds (0: none)
#   KV_SOAK_RSS_GROWTH (5)        largest RSS growth in per cent
#   KV_SOAK_QUIET_SECONDS (40)    the shutdown comes at least this long after
#                                 the bursts, so that their SIP transactions
#                                 have ended
#   KV_SOAK_FAX_SECONDS (120)     bound of one round
#   KV_SOAK_CANCEL_STRICT (1)     0: a CANCEL ending answered otherwise than
#                                 200 and 487 is printed, not counted
#   KV_BIN_DIR                    the programs (default: a Release build in
#                                 build/release); KORVANE_HOME the area
#                                 (default: a new temporary folder)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ -z "${KV_BIN_DIR:-}" ] || KV_BIN_DIR=$(cd "$KV_BIN_DIR" && pwd)
faxes=${KV_SOAK_FAXES:-1000}
channels=${KV_SOAK_CHANNELS:-19}
refused=${KV_SOAK_REFUSED:-10000}
options=${KV_SOAK_OPTIONS:-10000}
rate=${KV_SOAK_RATE:-400}
refused_each=${KV_SOAK_REFUSED_EACH_ROUND:-0}
options_each=${KV_SOAK_OPTIONS_EACH_ROUND:-0}
side_rate=${KV_SOAK_SIDE_RATE:-50}
endings_every=${KV_SOAK_ENDINGS_EVERY:-10}
growth_limit=${KV_SOAK_RSS_GROWTH:-5}
quiet=${KV_SOAK_QUIET_SECONDS:-40}
round_limit=${KV_SOAK_FAX_SECONDS:-120}
cancel_strict=${KV_SOAK_CANCEL_STRICT:-1}
[ "$channels" -ge 1 ] && [ "$channels" -le 62 ] || { echo "soak: KV_SOAK_CHANNELS must be 1 to 62"; exit 1; }
cd "$root"
if [ -n "${KV_BIN_DIR:-}" ]; then
  bin=$KV_BIN_DIR
else
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF > /dev/null
  cmake --build build/release -j "${KV_JOBS:-4}" --target tessaly marrock drennic-standin t38-fax-peer | tail -n 1
  bin=$root/build/release
fi
export KV_BIN_DIR=$bin
for program in tessaly marrock drennic-standin t38-fax-peer; do
  [ -x "$bin/$program" ] || { echo "soak: $bin/$program is missing"; exit 1; }
done
for tool in sipp tiffsplit tiffcrop tiffcp ss; do
  command -v "$tool" > /dev/null || { echo "soak: $tool is missing"; exit 1; }
done
if [ -n "${KORVANE_HOME:-}" ]; then
  mkdir -p "$KORVANE_HOME"
  area=$(cd "$KORVANE_HOME" && pwd)
else
  area=$(mktemp -d /tmp/kv-soak.XXXXXX)/area
  mkdir -p "$area"
fi
export KORVANE_HOME=$area
export KORVANE_MAILSLOT_DIR=$area/mailslot
work=$area/soak
rm -rf "$work"
mkdir -p "$work"
scen=$root/tests/host/lifetime
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# --- Ports: a block of 400 free UDP and TCP ports on loopback, in 30000-32767:
# below the ephemeral range (32768 and up), where no socket bound to port 0
# can take one later, and clear of the tests' fixed ranges (10000-29999, see
# tests/host/support/sip_road.h). ----------------------------------------------
port_free() { [ -z "$(ss -Hantu "( sport >= :$1 and sport < :$(($1 + $2)) )" 2> /dev/null)" ]; }
base=
for ((try = 0; try < 50; try++)); do
  b=$((30000 + RANDOM % 2360))
  b=$((b - b % 10))
  if port_free "$b" 400; then base=$b; break; fi
done
[ -n "$base" ] || { echo "soak: no free block of ports"; exit 1; }
sip_port=$base gw_port=$((base + 1)) uac_port=$((base + 2)) burst_port=$((base + 3)) options_port=$((base + 4))
media_port=$((base + 100))

# --- The area. ---------------------------------------------------------------
KV_MARROCK=$bin/marrock bash tools/make-server-area.sh "$area" > /dev/null
sed -i -e "s/^LocalSIPPort: .*/LocalSIPPort: $sip_port/" -e "s/^SIPGatewayPort: .*/SIPGatewayPort: $gw_port/" \
  -e "s/^LocalMediaPortStart: .*/LocalMediaPortStart: $media_port/" -e "s/^MaxSessions: .*/MaxSessions: $channels/" \
  "$area/K-DB/SETUP.INI"
sed -i -e "s/= 5060/= $sip_port/" -e "s/^record event = .*/record event = CNF_GLB|SMNGT_STAT/" "$area/Tessaly/glb.cfg"
grep -q '^\[Batch statistics\]' "$area/Tessaly/glb.cfg" ||
  printf '\n[Batch statistics]\nmode = When no more session running\n' >> "$area/Tessaly/glb.cfg"
sed -i -e "s/= 5070/= $gw_port/" "$area/Tessaly/session02.cfg"
for f in session01.cfg session02.cfg; do
  grep -q '^\[T.38 media address\]' "$area/Tessaly/$f" ||
    printf '\n[T.38 media address]\nlocal media IP address = 127.0.0.1\n' >> "$area/Tessaly/$f"
done
for ((n = 3; n <= channels; n++)); do
  grep -q "^\[FOIP-G1-$n\]" "$area/KORVANE.INI" || printf '\n[FOIP-G1-%d]\nPhoneNum: +44 20 7946 %04d\n' "$n" "$n" >> "$area/KORVANE.INI"
done
if [ "$channels" -lt 2 ]; then sed -i '/^\[FOIP-G1-2\]/,/^PhoneNum/d' "$area/KORVANE.INI"; fi
tiffsplit "$root/tools/samples/SAMPLE3.TIF" "$work/page" > /dev/null
# A short page (the top 200 rows of the sample's third page) keeps a fax to
# a few seconds: what is soaked is the life of the calls, not page data.
tiffcrop -U px -z 1,1,1728,200 "$work/pageaac.tif" "$work/crop.tif" > /dev/null
tiffcp -c g3 -r 200 "$work/crop.tif" "$work/ONE.TIF" > /dev/null
# A long page for the calls that must end in the middle of it.
cp "$work/pageaaa.tif" "$work/LONG.TIF"
# Scenarios with the per-call values taken from the injection file.
# The gateway takes a repeated INVITE of a call it has answered and goes on
# waiting for the ACK (tessaly may repeat its INVITE under load, a fault
# of its own that the soak is not about).
sed -e 's/\[peer_port\]/[field0]/g' -e 's/\[remote_file\]/[field1]/g' \
  -e 's|^  <recv request="ACK"/>|  <recv request="INVITE" optional="true"/>\n  <recv request="INVITE" optional="true"/>\n&|' \
  tools/demo/uas-t38.xml > "$work/uas.xml"
sed -e 's/\[peer_port\]/[field0]/g' -e 's/\[remote_file\]/[field1]/g' tests/host/sipp/uac-t38-call.xml > "$work/uac.xml"

# --- Everything started here is stopped on the way out, each wait bounded. ---
run_pid=
stop_pid() {  # stop_pid PID SECONDS
  local t
  kill -0 "$1" 2> /dev/null || { wait "$1" 2> /dev/null || true; return 0; }
  kill -TERM "$1" 2> /dev/null || true
  for ((t = 0; t < $2 * 10; t++)); do kill -0 "$1" 2> /dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2> /dev/null || true
  wait "$1" 2> /dev/null || true
}
controller_pids=()
held=0
hold_controllers() {  # hold_controllers STOP|CONT: every controller at once
  local p
  for p in "${controller_pids[@]}"; do kill "-$1" "$p" 2> /dev/null || true; done
  if [ "$1" = STOP ]; then held=1; else held=0; fi
}
finish() {
  local p
  [ "$held" = 0 ] || hold_controllers CONT
  for p in $(jobs -pr); do [ "$p" = "$run_pid" ] || stop_pid "$p" 2; done
  [ -z "$run_pid" ] || stop_pid "$run_pid" 60
}
trap finish EXIT
trap 'exit 1' INT TERM

echo "soak: area $area; SIP $sip_port, gateway $gw_port, media from $media_port; $channels channels"
setsid bash tools/run.sh > "$work/run.log" 2>&1 < /dev/null &
run_pid=$!
for ((t = 0; t < 600; t++)); do
  grep -q '^Up in ' "$work/run.log" && break
  kill -0 "$run_pid" 2> /dev/null || break
  sleep 0.1
done
grep -q '^Up in ' "$work/run.log" || { cat "$work/run.log"; echo "soak: FAILED: the system did not come up"; exit 1; }
tessaly_pid=$(sed -n 's/^tessaly is up (pid \([0-9]*\)).*/\1/p' "$work/run.log")
mapfile -t controller_pids < <(sed -n 's/^marrock G1-[0-9]* is up (pid \([0-9]*\)).*/\1/p' "$work/run.log")
standin_log=$area/standin.log
events=$area/glb_events.txt
tessaly_log=$area/K-DB/TESSALY.log
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$tessaly_pid/status" 2> /dev/null || echo 0; }
# Where tessaly's RSS lies: the main heap, anonymous mappings (the malloc
# arenas of other threads, thread stacks, large blocks mapped on their own),
# files; and how many arenas the threads' malloc made besides the main one
# (each leaves a reserve of address space without access).
rss_parts() {
  awk '/^[0-9a-f]+-[0-9a-f]+ / { kind = $6 == "[heap]" ? "heap" : $6 == "" || $6 ~ /^\[stack/ ? ($2 == "---p" ? "reserve" : "anon") : "file"; next }
       /^Size:/ { if (kind == "reserve" && $2 >= 1024) arenas++; next }
       /^Rss:/ { rss[kind] += $2 }
       END { printf "heap %d kB, anonymous %d kB, files %d kB, arenas %d", rss["heap"], rss["anon"], rss["file"], arenas }' \
    "/proc/$tessaly_pid/smaps" 2> /dev/null || echo "no smaps"
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$tessaly_pid/stat" 2> /dev/null || echo 0; }
hz=$(getconf CLK_TCK)

# Waits until PATTERN has appeared COUNT times in the stand-in's lines after
# line FROM, at most SECONDS; prints the matching lines.
wait_lines() {  # wait_lines FROM PATTERN COUNT SECONDS
  local got end=$((SECONDS + $4))
  while [ "$SECONDS" -lt "$end" ]; do
    got=$(tail -n +"$(($1 + 1))" "$standin_log" | grep -c -- "$2" || true)
    [ "$got" -ge "$3" ] && break
    sleep 0.1
  done
  tail -n +"$(($1 + 1))" "$standin_log" | grep -- "$2" || true
}
# Starts COUNT fax peers (MODE receive or send) for round R and writes the
# injection file; the peers' pids go into peer_pids.
peer_pids=()
start_peers() {  # start_peers MODE COUNT R [SECONDS]
  local i t args
  peer_pids=()
  echo "SEQUENTIAL" > "$work/calls-$3.csv"
  for ((i = 1; i <= $2; i++)); do
    rm -f "$work/p-$3-$i" "$work/r-$3-$i"
    if [ "$1" = receive ]; then
      args=(receive "$work/rx-$3-$i.tif")
    else
      args=(send "$work/ONE.TIF" --calling)
    fi
    "$bin/t38-fax-peer" "${args[@]}" --port-file "$work/p-$3-$i" --remote-file "$work/r-$3-$i" \
      --seconds "${4:-$round_limit}" > "$work/peer-$3-$i.log" 2>&1 &
    peer_pids+=("$!")
  done
  for ((i = 1; i <= $2; i++)); do
    for ((t = 0; t < 100; t++)); do [ -s "$work/p-$3-$i" ] && break; sleep 0.05; done
    echo "$(cat "$work/p-$3-$i");$work/r-$3-$i;" >> "$work/calls-$3.csv"
  done
}
reap_peers() {  # reap_peers SECONDS: waits for the peers of the round
  local p t
  for p in "${peer_pids[@]}"; do
    for ((t = 0; t < $1 * 10; t++)); do kill -0 "$p" 2> /dev/null || break; sleep 0.1; done
    stop_pid "$p" 1
  done
}
sipp_uas() {  # sipp_uas SCENARIO CALLS R [KEYS...]: sipp as the gateway
  local s=$1 m=$2 r=$3
  shift 3
  (cd "$work" && exec sipp -sf "$s" -i 127.0.0.1 -p "$gw_port" -m "$m" -nostdin -inf "$work/calls-$r.csv" \
    -timeout "$((round_limit + 30))" -timeout_error -trace_err -error_file "$work/sipp-$r.err" "$@" \
    > "$work/sipp-$r.log" 2>&1) &
  sipp_pid=$!
  sleep 0.3
}
sipp_uac() {  # sipp_uac SCENARIO CALLS R LOCAL-PORT [OPTIONS...]: sipp calls tessaly
  local s=$1 m=$2 r=$3 p=$4
  shift 4
  (cd "$work" && exec sipp -sf "$s" -i 127.0.0.1 -p "$p" "127.0.0.1:$sip_port" -m "$m" -nostdin \
    -key did 00001 -timeout "$((round_limit + 30))" -timeout_error -trace_err -error_file "$work/sipp-$r.err" "$@" \
    > "$work/sipp-$r.log" 2>&1) &
  sipp_pid=$!
}
wait_pid() {  # wait_pid PID SECONDS: its exit code in wait_code (124 when it had to be stopped)
  local t
  wait_code=0
  for ((t = 0; t < $2 * 10; t++)); do kill -0 "$1" 2> /dev/null || break; sleep 0.1; done
  if kill -0 "$1" 2> /dev/null; then stop_pid "$1" 1; wait_code=124; return 0; fi
  wait "$1" 2> /dev/null || wait_code=$?
}
# The memory statistics tessaly printed when its last session ended.
last_stats() {
  local f
  f=$(ls -t "$events"* 2> /dev/null | head -n 1)
  [ -n "$f" ] || { echo "no memory statistics"; return 0; }
  awk '/Memory state \(process\)/ { m = $10; b = $13; mm = $18; mb = $21 }
       /Timer cells/ { t = $8; tm = $11 }
       END { if (m != "") printf "messages %s (high-water %s), buffers %s (high-water %s), timer cells %s (high-water %s)\n", m, mm, b, mb, t, tm; else print "no memory statistics" }' "$f"
}
# Requests beside a fax round in which every channel carries a fax: OPTIONS
# from the start of the round, refused INVITEs once every channel is busy
# with its fax (a send has reached its page, a receive has rung in), so that
# no channel is free to take them; each stream takes about ten seconds at
# the default rate, well inside the rest of a fax.
side_pids=() side_names=()
side_refused_sent=0 side_refused_ok=0 side_options_sent=0 side_options_ok=0
sipp_side() {  # sipp_side SCENARIO CALLS NAME LOCAL-PORT
  (cd "$work" && exec sipp -sf "$1" -i 127.0.0.1 -p "$4" "127.0.0.1:$sip_port" -m "$2" -r "$side_rate" -l 200 \
    -nostdin -key did 00001 -key timeout_ms 8000 -timeout "$(($2 / side_rate + 60))" -timeout_error -trace_err \
    -error_file "$work/sipp-$3.err" > "$work/sipp-$3.log" 2>&1) &
  side_pids+=("$!")
  side_names+=("$3")
}
# Waits until each of channels 1..K has reported device state STATE in the
# stand-in's lines after line FROM, at most SECONDS.
wait_busy() {  # wait_busy FROM STATE K SECONDS
  local end=$((SECONDS + $4))
  while [ "$SECONDS" -lt "$end" ]; do
    tail -n +"$(($1 + 1))" "$standin_log" | awk -v s="state=$2" -v k="$3" '
      $2 == "DEVICE_STATUS" && $4 == s { split($3, d, "/"); seen[d[2] + 0] = 1 }
      END { n = 0; for (c in seen) if (c >= 1 && c <= k) n++; exit n < k }' && return 0
    sleep 0.1
  done
  return 1
}
side_start() {  # side_start K: OPTIONS beside a round of K faxes
  side_pids=() side_names=()
  [ "$1" = "$channels" ] || return 0
  [ "$options_each" -gt 0 ] || return 0
  sipp_side "$scen/uac-options.xml" "$options_each" "$round-options" "$options_port"
  side_options_sent=$((side_options_sent + options_each))
}
side_refuse() {  # side_refuse FROM STATE K: refused INVITEs once channels 1..K are busy
  [ "$3" = "$channels" ] && [ "$refused_each" -gt 0 ] || return 0
  if wait_busy "$1" "$2" "$3" 60; then
    sipp_side "$scen/uac-refused.xml" "$refused_each" "$round-refused" "$burst_port"
  else
    echo "  not every channel busy: no refused INVITEs beside round $round"
  fi
  side_refused_sent=$((side_refused_sent + refused_each))
}
side_end() {  # side_end: waits for the requests beside the round; prints them
  local i ok line=
  for i in "${!side_pids[@]}"; do
    wait_pid "${side_pids[$i]}" 90
    ok=$(sed -n 's/.*Successful call *|[^|]*|  *\([0-9]*\).*/\1/p' "$work/sipp-${side_names[$i]}.log" | tail -n 1)
    ok=${ok:-0}
    case ${side_names[$i]} in
      *-refused) side_refused_ok=$((side_refused_ok + ok)); line+=" refused INVITEs $ok of $refused_each;" ;;
      *-options) side_options_ok=$((side_options_ok + ok)); line+=" OPTIONS $ok of $options_each;" ;;
    esac
  done
  side_pids=() side_names=()
  [ -z "$line" ] || echo "  beside round $round:${line%;}"
}

# Job numbers are 16 bits: start low enough for the whole run.
job=$((($(date +%s) % 400) * 100 + 1000))
passed=0
done_faxes=0
round=0
cpu_start=$(cpu_ticks)
rss_first=
rss_warm=
statistics=()

# The rounds leave their direction, faxes and faxes passed in r_kind, r_n,
# r_ok.
r_kind= r_n=0 r_ok=0
# One round of sends: one fax on each of channels 1..K at once.
send_round() {  # send_round K
  local k=$1 i from lines ok=0 first=$((job + 1))
  round=$((round + 1))
  start_peers receive "$k" "$round"
  sipp_uas "$work/uas.xml" "$k" "$round"
  from=$(wc -l < "$standin_log")
  side_start "$k"
  for ((i = 1; i <= k; i++)); do
    job=$((job + 1))
    "$bin/drennic-standin" --post sendfax "FOIP\\G1\\$i" "$job" 00001 "$work\\" ONE.TIF 6 3 > /dev/null 2>&1
    sleep 0.1  # submitted over a second or two, as the receive rounds' calls arrive
  done
  side_refuse "$from" 3 "$k"  # 3: sending its page
  # Only the results of this round's jobs: a job left from a round that
  # timed out must not be counted here.
  local jobs=$first
  for ((i = first + 1; i <= job; i++)); do jobs+="\\|$i"; done
  lines=$(wait_lines "$from" "JOB_RESULT FOIP/.* job=\\($jobs\\) " "$k" "$round_limit")
  ok=$(grep -c ' status=0x0 .* pages=1' <<< "$lines" || true)
  reap_peers 20
  wait_pid "$sipp_pid" 10
  side_end
  r_kind=send r_n=$k r_ok=$ok
}
# One round of receives: K calls to tessaly at once.
receive_round() {  # receive_round K
  local k=$1 from lines ok=0
  round=$((round + 1))
  start_peers send "$k" "$round"
  from=$(wc -l < "$standin_log")
  side_start "$k"
  sipp_uac "$work/uac.xml" "$k" "$round" "$uac_port" -inf "$work/calls-$round.csv" -l "$k" -r "$k" -rp 1000
  local fax_sipp=$sipp_pid
  side_refuse "$from" 9 "$k"  # 9: the call rang in
  lines=$(wait_lines "$from" "JOB_RESULT FOIP/.* job=0 " "$k" "$round_limit")
  ok=$(grep -c ' status=0x0 .* pages=1' <<< "$lines" || true)
  reap_peers 20
  wait_pid "$fax_sipp" 10
  side_end
  rm -f "$area"/USERS/FAXIN/K-IN/~RECD*
  r_kind=receive r_n=$k r_ok=$ok
}
# Waits for the controllers that took part to report IDLE again.
wait_idle() {  # wait_idle SECONDS
  local end=$((SECONDS + $1))
  while [ "$SECONDS" -lt "$end" ]; do
    awk -v n="$channels" '/DEVICE_STATUS FOIP\// { split($3, d, "/"); s = $4; sub(/state=/, "", s); st[d[2]] = s }
      END { for (i = 1; i <= n; i++) if (st[i] != "1") exit 1 }' "$standin_log" && return 0
    sleep 0.1
  done
  return 1
}
# A round of other endings on the first channels, one after the other; each
# must end the way it should and leave every channel IDLE; no fax is counted.
# What went otherwise is added to ending_faults (and to the verdict).
ending_faults=()
endings_rounds=0
ending_fault() {  # ending_fault TEXT
  echo "  FAULT: $1"
  ending_faults+=("round $round: $1")
}
endings_round() {
  local from r0 i code result
  endings_rounds=$((endings_rounds + 1))
  round=$((round + 1))
  r0=$round
  from=$(wc -l < "$standin_log")
  # 486 from the gateway (channel 1), on a gateway of its own for this call:
  # the scenarios of the round are run one after the other on the gateway
  # port, each a short one.
  (cd "$work" && exec sipp -sf "$root/tests/host/sipp/uas-busy.xml" -i 127.0.0.1 -p "$gw_port" -m 1 -nostdin \
    -timeout 30 -timeout_error > "$work/sipp-$r0-busy.log" 2>&1) &
  sipp_pid=$!
  sleep 0.3
  job=$((job + 1))
  "$bin/drennic-standin" --post sendfax 'FOIP\G1\1' "$job" 00001 "$work\\" ONE.TIF 6 3 > /dev/null 2>&1
  wait_pid "$sipp_pid" 30
  code=$wait_code
  result=$(wait_lines "$from" "JOB_RESULT FOIP/1 .* job=$job " 1 30)
  echo "  486 from the gateway: sipp $code; $result"
  [ "$code" = 0 ] || ending_fault "486: the gateway's call did not end as it should (sipp $code)"
  [ -n "$result" ] || ending_fault "486: no job result"
  ! grep -q ' status=0x0 ' <<< "$result" || ending_fault "486: the job was reported a success"
  # The far end hangs up mid-page (channel 1), then a silent far end
  # (channel 2, when there is one; nothing listens on its media port), then
  # a controller abort mid-fax (channel 1).  Each ends with tessaly's or the
  # gateway's BYE answered, and a job result that is not a success.
  for what in bye silent abort; do
    [ "$what" != silent ] || [ "$channels" -ge 2 ] || continue
    round=$((round + 1))
    start_peers receive 1 "$round" 60
    if [ "$what" = silent ]; then
      stop_pid "${peer_pids[0]}" 1
      echo "SEQUENTIAL" > "$work/calls-$round.csv"
      echo "9;$work/r-$round-1;" >> "$work/calls-$round.csv"
    fi
    case $what in
      bye) sipp_uas "$scen/uas-t38-bye.xml" 1 "$round" -trace_msg -message_file "$work/sipp-$round-messages.log" ;;
      *) sipp_uas "$work/uas.xml" 1 "$round" ;;
    esac
    i=1
    [ "$what" = silent ] && i=2
    job=$((job + 1))
    from=$(wc -l < "$standin_log")
    "$bin/drennic-standin" --post sendfax "FOIP\\G1\\$i" "$job" 00001 "$work\\" LONG.TIF 6 3 > /dev/null 2>&1
    if [ "$what" = abort ]; then
      sleep 6
      "$bin/drennic-standin" --post abort "FOIP\\G1\\$i" > /dev/null 2>&1
    fi
    result=$(wait_lines "$from" "JOB_RESULT FOIP/$i .* job=$job " 1 "$round_limit")
    reap_peers 5
    wait_pid "$sipp_pid" 15
    code=$wait_code
    echo "  $what: sipp $code; $result"
    [ "$code" = 0 ] || ending_fault "$what: the gateway's call did not end as it should (sipp $code)"
    [ -n "$result" ] || ending_fault "$what: no job result"
    ! grep -q ' status=0x0 ' <<< "$result" || ending_fault "$what: the job was reported a success"
  done
  # CANCEL before the controller answers: tessaly says nothing to the caller
  # until a controller takes the call, and a controller answers its ring-in
  # within milliseconds, so the controllers are held (stopped) while the
  # call rings and the caller gives up: 200 to the CANCEL, 487 to the
  # INVITE, and the ACK of the 487 taken.  Let go, the controller that was
  # rung finds its late answer refused and goes back to IDLE.
  round=$((round + 1))
  hold_controllers STOP
  sipp_uac "$scen/uac-cancel.xml" 1 "$round" "$uac_port"
  wait_pid "$sipp_pid" 30
  code=$wait_code
  hold_controllers CONT
  echo "  CANCEL before the answer: sipp $code"
  if [ "$code" != 0 ]; then
    if [ "$cancel_strict" = 1 ]; then
      ending_fault "CANCEL before the answer: not 200 to the CANCEL and 487 to the INVITE (sipp $code)"
    else
      echo "  (not counted: KV_SOAK_CANCEL_STRICT=0)"
    fi
  fi
  wait_idle 60 || ending_fault "not every channel IDLE after the endings"
}

echo "soak: $faxes faxes in rounds of up to $channels; then $refused refused INVITEs and $options OPTIONS"
began=$(now_ms)
fax_rounds=0
direction=send
while [ "$done_faxes" -lt "$faxes" ]; do
  k=$((faxes - done_faxes))
  [ "$k" -le "$channels" ] || k=$channels
  if [ "$direction" = send ]; then
    send_round "$k"
    direction=receive
  else
    receive_round "$k"
    direction=send
  fi
  done_faxes=$((done_faxes + r_n))
  passed=$((passed + r_ok))
  fax_rounds=$((fax_rounds + 1))
  wait_idle 30 || echo "  not every channel IDLE after round $round"
  # RSS once a round each way has grown the pools to their working size.
  [ -n "$rss_first" ] || [ "$fax_rounds" -lt 2 ] || rss_first=$(rss_kb)
  stats=$(last_stats)
  statistics+=("$stats")
  echo "round $round: $r_kind $r_ok of $r_n; tessaly RSS $(rss_kb) kB ($(rss_parts)); at the end: $stats"
  if [ "$endings_every" -gt 0 ] && [ $((fax_rounds % endings_every)) = 0 ] && [ "$done_faxes" -lt "$faxes" ]; then
    echo "round of other endings:"
    endings_round
    echo "  tessaly RSS $(rss_kb) kB ($(rss_parts)); at the end: $(last_stats)"
    [ -n "$rss_warm" ] || rss_warm=$(rss_kb)
  fi
done
fax_ms=$(($(now_ms) - began))
cpu_faxes=$(($(cpu_ticks) - cpu_start))

# --- Refused INVITEs: every controller offline, then a burst. --------------
refused_ok=0
if [ "$refused" -gt 0 ]; then
  for ((n = 1; n <= channels; n++)); do
    "$bin/drennic-standin" --post offline "FOIP\\G1\\$n" > /dev/null 2>&1
  done
  sleep 2
  round=$((round + 1))
  b=$(now_ms)
  sipp_uac "$scen/uac-refused.xml" "$refused" "$round" "$burst_port" -r "$rate" -l 2000 -key timeout_ms 8000 \
    -timeout "$((refused / rate + 120))"
  wait_pid "$sipp_pid" "$((refused / rate + 150))"
  code=$wait_code
  refused_ok=$(sed -n 's/.*Successful call *|[^|]*|  *\([0-9]*\).*/\1/p' "$work/sipp-$round.log" | tail -n 1)
  refused_ok=${refused_ok:-0}
  echo "refused INVITEs: $refused_ok of $refused answered with a refusal in $(($(now_ms) - b)) ms (sipp $code);" \
    "RSS $(rss_kb) kB"
  for ((n = 1; n <= channels; n++)); do
    "$bin/drennic-standin" --post online "FOIP\\G1\\$n" > /dev/null 2>&1
  done
  wait_idle 30 || echo "  not every channel IDLE after the refused INVITEs"
fi
# --- OPTIONS. -----------------------------------------------------------------
options_ok=0
if [ "$options" -gt 0 ]; then
  round=$((round + 1))
  b=$(now_ms)
  sipp_uac "$scen/uac-options.xml" "$options" "$round" "$burst_port" -r "$rate" -l 2000 -key timeout_ms 8000 \
    -timeout "$((options / rate + 120))"
  wait_pid "$sipp_pid" "$((options / rate + 150))"
  code=$wait_code
  options_ok=$(sed -n 's/.*Successful call *|[^|]*|  *\([0-9]*\).*/\1/p' "$work/sipp-$round.log" | tail -n 1)
  options_ok=${options_ok:-0}
  echo "OPTIONS: $options_ok of $options answered 200 in $(($(now_ms) - b)) ms (sipp $code); RSS $(rss_kb) kB"
fi
bursts_ended=$(now_ms)
# --- A fax after the bursts, each way. -----------------------------------------
send_round 1
after_send=$r_ok
wait_idle 30 || true
receive_round 1
after_receive=$r_ok
echo "fax after the bursts: send $after_send of 1, receive $after_receive of 1"
wait_idle 30 || echo "  not every channel IDLE at the end"

# The transactions of the bursts end a fixed time after their last answer:
# the time of the fax after them counts towards it.
wait_s=$(((bursts_ended + quiet * 1000 - $(now_ms)) / 1000))
[ "$wait_s" -gt 0 ] || wait_s=0
echo "waiting ${wait_s} s for the system to go quiet (${quiet} s after the bursts)"
sleep "$wait_s"
rss_end=$(rss_kb)
parts_end=$(rss_parts)
cpu_total=$(($(cpu_ticks) - cpu_start))
statistics+=("$(last_stats)")
stop_pid "$run_pid" 60
run_pid=
sed -n '/^Stopping/,$p' "$work/run.log" | grep -E 'killed|exit code|All stopped' | sed 's/^/  /'

# --- Figures and verdict. -----------------------------------------------------
report() {  # report WHEN: the resource report of tessaly's log, without the time stamps
  awk -v when="$1" '
    index($0, "Resources at " when ":") { on = 1; delete lines; n = 0; next }
    on && / -   (pool|heap|SIP|SSC)/ { sub(/^.* -   /, ""); lines[++n] = $0; next }
    on { on = 0 }
    END { for (i = 1; i <= n; i++) print lines[i] }' "$tessaly_log"
}
held() {  # held WHEN: "messages buffers timers sockets ssc-calls dialogs foip t38"
  report "$1" | awk '
    /^pool messages:/ { sub(/.*held /, ""); m = $1 + 0 }
    /^pool buffers:/ { sub(/.*held /, ""); b = $1 + 0 }
    /^pool timer cells:/ { sub(/.*in use /, ""); t = $1 + 0 }
    /^SSC calls/ { split($0, f, /[ ,]+/); sc = f[3]; sd = f[6]; fs = f[9]; ts = f[12]; so = f[14] }
    END { print m, b, t, so, sc, sd, fs, ts }'
}
echo "soak figures:"
echo "  faxes passed: $passed of $done_faxes (fax rounds $fax_rounds, $((fax_ms / 1000)) s)"
[ "$done_faxes" -gt 0 ] && echo "  CPU of tessaly per fax: $((cpu_faxes * 1000 / hz / done_faxes)) ms (whole run: $((cpu_total * 1000 / hz)) ms)"
per_mille() {  # per_mille FROM TO: growth in tenths of a per cent
  if [ -n "$1" ] && [ "$1" -gt 0 ]; then echo $((($2 - $1) * 1000 / $1)); else echo 0; fi
}
percent() { echo "$(($1 / 10)).$(($1 < 0 ? -$1 % 10 : $1 % 10)) %"; }
# The growth that counts is measured from the end of the first round of other
# endings, when every road has been taken once (all channels at once each
# way, and the long pages and other endings of that round); without such a
# round, from the end of the first two fax rounds.
growth_early=$(per_mille "$rss_first" "$rss_end")
rss_base=${rss_warm:-$rss_first}
growth=$(per_mille "$rss_base" "$rss_end")
echo "  RSS of tessaly: $rss_first kB after the first two rounds, ${rss_warm:-(none)} kB after the first round" \
  "of other endings, $rss_end kB at the end ($(percent "$growth_early") from the first two rounds," \
  "$(percent "$growth") from the first round of other endings); at the end: $parts_end"
# The requests beside the fax rounds count with the bursts.
refused_all=$((refused + side_refused_sent)) options_all=$((options + side_options_sent))
refused_ok=$((refused_ok + side_refused_ok)) options_ok=$((options_ok + side_options_ok))
echo "  refused INVITEs answered: $refused_ok of $refused_all; OPTIONS answered: $options_ok of $options_all"
[ $((side_refused_sent + side_options_sent)) = 0 ] ||
  echo "  (beside the fax rounds: refused INVITEs $side_refused_ok of $side_refused_sent, OPTIONS $side_options_ok of $side_options_sent)"
echo "  rounds of other endings: $endings_rounds, faults ${#ending_faults[@]}"
echo "  memory statistics after the first round: ${statistics[0]:-none}"
echo "  memory statistics at the end: ${statistics[${#statistics[@]} - 1]}"
echo "  resource report at start:"
report start | sed 's/^/    /'
echo "  resource report at shutdown:"
report shutdown | sed 's/^/    /'
verdict=()
[ "$passed" = "$done_faxes" ] || verdict+=("$((done_faxes - passed)) faxes failed")
[ "$refused_ok" = "$refused_all" ] || verdict+=("$((refused_all - refused_ok)) refused INVITEs without their refusal")
[ "$options_ok" = "$options_all" ] || verdict+=("$((options_all - options_ok)) OPTIONS without their 200")
[ "$after_send" = 1 ] && [ "$after_receive" = 1 ] || verdict+=("the fax after the bursts failed")
verdict+=("${ending_faults[@]}")
[ "$growth" -lt $((growth_limit * 10)) ] || verdict+=("RSS grew by more than $growth_limit % after the first round of other endings")
read -r -a s0 <<< "$(held start)"
read -r -a s1 <<< "$(held shutdown)"
names=(messages buffers "timer cells" sockets "SSC calls" "SSC dialogs" "FOIP sessions" "T.38 sessions")
if [ "${#s1[@]}" != 8 ] || [ "${#s0[@]}" != 8 ]; then
  verdict+=("no resource report of tessaly")
else
  for i in "${!names[@]}"; do
    # Messages and buffers on their way between tessaly and the controllers
    # at the moment of a report: a few either way.
    slack=0
    [ "$i" -ge 2 ] || slack=4
    [ "${s1[$i]}" -le $((s0[$i] + slack)) ] || verdict+=("${names[$i]} ${s1[$i]} at shutdown, ${s0[$i]} at start")
  done
fi
if [ "${#verdict[@]}" = 0 ]; then
  echo "soak: PASSED"
  exit 0
fi
printf -v why '%s; ' "${verdict[@]}"
echo "soak: FAILED: ${why%; }"
exit 1
