// The operations of one Richards iteration on a column, each against values
// computed by hand.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "soil/column_numerics.h"
#include "tests/soil/column_fixture.h"

namespace {

constexpr double nodata = -9999.0;

// A column of the soil whose table is given by height and layer, every
// layer at the water content given.
struct Column {
  Column(const soil_class& soilType, int tableLayer, double tableHeight, double water)
      : soil(soilType), column(soilType.getLayerCount()) {
    ColumnCell cell;
    cell.tableLevel = tableLayer;
    cell.tableHeight = tableHeight;
    column.bind(soil, soil.getLayerCount(), cell);
    column.z[0] = 0.0;
    for (int k = 1; k <= column.layers; ++k) {
      column.z[k] = column.z[k - 1] - soil.getThickness(k);
      column.theta0[k] = column.theta[k] = column.thetaMean[k] = water;
    }
  }
  double storage() const {
    double s = 0.0;
    for (int k = 1; k <= column.layers; ++k) s += column.theta[k] * column.d[k];
    return s;
  }
  const soil_class& soil;
  SoilColumn column;
};

soil_class layeredSoil() {
  soil_class soil;
  parseSoilEntry(soil, nullptr,
                 "method = MultipleHorizons; layers = 3; thickness = 0.1 0.3 0.3; "
                 "ksat = 1e-5 1e-6 1e-6; theta_sat = 0.45 0.45 0.45; theta_res = 0.067 0.067 "
                 "0.067; alpha = 2 2 2; Par_n = 1.41 1.41 1.41; theta_low = 0.1 0.1 0.1}",
                 "MultipleHorizons");
  return soil;
}

} // namespace

// q = -k (H_upper - H_lower) / ((d_upper + d_lower) / 2); below the table
// the interface takes the thickness-weighted harmonic mean.
TEST(ColumnNumerics, DarcyFluxAndHarmonicInterface) {
  EXPECT_DOUBLE_EQ(SoilColumn::darcyFlux(1e-5, 1.0, 0.5, 0.5, 0.5), -1e-5);
  const soil_class soil = layeredSoil();
  Column c(soil, 2, -0.1, 0.45);
  c.column.head[1] = -0.05;
  c.column.head[2] = c.column.head[3] = -0.1;
  c.column.computeLayerFluxes(0.0, 1.0);
  const double k = -c.column.q[1] * 0.2 / 0.05;
  EXPECT_NEAR(k, 1.290323e-6, 1e-12);
}

// The new water contents change the storage of the range by exactly what
// crosses its top and bottom less the extraction, and every layer by its own
// budget.
TEST(ColumnNumerics, WaterContentsFollowTheFluxes) {
  const soil_class soil = soilOf(siltLoamSoil, 6, 0.1);
  Column c(soil, 6, -0.5, 0.3);
  SoilColumn& s = c.column;
  const double dt = 600.0;
  const double fluxes[] = {-2e-6, -1.5e-6, -1e-6, 4e-7, -3e-7, 0.0, 0.0};
  const double extraction[] = {0.0, 1e-7, 0.0, 5e-8, 0.0, 2e-7, 0.0};
  for (int k = 0; k <= 6; ++k) {
    s.q[k] = fluxes[k];
    s.extraction[k] = extraction[k];
  }
  const double before = c.storage();
  const double largest = s.updateWaterContents(1, dt);
  double out = 0.0;
  double change = 0.0;
  for (int k = 1; k <= 6; ++k) {
    out += extraction[k];
    const double expected = 0.3 + (fluxes[k] - fluxes[k - 1] - extraction[k]) * dt / 0.1;
    EXPECT_NEAR(s.theta[k], expected, 1e-15) << k;
    EXPECT_NEAR(s.thetaMean[k], 0.5 * (0.3 + expected), 1e-15) << k;
    change = std::max(change, std::fabs(expected - 0.3));
  }
  EXPECT_NEAR(c.storage() - before, (fluxes[6] - fluxes[0] - out) * dt, 1e-16);
  EXPECT_NEAR(largest, change, 1e-15);
  EXPECT_EQ(s.clampedWater, 0.0);
}

// Fluxes and extraction that would overfill or empty layers are cut until
// every layer ends within [theta_low, theta_sat], in place and on copies
// alike.
TEST(ColumnNumerics, BalanceKeepsEveryLayerWithinItsBounds) {
  const soil_class soil = layeredSoil();
  const double dt = 3600.0;
  for (bool copies : {false, true}) {
    Column c(soil, 3, -0.7, 0.2);
    SoilColumn& s = c.column;
    s.theta0[1] = 0.44;
    s.theta0[2] = 0.11;
    s.q[0] = -5e-6; // overfills layer 1
    s.q[1] = -1e-7;
    s.q[2] = -2e-6; // drains layer 2 below its limit
    s.q[3] = 0.0;
    s.sink[2] = 1e-6;
    s.lateral[2] = 5e-7;
    if (copies)
      s.balanceFluxesOnCopies(10, dt);
    else
      s.balanceFluxesWithStorage(10, dt);
    for (int k = 1; k <= 3; ++k) {
      const double next = s.theta0[k] + (s.q[k] - s.q[k - 1] - s.extraction[k]) * dt / s.d[k];
      EXPECT_LE(next, s.thetaSat[k] + 1e-15) << k;
      EXPECT_GE(next, s.thetaLow[k] - 1e-15) << k;
    }
    // Only inflow was cut at the top, and interflow went before the sinks.
    EXPECT_NEAR(s.q[0], s.q[1] - (0.45 - 0.44) * 0.1 / dt, 1e-18);
    EXPECT_EQ(s.q[2], 0.0);
    EXPECT_EQ(s.lateral[2], 0.0);
    EXPECT_GT(s.extraction[2], 0.0);
  }
}

// Interflow leaves a layer only above the table, wetter than field
// capacity and over a layer that conducts less.
TEST(ColumnNumerics, InterflowNeedsWaterSlopeAndAnImpedingLayer) {
  struct Case {
    const char* what;
    double water;
    double ksatFactor; // of each layer to the one above
    int table;
    bool flows;
  };
  const Case cases[] = {{"wet over a less conductive layer", 0.44, 0.5, 5, true},
                        {"drier than field capacity", siltLoamSoil.theta(4.0), 0.5, 5, false},
                        {"no impeding layer", 0.44, 1.0, 5, false},
                        {"at the table", 0.44, 0.5, 1, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const soil_class soil = soilOf(siltLoamSoil, 5, 0.1, "", k.ksatFactor);
    Column c(soil, k.table, -0.5, k.water);
    c.column.cell.slopeTangent = 2.0; // counts as 1
    c.column.cell.channelDensity = 0.01;
    c.column.updateHydraulicHeads(true);
    c.column.computeLayerFluxes(0.0, 3600.0);
    const double krel = siltLoamSoil.conductivity(k.water) / siltLoamSoil.ksat;
    const double expected = k.flows ? krel * siltLoamSoil.ksat * 0.1 * 0.01 : 0.0;
    EXPECT_NEAR(c.column.lateral[1], expected, 2e-3 * expected + 1e-30);
  }
}

// Drains L apart take 2 k_rel k_s d / L from their layer (flow from both
// sides through its thickness d, 1/L metres of drain per square metre),
// never more than the layer holds above field capacity; their rate is
// part of the layer's interflow and is what the fluxes return.
TEST(ColumnNumerics, DrainsTakeTwoKdOverLFromTheirLayer) {
  const double ks = siltLoamSoil.ksat;
  const double fieldCapacity = siltLoamSoil.theta(3.45);
  struct Case {
    const char* what;
    double water;
    int table;
    double spacing;  // m
    double dt;       // s
    double expected; // m/s
  };
  const Case cases[] = {
      {"wet layer above the table", 0.44, 5, 20.0, 3600.0,
       2.0 * siltLoamSoil.conductivity(0.44) * 0.1 / 20.0},
      {"saturated layer under the table", 0.45, 2, 20.0, 3600.0, 2.0 * ks * 0.1 / 20.0},
      {"closer drains", 0.44, 5, 5.0, 3600.0, 2.0 * siltLoamSoil.conductivity(0.44) * 0.1 / 5.0},
      {"a step longer than the water above field capacity lasts", 0.44, 5, 20.0, 1e7,
       (0.44 - fieldCapacity) * 0.1 / 1e7},
      {"drier than field capacity", siltLoamSoil.theta(4.0), 5, 20.0, 3600.0, 0.0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const soil_class soil = soilOf(siltLoamSoil, 5, 0.1);
    Column c(soil, k.table, -0.1 * k.table + 0.05, k.water);
    c.column.cell.drainLayer = 3;
    c.column.cell.drainDistance = k.spacing;
    c.column.updateHydraulicHeads(true);
    const double drained = c.column.computeLayerFluxes(0.0, k.dt);
    EXPECT_NEAR(drained, k.expected, 2e-3 * k.expected + 1e-30);
    // No slope, no impeding layer: the drains are the layer's only interflow.
    EXPECT_DOUBLE_EQ(c.column.lateral[3], drained);
    for (int i : {1, 2, 4}) EXPECT_EQ(c.column.lateral[i], 0.0) << i;
  }
}

// With the ground frozen below a thaw depth within layer 1, the surface
// lets no more than the reduced conductivity through.
TEST(ColumnNumerics, ThawDepthAboveLayerOneCapsTheSurfaceFlux) {
  const soil_class soil = soilOf(siltLoamSoil, 4, 0.1);
  for (const double thaw : {0.05, 0.25}) {
    Column c(soil, 4, -0.3, 0.3);
    c.column.cell.thawDepth = thaw;
    c.column.bind(soil, 4, c.column.cell);
    c.column.updateHydraulicHeads(true);
    c.column.computeLayerFluxes(1e-5, 60.0);
    EXPECT_EQ(c.column.q[0], thaw < 0.1 ? -1e-9 : -1e-5) << thaw;
  }
}

// Root weights f (1 - x)(1 + b x) shared out over the root zone; unstressed
// layers take c T_p between them, every layer stops at its lower limit.
TEST(ColumnNumerics, RootUptakeSharesTheDemandAndStopsAtTheLowerLimit) {
  const soil_class soil = soilOf(siltLoamSoil, 4, 0.5, "theta_low = 0.1 0.1 0.1 0.1;");
  const double demand = 1e-7;
  const double dt = 3600.0;
  struct Case {
    const char* what;
    double water;
    double uptake[3]; // layers 1 and 2, by hand
    double evaporation;
  };
  // b = 0, R = 1 m over two layers of 0.5 m: weights 0.5 * 0.75 and
  // 0.5 * 0.25, i.e. 0.75 and 0.25 of c T_p.
  const Case cases[] = {{"unstressed", 0.35, {0.0, 0.75 * 0.8 * demand, 0.25 * 0.8 * demand}, 0.0},
                        {"at the lower limit", 0.1, {0.0, 0.0, 0.0}, 0.0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Column c(soil, 4, -1.5, k.water);
    SoilColumn& s = c.column;
    for (int i = 0; i <= 5; ++i) s.uptake[i] = s.evaporation[i] = 0.0;
    std::vector<double> layerUptake(6, 0.0);
    double root = 1.0;
    const int count = s.computeRootWaterUptake(0.0, 100.0, 0.95, 0.5, 2e-8, dt, 0.1, root, 0.8,
                                               demand, layerUptake.data());
    EXPECT_EQ(count, 3); // the root zone ends 1e-5 m into layer 3
    EXPECT_NEAR(layerUptake[1], k.uptake[1], 1e-9 * demand);
    EXPECT_NEAR(layerUptake[2], k.uptake[2], 1e-9 * demand);
    EXPECT_NEAR(layerUptake[1] + layerUptake[2] + layerUptake[3], k.uptake[1] + k.uptake[2],
                1e-9 * demand);
    if (k.water <= 0.1)
      EXPECT_EQ(s.evaporation[1], 0.0);
    else
      EXPECT_GT(s.evaporation[1], 0.0);
  }
}

// The water of a depth range: special cases and layer overlaps.
TEST(ColumnNumerics, WaterInDepthRange) {
  const double d[] = {0.0, 0.1, 0.2, 0.3};
  const double sat[] = {0.0, 0.4, 0.5, 0.5};
  const double theta[] = {0.0, 0.2, 0.25, 0.4};
  struct Case {
    double top, bottom;
    int mode;
    double expected;
  };
  const Case cases[] = {
      {0.0, 0.0, 1, nodata},                             // bottom at the surface
      {-0.001, 0.2, 1, nodata},                          // top above it
      {0.0, 9999.0, 1, 0.02 + 0.05 + 0.12 - 0.4 * 1e-8}, // the whole column
      {0.0, 5.0, 0, (0.05 + 0.1 + 0.24 - 0.8e-8) / (0.6 - 1e-8)},
      {0.15, 0.15 + 1e-9, 1, 1.0},  // no range
      {0.12, 0.18, 1, 0.25 * 0.06}, // inside one layer
      {0.12, 0.18, 0, 0.5},
      {0.05, 0.2, 1, 0.2 * 0.05 + 0.25 * 0.1},
  };
  for (const Case& c : cases)
    EXPECT_NEAR(waterInDepthRange(c.top, c.bottom, 3, d, sat, theta, c.mode, nodata), c.expected,
                1e-12)
        << c.top << " " << c.bottom << " mode " << c.mode;
}
