// One sub-step of the aquifer layers: leakage, start values,
// transmissivities, the sweeps of every layer, Darcy fluxes, baseflow and
// the balance with the tracers' mixing.
#include <algorithm>
#include <cmath>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "lateral/gwflowclass.h"

void gwflowclass::solveGroundwater() {
  if (!active) return;
  for (auto& t : layerTracers)
    for (int k = 1; k <= layerCount; ++k) t->statistic[static_cast<size_t>(k)]->resetZones();
  computeLeakage();
  setStartValues();
  for (int index : {thawDepthIndex, frozenDepthIndex, pondUse ? pondIndex : -1, distanceIndex})
    MPIExchangeGridHalo(index);
  computeTransmissivities();
  for (int k = 1; k <= layerCount; ++k) {
    AquiferLayer& l = layers[static_cast<size_t>(k)];
    for (int index : {l.flowXIndex, l.flowYIndex, l.txIndex, l.tyIndex}) MPIExchangeGridHalo(index);
    sweeps = 0;
    double error = 0.0;
    for (;;) {
      ++sweeps;
      for (int index : {l.headIndex, l.headOldIndex, l.headOldOldIndex}) MPIExchangeGridHalo(index);
      double local = method == 2 ? lineSweep(k) : sorSweep(k);
      checkMPI(*diag, MPI_Reduce(&local, &error, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD),
               "MPI_Reduce of the largest head change");
      checkMPI(*diag, MPI_Bcast(&error, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD),
               "MPI_Bcast of the largest head change");
      if (sweeps >= maxIterations || method != 1 || !(error > maxError)) break;
    }
    double sum = 0.0, maximum = 0.0;
    long oscillating = countOscillations(l.head, l.headOld, l.headOldOld, sum, maximum);
    double sums[2] = {static_cast<double>(oscillating), sum};
    checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, sums, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD),
             "MPI_Allreduce of the oscillations");
    checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, &maximum, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD),
             "MPI_Allreduce of the largest oscillation");
    logLayer(k, sweeps, error, std::lround(sums[0]), sums[1], maximum);
  }
  for (int k = 1; k <= layerCount; ++k)
    MPIExchangeGridHalo(layers[static_cast<size_t>(k)].headIndex);
  computeDarcyFlows();
  for (int k = 1; k <= layerCount; ++k)
    MPIExchangeGridHalo(layers[static_cast<size_t>(k)].headIndex);
  computeBaseflow();
  // The control point's record holds its west neighbour's baseflow, which
  // another process computes where a strip ends within the row.
  if (controlRow >= 1) MPIExchangeGridHalo(baseflowIndex);
  double tracerStepsNeeded = 1.0;
  for (int k = 1; k <= layerCount; ++k)
    tracerStepsNeeded = std::max(tracerStepsNeeded, computeBalance(k));
  mixLayerTracers(tracerStepsNeeded);
  for (int k = 1; k <= layerCount; ++k) storeLayerTracers(k);
  appendControlPointRecord();
}

// Positive leakage flows from layer k + 1 up into layer k.
void gwflowclass::computeLeakage() {
  const OwnCells cells = ownCells();
  for (int k = 1; k < layerCount; ++k) {
    AquiferLayer& up = layers[static_cast<size_t>(k)];
    const AquiferLayer& down = layers[static_cast<size_t>(k + 1)];
    cells.forEach(
        [&](long r, long c) {
          if (glacierFraction(r, c) >= 1.0) {
            up.leakage[r][c] = 0.0;
            return;
          }
          const double hk = up.head[r][c], below = down.head[r][c], top = down.top[r][c];
          double g = below - hk;
          if (hk >= below && top > below) g = top - hk <= 0.0 ? top - hk : 0.0;
          g = std::min(1.0, std::max(-1.0, g));
          up.leakage[r][c] = g * up.kolmation[r][c];
        },
        [&](long r, long c) {
          if (!inZone(r, c)) up.leakage[r][c] = 0.0;
        });
  }
}

// The heads of the sub-step's start. Fixed heads are set here as well, so
// that no sweep sees a neighbour's old value of them.
void gwflowclass::setStartValues() {
  const OwnCells cells = ownCells();
  for (int k = 1; k <= layerCount; ++k) {
    AquiferLayer& l = layers[static_cast<size_t>(k)];
    cells.forEach([&](long r, long c) {
      if (glacierFraction(r, c) >= 1.0) return;
      l.headOldOld[r][c] = l.headOld[r][c];
      if (k > 1) {
        l.headIter[r][c] = l.head[r][c];
        l.headOld[r][c] = l.head[r][c];
      } else {
        l.head[r][c] = l.headIter[r][c] = l.headOld[r][c] = headFromUnsaturatedZone(r, c);
      }
      if (l.fixedHead[r][c] != header.nodata)
        l.head[r][c] = l.headOld[r][c] = l.headOldOld[r][c] = l.fixedHead[r][c];
      for (const auto& t : layerTracers)
        if (t->decayFactor != 1.0) t->store[static_cast<size_t>(k)][r][c] *= t->decayFactor;
    });
    for (int index : {l.headIndex, l.headOldIndex, l.headOldOldIndex}) MPIExchangeGridHalo(index);
  }
}

// b at least 0: a head below the layer bottom carries no water.
double gwflowclass::saturatedThickness(int k, long r, long c, double h) const {
  const double d = thickness(k, r, c);
  const double top = layers[static_cast<size_t>(k)].top[r][c];
  if (h > top + 0.01) return d;
  double reduced = d;
  if (k == 1 && frozenDepth && frozenDepth[r][c] > header.nodata)
    reduced = std::max(0.0, d - frozenDepth[r][c] * frozenDepthScaling);
  return std::max(0.0, h - top + reduced);
}

void gwflowclass::computeTransmissivities() {
  const OwnCells cells = ownCells();
  for (int k = 1; k <= layerCount; ++k) {
    AquiferLayer& l = layers[static_cast<size_t>(k)];
    auto cellT = [&](long r, long c, Grid K) {
      return glacierFraction(r, c) == 0.0 ? saturatedThickness(k, r, c) * K[r][c] : 0.0;
    };
    // A dry cell takes its wet neighbour's value for the inflow from it.
    auto face = [&](long r, long c, long r2, long c2, Grid K) {
      double t = cellT(r, c, K), t2 = cellT(r2, c2, K);
      const double h = l.head[r][c], h2 = l.head[r2][c2];
      if (t <= 0.0 && t2 > 0.0 && h2 > h && K[r][c] > 0.0 && glacierFraction(r, c) == 0.0)
        t = t2;
      else if (t2 <= 0.0 && t > 0.0 && h > h2 && K[r2][c2] > 0.0 && glacierFraction(r2, c2) == 0.0)
        t2 = t;
      return t + t2 > 0.0 ? 2.0 * t * t2 / (t + t2) : 0.0;
    };
    cells.forEach(
        [&](long r, long c) {
          const bool computed = glacierFraction(r, c) < 1.0;
          l.tx[r][c] = computed && c < header.ncols && joins(r, c, r, c + 1)
                           ? face(r, c, r, c + 1, l.kx)
                           : 0.0;
          l.ty[r][c] = computed && r < header.nrows && joins(r, c, r + 1, c)
                           ? face(r, c, r + 1, c, l.ky)
                           : 0.0;
        },
        [&](long r, long c) {
          if (!inZone(r, c)) l.tx[r][c] = l.ty[r][c] = 0.0;
        });
  }
}

void gwflowclass::computeDarcyFlows() {
  const OwnCells cells = ownCells();
  for (int k = 1; k <= layerCount; ++k) {
    AquiferLayer& l = layers[static_cast<size_t>(k)];
    auto flow = [&](long r, long c, long r2, long c2, Grid K, double size) {
      if (!inZone(r2, c2) || glacierFraction(r2, c2) >= 1.0) return 0.0;
      return (l.head[r][c] - l.head[r2][c2]) * K[r][c] / size;
    };
    cells.forEach(
        [&](long r, long c) {
          const bool computed = glacierFraction(r, c) < 1.0;
          l.flowX[r][c] = computed && c < header.ncols ? flow(r, c, r, c + 1, l.kx, dx(r, c)) : 0.0;
          l.flowY[r][c] = computed && r < header.nrows ? flow(r, c, r + 1, c, l.ky, dy(r, c)) : 0.0;
        },
        [&](long r, long c) {
          if (!inZone(r, c)) l.flowX[r][c] = l.flowY[r][c] = 0.0;
        });
  }
}

// Layer 1 is the soil's saturated zone: "baseflow" is what it lost over the
// sub-step (m/s, negative where it gained), and the soil, where it runs,
// owes that water on its own grid until it has drained it (or, for a gain,
// taken it in) in its next sub-step.
void gwflowclass::computeBaseflow() {
  const AquiferLayer& l = layers[1];
  const double dt = deltaT();
  if (!soilOwedLookedUp) {
    const int index = findGrid("groundwater_owed", 1);
    soilOwed = index > 0 ? registry[index].grid : nullptr;
    soilOwedLookedUp = true;
  }
  ownCells().forEach([&](long r, long c) {
    if (glacierFraction(r, c) >= 1.0) {
      baseflow[r][c] = 0.0;
      return;
    }
    baseflow[r][c] = (l.headOld[r][c] - l.head[r][c]) * l.storage[r][c] / dt;
    if (soilOwed) soilOwed[r][c] += baseflow[r][c] * dt * 1000.0;
  });
}

long gwflowclass::countOscillations(Grid h, Grid hOld, Grid hOldOld, double& sum, double& maximum) {
  long count = 0;
  double total = 0.0, largest = 0.0;
  const double e = maxError;
  const OwnCells cells = ownCells();
#pragma omp parallel for schedule(runtime) reduction(+ : count, total) reduction(max : largest)
  for (long r = cells.firstRow; r <= cells.lastRow; ++r)
    for (long c = cells.firstColumn(r); c <= cells.lastColumn(r); ++c) {
      if (!cells.owns(r, c)) continue;
      const double d1 = hOld[r][c] - hOldOld[r][c], d2 = h[r][c] - hOld[r][c];
      if (!((d1 > e && d2 < -e) || (d1 < -e && d2 > e))) continue;
      ++count;
      total += std::fabs(d2);
      largest = std::max(largest, std::fabs(d2));
    }
  sum = total;
  maximum = largest;
  return count;
}

// The log lines at the module's output interval: always with an interval of
// one hour, else at whole multiples of it except midnight.
bool gwflowclass::logDue() const {
  if (outputInterval <= 1) return true;
  const long minutes = currentDate.hour * 60 + currentDate.minute;
  return currentDate.hour != 0 && minutes % (static_cast<long>(outputInterval) * 60) == 0;
}

void gwflowclass::logLayer(int k, long sweepCount, double error, long oscillating, double sum,
                           double max) {
  if (!logDue()) return;
  *diag << "GWlevel " << k << ", MPI-rank " << mpiRank << ", Steps " << sweepCount;
  if (method != 1) {
    *diag << "[end-entry]";
    return;
  }
  meanRelaxation = sorParameter;
  if (adaptiveSor) {
    double sums[2] = {relaxationSum, static_cast<double>(relaxationCount)};
    checkMPI(*diag, MPI_Allreduce(MPI_IN_PLACE, sums, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD),
             "MPI_Allreduce of the relaxation factors");
    meanRelaxation = sums[1] > 0.0 ? sums[0] / sums[1] : 1.0;
  }
  *diag << " err " << error << ", SOR " << meanRelaxation << ", osc. at " << oscillating
        << " points (av: " << (oscillating > 0 ? sum / static_cast<double>(oscillating) : 0.0)
        << ", max " << max << ")"
        << "[end-entry]";
}
