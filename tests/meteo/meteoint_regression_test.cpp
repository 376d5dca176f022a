#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "meteo/meteoint.h"
#include "tests/meteo/meteo_model.h"

namespace {

double elevationAt(long r, long c) { return 200.0 + 50.0 * r + 7.0 * c; }

InterpolatorSection regressionSection(const std::string& minStations) {
  InterpolatorSection s;
  s.method = 2;
  s.minStations = minStations;
  return s;
}

struct Line {
  double a, b;
  double at(double z) const { return a + b * z; }
};

// Least squares through points, as a check independent of the model.
Line fitted(const std::vector<double>& z, const std::vector<double>& v) {
  const double n = static_cast<double>(z.size());
  double sz = 0, sv = 0, szz = 0, szv = 0;
  for (std::size_t i = 0; i < z.size(); ++i) {
    sz += z[i];
    sv += v[i];
    szz += z[i] * z[i];
    szv += z[i] * v[i];
  }
  const double b = (n * szv - sz * sv) / (n * szz - sz * sz);
  return {(sv - b * sz) / n, b};
}

TEST(ElevationRegression, IsExactInOneRegionForStationsOnALine) {
  const Line line{12.0, -0.0065};
  StationTable t;
  t.x = {1500, 4500, 8500};
  t.y = {4500, 6500, 2500};
  t.z = {300, 500, 800};
  t.values = {{line.at(300), line.at(500), line.at(800)},
              {line.at(300), -9999, line.at(800)},
              {-9999, 4.0, -999},
              {1, 2, 3}};
  MeteoRun run("regression_one_region", regressionSection("2").text(), {{"stations.txt", t.text()}},
               MeteoRun::catchment, elevationAt);
  run.model->addGrid("regression_regions", [](long, long) { return 1.0; });
  run.model->addGrid("regression_weights1", [](long, long) { return 1.0; });
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  const MeteoModel& m = *run.model;
  Grid g = temperature->getGrid();
  for (int step = 0; step < 3; ++step) {
    run.step(*temperature);
    for (long r = 1; r <= m.header.nrows; ++r)
      for (long c = 1; c <= m.header.ncols; ++c) {
        if (!m.valid(r, c)) {
          EXPECT_EQ(g[r][c], -9999.0);
          continue;
        }
        // A single station with a value gives its value everywhere.
        const double expected = step < 2 ? line.at(elevationAt(r, c)) : 4.0;
        EXPECT_NEAR(g[r][c], expected, 1e-9) << "step " << step << " cell " << r << "," << c;
      }
  }
}

// Region 3 in columns 1 .. 5, region 7 in columns 6 .. 10; the columns 5
// and 6 along the border weigh their own region 0.6 and the other 0.4.
// Two stations of each region lie outside the valid cells and belong to
// the region whose centre is nearest.
struct TwoRegions {
  Line west{20.0, -0.01};
  Line east{-5.0, 0.004};
  StationTable table() const {
    StationTable t;
    t.x = {1500, 2500, -3000, 8500, 9500};
    t.y = {4500, 4500, 4000, 4500, 3500};
    t.z = {350, 420, 610, 380, 560};
    std::vector<double> v = {west.at(350), west.at(420), west.at(610), east.at(380), east.at(560)};
    t.values = {v, v, v, v};
    return t;
  }
  static double region(long, long c) { return c <= 5 ? 3.0 : 7.0; }
  static bool border(long c) { return c == 5 || c == 6; }
  void addGrids(MeteoModel& m) const {
    m.addGrid("regression_regions", region);
    m.addGrid("regression_weights1", [](long, long c) { return border(c) ? 0.6 : 1.0; });
    m.addGrid("regression_regions2",
              [](long r, long c) { return border(c) ? region(r, 11 - c) : 0.0; });
    m.addGrid("regression_weights2", [](long, long c) { return border(c) ? 0.4 : 0.0; });
  }
};

TEST(ElevationRegression, BlendsTwoRegionsWithTheRegionWeights) {
  const TwoRegions regions;
  MeteoRun run("regression_two_regions", regressionSection("2").text(),
               {{"stations.txt", regions.table().text()}}, MeteoRun::catchment, elevationAt);
  regions.addGrids(*run.model);
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  run.step(*temperature);
  const MeteoModel& m = *run.model;
  for (long r = 1; r <= m.header.nrows; ++r)
    for (long c = 1; c <= m.header.ncols; ++c) {
      if (!m.valid(r, c)) continue;
      const double z = elevationAt(r, c);
      const Line& own = c <= 5 ? regions.west : regions.east;
      const Line& other = c <= 5 ? regions.east : regions.west;
      const double w1 = TwoRegions::border(c) ? 0.6 : 1.0;
      const double expected = w1 * own.at(z) + (1.0 - w1) * other.at(z);
      EXPECT_NEAR(temperature->getGrid()[r][c], expected, 1e-9) << r << "," << c;
    }
}

TEST(ElevationRegression, TakesTheFitOverAllStationsWhereARegionHasTooFew) {
  const TwoRegions regions;
  StationTable t = regions.table();
  MeteoRun run("regression_too_few", regressionSection("3").text(), {{"stations.txt", t.text()}},
               MeteoRun::catchment, elevationAt);
  regions.addGrids(*run.model);
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  run.step(*temperature);
  // The west has three stations, the east two.
  const Line all = fitted(t.z, t.values[0]);
  for (long r : {2, 4, 6})
    for (long c : {3, 4, 7, 8}) {
      const double z = elevationAt(r, c);
      const double expected = c <= 5 ? regions.west.at(z) : all.at(z);
      EXPECT_NEAR(temperature->getGrid()[r][c], expected, 1e-9) << r << "," << c;
    }
}

} // namespace
