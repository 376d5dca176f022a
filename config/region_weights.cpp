#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "config/control_file_session.h"
#include "config/defaultini.h"
#include "config/row_blocks.h"
#include "core/diag_stream.h"

namespace {

constexpr double fallbackTransitionDistance = 0.01;
// m: wider than any blend of climate regions.
constexpr double largestTransitionDistance = 1e6;
// Rows whose neighbourhoods one thread examines at a time.
constexpr long bandRows = 64;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Region 1 the input, regions 2 and 3 and the weights the results.
struct RegionGrids {
  Grid zone;
  Grid regions[3];
  Grid weights[3];
};

struct RegionSetting {
  long nrows;
  long ncols;
  double nodata;
  double distance; // transition distance in cells
  int count;       // number of regions
};

// The rows and columns within the transition distance of a cell: no more
// than the grid has, so that a distance beyond it sizes no memory.
long reachInCells(const RegionSetting& s) {
  const double cells = static_cast<double>(std::max(s.nrows, s.ncols));
  return static_cast<long>(std::floor(std::min(s.distance, cells)));
}

// Looks for the other regions within the transition distance of a cell and
// weighs the cell's own region against the nearest two of them.
void weighCell(const RegionGrids& g, const RegionSetting& s, long r, long k) {
  const double D = s.distance;
  const double own = g.regions[0][r][k];
  const long reach = static_cast<long>(std::floor(D));
  double w1 = D, w2 = D, w3 = D;
  double r2 = 0.0, r3 = 0.0;
  long q2 = r, j2 = k, q3 = r, j3 = k;
  for (long q = std::max(1L, r - reach); q <= std::min(s.nrows, r + reach); ++q) {
    const long dr = r - q;
    const long h = static_cast<long>(std::floor(std::sqrt(D * D - static_cast<double>(dr * dr))));
    const double* row = g.regions[0][q];
    for (long j = std::max(1L, k - h); j <= std::min(s.ncols, k + h); ++j) {
      const double other = row[j];
      if (other == own || other <= s.nodata) continue;
      const double d = std::floor(std::sqrt(static_cast<double>((k - j) * (k - j) + dr * dr)));
      if (r2 == 0.0) r2 = other;
      if (other == r2) {
        if (w1 >= d) {
          w1 = w2 = d;
          q2 = q;
          j2 = j;
        }
        continue;
      }
      if (r3 == 0.0) r3 = other;
      if (other == r3) {
        if (w3 >= d) {
          w3 = d;
          q3 = q;
          j3 = j;
        }
      } else if (w3 > w2) {
        if (w3 > d) {
          r3 = other;
          w3 = d;
          q3 = q;
          j3 = j;
        }
      } else if (w2 > d) {
        r2 = other;
        w2 = d;
        q2 = q;
        j2 = j;
      }
    }
  }

  const double x = w1 / (2.0 * D) + 0.5;
  if (s.count == 2) {
    if (x > 1.0) {
      w1 = 1.0;
      w2 = 0.0;
    } else if (x < 0.5) {
      w1 = w2 = 0.5;
    } else {
      w1 = x;
      w2 = 1.0 - x;
    }
  } else {
    w1 = x > 1.0 ? 1.0 : std::max(x, 0.5);
    if (r3 > 0.0) {
      const double d2 = std::hypot(static_cast<double>(r - q2), static_cast<double>(k - j2));
      const double d3 = std::hypot(static_cast<double>(r - q3), static_cast<double>(k - j3));
      double a0 = D - std::min(d2, d3);
      double b0 = D + d2;
      double c0 = D + d3;
      for (double* v : {&a0, &b0, &c0})
        if (*v <= 0.0) *v = 1.0;
      const double m = std::min({a0, b0, c0});
      const double t = (0.9 - 0.5 * std::cos(1.5707963 * m / D)) / (2.0 * D);
      const double a = std::max(1.0 / a0 - t, 0.0);
      const double b = std::max(1.0 / b0 - t, 0.0);
      const double e = std::max(1.0 / c0 - t, 0.0);
      const double sum = a + b + e;
      w1 = a / sum;
      w2 = b / sum;
      if (w1 + w2 > 1.0) w2 = 1.0 - w1;
      w3 = 1.0 - (w1 + w2);
    } else {
      w3 = 0.0;
      w2 = r2 > 0.0 ? 1.0 - w1 : 0.0;
    }
    g.regions[2][r][k] = r3;
    g.weights[2][r][k] = w3;
  }
  g.weights[0][r][k] = w1;
  g.regions[1][r][k] = r2;
  g.weights[1][r][k] = w2;
}

// Smallest and largest region value in each column's window of +-reach
// columns; cells without a region count for neither.
void rowWindowExtremes(const double* regions, double nodata, long ncols, long reach, double* low,
                       double* high) {
  for (long k = 1; k <= ncols; ++k) {
    low[k] = infinity;
    high[k] = -infinity;
  }
  for (long offset = -reach; offset <= reach; ++offset) {
    const long from = std::max(1L, 1 - offset);
    const long to = std::min(ncols, ncols - offset);
    for (long k = from; k <= to; ++k) {
      const double v = regions[k + offset];
      const bool valued = v > nodata;
      low[k] = std::min(low[k], valued ? v : infinity);
      high[k] = std::max(high[k], valued ? v : -infinity);
    }
  }
}

// Weighs the cells of rows rows.first .. rows.last, reading the regions
// within the transition distance of them; cells outside the zone grid are
// nodata.
void weighRows(const RegionGrids& g, const RegionSetting& s, RowSpan rows) {
  const long nrows = s.nrows;
  const long ncols = s.ncols;
  const double nodata = s.nodata;
  // Most cells lie farther than the transition distance from any other
  // region; a window of +-reach cells around them, which holds the circle
  // that the scan visits, holds their own region alone, and their weights
  // are known without the scan.
  const long reach = reachInCells(s);
  const long windowRows = bandRows + 2 * reach;
  const size_t rowLength = static_cast<size_t>(ncols) + 1;
  const size_t bufferLength = static_cast<size_t>(windowRows + 2) * rowLength;
  const int threads = omp_get_max_threads();
  std::vector<std::vector<double>> lows(static_cast<size_t>(threads));
  std::vector<std::vector<double>> highs(static_cast<size_t>(threads));
  if (s.count > 1)
    for (int t = 0; t < threads; ++t) {
      lows[static_cast<size_t>(t)].resize(bufferLength);
      highs[static_cast<size_t>(t)].resize(bufferLength);
    }
  const long bands = std::max(0L, (rows.last - rows.first + bandRows) / bandRows);
  const int madeGrids = std::min(std::max(s.count, 1), 3);

#pragma omp parallel
  {
    double* low = s.count > 1 ? lows[static_cast<size_t>(omp_get_thread_num())].data() : nullptr;
    double* high = s.count > 1 ? highs[static_cast<size_t>(omp_get_thread_num())].data() : nullptr;
#pragma omp for schedule(runtime)
    for (long band = 0; band < bands; ++band) {
      const long a = rows.first + band * bandRows;
      const long b = std::min(rows.last, a + bandRows - 1);
      const long top = std::max(1L, a - reach);
      const long bottom = std::min(nrows, b + reach);
      // Rows top .. bottom at slots 0 .., the window of the current row in
      // the last two slots.
      double* windowLow = low ? low + static_cast<size_t>(windowRows) * rowLength : nullptr;
      double* windowHigh = high ? high + static_cast<size_t>(windowRows) * rowLength : nullptr;
      for (long q = top; low && q <= bottom; ++q)
        rowWindowExtremes(g.regions[0][q], nodata, ncols, reach,
                          low + static_cast<size_t>(q - top) * rowLength,
                          high + static_cast<size_t>(q - top) * rowLength);
      for (long r = a; r <= b; ++r) {
        // The valid columns of the row: those the zone grid gives a value.
        long first = 1;
        long last = ncols;
        while (first <= ncols && g.zone[r][first] == nodata) ++first;
        while (last >= first && g.zone[r][last] == nodata) --last;
        if (first > last) continue;
        if (low) {
          std::fill(windowLow, windowLow + rowLength, infinity);
          std::fill(windowHigh, windowHigh + rowLength, -infinity);
          for (long q = std::max(1L, r - reach); q <= std::min(nrows, r + reach); ++q) {
            const double* rowLow = low + static_cast<size_t>(q - top) * rowLength;
            const double* rowHigh = high + static_cast<size_t>(q - top) * rowLength;
            for (long k = first; k <= last; ++k) {
              windowLow[k] = std::min(windowLow[k], rowLow[k]);
              windowHigh[k] = std::max(windowHigh[k], rowHigh[k]);
            }
          }
        }
        for (long k = first; k <= last; ++k) {
          if (g.zone[r][k] <= nodata) {
            for (int i = 0; i < madeGrids; ++i) g.weights[i][r][k] = nodata;
            for (int i = 1; i < madeGrids; ++i) g.regions[i][r][k] = nodata;
            continue;
          }
          const double own = g.regions[0][r][k];
          if (s.count > 1 && !(windowLow[k] == own && windowHigh[k] == own)) {
            weighCell(g, s, r, k);
            continue;
          }
          g.weights[0][r][k] = 1.0;
          for (int i = 1; i < madeGrids; ++i) g.regions[i][r][k] = g.weights[i][r][k] = 0.0;
        }
      }
    }
  }
}

} // namespace

void defaultini::MakeRegionWeightGrids() {
  for (int i = 0; i < 3; ++i) {
    regressionRegionIndex[i] = regressionWeightIndex[i] = 0;
    regressionRegionGrid[i] = regressionWeightGrid[i] = nullptr;
  }
  regionCount = maxRegionCode = 0;
  regionRanks.clear();
  regionCentres.clear();

  const long first = heldFirstRow();
  const long last = heldLastRow();
  const double nodata = header.nodata;
  const int found = findGrid("regression_regions", 1);
  const bool given = found > 0 && registry[found].grid;
  if (given) {
    regressionRegionIndex[0] = found;
    regressionRegionGrid[0] = registry[found].grid;
    builtOnceFrom(found, "the set-up ranks the regions of the elevation regression and derives "
                         "the weights of every region from it");
  } else {
    const int index = takeFreeEntry("FATAL: no free grid found in memory (at position ", ")\n");
    Grid regions = registerDerivedGrid(index, internFileName(registry[1].fileName, "r1"),
                                       "regression_regions", first, last, nodata);
    const Grid zone = registry[1].grid;
    const long ncols = header.ncols;
#pragma omp parallel for schedule(runtime)
    for (long r = first; r <= last; ++r)
      for (long k = 1; k <= ncols; ++k) regions[r][k] = zone[r][k] == nodata ? nodata : 1.0;
    regressionRegionIndex[0] = index;
    regressionRegionGrid[0] = regions;
  }

  readTransitionDistance();
  rankRegionCodes(regressionRegionIndex[0]);

  // The grids are named after the region file, or after the zone grid when
  // the regions are made here (their own name already ends in ".intern.r1").
  // A file without an extension names its first weights ".rw1".
  const std::string& regionFile =
      given ? registry[regressionRegionIndex[0]].fileName : registry[1].fileName;
  const bool hasExtension = hasFileExtension(regionFile);
  const char* names[2][3] = {{"regression_regions", "regression_regions2", "regression_regions3"},
                             {"regression_weights1", "regression_weights2", "regression_weights3"}};
  const char* suffixes[2][3] = {{"r1", "r2", "r3"}, {hasExtension ? "w1" : "rw1", "w2", "w3"}};
  const int made = std::min(std::max(regionCount, 1), 3);
  for (int i = 0; i < made; ++i) {
    if (i > 0) {
      regressionRegionIndex[i] =
          takeFreeEntry("FATAL: no free grid found in memory (at position ", ")");
      regressionRegionGrid[i] =
          registerDerivedGrid(regressionRegionIndex[i], internFileName(regionFile, suffixes[0][i]),
                              names[0][i], first, last, nodata);
    }
    regressionWeightIndex[i] =
        takeFreeEntry("FATAL: no free grid found in memory (at position ", ")");
    regressionWeightGrid[i] =
        registerDerivedGrid(regressionWeightIndex[i], internFileName(regionFile, suffixes[1][i]),
                            names[1][i], first, last, nodata);
  }

  computeRegionWeights();

  for (int i = 0; i < made; ++i) {
    if (i > 0) MPIExchangeGridHalo(regressionRegionIndex[i], regressionRegionGrid[i]);
    MPIExchangeGridHalo(regressionWeightIndex[i], regressionWeightGrid[i]);
    if (i > 0) writeDerivedGridOnce(regressionRegionIndex[i]);
    writeDerivedGridOnce(regressionWeightIndex[i]);
  }
}

// Every process reads the distance, so all of them hold the same value.
void defaultini::readTransitionDistance() {
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag);
  seekSection("[region_transition_distance]", true);
  readControlValue(controlFile, "%lf", transitionDistance,
                   "transition distance (if or if not using a region grid) ");
  session.closeOrFail(controlFileName, *diag);
  if (transitionDistance > largestTransitionDistance)
    refuseControlValue("[region_transition_distance]",
                       "transition distance (if or if not using a region grid) ",
                       transitionDistance, "must be at most 1e6 m (1000 km)", 17);
  if (transitionDistance > 0.0) return;
  *diag << "WARNING: the transition distance " << transitionDistance
        << " in [region_transition_distance] is not positive; " << fallbackTransitionDistance
        << " is used instead"
        << "[end-entry]";
  transitionDistance = fallbackTransitionDistance;
}

void defaultini::computeRegionWeights() {
  if (mpiRank == 0)
    *diag << "generating region weight grids"
          << "[end-entry]";
  if (!(transitionDistance > 0.0)) transitionDistance = fallbackTransitionDistance;
  const RegionSetting s{header.nrows, header.ncols, header.nodata,
                        transitionDistance / header.cellsize, regionCount};
  const Grid zone = registry[1].grid;
  if (mpiRank == 0) {
    const Grid regions = regressionRegionGrid[0];
#pragma omp parallel for schedule(runtime)
    for (long r = 1; r <= s.nrows; ++r)
      for (long k = 1; k <= s.ncols; ++k)
        if (zone[r][k] <= s.nodata) regions[r][k] = s.nodata;
  }

  // Every process weighs its own rows from the regions within reach of
  // them, which rank 0 hands out, and keeps its cells as the strip transfer
  // from rank 0 would give them.
  const int madeGrids = std::min(std::max(s.count, 1), 3);
  std::vector<Grid> results;
  for (int i = 0; i < madeGrids; ++i) results.push_back(regressionWeightGrid[i]);
  for (int i = 1; i < madeGrids; ++i) results.push_back(regressionRegionGrid[i]);
  RowBlockPass pass(*diag, s.nrows, s.ncols, s.nodata, RowSpan{header.firstRow, header.lastRow});
  pass.shareInputs({regressionRegionGrid[0], zone}, {reachInCells(s), 0});
  pass.prepareOutputs(results);
  RegionGrids g{pass.input(1), {pass.input(0), nullptr, nullptr}, {}};
  for (int i = 0; i < madeGrids; ++i) g.weights[i] = pass.output(static_cast<size_t>(i));
  for (int i = 1; i < madeGrids; ++i)
    g.regions[i] = pass.output(static_cast<size_t>(madeGrids + i - 1));
  weighRows(g, s, pass.block());
  pass.collectOutputs();
  if (mpiRank != 0) {
    const double rank = mpiRank;
#pragma omp parallel for schedule(runtime)
    for (long r = header.firstRow; r <= header.lastRow; ++r)
      for (long k = 1; k <= s.ncols; ++k) {
        if (regionsGrid[r][k] != rank) continue;
        for (size_t i = 0; i < results.size(); ++i) results[i][r][k] = pass.output(i)[r][k];
      }
  }
  if (mpiRank == 0) *diag << std::string(static_cast<size_t>(s.nrows), '.') << "[end-entry]";
}
