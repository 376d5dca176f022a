// The part of the evapotranspiration's state that outlives a step: the mean
// relative sunshine duration "SSDTemp" that carries a night, and the
// daylight period that sums it. A warm start that lacked it would begin the
// first night at 0.5 instead of the day before's sunshine.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "core/run_files.h"
#include "core/state_numbers.h"
#include "vertical/verdunstungsmodellklasse.h"
#include "vertical/zone_grid.h"

namespace {

constexpr int fileCode = 64;
constexpr int contentCode = 71;
const char* const sectionName = "[evapotranspiration]";
// The grid of the sunshine memory, beside the state files; written like
// every grid of the run, so that it does not depend on the processes.
const char* const memoryFile = "SSDTemp";

} // namespace

void verdunstungsmodellklasse::readStorage(const std::string* fileName, int mode) {
  if (flowControl <= 0 || !fileName) return;
  storageFileName = *fileName;
  storageNameKept = true;
  std::string memoryPath = memoryFile;
  prependDirectory(outputDirectory, memoryPath);
  noteOutputFile(memoryPath, "the sunshine memory of [evapotranspiration] beside its state file");
  if (mode != 1) return;
  std::string path = storageFileName;
  prependDirectory(inputDirectory, path);
  noteInputFile(path, "the state file that [evapotranspiration] starts from");
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(std::fopen(path.c_str(), "r"),
                                                               std::fclose);
  std::FILE* file = opened.get();
  if (!file) {
    *diag << "FATAL: error opening storage content file " << path << " for the section "
          << sectionName << "; check the directory of the initial states and its rights"
          << "[end-entry]";
    throw fileCode;
  }
  std::string line;
  bool found = false;
  long sectionLine = 0;
  while (!found && readLine(file, line) == LineRead::line) {
    ++sectionLine;
    found = line == sectionName;
  }
  // Two whole numbers, each wholly one as a value of the control file.
  std::vector<double> values;
  std::string fault;
  const auto whole = [&] {
    return stateLineNumbers(line, values, fault) && values.size() == 2 &&
           std::all_of(values.begin(), values.end(),
                       [](double v) { return std::fabs(v) < 1e9 && std::floor(v) == v; }) &&
           values[1] >= 0.0;
  };
  if (found && (readLine(file, line) != LineRead::line || !whole())) {
    *diag << "FATAL: error in storage file content reading the daylight period in "
          << sectionName << " of " << path << ": \"" << line
          << "\" is not two whole numbers; start from the state files of a complete run"
          << "[end-entry]";
    throw contentCode;
  }
  if (found && values[0] != 0.0 && values[0] != 1.0)
    refuseStateValue(*diag, path, sectionLine + 1,
                     "the flag of the daylight period in " + std::string(sectionName),
                     line.substr(0, line.find_first_of(" \t")),
                     "must be 1 (a daylight period runs) or 0 (none runs)");
  // Every process reads the same file, so that all of them read the grid
  // or none. A state of an earlier version: the night starts from 0.5.
  if (!found) {
    *diag << "WARNING: " << sectionName << " not found in storage content file " << path
          << "; the sunshine duration of the first night starts at 0.5" << "[end-entry]";
    return;
  }
  if (!initialStateFileExists(memoryFile)) {
    *diag << "WARNING: no grid " << memoryFile
          << " of a former run in the directory of the initial states; the sunshine duration "
             "of the first night starts at 0.5"
          << "[end-entry]";
    return;
  }
  Grid read = zoneFilledGrid(*this, heldFirst, heldLast, 0.0);
  readGrid(memoryFile, read, 0, false, false, false, 0, false, true, 0.0, Resampling::onModelGrid);
  Grid memory = sunshineMemory.grid;
  cells.forEachInOrder([&](long r, long c) { memory[r][c] = read[r][c]; });
  free_matrix(read, heldFirst, heldLast, 1, header.ncols);
  daylightPeriod = values[0] != 0.0;
  daylightSteps = static_cast<int>(values[1]);
}

void verdunstungsmodellklasse::writeStorageSection() {
  // The writer puts the output directory in front.
  writeOutputFile(sunshineMemory.index, sunshineMemory.grid, false, memoryFile, "");
  std::string path = storageFileName;
  prependDirectory(outputDirectory, path);
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (!file) {
    *diag << "FATAL: error opening storage content file " << path << " for the section "
          << sectionName << "; check the output directory and its rights" << "[end-entry]";
    throw fileCode;
  }
  bool ok = std::fprintf(file, "%s\n%d %d (daylight period running and its steps; grid %s)\n\n",
                         sectionName, daylightPeriod ? 1 : 0, daylightSteps, memoryFile) > 0;
  ok = std::fclose(file) == 0 && ok;
  if (ok) return;
  *diag << "FATAL: error writing the section " << sectionName << " to the storage content file "
        << path << "; check the disk space" << "[end-entry]";
  throw fileCode;
}
