#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/snow/glacier_fixture.h"

// Every valid cell half glacierized melts 8 * 6 / 24 = 2 mm of ice an hour:
// a mean of 1 mm over the subbasin, whose glacier covers f = 0.5. The
// linear storage of k = 5 h takes (1 - e^-0.2) 1 / 0.5 of it.
TEST(GlacierRunoff, RoutesTheMeltThroughLinearStorages) {
  const double kept = std::exp(-0.2);
  struct Case {
    const char* what;
    double g;
    double temperature;
    double qStart;
    int steps;
    double storage, runoff;
  };
  const std::vector<Case> cases = {
      {"one step from empty", 0.5, 6.0, 0.0, 1, (1 - kept) / 0.5, 1 - kept},
      {"three full storages drain without melt", 0.5, -5.0, 4.0, 1, 4.0 * kept,
       3 * 4.0 * kept * 0.5},
      {"constant melt: the runoff converges to it", 0.5, 6.0, 0.0, 200, 2.0, 1.0},
      {"constant melt on the whole area", 1.0, 6.0, 0.0, 200, 2.0, 2.0},
  };
  for (const Case& c : cases) {
    IceFirnSection ice;
    ice.qStart = c.qStart;
    GlacierModel m("glacier_runoff_" + std::to_string(&c - cases.data()), SnowSection(), ice, c.g);
    m.buildGlacier();
    std::vector<double> table = {-1.0, -1.0};
    m.module->setGlacierRunoffTable(table.data());
    m.at("temperature") = m.grid("temperature")[1][2] = m.grid("temperature")[2][1] = c.temperature;
    for (int k = 0; k < c.steps; ++k) m.step(1 + k / 24, 2, k % 24);
    EXPECT_NEAR(m.module->qIceEls[1], c.storage, 1e-9) << c.what;
    EXPECT_NEAR(table[1], c.runoff, 1e-9) << c.what;
    EXPECT_NEAR(m.module->qFirnEls[1] + m.module->qSnowEls[1],
                2 * c.qStart * std::pow(kept, c.steps), 1e-9)
        << c.what;
  }
}

// Subbasin 2 (cell (2, 2)) has no glacier: it keeps nothing of its start
// content, and its entry of the runoff table is the soil's alone.
TEST(GlacierRunoff, KeepsNothingWhereNoGlacierLies) {
  IceFirnSection ice;
  ice.qStart = 3.0;
  GlacierModel m("glacier_runoff_free", SnowSection(), ice);
  m.grid("[zone_grid]")[2][2] = 2.0;
  m.grid("GlacierizedCells")[2][2] = 0.0;
  m.grid("GlacierCodes")[2][2] = -9999.0;
  m.s.context.zoneCount = 2;
  m.buildGlacier();
  std::vector<double> table = {-1.0, -1.0, -1.0};
  m.module->setGlacierRunoffTable(table.data());
  m.fill("temperature", 6.0);
  m.step(1, 2);
  EXPECT_EQ(m.module->qIceEls[2], 0.0);
  EXPECT_EQ(m.module->qFirnEls[2], 0.0);
  EXPECT_EQ(m.module->qSnowEls[2], 0.0);
  EXPECT_EQ(table[2], -1.0);
  EXPECT_GT(table[1], 0.0);
}

// Daily steps: the ground thaws with 0.05 sqrt(snow-free days), the roots
// follow; three days under snow refreeze it.
TEST(Permafrost, ThawsWithoutSnowAndRefreezesUnderIt) {
  SnowSection snow;
  snow.minutes = 1440;
  SnowModel m("permafrost_thaw", snow, PermafrostSection().text());
  m.add("ThawCoeffPermaFrost", 0.05);
  m.add("PermafrostThawDepth", 0.0);
  m.add("root_depth1", 1.0);
  m.build();
  struct Day {
    double temperature, precipitation;
    double thaw, freeDays, coverDays, root;
  };
  const std::vector<Day> days = {
      {5, 0, 0.05, 1, 0, 0.05},
      {5, 0, 0.05 * std::sqrt(2.0), 2, 0, 0.05 * std::sqrt(2.0)},
      {5, 0, 0.05 * std::sqrt(3.0), 3, 0, 0.05 * std::sqrt(3.0)},
      {5, 0, 0.1, 4, 0, 0.1},
      {-5, 10, 0.1, 4, 1, 0.1},
      {-5, 0, 0.1, 4, 2, 0.1},
      {-5, 0, 0.0, 0, 3, 0.0},
  };
  // The vegetation gives the roots their depth anew every day.
  for (size_t d = 0; d < days.size(); ++d) {
    m.at("root_depth1") = 1.0;
    m.at("temperature") = m.at("temperature_night") = days[d].temperature;
    m.at("precipitation") = days[d].precipitation;
    m.step(static_cast<long>(d) + 1, 6);
    EXPECT_NEAR(m.at("PermafrostThawDepth"), days[d].thaw, 1e-12) << d;
    EXPECT_NEAR(m.at("SnowFreeDaysGrid"), days[d].freeDays, 1e-12) << d;
    EXPECT_NEAR(m.at("SnowCoverDaysGrid"), days[d].coverDays, 1e-12) << d;
    EXPECT_NEAR(m.at("root_depth1"), days[d].root, 1e-12) << d;
  }
}

// Hour by hour across the evaluation day (30 September): only the step
// that ends at 24:00 closes the year. Cell (2, 1) starts without glacier
// under a pack of 1400 mm, cells (1, 2) and (2, 2) are glacier 1 with 20 mm
// beside it and 40 mm on it, two firn layers of 5 mm. Cold and dry: nothing
// melts, so the glaciers keep their size.
TEST(GlacierBalance, ClosesTheYearAtTheEndOfTheEvaluationDay) {
  IceFirnSection ice;
  ice.firn = "2 2500 0.01";
  GlacierModel m("glacier_balance_day", SnowSection(), ice);
  m.grid("GlacierizedCells")[2][1] = 0.0;
  m.grid("GlacierCodes")[2][1] = -9999.0;
  m.buildGlacier();
  m.fill("temperature", -10.0);
  auto set = [&](const char* name, long r, long c, double v) { m.grid(name)[r][c] = v; };
  set("snowstorage_solid", 2, 1, 1400.0);
  set("snow_storage_total", 2, 1, 1400.0);
  for (long r : {1L, 2L}) {
    set("snowstorage_solid", r, 2, 20.0);
    set("snow_storage_total", r, 2, 20.0);
    set("SolidSnowStorage_onGlacier", r, 2, 40.0);
    set("TotalSnowStorage_onGlacier", r, 2, 40.0);
  }
  struct Step {
    long day, hour;
    bool closes;
  };
  const std::vector<Step> steps = {{29, 23, false}, {30, 22, false}, {30, 23, true}};
  for (const Step& s : steps) {
    m.step(s.day, 9, s.hour);
    const std::string when = std::to_string(s.day) + " " + std::to_string(s.hour);
    EXPECT_DOUBLE_EQ(m.at("snowstorage_solid"), s.closes ? 0.0 : 20.0) << when;
    EXPECT_DOUBLE_EQ(m.at("SolidSnowStorage_onGlacier"), s.closes ? 0.0 : 40.0) << when;
    EXPECT_DOUBLE_EQ(*m.firn(1), s.closes ? 40.0 : 5.0) << when;
    EXPECT_DOUBLE_EQ(*m.firn(2), 5.0) << when;
    EXPECT_DOUBLE_EQ(*m.firn(0), s.closes ? 45.0 : 10.0) << when;
    EXPECT_DOUBLE_EQ(m.at("firn_WE_stack"), *m.firn(0)) << when;
    EXPECT_DOUBLE_EQ(m.grid("GlacierizedCells")[2][1], s.closes ? 0.25 : 0.0) << when;
  }
  // The pack beyond 1000 mm went onto a new glacier of a quarter of the
  // cell, three times as deep there, and became its first firn layer; the
  // cell's water stays. It joined glacier 1 beside it.
  const double outside = m.grid("snow_storage_total")[2][1];
  EXPECT_DOUBLE_EQ(outside, 1000.0);
  EXPECT_DOUBLE_EQ(0.75 * outside + 0.25 * m.grid("firn_WE_stack")[2][1], 1400.0);
  EXPECT_EQ(m.grid("GlacierCodes")[2][1], 1.0);
  EXPECT_DOUBLE_EQ(m.grid("GlacierMassBalance")[2][1], m.grid("OldGlacierMassBalance")[2][1]);
}
