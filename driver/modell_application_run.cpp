// The time loop: the period step by step, repeated for spin-up, after an
// optional temperature pre-spin-up.

#include <mpi.h>

#include <algorithm>

#include "config/defaultini.h"
#include "core/diag_stream.h"
#include "driver/modell_application.h"
#include "meteo/meteo_dates.h"
#include "meteo/meteoint.h"
#include "meteo/precipitation_correction.h"
#include "routing/abflussmodellklasse.h"
#include "snow/schneemodellklasse.h"
#include "soil/unsatzonmodellklasse.h"
#include "submodel/response_unit_masters.h"

int ModellApplication::run() {
  try {
    if (doTemperaturePreSpinUp != 0) runTemperaturePreSpinUp();
    const int passes = spinUp != 0 ? 1 + std::max(0, repeatCnt) : 1;
    for (int pass = 1; pass <= passes && !finishing; ++pass) {
      if (passes > 1)
        *diag << "INFO: spin-up: pass " << pass << " of " << passes << " over the period"
              << "[end-entry]";
      if (pass > 1) rewindPeriod();
      runPeriod(pass == passes);
    }
  } catch (int code) {
    caught(code, "run");
  }
  return 0;
}

// The period once more for the soil temperatures alone; the states of the
// other modules stay untouched.
void ModellApplication::runTemperaturePreSpinUp() {
  *diag << "INFO: temperature pre-spin-up over the period"
        << "[end-entry]";
  moveUnitMastersOffLoneCells();
  for (bool ended = false; !ended;) {
    stage = "the Ctrl-C state";
    const RunAnswer answer = handleCtrlC();
    const ModelDate date = nextStepDate();
    stage = "the pre-spin-up step of " + formatDate(date);
    obey(answer, date);
    lastStepDate = date;
    interpolate(date);
    runPlace(Place::preSpinUpStep, date);
    ended = periodEnded();
  }
  runPlace(Place::preSpinUpEnd, lastStepDate);
  rewindPeriod();
}

void ModellApplication::runPeriod(bool lastPass) {
  for (bool ended = false; !ended;) {
    // (1) Ctrl-C pressed on any process, answered on rank 0
    stage = "the Ctrl-C state";
    const RunAnswer answer = handleCtrlC();
    // (2) the date of the step
    const ModelDate date = nextStepDate();
    stage = "the step of " + formatDate(date);
    obey(answer, date);
    ended = runStep(date, lastPass);
  }
}

bool ModellApplication::runStep(const ModelDate& date, bool lastPass) {
  // The buffers are written when a day begins, so that a killed run keeps
  // every day it finished (year 0: no step ran yet).
  if (lastStepDate.year != 0 && (date.day != lastStepDate.day || date.month != lastStepDate.month ||
                                 date.year != lastStepDate.year))
    flushBuffers();
  lastStepDate = date;
  logModelTime(date);
  // (3) the grids of the external program, when due
  const bool coupled = defaults->isExternalCouplingActive();
  if (coupled && couplingDue(date)) exchangeWithExternalProgram(date);
  // (4) the meteorological grids, the standard grids due and the land use of
  // the date
  interpolate(date);
  if (!options.routingOnly) {
    defaults->updatePeriodicStandardGrids(DATE_ARGS(date), landuseStepMinutes);
    defaults->updateActualLanduseGrids(DATE_ARGS(date), landuseStepMinutes);
  }
  // (5) to (7) the sub-models
  runSubmodels(date);
  stage = "the check of the state after the step of " + formatDate(date);
  runPlace(Place::stateCheck, date);
  stage = "the step of " + formatDate(date);
  // (8) the output of the step
  writeStepOutputs(date);
  runPlace(Place::specialOutput, date);
  dayEndWatch.step(date, *diag, context.registry);
  // (9) the end of the period
  const bool ended = periodEnded();
  if (coupled) endCouplingStep(date, ended, ended && (lastPass || finishing));
  return ended;
}

void ModellApplication::runSubmodels(const ModelDate& date) {
  moveUnitMastersOffLoneCells();
  // (5) before the sub-steps
  runPlaces(Place::dataAssimilation, Place::waterBalanceStart, date);
  if (externalTableDue) runPlace(Place::externalGroundwaterTable, date);
  externalTableDue = false;
  runPlaces(Place::regionalSuperposition, Place::snowEvaporation, date);
  if (context.interceptionFirst != 0) {
    runPlace(Place::interception, date);
    runPlace(Place::snow, date);
  } else {
    runPlace(Place::snow, date);
    runPlace(Place::interception, date);
  }
  runPlaces(Place::waterBalanceInputs, Place::groundwaterStart, date);
  // (6) the sub-steps
  const unsigned count = substepModule ? substepModule->getSubsteps() : substeps;
  for (currentSubstep = 1; currentSubstep <= count; ++currentSubstep)
    runPlaces(Place::unsaturatedZoneSubstep, Place::specialOutputSubstep, date);
  currentSubstep = 0;
  // (7) after the sub-steps
  runPlaces(Place::glaciers, Place::waterBalance, date);
  if (snow && snow->closesGlacierYear()) unitMastersDue = true;
}

// A glacier's extent of the control file or of a warm start, and each
// annual close of dynamic glaciers, may reach the master cells of response
// units; the masters move between two steps, so that every module of a step
// copies alike. A river cell that exchanges water with its subbasin's
// channel computes on its own too: a copy would take its master's river
// water, which its own channel never gave, or none from a channel that
// offers it.
void ModellApplication::moveUnitMastersOffLoneCells() {
  if (!unitMastersDue) return;
  unitMastersDue = false;
  // Static glaciers may lie beside dynamic ones.
  std::vector<Grid> lone;
  auto add = [&](const char* name) {
    const int index = defaults->findGrid(name, 1);
    if (index > 0 && registry[static_cast<std::size_t>(index)].grid)
      lone.push_back(registry[static_cast<std::size_t>(index)].grid);
  };
  for (const char* name : {"GlacierizedCells", "ice_firn"}) add(name);
  if (unsatZone && unsatZone->getSettings().interaction >= 1) add("river_links");
  if (context.hruFlag == 0 || lone.empty()) return;
  stage = "moving the response units' masters off the glaciers and river cells";
  const OwnCells cells = processCells();
  auto grid = [&](const char* name) {
    return registry[static_cast<std::size_t>(defaults->requireGrid(name))].grid;
  };
  if (moveMastersOffLoneCells(cells, grid("HydrologicResponseUnits"),
                              grid("MasterHydrologicResponseUnits"), lone, hruMasterCells, *diag))
    ++hruMasterMoves;
}

OwnCells ModellApplication::processCells() const {
  OwnCells cells;
  cells.firstRow = std::max(1L, context.header.firstRow);
  cells.lastRow = std::min(context.header.nrows, context.header.lastRow);
  cells.ncols = context.header.ncols;
  cells.nodata = context.header.nodata;
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  cells.rank = rank;
  cells.ranges = context.rowColumnRange;
  cells.zone = registry[1].grid;
  cells.regions = registry[static_cast<std::size_t>(defaults->requireGrid("MPIRegions"))].grid;
  return cells;
}

void ModellApplication::runPlaces(Place first, Place last, const ModelDate& date) {
  for (int p = static_cast<int>(first); p <= static_cast<int>(last); ++p)
    runPlace(static_cast<Place>(p), date);
}

void ModellApplication::interpolate(const ModelDate& date) {
  for (meteointerpol* m : interpolators) m->interpolate(date);
  if (precipitationCorrection) precipitationCorrection->correct();
}

void ModellApplication::writeStepOutputs(const ModelDate& date) {
  if (options.routingOnly) return;
  defaults->writeStandardGrids(DATE_ARGS(date));
  defaults->writeVariableGrids(DATE_ARGS(date));
  defaults->resetStandardGridStatistics();
  defaults->addStandardGridStatistics();
  defaults->storeStandardGridStatistics(DATE_ARGS(date));
}

ModelDate ModellApplication::nextStepDate() const {
  if (!options.routingOnly) return interpolators.front()->getNextDate();
  ModelDate date;
  channelRouting->getRoutingModeDate(date.minute, date.hour, date.day, date.month, date.year);
  return date;
}

bool ModellApplication::periodEnded() {
  if (options.routingOnly) {
    const bool ended = channelRouting->isRoutingModeEnd();
    if (!ended) channelRouting->nextRoutingRecord();
    return ended;
  }
  return std::all_of(interpolators.begin(), interpolators.end(),
                     [](const meteointerpol* m) { return m->isAtEnd(); });
}

// The modules keep their states; only the dates start again.
void ModellApplication::rewindPeriod() {
  for (meteointerpol* m : interpolators) m->rewind();
}

// One line in every output interval, at its first step.
void ModellApplication::logModelTime(const ModelDate& date) {
  if (context.outputInterval == 0) return;
  const long length = static_cast<long>(context.outputInterval) * 60;
  const long minutes = absoluteMinutes(date);
  const long interval = minutes >= 0 ? minutes / length : -((-minutes + length - 1) / length);
  if (modelTimeLogged && interval == lastModelTimeInterval) return;
  modelTimeLogged = true;
  lastModelTimeInterval = interval;
  *diag << "DEBUG: ModellApplication: model time " << formatDate(date) << "[end-entry]";
}
