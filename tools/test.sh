#!/usr/bin/env bash
# Checks the formatting of the project's sources (tools/format.sh --check),
# builds everything with AddressSanitizer and UndefinedBehaviorSanitizer, runs
# every test (each fuzz target's corpus replay among them: fuzz_replay_*),
# builds the benchmarks, and runs the static checks (tools/lint.sh) over the
# project's sources beside the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh test
jobs=$(nproc)
# The interoperability tests need their outside peers, and the static checks
# clang-tidy: a missing one fails the run here rather than letting it skip.
for tool in tshark sipp tiffinfo tiffcp clang-tidy clang-format ld.lld; do
  command -v "$tool" >/dev/null || { echo "test: $tool is missing (bash tools/deps.sh test)"; exit 1; }
done
# Formatting first: a file that clang-format would change fails the run at
# once, named, before the long build.
bash tools/format.sh --check || { echo "test: the files above are not formatted (bash tools/format.sh)"; exit 1; }
# Line tables are all a sanitizer report needs (-g1): full debug information
# costs a third more compile time.  lld links the programs that take in most
# libraries in half the time of the default linker.  The tests' own sources
# and helpers build at -O0 and without the undefined-behaviour checks:
# optimising and instrumenting them took most of the build's compile time.
# What they test (the libraries and the two programs) still builds at -O2
# with both sanitizers, and the tests' own code keeps AddressSanitizer.
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
      "-DKV_TEST_COMPILE_OPTIONS=-O0;-fno-sanitize=undefined" \
      -DKV_LINKER=lld \
      -DKV_WHOLE_SYSTEM_ALONE=$([[ $jobs -le 2 ]] && echo ON || echo OFF) \
      -DKV_SANITIZE=ON -DKV_TESTS=ON -DKV_BENCH=ON -DKV_WERROR=ON -DKV_REQUIRE_PEERS=ON
cmake --build build/test -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The static checks run beside the tests at the lowest priority: they take
# only what the tests leave of the cores, so the real-time tests keep theirs.
# Once the tests are done, the files still to check go at the usual priority.
lint_out=$(mktemp)
tests_running=$(mktemp)
trap 'rm -f "$lint_out" "$tests_running"' EXIT
LINT_JOBS=$jobs LINT_LOW_WHILE=$tests_running bash tools/lint.sh >"$lint_out" 2>&1 &
lint_pid=$!
# Twice as many tests as cores: many of them wait on real-time peers.
tests_rc=0
(cd build/test && ctest --output-on-failure -j "$((jobs * 2))") || tests_rc=$?
rm -f "$tests_running"
lint_rc=0
wait "$lint_pid" || lint_rc=$?
cat "$lint_out"
[[ $tests_rc -eq 0 && $lint_rc -eq 0 ]] || { echo "test: tests exit code $tests_rc, static checks exit code $lint_rc"; exit 1; }
