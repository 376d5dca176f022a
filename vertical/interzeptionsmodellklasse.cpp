// Construction of the interception module: its section, the grids it reads
// and the checks of the snow model's grids; tracers and teardown.
#include "vertical/interzeptionsmodellklasse.h"

#include <algorithm>
#include <cstdio>

#include "core/diag_stream.h"
#include "core/module_banner.h"

namespace {

constexpr int snowGridCode = 1160;
constexpr int methodCode = 1161;
constexpr int valueCode = 17;

} // namespace

interzeptionsmodellklasse::interzeptionsmodellklasse(const ModelContext& context, int& errorCode)
    : teilmodellklasse(context, "interception_model") {
  errorCode = catchModuleFailure([&] {
    if (flowControl == 0) return; // off, also in routing-only mode
    HORVA_ANNOUNCE_MODULE(*diag);
    layers = std::max(1, context.landuseLayerCount);
    layer.resize(static_cast<size_t>(layers) + 1);
    heldFirst = firstHeldRow();
    heldLast = lastHeldRow();
    cells = ownCells();
    readSection();
    closeControlFile();
    findInputGrids();
    if (method > 20) {
      const long steps = static_cast<long>(1440.0 / timeStepMinutes);
      temperatureHistory =
          std::make_unique<GridStack>(heldFirst, heldLast, header.ncols, header.nrows,
                                      static_cast<int>(std::min(steps, 1440L)));
    }
    if (method > 30) checkSnowGrids();
    book.setUp(context, moduleName, timeStepMinutes, cellWeights, cells);
    registerLayerGrids();
    if (method > 20) registerCanopyGrids();
    createStatistics();
    if (method > 20 && readStartGrids == 1) readTemperatureHistory();
    const int g = findGlacierGrid();
    if (g > 0) glacier = registry[g].grid;
  });
}

interzeptionsmodellklasse::~interzeptionsmodellklasse() { releaseOwnGrids(); }

void interzeptionsmodellklasse::readSection() {
  readControlValue(controlFile, "%d", method, " method for ");
  checkMethod();
  readOutput(layerOutputs[throughfallOutput], "name outflow grid for ",
             "write code outflow grid for ", "name outflow statistics file for ");
  readOutput(layerOutputs[evaporationOutput], "name potential interception evaporation grid for ",
             "write code potential interception evaporation grid for ",
             "name potential interception statistics file for ");
  readOutput(layerOutputs[storageOutput], "name interception storage grid for ",
             "write code interception storage grid for ",
             "name interception storage statistics file for ");
  readControlValue(controlFile, "%lf", thickness,
                   "parameter interception storage maximum water layer thickness for ");
  // A negative capacity lets the canopy give off more water than reached it;
  // no leaf holds more than 5 mm.
  if (!(thickness >= 0.0 && thickness <= 5.0))
    refuseLastControlValue("parameter interception storage maximum water layer thickness for ",
                           thickness, "must be 0 ... 5 (mm of water per unit of leaf area)",
                           valueCode);
  readControlValue(controlFile, "%d", readStartGrids, "readgrid parameter for ");
  if (readStartGrids < 0 || readStartGrids > 1)
    refuseLastControlValue("readgrid parameter for ", readStartGrids,
                           "must be 0 (empty storages) or 1 (from their files)", valueCode);
  threshold = halfWidth = 0.0;
  if (method < 20) return;

  readOutput(canopyOutputs[canopyTemperature], "name sub-canopy temperature grid for ",
             "write code sub-canopy temperature grid for ",
             "name sub-canopy stemperature statistics file for ");
  const std::pair<CanopyGrid, std::string> climate[] = {{canopyHumidity, "relative humidity"},
                                                        {canopyRadiation, "shortwave radiation"},
                                                        {canopyWind, "windspeed"}};
  for (const auto& [g, what] : climate)
    readOutput(canopyOutputs[g], ("name sub-canopy " + what + " grid for ").c_str(),
               ("write code sub-canopy " + what + " grid for ").c_str(),
               ("name sub-canopy " + what + " statistics file for ").c_str());
  // Four outputs share one set of labels.
  for (CanopyGrid g : {canopyLoad, canopyAge, canopyAlbedo, canopySublimation})
    readOutput(canopyOutputs[g], "name snow canopy load grid for ",
               "write code snow canopy load grid for ",
               "name snow canopy load statistics file for ");
  readOutput(canopyOutputs[canopyUnloadSolid], "name snow canopy unload (snow) grid for ",
             "write code snow canopy unload (snow) grid for ",
             "name snow canopy unload (snow) statistics file for ");
  readOutput(canopyOutputs[canopyUnloadLiquid], "name snow canopy liquid water output grid for ",
             "write code snow canopy liquid water output grid for ",
             "name snow canopy liquid water output statistics file for ");
  readControlValue(controlFile, "%lf", minimumLeafArea,
                   "minimum LAI value above which the snow canopy model will be started for");
  readControlValue(controlFile, "%lf", minimumRoughness,
                   "minimum z0 value above which the snow canopy model will be started for");
  readControlValue(controlFile, "%lf", leafAreaScale,
                   "LAI scaling factor for the snow canopy model for");
  if (method < 30) return;
  for (OutputSettings& o : balanceOutputs)
    readOutput(o, "name canopy energy balance grid for ",
               "write code canopy energy balance grid for ",
               "name canopy energy balance output statistics file for ");
}

void interzeptionsmodellklasse::readOutput(OutputSettings& o, const char* file,
                                           const char* writeCode, const char* statistics) {
  readControlValue(controlFile, "%s", o.file, file);
  readControlValue(controlFile, "%d", o.writeCode, writeCode);
  readControlValuePair(controlFile, "%s%d", o.statisticFile, o.statisticCode, statistics);
}

void interzeptionsmodellklasse::checkMethod() {
  const int methods[] = {1, 2, 11, 12, 21, 22, 31, 32};
  if (std::find(std::begin(methods), std::end(methods), method) != std::end(methods)) return;
  *diag << "FATAL: method " << method
        << " is not supported in interception model (use one of 1, 2, 11, 12, 21, 22, 31, 32)"
        << "[end-entry]";
  throw methodCode;
}

void interzeptionsmodellklasse::findInputGrids() {
  auto required = [&](const std::string& name) { return registry[requireGrid(name)].grid; };
  for (int k = 1; k <= layers; ++k) {
    const std::string n = std::to_string(k);
    Layer& l = layer[static_cast<size_t>(k)];
    l.landuse = required("landuse" + n);
    l.leafArea = required("leaf_area_index" + n);
    l.coverage = required("vegetation_coverage_degree" + n);
    l.roughness = required("RoughnessLength" + n);
    l.canopyResistance = required("SurfaceCanopyResistance" + n);
    l.interceptionResistance = required("SurfaceIntercepResistance" + n);
  }
  for (int k = 0; k <= layers; ++k) {
    const std::string n = std::to_string(k);
    Layer& l = layer[static_cast<size_t>(k)];
    l.potentialTranspiration = required("pot_transpiration" + n);
    l.potentialInterception = required("potential_InterceptionEvap" + n);
    l.realTranspiration = required("real_transpiration" + n);
  }
  // After snow the snow's outflow is the water that comes in.
  const int outflow = method < 10 ? findGrid("snowcover_outflow", 1) : 0;
  input = outflow > 0 ? registry[outflow].grid : required("precipitation");
  if (method > 20) {
    temperature =
        registry[requireOneOf3Grids("corr_temperature", "temperature", "temperature_14")].grid;
    radiation = required("AspectCorrectedGlobalRadiation");
    wind = required("wind_speed");
    humidity = required("air_humidity");
    cloudiness = required("cloudiness");
  }
  elevation = required("[elevation_model]");
}

// The energy balance needs the snow model's albedo and the temperature and
// cover of the snow below the canopy.
void interzeptionsmodellklasse::checkSnowGrids() {
  const char* const missing[][2] = {
      {"albedo", "Albedo not available in advanced snow interception model with canopy energy "
                 "balance (should be available when an extended snow model is used)"},
      {"snow_storage_total",
       "total snow storage not available in advanced snow interception model with canopy energy "
       "balance (use any snow model to have this grid been created for you)"},
      {"surftemp", "snow surface temperatur not available in advanced snow interception model "
                   "with canopy energy balance (in snow model, an energy balance approach should "
                   "be used)"}};
  Grid* grids[] = {&groundAlbedo, &snowStorage, &surfaceTemperature};
  for (int i = 0; i < 3; ++i) {
    const int index = findGrid(missing[i][0], 1);
    if (index <= 0) {
      *diag << "FATAL: " << missing[i][1] << "[end-entry]";
      throw snowGridCode;
    }
    *grids[i] = registry[index].grid;
  }
}

void interzeptionsmodellklasse::setRainSnowThreshold(double t0r, double width) {
  threshold = t0r;
  halfWidth = width;
}

void interzeptionsmodellklasse::setSnowModelBelow(bool taken) { snowModelBelow = taken; }

int interzeptionsmodellklasse::getMethod() const { return flowControl > 0 ? method : 0; }

void interzeptionsmodellklasse::initTracers(int& errorCode, int tracerCount,
                                            std::vector<TracerRecord>& table,
                                            StatisticTableEntry* statisticTable, long tableSize) {
  initTracersThen(errorCode, tracerCount, table, statisticTable, tableSize, [&] {
    tracerInput.assign(tracers.size() + 1, nullptr);
    char names[3][100];
    const char* const sources[] = {"snow_model", "irrigation", "input"};
    for (size_t j = 1; j <= tracers.size(); ++j) {
      for (int s = 0; s < 3; ++s)
        std::snprintf(names[s], sizeof names[s], "concflux_tracer_%1d_%s", static_cast<int>(j),
                      sources[s]);
      tracerInput[j] = registry[requireOneOf3Grids(names[0], names[1], names[2])].grid;
    }
    if (readStartGrids == 1) readTracerStores();
  });
}

void interzeptionsmodellklasse::freeTracers() {
  if (flowControl != 0) teilmodellklasse::freeTracers();
}

void interzeptionsmodellklasse::flushStatistics() {
  if (flowControl == 0) return;
  for (ZoneSeries* s : allSeries()) s->statistic->writeBuffer();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) t->statistic->writeBuffer();
}

void interzeptionsmodellklasse::releaseModule() {
  if (flowControl > 0) {
    if (writeStorage != 0 && temperatureHistory) writeTemperatureHistory();
    temperatureHistory.reset();
    releaseStatistics();
    releaseOwnGrids();
  }
  teilmodellklasse::releaseModule();
}
