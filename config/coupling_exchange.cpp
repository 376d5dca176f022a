#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include "config/code_grids.h"
#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"

namespace {

constexpr int exchangeFailedCode = 1001;
constexpr int disposeFailedCode = 1002;
constexpr int statisticOpenCode = 15;
// The external program may still hold its semaphore file for a moment.
constexpr auto semaphoreRetryPause = std::chrono::milliseconds(100);

// A number with at least `digits` digits, zeros in front ("%.*ld").
std::string padded(long value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*ld", digits, value);
  return text;
}

bool beginsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

} // namespace

// --- the grids of the external program ------------------------------------------

void defaultini::exchangeExternalGrids(long year, long month, long day, long hour) {
  if (!isExternalCouplingActive()) return;
  for (const ExternalReadGrid& g : coupling.readGrids) {
    Grid grid = registry[g.index].grid;
    const int code = catchExitCode([&] {
      readGrid(g.fileName, grid, g.fillCode, false, false, true, g.keepWholeOnRoot, false,
               g.withHalo, 0.0, resamplingOf(registry[g.index].name));
    });
    // The reader has ended every process with the same code.
    if (code != 0) {
      if (mpiRank == 0)
        *diag << "FATAL: error reading external grid " << g.fileName << "[end-entry]";
      throw exchangeFailedCode;
    }
    // The rows the reader filled: all on rank 0 when it keeps the grid whole.
    const bool whole = mpiRank == 0 && g.keepWholeOnRoot == 1;
    const long halo = g.withHalo ? 1 : 0;
    takeValuesReadDuringRun(g.index, g.fileName, whole ? 1 : std::max(1L, header.firstRow - halo),
                            whole ? header.nrows : std::min(header.nrows, header.lastRow + halo),
                            ModelDate{0, hour, day, month, year});
    shareExitCode(*diag, mpiRank != 0 ? 0 : catchExitCode([&] {
      disposeExternalGrid(g, year, month, day, hour);
    }));
  }
  shareExitCode(*diag, mpiRank != 0 ? 0 : catchExitCode([&] { deleteSemaphoreFile(); }));
}

// The file is where the reader found it, behind the input directory.
void defaultini::disposeExternalGrid(const ExternalReadGrid& g, long year, long month, long day,
                                     long hour) {
  std::string path = g.fileName;
  prependDirectory(inputDirectory, path);
  if (g.renameCode == 1) {
    const std::string moved = path + "_" + padded(year, 4) + "_" + padded(month, 2) + "_" +
                              padded(day, 2) + "_" + padded(hour, 2) + "_" +
                              std::to_string(static_cast<long>(std::clock()));
    if (std::rename(path.c_str(), moved.c_str()) == 0) return;
    const int error = errno;
    *diag << "FATAL: error renaming external grid " << path << " nach " << moved << " ("
          << std::strerror(error) << ")"
          << "[end-entry]";
    throw disposeFailedCode;
  }
  if (g.renameCode != 0 || std::remove(path.c_str()) == 0) return;
  const int error = errno;
  *diag << "FATAL: error deleting external grid " << path << " (" << std::strerror(error) << ")"
        << "[end-entry]";
  throw disposeFailedCode;
}

void defaultini::deleteSemaphoreFile() {
  const std::string& name = coupling.semaphoreFile;
  if (std::remove(name.c_str()) == 0) return;
  std::this_thread::sleep_for(semaphoreRetryPause);
  if (std::remove(name.c_str()) == 0) return;
  const int error = errno;
  *diag << "FATAL: error deleting semaphore file " << name << " (" << std::strerror(error) << ")"
        << "[end-entry]";
  throw exchangeFailedCode;
}

// --- sums over the coupling interval ----------------------------------------------

template <typename Op> void defaultini::updateAccumulation(const ExternalWriteGrid& g, Op op) {
  const GridRegistryEntry& e = registry[g.index];
  Grid acc = g.accumulation;
  Grid current = e.grid;
  Grid zone = registry[1].grid;
  Grid regions = regionsGrid;
  const RowColumnRange* ranges = rowColumnRange;
  if (!acc || !current || !zone || !regions || !ranges) return;
  const long first = std::max(coupling.firstRow, e.firstRow);
  const long last = std::min(coupling.lastRow, e.lastRow);
  const double nodata = header.nodata;
  const double rank = mpiRank;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r) {
    const RowColumnRange range = ranges[r];
    for (long c = range.first; c <= range.last; ++c)
      acc[r][c] =
          zone[r][c] != nodata && regions[r][c] == rank ? op(acc[r][c], current[r][c]) : nodata;
  }
}

// Running sums ("SumTotal") take every step as sums over the interval do,
// not only the steps that end an interval.
void defaultini::accumulateCouplingStatistics() {
  if (!isExternalCouplingActive()) return;
  for (const ExternalWriteGrid& g : coupling.writeGrids)
    if (g.kind != CouplingWriteKind::current)
      updateAccumulation(g, [](double sum, double value) { return sum + value; });
  for (ExternalStatistic& st : coupling.statistics) {
    const double* values = st.entry.currentValues;
    if (st.kind == CouplingWriteKind::current || !values) continue;
    for (long p = 1; p < st.entry.valueCount; ++p) st.sums[p] += values[p];
  }
  ++coupling.stepCounter;
}

void defaultini::writeCouplingStatistics(long hour, long day, long month, long year, bool dayEnds,
                                         bool monthEnds, bool yearEnds) {
  if (!isExternalCouplingActive()) return;
  const double steps = ++coupling.stepCounter;
  for (const ExternalWriteGrid& g : coupling.writeGrids) {
    if (g.kind == CouplingWriteKind::sum || g.kind == CouplingWriteKind::sumTotal)
      updateAccumulation(g, [](double sum, double value) { return sum + value; });
    else if (g.kind == CouplingWriteKind::mean)
      updateAccumulation(g, [steps](double sum, double value) { return (sum + value) / steps; });
    writeCouplingGrid(g, day, month, year, dayEnds, monthEnds, yearEnds);
    if (g.kind == CouplingWriteKind::sum || g.kind == CouplingWriteKind::mean)
      updateAccumulation(g, [](double, double) { return 0.0; });
  }
  shareExitCode(*diag, mpiRank != 0 ? 0 : catchExitCode([&] {
    writeCouplingStatisticFiles(hour, day, month, year);
  }));
  coupling.stepCounter = 0;
}

// Gathered once onto rank 0, which writes the grid and the files of the
// periods that end.
void defaultini::writeCouplingGrid(const ExternalWriteGrid& g, long day, long month, long year,
                                   bool dayEnds, bool monthEnds, bool yearEnds) {
  std::vector<std::string> names{g.fileName};
  if (g.kind == CouplingWriteKind::sumTotal) {
    const std::size_t slash = g.fileName.rfind('/');
    const std::size_t cut = slash == std::string::npos ? 0 : slash + 1;
    const std::string dir = g.fileName.substr(0, cut);
    const std::string base = g.fileName.substr(cut);
    const std::string& code = g.writeCode;
    if (dayEnds && beginsWith(code, "SumTotal_D"))
      names.push_back(dir + "SumTotal_EndOf_Day_" + padded(year, 4) + "_" + padded(month, 2) + "_" +
                      padded(day, 2) + "_" + base);
    if (monthEnds && (beginsWith(code, "SumTotal_M") || beginsWith(code, "SumTotal_DM")))
      names.push_back(dir + "SumTotal_EndOf_Month_" + padded(year, 4) + "_" + padded(month, 2) +
                      "_" + base);
    if (yearEnds && (beginsWith(code, "SumTotal_Y") || beginsWith(code, "SumTotal_MY") ||
                     beginsWith(code, "SumTotal_DMY")))
      names.push_back(dir + "SumTotal_EndOf_Year_" + padded(year, 4) + "_" + base);
  }
  Grid source = g.kind == CouplingWriteKind::current ? registry[g.index].grid : g.accumulation;
  Grid whole = MPIGatherGridCopy(g.index, source);
  const int code = mpiRank != 0 ? 0 : catchExitCode([&] {
    for (const std::string& name : names)
      writeGrid(name, whole ? whole : source, writeAsciiGrids, writeDoubleGrids, writeNetCDFGrids);
  });
  if (whole) free_matrix(whole, 1, header.nrows, 1, header.ncols);
  shareExitCode(*diag, code);
}

// Rank 0, which alone holds the statistics' values.
void defaultini::writeCouplingStatisticFiles(long hour, long day, long month, long year) {
  const CtrlCIgnoredScope ignored;
  for (ExternalStatistic& st : coupling.statistics) {
    const StatisticTableEntry& e = st.entry;
    if (!e.currentValues) continue;
    std::ostringstream text;
    char date[96];
    std::snprintf(date, sizeof date, "date: %4ld-%.2ld-%.2ld\nhour: %.2ldh\n", year, month, day,
                  hour);
    text << date << e.name << "; " << e.valueCount - 1 << " zones\n";
    const double steps = coupling.stepCounter;
    double average = 0.0;
    for (long p = 1; p < e.valueCount; ++p) {
      double value = e.currentValues[p];
      if (st.kind == CouplingWriteKind::sum) {
        value += st.sums[p];
        st.sums[p] = 0.0;
      } else if (st.kind == CouplingWriteKind::sumTotal) {
        value = st.sums[p] += value;
      } else if (st.kind == CouplingWriteKind::mean) {
        value = (st.sums[p] + value) / steps;
        st.sums[p] = 0.0;
      }
      average += e.areaFractions[p] * value;
      text << e.zoneCodes[p] << "\t" << value << "\n";
    }
    text << "average\t" << average << "\n";

    std::string path = st.fileName;
    prependDirectory(outputDirectory, path);
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
      const int error = errno;
      *diag << "FATAL: error opening " << path << " for the statistic of the external program ("
            << std::strerror(error) << ")"
            << "[end-entry]";
      throw statisticOpenCode;
    }
    const std::string content = text.str();
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const int error = errno;
    if (std::fclose(file) != 0 || !written) writeError(path, written ? errno : error);
  }
}
