// The irrigation step: the demand of every cell, the supply that the rivers
// and reservoirs give each subbasin, the water and its tracers on the
// fields, and the statistics.
#include <mpi.h>

#include <algorithm>
#include <climits>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "routing/irrigationclass.h"

namespace {

// Below this the river part of a demand counts as met.
constexpr double negligibleDemand = 1e-8;

double ratio(double a, double b) { return b == 0.0 ? 0.0 : a / b; }

} // namespace

void irrigationclass::Step(long minute, long hour, long day, long month, long year) {
  if (flowControl == 0 || routingOnly) return;
  reportModelTime(minute, hour, day, month, year);
  for (Series* s : {&groundwater, &surface}) s->statistic->resetZones();
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) t->statistic->resetZones();

  const double nodata = header.nodata;
  cells.forEach(
      [&](long r, long c) {
        amounts[r][c] = zones.indexOf(zones.grid[r][c]) == 0 ? nodata : demand(r, c, month, day);
      },
      [&](long r, long c) {
        if (zones.grid[r][c] == nodata) amounts[r][c] = nodata;
      });
  sumSurfaceDemand();
  if (mpiRank == 0) shareSupply();
  broadcastSupply();
  cells.forEach([&](long r, long c) { deliver(r, c); });
  addStatistics();
  // The unsaturated zone, whose grid "irrigation_amounts" is, writes it with
  // its own at the end of the step: written here too, every step would be
  // written twice and its sums would restart within the step.
  storeSteps(minute, hour, day, month, year);
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) writeOutputGrids(t->concfluxIndex);
  reportFPE(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
            static_cast<int>(hour), domainArea, timeStepMinutes, 0.0, 0.0, 0.0);
}

const IrrigationRecord* irrigationclass::recordOf(long r, long c) const {
  const double code = codes[r][c];
  if (!(code >= 1.0) || code >= tableSize + 1.0) return nullptr;
  return &(*table)[static_cast<std::size_t>(code)];
}

irrigationclass::CellKind irrigationclass::kindOf(const IrrigationRecord* record) const {
  if (!record || record->method < 1) return withoutIrrigation;
  if (record->origin == irrigationFromGroundwater) return fromGroundwater;
  if (record->origin == irrigationFromSurfaceWater) return fromSurfaceWater;
  return otherOrigin;
}

// The weight with which the statistics count a cell.
double irrigationclass::cellWeight(long r, long c) const {
  return cellWeights && cellWeights[r] && cellWeights[r][c] > header.nodata ? cellWeights[r][c]
                                                                            : 1.0;
}

// The land beside a glacier on part of a cell stands for that part alone,
// and its water per unit of it, unless it stands for all of a lake's cell;
// a cell wholly under a glacier passes what it gets on whole.
double irrigationclass::fieldShare(long r, long c) const {
  if (!glacier || glacier[r][c] == header.nodata) return 1.0;
  const double g = std::clamp(glacier[r][c], 0.0, 1.0);
  if (g >= 1.0 || (lakeCellsWhole && lakeCodes && lakeCodes[r][c] > 0.0)) return 1.0;
  return 1.0 - g;
}

// No field lies under a glacier that keeps a pack of its own and covers
// the whole cell: the pack beside it there stands for no area, and the
// glacier's pack takes no sprinkler water.
bool irrigationclass::underOwnPack(long r, long c) const {
  return glacierKeepsPack && glacier[r][c] != header.nodata && glacier[r][c] >= 1.0;
}

double irrigationclass::demand(long r, long c, long month, long day) const {
  const IrrigationRecord* record = recordOf(r, c);
  if (kindOf(record) == withoutIrrigation || underOwnPack(r, c)) return 0.0;
  double amount = amounts[r][c];
  if (record->method <= irrigationBySchedule)
    amount = record->scheduledAmount(month, day) * timeStepMinutes / 1440.0;
  else if (record->method <= irrigationByEtrEtpRatio)
    amount = demandByMoisture(r, c, *record);
  if (record->origin == irrigationFromGroundwater) amount = std::min(amount, maxPumping[r][c]);
  return amount;
}

// Irrigation starts with what fills the root zone from its water content up
// to the upper threshold and keeps that rate while the soil is dry; below a
// day it runs on until the upper threshold is reached. The ratio of method 4
// may call for water where the root zone holds more than the upper
// threshold already: it gets none, rather than losing its rain.
double irrigationclass::demandByMoisture(long r, long c, const IrrigationRecord& record) const {
  const double previous = amounts[r][c];
  const double moisture = topMoisture[r][c];
  const bool dry = record.method == irrigationBySuction ? lowMoisture[r][c] > moisture
                                                        : record.minEtrEtp > etrEtp[r][c];
  if (dry)
    return previous == 0.0 ? std::max(0.0, (highMoisture[r][c] - moisture) * rootDepth[r][c] *
                                               1000.0 * timeStepMinutes / 1440.0)
                           : previous;
  if (timeStepMinutes >= 1440.0 || moisture >= highMoisture[r][c]) return 0.0;
  return previous;
}

// Exact sums, so that they do not depend on how the cells are shared out
// among the processes and threads.
void irrigationclass::sumSurfaceDemand() {
  std::fill(demandSums.begin(), demandSums.end(), ExactSum{});
  threadDemandSums.reset(demandSums.size());
  cells.forEach([&](long r, long c) {
    const int z = zones.indexOf(zones.grid[r][c]);
    const CellKind kind = kindOf(recordOf(r, c));
    if (z == 0 || kind == otherOrigin) return;
    const double g = cellWeight(r, c);
    ExactSum* sums = threadDemandSums.mine() + 2 * static_cast<std::size_t>(z);
    sums[0].add(kind == fromSurfaceWater ? amounts[r][c] * g * fieldShare(r, c) : 0.0);
    sums[1].add(g);
  });
  threadDemandSums.forEachValue([&](std::size_t i, const ExactSum& sum) { demandSums[i].add(sum); });
  if (mpiSize < 2) return;
  const char* call = "";
  checkMPI(
      *diag,
      reduceExactSums(demandSums.data(), static_cast<int>(demandSums.size()), false, call),
      call);
}

// The reservoir gives what it holds up to the demand, the river the rest as
// far as it carries water; each cell of the subbasin receives the same share
// of its demand, so that the fields get what the sources lose. Without
// routing's tables there is no surface water.
void irrigationclass::shareSupply() {
  const int n = zones.zoneCount;
  std::vector<double> mean(static_cast<std::size_t>(n) + 1, 0.0);
  std::vector<double> fromReservoir(mean.size(), 0.0);
  for (int i = 1; i <= n; ++i) {
    const double value = demandSums[2 * static_cast<std::size_t>(i)].value();
    const double weight = demandSums[2 * static_cast<std::size_t>(i) + 1].value();
    mean[i] = weight > 0.0 ? value / weight : 0.0;
    const double offered = maxirrigFromReservoirs ? maxirrigFromReservoirs[0][i] : 0.0;
    fromReservoir[i] = offered > 0.0 ? std::min(mean[i], offered) : 0.0;
  }
  takeFromRivers(mean, fromReservoir);
  shortage = false;
  for (int i = 1; i <= n; ++i) {
    const double value = demandSums[2 * static_cast<std::size_t>(i)].value();
    const double weight = demandSums[2 * static_cast<std::size_t>(i) + 1].value();
    const double fromRiver = mean[i] - fromReservoir[i];
    double met = 1.0;
    if (value > 0.0 && fromRiver > negligibleDemand)
      met = maxirrig ? std::clamp(maxirrig[0][i] / fromRiver, 0.0, 1.0) : 0.0;
    if (maxirrig) maxirrig[0][i] = met;
    const double share = mean[i] > 0.0 ? (fromReservoir[i] + met * fromRiver) / mean[i] : 1.0;
    supply[static_cast<std::size_t>(i)] = share;
    if (share < 1.0) shortage = true;
    ZoneRecord& d = surfaceDemand[static_cast<std::size_t>(i)];
    d.valueSum = share * value;
    d.weightSum = d.effectiveWeight = weight;
    if (maxirrigFromReservoirs) maxirrigFromReservoirs[0][i] = fromReservoir[i];
  }
  supply[0] = shortage ? 1.0 : 0.0;
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  for (std::size_t k = 1; k <= tracers.size() && maxirrig; ++k)
    for (int i = 1; i <= n; ++i) supply[k * stride + static_cast<std::size_t>(i)] = maxirrig[k][i];
}

// The tributaries in the order routing names them, upstream before
// downstream: what a subbasin takes, every subbasin below it misses.
void irrigationclass::takeFromRivers(const std::vector<double>& mean,
                                     const std::vector<double>& fromReservoir) {
  if (!routingTarget || !maxirrig) return;
  const int n = zones.zoneCount;
  const std::vector<int>& list = routingTarget->tributaries;
  const std::vector<int>& below = routingTarget->downstream;
  const auto area = [&](int z) { return zones.records[static_cast<std::size_t>(z)].areaFraction; };
  for (std::size_t k = 1; k < list.size() && list[k] >= 1; ++k) {
    const int z = list[k];
    if (z > n) continue;
    const double taken = std::max(0.0, std::min(maxirrig[0][z], mean[z] - fromReservoir[z]));
    const double volume = taken * domainArea * area(z);
    lowerRiverflow(z, volume);
    for (int u = below[static_cast<std::size_t>(z)]; u > 0;
         u = below[static_cast<std::size_t>(u)]) {
      maxirrig[0][u] = std::max(0.0, maxirrig[0][u] - taken * ratio(area(z), area(u)));
      lowerRiverflow(u, volume);
    }
  }
}

void irrigationclass::lowerRiverflow(int column, double volume) {
  if (!riverflow) return;
  ReinfiltrationRecord& record = riverflow[column];
  if (record.attachment == 0) return;
  record.flowm3s -= volume / (timeStepMinutes * 0.06);
  if (record.catchmentArea > 0.0)
    record.flow_mm[0] = timeStepMinutes * record.flowm3s / record.catchmentArea * 0.06;
  if (record.flowm3s < 0.0 || record.flow_mm[0] < 0.0) record.flow_mm[0] = record.flowm3s = 0.0;
}

void irrigationclass::broadcastSupply() {
  if (mpiSize > 1) {
    if (supply.size() > static_cast<std::size_t>(INT_MAX)) {
      *diag << "FATAL: irrigation: " << zones.zoneCount << " subbasins and " << tracers.size()
            << " tracers are too many for one broadcast"
            << "[end-entry]";
      throw mpiCallFailed;
    }
    checkMPI(
        *diag,
        MPI_Bcast(supply.data(), static_cast<int>(supply.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD),
        "MPI_Bcast of the irrigation supply");
  }
  shortage = supply[0] != 0.0;
}

// The subbasin's share of the demand on surface water, the tracers of the
// water that falls on the cell and the water itself.
void irrigationclass::deliver(long r, long c) {
  const int z = zones.indexOf(zones.grid[r][c]);
  const double code = codes[r][c];
  if (z == 0 || !(code >= 0.0) || code >= tableSize + 1.0) {
    // Unwatered, the cell passes the rain on at its concentration.
    for (std::size_t k = 0; k < tracers.size(); ++k)
      tracers[k]->concflux[r][c] = precipitation[r][c] > 0.0 ? tracerInput[k][r][c] : 0.0;
    return;
  }
  const CellKind kind = kindOf(recordOf(r, c));
  double& amount = amounts[r][c];
  if (shortage && kind == fromSurfaceWater) amount *= supply[static_cast<std::size_t>(z)];
  const double rain = precipitation[r][c];
  const std::size_t stride = static_cast<std::size_t>(zones.zoneCount) + 1;
  for (std::size_t k = 0; k < tracers.size(); ++k) {
    double& out = tracers[k]->concflux[r][c];
    const double in = tracerInput[k][r][c];
    if (!(amount > 0.0)) {
      out = rain > 0.0 ? in : 0.0;
      continue;
    }
    double water = 0.0;
    if (kind == fromGroundwater)
      water = tracerStorage[k] ? tracerStorage[k][r][c] : 0.0;
    else if (kind == fromSurfaceWater)
      water = supply[(k + 1) * stride + static_cast<std::size_t>(z)];
    else
      continue;
    out = mixConcentration(in, water, rain, amount);
  }
  precipitation[r][c] = rain + amount;
}

// One series a thread, each summing the cells in row order.
void irrigationclass::addStatistics() {
  const long count = 2 + static_cast<long>(tracers.size());
#pragma omp parallel for schedule(dynamic, 1)
  for (long j = 0; j < count; ++j) {
    if (j < 2) {
      const CellKind own = j == 0 ? fromGroundwater : fromSurfaceWater;
      zonalstatistic& s = *(j == 0 ? groundwater : surface).statistic;
      cells.forEachInOrder([&](long r, long c) {
        const int z = zones.indexOf(zones.grid[r][c]);
        const CellKind kind = kindOf(recordOf(r, c));
        if (z == 0 || kind == otherOrigin) return;
        s.addValue(r, c, z, kind == own ? amounts[r][c] : 0.0, 1.0);
      });
      continue;
    }
    const SubmodelTracer& t = *tracers[static_cast<std::size_t>(j) - 2];
    cells.forEachInOrder([&](long r, long c) {
      const int z = zones.indexOf(zones.grid[r][c]);
      const double code = codes[r][c];
      if (z == 0 || !(code >= 0.0) || code >= tableSize + 1.0) return;
      // Mass over water: the concentration of what reached the cell.
      t.statistic->addValue(r, c, z, t.concflux[r][c], precipitation[r][c]);
    });
  }
}

// Every statistic ends its step, whatever another's failure, so that the
// processes meet in the same reductions.
void irrigationclass::storeSteps(long minute, long hour, long day, long month, long year) {
  std::vector<zonalstatistic*> all = {groundwater.statistic.get(), surface.statistic.get()};
  for (const std::unique_ptr<SubmodelTracer>& t : tracers) all.push_back(t->statistic.get());
  int failure = 0;
  for (zonalstatistic* s : all) {
    const int code = catchExitCode([&] { s->storeStep(year, month, day, hour, minute, 1); });
    if (failure == 0) failure = code;
  }
  shareExitCode(*diag, failure);
}
