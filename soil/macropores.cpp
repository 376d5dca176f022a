#include "soil/macropores.h"

#include <algorithm>
#include <cmath>

#include "config/soil_class.h"
#include "soil/column_numerics.h"

double infiltrateMacropores(double& rate, SoilColumn& c, double dt, double* inflow) {
  const int n = c.layers;
  std::fill(inflow, inflow + n + 1, 0.0);
  const soil_class& soil = *c.soil;
  const double threshold = soil.getPMacroThresh();
  const double capacity = soil.getMacroCapacity();
  if (!(rate > threshold) || !(capacity > 0.0)) return 0.0;

  int deepest = 0;
  double top = 0.0;
  while (deepest < n && top + 0.5 * c.d[deepest + 1] < soil.getMacroDepth()) top += c.d[++deepest];
  double available = std::min(capacity, rate - threshold);
  double taken = 0.0; // m
  for (int i = deepest; i >= 1 && available > 0.0; --i) {
    top -= c.d[i];
    const double layerCapacity = capacity * std::pow(soil.getCapacityRedu(), top + 0.5 * c.d[i]);
    const double room = std::max(0.0, (c.thetaSat[i] - c.theta0[i]) * c.d[i]);
    const double take = std::min({layerCapacity * dt, room, available * dt});
    if (!(take > 0.0)) continue;
    c.theta0[i] += take / c.d[i];
    inflow[i] = take * 1000.0;
    available -= take / dt;
    taken += take;
  }
  rate -= taken / dt;
  return taken * 1000.0;
}
