// River cells of the unsaturated zone on the fixture's catchment: what
// they take from their subbasin's record and in which order, what they give
// to the baseflow, lakes that hold water, links to no subbasin, and results
// that do not depend on the number of threads.

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "tests/soil/column_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

constexpr size_t interactionEntry = 2;
constexpr size_t pondEntry = 3;
constexpr double cellArea = 1e4; // m^2

// The fixture's catchment (table 0.75 m deep, 100 m cells) with a river 5 m
// wide and a leakage factor of 1e-6 / s: row 1 is 0.5 m deep, above the
// table, and linked to subbasin 1; row 2 is 0.9 m deep, below the table.
struct RiverCatchment {
  explicit RiverCatchment(const std::string& name,
                          const std::function<void(RiverCatchment&)>& edit = nullptr,
                          const std::string& extra = "")
      : setup(name, "", {siltLoam(4, 0.25, macropores)}), uses(2), cd(setup.directory) {
    uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
    setup.base.context.landuseTable = &uses;
    lines = setup.lines;
    lines[interactionEntry] = "1  interaction";
    rain = uniform(0.0);
    depth = {0.5, 0.5, 0.5, 0.5, 0.9, 0.9, 0.9, 0.9, nodata, nodata, nodata, nodata};
    links = {1, 1, 1, 1, nodata, nodata, nodata, nodata, nodata, nodata, nodata, nodata};
    if (edit) edit(*this);
    setup.base.addGrid("precipitation", rain);
    setup.base.addGrid("river_depth", depth);
    setup.base.addGrid("river_width", uniform(5.0));
    setup.base.addGrid("kolmation", uniform(1e-6));
    setup.base.addGrid("river_links", links);
    for (auto& [grid, values] : extraGrids) setup.base.addGrid(grid, values);
    int code = 0;
    module = setup.build(lines, code, extra);
    EXPECT_EQ(code, 0) << log();
    if (!module) return;
    module->setSubsteps(substeps);
    std::vector<TracerRecord> table(tracers.size() + 1);
    std::copy(tracers.begin(), tracers.end(), table.begin() + 1);
    initCode = -1;
    module->initTracers(initCode, static_cast<int>(tracers.size()), table, nullptr, 0);
    EXPECT_EQ(initCode, expectedInitCode) << log();
  }
  // One hourly step of every sub-step; `between` runs after each.
  void step(int hour, const std::function<void(int)>& between = nullptr) {
    module->readGroundwaterHeads(2020, 6, 1, hour, 0);
    for (unsigned s = 1; s <= substeps; ++s) {
      module->computeTimeStep(0, hour, 1, 6, 2020);
      if (between) between(static_cast<int>(s));
    }
    module->computeMaxPumping();
    module->concentrateRunoff(0, hour, 1, 6, 2020);
  }
  ReinfiltrationRecord& record(int subbasin) {
    return module->getReinfiltrationRecords()[subbasin];
  }
  // Rate a cell took from its river in the last sub-step (m^3/s).
  double taken(long r, long c) const {
    return setup.grid("river_infiltration")[r][c] / 1000.0 * cellArea / (3600.0 / substeps);
  }
  std::string log() const { return setup.base.log.console.str(); }

  // Macropores down to 0.4 m.
  static constexpr const char* macropores =
      "PMacroThresh = 1e-7; MacroCapacity = 2e-6; MacroDepth = 0.4; CapacityRedu = 0.5;";
  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  std::vector<std::string> lines;
  std::vector<double> rain, depth, links;
  std::vector<std::pair<std::string, std::vector<double>>> extraGrids;
  std::vector<TracerRecord> tracers;
  unsigned substeps = 1;
  // The exit code of the set-up of the rivers and tracers.
  int initCode = 0;
  int expectedInitCode = 0;
  std::unique_ptr<TestUnsatzon> module;
};

} // namespace

// The river of row 1, 1 m deep over its bed, would lose about
// 1e-6 (99.5 + 1 - 99.25) 5 * 100 = 6.25e-4 m^3/s to each of its four
// cells. The record offers its flow per sub-step, but never more than the
// water its channel holds: the cells share the offer by what each would
// take, four equal parts where it is short, and each takes what it would
// where it is not. What routing is told to subtract is the mean take of
// the step.
TEST(UnsatzonRivers, CellsShareWhatTheRecordOffers) {
  const double full = 6.25e-4;
  const double hour = 3600.0;
  const struct {
    const char* what;
    double flow; // m^3/s
    double held; // m^3
    double each; // m^3/s a cell takes in a sub-step
  } cases[] = {
      {"the flow is short", 2.5 * full * 2, 1e9, 2.5 * full / 4},
      {"the channel holds little", 1.0, 2.0 * full * hour, full / 4},
      {"the channel holds nothing", 1.0, 0.0, 0.0},
      {"enough of both", 10.0 * full * 2, 10.0 * full * 2 * hour, full},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    RiverCatchment rig("unsatzon_river_share", [](RiverCatchment& r) { r.substeps = 2; });
    ASSERT_NE(rig.module, nullptr);
    rig.record(1).flowm3s = k.flow;
    rig.record(1).speed = k.flow / 5.0; // 1 m of water
    rig.record(1).held = k.held;
    double sum = 0.0;
    rig.step(0, [&](int) {
      for (long c = 1; c <= 4; ++c) {
        EXPECT_NEAR(rig.taken(1, c), k.each, 0.01 * full) << c;
        sum += rig.taken(1, c);
      }
    });
    EXPECT_LE(sum / 2, std::min(k.flow, k.held / hour) / 2 * (1.0 + 1e-12));
    EXPECT_NEAR(rig.record(1).withdrawal, sum / 2, 1e-12 * sum + 1e-30);
    EXPECT_EQ(rig.record(1).accumulator, 0.0);
    for (int s = 2; s <= 8; ++s) EXPECT_EQ(rig.record(s).withdrawal, 0.0) << s;
  }
}

// Without the groundwater model the water row 2 gives its river,
// 5 * 1e-6 * (99.25 - 99.1) / 100 m/s, joins the baseflow of its
// subbasins and their total runoff.
TEST(UnsatzonRivers, ExfiltrationJoinsTheBaseflow) {
  RiverCatchment rig("unsatzon_river_baseflow");
  ASSERT_NE(rig.module, nullptr);
  rig.step(0);
  const Grid out = rig.setup.grid("river_exfiltration");
  const Grid baseflow = rig.setup.grid("baseflow");
  const auto& QBb = *rig.module->getQBb();
  for (long c = 1; c <= 4; ++c) {
    SCOPED_TRACE("column " + std::to_string(c));
    EXPECT_NEAR(out[2][c], 7.5e-9 * 3.6e6, 1e-12);
    EXPECT_EQ(out[1][c], 0.0);
    const size_t subbasin = static_cast<size_t>(4 + c);
    if (subbasin == 8) continue; // shared with row 3
    EXPECT_NEAR(QBb[0][subbasin], baseflow[2][c] * 3.6e6 + out[2][c], 1e-12);
  }
  const auto& Qg = *rig.module->getQg();
  EXPECT_GE(Qg[0][5], QBb[0][5]);
  EXPECT_GT(QBb[0][5], 0.0);
}

// Under a lake of the lake model that holds 1 mm of water or more the river
// exchanges nothing; with the lake model's flow control above 1 no river
// does.
TEST(UnsatzonRivers, FullLakesAndLakeControlStopTheExchange) {
  struct Case {
    const char* name;
    int lakeFlow;
    double ponding;
    bool exchanges;
  };
  const Case cases[] = {{"lake below 1 mm", 1, 0.5, true},
                        {"lake of 1 mm", 1, 1.0, false},
                        {"lake control 2", 2, 0.0, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    RiverCatchment rig(
        std::string("unsatzon_river_lake_") + std::to_string(&k - cases),
        [](RiverCatchment& r) {
          r.lines[pondEntry] = "1  pond";
          r.extraGrids = {
              {"max_ponding_storage", uniform(0.01)},
              {"lake_codes",
               {-9999, -9999, -9999, -9999, 3, -9999, -9999, -9999, -9999, -9999, nodata, nodata}}};
        },
        "[lake_model]\n" + std::to_string(k.lakeFlow) + "  flow control\n1  method\n");
    ASSERT_NE(rig.module, nullptr);
    rig.setup.grid("ponding_storage")[2][1] = k.ponding;
    rig.step(0);
    const Grid out = rig.setup.grid("river_exfiltration");
    EXPECT_EQ(out[2][1] > 0.0, k.exchanges);
    EXPECT_EQ(out[2][2] > 0.0, k.lakeFlow == 1);
  }
}

// A cell linked to a code that names no subbasin of the catchment ends the
// set-up with 199 and the text that names the code and the first such cell
// in row order, with either interaction and any number of threads.
TEST(UnsatzonRivers, ALinkToNoSubbasinEndsTheSetUp) {
  for (const char* interaction : {"1", "2"})
    for (int threads : {1, 4}) {
      SCOPED_TRACE(std::string("interaction ") + interaction + ", " + std::to_string(threads) +
                   " threads");
      omp_set_num_threads(threads);
      RiverCatchment rig(std::string("unsatzon_river_link_") + interaction +
                             std::to_string(threads),
                         [&](RiverCatchment& r) {
                           r.lines[interactionEntry] = interaction;
                           r.links[6] = r.links[7] = 9;
                           r.expectedInitCode = 199;
                         });
      ASSERT_NE(rig.module, nullptr);
      const std::string expected =
          "\n\n -------- error! ---------------------------------------------\n\nThere is a "
          "river link \"9\" from the river link grid\nwhich is not valid for the current routing "
          "structure -> there is no routing \ndescription for a river with code 9\nPlease check "
          "your River link grid if there are cells defined as routing link 9 and replace those "
          "values by nodata (-9999).\nThe first such cell lies at row 2, column 3 of "
          "\"river_links\"";
      EXPECT_NE(rig.log().find(expected), std::string::npos) << rig.log();
      // Two cells, one entry.
      const std::string log = rig.log();
      EXPECT_EQ(log.find("There is a river link"), log.rfind("There is a river link"));
    }
  omp_set_num_threads(1);
}

// Rivers that give and take (or none), macropores, rain and two tracers,
// also with heat flow in frost and thaw: every grid, store and record comes
// out the same on one thread and on four.
TEST(UnsatzonRivers, ResultsDoNotDependOnTheThreads) {
  for (const auto& [interaction, heat] : {std::pair{"0", false}, {"1", false}, {"1", true}}) {
    SCOPED_TRACE(std::string("interaction ") + interaction + (heat ? " with heat" : ""));
    std::vector<double> first;
    for (int threads : {1, 4}) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      omp_set_num_threads(threads);
      RiverCatchment rig(
          "unsatzon_river_threads_" + std::to_string(threads) + interaction + (heat ? "h" : ""),
          [&](RiverCatchment& r) {
            r.lines[interactionEntry] = interaction;
            r.rain = {2, 9, 5, 1, 8, 3, 0, 12, 4, 6, -9999, -9999};
            r.links = {1, 1, 2, 1, 5, 5, 7, 7, nodata, nodata, nodata, nodata};
            r.extraGrids = {
                {"concflux_tracer_1_input", uniform(3.0)},
                {"concflux_tracer_2_input", uniform(0.5)},
                {"temperature", {-12, -6, 3, -9, -15, 4, -3, -20, 2, -8, -9999, -9999}}};
            r.tracers.resize(2);
            r.tracers[0].name = "chl";
            r.tracers[1].name = "tri";
            r.tracers[1].radioactive = 1;
            r.tracers[1].halfTime = 2.0;
          },
          heat ? heatSection(12, ".") : "");
      ASSERT_NE(rig.module, nullptr);
      std::vector<double> values;
      for (int hour = 0; hour < 6; ++hour) {
        for (int s = 1; s <= 2; ++s) {
          rig.record(s).flowm3s = 5e-4 * hour;
          rig.record(s).held = 1.0 * hour;
          rig.record(s).speed = 0.4;
          rig.record(s).flow_mm[1] = 7.0;
        }
        rig.step(hour);
        values.push_back(rig.record(1).withdrawal);
        values.push_back(rig.record(2).withdrawal);
        for (const char* name :
             {"directflow", "macropore_infiltration", "_CONC_QD_1_", "_CONC_QI_2_"})
          for (long r = 1; r <= 3; ++r)
            for (long c = 1; c <= 4; ++c) values.push_back(rig.setup.grid(name)[r][c]);
        std::vector<const char*> stacks = {"theta", "concstor_tracer_1_unsatzon_model",
                                           "concstor_tracer_2_unsatzon_model"};
        if (heat) stacks.push_back("Soil_Temperature_Stack");
        for (const char* name : stacks)
          for (long r = 1; r <= 3; ++r)
            for (long c = 1; c <= 4; ++c)
              for (int k = 0; k <= 4; ++k) values.push_back(rig.setup.stack(name)[r][c][k]);
        for (size_t k = 0; k <= 2; ++k)
          values.insert(values.end(), (*rig.module->getQg())[k].begin(),
                        (*rig.module->getQg())[k].end());
      }
      if (first.empty()) {
        first = values;
        continue;
      }
      ASSERT_EQ(values.size(), first.size());
      for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i], first[i]) << i;
    }
  }
  omp_set_num_threads(1);
}
