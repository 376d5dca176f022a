#include "soil/unsatzonmodellklasse.h"

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"

unsatzonmodellklasse::unsatzonmodellklasse(const ModelContext& context, int& errorCode,
                                           std::vector<soil_class>* soilTableArg)
    : teilmodellklasse(context, "unsatzon_model"), soilTable(soilTableArg) {
  errorCode = catchModuleFailure([&] {
    if (getFlowControl() == 0) return;
    HORVA_ANNOUNCE_MODULE(*diag);
    const int regionsIndex = findGrid("MPIRegions");
    regions = regionsIndex > 0 ? registry[regionsIndex].grid : nullptr;
    heldFirstRow = std::max(1L, header.firstRow - 1);
    heldLastRow = std::min(header.nrows, header.lastRow + 1);

    landuseLayers = std::max(1, context.landuseLayerCount);
    rankZones(zones);
    readModelSection();
    readOptionalSections();
    refuseUnsupportedSettings();
    createStatistics();
    layers = (*context.soilTable)[0].getLayerCount();
    checkRegistrySpace();
    takeForeignGrids();
    registerOwnGrids();
    registerHeatGrids();
    readPondingInput();
    setInitialState();
    fillDrainageAndClayLevels();
    if (settings.drainage == 1)
      createStatistic(statQDRAIN, "drainage discharge [mm per zone] (QDRAIN)", 5);
    if (settings.pond == 1)
      createStatistic(statPOND, "ponding water storage content [mm per zone] ", 5);
    initLakeModel("[lake_model]");
    fillSlopeTangent();
    followGridsReadDuringRun();
    shareExitCode(*diag, catchExitCode([&] { createPointFiles(); }));
    createPointSeries();
    buildOptionTag();
    setThermalDefaults();
    setUpGlaciers();
    writeStartSummary();
    takeResponseUnitGrids();
    if (readLayeredSnowModel() > 0) {
      readLayeredSnowProperties();
      registerSnowGrids();
    }
    takeSolverGrids();
    reinfiltration.create(*diag, zones.zoneCount);
  });
}

unsatzonmodellklasse::~unsatzonmodellklasse() {
  releaseTracerGrids();
  for (ModuleStatistic& s : statistics) s.statistic.reset();
  reinfiltrationExchange.release();
  releaseGrids();
}

const std::string* unsatzonmodellklasse::getStorageFileName() const {
  return getFlowControl() == 0 ? nullptr : &storageFileName;
}

const double* unsatzonmodellklasse::getKelsqi() const {
  return getFlowControl() == 0 ? nullptr : kelsqi.data();
}

const double* unsatzonmodellklasse::getKelsqd() const {
  return getFlowControl() == 0 ? nullptr : kelsqd.data();
}

void unsatzonmodellklasse::setDumpMode(int dumpFlag, int close, int repair, long maxFiles) {
  dumpControl.configure(DumpOptions{dumpFlag, close, repair, maxFiles});
}

void unsatzonmodellklasse::releaseGrids() {
  for (auto g = ownGrids.rbegin(); g != ownGrids.rend(); ++g) {
    if (g->index > 0 && registry) unregisterGrid(g->index);
    if (g->stack)
      free_three_d_matrix(g->stack, g->firstRow, g->lastRow);
    else
      free_matrix(g->grid, g->firstRow, g->lastRow, 1, header.ncols);
  }
  ownGrids.clear();
}

bool unsatzonmodellklasse::isOwnValidCell(long r, long c) const {
  if (zone[r][c] == header.nodata) return false;
  return !regions || regions[r][c] == mpiRank;
}
