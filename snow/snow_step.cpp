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
  const double g = glacierFraction(r, c);
  // Level 0 of the layers' liquid keeps what the slides released after the
  // soil's step until the soil takes it in.
  if (layeredSnow) {
    if (snowEvaporation && snowEvaporation[r][c] > 0.0)
      transferLayeredSnow(r, c, false, 1.0, -snowEvaporation[r][c], t);
  }
  own(outflowGrid)[r][c] = 0.0;
  if (own(glacierSnowMeltGrid)) own(glacierSnowMeltGrid)[r][c] = 0.0;
  own(meltGrid)[r][c] = 0.0;
  if (own(depositedSnowGrid)) own(depositedSnowGrid)[r][c] = 0.0;
  snowAgeAndAlbedo(r, c, t, 2.5, false);
  if (glacierGrid) {
    own(firnMeltGrid)[r][c] = own(iceMeltGrid)[r][c] = 0.0;
    if (own(glacierizedOldGrid)) own(glacierizedOldGrid)[r][c] = glacierGrid[r][c];
    if (g > 0.0) {
      // The snow of both packs takes up what falls; the water leaving the
      // cell has its concentration.
      mixTracersIn(r, c);
      glacierCell(r, c);
      for (const std::unique_ptr<SubmodelTracer>& t : tracers)
        t->concflux[r][c] = t->concstor[r][c];
    }
  }
  if (!(g > 0.0)) {
    mixTracersIn(r, c);
    snowSequence(r, c, canopyUnload ? canopyUnload[r][c] : 0.0, outsidePack());
    for (OwnGridName k :
         {glacierSolidGrid, glacierLiquidGrid, glacierTotalGrid, glacierPrecipitationGrid})
      if (own(k)) own(k)[r][c] = 0.0;
    tracersOut(r, c, own(outflowGrid)[r][c]);
  }
  snowAgeAndAlbedo(r, c, t, 5.0, true);
  own(totalGrid)[r][c] = own(solidGrid)[r][c] + own(liquidGrid)[r][c];
  if (own(glacierTotalGrid))
    own(glacierTotalGrid)[r][c] = own(glacierSolidGrid)[r][c] + own(glacierLiquidGrid)[r][c];
  if (permafrost.method != 0) permafrostCell(r, c);
}

// The grids of the pack outside the glaciers and of the pack on them.
schneemodellklasse::Pack schneemodellklasse::outsidePack() const {
  return {own(solidGrid),
          own(liquidGrid),
          own(totalGrid),
          own(snowTemperatureGrid),
          own(surfaceTemperatureGrid),
          own(energyBalanceGrid),
          snowEvaporation,
          own(outflowGrid),
          own(meltGrid)};
}

schneemodellklasse::Pack schneemodellklasse::glacierPack() const {
  return {own(glacierSolidGrid),
          own(glacierLiquidGrid),
          own(glacierTotalGrid),
          own(glacierSnowTemperatureGrid),
          own(glacierSurfaceTemperatureGrid),
          own(glacierEnergyBalanceGrid),
          own(glacierEvaporationGrid),
          own(glacierSnowMeltGrid),
          nullptr};
}

// One or, on steps above 720 minutes, two calls (the night with the night
// temperature first), then the melt leaves through the liquid store; the
// melt taken from the pack is returned. On the glacier, unload is what the
// snow fraction holds for the pack outside.
double schneemodellklasse::snowSequence(long r, long c, double unload, const Pack& pack) {
  const double nodata = header.nodata;
  const bool balance = isEnergyBalance();
  const bool onGlacier = pack.solid != own(solidGrid);
  double& s = pack.solid[r][c];
  double& w = pack.liquid[r][c];
  double& total = pack.total[r][c];
  double tsn = balance ? pack.snowTemperature[r][c] : nodata;
  double ts = balance ? pack.surfaceTemperature[r][c] : nodata;
  double evaporation = 0.0;
  double energy = balance ? pack.energyBalance[r][c] : 0.0;
  double fraction = 0.0;
  if (!onGlacier) {
    own(snowFractionGrid)[r][c] = 0.0;
    own(rainFractionGrid)[r][c] = 0.0;
  }
  const double t = temperature[r][c];
  double melt = 0.0;
  if (timeStepMinutes > 720.0) {
    melt += computeSnowCell(r, c, temperatureNight[r][c], partNight, unload, fraction, s, w, total,
                            tsn, ts, evaporation, energy, onGlacier);
    melt += computeSnowCell(r, c, t, partDay, unload, fraction, s, w, total, tsn, ts, evaporation,
                            energy, onGlacier);
  } else {
    melt = computeSnowCell(r, c, t, 1.0, unload, fraction, s, w, total, tsn, ts, evaporation,
                           energy, onGlacier);
  }
  if (balance) {
    pack.snowTemperature[r][c] = tsn;
    pack.surfaceTemperature[r][c] = ts;
    pack.energyBalance[r][c] = energy;
    // The energy balance replaces what evaporation took from the snow.
    if (pack.evaporation) pack.evaporation[r][c] = evaporation;
  }
  return afterMelt(r, c, melt, t, pack);
}

double schneemodellklasse::afterMelt(long r, long c, double melt, double t, const Pack& pack) {
  double& s = pack.solid[r][c];
  double& w = pack.liquid[r][c];
  // The rain-on-snow formula gives less than no melt in dry air just above
  // 0 degrees C: the pack refreezes its liquid water then, never more than
  // it holds, or its ice would count water it never had.
  const double m = std::max(std::min(s, melt), -std::max(w, 0.0));
  w += m;
  s -= m;
  if (w > cwh * s) {
    pack.outflow[r][c] = w - cwh * s;
    if (m > 0.0 && pack.melt) pack.melt[r][c] = w - cwh * s;
    w = cwh * s;
  }
  // The melt leaves through the outflow, which enters the layers from the
  // top; level 0 of their liquid keeps only the water of emptied layers,
  // which the soil takes in, so that the melt reaches the soil once.
  if (m > 0.0 && layeredSnow && pack.melt) transferLayeredSnow(r, c, false, 1.0, -m, t);
  return m;
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
  double stored = own(solidGrid)[r][c] + own(liquidGrid)[r][c];
  if (own(glacierSolidGrid)) stored += own(glacierSolidGrid)[r][c] + own(glacierLiquidGrid)[r][c];
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
        outflow > 0.0 ? tr.record.limitMoved(mass * outflow / (outflow + left), outflow) : 0.0;
    flux = outflow > 0.0 ? moved / outflow : 0.0;
    conc = left > 0.0 ? (mass - moved) / left : 0.0;
  }
}
