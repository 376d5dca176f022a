#include "config/irrigation_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <utility>

#include "config/defaultini.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/string_helpers.h"

double IrrigationRecord::scheduledAmount(long month, long day) const {
  for (const IrrigationPoint& p : points)
    if (p.month == month && p.day == day) return p.amount;
  return 0.0;
}

namespace {

// The longest month lengths: 29 February is a date of the schedule, which
// repeats every year, and falls on the 28th where February is shorter.
constexpr long longestMonth[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool isDayOfYear(long month, long day) {
  return month >= 1 && month <= 12 && day >= 1 && day <= longestMonth[month - 1];
}

// mm per event: more than a metre of water at once is a mistyped amount.
constexpr double largestIrrigationAmount = 1000.0;
constexpr const char* amountRule = "0 ... 1000 mm";

std::string numberText(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

bool isIrrigationAmount(double amount) {
  return amount >= 0.0 && amount <= largestIrrigationAmount;
}

[[noreturn]] void refuseScheduleNumber(DiagStream& diag, const std::string& word,
                                       const char* kind) {
  diag << "FATAL: an irrigation schedule of [irrigation_table] reads \"" << word
       << "\", which is not " << kind << "; write " << kind << "[end-entry]";
  throw 17;
}

// A date that no year has would never irrigate, or irrigate on another day.
void requireScheduleDate(DiagStream& diag, long month, long day) {
  if (isDayOfYear(month, day)) return;
  diag << "FATAL: an irrigation schedule of [irrigation_table] gives the date " << month << " "
       << day
       << " (month day), which is no day of the year; give a month from 1 to 12 and a "
          "day of it"
       << "[end-entry]";
  throw 29;
}

// The words of a text from an offset on; an offset past the end gives none.
std::vector<std::string> wordsAt(const std::string& text, std::size_t offset) {
  return offset <= text.size() ? splitWords(text.substr(offset)) : std::vector<std::string>();
}

// The first count words from the offset as whole numbers: false when one is
// missing or is no number at all (a fault of the syntax); a word that is
// meant as a number but is not wholly a whole one ("10x", "1e999") ends the
// run with code 17.
bool wholesAt(const std::string& text, std::size_t offset, std::initializer_list<long*> targets,
              DiagStream& diag) {
  const std::vector<std::string> words = wordsAt(text, offset);
  std::size_t i = 0;
  for (long* target : targets) {
    if (i >= words.size() || !looksLikeNumber(words[i])) return false;
    if (!parseWholeNumber(words[i], *target))
      refuseScheduleNumber(diag, words[i], "a whole number");
    ++i;
  }
  return true;
}

// The same for an amount, which must be finite.
bool amountAt(const std::string& text, std::size_t offset, double& amount, DiagStream& diag) {
  const std::vector<std::string> words = wordsAt(text, offset);
  if (words.empty() || !looksLikeNumber(words[0])) return false;
  if (!parseNumber(words[0], amount)) refuseScheduleNumber(diag, words[0], "a finite number");
  if (!isIrrigationAmount(amount)) {
    diag << "FATAL: an irrigation schedule of [irrigation_table] gives the amount " << words[0]
         << " mm, which must be " << amountRule << "[end-entry]";
    throw 29;
  }
  return true;
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

  // 29 February falls on the 28th in a year without it.
  void fitDay(long month, long& day) const {
    day = std::min(day, static_cast<long>(days[month - 1]));
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

// A count of a schedule that is written as a number but cannot be one.
[[noreturn]] void refuseScheduleCount(DiagStream& diag, const char* what, long value) {
  diag << "FATAL: an irrigation schedule of [irrigation_table] gives " << what << " " << value
       << ", which must be 1 or more"
       << "[end-entry]";
  throw 29;
}

// First kind: "... to MM DD with YY mm every ZZ day"; the text begins at the
// first amount's "with".
bool readDateRangeScheme(std::string& text, const ScheduleCalendar& calendar, long m1, long d1,
                         double a1, std::vector<IrrigationPoint>& points, DiagStream& diag) {
  long m2 = 0;
  long d2 = 0;
  double a2 = 0.0;
  long interval = 0;
  if (!cutAfter(text, "to", 0) || !wholesAt(text, 3, {&m2, &d2}, diag)) return false;
  requireScheduleDate(diag, m2, d2);
  calendar.fitDay(m2, d2);
  if (!cutAfter(text, "with", 5) || !amountAt(text, 0, a2, diag)) return false;
  // An interval below one day would never reach the end date.
  if (!cutAfter(text, "every", 6) || !wholesAt(text, 0, {&interval}, diag)) return false;
  if (interval < 1) refuseScheduleCount(diag, "the interval (every ZZ day) of", interval);

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
                      double a1, std::vector<IrrigationPoint>& points, DiagStream& diag) {
  long repeats = 0;
  long interval = 0;
  if (!cutAfter(text, "mm", 3) || !wholesAt(text, 0, {&repeats}, diag)) return false;
  if (repeats < 1) refuseScheduleCount(diag, "the number of events (AA times) of", repeats);
  if (!cutAfter(text, "every", 6) || !wholesAt(text, 0, {&interval}, diag)) return false;
  // Repeats need an interval of at least a day; a single event does not.
  if (repeats > 1 && interval < 1)
    refuseScheduleCount(diag, "the interval (every ZZ days) of", interval);

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
    if (!wholesAt(text, start + 14, {&m1, &d1}, diag)) return false;
    requireScheduleDate(diag, m1, d1);
    calendar.fitDay(m1, d1);
    if (!cutAfter(text, "with", 0) || !amountAt(text, 5, a1, diag)) return false;

    // The whole rest of the line decides the kind, so the schemes of one
    // line are all of one kind.
    bool read = false;
    if (text.find("to") != std::string::npos) {
      read = readDateRangeScheme(text, calendar, m1, d1, a1, points, diag);
    } else if (text.find("times") != std::string::npos) {
      read = readRepeatScheme(text, calendar, m1, d1, a1, points, diag);
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
    refuseUnreadValue(controlFile, start, "irrigation switch in [irrigation]");
  requireWholeNumber(controlFile, start, "irrigation switch in [irrigation]");
  if (irrigationSwitch == 0) return;

  seekSection("[irrigation_table]", true);
  int n = 0;
  start = std::ftell(controlFile);
  if (std::fscanf(controlFile, "%d", &n) != 1)
    refuseUnreadValue(controlFile, start, "number of irrigation types in [irrigation_table]");
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
  // The next value; a word that is no number at all is the type's fault of
  // form (false), one meant as a number but not wholly one ends the run
  // with code 17.
  const std::string of = " of irrigation type " + std::to_string(k) + " in [irrigation_table]";
  auto whole = [&](const char* what, long& value) {
    std::string word;
    if (!readControlWordFrom(file, word) || !looksLikeNumber(word)) return false;
    if (!parseWholeNumber(word, value)) refuseValueText(what + of, word, "a whole number");
    return true;
  };
  auto finite = [&](const char* what, double& value) {
    std::string word;
    if (!readControlWordFrom(file, word) || !looksLikeNumber(word)) return false;
    if (!parseNumber(word, value)) refuseValueText(what + of, word, "a finite number");
    return true;
  };
  long code = 0;
  long method = 0;
  long origin = 0;
  const bool head = whole("the code", code) && readControlWordFrom(file, r.name) &&
                    whole("the method", method) && whole("the origin", origin);
  if (!head)
    irrigationTypeError(k, ": code, name, method, or origin could not be read correctly\n");
  r.code = static_cast<int>(code);
  r.method = static_cast<int>(method);
  r.origin = static_cast<int>(origin);
  if (method < irrigationByDatedAmounts || method > irrigationByEtrEtpRatio)
    irrigationTypeError(k, ": the method is " + std::to_string(method) +
                               ", which must be 1 (dated amounts), 2 (a schedule), 3 (demand by "
                               "suction) or 4 (demand by ETR/ETP)\n");
  if (origin != 1 && origin != 2)
    irrigationTypeError(k, " in [irrigation_table]: the origin is " + std::to_string(origin) +
                               ", which must be 1 (groundwater) or 2 (surface water)\n");

  if (r.method == irrigationByEtrEtpRatio) {
    if (!finite("min(ETR/ETP)", r.minEtrEtp))
      irrigationTypeError(k, ": min(ETR/ETP) could not be read correctly\n");
    // ETR does not exceed ETP: a threshold above 1 waters whenever there is
    // demand, and one above 2 is a mistyped value.
    if (!(r.minEtrEtp >= 0.0 && r.minEtrEtp <= 2.0))
      irrigationTypeError(k, " in [irrigation_table]: min(ETR/ETP) is " + numberText(r.minEtrEtp) +
                                 ", which must be 0 ... 2\n");
    r.psiDry = 20.0;
    r.psiWet = 3.45;
    return;
  }
  if (!finite("psi_dry", r.psiDry) || !finite("psi_wet", r.psiWet))
    irrigationTypeError(k, ": psi_dry or psi_wet could not be read correctly\n");
  // Suctions of a soil that plants can still draw from, and far beyond.
  for (const auto& [name, psi] : {std::pair("psi_dry", r.psiDry), std::pair("psi_wet", r.psiWet)})
    if (!(psi >= 0.0 && psi <= 1000.0))
      irrigationTypeError(k, std::string(" in [irrigation_table]: ") + name + " is " +
                                 numberText(psi) + " m, which must be 0 ... 1000 m\n");

  if (r.method == irrigationByDatedAmounts) {
    long tabcnt = 0;
    if (!whole("tabcnt", tabcnt) || tabcnt < 0)
      irrigationTypeError(k, ": tabcnt could not be read correctly\n");
    for (long i = 1; i <= tabcnt; ++i) {
      IrrigationPoint p;
      if (!whole("a month", p.month) || !whole("a day", p.day) || !finite("an amount", p.amount)) {
        std::ostringstream text;
        text << " month[" << i << "] or day[" << i << "] or amount[" << i
             << "] could not be read\n";
        irrigationTypeError(k, text.str());
      }
      if (!isIrrigationAmount(p.amount)) {
        std::ostringstream text;
        text << ": amount[" << i << "] is " << p.amount << " mm, which must be " << amountRule
             << "\n";
        irrigationTypeError(k, text.str());
      }
      // A date that no year has would never match a day of the run.
      if (!isDayOfYear(p.month, p.day)) {
        std::ostringstream text;
        text << ": month[" << i << "] and day[" << i << "] give the date " << p.month << " "
             << p.day << " (month day), which is no day of the year\n";
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
