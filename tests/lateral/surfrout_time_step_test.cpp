#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>

#include <filesystem>

#include "tests/lateral/surfrout_fixture.h"

namespace {

double flat(long, long) { return 100.0; }

// Works in the test's directory, where the module writes its files.
struct InDirectory {
  explicit InDirectory(const std::string& dir) : former(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDirectory() { std::filesystem::current_path(former); }
  std::filesystem::path former;
};

// The values of the last column of each data line of a statistics file.
std::vector<double> lastColumn(const std::string& text) {
  std::vector<double> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
    const size_t tab = line.rfind('\t');
    values.push_back(std::stod(line.substr(tab + 1)));
  }
  return values;
}

} // namespace

// T = 900 s (hourly steps, 4 sub-steps), inner steps of 10 to 100 s.
TEST(SurfaceRoutingTimeStep, InnerStepsCoverTheSubstep) {
  SurfroutSetup s("surfrout_inner", 3, 3, 100.0, flat);
  s.lines[16] = "10  minimum";
  auto module = s.build(4);
  struct Case {
    double stable;
    double adapted;
  };
  const Case cases[] = {{80.0, 75.0}, {5.0, 10.0}, {1e36, 100.0}};
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(module->adaptedSubTimeStep(c.stable), c.adapted);
  TestSurfaceRouting::InnerSteps steps(900.0, 10.0);
  std::vector<double> lengths;
  while (!steps.done()) {
    lengths.push_back(steps.take());
    steps.setLater(75.0);
  }
  ASSERT_EQ(lengths.size(), 13u);
  EXPECT_EQ(lengths.front(), 10.0);
  for (size_t k = 1; k < 12; ++k) EXPECT_EQ(lengths[k], 75.0);
  EXPECT_EQ(lengths.back(), 65.0);
  EXPECT_EQ(std::accumulate(lengths.begin(), lengths.end(), 0.0), 900.0);
  module->teardown(false);
}

// The flow-time distribution in the log: 50, 30 and 20 cells in zones 1 to
// 3; a nodata flow time or an empty first zone stops the run and leaves the
// log as it was.
TEST(SurfaceRoutingTimeStep, FlowTimeZonesOfTheSubbasins) {
  struct Case {
    const char* what;
    std::function<double(long, long)> flowTime; // null: no "flow_times"
    int code;
    std::string log;
  };
  const Case cases[] = {
      {"three zones", [](long r, long) { return r <= 5 ? 1.2 : r <= 8 ? 2.0 : 3.7; }, 0,
       "Flow time distribution:\nTG\t   1\t(  3\tZonen):\t0.500\t0.300\t0.200\n"},
      // Less than a step from the outlet is the outlet's zone.
      {"below one step", [](long r, long) { return r <= 5 ? 0.4 : 1.5; }, 0,
       "Flow time distribution:\nTG\t   1\t(  1\tZonen):\t1.000\n"},
      {"no flow times", nullptr, 0,
       "flow time distribution will not be calculated (no flow time grid provided)\n"},
      {"zones 2 and 3 only", [](long r, long) { return r <= 5 ? 2.5 : 3.0; }, 61, ""},
      {"a cell without flow time", [](long r, long c) { return r == 4 && c == 7 ? -9999.0 : 1.0; },
       6, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SurfroutSetup s("surfrout_zones", 10, 10, 100.0, flat);
    if (c.flowTime) s.addGrid("flow_times", c.flowTime);
    auto module = s.build();
    const InDirectory here(s.base.log.directory);
    std::vector<TracerRecord> none(1);
    int code = -1;
    module->initTracers(code, 0, none, nullptr, 0);
    EXPECT_EQ(code, c.code);
    const std::string log = readFile("modell_0.log");
    EXPECT_EQ(c.code == 0 ? log.substr(0, c.log.size()) : log, c.log);
    const std::string console = s.base.log.console.str();
    if (c.code == 6) {
      EXPECT_NE(console.find("no value at row 4, column 7"), std::string::npos);
    }
    if (c.code == 61) {
      EXPECT_NE(console.find("the first time zone of subbasin 1 has no cells!"), std::string::npos);
    }
    std::remove("modell_0.log");
    module->teardown(false);
  }
}

// 24 mm of direct flow in the first hour on river cells pass the linear
// storage of 150 minutes: each hour gives e^-0.4 of the hour before, the
// sum is 24 mm; cells two zones away arrive two steps later. The same with
// one and with two sub-steps.
TEST(SurfaceRoutingTimeStep, DirectFlowPassesZonesAndLinearStorage) {
  const double e = std::exp(-0.4);
  struct Case {
    const char* what;
    unsigned substeps;
    bool halfInZone3;
    std::vector<double> expected;
  };
  const double a = 24.0 * (1.0 - e);
  const Case cases[] = {
      {"one sub-step", 1, false, {a, a * e, a * e * e, a * e * e * e}},
      {"two sub-steps", 2, false, {a, a * e, a * e * e, a * e * e * e}},
      {"half two zones away", 2, true,
       {a / 2, a / 2 * e, a / 2 * e * e + a / 2, (a / 2 * e * e + a / 2) * e}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SurfroutSetup s("surfrout_storage", 4, 4, 100.0, flat, nullptr,
                    [](long, long) { return true; });
    s.lines[4] = "qd.stat 2001  statistics QD";
    s.lines[5] = "qi.stat 2001  statistics QI";
    s.lines[6] = "qb.stat 2001  statistics QB";
    s.lines[7] = "qg.stat 2001  statistics QG";
    if (c.halfInZone3) s.addGrid("flow_times", [](long r, long) { return r <= 2 ? 1.0 : 3.0; });
    const std::string dir = std::filesystem::absolute(s.base.log.directory).string() + "/";
    s.base.context.outputDirectory = dir;
    auto module = s.build(c.substeps);
    surfaceroutingclass::RunoffArrays baseflow(1, std::vector<double>(2, 0.5));
    std::vector<double> constants = {0.0, 150.0};
    ASSERT_EQ(startRouting(*module, baseflow, constants), 0);
    Grid direct = s.grid("directflow");
    Grid inter = s.grid("interflow");
    for (long step = 0; step < 4; ++step) {
      module->startStep(0, step, 1, 6, 2021);
      for (unsigned k = 0; k < c.substeps; ++k) {
        for (long r = 1; r <= 4; ++r)
          for (long col = 1; col <= 4; ++col) {
            direct[r][col] = step == 0 ? 24.0 / c.substeps : 0.0;
            inter[r][col] = step == 0 ? 2.0 / c.substeps : 0.0;
          }
        module->routeSubstep(0, step, 1, 6, 2021);
      }
      module->endStep();
    }
    module->flushStatistics();
    const std::vector<double> qd = lastColumn(readFile(dir + "qd.stat"));
    ASSERT_EQ(qd.size(), 4u);
    for (size_t k = 0; k < 4; ++k) EXPECT_NEAR(qd[k], c.expected[k], 1e-5) << k;
    if (!c.halfInZone3) {
      EXPECT_NEAR(qd[0], 7.91232, 1e-5);
      EXPECT_NEAR(qd[1], 5.30379, 1e-5);
    }
    // Interflow arrives whole, whatever the number of sub-steps.
    const std::vector<double> qi = lastColumn(readFile(dir + "qi.stat"));
    const std::vector<double> qg = lastColumn(readFile(dir + "qg.stat"));
    ASSERT_EQ(qi.size(), 4u);
    ASSERT_EQ(qg.size(), 4u);
    const double interflow = c.halfInZone3 ? 1.0 : 2.0;
    EXPECT_NEAR(qi[0], interflow * (1.0 - e), 1e-5);
    for (size_t k = 0; k < 4; ++k) EXPECT_NEAR(qg[k], qd[k] + qi[k] + 0.5, 2e-5) << k;
    module->teardown(false);
  }
}

// Rain of 7.2 mm/h on a plane of 25 x 30 cells of 25 m falling by 2 % to a
// river on one border: once the runoff has settled, each half-hour step
// gives the 3.6 mm of its rain. The stand-in for the unsaturated zone hands
// the rain and the water left on the land back as direct flow every
// sub-step.
TEST(SurfaceRoutingTimeStep, SettledRunoffEqualsTheRain) {
  struct Case {
    int method;
    unsigned substeps;
    char towards;
  };
  const Case cases[] = {{6, 1, 'E'}, {6, 3, 'N'}, {1, 1, 'E'}, {2, 3, 'E'}, {3, 1, 'E'}, {4, 3, 'E'}, {5, 1, 'E'},
                        {2, 1, 'N'}, {2, 1, 'S'}, {2, 1, 'W'}};
  const long nrows = 25, ncols = 30;
  for (const Case& c : cases) {
    SCOPED_TRACE("method " + std::to_string(c.method) + ", " + std::to_string(c.substeps) +
                 " sub-steps, towards " + c.towards);
    const auto distance = [&](long r, long col) {
      return c.towards == 'N' ? r - 1 : c.towards == 'S' ? nrows - r
                                    : c.towards == 'E' ? ncols - col
                                                       : col - 1;
    };
    SurfroutSetup s("surfrout_equilibrium", ncols, nrows, 25.0,
                    [&](long r, long col) { return 100.0 + 0.5 * distance(r, col); }, nullptr,
                    [&](long r, long col) { return distance(r, col) == 0; });
    parseLanduseEntry(s.landuse[1], nullptr,
                      "FixDays = 100 200; LAI = 1 1; VCF = 1 1; RootDepth = 1 1; Albedo = 0.2 0.2; "
                      "Z0 = 1 1; RSC = 1 1; RSI = 1 1; RSE = 1 1; SR_K_ST = 40; }",
                      "test");
    s.lines[2] = "30  time interval";
    s.lines[3] = std::to_string(c.method) + "  method";
    s.lines[17] = "20  maximum sub time step";
    auto module = s.build(c.substeps);
    surfaceroutingclass::RunoffArrays baseflow(1, std::vector<double>(2, 0.0));
    std::vector<double> constants = {0.0, 1e-6}; // no storage delay
    ASSERT_EQ(startRouting(*module, baseflow, constants), 0);
    Grid direct = s.grid("directflow");
    Grid left = s.grid("SurfStorSiltingUp");
    double previous = -1.0, runoff = 0.0;
    long step = 0;
    for (; step < 60; ++step) {
      module->startStep(0, step / 2, 1, 6, 2021);
      for (unsigned k = 0; k < c.substeps; ++k) {
        for (long r = 1; r <= nrows; ++r)
          for (long col = 1; col <= ncols; ++col) direct[r][col] = 3.6 / c.substeps + left[r][col];
        module->routeSubstep(0, step / 2, 1, 6, 2021);
      }
      module->endStep();
      runoff = (*module->getQg())[0][1];
      if (std::fabs(runoff - previous) <= 1e-5 * runoff) break;
      previous = runoff;
    }
    EXPECT_LT(step, 60) << "not settled: " << runoff;
    EXPECT_NEAR(runoff, 3.6, 0.001 * 3.6) << step;
    module->teardown(false);
  }
}

// A plane falling east to a river along its eastern border, cut across the
// slope into two subbasins: the water on the western one runs over the
// eastern one to the river. What the land and river cells of a subbasin
// hold after the step, less the water they were given, crossed its border.
TEST(SurfaceRoutingTimeStep, CountsTheWaterCrossingSubbasinBorders) {
  const long n = 20;
  const double m3PerMm = 25.0 * 25.0 / 1000.0;
  for (int method : {1, 2, 5}) {
    SCOPED_TRACE("method " + std::to_string(method));
    SurfroutSetup s(
        "surfrout_border", n, 10, 25.0, [&](long, long c) { return 100.0 + 0.5 * (n - c); },
        [&](long, long c) { return c <= n / 2 ? 1.0 : 2.0; }, [&](long, long c) { return c == n; });
    s.lines[3] = std::to_string(method) + "  method";
    auto module = s.build(1);
    module->followBorderInflow();
    surfaceroutingclass::RunoffArrays baseflow(1, std::vector<double>(3, 0.0));
    std::vector<double> constants = {0.0, 60.0, 60.0};
    ASSERT_EQ(startRouting(*module, baseflow, constants), 0);
    Grid direct = s.grid("directflow");
    Grid land = s.grid("SurfStorSiltingUp");
    std::vector<double> given(3, 0.0), held(3, 0.0);
    module->startStep(0, 0, 1, 6, 2021);
    for (long r = 1; r <= 10; ++r)
      for (long c = 1; c <= n; ++c) {
        direct[r][c] = c <= n / 2 ? 30.0 : 0.0;
        given[c <= n / 2 ? 1 : 2] += direct[r][c] * m3PerMm;
      }
    module->routeSubstep(0, 0, 1, 6, 2021);
    // Land cells pass no direct flow on, river cells keep no water.
    for (long r = 1; r <= 10; ++r)
      for (long c = 1; c <= n; ++c)
        held[c <= n / 2 ? 1 : 2] += (land[r][c] + direct[r][c]) * m3PerMm;
    module->endStep();
    const std::vector<double>& crossed = module->borderInflow();
    EXPECT_LT(crossed[1], -0.1 * given[1]);
    for (size_t z : {1u, 2u}) EXPECT_NEAR(crossed[z], held[z] - given[z], 1e-9 * given[1]) << z;
    module->teardown(false);
  }
}
