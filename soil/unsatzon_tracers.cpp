// The tracers of the unsaturated zone: their stores, grids, statistics and
// point files, and their hand-over to the column solver cell by cell.

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int registryFullCode = 12;
constexpr int stackLevelsCode = 13;
constexpr int pointFileCode = 65;
constexpr int tracerTableCode = 103;
// ln 2 inverted: the half-life times this is the mean life.
constexpr double meanLifePerHalfLife = 1.442695041111;
// Layers drier than this have no concentration to speak of.
constexpr double driestLayer = 0.00001;
constexpr double dryLayerConcentration = 1e9;

} // namespace

void unsatzonmodellklasse::setUpTracers(const std::vector<TracerRecord>& table,
                                        StatisticTableEntry* statisticTable, long tableSize) {
  if (table.size() < static_cast<size_t>(tracerCount) + 1) {
    *diag << "FATAL: " << moduleName << ": the tracer table holds " << table.size()
          << " records for " << tracerCount << " tracers"
          << "[end-entry]";
    throw tracerTableCode;
  }
  for (int k = 1; k <= tracerCount; ++k)
    setUpTracer(k, table[static_cast<size_t>(k)], statisticTable, tableSize);
  // The packs as a former run left them, or empty.
  if (isLayeredSnowActive() && !packWaterLeft) {
    packWaterLeft = matrix(header.firstRow, header.lastRow, 1, header.ncols, header.nrows);
    for (long r = header.firstRow; r <= header.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        packWaterLeft[r][c] = isOwnValidCell(r, c) ? packWater(r, c) : 0.0;
  }
}

void unsatzonmodellklasse::setUpTracer(int k, const TracerRecord& record,
                                       StatisticTableEntry* statisticTable, long tableSize) {
  soilTracers.push_back(std::make_unique<SoilTracer>());
  SoilTracer& t = *soilTracers.back();
  t.tracer.record = record;
  // The solver decays the tracer once per sub-step.
  if (record.radioactive)
    t.decay = record.halfTime > 0.0 ? std::exp(-(timeStepMinutes / substeps / 60.0 / 24.0) /
                                               (meanLifePerHalfLife * record.halfTime))
                                    : 0.0;
  t.tracer.record.decayFactor = t.decay;
  t.tracer.zoneRecords = zones.records;
  shareExitCode(*diag, catchExitCode([&] {
    createTracerStatistic(k, t.tracer, cellWeights, static_cast<int>(header.nrows),
                          static_cast<int>(header.ncols), statisticTable, tableSize);
  }));
  const std::string number = std::to_string(k);
  const std::string flux = "concflux_tracer_" + number + "_";
  t.input = registry[requireOneOf4Grids(flux + "interception_model", flux + "snow_model",
                                        flux + "irrigation", flux + "input")]
                .grid;
  shareExitCode(*diag, catchExitCode([&] { createTracerPointFile(k, t); }));
  // The saturated zone mixes with the first aquifer layer below it.
  if (groundwaterActive) {
    t.aquifer =
        registry[requireGrid("concstor_tracer_" + number + "_layer_1_groundwater_flow")].grid;
    aquiferThickness = registry[requireGrid("aquifer_thickness_1")].grid;
    aquiferStorage = registry[requireGrid("gw_storage_coeff_1")].grid;
  }

  t.firstRow = heldFirstRow;
  t.lastRow = heldLastRow;
  const double nodata = header.nodata;
  t.store = three_d_matrix(t.firstRow, t.lastRow, 1, header.ncols, layers, header.nrows);
  for (Grid* grid : {&t.top, &t.directflow, &t.interflow}) {
    *grid = matrix(t.firstRow, t.lastRow, 1, header.ncols, header.nrows);
#pragma omp parallel for schedule(runtime)
    for (long r = t.firstRow; r <= t.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        (*grid)[r][c] =
            r >= header.firstRow && r <= header.lastRow && isOwnValidCell(r, c) ? 0.0 : nodata;
  }
  auto freeIndex = [&](const std::string& name) {
    const int index = firstFreeRegistryIndex();
    if (index < gridRegistryLimit) return index;
    *diag << "FATAL: no free grid left. please contact the author to set the number of grids to "
             "a larger value "
          << gridRegistryLimit << " (" << name << ")"
          << "[end-entry]";
    throw registryFullCode;
  };
  // The grid holds the top layer's concentration and goes to the tracer's
  // grid file; the store has a file of its own.
  const std::string name = "concstor_tracer_" + number + "_" + moduleName;
  const std::string stem = record.path + record.name.substr(0, 3);
  const std::string extension = "." + record.gridExt;
  t.storeIndex = freeIndex(name);
  registerGrid(t.storeIndex, stem + moduleName.substr(0, 5) + extension, t.top, t.store,
               static_cast<unsigned>(layers), name, record.gridCode, t.firstRow, t.lastRow);
  registry[t.storeIndex].fileName = stem + "store" + extension;
  // The grid is computed, not a copy of the store's first level.
  registry[t.storeIndex].stackCopyOff = 1;
  fillTracerStore(t);
  // Irrigation from groundwater reads it before the first step ends.
  computeTopConcentration(t);
  for (auto [grid, index, kind] : {std::tuple{t.directflow, &t.directflowIndex, "QD"},
                                   std::tuple{t.interflow, &t.interflowIndex, "QI"}}) {
    const std::string gridName = std::string("_CONC_") + kind + "_" + number + "_";
    *index = freeIndex(gridName);
    registerGrid(*index, gridName, grid, nullptr, 0, gridName, 0, t.firstRow, t.lastRow);
  }
  if (!isLayeredSnowActive()) return;
  t.pack = matrix(t.firstRow, t.lastRow, 1, header.ncols, header.nrows);
  for (long r = t.firstRow; r <= t.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      t.pack[r][c] = r >= header.firstRow && r <= header.lastRow && isOwnValidCell(r, c)
                         ? record.soilIni
                         : nodata;
  // The snow model's store; without the snow model the water coming in.
  int snow = findGrid("concstor_tracer_" + number + "_snow_model", 1);
  if (snow == 0) snow = findGrid(flux + "irrigation", 1);
  t.snowfall = registry[snow > 0 ? snow : requireGrid(flux + "input")].grid;
  const std::string packName = "concstor_tracer_" + number + "_snowpack";
  t.packIndex = freeIndex(packName);
  registerGrid(t.packIndex, stem + "snowp" + extension, t.pack, nullptr, 0, packName,
               record.gridCode, t.firstRow, t.lastRow);
  if (settings.readGrid == 1) readStateGrid(t.pack, NamedOutput{registry[t.packIndex].fileName});
}

// What the snow model added to a pack enters at the concentration of the
// snow it holds; what it took leaves at the pack's.
double unsatzonmodellklasse::packConcentrationWith(const SoilTracer& t, long r, long c,
                                                   double before, double now) const {
  const double snow = t.snowfall[r][c] != header.nodata ? t.snowfall[r][c] : 0.0;
  return now > before ? mixConcentration(t.pack[r][c], snow, before, now - before) : t.pack[r][c];
}

// Slides and a glacier's close change the packs after the soil's step. What
// they changed joins the packs at once, so that the next step does not net
// it against its snowfall, and the step ends with a pack's concentration
// that holds all it took up: a warm start finds the same in the grids.
void unsatzonmodellklasse::takeLateSnowIntoPacks() {
  if (!packWaterLeft) return;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c)) continue;
      const double now = packWater(r, c);
      for (const std::unique_ptr<SoilTracer>& t : soilTracers)
        if (t->pack) t->pack[r][c] = packConcentrationWith(*t, r, c, packWaterLeft[r][c], now);
      packWaterLeft[r][c] = now;
    }
}

double unsatzonmodellklasse::packWater(long r, long c) const {
  const double* ice = snowStacks[snowLineSWES][r][c];
  const double* liquid = snowStacks[snowLineSWEL][r][c];
  const double* thickness = snowStacks[snowLineThick][r][c];
  double water = std::max(0.0, liquid[0]);
  for (int k = 1; k <= snowLayers; ++k)
    if (ice[k] > 0.0 && thickness[k] > 0.0) water += ice[k] + std::max(0.0, liquid[k]);
  return water;
}

// Above the table the soil's initial concentration, from the table down
// the groundwater's; a warm start reads the store of the former run.
void unsatzonmodellklasse::fillTracerStore(SoilTracer& t) {
  const TracerRecord& record = t.tracer.record;
  const double nodata = header.nodata;
  for (long r = t.firstRow; r <= t.lastRow; ++r)
    std::fill(t.store[r][0], t.store[r][0] + (header.ncols + 1) * (layers + 1), nodata);
  const bool concentrations = record.takenFromOtherStore != 0;
  if (settings.readGrid == 1) {
    const std::string& file = registry[t.storeIndex].fileName;
    Stack read = nullptr;
    const int lastLevel = readStack(file, read, false);
    if (lastLevel != layers) {
      free_three_d_matrix(read, header.firstRow, header.lastRow);
      *diag << "FATAL: wrong number of levels in stack " << file << " (there are " << lastLevel
            << " levels, it must be " << layers << "[end-entry]";
      throw stackLevelsCode;
    }
    forEachOwnColumn([&](long r, long c, const soil_class& soil) {
      std::copy(read[r][c], read[r][c] + soil.getLayerCount() + 1, t.store[r][c]);
    });
    free_three_d_matrix(read, header.firstRow, header.lastRow);
    return;
  }
  forEachOwnColumn([&](long r, long c, const soil_class& soil) {
    const int g = static_cast<int>(tableLayer[r][c]);
    double* store = t.store[r][c];
    store[0] = record.soilIni;
    for (int k = 1; k <= soil.getLayerCount(); ++k) {
      const double concentration = k < g ? record.soilIni : record.gwIni;
      store[k] = concentrations ? concentration
                                : 1000.0 * theta[r][c][k] * soil.getThickness(k) * concentration;
    }
  });
}

void unsatzonmodellklasse::createTracerPointFile(int k, SoilTracer& t) {
  if (!ownsControlPoint()) return;
  const TracerRecord& record = t.tracer.record;
  // Beside the tracer's statistics and grids: a relative path lies in the
  // output directory.
  std::string file = record.path + record.name.substr(0, 3) + "point." + record.statExt;
  prependDirectory(outputDirectory, file);
  noteOutputFile(file, "the control-point file of tracer " + record.name);
  OutputText text;
  std::FILE* f = text.file();
  bool written = true;
  if (f) {
    char title[160];
    std::snprintf(title, sizeof title, "tracer concentration for tracer %d (%s) ", k,
                  record.name.c_str());
    written = std::fprintf(f, "YY\tMM\tDD\tHH\t%s[%ld][%ld]", title, settings.controlRow,
                           settings.controlColumn) > 0;
    for (int level = 1; level <= layers; ++level)
      written = written && std::fprintf(f, "[%d]\t", level) > 0;
    written = written && std::fputs("\n", f) >= 0;
    written = written && createOutputFile(file, text.text()) == 0;
  }
  if (!written) {
    *diag << "FATAL: error opening tracer concentration file " << file << "[end-entry]";
    throw pointFileCode;
  }
  t.point = std::make_unique<PointSeries>(file, layers);
}

double unsatzonmodellklasse::layerConcentration(const SoilTracer& t, long r, long c, int k) const {
  const double value = t.store[r][c][k];
  if (t.tracer.record.takenFromOtherStore != 0) return value;
  const soil_class& soil = (*context.soilTable)[static_cast<size_t>(soilTypes[r][c])];
  const double water = theta[r][c][k];
  return water > driestLayer ? value / (water * soil.getThickness(k) * 1000.0)
                             : dryLayerConcentration;
}

// Surface routing sets up its tracers after this module.
void unsatzonmodellklasse::takeLandTracerGrids() {
  for (size_t i = 0; i < soilTracers.size(); ++i) {
    SoilTracer& t = *soilTracers[i];
    const std::string number = std::to_string(i + 1);
    for (auto [grid, kind] :
         {std::pair{&t.landRunoff, "concflux"}, std::pair{&t.landStored, "concstor"}}) {
      if (*grid) continue;
      const int index = findGrid(std::string(kind) + "_tracer_" + number + "_SiltingUpModel", 1);
      if (index > 0) *grid = registry[index].grid;
    }
  }
}

// Surface routing writes the concentration of the water it leaves on the
// land into the same store in every sub-step; the water silting-up passed
// on is shared among the sub-steps at the concentration it had.
void unsatzonmodellklasse::takeSiltedInputConcentrations() {
  if (soilTracers.empty() || !solverGrids.siltingRunoff) return;
  takeLandTracerGrids();
  const double nodata = header.nodata;
  for (std::unique_ptr<SoilTracer>& tracer : soilTracers) {
    SoilTracer& t = *tracer;
    if (!t.landStored) continue;
    if (!t.siltedInput) {
      t.siltedInput = matrix(t.firstRow, t.lastRow, 1, header.ncols, header.nrows);
      for (long r = t.firstRow; r <= t.lastRow; ++r)
        std::fill_n(t.siltedInput[r] + 1, header.ncols, nodata);
    }
#pragma omp parallel for schedule(runtime)
    for (long r = header.firstRow; r <= header.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        if (isOwnValidCell(r, c)) t.siltedInput[r][c] = t.landStored[r][c];
  }
}

// The aquifer's pores below the column, by its storage coefficient, which
// keeps its water the same from step to step (mm).
double unsatzonmodellklasse::aquiferPoreWater(long r, long c, double columnDepth) const {
  const double nodata = header.nodata;
  const double thickness = aquiferThickness ? aquiferThickness[r][c] : nodata;
  const double storage = aquiferStorage ? aquiferStorage[r][c] : nodata;
  return thickness != nodata && storage != nodata && storage > 0.0
             ? storage * 1000.0 * std::max(0.0, thickness - columnDepth)
             : 0.0;
}

void unsatzonmodellklasse::loadTracers(long r, long c, ColumnSolver& solver,
                                       const RiverOffer* river, const LandWater& land) {
  ColumnSolutes& solutes = solver.solutes;
  const SoilColumn& column = solver.column;
  const int n = column.layers;
  solutes.bind(tracerCount, n);
  const double nodata = header.nodata;
  const double pond = ponding[r][c];
  double depth = 0.0;
  for (int level = 1; level <= n; ++level) depth += column.d[level];
  solutes.aquiferWater = aquiferPoreWater(r, c, depth);
  // What the snow model added to the pack since the column left it has the
  // concentration of the snow it holds, which took up the snowfall (not that
  // of the soil's water input, which may be the snow's outflow, none on a
  // cold day). What it took, melt or sublimation, takes the pack's tracer
  // with it, as the snow model's own store keeps its concentration: its melt
  // comes back with the snow's outflow, and kept behind it would be counted
  // twice.
  const double packNow = packWaterLeft ? packWater(r, c) : 0.0;
  const double packBefore = packWaterLeft ? packWaterLeft[r][c] : 0.0;
  solutes.packWater = packNow;
  for (int k = 1; k <= tracerCount; ++k) {
    const SoilTracer& t = *soilTracers[static_cast<size_t>(k) - 1];
    const size_t i = static_cast<size_t>(k);
    const double aquifer = t.aquifer ? t.aquifer[r][c] : nodata;
    if (aquifer == nodata) solutes.aquiferWater = 0.0;
    solutes.aquiferConcentration[i] = aquifer != nodata ? aquifer : 0.0;
    solutes.properties[i] =
        SoluteProperties{t.tracer.record.maxConc, t.tracer.record.evaporating != 0, t.decay};
    const double input =
        t.siltedInput && t.siltedInput[r][c] != nodata ? t.siltedInput[r][c] : t.input[r][c];
    solutes.inputConcentration[i] = input != nodata ? input : 0.0;
    // Water on the land without a concentration of its own has the input's.
    auto landValue = [&](Grid grid) {
      return grid && grid[r][c] != nodata ? grid[r][c] : solutes.inputConcentration[i];
    };
    solutes.landConcentration[i] = mixConcentration(
        landValue(t.landRunoff), landValue(t.landStored), land.runoff, land.stored);
    if (t.pack) solutes.packConcentration[i] = packConcentrationWith(t, r, c, packBefore, packNow);
    solutes.riverConcentration[i] =
        river && river->record > 0 && k < 10
            ? reinfiltration[static_cast<size_t>(river->record)].flow_mm[k]
            : 0.0;
    const double* store = t.store[r][c];
    double* mass = solutes.mass(k);
    mass[0] = pond > 0.0 ? store[0] * pond : 0.0;
    const bool concentrations = t.tracer.record.takenFromOtherStore != 0;
    for (int level = 1; level <= n; ++level)
      mass[level] = concentrations ? store[level] * column.theta0[level] * column.d[level] * 1000.0
                                   : store[level];
  }
}

void unsatzonmodellklasse::storeTracers(long r, long c, ColumnSolver& solver) {
  ColumnSolutes& solutes = solver.solutes;
  const SoilColumn& column = solver.column;
  const int n = column.layers;
  const double pond = ponding[r][c];
  for (int k = 1; k <= tracerCount; ++k) {
    SoilTracer& t = *soilTracers[static_cast<size_t>(k) - 1];
    double* mass = solutes.mass(k);
    // What stays behind on a surface without water goes into the soil.
    if (!(pond > 0.0)) {
      mass[1] += mass[0];
      mass[0] = 0.0;
    }
    double* store = t.store[r][c];
    store[0] = pond > 0.0 ? mass[0] / pond : 0.0;
    const bool concentrations = t.tracer.record.takenFromOtherStore != 0;
    for (int level = 1; level <= n; ++level) {
      const double water = column.theta0[level] * column.d[level] * 1000.0;
      store[level] = concentrations ? (water > 0.0 ? mass[level] / water : 0.0) : mass[level];
    }
    if (t.pack) t.pack[r][c] = solutes.packConcentration[static_cast<size_t>(k)];
    if (solutes.aquiferWater > 0.0)
      t.aquifer[r][c] = solutes.aquiferConcentration[static_cast<size_t>(k)];
    const SoluteBudget& b = solutes.budget[static_cast<size_t>(k)];
    const double direct = solverGrids.directflow[r][c];
    const double inter = solverGrids.interflow[r][c];
    t.directflow[r][c] = direct > 0.0 ? b.directflow / direct : 0.0;
    t.interflow[r][c] = inter > 0.0 ? b.interflow / inter : 0.0;
  }
  if (packWaterLeft) packWaterLeft[r][c] = packWater(r, c);
}

void unsatzonmodellklasse::freeTracers() {
  int code = 0;
  for (std::unique_ptr<SoilTracer>& t : soilTracers) {
    if (t->point && code == 0) code = catchExitCode([&] { writePointBuffer(*t->point); });
    if (code == 0) code = catchExitCode([&] { t->tracer.statistic->release(); });
  }
  releaseTracerGrids();
  teilmodellklasse::freeTracers();
  if (code != 0) throw code;
}

void unsatzonmodellklasse::releaseTracerGrids() {
  for (auto t = soilTracers.rbegin(); t != soilTracers.rend(); ++t) {
    SoilTracer& tracer = **t;
    tracer.tracer.statistic.reset();
    for (int index :
         {tracer.packIndex, tracer.interflowIndex, tracer.directflowIndex, tracer.storeIndex})
      if (index > 0 && registry) unregisterGrid(index);
    for (Grid grid :
         {tracer.siltedInput, tracer.pack, tracer.interflow, tracer.directflow, tracer.top})
      if (grid) free_matrix(grid, tracer.firstRow, tracer.lastRow, 1, header.ncols);
    if (tracer.store) free_three_d_matrix(tracer.store, tracer.firstRow, tracer.lastRow);
  }
  soilTracers.clear();
  if (packWaterLeft) free_matrix(packWaterLeft, header.firstRow, header.lastRow, 1, header.ncols);
  packWaterLeft = nullptr;
}
