#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "core/memory_handling.h"
#include "snow/glacier.h"
#include "submodel/teilmodellklasse.h"
#include "tests/config/captured_log.h"
#include "tests/test_support.h"

namespace {

// Whole grids of rows x cols cells of 100 m, every cell valid, the
// subbasin of a cell given by a function; every glacier grid starts at 0.
struct Field {
  Field(long rows, long cols, const std::function<int(long, long)>& subbasin)
      : log("glacier_objects"), diag(log.diag) {
    f.nrows = rows;
    f.ncols = cols;
    zones.maxCode = 9;
    zones.indexOfCode = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    zones.zoneCount = 9;
    for (Grid* g : {&f.zone, &zones.grid, &f.elevation, &f.fraction, &f.codes, &f.fractionOld,
                    &f.codesOld, &f.massBalance, &f.massBalanceOld, &f.firnTotal}) {
      *g = memory.matrix(1, rows, 1, cols, rows);
      owned.push_back(g);
    }
    for (long r = 1; r <= rows; ++r)
      for (long c = 1; c <= cols; ++c) {
        f.zone[r][c] = 1.0;
        zones.grid[r][c] = subbasin(r, c);
        f.codes[r][c] = f.codesOld[r][c] = -9999.0;
      }
    f.subbasins = &zones;
  }
  ~Field() {
    for (Grid* g : owned) memory.free_matrix(*g, 1, f.nrows, 1, f.ncols);
  }
  // A glacier cell of the code with its fraction, old and new alike.
  void glacier(long r, long c, int code, double g, double elevation = 2000.0) {
    f.codes[r][c] = f.codesOld[r][c] = code;
    f.fraction[r][c] = f.fractionOld[r][c] = g;
    f.elevation[r][c] = elevation;
  }
  double sum(Grid g, int code) const {
    double s = 0.0;
    for (long r = 1; r <= f.nrows; ++r)
      for (long c = 1; c <= f.ncols; ++c)
        if (f.codes[r][c] == code) s += g[r][c];
    return s;
  }

  memory_handling memory;
  SubmodelZones zones;
  GlacierField f;
  std::vector<Grid*> owned;
  CapturedLog log;
  DiagStream& diag;
};

} // namespace

TEST(Glacier, FollowsTheVolumeAreaRelation) {
  struct Case {
    const char* what;
    std::function<void(Glacier&)> act;
    double area, volume;
  };
  const std::vector<Case> cases = {
      {"1 km2 holds 28.5", [](Glacier& g) { g.area = 1.0, g.volumeFromArea(); }, 1.0, 28.5},
      {"0.005 km2 counts as 0.01", [](Glacier& g) { g.area = 0.005, g.volumeFromArea(); }, 0.01,
       28.5 * std::pow(0.01, 1.36)},
      {"volume 0.5 lies below the minimum", [](Glacier& g) { g.volume = 0.5, g.areaFromVolume(); },
       0.0543, 28.5 * std::pow(0.0543, 1.36)},
      {"volume 10", [](Glacier& g) { g.volume = 10.0, g.areaFromVolume(); },
       std::pow(10.0 / 28.5, 1.0 / 1.36), 10.0},
      {"no volume yet takes it from the area",
       [](Glacier& g) { g.area = 2.0, g.volume = 0.0, g.areaFromVolume(); }, 2.0,
       28.5 * std::pow(2.0, 1.36)},
  };
  for (const Case& c : cases) {
    Glacier g(1, 1, 0, 1, 28.5, 1.36, 0.0, 0.0, 100.0);
    c.act(g);
    EXPECT_NEAR(g.area, c.area, 1e-12) << c.what;
    EXPECT_NEAR(g.volume, c.volume, 1e-9) << c.what;
  }
  EXPECT_NEAR(Glacier(1, 1, 0, 1, 28.5, 1.36, 0, 0, 100).minimumVolume(), 0.542216, 5e-7);
  EXPECT_NEAR(std::pow(10.0 / 28.5, 1.0 / 1.36), 0.462973, 5e-7);
  EXPECT_NEAR(28.5 * std::pow(0.01, 1.36), 0.054306, 5e-7);
}

TEST(Glacier, SortsItsCellsIntoElevationBands) {
  Glacier g(7, 3, 2, 1, 28.5, 1.36, 0.0, 0.0, 100.0);
  const double elevations[] = {2000.0, 2300.0, 2150.0, 2100.0};
  for (int k = 0; k < 4; ++k) g.addCell(k == 0, 10000.0, elevations[k], 0.5);
  EXPECT_DOUBLE_EQ(g.area, 4 * 0.005);
  g.buildBands();
  const double bounds[3][2] = {{2000, 2100}, {2100, 2200}, {2200, 2300}};
  for (int b = 0; b < 3; ++b) {
    EXPECT_DOUBLE_EQ(g.bands[size_t(b)].lower, bounds[b][0]);
    EXPECT_DOUBLE_EQ(g.bands[size_t(b)].upper, bounds[b][1]);
  }
  const struct {
    double elevation;
    size_t band;
  } cells[] = {{2300, 2}, {1990, 0}, {2100, 1}, {2099.9, 0}, {2250, 2}};
  for (const auto& cell : cells) g.assignCellToBand(cell.elevation, 1, 1);
  const size_t counts[3] = {2, 1, 2};
  for (size_t b = 0; b < 3; ++b) EXPECT_EQ(g.bands[b].cells.size(), counts[b]) << b;

  // Every cell is changeable when shrinking; the lowest band counts three
  // times with an extra weight of 2.
  memory_handling memory;
  Grid grid = memory.matrix(1, 1, 1, 1, 1);
  grid[1][1] = 0.5;
  EXPECT_DOUBLE_EQ(g.changeableWeight(-1.0, grid), 2 * 3 + 1 + 2);
  grid[1][1] = 1.0;
  EXPECT_DOUBLE_EQ(g.changeableWeight(1.0, grid), 0.0);
  EXPECT_DOUBLE_EQ(g.changeableWeight(0.0, grid), 0.0);
  memory.free_matrix(grid, 1, 1, 1, 1);
}

TEST(GlacierList, SpreadsTheLostMassBalanceOverTheKeptArea) {
  Field m(1, 4, [](long, long) { return 1; });
  m.glacier(1, 1, 5, 1.0);
  m.glacier(1, 2, 5, 1.0);
  m.glacier(1, 3, 5, 1.0);
  m.glacier(1, 4, 6, 1.0);
  // Cell 3 left glacier 5 with a balance of -500; glacier 6 lost all.
  m.f.codes[1][3] = -9999.0;
  m.f.fraction[1][3] = 0.0;
  m.f.massBalance[1][3] = -500.0;
  m.f.massBalance[1][4] = -300.0;
  m.f.fraction[1][4] = 0.0;
  GlacierList list;
  list.build(m.f, m.diag);
  list.redistributeGlacierMassBalance(m.f, -1);
  EXPECT_DOUBLE_EQ(m.f.massBalance[1][1], -250.0);
  EXPECT_DOUBLE_EQ(m.f.massBalance[1][2], -250.0);
  EXPECT_DOUBLE_EQ(list.glaciers()[list.indexOf(6)].meanMB, 0.0);
  EXPECT_DOUBLE_EQ(m.f.massBalance[1][4], -300.0);
}

TEST(GlacierList, RefusesAGlacierInTwoSubbasins) {
  Field m(2, 2, [](long r, long) { return r == 1 ? 3 : 4; });
  m.glacier(1, 2, 9, 1.0);
  m.glacier(2, 2, 9, 1.0);
  GlacierList list;
  EXPECT_EQ(exitCodeOf([&] { list.build(m.f, m.diag); }), 84);
  EXPECT_NE(m.log.console.str().find(
                "glacier 9 is located in more than one subbasin:\nFirst cell was found in "
                "subbasin 3,\nwhereas the cell in row 2 and col 2 belongs to subbasin 4."),
            std::string::npos);
}

// A balance moves the area the volume asks for into and out of the cells;
// whatever it does, the fractions stay in [0, 1], a cell at 0 leaves the
// glacier, and the spread keeps each glacier's sum of balance times area.
TEST(GlacierList, BalancesTheGlaciersAgainstTheirVolumes) {
  struct Case {
    const char* what;
    double balance; // mm over the year on every glacier cell
    double fraction;
  };
  const std::vector<Case> cases = {
      {"a year of loss", -2000.0, 0.8},
      {"a year of gain", 3000.0, 0.6},
      {"a year of gain on full cells grows into the neighbours", 3000.0, 1.0},
      {"a small glacier keeps the minimum volume", -40000.0, 0.3},
  };
  for (const Case& c : cases) {
    Field m(12, 12, [](long, long c) { return c <= 6 ? 1 : 2; });
    for (long r = 4; r <= 9; ++r)
      for (long col = 2; col <= 5; ++col) m.glacier(r, col, 1, c.fraction, 3000.0 - 50.0 * r);
    m.glacier(6, 9, 2, c.fraction, 2500.0);
    GlacierList list(GlacierListSettings{28.5, 1.36, 3, 1, 0.25});
    list.build(m.f, m.diag);
    double before[3] = {0.0, 0.0, 0.0};
    for (int code = 1; code <= 2; ++code) {
      Glacier& g = list.glaciers()[list.indexOf(code)];
      // A glacier smaller than the smallest one starts at the smallest area.
      const double area = c.fraction * (code == 1 ? 24 : 1) * 0.01;
      EXPECT_NEAR(g.area, std::max(area, 0.0543), 1e-12) << c.what;
      for (long r = 1; r <= 12; ++r)
        for (long col = 1; col <= 12; ++col)
          if (m.f.codes[r][col] == code) m.f.massBalance[r][col] = c.balance;
    }
    std::vector<double> startVolume;
    for (const Glacier& g : list.glaciers()) startVolume.push_back(g.volume);
    for (int code = 1; code <= 2; ++code) before[code] = m.sum(m.f.massBalance, code) * c.fraction;
    list.glacierBalance(m.f, m.diag);

    const Glacier& big = list.glaciers()[list.indexOf(1)];
    // Volume change: 100 m squared times g times the thickness of ice.
    const double dv = 24 * 1e4 * c.fraction * (c.balance / 0.85 / 1000.0) / 1e6;
    const double target = std::max(startVolume[0] + dv, big.minimumVolume());
    EXPECT_NEAR(big.volume, target, 1e-12) << c.what;
    double area = 0.0, weighted = 0.0;
    for (long r = 1; r <= 12; ++r)
      for (long col = 1; col <= 12; ++col) {
        const double g = m.f.fraction[r][col];
        EXPECT_TRUE(g >= 0.0 && g <= 1.0) << c.what;
        if (m.f.codes[r][col] == 1) {
          area += g * 0.01;
          weighted += g * m.f.massBalance[r][col];
        }
        if (g == 0.0 && m.f.codesOld[r][col] == 1) {
          EXPECT_NE(m.f.codes[r][col], 1.0) << c.what;
        }
      }
    if (c.balance > -10000.0) {
      EXPECT_NEAR(area, big.area, 1e-6) << c.what;
    }
    EXPECT_NEAR(weighted, before[1], 1e-6 * std::fabs(before[1])) << c.what;
    EXPECT_DOUBLE_EQ(big.oldArea, big.area) << c.what;
  }
}

TEST(GlacierList, NamesNewGlacierCellsAfterTheirNeighbours) {
  Field m(3, 4, [](long, long c) { return c <= 2 ? 1 : 2; });
  m.glacier(1, 1, 4, 1.0);
  for (const auto& [r, c] : {std::pair{2L, 1L}, std::pair{1L, 3L}, std::pair{2L, 3L}}) {
    m.f.codes[r][c] = -1.0;
    m.f.fraction[r][c] = 0.25;
  }
  m.glacier(3, 4, 7, 1.0);
  GlacierList list(GlacierListSettings{28.5, 1.36, 1, 0, 0.25});
  list.build(m.f, m.diag);
  list.nameNewGlacierCells(m.f);
  EXPECT_EQ(m.f.codes[2][1], 4.0);
  // No glacier of its subbasin beside it: the largest code + 1, which the
  // cell below takes.
  EXPECT_EQ(m.f.codes[1][3], 8.0);
  EXPECT_EQ(m.f.codes[2][3], 8.0);
  EXPECT_EQ(m.f.codesOld[2][3], 8.0);
  list.build(m.f, m.diag);
  ASSERT_GE(list.indexOf(8), 0);
  EXPECT_NEAR(list.glaciers()[list.indexOf(8)].area, smallestGlacierArea, 1e-12);
}
