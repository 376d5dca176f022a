// The water balance of every cell of a layer after its sweeps, and the
// mixing of the tracers with the same volumes.
#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "lateral/gwflowclass.h"

namespace {

constexpr int north = 0, east = 1, south = 2, west = 3, above = 4, below = 5;
// Beyond this many tracer steps a cell that still gives more than it holds
// gives what it holds.
constexpr double mostTracerSteps = 1000.0;

} // namespace

// The volumes are the ones the sweeps solved for: the same storage rule,
// the fixed flux and the faces weighted in time as the method weights them
// (the line sweep takes its row implicitly and its columns at the start).
void gwflowclass::faceVolumes(int k, long r, long c, double volumes[6]) const {
  const AquiferLayer& l = layers[static_cast<size_t>(k)];
  const Grid leakBelow = k < layerCount ? l.leakage : nullptr;
  const Grid leakAbove = k > 1 ? layers[static_cast<size_t>(k - 1)].leakage : nullptr;
  const double dt = deltaT();
  const double ax = method == 1 ? alpha : 1.0, ay = method == 1 ? alpha : 0.0;
  const double x = dx(r, c), y = dy(r, c), area = x * y;
  auto hw = [&](long r2, long c2, double a) {
    return (1.0 - a) * l.headOld[r2][c2] + a * l.head[r2][c2];
  };
  auto face = [&](long r2, long c2, double t, double ratio, double a) {
    if (!inZone(r2, c2) || !(t > 0.0)) return 0.0;
    return dt * ratio * t * (hw(r2, c2, a) - hw(r, c, a));
  };
  std::fill(volumes, volumes + 6, 0.0);
  if (r > 1) volumes[north] = face(r - 1, c, l.ty[r - 1][c], x / y, ay);
  if (c < header.ncols) volumes[east] = face(r, c + 1, l.tx[r][c], y / x, ax);
  if (r < header.nrows) volumes[south] = face(r + 1, c, l.ty[r][c], x / y, ay);
  if (c > 1) volumes[west] = face(r, c - 1, l.tx[r][c - 1], y / x, ax);
  if (leakAbove) volumes[above] = -leakAbove[r][c] * area * dt;
  if (leakBelow) volumes[below] = leakBelow[r][c] * area * dt;
}

// With tracers, also their mixing in one step, and the tracer steps the
// layer's cells need (a fixed head gives its water from beyond the model).
double gwflowclass::computeBalance(int k) {
  AquiferLayer& l = layers[static_cast<size_t>(k)];
  const double dt = deltaT();
  const bool tracing = !layerTracers.empty();
  for (const auto& t : layerTracers) MPIExchangeGridHalo(t->storeIndex[static_cast<size_t>(k)]);
  const OwnCells cells = ownCells();
  double needed = 1.0;
#pragma omp parallel for schedule(runtime) reduction(max : needed)
  for (long r = cells.firstRow; r <= cells.lastRow; ++r) {
    const long last = cells.lastColumn(r);
    for (long c = cells.firstColumn(r); c <= last; ++c) {
      if (!cells.owns(r, c)) {
        if (!inZone(r, c)) l.head[r][c] = header.nodata;
        continue;
      }
      // A cell wholly under a glacier takes no part: its balance is not the
      // one of the step it was last computed in.
      if (glacierFraction(r, c) >= 1.0) {
        l.balance[r][c] = 0.0;
        continue;
      }
      const double area = dx(r, c) * dy(r, c);
      double volumes[6];
      faceVolumes(k, r, c, volumes);
      double v = fixedFlux(k, r, c) * area * dt;
      for (double part : volumes) v += part;
      const bool fixed = l.fixedHead[r][c] != header.nodata;
      const double gain = fixed ? 0.0 : (l.head[r][c] - l.headOld[r][c]) * storageOf(k, r, c);
      l.balance[r][c] = fixed ? 0.0 : (gain - v / area) * 1000.0;
      if (balanceFollowed) addCellVolumes(k, r, c, volumes, v, gain * area);
      if (!tracing) continue;
      const double water = storedWater(k, r, c);
      mixCell(k, r, c, volumes, water);
      if (fixed) continue;
      double in = 0.0, out = 0.0;
      for (double part : volumes) (part > 0.0 ? in : out) += std::fabs(part);
      needed = std::max(needed, tracerStepsOf(water, in, out));
    }
  }
  return needed;
}

// The least number of equal steps in which a cell of `start` water that
// receives `in` and gives `out` over the sub-step gives at most what it
// holds in each: its water changes linearly from step to step, so the first
// step decides where it grows, the last where it shrinks. 1 where no number
// suffices (the sub-step drains it).
double gwflowclass::tracerStepsOf(double start, double in, double out) {
  if (!(out > 0.0)) return 1.0;
  if (in >= out) return start > 0.0 ? std::max(1.0, out / start) : 1.0;
  const double end = start + in - out;
  return end > 0.0 ? std::max(1.0, in / end) : 1.0;
}

// What leaves goes at the cell's own concentration, at most the water the
// cell holds; a cell left without water keeps its concentration.
double gwflowclass::mixedConcentration(double water, double own, const double volumes[6],
                                       const double from[6]) {
  double out = 0.0;
  for (int i = 0; i < 6; ++i)
    if (volumes[i] < 0.0) out -= volumes[i];
  const double kept = std::max(0.0, water - out);
  double mass = kept * own, volume = kept;
  for (int i = 0; i < 6; ++i) {
    if (!(volumes[i] > 0.0)) continue;
    mass += volumes[i] * from[i];
    volume += volumes[i];
  }
  return volume > 0.0 ? mass / volume : own;
}

// The water of the layer's pores at the start of the sub-step, by the
// storage coefficient of layer 1, as the transmissivities took it.
double gwflowclass::storedWater(int k, long r, long c) const {
  return layers[1].storage[r][c] * dx(r, c) * dy(r, c) *
         saturatedThickness(k, r, c, layers[static_cast<size_t>(k)].headOld[r][c]);
}

// Inflow carries the concentration of the cell it comes from, outflow the
// cell's own. Over a long sub-step a cell may give more water than it held
// at the start: the mixing then runs in as many equal tracer steps as let
// every cell give at most what it holds in each, the water of a cell
// growing or shrinking by its net inflow from step to step, in place of the
// one step of the balance. Each step mixes every layer from the
// concentrations of the step before, so that what one cell gives another
// receives, and every concentration stays within those it mixed.
// Collective.
void gwflowclass::mixLayerTracers(double needed) {
  if (layerTracers.empty()) return;
  const OwnCells cells = ownCells();
  checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, &needed, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the tracer steps of the aquifer");
  tracerSteps = static_cast<int>(std::ceil(std::min(needed, mostTracerSteps)));
  const double share = 1.0 / tracerSteps;
  for (int step = 0; step < tracerSteps; ++step) {
    if (tracerSteps > 1) {
      for (const auto& t : layerTracers)
        for (int k = 1; k <= layerCount; ++k)
          MPIExchangeGridHalo(t->storeIndex[static_cast<size_t>(k)]);
      for (int k = 1; k <= layerCount; ++k)
        cells.forEach([&](long r, long c) {
          if (glacierFraction(r, c) >= 1.0) return;
          double volumes[6];
          faceVolumes(k, r, c, volumes);
          double net = 0.0;
          for (double& v : volumes) {
            net += v;
            v *= share;
          }
          mixCell(k, r, c, volumes, storedWater(k, r, c) + step * share * net);
        });
    }
    for (int k = 1; k <= layerCount; ++k) {
      const AquiferLayer& l = layers[static_cast<size_t>(k)];
      cells.forEach([&](long r, long c) {
        if (glacierFraction(r, c) >= 1.0) return;
        for (size_t t = 0; t < layerTracers.size(); ++t)
          layerTracers[t]->store[static_cast<size_t>(k)][r][c] = l.tracerWork[t][r][c];
      });
    }
  }
}

// The concentrations of a cell after the volumes of its faces, into the
// layer's working grids.
void gwflowclass::mixCell(int k, long r, long c, const double volumes[6], double water) {
  const size_t layer = static_cast<size_t>(k);
  for (size_t t = 0; t < layerTracers.size(); ++t) {
    const LayerTracer& tracer = *layerTracers[t];
    const Grid store = tracer.store[layer];
    const double own = store[r][c];
    const double from[6] = {r > 1 ? store[r - 1][c] : own,
                            c < header.ncols ? store[r][c + 1] : own,
                            r < header.nrows ? store[r + 1][c] : own,
                            c > 1 ? store[r][c - 1] : own,
                            k > 1 ? tracer.store[layer - 1][r][c] : own,
                            k < layerCount ? tracer.store[layer + 1][r][c] : own};
    layers[layer].tracerWork[t][r][c] = mixedConcentration(water, own, volumes, from);
  }
}

// Cells outside the zone hold no tracer; the statistics weigh each cell by
// its water at the end of the sub-step.
void gwflowclass::storeLayerTracers(int k) {
  const OwnCells cells = ownCells();
  const size_t layer = static_cast<size_t>(k);
  const double nodata = header.nodata;
  cells.forEach([](long, long) {},
                [&](long r, long c) {
                  if (inZone(r, c)) return;
                  for (const auto& t : layerTracers) t->store[layer][r][c] = nodata;
                });
  for (const auto& tracer : layerTracers) {
    zonalstatistic& statistic = *tracer->statistic[layer];
    const Grid store = tracer->store[layer];
    cells.forEachInOrder([&](long r, long c) {
      if (glacierFraction(r, c) >= 1.0) return;
      const double volume =
          layers[1].storage[r][c] * dx(r, c) * dy(r, c) * saturatedThickness(k, r, c);
      statistic.addValue(r, c, zones.indexOf(zones.grid[r][c]), store[r][c], volume);
    });
  }
}
