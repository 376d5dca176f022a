// Canopy snow and the canopy energy balance.
#include "vertical/snow_canopy.h"

#include <algorithm>
#include <cmath>

namespace {

using S = SnowCanopyState;

constexpr double stefanBoltzmann = 5.67e-8;
constexpr double freezing = 273.15; // where the Magnus form changes phase
constexpr double meltPoint = 273.16;
constexpr double extinction = 0.41; // the canopy's radiation extinction per unit LAI
constexpr double logOfReference = 6.214608098422191; // ln(500), the log profile's scale
constexpr double secondsPerDay = 86400.0;

double magnusExponent(double t) {
  const double c = t - freezing;
  return t >= freezing ? 17.62 * c / (243.12 + c) : 22.46 * c / (272.62 + c);
}

double canopyCover(double lai) { return 1.0 - std::exp(-extinction * lai); }

// The record's defaults, in field order.
constexpr double defaults[S::fieldCount] = {
    273.16, 1.257, 101300.0, 1005.0, 273.16, 0.0, 90.0,    0.0,    0.0,    0.0,    // 0 .. 9
    0.0,    0.0,   316.0,    0.0,    3600.0, 0.0, 0.1,     0.7,    0.3,    0.1,    // 10 .. 19
    4.0,    1.0,   10.0,     0.025,  0.005,  0.2, 0.0,     0.0,    0.0,    0.0,    // 20 .. 29
    0.0,    0.0,   0.1,      0.0,    0.0,    0.0, 0.75,    273.16, 273.16, 273.15, // 30 .. 39
    0.0,    0.0,   0.0,      272.16, 0.0,    0.0, 0.0,     0.0,    2.0,    0.0,    // 40 .. 49
    0.0,    0.0,   0.0,      0.0,    0.0,    0.0, -2000.0, 0.0};                   // 50 .. 57

} // namespace

SnowCanopyState::SnowCanopyState() { std::copy(defaults, defaults + fieldCount, value); }

double magnusVapourPressure(double t) { return 6.112 * std::exp(magnusExponent(t)); }

void splitRainSnow(double& snow, double& rain, double celsius, double threshold, double halfWidth,
                   double precipitation) {
  double f = 0.0;
  if (celsius <= threshold - halfWidth)
    f = 1.0;
  else if (celsius <= threshold + halfWidth)
    f = (threshold + halfWidth - celsius) / (2.0 * halfWidth);
  snow = f * precipitation;
  rain = (1.0 - f) * precipitation;
}

double vapourPressure(double t, double humidity) {
  return magnusVapourPressure(t) * humidity / 100.0;
}

// Cools in steps of 0.1 K until the psychrometric balance tips; air too dry
// to reach it within 14.9 K keeps its temperature.
double wetBulbTemperature(double t, double humidity, double z) {
  const double actual = vapourPressure(t, humidity);
  const double gamma = 0.67 * 1013.25 * std::exp(-0.0001184 * z) / 1007.0;
  double wet = t;
  for (int i = 0; i < 149; ++i) {
    wet -= 0.1;
    if (actual - (magnusVapourPressure(wet) - gamma * (t - wet)) >= 0.0) return wet;
  }
  return t;
}

void splitRainSnowWetBulb(double& snow, double& rain, double t, double humidity,
                          double precipitation, double z) {
  const bool solid =
      precipitation > 0.0 && wetBulbTemperature(t, humidity, z) < 275.16 && t < 276.16;
  snow = solid ? precipitation : 0.0;
  rain = solid ? 0.0 : precipitation;
}

void ageSnowAlbedo(double& albedo, double& age, double minimum, double increment, double thawRate,
                   double freezeRate, double snowfall, double t, double dt) {
  if (snowfall / dt > 0.0001389) {
    albedo = minimum + increment;
    age = 0.0;
  } else if (albedo > minimum && age > 0.0) {
    const double rate = t >= meltPoint ? thawRate : freezeRate;
    albedo = minimum + (albedo - minimum) * std::exp(-rate * dt / secondsPerDay);
  }
  age += dt / secondsPerDay;
}

double canopySnowMelt(double dt, double t, double albedo, double shortwave1, double shortwave2,
                      double temperatureFactor, double radiationFactor) {
  return (temperatureFactor / 3600.0 * (t - meltPoint) +
          radiationFactor / 3600.0 * (1.0 - albedo) * (shortwave1 + shortwave2)) *
         dt;
}

double incomingLongwave(double t, double humidity, double precipitation, double cloudCover) {
  double k = 0.24;
  if (precipitation == 0.0) k = cloudCover <= 0.2 ? 0.08 : cloudCover < 0.6 ? 0.17 : 0.2;
  const double e = vapourPressure(t, humidity);
  return stefanBoltzmann * std::pow(t, 4) * (0.61 + 0.05 * std::sqrt(e)) *
         (1.0 + k * cloudCover * cloudCover);
}

double canopyShortwaveAbsorbed(double lai, double shortwave, double canopyAlbedo,
                               double groundAlbedo) {
  const double a = canopyCover(lai);
  return (1.0 - canopyAlbedo) * shortwave * a *
         (1.0 + (1.0 - a) * groundAlbedo / (1.0 - a * canopyAlbedo * groundAlbedo));
}

double canopyLongwaveNet(double lai, double groundT, double canopyT, double longwaveIn) {
  const double ground = groundT == -9999.0 ? meltPoint : groundT;
  return canopyCover(lai) *
         (stefanBoltzmann * std::pow(ground, 4) + longwaveIn - 1.134e-7 * std::pow(canopyT, 4));
}

double frictionVelocity(double u) { return 0.4 * u / logOfReference; }
double displacementHeight(double h) { return 0.67 * h; }
double roughnessMomentum(double h) { return 0.136 * h; }
double roughnessLength(double h) { return 0.123 * h; }
double roughnessHeat(double h) { return 0.136 * 0.1 * h; }

double windAtCanopy(double u, double h) {
  return u / logOfReference * std::log((h - 0.67 * h) / 0.005);
}

double aerodynamicResistance(double h, double u) {
  const double wind = u == 0.0 ? 0.01 : u;
  const double profile = std::log((15.0 - 0.67 * h) / (0.123 * h));
  return profile * profile / (0.16 * wind);
}

double stabilityNeutral() { return 1.0; }

double combinedResistance(double ra, double rb) { return 1.0 / (1.0 / rb + 0.0 * (1.0 / ra)); }

double bulkRichardson(double t0, double t1, double u, double z) {
  return 19.62 / (t0 + t1) * z * (t1 - t0) / (u * u);
}

double neutralExchange(double h) {
  const double profile = std::log(15.0 / (0.123 * h));
  return 0.16 / (profile * profile);
}

// Stable air (Ri > 0) damps the exchange to nothing at the critical
// Richardson number 0.2 and beyond; the square of 1 - 5 Ri would rise
// again past it.
double stableExchange(double t0, double t1, double u, double h) {
  const double neutral = neutralExchange(h);
  if (std::fabs(t1 - t0) < 0.1) return neutral;
  const double ri = bulkRichardson(t0, t1, u, h);
  if (t1 < t0) return neutral * std::pow(1.0 - 16.0 * ri, 0.75);
  const double damping = std::max(0.0, 1.0 - 5.0 * ri);
  return neutral * damping * damping;
}

double sensibleHeatFlux(double h, double density, double heatCapacity, double t0, double t1,
                        double u) {
  return density * heatCapacity * (t0 - t1) / aerodynamicResistance(h, u);
}

// The standard atmosphere: 1013.25 hPa at sea level.
double airPressure(double z, double t) { return 101325.0 * std::pow(1.0 - 0.0065 * z / t, 5.255); }

// A vapour flux from ice sublimates: fusion and vaporisation together.
double latentHeat(double t) { return t < freezing ? 2.834e6 : 2257000.0; }

double latentHeatFlux(double airT, double gasConstant, double canopyT, double humidity, double r1,
                      double r2, double, double, double, double) {
  const double r = combinedResistance(r1, r2);
  const double saturated = 611.2 * std::exp(magnusExponent(canopyT));
  const double actual = 611.2 * std::exp(magnusExponent(airT)) * humidity / 100.0;
  return latentHeat(canopyT) * 0.622 / (gasConstant * airT * r) * (saturated - actual);
}

double interceptedHeatFlux(double t0, double t1, double water, double ice, double depth, double,
                           double rb) {
  return ((water / depth) * 4180.0 + (ice / depth) * 2100.0) * (t0 - t1) / rb;
}

double canopyHeatStorage(double canopyT, double previousT, double lai, double h, double dt) {
  return (0.001 * lai * 900.0 * 2800.0 + 0.0015 * h * 900.0 * 2800.0) * (canopyT - previousT) / dt;
}

double maxOf(double a, double b) { return a > b ? a : b; }
double minOf(double a, double b) { return a < b ? a : b; }

int computeSnowCanopy(SnowCanopyState& s) {
  ageSnowAlbedo(s[S::snowAlbedo], s[S::snowAge], s[S::minimumSnowAlbedo], s[S::freshSnowAlbedo],
                s[S::albedoDecayThawing], s[S::albedoDecayFreezing], s[S::snowfall],
                s[S::airTemperature], s[S::timeStep]);
  const double lai = s[S::leafAreaIndex];
  const double above = s[S::shortwave];
  s[S::shortwave] = std::exp(-extinction * lai) * above;
  const double closure = std::clamp(0.55 + 0.29 * std::log(lai), 0.0, 1.0);

  const double sky = incomingLongwave(s[S::airTemperature], s[S::relativeHumidity],
                                      s[S::precipitation], s[S::cloudiness]);
  s[S::longwave] =
      (1.0 - closure) * sky + closure * stefanBoltzmann * std::pow(s[S::airTemperature], 4);

  s[S::windAbove] = s[S::windSpeed];
  const double h = s[S::canopyHeight];
  s[S::windSpeed] *= std::exp(-0.9 * lai * (1.0 - 0.6 * h / h));
  const double reynolds = std::clamp(s[S::windSpeed] * 0.001 / 1.3e-5, 0.7, 10.0);

  s[S::humidityAbove] = s[S::relativeHumidity];
  s[S::relativeHumidity] = std::min(100.0, s[S::relativeHumidity] * (1.0 + 0.1 * closure));

  const double t = s[S::airTemperature];
  const double daily = s[S::dailyMeanTemperature];
  s[S::airTemperatureAbove] = t;
  s[S::airTemperature] = t - closure * (t - (daily + 0.8 * (t - daily) - s[S::temperatureOffset]));

  const double maximum = 4.4 * lai;
  const double before = s[S::loadBefore];
  double load = before + 0.7 * (maximum - before) * (1.0 - std::exp(-s[S::snowfall] / maximum));
  s[S::loadAfter] = load;
  const double intercepted = load - before;

  if (load > 0.0) {
    const double tc = s[S::airTemperature];
    const double sherwood = 0.606 * std::sqrt(reynolds) + 1.79;
    const double omega = (51067.355 / (8.313 * tc) - 1.0) / (0.024 * tc * sherwood);
    const double exposure = 0.01 * std::pow(load / maximum, -0.4);
    const double vapourDensity =
        611.15 * std::exp(22.452 * (tc - meltPoint) / (tc - 0.61)) * 0.622 / (287.0 * tc);
    const double diffusivity = 2.06e-5 * std::pow(tc / 273.0, 1.75);
    const double absorbed = (1.0 - s[S::snowAlbedo]) * 7.853975000000001e-7 * above * omega;
    const double rate = ((s[S::relativeHumidity] / 100.0 - 1.0) * 0.00314159 - absorbed) /
                        (2.8355e6 * omega + 1.0 / (diffusivity * vapourDensity * sherwood)) /
                        4.801396716666667e-7;
    const double sublimated = std::min(load, -(load * exposure * rate * s[S::timeStep]));
    const double former = load;
    load -= sublimated;
    s[S::sublimation] = sublimated;
    if (load < 0.0) {
      load = 0.0;
      s[S::sublimation] = former;
    }
  }

  s[S::liquidUnloading] = 0.0;
  s[S::solidUnloading] = 0.0;
  if (s[S::airTemperature] > meltPoint) {
    const double rate =
        s[S::temperatureMeltFactor] / 3600.0 * (s[S::airTemperature] - meltPoint) +
        s[S::radiationMeltFactor] / 3600.0 * (1.0 - s[S::snowAlbedo]) * s[S::shortwave];
    const double melt = rate * std::trunc(s[S::timeStep]);
    // Melt loosens 2.3 times its own mass of snow, which falls with it.
    const double released = std::min(load, 2.3 * melt + melt);
    if (released > 0.0) {
      s[S::relativeHumidity] = 100.0;
      load -= released;
      s[S::liquidUnloading] = 0.30303030303030304 * released;
      s[S::solidUnloading] = 0.6969696969696969 * released;
    }
  }

  s[S::rainfall] += s[S::liquidUnloading];
  s[S::snowfall] = s[S::snowfall] - intercepted + s[S::solidUnloading];
  s[S::loadAfter] = load;
  if (load == 0.0) {
    s[S::snowAge] = 0.0;
    s[S::snowAlbedo] = s[S::minimumSnowAlbedo];
  }
  return 1;
}

double canopyEnergyResidual(SnowCanopyState& s) {
  const double tc = s[S::canopyTemperature];
  const double above = s[S::airTemperatureAbove];
  s[S::longwave] =
      incomingLongwave(above, s[S::humidityAbove], s[S::precipitation], s[S::cloudiness]);
  const double lai = s[S::leafAreaIndex];
  const double shortwave =
      canopyShortwaveAbsorbed(lai, s[S::energyShortwave], s[S::canopyAlbedo], s[S::groundAlbedo]);
  const double ground =
      s[S::groundTemperature] > -9999.0 ? s[S::groundTemperature] : s[S::airTemperature] - 0.5;
  const double longwave = canopyLongwaveNet(lai, ground, tc, s[S::longwave]);
  const double h = s[S::canopyHeight];
  const double sensible = s[S::airDensity] * s[S::airHeatCapacity] * (tc - above) /
                          aerodynamicResistance(h, s[S::windAbove]);
  const double storage =
      canopyHeatStorage(tc, s[S::previousCanopyTemperature], lai, h, s[S::timeStep]);
  return shortwave + longwave - sensible - storage;
}

// A canopy of at most 3 m is not solved for; it takes the temperature of
// the air below it.
int solveCanopyTemperature(SnowCanopyState& s) {
  double low = 240.0;
  double high = 350.0;
  s[S::canopyTemperature] = low;
  const double f1 = canopyEnergyResidual(s);
  s[S::canopyTemperature] = high;
  const double f2 = canopyEnergyResidual(s);
  if (s[S::canopyHeight] > 3.0) {
    double tc = s[S::airTemperature];
    double f = 666.0;
    if (f1 * f2 >= 0.0) {
      s[S::canopyTemperature] = tc;
      canopyEnergyResidual(s);
    } else {
      for (int i = 0; i < 300; ++i) {
        tc = 0.5 * (low + high);
        s[S::canopyTemperature] = tc;
        f = canopyEnergyResidual(s);
        if (std::fabs(f) < 1.0) break;
        if (f * f1 < 0.0)
          high = tc;
        else
          low = tc;
        if (high - low <= 1e-8) break;
      }
    }
    s[S::canopyTemperature] = tc;
    s[S::energyResidual] = f;
    s[S::canopyMinusAir] = tc - s[S::airTemperatureAbove];
  } else {
    s[S::canopyTemperature] = s[S::airTemperature];
  }
  const double closure = std::clamp(0.35 + 0.29 * std::log(s[S::leafAreaIndex]), 0.0, 1.0);
  s[S::longwave] = (1.0 - closure) * s[S::longwave] +
                   closure * 5.5565999999999996e-8 * std::pow(s[S::canopyTemperature], 4);
  return 1;
}
