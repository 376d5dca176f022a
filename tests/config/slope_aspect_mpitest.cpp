#include <gtest/gtest.h>

#include <cmath>

#include "tests/config/derived_grids_model.h"

namespace {

constexpr double nd = DerivedGridsModel::nd;
constexpr double cell = 10.0;
constexpr double degrees = 180.0 / M_PI;

// A ragged catchment with shared rows; the elevation model covers the whole
// grid.
const std::vector<std::string> catchment = {
    "...xxxxxx......", "..xxxxxxxxxx...", ".xxxxxxxxxxxxx.", "xxxxxx.xxxxxxxx", "xxxxxxxxxxxxxxx",
    "xxxxxxxxxxxxxxx", "xxxxxxxxxxxxxxx", ".xxxxxxxxxxxxxx", "..xxxxxxxxxxxx.", "...xxxxxxxxx...",
    "....xxxxxxx....", ".....xxxxx.....", "......xxx......"};
const long ncols = 15;
const long nrows = 13;

double zone(long r, long k) { return catchment[r - 1][k - 1] != '.' ? 1.0 : nd; }
double x(long k) { return (static_cast<double>(k) - 0.5) * cell; }
double y(long r) { return (static_cast<double>(nrows - r) + 0.5) * cell; }

double angleBetween(double a, double b) {
  const double d = std::fmod(std::fabs(a - b), 360.0);
  return std::min(d, 360.0 - d);
}

// Runs make_Slope_and_Aspect over the elevations; false on failure.
bool slopeAndAspect(DerivedGridsModel& m, const DerivedGridsModel::CellFunction& elevation) {
  m.setUp(ncols, nrows, cell, zone, elevation);
  const int code = exitCodeOf([&] { m.make_Slope_and_Aspect(); });
  EXPECT_EQ(code, -1) << m.console() << m.errors();
  return code == -1;
}

} // namespace

// A plane falling toward each of eight directions (and a flat one) has its
// slope and aspect in every cell, the filled edges included, on every process.
TEST(SlopeAndAspect, PlanesGiveTheirAnalyticSlopeAndAspect) {
  // East and north components of the direction in which the plane falls.
  const std::vector<std::pair<int, int>> directions = {{0, 1},   {1, 1},  {1, 0},  {1, -1}, {0, -1},
                                                       {-1, -1}, {-1, 0}, {-1, 1}, {0, 0}};
  const double fall = 0.3;
  for (const auto& [east, north] : directions) {
    SCOPED_TRACE("east " + std::to_string(east) + ", north " + std::to_string(north));
    DerivedGridsRun run("slope_planes");
    DerivedGridsModel& m = run.model;
    auto plane = [&, e = east, n = north](long r, long k) {
      return 1000.0 - fall * (e * x(k) + n * y(r));
    };
    if (!slopeAndAspect(m, plane)) continue;
    const bool flat = east == 0 && north == 0;
    const double slope = std::atan(fall * std::hypot(east, north)) * degrees;
    const double aspect = flat ? 0.0 : std::fmod(std::atan2(east, north) * degrees + 360.0, 360.0);
    expectHeldCells(
        m, m.slopeGrid, [&](long, long) { return slope; }, 1e-9, "slope", true);
    Grid a = m.aspectGrid;
    expectHeldCells(
        m, a,
        [&](long r, long k) { return angleBetween(a[r][k], aspect) < 1e-9 ? a[r][k] : aspect; },
        0.0, "aspect", true);
    expectSameAsRankZero(m, m.slopeGrid, "slope");
    expectSameAsRankZero(m, m.aspectGrid, "aspect");
    // Rank 0 holds the slope of every cell, outside the catchment too.
    for (long r = 1; worldRank() == 0 && r <= nrows; ++r)
      for (long k = 1; k <= ncols; ++k)
        EXPECT_NEAR(m.slopeGrid[r][k], slope, 1e-9) << r << "/" << k;
    EXPECT_EQ(m.gridNamed("slope_angle"), m.slopeGrid);
    EXPECT_EQ(m.gridNamed("slope_aspect"), m.aspectGrid);
    if (worldRank() == 0) {
      EXPECT_TRUE(fileExists("dem.intern.sl"));
      EXPECT_TRUE(fileExists("dem.intern.ex"));
      EXPECT_NE(m.console().find("calculating the lokal topography (aspect, slope ...).. "),
                std::string::npos);
    }
  }
}

// On a cone the inner cells match central differences computed here; the
// cells around its missing top are filled from their neighbours as
// directions, and the grid edges from the cells next to them.
TEST(SlopeAndAspect, ConeMatchesCentralDifferencesAndFillsItsGaps) {
  DerivedGridsRun run("slope_cone");
  DerivedGridsModel& m = run.model;
  const long topRow = 7;
  const long topColumn = 8;
  auto cone = [&](long r, long k) {
    if (r == topRow && k == topColumn) return nd;
    if (r == 10 && k == 3) return nd; // a hole outside the zone's cells
    return 2000.0 - std::hypot(x(k) - x(topColumn), y(r) - y(topRow));
  };
  if (!slopeAndAspect(m, cone)) return;
  auto valued = [&](long r, long k) { return cone(r, k) != nd; };
  auto inner = [&](long r, long k) {
    return r > 1 && r < nrows && k > 1 && k < ncols && valued(r - 1, k) && valued(r + 1, k) &&
           valued(r, k - 1) && valued(r, k + 1);
  };
  Grid s = m.slopeGrid;
  Grid a = m.aspectGrid;
  long checked = 0;
  for (long r = m.heldFirstRow(); r <= m.heldLastRow(); ++r)
    for (long k = 1; k <= ncols; ++k) {
      if (!m.zoneValid(r, k)) continue;
      EXPECT_NE(s[r][k], nd) << r << "/" << k;
      EXPECT_NE(a[r][k], nd) << r << "/" << k;
      if (!inner(r, k)) continue;
      const double gx = (cone(r, k + 1) - cone(r, k - 1)) / (2 * cell);
      const double gy = (cone(r - 1, k) - cone(r + 1, k)) / (2 * cell);
      EXPECT_NEAR(s[r][k], std::atan(std::hypot(gx, gy)) * degrees, 1e-9) << r << "/" << k;
      const double facing =
          gx == 0.0 && gy == 0.0 ? 0.0 : std::fmod(std::atan2(-gx, -gy) * degrees + 360.0, 360.0);
      EXPECT_LT(angleBetween(a[r][k], facing), 1e-9) << r << "/" << k << ": " << a[r][k];
      ++checked;
    }
  EXPECT_GT(checked, 0);
  expectSameAsRankZero(m, s, "slope");
  expectSameAsRankZero(m, a, "aspect");
  if (worldRank() != 0) return;

  // The top has no elevation but four valued neighbours: flat, aspect 0.
  // North of it the valued neighbours face 25.4, 45, 0 (the top), 315, 334.6
  // and 0 degrees: as directions they give north, not their plain mean of
  // 120; the cells west and east of it mirror each other.
  EXPECT_EQ(a[topRow][topColumn], 0.0);
  EXPECT_LT(angleBetween(a[topRow - 1][topColumn], 0.0), 1e-9) << a[topRow - 1][topColumn];
  EXPECT_LT(angleBetween(a[topRow][topColumn - 1], 360.0 - a[topRow][topColumn + 1]), 1e-9);
  EXPECT_LT(angleBetween(a[topRow + 1][topColumn], 180.0), 1e-9);
  // The first row takes the row below it, in row order: (1,1) has the one
  // valued neighbour (2,2), (1,2) also (2,3) and (1,1) filled before it.
  EXPECT_EQ(s[1][1], s[2][2]);
  EXPECT_DOUBLE_EQ(s[1][2], (s[2][3] + s[2][2] + s[1][1]) / 3.0);
  EXPECT_DOUBLE_EQ(s[nrows][1], (s[nrows - 1][2] + s[nrows - 1][1]) / 2.0);
}

// Standard grids of slope or aspect are kept untouched and not written; a
// missing one is still computed.
TEST(SlopeAndAspect, StandardGridsAreKept) {
  for (const int given : {1, 2, 3}) {
    SCOPED_TRACE("given " + std::to_string(given));
    DerivedGridsRun run("slope_given");
    DerivedGridsModel& m = run.model;
    auto tilted = [](long r, long k) { return 100.0 + 2.0 * static_cast<double>(r + k); };
    m.setUp(ncols, nrows, cell, zone, tilted);
    const int slopeIndex =
        given & 1 ? m.addStandardGrid("slope_angle", "slope.asc", [](long, long) { return 7.0; })
                  : 0;
    const int aspectIndex =
        given & 2 ? m.addStandardGrid("slope_aspect", "aspect.asc", [](long, long) { return 9.0; })
                  : 0;
    const int count = m.gridCount;
    ASSERT_EQ(exitCodeOf([&] { m.make_Slope_and_Aspect(); }), -1) << m.console();
    if (slopeIndex) {
      EXPECT_EQ(m.slopeGrid, m.entries()[slopeIndex].grid);
      expectCells(
          m, m.slopeGrid, m.heldFirstRow(), m.heldLastRow(), [](long, long) { return 7.0; }, 0.0,
          "given slope", true);
    }
    if (aspectIndex) {
      EXPECT_EQ(m.aspectGrid, m.entries()[aspectIndex].grid);
      expectCells(
          m, m.aspectGrid, m.heldFirstRow(), m.heldLastRow(), [](long, long) { return 9.0; }, 0.0,
          "given aspect", true);
    }
    // Rising to the south-east: falls toward north-west.
    if (!aspectIndex)
      expectHeldCells(
          m, m.aspectGrid, [](long, long) { return 315.0; }, 1e-9, "aspect", true);
    EXPECT_EQ(m.gridCount, count + (given == 3 ? 0 : 1));
    if (worldRank() == 0) {
      EXPECT_EQ(fileExists("dem.intern.sl"), slopeIndex == 0);
      EXPECT_EQ(fileExists("dem.intern.ex"), aspectIndex == 0);
      EXPECT_EQ(m.console().find("calculating the lokal topography") != std::string::npos,
                given != 3);
    }
  }
}
