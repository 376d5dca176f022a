// The bookkeeping of the snow layers on a soil column and the temperature
// at the surface of the pack, against values computed by hand.

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "config/soil_class.h"
#include "soil/column_solver.h"
#include "soil/snow_layers.h"
#include "tests/soil/heat_fixture.h"

namespace {

// Three layers of nominal thickness 0.05 m and density 100 kg/m^3.
soil_class snowType() {
  soil_class type;
  parseSoilEntry(type, nullptr,
                 "method = MultipleHorizons; layers = 3;" + perLayer(3, "thickness", 0.05) +
                     perLayer(3, "ksat", 1e-4) + perLayer(3, "theta_sat", 0.9) +
                     perLayer(3, "theta_res", 0.02) + perLayer(3, "alpha", 5.0) +
                     perLayer(3, "Par_n", 2.0) + perLayer(3, "DensityDry", 100.0) + "}",
                 "MultipleHorizons");
  return type;
}

// A layer by its ice and liquid (mm), thickness (m) and temperature.
struct LayerValues {
  double ice, liquid, thickness, temperature;
};
constexpr LayerValues none{-9999.0, -9999.0, -9999.0, -9999.0};

struct Pack {
  explicit Pack(const std::array<LayerValues, 3>& layers) : storage(10 * 4, -9999.0) {
    double* next = storage.data();
    for (double** a : {&p.ice, &p.liquid, &p.thickness, &p.theta, &p.liquidFraction, &p.density,
                       &p.suction, &p.temperature, &p.previousIce, &p.previousTheta}) {
      *a = next;
      next += 4;
    }
    p.layers = 3;
    for (int k = 1; k <= 3; ++k) {
      const LayerValues& l = layers[static_cast<size_t>(k - 1)];
      if (l.ice < 0.0) continue;
      const double water = l.ice + l.liquid;
      p.ice[k] = l.ice;
      p.liquid[k] = l.liquid;
      p.thickness[k] = l.thickness;
      p.theta[k] = p.density[k] = water / (l.thickness * 1000.0);
      p.liquidFraction[k] = l.liquid / water;
      p.temperature[k] = l.temperature;
      p.previousIce[k] = l.ice;
      p.previousTheta[k] = p.theta[k];
    }
  }
  double water() const {
    double sum = 0.0;
    for (int k = 1; k <= 3; ++k)
      if (p.inUse(k)) sum += p.ice[k] + p.liquid[k];
    return sum;
  }
  std::vector<double> storage;
  SnowPack p;
};

} // namespace

// A layer of at most 0.05 mm of ice leaves the pack with its water; liquid
// above a tenth of the ice runs out and the layer shrinks with its water;
// a layer lighter than 0.8 of the nominal density is compacted to it, and
// when that leaves it thinner than a quarter of the nominal thickness it
// joins the layer above at the heat-capacity-weighted temperature. The
// water of the pack falls by what is released, no more.
TEST(SnowLayers, UpdateRemovesReleasesCompactsAndMerges) {
  struct Case {
    const char* what;
    std::array<LayerValues, 3> layers;
    double released;
    std::array<LayerValues, 3> expected; // temperature -9999: not checked
  };
  const std::vector<Case> cases = {
      {"thin ice",
       {none, LayerValues{0.04, 0.5, 0.0054, -1.0}, LayerValues{5.0, 0.2, 0.05, -2.0}},
       0.54,
       {none, none, LayerValues{5.0, 0.2, 0.05, -2.0}}},
      {"thin ice over a thick layer",
       {none, LayerValues{0.05, 0.0, 0.001, -1.0}, LayerValues{8.0, 0.0, 0.08, -2.0}},
       0.05,
       {none, LayerValues{4.0, 0.0, 0.04, -2.0}, LayerValues{4.0, 0.0, 0.04, -2.0}}},
      {"liquid above the holding capacity",
       {none, none, LayerValues{10.0, 2.0, 0.12, 0.0}},
       1.0,
       {none, none, LayerValues{10.0, 1.0, 0.11, 0.0}}},
      {"light layer",
       {none, none, LayerValues{4.0, 0.0, 0.08, -3.0}},
       0.0,
       {none, none, LayerValues{4.0, 0.0, 0.04, -3.0}}},
      {"thin layer",
       {none, LayerValues{2.0, 0.0, 0.02, -4.0}, LayerValues{1.0, 0.1, 0.03, -1.0}},
       0.0,
       {none, none, LayerValues{3.0, 0.1, 0.031, -2.8753627933975325}}},
  };
  const soil_class type = snowType();
  SnowLayerConstants constants;
  constants.suctionFactor = clausiusClapeyron;
  constants.iceCapacity = 2100.0;
  constants.waterCapacity = 4187.0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pack pack(c.layers);
    const double before = pack.water();
    EXPECT_NEAR(updateSnowLayers(type, constants, pack.p), c.released, 1e-12);
    EXPECT_NEAR(before - pack.water(), c.released, 1e-12);
    for (int k = 1; k <= 3; ++k) {
      const LayerValues& e = c.expected[static_cast<size_t>(k - 1)];
      SCOPED_TRACE(k);
      if (e.ice < 0.0) {
        EXPECT_FALSE(pack.p.inUse(k));
        EXPECT_EQ(pack.p.thickness[k], -9999.0);
        continue;
      }
      ASSERT_TRUE(pack.p.inUse(k));
      EXPECT_NEAR(pack.p.ice[k], e.ice, 1e-12);
      EXPECT_NEAR(pack.p.liquid[k], e.liquid, 1e-12);
      EXPECT_NEAR(pack.p.thickness[k], e.thickness, 1e-12);
      EXPECT_NEAR(pack.p.theta[k], (e.ice + e.liquid) / (e.thickness * 1000.0), 1e-12);
      EXPECT_NEAR(pack.p.temperature[k], e.temperature, 1e-12);
    }
    EXPECT_EQ(pack.p.top(), c.expected[1].ice < 0.0 ? 3 : 2);
  }
}

// Without energy input a cold snow surface gives its own temperature, at
// least 13 K below the air; otherwise the top layer's. With input the
// layers' mean warms by the input over the layers, within [0, air + 13];
// a single layer takes no more than what melts it in the step.
TEST(SnowTopTemperature, FollowsTheEnergyBalance) {
  struct Case {
    const char* what;
    double kelvin, balance, air;
    std::array<double, 2> t, ice, liquid;
    double thickness, lambda;
    double temperature, nFactor, limited;
  };
  const std::vector<Case> cases = {
      {"cold surface", 265.0, 0.0, -5.0, {-3, -3}, {10, 0}, {0, 0}, 0.1, 0.1, -8.16, 0.7, 0.0},
      {"very cold surface", 250.0, 0.0, -5.0, {-3, -3}, {10, 0}, {0, 0}, 0.1, 0.1, -18.0, 0.7, 0.0},
      {"loss", 270.0, -20.0, -5.0, {-3, -4}, {10, 5}, {0, 0}, 0.1, 0.1, -3.0, 1.0, -20.0},
      {"surface at melting point",
       273.16,
       0.0,
       2.0,
       {-1, -4},
       {10, 5},
       {0, 0},
       0.1,
       0.1,
       -1.0,
       1.0,
       0.0},
      {"melt over two layers",
       273.16,
       5.0,
       0.0,
       {-2, -4},
       {10, 20},
       {0, 1},
       0.2,
       0.1,
       1.6251209311325105,
       1.3,
       5.0},
      {"melt in a cold air",
       273.16,
       5.0,
       -20.0,
       {-2, -4},
       {10, 20},
       {0, 1},
       0.2,
       0.1,
       0.0,
       1.3,
       5.0},
      {"melt of a single layer",
       273.16,
       200.0,
       5.0,
       {-1, 0},
       {1, 0},
       {0, 0},
       0.1,
       0.1,
       18.0,
       1.3,
       94.33333333333333},
  };
  HeatModelSettings heat = heatSettings(11);
  heat.nFactorFreezing = 0.7;
  heat.nFactorThawing = 1.3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SnowTopTemperature t =
        snowTopTemperature(SnowSurface{true, c.kelvin, c.balance}, c.air, c.t.data(), c.ice.data(),
                           c.liquid.data(), c.thickness, c.lambda, 3600.0, heat, 2100.0, 4187.0);
    EXPECT_NEAR(t.temperature, c.temperature, 1e-9);
    EXPECT_EQ(t.nFactor, c.nFactor);
    EXPECT_NEAR(t.energyBalance, c.limited, 1e-9);
  }
}
