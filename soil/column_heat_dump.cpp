// Dump mode with the heat model: the heat part of a water step's snapshot,
// the check of its temperatures against their neighbours and the text file
// of the heat profiles beside a dump file.

#include <algorithm>
#include <cstdio>
#include <string>

#include "soil/column_solver.h"

namespace {

constexpr double temperatureLimit = 70.0;
constexpr double temperatureTolerance = 0.001;
constexpr double unusedLayer = -9998.9;
constexpr double nodataValue = -9999.0;
// The profiles of the text file in their order; the snapshot keeps the
// same profiles and the unfrozen fraction after them.
const char* const heatLabels[] = {"     theta_sl ",  "     SE_sl ",       "     temper_sl ",
                                  "     lambda_sl ", "     dEOverdT_sl ", "     heatcap_sl "};
enum HeatProfile {
  thetaProfile,
  energyProfile,
  temperatureProfile,
  lambdaProfile,
  effectiveProfile,
  capacityProfile,
  unfrozenProfile,
  textProfiles = unfrozenProfile
};

} // namespace

std::size_t ColumnSolver::heatSnapshotSize() const {
  if (!heatModel) return 0;
  const std::size_t profile = static_cast<std::size_t>(maxLayers) + 1;
  return (heatProfileCount - 1) * profile * 8 + 2 * 4 + 3 * 8;
}

// Into the record after the water part: the unfrozen fractions, the
// temperatures, conductivities, heat capacities, dE/dT and enthalpies, the
// heat steps per water step and in the sub-step, the heat step, the air and
// the surface temperature.
void ColumnSolver::takeHeatSnapshot(SnapshotWriter& out) {
  const int n = column.layers;
  heat.updateEnthalpy(*heatModel, column.theta0);
  heat.prepare(*heatModel, column.theta0);
  const double* profiles[heatProfileCount] = {column.theta0, heat.energy,    heat.T,
                                              heat.lambda,   heat.effective, heat.capacity,
                                              heat.unfrozen};
  const std::size_t width = static_cast<std::size_t>(maxLayers) + 1;
  for (int p = 0; p < heatProfileCount; ++p)
    for (int k = 0; k <= maxLayers; ++k)
      heatStart[static_cast<std::size_t>(p) * width + static_cast<std::size_t>(k)] =
          k >= 1 && k <= n ? profiles[p][k] : nodataValue;
  for (HeatProfile p : {unfrozenProfile, temperatureProfile, lambdaProfile, capacityProfile,
                        effectiveProfile, energyProfile})
    for (std::size_t k = 0; k < width; ++k)
      out.real(heatStart[static_cast<std::size_t>(p) * width + k]);
  out.integer(heatStepsPerWaterStep);
  out.integer(heatStepCount);
  out.real(heatSeconds);
  out.real(airTemperature);
  out.real(surfaceTemperature);
}

// A temperature outside [-70, 70], or one that passes by more than 0.001
// every temperature its heat could have come from: its own at the start,
// its neighbours' (the surface and the temperature below the column at the
// ends) at the start and at the end. Returns the first such layer, 0 for
// none; repair sets each such layer back within them.
int ColumnSolver::checkHeat(bool repair) {
  const int n = column.layers;
  const double* start = heat.start;
  // The end temperatures as the step left them, for the neighbours.
  double* end = heat.change;
  std::copy(heat.T, heat.T + n + 1, end);
  int first = 0;
  for (int k = 1; k <= n; ++k) {
    const double t = end[k];
    if (!(t > unusedLayer)) continue;
    const double compared[] = {start[k], k == 1 ? surfaceTemperature : start[k - 1],
                               k == 1 ? surfaceTemperature : end[k - 1],
                               k == n ? heatLower : start[k + 1], k == n ? heatLower : end[k + 1]};
    const double highest = *std::max_element(std::begin(compared), std::end(compared));
    const double lowest = *std::min_element(std::begin(compared), std::end(compared));
    const bool fires = t < -temperatureLimit || t > temperatureLimit ||
                       t > highest + temperatureTolerance || t < lowest - temperatureTolerance;
    if (!fires) continue;
    if (first == 0) first = k;
    if (!repair) continue;
    double repaired = std::clamp(t, -temperatureLimit, temperatureLimit);
    if (repaired > highest + temperatureTolerance) repaired = highest;
    if (repaired < lowest - temperatureTolerance) repaired = lowest;
    heat.T[k] = repaired;
  }
  return first;
}

// "<dump file>_asc": per profile its values at the check and, on the line
// marked "dump.", at the start of the water step.
bool ColumnSolver::writeHeatText(const char* name) {
  const std::string text = std::string(name) + "_asc";
  std::FILE* file = std::fopen(text.c_str(), "w");
  if (!file) return false;
  const int n = column.layers;
  heat.updateEnthalpy(*heatModel, column.theta);
  heat.prepare(*heatModel, column.theta);
  const double* now[textProfiles] = {column.theta, heat.energy,    heat.T,
                                     heat.lambda,  heat.effective, heat.capacity};
  const std::size_t width = static_cast<std::size_t>(maxLayers) + 1;
  bool written = std::fputs("this file contains some values in human readabel format for layered "
                            "snow model and heat transfer model\n",
                            file) >= 0;
  if (snowModel) written = written && writeSnowText(file);
  for (int p = 0; p < textProfiles && written; ++p) {
    written = std::fputs(heatLabels[p], file) >= 0;
    for (int k = 1; k <= n && written; ++k) written = std::fprintf(file, "%g\t", now[p][k]) > 0;
    written = written && std::fprintf(file, "\ndump.%s", heatLabels[p]) > 0;
    for (int k = 1; k <= n && written; ++k)
      written =
          std::fprintf(
              file, "%g\t",
              heatStart[static_cast<std::size_t>(p) * width + static_cast<std::size_t>(k)]) > 0;
    written = written && std::fputs("\n", file) >= 0;
  }
  written = written && std::fprintf(file, "    Tsurf %g\t\ndump.    Tsurf %g\t\n",
                                    surfaceTemperature, surfaceTemperature) > 0;
  return std::fclose(file) == 0 && written;
}
