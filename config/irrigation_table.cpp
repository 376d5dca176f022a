#include "config/irrigation_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "config/defaultini.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"

double IrrigationRecord::scheduledAmount(long month, long day) const {
  for (const IrrigationPoint& p : points)
    if (p.month == month && p.day == day) return p.amount;
  return 0.0;
}

namespace {

// Scans values from the text at an offset; an offset past the end reads
// nothing.
int scanAt(const std::string& text, std::size_t offset, const char* format, long& a, long& b) {
  return offset <= text.size() ? std::sscanf(text.c_str() + offset, format, &a, &b) : 0;
}
int scanAt(const std::string& text, std::size_t offset, const char* format, long& a) {
  return offset <= text.size() ? std::sscanf(text.c_str() + offset, format, &a) : 0;
}
// A scan takes "nan", "inf" and "1e999" as numbers; none is an amount.
int scanAt(const std::string& text, std::size_t offset, const char* format, double& a) {
  const int count = offset <= text.size() ? std::sscanf(text.c_str() + offset, format, &a) : 0;
  return count == 1 && !std::isfinite(a) ? 0 : count;
}

// Lets the text begin `skip` characters after the first occurrence of the
// keyword; false when the keyword does not occur.
bool cutAfter(std::string& text, const char* keyword, std::size_t skip) {
  const std::size_t at = text.find(keyword);
  if (at == std::string::npos) return false;
  text.erase(0, std::min(at + skip, text.size()));
  return true;
}

class ScheduleCalendar {
public:
  explicit ScheduleCalendar(const int monthDays[12]) : days(monthDays) {
    for (int m = 0; m < 12; ++m) yearLength += days[m];
  }

  void clamp(long& month, long& day) const {
    month = std::clamp(month, 1L, 12L);
    day = std::clamp(day, 1L, static_cast<long>(days[month - 1]));
  }

  // Days from the start of the year; 1 for 1 January.
  long dayOfYear(long month, long day) const {
    long sum = day;
    for (long m = 1; m < month; ++m) sum += days[m - 1];
    return sum;
  }

  // Moves a date forward by count days (count >= 0). An interval may span
  // several months, so the month changes as often as needed; December is
  // followed by January.
  void advance(long& month, long& day, long count) const {
    day += count % yearLength;
    while (day > days[month - 1]) {
      day -= days[month - 1];
      month = month % 12 + 1;
    }
  }

  long daysPerYear() const { return yearLength; }

private:
  const int* days;
  long yearLength = 0;
};

// Points first .. L of one scheme get amounts interpolated linearly by point
// number from a1 to a2; a single point gets a2.
void interpolateAmounts(std::vector<IrrigationPoint>& points, std::size_t first, double a1,
                        double a2) {
  const std::size_t last = points.size() - 1;
  for (std::size_t j = first; j <= last; ++j) {
    if (j == last) {
      points[j].amount = a2;
    } else {
      const double span = static_cast<double>(last - first);
      points[j].amount =
          static_cast<double>(j - first) / span * a2 + static_cast<double>(last - j) / span * a1;
    }
  }
}

// First kind: "... to MM DD with YY mm every ZZ day"; the text begins at the
// first amount's "with".
bool readDateRangeScheme(std::string& text, const ScheduleCalendar& calendar, long m1, long d1,
                         double a1, std::vector<IrrigationPoint>& points) {
  long m2 = 0;
  long d2 = 0;
  double a2 = 0.0;
  long interval = 0;
  if (!cutAfter(text, "to", 0) || scanAt(text, 3, "%ld%ld", m2, d2) != 2) return false;
  calendar.clamp(m2, d2);
  if (!cutAfter(text, "with", 5) || scanAt(text, 0, "%lf", a2) != 1) return false;
  // An interval below one day would never reach the end date.
  if (!cutAfter(text, "every", 6) || scanAt(text, 0, "%ld", interval) != 1 || interval < 1)
    return false;

  const std::size_t first = points.size();
  points.push_back({m1, d1, 0.0});
  // An end day before the start day in the start month ends the scheme at
  // its start; otherwise the scheme may run across the turn of the year.
  if (!(m1 == m2 && d1 > d2)) {
    long span = calendar.dayOfYear(m2, d2) - calendar.dayOfYear(m1, d1);
    if (span < 0) span += calendar.daysPerYear();
    long month = m1;
    long day = d1;
    for (long offset = interval; offset <= span; offset += interval) {
      calendar.advance(month, day, interval);
      points.push_back({month, day, 0.0});
    }
  }
  interpolateAmounts(points, first, a1, a2);
  return true;
}

// Second kind: "... AA times every ZZ days"; the text begins at the amount's
// "with".
bool readRepeatScheme(std::string& text, const ScheduleCalendar& calendar, long m1, long d1,
                      double a1, std::vector<IrrigationPoint>& points) {
  long repeats = 0;
  long interval = 0;
  if (!cutAfter(text, "mm", 3) || scanAt(text, 0, "%ld", repeats) != 1 || repeats < 1) return false;
  if (!cutAfter(text, "every", 6) || scanAt(text, 0, "%ld", interval) != 1) return false;
  // Repeats need an interval of at least a day; a single event does not.
  if (repeats > 1 && interval < 1) return false;

  long month = m1;
  long day = d1;
  points.push_back({month, day, a1});
  for (long i = 1; i < repeats; ++i) {
    calendar.advance(month, day, interval);
    points.push_back({month, day, a1});
  }
  return true;
}

} // namespace

bool parseIrrigationSchedule(const std::string& schedule, const int monthDays[12], DiagStream& diag,
                             std::vector<IrrigationPoint>& points) {
  const ScheduleCalendar calendar(monthDays);
  std::string text = schedule;
  if (text.find("starting from") == std::string::npos) return false;

  for (std::size_t start; (start = text.find("starting from")) != std::string::npos;) {
    if (text.find("to") == std::string::npos && text.find("times") == std::string::npos)
      return false;
    long m1 = 0;
    long d1 = 0;
    double a1 = 0.0;
    if (scanAt(text, start + 14, "%ld%ld", m1, d1) != 2) return false;
    calendar.clamp(m1, d1);
    if (!cutAfter(text, "with", 0) || scanAt(text, 5, "%lf", a1) != 1) return false;

    // The whole rest of the line decides the kind, so the schemes of one
    // line are all of one kind.
    bool read = false;
    if (text.find("to") != std::string::npos) {
      read = readDateRangeScheme(text, calendar, m1, d1, a1, points);
    } else if (text.find("times") != std::string::npos) {
      read = readRepeatScheme(text, calendar, m1, d1, a1, points);
    } else {
      diag << "FATAL: none of the keywords \"to\" or \"times\" could be found!\n"
           << "[end-entry]";
    }
    if (!read) return false;
  }
  return true;
}

// --- the reader of "[irrigation]" and "[irrigation_table]" (defaultini) -----

void defaultini::readIrrigationIfActive(int modelVariant) {
  if (modelVariant < 2) return;
  readIrrigation();
}

void defaultini::readIrrigation() {
  irrigationTable.clear();
  seekSection("[irrigation]", true);
  long start = std::ftell(controlFile);
  if (std::fscanf(controlFile, "%d", &irrigationSwitch) != 1)
    controlFileKeyNotFound("irrigation switch in [irrigation]", controlFileName + " ");
  requireWholeNumber(controlFile, start, "irrigation switch in [irrigation]");
  if (irrigationSwitch == 0) return;

  seekSection("[irrigation_table]", true);
  int n = 0;
  start = std::ftell(controlFile);
  if (std::fscanf(controlFile, "%d", &n) != 1)
    controlFileKeyNotFound("number of irrigation types in [irrigation_table]",
                           controlFileName + " ");
  requireWholeNumber(controlFile, start, "number of irrigation types in [irrigation_table]");
  irrigationTable.resize(1);
  irrigationTable[0].code = n;
  // The table grows as types are read, so that a wrong count cannot reserve
  // more than the file holds.
  for (int k = 1; k <= n; ++k) {
    irrigationTable.emplace_back();
    irrigationTable[k].code = k;
    readIrrigationType(k);
  }
}

// Values follow one another whatever the line breaks, except the schedule
// text of method 2, which is the rest of the line of psi_wet.
void defaultini::readIrrigationType(int k) {
  IrrigationRecord& r = irrigationTable[k];
  FILE* file = controlFile;
  const bool head = std::fscanf(file, "%d", &r.code) == 1 && readControlWordFrom(file, r.name) &&
                    std::fscanf(file, "%d", &r.method) == 1 &&
                    std::fscanf(file, "%d", &r.origin) == 1;
  if (!head)
    irrigationTypeError(k, ": code, name, method, or origin could not be read correctly\n");

  if (r.method == irrigationByEtrEtpRatio) {
    if (std::fscanf(file, "%lf", &r.minEtrEtp) != 1 || !std::isfinite(r.minEtrEtp))
      irrigationTypeError(k, ": min(ETR/ETP) could not be read correctly\n");
    r.psiDry = 20.0;
    r.psiWet = 3.45;
    return;
  }
  if (std::fscanf(file, "%lf%lf", &r.psiDry, &r.psiWet) != 2 || !std::isfinite(r.psiDry) ||
      !std::isfinite(r.psiWet))
    irrigationTypeError(k, ": psi_dry or psi_wet could not be read correctly\n");

  if (r.method == irrigationByDatedAmounts) {
    int tabcnt = 0;
    if (std::fscanf(file, "%d", &tabcnt) != 1 || tabcnt < 0)
      irrigationTypeError(k, ": tabcnt could not be read correctly\n");
    for (int i = 1; i <= tabcnt; ++i) {
      IrrigationPoint p;
      if (std::fscanf(file, "%ld%ld%lf", &p.month, &p.day, &p.amount) != 3 ||
          !std::isfinite(p.amount)) {
        std::ostringstream text;
        text << " month[" << i << "] or day[" << i << "] or amount[" << i
             << "] could not be read\n";
        irrigationTypeError(k, text.str());
      }
      r.points.push_back(p);
    }
  } else if (r.method == irrigationBySchedule) {
    std::string schedule;
    readRestOfLine(file, schedule);
    if (!parseIrrigationSchedule(schedule, monthDays, *diag, r.points)) printIrrigationSyntax(k);
  }
}

void defaultini::irrigationTypeError(int k, const std::string& text) {
  *diag << "FATAL: for irrigation code " << k << text << "[end-entry]";
  throw 29;
}

void defaultini::printIrrigationSyntax(int k) {
  *diag << "FATAL: irrigation description for irrigation type " << k << " is wrong "
        << "there are 4 possible ways to define irrigation rules:\n"
        << "two schedule variants:\n"
        << "1.: \"starting from MM DD with XX mm to MM DD with YY mm every ZZ day\"\n"
        << "2.: \"starting from MM DD with XX mm AA times every ZZ days\"\n"
        << " where MM and DD are Month and day, XX is the first irrigation amount \n"
        << " per irrigation event in mm/day, ZZ is the time step (e.g. every 4 days..),\n"
        << " YY is the last irrigation amount in mm/day (it is linearly interpolated)\n"
        << " and AA is a repeat counter (only in the secound format).\n"
        << " The model recognises both formats by the different formats by analysing the\n"
        << " key-words \"starting from\", \"to\" and \"times\"\n"
        << " note: there may be defined multiple irrigation schemes in one row,\n"
        << " but they have to be of the same type (1. or 2.) \n"
        << " and they have to be seperated by a semicolon (;)\n"
        << " 3.: irrigation control by demand (1): suction (psi) for start and end of irrigation "
           "must be provided\n"
        << " 4.: irrigation control by demand (2): ratio between ETR and ETP for irrigation start "
           "must be provided\n"
        << "[end-entry]";
  throw 29;
}
