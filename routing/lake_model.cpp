// The lake model of channel routing: the lake grids, whole on rank 0, where
// the lakes are balanced, and their exchange with the processes that own
// the lake cells.
#include <mpi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "routing/abflussmodellklasse.h"

namespace {

bool wholeRows(const GridRegistryEntry& e, long nrows) {
  return e.grid && e.firstRow <= 1 && e.lastRow >= nrows;
}

} // namespace

abflussmodellklasse::LakeGrid abflussmodellklasse::lakeGrid(const std::string& name,
                                                            bool required) {
  LakeGrid g;
  g.index = required ? requireGrid(name) : findGrid(name, 1);
  if (g.index == 0) return g;
  const GridRegistryEntry& e = registry[g.index];
  if (!e.grid) requireGrid(name + " (allocated)");
  g.whole = e.grid;
  if (mpiRank == 0 && !wholeRows(e, header.nrows)) {
    g.whole = matrix(1, header.nrows, 1, header.ncols, header.nrows);
    lakeCopies.push_back(g.whole);
  }
  return g;
}

// Grids that every process holds alike (standard grids) must be whole on
// rank 0, where the lakes read them.
Grid abflussmodellklasse::wholeGrid(const std::string& name) {
  const int index = requireGrid(name);
  const GridRegistryEntry& e = registry[index];
  if (mpiRank == 0 && !wholeRows(e, header.nrows)) {
    *diag << "FATAL: routing_model: the lake model needs the whole grid \"" << name
          << "\" on rank 0, but it holds rows " << e.firstRow << " .. " << e.lastRow << " of "
          << header.nrows << "; read it as a standard grid"
          << "[end-entry]";
    throw 33;
  }
  return e.grid;
}

void abflussmodellklasse::findLakeGrids() {
  lakeCodesIndex = requireGrid("lake_codes");
  ponding =
      lakeGrid(findGrid("ponding_storage", 1) != 0 ? "ponding_storage" : "ponding_storage_top", true);
  transpiration = lakeGrid("real_transpiration0", true);
  bottomFlux = lakeGrid("q_downext", false);
  baseflow = lakeGrid("baseflow", false);
  tracerStacks.assign(static_cast<std::size_t>(tracerCount) + 1, 0);
  for (int k = 1; k <= tracerCount; ++k) {
    char name[64];
    std::snprintf(name, sizeof name, "concstor_tracer_%d_%s", k, "unsatzon_model");
    tracerStacks[static_cast<std::size_t>(k)] = requireGrid(name);
  }
  if (mpiRank != 0) return;
  lakeGrids.codes = wholeGrid("lake_codes");
  lakeGrids.maxPonding = wholeGrid("max_ponding_storage");
  lakeGrids.zones = wholeGrid("zonegrid_soilmodel");
  lakeGrids.elevation = wholeGrid("[elevation_model]");
  lakeGrids.ponding = ponding.whole;
  lakeGrids.transpiration = transpiration.whole;
  lakeGrids.bottomFlux = bottomFlux.whole;
  lakeGrids.baseflow = baseflow.whole;
  lakeGrids.precipitation = precOnLakes;
  lakeGrids.tracers.assign(static_cast<std::size_t>(tracerCount) + 1, nullptr);
  for (int k = 1; k <= tracerCount; ++k)
    lakeGrids.tracers[static_cast<std::size_t>(k)] =
        registry[tracerStacks[static_cast<std::size_t>(k)]].stack;
}

void abflussmodellklasse::InitLakeModel(int interceptionFirst) {
  if (configuredFlowControl <= 0) return;
  if (mpiRank != 0) {
    controlFile = std::fopen(controlFileName.c_str(), "rt");
    if (!controlFile) {
      *diag << "FATAL: error opening " << controlFileName << " (" << std::strerror(errno)
            << ") to read [lake_model]"
            << "[end-entry]";
      throw 28;
    }
    ReadLakeModelSection("[lake_model]");
    closeControlFile();
  }
  if (lakeModel == 0) return;
  lakeCellsPerRank.assign(static_cast<std::size_t>(mpiSize), 0);
  if (findGrid("lake_codes") == 0) return;
  if (mpiRank != 0) findLakeGrids();
  precipitationSource =
      interceptionFirst ? requireOneOf3Grids("snowcover_outflow", "throughfall0", "precipitation")
                        : requireOneOf3Grids("throughfall0", "snowcover_outflow", "precipitation");
  if (tracerCount > 0 && mpiSize > 1) {
    *diag << "FATAL: routing_model: lakes with tracers run on one process only, since the "
             "tracer stacks of the soil are not exchanged; start the run with one process"
          << "[end-entry]";
    throw 33;
  }
  countLakeCells();
  for (int r = 0; r < mpiSize; ++r)
    *diag << "DEBUG: lakeCellsPerMPIRank[" << r << "] "
          << lakeCellsPerRank[static_cast<std::size_t>(r)] << "[end-entry]";
  if (readGrids != 0) {
    gatherLakeGrid(ponding);
    if (flowControl > 0)
      for (std::size_t d = 1; d < elements.size(); ++d)
        elements[d]->restartLakesFromCells(startDate);
  }
  scatterLakePonding();
}

void abflussmodellklasse::countLakeCells() {
  const Grid codes = registry[lakeCodesIndex].grid;
  const Grid zoneGrid = registry[1].grid;
  const int regions = findGrid("MPIRegions");
  const Grid owners = regions != 0 ? registry[regions].grid : nullptr;
  const double nodata = header.nodata;
  long own = 0;
  for (long r = std::max(1L, header.firstRow); r <= std::min(header.nrows, header.lastRow); ++r) {
    if (rowColumnRange[r].first <= 0) continue;
    for (long c = rowColumnRange[r].first; c <= rowColumnRange[r].last; ++c)
      if (zoneGrid[r][c] > nodata && codes[r][c] > nodata &&
          (!owners || static_cast<int>(owners[r][c]) == mpiRank))
        ++own;
  }
  lakeCellsPerRank[static_cast<std::size_t>(mpiRank)] = own;
  checkMPI(*diag,
           MPI_Allreduce(MPI_IN_PLACE, lakeCellsPerRank.data(), mpiSize, MPI_LONG, MPI_SUM,
                         MPI_COMM_WORLD),
           "MPI_Allreduce of the lake cells per process");
}

// Rank 0's own cells into the whole copy, the others' by the packed gather.
void abflussmodellklasse::gatherLakeGrid(const LakeGrid& g, Grid target) {
  if (g.index == 0) return;
  Grid into = target ? target : g.whole;
  if (mpiRank == 0 && into != registry[g.index].grid)
    copyOwnLakeCells(registry[g.index].grid, into);
  MPIGatherPackedGrid(g.index, lakeCodesIndex, lakeCellsPerRank,
                      into != registry[g.index].grid ? into : nullptr);
}

void abflussmodellklasse::copyOwnLakeCells(Grid from, Grid to) {
  const Grid codes = registry[lakeCodesIndex].grid;
  const int regions = findGrid("MPIRegions");
  const Grid owners = regions != 0 ? registry[regions].grid : nullptr;
  const double nodata = header.nodata;
  const long first = std::max(1L, header.firstRow);
  const long last = std::min(header.nrows, header.lastRow);
  for (long r = first; r <= last; ++r) {
    if (rowColumnRange[r].first <= 0) continue;
    for (long c = rowColumnRange[r].first; c <= rowColumnRange[r].last; ++c)
      if (codes[r][c] > nodata && (!owners || static_cast<int>(owners[r][c]) == mpiRank))
        to[r][c] = from[r][c];
  }
}

void abflussmodellklasse::gatherLakeGrids() {
  gatherLakeGrid(ponding);
  gatherLakeGrid(transpiration);
  gatherLakeGrid(bottomFlux);
  gatherLakeGrid(baseflow);
  gatherLakeGrid(LakeGrid{precipitationSource, nullptr}, mpiRank == 0 ? precOnLakes : nullptr);
}

void abflussmodellklasse::scatterLakePonding() {
  if (configuredFlowControl <= 0 || lakeModel == 0 || ponding.index == 0) return;
  const Grid strip = registry[ponding.index].grid;
  const bool copied = mpiRank == 0 && ponding.whole != strip;
  if (copied) copyOwnLakeCells(ponding.whole, strip);
  MPIScatterPackedGrid(ponding.index, lakeCodesIndex, lakeCellsPerRank,
                       copied ? ponding.whole : nullptr);
}

// A former run wrote its ponding grid before the last routing step set the
// lake cells, so the cells lag one step behind the lake's stored volume.
void abflussmodellklasse::restoreLakeCells(int readMode) {
  if (configuredFlowControl <= 0 || lakeModel == 0 || lakeCodesIndex == 0) return;
  if (readMode == 0 || readMode == 2 || readMode == 4) return;
  if (flowControl > 0)
    for (std::size_t d = 1; d < elements.size(); ++d) elements[d]->setLakeCellsFromVolumes();
  scatterLakePonding();
}

void abflussmodellklasse::collectReservoirs(std::vector<SP_class*>& list) {
  for (std::size_t d = 1; d < elements.size(); ++d) elements[d]->CollectReservoirs(list);
}

void abflussmodellklasse::freeLakeCopies() {
  for (Grid g : lakeCopies) free_matrix(g, 1, header.nrows, 1, header.ncols);
  lakeCopies.clear();
}
