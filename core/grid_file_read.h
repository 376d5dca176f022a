#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ascii_grid_text.h"
#include "core/binary_grid_header.h"
#include "core/diag_stream.h"
#include "core/memory_handling.h"
#include "core/modelobject.h"

// The state of one grid read, shared by the steps of core/grid_file_reader.cpp,
// core/ascii_grid_rows.cpp and core/ascii_grid_batch.cpp.

constexpr int gridReadFailedCode = 22;
constexpr int gridCloseFailedCode = 23;

// A failure found while reading, logged by rank 0 once every process knows.
struct GridReadFailure {
  int code;
  std::string message;
};

[[noreturn]] inline void fail(int code, std::string message) {
  throw GridReadFailure{code, std::move(message)};
}

// A row of an ASCII grid that does not hold its values on a line of its own:
// the message names the first value not on the line.
inline std::string rowLineFault(const std::string& name, long row, long column, long line,
                                long found, long ncols, long nrows) {
  return "FATAL: error reading ascii grid " + name + " in ASCII-Format in row " +
         std::to_string(row) + ", col " + std::to_string(column) + ": line " +
         std::to_string(line) + " holds " + std::to_string(found) +
         " values, but the header gives ncols " + std::to_string(ncols) +
         "; each of the nrows " + std::to_string(nrows) +
         " rows stands on a line of its own with ncols values: correct the row or the header";
}

// Values behind the last row of an ASCII grid: a header that gives too few
// rows or columns, or rows that do not belong to the grid.
inline std::string valuesBehindRowsFault(const std::string& name, long line, long extra,
                                         long ncols, long nrows) {
  return "FATAL: error reading ascii grid " + name + ": line " + std::to_string(line) +
         " begins " + std::to_string(extra) + " values behind the nrows " + std::to_string(nrows) +
         " rows of ncols " + std::to_string(ncols) +
         " values that the header gives; correct the header or remove what follows the last row";
}

// Rows of a grid allocated by a read, freed on every way out unless handed
// over.
struct OwnedRows {
  OwnedRows(memory_handling& memoryArg, long ncolsArg, long nrowsArg)
      : memory(memoryArg), ncols(ncolsArg), nrows(nrowsArg) {}
  ~OwnedRows() { reset(); }
  OwnedRows(const OwnedRows&) = delete;
  OwnedRows& operator=(const OwnedRows&) = delete;

  void allocate(long first, long last) {
    reset();
    grid = memory.matrix(first, last, 1, ncols, nrows);
    firstRow = first;
    lastRow = last;
  }
  void reset() {
    if (grid) memory.free_matrix(grid, firstRow, lastRow, 1, ncols);
    grid = nullptr;
  }
  Grid release() {
    Grid g = grid;
    grid = nullptr;
    return g;
  }

  memory_handling& memory;
  long ncols;
  long nrows;
  Grid grid = nullptr;
  long firstRow = 1;
  long lastRow = 0;
};

inline void copyGridRows(Grid from, Grid to, long first, long last, long ncols) {
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r) std::copy(from[r] + 1, from[r] + ncols + 1, to[r] + 1);
}

// What one readGrid call knows about its file. Rank 0 (or the one process of
// a local read) fills it and shares the part the others need.
struct modelobject::GridFileRead {
  ~GridFileRead() {
    if (file) std::fclose(file);
  }

  std::string path;
  bool localOnly = false;
  std::string name;       // the file opened, with the input directory
  std::string netcdfName; // "file<variable>record" with the input directory
  FILE* file = nullptr;   // rank 0's handle of the file
  std::unique_ptr<AsciiGridScanner> scanner;
  GridFileFormat format = asciiGridFile;
  BinaryGridHeader fileHeader;
  long ncols = 0; // of the file
  long nrows = 0;
  bool regular = true;
  Resampling resampling = Resampling::bilinear; // of a file off the model grid
  bool holesRepaired = false;                   // a fill code fills the nodata cells after
  // ASCII read in parallel: the byte offset in the file of the first value
  // of rows 1..nrows and of the end of the last row (index nrows + 1).
  std::vector<long> rowStarts;
  long fileSize = -1;
  long dataStart = 0;  // ASCII: the offset behind the header
  long headerLine = 1; // ASCII: the line of the header's last value
  // When rank 0 keeps the grid whole: the process that hands row r to it
  // (the lowest rank that parses it), and a worker's rows for rank 0 in row
  // order, every cell as the file holds it.
  std::vector<int> rootRowSenders;
  std::vector<double> rowsForRoot;

  // A batch read looks at every file before it reads the first one; the
  // entries of a look are kept until the batch reaches its grid, so that
  // the log reads as for one grid after the other.
  bool deferNotes = false;
  std::vector<std::function<void(DiagStream&)>> notes;
  template <typename Entry> void note(DiagStream& diag, Entry entry) {
    if (deferNotes)
      notes.emplace_back(std::move(entry));
    else
      entry(diag);
  }
  void logNotes(DiagStream& diag) {
    for (const auto& entry : notes) entry(diag);
    notes.clear();
  }

  // The failure of this process in the current step, if any; an empty
  // message means that it has been logged already.
  int failureCode = 0;
  std::string failureMessage;

  template <typename Step> void attempt(Step step) {
    try {
      step();
    } catch (const GridReadFailure& f) {
      failureCode = f.code;
      failureMessage = f.message;
    } catch (int code) {
      failureCode = code;
      failureMessage.clear();
    }
  }
  void closeFile() {
    FILE* f = file;
    file = nullptr;
    if (f && std::fclose(f) != 0) fail(gridCloseFailedCode, "FATAL: error closing grid " + name);
  }
  size_t valueBytes() const { return format == doubleGridFile ? sizeof(double) : sizeof(float); }
};
