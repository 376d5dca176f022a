#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "tests/soil/unsatzon_fixture.h"

namespace {

constexpr size_t iniEntry = 7;
constexpr size_t pondEntry = 3;
constexpr size_t drainageEntry = 4;
constexpr size_t controlPointEntry = 72;
constexpr size_t readGridEntry = 86;
constexpr size_t gwstandEntry = 38; // the name line of GWSTAND
constexpr size_t pondGridEntry = 62;

// The silt loam's retention curve in closed form.
double siltLoamTheta(double suction) {
  const double n = 1.41;
  return 0.067 + (0.45 - 0.067) * std::pow(1.0 + std::pow(2.0 * suction, n), -(1.0 - 1.0 / n));
}

std::string nameOf(const std::string& line) { return line.substr(0, line.find(' ')); }

} // namespace

// The initial groundwater layer is floor((m - 1) / ini_gw_level) + 1.4999,
// truncated and at most m.
TEST(UnsatzonInitialState, TableLayerFollowsIniGwLevel) {
  struct Case {
    int layers;
    const char* divisor;
    double layer;
  };
  for (const Case& c : {Case{4, "1", 4.0}, Case{5, "2", 3.0}, Case{4, "0.5", 4.0}}) {
    SCOPED_TRACE(std::to_string(c.layers) + " layers, ini_gw_level " + c.divisor);
    UnsatzonSetup setup("unsatzon_table_layer", "", {siltLoam(c.layers, 0.2)});
    std::vector<std::string> lines = setup.lines;
    lines[iniEntry] = c.divisor;
    auto module = setup.build(lines);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(setup.grid("groundwater_level")[2][2], c.layer);
  }
}

// A cold-started column is at rest: the layers above the table hold the
// water of equilibrium with it, so that their heads equal its height.
TEST(UnsatzonInitialState, ColdStartIsAtRestOverTheTable) {
  UnsatzonSetup setup("unsatzon_cold_start");
  auto module = setup.build(setup.lines);
  ASSERT_NE(module, nullptr);
  const Stack theta = setup.stack("theta");
  const Stack z = setup.stack("geodetic_heads");
  const Stack head = setup.stack("hydraulic_heads");
  const double expected[] = {0.45, 0.36502, 0.39714, 0.43553, 0.45};
  for (int k = 1; k <= 3; ++k)
    EXPECT_NEAR(siltLoamTheta(0.625 - 0.25 * (k - 1)) / expected[k], 1.0, 2e-5) << k;
  for (int k = 0; k <= 4; ++k) {
    EXPECT_NEAR(theta[2][2][k] / expected[k], 1.0, 1e-3) << k;
    EXPECT_DOUBLE_EQ(z[2][2][k], 100.0 - 0.25 * k);
  }
  for (int k = 1; k <= 3; ++k) EXPECT_NEAR(head[2][2][k], 99.25, 1e-12) << k;
  EXPECT_DOUBLE_EQ(head[2][2][4], 99.125);
  EXPECT_DOUBLE_EQ(setup.grid("groundwater_distance")[2][2], -0.75);
  EXPECT_DOUBLE_EQ(setup.grid("Theta_in_GWLEVEL")[2][2], 0.45);
  for (int k = 0; k <= 4; ++k) EXPECT_EQ(theta[3][4][k], nodata) << "outside the catchment";
}

// A table read 0.1 m below the surface lies in the first layer, which it
// fills to 60 % between field capacity and saturation; every layer is
// saturated.
TEST(UnsatzonInitialState, TableFromGridFillsTheColumnBelowIt) {
  UnsatzonSetup setup("unsatzon_table_grid");
  std::vector<std::string> lines = setup.lines;
  lines[readGridEntry] = "2";
  writeAsciiGrid(nameOf(lines[gwstandEntry]), uniform(-0.1));
  auto module = setup.build(lines);
  ASSERT_NE(module, nullptr);
  const double capacity = siltLoamTheta(3.45);
  EXPECT_NEAR(capacity + 0.6 * (0.45 - capacity), 0.36492, 1e-5);
  EXPECT_NEAR(setup.grid("Theta_in_GWLEVEL")[1][3] / 0.36492, 1.0, 1e-3);
  EXPECT_EQ(setup.grid("groundwater_level")[1][3], 1.0);
  EXPECT_DOUBLE_EQ(setup.grid("groundwater_distance")[1][3], -0.1);
  for (int k = 0; k <= 4; ++k) EXPECT_DOUBLE_EQ(setup.stack("theta")[1][3][k], 0.45) << k;
}

// Readgrid 1 and 3 take the columns of a former run as they were written.
TEST(UnsatzonInitialState, StateFilesAreReadBackUnchanged) {
  UnsatzonSetup setup("unsatzon_read_back");
  std::vector<std::string> lines = setup.lines;
  lines[iniEntry] = "2";
  const std::pair<const char*, size_t> stacks[] = {
      {"theta", 30}, {"hydraulic_heads", 32}, {"geodetic_heads", 34}};
  const std::pair<const char*, size_t> grids[] = {{"groundwater_distance", gwstandEntry},
                                                  {"groundwater_level", 44},
                                                  {"Theta_in_GWLEVEL", 40},
                                                  {"baseflow", 56}};
  std::vector<double> written;
  {
    auto former = setup.build(lines);
    ASSERT_NE(former, nullptr);
    setup.grid("baseflow")[2][1] = 0.125;
    for (const auto& [name, entry] : stacks) {
      const Stack s = setup.stack(name);
      former->writeStack(nameOf(lines[entry]), s, 4, false, true, false);
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c) written.insert(written.end(), s[r][c], s[r][c] + 5);
    }
    for (const auto& [name, entry] : grids) {
      const Grid g = setup.grid(name);
      former->writeGrid(nameOf(lines[entry]), g, false, true, false);
      for (long r = 1; r <= 3; ++r) written.insert(written.end(), g[r] + 1, g[r] + 5);
    }
  }
  for (const char* readGrid : {"1", "3"}) {
    SCOPED_TRACE(std::string("readgrid ") + readGrid);
    lines[readGridEntry] = readGrid;
    auto module = setup.build(lines);
    ASSERT_NE(module, nullptr);
    std::vector<double> read;
    for (const auto& [name, entry] : stacks) {
      const Stack s = setup.stack(name);
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c) read.insert(read.end(), s[r][c], s[r][c] + 5);
    }
    for (const auto& [name, entry] : grids) {
      const Grid g = setup.grid(name);
      for (long r = 1; r <= 3; ++r) read.insert(read.end(), g[r] + 1, g[r] + 5);
    }
    ASSERT_EQ(read.size(), written.size());
    for (size_t k = 0; k < read.size(); ++k) EXPECT_EQ(read[k], written[k]) << k;
  }
}

// A theta stack of a former run must have a level per soil layer.
TEST(UnsatzonInitialState, RefusesAStackWithTooFewLevels) {
  UnsatzonSetup setup("unsatzon_short_stack");
  std::vector<std::string> lines = setup.lines;
  {
    auto former = setup.build(lines);
    ASSERT_NE(former, nullptr);
    former->writeStack(nameOf(lines[30]), setup.stack("theta"), 3, true, true, false);
  }
  lines[readGridEntry] = "1";
  int code = 0;
  EXPECT_EQ(setup.build(lines, code), nullptr);
  EXPECT_EQ(code, 13);
  EXPECT_EQ(setup.base.log.lastEntry(), "wrong number of levels in stack " + nameOf(lines[30]) +
                                            " (there are 3 level, it must be 4");
}

// Lakes start full: the table at the surface and saturated soil; method 2
// sinks every lake cell into the elevation model by its ponding capacity,
// flattens and undrains the cells it treats. After a warm start a lake is
// treated only when it holds more than 0.3 mm (method 2).
TEST(UnsatzonLakes, LakeCellsStartFull) {
  struct Cell {
    long row, column;
    double lake, ponding;
    bool treated;
  };
  const std::vector<Cell> cells = {{1, 1, 0.0, 0.4, true},
                                   {1, 2, 3.0, 0.2, false},
                                   {1, 3, -1.0, 0.9, false},
                                   {1, 4, nodata, 0.9, false}};
  for (const char* readGrid : {"0", "2"}) {
    SCOPED_TRACE(std::string("readgrid ") + readGrid);
    UnsatzonSetup setup(std::string("unsatzon_lakes_") + readGrid, "", {siltLoam(4, 0.2)});
    std::vector<double> lakes = uniform(nodata), pondings = uniform(0.0), drains = uniform(0.55);
    for (const Cell& c : cells) {
      lakes[(c.row - 1) * 4 + c.column - 1] = c.lake;
      pondings[(c.row - 1) * 4 + c.column - 1] = c.ponding;
    }
    setup.base.addGrid("lake_codes", lakes);
    setup.base.addGrid("max_ponding_storage", uniform(0.5));
    setup.base.addGrid("drainage_depth", drains);
    setup.base.addGrid("drainage_distance", uniform(10.0));
    std::vector<std::string> lines = setup.lines;
    lines[pondEntry] = "1";
    lines[drainageEntry] = "1";
    lines[iniEntry] = "2";
    lines[readGridEntry] = readGrid;
    writeAsciiGrid(nameOf(lines[gwstandEntry]), uniform(-0.5));
    writeAsciiGrid(nameOf(lines[pondGridEntry]), pondings);
    int code = 0;
    auto module = setup.build(lines, code, "[lake_model]\n1 flow\n2 method\n");
    ASSERT_EQ(code, 0) << setup.base.log.console.str();
    const bool cold = readGrid[0] == '0';
    const int layer = cold ? 2 : 3; // ini_gw_level 2 puts it at the top of layer 2
    for (const Cell& c : cells) {
      SCOPED_TRACE("cell " + std::to_string(c.column));
      const bool lake = c.lake >= 0.0;
      const bool treated = lake && (cold || c.treated);
      const long r = c.row, col = c.column;
      EXPECT_DOUBLE_EQ(setup.base.registry[2].grid[r][col], lake ? 99.5 : 100.0);
      EXPECT_DOUBLE_EQ(setup.grid("slope_angle")[r][col], treated ? 0.0 : 10.0);
      EXPECT_EQ(setup.grid("drainage_level")[r][col], treated ? -1.0 : 3.0);
      EXPECT_EQ(setup.grid("groundwater_level")[r][col], treated ? 1.0 : layer);
      EXPECT_NEAR(setup.grid("groundwater_distance")[r][col],
                  treated ? 0.0
                  : cold  ? -0.2
                          : -0.5,
                  1e-12);
      for (int k = 1; k <= 4; ++k)
        EXPECT_EQ(setup.stack("theta")[r][col][k] == 0.45, treated || k >= layer) << k;
    }
  }
}

// Without "lake_codes" only an INFO entry tells that lakes are off, and
// with the lake switch 0 the method is not read.
TEST(UnsatzonLakes, LakesOffReadNoMore) {
  struct Case {
    const char* what;
    bool lakeGrid;
    std::string section;
  };
  for (const Case& c : {Case{"no lake grid", false, ""},
                        Case{"switch 0", true, "[lake_model]\n0 flow control\n"}}) {
    SCOPED_TRACE(c.what);
    UnsatzonSetup setup(std::string("unsatzon_lakes_off_") + (c.lakeGrid ? "1" : "0"));
    if (c.lakeGrid) setup.base.addGrid("lake_codes", uniform(1.0));
    int code = 0;
    auto module = setup.build(setup.lines, code, c.section);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(setup.base.log.hasEntry("no LAKE-grid was found in unsatzon_model\nLake modelling is "
                                      "switched off for unsatzon_model."),
              !c.lakeGrid);
    EXPECT_DOUBLE_EQ(setup.base.registry[2].grid[1][1], 100.0);
  }
}

// The grids the solver reads but nothing else computes: the tangent of the
// slope and the layer of the drains (0.2 m layers).
TEST(UnsatzonInitialState, DerivedGridsFollowSlopeAndDrainDepth) {
  UnsatzonSetup setup("unsatzon_derived", "", {siltLoam(4, 0.2)});
  setup.base.addGrid("drainage_depth", {0.55, 0.2, 0.9, 0.0, nodata, 0.8, 0.61, 0.01, 1, 1, 1, 1});
  setup.base.addGrid("drainage_distance", uniform(10.0));
  std::vector<std::string> lines = setup.lines;
  lines[drainageEntry] = "1";
  auto module = setup.build(lines);
  ASSERT_NE(module, nullptr);
  const double levels[] = {3, 1, -1, -1, -1, 4, 4, 1};
  for (long c = 1; c <= 8; ++c) {
    const long r = (c - 1) / 4 + 1, col = (c - 1) % 4 + 1;
    EXPECT_EQ(setup.grid("drainage_level")[r][col], levels[c - 1]) << c;
    // The model's pi has nine decimals.
    EXPECT_NEAR(setup.grid("tangens_beta")[r][col], std::tan(10.0 * M_PI / 180.0), 1e-10);
  }
  EXPECT_EQ(setup.grid("tangens_beta")[3][4], nodata);
  EXPECT_EQ(module->getOptionTag(), "+dr,");
}

// The start summary in the log files and the headers of the single-point
// files, byte for byte (three layers, two land-use layers).
TEST(UnsatzonOutputs, StartSummaryAndPointFileHeaders) {
  UnsatzonSetup setup("unsatzon_golden", "", {siltLoam(3, 0.25)});
  setup.base.context.landuseLayerCount = 2;
  for (const char* g :
       {"landuse2", "root_depth2", "vegetation_coverage_degree2", "leaf_area_index2",
        "SurfaceCanopyResistance2", "SurfaceIntercepResistance2", "RoughnessLength2",
        "pot_transpiration2", "real_transpiration2"})
    setup.base.addGrid(g, uniform(1.0));
  setup.base.addGrid("ice_firn", {1.0, 0.5, 0, 0, 0, 0, 0, 0, 0, 0, nodata, nodata});
  std::vector<std::string> lines = setup.lines;
  lines[controlPointEntry] = "2 3";
  WorkingDirectory here(setup.directory);
  auto module = setup.build(lines);
  ASSERT_NE(module, nullptr);

  const soil_class& soil = setup.soils[1];
  const double column =
      0.25 * (soil.thetaFromSuction(1, 0.375) + soil.thetaFromSuction(2, 0.125) + 0.45);
  char expected[600];
  std::snprintf(expected, sizeof expected,
                "soil water content (for control point r=2 c=3) at model-start: %lf mm\n"
                "mean soil water content for all cells at model-start: %lf m^3/m^2\n"
                "mean soil water content for unglacierized or only partly unglacierized cells at "
                "model-start: %lf m^3/m^2\n"
                "mean soil water content for partly or completely glacierized cells at "
                "model-start: %lf m^3/m^2\n",
                column * 1000.0, (8.5 * column + 1.5 * 0.45 * 0.75) / 10.0, 8.5 * column / 10.0,
                1.5 * 0.45 * 0.75 / 10.0);
  EXPECT_EQ(readFile("modell_0.log"), expected);

  const std::string levels = "[1]\t[2]\t[3]\t\n";
  const std::pair<const char*, std::string> headers[] = {
      {"qbottom.txt", "YY\tMM\tDD\tHH\tq_bottom[2][3]" + levels},
      {"theta.txt", "YY\tMM\tDD\tHH\ttheta[2][3]" + levels},
      {"hhyd.txt", "YY\tMM\tDD\tHH\thhyd[2][3]" + levels},
      {"other.txt",
       "YY\tMM\tDD\tHH\totherdata[2][3]QD\tQI\tDELTAGW/QB\tQINF\tGWIN\tGWEX\tGWN\tUPRISE\tPERCOL\t"
       "MACR\tQDRAIN\tACT_POND\tINFEX\tGWST\tGWLEVEL\tROOT\tAlbedo\tRSE\tLAI_1\tVCF_1\tRSC_1\tRSI_"
       "1\tROOT_1\tZ0_1\tLAI_2\tVCF_2\tRSC_2\tRSI_2\tROOT_2\tZ0_2\n"},
      {"etr.txt",
       "YY\tMM\tDD\tHH\tetr[2][3](etr[0] is evaporation from first layer)[0]\t" + levels},
      {"interflow.txt", "YY\tMM\tDD\tHH\tinterflow_per_layer[2][3]" + levels}};
  for (const auto& [file, header] : headers) EXPECT_EQ(readFile(file), header) << file;
}
