#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one.
#   tools/fuzz.sh 0         replay every seed corpus once in this build (the
#                           tests replay them in the sanitizer build without
#                           libFuzzer: fuzz_replay_<name>)
#   tools/fuzz.sh SECONDS   fuzz each target for SECONDS, growing a scratch corpus
#   tools/fuzz.sh SECONDS NAME   only fuzz/NAME.cpp
# A target's dictionary fuzz/NAME.dict (libFuzzer format), when present, is
# given to it in both kinds of run.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-0}
only=${2:-}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DKV_FUZZ=ON -DKV_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)"
shopt -s nullglob
targets=(fuzz/*.cpp)
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no targets"; exit 0; }
passed=0; failed=0
for src in "${targets[@]}"; do
  name=$(basename "$src" .cpp)
  [ -z "$only" ] || [ "$only" = "$name" ] || continue
  corpus=fuzz/corpus/$name
  mkdir -p "$corpus"
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  if [ "$secs" = 0 ]; then
    files=("$corpus"/*)
    if [ ${#files[@]} -eq 0 ]; then args=(-runs=200); else args=(-runs=0 "${files[@]}"); fi
    if build/fuzz/fuzz_$name "${dict[@]}" "${args[@]}" >build/fuzz/$name.log 2>&1; then
      passed=$((passed+1))
    else
      failed=$((failed+1)); echo "fuzz: $name FAILED"; tail -n 40 build/fuzz/$name.log
    fi
  else
    scratch=build/fuzz/corpus-$name
    mkdir -p "$scratch"
    if build/fuzz/fuzz_$name "${dict[@]}" -max_total_time="$secs" -print_final_stats=1 "$scratch" "$corpus"; then
      passed=$((passed+1))
    else
      failed=$((failed+1)); echo "fuzz: $name FAILED"
    fi
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
