#include "soil/solute_transport.h"

#include <algorithm>

#include "soil/column_numerics.h"

namespace {

// A layer this close to saturation passes on what enters it.
constexpr double saturatedShare = 0.99999;
// Layers drier than this give no tracer.
constexpr double driestGiving = 0.001;

} // namespace

ColumnSolutes::ColumnSolutes(int maxLayerCount, int maxTracers)
    : properties(static_cast<size_t>(maxTracers) + 1),
      inputConcentration(static_cast<size_t>(maxTracers) + 1, 0.0),
      riverConcentration(static_cast<size_t>(maxTracers) + 1, 0.0),
      landConcentration(static_cast<size_t>(maxTracers) + 1, 0.0),
      budget(static_cast<size_t>(maxTracers) + 1),
      aquiferConcentration(static_cast<size_t>(maxTracers) + 1, 0.0),
      packConcentration(static_cast<size_t>(maxTracers) + 1, 0.0), maxLayers(maxLayerCount),
      stride(static_cast<size_t>(maxLayerCount) + 2),
      masses((static_cast<size_t>(maxTracers) + 1) * stride, 0.0), upMass(stride, 0.0) {}

void ColumnSolutes::bind(int tracerCount, int n) {
  tracers = std::min(tracerCount, static_cast<int>(properties.size()) - 1);
  layers = std::min(n, maxLayers);
}

void ColumnSolutes::beginSubstep() { std::fill(budget.begin(), budget.end(), SoluteBudget{}); }

void ColumnSolutes::transportSolutesInColumn(const SoilColumn& column, const SurfaceWater& surface,
                                             const double* macroporeWater, const double* baseflow,
                                             int tableLayer, double dt, const PackWater& pack) {
  for (int t = 1; t <= tracers; ++t)
    transportTracer(t, column, surface, macroporeWater, baseflow, tableLayer, dt, pack);
  packWater = std::max(0.0, packWater + pack.intoPack - pack.toSoil - pack.lateral -
                                pack.released[1] - pack.released[2] - pack.releasedLater[1] -
                                pack.releasedLater[2] - pack.surplus);
}

void ColumnSolutes::transportTracer(int t, const SoilColumn& c, const SurfaceWater& surface,
                                    const double* macroporeWater, const double* baseflow,
                                    int tableLayer, double dt, const PackWater& pack) {
  const int n = layers;
  const size_t k = static_cast<size_t>(t);
  const SoluteProperties& p = properties[k];
  SoluteBudget& b = budget[k];
  double* m = mass(t);
  const double F = dt * 1000.0; // mm per m/s

  // The surface water mixes, and every way it leaves takes its share.
  const double inputMass =
      surface.input * inputConcentration[k] + surface.fromLand * landConcentration[k];
  b.input += inputMass;
  double surfaceMass = m[0] + inputMass;
  const double surfaceWater = surface.ponding + surface.input;
  if (p.evaporating && surface.transpired > 0.0 && surfaceWater > 0.0) {
    const double gone = surfaceMass * std::min(1.0, surface.transpired / surfaceWater);
    surfaceMass -= gone;
    b.evaporated += gone;
  }
  // The mixture is shared by the water that leaves the surface and the
  // ponding left, as the solver booked them: a remainder taken by
  // difference would give a pond of a few 1e-18 mm any concentration, one
  // below 0 as well.
  double supply = surface.directflow + surface.infiltration + surface.left;
  for (int i = 1; i <= n; ++i) supply += macroporeWater[i];
  const double supplyConcentration = supply > 0.0 ? surfaceMass / supply : 0.0;
  for (int i = 1; i <= n; ++i) {
    const double share = macroporeWater[i] * supplyConcentration;
    m[i] += share;
    surfaceMass -= share;
  }
  const double directMass = surface.directflow * supplyConcentration;
  b.directflow += directMass;
  double aboveWater = surface.infiltration;
  double aboveMass = surface.infiltration * supplyConcentration;
  m[0] = supply > 0.0 ? surface.left * supplyConcentration : surfaceMass;

  // A snow pack takes what infiltrates, mixes it with its water, and gives
  // every water leaving it its concentration.
  const double intoPack = std::min(pack.intoPack, aboveWater);
  if (intoPack > 0.0 || packWater > 0.0) {
    double& C = packConcentration[k];
    const double entering = intoPack * supplyConcentration;
    if (packWater + intoPack > 0.0) C = (C * packWater + entering) / (packWater + intoPack);
    aboveWater += pack.toSoil - intoPack;
    aboveMass += pack.toSoil * C - entering;
    for (int i = 1; i <= std::min(2, n); ++i) m[i] += pack.released[i] * C;
    b.directflow += pack.surplus * C;
    b.interflow += pack.lateral * C;
  }

  const double limit = p.maxConcentration;
  const int end = c.activeEnd(); // extraction below is stale
  // What a layer gives in the step, more than it holds where it passes on
  // what enters it (the water entering from above counted where the layer
  // is saturated).
  auto outflow = [&](int i) {
    return (i < n ? std::max(0.0, -c.q[i]) * F : 0.0) +
           (i > 1 ? std::max(0.0, c.q[i - 1]) * F : 0.0) + c.lateral[i] * F + baseflow[i] * F +
           c.riverExfiltration[i] * F +
           (p.evaporating && i <= end
                ? std::max(0.0, c.extraction[i] - c.lateral[i] - baseflow[i]) * F
                : 0.0);
  };
  auto passesOn = [&](int i, double out, double aboveIn, bool saturated) {
    return out >
           c.theta0[i] * c.d[i] * 1000.0 + (saturated ? aboveIn + c.riverInfiltration[i] * F : 0.0);
  };
  auto saturatedLayer = [&](int i) { return c.theta0[i] >= saturatedShare * c.thetaSat[i]; };
  // Layers move their mass from the top down; where water rises through a
  // layer that passes on what enters it, the layers below give theirs
  // first, from the lowest of them up.
  double aboveWaterIn = aboveWater, aboveMassIn = aboveMass;
  for (int top = 1, lowest = 1; top <= n; top = lowest + 1) {
    lowest = top;
    if (top < n && c.q[top] > 0.0 && passesOn(top, outflow(top), aboveWaterIn, saturatedLayer(top)))
      while (lowest < n && c.q[lowest] > 0.0) ++lowest;
    const double roundWater = aboveWaterIn, roundMass = aboveMassIn;
    for (int i = lowest; i >= top; --i) {
      // Water rises into the layers below the top of the round.
      const double aboveIn = i == top ? roundWater : 0.0;
      const double aboveInMass = i == top ? roundMass : 0.0;
      const double riverWater = c.riverInfiltration[i] * F;
      const double riverMass = riverWater * riverConcentration[k];
      b.river += riverMass;
      const double down = i < n ? std::max(0.0, -c.q[i]) * F : 0.0;
      const double up = i > 1 ? std::max(0.0, c.q[i - 1]) * F : 0.0;
      const double inter = c.lateral[i] * F; // with the drains' water
      const double base = baseflow[i] * F;
      const double exfiltrated = c.riverExfiltration[i] * F;
      const double transpired =
          p.evaporating && i <= end
              ? std::max(0.0, c.extraction[i] - c.lateral[i] - baseflow[i]) * F
              : 0.0;
      const double out = down + up + inter + base + exfiltrated + transpired;

      const bool saturated = saturatedLayer(i);
      const bool passing = passesOn(i, out, aboveIn, saturated);
      double water = c.theta0[i] * c.d[i] * 1000.0;
      double held = m[i];
      const bool dry = !(c.theta0[i] > driestGiving);
      // A dry layer keeps its own mass, but passes on what enters it.
      if (passing && dry) water = held = 0.0;
      if (saturated || passing) {
        water += aboveIn + riverWater;
        held += aboveInMass + riverMass;
      }
      // The layers below it in the round rise into it.
      if (passing && i < lowest) {
        water += c.q[i] * F;
        held += upMass[static_cast<size_t>(i) + 1];
      }
      const double concentration = (passing || !dry) && water > 0.0 ? held / water : 0.0;
      // Together the transfers leave at most the water the layer holds.
      const double scaled = out > water ? concentration * water / out : concentration;
      auto carried = [&](double flow) {
        const double value = flow * scaled;
        return limit > 0.0 ? std::min(value, flow * limit) : value;
      };
      const double downMass = carried(down);
      upMass[static_cast<size_t>(i)] = carried(up);
      const double interMass = carried(inter);
      const double baseMass = carried(base);
      const double exfiltratedMass = carried(exfiltrated);
      const double transpiredMass = carried(transpired);
      b.interflow += interMass;
      b.baseflow += baseMass;
      b.exfiltration += exfiltratedMass;
      b.evaporated += transpiredMass;
      m[i] += aboveInMass + riverMass - downMass - upMass[static_cast<size_t>(i)] - interMass -
              baseMass - exfiltratedMass - transpiredMass;
      if (i == lowest) {
        aboveWaterIn = down;
        aboveMassIn = downMass;
      }
    }
  }
  for (int i = 1; i < n; ++i) m[i] += upMass[static_cast<size_t>(i) + 1];
  for (int i = 1; i <= std::min(2, n); ++i) m[i] += pack.releasedLater[i] * packConcentration[k];

  // The saturated zone is one water body with the aquifer below it.
  const int g = std::max(1, tableLayer);
  double zoneMass = aquiferConcentration[k] * aquiferWater;
  double zoneWater = aquiferWater;
  for (int i = g; i <= n; ++i) {
    zoneMass += m[i];
    zoneWater += c.theta[i] * c.d[i] * 1000.0;
  }
  if (!(zoneWater > 0.0)) return;
  const double concentration = zoneMass / zoneWater;
  for (int i = g; i <= n; ++i) m[i] = concentration * c.theta[i] * c.d[i] * 1000.0;
  if (aquiferWater > 0.0) aquiferConcentration[k] = concentration;
}

void ColumnSolutes::decay() {
  for (int t = 1; t <= tracers; ++t) {
    const double factor = properties[static_cast<size_t>(t)].decay;
    if (factor == 1.0) continue;
    double* m = mass(t);
    double lost = 0.0;
    for (int i = 0; i <= layers; ++i) {
      lost += m[i] * (1.0 - factor);
      m[i] *= factor;
    }
    budget[static_cast<size_t>(t)].decayed += lost;
  }
}
