#include "core/netcdf_time_units.h"

#include <cctype>
#include <cmath>
#include <utility>

#include "core/civil_calendar.h"

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Reads the text left to right; every read moves on only when it succeeds.
class Cursor {
public:
  explicit Cursor(std::string textArg) : text(std::move(textArg)) {}
  bool atEnd() const { return at >= text.size(); }
  char peek() const { return atEnd() ? '\0' : text[at]; }
  bool skipBlanks() {
    const size_t from = at;
    while (!atEnd() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    return at > from;
  }
  bool take(char c) {
    if (peek() != c) return false;
    ++at;
    return true;
  }
  bool take(const std::string& word) {
    if (text.compare(at, word.size(), word) != 0) return false;
    at += word.size();
    return true;
  }
  bool digits(long& value) {
    const size_t from = at;
    value = 0;
    while (!atEnd() && std::isdigit(static_cast<unsigned char>(text[at])) && at - from < 9)
      value = value * 10 + (text[at++] - '0');
    return at > from;
  }
  // Digits with an optional fraction behind a '.'.
  bool number(double& value) {
    long whole = 0;
    if (!digits(whole)) return false;
    value = static_cast<double>(whole);
    if (!take('.')) return true;
    double scale = 0.1;
    while (!atEnd() && std::isdigit(static_cast<unsigned char>(text[at]))) {
      value += scale * (text[at++] - '0');
      scale /= 10.0;
    }
    return true;
  }

private:
  std::string text;
  size_t at = 0;
};

bool isLeapYear(long year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

long daysInMonth(long year, long month) {
  static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : lengths[month - 1];
}

double secondsPerUnit(const std::string& unit) {
  for (const char* u : {"seconds", "second", "secs", "sec", "s"})
    if (unit == u) return 1.0;
  for (const char* u : {"minutes", "minute", "mins", "min"})
    if (unit == u) return 60.0;
  for (const char* u : {"hours", "hour", "hrs", "hr", "h"})
    if (unit == u) return 3600.0;
  for (const char* u : {"days", "day", "d"})
    if (unit == u) return 86400.0;
  return 0.0;
}

// A time zone of offset 0, or nothing. An offset of another size would
// shift every date against the model's, which have no zone.
bool takeZone(Cursor& cursor, std::string& problem) {
  if (cursor.take("utc") || cursor.take("gmt") || cursor.take('z')) return true;
  if (cursor.peek() != '+' && cursor.peek() != '-') return true;
  cursor.take(cursor.peek());
  long hours = 0;
  long minutes = 0;
  if (!cursor.digits(hours)) {
    problem = "the time zone is unreadable";
    return false;
  }
  if (cursor.take(':')) cursor.digits(minutes);
  if (hours != 0 || minutes != 0) {
    problem = "the reference date carries a time zone other than UTC; give it in the time of "
              "the model's dates, without a zone";
    return false;
  }
  return true;
}

} // namespace

bool namesReferenceDate(const std::string& units) {
  return lowerCase(units).find(" since ") != std::string::npos;
}

bool isGregorianCalendar(const std::string& calendar) {
  const std::string c = lowerCase(calendar);
  return c.empty() || c == "standard" || c == "gregorian" || c == "proleptic_gregorian";
}

std::string parseCFTimeUnits(const std::string& units, CFTimeUnits& parsed) {
  const std::string text = lowerCase(units);
  const size_t since = text.find(" since ");
  if (since == std::string::npos) return "they name no reference date (\"<unit> since <date>\")";
  const size_t unitStart = text.find_first_not_of(" \t");
  const std::string unit = text.substr(unitStart, since - unitStart);
  const double perUnit = secondsPerUnit(unit);
  if (perUnit == 0.0)
    return "the unit \"" + unit + "\" is none of seconds, minutes, hours and days";

  Cursor cursor(text.substr(since + 7));
  cursor.skipBlanks();
  long year = 0;
  long month = 0;
  long day = 0;
  if (!cursor.digits(year) || !cursor.take('-') || !cursor.digits(month) || !cursor.take('-') ||
      !cursor.digits(day))
    return "the reference date is no date of the form year-month-day";
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
    return "the reference date is no day of the calendar";
  long hour = 0;
  long minute = 0;
  double second = 0.0;
  const bool separated = cursor.take('t') || cursor.skipBlanks();
  if (separated && std::isdigit(static_cast<unsigned char>(cursor.peek()))) {
    cursor.digits(hour);
    if (cursor.take(':')) {
      if (!cursor.digits(minute)) return "the time of the reference date is unreadable";
      if (cursor.take(':') && !cursor.number(second))
        return "the time of the reference date is unreadable";
    }
    if (hour > 23 || minute > 59 || !(second < 60.0))
      return "the time of the reference date is no time of the day";
    cursor.skipBlanks();
  }
  std::string problem;
  if (!takeZone(cursor, problem)) return problem;
  cursor.skipBlanks();
  if (!cursor.atEnd()) return "the reference date is followed by text that is no time or zone";

  parsed.secondsPerUnit = perUnit;
  parsed.referenceSeconds = static_cast<double>(daysFromCivil(year, month, day)) * 86400.0 +
                            static_cast<double>(hour * 3600 + minute * 60) + second;
  return "";
}

std::vector<long> recordMinutes(const std::vector<double>& times, const CFTimeUnits& units) {
  std::vector<long> minutes(times.size(), noWholeMinute);
  for (size_t k = 0; k < times.size(); ++k) {
    const double seconds = units.referenceSeconds + times[k] * units.secondsPerUnit;
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) continue;
    const double minute = std::round(seconds / 60.0);
    if (std::fabs(seconds - 60.0 * minute) <= 1.0) minutes[k] = static_cast<long>(minute);
  }
  return minutes;
}
