// Construction of the snow model: its section, the checks of its
// parameters and the grids it reads.
#include "snow/schneemodellklasse.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "core/collective_status.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "core/module_banner.h"
#include "core/string_helpers.h"

namespace {

constexpr int controlFileCode = 17;
constexpr int extendedLinesCode = 404;
constexpr int depositionSlopeCode = 405;
constexpr int depositionFactorCode = 406;
constexpr int slideSlopeCode = 407;
constexpr int slideFractionCode = 408;
constexpr int depositionIndexCode = 10;
// A mean deposition index this far from 0 changes the catchment's snowfall
// by no more than 0.1 %.
constexpr double depositionMeanTolerance = 0.001;

} // namespace

// The output lines of the section in their order; a null label marks a
// line that is not there.
const std::vector<schneemodellklasse::OutputLine> schneemodellklasse::basicOutputLines = {
    {rainFractionGrid, rainSeries, "Name of the rain-grid for ", "Writegrid of rain-grid for ",
     "Name of the rain statistics for "},
    {snowFractionGrid, snowSeries, "Name of the snow grid for ", "Writegrid of the snow grid for ",
     "Name of the snow statistics for "},
    {snowDaysGrid, snowDaysSeries, "Name of the snowdays grid for ",
     "Writegrid of the snowdays grid for ", "Name of the snowdays statistics for "},
    {ageGrid, ageSeries, "Name of the snow age grid for ", "Writegrid of the snow age grid for ",
     "Name of the snow age statistics for "},
    {ageGrid, albedoSeries, nullptr, nullptr, "name of the albedo statistics for "},
    {outflowGrid, outflowSeries, "Name of the snow outflow grid for ",
     "Writegrid of the snow outflow grid for ", "Name of the snow outflow statistics for "},
    {meltGrid, meltSeries, "Name of the snow melt only outflow grid for ",
     "Writegrid of the snow melt only outflow grid for ",
     "Name of the snow melt only outflow statistics for "},
    {solidGrid, totalSeries, "Name of the snow storage grids for ",
     "Writegrid of the snow storage grids for ", nullptr},
    {liquidGrid, totalSeries, "Name of the liquid storage grids for ",
     "Writegrid of the liquid storage grids for ",
     "Name of the total snow storage statistics for "},
    {totalGrid, totalSeries, "name of the total snow storage grid for ",
     "Writegrid of the total snow storage grid for ", nullptr}};

// Behind the file of the snow pack temperature, the first word of its line.
const std::vector<schneemodellklasse::OutputLine> schneemodellklasse::extendedOutputLines = {
    {snowTemperatureGrid, snowTemperatureSeries, nullptr,
     "Writegrid of the snow pack temperature grid for ",
     "Name of the snow pack temperature statistics for "},
    {surfaceTemperatureGrid, surfaceTemperatureSeries,
     "Name of the snow surface temperature grid for ",
     "Writegrid of the snow surface temperature grid for ",
     "Name of the snow surface temperature statistics for "},
    {inputMassGrid, inputMassSeries, "Name of the input mass grid for ",
     "Writegrid of the input mass grid for ", "Name of the input mass statistics for "},
    {mobileMassGrid, mobileMassSeries, "Name of the mobile mass grid for ",
     "Writegrid of the mobile mass grid for ", "Name of the mobile mass statistics for "},
    {depositionGrid, depositionSeries, "Name of the deposition grid for ",
     "Writegrid of the deposition grid for ", "Name of the deposition statistics for "}};

schneemodellklasse::schneemodellklasse(const ModelContext& context, int& errorCode)
    : teilmodellklasse(context, "snow_model") {
  errorCode = catchModuleFailure([&] {
    if (flowControl == 0) return; // off, also in routing-only mode
    HORVA_ANNOUNCE_MODULE(*diag);
    elevation = registry[requireGrid("[elevation_model]")].grid;
    zone = registry[1].grid;
    rankZones(zones);
    cells = ownCells();
    masterCells = ownCells(true);
    layers = std::max(1, context.landuseLayerCount);
    readSection();
    fullGridOnRoot = mpiRank == 0 && isSlide();
    if (method >= 5) readExtendedLines();
    closeControlFile();
    createStatistics();
    meltFactorMean = (rmfMin + rmfMax) / 2.0;
    meltFactorAmplitude = (rmfMax - rmfMin) / 2.0;
    bindFixedInputs();
    if (findGrid("ice_firn", 1) > 0 || findGrid("GlacierizedCells", 1) > 0) setUpGlaciers();
    // The slides and the glacier balance find the subbasin of every cell.
    if (fullGridOnRoot) registry[zones.gridIndex].wholeOnRoot = true;
    // Slides and dynamic glaciers move snow and ice over the whole grid on
    // rank 0; elsewhere the strip and its halo suffice.
    const bool whole = mpiRank == 0 && fullGridOnRoot;
    firstSnowRow = whole ? 1 : firstHeldRow();
    lastSnowRow = whole ? header.nrows : lastHeldRow();
    registerStorageGrids();
    registerOutputGrids();
    registerGlacierGrids();
    setUpPermafrost();
    if (t0r < t0) {
      *diag << "ERROR: \n-----------------------------------------------------------------------\n"
            << "   T0R (threshold temperature rain/snow) < T0 (threshold temperature snow melt)  \n"
            << "   because these thresholds are contradicting each other, T0R was set to T0!     "
               "               \n"
            << "-----------------------------------------------------------------------"
            << "[end-entry]";
      t0r = t0;
    }
    modelobject::writeStorage = 0;
  });
}

schneemodellklasse::~schneemodellklasse() { releaseGrids(); }

void schneemodellklasse::readSection() {
  readControlValue(controlFile, "%d", method, "method for ");
  if (method < 1 || method > 14) {
    *diag << "FATAL: snow model method " << method << " in [snow_model] of "
          << userControlFile(controlFileName) << " is not known; choose a method from 1 to 14"
          << "[end-entry]";
    throw controlFileCode;
  }
  readControlValue(controlFile, "%lf", transzone, "transzone for ");
  readControlValue(controlFile, "%lf", t0r, "T0R for ");
  readControlValue(controlFile, "%lf", t0, "T0 for ");
  readControlValue(controlFile, "%lf", cwh, "CWH for ");
  readControlValue(controlFile, "%lf", crfr, "CRFR for ");
  readMonthlyLine(monthlyDegreeDayFactor, "degree-day factors");
  readMonthlyLine(monthlyTemperatureFactor, "temperature factors");
  readMonthlyLine(monthlyWindFactor, "wind factors");
  readControlValue(controlFile, "%lf", z0, "z0 for ");
  readControlValue(controlFile, "%lf", rmfMin, "RMFMIN for ");
  readControlValue(controlFile, "%lf", rmfMax, "RMFMAX for ");
  readControlValue(controlFile, "%lf", albedoMin, "ALBsnow_min for ");
  readControlValue(controlFile, "%lf", albedoMax, "ALBsnow_max for ");
  readOutputLines(basicOutputLines);
  readControlValue(controlFile, "%d", readStorageGrids, "readgrid forr storage grids for ");
  if (readStorageGrids != 0 && readStorageGrids != 1)
    refuseControlValue(sectionHeader, "readgrid forr storage grids for ", readStorageGrids,
                       "must be 0 (cold start) or 1 (the storages of a former run)",
                       controlFileCode);
  checkRanges();
}

// A negative transition or liquid capacity, or an albedo outside 0 .. 1,
// makes or destroys water in the pack.
void schneemodellklasse::checkRanges() const {
  auto refuse = [&](const std::string& label, double value, const std::string& rule) {
    refuseControlValue(sectionHeader, label, value, rule, controlFileCode);
  };
  if (!(transzone >= 0.0 && transzone <= 10.0))
    refuse("transzone for ", transzone,
           "must be 0 ... 10 (K, half the width of the rain/snow transition)");
  if (!(cwh >= 0.0 && cwh <= 1.0))
    refuse("CWH for ", cwh,
           "must be 0 ... 1 (the liquid water the pack holds per unit of its solid water)");
  // Melt and refreezing factors scale water moved per step: a negative one
  // turns melt into freezing, a huge one empties the pack at once.
  const struct {
    const char* label;
    double value, lowest, highest;
    const char* rule;
  } bounded[] = {{"T0R for ", t0r, -20.0, 20.0, "must be -20 ... 20 (degrees C)"},
                 {"T0 for ", t0, -20.0, 20.0, "must be -20 ... 20 (degrees C)"},
                 {"CRFR for ", crfr, 0.0, 10.0, "must be 0 ... 10"},
                 {"z0 for ", z0, 1e-6, 1.0, "must be 1e-06 ... 1 (m)"},
                 {"RMFMIN for ", rmfMin, 0.0, 100.0, "must be 0 ... 100"},
                 {"RMFMAX for ", rmfMax, rmfMin, 100.0, "must be at least RMFMIN and at most 100"}};
  for (const auto& b : bounded)
    if (!(b.value >= b.lowest && b.value <= b.highest)) refuse(b.label, b.value, b.rule);
  const struct {
    const char* what;
    const std::array<double, 14>& table;
    double highest;
    const char* rule;
  } monthly[] = {
      {"degree-day factors", monthlyDegreeDayFactor, 30.0, "must be 0 ... 30 (mm/K/day)"},
      {"temperature factors", monthlyTemperatureFactor, 100.0, "must be 0 ... 100"},
      {"wind factors", monthlyWindFactor, 100.0, "must be 0 ... 100"}};
  for (const auto& m : monthly)
    for (int month = 1; month <= 12; ++month)
      if (!(m.table[month] >= 0.0 && m.table[month] <= m.highest))
        refuse(std::string(m.what) + ", month " + std::to_string(month), m.table[month], m.rule);
  if (!(albedoMin >= 0.0 && albedoMin <= 1.0))
    refuse("ALBsnow_min for ", albedoMin, "must lie within 0 ... 1");
  if (!(albedoMax >= 0.0 && albedoMax <= 1.0))
    refuse("ALBsnow_max for ", albedoMax, "must lie within 0 ... 1");
  if (albedoMin > albedoMax) {
    std::ostringstream rule;
    rule << "must not exceed that of \"ALBsnow_max for \", " << albedoMax;
    refuse("ALBsnow_min for ", albedoMin, rule.str());
  }
}

// Deposition scales a cell's snowfall by 1 + index: below -1 the snowfall
// turns negative; a catchment mean other than 0 changes the snow that falls
// on the catchment, which may be meant (drifting out of it) but rarely is.
void schneemodellklasse::checkDepositionIndex(const std::string& from) {
  const double nodata = header.nodata;
  const Grid index = depositionIndex;
  checkGridValues(
      cells, index, "deposition_index", [nodata](double d) { return d == nodata || d >= -1.0; },
      "must be -1 or more (the snowfall of a cell is multiplied by 1 + the index)",
      depositionIndexCode, from);
  double sum = 0.0;
  double count = 0.0;
#pragma omp parallel for schedule(runtime) reduction(+ : sum, count)
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    const long last = cells.lastColumn(r);
    for (long c = cells.firstColumn(r); c <= last; ++c)
      if (cells.owns(r, c)) {
        sum += index[r][c] == nodata ? 0.0 : index[r][c];
        count += 1.0;
      }
  }
  double sums[2] = {sum, count};
  checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, sums, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD),
           "MPI_Allreduce of the deposition index");
  const double mean = sums[1] > 0.0 ? sums[0] / sums[1] : 0.0;
  if (std::fabs(mean) <= depositionMeanTolerance) return;
  *diag << "WARNING: in modul " << moduleName << ": the grid \"deposition_index\""
        << (from.empty() ? "" : " read again from " + from) << " has a catchment mean of " << mean
        << ", not 0: the catchment gets about " << std::fabs(mean) * 100.0
        << (mean > 0.0 ? " % more" : " % less")
        << " snow than falls on it. Give the grid a mean of 0 unless snow is meant to drift into "
           "or out of the catchment"
        << "[end-entry]";
}

// One number for the whole year or one per month; the December and January
// copies at both ends let the days interpolate across the turn of the year.
void schneemodellklasse::readMonthlyLine(std::array<double, 14>& table, const char* what) {
  std::string line;
  if (readLine(controlFile, line) != LineRead::line) line.clear();
  std::vector<double> values;
  for (const std::string& word : splitWords(line)) {
    double v = 0.0;
    if (values.size() == 12 || !parseNumber(word, v)) break;
    values.push_back(v);
  }
  if (values.size() == 1) {
    table.fill(values[0]);
    return;
  }
  if (values.size() != 12) {
    *diag << "FATAL: error in control file " << userControlFile(controlFileName)
          << ", section [snow_model]: the "
          << "line of the monthly " << what << " holds " << static_cast<long>(values.size())
          << " numbers (\"" << line << "\"); give one number for the whole year or twelve, "
          << "January to December"
          << "[end-entry]";
    throw controlFileCode;
  }
  std::copy(values.begin(), values.end(), table.begin() + 1);
  table[0] = table[12];
  table[13] = table[1];
}

// A grid's file and write code and a statistic's file and code, each
// where its label is given.
void schneemodellklasse::readOutputLines(const std::vector<OutputLine>& lines) {
  for (const OutputLine& l : lines) {
    OutputSettings& o = outputs[l.grid];
    if (l.file) readControlValue(controlFile, "%s", o.file, l.file);
    if (l.writeCode) readControlValue(controlFile, "%d", o.writeCode, l.writeCode);
    // Checked as read: the slides' grids are registered only where the
    // method slides, and a negative code would write nothing silently.
    if (l.writeCode && o.writeCode < 0)
      refuseControlValue(sectionHeader, l.writeCode, o.writeCode,
                         "must be 0 (never written) or a write code of 1 or more", controlFileCode);
    if (l.statistic)
      readControlValuePair(controlFile, "%s%d", series[l.series].file, series[l.series].code,
                           l.statistic);
  }
}

void schneemodellklasse::checkBound(bool inside, const char* text, double value, int code) {
  if (inside) return;
  *diag << "FATAL: " << text << value << "[end-entry]";
  throw code;
}

void schneemodellklasse::readExtendedLines() {
  std::string line;
  if (readLine(controlFile, line) != LineRead::line || line.size() < 3) {
    *diag << "FATAL: cannot read additional parameters for snow model methods 5 to 11 from "
          << userControlFile(controlFileName) << "[end-entry]";
    throw extendedLinesCode;
  }
  const std::vector<std::string> words = splitWords(line);
  outputs[snowTemperatureGrid].file = words.empty() ? std::string() : words[0];
  readOutputLines(extendedOutputLines);

  readControlValue(controlFile, "%lf", maxDepositionSlope, "maximum slope for deposition for ");
  checkBound(maxDepositionSlope >= 0.0 && maxDepositionSlope <= 90.0,
             "maxDepositionSlope not within parameter bounds of [0...90] Here: ",
             maxDepositionSlope, depositionSlopeCode);
  readControlValue(controlFile, "%lf", maxDepositionFactor, "maximum deposition factor for ");
  // Deposition past a hundredfold snowfall piles more snow on a cell than
  // any drift does.
  checkBound(maxDepositionFactor > 0.0 && maxDepositionFactor <= 100.0,
             "maxDepositionFactor not within parameter bounds of (0...100]. Here: ",
             maxDepositionFactor, depositionFactorCode);
  readControlValue(controlFile, "%lf", minSlideSlope, "minimum slope for slides for ");
  checkBound(minSlideSlope >= 0.0 && minSlideSlope <= 90.0,
             "minSlideSlope not within parameter bounds of [0...90]. Here: ", minSlideSlope,
             slideSlopeCode);
  readControlValue(controlFile, "%lf", slideMassFrac, "slide mass fraction for ");
  checkBound(slideMassFrac > 0.0 && slideMassFrac <= 1.0,
             "slideMassFrac not within parameter bounds of (0...1.0]. Here: ", slideMassFrac,
             slideFractionCode);
  readControlValue(controlFile, "%lf", lwInCorrection,
                   "incoming long wave radiation correction factor for ");
  checkBound(lwInCorrection > 0.0 && lwInCorrection <= 3.0,
             "incoming long wave radiation correction factor LWINcorr not within parameter "
             "bounds of (0...3.0]. Here: ",
             lwInCorrection, slideFractionCode);
  readControlValue(controlFile, "%lf", lwOutCorrection,
                   "outgoing long wave radiation correction factor for ");
  checkBound(lwOutCorrection > 0.0 && lwOutCorrection <= 3.0,
             "outgoing long wave radiation correction factor LWOUTcorr not within parameter "
             "bounds of (0...3.0]. Here: ",
             lwOutCorrection, slideFractionCode);

  std::string scaling;
  const bool read = readLine(controlFile, scaling) == LineRead::line;
  const std::vector<std::string> first = splitWords(scaling);
  double value = 0.0;
  if (read && !first.empty() && parseNumber(first[0], value)) {
    // Scales the energy that melts the pack: negative, it would freeze it.
    if (!(value >= 0.0 && value <= 10.0))
      refuseControlValue(sectionHeader, "EnBalScaling", value, "must be 0 ... 10", controlFileCode);
    enBalScaling = value;
    return;
  }
  if (read && !first.empty() && looksLikeNumber(first[0]))
    refuseValueText(sectionHeader + ", EnBalScaling", first[0], "a finite number");
  *diag << "WARNING: \n------------- warning: -------------\n"
        << "Could not read the optional parameter EnBalScaling (double),\n"
        << "for snow melt methods with energy ba\xc3\xb6"
        << "ance that will be used for scaling the energy balance (i.e. affect melt rates)\n"
        << "Setting default values of 1.0"
        << "[end-entry]";
}

void schneemodellklasse::bindFixedInputs() {
  auto required = [&](const std::string& name) { return registry[requireGrid(name)].grid; };
  auto optional = [&](const std::string& name) {
    const int index = findGrid(name, 1);
    return index > 0 ? registry[index].grid : nullptr;
  };
  albedo = required("albedo");
  snowEvaporation = optional("snow_evaporation");
  landuse.assign(static_cast<size_t>(layers) + 1, nullptr);
  for (int k = 1; k <= layers; ++k)
    landuse[static_cast<size_t>(k)] = required("landuse" + std::to_string(k));
  if (method == 4) vapourPressure = required("vapor_pressure");
  if (timeStepMinutes > 720.0) temperatureNight = required("temperature_night");
  // Rank 0 slides the snow over every row.
  auto whole = [&](const std::string& name) {
    GridRegistryEntry& e = registry[requireGrid(name)];
    e.wholeOnRoot = true;
    return e.grid;
  };
  if (isSlide()) {
    for (int k = 1; k <= 4; ++k)
      slideFraction[static_cast<size_t>(k)] = whole("slidefraction" + std::to_string(k));
    slope = whole("slope_angle");
  }
  if (isDeposition()) {
    const int index = requireGrid("deposition_index");
    depositionIndex = registry[index].grid;
    checkDepositionIndex("");
    checkAgainOnRead(index, [this](const std::string& from) { checkDepositionIndex(from); });
  }
  if (isEnergyBalance()) {
    cloudiness = required("cloudiness");
    observedSurfaceTemperature = optional("surfacetemperature");
  }
  if (context.hruFlag != 0) {
    responseUnits = required("HydrologicResponseUnits");
    masterResponseUnits = required("MasterHydrologicResponseUnits");
  }
}
