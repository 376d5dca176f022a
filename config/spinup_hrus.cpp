#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "config/control_file_session.h"
#include "config/defaultini.h"
#include "config/section_reader.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/string_helpers.h"

namespace {

constexpr int closeFailedCode = 11;
constexpr int badControlValueCode = 17;
constexpr int noUnitGridCode = 1030;
constexpr int tooManyClassesCode = 1031;
constexpr double largestClass = 9999.0;
constexpr long noFailure = LONG_MAX;

const char* const unitGridName = "HydrologicResponseUnits";
const char* const masterGridName = "MasterHydrologicResponseUnits";

// The classes of a cell, grid by grid; with the units given as a grid, its
// value without decimals. Held as numbers so that the scan compares keys
// without building texts; -0 is held as 0.
using ClassKey = std::vector<double>;

std::string formatted(const char* format, double value) {
  const int length = std::snprintf(nullptr, 0, format, value);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, value);
  text.resize(static_cast<size_t>(length));
  return text;
}

// With the soils' layerings, the key's last number is the layering's.
std::string keyText(const ClassKey& key, bool fromClasses, bool layered) {
  const std::size_t classes = key.size() - (layered ? 1 : 0);
  std::string text;
  if (!fromClasses)
    text = formatted("%0.lf", key.front());
  else
    for (std::size_t k = 0; k < classes; ++k) text += formatted("%04.0lf'", key[k]);
  if (layered) text += formatted("L%0.lf", key.back());
  return text;
}

// Per soil record, the first record with the same layers (count and
// thicknesses); empty where all records share one layering.
std::vector<double> layeringsOf(const std::vector<soil_class>& table) {
  std::vector<double> layering(table.size(), 0.0);
  bool several = false;
  for (std::size_t i = 1; i < table.size(); ++i) {
    layering[i] = static_cast<double>(i);
    for (std::size_t j = 1; j < i; ++j) {
      const soil_class& a = table[i];
      const soil_class& b = table[j];
      bool same = a.getLayerCount() == b.getLayerCount();
      for (int k = 1; same && k <= a.getLayerCount(); ++k)
        same = a.getThickness(k) == b.getThickness(k);
      if (same) {
        layering[i] = static_cast<double>(j);
        break;
      }
    }
    several = several || layering[i] != 1.0;
  }
  if (!several) layering.clear();
  return layering;
}

bool isMissing(double value, double nodata) { return value == nodata || std::isnan(value); }

} // namespace

struct defaultini::SpinUpSettings {
  int spinUp = 0;
  int preSpinUp = 0;
  int repeatCnt = 0;
  int numGrids = 0;
  struct ClassedGrid {
    std::string name;
    double width = 1.0;
    bool squareRoot = false;
    Grid grid = nullptr;
  };
  std::vector<ClassedGrid> grids;
  bool fromClasses() const { return numGrids != 0; }
  // A soil profile has no meaning in a column of other layers: where the
  // soils differ in their layers, each unit holds cells of one layering.
  Grid soilTypes = nullptr;
  std::vector<double> layerings; // per soil record, see layeringsOf
  bool layered() const { return !layerings.empty(); }
};

// What one process met in its own cells: every key in the order of its first
// cell, and the first classification that failed.
struct defaultini::HRUScan {
  struct FirstCell {
    long position; // (row - 1) * ncols + column: the order of a whole-grid scan
    long row;
    long column;
  };
  std::vector<ClassKey> keys; // local ordinal j at j - 1
  std::vector<FirstCell> firstCells;
  std::map<ClassKey, std::size_t> ordinals;
  struct Failure {
    long position = noFailure;
    double value = 0.0;
    int grid = 0;
  } failure;
};

void defaultini::createHRUs(int& spinUp, int& doTemperaturePreSpinUp, int& repeatCnt,
                            HRUList& hruList) {
  *diag << "DEBUG: Creating HRUs"
        << "[end-entry]";
  hruList.assign(1, HRUClass{});
  spinUp = 0;
  doTemperaturePreSpinUp = 0;
  repeatCnt = 0;
  checkMPI(*diag, MPI_Comm_rank(MPI_COMM_WORLD, &mpiRank), "MPI_Comm_rank");
  checkMPI(*diag, MPI_Comm_size(MPI_COMM_WORLD, &mpiSize), "MPI_Comm_size");

  SpinUpSettings settings;
  if (!readSpinUpSection(settings)) return;
  spinUp = settings.spinUp;
  doTemperaturePreSpinUp = settings.preSpinUp;
  repeatCnt = settings.repeatCnt;

  createHRUGrids(settings);
  const int soils = findGrid("soil_types", 1);
  if (soils > 0 && registry[soils].grid) {
    settings.soilTypes = registry[soils].grid;
    settings.layerings = layeringsOf(soilTable);
  }
  HRUScan scan;
  scanOwnHRUCells(settings, scan);
  shareHRUClassFailure(settings, scan);
  hruList = numberHRUs(settings, scan);
  // Halo cells carry the numbers of their owners, as every registered grid.
  MPIExchangeGridHalo(hruIndex);
  writeHRUGrids(settings.fromClasses() ? registry[hruIndex].fileName : renumberedHRUFileName());
}

// False when the section is absent or SpinUp is off.
bool defaultini::readSpinUpSection(SpinUpSettings& s) {
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag, "FATAL: Error opening ");
  if (seekSection("[SpinUp]", false)) {
    SectionReader section(*this, controlFile, controlFileName, "[SpinUp]");
    s.spinUp = section.readInt("SpinUp-switch not found");
    if (s.spinUp != 0) {
      s.preSpinUp = section.readInt("doTemperaturePreSpinUp not found");
      s.repeatCnt = section.readInt("repeatCnt not found");
      s.numGrids = section.readInt("numGrids not found");
    }
    for (int k = 1; s.spinUp != 0 && k <= s.numGrids; ++k) {
      std::string line;
      bool found = section.nextLine(line);
      // A grid named by its bracketed registry name ("[elevation_model]")
      // opens no section.
      if (!found && !line.empty() && findGrid(line, 1) > 0) {
        line = section.takeBracketedLine();
        found = true;
      }
      const std::vector<std::string> words = splitWords(line);
      SpinUpSettings::ClassedGrid g;
      if (!found || words.size() < 3 || !parseNumber(words[1], g.width))
        section.fail(" error reading HRU defintions ", section.valueLine(), line);
      g.name = words[0];
      g.squareRoot = words[2].find("sqrt") != std::string::npos;
      // A width of 0 would divide by 0, a negative one turn the classes round.
      if (!(g.width > 0.0)) {
        *diag << "FATAL: error in control file, " << section.location(section.valueLine(), line)
              << ": the class width of grid " << g.name << " must be greater than 0 (found "
              << g.width << ")"
              << "[end-entry]";
        throw badControlValueCode;
      }
      s.grids.push_back(g);
    }
  }
  if (!session.close()) {
    *diag << "FATAL: error closing " << controlFileName << "[end-entry]";
    throw closeFailedCode;
  }
  return s.spinUp != 0;
}

void defaultini::createHRUGrids(SpinUpSettings& s) {
  const long first = heldFirstRow();
  const long last = heldLastRow();
  const double nodata = header.nodata;
  if (!s.fromClasses()) {
    hruIndex = findGrid(unitGridName, 1);
    if (hruIndex < 1 || !registry[hruIndex].grid) {
      *diag << "FATAL: standard grid with identifier " << unitGridName
            << " not found (Hydrologic Respond Units, HRU; used for SpinUp mode)"
            << "[end-entry]";
      throw noUnitGridCode;
    }
    hruGrid = registry[hruIndex].grid;
    builtOnceFrom(hruIndex, "the set-up numbers the response units of spin-up anew in it and "
                            "chooses their master cells");
  } else {
    for (SpinUpSettings::ClassedGrid& g : s.grids) {
      const int index = requireOneOf3Grids(g.name, "[" + g.name + "]", g.name);
      g.grid = registry[index].grid;
      builtOnceFrom(index, "the set-up forms the response units of spin-up from its classes");
    }
    hruIndex = takeFreeEntry(
        "FATAL: when trying to create HRU grid: no free grid found in memory (max position ", ")");
    hruGrid = registerDerivedGrid(hruIndex, "All_HydrologicResponseUnits", unitGridName, first,
                                  last, nodata);
  }
  // The entry after the unit grid's is the next free one; a registry that
  // ends there refuses the master grid like any other.
  masterHruIndex = takeFreeEntry(
      "FATAL: when trying to create HRUMaster grid: no free grid found in memory (max position ",
      ")");
  masterHruGrid = registerDerivedGrid(masterHruIndex,
                                      s.fromClasses() ? "Master_HydrologicResponseUnits"
                                                      : "MasterHydrologicResponseUnits",
                                      masterGridName, first, last, nodata);
}

// In row order over the held rows: every own cell gets the local ordinal of
// its key in the unit grid, every other cell nodata. The scan stops at the
// first class above 9999.
void defaultini::scanOwnHRUCells(const SpinUpSettings& s, HRUScan& scan) {
  const Grid zone = registry[1].grid;
  const long first = heldFirstRow();
  const long last = heldLastRow();
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  const double rank = mpiRank;
  const bool fromClasses = s.fromClasses();
  ClassKey key;
  key.reserve(std::max<std::size_t>(1, s.grids.size()));

  // False when the cell belongs to no unit.
  auto classify = [&](long r, long c, long position) {
    key.clear();
    if (!fromClasses) {
      const double value = hruGrid[r][c];
      if (isMissing(value, nodata)) return false;
      key.push_back(std::nearbyint(value) + 0.0);
      return true;
    }
    if (s.grids.empty() || isMissing(s.grids.front().grid[r][c], nodata)) return false;
    for (std::size_t k = 0; k < s.grids.size(); ++k) {
      const SpinUpSettings::ClassedGrid& g = s.grids[k];
      double value = g.grid[r][c];
      if (g.squareRoot) value = std::sqrt(std::fabs(value));
      const double unitClass = std::floor(value / g.width) + 0.0;
      if (unitClass > largestClass) {
        scan.failure = {position, unitClass, static_cast<int>(k)};
        return false;
      }
      key.push_back(unitClass);
      // A later grid without data leaves the key with the classes so far.
      if (k + 1 < s.grids.size() && isMissing(s.grids[k + 1].grid[r][c], nodata)) break;
    }
    return true;
  };
  auto addLayering = [&](long r, long c) {
    const double soil = s.soilTypes[r][c];
    const bool known = soil >= 1.0 && soil < static_cast<double>(s.layerings.size());
    key.push_back(known ? s.layerings[static_cast<std::size_t>(soil)] : 0.0);
  };

  for (long r = first; r <= last; ++r) {
    for (long c = 1; c <= ncols; ++c) {
      const bool own = zone[r][c] > nodata && regionsGrid[r][c] == rank;
      const long position = (r - 1) * ncols + c;
      const bool member = own && classify(r, c, position);
      hruGrid[r][c] = nodata;
      if (scan.failure.position != noFailure) return;
      if (!member) continue;
      if (s.layered()) addLayering(r, c);
      auto found = scan.ordinals.find(key);
      if (found == scan.ordinals.end()) {
        scan.keys.push_back(key);
        scan.firstCells.push_back({position, r, c});
        found = scan.ordinals.emplace(key, scan.keys.size()).first;
      }
      hruGrid[r][c] = static_cast<double>(found->second);
    }
  }
}

// A class above 9999 on any process ends every process; the first such cell
// of the whole grid is reported, whatever the number of processes.
void defaultini::shareHRUClassFailure(const SpinUpSettings& s, const HRUScan& scan) {
  struct {
    long position;
    int rank;
  } own{scan.failure.position, mpiRank}, first{noFailure, 0};
  checkMPI(*diag, MPI_Allreduce(&own, &first, 1, MPI_LONG_INT, MPI_MINLOC, MPI_COMM_WORLD),
           "MPI_Allreduce of the HRU classification");
  if (first.position == noFailure) return;
  double detail[2] = {scan.failure.value, static_cast<double>(scan.failure.grid)};
  checkMPI(*diag, MPI_Bcast(detail, 2, MPI_DOUBLE, first.rank, MPI_COMM_WORLD),
           "MPI_Bcast of the HRU classification failure");
  if (mpiRank == 0) {
    const long row = (first.position - 1) / header.ncols + 1;
    const long column = (first.position - 1) % header.ncols + 1;
    *diag << "FATAL: Creating HRUs resulted in a re-classify result of " << detail[0]
          << " for grid " << s.grids[static_cast<std::size_t>(detail[1])].name << " at row=" << row
          << " and col=" << column
          << ". Only 10'000 Classes are allowed for each grid. Choose a larger class width or use "
             "lg2 spacing to reduce the amount of HRUs."
          << "[end-entry]";
  }
  throw tooManyClassesCode;
}

// Numbers the keys of all processes in the order of their first cell in the
// whole grid, so that every process count gives the numbers of a single
// process; replaces the local ordinals by these numbers. That first cell is
// the unit's master cell on every process, so that a unit over several
// strips copies one state; the process that owns it marks it. Collective.
HRUList defaultini::numberHRUs(const SpinUpSettings& s, const HRUScan& scan) {
  // Per key: its first position, its length and its classes.
  std::vector<double> own;
  for (std::size_t j = 0; j < scan.keys.size(); ++j) {
    own.push_back(static_cast<double>(scan.firstCells[j].position));
    own.push_back(static_cast<double>(scan.keys[j].size()));
    own.insert(own.end(), scan.keys[j].begin(), scan.keys[j].end());
  }
  const int ownCount = static_cast<int>(own.size());
  std::vector<int> counts(static_cast<std::size_t>(mpiSize), 0);
  checkMPI(*diag, MPI_Gather(&ownCount, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Gather of the HRU key counts");
  std::vector<int> offsets(counts.size(), 0);
  for (std::size_t p = 1; p < counts.size(); ++p) offsets[p] = offsets[p - 1] + counts[p - 1];
  std::vector<double> all(mpiRank == 0 ? static_cast<std::size_t>(offsets.back() + counts.back())
                                       : 0);
  checkMPI(*diag,
           MPI_Gatherv(own.data(), ownCount, MPI_DOUBLE, all.data(), counts.data(), offsets.data(),
                       MPI_DOUBLE, 0, MPI_COMM_WORLD),
           "MPI_Gatherv of the HRU keys");

  // Rank 0: first position, length and classes of every unit in the order
  // of their numbers.
  std::vector<double> ordered;
  if (mpiRank == 0) {
    std::map<ClassKey, double> firstPositions;
    for (std::size_t p = 0; p < all.size();) {
      const double position = all[p];
      const auto length = static_cast<std::size_t>(all[p + 1]);
      ClassKey key(all.begin() + static_cast<long>(p + 2),
                   all.begin() + static_cast<long>(p + 2 + length));
      p += 2 + length;
      auto at = firstPositions.emplace(std::move(key), position).first;
      at->second = std::min(at->second, position);
    }
    if (s.layered()) reportLayeringSplit(firstPositions);
    std::vector<std::pair<double, const ClassKey*>> order;
    for (const auto& [key, position] : firstPositions) order.emplace_back(position, &key);
    std::sort(order.begin(), order.end());
    for (const auto& unit : order) {
      ordered.push_back(unit.first);
      ordered.push_back(static_cast<double>(unit.second->size()));
      ordered.insert(ordered.end(), unit.second->begin(), unit.second->end());
    }
  }
  int orderedCount = static_cast<int>(ordered.size());
  checkMPI(*diag, MPI_Bcast(&orderedCount, 1, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the HRU key count");
  ordered.resize(static_cast<std::size_t>(orderedCount));
  checkMPI(*diag, MPI_Bcast(ordered.data(), orderedCount, MPI_DOUBLE, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the HRU keys");

  const long ncols = header.ncols;
  HRUList list(1);
  std::map<ClassKey, std::uint64_t> numbers;
  for (std::size_t p = 0; p < ordered.size();) {
    const auto position = static_cast<long>(ordered[p]);
    const auto length = static_cast<std::size_t>(ordered[p + 1]);
    ClassKey key(ordered.begin() + static_cast<long>(p + 2),
                 ordered.begin() + static_cast<long>(p + 2 + length));
    p += 2 + length;
    HRUClass unit;
    unit.index = list.size();
    unit.key = keyText(key, s.fromClasses(), s.layered());
    unit.masterRow = static_cast<std::int32_t>((position - 1) / ncols + 1);
    unit.masterColumn = static_cast<std::int32_t>((position - 1) % ncols + 1);
    numbers.emplace(std::move(key), unit.index);
    list.push_back(std::move(unit));
  }

  std::vector<double> numberOfOrdinal(scan.keys.size() + 1, header.nodata);
  for (std::size_t j = 0; j < scan.keys.size(); ++j)
    numberOfOrdinal[j + 1] = static_cast<double>(numbers.at(scan.keys[j]));
  const long first = heldFirstRow();
  const long last = heldLastRow();
  const double nodata = header.nodata;
  const Grid grid = hruGrid;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (grid[r][c] != nodata) grid[r][c] = numberOfOrdinal[static_cast<std::size_t>(grid[r][c])];

  for (std::size_t j = 0; j < scan.keys.size(); ++j) {
    const HRUScan::FirstCell& cell = scan.firstCells[j];
    const HRUClass& unit = list[static_cast<std::size_t>(numberOfOrdinal[j + 1])];
    if (cell.row == unit.masterRow && cell.column == unit.masterColumn)
      masterHruGrid[cell.row][cell.column] = static_cast<double>(unit.index);
  }
  return list;
}

// Says how many class combinations hold cells of more than one soil layering,
// each of which became one unit per layering.
void defaultini::reportLayeringSplit(const std::map<ClassKey, double>& units) {
  std::map<ClassKey, int> layerings;
  for (const auto& unit : units) ++layerings[ClassKey(unit.first.begin(), unit.first.end() - 1)];
  std::size_t split = 0;
  for (const auto& combination : layerings) split += combination.second > 1 ? 1 : 0;
  if (split == 0) return;
  *diag << "INFO: SpinUp: the cells of " << split
        << " response unit(s) lie on soils of different layers (soil_types); each such unit is "
           "split by the layers of its soils, so that no cell takes the soil profile of a "
           "master with other layers: "
        << units.size() << " units instead of " << layerings.size() << "[end-entry]";
}

// Each process writes what it holds under the entry's file name followed by
// its rank, then rank 0 writes both grids gathered; once every output of the
// run is known and checked, so that a refused run leaves no such file.
// Collective.
void defaultini::writeHRUGrids(const std::string& gatheredName) {
  char rank[16];
  std::snprintf(rank, sizeof rank, "_%03d", mpiRank);
  for (int index : {hruIndex, masterHruIndex}) {
    std::string path = registry[index].fileName + rank;
    prependDirectory(outputDirectory, path);
    noteOutputFile(path, "this process's part of the response units' grid \"" +
                             registry[index].name + "\"");
  }
  if (mpiRank == 0)
    for (const std::string& name : {gatheredName, registry[masterHruIndex].fileName}) {
      std::string path = name;
      prependDirectory(outputDirectory, path);
      noteOutputFile(path, "the response units' grids gathered");
    }
  createOutputsWhenChecked([this, gatheredName] { writeHRUGridsNow(gatheredName); });
}

void defaultini::writeHRUGridsNow(const std::string& gatheredName) {
  char rank[16];
  std::snprintf(rank, sizeof rank, "_%03d", mpiRank);
  int failure = catchExitCode([&] {
    writeGrid(registry[hruIndex].fileName + rank, hruGrid, writeAsciiGrids, writeDoubleGrids,
              writeNetCDFGrids);
    writeGrid(registry[masterHruIndex].fileName + rank, masterHruGrid, writeAsciiGrids,
              writeDoubleGrids, writeNetCDFGrids);
  });
  shareExitCode(*diag, failure);
  MPIGatherGrid(hruIndex);
  MPIGatherGrid(masterHruIndex);
  failure = mpiRank != 0 ? 0 : catchExitCode([&] {
    writeGrid(gatheredName, hruGrid, writeAsciiGrids, writeDoubleGrids, writeNetCDFGrids);
    writeGrid(registry[masterHruIndex].fileName, masterHruGrid, writeAsciiGrids, writeDoubleGrids,
              writeNetCDFGrids);
  });
  shareExitCode(*diag, failure);
}

// The renumbered standard grid keeps its file name unless writing there
// would replace the user's input with the new numbers.
std::string defaultini::renumberedHRUFileName() {
  const std::string& file = registry[hruIndex].fileName;
  std::string input = file;
  std::string output = file;
  prependDirectory(inputDirectory, input);
  prependDirectory(outputDirectory, output);
  if (input != output) return file;
  *diag << "WARNING: the renumbered grid " << unitGridName
        << " would be written over its input file " << input << "; it is written as " << file
        << ".out instead"
        << "[end-entry]";
  return file + ".out";
}
