#include "meteo/inverse_distance_weighting.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

#include "meteo/station_file.h"

namespace {

using Candidate = InverseDistanceWeighting::Candidate;

// Keeps the `capacity` nearest of the stations offered, in ascending order
// of distance; stations are offered in ascending order of their index, so
// that of two at the same distance the lower index comes first.
void offer(Candidate* list, long& count, long capacity, double d2, long station) {
  if (count == capacity) {
    if (!(d2 < list[count - 1].squaredDistance)) return;
    --count;
  }
  long position = count;
  while (position > 0 && list[position - 1].squaredDistance > d2) {
    list[position] = list[position - 1];
    --position;
  }
  list[position] = Candidate{d2, station};
  ++count;
}

double weightOf(double d2, double exponent) {
  return exponent == 2.0 ? 1.0 / d2 : std::pow(d2, -0.5 * exponent);
}

// The weighted mean of one cell, built from its stations with a value in
// ascending order of distance. It is summed as deviations from the nearest
// value, so that stations of one value give exactly that value.
struct CellSum {
  double weightSum = 0.0;
  double weightedDeviations = 0.0;
  double exactSum = 0.0;
  long used = 0;
  long exact = 0;
  bool hasNearest = false;
  double nearestValue = 0.0;
  bool settled = false;

  void add(double d2, double value, double exponent, double maxD2, long maxStations) {
    if (!hasNearest) {
      hasNearest = true;
      nearestValue = value;
    }
    // Every further station lies farther away.
    if (d2 > maxD2) {
      settled = true;
      return;
    }
    if (d2 == 0.0) {
      exactSum += value;
      ++exact;
    } else {
      const double w = weightOf(d2, exponent);
      weightSum += w;
      weightedDeviations += w * (value - nearestValue);
    }
    settled = ++used >= maxStations;
  }
  double result(double nodata) const {
    if (exact > 0) return exactSum / static_cast<double>(exact);
    if (used > 0) return nearestValue + weightedDeviations / weightSum;
    return hasNearest ? nearestValue : nodata;
  }
};

} // namespace

InverseDistanceWeighting::InverseDistanceWeighting(const InterpolationCells& cellsArg,
                                                   const std::vector<double>& x,
                                                   const std::vector<double>& y,
                                                   const Parameters& parametersArg)
    : cells(cellsArg), stationX(x), stationY(y), parameters(parametersArg) {
  const long stations = static_cast<long>(stationX.size());
  length = std::min({stations, parameters.maxStations + reserveStations, maxListLength});
  long slots = 0;
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    rowStart.push_back(slots);
    slots += std::max(0L, cells.lastColumn(r) - cells.firstColumn(r) + 1);
  }
  nearest.assign(static_cast<std::size_t>(slots * length), 0);
  hasValue.assign(static_cast<std::size_t>(stations), 0);

  const long threads = omp_get_max_threads();
  std::vector<Candidate> lists(static_cast<std::size_t>(threads * length));
#pragma omp parallel for schedule(runtime)
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    Candidate* list = lists.data() + omp_get_thread_num() * length;
    for (long c = cells.firstColumn(r); c <= cells.lastColumn(r); ++c) {
      if (!cells.valid(r, c)) continue;
      const double cx = cells.centreX(r, c);
      const double cy = cells.centreY(r, c);
      long count = 0;
      for (long s = 0; s < stations; ++s) offer(list, count, length, squaredDistance(cx, cy, s), s);
      uint16_t* entry = nearest.data() + slot(r, c) * length;
      for (long k = 0; k < count; ++k) entry[k] = static_cast<uint16_t>(list[k].station);
    }
  }
}

double InverseDistanceWeighting::cellValue(long r, long c, const std::vector<double>& values,
                                           Candidate* all) const {
  const double cx = cells.centreX(r, c);
  const double cy = cells.centreY(r, c);
  const double maxD2 = parameters.maxDistance * parameters.maxDistance;
  const long maxStations = parameters.maxStations;
  const double exponent = parameters.exponent;
  CellSum sum;
  const uint16_t* list = nearest.data() + slot(r, c) * length;
  for (long k = 0; k < length && !sum.settled; ++k) {
    const long s = list[k];
    if (hasValue[s]) sum.add(squaredDistance(cx, cy, s), values[s], exponent, maxD2, maxStations);
  }
  const long stations = static_cast<long>(stationX.size());
  if (sum.settled || length == stations) return sum.result(cells.nodata);

  // Too many of the listed stations lack a value: the nearest of all.
  const long capacity = std::min(maxStations, stations);
  long count = 0;
  for (long s = 0; s < stations; ++s)
    if (hasValue[s]) offer(all, count, capacity, squaredDistance(cx, cy, s), s);
  CellSum full;
  for (long k = 0; k < count && !full.settled; ++k)
    full.add(all[k].squaredDistance, values[all[k].station], exponent, maxD2, maxStations);
  return full.result(cells.nodata);
}

void InverseDistanceWeighting::fill(const std::vector<double>& values, const ValueLimits& limits,
                                    Grid target) {
  const long stations = static_cast<long>(stationX.size());
  for (long s = 0; s < stations; ++s) hasValue[s] = values[s] > missingStationValue;
  const long capacity = std::max(1L, std::min(parameters.maxStations, stations));
  const long threads = omp_get_max_threads();
  if (static_cast<long>(scratch.size()) < threads * capacity)
    scratch.resize(static_cast<std::size_t>(threads * capacity));
#pragma omp parallel for schedule(runtime)
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    Candidate* all = scratch.data() + omp_get_thread_num() * capacity;
    double* row = target[r];
    for (long c = cells.firstColumn(r); c <= cells.lastColumn(r); ++c)
      if (cells.valid(r, c)) row[c] = limits.clamp(cellValue(r, c, values, all));
  }
}
