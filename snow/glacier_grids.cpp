// The grids of the glacier and permafrost models: melt, the firn stack
// with its start profile, the mass balance, the snow on the glaciers, the
// state of the last balance, the glacier list, and the permafrost days.
#include <algorithm>
#include <utility>

#include "config/control_file_session.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "snow/schneemodellklasse.h"

namespace {

constexpr int permafrostCode = 80;
constexpr int closeCode = 11;

} // namespace

void schneemodellklasse::registerGlacierGrids() {
  if (glacier.method == 0) return;
  const double nodata = header.nodata;
  for (const auto& [g, name] :
       {std::pair{firnMeltGrid, "melt_from_firn"}, std::pair{iceMeltGrid, "melt_from_ice"}})
    createGrid(g, outputs[g].file, name, outputs[g].writeCode, 0.0, nodata, firstSnowRow,
               lastSnowRow);
  if (!glacier.dynamic()) return;
  registerDynamicGlacierGrids();
  // Rank 0 alone builds the list; a glacier in two subbasins stops all.
  shareExitCode(*diag, mpiRank != 0 ? 0 : catchExitCode([&] {
    glacierList = GlacierList(glacier.list);
    glacierList.build(glacierField(), *diag);
  }));
}

void schneemodellklasse::registerDynamicGlacierGrids() {
  const double nodata = header.nodata;
  const bool read = glacier.readGrids == 1;
  createFirnStack();
  takeOrCreate(massBalanceGrid, outputs[massBalanceGrid], "GlacierMassBalance", 0.0, nodata, 0.0,
               read);
  takeOrCreate(oldMassBalanceGrid, outputs[oldMassBalanceGrid], "OldGlacierMassBalance", 0.0,
               nodata, 0.0, read);
  const std::pair<OwnGridName, const char*> storages[] = {
      {glacierSolidGrid, "SolidSnowStorage_onGlacier"},
      {glacierLiquidGrid, "LiquidSnowStorage_onGlacier"},
      {glacierTotalGrid, "TotalSnowStorage_onGlacier"}};
  for (const auto& [g, name] : storages) takeOrCreate(g, outputs[g], name, 0.0, nodata, 0.0, read);
  if (isEnergyBalance()) {
    for (const auto& [g, name] : {std::pair{glacierSnowTemperatureGrid, "snowtemp_onGlacier"},
                                  std::pair{glacierSurfaceTemperatureGrid, "surftemp_onGlacier"}})
      takeOrCreate(g, outputs[g], name, nodata, nodata, snowMeltPointK,
                   read && glacierTemperatureWritten(outputs[g].file));
    takeOrCreate(glacierEnergyBalanceGrid, {"EnergyBalance_onGlacier", 0},
                 "EnergyBalance_onGlacier", 0.0, 0.0, 0.0, false);
  }
  // The state of the last balance, which the next compares with.
  const std::pair<OwnGridName, int> copies[] = {{glacierizedOldGrid, glacierGridIndex},
                                                {codesOldGrid, glacierCodesIndex}};
  for (const auto& [g, source] : copies) {
    const GridRegistryEntry& from = registry[source];
    const std::string name = from.name + "Old";
    OwnGrid& copy = createGrid(g, name, name, 0, nodata, nodata, firstSnowRow, lastSnowRow);
    const long first = std::max(firstSnowRow, from.firstRow);
    const long last = std::min(lastSnowRow, from.lastRow);
#pragma omp parallel for schedule(runtime)
    for (long r = first; r <= last; ++r)
      std::copy(from.grid[r] + 1, from.grid[r] + header.ncols + 1, copy.grid[r] + 1);
  }
  // For the water balance: what fell on the glacier's pack; what the annual
  // balance takes from the pack beside the glacier (all of it where the
  // glacier covers the cell) and what of the glacier's pack it turns into
  // firn.
  const std::pair<OwnGridName, const char*> booked[] = {
      {glacierPrecipitationGrid, "Precipitation_onGlacier"},
      {packResetGrid, "SnowReset_onGlacier"},
      {firnSnowGrid, "SnowToFirn_onGlacier"}};
  for (const auto& [g, name] : booked)
    createGrid(g, name, name, 0, 0.0, nodata, firstSnowRow, lastSnowRow);
  // What slides brought to (took from) the two packs of a cell, each by its
  // part of the cell, as the slides weigh them.
  if (isSlide())
    createGrid(slidSnowGrid, "", "snow_slides", 0, 0.0, nodata, firstSnowRow, lastSnowRow);
  for (OwnGridName g : {glacierSnowMeltGrid, glacierEvaporationGrid})
    createGrid(g, outputs[g].file,
               g == glacierSnowMeltGrid ? "SnowMelt_onGlacier" : "SnowEvaporation_onGlacier",
               outputs[g].writeCode, 0.0, nodata, firstSnowRow, lastSnowRow);
}

// Files of a former version or of write code 0 lack the temperatures of the
// glaciers' pack: only method 13 warms that pack by the energy balance.
bool schneemodellklasse::glacierTemperatureWritten(const std::string& file) {
  if (initialStateFileExists(file)) return true;
  if (glacier.method == 13)
    *diag << "WARNING: no grid " << file
          << " of a former run in the directory of the initial states: the snow on the glaciers "
             "takes its temperatures from the air in the first step; write it with write code 3 "
             "for a warm start equal to a run through"
          << "[end-entry]";
  return false;
}

// "firn_WE_stack": the totals as a grid, the layers 1 .. firn_levels from
// the top down as a stack whose level 0 repeats the total. A new stack
// starts with the same water equivalent in every layer, more the higher
// the cell lies above firn_base.
void schneemodellklasse::createFirnStack() {
  const double nodata = header.nodata;
  const OutputSettings& o = outputs[firnTotalGrid];
  const long first = firstSnowRow, last = lastSnowRow;
  Stack read = nullptr;
  // Rank 0 holds every row; every process passes the same keep flag.
  if (glacier.readGrids == 1) glacier.firnLevels = readStack(o.file, read, true);
  const int levels = glacier.firnLevels;
  firnStack = three_d_matrix(first, last, 1, header.ncols, levels, header.nrows);
  firnFirstRow = first;
  firnLastRow = last;
  OwnGrid& total = grids[firnTotalGrid];
  total.grid = matrix(first, last, 1, header.ncols, header.nrows);
  total.firstRow = first;
  total.lastRow = last;
  total.owned = true;
  const long readFirst = mpiRank == 0 && read ? 1 : header.firstRow;
  const long readLast = mpiRank == 0 && read ? header.nrows : header.lastRow;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      double* cell = firnStack[r][c];
      std::fill(cell, cell + levels + 1, nodata);
      total.grid[r][c] = nodata;
      const bool inside = zone[r] && zone[r][c] != nodata;
      if (read) {
        if (r >= readFirst && r <= readLast) std::copy(read[r][c], read[r][c] + levels + 1, cell);
        total.grid[r][c] = cell[0];
        continue;
      }
      if (!inside || !(glacierGrid[r][c] > 0.0)) continue;
      const double layer =
          std::max(0.0, (elevation[r][c] - glacier.firnBase) * glacier.deltaFirnPer100m);
      cell[0] = 0.0;
      for (int k = 1; k <= levels; ++k) {
        cell[k] = layer;
        cell[0] += layer;
      }
      total.grid[r][c] = cell[0];
    }
  if (read) free_three_d_matrix(read, readFirst, readLast);
  total.index = nextRegistryIndex();
  registerGrid(total.index, o.file, total.grid, firnStack, static_cast<unsigned>(levels),
               "firn_WE_stack", o.writeCode, first, last);
}

void schneemodellklasse::setUpPermafrost() {
  if (findGrid("ThawCoeffPermaFrost", 1) <= 0 || findGrid("PermafrostThawDepth", 1) <= 0) return;
  for (const auto& [g, name] : {std::pair{snowFreeDaysGrid, "SnowFreeDaysGrid"},
                                std::pair{snowCoverDaysGrid, "SnowCoverDaysGrid"}})
    takeOrCreate(g, {"", 0}, name, 0.0, header.nodata, 0.0, false);
  thawCoefficient = registry[requireGrid("ThawCoeffPermaFrost")].grid;
  thawDepth = registry[requireGrid("PermafrostThawDepth")].grid;
  rootDepth = registry[requireGrid("root_depth1")].grid;

  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag);
  seekSection("[permafrost]", true);
  readControlValue(controlFile, "%d", permafrost.method, "Permafrost-Method for ");
  if (permafrost.method != 1) {
    *diag << "FATAL: method for permafrost melt must be 1 (alpha*sqrt(time))"
          << "[end-entry]";
    throw permafrostCode;
  }
  readControlValue(controlFile, "%lf", permafrost.minSnowAgeRefreeze, "Min_Snow_Age_Refreeze for ");
  readControlValue(controlFile, "%lf", permafrost.maxSweSnowFree, "Max_SWE_SnowFree for ");
  SnowSeries& thaw = series[thawDepthSeries];
  readControlValuePair(controlFile, "%s%d", thaw.file, thaw.code,
                       "name of thaw depth statistics file ");
  readControlValue(controlFile, "%lf", permafrost.reducedKsat, "reduced k_sat (in m/s)");
  if (!session.close()) {
    *diag << "FATAL: cannot close " << controlFileName << "[end-entry]";
    throw closeCode;
  }
  shareExitCode(*diag,
                catchExitCode([&] { createSeries(thawDepthSeries, "thaw_depth_in_m_", 4); }));
}
