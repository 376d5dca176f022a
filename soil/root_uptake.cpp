// Root water uptake of one land-use layer and the evaporation of the demand
// its roots cannot meet.

#include <algorithm>

#include "config/soil_class.h"
#include "soil/column_numerics.h"

namespace {

// The last 1e-5 m keep a root zone that ends on a layer bottom out of the
// layer below.
constexpr double rootZoneMargin = 1e-5;

} // namespace

int SoilColumn::computeRootWaterUptake(double rootDist, double dryHead, double wetFraction,
                                       double wetLimit, double addedDemand, double dt,
                                       double evaporationDepth, double& rootDepth, double coverage,
                                       double demand, double* layerUptake) {
  const int g = tableLayer();
  rootDepth = std::max(rootDepth, d[1]);
  const double rootBottom = z[0] - rootDepth - rootZoneMargin;
  // The weights go into layerUptake first, then become the rates.
  double* weight = layerUptake;
  double sum = 0.0;
  int count = 0;
  for (int k = 1; k <= layers; ++k) {
    const bool whole = z[k] > rootBottom;
    const double part = whole ? d[k] : z[k - 1] - rootBottom - rootZoneMargin;
    const double centre = whole ? z[0] - z[k] - 0.5 * part : rootDepth - 0.5 * part;
    const double x = centre / rootDepth;
    weight[k] = part / rootDepth * (1.0 - x) * (1.0 + rootDist * x);
    sum += weight[k];
    count = k;
    if (!whole) break;
  }
  for (int k = 1; k <= count; ++k) weight[k] = sum > 0.0 ? weight[k] / sum : 0.0;

  // Stress moves the demand of a dry or waterlogged layer to the layer
  // below; what no root layer takes is left to evaporate.
  double unmet = 0.0;
  for (int k = 1; k <= count; ++k) {
    // Ice counts as dry soil: the roots see the unfrozen water above the
    // lower limit.
    const double water =
        heatModel && unfrozen[k] < 1.0 ? unfrozen[k] * theta0[k] + thetaLow[k] : theta0[k];
    double dry = soil->thetaFromSuction(k, dryHead);
    const double residual = soil->getThetaRes(k);
    if (residual >= dry) dry = (2.0 * residual + thetaSat[k]) / 3.0;
    const double wet = wetFraction * thetaSat[k];
    double reduction = 0.0;
    if (water > wet) {
      const double x = std::min(water, thetaSat[k]);
      const double span = thetaSat[k] - wet;
      const double factor =
          span == 0.0 ? 1.0 : (x - wet) / span * wetLimit + (thetaSat[k] - x) / span;
      if (factor < 1.0) reduction = 1.0 - factor;
    } else if (water < dry) {
      if (water > thetaLow[k]) {
        const double factor = (water - thetaLow[k]) / (dry - thetaLow[k]);
        if (factor < 1.0) reduction = 1.0 - factor;
      } else {
        reduction = 1.0;
      }
    }
    const double shifted = weight[k] * reduction;
    weight[k] -= shifted;
    if (k >= g || k >= count) {
      unmet += shifted;
    } else if (shifted > 2.0 * weight[k + 1]) {
      unmet += shifted - 2.0 * weight[k + 1];
      weight[k + 1] *= 3.0;
    } else {
      weight[k + 1] += shifted;
    }
  }

  // Uptake; every layer gives at most the water above its lower limit, and
  // roots below the table draw from the table layer downwards, each layer
  // down to field capacity.
  const int end = activeEnd();
  double belowTable = 0.0;
  for (int k = 1; k <= count; ++k) {
    const double wanted = coverage * demand * weight[k];
    layerUptake[k] = 0.0;
    if (k > g) {
      belowTable += wanted;
      continue;
    }
    const double available = std::max(0.0, (theta0[k] - thetaLow[k]) * liquid[k] * d[k] / dt -
                                               uptake[k] - evaporation[k]);
    layerUptake[k] = std::min(wanted, available);
    uptake[k] += layerUptake[k];
  }
  for (int k = count + 1; k <= end; ++k) layerUptake[k] = 0.0;
  for (int k = g; k <= end && belowTable > 0.0; ++k) {
    const double available =
        std::max(0.0, (theta0[k] - thetaFc[k]) * d[k] / dt - uptake[k] - evaporation[k]);
    const double take = std::min(belowTable, available);
    layerUptake[k] += take;
    uptake[k] += take;
    belowTable -= take;
  }

  // The unmet demand evaporates from the layers above the evaporation
  // depth that the iteration updates, each kept at or above its lower limit.
  // With the heat model the demand falls with the relative water content,
  // the depth and the ice of a layer.
  double left = unmet * demand * coverage + addedDemand;
  double top = 0.0;
  for (int k = 1; k <= end && (k == 1 || top < evaporationDepth) && left > 0.0; ++k) {
    double rate;
    if (heatModel) {
      const double relative = (theta0[k] - thetaLow[k]) / (thetaSat[k] - thetaLow[k]);
      const double depthShare =
          evaporationDepth > 0.0 ? std::max(evaporationDepth - top, 0.0) / evaporationDepth : 1.0;
      rate = std::min(left, left * relative * depthShare * std::min(unfrozen[k], 1.0));
    } else {
      const double dryness = (thetaSat[k] - theta0[k]) / thetaSat[k];
      rate = std::min(left, left * (1.0 - dryness * dryness));
    }
    const double available = std::max(0.0, (theta0[k] - thetaLow[k]) * liquid[k] * d[k] / dt -
                                               uptake[k] - evaporation[k]);
    rate = std::max(0.0, std::min(rate, available));
    evaporation[k] += rate;
    left -= rate;
    top += d[k];
  }
  return count;
}
