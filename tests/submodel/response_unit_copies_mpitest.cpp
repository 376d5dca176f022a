#include <gtest/gtest.h>

#include <vector>

#include "submodel/response_unit_copies.h"
#include "submodel/response_unit_masters.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"

namespace {

double own(long r, long c) { return 100.0 * static_cast<double>(r) + static_cast<double>(c); }

// Units 1 (even rows) and 2 (odd rows), each with its master at its first
// cell in row order.
std::vector<HRUMasterCell> firstCellMasters(const StripModule& strips) {
  std::vector<HRUMasterCell> masters(3, HRUMasterCell{0, 0});
  for (long r = 1; r <= strips.nrows; ++r)
    for (long c = 1; c <= strips.ncols; ++c) {
      HRUMasterCell& m = masters[1 + static_cast<std::size_t>(r % 2)];
      if (strips.owner[r][c] >= 0 && m.row == 0) m = HRUMasterCell{r, c};
    }
  return masters;
}

OwnCells ownCellsOf(const StripModule& strips, Grid zone) {
  OwnCells cells;
  cells.firstRow = strips.lo;
  cells.lastRow = strips.hi;
  cells.ncols = strips.ncols;
  cells.rank = strips.rank;
  cells.zone = zone;
  cells.regions = strips.regions;
  return cells;
}

// Two units on the ragged catchment, split by the parity of the row, both
// reaching over every process, under a glacier over rows 1 and 2 and half
// of row 3's first cells, which covers both first cells. The cells with a glacier
// compute on their own, each unit copies its first cell in row order
// without one, on whichever process it lies; a glacier that grows over
// that master moves it on, and the copies follow once the moves count.
TEST(ResponseUnitCopiesMpi, MastersMoveOffGlaciers) {
  StripModule strips("response_unit_masters", ragged(worldSize()));
  std::vector<HRUMasterCell> masters = firstCellMasters(strips);
  ASSERT_EQ(masters[2].row, 1);
  ASSERT_EQ(masters[1].row, 2);
  auto share = [](long r, long c) { return r <= 2 ? 1.0 : r == 3 && c <= 6 ? 0.5 : 0.0; };
  Grid zone = strips.catchmentGrid([](long, long) { return 1.0; });
  Grid units = strips.catchmentGrid([](long r, long) { return 1.0 + static_cast<double>(r % 2); });
  Grid glacier = strips.catchmentGrid(share);
  Grid masterGrid = strips.catchmentGrid([&](long r, long c) {
    const auto u = static_cast<std::size_t>(1 + r % 2);
    return masters[u].row == r && masters[u].column == c ? static_cast<double>(u) : nodata;
  });
  Grid values = strips.catchmentGrid(own);
  const OwnCells cells = ownCellsOf(strips, zone);

  // Unit 2 (odd rows) first has no glacier in row 3 at column 7, unit 1
  // (even rows) in row 4 at column 1.
  ASSERT_TRUE(
      moveMastersOffLoneCells(cells, units, masterGrid, {glacier}, masters, *strips.m.ownDiag));
  EXPECT_EQ(masters[2].row, 3);
  EXPECT_EQ(masters[2].column, 7);
  EXPECT_EQ(masters[1].row, 4);
  EXPECT_EQ(masters[1].column, 1);
  unsigned moves = 0;
  ResponseUnitCopies copies;
  copies.build(cells, units, masters, *strips.m.ownDiag, 1030, masterGrid, &moves);
  auto check = [&](const char* when, auto computes) {
    int checked = 0;
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c) {
        if (strips.owner[r][c] != strips.rank) continue;
        const HRUMasterCell& m = masters[1 + static_cast<std::size_t>(r % 2)];
        const bool computed = computes(r, c) || (m.row == r && m.column == c);
        EXPECT_EQ(masterGrid[r][c] != nodata, computed) << when << " " << r << " " << c;
        EXPECT_EQ(values[r][c], computed ? own(r, c) : own(m.row, m.column))
            << when << " " << r << " " << c;
        ++checked;
      }
    EXPECT_GT(checked, 0) << when;
  };
  copies.copy({values}, {});
  check("at the start", [&](long r, long c) { return share(r, c) > 0.0; });

  // Nothing changed: nothing moves.
  EXPECT_FALSE(
      moveMastersOffLoneCells(cells, units, masterGrid, {glacier}, masters, *strips.m.ownDiag));

  // A glacier of codes beside the first one covers unit 1's master, and
  // the first one retreats from row 1: the master moves on, and row 1 goes
  // on computing on its own.
  Grid codes = strips.catchmentGrid([](long, long) { return 0.0; });
  for (long r = strips.lo; r <= strips.hi; ++r)
    for (long c = 1; c <= strips.ncols; ++c)
      if (strips.owner[r][c] >= 0) {
        if (r == 4 && c == 1) codes[r][c] = 2.0;
        if (r == 1) glacier[r][c] = 0.0;
        values[r][c] = own(r, c);
      }
  ASSERT_TRUE(moveMastersOffLoneCells(cells, units, masterGrid, {glacier, codes}, masters,
                                      *strips.m.ownDiag));
  EXPECT_EQ(masters[1].row, 4);
  EXPECT_EQ(masters[1].column, 2);
  EXPECT_EQ(masters[2].row, 3);
  EXPECT_EQ(masters[2].column, 7);
  ++moves;
  copies.copy({values}, {});
  check("after the close", [&](long r, long c) { return share(r, c) > 0.0 || (r == 4 && c == 1); });
}

} // namespace
