// Snow of one cell in one part of a step: rain/snow split, accumulation,
// and melt by degree days, wind, the combination formula or the energy
// balance of the pack.
#include <algorithm>
#include <cmath>

#include "snow/schneemodellklasse.h"

double schneemodellklasse::computeSnowCell(long r, long c, double t, double f, double unload,
                                           double& snowFraction, double& s, double& w,
                                           double& total, double& tsn, double& ts,
                                           double& evaporation, double& energyBalance,
                                           bool onGlacier) {
  const double nodata = header.nodata;
  const double n = stepsPerDay;
  double p = precipitation[r][c];
  double snowfall = 0.0;
  double rainfall = 0.0;
  if (!onGlacier) {
    const Fall fall = splitFall(r, c, t, p);
    if (isDeposition()) own(depositedSnowGrid)[r][c] += f * fall.deposited;
    p += fall.deposited;
    snowfall = fall.snow + unload;
    rainfall = fall.rain;
    // Both parts of a long step add their share of what fell.
    own(snowFractionGrid)[r][c] += f * snowfall;
    own(rainFractionGrid)[r][c] += f * rainfall;
    snowFraction = fall.fraction;
  } else {
    // No canopy stands on the glacier's part: its pack takes what falls in
    // the open, none of the canopy's unloading, in the step's totals as
    // the pack beside it.
    p = glacierFall(r, c);
    const Fall fall = stepFall(r, c, p);
    snowfall = fall.snow;
    rainfall = fall.rain;
    if (own(glacierPrecipitationGrid)) own(glacierPrecipitationGrid)[r][c] = snowfall + rainfall;
  }

  s += f * snowfall;
  w += f * rainfall;
  total = s + w;
  if (snowfall > 0.0) transferLayeredSnow(r, c, onGlacier, f, snowfall, t);

  const bool balance = isEnergyBalance();
  if (balance) {
    const double tk = t + snowMeltPointK;
    if (ts == nodata || ts == 0.0) ts = tk - 3.0;
    if (observedSurfaceTemperature) {
      const double observed = observedSurfaceTemperature[r][c];
      ts = observed < 100.0 ? observed + snowMeltPointK : observed;
    }
    ts = std::min(ts, snowMeltPointK);
    if (tsn == nodata || tsn == 0.0) tsn = std::min(tk, snowMeltPointK);
  }

  double melt = 0.0;
  if (t > t0) {
    if (!(s > 0.0)) {
      ts = tsn = nodata;
      return 0.0;
    }
    if (snowDegreeDayMethod(method)) {
      melt = (t - t0) * factors.ddf / n;
    } else if (snowWindDegreeDayMethod(method)) {
      melt = (factors.c1 * wind[r][c] + factors.c0) * (t - t0) / n;
    } else if (snowCombinationMethod(method)) {
      if (p > 2.4 / n) { // rain on snow
        const double k = factors.c1 * wind[r][c] + factors.c0;
        const double e = method == 3 ? saturationVapourPressureIce(t) : vapourPressure[r][c];
        melt = k * t / n + 0.6 * t / n + k * (e - 6.11) / (0.662 * n) + 0.006 * p * t;
      } else {
        const double rc =
            radiationCorrectionGrid ? (radiationCorrectionGrid[r][c] + 1.0) / 2.0 : 1.0;
        melt = (t - t0) * rc * factors.rmf / n;
      }
    } else if (balance) {
      melt = warmPack(r, c, t, f, p, snowfall, rainfall, s, w, total, tsn, ts, evaporation,
                      energyBalance, onGlacier);
    }
    return melt * f;
  }

  if (snowCombinationMethod(method)) {
    const double refreezing = std::fabs(crfr * factors.rmf * (t - t0) / n) * f;
    const double frozen = std::min(w, refreezing);
    w -= frozen;
    s += frozen;
    total = s + w;
    transferLayeredSnow(r, c, onGlacier || snowLayerHeat, 1.0, frozen, t);
  } else if (balance) {
    coldPack(r, c, t, f, p, snowfall, rainfall, s, w, total, tsn, ts, evaporation, energyBalance,
             onGlacier);
  }
  return 0.0;
}

SnowAir schneemodellklasse::airOf(long r, long c, double t, double p, double snowfall,
                                  double rainfall) const {
  SnowAir air;
  air.tk = t + snowMeltPointK;
  air.e = snowSaturationVapourPressure(t) * humidity[r][c];
  air.longwaveIn = skyLongwave(air.tk, air.e, cloudiness[r][c], p != 0.0, lwInCorrection);
  if (canopyLongwave && lwInCorrection * canopyLongwave[r][c] > 0.0)
    air.longwaveIn = lwInCorrection * canopyLongwave[r][c];
  air.windFunction = 0.18 + 0.098 * wind[r][c];
  const double seconds = 60.0 * timeStepMinutes;
  air.shortwave = (1.0 - albedo[r][c]) * radiation[r][c] * 60.0 / timeStepMinutes;
  air.advected = (air.tk - snowMeltPointK) *
                     (waterHeatCapacity * rainfall + iceHeatCapacity * snowfall) / seconds +
                 1.0;
  air.lwOutCorrection = lwOutCorrection;
  return air;
}

// Air above 0 degrees C: the pack warms by the balance of the step unless
// the wet bulb lies at or below 0, when the energy sublimates instead.
double schneemodellklasse::warmPack(long r, long c, double t, double f, double p, double snowfall,
                                    double rainfall, double& s, double& w, double& total,
                                    double& tsn, double& ts, double& evaporation,
                                    double& energyBalance, bool onGlacier) {
  const SnowAir air = airOf(r, c, t, p, snowfall, rainfall);
  const double seconds = 60.0 * timeStepMinutes;
  const bool layersKeepHeat = layeredSnow && snowLayerHeat && !onGlacier;
  const double latent = air.windFunction * 32.82 * (air.e - 6.1071);
  const double sensible = air.windFunction * 18.85 * (air.tk - ts);
  double sublimation = latent * seconds * f / sublimationHeat;
  double q = (air.shortwave + air.longwaveIn - lwOutCorrection * stefanBoltzmann * std::pow(ts, 4) +
              sensible + latent + air.advected) *
             enBalScaling;
  // The whole step warms the pack; the caller takes the part f of the melt.
  double warmed = tsn;
  if (!layersKeepHeat && q > 0.0 && (s > 0.0 || w > 0.0))
    warmed += seconds * q / (iceHeatCapacity * s + waterHeatCapacity * w);
  double melt = 0.0;
  if (snowWetBulbTemperature(t, air.e, standardPressure(elevation[r][c])) <= 0.0) {
    sublimation -= f * seconds * q / sublimationHeat;
    q = 0.0;
  } else if (!layersKeepHeat) {
    melt = std::max(0.0, (warmed - snowMeltPointK) * iceHeatCapacity * s / fusionHeat);
  }
  if (!layersKeepHeat) tsn = snowMeltPointK;
  if (sublimation < 0.0) {
    sublimation = std::max(sublimation, -s);
    s += sublimation;
    total = s + w;
    evaporation -= sublimation;
    transferLayeredSnow(r, c, onGlacier, 1.0, sublimation, t);
  }
  if (total <= 0.0) tsn = ts = header.nodata;
  energyBalance = q;
  return melt;
}

// Air at or below the melt threshold: the surface temperature closes the
// balance, the pack follows it, sublimates and refreezes its water.
void schneemodellklasse::coldPack(long r, long c, double t, double f, double p, double snowfall,
                                  double rainfall, double& s, double& w, double& total, double& tsn,
                                  double& ts, double& evaporation, double& energyBalance,
                                  bool onGlacier) {
  const double nodata = header.nodata;
  if (!(s > 0.0)) {
    ts = tsn = nodata;
    return;
  }
  const SnowAir air = airOf(r, c, t, p, snowfall, rainfall);
  const double seconds = 60.0 * timeStepMinutes;
  const bool layersKeepHeat = layeredSnow && snowLayerHeat && !onGlacier;
  const bool observed = observedSurfaceTemperature != nullptr;
  double start = ts;
  if (w > 0.0 || air.tk > snowMeltPointK + 2.0)
    start = snowMeltPointK;
  else if (!observed)
    start = air.tk - 2.0;
  const SurfaceIteration it =
      iterateSurfaceTemperature(air, start, (w > 0.0 && !layersKeepHeat) || observed);
  ts = it.ts;
  double latent = latentFlux(air, ts);
  energyBalance = 0.0;
  if (!observed) {
    if (air.tk - ts > 13.0) {
      ts = air.tk - 13.0;
      latent = latentFlux(air, ts);
    }
    if (ts > snowMeltPointK) {
      ts = snowMeltPointK;
      latent = air.windFunction * 32.82 * (air.e - 6.1071);
    }
  }
  const double x = tsn + 0.3 * (ts - tsn) * (2.0 * 0.3 * seconds * f * 1000.0) /
                             (iceHeatCapacity * total * total);
  tsn = tsn < ts ? std::min(ts, x) : std::max(ts, x);
  tsn = std::min(tsn, snowMeltPointK);

  double sublimation = seconds * latent / sublimationHeat * f;
  sublimation = std::max(sublimation, -s);
  s += sublimation;
  if (sublimation != 0.0) transferLayeredSnow(r, c, onGlacier, 1.0, sublimation, t);

  if (!layersKeepHeat) {
    const double refreezing = -it.q * f * seconds / fusionHeat;
    if (refreezing > 0.0 && w > 0.0) {
      double frozen = refreezing;
      if (refreezing > w) {
        frozen = w;
        const double warmed = tsn + w * fusionHeat / (iceHeatCapacity * (w + s));
        tsn = std::max(ts - 3.0, std::min(snowMeltPointK, warmed));
      }
      w -= frozen;
      s += frozen;
      transferLayeredSnow(r, c, onGlacier || snowLayerHeat, 1.0, frozen, t);
    }
  }
  total = s + w;
  evaporation -= sublimation;
  if (total <= 0.0) tsn = ts = nodata;
}

schneemodellklasse::Fall schneemodellklasse::splitFall(long r, long c, double t, double p) const {
  double fraction = snowFractionOf(t, t0r, transzone);
  if (lakeFlag != 0 && lakeCodes[r][c] > 0.0 && pondGrid[r][c] > 0.0) fraction = 0.0;
  Fall fall{fraction, fraction * p, (1.0 - fraction) * p, 0.0};
  if (isDeposition()) {
    const double d = depositionIndex[r][c] != header.nodata ? depositionIndex[r][c] : 0.0;
    fall.deposited = d * fall.snow;
    fall.snow *= 1.0 + d;
  }
  return fall;
}

schneemodellklasse::Fall schneemodellklasse::stepFall(long r, long c, double p) const {
  if (!(timeStepMinutes > 720.0)) return splitFall(r, c, temperature[r][c], p);
  const Fall night = splitFall(r, c, temperatureNight[r][c], p);
  const Fall day = splitFall(r, c, temperature[r][c], p);
  return {0.0, partNight * night.snow + partDay * day.snow,
          partNight * night.rain + partDay * day.rain, 0.0};
}

// The sprinklers water the fields beside the glacier, not the glacier.
double schneemodellklasse::glacierFall(long r, long c) const {
  const double p = openPrecipitation[r][c];
  if (!irrigationAmounts || irrigationAmounts[r][c] == header.nodata) return p;
  return p - irrigationAmounts[r][c];
}
