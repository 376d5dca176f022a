#include "meteo/meteo_dates.h"

#include "core/civil_calendar.h"

namespace {

long floorDivide(long a, long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool isLeapYear(long year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

long daysInMonth(long year, long month) {
  static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : lengths[month - 1];
}

// A civil date from its days since 1970-01-01 (H. Hinnant's algorithm).
void civilFromDays(long z, long& y, long& m, long& d) {
  z += 719468;
  const long era = floorDivide(z, 146097);
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

} // namespace

long absoluteMinutes(const ModelDate& date) {
  return daysFromCivil(date.year, date.month, date.day) * minutesPerDay +
         date.hour * minutesPerHour + date.minute;
}

ModelDate dateFromAbsoluteMinutes(long minutes) {
  const long days = floorDivide(minutes, minutesPerDay);
  const long inDay = minutes - days * minutesPerDay;
  ModelDate date;
  civilFromDays(days, date.year, date.month, date.day);
  date.hour = inDay / minutesPerHour;
  date.minute = inDay % minutesPerHour;
  return date;
}

ModelDate addMinutes(const ModelDate& date, long minutes) {
  return dateFromAbsoluteMinutes(absoluteMinutes(date) + minutes);
}

bool isCalendarDate(const ModelDate& d) {
  return d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= daysInMonth(d.year, d.month) &&
         d.hour >= 0 && d.hour <= 23 && d.minute >= 0 && d.minute <= 59;
}

bool sameDate(const ModelDate& a, const ModelDate& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute;
}
