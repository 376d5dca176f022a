#pragma once

#include <array>

class soil_class;

// The eight parameters of the built-in infiltration formula, A to H: the
// initial rate I_0, three of the final rate I_inf and four of the
// disposition C_v.
using SiltingParameters = std::array<double, 8>;
constexpr SiltingParameters defaultSiltingParameters = {65.0,  12.2,  0.52, -0.64,
                                                        0.013, -1.03, 0.7,  -0.19};

// Rain of at most this intensity [mm/h] counts as a pause.
constexpr double rainPauseIntensity = 0.05;
// From this intensity [mm/h] on the energy per mm of rain stays constant.
constexpr double maximumEnergyIntensity = 76.2;
// The sand percentage below which the formula's powers of it would grow
// without bound.
constexpr double smallestSandPercent = 0.01;

// The grain-size index d_g of a soil from its seven fractions.
double grainSizeIndex(const soil_class& soil);
// Kinetic energy per mm of rain of an intensity [mm/h].
double rainEnergyPerMm(double intensity);
// 100 * sand, kept above smallestSandPercent.
double sandPercent(const soil_class& soil);

// Days since the last tillage day at or before the day of the year doy:
// count days in list[1 .. count], ascending. Before the first day of the
// year the last day of the previous year counts, which had
// previousYearLength days. 0 without tillage; on a tillage day 0.3.
double daysSinceTillage(int count, const int* list, long doy, long previousYearLength);

// The rates and disposition of the built-in formula (methods 1 and 2).
struct SiltingRates {
  double initialRate = 0.0; // I_0 [mm/h]
  double finalRate = 0.0;   // I_inf [mm/h]
  double disposition = 0.0; // C_v
};
SiltingRates builtInRates(const SiltingParameters& p, double grainIndex, double sand100,
                          double tillageDays);
// The infiltration capacity [mm] of a step of stepMinutes after the kinetic
// energy E_k.
double infiltrationCapacity(const SiltingRates& rates, double kineticEnergy, double stepMinutes);
