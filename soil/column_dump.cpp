// Dump mode: the snapshot of a water step's inputs, the range checks after
// its iteration, the ".dmp" file of a column that failed them and the
// repairs of "-repairAfterDump".

#include "soil/column_dump.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/landuse_class.h"
#include "config/soil_class.h"
#include "core/diag_stream.h"
#include "soil/column_solver.h"

namespace {

constexpr int closeAfterDumpCode = 199;
constexpr double baseflowLimit = 10.0;   // mm per water step
constexpr double thetaTolerance = 0.001; // above saturation
constexpr double noLayer = -9998.9;      // below this a layer is not in use
constexpr double nodataValue = -9999.0;
constexpr int profileCount = 14;

} // namespace

bool DumpControl::countEvent() {
  const long long before = eventCount.fetch_add(1);
  const long long limit = options.maxDumpFiles;
  if (repairs() && limit > 0) {
    if (before + 1 < limit)
      repairMessages.fetch_add(1);
    else if (before + 1 == limit)
      lastRepairMessage.store(true);
  }
  return limit == 0 || before < limit;
}

void DumpControl::noteUnwritable(const char* name) {
  int none = 0;
  if (!unwritableState.compare_exchange_strong(none, 1)) return;
  std::snprintf(unwritableName, sizeof unwritableName, "%s", name);
  unwritableState.store(2);
}

void DumpControl::logNoted(DiagStream& diag) {
  const char* const repairText =
      "DEBUG: \n ---- command line option -repairAfterDump active! --------\n"
      "setting the misbehaving parameter back to what is expected of it :-)";
  for (long long k = repairMessages.exchange(0); k > 0; --k) diag << repairText << "[end-entry]";
  if (lastRepairMessage.exchange(false))
    diag << repairText << "\n continuing from now on without that message..." << "[end-entry]";
  if (unwritableState.load() == 2) {
    unwritableState.store(3);
    diag << "WARNING: the dump file " << unwritableName
         << " cannot be written; no further dump file of this process is reported\n-> check "
            "user rights and disk space of the working directory"
         << "[end-entry]";
  }
  if (closeRequested.exchange(false))
    diag << "FATAL: \n\n -------- command line option -closeAfterDump active! "
            "---------------------------------------------\n\n"
         << " a dumpfile has been written and Horva aborts now.\n"
         << "-------------------------------------------------------------\n\n"
         << "[end-entry]";
}

bool dumpFileName(char* name, std::size_t size, const DumpCell& cell, const RangeFaults& faults,
                  int step) {
  int used = std::snprintf(name, size, "MPI_%d_", cell.rank);
  auto more = [&](int written) {
    used = written < 0 ? static_cast<int>(size) : used + written;
    return static_cast<std::size_t>(used) < size;
  };
  if (faults.heatLayer > 0 &&
      !more(std::snprintf(name + used, size - static_cast<std::size_t>(used), "heat(%d)_",
                          faults.heatLayer)))
    return false;
  if (faults.thetaLayer > 0 &&
      !more(std::snprintf(name + used, size - static_cast<std::size_t>(used), "theta(%d)_",
                          faults.thetaLayer)))
    return false;
  if (faults.baseflow &&
      !more(std::snprintf(name + used, size - static_cast<std::size_t>(used), "dgw_")))
    return false;
  if (faults.snowLayer > 0 &&
      !more(std::snprintf(name + used, size - static_cast<std::size_t>(used), "thetasnow(%d)_",
                          faults.snowLayer)))
    return false;
  return more(std::snprintf(name + used, size - static_cast<std::size_t>(used),
                            "dump_row_%ld_col_%ld_substep_%d_%04ld%02ld%02ld%02ld.dmp", cell.row,
                            cell.column, step, cell.year, cell.month, cell.day, cell.hour));
}

std::size_t ColumnSolver::snapshotSize() const {
  const std::size_t uses = this->uses.size() - 1;
  const std::size_t profile = static_cast<std::size_t>(maxLayers) + 1;
  return 4 + 3 * 8 + (uses + 1) * 8 + profileCount * profile * 8 + 4 + uses * 4 + 4 * 4 + 2 * 8 +
         4 + heatSnapshotSize() + snowSnapshotSize();
}

// The record documented in the README's section on dump files.
void ColumnSolver::takeSnapshot(int step, int steps, double dt, double input, double ponding,
                                double potentialEvaporation, const TableState& table) {
  SoilColumn& c = column;
  SnapshotWriter out(snapshot);
  out.integer(step);
  out.real(dt);
  out.real(input);
  out.real(ponding);
  const int useCount = static_cast<int>(uses.size()) - 1;
  out.real(potentialEvaporation);
  for (int k = 1; k <= useCount; ++k) out.real(demand[static_cast<std::size_t>(k)]);
  const double* profiles[profileCount] = {c.d,     c.thetaSat, c.thetaLow, c.thetaFc, c.ksat,
                                          c.theta0, c.thetaMean, c.head,   c.z,       c.q,
                                          c.lateral, c.sink,     c.uptake, c.evaporation};
  for (const double* p : profiles)
    for (int k = 0; k <= maxLayers; ++k) out.real(k <= c.layers ? p[k] : nodataValue);
  out.integer(useCount);
  for (int k = 1; k <= useCount; ++k) {
    const landuse_class* use = uses[static_cast<std::size_t>(k)].use;
    out.integer(use ? use->getCode() : -1);
  }
  out.integer(dumpCell.row);
  out.integer(dumpCell.column);
  out.integer(c.tableLayer());
  out.integer(steps);
  out.real(table.distance);
  out.real(table.theta);
  out.integer(c.soil->getCode());
  if (heatModel) takeHeatSnapshot(out);
  if (snowModel) takeSnowSnapshot(out);
}

double ColumnSolver::checkWaterStep(int step, double F, double baseflowAmount,
                                    ColumnBudget& budget) {
  SoilColumn& c = column;
  RangeFaults faults;
  if (heatModel) faults.heatLayer = checkHeat(false);
  for (int k = 1; k <= c.layers && faults.thetaLayer == 0; ++k)
    if ((c.theta[k] > noLayer && c.theta[k] < 0.0) || c.theta[k] > c.thetaSat[k] + thetaTolerance)
      faults.thetaLayer = k;
  faults.baseflow = std::fabs(baseflowAmount) > baseflowLimit;
  faults.snowLayer = snowGap;
  snowGap = 0;
  if (!faults.any()) return baseflowAmount;

  DumpControl& control = *dumpCell.control;
  if (control.countEvent()) {
    char name[512];
    std::FILE* file = dumpFileName(name, sizeof name, dumpCell, faults, step)
                          ? std::fopen(name, "wb")
                          : nullptr;
    const std::size_t bytes = snapshotSize();
    bool written = file && std::fwrite(snapshot.data(), 1, bytes, file) == bytes;
    if (file) written = std::fclose(file) == 0 && written;
    if (!written) control.noteUnwritable(name);
    if (written && heatModel && !writeHeatText(name))
      control.noteUnwritable((std::string(name) + "_asc").c_str());
  }
  if (control.closes()) {
    control.noteClose();
    throw closeAfterDumpCode;
  }
  if (!control.repairs()) return baseflowAmount;
  if (faults.heatLayer > 0) checkHeat(true);

  // The repairs keep the water they add or remove in the cell's balance.
  const int end = c.activeEnd();
  double repaired = 0.0;
  for (int k = 1; k <= c.layers; ++k) {
    const double before = c.theta[k];
    if (before > noLayer && before < 0.0)
      c.theta[k] = 0.0;
    else if (before > c.thetaSat[k] + thetaTolerance)
      c.theta[k] = c.thetaSat[k];
    if (k > end) c.theta0[k] = c.theta[k];
    repaired += (c.theta[k] - before) * c.d[k] * 1000.0;
  }
  budget.clamped += repaired;
  if (!faults.baseflow) return baseflowAmount;
  // Baseflow beyond the limit stays in the layers it was taken from.
  const double kept = std::clamp(baseflowAmount, -baseflowLimit, baseflowLimit) / baseflowAmount;
  for (int k = 1; k <= c.layers; ++k) {
    c.theta[k] += baseflow[static_cast<std::size_t>(k)] * (1.0 - kept) * F / 1000.0 / c.d[k];
    baseflow[static_cast<std::size_t>(k)] *= kept;
  }
  return baseflowAmount * kept;
}
