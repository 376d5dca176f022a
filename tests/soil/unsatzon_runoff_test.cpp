// Runoff concentration, statistics and the step operations of the
// unsaturated zone on the fixture's catchment.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "tests/soil/column_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

// The line of the section that holds the text.
std::string& lineOf(std::vector<std::string>& lines, const std::string& text) {
  for (std::string& l : lines)
    if (l.find(text) != std::string::npos) return l;
  ADD_FAILURE() << "no line " << text;
  return lines[0];
}

// The fixture's catchment with a land use; `prepare` adds grids and
// changes lines before the module is built and its runoff started.
struct RunoffRig {
  explicit RunoffRig(const std::string& name,
                     const std::function<void(RunoffRig&)>& prepare = nullptr,
                     const std::vector<std::string>& soils = {siltLoam()})
      : setup(name, "", soils), uses(2), cd(setup.directory) {
    uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
    setup.base.context.landuseTable = &uses;
    setup.base.addGrid("precipitation", uniform(0.0));
    if (prepare) prepare(*this);
    module = setup.build(setup.lines, buildCode);
    if (module && started) startCode = startRunoff(*module);
  }
  // One step whose sub-step leaves the given direct runoff and interflow
  // (mm, by cell) without running the columns; returns Qg of the subbasin.
  // glaciers runs where the glacier step places its runoff.
  double step(int s, const std::vector<double>& direct, const std::vector<double>& inter = {},
              const std::function<void()>& glaciers = nullptr) {
    module->readGroundwaterHeads(2020, 6, 1, 0, 0);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        const size_t i = static_cast<size_t>((r - 1) * 4 + c - 1);
        setup.grid("directflow")[r][c] = i < direct.size() ? direct[i] : 0.0;
        setup.grid("interflow")[r][c] = i < inter.size() ? inter[i] : 0.0;
      }
    module->addStepStatistics();
    if (glaciers) glaciers();
    module->concentrateRunoff(0, 0, 1, 6, 2020);
    return (*module->getQg())[0][static_cast<size_t>(s)];
  }
  bool logged(const std::string& text) const {
    return setup.base.log.console.str().find(text) != std::string::npos;
  }
  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  bool started = true;
  int buildCode = 0;
  int startCode = -1;
  std::unique_ptr<TestUnsatzon> module;
};

// Zones 1 (row 1) and 2 (the rest) with flow times in seconds.
auto twoSubbasins(const std::vector<double>& seconds) {
  return [seconds](RunoffRig& rig) {
    rig.setup.base.addGrid("zonegrid_soilmodel", {1, 1, 1, 1, 2, 2, 2, 2, 2, 2, nodata, nodata});
    lineOf(rig.setup.lines, "subbasin codes") = "1 2  subbasin codes";
    lineOf(rig.setup.lines, "kelsqd") = "0 0  kelsqd";
    lineOf(rig.setup.lines, "kelsqi") = "0 0  kelsqi";
    if (!seconds.empty()) rig.setup.base.addGrid("flow_times", seconds);
  };
}

} // namespace

// 10 mm of direct runoff in one step leave a linear storage of 60 minutes
// as 10 (1 - 1/e) e^-(k-1); a storage of 0.06 minutes and the routing
// concentration of surface routing pass it through.
TEST(UnsatzonRunoff, LinearStoragesOfDirectRunoffAndInterflow) {
  const double e = std::exp(1.0);
  struct Case {
    const char* kelsqd;
    int routing;
    std::vector<double> out; // QDout per step
  } cases[] = {{"1 1", 0, {10 * (1 - 1 / e), 10 * (1 - 1 / e) / e, 10 * (1 - 1 / e) / (e * e)}},
               {"0 0", 0, {10, 0, 0}},
               {"1 1", 1, {10, 0, 0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kelsqd) + " routing " + std::to_string(c.routing));
    RunoffRig rig("unsatzon_storage", [&](RunoffRig& r) {
      lineOf(r.setup.lines, "kelsqd") = std::string(c.kelsqd) + "  kelsqd";
    });
    rig.module->setRoutingConcentration(c.routing);
    for (size_t k = 0; k < 3; ++k) {
      const double qg = rig.step(1, {k == 0 ? 10.0 : 0.0}, {k == 0 && c.routing ? 4.0 : 0.0});
      EXPECT_NEAR(rig.module->QDout[0][1], c.out[k], 1e-6) << "step " << k;
      if (c.routing) {
        EXPECT_EQ(qg, k == 0 ? 14.0 : 0.0);
      }
    }
  }
  EXPECT_NEAR(10 * (1 - 1 / e), 6.321206, 1e-6);
}

// Seconds become classes of whole steps, at least 1; a cell without a flow
// time, or a subbasin without a cell in the first class, ends the run.
TEST(UnsatzonRunoff, FlowTimeClassesAndTheirDistribution) {
  struct Case {
    std::vector<double> seconds;
    int code;
    std::string text; // of the FATAL entry, or in "modell_0.log" with code 0
  } cases[] = {
      {{3600, 3601, 0, 7200, 10, 10, 10, 10, 10, 10, nodata, nodata}, 0, "TG\t   1\t(  2\tZonen):\t0.500\t0.500\n"},
      {{3600, 3600, 3600, 7200, 1, 1, 1, 1, 1, 1, 0, 0}, 0, "TG\t   1\t(  2\tZonen):\t0.750\t0.250\n"},
      {{3600, nodata, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0}, 6,
       "\"flow_times\" (flow_times.asc): row 1, column 2 holds -9999"},
      {{1, 1, 1, 1, 3601, 3601, 3601, 3601, 3601, 3601, 0, 0}, 61,
       "in flow-travel-time grid: the first time zone of subbasin 2 has no cells!"},
      {{}, 0, "flow time distribution will not be calculated since no flow time grid was provided\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RunoffRig rig("unsatzon_flow_times", twoSubbasins(c.seconds));
    EXPECT_EQ(rig.startCode, c.code);
    if (c.code != 0) {
      EXPECT_TRUE(rig.logged(c.text)) << rig.setup.base.log.console.str();
      continue;
    }
    EXPECT_NE(readFile("modell_0.log").find(c.text), std::string::npos) << readFile("modell_0.log");
    if (c.seconds.empty()) continue;
    const Grid classes = rig.setup.grid("flow_times");
    for (long col = 1; col <= 4; ++col)
      EXPECT_EQ(classes[1][col], c.seconds[col - 1] > 3600 ? 2.0 : 1.0) << col;
  }
}

// Runoff made in class 3 reaches the outlet two steps after runoff made in
// class 1 in the same step.
TEST(UnsatzonRunoff, TimeAreaDelaysEachClass) {
  RunoffRig rig("unsatzon_time_area",
                twoSubbasins({3600, 10800, 3600, 3600, 1, 1, 1, 1, 1, 1, 0, 0}));
  std::vector<double> qg;
  for (int k = 0; k < 4; ++k) qg.push_back(rig.step(1, k == 0 ? std::vector<double>{8, 4} : std::vector<double>{}));
  // Subbasin 1 has 4 cells.
  EXPECT_EQ(qg, (std::vector<double>{2, 0, 1, 0}));
}

// What leaves the cells as direct runoff, interflow and baseflow reaches the
// outlets, save what is still on its way at the end.
TEST(UnsatzonRunoff, SubbasinsConserveTheCellRunoff) {
  const std::vector<double> rain = {20, 0, 15, 30, 8, 40, 0, 12, 25, 6, 0, 0};
  RunoffRig rig("unsatzon_conservation", [&](RunoffRig& r) {
    twoSubbasins({3600, 7200, 3600, 7200, 7200, 1, 1, 7200, 1, 1, 0, 0})(r);
    lineOf(r.setup.lines, "QB-Red") = "1 10  QB-Red";
  });
  Grid precipitation = rig.setup.grid("precipitation");
  const Grid classes = rig.setup.grid("flow_times");
  double cells = 0.0, outlets = 0.0, pending = 0.0;
  for (int step = 0; step < 8; ++step) {
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) precipitation[r][c] = step < 4 ? rain[(r - 1) * 4 + c - 1] : 0.0;
    rig.module->readGroundwaterHeads(2020, 6, 1, step, 0);
    ASSERT_EQ(rig.module->computeTimeStep(0, step, 1, 6, 2020), 0);
    rig.module->concentrateRunoff(0, step, 1, 6, 2020);
    pending = 0.0;
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        if (r == 3 && c > 2) continue;
        auto g = [&](const char* name) { return rig.setup.grid(name)[r][c]; };
        const double quick = g("directflow") + g("interflow");
        cells += quick + g("baseflow") * 3600.0 * 1000.0;
        if (classes[r][c] == 2.0) pending += quick;
      }
    const auto& qg = (*rig.module->getQg())[0];
    outlets += qg[1] * 4 + qg[2] * 6;
  }
  EXPECT_GT(cells, 10.0);
  EXPECT_NEAR(outlets, cells - pending, 1e-9 * cells);
}

// The glaciated share of a cell adds zeros with its weight: fractions 0.25
// and 0 give 0.875 of the value, 1.3 counts as 1 and -0.2 as 0; a cell of
// another process adds nothing.
TEST(UnsatzonRunoff, GlacierSharesWeightEveryStatistic) {
  const double v = 4.0;
  RunoffRig rig("unsatzon_glacier", [](RunoffRig& r) {
    r.setup.base.addGrid("zonegrid_soilmodel", {1, 1, 2, 2, 3, 3, 3, 3, 3, 3, nodata, nodata});
    r.setup.base.addGrid("ice_firn", {0.25, 0, 1.3, -0.2, 0, 0, 0, 0, 0, 0, 0, 0});
    r.setup.base.addGrid("MPIRegions", {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    lineOf(r.setup.lines, "subbasin codes") = "1 3  subbasin codes";
    lineOf(r.setup.lines, "kelsqd") = "0 0  kelsqd";
    lineOf(r.setup.lines, "kelsqi") = "0 0  kelsqi";
    for (std::string& l : r.setup.lines)
      if (l.find(".stat 0") != std::string::npos) l.replace(l.find(".stat 0"), 7, ".stat 2001");
  });
  for (const char* name : {"SB_1_grid", "SB_2_grid", "ROOTgrid", "infiltration_excess",
                           "groundwater_recharge", "macropore_infiltration", "total_infiltration",
                           "groundwater_distance", "baseflow"}) {
    Grid g = rig.setup.grid(name);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) g[r][c] = std::string(name) == "baseflow" ? v / 3.6e6 : v;
    g[2][1] = 100 * g[2][1]; // another process's cell
  }
  // The snow model's glacier takes the water of the covered cell.
  rig.module->setGlacierTakesWater(true);
  rig.step(1, std::vector<double>(12, v), std::vector<double>(12, v));
  const double expected[] = {0, 0.875 * v, 0.5 * v, v};
  int checked = 0;
  for (int k = 0; k < unsatStatisticCount; ++k) {
    const auto& s = rig.module->statistics[k];
    if (!s.statistic || !s.statistic->isActive()) continue;
    ++checked;
    // The total runoff sums direct runoff, interflow and baseflow.
    const double parts = k == statQg ? 3.0 : 1.0;
    for (size_t zone = 1; zone <= 3; ++zone)
      EXPECT_NEAR(s.records[zone].valueSum / s.records[zone].effectiveWeight,
                  parts * expected[zone], 1e-12)
          << s.statistic->getFileName() << " zone " << zone;
  }
  EXPECT_EQ(checked, 12);
  for (size_t zone = 1; zone <= 3; ++zone)
    EXPECT_NEAR((*rig.module->getQD())[0][zone], expected[zone], 1e-12) << zone;
}

// The glacier step places its runoff into Qg after the step began and
// before the soil's runoff: a glaciated subbasin adds to it, one without
// glacier replaces what lies there.
TEST(UnsatzonRunoff, AddsTheSoilRunoffToTheGlacierRunoff) {
  for (const bool dynamic : {true, false}) {
    SCOPED_TRACE(dynamic ? "glaciers of mass balance" : "static glaciers, 2 = firn");
    auto run = [dynamic](double placed) {
      RunoffRig rig("unsatzon_glacier_runoff_" + std::to_string(dynamic * 2 + (placed > 0.0)),
                    [dynamic](RunoffRig& r) {
                      twoSubbasins({})(r);
                      const std::vector<double> glacier = {dynamic ? 0.5 : 2.0, 0.5, 0, 0, 0, 0,
                                                           0, 0, 0, 0, 0, 0};
                      if (!dynamic) {
                        r.setup.base.addGrid("ice_firn", glacier);
                        return;
                      }
                      r.setup.base.addGrid("GlacierizedCells", glacier);
                      r.setup.base.addGrid("GlacierMassBalance", uniform(0.0));
                    });
      const std::vector<double> direct(12, 3.0);
      rig.step(1, direct, direct, [&] {
        for (size_t s = 1; s <= 2; ++s) (*rig.module->getQg())[0][s] = placed;
      });
      return std::vector<double>{(*rig.module->getQg())[0][1], (*rig.module->getQg())[0][2]};
    };
    const std::vector<double> soil = run(0.0);
    const std::vector<double> both = run(7.0);
    EXPECT_GT(soil[0], 0.0);
    EXPECT_NEAR(both[0], soil[0] + 7.0, 1e-12);
    EXPECT_NEAR(both[1], soil[1], 1e-12);
  }
}

// "Max_Pumping" gives what the saturated layers above the deepest hold
// above field capacity: layers 3 and 4 of five of 0.5 m of the silt loam,
// 2 * 0.5 m * (0.45 - 0.23731) = 212.69 mm; nothing with the table in
// layer 5.
TEST(UnsatzonRunoff, MaxPumpingDrainsTheSaturatedLayers) {
  IrrigationTable irrigation(2);
  irrigation[1].method = irrigationBySuction;
  irrigation[1].origin = irrigationFromGroundwater;
  irrigation[1].psiDry = 3.0;
  irrigation[1].psiWet = 1.0;
  RunoffRig rig(
      "unsatzon_pumping",
      [&](RunoffRig& r) {
        r.setup.base.context.irrigationTable = &irrigation;
        r.setup.base.addGrid("irrigation_codes", uniform(1.0));
      },
      {siltLoam(5, 0.5)});
  rig.setup.grid("groundwater_level")[1][1] = 3;
  rig.setup.grid("groundwater_level")[1][2] = 5;
  rig.module->computeMaxPumping();
  const Grid pumping = rig.setup.grid("Max_Pumping");
  EXPECT_NEAR(pumping[1][1], 212.69, 0.2127);
  EXPECT_EQ(pumping[1][2], 0.0);
  EXPECT_EQ(pumping[3][4], nodata);
}

// Every follower cell of a response unit equals its master after each step.
TEST(UnsatzonRunoff, ResponseUnitsCopyTheirMasters) {
  const std::vector<HRUMasterCell> masters = {{1, 1}, {2, 3}};
  RunoffRig rig("unsatzon_hru", [&](RunoffRig& r) {
    r.setup.base.context.hruFlag = 1;
    r.setup.base.context.hruMasterCells = &masters;
    r.setup.base.addGrid("HydrologicResponseUnits", {0, 0, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0});
    r.setup.base.addGrid("MasterHydrologicResponseUnits",
                         {0, nodata, nodata, nodata, nodata, nodata, 1, nodata, nodata, nodata,
                          nodata, nodata});
    // The copies find the process of each master cell.
    r.setup.base.addGrid("MPIRegions", std::vector<double>(12, 0.0));
    Grid rain = r.setup.grid("precipitation");
    for (long c = 1; c <= 4; ++c) rain[1][c] = rain[2][c] = 5.0 * c;
  });
  for (int step = 0; step < 2; ++step) {
    ASSERT_EQ(rig.module->computeTimeStep(0, step, 1, 6, 2020), 0);
    for (const GridRegistryEntry& e : rig.setup.base.registry) {
      if (!e.hasName || (!e.grid && !e.stack)) continue;
      const std::string& n = e.name;
      const bool copied = n == "theta" || n == "hydraulic_heads" || n == "q_down" ||
                          n == "directflow" || n == "interflow" || n == "baseflow" ||
                          n == "groundwater_distance" || n == "SB_2_grid" || n == "Balance" ||
                          n == "real_transpiration1" || n == "groundwater_recharge";
      if (!copied) continue;
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c) {
          if (r == 3 && c > 2) continue;
          const HRUMasterCell& m = masters[static_cast<size_t>(rig.setup.grid("HydrologicResponseUnits")[r][c])];
          for (int k = 0; k <= (e.stack ? 4 : 0); ++k)
            EXPECT_EQ(e.stack ? e.stack[r][c][k] : e.grid[r][c],
                      e.stack ? e.stack[m.row][m.column][k] : e.grid[m.row][m.column])
                << n << " " << r << " " << c << " " << k;
        }
    }
  }
  EXPECT_NE(rig.setup.grid("directflow")[1][1], rig.setup.grid("directflow")[2][3]);
}

// Layers of 1 m with theta_s 0.4 at 0.3 and the table 1.9 m deep move to the
// external table; "Balance" is the change of the column's water.
TEST(UnsatzonRunoff, ExternalTableFillsOrDrainsTheLayers) {
  // Field capacity: 0.05 + 0.35 / (1 + (2 * 3.45)^1.41)^(1 - 1 / 1.41).
  const double capacity = 0.05 + 0.35 / std::pow(1 + std::pow(6.9, 1.41), 1 - 1 / 1.41);
  struct Case {
    double depth; // of the external table, m
    double theta2, theta3;
    double balance; // mm
    double level;
  } cases[] = {{1.9, 0.3, 0.3, 0.0, 2},      // equal tables
               {1.4, 0.35, 0.3, 50.0, 2},    // a rise of 0.5 m inside the layer
               {0.5, 0.4, 0.3, 150.0, 2 - 1}, // layer 2 fills, layer 1 half of its deficit
               // A fall below the column: layer 2 gives 0.1 m of its drainable
               // pore space, layer 3 only what it holds above field capacity.
               {10.0, 0.3 - (0.4 - capacity) * 0.1, capacity,
                -((0.4 - capacity) * 100 + (0.3 - capacity) * 1000), 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.depth);
    RunoffRig rig("unsatzon_external_table", nullptr,
                  {"method = MultipleHorizons; layers = 3; thickness = 1 1 1; ksat = 1e-6 1e-6 "
                   "1e-6; theta_sat = 0.4 0.4 0.4; theta_res = 0.05 0.05 0.05; alpha = 2 2 2; "
                   "Par_n = 1.41 1.41 1.41;}"});
    Stack theta = rig.setup.stack("theta");
    for (int k = 1; k <= 3; ++k) theta[1][1][k] = 0.3;
    rig.setup.grid("groundwater_level")[1][1] = 2;
    rig.setup.grid("groundwater_distance")[1][1] = -1.9;
    Grid external = rig.setup.grid("GWTableExtern");
    for (long col = 1; col <= 4; ++col) external[1][col] = nodata;
    external[1][1] = 100.0 - c.depth;
    rig.module->readGwStorageCoefficients();
    const double after = (theta[1][1][1] + theta[1][1][2] + theta[1][1][3]) * 1000.0;
    const double balance = rig.setup.grid("Balance")[1][1];
    EXPECT_NEAR(balance, after - 900.0, 1e-9);
    // Field capacity comes from the soil's table, within its accuracy.
    const double tolerance = c.depth > 5.0 ? 2e-4 : 1e-12;
    EXPECT_NEAR(balance, c.balance, tolerance * 1000.0);
    EXPECT_NEAR(theta[1][1][2], c.theta2, tolerance);
    EXPECT_NEAR(theta[1][1][3], c.theta3, tolerance);
    EXPECT_EQ(rig.setup.grid("groundwater_level")[1][1], c.level);
    EXPECT_NEAR(rig.setup.grid("groundwater_distance")[1][1], -std::min(c.depth, 3.0), 1e-12);
    EXPECT_EQ(rig.setup.grid("Balance")[1][2], 0.0); // no external table
  }
}

// The solver keeps an external table where it was put: after a step it has
// moved only by the water its layer gained or lost over the layer's
// drainable pores, (theta_g after - before) d / (theta_s - field capacity),
// and "Balance" still holds the water the move added, with what the step's
// bounds add.
TEST(UnsatzonRunoff, ExternalTableStaysWhereItIsPut) {
  const double capacity = 0.05 + 0.35 / std::pow(1 + std::pow(6.9, 1.41), 1 - 1 / 1.41);
  struct Case {
    double depth; // of the external table, m
    int layer;
    double balance; // mm
  } cases[] = {{1.4, 2, 50.0}, {0.5, 1, 150.0}, {2.4, 3, -(0.4 - capacity) * 500.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.depth);
    RunoffRig rig("unsatzon_external_table_kept", nullptr,
                  {"method = MultipleHorizons; layers = 3; thickness = 1 1 1; ksat = 1e-9 1e-9 "
                   "1e-9; theta_sat = 0.4 0.4 0.4; theta_res = 0.05 0.05 0.05; alpha = 2 2 2; "
                   "Par_n = 1.41 1.41 1.41;}"});
    Stack theta = rig.setup.stack("theta");
    // Saturated below the table layer.
    for (int k = 1; k <= 3; ++k) theta[1][1][k] = k == 3 ? 0.4 : 0.3;
    rig.setup.grid("groundwater_level")[1][1] = 2;
    rig.setup.grid("groundwater_distance")[1][1] = -1.9;
    Grid external = rig.setup.grid("GWTableExtern");
    for (long col = 1; col <= 4; ++col) external[1][col] = nodata;
    external[1][1] = 100.0 - c.depth;
    rig.module->readGwStorageCoefficients();
    ASSERT_EQ(rig.setup.grid("groundwater_level")[1][1], c.layer);
    const double before = theta[1][1][c.layer];
    rig.module->readGroundwaterHeads(2020, 6, 1, 0, 0);
    ASSERT_EQ(rig.module->computeTimeStep(0, 0, 1, 6, 2020), 0);
    const double moved = (theta[1][1][c.layer] - before) / (0.4 - capacity);
    EXPECT_NEAR(rig.setup.grid("groundwater_distance")[1][1], -c.depth + moved, 2e-4);
    EXPECT_NEAR(rig.setup.grid("Balance")[1][1], c.balance, 0.2);
  }
}

// Asking for runoff that does not exist ends the run with code 57; an
// inactive module has none to give and does nothing.
TEST(UnsatzonRunoff, AccessorsRefuseMissingRunoff) {
  using Accessor = unsatzonmodellklasse::RunoffArrays* (unsatzonmodellklasse::*)();
  const std::pair<const char*, Accessor> accessors[] = {{"Qg", &unsatzonmodellklasse::getQg},
                                                        {"QD", &unsatzonmodellklasse::getQD},
                                                        {"QI", &unsatzonmodellklasse::getQI},
                                                        {"QBb", &unsatzonmodellklasse::getQBb}};
  for (bool started : {false, true}) {
    RunoffRig rig("unsatzon_accessors", [&](RunoffRig& r) { r.started = started; });
    for (const auto& [name, get] : accessors) {
      if (started) (rig.module.get()->*get)()->at(0).clear();
      const std::string element = std::string(name) + (started ? "[0]" : "");
      int code = 0;
      try {
        (rig.module.get()->*get)();
      } catch (int thrown) {
        code = thrown;
      }
      EXPECT_EQ(code, 57) << element;
      EXPECT_TRUE(rig.logged(element + " not initialized (may be, tracer module not linked? -> "
                                       "programmers error!)"))
          << element;
    }
  }

  UnsatzonSetup off("unsatzon_inactive");
  writeFile(off.base.controlFile, "[unsatzon_model]\n0  flow control\n60  time step\n");
  auto registered = [&] {
    return std::count_if(off.base.registry.begin(), off.base.registry.end(),
                         [](const GridRegistryEntry& e) { return e.hasName; });
  };
  const long before = registered();
  int code = -1;
  auto module = constructSubmodel<TestUnsatzon>(code, off.base.context, &off.soils);
  ASSERT_EQ(code, 0);
  EXPECT_EQ(startRunoff(*module), 0);
  module->readGroundwaterHeads(2020, 6, 1, 0, 0);
  EXPECT_EQ(module->computeTimeStep(0, 0, 1, 6, 2020), 0);
  module->computeMaxPumping();
  module->concentrateRunoff(0, 0, 1, 6, 2020);
  module->readGwStorageCoefficients();
  module->flushStatistics();
  EXPECT_EQ(module->getQg(), nullptr);
  EXPECT_EQ(module->getQBb(), nullptr);
  EXPECT_EQ(registered(), before);
}
