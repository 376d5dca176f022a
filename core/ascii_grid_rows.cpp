#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/grid_file_read.h"
#include "core/modelobject.h"

// An ASCII grid read by all processes at once: rank 0 only finds where each
// row begins, and every process parses the rows it holds.

namespace {

constexpr int openFailedCode = 21;

// The line (from 1) in which the text at byte `offset` stands, and the
// values on it from there on.
void findRowLine(std::FILE* file, long offset, long& line, long& values) {
  line = 1;
  values = 0;
  if (std::fseek(file, 0, SEEK_SET) != 0) return;
  int c = 0;
  for (long k = 0; k < offset && (c = std::fgetc(file)) != EOF; ++k)
    if (c == '\n') ++line;
  // Row 1's text begins with the line end of the header.
  while ((c = std::fgetc(file)) != EOF && isGridBlank(static_cast<char>(c)))
    if (c == '\n') ++line;
  if (c == EOF) return;
  std::ungetc(c, file);
  bool inToken = false;
  while ((c = std::fgetc(file)) != EOF && c != '\n') {
    const bool blank = isGridBlank(static_cast<char>(c));
    if (!blank && !inToken) ++values;
    inToken = !blank;
  }
}

} // namespace

bool modelobject::findAsciiRowStarts(GridFileRead& read) {
  AsciiGridScanner& scanner = *read.scanner;
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  read.rowStarts.assign(static_cast<size_t>(nrows + 2), 0);
  const long dataStart = scanner.offset();
  bool complete = dataStart >= 0;
  for (long r = 1; complete && r <= nrows; ++r) {
    read.rowStarts[static_cast<size_t>(r)] = scanner.offset();
    complete = scanner.skipTokens(ncols) == ncols;
  }
  read.rowStarts[static_cast<size_t>(nrows + 1)] = scanner.offset();
  if (complete && scanner.skipTokens(1) == 0) return true;
  // A value is missing, or one is too many: the whole read names the first
  // row that is not a line of its own, as on one process.
  read.rowStarts.clear();
  if (dataStart < 0 || std::fseek(read.file, dataStart, SEEK_SET) != 0)
    fail(gridReadFailedCode, "FATAL: error reading ascii grid " + read.name);
  read.scanner = std::make_unique<AsciiGridScanner>(read.file, size_t(1) << 20, read.headerLine);
  return false;
}

// One broadcast: element 0, which no row uses, tells whether rank 0 found
// every row.
bool modelobject::shareAsciiRowStarts(GridFileRead& read, bool found) {
  const size_t count = static_cast<size_t>(header.nrows + 2);
  if (mpiRank == 0 && !found) read.rowStarts.clear();
  read.rowStarts.resize(count, 0);
  if (mpiRank == 0) read.rowStarts[0] = found ? 1 : 0;
  checkMPI(*diag,
           MPI_Bcast(read.rowStarts.data(), static_cast<int>(count), MPI_LONG, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the rows of an ASCII grid");
  found = read.rowStarts[0] != 0;
  read.rowStarts[0] = 0;
  if (!found) read.rowStarts.clear();
  return found;
}

void modelobject::planAsciiRows(long lo, long hi, bool wholeOnRoot,
                                std::vector<std::pair<long, long>>& runs,
                                std::vector<int>& rootRowSenders) {
  const long nrows = header.nrows;
  // Rows that no process holds are still read, by rank 0, for their faults.
  long own[2] = {lo, hi};
  std::vector<long> bounds(2 * static_cast<size_t>(mpiSize));
  checkMPI(*diag, MPI_Allgather(own, 2, MPI_LONG, bounds.data(), 2, MPI_LONG, MPI_COMM_WORLD),
           "MPI_Allgather of the rows of an ASCII grid");
  std::vector<char> parsed(static_cast<size_t>(nrows + 2), 0);
  for (int p = 0; p < mpiSize; ++p)
    for (long r = std::max(1L, bounds[2 * p]); r <= std::min(nrows, bounds[2 * p + 1]); ++r)
      parsed[static_cast<size_t>(r)] = 1;
  rootRowSenders.clear();
  if (wholeOnRoot) {
    rootRowSenders.assign(static_cast<size_t>(nrows + 2), 0);
    for (int p = mpiSize - 1; p > 0; --p)
      for (long r = std::max(1L, bounds[2 * p]); r <= std::min(nrows, bounds[2 * p + 1]); ++r)
        rootRowSenders[static_cast<size_t>(r)] = p;
    for (long r = std::max(1L, bounds[0]); r <= std::min(nrows, bounds[1]); ++r)
      rootRowSenders[static_cast<size_t>(r)] = 0;
  }
  // Runs of rows in file order: this process's rows and, on rank 0, those of
  // no process, which are only checked.
  runs.clear();
  for (long r = 1; r <= nrows; ++r) {
    const bool wanted = (r >= lo && r <= hi) || (mpiRank == 0 && !parsed[static_cast<size_t>(r)]);
    if (!wanted) continue;
    if (!runs.empty() && runs.back().second == r - 1)
      runs.back().second = r;
    else
      runs.emplace_back(r, r);
  }
}

void modelobject::readOwnAsciiRows(GridFileRead& read, Grid grid, long lo, long hi,
                                   bool wholeOnRoot) {
  std::vector<std::pair<long, long>> runs;
  planAsciiRows(lo, hi, wholeOnRoot, runs, read.rootRowSenders);
  long failedRow = 0;
  read.attempt([&] {
    for (const auto& run : runs)
      parseAsciiRows(read, grid, run.first, run.second, lo, hi, failedRow);
  });
  settleAsciiRows(read, failedRow);
  if (wholeOnRoot) handRowsToRoot(read.rootRowSenders, read.rowsForRoot, {grid});
}

// Every other process sends its rows for rank 0 of all grids in one message
// (or a few for a large strip). Rank 0 takes the messages in the order they
// come, so that a process that is late to send does not hold up the others.
void modelobject::handRowsToRoot(const std::vector<int>& rootRowSenders,
                                 std::vector<double>& values, const std::vector<Grid>& grids) {
  constexpr long chunkValues = 1L << 24;
  const long nrows = header.nrows;
  const size_t ncols = static_cast<size_t>(header.ncols);
  std::vector<std::vector<long>> rows(static_cast<size_t>(mpiSize));
  for (long r = 1; r <= nrows; ++r) {
    const int p = rootRowSenders[static_cast<size_t>(r)];
    if (p > 0 && p < mpiSize) rows[static_cast<size_t>(p)].push_back(r);
  }
  const auto valuesOf = [&](int p) {
    return static_cast<long>(rows[static_cast<size_t>(p)].size() * ncols * grids.size());
  };
  const auto move = [&](int p, long total) {
    for (long first = 0; first < total; first += chunkValues) {
      const int length = static_cast<int>(std::min(chunkValues, total - first));
      if (mpiRank == 0) {
        MPI_Status status;
        checkMPI(*diag,
                 MPI_Recv(values.data() + first, length, MPI_DOUBLE, p, 0, MPI_COMM_WORLD, &status),
                 "MPI_Recv of the rows of an ASCII grid");
      } else {
        checkMPI(*diag, MPI_Send(values.data() + first, length, MPI_DOUBLE, 0, 0, MPI_COMM_WORLD),
                 "MPI_Send of the rows of an ASCII grid");
      }
    }
  };
  if (mpiRank != 0) {
    move(mpiRank, valuesOf(mpiRank));
  } else {
    int senders = 0;
    for (int p = 1; p < mpiSize; ++p) senders += valuesOf(p) > 0 ? 1 : 0;
    for (; senders > 0; --senders) {
      MPI_Status status;
      checkMPI(*diag, MPI_Probe(MPI_ANY_SOURCE, 0, MPI_COMM_WORLD, &status),
               "MPI_Probe of the rows of an ASCII grid");
      const int p = status.MPI_SOURCE;
      const std::vector<long>& own = rows[static_cast<size_t>(p)];
      values.resize(static_cast<size_t>(valuesOf(p)));
      move(p, valuesOf(p));
      for (size_t g = 0; g < grids.size(); ++g) {
        const double* from = values.data() + g * own.size() * ncols;
        const Grid grid = grids[g];
#pragma omp parallel for schedule(runtime)
        for (size_t i = 0; i < own.size(); ++i)
          std::copy(from + i * ncols, from + (i + 1) * ncols, grid[own[i]] + 1);
      }
    }
  }
  values.clear();
  values.shrink_to_fit();
}

void modelobject::parseAsciiRows(GridFileRead& read, Grid grid, long first, long last, long lo,
                                 long hi, long& failedRow) {
  const long ncols = header.ncols;
  const size_t width = static_cast<size_t>(ncols + 1);
  failedRow = 0;
  std::FILE* file = std::fopen(read.name.c_str(), "rb");
  if (!file) fail(openFailedCode, "FATAL: still error opening " + read.name + " - no retry.");
  struct Closer {
    std::FILE* file;
    ~Closer() { std::fclose(file); }
  } closer{file};
  const long from = read.rowStarts[static_cast<size_t>(first)];
  const long to = read.rowStarts[static_cast<size_t>(last + 1)];
  std::vector<char> text(static_cast<size_t>(to - from));
  if (std::fseek(file, from, SEEK_SET) != 0 ||
      std::fread(text.data(), 1, text.size(), file) != text.size())
    fail(gridReadFailedCode, "FATAL: error reading ascii grid " + read.name);

  const long count = last - first + 1;
  const long nrows = header.nrows;
  std::vector<double> values(static_cast<size_t>(count) * width);
  std::vector<long> failedColumn(static_cast<size_t>(count), 0);
  std::vector<long> onLine(static_cast<size_t>(count), ncols);
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < count; ++i) {
    const long r = first + i;
    const char* begin = text.data() + (read.rowStarts[static_cast<size_t>(r)] - from);
    const char* end = text.data() + (read.rowStarts[static_cast<size_t>(r + 1)] - from);
    failedColumn[static_cast<size_t>(i)] =
        parseGridRow(begin, end, ncols, values.data() + static_cast<size_t>(i) * width, r < nrows,
                     onLine[static_cast<size_t>(i)]);
  }
  for (long i = 0; i < count; ++i) {
    const long c = failedColumn[static_cast<size_t>(i)];
    if (c == 0) continue;
    failedRow = first + i;
    const std::string place = "FATAL: error reading ascii grid " + read.name +
                              " in ASCII-Format in row " + std::to_string(failedRow) + ", col " +
                              std::to_string(c);
    if (onLine[static_cast<size_t>(i)] == ncols) fail(gridReadFailedCode, place);
    long line = 0;
    long found = 0;
    findRowLine(file, read.rowStarts[static_cast<size_t>(failedRow)], line, found);
    fail(gridReadFailedCode, rowLineFault(read.name, failedRow, std::min(c, found + 1), line,
                                          found, ncols, nrows));
  }

  // Rank 0 keeps every cell of its rows, the others the cells they own, as
  // the scatter of a whole grid leaves them.
  const Grid regions = registry[findGrid("MPIRegions", 1)].grid;
  const double fileNodata = read.fileHeader.nodata;
  const double nodata = header.nodata;
  const double rank = mpiRank;
  const bool allCells = mpiRank == 0;
  const bool wholeOnRoot = !read.rootRowSenders.empty();
  const long keepFirst = wholeOnRoot && allCells ? first : std::max(first, lo);
  const long keepLast = wholeOnRoot && allCells ? last : std::min(last, hi);
  if (wholeOnRoot && !allCells)
    for (long r = first; r <= last; ++r) {
      if (read.rootRowSenders[static_cast<size_t>(r)] != mpiRank) continue;
      const double* row = values.data() + static_cast<size_t>(r - first) * width;
      for (long c = 1; c <= ncols; ++c)
        read.rowsForRoot.push_back(row[c] == fileNodata ? nodata : row[c]);
    }
#pragma omp parallel for schedule(runtime)
  for (long r = keepFirst; r <= keepLast; ++r) {
    const double* row = values.data() + static_cast<size_t>(r - first) * width;
    const double* owners = allCells ? nullptr : regions[r];
    for (long c = 1; c <= ncols; ++c)
      if (allCells || owners[c] == rank) grid[r][c] = row[c] == fileNodata ? nodata : row[c];
  }
}

// The failure in the first row of the file is the one the whole read would
// have met; rank 0 logs it and every process throws its code.
void modelobject::settleAsciiRows(GridFileRead& read, long failedRow) {
  struct {
    int row;
    int rank;
  } mine{static_cast<int>(std::min<long>(failedRow, INT_MAX)), mpiRank}, first{0, 0};
  // A failure outside the rows, such as an open, comes first.
  if (read.failureCode == 0) mine.row = INT_MAX;
  checkMPI(*diag, MPI_Allreduce(&mine, &first, 1, MPI_2INT, MPI_MINLOC, MPI_COMM_WORLD),
           "MPI_Allreduce of the status of an ASCII grid read");
  if (first.row == INT_MAX) return;
  int code = read.failureCode;
  std::string message = read.failureMessage;
  checkMPI(*diag, MPI_Bcast(&code, 1, MPI_INT, first.rank, MPI_COMM_WORLD),
           "MPI_Bcast of the status of an ASCII grid read");
  broadcastText(*diag, message, first.rank, "MPI_Bcast of the status of an ASCII grid read");
  if (mpiRank == 0 && !message.empty()) *diag << message.c_str() << "[end-entry]";
  throw code;
}
