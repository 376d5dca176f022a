// The temperature pre-spin-up: degree days of freezing and thawing over a
// period, from which every soil column gets the temperatures of a ground in
// balance with that climate, before the run proper starts.

#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int heatModelMissingCode = 1040;
constexpr int registryFullCode = 12;
constexpr double minutesOfDay = 1440.0;
constexpr double minutesOfYear = 525960.0;
constexpr double daysOfYear = 365.0;
constexpr double airConductivity = 0.0262;  // W/(m K)
constexpr double geothermalHeatFlux = 0.06; // W/m^2
// The depth whose temperature the degree days decide.
constexpr double referenceDepth = 1.0; // m
constexpr double notConfigured = -9999.0;

} // namespace

Grid unsatzonmodellklasse::preSpinUpGrid(const std::string& name) {
  if (firstFreeRegistryIndex() >= gridRegistryLimit) {
    *diag << "FATAL: no more free grids in memory, (max. " << gridRegistryLimit << ")!"
          << "[end-entry]";
    throw registryFullCode;
  }
  Grid grid = registerOwnGrid(name, nullptr);
  preSpinUpIndices.push_back(ownGrids.back().index);
  return grid;
}

int unsatzonmodellklasse::preSpinUpSoilTemperature(long minute, long hour) {
  if (getFlowControl() == 0 || routingOnly) return 0;
  if (!isHeatTransferActive() || !airTemperature) {
    *diag << "FATAL: heat transfer model not active in unsatzon_model. This is required for "
             "pre-SpinUp!"
          << "[end-entry]";
    throw heatModelMissingCode;
  }
  if (!preSpinUpStarted) {
    preSpinUpStarted = true;
    // A grid of freezing degree days that exists already goes on counting.
    const int existing = findGrid("FreezingDegreeDays", 1);
    freezingDegreeDays =
        existing > 0 ? registry[existing].grid : preSpinUpGrid("FreezingDegreeDays");
    thawingDegreeDays = preSpinUpGrid("thawingDegreeDays");
    dailyTemperature = preSpinUpGrid("DailyTemperature");
    annualTemperature = preSpinUpGrid("AnnualTemperature");
  }
  ++stepsOfDay;
  ++preSpinUpSteps;
  // The step whose end reaches or passes midnight closes the day, also when
  // the steps do not divide a day.
  const double reached = static_cast<double>(hour * 60 + minute) + timeStepMinutes;
  const bool dayEnds = reached >= minutesOfDay;
  const double steps = static_cast<double>(stepsOfDay);
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c)) continue;
      const double air = airTemperature[r][c];
      dailyTemperature[r][c] += air;
      annualTemperature[r][c] += air;
      if (!dayEnds) continue;
      const double mean = dailyTemperature[r][c] / steps;
      if (mean >= 0.0)
        thawingDegreeDays[r][c] += mean;
      else
        freezingDegreeDays[r][c] -= mean;
      dailyTemperature[r][c] = 0.0;
    }
  if (dayEnds) stepsOfDay = 0;
  return static_cast<int>(std::fmod(reached, minutesOfDay));
}

namespace {

// Conductivity of a layer at water content theta, thawed or frozen.
double layerConductivity(const soil_class& soil, int layer, double theta, double lambdaWater,
                         double lambdaIce, bool frozen) {
  const double porosity = soil.getThetaSat(layer);
  const double filled = theta + 1.0 - porosity;
  const double x = (1.0 - porosity) / filled;
  const double y = theta / filled;
  return (porosity - theta) * airConductivity + filled *
                                                    std::pow(soil.getDryThermalConduct(layer), x) *
                                                    std::pow(frozen ? lambdaIce : lambdaWater, y);
}

} // namespace

// TTOP, the temperature at the top of the permafrost, from the degree days
// weighted by the n-factors and the conductivities of thawed and frozen
// ground at the reference layer; below it the geothermal heat flux, above
// it the way up to the mean air temperature.
void unsatzonmodellklasse::setColumnFromDegreeDays(long r, long c, const soil_class& soil,
                                                   double years) {
  const int n = soil.getLayerCount();
  const double* theta = this->theta[r][c];
  double* t = soilTemperature[r][c];
  const double air = annualTemperature[r][c];
  int j = 0;
  for (double depth = 0.0; j < n && depth < referenceDepth;) depth += soil.getThickness(++j);
  const int reference = j < 3 ? 1 : j / 3;
  double freezing = notConfigured - 1.0;
  double thawing = notConfigured - 1.0;
  const double index = landuse[1] ? landuse[1][r][c] : header.nodata;
  if (context.landuseTable && index >= 1.0 &&
      index < static_cast<double>(context.landuseTable->size())) {
    const landuse_class& use = (*context.landuseTable)[static_cast<size_t>(index)];
    freezing = use.getNfFreezing();
    thawing = use.getNfThawing();
  }
  if (freezing < notConfigured) freezing = heatModel.nFactorFreezing;
  if (thawing < notConfigured) thawing = heatModel.nFactorThawing;
  const double lw = heatModel.lambdaWater;
  const double li = heatModel.lambdaIce;
  const double thawed = layerConductivity(soil, reference, theta[reference], lw, li, false);
  const double frozen = layerConductivity(soil, reference, theta[reference], lw, li, true);
  const double ttop =
      (thawed * thawing * thawingDegreeDays[r][c] - frozen * freezing * freezingDegreeDays[r][c]) /
      (frozen * years * daysOfYear);
  const double heatFlux = lowerHeatFlux && lowerHeatFlux[r][c] != header.nodata
                              ? lowerHeatFlux[r][c]
                              : geothermalHeatFlux;
  // Each layer below is warmer by the flux over its conductivity, thawed
  // or frozen as the layer above it.
  auto downwards = [&](int from, bool frozenAllowed) {
    for (int l = from; l <= n; ++l)
      t[l] = t[l - 1] +
             soil.getThickness(l) * heatFlux /
                 layerConductivity(soil, l, theta[l], lw, li, frozenAllowed && !(t[l - 1] > 0.0));
  };
  t[0] = air;
  if (ttop < 0.0) {
    t[j] = ttop;
    downwards(j + 1, true);
    double top = 0.0;
    for (int l = 1; l < j; ++l) top += soil.getThickness(l);
    const double referenceCentre = top + 0.5 * soil.getThickness(j);
    top = 0.0;
    for (int l = 1; l < j; ++l) {
      t[l] = interpolateLinear(0.0, air, referenceCentre, ttop, top + 0.5 * soil.getThickness(l));
      top += soil.getThickness(l);
    }
  } else {
    t[1] = air;
    downwards(2, false);
  }
}

void unsatzonmodellklasse::updateSoilTemperatureStack() {
  if (getFlowControl() == 0 || routingOnly || !preSpinUpStarted || preSpinUpSteps == 0) return;
  const double years = static_cast<double>(preSpinUpSteps) * timeStepMinutes / minutesOfYear;
  const double steps = static_cast<double>(preSpinUpSteps);
  forEachOwnColumn([&](long r, long c, const soil_class& soil) {
    annualTemperature[r][c] /= steps;
    setColumnFromDegreeDays(r, c, soil, years);
  });
  for (const char* name : {"FreezingDegreeDays", "thawingDegreeDays", "AnnualTemperature"})
    writeGatheredGrid(name);
  const int stackIndex = findGrid("Soil_Temperature_Stack", 1);
  writeRegisteredStack(stackIndex, registry[stackIndex].fileName);
  for (int index : preSpinUpIndices) releaseOwnGrid(index);
  preSpinUpIndices.clear();
  freezingDegreeDays = thawingDegreeDays = dailyTemperature = annualTemperature = nullptr;
  preSpinUpStarted = false;
  stepsOfDay = preSpinUpSteps = 0;
  initialiseTemperatures = false;
}

void unsatzonmodellklasse::writeGatheredGrid(const std::string& name) {
  const int index = findGrid(name, 1);
  Grid grid = registry[index].grid;
  Grid whole = MPIGatherGridCopy(index, grid);
  const int code = mpiRank != 0 ? 0 : catchExitCode([&] {
    writeGrid(name, whole ? whole : grid, writeAsciiGrids, writeDoubleGrids, writeNetCDFGrids);
  });
  if (whole) free_matrix(whole, 1, header.nrows, 1, header.ncols);
  shareExitCode(*diag, code);
}

void unsatzonmodellklasse::releaseOwnGrid(int index) {
  auto g = std::find_if(ownGrids.begin(), ownGrids.end(),
                        [index](const OwnGrid& own) { return own.index == index; });
  if (g == ownGrids.end()) return;
  unregisterGrid(index);
  free_matrix(g->grid, g->firstRow, g->lastRow, 1, header.ncols);
  ownGrids.erase(g);
}
