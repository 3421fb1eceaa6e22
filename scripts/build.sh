#!/usr/bin/env bash
# Sets up the machine, builds and stages the deliverables in build/stage/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DTESSAROLL_BENCHMARKS=OFF
cmake --build build -j "$(nproc)"
echo "Staged in $(pwd)/build/stage"
