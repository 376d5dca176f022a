#include <cstdio>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/modelobject.h"
#include "core/run_files.h"

namespace {

constexpr int logOpenFailedCode = 5;
constexpr int holeTooBigCode = 25;
constexpr long maxSearchRadius = 10;

struct HoleFill {
  long row;
  long column;
  double value;
  bool found;
};

// The value of the first cell with data around a hole: for radius k = 1..10
// the rows r-k..r+k, where row r-k+j is searched from column c-j to c+j, so
// the window widens downwards rather than forming a square ring. Only the
// grid as read is searched, so filled holes never feed other holes.
bool nearestValue(Grid grid, long r, long c, long nrows, long ncols, double nodata, double& value) {
  for (long k = 1; k <= maxSearchRadius; ++k) {
    for (long j = 0; j <= 2 * k; ++j) {
      const long row = r - k + j;
      if (row < 1 || row > nrows) continue;
      const double* cells = grid[row];
      for (long column = c - j; column <= c + j; ++column) {
        if (column < 1 || column > ncols || cells[column] == nodata) continue;
        value = cells[column];
        return true;
      }
    }
  }
  return false;
}

// A line of the repair log as printf formats it.
std::string formatted(const char* format, long row, long column, const std::string& name,
                      double before, double after) {
  char text[3000];
  std::snprintf(text, sizeof text, format, row, column, name.c_str(), before, after);
  return text;
}

} // namespace

// Rank 0, on the whole grid after reading, with the file's nodata already
// replaced by the model's: a hole is a nodata cell inside the zone grid
// (registry entry 1).
void modelobject::repairGridHoles(Grid grid, const std::string& name, int fillCode,
                                  bool useNeighbourValues, double fillValue, bool verbose) {
  if (verbose)
    *diag << "... " << name << " checking nodata values and replace"
          << "[end-entry]";
  // The log's lines wait with every other output of the set-up until the
  // outputs were checked.
  const std::string logName = modelLogFileName(mpiRank);
  std::string log;
  const auto appendLog = [&] {
    if (log.empty()) return;
    const int error = appendOutputFile(logName, log);
    if (error == 0) return;
    *diag << "FATAL: error opening log file " << logName << " (" << systemReason(error) << ")"
          << "[end-entry]";
    throw logOpenFailedCode;
  };

  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  // Without a zone grid (or a row of it) every cell counts as inside.
  const Grid reference = registry ? registry[1].grid : nullptr;
  auto inside = [reference, nodata](long r, long c) {
    return !reference || !reference[r] || reference[r][c] != nodata;
  };

  std::vector<long> holesBefore(static_cast<size_t>(nrows) + 2, 0);
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= nrows; ++r) {
    long holes = 0;
    for (long c = 1; c <= ncols; ++c)
      if (grid[r][c] == nodata && inside(r, c)) ++holes;
    holesBefore[r + 1] = holes;
  }
  for (long r = 1; r <= nrows; ++r) holesBefore[r + 1] += holesBefore[r];
  const long holes = holesBefore[nrows + 1];

  if (holes > 0) {
    const bool search = fillCode == 1 && useNeighbourValues;
    std::vector<HoleFill> fills(static_cast<size_t>(holes));
#pragma omp parallel for schedule(runtime)
    for (long r = 1; r <= nrows; ++r) {
      size_t next = static_cast<size_t>(holesBefore[r]);
      for (long c = 1; c <= ncols; ++c) {
        if (grid[r][c] != nodata || !inside(r, c)) continue;
        HoleFill& fill = fills[next++];
        fill = HoleFill{r, c, fillValue, true};
        if (search) fill.found = nearestValue(grid, r, c, nrows, ncols, nodata, fill.value);
      }
    }
    for (const HoleFill& fill : fills) {
      if (!search) break;
      if (!fill.found) {
        *diag << "FATAL: In " << name << " is a too big hole at x/y = " << fill.column << "/"
              << fill.row << "!"
              << "[end-entry]";
        log += "In " + name + " is a too big hole at x/y = " + std::to_string(fill.column) + "/" +
               std::to_string(fill.row) + "\n!\n";
        appendLog();
        throw holeTooBigCode;
      }
      *diag << "DEBUG: "
            << "y: " << fill.row << " x: " << fill.column << "in " << name << ": " << nodata
            << " replaced by " << fill.value << "[end-entry]";
      log += formatted("y: %ld x: %ld  in %s %lf replaced by %lf!\n", fill.row, fill.column, name,
                       nodata, fill.value);
    }
    *diag << "DEBUG: In " << name << ": " << holes << " nodata values replaced!"
          << "[end-entry]";
    log += "in " + name + ": " + std::to_string(holes) + " nodata values replaced!\n\n";

    // Cells outside the zone grid become nodata only when holes were found.
#pragma omp parallel for schedule(runtime)
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c)
        if (!inside(r, c)) grid[r][c] = nodata;
#pragma omp parallel for schedule(runtime)
    for (long i = 0; i < holes; ++i) {
      const HoleFill& fill = fills[static_cast<size_t>(i)];
      grid[fill.row][fill.column] = fill.value;
    }
  }
  appendLog();
}
