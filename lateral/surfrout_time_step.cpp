// One time step of surface routing: the zones move towards the outlet, the
// sub-steps route the ponded water in inner steps and collect the runoff
// into the zones, and the end of the step passes the outlet zone through
// the linear storages into the subbasin runoff Qg.
#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/exact_sum.h"
#include "lateral/surface_flow_directions.h"
#include "lateral/surfaceroutingclass.h"

using namespace surface_flow;

namespace {

constexpr int notInitialisedCode = 57;

} // namespace

surfaceroutingclass::RunoffArrays* surfaceroutingclass::getQg() {
  if (flowControl == 0) return nullptr;
  if (Qg.empty() || Qg[0].empty()) {
    *diag << (Qg.empty() ? "FATAL: Qg (surface routing) not initialized"
                         : "FATAL: Qg[0] (surface routing) not initialized")
          << " (may be, tracer module not linked? -> programmers error!)"
          << "[end-entry]";
    throw notInitialisedCode;
  }
  return &Qg;
}

void surfaceroutingclass::startStep(long minute, long hour, long day, long month, long year) {
  reportModelTime(minute, hour, day, month, year);
  if (flowControl == 0) return;
  for (ModuleStatistic& s : statistics) s.statistic->resetZones();
  for (const auto& t : tracers) t->statistic->resetZones();
  for (auto* records : {&zoneFZT_QD, &zoneFZT_QI})
    for (auto& t : *records)
      for (size_t s = 1; s < t.size(); ++s) t[s].shift();
}

double surfaceroutingclass::substepSeconds() const {
  return timeStepMinutes / static_cast<double>(substeps) * 60.0;
}

// The stable step of the whole grid, shortened so that whole inner steps
// fill the sub-step, within the configured limits.
double surfaceroutingclass::adaptedSubTimeStep(double stable) const {
  const double T = substepSeconds();
  const double step = T / (std::floor(T / stable) + 1.0);
  return std::min(std::max(step, minSubTimeStep), maxSubTimeStep);
}

void surfaceroutingclass::routeSubstep(long minute, long hour, long day, long month, long year) {
  currentDate = ModelDate{minute, hour, day, month, year};
  if (flowControl == 0) return;
  runPreparationSweep();
  // The conductances of method 6 read the neighbours' new heads at once;
  // the other methods exchange them before their flow sweep.
  if (flowPathMethod == 6) exchangeHeadsAndFluxes();
  const double T = substepSeconds();
  subTimeStep = minSubTimeStep;
  InnerSteps steps(T, minSubTimeStep);
  long refreshPass = 0;
  for (long counter = 0; !steps.done(); ++counter) {
    const double dt = steps.take();
    routeInnerStep(counter, refreshPass, dt);
    // The stable step is estimated once per sub-step, from the first.
    if (counter == 0) {
      double stable = courantTimeStep();
      checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, &stable, 1, MPI_DOUBLE, MPI_MIN, MPI_COMM_WORLD),
               "MPI_Allreduce of the stable surface-routing step");
      subTimeStep = adaptedSubTimeStep(stable);
      steps.setLater(subTimeStep);
    }
    // Unchanged cells reuse their fluxes until the next refresh.
    if (counter == refreshPass) {
      const double planned = std::floor(T / subTimeStep) + 1.0;
      refreshPass =
          static_cast<long>(std::floor(static_cast<double>(counter) + planned / (T / maxSubTimeStep)));
    }
    runHeadUpdateSweep(dt);
    exchangeHeadsAndFluxes();
  }
  collectSubstepRunoff();
}

void surfaceroutingclass::exchangeHeadsAndFluxes() {
  MPIExchangeGridHalo(registryIndex[headSlot]);
  MPIExchangeGridHalo(registryIndex[headOldSlot]);
  MPIExchangeStackHalo(registryIndex[fluxesSlot], 10);
  // The neighbours' concentrations go with their fluxes.
  if (!concQDGrids.empty())
    for (const auto& t : tracers) MPIExchangeGridHalo(t->concstorIndex);
}

void surfaceroutingclass::routeInnerStep(long counter, long refreshPass, double dt) {
  if (flowPathMethod != 6) {
    exchangeHeadsAndFluxes();
    runFlowSweep(counter, refreshPass);
    exchangeHeadsAndFluxes();
    return;
  }
  runConductanceSweep();
  MPIExchangeGridHalo(registryIndex[roughnessXSlot]);
  MPIExchangeGridHalo(registryIndex[roughnessYSlot]);
  for (long i = 1;; ++i) {
    MPIExchangeGridHalo(registryIndex[headSlot]);
    MPIExchangeGridHalo(registryIndex[headOldSlot]);
    double change = runHeadIterationSweep(i, dt);
    checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, &change, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD),
             "MPI_Allreduce of the surface-routing head change");
    if (i >= maxIterVelocity || !(change > maxErrorVelocity)) break;
  }
  exchangeHeadsAndFluxes();
  runFluxSweeps();
}

// Sums that do not depend on how the cells are shared among the processes,
// on every process.
void surfaceroutingclass::sumOverProcesses(std::vector<ExactSum>& sums, const char* what) {
  const char* failedCall = nullptr;
  if (reduceExactSums(sums.data(), static_cast<int>(sums.size()), true, failedCall) ==
      MPI_SUCCESS)
    return;
  *diag << "FATAL: " << failedCall << " failed while " << moduleName << " summed " << what
        << "; the MPI installation is at fault, rerun the model."
        << "[end-entry]";
  throw mpiCallFailed;
}

// The runoff of the sub-step into the flow-time zones of its cells.
void surfaceroutingclass::collectSubstepRunoff() {
  const double K = substeps;
  const size_t n = concQDGrids.empty() ? 0 : concQDGrids.size() - 1;
  zonalstatistic& storage = *statistics[statStorage].statistic;
  // The zones hold exact sums, alike in any order of the cells.
  cells.forEach([&](long r, long c) {
    const bool river = isRiverCell(r, c);
    for (size_t k = 1; k <= n; ++k) {
      concStorGrids[k][r][c] = tracers[k - 1]->concstor[r][c];
      tracers[k - 1]->concstor[r][c] = 0.0;
      if (river)
        concQDGrids[k][r][c] =
            directflowGrid[r][c] > 0.0 ? concQDGrids[k][r][c] / directflowGrid[r][c] : 0.0;
    }
    const int s = zones.indexOf(zones.grid[r][c]);
    storage.addValue(r, c, s, surfStorSiltingUpGrid[r][c], 1.0);
    const size_t z = flowTimesGrid ? static_cast<size_t>(flowTimeZone(flowTimesGrid[r][c])) : 1;
    const double w = cellWeights ? cellWeights[r][c] : 1.0;
    const double direct = river ? directflowGrid[r][c] : 0.0;
    const double inter = interflowGrid[r][c];
    zoneFZT_QD[0][static_cast<size_t>(s)].add(z, w * K * direct, 1.0, w);
    zoneFZT_QI[0][static_cast<size_t>(s)].add(z, w * K * inter, 1.0, w);
    // A concentration of water is the mean weighted by the water.
    for (size_t k = 1; k <= n; ++k) {
      const double carried = river ? w * concQDGrids[k][r][c] * direct : 0.0;
      zoneFZT_QD[k][static_cast<size_t>(s)].add(z, carried, direct, w * direct);
      zoneFZT_QI[k][static_cast<size_t>(s)].add(z, w * concQIGrids[k][r][c] * inter, inter,
                                                w * inter);
    }
  });
}

// What the fluxes of a method 1-5 cell carry over the border of its
// subbasin: the subbasins share the land, not only the rivers.
double surfaceroutingclass::borderExchange(long row, long col, double dt) const {
  const double zone = zoneGrid[row][col];
  const double* Q = fluxesStack[row][col];
  double net = 0.0;
  for (int k = 1; k <= 8; ++k) {
    const long r = row + rowStep[k], c = col + columnStep[k];
    if (!inDomain(r, c) || zoneGrid[r][c] == zone) continue;
    net += fluxesStack[r][c][opposite(k)];
    if (Q[k] > 0.0) net -= Q[k];
  }
  return net * dt;
}

// What the faces of a method 6 cell pass from cells of other subbasins,
// m^3/s: the face fluxes point east and south.
double surfaceroutingclass::faceBorderInflow(long row, long col) const {
  const double zone = zoneGrid[row][col];
  const double* Q = fluxesStack[row][col];
  const auto other = [&](long r, long c) { return inDomain(r, c) && zoneGrid[r][c] != zone; };
  double net = 0.0;
  if (other(row - 1, col)) net += Q[1];
  if (other(row, col + 1)) net -= Q[3];
  if (other(row + 1, col)) net -= Q[5];
  if (other(row, col - 1)) net += Q[7];
  return net;
}

// The cells' exchange of the step per subbasin, in row order and alike on
// any number of processes. Collective.
void surfaceroutingclass::sumBorderInflow() {
  std::vector<ExactSum> sums(subbasinBorderInflow.size());
  cells.forEachInOrder([&](long r, long c) {
    double& cell = cellBorderInflow[ownCellIndex(r, c)];
    sums[static_cast<size_t>(zones.indexOf(zones.grid[r][c]))].add(cell);
    cell = 0.0;
  });
  sumOverProcesses(sums, "the water crossing the borders of its subbasins");
  for (size_t s = 0; s < sums.size(); ++s) subbasinBorderInflow[s] = sums[s].value();
}

void surfaceroutingclass::endStep() {
  if (flowControl == 0) return;
  getQg();
  if (bordersFollowed) sumBorderInflow();
  const size_t n = Qg.size() - 1;
  const size_t N = static_cast<size_t>(zones.zoneCount);
  sumZonesOnRoot();
  if (mpiRank == 0)
    for (size_t s = 1; s <= N; ++s) {
      const double rel = zones.records[s].areaFraction;
      passStorage(zoneFZT_QD, QDin, QDd, storageConstantQD, s, statistics[statQD]);
      passStorage(zoneFZT_QI, QIin, QIi, storageConstantQI, s, statistics[statQI]);
      const double baseflow = QBb && !QBb->empty() ? (*QBb)[0][s] : 0.0;
      Qg[0][s] = QDd[0][s] + QIi[0][s] + baseflow + glacierRunoff[s];
      ZoneRecord& b = statistics[statQB].records[s];
      b.weightSum = b.effectiveWeight = rel;
      b.valueSum = rel * baseflow;
      ZoneRecord& g = statistics[statQG].records[s];
      g.weightSum = g.effectiveWeight = rel;
      g.valueSum = rel * Qg[0][s];
      // The tracers of the baseflow are known on rank 0 alone.
      for (size_t k = 1; k <= n; ++k) {
        const double tracerBase = QBb && QBb->size() > k ? (*QBb)[k][s] : 0.0;
        const double sum = baseflow + QIi[0][s] + QDd[0][s];
        Qg[k][s] =
            sum > 0.0
                ? (baseflow * tracerBase + QIi[0][s] * QIi[k][s] + QDd[0][s] * QDd[k][s]) / sum
                : 0.0;
        ZoneRecord& record = tracers[k - 1]->zoneRecords[s];
        record.valueSum = Qg[k][s];
        record.weightSum = record.effectiveWeight = 1.0;
      }
    }
  const ModelDate& d = currentDate;
  for (StatisticKind k : {statQD, statQI, statQG, statQB, statStorage})
    statistics[k].statistic->storeStep(d.year, d.month, d.day, d.hour, d.minute, 1);
  // Rank 0 alone runs the storages; every process keeps and stores them.
  for (RunoffArrays* a : {&QDd, &QIi, &Qg})
    for (std::vector<double>& row : *a)
      checkMPI(*diag,
               MPI_Bcast(row.data(), static_cast<int>(row.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD),
               "MPI_Bcast of the surface-routing runoff storages");
  const bool runEnds = d.minuteIndex() >= getEndMinuteIndex();
  for (size_t k = 1; k <= n; ++k) {
    tracers[k - 1]->statistic->storeStep(d.year, d.month, d.day, d.hour, d.minute, 1);
    if (tracerStorageIndex[k] > 0) writeOutputGrids(tracerStorageIndex[k], 1, 0);
    // Silting-up writes the store it shares in its step, before this step's
    // routing: the state a warm start reads goes under its plain name at the
    // run's end, where the run writes the store at all.
    const GridRegistryEntry& e = registry[landTracerIndex[k]];
    if (runEnds && tracerStorageIndex[k] < 0 && e.writeMode != 0)
      writeOutputFile(landTracerIndex[k], concStorGrids[k], false, e.firstFileName);
  }
  for (GridSlot slot : {velocitySlot, fluxesSlot}) {
    writeOutputGrids(registryIndex[slot], 1, 0);
    writeOutputStack(registryIndex[slot]);
  }
}

// Every zone of every subbasin into rank 0's records, which keep the runoff
// on its way whole; the other processes' zones start anew. Collective.
void surfaceroutingclass::sumZonesOnRoot() {
  std::vector<RunoffRecords*> sets;
  for (auto* records : {&zoneFZT_QD, &zoneFZT_QI})
    for (auto& t : *records)
      for (size_t s = 1; s < t.size(); ++s) sets.push_back(&t[s]);
  const char* failedCall = "";
  if (RunoffRecords::sumOnRoot(sets, failedCall) == MPI_SUCCESS) return;
  *diag << "FATAL: " << failedCall << " failed while " << moduleName
        << " summed its flow-time zones; the MPI installation is at fault, rerun the model."
        << "[end-entry]";
  throw mpiCallFailed;
}

// The outlet zone of subbasin s through its linear storage, on rank 0.
void surfaceroutingclass::passStorage(ZoneRecords& zone, RunoffArrays& in, RunoffArrays& out,
                                      const double* constants, size_t s,
                                      ModuleStatistic& statistic) {
  const double e = recession(constants, s);
  const auto ratio = [](const ZoneRecord& z) {
    return z.effectiveWeight > 0.0 ? z.valueSum / z.effectiveWeight : 0.0;
  };
  for (size_t t = 0; t < in.size(); ++t) in[t][s] = ratio(zone[t][s][1]);
  const double old = out[0][s];
  out[0][s] = in[0][s] * (1.0 - e) + e * old;
  for (size_t t = 1; t < in.size(); ++t)
    out[t][s] = out[0][s] > 0.0
                    ? ((1.0 - e) * in[0][s] * in[t][s] + e * old * out[t][s]) / out[0][s]
                    : 0.0;
  const double rel = zones.records[s].areaFraction;
  ZoneRecord& record = statistic.records[s];
  record.weightSum = record.effectiveWeight = rel;
  record.valueSum = out[0][s] * rel;
}

double surfaceroutingclass::recession(const double* constants, size_t s) const {
  return constants && constants[s] > 0.0 ? std::exp(-timeStepMinutes / constants[s]) : 0.0;
}

// A linear storage whose outflow q follows q = (1 - e) x + e q' over a step
// holds e / (1 - e) q.
std::vector<double> surfaceroutingclass::concentrationStorage() const {
  const size_t N = static_cast<size_t>(zones.zoneCount);
  std::vector<double> held(N + 1, 0.0);
  if (flowControl == 0 || mpiRank != 0 || QDd.empty()) return held;
  for (size_t s = 1; s <= N; ++s) {
    const double ed = recession(storageConstantQD, s);
    const double ei = recession(storageConstantQI, s);
    held[s] = ed / (1.0 - ed) * QDd[0][s] + ei / (1.0 - ei) * QIi[0][s];
  }
  return held;
}

void surfaceroutingclass::flushStatistics() {
  if (flowControl == 0) return;
  for (ModuleStatistic& s : statistics)
    if (s.statistic) s.statistic->writeBuffer();
  for (const auto& t : tracers)
    if (t->statistic) t->statistic->writeBuffer();
}
