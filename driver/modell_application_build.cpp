// The construction of a run: the registry, the control-file reader with its
// staged set-up, the interpolators, the tracer set-up and the sub-models in
// their fixed order.

#include <mpi.h>

#include <new>

#include "config/defaultini.h"
#include "config/tracer_ini_class.h"
#include "core/control_file_lines.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/statistic_lines.h"
#include "driver/data_assimilation.h"
#include "driver/modell_application.h"
#include "driver/special_output.h"
#include "driver/water_balance.h"
#include "lateral/gwflowclass.h"
#include "lateral/siltingupclass.h"
#include "lateral/surfaceroutingclass.h"
#include "meteo/meteoint.h"
#include "meteo/precipitation_correction.h"
#include "meteo/regional_superposition.h"
#include "routing/abflussmodellklasse.h"
#include "routing/irrigationclass.h"
#include "snow/schneemodellklasse.h"
#include "soil/unsatzonmodellklasse.h"
#include "vertical/expokorrklasse.h"
#include "vertical/interzeptionsmodellklasse.h"
#include "vertical/verdunstungsmodellklasse.h"

namespace {

constexpr int registryRefusedCode = 1;
constexpr int noDateSourceCode = 85;
constexpr int foreignStepCode = 63;

} // namespace

void ModellApplication::init() {
  try {
    runFiles = std::make_unique<RunFiles>(*diag);
    int processes = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &processes);
    runFiles->noteOwnFiles(processes);
    stage = "reserving the grid registry";
    reserveRegistry();
    runStagedSetup();
    stage = "createStandardGridStatistics";
    defaults->createStandardGridStatistics();
    stage = "the hand-over of the global parameters";
    defaults->getGlobalParameters(settings);
    runFiles->setOutputDirectory(settings.outputDirectory);
    context.maxElevation = defaults->getMaxElevation();
    if (!options.routingOnly) createHRUs();
    stage = "releaseWholeSetupGrids";
    defaults->releaseWholeSetupGrids(false);
    fillContext();
    if (!options.routingOnly) buildInterpolators();
    checkDateSource();
    stage = "readSubsteps";
    substeps = static_cast<unsigned>(defaults->readSubsteps());
    buildTracerSetup();
    stage = "the sub-models";
    plug(Place::interpolatedGridOutput, [this](const ModelDate&) {
      for (meteointerpol* m : interpolators) m->writeInterpolatedGrid();
    });
    buildSubmodels();
    checkRoutingDateSource();
    stage = "resolveCouplingNames";
    defaults->resolveCouplingNames(statisticTable.data(), static_cast<int>(statisticTable.size()));
    finishConstruction();
    // Routing alone reads no standard grid again.
    stage = "refuseReadsOfGridsBuiltOnce";
    defaults->refuseReadsOfGridsBuiltOnce(!options.routingOnly);
    stage = "checking that every output can be written";
    runFiles->checkOutputsCreatable();
    stage = "creating the outputs held while the run was built";
    runFiles->createHeldOutputs();
    stage = "releaseWholeSetupGrids";
    defaults->releaseWholeSetupGrids(true);
    initialised = true;
  } catch (int code) {
    caught(code, "init");
  }
}

// A zero-filled registry and statistics table, before any module exists.
void ModellApplication::reserveRegistry() {
  try {
    registry.assign(gridRegistrySize, GridRegistryEntry{});
    statisticTable.assign(statisticTableEntries, StatisticTableEntry{});
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: no free memory for creating grids "
          << "[end-entry]";
    throw registryRefusedCode;
  }
}

void ModellApplication::runStagedSetup() {
  stage = "building the control-file reader";
  int errorCode = 0;
  defaults =
      std::make_unique<defaultini>(errorCode, diag, controlFileName, statisticTable.data(),
                                   static_cast<int>(statisticTable.size()), 2, registry.data());
  if (errorCode != 0) throw errorCode;
  int done = 0;
  for (int step = 0; done == 0;) {
    stage = "set-up step " + std::to_string(step);
    stopIfInterrupted();
    step = defaults->initStep(done);
  }
}

void ModellApplication::stopIfInterrupted() {
  const int state = agreeOnMaximum(*diag, endSignal != 0 ? 2 : ctrlCState);
  if (state == 0) return;
  if (state == 2) {
    *diag << "FATAL: the set-up was ended by SIGTERM before " << stage
          << "; the run ends before its first step and leaves no results"
          << "[end-entry]";
    throw endedBySignalCode;
  }
  *diag << "FATAL: the set-up was interrupted by Ctrl-C (or SIGUSR1) before " << stage
        << "; the run ends before its first step and leaves no results. Start it again to run "
           "the model."
        << "[end-entry]";
  throw stopWithoutSavingCode;
}

// "[SpinUp]": the repetitions of the period and the response units, whose
// master cells every module and interpolator receives.
void ModellApplication::createHRUs() {
  stage = "createHRUs";
  HRUList units;
  defaults->createHRUs(spinUp, doTemperaturePreSpinUp, repeatCnt, units);
  hruMasterCells.clear();
  for (const HRUClass& unit : units) hruMasterCells.push_back({unit.masterRow, unit.masterColumn});
}

// What every module needs of the run, handed to each by const reference.
void ModellApplication::fillContext() {
  context.diag = diag;
  context.controlFileName = settings.controlFileName;
  context.routingOnly = options.routingOnly;
  context.writeAsciiGrids = settings.writeAsciiGrids;
  context.writeDoubleGrids = settings.writeDoubleGrids;
  context.writeNetCDFGrids = settings.writeNetCDFGrids;
  context.inputDirectory = settings.inputDirectory;
  context.outputDirectory = settings.outputDirectory;
  context.outputInterval = static_cast<unsigned>(settings.outputInterval);
  context.outputList = &settings.outputList;

  context.cellsPerProcess = settings.cellsPerProcess;
  context.haloSendList = settings.haloSendList;
  context.haloReceiveList = settings.haloReceiveList;
  context.riverLinks = &defaults->getRiverLinks();
  context.localLinkCellsByOwner = &defaults->getLocalLinkCellsByOwner();
  context.ownedLinkCellsByProcess = &defaults->getOwnedLinkCellsByProcess();

  context.hruFlag = spinUp != 0 ? 1 : 0;
  context.hruMasterCells = &hruMasterCells;
  context.hruMasterMoves = &hruMasterMoves;

  context.registry = registry.data();
  context.header = settings.header;
  context.rowColumnRange = settings.columnRanges;
  const int cellAreas = defaults->findGrid("RelCellArea", 1);
  context.cellWeights = cellAreas > 0 ? registry[static_cast<size_t>(cellAreas)].grid : nullptr;

  context.zoneCount = settings.zoneCount;
  context.maxZoneCode = settings.maxZoneCode;
  context.zoneRanks = settings.zoneRanks;
  context.zoneRecords = settings.zoneRecords;
  context.regionCount = settings.regionCount;
  context.maxRegionCode = settings.maxRegionCode;
  context.regionRanks = settings.regionRanks;
  context.regionCentres = settings.regionCentres;

  context.startDate = settings.startDate;
  context.endDate = settings.endDate;
  context.minToIntEnd = settings.minToIntEnd;
  dayEndWatch = DayEndWatch(settings.minToIntEnd);
  if (settings.timeStep > 0) context.stepHours = settings.timeStep / 60.0;

  context.latitude = settings.latitude;
  context.longitude = settings.longitude;
  context.referenceMeridian = settings.referenceMeridian;
  context.hourShift = settings.timeShift;

  context.landuseTable = settings.landuseTable;
  context.soilTable = settings.soilTable;
  context.irrigationTable = settings.irrigationTable;
  context.multilayerTable = settings.multilayerTable;
  context.landuseLayerCount = settings.landuseLayerCount;

  context.statisticTable = statisticTable.data();
  context.statisticTableSize = static_cast<long>(statisticTable.size());
  context.dumpOptions = options.dumpOptions;
}

// One interpolator per variable of "[meteo_names]", each filling the
// registry grid of its name.
void ModellApplication::buildInterpolators() {
  for (const std::string& name : settings.meteoNames)
    interpolators.push_back(
        adopt<meteointerpol>("meteointerpol " + name, name, settings.secondOutputSwitch));
  if (context.stepHours == 0.0 && !interpolators.empty())
    context.stepHours = interpolators.front()->getTimeStep() / 60.0;
  if (context.stepHours > 0.0) context.stepsPerDay = 24.0 / context.stepHours;
}

// The first interpolator gives the date of every step; in routing-only mode
// channel routing does (checkRoutingDateSource).
void ModellApplication::checkDateSource() {
  if (!interpolators.empty() || options.routingOnly) return;
  stage = "looking for the date of the steps";
  *diag << "FATAL: no date source: " << userControlFile(context.controlFileName)
        << " names no meteorological variable in [meteo_names] ([meteo_data_count] is "
        << settings.meteoCount << "), and the first interpolator gives the date of every step"
        << "[end-entry]";
  throw noDateSourceCode;
}

void ModellApplication::refuseForeignStep(const teilmodellklasse& module) const {
  if (interpolators.empty() || module.getFlowControl() == 0) return;
  const long dataStep = interpolators.front()->getTimeStep();
  if (module.getTimeStepAsRead() == static_cast<double>(dataStep)) return;
  const std::string& name = module.getModuleName();
  const std::string& variable = settings.meteoNames.front();
  *diag << "FATAL: the time step " << module.getTimeStepAsRead() << " minutes of " << name
        << " (\"time interval for " << name << "\" in [" << name << "] of "
        << userControlFile(controlFileName)
        << ") differs from the step of the meteorological data, " << dataStep
        << " minutes (\"time step in minutes\" of [" << variable
        << "], the first variable of [meteo_names], which gives the dates of the steps). Every "
           "module steps once per data step: set its time interval to "
        << dataStep << "[end-entry]";
  throw foreignStepCode;
}

// Routing-only mode reads its dates from the runoff of a former run, which
// channel routing reads.
void ModellApplication::checkRoutingDateSource() {
  if (!options.routingOnly || channelRouting->getConfiguredFlowControl() > 0) return;
  stage = "looking for the date of the steps";
  *diag << "FATAL: no date source in routing-only mode: channel routing, which reads the "
           "runoff of a former run, is off in "
        << userControlFile(context.controlFileName) << "; switch it on in [routing_model]"
        << "[end-entry]";
  throw noDateSourceCode;
}

void ModellApplication::buildTracerSetup() {
  stage = "building tracer_ini_class";
  int errorCode = 0;
  tracerSetup = std::make_unique<tracer_ini_class>(
      errorCode, diag, context.controlFileName, 0, context.writeAsciiGrids,
      context.writeDoubleGrids, context.writeNetCDFGrids, context.inputDirectory,
      context.outputDirectory, context.cellsPerProcess, context.haloSendList,
      context.haloReceiveList, context.hruFlag, static_cast<long>(hruMasterCells.size()));
  if (errorCode != 0) throw errorCode;
  context.tracerCount = tracerSetup->getTracerCount();
  context.tracerTable = &tracerSetup->getTracerInfoTable();
}

void ModellApplication::buildSubmodels() {
  regionalSuperposition = adopt<RegionalSuperposition>("RegionalSuperposition");
  if (regionalSuperposition->getFlowControl() != 0)
    plug(Place::regionalSuperposition,
         [this](const ModelDate& d) { regionalSuperposition->superpose(DATE_ARGS(d)); });
  precipitationCorrection = adopt<precicorrclass>("precicorrclass", interpolators);
  // The correction comes first in a step, the superposition after the
  // output of the grids: so too their bounds of the grids' values.
  regionalSuperposition->widenTargetRanges();

  // Built in every run: switched off, it still copies "temperature_night".
  radiationCorrection = adopt<expokorrklasse>("radiation_correction");
  if (radiationCorrection->hasOwnGrids()) {
    plug(Place::radiationCorrection,
         [this](const ModelDate& d) { radiationCorrection->correctRadiation(DATE_ARGS(d)); });
    plug(Place::radiationCorrectionTeardown,
         [this](const ModelDate&) { radiationCorrection->releaseModule(); });
  }

  evapotranspiration = adopt<verdunstungsmodellklasse>("evapotranspiration");
  evapotranspiration->setRadiationCorrectionGrid(radiationCorrection->getRadiationCorrection());
  if (!radiationCorrection->copiesNightTemperature())
    evapotranspiration->keepGivenNightTemperature();
  if (evapotranspiration->getFlowControl() != 0) {
    landuseStepMinutes = static_cast<double>(evapotranspiration->getTimeStepMinutes());
    plug(Place::potentialEvapotranspiration, [this](const ModelDate& d) {
      evapotranspiration->computePotentialEvapotranspiration(DATE_ARGS(d));
    });
    plug(Place::snowEvaporation,
         [this](const ModelDate& d) { evapotranspiration->computeSnowEvaporation(DATE_ARGS(d)); });
    plug(Place::evapotranspirationStart,
         [this](const ModelDate& d) { evapotranspiration->beginSubsteps(DATE_ARGS(d)); });
    plug(Place::evapotranspirationSubstep,
         [this](const ModelDate&) { evapotranspiration->doSubstep(); });
    plug(Place::evapotranspirationEnd,
         [this](const ModelDate& d) { evapotranspiration->endSubsteps(DATE_ARGS(d)); });
    plug(Place::flush, [this](const ModelDate&) { evapotranspiration->flushStatistics(); });
    plug(Place::evapotranspirationTeardown,
         [this](const ModelDate&) { evapotranspiration->releaseModule(); });
  }

  snow = adopt<schneemodellklasse>("snow_model");
  snow->setRadiationCorrection(radiationCorrection->getRadiationCorrection());
  evapotranspiration->setSnowStorageGrid(snow->getSolidSnowStorage());
  evapotranspiration->setSnowMethod(snow->getMethod());
  evapotranspiration->takeGlacierGrid();
  evapotranspiration->setWriteStorageFlag(1);
  snow->setWriteStorageFlag(1);
  if (snow->getFlowControl() != 0) {
    plug(Place::snow, [this](const ModelDate& d) { snow->computeSnowStep(DATE_ARGS(d)); });
    plug(Place::glaciers, [this](const ModelDate& d) { snow->computeGlacierStep(DATE_ARGS(d)); });
    plug(Place::flush, [this](const ModelDate&) { snow->flushStatistics(); });
    plug(Place::tracerRelease, [this](const ModelDate&) { snow->freeTracers(); });
    // After the unsaturated zone's teardown: the section follows the state
    // file it wrote.
    plug(Place::snowTeardown, [this](const ModelDate&) { snow->releaseModule(); });
  }

  interception = adopt<interzeptionsmodellklasse>("interception_model");
  context.interceptionFirst = interception->getMethod() > 10 ? 1 : 0;
  interception->setRainSnowThreshold(snow->getT0R(), snow->getTranszone());
  interception->setSnowModelBelow(snow->getFlowControl() != 0);
  if (interception->getFlowControl() != 0) {
    plug(Place::interception,
         [this](const ModelDate& d) { interception->computeInterception(DATE_ARGS(d)); });
    plug(Place::flush, [this](const ModelDate&) { interception->flushStatistics(); });
    plug(Place::tracerRelease, [this](const ModelDate&) { interception->freeTracers(); });
    plug(Place::interceptionTeardown, [this](const ModelDate&) { interception->releaseModule(); });
  }

  interception->setWriteStorageFlag(1);

  siltingUp = adopt<siltingupclass>("SiltingUpModel");
  siltingUp->selectWaterInput(context.interceptionFirst);
  if (siltingUp->getFlowControl() != 0) {
    plug(Place::siltingUp, [this](const ModelDate& d) { siltingUp->step(DATE_ARGS(d)); });
    plug(Place::flush, [this](const ModelDate&) { siltingUp->flushStatistics(); });
    plug(Place::tracerRelease, [this](const ModelDate&) { siltingUp->freeTracers(); });
    plug(Place::siltingUpTeardown, [this](const ModelDate&) { siltingUp->releaseModule(); });
  }

  unsatZone = adopt<unsatzonmodellklasse>("unsatzon_model", settings.soilTable);
  unsatZone->setDumpMode(context.dumpOptions.dumpMode, context.dumpOptions.closeAfterDump,
                         context.dumpOptions.repairAfterDump, context.dumpOptions.maxDumpFiles);
  unsatZone->selectInputGrid(context.interceptionFirst);
  substepModule = unsatZone;
  unsatZone->setWriteStorageFlag(1);
  if (unsatZone->getFlowControl() != 0) {
    // Irrigation runs before the soil in every step: the first draws on the
    // groundwater the initial state holds.
    unsatZone->computeMaxPumping();
    plug(Place::groundwaterHeads, [this](const ModelDate& d) {
      unsatZone->readGroundwaterHeads(d.year, d.month, d.day, d.hour, d.minute);
    });
    plug(Place::unsaturatedZoneSubstep,
         [this](const ModelDate& d) { unsatZone->computeTimeStep(DATE_ARGS(d)); });
    plug(Place::unsaturatedZoneEnd, [this](const ModelDate& d) {
      unsatZone->computeMaxPumping();
      unsatZone->concentrateRunoff(DATE_ARGS(d));
      // The glacier runoff of this step went by the glaciers before the close.
      if (snow->closesGlacierYear()) unsatZone->updateGlacierZones();
    });
    plug(Place::externalGroundwaterTable,
         [this](const ModelDate&) { unsatZone->readGwStorageCoefficients(); });
    plug(Place::flush, [this](const ModelDate&) { unsatZone->flushStatistics(); });
    plug(Place::tracerRelease, [this](const ModelDate&) { unsatZone->freeTracers(); });
    // Without heat transfer a pre-spin-up ends at its first step.
    plug(Place::preSpinUpStep,
         [this](const ModelDate& d) { unsatZone->preSpinUpSoilTemperature(d.minute, d.hour); });
    plug(Place::preSpinUpEnd,
         [this](const ModelDate&) { unsatZone->updateSoilTemperatureStack(); });
    // Channel routing, torn down before, has written this process's state
    // file new where it is active (rank 0 alone): append there only.
    plug(Place::unsaturatedZoneTeardown, [this](const ModelDate&) {
      unsatZone->finishModelRun(channelRouting && channelRouting->getFlowControl() > 0);
    });
  }

  surfaceRouting = adopt<surfaceroutingclass>("SurfaceRoutingModel", substeps);
  surfaceRouting->setDumpMode(context.dumpOptions.dumpMode, context.dumpOptions.closeAfterDump,
                              context.dumpOptions.repairAfterDump,
                              context.dumpOptions.maxDumpFiles);
  if (surfaceRouting->getFlowControl() != 0)
    plug(Place::surfaceRoutingTeardown, [this](const ModelDate&) {
      surfaceRouting->teardown(unsatZone->getFlowControl() != 0 ||
                               (channelRouting && channelRouting->getFlowControl() > 0));
    });

  // Also with interception off, which decides the snow's inputs.
  stage = "building " + snow->getModuleName();
  snow->setInterceptionFirst(context.interceptionFirst != 0);
  snow->initLakeGrids("[lake_model]");
  snow->setSnowLayerHeat(unsatZone->isHeatTransferActive());
  snow->setLayeredSnow(unsatZone->isLayeredSnowActive(), unsatZone->getLayeredSnowProperties(),
                       unsatZone->getTOffsetFreshSnow());
  snow->setDumpOptions(context.dumpOptions.dumpMode != 0, context.dumpOptions.closeAfterDump != 0,
                       context.dumpOptions.repairAfterDump != 0, context.dumpOptions.maxDumpFiles);
  if (snow->getFlowControl() > 0) {
    snow->readStorage(unsatZone->getStorageFileName(), unsatZone->getReadStorageParameter());
    // A warm start goes on with the glaciers the last close left.
    unsatZone->updateGlacierZones();
  }
  stage = "building " + evapotranspiration->getModuleName();
  evapotranspiration->readStorage(unsatZone->getStorageFileName(),
                                  unsatZone->getReadStorageParameter());
  const int readState = unsatZone->getReadStorageParameter();
  const bool warm = unsatZone->getFlowControl() != 0 && (readState == 1 || readState == 3);
  if (warm) {
    stage = "readLanduseParameterStack";
    defaults->readLanduseParameterStack();
  }
  stage = "readPeriodicGridState";
  defaults->readPeriodicGridState(warm);

  // Groundwater sub-steps with the loop's count, so that its step length
  // matches the unsaturated zone's.
  groundwater = adopt<gwflowclass>("groundwater_flow");
  groundwater->setSubsteps(substeps);
  if (groundwater->getFlowControl() != 0) {
    unsatZone->setGroundwaterActive(true);
    plug(Place::groundwaterStart,
         [this](const ModelDate& d) { groundwater->setStepDate(DATE_ARGS(d)); });
    plug(Place::groundwaterSubstep, [this](const ModelDate&) { groundwater->solveGroundwater(); });
    // A lake over the aquifer gains or loses in the same sub-step what the
    // aquifer's first layer gained or lost under it.
    if (unsatZone->getFlowControl() != 0)
      plug(Place::groundwaterSubstep, [this](const ModelDate&) { unsatZone->settleLakeGroundwater(); });
    plug(Place::groundwaterEnd,
         [this](const ModelDate&) { groundwater->writeGroundwaterOutputs(); });
    plug(Place::flush, [this](const ModelDate&) { groundwater->flushGroundwaterOutputs(); });
    plug(Place::tracerRelease, [this](const ModelDate&) { groundwater->freeTracers(); });
    plug(Place::groundwaterTeardown, [this](const ModelDate&) { groundwater->releaseModule(); });
  }

  irrigation = adopt<irrigationclass>("irrigation");
  if (irrigation->getFlowControl() != 0) {
    plug(Place::irrigation, [this](const ModelDate& d) { irrigation->Step(DATE_ARGS(d)); });
    plug(Place::flush, [this](const ModelDate&) { irrigation->Flush(); });
    plug(Place::tracerRelease, [this](const ModelDate&) { irrigation->freeTracers(); });
    plug(Place::irrigationTeardown, [this](const ModelDate&) { irrigation->releaseModule(); });
  }

  // The tracer set-up of irrigation, snow, interception, silting-up,
  // groundwater, the unsaturated zone and surface routing, in this order,
  // after groundwater and before channel routing; also without tracers.
  for (teilmodellklasse* module :
       {static_cast<teilmodellklasse*>(irrigation), static_cast<teilmodellklasse*>(snow),
        static_cast<teilmodellklasse*>(interception), static_cast<teilmodellklasse*>(siltingUp),
        static_cast<teilmodellklasse*>(groundwater), static_cast<teilmodellklasse*>(unsatZone),
        static_cast<teilmodellklasse*>(surfaceRouting)}) {
    stage = "building " + module->getModuleName();
    int code = 0;
    module->initTracers(code, context.tracerCount, *context.tracerTable, context.statisticTable,
                        context.statisticTableSize);
    if (code != 0) throw code;
  }
  siltingUp->setWriteStorageFlag(1);
  surfaceRouting->setWriteStorageFlag(1);

  // The glacier runoff of a subbasin joins the subbasin runoff that channel
  // routing routes: surface routing's where it concentrates the runoff,
  // else the soil's. Both tables exist once the tracer set-up ran.
  if (snow->getFlowControl() != 0 && snow->hasGlacierGrid()) {
    unsatZone->setGlacierTakesWater(true);
    if (surfaceRouting->getFlowControl() != 0)
      snow->setGlacierRunoffTable(surfaceRouting->glacierRunoffTable());
    else if (unsatZone->getFlowControl() != 0)
      if (unsatzonmodellklasse::RunoffArrays* qg = unsatZone->getQg())
        snow->setGlacierRunoffTable((*qg)[0].data());
  }

  // Channel routing routes the unsaturated zone's subbasin runoff; without
  // it the source is null, which only routing-only mode can route.
  channelRouting = adopt<abflussmodellklasse>("routing_model");
  // With surface routing on, its zones and storages take over the
  // unsaturated zone's runoff concentration.
  if (surfaceRouting->getFlowControl() != 0) {
    stage = "building " + surfaceRouting->getModuleName();
    surfaceRouting->setQBb(unsatZone->getQBb());
    surfaceRouting->setStorageConstantsQD(unsatZone->getKelsqd());
    surfaceRouting->setStorageConstantsQI(unsatZone->getKelsqi());
    surfaceRouting->readStorage(unsatZone->getStorageFileName(),
                                unsatZone->getReadStorageParameter());
    unsatZone->setRoutingConcentration(1);
    plug(Place::surfaceRoutingStart,
         [this](const ModelDate& d) { surfaceRouting->startStep(DATE_ARGS(d)); });
    plug(Place::surfaceRoutingSubstep,
         [this](const ModelDate& d) { surfaceRouting->routeSubstep(DATE_ARGS(d)); });
    plug(Place::surfaceRoutingEnd, [this](const ModelDate&) { surfaceRouting->endStep(); });
    plug(Place::flush, [this](const ModelDate&) { surfaceRouting->flushStatistics(); });
  }
  stage = "building " + channelRouting->getModuleName();
  if (channelRouting->getFlowControl() > 0) {
    unsatzonmodellklasse::RunoffArrays* runoff =
        surfaceRouting->getFlowControl() != 0 ? surfaceRouting->getQg()
        : unsatZone->getFlowControl() != 0    ? unsatZone->getQg()
                                              : nullptr;
    if (runoff)
      for (std::vector<double>& row : *runoff) runoffSourceRows.push_back(row.data());
    channelRouting->SetRunoffSource(runoffSourceRows.empty() ? nullptr : runoffSourceRows.data());
  }
  if (channelRouting->getConfiguredFlowControl() > 0)
    channelRouting->InitLakeModel(context.interceptionFirst);
  const bool lakesReleased =
      channelRouting->getConfiguredFlowControl() > 0 && channelRouting->getLakeModel() != 0;
  unsatZone->setLakesReleased(lakesReleased);
  irrigation->setLakeCellsWhole(lakesReleased &&
                                !(snow->getFlowControl() != 0 && snow->hasGlacierGrid()));
  if (channelRouting->getFlowControl() > 0) {
    channelRouting->CheckInflowAbstractionLinks();
    channelRouting->setIrrigationDemand(irrigation->GetSurfaceDemand());
    channelRouting->setRiverflowTable(unsatZone->getReinfiltrationRecords());
    channelRouting->ReadStorageContent(unsatZone->getStorageFileName(),
                                       unsatZone->getReadStorageParameter());
    channelRouting->setWriteStorageFlag(1);
  }
  channelRouting->restoreLakeCells(unsatZone->getReadStorageParameter());
  // Whatever routing's state: only rank 0 shares out what it gives.
  stage = "building " + irrigation->getModuleName();
  irrigation->SetStorageRecords(unsatZone->getReinfiltrationRecords());
  irrigation->SetGroundwaterRunoff(unsatZone->getQg());
  irrigation->FindTracerStorageGrids();
  irrigation->SetMaxIrrigation(channelRouting->getMaxIrrig(),
                               channelRouting->getMaxIrrigFromReservoirs());
  irrigation->SetRoutingTarget(channelRouting->getRoutingTarget());
  irrigation->SetRoutingElements(channelRouting->getAreaFactors());
  irrigation->setWriteStorageFlag(1);
  stage = "building " + groundwater->getModuleName();
  if (groundwater->getFlowControl() != 0 && unsatZone->getFlowControl() != 0) {
    groundwater->setRunoffArray(unsatZone->getQg());
    groundwater->setUnsaturatedZoneSource(unsatZone->getReinfiltrationRecords());
  }
  groundwater->setWriteStorageFlag(1);
  if (channelRouting->getConfiguredFlowControl() > 0) {
    plug(Place::channelRouting,
         [this](const ModelDate& d) { channelRouting->RouteTimeStep(DATE_ARGS(d)); });
    plug(Place::flush, [this](const ModelDate&) { channelRouting->flushOutputs(); });
    plug(Place::tracerRelease, [this](const ModelDate&) { channelRouting->freeTracers(); });
    plug(Place::channelRoutingTeardown,
         [this](const ModelDate&) { channelRouting->releaseModule(); });
  }

  // Special output after channel routing, so that every grid it lists is
  // registered.
  specialOutput = adopt<SpecialOutputClass>("special_output");
  if (specialOutput->getFlowControl() != 0) {
    plug(Place::specialOutputSubstep,
         [this](const ModelDate& d) { specialOutput->writeStep(DATE_ARGS(d), currentSubstep); });
    plug(Place::specialOutput,
         [this](const ModelDate& d) { specialOutput->writeStep(DATE_ARGS(d), 0); });
    plug(Place::flush, [this](const ModelDate&) { specialOutput->flush(); });
  }

  // The water balance reads the grids of every module built before.
  waterBalance = adopt<waterbalanceclass>("water_balance");
  if (waterBalance->getFlowControl() != 0) {
    waterBalance->setGlacierTakesWater(snow->getFlowControl() != 0 && snow->hasGlacierGrid());
    addChannelBalanceTerms();
    waterBalance->noteStatisticFiles();
    plug(Place::waterBalanceStart, [this](const ModelDate&) { waterBalance->startStep(); });
    plug(Place::waterBalanceInputs, [this](const ModelDate&) { waterBalance->takeGroundInputs(); });
    // After the unsaturated zone's sub-step, before surface routing moves
    // its runoff.
    plug(Place::unsaturatedZoneSubstep, [this](const ModelDate&) {
      waterBalance->addSubstep(substepModule ? substepModule->getSubsteps() : substeps);
    });
    plug(Place::waterBalance, [this](const ModelDate& d) { waterBalance->step(DATE_ARGS(d)); });
    plug(Place::flush, [this](const ModelDate&) { waterBalance->flushStatistics(); });
    plug(Place::waterBalanceTeardown, [this](const ModelDate&) { waterBalance->releaseModule(); });
  }

  // Data assimilation last of all, so that every grid it draws is registered.
  if (channelRouting->getFlowControl() > 0) channelRouting->collectReservoirs(reservoirs);
  dataAssimilation = adopt<data_assimilation>("data_assimilation", &reservoirs, channelRouting);
  if (dataAssimilation->getFlowControl() != 0)
    plug(Place::dataAssimilation,
         [this](const ModelDate& d) { dataAssimilation->step(DATE_ARGS(d)); });

  // Every grid the modules registered, once a day of model time.
  plug(Place::stateCheck, [this](const ModelDate& d) {
    stateWatch.step(d, context.registry, processCells(), context.header.nrows, *diag);
  });

  // Once every module is built: the unsaturated zone registers the pond grid.
  stage = "readLakeCodes of evapotranspiration";
  evapotranspiration->readLakeCodes("[lake_model]");
}

// After every module is built.
void ModellApplication::finishConstruction() {
  if (substepModule) substepModule->setSubsteps(substeps);
  stage = "setOutputInterval";
  for (const std::unique_ptr<modelobject>& m : modules)
    m->setOutputInterval(context.outputInterval);
  stage = "prepareMPIReinfiltration";
  *diag << "INFO: initializing re-infiltration in-order-processing..."
        << "[end-entry]";
  if (unsatZone) unsatZone->prepareMPIReinfiltration();
  const int readState = unsatZone ? unsatZone->getReadStorageParameter() : 0;
  const bool warm =
      unsatZone && unsatZone->getFlowControl() != 0 && (readState == 1 || readState == 3);
  if (warm) {
    stage = "readStatisticsState";
    defaults->readStatisticsState(context.stepHours * 60.0);
  }
  stage = "the open lines of the statistics";
  continueStatisticLines(warm);
}

// Every statistic is made by now.
void ModellApplication::continueStatisticLines(bool warm) {
  if (!StatisticLines::anyOnAnyProcess(*diag)) return;
  std::string written = statisticLinesFile;
  modelobject::prependDirectory(context.outputDirectory, written);
  noteOutputFile(written,
                 "the open lines of the statistics of several steps at the end of the run");
  if (!warm) return;
  std::string path = statisticLinesFile;
  modelobject::prependDirectory(context.inputDirectory, path);
  const bool exists = defaults->initialStateFileExists(statisticLinesFile);
  if (exists)
    noteInputFile(path, "the open lines of the statistics that a warm start goes on with");
  StatisticLines::read(*diag, path, exists);
}
