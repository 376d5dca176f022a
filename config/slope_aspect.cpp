#include "config/slope_aspect.h"

#include <cmath>
#include <string>
#include <tuple>

#include "config/defaultini.h"
#include "core/diag_stream.h"

namespace {

constexpr double degreesPerRadian = 57.29577951307855;
// Below this length per neighbour the directions of the neighbours cancel.
constexpr double cancellingResultant = 1e-9;

// The neighbours of a cell, clockwise from the upper right.
constexpr long neighbourRow[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
constexpr long neighbourColumn[8] = {1, 1, 1, 0, -1, -1, -1, 0};

} // namespace

void slopeAndAspectFromElevation(Grid e, Grid slope, Grid aspect, const GridShape& s) {
  const double nodata = s.nodata;
  const double twoCells = 2.0 * s.cellsize;
  const long nrows = s.nrows;
  const long ncols = s.ncols;
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= nrows; ++r) {
    for (long k = 1; k <= ncols; ++k) {
      if (slope) slope[r][k] = nodata;
      if (aspect) aspect[r][k] = nodata;
    }
    if (r == 1 || r == nrows) continue;
    for (long k = 2; k < ncols; ++k) {
      const double north = e[r - 1][k];
      const double south = e[r + 1][k];
      const double west = e[r][k - 1];
      const double east = e[r][k + 1];
      if (north == nodata || south == nodata || west == nodata || east == nodata) continue;
      const double gx = (east - west) / twoCells;
      const double gy = (north - south) / twoCells;
      if (slope)
        slope[r][k] = gx == 0.0 && gy == 0.0
                          ? 0.0
                          : std::atan(std::sqrt(gx * gx + gy * gy)) * degreesPerRadian;
      if (!aspect) continue;
      if (gx == 0.0)
        aspect[r][k] = gy > 0.0 ? 180.0 : 0.0;
      else
        aspect[r][k] = 180.0 - std::atan(gy / gx) * degreesPerRadian + 90.0 * gx / std::fabs(gx);
    }
  }
}

namespace {

// The mean of the neighbours inside the grid that hold a value; false when
// none does.
bool neighbourMean(Grid g, long r, long k, const GridShape& s, bool angles, double& mean) {
  double sum = 0.0;
  double east = 0.0;
  double north = 0.0;
  int count = 0;
  for (int n = 0; n < 8; ++n) {
    const long q = r + neighbourRow[n];
    const long j = k + neighbourColumn[n];
    if (q < 1 || q > s.nrows || j < 1 || j > s.ncols || g[q][j] == s.nodata) continue;
    ++count;
    if (angles) {
      east += std::sin(g[q][j] / degreesPerRadian);
      north += std::cos(g[q][j] / degreesPerRadian);
    } else {
      sum += g[q][j];
    }
  }
  if (count == 0) return false;
  if (!angles) {
    mean = sum / count;
    return true;
  }
  if (std::hypot(east, north) < cancellingResultant * count) {
    mean = 0.0;
    return true;
  }
  mean = std::atan2(east, north) * degreesPerRadian;
  if (mean < 0.0) mean += 360.0;
  if (mean >= 360.0) mean -= 360.0;
  return true;
}

} // namespace

void fillFromValuedNeighbours(Grid e, Grid g, const GridShape& s, bool angles) {
  for (int pass = 0; pass < 2; ++pass)
    for (long r = 1; r <= s.nrows; ++r)
      for (long k = 1; k <= s.ncols; ++k) {
        double mean = 0.0;
        if (e[r][k] != s.nodata && g[r][k] == s.nodata && neighbourMean(g, r, k, s, angles, mean))
          g[r][k] = mean;
      }
}

void defaultini::make_Slope_and_Aspect() {
  const int elevationIndex = findGrid("[elevation_model]", 1);
  if (elevationIndex < 1 || !registry[elevationIndex].grid) return;
  auto registered = [&](const char* name, int& index, Grid& grid) {
    index = findGrid(name, 1);
    grid = index > 0 ? registry[index].grid : nullptr;
    if (!grid) index = 0;
    return grid != nullptr;
  };
  const bool madeSlope = !registered("slope_angle", slopeIndex, slopeGrid);
  const bool madeAspect = !registered("slope_aspect", aspectIndex, aspectGrid);
  if (!madeSlope && !madeAspect) return;

  const std::string& elevationFile = registry[elevationIndex].fileName;
  const long first = heldFirstRow();
  const long last = heldLastRow();
  if (madeSlope) {
    slopeIndex = takeFreeEntry("FATAL: no free grid found in memeory (at position ", ")");
    slopeGrid = registerDerivedGrid(slopeIndex, internFileName(elevationFile, "sl"), "slope_angle",
                                    first, last, header.nodata);
  }
  if (madeAspect) {
    aspectIndex = takeFreeEntry("FATAL: no free grid left (at position ", ")\n");
    aspectGrid = registerDerivedGrid(aspectIndex, internFileName(elevationFile, "ex"),
                                     "slope_aspect", first, last, header.nodata);
  }
  *diag << "calculating the lokal topography (aspect, slope ...).. "
        << "[end-entry]";

  // The other processes lack the elevations outside the zone grid and the
  // cells filled before theirs, so rank 0 computes the whole grid and sends
  // each its cells.
  if (mpiRank == 0) {
    const Grid elevation = registry[elevationIndex].grid;
    const GridShape shape{header.nrows, header.ncols, header.cellsize, header.nodata};
    Grid slope = madeSlope ? slopeGrid : nullptr;
    Grid aspect = madeAspect ? aspectGrid : nullptr;
    slopeAndAspectFromElevation(elevation, slope, aspect, shape);
    if (aspect) fillFromValuedNeighbours(elevation, aspect, shape, true);
    if (slope) fillFromValuedNeighbours(elevation, slope, shape, false);
  }
  for (const auto& [made, index, grid] :
       {std::tuple<bool, int, Grid>{madeAspect, aspectIndex, aspectGrid},
        std::tuple<bool, int, Grid>{madeSlope, slopeIndex, slopeGrid}}) {
    if (!made) continue;
    MPIScatterGrid(index, grid);
    MPIExchangeGridHalo(index, grid);
    writeDerivedGridOnce(index);
  }
}
