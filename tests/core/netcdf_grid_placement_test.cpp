#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/netcdf_grid_reader.h"

namespace {

// A model grid of 4 columns and 3 rows of cells of 100 m whose lower left
// corner lies at (2700000, 1200000): western edges 2700000 ... 2700300,
// southern edges 1200000 ... 1200200.
GridHeader model() {
  GridHeader h;
  h.ncols = 4;
  h.nrows = 3;
  h.xllcorner = 2700000.0;
  h.yllcorner = 1200000.0;
  h.cellsize = 100.0;
  return h;
}

std::vector<double> axis(double first, double step, int n) {
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(first + step * i);
  return v;
}

} // namespace

// Edges as horva writes them and centres as most writers do, y either way
// and x from west to east, lie on the grid; a file of the right size
// elsewhere, mirrored or of other cells does not, and the text names where
// it lies and the first coordinate that is off.
TEST(NetCDFGridPlacement, TakesEdgesOrCentresOfTheModelsCells) {
  const struct {
    const char* name;
    NetCDFCoordinates coordinates;
    std::string fault; // "" when the grid lies on the model grid
  } cases[] = {
      {"edges, y from north to south", {axis(2700000, 100, 4), axis(1200200, -100, 3)}, ""},
      {"centres, y from south to north", {axis(2700050, 100, 4), axis(1200050, 100, 3)}, ""},
      {"edges as floats hold them",
       {{2700000.25f, 2700100.f, 2700200.f, 2700300.f}, axis(1200200, -100, 3)},
       ""},
      {"no coordinates", {{}, {}}, ""},
      {"y alone", {{}, axis(1200050, 100, 3)}, ""},
      {"10 km east",
       {axis(2710000, 100, 4), axis(1200200, -100, 3)},
       "does not lie on the model grid: its coordinates x run from 2710000 to 2710300 and y "
       "from 1200200 to 1200000, but the model grid's 4 columns and 3 rows of cells of 100 have "
       "their western edges at x = 2700000 ... 2700300, from west to east, and their southern "
       "edges at y = 1200000 ... 1200200 (their centres half a cell further east and north); "
       "x[0] = 2710000 is neither."},
      {"x from east to west",
       {axis(2700300, -100, 4), axis(1200200, -100, 3)},
       "x[1] = 2700200 is neither."},
      {"a third of a cell north",
       {axis(2700000, 100, 4), axis(1200233.3, -100, 3)},
       "y[0] = 1200233.3 is neither."},
      {"cells of 50 m",
       {axis(2700000, 50, 4), axis(1200200, -100, 3)},
       "x[1] = 2700050 is neither."},
      {"y alone, one row south",
       {{}, axis(1200100, -100, 3)},
       "its coordinates y run from 1200100 to 1199900, but"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fault = netcdfPlacementFault(c.coordinates, model());
    if (c.fault.empty())
      EXPECT_EQ(fault, "");
    else
      EXPECT_NE(fault.find(c.fault), std::string::npos) << fault;
  }
}
