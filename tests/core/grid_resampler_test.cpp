#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/grid_resampler.h"
#include "tests/core/owned_grid.h"

namespace {

GridHeader geometry(long ncols, long nrows, double xll, double yll, double cellsize,
                    double nodata = -9999.0) {
  GridHeader h;
  h.ncols = ncols;
  h.nrows = nrows;
  h.xllcorner = xll;
  h.yllcorner = yll;
  h.cellsize = cellsize;
  h.nodata = nodata;
  h.firstRow = 1;
  h.lastRow = nrows;
  return h;
}

double centreX(const GridHeader& h, long column) {
  return h.xllcorner + (static_cast<double>(column) - 0.5) * h.cellsize;
}
double centreY(const GridHeader& h, long row) {
  return h.yllcorner + (static_cast<double>(h.nrows - row) + 0.5) * h.cellsize;
}

// A bilinear field: bilinear interpolation between the source centres gives
// it back exactly, so it is the analytic answer of every resampling.
double field(double x, double y) { return 5.0 + 0.003 * x - 0.002 * y + 1e-6 * x * y; }

// The field at a target cell centre, the point held on the raster of source
// centres (points beyond it take the edge values).
double expectedField(const GridHeader& source, const GridHeader& model, long row, long column) {
  const double x =
      std::clamp(centreX(model, column), centreX(source, 1), centreX(source, source.ncols));
  const double y =
      std::clamp(centreY(model, row), centreY(source, source.nrows), centreY(source, 1));
  return field(x, y);
}

void fillWithField(Grid grid, const GridHeader& h) {
  for (long r = 1; r <= h.nrows; ++r)
    for (long c = 1; c <= h.ncols; ++c) grid[r][c] = field(centreX(h, c), centreY(h, r));
}

memory_handling memory;

} // namespace

TEST(GridResampler, AlignedGridComesBackUnchanged) {
  struct Case {
    const char* name;
    GridHeader grid;
  };
  const std::vector<Case> cases = {
      {"whole-number corners", geometry(5, 4, 255000.0, -160000.0, 1000.0)},
      {"fractional corner and cell size", geometry(7, 5, 3.7, -12.3, 0.1)},
      {"small cells far from the origin", geometry(6, 3, 612345.25, 5123456.75, 0.3)},
  };
  for (const Case& c : cases) {
    const GridHeader& h = c.grid;
    OwnedGrid source(memory, h.nrows, h.ncols, 0.0);
    for (long r = 1; r <= h.nrows; ++r)
      for (long col = 1; col <= h.ncols; ++col)
        source.grid[r][col] = (r * 7 + col * 13) % 5 == 0 ? -9999.0 : 0.37 * r - 1.9 * col + 0.01;
    for (Resampling method : {Resampling::bilinear, Resampling::nearestCell}) {
      OwnedGrid target(memory, h.nrows, h.ncols, 42.0);
      ASSERT_TRUE(resampleToModelGrid(source.grid, h, target.grid, h, nullptr, method)) << c.name;
      for (long r = 1; r <= h.nrows; ++r)
        for (long col = 1; col <= h.ncols; ++col)
          EXPECT_EQ(target.grid[r][col], source.grid[r][col])
              << c.name << ", " << resamplingText(method) << ", row " << r << " column " << col;
    }
  }
}

// Worked by hand: each model cell takes the code of the source cell under its
// centre, where bilinear interpolation would blend codes into others.
TEST(GridResampler, NearestCellTakesTheCodeUnderEachCentre) {
  const double nd = -9999.0;
  struct Case {
    const char* name;
    GridHeader source;
    std::vector<std::vector<double>> codes; // rows from the north
    GridHeader model;
    std::vector<std::vector<double>> expected;
  };
  const std::vector<Case> cases = {
      {"cells of 200 over cells of 100",
       geometry(3, 2, 0.0, 0.0, 200.0),
       {{1, 2, 3}, {4, 5, 6}},
       geometry(6, 4, 0.0, 0.0, 100.0),
       {{1, 1, 2, 2, 3, 3}, {1, 1, 2, 2, 3, 3}, {4, 4, 5, 5, 6, 6}, {4, 4, 5, 5, 6, 6}}},
      // Centres at 0.47, 1.13 and 1.8 source cells from the western and
      // southern edges; no data spreads to no neighbour.
      {"cells of 150 shifted 20 west and south",
       geometry(2, 2, -20.0, -20.0, 150.0),
       {{7, 8}, {9, nd}},
       geometry(3, 3, 0.0, 0.0, 100.0),
       {{7, 8, 8}, {7, 8, 8}, {9, nd, nd}}},
      // Centres at -1, 0, 1, 2 and 3 cells from the western edge: before the
      // raster, on its western edge, on the border between its cells (the
      // eastern one takes it), on its eastern edge and beyond it.
      {"borders and points beyond the raster",
       geometry(2, 1, 0.0, 0.0, 100.0),
       {{3, 4}},
       geometry(5, 1, -150.0, 0.0, 100.0),
       {{3, 3, 4, 4, 4}}},
  };
  for (const Case& c : cases) {
    OwnedGrid source(memory, c.source.nrows, c.source.ncols, 0.0);
    for (long r = 1; r <= c.source.nrows; ++r)
      for (long col = 1; col <= c.source.ncols; ++col)
        source.grid[r][col] = c.codes[r - 1][col - 1];
    OwnedGrid target(memory, c.model.nrows, c.model.ncols, 42.0);
    ASSERT_TRUE(resampleToModelGrid(source.grid, c.source, target.grid, c.model, nullptr,
                                    Resampling::nearestCell))
        << c.name;
    for (long r = 1; r <= c.model.nrows; ++r)
      for (long col = 1; col <= c.model.ncols; ++col)
        EXPECT_EQ(target.grid[r][col], c.expected[r - 1][col - 1])
            << c.name << ", row " << r << " column " << col;
  }
}

TEST(GridResampler, InterpolatesBilinearlyBetweenSourceCentres) {
  // Worked by hand: a 2 x 2 raster shifted half a cell east and north.
  {
    const GridHeader s = geometry(2, 2, 0.5, 0.5, 1.0);
    const GridHeader m = geometry(2, 2, 0.0, 0.0, 1.0);
    OwnedGrid source(memory, 2, 2, 0.0);
    source.grid[1][1] = 1.0;
    source.grid[1][2] = 2.0;
    source.grid[2][1] = 3.0;
    source.grid[2][2] = 4.0;
    OwnedGrid target(memory, 2, 2, 0.0);
    ASSERT_TRUE(resampleToModelGrid(source.grid, s, target.grid, m, nullptr));
    EXPECT_DOUBLE_EQ(target.grid[1][1], 2.0);
    EXPECT_DOUBLE_EQ(target.grid[1][2], 2.5);
    EXPECT_DOUBLE_EQ(target.grid[2][1], 3.0);
    EXPECT_DOUBLE_EQ(target.grid[2][2], 3.5);
  }

  struct Case {
    const char* name;
    GridHeader source;
    GridHeader model;
  };
  const std::vector<Case> cases = {
      {"half a cell east and north", geometry(6, 5, 1500.0, 2500.0, 1000.0),
       geometry(6, 5, 1000.0, 2000.0, 1000.0)},
      {"half a cell west and south", geometry(6, 5, 500.0, 1500.0, 1000.0),
       geometry(6, 5, 1000.0, 2000.0, 1000.0)},
      {"coarser source", geometry(4, 3, 1000.0, 2000.0, 2000.0),
       geometry(8, 6, 1000.0, 2000.0, 1000.0)},
      {"finer source", geometry(12, 10, 1000.0, 2000.0, 500.0),
       geometry(6, 5, 1000.0, 2000.0, 1000.0)},
      {"model reaching beyond the raster", geometry(4, 4, 1300.0, 2700.0, 700.0),
       geometry(9, 8, 0.0, 1000.0, 400.0)},
  };
  for (const Case& c : cases) {
    OwnedGrid source(memory, c.source.nrows, c.source.ncols, 0.0);
    fillWithField(source.grid, c.source);
    OwnedGrid target(memory, c.model.nrows, c.model.ncols, 0.0);
    ASSERT_TRUE(resampleToModelGrid(source.grid, c.source, target.grid, c.model, nullptr));
    for (long r = 1; r <= c.model.nrows; ++r)
      for (long col = 1; col <= c.model.ncols; ++col)
        EXPECT_NEAR(target.grid[r][col], expectedField(c.source, c.model, r, col), 1e-9)
            << c.name << ", row " << r << " column " << col;
  }
}

TEST(GridResampler, NoDataSpreadsOnlyToCellsItWeighs) {
  struct Case {
    const char* name;
    double sourceNodata;
    std::vector<std::pair<long, long>> missing; // source row, column
    double missingValue;
  };
  const std::vector<Case> cases = {
      {"no-data cells", -9999.0, {{3, 4}, {5, 1}}, -9999.0},
      {"below no data", -9999.0, {{1, 6}}, -30000.0},
      {"a file no-data value above the module's", 0.0, {{2, 2}}, 0.0},
  };
  const GridHeader model = geometry(6, 5, 1000.0, 2000.0, 1000.0);
  for (const Case& c : cases) {
    const GridHeader s = geometry(6, 5, 1500.0, 2500.0, 1000.0, c.sourceNodata);
    OwnedGrid source(memory, s.nrows, s.ncols, 0.0);
    fillWithField(source.grid, s);
    for (const auto& [r, col] : c.missing) source.grid[r][col] = c.missingValue;
    OwnedGrid target(memory, model.nrows, model.ncols, 0.0);
    ASSERT_TRUE(resampleToModelGrid(source.grid, s, target.grid, model, nullptr));
    for (long r = 1; r <= model.nrows; ++r)
      for (long col = 1; col <= model.ncols; ++col) {
        const double x = std::clamp(centreX(model, col), centreX(s, 1), centreX(s, s.ncols));
        const double y = std::clamp(centreY(model, r), centreY(s, s.nrows), centreY(s, 1));
        bool weighsMissing = false;
        for (const auto& [mr, mc] : c.missing)
          weighsMissing = weighsMissing || (std::fabs(x - centreX(s, mc)) < s.cellsize &&
                                            std::fabs(y - centreY(s, mr)) < s.cellsize);
        const double expected = weighsMissing ? -9999.0 : expectedField(s, model, r, col);
        EXPECT_NEAR(target.grid[r][col], expected, 1e-9)
            << c.name << ", row " << r << " column " << col;
      }
  }
}

TEST(GridResampler, ReferenceGridKeepsItsNoDataCells) {
  const GridHeader h = geometry(4, 3, 0.0, 0.0, 10.0);
  OwnedGrid source(memory, 3, 4, 0.0);
  fillWithField(source.grid, h);
  OwnedGrid reference(memory, 3, 4, 1.0);
  reference.grid[1][1] = -9999.0;
  reference.grid[2][3] = -10000.0;
  reference.grid[3][4] = -9998.0; // data
  OwnedGrid target(memory, 3, 4, 0.0);
  ASSERT_TRUE(resampleToModelGrid(source.grid, h, target.grid, h, reference.grid));
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      const double mask = reference.grid[r][c];
      EXPECT_EQ(target.grid[r][c], mask <= -9999.0 ? mask : source.grid[r][c])
          << "row " << r << " column " << c;
    }
}

TEST(GridResampler, LocalRowsAndThreadCountsGiveTheSameCells) {
  const GridHeader s = geometry(11, 9, 1234.5, 2345.5, 2700.0);
  GridHeader model = geometry(30, 20, 1000.0, 2000.0, 1000.0);
  OwnedGrid source(memory, s.nrows, s.ncols, 0.0);
  fillWithField(source.grid, s);
  source.grid[4][5] = -9999.0;

  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  OwnedGrid serial(memory, model.nrows, model.ncols, 0.0);
  ASSERT_TRUE(resampleToModelGrid(source.grid, s, serial.grid, model, nullptr));
  omp_set_num_threads(4);
  OwnedGrid parallel(memory, model.nrows, model.ncols, 0.0);
  ASSERT_TRUE(resampleToModelGrid(source.grid, s, parallel.grid, model, nullptr));
  model.firstRow = 7;
  model.lastRow = 13;
  OwnedGrid strip(memory, 13, model.ncols, 0.0, 7);
  ASSERT_TRUE(resampleToModelGrid(source.grid, s, strip.grid, model, nullptr));
  omp_set_num_threads(threads);

  for (long r = 1; r <= model.nrows; ++r)
    for (long c = 1; c <= model.ncols; ++c) {
      EXPECT_EQ(parallel.grid[r][c], serial.grid[r][c]) << "row " << r << " column " << c;
      if (r >= 7 && r <= 13) {
        EXPECT_EQ(strip.grid[r][c], serial.grid[r][c]) << "row " << r << " column " << c;
      }
    }
}

// A process reads only the source rows that its strip draws from.
TEST(GridResampler, StripNeedsOnlyTheRowsItDrawsFrom) {
  const GridHeader s = geometry(9, 11, 1234.5, 2345.5, 270.0);
  GridHeader model = geometry(30, 20, 1000.0, 2000.0, 100.0);
  OwnedGrid source(memory, s.nrows, s.ncols, 0.0);
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c) source.grid[r][c] = 100.0 * r + c;
  for (Resampling method : {Resampling::bilinear, Resampling::nearestCell}) {
    model.firstRow = 1;
    model.lastRow = model.nrows;
    OwnedGrid whole(memory, model.nrows, model.ncols, 0.0);
    ASSERT_TRUE(resampleToModelGrid(source.grid, s, whole.grid, model, nullptr, method));
    for (const auto& [first, last] : {std::pair<long, long>{1, 6}, {7, 13}, {14, 20}}) {
      model.firstRow = first;
      model.lastRow = last;
      long from = 0;
      long to = 0;
      ASSERT_TRUE(sourceRowsOfModelRows(s, model, from, to));
      // Rows outside the named ones hold no data: drawing on one would show.
      OwnedGrid rows(memory, s.nrows, s.ncols, -9999.0);
      for (long r = from; r <= to; ++r)
        for (long c = 1; c <= s.ncols; ++c) rows.grid[r][c] = source.grid[r][c];
      OwnedGrid strip(memory, last, model.ncols, 0.0, first);
      ASSERT_TRUE(resampleToModelGrid(rows.grid, s, strip.grid, model, nullptr, method));
      for (long r = first; r <= last; ++r)
        for (long c = 1; c <= model.ncols; ++c)
          EXPECT_EQ(strip.grid[r][c], whole.grid[r][c])
              << resamplingText(method) << ", row " << r << " column " << c;
    }
  }
}

TEST(GridResampler, RefusesUnusableSourceGeometry) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<GridHeader> cases = {
      geometry(3, 3, 0.0, 0.0, 0.0), geometry(3, 3, 0.0, 0.0, -1000.0),
      geometry(3, 3, 0.0, 0.0, nan), geometry(3, 3, inf, 0.0, 1.0),
      geometry(3, 3, 0.0, nan, 1.0), geometry(0, 3, 0.0, 0.0, 1.0),
      geometry(3, 0, 0.0, 0.0, 1.0),
  };
  const GridHeader model = geometry(3, 3, 0.0, 0.0, 1.0);
  OwnedGrid source(memory, 3, 3, 1.0);
  OwnedGrid target(memory, 3, 3, 42.0);
  for (size_t k = 0; k < cases.size(); ++k) {
    EXPECT_FALSE(resampleToModelGrid(source.grid, cases[k], target.grid, model, nullptr))
        << "case " << k;
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 3; ++c) EXPECT_EQ(target.grid[r][c], 42.0) << "case " << k;
  }
}
