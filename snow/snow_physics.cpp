#include "snow/snow_physics.h"

#include <cmath>

namespace {

constexpr double yearFrequency = 0.017214206; // 2 pi / 365
constexpr double springDay = 80.0;

} // namespace

double snowFractionOf(double t, double t0r, double halfWidth) {
  if (t <= t0r - halfWidth) return 1.0;
  if (t > t0r + halfWidth) return 0.0;
  return (t0r + halfWidth - t) / (2.0 * halfWidth);
}

double snowAlbedo(double minimum, double maximum, double ageDays, double t) {
  const double k = t <= 0.0 ? -0.12 : -0.05;
  return minimum + (maximum - minimum) * std::exp(k * ageDays);
}

double seasonalSine(double mean, double amplitude, long day, long month, const int monthDays[12]) {
  double d = static_cast<double>(day);
  for (long m = 1; m < month && m <= 12; ++m) d += monthDays[m - 1];
  return mean + amplitude * std::sin((d - springDay) * yearFrequency);
}

double iceSaturationVapourPressure(double t) { return 6.1078 * std::exp(21.874 * t / (t + 265.5)); }

double snowSaturationVapourPressure(double t) {
  if (t + snowMeltPointK <= snowMeltPointK) return 6.1071 * std::exp(22.4429 * t / (t + 172.44));
  return 6.1078 * std::exp(17.08085 * t / (t + 234.175));
}

double standardPressure(double elevation) {
  return 1013.25 * std::pow(1.0 - 0.0065 * elevation / 288.15, 5.255);
}

double snowWetBulbTemperature(double t, double e, double p) {
  const double q = 0.622 * e / (p - e);
  const double l = std::log(q * p / ((q + 0.622) * 6.112));
  const double dewPoint = 272.62 * l / (22.46 - l);
  double tw = (dewPoint + 2.0 * t) / 3.0;
  double d = (t + tw) / 2.0;
  for (int update = 0; update < 15; ++update) {
    const double psychrometric = 6.1115 * std::exp(22.46 * tw / (tw + 272.62)) -
                                 0.00066 * p * (t - tw) * (1.0 + 0.00115 * tw);
    // Too warm when the air holds less vapour than the wet bulb would give.
    const double direction = e < psychrometric ? -1.0 : 1.0;
    const bool turns = (d < 0.0) != (direction < 0.0);
    d = direction * std::fabs(d) * (turns ? 0.5 : 1.0);
    tw += d;
    if (std::fabs(d) <= 0.025) break;
  }
  return tw;
}

double skyLongwave(double tk, double e, double cloudiness, bool precipitating, double correction) {
  double k = 0.24;
  if (!precipitating) k = cloudiness <= 0.2 ? 0.08 : (cloudiness < 0.6 ? 0.17 : 0.2);
  return correction * stefanBoltzmann * std::pow(tk, 4) * (0.61 + 0.05 * std::sqrt(e)) *
         (1.0 + k * cloudiness * cloudiness);
}

double latentFlux(const SnowAir& air, double ts) {
  const double tc = ts - snowMeltPointK;
  return air.windFunction * 32.82 * (air.e - 6.1071 * std::exp(22.4429 * tc / (tc + 172.44)));
}

double surfaceBalance(const SnowAir& air, double ts) {
  return air.shortwave + air.longwaveIn - air.lwOutCorrection * stefanBoltzmann * std::pow(ts, 4) +
         air.windFunction * 18.85 * (air.tk - ts) + latentFlux(air, ts) + air.advected;
}

SurfaceIteration iterateSurfaceTemperature(const SnowAir& air, double start, bool stopAfterFirst) {
  SurfaceIteration it;
  it.ts = start;
  double d = -10.0;
  double before = 0.0;
  bool bracketed = false;
  for (it.iterations = 1;; ++it.iterations) {
    it.q = surfaceBalance(air, it.ts);
    if (std::fabs(it.q) <= 0.25 || it.iterations == 151 || stopAfterFirst) break;
    double factor = 1.0;
    const bool crossed = before > 0.0 ? it.q < 0.0 : (it.q >= 0.0 && it.iterations > 1);
    if (crossed) {
      const double r = std::fabs(it.q / (it.q - before));
      factor = r >= 1.0 ? -0.5 : -r;
      bracketed = true;
    } else if (it.q >= 0.0 && before <= 0.0) {
      factor = bracketed ? -0.5 : -1.0; // the first evaluation is too cold
    } else {
      factor = bracketed ? 0.5 : 1.0;
    }
    d *= factor;
    it.ts += d;
    before = it.q;
  }
  return it;
}
