// The step's volumes of the aquifer per zone, for the water balance.
#include <cstddef>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "lateral/gwflowclass.h"

namespace {

constexpr std::size_t volumeCount = static_cast<std::size_t>(gwflowclass::StepVolume::count);

} // namespace

void gwflowclass::followBalance() {
  if (!active) return;
  balanceFollowed = true;
  if (zones.records.empty()) rankZones(zones);
  const std::size_t cells =
      ownLast >= ownFirst ? static_cast<std::size_t>(ownLast - ownFirst + 1) * header.ncols : 0;
  cellVolumes.assign(cells * volumeCount, 0.0);
  for (std::vector<double>& v : zoneVolumes) v.assign(zones.records.size(), 0.0);
}

// A cell of fixed head keeps its water: what flows into it leaves the
// model there. Leakage cancels between the layers of a cell.
void gwflowclass::addCellVolumes(int k, long r, long c, const double volumes[6], double v,
                                 double gain) {
  double* cell = &cellVolumes[(static_cast<std::size_t>(r - ownFirst) * header.ncols +
                               static_cast<std::size_t>(c - 1)) *
                              volumeCount];
  auto at = [cell](StepVolume what) -> double& { return cell[static_cast<std::size_t>(what)]; };
  at(StepVolume::lateral) += volumes[0] + volumes[1] + volumes[2] + volumes[3];
  at(StepVolume::fixedFlux) += fixedFlux(k, r, c) * dx(r, c) * dy(r, c) * deltaT();
  if (layers[static_cast<std::size_t>(k)].fixedHead[r][c] != header.nodata) {
    at(StepVolume::fixedHeads) += v;
    return;
  }
  if (k == 1)
    at(StepVolume::baseflow) -= gain;
  else
    at(StepVolume::storage) += gain;
  at(StepVolume::solver) += gain - v;
}

// In row order and with exact sums, alike on any number of processes.
// Collective.
void gwflowclass::sumStepVolumes() {
  const std::size_t zoneCount = zones.records.size();
  std::vector<ExactSum> sums(volumeCount * zoneCount);
  ownCells().forEachInOrder([&](long r, long c) {
    const std::size_t z = static_cast<std::size_t>(zones.indexOf(zones.grid[r][c]));
    double* cell = &cellVolumes[(static_cast<std::size_t>(r - ownFirst) * header.ncols +
                                 static_cast<std::size_t>(c - 1)) *
                                volumeCount];
    for (std::size_t w = 0; w < volumeCount; ++w) {
      sums[w * zoneCount + z].add(cell[w]);
      cell[w] = 0.0;
    }
  });
  const char* failedCall = nullptr;
  if (reduceExactSums(sums.data(), static_cast<int>(sums.size()), false, failedCall) !=
      MPI_SUCCESS) {
    *diag << "FATAL: " << failedCall << " failed while " << moduleName
          << " summed the volumes of its water balance; the MPI installation is at fault, rerun "
             "the model."
          << "[end-entry]";
    throw mpiCallFailed;
  }
  if (mpiRank != 0) return;
  for (std::size_t w = 0; w < volumeCount; ++w)
    for (std::size_t z = 0; z < zoneCount; ++z) zoneVolumes[w][z] = sums[w * zoneCount + z].value();
}
