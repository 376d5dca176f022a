#include "core/civil_calendar.h"

#include <cstdio>

namespace {

long floorDivide(long a, long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

} // namespace

long daysFromCivil(long year, long month, long day) {
  year -= month <= 2 ? 1 : 0;
  const long era = floorDivide(year, 400);
  const long yearOfEra = year - era * 400;
  const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// 1970-01-01 was a Thursday.
int isoWeekDay(long year, long month, long day) {
  const long days = daysFromCivil(year, month, day);
  return static_cast<int>(days - floorDivide(days + 3, 7) * 7 + 3) + 1;
}

std::string formatDate(const ModelDate& d) {
  char text[80];
  std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld %02ld:%02ld", d.year, d.month, d.day, d.hour,
                d.minute);
  return text;
}
