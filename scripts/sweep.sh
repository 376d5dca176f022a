#!/usr/bin/env bash
# Draws combinations of horva's modules, methods, options and weathers on the
# small example catchment and runs each as drawn on 1 process, on 1 with 2
# threads and on 3 or 4 (tests/example/combination_sweep.py), building horva
# first where it is missing or out of date:
#
#   scripts/sweep.sh --seed 7 --count 300 [--jobs 2] [--shrink]
#   scripts/sweep.sh --seed 7 --only 42          # draw 42 of seed 7 again
#   scripts/sweep.sh --example "snow=11 tracer=salt"
#   scripts/sweep.sh --found                     # the shrunk draws of earlier findings, each mended
#
# The work folders go to build/sweep (or --work DIR); those of failed draws
# stay there.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ! -f build/build.ninja ]]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DHORVA_WERROR=ON
fi
cmake --build build --target horva -j "${HORVA_BUILD_JOBS:-3}"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
exec python3 tests/example/combination_sweep.py --horva "$PWD/build/driver/horva" \
     --mpiexec "$(command -v mpiexec)" --work "$PWD/build/sweep" "$@" </dev/null
