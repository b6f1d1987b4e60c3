#!/usr/bin/env bash
# Builds the Google Benchmark programs in Release and runs them; each prints
# its own figures (codec benchmarks print our time against libtiff's;
# bench_t38_fax runs whole faxes in real time, a few minutes: tessaly's time
# over spandsp's, and tessaly's CPU and peak RSS with 19 sessions;
# bench_fax19_system runs 19 sends and then 19 receives at once through the
# real programs (tools/run.sh, sipp as the gateway, spandsp's T.38 terminal
# as every far end), a minute or two, and prints tessaly's CPU share of one
# core and peak RSS for each, KV_FAX19_PAGES (1 to 3) to send more pages;
# bench_idle_cost leaves the same system idle for a minute (KV_IDLE_SECONDS)
# and prints the CPU share of tessaly and of the controllers;
# bench_sip_parse_sofia prints our SIP parser's throughput over sofia-sip's;
# bench_sip_load_sipp sends OPTIONS and refused INVITEs to the real tessaly
# with sipp for a minute, KV_SIP_LOAD_SECONDS and KV_SIP_LOAD_RATE to change
# that, and prints the requests answered and tessaly's CPU share).
#   tools/bench.sh           every benchmark
#   tools/bench.sh NAME ...  only bench/NAME.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh test
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF -DKV_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)"
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in bench/*.cpp; do names+=("$(basename "$f" .cpp)"); done
fi
for n in "${names[@]}"; do
  echo "== bench_$n"
  "build/bench/bench_$n"
done
