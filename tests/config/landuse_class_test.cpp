#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/landuse_class.h"
#include "tests/test_support.h"

namespace {

const std::string requiredKeys = "LAI = 1 3 2; VCF = 0.1 0.3 0.2; RootDepth = 1 1 1; "
                                 "Albedo = 0.1 0.3 0.2; Z0 = 1 1 1; RSC = 1 1 1; RSI = 1 1 1; "
                                 "RSE = 1 1 1; ";

landuse_class recordWith(const std::string& keys) {
  landuse_class record;
  parseLanduseEntry(record, nullptr, "FixDays = 100 200 300; " + requiredKeys + keys + "}", "test");
  return record;
}

} // namespace

TEST(LanduseRecord, DayOfYearFollowsTheGregorianLeapYears) {
  struct Case {
    long day, month, year, expected;
  };
  const std::vector<Case> cases = {{1, 1, 2021, 1},     {31, 12, 2021, 365}, {31, 12, 2020, 366},
                                   {29, 2, 2020, 60},   {1, 3, 2020, 61},    {1, 3, 2021, 60},
                                   {1, 3, 1900, 60},    {1, 3, 2000, 61},    {32, 12, 2021, 366},
                                   {1, 13, 2021, 150},  {0, 5, 2021, 150},   {1, 0, 2021, 150},
                                   {32, 12, 2020, 150}, {400, 1, 2021, 150}};
  const landuse_class record = recordWith("");
  for (const Case& c : cases) {
    if (c.expected == 150) {
      EXPECT_EQ(exitCodeOf([&] { record.dayOfYear(c.day, c.month, c.year); }), 150)
          << c.day << "." << c.month << "." << c.year;
    } else {
      EXPECT_EQ(record.dayOfYear(c.day, c.month, c.year), c.expected)
          << c.day << "." << c.month << "." << c.year;
    }
  }
}

// Fix days 100, 200, 300 with albedo 0.1, 0.3, 0.2: linear between them and
// across the year end from day 300 to day 100 of the next year.
TEST(LanduseRecord, InterpolatesFixPointsAcrossTheYearEnd) {
  struct Case {
    long day, month, year;
    double expected;
  };
  const std::vector<Case> cases = {
      {10, 4, 2021, 0.1},                     // day 100
      {30, 5, 2021, 0.1 + 0.2 * 50 / 100.0},  // day 150
      {19, 7, 2021, 0.3},                     // day 200
      {27, 10, 2021, 0.2},                    // day 300
      {16, 12, 2021, 0.2 - 0.1 * 50 / 165.0}, // day 350 of 365
      {15, 12, 2020, 0.2 - 0.1 * 50 / 166.0}, // day 350 of 366
      {19, 2, 2021, 0.2 - 0.1 * 115 / 165.0}, // day 50, after 65 days of 2020's end
      {31, 12, 2020, 0.2 - 0.1 * 66 / 166.0}, // day 366
      {8, 4, 2020, 0.2 - 0.1 * 165 / 166.0},  // day 99 of a leap year
  };
  const landuse_class record = recordWith("");
  for (const Case& c : cases)
    EXPECT_NEAR(record.getAlbedoByDate(0.0, c.day, c.month, c.year, 1, 1), c.expected, 1e-12)
        << c.day << "." << c.month << "." << c.year;

  landuse_class single;
  parseLanduseEntry(single, nullptr,
                    "FixDays = 180; LAI = 4; VCF = 1; RootDepth = 1; Albedo = 0.15; Z0 = 1; "
                    "RSC = 1; RSI = 1; RSE = 1; NFactor = 0.8; }",
                    "test");
  EXPECT_EQ(single.getAlbedoByDate(0.0, 1, 1, 2021, 1, 1), 0.15) << "one fix point is a constant";
  EXPECT_EQ(single.getNFactorByDate(nullptr, 31, 12, 2020), 0.8);
}

// 10 days per 100 m above 500 m: at 800 m the fix points lie 30 days later,
// at 300 m 20 days earlier.
TEST(LanduseRecord, ElevationShiftMovesTheFixPoints) {
  const landuse_class record = recordWith("ElevationShift = 10; ReferenceElevation = 500;");
  EXPECT_DOUBLE_EQ(record.elevationShift(800.0), 30.0);
  EXPECT_DOUBLE_EQ(record.elevationShift(-9999.0), 0.0) << "no elevation, no shift";
  // Day 230 at 800 m is day 200 at the reference; day 180 at 300 m too.
  EXPECT_NEAR(record.getAlbedoByDate(800.0, 18, 8, 2021, 1, 1), 0.3, 1e-12);
  EXPECT_NEAR(record.getAlbedoByDate(300.0, 29, 6, 2021, 1, 1), 0.3, 1e-12);
  // Day 90 at 800 m is day 60, which lies across the year end.
  EXPECT_NEAR(record.getAlbedoByDate(800.0, 31, 3, 2021, 1, 1), 0.2 - 0.1 * 125 / 165.0, 1e-12);
}

// The lookups by row and column take the elevation model and, with dynamic
// phenology, the shift of the cell's layer from the phenology stack.
TEST(LanduseRecord, CellLookupsTakeTheShiftOfTheirLayer) {
  landuse_class record;
  parseLanduseEntry(record, nullptr,
                    "FixDays = 100 200; " + std::string("LAI = 1 3; VCF = 0 1; RootDepth = 1 1; ") +
                        "Albedo = 0.1 0.3; Z0 = 1 1; RSC = 1 1; RSI = 1 1; RSE = 1 1; "
                        "SR_StemDiameter = 0.01 0.02; SR_ResidCovrg = 0.2 0.6; "
                        "ElevationShift = 5; ReferenceElevation = 1000; DynamicPhenology = 1; "
                        "PhenoStartSum = 100; }",
                    "test");
  std::vector<double> elevationRow = {0.0, 1200.0};
  std::vector<double*> elevation = {nullptr, elevationRow.data()};
  std::vector<double> levels = {0.0, 4.0, -6.0};
  std::vector<double*> columns = {nullptr, levels.data()};
  std::vector<double**> phenology = {nullptr, columns.data()};
  record.setCellContext(elevation.data(), phenology.data(), -9999.0);

  // Day 150 of 2021 (30 May); layer 1 shifts by 10 + 4 days, layer 2 by 10 - 6.
  EXPECT_DOUBLE_EQ(record.cellShift(1, 1, 1), 14.0);
  EXPECT_DOUBLE_EQ(record.cellShift(2, 1, 1), 4.0);
  EXPECT_NEAR(record.getSR_StemDiameterByDate(nullptr, 30, 5, 2021, 1, 1), 0.01 + 0.01 * 0.36,
              1e-12);
  EXPECT_NEAR(record.getSR_ResidCovrgByDate(nullptr, 30, 5, 2021, 2, 1, 1), 0.2 + 0.4 * 0.46,
              1e-12);
  EXPECT_NEAR(record.getAlbedoByDate(1200.0, 30, 5, 2021, 1, 1), 0.1 + 0.2 * 0.36, 1e-12);
  EXPECT_EQ(exitCodeOf([&] { record.getSR_ResidCovrgByDate(nullptr, 1, 14, 2021, 1, 1, 1); }), 150)
      << "an invalid date ends the run";
}
