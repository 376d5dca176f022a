#pragma once

#include <cstdint>
#include <vector>

#include "meteo/interpolation_cells.h"

// Inverse distance weighting of station values onto the cell centres: the
// mean of the nearest stations with a value within the maximum distance (at
// most the maximum number), weighted by distance^-exponent; the value of the
// nearest station with a value when none lies within the distance; the
// station's own value at a cell centre that coincides with it.
class InverseDistanceWeighting {
public:
  struct Parameters {
    double exponent = 2.0;
    double maxDistance = 0.0;
    long maxStations = 1;
  };
  // Station indices are kept in 16 bits.
  static constexpr long maxStationCount = 65535;
  // Stations held per cell beyond the maximum number, for those without a
  // value in a step, and the most held per cell (2 bytes each).
  static constexpr long reserveStations = 4;
  static constexpr long maxListLength = 16;

  // Orders the stations of every valid cell by distance once: the nearest
  // maxStations + reserve of them, at most maxListLength.
  InverseDistanceWeighting(const InterpolationCells& cells, const std::vector<double>& stationX,
                           const std::vector<double>& stationY, const Parameters& parameters);

  // Sets every valid cell of the strip rows from the station values (at or
  // below -999 missing; at least one must be given), within the limits.
  // Cells whose list of stations runs out of values are computed from all
  // stations.
  void fill(const std::vector<double>& values, const ValueLimits& limits, Grid target);

  long listLength() const { return length; }

  struct Candidate {
    double squaredDistance;
    long station;
  };

private:
  double squaredDistance(double x, double y, long station) const {
    const double dx = x - stationX[station];
    const double dy = y - stationY[station];
    return dx * dx + dy * dy;
  }
  long slot(long r, long c) const {
    return rowStart[r - cells.firstRow] + c - cells.firstColumn(r);
  }
  double cellValue(long r, long c, const std::vector<double>& values, Candidate* scratch) const;

  InterpolationCells cells;
  std::vector<double> stationX;
  std::vector<double> stationY;
  Parameters parameters;
  long length = 0;
  std::vector<long> rowStart;     // first slot of each strip row
  std::vector<uint16_t> nearest;  // `length` station indices per slot
  std::vector<char> hasValue;     // per station, in the current step
  std::vector<Candidate> scratch; // per thread, for cells that need every station
};
