#pragma once

#include <climits>
#include <string>
#include <vector>

// The dates of a netCDF time coordinate, whose "units" read
// "<unit> since <date>" as the CF conventions write them ("hours since
// 2021-03-01 00:00:00"). Dates count in the Gregorian calendar, without
// time zones, as the model's own dates do.

struct CFTimeUnits {
  double secondsPerUnit = 0.0;
  // The reference date, in seconds since 1970-01-01 00:00.
  double referenceSeconds = 0.0;
};

// Reads the units: seconds, minutes, hours or days (singular, plural or
// abbreviated, in any case) since a date "Y-M-D", optionally followed by a
// time "h", "h:m" or "h:m:s" (after a blank or a "T") and a time zone of
// offset 0 ("Z", "UTC", "GMT", "+00:00"). Returns "" when they are read,
// else what is wrong with them.
std::string parseCFTimeUnits(const std::string& units, CFTimeUnits& parsed);

// True when the text contains " since ", the mark of a time coordinate.
bool namesReferenceDate(const std::string& units);

// True for the calendars of the model's dates: none given, "standard",
// "gregorian" and "proleptic_gregorian" (in any case).
bool isGregorianCalendar(const std::string& calendar);

// A record whose time lies no whole minute from 1970-01-01 00:00.
constexpr long noWholeMinute = LONG_MIN;

// The minutes since 1970-01-01 00:00 of each time value: a value within a
// second of a whole minute counts as that minute, others (and values that
// are not finite) as noWholeMinute.
std::vector<long> recordMinutes(const std::vector<double>& times, const CFTimeUnits& units);
