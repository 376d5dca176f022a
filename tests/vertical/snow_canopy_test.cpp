#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "vertical/snow_canopy.h"

using S = SnowCanopyState;

// Values worked out by hand from the formulas (sigma = 5.67e-8).
TEST(CanopyPhysics, GivesTheHandComputedFormulas) {
  struct Case {
    const char* what;
    double value, expected, tolerance;
  };
  double snow = 0.0, rain = 0.0, coldSnow = 0.0, coldRain = 0.0, warmSnow = 0.0, warmRain = 0.0;
  splitRainSnow(snow, rain, 0.5, 0.0, 1.0, 10.0);
  splitRainSnow(coldSnow, coldRain, 0.0, 0.0, 0.0, 4.0); // no transition: T0R itself is snow
  splitRainSnow(warmSnow, warmRain, 0.01, 0.0, 0.0, 4.0);
  const std::vector<Case> cases = {
      {"snow at a quarter of the transition", snow, 2.5, 1e-12},
      {"rain at a quarter of the transition", rain, 7.5, 1e-12},
      {"snow at T0R without transition", coldSnow, 4.0, 0.0},
      {"rain above T0R without transition", warmRain, 4.0, 0.0},
      {"no snow above T0R without transition", warmSnow, 0.0, 0.0},
      {"clear-sky longwave at 0 C, saturated", incomingLongwave(273.15, 100, 0, 0), 231.5552, 1e-4},
      {"longwave at 10 C, half cloudy", incomingLongwave(283.15, 50, 0, 0.5), 278.8050, 1e-4},
      {"aerodynamic resistance at 2 m/s", aerodynamicResistance(10, 2), 11.39126, 1e-5},
      {"aerodynamic resistance in calm air", aerodynamicResistance(10, 0), 2278.2516, 1e-4},
      {"wind at the canopy", windAtCanopy(1, 10), 1.044674, 1e-6},
      {"shortwave absorbed", canopyShortwaveAbsorbed(4, 500, 0.1, 0.75), 418.8729, 1e-4},
      {"heat stored for 1 K", canopyHeatStorage(274.15, 273.15, 4, 10, 3600), 13.3, 1e-9},
      {"neutral exchange", neutralExchange(10), 0.0255788, 1e-7},
      {"wet bulb of saturated air", wetBulbTemperature(275.15, 100, 0), 275.05, 1e-9},
      {"wet bulb at half saturation", wetBulbTemperature(275.15, 50, 0), 272.05, 1e-9},
      {"wet bulb of air too dry to saturate", wetBulbTemperature(313.15, 0, 0), 313.15, 0.0},
      // Standard atmosphere, sublimation, and no exchange past the
      // critical Richardson number.
      {"air pressure at sea level", airPressure(0.0, 288.15), 101325.0, 1e-9},
      {"latent heat of sublimation", latentHeat(263.15), 2.834e6, 0.0},
      {"latent heat of vaporisation", latentHeat(283.15), 2257000.0, 0.0},
      {"exchange at Ri = 0.1", stableExchange(270, 280, std::sqrt(19.62 * 10 * 10 / 550 / 0.1), 10),
       0.25 * 0.0255788, 1e-7},
      {"exchange at Ri = 0.3", stableExchange(270, 280, std::sqrt(19.62 * 10 * 10 / 550 / 0.3), 10),
       0.0, 0.0},
  };
  for (const Case& c : cases) EXPECT_NEAR(c.value, c.expected, c.tolerance) << c.what;
}

TEST(CanopyPhysics, AgesTheAlbedoOfCanopySnow) {
  struct Case {
    const char* what;
    double albedo, age, snowfall, t;
    double albedoAfter, ageAfter;
  };
  const double decayed = 0.1 + 0.5 * std::exp(-0.1 / 24.0);
  const std::vector<Case> cases = {
      {"fresh snow", 0.4, 2.0, 1.0, 260.0, 0.8, 1.0 / 24.0},
      {"snowfall of exactly 0.0001389 mm/s", 0.6, 2.0, 0.0001389 * 3600, 260.0, decayed,
       2.0 + 1.0 / 24.0},
      {"thawing", 0.6, 2.0, 0.0, 273.16, 0.1 + 0.5 * std::exp(-0.3 / 24.0), 2.0 + 1.0 / 24.0},
      {"no age yet", 0.6, 0.0, 0.0, 260.0, 0.6, 1.0 / 24.0},
  };
  for (const Case& c : cases) {
    double albedo = c.albedo, age = c.age;
    ageSnowAlbedo(albedo, age, 0.1, 0.7, 0.3, 0.1, c.snowfall, c.t, 3600.0);
    EXPECT_NEAR(albedo, c.albedoAfter, 1e-12) << c.what;
    EXPECT_NEAR(age, c.ageAfter, 1e-12) << c.what;
  }
}

// A canopy of LAI 4 at its daily mean temperature (no offset), saturated
// air and no radiation, so that nothing sublimates: the melt factor gives
// 0.025 mm per K and hour, and 3.3 times the melt falls.
TEST(CanopyPhysics, MeltsAndUnloadsCanopySnow) {
  struct Case {
    const char* what;
    double t, load, snowfall;
    double loadAfter, liquid, solid, albedo, age;
  };
  const std::vector<Case> cases = {
      {"2 K above melting", 275.16, 5.0, 0.0, 5.0 - 0.165, 0.05, 0.115,
       0.1 + 0.5 * std::exp(-0.3 / 24.0), 1.0},
      {"melt beyond the load", 275.16, 0.1, 0.0, 0.0, 0.1 / 3.3, 0.23 / 3.3, 0.1, 0.0},
      {"a snow-free canopy without snowfall", 270.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.1, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    S s;
    s[S::airTemperature] = s[S::dailyMeanTemperature] = c.t;
    s[S::relativeHumidity] = 100.0;
    s[S::loadBefore] = c.load;
    s[S::snowAlbedo] = 0.6;
    s[S::snowAge] = 1.0 - 1.0 / 24.0;
    s[S::snowfall] = c.snowfall;
    EXPECT_EQ(computeSnowCanopy(s), 1);
    EXPECT_NEAR(s[S::loadAfter], c.loadAfter, 1e-12);
    EXPECT_NEAR(s[S::liquidUnloading], c.liquid, 1e-12);
    EXPECT_NEAR(s[S::solidUnloading], c.solid, 1e-12);
    EXPECT_NEAR(s[S::rainfall], c.liquid, 1e-12);
    EXPECT_NEAR(s[S::snowfall], c.solid, 1e-12);
    EXPECT_NEAR(s[S::snowAlbedo], c.albedo, 1e-12);
    EXPECT_NEAR(s[S::snowAge], c.age, 1e-12);
    EXPECT_EQ(s[S::sublimation], 0.0);
  }
}

// The balance written out from its parts: the root it finds holds it to
// 1 W/m2; with no root in [240, 350] K the canopy takes the air's
// temperature and the residual is 666.
TEST(CanopyPhysics, SolvesTheCanopyEnergyBalance) {
  for (const double sun : {300.0, 1e6}) {
    SCOPED_TRACE(sun);
    S s;
    s[S::airTemperature] = 268.0;
    s[S::airTemperatureAbove] = 270.0;
    s[S::humidityAbove] = 80.0;
    s[S::windAbove] = 2.0;
    s[S::energyShortwave] = sun;
    s[S::groundTemperature] = 271.0;
    s[S::previousCanopyTemperature] = 269.0;
    EXPECT_EQ(solveCanopyTemperature(s), 1);
    const double tc = s[S::canopyTemperature];
    auto residual = [&](double t) {
      const double sigma = 5.67e-8;
      const double e = 6.112 * std::exp(22.46 * -3.15 / (272.62 - 3.15)) * 0.8;
      const double sky = sigma * std::pow(270.0, 4) * (0.61 + 0.05 * std::sqrt(e));
      const double a = 1.0 - std::exp(-0.41 * 4.0);
      const double shortwave = 0.9 * sun * a * (1.0 + (1.0 - a) * 0.75 / (1.0 - a * 0.075));
      const double longwave = a * (sigma * std::pow(271.0, 4) + sky - 1.134e-7 * std::pow(t, 4));
      const double ra = std::pow(std::log((15.0 - 6.7) / 1.23), 2) / 0.32;
      return shortwave + longwave - 1.257 * 1005.0 * (t - 270.0) / ra -
             (0.004 + 0.015) * 2.52e6 * (t - 269.0) / 3600.0;
    };
    if (sun > 1e5) {
      EXPECT_EQ(tc, 268.0);
      EXPECT_EQ(s[S::energyResidual], 666.0);
    } else {
      EXPECT_LT(std::fabs(residual(tc)), 1.0);
      EXPECT_NEAR(s[S::energyResidual], residual(tc), 1e-6);
    }
    EXPECT_NEAR(s[S::canopyMinusAir], tc - 270.0, 1e-12);
  }
}
