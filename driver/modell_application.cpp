#include "driver/modell_application.h"

#include <chrono>
#include <cstdlib>

#include "config/defaultini.h"
#include "config/tracer_ini_class.h"
#include "core/ctrl_c.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/statistic_lines.h"
#include "driver/data_assimilation.h"
#include "driver/special_output.h"
#include "meteo/meteo_dates.h"
#include "meteo/meteoint.h"
#include "meteo/precipitation_correction.h"
#include "meteo/regional_superposition.h"

ModellApplication::ModellApplication(DiagStream* diagArg, const std::string& controlFile,
                                     const CommandLine& commandLine)
    : diag(diagArg), controlFileName(controlFile), options(commandLine),
      places(static_cast<size_t>(Place::count)) {}

// Without a ClearMemory (a failed run) the modules go without writing, and
// before the registry they refer to.
ModellApplication::~ModellApplication() {
  while (!modules.empty()) modules.pop_back();
  tracerSetup.reset();
  defaults.reset();
}

void ModellApplication::plug(Place place, PlacedCall call) {
  places[static_cast<size_t>(place)].push_back(std::move(call));
}

void ModellApplication::runPlace(Place place, const ModelDate& date) {
  const std::vector<PlacedCall>& calls = places[static_cast<size_t>(place)];
  if (placeSeconds.empty()) {
    for (const PlacedCall& call : calls) call(date);
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  for (const PlacedCall& call : calls) call(date);
  placeSeconds[static_cast<size_t>(place)] +=
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ModellApplication::timePlaces() {
  placeSeconds.assign(static_cast<size_t>(Place::count), 0.0);
}

std::vector<std::pair<std::string, double>> ModellApplication::placeTimes() const {
  std::vector<std::pair<std::string, double>> times;
  for (size_t p = 0; p < placeSeconds.size(); ++p)
    if (!places[p].empty()) times.emplace_back(placeName(static_cast<Place>(p)), placeSeconds[p]);
  return times;
}

const char* ModellApplication::placeName(Place place) {
  static const char* const names[] = {"dataAssimilation",
                                      "waterBalanceStart",
                                      "regionalSuperposition",
                                      "interpolatedGridOutput",
                                      "radiationCorrection",
                                      "potentialEvapotranspiration",
                                      "irrigation",
                                      "snowEvaporation",
                                      "snow",
                                      "interception",
                                      "waterBalanceInputs",
                                      "siltingUp",
                                      "groundwaterHeads",
                                      "surfaceRoutingStart",
                                      "evapotranspirationStart",
                                      "groundwaterStart",
                                      "unsaturatedZoneSubstep",
                                      "surfaceRoutingSubstep",
                                      "evapotranspirationSubstep",
                                      "groundwaterSubstep",
                                      "specialOutputSubstep",
                                      "glaciers",
                                      "unsaturatedZoneEnd",
                                      "surfaceRoutingEnd",
                                      "evapotranspirationEnd",
                                      "groundwaterEnd",
                                      "channelRouting",
                                      "waterBalance",
                                      "specialOutput",
                                      "externalGroundwaterTable",
                                      "preSpinUpStep",
                                      "preSpinUpEnd",
                                      "flush",
                                      "tracerRelease",
                                      "channelRoutingTeardown",
                                      "waterBalanceTeardown",
                                      "unsaturatedZoneTeardown",
                                      "surfaceRoutingTeardown",
                                      "siltingUpTeardown",
                                      "interceptionTeardown",
                                      "irrigationTeardown",
                                      "snowTeardown",
                                      "evapotranspirationTeardown",
                                      "radiationCorrectionTeardown",
                                      "groundwaterTeardown",
                                      "stateCheck"};
  static_assert(sizeof names / sizeof names[0] == static_cast<size_t>(Place::count),
                "a name for every place");
  return names[static_cast<size_t>(place)];
}

void ModellApplication::caught(int code, const char* operation) {
  *diag << "FATAL: exception " << code << " caught in ModellApplication::" << operation << " ("
        << stage << ")"
        << "[end-entry]";
  throw code;
}

void ModellApplication::ClearMemory() {
  try {
    stage = "flushing the buffers";
    if (initialised) {
      flushBuffers();
      stage = "writing the open lines of the statistics";
      writeStatisticLines();
    } else {
      // An incomplete run leaves no state file behind.
      for (const std::unique_ptr<modelobject>& m : modules) m->setWriteStorageFlag(0);
    }
    stage = "releasing the tracers";
    runPlace(Place::tracerRelease, lastStepDate);
    stage = "the teardown of the modules";
    for (int p = static_cast<int>(Place::channelRoutingTeardown);
         p <= static_cast<int>(Place::groundwaterTeardown); ++p)
      runPlace(static_cast<Place>(p), lastStepDate);
    if (dataAssimilation) dataAssimilation->releaseModule();
    if (specialOutput) specialOutput->releaseModule();
    if (regionalSuperposition) regionalSuperposition->releaseModule();
    if (precipitationCorrection) precipitationCorrection->releaseModule();
    for (meteointerpol* m : interpolators) m->releaseModule();
    if (tracerSetup) tracerSetup->FreeMemory();
    tracerSetup.reset();
    interpolators.clear();
    dataAssimilation = nullptr;
    specialOutput = nullptr;
    regionalSuperposition = nullptr;
    precipitationCorrection = nullptr;
    while (!modules.empty()) modules.pop_back();
    stage = "the teardown of the control-file reader";
    if (defaults) defaults->FreeMemory();
    defaults.reset();
  } catch (int code) {
    caught(code, "ClearMemory");
  }
}

// Before the teardown releases the statistics.
void ModellApplication::writeStatisticLines() {
  if (!StatisticLines::anyOnAnyProcess(*diag)) return;
  std::string path = statisticLinesFile;
  modelobject::prependDirectory(context.outputDirectory, path);
  StatisticLines::write(*diag, path);
}

// --- Ctrl-C and the commands of the external program -------------------------

RunAnswer ModellApplication::handleCtrlC() {
  const int state = agreeOnMaximum(*diag, endSignal != 0 ? 2 : ctrlCState);
  if (state == 0) return RunAnswer::goOn;
  if (state == 2) return RunAnswer::terminated;
  const int rank = diag->getRank();
  const RunAnswer asked = askCtrlCMenu(*diag, menuInput, rank);
  const auto answer = static_cast<RunAnswer>(agreeOnMaximum(*diag, static_cast<int>(asked)));
  ctrlCState = 0;
  ArmCtrlCHandler();
  return answer;
}

void ModellApplication::obey(RunAnswer answer, const ModelDate& date) {
  switch (answer) {
  case RunAnswer::stopWithoutSaving:
    stopWithoutSaving();
  case RunAnswer::finish:
    finishAt(date);
    break;
  case RunAnswer::flushAndGoOn:
    *diag << "INFO: flushing all buffers"
          << "[end-entry]";
    flushBuffers();
    break;
  case RunAnswer::unanswered:
    endBySignal("Ctrl-C (SIGINT), which nobody can answer in the menu", date);
  case RunAnswer::terminated:
    endBySignal("SIGTERM", date);
  case RunAnswer::goOn:
    break;
  }
}

// Every process ends together, after a whole step: the files hold every
// step before this one and no half-written line.
void ModellApplication::endBySignal(const char* signal, const ModelDate& date) {
  *diag << "FATAL: the run was ended by " << signal << " before the step of " << formatDate(date)
        << "; the statistics files and tables hold every step before it, the grids and state "
           "files of the end of the run are not written. Run the period from that step again "
           "to complete it"
        << "[end-entry]";
  flushBuffers();
  throw endedBySignalCode;
}

// The step of this date becomes the last: every module ends its run there,
// writing what is due at the end of the run.
void ModellApplication::finishAt(const ModelDate& d) {
  *diag << "INFO: the run ends with the step of " << formatDate(d) << "[end-entry]";
  finishing = true;
  defaults->setEndDate(d.year, d.month, d.day, d.hour, d.minute);
  for (const std::unique_ptr<modelobject>& m : modules)
    m->setEndDate(d.year, d.month, d.day, d.hour, d.minute);
}

void ModellApplication::flushBuffers() {
  runPlace(Place::flush, lastStepDate);
  defaults->flushStandardGridStatistics();
}

// The process ends at once: no buffer is written, MPI is not finalised.
// Only the log is closed, so that the diagnostics file stays well formed.
void ModellApplication::stopWithoutSaving() {
  *diag << "INFO: run cancelled without saving buffers, exit code " << stopWithoutSavingCode
        << "[end-entry]";
  delete diag;
  diag = nullptr;
  std::fflush(nullptr);
  std::_Exit(stopWithoutSavingCode);
}
