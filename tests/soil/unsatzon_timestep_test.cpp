// The sub-step of the unsaturated zone on the fixture's catchment.

#include <gtest/gtest.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "tests/soil/column_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

const std::vector<double> rain = {2, 0, 5, 1, 8, 3, 0, 12, 4, 6, -9999, -9999};

// One land use, rooted through the column.
std::vector<landuse_class> rootedLanduse() {
  std::vector<landuse_class> uses(2);
  uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
  return uses;
}

// The fixture's catchment with rain, a land use and the module built on it.
struct RainyCatchment {
  explicit RainyCatchment(const std::string& name, const std::string& tuning = "")
      : setup(name), uses(rootedLanduse()), cd(setup.directory) {
    setup.base.context.landuseTable = &uses;
    setup.base.addGrid("precipitation", rain);
    int code = 0;
    module = setup.build(setup.lines, code, tuning);
    EXPECT_EQ(code, 0);
    if (module) {
      EXPECT_EQ(startRunoff(*module), 0);
    }
  }
  // Water of a cell's column and pond (mm).
  double storage(long r, long c) {
    double water = setup.grid("ponding_storage")[r][c];
    for (int k = 1; k <= 4; ++k) water += setup.stack("theta")[r][c][k] * 250.0;
    return water;
  }
  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  std::unique_ptr<TestUnsatzon> module;
};

bool ownCell(long r, long c) { return r < 3 || c < 3; }

// Every value the sub-steps leave in the column stacks and result grids.
std::vector<double> results(RainyCatchment& rig) {
  std::vector<double> values;
  for (const char* name : {"theta", "hydraulic_heads", "q_down"})
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        for (int k = 0; k <= 4; ++k) values.push_back(rig.setup.stack(name)[r][c][k]);
  for (const char* name : {"groundwater_distance", "groundwater_level", "Theta_in_GWLEVEL",
                           "baseflow", "directflow", "real_transpiration1", "real_evaporation",
                           "groundwater_recharge", "SB_1_grid", "SB_2_grid", "q_downext"})
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) values.push_back(rig.setup.grid(name)[r][c]);
  return values;
}

} // namespace

// In every cell and sub-step the change of the column's water is the rain
// less what the result grids say left it; and the results are the same
// whatever the number of threads.
TEST(UnsatzonTimeStep, GridsCloseTheBalanceWithAnyThreadCount) {
  std::vector<double> first;
  for (int threads : {1, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    omp_set_num_threads(threads);
    RainyCatchment rig("unsatzon_step_threads");
    for (int step = 0; step < 6; ++step) {
      double before[4][5], transpired[4][5], evaporated[4][5];
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c) {
          if (!ownCell(r, c)) continue;
          before[r][c] = rig.storage(r, c);
          transpired[r][c] = rig.setup.grid("real_transpiration1")[r][c];
          evaporated[r][c] = rig.setup.grid("real_evaporation")[r][c];
        }
      ASSERT_EQ(rig.module->computeTimeStep(0, step, 1, 6, 2020), 0);
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c) {
          if (!ownCell(r, c)) continue;
          auto g = [&](const char* name) { return rig.setup.grid(name)[r][c]; };
          const double out =
              g("directflow") + g("interflow") + (g("real_transpiration1") - transpired[r][c]) +
              (g("real_evaporation") - evaporated[r][c]) + g("baseflow") * 3600.0 * 1000.0;
          EXPECT_NEAR(rig.storage(r, c) - before[r][c], rain[(r - 1) * 4 + c - 1] - out, 1e-9)
              << "cell " << r << " " << c << " step " << step;
          EXPECT_GT(g("real_transpiration1"), transpired[r][c]);
          EXPECT_GT(g("baseflow"), 0.0);
        }
    }
    if (first.empty())
      first = results(rig);
    else
      EXPECT_EQ(results(rig), first);
  }
  omp_set_num_threads(1);
}

// Columns that needed more than 100 iterations are reported on rank 0's
// log, one line per water step in the module's format.
TEST(UnsatzonTimeStep, ReportsSlowConvergence) {
  RainyCatchment rig("unsatzon_step_report",
                     "[unsatzon_tuning]\nmax_error = 1e-14\nmax_iterations = 200\n");
  ASSERT_EQ(rig.module->computeTimeStep(0, 7, 3, 6, 2020), 0);
  const std::string log = readFile("modell_0.log");
  std::set<std::pair<int, int>> reported;
  for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = log.substr(at, end + 1 - at);
    int day, month, hour, row, column, iterations;
    double error;
    if (std::sscanf(line.c_str(), "%2d.%2d., %2d h r=%3d, c=%3d : ziter=%3d, max_err = %lg \n",
                    &day, &month, &hour, &row, &column, &iterations, &error) != 7)
      continue;
    EXPECT_EQ(day, 3);
    EXPECT_EQ(month, 6);
    EXPECT_EQ(hour, 7);
    EXPECT_EQ(iterations, 200);
    EXPECT_GT(error, 1e-14);
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "%2d.%2d., %2d h r=%3d, c=%3d : ziter=%3d, max_err = %lg \n", 3, 6, 7, row,
                  column, 200, error);
    EXPECT_EQ(line, expected);
    reported.insert({row, column});
  }
  std::set<std::pair<int, int>> own;
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c)
      if (ownCell(r, c)) own.insert({r, c});
  EXPECT_EQ(reported, own);
}

// A log that cannot be written from inside the parallel region ends the
// step with its FATAL entry and code once the region is over.
TEST(UnsatzonTimeStep, FailureInsideTheRegionEndsTheStepWithItsCode) {
  for (int threads : {1, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    omp_set_num_threads(threads);
    RainyCatchment rig("unsatzon_step_failure",
                       "[unsatzon_tuning]\nmax_error = 1e-14\nmax_iterations = 200\n");
    std::remove("modell_0.log"); // the start summary's
    ASSERT_EQ(mkdir("modell_0.log", 0755), 0);
    int code = 0;
    try {
      rig.module->computeTimeStep(0, 0, 1, 6, 2020);
    } catch (int thrown) {
      code = thrown;
    }
    EXPECT_EQ(code, 5);
    // One entry, however many threads met the failure.
    const std::vector<std::string> entries = rig.setup.base.log.entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "error opening log-file modell_0.log"), 1)
        << rig.setup.base.log.console.str();
    rmdir("modell_0.log");
  }
  omp_set_num_threads(1);
}

// The columns take the parameters of their subbasin in "zonegrid_soilmodel",
// whose codes differ from the zone grid's. With the table at the surface
// the baseflow of a step is the largest baseflow of the subbasin, 20 mm in
// subbasin 1 (row 1) and none in subbasin 2: the saturated layer 1 holds
// (0.45 - 0.237) * 250 = 53 mm above field capacity.
TEST(UnsatzonTimeStep, ColumnsTakeTheParametersOfTheirSubbasin) {
  UnsatzonSetup setup("unsatzon_step_subbasins");
  WorkingDirectory cd(setup.directory);
  const std::vector<landuse_class> uses = rootedLanduse();
  setup.base.context.landuseTable = &uses;
  setup.base.addGrid("precipitation", uniform(0.0));
  setup.base.addGrid("zonegrid_soilmodel", {1, 1, 1, 1, 2, 2, 2, 2, 2, 2, nodata, nodata});
  std::vector<std::string> lines = setup.lines;
  lines[7] = "10  ini_gw_level: the table at the surface";
  lines[79] = "1 2  codes";
  lines[84] = "20 0  largest baseflow (mm per step)";
  auto module = setup.build(lines);
  ASSERT_NE(module, nullptr);
  ASSERT_EQ(startRunoff(*module), 0);
  ASSERT_EQ(module->computeTimeStep(0, 0, 1, 6, 2020), 0);
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      if (!ownCell(r, c)) continue;
      EXPECT_NEAR(setup.grid("baseflow")[r][c] * 3.6e6, r == 1 ? 20.0 : 0.0, 1e-9)
          << "cell " << r << " " << c;
    }
}

// 500 mm of water stand on every cell, whose ponding capacity is 1 mm. A
// cell of a lake (row 1, lake 1) keeps what does not infiltrate, as its lake
// rises above its top, when channel routing's lake model releases it; any
// other cell spills it as direct runoff, also one of code 0 or -1, which no
// lake of channel routing holds, and a lake's cell without the lake model.
// Either way the column and pond lose only what the result grids say left
// them, and the lake cells' table stays at the surface.
TEST(UnsatzonTimeStep, LakeCellsKeepTheirWaterAboveTheirPondingCapacity) {
  for (bool released : {true, false}) {
    SCOPED_TRACE(released ? "lake model on" : "lake model off");
    UnsatzonSetup setup(released ? "unsatzon_step_lakes" : "unsatzon_step_lakes_capped");
    WorkingDirectory cd(setup.directory);
    const std::vector<landuse_class> uses = rootedLanduse();
    setup.base.context.landuseTable = &uses;
    setup.base.addGrid("precipitation", uniform(0.0));
    setup.base.addGrid("max_ponding_storage", uniform(0.001));
    setup.base.addGrid("lake_codes",
                       {1, 1, 1, 1, 0, -1, nodata, nodata, nodata, nodata, nodata, nodata});
    std::vector<std::string> lines = setup.lines;
    lines[3] = "1";
    // Readgrid 2: the table 0.6 m deep, inside layer 3, before the lakes,
    // which hold water, fill.
    lines[86] = "2";
    auto fileOf = [](const std::string& line) { return line.substr(0, line.find(' ')); };
    writeAsciiGrid(fileOf(lines[38]), uniform(-0.6));
    writeAsciiGrid(fileOf(lines[62]), uniform(5.0));
    int code = 0;
    auto module = setup.build(lines, code, "[lake_model]\n1 flow\n1 method\n");
    ASSERT_EQ(code, 0) << setup.base.log.console.str();
    module->setLakesReleased(released);
    ASSERT_EQ(startRunoff(*module), 0);
    auto storage = [&](long r, long c) {
      double water = setup.grid("ponding_storage")[r][c];
      for (int k = 1; k <= 4; ++k) water += setup.stack("theta")[r][c][k] * 250.0;
      return water;
    };
    // The transpiration and evaporation grids add up the sub-steps.
    double before[4][5], evaporated[4][5];
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        if (ownCell(r, c)) {
          setup.grid("ponding_storage")[r][c] = 500.0;
          before[r][c] = storage(r, c);
          evaporated[r][c] =
              setup.grid("real_transpiration1")[r][c] + setup.grid("real_evaporation")[r][c];
        }
    ASSERT_EQ(module->computeTimeStep(0, 0, 1, 6, 2020), 0);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        if (!ownCell(r, c)) continue;
        SCOPED_TRACE("cell " + std::to_string(r) + " " + std::to_string(c));
        auto g = [&](const char* name) { return setup.grid(name)[r][c]; };
        const double out = g("directflow") + g("interflow") + g("real_transpiration1") +
                           g("real_evaporation") - evaporated[r][c] +
                           g("baseflow") * 3600.0 * 1000.0;
        EXPECT_NEAR(storage(r, c) - before[r][c], -out, 1e-9);
        // Under a lake the saturated soil keeps the table at the surface.
        if (r == 1 || (r == 2 && c == 1)) {
          EXPECT_EQ(g("groundwater_distance"), 0.0);
        }
        if (r == 1 && released) {
          EXPECT_EQ(g("directflow"), 0.0);
          EXPECT_GT(g("ponding_storage"), 400.0);
        } else {
          EXPECT_GT(g("directflow"), 400.0);
          EXPECT_LE(g("ponding_storage"), 1.0 + 1e-12);
        }
      }
  }
}
