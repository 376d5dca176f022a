#include <gtest/gtest.h>

#include <cmath>

#include "tests/config/derived_grids_model.h"

namespace {

constexpr double nd = DerivedGridsModel::nd;
constexpr double cell = 100.0;

// Rows are shared between processes; column 1 holds cells and the last row
// none.
const std::vector<std::string> catchment = {"..xxxxxx......", ".xxxxxxxxxx...", "xxxxxxxxxxxx..",
                                            "xxxx..xxxxxxx.", "xxxxxxxxxxxxxx", ".xxxxxx.xxxxxx",
                                            "..xxxxxxxxxxx.", "..xxxxxxxxxx..", "...xxxxxxx....",
                                            "....xxxxx.....", ".....xxx......", ".............."};
const long ncols = 14;
const long nrows = 12;

bool inside(long r, long k) { return catchment[r - 1][k - 1] != '.'; }
// Zones 3 (left) and 8 (right).
double zoneCode(long r, long k) { return inside(r, k) ? (k <= 7 ? 3.0 : 8.0) : nd; }
double flat(long, long) { return 500.0; }

double sizeX(long r, long k) { return cell * (1.0 + 0.1 * static_cast<double>((r + 2 * k) % 5)); }
double sizeY(long r, long k) { return cell * (1.0 + 0.05 * static_cast<double>((3 * r + k) % 4)); }
double area(long r, long k) { return sizeX(r, k) * sizeY(r, k) / (cell * cell); }

} // namespace

TEST(CellSizeGrids, DeriveTheMissingGridsFromTheGivenOnes) {
  struct Case {
    const char* name;
    bool x, y, a;
  };
  const std::vector<Case> cases = {
      {"none", false, false, false},     {"x_and_y", true, true, false},
      {"x_and_area", true, false, true}, {"y_and_area", false, true, true},
      {"area", false, false, true},      {"all", true, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DerivedGridsRun run(std::string("cellsizes_") + c.name);
    DerivedGridsModel& m = run.model;
    m.setUp(ncols, nrows, cell, zoneCode, flat);
    if (c.x) m.addStandardGrid("CellSizeX", "csx.asc", sizeX);
    if (c.y) m.addStandardGrid("CellSizeY", "csy.asc", sizeY);
    if (c.a) m.addStandardGrid("RelCellArea", "rca.asc", area);
    ASSERT_EQ(exitCodeOf([&] { m.makeCellSizeGrids(); }), -1) << m.console() << m.errors();

    const bool variable = c.x || c.y;
    auto expectedX = [&](long r, long k) {
      if (!c.x && !c.y) return c.a ? std::sqrt(cell * cell * area(r, k)) : cell;
      return variable ? sizeX(r, k) : cell;
    };
    auto expectedY = [&](long r, long k) {
      if (!c.x && !c.y) return expectedX(r, k);
      return sizeY(r, k);
    };
    auto expectedA = [&](long r, long k) { return variable || c.a ? area(r, k) : 1.0; };
    expectHeldCells(m, m.cellSizeXGrid, expectedX, 1e-9, "CellSizeX");
    expectHeldCells(m, m.cellSizeYGrid, expectedY, 1e-9, "CellSizeY");
    expectHeldCells(m, m.relCellAreaGrid, expectedA, 1e-12, "RelCellArea");
    expectSameAsRankZero(m, m.cellSizeXGrid, "CellSizeX");
    expectSameAsRankZero(m, m.cellSizeYGrid, "CellSizeY");
    expectSameAsRankZero(m, m.relCellAreaGrid, "RelCellArea");
    EXPECT_EQ(m.cellSizeXFromRegistry, c.x ? 1 : 0);
    EXPECT_EQ(m.cellSizeYFromRegistry, c.y ? 1 : 0);
    EXPECT_EQ(m.relCellAreaFromRegistry, c.a ? 1 : 0);
    EXPECT_EQ(m.gridNamed("RelCellArea"), m.relCellAreaGrid);
    if (worldRank() == 0) {
      // Only the grids made here are written, once.
      EXPECT_EQ(fileExists("zone.intern.csx"), !c.x);
      EXPECT_EQ(fileExists("zone.intern.csy"), !c.y);
      EXPECT_EQ(fileExists("zone.intern.rca"), !c.a);
      EXPECT_NE(m.console().find("Checking cell sizes for variable Cells..."), std::string::npos);
    }
  }
}

// The first failing cell in row order ends every process with code 66.
TEST(CellSizeGrids, ZeroOrInconsistentSizesEndEveryProcess) {
  struct Case {
    const char* name;
    bool x, y, a;
    DerivedGridsModel::CellFunction xs, ys, as;
    std::string message; // empty: accepted
  };
  auto zeroAt = [](long row, long column, DerivedGridsModel::CellFunction f) {
    return [=](long r, long k) { return r == row && k == column ? 0.0 : f(r, k); };
  };
  auto scaledAt = [](long row, long column, double factor) {
    return [=](long r, long k) { return area(r, k) * (r == row && k == column ? factor : 1.0); };
  };
  const std::vector<Case> cases = {
      {"zero_x", true, true, false, zeroAt(9, 5, zeroAt(5, 3, sizeX)), sizeY, area,
       "cell size in x direction is zero at row 5, column 3,\nread from file csx.asc\n"},
      {"zero_y", true, true, false, sizeX, zeroAt(6, 2, sizeY), area,
       "cell size in y direction is zero at row 6, column 2,\nread from file csy.asc"},
      {"zero_y_with_area", false, true, true, sizeX, zeroAt(8, 4, sizeY), area,
       "cell size in y direction is zero at row 8, column 4,\nread from file csy.asc"},
      {"area_too_large", true, true, true, sizeX, sizeY, scaledAt(4, 7, 1.00002),
       "Cell size Y (115, from csy.asc) times\ncell size X (130, from csx.asc) \ndivided "
       "by the mean cell area is 1.495 and differs from \nthe relative grid cell size 1.49503 "
       "(from "
       "rca.asc) by more than 0.001%%\n"},
      {"area_too_small", true, true, true, sizeX, sizeY, scaledAt(10, 6, 0.99998), "Cell size Y ("},
      {"area_within_tolerance", true, true, true, sizeX, sizeY, scaledAt(4, 7, 1.000009), ""},
      {"only_x", true, false, false, sizeX, sizeY, area,
       "cell size in y direction cannot be derived: CellSizeX is read from csx.asc, but "
       "neither CellSizeY nor RelCellArea is given as a standard grid; please give one of them"},
      {"only_y", false, true, false, sizeX, sizeY, area,
       "cell size in x direction cannot be derived: CellSizeY is read from csy.asc, but "
       "neither CellSizeX nor RelCellArea is given as a standard grid"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DerivedGridsRun run(std::string("cellsize_faults_") + c.name);
    DerivedGridsModel& m = run.model;
    m.setUp(ncols, nrows, cell, zoneCode, flat);
    if (c.x) m.addStandardGrid("CellSizeX", "csx.asc", c.xs);
    if (c.y) m.addStandardGrid("CellSizeY", "csy.asc", c.ys);
    if (c.a) m.addStandardGrid("RelCellArea", "rca.asc", c.as);
    const int code = exitCodeOf([&] { m.makeCellSizeGrids(); });
    EXPECT_EQ(code, c.message.empty() ? -1 : 66) << m.console();
    if (worldRank() == 0 && !c.message.empty()) {
      EXPECT_NE(m.console().find(c.message), std::string::npos) << m.console();
    }
  }
}

// Zones are ranked before the cell areas exist; afterwards their areas and
// the domain's area follow the cell areas, on every process alike.
TEST(CellSizeGrids, ZoneAreasFollowTheCellAreas) {
  DerivedGridsRun run("zone_areas");
  DerivedGridsModel& m = run.model;
  m.setUp(ncols, nrows, cell, zoneCode, flat);
  m.addStandardGrid("CellSizeX", "csx.asc", sizeX);
  m.addStandardGrid("CellSizeY", "csy.asc", sizeY);
  ASSERT_EQ(m.zoneRecords[1].weightSum, m.zoneRecords[1].valueSum);
  ASSERT_EQ(exitCodeOf([&] { m.makeCellSizeGrids(); }), -1) << m.console();

  double sums[3] = {};
  double counts[3] = {};
  for (long r = 1; r <= nrows; ++r)
    for (long k = 1; k <= ncols; ++k)
      if (inside(r, k)) {
        sums[k <= 7 ? 1 : 2] += area(r, k);
        counts[k <= 7 ? 1 : 2] += 1.0;
      }
  const double total = sums[1] + sums[2];
  ASSERT_EQ(m.zoneRecords.size(), 3u);
  EXPECT_DOUBLE_EQ(m.zoneRecords[0].areaFraction, cell * total * cell / 1e6);
  for (int z = 1; z <= 2; ++z) {
    const ZoneRecord& record = m.zoneRecords[static_cast<size_t>(z)];
    EXPECT_DOUBLE_EQ(record.weightSum, sums[z]) << "zone " << z;
    EXPECT_DOUBLE_EQ(record.effectiveWeight, sums[z]) << "zone " << z;
    EXPECT_NEAR(record.areaFraction, sums[z] / total, 1e-14) << "zone " << z;
    EXPECT_EQ(record.valueSum, counts[z]) << "zone " << z;
    EXPECT_EQ(record.code, z == 1 ? 3.0 : 8.0);
  }
}

// Corners do not depend on the decomposition: regular ones exactly, and with
// varying cell sizes summed from the grid's left and lower edges.
TEST(CoordinateGrids, CornersAreSummedFromTheGridEdges) {
  for (const bool variable : {false, true}) {
    SCOPED_TRACE(variable ? "variable" : "regular");
    DerivedGridsRun run(variable ? "coordinates_variable" : "coordinates_regular");
    DerivedGridsModel& m = run.model;
    const double xll = 1000.5;
    const double yll = 2000.25;
    m.setUp(ncols, nrows, cell, zoneCode, flat, xll, yll);
    if (variable) {
      m.addStandardGrid("CellSizeX", "csx.asc", sizeX);
      m.addStandardGrid("CellSizeY", "csy.asc", sizeY);
    }
    ASSERT_EQ(exitCodeOf([&] {
                m.makeCellSizeGrids();
                m.makeCoordinateGrids();
              }),
              -1)
        << m.console();

    auto width = [&](long r, long k) { return variable && inside(r, k) ? sizeX(r, k) : cell; };
    auto height = [&](long r, long k) { return variable && inside(r, k) ? sizeY(r, k) : cell; };
    auto expectedX = [&](long r, long k) {
      if (!variable) return xll + static_cast<double>(k - 1) * cell;
      double x = xll;
      for (long j = 1; j < k; ++j) x += width(r, j);
      return x;
    };
    auto expectedY = [&](long r, long k) {
      if (!variable) return yll + static_cast<double>(nrows - r) * cell;
      double y = yll;
      for (long q = nrows; q > r; --q) y += height(q, k);
      return y;
    };
    const double tolerance = variable ? 1e-9 : 0.0;
    const long first = m.header.firstRow;
    const long last = m.header.lastRow;
    expectCells(m, m.coordXGrid, first, last, expectedX, tolerance, "CoordX");
    expectCells(m, m.coordYGrid, first, last, expectedY, tolerance, "CoordY");
    EXPECT_EQ(m.gridNamed("CoordX"), m.coordXGrid);
    EXPECT_EQ(m.gridNamed("CoordY"), m.coordYGrid);
    if (worldRank() == 0) {
      EXPECT_TRUE(fileExists("zone.intern.cx"));
      EXPECT_TRUE(fileExists("zone.intern.cy"));
    }
  }
}

// Each grid takes a free entry of its own, also when a later entry is in use,
// and the reader counts it among its grids.
TEST(DerivedGridRegistry, GridsTakeOnlyFreeEntries) {
  DerivedGridsRun run("free_entries");
  DerivedGridsModel& m = run.model;
  m.setUp(ncols, nrows, cell, zoneCode, flat);
  const int occupied = m.firstFreeRegistryIndex() + 1;
  m.registerGrid(occupied, "other.asc", nullptr, nullptr, 0, "occupied", 0, 1, 1);
  const int countBefore = m.gridCount;
  ASSERT_EQ(exitCodeOf([&] {
              m.makeCellSizeGrids();
              m.makeCoordinateGrids();
            }),
            -1);
  EXPECT_EQ(m.entries()[occupied].name, "occupied");
  std::vector<int> indices;
  for (const char* name : {"CellSizeX", "CellSizeY", "RelCellArea", "CoordX", "CoordY"}) {
    const int index = m.findGrid(name, 1);
    EXPECT_GT(index, 0) << name;
    EXPECT_NE(index, occupied) << name;
    indices.push_back(index);
  }
  EXPECT_EQ(indices, (std::vector<int>{occupied - 1, occupied + 1, occupied + 2, occupied + 3,
                                       occupied + 4}));
  EXPECT_EQ(m.gridCount, countBefore + 5);
}

// A full registry ends the run with code 12 and each operation's message.
TEST(DerivedGridRegistry, FullRegistryEndsWithCode12) {
  struct Case {
    const char* name;
    std::function<void(DerivedGridsModel&)> call;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"cell sizes", [](DerivedGridsModel& m) { m.makeCellSizeGrids(); },
       "no free grid found in memory (at position 1000)\n(mpi-rank"},
      {"coordinates", [](DerivedGridsModel& m) { m.makeCoordinateGrids(); },
       "no free grid found in memory (at position 1000)\n(mpi-rank"},
      {"slope", [](DerivedGridsModel& m) { m.make_Slope_and_Aspect(); },
       "no free grid found in memeory (at position 1000)\n(mpi-rank"},
      {"regions", [](DerivedGridsModel& m) { m.MakeRegionWeightGrids(); },
       "no free grid found in memory (at position 1000)\n\n(mpi-rank"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DerivedGridsRun run("full_registry");
    DerivedGridsModel& m = run.model;
    m.setUp(ncols, nrows, cell, zoneCode, flat);
    for (int i = m.firstFreeRegistryIndex(); i < gridRegistryLimit; ++i)
      m.registerGrid(i, "filler", nullptr, nullptr, 0, "filler" + std::to_string(i), 0, 1, 1);
    EXPECT_EQ(exitCodeOf([&] { c.call(m); }), 12);
    if (worldRank() == 0) {
      EXPECT_NE(m.console().find(c.message), std::string::npos) << m.console();
    }
  }
}

TEST(DerivedGridFiles, InternNamesReplaceTheExtensionOfTheFileName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"zone.asc", "zone.intern.csx"},
      {"zone", "zone.intern.csx"},
      {"a.b.grd", "a.b.intern.csx"},
      {"data/zone.asc", "data/zone.intern.csx"},
      {"data.v2/zone", "data.v2/zone.intern.csx"},
      {"/abs/dir.x/zone.bin", "/abs/dir.x/zone.intern.csx"}};
  for (const auto& [name, expected] : cases)
    EXPECT_EQ(DerivedGridsModel::internFileName(name, "csx"), expected) << name;
}
