#!/usr/bin/env bash
# Installs what is missing, builds horva and runs it on the example catchment
# (examples/catchment) under mpirun with 2 processes from a clean work folder,
# run/example; then says where the results are and what was written.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)" --target horva

# The work folder holds a copy of the control file, a link to the input and
# the output folder; nothing is written next to the inputs.
work=run/example
rm -rf "$work"
mkdir -p "$work/output"
cp examples/catchment/catchment.ctl examples/catchment/routing.ctl "$work/"
ln -s ../../examples/catchment/input "$work/input"

# Open MPI refuses to start as root without these two.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
start=$(date +%s.%N)
status=0
(cd "$work" && mpirun --oversubscribe -np 2 ../../build/driver/horva catchment.ctl) 2>&1 |
  tee "$work/console.txt" || status=$?
end=$(date +%s.%N)
here=$(pwd)
echo
if [[ $status -ne 0 ]]; then
  echo "horva ended with exit status $status (the full code is in the last FATAL entry of"
  echo "$here/$work/Horva_Diag_0.xml; the console is in $work/console.txt)"
  exit "$status"
fi

# The model period from the [model_time] lines: start hour, day, month,
# year, end hour, day, month, year.
period=$(awk '/^\[model_time\]/ {on = 1; next} on && NF {v[++n] = $1} n == 8 {exit}
  END {printf "%04d-%02d-%02d %02d:00 to %04d-%02d-%02d %02d:00, hourly",
       v[4], v[3], v[2], v[1], v[8], v[7], v[6], v[5]}' "$work/catchment.ctl.intern")
# Series of time-stamped files are shown once, with the stamp as a pattern.
group() {
  sed -E 's/_[0-9]{8}\.[0-9]{4}$/_YYYYMMDD.HHMM/; s/_[0-9]{4}\.[0-9]{2}([sm])$/_YYMM.DD\1/' |
    sort | uniq -c | awk '{printf "    %s%s\n", $2, ($1 > 1 ? " (" $1 " files)" : "")}'
}
cd "$work/output"
echo "horva ended with exit status 0 after $(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b - a}') s"
echo "model period: $period"
echo "results: $here/$work/output"
echo "  grids (ASCII):"
ls | grep -v -E '\.stat$|^points_' | group
echo "  statistics (per subbasin) and time series (special output):"
ls | grep -E '\.stat$|^points_' | group
echo "log: $here/$work/Horva_Diag_0.xml, console: $here/$work/console.txt"

# The outlet's peak and the water that left the catchment, in m3 and mm.
"$here/scripts/outlet-summary.sh" "$here/$work"

# Channel routing alone, from the total runoff this run wrote.
cd "$here/$work"
mpirun --oversubscribe -np 2 ../../build/driver/horva -mode:routing routing.ctl > routing.txt 2>&1 ||
  { echo "channel routing alone ended with an error (see $here/$work/routing.txt)"; exit 1; }
echo "channel routing alone (-mode:routing routing.ctl): output/routed_alone.stat"
