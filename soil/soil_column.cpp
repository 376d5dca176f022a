#include "soil/soil_column.h"

#include <algorithm>

#include "config/soil_class.h"

int tableLayerOf(const double* z, int layers, double height) {
  for (int k = 1; k <= layers; ++k)
    if (z[k] < height) return k;
  return layers;
}

void setColumnAtRest(const soil_class& soil, int layers, double surface, double tableHeight,
                     double* z, double* theta, double* head, ColumnTable& table) {
  z[0] = surface;
  for (int k = 1; k <= layers; ++k) z[k] = z[k - 1] - soil.getThickness(k);
  const int g = tableLayerOf(z, layers, tableHeight);
  theta[0] = soil.getThetaSat(1);
  head[0] = surface;
  for (int k = 1; k <= layers; ++k) {
    const double centre = z[k] + 0.5 * soil.getThickness(k);
    theta[k] = k < g ? soil.thetaFromSuction(k, centre - tableHeight) : soil.getThetaSat(k);
    head[k] = centre - soil.suctionFromTheta(k, theta[k]);
  }
  // The solver places the table in layer g linearly between field capacity
  // at its bottom and saturation at its top.
  const double d = soil.getThickness(g);
  const double share = d > 0.0 ? std::clamp((tableHeight - z[g]) / d, 0.0, 1.0) : 1.0;
  const double capacity = soil.thetaFromSuction(g, fieldCapacitySuction);
  table.distance = tableHeight - surface;
  table.layer = g;
  table.theta = capacity + share * (soil.getThetaSat(g) - capacity);
}
