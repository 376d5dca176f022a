#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "config/soil_class.h"
#include "tests/test_support.h"

namespace {

struct Layer {
  double thetaSat, thetaRes, alpha, n;

  double m() const { return 1.0 - 1.0 / n; }
  double theta(double suction) const {
    return thetaRes + (thetaSat - thetaRes) * std::pow(1.0 + std::pow(alpha * suction, n), -m());
  }
  // Mualem's conductivity, closed form.
  double krel(double theta) const {
    const double se = (theta - thetaRes) / (thetaSat - thetaRes);
    const double open = 1.0 - std::pow(1.0 - std::pow(se, 1.0 / m()), m());
    return std::sqrt(se) * open * open;
  }
};

const std::vector<Layer> layers = {
    {0.45, 0.05, 2.0, 1.5}, {0.38, 0.02, 5.0, 2.5}, {0.50, 0.10, 0.5, 1.15}};

soil_class threeLayerSoil(const std::string& extra = "") {
  soil_class soil;
  parseSoilEntry(soil, nullptr,
                 "method = MultipleHorizons; layers = 3; thickness = 0.2 0.3 0.5; "
                 "ksat = 1e-5 1e-4 1e-6; theta_sat = 0.45 0.38 0.50; "
                 "theta_res = 0.05 0.02 0.10; alpha = 2 5 0.5; Par_n = 1.5 2.5 1.15; " +
                     extra + "}",
                 "MultipleHorizons");
  return soil;
}

} // namespace

// Retention, inverse and conductivity within 0.1 % of the closed form at 20
// suctions per layer from 1 cm to 1000 m; field capacity at 3.45 m.
TEST(SoilRecord, TablesFollowTheClosedForm) {
  const soil_class soil = threeLayerSoil();
  for (int k = 1; k <= 3; ++k) {
    const Layer& l = layers[k - 1];
    EXPECT_DOUBLE_EQ(soil.getPar_m(k), l.m());
    for (int i = 0; i < 20; ++i) {
      const double suction = std::pow(10.0, -2.0 + 5.0 * i / 19.0);
      const double theta = l.theta(suction);
      EXPECT_NEAR(soil.thetaFromSuction(k, suction) / theta, 1.0, 1e-3)
          << "layer " << k << ", suction " << suction;
      EXPECT_NEAR(soil.suctionFromTheta(k, theta) / suction, 1.0, 1e-3)
          << "layer " << k << ", theta " << theta;
      EXPECT_NEAR(soil.krelFromTheta(k, theta, l.thetaSat) / l.krel(theta), 1.0, 1e-3)
          << "layer " << k << ", theta " << theta;
    }
    EXPECT_NEAR(soil.thetaFromSuction(k, 3.45) / l.theta(3.45), 1.0, 1e-3) << "field capacity";
  }
}

TEST(SoilRecord, LookupsHoldAtAndBeyondTheTableEnds) {
  const soil_class soil = threeLayerSoil();
  for (int k = 1; k <= 3; ++k) {
    const Layer& l = layers[k - 1];
    EXPECT_EQ(soil.thetaFromSuction(k, 0.0), l.thetaSat);
    EXPECT_EQ(soil.thetaFromSuction(k, -1.0), l.thetaSat);
    EXPECT_EQ(soil.suctionFromTheta(k, l.thetaSat), 0.0);
    EXPECT_EQ(soil.suctionFromTheta(k, l.thetaSat + 0.05), 0.0);
    EXPECT_EQ(soil.krelFromTheta(k, l.thetaSat, l.thetaSat + 0.1), 1.0);

    // The driest row: every lower water content gives its suction and
    // conductivity, every higher suction its water content.
    const double driest = soil.thetaFromSuction(k, 1.0e9);
    EXPECT_EQ(soil.thetaFromSuction(k, 1.0e5), driest);
    EXPECT_GT(driest, l.thetaRes);
    const double lastSuction = soil.suctionFromTheta(k, driest);
    EXPECT_LE(lastSuction, 1.0e5);
    EXPECT_GT(lastSuction, 1.0e3);
    EXPECT_EQ(soil.suctionFromTheta(k, l.thetaRes), lastSuction);
    EXPECT_EQ(soil.suctionFromTheta(k, 0.0), lastSuction);
    const double lastKrel = soil.krelFromTheta(k, driest, driest);
    EXPECT_EQ(soil.krelFromTheta(k, l.thetaRes, l.thetaSat), lastKrel);
    EXPECT_GE(lastKrel, 0.0);
    EXPECT_LT(lastKrel, 1e-6);

    // The smaller of the two water contents counts, in either order.
    const double wet = l.theta(0.5);
    const double dry = l.theta(20.0);
    EXPECT_EQ(soil.krelFromTheta(k, wet, dry), soil.krelFromTheta(k, dry, wet));
    EXPECT_EQ(soil.krelFromTheta(k, wet, dry), soil.krelFromTheta(k, dry, dry));
    EXPECT_LT(soil.krelFromTheta(k, dry, dry), soil.krelFromTheta(k, wet, wet));
  }
}

TEST(SoilRecord, ThicknessScalingEntersTheTotalDepthOnce) {
  const soil_class plain = threeLayerSoil();
  EXPECT_DOUBLE_EQ(plain.getTotalDepth(), 1.0);
  const soil_class scaled = threeLayerSoil("ThicknessScaling = 1.5;");
  EXPECT_DOUBLE_EQ(scaled.getTotalDepth(), 1.5);
  EXPECT_DOUBLE_EQ(scaled.getThickness(3), 0.75);
  EXPECT_EQ(scaled.getThicknessScaling(), 1.0);
  double byFactor = 0.0;
  for (int k = 1; k <= scaled.getLayerCount(); ++k)
    byFactor += scaled.getThickness(k) * scaled.getThicknessScaling();
  EXPECT_DOUBLE_EQ(byFactor, 1.5) << "a reader that applies the factor gets the same depth";

  const soil_class empty;
  EXPECT_EQ(empty.getCode(), 0);
  EXPECT_EQ(empty.getLayerCount(), 0);
  EXPECT_EQ(empty.getTotalDepth(), 0.0);
}

// Layer 1 at -0.1 degrees C holds liquid only up to the water content at
// 125 m/K * 0.1 K = 12.5 m suction; layer 2 is above freezing; layer 3 is
// frozen but drier than its unfrozen water content.
TEST(SoilRecord, UnfrozenWaterAndHeatCapacityOfFrozenAndUnfrozenLayers) {
  soil_class soil = threeLayerSoil("HeatCapacityDry = 800 850 900; DensityDry = 1500 1600 1300;"
                                   "DryThermalConduct = 2.5 3 2;");
  const double factor = 125.0;
  for (int k = 1; k <= 3; ++k) soil.buildFreezingCurveTables(factor, k);
  const double temperature[4] = {0.0, -0.1, 2.0, -0.05};
  const double theta[4] = {0.0, 0.40, 0.30, layers[2].theta(100.0)};
  double unfrozen[4] = {};
  double slope[4] = {};
  soil.getUnfrozenWater(1, temperature, theta, unfrozen, slope);

  const double liquid = layers[0].theta(12.5);
  EXPECT_NEAR(unfrozen[1] / (liquid / 0.40), 1.0, 1e-3);
  const double dTheta =
      (layers[0].theta(12.5 * 0.999) - layers[0].theta(12.5 * 1.001)) / (2 * 0.001 * 12.5) * factor;
  // The slope of a table segment, which spans 4 % of the suction.
  EXPECT_NEAR(slope[1] / (dTheta / 0.40), 1.0, 0.05) << "unfrozen fraction per K";
  EXPECT_EQ(unfrozen[2], 1.0);
  EXPECT_EQ(slope[2], 0.0);
  EXPECT_EQ(unfrozen[3], 1.0);
  EXPECT_EQ(slope[3], 0.0);

  const SoilHeatConstants constants{4.187e6, 1.9e6};
  double capacity[4] = {};
  soil.getHeatCapacity(constants, 1, capacity, theta, unfrozen);
  EXPECT_NEAR(capacity[1], 800.0 * 1500.0 + liquid * 4.187e6 + (0.40 - liquid) * 1.9e6,
              1e-3 * capacity[1]);
  EXPECT_DOUBLE_EQ(capacity[2], 850.0 * 1600.0 + 0.30 * 4.187e6);

  soil.cacheConductivityPowers(0.57);
  EXPECT_TRUE(soil.hasConductivityPowers());
  EXPECT_DOUBLE_EQ(soil.getSolidConductivityPower(2), std::pow(3.0, 1.0 - 0.38));
  EXPECT_DOUBLE_EQ(soil.getWaterConductivityPower(3), std::pow(0.57, 0.50));
}

TEST(SoilRecord, OnlyTheMultipleHorizonsSyntaxIsRead) {
  soil_class soil;
  EXPECT_EQ(exitCodeOf([&] {
              parseSoilEntry(soil, nullptr, "layers = 1; }", "OldStyle", "[LayeredSnowProperties]");
            }),
            52);
  EXPECT_EQ(exitCodeOf([&] { threeLayerSoil("method = OldStyle;"); }), 52);
}
