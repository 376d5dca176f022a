// The small operations of the snow model around its step: the hand-overs
// of the driver, the inputs that depend on the order of interception and
// snow, lakes, the seasonal sines, the layered snow stacks, tracers,
// flushing and the teardown.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "config/control_file_session.h"
#include "config/soil_class.h"
#include "core/diag_stream.h"
#include "snow/schneemodellklasse.h"

namespace {

constexpr int closeCode = 11;
constexpr int lakeCode = 28;

} // namespace

void schneemodellklasse::flushStatistics() {
  if (flowControl == 0) return;
  for (SnowSeries& s : series)
    if (s.statistic) s.statistic->writeBuffer();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) t->statistic->writeBuffer();
}

int schneemodellklasse::setRadiationCorrection(Grid grid) {
  if (flowControl != 0) radiationCorrectionGrid = grid;
  return flowControl;
}

Grid schneemodellklasse::getSolidSnowStorage() const {
  return flowControl != 0 ? grids[solidGrid].grid : nullptr;
}

int schneemodellklasse::setGlacierRunoffTable(double* table) {
  if (flowControl == 0) return 0;
  glacierRunoffTable = table;
  modelobject::writeStorage = 1;
  return flowControl;
}

double schneemodellklasse::seasonalMeltFactor(long day, long month) const {
  return seasonalSine(meltFactorMean, meltFactorAmplitude, day, month, context.monthDays);
}

double schneemodellklasse::seasonalIceRadiationFactor(long day, long month) const {
  return seasonalSine(iceRadiationMean, iceRadiationAmplitude, day, month, context.monthDays);
}

double schneemodellklasse::seasonalSnowRadiationFactor(long day, long month) const {
  return seasonalSine(snowRadiationMean, snowRadiationAmplitude, day, month, context.monthDays);
}

double schneemodellklasse::saturationVapourPressureIce(double t) const {
  return iceSaturationVapourPressure(t);
}

int schneemodellklasse::getMethod() const { return flowControl > 0 ? method : 0; }

void schneemodellklasse::initLakeGrids(const std::string& section) {
  if (flowControl == 0) return;
  if (findGrid("lake_codes", 1) <= 0) {
    *diag << "INFO: no LAKE-grid was found in " << moduleName << "\n"
          << "Lake modelling is switched off for " << moduleName << "."
          << "[end-entry]";
    return;
  }
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag);
  seekSection(section, true);
  readControlValue(controlFile, "%d", lakeFlag, "flow control parameter for ");
  if (context.hruFlag != 0) lakeFlag = 0;
  if (lakeFlag != 0) {
    lakeCodes = registry[requireGrid("lake_codes")].grid;
    const int pond = findGrid("ponding_storage", 1) > 0 ? findGrid("ponding_storage", 1)
                                                        : findGrid("ponding_storage_top", 1);
    if (pond <= 0) {
      *diag << "FATAL: \n\n=======================================\n"
            << "!!!! ERROR !!!! \n\n"
            << "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
            << "\nboth grids as well as the MAXPOND grid must be present."
            << "\n\n=======================================\n"
            << "[end-entry]";
      throw lakeCode;
    }
    pondGrid = registry[pond].grid;
  }
  if (!session.close()) {
    *diag << "FATAL: error closing " << controlFileName
          << "after reading initialization method for " << section << "[end-entry]";
    throw closeCode;
  }
}

// With interception first, snow receives what falls through the canopy;
// the canopy model's climate below the canopy replaces the open air.
void schneemodellklasse::setInterceptionFirst(bool first) {
  if (flowControl == 0) return;
  interceptionFirst = first;
  if (precipitation) return;
  auto optional = [&](const std::string& name) {
    const int index = findGrid(name, 1);
    return index > 0 ? registry[index].grid : nullptr;
  };
  auto firstOf = [&](const std::string& a, const std::string& b) {
    const int index = findGrid(a, 1);
    return index > 0 ? registry[index].grid : registry[requireGrid(b)].grid;
  };
  precipitation = interceptionFirst ? firstOf("throughfall0", "precipitation")
                                    : registry[requireGrid("precipitation")].grid;
  openPrecipitation = optional("precipitation");
  if (!openPrecipitation) openPrecipitation = precipitation;
  irrigationAmounts = optional("irrigation_amounts");
  canopyUnload = optional("Snow_canopy_unload_solid");
  canopyLongwave = optional("Snow_canopy_IR_radiation");
  if (usesWind()) wind = firstOf("Snow_canopy_wind", "wind_speed");
  if (isEnergyBalance()) {
    humidity = firstOf("Snow_canopy_rh", "air_humidity");
    radiation = firstOf("Snow_canopy_rad", "AspectCorrectedGlobalRadiation");
  }
  temperature = registry[requireOneOf4Grids("Snow_canopy_temperature", "corr_temperature",
                                            "temperature", "temperature_14")]
                    .grid;
}

void schneemodellklasse::setLayeredSnow(bool active, const SnowLayerSettings* settings,
                                        double temperatureOffset) {
  layeredSnow = active && settings;
  if (!layeredSnow) return;
  layerSettings = *settings;
  snowLayerTemperatureOffset = temperatureOffset;
  auto stack = [&](const std::string& name) {
    const int index = requireGrid(name);
    layerLevels = static_cast<int>(registry[index].levels);
    return registry[index].stack;
  };
  layerSolid = stack("SnowWaterEquivalentSolid");
  layerLiquid = stack("SnowWaterEquivalentLiquid");
  upperIndexSnow = registry[requireGrid("upperIndexSnow")].grid;
  layerThickness = stack("SnowLayerThickness");
  layerDensity = stack("SnowDensity");
  if (snowLayerHeat) layerTemperature = stack("Temperature_Stack_Snow");
}

void schneemodellklasse::setLayeredSnow(bool active, const std::vector<soil_class>* snowTypes,
                                        double temperatureOffset) {
  if (!active || !snowTypes || snowTypes->size() < 2) {
    setLayeredSnow(false);
    return;
  }
  const soil_class& type = (*snowTypes)[1];
  SnowLayerSettings settings;
  settings.layers = type.getLayerCount();
  settings.density.assign(1, 0.0);
  settings.maxThickness.assign(1, 0.0);
  for (int k = 1; k <= settings.layers; ++k) {
    settings.density.push_back(type.getDensityDry(k));
    settings.maxThickness.push_back(type.getThickness(k));
  }
  setLayeredSnow(true, &settings, temperatureOffset);
}

// Removal empties layers from the top; addition fills from the uppermost
// occupied layer upwards, each layer up to its largest thickness, the top
// layer without limit.
void schneemodellklasse::transferLayeredSnow(long r, long c, bool skip, double fraction,
                                             double amount, double t) {
  if (skip || !layeredSnow) return;
  const int n = layerSettings.layers;
  const double nodata = -9999.0;
  double* solid = layerSolid[r][c];
  double* liquid = layerLiquid[r][c];
  double* thickness = layerThickness[r][c];
  double* density = layerDensity[r][c];
  double* heat = layerTemperature ? layerTemperature[r][c] : nullptr;
  int u = static_cast<int>(upperIndexSnow[r][c]);
  if (amount < 0.0) {
    double m = fraction * -amount;
    for (int k = std::max(u, 1); m > 0.0 && k <= n; ++k) {
      if (m >= solid[k]) {
        m -= solid[k];
        solid[k] = 0.0;
        liquid[0] += liquid[k];
        liquid[k] = 0.0;
        density[k] = thickness[k] = nodata;
        if (heat) heat[k] = nodata;
        u = k + 1;
        continue;
      }
      solid[k] -= m;
      // A layer's density is known only while it holds snow.
      if (density[k] > 0.0) thickness[k] = (solid[k] + liquid[k]) / density[k] / 1000.0;
      m = 0.0;
    }
  } else {
    double m = amount * fraction;
    u = std::min(u, n);
    for (int k = u; m > 0.0 && k >= 1; --k) {
      u = k;
      const double held = thickness[k] > nodata ? thickness[k] : 0.0;
      const double rho = layerSettings.density[static_cast<size_t>(k)] / 1000.0;
      const double room =
          k == 1 ? m : rho * (layerSettings.maxThickness[static_cast<size_t>(k)] - held) * 1000.0;
      if (room <= 0.0) continue;
      const double add = std::min(m, room);
      if (heat)
        heat[k] = (solid[k] * heat[k] + add * std::min(t + snowLayerTemperatureOffset, 0.0)) /
                  (solid[k] + add);
      solid[k] += add;
      thickness[k] = add / 1000.0 / rho + held;
      m -= add;
      density[k] = thickness[k] == 0.0 ? 0.0 : (solid[k] + liquid[k]) / (thickness[k] * 1000.0);
    }
  }
  double sum = 0.0;
  for (int k = 1; k <= n; ++k) sum += solid[k];
  solid[0] = sum;
  upperIndexSnow[r][c] = u;
}

// The layers' ice is the pack's, their liquid water the pack's melt and
// rain on its way to the soil: all of it goes with the pack.
double schneemodellklasse::takeLayeredSnow(long r, long c) {
  if (!layeredSnow) return 0.0;
  const double nodata = -9999.0;
  const int n = layerSettings.layers;
  double liquid = 0.0;
  for (int k = 0; k <= n; ++k) {
    liquid += std::max(0.0, layerLiquid[r][c][k]);
    layerSolid[r][c][k] = layerLiquid[r][c][k] = 0.0;
    if (k == 0) continue;
    layerThickness[r][c][k] = layerDensity[r][c][k] = nodata;
    if (layerTemperature) layerTemperature[r][c][k] = nodata;
  }
  upperIndexSnow[r][c] = n + 1;
  return liquid;
}

void schneemodellklasse::setDumpOptions(bool mode, bool close, bool repair, std::int64_t maximum) {
  dumpMode = mode;
  closeAfterDump = close;
  repairAfterDump = repair;
  maxDumpFiles = maximum;
}

void schneemodellklasse::initTracers(int& errorCode, int tracerCount,
                                     std::vector<TracerRecord>& table,
                                     StatisticTableEntry* statisticTable, long tableSize) {
  initTracersThen(errorCode, tracerCount, table, statisticTable, tableSize, [&] {
    tracerInput.assign(tracers.size() + 1, nullptr);
    char names[2][100];
    const char* const sources[] = {"irrigation", "input"};
    for (size_t j = 1; j <= tracers.size(); ++j) {
      for (int s = 0; s < 2; ++s)
        std::snprintf(names[s], sizeof names[s], "concflux_tracer_%1d_%s", static_cast<int>(j),
                      sources[s]);
      const int index = findGrid(names[0], 1);
      tracerInput[j] = registry[index > 0 ? index : requireGrid(names[1])].grid;
    }
    if (readStorageGrids == 1) readTracerStores();
    // Interception ahead of the snow takes the snow's outflow of the step
    // before as its water's tracers.
    if (readStorageGrids == 1 && interceptionFirst) readTracerFluxes();
  });
}

void schneemodellklasse::freeTracers() {
  if (flowControl != 0) teilmodellklasse::freeTracers();
}

void schneemodellklasse::releaseModule() {
  if (flowControl > 0) {
    if (modelobject::writeStorage != 0 && storageNameKept) writeGlacierExtent();
    if (modelobject::writeStorage != 0) writeStorage(true);
    releaseStatistics();
    releaseGrids();
  }
  teilmodellklasse::releaseModule();
}
