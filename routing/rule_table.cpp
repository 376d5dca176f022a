#include "routing/rule_table.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

#include "core/civil_calendar.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/earth_bounds.h"

namespace {

// As much as any lake holds (m3), far more than any river carries (m3/s).
constexpr double largestTableValue = largestLakeVolume;
constexpr int monthLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const char* const numberCharacters = "0123456789.eE+-";

bool readLine(FILE* file, std::string& line) {
  line.clear();
  int c = 0;
  while ((c = std::fgetc(file)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
  if (c == EOF && line.empty()) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// The numbers of a text, each a run of number characters between blanks
// and tabs; false when a word is not a number. `infinite` tells a number
// beyond the range of a double ("1e999") from a word that is none.
bool numbersOf(const std::string& text, std::vector<double>& numbers, bool& infinite) {
  numbers.clear();
  infinite = false;
  std::size_t at = text.find_first_not_of(" \t");
  while (at != std::string::npos) {
    const std::size_t end = text.find_first_of(" \t", at);
    const std::string word = text.substr(at, end == std::string::npos ? end : end - at);
    if (word.find_first_not_of(numberCharacters) != std::string::npos) return false;
    char* stop = nullptr;
    numbers.push_back(std::strtod(word.c_str(), &stop));
    // "1e999" overflows to inf, which would run through every lookup.
    infinite = *stop == '\0' && !std::isfinite(numbers.back());
    if (*stop != '\0' || infinite) return false;
    at = end == std::string::npos ? end : text.find_first_not_of(" \t", end);
  }
  return true;
}

// The values after the first "=" of a keyword line, as many as there are
// columns at most; the rest keep their defaults. Each must pass `valid`, so
// that no value beyond a column's range reaches the cast.
template <typename T, typename Valid>
void keywordValues(const std::string& line, std::vector<T>& target, int columns, const char* key,
                   Valid valid, const char* rule,
                   const std::function<void(const std::string&)>& refuse) {
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos) return;
  const char* p = line.c_str() + equals + 1;
  for (int j = 1; j <= columns; ++j) {
    char* end = nullptr;
    const double x = std::strtod(p, &end);
    if (end == p) return;
    if (!std::isfinite(x) || !valid(x)) {
      const std::string word(p, static_cast<std::size_t>(end - p));
      std::ostringstream text;
      text << "\"" << key << "\" of column " << j << " reads \""
           << word.substr(word.find_first_not_of(" \t")) << "\", " << rule;
      refuse(text.str());
    }
    target[static_cast<std::size_t>(j)] = static_cast<T>(x);
    p = end;
  }
}

bool isWhole(double x) { return std::floor(x) == x; }

// -1 for every day, else decimal digits 1 (Monday) to 7 (Sunday).
bool validWeekDays(double x) {
  if (x == -1.0) return true;
  if (!isWhole(x) || x < 1.0 || x > 7654321.0) return false;
  for (long rest = static_cast<long>(x); rest > 0; rest /= 10)
    if (rest % 10 < 1 || rest % 10 > 7) return false;
  return true;
}

bool validHour(double x) { return x == -1.0 || (isWhole(x) && x >= 0.0 && x <= 23.0); }

} // namespace

RuleTable::Season RuleTable::season(int month, int day) const {
  int doy = day;
  for (int m = 1; m < month && m <= 12; ++m) doy += monthLengths[m - 1];
  Season s;
  if (columns < 2 || doy <= days[1]) return s;
  for (int k = 2; k <= columns; ++k)
    if (doy <= days[static_cast<std::size_t>(k)]) {
      s.k = k;
      const double before = days[static_cast<std::size_t>(k) - 1];
      const double after = days[static_cast<std::size_t>(k)];
      s.w = (doy - before) / (after - before);
      return s;
    }
  s.k = columns;
  return s;
}

double RuleTable::blend(const std::vector<std::vector<double>>& table, int row,
                        const Season& s) const {
  const double own = table[static_cast<std::size_t>(s.k)][static_cast<std::size_t>(row)];
  if (s.k == 1) return own;
  return s.w * own +
         (1.0 - s.w) * table[static_cast<std::size_t>(s.k) - 1][static_cast<std::size_t>(row)];
}

double RuleTable::interpolate(double v, const Season& s) const {
  for (int i = rows - 1; i >= 1; --i)
    if (v > index[static_cast<std::size_t>(i)])
      return blend(values, i, s) + blend(slopes, i, s) * (v - index[static_cast<std::size_t>(i)]);
  return 0.0;
}

double RuleTable::lookup(double v, const Season& s) const {
  if (!flowIndex) {
    if (rows >= 1 && v > index[static_cast<std::size_t>(rows)])
      return values[static_cast<std::size_t>(s.k)][static_cast<std::size_t>(rows)];
    return interpolate(v, s);
  }
  if (rows < 2) return 0.0;
  for (int i = rows - 1; i >= 1; --i) {
    const double b = blend(values, i, s);
    if (v > b) return index[static_cast<std::size_t>(i)] + blend(slopes, i, s) * (v - b);
  }
  return 0.0;
}

bool RuleTable::windowOpen(int k, int weekDay, int hour) const {
  const long days = weekDays[static_cast<std::size_t>(k)];
  if (days == -1) return true;
  bool listed = false;
  for (long rest = days; rest > 0 && !listed; rest /= 10) listed = rest % 10 == weekDay;
  if (!listed) return false;
  const int a = startHour[static_cast<std::size_t>(k)];
  const int b = stopHour[static_cast<std::size_t>(k)];
  return b >= a ? a <= hour && hour <= b : hour >= a || hour <= b;
}

void RuleTable::computeSlopes() {
  slopes.assign(static_cast<std::size_t>(columns) + 1,
                std::vector<double>(static_cast<std::size_t>(rows) + 1, 0.0));
  for (int j = 1; j <= columns; ++j) {
    const std::vector<double>& y = values[static_cast<std::size_t>(j)];
    for (int i = 1; i < rows; ++i) {
      const std::size_t u = static_cast<std::size_t>(i);
      const double dx = index[u + 1] - index[u];
      const double dy = y[u + 1] - y[u];
      double& s = slopes[static_cast<std::size_t>(j)][u];
      if (flowIndex)
        s = dy == 0.0 ? 0.0 : dx / dy;
      else
        s = dx == 0.0 ? 0.0 : dy / dx;
    }
  }
}

void readRuleTable(FILE* file, RuleTable& table, DiagStream& diag, const std::string& section,
                   const std::string& controlFileName, bool volumesAndOutflows) {
  const auto failWith = [&](int exitCode, const std::string& what) {
    diag << "FATAL: " << section << " in " << userControlFile(controlFileName) << ": " << what
         << "[end-entry]";
    throw exitCode;
  };
  const auto fail = [&](const std::string& what) { failWith(34, what); };
  // A value outside its range has no code of its own.
  const std::function<void(const std::string&)> refuse = [&](const std::string& what) {
    failWith(17, what + "; correct the value");
  };
  table = RuleTable{};
  std::string line;
  std::vector<double> numbers;
  bool infinite = false;
  const auto finite = [&](const std::string& what) {
    if (infinite)
      refuse(what + " reads \"" + line + "\", which holds a number beyond the range of a double");
  };
  const bool header = readLine(file, line) && numbersOf(line, numbers, infinite);
  finite("the first line");
  if (!header || numbers.empty())
    fail("the first line must hold the number of table rows and the fix days of the columns, "
         "finite numbers only; it reads \"" +
         line + "\"");
  if (!isWhole(numbers[0]) || numbers[0] > INT_MAX || numbers[0] < INT_MIN)
    refuse("the row count reads \"" +
           line.substr(0, line.find_first_of(" \t", line.find_first_not_of(" \t"))) +
           "\", which is no whole number of rows");
  table.rows = static_cast<int>(numbers[0]);
  table.columns = numbers.size() > 1 ? static_cast<int>(numbers.size()) - 1 : 1;
  if (table.rows < 1) return;
  const std::size_t m = static_cast<std::size_t>(table.columns) + 1;
  table.days.assign(m, 1);
  // The season weights divide by the distance of neighbouring fix days.
  if (table.columns > 1)
    for (std::size_t j = 1; j < m; ++j) {
      if (!isWhole(numbers[j]) || numbers[j] < 1.0 || numbers[j] > 365.0 ||
          (j > 1 && numbers[j] <= numbers[j - 1])) {
        std::ostringstream text;
        text
            << "fix day " << j << " reads " << numbers[j]
            << "; the fix days must be days of the year (1 .. 365) that rise from column to column";
        refuse(text.str());
      }
      table.days[j] = static_cast<int>(numbers[j]);
    }
  table.targetCap.assign(m, -1.0);
  table.weekDays.assign(m, -1);
  table.startHour.assign(m, -1);
  table.stopHour.assign(m, -1);
  // The rows are stored as they come: the count alone must not size memory.
  table.index.assign(1, 0.0);
  table.values.assign(m, std::vector<double>(1, 0.0));
  for (int i = 1; i <= table.rows; ++i) {
    const bool read = readLine(file, line);
    if (!read || line.find_first_not_of(" \t") == std::string::npos ||
        line.find('[') != std::string::npos)
      refuse("the row count is " + std::to_string(table.rows) + ", but only " +
             std::to_string(i - 1) + " table row(s) follow");
    const bool numeric = numbersOf(line, numbers, infinite);
    finite("table row " + std::to_string(i));
    if (!numeric || numbers.size() < static_cast<std::size_t>(table.columns) + 1)
      fail("table row " + std::to_string(i) + " must hold the index and " +
           std::to_string(table.columns) + " column value(s), finite numbers; it reads \"" + line +
           "\"");
    // A reservoir's negative volume or outflow would release water it does
    // not hold; an abstraction's negative value takes nothing.
    const double lowest = volumesAndOutflows ? 0.0 : -largestTableValue;
    for (std::size_t j = 0; j < m; ++j)
      if (!(numbers[j] >= lowest && numbers[j] <= largestTableValue))
        refuse("table row " + std::to_string(i) + " reads \"" + line + "\", whose value " +
               std::to_string(j + 1) + " must be " + (volumesAndOutflows ? "0" : "-1e14") +
               " ... 1e14 (volumes in m3, flows in m3/s)");
    table.index.push_back(numbers[0]);
    for (std::size_t j = 1; j < m; ++j) table.values[j].push_back(numbers[j]);
  }
  const std::size_t n = table.index.size();
  while (readLine(file, line) && !line.empty() && line.find('[') == std::string::npos) {
    if (line.find("TargetCap") != std::string::npos)
      keywordValues(
          line, table.targetCap, table.columns, "TargetCap", [](double) { return true; },
          "not a finite number", refuse);
    else if (line.find("WeekDays") != std::string::npos)
      keywordValues(line, table.weekDays, table.columns, "WeekDays", validWeekDays,
                    "week days are the digits 1 (Monday) to 7 (Sunday), or -1 for every day",
                    refuse);
    else if (line.find("start_hour") != std::string::npos)
      keywordValues(line, table.startHour, table.columns, "start_hour", validHour,
                    "an hour is a whole number from 0 to 23 (or -1 for none)", refuse);
    else if (line.find("stop_hour") != std::string::npos)
      keywordValues(line, table.stopHour, table.columns, "stop_hour", validHour,
                    "an hour is a whole number from 0 to 23 (or -1 for none)", refuse);
    else if (line.find("TableIndex") != std::string::npos) {
      const std::size_t equals = line.find('=');
      table.flowIndex =
          equals != std::string::npos && line.find("Flow", equals) != std::string::npos;
    }
  }
  // The look-ups search the rows from the top for the interval holding a
  // value: a falling column would give outflows from the wrong rows.
  const auto rising = [&](const std::vector<double>& column, const std::string& what) {
    for (std::size_t i = 2; i < n; ++i)
      if (column[i] < column[i - 1]) {
        std::ostringstream text;
        text << what << " must not fall from row to row; row " << i << " holds " << column[i]
             << " after " << column[i - 1];
        fail(text.str());
      }
  };
  rising(table.index,
         table.flowIndex ? "the outflow of the first column" : "the volume of the first column");
  if (table.flowIndex)
    for (std::size_t j = 1; j < m; ++j)
      rising(table.values[j], "the volume of column " + std::to_string(j));
  table.computeSlopes();
}

bool readHydraulicConnection(FILE* file, HydraulicConnectionBlock& block, DiagStream& diag,
                             int reservoir) {
  const long start = std::ftell(file);
  std::string text;
  if (!readLine(file, text) || text.find("HydraulicConnection") == std::string::npos) {
    if (start >= 0) std::fseek(file, start, SEEK_SET);
    return false;
  }
  std::string line;
  while (text.find('}') == std::string::npos && readLine(file, line)) text += "\n" + line;
  bool complete = text.find('}') != std::string::npos;
  std::string bad; // the first key whose value is out of range
  const auto value = [&](const char* key) {
    const std::size_t at = text.find(key);
    const std::size_t equals = at == std::string::npos ? at : text.find('=', at);
    if (equals == std::string::npos) {
      complete = false;
      return 0.0;
    }
    const std::size_t stop = text.find_first_of(";\n", equals);
    const std::string number =
        text.substr(equals + 1, stop == std::string::npos ? stop : stop - equals - 1);
    char* end = nullptr;
    const double x = std::strtod(number.c_str(), &end);
    if (end == number.c_str()) complete = false;
    if (end != number.c_str() && !std::isfinite(x)) bad = key;
    return x;
  };
  // The channel's width and length divide in the flow law, and its
  // roughness turns the slope into a flow.
  const auto positive = [&](const char* key) {
    const double x = value(key);
    if (complete && bad.empty() && !(x > 0.0)) bad = key;
    return x;
  };
  const double target = value("TargetReservoir");
  if (complete && bad.empty() && (!isWhole(target) || target < 1.0 || target > INT_MAX))
    bad = "TargetReservoir";
  block.targetReservoir = bad.empty() ? static_cast<int>(target) : 0;
  block.channelWidth = positive("ChannelWidth");
  block.channelBottom = value("ChannelBottom");
  block.channelLength = positive("ChannelLength");
  block.roughness = positive("RoughnessCoeff");
  if (complete && !bad.empty()) {
    const std::size_t equals = text.find('=', text.find(bad));
    const std::size_t first = text.find_first_not_of(" \t", equals + 1);
    const std::size_t stop = text.find_first_of(";\n", first);
    std::string word = text.substr(first, stop == std::string::npos ? stop : stop - first);
    word.erase(word.find_last_not_of(" \t") + 1);
    diag << "FATAL: reading HydraulicConnection parameters for SP " << reservoir << ": " << bad
         << " reads \"" << word
         << "\"; TargetReservoir must be the number of a reservoir, ChannelWidth, ChannelLength "
            "and RoughnessCoeff finite numbers above 0, ChannelBottom a finite level"
         << "[end-entry]";
    throw 29;
  }
  if (!complete) {
    diag << "FATAL: reading HydraulicConnection parameters for SP " << reservoir
         << ": some values could not be read\n"
         << text << "[end-entry]";
    throw 29;
  }
  return true;
}

void seekRuleSection(FILE* file, const std::string& section, DiagStream& diag) {
  std::rewind(file);
  std::string line;
  while (readLine(file, line)) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    const std::size_t last = line.find_first_of(" \t", first);
    if (line.compare(first, last == std::string::npos ? last : last - first, section) == 0) return;
  }
  diag << "FATAL: section " << section << " not found in control file"
       << "[end-entry]";
  throw 34;
}

int weekDayAtHour(int year, int month, int day, long hour) {
  const long dayShift = hour >= 0 ? hour / 24 : -((23 - hour) / 24);
  return isoWeekDay(year, month, day + dayShift);
}
