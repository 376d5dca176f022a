#include "submodel/teilmodellklasse.h"

#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/civil_calendar.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"

teilmodellklasse::teilmodellklasse(const ModelContext& contextArg, const std::string& name,
                                   bool runsInRoutingOnlyMode)
    : modelobject(contextArg.diag, contextArg.controlFileName, 0, contextArg.writeAsciiGrids,
                  contextArg.writeDoubleGrids, contextArg.writeNetCDFGrids,
                  contextArg.inputDirectory, contextArg.outputDirectory, contextArg.cellsPerProcess,
                  contextArg.haloSendList, contextArg.haloReceiveList, contextArg.hruFlag,
                  contextArg.hruMasterCells ? static_cast<long>(contextArg.hruMasterCells->size())
                                            : 0L),
      context(contextArg), routingOnly(contextArg.routingOnly) {
  moduleName = name;
  *diag << "DEBUG: initializing module " << name << "[end-entry]";
  HORVA_ANNOUNCE_MODULE(*diag);
  floatingPointError.watch(*diag, name);

  header = context.header;
  registry = context.registry;
  rowColumnRange = context.rowColumnRange;
  startDate = context.startDate;
  currentDate = context.startDate;
  setEndDate(context.endDate.year, context.endDate.month, context.endDate.day, context.endDate.hour,
             context.endDate.minute);
  minToIntEndHours = context.minToIntEndHours();
  outputInterval = context.outputInterval;
  std::memcpy(monthDays, context.monthDays, sizeof monthDays);
  findCellWeights();

  if (routingOnly && !runsInRoutingOnlyMode) {
    *diag << "INFO: module " << name << " is off in routing-only mode"
          << "[end-entry]";
    return;
  }
  readSection(name);
}

teilmodellklasse::~teilmodellklasse() { dropTracers(); }

// The section header, the switch and the time step; the file stays open
// behind them only for an active module, which reads its own lines next.
void teilmodellklasse::readSection(const std::string& name) {
  controlFile = openControlFile(controlFileName);
  if (!controlFile) {
    *diag << "FATAL: error opening " << controlFileName << " (" << std::strerror(errno) << ")"
          << "[end-entry]";
    throw 28;
  }
  sectionHeader = "[" + name + "]";
  if (seekSection(sectionHeader, false) == 0) {
    *diag << "INFO: no section " << sectionHeader << " in " << userControlFile(controlFileName)
          << ": module " << name << " is switched off"
          << "[end-entry]";
    flowControl = 0;
    closeControlFile();
    return;
  }
  readControlValue(controlFile, "%d", flowControl, "flow control parameter for " + name);
  // Modules test their switch for 0 or for above 0: a negative one would be
  // off in one and on in another.
  if (flowControl < 0)
    refuseControlValue(sectionHeader, "flow control parameter for " + name, flowControl,
                       "must be 0 (off) or 1 or more (on)", 17);
  readControlValue(controlFile, "%lf", timeStepMinutes, "time interval for " + name);
  timeStep = static_cast<long>(timeStepMinutes);
  stepsPerDay = timeStepMinutes > 0.0 ? 1440.0 / timeStepMinutes : 0.0;
  if (flowControl == 0) {
    closeControlFile();
    return;
  }
  checkTimeStep();
}

// A step that ends before the data hour it belongs to cannot be placed; a
// step of no length is no step. Only an active module's step counts.
void teilmodellklasse::checkTimeStep() {
  if (!(timeStepMinutes > 0.0)) {
    *diag << "FATAL: \n-------- error --------\n\nthe time step " << timeStepMinutes << " of "
          << moduleName << " must be greater than 0 (\"time interval for " << moduleName << "\" in "
          << sectionHeader << " of " << userControlFile(controlFileName) << ")\n"
          << "[end-entry]";
    throw 63;
  }
  if (timeStepMinutes < context.minToIntEnd) {
    *diag << "FATAL: \n-------- error --------\n\nthe time step " << timeStepMinutes << " of "
          << moduleName << " is shorter than min_to_int_end (" << context.minToIntEnd
          << " minutes) of [output_interval]\n"
          << "[end-entry]";
    throw 63;
  }
}

void teilmodellklasse::closeControlFile() {
  if (!controlFile) return;
  FILE* file = controlFile;
  controlFile = nullptr; // fclose releases the stream even when it fails
  if (std::fclose(file) != 0) {
    *diag << "FATAL: error closing " << controlFileName << " (" << std::strerror(errno) << ")"
          << "[end-entry]";
    throw 11;
  }
}

OwnCells teilmodellklasse::ownCells(bool masterCellsOnly) {
  OwnCells cells;
  cells.firstRow = std::max(1L, header.firstRow);
  cells.lastRow = std::min(header.nrows, header.lastRow);
  cells.ncols = header.ncols;
  cells.nodata = header.nodata;
  cells.rank = mpiRank;
  cells.ranges = rowColumnRange;
  cells.zone = registry[1].grid;
  cells.regions = registry[requireGrid("MPIRegions")].grid;
  if (masterCellsOnly && context.hruFlag != 0)
    cells.masters = registry[requireGrid("MasterHydrologicResponseUnits")].grid;
  return cells;
}

void teilmodellklasse::buildUnitCopies(ResponseUnitCopies& copies, const OwnCells& cells,
                                       int unknownUnitCode) {
  static const std::vector<HRUMasterCell> none;
  const int masters = findGrid("MasterHydrologicResponseUnits", 1);
  copies.build(cells, registry[requireGrid("HydrologicResponseUnits")].grid,
               context.hruMasterCells ? *context.hruMasterCells : none, *diag, unknownUnitCode,
               masters > 0 ? registry[masters].grid : nullptr, context.hruMasterMoves);
}

long teilmodellklasse::firstHeldRow() const { return std::max(1L, header.firstRow - 1); }

long teilmodellklasse::lastHeldRow() const { return std::min(header.nrows, header.lastRow + 1); }

void teilmodellklasse::reportModelTime(long minute, long hour, long day, long month, long year,
                                       const char* label, const char* extra) {
  currentDate = ModelDate{minute, hour, day, month, year};
  if (flowControl == 0 || omp_in_parallel() || !modelTimeLineDue(currentDate)) return;
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%04ld-%02ld-%02ld %02ld:%02ld", year, month, day, hour,
                minute);
  *diag << "DEBUG: " << (label ? label : moduleName.c_str()) << ": model time " << stamp
        << (extra ? extra : "") << "[end-entry]";
}

long teilmodellklasse::calendarMinutes(const ModelDate& date) {
  return daysFromCivil(date.year, date.month, date.day) * 1440 + date.hour * 60 + date.minute;
}

// One line in every interval of outputInterval hours on the calendar, at the
// first call that falls into it, whatever the step and its alignment.
bool teilmodellklasse::modelTimeLineDue(const ModelDate& date) {
  if (outputInterval == 0) return false;
  const long minutes = calendarMinutes(date);
  const long length = static_cast<long>(outputInterval) * 60;
  const long interval = minutes >= 0 ? minutes / length : -((-minutes + length - 1) / length);
  if (modelTimeWritten && interval == lastModelTimeInterval) return false;
  modelTimeWritten = true;
  lastModelTimeInterval = interval;
  return true;
}

void teilmodellklasse::reportFPE(int i1, int i2, int i3, int i4, double a1, double a2, double a3,
                                 double a4, double a5) {
  if (omp_in_parallel()) return;
  if (floatingPointError.get() != 1) {
    floatingPointError.set(0);
    return;
  }
  *diag << "INFO: fpe in i1: " << i1 << ", i2: " << i2 << ", i3: " << i3 << ", i4: " << i4
        << "\na1: " << a1 << " a2: " << a2 << " a3: " << a3 << " a4: " << a4 << " a5: " << a5
        << "[end-entry]";
  floatingPointError.set(2);
}

int teilmodellklasse::findGlacierGrid() {
  const int cells = findGrid("GlacierizedCells", 1);
  if (cells > 0 && findGrid("GlacierMassBalance", 1) > 0) return cells;
  const int iceFirn = findGrid("ice_firn", 1);
  return iceFirn > 0 ? iceFirn : cells;
}

int teilmodellklasse::findLanduseCodeGrid() {
  const int multilayer = findGrid("landuse", 1);
  return multilayer > 0 ? multilayer : findGrid("landuse1", 1);
}

double teilmodellklasse::mixConcentration(double c1, double c2, double v1, double v2) {
  const double volume = v1 + v2;
  return volume == 0.0 ? 0.0 : (v1 * c1 + v2 * c2) / volume;
}

double teilmodellklasse::enrichConcentration(double c, double v, double e) {
  return v == e ? 0.0 : c * v / (v - e);
}

void sumFlowTimeRecords(void* in, void* inout, int* length, MPI_Datatype* type) {
  int typeBytes = 0;
  MPI_Type_size(*type, &typeBytes);
  const long records = static_cast<long>(*length) * typeBytes / (5 * sizeof(double));
  const double* from = static_cast<const double*>(in);
  double* to = static_cast<double*>(inout);
  for (long i = 0; i < records; ++i, from += 5, to += 5) {
    to[0] += from[0];
    to[1] = 0.0;
    to[4] += from[4];
  }
}
