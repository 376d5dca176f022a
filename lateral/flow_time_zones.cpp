// Flow-travel-time zones of surface routing: the runoff of a cell reaches
// its subbasin's outlet after the whole steps of its "flow_times" value.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/exact_sum.h"
#include "core/run_files.h"
#include "lateral/surfaceroutingclass.h"

namespace {

constexpr int noCellsCode = 6;
constexpr int emptyFirstZoneCode = 61;
const char* const modelLog = "modell_0.log";

} // namespace

// The zone of a flow time: its whole steps, the outlet's zone 1 below one.
int surfaceroutingclass::flowTimeZone(double flowTime) {
  return std::max(1, static_cast<int>(std::floor(flowTime)));
}

void surfaceroutingclass::computeFlowTimeZones() {
  *diag << "INFO: looking for longest flow travel time"
        << "[end-entry]";
  const size_t N = static_cast<size_t>(zones.zoneCount);
  maxzeit.assign(N + 1, flowTimesGrid ? 0.0 : 1.0);
  if (flowTimesGrid) {
    // A cell of the catchment without a flow time cannot be routed.
    const long none = header.nrows * (header.ncols + 1) + header.ncols + 1;
    long missing = none;
    cells.forEachInOrder([&](long r, long c) {
      const double t = flowTimesGrid[r][c];
      if (t == header.nodata) {
        missing = std::min(missing, r * (header.ncols + 1) + c);
        return;
      }
      double& longest = maxzeit[static_cast<size_t>(zones.indexOf(zones.grid[r][c]))];
      longest = std::max(longest, std::max(t, 1.0));
    });
    if (missing != none)
      *diag << "FATAL: " << moduleName << ": the grid " << gridWithFile("flow_times")
            << " holds no value at row " << missing / (header.ncols + 1) << ", column "
            << missing % (header.ncols + 1)
            << ", a cell of the catchment; give every cell of the zone grid a flow time."
            << "[end-entry]";
    const CollectiveFailure failure =
        agreeOnFailure(missing != none ? noCellsCode : 0, mpiCallFailed);
    if (failure.code != 0) throw failure.code;
    checkMPI(*diag,
             MPI_Allreduce(MPI_IN_PLACE, maxzeit.data() + 1, static_cast<int>(N), MPI_DOUBLE,
                           MPI_MAX, MPI_COMM_WORLD),
             "MPI_Allreduce of the longest flow times");
  }
  *diag << "INFO: done and reduced to rank 0"
        << "[end-entry]";
  const size_t tracerRows = 1 + (concQDGrids.empty() ? 0 : concQDGrids.size() - 1);
  zoneFZT_QD.assign(tracerRows, std::vector<RunoffRecords>(N + 1));
  for (size_t s = 1; s <= N; ++s)
    for (auto& t : zoneFZT_QD) t[s].resize(static_cast<size_t>(std::floor(maxzeit[s])) + 1);
  zoneFZT_QI = zoneFZT_QD;
  if (!flowTimesGrid) {
    for (auto* records : {&zoneFZT_QD, &zoneFZT_QI})
      for (auto& t : *records)
        for (size_t s = 1; s <= N; ++s) t[s][1].areaFraction = 1.0;
    if (mpiRank == 0 &&
        appendOutputFile(modelLog, "flow time distribution will not be calculated (no flow "
                                   "time grid provided)\n") != 0)
      *diag << "WARNING: log-file " << modelLog << " could not be opened"
            << "[end-entry]";
    return;
  }
  countZoneCells();
  writeFlowTimeDistribution();
  prefillPipeline();
}

// Cell weights per zone, summed so that the sums do not depend on how the
// cells are shared among the processes.
void surfaceroutingclass::countZoneCells() {
  const size_t N = static_cast<size_t>(zones.zoneCount);
  std::vector<size_t> offset(N + 2, 0);
  for (size_t s = 1; s <= N; ++s) offset[s + 1] = offset[s] + zoneFZT_QD[0][s].size();
  std::vector<ExactSum> weights(offset[N + 1]);
  cells.forEachInOrder([&](long r, long c) {
    const size_t s = static_cast<size_t>(zones.indexOf(zones.grid[r][c]));
    const size_t z = static_cast<size_t>(flowTimeZone(flowTimesGrid[r][c]));
    weights[offset[s] + z].add(cellWeights ? cellWeights[r][c] : 1.0);
  });
  sumOverProcesses(weights, "its flow-time zones");
  for (size_t s = 1; s <= N; ++s)
    for (size_t z = 0; z < zoneFZT_QD[0][s].size(); ++z)
      for (auto* records : {&zoneFZT_QD, &zoneFZT_QI}) {
        ZoneRecord& record = (*records)[0][s][z];
        record.weightSum = record.effectiveWeight = weights[offset[s] + z].value();
      }
}

void surfaceroutingclass::writeFlowTimeDistribution() {
  std::string log = "Flow time distribution:\n";
  char piece[64];
  const int flowTimesIndex = findGrid("flow_times");
  builtOnceFrom(flowTimesIndex,
                "surface routing builds the flow-time zones of every subbasin from it at set-up");
  for (size_t s = 1; s < zoneFZT_QD[0].size(); ++s) {
    const int code = static_cast<int>(zones.records[s].code);
    const int count = static_cast<int>(std::floor(maxzeit[s]));
    std::snprintf(piece, sizeof piece, "TG\t%4d\t(%3d\tZonen):", code, count);
    log += piece;
    RunoffRecords& qd = zoneFZT_QD[0][s];
    RunoffRecords& qi = zoneFZT_QI[0][s];
    double sum = 0.0;
    for (int z = 1; z <= count; ++z) sum += qd[static_cast<size_t>(z)].weightSum;
    if (count < 1 || sum == 0.0) {
      *diag << "FATAL: all cells in " << registry[flowTimesIndex].fileName << ", subbasin "
            << code << " are NODATA!"
            << "[end-entry]";
      throw noCellsCode;
    }
    for (int z = 1; z <= count; ++z) {
      const size_t k = static_cast<size_t>(z);
      qd[k].areaFraction = qi[k].areaFraction = qd[k].weightSum / sum;
      qd[k].code = qi[k].code = z;
      std::snprintf(piece, sizeof piece, "\t%5.3f", qd[k].areaFraction);
      log += piece;
      if (z == 1 && !(qd[k].areaFraction > 0.0)) {
        *diag << "FATAL: in flow-travel-time grid: the first time zone of subbasin " << code
              << " has no cells!"
              << "[end-entry]";
        throw emptyFirstZoneCode;
      }
      qd[k].weightSum = 0.0;
      for (size_t t = 1; t < zoneFZT_QD.size(); ++t) {
        zoneFZT_QD[t][s][k].code = zoneFZT_QI[t][s][k].code = z;
        zoneFZT_QD[t][s][k].areaFraction = zoneFZT_QI[t][s][k].areaFraction = 0.0;
      }
    }
    log += '\n';
  }
  // Rank 0 keeps the distribution's record.
  if (mpiRank == 0 && appendOutputFile(modelLog, log) != 0)
    *diag << "WARNING:warning: error opening log-file " << modelLog << "[end-entry]";
}

// Zone z starts with the weights of all cells at least z steps away, as if
// the run had gone on before, times the sub-steps that each add them. Rank
// 0 alone keeps them: the processes' zones are summed at the outlet.
void surfaceroutingclass::prefillPipeline() {
  const double K = substeps;
  for (size_t s = 1; s < zoneFZT_QD[0].size(); ++s)
    for (auto* records : {&zoneFZT_QD, &zoneFZT_QI}) {
      RunoffRecords& zone = (*records)[0][s];
      for (size_t z = 0; z < zone.size(); ++z) {
        zone[z].weightSum *= mpiRank == 0 ? K : 0.0;
        zone[z].effectiveWeight *= mpiRank == 0 ? K : 0.0;
      }
      for (size_t z = zone.size() - 1; z-- > 1;) {
        zone[z].weightSum += zone[z + 1].weightSum;
        zone[z].effectiveWeight += zone[z + 1].effectiveWeight;
      }
    }
}
