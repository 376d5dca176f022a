#include <array>
#include <cctype>
#include <cstdio>
#include <string>

#include "config/defaultini.h"
#include "config/section_reader.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"

namespace {

enum TimeField {
  startMinute,
  startHour,
  startDay,
  startMonth,
  startYear,
  endMinute,
  endHour,
  endDay,
  endMonth,
  endYear,
  fieldCount
};

// Keys of the key = value form, in the order in which a line is tested.
const char* const timeKeys[fieldCount] = {"startminute", "starthour", "startday", "startmonth",
                                          "startyear",   "endminute", "endhour",  "endday",
                                          "endmonth",    "endyear"};

struct TimeValue {
  long value = 0;
  long line = 0; // 0: not read from the file
};
using TimeValues = std::array<TimeValue, fieldCount>;

void readLegacyForm(SectionReader& section, TimeValues& t) {
  struct Item {
    TimeField field;
    const char* description;
  };
  const Item items[] = {{startHour, "starting hour in "},   {startDay, "starting day in "},
                        {startMonth, "starting month in "}, {startYear, "starting year in "},
                        {endHour, "end hour in "},          {endDay, "and day in "},
                        {endMonth, "end month in "},        {endYear, "end year in "}};
  for (const Item& item : items) {
    t[item.field].value = section.readLong(item.description);
    t[item.field].line = section.valueLine();
  }
}

void reportMissingKeys(DiagStream& diag, const std::string& missing) {
  diag << "ERROR: one or more values of start and end time couldn't be read in section "
       << "[model_time]"
       << "\n"
       << "when using the optional parameter timestep in section [output_interval], the start "
          "and end date/time must be provided in the new format of key = value pairs like "
          "this:\n"
       << "[model_time]"
       << "\n"
       << "startminute = $startminute\n"
       << "starthour = $starthour\n"
       << "startday = $startday\n"
       << "startmonth = $startmonth\n"
       << "startyear = $startyear\n"
       << "endminute = $endminute\n"
       << "endhour = $endhour\n"
       << "endday = $endday\n"
       << "endmonth = $endmonth\n"
       << "endyear = $endyear\n"
       << "\n(or, of course, by using the actual values without using variables)"
       << "\nnot found:" << missing << "[end-entry]";
  throw 1301;
}

// Where key stands in line as a word of its own, or npos. No key is a part
// of another, but a word such as "mystartday" is none of them.
std::size_t keyPosition(const std::string& line, const std::string& key) {
  const auto isNameChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
  };
  for (std::size_t at = line.find(key); at != std::string::npos; at = line.find(key, at + 1)) {
    const std::size_t after = at + key.size();
    if ((at == 0 || !isNameChar(line[at - 1])) &&
        (after == line.size() || !isNameChar(line[after])))
      return at;
  }
  return std::string::npos;
}

// Every key takes the integer after the "=" that follows it, so that one
// line may carry several keys in any order. A value that is not a number
// ends the run.
void readKeyValueForm(SectionReader& section, TimeValues& t, DiagStream& diag) {
  bool seen[fieldCount] = {};
  std::string line;
  while (section.nextKeyLine(line)) {
    bool known = false;
    for (int k = 0; k < fieldCount; ++k) {
      const std::string key = timeKeys[k];
      const std::size_t at = keyPosition(line, key);
      if (at == std::string::npos) continue;
      known = true;
      const std::size_t equals = line.find_first_not_of(" \t", at + key.size());
      if (equals == std::string::npos || line[equals] != '=' ||
          !parseLeadingLong(line.substr(equals + 1), t[k].value))
        section.fail(key, section.valueLine(), line);
      t[k].line = section.valueLine();
      seen[k] = true;
    }
    if (!known) section.warnUnknownKey(line, timeKeys, fieldCount);
  }
  std::string missing;
  for (int k = 0; k < fieldCount; ++k)
    if (!seen[k]) missing += std::string(" ") + timeKeys[k];
  if (!missing.empty()) reportMissingKeys(diag, missing);
}

bool isLeapYear(long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

void clamp(long& value, long low, long high) {
  if (value < low) value = low;
  if (value > high) value = high;
}

// Two-digit and other short years belong to the 20th century; February of
// the month table is that of the end year, for the schedules that use it.
void normalise(TimeValues& t, int monthDays[12]) {
  for (TimeField year : {startYear, endYear})
    if (t[year].value <= 999) t[year].value += 1900;
  for (TimeField month : {startMonth, endMonth}) clamp(t[month].value, 1, 12);
  monthDays[1] = isLeapYear(t[endYear].value) ? 29 : 28;
  clamp(t[endDay].value, 1, monthDays[t[endMonth].value - 1]);
  const long startMonthLength = t[startMonth].value == 2
                                    ? (isLeapYear(t[startYear].value) ? 29 : 28)
                                    : monthDays[t[startMonth].value - 1];
  clamp(t[startDay].value, 1, startMonthLength);
}

std::string dateText(const TimeValues& t, int first) {
  char text[64];
  std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld %02ld:%02ld", t[first + 4].value,
                t[first + 3].value, t[first + 2].value, t[first + 1].value, t[first].value);
  return text;
}

[[noreturn]] void invalidTime(DiagStream& diag, const std::string& fileName, long line,
                              const std::string& what) {
  diag << "FATAL: error in control file, [model_time]";
  if (line > 0) diag << ", " << controlFileLine(fileName, line);
  diag << ": " << what << "[end-entry]";
  throw 17;
}

// The hour 24 with minute 0 is the end of a day, where daily output ends.
void checkTimes(DiagStream& diag, const std::string& fileName, const TimeValues& t) {
  for (TimeField first : {startMinute, endMinute}) {
    const char* which = first == startMinute ? "start" : "end";
    const TimeValue& minute = t[first];
    const TimeValue& hour = t[first + 1];
    if (minute.value < 0 || minute.value > 59)
      invalidTime(diag, fileName, minute.line,
                  std::string(which) + " minute " + std::to_string(minute.value) +
                      " is not a minute of an hour (0 .. 59)");
    if (hour.value < 0 || hour.value > 24 || (hour.value == 24 && minute.value != 0))
      invalidTime(diag, fileName, hour.line,
                  std::string(which) + " hour " + std::to_string(hour.value) + " with minute " +
                      std::to_string(minute.value) +
                      " is not a time of the day (0 .. 23, or 24 with minute 0)");
  }
  // Beyond four digits the minute index would overflow long before any
  // real period.
  for (TimeField year : {startYear, endYear})
    if (t[year].value < 1 || t[year].value > 9999)
      invalidTime(diag, fileName, t[year].line,
                  std::string(year == startYear ? "start" : "end") + " year " +
                      std::to_string(t[year].value) + " lies outside 1 .. 9999");
  const ModelDate start{t[startMinute].value, t[startHour].value, t[startDay].value,
                        t[startMonth].value, t[startYear].value};
  const ModelDate end{t[endMinute].value, t[endHour].value, t[endDay].value, t[endMonth].value,
                      t[endYear].value};
  if (end.minuteIndex() < start.minuteIndex())
    invalidTime(diag, fileName, 0,
                "the end " + dateText(t, endMinute) + " lies before the start " +
                    dateText(t, startMinute));
}

} // namespace

void defaultini::readModelTime() {
  seekSection("[model_time]", true);
  SectionReader section(*this, controlFile, controlFileName, "[model_time]");
  TimeValues t;
  if (timeStep == 0)
    readLegacyForm(section, t);
  else
    readKeyValueForm(section, t, *diag);
  normalise(t, monthDays);
  checkTimes(*diag, controlFileName, t);

  startDate = ModelDate{t[startMinute].value, t[startHour].value, t[startDay].value,
                        t[startMonth].value, t[startYear].value};
  setEndDate(t[endYear].value, t[endMonth].value, t[endDay].value, t[endHour].value,
             t[endMinute].value);
}
