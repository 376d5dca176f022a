#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

// A control-file reader set up as the staged set-up leaves it before the
// derived grids: grid header, zone grid and elevation model, the real
// decomposition with its zone ranking, and on every process other than 0 the
// zone grid and elevation model over its rows and halo rows.
class DerivedGridsModel : public DecompositionModel {
public:
  using CellFunction = std::function<double(long row, long column)>;
  static constexpr double nd = -9999.0;

  explicit DerivedGridsModel(const std::string& controlFile)
      : DecompositionModel(".", controlFile) {}

  // Rank 0 holds the whole zone grid ("zone.asc"; nd outside the domain)
  // and elevation model ("dem.asc").
  void setUp(long ncols, long nrows, double cellsize, const CellFunction& zone,
             const CellFunction& elevation, double xll = 0.0, double yll = 0.0,
             const std::string& zoneFile = "zone.asc") {
    header.ncols = ncols;
    header.nrows = nrows;
    header.cellsize = cellsize;
    header.xllcorner = xll;
    header.yllcorner = yll;
    header.nodata = nd;
    const Grid z = worldRank() == 0 ? wholeGrid(zone) : nullptr;
    const Grid e = worldRank() == 0 ? wholeGrid(elevation) : nullptr;
    registerGrid(1, zoneFile, z, nullptr, 0, "[zone_grid]", 0, 1, nrows);
    registerGrid(2, "dem.asc", e, nullptr, 0, "[elevation_model]", 0, 1, nrows);
    decompose();
    rankZoneCodes(entries(), nullptr, ncols, nrows, nd);
    attachDecomposition();
    for (int index : {1, 2}) {
      if (worldRank() != 0) {
        Grid local = ownedGrid(heldFirstRow(), heldLastRow());
        for (long r = heldFirstRow(); r <= heldLastRow(); ++r)
          std::fill(local[r] + 1, local[r] + ncols + 1, nd);
        registerGrid(index, entries()[index].fileName, local, nullptr, 0, entries()[index].name, 0,
                     heldFirstRow(), heldLastRow());
      }
      MPIScatterGrid(index);
      MPIExchangeGridHalo(index);
    }
    gridCount = firstFreeRegistryIndex() - 3;
  }

  // A standard grid over the rows this process holds, every cell given, as
  // the set-up reads a binary grid.
  int addStandardGrid(const std::string& name, const std::string& fileName,
                      const CellFunction& value) {
    Grid g = ownedGrid(heldFirstRow(), heldLastRow());
    for (long r = heldFirstRow(); r <= heldLastRow(); ++r)
      for (long k = 1; k <= header.ncols; ++k) g[r][k] = value(r, k);
    const int index = firstFreeRegistryIndex();
    registerGrid(index, fileName, g, nullptr, 0, name, 0, heldFirstRow(), heldLastRow());
    ++gridCount;
    return index;
  }

  // Whether this process's zone grid has a value at the cell.
  bool zoneValid(long r, long k) const { return registry[1].grid[r][k] != nd; }

  Grid gridNamed(const std::string& name) {
    const int index = findGrid(name, 1);
    return index > 0 ? registry[index].grid : nullptr;
  }

  using defaultini::aspectGrid;
  using defaultini::cellSizeXFromRegistry;
  using defaultini::cellSizeXGrid;
  using defaultini::cellSizeYFromRegistry;
  using defaultini::cellSizeYGrid;
  using defaultini::coordXGrid;
  using defaultini::coordYGrid;
  using defaultini::heldFirstRow;
  using defaultini::heldLastRow;
  using defaultini::internFileName;
  using defaultini::landuseLayerCount;
  using defaultini::landuseLayerGrids;
  using defaultini::landuseTable;
  using defaultini::mpiRank;
  using defaultini::multilayerTable;
  using defaultini::regionCentres;
  using defaultini::regionCount;
  using defaultini::regionRanks;
  using defaultini::regressionRegionGrid;
  using defaultini::regressionRegionIndex;
  using defaultini::regressionWeightGrid;
  using defaultini::regressionWeightIndex;
  using defaultini::relCellAreaFromRegistry;
  using defaultini::relCellAreaGrid;
  using defaultini::slopeGrid;
  using defaultini::stripFirstRow;
  using defaultini::stripLastRow;
  using defaultini::transitionDistance;
  using defaultini::writeAsciiGrids;

private:
  Grid wholeGrid(const CellFunction& value) {
    Grid g = ownedGrid(1, header.nrows);
    for (long r = 1; r <= header.nrows; ++r)
      for (long k = 1; k <= header.ncols; ++k) g[r][k] = value(r, k);
    return g;
  }
};

// Compares every cell of rows first..last that the process's zone grid holds
// with the expected value (exactly when the tolerance is 0), and unless
// onlyInside is set every other cell with nodata, on every process; reports
// the first mismatch and how many there were.
inline void expectCells(DerivedGridsModel& m, Grid g, long first, long last,
                        const DerivedGridsModel::CellFunction& expected, double tolerance,
                        const std::string& what, bool onlyInside = false) {
  ASSERT_NE(g, nullptr) << what;
  long failures = 0;
  std::string firstFailure;
  for (long r = first; r <= last; ++r)
    for (long k = 1; k <= m.header.ncols; ++k) {
      if (onlyInside && !m.zoneValid(r, k)) continue;
      const double want = m.zoneValid(r, k) ? expected(r, k) : DerivedGridsModel::nd;
      const bool same = tolerance == 0.0 ? g[r][k] == want : std::fabs(g[r][k] - want) <= tolerance;
      if (!same && failures++ == 0)
        firstFailure = "row " + std::to_string(r) + ", column " + std::to_string(k) + ": " +
                       std::to_string(g[r][k]) + " instead of " + std::to_string(want);
    }
  EXPECT_EQ(failures, 0) << what << " on process " << worldRank() << ", first at " << firstFailure;
}

// The held rows of a grid made over the set-up's rows.
inline void expectHeldCells(DerivedGridsModel& m, Grid g,
                            const DerivedGridsModel::CellFunction& expected, double tolerance,
                            const std::string& what, bool onlyInside = false) {
  expectCells(m, g, m.heldFirstRow(), m.heldLastRow(), expected, tolerance, what, onlyInside);
}

// Every process's held cells inside its zone grid, exactly as rank 0 holds
// them in its whole grid. Collective.
inline void expectSameAsRankZero(DerivedGridsModel& m, Grid g, const std::string& what) {
  std::vector<double> cells;
  for (long r = m.heldFirstRow(); worldRank() != 0 && r <= m.heldLastRow(); ++r)
    for (long k = 1; k <= m.header.ncols; ++k)
      if (m.zoneValid(r, k))
        cells.insert(cells.end(), {static_cast<double>(r), static_cast<double>(k), g[r][k]});
  const std::vector<double> all = gatherOnRankZero(cells);
  if (worldRank() != 0) return;
  long failures = 0;
  for (size_t i = 0; i < all.size(); i += 3) {
    const long r = static_cast<long>(all[i]);
    const long k = static_cast<long>(all[i + 1]);
    if (all[i + 2] != g[r][k] && failures++ == 0)
      ADD_FAILURE() << what << " differs from rank 0 at row " << r << ", column " << k << ": "
                    << all[i + 2] << " instead of " << g[r][k];
  }
  EXPECT_EQ(failures, 0) << what;
}

// A control file for the set-up steps that read it.
inline std::string derivedControlFile(const std::string& transitionDistance = "") {
  std::string text = controlFileText(0);
  if (!transitionDistance.empty())
    text += "\n[region_transition_distance]\n" + transitionDistance + " transition distance\n";
  return text;
}

// A model working in a directory of its own, per case, process count and
// rank, with equal process speeds and the given control file.
struct DerivedGridsRun {
  explicit DerivedGridsRun(const std::string& name,
                           const std::string& controlText = derivedControlFile())
      : here(name, "1\n"), written(write(here, controlText)), model(here.controlFile()) {}
  static bool write(const SpeedDirectory& directory, const std::string& text) {
    writeFile(directory.controlFile(), text);
    return true;
  }
  SpeedDirectory here;
  bool written;
  DerivedGridsModel model;
};
