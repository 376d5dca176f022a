#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/lateral/aquifer_fixture.h"

namespace {

// The SOR sweeps stop once the largest change, divided by 5 in a confined
// cell, is below "maxerror_allowed"; at steady state their heads lag behind
// by far more than that (slowly converging sweeps), so they get a stricter
// limit than the line sweep.
struct SweepCase {
  const char* name;
  int method;
  double sor, maxerror;
};
const SweepCase sweepCases[] = {
    {"sor_fixed", 1, 1.5, 1e-11}, {"sor_adaptive", 1, 0.0, 1e-11}, {"line", 2, 1.0, 1e-8}};
constexpr double linearTolerance = 1e-7;

// A 5 x 51 strip with fixed heads at both ends of layer 2 (layer 1, above,
// is not coupled): at steady state the heads of a confined layer fall in a
// straight line, those of an unconfined layer along Dupuit's parabola.
struct Strip : AquiferModel {
  Strip(const std::string& name, const SweepCase& sweep, double leftHead, double rightHead)
      : AquiferModel(name, blockOwners(5, 51, 1), section(sweep)) {
    set("gw_storage_coeff_1", 1e-4);
    set("gw_storage_coeff_2", 1e-4);
    set("aquifer_thickness_2", 20.0);
    set("gw_boundary_fix_h_2",
        [=](long, long c) { return c == 1 ? leftHead : (c == 51 ? rightHead : nodata); });
    build();
  }
  static AquiferSection section(const SweepCase& sweep) {
    AquiferSection s;
    s.layers = 2;
    s.minutes = 60;
    s.method = sweep.method;
    s.sor = sweep.sor;
    s.maxiter = 5000;
    s.maxerror = sweep.maxerror;
    return s;
  }
};

TEST(GroundwaterSolver, ConfinedStripReachesLinearHeads) {
  for (const SweepCase& sweep : sweepCases) {
    SCOPED_TRACE(sweep.name);
    Strip m(std::string("gw_linear_") + sweep.name, sweep, 80.0, 75.0);
    ASSERT_EQ(m.code, 0) << m.log();
    m.step(1200);
    const Grid h = m.grid("gw_head_2"), q = m.grid("gw_flow_x_2");
    for (long r = 1; r <= 5; ++r)
      for (long c = 1; c <= 51; ++c) {
        EXPECT_NEAR(h[r][c], 80.0 - 5.0 * (c - 1) / 50.0, linearTolerance) << r << "," << c;
        if (c < 51) {
          EXPECT_NEAR(q[r][c], 0.1 * 1e-4 / 100.0, 2.0 * linearTolerance * 1e-4 / 100.0)
              << r << "," << c;
        }
      }
  }
}

TEST(GroundwaterSolver, UnconfinedStripFollowsDupuit) {
  // bottom of layer 2: 50 - 2 (soil) - 20 = 28 m
  for (const SweepCase& sweep : sweepCases) {
    SCOPED_TRACE(sweep.name);
    Strip m(std::string("gw_dupuit_") + sweep.name, sweep, 40.0, 36.0);
    ASSERT_EQ(m.code, 0) << m.log();
    m.step(1200);
    const Grid h = m.grid("gw_head_2");
    double lineOff = 0.0;
    for (long c = 1; c <= 51; ++c) {
      const double b = std::sqrt(144.0 - 80.0 * (c - 1) / 50.0);
      EXPECT_NEAR(h[3][c] - 28.0, b, 1e-4) << c;
      lineOff = std::max(lineOff, std::fabs(b - (12.0 - 4.0 * (c - 1) / 50.0)));
    }
    EXPECT_GT(lineOff, 0.15); // the parabola is told apart from a straight line
  }
}

// Two layers, layer 2 confined 0.5 m above layer 1: after one sub-step of
// 1800 s layer 2 has lost L dt / S = 5e-7 * 1800 / 0.1 = 9 mm and layer 1
// has gained what the unsaturated zone then sees as negative baseflow.
TEST(GroundwaterSolver, LeakageMovesWaterBetweenLayers) {
  struct Case {
    int method;
    double lift, rate;
  } cases[] = {{1, 0.5, 5e-7}, {2, 0.5, 5e-7}, {1, 3.0, 1e-6}, {2, 3.0, 1e-6}};
  for (const Case& t : cases) {
    SCOPED_TRACE(std::to_string(t.method) + " " + std::to_string(t.lift));
    AquiferSection s;
    s.layers = 2;
    s.minutes = 30;
    s.method = t.method;
    s.maxerror = 1e-12;
    AquiferModel m("gw_leakage", blockOwners(4, 5, 1), s);
    m.set("gw_kolmation_1", 1e-6);
    m.set("aquifer_thickness_2", 5.0); // top of layer 2: 48 m, head 49 + lift
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    const Grid h2 = m.grid("gw_head_2");
    for (long r = 1; r <= 4; ++r)
      for (long c = 1; c <= 5; ++c) h2[r][c] = m.grid("gw_head_old_2")[r][c] = 49.0 + t.lift;
    m.step();
    for (long r = 1; r <= 4; ++r)
      for (long c = 1; c <= 5; ++c) {
        EXPECT_NEAR(m.grid("gw_leakage_1")[r][c], t.rate, 1e-18);
        EXPECT_NEAR(h2[r][c], 49.0 + t.lift - t.rate * 1800.0 / 0.1, 1e-9);
        EXPECT_NEAR(m.grid("baseflow")[r][c], -t.rate, 1e-15);
        EXPECT_NEAR(m.grid("gw_balance1")[r][c], 0.0, 1e-6);
        EXPECT_NEAR(m.grid("gw_balance2")[r][c], 0.0, 1e-6);
      }
  }
}

// The face toward the east of cell (2, 2) of layer 2 (top 48 m, K 1e-4 m/s).
TEST(GroundwaterSolver, TransmissivityOfSpecialCells) {
  struct Case {
    const char* what;
    double glacier, thickness, head, eastHead, tx;
  } cases[] = {
      // confined on both sides: b = d = 20 m
      {"plain", 0.0, 20.0, 60.0, 60.0, 2e-3},
      {"partly glaciated", 0.5, 20.0, 60.0, 60.0, 0.0},
      // 1 m below the bottom (28 m): dry, it takes the wet neighbour's
      // 12 m * 1e-4 for the inflow from it
      {"dry cell", 0.0, 20.0, 27.0, 40.0, 1.2e-3},
      // 0.1 m below its own bottom (47 m) but above the neighbour: no flow
      // instead of a negative harmonic mean
      {"below the bottom", 0.0, 1.0, 46.9, 40.0, 0.0},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    AquiferSection s;
    s.layers = 2;
    AquiferModel m("gw_special", blockOwners(3, 3, 1), s);
    m.set("ice_firn", [&](long r, long c) { return r == 2 && c == 2 ? t.glacier : 0.0; });
    m.set("aquifer_thickness_2",
          [&](long r, long c) { return r == 2 && c == 2 ? t.thickness : 20.0; });
    m.build();
    ASSERT_EQ(m.code, 0) << m.log();
    const Grid h = m.grid("gw_head_2");
    h[2][2] = t.head;
    h[2][3] = t.eastHead;
    m.module->computeTransmissivities();
    EXPECT_NEAR(m.grid("gw_transmissivity_x_2")[2][2], t.tx, 1e-15);
  }
}

} // namespace
