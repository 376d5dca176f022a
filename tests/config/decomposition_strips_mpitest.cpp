#include <gtest/gtest.h>

#include "tests/config/decomposition_fixture.h"
#include "tests/test_support.h"

namespace {

// A ragged catchment with holes, a nodata gap inside rows and rows without
// cells, so that rows are shared between processes.
const std::vector<std::string> catchment = {
    "..xxxxx.....", ".xxxxxxxx...", "xxx..xxxxxx.", "............", "xxxxxxx.xxxx",
    ".xxx.xxxxxx.", "..xxxxxxxxxx", "...xxxx..xx.", ".....xxx....", "......x....."};

double valueAt(long r, long c) { return 100.0 * static_cast<double>(r) + static_cast<double>(c); }

bool valid(long r, long c) { return catchment[r - 1][c - 1] != '.'; }

} // namespace

// The strip transfers read exactly what the decomposition writes: a grid
// scattered from rank 0 and gathered back is unchanged, and after a halo
// exchange every halo cell holds its owner's value.
TEST(DecompositionStrips, ScatterGatherAndHaloFollowTheDecomposition) {
  SpeedDirectory here("decomp_strips", "1\n");
  writeFile(here.controlFile(), controlFileText(0));
  DecompositionModel model(".", here.controlFile());
  model.setDomain(catchment);
  model.decompose();
  model.rankZoneCodes(model.entries(), nullptr, model.header.ncols, model.header.nrows, -9999.0);
  model.attachDecomposition();

  const long nrows = model.header.nrows;
  const long ncols = model.header.ncols;
  const long first = worldRank() == 0 ? 1 : std::max(1L, model.header.firstRow - 1);
  const long last = worldRank() == 0 ? nrows : std::min(nrows, model.header.lastRow + 1);
  Grid grid = model.ownedGrid(first, last);
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= ncols; ++c)
      grid[r][c] = worldRank() == 0 && valid(r, c) ? valueAt(r, c) : -1.0;

  try {
    model.MPIScatterGrid(1, grid);
  } catch (int c) {
    ADD_FAILURE() << c << model.console() << model.errors();
    return;
  }
  const int regions = model.findGrid("MPIRegions", 1);
  ASSERT_GT(regions, 0);
  Grid owner = model.entries()[regions].grid;
  for (long r = model.header.firstRow; r <= model.header.lastRow; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (valid(r, c) && static_cast<int>(owner[r][c]) == worldRank()) {
        EXPECT_EQ(grid[r][c], valueAt(r, c)) << "scattered cell " << r << "/" << c;
      }

  model.MPIExchangeGridHalo(1, grid);
  if (worldRank() != 0) {
    for (const HaloStrip& s : model.receiveList)
      for (int c = s.startColumn; c < s.startColumn + s.count; ++c) {
        if (valid(s.row, c)) {
          EXPECT_EQ(grid[s.row][c], valueAt(s.row, c)) << "halo cell " << s.row << "/" << c;
        }
      }
  }

  // Workers change their own cells; the gather brings every change to rank 0.
  for (long r = model.header.firstRow; r <= model.header.lastRow; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (worldRank() != 0 && valid(r, c) && static_cast<int>(owner[r][c]) == worldRank())
        grid[r][c] += 1000.0 * worldRank();
  model.MPIGatherGrid(1, grid);
  if (worldRank() == 0) {
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c)
        if (valid(r, c)) {
          EXPECT_EQ(grid[r][c], valueAt(r, c) + 1000.0 * static_cast<int>(owner[r][c]))
              << "gathered cell " << r << "/" << c;
        }
  }
}
