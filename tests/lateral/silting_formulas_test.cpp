#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lateral/silting_formulas.h"
#include "tests/lateral/silting_fixture.h"

// Values computed by hand from the formula's definition for a soil of sand
// 0.5, silt 0.3, clay 0.15 and stones1 0.05.
TEST(SiltingFormulas, GiveTheHandComputedRatesAndEnergies) {
  const soil_class soil = siltingSoil("0.5 0.3 0.15 0.05 0 0 0");
  const double dg = grainSizeIndex(soil);
  EXPECT_NEAR(dg, 48.46091516, 48.46091516 * 1e-9);
  struct Case {
    double tillageDays, finalRate, disposition;
  };
  for (const Case& c : std::vector<Case>{{20.0, 7.506243796, 0.001979623846},
                                         {0.3, 7.506243796, 0.004396684854},
                                         {0.0, 7.506243796, 0.0}}) {
    const SiltingRates r =
        builtInRates(defaultSiltingParameters, dg, sandPercent(soil), c.tillageDays);
    EXPECT_EQ(r.initialRate, 65.0);
    EXPECT_NEAR(r.finalRate, c.finalRate, c.finalRate * 1e-9) << c.tillageDays;
    EXPECT_NEAR(r.disposition, c.disposition, c.disposition * 1e-9) << c.tillageDays;
  }
  struct Energy {
    double intensity, perMm;
  };
  for (const Energy& e : std::vector<Energy>{{12.0, 21.31125228},
                                             {50.0, 26.72200814},
                                             {76.2, 28.33},
                                             {200.0, 28.33},
                                             {0.05, 0.0},
                                             {0.0, 0.0}})
    EXPECT_NEAR(rainEnergyPerMm(e.intensity), e.perMm, e.perMm * 1e-9) << e.intensity;
}

// Without sand the powers of 100 sand would be infinite.
TEST(SiltingFormulas, StayFiniteWithoutSand) {
  const soil_class soil = siltingSoil("0 0.6 0.4 0 0 0 0");
  const SiltingRates r =
      builtInRates(defaultSiltingParameters, grainSizeIndex(soil), sandPercent(soil), 20.0);
  EXPECT_TRUE(std::isfinite(r.finalRate));
  EXPECT_TRUE(std::isfinite(r.disposition));
  EXPECT_TRUE(std::isfinite(infiltrationCapacity(r, 500.0, 60.0)));
}

TEST(SiltingFormulas, CountDaysFromTheLastTillageDay) {
  const int days[] = {100 - 366, 100, 200, 365};
  const int none[] = {-9999};
  struct Case {
    const int* list;
    int count;
    long doy, previousYearLength;
    double expected;
  };
  const std::vector<Case> cases = {
      {days, 3, 150, 365, 50.0}, {days, 3, 200, 365, 0.3},  {days, 3, 100, 365, 0.3},
      {days, 3, 250, 365, 50.0}, {days, 3, 1, 365, 1.0},    {days, 3, 1, 366, 2.0},
      {days, 3, 99, 365, 99.0},  {days, 2, 50, 365, 215.0}, {none, 0, 150, 365, 0.0}};
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(daysSinceTillage(c.count, c.list, c.doy, c.previousYearLength), c.expected)
        << "day " << c.doy << " of " << c.count << " tillage days";
}
