#!/usr/bin/env bash
# Sets up and runs the main job on a fresh Debian 12 machine: builds the
# library and its tools, makes the simulated machine (one card of each
# family) and shows its cards, first as the simulator holds them, then as the
# library finds them.
set -euo pipefail

cd "$(dirname "$0")/.."
build=${QUELT_BUILD_PREFIX:-build}
bash scripts/install-deps.sh linux
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"${QUELT_JOBS:-2}" --target quelt-sim quelt

echo "--- the simulated machine"
"$build/quelt-sim" init
"$build/quelt-sim" list
echo "--- the cards as the library finds them"
"$build/quelt" list
