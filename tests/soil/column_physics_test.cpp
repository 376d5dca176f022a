// The soil-column solver against analytic states and the water balance.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/soil/column_fixture.h"

namespace {

constexpr double hour = 3600.0;

ColumnForcing dryForcing() { return ColumnForcing{}; }

// Depth (m) at which the water content falls through `level`, linearly
// between layer centres.
double depthOf(const ColumnRig& rig, double level) {
  const double d = rig.soil.getThickness(1);
  for (int k = 1; k < rig.layers; ++k)
    if (rig.theta(k) >= level && rig.theta(k + 1) < level)
      return d * (k - 0.5) + d * (rig.theta(k) - level) / (rig.theta(k) - rig.theta(k + 1));
  return -1.0;
}

} // namespace

// A column cold-started over its table holds the water of equilibrium with
// it: without input, demand or baseflow nothing moves, with either method.
TEST(ColumnPhysics, ColdStartedColumnStaysAtRest) {
  for (int method : {2, 3}) {
    SCOPED_TRACE("method " + std::to_string(method));
    ColumnRig rig(soilOf(siltLoamSoil, 20, 0.1), 1.9);
    rig.settings.method = method;
    const std::vector<double> start(rig.solver.column.theta0, rig.solver.column.theta0 + 21);
    const TableState table = rig.table;
    for (int step = 0; step < 24; ++step) {
      const ColumnBudget b = rig.step(dryForcing());
      for (double amount : {b.recharge, b.directflow, b.interflow, b.baseflow, b.evaporation})
        EXPECT_EQ(amount, 0.0);
    }
    for (int k = 0; k <= 20; ++k) EXPECT_NEAR(rig.flux(k), 0.0, 1e-18) << k;
    for (int k = 1; k <= 20; ++k) EXPECT_NEAR(rig.theta(k), start[k], 1e-14) << k;
    EXPECT_EQ(rig.table.distance, table.distance);
    EXPECT_EQ(rig.table.level, table.level);
    EXPECT_EQ(rig.table.theta, table.theta);
  }
}

// Far from the surface and the table a uniform profile drains under
// gravity alone: every flux is -K(theta).
TEST(ColumnPhysics, UniformProfileDrainsAtItsConductivity) {
  const double theta = siltLoamSoil.theta(1.0);
  EXPECT_NEAR(theta, 0.329688, 1e-6);
  const double drainage = -siltLoamSoil.conductivity(theta);
  for (int method : {2, 3}) {
    SCOPED_TRACE("method " + std::to_string(method));
    ColumnRig rig(soilOf(siltLoamSoil, 60, 0.05), 2.95);
    rig.settings.method = method;
    rig.fill(theta);
    rig.step(dryForcing());
    const double middle = rig.flux(30);
    EXPECT_NEAR(middle, drainage, 1e-3 * -drainage);
    for (int k = 10; k <= 49; ++k) EXPECT_NEAR(rig.flux(k), middle, 1e-12 * -middle) << k;
  }
}

// Rain of a tenth of K_s on a column cold-started over a table at 2.2 m,
// where baseflow balances the rain: the table sinks while the rain has not
// reached it and comes back, and the profile above settles where K(theta)
// equals the rain.
TEST(ColumnPhysics, SteadyRainReachesUnitGradientFlow) {
  const double rain = 0.1 * siltLoamSoil.ksat; // m/s
  for (int method : {2, 3}) {
    SCOPED_TRACE("method " + std::to_string(method));
    ColumnRig rig(soilOf(siltLoamSoil, 50, 0.05), 2.2);
    rig.settings.method = method;
    ColumnForcing forcing;
    forcing.input = rain * hour * 1000.0;
    forcing.maxBaseflow = forcing.input * std::exp(2.2);
    forcing.recession = 1.0;
    for (int step = 0; step < 3000; ++step) rig.step(forcing);
    for (int k = 3; k <= 20; ++k) {
      EXPECT_NEAR(rig.theta(k), 0.41774, 1e-3) << k;
      EXPECT_NEAR(rig.flux(k), -rain, 1e-3 * rain) << k;
    }
    EXPECT_NEAR(rig.table.distance, -2.2, 0.01);
  }
}

// Philip's travelling wave (J. R. Philip, 1957, The theory of infiltration:
// 1. The infiltration equation and its solution, Soil Science 83, 345-357):
// under a constant flux q into a soil at theta_i the wetting front keeps its
// shape and moves at v = (q - K_i) / (theta_q - theta_i), K(theta_q) = q.
TEST(ColumnPhysics, ConstantFluxFrontTravelsAtPhilipsSpeed) {
  const VanGenuchten soil = loamSoil;
  const double q = 0.5 * soil.ksat;
  const double initial = soil.theta(10.0);
  // theta_q by bisection on the closed form.
  double low = initial, high = soil.thetaS;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (low + high);
    (soil.conductivity(mid) < q ? low : high) = mid;
  }
  const double wet = 0.5 * (low + high);
  const double speed = (q - soil.conductivity(initial)) / (wet - initial);
  for (int method : {2, 3}) {
    SCOPED_TRACE("method " + std::to_string(method));
    ColumnRig rig(soilOf(soil, 150, 0.01), 1.49);
    rig.settings.method = method;
    rig.settings.substepSeconds = 600.0;
    rig.fill(initial);
    const double start = rig.storage();
    ColumnForcing forcing;
    forcing.input = q * 600.0 * 1000.0;
    double excess = 0.0;
    std::vector<double> front;
    for (int step = 1; step <= 288; ++step) {
      excess += rig.step(forcing).directflow;
      if (step % 36 == 0) front.push_back(depthOf(rig, 0.5 * (initial + wet)));
    }
    EXPECT_EQ(excess, 0.0);
    EXPECT_NEAR(rig.storage() - start, forcing.input * 288, 1e-9 * forcing.input * 288);
    // Once the wave has formed it moves at v; its mid-point keeps within the
    // wave's own half-width of v t.
    const double measured = (front[7] - front[3]) / (24 * hour);
    EXPECT_NEAR(measured, speed, 0.01 * speed);
    for (size_t i = 0; i < front.size(); ++i)
      EXPECT_NEAR(front[i], speed * 6 * hour * (i + 1.0), 0.02) << "after " << 6 * (i + 1) << " h";
  }
}

// Every sub-step closes the water balance of the column: its change of
// storage is the input less every amount the solver booked as leaving.
TEST(ColumnPhysics, EverySubstepClosesTheWaterBalance) {
  // A conductive loam, whose rain splits the sub-steps; conductivity falls
  // with depth, so that interflow runs on the slope.
  VanGenuchten soil = loamSoil;
  soil.ksat = 5e-5;
  ColumnRig rig(soilOf(soil, 20, 0.1, "", 0.8), 1.5);
  rig.settings.method = 3;
  rig.settings.minimumStep = 60.0;
  rig.cell.slopeTangent = 0.3;
  rig.cell.channelDensity = 0.002;
  rig.cell.drainLayer = 8;
  rig.cell.drainDistance = 10.0;
  const landuse_class grass = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; "
                                        "LimitReduWet = 0.5");
  const landuse_class forest = landuseOf("RootDist = 2; HReduDry = 10; TReduWet = 0.9; "
                                         "LimitReduWet = 0.2");
  LanduseDemand uses[3];
  uses[1] = LanduseDemand{&grass, 0.15, 0.8, 0.4};
  uses[2] = LanduseDemand{&forest, 0.1, 0.6, 1.2};
  ColumnForcing forcing;
  forcing.uses = uses;
  forcing.useCount = 2;
  forcing.potentialEvaporation = 0.05;
  forcing.maxBaseflow = 0.5;
  forcing.recession = 1.0;
  forcing.maxPonding = 2.0;
  // Transpiration, evaporation, interflow, its drains' share, baseflow, direct flow.
  double booked[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  int split = 0;
  for (int step = 0; step < 240; ++step) {
    // Pulses of rain, one heavy enough to pond and run off, and dry spells.
    forcing.input = step % 48 < 6 ? (step % 48 == 2 ? 300.0 : 4.0) : 0.0;
    const double before = rig.storage();
    const ColumnBudget b = rig.step(forcing);
    const double transpired = rig.solver.transpiration[1] + rig.solver.transpiration[2];
    // The drains' water is part of the interflow.
    const double out = b.directflow + b.interflow + transpired + b.evaporation + b.baseflow;
    EXPECT_LE(b.drainage, b.interflow) << "sub-step " << step;
    EXPECT_NEAR(rig.storage() - before, forcing.input - out, 1e-9 * std::max(1.0, before))
        << "sub-step " << step;
    EXPECT_EQ(b.clamped, 0.0);
    booked[0] += transpired;
    booked[1] += b.evaporation;
    booked[2] += b.interflow;
    booked[3] += b.drainage;
    booked[4] += b.baseflow;
    booked[5] += b.directflow;
    split += b.waterSteps > 1;
  }
  EXPECT_GT(split, 0);
  // Every path of the balance carried water.
  for (int i = 0; i < 6; ++i) EXPECT_GT(booked[i], 0.0) << i;
}

// With the groundwater model the aquifer's first layer is the saturated
// zone: the column gives what the layer lost, from the table down, each
// layer to field capacity, and owes what it cannot give yet; it takes a
// gain in from its bottom up to saturation, and what does not fit runs off.
// The formula's baseflow never drains it.
TEST(ColumnPhysics, AquiferExchangeMovesOnlyTheWaterAsked) {
  const struct {
    const char* name;
    double tableDepth;
    double asked; // mm the layer lost (negative: gained)
    bool lake;    // a lake of channel routing lies on the cell
  } rows[] = {
      {"loss within the saturated zone", 1.0, 2.0, false},
      {"loss beyond its drainable water", 1.95, 500.0, false},
      {"gain within the free pores", 1.0, -3.0, false},
      {"gain beyond the free pores", 1.0, -2000.0, false},
      // What the column cannot take rises into the lake.
      {"gain beyond the free pores under a lake", 1.0, -2000.0, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ColumnRig rig(soilOf(siltLoamSoil, 20, 0.1), row.tableDepth);
    // The water the soil may give (above field capacity from the table
    // layer down) and the pores it may fill, before the step.
    const soil_class& soil = rig.soil;
    double drainable = 0.0, free = 0.0;
    for (int k = 1; k <= 20; ++k) {
      free += (soil.getThetaSat(k) - rig.theta(k)) * 100.0;
      if (k >= static_cast<int>(rig.table.level))
        drainable += std::max(0.0, rig.theta(k) - soil.thetaFromSuction(k, 3.45)) * 100.0;
    }
    ColumnForcing forcing;
    forcing.aquifer = true;
    forcing.aquiferExchange = row.asked;
    forcing.lakeAbove = row.lake;
    forcing.maxPonding = row.lake ? 5000.0 : 0.0;
    forcing.maxBaseflow = 5.0;
    forcing.recession = 1.0;
    const double before = rig.storage();
    const ColumnBudget b = rig.step(forcing);
    EXPECT_EQ(b.baseflow, 0.0);
    EXPECT_EQ(b.interflow, 0.0);
    EXPECT_NEAR(rig.storage() - before, -b.toAquifer - b.directflow, 1e-9);
    if (row.asked > 0.0) {
      EXPECT_NEAR(b.toAquifer + b.aquiferOwed, row.asked, 1e-9);
      if (row.asked < drainable)
        EXPECT_NEAR(b.aquiferOwed, 0.0, 1e-9);
      else
        EXPECT_GT(b.aquiferOwed, row.asked - drainable - 1e-9);
      EXPECT_EQ(b.directflow, 0.0);
      EXPECT_LT(rig.table.distance, -row.tableDepth + 1e-12); // it did not rise
    } else if (row.lake) {
      EXPECT_EQ(b.toAquifer, row.asked);
      EXPECT_EQ(b.aquiferOwed, 0.0);
      EXPECT_NEAR(b.lakeFromAquifer, -row.asked - free, 1e-9);
      EXPECT_NEAR(rig.ponding, -row.asked - free, 1e-9);
      EXPECT_EQ(b.directflow, 0.0);
      EXPECT_EQ(rig.table.distance, 0.0); // saturated to the surface
    } else {
      EXPECT_EQ(b.toAquifer, row.asked);
      EXPECT_EQ(b.aquiferOwed, 0.0);
      EXPECT_NEAR(b.directflow, std::max(0.0, -row.asked - free), 1e-9);
      EXPECT_GT(rig.table.distance, -row.tableDepth); // the table rose
    }
  }
}

// With the groundwater model the recharge is what percolates into the
// table's layer from the layer above, none with the table in layer 1. Rain
// at a tenth of K_s reaches the table as rain at steady state; water the
// aquifer pushes up from below, through layers near saturation, is no
// recharge, whatever the table's move through them.
TEST(ColumnPhysics, AquiferRechargeIsWhatPercolatesOntoTheTable) {
  const double rain = 0.1 * siltLoamSoil.ksat * hour * 1000.0; // mm per sub-step
  const struct {
    const char* name;
    double tableDepth;
    double input; // mm per sub-step
    double asked; // mm the aquifer's layer lost (negative: gained)
    int steps;
    double low, high; // bounds of the last step's recharge (mm)
  } rows[] = {
      {"steady rain the aquifer takes away", 2.2, rain, rain, 3000, 0.999 * rain, 1.001 * rain},
      {"a gain that lifts the table through wet layers", 0.975, 0.0, -40.0, 1, -40.0, 1e-9},
      {"rain on a table in layer 1", 0.03, rain, 0.0, 3, 0.0, 0.0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ColumnRig rig(soilOf(siltLoamSoil, 50, 0.05), row.tableDepth);
    const double level = rig.table.level;
    // The table's layer holds the water its table stands on.
    rig.solver.column.theta0[static_cast<int>(level)] = rig.table.theta;
    ColumnForcing forcing;
    forcing.aquifer = true;
    forcing.input = row.input;
    forcing.aquiferExchange = row.asked;
    ColumnBudget b;
    for (int step = 0; step < row.steps; ++step) b = rig.step(forcing);
    EXPECT_GE(b.recharge, row.low);
    EXPECT_LE(b.recharge, row.high);
    EXPECT_EQ(b.percolation + b.capillaryRise, b.recharge);
    if (row.asked < 0.0) {
      EXPECT_LT(rig.table.level, level - 2.0); // rose through layers
    }
  }
}

// Under the aquifer the table stands on no water its layer does not hold:
// a layer that roots took below field capacity holds the table at its
// bottom, whatever water content the table's own record kept, so that the
// aquifer's head asks for no water the soil cannot give. Without the
// aquifer the table keeps its record.
TEST(ColumnPhysics, AquiferTableStandsOnTheWaterOfItsLayer) {
  const struct {
    const char* name;
    bool aquifer;
    double layerAboveCapacity; // theta - theta_fc of the bottom layer
  } rows[] = {
      {"dried below field capacity", true, -0.02},
      {"holding less than its record", true, 0.01},
      {"without the aquifer", false, -0.02},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ColumnRig rig(soilOf(siltLoamSoil, 20, 0.1), 1.95);
    const int n = 20;
    const double capacity = rig.soil.thetaFromSuction(n, 3.45);
    const double saturated = rig.soil.getThetaSat(n);
    const double bottom = rig.solver.column.z[n];
    // The record of the bottom layer 3 % above field capacity, its water
    // as the row has it; no water above it moves.
    rig.table =
        TableState{bottom + 0.03 / (saturated - capacity) * 0.1, double(n), capacity + 0.03};
    rig.solver.column.theta0[n] = capacity + row.layerAboveCapacity;
    rig.fill(rig.soil.thetaFromSuction(1, 3.45));
    ColumnForcing forcing;
    forcing.aquifer = row.aquifer;
    rig.step(forcing);
    const double held = std::max(0.0, rig.theta(n) - capacity) / (saturated - capacity) * 0.1;
    if (row.aquifer) {
      EXPECT_NEAR(rig.table.distance, bottom + held, 1e-12);
      EXPECT_LE(rig.table.theta, std::max(rig.theta(n), capacity));
    } else {
      EXPECT_GT(rig.table.distance, bottom + held + 0.01);
    }
    EXPECT_EQ(rig.table.level, n);
  }
}

// Without the groundwater model the saturated zone drains what it owes for
// irrigation together with the formula's baseflow, Q0 exp(c distance), from
// the table down, each layer to field capacity: the owed water first, what
// it cannot give yet stays owed.
TEST(ColumnPhysics, OwedIrrigationDrainsBeforeTheBaseflow) {
  const struct {
    const char* name;
    double tableDepth;
    double owed; // mm
  } rows[] = {
      {"nothing owed", 1.0, 0.0},
      {"owed within the saturated zone", 1.0, 2.0},
      {"owed beyond its drainable water", 1.95, 500.0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ColumnRig rig(soilOf(siltLoamSoil, 20, 0.1), row.tableDepth);
    const soil_class& soil = rig.soil;
    double drainable = 0.0;
    for (int k = static_cast<int>(rig.table.level); k <= 20; ++k)
      drainable += std::max(0.0, rig.theta(k) - soil.thetaFromSuction(k, 3.45)) * 100.0;
    ColumnForcing forcing;
    forcing.maxBaseflow = 0.5;
    forcing.recession = 1.0;
    forcing.owedWater = row.owed;
    const double formula = 0.5 * std::exp(-row.tableDepth);
    const double before = rig.storage();
    const ColumnBudget b = rig.step(forcing);
    const double paid = row.owed - b.aquiferOwed;
    EXPECT_NEAR(rig.storage() - before, -paid - b.baseflow - b.interflow - b.directflow, 1e-9);
    EXPECT_EQ(b.toAquifer, 0.0);
    if (row.owed + formula < drainable) {
      EXPECT_NEAR(b.aquiferOwed, 0.0, 1e-9);
      EXPECT_NEAR(b.baseflow, formula, 1e-9);
    } else {
      EXPECT_EQ(b.baseflow, 0.0);
      EXPECT_GT(b.aquiferOwed, row.owed - drainable - 1e-9);
    }
    // The table fell.
    if (row.owed > 0.0) {
      EXPECT_LT(rig.table.distance, -row.tableDepth);
    }
  }
}

// The dynamic method splits a sub-step by the fastest layer above the table
// (d / K_s with input), bounded by the minimum step.
TEST(ColumnPhysics, DynamicMethodSplitsBySaturatedTravelTime) {
  struct Case {
    double ksat;
    double input;
    int steps;
  };
  for (const Case& c : {Case{1e-4, 1.0, 4}, Case{1e-5, 1.0, 1}, Case{1e-2, 1.0, 60}}) {
    VanGenuchten soil = loamSoil;
    soil.ksat = c.ksat;
    ColumnRig rig(soilOf(soil, 10, 0.1), 0.9);
    rig.settings.method = 3;
    rig.settings.minimumStep = 60.0;
    EXPECT_EQ(rig.solver.waterStepCount(rig.settings, c.input), c.steps) << c.ksat;
    rig.settings.method = 2;
    EXPECT_EQ(rig.solver.waterStepCount(rig.settings, c.input), 1);
  }
}
