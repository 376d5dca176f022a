#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "meteo/meteoint.h"
#include "tests/meteo/meteo_model.h"
#include "tests/test_support.h"

namespace {

// Station 1 at the centre of cell (2, 3), station 2 at that of cell (5, 8);
// the lines from 00:00 on (the runs end at 03:00), the last one repeated.
StationTable twoStations(std::vector<std::vector<double>> values) {
  StationTable t;
  t.x = {2500.0, 7500.0};
  t.y = {6500.0, 3500.0};
  t.z = {400.0, 600.0};
  while (values.size() < 4) values.push_back(values.back());
  t.values = values;
  return t;
}

InterpolatorSection idwSection(const std::string& idw, const std::string& limits = "-1000 1000") {
  InterpolatorSection s;
  s.idw = idw;
  s.limits = limits;
  return s;
}

TEST(InverseDistanceWeighting, OneStationGivesAConstantField) {
  StationTable t;
  t.x = {3000.0};
  t.y = {4000.0};
  t.values = {{7.5}, {-2.0}, {0.25}, {1.0}};
  MeteoRun run("idw_one_station", idwSection("2 1e9 8").text(), {{"stations.txt", t.text()}});
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  const MeteoModel& m = *run.model;
  for (double expected : {7.5, -2.0, 0.25}) {
    run.step(*temperature);
    Grid g = temperature->getGrid();
    for (long r = 1; r <= m.header.nrows; ++r)
      for (long c = 1; c <= m.header.ncols; ++c)
        EXPECT_EQ(g[r][c], m.valid(r, c) ? expected : -9999.0) << r << "," << c;
  }
}

// (4, 5) lies 2000 m east and south of station 1 and 3000 m west and 1000 m
// north of station 2: squared distances 8e6 and 1e7.
TEST(InverseDistanceWeighting, WeighsTwoStationsByTheirDistance) {
  const double d1 = std::sqrt(8e6), d2 = std::sqrt(1e7);
  auto mean = [&](double p) {
    return (10.0 * std::pow(d1, -p) + 20.0 * std::pow(d2, -p)) /
           (std::pow(d1, -p) + std::pow(d2, -p));
  };
  struct Case {
    const char* idw;
    double atCell45;
  };
  const Case cases[] = {{"2 1e9 8", 130.0 / 9.0}, {"1 1e9 8", mean(1.0)}, {"3 1e9 8", mean(3.0)}};
  for (const Case& c : cases) {
    MeteoRun run("idw_two_stations", idwSection(c.idw).text(),
                 {{"stations.txt", twoStations({{10.0, 20.0}}).text()}});
    int code = 0;
    auto temperature = run.interpolator("temperature", code);
    ASSERT_EQ(code, 0) << run.console();
    run.step(*temperature);
    Grid g = temperature->getGrid();
    EXPECT_NEAR(g[4][5], c.atCell45, 1e-12) << c.idw;
    // A cell centre on a station takes its value.
    EXPECT_EQ(g[2][3], 10.0) << c.idw;
    EXPECT_EQ(g[5][8], 20.0) << c.idw;
  }
}

TEST(InverseDistanceWeighting, KeepsToTheDistanceAndFallsBackToTheNearestStation) {
  // Distances from (4, 5): 2828 m and 3162 m; from (2, 4): 1000 m and 5000 m;
  // from (5, 9): 6708 m and 1000 m.
  struct Case {
    const char* idw;
    long r, c;
    double expected;
  };
  const Case cases[] = {
      {"2 2500 8", 4, 5, 10.0},        // neither within: the nearest, station 1
      {"2 2500 8", 2, 4, 10.0},        // station 1 alone
      {"2 2500 8", 5, 9, 20.0},        // station 2 alone
      {"2 3200 8", 4, 5, 130.0 / 9.0}, // both
      {"2 1e9 1", 4, 5, 10.0},         // the nearest one only
      {"2 1e9 1", 5, 9, 20.0},
  };
  for (const Case& c : cases) {
    MeteoRun run("idw_distance", idwSection(c.idw).text(),
                 {{"stations.txt", twoStations({{10.0, 20.0}}).text()}});
    int code = 0;
    auto temperature = run.interpolator("temperature", code);
    ASSERT_EQ(code, 0) << run.console();
    run.step(*temperature);
    EXPECT_NEAR(temperature->getGrid()[c.r][c.c], c.expected, 1e-12)
        << c.idw << " at " << c.r << "," << c.c;
  }
}

TEST(InverseDistanceWeighting, LeavesOutStationsWithoutValue) {
  MeteoRun run("idw_missing", idwSection("2 1e9 8", "-1000 15").text(),
               {{"stations.txt",
                 twoStations({{-999.0, 20.0}, {10.0, 20.0}, {-9999.0, -999.5}, {1, 2}}).text()}});
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  Grid g = temperature->getGrid();
  run.step(*temperature);
  EXPECT_EQ(g[4][5], 15.0); // 20 everywhere, cut at the upper limit
  EXPECT_EQ(g[1][3], 15.0);
  run.step(*temperature);
  EXPECT_NEAR(g[4][5], 130.0 / 9.0, 1e-12);
  EXPECT_EQ(g[5][8], 15.0);
  // No station has a value: the grid is that of the step before.
  run.step(*temperature);
  EXPECT_FALSE(temperature->hasNewValues());
  EXPECT_NEAR(g[4][5], 130.0 / 9.0, 1e-12);
  EXPECT_NE(run.console().find("no station of the interpolation of temperature has a value at "
                               "2015-04-01 02:00; the grid takes the values of 2015-04-01 01:00, "
                               "the last step with one, again"),
            std::string::npos)
      << run.console();
  run.step(*temperature);
  EXPECT_TRUE(temperature->hasNewValues());

  // At the first step there is no grid before.
  MeteoRun first("idw_missing_first", idwSection("2 1e9 8").text(),
                 {{"stations.txt", twoStations({{-999.0, -1000.0}, {10.0, 20.0}}).text()}});
  auto interpolator = first.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << first.console();
  EXPECT_EQ(exitCodeOf([&] { first.step(*interpolator); }), 69);
  EXPECT_NE(first.console().find("no station of the interpolation of temperature in stations.txt "
                                 "has a value at 2015-04-01 00:00, the first step, so no grid can "
                                 "be made"),
            std::string::npos)
      << first.console();
}

// Thirty stations of which the nearest ones often lack a value, so that the
// list of stations kept per cell runs out: every cell still follows the
// definition.
TEST(InverseDistanceWeighting, MatchesTheDefinitionWhenNearStationsLackValues) {
  StationTable t;
  unsigned seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<double>((seed >> 8) % 10000) / 10000.0;
  };
  for (int s = 0; s < 30; ++s) {
    t.x.push_back(-2000.0 + 14000.0 * next());
    t.y.push_back(-2000.0 + 12000.0 * next());
  }
  for (int line = 0; line < 4; ++line) {
    std::vector<double> values;
    for (int s = 0; s < 30; ++s)
      values.push_back(line == 1 && s % 6 != 0 ? -9999.0 : 10.0 * next() - 3.0);
    t.values.push_back(values);
  }
  for (const char* idw : {"2 3000 3", "1.5 1e9 5", "2 800 2"}) {
    MeteoRun run("idw_definition", idwSection(idw).text(), {{"stations.txt", t.text()}});
    int code = 0;
    auto temperature = run.interpolator("temperature", code);
    ASSERT_EQ(code, 0) << run.console();
    double exponent = 0.0, distance = 0.0;
    long maxStations = 0;
    std::sscanf(idw, "%lf %lf %ld", &exponent, &distance, &maxStations);
    const MeteoModel& m = *run.model;
    for (int line = 0; line < 3; ++line) {
      run.step(*temperature);
      for (long r = 1; r <= m.header.nrows; ++r)
        for (long c = 1; c <= m.header.ncols; ++c) {
          if (!m.valid(r, c)) continue;
          const double expected = idwByDefinition(m.x(c), m.y(r), t.x, t.y, t.values[line],
                                                  exponent, distance, maxStations);
          EXPECT_NEAR(temperature->getGrid()[r][c], expected, 1e-12 * std::fabs(expected) + 1e-12)
              << idw << " line " << line << " cell " << r << "," << c;
        }
    }
  }
}

} // namespace
