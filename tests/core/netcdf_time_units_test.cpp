#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/netcdf_time_units.h"

namespace {

// Midnight of 2021-03-01: 51 years after 1970 with 13 leap days, and the 59
// days of January and February 2021.
constexpr double march2021 = (51.0 * 365 + 13 + 59) * 86400.0;

} // namespace

TEST(CFTimeUnits, ReadsTheUnitAndTheReferenceDate) {
  const struct {
    const char* units;
    double secondsPerUnit;
    double referenceSeconds;
  } cases[] = {
      {"hours since 2021-03-01 00:00:00", 3600.0, march2021},
      {"hour since 2021-03-01", 3600.0, march2021},
      {"  Minutes since 2021-3-1 6:30", 60.0, march2021 + 6.5 * 3600.0},
      {"days since 1970-01-01", 86400.0, 0.0},
      {"seconds since 2021-03-01T12:00:00Z", 1.0, march2021 + 43200.0},
      {"s since 2021-03-01 00:00:00.5", 1.0, march2021 + 0.5},
      {"hrs since 2021-03-01 23 UTC", 3600.0, march2021 + 23.0 * 3600.0},
      {"d since 2000-02-29 00:00 +00:00", 86400.0, (30.0 * 365 + 7 + 59) * 86400.0},
      {"mins since 2021-03-01 00:00:00 GMT", 60.0, march2021},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
    CFTimeUnits parsed;
    EXPECT_EQ(parseCFTimeUnits(c.units, parsed), "");
    EXPECT_EQ(parsed.secondsPerUnit, c.secondsPerUnit);
    EXPECT_EQ(parsed.referenceSeconds, c.referenceSeconds);
  }
}

TEST(CFTimeUnits, NamesWhatMakesUnitsUnreadable) {
  const struct {
    const char* units;
    const char* problem;
  } cases[] = {
      {"hours", "they name no reference date"},
      {"months since 2021-01-01",
       "the unit \"months\" is none of seconds, minutes, hours and days"},
      {"hours since 2021/03/01", "the reference date is no date of the form year-month-day"},
      {"hours since 2021-02-29", "the reference date is no day of the calendar"},
      {"hours since 2021-13-01", "the reference date is no day of the calendar"},
      {"hours since 2021-03-01 24:00", "the time of the reference date is no time of the day"},
      {"hours since 2021-03-01 00:", "the time of the reference date is unreadable"},
      {"hours since 2021-03-01 00:00 +01:00", "a time zone other than UTC"},
      {"hours since 2021-03-01 00:00 CET", "followed by text that is no time or zone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
    CFTimeUnits parsed;
    const std::string problem = parseCFTimeUnits(c.units, parsed);
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
  }
  EXPECT_TRUE(namesReferenceDate("Hours Since 2021-03-01"));
  EXPECT_FALSE(namesReferenceDate("m East of reference point"));
}

TEST(CFTimeUnits, KnowsTheCalendarsOfTheModelsDates) {
  for (const char* calendar : {"", "standard", "Gregorian", "proleptic_gregorian"})
    EXPECT_TRUE(isGregorianCalendar(calendar)) << calendar;
  for (const char* calendar : {"noleap", "365_day", "360_day", "julian", "all_leap", "none"})
    EXPECT_FALSE(isGregorianCalendar(calendar)) << calendar;
}

// A value within a second of a whole minute is that minute; others, and
// values that are not numbers, are no minute.
TEST(CFTimeUnits, GivesTheWholeMinuteOfEachTime) {
  const CFTimeUnits hours{3600.0, march2021};
  const double start = march2021 / 60.0;
  const std::vector<double> times = {0.0,          1.0,          0.5,   1.0 / 3600.0,
                                     0.4 / 3600.0, 1.2 / 3600.0, -24.0, std::nan("")};
  const std::vector<long> expected = {
      static_cast<long>(start),        static_cast<long>(start) + 60,
      static_cast<long>(start) + 30,   static_cast<long>(start),
      static_cast<long>(start),        noWholeMinute,
      static_cast<long>(start) - 1440, noWholeMinute};
  EXPECT_EQ(recordMinutes(times, hours), expected);
}
