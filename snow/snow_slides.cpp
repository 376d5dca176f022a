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
  addStatistics();
  writeOutputs();
}

// Own cells of a response unit that are not its master cell.
void schneemodellklasse::buildUnitCopies() {
  unitCopies.clear();
  if (context.hruFlag == 0 || !context.hruMasterCells) return;
  const std::vector<HRUMasterCell>& masters = *context.hruMasterCells;
  const double nodata = header.nodata;
  cells.forEachInOrder([&](long r, long c) {
    const double unit = responseUnits[r][c];
    if (unit == nodata) return;
    if (!(unit >= 0.0) || unit >= static_cast<double>(masters.size())) {
      *diag << "FATAL: the cell in row " << r << ", column " << c
            << " of \"HydrologicResponseUnits\" names the unit " << unit
            << ", which has no master cell; check the grid against [SpinUp]"
            << "[end-entry]";
      throw unknownUnitCode;
    }
    const HRUMasterCell& m = masters[static_cast<size_t>(unit)];
    if (m.row != r || m.column != c) unitCopies.push_back({r, c, m.row, m.column});
  });
}

void schneemodellklasse::copyResponseUnits() {
  if (context.hruFlag == 0) return;
  if (unitCopies.empty()) buildUnitCopies();
  std::vector<Grid> copied = {
      own(totalGrid),   own(snowDaysGrid),     own(liquidGrid),       own(solidGrid),
      own(ageGrid),     own(snowFractionGrid), own(rainFractionGrid), albedo,
      own(outflowGrid), own(meltGrid)};
  if (isEnergyBalance())
    copied.insert(copied.end(), {own(snowTemperatureGrid), own(surfaceTemperatureGrid)});
  if (isSlide())
    copied.insert(copied.end(), {own(inputMassGrid), own(mobileMassGrid), own(depositionGrid)});
  const long count = static_cast<long>(unitCopies.size());
#pragma omp parallel for schedule(runtime)
  for (long i = 0; i < count; ++i) {
    const UnitCopy& u = unitCopies[static_cast<size_t>(i)];
    for (Grid g : copied) g[u.row][u.column] = g[u.masterRow][u.masterColumn];
  }
}

// Rank 0 holds more grids than the others, so every process finds the
// entries of the gathered grids by name.
void schneemodellklasse::slideSnow() {
  const char* const moved[] = {"snowstorage_solid", "snowstorage_liquid", "snow_storage_total",
                               "input_mass",        "mobile_mass",        "deposition"};
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
  Grid s = own(solidGrid), w = own(liquidGrid), total = own(totalGrid);
  Grid input = own(inputMassGrid), mobile = own(mobileMassGrid), deposit = own(depositionGrid);
  const Grid maximum = registry[requireGrid("max_deposition")].grid;
  for (long r = 1; r <= rows; ++r)
    for (long c = 1; c <= cols; ++c) {
      const double v = zone[r][c] == nodata ? nodata : 0.0;
      input[r][c] = mobile[r][c] = deposit[r][c] = v;
    }
  // Shrinks or grows a pack to a new total, the liquid keeping its share.
  auto resize = [&](long r, long c, double to) {
    const double now = s[r][c] + w[r][c];
    const double liquid = now > 0.0 ? w[r][c] / now * to : 0.0;
    w[r][c] = liquid;
    s[r][c] = to - liquid;
    total[r][c] = to;
  };
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
      const double pack = s[r][c] + w[r][c];
      if (pack > 0.0 && slope[r][c] >= minSlideSlope) {
        input[r][c] = pack * slideMassFrac;
        resize(r, c, pack * (1.0 - slideMassFrac));
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
      const double pack = s[r][c] + w[r][c];
      if (pack > 0.0)
        resize(r, c, pack + added);
      else {
        s[r][c] += added;
        total[r][c] = s[r][c] + w[r][c];
      }
    }
}

// The layered snow follows what the slides moved.
void schneemodellklasse::resyncLayeredSnow() {
  if (!layeredSnow) return;
  const int middle = std::max(1, layerSettings.layers / 2);
  cells.forEach([&](long r, long c) {
    const double difference = own(solidGrid)[r][c] - layerSolid[r][c][0];
    if (std::fabs(difference) <= 0.0005) return;
    const double t =
        layerTemperature ? layerTemperature[r][c][middle] : std::min(0.0, temperature[r][c]);
    transferLayeredSnow(r, c, false, 1.0, difference, t);
  });
}

// Each series sums the own cells in row order, so that its sums do not
// depend on the threads; the series share the threads.
void schneemodellklasse::addStatistics() {
  struct Job {
    zonalstatistic* statistic;
    Grid grid;
    bool temperature; // counted only where the pack has a temperature
  };
  std::vector<Job> jobs;
  auto add = [&](Series s, Grid g, bool t) {
    if (series[s].statistic && series[s].statistic->isActive())
      jobs.push_back({series[s].statistic.get(), g, t});
  };
  const std::pair<Series, OwnGridName> plain[] = {
      {totalSeries, totalGrid},       {outflowSeries, outflowGrid}, {meltSeries, meltGrid},
      {snowDaysSeries, snowDaysGrid}, {ageSeries, ageGrid},         {snowSeries, snowFractionGrid},
      {rainSeries, rainFractionGrid}};
  for (const auto& [s, g] : plain) add(s, own(g), false);
  add(albedoSeries, albedo, false);
  if (isSlide())
    for (const auto& [s, g] :
         {std::pair{inputMassSeries, inputMassGrid}, std::pair{mobileMassSeries, mobileMassGrid},
          std::pair{depositionSeries, depositionGrid}})
      add(s, own(g), false);
  if (isEnergyBalance()) {
    add(snowTemperatureSeries, own(snowTemperatureGrid), true);
    add(surfaceTemperatureSeries, own(surfaceTemperatureGrid), true);
  }
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic && t->statistic->isActive())
      jobs.push_back({t->statistic.get(), t->concstor, false});
  const double lowest = header.nodata + 1.0;
  const long count = static_cast<long>(jobs.size());
#pragma omp parallel for schedule(dynamic, 1)
  for (long j = 0; j < count; ++j) {
    const Job& job = jobs[static_cast<size_t>(j)];
    cells.forEachInOrder([&](long r, long c) {
      const double v = job.grid[r][c];
      if (!job.temperature || v > lowest)
        job.statistic->addValue(r, c, zones.indexOf(zones.grid[r][c]), v, 1.0);
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
  for (SnowSeries& s : series)
    if (s.statistic) store(*s.statistic);
  for (const std::unique_ptr<SubmodelTracer>& t : tracers)
    if (t->statistic) store(*t->statistic);
  shareExitCode(*diag, failure);
}

// The grids this module registered; the others write their owners.
void schneemodellklasse::writeOutputs() {
  for (OwnGridName g : {solidGrid, liquidGrid, totalGrid, snowDaysGrid, ageGrid, snowFractionGrid,
                        rainFractionGrid, outflowGrid, meltGrid, inputMassGrid, mobileMassGrid,
                        depositionGrid, snowTemperatureGrid, surfaceTemperatureGrid})
    if (grids[g].owned) writeOutputGrids(grids[g].index, 1, 0);
}
