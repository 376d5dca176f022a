#include <algorithm>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

const char* const landuseLayerGridNames[landuseLayerGridCount] = {"root_depth",
                                                                  "vegetation_coverage_degree",
                                                                  "leaf_area_index",
                                                                  "SurfaceCanopyResistance",
                                                                  "SurfaceIntercepResistance",
                                                                  "RoughnessLength",
                                                                  "VegetationStart",
                                                                  "VegetationStop",
                                                                  "VegetationDuration"};

namespace {

constexpr int stackLevelsCode = 13;

// The layer grids receive these parameters, in the order of LanduseLayerGrid.
const LanduseParameter layerParameters[] = {LanduseParameter::RootDepth, LanduseParameter::VCF,
                                            LanduseParameter::LAI,       LanduseParameter::RSC,
                                            LanduseParameter::RSI,       LanduseParameter::Z0};
constexpr int layerParameterCount = 6;

} // namespace

int defaultini::registerLanduseParameterGrid(const std::string& name, long firstRow, long lastRow) {
  const int index = firstFreeRegistryIndex();
  if (index >= gridRegistryLimit) {
    *diag << "FATAL: no free grid found in memory (at position " << gridRegistryLimit
          << ") for the land-use parameter grid " << name << "[end-entry]";
    throw 12;
  }
  Grid grid = matrix(firstRow, lastRow, 1, header.ncols, header.nrows);
  fillRows(grid, firstRow, lastRow, header.ncols, header.nodata);
  registerGrid(index, name, grid, nullptr, 0, name, 0, firstRow, lastRow);
  ++gridCount;
  return index;
}

void defaultini::generateMultiLayerParameterGrids(int layers) {
  releaseLanduseParameterGrids();
  if (layers < 1) return;
  LanduseParameterGrids& g = landuseGrids;
  // Every process fills its own cells and exchanges the halo.
  g.firstRow = stripFirstRow();
  g.lastRow = stripLastRow();
  g.landuse.assign(static_cast<std::size_t>(layers) + 1, nullptr);
  for (int k = 1; k <= layers; ++k)
    g.landuse[k] = registry[requireGrid("landuse" + std::to_string(k))].grid;

  g.layers = layers;
  g.indices.assign(static_cast<std::size_t>(layers) + 1, {});
  g.grids.assign(static_cast<std::size_t>(layers) + 1, {});
  for (int k = 1; k <= layers; ++k)
    for (int i = 0; i < landuseLayerGridCount; ++i) {
      const int index = registerLanduseParameterGrid(landuseLayerGridNames[i] + std::to_string(k),
                                                     g.firstRow, g.lastRow);
      g.indices[k][i] = index;
      g.grids[k][i] = registry[index].grid;
    }
  g.evaporationResistanceIndex =
      registerLanduseParameterGrid("SurfaceEvaporationResistance", g.firstRow, g.lastRow);
  g.evaporationResistance = registry[g.evaporationResistanceIndex].grid;
  g.albedoIndex = registerLanduseParameterGrid("albedo", g.firstRow, g.lastRow);
  g.albedo = registry[g.albedoIndex].grid;

  const bool dynamic =
      std::any_of(landuseTable.begin() + (landuseTable.empty() ? 0 : 1), landuseTable.end(),
                  [](const landuse_class& r) { return r.hasDynamicPhenology(); });
  if (dynamic) {
    const int index = registerLanduseParameterGrid("DynamicPhenology", g.firstRow, g.lastRow);
    const unsigned levels = 2U * static_cast<unsigned>(layers);
    g.phenologyView = registry[index].grid;
    g.phenology = newPhenologyStack(g.firstRow, g.lastRow);
    for (long r = g.firstRow; r <= g.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c) g.phenologyView[r][c] = 0.0;
    registerGrid(index, "DynamicPhenology", g.phenologyView, g.phenology, levels,
                 "DynamicPhenology", 0, g.firstRow, g.lastRow);
    phenologyStackIndex = index;
    phenologyStackLevels = levels;
  }

  const int elevationIndex = findGrid("[elevation_model]", 1);
  Grid elevation = elevationIndex > 0 ? registry[elevationIndex].grid : nullptr;
  g.vegetationStartDay = 366;
  g.vegetationEndDay = 1;
  for (std::size_t i = 1; i < landuseTable.size(); ++i) {
    landuse_class& record = landuseTable[i];
    record.setCellContext(elevation, g.phenology, header.nodata);
    g.vegetationStartDay = std::min(g.vegetationStartDay, record.getVegStart());
    g.vegetationEndDay = std::max(g.vegetationEndDay, record.getVegStop());
  }
  g.recordValues.assign(landuseTable.size() * landuseParameterCount, 0.0);
}

void defaultini::updateActualLanduseGrids(long minute, long hour, long day, long month, long year,
                                          double stepLength) {
  LanduseParameterGrids& g = landuseGrids;
  if (g.layers < 1) return;
  const long doy = ::dayOfYear(diag, day, month, year);
  // A run may start in the middle of a day (a warm start): its first step
  // opens a day only where the step before it lay in another.
  const bool firstStepOfDay =
      g.lastDay < 0 ? stepLength >= 1440.0 || static_cast<double>(hour * 60 + minute) < stepLength
                    : doy != g.lastDay || year != g.lastYear;
  g.lastDay = doy;
  g.lastYear = year;
  // The same end of the day as the daily outputs of registered grids.
  const bool lastStepOfDay =
      stepLength >= 1440.0 ||
      hour * 60 + static_cast<long>(static_cast<double>(minute) + 60.0 * minToIntEndHours) >= 1440;

  fillLanduseParameterGrids(doy, isLeapYear(year) ? 366 : 365, stepLength, firstStepOfDay);
  for (int k = 1; k <= g.layers; ++k)
    for (int index : g.indices[k]) MPIExchangeGridHalo(index);
  MPIExchangeGridHalo(g.evaporationResistanceIndex);
  MPIExchangeGridHalo(g.albedoIndex);
  flagVegetationPeriod(doy, firstStepOfDay, lastStepOfDay);
}

void defaultini::fillLanduseParameterGrids(long doy, long yearLength, double stepLength,
                                           bool firstStepOfDay) {
  LanduseParameterGrids& g = landuseGrids;
  const int records = static_cast<int>(landuseTable.size()) - 1;
  for (int i = 1; i <= records; ++i) {
    const FixPointWeight weight = landuseTable[i].fixPointWeight(doy, 0.0, yearLength);
    for (int p = 0; p < landuseParameterCount; ++p)
      g.recordValues[i * landuseParameterCount + p] =
          landuseTable[i].parameterAt(static_cast<LanduseParameter>(p), weight);
  }
  Grid zone = registry[requireGrid("[zone_grid]")].grid;
  const int regionsIndex = findGrid("MPIRegions", 1);
  Grid regions = regionsIndex > 0 ? registry[regionsIndex].grid : nullptr;
  const int elevationIndex = findGrid("[elevation_model]", 1);
  Grid elevation = elevationIndex > 0 ? registry[elevationIndex].grid : nullptr;
  Grid temperature = g.phenology ? registry[requireGrid("temperature")].grid : nullptr;
  const double nodata = header.nodata;
  const double rank = mpiRank;
  const int layers = g.layers;
  const double stepDays = stepLength / 1440.0;

#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r) {
    for (long c = 1; c <= header.ncols; ++c) {
      if (zone[r][c] == nodata || (regions && regions[r][c] != rank)) continue;
      const double height = elevation ? elevation[r][c] : nodata;
      for (int k = 1; k <= layers; ++k) {
        const std::array<Grid, landuseLayerGridCount>& out = g.grids[k];
        const double code = g.landuse[k][r][c];
        const int i = code >= 1.0 && code <= records ? static_cast<int>(code) : 0;
        if (i == 0 || i != code) {
          for (Grid grid : out) grid[r][c] = nodata;
          if (k == 1) g.albedo[r][c] = g.evaporationResistance[r][c] = nodata;
          continue;
        }
        const landuse_class& record = landuseTable[i];
        const double elevationShift = record.elevationShift(height);
        double shift = elevationShift;
        if (record.hasDynamicPhenology() && g.phenology) {
          // Degree days from the search start; the day the sum is reached
          // becomes the cell's start of vegetation.
          double* cell = g.phenology[r][c];
          double& sum = cell[layers + k];
          if (firstStepOfDay && doy == record.getPhenoSearchStart()) sum = 0.0;
          if (sum >= 0.0 && temperature[r][c] != nodata) {
            sum += std::max(0.0, temperature[r][c] - record.getPhenoBaseTemp()) * stepDays;
            if (sum >= record.getPhenoStartSum()) {
              cell[k] = static_cast<double>(doy - record.getVegStart()) - elevationShift;
              sum = -1.0;
            }
          }
          shift += cell[k];
          if (k == 1) g.phenologyView[r][c] = cell[1];
        }
        double values[landuseParameterCount];
        if (shift == 0.0) {
          std::copy_n(&g.recordValues[i * landuseParameterCount], landuseParameterCount, values);
        } else {
          const FixPointWeight weight = record.fixPointWeight(doy, shift, yearLength);
          for (int p = 0; p < landuseParameterCount; ++p)
            values[p] = record.parameterAt(static_cast<LanduseParameter>(p), weight);
        }
        for (int p = 0; p < layerParameterCount; ++p)
          out[p][r][c] = values[static_cast<int>(layerParameters[p])];
        out[vegetationStartGrid][r][c] = static_cast<double>(doy) - record.getVegStart() - shift;
        out[vegetationStopGrid][r][c] = static_cast<double>(doy) - record.getVegStop() - shift;
        out[vegetationDurationGrid][r][c] = record.getVegStop() - record.getVegStart() + 1.0;
        if (k == 1) {
          g.albedo[r][c] = values[static_cast<int>(LanduseParameter::Albedo)];
          g.evaporationResistance[r][c] = values[static_cast<int>(LanduseParameter::RSE)];
        }
      }
    }
  }
}

// No search runs and no shift is known yet.
Stack defaultini::newPhenologyStack(long firstRow, long lastRow) {
  const int layers = landuseGrids.layers;
  Stack stack = three_d_matrix(firstRow, lastRow, 1, header.ncols, 2L * layers, header.nrows);
#pragma omp parallel for schedule(runtime)
  for (long r = firstRow; r <= lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      for (int k = 1; k <= layers; ++k) stack[r][c][layers + k] = -1.0;
  return stack;
}

void defaultini::writeLanduseParameterStack() {
  LanduseParameterGrids& g = landuseGrids;
  if (phenologyStackIndex <= 0 || !g.phenology) return;
  // Rank 0 writes a whole stack that starts as every process's does, so
  // that rows nobody computes hold the same values on any process count.
  // ASCII and netCDF stacks are written by rank 0 alone: it gathers the
  // other processes' cells.
  Stack whole = nullptr;
  if (mpiRank == 0) {
    whole = newPhenologyStack(1, header.nrows);
    for (long r = g.firstRow; r <= g.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        std::copy(g.phenology[r][c], g.phenology[r][c] + phenologyStackLevels + 1, whole[r][c]);
  }
  const int code = catchExitCode([&] {
    if (writeAsciiGrids || writeNetCDFGrids) MPIGatherStack(phenologyStackIndex, whole);
    writeStack(registry[phenologyStackIndex].fileName + "_End", whole ? whole : g.phenology,
               static_cast<int>(phenologyStackLevels), writeAsciiGrids, writeDoubleGrids,
               writeNetCDFGrids);
  });
  if (whole) free_three_d_matrix(whole, 1, header.nrows);
  if (code != 0) throw code;
}

void defaultini::readLanduseParameterStack() {
  if (phenologyStackIndex <= 0 || !landuseGrids.phenology) return;
  const std::string name = registry[phenologyStackIndex].fileName + "_End";
  if (!initialStateFileExists(name)) {
    *diag << "WARNING: no stack " << name
          << " of a former run in the directory of the initial states: the dynamic phenology "
             "starts anew"
          << "[end-entry]";
    return;
  }
  Stack read = nullptr;
  const int levels = readStack(name, read, false);
  if (levels != static_cast<int>(phenologyStackLevels)) {
    free_three_d_matrix(read, header.firstRow, header.lastRow);
    *diag << "FATAL: wrong number of levels in stack " << name << " (there are " << levels
          << " level, it must be " << phenologyStackLevels
          << "); start from the state of a run with the same land-use layers"
          << "[end-entry]";
    throw stackLevelsCode;
  }
  Grid zone = registry[requireGrid("[zone_grid]")].grid;
  const int regionsIndex = findGrid("MPIRegions", 1);
  Grid regions = regionsIndex > 0 ? registry[regionsIndex].grid : nullptr;
  const double rank = mpiRank;
  // Only the own cells: the others of a shared row are the neighbour's.
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (zone[r][c] == header.nodata || (regions && regions[r][c] != rank)) continue;
      std::copy(read[r][c] + 1, read[r][c] + phenologyStackLevels + 1,
                landuseGrids.phenology[r][c] + 1);
      landuseGrids.phenologyView[r][c] = landuseGrids.phenology[r][c][1];
    }
  free_three_d_matrix(read, header.firstRow, header.lastRow);
}

void defaultini::flagVegetationPeriod(long doy, bool firstStepOfDay, bool lastStepOfDay) {
  const bool started = firstStepOfDay && doy == landuseGrids.vegetationStartDay;
  const bool ended = lastStepOfDay && doy == landuseGrids.vegetationEndDay;
  if (!started && !ended) return;
  for (int i = 1; i < gridRegistryLimit && registry[i].hasName; ++i) {
    if (started) registry[i].vegPeriodStarted = 1;
    if (ended) registry[i].vegPeriodEnded = 1;
  }
}

// The teardown of the grid store may already have released these entries;
// only grids still registered here are ours to free.
void defaultini::releaseLanduseParameterGrids() {
  LanduseParameterGrids& g = landuseGrids;
  auto release = [&](int index, Grid grid) {
    if (!registry || index <= 0 || !grid || registry[index].grid != grid) return;
    if (registry[index].stack == g.phenology && g.phenology)
      free_three_d_matrix(g.phenology, g.firstRow, g.lastRow);
    free_matrix(grid, g.firstRow, g.lastRow, 1, header.ncols);
    unregisterGrid(index);
  };
  for (int k = 1; k <= g.layers; ++k)
    for (int i = 0; i < landuseLayerGridCount; ++i) release(g.indices[k][i], g.grids[k][i]);
  release(g.evaporationResistanceIndex, g.evaporationResistance);
  release(g.albedoIndex, g.albedo);
  release(phenologyStackIndex, g.phenologyView);
  for (std::size_t i = 1; i < landuseTable.size(); ++i)
    landuseTable[i].setCellContext(nullptr, nullptr, header.nodata);
  g = LanduseParameterGrids{};
  phenologyStackIndex = 0;
  phenologyStackLevels = 0;
}
