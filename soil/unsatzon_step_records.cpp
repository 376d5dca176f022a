// What a sub-step of the unsaturated zone leaves besides the columns: the
// copies of the response units' master cells, the zonal statistics and the
// runoff records of the own cells; and the pumping limit of the step.

#include <algorithm>

#include "soil/unsatzonmodellklasse.h"

namespace {

// A cell of a response unit that has no master cell.
constexpr int unknownUnitCode = 1030;

// Per-cell grids of the module a follower cell of a response unit takes
// from its master cell, each when present: what the solver writes and the
// inputs a follower takes from its master.
const char* const copiedGrids[] = {
    "ponding_storage",      "drainage_level",      "irrigation_amounts",
    "PermafrostThawDepth",  "Max_Pumping",         "ThawDepthTMod",
    "frozenSoilInGroundwater", "ETR2ETP",          "real_evaporation",
    "groundwater_distance", "groundwater_level",   "baseflow",
    "drainage_flow",        "river_infiltration",  "river_exfiltration",
    "directflow",           "interflow",           "macropore_infiltration",
    "groundwater_recharge", "Percolation",         "Capillar_Uprise",
    "infiltration_excess",  "total_infiltration",  "Theta_in_GWLEVEL",
    "SB_1_grid",            "SB_2_grid",           "ROOTgrid",
    "number_of_substeps",   "q_downext",           "MeanThetaInRootZone",
    "Balance",              "irrigation_owed",     "groundwater_owed"};
const char* const copiedStacks[] = {"theta",  "hydraulic_heads",        "geodetic_heads",
                                    "q_down", "Soil_Temperature_Stack", "Soil_SE_Stack"};

} // namespace

// Collective: every process builds the copies of its cells once.
void unsatzonmodellklasse::takeResponseUnitCopies() {
  if (responseUnitCopiesTaken) return;
  responseUnitCopiesTaken = true;
  auto add = [&](const std::string& name) {
    const int index = findGrid(name, 1);
    if (index > 0 && registry[index].grid) hruGrids.push_back(registry[index].grid);
  };
  for (const char* name : copiedGrids) add(name);
  for (int k = 0; k <= landuseLayers; ++k) add("real_transpiration" + std::to_string(k));
  if (upperIndexSnow) hruGrids.push_back(upperIndexSnow);
  const int levels = static_cast<int>(layers) + 1;
  for (const char* name : copiedStacks) {
    const int index = findGrid(name, 1);
    if (index > 0 && registry[index].stack) hruStacks.push_back({registry[index].stack, levels});
  }
  for (const std::unique_ptr<SoilTracer>& t : soilTracers) {
    hruGrids.insert(hruGrids.end(), {t->directflow, t->interflow});
    if (t->pack) hruGrids.push_back(t->pack);
    hruStacks.push_back({t->store, levels});
  }
  if (packWaterLeft) hruGrids.push_back(packWaterLeft);
  for (Stack s : snowStacks)
    if (s) hruStacks.push_back({s, static_cast<int>(snowLayers) + 1});
  buildUnitCopies(unitCopies, ownCells(), unknownUnitCode);
}

// Followers take the states of their masters, on any process; the cells
// with a glacier or a river link compute on their own.
void unsatzonmodellklasse::copyHruMasterStates() { unitCopies.copy(hruGrids, hruStacks); }

// Without the groundwater model the water given to rivers joins the
// baseflow, and irrigation from groundwater takes its step's amount from it
// spread over the sub-steps, as the soil receives it.
double unsatzonmodellklasse::baseflowAmount(long r, long c) const {
  if (groundwaterActive) return riverExfiltration[r][c];
  double amount = baseflow[r][c] * timeStepMinutes / substeps * 60000.0;
  if (riverExfiltration) amount += riverExfiltration[r][c];
  if (irrigatedFromGroundwater(r, c)) amount -= irrigationAmounts[r][c] / substeps;
  return amount;
}

// Irrigation waters the fields beside the glacier.
double unsatzonmodellklasse::glacierPartRain(long r, long c) const {
  const double nodata = header.nodata;
  const Grid p = solverGrids.precipitation;
  if (!p || p[r][c] == nodata) return 0.0;
  const bool watered = irrigationAmounts && irrigationAmounts[r][c] != nodata;
  return p[r][c] - (watered ? irrigationAmounts[r][c] : 0.0);
}

bool unsatzonmodellklasse::irrigatedFromGroundwater(long r, long c) const {
  if (!irrigationCodes || !irrigationAmounts) return false;
  const double code = irrigationCodes[r][c];
  const IrrigationTable& table = *context.irrigationTable;
  return code >= 1.0 && code < static_cast<double>(table.size()) &&
         table[static_cast<size_t>(code)].origin == irrigationFromGroundwater;
}

// After the regions, on all threads: the records and statistics hold exact
// sums, which do not depend on the order of the cells.
void unsatzonmodellklasse::addStepStatistics() {
  const double n = substeps;
  const SolverGrids& s = solverGrids;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r) {
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c)) continue;
      const size_t zone = static_cast<size_t>(zones.indexOf(zones.grid[r][c]));
      const double g = glacierShare(r, c);
      const double w = 1.0 - g;
      const double area = cellWeight(r, c);
      const size_t t = flowTimeClass(r, c);
      RunoffRecords& direct = directRecords[0][zone];
      RunoffRecords& inter = interflowRecords[0][zone];
      if (g < 1.0) {
        direct.add(t, area * w * s.directflow[r][c] * n, w, area * w);
        inter.add(t, area * w * s.interflow[r][c] * n, w, area * w);
        baseflowRecords[0].add(zone, area * w * baseflowAmount(r, c) * n, w, area * w);
        if (irrigationOwed && irrigatedFromGroundwater(r, c))
          drawRecords.add(zone, area * w * irrigationAmounts[r][c], 0.0, 0.0);
        addCellStatistics(r, c, zone, w, 0.0);
      }
      if (g > 0.0) {
        // What runs over a whole glacier that keeps no water of its own;
        // without a glacier model the rain on its part of a cell runs off
        // so too, in the sub-steps' shares.
        double passed = 0.0;
        if (!glacierTakesWater)
          passed = g >= 1.0 ? area * s.directflow[r][c] * n : area * g * glacierPartRain(r, c);
        direct.add(t, passed, g, area * g);
        inter.add(t, 0.0, g, area * g);
        baseflowRecords[0].add(zone, 0.0, g, area * g);
        addCellStatistics(r, c, zone, 0.0, g);
      }
      addTracerRecords(r, c, zone, t, area, w);
    }
  }
}

// The unglaciated share w of a cell gives its values, the glaciated share g
// zeros, except to the statistic of the soil water a changing glacier
// takes or gives.
void unsatzonmodellklasse::addCellStatistics(long r, long c, size_t zone, double w, double g) {
  const double n = substeps;
  const bool values = g == 0.0;
  const double weight = values ? w : g;
  const SolverGrids& s = solverGrids;
  auto add = [&](UnsatStatistic which, auto value) {
    if (statistics[which].statistic)
      statistics[which].statistic->addValue(r, c, static_cast<long>(zone), values ? value() : 0.0,
                                            weight);
  };
  add(statSB_1, [&] { return s.rootZoneWater[r][c]; });
  add(statSB_2, [&] { return s.columnWater[r][c]; });
  if (glacierOld && statistics[statImmo].statistic) {
    const double before = glacierOld[r][c];
    const double now = glacier[r][c];
    const double change =
        before >= 0.0 && now >= 0.0 && before != now ? (before - now) * s.columnWater[r][c] : 0.0;
    statistics[statImmo].statistic->addValue(r, c, static_cast<long>(zone), change, weight);
  }
  add(statROOT, [&] { return s.rootDepthOutput[r][c]; });
  add(statINFEX, [&] { return s.infiltrationExcess[r][c] * n; });
  add(statGWN, [&] { return s.recharge[r][c] * n; });
  add(statMACRO, [&] { return s.macropore[r][c] * n; });
  if (s.waterSteps) add(statSUBSTEPS, [&] { return s.waterSteps[r][c]; });
  add(statINFILT, [&] { return s.infiltration[r][c] * n; });
  add(statGWSTAND, [&] { return tableDistance[r][c]; });
  add(statQB, [&] { return baseflowAmount(r, c) * n; });
  if (riverInfiltration) {
    add(statGWIN, [&] { return riverInfiltration[r][c] * n; });
    add(statGWEX, [&] { return riverExfiltration[r][c] * n; });
  }
  if (maxPonding) add(statPOND, [&] { return ponding[r][c]; });
  if (thawDepth) add(statTemper, [&] { return thawDepth[r][c]; });
  if (s.drainage) add(statQDRAIN, [&] { return s.drainage[r][c] * n; });
}

void unsatzonmodellklasse::computeMaxPumping() {
  if (getFlowControl() == 0 || routingOnly || !irrigationCodes) return;
  const Grid pumping = registry[findGrid("Max_Pumping", 1)].grid;
  const std::vector<soil_class>& table = *context.soilTable;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c)) {
        pumping[r][c] = nodata;
        continue;
      }
      const soil_class& soil = table[static_cast<size_t>(soilTypes[r][c])];
      double water = 0.0;
      for (int k = static_cast<int>(tableLayer[r][c]); k < soil.getLayerCount(); ++k)
        water += soil.getThickness(k) * 1000.0 * (soil.getThetaSat(k) - soil.thetaFromSuction(k, 3.45));
      pumping[r][c] = water;
    }
}
