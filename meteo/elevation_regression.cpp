#include "meteo/elevation_regression.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "meteo/station_file.h"

namespace {

bool usable(double value, double z, double nodata) {
  return value > missingStationValue && z != nodata;
}

// Least squares over the stations of `members` (all when null), centred for
// accuracy; always in station order, so that every process gets the same
// numbers.
ElevationRegression::Fit fitOver(const std::vector<double>& values, const std::vector<double>& z,
                                 const std::vector<int>& stationRegion, int region, double nodata) {
  double n = 0.0, zSum = 0.0, vSum = 0.0;
  for (std::size_t s = 0; s < values.size(); ++s) {
    if (!usable(values[s], z[s], nodata) || (region > 0 && stationRegion[s] != region)) continue;
    n += 1.0;
    zSum += z[s];
    vSum += values[s];
  }
  ElevationRegression::Fit fit;
  if (n == 0.0) return fit;
  const double zMean = zSum / n;
  const double vMean = vSum / n;
  double zz = 0.0, zv = 0.0;
  for (std::size_t s = 0; s < values.size(); ++s) {
    if (!usable(values[s], z[s], nodata) || (region > 0 && stationRegion[s] != region)) continue;
    zz += (z[s] - zMean) * (z[s] - zMean);
    zv += (z[s] - zMean) * (values[s] - vMean);
  }
  fit.b = n >= 2.0 && zz > 0.0 ? zv / zz : 0.0;
  fit.a = vMean - fit.b * zMean;
  return fit;
}

} // namespace

ElevationRegression::ElevationRegression(const InterpolationCells& cellsArg, Grid elevationArg,
                                         const RegionGrids& regionsArg,
                                         const std::vector<int>& codes,
                                         const std::vector<int>& stationRegionArg,
                                         const std::vector<double>& stationZArg,
                                         long minStationsArg)
    : cells(cellsArg), elevation(elevationArg), regions(regionsArg),
      stationRegion(stationRegionArg), stationZ(stationZArg), minStations(minStationsArg),
      fits(codes.size() + 1) {
  const int highest = codes.empty() ? 0 : codes.back();
  rankOfCode.assign(static_cast<std::size_t>(highest) + 1, 0);
  for (std::size_t k = 0; k < codes.size(); ++k) rankOfCode[codes[k]] = static_cast<int>(k + 1);
}

long ElevationRegression::usableStations(const std::vector<double>& values,
                                         const std::vector<double>& z, double nodata) {
  long n = 0;
  for (std::size_t s = 0; s < values.size(); ++s) n += usable(values[s], z[s], nodata) ? 1 : 0;
  return n;
}

void ElevationRegression::fitRegions(const std::vector<double>& values) {
  const double nodata = cells.nodata;
  fits[0] = fitOver(values, stationZ, stationRegion, 0, nodata);
  for (std::size_t k = 1; k < fits.size(); ++k) {
    long n = 0;
    for (std::size_t s = 0; s < values.size(); ++s)
      if (stationRegion[s] == static_cast<int>(k) && usable(values[s], stationZ[s], nodata)) ++n;
    fits[k] = n >= minStations
                  ? fitOver(values, stationZ, stationRegion, static_cast<int>(k), nodata)
                  : fits[0];
  }
}

void ElevationRegression::fill(const std::vector<double>& values, const ValueLimits& limits,
                               Grid target) {
  fitRegions(values);
  const double nodata = cells.nodata;
  const Fit* fit = fits.data();
#pragma omp parallel for schedule(runtime)
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    const double* z = elevation[r];
    double* row = target[r];
    for (long c = cells.firstColumn(r); c <= cells.lastColumn(r); ++c) {
      if (!cells.valid(r, c)) continue;
      if (z[c] == nodata) {
        row[c] = nodata;
        continue;
      }
      const Fit& own = fit[regionOf(regions.region[0][r][c])];
      double v = regions.weight[0][r][c] * (own.a + own.b * z[c]);
      for (int i = 1; i < 3; ++i) {
        if (!regions.region[i]) continue;
        const double code = regions.region[i][r][c];
        if (!(code > 0.0)) continue;
        const Fit& other = fit[regionOf(code)];
        v += regions.weight[i][r][c] * (other.a + other.b * z[c]);
      }
      row[c] = limits.clamp(v);
    }
  }
}

std::vector<int> ElevationRegression::regionCodes(Grid zone, Grid region, long nrows, long ncols,
                                                  double nodata) {
  std::set<int> codes;
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (zone[r][c] != nodata && region[r][c] != nodata && region[r][c] >= 1.0)
        codes.insert(static_cast<int>(region[r][c]));
  return std::vector<int>(codes.begin(), codes.end());
}

std::vector<int> ElevationRegression::stationRegions(const GridHeader& h, Grid zone, Grid region,
                                                     const std::vector<int>& codes,
                                                     const std::vector<double>& x,
                                                     const std::vector<double>& y) {
  const std::size_t k = codes.size();
  auto rankOf = [&](double code) {
    const auto at = std::lower_bound(codes.begin(), codes.end(), static_cast<int>(code));
    return at != codes.end() && *at == static_cast<int>(code)
               ? static_cast<int>(at - codes.begin()) + 1
               : 0;
  };
  std::vector<double> rowSum(k + 1, 0.0), columnSum(k + 1, 0.0), count(k + 1, 0.0);
  for (long r = 1; r <= h.nrows; ++r)
    for (long c = 1; c <= h.ncols; ++c) {
      if (zone[r][c] == h.nodata) continue;
      const int g = rankOf(region[r][c]);
      rowSum[g] += static_cast<double>(r);
      columnSum[g] += static_cast<double>(c);
      count[g] += 1.0;
    }
  std::vector<int> result(x.size(), 1);
  for (std::size_t s = 0; s < x.size(); ++s) {
    // Position in cells: the centre of row r, column c lies at (r, c).
    const double column = (x[s] - h.xllcorner) / h.cellsize + 0.5;
    const double row = static_cast<double>(h.nrows) - (y[s] - h.yllcorner) / h.cellsize + 0.5;
    const long cr = static_cast<long>(std::floor(row + 0.5));
    const long cc = static_cast<long>(std::floor(column + 0.5));
    if (cr >= 1 && cr <= h.nrows && cc >= 1 && cc <= h.ncols && zone[cr][cc] != h.nodata &&
        rankOf(region[cr][cc]) > 0) {
      result[s] = rankOf(region[cr][cc]);
      continue;
    }
    double best = -1.0;
    for (std::size_t g = 1; g <= k; ++g) {
      if (count[g] == 0.0) continue;
      const double dr = row - rowSum[g] / count[g];
      const double dc = column - columnSum[g] / count[g];
      const double d2 = dr * dr + dc * dc;
      if (best < 0.0 || d2 < best) {
        best = d2;
        result[s] = static_cast<int>(g);
      }
    }
  }
  return result;
}

RegionGrids findRegionGrids(modelobject& module) {
  GridRegistryEntry* registry = module.getRegistry();
  RegionGrids regions;
  regions.region[0] = registry[module.requireGrid("regression_regions")].grid;
  regions.weight[0] = registry[module.requireGrid("regression_weights1")].grid;
  for (int i = 1; i < 3; ++i) {
    const std::string k = std::to_string(i + 1);
    const int region = module.findGrid("regression_regions" + k, 1);
    const int weight = module.findGrid("regression_weights" + k, 1);
    if (region > 0 && weight > 0) {
      regions.region[i] = registry[region].grid;
      regions.weight[i] = registry[weight].grid;
    }
  }
  return regions;
}
