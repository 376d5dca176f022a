// The silting-up model: its section, grids, statistics, tracers and
// teardown.

#include "lateral/siltingupclass.h"

#include <cstdio>

#include "config/section_reader.h"
#include "core/control_file_lines.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/string_helpers.h"
#include "lateral/silting_expressions.h"
#include "submodel/subbasin_table.h"

namespace {

constexpr int glacierCode = 2;
constexpr int readGridCode = 10;
constexpr int registryFullCode = 12;
constexpr int settingCode = 17;
constexpr int statisticDecimals = 6;

const char* const gridNames[] = {"SiltingUpDisposition", "RainPause", "KineticEnergy",
                                 "TimeSinceLastSoilTillage", "DirectRunoffSiltingUp"};
const char* const gridLabels[] = {"silting-up-disposition", "RAINPAUSE", "EKIN", "TSBB", "QDSU"};
const char* const parameterLabels[] = {
    "parameter A for method 2 (I_0) ",   "parameter B for method 2 (I_inf) ",
    "parameter C for method 2 (I_inf) ", "parameter D for method 2 (I_inf) ",
    "parameter E for method 2 (C_v) ",   "parameter F for method 2 (C_v) ",
    "parameter G for method 2 (C_v) ",   "parameter H for method 2 (C_v) "};

} // namespace

siltingupclass::siltingupclass(const ModelContext& context, int& errorCode)
    : teilmodellklasse(context, "SiltingUpModel") {
  errorCode = catchModuleFailure([&] {
    if (getFlowControl() == 0) return;
    HORVA_ANNOUNCE_MODULE(*diag);
    if (findGrid("GlacierizedCells", 1) > 0 || findGrid("GlacierCodes", 1) > 0) refuseGlaciers();
    takeInputGrids();
    rankZones(zones);
    readSection();
    closeControlFile();
    prepareSoils();
    createStatistics();
    registerOwnGrids(readGrids == 1);
    setWriteStorageFlag(1);
  });
}

siltingupclass::~siltingupclass() { releaseOwn(); }

void siltingupclass::refuseGlaciers() {
  *diag << "FATAL: error: Silting-Up module cannot be used when glacier model is active. Remove "
           "grids for glacier codes and glaciated cell fractions from the grid list"
        << "[end-entry]";
  throw glacierCode;
}

void siltingupclass::takeInputGrids() {
  const int layers = std::max(1, context.landuseLayerCount);
  landuseGrids.assign(static_cast<size_t>(layers) + 1, nullptr);
  coverageGrids.assign(static_cast<size_t>(layers) + 1, nullptr);
  for (int k = 1; k <= layers; ++k) {
    const std::string n = std::to_string(k);
    landuseGrids[static_cast<size_t>(k)] = registry[requireGrid("landuse" + n)].grid;
    coverageGrids[static_cast<size_t>(k)] =
        registry[requireGrid("vegetation_coverage_degree" + n)].grid;
  }
  soilTypeGrid = registry[requireGrid("soil_types")].grid;
  if (context.hruFlag != 0) {
    requireGrid("HydrologicResponseUnits");
    requireGrid("MasterHydrologicResponseUnits");
  }
  heldFirst = firstHeldRow();
  heldLast = lastHeldRow();
  takeSurfaceStorage();
}

// Surface routing leaves its water on the land in "SurfStorSiltingUp"; no
// module registers it before this one, so it is created empty when neither
// a standard grid nor another module provides it.
void siltingupclass::takeSurfaceStorage() {
  const int found = findGrid("SurfStorSiltingUp", 1);
  if (found > 0 && registry[found].grid) {
    surfaceStorageGrid = registry[found].grid;
    return;
  }
  const int index = firstFreeRegistryIndex();
  if (index >= gridRegistryLimit) {
    *diag << "FATAL: no free grid left, allowed number of grids is (contact the author)"
          << gridRegistryLimit << "!"
          << "[end-entry]";
    throw registryFullCode;
  }
  surfaceStorageGrid = zoneFilledGrid();
  ownsSurfaceStorage = true;
  surfaceStorageIndex = index;
  registerGrid(index, "SurfStorSiltingUp", surfaceStorageGrid, nullptr, 0, "SurfStorSiltingUp", 0,
               heldFirst, heldLast);
}

void siltingupclass::readSection() {
  readMethodLine(dispositionStatistic.file, dispositionStatistic.code);
  readControlValuePair(controlFile, "%s%d", directRunoffStatistic.file, directRunoffStatistic.code,
                       "name of the statistics for direct runoff from silting up model (QDSU) ");
  for (int g = 0; g < ownGridCount; ++g) {
    const std::string label = gridLabels[g];
    readControlValue(controlFile, "%s", outputs[g].file, "name of the " + label + "-grid, ");
    readControlValue(controlFile, "%d", outputs[g].writeCode, "Writegrid for " + label + "-grid, ");
  }
  readSubbasinTable(*this, controlFile, controlFileName, zones,
                    {{"RainPause", " (minimum rainpause)", &minRainPause}});
  std::string line;
  if (!nextTextLine(controlFile, line) || !looksLikeNumber(splitWords(line)[0]))
    failSubbasinTable(*this, "error reading readgrid-Parameter for ",
                      "\npossible reason: parameter missing or a linefeed \nbefore the end of the "
                      "parameter block",
                      false);
  if (!parseLeadingInt(line, readGrids))
    refuseValueText(sectionHeader + ", readgrid-Parameter", splitWords(line)[0], "a whole number");
  if (readGrids != 0 && readGrids != 1)
    refuseControlValue(sectionHeader, "readgrid-Parameter", readGrids,
                       "must be 0 (cold start) or 1 (the grids of a former run)", settingCode);
  checkRainPauses();
  if (siltingMethod == 2) {
    for (int k = 0; k < 8; ++k)
      readControlValue(controlFile, "%lf", methodTwoParameters[static_cast<size_t>(k)],
                       parameterLabels[k]);
    checkMethodTwoParameters();
  }
  if (siltingMethod == 3) readExpressions();
}

// A negative pause would count every step as the first after a pause; one
// above a year never ends.
void siltingupclass::checkRainPauses() const {
  for (size_t k = 1; k < minRainPause.size(); ++k)
    if (!(minRainPause[k] >= 0.0 && minRainPause[k] <= 365.0))
      refuseControlValue(sectionHeader,
                         "RainPause of subbasin " +
                             std::to_string(static_cast<long>(zones.records[k].code)) +
                             " (minimum rainpause)",
                         minRainPause[k], "must be 0 ... 365 (days)", settingCode);
}

// A negative infiltration capacity or disposition creates water, or lets
// exp(-C_v E_k) grow without bound; the exponents act on sand contents up to
// 100 and on tillage ages in days, where 10 already gives 1e20.
void siltingupclass::checkMethodTwoParameters() const {
  const struct {
    double lowest, highest;
    const char* rule;
  } bounds[] = {{0.0, 1000.0, "must be 0 ... 1000 (mm/h)"},
                {0.0, 1000.0, "must be 0 ... 1000"},
                {-10.0, 10.0, "must be -10 ... 10"},
                {-10.0, 10.0, "must be -10 ... 10"},
                {0.0, 10.0, "must be 0 ... 10"},
                {-10.0, 10.0, "must be -10 ... 10"},
                {-10.0, 10.0, "must be -10 ... 10"},
                {-10.0, 10.0, "must be -10 ... 10"}};
  for (size_t k = 0; k < 8; ++k) {
    const double value = methodTwoParameters[k];
    if (value >= bounds[k].lowest && value <= bounds[k].highest) continue;
    std::string label = parameterLabels[k];
    label.pop_back(); // the blank that separates it from the module name
    refuseControlValue(sectionHeader, label, value, bounds[k].rule, settingCode);
  }
}

// The method line is optional: a first line that does not start with a
// number is already the line of the disposition statistic.
void siltingupclass::readMethodLine(std::string& firstStatisticName, int& firstStatisticCode) {
  const std::string label = "name of the statistics for silting disposition SDISP ";
  std::string line;
  if (!nextTextLine(controlFile, line)) controlFileKeyNotFound(label, moduleName);
  std::vector<std::string> words = splitWords(line);
  long method = 0;
  if (parseWholeNumber(words[0], method)) {
    siltingMethod = static_cast<int>(method);
    readControlValuePair(controlFile, "%s%d", firstStatisticName, firstStatisticCode, label);
  } else {
    siltingMethod = 1;
    firstStatisticName = words[0];
    if (words.size() < 2 || !parseLeadingInt(words[1], firstStatisticCode))
      controlFileKeyNotFound(label, moduleName);
  }
  if (siltingMethod >= 1 && siltingMethod <= 3) return;
  *diag << "FATAL: invalid silting-up method " << siltingMethod << " in section [" << moduleName
        << "] of control file \"" << userControlFile(controlFileName)
        << "\"; give 1 or 2 for the built-in formula or 3 for the expressions"
        << "[end-entry]";
  throw settingCode;
}

void siltingupclass::readExpressions() {
  SiltingExpressionBlock block;
  const ExpressionBlockFault fault = readExpressionBlock(controlFile, block);
  const std::string inFile = " in control file \"" + userControlFile(controlFileName) + "\"";
  switch (fault) {
  case ExpressionBlockFault::none:
    break;
  case ExpressionBlockFault::noOpeningBrace:
  case ExpressionBlockFault::noClosingBrace: {
    const char* brace = fault == ExpressionBlockFault::noOpeningBrace ? "opening" : "closing";
    const char* sign = fault == ExpressionBlockFault::noOpeningBrace ? "{" : "}";
    *diag << "FATAL: error looking for " << brace << " bracket \"" << sign
          << "\" after \"SiltingUpExpressions\"" << inFile << "[end-entry]";
    throw static_cast<int>(fault);
  }
  case ExpressionBlockFault::noExpression:
    *diag << "FATAL: no SiltingUpExpressios found (at least X, Y and Z must be initialized)"
          << inFile << "[end-entry]";
    throw static_cast<int>(fault);
  }
  if (!block.trailing.empty())
    *diag << "WARNING: the text \"" << block.trailing
          << "\" after the last \";\" of SiltingUpExpressions" << inFile
          << " is not used; end every expression with \";\""
          << "[end-entry]";
  siltingExpressions = block.expressions;
  firstGroup = firstGroupSize(siltingExpressions);
}

// (100 sand)^D is infinite without sand; the formula takes a small share
// instead, and says so once per soil type.
void siltingupclass::prepareSoils() {
  if (!context.soilTable) return;
  const std::vector<soil_class>& soils = *context.soilTable;
  soilValues.assign(soils.size(), SoilValues{});
  for (size_t k = 1; k < soils.size(); ++k) {
    soilValues[k] = {grainSizeIndex(soils[k]), sandPercent(soils[k])};
    if (siltingMethod != 3 && 100.0 * soils[k].getGrainSizeDist(0) < smallestSandPercent)
      *diag << "WARNING: soil type " << soils[k].getCode() << " (" << soils[k].getName()
            << ") has a sand fraction of " << soils[k].getGrainSizeDist(0) << "; " << moduleName
            << " takes " << smallestSandPercent / 100.0
            << " so that its infiltration rates stay finite"
            << "[end-entry]";
  }
}

void siltingupclass::createStatistics() {
  createStatistic(dispositionStatistic, "Silting_up_disposition_");
  createStatistic(directRunoffStatistic, "Direct_Discharge_Silting_Up");
}

void siltingupclass::createStatistic(StatisticOutput& s, const std::string& title) {
  s.records = zones.records;
  s.data = s.records.data();
  s.statistic = createZoneStatistic(&s.data, s.code, statisticDecimals, s.file, title);
}

// 0 in the cells of the zone grid and nodata elsewhere, over the held rows.
Grid siltingupclass::zoneFilledGrid() const {
  Grid g =
      const_cast<siltingupclass*>(this)->matrix(heldFirst, heldLast, 1, header.ncols, header.nrows);
  const GridRegistryEntry& zoneEntry = registry[1];
#pragma omp parallel for schedule(runtime)
  for (long r = heldFirst; r <= heldLast; ++r) {
    const bool zoneRow = r >= zoneEntry.firstRow && r <= zoneEntry.lastRow;
    for (long c = 1; c <= header.ncols; ++c)
      g[r][c] = zoneRow && zoneEntry.grid[r][c] != header.nodata ? 0.0 : header.nodata;
  }
  return g;
}

void siltingupclass::registerOwnGrids(bool fromFiles) {
  const int first = firstFreeRegistryIndex();
  if (first + ownGridCount - 1 >= gridRegistryLimit) {
    *diag << "FATAL: no free grid left, allowed number of grids is (contact the author)"
          << gridRegistryLimit << "!"
          << "[end-entry]";
    throw registryFullCode;
  }
  for (int g = 0; g < ownGridCount; ++g) {
    grids[g] = zoneFilledGrid();
    if (fromFiles && g != directRunoff) {
      Grid read = zoneFilledGrid();
      // Every process, rank 0 too, holds its own rows; the read and its halo
      // exchange are collective.
      readGrid(outputs[g].file, read, 0, false, false, false, 0, false, true, 0.0);
      for (long r = heldFirst; r <= heldLast; ++r)
        for (long c = 1; c <= header.ncols; ++c)
          if (grids[g][r][c] != header.nodata) grids[g][r][c] = read[r][c];
      free_matrix(read, heldFirst, heldLast, 1, header.ncols);
    }
    gridIndex[g] = first + g;
    registerGrid(gridIndex[g], outputs[g].file, grids[g], nullptr, 0, gridNames[g],
                 outputs[g].writeCode, heldFirst, heldLast);
  }
}

void siltingupclass::selectWaterInput(int flag) {
  if (getFlowControl() == 0) return;
  interceptionFirst = flag;
  if (inputSelected) return;
  const int index = flag != 0
                        ? requireOneOf3Grids("snowcover_outflow", "throughfall0", "precipitation")
                        : requireOneOf3Grids("throughfall0", "snowcover_outflow", "precipitation");
  waterInputGrid = registry[index].grid;
  inputSelected = true;
}

void siltingupclass::flushStatistics() {
  if (getFlowControl() == 0) return;
  for (StatisticOutput* s : {&dispositionStatistic, &directRunoffStatistic})
    if (s->statistic) s->statistic->writeBuffer();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) t->statistic->writeBuffer();
}

void siltingupclass::initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                                 StatisticTableEntry* statisticTable, long tableSize) {
  initTracersThen(errorCode, tracerCount, table, statisticTable, tableSize, [&] {
    tracerInputGrids.clear();
    for (size_t k = 1; k <= tracers.size(); ++k) {
      const std::string prefix = "concflux_tracer_" + std::to_string(k) + "_";
      const int index = requireOneOf4Grids(prefix + "interception_model", prefix + "snow_model",
                                           prefix + "irrigation", prefix + "input");
      tracerInputGrids.push_back(registry[index].grid);
    }
    if (readGrids == 1) readTracerStores();
  });
}

void siltingupclass::freeTracers() {
  if (getFlowControl() == 0) return;
  tracerInputGrids.clear();
  teilmodellklasse::freeTracers();
}

void siltingupclass::releaseModule() {
  if (getFlowControl() != 0) {
    for (StatisticOutput* s : {&dispositionStatistic, &directRunoffStatistic})
      if (s->statistic) s->statistic->release();
    releaseOwn();
  }
  modelobject::releaseModule();
}

void siltingupclass::releaseOwn() {
  minRainPause.clear();
  // The destructor of a failed run comes here too: a write could throw
  // out of it.
  for (StatisticOutput* s : {&dispositionStatistic, &directRunoffStatistic}) s->statistic.reset();
  for (int g = 0; g < ownGridCount; ++g) {
    if (!grids[g]) continue;
    if (gridIndex[g] > 0 && registry[gridIndex[g]].grid == grids[g]) unregisterGrid(gridIndex[g]);
    free_matrix(grids[g], heldFirst, heldLast, 1, header.ncols);
    grids[g] = nullptr;
  }
  if (ownsSurfaceStorage) {
    if (registry[surfaceStorageIndex].grid == surfaceStorageGrid)
      unregisterGrid(surfaceStorageIndex);
    free_matrix(surfaceStorageGrid, heldFirst, heldLast, 1, header.ncols);
    ownsSurfaceStorage = false;
  }
  surfaceStorageGrid = nullptr;
  landuseGrids.clear();
  coverageGrids.clear();
  siltingExpressions.clear();
  parsers.clear();
}
