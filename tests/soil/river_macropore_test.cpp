// Macropores and the exchange of a river cell with its soil column, against
// hand-computed rates and the water balance.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "soil/macropores.h"
#include "soil/river_exchange.h"
#include "tests/soil/column_fixture.h"
#include "tests/soil/heat_fixture.h"

namespace {

constexpr double hour = 3600.0;

// A river 5 m wide with a leakage factor of 1e-6 / s in a cell of 100 m.
RiverCell river(double depth) {
  RiverCell r;
  r.depth = depth;
  r.width = 5.0;
  r.leakage = 1e-6;
  r.cellSize = 100.0;
  return r;
}

// The iterate starts where the step starts.
void startIterate(SoilColumn& c) {
  for (int i = 1; i <= c.layers; ++i) c.theta[i] = c.thetaMean[i] = c.theta0[i];
}

double columnWater(const SoilColumn& c) {
  double water = 0.0;
  for (int i = 1; i <= c.layers; ++i) water += c.theta0[i] * c.d[i] * 1000.0;
  return water;
}

} // namespace

// Four layers of 0.1 m at theta 0.3 (15 mm of free pores each), macropores
// down to 0.25 m (layers 1 and 2) whose capacity halves per metre: the
// deepest macropore layer fills first, the intake is at most
// min(capacity, rate - threshold) dt, and what they take leaves the rate.
TEST(Macropores, FillTheDeepestLayersFirstWithinTheirCapacity) {
  struct Case {
    const char* name;
    double rate, threshold, capacity; // m/s
    double layer1, layer2;            // mm taken
  };
  const Case cases[] = {
      {"rate at the threshold", 5e-6, 5e-6, 1e-5, 0.0, 0.0},
      {"pores full", 2e-5, 5e-6, 1e-5, 15.0, 15.0},
      {"rate above the threshold", 7e-6, 5e-6, 1e-5, 0.0, 7.2},
      // Layer 2 takes 2e-6 * 0.5^0.15 * 3600 mm, layer 1 the rest of 7.2 mm.
      {"layer capacity", 1.5e-5, 5e-6, 2e-6, 0.7109966692, 6.4890033308},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    char keys[160];
    std::snprintf(keys, sizeof keys,
                  "PMacroThresh = %g; MacroCapacity = %g; MacroDepth = 0.25; CapacityRedu = 0.5;",
                  k.threshold, k.capacity);
    ColumnRig rig(soilOf(siltLoamSoil, 4, 0.1, keys), 0.4);
    SoilColumn& c = rig.solver.column;
    for (int i = 1; i <= 3; ++i) c.theta0[i] = 0.3;
    const double before = columnWater(c);
    std::vector<double> inflow(6, -1.0);
    double rate = k.rate;
    const double taken = infiltrateMacropores(rate, c, hour, inflow.data());
    EXPECT_NEAR(inflow[1], k.layer1, 1e-9);
    EXPECT_NEAR(inflow[2], k.layer2, 1e-9);
    EXPECT_EQ(inflow[3], 0.0);
    EXPECT_NEAR(taken, k.layer1 + k.layer2, 1e-9);
    // What the soil gained the surface lost.
    EXPECT_NEAR(columnWater(c) - before, taken, 1e-9);
    EXPECT_NEAR(rate, k.rate - taken / 1000.0 / hour, 1e-18);
  }
}

// The exchange of a river with the layers around its bed, eight layers of
// 0.25 m: rates over the cell W k_c dh / dx, placed or drawn layer by layer.
TEST(RiverExchange, RatesFollowTheTableAgainstTheRiverbed) {
  const double fieldCapacity = soilOf(siltLoamSoil, 8, 0.25).thetaFromSuction(3, 3.45);
  struct Case {
    const char* name;
    double tableDepth, riverDepth;
    bool linked;
    double discharge, speed, cap;                   // record: m^3/s, m/s; cap m/s
    std::vector<std::pair<int, double>> setTheta;   // layers given a water content
    std::vector<double> infiltration, exfiltration; // layers 1 .. 8, m/s
  };
  const double free2 = 1e-5 * 0.25 / hour; // room of a layer 1e-5 below saturation
  const double wet = 1e-6 * 0.25 / hour;   // water of a layer 1e-6 above field capacity
  // Table 1.75 m deep, bed at 0.5 m (layer 2), river 2 m deep:
  // 1e-6 (-0.5 + 2 + 1.75) 5 / 100.
  const double rate = 1.625e-7;
  const std::vector<double> none(8, 0.0);
  auto only = [](int layer, double value) {
    std::vector<double> v(8, 0.0);
    v[static_cast<size_t>(layer) - 1] = value;
    return v;
  };
  const Case cases[] = {
      // Table 0.5 m above the bed: 5 * 1e-6 * 0.5 / 100 from the table layer.
      {"exfiltration", 0.5, 1.0, false, 0, 0, 0, {}, none, only(3, 2.5e-8)},
      {"exfiltration down to field capacity",
       0.5,
       1.0,
       false,
       0,
       0,
       0,
       {{3, fieldCapacity + 1e-6}, {4, fieldCapacity + 1e-6}},
       none,
       {0, 0, wet, wet, 0, 0, 0, 0}},
      {"table at the bed, no record", 1.0, 1.0, false, 0, 0, 0, {}, none, none},
      {"table at the bed", 1.0, 1.0, true, 10.0, 1.0, 1.0, {}, only(4, 1e-6 * 2.0 * 5 / 100), none},
      {"empty record", 1.75, 0.5, true, 0.0, 1.0, 1.0, {}, none, none},
      {"infiltration", 1.75, 0.5, true, 10.0, 1.0, 1.0, {}, only(2, rate), none},
      {"capped by the record", 1.75, 0.5, true, 10.0, 1.0, 1e-7, {}, only(2, 1e-7), none},
      {"bed layer nearly full",
       1.75,
       0.5,
       true,
       10.0,
       1.0,
       1.0,
       {{2, 0.45 - 1e-5}},
       {0, free2, rate - free2, 0, 0, 0, 0, 0},
       none},
      {"no room below the bed",
       1.75,
       0.5,
       true,
       10.0,
       1.0,
       1.0,
       {{2, 0.45}, {3, 0.45}, {4, 0.45}, {5, 0.45}, {6, 0.45}, {7, 0.45}},
       only(1, rate),
       none},
      {"no room anywhere",
       1.75,
       0.5,
       true,
       10.0,
       1.0,
       1.0,
       {{1, 0.45}, {2, 0.45}, {3, 0.45}, {4, 0.45}, {5, 0.45}, {6, 0.45}, {7, 0.45}},
       none,
       none},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ColumnRig rig(soilOf(siltLoamSoil, 8, 0.25), k.tableDepth);
    SoilColumn& c = rig.solver.column;
    for (const auto& [layer, theta] : k.setTheta) c.theta0[layer] = theta;
    startIterate(c);
    RiverCell r = river(k.riverDepth);
    r.linked = k.linked;
    r.discharge = k.discharge;
    r.speed = k.speed;
    r.cap = k.cap;
    exchangeWithSurfaceWater(c, r, hour);
    for (int i = 1; i <= 8; ++i) {
      const double in = k.infiltration[static_cast<size_t>(i) - 1];
      const double out = k.exfiltration[static_cast<size_t>(i) - 1];
      EXPECT_NEAR(c.riverInfiltration[i], in, 1e-12 * std::max(in, 1e-9)) << "layer " << i;
      EXPECT_NEAR(c.riverExfiltration[i], out, 1e-12 * std::max(out, 1e-9)) << "layer " << i;
    }
  }
}

// A river cell through a week of rain pulses: in every water step (method
// 2) and sub-step (method 3, also with heat flow through three days of frost
// and a thaw) the water of the column changes by what the surface and the
// river gave less what left, the record pays exactly for the water its
// river gave, and the iteration reaches the layers the river feeds. A
// column beside a glacier on half of its cell stands for half of the
// 100 m x 100 m: the record pays for the water over that half.
TEST(RiverExchange, SubstepsCloseTheBalanceWithTheRiver) {
  const HeatModelSettings heatModel = heatWithWaterFlow();
  const struct {
    int method;
    bool frost;
    double share;
  } cases[] = {{2, false, 1.0}, {3, false, 1.0}, {3, true, 1.0}, {3, false, 0.5}};
  for (const auto& [method, frost, share] : cases) {
    SCOPED_TRACE("method " + std::to_string(method) + (frost ? " with frost" : "") +
                 " over " + std::to_string(share) + " of the cell");
    RiverColumnRig riverCell(method);
    ColumnRig& rig = riverCell.rig;
    ColumnForcing& forcing = riverCell.forcing;
    RiverOffer& offer = riverCell.offer;
    offer.share = share;
    HeatForcing heat;
    if (frost) addHeatModel(riverCell, heatModel, heat, 1.0);
    double gained = 0.0, given = 0.0, macro = 0.0, leastUnfrozen = 1.0;
    for (int step = 0; step < 168; ++step) {
      forcing.input = step % 24 < 3 ? 6.0 : 0.0;
      heat.airTemperature = heat.boundary.source = step < 72 ? -10.0 : 5.0;
      // High water in the first days, then the river runs low.
      offer.cell.discharge = step < 72 ? 20.0 : 0.2;
      offer.available = step % 5 == 0 ? 1e-4 : 1.0;
      const double available = offer.available;
      const double before = rig.storage();
      const ColumnBudget b = rig.step(forcing);
      const double out = b.directflow + b.interflow + rig.solver.transpiration[1] + b.evaporation +
                         b.baseflow + b.riverExfiltration;
      EXPECT_NEAR(rig.storage() - before, forcing.input + b.riverInfiltration - out,
                  1e-9 * std::max(1.0, before))
          << "sub-step " << step;
      // m^3/s over the hour against mm over the column's part of the cell.
      EXPECT_NEAR(b.riverTaken * hour, b.riverInfiltration / 1000.0 * 1e4 * share,
                  1e-12 * std::max(1e-9, b.riverTaken * hour));
      EXPECT_LE(b.riverTaken, available * (1.0 + 1e-12));
      EXPECT_NEAR(offer.available, available - b.riverTaken, 1e-15);
      gained += b.riverInfiltration;
      given += b.riverExfiltration;
      macro += b.macropores;
      leastUnfrozen = std::min(leastUnfrozen, rig.solver.heat.unfrozen[1]);
    }
    EXPECT_GT(gained, 0.0);
    EXPECT_GT(given, 0.0);
    EXPECT_GT(macro, 0.0);
    if (frost) {
      EXPECT_LT(leastUnfrozen, 0.5);
    }
  }
}

// A river that drains the saturated zone lowers the table, as baseflow
// does, towards the riverbed, where its pull ends: the water it took is the
// water the column lost, first 5 * 1e-4 * 0.5 / 100 m/s, 9 mm in the hour.
TEST(RiverExchange, TheTableFallsTowardsTheRiverbed) {
  ColumnRig rig(soilOf(siltLoamSoil, 8, 0.25), 0.5);
  RiverOffer offer;
  offer.cell = river(1.0);
  offer.cell.leakage = 1e-4;
  ColumnForcing forcing;
  forcing.river = &offer;
  double height = rig.table.distance;
  double rate = 9.0;
  for (int step = 0; step < 48; ++step) {
    const double before = rig.storage();
    const ColumnBudget b = rig.step(forcing);
    EXPECT_NEAR(rig.storage() - before, -b.riverExfiltration, 1e-9 * before);
    EXPECT_GT(b.riverExfiltration, 0.0);
    if (step == 0)
      EXPECT_NEAR(b.riverExfiltration, rate, 1e-12);
    else
      EXPECT_LT(b.riverExfiltration, rate);
    EXPECT_LT(rig.table.distance, height);
    EXPECT_GT(rig.table.distance, -1.0);
    rate = b.riverExfiltration;
    height = rig.table.distance;
  }
}

// Water that the macropores or the river put into a layer mixes its
// temperature into the layer's: C d T + C_w V T_src over C d + C_w V, C the
// layer's capacity with that water. The column stands at 4 degrees C, as do
// the surface and the ground below, and conducts next to no heat. The
// macropores take 10 mm of rain at 1e-6 m/s, layer 2 1e-6 0.5^0.375 h and
// layer 1 the rest, under snow at 0 degrees C; the layers gain the heat of
// the river's water, C_w V (T_src - 4), to 1 % (that water ends a little
// above 4 degrees C and the iteration refines the river's rate).
TEST(Macropores, WaterBringsTheTemperatureOfItsSource) {
  HeatModelSettings settings = heatWithWaterFlow();
  settings.lambdaWater = settings.lambdaIce = 1e-9;
  const double water = HeatColumn::waterCapacity;
  for (const auto& [source, river] : {std::pair{14.0, false}, {0.0, false}, {14.0, true}}) {
    SCOPED_TRACE(std::to_string(source) + (river ? " river" : " macropores"));
    RiverColumnRig cell(2);
    ColumnRig& rig = cell.rig;
    rig.soil = withFreezingCurves(riverCellSoil(perLayer(12, "HeatCapacityDry", 800.0) +
                                                perLayer(12, "DensityDry", 1500.0) +
                                                perLayer(12, "DryThermalConduct", 1e-9)));
    rig.solver.setHeatModel(&settings);
    rig.bind();
    HeatColumn& heat = rig.solver.heat;
    heat.bind(rig.soil, rig.layers, rig.solver.column.d);
    std::fill(heat.T, heat.T + rig.layers + 1, 4.0);
    HeatForcing forcing;
    forcing.airTemperature = forcing.boundary.lower = 4.0;
    forcing.boundary.source = source;
    ColumnForcing& f = cell.forcing;
    f.heat = &forcing;
    f.useCount = 0;
    f.potentialEvaporation = f.maxBaseflow = 0.0;
    f.input = river ? 0.0 : 10.0;
    f.macropores = !river;
    if (!river) f.river = nullptr;
    cell.offer.cell.discharge = 20.0;
    cell.offer.available = 1.0;
    std::vector<double> before(13), after(13, 4.0);
    for (int i = 1; i <= 12; ++i) before[i] = rig.theta(i);
    const ColumnBudget b = rig.step(f);
    double gained = 0.0;
    for (int i = 1; i <= 12; ++i) gained += (1.2e6 + before[i] * water) * 0.25 * (heat.T[i] - 4.0);
    if (river) {
      ASSERT_GT(b.riverInfiltration, 0.1);
      EXPECT_NEAR(gained, water * b.riverInfiltration / 1000.0 * 10.0, 0.01 * gained);
      continue;
    }
    const double second = 1e-6 * std::pow(0.5, 0.375) * hour, first = 1e-6 * hour - second;
    for (const auto& [i, v] : {std::pair{1, first}, {2, second}}) {
      const double x = water * v / (0.25 * (1.2e6 + (before[i] + v / 0.25) * water));
      after[i] = (4.0 + x * source) / (1.0 + x);
    }
    for (int i = 1; i <= 3; ++i) EXPECT_NEAR(heat.T[i], after[i], 1e-4) << i;
  }
}
