#include "meteo/precipitation_correction.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"
#include "meteo/meteoint.h"
#include "meteo/section_lines.h"

namespace {

constexpr int openControlFileCode = 28;
constexpr int correctionCode = 76;

} // namespace

precicorrclass::precicorrclass(const ModelContext& context, int& errorCode,
                               const std::vector<meteointerpol*>& interpolators)
    : modelobject(context.diag, context.controlFileName, 0, context.writeAsciiGrids,
                  context.writeDoubleGrids, context.writeNetCDFGrids, context.inputDirectory,
                  context.outputDirectory, context.cellsPerProcess, context.haloSendList,
                  context.haloReceiveList, 0, 0) {
  moduleName = "precipitation_correction";
  registry = context.registry;
  header = context.header;
  errorCode = catchModuleFailure([&] {
    HORVA_ANNOUNCE_MODULE(*diag);
    if (context.routingOnly) return;
    readSection();
    if (active) findInterpolators(interpolators);
  });
  if (controlFile) {
    std::fclose(controlFile);
    controlFile = nullptr;
  }
}

void precicorrclass::readSection() {
  controlFile = openControlFile(controlFileName);
  if (!controlFile) {
    *diag << "FATAL: error opening " << controlFileName << "[end-entry]";
    throw openControlFileCode;
  }
  const std::string section = "[precipitation_correction]";
  if (seekSection(section, false) == 0) return;
  SectionLines lines(*this, controlFile, controlFileName, section);
  lines.next("switch of the precipitation correction");
  const long on = lines.integer(0, "switch of the precipitation correction");
  if (on < 0)
    refuseControlValue(section, "switch of the precipitation correction", static_cast<double>(on),
                       "must be 0 (off) or 1 or more (on)", correctionCode);
  active = on != 0;
  if (!active) return;
  lines.next("rain correction a and b");
  rainA = lines.number(0, "rain correction a and b");
  rainB = lines.number(1, "rain correction a and b");
  lines.next("snow correction a and b");
  snowA = lines.number(0, "snow correction a and b");
  snowB = lines.number(1, "snow correction a and b");
  lines.next("rain/snow threshold temperature");
  threshold = lines.number(0, "rain/snow threshold temperature");
  lines.next("half-width of the rain/snow transition");
  halfWidth = lines.number(0, "half-width of the rain/snow transition");
  if (halfWidth < 0.0) {
    *diag << "FATAL: error in control file, section " << section
          << ": the half-width of the rain/snow transition (" << halfWidth
          << ") must not be negative"
          << "[end-entry]";
    throw correctionCode;
  }
  // The gauges catch too little, never too much: 1 + a + b u adds at most
  // what a wind of a few m/s blows past them.
  const struct {
    const char* label;
    double value, highest;
    const char* rule;
  } bounded[] = {
      {"rain correction a", rainA, 1.0, "must be 0 ... 1"},
      {"rain correction b", rainB, 1.0, "must be 0 ... 1 (s/m)"},
      {"snow correction a", snowA, 1.0, "must be 0 ... 1"},
      {"snow correction b", snowB, 1.0, "must be 0 ... 1 (s/m)"},
      {"half-width of the rain/snow transition", halfWidth, 10.0, "must be 0 ... 10 (K)"}};
  for (const auto& b : bounded)
    if (!(b.value >= 0.0 && b.value <= b.highest))
      refuseControlValue(section, b.label, b.value, b.rule, correctionCode);
  if (!(threshold >= -20.0 && threshold <= 20.0))
    refuseControlValue(section, "rain/snow threshold temperature", threshold,
                       "must be -20 ... 20 (degrees C)", correctionCode);
}

void precicorrclass::findInterpolators(const std::vector<meteointerpol*>& interpolators) {
  for (meteointerpol* i : interpolators) {
    if (i->getVariableName() == "precipitation") precipitation = i;
    if (i->getVariableName() == "temperature") temperature = i;
    if (i->getVariableName() == "wind_speed") windSpeed = i;
  }
  const std::pair<const char*, meteointerpol*> required[] = {{"precipitation", precipitation},
                                                             {"temperature", temperature}};
  for (const auto& [name, found] : required) {
    if (found) continue;
    *diag << "FATAL: the precipitation correction needs an interpolator for " << name << ": give "
          << name << " in [meteo_names] with its section, or switch the correction "
          << "off in [precipitation_correction]"
          << "[end-entry]";
    throw correctionCode;
  }
  widenPrecipitationRange();
}

// The factor is linear in the snow fraction and in the wind speed, so its
// extremes lie at the ends of both.
void precicorrclass::widenPrecipitationRange() {
  double windLow = 0.0;
  double windHigh = 0.0;
  if (windSpeed && windSpeed->getGridIndex() > 0) {
    const GridValueRange& wind = registry[windSpeed->getGridIndex()].valueRange;
    if (!wind.known) {
      registry[precipitation->getGridIndex()].valueRange.known = false;
      return;
    }
    windLow = wind.lowest;
    windHigh = wind.highest;
  }
  double low = factor(threshold + halfWidth + 1.0, windLow);
  double high = low;
  for (double t : {threshold - halfWidth - 1.0, threshold + halfWidth + 1.0})
    for (double u : {windLow, windHigh}) {
      low = std::min(low, factor(t, u));
      high = std::max(high, factor(t, u));
    }
  std::ostringstream what;
  what << "the correction factor " << low << " ... " << high << " of [precipitation_correction]";
  registry[precipitation->getGridIndex()].valueRange.scale(low, high, what.str());
}

double precicorrclass::factor(double t, double u) const {
  double snow = 0.0;
  if (t <= threshold - halfWidth)
    snow = 1.0;
  else if (t < threshold + halfWidth)
    snow = (threshold + halfWidth - t) / (2.0 * halfWidth);
  return snow * (1.0 + snowA + snowB * u) + (1.0 - snow) * (1.0 + rainA + rainB * u);
}

void precicorrclass::correct() {
  if (!active) return;
  Grid p = precipitation->getGrid();
  Grid t = temperature->getGrid();
  Grid u = windSpeed ? windSpeed->getGrid() : nullptr;
  const double nodata = header.nodata;
  const long ncols = header.ncols;
  const long first = precipitation->getFirstCurrentRow();
  const long last = precipitation->getLastCurrentRow();
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r) {
    for (long c = 1; c <= ncols; ++c) {
      if (p[r][c] == nodata || t[r][c] == nodata) continue;
      const double wind = u && u[r][c] != nodata ? u[r][c] : 0.0;
      p[r][c] *= factor(t[r][c], wind);
    }
  }
}
