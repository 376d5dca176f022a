#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <sstream>

#include "tests/routing/reservoir_fixture.h"

namespace {

constexpr double none = -9999.0;
// A rule that never releases water.
const std::string closed = "2\n0 0\n1e9 0\n";

// The first two cells a and b, the others 0.
std::vector<double> twoCells(double a, double b) {
  std::vector<double> cells(12, 0.0);
  cells[0] = a;
  cells[1] = b;
  return cells;
}

std::vector<double> firstCells(int count, double value, double other = none) {
  std::vector<double> cells(12, other);
  std::fill(cells.begin(), cells.begin() + count, value);
  return cells;
}

} // namespace

// Four cells of 100 m at 500 m, 2 m deep: 1 cm rows from 502 m (80000 m^3)
// down to 500 m (0); half the volume stands at 501 m, and the first rows
// extend above the top: 400 m^3 per cm.
TEST(Lake, BuildsItsTableAndConvertsVolumesAndLevels) {
  ReservoirRig rig("lake_flat");
  const WorkingDirectory here(rig.log.directory);
  rig.lakeCells(firstCells(4, 1), firstCells(4, 500.0, 0.0), firstCells(4, 2000.0, 0.0));
  auto lake = rig.make(1, reservoirKeys(), closed, true);
  lake->InitLake();
  std::istringstream file(readFile("W_V_Table_01.dat"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u + 201u);
  EXPECT_EQ(lines[0], "waterlevel-volume-table lake 1");
  EXPECT_EQ(lines[1], "Level[m a.s.l.]\tVolume[m^3]");
  EXPECT_EQ(lines[2], "502\t80000");
  EXPECT_EQ(lines[3], "501.99\t79600");
  EXPECT_EQ(lines.back(), "500\t0");
  EXPECT_NEAR(lake->LevelFromVolume(40000.0), 501.0, 1e-9);
  EXPECT_NEAR(lake->VolumeFromLevel(501.0), 40000.0, 1e-6);
  EXPECT_NEAR(lake->LevelFromVolume(90000.0), 502.25, 1e-9);
  EXPECT_NEAR(lake->LevelFromVolume(0.0), 500.0, 1e-12);
  EXPECT_EQ(lake->SetLakeCells(40000.0), 4);
  EXPECT_NEAR(rig.ponding(1, 3), 1000.0, 1e-6);
}

// 1 cm rows to 4 m, 2 cm rows for the next 10 m, 5 cm rows below, and the
// bottom row; a depth of whole centimetres counts whole rows at any
// elevation.
TEST(Lake, CountsTheRowsOfItsThreeBands) {
  struct Case {
    double depth, elevation;
    int rows;
  };
  for (const Case& c : {Case{2.5, 500, 251}, Case{7, 500, 551}, Case{20, 500, 1021},
                        Case{2.3, 500, 231}, Case{2.3, 1234.56, 231}, Case{2.3, 17.89, 231}}) {
    SCOPED_TRACE(std::to_string(c.depth) + " m at " + std::to_string(c.elevation));
    ReservoirRig rig("lake_bands");
    const WorkingDirectory here(rig.log.directory);
    rig.lakeCells(firstCells(1, 1), firstCells(1, c.elevation, 0),
                  firstCells(1, c.depth * 1000, 0));
    auto lake = rig.make(1, reservoirKeys(), closed, true);
    lake->InitLake();
    EXPECT_EQ(lake->getLevelTableRows(), c.rows);
    EXPECT_NEAR(lake->levelTableLevel(0) - lake->levelTableLevel(c.rows - 1), c.depth, 1e-9);
  }
}

// A level below every cell leaves them dry and without tracer; a level in
// between wets the lower cells with the lake's concentration.
TEST(Lake, SpreadsItsLevelOverItsCells) {
  ReservoirRig rig("lake_cells", 1);
  const WorkingDirectory here(rig.log.directory);
  rig.lakeCells(firstCells(2, 1), twoCells(500, 501), twoCells(3000, 2000));
  auto lake = rig.make(1, " (file = r V0 = 0 C0 = 4 0 0 0 0 0 0 0 0)", closed, true);
  lake->InitLake();
  for (long c = 1; c <= 2; ++c) {
    rig.ponding(1, c) = 77.0;
    rig.tracer(1, 1, c) = 9.0;
  }
  EXPECT_EQ(lake->SetLakeCells(0.0), 0);
  for (long c = 1; c <= 2; ++c) {
    EXPECT_EQ(rig.ponding(1, c), 0.0);
    EXPECT_EQ(rig.tracer(1, 1, c), 0.0);
  }
  // 500.5 m: only the first cell, 0.5 m deep, 5000 m^3.
  EXPECT_EQ(lake->SetLakeCells(5000.0), 1);
  EXPECT_NEAR(rig.ponding(1, 1), 500.0, 1e-6);
  EXPECT_EQ(rig.tracer(1, 1, 1), 4.0);
  std::vector<double> state;
  EXPECT_EQ(lake->LakeStateFromCells(state), 1);
  EXPECT_NEAR(state[0], 5000.0, 1e-6);
  EXPECT_EQ(state[1], 4.0);
}

// A flood metres above the top: the cells hold the volume given, not what
// the table's 1 cm slope makes of it. Three cells of 100 m, 11500 m^3 at the
// top (707.2 m), 3e4 m^3 per metre above.
TEST(Lake, ItsCellsHoldAFloodAboveItsTop) {
  ReservoirRig rig("lake_flood");
  const WorkingDirectory here(rig.log.directory);
  rig.lakeCells(firstCells(3, 1), {707.0, 706.6, 706.85}, {200.0, 600.0, 350.0});
  auto lake = rig.make(1, reservoirKeys(), closed, true);
  lake->InitLake();
  for (double V : {22600.0, 71500.0, 413500.0, 413148.7}) {
    EXPECT_EQ(lake->SetLakeCells(V), 3);
    std::vector<double> state;
    lake->LakeStateFromCells(state);
    EXPECT_NEAR(state[0], V, 1e-13 * V);
  }
}

// Without fluxes a lake's cells hold what its table says. A cell bottom
// 5 mm inside a 1 cm row bends the volume there; the table's chord misses it
// by at most c^2 (5 mm)^2 / 1 cm = 25 m^3, and so does the error of a step.
TEST(Lake, AClosedLakeKeepsItsWater) {
  ReservoirRig rig("lake_closed");
  const WorkingDirectory here(rig.log.directory);
  rig.lakeCells(firstCells(2, 1), twoCells(500, 500.375), twoCells(1000, 625));
  // 500.38 m: 3800 m^3 in the first cell and 50 m^3 in the second.
  auto lake = rig.make(1, reservoirKeys("", 3850.0), closed, true);
  lake->InitLake();
  lake->SetLakeCells(lake->getVolume());
  double largest = 0.0;
  for (int k = 0; k < 24; ++k) {
    lake->Balance(60, 0, 0, nullptr, 0.0, 2001, 1, 1, k, 0);
    largest = std::max(largest, std::fabs(lake->term(SP_class::Err).m3));
    EXPECT_EQ(lake->term(SP_class::Qout).m3, 0.0);
  }
  EXPECT_GT(largest, 0.0);
  EXPECT_LE(largest, 25.0);
  EXPECT_EQ(lake->getArea(), 2e4);
}

TEST(Lake, RefusesCellsItCannotHoldWithTheirCodes) {
  struct Case {
    const char* what;
    std::vector<double> codes, elevation, maxPonding, zones;
    int code;
    std::string message;
    bool sunk = false; // method 2: the elevations given are the sunk ones
  };
  const std::vector<double> zone1(12, 1.0);
  const std::vector<Case> cases = {
      {"surfaces 0.02 m apart", firstCells(2, 1), firstCells(2, 500, 0), twoCells(2000, 2020),
       zone1, 213,
       "Value at row 1, col 2 is 502.02 (elevation 500 m + maximum ponding 2.02 m)\nbut first "
       "value of dhm for this lake was 502 (row 1, column 1: elevation 500 m + maximum ponding "
       "2 m)\nThe elevation model holds the lake's bed"},
      {"surfaces 0.005 m apart", firstCells(2, 1), firstCells(2, 500, 0), twoCells(2000, 2005),
       zone1, 0, ""},
      // Method 2 sank surfaces of 502 and 502.02 m by 2 and 2.02 m.
      {"sunk surfaces 0.02 m apart", firstCells(2, 1), firstCells(2, 500, 0), twoCells(2000, 2020),
       zone1, 213,
       "Value at row 1, col 2 is 502.02 (the elevation model's 502.02 m, sunk by the maximum "
       "ponding of 2.02 m to 500 m)\nbut first value of dhm for this lake was 502 (row 1, column "
       "1: the elevation model's 502 m, sunk by the maximum ponding of 2 m to 500 m)\nWith "
       "initialization method 2 of [lake_model] the elevation model holds the lake's surface",
       true},
      // A level surface of 502 m over beds of 500 and 498 m.
      {"sunk level surface", firstCells(2, 1), twoCells(500, 498), twoCells(2000, 4000), zone1, 0,
       "", true},
      {"a cell in another subbasin",
       firstCells(2, 1),
       firstCells(2, 500, 0),
       firstCells(2, 2000, 0),
       {1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
       224,
       " error in routing description or LAKE grid:\n Lake 1 must be located completely within "
       "subbasin 1."},
      {"no depth", firstCells(2, 1), firstCells(2, 500, 0), firstCells(2, 0, 0), zone1, 213,
       "lake 1 (subbasin 1) holds no water"},
      {"no cell", firstCells(2, 2), firstCells(2, 500, 0), firstCells(2, 2000, 0), zone1, 213,
       "lake 1 (subbasin 1) has no cell in \"lake_codes\""},
      {"table not writable", firstCells(2, 1), firstCells(2, 500, 0), firstCells(2, 2000, 0), zone1,
       225,
       "error opening W_V_Table_01.dat for writing the waterlevel-volume-relation to disk (Is a "
       "directory)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReservoirRig rig("lake_refusals");
    const WorkingDirectory here(rig.log.directory);
    if (c.code == 225) mkdir("W_V_Table_01.dat", 0755);
    rig.lakeCells(c.codes, c.elevation, c.maxPonding, c.zones);
    rig.cells.sunk = c.sunk;
    auto lake = rig.make(1, reservoirKeys(), closed, true);
    EXPECT_EQ(exitCodeOf([&] { lake->InitLake(); }), c.code == 0 ? -1 : c.code);
    if (c.code != 0) {
      EXPECT_NE(rig.log.lastEntry().find(c.message), std::string::npos) << rig.log.lastEntry();
    }
  }
}
