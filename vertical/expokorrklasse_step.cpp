// The step of the radiation correction: clear-sky direct radiation summed
// over the sub-intervals of the step on the horizontal and on every slope,
// with the terrain's shadows, and the temperature corrected by their ratio.
#include <mpi.h>

#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "vertical/expokorrklasse.h"
#include "vertical/terrain_shading.h"

namespace {

constexpr double pi = ModelContext::pi;
constexpr double radiansPerDegree = pi / 180.0;
constexpr double solarConstant = 1367.0;      // W/m2
constexpr double transmissivity = 0.86;       // of the clear atmosphere at the zenith
constexpr double lowestSun = 0.017;           // radians of elevation below which no beam counts
constexpr double nightLimit = 0.95;           // night fraction beyond which a sub-interval is night
constexpr double smallestRatio = 0.2;         // ratios below count as this for the temperature
constexpr double logOfSmallestRatio = 1.6094; // -ln(0.2)

// The dark part of one sub-interval [tm - dt/2, tm + dt/2] against the
// day's sunrise and sunset, all in local clock hours of [0, 24).
struct DarkPart {
  double beforeSunrise = 0.0; // hours
  double fraction = 0.0;      // of the sub-interval
  bool night = false;
};

DarkPart darkPart(double tm, double dt, double sunrise, double sunset) {
  // A step that reaches back into the day before lies at negative hours.
  tm -= 24.0 * std::floor(tm / 24.0);
  const double a = tm - dt / 2.0;
  const double b = tm + dt / 2.0;
  DarkPart d;
  if (a <= sunrise && sunrise < b) d.beforeSunrise = sunrise - a;
  double afterSunset = 0.0;
  if (sunrise < sunset) {
    if (sunrise < b && b < sunset)
      afterSunset = 0.0;
    else if (a < sunset && sunset < b)
      afterSunset = b - sunset;
    else
      afterSunset = dt;
  } else if (b < sunset) {
    afterSunset = 0.0;
  } else if (a < sunset) {
    afterSunset = b - sunset;
  } else if (b < sunrise) {
    afterSunset = dt;
  }
  d.fraction = (d.beforeSunrise + afterSunset) / dt;
  if (d.fraction > 1.0) d.fraction -= 1.0;
  if (d.fraction > nightLimit) {
    d.fraction = 1.0;
    d.night = true;
  }
  return d;
}

} // namespace

void expokorrklasse::correctRadiation(long minute, long hour, long day, long month, long year) {
  reportModelTime(minute, hour, day, month, year);
  if (temperatureNight) copyNightTemperature();
  if (flowControl == 0) return;
  const bool computes = stepCounter >= stepsPerComputation;
  if (computes) {
    stepCounter = 1;
    computeCorrection(minute, hour, day, month);
  } else {
    ++stepCounter;
  }
  correctTemperature();
  writeResults(computes);
  reportFPE(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
            static_cast<int>(hour), horizontalSum, temperatureScale, stepsPerComputation,
            subintervals, method);
}

void expokorrklasse::copyNightTemperature() {
  Grid from = temperature;
  Grid to = temperatureNight;
  nightCells.forEach([&](long r, long c) { to[r][c] = from[r][c]; });
}

void expokorrklasse::computeCorrection(long minute, long hour, long day, long month) {
  const double length = timeStepMinutes / 60.0;
  const double end = hour + getMinToIntEndHours() + minute / 60.0;
  const double shift = context.hourShift;
  const double dt = length / subintervals;
  double sunrise = 0.0;
  double sunset = 0.0;
  sunriseSunset(day, month, sunrise, sunset, context.latitude, context.longitude);
  sunrise = std::fmod(sunrise + 24.0, 24.0);
  sunset = std::fmod(sunset + 24.0, 24.0);

  Grid sums = radiationCorrection;
  cells.forEach([&](long r, long c) { sums[r][c] = 0.0; });
  horizontalSum = 0.0;
  double tm = end - length * (1.0 - 0.5 / subintervals) + shift;
  for (int k = 0; k < subintervals; ++k, tm += dt) {
    const DarkPart dark = darkPart(tm, dt, sunrise, sunset);
    double beam = 0.0; // Wh/m2 on a plane facing the sun
    double azimuth = 0.0;
    double elevationAngle = 0.5 * pi;
    if (!dark.night) {
      // At the middle of the sunlit part; the sun's clock is the data's.
      sunPosition(day, month, azimuth, elevationAngle, context.latitude, context.longitude,
                  tm + dark.beforeSunrise - dt * dark.fraction / 2.0 - shift);
      if (elevationAngle > lowestSun)
        beam = solarConstant * dt * (1.0 - dark.fraction) *
               std::pow(transmissivity, 0.9 / std::cos(0.5 * pi - elevationAngle));
    }
    const double zenith = 0.5 * pi - elevationAngle;
    horizontalSum += beam * std::cos(zenith);
    if (shading) {
      resetShadow();
      if (!dark.night && mpiRank == 0) castShadows(azimuth, elevationAngle);
      MPIScatterGrid(shadowIndex);
    }
    checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier of the radiation correction");
    addSlopeRadiation(dark.night, beam, azimuth, zenith);
    writeOutputGrids(shadowIndex, 1, k + 1 < subintervals ? 1 : 0);
  }
  divideSums();
}

// Rank 0 shades the whole grid and sends each process its cells.
void expokorrklasse::resetShadow() {
  Grid s = shadow;
  if (mpiRank != 0) {
    cells.forEach([&](long r, long c) { s[r][c] = 0.0; });
    return;
  }
  const Grid zone = registry[1].grid;
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (zone[r][c] != nodata) s[r][c] = 0.0;
}

void expokorrklasse::castShadows(double azimuth, double elevationAngle) {
  ShadingTerrain terrain;
  terrain.zone = registry[1].grid;
  terrain.elevation = elevation;
  terrain.shadow = shadow;
  terrain.nrows = header.nrows;
  terrain.ncols = header.ncols;
  terrain.cellsize = header.cellsize;
  terrain.nodata = header.nodata;
  castTerrainShadows(terrain, azimuth, elevationAngle);
}

// Cell loop A: the beam of the sub-interval on every own cell's slope, never
// more than five times what the horizontal gets.
void expokorrklasse::addSlopeRadiation(bool night, double beam, double azimuth, double zenith) {
  const double cosZ = std::cos(zenith);
  const double highest = 5.0 * cosZ;
  const double nodata = header.nodata;
  Grid sums = radiationCorrection;
  const Grid s = shadow;
  const Grid sun = sunshine;
  const Grid slopeAngle = slope;
  const Grid slopeAspect = aspect;
  cells.forEach([&](long r, long c) {
    double factor = 0.0;
    if (!night && !(s[r][c] >= 0.5)) {
      // A cell without slope or aspect counts as flat.
      const bool flat = slopeAngle[r][c] == nodata || slopeAspect[r][c] == nodata;
      const double cosIncidence =
          flat ? cosZ
               : cosZenith(slopeAspect[r][c] * radiansPerDegree,
                           slopeAngle[r][c] * radiansPerDegree, azimuth, zenith);
      // Under an overcast sky the slope gets diffuse light like the plain.
      if (cosIncidence > 0.0)
        factor = sun && sun[r][c] != nodata && sun[r][c] < 0.1 ? cosZ : cosIncidence;
    }
    sums[r][c] += std::min(factor, highest) * beam;
  });
}

// Cell loop B: the slope's sum becomes "Ieff_max", its ratio to the
// horizontal sum "radiation_correction".
void expokorrklasse::divideSums() {
  const double total = horizontalSum;
  Grid sums = radiationCorrection;
  Grid effective = effectiveRadiation;
  cells.forEach([&](long r, long c) {
    effective[r][c] = sums[r][c];
    sums[r][c] = total > 0.0 ? sums[r][c] / total : 0.0;
  });
}

// Every step from the step's temperature and the last computed ratio: a
// slope that gets less sun than the plain is colder.
void expokorrklasse::correctTemperature() {
  if (!correctedTemperature) return;
  const double scale = temperatureScale;
  const double lowering = horizontalSum > 0.0 ? logOfSmallestRatio * scale : 0.0;
  const double nodata = header.nodata;
  const Grid ratio = radiationCorrection;
  const Grid t = temperature;
  const Grid sun = sunshine;
  Grid corrected = correctedTemperature;
  cells.forEach(
      [&](long r, long c) {
        if (t[r][c] == nodata) {
          corrected[r][c] = nodata;
          return;
        }
        const double s = sun && sun[r][c] != nodata ? sun[r][c] : 0.5;
        corrected[r][c] = ratio[r][c] > smallestRatio ? t[r][c] + scale * std::log(ratio[r][c]) * s
                                                      : t[r][c] - lowering * s;
      },
      [&](long r, long c) { corrected[r][c] = nodata; });
}

// Every step, so that outputs due at the end of a day or of the run are
// written also when that step does not compute; a computing step has
// written "Shadow" with its sub-intervals.
void expokorrklasse::writeResults(bool computed) {
  if (!computed) writeOutputGrids(shadowIndex, 1, 0);
  writeOutputGrids(radiationCorrectionIndex, 1, 0);
  if (correctedTemperature) writeOutputGrids(correctedTemperatureIndex, 1, 0);
}
