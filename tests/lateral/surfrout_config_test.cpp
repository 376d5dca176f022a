#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/lateral/surfrout_fixture.h"

namespace {

double tilted(long, long c) { return 100.0 - 0.5 * c; }

const char* const ownGrids[] = {
    "SurfaceRoutingVelocity",   "SurfaceRoutingFluxes",       "SurfaceRoutingWeights",
    "SurfaceRoutingHead",       "SurfaceRoutingHeadOld",      "SurfaceRoutingRoughnessX",
    "SurfaceRoutingRoughnessY", "SurfaceRoutingManningCoeff", "Plancurvature",
    "SurfaceRoutingQIn",        "SurfaceRoutingQOut",         "CriticalShearStress"};

} // namespace

// The grids follow one another in the registry in their fixed order, start
// as the module needs them, and are all released by the teardown.
TEST(SurfaceRoutingConstruction, RegistersItsGridsInOrderAndReleasesThem) {
  SurfroutSetup s("surfrout_registry", 4, 3, 100.0, tilted,
                  [](long r, long c) { return r == 3 && c == 4 ? -9999.0 : 1.0; });
  s.landuse.push_back(s.landuse[1]);
  parseLanduseEntry(s.landuse[2], nullptr,
                    "FixDays = 100 200; LAI = 1 1; VCF = 1 1; RootDepth = 1 1; Albedo = 0.2 0.2; "
                    "Z0 = 1 1; RSC = 1 1; RSI = 1 1; RSE = 1 1; SR_K_ST = 25; }",
                    "test");
  s.base.context.landuseLayerCount = 2;
  s.addGrid("landuse2", [](long r, long) { return r == 1 ? 2.0 : -9999.0; });
  s.addGrid("vegetation_coverage_degree2", [](long, long) { return 1.0; });
  auto module = s.build();
  ASSERT_TRUE(module);
  const int first = s.index(ownGrids[0]);
  ASSERT_GT(first, 0);
  for (int k = 0; k < 12; ++k) EXPECT_EQ(s.index(ownGrids[k]), first + k) << ownGrids[k];
  EXPECT_GT(s.index("SurfStorSiltingUp"), 0);
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      SCOPED_TRACE("cell " + std::to_string(r) + " " + std::to_string(c));
      const bool own = s.inside(r, c);
      EXPECT_EQ(s.grid("SurfaceRoutingRoughnessX")[r][c], own ? 10.0 : 0.0);
      EXPECT_EQ(s.grid("CriticalShearStress")[r][c], own ? 0.9 : -9999.0);
      EXPECT_EQ(s.grid("SurfaceRoutingHead")[r][c], own ? 0.0 : -9999.0);
      EXPECT_EQ(s.stack("SurfaceRoutingWeights")[r][c][7], own ? 0.0 : -9999.0);
      // The highest layer with a code decides.
      EXPECT_EQ(s.grid("SurfaceRoutingManningCoeff")[r][c], !own ? 0.0 : r == 1 ? 25.0 : 10.0);
    }
  module->teardown(false);
  for (const char* name : ownGrids) EXPECT_EQ(s.index(name), 0) << name;
  EXPECT_EQ(s.index("SurfStorSiltingUp"), 0);
}

// A grid that exists already is used as it is and survives the teardown.
TEST(SurfaceRoutingConstruction, KeepsAnExistingCriticalShearStress) {
  SurfroutSetup s("surfrout_shear", 4, 3, 100.0, tilted);
  Grid shear = s.addGrid("CriticalShearStress", [](long r, long c) { return r + 0.1 * c; });
  auto module = s.build();
  ASSERT_TRUE(module);
  EXPECT_LT(module->getRegistryIndex(surfaceroutingclass::criticalShearSlot), 0);
  module->teardown(false);
  EXPECT_EQ(s.grid("CriticalShearStress"), shear);
  EXPECT_EQ(shear[2][3], 2.3);
}

// The inner-step limits become whole fractions of the sub-step T = 900 s.
TEST(SurfaceRoutingConstruction, SnapsTheInnerStepLimitsToFractionsOfTheSubstep) {
  struct Case {
    const char* minimum;
    const char* maximum;
    double snappedMinimum;
    double snappedMaximum;
    const char* info;
    const char* warning;
  };
  const Case cases[] = {
      {"7", "400", 7.03125, 450.0,
       "longest allowed subtimestep changed from 400 to 450. Must be integer fraction of "
       "time step in seconds.",
       "shortest allowed subtimestep changed from 7 to 7.03125. Must be integer "
       "fraction of time step in seconds."},
      {"900", "1000", 900.0, 1000.0, nullptr, nullptr},
      // 900 000 inner steps: below the limit of a million.
      {"0.001", "100", 0.001, 100.0, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SurfroutSetup s("surfrout_snap", 4, 3, 100.0, tilted);
    s.lines[16] = std::string(c.minimum) + "  minimum";
    s.lines[17] = std::string(c.maximum) + "  maximum";
    auto module = s.build(4);
    ASSERT_TRUE(module);
    EXPECT_DOUBLE_EQ(module->minSubTimeStep, c.snappedMinimum) << c.minimum;
    EXPECT_DOUBLE_EQ(module->maxSubTimeStep, c.snappedMaximum) << c.maximum;
    const std::string console = s.base.log.console.str();
    for (const char* line : {c.info, c.warning})
      if (line) {
        EXPECT_NE(console.find(line), std::string::npos) << console;
      }
    EXPECT_EQ(console.find("subtimestep changed") == std::string::npos, c.info == nullptr);
    module->teardown(false);
  }
}

// Routing-only runs and runs with response units leave the module off and
// the registry as it was; without line 21 the storage statistic writes
// nothing.
TEST(SurfaceRoutingConstruction, SwitchesOffOrLeavesTheStorageStatisticOut) {
  struct Case {
    const char* what;
    std::function<void(SurfroutSetup&)> change;
    int flowControl;
  };
  const Case cases[] = {
      {"routing only", [](SurfroutSetup& s) { s.base.context.routingOnly = true; }, 0},
      {"response units", [](SurfroutSetup& s) { s.base.context.hruFlag = 1; }, 0},
      {"no line 21", [](SurfroutSetup& s) { s.lines.resize(21); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SurfroutSetup s("surfrout_off", 4, 3, 100.0, tilted);
    c.change(s);
    auto module = s.build();
    ASSERT_TRUE(module);
    EXPECT_EQ(module->getFlowControl(), c.flowControl);
    EXPECT_EQ(s.index("SurfaceRoutingHead") > 0, c.flowControl != 0);
    if (c.flowControl == 0) {
      EXPECT_EQ(module->getQg(), nullptr);
      continue;
    }
    // Before the tracer set-up the runoff arrays do not exist.
    int code = 0;
    try {
      module->getQg();
    } catch (int thrown) {
      code = thrown;
    }
    EXPECT_EQ(code, 57);
    EXPECT_NE(s.base.log.console.str().find(
                  "Qg (surface routing) not initialized (may be, tracer module not linked? -> "
                  "programmers error!)"),
              std::string::npos);
    EXPECT_EQ(module->statistics[4].code, 0);
    EXPECT_EQ(module->statistics[4].fileName, "");
    module->teardown(false);
  }
}

// Each failure of the construction ends with its code and says what.
TEST(SurfaceRoutingConstruction, FailuresEndWithTheirCodeAndMessage) {
  struct Case {
    const char* what;
    std::function<void(SurfroutSetup&)> change;
    int code;
    std::string message; // a piece of the log
  };
  const Case cases[] = {
      {"method 7", [](SurfroutSetup& s) { s.lines[3] = "7  method"; }, 10,
       "\n-----------------error------------\ninvalid method (7) read for "
       "SurfaceRoutingModel\n"},
      {"glacier grids",
       [](SurfroutSetup& s) { s.addGrid("GlacierCodes", [](long, long) { return 0.0; }); }, 2,
       "Surface routing module cannot be used when glacier model is active. Remove grids for "
       "glacier codes and glaciated cell fractions from the grid list"},
      {"a missing value", [](SurfroutSetup& s) { s.lines.resize(15); }, 17,
       "maximum iteration steps for velocity in "},
      {"shortest step 0", [](SurfroutSetup& s) { s.lines[16] = "0  minimum"; }, 10,
       "minimum sub time step 0 s, maximum sub time step 100 s"},
      {"shortest above longest", [](SurfroutSetup& s) { s.lines[16] = "200  minimum"; }, 10,
       "minimum sub time step 200 s, maximum sub time step 100 s"},
      {"longest step above a day", [](SurfroutSetup& s) { s.lines[17] = "1e9  maximum"; }, 10,
       "maximum sub time step 1e+09 s; both must be positive, the maximum at most 86400 s"},
      {"read setting -1", [](SurfroutSetup& s) { s.lines[20] = "-1  read storage"; }, 10,
       "section [SurfaceRoutingModel]: the value -1 of \"read control parameter for storage "
       "grids for \" must be 0 (cold start) or 1"},
      {"more than a million inner steps", [](SurfroutSetup& s) { s.lines[16] = "0.0008  minimum"; },
       10,
       "the minimum sub time step of 0.0008 s would split a sub-step of 900 s into up to "
       "1.125e+06 inner steps, more than 1e+06; write a minimum sub time step of at least "
       "0.0009 s"},
      {"no river width",
       [](SurfroutSetup& s) {
         s.base.registry[static_cast<size_t>(s.index("river_width"))].name = "other";
       },
       33, "river_width"},
      {"a cell without land use", [](SurfroutSetup& s) { s.grid("landuse1")[2][3] = -9999.0; }, 10,
       "the cell at row 2, column 3 has no land use"},
      {"a full registry",
       [](SurfroutSetup& s) {
         for (int k = 1; k < gridRegistryLimit; ++k) s.base.registry[k].hasFileName = true;
       },
       12, "no free grid anymore, allowed number of grids is 1000!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SurfroutSetup s("surfrout_failure", 4, 3, 100.0, tilted);
    c.change(s);
    int code = 0;
    auto module = s.build(code);
    EXPECT_EQ(code, c.code);
    EXPECT_FALSE(module);
    const std::string console = s.base.log.console.str();
    EXPECT_NE(console.find(c.message), std::string::npos) << console;
  }
}

// The tracer set-up needs the unsaturated zone's concentration grids and
// keeps silting-up's storage grid where there is one, also behind the
// unsaturated zone's stacks, which have no grid of their own.
TEST(SurfaceRoutingConstruction, TracersTakeTheConcentrationGridsOfOthers) {
  struct Case {
    const char* what;
    bool concentrations;
    bool siltingUp;
    bool behindStack;
    int code;
  };
  const Case cases[] = {{"no _CONC_QD_1_", false, false, false, 33},
                        {"own storage", true, false, false, 0},
                        {"silting-up's storage", true, true, false, 0},
                        {"silting-up's storage behind a stack", true, true, true, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SurfroutSetup s("surfrout_tracers", 4, 3, 100.0, tilted);
    if (c.concentrations)
      for (const char* g : {"_CONC_QD_1_", "_CONC_QI_1_"})
        s.addGrid(g, [](long, long) { return 0.0; });
    if (c.behindStack) registerTestGrid(s.base.registry, "theta", "theta.stack", nullptr, 1, 3);
    Grid silted = nullptr;
    if (c.siltingUp)
      silted = s.addGrid("concstor_tracer_1_SiltingUpModel", [](long, long) { return 0.0; });
    auto module = s.build();
    ASSERT_TRUE(module);
    std::vector<TracerRecord> table(2);
    table[1].name = "chloride";
    int code = -1;
    module->initTracers(code, 1, table, nullptr, 0);
    EXPECT_EQ(code, c.code);
    if (code == 0) {
      EXPECT_EQ(module->useSiltingUpTracerStorage, c.siltingUp);
      EXPECT_GT(s.index("concstor_tracer_1_SiltingUpModel"), 0);
      const auto named = std::count_if(
          s.base.registry.begin(), s.base.registry.end(), [](const GridRegistryEntry& e) {
            return e.hasName && e.name == "concstor_tracer_1_SiltingUpModel";
          });
      EXPECT_EQ(named, 1);
      if (silted) {
        EXPECT_EQ(s.grid("concstor_tracer_1_SiltingUpModel"), silted);
      }
      EXPECT_GT(s.index("concstor_tracer_1_SurfaceRoutingModel"), 0);
      ASSERT_EQ(module->Qg.size(), 2u);
      EXPECT_EQ(module->Qg[1].size(), 2u);
    }
    module->teardown(false);
    EXPECT_EQ(s.index("concstor_tracer_1_SurfaceRoutingModel"), 0);
    EXPECT_EQ(s.index("concstor_tracer_1_SiltingUpModel") > 0, c.siltingUp);
  }
}
