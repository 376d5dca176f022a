#pragma once

// How a module plugs in
// ---------------------
// Every sub-model derives from teilmodellklasse and is named after its
// control-file section, e.g. "snow_model" for "[snow_model]". A module's
// folder builds on this one (submodel/) and on core/ and config/; it never
// includes driver/ or another module's folder: modules meet through the grid
// registry and the setters the driver calls (driver/modell_application.h).
//
// Construction. The module constructor takes the model context first and an
// error code out-parameter second:
//
//   snowmodel::snowmodel(const ModelContext& context, int& errorCode, ...)
//       : teilmodellklasse(context, "snow_model") {
//     errorCode = catchModuleFailure([&] {
//       HORVA_ANNOUNCE_MODULE(*diag);
//       if (getFlowControl() == 0) return; // off: the control file is closed
//       readControlValue(controlFile, "%d", method, "snow method");
//       ...                                // the module's own lines
//       closeControlFile();
//       ...                                // register its grids
//     });
//   }
//
// The base constructor throws its exit codes (28 control file not opened,
// 17 a value line missing, 63 time step shorter than min_to_int_end, 11
// control file not closed). It reads "flow control parameter for " and
// "time interval for " from the module's section and leaves the control file
// open behind them only when the flow control is not 0. A missing section
// switches the module off with an INFO line; in routing-only mode a module
// is off unless it passes runsInRoutingOnlyMode. The module's own part never
// throws: catchModuleFailure turns an int into its code and anything else
// into 103. Since C++ cannot keep an exception of the base constructor from
// leaving the derived one, the driver builds every module with
// constructSubmodel, which catches the base's codes as well, never throws,
// and returns null on failure; the driver then throws the code on.
//
// What the driver calls, in this order:
//   1. constructSubmodel<Module>(errorCode, context, ...), then the wiring
//      setters of the module, setOutputInterval, setWriteStorageFlag;
//   2. initTracers(errorCode, tracer count, tracer table, statistics table,
//      table size) for modules that carry tracers (the overrides of
//      irrigation, silting-up and surface routing call the base first; the
//      unsaturated zone, groundwater and channel routing replace it);
//   3. every time step: the module's step operations with the date (each
//      calls reportModelTime first), the sub-steps getSubsteps() times, the
//      closing operations;
//   4. the module's flush on Ctrl-C answer 3 and at shut-down;
//   5. freeTracers (overrides call the base last), the module's teardown
//      (releaseModule, which calls modelobject::releaseModule last), delete.
// SIGFPE sets the module's floatingPointError flag (see reportFPE).

#include <mpi.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/tracer_ini_class.h"
#include "core/modelobject.h"
#include "core/statistic_table.h"
#include "core/zonal_statistic.h"
#include "submodel/floating_point_error_flag.h"
#include "submodel/model_context.h"
#include "submodel/own_cells.h"
#include "submodel/response_unit_copies.h"

// The zones of a sub-model: the codes of "zonegrid_soilmodel" (of the zone
// grid when that grid is absent), numbered 1 .. zoneCount in ascending order.
struct SubmodelZones {
  Grid grid = nullptr; // this process's rows of the ranked grid
  int gridIndex = 0;   // its registry entry
  // Records 0 .. zoneCount: weightSum and effectiveWeight the summed cell
  // weights of the zone, valueSum its cell count, code, areaFraction its share
  // of the weighted area. Record 0 is {0, 0, 1, 1, 0}.
  std::vector<ZoneRecord> records;
  std::vector<int> indexOfCode; // zone index of codes 0 .. maxCode, 0 for absent codes
  int zoneCount = 0;
  int maxCode = 0;

  // The zone index of a cell value, 0 for nodata and codes without a zone.
  int indexOf(double value) const {
    if (!(value > -1.0) || value >= maxCode + 1.0) return 0;
    return indexOfCode[static_cast<size_t>(value)];
  }
};

// One tracer as a module carries it: its own copy of the record, whose
// decayFactor is the factor per step of this module, its zone statistic of
// the concentration and its two grids.
struct SubmodelTracer {
  TracerRecord record;
  std::vector<ZoneRecord> zoneRecords; // 0 .. zone count, area fractions of the module's zones
  ZoneRecord* zoneData = nullptr;      // zoneRecords.data(); the statistic reads through it
  std::unique_ptr<zonalstatistic> statistic;
  std::string statisticFile;
  std::string gridFile;
  std::string fluxFile;
  Grid concstor = nullptr; // "concstor_tracer_%d_%s": concentration in storage
  Grid concflux = nullptr; // "concflux_tracer_%d_%s": concentration of the flux
  int concstorIndex = 0;
  int concfluxIndex = 0;
  long firstRow = 1; // rows of both grids
  long lastRow = 0;
};

// The sub-model base: the module's switch and time step from its section,
// its date, zones and tracers, and the solar geometry the modules share.
class teilmodellklasse : public modelobject {
public:
  // Throws its exit codes; see "How a module plugs in" above.
  teilmodellklasse(const ModelContext& context, const std::string& name,
                   bool runsInRoutingOnlyMode = false);
  // Unregisters and frees what freeTracers has not released, without
  // writing; the registry must still exist.
  ~teilmodellklasse() override;
  teilmodellklasse(const teilmodellklasse&) = delete;
  teilmodellklasse& operator=(const teilmodellklasse&) = delete;

  // 0: the module is off; other values select a mode.
  virtual int getFlowControl() const { return flowControl; }
  // The time step in minutes, truncated.
  virtual long getTimeStepMinutes() const { return static_cast<long>(timeStepMinutes); }
  // The time step in minutes as "time interval for " gives it.
  double getTimeStepAsRead() const { return timeStepMinutes; }
  virtual unsigned getSubsteps() const { return substeps; }
  virtual void setSubsteps(unsigned count) { substeps = count; }

  // Stores the date as the module's current date. When the module is on and
  // the call is not inside an OpenMP parallel region, writes "DEBUG: " +
  // (label or the module name) + ": model time " + date + extra text at the
  // first call in every output interval (hours, counted on the calendar).
  virtual void reportModelTime(long minute, long hour, long day, long month, long year,
                               const char* label = nullptr, const char* extra = nullptr);
  // After a SIGFPE (flag 1) logs the values once and sets the flag to 2;
  // otherwise sets it to 0. Inside a parallel region it does nothing, so the
  // report waits for the next call outside.
  virtual void reportFPE(int i1, int i2, int i3, int i4, double a1, double a2, double a3, double a4,
                         double a5);

  // Ranks the codes of "zonegrid_soilmodel" (the zone grid when absent) on
  // rank 0, weighted by "RelCellArea", and hands the table to every process.
  // Codes outside 0 .. 32767 end the run with code 3, more than 16000 zones
  // with code 4. Collective.
  virtual void rankZones(SubmodelZones& table);
  // The area of the ranked zones in km^2: their summed cell weights
  // ("RelCellArea") times the area of a cell.
  double zonesArea(const SubmodelZones& table) const;
  // Minutes since 1970-01-01 00:00 of a date of the Gregorian calendar.
  static long calendarMinutes(const ModelDate& date);

  // Sets up one SubmodelTracer per tracer 1 .. tracerCount of the table: the
  // decay factor per step of this module (also written into the shared
  // record), the zone statistic "tracer concentration for tracer %d (%s) "
  // and the grids "concstor_tracer_%d_%s" and "concflux_tracer_%d_%s".
  // errorCode is 0, the exit code, or 103 for any other failure, the same on
  // every process. Ranks the module's zones first when that was not done.
  // Collective.
  virtual void initTracers(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                           StatisticTableEntry* statisticTable, long tableSize);
  // Writes what the tracer statistics hold, unregisters and frees the
  // tracer grids and records. Collective when a statistic writes.
  virtual void freeTracers();

  // The registry index of the glacier grid, the same for every module (0:
  // none): "GlacierizedCells" where the snow model runs dynamic glaciers,
  // which register "GlacierMassBalance"; otherwise "ice_firn", and
  // "GlacierizedCells" only without it.
  int findGlacierGrid();
  // The registry index of the land-use grid the control file names (0:
  // none): "landuse" beside a multilayer table, which builds the layers from
  // it, else "landuse1", the only layer.
  int findLanduseCodeGrid();

  // (c1 V1 + c2 V2) / (V1 + V2); 0 when the volumes sum to 0.
  static double mixConcentration(double c1, double c2, double v1, double v2);
  // c V / (V - E): the concentration left when E of V evaporates; 0 when
  // everything evaporates.
  static double enrichConcentration(double c, double v, double e);

  // --- solar geometry (submodel/solar_geometry.cpp) ------------------------------
  // Latitude and longitude in degrees, angles out in radians, hours on the
  // clock of the model's data; the context's hour shift turns them into
  // local time, the reference meridian and the equation of time into solar
  // time.
  // Sun azimuth clockwise from north in [0, 2 pi) and elevation, negative
  // below the horizon, at the given hour of the day.
  void sunPosition(long day, long month, double& azimuth, double& elevation, double latitude,
                   double longitude, double hour) const;
  // Sunrise and sunset in local clock hours (data hour + hour shift); they
  // may lie outside [0, 24). Without a sunrise (polar night) both are solar
  // noon, without a sunset (midnight sun) they lie 24 hours apart.
  void sunriseSunset(long day, long month, double& sunrise, double& sunset, double latitude,
                     double longitude) const;
  // The cosine of the angle between the sun and the normal of a slope.
  static double cosZenith(double aspect, double slope, double azimuth, double zenith);
  // fday, fnight, night and daylightStart of the current step: the window of
  // the module's time step that ends at the current date + min_to_int_end,
  // in local time, against the day's sunrise and sunset at the context's
  // latitude and longitude.
  void daylightInStep();

  // For SIGFPE handlers: sets the flag of every module; async-signal-safe.
  static void raiseFloatingPointErrors() noexcept { FloatingPointErrorFlag::raiseAll(); }

  const SubmodelZones& getZones() const { return zones; }
  const std::vector<std::unique_ptr<SubmodelTracer>>& getTracers() const { return tracers; }

protected:
  // For the overrides of initTracers: in a module that runs, the base's
  // tracers, then wire(), which finds the grids the module's tracers take
  // from others; errorCode holds the first failure's code.
  template <typename Wire>
  void initTracersThen(int& errorCode, int tracerCount, std::vector<TracerRecord>& table,
                       StatisticTableEntry* statisticTable, long tableSize, Wire&& wire) {
    errorCode = 0;
    if (flowControl == 0) return;
    teilmodellklasse::initTracers(errorCode, tracerCount, table, statisticTable, tableSize);
    if (errorCode == 0) errorCode = catchModuleFailure(std::forward<Wire>(wire));
  }
  // A warm start: each tracer's store as a former run left it in the
  // tracer's grid file (in the directory of the initial states), in the
  // cells where the store holds a value. Collective.
  void readTracerStores();
  // The same for the concentrations of the module's outflow, which a module
  // that runs before it in the step takes from the step before; a missing
  // file leaves them at 0 with a WARNING.
  void readTracerFluxes();
  // A statistic of the module's zones that sums into *records, in the file
  // (a relative name gets the output directory in front), over the zones of
  // "[output_list]" for the listed modes, with its header
  // "<module>_submodel:<title>"; throws the statistic's failure code.
  std::unique_ptr<zonalstatistic> createZoneStatistic(ZoneRecord** records, int code, int decimals,
                                                      std::string& file, const std::string& title);
  // The zone statistic of tracer k's concentration over the zone records that
  // t holds, in the file "<path><name:3><module:5>.<statext:3>", with its
  // header; throws the statistic's failure code.
  void createTracerStatistic(int k, SubmodelTracer& t, Grid weights, int weightRows,
                             int weightColumns, StatisticTableEntry* statisticTable,
                             long tableSize);
  // Closes the control file; a failure logs "FATAL: error closing " and
  // ends the run with code 11.
  void closeControlFile();
  // --- ranges of values (submodel/value_ranges.cpp; refuseControlValue of
  // modelobject names a value outside its range) ------------------------------
  // Ends the run with 17: the key of a "key = value" line of the section
  // stands there, but its value is not a number; hint says how to write it.
  [[noreturn]] void refuseNotANumber(const std::string& section, const std::string& key,
                                     std::string line, const std::string& hint) const;
  // Collective: when valid(value) is false at an own cell of the grid, every
  // process ends the run with code; the FATAL entry names the grid (and the
  // file from, which it was read from during the run), the row, the column
  // and the value of the first such cell in row order, and the rule it
  // breaks.
  template <typename Valid>
  void checkGridValues(const OwnCells& cells, Grid grid, const std::string& name, Valid valid,
                       const std::string& rule, int code, const std::string& from = "") {
    long first = firstCellKeyNone;
#pragma omp parallel for schedule(runtime) reduction(min : first)
    for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
      const long last = cells.lastColumn(r);
      for (long c = cells.firstColumn(r); c <= last; ++c)
        if (cells.owns(r, c) && !valid(grid[r][c])) {
          first = std::min(first, r * (header.ncols + 1) + c);
          break;
        }
    }
    refuseGridValue(grid, name, first, rule, code, from);
  }
  // The cells this process computes; with masterCellsOnly, while response
  // units are in use, only their master cells. A missing "MPIRegions" (or
  // master grid) ends the run with code 33.
  OwnCells ownCells(bool masterCellsOnly = false);
  // Collective: the copies of the response units among cells, built anew
  // whenever the masters move.
  void buildUnitCopies(ResponseUnitCopies& copies, const OwnCells& cells, int unknownUnitCode);
  // The rows the module's grids hold on every process: the own rows with a
  // halo row on either side. Output gathers into a buffer of its own, so
  // rank 0 holds a grid whole only where a computation needs it whole.
  long firstHeldRow() const;
  long lastHeldRow() const;
  const ModelContext& context;
  int flowControl = 0;
  double timeStepMinutes = 0.0; // "time interval for "
  long timeStep = 0;            // the same, truncated
  double stepsPerDay = 0.0;     // 1440 / timeStepMinutes
  unsigned substeps = 1;
  bool routingOnly = false;

  // Solar geometry of the current step, set by daylightInStep.
  double fday = 0.0;
  double fnight = 0.0;
  int night = 0;              // 1 when more than 95 % of the step is night
  double daylightStart = 0.0; // hours from the start of the step to its first daylight

  SubmodelZones zones;
  std::vector<std::unique_ptr<SubmodelTracer>> tracers;
  // False where a module's store is only the scratch of its step, never
  // written: its file is another grid's output.
  bool tracerStoreIsOutput = true;
  FloatingPointErrorFlag floatingPointError;

private:
  // The key row * (ncols + 1) + column of no cell.
  static constexpr long firstCellKeyNone = std::numeric_limits<long>::max();
  // Logs the cell of the key (none: firstCellKeyNone) and shares the code.
  void refuseGridValue(Grid grid, const std::string& name, long key, const std::string& rule,
                       int code, const std::string& from);
  void readSection(const std::string& name);
  void checkTimeStep();
  bool modelTimeLineDue(const ModelDate& date);
  long lastModelTimeInterval = 0;
  bool modelTimeWritten = false;

  // submodel/submodel_tracers.cpp
  void scanZoneCodes(SubmodelZones& table);
  void shareZones(SubmodelZones& table);
  // The grid of a former run into target's cells inside the domain.
  void readTracerGrid(const SubmodelTracer& t, const std::string& file, Grid target);
  void setUpTracer(int k, const TracerRecord& shared, StatisticTableEntry* statisticTable,
                   long tableSize);
  int registerTracerGrid(const std::string& file, Grid grid, const std::string& name, long code,
                         long firstRow, long lastRow);
  // Unregisters and frees the grids of every tracer without writing.
  void dropTracers();

  // submodel/solar_geometry.cpp
  long dayOfYear(long day, long month) const;
};

// Builds a sub-model as Module(context, errorCode, args...) and hands back
// any failure of its construction as errorCode: the code of the base
// constructor or of the module's own part, 103 for any other exception.
// Never throws; returns null when errorCode is not 0.
template <typename Module, typename... Args>
std::unique_ptr<Module> constructSubmodel(int& errorCode, const ModelContext& context,
                                          Args&&... args) {
  std::unique_ptr<Module> module;
  int moduleCode = 0;
  try {
    module = std::make_unique<Module>(context, moduleCode, std::forward<Args>(args)...);
    errorCode = moduleCode;
  } catch (int code) {
    errorCode = code;
  } catch (...) {
    errorCode = 103;
  }
  if (errorCode != 0) module.reset();
  return module;
}

// MPI user reduction over records of five doubles, for the flow-time
// distribution of the unsaturated zone: fields 0 and 4 are summed, field 1
// becomes 0, fields 2 and 3 keep the inout values. Works with any datatype
// whose size is a whole number of records. MPI does not call an operator on
// a single process, so there field 1 keeps its value.
void sumFlowTimeRecords(void* in, void* inout, int* length, MPI_Datatype* type);
