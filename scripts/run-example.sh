#!/usr/bin/env bash
# Installs what is missing, builds horva and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)" --target horva
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
mkdir -p run
cd run
status=0
mpirun --oversubscribe -np 2 ../build/driver/horva || status=$?
echo "horva ended with exit status $status"
