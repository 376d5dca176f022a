// The snow step: the factors of the day, then every own cell on the
// OpenMP threads.
#include <mpi.h>

#include <algorithm>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "snow/schneemodellklasse.h"

void schneemodellklasse::computeSnowStep(long minute, long hour, long day, long month, long year) {
  reportModelTime(minute, hour, day, month, year);
  if (flowControl == 0) return;
  interpolateMonthlyTables(day, month);
  factors.rmf = seasonalMeltFactor(day, month);
  factors.snowRadiation = seasonalSnowRadiationFactor(day, month);
  factors.iceRadiation = seasonalIceRadiationFactor(day, month);
  partDay = 1.0;
  partNight = 0.0;
  if (timeStepMinutes > 720.0) {
    daylightInStep();
    partDay = fday;
    partNight = fnight;
  }
  for (SnowSeries& s : series)
    if (s.statistic) s.statistic->resetZones();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) t->statistic->resetZones();
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier before the snow step");
  masterCells.forEach([this](long r, long c) { computeCell(r, c); });
  checkDumps();
}

// Each table at its month's middle (days 15 and 16), linear between the
// middles of neighbouring months.
void schneemodellklasse::interpolateMonthlyTables(long day, long month) {
  const size_t m = static_cast<size_t>(std::clamp(month, 1L, 12L));
  const double x = static_cast<double>(day);
  const double length = context.monthDays[m - 1];
  auto at = [&](const std::array<double, 14>& t) {
    if (day < 16) return interpolateLinear(-15.0, t[m - 1], 15.0, t[m], x);
    return interpolateLinear(16.0, t[m], length + 16.0, t[m + 1], x);
  };
  factors.ddf = at(monthlyDegreeDayFactor);
  factors.c0 = at(monthlyTemperatureFactor);
  factors.c1 = at(monthlyWindFactor);
}

void schneemodellklasse::computeCell(long r, long c) {
  const double t = temperature[r][c];
  if (layeredSnow) {
    layerLiquid[r][c][0] = 0.0;
    if (snowEvaporation && snowEvaporation[r][c] > 0.0)
      transferLayeredSnow(r, c, false, 1.0, -snowEvaporation[r][c], t);
  }
  own(outflowGrid)[r][c] = 0.0;
  own(meltGrid)[r][c] = 0.0;
  snowAgeAndAlbedo(r, c, t, 2.5, false);
  mixTracersIn(r, c);
  snowSequence(r, c, canopyUnload ? canopyUnload[r][c] : 0.0);
  tracersOut(r, c, own(outflowGrid)[r][c]);
  snowAgeAndAlbedo(r, c, t, 5.0, true);
  own(totalGrid)[r][c] = own(solidGrid)[r][c] + own(liquidGrid)[r][c];
}

// One or, on steps above 720 minutes, two calls (the night with the night
// temperature first), then the melt leaves through the liquid store.
void schneemodellklasse::snowSequence(long r, long c, double unload) {
  const double nodata = header.nodata;
  const bool balance = isEnergyBalance();
  double& s = own(solidGrid)[r][c];
  double& w = own(liquidGrid)[r][c];
  double& total = own(totalGrid)[r][c];
  double tsn = balance ? own(snowTemperatureGrid)[r][c] : nodata;
  double ts = balance ? own(surfaceTemperatureGrid)[r][c] : nodata;
  double evaporation = 0.0;
  double energy = balance ? own(energyBalanceGrid)[r][c] : 0.0;
  double fraction = 0.0;
  own(snowFractionGrid)[r][c] = 0.0;
  own(rainFractionGrid)[r][c] = 0.0;
  const double t = temperature[r][c];
  double melt = 0.0;
  if (timeStepMinutes > 720.0) {
    melt += computeSnowCell(r, c, temperatureNight[r][c], partNight, unload, fraction, s, w, total,
                            tsn, ts, evaporation, energy, false);
    melt += computeSnowCell(r, c, t, partDay, unload, fraction, s, w, total, tsn, ts, evaporation,
                            energy, false);
  } else {
    melt = computeSnowCell(r, c, t, 1.0, unload, fraction, s, w, total, tsn, ts, evaporation,
                           energy, false);
  }
  if (balance) {
    own(snowTemperatureGrid)[r][c] = tsn;
    own(surfaceTemperatureGrid)[r][c] = ts;
    own(energyBalanceGrid)[r][c] = energy;
    // The energy balance replaces what evaporation took from the snow.
    if (snowEvaporation) snowEvaporation[r][c] = evaporation;
  }
  afterMelt(r, c, melt, t);
}

void schneemodellklasse::afterMelt(long r, long c, double melt, double t) {
  double& s = own(solidGrid)[r][c];
  double& w = own(liquidGrid)[r][c];
  const double m = std::min(s, melt);
  w += m;
  s -= m;
  if (w > cwh * s) {
    own(outflowGrid)[r][c] = w - cwh * s;
    if (m > 0.0) own(meltGrid)[r][c] = w - cwh * s;
    w = cwh * s;
  }
  if (m > 0.0 && layeredSnow) {
    transferLayeredSnow(r, c, false, 1.0, -m, t);
    layerLiquid[r][c][0] += m;
  }
}

// Snow days and age count in days; the albedo follows the age of the pack,
// or the land use where too little snow lies.
void schneemodellklasse::snowAgeAndAlbedo(long r, long c, double t, double threshold, bool age) {
  const double n = stepsPerDay;
  const double stored = own(solidGrid)[r][c] + own(liquidGrid)[r][c];
  double& days = own(ageGrid)[r][c];
  if (age) {
    own(snowDaysGrid)[r][c] = stored > 5.0 ? 1.0 / n : 0.0;
    if (t > t0r + transzone || precipitation[r][c] <= 1.0 || stored <= 5.0)
      days += 1.0 / n;
    else
      days = 0.0;
  }
  if (stored > threshold)
    albedo[r][c] = snowAlbedo(albedoMin, albedoMax, days, t);
  else
    albedo[r][c] = landuseAlbedo(r, c);
}

double schneemodellklasse::landuseAlbedo(long r, long c) const {
  const std::vector<landuse_class>* table = context.landuseTable;
  const double code = landuse[1][r][c];
  if (!table || !(code >= 0.0) || code >= static_cast<double>(table->size())) return albedo[r][c];
  return (*table)[static_cast<size_t>(code)].getAlbedoByDate(
      elevation[r][c], currentDate.day, currentDate.month, currentDate.year, r, c);
}

// The stored concentration decays and takes up what falls.
void schneemodellklasse::mixTracersIn(long r, long c) {
  const double p = precipitation[r][c];
  const double stored = own(solidGrid)[r][c] + own(liquidGrid)[r][c];
  for (size_t j = 1; j <= tracers.size(); ++j) {
    const SubmodelTracer& tr = *tracers[j - 1];
    double& conc = tr.concstor[r][c];
    if (tr.record.radioactive) conc *= tr.record.decayFactor;
    if (p > 0.0) conc = mixConcentration(conc, tracerInput[j][r][c], stored, p);
  }
}

// A tracer that stays dissolved leaves with the outflow, at most at its
// largest concentration; one that evaporates leaves at the stored one.
void schneemodellklasse::tracersOut(long r, long c, double outflow) {
  const double left = own(solidGrid)[r][c] + own(liquidGrid)[r][c];
  for (const std::unique_ptr<SubmodelTracer>& tp : tracers) {
    const SubmodelTracer& tr = *tp;
    double& conc = tr.concstor[r][c];
    double& flux = tr.concflux[r][c];
    if (tr.record.evaporating) {
      flux = conc;
      continue;
    }
    const double mass = conc * (left + outflow);
    const double moved =
        outflow > 0.0 ? std::min(mass * outflow / (outflow + left), outflow * tr.record.maxConc)
                      : 0.0;
    flux = outflow > 0.0 ? moved / outflow : 0.0;
    conc = left > 0.0 ? (mass - moved) / left : 0.0;
  }
}
