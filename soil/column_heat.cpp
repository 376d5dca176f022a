// The heat of a soil column within the solver's sub-step: how many heat
// steps it takes and how they share the water steps, the heat steps of a
// water step, and the share of the water that ice leaves to flow.

#include <algorithm>

#include "config/soil_class.h"
#include "soil/column_solver.h"

void ColumnSolver::setHeatModel(const HeatModelSettings* settings) {
  heatModel = settings;
  column.heatModel = settings != nullptr;
  heatStart.assign(settings ? static_cast<std::size_t>(heatProfileCount) * (maxLayers + 1) : 0,
                   0.0);
  snapshot.resize(snapshotSize());
}

void ColumnSolver::takeLiquidFraction() {
  const double effect = heatModel->liquidEffect;
  for (int i = 1; i <= column.layers; ++i) {
    column.unfrozen[i] = heat.unfrozen[i];
    column.liquid[i] = 1.0 - effect * (1.0 - heat.unfrozen[i]);
  }
}

// Fewer heat steps than twice the water steps make one heat step per water
// step; more make a multiple of the water steps above the count.
int ColumnSolver::coupleHeatSteps(const ColumnStepSettings& settings, const ColumnForcing& forcing,
                                  ColumnBudget& budget) {
  const HeatForcing& given = *forcing.heat;
  airTemperature = given.airTemperature;
  surfaceTemperature = given.airTemperature * given.nFactor;
  HeatBoundary boundary = given.boundary;
  boundary.surface = surfaceTemperature;
  heat.prepare(*heatModel, column.theta0);
  takeLiquidFraction();
  const long water = waterStepCount(settings, forcing.input);
  bool raised = false;
  long count = heat.stepCount(*heatModel, settings.substepSeconds, boundary, raised);
  long steps = water;
  if (count <= 2 * steps) {
    steps = std::max(steps, count);
    count = steps;
  } else {
    count = (count / steps + 1) * steps;
  }
  heatStepCount = count;
  heatStepsPerWaterStep = count / steps;
  heatSeconds = settings.substepSeconds / static_cast<double>(count);
  heatLower = heat.lowerTemperature(boundary);
  budget.heatSteps = count;
  budget.heatStepsRaised = raised;
  tally.heatSteps += count;
  tally.heatNodeSteps += count * column.layers;
  if (raised) ++tally.heatStepsRaised;
  return static_cast<int>(steps);
}

// Water moves with the fluxes of the last water step; the new temperatures
// decide how much of the water flows in this one.
void ColumnSolver::runHeatSteps(const ColumnForcing& forcing) {
  HeatBoundary boundary = forcing.heat->boundary;
  boundary.surface = surfaceTemperature;
  const int n = column.layers;
  std::copy(column.q, column.q + n + 1, heat.w);
  std::copy(heat.T, heat.T + n + 1, heat.start);
  for (long k = 0; k < heatStepsPerWaterStep; ++k)
    heat.step(*heatModel, column.theta0, heatSeconds, boundary);
  heatLower = heat.lowerTemperature(boundary);
  column.soil->getUnfrozenWater(1, heat.T, column.theta0, heat.unfrozen, heat.slope);
  takeLiquidFraction();
}
