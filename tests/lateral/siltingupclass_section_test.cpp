#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/lateral/silting_fixture.h"
#include "tests/test_support.h"

namespace {

const char* const ownNames[] = {"SiltingUpDisposition", "RainPause", "KineticEnergy",
                                "TimeSinceLastSoilTillage", "DirectRunoffSiltingUp"};

int registryIndex(const SiltingSetup& s, const std::string& name) {
  for (size_t k = 1; k < s.base.registry.size(); ++k)
    if (s.base.registry[k].hasName && s.base.registry[k].name == name) return static_cast<int>(k);
  return 0;
}

SiltingSection withTail(const std::string& method, const std::string& tail) {
  SiltingSection s;
  s.method = method;
  s.tail = tail;
  return s;
}

} // namespace

TEST(SiltingSection, ReadsTheMethodAndItsParameters) {
  struct Case {
    SiltingSection section;
    int method;
    SiltingParameters parameters;
    size_t expressions;
  };
  const std::vector<Case> cases = {
      {withTail("", ""), 1, defaultSiltingParameters, 0},
      {withTail("1", "9\n9\n9"), 1, defaultSiltingParameters, 0},
      {withTail("2", "1\n2\n3\n4\n5\n6\n7\n8"), 2, {1, 2, 3, 4, 5, 6, 7, 8}, 0},
      {withTail("3", "SiltingUpExpressions { X=1; Y=2; Z=3; }"), 3, defaultSiltingParameters, 3}};
  for (const Case& c : cases) {
    SiltingSetup s("silting_method", c.section);
    auto m = s.build();
    ASSERT_TRUE(m) << s.base.log.console.str();
    EXPECT_EQ(m->getSiltingMethod(), c.method);
    EXPECT_EQ(m->getMethodTwoParameters(), c.parameters) << "method " << c.method;
    EXPECT_EQ(m->getSiltingExpressions().size(), c.expressions);
    EXPECT_EQ(m->getMinRainPause(), (std::vector<double>{0.0, 0.2, 0.2, 0.2}));
  }
}

TEST(SiltingSection, RegistersItsGridsAtConsecutiveEntries) {
  SiltingSetup s("silting_registry");
  auto m = s.build();
  ASSERT_TRUE(m);
  const int first = registryIndex(s, ownNames[0]);
  ASSERT_GT(first, 0);
  for (int g = 0; g < 5; ++g) {
    EXPECT_EQ(registryIndex(s, ownNames[g]), first + g) << ownNames[g];
    const Grid grid = s.grid(ownNames[g]);
    EXPECT_EQ(grid[1][1], 0.0);
    EXPECT_EQ(grid[3][4], -9999.0);
  }
  // No module before registers the surface storage: an empty one stands in.
  EXPECT_EQ(registryIndex(s, "SurfStorSiltingUp"), first - 1);
  EXPECT_EQ(s.grid("SurfStorSiltingUp")[2][2], 0.0);
  m->releaseModule();
  for (const char* name : ownNames) EXPECT_EQ(registryIndex(s, name), 0) << name;

  SiltingSetup standard("silting_standard_storage");
  const Grid given = standard.addZoneGrid("SurfStorSiltingUp", 3.0);
  auto kept = standard.build();
  ASSERT_TRUE(kept);
  EXPECT_EQ(standard.grid("SurfStorSiltingUp"), given);
}

TEST(SiltingSection, IsOffInRoutingOnlyMode) {
  SiltingSetup s("silting_routing_only");
  s.base.context.routingOnly = true;
  auto m = s.build();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->getFlowControl(), 0);
  for (const char* name : ownNames) EXPECT_EQ(registryIndex(s, name), 0) << name;
  EXPECT_EQ(registryIndex(s, "SurfStorSiltingUp"), 0);
}

TEST(SiltingSection, GivesTheSubbasinsOfAGroupTheValuesOfTheFirst) {
  SiltingSection section;
  section.table = "1 8  codes\n0.4 0.1  minimum rain pause\n";
  SiltingSetup s("silting_groups", section, {1, 2, 3, 4, 5, 6, 7, 8, 8, 8, 8, -9999});
  auto m = s.build();
  ASSERT_TRUE(m) << s.base.log.console.str();
  EXPECT_EQ(m->getMinRainPause(),
            (std::vector<double>{0.0, 0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.1}));
}

// Blocks of expressions; the split before the capacity follows the target V
// whatever its case, not a "V=" inside another name.
TEST(SiltingSection, ReadsTheExpressionBlock) {
  struct Case {
    std::string block;
    std::vector<std::string> expressions;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {"SiltingUpExpressions { X = 1; Y=2;\tZ=3; }", {"X=1", "Y=2", "Z=3"}, ""},
      {"SiltingUpExpressions\n\n{\nX=1;\nCV=2;\n v = 3; }", {"X=1", "CV=2", "v=3"}, ""},
      {"SiltingUpExpressions { X=1; Y=2; Z=4 }",
       {"X=1", "Y=2"},
       "WARNING: the text \"Z=4\" after the last \";\" of SiltingUpExpressions"}};
  for (const Case& c : cases) {
    SiltingSetup s("silting_block", withTail("3", c.block));
    auto m = s.build();
    ASSERT_TRUE(m) << s.base.log.console.str();
    EXPECT_EQ(m->getSiltingExpressions(), c.expressions) << c.block;
    if (!c.warning.empty()) {
      EXPECT_NE(s.base.log.console.str().find(c.warning.substr(9)), std::string::npos);
    }
  }
}

TEST(SiltingSection, ChoosesTheWaterInput) {
  struct Case {
    std::vector<std::string> grids;
    int interceptionFirst;
    std::string chosen; // empty: none, exit 33
  };
  const std::vector<Case> cases = {{{"snowcover_outflow", "throughfall0"}, 1, "snowcover_outflow"},
                                   {{"snowcover_outflow", "throughfall0"}, 0, "throughfall0"},
                                   {{}, 0, "precipitation"},
                                   {{}, 1, "precipitation"}};
  for (const Case& c : cases) {
    SiltingSetup s("silting_input");
    for (const std::string& name : c.grids) s.addZoneGrid(name, 0.0);
    auto m = s.build(c.interceptionFirst);
    ASSERT_TRUE(m);
    // Only the chosen grid loses the water above the capacity.
    const std::vector<std::string> names = {"snowcover_outflow", "throughfall0", "precipitation"};
    for (const std::string& name : names)
      if (s.grid(name)) s.grid(name)[1][1] = 500.0;
    m->step(0, 12, 30, 4, 2021);
    for (const std::string& name : names)
      if (s.grid(name)) {
        EXPECT_EQ(s.grid(name)[1][1] < 500.0, name == c.chosen) << name;
      }
  }
  SiltingSetup none("silting_no_input");
  none.base.registry[registryIndex(none, "precipitation")].name = "rain";
  EXPECT_FALSE(none.build());
  EXPECT_EQ(none.errorCode, 33);
}

// The tracer's input is the first of its flux grids there is; what enters
// with the water stays in the water left (the store its concentration) or
// leaves with the direct runoff, and a cell without runoff carries no flux.
TEST(SiltingSection, CarriesTracersWithTheRunoff) {
  TracerRecord tracer;
  tracer.name = "no3";
  tracer.maxConc = 1000.0;
  tracer.halfTime = -9999.0;
  tracer.path = "tr_";
  tracer.statExt = "stat";
  tracer.gridExt = "asc";
  tracer.statCode = 2001;
  std::vector<TracerRecord> table = {TracerRecord{}, tracer};
  SiltingSetup s("silting_tracer");
  s.addZoneGrid("concflux_tracer_1_input", 5.0);
  s.addZoneGrid("concflux_tracer_1_snow_model", 2.0);
  auto m = s.build();
  ASSERT_TRUE(m);
  int code = -1;
  m->initTracers(code, 1, table, s.statistics.data(), statisticTableEntries);
  ASSERT_EQ(code, 0) << s.base.log.console.str();
  s.input[1][1] = 50.0;
  s.input[1][2] = 2.0;
  m->step(0, 12, 30, 4, 2021);
  const Grid storage = s.grid("concstor_tracer_1_SiltingUpModel");
  const Grid flux = s.grid("concflux_tracer_1_SiltingUpModel");
  const Grid runoff = s.grid("DirectRunoffSiltingUp");
  EXPECT_GT(runoff[1][1], 0.0);
  EXPECT_NEAR(storage[1][1] * s.input[1][1] + flux[1][1] * runoff[1][1], 50.0 * 2.0, 1e-9);
  EXPECT_EQ(flux[1][2], 0.0);
  EXPECT_EQ(storage[1][2], 2.0);
  m->freeTracers();

  SiltingSetup none("silting_tracer_input");
  auto without = none.build();
  ASSERT_TRUE(without);
  without->initTracers(code, 1, table, none.statistics.data(), statisticTableEntries);
  EXPECT_EQ(code, 33);
}

// A warm start reads the four state grids from the directory of the
// initial states; the direct runoff starts at 0.
TEST(SiltingSection, ReadsItsStateGridsFromTheInitialStates) {
  SiltingSection section;
  section.readGrids = "1  read control parameter for storage grids for";
  SiltingSetup s("silting_readgrids", section);
  s.base.context.inputDirectory = s.base.log.directory + "/states/";
  std::filesystem::create_directories(s.base.context.inputDirectory);
  const char* const files[] = {"sdisp.asc", "rainpause.asc", "ekin.asc", "tsbb.asc"};
  for (int g = 0; g < 4; ++g)
    writeFile(s.base.context.inputDirectory + files[g],
              "ncols 4\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 100\nnodata_value -9999\n" +
                  std::to_string(g + 1) +
                  " 0.5 0.5 0.5\n0.5 0.5 0.5 0.5\n0.5 0.5 0.5 0.5\n");
  auto m = s.build();
  ASSERT_TRUE(m) << s.base.log.console.str();
  for (int g = 0; g < 4; ++g) {
    EXPECT_EQ(s.grid(ownNames[g])[1][1], g + 1.0) << ownNames[g];
    EXPECT_EQ(s.grid(ownNames[g])[3][4], -9999.0) << ownNames[g];
  }
  EXPECT_EQ(s.grid(ownNames[4])[1][1], 0.0);
}
