#pragma once

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/test_decomposition.h"
#include "tests/test_support.h"

// A result grid on the ragged catchment driven through hourly model dates,
// for the tests of the output of registered grids.

// The cell that has no value at hour 1 of every day, and the cell that never
// has one.
constexpr long gapRow = 2, gapColumn = 3;
constexpr long emptyRow = 5, emptyColumn = 11;

// The names of the files in a folder.
inline std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& f : std::filesystem::directory_iterator(dir))
    names.insert(f.path().filename().string());
  return names;
}

inline bool inCatchment(const StripModule& s, long r, long c) { return s.owner[r][c] >= 0; }

// The value of a cell at an hour of the day: cellValue + hour.
inline double hourValue(const StripModule& s, long r, long c, long hour) {
  if (!inCatchment(s, r, c) || (r == emptyRow && c == emptyColumn)) return nodata;
  if (r == gapRow && c == gapColumn && hour == 1) return nodata;
  return cellValue(r, c) + static_cast<double>(hour);
}

// Sum of the values of a cell over the hours 1..lastHour of one day (the
// shift-0 hours, which run from 1 to 24), and the number of values in it.
inline double daySum(long r, long c, long lastHour) {
  double sum = 0.0;
  for (long h = 1; h <= lastHour; ++h)
    if (!(r == gapRow && c == gapColumn && h == 1)) sum += cellValue(r, c) + static_cast<double>(h);
  return sum;
}
inline double dayCount(long r, long c, long lastHour) {
  return lastHour - ((r == gapRow && c == gapColumn) ? 1 : 0);
}

inline void fillHour(StripModule& s, Grid g, long hour) {
  for (long r = s.lo; r <= s.hi; ++r)
    for (long c = 1; c <= s.ncols; ++c) g[r][c] = hourValue(s, r, c, hour);
}

inline bool leapYear(long y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }
inline long monthLength(long y, long m) {
  static const long days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leapYear(y) ? 29 : days[m - 1];
}

inline ModelDate date(long year, long month, long day, long hour) {
  return ModelDate{0, hour, day, month, year};
}
inline bool sameDate(const ModelDate& a, const ModelDate& b) {
  return a.minuteIndex() == b.minuteIndex() && a.hour == b.hour;
}

// The next hourly date when the hours of a day run firstHour .. firstHour + 23.
inline ModelDate nextHour(ModelDate d, long firstHour) {
  if (++d.hour <= firstHour + 23) return d;
  d.hour = firstHour;
  if (++d.day <= monthLength(d.year, d.month)) return d;
  d.day = 1;
  if (++d.month <= 12) return d;
  d.month = 1;
  ++d.year;
  return d;
}

// Sets every date from `from` to `to` (inclusive), fills the grid with the
// values of the hour and calls step.
template <typename Step>
void runHours(StripModule& s, Grid g, ModelDate from, ModelDate to, long firstHour, Step step) {
  for (ModelDate d = from;; d = nextHour(d, firstHour)) {
    s.m.currentDate = d;
    fillHour(s, g, d.hour);
    step();
    if (sameDate(d, to)) break;
  }
}

inline int addEntry(StripModule& s, const std::string& fileName, Grid g, long writecode,
                    Stack stack = nullptr, unsigned levels = 0) {
  const int index = s.m.firstFreeRegistryIndex();
  s.m.registerGrid(index, fileName, g, stack, levels, fileName, writecode, s.lo, s.hi);
  return index;
}

// Frees the statistics grids of every registry entry; the grids themselves
// belong to the module.
inline void releaseEntries(StripModule& s) {
  for (int i = 1; i < gridRegistryLimit; ++i)
    if (s.m.getRegistry()[i].hasFileName) s.m.unregisterGrid(i);
}

// The cells of a binary double grid file, [0] unused, row-major from [1].
struct DoubleGridFile {
  DoubleGridFile(const std::string& path, long ncolsArg) : ncols(ncolsArg) {
    const std::string bytes = readFile(path);
    if (bytes.size() < 12 * sizeof(double)) return;
    values.resize(bytes.size() / sizeof(double));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(double));
  }
  bool valid(long nrows) const { return static_cast<long>(values.size()) == 12 + nrows * ncols; }
  double at(long r, long c) const { return values[12 + (r - 1) * ncols + (c - 1)]; }
  long ncols;
  std::vector<double> values;
};
