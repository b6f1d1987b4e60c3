#!/usr/bin/env bash
# Optional extra, not part of tools/test.sh: builds the tests with
# ThreadSanitizer in build/tsan and runs those of the multi-threaded code.
#   tools/tsan.sh            the runtime, platform and common tests
#   tools/tsan.sh REGEX      the tests whose ctest name matches REGEX
# A data race makes the test program end with a failure (ThreadSanitizer's
# exit code) after printing both stacks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh test
tests=${1:-runtime|platform|common}
jobs=$(nproc)
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKV_SANITIZE=OFF -DKV_TESTS=ON -DKV_BENCH=OFF \
      -DCMAKE_CXX_FLAGS="-fsanitize=thread -g" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
cmake --build build/tsan -j "$jobs"
export TSAN_OPTIONS=halt_on_error=0:second_deadlock_stack=1
(cd build/tsan && ctest -R "$tests" --output-on-failure -j "$jobs")
