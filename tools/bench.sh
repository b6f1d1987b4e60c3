#!/usr/bin/env bash
# Builds the Google Benchmark programs in Release and runs them; each prints
# its own figures (codec benchmarks print our time against libtiff's;
# bench_t38_fax runs whole faxes in real time, a few minutes: tessaly's time
# over spandsp's, and tessaly's CPU and peak RSS with 19 sessions;
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
