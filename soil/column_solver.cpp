#include "soil/column_solver.h"

#include <algorithm>
#include <cmath>

#include "config/landuse_class.h"
#include "config/soil_class.h"
#include "soil/macropores.h"

namespace {

constexpr int balancePasses = 10;
constexpr int relaxedIteration = 21; // from here on five times the tolerance
constexpr double relaxedFactor = 5.0;
constexpr int reportedIterations = 100;
constexpr int copiedLayerLimit = 200;
// A table whose water content is this close to saturation stands at the
// top of its layer; in layer 1 a saturated layer puts it at the surface.
constexpr double topOfLayer = 1e-4;
constexpr double saturatedShare = 0.9995;
// A table layer drained below field capacity by more than this hands the
// table on; a table at the bottom of its layer stays.
constexpr double fieldCapacityMargin = 1e-12;

} // namespace

ColumnSolver::ColumnSolver(int maxLayers, int landuseLayers, int tracers, int maxSnowLayers)
    : column(maxLayers, maxSnowLayers), heat(maxLayers, maxSnowLayers),
      uses(static_cast<size_t>(landuseLayers) + 1),
      transpiration(static_cast<size_t>(landuseLayers) + 1, 0.0), solutes(maxLayers, tracers),
      layerEtr(static_cast<size_t>(maxLayers) + 2, 0.0),
      layerInterflow(static_cast<size_t>(maxLayers) + 2, 0.0),
      layerUptake((static_cast<size_t>(landuseLayers) + 1) * (static_cast<size_t>(maxLayers) + 2),
                  0.0),
      demand(static_cast<size_t>(landuseLayers) + 1, 0.0),
      baseflow(static_cast<size_t>(maxLayers) + 2, 0.0),
      macroporeWater(static_cast<size_t>(maxLayers) + 2, 0.0),
      stride(static_cast<size_t>(maxLayers) + 2), maxLayers(maxLayers) {
  snapshot.resize(snapshotSize());
}

int ColumnSolver::waterStepCount(const ColumnStepSettings& settings, double input) const {
  if (settings.method != 3) return 1;
  const SoilColumn& c = column;
  double shortest = settings.substepSeconds;
  for (int k = 1; k < c.tableLayer(); ++k) {
    // Ice slows a layer by its share of the water, at most by half.
    const double water = c.theta0[k] * std::max(c.liquid[k], 0.5);
    const double krel = input != 0.0 ? 1.0 : c.soil->krelFromTheta(k, water, water);
    const double k0 = krel * c.ksat[k];
    if (k0 > 0.0) shortest = std::min(shortest, c.d[k] / k0);
  }
  return static_cast<int>(
      std::ceil(settings.substepSeconds / std::max(settings.minimumStep, shortest)));
}

void ColumnSolver::solve(const ColumnStepSettings& settings, const ColumnForcing& forcing,
                         TableState& table, double& ponding, ColumnBudget& budget,
                         IterationReport* report) {
  budget = ColumnBudget{};
  std::fill(transpiration.begin(), transpiration.end(), 0.0);
  if (snowModel) {
    // Leaves the pack with the first update, as the snow model's remainders do.
    packRelease += dropThinSnowLayers(*snowModel->type, pack);
    snowGap = closeSnowGaps(pack);
    bindPack();
  }
  if (layerDetail) {
    std::fill(layerEtr.begin(), layerEtr.end(), 0.0);
    std::fill(layerInterflow.begin(), layerInterflow.end(), 0.0);
  }
  const int steps = forcing.heat ? coupleHeatSteps(settings, forcing, budget)
                                 : waterStepCount(settings, forcing.input);
  budget.waterSteps = steps;
  column.river = forcing.river ? &forcing.river->cell : nullptr;
  solutes.beginSubstep();
  for (int j = 1; j <= steps; ++j)
    waterStep(settings, forcing, j, steps, table, ponding, budget, report);
  solutes.decay();
  if (forcing.heat) heat.updateEnthalpy(*heatModel, column.theta0);
}

void ColumnSolver::waterStep(const ColumnStepSettings& settings, const ColumnForcing& forcing,
                             int step, int steps, TableState& table, double& ponding,
                             ColumnBudget& budget, IterationReport* report) {
  SoilColumn& c = column;
  const double dt = settings.substepSeconds / steps;
  const double F = dt * 1000.0; // mm of a water step per m/s
  const int uses = forcing.useCount;
  int lowestUse = 0;
  for (int k = 1; k <= uses; ++k) {
    demand[k] = forcing.uses[k].demand / steps;
    if (forcing.uses[k].use) lowestUse = k;
  }
  const double input = forcing.input / steps;
  const int g = c.tableLayer();
  // The aquifer's first layer asks its share of the sub-step's exchange: a
  // loss drains the saturated zone like baseflow, a gain fills the column
  // from below, and what overflows its surface runs off, under a lake it
  // rises into the lake.
  const double owed = forcing.aquiferExchange / steps;
  double fromBelow = 0.0;
  double returned = 0.0;
  double keptForLake = 0.0;
  if (forcing.aquifer && owed < 0.0) {
    fromBelow = -owed;
    returned = fillFromBelow(fromBelow, table);
    budget.toAquifer += owed;
    if (forcing.lakeAbove) {
      keptForLake = returned;
      returned = 0.0;
      ponding += keptForLake;
      budget.lakeFromAquifer += keptForLake;
    }
    for (int t = 1; t <= solutes.count(); ++t) {
      const double C = solutes.aquiferConcentration[static_cast<size_t>(t)];
      solutes.budget[static_cast<size_t>(t)].directflow += returned * C;
      solutes.mass(t)[0] += keptForLake * C;
    }
  }
  const double owedWater = forcing.aquifer ? 0.0 : forcing.owedWater / steps;
  const double baseflowRate =
      forcing.aquifer
          ? std::max(0.0, owed) / F
          : forcing.maxBaseflow / steps * std::exp(table.distance * forcing.recession) / F +
                owedWater / F;
  if (dumpCell.control)
    takeSnapshot(step, steps, dt, input, ponding, forcing.potentialEvaporation / steps, table);

  // Water on the surface first meets the transpiration demand.
  // Water left on the surface by silting-up and surface routing joins the pond.
  const double pondAtStart = ponding + forcing.surfaceWater / steps;
  double pond = pondAtStart;
  for (int k = 1; k <= uses; ++k) {
    if (!forcing.uses[k].use) continue;
    const double take = std::min(pond, demand[k]);
    pond -= take;
    demand[k] -= take;
    transpiration[k] += take;
  }
  double supply = pond + input;
  // Macropores take their share of it first.
  double macropores = 0.0;
  std::fill(macroporeWater.begin(), macroporeWater.end(), 0.0);
  // Macropores open only to a soil without snow on it.
  if (forcing.macropores && c.first == 0) {
    double rate = supply / F;
    macropores = infiltrateMacropores(rate, c, dt, macroporeWater.data());
    supply = std::max(0.0, supply - macropores);
  }
  budget.macropores += macropores;

  // Sinks of the water step: uptake, evaporation (once per cell, with the
  // lowest layer that has a land use) and baseflow from the table layer.
  const int n = c.layers;
  for (int i = 0; i <= n + 1; ++i)
    c.uptake[i] = c.evaporation[i] = c.sink[i] = c.lateral[i] = c.riverInfiltration[i] =
        c.riverExfiltration[i] = 0.0;
  const double evaporationRate = forcing.potentialEvaporation / steps / F;
  const double evaporationDepth = c.soil->getEvapDepth();
  for (int k = 1; k <= uses; ++k) {
    const LanduseDemand& layer = forcing.uses[k];
    if (!layer.use) continue;
    double rootDepth = layer.rootDepth;
    c.computeRootWaterUptake(layer.use->getRootDist(), layer.use->getHReduDry(),
                             layer.use->getTReduWet(), layer.use->getLimitReduWet(),
                             k == lowestUse ? evaporationRate : 0.0, dt, evaporationDepth,
                             rootDepth, layer.coverage, demand[k] / F, &layerUptake[k * stride]);
    budget.deepestRoot = std::max(budget.deepestRoot, rootDepth);
  }
  if (lowestUse == 0 && evaporationRate > 0.0) {
    double rootDepth = 0.0;
    c.computeRootWaterUptake(0.0, 0.0, 1.0, 1.0, evaporationRate, dt, evaporationDepth, rootDepth,
                             0.0, 0.0, &layerUptake[0]);
  }
  // Baseflow drains the saturated zone from the table layer down, each
  // layer to field capacity, below which the table leaves it.
  const int end = c.activeEnd();
  double wanted = baseflowRate;
  for (int i = 1; i <= n; ++i) {
    baseflow[i] = 0.0;
    if (i >= g && i <= end && wanted > 0.0) {
      baseflow[i] = std::min(wanted, std::max(0.0, (c.theta0[i] - c.thetaFc[i]) * c.d[i] / dt));
      wanted -= baseflow[i];
    }
    c.sink[i] = c.uptake[i] + c.evaporation[i] + baseflow[i];
  }

  offerRiver(forcing.river, steps);
  if (forcing.heat) {
    handWaterSources(dt);
    runHeatSteps(forcing);
  }
  snowSurplus = snowReleased = 0.0;
  packWater = PackWater{};
  if (snowModel) updatePack(c.theta0);

  double error = 0.0;
  double drainageRate = 0.0;
  const int iterations = iterate(settings, supply / F, dt, error, drainageRate);
  ++tally.waterSteps;
  tally.iterations += iterations;
  tally.nodeSteps += n - c.first;
  if (report && iterations > reportedIterations) report->report(iterations, error);

  // Book what the balance let the sinks take, over the range the river
  // may have deepened; the pack's interflow and the water entering the
  // column at its top before the pack moves on.
  const int booked = c.activeEnd();
  double lateral = 0.0;
  for (int i = c.first + 1; i <= 0; ++i) lateral += c.lateral[i] * F;
  const double infiltrated = -c.q[c.first] * F;
  if (c.first < 0) {
    packWater.intoPack = infiltrated;
    packWater.toSoil = std::max(0.0, -c.q[0] * F);
    packWater.lateral = lateral;
  }
  if (snowModel) {
    const PackWater before = packWater;
    updatePack(c.theta);
    for (int k = 1; k <= 2; ++k) {
      packWater.releasedLater[k] = packWater.released[k] - before.released[k];
      packWater.released[k] = before.released[k];
    }
  }
  double baseflowAmount = 0.0;
  for (int i = 1; i <= booked; ++i) {
    lateral += c.lateral[i] * F;
    if (layerDetail) layerInterflow[i] += c.lateral[i] * F;
    if (!(c.sink[i] > 0.0)) {
      baseflow[i] = 0.0;
      continue;
    }
    const double share = std::clamp((c.extraction[i] - c.lateral[i]) / c.sink[i], 0.0, 1.0);
    for (int k = 1; k <= uses; ++k) {
      if (!forcing.uses[k].use) continue;
      const double uptake = layerUptake[k * stride + i] * share * F;
      transpiration[k] += uptake;
      if (layerDetail) layerEtr[i] += uptake;
    }
    budget.evaporation += c.evaporation[i] * share * F;
    if (layerDetail) layerEtr[0] += c.evaporation[i] * share * F;
    baseflow[i] *= share;
    baseflowAmount += baseflow[i] * F;
  }
  // The drains give their water to the interflow of their layer, which
  // carries it to the subbasin: "drainage_flow" tells their share of it.
  const int drain = c.cell.drainLayer;
  budget.drainage +=
      drain >= 1 && drain <= booked ? std::min(drainageRate, c.lateral[drain]) * F : 0.0;
  budget.interflow += lateral;
  if (dumpCell.control) baseflowAmount = checkWaterStep(step, F, baseflowAmount, budget);
  if (forcing.aquifer) {
    budget.toAquifer += baseflowAmount;
    budget.aquiferOwed += std::max(0.0, owed) - baseflowAmount;
  } else {
    // The pumps took the owed water already: it is paid before any flows on.
    const double paid = std::min(owedWater, baseflowAmount);
    budget.aquiferOwed += owedWater - paid;
    budget.baseflow += baseflowAmount - paid;
  }
  budget.clamped += c.clampedWater * 1000.0;
  // Water from below raised the table without crossing it.
  double saturatedLoss = baseflowAmount - (fromBelow - returned - keptForLake);
  bookRiver(forcing.river, steps, F, g, budget, saturatedLoss);

  // The surface: what did not infiltrate fills the pond, the rest runs off
  // with the melt water the soil under the pack could not take.
  double excess = std::max(0.0, supply - infiltrated);
  ponding = std::min(excess, forcing.maxPonding);
  excess -= ponding;
  // The pack's surplus runs off at the pack's concentration, not with the
  // surface water, which must not give its mass twice.
  const double surfaceRunoff = excess;
  excess += snowSurplus;
  packWater.surplus = snowSurplus;
  budget.snowReleased += snowReleased;
  budget.directflow += excess + returned;
  budget.infiltrationExcess += excess;
  budget.infiltration += infiltrated;

  const double shifted = moveTable(table, forcing.aquifer);
  // With the aquifer's storage coefficients its first layer is the
  // saturated zone: recharge is what percolates into the table's layer from
  // the layer above, none with the table in layer 1. Without, it is what
  // the table's move bound or released and what left the saturated zone.
  bookRecharge(budget, forcing.aquifer ? (g > 1 ? -c.q[g - 1] * F : 0.0) : shifted + saturatedLoss);
  if (solutes.count() > 0) {
    const SurfaceWater surface{pondAtStart, input,         pondAtStart - pond,
                               macropores,  infiltrated,   surfaceRunoff,
                               forcing.surfaceWater / steps, ponding};
    solutes.transportSolutesInColumn(c, surface, macroporeWater.data(), baseflow.data(),
                                     c.tableLayer(), dt, packWater);
  }
  for (int i = c.first + 1; i <= booked; ++i) c.theta0[i] = c.theta[i];
}

void ColumnSolver::offerRiver(RiverOffer* river, int steps) {
  if (!river) return;
  // The record's rate is shared by the water steps of the sub-step.
  const double area = river->cell.cellSize * river->cell.cellSize * river->share;
  river->cell.cap = area > 0.0 ? std::max(0.0, river->available) * steps / area : 0.0;
}

void ColumnSolver::bookRiver(RiverOffer* river, int steps, double F, int table,
                             ColumnBudget& budget, double& saturatedLoss) {
  if (!river) return;
  const SoilColumn& c = column;
  double in = 0.0;
  double out = 0.0;
  double inBelowTable = 0.0;
  for (int i = 1; i <= c.layers; ++i) {
    in += c.riverInfiltration[i];
    out += c.riverExfiltration[i];
    if (i >= table) inBelowTable += c.riverInfiltration[i];
  }
  budget.riverInfiltration += in * F;
  budget.riverExfiltration += out * F;
  // The record pays for what the layers took, no more.
  const double size = river->cell.cellSize;
  const double taken = in * size * size * river->share / steps;
  budget.riverTaken += taken;
  river->available -= taken;
  saturatedLoss += (out - inBelowTable) * F;
}

int ColumnSolver::iterate(const ColumnStepSettings& settings, double supplyRate, double dt,
                          double& error, double& drainageRate) {
  SoilColumn& c = column;
  for (int i = c.first + 1; i <= c.layers; ++i) {
    c.theta[i] = c.thetaMean[i] = c.theta0[i];
    c.thetaMin[i] =
        c.thetaLow[i] + std::max(0.0, c.theta0[i] - c.thetaLow[i]) * (1.0 - c.liquid[i]);
  }
  double tolerance = settings.maxError;
  int iterations = 0;
  do {
    c.updateHydraulicHeads(iterations == 0);
    drainageRate = c.computeLayerFluxes(supplyRate, dt);
    // Snow layers sit above the copied range: the pack balances in place.
    if (c.layers < copiedLayerLimit && !snowModel)
      c.balanceFluxesOnCopies(balancePasses, dt);
    else
      c.balanceFluxesWithStorage(balancePasses, dt);
    ++iterations;
    if (iterations == relaxedIteration) tolerance = relaxedFactor * settings.maxError;
    error = c.updateWaterContents(iterations, dt);
  } while (error > tolerance && iterations < settings.maxIterations);
  return iterations;
}

double ColumnSolver::tableHeight(int g, double theta) const {
  const SoilColumn& c = column;
  const double capacity = c.thetaFc[g];
  if (g == 1 && theta > saturatedShare * c.thetaSat[1]) return c.z[0];
  if (std::fabs(theta - c.thetaSat[g]) < topOfLayer) return c.z[g - 1];
  if (theta > capacity) return c.z[g] + (theta - capacity) / (c.thetaSat[g] - capacity) * c.d[g];
  return c.z[g];
}

double ColumnSolver::tableShiftWater(double oldHeight, double newHeight) const {
  const SoilColumn& c = column;
  const double low = std::min(oldHeight, newHeight);
  const double high = std::max(oldHeight, newHeight);
  double water = 0.0;
  for (int k = 1; k <= c.layers; ++k) {
    const double overlap = std::min(high, c.z[k - 1]) - std::max(low, c.z[k]);
    if (overlap > 0.0) water += overlap * (c.thetaSat[k] - c.thetaFc[k]);
  }
  return (newHeight >= oldHeight ? water : -water) * 1000.0;
}

// The aquifer's water brings its tracers at the aquifer's concentration.
double ColumnSolver::fillFromBelow(double water, TableState& table) {
  SoilColumn& c = column;
  const int g = c.tableLayer();
  for (int i = c.layers; i >= 1 && water > 0.0; --i) {
    const double room = std::max(0.0, (c.thetaSat[i] - c.theta0[i]) * c.d[i] * 1000.0);
    const double added = std::min(room, water);
    c.theta0[i] += added / (c.d[i] * 1000.0);
    if (i == g) table.theta += added / (c.d[i] * 1000.0);
    for (int t = 1; t <= solutes.count(); ++t)
      solutes.mass(t)[i] += added * solutes.aquiferConcentration[static_cast<size_t>(t)];
    water -= added;
  }
  return water;
}

// The table follows the water its layer gains or loses; a layer drained
// below field capacity, or over a layer that baseflow has begun to drain,
// hands the table to the layer below, and a saturated layer above takes it
// up. Returns the water of the move (tableShiftWater).
double ColumnSolver::moveTable(TableState& table, bool aquifer) {
  SoilColumn& c = column;
  int g = c.tableLayer();
  const double oldHeight = c.z[0] + table.distance;
  double theta = table.theta;
  if (table.level != std::floor(table.level))
    theta = c.thetaFc[g];
  else
    theta += c.theta[g] - c.theta0[g];
  // Under the aquifer the table stands on no water its layer does not
  // hold: where roots took the layer below field capacity, the water
  // content kept at field capacity would hold the table, and with it the
  // aquifer's head, above what the soil can drain, and the aquifer would
  // ask for water the soil never gives.
  if (aquifer) theta = std::min(theta, std::max(c.theta[g], c.thetaFc[g]));
  while (g < c.layers && (theta < c.thetaFc[g] - fieldCapacityMargin ||
                          c.theta[g + 1] < saturatedShare * c.thetaSat[g + 1])) {
    ++g;
    theta = c.theta[g];
  }
  theta = std::clamp(theta, c.thetaFc[g], c.thetaSat[g]);
  while (g > 1 && theta >= c.thetaSat[g] - topOfLayer &&
         c.theta[g - 1] > saturatedShare * c.thetaSat[g - 1]) {
    --g;
    theta = std::min(c.theta[g], c.thetaSat[g]);
  }
  const double height = tableHeight(g, theta);
  table.level = g;
  table.theta = theta;
  table.distance = height - c.z[0];
  c.cell.tableLevel = g;
  c.cell.tableHeight = height;
  return tableShiftWater(oldHeight, height);
}

void ColumnSolver::bookRecharge(ColumnBudget& budget, double recharge) {
  budget.recharge += recharge;
  if (recharge > 0.0)
    budget.percolation += recharge;
  else
    budget.capillaryRise += recharge;
}
