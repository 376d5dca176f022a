#include <gtest/gtest.h>

#include <filesystem>

#include "tests/test_model.h"
#include "tests/test_support.h"

TEST(GridRegistry, SplitsWriteCodesIntoDigits) {
  struct Case {
    long code;
    WriteCodeDigits digits;
  };
  for (const Case& c : std::vector<Case>{{2153, {3, 5, 1, 0, 2}},
                                         {408, {8, 0, 0, 0, 0}},
                                         {321, {1, 2, 1, 1, 0}},
                                         {12345, {5, 4, 1, 1, 2}},
                                         {0, {0, 0, 0, 0, 0}}}) {
    const WriteCodeDigits d = splitWriteCode(c.code);
    EXPECT_EQ(d.writeMode, c.digits.writeMode) << c.code;
    EXPECT_EQ(d.statMode, c.digits.statMode) << c.code;
    EXPECT_EQ(d.writeMin, c.digits.writeMin) << c.code;
    EXPECT_EQ(d.writeMax, c.digits.writeMax) << c.code;
    EXPECT_EQ(d.vegPeriodMode, c.digits.vegPeriodMode) << c.code;
  }
}

// The codes whose output waits for the end of a day, a month or a year.
TEST(GridRegistry, TellsWriteCodesThatWriteByPeriod) {
  struct Case {
    long code;
    bool byPeriod;
  };
  // Ones digits 4 to 7 write the grid by period, tens digits 2 to 4 and 6
  // to 8 its sum or mean; 9 is no mode.
  for (const Case& c : std::vector<Case>{{3, false},
                                         {4, true},
                                         {7, true},
                                         {8, false},
                                         {13, false},
                                         {23, true},
                                         {43, true},
                                         {53, false},
                                         {83, true},
                                         {93, false},
                                         {355, true}}) {
    const WriteCodeDigits d = splitWriteCode(c.code);
    GridRegistryEntry e;
    e.writeMode = d.writeMode;
    e.statMode = d.statMode;
    EXPECT_EQ(writesByPeriod(e), c.byPeriod) << c.code;
  }
}

TEST(GridRegistry, RegistrationAllocatesTheStatisticsGridsTheCodeAsksFor) {
  const std::string dir = makeTestDirectory("reg_stats");
  TestModule m(dir);
  m.setGrid(4, 3);
  Grid g = m.matrix(1, 3, 1, 4, 3);
  m.registerGrid(1, "out/temp.asc", g, nullptr, 0, "temperature", 2153, 1, 3);
  const GridRegistryEntry& e = m.getRegistry()[1];
  EXPECT_EQ(e.writeMode, 3);
  EXPECT_NE(e.meanGrid, nullptr);
  EXPECT_NE(e.minGrid, nullptr);
  EXPECT_EQ(e.maxGrid, nullptr);
  EXPECT_NE(e.vegPeriodGrid, nullptr);
  EXPECT_EQ(e.meanFileName, "out/temp.asc");
  EXPECT_EQ(e.firstFileName, "out/temp.asc");

  // Write mode 8 writes at once, which needs the decomposition grids.
  Grid regions = m.matrix(1, 3, 1, 4, 3);
  m.registerGrid(2, "", regions, nullptr, 0, "MPIRegions", 0, 1, 3);
  m.registerGrid(3, "", regions, nullptr, 0, "MPIHelper", 0, 1, 3);
  m.outputDirectory = dir + "/";
  m.setEndDate(2020, 12, 31, 24, 0);
  std::filesystem::create_directory(dir + "/out");
  m.registerGrid(1, "other.asc", g, nullptr, 0, "temperature", 408, 1, 3);
  EXPECT_TRUE(fileExists(dir + "/out/temp.asc.filled")) << "written under the first file name";
  EXPECT_EQ(e.meanGrid, nullptr);
  EXPECT_EQ(e.minGrid, nullptr);
  EXPECT_EQ(e.vegPeriodGrid, nullptr);
  EXPECT_EQ(e.fileName, "other.asc");
  EXPECT_EQ(e.firstFileName, "out/temp.asc") << "the first file name survives re-registration";
  m.unregisterGrid(1);
  m.free_matrix(g, 1, 3, 1, 4);
  m.free_matrix(regions, 1, 3, 1, 4);
}

TEST(GridRegistry, FindsGridsByNameAndStopsAtTheFirstGap) {
  const std::string dir = makeTestDirectory("reg_find");
  TestModule m(dir);
  m.setGrid(2, 2);
  Grid a = m.matrix(1, 2, 1, 2, 2);
  Stack s = m.three_d_matrix(1, 2, 1, 2, 3, 2);
  m.registerGrid(1, "zone.asc", a, nullptr, 0, "[zone_grid]", 0, 1, 2);
  m.registerGrid(2, "", a, nullptr, 0, "MPIRegions", 0, 1, 2);
  m.registerGrid(3, "soil.stack", nullptr, s, 3, "soil_moisture", 0, 1, 2);
  m.registerGrid(4, "t.asc", a, nullptr, 0, "temperature", 0, 1, 2);
  m.registerGrid(5, "ct.asc", a, nullptr, 0, "corr_temperature", 0, 1, 2);

  EXPECT_EQ(m.findGrid("MPIRegions"), 2) << "an empty file name still marks the entry as used";
  EXPECT_EQ(m.findGrid("temperature", 0), 0) << "flag 0 stops at the stack entry";
  EXPECT_EQ(m.findGrid("temperature", 1), 4);
  EXPECT_EQ(m.findGrid("soil_moisture", 1), 3);
  EXPECT_EQ(m.requireGrid("temperature"), 4);
  EXPECT_EQ(m.requireOneOf3Grids("corr_temperature", "temperature", "temperature"), 5);
  EXPECT_EQ(m.requireOneOf4Grids("x", "y", "temperature", "corr_temperature"), 4);
  EXPECT_EQ(m.firstFreeRegistryIndex(), 6);

  m.unregisterGrid(2);
  EXPECT_EQ(m.findGrid("temperature", 1), 0) << "searches end at a released entry";
  EXPECT_EQ(m.firstFreeRegistryIndex(), 2);
  EXPECT_EQ(exitCodeOf([&] { m.requireGrid("temperature"); }), 33);
  EXPECT_NE(
      m.console().find("temperature not found in memory,\nThese data are needed within testmodule"),
      std::string::npos);
  EXPECT_EQ(exitCodeOf([&] { m.requireOneOf3Grids("a", "b", "c"); }), 33);
  EXPECT_NE(m.console().find("Wether a, b or c \nwhere found in memory,"), std::string::npos);
  EXPECT_EQ(exitCodeOf([&] { m.requireOneOf4Grids("a", "b", "c", "d"); }), 33);
  EXPECT_NE(m.console().find("Wether a, b, c or d \nwhere found in memory,"), std::string::npos);

  m.free_matrix(a, 1, 2, 1, 2);
  m.free_three_d_matrix(s, 1, 2);
}

TEST(GridRegistry, RefusesTheThousandthEntry) {
  const std::string dir = makeTestDirectory("reg_full");
  TestModule m(dir);
  m.setGrid(1, 1);
  Grid g = m.matrix(1, 1, 1, 1, 1);
  for (int i = 1; i < 1000; ++i)
    m.registerGrid(m.firstFreeRegistryIndex(), "f", g, nullptr, 0, "g" + std::to_string(i), 0, 1,
                   1);
  EXPECT_EQ(m.firstFreeRegistryIndex(), 1000);
  EXPECT_EQ(exitCodeOf([&] {
              m.registerGrid(m.firstFreeRegistryIndex(), "f", g, nullptr, 0, "one too many", 0, 1,
                             1);
            }),
            12);
  EXPECT_NE(m.console().find("no free grid in memory,(max. 1000)!"), std::string::npos);
  EXPECT_EQ(m.findGrid("g999"), 999);
  m.free_matrix(g, 1, 1, 1, 1);
}

TEST(GridRegistry, RefusesANegativeWriteCode) {
  const std::string dir = makeTestDirectory("reg_negative_code");
  TestModule m(dir);
  m.setGrid(1, 1);
  Grid g = m.matrix(1, 1, 1, 1, 1);
  m.registerGrid(1, "zero.asc", g, nullptr, 0, "never written", 0, 1, 1);
  EXPECT_EQ(exitCodeOf([&] {
              m.registerGrid(2, "etp.asc", g, nullptr, 0, "pot_transpiration0", -1, 1, 1);
            }),
            17);
  EXPECT_NE(m.console().find("the write code -1 of the grid \"pot_transpiration0\" (etp.asc) is "
                             "negative; give 0 (never written)"),
            std::string::npos)
      << m.console();
  EXPECT_EQ(m.findGrid("pot_transpiration0"), 0);
  m.free_matrix(g, 1, 1, 1, 1);
}

TEST(GridRegistry, GridStatisticsSkipNodataAndNeedThreeValuesForADeviation) {
  const std::string dir = makeTestDirectory("reg_gstat");
  TestModule m(dir);
  double count, minimum, maximum, sum, mean, deviation;
  m.resetGridStatistics(-9999);
  m.addToGridStatistics(-9998.5, 1);
  m.addToGridStatistics(-9998, 1);
  m.getGridStatistics(count, minimum, maximum, sum, mean, deviation);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(mean, -9999);
  m.addToGridStatistics(2, 1);
  m.addToGridStatistics(4, 1);
  m.getGridStatistics(count, minimum, maximum, sum, mean, deviation);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(minimum, 2);
  EXPECT_EQ(maximum, 4);
  EXPECT_EQ(mean, 3);
  EXPECT_EQ(deviation, -9999);
  m.resetGridStatistics(-9999);
  for (int i = 0; i < 3; ++i) m.addToGridStatistics(5, 1);
  m.getGridStatistics(count, minimum, maximum, sum, mean, deviation);
  EXPECT_EQ(deviation, 0);
  m.addToGridStatistics(9, 1);
  m.getGridStatistics(count, minimum, maximum, sum, mean, deviation);
  EXPECT_DOUBLE_EQ(deviation, 2.0);
}

// With several processes a statistics grid holds the rows of the process's
// strip only, whatever rows its grid holds; one process keeps them all.
TEST(GridRegistry, StatisticsGridsHoldTheStripOfTheProcess) {
  struct Case {
    int processes;
    long stripFirst, stripLast; // rows of the process's cells
    long gridFirst, gridLast;   // rows of the registered grid
    long heldFirst, heldLast;
  };
  const std::string dir = makeTestDirectory("reg_stats_strip");
  for (const Case& c : std::vector<Case>{{1, 1, 8, 1, 8, 1, 8},
                                         {2, 5, 8, 1, 8, 5, 8},
                                         {3, 3, 5, 2, 6, 3, 5},
                                         {2, 1, 3, 1, 4, 1, 3}}) {
    TestModule m(dir);
    m.setGrid(4, 8, 0.0, 0.0, 1.0, -9999.0, c.stripFirst, c.stripLast);
    m.mpiSize = c.processes;
    Grid g = m.matrix(c.gridFirst, c.gridLast, 1, 4, 8);
    m.registerGrid(1, "t.asc", g, nullptr, 0, "t", 3350, c.gridFirst, c.gridLast);
    const GridRegistryEntry& e = m.getRegistry()[1];
    for (Grid statistics : {e.meanGrid, e.meanCountGrid, e.minGrid, e.maxGrid, e.vegPeriodGrid})
      for (long r = 1; r <= 8; ++r)
        EXPECT_EQ(statistics[r] != nullptr, r >= c.heldFirst && r <= c.heldLast)
            << c.processes << " processes, row " << r;
    m.unregisterGrid(1);
    m.free_matrix(g, c.gridFirst, c.gridLast, 1, 4);
  }
}

// What a module does to a grid's values before its output moves the range
// its statistics may hold: a factor within lo ... hi takes the range to the
// extremes of the products, an amount shifts both ends; a range nothing
// bounds stays unbounded.
TEST(GridRegistry, ValueRangesFollowFactorsAndAmounts) {
  struct Step {
    bool scale;
    double lo, hi;
  };
  struct Case {
    GridValueRange range;
    std::vector<Step> steps;
    bool known;
    double lowest, highest;
    std::string source;
  };
  const Case cases[] = {
      {{true, 0, 200, "limits"}, {{true, 1.02, 4.3}}, true, 0, 860, "limits, times f"},
      {{true, -50, 50, "limits"}, {{true, 0, 2}}, true, -100, 100, "limits, times f"},
      {{true, 1, 2, "limits"}, {{true, -1, 3}}, true, -2, 6, "limits, times f"},
      {{true, -50, 50, "limits"}, {{false, -0.5, 0.25}}, true, -50.5, 50.25, "limits, plus f"},
      {{true, 0, 200, "limits"},
       {{true, 1, 1.05}, {false, -1, 0}},
       true,
       -1,
       210,
       "limits, times f, plus f"},
      {{false, 0, 0, ""}, {{true, 2, 3}, {false, 1, 1}}, false, 0, 0, ""},
  };
  for (const Case& c : cases) {
    GridValueRange range = c.range;
    for (const Step& s : c.steps) {
      if (s.scale)
        range.scale(s.lo, s.hi, "f");
      else
        range.shift(s.lo, s.hi, "f");
    }
    EXPECT_EQ(range.known, c.known) << c.source;
    EXPECT_DOUBLE_EQ(range.lowest, c.lowest) << c.source;
    EXPECT_DOUBLE_EQ(range.highest, c.highest) << c.source;
    EXPECT_EQ(range.source, c.source);
  }
}
