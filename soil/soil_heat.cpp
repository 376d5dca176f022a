#include "soil/soil_heat.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double airConductivity = 0.0262; // W/(m K)
// Below this share of solid and water a layer conducts like its solid.
constexpr double dryLayer = 0.00001;
// Below this air-filled porosity a layer counts as saturated.
constexpr double openPores = 0.01;
constexpr double nearlyUnfrozen = 0.99;
// The top layer may change by at most this share of its distance to the
// surface temperature in one heat step.
constexpr double accuracyShare = 0.25;
constexpr long maxHeatSteps = 1000000;
constexpr int enthalpyIterations = 60;
constexpr int chordPasses = 30;
constexpr double chordTolerance = 1e-10; // K
constexpr double enthalpyTolerance = 1e-13;
constexpr int arrayCount = 26;
constexpr double unlimited = std::numeric_limits<double>::infinity();

// The smallest count of steps not below x, at least 1.
long countOf(double x) {
  if (!(x > 1.0)) return 1;
  return static_cast<long>(std::min(std::ceil(x * (1.0 - 1e-12)), double(maxHeatSteps)));
}

} // namespace

HeatColumn::HeatColumn(int maxLayerCount, int maxSnowLayers)
    : storage(static_cast<size_t>(maxLayerCount + 2 + maxSnowLayers) * arrayCount, 0.0),
      maxLayers(maxLayerCount) {
  double* next = storage.data() + maxSnowLayers;
  const size_t size = static_cast<size_t>(maxLayerCount + 2 + maxSnowLayers);
  for (double** p :
       {&d,          &T,     &start,  &previous, &lambda, &capacity, &latent, &effective,
        &unfrozen,   &slope, &energy, &flux,     &change, &w,        &source, &a,
        &b,          &c,     &r,      &target,   &guess,  &low,      &high,   &guessUnfrozen,
        &guessSlope, &ice}) {
    *p = next;
    next += size;
  }
}

void HeatColumn::bind(const soil_class& soilType, int layerCount, const double* thickness) {
  soil = &soilType;
  first = 0;
  layers = std::min(layerCount, maxLayers);
  for (int i = 1; i <= layers; ++i) d[i] = thickness[i];
  d[layers + 1] = d[layers];
  std::fill(source, source + layers + 2, 0.0);
  std::fill(w, w + layers + 2, 0.0);
}

void HeatColumn::bindSnow(const soil_class& type, int snowLayerCount, int topLayer,
                          const double* thickness) {
  snow = &type;
  snowLayers = snowLayerCount;
  first = std::min(0, topLayer - snowLayerCount - 1);
  for (int i = first; i <= 0; ++i) {
    d[i] = thickness[i];
    source[i] = w[i] = 0.0;
  }
}

void HeatColumn::unfrozenWater(const double* temperature, const double* theta, double* fraction,
                               double* fractionSlope) const {
  soil->getUnfrozenWater(1, temperature, theta, fraction, fractionSlope);
  if (first < 0) {
    const int L = snowLayers;
    snow->getUnfrozenWater(layerOf(first + 1), temperature - L, theta - L, fraction - L,
                           fractionSlope - L);
  }
}

void HeatColumn::heatCapacities(const SoilHeatConstants& constants, const double* theta) {
  soil->getHeatCapacity(constants, 1, capacity, theta, unfrozen);
  if (first < 0) {
    const int L = snowLayers;
    snow->getHeatCapacity(constants, layerOf(first + 1), capacity - L, theta - L, unfrozen - L);
  }
}

void HeatColumn::prepare(const HeatModelSettings& settings, const double* theta) {
  latentHeat = settings.latentHeat;
  unfrozenWater(T, theta, unfrozen, slope);
  computeThermalConductivities(settings.lambdaWater, settings.lambdaIce, first, theta);
  heatCapacities(settings.capacities, theta);
  for (int i = first + 1; i <= layers; ++i) {
    latent[i] = latentHeat * theta[i] * slope[i];
    effective[i] = capacity[i] + latent[i];
  }
}

void HeatColumn::computeThermalConductivities(double lambdaWaterValue, double lambdaIceValue,
                                              int first, const double* theta) {
  for (int i = first + 1; i <= layers; ++i) {
    const soil_class& type = typeOf(i);
    const int k = layerOf(i);
    const double porosity = type.getThetaSat(k);
    const double water = theta[i];
    const double u = unfrozen[i];
    const double solid = type.getDryThermalConduct(k);
    const double filled = (1.0 - porosity) + water;
    if (filled < dryLayer) {
      lambda[i] = solid;
      continue;
    }
    const double air = porosity - water;
    if (air >= openPores) {
      const double n = std::min(filled, 1.0);
      double mean =
          n * std::pow(solid, (1.0 - porosity) / n) * std::pow(lambdaWaterValue, water * u / n);
      if (u < nearlyUnfrozen) mean *= std::pow(lambdaIceValue, water * (1.0 - u) / n);
      lambda[i] = air * airConductivity + mean;
    } else if (u >= nearlyUnfrozen) {
      lambda[i] = type.getSolidConductivityPower(k) * type.getWaterConductivityPower(k);
    } else {
      lambda[i] = type.getSolidConductivityPower(k) * std::pow(lambdaWaterValue, water * u) *
                  std::pow(lambdaIceValue, water * (1.0 - u));
    }
  }
}

void HeatColumn::computeLatentHeatSource(int first, const double* x, const double* y,
                                         double* z) const {
  for (int i = first + 1; i <= layers; ++i)
    z[i] = x[i] > y[i] ? z[i] * (x[i] - y[i]) * latentHeat : 0.0;
}

void HeatColumn::computeHeatFluxes(int first, double lowerTemperatureValue, double surface) {
  const int top = first + 1;
  const int n = layers;
  flux[first] = -2.0 * lambda[top] / d[top] * (surface - T[top]);
  for (int i = top; i < n; ++i) flux[i] = -2.0 * lambda[i] * (T[i] - T[i + 1]) / (d[i] + d[i + 1]);
  flux[n] = -2.0 * lambda[n] / d[n] * (T[n] - lowerTemperatureValue);
}

void HeatColumn::computeTemperatureChange(int first, const double* heatCapacity, double dt) {
  for (int i = first + 1; i <= layers; ++i)
    change[i] = dt * (flux[i] - flux[i - 1]) / (heatCapacity[i] * d[i]);
}

void HeatColumn::applyTemperatureChange(int first, const double* neighbours, bool limit,
                                        double lowerTemperatureValue, double surface) {
  const int top = first + 1;
  for (int i = layers; i >= top; --i) {
    double t = T[i] + change[i];
    if (limit) {
      const double up = i == top ? surface : neighbours[i - 1];
      const double down = i == layers ? lowerTemperatureValue : neighbours[i + 1];
      const bool fromAbove = flux[i - 1] < 0.0; // heat enters through the top
      const bool toBelow = flux[i] < 0.0;       // heat leaves through the bottom
      if (!fromAbove && !toBelow)
        t = std::min(t, down);
      else if (fromAbove && toBelow)
        t = std::min(t, up);
      else if (!fromAbove && toBelow)
        t = std::max(t, std::min(up, down));
      else
        t = std::min(t, std::max(up, down));
    }
    T[i] = t;
  }
}

void HeatColumn::solveHeatImplicit(int first, const double* heatCapacity, double dt, double surface,
                                   double lowerTemperatureValue, double sourceTemperature,
                                   bool flow) {
  const int top = first + 1;
  const int n = layers;
  for (int i = top; i <= n; ++i) {
    const double volume = d[i] * heatCapacity[i];
    const double k = waterCapacity * dt / volume;
    double below = i > top ? -2.0 * dt * lambda[i - 1] / ((d[i] + d[i - 1]) * volume) : 0.0;
    double above = i < n ? -2.0 * dt * lambda[i] / ((d[i] + d[i + 1]) * volume) : 0.0;
    double toSurface = i == top ? 2.0 * dt * lambda[i] / (d[i] * volume) : 0.0;
    double toLower = i == n ? 2.0 * dt * lambda[n] / (d[n] * volume) : 0.0;
    double fromSource = 0.0;
    // Water entering a layer mixes in the temperature it comes from; water
    // leaving it takes the layer's own.
    if (flow) {
      if (w[i - 1] < 0.0) {
        if (i > top)
          below += w[i - 1] * k;
        else
          toSurface -= w[i - 1] * k;
      }
      if (w[i] > 0.0) {
        if (i < n)
          above -= w[i] * k;
        else
          toLower += w[i] * k;
      }
      if (source[i] > 0.0) fromSource = source[i] * k;
    }
    a[i] = below;
    c[i] = above;
    b[i] = 1.0 - below - above + toSurface + toLower + fromSource;
    r[i] = T[i] + toSurface * surface + toLower * lowerTemperatureValue +
           fromSource * sourceTemperature;
  }
  for (int i = top + 1; i <= n; ++i) {
    const double m = a[i] / b[i - 1];
    b[i] -= m * c[i - 1];
    r[i] -= m * r[i - 1];
  }
  T[n] = r[n] / b[n];
  for (int i = n - 1; i >= top; --i) T[i] = (r[i] - c[i] * T[i + 1]) / b[i];
}

double HeatColumn::lowerTemperature(const HeatBoundary& boundary) const {
  const int n = layers;
  return boundary.lowerIsFlux ? T[n] + boundary.lower * d[n] / (2.0 * lambda[n]) : boundary.lower;
}

long HeatColumn::stepCount(const HeatModelSettings& settings, double seconds,
                           const HeatBoundary& boundary, bool& raised) {
  raised = false;
  const int top = first + 1;
  computeHeatFluxes(first, lowerTemperature(boundary), boundary.surface);
  const double trial = std::fabs(seconds * (flux[top] - flux[first]) / (effective[top] * d[top]));
  const double gap = std::fabs(boundary.surface - T[top]);
  double accurate = trial == 0.0 ? 1.0 : gap > 0.0 ? trial / (accuracyShare * gap) : unlimited;
  if (settings.shortestStep > 0.0) accurate = std::min(accurate, seconds / settings.shortestStep);
  // Heat that comes from below alone leaves no accuracy to aim at.
  if (accurate == unlimited) accurate = 1.0;
  const double longest = settings.longestStep > 0.0 ? seconds / settings.longestStep : 1.0;
  const long count = countOf(std::max(accurate, longest));
  if (settings.method >= 11) return count;
  // The explicit step keeps every new temperature a weighted mean of the
  // old ones only while it is shorter than each layer's exchange time.
  double fastest = 0.0;
  for (int i = top; i <= layers; ++i) {
    const double up = i == top ? 2.0 * lambda[top] / (d[top] * d[top])
                               : 2.0 * lambda[i - 1] / (d[i] * (d[i] + d[i - 1]));
    const double down = i == layers ? 2.0 * lambda[i] / (d[i] * d[i])
                                    : 2.0 * lambda[i] / (d[i] * (d[i] + d[i + 1]));
    fastest = std::max(fastest, (up + down) / effective[i]);
  }
  const long stable = countOf(seconds * fastest);
  raised = stable > count;
  return std::max(count, stable);
}

// The explicit step gives each layer the heat of the old temperatures'
// fluxes. The implicit step should give it the heat of the new ones: where
// freezing or thawing makes the new temperature differ from the one the
// linear system solved for, the system is solved again with the capacity
// of the chord from the old to the new temperature, until the two agree.
void HeatColumn::step(const HeatModelSettings& settings, const double* theta, double dt,
                      const HeatBoundary& boundary) {
  prepare(settings, theta);
  std::copy(T + first, T + layers + 1, previous + first);
  const double lower = lowerTemperature(boundary);
  if (settings.method < 11) {
    computeHeatFluxes(first, lower, boundary.surface);
    computeTemperatureChange(first, effective, dt);
    applyTemperatureChange(first, previous, true, lower, boundary.surface);
    conserveEnthalpy(settings, theta);
    return;
  }
  double* solved = change;
  for (int pass = 1;; ++pass) {
    std::copy(previous + first, previous + layers + 1, T + first);
    solveHeatImplicit(first, effective, dt, boundary.surface, lower, boundary.source,
                      settings.method > 11);
    std::copy(T + first, T + layers + 1, solved + first);
    if (!conserveEnthalpy(settings, theta) || pass == chordPasses) return;
    bool agreed = true;
    for (int i = first + 1; i <= layers; ++i) {
      // A layer that neither froze nor thawed has its own capacity again.
      const bool involved = theta[i] > 0.0 && (solved[i] < 0.0 || previous[i] < 0.0);
      if (!involved) {
        if (effective[i] != capacity[i] + latent[i]) {
          effective[i] = capacity[i] + latent[i];
          agreed = false;
        }
        continue;
      }
      const double moved = T[i] - previous[i];
      if (std::fabs(T[i] - solved[i]) <= chordTolerance * (1.0 + std::fabs(T[i]))) continue;
      agreed = false;
      if (std::fabs(moved) > chordTolerance) effective[i] *= (solved[i] - previous[i]) / moved;
    }
    if (agreed) return;
  }
}

double HeatColumn::enthalpyDensity(const HeatModelSettings& settings, int layer, double temperature,
                                   double theta, double unfrozenFraction) const {
  const double liquid = theta * unfrozenFraction;
  const double frozen = theta - liquid;
  const soil_class& type = typeOf(layer);
  const int k = layerOf(layer);
  const double volumetric = type.getHeatCapacityDry(k) * type.getDensityDry(k) +
                            liquid * settings.capacities.waterHeatCapacity +
                            frozen * settings.capacities.iceHeatCapacity;
  return volumetric * temperature - latentHeat * frozen;
}

// The step gave layer i the heat effective_i (T_i - previous_i) per m^3,
// with the latent heat of the freezing curve's slope at the start. Where
// the curve bends within the step that is not what freezing or thawing
// frees or takes: the temperature whose enthalpy equals the heat given is
// found by Newton's method within a bracket.
bool HeatColumn::conserveEnthalpy(const HeatModelSettings& settings, const double* theta) {
  const double cw = settings.capacities.waterHeatCapacity;
  const double ci = settings.capacities.iceHeatCapacity;
  int open = 0;
  for (int i = first + 1; i <= layers; ++i) {
    ice[i] = theta[i] > 0.0 && (T[i] < 0.0 || previous[i] < 0.0) ? 1.0 : 0.0;
    guess[i] = T[i];
    if (ice[i] == 0.0) continue;
    ++open;
    target[i] = enthalpyDensity(settings, i, previous[i], theta[i], unfrozen[i]) +
                effective[i] * (T[i] - previous[i]);
    low[i] = -unlimited;
    high[i] = unlimited;
  }
  const bool any = open > 0;
  for (int iteration = 0; iteration < enthalpyIterations && open > 0; ++iteration) {
    unfrozenWater(guess, theta, guessUnfrozen, guessSlope);
    for (int i = first + 1; i <= layers; ++i) {
      if (ice[i] == 0.0) continue;
      const double t = guess[i];
      const double u = guessUnfrozen[i];
      const double residual = enthalpyDensity(settings, i, t, theta[i], u) - target[i];
      const double scale = std::fabs(target[i]) + effective[i];
      if (std::fabs(residual) <= enthalpyTolerance * scale) {
        ice[i] = 0.0;
        --open;
        continue;
      }
      (residual > 0.0 ? high[i] : low[i]) = t;
      const soil_class& type = typeOf(i);
      const int k = layerOf(i);
      const double sensible =
          type.getHeatCapacityDry(k) * type.getDensityDry(k) + theta[i] * (u * cw + (1.0 - u) * ci);
      const double derivative = sensible + theta[i] * guessSlope[i] * ((cw - ci) * t + latentHeat);
      double next =
          derivative > 0.0 ? t - residual / derivative : t - (residual > 0.0 ? 1.0 : -1.0);
      if (!(next > low[i] && next < high[i]))
        next = std::isfinite(low[i]) && std::isfinite(high[i]) ? 0.5 * (low[i] + high[i])
               : residual > 0.0                                ? t - 1.0
                                                               : t + 1.0;
      guess[i] = next;
      if (high[i] - low[i] <= enthalpyTolerance * (1.0 + std::fabs(t))) {
        ice[i] = 0.0;
        --open;
      }
    }
  }
  std::copy(guess + first + 1, guess + layers + 1, T + first + 1);
  return any;
}

double HeatColumn::updateEnthalpy(const HeatModelSettings& settings, const double* theta) {
  latentHeat = settings.latentHeat;
  unfrozenWater(T, theta, unfrozen, slope);
  heatCapacities(settings.capacities, theta);
  for (int i = first + 1; i <= layers; ++i) {
    guess[i] = theta[i] * unfrozen[i];
    ice[i] = d[i];
  }
  computeLatentHeatSource(first, theta, guess, ice);
  double sum = 0.0;
  for (int i = first + 1; i <= layers; ++i) {
    energy[i] = capacity[i] * d[i] * T[i] - ice[i];
    sum += energy[i];
  }
  return sum;
}

double HeatColumn::thawDepth(double surface) const {
  if (surface <= 0.0 && T[1] <= 0.0) return 0.0;
  double depth = 0.0; // of the point above
  double temperature = surface;
  double top = 0.0;
  for (int k = 1; k <= layers; ++k) {
    const double centre = top + 0.5 * d[k];
    if ((temperature > 0.0) != (T[k] > 0.0))
      return depth + (centre - depth) * temperature / (temperature - T[k]);
    depth = centre;
    temperature = T[k];
    top += d[k];
  }
  return top;
}

double HeatColumn::frozenThickness(int from) const {
  double thickness = 0.0;
  for (int k = std::max(from, 1); k <= layers; ++k) thickness += d[k] * (1.0 - unfrozen[k]);
  return thickness;
}
