#include "core/grid_registry.h"

#include <algorithm>
#include <iterator>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/output_names.h"
#include "core/run_files.h"

WriteCodeDigits splitWriteCode(long writecode) {
  WriteCodeDigits d{};
  d.writeMode = static_cast<int>(writecode % 10);
  d.statMode = static_cast<int>((writecode % 100) / 10);
  const int hundreds = static_cast<int>((writecode % 1000) / 100);
  d.writeMin = (hundreds == 1 || hundreds == 3) ? 1 : 0;
  d.writeMax = (hundreds == 2 || hundreds == 3) ? 1 : 0;
  d.vegPeriodMode = static_cast<int>((writecode % 10000) / 1000);
  return d;
}

namespace {

void releaseStatisticsGrids(modelobject& owner, GridRegistryEntry& e, long ncols);

// The files that the entry's write code writes under names known before the
// run, for the run's registry of files.
void noteRegisteredOutputs(const std::string& outputDirectory, const GridRegistryEntry& e) {
  const std::string use =
      std::string("the output of the ") + (e.stack ? "stack" : "grid") + " \"" + e.name + "\"";
  const auto note = [&](std::string name) {
    modelobject::prependDirectory(outputDirectory, name);
    noteOutputFile(name, use);
  };
  if (e.writeMode != 0) note(e.stack ? e.fileName : e.firstFileName);
  if (e.writeMode == 8 && !e.stack) note(e.firstFileName + ".filled");
  if (e.writeMin) note(outputFileName(e.minFileName, ".min"));
  if (e.writeMax) note(outputFileName(e.maxFileName, ".max"));
  if (e.statMode == 1 || e.statMode == 5)
    note(periodStatisticsName(e.meanFileName, e.statMode, ModelDate{}));
  for (const StatisticsStateGrid& s : statisticsStateGrids(e)) note(s.fileName);
}

} // namespace

int modelobject::firstFreeRegistryIndex() const {
  int index = 1;
  while (index < gridRegistryLimit && registry[index].hasFileName) ++index;
  return index;
}

void modelobject::registerGrid(int index, const std::string& fileName, Grid grid, Stack stack,
                               unsigned levels, const std::string& name, long writecode,
                               long firstRow, long lastRow) {
  if (index >= gridRegistryLimit) {
    *diag << "FATAL: no free grid in memory,(max. " << gridRegistryLimit << ")!"
          << "[end-entry]";
    throw 12;
  }
  // A negative code would split into digits that write nothing, without a
  // word; 0 is the code that writes nothing.
  if (writecode < 0) {
    *diag << "FATAL: error in control file " << userControlFile(controlFileName)
          << (sectionHeader.empty() ? std::string() : ", section " + sectionHeader)
          << ": the write code " << writecode << " of the " << (stack ? "stack" : "grid") << " \""
          << name << "\" (" << fileName
          << ") is negative; give 0 (never written) or a code of the digits described for write "
             "codes"
          << "[end-entry]";
    throw 17;
  }
  GridRegistryEntry& e = registry[index];
  // A re-registered entry gets fresh statistics grids; release the old ones.
  releaseStatisticsGrids(*this, e, header.ncols);
  e.hasFileName = true;
  e.fileName = fileName;
  if (!e.hasFirstFileName) {
    e.firstFileName = fileName;
    e.hasFirstFileName = 1;
  }
  e.hasName = true;
  e.name = name;
  e.grid = grid;
  e.stack = stack;
  e.levels = levels;
  e.minMaxStarted = 0;
  e.callCount = 0.0;
  const WriteCodeDigits d = splitWriteCode(writecode);
  e.writeMode = d.writeMode;
  e.statMode = d.statMode;
  e.writeMin = d.writeMin;
  e.writeMax = d.writeMax;
  e.vegPeriodMode = d.vegPeriodMode;
  e.firstRow = firstRow;
  e.lastRow = lastRow;

  e.statisticsFirstRow = firstRow;
  e.statisticsLastRow = lastRow;
  if (mpiSize > 1 && std::max(firstRow, header.firstRow) <= std::min(lastRow, header.lastRow)) {
    e.statisticsFirstRow = std::max(firstRow, header.firstRow);
    e.statisticsLastRow = std::min(lastRow, header.lastRow);
  }
  auto statisticsGrid = [&]() {
    return matrix(e.statisticsFirstRow, e.statisticsLastRow, 1, header.ncols, header.nrows);
  };
  if (e.statMode != 0) {
    e.meanGrid = statisticsGrid();
    e.meanCountGrid = statisticsGrid();
    e.meanFileName = e.fileName;
  }
  if (e.writeMin) {
    e.minGrid = statisticsGrid();
    e.minFileName = e.fileName;
  }
  if (e.writeMax) {
    e.maxGrid = statisticsGrid();
    e.maxFileName = e.fileName;
  }
  if (e.vegPeriodMode != 0) {
    e.vegPeriodGrid = statisticsGrid();
    e.vegPeriodFileName = e.fileName;
  }
  noteRegisteredOutputs(outputDirectory, e);
  if (e.writeMode == 8) writeGridAtRegistration(index);
}

void modelobject::checkAgainOnRead(int index, std::function<void(const std::string& from)> check) {
  if (index > 0 && index < gridRegistryLimit)
    registry[index].valueChecks.push_back({this, std::move(check)});
}

void modelobject::checkReadValues(int index, const std::string& from) {
  if (index <= 0 || index >= gridRegistryLimit) return;
  for (const GridReadAction& c : registry[index].valueChecks) c.run(from);
}

void modelobject::rebuildOnRead(int index, std::function<void()> rebuild) {
  if (index > 0 && index < gridRegistryLimit)
    registry[index].rebuilds.push_back(
        {this, [rebuild = std::move(rebuild)](const std::string&) { rebuild(); }});
}

void modelobject::rebuildFromReadValues(int index, const std::string& from) {
  if (index <= 0 || index >= gridRegistryLimit) return;
  for (const GridReadAction& r : registry[index].rebuilds) r.run(from);
}

void modelobject::builtOnceFrom(int index, const std::string& what) {
  if (index <= 0 || index >= gridRegistryLimit) return;
  std::vector<std::string>& uses = registry[index].builtOnce;
  if (std::find(uses.begin(), uses.end(), what) == uses.end()) uses.push_back(what);
}

void GridValueRange::scale(double lo, double hi, const std::string& what) {
  if (!known) return;
  const double corners[] = {lowest * lo, lowest * hi, highest * lo, highest * hi};
  lowest = *std::min_element(std::begin(corners), std::end(corners));
  highest = *std::max_element(std::begin(corners), std::end(corners));
  source += ", times " + what;
}

void GridValueRange::shift(double lo, double hi, const std::string& what) {
  if (!known) return;
  lowest += lo;
  highest += hi;
  source += ", plus " + what;
}

void modelobject::unregisterGrid(int index) {
  if (index < 0 || index > gridRegistryLimit) return;
  GridRegistryEntry& e = registry[index];
  e.hasFileName = false;
  e.fileName.clear();
  e.hasName = false;
  e.name.clear();
  e.writeMode = 0;
  e.levels = 0;
  e.grid = nullptr;
  e.stack = nullptr;
  e.callCount = 0.0;
  e.wholeOnRoot = false;
  e.valueChecks.clear();
  e.rebuilds.clear();
  e.builtOnce.clear();
  e.valueRange = GridValueRange{};
  e.statisticsCallsPerStep = 1;
  releaseStatisticsGrids(*this, e, header.ncols);
  if (e.hasFirstFileName == 1) {
    e.firstFileName.clear();
    e.hasFirstFileName = 0;
  }
}

namespace {

void releaseStatisticsGrids(modelobject& owner, GridRegistryEntry& e, long ncols) {
  for (Grid* g : {&e.meanGrid, &e.meanCountGrid, &e.minGrid, &e.maxGrid, &e.vegPeriodGrid}) {
    if (*g) owner.free_matrix(*g, e.statisticsFirstRow, e.statisticsLastRow, 1, ncols);
    *g = nullptr;
  }
  // References into other entries, looked up again for the next grid.
  e.vegStartGrid = nullptr;
  e.vegStopGrid = nullptr;
  e.vegDurationGrid = nullptr;
  e.meanFileName.clear();
  e.minFileName.clear();
  e.maxFileName.clear();
  e.vegPeriodFileName.clear();
  e.statMode = 0;
  e.writeMin = 0;
  e.writeMax = 0;
  e.vegPeriodMode = 0;
}

} // namespace

int modelobject::findGrid(const std::string& name, int passStacks) {
  for (int i = 1; i < gridRegistryLimit; ++i) {
    const GridRegistryEntry& e = registry[i];
    if (e.hasName && e.name == name) return i;
    if (i + 1 >= gridRegistryLimit) break;
    const GridRegistryEntry& next = registry[i + 1];
    if (!next.hasFileName || (passStacks == 0 && next.grid == nullptr)) return 0;
  }
  return 0;
}

namespace {

int searchNamedEntries(const GridRegistryEntry* registry, const std::string& name) {
  for (int i = 1; i < gridRegistryLimit && registry[i].hasName; ++i)
    if (registry[i].name == name) return i;
  return 0;
}

} // namespace

std::string modelobject::gridWithFile(const std::string& name) const {
  const int index = registry ? searchNamedEntries(registry, name) : 0;
  const std::string file = index > 0 ? registry[index].fileName : std::string();
  return "\"" + name + "\"" + (file.empty() ? "" : " (" + file + ")");
}

int modelobject::requireGrid(const std::string& name) {
  if (int index = searchNamedEntries(registry, name)) return index;
  *diag << "FATAL: \n---------------- !!! ERROR !!!  --------------------------\n"
        << name << " not found in memory,\nThese data are needed within " << moduleName
        << " \nif they are interpolated data, please specify an interpolator for\n"
        << name
        << " in the control file or read it in as a standardfile,\n"
           "-----------------------------------------------------------\n"
        << "[end-entry]";
  throw 33;
}

namespace {

[[noreturn]] void reportMissingAlternatives(DiagStream& diag, const std::string& names,
                                            const std::string& moduleName) {
  diag << "FATAL: \n---------------- !!! ERROR !!!  ------------------------------------\n"
       << "Wether " << names << " \nwhere found in memory,\n"
       << "One of these data sets has to be present within " << moduleName << " \n"
       << "If the data are to be interpolated, please specify an interpolatior for\n"
       << names << " in the control file,\n"
       << "or read it as a standard grid \n"
       << "-----------------------------------------------------------------------\n"
       << "[end-entry]";
  throw 33;
}

} // namespace

int modelobject::requireOneOf3Grids(const std::string& a, const std::string& b,
                                    const std::string& c) {
  for (const std::string* name : {&a, &b, &c})
    if (int index = searchNamedEntries(registry, *name)) return index;
  reportMissingAlternatives(*diag, a + ", " + b + " or " + c, moduleName);
}

int modelobject::requireOneOf4Grids(const std::string& a, const std::string& b,
                                    const std::string& c, const std::string& d) {
  for (const std::string* name : {&a, &b, &c, &d})
    if (int index = searchNamedEntries(registry, *name)) return index;
  reportMissingAlternatives(*diag, a + ", " + b + ", " + c + " or " + d, moduleName);
}
