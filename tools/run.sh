#!/usr/bin/env bash
# Builds the programs and runs the fax-over-IP manager on a server area that
# it creates under ./run when none is given (KORVANE_HOME).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh build
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF
cmake --build build/release -j "$(nproc)"
export KORVANE_HOME=${KORVANE_HOME:-$PWD/run}
if [ -x build/release/tessaly ]; then
  bash tools/make-server-area.sh "$KORVANE_HOME"
  export KORVANE_INI_PATH=${KORVANE_INI_PATH:-$KORVANE_HOME/KORVANE.INI}
  export KORVANE_MAILSLOT_DIR=${KORVANE_MAILSLOT_DIR:-$KORVANE_HOME/mailslot}
  cd "$KORVANE_HOME"
  exec "$OLDPWD/build/release/tessaly"
else
  echo "Built the libraries in build/release; the tessaly program is not part of this build yet."
fi
