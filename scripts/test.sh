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
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
      -DHORVA_WERROR=ON -DHORVA_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
(cd build-sanitize && ctest --output-on-failure -j "$jobs" -LE slow)
