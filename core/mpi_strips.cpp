#include "core/mpi_strips.h"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "core/mpi_reduction_handles.h"

namespace {

constexpr int missingGridCode = 33;
constexpr int tooManyStripsCode = 120;
constexpr int transferFailedCode = 121;
constexpr int missingLevelCountCode = 1010;

// Where a transfer happens, for the failure messages; a row of 0 means none.
struct Where {
  const char* operation;
  long row;
  long column;
  int peer;
};

void describe(DiagStream& diag, const Where& where) {
  diag << " in " << where.operation;
  if (where.row > 0)
    diag << " (row " << where.row << ", column " << where.column << ", process " << where.peer
         << ")";
}

// With the library's default error handler a failing call never returns;
// with MPI_ERRORS_RETURN it does, and must not pass unnoticed.
void checkMPI(DiagStream& diag, int result, const char* call, const Where& where) {
  if (result == MPI_SUCCESS) return;
  diag << "FATAL: MPI-Regions: " << call << " failed";
  describe(diag, where);
  diag << ": " << mpiErrorText(result) << "[end-entry]";
  throw transferFailedCode;
}

// A message shorter than its receive buffer completes without error; the
// cells behind it would silently keep their old values.
void checkReceived(DiagStream& diag, const MPI_Status& status, int expected, const Where& where) {
  int received = 0;
  checkMPI(diag, MPI_Get_count(&status, MPI_DOUBLE, &received), "MPI_Get_count", where);
  if (received == expected) return;
  diag << "FATAL: MPI-Regions: received " << received << " values instead of " << expected;
  describe(diag, where);
  diag << "; the processes disagree on the strips of the grid"
       << "[end-entry]";
  throw transferFailedCode;
}

int messageLength(DiagStream& diag, long cells, long valuesPerCell, const Where& where) {
  if (cells >= 0 && cells <= INT_MAX / valuesPerCell)
    return static_cast<int>(cells * valuesPerCell);
  diag << "FATAL: MPI-Regions: " << cells << " cells of " << valuesPerCell
       << " values do not fit into one message";
  describe(diag, where);
  diag << "[end-entry]";
  throw transferFailedCode;
}

Grid namedGrid(modelobject& module, const char* name) {
  const int index = module.findGrid(name, 1);
  return index > 0 ? module.getRegistry()[index].grid : nullptr;
}

// "MPIHelper" when there are strips to move: several processes and a
// decomposition; null otherwise, and the transfer does nothing.
Grid stripHelper(modelobject& module) {
  if (module.getMpiSize() < 2 || !namedGrid(module, "MPIRegions")) return nullptr;
  return namedGrid(module, "MPIHelper");
}

Grid registeredGrid(modelobject& module, DiagStream& diag, int index, Grid grid,
                    const char* operation) {
  if (!grid && module.getRegistry() && index >= 0 && index < gridRegistryLimit)
    grid = module.getRegistry()[index].grid;
  if (grid) return grid;
  diag << "FATAL: " << operation << ": registry entry " << index << " holds no grid"
       << "[end-entry]";
  throw missingGridCode;
}

Stack registeredStack(modelobject& module, DiagStream& diag, int index, Stack stack,
                      const char* operation) {
  if (!stack && module.getRegistry() && index >= 0 && index < gridRegistryLimit)
    stack = module.getRegistry()[index].stack;
  if (stack) return stack;
  diag << "FATAL: " << operation << ": registry entry " << index << " holds no stack"
       << "[end-entry]";
  throw missingGridCode;
}

const GridRegistryEntry& registryEntry(modelobject& module, DiagStream& diag, int index,
                                       const char* operation) {
  if (module.getRegistry() && index >= 0 && index < gridRegistryLimit)
    return module.getRegistry()[index];
  diag << "FATAL: " << operation << ": no registry entry " << index << "[end-entry]";
  throw missingGridCode;
}

// The first and last valid column of every row, which rank 0's strip walk
// and the packed transfers follow.
const RowColumnRange* columnRanges(DiagStream& diag, const RowColumnRange* ranges,
                                   const std::string& moduleName) {
  if (ranges) return ranges;
  diag << "FATAL: MPI-Regions: the first and last valid column of the grid rows are not known to "
       << moduleName << "[end-entry]";
  throw missingGridCode;
}

// First value of a strip in a grid or stack row; the strip must lie in a
// held row and inside columns 1..ncols.
double* stripData(DiagStream& diag, const GridHeader& header, Grid grid, Stack stack,
                  const HaloStrip& s, const char* operation) {
  const bool inside = s.row >= 1 && s.row <= header.nrows && s.startColumn >= 1 && s.count >= 1 &&
                      s.startColumn + static_cast<long>(s.count) - 1 <= header.ncols;
  const bool held = inside && (grid ? grid[s.row] != nullptr : stack[s.row] != nullptr);
  if (held) return grid ? grid[s.row] + s.startColumn : stack[s.row][s.startColumn];
  diag << "FATAL: " << operation << ": strip of " << s.count << " cells from column "
       << s.startColumn << " in row " << s.row << " (process " << s.peer << ") "
       << (inside ? "lies in a row that is not held in memory" : "lies outside the grid")
       << "[end-entry]";
  throw inside ? missingGridCode : tooManyStripsCode;
}

// Posts one non-blocking transfer per strip of a halo list.
void postHaloStrips(DiagStream& diag, const GridHeader& header, const std::vector<HaloStrip>& list,
                    Grid grid, Stack stack, long valuesPerCell, bool receive, bool tagByRow,
                    const char* operation, MPI_Request* requests, int* expected) {
  for (size_t i = 0; i < list.size(); ++i) {
    const HaloStrip& s = list[i];
    const Where where{operation, s.row, s.startColumn, s.peer};
    double* data = stripData(diag, header, grid, stack, s, operation);
    const int length = messageLength(diag, s.count, valuesPerCell, where);
    const int tag = tagByRow ? s.row : 0;
    if (receive) {
      expected[i] = length;
      checkMPI(diag, MPI_Irecv(data, length, MPI_DOUBLE, s.peer, tag, MPI_COMM_WORLD, &requests[i]),
               "MPI_Irecv", where);
    } else {
      checkMPI(diag, MPI_Isend(data, length, MPI_DOUBLE, s.peer, tag, MPI_COMM_WORLD, &requests[i]),
               "MPI_Isend", where);
    }
  }
}

// Waits for count requests; those from firstReceive on are the receives of
// the strips of `receives`, whose lengths are checked.
void waitForHalo(DiagStream& diag, MPI_Request* requests, int count, size_t firstReceive,
                 const std::vector<HaloStrip>& receives, const std::vector<int>& expected,
                 const char* operation) {
  if (count == 0) return;
  std::vector<MPI_Status> statuses(static_cast<size_t>(count));
  const int result = MPI_Waitall(count, requests, statuses.data());
  if (result == MPI_ERR_IN_STATUS) {
    for (const MPI_Status& status : statuses)
      checkMPI(diag, status.MPI_ERROR, "MPI_Waitall", Where{operation, 0, 0, status.MPI_SOURCE});
  }
  checkMPI(diag, result, "MPI_Waitall", Where{operation, 0, 0, 0});
  for (size_t i = 0; i < expected.size(); ++i) {
    const HaloStrip& s = receives[i];
    checkReceived(diag, statuses[firstReceive + i], expected[i],
                  Where{operation, s.row, s.startColumn, s.peer});
  }
}

// Values per message of a packed transfer: a large strip set goes in
// several messages rather than failing the count's int range.
constexpr long packedChunkValues = 1L << 24;

long packedValues(const std::vector<int>& layout, long valuesPerCell) {
  long total = 0;
  for (size_t i = 2; i < layout.size(); i += 3) total += layout[i] * valuesPerCell;
  return total;
}

// The receiver's runs against the sender's (row, column, count of each): a
// disagreement names the first run that differs, as the receive of that run
// alone would have.
void checkRunLayout(DiagStream& diag, const std::vector<HaloStrip>& runs,
                    const std::vector<int>& sent, long valuesPerCell, int peer,
                    const char* operation) {
  const size_t sentRuns = sent.size() / 3;
  for (size_t i = 0; i < std::max(runs.size(), sentRuns); ++i) {
    const long got = i < sentRuns ? sent[3 * i + 2] * valuesPerCell : 0;
    const long expected = i < runs.size() ? runs[i].count * valuesPerCell : 0;
    const bool same = i < runs.size() && i < sentRuns && sent[3 * i] == runs[i].row &&
                      sent[3 * i + 1] == runs[i].startColumn && got == expected;
    if (same) continue;
    const HaloStrip& at =
        i < runs.size() ? runs[i] : HaloStrip{sent[3 * i], sent[3 * i + 1], 0, peer};
    diag << "FATAL: MPI-Regions: received " << got << " values instead of " << expected;
    describe(diag, Where{operation, at.row, at.startColumn, peer});
    diag << "; the processes disagree on the strips of the grid"
         << "[end-entry]";
    throw transferFailedCode;
  }
}

// Sends or receives the values of every run of one peer, packed in walk
// order behind the list of the runs: a few messages per peer instead of one
// per run, so that a transfer does not wait for the peer to be scheduled
// once per row.
void movePeerRuns(DiagStream& diag, const GridHeader& header, bool root, int peer,
                  const std::vector<HaloStrip>& runs, Grid grid, Stack stack, long valuesPerCell,
                  bool toWorkers, const char* operation, std::vector<double>& buffer) {
  const Where where{operation, runs.empty() ? 0 : runs.front().row,
                    runs.empty() ? 0 : runs.front().startColumn, peer};
  // A side without runs expects nothing, as the other side does.
  if (runs.empty()) return;
  const bool sends = root == toWorkers;
  std::vector<int> layout;
  if (sends) {
    for (const HaloStrip& run : runs)
      layout.insert(layout.end(), {run.row, run.startColumn, run.count});
    buffer.resize(static_cast<size_t>(packedValues(layout, valuesPerCell)));
    size_t at = 0;
    for (const HaloStrip& run : runs) {
      const double* data = stripData(diag, header, grid, stack, run, operation);
      const size_t n = static_cast<size_t>(run.count * valuesPerCell);
      std::copy(data, data + n, buffer.begin() + static_cast<std::ptrdiff_t>(at));
      at += n;
    }
    checkMPI(
        diag,
        MPI_Send(layout.data(), static_cast<int>(layout.size()), MPI_INT, peer, 0, MPI_COMM_WORLD),
        "MPI_Send", where);
  } else {
    MPI_Status status;
    checkMPI(diag, MPI_Probe(peer, 0, MPI_COMM_WORLD, &status), "MPI_Probe", where);
    int count = 0;
    checkMPI(diag, MPI_Get_count(&status, MPI_INT, &count), "MPI_Get_count", where);
    layout.resize(static_cast<size_t>(std::max(count, 0)));
    checkMPI(diag,
             MPI_Recv(layout.data(), count, MPI_INT, peer, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE),
             "MPI_Recv", where);
    buffer.resize(static_cast<size_t>(packedValues(layout, valuesPerCell)));
  }
  const long total = static_cast<long>(buffer.size());
  for (long first = 0; first < total; first += packedChunkValues) {
    const int length = static_cast<int>(std::min(packedChunkValues, total - first));
    double* data = buffer.data() + first;
    if (sends) {
      checkMPI(diag, MPI_Send(data, length, MPI_DOUBLE, peer, 0, MPI_COMM_WORLD), "MPI_Send",
               where);
    } else {
      MPI_Status status;
      checkMPI(diag, MPI_Recv(data, length, MPI_DOUBLE, peer, 0, MPI_COMM_WORLD, &status),
               "MPI_Recv", where);
      checkReceived(diag, status, length, where);
    }
  }
  if (sends) return;
  checkRunLayout(diag, runs, layout, valuesPerCell, peer, operation);
  size_t at = 0;
  for (const HaloStrip& run : runs) {
    double* data = stripData(diag, header, grid, stack, run, operation);
    const size_t n = static_cast<size_t>(run.count * valuesPerCell);
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(at),
              buffer.begin() + static_cast<std::ptrdiff_t>(at + n), data);
    at += n;
  }
}

const std::vector<HaloStrip> noStrips;

int recordCount(DiagStream& diag, long n, const char* operation) {
  if (n >= 0 && n < INT_MAX) return static_cast<int>(n + 1);
  diag << "FATAL: " << operation << ": invalid number of zone records " << n << "[end-entry]";
  throw transferFailedCode;
}

void makeZoneRecordType(DiagStream& diag, MpiReductionHandles& zone, const char* operation) {
  const Where where{operation, 0, 0, 0};
  checkMPI(diag, MPI_Type_contiguous(5, MPI_DOUBLE, &zone.type), "MPI_Type_contiguous", where);
  checkMPI(diag, MPI_Type_commit(&zone.type), "MPI_Type_commit", where);
}

} // namespace

void sumZoneRecords(void* in, void* inout, int* length, MPI_Datatype* /*type*/) {
  const ZoneRecord* from = static_cast<const ZoneRecord*>(in);
  ZoneRecord* to = static_cast<ZoneRecord*>(inout);
  for (int i = 0; i < *length; ++i) {
    to[i].weightSum += from[i].weightSum;
    to[i].valueSum += from[i].valueSum;
    to[i].effectiveWeight += from[i].effectiveWeight;
  }
}

// --- strip walk -------------------------------------------------------------

bool modelobject::nextStrip(long row, Grid helper, bool stackMessage, StripCursor& cursor,
                            HaloStrip& strip) {
  const bool root = mpiRank == 0;
  if (root && cursor.pair == 0) {
    cursor.column = columnRanges(*diag, rowColumnRange, moduleName)[row].first;
    if (cursor.column <= 0) return false;
  }
  const double* pairs = helper[row];
  if (!pairs) {
    *diag << "FATAL: MPI-Regions: row " << row << " of MPIHelper is not held by process " << mpiRank
          << "[end-entry]";
    throw missingGridCode;
  }
  for (;;) {
    // Pair k lies in elements 2k-1 and 2k of a row of elements 0..ncols.
    const long k = cursor.pair + 1;
    if (2 * k > header.ncols) {
      if (stackMessage)
        *diag << "FATAL: MPI-Regions: to much strips to be stored in a grid row (in row " << row
              << ")"
              << "[end-entry]";
      else
        *diag << "FATAL: MPI-Regions: to much strips to be stored in a grid row in row " << row
              << "[end-entry]";
      throw tooManyStripsCode;
    }
    cursor.pair = k;
    const long first = static_cast<long>(pairs[2 * k - 1]);
    const long count = static_cast<long>(pairs[2 * k]);
    long column = first;
    int peer = 0;
    if (root) {
      if (count <= 0) return false;
      column = cursor.column;
      cursor.column += count;
      // Rank 0's own runs and nodata gaps only move the cursor.
      if (first <= 0) continue;
      peer = static_cast<int>(first);
    } else if (first <= 0) {
      return false;
    }
    if (column < 1 || count < 1 || column + count - 1 > header.ncols) {
      *diag << "FATAL: MPI-Regions: strip of " << count << " cells from column " << column
            << " does not fit into row " << row << " of " << header.ncols << " columns"
            << "[end-entry]";
      throw tooManyStripsCode;
    }
    strip =
        HaloStrip{static_cast<int>(row), static_cast<int>(column), static_cast<int>(count), peer};
    return true;
  }
}

void modelobject::moveStrips(Grid helper, Grid grid, Stack stack, long valuesPerCell,
                             bool toWorkers, bool stackMessage, const char* operation) {
  const bool root = mpiRank == 0;
  const long firstRow = root ? 1 : std::max(1L, header.firstRow);
  const long lastRow = root ? header.nrows : std::min(header.nrows, header.lastRow);
  const Grid regions = namedGrid(*this, "MPIRegions");
  // The runs of each peer in walk order, which both sides share.
  std::vector<std::vector<HaloStrip>> runs(static_cast<size_t>(std::max(mpiSize, 1)));
  const auto walk = [&] {
    HaloStrip strip;
    for (long row = firstRow; row <= lastRow; ++row) {
      const double* owners = regions[row];
      if (!owners) {
        *diag << "FATAL: MPI-Regions: row " << row << " of MPIRegions is not held by process "
              << mpiRank << "[end-entry]";
        throw missingGridCode;
      }
      StripCursor cursor;
      while (nextStrip(row, helper, stackMessage, cursor, strip)) {
        // A strip spans one process's cells in the row; the nodata cells
        // between its runs stay as they are on either side.
        const double owner = root ? strip.peer : mpiRank;
        const long end = strip.startColumn + static_cast<long>(strip.count);
        for (long c = strip.startColumn; c < end;) {
          if (owners[c] != owner) {
            ++c;
            continue;
          }
          const long start = c;
          while (c < end && owners[c] == owner) ++c;
          const HaloStrip run{strip.row, static_cast<int>(start), static_cast<int>(c - start),
                              strip.peer};
          stripData(*diag, header, grid, stack, run, operation);
          if (run.peer < 0 || run.peer >= mpiSize) {
            // MPI itself names the fault, as for any other failed send.
            const Where where{operation, run.row, run.startColumn, run.peer};
            checkMPI(*diag, MPI_Send(nullptr, 0, MPI_DOUBLE, run.peer, 0, MPI_COMM_WORLD),
                     "MPI_Send", where);
            *diag << "FATAL: MPI-Regions: strip in row " << run.row << " names process " << run.peer
                  << " of " << mpiSize << "[end-entry]";
            throw transferFailedCode;
          }
          runs[static_cast<size_t>(run.peer)].push_back(run);
        }
      }
    }
  };
  std::vector<double> buffer;
  // Rank 0 goes on with the other processes after one failed, so that no
  // message is left for a later transfer to take.
  const auto transfer = [&] {
    int failed = 0;
    for (int peer = root ? 1 : 0; peer < (root ? mpiSize : 1); ++peer) {
      const int code = catchExitCode([&] {
        movePeerRuns(*diag, header, root, peer, runs[static_cast<size_t>(peer)], grid, stack,
                     valuesPerCell, toWorkers, operation, buffer);
      });
      if (failed == 0) failed = code;
    }
    if (failed != 0) throw failed;
  };
  // A walk that fails on rank 0 still moves the runs of the rows before it,
  // which the others expect.
  const int failure = catchExitCode(walk);
  if (failure != 0 && root) transfer();
  if (failure != 0) throw failure;
  transfer();
}

// --- strip transfers ----------------------------------------------------------

void modelobject::MPIScatterGrid(int index, Grid grid) {
  Grid helper = stripHelper(*this);
  if (!helper) return;
  grid = registeredGrid(*this, *diag, index, grid, "MPIScatterGrid");
  moveStrips(helper, grid, nullptr, 1, true, false, "MPIScatterGrid");
}

void modelobject::MPIGatherGrid(int index, Grid grid) {
  Grid helper = stripHelper(*this);
  if (!helper) return;
  grid = registeredGrid(*this, *diag, index, grid, "MPIGatherGrid");
  moveStrips(helper, grid, nullptr, 1, false, false, "MPIGatherGrid");
}

Grid modelobject::MPIGatherGridCopy(int index, Grid grid) {
  if (!stripHelper(*this)) return nullptr;
  if (mpiRank != 0) {
    gatherWholeGrid(index, grid, nullptr);
    return nullptr;
  }
  Grid copy = matrix(1, header.nrows, 1, header.ncols, header.nrows);
  try {
    gatherWholeGrid(index, grid, copy);
  } catch (...) {
    free_matrix(copy, 1, header.nrows, 1, header.ncols);
    throw;
  }
  return copy;
}

Grid modelobject::gatherRegions() {
  return stripHelper(*this) ? namedGrid(*this, "MPIRegions") : nullptr;
}

bool modelobject::gatherWholeGrid(int index, Grid grid, Grid whole) {
  Grid helper = stripHelper(*this);
  if (!helper) return false;
  Grid regions = namedGrid(*this, "MPIRegions");
  Grid source = registeredGrid(*this, *diag, index, grid, "MPIGatherGridCopy");
  if (mpiRank != 0) {
    moveStrips(helper, source, nullptr, 1, false, false, "MPIGatherGridCopy");
    return true;
  }
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c) whole[r][c] = regions[r][c] == 0.0 ? source[r][c] : nodata;
  moveStrips(helper, whole, nullptr, 1, false, false, "MPIGatherGridCopy");
  return true;
}

void modelobject::MPIGatherStack(int index, Stack stack) {
  Grid helper = stripHelper(*this);
  if (!helper) return;
  stack = registeredStack(*this, *diag, index, stack, "MPIGatherStack");
  const GridRegistryEntry& entry = registryEntry(*this, *diag, index, "MPIGatherStack");
  *diag << "synchronising stack " << entry.name << " for mpi-rank " << mpiRank << "[end-entry]";
  moveStrips(helper, nullptr, stack, entry.levels + 1L, false, true, "MPIGatherStack");
}

Stack modelobject::MPIGatherStackCopy(int index, Stack stack) {
  if (!stripHelper(*this)) return nullptr;
  if (mpiRank != 0) {
    gatherWholeStack(index, stack, nullptr);
    return nullptr;
  }
  registeredStack(*this, *diag, index, stack, "MPIGatherStackCopy");
  const GridRegistryEntry& entry = registryEntry(*this, *diag, index, "MPIGatherStackCopy");
  const long nrows = header.nrows;
  Stack copy = three_d_matrix(1, nrows, 1, header.ncols, entry.levels, nrows);
  try {
    gatherWholeStack(index, stack, copy);
  } catch (...) {
    free_three_d_matrix(copy, 1, nrows);
    throw;
  }
  return copy;
}

bool modelobject::gatherWholeStack(int index, Stack stack, Stack whole) {
  Grid helper = stripHelper(*this);
  if (!helper) return false;
  Grid regions = namedGrid(*this, "MPIRegions");
  Stack source = registeredStack(*this, *diag, index, stack, "MPIGatherStackCopy");
  const GridRegistryEntry& entry = registryEntry(*this, *diag, index, "MPIGatherStackCopy");
  const long levels = entry.levels + 1L;
  *diag << "synchronising stack " << entry.name << " for mpi-rank " << mpiRank << "[end-entry]";
  if (mpiRank != 0) {
    moveStrips(helper, nullptr, source, levels, false, true, "MPIGatherStackCopy");
    return true;
  }
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= nrows; ++r) {
    for (long c = 1; c <= ncols; ++c) {
      const bool own = regions[r][c] == 0.0;
      for (long l = 0; l < levels; ++l) whole[r][c][l] = own ? source[r][c][l] : nodata;
    }
  }
  moveStrips(helper, nullptr, whole, levels, false, true, "MPIGatherStackCopy");
  return true;
}

void modelobject::MPIScatterStack(int index, Stack stack, unsigned levels) {
  Grid helper = stripHelper(*this);
  if (!helper) return;
  if (index >= 1) {
    stack = registeredStack(*this, *diag, index, stack, "MPIScatterStack");
    const GridRegistryEntry& entry = registryEntry(*this, *diag, index, "MPIScatterStack");
    levels = entry.levels;
    *diag << "re-distributing stack " << entry.name << " for mpi-rank " << mpiRank << "[end-entry]";
  } else if (levels == 0) {
    *diag << "FATAL: no level-count given as (optional) parameter to MPIScatterStack. Please "
             "report to the author."
          << "[end-entry]";
    throw missingLevelCountCode;
  } else {
    stack = registeredStack(*this, *diag, -1, stack, "MPIScatterStack");
  }
  moveStrips(helper, nullptr, stack, levels + 1L, true, false, "MPIScatterStack");
}

// --- halo exchange ------------------------------------------------------------

void modelobject::MPIExchangeGridHalo(int index, Grid grid) {
  if (index < 0) return;
  const size_t receives = haloReceiveList ? haloReceiveList->size() : 0;
  const size_t sends = haloSendList ? haloSendList->size() : 0;
  if (receives + sends == 0) return;
  MPIExchangeGridHalos({registeredGrid(*this, *diag, index, grid, "MPIExchangeGridHalo")});
}

void modelobject::MPIExchangeGridHalos(const std::vector<Grid>& grids) {
  const std::vector<HaloStrip>& receives = haloReceiveList ? *haloReceiveList : noStrips;
  const std::vector<HaloStrip>& sends = haloSendList ? *haloSendList : noStrips;
  const size_t perGrid = receives.size() + sends.size();
  const size_t count = grids.size();
  if (perGrid == 0 || count == 0) return;
  const char* operation = "MPIExchangeGridHalo";
  // Every receive is posted before any send, so that no message waits for
  // an unexpected-message buffer. The messages of several grids between two
  // processes keep their order, which gives each to its grid's receive.
  std::vector<MPI_Request> exchange(perGrid * count, MPI_REQUEST_NULL);
  std::vector<int> expected(receives.size() * count);
  std::vector<HaloStrip> received;
  for (size_t g = 0; g < count; ++g) {
    postHaloStrips(*diag, header, receives, grids[g], nullptr, 1, true, true, operation,
                   exchange.data() + g * receives.size(), expected.data() + g * receives.size());
    received.insert(received.end(), receives.begin(), receives.end());
  }
  for (size_t g = 0; g < count; ++g)
    postHaloStrips(*diag, header, sends, grids[g], nullptr, 1, false, true, operation,
                   exchange.data() + count * receives.size() + g * sends.size(), nullptr);
  waitForHalo(*diag, exchange.data(), static_cast<int>(perGrid * count), 0, received, expected,
              operation);
}

void modelobject::MPIExchangeStackHalo(int index, int /*unusedLevels*/, Stack stack) {
  const std::vector<HaloStrip>& receives = haloReceiveList ? *haloReceiveList : noStrips;
  const std::vector<HaloStrip>& sends = haloSendList ? *haloSendList : noStrips;
  const size_t total = receives.size() + sends.size();
  if (total == 0) return;
  const char* operation = "MPIExchangeStackHalo";
  stack = registeredStack(*this, *diag, index, stack, operation);
  const long levels = registryEntry(*this, *diag, index, operation).levels + 1L;
  std::vector<MPI_Request> exchange(total, MPI_REQUEST_NULL);
  std::vector<int> expected(receives.size());
  postHaloStrips(*diag, header, sends, nullptr, stack, levels, false, false, operation,
                 exchange.data(), nullptr);
  postHaloStrips(*diag, header, receives, nullptr, stack, levels, true, false, operation,
                 exchange.data() + sends.size(), expected.data());
  waitForHalo(*diag, exchange.data(), static_cast<int>(total), sends.size(), receives, expected,
              operation);
}

void modelobject::MPIStartHaloReceive(int index, Grid grid) {
  if (index < 0) return;
  const char* operation = "MPIStartHaloReceive";
  if (requestCount != 0) {
    // Starting over would lose track of transfers still in flight.
    *diag << "FATAL: " << operation << ": " << requestCount
          << " transfers of an earlier halo exchange are still pending in " << moduleName
          << "[end-entry]";
    throw transferFailedCode;
  }
  pendingReceiveCounts.clear();
  const std::vector<HaloStrip>& receives = haloReceiveList ? *haloReceiveList : noStrips;
  if (receives.empty()) return;
  grid = registeredGrid(*this, *diag, index, grid, operation);
  if (requests.size() < receives.size()) requests.resize(receives.size(), MPI_REQUEST_NULL);
  pendingReceiveCounts.resize(receives.size());
  postHaloStrips(*diag, header, receives, grid, nullptr, 1, true, true, operation, requests.data(),
                 pendingReceiveCounts.data());
  requestCount = static_cast<unsigned>(receives.size());
}

void modelobject::MPIStartHaloSend(int index, Grid grid) {
  if (index < 0) return;
  const std::vector<HaloStrip>& sends = haloSendList ? *haloSendList : noStrips;
  if (sends.empty()) return;
  const char* operation = "MPIStartHaloSend";
  grid = registeredGrid(*this, *diag, index, grid, operation);
  // The request array grows with the exchange; handles stay valid when moved.
  const size_t needed = requestCount + sends.size();
  if (requests.size() < needed) requests.resize(needed, MPI_REQUEST_NULL);
  postHaloStrips(*diag, header, sends, grid, nullptr, 1, false, true, operation,
                 requests.data() + requestCount, nullptr);
  requestCount = static_cast<unsigned>(needed);
}

void modelobject::MPIWaitHaloExchange(int index) {
  if (index < 0) return;
  const int count = static_cast<int>(requestCount);
  requestCount = 0;
  waitForHalo(*diag, requests.data(), count, 0, haloReceiveList ? *haloReceiveList : noStrips,
              pendingReceiveCounts, "MPIWaitHaloExchange");
  pendingReceiveCounts.clear();
}

// --- zone records ---------------------------------------------------------------

void modelobject::MPIReduceZoneRecords(ZoneRecord* records, long n, bool sumEffectiveWeight) {
  const char* operation = "MPIReduceZoneRecords";
  const Where where{operation, 0, 0, 0};
  const int count = recordCount(*diag, n, operation);
  MpiReductionHandles zone;
  makeZoneRecordType(*diag, zone, operation);
  checkMPI(*diag, MPI_Op_create(sumZoneRecords, 1, &zone.op), "MPI_Op_create", where);
  if (mpiRank != 0) {
    checkMPI(*diag, MPI_Reduce(records, nullptr, count, zone.type, zone.op, 0, MPI_COMM_WORLD),
             "MPI_Reduce", where);
    return;
  }
  // The library may combine the records in any order, so rank 0's own code
  // and areaFraction (and effectiveWeight unless summed) are put back.
  std::vector<ZoneRecord> own(records, records + count);
  checkMPI(*diag, MPI_Reduce(MPI_IN_PLACE, records, count, zone.type, zone.op, 0, MPI_COMM_WORLD),
           "MPI_Reduce", where);
  for (int i = 0; i < count; ++i) {
    records[i].code = own[i].code;
    records[i].areaFraction = own[i].areaFraction;
    if (!sumEffectiveWeight) records[i].effectiveWeight = own[i].effectiveWeight;
  }
}

void modelobject::MPIBroadcastZoneRecords(ZoneRecord* records, long n) {
  const char* operation = "MPIBroadcastZoneRecords";
  const int count = recordCount(*diag, n, operation);
  MpiReductionHandles zone;
  makeZoneRecordType(*diag, zone, operation);
  std::vector<ZoneRecord> sums(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    sums[i].weightSum = records[i].weightSum;
    sums[i].valueSum = records[i].valueSum;
    sums[i].effectiveWeight = records[i].effectiveWeight;
  }
  checkMPI(*diag, MPI_Bcast(sums.data(), count, zone.type, 0, MPI_COMM_WORLD), "MPI_Bcast",
           Where{operation, 0, 0, 0});
  for (int i = 0; i < count; ++i) {
    records[i].weightSum = sums[i].weightSum;
    records[i].valueSum = sums[i].valueSum;
    records[i].effectiveWeight = sums[i].effectiveWeight;
  }
}

// --- packed transfers -------------------------------------------------------------
// Every other process visits its selected cells in row-major order and rank 0
// its list of every selected cell in the same order, which fixes the position
// of every value in its message; the walks stay serial for that.

namespace {

void checkCounts(DiagStream& diag, const std::vector<long>& counts, int size,
                 const char* operation) {
  bool valid = counts.size() >= static_cast<size_t>(size);
  for (int k = 0; valid && k < size; ++k) valid = counts[k] >= 0 && counts[k] <= INT_MAX;
  if (valid) return;
  diag << "FATAL: " << operation << ": " << counts.size() << " cell counts for " << size
       << " processes, or a count out of range"
       << "[end-entry]";
  throw transferFailedCode;
}

void reportCountMismatch(DiagStream& diag, const char* operation, int rank, long found,
                         long expected) {
  diag << "FATAL: " << operation << ": process " << rank << " has " << found
       << " selected cells, the cell counts say " << expected << "[end-entry]";
  throw transferFailedCode;
}

// What a packed transfer moves: the registry entry's grid, or one level of
// its stack.
struct PackedValues {
  Grid grid = nullptr;
  Stack stack = nullptr;
  int level = 0;
  bool holds(long r) const { return stack ? stack[r] != nullptr : grid[r] != nullptr; }
  double& at(long r, long c) const { return stack ? stack[r][c][level] : grid[r][c]; }
};

PackedValues packedValues(modelobject& module, DiagStream& diag, int index, int stackLevel,
                          const char* operation) {
  PackedValues v;
  if (stackLevel < 0) {
    v.grid = registeredGrid(module, diag, index, nullptr, operation);
  } else {
    v.stack = registeredStack(module, diag, index, nullptr, operation);
    v.level = stackLevel;
  }
  return v;
}

// The selected cells of a process other than 0: those the mask holds in its
// strip and "MPIRegions" gives to it.
struct OwnPackedCells {
  Grid regions = nullptr;
  PackedValues values;
  Grid mask = nullptr;
  const RowColumnRange* ranges = nullptr;
  double nodata = 0.0;
  long firstRow = 1, lastRow = 0;

  template <typename Visit> void forEach(int rank, Visit visit) const {
    for (long r = firstRow; r <= lastRow; ++r) {
      const long first = ranges[r].first;
      const long last = ranges[r].last;
      if (first <= 0) continue;
      for (long c = first; c <= last; ++c)
        if (mask[r][c] > nodata && static_cast<int>(regions[r][c]) == rank) visit(r, c);
    }
  }
};

OwnPackedCells ownPackedCells(modelobject& module, const RowColumnRange* rowColumnRange,
                              int valueIndex, int stackLevel, int maskIndex,
                              const char* operation) {
  OwnPackedCells cells;
  DiagStream& diag = *module.getDiag();
  const GridHeader& header = module.getHeader();
  cells.regions = namedGrid(module, "MPIRegions");
  cells.values = packedValues(module, diag, valueIndex, stackLevel, operation);
  cells.mask = registeredGrid(module, diag, maskIndex, nullptr, operation);
  cells.ranges = columnRanges(diag, rowColumnRange, module.getModuleName());
  cells.nodata = header.nodata;
  cells.firstRow = std::max(1L, header.firstRow);
  cells.lastRow = std::min(header.nrows, header.lastRow);
  return cells;
}

// Messages move only between several processes with a decomposition.
bool packedExchange(modelobject& module) {
  return module.getMpiSize() > 1 && namedGrid(module, "MPIRegions");
}

// Rank 0's own cells of the list, in a row it holds.
bool ownedByRoot(const PackedCell& cell, const PackedValues& values) {
  return cell.owner == 0 && values.holds(cell.row);
}

} // namespace

void modelobject::MPIGatherPackedGrid(int valueIndex, int maskIndex,
                                      const std::vector<long>& counts,
                                      const std::vector<PackedCell>& cells,
                                      std::vector<double>& values, int stackLevel) {
  const char* operation = "MPIGatherPackedGrid";
  const bool exchange = packedExchange(*this);
  if (exchange) checkCounts(*diag, counts, mpiSize, operation);
  if (mpiRank != 0) {
    if (!exchange) return;
    const OwnPackedCells own =
        ownPackedCells(*this, rowColumnRange, valueIndex, stackLevel, maskIndex, operation);
    // The message always has the agreed length, so that rank 0 never waits
    // for a value that does not come; a disagreement fails afterwards.
    std::vector<double> buffer(static_cast<size_t>(counts[mpiRank]), own.nodata);
    long found = 0;
    own.forEach(mpiRank, [&](long r, long c) {
      if (found < counts[mpiRank]) buffer[static_cast<size_t>(found)] = own.values.at(r, c);
      ++found;
    });
    checkMPI(*diag,
             MPI_Send(buffer.data(), static_cast<int>(counts[mpiRank]), MPI_DOUBLE, 0, mpiRank,
                      MPI_COMM_WORLD),
             "MPI_Send", Where{operation, 0, 0, 0});
    if (found != counts[mpiRank])
      reportCountMismatch(*diag, operation, mpiRank, found, counts[mpiRank]);
    return;
  }
  const PackedValues grid = packedValues(*this, *diag, valueIndex, stackLevel, operation);
  values.resize(cells.size(), header.nodata);
  std::vector<std::vector<double>> buffers(static_cast<size_t>(mpiSize));
  for (int k = 1; exchange && k < mpiSize; ++k) {
    const Where where{operation, 0, 0, k};
    const int length = static_cast<int>(counts[k]);
    buffers[k].resize(static_cast<size_t>(length));
    MPI_Status status;
    checkMPI(*diag, MPI_Recv(buffers[k].data(), length, MPI_DOUBLE, k, k, MPI_COMM_WORLD, &status),
             "MPI_Recv", where);
    checkReceived(*diag, status, length, where);
  }
  std::vector<long> used(static_cast<size_t>(mpiSize), 0);
  for (size_t i = 0; i < cells.size(); ++i) {
    const PackedCell& cell = cells[i];
    if (ownedByRoot(cell, grid)) values[i] = grid.at(cell.row, cell.column);
    if (!exchange || cell.owner <= 0 || cell.owner >= mpiSize) continue;
    long& next = used[cell.owner];
    if (next < counts[cell.owner]) values[i] = buffers[cell.owner][next];
    ++next;
  }
  for (int k = 1; exchange && k < mpiSize; ++k)
    if (used[k] != counts[k]) reportCountMismatch(*diag, operation, k, used[k], counts[k]);
}

void modelobject::MPIScatterPackedGrid(int valueIndex, int maskIndex,
                                       const std::vector<long>& counts,
                                       const std::vector<PackedCell>& cells,
                                       const std::vector<double>& values, int stackLevel) {
  const char* operation = "MPIScatterPackedGrid";
  const bool exchange = packedExchange(*this);
  if (exchange) checkCounts(*diag, counts, mpiSize, operation);
  if (mpiRank == 0) {
    const PackedValues grid = packedValues(*this, *diag, valueIndex, stackLevel, operation);
    std::vector<std::vector<double>> buffers(static_cast<size_t>(mpiSize));
    for (int k = 1; exchange && k < mpiSize; ++k)
      buffers[k].assign(static_cast<size_t>(counts[k]), header.nodata);
    std::vector<long> found(static_cast<size_t>(mpiSize), 0);
    for (size_t i = 0; i < cells.size() && i < values.size(); ++i) {
      const PackedCell& cell = cells[i];
      if (ownedByRoot(cell, grid)) grid.at(cell.row, cell.column) = values[i];
      if (!exchange || cell.owner <= 0 || cell.owner >= mpiSize) continue;
      long& next = found[cell.owner];
      if (next < counts[cell.owner]) buffers[cell.owner][next] = values[i];
      ++next;
    }
    for (int k = 1; exchange && k < mpiSize; ++k)
      checkMPI(*diag,
               MPI_Send(buffers[k].data(), static_cast<int>(counts[k]), MPI_DOUBLE, k, k,
                        MPI_COMM_WORLD),
               "MPI_Send", Where{operation, 0, 0, k});
    for (int k = 1; exchange && k < mpiSize; ++k)
      if (found[k] != counts[k]) reportCountMismatch(*diag, operation, k, found[k], counts[k]);
    return;
  }
  if (!exchange) return;
  const OwnPackedCells own =
      ownPackedCells(*this, rowColumnRange, valueIndex, stackLevel, maskIndex, operation);
  const Where where{operation, 0, 0, 0};
  const int length = static_cast<int>(counts[mpiRank]);
  std::vector<double> buffer(static_cast<size_t>(length));
  MPI_Status status;
  checkMPI(*diag, MPI_Recv(buffer.data(), length, MPI_DOUBLE, 0, mpiRank, MPI_COMM_WORLD, &status),
           "MPI_Recv", where);
  checkReceived(*diag, status, length, where);
  long found = 0;
  own.forEach(mpiRank, [&](long r, long c) {
    if (found < length) own.values.at(r, c) = buffer[static_cast<size_t>(found)];
    ++found;
  });
  if (found != length) reportCountMismatch(*diag, operation, mpiRank, found, length);
}
