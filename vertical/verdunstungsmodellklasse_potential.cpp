// The potential evapotranspiration of a step: the radiation of every cell
// (clear-sky radiation, sunshine, cloudiness) and the potentials by
// Penman-Monteith per vegetation layer, or by Hamon, Wendling or Haude.
#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "vertical/verdunstungsmodellklasse.h"

namespace {

constexpr double pi = 3.14159265359;
constexpr double solarConstant = 1367.0;    // W/m2
constexpr double lowestSunCosine = 0.017;   // below, the sun gives no direct beam
constexpr double highestRadiation = 1260.0; // Wh/m2 per hour of daylight
constexpr double dayLimit = 0.05;           // daylight fraction of a step with a sunshine period

// Penman-Monteith: pressure, longwave balance, latent heat, the slope of the
// saturation curve over the psychrometric constant, resistances.
constexpr double standardPressure = 1013.0; // hPa
constexpr double barometricSlope = 29.33;   // p = 1013 exp(-z / (29.33 T + 7991))
constexpr double barometricOffset = 7991.0;
constexpr double kelvin = 273.15;
constexpr double stefanBoltzmann = 5.67e-8;
constexpr double emissivityOffset = 0.48; // 0.48 - 0.065 sqrt(e)
constexpr double emissivitySlope = 0.065;
constexpr double latentHeat = 694.67; // Wh/m2 per mm: 694.67 - 0.6589 T
constexpr double latentHeatSlope = 0.6589;
constexpr double netRadiationShare = 0.9;
constexpr double magnusOffset = 237.3;
constexpr double saturationSlope = 25029.0;
constexpr double magnusFactor = 17.26;
constexpr double psychrometric = 1.6158; // 1.6158 p / (2500.8 - 2.372 T)
constexpr double vaporizationOffset = 2500.8;
constexpr double vaporizationSlope = 2.372;
constexpr double roughRa = 25.0; // ra above roughness lengths of 2 m
constexpr double windFactor = 0.54;
constexpr double referenceHeight = 20.0; // m
constexpr double smoothRa = 4.72;
constexpr double roughestSmooth = 2.0;
constexpr double nightConductance = 0.0004;
constexpr double lightShare = 0.6;
constexpr double aerodynamicFactor = 0.216876;
constexpr double dryResistance = 2500.0; // s/m of a canopy without leaves
constexpr double defaultExtinction = 0.3;
constexpr double defaultLeafAreaScale = 10.0;
constexpr double smallestPart = 0.01;

double cubic(const double (&a)[4], double x) { return a[0] + x * (a[1] + x * (a[2] + x * a[3])); }

} // namespace

double verdunstungsmodellklasse::saturationVapourPressure(double t) const {
  return 6.1078 * std::exp(17.269 * t / (t + 237.3));
}

void verdunstungsmodellklasse::computePotentialEvapotranspiration(long minute, long hour, long day,
                                                                  long month, long year) {
  if (flowControl == 0) return;
  reportModelTime(minute, hour, day, month, year, "pot. evaptranspir.");
  dayOfYear = static_cast<int>(day);
  for (long m = 1; m < month && m <= 12; ++m) dayOfYear += monthDays[m - 1];
  for (int k = 0; k <= layers; ++k) {
    etpSeries[k].statistic->resetZones();
    eipSeries[k].statistic->resetZones();
  }
  for (Series* s : {&evapSeries, &radiationSeries, &cloudinessSeries}) s->statistic->resetZones();

  daylightInStep();
  prepareDaylight(day, month);
  if (timeStepMinutes < 720.0) advanceSunshinePeriod();
  const double days = monthDays[month - 1];
  if (method == 2)
    hamonPEC = day < 16 ? interpolateLinear(-15.0, pec[month - 1], 15.0, pec[month], day)
                        : interpolateLinear(16.0, pec[month], days + 16.0, pec[month + 1], day);
  if (method == 1 && timeStepMinutes > 720.0) {
    dayAmplitude =
        day > 15 ? interpolateLinear(16.0, amplitude[month], days + 15.0, amplitude[month + 1], day)
                 : interpolateLinear(-15.5, amplitude[month - 1], 15.0, amplitude[month], day);
    annualTerm = annualVariability * std::cos(2.0 * pi * dayOfYear / 365.0);
  }

  cells.forEach([&](long r, long c) { computeCell(r, c); },
                [&](long r, long c) { setNodata(r, c); });

  std::vector<Grid> copied = {potentialEvaporation.grid, correctedRadiation.grid, cloudiness.grid};
  for (int k = 0; k <= layers; ++k)
    copied.insert(copied.end(), {potentialTranspiration[k].grid, potentialInterception[k].grid});
  copyFromMasterCells(copied);
  addPotentialStatistics();

  std::vector<Series*> stored;
  for (int k = 0; k <= layers; ++k) stored.insert(stored.end(), {&etpSeries[k], &eipSeries[k]});
  stored.insert(stored.end(), {&evapSeries, &radiationSeries, &cloudinessSeries});
  book.storeSteps(stored, currentDate);
  for (int k = 0; k <= layers; ++k) {
    writeOutputGrids(potentialTranspiration[k].index, 1, 0);
    writeOutputGrids(potentialInterception[k].index, 1, 0);
  }
  writeOutputGrids(potentialEvaporation.index, 1, 0);
  reportFPE(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
            static_cast<int>(hour), fday, fnight, transmissivity, dayAmplitude, method);
}

// The zenith of the sun in the daylight of the step, cut into sub-intervals
// of at most an hour, and the transmissivity of the day. Hamon and Haude
// need no radiation.
void verdunstungsmodellklasse::prepareDaylight(long day, long month) {
  radiationNight = night != 0 || method == 2 || method == 4;
  transmissivity = tau0 + tau1 * std::cos(2.0 * pi * (30.5 * (month - 1) + 10.0 + day) / 365.0);
  sunIntervals = 0;
  if (radiationNight || (radiation && sunshine)) return;
  const double stepHours = timeStepMinutes / 60.0;
  const double daylight = stepHours * fday;
  sunIntervals = std::max(1, static_cast<int>(std::ceil(daylight - 0.001)));
  sunIntervalHours = daylight / sunIntervals;
  const double start = currentDate.hour + currentDate.minute / 60.0 + getMinToIntEndHours() -
                       stepHours + daylightStart;
  for (int i = 1; i <= sunIntervals; ++i) {
    double azimuth = 0.0;
    double elevationAngle = 0.0;
    sunPosition(currentDate.day, currentDate.month, azimuth, elevationAngle, context.latitude,
                context.longitude, start + (i - 0.5) * sunIntervalHours);
    sunCosines[static_cast<size_t>(i)] = std::cos(0.5 * pi - elevationAngle);
  }
}

// "SSDTemp" holds, through a night, the mean relative sunshine duration of
// the daylight period before it: the steps of a period add their sunshine,
// its end divides by their number.
void verdunstungsmodellklasse::advanceSunshinePeriod() {
  Grid memory = sunshineMemory.grid;
  if (fday > dayLimit) {
    if (daylightPeriod) {
      ++daylightSteps;
      return;
    }
    cells.forEach([&](long r, long c) { memory[r][c] = 0.0; });
    daylightPeriod = true;
    daylightSteps = 1;
  } else if (daylightPeriod) {
    const int steps = daylightSteps;
    cells.forEach([&](long r, long c) { memory[r][c] = steps > 0 ? memory[r][c] / steps : 0.5; });
    daylightPeriod = false;
  }
}

void verdunstungsmodellklasse::computeCell(long r, long c) {
  const double t = rewrittenTemperature.grid ? rewrittenTemperature.input(r, c) : temperature[r][c];
  Canopy canopy;
  canopy.albedo = albedo ? (isLakeCell(r, c) ? openWaterAlbedo : albedo[r][c]) : 0.0;
  double x = 0.0;
  if (!radiationNight) {
    radiationOfCell(r, c, t, x, canopy);
  } else {
    correctedRadiation.grid[r][c] = 0.0;
    cloudiness.grid[r][c] = 0.5;
    canopy.sunshine = sunshineMemory.grid[r][c];
    if (radiation)
      canopy.netRadiation =
          rewrittenRadiation.grid ? rewrittenRadiation.input(r, c) : radiation[r][c];
  }
  potentialEvaporation.grid[r][c] = 0.0;
  realEvaporation.grid[r][c] = 0.0;
  snowEvaporation.grid[r][c] = 0.0;
  if (method == 1) {
    penmanMonteithCell(r, c, t, x, canopy);
    return;
  }
  const double etp = empiricalPotential(r, c, t, canopy.albedo);
  const double v = coverage[1][r][c] == header.nodata ? 0.0 : coverage[1][r][c];
  potentialEvaporation.grid[r][c] = (1.0 - v) * etp;
  for (int k = 0; k <= 1; ++k) {
    potentialTranspiration[k].grid[r][c] = etp;
    potentialInterception[k].grid[r][c] = etp;
    realTranspiration[k].grid[r][c] = 0.0;
  }
}

// Relative sunshine s from the ratio of global to clear-sky radiation (or
// given), the global radiation on the cell's slope and the cloudiness; x is
// the ratio of global to clear-sky radiation.
void verdunstungsmodellklasse::radiationOfCell(long r, long c, double t, double& x,
                                               Canopy& canopy) {
  double s = 0.0;
  double clearSky = 0.0; // R0
  const double given = !radiation                ? 0.0
                       : rewrittenRadiation.grid ? rewrittenRadiation.input(r, c)
                                                 : radiation[r][c];
  if ((radiation && sunshine) ||
      sunCosines[static_cast<size_t>(sunIntervals / 2 + 1)] <= lowestSunCosine) {
    if (sunshine) {
      s = sunshine[r][c];
      x = cubic(cr, s);
    }
  } else {
    const double pressure =
        airPressure ? airPressure[r][c]
                    : standardPressure *
                          std::exp(-elevation[r][c] / (barometricSlope * t + barometricOffset));
    // A sub-interval without sun above the horizon adds nothing.
    for (int i = 1; i <= sunIntervals; ++i) {
      const double cosZ = sunCosines[static_cast<size_t>(i)];
      if (cosZ > 0.0)
        clearSky += sunIntervalHours *
                    std::pow(transmissivity, pressure / standardPressure / cosZ) * solarConstant *
                    cosZ;
    }
    if (sunshine) {
      s = sunshine[r][c];
      x = cubic(cr, s);
    } else if (clearSky > 0.0) {
      x = std::clamp(given / clearSky, 0.0, 1.0);
      s = x <= sunshineThreshold ? 0.0 : std::clamp(cubic(cs, x), 0.0, 1.0);
    }
  }

  double corrected = 0.0; // RGc
  const double factor = radiationCorrection ? radiationCorrection[r][c] : 0.0;
  if (!radiation) {
    // Only the direct part is corrected for the slope.
    corrected =
        radiationCorrection ? ((cubic(cr, s) - cr[0]) * factor + cr[0]) * clearSky : x * clearSky;
  } else if (radiationCorrection) {
    corrected = ((1.0 - cr[0]) * s * (factor - 1.0) + 1.0) * given;
    rewrittenRadiation.rewrite(r, c, given, corrected);
  } else {
    corrected = given;
  }
  if (radiation) canopy.netRadiation = radiation[r][c];
  if (timeStepMinutes < 720.0) sunshineMemory.grid[r][c] += s;
  corrected = std::min(corrected, highestRadiation * timeStepMinutes / 60.0 * fday);
  correctedRadiation.grid[r][c] = corrected;
  canopy.sunshine = s;
  canopy.netShortwave = (1.0 - canopy.albedo) * corrected;
  cloudiness.grid[r][c] = x <= 1.0 ? std::min(1.0, 0.997 + 0.4473 * x - 1.4059 * x * x) : 0.0;
}

void verdunstungsmodellklasse::penmanMonteithCell(long r, long c, double t, double x,
                                                  Canopy& canopy) {
  double tNight = nightTemperature[r][c];
  if (rewrittenTemperature.grid) {
    // A day's amplitude: the day part warmer, the night part cooler.
    const double d = dayAmplitude * std::exp(-elevation[r][c] / altitudeScale) * x;
    if (rewrittenNightTemperature.grid) {
      const double tn = rewrittenNightTemperature.input(r, c);
      tNight = tn - (nightShare - annualTerm) * d;
      rewrittenNightTemperature.rewrite(r, c, tn, tNight);
    }
    const double tDay = t + (dayShare + annualTerm) * d;
    rewrittenTemperature.rewrite(r, c, t, tDay);
    t = tDay;
  }
  const double nodata = header.nodata;
  canopy.top = canopy.lowest = 0;
  for (int k = 1; k <= layers; ++k)
    if (landuse[k][r][c] != nodata) {
      if (canopy.top == 0) canopy.top = k;
      canopy.lowest = k;
    }
  double& transpirationSum = potentialTranspiration[0].grid[r][c];
  double& interceptionSum = potentialInterception[0].grid[r][c];
  double& soil = potentialEvaporation.grid[r][c];
  transpirationSum = interceptionSum = realTranspiration[0].grid[r][c] = 0.0;
  for (int k = 1; k <= layers; ++k) {
    if (landuse[k][r][c] == nodata) {
      // Also a layer that land use read anew took away: the soil adds
      // nothing for it, and what it took before must not stay.
      potentialTranspiration[k].grid[r][c] = potentialInterception[k].grid[r][c] =
          realTranspiration[k].grid[r][c] = 0.0;
      continue;
    }
    double transpiration = 0.0;
    double interception = 0.0;
    const std::pair<int, double> parts[] = {{0, fnight}, {1, fday}};
    for (const auto& [part, f] : parts) {
      if (f < smallestPart) continue;
      double soilPart = 0.0;
      double interceptionPart = 0.0;
      transpiration += penmanMonteithLayer(part == 0 ? tNight : t, k, r, c, part, f, canopy,
                                           soilPart, interceptionPart);
      interception += interceptionPart;
      soil += soilPart;
    }
    potentialTranspiration[k].grid[r][c] = std::max(0.0, transpiration);
    potentialInterception[k].grid[r][c] = std::max(0.0, interception);
    realTranspiration[k].grid[r][c] = 0.0;
    transpirationSum += potentialTranspiration[k].grid[r][c];
    interceptionSum += potentialInterception[k].grid[r][c];
    canopy.leafAreaAbove += leafArea[k][r][c];
  }
  // The soil evaporates under the lowest layer only, once.
  transpirationSum += soil;
}

double verdunstungsmodellklasse::penmanMonteithLayer(double t, int k, long r, long c, int part,
                                                     double f, Canopy& canopy,
                                                     double& soilEvaporation,
                                                     double& interceptionEvaporation) const {
  const bool lowest = k == canopy.lowest;
  const bool top = k == canopy.top;
  const bool lake = lowest && isLakeCell(r, c);
  double v = coverage[k][r][c];
  double lai = leafArea[k][r][c];
  double rsc = canopyResistance[k][r][c];
  double z0 = roughness[k][r][c];
  if (lake) {
    v = lai = rsc = 0.0;
    z0 = openWaterRoughness;
  }
  const double pressure =
      airPressure ? airPressure[r][c]
                  : standardPressure *
                        std::exp(-elevation[r][c] / (barometricSlope * t + barometricOffset));
  const double es = saturationVapourPressure(t);
  const double e = vapourPressure ? vapourPressure[r][c] : humidity[r][c] * es;
  const double deficit = std::max(0.0, es - e);
  double extinction = defaultExtinction;
  double leafAreaScale = defaultLeafAreaScale;
  if (layers > 1) {
    const multilayer_landuse_class& type =
        (*context.multilayerTable)[static_cast<size_t>(multilayerType[r][c])];
    extinction = type.getK_extinct();
    leafAreaScale = type.getLAI_scale();
  }

  const double lambda = latentHeat - latentHeatSlope * t;
  double available = canopy.remaining[part]; // Rn (mm)
  if (top) {
    if (netRadiation) {
      available = f * canopy.netRadiation / lambda;
    } else {
      const double longwave = f * timeStepMinutes / 60.0 * stefanBoltzmann *
                              std::pow(t + kelvin, 4) *
                              (emissivityOffset - emissivitySlope * std::sqrt(e)) *
                              (cr[0] + (1.0 - cr[0]) * canopy.sunshine);
      available = part == 1 ? netRadiationShare * (canopy.netShortwave - longwave) / lambda
                            : -longwave / lambda;
    }
  }
  const double canopyEnergy = available * v * (1.0 - std::exp(-extinction * lai)); // Ec
  canopy.remaining[part] = std::max(0.0, available - canopyEnergy);
  const double soilEnergy = canopy.remaining[part]; // Er
  const double slope = saturationSlope * std::exp(magnusFactor * t / (t + magnusOffset)) /
                       std::pow(t + magnusOffset, 2) /
                       (psychrometric * pressure / (vaporizationOffset - vaporizationSlope * t));

  double ra = 0.0;
  if (top) {
    const double u = wind[r][c];
    ra = z0 <= roughestSmooth
             ? smoothRa * std::pow(std::log(referenceHeight / z0), 2) / (1.0 + windFactor * u)
             : roughRa / (1.0 + windFactor * u);
    canopy.topResistance = ra;
  } else {
    ra = canopy.topResistance + leafAreaScale * canopy.leafAreaAbove;
  }
  double rs = 0.0;
  if (lai > 0.0 && v > 0.0 && rsc > 0.0)
    rs = part == 1 || lake ? rsc / (1.0 - std::pow(lightShare, lai * v))
                           : 1.0 / (nightConductance * lai * v);
  else if (!(lai > 0.0 && v > 0.0) && rsc > 0.0)
    rs = dryResistance;
  const double aerodynamic =
      f * timeStepMinutes * 60.0 * aerodynamicFactor * deficit / (t + kelvin) / ra;

  soilEvaporation = 0.0;
  interceptionEvaporation = 0.0;
  if (lake) return (aerodynamic + slope * (canopyEnergy + soilEnergy)) / (slope + 1.0 + rs / ra);
  const double rsi = interceptionResistance[k][r][c];
  interceptionEvaporation = (aerodynamic + slope * canopyEnergy) / (slope + 1.0 + rsi / ra);
  if (lowest)
    soilEvaporation =
        (slope * soilEnergy + aerodynamic) / (slope + 1.0 + evaporationResistance[r][c] / ra);
  return (aerodynamic + slope * canopyEnergy) / (slope + 1.0 + rs / ra);
}

// Hamon, Wendling or Haude: the potential of the step, never below 0.
double verdunstungsmodellklasse::empiricalPotential(long r, long c, double t,
                                                    double cellAlbedo) const {
  const long month = currentDate.month;
  const double share = timeStepMinutes / 1440.0;
  double etp = 0.0;
  if (method == 2) {
    etp =
        2.0 * 0.1651 * hamonPEC * fday * 216.7 * saturationVapourPressure(t) / (t + 273.3) * share;
    const double code = landuse[1][r][c];
    const double factor =
        code == header.nodata
            ? 1.0
            : (*context.landuseTable)[static_cast<size_t>(code)].getETPHamonFactor();
    if (factor != 1.0)
      etp *= factor;
    else if (lakeFlag != 0 && lakeCodes[r][c] != header.nodata && ponding[r][c] > 5.0)
      etp *= hamonCorrectionOpenWater;
  } else if (method == 3) {
    etp = (0.36 * correctedRadiation.grid[r][c] * (1.1 - cellAlbedo) + 93.0 * fk) * (t + 22.0) /
          (150.0 * (t + 123.0)) * share;
  } else {
    const double saturation =
        t >= 0.0 ? std::exp(17.62 * t / (243.12 + t)) : std::exp(22.46 * t / (272.46 + t));
    const double dryness =
        humidity ? 1.0 - humidity[r][c]
                 : 1.0 - std::clamp(vapourPressure[r][c] / (6.11 * saturation), 0.0, 1.0);
    etp = std::min(7.0, 6.11 * saturation * fh[month] * dryness) * share;
  }
  return std::max(0.0, etp);
}

void verdunstungsmodellklasse::setNodata(long r, long c) {
  const double nodata = header.nodata;
  for (int k = 0; k <= layers; ++k)
    potentialTranspiration[k].grid[r][c] = potentialInterception[k].grid[r][c] = nodata;
  potentialEvaporation.grid[r][c] = nodata;
}

bool verdunstungsmodellklasse::isLakeCell(long r, long c) const {
  return lakeFlag != 0 && lakeCodes[r][c] > 0.0 && ponding[r][c] > 0.0;
}

// The layers' statistics of Penman-Monteith count a layer the cell does not
// have as 0.
void verdunstungsmodellklasse::addPotentialStatistics() {
  StatisticJobs jobs;
  for (int k = 1; method == 1 && k <= layers; ++k) {
    jobs.push_back({&etpSeries[k], valueOf(potentialTranspiration[k].grid, k)});
    jobs.push_back({&eipSeries[k], valueOf(potentialInterception[k].grid, k)});
  }
  jobs.push_back({&etpSeries[0], valueOf(potentialTranspiration[0].grid)});
  jobs.push_back({&eipSeries[0], valueOf(potentialInterception[0].grid)});
  jobs.push_back({&evapSeries, valueOf(potentialEvaporation.grid)});
  jobs.push_back({&radiationSeries, valueOf(correctedRadiation.grid)});
  jobs.push_back({&cloudinessSeries, valueOf(cloudiness.grid)});
  book.addToSeries(jobs);
}
