#include <mpi.h>

#include <cstddef>
#include <vector>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

namespace {

constexpr int maxRegionCodeAllowed = 32767;
constexpr int maxRegions = 30;
constexpr int invalidRegionCode = 3;
constexpr int tooManyRegions = 4;

} // namespace

void defaultini::rankRegionCodes(int regionGridIndex) {
  const int failure = mpiRank == 0 ? catchExitCode([&] { scanRegions(regionGridIndex); }) : 0;
  shareExitCode(*diag, failure);
  if (mpiSize > 1) shareRegionRanking();
}

// Rank 0: ranks and centres from the whole region grid, inside the zone grid.
void defaultini::scanRegions(int regionGridIndex) {
  const Grid regions = registry[regionGridIndex].grid;
  const Grid zone = registry[1].grid;
  const std::string& file = registry[regionGridIndex].fileName;
  const double nodata = header.nodata;
  *diag << "ranking regions from " << file << " for " << moduleName << "[end-entry]";

  std::vector<int> ranks(maxRegionCodeAllowed + 1, 0);
  int distinct = 0;
  maxRegionCode = 0;
  for (long r = 1; r <= header.nrows; ++r)
    for (long k = 1; k <= header.ncols; ++k) {
      if (zone[r][k] == nodata) continue;
      const double value = regions[r][k];
      // Codes are the values truncated toward zero; nodata is no code.
      if (!(value >= 1.0 && value < maxRegionCodeAllowed + 1.0)) {
        *diag << "FATAL: invalid region code in " << file << "!\n (codes has to be between 1 and "
              << maxRegionCodeAllowed << ")!\n"
              << "[end-entry]";
        throw invalidRegionCode;
      }
      const int code = static_cast<int>(value);
      if (ranks[static_cast<size_t>(code)] != 0) continue;
      if (++distinct > maxRegions) {
        *diag << "FATAL: too much zones in " << file << ", (max. " << maxRegions << ")!\n"
              << "[end-entry]";
        throw tooManyRegions;
      }
      ranks[static_cast<size_t>(code)] = 1;
      if (code > maxRegionCode) maxRegionCode = code;
    }

  regionCount = 0;
  for (int code = 0; code <= maxRegionCode; ++code)
    if (ranks[static_cast<size_t>(code)] != 0) ranks[static_cast<size_t>(code)] = ++regionCount;
  ranks.resize(static_cast<size_t>(maxRegionCode) + 1);
  regionRanks = std::move(ranks);

  regionCentres.assign(static_cast<size_t>(regionCount) + 1, RegionCentre{});
  std::vector<double> rowSums(regionCentres.size(), 0.0);
  std::vector<double> columnSums(regionCentres.size(), 0.0);
  for (long r = 1; r <= header.nrows; ++r)
    for (long k = 1; k <= header.ncols; ++k) {
      if (zone[r][k] == nodata || regions[r][k] == nodata) continue;
      const size_t rank = static_cast<size_t>(regionRanks[static_cast<size_t>(regions[r][k])]);
      rowSums[rank] += static_cast<double>(r);
      columnSums[rank] += static_cast<double>(k);
      regionCentres[rank].cellCount += 1.0;
    }
  for (size_t rank = 1; rank < regionCentres.size(); ++rank) {
    RegionCentre& centre = regionCentres[rank];
    centre.meanRow = rowSums[rank] / centre.cellCount;
    centre.meanColumn = columnSums[rank] / centre.cellCount;
    centre.centreRow = static_cast<int>(centre.meanRow);
    centre.centreColumn = static_cast<int>(centre.meanColumn);
  }
}

void defaultini::shareRegionRanking() {
  int sizes[2] = {regionCount, maxRegionCode};
  checkMPI(*diag, MPI_Bcast(sizes, 2, MPI_INT, 0, MPI_COMM_WORLD), "MPI_Bcast of the region count");
  if (mpiRank != 0) {
    regionCount = sizes[0];
    maxRegionCode = sizes[1];
    regionRanks.assign(static_cast<size_t>(maxRegionCode) + 1, 0);
    regionCentres.assign(static_cast<size_t>(regionCount) + 1, RegionCentre{});
  }
  checkMPI(*diag, MPI_Bcast(regionRanks.data(), maxRegionCode + 1, MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the region ranks");

  const int lengths[5] = {1, 1, 1, 1, 1};
  const MPI_Aint offsets[5] = {offsetof(RegionCentre, centreRow),
                               offsetof(RegionCentre, centreColumn),
                               offsetof(RegionCentre, meanRow), offsetof(RegionCentre, meanColumn),
                               offsetof(RegionCentre, cellCount)};
  const MPI_Datatype types[5] = {MPI_INT, MPI_INT, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE};
  MPI_Datatype centreType = MPI_DATATYPE_NULL;
  checkMPI(*diag, MPI_Type_create_struct(5, lengths, offsets, types, &centreType),
           "MPI_Type_create_struct");
  checkMPI(*diag, MPI_Type_commit(&centreType), "MPI_Type_commit");
  checkMPI(*diag, MPI_Bcast(regionCentres.data(), regionCount + 1, centreType, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the region centres");
  MPI_Type_free(&centreType);
}
