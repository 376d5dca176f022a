// Runoff concentration of the unsaturated zone: the flow-time distribution
// of every subbasin (time-area method), and per step the runoff that
// reaches the outlets through the linear storages of direct runoff and
// interflow, with the baseflow and the total runoff.

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int flowTimeCode = 6;
constexpr int runoffMissingCode = 57;
constexpr int emptyFirstZoneCode = 61;
constexpr int reductionCode = 121;

// Rank 0's plain log; a failure is only a warning.
void appendRootLog(DiagStream& diag, const std::string& text, const char* warning) {
  const char* const name = "modell_0.log";
  if (appendOutputFile(name, text) == 0) return;
  diag << warning << name << "[end-entry]";
}

void checkReduction(DiagStream& diag, int result, const char* call) {
  if (result == MPI_SUCCESS) return;
  diag << "FATAL: unsatzon_model: " << call << " of the runoff records failed: "
       << mpiErrorText(result) << "[end-entry]";
  throw reductionCode;
}

void reduce(DiagStream& diag, std::vector<ExactSum>& pairs, bool toAll) {
  const char* call = "";
  const int result = reduceExactSums(pairs.data(), static_cast<int>(pairs.size()), toAll, call);
  checkReduction(diag, result, call);
}

} // namespace

void unsatzonmodellklasse::initTracers(int& errorCode, int count, std::vector<TracerRecord>& table,
                                       StatisticTableEntry* statisticTable, long tableSize) {
  errorCode = 0;
  if (getFlowControl() == 0 || routingOnly) return;
  errorCode = catchModuleFailure([&] {
    tracerCount = count;
    if ((settings.interaction >= 1 || groundwaterActive) && !riverInfiltration) {
      riverInfiltration = registerOwnGrid("river_infiltration", &settings.grids[lineGWIN]);
      riverExfiltration = registerOwnGrid("river_exfiltration", &settings.grids[lineGWEX]);
    }
    if (groundwaterActive && !aquiferExchange)
      aquiferExchange = registerOwnGrid("aquifer_exchange", nullptr, 0.0);
    registerGroundwaterOwed();
    registerIrrigationOwed();
    computeFlowTimeDistribution();
    if (count > 0) setUpTracers(table, statisticTable, tableSize);
    if (settings.interaction >= 1) setUpRivers();
    if (settings.readGrid == 1) shareExitCode(*diag, catchExitCode([&] { readStorageFile(); }));
  });
}

void unsatzonmodellklasse::computeFlowTimeDistribution() {
  *diag << "INFO: looking for longest flow travel time" << "[end-entry]";
  const size_t n = static_cast<size_t>(zones.zoneCount);
  const int index = findGrid("flow_times");
  flowTimes = index > 0 ? registry[index].grid : nullptr;
  if (flowTimes)
    builtOnceFrom(index, "the unsaturated zone turns its flow times (s) into whole time steps in "
                         "place and builds the flow-time zones of every subbasin from them at "
                         "set-up");
  longestFlowTime.assign(n + 1, 1.0);
  if (flowTimes) convertFlowTimes(flowTimes, longestFlowTime);
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier");
  checkMPI(*diag,
           MPI_Allreduce(MPI_IN_PLACE, longestFlowTime.data(), static_cast<int>(n + 1), MPI_DOUBLE,
                         MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce");
  checkMPI(*diag, MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier");
  *diag << "INFO: done and reduced to rank 0" << "[end-entry]";

  // Per subbasin the relative area of all its cells, and with flow times
  // the share of every class.
  const size_t tracers = static_cast<size_t>(tracerCount) + 1;
  directRecords.assign(tracers, std::vector<RunoffRecords>(n + 1));
  interflowRecords.assign(tracers, std::vector<RunoffRecords>(n + 1));
  baseflowRecords.assign(tracers, RunoffRecords{});
  for (size_t k = 0; k < tracers; ++k) {
    baseflowRecords[k].resize(n + 1);
    for (size_t s = 0; s <= n; ++s) {
      const size_t classes = static_cast<size_t>(longestFlowTime[s]) + 1;
      directRecords[k][s].resize(classes);
      interflowRecords[k][s].resize(classes);
    }
  }
  for (RunoffArrays* a : {&Qg, &QD, &QI, &QBb, &QDout, &QIout})
    a->assign(tracers, std::vector<double>(n + 1, 0.0));

  std::vector<RunoffRecords>& water = directRecords[0];
  std::vector<ExactSum> area(n + 1);
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c)) continue;
      const size_t s = static_cast<size_t>(zones.indexOf(zones.grid[r][c]));
      area[s].add(cellWeight(r, c));
      if (flowTimes) water[s].add(static_cast<size_t>(flowTimes[r][c]), 0.0, cellWeight(r, c), 0.0);
    }
  reduce(*diag, area, true);
  subbasinWeight.assign(n + 1, 0.0);
  for (size_t s = 0; s <= n; ++s) subbasinWeight[s] = area[s].value();

  if (flowTimes) {
    std::vector<ExactSum> pairs;
    for (size_t s = 0; s <= n; ++s)
      for (size_t t = 0; t < water[s].size(); ++t) {
        pairs.resize(pairs.size() + 3);
        water[s].pack(t, &pairs[pairs.size() - 3]);
      }
    reduce(*diag, pairs, true);
    size_t at = 0;
    for (size_t s = 0; s <= n; ++s)
      for (size_t t = 0; t < water[s].size(); ++t, at += 3) water[s].unpack(t, &pairs[at]);
  }
  for (size_t s = 1; s <= n; ++s) {
    const size_t classes = water[s].size();
    double total = 0.0;
    for (size_t t = 1; t < classes; ++t) total += water[s][t].weightSum;
    for (size_t t = 1; t < classes; ++t) {
      const double fraction =
          flowTimes ? (total > 0.0 ? water[s][t].weightSum / total : 0.0) : (t == 1 ? 1.0 : 0.0);
      for (size_t k = 0; k < tracers; ++k)
        for (RunoffRecords* records : {&directRecords[k][s], &interflowRecords[k][s]}) {
          (*records)[t].areaFraction = fraction;
          (*records)[t].code = static_cast<double>(t);
        }
    }
    water[s].clearSums();
  }
  if (!flowTimes) {
    if (mpiRank == 0)
      appendRootLog(*diag,
                    "flow time distribution will not be calculated since no flow time grid was "
                    "provided\n",
                    "WARNING: log file could not be opened: ");
    return;
  }
  shareExitCode(*diag, mpiRank == 0 ? catchExitCode([&] { checkFirstFlowTimeZones(); }) : 0);
  if (mpiRank == 0) logFlowTimeDistribution();
}

// Seconds to steps, once; a cell without a flow time is reported by its
// process and ends the run on every process.
void unsatzonmodellklasse::convertFlowTimes(Grid grid, std::vector<double>& longest) {
  int failure = 0;
  if (!flowTimesConverted) {
    const double stepSeconds = timeStepMinutes * 60.0;
    for (long r = header.firstRow; r <= header.lastRow && failure == 0; ++r)
      for (long c = 1; c <= header.ncols; ++c) {
        if (!isOwnValidCell(r, c)) continue;
        const double seconds = grid[r][c];
        if (seconds == header.nodata || !(seconds >= 0.0)) {
          const std::string named = gridWithFile("flow_times");
          *diag << "FATAL: in flow-travel-time grid " << named << ": row " << r << ", column " << c
                << " holds " << seconds
                << ", which is no flow time\n-> give every cell of the catchment a flow time of "
                   "0 s or more"
                << "[end-entry]";
          failure = flowTimeCode;
          break;
        }
        grid[r][c] = std::max(1.0, std::ceil(seconds / stepSeconds));
      }
    flowTimesConverted = failure == 0;
  }
  shareExitCode(*diag, failure);
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c)) {
        double& m = longest[static_cast<size_t>(zones.indexOf(zones.grid[r][c]))];
        m = std::max(m, grid[r][c]);
      }
}

void unsatzonmodellklasse::checkFirstFlowTimeZones() const {
  for (size_t s = 1; s < directRecords[0].size(); ++s) {
    if (directRecords[0][s][1].areaFraction > 0.0) continue;
    *diag << "FATAL: in flow-travel-time grid: the first time zone of subbasin "
          << subbasinCodes[s] << " has no cells!" << "[end-entry]";
    throw emptyFirstZoneCode;
  }
}

void unsatzonmodellklasse::logFlowTimeDistribution() const {
  std::string text = "flow time distribution:\n";
  char field[64];
  for (size_t s = 1; s < directRecords[0].size(); ++s) {
    const RunoffRecords& records = directRecords[0][s];
    std::snprintf(field, sizeof field, "TG\t%4d\t(%3d\tZonen):", subbasinCodes[s],
                  static_cast<int>(longestFlowTime[s]));
    text += field;
    for (size_t t = 1; t < records.size(); ++t) {
      std::snprintf(field, sizeof field, "\t%5.3f", records[t].areaFraction);
      text += field;
    }
    text += "\n";
  }
  appendRootLog(*diag, text, "WARNING: error opening log-file ");
}

void unsatzonmodellklasse::concentrateRunoff(long minute, long hour, long day, long month,
                                             long year) {
  if (getFlowControl() == 0 || routingOnly) return;
  reduceReinfiltrationRecords();
  requireRunoff(Qg, "Qg");
  const size_t n = static_cast<size_t>(zones.zoneCount);
  const size_t tracers = static_cast<size_t>(tracerCount) + 1;
  // Every flow-time record and the baseflow records of water are summed
  // over the processes into rank 0's records, while the others start anew:
  // every process adds only its own cells, rank 0 keeps the runoff still on
  // its way, whole and without rounding errors carried on, which its state
  // file takes to a warm start.
  std::vector<RunoffRecords*> sets;
  for (size_t k = 0; k < tracers; ++k) {
    for (size_t s = 1; s <= n; ++s)
      for (std::vector<RunoffRecords>* kind : {&directRecords[k], &interflowRecords[k]})
        sets.push_back(&(*kind)[s]);
    sets.push_back(&baseflowRecords[k]);
  }
  if (irrigationOwed) sets.push_back(&drawRecords);
  const char* call = "";
  const int result = RunoffRecords::sumOnRoot(sets, call);
  checkReduction(*diag, result, call);
  oweIrrigationBeyondBaseflow();

  if (mpiRank == 0) {
    const double stepMinutes = timeStepMinutes;
    for (size_t s = 1; s <= n; ++s) {
      const ZoneRecord& arriving = directRecords[0][s][1];
      const ZoneRecord& arrivingInter = interflowRecords[0][s][1];
      const ZoneRecord& base = baseflowRecords[0][s];
      // Every cell of the subbasin adds its relative area once per sub-step.
      const double weight = subbasinWeight[s] * substeps;
      const double direct = weight > 0.0 ? arriving.valueSum / weight : 0.0;
      const double inter = weight > 0.0 ? arrivingInter.valueSum / weight : 0.0;
      const double baseWeight = base.effectiveWeight;
      const double baseValue =
          baseWeight != 0.0 ? std::max(0.0, base.valueSum / baseWeight) : 0.0;
      const double cd = routingConcentration ? 0.0 : std::exp(-stepMinutes / kelsqd[s]);
      const double ci = routingConcentration ? 0.0 : std::exp(-stepMinutes / kelsqi[s]);
      QD[0][s] = direct;
      QI[0][s] = inter;
      QDout[0][s] = direct * (1.0 - cd) + cd * QDout[0][s];
      QIout[0][s] = inter * (1.0 - ci) + ci * QIout[0][s];
      QBb[0][s] = baseValue;
      // The glacier step has put this step's glacier runoff into Qg.
      const bool glacierized = s < glacierZones.size() && glacierZones[s].hasGlacier;
      Qg[0][s] = (glacierized ? Qg[0][s] : 0.0) + QDout[0][s] + QIout[0][s] + baseValue;
      const double area = subbasinWeight[s];
      for (auto [which, value] : {std::pair{statQD, QDout[0][s]}, std::pair{statQI, QIout[0][s]},
                                  std::pair{statQg, Qg[0][s]}}) {
        ZoneRecord& record = statistics[which].records[s];
        record.weightSum = record.effectiveWeight = area;
        record.valueSum = value * area;
      }
    }
  }

  for (int k = 0; k < unsatStatisticCount; ++k)
    if (statistics[k].statistic) {
      const bool subbasinValue = k == statQD || k == statQI || k == statQg;
      statistics[k].statistic->storeStep(year, month, day, hour, minute, subbasinValue ? 0 : 1);
    }
  for (const OwnGrid& g : ownGrids) {
    if (g.index == 0) continue;
    if (g.stack)
      writeOutputStack(g.index);
    else
      writeOutputGrids(g.index);
  }
  concentrateTracers(minute, hour, day, month, year);
}

unsatzonmodellklasse::RunoffArrays* unsatzonmodellklasse::requireRunoff(RunoffArrays& arrays,
                                                                        const char* name) {
  if (getFlowControl() == 0 || routingOnly) return nullptr;
  const char* element = arrays.empty() ? "" : arrays[0].empty() ? "[0]" : nullptr;
  if (!element) return &arrays;
  *diag << "FATAL: " << name << element
        << " not initialized (may be, tracer module not linked? -> programmers error!)"
        << "[end-entry]";
  throw runoffMissingCode;
}

unsatzonmodellklasse::RunoffArrays* unsatzonmodellklasse::getQg() { return requireRunoff(Qg, "Qg"); }
unsatzonmodellklasse::RunoffArrays* unsatzonmodellklasse::getQD() { return requireRunoff(QD, "QD"); }
unsatzonmodellklasse::RunoffArrays* unsatzonmodellklasse::getQI() { return requireRunoff(QI, "QI"); }
unsatzonmodellklasse::RunoffArrays* unsatzonmodellklasse::getQBb() {
  return requireRunoff(QBb, "QBb");
}

// A linear storage whose outflow q follows q = (1 - c) x + c q' over a step
// holds c / (1 - c) q.
std::vector<double> unsatzonmodellklasse::concentrationStorage() const {
  const size_t n = static_cast<size_t>(zones.zoneCount);
  std::vector<double> held(n + 1, 0.0);
  if (getFlowControl() == 0 || routingOnly || mpiRank != 0 || QDout.empty()) return held;
  for (size_t s = 1; s <= n; ++s) {
    const double weight = subbasinWeight[s] * substeps;
    if (weight > 0.0)
      for (const RunoffRecords* records : {&directRecords[0][s], &interflowRecords[0][s]})
        for (size_t t = 2; t < records->size(); ++t) held[s] += (*records)[t].valueSum / weight;
    if (routingConcentration) continue;
    const double cd = std::exp(-timeStepMinutes / kelsqd[s]);
    const double ci = std::exp(-timeStepMinutes / kelsqi[s]);
    held[s] += cd / (1.0 - cd) * QDout[0][s] + ci / (1.0 - ci) * QIout[0][s];
  }
  return held;
}
