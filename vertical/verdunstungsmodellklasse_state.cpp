// The part of the evapotranspiration's state that outlives a step: the mean
// relative sunshine duration "SSDTemp" that carries a night, and the
// daylight period that sums it. A warm start that lacked it would begin the
// first night at 0.5 instead of the day before's sunshine.

#include <cstdio>
#include <memory>
#include <string>

#include "core/ascii_grid_text.h"
#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "vertical/verdunstungsmodellklasse.h"

namespace {

constexpr int fileCode = 64;
constexpr int contentCode = 71;
const char* const sectionName = "[evapotranspiration]";

} // namespace

void verdunstungsmodellklasse::readStorage(const std::string* fileName, int mode) {
  if (flowControl <= 0 || !fileName) return;
  storageFileName = *fileName;
  storageNameKept = true;
  if (mode != 1) return;
  std::string path = storageFileName;
  prependDirectory(inputDirectory, path);
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
  while (!found && readLine(file, line) == LineRead::line) found = line == sectionName;
  if (!found) {
    // A state file of an earlier version: the night starts from 0.5.
    *diag << "WARNING: " << sectionName << " not found in storage content file " << path
          << "; the sunshine duration of the first night starts at 0.5" << "[end-entry]";
    return;
  }
  long running = 0;
  long steps = 0;
  long count = 0;
  const bool period = readLine(file, line) == LineRead::line &&
                      std::sscanf(line.c_str(), "%ld %ld", &running, &steps) == 2;
  const bool counted =
      period && readLine(file, line) == LineRead::line && std::sscanf(line.c_str(), "%ld", &count) == 1;
  long own = 0;
  cells.forEachInOrder([&](long, long) { ++own; });
  if (!counted || count != own) storageMismatch(path, "number of cells of SSDTemp", own, count);
  AsciiGridScanner scanner(file);
  Grid memory = sunshineMemory.grid;
  long read = 0;
  bool ok = true;
  cells.forEachInOrder([&](long r, long c) {
    double value = 0.0;
    if (ok && scanner.nextNumber(value)) {
      memory[r][c] = value;
      ++read;
    } else {
      ok = false;
    }
  });
  if (!ok) storageMismatch(path, "values of SSDTemp", own, read);
  daylightPeriod = running != 0;
  daylightSteps = static_cast<int>(steps);
}

void verdunstungsmodellklasse::storageMismatch(const std::string& path, const char* what,
                                               long expected, long found) {
  *diag << "FATAL: error in storage file content reading " << what << " in " << sectionName
        << " of " << path << ":\nvalue in actual control is:   " << expected
        << "\nbut value in storage file is: " << found
        << "\nstart from the state files of a run with the same catchment and processes"
        << "[end-entry]";
  throw contentCode;
}

void verdunstungsmodellklasse::writeStorageSection() {
  std::string path = storageFileName;
  prependDirectory(outputDirectory, path);
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (!file) {
    *diag << "FATAL: error opening storage content file " << path << " for the section "
          << sectionName << "; check the output directory and its rights" << "[end-entry]";
    throw fileCode;
  }
  long own = 0;
  cells.forEachInOrder([&](long, long) { ++own; });
  bool ok = std::fprintf(file, "%s\n%d %d (daylight period running and its steps)\n%ld (cells of "
                               "SSDTemp)\n",
                         sectionName, daylightPeriod ? 1 : 0, daylightSteps, own) > 0;
  // One line per row: the values read back as the same doubles.
  char value[maxGridValueChars + 1];
  long row = 0;
  cells.forEachInOrder([&](long r, long c) {
    if (!ok) return;
    if (row != 0 && r != row) ok = std::fputc('\n', file) != EOF;
    value[formatGridValue(sunshineMemory.grid[r][c], value)] = '\0';
    ok = ok && std::fprintf(file, r == row ? " %s" : "%s", value) > 0;
    row = r;
  });
  ok = ok && std::fputs(row != 0 ? "\n\n" : "\n", file) >= 0;
  ok = std::fclose(file) == 0 && ok;
  if (ok) return;
  *diag << "FATAL: error writing the section " << sectionName << " to the storage content file "
        << path << "; check the disk space" << "[end-entry]";
  throw fileCode;
}
