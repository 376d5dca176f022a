#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/snow/snow_fixture.h"

namespace {

// Takes a registered grid out of sight of the module.
void hide(SnowModel& m, const std::string& name) {
  for (GridRegistryEntry& e : m.s.registry)
    if (e.hasName && e.name == name) e.name = "hidden " + name;
}

} // namespace

TEST(SnowConfiguration, RefusesWhatItCannotRun) {
  struct Case {
    const char* what;
    std::function<void(SnowSection&)> section;
    std::function<void(SnowModel&)> grids;
    int code;
    std::string message;
  };
  auto extended = [](size_t line, const char* value) {
    return [line, value](SnowSection& s) {
      s.method = 6;
      s.extended[line] = value;
    };
  };
  auto none = [](SnowModel&) {};
  const std::vector<Case> cases = {
      {"empty line 44", [](SnowSection& s) { s.method = 5, s.emptyExtendedLine = true; }, none, 404,
       "cannot read additional parameters for snow model methods 5 to 11 from "},
      {"deposition slope 91", extended(0, "91"), none, 405,
       "maxDepositionSlope not within parameter bounds of [0...90] Here: 91"},
      {"deposition factor 0", extended(1, "0"), none, 406,
       "maxDepositionFactor not within parameter bounds of (0...100]. Here: 0"},
      {"a slide grid's write code -1",
       [](SnowSection& s) {
         s.method = 5;
         s.inputWriteCode = "-1";
       },
       none, 17,
       "section [snow_model]: the value -1 of \"Writegrid of the input mass grid for \" must be 0 "
       "(never written)"},
      {"deposition factor 1e9", extended(1, "1e9"), none, 406,
       "maxDepositionFactor not within parameter bounds of (0...100]. Here: 1e+09"},
      {"slide slope -1", extended(2, "-1"), none, 407,
       "minSlideSlope not within parameter bounds of [0...90]. Here: -1"},
      {"slide mass fraction 0", extended(3, "0"), none, 408,
       "slideMassFrac not within parameter bounds of (0...1.0]. Here: 0"},
      {"LWINcorr 3.5", extended(4, "3.5"), none, 408,
       "incoming long wave radiation correction factor LWINcorr not within parameter bounds of "
       "(0...3.0]. Here: 3.5"},
      {"LWOUTcorr 0", extended(5, "0"), none, 408,
       "outgoing long wave radiation correction factor LWOUTcorr not within parameter bounds of "
       "(0...3.0]. Here: 0"},
      {"method 4 without vapour pressure", [](SnowSection& s) { s.method = 4; },
       [](SnowModel& m) { hide(m, "vapor_pressure"); }, 33, "vapor_pressure"},
      {"five monthly values", [](SnowSection& s) { s.ddf = "1 2 3 4 5"; }, none, 17,
       "holds 5 numbers"},
      {"no monthly value", [](SnowSection& s) { s.c1 = "factors"; }, none, 17, "holds 0 numbers"},
      {"method 15", [](SnowSection& s) { s.method = 15; }, none, 17,
       "snow model method 15 in [snow_model]"},
      {"readgrid -1", [](SnowSection& s) { s.readGrid = "-1"; }, none, 17,
       "the value -1 of \"readgrid forr storage grids for \" must be 0 (cold start) or 1"},
      {"method 0", [](SnowSection& s) { s.method = 0; }, none, 17,
       "snow model method 0 in [snow_model]"},
      {"CRFR -1", [](SnowSection& s) { s.crfr = -1.0; }, none, 17,
       "the value -1 of \"CRFR for \" must be 0 ... 10"},
      {"degree-day factor -1 in May", [](SnowSection& s) { s.ddf = "4 4 4 4 -1 4 4 4 4 4 4 4"; },
       none, 17, "the value -1 of \"degree-day factors, month 5\" must be 0 ... 30 (mm/K/day)"},
      {"temperature factor 1e9", [](SnowSection& s) { s.c0 = "1e9"; }, none, 17,
       "the value 1e+09 of \"temperature factors, month 1\" must be 0 ... 100"},
      {"wind factor -1", [](SnowSection& s) { s.c1 = "-1"; }, none, 17,
       "the value -1 of \"wind factors, month 1\" must be 0 ... 100"},
      {"RMFMIN -1", [](SnowSection& s) { s.rmfMin = -1.0; }, none, 17,
       "the value -1 of \"RMFMIN for \" must be 0 ... 100"},
      {"RMFMAX below RMFMIN", [](SnowSection& s) { s.rmfMax = 0.5; }, none, 17,
       "the value 0.5 of \"RMFMAX for \" must be at least RMFMIN and at most 100"},
      {"EnBalScaling -1", extended(6, "-1"), none, 17,
       "the value -1 of \"EnBalScaling\" must be 0 ... 10"},
      {"a full registry", [](SnowSection&) {},
       [](SnowModel& m) {
         for (int i = 1; i < gridRegistryLimit; ++i) m.s.registry[i].hasFileName = true;
       },
       12,
       "no free grid left. Please contact the author to set the number of available grids to a "
       "larger number 1000"},
  };
  for (const Case& c : cases) {
    SnowSection section;
    c.section(section);
    SnowModel m(std::string("snow_refuses_") + std::to_string(&c - cases.data()), section);
    c.grids(m);
    m.build(false);
    EXPECT_EQ(m.code, c.code) << c.what << "\n" << m.s.log.console.str();
    EXPECT_NE(m.s.log.console.str().find(c.message), std::string::npos) << c.what << "\n"
                                                                        << m.s.log.console.str();
  }
}

TEST(SnowConfiguration, AcceptsTheEdgesOfTheBounds) {
  struct Case {
    const char* what;
    std::vector<std::string> extended;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {"slopes 0", {"0", "1", "0", "1", "3", "3", "1"}, ""},
      {"slopes 90", {"90", "1", "90", "1", "0.1", "0.1", "1"}, ""},
      {"no scaling",
       {"55", "1", "30", "0.01", "1", "1", ""},
       "Could not read the optional parameter EnBalScaling (double),\nfor snow melt methods with "
       "energy ba\xc3\xb6"
       "ance"},
  };
  for (const Case& c : cases) {
    SnowSection section;
    section.method = 6;
    section.extended = c.extended;
    SnowModel m(std::string("snow_accepts_") + std::to_string(&c - cases.data()), section);
    m.build();
    EXPECT_EQ(m.code, 0) << c.what;
    if (!c.logged.empty()) {
      EXPECT_NE(m.s.log.console.str().find(c.logged), std::string::npos) << c.what;
    }
    m.module->releaseModule();
  }
}

TEST(SnowConfiguration, SetsTheRainThresholdToTheMeltThresholdBelowIt) {
  SnowSection section;
  section.t0r = -1.0;
  section.t0 = 0.0;
  SnowModel m("snow_t0r", section);
  m.build();
  EXPECT_EQ(m.module->getT0R(), 0.0);
  EXPECT_NE(m.s.log.console.str().find("   T0R (threshold temperature rain/snow) < T0 (threshold "
                                       "temperature snow melt)  \n   because these thresholds are "
                                       "contradicting each other, T0R was set to T0!"),
            std::string::npos);
}

// The slides visit the cells from the highest down; of equal elevation
// the later in row order first.
TEST(SnowConfiguration, OrdersTheCellsByElevationAndLimitsTheDeposition) {
  SnowSection section;
  section.method = 6;
  SnowModel m("snow_order", section);
  m.grid("[zone_grid]")[1][1] = 1.0;
  const double elevations[2][2] = {{100, 200}, {200, 50}};
  const double slopes[2][2] = {{27.5, 55}, {0, 60}};
  for (long r = 1; r <= 2; ++r)
    for (long c = 1; c <= 2; ++c) {
      m.grid("[elevation_model]")[r][c] = elevations[r - 1][c - 1];
      m.grid("slope_angle")[r][c] = slopes[r - 1][c - 1];
    }
  m.build();
  const double rows[2][2] = {{2, 1}, {1, 2}};
  const double cols[2][2] = {{1, 2}, {1, 2}};
  const double deposition[2][2] = {{0.5, 0}, {1, 0}};
  for (long r = 1; r <= 2; ++r)
    for (long c = 1; c <= 2; ++c) {
      EXPECT_EQ(m.grid("elev_order_row")[r][c], rows[r - 1][c - 1]) << r << " " << c;
      EXPECT_EQ(m.grid("elev_order_col")[r][c], cols[r - 1][c - 1]) << r << " " << c;
      EXPECT_DOUBLE_EQ(m.grid("max_deposition")[r][c], deposition[r - 1][c - 1]) << r << " " << c;
    }
}

// Day 15 and day 16 give the month's value; between the middles of two
// months the value runs linearly, across the turn of the year too.
TEST(SnowConfiguration, InterpolatesTheMonthlyTablesToTheDay) {
  struct Case {
    std::string line;
    long day, month;
    double expected;
  };
  const std::string months = "2 4 6 8 10 12 14 16 18 20 22 24 per month";
  const std::vector<Case> cases = {
      {months, 15, 3, 6.0},
      {months, 16, 3, 6.0},
      {months, 1, 3, 4.0 + 16.0 / 30.0 * 2.0},
      {months, 1, 1, 24.0 - 16.0 / 30.0 * 22.0},
      {months, 31, 12, 24.0 - 15.0 / 31.0 * 22.0},
      {"5 for the whole year", 20, 7, 5.0},
  };
  for (const Case& c : cases) {
    SnowSection section;
    section.ddf = c.line;
    SnowModel m("snow_monthly_" + std::to_string(&c - cases.data()), section);
    m.build();
    m.step(c.day, c.month);
    EXPECT_NEAR(m.module->factors.ddf, c.expected, 1e-12)
        << c.line << " " << c.day << "." << c.month;
  }
}
