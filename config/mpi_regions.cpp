#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "config/control_file_session.h"
#include "config/defaultini.h"
#include "config/mpi_decomposition.h"
#include "core/collective_status.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/string_helpers.h"

namespace {

const char* const speedFileName = "MpiSpeedFactor.dat";
constexpr long benchmarkSize = 1000;
constexpr int benchmarkRepetitions = 30;

} // namespace

void defaultini::makeMPIRegions(std::vector<long>& cellsPerProcess,
                                std::vector<HaloStrip>& haloSendList,
                                std::vector<HaloStrip>& haloReceiveList, long& firstRow,
                                long& lastRow) {
  firstRow = 1;
  lastRow = header.nrows;
  Decomposition d;
  d.size = mpiSize;
  d.rank = mpiRank;
  d.ncols = header.ncols;
  d.nrows = header.nrows;
  d.nodata = header.nodata;

  int failure = catchExitCode([&] {
    reserveDecompositionEntries(d);
    if (d.rank == 0) createDecompositionGrids(d, 1, d.nrows);
  });
  double ownTime = 0.0;
  if (failure == 0) failure = catchExitCode([&] { ownTime = measureTime(); });
  const std::vector<double> times = collectTimes(ownTime);
  if (d.rank == 0) {
    d.weights = weightsOf(times);
    if (failure == 0)
      failure = catchExitCode([&] {
        d.zone = registry[1].grid;
        d.useLinks = riverLinksRequested(d);
        takeCensus(d);
        assignQuotas(d);
        assignCells(d);
        fillRankZeroHelper(d);
      });
  }
  shareExitCode(*diag, failure);

  broadcastRiverLinks(riverLinks, *diag, d.rank);
  localLinkCellsByOwner = makeLocalLinkCellsByOwner(riverLinks, d.rank);
  ownedLinkCellsByProcess = makeOwnedLinkCellsByProcess(riverLinks, d.rank, d.size);
  if (!riverLinks.empty())
    builtOnceFrom(findGrid("river_links", 1),
                  "the set-up gives every river link to one process and lists its cells");
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier after the river-link tables");

  distributeRegions(d, firstRow, lastRow);
  if (d.rank != 0) fillWorkerHelper(firstRow, lastRow);
  countCells(d, cellsPerProcess);
  haloReceiveList.clear();
  haloSendList.clear();
  // A single process has no neighbours: its halo stays empty.
  if (d.size == 1) return;
  markHalo(firstRow, lastRow);
  const std::map<int, int> stripsPerPeer =
      collectHaloReceiveList(haloReceiveList, d.lo(firstRow), d.hi(lastRow));
  exchangeHaloLists(stripsPerPeer, haloReceiveList, haloSendList);
}

void defaultini::benchmarkKernel(Grid first, Grid second, Grid third, long rows, long columns) {
#pragma omp parallel for schedule(runtime)
  for (long i = 1; i <= rows; ++i) {
    for (long j = 1; j <= columns; ++j) {
      const double x = static_cast<double>(i + j);
      first[i][j] = std::cos(x);
      second[i][j] = std::sin(x);
      third[i][j] = std::atan(std::sin(x) * first[i][j]);
    }
  }
}

// A time read from "MpiSpeedFactor.dat" replaces the measurement (a larger
// time is a slower process).
double defaultini::measureTime() {
  if (FILE* file = std::fopen(speedFileName, "r")) {
    // Its first word, wholly a finite number: nan or inf would weigh every
    // process alike or give one all the cells.
    double time = 0.0;
    std::string word;
    const bool read = readControlWordFrom(file, word) && parseNumber(word, time);
    std::fclose(file);
    if (read) return time;
    *diag << "WARNING: " << speedFileName << " holds no number; measuring the speed of process "
          << mpiRank << " instead"
          << "[end-entry]";
  }
  Grid grids[3] = {};
  double time = 0.0;
  try {
    for (Grid& g : grids) g = matrix(1, benchmarkSize, 1, benchmarkSize, benchmarkSize);
    for (int n = 0; n < benchmarkRepetitions; ++n) {
      const double start = MPI_Wtime();
      benchmarkKernel(grids[0], grids[1], grids[2], benchmarkSize, benchmarkSize);
      time += MPI_Wtime() - start;
    }
  } catch (...) {
    for (Grid g : grids) free_matrix(g, 1, benchmarkSize, 1, benchmarkSize);
    throw;
  }
  for (Grid g : grids) free_matrix(g, 1, benchmarkSize, 1, benchmarkSize);
  *diag << "MPI wtime: " << time << "for instance: " << mpiRank << "[end-entry]";
  return time;
}

std::vector<double> defaultini::collectTimes(double ownTime) {
  if (mpiRank != 0) {
    checkMPI(*diag, MPI_Send(&ownTime, 1, MPI_DOUBLE, 0, mpiRank, MPI_COMM_WORLD),
             "MPI_Send of the process time");
    return {};
  }
  std::vector<double> times(static_cast<size_t>(mpiSize), 0.0);
  times[0] = ownTime;
  for (int r = 1; r < mpiSize; ++r)
    checkMPI(*diag,
             MPI_Recv(&times[static_cast<size_t>(r)], 1, MPI_DOUBLE, r, r, MPI_COMM_WORLD,
                      MPI_STATUS_IGNORE),
             "MPI_Recv of a process time");
  for (int r = 0; r < mpiSize; ++r)
    *diag << "received MPI wtime: " << times[static_cast<size_t>(r)] << " for instance: " << r
          << "[end-entry]";
  return times;
}

std::vector<double> defaultini::weightsOf(const std::vector<double>& times) {
  std::vector<double> weights(times.size());
  double sum = 0.0;
  for (size_t r = 0; r < times.size(); ++r) {
    weights[r] = times[r] > 0.0 ? 1.0 / times[r] : 1.0;
    sum += weights[r];
  }
  for (size_t r = 0; r < weights.size(); ++r) {
    weights[r] /= sum;
    *diag << "MPI performance weight: " << weights[r] << " for instance: " << static_cast<int>(r)
          << "[end-entry]";
  }
  return weights;
}

// River links take part only when the unsaturated zone re-infiltrates river
// water (fourth value of its section is 2) and the grid "river_links" exists.
bool defaultini::riverLinksRequested(Decomposition& d) {
  // Standard grids not yet read carry no grid, so the search must pass them.
  const int linksIndex = findGrid("river_links", 1);
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag, "FATAL: Error opening ");
  int values[4] = {};
  const bool found = seekSection("[unsatzon_model]", false) == 1;
  for (int& value : values) {
    if (!found) break;
    if (std::fscanf(controlFile, "%d", &value) != 1)
      controlFileKeyNotFound("looking for re-infiltration parameter in [unsatzon_model]", "");
    readRestOfLine(controlFile, lineBuffer);
  }
  session.closeOrFail(controlFileName, *diag);
  if (!found || values[3] != 2 || linksIndex < 1 || !registry[linksIndex].grid) return false;
  d.links = registry[linksIndex].grid;
  return true;
}

void defaultini::takeCensus(Decomposition& d) {
  const Grid elevation = registry[2].grid;
  std::vector<RiverLinkCell> linkCells;
  for (long r = 1; r <= d.nrows; ++r) {
    for (long c = 1; c <= d.ncols; ++c) {
      if (!(d.zone[r][c] > d.nodata)) continue;
      if (!d.isLinkCell(r, c)) {
        ++d.regularCells;
        continue;
      }
      if (!(d.links[r][c] < 2147483648.0)) {
        *diag << "FATAL: MPI-Regions: river link id " << d.links[r][c] << " in row " << r
              << ", column " << c << " of the grid river_links does not fit in 32 bits"
              << "[end-entry]";
        throw decompositionImpossible;
      }
      RiverLinkCell cell;
      cell.row = static_cast<int>(r);
      cell.column = static_cast<int>(c);
      cell.linkId = static_cast<int>(d.links[r][c]);
      cell.elevation = elevation[r][c];
      linkCells.push_back(cell);
      ++d.riverCells;
    }
  }
  std::stable_sort(linkCells.begin(), linkCells.end(),
                   [](const RiverLinkCell& a, const RiverLinkCell& b) {
                     if (a.linkId != b.linkId) return a.linkId < b.linkId;
                     return a.elevation > b.elevation;
                   });
  riverLinks.clear();
  for (const RiverLinkCell& cell : linkCells) {
    if (riverLinks.empty() || riverLinks.back()->id != cell.linkId) {
      riverLinks.push_back(std::make_unique<RiverLink>());
      riverLinks.back()->id = cell.linkId;
    }
    riverLinks.back()->addCell(cell);
  }
  std::stable_sort(riverLinks.begin(), riverLinks.end(),
                   [](const std::unique_ptr<RiverLink>& a, const std::unique_ptr<RiverLink>& b) {
                     return a->count > b->count;
                   });
  *diag << "MPI regular cells: " << d.regularCells << "\nMPI river cells: " << d.riverCells
        << "[end-entry]";

  const long validCells = d.regularCells + d.riverCells;
  if (validCells < d.size) {
    *diag << "FATAL: MPI-Regions: cannot divide the " << validCells
          << " valid cells of the zone grid " << registry[1].fileName << " among " << d.size
          << " MPI processes: every process needs at least one cell; start fewer processes"
          << "[end-entry]";
    throw decompositionImpossible;
  }
}

// Quotas in proportion to the weights; the links, largest first, go whole to
// the process whose turn it is.
void defaultini::assignQuotas(Decomposition& d) {
  const long total = d.regularCells + d.riverCells;
  d.quotas.assign(static_cast<size_t>(d.size), 0);
  size_t k = 0;
  long regularGiven = 0;
  long linkCellsGiven = 0;
  long lastShare = 0; // regular cells left for the last process
  for (int p = 0; p < d.size; ++p) {
    long q = 0;
    if (p < d.size - 1) {
      q = static_cast<long>(
          std::floor(static_cast<double>(total) * d.weights[static_cast<size_t>(p)] + 0.4999));
    } else {
      lastShare = d.regularCells - regularGiven;
      q = total - regularGiven - linkCellsGiven;
    }
    auto give = [&](RiverLink& link) {
      link.owner = p;
      for (RiverLinkCell& cell : link.getCells()) cell.linkOwner = p;
      q -= link.count;
      linkCellsGiven += link.count;
      ++k;
    };
    if (k < riverLinks.size()) {
      give(*riverLinks[k]);
      if (q <= 0) q = 1;
    }
    while (k < riverLinks.size() && q - riverLinks[k]->count > 0) give(*riverLinks[k]);
    d.quotas[static_cast<size_t>(p)] = q;
    regularGiven += q;

    *diag << "MPI num cells: " << q << " for instance: " << p << "[end-entry]";
    long sum = q;
    for (size_t i = 0; i < k; ++i) {
      if (riverLinks[i]->owner != p) continue;
      *diag << " + link cells: " << riverLinks[i]->count << " for river link " << riverLinks[i]->id
            << "[end-entry]";
      sum += riverLinks[i]->count;
    }
    if (sum > q) *diag << "        total: " << sum << " for instance " << p << "[end-entry]";
  }

  // Every process needs at least one regular cell, so that each count ends
  // exactly at its last cell in the scan; the last process takes what the
  // rounding of the others leaves (links the others could not take included).
  for (int p = 0; p < d.size; ++p) {
    const long q = p < d.size - 1 ? d.quotas[static_cast<size_t>(p)] : lastShare;
    if (q >= 1) continue;
    *diag << "FATAL: MPI-Regions: process " << p << " gets a quota of " << q << " of the "
          << d.regularCells << " regular cells (" << d.riverCells << " river-link cells, " << d.size
          << " processes); every process needs at least one: start fewer processes or use more "
             "even times in "
          << speedFileName << "[end-entry]";
    throw decompositionImpossible;
  }
}

// Hands out the cells in row order, the highest rank first; a process's last
// row is the row of its last cell.
void defaultini::assignCells(Decomposition& d) {
  d.firstRows.assign(static_cast<size_t>(d.size), -1);
  d.lastRows.assign(static_cast<size_t>(d.size), -1);
  std::vector<long> count = d.quotas;
  d.cellCounts.assign(static_cast<size_t>(d.size), 0);
  int c = d.size - 1;
  for (long r = 1; r <= d.nrows; ++r) {
    for (long col = 1; col <= d.ncols; ++col) {
      if (!(d.zone[r][col] > d.nodata)) continue;
      const size_t p = static_cast<size_t>(c);
      if (d.firstRows[p] == -1) d.firstRows[p] = static_cast<int>(r);
      d.lastRows[p] = static_cast<int>(r);
      regionsGrid[r][col] = c;
      ++d.cellCounts[p];
      if (!d.isLinkCell(r, col)) --count[p];
      if (count[p] == 0 && c > 0) --c;
    }
  }
  for (auto& link : riverLinks) {
    std::vector<RiverLinkCell>& cells = link->getCells();
    for (size_t i = 0; i < cells.size(); ++i) {
      cells[i].cellOwner = static_cast<int>(regionsGrid[cells[i].row][cells[i].column]);
      cells[i].indexInLink = static_cast<int>(i);
    }
  }
}
