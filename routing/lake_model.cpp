// The lake model of channel routing: the list of lake cells on rank 0, where
// the lakes are balanced, and the exchange of their values with the
// processes that own the cells.
#include <mpi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "routing/abflussmodellklasse.h"

int abflussmodellklasse::lakeGridIndex(const std::string& name, bool required) {
  const int index = required ? requireGrid(name) : findGrid(name, 1);
  if (index != 0 && !registry[index].grid) requireGrid(name + " (allocated)");
  return index;
}

// Grids the lakes read only at set-up, while the set-up still holds them
// over every row on rank 0.
Grid abflussmodellklasse::wholeGrid(const std::string& name) {
  const int index = requireGrid(name);
  const GridRegistryEntry& e = registry[index];
  if (mpiRank == 0 && !(e.grid && e.firstRow <= 1 && e.lastRow >= header.nrows)) {
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
  builtOnceFrom(lakeCodesIndex, "channel routing lists the cells of every lake from it at set-up");
  pondingIndex = lakeGridIndex(
      findGrid("ponding_storage", 1) != 0 ? "ponding_storage" : "ponding_storage_top", true);
  transpirationIndex = lakeGridIndex("real_transpiration0", true);
  bottomFluxIndex = lakeGridIndex("q_downext", false);
  baseflowIndex = lakeGridIndex("baseflow", false);
  tracerStacks.assign(static_cast<std::size_t>(tracerCount) + 1, 0);
  for (int k = 1; k <= tracerCount; ++k) {
    char name[64];
    std::snprintf(name, sizeof name, "concstor_tracer_%d_%s", k, "unsatzon_model");
    tracerStacks[static_cast<std::size_t>(k)] = requireGrid(name);
  }
  if (mpiRank == 0) listLakeCells();
}

// Every cell of "lake_codes" in row-major order, the order in which each
// process sends its own, with the values the lakes take at set-up.
void abflussmodellklasse::listLakeCells() {
  const Grid codes = wholeGrid("lake_codes");
  const Grid maxPonding = wholeGrid("max_ponding_storage");
  const Grid zones = wholeGrid("zonegrid_soilmodel");
  const Grid elevation = wholeGrid("[elevation_model]");
  const int regions = findGrid("MPIRegions");
  const Grid owners = regions != 0 ? registry[regions].grid : nullptr;
  LakeCells& g = lakeCells;
  g = LakeCells{};
  g.sunk = lakeInitMethod == 2;
  for (long r = 1; r <= header.nrows; ++r) {
    if (rowColumnRange[r].first <= 0) continue;
    for (long c = rowColumnRange[r].first; c <= rowColumnRange[r].last; ++c) {
      if (!(codes[r][c] > header.nodata)) continue;
      g.cells.push_back(PackedCell{r, c, owners ? static_cast<int>(owners[r][c]) : 0});
      g.codes.push_back(codes[r][c]);
      g.maxPonding.push_back(maxPonding[r][c]);
      g.zones.push_back(zones[r][c]);
      g.elevation.push_back(elevation[r][c]);
    }
  }
  const std::size_t n = g.cells.size();
  for (std::vector<double>* values :
       {&g.ponding, &g.transpiration, &g.bottomFlux, &g.baseflow, &g.precipitation})
    values->assign(n, 0.0);
  g.groundwater = bottomFluxIndex != 0 && baseflowIndex != 0;
  g.tracers.assign(static_cast<std::size_t>(tracerCount) + 1, {});
  for (int k = 1; k <= tracerCount; ++k) g.tracers[static_cast<std::size_t>(k)].assign(n, 0.0);
}

void abflussmodellklasse::InitLakeModel(int interceptionFirst) {
  if (configuredFlowControl <= 0) return;
  if (mpiRank != 0) {
    controlFile = openControlFile(controlFileName);
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
  countLakeCells();
  for (int r = 0; r < mpiSize; ++r)
    *diag << "DEBUG: lakeCellsPerMPIRank[" << r << "] "
          << lakeCellsPerRank[static_cast<std::size_t>(r)] << "[end-entry]";
  if (mpiRank == 0) warnLakeCodesWithoutLake();
  gatherLakeTracers();
  // A cell no lake sets keeps the water its soil holds: the cells of a code
  // that no SP names keep their ponding through the set-up, as a warm start
  // read it.
  gatherLakeCells(pondingIndex, lakeCells.ponding);
  if (readGrids != 0) {
    if (flowControl > 0)
      for (std::size_t d = 1; d < elements.size(); ++d)
        elements[d]->restartLakesFromCells(startDate);
  } else if (flowControl > 0) {
    // The lakes set their cells at construction, before the soil's values
    // of the other cells were gathered over them.
    for (std::size_t d = 1; d < elements.size(); ++d) elements[d]->setLakeCellsFromVolumes();
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

// The cells of a code that no SP names are a lake of the soil alone: no
// outflow releases what falls on them. A form the user may mean (a closed
// lake), or an SP left out.
void abflussmodellklasse::warnLakeCodesWithoutLake() {
  std::set<int> lakes;
  for (std::size_t d = 1; d < elements.size(); ++d) {
    std::vector<SP_class*> reservoirs;
    elements[d]->CollectReservoirs(reservoirs);
    for (const SP_class* sp : reservoirs)
      if (sp->isLake()) lakes.insert(sp->getNumber());
  }
  struct Unnamed {
    long cells = 0;
    PackedCell first{};
  };
  std::map<long, Unnamed> unnamed;
  const LakeCells& g = lakeCells;
  for (std::size_t i = 0; i < g.cells.size(); ++i) {
    if (!(g.zones[i] > header.nodata) || !(g.codes[i] >= 1.0)) continue;
    const long code = static_cast<long>(g.codes[i]);
    if (lakes.count(static_cast<int>(code)) != 0) continue;
    Unnamed& u = unnamed[code];
    if (u.cells++ == 0) u.first = g.cells[i];
  }
  for (const auto& [code, u] : unnamed)
    *diag << "WARNING: routing_model: the grid lake_codes holds the code " << code << " in "
          << u.cells << " cells (the first at row " << u.first.row << ", column " << u.first.column
          << "), which no SP of the routing description names: those cells "
          << "keep the water that reaches them as ponding, and only evaporation and the soil "
          << "below take it; give the lake an SP in [routing_model] if its outflow is to be routed"
          << "[end-entry]";
}

void abflussmodellklasse::gatherLakeCells(int index, std::vector<double>& values) {
  if (index == 0) return;
  MPIGatherPackedGrid(index, lakeCodesIndex, lakeCellsPerRank, lakeCells.cells, values);
}

void abflussmodellklasse::gatherLakeTracers() {
  for (int k = 1; k <= tracerCount; ++k)
    MPIGatherPackedGrid(tracerStacks[static_cast<std::size_t>(k)], lakeCodesIndex,
                        lakeCellsPerRank, lakeCells.cells,
                        lakeCells.tracers[static_cast<std::size_t>(k)], 0);
}

void abflussmodellklasse::gatherLakeGrids() {
  gatherLakeTracers();
  gatherLakeCells(pondingIndex, lakeCells.ponding);
  gatherLakeCells(transpirationIndex, lakeCells.transpiration);
  gatherLakeCells(bottomFluxIndex, lakeCells.bottomFlux);
  gatherLakeCells(baseflowIndex, lakeCells.baseflow);
  gatherLakeCells(precipitationSource, lakeCells.precipitation);
  if (!precOnLakes) return;
  // "PrecOnLakes" holds the gathered water over the rows rank 0 keeps.
  const GridRegistryEntry& e = registry[precOnLakesIndex];
  for (std::size_t i = 0; i < lakeCells.cells.size(); ++i) {
    const PackedCell& at = lakeCells.cells[i];
    if (at.row >= e.firstRow && at.row <= e.lastRow)
      precOnLakes[at.row][at.column] = lakeCells.precipitation[i];
  }
}

void abflussmodellklasse::scatterLakePonding() {
  if (configuredFlowControl <= 0 || lakeModel == 0 || pondingIndex == 0) return;
  MPIScatterPackedGrid(pondingIndex, lakeCodesIndex, lakeCellsPerRank, lakeCells.cells,
                       lakeCells.ponding);
  for (int k = 1; k <= tracerCount; ++k)
    MPIScatterPackedGrid(tracerStacks[static_cast<std::size_t>(k)], lakeCodesIndex,
                         lakeCellsPerRank, lakeCells.cells,
                         lakeCells.tracers[static_cast<std::size_t>(k)], 0);
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
