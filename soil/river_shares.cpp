// The river water each river cell may take in a sub-step: its record's
// offer shared among the cells that draw from the record, in proportion to
// what each would take, on every layout alike.

#include <mpi.h>

#include <algorithm>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

std::vector<double> demandsByRecord(std::vector<RiverDemand>& demands, std::size_t records) {
  std::sort(demands.begin(), demands.end(),
            [](const RiverDemand& a, const RiverDemand& b) { return a.position < b.position; });
  std::vector<double> sums(records, 0.0);
  for (const RiverDemand& d : demands) {
    const auto record = static_cast<std::size_t>(d.record);
    if (record < records) sums[record] += d.rate;
  }
  return sums;
}

// The cells this process solves that may draw from a record: in link order
// the row beside the strip, else its own linked cells.
template <typename F> void unsatzonmodellklasse::forEachDrawingCell(F f) {
  if (settings.interaction > 1) {
    if (!reinfiltrationExchange.substituted()) return;
    const long row = header.firstRow - 1;
    const RowColumnRange& range = rowColumnRange[row];
    for (long c = range.first; c <= range.last; ++c)
      if (zones.grid[row][c] != header.nodata && isLinkedRiverCell(row, c)) f(row, c);
    return;
  }
  if (!linkedCellsListed) listLinkedCells();
  for (const auto& cells : linkedCells)
    for (const auto& [r, c] : cells) f(r, c);
}

// Collective. What a cell would take is its river's loss at the start of
// the sub-step; the sums travel with every cell's place in the whole grid
// and are added in that order, so that no layout changes a share.
void unsatzonmodellklasse::shareRiverWater() {
  if (!rivers.links) return;
  riverShares.clear();
  ownDemands.clear();
  riverShareColumns = std::max(header.ncols, reinfiltrationExchange.foreignCellCount()) + 1;
  const int code = catchExitCode([&] {
    forEachDrawingCell([&](long r, long c) {
      RiverOffer offer;
      if (!riverOf(r, c, offer) || offer.record == 0) return;
      const soil_class& soil = (*context.soilTable)[static_cast<size_t>(soilTypes[r][c])];
      const int n = soil.getLayerCount();
      const double surface = geodeticHeads[r][c][0];
      const RiverBank bank{soil.getThicknessArray(),
                           surface,
                           hydraulicHeads[r][c],
                           n,
                           std::clamp(static_cast<int>(tableLayer[r][c]), 1, n),
                           surface + tableDistance[r][c]};
      const double size = header.cellsize;
      long homeRow = r;
      long homeColumn = c;
      reinfiltrationExchange.homeOf(homeRow, homeColumn);
      ownDemands.push_back({static_cast<double>((homeRow - 1) * header.ncols + homeColumn),
                            static_cast<double>(offer.record),
                            riverLoss(bank, offer.cell) * size * size * offer.share});
      riverShares[riverShareKey(r, c)] = {static_cast<std::size_t>(offer.record),
                                          ownDemands.back().rate};
    });
  });
  shareExitCode(*diag, code);

  const int own = static_cast<int>(ownDemands.size() * 3);
  int size = 1;
  checkMPI(*diag, MPI_Comm_size(MPI_COMM_WORLD, &size), "MPI_Comm_size");
  std::vector<int> counts(static_cast<std::size_t>(size), 0);
  checkMPI(*diag, MPI_Allgather(&own, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD),
           "MPI_Allgather of the river cells' demand counts");
  std::vector<int> offsets(counts.size(), 0);
  for (std::size_t p = 1; p < counts.size(); ++p) offsets[p] = offsets[p - 1] + counts[p - 1];
  allDemands.resize(static_cast<std::size_t>(offsets.back() + counts.back()) / 3);
  static_assert(sizeof(RiverDemand) == 3 * sizeof(double), "a demand travels as three doubles");
  checkMPI(*diag,
           MPI_Allgatherv(ownDemands.data(), own, MPI_DOUBLE, allDemands.data(), counts.data(),
                          offsets.data(), MPI_DOUBLE, MPI_COMM_WORLD),
           "MPI_Allgatherv of the river cells' demands");
  const std::vector<double> sums = demandsByRecord(allDemands, reinfiltration.size());

  // The record offers its flow, but never more than the channel holds.
  const double stepSeconds = timeStepMinutes * 60.0;
  for (auto& [key, share] : riverShares) {
    const ReinfiltrationRecord& offered = reinfiltration[share.record];
    const double offer =
        std::max(0.0, std::min(offered.flowm3s, offered.held / stepSeconds)) / substeps;
    const double sum = sums[share.record];
    share.rate = sum > 0.0 ? offer * (share.rate / sum) : 0.0;
  }
}

double unsatzonmodellklasse::riverShareOf(long r, long c) const {
  const auto found = riverShares.find(riverShareKey(r, c));
  return found == riverShares.end() ? 0.0 : found->second.rate;
}

long unsatzonmodellklasse::riverShareKey(long r, long c) const {
  return r * riverShareColumns + c;
}
