// The start of a step of the unsaturated zone and the groundwater table
// that an external program sets.

#include <algorithm>

#include "soil/unsatzonmodellklasse.h"

void unsatzonmodellklasse::readGroundwaterHeads(long year, long month, long day, long hour,
                                                long minute) {
  if (getFlowControl() == 0 || routingOnly) return;
  if (!stepGridsTaken) {
    stepGridsTaken = true;
    // Groundwater registers it after this module's stacks.
    const int headIndex = findGrid("gw_head_1", 1);
    groundwaterHead = headIndex > 0 ? registry[headIndex].grid : nullptr;
  }
  reportModelTime(minute, hour, day, month, year);
  if (soilTemperature && initialiseTemperatures) initialiseSoilTemperatures();
  if (soilTemperature && initialiseSnowTemperatures && snowStacks[snowLineTemper])
    initialiseSnowLayerTemperatures();
  for (size_t k = 0; k < directRecords.size(); ++k) {
    for (RunoffRecords& records : directRecords[k]) records.shift();
    for (RunoffRecords& records : interflowRecords[k]) records.shift();
    baseflowRecords[k].clearSums();
  }
  drawRecords.clearSums();
  // The glacier step of this step writes its runoff anew.
  if (!Qg.empty())
    for (size_t s = 1; s < glacierZones.size(); ++s)
      if (glacierZones[s].hasGlacier) Qg[0][s] = 0.0;
  for (ModuleStatistic& s : statistics)
    if (s.statistic) s.statistic->resetZones();
  if (!externalTableBooked) resetBalance();
  clearLakeExchange();
  externalTableBooked = false;
  for (std::unique_ptr<SoilTracer>& t : soilTracers) t->tracer.statistic->resetZones();
  takeSiltedInputConcentrations();
  broadcastReinfiltrationRecords();
}

// "Balance" books the water of one step.
void unsatzonmodellklasse::resetBalance() {
  const Grid balance = solverGrids.balance;
  if (!balance) return;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c)) balance[r][c] = 0.0;
}

void unsatzonmodellklasse::readGwStorageCoefficients() {
  if (getFlowControl() == 0 || routingOnly) return;
  if (!groundwaterStorage) {
    const int index = findGrid("gw_storage_coeff_1");
    groundwaterStorage = index > 0 ? registry[index].grid : nullptr;
  }
  if (!externalTable) externalTable = registry[findGrid("GWTableExtern", 1)].grid;
  const Grid balance = solverGrids.balance;
  const std::vector<soil_class>& table = *context.soilTable;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (zone[r][c] == nodata) {
        balance[r][c] = baseflow[r][c] = tableDistance[r][c] = nodata;
        continue;
      }
      if (!isOwnValidCell(r, c)) continue;
      double target = externalTable[r][c];
      if (!(target > nodata)) {
        balance[r][c] = 0.0;
        continue;
      }
      const soil_class& soil = table[static_cast<size_t>(soilTypes[r][c])];
      const int n = soil.getLayerCount();
      const double* z = geodeticHeads[r][c];
      double* th = theta[r][c];
      int k = std::clamp(static_cast<int>(tableLayer[r][c]), 1, n);
      const double height = z[0] + tableDistance[r][c];
      double water = 0.0;
      for (int i = 1; i <= n; ++i) water -= th[i] * soil.getThickness(i);
      if (height <= target) {
        // Rising: the layers passed fill up, the one that holds the table
        // in proportion.
        double from = height;
        while (true) {
          const double d = soil.getThickness(k);
          const double sat = soil.getThetaSat(k);
          if (target > z[k - 1] && k > 1) {
            th[k] = sat;
          } else {
            const double to = std::min(target, z[k - 1]);
            th[k] = std::min(sat, th[k] + (sat - th[k]) * (to - from) / d);
            break;
          }
          from = z[k - 1];
          --k;
        }
      } else {
        // Falling: a layer the table leaves gives what it holds above field
        // capacity, in proportion to the thickness drained.
        double from = height;
        while (true) {
          const double d = soil.getThickness(k);
          const double capacity = soil.thetaFromSuction(k, 3.45);
          const double to = std::max(target, z[k]);
          const double loss = (soil.getThetaSat(k) - capacity) * (from - to) / d;
          th[k] -= std::min(loss, std::max(0.0, th[k] - capacity));
          if (target >= z[k]) break;
          if (k == n) {
            target = z[n];
            break;
          }
          from = z[k];
          ++k;
        }
      }
      for (int i = 1; i <= n; ++i) water += th[i] * soil.getThickness(i);
      balance[r][c] = water * 1000.0;
      tableLayer[r][c] = k;
      baseflow[r][c] = 0.0;
      tableDistance[r][c] = target - z[0];
      // The water content the solver places the table by: its position in
      // its layer over the drainable pores, so that the table stays put.
      const double capacity = soil.thetaFromSuction(k, 3.45);
      const double share = std::clamp((target - z[k]) / soil.getThickness(k), 0.0, 1.0);
      tableLayerTheta[r][c] = capacity + share * (soil.getThetaSat(k) - capacity);
    }
  externalTableBooked = true;
}
