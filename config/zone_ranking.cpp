#include <mpi.h>

#include <cmath>
#include <cstdio>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

namespace {

constexpr int maxZoneCodeAllowed = 32767;
constexpr int maxZones = 16000;

} // namespace

void defaultini::rankZoneCodes(GridRegistryEntry* zoneRegistry, Grid weights, long ncols,
                               long nrows, double nodata) {
  const int failure =
      mpiRank == 0 ? catchExitCode([&] { scanZones(zoneRegistry, weights, ncols, nrows, nodata); })
                   : 0;
  shareExitCode(*diag, failure);
  if (mpiSize > 1) shareZoneRanking(nrows);
  rowColumnRange = columnRanges.data();
}

// Rank 0: ranks, records and column ranges from the whole zone grid.
void defaultini::scanZones(const GridRegistryEntry* zoneRegistry, Grid weights, long ncols,
                           long nrows, double nodata) {
  const Grid zone = zoneRegistry[1].grid;
  const std::string& file = zoneRegistry[1].fileName;
  *diag << "ranking zones from " << file << " for " << moduleName << "[end-entry]";

  columnRanges.assign(static_cast<size_t>(nrows + 1), RowColumnRange{0, -1});
  std::vector<int> ranks(maxZoneCodeAllowed + 1, 0);
  std::vector<double> cells(maxZoneCodeAllowed + 1, 0.0);
  std::vector<double> weightSums(maxZoneCodeAllowed + 1, 0.0);
  int distinct = 0;
  maxZoneCode = 0;
  for (long r = 1; r <= nrows; ++r) {
    RowColumnRange& range = columnRanges[static_cast<size_t>(r)];
    for (long c = 1; c <= ncols; ++c) {
      const double value = zone[r][c];
      if (value == nodata) continue;
      if (range.first == 0) range.first = c;
      range.last = c;
      // A code is a subbasin: 0 or a fraction would be ranked as a zone of
      // its own and fail only later, far from this grid.
      if (!(value >= 1.0 && value <= maxZoneCodeAllowed) || value != std::floor(value)) {
        char text[32];
        std::snprintf(text, sizeof text, "%.10g", value);
        *diag << "FATAL: invalid zone code " << text << " in the zone grid " << file
              << " ([zone_grid]) at row " << r << ", column " << c
              << ": codes must be whole numbers from 1 to " << maxZoneCodeAllowed
              << "; give every cell of the catchment the code of its subbasin, and the nodata "
                 "value of the file to the cells outside it"
              << "[end-entry]";
        throw 3;
      }
      const int code = static_cast<int>(value);
      if (ranks[static_cast<size_t>(code)] == 0) {
        if (++distinct > maxZones) {
          *diag << "FATAL: too much zones in " << file << ", (max. " << maxZones << ")!"
                << "[end-entry]";
          throw 4;
        }
        ranks[static_cast<size_t>(code)] = 1;
        if (code > maxZoneCode) maxZoneCode = code;
      }
      cells[static_cast<size_t>(code)] += 1.0;
      weightSums[static_cast<size_t>(code)] += weights ? weights[r][c] : 1.0;
    }
  }

  zoneCount = 0;
  double totalWeight = 0.0;
  for (int code = 0; code <= maxZoneCode; ++code) {
    if (ranks[static_cast<size_t>(code)] == 0) continue;
    ranks[static_cast<size_t>(code)] = ++zoneCount;
    totalWeight += weightSums[static_cast<size_t>(code)];
  }
  if (zoneCount < 1 || totalWeight == 0.0) {
    *diag << "FATAL: all cells in the zone grid " << file << " are NODATA!"
          << "[end-entry]";
    throw 7;
  }
  ranks.resize(static_cast<size_t>(maxZoneCode) + 1);
  zoneRanks = std::move(ranks);
  zoneRecords.assign(static_cast<size_t>(zoneCount) + 1, ZoneRecord{});
  for (int code = 0; code <= maxZoneCode; ++code) {
    const int rank = zoneRanks[static_cast<size_t>(code)];
    if (rank == 0) continue;
    ZoneRecord& record = zoneRecords[static_cast<size_t>(rank)];
    record.weightSum = record.effectiveWeight = weightSums[static_cast<size_t>(code)];
    record.valueSum = cells[static_cast<size_t>(code)];
    record.code = code;
    record.areaFraction = record.weightSum / totalWeight;
  }
  // The domain area in square kilometres for a cell size in metres.
  zoneRecords[0].areaFraction = header.cellsize * (totalWeight * header.cellsize) / 1000000.0;
}

// Rank 0's results to every process; the others keep the column ranges of
// their own rows only.
void defaultini::shareZoneRanking(long nrows) {
  int sizes[2] = {zoneCount, maxZoneCode};
  checkMPI(*diag, MPI_Bcast(sizes, 2, MPI_INT, 0, MPI_COMM_WORLD), "MPI_Bcast of the zone count");
  if (mpiRank != 0) {
    zoneCount = sizes[0];
    maxZoneCode = sizes[1];
    zoneRanks.assign(static_cast<size_t>(maxZoneCode) + 1, 0);
    zoneRecords.assign(static_cast<size_t>(zoneCount) + 1, ZoneRecord{});
    columnRanges.assign(static_cast<size_t>(nrows + 1), RowColumnRange{0, -1});
  }
  checkMPI(*diag, MPI_Bcast(zoneRanks.data(), maxZoneCode + 1, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the zone ranks");

  MPI_Datatype recordType = MPI_DATATYPE_NULL;
  MPI_Datatype rangeType = MPI_DATATYPE_NULL;
  checkMPI(*diag, MPI_Type_contiguous(5, MPI_DOUBLE, &recordType), "MPI_Type_contiguous");
  checkMPI(*diag, MPI_Type_commit(&recordType), "MPI_Type_commit");
  checkMPI(*diag, MPI_Type_contiguous(2, MPI_LONG, &rangeType), "MPI_Type_contiguous");
  checkMPI(*diag, MPI_Type_commit(&rangeType), "MPI_Type_commit");
  checkMPI(*diag, MPI_Bcast(zoneRecords.data(), zoneCount + 1, recordType, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the zone records");
  checkMPI(
      *diag,
      MPI_Bcast(columnRanges.data(), static_cast<int>(nrows + 1), rangeType, 0, MPI_COMM_WORLD),
      "MPI_Bcast of the row column ranges");
  MPI_Type_free(&recordType);
  MPI_Type_free(&rangeType);

  if (mpiRank == 0) return;
  for (long r = 0; r <= nrows; ++r)
    if (r < header.firstRow || r > header.lastRow)
      columnRanges[static_cast<size_t>(r)] = RowColumnRange{0, -1};
}
