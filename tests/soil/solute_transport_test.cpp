// Tracers in the soil column: the transfers of one water step by hand, and
// their mass and travel time through the column solver.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/soil/column_fixture.h"
#include "tests/soil/heat_fixture.h"

namespace {

constexpr double hour = 3600.0;

double total(const ColumnSolutes& s, int t, int layers) {
  double m = 0.0;
  for (int i = 0; i <= layers; ++i) m += s.mass(t)[i];
  return m;
}

// Mass that entered less what left, of one sub-step.
double net(const SoluteBudget& b) {
  return b.input + b.river -
         (b.directflow + b.interflow + b.baseflow + b.exfiltration + b.evaporated + b.decayed);
}

} // namespace

// Three layers of 0.1 m holding 30 mm of water and masses 30, 60 and 90
// (concentrations 1, 2, 3): 3.6 mm flow from layer 1 down and 1.8 mm from
// layer 3 up in an hour, each taking the concentration of the layer it
// leaves, with the rules for saturated, dry and overdrawn layers (one that
// gives more than it holds passes on what enters it, so that it ends
// within the concentrations it mixed), the concentration limit, side
// outflows and the mixed saturated zone.
TEST(SoluteTransport, WaterStepMovesTheMassesByHand) {
  struct Case {
    const char* name;
    std::vector<double> theta0; // layers 1 .. 3
    std::vector<double> mass;   // layers 0 .. 3
    double down1, up2;          // q across the bottoms of layers 1 and 2 (m/s)
    double maxConcentration;
    bool evaporating;
    int tableLayer;
    std::vector<double> expected; // layers 0 .. 3
    SoluteBudget budget;          // what left or came in
  };
  const std::vector<double> even = {0.3, 0.3, 0.3};
  const std::vector<double> masses = {0.0, 30.0, 60.0, 90.0};
  const Case cases[] = {
      {"upwind transfers", even, masses, -1e-6, 5e-7, 0.0, false, 4, {0, 26.4, 69.0, 84.6}, {}},
      {"limited concentration",
       even,
       masses,
       -1e-6,
       5e-7,
       2.0,
       false,
       4,
       {0, 26.4, 67.2, 86.4},
       {}},
      {"dry layer gives nothing",
       {0.0005, 0.3, 0.3},
       {0, 0.5, 60, 90},
       -1e-6,
       5e-7,
       0.0,
       false,
       4,
       {0, 0.5, 65.4, 84.6},
       {}},
      // Layer 2 saturated: 90 + 3.6 of mass in 45 + 3.6 mm of water pass on.
      {"saturated layer passes on",
       {0.3, 0.45, 0.3},
       {0, 30, 90, 90},
       -1e-6,
       -1e-6,
       0.0,
       false,
       4,
       {0, 26.4, 90 + 3.6 - 3.6 * 93.6 / 48.6, 90 + 3.6 * 93.6 / 48.6},
       {}},
      // 3.6 mm out of a layer of 1 mm take its mass and no more.
      {"overdrawn layer",
       {0.01, 0.3, 0.3},
       {0, 1, 60, 90},
       -1e-6,
       5e-7,
       0.0,
       false,
       4,
       {0, 0, 61 + 5.4, 84.6},
       {}},
      // Layer 2 (1 mm at 2) passes 3.6 mm down: it mixes with the 3.6 mm
      // entering from layer 1 at 1, and what leaves takes the mixture.
      {"overdrawn layer passes on what enters from above",
       {0.3, 0.01, 0.3},
       {0, 30, 2, 90},
       -1e-6,
       -1e-6,
       0.0,
       false,
       4,
       {0, 26.4, 5.6 - 3.6 * 5.6 / 4.6, 90 + 3.6 * 5.6 / 4.6},
       {}},
      // Layer 2 (1 mm at 1) passes 3.6 mm up: it mixes with the 3.6 mm
      // rising from layer 3 at 3.
      {"overdrawn layer passes on what rises from below",
       {0.3, 0.01, 0.3},
       {0, 30, 1, 90},
       1e-6,
       1e-6,
       0.0,
       false,
       4,
       {0, 30 + 3.6 * 11.8 / 4.6, 11.8 - 3.6 * 11.8 / 4.6, 90 - 10.8},
       {}},
      // A dry layer keeps its own mass but passes on the water of layer 1.
      {"dry layer passes on what enters it",
       {0.3, 0.0005, 0.3},
       {0, 30, 0.5, 90},
       -1e-6,
       -1e-6,
       0.0,
       false,
       4,
       {0, 26.4, 0.5, 93.6},
       {}},
      // Layers 2 and 3 mix 153.6 over 35.4 + 28.2 mm of water.
      {"mixed saturated zone",
       even,
       masses,
       -1e-6,
       5e-7,
       0.0,
       false,
       2,
       {0, 26.4, 153.6 * 35.4 / 63.6, 153.6 * 28.2 / 63.6},
       {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ColumnRig rig(soilOf(siltLoamSoil, 3, 0.1), 0.5);
    SoilColumn& c = rig.solver.column;
    for (int i = 1; i <= 3; ++i) {
      c.theta0[i] = k.theta0[static_cast<size_t>(i) - 1];
      c.lateral[i] = c.extraction[i] = c.riverInfiltration[i] = c.riverExfiltration[i] = 0.0;
    }
    c.q[0] = 0.0;
    c.q[1] = k.down1;
    c.q[2] = k.up2;
    c.q[3] = 0.0;
    for (int i = 1; i <= 3; ++i) c.theta[i] = c.theta0[i] + (c.q[i] - c.q[i - 1]) * hour / c.d[i];
    ColumnSolutes s(3, 1);
    s.bind(1, 3);
    s.properties[1] = SoluteProperties{k.maxConcentration, k.evaporating, 1.0};
    s.beginSubstep();
    std::copy(k.mass.begin(), k.mass.end(), s.mass(1));
    const std::vector<double> none(5, 0.0);
    s.transportSolutesInColumn(c, SurfaceWater{}, none.data(), none.data(), k.tableLayer, hour);
    for (int i = 0; i <= 3; ++i)
      EXPECT_NEAR(s.mass(1)[i], k.expected[static_cast<size_t>(i)], 1e-12) << "level " << i;
  }
}

// A snow pack of 10 mm at concentration 2 takes 5 mm infiltrating at 4 and
// holds 8/3; all that leaves it has that concentration: 3 mm into layer 1,
// 1 mm released into layer 1 before the flows and 0.5 mm into layer 2
// after them, 2 mm of runoff and 1 mm of its interflow.
TEST(SoluteTransport, SnowPackMixesAndGivesItsConcentration) {
  ColumnRig rig(soilOf(siltLoamSoil, 3, 0.1), 0.5);
  SoilColumn& c = rig.solver.column;
  for (int i = 0; i <= 3; ++i) {
    c.theta0[i] = c.theta[i] = 0.3;
    c.q[i] = c.lateral[i] = c.extraction[i] = c.riverInfiltration[i] = c.riverExfiltration[i] = 0.0;
  }
  ColumnSolutes s(3, 1);
  s.bind(1, 3);
  s.properties[1] = SoluteProperties{};
  s.inputConcentration[1] = 4.0;
  s.packWater = 10.0;
  s.packConcentration[1] = 2.0;
  s.beginSubstep();
  const double start[] = {0.0, 30.0, 60.0, 90.0};
  std::copy(start, start + 4, s.mass(1));
  const PackWater pack{5.0, 3.0, 1.0, {0.0, 1.0, 0.0}, {0.0, 0.0, 0.5}, 2.0};
  const std::vector<double> none(5, 0.0);
  s.transportSolutesInColumn(c, SurfaceWater{0.0, 5.0, 0.0, 0.0, 5.0, 0.0}, none.data(),
                             none.data(), 4, hour, pack);
  const double C = 8.0 / 3.0;
  EXPECT_NEAR(s.packConcentration[1], C, 1e-12);
  EXPECT_NEAR(s.packWater, 7.5, 1e-12);
  const double expected[] = {0.0, 30.0 + 4.0 * C, 60.0 + 0.5 * C, 90.0};
  for (int i = 0; i <= 3; ++i) EXPECT_NEAR(s.mass(1)[i], expected[i], 1e-12) << "level " << i;
  EXPECT_NEAR(s.budget[1].directflow, 2.0 * C, 1e-12);
  EXPECT_NEAR(s.budget[1].interflow, 1.0 * C, 1e-12);
}

// The surface water mixes 2 mm of ponding at concentration 1 with 10 mm of
// input at 3; plants take 1 mm of it, with the tracer only when it
// evaporates. Macropores (2 mm into layer 2), infiltration (5 mm), runoff
// (3 mm) and the ponding left (1 mm) take the mixture; side outflows take
// the concentration of their layer, the river brings its own.
TEST(SoluteTransport, SurfaceAndSideFlowsTakeTheirShares) {
  for (bool evaporating : {false, true}) {
    SCOPED_TRACE(evaporating ? "evaporating" : "staying");
    ColumnRig rig(soilOf(siltLoamSoil, 3, 0.1), 0.5);
    SoilColumn& c = rig.solver.column;
    for (int i = 1; i <= 3; ++i) {
      c.theta0[i] = 0.3;
      c.riverExfiltration[i] = c.riverInfiltration[i] = c.lateral[i] = c.extraction[i] = 0.0;
    }
    c.q[0] = -5.0 / 1000.0 / hour; // the 5 mm infiltrating
    c.q[1] = c.q[2] = c.q[3] = 0.0;
    c.lateral[1] = 1e-7;           // 0.36 mm of interflow
    c.extraction[1] = 1e-7 + 2e-7; // and 0.72 mm taken by roots
    std::vector<double> baseflow(5, 0.0);
    baseflow[3] = 5e-8; // 0.18 mm
    c.extraction[3] = 5e-8;
    c.riverExfiltration[3] = 1e-7; // 0.36 mm to the river
    c.riverInfiltration[2] = 2e-7; // 0.72 mm from it at concentration 5
    for (int i = 1; i <= 3; ++i) c.theta[i] = c.theta0[i];
    ColumnSolutes s(3, 1);
    s.bind(1, 3);
    s.properties[1] = SoluteProperties{0.0, evaporating, 1.0};
    s.inputConcentration[1] = 3.0;
    s.riverConcentration[1] = 5.0;
    s.beginSubstep();
    const double start[] = {2.0, 30.0, 60.0, 90.0};
    std::copy(start, start + 4, s.mass(1));
    std::vector<double> macropores(5, 0.0);
    macropores[2] = 2.0;
    const SurfaceWater surface{2.0, 10.0, 1.0, 2.0, 5.0, 3.0, 0.0, 1.0};
    s.transportSolutesInColumn(c, surface, macropores.data(), baseflow.data(), 4, hour);

    const double surfaceMass = evaporating ? 32.0 * 11.0 / 12.0 : 32.0;
    const double mix = surfaceMass / 11.0;
    const SoluteBudget& b = s.budget[1];
    EXPECT_NEAR(b.input, 30.0, 1e-12);
    EXPECT_NEAR(b.directflow, 3.0 * mix, 1e-12);
    EXPECT_NEAR(b.river, 0.72 * 5.0, 1e-12);
    EXPECT_NEAR(b.interflow, 0.36 * 1.0, 1e-12);
    EXPECT_NEAR(b.baseflow, 0.18 * 3.0, 1e-12);
    EXPECT_NEAR(b.exfiltration, 0.36 * 3.0, 1e-12);
    EXPECT_NEAR(b.evaporated, evaporating ? 32.0 / 12.0 + 0.72 : 0.0, 1e-12);
    EXPECT_NEAR(s.mass(1)[0], 1.0 * mix, 1e-12);
    EXPECT_NEAR(s.mass(1)[1], 30.0 + 5.0 * mix - 0.36 - (evaporating ? 0.72 : 0.0), 1e-12);
    EXPECT_NEAR(s.mass(1)[2], 60.0 + 2.0 * mix + 3.6, 1e-12);
    EXPECT_NEAR(s.mass(1)[3], 90.0 - 0.54 - 1.08, 1e-12);
    EXPECT_NEAR(total(s, 1, 3) - 182.0, net(b), 1e-12);
  }
}

// The surface's water as the solver books it, rounding included: the
// ponding left keeps the mixture's concentration however little of it
// there is (here 2.2e-16 mm), and where the infiltration took more than the
// surface held the pond is empty and the soil gets the surface's mass.
TEST(SoluteTransport, PondingLeftKeepsTheMixturesConcentration) {
  struct Case {
    const char* name;
    double ponding, pondConcentration, input, inputConcentration, macropores, infiltration,
        maxPonding;
  };
  const Case cases[] = {
      {"a pond of rounding", 1.1, 2.0, 1.0, 4.0, 0.9, 1.2, 10.0},
      {"a full pond and runoff", 2.0, 1.0, 10.0, 4.0, 0.0, 5.0, 3.0},
      {"infiltration beyond the water", 0.1, 2.0, 0.2, 4.0, 0.0, 0.31, 10.0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ColumnRig rig(soilOf(siltLoamSoil, 3, 0.1), 0.5);
    SoilColumn& c = rig.solver.column;
    for (int i = 0; i <= 3; ++i) {
      c.theta0[i] = c.theta[i] = 0.3;
      c.q[i] = c.lateral[i] = c.extraction[i] = c.riverInfiltration[i] = c.riverExfiltration[i] = 0.0;
    }
    c.q[0] = -k.infiltration / 1000.0 / hour;
    // The solver's own order of sums.
    const double supply = std::max(0.0, k.ponding + k.input - k.macropores);
    const double excess = std::max(0.0, supply - k.infiltration);
    const double left = std::min(excess, k.maxPonding);
    const double runoff = excess - left;
    ColumnSolutes s(3, 1);
    s.bind(1, 3);
    s.properties[1] = SoluteProperties{};
    s.inputConcentration[1] = k.inputConcentration;
    s.beginSubstep();
    const double start[] = {k.ponding * k.pondConcentration, 30.0, 60.0, 90.0};
    std::copy(start, start + 4, s.mass(1));
    std::vector<double> macropores(5, 0.0);
    macropores[1] = k.macropores;
    const std::vector<double> none(5, 0.0);
    const SurfaceWater surface{k.ponding, k.input, 0.0,    k.macropores,
                               k.infiltration, runoff, 0.0, left};
    s.transportSolutesInColumn(c, surface, macropores.data(), none.data(), 4, hour);

    const double surfaceMass = start[0] + k.input * k.inputConcentration;
    const double mixture = surfaceMass / (k.ponding + k.input);
    const double pond = s.mass(1)[0];
    EXPECT_GE(pond, 0.0);
    if (left > 0.0)
      EXPECT_NEAR(pond / left, mixture, 1e-9 * mixture);
    else
      EXPECT_EQ(pond, 0.0);
    EXPECT_NEAR(s.mass(1)[1] - 30.0 + s.budget[1].directflow, surfaceMass - pond, 1e-12);
    EXPECT_NEAR(total(s, 1, 3) - 180.0 - start[0], net(s.budget[1]), 1e-12);
  }
}

// A drying column without any way out keeps its tracer; with rain carrying
// a tracer, transpiration, interflow with the drains' water, baseflow, macropores and a
// river that gives and takes, also through three days of frost and a thaw,
// the mass of every sub-step changes by what came in less what went out; a
// decaying tracer loses its factor per sub-step.
TEST(SoluteTransport, SubstepsKeepTheTracerMass) {
  {
    SCOPED_TRACE("closed column");
    ColumnRig rig(soilOf(siltLoamSoil, 30, 0.1), 2.5, 1, 1);
    rig.fill(0.33);
    ColumnSolutes& s = rig.solver.solutes;
    s.bind(1, 30);
    s.properties[1] = SoluteProperties{};
    for (int i = 1; i <= 30; ++i) s.mass(1)[i] = 10.0 + i;
    const double start = total(s, 1, 30);
    for (int step = 0; step < 48; ++step) rig.step(ColumnForcing{});
    EXPECT_NEAR(total(s, 1, 30), start, 1e-12 * start);
    // The saturated zone holds one concentration.
    const int g = static_cast<int>(rig.table.level);
    const double concentration = s.mass(1)[g] / (rig.theta(g) * 100.0);
    for (int i = g + 1; i <= 30; ++i)
      EXPECT_NEAR(s.mass(1)[i] / (rig.theta(i) * 100.0), concentration, 1e-12 * concentration);
  }
  const HeatModelSettings heatModel = heatWithWaterFlow();
  for (bool frost : {false, true}) {
    SCOPED_TRACE(frost ? "river cell with frost" : "river cell");
    RiverColumnRig riverCell(3, 3);
    ColumnRig& rig = riverCell.rig;
    ColumnForcing& forcing = riverCell.forcing;
    RiverOffer& offer = riverCell.offer;
    HeatForcing heat;
    if (frost) addHeatModel(riverCell, heatModel, heat, 1.0);
    const int tracers = 3;
    ColumnSolutes& s = rig.solver.solutes;
    s.bind(tracers, 12);
    // A staying, an evaporating and a decaying tracer.
    s.properties[1] = SoluteProperties{};
    s.properties[2] = SoluteProperties{0.0, true, 1.0};
    s.properties[3] = SoluteProperties{0.0, false, 0.9};
    for (int t = 1; t <= tracers; ++t) {
      s.inputConcentration[static_cast<size_t>(t)] = 2.0 * t;
      s.riverConcentration[static_cast<size_t>(t)] = 0.5 * t;
      for (int i = 1; i <= 12; ++i) s.mass(t)[i] = rig.theta(i) * 250.0 * t;
    }
    SoluteBudget sums[4];
    for (int step = 0; step < 168; ++step) {
      forcing.input = step % 24 < 2 ? 20.0 : 0.0;
      offer.cell.discharge = step < 72 ? 20.0 : 0.2;
      offer.available = 1.0;
      heat.airTemperature = heat.boundary.source = step < 72 ? -10.0 : 5.0;
      double before[4];
      for (int t = 1; t <= tracers; ++t) before[t] = total(s, t, 12);
      const ColumnBudget b = rig.step(forcing);
      for (int t = 1; t <= tracers; ++t) {
        const SoluteBudget& m = s.budget[static_cast<size_t>(t)];
        EXPECT_NEAR(m.input, forcing.input * 2.0 * t, 1e-12);
        EXPECT_NEAR(m.river, b.riverInfiltration * 0.5 * t, 1e-12);
        EXPECT_NEAR(total(s, t, 12) - before[t], net(m), 1e-12 * before[t])
            << "sub-step " << step << " tracer " << t;
        for (int i = 0; i <= 12; ++i) EXPECT_GE(s.mass(t)[i], -1e-12) << i;
        for (double SoluteBudget::*f :
             {&SoluteBudget::directflow, &SoluteBudget::interflow, &SoluteBudget::baseflow,
              &SoluteBudget::exfiltration, &SoluteBudget::evaporated, &SoluteBudget::decayed})
          sums[t].*f += m.*f;
      }
      if (step == 0) {
        // The decay factor applies once per sub-step.
        EXPECT_NEAR(s.budget[3].decayed, (total(s, 3, 12)) / 0.9 * 0.1, 1e-12 * before[3]);
      }
    }
    for (double SoluteBudget::*f : {&SoluteBudget::directflow, &SoluteBudget::interflow,
                                    &SoluteBudget::baseflow, &SoluteBudget::exfiltration})
      EXPECT_GT(sums[1].*f, 0.0);
    EXPECT_EQ(sums[1].evaporated, 0.0);
    EXPECT_GT(sums[2].evaporated, 0.0);
    EXPECT_GT(sums[3].decayed, 0.0);
  }
}

// A pulse of tracer in a day of rain on a column over an aquifer of 500 mm
// of water without tracer: in every sub-step the mass in the column and the
// aquifer changes by what came in less what left with the runoff, the
// baseflow and the plants.
TEST(SoluteTransport, PulseThroughSoilAndAquiferKeepsItsMass) {
  ColumnRig rig(soilOf(siltLoamSoil, 20, 0.1), 1.2, 1, 1);
  ColumnForcing forcing;
  forcing.maxBaseflow = 0.5;
  forcing.recession = 1.0;
  ColumnSolutes& s = rig.solver.solutes;
  s.bind(1, 20);
  s.properties[1] = SoluteProperties{0.0, true, 1.0};
  s.aquiferWater = 500.0;
  s.aquiferConcentration[1] = 0.0;
  auto mass = [&] { return total(s, 1, 20) + s.aquiferConcentration[1] * s.aquiferWater; };
  double left = 0.0;
  for (int step = 0; step < 96; ++step) {
    forcing.input = step < 24 ? 2.0 : 0.0;
    s.inputConcentration[1] = step < 24 ? 5.0 : 0.0;
    const double before = mass();
    rig.step(forcing);
    EXPECT_NEAR(mass() - before, net(s.budget[1]), 1e-9) << "sub-step " << step;
    left += net(s.budget[1]) - s.budget[1].input;
  }
  EXPECT_NEAR(mass() - left, 24 * 2.0 * 5.0, 1e-9);
  EXPECT_GT(s.aquiferConcentration[1], 0.0);
}

// Steady rain of a tenth of K_s down to a table at 2.2 m: a pulse of tracer
// in one hour's rain leaves the top 0.5 m with the mean delay of the water
// those layers hold over the flux, sum theta d / q, within one layer's
// travel time.
TEST(SoluteTransport, PulseTravelsWithTheWater) {
  VanGenuchten soilType = siltLoamSoil;
  soilType.ksat = 1e-5;
  const double rain = 0.1 * soilType.ksat;
  ColumnRig rig(soilOf(soilType, 50, 0.05), 2.2, 1, 1);
  ColumnForcing forcing;
  forcing.input = rain * hour * 1000.0;
  forcing.maxBaseflow = forcing.input * std::exp(2.2);
  forcing.recession = 1.0;
  // Until the tracer falls, the solver carries none.
  rig.solver.solutes.bind(0, 50);
  for (int step = 0; step < 800; ++step) rig.step(forcing);
  const int depth = 10;
  double held = 0.0;
  for (int i = 1; i <= depth; ++i) held += rig.theta(i) * 0.05;
  ASSERT_NEAR(rig.flux(depth), -rain, 1e-3 * rain);

  ColumnSolutes& s = rig.solver.solutes;
  s.bind(1, 50);
  s.properties[1] = SoluteProperties{};
  s.inputConcentration[1] = 1.0;
  const double pulse = forcing.input;
  auto above = [&] {
    double m = s.mass(1)[0];
    for (int i = 1; i <= depth; ++i) m += s.mass(1)[i];
    return m;
  };
  double moment = 0.0;
  double arrived = 0.0;
  double last = 0.0;
  for (int step = 1; step <= 300; ++step) {
    rig.step(forcing);
    s.inputConcentration[1] = 0.0;
    const double now = above();
    // The pulse fell during the first hour: times from its middle.
    if (step > 1) {
      moment += (last - now) * (step - 0.5) * hour;
      arrived += last - now;
    }
    last = now;
  }
  EXPECT_NEAR(arrived, pulse, 1e-3 * pulse);
  const double layerTime = rig.theta(depth) * 0.05 / rain;
  EXPECT_NEAR(moment / arrived, held / rain, layerTime);
}
