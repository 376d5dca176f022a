// The glacier part of the closing step: the runoff of each subbasin's
// glacier through three linear storages, and once a year the mass
// balance that turns the year's snow into firn and lets the glaciers grow
// or shrink.
#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "snow/schneemodellklasse.h"

namespace {

// Per subbasin the sums of the glacier part's melt of ice, firn and snow
// and the number of cells.
constexpr size_t meltSums = 4;

} // namespace

// The mass balance of the glacier part of a cell gains what falls on it,
// what slides onto the cell, and loses the melt and the evaporation.
void schneemodellklasse::updateMassBalance() {
  const Grid input = own(inputMassGrid), mobile = own(mobileMassGrid),
             deposit = own(depositionGrid);
  const Grid evaporation = own(glacierEvaporationGrid);
  cells.forEach([&](long r, long c) {
    const double g = glacierFraction(r, c);
    if (!(g > 0.0)) return;
    double& mb = own(massBalanceGrid)[r][c];
    mb += own(glacierPrecipitationGrid)[r][c] - own(glacierSnowMeltGrid)[r][c] -
          own(firnMeltGrid)[r][c] - own(iceMeltGrid)[r][c];
    if (input) mb += deposit[r][c] + mobile[r][c] - input[r][c];
    if (evaporation) mb -= evaporation[r][c];
  });
}

// The melt of the glacier part of every own cell, summed per subbasin so
// that the sums do not depend on the decomposition.
void schneemodellklasse::sumGlacierMelt(std::vector<ExactSum>& melt) {
  melt.assign(meltSums * (static_cast<size_t>(zones.zoneCount) + 1), ExactSum{});
  const Grid firnTotal = own(firnTotalGrid);
  cells.forEachInOrder([&](long r, long c) {
    ExactSum* sums = &melt[meltSums * static_cast<size_t>(zones.indexOf(zones.grid[r][c]))];
    const double g = glacierFraction(r, c);
    sums[3].add(1.0);
    if (!(g > 0.0)) return;
    const double onGlacier = glacierSnowOutflow(r, c);
    const double phi = firnTotal && firnTotal[r][c] > 0.0 ? 1.0 : 0.0;
    sums[0].add(g * own(iceMeltGrid)[r][c]);
    sums[1].add(g * (phi * onGlacier + own(firnMeltGrid)[r][c]));
    sums[2].add(g * (1.0 - phi) * onGlacier);
  });
}

// Rank 0: each storage takes the mean melt of the glacier part of its
// subbasin and gives it back with its constant in hours; a subbasin
// without glacier keeps nothing.
void schneemodellklasse::routeGlacierRunoff(std::vector<ExactSum>& melt) {
  const char* call = "";
  checkMPI(*diag, reduceExactSums(melt.data(), static_cast<int>(melt.size()), false, call), call);
  const size_t n = static_cast<size_t>(zones.zoneCount);
  SnowSeries& runoffSeries = series[glacierRunoffSeries];
  if (mpiRank == 0) {
    const double hours = timeStepMinutes / 60.0;
    const double constants[3] = {glacier.kIce, glacier.kFirn, glacier.kSnow};
    std::vector<double>* storages[3] = {&qIceEls, &qFirnEls, &qSnowEls};
    glacierMeltInput.assign(n + 1, 0.0);
    for (size_t s = 1; s <= n; ++s) {
      const ExactSum* sums = &melt[meltSums * s];
      const double count = sums[3].value();
      const GlacierSubbasin& basin = glacierBasins[s];
      const double area = basin.glacierArea + basin.freeArea;
      const double f = basin.hasGlacier && area > 0.0 ? basin.glacierArea / area : 0.0;
      double runoff = 0.0;
      for (int k = 0; k < 3; ++k) {
        double& q = (*storages[k])[s];
        const double input = count > 0.0 ? sums[k].value() / count : 0.0;
        const double keep = std::exp(-hours / constants[k]);
        q = f > 0.0 ? q * keep + (1.0 - keep) * input / f : 0.0;
        runoff += q * f;
        if (f > 0.0) glacierMeltInput[s] += input;
      }
      if (glacierRunoffTable && basin.hasGlacier) glacierRunoffTable[s] = runoff;
      if (runoffSeries.records.size() > s) {
        ZoneRecord& record = runoffSeries.records[s];
        record.weightSum = record.effectiveWeight = count;
        record.valueSum = runoff * count;
      }
    }
  }
  if (runoffSeries.statistic)
    runoffSeries.statistic->storeStep(currentDate.year, currentDate.month, currentDate.day,
                                      currentDate.hour, currentDate.minute, 0);
}

// A storage whose outflow q over the glacier share f keeps the part keep
// of its water each step holds f * keep / (1 - keep) * q.
std::vector<double> schneemodellklasse::glacierRunoffStorage() const {
  const size_t n = static_cast<size_t>(zones.zoneCount);
  std::vector<double> held(n + 1, 0.0);
  if (mpiRank != 0 || qIceEls.size() <= n) return held;
  const double hours = timeStepMinutes / 60.0;
  const double constants[3] = {glacier.kIce, glacier.kFirn, glacier.kSnow};
  const std::vector<double>* storages[3] = {&qIceEls, &qFirnEls, &qSnowEls};
  for (size_t s = 1; s <= n; ++s) {
    const GlacierSubbasin& basin = glacierBasins[s];
    const double area = basin.glacierArea + basin.freeArea;
    const double f = basin.hasGlacier && area > 0.0 ? basin.glacierArea / area : 0.0;
    for (int k = 0; k < 3; ++k) {
      const double keep = std::exp(-hours / constants[k]);
      held[s] += keep < 1.0 ? f * keep / (1.0 - keep) * (*storages[k])[s] : 0.0;
    }
  }
  return held;
}

// At the end of the evaluation day.
bool schneemodellklasse::balanceDue() const {
  return glacierGrid && glacier.dynamic() && currentDate.month == glacier.evalMonth &&
         currentDate.day == glacier.evalDay &&
         currentDate.hour * 60 + currentDate.minute + timeStep == minutesPerDay;
}

void schneemodellklasse::annualBalance() {
  packResetBooked = true;
  const std::vector<double> heldBefore = glacierRunoffStorage();
  const double maxPack = glacier.maxSnowPackToCreateGlacier;
  Grid codes = glacierCodes;
  Grid codesOld = own(codesOldGrid);
  cells.forEach([&](long r, long c) {
    double& g = glacierGrid[r][c];
    if (!(g > 0.0)) {
      if (!(own(totalGrid)[r][c] > maxPack)) return;
      // A lasting pack becomes a glacier on part of the cell.
      if (codes[r][c] < 0.0)
        codes[r][c] = -1.0;
      else
        codesOld[r][c] = codes[r][c];
      g = own(glacierizedOldGrid)[r][c] = glacier.list.relSizeNewGlacier;
      own(glacierSolidGrid)[r][c] = own(solidGrid)[r][c];
      own(glacierLiquidGrid)[r][c] = own(liquidGrid)[r][c];
      own(glacierTotalGrid)[r][c] = own(totalGrid)[r][c];
      moveExcessOntoGlacier(r, c, g);
      turnSnowIntoFirn(r, c, true);
      return;
    }
    own(firnSnowGrid)[r][c] = own(glacierTotalGrid)[r][c];
    if (g < 1.0) {
      moveExcessOntoGlacier(r, c, g);
    } else {
      own(packResetGrid)[r][c] = own(totalGrid)[r][c] + takeLayeredSnow(r, c);
      own(solidGrid)[r][c] = own(liquidGrid)[r][c] = own(totalGrid)[r][c] = 0.0;
    }
    codesOld[r][c] = codes[r][c];
    turnSnowIntoFirn(r, c, false);
  });

  const int moved[] = {glacierGridIndex,
                       glacierCodesIndex,
                       grids[glacierizedOldGrid].index,
                       grids[codesOldGrid].index,
                       grids[massBalanceGrid].index,
                       grids[oldMassBalanceGrid].index,
                       grids[firnTotalGrid].index};
  for (int index : moved) MPIGatherGrid(index);
  MPIGatherStack(grids[firnTotalGrid].index);
  shareExitCode(*diag, mpiRank != 0 ? 0 : catchExitCode([&] {
    const GlacierField field = glacierField();
    glacierList.glacierBalance(field, *diag);
    glacierList.build(field, *diag);
    glacierBasins = glacierList.subbasinTable(field, zones.zoneCount);
  }));
  for (int index : moved) MPIScatterGrid(index);
  MPIScatterStack(grids[firnTotalGrid].index);
  // The scatter fills only the cells each process owns; groundwater weighs
  // its faces by the neighbours' glacier shares, so the halo must follow.
  std::vector<Grid> scattered;
  for (int index : moved) scattered.push_back(registry[index].grid);
  MPIExchangeGridHalos(scattered);
  MPIExchangeStackHalo(grids[firnTotalGrid].index, glacier.firnLevels);
  *diag << "DEBUG: glaciers changed, updating glaicerlist now..."
        << "[end-entry]";
  shareGlacierSubbasins();
  // The storages keep their outflow per glacier area, whatever the area.
  runoffExtentChange = glacierRunoffStorage();
  for (size_t s = 0; s < runoffExtentChange.size() && s < heldBefore.size(); ++s)
    runoffExtentChange[s] -= heldBefore[s];
  cells.forEach([&](long r, long c) {
    double& mb = own(massBalanceGrid)[r][c];
    double& old = own(oldMassBalanceGrid)[r][c];
    if (zones.indexOf(zones.grid[r][c]) <= 0 || !(glacierGrid[r][c] > 0.0))
      mb = old = 0.0;
    else
      old = mb;
  });
}

// What lies beyond the largest pack on the part beside the glacier goes
// onto the glacier, so much deeper there as that part is smaller.
void schneemodellklasse::moveExcessOntoGlacier(long r, long c, double g) {
  double& s = own(solidGrid)[r][c];
  double& w = own(liquidGrid)[r][c];
  const double total = s + w;
  const double excess = total - glacier.maxSnowPackToCreateGlacier;
  if (!(excess > 0.0)) return;
  const double liquid = w / total;
  const double onGlacier = (1.0 - g) / g * excess;
  own(glacierSolidGrid)[r][c] += onGlacier * (1.0 - liquid);
  own(glacierLiquidGrid)[r][c] += onGlacier * liquid;
  own(glacierTotalGrid)[r][c] = own(glacierSolidGrid)[r][c] + own(glacierLiquidGrid)[r][c];
  s -= excess * (1.0 - liquid);
  w -= excess * liquid;
  own(totalGrid)[r][c] = s + w;
  own(packResetGrid)[r][c] = excess;
  own(massBalanceGrid)[r][c] += excess;
  transferLayeredSnow(r, c, false, 1.0, -excess, std::min(0.0, temperature[r][c]));
}

// The year's snow on the glacier becomes the top firn layer; the lowest
// layer turns to ice.
void schneemodellklasse::turnSnowIntoFirn(long r, long c, bool newGlacier) {
  double* layers = firnStack[r][c];
  const int levels = glacier.firnLevels;
  const double nodata = header.nodata;
  for (int k = levels - 1; k >= 1; --k) layers[k + 1] = layers[k] == nodata ? 0.0 : layers[k];
  if (levels >= 1) layers[1] = own(glacierTotalGrid)[r][c];
  double sum = 0.0;
  for (int k = 1; k <= levels; ++k) sum += layers[k] == nodata ? 0.0 : layers[k];
  layers[0] = own(firnTotalGrid)[r][c] = sum;
  own(glacierSolidGrid)[r][c] = own(glacierLiquidGrid)[r][c] = own(glacierTotalGrid)[r][c] = 0.0;
  if (newGlacier) own(massBalanceGrid)[r][c] = own(oldMassBalanceGrid)[r][c] = sum;
}
