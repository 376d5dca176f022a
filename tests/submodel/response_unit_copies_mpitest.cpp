#include <gtest/gtest.h>

#include <vector>

#include "submodel/response_unit_copies.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"

namespace {

double own(long r, long c) { return 100.0 * static_cast<double>(r) + static_cast<double>(c); }

// Two units on the ragged catchment, split by the parity of the row, each
// with its master at its first cell in row order: both reach over every
// process, so a unit copies on its master's process and on the others.
TEST(ResponseUnitCopiesMpi, CellsThatDeclineKeepTheirOwnValues) {
  StripModule strips("response_unit_copies", ragged(worldSize()));
  std::vector<HRUMasterCell> masters(3, HRUMasterCell{0, 0});
  for (long r = 1; r <= strips.nrows; ++r)
    for (long c = 1; c <= strips.ncols; ++c) {
      HRUMasterCell& m = masters[1 + static_cast<std::size_t>(r % 2)];
      if (strips.owner[r][c] >= 0 && m.row == 0) m = HRUMasterCell{r, c};
    }
  Grid zone = strips.catchmentGrid([](long, long) { return 1.0; });
  Grid units = strips.catchmentGrid([](long r, long) { return 1.0 + static_cast<double>(r % 2); });
  Grid values = strips.catchmentGrid(own);
  OwnCells cells;
  cells.firstRow = strips.lo;
  cells.lastRow = strips.hi;
  cells.ncols = strips.ncols;
  cells.rank = strips.rank;
  cells.zone = zone;
  cells.regions = strips.regions;

  ResponseUnitCopies copies;
  copies.build(cells, units, masters, *strips.m.ownDiag, 1030);
  // Every third column declines, the glacier cells of a run.
  copies.copy({values}, {}, [](long, long c) { return c % 3 != 0; });

  int checked = 0;
  for (long r = strips.lo; r <= strips.hi; ++r)
    for (long c = 1; c <= strips.ncols; ++c) {
      if (strips.owner[r][c] != strips.rank) continue;
      const HRUMasterCell& m = masters[1 + static_cast<std::size_t>(r % 2)];
      const bool takes = c % 3 != 0 && !(m.row == r && m.column == c);
      EXPECT_EQ(values[r][c], takes ? own(m.row, m.column) : own(r, c)) << r << " " << c;
      ++checked;
    }
  EXPECT_GT(checked, 0);
}

} // namespace
