#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/snow/snow_fixture.h"

namespace {

class DumpingSnow : public TestSnow {
public:
  using TestSnow::dumpFileCount;
  using TestSnow::TestSnow;
};

// The module with fake layered stacks of three layers: densities 100, 200,
// 300 kg/m^3, largest thicknesses -, 0.05 and 0.1 m.
struct LayeredSnow : SnowModel {
  explicit LayeredSnow(const std::string& name) : SnowModel(name, SnowSection{}) {
    for (const char* stack : {"SnowWaterEquivalentSolid", "SnowWaterEquivalentLiquid",
                              "SnowLayerThickness", "SnowDensity"})
      addStack(stack);
    add("upperIndexSnow", 4.0);
    settings.layers = 3;
    settings.density = {0, 100, 200, 300};
    settings.maxThickness = {0, 0, 0.05, 0.1};
  }
  ~LayeredSnow() {
    memory_handling memory;
    for (Stack s : stacks) memory.free_three_d_matrix(s, 1, 2);
  }
  void addStack(const std::string& name) {
    memory_handling memory;
    Stack s = memory.three_d_matrix(1, 2, 1, 2, 3, 2);
    GridRegistryEntry& e = registerTestGrid(this->s.registry, name, name, nullptr, 1, 2);
    e.stack = s;
    e.levels = 3;
    stacks.push_back(s);
  }
  double* levels(const std::string& name, long r = 2, long c = 2) {
    for (const GridRegistryEntry& e : s.registry)
      if (e.hasName && e.name == name) return e.stack[r][c];
    return nullptr;
  }
  void buildLayered() {
    module.reset();
    code = -1;
    std::unique_ptr<DumpingSnow> dumping = constructSubmodel<DumpingSnow>(code, s.context);
    ASSERT_EQ(code, 0) << s.log.console.str();
    dumping->setInterceptionFirst(false);
    dumping->setLayeredSnow(true, &settings, 0.0);
    module = std::move(dumping);
  }
  std::int64_t dumpCount() const { return static_cast<DumpingSnow&>(*module).dumpFileCount; }

  SnowLayerSettings settings;
  std::vector<Stack> stacks;
};

} // namespace

TEST(SnowLayers, MovesSnowIntoAndOutOfTheLayers) {
  struct Case {
    const char* what;
    std::vector<double> solid, liquid, thickness, density;
    double upper, amount;
    std::vector<double> expectedSolid;
    double expectedLiquidTop, expectedUpper;
  };
  const std::vector<Case> cases = {
      {"removing 15 empties layer 2 and takes 5 of layer 3",
       {30, 0, 10, 20},
       {0, 0, 1, 2},
       {0, -9999, 0.05, 0.1},
       {0, -9999, 220, 220},
       2,
       -15,
       {15, 0, 0, 15},
       1.0,
       3},
      {"adding 50 to an empty column fills from the bottom up",
       {0, 0, 0, 0},
       {0, 0, 0, 0},
       {0, -9999, -9999, -9999},
       {0, -9999, -9999, -9999},
       4,
       50,
       {50, 10, 10, 30},
       0.0,
       1},
      {"removing more than the column holds empties it",
       {12, 2, 4, 6},
       {0, 0, 0, 0},
       {0, 0.02, 0.02, 0.02},
       {0, 100, 200, 300},
       1,
       -20,
       {0, 0, 0, 0},
       0.0,
       4},
  };
  for (const Case& c : cases) {
    LayeredSnow m(std::string("snow_layers_") + std::to_string(&c - cases.data()));
    m.buildLayered();
    for (int k = 0; k <= 3; ++k) {
      m.levels("SnowWaterEquivalentSolid")[k] = c.solid[k];
      m.levels("SnowWaterEquivalentLiquid")[k] = c.liquid[k];
      m.levels("SnowLayerThickness")[k] = c.thickness[k];
      m.levels("SnowDensity")[k] = c.density[k];
    }
    m.at("upperIndexSnow") = c.upper;
    m.module->transferLayeredSnow(2, 2, false, 1.0, c.amount, -2.0);
    for (int k = 0; k <= 3; ++k)
      EXPECT_NEAR(m.levels("SnowWaterEquivalentSolid")[k], c.expectedSolid[k], 1e-12)
          << c.what << ", level " << k;
    EXPECT_NEAR(m.levels("SnowWaterEquivalentLiquid")[0], c.expectedLiquidTop, 1e-12) << c.what;
    EXPECT_EQ(m.at("upperIndexSnow"), c.expectedUpper) << c.what;
  }
}

// Solid water above an empty layer and liquid water without solid are
// written to a dump file in the working directory.
TEST(SnowLayers, DumpsInconsistentCells) {
  struct Case {
    const char* what;
    bool close;
    std::int64_t maximum;
    int expectedCode;
    int expectedFiles;
    std::int64_t expectedCount;
  };
  const std::vector<Case> cases = {
      {"one file per cell", false, 0, -1, 3, 3},
      {"at most two files, the third counted", false, 2, -1, 2, 3},
      {"-closeAfterDump ends the run", true, 0, 199, 1, 1},
  };
  for (const Case& c : cases) {
    LayeredSnow m(std::string("snow_dumps_") + std::to_string(&c - cases.data()));
    m.buildLayered();
    m.module->setDumpOptions(true, c.close, false, c.maximum);
    for (long r = 1; r <= 2; ++r)
      for (long col = 1; col <= 2; ++col) {
        double* solid = m.levels("SnowWaterEquivalentSolid", r, col);
        solid[1] = 5.0;
        m.levels("SnowWaterEquivalentLiquid", r, col)[2] = 1.0;
        m.grid("temperature")[r][col] = -5.0;
      }
    WorkingDirectory here(m.s.log.directory);
    const int code = exitCodeOf([&] { m.module->computeSnowStep(0, 3, 2, 1, 2020); });
    EXPECT_EQ(code, c.expectedCode) << c.what;
    EXPECT_EQ(m.dumpCount(), c.expectedCount) << c.what;
    int files = 0;
    for (const auto& file : std::filesystem::directory_iterator("."))
      if (file.path().extension() == ".dmp") ++files;
    EXPECT_EQ(files, c.expectedFiles) << c.what;
    const std::string name = "MPI_0_swes(1)_swel(2)_dump_row_1_col_2_2020010203.dmp";
    ASSERT_TRUE(fileExists(name)) << c.what;
    if (c.close) {
      EXPECT_NE(m.s.log.console.str().find(
                    " -------- Snowm odel: command line option -closeAfterDump active! "),
                std::string::npos);
    }
    // Four stacks of 4 levels, the upper index, six cell values, one land
    // use, elevation and precipitation; then the date.
    const std::string bytes = readFile(name);
    ASSERT_EQ(bytes.size(), 26 * sizeof(double) + 5 * sizeof(std::int32_t)) << c.what;
    double values[26];
    std::int32_t date[5];
    std::memcpy(values, bytes.data(), sizeof values);
    std::memcpy(date, bytes.data() + sizeof values, sizeof date);
    EXPECT_EQ(values[1], 5.0);
    EXPECT_EQ(values[2], 0.0);
    EXPECT_EQ(values[6], 1.0);
    EXPECT_EQ(values[16], 4.0); // upper index
    EXPECT_EQ(values[24], 500.0);
    const std::int32_t expectedDate[5] = {0, 3, 2, 1, 2020};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(date[i], expectedDate[i]) << c.what;
  }
}

// Degree-day melt of 12 K * 4 mm/(K d) / 24 = 2 mm takes the top layer of
// 2 mm: the layers keep the 10 mm left in the pack, the melt leaves through
// the outflow (2 mm less the 1 mm the pack holds), and level 0 of the
// liquid stack holds only the 0.5 mm the emptied layer held, not the melt
// a second time.
TEST(SnowLayers, MeltLeavesThePackOnce) {
  LayeredSnow m("snow_layers_melt");
  m.buildLayered();
  const double solid[] = {12, 2, 5, 5}, liquid[] = {0, 0.5, 0, 0};
  const double thickness[] = {0, 0.02, 0.025, 0.0167}, density[] = {0, 0.125, 0.2, 0.3};
  for (int k = 0; k <= 3; ++k) {
    m.levels("SnowWaterEquivalentSolid")[k] = solid[k];
    m.levels("SnowWaterEquivalentLiquid")[k] = liquid[k];
    m.levels("SnowLayerThickness")[k] = thickness[k];
    m.levels("SnowDensity")[k] = density[k];
  }
  m.at("upperIndexSnow") = 1.0;
  m.at("snowstorage_solid") = 12.0;
  m.at("temperature") = 12.0;
  m.step(10, 4, 12);
  EXPECT_NEAR(m.at("snowstorage_solid"), 10.0, 1e-12);
  EXPECT_NEAR(m.at("snowcover_outflow"), 1.0, 1e-12);
  EXPECT_NEAR(m.levels("SnowWaterEquivalentSolid")[0], 10.0, 1e-12);
  EXPECT_NEAR(m.levels("SnowWaterEquivalentLiquid")[0], 0.5, 1e-12);
  EXPECT_EQ(m.at("upperIndexSnow"), 2.0);
}

// The liquid water that layers taken away after the soil's step left at
// level 0 waits there through the next snow step for the soil.
TEST(SnowLayers, KeepsTheWaterOfTakenLayersForTheSoil) {
  LayeredSnow m("snow_layers_left_water");
  m.buildLayered();
  const double solid[] = {5, 0, 0, 5}, thickness[] = {0, -9999, -9999, 0.0167};
  for (int k = 0; k <= 3; ++k) {
    m.levels("SnowWaterEquivalentSolid")[k] = solid[k];
    m.levels("SnowWaterEquivalentLiquid")[k] = 0.0;
    m.levels("SnowLayerThickness")[k] = thickness[k];
    m.levels("SnowDensity")[k] = k == 3 ? 0.3 : -9999;
  }
  m.levels("SnowWaterEquivalentLiquid")[0] = 0.7;
  m.at("upperIndexSnow") = 3.0;
  m.at("snowstorage_solid") = 5.0;
  m.at("temperature") = -5.0;
  m.step();
  EXPECT_EQ(m.levels("SnowWaterEquivalentLiquid")[0], 0.7);
  EXPECT_EQ(m.at("snowstorage_solid"), 5.0);
}
