// Lakes and the aquifer. Where a lake's soil is saturated to the surface
// the aquifer counts the lake's level in the head of its first layer: what
// that layer gains or loses under such a cell in a sub-step the lake gains
// or loses in the same sub-step, instead of the soil a sub-step later,
// which would send a gain off as the cell's direct runoff. "q_downext"
// holds there the lake's exchange with the aquifer over the step (m/s,
// upward positive), which the lake's table books as its groundwater
// exchange.

#include <algorithm>
#include <cmath>

#include "soil/unsatzonmodellklasse.h"

namespace {

// The aquifer counts the ponded water in its head where the table lies
// this close to the surface (m).
constexpr double tableAtSurface = 0.001;

} // namespace

bool unsatzonmodellklasse::lakeTakesAquiferWater(long r, long c) const {
  return groundwaterOwed && lakesReleased && isLakeCell(r, c);
}

void unsatzonmodellklasse::clearLakeExchange() {
  if (!groundwaterOwed || !lakesReleased) return;
  const Grid exchange = solverGrids.bottomFlux;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c) && lakeTakesAquiferWater(r, c)) exchange[r][c] = 0.0;
}

void unsatzonmodellklasse::settleLakeGroundwater() {
  if (getFlowControl() == 0 || routingOnly || !groundwaterOwed || !lakesReleased) return;
  const double nodata = header.nodata;
  const double toRate = 1.0 / (timeStepMinutes * 60.0 * 1000.0);
  const Grid exchange = solverGrids.bottomFlux;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c) || !lakeTakesAquiferWater(r, c)) continue;
      if (glacier && glacier[r][c] != nodata && glaciated(glacier[r][c])) continue;
      double& owed = groundwaterOwed[r][c];
      if (!(std::fabs(tableDistance[r][c]) < tableAtSurface) || owed == 0.0) continue;
      double& pond = ponding[r][c];
      // What the lake gives the aquifer, negative where it receives: never
      // more than it holds on the cell; the soil owes the rest.
      const double given = owed < 0.0 ? owed : std::min(owed, std::max(0.0, pond));
      if (given == 0.0) continue;
      if (!soilTracers.empty()) settleLakeTracers(r, c, pond, given);
      pond -= given;
      owed -= given;
      exchange[r][c] -= given * toRate;
    }
}

// The aquifer's water brings the lake its concentration; the lake's water
// brings the aquifer the lake's, mixed with the aquifer's water under the
// column as the soil's saturated zone mixes with it.
void unsatzonmodellklasse::settleLakeTracers(long r, long c, double pond, double given) {
  const double nodata = header.nodata;
  const double held = std::max(0.0, pond);
  const soil_class& soil = (*context.soilTable)[static_cast<std::size_t>(soilTypes[r][c])];
  double depth = 0.0;
  for (int k = 1; k <= soil.getLayerCount(); ++k) depth += soil.getThickness(k);
  const double below = aquiferPoreWater(r, c, depth);
  for (std::unique_ptr<SoilTracer>& t : soilTracers) {
    double& lake = t->store[r][c][0];
    const bool aquiferKnown = t->aquifer && t->aquifer[r][c] != nodata;
    if (given < 0.0) {
      lake = mixConcentration(held > 0.0 ? lake : 0.0, aquiferKnown ? t->aquifer[r][c] : 0.0,
                              held, -given);
      continue;
    }
    if (aquiferKnown && below > 0.0)
      t->aquifer[r][c] = mixConcentration(t->aquifer[r][c], lake, below, given);
    if (given >= held) lake = 0.0;
  }
}
