// The heat of a soil column within the solver's sub-step: how many heat
// steps it takes and how they share the water steps, the heat steps of a
// water step, and the share of the water that ice leaves to flow.

#include <algorithm>

#include "config/soil_class.h"
#include "soil/column_solver.h"
#include "soil/river_exchange.h"

void ColumnSolver::setHeatModel(const HeatModelSettings* settings) {
  heatModel = settings;
  column.heatModel = settings != nullptr;
  heatStart.assign(settings ? static_cast<std::size_t>(heatProfileCount) * (maxLayers + 1) : 0,
                   0.0);
  snapshot.resize(snapshotSize());
}

void ColumnSolver::takeLiquidFraction() {
  const double effect = heatModel->liquidEffect;
  for (int i = column.first + 1; i <= column.layers; ++i) {
    column.unfrozen[i] = heat.unfrozen[i];
    const double share = i >= 1 ? effect : column.snowLiquidEffect;
    column.liquid[i] = 1.0 - share * (1.0 - heat.unfrozen[i]);
  }
}

// Fewer heat steps than twice the water steps make one heat step per water
// step; more make a multiple of the water steps above the count.
int ColumnSolver::coupleHeatSteps(const ColumnStepSettings& settings, const ColumnForcing& forcing,
                                  ColumnBudget& budget) {
  const HeatForcing& given = *forcing.heat;
  airTemperature = given.airTemperature;
  heat.prepare(*heatModel, column.theta0);
  takeLiquidFraction();
  surfaceTemperature = snowSurfaceTemperature(given);
  HeatBoundary boundary = given.boundary;
  boundary.surface = surfaceTemperature;
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

// Water that the macropores and the river put into the layers brings the
// temperature of its source; only the implicit step with water flow takes
// it. The river gives what it gives as the water step starts: its exchange
// within the iteration follows the heads, which the heat step precedes.
void ColumnSolver::handWaterSources(double dt) {
  if (heatModel->method <= 11) return;
  SoilColumn& c = column;
  const int n = c.layers;
  if (c.river) {
    for (int i = c.first + 1; i <= n; ++i) c.theta[i] = c.theta0[i];
    exchangeWithSurfaceWater(c, *c.river, dt);
  }
  const double F = dt * 1000.0;
  for (int i = 1; i <= n; ++i) heat.source[i] = macroporeWater[i] / F + c.riverInfiltration[i];
  // The iteration starts from no exchange, as without the heat model.
  if (c.river) {
    std::fill(c.riverInfiltration, c.riverInfiltration + n + 2, 0.0);
    std::fill(c.riverExfiltration, c.riverExfiltration + n + 2, 0.0);
  }
}

// Water moves with the fluxes of the last water step; the new temperatures
// decide how much of the water flows in this one.
void ColumnSolver::runHeatSteps(const ColumnForcing& forcing) {
  if (snowModel) surfaceTemperature = snowSurfaceTemperature(*forcing.heat);
  HeatBoundary boundary = forcing.heat->boundary;
  boundary.surface = surfaceTemperature;
  const int n = column.layers;
  const int top = column.first;
  std::copy(column.q + top, column.q + n + 1, heat.w + top);
  std::copy(heat.T + top, heat.T + n + 1, heat.start + top);
  for (long k = 0; k < heatStepsPerWaterStep; ++k)
    heat.step(*heatModel, column.theta0, heatSeconds, boundary);
  heatLower = heat.lowerTemperature(boundary);
  heat.unfrozenWater(heat.T, column.theta0, heat.unfrozen, heat.slope);
  takeLiquidFraction();
}
