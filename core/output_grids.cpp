#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/grid_file_read.h"
#include "core/modelobject.h"
#include "core/output_names.h"
#include "core/run_files.h"
#include "core/state_grid_fault.h"

// The cells whose statistics this process keeps: inside the valid columns of
// their row, inside the zone grid and owned by this process in "MPIRegions".
struct modelobject::OwnedCells {
  static constexpr long parallelCells = 16384;
  Grid zone = nullptr;
  Grid regions = nullptr;
  const RowColumnRange* ranges = nullptr;
  long firstRow = 1;
  long lastRow = 0;
  long ncols = 0;
  double nodata = 0.0;
  double rank = 0.0;

  // Calls own(r, c) at every owned cell and other(r, c) at the other cells of
  // the valid columns, rows in parallel where there are enough cells to pay
  // for the threads (these loops run for every grid at every step).
  template <typename Own, typename Other> void visit(Own own, Other other) const {
    const bool parallel = (lastRow - firstRow + 1) * ncols >= parallelCells;
#pragma omp parallel for schedule(runtime) if (parallel)
    for (long r = firstRow; r <= lastRow; ++r) {
      const long first = ranges ? std::max(1L, ranges[r].first) : 1;
      const long last = ranges ? std::min(ncols, ranges[r].last) : ncols;
      const double* z = zone ? zone[r] : nullptr;
      const double* g = regions[r];
      for (long c = first; c <= last; ++c) {
        if (z && g && z[c] > nodata && g[c] == rank)
          own(r, c);
        else
          other(r, c);
      }
    }
  }
};

namespace {

// Which output periods end at the current date. A period that is still open
// when the run ends closes with it, so that the last part of a run is
// written as well.
struct OutputMoment {
  bool runEnds = false;
  bool dayEnds = false;
  bool monthEnds = false;
  bool yearEnds = false;
};

bool isLeapYear(long year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// February of each year by its own length; the context's table holds the end
// year's February for the other users of it.
long daysOfMonth(long year, long month, const int monthDays[12]) {
  if (month == 2) return isLeapYear(year) ? 29 : 28;
  return monthDays[month - 1];
}

// The date alone decides, and every process holds the same date.
OutputMoment momentOf(const ModelDate& d, long endMinuteIndex, double shiftHours,
                      const int monthDays[12]) {
  OutputMoment m;
  m.runEnds = d.minuteIndex() >= endMinuteIndex;
  m.dayEnds = endsDay(d, shiftHours);
  m.monthEnds = m.dayEnds && d.month >= 1 && d.month <= 12 &&
                d.day == daysOfMonth(d.year, d.month, monthDays);
  m.yearEnds = m.dayEnds && d.month == 12 && d.day == 31;
  return m;
}

// Whether the grid or stack itself is due, by its ones digit.
bool writeDue(int writeMode, const OutputMoment& m) {
  switch (writeMode) {
  case 1:
  case 2:
  case 8:
    return true;
  case 3:
    return m.runEnds;
  case 4:
  case 5:
    return m.dayEnds || m.runEnds;
  case 6:
    return m.monthEnds || m.runEnds;
  case 7:
    return m.yearEnds || m.runEnds;
  default:
    return false;
  }
}

// Whether the sum or mean grid is due, by its tens digit: 1 / 5 over the
// run, 2 / 6 a year, 3 / 7 a month, 4 / 8 a day.
bool sumDue(int statMode, const OutputMoment& m) {
  switch (statMode > 4 ? statMode - 4 : statMode) {
  case 1:
    return m.runEnds;
  case 2:
    return m.yearEnds || m.runEnds;
  case 3:
    return m.monthEnds || m.runEnds;
  case 4:
    return m.dayEnds || m.runEnds;
  default:
    return false;
  }
}

} // namespace

// A day ends where the end of the step, moved by the hours between the data
// hour and the end of the step, reaches minute 1440 of the day.
bool endsDay(const ModelDate& date, double shiftHours) {
  const long shiftedMinute = static_cast<long>(date.minute + 60.0 * shiftHours);
  return date.hour * minutesPerHour + shiftedMinute == minutesPerDay;
}

bool writesByPeriod(const GridRegistryEntry& e) {
  const bool grid = e.writeMode >= 4 && e.writeMode <= 7;
  const int period = e.statMode > 4 ? e.statMode - 4 : e.statMode;
  return grid || (period >= 2 && period <= 4);
}

namespace {

// Counts writes under the same time stamp, so that they do not overwrite
// each other.
long nextStampRepeat(GridRegistryEntry& e, const ModelDate& d) {
  const ModelDate& last = e.lastStamp;
  const bool same = last.year == d.year && last.month == d.month && last.day == d.day &&
                    last.hour == d.hour && last.minute == d.minute;
  e.stampRepeat = same ? e.stampRepeat + 1 : 0;
  e.lastStamp = d;
  return e.stampRepeat;
}

auto noCells = [](long, long) {};

// Rank 0's whole grid for the gathers of binary and netCDF output, one per
// process and kept, so that no write takes fresh pages.
Grid wholeOutputGrid(long nrows, long ncols) {
  static std::vector<double> values;
  static std::vector<double*> rows;
  const size_t width = static_cast<size_t>(ncols + 1);
  if (rows.size() != static_cast<size_t>(nrows + 1) || values.size() != nrows * width) {
    values.assign(static_cast<size_t>(nrows) * width, 0.0);
    rows.assign(static_cast<size_t>(nrows + 1), nullptr);
    for (long r = 1; r <= nrows; ++r) rows[r] = values.data() + static_cast<size_t>(r - 1) * width;
  }
  return rows.data();
}

// The same for the stacks of netCDF output, reshaped when the levels differ
// from the last write's.
Stack wholeOutputStack(long nrows, long ncols, long levels) {
  static std::vector<double> values;
  static std::vector<double*> cells;
  static std::vector<double**> rows;
  const size_t width = static_cast<size_t>(ncols + 1);
  const size_t rowValues = width * static_cast<size_t>(levels);
  if (rows.size() != static_cast<size_t>(nrows + 1) || cells.size() != nrows * width ||
      values.size() != nrows * rowValues) {
    values.resize(static_cast<size_t>(nrows) * rowValues);
    cells.resize(static_cast<size_t>(nrows) * width);
    rows.assign(static_cast<size_t>(nrows + 1), nullptr);
    for (long r = 1; r <= nrows; ++r) {
      double** row = cells.data() + static_cast<size_t>(r - 1) * width;
      double* first = values.data() + static_cast<size_t>(r - 1) * rowValues;
      for (size_t c = 0; c < width; ++c) row[c] = first + c * static_cast<size_t>(levels);
      rows[r] = row;
    }
  }
  return rows.data();
}

} // namespace

modelobject::OwnedCells modelobject::ownedCells(const GridRegistryEntry& e) {
  OwnedCells cells;
  cells.zone = registry[1].grid;
  cells.regions = outputRegions;
  cells.ranges = rowColumnRange;
  cells.firstRow = std::max(1L, e.firstRow);
  cells.lastRow = std::min(header.nrows, e.lastRow);
  // Statistics of cells that other processes own would be thrown away by
  // the gather; whole grids on rank 0 would cost it every row each step.
  if (mpiSize > 1 && mpiRank == 0) {
    cells.firstRow = std::max(cells.firstRow, ownedFirstRow);
    cells.lastRow = std::min(cells.lastRow, ownedLastRow);
  }
  // The statistics grids hold the process's strip only.
  if (e.meanGrid || e.minGrid || e.maxGrid || e.vegPeriodGrid) {
    cells.firstRow = std::max(cells.firstRow, e.statisticsFirstRow);
    cells.lastRow = std::min(cells.lastRow, e.statisticsLastRow);
  }
  cells.ncols = header.ncols;
  cells.nodata = header.nodata;
  cells.rank = mpiRank;
  return cells;
}

void modelobject::writeOutputGrids(int index, int /*unused*/, int pending) {
  if (index < 1 || index > gridRegistryLimit) return;
  GridRegistryEntry& e = registry[index];
  if (e.writeMode == 0 && e.statMode == 0 && e.writeMin == 0 && e.writeMax == 0 &&
      e.vegPeriodMode == 0)
    return;
  if (!e.grid) return;
  findOutputRegions();
  e.callCount += 1.0;
  if (e.vegPeriodMode != 0) findVegetationGrids(e);
  const OwnedCells cells = ownedCells(e);
  if (e.vegPeriodMode != 0) openVegetationPeriod(e, cells);
  updateOutputStatistics(e, cells);
  if (pending) return;

  const OutputMoment m = momentOf(currentDate, endMinuteIndex, getMinToIntEndHours(), monthDays);
  if (e.vegPeriodMode != 0) closeVegetationPeriod(index, e, cells);

  if (writeDue(e.writeMode, m)) {
    const bool stamped = e.writeMode == 2 || (e.writeMode >= 5 && e.writeMode <= 7);
    std::string name = e.firstFileName;
    if (e.writeMode == 8)
      name += ".filled";
    else if (stamped)
      name = timeStampedGridName(e.firstFileName, currentDate, nextStampRepeat(e, currentDate));
    // The last state of the run also goes under the plain name.
    const bool again = (stamped || e.writeMode == 8) && m.runEnds;
    writeOutputFile(index, e.grid, false, name, again ? e.firstFileName : "");
  }

  if (m.runEnds && e.minGrid)
    writeOutputFile(index, e.minGrid, true, outputFileName(e.minFileName, ".min"));
  if (m.runEnds && e.maxGrid)
    writeOutputFile(index, e.maxGrid, true, outputFileName(e.maxFileName, ".max"));

  // A warm start goes on with the sums of the periods still open, so the
  // state follows the write of a period that ends with the run.
  const bool sumEnds = e.statMode != 0 && sumDue(e.statMode, m);
  OutputMoment periodOnly = m;
  periodOnly.runEnds = false;
  const bool periodEnds = sumEnds && sumDue(e.statMode, periodOnly);
  if (m.runEnds && !periodEnds) writeStatisticsState(index, e);
  if (sumEnds) writeSumGrid(index, e, cells);
  if (m.runEnds && periodEnds) writeStatisticsState(index, e);
}

// The statistics over the run and the minima and maxima belong to the run
// that writes them; a year, a month or a day may span two runs.
std::vector<StatisticsStateGrid> statisticsStateGrids(const GridRegistryEntry& e) {
  const int period = e.statMode > 4 ? e.statMode - 4 : e.statMode;
  if (period < 2 || period > 4 || !e.meanGrid || !e.meanCountGrid) return {};
  return {{e.meanGrid, outputFileName(e.fileName, ".sum_End")},
          {e.meanCountGrid, outputFileName(e.fileName, ".count_End")}};
}

// Binary doubles whatever the run writes, so that the sums go on unrounded.
void modelobject::writeStatisticsState(int index, const GridRegistryEntry& e) {
  for (const StatisticsStateGrid& s : statisticsStateGrids(e))
    writeGatheredFile(index, s.grid, true, s.fileName, "", false, true, false);
}

void modelobject::readStatisticsState(double stepMinutes) {
  const long first = std::max(1L, header.firstRow);
  const long last = std::min(header.nrows, header.lastRow);
  // Freed also where a grid is refused.
  OwnedRows read(*this, header.ncols, header.nrows);
  findOutputRegions();
  for (int index = 1; index < gridRegistryLimit; ++index) {
    const GridRegistryEntry& e = registry[index];
    const std::vector<StatisticsStateGrid> grids = statisticsStateGrids(e);
    if (grids.empty()) continue;
    const bool complete =
        std::all_of(grids.begin(), grids.end(), [&](const StatisticsStateGrid& s) {
          return initialStateFileExists(s.fileName);
        });
    if (!complete) {
      *diag << "WARNING: no files " << grids[0].fileName << " and " << grids[1].fileName
            << " of a former run in the directory of the initial states: the sum or mean of "
               "the grid \""
            << e.name << "\" over the current day, month or year starts anew"
            << "[end-entry]";
      continue;
    }
    if (!read.grid) read.allocate(first, last);
    const long from = std::max(first, e.statisticsFirstRow);
    const long to = std::min(last, e.statisticsLastRow);
    for (const StatisticsStateGrid& s : grids) {
      std::string path = s.fileName;
      prependDirectory(inputDirectory, path);
      noteInputFile(path, "the running statistics of the grid \"" + e.name +
                              "\" that a warm start goes on with");
      readGrid(s.fileName, read.grid, 0, false, false, false, 0, false, false, 0.0,
               Resampling::onModelGrid);
      for (long r = from; r <= to; ++r)
        std::copy(read.grid[r] + 1, read.grid[r] + header.ncols + 1, s.grid[r] + 1);
    }
    std::string entry;
    const long key = firstStatisticsStateFault(e, grids, stepMinutes, entry);
    refuseFirstCellFault(*diag, key, entry, gridReadFailedCode);
  }
}

namespace {

// The values a day, a month or a year adds at most: the steps of its
// longest length, each adding as often as the module adds the grid.
double largestPeriodCount(const GridRegistryEntry& e, double stepMinutes) {
  const int period = e.statMode > 4 ? e.statMode - 4 : e.statMode;
  const double days = period == 4 ? 1.0 : period == 3 ? 31.0 : 366.0;
  return std::ceil(days * minutesPerDay / stepMinutes) * std::max(1, e.statisticsCallsPerStep);
}

const char* periodName(const GridRegistryEntry& e) {
  const int period = e.statMode > 4 ? e.statMode - 4 : e.statMode;
  return period == 4 ? "day" : period == 3 ? "month" : "year";
}

// The shortest text that reads back as the value.
std::string numberText(double value) {
  char text[maxGridValueChars + 1];
  text[formatGridValue(value, text)] = '\0';
  return text;
}

} // namespace

long modelobject::firstStatisticsStateFault(const GridRegistryEntry& e,
                                            const std::vector<StatisticsStateGrid>& grids,
                                            double stepMinutes, std::string& entryText) {
  const OwnedCells cells = ownedCells(e);
  const Grid sum = grids[0].grid;
  const Grid count = grids[1].grid;
  const double largest =
      stepMinutes > 0.0 ? largestPeriodCount(e, stepMinutes) : std::numeric_limits<double>::max();
  const GridValueRange& range = e.valueRange;
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    const long from = cells.ranges ? std::max(1L, cells.ranges[r].first) : 1;
    const long to = cells.ranges ? std::min(cells.ncols, cells.ranges[r].last) : cells.ncols;
    for (long c = from; c <= to; ++c) {
      if (!(cells.zone && cells.zone[r][c] > cells.nodata && cells.regions[r][c] == cells.rank))
        continue;
      const double n = count[r][c];
      const double v = sum[r][c];
      const bool countFault = !(n >= 0.0 && n <= largest && std::floor(n) == n);
      std::string file = grids[countFault ? 1 : 0].fileName;
      std::string rule;
      if (countFault) {
        rule = "must be a whole number of values 0 ... " + numberText(largest) +
               " (the steps of a " + periodName(e) + " of " + numberText(stepMinutes) + " minutes)";
      } else {
        // What the values of a step can add, rounding of the sum included.
        const double slack =
            1e-9 * n * std::max({1.0, std::fabs(range.lowest), std::fabs(range.highest)});
        if (!std::isfinite(v))
          rule = "is not a finite number";
        else if (n == 0.0 && v != 0.0)
          rule = "must be 0, since " + grids[1].fileName + " counts no value there";
        else if (range.known && (v < n * range.lowest - slack || v > n * range.highest + slack))
          rule = "must lie within its " + numberText(n) + " values times " +
                 numberText(range.lowest) + " ... " + numberText(range.highest) + " (" +
                 range.source + ")";
      }
      if (rule.empty()) continue;
      prependDirectory(inputDirectory, file);
      entryText = "FATAL: " + file + " holds " + numberText(countFault ? n : v) + " at row " +
                  std::to_string(r) + ", column " + std::to_string(c) + ", which " + rule +
                  ": the running " + periodName(e) + "'s statistics of the grid \"" + e.name +
                  "\" that a warm start goes on with; start from the files of a former "
                  "run as it wrote them, or cold";
      return (r - 1) * header.ncols + (c - 1);
    }
  }
  return noCellFault;
}

void modelobject::findOutputRegions() {
  if (outputRegions) return;
  if (findGrid("MPIHelper", 1) == 0) requireGrid("MPIHelper");
  int regions = findGrid("MPIRegions", 1);
  if (regions == 0) regions = requireGrid("MPIRegions");
  outputRegions = registry[regions].grid;
  findOwnedRows();
}

// Rank 0 holds "MPIRegions" whole.
void modelobject::findOwnedRows() {
  ownedFirstRow = 1;
  ownedLastRow = 0;
  if (mpiRank != 0) return;
  for (long r = 1; r <= header.nrows; ++r) {
    const double* g = outputRegions[r];
    if (!g) continue;
    for (long c = 1; c <= header.ncols; ++c) {
      if (g[c] != 0.0) continue;
      if (ownedLastRow < ownedFirstRow) ownedFirstRow = r;
      ownedLastRow = r;
      break;
    }
  }
}

void modelobject::findVegetationGrids(GridRegistryEntry& e) {
  if (e.vegStartGrid && e.vegStopGrid && e.vegDurationGrid) return;
  // A grid of land-use layer n carries "_Layer_n" in its file name.
  std::string layer = "1";
  const size_t at = e.firstFileName.find("_Layer_");
  if (at != std::string::npos) {
    layer = e.firstFileName.substr(at + 7);
    layer = layer.substr(0, layer.find('.'));
  }
  if (!e.vegStartGrid) e.vegStartGrid = registry[requireGrid("VegetationStart" + layer)].grid;
  if (!e.vegStopGrid) e.vegStopGrid = registry[requireGrid("VegetationStop" + layer)].grid;
  if (!e.vegDurationGrid)
    e.vegDurationGrid = registry[requireGrid("VegetationDuration" + layer)].grid;
}

void modelobject::updateOutputStatistics(GridRegistryEntry& e, const OwnedCells& cells) {
  const double nodata = header.nodata;
  Grid grid = e.grid;
  Stack stack = e.stack;
  // Level 1 is the grid's source; a stack of level 0 alone has none.
  const bool copyStack = stack && e.levels >= 1 && e.stackCopyOff == 0 &&
                         (e.statMode > 0 || e.writeMin > 0 || e.writeMax > 0);
  const bool startMinMax = e.minMaxStarted == 0;
  Grid sum = e.meanGrid;
  Grid count = e.meanCountGrid;
  Grid minimum = e.minGrid;
  Grid maximum = e.maxGrid;
  Grid veg = e.vegPeriodGrid;
  Grid vegStart = e.vegStartGrid;
  Grid vegStop = e.vegStopGrid;
  cells.visit(
      [&](long r, long c) {
        if (copyStack && stack[r]) grid[r][c] = stack[r][c][1];
        const double v = grid[r][c];
        if (startMinMax) {
          if (minimum) minimum[r][c] = nodata;
          if (maximum) maximum[r][c] = nodata;
        }
        // Nodata is no value: it enters no sum, mean, minimum or maximum.
        if (v == nodata) return;
        if (sum) {
          sum[r][c] += v;
          count[r][c] += 1.0;
        }
        if (minimum && (minimum[r][c] == nodata || v < minimum[r][c])) minimum[r][c] = v;
        if (maximum && (maximum[r][c] == nodata || v > maximum[r][c])) maximum[r][c] = v;
        if (veg && vegStart[r] && vegStop[r] && vegStart[r][c] >= 0.0 && vegStop[r][c] <= 0.0)
          veg[r][c] += v;
      },
      [&](long r, long c) {
        if (sum) sum[r][c] = nodata;
        if (startMinMax) {
          if (minimum) minimum[r][c] = nodata;
          if (maximum) maximum[r][c] = nodata;
        }
        if (veg) veg[r][c] = nodata;
      });
  e.minMaxStarted = 1;
}

void modelobject::closeVegetationPeriod(int index, GridRegistryEntry& e, const OwnedCells& cells) {
  const double nodata = header.nodata;
  Grid veg = e.vegPeriodGrid;
  if (e.vegPeriodEnded == 1) {
    e.vegPeriodEnded = 0;
    if (e.vegPeriodMode == 2) {
      Grid duration = e.vegDurationGrid;
      cells.visit(
          [&](long r, long c) {
            const double days = duration[r] ? duration[r][c] : 0.0;
            veg[r][c] = days > 0.0 ? veg[r][c] / days : nodata;
          },
          noCells);
    }
    writeOutputFile(index, veg, true,
                    vegetationPeriodName(e.vegPeriodFileName, e.vegPeriodMode, currentDate.year));
  }
}

// The period restarts before the step that opens it adds its values, so that
// its first step counts.
void modelobject::openVegetationPeriod(GridRegistryEntry& e, const OwnedCells& cells) {
  if (e.vegPeriodStarted != 1) return;
  const double nodata = header.nodata;
  Grid veg = e.vegPeriodGrid;
  cells.visit([&](long r, long c) { veg[r][c] = 0.0; },
              [&](long r, long c) { veg[r][c] = nodata; });
  e.vegPeriodStarted = 0;
}

void modelobject::writeSumGrid(int index, GridRegistryEntry& e, const OwnedCells& cells) {
  const double nodata = header.nodata;
  const bool mean = e.statMode >= 5;
  Grid sum = e.meanGrid;
  Grid count = e.meanCountGrid;
  // A cell without a single value in the period has no sum and no mean.
  cells.visit(
      [&](long r, long c) {
        const double n = count[r][c];
        sum[r][c] = n > 0.0 ? (mean ? sum[r][c] / n : sum[r][c]) : nodata;
      },
      noCells);
  writeOutputFile(index, sum, true, periodStatisticsName(e.meanFileName, e.statMode, currentDate));
  e.callCount = 0.0;
  cells.visit(
      [&](long r, long c) {
        sum[r][c] = 0.0;
        count[r][c] = 0.0;
      },
      noCells);
}

void modelobject::writeOutputFile(int index, Grid grid, bool masked, const std::string& name,
                                  const std::string& again) {
  if (writeAsciiGrids && !writeNetCDFGrids) {
    AsciiOutputValues values;
    values.grid = grid ? grid : registry[index].grid;
    values.masked = masked;
    writeOutputAscii(values, name, again);
    return;
  }
  writeGatheredFile(index, grid, masked, name, again, writeAsciiGrids, writeDoubleGrids,
                    writeNetCDFGrids);
}

void modelobject::writeGatheredFile(int index, Grid grid, bool masked, const std::string& name,
                                    const std::string& again, bool ascii, bool doubleGrid,
                                    bool netcdf) {
  const Grid source = grid ? grid : registry[index].grid;
  Grid whole = mpiRank == 0 ? wholeOutputGrid(header.nrows, header.ncols) : nullptr;
  // One process gathers nothing; the cells no process owns are written as
  // nodata all the same, as a gathered grid holds them, so that the files do
  // not depend on the number of processes.
  if (!gatherWholeGrid(index, source, whole)) {
    if (mpiSize < 2 && outputRegions) {
      const bool parallel = header.nrows * header.ncols >= OwnedCells::parallelCells;
#pragma omp parallel for schedule(runtime) if (parallel)
      for (long r = 1; r <= header.nrows; ++r)
        for (long c = 1; c <= header.ncols; ++c)
          whole[r][c] = outputRegions[r][c] == 0.0 ? source[r][c] : header.nodata;
    } else {
      whole = nullptr;
    }
  }
  const int code = mpiRank != 0 ? 0 : catchExitCode([&] {
    Grid written = whole ? whole : grid;
    for (const std::string* n : {&name, &again}) {
      if (n->empty()) continue;
      if (masked)
        writeGridMasked(*n, written, ascii, doubleGrid, netcdf);
      else
        writeGrid(*n, written, ascii, doubleGrid, netcdf);
    }
  });
  // Rank 0 writes alone; the others must not run on into the next gather.
  if (mpiSize > 1)
    shareExitCode(*diag, code);
  else if (code != 0)
    throw code;
}

void modelobject::writeOutputStack(int index) {
  if (index < 1 || index > gridRegistryLimit) return;
  GridRegistryEntry& e = registry[index];
  if ((e.writeMode == 0 && e.statMode == 0) || !e.stack) return;
  const OutputMoment m = momentOf(currentDate, endMinuteIndex, getMinToIntEndHours(), monthDays);
  // Stacks know the ones digits up to 5.
  if (e.writeMode > 5 || !writeDue(e.writeMode, m)) return;
  const bool stamped = e.writeMode == 2 || e.writeMode == 5;
  const std::string name =
      stamped ? timeStampedStackName(e.fileName, currentDate, nextStampRepeat(e, currentDate))
              : e.fileName;
  const std::string again = stamped && m.runEnds ? e.fileName : "";
  writeRegisteredStack(index, name, again);
}

void modelobject::writeRegisteredStack(int index, const std::string& name,
                                       const std::string& again) {
  GridRegistryEntry& e = registry[index];
  const int lastLevel = static_cast<int>(e.levels);
  // Binary stacks are written by every process at its own cells, ASCII ones
  // formatted by every process over its own rows; netCDF stacks by rank 0
  // from a gathered copy, or from what it holds when there are no strips.
  if (writeAsciiGrids && !writeNetCDFGrids && e.stack) {
    if (gatherRegions())
      *diag << "synchronising stack " << e.name << " for mpi-rank " << mpiRank << "[end-entry]";
    AsciiOutputValues values;
    values.stack = e.stack;
    values.levels = lastLevel + 1L;
    writeOutputAscii(values, name, again);
    return;
  }
  if (mpiSize < 2 || (!writeAsciiGrids && !writeNetCDFGrids)) {
    for (const std::string* n : {&name, &again})
      if (!n->empty())
        writeStack(*n, e.stack, lastLevel, writeAsciiGrids, writeDoubleGrids, writeNetCDFGrids);
    return;
  }
  const bool gathered = gatherRegions() != nullptr;
  Stack whole = mpiRank == 0 && gathered
                    ? wholeOutputStack(header.nrows, header.ncols, lastLevel + 1L)
                    : nullptr;
  if (gathered) gatherWholeStack(index, e.stack, whole);
  const int code = mpiRank != 0 ? 0 : catchExitCode([&] {
    for (const std::string* n : {&name, &again})
      if (!n->empty())
        writeStack(*n, whole ? whole : e.stack, lastLevel, writeAsciiGrids, writeDoubleGrids,
                   writeNetCDFGrids);
  });
  shareExitCode(*diag, code);
}

void modelobject::writeGridAtRegistration(int index) { writeOutputGrids(index); }
