#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "snow/snow_physics.h"

// Values worked out by hand (a pocket calculator) from the formulas.
TEST(SnowPhysics, GivesTheHandComputedValues) {
  const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  struct Case {
    const char* what;
    std::function<double()> value;
    double expected;
  };
  const std::vector<Case> cases = {
      {"albedo of 10-day-old snow below 0 degrees", [] { return snowAlbedo(0.4, 0.9, 10.0, 0.0); },
       0.550597},
      {"albedo of 10-day-old snow above 0 degrees", [] { return snowAlbedo(0.4, 0.9, 10.0, 0.1); },
       0.703265},
      {"vapour pressure over ice at 0", [] { return iceSaturationVapourPressure(0.0); }, 6.1078},
      {"vapour pressure over ice at -10", [] { return iceSaturationVapourPressure(-10.0); },
       2.594623},
      // Day 74 of the year, not 15 + 2 * 31.
      {"seasonal sine on 15 March", [&] { return seasonalSine(2.0, 1.0, 15, 3, days); }, 1.896898},
      {"seasonal sine on 10 January", [&] { return seasonalSine(2.0, 1.0, 10, 1, days); },
       1.066163},
      {"seasonal sine near its top on day 171", [&] { return seasonalSine(2.0, 1.0, 20, 6, days); },
       2.999991},
      {"snow share at the lower edge", [] { return snowFractionOf(-1.0, 0.0, 1.0); }, 1.0},
      {"snow share at the upper edge", [] { return snowFractionOf(1.0, 0.0, 1.0); }, 0.0},
      {"snow share at T0R + 0.5 of a width of 1", [] { return snowFractionOf(0.5, 0.0, 1.0); },
       0.25},
      {"standard pressure at sea level", [] { return standardPressure(0.0); }, 1013.25},
      {"sky long-wave of clear dry air at 0 degrees",
       [] { return skyLongwave(273.16, 0.0, 0.0, false, 1.0); }, 192.566754},
      {"balance of a calm surface at 0 degrees",
       [] {
         SnowAir air;
         air.shortwave = 100.0;
         air.longwaveIn = 300.0;
         air.advected = 1.0;
         return surfaceBalance(air, 273.16);
       },
       85.316796},
  };
  for (const Case& c : cases)
    EXPECT_NEAR(c.value(), c.expected, 2e-6 * std::max(1.0, c.expected)) << c.what;
}

// The search halves its step at every turn, so it settles where the
// psychrometric equation holds, within a step of 0.025 K.
TEST(SnowPhysics, WetBulbSatisfiesThePsychrometricEquation) {
  struct Case {
    double t, humidity, pressure;
  };
  for (const Case& c : std::vector<Case>{
           {2.0, 1.0, 950.0}, {2.0, 0.6, 950.0}, {10.0, 0.3, 1013.25}, {0.5, 0.9, 800.0}}) {
    const double e = snowSaturationVapourPressure(c.t) * c.humidity;
    const double tw = snowWetBulbTemperature(c.t, e, c.pressure);
    auto psychrometric = [&](double w) {
      return 6.1115 * std::exp(22.46 * w / (w + 272.62)) -
             0.00066 * c.pressure * (c.t - w) * (1.0 + 0.00115 * w);
    };
    EXPECT_LE(tw, c.t + 0.1) << c.t << " " << c.humidity;
    // e lies between the equation's values 0.05 K either side of tw.
    EXPECT_LE(psychrometric(tw - 0.05), e) << c.t << " " << c.humidity;
    EXPECT_GE(psychrometric(tw + 0.05), e) << c.t << " " << c.humidity;
  }
}

TEST(SnowPhysics, SurfaceIterationStopsAtItsLimits) {
  SnowAir air;
  air.tk = 270.0;
  air.e = 3.0;
  air.windFunction = 0.0; // no turbulent fluxes: the radiation alone decides
  air.longwaveIn = 250.0;
  air.advected = 1.0;
  struct Case {
    const char* what;
    double shortwave;
    bool stopAfterFirst;
    int iterations;
    bool closed;
  };
  const std::vector<Case> cases = {
      {"sun too strong to balance: 151 evaluations", 1e9, false, 151, false},
      {"liquid water: one evaluation", 0.0, true, 1, false},
      {"ordinary night: closes the balance", 0.0, false, 0, true},
  };
  for (const Case& c : cases) {
    air.shortwave = c.shortwave;
    const SurfaceIteration it = iterateSurfaceTemperature(air, snowMeltPointK, c.stopAfterFirst);
    if (c.iterations > 0) {
      EXPECT_EQ(it.iterations, c.iterations) << c.what;
    }
    if (c.closed) {
      EXPECT_LE(std::fabs(it.q), 0.25) << c.what;
      EXPECT_LT(it.iterations, 151) << c.what;
    } else {
      EXPECT_GT(std::fabs(it.q), 0.25) << c.what;
    }
  }
}
