// The heat of the unsaturated zone: its grids and stacks, the temperature
// below the columns, the thermal values of the soil table, the start values
// of the soil temperatures, and what a column takes for its heat steps and
// gives back.

#include <algorithm>
#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int pointFileCode = 62;
constexpr double notConfigured = -9999.0; // n-factors below this are not given

} // namespace

void unsatzonmodellklasse::takeHeatGrids() {
  airTemperature = registry[requireGrid("temperature")].grid;
  auto optional = [&](const char* name) {
    const int index = findGrid(name, 1);
    return index > 0 ? registry[index].grid : nullptr;
  };
  snowSolid = optional("snowstorage_solid");
  lowerHeatFlux = optional("HeatFlux_Lower_Boundary_Condition");
  lowerTemperature = optional("T_Lower_Boundary_Condition");
}

void unsatzonmodellklasse::registerHeatGrids() {
  if (!isHeatTransferActive()) return;
  takeHeatGrids();
  const HeatTransferSettings& h = settings.heat;
  soilTemperature = registerOwnStack("Soil_Temperature_Stack", h.temperatureStack);
  soilEnergy = registerOwnStack("Soil_SE_Stack", h.seStack);
  if (!lowerTemperature) {
    lowerTemperature = registerOwnGrid("T_Lower_Boundary_Condition", nullptr);
    computeLowerBoundary();
  }
  thawDepth = registerOwnGrid("ThawDepthTMod", &h.thawDepthGrid);
  // Groundwater passes the frozen ground under its table on to its leakage.
  if (findGrid("gw_1_colmation_frozen", 1) > 0 && findGrid("gw_1_colmation_unfrozen", 1) > 0) {
    requireGrid("gw_kolmation_1");
    frozenGroundwater = registerOwnGrid("frozenSoilInGroundwater", nullptr);
  }
  // Temperatures read with the state take no start values.
  initialiseTemperatures = settings.readGrid == 0 || settings.readGrid == 2;
}

void unsatzonmodellklasse::computeLowerBoundary() {
  const double* k = settings.heat.constants;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c))
        lowerTemperature[r][c] = k[dTModLapseRate] * elevation[r][c] + k[dTModLowBoundBase];
  char name[64];
  std::snprintf(name, sizeof name, "%s_%.03d", "T_Lower_Boundary_Condition", mpiRank);
  std::string path = name;
  prependDirectory(outputDirectory, path);
  noteOutputFile(path, "the temperature below the soil columns of [heat_transfer]");
  const std::string gridName = name;
  createOutputsWhenChecked([this, gridName] {
    shareExitCode(*diag, catchExitCode([&] {
      writeGrid(gridName.c_str(), lowerTemperature, writeAsciiGrids, writeDoubleGrids,
                writeNetCDFGrids);
    }));
  });
}

void unsatzonmodellklasse::setThermalDefaults(std::vector<soil_class>& table) const {
  const double* k = settings.heat.constants;
  for (size_t t = 1; t < table.size(); ++t) {
    soil_class& soil = table[t];
    for (int l = 1; l <= soil.getLayerCount(); ++l) {
      if (soil.getHeatCapacityDry(l) < 0.0) soil.setHeatCapacityDry(l, k[dTModCDrySoil]);
      if (soil.getDensityDry(l) < 0.0) soil.setDensityDry(l, k[dTModRhoDrySoil]);
      if (soil.getDryThermalConduct(l) < 0.0) soil.setDryThermalConduct(l, k[dTModLamDrySoil]);
      if (soil.getMinFrozenConduct(l) < 0.0) soil.setMinFrozenConduct(l, k[dTModKmin]);
      soil.buildFreezingCurveTables(k[dTModFactor], l);
    }
    // Filled here, once, since the solver's threads read them.
    soil.cacheConductivityPowers(k[dTModLamWat]);
  }
}

void unsatzonmodellklasse::setThermalDefaults() {
  if (!isHeatTransferActive()) return;
  const double* k = settings.heat.constants;
  setThermalDefaults(*soilTable);
  HeatModelSettings& m = heatModel;
  m.method = settings.heat.method;
  m.lambdaWater = k[dTModLamWat];
  m.lambdaIce = k[dTModLamIce];
  // The latent heat and the capacities are given per kilogram.
  m.latentHeat = k[dTModLatHeat] * k[dTModRhoWater];
  m.capacities.waterHeatCapacity = k[dTModCWater] * k[dTModRhoWater];
  m.capacities.iceHeatCapacity = k[dTModCIce0] * k[dTModRhoWater];
  m.shortestStep = k[dTModShortestStep];
  m.longestStep = k[dTModLongestStep];
  m.nFactorFreezing = k[dTModNFactorFreezing];
  m.nFactorThawing = k[dTModNFactorThawing];
}

void unsatzonmodellklasse::createTemperatureFile() {
  if (!isHeatTransferActive() || !ownsControlPoint()) return;
  OutputText text;
  FILE* file = text.file();
  bool written = true;
  if (file) {
    written = std::fprintf(file, "YY\tMM\tDD\tHH\ttemper[%ld][%ld]", settings.controlRow,
                           settings.controlColumn) > 0;
    for (int level = 1; level <= layers; ++level)
      written = written && std::fprintf(file, "[%d]\t", level) > 0;
    written = written && std::fputs("\n", file) >= 0;
    written = written && createOutputFile(settings.heat.temperatureFile, text.text()) == 0;
  }
  if (written) return;
  *diag << "FATAL: error opening file for soil temperatures (single point details) \n-> check "
           "disk space or user rights"
        << "[end-entry]";
  throw pointFileCode;
}

// The air above, the lower boundary at the column's bottom, linear in the
// depth of the layer centres between them.
void unsatzonmodellklasse::initialiseSoilTemperatures() {
  const std::vector<soil_class>& table = *context.soilTable;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      double* t = soilTemperature[r][c];
      if (!isOwnValidCell(r, c)) {
        std::fill(t, t + layers + 1, nodata);
        continue;
      }
      const int n = table[static_cast<size_t>(soilTypes[r][c])].getLayerCount();
      const double* z = geodeticHeads[r][c];
      const double air = airTemperature[r][c];
      const double lower = lowerTemperature[r][c];
      t[0] = air;
      for (int i = 1; i <= n; ++i) {
        const double x = (z[0] - 0.5 * (z[i - 1] + z[i])) / (z[0] - z[n]);
        t[i] = x * lower + (1.0 - x) * air;
      }
    }
  initialiseTemperatures = false;
}

void unsatzonmodellklasse::takeNFactorsOfDate(const ModelDate& date) {
  const std::vector<landuse_class>* uses = context.landuseTable;
  nFactorsOfDate.assign(uses ? uses->size() : 0, notConfigured - 1.0);
  for (size_t i = 1; i < nFactorsOfDate.size(); ++i)
    nFactorsOfDate[i] = (*uses)[i].getNFactorByDate(diag, date.day, date.month, date.year);
}

void unsatzonmodellklasse::setHeatForcing(long r, long c, ColumnSolver& solver,
                                          HeatForcing& forcing) const {
  const double nodata = header.nodata;
  const double air = airTemperature[r][c];
  forcing.airTemperature = air;
  // The n-factor of the date, else the land use's for freezing or thawing,
  // else the configured one.
  const double index = landuse[1] ? landuse[1][r][c] : nodata;
  const bool valid = index >= 1.0 && index < static_cast<double>(nFactorsOfDate.size());
  const landuse_class* use = valid ? &(*context.landuseTable)[static_cast<size_t>(index)] : nullptr;
  double nFactor = use ? nFactorsOfDate[static_cast<size_t>(index)] : notConfigured - 1.0;
  if (nFactor < notConfigured && use)
    nFactor = air < 0.0 ? use->getNfFreezing() : use->getNfThawing();
  if (nFactor < notConfigured)
    nFactor = air < 0.0 ? heatModel.nFactorFreezing : heatModel.nFactorThawing;
  forcing.nFactor = nFactor;
  HeatBoundary& b = forcing.boundary;
  b.lowerIsFlux = lowerHeatFlux && lowerHeatFlux[r][c] != nodata;
  b.lower = b.lowerIsFlux ? lowerHeatFlux[r][c] : lowerTemperature[r][c];
  // Water under a snow cover enters at the melting point.
  b.source = snowSolid && snowSolid[r][c] > 0.0 ? 0.0 : air;

  SoilColumn& column = solver.column;
  HeatColumn& heat = solver.heat;
  const int n = column.layers;
  heat.bind(*column.soil, n, column.d);
  const double* t = soilTemperature[r][c];
  std::copy(t, t + n + 1, heat.T);
  // Water flows in the first heat steps as it flowed at the end of the
  // last sub-step.
  const double* q = solverGrids.flux[r][c];
  for (int k = 0; k <= n; ++k) column.q[k] = q[k] != nodata ? q[k] : 0.0;
}

void unsatzonmodellklasse::writeBackHeat(long r, long c, const ColumnSolver& solver,
                                         double tableLevel) {
  const HeatColumn& heat = solver.heat;
  const int n = heat.layers;
  double* t = soilTemperature[r][c];
  double* energy = soilEnergy[r][c];
  t[0] = solver.surfaceTemperature;
  energy[0] = 0.0;
  for (int k = 1; k <= n; ++k) {
    t[k] = heat.T[k];
    energy[k] = heat.energy[k];
    energy[0] += heat.energy[k];
  }
  thawDepth[r][c] = heat.thawDepth(solver.surfaceTemperature);
  if (frozenGroundwater)
    frozenGroundwater[r][c] = heat.frozenThickness(static_cast<int>(tableLevel));
}
