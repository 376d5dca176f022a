// The sweeps of an inner step of surface routing: the direct flow becomes
// surface water, methods 1-5 compute their fluxes, and every method
// balances the storage of each cell.
#include <algorithm>
#include <cmath>

#include "lateral/surfaceroutingclass.h"

void surfaceroutingclass::runPreparationSweep() {
  const bool heads = flowPathMethod == 6;
  const size_t n = concQDGrids.empty() ? 0 : tracers.size();
  cells.forEach([&](long r, long c) {
    const double water = directflowGrid[r][c];
    headGrid[r][c] = water / 1000.0 + (heads ? demGrid[r][c] : 0.0);
    if (heads) headOldGrid[r][c] = headGrid[r][c];
    surfStorSiltingUpGrid[r][c] = water;
    for (size_t t = 0; t < n; ++t) {
      tracers[t]->concstor[r][c] = concQDGrids[t + 1][r][c];
      concQDGrids[t + 1][r][c] = 0.0;
    }
    directflowGrid[r][c] = 0.0;
  });
}

void surfaceroutingclass::runFlowSweep(long pass, long refreshPass) {
  cells.forEach([&](long r, long c) {
    double slope = 0.0;
    double aspect = 0.0;
    int cellClass = 0;
    steepestDescent(r, c, slope, aspect, cellClass);
    computeFlowWeights(r, c, cellClass, pass, slope, aspect);
    computeVelocities(r, c, pass, refreshPass, cellClass);
  });
}

void surfaceroutingclass::runHeadUpdateSweep(double dt) {
  const size_t n = concQDGrids.empty() ? 0 : tracers.size();
  if (flowPathMethod == 6) {
    // The water moves by the face fluxes of the last iterate: what leaves a
    // cell enters its neighbour, however far the heads converged, and the
    // heads follow the water. A river cell passes on what it held and what
    // reached it.
    cells.forEach([&](long r, long c) {
      const double* Q = fluxesStack[r][c];
      const double gained =
          (Q[1] - Q[3] - Q[5] + Q[7]) * 1000.0 * dt / (cellDx(r, c) * cellDy(r, c));
      if (bordersFollowed) cellBorderInflow[ownCellIndex(r, c)] += faceBorderInflow(r, c) * dt;
      const double z = demGrid[r][c];
      if (isRiverCell(r, c)) {
        directflowGrid[r][c] += surfStorSiltingUpGrid[r][c] + gained;
        surfStorSiltingUpGrid[r][c] = 0.0;
        headGrid[r][c] = headOldGrid[r][c] = z;
        return;
      }
      directflowGrid[r][c] = 0.0;
      const double S = std::max(0.0, surfStorSiltingUpGrid[r][c] + gained);
      surfStorSiltingUpGrid[r][c] = S;
      headGrid[r][c] = headOldGrid[r][c] = z + S / 1000.0;
    });
    return;
  }
  const double area = header.cellsize * header.cellsize;
  // All inflows first: they read the neighbours' concentrations, which the
  // balance below changes.
  cells.forEach([&](long r, long c) { cellInOutVolumes(r, c, dt); });
  cells.forEach([&](long r, long c) {
    if (bordersFollowed) cellBorderInflow[ownCellIndex(r, c)] += borderExchange(r, c, dt);
    const double qIn = qInGrid[r][c] * 1000.0 / area;
    double qOut = qOutGrid[r][c] * 1000.0 / area;
    double S = surfStorSiltingUpGrid[r][c];
    // Tracer masses before the balance; concflux holds the inflowing mass.
    for (size_t t = 0; t < n; ++t) {
      double& conc = tracers[t]->concstor[r][c];
      conc = conc * S + tracers[t]->concflux[r][c] / area - conc * qOut;
    }
    S += qIn - qOut;
    if (S < 0.0) {
      qOut += S;
      qOutGrid[r][c] = qOut * area / 1000.0;
      S = 0.0;
    }
    for (size_t t = 0; t < n; ++t) {
      double& conc = tracers[t]->concstor[r][c];
      conc = S > 0.0 ? conc / S : 0.0;
    }
    if (!isRiverCell(r, c)) {
      directflowGrid[r][c] = 0.0;
      for (size_t t = 0; t < n; ++t) concQDGrids[t + 1][r][c] = 0.0;
      headGrid[r][c] = S / 1000.0;
      surfStorSiltingUpGrid[r][c] = S;
      return;
    }
    // Water that reaches a river leaves the surface as direct flow.
    directflowGrid[r][c] += S;
    for (size_t t = 0; t < n; ++t) {
      concQDGrids[t + 1][r][c] += tracers[t]->concstor[r][c] * S;
      tracers[t]->concstor[r][c] = 0.0;
    }
    surfStorSiltingUpGrid[r][c] = 0.0;
    headGrid[r][c] = 0.0;
  });
}
