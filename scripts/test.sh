#!/usr/bin/env bash
# Installs what is missing, builds horva twice (optimised, and with the
# address and undefined-behaviour sanitizers) and runs every test of the
# first and all but the long whole runs and tables of runs (label slow) of
# the second.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# The cores this script may run on (a taskset counts), for the builds and for
# ctest, which fits the process counts of the MPI tests into them.
jobs=$(nproc)
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DHORVA_WERROR=ON
cmake --build build -j "$jobs"

# The tests' runs spend much of their time waiting for MPI to start and end:
# the sanitizers' build takes the time they leave, at the lowest priority,
# so that it does not slow them.
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
      -DHORVA_WERROR=ON -DHORVA_SANITIZE=ON
sanitize_log=build-sanitize/build.log
# In a process group of its own, so that a failure of the tests below stops
# the compilers too.
setsid nice -n 19 cmake --build build-sanitize -j "$jobs" > "$sanitize_log" 2>&1 &
sanitize_build=$!
trap 'kill -- -"$sanitize_build" 2>/dev/null || true' EXIT

(cd build && ctest --output-on-failure -j "$jobs")

echo "building with the sanitizers (the output of the build: $sanitize_log)"
if ! wait "$sanitize_build"; then
  cat "$sanitize_log"
  exit 1
fi
trap - EXIT
tail -n 1 "$sanitize_log"
(cd build-sanitize && ctest --output-on-failure -j "$jobs" -LE slow)
