#include <gtest/gtest.h>

#include "tests/config/derived_grids_model.h"

namespace {

constexpr double nd = DerivedGridsModel::nd;

const std::vector<std::string> catchment = {"..xxxxxx....", ".xxxxxxxxxx.", "xxxxxxxxxxxx",
                                            "xxxx..xxxxxx", ".xxxxxxxxxxx", "..xxxxxxxxx.",
                                            "...xxxxxx...", "....xxx....."};
const long ncols = 12;
const long nrows = 8;

bool inside(long r, long k) { return catchment[r - 1][k - 1] != '.'; }
double zone(long r, long k) { return inside(r, k) ? 1.0 : nd; }
double flat(long, long) { return 10.0; }
// Multilayer record indices 1 .. 3 in stripes.
double types(long r, long k) { return static_cast<double>(1 + (r + k) % 3); }
// Their codes.
double typeCodes(long r, long k) { return 100.0 * types(r, k); }

// Land uses 11, 22, 33, 44 (records 1 .. 4) and the multilayer types 100,
// 200 and 300 with the land uses of their layers; type 300 has one layer.
void setTables(DerivedGridsModel& m) {
  m.landuseTable.assign(5, landuse_class{});
  m.landuseTable[0].setCode(4);
  for (size_t k = 1; k <= 4; ++k) m.landuseTable[k].setCode(static_cast<int>(11 * k));
  const std::vector<std::vector<int>> layers = {{0, 44, 22}, {0, 11, -9999}, {0, 33}};
  m.multilayerTable.assign(4, multilayer_landuse_class{});
  m.multilayerTable[0].setCode(3);
  for (size_t t = 1; t <= 3; ++t) {
    m.multilayerTable[t].setCode(static_cast<int>(100 * t));
    m.multilayerTable[t].getLayerCodes() = layers[t - 1];
  }
}

// Whether the process holds a value at the cell: its own cells and the halo.
bool heldHere(DerivedGridsModel& m, long r, long k) {
  const Grid owners = m.entries()[m.findGrid("MPIRegions", 1)].grid;
  if (!inside(r, k)) return false;
  if (static_cast<int>(owners[r][k]) == worldRank()) return true;
  for (const HaloStrip& s : m.receiveList)
    if (s.row == r && k >= s.startColumn && k < s.startColumn + s.count) return true;
  return false;
}

} // namespace

// After the code check layer k of each cell holds the land-use record of
// layer k of its multilayer type, -9999 past the type's last layer; every
// process holds its own cells and its halo.
TEST(LanduseLayerGrids, HoldTheLayersOfEachCellsMultilayerType) {
  DerivedGridsRun run("landuse_layers");
  DerivedGridsModel& m = run.model;
  m.setUp(ncols, nrows, 100.0, zone, flat);
  setTables(m);
  const int landuse = m.addStandardGrid("landuse", "landuse.asc", typeCodes);
  const int count = m.gridCount;
  ASSERT_EQ(exitCodeOf([&] {
              m.check_LU_Codes(landuse);
              m.makeLanduseLayerGrids();
            }),
            -1)
      << m.console();
  ASSERT_EQ(m.landuseLayerCount, 2);
  ASSERT_EQ(m.landuseLayerGrids.size(), 3u);
  EXPECT_EQ(m.landuseLayerGrids[0], m.entries()[landuse].grid);
  EXPECT_EQ(m.gridCount, count + 2);
  const std::vector<std::vector<double>> expected = {{4, 1, 3}, {2, -9999, -9999}};
  for (int layer = 1; layer <= 2; ++layer) {
    const int index = m.findGrid("landuse" + std::to_string(layer), 1);
    ASSERT_GT(index, 0);
    EXPECT_EQ(m.entries()[index].grid, m.landuseLayerGrids[static_cast<size_t>(layer)]);
    EXPECT_EQ(m.entries()[index].fileName, "landuse" + std::to_string(layer));
    // Rank 0 as well holds its strip only.
    EXPECT_EQ(m.entries()[index].firstRow, m.stripFirstRow());
    EXPECT_EQ(m.entries()[index].lastRow, m.stripLastRow());
    expectCells(
        m, m.landuseLayerGrids[static_cast<size_t>(layer)], m.stripFirstRow(), m.stripLastRow(),
        [&](long r, long k) {
          if (!heldHere(m, r, k)) return nd;
          return expected[static_cast<size_t>(layer - 1)][static_cast<size_t>(types(r, k)) - 1];
        },
        0.0, "landuse" + std::to_string(layer));
  }
}

// Without a grid "landuse" nothing is made; a cell whose type is no record
// of the table ends every process with code 311.
TEST(LanduseLayerGrids, NeedTheLanduseGridAndKnownTypes) {
  for (const double bad : {0.0, 4.0}) {
    SCOPED_TRACE(bad);
    DerivedGridsRun run("landuse_layers_bad");
    DerivedGridsModel& m = run.model;
    m.setUp(ncols, nrows, 100.0, zone, flat);
    setTables(m);
    m.addStandardGrid("landuse", "landuse.asc",
                      [&](long r, long k) { return r == 6 && k == 5 ? bad : types(r, k); });
    EXPECT_EQ(exitCodeOf([&] { m.makeLanduseLayerGrids(); }), 311);
    if (worldRank() == 0) {
      // Only the owner of the cell sees it.
      EXPECT_EQ(m.console().find("at row 6, column 5, which is no record of the "
                                 "multilayer-landuse-table (1 .. 3)") != std::string::npos,
                heldHere(m, 6, 5) &&
                    static_cast<int>(m.entries()[m.findGrid("MPIRegions", 1)].grid[6][5]) == 0);
    }
  }
  DerivedGridsRun run("landuse_layers_none");
  DerivedGridsModel& m = run.model;
  m.setUp(ncols, nrows, 100.0, zone, flat);
  setTables(m);
  const int count = m.gridCount;
  ASSERT_EQ(exitCodeOf([&] { m.makeLanduseLayerGrids(); }), -1);
  EXPECT_EQ(m.landuseLayerCount, 0);
  EXPECT_TRUE(m.landuseLayerGrids.empty());
  EXPECT_EQ(m.findGrid("landuse1", 1), 0);
  EXPECT_EQ(m.gridCount, count);
}
