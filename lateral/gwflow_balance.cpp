// The water balance of every cell of a layer after its sweeps, and the
// mixing of the tracers with the same volumes.
#include <algorithm>

#include "lateral/gwflowclass.h"

namespace {

constexpr int north = 0, east = 1, south = 2, west = 3, above = 4, below = 5;

} // namespace

// The volumes are the ones the sweeps solved for: the same storage rule,
// the fixed flux and the faces weighted in time as the method weights them
// (the line sweep takes its row implicitly and its columns at the start).
void gwflowclass::computeBalance(int k) {
  AquiferLayer& l = layers[static_cast<size_t>(k)];
  for (const auto& t : layerTracers) MPIExchangeGridHalo(t->storeIndex[static_cast<size_t>(k)]);
  const Grid leakBelow = k < layerCount ? l.leakage : nullptr;
  const Grid leakAbove = k > 1 ? layers[static_cast<size_t>(k - 1)].leakage : nullptr;
  const double dt = deltaT();
  const double ax = method == 1 ? alpha : 1.0, ay = method == 1 ? alpha : 0.0;
  const OwnCells cells = ownCells();
  cells.forEach([&](long r, long c) {
    // A cell wholly under a glacier takes no part: its balance is not the
    // one of the step it was last computed in.
    if (glacierFraction(r, c) >= 1.0) {
      l.balance[r][c] = 0.0;
      return;
    }
    const double x = dx(r, c), y = dy(r, c), area = x * y;
    auto hw = [&](long r2, long c2, double a) {
      return (1.0 - a) * l.headOld[r2][c2] + a * l.head[r2][c2];
    };
    auto face = [&](long r2, long c2, double t, double ratio, double a) {
      if (!inZone(r2, c2) || !(t > 0.0)) return 0.0;
      return dt * ratio * t * (hw(r2, c2, a) - hw(r, c, a));
    };
    double volumes[6] = {};
    if (r > 1) volumes[north] = face(r - 1, c, l.ty[r - 1][c], x / y, ay);
    if (c < header.ncols) volumes[east] = face(r, c + 1, l.tx[r][c], y / x, ax);
    if (r < header.nrows) volumes[south] = face(r + 1, c, l.ty[r][c], x / y, ay);
    if (c > 1) volumes[west] = face(r, c - 1, l.tx[r][c - 1], y / x, ax);
    if (leakAbove) volumes[above] = -leakAbove[r][c] * area * dt;
    if (leakBelow) volumes[below] = leakBelow[r][c] * area * dt;
    double v = fixedFlux(k, r, c) * area * dt;
    for (double part : volumes) v += part;
    const bool fixed = l.fixedHead[r][c] != header.nodata;
    l.balance[r][c] =
        fixed ? 0.0 : ((l.head[r][c] - l.headOld[r][c]) * storageOf(k, r, c) - v / area) * 1000.0;
    if (balanceFollowed)
      addCellVolumes(k, r, c, volumes, v,
                     fixed ? 0.0 : (l.head[r][c] - l.headOld[r][c]) * storageOf(k, r, c) * area);
    if (!layerTracers.empty())
      mixTracers(k, r, c, volumes, layers[1].storage[r][c] * area * saturatedThickness(k, r, c));
  });
  const double nodata = header.nodata;
  cells.forEach(
      [&](long r, long c) {
        for (size_t t = 0; t < layerTracers.size(); ++t)
          layerTracers[t]->store[static_cast<size_t>(k)][r][c] = l.tracerWork[t][r][c];
      },
      [&](long r, long c) {
        if (inZone(r, c)) return;
        l.head[r][c] = nodata;
        for (const auto& t : layerTracers) t->store[static_cast<size_t>(k)][r][c] = nodata;
      });
  for (size_t t = 0; t < layerTracers.size(); ++t) {
    LayerTracer& tracer = *layerTracers[t];
    zonalstatistic& statistic = *tracer.statistic[static_cast<size_t>(k)];
    const Grid store = tracer.store[static_cast<size_t>(k)];
    cells.forEachInOrder([&](long r, long c) {
      if (glacierFraction(r, c) >= 1.0) return;
      const double volume =
          layers[1].storage[r][c] * dx(r, c) * dy(r, c) * saturatedThickness(k, r, c);
      statistic.addValue(r, c, zones.indexOf(zones.grid[r][c]), store[r][c], volume);
    });
  }
}

// Inflow carries the concentration of the cell it comes from, outflow the
// cell's own; the new concentration goes to the layer's working grid.
void gwflowclass::mixTracers(int k, long r, long c, const double volumes[6], double storedVolume) {
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
    double mass = storedVolume * own, volume = storedVolume;
    for (int i = 0; i < 6; ++i) {
      if (volumes[i] == 0.0) continue;
      mass += volumes[i] * (volumes[i] > 0.0 ? from[i] : own);
      volume += volumes[i];
    }
    // A cell that gives more than it holds and receives, as a fixed head
    // does, keeps its concentration: what stays is its own water.
    layers[layer].tracerWork[t][r][c] = volume > 0.0 ? mass / volume : own;
  }
}
