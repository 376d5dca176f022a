#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

namespace {

constexpr int unknownMultilayerType = 311;
constexpr double emptyLayer = -9999.0;

} // namespace

void defaultini::makeLanduseLayerGrids() {
  landuseLayerGrids.clear();
  landuseLayerCount = 0;
  const int layers = multilayerTable.size() > 1 ? multilayerTable[1].getLayerCount() : 0;
  const int landuseIndex = findGrid("landuse", 1);
  if (landuseIndex < 1 || !registry[landuseIndex].grid) return;
  landuseLayerGrids.assign(static_cast<size_t>(layers) + 1, nullptr);
  landuseLayerGrids[0] = registry[landuseIndex].grid;
  landuseLayerCount = layers;

  const long first = stripFirstRow();
  const long last = stripLastRow();
  for (int k = 1; k <= layers; ++k) {
    const int index = takeFreeEntry("FATAL: no free grid found in memory (at position ", ")\n");
    const std::string name = "landuse" + std::to_string(k);
    landuseLayerGrids[static_cast<size_t>(k)] =
        registerDerivedGrid(index, name, name, first, last, header.nodata);
  }
  fillLanduseLayerGrids(landuseIndex);
}

// Each process fills the cells it owns; the halo exchange brings the rest.
void defaultini::fillLanduseLayerGrids(int landuseIndex) {
  const long first = stripFirstRow();
  const long last = stripLastRow();
  const int layers = landuseLayerCount;
  const Grid zone = registry[1].grid;
  const Grid landuse = landuseLayerGrids[0];
  const int regions = findGrid("MPIRegions", 1);
  const Grid owners = regions > 0 ? registry[regions].grid : nullptr;
  const double nodata = header.nodata;
  const long ncols = header.ncols;
  const long types = static_cast<long>(multilayerTable.size()) - 1;
  const int rank = mpiRank;
  long failedCell = LONG_MAX;
#pragma omp parallel for schedule(runtime) reduction(min : failedCell)
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= ncols; ++c) {
      if (zone[r][c] == nodata || (owners && static_cast<int>(owners[r][c]) != rank)) continue;
      const double type = landuse[r][c];
      if (!(type >= 1.0 && type < static_cast<double>(types) + 1.0)) {
        failedCell = std::min(failedCell, r * (ncols + 1) + c);
        continue;
      }
      const std::vector<int>& codes = multilayerTable[static_cast<size_t>(type)].getLayerCodes();
      const int available = static_cast<int>(codes.size()) - 1;
      for (int k = 1; k <= layers; ++k)
        landuseLayerGrids[static_cast<size_t>(k)][r][c] =
            k <= available ? static_cast<double>(codes[static_cast<size_t>(k)]) : emptyLayer;
    }
  int failure = 0;
  if (failedCell != LONG_MAX) {
    const long r = failedCell / (ncols + 1);
    const long c = failedCell % (ncols + 1);
    *diag << "FATAL: the grid landuse (" << registry[landuseIndex].fileName << ") holds "
          << landuse[r][c] << " at row " << r << ", column " << c
          << ", which is no record of the multilayer-landuse-table (1 .. " << types << ")"
          << "[end-entry]";
    failure = unknownMultilayerType;
  }
  shareExitCode(*diag, failure);
  for (int k = 1; k <= layers; ++k)
    MPIExchangeGridHalo(0, landuseLayerGrids[static_cast<size_t>(k)]);
}
