#!/usr/bin/env bash
# The outlet of a run of the example: its peak discharge and its date, and the
# water that left the catchment, in m3 and in mm over the catchment.
# usage: scripts/outlet-summary.sh <work folder of the run> (with input/ and output/)
set -euo pipefail
work=$1

# The routed discharge of subbasin 1 (column 5 of routed.stat, mm per hourly
# step over the whole catchment, whose area the zone grid gives). The water
# supply takes its water (m3/s per hourly step) out of the catchment before
# the outlet.
area=$(awk 'NR == 5 {size = $2} NR == 6 {nodata = $2} NR > 6 {for (i = 1; i <= NF; ++i)
  if ($i != nodata) ++n} END {printf "%.6f", n * size * size / 1e6}' "$work/input/zones.asc")
supplied=$(awk 'NR > 3 && $1 ~ /^[0-9]+$/ {v += $5 * 3600} END {printf "%.0f", v}' \
  "$work/output/abstraction_1.txt")
# A volume in m3 over the catchment of area km2 is volume / area / 1000 mm.
awk -v area="$area" -v supplied="$supplied" 'NR > 3 {q = $5 * area * 1000 / 3600
  volume += $5 * area * 1000
  if (q > peak) {peak = q; date = sprintf("%04d-%02d-%02d %02d:00", $1, $2, $3, $4)}}
  END {mm = area * 1000
       printf "outlet (%.2f km2): peak discharge %.3f m3/s on %s; %.0f m3 (%.2f mm over the "\
       "catchment) left the catchment: %.0f m3 (%.2f mm) at the outlet, %.0f m3 (%.2f mm) "\
       "through the water supply\n", area, peak, date, volume + supplied,
       (volume + supplied) / mm, volume, volume / mm, supplied, supplied / mm}' \
  "$work/output/routed.stat"
