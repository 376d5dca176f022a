// The initial state of every soil column: computed at rest over an initial
// groundwater table, or read from the grids and stacks of a former run.

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "soil/soil_column.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int settingCode = 17;
constexpr int stackLevelsCode = 13;
constexpr int soilTypeCode = 52;

// The first cell of a loop whose soil type is none of the table.
struct SoilFault {
  long row = 0;
  long column = 0;
  double value = 0.0;
};

} // namespace

void unsatzonmodellklasse::setInitialState() {
  checkSoilTypes();
  startFluxesAtRest();
  if (settings.readGrid == 1 || settings.readGrid == 3) {
    readStateGrids();
    computeRootZoneFromState();
    readKeptState();
  } else {
    computeColumns();
    computeRootZoneFromState();
  }
  fillIrrigationGrids();
}

// Every own cell's soil type must be a record of the table. A type with
// fewer layers than the stacks leaves the levels below its column nodata.
void unsatzonmodellklasse::checkSoilTypes() {
  const long count = static_cast<long>(context.soilTable->size()) - 1;
  SoilFault fault;
  bool found = false;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c)) continue;
      const double index = soilTypes[r][c];
      if (index >= 1.0 && index <= count && index == std::floor(index)) continue;
#pragma omp critical(unsatzonSoilFault)
      if (!found || r < fault.row || (r == fault.row && c < fault.column)) {
        fault = SoilFault{r, c, index};
        found = true;
      }
    }
  const int code = catchExitCode([&] {
    if (!found) return;
    *diag << "FATAL: in modul " << moduleName << ": the cell at row " << fault.row << " column "
          << fault.column << " of " << gridWithFile("soil_types") << " holds " << fault.value
          << ", which is no soil type of [soil_table]; give every cell of the catchment a soil "
             "type of the table"
          << "[end-entry]";
    throw soilTypeCode;
  });
  shareExitCode(*diag, code);
}

// The columns start without flux, so that a cell a glacier covers from the
// start hands nothing on.
void unsatzonmodellklasse::startFluxesAtRest() {
  Stack flux = registry[findGrid("q_down", 1)].stack;
  forEachOwnColumn([&](long r, long c, const soil_class& soil) {
    std::fill(flux[r][c], flux[r][c] + soil.getLayerCount() + 1, 0.0);
  });
}

// Grids that only the solver writes and a former run may have left: a cell
// wholly under a glacier is not solved and keeps what its last solved step
// (or the state of its first day) gave; irrigation by demand runs before the
// soil and starts from the amount of the step before and the root zone's
// moisture that the soil's last step left.
void unsatzonmodellklasse::readKeptState() {
  const IrrigationTable* irrigation = irrigationAmounts ? context.irrigationTable : nullptr;
  const bool byDemand =
      irrigation && std::any_of(irrigation->begin() + 1, irrigation->end(), [](const auto& r) {
        return r.method == irrigationBySuction || r.method == irrigationByEtrEtpRatio;
      });
  const bool glaciers = findGlacierGrid() > 0;
  const struct {
    Grid grid;
    int line;
    const char* label;
    bool byDemand;
    const char* effect;
  } grids[] = {
      {irrigationAmounts, lineIRRIG, "IRRIG", true,
       "starts as if no water was given in the step before"},
      {registry[findGrid("SB_1_grid", 1)].grid, lineSB05, "SB05", true,
       "takes the root zone's moisture from the soil state over the roots of its first day"},
      {registry[findGrid("ROOTgrid", 1)].grid, lineWURZ, "WURZ", false,
       "takes the root depth of its first day"}};
  for (const auto& g : grids) {
    if (!g.grid) continue;
    const NamedOutput& line = settings.grids[g.line];
    if (initialStateFileExists(line.name)) {
      readStateGrid(g.grid, line);
      continue;
    }
    const bool demanded = g.byDemand && byDemand;
    if (!demanded && !(glaciers && g.grid != irrigationAmounts && line.writeCode != 0)) continue;
    *diag << "WARNING: no grid " << line.name
          << " of a former run in the directory of the initial states: "
          << (demanded ? "irrigation by demand " : "a cell wholly under a glacier ") << g.effect
          << "; write " << g.label << " with the state for a warm start equal to a run through"
          << "[end-entry]";
  }
}

// Irrigation by demand runs before the soil's first step and reads the
// root zone's moisture: the state the soil starts from gives it, over the
// roots of the first day.
void unsatzonmodellklasse::computeRootZoneFromState() {
  SolverGrids grids;
  grids.rootZoneWater = registry[findGrid("SB_1_grid", 1)].grid;
  grids.rootZoneSuction = registry[findGrid("MeanThetaInRootZone", 1)].grid;
  grids.columnWater = registry[findGrid("SB_2_grid", 1)].grid;
  grids.rootDepthOutput = registry[findGrid("ROOTgrid", 1)].grid;
  const std::vector<landuse_class>* table = context.landuseTable;
  const ModelDate& day = startDate;
  forEachOwnColumn([&](long r, long c, const soil_class& soil) {
    // As the solver takes them: the deepest root of the layers with a land
    // use, none shallower than the top layer.
    double root = 0.0;
    for (int k = 1; k <= landuseLayers; ++k) {
      const double index = landuse[static_cast<size_t>(k)][r][c];
      if (!table || !(index >= 1.0 && index < static_cast<double>(table->size()))) continue;
      const landuse_class& use = (*table)[static_cast<size_t>(index)];
      root = std::max({root, soil.getThickness(1),
                       use.getRootDepthByDate(diag, day.day, day.month, day.year, k, r, c)});
    }
    storeRootZone(grids, r, c, soil, theta[r][c], root);
  });
}

void unsatzonmodellklasse::storeRootZone(const SolverGrids& grids, long r, long c,
                                         const soil_class& soil, const double* water,
                                         double root) const {
  const int n = soil.getLayerCount();
  const double* d = soil.getThicknessArray();
  const double* thetaSat = soil.getThetaSatArray();
  const double nodata = header.nodata;
  const double rootWater =
      root > 0.0 ? waterInDepthRange(0.0, root, n, d, thetaSat, water, 1, nodata) / root : water[1];
  grids.rootZoneWater[r][c] = rootWater;
  grids.rootZoneSuction[r][c] = soil.suctionFromTheta(1, rootWater);
  grids.columnWater[r][c] =
      waterInDepthRange(0.0, 9999.0, n, d, thetaSat, water, 1, nodata) * 1000.0;
  grids.rootDepthOutput[r][c] = root * 1000.0;
}

// Readgrid 0 puts the table at the top of the layer that ini_gw_level
// selects, readgrid 2 where "groundwater_distance" puts it.
void unsatzonmodellklasse::computeColumns() {
  int tableLayerIndex = 0;
  if (settings.readGrid == 2) {
    readStateGrid(tableDistance, settings.grids[lineGWSTAND]);
    if (ponding && maxPonding) readStateGrid(ponding, settings.grids[linePOND]);
  } else {
    const double divisor = settings.initialTableDivisor;
    if (!(divisor > 0.0)) {
      *diag << "FATAL: error in control file, ini_gw_level (" << divisor
            << ") in [unsatzon_model] of " << userControlFile(controlFileName)
            << " must be above 0; 1 puts the groundwater table in the lowest "
            << "layer, 2 about the middle of the column"
            << "[end-entry]";
      throw settingCode;
    }
    tableLayerIndex =
        std::min(layers, static_cast<int>(std::floor((layers - 1) / divisor) + 1.4999));
  }
  const bool fromGrid = settings.readGrid == 2;
  forEachOwnColumn([&](long r, long c, const soil_class& soil) {
    const int depth = soil.getLayerCount();
    const double surface = elevation[r][c];
    double height = surface;
    for (int k = 1; k < std::min(tableLayerIndex, depth); ++k) height -= soil.getThickness(k);
    if (fromGrid) height = surface + tableDistance[r][c];
    ColumnTable columnTable;
    setColumnAtRest(soil, depth, surface, height, geodeticHeads[r][c], theta[r][c],
                    hydraulicHeads[r][c], columnTable);
    if (!fromGrid) tableDistance[r][c] = columnTable.distance;
    tableLayer[r][c] = columnTable.layer;
    tableLayerTheta[r][c] = columnTable.theta;
  });
}

// Reads one grid of a former run into a grid of the module; only its own
// cells keep what the file holds.
void unsatzonmodellklasse::readStateGrid(Grid grid, const NamedOutput& line,
                                         Resampling resampling) {
  // The reader puts the directory of the initial states in front; every
  // process exchanges the halo rows.
  readGrid(line.name, grid, 0, false, false, false, 0, false, true, 0.0, resampling);
#pragma omp parallel for schedule(runtime)
  for (long r = heldFirstRow; r <= heldLastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (r < header.firstRow || r > header.lastRow || !isOwnValidCell(r, c))
        grid[r][c] = header.nodata;
}

// Readgrid 1 and 3: the columns as a former run left them; the geodetic
// heights follow the elevation model of this run.
void unsatzonmodellklasse::readStateGrids() {
  std::vector<std::pair<Stack, const std::string*>> stacks = {
      {theta, &settings.grids[lineTheta].name},
      {geodeticHeads, &settings.grids[lineHgeo].name},
      {hydraulicHeads, &settings.grids[lineHh].name}};
  if (soilTemperature) stacks.emplace_back(soilTemperature, &settings.heat.temperatureStack.name);
  // The first heat steps move heat with the water of the last sub-step; a
  // cell wholly under a glacier keeps its last fluxes and, with heat, its
  // energy, and gives the top flux on to the lakes.
  const std::string& fluxes = settings.grids[lineQUnten].name;
  if (initialStateFileExists(fluxes))
    stacks.emplace_back(registry[findGrid("q_down", 1)].stack, &fluxes);
  else if (soilTemperature || findGlacierGrid() > 0)
    *diag << "WARNING: no stack " << fluxes
          << " of a former run in the directory of the initial states: "
          << (soilTemperature ? "the soil heat starts without the water flux of the last step"
                              : "a cell wholly under a glacier starts without flux")
          << "; write q_unten with the state for a warm start equal to a run through"
          << "[end-entry]";
  if (soilEnergy && initialStateFileExists(settings.heat.seStack.name))
    stacks.emplace_back(soilEnergy, &settings.heat.seStack.name);
  for (const auto& [stack, name] : stacks) {
    Stack read = nullptr;
    const int lastLevel = readStack(*name, read, false);
    if (lastLevel != layers) {
      free_three_d_matrix(read, header.firstRow, header.lastRow);
      *diag << "FATAL: wrong number of levels in stack " << *name << " (there are " << lastLevel
            << " level, it must be " << layers << "[end-entry]";
      throw stackLevelsCode;
    }
    forEachOwnColumn([&](long r, long c, const soil_class& soil) {
      std::copy(read[r][c], read[r][c] + soil.getLayerCount() + 1, stack[r][c]);
    });
    free_three_d_matrix(read, header.firstRow, header.lastRow);
  }
  forEachOwnColumn([&](long r, long c, const soil_class& soil) {
    double* z = geodeticHeads[r][c];
    z[0] = elevation[r][c];
    for (int k = 1; k <= soil.getLayerCount(); ++k) z[k] = z[k - 1] - soil.getThickness(k);
  });
  readStateGrid(tableDistance, settings.grids[lineGWSTAND]);
  readStateGrid(tableLayer, settings.grids[lineGWLEVEL]);
  readStateGrid(tableLayerTheta, settings.grids[lineGWtheta]);
  readStateGrid(baseflow, settings.grids[lineDELTAGW]);
  if (maxPonding) readStateGrid(ponding, settings.grids[linePOND]);
}
