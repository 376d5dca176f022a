#include <gtest/gtest.h>

#include <cmath>

#include "tests/submodel/submodel_fixture.h"

namespace {

// The sun computed here on its own, in degrees and hours, for the checks.
constexpr double degree = M_PI / 180.0;

long dayOfYear(long day, long month) {
  const long before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  return before[month - 1] + day;
}
double declinationDegrees(long d) { return 23.45 * std::sin(2 * M_PI * (284 + d) / 365.0); }
double equationOfTimeMinutes(long d) {
  const double b = 2 * M_PI * (d - 81) / 364.0;
  return 9.87 * std::sin(2 * b) - 7.53 * std::cos(b) - 1.5 * std::sin(b);
}
// Distance of two directions on the circle.
double angleBetween(double a, double b) {
  const double d = std::fabs(std::fmod(a - b, 2 * M_PI));
  return std::min(d, 2 * M_PI - d);
}
// Hours of daylight from the hour angle of sunset.
double dayLength(double latitude, long d) {
  const double x = -std::tan(latitude * degree) * std::tan(declinationDegrees(d) * degree);
  return 2.0 * std::acos(std::max(-1.0, std::min(1.0, x))) / degree / 15.0;
}

struct Sun {
  explicit Sun(const std::string& name, double minutes = 60, double minToIntEnd = 0)
      : s(name, "[mod]\n1\n" + std::to_string(minutes) + "\n") {
    s.context.minToIntEnd = minToIntEnd;
  }
  TestSubmodel& module() {
    if (!m) m = std::make_unique<TestSubmodel>(s.context, "mod");
    return *m;
  }
  SubmodelSetup s;
  std::unique_ptr<TestSubmodel> m;
};

} // namespace

TEST(SolarGeometry, SunriseAndSunsetOfKnownDays) {
  struct Case {
    const char* what;
    double latitude;
    long day, month;
    double solarSunrise; // expected, in solar time
    double length;       // expected day length
    double tolerance;
  };
  const std::vector<Case> cases = {
      {"equinox at the equator", 0, 21, 3, 6.0, 12.0, 1e-8},
      {"summer solstice at 50 N", 50, 21, 6, 12.0 - dayLength(50, 172) / 2, 16.3, 0.25},
      {"winter solstice at 50 N", 50, 21, 12, 12.0 - dayLength(50, 355) / 2, 7.9, 0.25},
      {"polar night", 80, 21, 12, 12.0, 0.0, 1e-8},
      {"midnight sun", 80, 21, 6, 0.0, 24.0, 1e-8},
      {"southern summer", -50, 21, 12, 12.0 - dayLength(-50, 355) / 2, 16.3, 0.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sun sun("sun_rise");
    sun.s.context.referenceMeridian = 15.0;
    sun.s.context.hourShift = 2.0; // local time: no effect on sunrise and sunset
    double sunrise = 0, sunset = 0;
    const long d = dayOfYear(c.day, c.month);
    const double toSolar = equationOfTimeMinutes(d) / 60.0;
    sun.module().sunriseSunset(c.day, c.month, sunrise, sunset, c.latitude, 15.0);
    // The model's pi of 3.141592653 shifts the hours by a few 1e-9.
    EXPECT_NEAR(sunrise + toSolar, c.solarSunrise, 1e-8);
    EXPECT_NEAR(sunset - sunrise, dayLength(c.latitude, d), 1e-8);
    EXPECT_NEAR(sunset - sunrise, c.length, c.tolerance);
    EXPECT_NEAR((sunrise + sunset) / 2 + toSolar, 12.0, 1e-8) << "solar noon";

    // One hour of longitude east of the meridian: the sun rises an hour
    // earlier on the clock.
    double eastRise = 0, eastSet = 0;
    sun.module().sunriseSunset(c.day, c.month, eastRise, eastSet, c.latitude, 30.0);
    EXPECT_NEAR(sunrise - eastRise, 1.0, 1e-9);
  }
}

TEST(SolarGeometry, SunPositionAtNoonSunriseAndAroundNoon) {
  struct Case {
    double latitude;
    long day, month;
  };
  for (const Case& c : std::vector<Case>{{50, 21, 6}, {50, 5, 2}, {-33, 10, 9}, {0, 21, 6}}) {
    SCOPED_TRACE(std::to_string(c.latitude) + " " + std::to_string(c.month));
    Sun sun("sun_position");
    sun.s.context.referenceMeridian = 15.0;
    sun.s.context.hourShift = 1.0;
    const double longitude = 10.0;
    const long d = dayOfYear(c.day, c.month);
    const double delta = declinationDegrees(d);
    // The clock hour (data time) of solar noon.
    const double noon = 12.0 - equationOfTimeMinutes(d) / 60.0 - (longitude - 15.0) / 15.0 - 1.0;
    double azimuth = 0, elevation = 0;
    sun.module().sunPosition(c.day, c.month, azimuth, elevation, c.latitude, longitude, noon);
    EXPECT_NEAR(elevation / degree, 90.0 - std::fabs(c.latitude - delta), 1e-6);
    EXPECT_NEAR(angleBetween(azimuth, c.latitude > delta ? M_PI : 0.0), 0.0, 1e-6)
        << "south, or north";
    EXPECT_GE(azimuth, 0.0);
    EXPECT_LT(azimuth, 2 * M_PI);

    // Three hours either side: east in the morning, west in the afternoon,
    // at the same height.
    double morningAzimuth = 0, morningElevation = 0, eveningAzimuth = 0, eveningElevation = 0;
    sun.module().sunPosition(c.day, c.month, morningAzimuth, morningElevation, c.latitude,
                             longitude, noon - 3);
    sun.module().sunPosition(c.day, c.month, eveningAzimuth, eveningElevation, c.latitude,
                             longitude, noon + 3);
    EXPECT_GT(morningAzimuth, 0.0);
    EXPECT_LT(morningAzimuth, M_PI);
    EXPECT_NEAR(eveningAzimuth, 2 * M_PI - morningAzimuth, 1e-7);
    EXPECT_NEAR(eveningElevation, morningElevation, 1e-7);

    // At sunrise the sun stands on the horizon where cos A = sin(delta) / cos(phi).
    double sunrise = 0, sunset = 0;
    sun.module().sunriseSunset(c.day, c.month, sunrise, sunset, c.latitude, longitude);
    sun.module().sunPosition(c.day, c.month, azimuth, elevation, c.latitude, longitude,
                             sunrise - 1.0);
    EXPECT_NEAR(elevation, 0.0, 1e-8);
    EXPECT_NEAR(azimuth, std::acos(std::sin(delta * degree) / std::cos(c.latitude * degree)), 1e-6);
  }
}

TEST(SolarGeometry, CosZenithIdentities) {
  struct Case {
    double aspect, slope, azimuth, zenith, expected;
  };
  const double z = 0.7;
  for (const Case& c : std::vector<Case>{
           {1.0, 0.0, 2.5, z, std::cos(z)},                            // flat ground
           {2.5, z, 2.5, z, 1.0},                                      // facing the sun
           {1.0, 0.3, 1.0 + M_PI / 2, z, std::cos(0.3) * std::cos(z)}, // across the sun
           {1.0, z, 1.0 + M_PI, z, std::cos(2 * z)},                   // facing away
           {1.0, 0.3, 1.0 - 0.4, z,
            std::cos(0.3 - z) - std::sin(0.3) * std::sin(z) * (1 - std::cos(0.4))}})
    EXPECT_NEAR(teilmodellklasse::cosZenith(c.aspect, c.slope, c.azimuth, c.zenith), c.expected,
                1e-12);
}

TEST(SolarGeometry, DaylightInStepForDayNightDawnAndDusk) {
  // Equator at the equinox, on the meridian: the sun rises at 6 and sets at
  // 18 solar time, that is E/60 later on the clock.
  const double late = -equationOfTimeMinutes(80) / 60.0;
  const double sunrise = 6.0 + late;
  const double sunset = 18.0 + late;
  struct Case {
    const char* what;
    double minutes;     // the module's step
    double minToIntEnd; // minutes
    long hour, minute;
    double shift; // hours
    double latitude;
    long month; // of the 21st
    double fday, fnight, start;
    int night;
  };
  const std::vector<Case> cases = {
      {"day", 60, 0, 12, 0, 0, 0, 3, 1, 0, 0, 0},
      {"night", 60, 0, 2, 0, 0, 0, 3, 0, 1, 1, 1},
      {"dawn", 60, 0, 7, 0, 0, 0, 3, 7 - sunrise, sunrise - 6, sunrise - 6, 0},
      {"dusk", 60, 0, 19, 0, 0, 0, 3, sunset - 18, 19 - sunset, 0, 0},
      {"dawn, 4 % day", 60, 0, 0, 0, sunrise + 0.04, 0, 3, 0, 1, 1, 1},
      {"dawn, 6 % day", 60, 0, 0, 0, sunrise + 0.06, 0, 3, 0.06, 0.94, 0.94, 0},
      {"data hour at the step start", 60, 60, 6, 0, 0, 0, 3, 7 - sunrise, sunrise - 6, sunrise - 6,
       0},
      {"shifted to local time", 60, 0, 17, 30, 1, 0, 3, sunset - 17.5, 18.5 - sunset, 0, 0},
      {"daily step", 1440, 1440, 0, 0, 0, 0, 3, 0.5, 0.5, sunrise, 0},
      {"across midnight in the midnight sun", 60, 0, 0, 30, 0, 80, 6, 1, 0, 0, 0},
      {"noon in the polar night", 60, 0, 12, 30, 0, 80, 12, 0, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sun sun("sun_daylight", c.minutes, c.minToIntEnd);
    sun.s.context.hourShift = c.shift;
    sun.s.context.latitude = c.latitude;
    sun.s.context.longitude = sun.s.context.referenceMeridian = 15.0;
    TestSubmodel& m = sun.module();
    m.reportModelTime(c.minute, c.hour, 21, c.month, 2021);
    m.daylightInStep();
    EXPECT_NEAR(m.fday, c.fday, 1e-8);
    EXPECT_NEAR(m.fnight, c.fnight, 1e-8);
    EXPECT_NEAR(m.daylightStart, c.start, 1e-8);
    EXPECT_EQ(m.night, c.night);
  }
}
