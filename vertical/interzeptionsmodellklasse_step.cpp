// The interception step: the canopy snow model and the canopy energy
// balance, the buckets of the vegetation layers, the glaciated part of a
// cell, and the statistics and outputs.
#include <algorithm>

#include "core/collective_status.h"
#include "vertical/interzeptionsmodellklasse.h"
#include "vertical/snow_canopy.h"

namespace {

using S = SnowCanopyState;

constexpr double kelvin = 273.15;
constexpr double recordKelvin = 273.16; // the canopy record's zero of the Celsius scale
constexpr double bareAlbedo = 0.2;
constexpr double wholeGlacier = 0.99999;

} // namespace

void interzeptionsmodellklasse::computeInterception(long minute, long hour, long day, long month,
                                                    long year) {
  if (flowControl == 0) return;
  reportModelTime(minute, hour, day, month, year);
  for (ZoneSeries* s : allSeries()) s->statistic->resetZones();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) t->statistic->resetZones();
  if (method > 20) rememberTemperature();

  cells.forEach([&](long r, long c) { computeCell(r, c); });
  // The statistics take the vegetated part as the buckets left it.
  addStatistics();
  if (glacier)
    cells.forEach([&](long r, long c) {
      const double g = glacierFraction(r, c);
      if (g > 0.0) glacierPart(r, c, g, input[r][c]);
    });
  writeResults();
  lastStep = currentDate;
  reportFPE(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
            static_cast<int>(hour), threshold, halfWidth, minimumLeafArea, leafAreaScale, method);
}

// One grid of the history per step: a window of one day's steps, whatever
// their length.
void interzeptionsmodellklasse::rememberTemperature() {
  const ModelDate& d = currentDate;
  const ModelDate& l = lastStep;
  if (d.minute == l.minute && d.hour == l.hour && d.day == l.day && d.month == l.month &&
      d.year == l.year)
    return;
  Grid copy = temperatureHistory->next();
  cells.forEach([&](long r, long c) { copy[r][c] = temperature[r][c]; });
  temperatureHistory->push();
}

double interzeptionsmodellklasse::glacierFraction(long r, long c) const {
  return glacier ? std::clamp(glacier[r][c], 0.0, 1.0) : 0.0;
}

void interzeptionsmodellklasse::computeCell(long r, long c) {
  const double water = input[r][c];
  // A cell that glacierPart passes on whole has no canopy: one that held
  // snow there would give the water twice. The snow a canopy held before
  // a close spread the glacier over the whole cell went with the part the
  // glacier took (the balance books it with the glacier's extent): none of
  // it falls onto the pack.
  if (glacierFraction(r, c) >= wholeGlacier) {
    if (method > 20) {
      canopyUntouched(r, c, water);
      canopy[canopyUnloadSolid].grid[r][c] = 0.0;
    }
    return;
  }
  // Sum of leaf area, largest roughness, smallest resistances, largest
  // storage, over the layers the cell has.
  double leafArea = 0.0;
  double roughness = 0.0;
  double aggregates[4] = {3000.0, 3000.0, 0.0, 0.0};
  const double nodata = header.nodata;
  for (int k = 1; k <= layers; ++k) {
    const Layer& l = layer[static_cast<size_t>(k)];
    if (l.landuse[r][c] <= nodata) continue;
    leafArea += l.leafArea[r][c];
    roughness = std::max(roughness, l.roughness[r][c]);
    aggregates[0] = std::min(aggregates[0], l.canopyResistance[r][c]);
    aggregates[1] = std::min(aggregates[1], l.interceptionResistance[r][c]);
    aggregates[2] = std::max(aggregates[2], l.storage.grid[r][c]);
    aggregates[3] = capacity(k, r, c);
  }
  double reaching = water;
  if (method > 20) {
    // Without leaves the canopy holds no snow: the model would divide by
    // its maximum load.
    const bool sparse = leafArea <= minimumLeafArea || roughness <= minimumRoughness ||
                        leafArea * leafAreaScale <= 0.0;
    if (sparse)
      canopyUntouched(r, c, water);
    else
      reaching = canopySnow(r, c, water, leafArea, roughness, aggregates);
  }
  buckets(r, c, reaching);
  if (method > 20 && !snowModelBelow) dropCanopySnow(r, c);
}

double interzeptionsmodellklasse::canopySnow(long r, long c, double water, double leafArea,
                                             double roughness, const double (&aggregates)[4]) {
  auto at = [r, c](const OwnGrid& g) -> double& { return g.grid[r][c]; };
  SnowCanopyState s;
  const double t = temperature[r][c];
  s[S::precipitation] = water;
  s[S::airTemperature] = t + recordKelvin;
  s[S::dailyMeanTemperature] = temperatureHistory->mean(r, c) + recordKelvin;
  s[S::temperatureOffset] =
      std::clamp((s[S::dailyMeanTemperature] - recordKelvin) / 3.0, -2.0, 2.0);
  s[S::relativeHumidity] = humidity[r][c] * 100.0;
  s[S::shortwave] = radiation[r][c];
  s[S::windSpeed] = wind[r][c];
  s[S::cloudiness] = cloudiness[r][c];
  s[S::timeStep] = timeStepMinutes * 60.0;
  s[S::elevation] = elevation[r][c];
  s[S::leafAreaIndex] = leafArea * leafAreaScale;
  s[S::snowAlbedo] = at(canopy[canopyAlbedo]);
  s[S::loadBefore] = at(canopy[canopyLoad]);
  s[S::snowAge] = at(canopy[canopyAge]);
  splitRainSnow(s[S::snowfall], s[S::rainfall], t, threshold, halfWidth, water);
  computeSnowCanopy(s);

  if (method > 30) {
    s[S::groundTemperature] = surfaceTemperature[r][c];
    s[S::energyShortwave] = radiation[r][c];
    s[S::groundAlbedo] = groundAlbedo[r][c];
    s[S::canopyAlbedo] = at(canopy[canopyAlbedo]); // as it stood before the step
    s[S::canopyTemperature] = s[S::airTemperature] + 0.5;
    const double previous = at(balance[balancePreviousTemperature]);
    s[S::previousCanopyTemperature] = previous != 0.0 ? previous : s[S::airTemperature] + 0.5;
    s[S::minimumCanopyResistance] = aggregates[0];
    s[S::minimumInterceptionResistance] = aggregates[1];
    s[S::maximumRoughness] = roughness;
    s[S::maximumStorage] = aggregates[2];
    s[S::storageCapacity] = aggregates[3];
    // Without snow on the ground the canopy takes the air's temperature.
    double canopyT = s[S::airTemperature];
    at(balance[balanceResidual]) = 0.0;
    if (snowStorage[r][c] > 0.0) {
      solveCanopyTemperature(s);
      canopyT = s[S::canopyTemperature];
      at(balance[balanceResidual]) = s[S::energyResidual];
    }
    at(balance[balanceTemperature]) = at(balance[balancePreviousTemperature]) = canopyT;
    at(balance[balanceSpare]) = s[S::canopyMinusAir];
  }

  at(canopy[canopyUnloadLiquid]) = s[S::rainfall];
  at(canopy[canopyUnloadSolid]) = s[S::snowfall];
  at(canopy[canopyTemperature]) = s[S::airTemperature] - recordKelvin;
  at(canopy[canopyHumidity]) = s[S::relativeHumidity] / 100.0;
  at(canopy[canopyRadiation]) = s[S::shortwave];
  at(canopy[canopyWind]) = s[S::windSpeed];
  at(canopy[canopyLongwave]) = s[S::longwave];
  at(canopy[canopyAlbedo]) = s[S::snowAlbedo];
  at(canopy[canopyLoad]) = s[S::loadAfter];
  at(canopy[canopyAge]) = s[S::snowAge];
  at(canopy[canopySublimation]) = s[S::sublimation];
  return s[S::rainfall];
}

// The climate above the canopy stands for that below it; snow still held
// from a denser canopy falls, so that no water is lost.
void interzeptionsmodellklasse::canopyUntouched(long r, long c, double water) {
  auto at = [r, c](const OwnGrid& g) -> double& { return g.grid[r][c]; };
  at(canopy[canopyUnloadLiquid]) = water;
  at(canopy[canopyUnloadSolid]) = at(canopy[canopyLoad]);
  at(canopy[canopyTemperature]) = temperature[r][c];
  at(canopy[canopyHumidity]) = humidity[r][c];
  at(canopy[canopyRadiation]) = radiation[r][c];
  at(canopy[canopyWind]) = wind[r][c];
  at(canopy[canopyLongwave]) = 0.0;
  at(canopy[canopyAlbedo]) = bareAlbedo;
  at(canopy[canopyLoad]) = at(canopy[canopyAge]) = at(canopy[canopySublimation]) = 0.0;
  if (method < 30) return;
  at(balance[balanceResidual]) = at(balance[balanceSpare]) = 0.0;
  at(balance[balanceTemperature]) = at(balance[balancePreviousTemperature]) =
      temperature[r][c] + kelvin;
}

// The layers from the top down, each taking what the one above lets
// through; a layer the cell lacks passes it on.
void interzeptionsmodellklasse::buckets(long r, long c, double water) {
  Layer& total = layer[0];
  if (layers == 1) {
    const double through = fillBucket(1, r, c, water, true);
    total.evaporation.grid[r][c] = layer[1].evaporation.grid[r][c];
    total.storage.grid[r][c] = layer[1].storage.grid[r][c];
    total.throughfall.grid[r][c] = through;
    return;
  }
  double evaporation = 0.0;
  double storage = 0.0;
  // The canopy's water before the step, for the tracers' shares, with what
  // a layer that has just gone held.
  double before = 0.0;
  if (!tracers.empty())
    for (int k = 1; k <= layers; ++k) before += layer[static_cast<size_t>(k)].storage.grid[r][c];
  const double arriving = water;
  for (int k = 1; k <= layers; ++k) {
    water = fillBucket(k, r, c, water, false);
    evaporation += layer[static_cast<size_t>(k)].evaporation.grid[r][c];
    storage += layer[static_cast<size_t>(k)].storage.grid[r][c];
  }
  total.evaporation.grid[r][c] = evaporation;
  total.storage.grid[r][c] = storage;
  total.throughfall.grid[r][c] = water;
  if (!tracers.empty()) tracersOfCanopy(r, c, before, arriving, water);
}

// Returns the throughfall of layer k; the demand of the layer and of the
// cell's total lose what evaporates of it.
double interzeptionsmodellklasse::fillBucket(int k, long r, long c, double water, bool tracked) {
  Layer& l = layer[static_cast<size_t>(k)];
  double& storage = l.storage.grid[r][c];
  double& evaporation = l.evaporation.grid[r][c];
  const bool missing = l.landuse[r][c] <= header.nodata;
  const double v = missing ? 0.0 : l.coverage[r][c];
  const double before = missing ? 0.0 : storage;
  // A layer that land use read anew took away lets its water fall.
  double through = (1.0 - v) * water + (missing && storage > 0.0 ? storage : 0.0);
  storage = before + v * water;
  const double limit = missing ? 0.0 : capacity(k, r, c);
  const double excess = storage > limit ? storage - limit : 0.0;
  if (tracked && !tracers.empty()) tracersOfBucket(r, c, before, v * water, excess, through);
  through += excess;
  storage -= excess;
  l.throughfall.grid[r][c] = through;

  double& demand = l.potentialTranspiration[r][c];
  const double wanted = method % 10 == 1 ? demand : l.potentialInterception[r][c];
  evaporation = std::min(storage, wanted);
  const double taken = method % 10 == 1 ? evaporation : std::min(demand, evaporation);
  demand -= taken;
  layer[0].potentialTranspiration[r][c] -= taken;
  storage -= evaporation;
  return through;
}

// The capacity of layer k: the land use's per unit of leaf area, else the
// section's.
double interzeptionsmodellklasse::capacity(int k, long r, long c) const {
  const Layer& l = layer[static_cast<size_t>(k)];
  double perLeafArea = thickness;
  const double record = l.landuse[r][c];
  const std::vector<landuse_class>* table = context.landuseTable;
  if (table && record >= 0.0 && record < static_cast<double>(table->size())) {
    const double cap = (*table)[static_cast<size_t>(record)].getIntercepCap();
    if (cap >= 0.0) perLeafArea = cap;
  }
  return perLeafArea * l.leafArea[r][c];
}

// Tracers in the bucket of the single layer: a mass, or, for a tracer
// that stays behind when water evaporates, a concentration.
void interzeptionsmodellklasse::tracersOfBucket(long r, long c, double before, double direct,
                                                double excess, double through) {
  for (size_t j = 1; j <= tracers.size(); ++j) {
    const SubmodelTracer& t = *tracers[j - 1];
    double& stored = t.concstor[r][c];
    double& flux = t.concflux[r][c];
    const double coming = tracerInput[j][r][c];
    if (t.record.radioactive) stored *= t.record.decayFactor;
    if (!t.record.evaporating) {
      flux = coming * through;
      stored += coming * direct;
      if (excess > 0.0) {
        const double share = before + direct > 0.0 ? stored * excess / (before + direct) : 0.0;
        const double moved = t.record.limitMoved(share, excess);
        stored -= moved;
        flux += moved;
      }
      flux = through + excess > 0.0 ? flux / (through + excess) : 0.0;
    } else {
      flux = coming;
      stored = mixConcentration(stored, coming, before, direct);
      if (excess > 0.0) flux = mixConcentration(stored, flux, excess, through);
    }
  }
}

// The layers of a canopy share one store per tracer: what the canopy keeps
// of the water arriving enters it at the water's concentration, what it
// gives back leaves at the store's.
void interzeptionsmodellklasse::tracersOfCanopy(long r, long c, double before, double arriving,
                                                double through) {
  const double gained = arriving - through;
  for (size_t j = 1; j <= tracers.size(); ++j) {
    const SubmodelTracer& t = *tracers[j - 1];
    double& stored = t.concstor[r][c];
    double& flux = t.concflux[r][c];
    const double coming = tracerInput[j][r][c];
    const bool mass = !t.record.evaporating;
    if (t.record.radioactive) stored *= t.record.decayFactor;
    if (gained >= 0.0) {
      stored = mass ? stored + coming * gained : mixConcentration(stored, coming, before, gained);
      flux = coming;
      continue;
    }
    const double given = -gained;
    double moved = mass ? (before > 0.0 ? stored * given / before : 0.0) : stored * given;
    if (mass) moved = t.record.limitMoved(moved, given);
    if (mass) stored -= moved;
    flux = through > 0.0 ? (coming * arriving + moved) / through : 0.0;
  }
}

// With no snow model below, the snow the canopy lets fall reaches the
// ground as water, as snow on open land does, past the buckets it fell
// through; it carries the concentration of the water coming in.
void interzeptionsmodellklasse::dropCanopySnow(long r, long c) {
  const double fallen = canopy[canopyUnloadSolid].grid[r][c];
  if (fallen <= 0.0) return;
  double& through = layer[0].throughfall.grid[r][c];
  for (size_t j = 1; j <= tracers.size(); ++j) {
    double& flux = tracers[j - 1]->concflux[r][c];
    flux = mixConcentration(flux, tracerInput[j][r][c], through, fallen);
  }
  through += fallen;
  layer[static_cast<size_t>(layers)].throughfall.grid[r][c] += fallen;
}

// A cell wholly under a glacier passes the water it receives, at its
// concentration. Beside a glacier on part of a cell the throughfall is the
// canopy's, per unit of the part beside it, which the pack and the soil
// there take: what falls on the glacier's part is the glacier's, and mixed
// in here it would reach the ground beside it as well.
void interzeptionsmodellklasse::glacierPart(long r, long c, double g, double water) {
  if (g < wholeGlacier) return;
  for (Layer& l : layer) l.evaporation.grid[r][c] = l.storage.grid[r][c] = 0.0;
  layer[0].throughfall.grid[r][c] = water;
  for (size_t j = 1; j <= tracers.size(); ++j)
    tracers[j - 1]->concflux[r][c] = tracerInput[j][r][c];
}

// Each series sums the cells in row order: the vegetated part with its
// share of the cell, the glaciated part as 0.
void interzeptionsmodellklasse::addStatistics() {
  auto shared = [this](Grid grid, bool glaciated) -> CellStatistic {
    return [this, grid, glaciated](zonalstatistic& s, long r, long c, long zone) {
      const double g = glacierFraction(r, c);
      if (g < 1.0) s.addValue(r, c, zone, grid[r][c], 1.0 - g);
      if (glaciated && g > 0.0) s.addValue(r, c, zone, 0.0, g);
    };
  };
  StatisticJobs jobs;
  for (Layer& l : layer) {
    jobs.push_back({&l.evaporationSeries, shared(l.evaporation.grid, true)});
    jobs.push_back({&l.storageSeries, shared(l.storage.grid, true)});
    jobs.push_back({&l.throughfallSeries, shared(l.throughfall.grid, true)});
  }
  for (int g = 0; method > 20 && g < canopyLongwave; ++g)
    jobs.push_back({&canopySeries[g], shared(canopy[g].grid, false)});
  for (int b = 0; method > 30 && b < balanceGridCount; ++b)
    jobs.push_back({&balanceSeries[b], shared(balance[b].grid, false)});
  book.addToSeries(jobs);

  // A tracer's concentration in the store, in the zones of the module; a
  // cell with a glacier counts once more. The layers of a canopy share one
  // store, whose water is the total's.
  const Grid stored = layer[0].storage.grid;
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) {
    zonalstatistic& s = *t->statistic;
    const bool evaporating = t->record.evaporating != 0;
    cells.forEachInOrder([&](long r, long c) {
      const double g = glacierFraction(r, c);
      const long zone = zones.indexOf(zones.grid[r][c]);
      const double value = t->concstor[r][c];
      if (g < 1.0) s.addValue(r, c, zone, value, evaporating ? stored[r][c] : 1.0);
      if (g > 0.0)
        s.addValue(r, c, zone, value, !evaporating ? 1.0 : g >= wholeGlacier ? 0.0 : stored[r][c]);
    });
  }
}

void interzeptionsmodellklasse::writeResults() {
  if (method > 20) {
    std::vector<ZoneSeries*> stored;
    for (CanopyGrid g :
         {canopyTemperature, canopyHumidity, canopyRadiation, canopyWind, canopyAge, canopyAlbedo,
          canopyLoad, canopySublimation, canopyUnloadSolid, canopyUnloadLiquid}) {
      writeOutputGrids(canopy[g].index, 1, 0);
      stored.push_back(&canopySeries[g]);
    }
    for (int b = 0; method > 30 && b < balanceGridCount; ++b) {
      writeOutputGrids(balance[b].index, 1, 0);
      stored.push_back(&balanceSeries[b]);
    }
    book.storeSteps(stored, currentDate);
  }
  for (Layer& l : layer) {
    book.storeSteps({&l.evaporationSeries, &l.storageSeries, &l.throughfallSeries}, currentDate);
    for (const OwnGrid* g : {&l.throughfall, &l.evaporation, &l.storage})
      writeOutputGrids(g->index, 1, 0);
  }
  const ModelDate& d = currentDate;
  int failure = 0;
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) {
    const int code = catchExitCode(
        [&] { t->statistic->storeStep(d.year, d.month, d.day, d.hour, d.minute, 1); });
    if (failure == 0) failure = code;
    writeOutputGrids(t->concstorIndex, 1, 0);
    writeOutputGrids(t->concfluxIndex, 1, 0);
  }
  shareExitCode(*diag, failure);
}
