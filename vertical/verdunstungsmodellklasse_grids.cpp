// The grids of the evapotranspiration module: the inputs it finds, the
// outputs it registers with their statistics, and the copies within the
// spin-up's response units.
#include <cmath>
#include <limits>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/string_helpers.h"
#include "vertical/verdunstungsmodellklasse.h"

namespace {

constexpr int missingInputCode = 46;
constexpr int registryFullCode = 12;
constexpr int unknownUnitCode = 1030;

const char* const inputDashes =
    "-------------------------------------------------------------------\n";

} // namespace

// Which optional inputs exist; the method's needs decide which are looked
// up at all.
void verdunstungsmodellklasse::findInputs() {
  auto flag = [&](const char* name, int bit) {
    if (findGrid(name, 1) > 0) inputMask |= bit;
  };
  if (method == 1) {
    flag("air_pressure", airPressureInput);
    flag("landuse0", multilayerInput);
    flag("wind_speed", windInput);
    flag("air_humidity", humidityInput);
    flag("vapor_pressure", vapourPressureInput);
  }
  if (method == 2) flag("landuse0", multilayerInput);
  if (method == 4) {
    flag("landuse0", multilayerInput);
    flag("air_humidity_14", humidityInput);
    flag("vapor_pressure_14", vapourPressureInput);
  }
  if (method == 1 || method == 3) {
    netRadiation = findGrid("net_radiation", 1) > 0;
    flag(netRadiation ? "net_radiation" : "global_radiation", radiationInput);
    flag("sunshine_duration", sunshineInput);
    flag("landuse0", multilayerInput);
  }
  if (method == 4)
    flag("temperature_14", temperatureInput);
  else if (findGrid("corr_temperature", 1) > 0 || findGrid("temperature", 1) > 0)
    inputMask |= temperatureInput;

  const bool radiative = method == 1 || method == 3;
  if (radiative && !(inputMask & (sunshineInput | radiationInput))) {
    *diag << "FATAL: --------------------------- ERROR ----------------------------------------\n"
             "Evapotranspiration requires at least one of the following entities\n"
             "erlative sunshine duration (SSD, in 1/1)  or global radiation  (RG, in Wh/m^2).\n"
             "or net radiation (RN, in Wh/m^2) (either RG or RN!)\n"
          << inputDashes << "[end-entry]";
    throw missingInputCode;
  }
  const bool humid = method == 1 || method == 4;
  if (humid && !(inputMask & (vapourPressureInput | humidityInput))) {
    // Haude takes the afternoon's values; the day's would pass unnoticed.
    const bool haude = method == 4;
    const char* humidity = haude ? "air_humidity_14" : "air_humidity";
    const char* vapour = haude ? "vapor_pressure_14" : "vapor_pressure";
    const char* other = haude ? "air_humidity" : "air_humidity_14";
    const char* otherVapour = haude ? "vapor_pressure" : "vapor_pressure_14";
    *diag << "FATAL: ---------------------------- ERROR ---------------------------------------\n"
             "Evapotranspiration requires at least one of the following entities\n"
             "vapor pressure (e, in mbar) or relative air humidity (RLF, in 1/1).\n"
          << inputDashes << "evapotranspiration method " << method << " of [evapotranspiration] ("
          << (haude ? "Haude, from the values at 14:00" : "Penman-Monteith")
          << ") requires the relative air humidity \"" << humidity << "\" (1/1) or the vapor "
          << "pressure \"" << vapour << "\" (hPa), a meteorological variable of [meteo_names]"
          << (findGrid(other, 1) > 0 || findGrid(otherVapour, 1) > 0
                  ? std::string("; the run has ") + (findGrid(other, 1) > 0 ? other : otherVapour) +
                        ", which this method does not take"
                  : std::string())
          << "; add " << humidity << " or " << vapour << " to [meteo_names] with its section"
          << "[end-entry]";
    throw missingInputCode;
  }
}

Grid verdunstungsmodellklasse::layerGrid(const char* name, int k) {
  return registry[requireGrid(name + std::to_string(k))].grid;
}

void verdunstungsmodellklasse::takeInputGrids() {
  auto required = [&](const char* name) { return registry[requireGrid(name)].grid; };
  temperature =
      method == 4
          ? required("temperature_14")
          : registry[requireOneOf3Grids("corr_temperature", "temperature", "temperature_14")].grid;
  elevation = required("[elevation_model]");
  if (layers > 1) multilayerType = required("landuse");
  for (std::vector<Grid>* list :
       {&landuse, &leafArea, &coverage, &canopyResistance, &interceptionResistance, &roughness})
    list->assign(static_cast<size_t>(layers) + 1, nullptr);
  for (int k = 1; k <= layers; ++k) {
    landuse[k] = layerGrid("landuse", k);
    leafArea[k] = layerGrid("leaf_area_index", k);
    layerGrid("root_depth", k); // the canopy's, though no formula here reads it
    coverage[k] = layerGrid("vegetation_coverage_degree", k);
    canopyResistance[k] = layerGrid("SurfaceCanopyResistance", k);
    interceptionResistance[k] = layerGrid("SurfaceIntercepResistance", k);
    roughness[k] = layerGrid("RoughnessLength", k);
  }
  if (method == 1) {
    wind = required("wind_speed");
    evaporationResistance = required("SurfaceEvaporationResistance");
  }
  if (method == 1 || method == 3) albedo = required("albedo");
  nightTemperature =
      method == 1 && timeStepMinutes > 720.0 ? required("temperature_night") : temperature;
  if (inputMask & radiationInput)
    radiation = required(netRadiation ? "net_radiation" : "global_radiation");
  if (inputMask & sunshineInput) sunshine = required("sunshine_duration");
  if (inputMask & vapourPressureInput)
    vapourPressure = required(method == 4 ? "vapor_pressure_14" : "vapor_pressure");
  if (inputMask & humidityInput)
    humidity = required(method == 4 ? "air_humidity_14" : "air_humidity");
  if (inputMask & airPressureInput) airPressure = required("air_pressure");

  takeGlacierGrid();
  // Daily steps move the day's temperature amplitude into these grids.
  if (method == 1 && timeStepMinutes > 720.0) {
    rewrittenTemperature = rewrittenGrid(temperature);
    rewrittenNightTemperature = rewrittenGrid(nightTemperature);
  }
}

void verdunstungsmodellklasse::takeGlacierGrid() {
  const int g = findGlacierGrid();
  glacierFraction = g > 0 ? registry[g].grid : nullptr;
}

// Before a layer, after its potential and after its real transpiration the
// registry must still have room.
void verdunstungsmodellklasse::registerOutputGrids() {
  const char* const before = "FATAL: no free grid left";
  const char* const afterPotential = "FATAL: no free grid left of ";
  const char* const afterReal = "FATAL: no free ghrid left of ";
  for (std::vector<OwnGrid>* list :
       {&potentialTranspiration, &realTranspiration, &potentialInterception})
    list->assign(static_cast<size_t>(layers) + 1, OwnGrid{});
  auto layerFile = [&](Output o, int k) {
    return k == 0 ? outputs[o].file : layerFileName(outputs[o].file, k);
  };
  for (int k = 0; k <= layers; ++k) {
    const std::string n = std::to_string(k);
    potentialTranspiration[k] = registerOwnGrid(layerFile(ETP, k), "pot_transpiration" + n,
                                                outputs[ETP].writeCode, 0.0, before, "");
    realTranspiration[k] = registerOwnGrid(layerFile(ETR, k), "real_transpiration" + n,
                                           outputs[ETR].writeCode, 0.0, afterPotential, "!\n");
    potentialInterception[k] = registerOwnGrid(layerFile(EIP, k), "potential_InterceptionEvap" + n,
                                               outputs[EIP].writeCode, 0.0, afterReal, "!\n");
  }
  potentialEvaporation = registerOwnGrid(outputs[EVAP].file, "potential_evaporation",
                                         outputs[EVAP].writeCode, 0.0, before, "");
  realEvaporation = registerOwnGrid(outputs[EVAR].file, "real_evaporation", outputs[EVAR].writeCode,
                                    0.0, before, "");
  snowEvaporation = registerOwnGrid(outputs[EVRS].file, "snow_evaporation", outputs[EVRS].writeCode,
                                    0.0, before, "");
  correctedRadiation =
      registerOwnGrid("correctedradiation", "AspectCorrectedGlobalRadiation", 0, 0.0, before, "");
  cloudiness = registerOwnGrid("cloudiness", "cloudiness", 0, 0.0, before, "");
  // No daylight period has been seen before the first step.
  sunshineMemory = registerOwnGrid("SSDTemp", "SSDTemp", 0, 0.5, before, "");
}

// The start value in the own cells, nodata in every other cell of the held
// rows.
verdunstungsmodellklasse::OwnGrid
verdunstungsmodellklasse::registerOwnGrid(const std::string& file, const std::string& name,
                                          long writeCode, double start, const char* fullText,
                                          const char* fullEnd) {
  OwnGrid g;
  const int free = firstFreeRegistryIndex();
  if (free >= gridRegistryLimit) {
    *diag << fullText << gridRegistryLimit << fullEnd << "[end-entry]";
    throw registryFullCode;
  }
  const long ncols = header.ncols;
  g.grid = matrix(heldFirst, heldLast, 1, ncols, header.nrows);
  fillRows(g.grid, heldFirst, heldLast, ncols, header.nodata);
  allCells.forEach([&](long r, long c) { g.grid[r][c] = start; });
  // Held before registration, which may write the grid and fail.
  g.index = free;
  registerGrid(g.index, file, g.grid, nullptr, 0, name, writeCode, heldFirst, heldLast);
  return g;
}

void verdunstungsmodellklasse::releaseOwnGrid(OwnGrid& g) {
  if (!g.grid) return;
  if (g.index > 0 && registry[g.index].grid == g.grid) unregisterGrid(g.index);
  free_matrix(g.grid, heldFirst, heldLast, 1, header.ncols);
  g = OwnGrid{};
}

void verdunstungsmodellklasse::releaseOwnGrids() {
  for (std::vector<OwnGrid>* list :
       {&potentialTranspiration, &realTranspiration, &potentialInterception})
    for (OwnGrid& g : *list) releaseOwnGrid(g);
  for (OwnGrid* g : {&potentialEvaporation, &realEvaporation, &snowEvaporation, &correctedRadiation,
                     &cloudiness, &sunshineMemory})
    releaseOwnGrid(*g);
}

void verdunstungsmodellklasse::createStatistics() {
  for (std::vector<Series>* list : {&etpSeries, &eipSeries, &etrSeries})
    list->resize(static_cast<size_t>(layers) + 1); // the series keep pointers into them
  const char* const tags[] = {"(Penman/Monteith)_", "(HAMON)_", "(WENDLING)_", "(HAUDE)_"};
  auto layerFile = [&](Output o, int k) {
    const std::string& file = outputs[o].statisticFile;
    return k == 0 ? file : layerFileName(file, k);
  };
  const int failure = catchExitCode([&] {
    for (int k = 0; k <= layers; ++k) {
      const std::string n = std::to_string(k);
      book.createSeries(etpSeries[k], layerFile(ETP, k), outputs[ETP].statisticCode, 5,
                        "pot_transpiration" + n + tags[method - 1]);
      book.createSeries(eipSeries[k], layerFile(EIP, k), outputs[EIP].statisticCode, 5,
                        "potential_InterceptionEvap" + n);
      book.createSeries(etrSeries[k], layerFile(ETR, k), outputs[ETR].statisticCode, 5,
                        k == 0 ? "total_Evapotranspiration_as_sum_of_ETR1..n_EI1..n_EVAR_and_EVRS_"
                               : "real_transpiration" + n);
    }
    book.createSeries(evapSeries, outputs[EVAP].statisticFile, outputs[EVAP].statisticCode, 5,
                      "potential_evaporation");
    book.createSeries(evarSeries, outputs[EVAR].statisticFile, outputs[EVAR].statisticCode, 5,
                      "real_evaporation");
    book.createSeries(evrsSeries, outputs[EVRS].statisticFile, outputs[EVRS].statisticCode, 5,
                      "snow_evaporation");
    book.createSeries(radiationSeries, radiationStatisticFile, radiationStatisticCode, 2,
                      "Global_Radiation_corrected_by_Exposition_");
    book.createSeries(cloudinessSeries, cloudinessStatisticFile, cloudinessStatisticCode, 2,
                      "cloudiness");
  });
  // Rank 0 alone writes the headers; the others must learn of its failure.
  shareExitCode(*diag, failure);
}

void verdunstungsmodellklasse::releaseStatistics() {
  forEachSeries([](zonalstatistic& s) { s.release(); });
  for (std::vector<Series>* list : {&etpSeries, &eipSeries, &etrSeries}) list->clear();
  for (Series* s : {&evapSeries, &evarSeries, &evrsSeries, &radiationSeries, &cloudinessSeries})
    s->statistic.reset();
}

// Over the rows of the computed cells; NaN marks a cell this module has not
// written yet.
verdunstungsmodellklasse::RewrittenGrid verdunstungsmodellklasse::rewrittenGrid(Grid grid) {
  RewrittenGrid g;
  g.grid = grid;
  g.read = matrix(heldFirst, heldLast, 1, header.ncols, header.nrows);
  g.written = matrix(heldFirst, heldLast, 1, header.ncols, header.nrows);
  fillRows(g.written, heldFirst, heldLast, header.ncols, std::numeric_limits<double>::quiet_NaN());
  return g;
}

void verdunstungsmodellklasse::releaseRewrittenGrids() {
  for (RewrittenGrid* g : {&rewrittenTemperature, &rewrittenNightTemperature, &rewrittenRadiation})
    releaseRewrittenGrid(*g);
}

void verdunstungsmodellklasse::releaseRewrittenGrid(RewrittenGrid& g) {
  if (!g.grid) return;
  free_matrix(g.read, heldFirst, heldLast, 1, header.ncols);
  free_matrix(g.written, heldFirst, heldLast, 1, header.ncols);
  g = RewrittenGrid{};
}

void verdunstungsmodellklasse::keepGivenNightTemperature() {
  releaseRewrittenGrid(rewrittenNightTemperature);
}

// The other cells of every unit: the units do not change during the run,
// their masters only where a dynamic glacier reaches them. Collective.
void verdunstungsmodellklasse::findResponseUnits() {
  if (context.hruFlag == 0) return;
  requireGrid("MasterHydrologicResponseUnits");
  buildUnitCopies(unitCopies, allCells, unknownUnitCode);
}

void verdunstungsmodellklasse::copyFromMasterCells(const std::vector<Grid>& grids) {
  if (unitCopies.isBuilt()) unitCopies.copy(grids, {});
}

CellStatistic verdunstungsmodellklasse::valueOf(Grid grid, int layer) const {
  const Grid codes = layer > 0 ? landuse[static_cast<size_t>(layer)] : nullptr;
  const double nodata = header.nodata;
  return [grid, codes, nodata](zonalstatistic& s, long r, long c, long zone) {
    s.addValue(r, c, zone, codes && codes[r][c] == nodata ? 0.0 : grid[r][c], 1.0);
  };
}

CellStatistic verdunstungsmodellklasse::unglacierized(Grid grid, int layer) const {
  const Grid codes = layer > 0 ? landuse[static_cast<size_t>(layer)] : nullptr;
  const double nodata = header.nodata;
  return [this, grid, codes, nodata](zonalstatistic& s, long r, long c, long zone) {
    double g = 0.0;
    double w = 1.0;
    glacierWeights(r, c, g, w);
    s.addValue(r, c, zone, codes && codes[r][c] == nodata ? 0.0 : grid[r][c], w);
    s.addValue(r, c, zone, 0.0, g);
  };
}
