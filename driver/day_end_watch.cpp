#include "driver/day_end_watch.h"

#include <cstdio>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "meteo/meteo_dates.h"

namespace {

bool sameDay(const ModelDate& a, const ModelDate& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

std::string stamp(const ModelDate& d) {
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", d.hour, d.minute);
  return text;
}

// The names of the entries, the first few of them.
std::string outputNames(const std::vector<std::string>& names) {
  constexpr size_t shown = 4;
  std::string text;
  for (size_t k = 0; k < names.size() && k < shown; ++k) text += (k ? ", " : "") + names[k];
  if (names.size() > shown) text += " and " + std::to_string(names.size() - shown) + " more";
  return text;
}

} // namespace

void DayEndWatch::step(const ModelDate& date, DiagStream& diag, const GridRegistryEntry* registry) {
  if (done) return;
  if (started && !sameDay(date, first)) {
    if (!dayEnded) {
      warn(diag, registry);
      done = true;
      return;
    }
    started = false;
  }
  if (!started) {
    started = true;
    dayEnded = false;
    first = date;
  }
  last = date;
  dayEnded = dayEnded || endsDay(date, minToIntEnd / 60.0);
}

void DayEndWatch::warn(DiagStream& diag, const GridRegistryEntry* registry) const {
  std::vector<std::string> names;
  for (int index = 1; registry && index < gridRegistryLimit; ++index) {
    const GridRegistryEntry& e = registry[index];
    if (!e.hasFileName || !(e.grid || e.stack) || !writesByPeriod(e)) continue;
    names.push_back(e.hasFirstFileName ? e.firstFileName : e.fileName);
  }
  if (names.empty()) return;
  const long needed = minutesPerDay - (last.hour * minutesPerHour + last.minute);
  char day[32];
  std::snprintf(day, sizeof day, "%ld.%ld.%ld", first.day, first.month, first.year);
  char shift[32];
  std::snprintf(shift, sizeof shift, "%g", minToIntEnd);
  diag << "WARNING: no step of " << day << " ended the day: its steps carry the hour stamps "
       << stamp(first) << " to " << stamp(last) << ", and with min_to_int_end " << shift
       << " of [output_interval] hour * 60 + minute + min_to_int_end reaches 1440 at none of "
          "them. The daily, monthly and yearly outputs ("
       << outputNames(names)
       << ") are then written only at the end of the run, each holding the whole run under "
          "the name of its last period. Set min_to_int_end (the fourth value of "
          "[output_interval]) to "
       << needed << ", the minutes from the last stamp of a day to its end"
       << "[end-entry]";
}
