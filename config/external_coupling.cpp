#include "config/external_coupling.h"

#include <mpi.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/string_helpers.h"

CouplingWriteKind couplingWriteKindOf(const std::string& writeCode) {
  if (writeCode == "Sum") return CouplingWriteKind::sum;
  if (writeCode == "Mean") return CouplingWriteKind::mean;
  if (writeCode.compare(0, 8, "SumTotal") == 0) return CouplingWriteKind::sumTotal;
  return CouplingWriteKind::current;
}

namespace {

constexpr int sectionErrorCode = 10;
constexpr int openErrorCode = 14;
constexpr int readGridMissingCode = 1003;
constexpr int writeGridMissingCode = 1004;
constexpr int statisticMissingCode = 1005;

// The control file from the line after "[ExternalCoupling]", scanned value
// by value as a formatted read would ("%d", "%ld", "%s", "%c"), with the line
// number kept for the messages.
class CouplingSectionText {
public:
  CouplingSectionText(std::string textArg, std::size_t start)
      : text(std::move(textArg)), at(start), lineStart(start) {
    line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(start), '\n');
  }

  // One word; false at the end of the file and at the next section's header.
  bool scanWord(std::string& word) {
    skipSpace();
    const std::size_t begin = at;
    while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    word = text.substr(begin, at - begin);
    return !word.empty() && word[0] != '[';
  }

  // A whole number that fills its word ("0x" is none).
  bool scanLong(long& value) {
    std::string word;
    return scanWord(word) && parseWholeNumber(word, value);
  }

  bool scanInt(int& value) {
    long parsed = 0;
    if (!scanLong(parsed) || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
  }

  // The next character as it stands, blank or line end included.
  bool scanCharacter(char& c) {
    if (at >= text.size()) return false;
    c = text[at++];
    if (c == '\n') startLine();
    return true;
  }

  // The free text after the values of a line.
  void skipRestOfLine() {
    while (at < text.size() && text[at] != '\n') ++at;
    if (at < text.size()) {
      ++at;
      startLine();
    }
  }

  // "line N of <file> reads "<text>"", or "end of <file>".
  std::string where(const std::string& fileName) const {
    if (at >= text.size()) return "end of " + fileName;
    std::size_t end = text.find('\n', lineStart);
    if (end == std::string::npos) end = text.size();
    return controlFileLine(fileName, line) + " reads \"" + text.substr(lineStart, end - lineStart) +
           "\"";
  }

private:
  void skipSpace() {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
      if (text[at++] == '\n') startLine();
    }
  }
  void startLine() {
    ++line;
    lineStart = at;
  }

  std::string text;
  std::size_t at;
  std::size_t lineStart;
  long line = 1;
};

std::string wholeFile(FILE* file) {
  std::string text;
  char buffer[65536];
  std::rewind(file);
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  return text;
}

// The error texts of the section, each followed by the module's name.
const char* const modeError = "error reading coupling mode for ";
const char* const semaphoreError = "error reading name of the external groundwater table grid for ";
const char* const waitError =
    "error reading of wait interval for scanning for external gw table grid ";
const char* const gridModeError =
    "error reading Coupling Mode (I, H, D, M or Y) for external gw table grid ";
const char* const timeStepError = "error reading time step of the external model (should be given "
                                  "in minutes after coupling mode) ";
const char* const readCountError = "error reading number of external grids to read in ";
const char* const readGridError =
    "error reading external (read) grid name/entity/fill code/rename code ";
const char* const writeCountError = "error reading number of external grids to write in ";
const char* const writeGridError = "error reading external (write) grid name/entity/Writecode";
const char* const statCountError = "error reading number of external Stats to write in ";
const char* const statError = "error reading external (write) Statfile name/entity/writecode";
const char* const informFileError =
    "error reading semaphore file name for file to be written by horva ";
const char* const informContentError =
    "error reading semaphore Content for file to be written by horva ";

} // namespace

void defaultini::GetCouplingParameters() {
  releaseCoupling();
  if (!controlFile) controlFile = openControlFile(controlFileName);
  if (!controlFile) {
    *diag << "FATAL: error opening " << controlFileName << "[end-entry]";
    throw openErrorCode;
  }
  if (seekSection("[ExternalCoupling]", false) == 0) return;
  readCouplingSection();
  if (isExternalCouplingActive()) createAccumulationGrids();
}

void defaultini::readCouplingSection() {
  const long position = std::ftell(controlFile);
  if (position < 0) readError(controlFileName, errno);
  std::string text = wholeFile(controlFile);
  if (std::ferror(controlFile)) readError(controlFileName, errno);
  CouplingSectionText section(std::move(text), static_cast<std::size_t>(position));
  CouplingSettings& s = coupling;

  const auto fail = [&](const char* what) {
    *diag << "FATAL: -----------------error------------\n"
          << what << moduleName
          << "\npossible reason: parameter missing or a linefeed \nbefore the end of the parameter "
             "block"
          << (what == modeError ? "\n" : "") << "\n[ExternalCoupling], "
          << section.where(controlFileName) << "[end-entry]";
    throw sectionErrorCode;
  };
  const auto count = [&](const char* what) {
    int n = 0;
    if (!section.scanInt(n) || n < 0) fail(what);
    section.skipRestOfLine();
    return n;
  };
  const auto word = [&](const char* what) {
    std::string w;
    if (!section.scanWord(w)) fail(what);
    return w;
  };

  if (!section.scanInt(s.mode)) fail(modeError);
  section.skipRestOfLine();
  if (s.mode == 0) return;

  s.semaphoreFile = word(semaphoreError);
  section.skipRestOfLine();
  if (!section.scanLong(s.waitInterval)) fail(waitError);
  section.skipRestOfLine();
  // The character stands first on its line: a leading blank is no mode.
  if (!section.scanCharacter(s.gridMode) || s.gridMode == '\0' ||
      std::strchr("IHDMY", s.gridMode) == nullptr)
    fail(gridModeError);
  section.skipRestOfLine();
  if (!section.scanInt(s.externalTimeStep)) fail(timeStepError);
  section.skipRestOfLine();

  // The entries of a list follow one another; the rest of the line after
  // the last one is free text.
  s.readGrids.resize(static_cast<std::size_t>(count(readCountError)));
  for (ExternalReadGrid& g : s.readGrids) {
    g.fileName = word(readGridError);
    g.internalName = word(readGridError);
    if (!section.scanInt(g.fillCode) || !section.scanInt(g.renameCode)) fail(readGridError);
  }
  if (!s.readGrids.empty()) section.skipRestOfLine();

  s.writeGrids.resize(static_cast<std::size_t>(count(writeCountError)));
  for (ExternalWriteGrid& g : s.writeGrids) {
    g.fileName = word(writeGridError);
    g.internalName = word(writeGridError);
    g.writeCode = word(writeGridError);
    g.kind = couplingWriteKindOf(g.writeCode);
  }
  if (!s.writeGrids.empty()) section.skipRestOfLine();

  s.statistics.resize(static_cast<std::size_t>(count(statCountError)));
  for (ExternalStatistic& st : s.statistics) {
    st.fileName = word(statError);
    st.internalName = word(statError);
    st.writeCode = word(statError);
    st.kind = couplingWriteKindOf(st.writeCode);
  }
  if (!s.statistics.empty()) section.skipRestOfLine();

  s.externalSemaphoreFile = word(informFileError);
  section.skipRestOfLine();
  s.externalSemaphoreContent = word(informContentError);
}

// Sums and means are kept over the rows the process owns; cells outside the
// zone grid stay nodata.
void defaultini::createAccumulationGrids() {
  coupling.firstRow = std::max(1L, header.firstRow);
  coupling.lastRow = std::min(header.nrows, header.lastRow);
  const long first = coupling.firstRow;
  const long last = coupling.lastRow;
  if (last < first) return;
  Grid zone = registry[1].grid;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  for (ExternalWriteGrid& g : coupling.writeGrids) {
    if (g.kind == CouplingWriteKind::current) continue;
    g.accumulation = matrix(first, last, 1, ncols, header.nrows);
    Grid acc = g.accumulation;
#pragma omp parallel for schedule(runtime)
    for (long r = first; r <= last; ++r)
      for (long c = 1; c <= ncols; ++c) acc[r][c] = zone[r][c] != nodata ? 0.0 : nodata;
  }
}

bool defaultini::hasExternalGWTable() const {
  for (const ExternalReadGrid& g : coupling.readGrids)
    if (g.internalName == "GWTableExtern") return true;
  return false;
}

void defaultini::resolveCouplingNames(StatisticTableEntry* table, int tableSize) {
  if (!isExternalCouplingActive()) return;
  const auto resolve = [&](const std::string& fileName, const std::string& name, const char* how,
                           const char* separator, int code) {
    const int index = findGrid(name, 1);
    if (index > 0 && registry[index].grid) return index;
    *diag << "FATAL: -----------------error------------\nerror looking for internal grid to " << how
          << " " << fileName << separator << "with internal name \"" << name
          << "\"\npossible reason: internal name of the grid is wrong (case sensitive!)"
          << "[end-entry]";
    throw code;
  };
  // The external program's values are bounded by nothing the model knows.
  for (ExternalReadGrid& g : coupling.readGrids) {
    g.index = resolve(g.fileName, g.internalName, "read from", ", ", readGridMissingCode);
    registry[g.index].valueRange.known = false;
  }
  for (ExternalWriteGrid& g : coupling.writeGrids)
    g.index = resolve(g.fileName, g.internalName, "write to", " ", writeGridMissingCode);
  agreeOnExternalReads();
  noteCouplingFiles();
  const int failure =
      mpiRank == 0 ? catchExitCode([&] { matchCouplingStatistics(table, tableSize); }) : 0;
  shareExitCode(*diag, failure);
}

// The files exchanged with the external program belong to the run like
// every other input and output, so that no output of a module lands on one.
void defaultini::noteCouplingFiles() {
  const auto in = [&](std::string name) {
    prependDirectory(inputDirectory, name);
    return name;
  };
  const auto out = [&](std::string name) {
    prependDirectory(outputDirectory, name);
    return name;
  };
  noteInputFile(coupling.semaphoreFile, "the semaphore file of the external program");
  for (const ExternalReadGrid& g : coupling.readGrids)
    noteInputFile(in(g.fileName), "the external program's grid for \"" + g.internalName + "\"");
  for (const ExternalWriteGrid& g : coupling.writeGrids)
    noteOutputFile(out(g.fileName), "the grid \"" + g.internalName + "\" for the external program");
  for (const ExternalStatistic& st : coupling.statistics)
    noteOutputFile(out(st.fileName),
                   "the statistics " + st.internalName + " for the external program");
  const std::string& semaphore = coupling.externalSemaphoreFile;
  noteOutputFile(semaphore, "the semaphore file for the external program");
  noteOutputFile(semaphore + ".tmp", "the semaphore file for the external program, while written");
}

// The grid reader must be told the same by every process: whether rank 0
// keeps every row of the grid, and whether every process holds its halo rows.
void defaultini::agreeOnExternalReads() {
  const long nrows = header.nrows;
  const long first = std::max(1L, header.firstRow);
  const long last = std::min(nrows, header.lastRow);
  const long lo = first >= 2 ? first - 1 : first;
  const long hi = last < nrows ? last + 1 : last;
  std::vector<int> flags;
  for (const ExternalReadGrid& g : coupling.readGrids) {
    const GridRegistryEntry& e = registry[g.index];
    flags.push_back(mpiRank != 0 || (e.firstRow <= 1 && e.lastRow >= nrows) ? 1 : 0);
    flags.push_back(e.firstRow <= lo && e.lastRow >= hi ? 1 : 0);
  }
  if (flags.empty()) return;
  checkMPI(*diag,
           MPI_Allreduce(MPI_IN_PLACE, flags.data(), static_cast<int>(flags.size()), MPI_INT,
                         MPI_MIN, MPI_COMM_WORLD),
           "MPI_Allreduce of the rows of the external grids");
  for (std::size_t k = 0; k < coupling.readGrids.size(); ++k) {
    coupling.readGrids[k].keepWholeOnRoot = flags[2 * k];
    coupling.readGrids[k].withHalo = flags[2 * k + 1] != 0;
  }
}

// Statistic names hold blanks where the control file cannot; the copy
// shares the series' arrays and leaves the table to its owners.
void defaultini::matchCouplingStatistics(const StatisticTableEntry* table, int tableSize) {
  for (ExternalStatistic& st : coupling.statistics) {
    const StatisticTableEntry* match = nullptr;
    for (int k = 0; table && k < tableSize && !match; ++k) {
      if (!table[k].currentValues || !table[k].name) continue;
      std::string name = table[k].name;
      std::replace(name.begin(), name.end(), ' ', '_');
      if (name.find(st.internalName) != std::string::npos) match = &table[k];
    }
    if (!match) {
      *diag << "FATAL: -----------------error------------\nerror looking for zonal statistic with "
               "internal name \""
            << st.internalName
            << "\"\npossible reason: name of the statistic entity is wrong (case sensitive!)"
            << "[end-entry]";
      throw statisticMissingCode;
    }
    st.entry = *match;
    st.sums.assign(static_cast<std::size_t>(std::max(0L, match->valueCount)), 0.0);
    *diag << "DEBUG: external statistic " << st.internalName << " reads " << match->name
          << "[end-entry]";
  }
}

void defaultini::releaseCoupling() {
  for (ExternalWriteGrid& g : coupling.writeGrids) {
    if (g.accumulation)
      free_matrix(g.accumulation, coupling.firstRow, coupling.lastRow, 1, header.ncols);
    g.accumulation = nullptr;
  }
  coupling = CouplingSettings{};
}
