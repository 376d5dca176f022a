#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "meteo/meteoint.h"
#include "meteo/precipitation_correction.h"
#include "tests/meteo/meteo_model.h"

namespace {

const std::string correction = "[precipitation_correction]\n"
                               "1          switch\n"
                               "0.05 0.01  rain correction a and b\n"
                               "0.3 0.04   snow correction a and b\n"
                               "0.5        rain/snow threshold temperature\n"
                               "1.0        half-width of the transition\n\n";

StationTable table(const std::vector<double>& x, const std::vector<std::vector<double>>& lines) {
  StationTable t;
  t.x = x;
  t.y.assign(x.size(), 4500.0);
  t.values = lines;
  return t;
}

std::string sections(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    InterpolatorSection s;
    s.name = name;
    s.input = name + ".txt";
    text += s.text();
  }
  return text;
}

// Precipitation 2 mm everywhere (no value in the third step), temperatures
// from -3 in the west to 4 degrees in the east (the other way round in the
// third step), wind 3 m/s.
std::vector<std::pair<std::string, std::string>> inputs() {
  return {{"precipitation.txt", table({5000}, {{2}, {2}, {-9999}, {1}}).text()},
          {"temperature.txt", table({500, 9500}, {{-3, 4}, {-3, 4}, {4, -3}, {0, 0}}).text()},
          {"wind_speed.txt", table({5000}, {{3}, {3}, {3}, {3}}).text()}};
}

struct Interpolators {
  std::vector<std::unique_ptr<meteointerpol>> owned;
  std::vector<meteointerpol*> list;
  Interpolators(MeteoRun& run, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      int code = 0;
      owned.push_back(run.interpolator(name, code));
      EXPECT_EQ(code, 0) << name << "\n" << run.console();
      list.push_back(owned.back().get());
    }
  }
  void step(MeteoRun& run) {
    for (meteointerpol* i : list) run.step(*i);
  }
};

TEST(precicorrclass, WeighsRainAndSnowCorrectionsByTheSnowFraction) {
  const std::vector<std::string> names = {"precipitation", "temperature"};
  MeteoRun run("correction_factor", sections(names) + correction, inputs());
  Interpolators interpolators(run, names);
  int code = 0;
  precicorrclass c(run.context, code, interpolators.list);
  ASSERT_EQ(code, 0) << run.console();
  ASSERT_TRUE(c.isActive());
  const double rain = 1.05, snow = 1.3;
  struct Case {
    double t, u, expected;
  };
  const Case cases[] = {
      {-5.0, 0.0, snow},
      {-0.5, 0.0, snow}, // threshold - half-width: all snow
      {0.5, 0.0, 0.5 * snow + 0.5 * rain},
      {1.0, 0.0, 0.25 * snow + 0.75 * rain},
      {1.5, 0.0, rain}, // threshold + half-width: all rain
      {-5.0, 3.0, snow + 0.12},
      {8.0, 3.0, rain + 0.03},
      {0.5, 2.0, 0.5 * (snow + 0.08) + 0.5 * (rain + 0.02)},
  };
  for (const Case& k : cases)
    EXPECT_NEAR(c.factor(k.t, k.u), k.expected, 1e-14) << k.t << " " << k.u;
}

TEST(precicorrclass, CorrectsThePrecipitationOfEveryCellOnce) {
  const std::vector<std::string> names = {"precipitation", "temperature", "wind_speed"};
  MeteoRun run("correction_cells", sections(names) + correction, inputs());
  Interpolators interpolators(run, names);
  int code = 0;
  precicorrclass c(run.context, code, interpolators.list);
  ASSERT_EQ(code, 0) << run.console();
  Grid p = interpolators.list[0]->getGrid();
  Grid t = interpolators.list[1]->getGrid();
  const MeteoModel& m = *run.model;
  std::vector<double> corrected;
  for (int step = 0; step < 3; ++step) {
    interpolators.step(run);
    c.correct();
    for (long r = 1; r <= m.header.nrows; ++r)
      for (long col = 1; col <= m.header.ncols; ++col) {
        if (!m.valid(r, col)) {
          EXPECT_EQ(p[r][col], -9999.0);
          continue;
        }
        // The third step has no precipitation value: the second's 2 mm,
        // corrected by the third's temperature, whatever irrigation added
        // to the grid after the second step.
        EXPECT_DOUBLE_EQ(p[r][col], 2.0 * c.factor(t[r][col], 3.0)) << step;
        p[r][col] += 0.5;
      }
  }
  // The temperature stations lie in cells (4, 1) and (4, 10): rain at 4
  // degrees, snow at -3 degrees, with 3 m/s of wind.
  EXPECT_DOUBLE_EQ(p[4][1], 2.0 * (1.05 + 0.01 * 3.0) + 0.5);
  EXPECT_DOUBLE_EQ(p[4][10], 2.0 * (1.3 + 0.04 * 3.0) + 0.5);
}

TEST(precicorrclass, StaysOffWithoutSectionSwitchOrInRoutingOnlyRuns) {
  const std::vector<std::string> names = {"precipitation", "temperature"};
  const std::string off = "[precipitation_correction]\n0 switch\n";
  struct Case {
    std::string section;
    bool routingOnly;
  };
  const Case cases[] = {{"", false}, {off, false}, {correction, true}};
  for (const Case& k : cases) {
    MeteoRun run("correction_off", sections(names) + k.section, inputs());
    Interpolators interpolators(run, names);
    int code = 0;
    run.context.routingOnly = k.routingOnly;
    precicorrclass c(run.context, code, interpolators.list);
    ASSERT_EQ(code, 0) << run.console();
    EXPECT_FALSE(c.isActive());
    interpolators.step(run);
    c.correct();
    EXPECT_EQ(interpolators.list[0]->getGrid()[4][4], 2.0);
  }
}

TEST(precicorrclass, NeedsTheTemperatureInterpolator) {
  struct Case {
    std::vector<std::string> names;
    std::string section;
    std::string message;
  };
  const Case cases[] = {
      {{"precipitation"},
       correction,
       "the precipitation correction needs an interpolator for "
       "temperature"},
      {{"temperature"},
       correction,
       "the precipitation correction needs an interpolator for "
       "precipitation"},
      {{"precipitation", "temperature"},
       "[precipitation_correction]\n1\n0 0\n0 0\n0\n-1 half-width\n",
       "[precipitation_correction]: the half-width of the rain/snow transition (-1) must not be "
       "negative"},
      {{"precipitation", "temperature"},
       "[precipitation_correction]\n-1 switch\n0 0\n0 0\n0\n1 half-width\n",
       "section [precipitation_correction]: the value -1 of \"switch of the precipitation "
       "correction\" must be 0 (off) or 1 or more (on)"},
      {{"precipitation", "temperature"},
       "[precipitation_correction]\n1\n0 0\n0 0\n1e9 threshold\n1 half-width\n",
       "the value 1e+09 of \"rain/snow threshold temperature\" must be -20 ... 20 (degrees C)"},
  };
  for (const Case& k : cases) {
    MeteoRun run("correction_faults", sections(k.names) + k.section, inputs());
    Interpolators interpolators(run, k.names);
    int code = 0;
    precicorrclass c(run.context, code, interpolators.list);
    EXPECT_EQ(code, 76);
    EXPECT_NE(run.console().find(k.message), std::string::npos) << run.console();
  }
}

} // namespace

// The statistics of the precipitation hold the corrected values: within the
// limits of [precipitation] times the factors at the ends of the snow
// fraction and of the wind speed's limits (3 m/s without a wind).
TEST(precicorrclass, BoundsTheCorrectedPrecipitationItsStatisticsHold) {
  struct Case {
    bool wind;
    double lowest, highest;
    std::string factors;
  };
  // Rain 1.05 + 0.01 u, snow 1.3 + 0.04 u, u 0 ... 60.
  const Case cases[] = {{true, 0.0, 200.0 * 3.7, "1.05 ... 3.7"},
                        {false, 0.0, 200.0 * 1.3, "1.05 ... 1.3"}};
  for (const Case& k : cases) {
    std::vector<std::string> names = {"precipitation", "temperature"};
    if (k.wind) names.push_back("wind_speed");
    std::string text;
    for (const std::string& name : names) {
      InterpolatorSection s;
      s.name = name;
      s.input = name + ".txt";
      s.limits = name == "precipitation" ? "0 200" : name == "wind_speed" ? "0 60" : "-50 50";
      text += s.text();
    }
    MeteoRun run("correction_range", text + correction, inputs());
    Interpolators interpolators(run, names);
    int code = 0;
    precicorrclass c(run.context, code, interpolators.list);
    ASSERT_EQ(code, 0) << run.console();
    const GridValueRange& range =
        run.context.registry[interpolators.list[0]->getGridIndex()].valueRange;
    ASSERT_TRUE(range.known);
    EXPECT_DOUBLE_EQ(range.lowest, k.lowest);
    EXPECT_DOUBLE_EQ(range.highest, k.highest);
    EXPECT_EQ(range.source, "the lower and upper limit 0 ... 200 of [precipitation], times the "
                            "correction factor " +
                                k.factors + " of [precipitation_correction]");
  }
}
