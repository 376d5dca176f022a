#pragma once

#include <vector>

#include "core/modelobject.h"
#include "meteo/interpolation_cells.h"

// The region grids of the set-up: "regression_regions" with the code of
// each cell's region and "regression_weights1" with its weight, and, where
// two or three regions meet, the codes of the second and third region near
// the cell ("regression_regions2", "regression_regions3"; 0 for none) with
// their weights. Absent grids are null.
struct RegionGrids {
  Grid region[3] = {nullptr, nullptr, nullptr};
  Grid weight[3] = {nullptr, nullptr, nullptr};
};

// Finds them in the module's registry: the first region and weight grid
// must exist (code 33), the others count only when both grids exist.
RegionGrids findRegionGrids(modelobject& module);

// Elevation regression: value = a + b * elevation, fitted per regression
// region over the region's stations with a value, blended near region
// borders by the region weights: sum over i of W_i * (a_Ri + b_Ri * z). A
// region with fewer than the minimum number of such stations takes the fit
// over all stations; a fit over fewer than two stations, or over stations of
// one elevation, is their mean with b = 0.
class ElevationRegression {
public:
  struct Fit {
    double a = 0.0;
    double b = 0.0;
  };

  // codes: the region codes in ascending order, region k (1 ..) being
  // codes[k - 1]; stationRegion: the region (1 ..) of every station.
  ElevationRegression(const InterpolationCells& cells, Grid elevation, const RegionGrids& regions,
                      const std::vector<int>& codes, const std::vector<int>& stationRegion,
                      const std::vector<double>& stationZ, long minStations);

  // Fits the regions to the values of the step (at or below -999 missing)
  // and sets every valid cell of the strip rows, within the limits. A cell
  // without elevation becomes nodata.
  void fill(const std::vector<double>& values, const ValueLimits& limits, Grid target);

  // Region 0 is the fit over all stations, 1 .. the regions; of the last
  // fill.
  const Fit& fitOf(int region) const { return fits[region]; }
  // Stations with a value and an elevation in the step.
  static long usableStations(const std::vector<double>& values, const std::vector<double>& z,
                             double nodata);

  // The codes of the region grid over the valid cells of the zone grid, in
  // ascending order; both grids must hold rows 1 .. nrows.
  static std::vector<int> regionCodes(Grid zone, Grid region, long nrows, long ncols,
                                      double nodata);
  // The region (1 ..) of every station: the region of the cell it lies in,
  // or, outside the valid cells, the region whose centre (the mean row and
  // column of its cells) lies nearest. Whole grids (rows 1 .. nrows).
  static std::vector<int> stationRegions(const GridHeader& header, Grid zone, Grid region,
                                         const std::vector<int>& codes,
                                         const std::vector<double>& x,
                                         const std::vector<double>& y);

private:
  int regionOf(double code) const {
    const long k = static_cast<long>(code);
    return k > 0 && k < static_cast<long>(rankOfCode.size()) ? rankOfCode[k] : 0;
  }
  void fitRegions(const std::vector<double>& values);

  InterpolationCells cells;
  Grid elevation;
  RegionGrids regions;
  std::vector<int> rankOfCode; // region of each code, 0 for codes of no region
  std::vector<int> stationRegion;
  std::vector<double> stationZ;
  long minStations;
  std::vector<Fit> fits; // 0 all stations, 1 .. the regions
};
