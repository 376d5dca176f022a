#!/usr/bin/env bash
# Builds the benchmarks; run them from build-bench/bench/ (MPI ones under mpirun).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DHORVA_BENCH=ON -DHORVA_TESTS=OFF
cmake --build build-bench -j "$(nproc)"
