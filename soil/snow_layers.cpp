#include "soil/snow_layers.h"

#include <algorithm>
#include <cmath>

#include "config/soil_class.h"

namespace {

constexpr double smallestIce = 0.05;        // mm
constexpr double compactedShare = 0.8;      // of the nominal density
constexpr double thinnestShare = 0.25;      // of the nominal thickness
constexpr double dryLayerSuctionStep = 2.0; // m
constexpr double iceDensity = 0.917;        // relative to water

// Every value of one layer, to move layers as a whole.
struct Layer {
  double ice, liquid, thickness, theta, liquidFraction, density, suction, temperature, previousIce,
      previousTheta;
};

Layer take(const SnowPack& p, int k) {
  return {p.ice[k],     p.liquid[k],  p.thickness[k],   p.theta[k],       p.liquidFraction[k],
          p.density[k], p.suction[k], p.temperature[k], p.previousIce[k], p.previousTheta[k]};
}

void put(SnowPack& p, int k, const Layer& l) {
  p.ice[k] = l.ice;
  p.liquid[k] = l.liquid;
  p.thickness[k] = l.thickness;
  p.theta[k] = l.theta;
  p.liquidFraction[k] = l.liquidFraction;
  p.density[k] = l.density;
  p.suction[k] = l.suction;
  p.temperature[k] = l.temperature;
  p.previousIce[k] = l.previousIce;
  p.previousTheta[k] = l.previousTheta;
}

constexpr Layer empty{snowLayerNodata, snowLayerNodata, snowLayerNodata, snowLayerNodata,
                      snowLayerNodata, snowLayerNodata, snowLayerNodata, snowLayerNodata,
                      snowLayerNodata, snowLayerNodata};

// Layer k leaves the pack: the layers above it move down by one.
void dropLayer(SnowPack& p, int k) {
  for (int i = k; i > 1; --i) put(p, i, take(p, i - 1));
  put(p, 1, empty);
}

// Ice, water, thickness, water content and density of a layer from its
// ice and liquid water. A layer too thin for its water grows to hold it:
// a water content capped at 1 would lose the rest to the soil solver.
void setWater(Layer& l, double ice, double liquid, double thickness) {
  l.ice = ice;
  l.liquid = liquid;
  const double water = ice + liquid;
  l.thickness = std::max(thickness, water / 1000.0);
  l.theta = l.thickness > 0.0 ? water / (l.thickness * 1000.0) : 0.0;
  l.density = l.theta;
  l.liquidFraction = water > 0.0 ? liquid / water : 0.0;
}

// A top layer thicker than the nominal top layer is split into the free
// layer above it and itself, in proportion to their nominal thicknesses.
void redivideTop(const soil_class& type, SnowPack& p) {
  const int u = p.top();
  if (u < 2 || u > p.layers || !(p.thickness[u] > type.getThickness(1))) return;
  const double upper = type.getThickness(u - 1);
  const double share = upper / (upper + type.getThickness(u));
  Layer lower = take(p, u);
  Layer top = lower;
  setWater(top, lower.ice * share, lower.liquid * share, lower.thickness * share);
  setWater(lower, lower.ice - top.ice, lower.liquid - top.liquid, lower.thickness - top.thickness);
  top.previousIce = lower.previousIce * share;
  lower.previousIce -= top.previousIce;
  put(p, u - 1, top);
  put(p, u, lower);
}

} // namespace

int SnowPack::top() const {
  for (int k = 1; k <= layers; ++k)
    if (inUse(k)) return k;
  return layers + 1;
}

double dropThinSnowLayers(const soil_class& type, SnowPack& p) {
  double released = 0.0;
  for (int k = 1; k <= p.layers; ++k) {
    if (!p.inUse(k) || p.ice[k] > smallestIce) continue;
    released += std::max(0.0, p.theta[k] * p.thickness[k] * 1000.0);
    dropLayer(p, k);
    redivideTop(type, p);
  }
  return released;
}

int closeSnowGaps(SnowPack& p) {
  int gap = 0;
  for (int k = 1; k < p.layers && gap == 0; ++k)
    if (p.inUse(k) && !p.inUse(k + 1)) gap = k;
  if (gap == 0) return 0;
  int to = p.layers;
  for (int k = p.layers; k >= 1; --k) {
    if (!p.inUse(k)) continue;
    if (k != to) {
      put(p, to, take(p, k));
      put(p, k, empty);
    }
    --to;
  }
  return gap;
}

double updateSnowLayers(const soil_class& type, const SnowLayerConstants& constants, SnowPack& p) {
  double released = 0.0;
  for (int k = 1; k <= p.layers; ++k) {
    if (!p.inUse(k)) continue;
    Layer l = take(p, k);
    const double water = l.theta * l.thickness * 1000.0;
    const double fraction = std::clamp(l.liquidFraction, 0.0, 1.0);
    double liquid = fraction * water;
    double ice = water - liquid;
    if (ice <= smallestIce || (k == p.top() && l.theta < 0.0)) {
      released += std::max(0.0, water);
      dropLayer(p, k);
      redivideTop(type, p);
      continue;
    }
    double thickness = l.thickness;
    if (l.previousIce > 0.0 && ice < l.previousIce && l.theta <= l.previousTheta)
      thickness *= ice / l.previousIce;
    const double held = constants.holdingCapacity * ice;
    if (liquid > held) {
      released += liquid - held;
      liquid = held;
    }
    const double lambda = liquid / (liquid + ice);
    if (lambda > 0.0 && lambda < 1.0)
      l.suction = -std::pow((1.0 - lambda) / lambda, 1.0 / (type.getPar_n(k) * type.getPar_m(k))) /
                  (constants.suctionFactor * type.getAlpha(k));
    else
      l.suction -= dryLayerSuctionStep;
    if (water > 0.0) thickness *= (ice + liquid) / water;
    const double pores = std::max(0.0, thickness * 1000.0 - ice / iceDensity);
    if (liquid > pores) {
      released += liquid - pores;
      liquid = pores;
    }
    setWater(l, ice, liquid, thickness);
    l.previousIce = ice;
    l.previousTheta = l.theta;
    put(p, k, l);
  }
  for (int k = p.layers; k >= 1; --k) {
    if (!p.inUse(k)) continue;
    Layer l = take(p, k);
    const double nominal = type.getDensityDry(k) / 1000.0;
    if (!(l.density < compactedShare * nominal)) continue;
    setWater(l, l.ice, l.liquid, (l.ice + l.liquid) / nominal / 1000.0);
    l.previousTheta = l.theta;
    put(p, k, l);
    if (k == 1 || !p.inUse(k - 1) || !(l.thickness < thinnestShare * type.getThickness(k)))
      continue;
    const Layer a = take(p, k - 1);
    const double ci = constants.iceCapacity, cw = constants.waterCapacity;
    const double capacity = ci * (a.ice + l.ice) + cw * (a.liquid + l.liquid);
    if (capacity > 0.0)
      l.temperature = (ci * (a.ice * a.temperature + l.ice * l.temperature) +
                       cw * (a.liquid * a.temperature + l.liquid * l.temperature)) /
                      capacity;
    setWater(l, a.ice + l.ice, a.liquid + l.liquid, a.thickness + l.thickness);
    l.previousIce = a.previousIce + l.previousIce;
    l.previousTheta = l.theta;
    put(p, k, l);
    dropLayer(p, k - 1);
    redivideTop(type, p);
  }
  return released;
}
