#include "vertical/zone_grid.h"

#include "core/diag_stream.h"
#include "core/modelobject.h"

namespace {

constexpr int registryFullCode = 12;

} // namespace

int freeRegistryEntry(modelobject& module) {
  const int free = module.firstFreeRegistryIndex();
  if (free < gridRegistryLimit) return free;
  *module.getDiag() << "FATAL: no free grid left" << gridRegistryLimit << "[end-entry]";
  throw registryFullCode;
}

Grid zoneFilledGrid(modelobject& module, long first, long last, double inside) {
  const GridHeader& header = module.getHeader();
  const GridRegistryEntry& zone = module.getRegistry()[1];
  Grid grid = module.matrix(first, last, 1, header.ncols, header.nrows);
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r) {
    const bool zoneRow = r >= zone.firstRow && r <= zone.lastRow;
    for (long c = 1; c <= header.ncols; ++c)
      grid[r][c] = zoneRow && zone.grid[r][c] != header.nodata ? inside : header.nodata;
  }
  return grid;
}
