#!/usr/bin/env bash
# Builds the Google Benchmark programs in Release and runs them; each prints
# its own figures (codec benchmarks print our time against libtiff's;
# bench_t38_fax runs whole faxes in real time, a few minutes: tessaly's time
# over spandsp's, and tessaly's CPU and peak RSS with 19 sessions).
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
