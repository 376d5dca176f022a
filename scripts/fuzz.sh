#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
# usage: scripts/fuzz.sh [seconds per target, default 120] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
seconds=${1:-120}
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHORVA_FUZZ=ON -DHORVA_TESTS=OFF
cmake --build build-fuzz -j "$(nproc)"
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for f in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "${f%.cpp}")"); done
fi
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  echo "== $t"
  "build-fuzz/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 "build-fuzz/corpus/$t" 2>&1 |
    grep -E 'stat::number_of_executed_units|stat::peak_rss|SUMMARY|ERROR|crash-' || true
done
