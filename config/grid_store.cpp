#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "config/code_grids.h"
#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/earth_bounds.h"
#include "core/run_files.h"

namespace {

constexpr int elevationGapCode = 22;

} // namespace

// Tracked before it is registered: registration may write the grid, and a
// failure there must not lose it.
void defaultini::registerReaderGrid(int index, const std::string& file, Grid grid,
                                    const std::string& name, long writeCode, long firstRow,
                                    long lastRow) {
  readerGrids.push_back({index, grid, firstRow, lastRow});
  registerGrid(index, file, grid, nullptr, 0, name, writeCode, firstRow, lastRow);
}

Grid defaultini::createGridFromDefault(long firstRow, long lastRow, double value) {
  const Grid zone = registry[1].grid;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
  Grid grid = matrix(firstRow, lastRow, 1, ncols, header.nrows);
#pragma omp parallel for schedule(runtime)
  for (long r = firstRow; r <= lastRow; ++r)
    for (long c = 1; c <= ncols; ++c) grid[r][c] = zone[r][c] > nodata ? value : nodata;
  return grid;
}

// The shortcuts to the first grids, which the registry owns.
void defaultini::forgetFirstGrids() {
  zoneGrid = nullptr;
  elevationGrid = nullptr;
  iceFirnGrid = nullptr;
  soilStorageGrid = nullptr;
  landuseLayerGrids.clear();
  landuseLayerCount = 0;
}

// Set-up step 6: the grid header from the zone grid's file, the first grids
// on rank 0, and the division of the grid among the processes.
void defaultini::setUpGridHeaderAndFirstGrids() {
  forgetFirstGrids();

  int sizes[2] = {};
  double georeference[4] = {};
  int failure = 0;
  if (mpiRank == 0)
    failure = catchExitCode([&] {
      readGridHeader(sizes[0], sizes[1], georeference[0], georeference[1], georeference[2],
                     georeference[3]);
    });
  shareExitCode(*diag, failure);
  checkMPI(*diag, MPI_Bcast(sizes, 2, MPI_INT, 0, MPI_COMM_WORLD), "MPI_Bcast of the grid size");
  checkMPI(*diag, MPI_Bcast(georeference, 4, MPI_DOUBLE, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the grid georeference");
  header.ncols = sizes[0];
  header.nrows = sizes[1];
  header.xllcorner = georeference[0];
  header.yllcorner = georeference[1];
  header.cellsize = georeference[2];
  header.nodata = georeference[3];
  header.firstRow = 1;
  header.lastRow = header.nrows;

  const int links = findGrid("river_links", 1);
  if (mpiRank == 0)
    failure = catchExitCode([&] {
      readFirstGridOnRoot(1);
      readFirstGridOnRoot(2);
      if (links > 2) readFirstGridOnRoot(links);
    });
  shareExitCode(*diag, failure);
  zoneGrid = registry[1].grid;

  makeMPIRegions(decompositionCellCounts, decompositionSendList, decompositionReceiveList,
                 header.firstRow, header.lastRow);
  modelobject::cellsPerProcess = &decompositionCellCounts;
  haloSendList = &decompositionSendList;
  haloReceiveList = &decompositionReceiveList;
}

// Rank 0 alone, before the strips exist. A write code takes effect once the
// grid is distributed (step 7): writing is collective.
void defaultini::readFirstGridOnRoot(int index) {
  GridRegistryEntry& e = registry[index];
  const std::string file = e.fileName;
  const std::string name = e.name;
  const StandardGrid* settings =
      index > 2 ? &standardGrids[static_cast<size_t>(index - 3)] : nullptr;
  Grid grid = nullptr;
  if (settings && settings->readCode < 1)
    grid = createGridFromDefault(1, header.nrows, settings->defaultValue);
  else
    readGrid(file, grid, settings ? settings->fillCode : 0, true, true, true, 1, true, false,
             settings ? settings->defaultValue : 0.0, resamplingOf(name));
  registerReaderGrid(index, file, grid, name, 0, 1, header.nrows);
  if (index == 2) refuseElevationGaps();
}

// Temperature, slope and radiation take every catchment cell's elevation:
// nodata would pass as an elevation of -9999 m.
void defaultini::refuseElevationGaps() {
  const Grid zones = registry[1].grid;
  const Grid elevation = registry[2].grid;
  for (long r = 1; r <= header.nrows; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (zones[r][c] <= header.nodata) continue;
      const double z = elevation[r][c];
      if (z <= header.nodata) {
        *diag << "FATAL: the elevation model " << registry[2].fileName
              << " ([elevation_model]) holds nodata at row " << r << ", column " << c
              << ", a cell of the catchment in the zone grid " << registry[1].fileName
              << "; give every cell of the catchment an elevation"
              << "[end-entry]";
        throw elevationGapCode;
      }
      // A cell beyond them is a mistyped value that would pass into
      // temperature, slope and radiation.
      if (!(z >= lowestElevation && z <= highestElevation)) {
        *diag << "FATAL: the elevation model " << registry[2].fileName
              << " ([elevation_model]) holds " << z << " at row " << r << ", column " << c
              << ", a cell of the catchment, which must be " << lowestElevation << " ... "
              << highestElevation << " m; correct the grid"
              << "[end-entry]";
        throw elevationGapCode;
      }
    }
}

// Set-up step 7: the zone ranking, the "MPIRegions" file (written once every
// output was checked), and the strips of the first grids for the other
// processes.
void defaultini::distributeFirstGrids() {
  rankZoneCodes(registry, nullptr, header.ncols, header.nrows, header.nodata);

  const std::string regionsFile = "MPIRegions_0";
  if (mpiRank == 0) {
    std::string path = regionsFile;
    prependDirectory(outputDirectory, path);
    noteOutputFile(path, "the grid of the processes' strips");
  }
  createOutputsWhenChecked([this, regionsFile] {
    int failure = 0;
    if (mpiRank == 0)
      failure = catchExitCode([&] {
        writeGrid(regionsFile, regionsGrid, writeAsciiGrids, writeDoubleGrids, writeNetCDFGrids);
      });
    shareExitCode(*diag, failure);
  });

  std::vector<int> indices = {1, 2};
  const int links = findGrid("river_links", 1);
  if (links > 2) indices.push_back(links);
  if (mpiRank != 0) {
    const long lo = heldFirstRow();
    const long hi = heldLastRow();
    for (int index : indices) {
      const std::string file = registry[index].fileName;
      const std::string name = registry[index].name;
      Grid grid = matrix(lo, hi, 1, header.ncols, header.nrows);
      fillRows(grid, lo, hi, header.ncols, header.nodata);
      registerReaderGrid(index, file, grid, name, 0, lo, hi);
    }
  }
  for (int index : indices) {
    MPIScatterGrid(index);
    MPIExchangeGridHalo(index);
  }
  zoneGrid = registry[1].grid;
  elevationGrid = registry[2].grid;

  if (links < 3) return;
  const StandardGrid& settings = standardGrids[static_cast<size_t>(links - 3)];
  if (settings.writeCode == 0) return;
  GridRegistryEntry& e = registry[links];
  const std::string file = e.fileName;
  const std::string name = e.name;
  registerGrid(links, file, e.grid, nullptr, 0, name, settings.writeCode, e.firstRow, e.lastRow);
}

// Set-up step 8: the standard grids that "[standard_grids]" declares (the
// river links are in memory since step 6), then the variable grids.
void defaultini::loadStandardGrids() {
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier before the standard grids");
  const long first = heldFirstRow();
  const long last = heldLastRow();
  const int links = findGrid("river_links", 1);
  // The grids of files are read together; every grid is registered in the
  // order of the section all the same.
  std::vector<GridReadRequest> requests;
  std::vector<size_t> positions;
  const std::vector<int> whole = gridsReadWhole();
  for (size_t i = 0; i < standardGrids.size(); ++i) {
    const StandardGrid& g = standardGrids[i];
    if (g.index == links || g.readCode < 1) continue;
    const bool wholeOnRoot = std::find(whole.begin(), whole.end(), g.index) != whole.end();
    requests.push_back({registry[g.index].fileName, g.fillCode, g.defaultValue, wholeOnRoot,
                        resamplingOf(registry[g.index].name)});
    positions.push_back(i);
  }
  size_t next = 0;
  const auto keep = [&](StandardGrid& g, Grid grid, long firstRow, long lastRow) {
    const std::string file = registry[g.index].fileName;
    const std::string name = registry[g.index].name;
    registerReaderGrid(g.index, file, grid, name, g.writeCode, firstRow, lastRow);
    if (g.readCode < 1) MPIExchangeGridHalo(g.index);
    if (!g.persistent) keepSetupValues(g, firstRow, lastRow);
  };
  const auto createUpTo = [&](size_t end) {
    for (; next < end; ++next) {
      StandardGrid& g = standardGrids[next];
      if (g.index != links && g.readCode < 1)
        keep(g, createGridFromDefault(first, last, g.defaultValue), first, last);
    }
  };
  readGrids(requests, [&](size_t k, Grid grid, long firstRow, long lastRow) {
    createUpTo(positions[k]);
    keep(standardGrids[positions[k]], grid, firstRow, lastRow);
    ++next;
  });
  createUpTo(standardGrids.size());
  refuseStandardGridsOutOfRange();
  *diag << "before reading variable grids" << mpiRank << "[end-entry]";
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier before the variable grids");
  readVariableGrids();
}

// The values a grid that is not persistent returns to after a re-read.
void defaultini::keepSetupValues(StandardGrid& g, long firstRow, long lastRow) {
  const Grid grid = registry[g.index].grid;
  const long ncols = header.ncols;
  g.setupValues = matrix(firstRow, lastRow, 1, ncols, header.nrows);
  g.setupFirstRow = firstRow;
  g.setupLastRow = lastRow;
#pragma omp parallel for schedule(runtime)
  for (long r = firstRow; r <= lastRow; ++r)
    std::copy(grid[r] + 1, grid[r] + ncols + 1, g.setupValues[r] + 1);
}

// The zone grid (entry 1) is never written; the variable grids follow the
// standard grids in the registry and are written by writeVariableGrids.
void defaultini::writeStandardGrids(long minute, long hour, long day, long month, long year) {
  currentDate = ModelDate{minute, hour, day, month, year};
  const int last = variableGridCount > 0 ? firstVariableGrid - 1 : gridCount + 2;
  for (int index = 2; index <= last; ++index) writeOutputGrids(index, 1, 0);
}

void defaultini::writeVariableGrids(long minute, long hour, long day, long month, long year) {
  currentDate = ModelDate{minute, hour, day, month, year};
  for (int k = 0; k < variableGridCount; ++k) writeOutputGrids(firstVariableGrid + k, 1, 0);
}

double defaultini::globalGridMaximum(int index) {
  const Grid grid = index > 0 && index < gridRegistryLimit ? registry[index].grid : nullptr;
  double maximum = header.nodata;
  const long first = std::max(1L, header.firstRow);
  const long last =
      std::min({header.nrows, header.lastRow, static_cast<long>(columnRanges.size()) - 1});
  if (grid) {
#pragma omp parallel for schedule(runtime) reduction(max : maximum)
    for (long r = first; r <= last; ++r) {
      const RowColumnRange& range = columnRanges[static_cast<size_t>(r)];
      for (long c = range.first; c <= range.last; ++c)
        if (grid[r][c] > maximum) maximum = grid[r][c];
    }
  }
  double global = maximum;
  checkMPI(*diag, MPI_Reduce(&maximum, &global, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD),
           "MPI_Reduce of a grid maximum");
  checkMPI(*diag, MPI_Bcast(&global, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD),
           "MPI_Bcast of a grid maximum");
  return global;
}

void defaultini::neighbourhoodMean(long row, long column, Grid grid) {
  static const int offsets[8][2] = {{-1, 1}, {0, 1},  {1, 1},   {1, 0},
                                    {1, -1}, {0, -1}, {-1, -1}, {-1, 0}};
  double sum = 0.0;
  int count = 0;
  for (const auto& offset : offsets) {
    const long r = row + offset[0];
    const long c = column + offset[1];
    if (r < 1 || r > header.nrows || c < 1 || c > header.ncols || !grid[r]) continue;
    if (grid[r][c] == header.nodata) continue;
    sum += grid[r][c];
    ++count;
  }
  if (count > 0) grid[row][column] = sum / count;
}

void defaultini::check_ice_firn_grid() {
  int index = 1;
  for (; index < gridRegistryLimit; ++index) {
    if (index > 1 && !registry[index].hasFileName) break;
    if (registry[index].hasName && registry[index].name == "ice_firn") {
      iceFirnGrid = registry[index].grid;
      return;
    }
  }
  *diag << "INFO: ice-grid not found in memory (at position " << index << ")"
        << "[end-entry]";
}
