// After the sub-steps: the copies of the response units, snow slides on
// rank 0, the statistics and the output grids of the snow model.
#include <algorithm>
#include <cmath>
#include <utility>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "snow/schneemodellklasse.h"

namespace {

constexpr int unknownUnitCode = 33;

} // namespace

void schneemodellklasse::computeGlacierStep(long minute, long hour, long day, long month,
                                            long year) {
  reportModelTime(minute, hour, day, month, year);
  if (flowControl == 0) return;
  copyResponseUnits();
  if (isSlide() && context.hruFlag == 0) slideSnow();
  if (glacierGrid && glacier.dynamic()) updateMassBalance();
  addStatistics();
  if (glacierGrid) {
    std::vector<ExactSum> melt;
    sumGlacierMelt(melt);
    routeGlacierRunoff(melt);
  }
  if (series[thawDepthSeries].statistic)
    series[thawDepthSeries].statistic->storeStep(currentDate.year, currentDate.month,
                                                 currentDate.day, currentDate.hour,
                                                 currentDate.minute, 1);
  if (packResetBooked) {
    cells.forEach(
        [&](long r, long c) { own(packResetGrid)[r][c] = own(firnSnowGrid)[r][c] = 0.0; });
    runoffExtentChange.clear();
    packResetBooked = false;
  }
  if (balanceDue()) annualBalance();
  writeOutputs();
}

void schneemodellklasse::copyResponseUnits() {
  if (context.hruFlag == 0 || !context.hruMasterCells) return;
  if (!unitCopies.isBuilt()) buildUnitCopies(unitCopies, cells, unknownUnitCode);
  std::vector<Grid> copied = {
      own(totalGrid),   own(snowDaysGrid),     own(liquidGrid),       own(solidGrid),
      own(ageGrid),     own(snowFractionGrid), own(rainFractionGrid), albedo,
      own(outflowGrid), own(meltGrid)};
  if (isEnergyBalance())
    copied.insert(copied.end(), {own(snowTemperatureGrid), own(surfaceTemperatureGrid)});
  // The energy balance books the sublimation of the copied packs there.
  if (isEnergyBalance() && snowEvaporation) copied.push_back(snowEvaporation);
  if (isEnergyBalance() && own(glacierEvaporationGrid)) copied.push_back(own(glacierEvaporationGrid));
  if (isSlide())
    copied.insert(copied.end(), {own(inputMassGrid), own(mobileMassGrid), own(depositionGrid)});
  // The pack on the glacier's part goes with what falls on it and melts.
  for (OwnGridName g : {depositedSnowGrid, firnMeltGrid, iceMeltGrid, glacierSnowMeltGrid,
                        glacierPrecipitationGrid, glacierSolidGrid, glacierLiquidGrid,
                        glacierTotalGrid, glacierSnowTemperatureGrid,
                        glacierSurfaceTemperatureGrid})
    if (own(g)) copied.push_back(own(g));
  unitCopies.copy(copied, {});
}

// Rank 0 holds more grids than the others, so every process finds the
// entries of the gathered grids by name.
void schneemodellklasse::slideSnow() {
  std::vector<const char*> moved = {"snowstorage_solid", "snowstorage_liquid", "snow_storage_total",
                                    "input_mass",        "mobile_mass",        "deposition"};
  if (own(glacierSolidGrid))
    moved.insert(moved.end(), {"SolidSnowStorage_onGlacier", "LiquidSnowStorage_onGlacier",
                               "TotalSnowStorage_onGlacier"});
  if (own(slidSnowGrid)) moved.push_back("snow_slides");
  for (const char* name : moved) MPIGatherGrid(requireGrid(name));
  if (mpiRank == 0) slideOnRoot();
  for (const char* name : moved) MPIScatterGrid(requireGrid(name));
  resyncLayeredSnow();
}

// From the highest cell down, a share of the pack slides to the
// neighbours of the same zone as the slide fractions weigh them, each of
// which keeps up to its largest deposition and passes the rest on.
void schneemodellklasse::slideOnRoot() {
  const long rows = header.nrows;
  const long cols = header.ncols;
  const double nodata = header.nodata;
  Grid s = own(solidGrid), w = own(liquidGrid);
  Grid input = own(inputMassGrid), mobile = own(mobileMassGrid), deposit = own(depositionGrid);
  const Grid maximum = registry[requireGrid("max_deposition")].grid;
  const Pack outside = outsidePack();
  const Pack onGlacier = glacierPack();
  // Without snow storages on the glaciers the whole cell is the pack
  // outside them.
  auto fraction = [&](long r, long c) { return onGlacier.solid ? glacierFraction(r, c) : 0.0; };
  for (long r = 1; r <= rows; ++r)
    for (long c = 1; c <= cols; ++c) {
      const double v = zone[r][c] == nodata ? nodata : 0.0;
      input[r][c] = mobile[r][c] = deposit[r][c] = v;
    }
  // Shrinks or grows a pack to a new total, the liquid keeping its share;
  // an empty pack takes all as snow.
  auto resize = [&](const Pack& p, long r, long c, double to) {
    const double now = p.solid[r][c] + p.liquid[r][c];
    const double liquid = now > 0.0 ? p.liquid[r][c] / now * to : 0.0;
    p.liquid[r][c] = liquid;
    p.solid[r][c] = to - liquid;
    p.total[r][c] = p.solid[r][c] + p.liquid[r][c];
  };
  // The water balance follows each pack over its part of the cell: the one
  // beside a glacier stands for no area on a cell the glacier covers whole.
  const Grid slid = own(slidSnowGrid);
  auto packs = [&](long r, long c) {
    const double g = fraction(r, c);
    const double glacierPack = g > 0.0 ? onGlacier.solid[r][c] + onGlacier.liquid[r][c] : 0.0;
    return (g < 1.0 ? 1.0 - g : 0.0) * (s[r][c] + w[r][c]) + g * glacierPack;
  };
  if (slid)
    for (long r = 1; r <= rows; ++r)
      for (long c = 1; c <= cols; ++c)
        if (zone[r][c] != nodata) slid[r][c] = -packs(r, c);
  const long dr[] = {-1, 0, 0, 1};
  const long dc[] = {0, -1, 1, 0};
  for (long vr = 1; vr <= rows; ++vr)
    for (long vc = 1; vc <= cols; ++vc) {
      if (zone[vr][vc] == nodata) continue;
      const long r = static_cast<long>(own(orderRowGrid)[vr][vc]);
      const long c = static_cast<long>(own(orderColumnGrid)[vr][vc]);
      double weight[4] = {0.0, 0.0, 0.0, 0.0};
      double sum = 0.0;
      for (int k = 0; k < 4; ++k) {
        const long nr = r + dr[k];
        const long nc = c + dc[k];
        if (nr < 1 || nr > rows || nc < 1 || nc > cols || zone[nr][nc] != zone[r][c]) continue;
        weight[k] = slideFraction[static_cast<size_t>(k) + 1][r][c];
        sum += weight[k];
      }
      if (sum > 0.0)
        for (double& x : weight) x /= sum;
      const double g = fraction(r, c);
      const double pack = s[r][c] + w[r][c];
      const double glacierPack =
          onGlacier.solid ? onGlacier.solid[r][c] + onGlacier.liquid[r][c] : 0.0;
      if ((pack > 0.0 || glacierPack > 0.0) && slope[r][c] >= minSlideSlope) {
        if (g < 1.0 && pack > 0.0) {
          input[r][c] = pack * slideMassFrac * (1.0 - g);
          resize(outside, r, c, pack * (1.0 - slideMassFrac));
        }
        if (glacierPack > 0.0 && g > 0.0) {
          input[r][c] += glacierPack * slideMassFrac * g;
          resize(onGlacier, r, c, glacierPack * (1.0 - slideMassFrac));
        }
      }
      if (!(sum > 0.0)) {
        mobile[r][c] += input[r][c];
        continue;
      }
      const double m = input[r][c] + mobile[r][c];
      mobile[r][c] = 0.0;
      for (int k = 0; k < 4; ++k) {
        if (!(weight[k] > 0.0)) continue;
        const long nr = r + dr[k];
        const long nc = c + dc[k];
        deposit[nr][nc] += m * weight[k];
        if (deposit[nr][nc] > maximum[nr][nc]) {
          mobile[nr][nc] += deposit[nr][nc] - maximum[nr][nc];
          deposit[nr][nc] = maximum[nr][nc];
        }
      }
    }
  for (long r = 1; r <= rows; ++r)
    for (long c = 1; c <= cols; ++c) {
      if (zone[r][c] == nodata) continue;
      const double added = deposit[r][c] + mobile[r][c];
      const double g = fraction(r, c);
      if (g < 1.0) resize(outside, r, c, s[r][c] + w[r][c] + added);
      if (g > 0.0) resize(onGlacier, r, c, onGlacier.solid[r][c] + onGlacier.liquid[r][c] + added);
      if (slid) slid[r][c] += packs(r, c);
    }
}

// The layered snow follows what the slides moved. The layers never keep
// more ice than the pack: the pack loses what they melt or let go, and
// could not lose ice it no longer holds without making water.
void schneemodellklasse::resyncLayeredSnow() {
  if (!layeredSnow) return;
  const int middle = std::max(1, layerSettings.layers / 2);
  cells.forEach([&](long r, long c) {
    const double difference = own(solidGrid)[r][c] - layerSolid[r][c][0];
    if (!(difference < 0.0) && difference <= 0.0005) return;
    const double t =
        layerTemperature ? layerTemperature[r][c][middle] : std::min(0.0, temperature[r][c]);
    transferLayeredSnow(r, c, false, 1.0, difference, t);
  });
}

// Each series sums the own cells in row order, so that its sums do not
// depend on the threads; the series share the threads. The glacier series
// weigh the glacier part of a cell by its fraction g, the snow beside the
// glacier by 1 - g.
void schneemodellklasse::addStatistics() {
  enum class Weigh { cell, temperature, glacierPart, freePart, glacierOnly };
  struct Job {
    zonalstatistic* statistic;
    Grid grid;
    Weigh weigh;
    Series which;
  };
  std::vector<Job> jobs;
  auto add = [&](Series s, Grid g, Weigh w) {
    if (series[s].statistic && series[s].statistic->isActive())
      jobs.push_back({series[s].statistic.get(), g, w, s});
  };
  const std::pair<Series, OwnGridName> plain[] = {
      {totalSeries, totalGrid},       {outflowSeries, outflowGrid}, {meltSeries, meltGrid},
      {snowDaysSeries, snowDaysGrid}, {ageSeries, ageGrid},         {snowSeries, snowFractionGrid},
      {rainSeries, rainFractionGrid}};
  for (const auto& [s, g] : plain) add(s, own(g), Weigh::cell);
  add(albedoSeries, albedo, Weigh::cell);
  if (isSlide())
    for (const auto& [s, g] :
         {std::pair{inputMassSeries, inputMassGrid}, std::pair{mobileMassSeries, mobileMassGrid},
          std::pair{depositionSeries, depositionGrid}})
      add(s, own(g), Weigh::cell);
  if (isEnergyBalance()) {
    add(snowTemperatureSeries, own(snowTemperatureGrid), Weigh::temperature);
    add(surfaceTemperatureSeries, own(surfaceTemperatureGrid), Weigh::temperature);
  }
  if (glacierGrid) {
    add(firnMeltSeries, own(firnMeltGrid), Weigh::glacierPart);
    add(iceMeltSeries, own(iceMeltGrid), Weigh::glacierPart);
    add(glacierSnowMeltSeries, own(glacierSnowMeltGrid), Weigh::glacierPart);
    add(snowWithoutGlacierSeries, own(totalGrid), Weigh::freePart);
    add(firnSeries, own(firnTotalGrid), Weigh::glacierPart);
    add(massBalanceSeries, own(massBalanceGrid), Weigh::glacierPart);
    add(glacierMassBalanceSeries, own(massBalanceGrid), Weigh::glacierOnly);
  }
  if (thawDepth) add(thawDepthSeries, thawDepth, Weigh::cell);
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic && t->statistic->isActive())
      jobs.push_back({t->statistic.get(), t->concstor, Weigh::cell, seriesCount});
  const double lowest = header.nodata + 1.0;
  const Grid firn = own(firnTotalGrid);
  // The snow melt on a glacier counts as firn melt where firn lies.
  auto valueOf = [&](const Job& job, long r, long c) {
    if (job.which != firnMeltSeries && job.which != glacierSnowMeltSeries)
      return job.grid ? job.grid[r][c] : 0.0;
    const double snow = glacierSnowOutflow(r, c);
    const bool firnCell = firn && firn[r][c] > 0.0;
    if (job.which == glacierSnowMeltSeries) return firnCell ? 0.0 : snow;
    return (firnCell ? snow : 0.0) + own(firnMeltGrid)[r][c];
  };
  const long count = static_cast<long>(jobs.size());
#pragma omp parallel for schedule(dynamic, 1)
  for (long j = 0; j < count; ++j) {
    const Job& job = jobs[static_cast<size_t>(j)];
    cells.forEachInOrder([&](long r, long c) {
      const long z = zones.indexOf(zones.grid[r][c]);
      zonalstatistic& s = *job.statistic;
      const double g = job.weigh >= Weigh::glacierPart ? glacierFraction(r, c) : 0.0;
      switch (job.weigh) {
      case Weigh::cell:
        s.addValue(r, c, z, job.grid[r][c], 1.0);
        break;
      case Weigh::temperature:
        if (job.grid[r][c] > lowest) s.addValue(r, c, z, job.grid[r][c], 1.0);
        break;
      case Weigh::glacierPart:
        if (g > 0.0) s.addValue(r, c, z, valueOf(job, r, c), g);
        if (g < 1.0) s.addValue(r, c, z, 0.0, 1.0 - g);
        break;
      case Weigh::freePart:
        if (g < 1.0) s.addValue(r, c, z, job.grid[r][c], 1.0 - g);
        if (g > 0.0) s.addValue(r, c, z, 0.0, g);
        break;
      case Weigh::glacierOnly:
        if (g > 0.0) s.addValue(r, c, z, job.grid[r][c], g);
        break;
      }
    });
  }
  int failure = 0;
  auto store = [&](zonalstatistic& s) {
    const int code = catchExitCode([&] {
      s.storeStep(currentDate.year, currentDate.month, currentDate.day, currentDate.hour,
                  currentDate.minute, 1);
    });
    if (failure == 0) failure = code;
  };
  // The glacier runoff and the thaw depth store after the runoff step.
  for (SnowSeries& s : series)
    if (s.statistic && &s != &series[glacierRunoffSeries] && &s != &series[thawDepthSeries])
      store(*s.statistic);
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) store(*t->statistic);
  shareExitCode(*diag, failure);
}

// The grids this module registered; the others write their owners.
void schneemodellklasse::writeOutputs() {
  for (OwnGridName g : {solidGrid,
                        liquidGrid,
                        totalGrid,
                        snowDaysGrid,
                        ageGrid,
                        snowFractionGrid,
                        rainFractionGrid,
                        outflowGrid,
                        meltGrid,
                        inputMassGrid,
                        mobileMassGrid,
                        depositionGrid,
                        snowTemperatureGrid,
                        surfaceTemperatureGrid,
                        firnMeltGrid,
                        iceMeltGrid,
                        massBalanceGrid,
                        oldMassBalanceGrid,
                        glacierSolidGrid,
                        glacierLiquidGrid,
                        glacierTotalGrid,
                        glacierSnowTemperatureGrid,
                        glacierSurfaceTemperatureGrid,
                        glacierSnowMeltGrid,
                        glacierEvaporationGrid})
    if (grids[g].owned) writeOutputGrids(grids[g].index, 1, 0);
  // The firn stack is written as a stack; its grid of totals repeats level 0.
  if (grids[firnTotalGrid].owned) writeOutputStack(grids[firnTotalGrid].index);
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) {
    writeOutputGrids(t->concstorIndex, 1, 0);
    writeOutputGrids(t->concfluxIndex, 1, 0);
  }
}
