#include "soil/column_numerics.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "config/soil_class.h"
#include "soil/river_exchange.h"

namespace {

// The running mean replaces the plain iterate from this iteration on.
constexpr int averagedIterations = 3;
// Heads of two layers closer than this (m) count as in order.
constexpr double headTolerance = 0.001;
constexpr int headOrderTrials = 51;
constexpr int copiedLayerLimit = 200;

} // namespace

SoilColumn::SoilColumn(int maxLayerCount, int maxSnowLayers)
    : storage(static_cast<size_t>(maxLayerCount + 2 + maxSnowLayers) * 23, 0.0),
      maxLayers(maxLayerCount) {
  double* next = storage.data() + maxSnowLayers;
  const size_t size = static_cast<size_t>(maxLayerCount + 2 + maxSnowLayers);
  for (double** a : {&d,
                     &thetaSat,
                     &thetaLow,
                     &thetaFc,
                     &ksat,
                     &theta0,
                     &theta,
                     &thetaMean,
                     &psi0,
                     &head,
                     &z,
                     &q,
                     &lateral,
                     &extraction,
                     &sink,
                     &uptake,
                     &evaporation,
                     &meanKrel,
                     &unfrozen,
                     &liquid,
                     &thetaMin,
                     &riverInfiltration,
                     &riverExfiltration}) {
    *a = next;
    next += size;
  }
}

void SoilColumn::bind(const soil_class& soilType, int layerCount, const ColumnCell& cellValues) {
  soil = &soilType;
  first = 0;
  lastSuction = SuctionLookup{};
  layers = std::min(layerCount, maxLayers);
  cell = cellValues;
  const double* ks = soilType.getKsatArray();
  double depth = 0.0;
  for (int i = 1; i <= layers; ++i) {
    d[i] = soilType.getThickness(i);
    thetaSat[i] = soilType.getThetaSat(i);
    thetaLow[i] = soilType.getThetaLow(i);
    thetaMin[i] = thetaLow[i];
    unfrozen[i] = liquid[i] = 1.0;
    thetaFc[i] = soilType.thetaFromSuction(i, fieldCapacitySuctionValue);
    depth += d[i];
    // Frozen ground below the thaw depth lets hardly any water through.
    ksat[i] = cell.thawDepth >= 0.0 && depth > cell.thawDepth ? cell.reducedKsat : ks[i];
  }
  d[layers + 1] = d[layers];
  ksat[layers + 1] = 0.0;
  for (int i : {0, layers + 1}) unfrozen[i] = liquid[i] = 1.0;
  river = nullptr;
  std::fill(riverInfiltration, riverInfiltration + layers + 2, 0.0);
  std::fill(riverExfiltration, riverExfiltration + layers + 2, 0.0);
}

void SoilColumn::bindSnow(const soil_class& type, int snowLayerCount, int topLayer) {
  snow = &type;
  snowLayers = snowLayerCount;
  first = std::min(0, topLayer - snowLayerCount - 1);
  lastSuction = SuctionLookup{};
  const double* ks = type.getKsatArray();
  for (int i = first + 1; i <= 0; ++i) {
    const int k = layerOf(i);
    thetaSat[i] = type.getThetaSat(k);
    thetaLow[i] = type.getThetaLow(k);
    thetaMin[i] = thetaLow[i];
    thetaFc[i] = type.thetaFromSuction(k, fieldCapacitySuctionValue);
    ksat[i] = ks[k];
  }
  for (int i = first; i <= 0; ++i) {
    unfrozen[i] = liquid[i] = 1.0;
    sink[i] = uptake[i] = evaporation[i] = lateral[i] = 0.0;
  }
}

int SoilColumn::tableLayer() const {
  return std::clamp(static_cast<int>(cell.tableLevel), 1, layers);
}

int SoilColumn::rangeEnd(int from) const {
  int last = from;
  if (river)
    for (int i = layers; i > last; --i)
      if (riverInfiltration[i] > 0.0 || riverExfiltration[i] > 0.0) {
        last = i;
        break;
      }
  return std::min(layers, last + 2);
}

int SoilColumn::activeEnd() const { return rangeEnd(tableLayer()); }

int SoilColumn::balanceEnd() const { return rangeEnd(tableLayer() + 3); }

double SoilColumn::relativeConductivity(int layer, double water) const {
  const double flowing = water * liquid[layer];
  return typeOf(layer).krelFromTheta(layerOf(layer), flowing, flowing);
}

double SoilColumn::updateHydraulicHeads(bool firstIteration) {
  const int g = tableLayer();
  const int end = activeEnd();
  const double table = cell.tableHeight;
  double meanSuction = 0.0;
  for (int i = first + 1; i <= end; ++i) {
    const soil_class& type = typeOf(i);
    const int k = layerOf(i);
    if (firstIteration) psi0[i] = type.suctionFromTheta(k, theta0[i] * liquid[i]);
    meanSuction = 0.5 * (type.suctionFromTheta(k, thetaMean[i] * liquid[i]) + psi0[i]);
    const double centre = 0.5 * (z[i - 1] + z[i]);
    if (i < g)
      head[i] = centre - meanSuction;
    else if (i == g)
      head[i] = z[i] <= table && table <= z[i - 1] ? table : centre - meanSuction;
    else
      head[i] = head[g] > centre ? head[g] : centre - meanSuction;
  }
  return meanSuction;
}

// Water flows through the drain layer to the drains from both sides, at
// unit gradient, and a field holds 1/L metres of drain per square metre:
// 2 k d / L, never more than the layer's water above field capacity. The
// drains across a cell are counted once, so a field drains alike on any
// grid.
double SoilColumn::drainFlux(int i, double drainable) const {
  return std::min(drainable, 2.0 * relativeConductivity(i, thetaMean[i]) * ksat[i] * d[i] /
                                 cell.drainDistance);
}

double SoilColumn::computeLayerFluxes(double topFlux, double dt) {
  if (river) exchangeWithSurfaceWater(*this, *river, dt);
  const int g = tableLayer();
  const int end = activeEnd();
  q[first] = -topFlux;
  if (first == 0 && cell.thawDepth >= 0.0 && cell.thawDepth < d[1])
    q[0] = std::clamp(q[0], -cell.reducedKsat, cell.reducedKsat);
  const double slopeFactor = std::min(1.0, cell.slopeTangent);
  double drainage = 0.0;
  // Relative conductivities at the mean water content of the step. Water
  // that reaches the table layer joins the saturated zone: that layer and
  // those below conduct at saturation, or a table layer drained to field
  // capacity would hold back the water above it.
  for (int i = first + 1; i <= layers; ++i) {
    lateral[i] = 0.0;
    if (i <= end) meanKrel[i] = relativeConductivity(i, 0.5 * (theta0[i] + thetaMean[i]));
  }
  for (int i = first + 1; i <= end; ++i) {
    if (i < end) {
      double k;
      if (cell.clayLayer == i || cell.clayLayer == i + 1) {
        k = meanKrel[i] * cell.clayKsat;
      } else {
        double upper = (i >= g ? 1.0 : meanKrel[i]) * ksat[i];
        double lower = (i + 1 >= g ? 1.0 : meanKrel[i + 1]) * ksat[i + 1];
        // The pack on the soil keeps the larger of the two limits.
        const double ratio = i == 0 ? std::max(soil->getMaxRatio(1), snow->getMaxRatio(snowLayers))
                                    : typeOf(i).getMaxRatio(layerOf(i));
        upper = std::max(upper, lower / ratio);
        lower = std::max(lower, upper / ratio);
        if (i >= cell.tableLevel - 1.0) {
          const double denominator = lower * d[i] + upper * d[i + 1];
          k = denominator > 0.0 ? upper * lower * (d[i] + d[i + 1]) / denominator : 0.0;
        } else {
          k = std::max(upper, lower);
        }
      }
      q[i] = darcyFlux(k, head[i], head[i + 1], d[i], d[i + 1]);
      // The soil does not draw water up into the pack.
      if (i == 0 && first < 0 && q[0] > 0.0) q[0] = 0.0;
    }
    const double drainable = std::max(0.0, (thetaMean[i] - thetaFc[i]) * d[i] / dt);
    const double centre = 0.5 * (z[i - 1] + z[i]);
    const double drainageDensity = i <= 0 ? snowDrainage : cell.channelDensity * slopeFactor;
    if (i < g && i < layers && centre - head[i] < fieldCapacitySuctionValue &&
        ksat[i] > ksat[i + 1])
      lateral[i] = relativeConductivity(i, thetaMean[i]) * ksat[i] * d[i] * drainageDensity;
    if (i == cell.drainLayer && cell.drainDistance > 0.0)
      lateral[i] += drainage = drainFlux(i, drainable);
    lateral[i] = std::min(lateral[i], drainable);
  }
  // Below the active range the layers rest under the table: no flux.
  for (int i = end; i <= layers; ++i) q[i] = 0.0;
  for (int i = first + 2; i <= end; ++i)
    q[i - 1] = limitFluxByHeadOrder(i - 1, q[i - 2], q[i - 1], q[i], dt);
  return drainage;
}

double SoilColumn::limitFluxByHeadOrder(int layer, double fluxAbove, double flux, double fluxBelow,
                                        double dt) const {
  const int g = tableLayer();
  if (layer >= g) return flux;
  const int below = layer + 1;
  const double upperLoss =
      sink[layer] + lateral[layer] + riverExfiltration[layer] - riverInfiltration[layer];
  const double lowerLoss =
      sink[below] + lateral[below] + riverExfiltration[below] - riverInfiltration[below];
  const double upperCentre = 0.5 * (z[layer - 1] + z[layer]);
  const double lowerCentre = 0.5 * (z[below - 1] + z[below]);
  const bool tableHead =
      below == g && z[below] <= cell.tableHeight && cell.tableHeight <= z[below - 1];
  // Head difference of the two layers after the step with flux f.
  // The lower layer of one interface is the upper one of the next: its
  // suction after an unchanged flux is looked up once.
  auto suction = [&](int i, double water) {
    if (i != lastSuction.layer || water != lastSuction.theta)
      lastSuction = {i, water, typeOf(i).suctionFromTheta(layerOf(i), water)};
    return lastSuction.suction;
  };
  auto difference = [&](double f) {
    const double upper = theta0[layer] + (f - fluxAbove - upperLoss) * dt / d[layer];
    const double lower = theta0[below] + (fluxBelow - f - lowerLoss) * dt / d[below];
    const double upperHead = upperCentre - suction(layer, upper * liquid[layer]);
    return upperHead -
           (tableHead ? cell.tableHeight : lowerCentre - suction(below, lower * liquid[below]));
  };
  if (flux > 0.0) {
    // Water rising into the upper layer fills it at most.
    const double room = (thetaSat[layer] - theta0[layer]) * d[layer] / dt + fluxAbove + upperLoss;
    if (flux > room) flux = std::max(0.0, room);
  }
  const double before = head[layer] - head[below];
  const double after = difference(flux);
  const bool crossed =
      (before > 0.0 && after < -headTolerance) || (before < 0.0 && after > headTolerance);
  if (!crossed) return flux;
  double share = 1.0;
  double step = 0.5;
  double direction = -1.0;
  for (int trial = 0; trial < headOrderTrials; ++trial) {
    share += direction * step;
    step *= 0.5;
    const double now = difference(share * flux);
    if (std::fabs(now) <= headTolerance) break;
    direction = (now > 0.0) == (before > 0.0) ? 1.0 : -1.0;
  }
  return share * flux;
}

namespace {

// The balance of layers 1 .. end on arrays that may be copies: inflows
// that would overfill a layer and outflows that would empty it below its
// lower bound are cut, extraction after the fluxes, interflow first, and
// the exchange with a river last. What a cut takes from the river's
// infiltration stays in the river.
void balanceLayers(int top, int end, int maxPasses, double dt, const double* theta0,
                   const double* d, const double* low, const double* high, double* q,
                   double* extraction, double* lateral, double* infiltration,
                   double* exfiltration) {
  for (int pass = 0; pass < maxPasses; ++pass) {
    bool changed = false;
    for (int i = end; i >= top; --i) {
      const double next =
          theta0[i] +
          (q[i] - q[i - 1] - extraction[i] - exfiltration[i] + infiltration[i]) * dt / d[i];
      if (next > high[i]) {
        double excess = (next - high[i]) * d[i] / dt;
        if (q[i - 1] < 0.0) {
          const double cut = std::min(excess, -q[i - 1]);
          q[i - 1] += cut;
          excess -= cut;
          changed = true;
        }
        if (excess > 0.0 && q[i] > 0.0) {
          const double cut = std::min(excess, q[i]);
          q[i] -= cut;
          excess -= cut;
          changed = true;
        }
        if (excess > 0.0 && infiltration[i] > 0.0) {
          infiltration[i] -= std::min(excess, infiltration[i]);
          changed = true;
        }
      } else if (next < low[i]) {
        double deficit = (low[i] - next) * d[i] / dt;
        if (q[i] < 0.0) {
          const double cut = std::min(deficit, -q[i]);
          q[i] += cut;
          deficit -= cut;
          changed = true;
        }
        if (deficit > 0.0 && q[i - 1] > 0.0) {
          const double cut = std::min(deficit, q[i - 1]);
          q[i - 1] -= cut;
          deficit -= cut;
          changed = true;
        }
        if (deficit > 0.0 && extraction[i] > 0.0) {
          const double cut = std::min(deficit, extraction[i]);
          lateral[i] -= std::min(cut, lateral[i]);
          extraction[i] -= cut;
          deficit -= cut;
          changed = true;
        }
        if (deficit > 0.0 && exfiltration[i] > 0.0) {
          exfiltration[i] -= std::min(deficit, exfiltration[i]);
          changed = true;
        }
      }
    }
    if (!changed) return;
  }
}

} // namespace

void SoilColumn::balanceFluxesWithStorage(int maxPasses, double dt) {
  const int end = balanceEnd();
  for (int i = first + 1; i <= end; ++i) extraction[i] = sink[i] + lateral[i];
  balanceLayers(first + 1, end, maxPasses, dt, theta0, d, thetaMin, thetaSat, q, extraction,
                lateral, riverInfiltration, riverExfiltration);
}

void SoilColumn::balanceFluxesOnCopies(int maxPasses, double dt) {
  const int end = balanceEnd();
  if (end >= copiedLayerLimit) {
    balanceFluxesWithStorage(maxPasses, dt);
    return;
  }
  std::array<double, copiedLayerLimit + 1> fluxes, extracted, sideways, inflow, outflow;
  for (int i = 0; i <= end; ++i) {
    fluxes[i] = q[i];
    extracted[i] = sink[i] + lateral[i];
    sideways[i] = lateral[i];
    inflow[i] = riverInfiltration[i];
    outflow[i] = riverExfiltration[i];
  }
  balanceLayers(1, end, maxPasses, dt, theta0, d, thetaMin, thetaSat, fluxes.data(),
                extracted.data(), sideways.data(), inflow.data(), outflow.data());
  for (int i = 0; i <= end; ++i) {
    q[i] = fluxes[i];
    extraction[i] = extracted[i];
    lateral[i] = sideways[i];
    riverInfiltration[i] = inflow[i];
    riverExfiltration[i] = outflow[i];
  }
}

double SoilColumn::updateWaterContents(int iteration, double dt) {
  const int end = activeEnd();
  double largest = 0.0;
  clampedWater = 0.0;
  for (int i = first + 1; i <= end; ++i) {
    double next =
        theta0[i] +
        (q[i] - q[i - 1] - extraction[i] - riverExfiltration[i] + riverInfiltration[i]) * dt / d[i];
    const double bounded = std::clamp(next, 0.0, 1.0);
    clampedWater += (bounded - next) * d[i];
    next = bounded;
    largest = std::max(largest, std::fabs(next - theta[i]));
    // Averaging the iterates damps the oscillation of the fixed point
    // between wet and dry heads.
    if (iteration <= averagedIterations) {
      thetaMean[i] = 0.5 * (theta[i] + next);
    } else {
      const double k = iteration - averagedIterations;
      thetaMean[i] = (k * thetaMean[i] + next) / (k + 1.0);
    }
    theta[i] = next;
  }
  return largest;
}

double waterInDepthRange(double top, double bottom, int layers, const double* thickness,
                         const double* thetaSat, const double* theta, int mode, double nodata) {
  if (bottom <= 0.0 || top < -0.0001) return nodata;
  double columnDepth = 0.0;
  for (int k = 1; k <= layers; ++k) columnDepth += thickness[k];
  if (bottom >= 9999.0 || bottom > columnDepth) bottom = columnDepth - 1e-8;
  top = std::max(top, 0.0);
  if (bottom - top <= 1e-8) return 1.0;
  double sum = 0.0;
  double layerTop = 0.0;
  for (int k = 1; k <= layers && layerTop < bottom; ++k) {
    const double layerBottom = layerTop + thickness[k];
    const double overlap = std::min(bottom, layerBottom) - std::max(top, layerTop);
    if (overlap > 0.0) sum += (mode == 1 ? theta[k] : theta[k] / thetaSat[k]) * overlap;
    layerTop = layerBottom;
  }
  return mode == 1 ? sum : sum / (bottom - top);
}
