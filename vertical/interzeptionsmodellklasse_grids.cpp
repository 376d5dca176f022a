// The grids the interception module registers, with their start values,
// and its statistics.
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/string_helpers.h"
#include "vertical/interzeptionsmodellklasse.h"
#include "vertical/zone_grid.h"

namespace {

constexpr double bareAlbedo = 0.2; // of a canopy without snow

} // namespace

// Storage, evaporation and throughfall of every layer, in three consecutive
// entries; the storages of a former run when asked.
void interzeptionsmodellklasse::registerLayerGrids() {
  const bool fromFile = readStartGrids == 1;
  for (int k = 0; k <= layers; ++k) {
    const std::string n = std::to_string(k);
    auto file = [k, this](LayerOutput o) {
      const std::string& name = layerOutputs[o].file;
      return k == 0 ? name : layerFileName(name, k);
    };
    Layer& l = layer[static_cast<size_t>(k)];
    l.storage = registerOwnGrid(file(storageOutput), "interception_storage" + n,
                                layerOutputs[storageOutput].writeCode, 0.0, fromFile);
    l.evaporation = registerOwnGrid(file(evaporationOutput), "interception_evaporation" + n,
                                    layerOutputs[evaporationOutput].writeCode, 0.0, false);
    l.throughfall = registerOwnGrid(file(throughfallOutput), "throughfall" + n,
                                    layerOutputs[throughfallOutput].writeCode, 0.0, false);
  }
}

void interzeptionsmodellklasse::registerCanopyGrids() {
  const bool fromFile = readStartGrids == 1;
  struct Registration {
    CanopyGrid grid;
    const char* name;
    double start;
    bool kept; // carried from step to step, read from a former run
  };
  const Registration list[] = {{canopyLoad, "Snow_canopy_load", 0.0, true},
                               {canopyAlbedo, "Snow_canopy_albedo", bareAlbedo, true},
                               {canopyAge, "Snow_canopy_age", 0.0, true},
                               {canopySublimation, "Snow_canopy_sublim", 0.0, false},
                               {canopyUnloadSolid, "Snow_canopy_unload_solid", 0.0, false},
                               {canopyUnloadLiquid, "Snow_canopy_unload_liquid", 0.0, false},
                               {canopyTemperature, "Snow_canopy_temperature", 0.0, false},
                               {canopyHumidity, "Snow_canopy_rh", 0.0, false},
                               {canopyRadiation, "Snow_canopy_rad", 0.0, false},
                               {canopyWind, "Snow_canopy_wind", 0.0, false}};
  for (const Registration& r : list)
    canopy[r.grid] = registerOwnGrid(canopyOutputs[r.grid].file, r.name,
                                     canopyOutputs[r.grid].writeCode, r.start, fromFile && r.kept);
  canopy[canopyLongwave] = registerOwnGrid("SCN_IR", "Snow_canopy_IR_radiation",
                                           canopyOutputs[canopyWind].writeCode, 0.0, false);
  if (method < 30) return;
  const char* const names[] = {"Canopy_Energy_balance", "CEB_Canopy_Temperature",
                               "CEB_Canopy_Temperature_Old", "CEB_DUMMY"};
  for (int b = 0; b < balanceGridCount; ++b)
    balance[b] = registerOwnGrid(balanceOutputs[b].file, names[b], balanceOutputs[b].writeCode, 0.0,
                                 fromFile && b == balancePreviousTemperature);
}

// The start value in the cells of the zone grid, nodata elsewhere, over the
// held rows; or what the file of the grid holds there.
interzeptionsmodellklasse::OwnGrid
interzeptionsmodellklasse::registerOwnGrid(const std::string& file, const std::string& name,
                                           long writeCode, double start, bool fromFile) {
  OwnGrid g;
  const int free = freeRegistryEntry(*this);
  g.grid = zoneFilledGrid(*this, heldFirst, heldLast, start);
  if (fromFile) {
    Grid read = zoneFilledGrid(*this, heldFirst, heldLast, 0.0);
    // Every process, rank 0 too, holds its own rows; the read and its halo
    // exchange are collective.
    readGrid(file, read, 0, false, false, false, 0, false, true, 0.0);
#pragma omp parallel for schedule(runtime)
    for (long r = heldFirst; r <= heldLast; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        if (g.grid[r][c] != header.nodata) g.grid[r][c] = read[r][c];
    free_matrix(read, heldFirst, heldLast, 1, header.ncols);
  }
  // Held before registration, which may write the grid and fail.
  g.index = free;
  registerGrid(g.index, file, g.grid, nullptr, 0, name, writeCode, heldFirst, heldLast);
  return g;
}

void interzeptionsmodellklasse::releaseOwnGrids() {
  std::vector<OwnGrid*> own;
  for (Layer& l : layer) own.insert(own.end(), {&l.storage, &l.evaporation, &l.throughfall});
  for (OwnGrid& g : canopy) own.push_back(&g);
  for (OwnGrid& g : balance) own.push_back(&g);
  for (OwnGrid* g : own) {
    if (!g->grid) continue;
    if (g->index > 0 && registry[g->index].grid == g->grid) unregisterGrid(g->index);
    free_matrix(g->grid, heldFirst, heldLast, 1, header.ncols);
    *g = OwnGrid{};
  }
}

void interzeptionsmodellklasse::createStatistics() {
  const int failure = catchExitCode([&] {
    for (int k = 0; k <= layers; ++k) {
      Layer& l = layer[static_cast<size_t>(k)];
      auto create = [&](ZoneSeries& s, LayerOutput o, const char* title) {
        const std::string& file = layerOutputs[o].statisticFile;
        book.createSeries(s, k == 0 ? file : layerFileName(file, k), layerOutputs[o].statisticCode,
                          5, title + std::to_string(k) + "_");
      };
      create(l.evaporationSeries, evaporationOutput, "interception_evaporation_in_mm_layer_");
      create(l.storageSeries, storageOutput, "interception_storage_in_mm_layer_");
      create(l.throughfallSeries, throughfallOutput, "throughfall_in_mm_layer_");
    }
    if (method < 20) return;
    const char* const canopyTitles[] = {"SCN_LOAD_in_mm",
                                        "SCN_AGE_Number_of_time_steps_per_day",
                                        "SCN_ALBEDO_Dimensionless",
                                        "SCN_SUBLIMATION_mm_per_time_step",
                                        "SCN_SNOW_Throughfall_mm_per_time_step",
                                        "SCN_Output_rain_mm_per_time_step",
                                        "SCN_sub-canopy_temperature",
                                        "SCN_sub-canopy_relative_humidity",
                                        "SCN_sub-canopy_shortwave_radiation",
                                        "SCN_sub-canopy_windspeed"};
    for (int g = 0; g < canopyLongwave; ++g)
      book.createSeries(canopySeries[g], canopyOutputs[g].statisticFile,
                        canopyOutputs[g].statisticCode, 5, canopyTitles[g]);
    if (method < 30) return;
    const char* const balanceTitles[] = {"CEB_canopy_energy_balance", "CEB_canopy_temperature",
                                         "CEB_canopy_temperature_old", "CEB_dummy"};
    for (int b = 0; b < balanceGridCount; ++b)
      book.createSeries(balanceSeries[b], balanceOutputs[b].statisticFile,
                        balanceOutputs[b].statisticCode, 5, balanceTitles[b]);
  });
  // Rank 0 alone writes the headers; the others must learn of its failure.
  shareExitCode(*diag, failure);
}

// Every series the module created, layers first.
std::vector<ZoneSeries*> interzeptionsmodellklasse::allSeries() {
  std::vector<ZoneSeries*> list;
  for (Layer& l : layer)
    for (ZoneSeries* s : {&l.evaporationSeries, &l.storageSeries, &l.throughfallSeries})
      if (s->statistic) list.push_back(s);
  for (ZoneSeries& s : canopySeries)
    if (s.statistic) list.push_back(&s);
  for (ZoneSeries& s : balanceSeries)
    if (s.statistic) list.push_back(&s);
  return list;
}

void interzeptionsmodellklasse::releaseStatistics() {
  for (ZoneSeries* s : allSeries()) {
    s->statistic->release();
    s->statistic.reset();
  }
}
