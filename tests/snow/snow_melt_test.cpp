#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/snow/snow_fixture.h"

namespace {

struct Value {
  const char* grid;
  double value;
};

} // namespace

// One step of cell (2, 2), worked out by hand from the melt formulas.
TEST(SnowMelt, GivesTheHandComputedMeltOfEachMethod) {
  struct Case {
    const char* what;
    std::function<void(SnowSection&)> section;
    std::vector<Value> inputs;
    std::vector<Value> expected;
  };
  // Method 3: c = 0.5 * 2 + 2, e = 7.193016 hPa at 2 degrees C.
  const double rainOnSnow = 3.0 * 2 / 24 + 0.6 * 2 / 24 + 3.0 * (7.193016 - 6.11) / (0.662 * 24);
  // Method 4 at 0.1 degrees C in air of 5 hPa, P 0.2 (0.09 snow, 0.11 rain):
  // below 0, the pack refreezes its liquid water.
  const double dryRainOnSnow =
      3.0 * 0.1 / 24 + 0.6 * 0.1 / 24 + 3.0 * (5.0 - 6.11) / (0.662 * 24) + 0.006 * 0.2 * 0.1;
  const std::vector<Case> cases = {
      {"degree day, n = 2: melt 10, 6 leave, 9 held",
       [](SnowSection& s) { s.minutes = 720; },
       {{"temperature", 5}, {"snowstorage_solid", 100}, {"snowstorage_liquid", 5}},
       {{"snowcover_outflow", 6},
        {"melt_from_snowcover", 6},
        {"snowstorage_liquid", 9},
        {"snowstorage_solid", 90},
        {"snow_storage_total", 99}}},
      {"wind, n = 2: (0.5 * 2 + 2) * 3 / 2",
       [](SnowSection& s) { s.method = 2, s.minutes = 720, s.cwh = 0.0; },
       {{"temperature", 3}, {"wind_speed", 2}, {"snowstorage_solid", 100}},
       {{"snowstorage_solid", 95.5}, {"snowcover_outflow", 4.5}}},
      {"rain on snow, P 1",
       [](SnowSection& s) { s.method = 3, s.cwh = 0.0; },
       {{"temperature", 2}, {"wind_speed", 2}, {"precipitation", 1}, {"snowstorage_solid", 100}},
       {{"snowstorage_solid", 100 - rainOnSnow - 0.012},
        {"snowcover_outflow", 1 + rainOnSnow + 0.012}}},
      {"rain on snow, P 0.1 just above 2.4 / 24",
       [](SnowSection& s) { s.method = 3, s.cwh = 0.0; },
       {{"temperature", 2}, {"wind_speed", 2}, {"precipitation", 0.1}, {"snowstorage_solid", 100}},
       {{"snowstorage_solid", 100 - rainOnSnow - 0.0012}}},
      {"P 2.4 / 24: degree days with RMF 2, no radiation correction",
       [](SnowSection& s) { s.method = 3, s.cwh = 0.0, s.rmfMin = s.rmfMax = 2.0; },
       {{"temperature", 2},
        {"wind_speed", 2},
        {"precipitation", 2.4 / 24},
        {"snowstorage_solid", 100}},
       {{"snowstorage_solid", 100 - 2.0 * 2.0 / 24}}},
      {"refreezing of the combination method: |0.5 * 2 * -3 / 24| freezes",
       [](SnowSection& s) { s.method = 4, s.rmfMin = s.rmfMax = 2.0; },
       {{"temperature", -3}, {"snowstorage_solid", 100}, {"snowstorage_liquid", 5}},
       {{"snowstorage_solid", 100.125}, {"snowstorage_liquid", 4.875}}},
      {"rain on snow in dry air refreezes liquid water",
       [](SnowSection& s) { s.method = 4; },
       {{"temperature", 0.1},
        {"wind_speed", 2},
        {"vapor_pressure", 5.0},
        {"precipitation", 0.2},
        {"snowstorage_solid", 100},
        {"snowstorage_liquid", 1}},
       {{"snowstorage_solid", 100.09 - dryRainOnSnow},
        {"snowstorage_liquid", 1.11 + dryRainOnSnow},
        {"snowcover_outflow", 0}}},
      {"rain on snow in dry air refreezes no more than the pack's liquid water",
       [](SnowSection& s) { s.method = 4; },
       {{"temperature", 0.1},
        {"wind_speed", 2},
        {"vapor_pressure", 5.0},
        {"precipitation", 0.2},
        {"snowstorage_solid", 100}},
       {{"snowstorage_solid", 100.2}, {"snowstorage_liquid", 0}, {"snow_storage_total", 100.2}}},
      {"split at 0.5 degrees with a half-width of 1",
       [](SnowSection&) {},
       {{"temperature", 0.5}, {"precipitation", 10}},
       {{"snow_fraction", 2.5}, {"rain_fraction", 7.5}}},
      {"deposition index 0.4 adds to the snow only",
       [](SnowSection& s) { s.method = 10; },
       {{"temperature", -2}, {"precipitation", 10}, {"deposition_index", 0.4}},
       {{"snow_fraction", 14},
        {"rain_fraction", 0},
        {"snowstorage_solid", 14},
        {"snow_deposition", 4}}},
      {"no snow: no melt however warm",
       [](SnowSection&) {},
       {{"temperature", 20}},
       {{"snowcover_outflow", 0}, {"snowstorage_solid", 0}}},
  };
  for (const Case& c : cases) {
    SnowSection section;
    c.section(section);
    SnowModel m(std::string("snow_melt_") + std::to_string(&c - cases.data()), section);
    m.build();
    for (const Value& v : c.inputs) m.at(v.grid) = v.value;
    m.step();
    for (const Value& v : c.expected)
      EXPECT_NEAR(m.at(v.grid), v.value, 1e-6) << c.what << ": " << v.grid;
  }
}

TEST(SnowMelt, GivesRainOnlyToALake) {
  SnowSection section;
  SnowModel m("snow_lake", section, "[lake_model]\n1 flow control parameter\n");
  m.add("lake_codes", 3.0);
  m.add("ponding_storage", 2.0);
  m.build();
  m.module->initLakeGrids("[lake_model]");
  m.at("temperature") = -5.0;
  m.at("precipitation") = 4.0;
  m.grid("ponding_storage")[2][1] = 0.0;
  m.grid("temperature")[2][1] = -5.0;
  m.grid("precipitation")[2][1] = 4.0;
  m.step();
  EXPECT_EQ(m.at("rain_fraction"), 4.0);
  EXPECT_EQ(m.at("snow_fraction"), 0.0);
  // Without ponded water the lake cell is land.
  EXPECT_EQ(m.grid("snow_fraction")[2][1], 4.0);
}

// Energy-balance method 5 at or below the melt threshold.
TEST(SnowMelt, BalancesTheEnergyOfAColdPack) {
  struct Case {
    const char* what;
    double liquid;
    std::function<void(SnowModel&)> check;
  };
  const std::vector<Case> cases = {
      {"liquid water keeps the surface at 273.16 K", 2.0,
       [](SnowModel& m) { EXPECT_EQ(m.at("surftemp"), 273.16); }},
      {"refreezing larger than the water freezes exactly the water", 0.1,
       [](SnowModel& m) {
         EXPECT_EQ(m.at("snowstorage_liquid"), 0.0);
         EXPECT_NEAR(m.at("snowstorage_solid") + m.at("snow_evaporation"), 50.1, 1e-12);
       }},
      {"a dry pack cools below the air", 0.0,
       [](SnowModel& m) {
         EXPECT_LT(m.at("surftemp"), 263.16);
         EXPECT_LE(m.at("snowtemp"), 273.16);
         EXPECT_NEAR(m.at("snowstorage_solid") + m.at("snow_evaporation"), 50.0, 1e-12);
       }},
  };
  for (const Case& c : cases) {
    SnowSection section;
    section.method = 5;
    SnowModel m(std::string("snow_cold_") + std::to_string(&c - cases.data()), section);
    m.build();
    m.at("temperature") = -10.0;
    m.at("air_humidity") = 0.7;
    m.at("wind_speed") = 2.0;
    m.at("snowstorage_solid") = 50.0;
    m.at("snowstorage_liquid") = c.liquid;
    m.step();
    c.check(m);
  }
}

// Only the master cell of a response unit is computed; the closing step
// copies its results to the unit's other cells.
TEST(SnowMelt, CopiesTheMasterCellOfAResponseUnit) {
  SnowSection section;
  SnowModel m("snow_units", section);
  const std::vector<HRUMasterCell> masters = {{0, 0}, {2, 2}};
  m.s.context.hruFlag = 1;
  m.s.context.hruMasterCells = &masters;
  m.add("HydrologicResponseUnits", 1.0);
  m.add("MasterHydrologicResponseUnits",
        [](long r, long c) { return r == 2 && c == 2 ? 1.0 : -9999.0; });
  m.build();
  m.grid("snowstorage_solid")[1][2] = 7.0;
  m.at("snowstorage_solid") = 100.0;
  for (long r = 1; r <= 2; ++r)
    for (long c = 1; c <= 2; ++c) m.grid("temperature")[r][c] = 5.0;
  m.step();
  EXPECT_EQ(m.grid("snowstorage_solid")[1][2], 7.0);
  m.module->computeGlacierStep(0, 0, 1, 2, 2021);
  for (const char* grid :
       {"snowstorage_solid", "snowstorage_liquid", "snowcover_outflow", "snow_age"})
    EXPECT_EQ(m.grid(grid)[1][2], m.at(grid)) << grid;
  EXPECT_LT(m.at("snowstorage_solid"), 100.0);
}
