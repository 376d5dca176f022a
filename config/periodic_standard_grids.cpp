#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/code_grids.h"
#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "core/run_files.h"
#include "core/state_numbers.h"

void defaultini::takeCheckedCodeGrid(int index, CodeGrid kind) {
  if (index < 1) return;
  checkedCodeGrids.erase(std::remove_if(checkedCodeGrids.begin(), checkedCodeGrids.end(),
                                        [&](const CheckedCodeGrid& c) { return c.index == index; }),
                         checkedCodeGrids.end());
  checkedCodeGrids.push_back({index, kind});

  // The saved set-up values were taken before the check and still hold the
  // codes of the control file.
  const auto g = std::find_if(standardGrids.begin(), standardGrids.end(),
                              [&](const StandardGrid& s) { return s.index == index; });
  if (g == standardGrids.end() || !g->setupValues) return;
  const GridRegistryEntry& e = registry[index];
  shareExitCode(*diag, catchExitCode([&] {
    replaceCodesByRecordIndices(g->setupValues, g->setupFirstRow, g->setupLastRow, kind, e.fileName,
                                e.name);
  }));
}

const defaultini::CheckedCodeGrid* defaultini::checkedCodeGrid(int index) const {
  for (const CheckedCodeGrid& c : checkedCodeGrids)
    if (c.index == index) return &c;
  return nullptr;
}

void defaultini::updatePeriodicStandardGrids(long minute, long hour, long day, long month,
                                             long year, double /*stepLength*/) {
  const ModelDate date{minute, hour, day, month, year};
  for (StandardGrid& g : standardGrids) {
    if (g.periodCount < 1) continue;
    if (!g.warmStamp.empty()) {
      readStampedGrid(g, g.warmStamp, date);
      g.warmStamp.clear();
    }
    if (advancePeriod(g, hour, day, month)) {
      rereadStandardGrid(g, date);
    } else if (g.restorePending) {
      // A count of 0 or less restores at the next step instead of never.
      if (++g.restoreCountdown >= g.restoreAfter) restoreSetupValues(g);
    }
  }
}

// Hours and days both watch the hour: a new day is where the hour falls.
bool defaultini::advancePeriod(StandardGrid& g, long hour, long day, long month) {
  long watched = 0;
  switch (periodUnitLetter(g.periodUnit)) {
  case 'H':
  case 'D':
    watched = hour;
    break;
  case 'M':
    watched = day;
    break;
  case 'Y':
    watched = month;
    break;
  default:
    return false;
  }
  if (watched > g.lastWatched) {
    ++g.stepCounter;
  } else if (watched < g.lastWatched) {
    g.stepCounter = 1;
    // A period that ended before the step of the re-read (the first one of a
    // run, which starts anywhere in it) starts the count again instead of
    // leaving the grid without re-reads for the rest of the run.
    g.periodCounter = g.periodCounter >= g.periodCount ? 1 : g.periodCounter + 1;
  }
  g.lastWatched = static_cast<int>(watched);
  return g.periodCounter == g.periodCount && g.stepCounter == g.periodSteps;
}

void defaultini::rereadStandardGrid(StandardGrid& g, const ModelDate& date) {
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "_%04ld%02ld%02ld%02ld", date.year, date.month, date.day,
                date.hour);
  readStampedGrid(g, stamp, date);
  g.periodCounter = 0;
  g.stepCounter = 0;
  if (!g.persistent) {
    g.restoreCountdown = 0;
    g.restorePending = true;
  }
}

void defaultini::readStampedGrid(StandardGrid& g, const std::string& stamp, const ModelDate& date) {
  GridRegistryEntry& e = registry[g.index];
  // Into the grid in place: the land-use layers and parameter grids and the
  // statistics keep pointing to it.
  Grid grid = e.grid;
  readGrid(e.fileName + stamp, grid, g.fillCode, false, true, true, 1, false, true, g.defaultValue,
           resamplingOf(e.name));
  // Rank 0 keeps the grid whole, every other process its strip with halo.
  const long first = mpiRank == 0 ? 1 : std::max(1L, header.firstRow - 1);
  const long last = mpiRank == 0 ? header.nrows : std::min(header.nrows, header.lastRow + 1);
  takeValuesReadDuringRun(g.index, e.fileName + stamp, first, last, date);
  g.lastStamp = stamp;
}

void defaultini::takeValuesReadDuringRun(int index, const std::string& from, long first, long last,
                                         const ModelDate& date) {
  refuseReadValuesOutOfRange(index, from, date);
  if (const CheckedCodeGrid* codes = checkedCodeGrid(index)) {
    replaceRegisteredCodes(index, codes->kind);
    followLanduseGrid(index);
  }
  // The modules refuse the values they refused at set-up, in the file's
  // units as there, then derive again what they derived from them.
  checkReadValues(index, from);
  scaleReadRows(index, first, last);
  rebuildFromReadValues(index, from);
}

// A module's conversion at set-up, on the rows the reader filled.
void defaultini::scaleReadRows(int index, long first, long last) {
  const GridRegistryEntry& e = registry[index];
  const double scale = e.readScale;
  if (scale == 1.0) return;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  const Grid grid = e.grid;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (grid[r][c] != nodata) grid[r][c] *= scale;
}

// The saved values are those of the file, from before a module's conversion.
void defaultini::restoreSetupValues(StandardGrid& g) {
  g.restorePending = false;
  const Grid grid = registry[g.index].grid;
  const double scale = registry[g.index].readScale;
  const double nodata = header.nodata;
  const Grid saved = g.setupValues;
  if (!grid || !saved) return;
  const long first = std::max(header.firstRow, g.setupFirstRow);
  const long last =
      std::min({header.lastRow, g.setupLastRow, static_cast<long>(columnRanges.size()) - 1});
  const long ncols = header.ncols;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r) {
    const RowColumnRange& range = columnRanges[static_cast<std::size_t>(r)];
    const long from = std::max(1L, range.first);
    const long to = std::min(ncols, range.last);
    for (long c = from; c <= to; ++c)
      grid[r][c] = saved[r][c] == nodata ? nodata : saved[r][c] * scale;
  }
  MPIExchangeGridHalo(g.index);
  followLanduseGrid(g.index);
  rebuildFromReadValues(g.index, registry[g.index].fileName);
}

void defaultini::followLanduseGrid(int index) {
  const CheckedCodeGrid* codes = checkedCodeGrid(index);
  if (!codes || codes->kind != CodeGrid::landuse || multilayerTable.empty() ||
      landuseLayerGrids.size() < 2 || landuseLayerGrids[0] != registry[index].grid)
    return;
  fillLanduseLayerGrids(index);
}

namespace {

constexpr int periodicityRefusedCode = 17;
constexpr int externalReadRefusedCode = 1003;

std::string joined(const std::vector<std::string>& clauses) {
  std::string text;
  for (const std::string& clause : clauses) text += (text.empty() ? "" : "; ") + clause;
  return text;
}

} // namespace

// Every process holds the same marks and writes the same entry, which the
// log stream takes from rank 0.
void defaultini::refuseReadsOfGridsBuiltOnce(bool periodicReads) {
  shareExitCode(*diag, catchExitCode([&] { refuseReads(periodicReads); }));
}

void defaultini::refuseReads(bool periodicReads) {
  const auto refuse = [&](const GridRegistryEntry& e, const std::string& read, const char* remedy,
                          int code) {
    *diag << "FATAL: error in control file, " << read
          << ", but it cannot be read again during the run: " << joined(e.builtOnce)
          << ". Values read later would not reach what was built from the first; " << remedy
          << "[end-entry]";
    throw code;
  };
  if (periodicReads)
    for (const StandardGrid& g : standardGrids)
      if (g.periodCount >= 1 && !registry[g.index].builtOnce.empty())
        refuse(registry[g.index],
               "[standard_grids] of " + userControlFile(controlFileName) + ": standard grid " +
                   std::to_string(g.index - 2) + " \"" + registry[g.index].name + "\" (" +
                   registry[g.index].fileName +
                   ") has periodicity = " + std::to_string(g.periodCount) + " " + g.periodUnit +
                   " " + std::to_string(g.periodSteps),
               "remove the periodicity of this grid", periodicityRefusedCode);
  if (!isExternalCouplingActive()) return;
  for (const ExternalReadGrid& g : coupling.readGrids)
    if (!registry[g.index].builtOnce.empty())
      refuse(registry[g.index],
             "[ExternalCoupling] of " + userControlFile(controlFileName) + ": the external grid " +
                 g.fileName + " is read into the internal grid \"" + g.internalName + "\"",
             "remove it from the grids to read", externalReadRefusedCode);
}

namespace {

constexpr int stateFileCode = 64;
const char* const periodicStateFile = "PeriodicGrids_End";

bool hasPeriodicGrid(const std::vector<StandardGrid>& grids) {
  return std::any_of(grids.begin(), grids.end(),
                     [](const StandardGrid& g) { return g.periodCount >= 1; });
}

} // namespace

void defaultini::writePeriodicGridState() {
  if (!hasPeriodicGrid(standardGrids)) return;
  shareExitCode(*diag, catchExitCode([&] {
    if (mpiRank != 0) return;
    std::string path = periodicStateFile;
    prependDirectory(outputDirectory, path);
    std::FILE* file = std::fopen(path.c_str(), "w");
    bool ok = file != nullptr;
    for (const StandardGrid& g : standardGrids) {
      if (!ok || g.periodCount < 1) continue;
      // The stamp as one number: 0 before the first re-read.
      const std::string stamp = g.lastStamp.empty() ? "0" : g.lastStamp.substr(1);
      ok = std::fprintf(file,
                        "%d %d %d %d %d %d %s (standard grid, period and step counters, last "
                        "watched value, restore pending and its countdown, last file read: %s)\n",
                        g.index - 2, g.periodCounter, g.stepCounter, g.lastWatched,
                        g.restorePending ? 1 : 0, g.restoreCountdown, stamp.c_str(),
                        g.lastStamp.empty()
                            ? "none"
                            : (registry[g.index].fileName + g.lastStamp).c_str()) > 0;
    }
    if (file) ok = std::fclose(file) == 0 && ok;
    if (ok) return;
    *diag << "FATAL: error writing the counters of the periodic standard grids to " << path
          << "; check the output directory, its rights and the disk space"
          << "[end-entry]";
    throw stateFileCode;
  }));
}

void defaultini::readPeriodicGridState(bool warm) {
  if (!hasPeriodicGrid(standardGrids)) return;
  std::string written = periodicStateFile;
  prependDirectory(outputDirectory, written);
  noteOutputFile(written, "the counters of the periodic standard grids at the end of the run");
  if (!warm) return;
  if (!initialStateFileExists(periodicStateFile)) {
    *diag << "WARNING: no file " << periodicStateFile
          << " of a former run in the directory of the initial states: the periodic standard "
             "grids hold their set-up values and count their periods anew"
          << "[end-entry]";
    return;
  }
  std::string path = periodicStateFile;
  prependDirectory(inputDirectory, path);
  noteInputFile(path, "the counters of the periodic standard grids that a warm start goes on with");
  // Every process reads the same file.
  shareExitCode(*diag, catchExitCode([&] {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(std::fopen(path.c_str(), "r"),
                                                                 std::fclose);
    if (!opened) {
      *diag << "FATAL: error opening " << path
            << "; check the directory of the initial states and its rights"
            << "[end-entry]";
      throw stateFileCode;
    }
    std::string line;
    std::vector<double> values;
    std::string fault;
    for (long number = 1; readLine(opened.get(), line) == LineRead::line; ++number) {
      if (!stateLineNumbers(line, values, fault))
        refuseStateValue(*diag, path, number, "a counter of a periodic standard grid", fault,
                         "is not a number");
      // The counters fit an int, the stamp (YYYYMMDDHH) ten digits.
      bool whole = values.size() == 7;
      for (std::size_t i = 0; whole && i < values.size(); ++i)
        whole = values[i] >= 0.0 && values[i] < (i == 6 ? 1e10 : 1e9) &&
                std::floor(values[i]) == values[i];
      const auto g = std::find_if(standardGrids.begin(), standardGrids.end(), [&](const auto& s) {
        return whole && s.periodCount >= 1 && s.index - 2 == static_cast<int>(values[0]);
      });
      if (g == standardGrids.end())
        refuseStateValue(*diag, path, number, "the line of a periodic standard grid", line,
                         "must be seven whole numbers from 0, the first the number of a "
                         "standard grid with a periodicity in this run");
      g->periodCounter = static_cast<int>(values[1]);
      g->stepCounter = static_cast<int>(values[2]);
      g->lastWatched = static_cast<int>(values[3]);
      g->restorePending = values[4] != 0.0;
      g->restoreCountdown = static_cast<int>(values[5]);
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "_%010.0f", values[6]);
      // A grid that fell back to its set-up values holds them already.
      if (values[6] > 0.0 && (g->persistent || g->restorePending)) g->warmStamp = stamp;
    }
  }));
}
