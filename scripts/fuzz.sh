#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while, each
# from a folder of its own (build-fuzz/work/<target>) with its corpus in
# build-fuzz/corpus/<target> and its findings in build-fuzz/artifacts/<target>.
# usage: scripts/fuzz.sh [seconds per target, default 120] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
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
  # Absolute paths, so that a target may write into its working folder.
  corpus="$root/build-fuzz/corpus/$t"
  artifacts="$root/build-fuzz/artifacts/$t/"
  work="$root/build-fuzz/work/$t"
  mkdir -p "$corpus" "$artifacts" "$work"
  echo "== $t"
  (cd "$work" && "$root/build-fuzz/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$corpus" 2>&1) |
    grep -E 'files found|stat::number_of_executed_units|stat::peak_rss|SUMMARY|ERROR|artifact' || true
done
