#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "meteo/meteo_dates.h"
#include "meteo/meteoint.h"
#include "tests/core/gif_encoder.h"
#include "tests/meteo/meteo_model.h"
#include "tests/test_support.h"

namespace {

StationTable oneStation(const std::vector<double>& values) {
  StationTable t;
  t.x = {3000.0};
  t.y = {4000.0};
  for (double v : values) t.values.push_back({v});
  return t;
}

// An ASCII grid on the model grid: value(r, c) in every cell.
std::string asciiGrid(const CellFunction& value) {
  std::ostringstream out;
  out << "ncols 10\nnrows 8\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n";
  for (long r = 1; r <= 8; ++r) {
    for (long c = 1; c <= 10; ++c) out << value(r, c) << (c < 10 ? " " : "\n");
  }
  return out.str();
}

TEST(meteointerpol, ReportsFaultsOfItsSection) {
  struct Case {
    const char* name;
    InterpolatorSection section;
    int code;
    std::string message;
  };
  std::vector<Case> cases;
  InterpolatorSection s;
  s.method = 5;
  cases.push_back({"method", s, 70,
                   "interpolation method 5 of temperature is not available (methods: 1 inverse "
                   "distance weighting, 2 elevation regression, 6 grid files, 9 GIF images)"});
  s = InterpolatorSection{};
  s.method = 9;
  s.gifLines = "8.9e-05 0.0767 127 6e-06  too few\n0 0 1000 georeference\n";
  cases.push_back(
      {"gif_mapping", s, 49,
       "error reading the required 5 GIF-Mapping parameters f1 (default=8.916787e-5), x1 "
       "(0.0767528404), threshold (127), f2 (default=6.00e-006), x2 (0.098) for interpolation "
       "of temperature"});
  s = InterpolatorSection{};
  s.step = 0;
  cases.push_back({"time_step", s, 70,
                   "error in control file, section [temperature]: the time step must be at least 1 "
                   "minute"});
  s = InterpolatorSection{};
  s.limits = "5 -5";
  cases.push_back({"limits", s, 70, "the lower limit lies above the upper limit"});
  s = InterpolatorSection{};
  s.limits = "-40 1e9";
  cases.push_back({"upper_limit", s, 70,
                   "section [temperature]: the upper limit must lie within -1e6 ... 1e6; it is "
                   "1e+09"});
  s = InterpolatorSection{};
  s.limits = "-1e7 50";
  cases.push_back({"lower_limit", s, 70, "the lower limit must lie within -1e6 ... 1e6; it is "});
  s = InterpolatorSection{};
  s.idw = "10.5 1e9 8";
  cases.push_back(
      {"idw_exponent", s, 70, "the IDW exponent must be above 0 and at most 10; it is 10.5"});
  s = InterpolatorSection{};
  s.minStations = "0";
  cases.push_back({"min_stations_idw", s, 70,
                   "the minimum number of stations per region must be at least 1; it is 0"});
  s = InterpolatorSection{};
  s.idw = "2 1e9";
  cases.push_back({"idw_line", s, 17,
                   "error in control file, IDW exponent, maximum distance and maximum number of "
                   "stations for the interpolation of temperature; [temperature], line 15 of "});
  s = InterpolatorSection{};
  s.output = "";
  cases.push_back({"no_output_line", s, 17, "output grid file name and write code"});
  s = InterpolatorSection{};
  s.name = "humidity";
  cases.push_back({"no_section", s, 17, "error in control file, [temperature]; (EOF)not found!"});
  for (const Case& c : cases) {
    MeteoRun run(std::string("section_") + c.name, c.section.text(),
                 {{"stations.txt", oneStation({1, 2, 3, 4}).text()}});
    int code = 0;
    auto temperature = run.interpolator("temperature", code);
    EXPECT_EQ(code, c.code) << c.name;
    EXPECT_NE(run.console().find(c.message), std::string::npos) << c.name << "\n" << run.console();
  }
}

TEST(meteointerpol, RefusesAVariableThatIsAStandardGridToo) {
  MeteoRun run("standard_grid_too", InterpolatorSection{}.text(),
               {{"stations.txt", oneStation({1, 2, 3, 4}).text()}});
  run.model->addGrid("temperature", [](long, long) { return 0.0; });
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  EXPECT_EQ(code, 70);
  EXPECT_NE(run.console().find("temperature is a meteorological variable of [meteo_names] and a "
                               "standard grid at once"),
            std::string::npos);
}

TEST(meteointerpol, StepsFromTheStartToTheEndDate) {
  MeteoRun run("dates", InterpolatorSection{}.text(),
               {{"stations.txt", oneStation({1, 2, 3, 4, 5}).text()}});
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  Grid g = temperature->getGrid();
  EXPECT_EQ(formatDate(temperature->getNextDate()), "2015-04-01 00:00");
  EXPECT_FALSE(temperature->isAtEnd());
  // Another interpolator's date that is not this one's next step.
  EXPECT_EQ(exitCodeOf([&] { temperature->interpolate(ModelDate{0, 1, 1, 4, 2015}); }), 78);
  EXPECT_NE(run.console().find("the dates of the meteorological interpolators disagree: the step "
                               "of 2015-04-01 01:00 is not the next step of the interpolation of "
                               "temperature, which is 2015-04-01 00:00 (time step 60 minutes)"),
            std::string::npos);
  for (double expected : {1.0, 2.0, 3.0}) {
    run.step(*temperature);
    EXPECT_EQ(g[3][3], expected);
    EXPECT_FALSE(temperature->isAtEnd());
  }
  EXPECT_EQ(formatDate(temperature->getNextDate()), "2015-04-01 03:00");
  run.step(*temperature);
  EXPECT_EQ(g[3][3], 4.0);
  EXPECT_TRUE(temperature->isAtEnd());
  // Spin-up: the period again from its start.
  temperature->rewind();
  EXPECT_EQ(formatDate(temperature->getNextDate()), "2015-04-01 00:00");
  run.step(*temperature);
  EXPECT_EQ(g[3][3], 1.0);
  // Cancelled with the next interval: the end moves to the current date.
  temperature->setEndDate(2015, 4, 1, 0, 0);
  EXPECT_TRUE(temperature->isAtEnd());
}

TEST(meteointerpol, EndsWhenTheStationFileDoesNotCoverThePeriod) {
  for (const ModelDate& start : {ModelDate{0, 22, 31, 3, 2015}, ModelDate{0, 2, 1, 4, 2015}}) {
    MeteoRun run("dates_outside", InterpolatorSection{}.text(),
                 {{"stations.txt", oneStation({1, 2, 3}).text()}});
    run.context.startDate = start;
    int code = 0;
    auto temperature = run.interpolator("temperature", code);
    EXPECT_EQ(code, 69) << run.console();
  }
}

// Other modules change an interpolated grid in place after its step (the
// gauge correction, the superposition, irrigation): a step in which no
// station has a value interpolates the values of the last step with one
// again, whatever they made of its grid.
TEST(meteointerpol, InterpolatesTheLastValuesAgainWhereNoStationHasOne) {
  auto elevation = [](long r, long c) { return 200.0 + 50.0 * r + 7.0 * c; };
  struct Case {
    int method;
    std::vector<double> first, last; // the station values of steps 1 and 4
    CellFunction atFirst, atLast;    // the grids they give, by hand
  };
  // Stations at the centres of cells (2, 3), (5, 8) and (7, 2).
  const std::vector<double> x = {2500.0, 7500.0, 1500.0};
  const std::vector<double> y = {6500.0, 3500.0, 1500.0};
  const std::vector<double> z = {300.0, 500.0, 800.0};
  auto idw = [&](std::vector<double> values) {
    return [=](long r, long c) {
      return idwByDefinition(1000.0 * c - 500.0, 8500.0 - 1000.0 * r, x, y, values, 2.0, 1e9, 8);
    };
  };
  // Stations on the lines 12 - 0.0065 z and 3 + 0.001 z.
  auto line = [&](double a, double b) {
    return [=](long r, long c) { return a + b * elevation(r, c); };
  };
  const Case cases[] = {
      {1, {10.0, 20.0, 15.0}, {30.0, 30.0, 30.0}, idw({10.0, 20.0, 15.0}), line(30.0, 0.0)},
      {2, {10.05, 8.75, 6.8}, {3.3, 3.5, 3.8}, line(12.0, -0.0065), line(3.0, 0.001)},
  };
  const std::vector<double> none = {-9999.0, -9999.0, -9999.0};
  for (const Case& k : cases) {
    StationTable t;
    t.x = x;
    t.y = y;
    t.z = z;
    t.values = {k.first, none, none, k.last};
    InterpolatorSection s;
    s.method = k.method;
    MeteoRun run("kept_values", s.text(), {{"stations.txt", t.text()}}, MeteoRun::catchment,
                 elevation);
    run.model->addGrid("regression_regions", [](long, long) { return 1.0; });
    run.model->addGrid("regression_weights1", [](long, long) { return 1.0; });
    int code = 0;
    auto temperature = run.interpolator("temperature", code);
    ASSERT_EQ(code, 0) << run.console();
    const MeteoModel& m = *run.model;
    Grid g = temperature->getGrid();
    const CellFunction* expected[] = {&k.atFirst, &k.atFirst, &k.atFirst, &k.atLast};
    for (int step = 0; step < 4; ++step) {
      run.step(*temperature);
      EXPECT_EQ(temperature->hasNewValues(), step == 0 || step == 3);
      for (long r = 1; r <= m.header.nrows; ++r)
        for (long c = 1; c <= m.header.ncols; ++c) {
          if (!m.valid(r, c)) continue;
          EXPECT_NEAR(g[r][c], (*expected[step])(r, c), 1e-9)
              << "method " << k.method << ", step " << step << ", cell " << r << "," << c;
          // What the modules after the interpolation make of it.
          g[r][c] = 1.5 * g[r][c] + 2.0;
        }
    }
    EXPECT_NE(run.console().find("no station of the interpolation of temperature has a value at "
                                 "2015-04-01 02:00; the grid takes the values of 2015-04-01 "
                                 "00:00, the last step with one, again"),
              std::string::npos)
        << run.console();
  }
}

TEST(meteointerpol, WritesItsGridAsTheWriteCodeAsksAndSummarisesEveryStep) {
  InterpolatorSection s;
  s.output = "temperature.asc 1";
  MeteoRun run("output", s.text(), {{"stations.txt", oneStation({1, 2, 3, 4}).text()}});
  run.outputSwitch = 1;
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  run.step(*temperature);
  temperature->writeInterpolatedGrid();
  const std::string text = readFile("temperature.asc");
  EXPECT_EQ(text.substr(0, 11), "ncols\t10\nnr");
  EXPECT_NE(text.find("-9999\t-9999\t1\t1\t1\t1\t1\t1\t-9999\t-9999\n"), std::string::npos) << text;
  long cells = 0;
  for (const std::string& row : MeteoRun::catchment)
    for (char ch : row) cells += ch != '.';
  EXPECT_NE(run.console().find("temperature at 2015-04-01 00:00: mean 1, minimum 1, maximum 1 "
                               "over " +
                               std::to_string(cells) + " cells; 1 of 1 stations with a value"),
            std::string::npos)
      << run.console();
}

TEST(meteointerpol, ReadsOneGridFilePerStep) {
  InterpolatorSection s;
  s.method = 6;
  s.input = "grids/temp";
  s.limits = "-10 25";
  auto field = [](int step) {
    return [step](long r, long c) { return 1.5 * r - 0.5 * c + 10.0 * step; };
  };
  MeteoRun run("grid_files", s.text(),
               {{"grids/temp_2015040100", asciiGrid(field(0))},
                {"grids/temp_2015040101", asciiGrid(field(1))}});
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  Grid g = temperature->getGrid();
  const MeteoModel& m = *run.model;
  for (int step = 0; step < 2; ++step) {
    run.step(*temperature);
    for (long r = 1; r <= m.header.nrows; ++r)
      for (long c = 1; c <= m.header.ncols; ++c) {
        const double v = field(step)(r, c);
        EXPECT_EQ(g[r][c], m.valid(r, c) ? std::min(25.0, std::max(-10.0, v)) : -9999.0)
            << step << ": " << r << "," << c;
      }
  }
  EXPECT_EQ(exitCodeOf([&] { run.step(*temperature); }), 73);
  EXPECT_NE(run.console().find("the grid file grids/temp_2015040102 for the interpolation of "
                               "temperature at 2015-04-01 02:00 does not exist or cannot be read"),
            std::string::npos);
}

TEST(meteointerpol, NamesGridFilesOfShortStepsWithTheirMinutes) {
  InterpolatorSection s;
  s.method = 6;
  s.input = "temp";
  s.step = 30;
  MeteoRun run("grid_file_minutes", s.text(),
               {{"temp_201504010000", asciiGrid([](long, long) { return 1.0; })},
                {"temp_201504010030", asciiGrid([](long, long) { return 2.0; })}});
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  run.step(*temperature);
  run.step(*temperature);
  EXPECT_EQ(temperature->getGrid()[4][4], 2.0);
}

TEST(meteointerpol, ReadsTheRecordOfEachStepFromANetCDFFile) {
  InterpolatorSection s;
  s.method = 6;
  s.input = "series.nc<series>";
  MeteoRun run("grid_netcdf", s.text());
  MeteoModel& m = *run.model;
  Grid source = m.ownedGrid(1, m.header.nrows);
  // A record for each of the four steps from 00:00 to 03:00.
  for (int step = 0; step < 4; ++step) {
    for (long r = 1; r <= m.header.nrows; ++r)
      for (long c = 1; c <= m.header.ncols; ++c) source[r][c] = 100.0 * step + r + 0.1 * c;
    m.writeGrid("series", source, false, true, true);
  }
  int code = 0;
  auto temperature = run.interpolator("temperature", code);
  ASSERT_EQ(code, 0) << run.console();
  for (int step = 0; step < 4; ++step) {
    run.step(*temperature);
    EXPECT_DOUBLE_EQ(temperature->getGrid()[4][6], 100.0 * step + 4.6) << step;
    EXPECT_EQ(temperature->getGrid()[1][1], -9999.0);
  }
}

TEST(meteointerpol, ReadsOneGIFImagePerStepWithItsMappingAndGeoreference) {
  // The image reaches one cell further west and south than the model grid
  // (whose corner lies at 0, 0), so that its pixel centres fall on the cell
  // centres: cell (r, c) takes pixel (r, c + 1).
  InterpolatorSection s;
  s.name = "radar";
  s.method = 9;
  s.input = "radar";
  s.gifLines = "2.0 0.01 100 0.5 0.02   GIF-Mapping f1 x1 threshold f2 x2\n"
               "-1000 -1000 1000   GIF georeference x0 y0 cell size\n";
  auto pixel = [](int step, long r, long c) { return static_cast<uint8_t>(90 + 3 * r + c + step); };
  std::vector<std::pair<std::string, std::string>> files;
  for (int step = 0; step < 2; ++step) {
    std::vector<uint8_t> pixels;
    for (long r = 1; r <= 9; ++r)
      for (long c = 0; c <= 10; ++c) pixels.push_back(pixel(step, r, c));
    files.push_back({"radar_201504010" + std::to_string(step),
                     gif_test::GifWriter(11, 9, 7)
                         .image(11, 9, gif_test::lzwEncode(pixels, {8, true, 0}), 8)
                         .trailer()});
  }
  MeteoRun run("gif_images", s.text(), files);
  int code = 0;
  auto radar = run.interpolator("radar", code);
  ASSERT_EQ(code, 0) << run.console();
  const MeteoModel& m = *run.model;
  for (int step = 0; step < 2; ++step) {
    run.step(*radar);
    for (long r = 1; r <= m.header.nrows; ++r)
      for (long c = 1; c <= m.header.ncols; ++c) {
        const double v = pixel(step, r, c);
        const double expected = v <= 100 ? 2.0 * std::exp(0.01 * v) : 0.5 * std::exp(0.02 * v);
        const double got = radar->getGrid()[r][c];
        if (!m.valid(r, c))
          EXPECT_EQ(got, -9999.0);
        else
          EXPECT_NEAR(got, expected, 1e-12 * expected) << step << ": " << r << "," << c;
      }
  }
}

} // namespace
