#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/lateral/aquifer_fixture.h"

namespace {

// Steps that let a cell give at most its water in each; where the water
// runs out within the sub-step no number does (1).
TEST(AquiferTracerMixing, StepsLetNoCellGiveMoreThanItHolds) {
  struct Case {
    const char* what;
    double start, in, out, steps;
  } cases[] = {
      {"nothing leaves", 100.0, 50.0, 0.0, 1.0},
      {"gives less than it holds", 100.0, 10.0, 20.0, 1.0},
      {"grows: the first step decides", 100.0, 300.0, 250.0, 2.5},
      {"shrinks: the last step decides", 100.0, 50.0, 140.0, 5.0}, // 50 / (100 + 50 - 140)
      {"drained", 100.0, 50.0, 150.0, 1.0},
      {"dry at the start", 0.0, 10.0, 5.0, 1.0},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    const double steps = gwflowclass::tracerStepsOf(t.start, t.in, t.out);
    EXPECT_DOUBLE_EQ(steps, t.steps);
    if (steps <= 1.0) continue;
    // With that many steps the water before each covers its outflow; with
    // one step fewer it does not.
    auto covers = [&](int m) {
      for (int j = 0; j < m; ++j)
        if (t.start + j * (t.in - t.out) / m < t.out / m - 1e-12) return false;
      return true;
    };
    const int m = static_cast<int>(std::ceil(steps));
    EXPECT_TRUE(covers(m));
    EXPECT_FALSE(covers(m - 1));
  }
}

// Inflow brings its source's concentration, outflow takes the cell's own,
// at most the water the cell holds (north, east, south, west, above, below).
TEST(AquiferTracerMixing, MixesTheCellWithItsInflows) {
  struct Case {
    const char* what;
    double water, own;
    double volumes[6], from[6];
    double expected;
  } cases[] = {
      {"no flow", 100.0, 2.0, {}, {}, 2.0},
      // (70 * 2 + 50 * 5) / 120
      {"inflow and outflow", 100.0, 2.0, {50.0, -30.0}, {5.0, 9.0}, 3.25},
      // (10 * 1 + 30 * 5) / 40; the cell held nothing
      {"two inflows into an empty cell", 0.0, 7.0, {0.0, 10.0, 0.0, 30.0}, {0, 1.0, 0, 5.0}, 4.0},
      // gives more than its 100: what is left is the inflow's water (the
      // cell's own concentration counted against its water would give
      // (100 * 2 + 50 * 5 - 120 * 2) / 30 = 7)
      {"outflow beyond its water",
       100.0,
       2.0,
       {0, 0, 0, 0, 50.0, -120.0},
       {0, 0, 0, 0, 5.0, 0},
       5.0},
      {"drained without inflow", 10.0, 3.0, {-20.0}, {8.0}, 3.0},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    EXPECT_NEAR(gwflowclass::mixedConcentration(t.water, t.own, t.volumes, t.from), t.expected,
                1e-12);
  }
}

// A row of four cells over a day: water from the full cell 1 runs through
// the nearly drained cells 2 and 3 to cell 4, far more than cell 2 holds.
// The tracer moves in several steps, every concentration stays within the
// start's 0 ... 8, and the mass of the row, concentration times the water
// of the pores S A (h - bottom), stays what it was.
TEST(AquiferTracerMixing, LongStepConservesMassWithinItsSources) {
  AquiferSection s;
  s.minutes = 1440;
  s.maxiter = 20000;
  s.maxerror = 1e-12;
  AquiferModel m("gw_long_step", blockOwners(1, 4, 1), s);
  const double distance[5] = {0.0, -0.1, -1.85, -1.9, -1.9}; // soil bottom at 48 m
  m.set("groundwater_distance", [&](long, long c) { return distance[c]; });
  m.set("gw_k_x_1", 0.1);
  m.set("gw_k_y_1", 0.1);
  m.build();
  ASSERT_EQ(m.code, 0) << m.log();
  std::vector<TracerRecord> table(2);
  table[1].name = "sal";
  table[1].statExt = "sta";
  table[1].gridExt = "asc";
  std::vector<StatisticTableEntry> statistics(statisticTableEntries);
  int code = -1;
  m.module->initTracers(code, 1, table, statistics.data(), statisticTableEntries);
  ASSERT_EQ(code, 0) << m.log();
  const Grid store = m.grid("concstor_tracer_1_layer_1_groundwater_flow");
  const double start[5] = {0.0, 8.0, 0.0, 0.0, 2.0};
  auto water = [](double head) { return 0.1 * 1e4 * std::max(0.0, head - 48.0); };
  double before = 0.0;
  for (long c = 1; c <= 4; ++c) {
    store[1][c] = start[c];
    before += start[c] * water(50.0 + distance[c]);
  }
  m.step();
  EXPECT_GT(m.module->getTracerSteps(), 1);
  const Grid h = m.grid("gw_head_1");
  double after = 0.0;
  for (long c = 1; c <= 4; ++c) {
    EXPECT_GE(store[1][c], 0.0) << c;
    EXPECT_LE(store[1][c], 8.0) << c;
    after += store[1][c] * water(h[1][c]);
  }
  EXPECT_NEAR(after, before, 1e-6 * before);
  // Cell 1's tracer passed through cell 2 into cell 3.
  EXPECT_GT(store[1][3], 1.0);
  m.module->freeTracers(); // while the statistics table exists
}

} // namespace
