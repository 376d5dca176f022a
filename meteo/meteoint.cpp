#include "meteo/meteoint.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "core/run_files.h"
#include "meteo/elevation_regression.h"
#include "meteo/inverse_distance_weighting.h"
#include "meteo/meteo_dates.h"
#include "meteo/section_lines.h"
#include "meteo/station_file.h"

namespace {

constexpr int openControlFileCode = 28;
constexpr int gifMappingCode = 49;
constexpr int stationHeaderCode = 68;
constexpr int methodCode = 70;
constexpr int gridInputMissingCode = 73;
constexpr int datesDisagreeCode = 78;
// Like a station file that misses the start of the model period.
constexpr int noFirstValuesCode = 69;

// A base name "file<variable>" reads the variable's record of each step.
bool isNetCDFBaseName(const std::string& name) {
  const std::size_t open = name.find('<');
  return open != std::string::npos && open > 0 && name.size() > open + 1 && name.back() == '>';
}

void broadcastInts(DiagStream& diag, std::vector<int>& values) {
  long count = static_cast<long>(values.size());
  checkMPI(diag, MPI_Bcast(&count, 1, MPI_LONG, 0, MPI_COMM_WORLD), "MPI_Bcast of the regions");
  values.resize(static_cast<std::size_t>(count));
  checkMPI(diag, MPI_Bcast(values.data(), static_cast<int>(count), MPI_INT, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the regions");
}

} // namespace

meteointerpol::meteointerpol(const ModelContext& context, int& errorCode,
                             const std::string& variable, int outputSwitchArg)
    : modelobject(context.diag, context.controlFileName, 0, context.writeAsciiGrids,
                  context.writeDoubleGrids, context.writeNetCDFGrids, context.inputDirectory,
                  context.outputDirectory, context.cellsPerProcess, context.haloSendList,
                  context.haloReceiveList, context.hruFlag,
                  context.hruMasterCells ? static_cast<long>(context.hruMasterCells->size()) : 0L),
      variableName(variable), outputSwitch(outputSwitchArg) {
  moduleName = "meteointerpol (" + variable + ")";
  errorCode = catchModuleFailure([&] {
    HORVA_ANNOUNCE_MODULE(*diag);
    takeContext(context);
    readSection();
    registerResultGrid();
    if (method == 1 || method == 2) prepareStations();
    if (method == 6 && isNetCDFBaseName(inputName)) prepareNetCDFRecords();
    // Grid files take the zone grid as the reference of their cells.
    if (method == 6 || method == 9) setGIFGeoreference(registry[1].grid, gifX0, gifY0, gifCellSize);
  });
  if (controlFile) {
    std::fclose(controlFile);
    controlFile = nullptr;
  }
}

meteointerpol::~meteointerpol() { freeGrid(); }

void meteointerpol::takeContext(const ModelContext& context) {
  registry = context.registry;
  header = context.header;
  rowColumnRange = context.rowColumnRange;
  startDate = context.startDate;
  const ModelDate& e = context.endDate;
  setEndDate(e.year, e.month, e.day, e.hour, e.minute);
  minToIntEndHours = context.minToIntEndHours();
  outputInterval = context.outputInterval;
  std::copy(context.monthDays, context.monthDays + 12, monthDays);
}

void meteointerpol::readSection() {
  controlFile = openControlFile(controlFileName);
  if (!controlFile) {
    *diag << "FATAL: error opening " << controlFileName << "[end-entry]";
    throw openControlFileCode;
  }
  const std::string section = "[" + variableName + "]";
  seekSection(section, true);
  SectionLines lines(*this, controlFile, controlFileName, section);
  const std::string of = " for the interpolation of " + variableName;

  lines.next("input file" + of);
  inputName = lines.word(0, "input file" + of);
  lines.next("method of interpolation" + of);
  const long m = lines.integer(0, "method of interpolation" + of);
  if (m != 1 && m != 2 && m != 6 && m != 9) {
    *diag << "FATAL: interpolation method " << m << " of " << variableName
          << " is not available (methods: 1 inverse distance weighting, 2 elevation regression, 6 "
             "grid files, 9 GIF images)"
          << "[end-entry]";
    throw methodCode;
  }
  method = static_cast<int>(m);
  if (method == 9) {
    lines.next("GIF-Mapping parameters" + of);
    if (lines.leadingNumbers() < 5) {
      *diag << "FATAL: error reading the required 5 GIF-Mapping parameters f1 "
               "(default=8.916787e-5), x1 (0.0767528404), threshold (127), f2 "
               "(default=6.00e-006), x2 (0.098) for interpolation of "
            << variableName << "[end-entry]";
      throw gifMappingCode;
    }
    gifF1 = lines.number(0, "f1");
    gifX1 = lines.number(1, "x1");
    gifThreshold = static_cast<int>(lines.number(2, "threshold"));
    gifF2 = lines.number(3, "f2");
    gifX2 = lines.number(4, "x2");
    const std::string georeference = "GIF georeference x0, y0 and cell size" + of;
    lines.next(georeference);
    gifX0 = lines.number(0, georeference);
    gifY0 = lines.number(1, georeference);
    gifCellSize = lines.number(2, georeference);
  }
  lines.next("time step in minutes" + of);
  timeStep = lines.integer(0, "time step in minutes" + of);
  const std::string limitText = "lower and upper limit" + of;
  lines.next(limitText);
  limits.lower = lines.number(0, limitText);
  limits.upper = lines.number(1, limitText);
  const std::string idwText = "IDW exponent, maximum distance and maximum number of stations" + of;
  lines.next(idwText);
  exponent = lines.number(0, idwText);
  maxDistance = lines.number(1, idwText);
  maxStations = lines.integer(2, idwText);
  const std::string regressionText = "minimum number of stations per regression region" + of;
  lines.next(regressionText);
  minStations = lines.integer(0, regressionText);
  const std::string outputText = "output grid file name and write code" + of;
  lines.next(outputText);
  outputFileName = lines.word(0, outputText);
  writeCode = lines.integer(1, outputText);

  // The IDW and regression lines are read whatever the method, and their
  // values are checked as the documentation states them, so that a method
  // changed later finds them sound. No measured variable comes near 1e6 in
  // its units; an exponent above 10 weights the nearest station alone and
  // underflows the others' weights.
  std::ostringstream invalid;
  if (timeStep < 1)
    invalid << "the time step must be at least 1 minute; it is " << timeStep;
  else if (!(limits.lower >= -1e6 && limits.lower <= 1e6))
    invalid << "the lower limit must lie within -1e6 ... 1e6; it is " << limits.lower;
  else if (!(limits.upper >= -1e6 && limits.upper <= 1e6))
    invalid << "the upper limit must lie within -1e6 ... 1e6; it is " << limits.upper;
  else if (limits.lower > limits.upper)
    invalid << "the lower limit lies above the upper limit: " << limits.lower << " above "
            << limits.upper;
  else if (!(exponent > 0.0 && exponent <= 10.0))
    invalid << "the IDW exponent must be above 0 and at most 10; it is " << exponent;
  else if (!(maxDistance > 0.0))
    invalid << "the maximum distance must be positive; it is " << maxDistance;
  else if (maxStations < 1)
    invalid << "the maximum number of stations must be at least 1; it is " << maxStations;
  else if (minStations < 1)
    invalid << "the minimum number of stations per region must be at least 1; it is "
            << minStations;
  if (!invalid.str().empty()) {
    *diag << "FATAL: error in control file, section " << section << ": " << invalid.str()
          << "[end-entry]";
    throw methodCode;
  }
}

void meteointerpol::registerResultGrid() {
  if (findGrid(variableName, 1) > 0) {
    *diag << "FATAL: " << variableName
          << " is a meteorological variable of [meteo_names] and a standard grid at once; give it "
             "either as an interpolated variable or as a standard grid"
          << "[end-entry]";
    throw methodCode;
  }
  requireGrid("[zone_grid]");
  const long nrows = header.nrows;
  firstHeldRow = std::max(1L, header.firstRow - 1);
  lastHeldRow = std::min(nrows, header.lastRow + 1);
  grid = matrix(firstHeldRow, lastHeldRow, 1, header.ncols, nrows);
#pragma omp parallel for schedule(runtime)
  for (long r = firstHeldRow; r <= lastHeldRow; ++r)
    std::fill(grid[r], grid[r] + header.ncols + 1, header.nodata);
  const int index = firstFreeRegistryIndex();
  registerGrid(index, outputFileName, grid, nullptr, 0, variableName, writeCode, firstHeldRow,
               lastHeldRow);
  gridIndex = index;
  // Every value made lies within the limits.
  std::ostringstream source;
  source << "the lower and upper limit " << limits.lower << " ... " << limits.upper << " of ["
         << variableName << "]";
  registry[index].valueRange = GridValueRange{true, limits.lower, limits.upper, source.str()};
}

void meteointerpol::prepareStations() {
  InterpolationCells cells;
  cells.firstRow = std::max(1L, header.firstRow);
  cells.lastRow = std::min(header.nrows, header.lastRow);
  cells.ncols = header.ncols;
  cells.nodata = header.nodata;
  cells.columnRanges = rowColumnRange;
  cells.zone = registry[1].grid;
  cells.coordX = registry[requireGrid("CoordX")].grid;
  cells.coordY = registry[requireGrid("CoordY")].grid;
  cells.cellSizeX = registry[requireGrid("CellSizeX")].grid;
  cells.cellSizeY = registry[requireGrid("CellSizeY")].grid;

  StationFile::Settings settings;
  settings.path = inputName;
  prependDirectory(inputDirectory, settings.path);
  settings.variable = variableName;
  settings.start = startDate;
  settings.end = endDate;
  settings.timeStep = timeStep;
  settings.needsElevation = method == 2;
  stationPath = settings.path;
  noteInputFile(settings.path, "the station file of [" + variableName + "]");
  stations = std::make_unique<StationFile>(*diag, settings);
  if (stations->stationCount() > InverseDistanceWeighting::maxStationCount) {
    *diag << "FATAL: station file " << settings.path << " (interpolation of " << variableName
          << "): " << stations->stationCount() << " stations, at most "
          << InverseDistanceWeighting::maxStationCount << " are possible"
          << "[end-entry]";
    throw stationHeaderCode;
  }
  stationValues.assign(static_cast<std::size_t>(stations->stationCount()), 0.0);
  interpolatedValues.assign(stationValues.size(), 0.0);
  if (mpiRank == 0) warnOfFarStations();
  if (method == 1) {
    InverseDistanceWeighting::Parameters p;
    p.exponent = exponent;
    p.maxDistance = maxDistance;
    p.maxStations = maxStations;
    idw = std::make_unique<InverseDistanceWeighting>(cells, stations->stationX(),
                                                     stations->stationY(), p);
  } else {
    prepareRegression(cells);
  }
}

// A station beyond the maximum distance from every cell gives the grid
// nothing: most likely its coordinates are mistyped.
void meteointerpol::warnOfFarStations() {
  const double west = header.xllcorner;
  const double east = west + static_cast<double>(header.ncols) * header.cellsize;
  const double south = header.yllcorner;
  const double north = south + static_cast<double>(header.nrows) * header.cellsize;
  for (long s = 0; s < stations->stationCount(); ++s) {
    const double x = stations->stationX()[static_cast<size_t>(s)];
    const double y = stations->stationY()[static_cast<size_t>(s)];
    const double dx = std::max({0.0, west - x, x - east});
    const double dy = std::max({0.0, south - y, y - north});
    const double distance = std::hypot(dx, dy);
    if (!(distance > maxDistance)) continue;
    *diag << "WARNING: station " << s + 1 << " of " << stationPath << " (interpolation of "
          << variableName << ") at x = " << x << ", y = " << y << " lies " << distance
          << " from the model grid, beyond the maximum distance of " << maxDistance << " of ["
          << variableName << "]: no cell can use it; check its coordinates"
          << "[end-entry]";
  }
}

void meteointerpol::prepareRegression(const InterpolationCells& cells) {
  const RegionGrids regions = findRegionGrids(*this);
  Grid elevation = registry[requireGrid("[elevation_model]")].grid;

  // Rank 0 holds every row of the region grid and decides for everyone.
  std::vector<int> codes;
  std::vector<int> stationRegion;
  const int code = mpiRank != 0 ? 0 : catchExitCode([&] {
    codes = ElevationRegression::regionCodes(registry[1].grid, regions.region[0], header.nrows,
                                             header.ncols, header.nodata);
    stationRegion =
        ElevationRegression::stationRegions(header, registry[1].grid, regions.region[0], codes,
                                            stations->stationX(), stations->stationY());
  });
  shareExitCode(*diag, code);
  broadcastInts(*diag, codes);
  broadcastInts(*diag, stationRegion);
  regression = std::make_unique<ElevationRegression>(
      cells, elevation, regions, codes, stationRegion, stations->stationZ(), minStations);
}

ModelDate meteointerpol::getNextDate() const {
  return stepCount == 0 ? startDate : addMinutes(currentDate, timeStep);
}

bool meteointerpol::isAtEnd() const {
  return stepCount > 0 && currentDate.minuteIndex() >= endMinuteIndex;
}

void meteointerpol::rewind() {
  stepCount = 0;
  currentDate = ModelDate{};
  if (stations) stations->rewind();
}

void meteointerpol::interpolate(const ModelDate& date) {
  const ModelDate expected = getNextDate();
  if (!sameDate(date, expected)) {
    *diag << "FATAL: the dates of the meteorological interpolators disagree: the step of "
          << formatDate(date) << " is not the next step of the interpolation of " << variableName
          << ", which is " << formatDate(expected) << " (time step " << timeStep << " minutes)"
          << "[end-entry]";
    throw datesDisagreeCode;
  }
  newValues = true;
  if (method == 1 || method == 2)
    interpolateStations(date);
  else
    readStepGrid(date);
  currentDate = date;
  ++stepCount;
  if (outputSwitch == 1) logSummary();
}

void meteointerpol::interpolateStations(const ModelDate& date) {
  stations->read(date, stationValues);
  usableStations = 0;
  if (method == 2)
    usableStations =
        ElevationRegression::usableStations(stationValues, stations->stationZ(), header.nodata);
  else
    for (double v : stationValues) usableStations += v > missingStationValue ? 1 : 0;
  if (usableStations == 0 && stepCount == 0) {
    *diag << "FATAL: no station of the interpolation of " << variableName << " in " << stationPath
          << " has a value at " << formatDate(date)
          << ", the first step, so no grid can be made; give a station a value at that date or "
             "start the model later"
          << "[end-entry]";
    throw noFirstValuesCode;
  }
  if (usableStations == 0) {
    *diag << "WARNING: no station of the interpolation of " << variableName << " has a value at "
          << formatDate(date) << "; the grid takes the values of " << formatDate(interpolatedDate)
          << ", the last step with one, again"
          << "[end-entry]";
    newValues = false;
  } else {
    stationValues.swap(interpolatedValues);
    interpolatedDate = date;
  }
  if (method == 1)
    idw->fill(interpolatedValues, limits, grid);
  else
    regression->fill(interpolatedValues, limits, grid);
  MPIExchangeGridHalo(gridIndex);
}

template <typename F> void meteointerpol::forEachStepDate(F f) const {
  ModelDate date = startDate;
  for (long step = 0;; ++step) {
    f(date, step);
    if (date.minuteIndex() >= endMinuteIndex) return;
    date = addMinutes(date, timeStep);
  }
}

void meteointerpol::prepareNetCDFRecords() {
  const std::size_t open = inputName.find('<');
  netcdfPath = inputName.substr(0, open);
  prependDirectory(inputDirectory, netcdfPath);
  netcdfVariable = inputName.substr(open + 1, inputName.size() - open - 2);
  const int code = mpiRank != 0 ? 0 : catchExitCode([&] {
    if (FILE* probe = std::fopen(netcdfPath.c_str(), "rb"))
      std::fclose(probe);
    else {
      *diag << "FATAL: the grid file " << netcdfPath << " for the interpolation of " << variableName
            << " at " << formatDate(startDate) << " does not exist or cannot be read"
            << "[end-entry]";
      throw gridInputMissingCode;
    }
    NetCDFRecordAxis axis;
    try {
      axis = netcdfReader->readRecordAxis(netcdfPath, netcdfVariable);
    } catch (const NetCDFReadFailure& failure) {
      *diag << failure.message << "[end-entry]";
      throw failure.code;
    }
    const std::string problem = stepRecords.take(axis);
    if (!problem.empty()) {
      *diag << "FATAL: the time coordinate \"" << axis.dimension << "\" of " << netcdfPath
            << " (interpolation of " << variableName << ") gives no dates of the model: " << problem
            << "; give it units such as \"hours since 2021-03-01 00:00:00\""
            << "[end-entry]";
      throw datesDisagreeCode;
    }
    forEachStepDate([&](const ModelDate& date, long step) { netcdfRecordOf(date, step); });
    checkNetCDFGridFile(netcdfPath + "<" + netcdfVariable + ">" +
                        std::to_string(netcdfRecordOf(startDate, 0)));
    if (!stepRecords.dated())
      *diag << "INFO: " << netcdfPath << " has no time coordinate (a variable \"" << axis.dimension
            << "\" with units \"<unit> since <date>\"): the interpolation of " << variableName
            << " reads record k of " << netcdfVariable
            << " at the k-th step from the start of the run, record 0 at " << formatDate(startDate)
            << "[end-entry]";
  });
  shareExitCode(*diag, code);
  stepRecords.broadcast(*diag);
}

long meteointerpol::netcdfRecordOf(const ModelDate& date, long step) const {
  const long record = stepRecords.recordOf(date, step);
  if (record >= 0) return record;
  long steps = 0;
  ModelDate last = startDate;
  forEachStepDate([&](const ModelDate& d, long) {
    ++steps;
    last = d;
  });
  *diag << "FATAL: the netCDF file " << netcdfPath << " holds no record of " << netcdfVariable
        << " for the step of " << formatDate(date) << " (interpolation of " << variableName
        << "): the run from " << formatDate(startDate) << " to " << formatDate(last) << " has "
        << steps << " steps of " << timeStep << " minutes, the file " << stepRecords.holdings();
  if (stepRecords.dated())
    *diag << " by its time coordinate; give a file that holds every step of the run, or run "
             "over the dates it holds";
  else
    *diag << " and no time coordinate, so that record k is read at the k-th step from the start "
             "of the run; give the file a record for every step, or a time coordinate (units "
             "such as \"hours since 2021-03-01 00:00:00\") to read the record of each step's date";
  *diag << "[end-entry]";
  throw gridInputMissingCode;
}

std::string meteointerpol::stepFileName(const ModelDate& date) const {
  if (isNetCDFBaseName(inputName))
    return inputName + std::to_string(netcdfRecordOf(date, stepCount));
  char stamp[64];
  if (timeStep < 60)
    std::snprintf(stamp, sizeof stamp, "_%04ld%02ld%02ld%02ld%02ld", date.year, date.month,
                  date.day, date.hour, date.minute);
  else
    std::snprintf(stamp, sizeof stamp, "_%04ld%02ld%02ld%02ld", date.year, date.month, date.day,
                  date.hour);
  return inputName + stamp;
}

void meteointerpol::readStepGrid(const ModelDate& date) {
  const std::string name = stepFileName(date);
  std::string path = name;
  prependDirectory(inputDirectory, path);
  int code = 0;
  // A netCDF file was found at set-up and stays open.
  if (mpiRank == 0 && netcdfPath.empty()) {
    FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe) {
      std::fclose(probe);
    } else {
      *diag << "FATAL: the grid file " << path << " for the interpolation of " << variableName
            << " at " << formatDate(date) << " does not exist or cannot be read"
            << "[end-entry]";
      code = gridInputMissingCode;
    }
  }
  shareExitCode(*diag, code);
  readGrid(name, grid, 0, false, false, false, 0, false, true, 0.0);
  // Like the interpolated grids, the grid holds values inside the zone grid
  // only.
  const GridRegistryEntry& zone = registry[1];
  const long first = std::max(firstHeldRow, zone.firstRow);
  const long last = std::min(lastHeldRow, zone.lastRow);
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      double& v = grid[r][c];
      v = zone.grid[r][c] == nodata ? nodata : (v == nodata ? nodata : limits.clamp(v));
    }
}

void meteointerpol::logSummary() {
  const int regionsIndex = findGrid("MPIRegions", 1);
  Grid owners = regionsIndex > 0 ? registry[regionsIndex].grid : nullptr;
  Grid zone = registry[1].grid;
  const double nodata = header.nodata;
  const double rank = mpiRank;
  double sums[2] = {0.0, 0.0}; // count, sum
  double low = 1e300;
  double high = -1e300;
  const long first = std::max(1L, header.firstRow);
  const long last = std::min(header.nrows, header.lastRow);
  for (long r = first; r <= last; ++r) {
    const long from = rowColumnRange ? std::max(1L, rowColumnRange[r].first) : 1;
    const long to = rowColumnRange ? std::min(header.ncols, rowColumnRange[r].last) : header.ncols;
    for (long c = from; c <= to; ++c) {
      const double v = grid[r][c];
      if (zone[r][c] == nodata || v == nodata || (owners && owners[r][c] != rank)) continue;
      sums[0] += 1.0;
      sums[1] += v;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  double total[2] = {0.0, 0.0};
  checkMPI(*diag, MPI_Reduce(sums, total, 2, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD),
           "MPI_Reduce of the grid summary");
  checkMPI(*diag,
           MPI_Reduce(mpiRank == 0 ? MPI_IN_PLACE : &low, &low, 1, MPI_DOUBLE, MPI_MIN, 0,
                      MPI_COMM_WORLD),
           "MPI_Reduce of the grid summary");
  checkMPI(*diag,
           MPI_Reduce(mpiRank == 0 ? MPI_IN_PLACE : &high, &high, 1, MPI_DOUBLE, MPI_MAX, 0,
                      MPI_COMM_WORLD),
           "MPI_Reduce of the grid summary");
  *diag << "INFO: " << variableName << " at " << formatDate(currentDate) << ": ";
  if (total[0] > 0.0)
    *diag << "mean " << total[1] / total[0] << ", minimum " << low << ", maximum " << high
          << " over " << static_cast<long>(total[0]) << " cells";
  else
    *diag << "no cell with a value";
  if (stations)
    *diag << "; " << usableStations << " of " << stations->stationCount()
          << " stations with a value";
  *diag << "[end-entry]";
}

void meteointerpol::writeInterpolatedGrid() { writeOutputGrids(gridIndex, 1, 0); }

void meteointerpol::freeGrid() {
  if (!grid) return;
  if (registry && gridIndex > 0) unregisterGrid(gridIndex);
  free_matrix(grid, firstHeldRow, lastHeldRow, 1, header.ncols);
  grid = nullptr;
  gridIndex = 0;
}

void meteointerpol::releaseModule() {
  if (released) return;
  released = true;
  freeGrid();
  stations.reset();
  idw.reset();
  regression.reset();
  modelobject::releaseModule();
}
