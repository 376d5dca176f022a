#include <mpi.h>

#include <map>

#include "config/defaultini.h"
#include "config/mpi_decomposition.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

namespace {

const char* const gridNames[3] = {"MPIRegions", "MPIHelper", "MPIHalo"};

// Strips an "MPIHelper" row can describe: pair k takes elements 2k-1 and 2k,
// and the zero pair after the last one must still lie within elements
// 0 .. ncols for the strip walk to see where the list ends.
long stripCapacity(long ncols) { return ncols / 2 - 1; }

// Pair k of a strip list, when there is a row to write and the pair fits.
void storeStrip(double* row, long k, double first, double second, long capacity) {
  if (!row || k > capacity) return;
  row[2 * k - 1] = first;
  row[2 * k] = second;
}

// A process's cells in a row form one span: the scan hands out cells in row
// order, so only nodata can lie between two of its runs. One pair per span
// keeps a row's list as short as the number of processes in it, however
// ragged the row; the transfers move the owner's cells of a span and leave
// the rest.
bool isWorker(double owner, double nodata) { return owner > 0.0 && owner != nodata; }

// Rank 0's strip list of one row: element 0 counts the leading nodata cells;
// from the first valid column on, pairs (owner, count) describe the spans of
// other processes and the cells between them in the order the strip walk
// meets them. What follows the last span (rank 0's own cells come last in
// every row, and trailing gaps) needs no pair. Writes only the pairs that
// fit (into helper when given) and returns the number of pairs the row needs.
long rankZeroStripList(const double* regions, double* helper, long ncols, double nodata) {
  const long capacity = stripCapacity(ncols);
  long c = 1;
  while (c <= ncols && regions[c] == nodata) ++c;
  if (helper) helper[0] = static_cast<double>(c - 1);
  long pairs = 0;
  long skipped = 0;
  double spanOwner = nodata;
  long span = 0;
  while (c <= ncols) {
    const double owner = regions[c];
    long run = 0;
    for (; c <= ncols && regions[c] == owner; ++c) ++run;
    if (!isWorker(owner, nodata)) {
      skipped += run;
      continue;
    }
    if (owner == spanOwner) {
      span += skipped + run;
    } else {
      if (skipped > 0) storeStrip(helper, ++pairs, nodata, static_cast<double>(skipped), capacity);
      ++pairs;
      spanOwner = owner;
      span = run;
    }
    storeStrip(helper, pairs, owner, static_cast<double>(span), capacity);
    skipped = 0;
  }
  return pairs;
}

} // namespace

void defaultini::reserveDecompositionEntries(Decomposition& d) {
  int found = 0;
  for (int i = 1; i < gridRegistryLimit && found < 3; ++i)
    if (!registry[i].hasFileName) d.entries[found++] = i;
  if (found == 3) return;
  *diag << "FATAL: when trying to create MPI-Regions: no free grid found in memory (at position "
        << gridRegistryLimit << ")"
        << "[end-entry]";
  throw 12;
}

void defaultini::createDecompositionGrids(const Decomposition& d, long lo, long hi) {
  Grid* const grids[3] = {&regionsGrid, &helperGrid, &haloGrid};
  int* const indices[3] = {&regionsIndex, &helperIndex, &haloIndex};
  for (int i = 0; i < 3; ++i) {
    Grid grid = matrix(lo, hi, 1, d.ncols, d.nrows);
    if (i != 1) {
#pragma omp parallel for schedule(runtime)
      for (long r = lo; r <= hi; ++r)
        for (long c = 1; c <= d.ncols; ++c) grid[r][c] = d.nodata;
    }
    registerGrid(d.entries[i], "", grid, nullptr, 0, gridNames[i], 0, lo, hi);
    *grids[i] = grid;
    *indices[i] = d.entries[i];
    ++gridCount;
  }
}

void defaultini::fillRankZeroHelper(const Decomposition& d) {
  long failedRow = d.nrows + 1;
#pragma omp parallel for schedule(runtime) reduction(min : failedRow)
  for (long r = 1; r <= d.nrows; ++r) {
    const long pairs = rankZeroStripList(regionsGrid[r], helperGrid[r], d.ncols, d.nodata);
    if (pairs > stripCapacity(d.ncols) && r < failedRow) failedRow = r;
  }
  if (failedRow > d.nrows) return;
  *diag << "FATAL: MPI-Regions: to much strips to be stored in a grid row in row " << failedRow
        << " (" << rankZeroStripList(regionsGrid[failedRow], nullptr, d.ncols, d.nodata)
        << " strips; a row of " << d.ncols << " columns holds at most " << stripCapacity(d.ncols)
        << "): the catchment is too fragmented there to be divided among " << d.size
        << " processes; start fewer processes"
        << "[end-entry]";
  throw tooManyStrips;
}

void defaultini::distributeRegions(Decomposition& d, long& firstRow, long& lastRow) {
  d.firstRows.resize(static_cast<size_t>(d.size));
  d.lastRows.resize(static_cast<size_t>(d.size));
  checkMPI(*diag, MPI_Bcast(d.firstRows.data(), d.size, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the first rows");
  checkMPI(*diag, MPI_Bcast(d.lastRows.data(), d.size, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the last rows");
  firstRow = d.firstRows[static_cast<size_t>(d.rank)];
  lastRow = d.lastRows[static_cast<size_t>(d.rank)];
  // All rows are on their way at once, so that the processes receive (and
  // rank 0 sends) side by side.
  const int columns = static_cast<int>(d.ncols);
  std::vector<MPI_Request> pending;
  if (d.rank == 0) {
    for (int q = 1; q < d.size; ++q) {
      const size_t p = static_cast<size_t>(q);
      for (long r = d.lo(d.firstRows[p]); r <= d.hi(d.lastRows[p]); ++r) {
        pending.emplace_back();
        checkMPI(*diag,
                 MPI_Isend(regionsGrid[r] + 1, columns, MPI_DOUBLE, q, static_cast<int>(r),
                           MPI_COMM_WORLD, &pending.back()),
                 "MPI_Isend of an MPIRegions row");
      }
    }
  } else {
    createDecompositionGrids(d, d.lo(firstRow), d.hi(lastRow));
    for (long r = d.lo(firstRow); r <= d.hi(lastRow); ++r) {
      pending.emplace_back();
      checkMPI(*diag,
               MPI_Irecv(regionsGrid[r] + 1, columns, MPI_DOUBLE, 0, static_cast<int>(r),
                         MPI_COMM_WORLD, &pending.back()),
               "MPI_Irecv of an MPIRegions row");
    }
  }
  checkMPI(*diag,
           MPI_Waitall(static_cast<int>(pending.size()), pending.data(), MPI_STATUSES_IGNORE),
           "MPI_Waitall of the MPIRegions rows");
}

// The spans of the process's own cells, (start column, count) per pair, cut
// where rank 0's list cuts them: at a cell of another worker. Rank 0 has
// checked that every row's list fits.
void defaultini::fillWorkerHelper(long firstRow, long lastRow) {
  const long ncols = header.ncols;
  const long capacity = stripCapacity(ncols);
  const double rank = mpiRank;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = firstRow; r <= lastRow; ++r) {
    const double* regions = regionsGrid[r];
    long k = 0;
    long start = 0;
    long end = 0;
    for (long c = 1; c <= ncols; ++c) {
      if (regions[c] == rank) {
        if (start == 0) start = c;
        end = c;
      } else if (start > 0 && isWorker(regions[c], nodata)) {
        storeStrip(helperGrid[r], ++k, static_cast<double>(start),
                   static_cast<double>(end - start + 1), capacity);
        start = 0;
      }
    }
    if (start > 0)
      storeStrip(helperGrid[r], ++k, static_cast<double>(start),
                 static_cast<double>(end - start + 1), capacity);
  }
}

// A cell of another process next to one of ours (the eight neighbours) holds
// its owner in "MPIHalo". Each row writes only its own cells, so rows can be
// shared among threads.
void defaultini::markHalo(long firstRow, long lastRow) {
  const long ncols = header.ncols;
  const long nrows = header.nrows;
  const double nodata = header.nodata;
  const double rank = mpiRank;
  const long top = firstRow > 1 ? firstRow - 1 : firstRow;
  const long bottom = lastRow < nrows ? lastRow + 1 : lastRow;
#pragma omp parallel for schedule(runtime)
  for (long r = top; r <= bottom; ++r) {
    const long above = r - 1 > firstRow ? r - 1 : firstRow;
    const long below = r + 1 < lastRow ? r + 1 : lastRow;
    for (long c = 1; c <= ncols; ++c) {
      const double owner = regionsGrid[r][c];
      if (owner == nodata || owner == rank) continue;
      const long left = c > 1 ? c - 1 : 1;
      const long right = c < ncols ? c + 1 : ncols;
      bool nextToOwnCell = false;
      for (long rr = above; rr <= below && !nextToOwnCell; ++rr)
        for (long cc = left; cc <= right; ++cc)
          if (regionsGrid[rr][cc] == rank) nextToOwnCell = true;
      if (nextToOwnCell) haloGrid[r][c] = owner;
    }
  }
}

// Rank 0 counted the cells of every process in its scan.
void defaultini::countCells(const Decomposition& d, std::vector<long>& cellsPerProcess) {
  cellsPerProcess.assign(static_cast<size_t>(d.size), 0);
  if (d.rank == 0) cellsPerProcess = d.cellCounts;
  checkMPI(*diag, MPI_Bcast(cellsPerProcess.data(), d.size, MPI_LONG, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the cells per process");
}

// The strips of other processes' cells that this process needs, row by row;
// strips of one peer in one row are merged across the cells between them, so
// one message carries them.
std::map<int, int> defaultini::collectHaloReceiveList(std::vector<HaloStrip>& haloReceiveList,
                                                      long lo, long hi) {
  std::map<int, int> stripsPerPeer;
  const double nodata = header.nodata;
  for (long r = lo; r <= hi; ++r) {
    double previousHalo = -1.0;
    double previousRegion = -1.0;
    for (long c = 1; c <= header.ncols; ++c) {
      const double h = haloGrid[r][c];
      const double m = regionsGrid[r][c];
      if (h == nodata) {
        previousHalo = previousRegion = -1.0;
        continue;
      }
      const int peer = static_cast<int>(h);
      const int row = static_cast<int>(r);
      const int column = static_cast<int>(c);
      if (h == previousHalo && m == previousRegion) {
        ++haloReceiveList.back().count;
      } else if (!haloReceiveList.empty() && haloReceiveList.back().peer == peer &&
                 haloReceiveList.back().row == row) {
        haloReceiveList.back().count = column - haloReceiveList.back().startColumn + 1;
      } else {
        haloReceiveList.push_back(HaloStrip{row, column, 1, peer});
        ++stripsPerPeer[peer];
      }
      previousHalo = h;
      previousRegion = m;
    }
  }
  return stripsPerPeer;
}

// Every peer learns which of its strips this process needs; the strips it
// announces in return form the send list, in the peer's receive order.
void defaultini::exchangeHaloLists(const std::map<int, int>& stripsPerPeer,
                                   const std::vector<HaloStrip>& haloReceiveList,
                                   std::vector<HaloStrip>& haloSendList) {
  const size_t peers = stripsPerPeer.size();
  std::vector<int> announced(2 * peers);
  std::vector<int> replies(2 * peers);
  std::vector<MPI_Request> pending;
  pending.reserve(2 * peers);
  size_t i = 0;
  for (const auto& [peer, strips] : stripsPerPeer) {
    announced[2 * i] = peer;
    announced[2 * i + 1] = strips;
    pending.emplace_back();
    checkMPI(*diag,
             MPI_Isend(&announced[2 * i], 2, MPI_INT, peer, 0, MPI_COMM_WORLD, &pending.back()),
             "MPI_Isend of a halo strip count");
    pending.emplace_back();
    checkMPI(*diag,
             MPI_Irecv(&replies[2 * i], 2, MPI_INT, peer, 0, MPI_COMM_WORLD, &pending.back()),
             "MPI_Irecv of a halo strip count");
    ++i;
  }
  checkMPI(*diag,
           MPI_Waitall(static_cast<int>(pending.size()), pending.data(), MPI_STATUSES_IGNORE),
           "MPI_Waitall of the halo strip counts");

  size_t incoming = 0;
  for (i = 0; i < peers; ++i) incoming += static_cast<size_t>(replies[2 * i + 1]);
  std::vector<int> outgoing(4 * haloReceiveList.size());
  std::vector<int> received(4 * incoming);
  pending.clear();
  pending.reserve(haloReceiveList.size() + incoming);
  for (size_t s = 0; s < haloReceiveList.size(); ++s) {
    const HaloStrip& strip = haloReceiveList[s];
    int* message = &outgoing[4 * s];
    message[0] = strip.row;
    message[1] = strip.startColumn;
    message[2] = strip.count;
    message[3] = mpiRank;
    pending.emplace_back();
    checkMPI(*diag, MPI_Isend(message, 4, MPI_INT, strip.peer, 0, MPI_COMM_WORLD, &pending.back()),
             "MPI_Isend of a halo strip");
  }
  size_t next = 0;
  i = 0;
  for (const auto& entry : stripsPerPeer) {
    for (int n = 0; n < replies[2 * i + 1]; ++n, ++next) {
      pending.emplace_back();
      checkMPI(*diag,
               MPI_Irecv(&received[4 * next], 4, MPI_INT, entry.first, 0, MPI_COMM_WORLD,
                         &pending.back()),
               "MPI_Irecv of a halo strip");
    }
    ++i;
  }
  checkMPI(*diag,
           MPI_Waitall(static_cast<int>(pending.size()), pending.data(), MPI_STATUSES_IGNORE),
           "MPI_Waitall of the halo strips");
  for (size_t s = 0; s < incoming; ++s)
    haloSendList.push_back(
        HaloStrip{received[4 * s], received[4 * s + 1], received[4 * s + 2], received[4 * s + 3]});
}
