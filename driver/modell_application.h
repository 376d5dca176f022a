#pragma once

// How a later module plugs into the driver
// ----------------------------------------
// A sub-model (a teilmodellklasse, see submodel/teilmodellklasse.h) lives in
// its own folder (vertical/, snow/, soil/, lateral/, routing/), includes only
// core/, config/ and submodel/ headers, and takes two small additions here
// and nothing anywhere else:
//
//  1. A non-owning pointer in the module list below, e.g.
//       schneemodellklasse* snow = nullptr;
//  2. One block in buildSubmodels() (driver/modell_application_build.cpp),
//     at the module's place in the fixed order of construction (the modules
//     of radiation correction to channel routing stand between
//     precicorrclass and special output):
//       snow = adopt<schneemodellklasse>("snow_model", ...);
//       snow->setRadiationCorrection(...);           // its wiring calls
//       snow->setWriteStorageFlag(1);
//       if (snow->getFlowControl() != 0) {
//         plug(Place::snow, [this](const ModelDate& d) { snow->computeSnowStep(DATE_ARGS(d)); });
//         plug(Place::glaciers, ...);
//         plug(Place::flush, [this](const ModelDate&) { snow->flushStatistics(); });
//         plug(Place::tracerRelease, [this](const ModelDate&) { snow->freeTracers(); });
//         plug(Place::snowTeardown, [this](const ModelDate&) { snow->releaseModule(); });
//       }
//     adopt() builds the module with the model context (a failed
//     construction throws its code, and init logs where), keeps it until
//     the shut-down deletes it, and gives it setOutputInterval and, on
//     Ctrl-C answer 1, setEndDate like every other module. A module that is
//     off plugs nothing and costs no call in the run. Settings for other
//     modules go into the model context (`context`) or the driver's fields
//     in the same block: context.interceptionFirst, landuseStepMinutes
//     (evapotranspiration), substepModule (the unsaturated zone, which then
//     keeps the sub-step count); a sub-step call reads currentSubstep.
//     Channel routing also is the date source of routing-only runs, in
//     checkRoutingDateSource, nextStepDate and periodEnded.
//
// The places (enum Place) are the module calls of one time step in the
// order in which runStep() makes them, then the other calls of a run and
// the shut-down; calls plugged into one place run in the order plugged. The
// driver's own work (interpolation, standard grids, coupling, Ctrl-C) is
// written out in runStep() itself.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "config/global_parameters.h"
#include "core/grid_registry.h"
#include "core/statistic_table.h"
#include "driver/command_line.h"
#include "driver/ctrl_c_menu.h"
#include "driver/day_end_watch.h"
#include "driver/state_watch.h"
#include "submodel/model_context.h"
#include "submodel/teilmodellklasse.h"

class DiagStream;
class RegionalSuperposition;
class RunFiles;
class abflussmodellklasse;
class SpecialOutputClass;
class data_assimilation;
class SP_class;
class defaultini;
class expokorrklasse;
class interzeptionsmodellklasse;
class irrigationclass;
class meteointerpol;
class precicorrclass;
class schneemodellklasse;
class siltingupclass;
class waterbalanceclass;
class surfaceroutingclass;
class tracer_ini_class;
class unsatzonmodellklasse;
class gwflowclass;
class verdunstungsmodellklasse;

// The model of one control file: builds every module, steps through the
// simulated period (repeated for spin-up), answers Ctrl-C and the external
// program, and shuts down. Every process runs the same calls.
class ModellApplication {
public:
  // Keeps the log and the settings; the work starts with init.
  ModellApplication(DiagStream* diag, const std::string& controlFileName,
                    const CommandLine& options);
  virtual ~ModellApplication();
  ModellApplication(const ModellApplication&) = delete;
  ModellApplication& operator=(const ModellApplication&) = delete;

  // Builds the registry, the control-file reader with its staged set-up and
  // every module, in their fixed order. A failure logs where it was caught
  // and throws its exit code. Collective.
  void init();
  // The time loop over the period (repeated for spin-up); returns 0. A
  // failure logs where it was caught and throws its exit code; Ctrl-C answer
  // 2 ends the process with code 98. Collective.
  int run();
  // Flushes the buffered outputs (after a complete init), releases the
  // tracers, tears every module down and deletes it. Collective.
  void ClearMemory();

  // From now on every place keeps the seconds its calls take; off (the
  // default) runPlace costs one test more.
  void timePlaces();
  // The seconds of every place with calls plugged, in the order of the
  // places, by the place's name; empty unless timePlaces was called.
  std::vector<std::pair<std::string, double>> placeTimes() const;

protected:
  // The calls the driver makes on the modules, in the order of a run.
  enum class Place {
    // (5) before the sub-steps; snow and interception change places when
    // interception runs first
    dataAssimilation,
    waterBalanceStart, // the storages at the start of the step
    regionalSuperposition,
    // the driver's own: the grids of the interpolators as the land takes
    // them, after the regional superposition
    interpolatedGridOutput,
    radiationCorrection,
    potentialEvapotranspiration,
    irrigation,
    snowEvaporation,
    snow,
    interception,
    waterBalanceInputs, // the water that reaches the ground, before silting-up takes from it
    siltingUp,
    groundwaterHeads, // the unsaturated zone reads the groundwater heads
    surfaceRoutingStart,
    evapotranspirationStart,
    groundwaterStart,
    // (6) every sub-step
    unsaturatedZoneSubstep,
    surfaceRoutingSubstep,
    evapotranspirationSubstep,
    groundwaterSubstep,
    specialOutputSubstep,
    // (7) after the sub-steps
    glaciers,
    unsaturatedZoneEnd,
    surfaceRoutingEnd,
    evapotranspirationEnd,
    groundwaterEnd,
    channelRouting,
    waterBalance,
    // (8) after the output of the standard grids
    specialOutput,
    // other calls of a run
    externalGroundwaterTable, // after the external program provided "GWTableExtern"
    preSpinUpStep,            // every step of the temperature pre-spin-up
    preSpinUpEnd,             // after its last step
    flush,                    // Ctrl-C answer 3 and the shut-down
    // the shut-down, in this order
    tracerRelease,
    channelRoutingTeardown,
    waterBalanceTeardown,
    unsaturatedZoneTeardown,
    surfaceRoutingTeardown, // writes the water on the land silting-up holds
    siltingUpTeardown,
    interceptionTeardown,
    irrigationTeardown,
    snowTeardown,
    evapotranspirationTeardown,
    radiationCorrectionTeardown,
    groundwaterTeardown,
    stateCheck, // values that are not finite in any registered grid, daily
    count
  };
  using PlacedCall = std::function<void(const ModelDate&)>;
  // Adds a call to a place; calls of one place run in the order added.
  void plug(Place place, PlacedCall call);
  // The enumerator's name, e.g. "channelRouting".
  static const char* placeName(Place place);

  // Builds a module as Module(context, errorCode, args...) and keeps it
  // until the shut-down; a failed construction throws its code, which init
  // logs with the module's name.
  template <typename Module, typename... Args>
  Module* adopt(const std::string& name, Args&&... args) {
    stage = "building " + name;
    stopIfInterrupted();
    int errorCode = 0;
    std::unique_ptr<Module> module =
        constructSubmodel<Module>(errorCode, context, std::forward<Args>(args)...);
    if (errorCode != 0) throw errorCode;
    Module* kept = module.get();
    modules.push_back(std::move(module));
    if constexpr (std::is_base_of_v<teilmodellklasse, Module>) refuseForeignStep(*kept);
    return kept;
  }
  // Every module steps with the meteorological data: a module whose own time
  // interval differs from the step of the variable that gives the dates
  // would scale its fluxes by the wrong length (63).
  void refuseForeignStep(const teilmodellklasse& module) const;

  // The sub-models in their fixed order, each with its wiring and its
  // places (see the top of this file).
  virtual void buildSubmodels();
  // The water balance follows the runoff of the unsaturated zone through its
  // runoff concentration and the channels to the outlet
  // (driver/channel_balance_terms.cpp).
  void addChannelBalanceTerms();

  // Where the Ctrl-C menu reads its answer on rank 0.
  void setMenuInput(std::FILE* input) { menuInput = input; }

  DiagStream* diag = nullptr;
  ModelContext context;
  std::string stage;         // what the application is doing, for the line of a failure
  GlobalParameters settings; // handed over by the control-file reader

  // Minutes of the step for which the land-use parameter grids are filled:
  // the evapotranspiration module's step when it is on.
  double landuseStepMinutes = 1440.0;
  // The module that keeps the number of sub-steps (the unsaturated zone);
  // without it the count of "[soil_surface_groundwater_substeps]" holds.
  teilmodellklasse* substepModule = nullptr;
  unsigned substeps = 1;
  // The sub-step running, 1 .. count; 0 outside the sub-steps.
  unsigned currentSubstep = 0;
  // Warns of daily outputs whose day never ends.
  DayEndWatch dayEndWatch;
  // Ends the run at the first daily check that finds a value that is not
  // finite in the model's state.
  StateWatch stateWatch;

  // Spin-up ("[SpinUp]"): the period runs repeatCnt more times when spinUp
  // is set, after a temperature pre-spin-up when doTemperaturePreSpinUp is.
  int spinUp = 0;
  int doTemperaturePreSpinUp = 0;
  int repeatCnt = 0;

  // --- the modules ----------------------------------------------------------
  // Every module the driver built, in the order built; the shut-down deletes
  // them in reverse.
  std::vector<std::unique_ptr<modelobject>> modules;
  // The meteorological interpolators, in the order of "[meteo_names]"; the
  // first gives the date of every step.
  std::vector<meteointerpol*> interpolators;
  RegionalSuperposition* regionalSuperposition = nullptr;
  precicorrclass* precipitationCorrection = nullptr;
  expokorrklasse* radiationCorrection = nullptr;
  verdunstungsmodellklasse* evapotranspiration = nullptr;
  schneemodellklasse* snow = nullptr;
  interzeptionsmodellklasse* interception = nullptr;
  siltingupclass* siltingUp = nullptr;
  unsatzonmodellklasse* unsatZone = nullptr;
  surfaceroutingclass* surfaceRouting = nullptr;
  irrigationclass* irrigation = nullptr;
  gwflowclass* groundwater = nullptr;
  abflussmodellklasse* channelRouting = nullptr;
  // Row pointers into the runoff arrays channel routing reads, one per tracer
  // index (0 the water); the arrays stay where they are for the whole run.
  std::vector<double*> runoffSourceRows;
  SpecialOutputClass* specialOutput = nullptr;
  waterbalanceclass* waterBalance = nullptr;
  data_assimilation* dataAssimilation = nullptr;
  // Channel routing's reservoirs on rank 0, which data assimilation reaches.
  std::vector<SP_class*> reservoirs;

private:
  [[noreturn]] void caught(int code, const char* operation);
  // Collective: Ctrl-C (or SIGUSR1) during the set-up, on any process, ends
  // it before the stage named in `stage` with exit code 98.
  void stopIfInterrupted();

  // --- construction (driver/modell_application_build.cpp) --------------------
  void reserveRegistry();
  void runStagedSetup();
  void createHRUs();
  void fillContext();
  void buildInterpolators();
  void checkDateSource();
  void checkRoutingDateSource();
  void buildTracerSetup();
  void finishConstruction();
  // The lines under way of the statistics of several steps: noted as an
  // output, and for a warm start read back; written at the end of the run.
  void continueStatisticLines(bool warm);
  void writeStatisticLines();

  // --- the time loop (driver/modell_application_run.cpp) ---------------------
  void runTemperaturePreSpinUp();
  void runPeriod(bool lastPass);
  // Returns true when the period ends with the step.
  bool runStep(const ModelDate& date, bool lastPass);
  void runPlace(Place place, const ModelDate& date);
  void runPlaces(Place first, Place last, const ModelDate& date);
  void runSubmodels(const ModelDate& date);
  // Before the first step (or the pre-spin-up) and after each annual close
  // of dynamic glaciers.
  void moveUnitMastersOffLoneCells();
  // The cells this process computes (no response-unit masters).
  OwnCells processCells() const;
  void interpolate(const ModelDate& date);
  void writeStepOutputs(const ModelDate& date);
  ModelDate nextStepDate() const;
  // Routing-only mode also moves to the runoff of the next step.
  bool periodEnded();
  void rewindPeriod();
  void logModelTime(const ModelDate& date);

  // --- Ctrl-C and the commands of the external program -----------------------
  // The answer to a Ctrl-C pressed on any process since the last step, goOn
  // when none was; terminated when any process received SIGTERM. Collective.
  RunAnswer handleCtrlC();
  // Acts on an answer at the date of the step about to run.
  void obey(RunAnswer answer, const ModelDate& date);
  void finishAt(const ModelDate& date);
  void flushBuffers();
  [[noreturn]] void stopWithoutSaving();
  // Writes what the buffers hold and ends the run with endedBySignalCode.
  [[noreturn]] void endBySignal(const char* signal, const ModelDate& date);

  // --- external coupling (driver/coupling_protocol.cpp) ----------------------
  // Rank 0 waits for the external program's semaphore file; every process
  // obeys its command and reads the grids the external program provides.
  bool couplingDue(const ModelDate& date) const;
  void exchangeWithExternalProgram(const ModelDate& date);
  // Accumulates the step, or ends the coupling interval with it: the grids
  // and statistics for the external program and the model's semaphore file.
  void endCouplingStep(const ModelDate& date, bool periodEnds, bool runEnds);
  std::string waitForSemaphoreFile();
  void writeModelSemaphoreFile(const std::string& command);

  std::string controlFileName;
  CommandLine options;
  std::FILE* menuInput = stdin;

  std::vector<GridRegistryEntry> registry;
  std::vector<StatisticTableEntry> statisticTable;
  std::unique_ptr<defaultini> defaults;
  std::unique_ptr<tracer_ini_class> tracerSetup;
  // Every file the run reads and every output it will write, from the start
  // of init to the end of the run.
  std::unique_ptr<RunFiles> runFiles;
  std::vector<HRUMasterCell> hruMasterCells;
  unsigned hruMasterMoves = 0;
  bool unitMastersDue = true;

  std::vector<std::vector<PlacedCall>> places;
  std::vector<double> placeSeconds; // per place while timed, else empty
  bool initialised = false;
  bool finishing = false; // Ctrl-C answer 1 or "Finish": no further period
  ModelDate lastStepDate;
  // External coupling: the date of the last exchange, once there was one.
  bool exchanged = false;
  ModelDate lastExchange;
  // The soil takes the external groundwater table once the water balance
  // has its storages, so that the water it moves enters as a term.
  bool externalTableDue = false;
  bool modelTimeLogged = false;
  long lastModelTimeInterval = 0;
};

// The five date arguments of the modules' step operations.
#define DATE_ARGS(d) (d).minute, (d).hour, (d).day, (d).month, (d).year
