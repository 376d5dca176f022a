// The built-in infiltration formula of the silting-up model.

#include "lateral/silting_formulas.h"

#include <algorithm>
#include <cmath>

#include "config/soil_class.h"

namespace {

// log10 of the geometric mean diameters [mm of 10^-3] of the grain classes
// sand, silt, clay and the four stone classes, the weights of d_g.
constexpr double grainWeights[7] = {5.100385157531412, 2.1003620619491743, -1.0969100130080562,
                                    7.100370545117563, 8.100370545117563,  9.100370545117563,
                                    10.100370545117563};

} // namespace

double grainSizeIndex(const soil_class& soil) {
  double sum = 0.0;
  for (int k = 0; k < 7; ++k) sum += grainWeights[k] * soil.getGrainSizeDist(k);
  return std::pow(10.0, 0.5 * sum);
}

double sandPercent(const soil_class& soil) {
  return std::max(100.0 * soil.getGrainSizeDist(0), smallestSandPercent);
}

double rainEnergyPerMm(double intensity) {
  if (intensity >= maximumEnergyIntensity) return 28.33;
  if (intensity > rainPauseIntensity) return 11.89 + 8.73 * std::log10(intensity);
  return 0.0;
}

double daysSinceTillage(int count, const int* list, long doy, long previousYearLength) {
  if (count < 1 || list[0] < -9997) return 0.0;
  double last = list[count] - static_cast<double>(previousYearLength);
  for (int k = 1; k <= count && list[k] <= doy; ++k) last = list[k];
  const double days = static_cast<double>(doy) - last;
  return days > 0.0 ? days : 0.3;
}

SiltingRates builtInRates(const SiltingParameters& p, double grainIndex, double sand100,
                          double tillageDays) {
  SiltingRates rates;
  rates.initialRate = p[0];
  rates.finalRate = p[1] * std::pow(grainIndex, p[2]) * std::pow(sand100, p[3]);
  if (tillageDays > 0.0)
    rates.disposition =
        p[4] * std::pow(sand100, p[5]) * std::pow(grainIndex, p[6]) * std::pow(tillageDays, p[7]);
  return rates;
}

double infiltrationCapacity(const SiltingRates& rates, double kineticEnergy, double stepMinutes) {
  return ((rates.initialRate - rates.finalRate) * std::exp(-rates.disposition * kineticEnergy) +
          rates.finalRate) *
         stepMinutes / 60.0;
}
