#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/submodel/submodel_fixture.h"
#include "vertical/expokorrklasse.h"

namespace {

using CellValue = std::function<double(long, long)>;
CellValue constant(double v) {
  return [v](long, long) { return v; };
}

// "[radiation_correction]" with c = 3 and the first `lines` of its ten values.
std::string section(int flow, int minutes, int method, int n, int m, size_t lines = 10) {
  const std::string values[] = {
      std::to_string(method), "tkorr.asc",      "0", "3.0", "exkorr.asc", "0", "shadow.asc", "0",
      std::to_string(n),      std::to_string(m)};
  std::string text =
      "[radiation_correction]\n" + std::to_string(flow) + "\n" + std::to_string(minutes) + "\n";
  for (size_t k = 0; k < lines; ++k) text += values[k] + "  value\n";
  return text;
}

// A radiation correction on one process over cells of 10 m at 47.3 N on the
// meridian of its time zone; cell (1, 1) lies outside the zone grid.
struct Correction {
  Correction(const std::string& name, long nrows, long ncols, const std::string& sectionText)
      : s(name, sectionText) {
    s.context.header.nrows = s.context.header.lastRow = nrows;
    s.context.header.ncols = ncols;
    s.context.header.cellsize = 10.0;
    s.context.latitude = 47.3;
    s.context.longitude = s.context.referenceMeridian = 15.0;
  }
  Grid add(const std::string& name, const CellValue& f) {
    std::vector<double> values;
    for (long r = 1; r <= s.context.header.nrows; ++r)
      for (long c = 1; c <= s.context.header.ncols; ++c) values.push_back(f(r, c));
    return s.addGrid(name, values);
  }
  // The set-up's grids; slope and aspect in degrees.
  void terrain(const CellValue& elevation = constant(0), const CellValue& slope = constant(0),
               const CellValue& aspect = constant(0)) {
    add("[zone_grid]", [](long r, long c) { return r == 1 && c == 1 ? -9999.0 : 1.0; });
    add("MPIRegions", constant(0));
    add("[elevation_model]", elevation);
    add("slope_angle", slope);
    add("slope_aspect", aspect);
  }
  void build() {
    module = constructSubmodel<expokorrklasse>(code, s.context);
    ASSERT_EQ(code, 0) << s.log.console.str();
  }
  Grid grid(const std::string& name) const {
    for (const GridRegistryEntry& e : s.registry)
      if (e.hasName && e.name == name) return e.grid;
    return nullptr;
  }
  void step(long hour, long minute = 0, long day = 21, long month = 3) {
    module->correctRadiation(minute, hour, day, month, 2021);
  }
  // The sun at an hour of the data's clock, by the base's formulas.
  void sun(double hour, double& azimuth, double& zenith, long day = 21, long month = 3) {
    double elevation = 0.0;
    TestSubmodel(s.context, "sun")
        .sunPosition(day, month, azimuth, elevation, s.context.latitude, 15.0, hour);
    zenith = 0.5 * M_PI - elevation;
  }

  SubmodelSetup s;
  int code = -1;
  std::unique_ptr<expokorrklasse> module;
};

} // namespace

TEST(Expokorrklasse, RegistersItsGridsByMethodAndSwitch) {
  struct Case {
    const char* what;
    int flow, minutes, method;
    bool temperature, routingOnly, shades;
    std::vector<std::string> grids;
  };
  const std::vector<std::string> three = {"radiation_correction", "Shadow", "Ieff_max"};
  std::vector<std::string> four = three, all = three;
  four.push_back("temperature_night");
  all.insert(all.end(), {"corr_temperature", "temperature_night"});
  const std::vector<Case> cases = {
      {"method 1: no corr_temperature", 1, 60, 1, true, false, true, four},
      {"method 2", 1, 60, 2, true, false, true, all},
      {"method 3", 2, 60, 3, true, false, false, four},
      {"method 4", 1, 60, 4, true, false, false, all},
      {"method 0 as 2", 1, 60, 0, true, false, true, all},
      {"method 5 as 2", 1, 60, 5, true, false, true, all},
      {"method 7 as 2", 1, 60, 7, true, false, true, all},
      {"method 4 without temperature", 1, 60, 4, false, false, false, three},
      {"off with daily steps", 0, 1440, 2, true, false, false, {"temperature_night"}},
      {"off with hourly steps", 0, 60, 2, true, false, false, {"temperature_night"}},
      {"off without temperature", 0, 1440, 2, false, false, false, {}},
      {"routing only", 1, 60, 2, true, true, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Correction run("radcorr_grids", 8, 5, section(c.flow, c.minutes, c.method, 1, 2));
    // A wall of 30 m along row 6 shades the cells north of it in the morning.
    run.terrain([](long r, long) { return r == 6 ? 30.0 : 0.0; });
    Grid t = c.temperature ? run.add("temperature", constant(5.0)) : nullptr;
    run.s.context.routingOnly = c.routingOnly;
    int first = 1;
    while (run.s.registry[first].hasFileName) ++first;
    run.build();
    std::vector<std::string> grids;
    for (int i = first; run.s.registry[i].hasName; ++i) grids.push_back(run.s.registry[i].name);
    EXPECT_EQ(grids, c.grids);
    EXPECT_EQ(run.module->getRadiationCorrection() != nullptr, c.flow == 1 && !c.routingOnly);
    EXPECT_EQ(run.module->hasOwnGrids(), !c.grids.empty());
    for (long hour : {10, 11}) {
      if (t) t[4][3] = hour;
      run.step(hour);
      if (Grid night = run.grid("temperature_night")) {
        EXPECT_EQ(night[4][3], hour);
      }
    }
    if (Grid shadow = run.grid("Shadow")) {
      EXPECT_EQ(shadow[5][3], c.shades ? 1.0 : 0.0);
      EXPECT_EQ(shadow[7][3], 0.0);
    }
  }
}

TEST(Expokorrklasse, FailsWithTheMessageOfEachFault) {
  const std::string labels[] = {"methode of correction for ",   "name of the TKORR-Grid for",
                                "Writegrid EXKORR for ",        "scaling factor for Tkorr for ",
                                "name of the EXKORR-Grids for", "Writegrid EXKORR for ",
                                "name of the SHAPE-Grid for",   "Writegrid SHAPE for ",
                                "number if timesteps for ",     "number of splittings for "};
  struct Case {
    std::string section;
    int code;
    std::string message;
    bool registryFull = false;
  };
  std::vector<Case> cases;
  for (size_t k = 0; k < 10; ++k)
    cases.push_back({section(1, 60, 2, 1, 1, k), 17,
                     "error in control file, " + labels[k] + "; (EOF)not found!"});
  const std::string atLeastOne = "\" must be a whole number of at least 1";
  cases.push_back({section(1, 60, 2, 0, 1), 17, "value 0 of \"" + labels[8] + atLeastOne});
  cases.push_back({section(1, 60, 2, 1, 0), 17, "value 0 of \"" + labels[9] + atLeastOne});
  cases.push_back({section(1, 60, 2, 1, 1), 12, "no free grid left1000", true});
  // The scaling factor stands in line 7 of the file.
  std::string scaled = section(1, 60, 2, 1, 1);
  scaled.replace(scaled.find("3.0  value"), 3, "-2");
  cases.push_back({scaled, 17,
                   "section [radiation_correction]: the value -2 of \"scaling factor for Tkorr "
                   "for \" must be 0 ... 10 (K) (line 7 of "});
  std::string coded = section(1, 60, 1, 1, 1);
  coded.replace(coded.find("0  value"), 1, "-1");
  cases.push_back({coded, 17,
                   "the value -1 of \"Writegrid EXKORR for \" (of the corrected "
                   "temperature) must be 0 or more"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Correction run("radcorr_faults", 3, 3, c.section);
    run.terrain();
    for (int i = 6; c.registryFull && i < gridRegistryLimit; ++i)
      run.s.registry[i].hasFileName = run.s.registry[i].hasName = true;
    run.module = constructSubmodel<expokorrklasse>(run.code, run.s.context);
    EXPECT_EQ(run.code, c.code);
    EXPECT_NE(run.s.log.lastEntry().find(c.message), std::string::npos) << run.s.log.lastEntry();
  }
}

TEST(Expokorrklasse, FlatTerrainGetsTheRadiationOfThePlain) {
  Correction run("radcorr_flat", 3, 4, section(1, 60, 4, 1, 4));
  run.terrain(constant(400), constant(0), [](long r, long c) { return 90.0 * (r + c); });
  const Grid t = run.add("temperature", [](long r, long c) { return 2.0 * r - c; });
  run.build();
  run.step(11);
  // Clear-sky beam on the plain over the quarter hours of 10:00 to 11:00.
  double plain = 0.0;
  for (double tm : {10.125, 10.375, 10.625, 10.875}) {
    double azimuth = 0, z = 0;
    run.sun(tm, azimuth, z);
    plain += 1367.0 * 0.25 * std::pow(0.86, 0.9 / std::cos(z)) * std::cos(z);
  }
  const char* names[] = {"radiation_correction", "Shadow", "corr_temperature", "Ieff_max"};
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      const bool outside = r == 1 && c == 1;
      const double expected[] = {1.0, 0.0, t[r][c], plain};
      for (int k = 0; k < 4; ++k)
        EXPECT_NEAR(run.grid(names[k])[r][c], outside ? -9999.0 : expected[k],
                    k < 3 ? 0 : 1e-9 * plain)
            << names[k] << " at row " << r << ", column " << c;
    }
}

TEST(Expokorrklasse, SlopesGetTheBeamOfTheirAngleOfIncidence) {
  struct Case {
    const char* what;
    long hour, minute;
    double slope;    // degrees, toward the sun (away when negative); 0: the slope of ratio 1.5
    double sunshine; // none when negative
    double ratio;    // NAN: cos i / cos Z
    double temperatureChange;
  };
  const std::vector<Case> cases = {
      {"toward a high sun", 13, 0, 30, -1, NAN, NAN},
      {"away from a high sun", 13, 0, -30, -1, NAN, NAN},
      {"away from a sun below 30 degrees", 7, 0, -30, -1, 0.0, -2.4141},
      {"toward a low sun: five times the plain", 5, 30, 60, -1, 5.0, NAN},
      {"one and a half times the plain", 7, 0, 0, -1, NAN, 0.608198},
      {"overcast: as the plain", 7, 0, 30, 0.05, 1.0, 0.0},
      {"overcast and turned away", 7, 0, -30, 0.05, 0.0, -1.6094 * 3 * 0.05},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Correction run("radcorr_slopes", 2, 2, section(1, 60, 4, 1, 1));
    double azimuth = 0, z = 0;
    run.sun(c.hour + c.minute / 60.0 - 0.5, azimuth, z, 21, 6); // the middle of the hour
    const double tilt = c.slope != 0 ? c.slope * M_PI / 180 : z - std::acos(1.5 * std::cos(z));
    const double facing = (azimuth + (tilt < 0 ? M_PI : 0)) * 180 / M_PI;
    run.terrain(constant(0), constant(std::fabs(tilt) * 180 / M_PI),
                constant(std::fmod(facing, 360.0)));
    run.add("temperature", constant(10.0));
    if (c.sunshine >= 0) run.add("sunshine_duration", constant(c.sunshine));
    run.build();
    run.step(c.hour, c.minute, 21, 6);
    // In the plane of the sun the angle of incidence is z - tilt.
    const double expected = std::isnan(c.ratio) ? std::cos(z - tilt) / std::cos(z) : c.ratio;
    EXPECT_NEAR(run.grid("radiation_correction")[2][2], expected, 1e-9);
    if (!std::isnan(c.temperatureChange)) {
      EXPECT_NEAR(run.grid("corr_temperature")[2][2], 10.0 + c.temperatureChange, 1e-6);
    }
  }
}

TEST(Expokorrklasse, CountsASubintervalAsNightBeyondNinetyFivePercent) {
  const double hoursAfterSunrise[] = {-1.0, 0.4, 0.6}; // at the end of one sub-interval of 10 h
  const bool night[] = {true, true, false};
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(hoursAfterSunrise[k]);
    Correction run("radcorr_night", 2, 2, section(1, 600, 4, 1, 1));
    run.terrain();
    run.add("temperature", constant(7.0));
    run.build();
    double sunrise = 0, sunset = 0;
    run.module->sunriseSunset(21, 3, sunrise, sunset, 47.3, 15.0);
    run.s.context.hourShift = sunrise + hoursAfterSunrise[k] - 12.0; // 12:00 of the data
    run.step(12);
    EXPECT_EQ(run.grid("radiation_correction")[2][2], night[k] ? 0.0 : 1.0);
    EXPECT_EQ(run.grid("Ieff_max")[2][2] > 0.0, !night[k]);
    EXPECT_EQ(run.grid("corr_temperature")[2][2], 7.0);
  }
}

TEST(Expokorrklasse, ADailyStepFindsTheSunOfTheDayBefore) {
  // Hourly sub-intervals of the day from 0:00, and of the day from 7:00 the
  // day before: the same hours of the same sun.
  double sums[2] = {0.0, 0.0};
  for (int k = 0; k < 2; ++k) {
    Correction run("radcorr_daily", 2, 2, section(1, 1440, 4, 1, 24));
    run.s.context.minToIntEnd = k == 0 ? 1440.0 : 0.0;
    run.terrain();
    run.build();
    run.step(k == 0 ? 0 : 7);
    sums[k] = run.grid("Ieff_max")[2][2];
  }
  EXPECT_GT(sums[0], 1000.0);
  EXPECT_NEAR(sums[1], sums[0], 1e-9 * sums[0]);
}

TEST(Expokorrklasse, AWallCastsAShadowOfItsHeight) {
  const double latitudes[] = {47.3, -47.3};
  // Suns in all four quadrants, high enough for rays along the rows, low
  // enough for rays along the columns.
  const double hours[] = {10.5, 13.5, 8.5, 15.5};
  const long n = 32;
  const double height = 60.0;
  for (double latitude : latitudes)
    for (double hour : hours) {
      SCOPED_TRACE(std::to_string(latitude) + " degrees, " + std::to_string(hour) + " h");
      Correction run("radcorr_wall", n, n, section(1, 60, 1, 1, 1));
      run.s.context.latitude = latitude;
      double azimuth = 0, z = 0;
      run.sun(hour, azimuth, z);
      const double cosAz = std::cos(azimuth), sinAz = std::sin(azimuth);
      EXPECT_EQ(cosAz > 0, latitude < 0);
      EXPECT_EQ(sinAz > 0, hour < 12);
      // Across the grid, four cells from the edge that faces the sun, along
      // a row when the sun stands more north or south than east or west.
      const bool alongRow = std::fabs(cosAz) > std::fabs(sinAz);
      EXPECT_EQ(alongRow, hour == 10.5 || hour == 13.5);
      const long wall = (alongRow ? cosAz < 0 : sinAz > 0) ? n - 3 : 4;
      run.terrain([&](long r, long c) { return (alongRow ? r : c) == wall ? height : 0.0; });
      run.build();
      run.step(static_cast<long>(hour + 0.5));
      // Distance d (cells) from a cell toward the sun to the wall, and the
      // place where that line meets it; the shadow reaches H / tan(elevation).
      const double length = height / std::tan(0.5 * M_PI - z) / 10.0;
      const double step = 1.0 / std::max(std::fabs(cosAz), std::fabs(sinAz));
      int shaded = 0, sunlit = 0;
      for (long r = 2; r <= n; ++r)
        for (long c = 1; c <= n; ++c) {
          const double d = alongRow ? (r - wall) / cosAz : (wall - c) / sinAz;
          const double meets = alongRow ? c + d * sinAz : r - d * cosAz;
          if ((alongRow ? r : c) == wall || meets < 4 || meets > n - 3 ||
              std::fabs(d - length) < 1.5 * step)
            continue;
          const bool inShadow = d > 0 && d < length;
          EXPECT_EQ(run.grid("Shadow")[r][c], inShadow ? 1.0 : 0.0) << r << ", " << c;
          EXPECT_EQ(run.grid("radiation_correction")[r][c], inShadow ? 0.0 : 1.0) << r << ", " << c;
          (inShadow ? shaded : sunlit)++;
        }
      EXPECT_GT(shaded, 3 * n);
      EXPECT_GT(sunlit, 3 * n);
    }
}

TEST(Expokorrklasse, ComputesEveryNthStepAndCorrectsEveryStepsTemperature) {
  Correction run("radcorr_every", 4, 4, section(1, 60, 2, 3, 2));
  run.terrain([](long r, long) { return r == 3 ? 25.0 : 0.0; }, constant(20),
              [](long r, long c) { return 40.0 * r + 70.0 * c; });
  const Grid t = run.add("temperature", constant(0.0));
  run.build();
  std::vector<double> before;
  for (long step = 1; step <= 7; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    std::vector<double> kept;
    for (long r = 1; r <= 4; ++r)
      for (long c = 1; c <= 4; ++c) t[r][c] = 3.0 * step + r;
    run.step(7 + step);
    for (long r = 2; r <= 4; ++r)
      for (long c = 1; c <= 4; ++c) {
        const double ratio = run.grid("radiation_correction")[r][c];
        kept.insert(kept.end(), {ratio, run.grid("Ieff_max")[r][c], run.grid("Shadow")[r][c]});
        EXPECT_NEAR(run.grid("corr_temperature")[r][c],
                    t[r][c] + 1.5 * std::log(std::max(ratio, 0.2)), 1e-4);
        EXPECT_EQ(run.grid("temperature_night")[r][c], t[r][c]);
      }
    // Steps 1, 4 and 7 compute: the sun has moved since.
    if (step > 1) {
      EXPECT_EQ(kept != before, step == 4 || step == 7);
    }
    before = kept;
  }
}
