// Construction of surface routing: its section, the inner-step limits, the
// grids it registers or borrows, its statistics; the setters and the
// release of what it registered.
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/string_helpers.h"
#include "lateral/surfaceroutingclass.h"
#include "submodel/subbasin_table.h"

namespace {

constexpr int glacierCode = 2;
constexpr int invalidSettingCode = 10;
constexpr double largestIterationCount = 100000.0;
constexpr int registryFullCode = 12;
constexpr double startRoughness = 10.0;
constexpr double startCriticalShearStress = 0.9;

const char* const statisticLabels[] = {
    "Direct_Discharge_Surface_Routing", "Interflow_Surface_Routing", "Baseflow_Surface_Routing",
    "Total_Runoff_Surface_Routing", "Surface_Storage_in_SurfaceRouting_Module"};
const int statisticDecimals[] = {5, 5, 5, 6, 6};

} // namespace

surfaceroutingclass::surfaceroutingclass(const ModelContext& context, int& errorCode,
                                         unsigned substepCount)
    : teilmodellklasse(context, "SurfaceRoutingModel") {
  substeps = substepCount > 0 ? substepCount : 1;
  errorCode = catchModuleFailure([&] {
    if (flowControl == 0) return; // off, also in routing-only mode
    HORVA_ANNOUNCE_MODULE(*diag);
    if (context.hruFlag != 0) {
      // Cells of one response unit copy their master; water cannot flow
      // between them.
      flowControl = 0;
      closeControlFile();
      return;
    }
    if (findGrid("GlacierizedCells", 1) > 0 || findGrid("GlacierCodes", 1) > 0) {
      *diag << "FATAL: error: Surface routing module cannot be used when glacier model is "
               "active. Remove grids for glacier codes and glaciated cell fractions from the "
               "grid list"
            << "[end-entry]";
      throw glacierCode;
    }
    heldFirst = firstHeldRow();
    heldLast = lastHeldRow();
    cells = ownCells();
    zoneGrid = registry[1].grid;
    regionsGrid = cells.regions;
    findInputGrids();
    readSection();
    closeControlFile();
    registerOwnGrids();
    rankZones(zones);
    createStatistics();
    directflowGrid = registry[requireGrid("directflow")].grid;
    interflowGrid = registry[requireGrid("interflow")].grid;
    riverDepthGrid = registry[requireGrid("river_depth")].grid;
    riverWidthGrid = registry[requireGrid("river_width")].grid;
    riverLinksGrid = registry[requireGrid("river_links")].grid;
    const int flowTimes = findGrid("flow_times");
    flowTimesGrid = flowTimes > 0 ? registry[flowTimes].grid : nullptr;
    if (context.cellWeights) {
      cellSizeXGrid = registry[requireGrid("CellSizeX")].grid;
      cellSizeYGrid = registry[requireGrid("CellSizeY")].grid;
    }
    subbasinBorderInflow.assign(zones.records.size(), 0.0);
    cellBorderInflow.assign(static_cast<size_t>(header.lastRow - header.firstRow + 1) *
                                static_cast<size_t>(header.ncols),
                            0.0);
    writeStorage = 1;
  });
}

surfaceroutingclass::~surfaceroutingclass() {
  if (released) return;
  releaseTracerStorage();
  releaseOwnGrids();
}

void surfaceroutingclass::findInputGrids() {
  demGrid = registry[requireGrid("[elevation_model]")].grid;
  nLanduseLayers = std::max(1, context.landuseLayerCount);
  landuseGrids.assign(static_cast<size_t>(nLanduseLayers) + 1, nullptr);
  vegetationCoverageGrids.assign(static_cast<size_t>(nLanduseLayers) + 1, nullptr);
  for (int k = 1; k <= nLanduseLayers; ++k) {
    landuseGrids[k] = registry[requireGrid("landuse" + std::to_string(k))].grid;
    vegetationCoverageGrids[k] =
        registry[requireGrid("vegetation_coverage_degree" + std::to_string(k))].grid;
  }
  soilTypesGrid = registry[requireGrid("soil_types")].grid;
  // Silting-up keeps the surface storage; without it the module keeps its own.
  registryIndex[siltingUpStorageSlot] = -findGrid("SurfStorSiltingUp");
  if (registryIndex[siltingUpStorageSlot] < 0)
    surfStorSiltingUpGrid = registry[-registryIndex[siltingUpStorageSlot]].grid;
  else
    surfStorSiltingUpGrid = registerGridSlot(siltingUpStorageSlot, "SurfStorSiltingUp",
                                             "SurfStorSiltingUp", 0, 0.0, header.nodata);
  if (registryIndex[siltingUpStorageSlot] < 0) return;
  // The state file of this grid holds nodata outside the catchment, also in
  // the columns beyond a row's own cells, which one process writes itself.
  const GridRegistryEntry& zone = registry[1];
  for (long r = heldFirst; r <= heldLast; ++r) {
    const bool zoneRow = r >= zone.firstRow && r <= zone.lastRow;
    for (long c = 1; c <= header.ncols; ++c)
      if (!zoneRow || zone.grid[r][c] == header.nodata) surfStorSiltingUpGrid[r][c] = header.nodata;
  }
}

void surfaceroutingclass::readSection() {
  readControlValue(controlFile, "%d", flowPathMethod, "method for flowpath-calculation ");
  if (flowPathMethod < 1 || flowPathMethod > 6) {
    *diag << "FATAL: \n-----------------error------------\ninvalid method (" << flowPathMethod
          << ") read for " << moduleName << "\n"
          << "[end-entry]";
    throw invalidSettingCode;
  }
  const char* const descriptions[] = {
      "name of the statistics for direct runoff from surface routing (QDSR) ",
      "name of the statistics for interflow from surface routing (QISR) ",
      "name of the statistics for baseflow from surface routing (QBSR) ",
      "name of the statistics for total runoff from surface routing (QGSR) "};
  for (int k = statQD; k <= statQG; ++k)
    readControlValuePair(controlFile, "%s%d", statistics[k].fileName, statistics[k].code,
                         descriptions[k]);
  readControlValue(controlFile, "%s", velocityFileName,
                   "name of the surface-routing-velocity-stack, ");
  readControlValue(controlFile, "%d", velocityWriteCode,
                   "Writegrid for surface-routing-velocity-stack, ");
  readControlValue(controlFile, "%s", fluxesFileName, "name of the surface-routing-fluxes-stack, ");
  readControlValue(controlFile, "%d", fluxesWriteCode,
                   "Writegrid for surface-routing-fluxes-stack, ");
  readControlValue(controlFile, "%lf", maxErrorANL, "maximum iteration error for A_NL [m] in ");
  readControlValue(controlFile, "%d", maxIterANL, "maximum iteration steps for A_NL in ");
  readControlValue(controlFile, "%lf", maxErrorVelocity,
                   "maximum iteration error [m/s] for velocity in ");
  readControlValue(controlFile, "%d", maxIterVelocity, "maximum iteration steps for velocity in ");
  readControlValue(controlFile, "%lf", minSubTimeStep, "minimum sub time step [s] in ");
  readControlValue(controlFile, "%lf", maxSubTimeStep, "maximum sub time step [s] in ");
  readControlValue(controlFile, "%lf", minFlowDepthCrops,
                   "minimum flow depth to take into account the roughness of the crops [m] in ");
  readControlValue(controlFile, "%lf", concentrationFactor, "Concentration factor [1/1] in ");
  refuseIterationSettings();
  snapSubTimeSteps();
  readControlValue(controlFile, "%d", readStorageSetting,
                   "read control parameter for storage grids for ");
  if (readStorageSetting != 0 && readStorageSetting != 1)
    refuseControlValue(
        sectionHeader, "read control parameter for storage grids for ", readStorageSetting,
        "must be 0 (cold start) or 1 (the state of a former run)", invalidSettingCode);
  // The storage statistic is optional: a line of the section with a name
  // and a code; a code meant as a number must be wholly a whole one.
  std::string line;
  if (!nextTextLine(controlFile, line)) return;
  const std::vector<std::string> words = splitWords(line);
  if (words[0][0] == '[' || words.size() < 2 || !looksLikeNumber(words[1])) return;
  int code = 0;
  if (!parseWholeInt(words[1], code))
    refuseValueText(sectionHeader + ", the code of the statistics of the water on the land",
                    words[1], "a whole number");
  statistics[statStorage].fileName = words[0];
  statistics[statStorage].code = code;
}

// An iteration needs a step and a tolerance; flow concentrates into a part
// of the cell, never beyond it: a factor of 1 or less concentrates nothing,
// and a negative one is a mistyped sign.
void surfaceroutingclass::refuseIterationSettings() const {
  const struct {
    const char* label;
    double value, lowest, highest;
    bool lowestIncluded;
    const char* rule;
  } settings[] = {{"maximum iteration error for A_NL [m] in ", maxErrorANL, 0.0, 1.0, false,
                   "must be above 0 and at most 1 m"},
                  {"maximum iteration steps for A_NL in ", static_cast<double>(maxIterANL), 1.0,
                   largestIterationCount, true, "must be 1 ... 100000"},
                  {"maximum iteration error [m/s] for velocity in ", maxErrorVelocity, 0.0, 1.0,
                   false, "must be above 0 and at most 1 m/s"},
                  {"maximum iteration steps for velocity in ", static_cast<double>(maxIterVelocity),
                   1.0, largestIterationCount, true, "must be 1 ... 100000"},
                  {"minimum flow depth to take into account the roughness of the crops [m] in ",
                   minFlowDepthCrops, 0.0, 10.0, true, "must be 0 ... 10 m"},
                  {"Concentration factor [1/1] in ", concentrationFactor, 0.0, 100.0, true,
                   "must be 0 ... 100 (1 or less: no concentration)"}};
  for (const auto& s : settings) {
    const bool aboveLowest = s.lowestIncluded ? s.value >= s.lowest : s.value > s.lowest;
    if (!(aboveLowest && s.value <= s.highest))
      refuseControlValue(sectionHeader, s.label, s.value, s.rule, invalidSettingCode);
  }
}

// The inner steps must divide the sub-step, or the last one of a sub-step
// would be cut short.
void surfaceroutingclass::snapSubTimeSteps() {
  // An inner step longer than a day is no limit: the sub-step is at most one.
  if (!(minSubTimeStep > 0.0) || !(maxSubTimeStep > 0.0) || minSubTimeStep > maxSubTimeStep ||
      maxSubTimeStep > 86400.0) {
    *diag << "FATAL: invalid sub time step limits in [" << moduleName << "] of "
          << userControlFile(context.controlFileName) << ": minimum sub time step "
          << minSubTimeStep << " s, maximum sub time step " << maxSubTimeStep
          << " s; both must be positive, the maximum at most 86400 s, and the minimum must not "
             "exceed the maximum. Correct "
             "the two lines of the section."
          << "[end-entry]";
    throw invalidSettingCode;
  }
  const double T = timeStepMinutes / substeps * 60.0;
  if (T / minSubTimeStep > maxInnerSteps) {
    *diag << "FATAL: [" << moduleName << "] of " << userControlFile(context.controlFileName)
          << ": the minimum sub time step of " << minSubTimeStep << " s would split a sub-step of "
          << T << " s into up to " << T / minSubTimeStep << " inner steps, more than "
          << maxInnerSteps << "; write a minimum sub time step of at least " << T / maxInnerSteps
          << " s"
          << "[end-entry]";
    throw invalidSettingCode;
  }
  const auto snap = [T](double& limit) {
    const long k = static_cast<long>(T / limit);
    const double old = limit;
    if (k > 0) limit = T / static_cast<double>(k);
    return old;
  };
  double old = snap(maxSubTimeStep);
  if (old != maxSubTimeStep)
    *diag << "INFO: longest allowed subtimestep changed from " << old << " to " << maxSubTimeStep
          << ". Must be integer fraction of time step in seconds."
          << "[end-entry]";
  old = snap(minSubTimeStep);
  if (old != minSubTimeStep)
    *diag << "WARNING: shortest allowed subtimestep changed from " << old << " to "
          << minSubTimeStep << ". Must be integer fraction of time step in seconds."
          << "[end-entry]";
}

int surfaceroutingclass::nextFreeEntry() {
  const int index = firstFreeRegistryIndex();
  if (index < gridRegistryLimit) return index;
  *diag << "FATAL: no free grid anymore, allowed number of grids is " << gridRegistryLimit << "!"
        << "[end-entry]";
  throw registryFullCode;
}

Grid surfaceroutingclass::registerGridSlot(GridSlot slot, const std::string& name,
                                           const std::string& fileName, long writeCode,
                                           double ownValue, double otherValue) {
  const int index = nextFreeEntry();
  Grid grid = matrix(heldFirst, heldLast, 1, header.ncols, header.nrows);
  cells.forEach([&](long r, long c) { grid[r][c] = ownValue; },
                [&](long r, long c) { grid[r][c] = otherValue; });
  registerGrid(index, fileName, grid, nullptr, 0, name, writeCode, heldFirst, heldLast);
  registryIndex[slot] = index;
  return grid;
}

Stack surfaceroutingclass::registerStackSlot(GridSlot slot, const std::string& name,
                                             const std::string& fileName, long writeCode) {
  const int index = nextFreeEntry();
  Stack stack = three_d_matrix(heldFirst, heldLast, 1, header.ncols, stackLevels, header.nrows);
  Grid companion = matrix(heldFirst, heldLast, 1, header.ncols, header.nrows);
  const double nodata = header.nodata;
  // Cells beyond the valid columns of a row hold nodata as well, as a
  // gathered output writes them, so that no output depends on the strips.
#pragma omp parallel for schedule(runtime)
  for (long r = heldFirst; r <= heldLast; ++r) {
    std::fill(stack[r][0], stack[r][0] + (header.ncols + 1) * (stackLevels + 1), nodata);
    std::fill(companion[r] + 1, companion[r] + header.ncols + 1, nodata);
  }
  cells.forEach([&](long r, long c) {
    std::fill(stack[r][c], stack[r][c] + stackLevels + 1, 0.0);
    companion[r][c] = 0.0;
  });
  registerGrid(index, fileName, companion, stack, stackLevels, name, writeCode, heldFirst,
               heldLast);
  registryIndex[slot] = index;
  return stack;
}

// Another module's or a standard grid of that name wins; its index is kept
// negated so that teardown leaves it alone.
Grid surfaceroutingclass::borrowOrRegister(GridSlot slot, const std::string& name, double ownValue,
                                           double otherValue) {
  const int found = findGrid(name);
  if (found > 0) {
    registryIndex[slot] = -found;
    return registry[found].grid;
  }
  return registerGridSlot(slot, name, name, 0, ownValue, otherValue);
}

void surfaceroutingclass::registerOwnGrids() {
  const double nodata = header.nodata;
  velocityStack = registerStackSlot(velocitySlot, "SurfaceRoutingVelocity", velocityFileName,
                                    velocityWriteCode);
  velocityGrid = registry[registryIndex[velocitySlot]].grid;
  fluxesStack =
      registerStackSlot(fluxesSlot, "SurfaceRoutingFluxes", fluxesFileName, fluxesWriteCode);
  fluxesGrid = registry[registryIndex[fluxesSlot]].grid;
  MPIExchangeStackHalo(registryIndex[fluxesSlot], stackLevels + 1);
  weightsStack = registerStackSlot(weightsSlot, "SurfaceRoutingWeights", "", 0);
  weightsGrid = registry[registryIndex[weightsSlot]].grid;
  headGrid = registerGridSlot(headSlot, "SurfaceRoutingHead", "", 0, 0.0, nodata);
  MPIExchangeGridHalo(registryIndex[headSlot]);
  headOldGrid = registerGridSlot(headOldSlot, "SurfaceRoutingHeadOld", "", 0, 0.0, nodata);
  MPIExchangeGridHalo(registryIndex[headOldSlot]);
  roughnessXGrid =
      registerGridSlot(roughnessXSlot, "SurfaceRoutingRoughnessX", "", 0, startRoughness, 0.0);
  MPIExchangeGridHalo(registryIndex[roughnessXSlot]);
  roughnessYGrid =
      registerGridSlot(roughnessYSlot, "SurfaceRoutingRoughnessY", "", 0, startRoughness, 0.0);
  MPIExchangeGridHalo(registryIndex[roughnessYSlot]);
  manningCoeffGrid = registerGridSlot(manningSlot, "SurfaceRoutingManningCoeff", "", 0, 0.0, 0.0);
  fillManningCoefficients();
  MPIExchangeGridHalo(registryIndex[manningSlot]);
  // The roughness follows land use read again during the run.
  rebuildOnRead(findLanduseCodeGrid(), [this] {
    shareExitCode(*diag, catchExitCode([this] { fillManningCoefficients(); }));
    MPIExchangeGridHalo(registryIndex[manningSlot]);
  });
  const int curvature = findGrid("Plancurvature");
  if (curvature > 0) {
    registryIndex[curvatureSlot] = -curvature;
    planCurvatureGrid = registry[curvature].grid;
  } else {
    planCurvatureGrid = registerGridSlot(curvatureSlot, "Plancurvature", "", 0, 0.0, 0.0);
    computePlanCurvature();
    MPIExchangeGridHalo(registryIndex[curvatureSlot]);
  }
  qInGrid = borrowOrRegister(qInSlot, "SurfaceRoutingQIn", 0.0, nodata);
  qOutGrid = borrowOrRegister(qOutSlot, "SurfaceRoutingQOut", 0.0, nodata);
  criticalShearStressGrid =
      borrowOrRegister(criticalShearSlot, "CriticalShearStress", startCriticalShearStress, nodata);
}

int surfaceroutingclass::landuseCode(long r, long c) const {
  for (int k = nLanduseLayers; k >= 1; --k)
    if (landuseGrids[k][r][c] != -9999.0) return static_cast<int>(landuseGrids[k][r][c]);
  return -1;
}

void surfaceroutingclass::fillManningCoefficients() {
  const std::vector<landuse_class>* table = context.landuseTable;
  const long none = header.nrows * (header.ncols + 1) + header.ncols + 1;
  std::atomic<long> firstMissing{none};
  std::atomic<long> firstUnknown{none};
  const auto lower = [](std::atomic<long>& first, long at) {
    long seen = first.load();
    while (at < seen && !first.compare_exchange_weak(seen, at)) {
    }
  };
  cells.forEach([&](long r, long c) {
    const int code = landuseCode(r, c);
    const long at = r * (header.ncols + 1) + c;
    if (code < 0)
      lower(firstMissing, at);
    else if (!table || static_cast<size_t>(code) >= table->size())
      lower(firstUnknown, at);
    else
      manningCoeffGrid[r][c] = (*table)[static_cast<size_t>(code)].getSR_K_ST();
  });
  const long at = std::min(firstMissing.load(), firstUnknown.load());
  if (at == none) return;
  const long r = at / (header.ncols + 1);
  const long c = at % (header.ncols + 1);
  if (firstMissing.load() == at)
    *diag << "FATAL: " << moduleName << ": the cell at row " << r << ", column " << c
          << " has no land use: every land-use layer (\"landuse1\" to \"landuse" << nLanduseLayers
          << "\") holds -9999 there, so the cell has no roughness. Give the cell a land-use code "
             "in at least one layer."
          << "[end-entry]";
  else
    *diag << "FATAL: " << moduleName << ": the land-use code " << landuseCode(r, c) << " at row "
          << r << ", column " << c
          << " has no record in the land-use table; add it to [landuse_table]."
          << "[end-entry]";
  throw invalidSettingCode;
}

void surfaceroutingclass::createStatistics() {
  std::vector<int> listed(1, 0);
  if (context.outputList)
    listed.insert(listed.end(), context.outputList->begin(), context.outputList->end());
  for (int k = 0; k < statisticCount; ++k) {
    ModuleStatistic& s = statistics[k];
    s.records = zones.records;
    for (ZoneRecord& z : s.records) z.weightSum = z.valueSum = 0.0;
    s.data = s.records.data();
    const int mode = s.code / 1000;
    const bool listedMode = mode == 5 || mode == 6;
    int failed = 0;
    s.statistic = std::make_unique<zonalstatistic>(
        failed, diag, context.statisticTable, context.statisticTableSize, cellWeights,
        static_cast<int>(header.nrows), static_cast<int>(header.ncols), &s.data, zones.zoneCount,
        s.code, statisticDecimals[k], s.fileName, outputDirectory,
        listedMode ? static_cast<int>(listed.size()) - 1 : 0, listed.data(),
        timeStepMinutes < 60.0);
    if (failed != 0) throw failed;
    s.statistic->writeHeader(moduleName, statisticLabels[k], context.statisticTable,
                             context.statisticTableSize);
  }
}

int surfaceroutingclass::setQBb(RunoffArrays* baseflow) {
  if (flowControl != 0) QBb = baseflow;
  return flowControl;
}

double* surfaceroutingclass::glacierRunoffTable() {
  return flowControl != 0 && !glacierRunoff.empty() ? glacierRunoff.data() : nullptr;
}

int surfaceroutingclass::setQIin(const RunoffArrays& inflow) {
  if (flowControl != 0) QIin = inflow;
  return flowControl;
}

int surfaceroutingclass::setQDin(const RunoffArrays& inflow) {
  if (flowControl != 0) QDin = inflow;
  return flowControl;
}

int surfaceroutingclass::setStorageConstantsQD(const double* constants) {
  if (flowControl != 0) storageConstantQD = constants;
  return flowControl;
}

int surfaceroutingclass::setStorageConstantsQI(const double* constants) {
  if (flowControl != 0) storageConstantQI = constants;
  return flowControl;
}

void surfaceroutingclass::setDumpMode(int dump, int close, int repair, long maxFiles) {
  dumpMode = dump != 0;
  closeAfterDump = close != 0;
  repairAfterDump = repair != 0;
  maxDumpFiles = maxFiles;
}

void surfaceroutingclass::teardown(bool append) {
  if (flowControl != 0) {
    if (writeStorage != 0 && !Qg.empty() && !storageFileName.empty()) writeStorageSection(append);
    freeTracers();
    for (ModuleStatistic& s : statistics) {
      if (s.statistic) s.statistic->release();
      s.statistic.reset();
    }
    releaseOwnGrids();
  }
  releaseModule();
}

// Frees and unregisters, in the order registered, what the module
// registered itself; borrowed grids (negative index) stay.
void surfaceroutingclass::releaseOwnGrids() {
  released = true;
  if (!registry) return;
  for (int slot = 0; slot < slotCount; ++slot) {
    const int index = registryIndex[slot];
    if (index <= 0) continue;
    GridRegistryEntry& e = registry[index];
    if (e.stack) free_three_d_matrix(e.stack, heldFirst, heldLast);
    if (e.grid) free_matrix(e.grid, heldFirst, heldLast, 1, header.ncols);
    e.stack = nullptr;
    e.grid = nullptr;
  }
  for (int slot = 0; slot < slotCount; ++slot)
    if (registryIndex[slot] > 0) unregisterGrid(registryIndex[slot]);
  for (int& index : registryIndex) index = 0;
}
