#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "config/slope_aspect.h"

namespace {

constexpr double nd = -9999.0;

// A small whole grid from rows of values, rows and columns from 1.
struct SmallGrid {
  explicit SmallGrid(const std::vector<std::vector<double>>& values)
      : nrows(static_cast<long>(values.size())), ncols(static_cast<long>(values[0].size())),
        cells(static_cast<size_t>((nrows + 1) * (ncols + 1)), nd),
        rows(static_cast<size_t>(nrows + 1), nullptr) {
    for (long r = 1; r <= nrows; ++r) {
      rows[static_cast<size_t>(r)] = &cells[static_cast<size_t>(r * (ncols + 1))];
      for (long k = 1; k <= ncols; ++k)
        rows[static_cast<size_t>(r)][k] =
            values[static_cast<size_t>(r - 1)][static_cast<size_t>(k - 1)];
    }
  }
  Grid grid() { return rows.data(); }
  GridShape shape() const { return {nrows, ncols, 10.0, nd}; }
  long nrows;
  long ncols;
  std::vector<double> cells;
  std::vector<double*> rows;
};

double angleBetween(double a, double b) {
  const double d = std::fmod(std::fabs(a - b), 360.0);
  return std::min(d, 360.0 - d);
}

} // namespace

// The centre of a 3 x 3 grid, the only cell with an elevation, takes the
// mean of its valued neighbours.
TEST(FillFromValuedNeighbours, AveragesSlopesPlainlyAndAspectsAsDirections) {
  struct Case {
    const char* name;
    std::vector<std::vector<double>> values;
    bool angles;
    double expected;
  };
  const std::vector<Case> cases = {
      {"350 and 10", {{350, nd, 10}, {nd, nd, nd}, {nd, nd, nd}}, true, 0.0},
      {"east and west cancel", {{nd, nd, nd}, {90, nd, 270}, {nd, nd, nd}}, true, 0.0},
      {"north and south cancel", {{nd, 0, nd}, {nd, nd, nd}, {nd, 180, nd}}, true, 0.0},
      {"80 and 100", {{nd, nd, nd}, {80, nd, nd}, {nd, 100, nd}}, true, 90.0},
      {"0, 90 and 180", {{0, 90, 180}, {nd, nd, nd}, {nd, nd, nd}}, true, 90.0},
      {"300 and 330", {{nd, nd, nd}, {nd, nd, 300}, {nd, nd, 330}}, true, 315.0},
      {"one direction", {{nd, nd, nd}, {nd, nd, nd}, {nd, nd, 225}}, true, 225.0},
      {"slopes 1, 2 and 6", {{1, nd, nd}, {nd, nd, 2}, {nd, 6, nd}}, false, 3.0},
      {"slopes 350 and 10", {{350, nd, 10}, {nd, nd, nd}, {nd, nd, nd}}, false, 180.0},
      {"no valued neighbour", {{nd, nd, nd}, {nd, nd, nd}, {nd, nd, nd}}, true, nd}};
  SmallGrid elevation({{nd, nd, nd}, {nd, 5, nd}, {nd, nd, nd}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmallGrid values(c.values);
    fillFromValuedNeighbours(elevation.grid(), values.grid(), values.shape(), c.angles);
    const double centre = values.grid()[2][2];
    if (c.expected == nd || !c.angles)
      EXPECT_NEAR(centre, c.expected, 1e-12);
    else
      EXPECT_LT(angleBetween(centre, c.expected), 1e-9) << centre;
    EXPECT_TRUE(c.expected == nd || (centre >= 0.0 && (!c.angles || centre < 360.0))) << centre;
    // Cells without an elevation are never filled.
    for (long r = 1; r <= 3; ++r)
      for (long k = 1; k <= 3; ++k)
        if (r != 2 || k != 2) {
          EXPECT_EQ(values.grid()[r][k], c.values[r - 1][k - 1]);
        }
  }
}

// Cells are filled in row order from neighbours filled before them, in two
// passes: a gap wider than two cells keeps its far end.
TEST(FillFromValuedNeighbours, TwoPassesInRowOrderReadFilledNeighbours) {
  SmallGrid elevation({{1, 1, 1, 1}, {nd, nd, nd, nd}});
  SmallGrid values({{nd, nd, nd, 7}, {nd, nd, nd, nd}});
  fillFromValuedNeighbours(elevation.grid(), values.grid(), values.shape(), false);
  EXPECT_EQ(values.cells, SmallGrid({{nd, 7, 7, 7}, {nd, nd, nd, nd}}).cells);

  // (1,2) counts (1,1), filled just before it, but not (1,3).
  SmallGrid second({{nd, nd, nd}, {4, 1, 10}});
  SmallGrid valid({{1, 1, 1}, {nd, nd, nd}});
  fillFromValuedNeighbours(valid.grid(), second.grid(), second.shape(), false);
  EXPECT_DOUBLE_EQ(second.grid()[1][1], 2.5);
  EXPECT_DOUBLE_EQ(second.grid()[1][2], 4.375);
  EXPECT_DOUBLE_EQ(second.grid()[1][3], 5.125);
}
