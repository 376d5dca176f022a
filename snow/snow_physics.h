#pragma once

// The formulas of the snow model that need no grid: method groups, the
// rain/snow split, the snow albedo, the seasonal sine, vapour pressures, the
// wet-bulb temperature and the surface energy balance of a snow pack.

// Kelvin of 0 degrees C as the snow formulas write it.
constexpr double snowMeltPointK = 273.16;
constexpr double stefanBoltzmann = 5.67e-8;
// Latent heat of sublimation (J/kg) and of fusion (J/kg per 1000 of melt).
constexpr double sublimationHeat = 2835500.0;
constexpr double fusionHeat = 337500.0;
constexpr double iceHeatCapacity = 2100.0;
constexpr double waterHeatCapacity = 4180.0;

inline bool snowEnergyBalanceMethod(int m) { return m == 5 || m == 6 || m == 7 || m == 11; }
inline bool snowSlideMethod(int m) {
  return m == 6 || m == 7 || m == 8 || m == 9 || m == 12 || m == 14;
}
inline bool snowDepositionMethod(int m) {
  return m == 7 || m == 9 || m == 10 || m == 11 || m == 13 || m == 14;
}
inline bool snowWindMethod(int m) { return !(m == 1 || m == 8 || m == 9 || m == 10); }
inline bool snowDegreeDayMethod(int m) { return m == 1 || m == 8 || m == 9 || m == 10; }
inline bool snowWindDegreeDayMethod(int m) { return m == 2 || m == 12 || m == 13 || m == 14; }
inline bool snowCombinationMethod(int m) { return m == 3 || m == 4; }

// Solid share of precipitation at t: 1 up to t0r - halfWidth, 0 above
// t0r + halfWidth, linear between.
double snowFractionOf(double t, double t0r, double halfWidth);
// min + (max - min) exp(k age), k -0.12 per day at or below 0 degrees C and
// -0.05 above.
double snowAlbedo(double minimum, double maximum, double ageDays, double t);
// mean + amplitude sin((d - 80) 2 pi / 365) with d the day of the year
// (31-day January, 28-day February, ... from the month-length table).
double seasonalSine(double mean, double amplitude, long day, long month, const int monthDays[12]);
// Over ice, hPa, Magnus form with the ice coefficients.
double iceSaturationVapourPressure(double t);
// Over snow (t at or below 0 degrees C) or water, hPa.
double snowSaturationVapourPressure(double t);
// Air pressure (hPa) of the standard atmosphere at an elevation in m.
double standardPressure(double elevation);
// The wet-bulb temperature (degrees C) of air at t with vapour pressure e
// (hPa) and pressure p (hPa): a search from the dew point that halves its
// step whenever it turns, at most 15 steps, until a step is 0.025 K or less.
double snowWetBulbTemperature(double t, double e, double pressure);

// The atmosphere above one cell in one part of a step, as the energy
// balance of the snow surface sees it; fluxes in W/m^2.
struct SnowAir {
  double tk = 0.0;           // air temperature, K
  double e = 0.0;            // vapour pressure, hPa
  double longwaveIn = 0.0;   // incoming long-wave radiation
  double windFunction = 0.0; // F = 0.18 + 0.098 u
  double shortwave = 0.0;    // absorbed short-wave radiation
  double advected = 0.0;     // heat brought by rain and snow, plus 1
  double lwOutCorrection = 1.0;
};

// Long-wave radiation from the sky: Brunt's emissivity with cloud cover.
double skyLongwave(double tk, double e, double cloudiness, bool precipitating, double correction);
// Latent heat flux into a surface at ts (K).
double latentFlux(const SnowAir& air, double ts);
// The energy balance of a surface at ts (K), without scaling.
double surfaceBalance(const SnowAir& air, double ts);

// Surface temperature that closes the energy balance of a cold snow pack,
// by a bracketing search from start (K) with steps of 10 K at first; stops
// when |Q| <= 0.25 W/m^2, after 151 evaluations, or after the first one
// when stopAfterFirst.
struct SurfaceIteration {
  double ts = 0.0;
  double q = 0.0;
  int iterations = 0;
};
SurfaceIteration iterateSurfaceTemperature(const SnowAir& air, double start, bool stopAfterFirst);
