// The layered snow of the unsaturated zone around the solver: the pack of
// a cell read from the snow stacks and written back, and the start
// temperatures of the snow layers.

#include <algorithm>

#include "soil/unsatzonmodellklasse.h"

void unsatzonmodellklasse::prepareSnowColumn() {
  const double* k = settings.heat.constants;
  SnowColumnSettings& s = snowColumn;
  s.type = &snowTypes[1];
  s.layers = snowLayers;
  s.constants.holdingCapacity = snowSettings.waterHoldingCapacity;
  s.constants.suctionFactor = k[dTModFactor];
  s.constants.iceCapacity = k[dTModCIce0];
  s.constants.waterCapacity = k[dTModCWater];
  s.drainageDensity = snowSettings.drainageDensity;
  s.liquidEffect = snowSettings.seEffectiveness;
  heatModel.liquidEffect = snowSettings.seEffectivenessSoil;
}

// A layer is in use only while it holds snow; the liquid water the snow
// model left at level 0 when it took layers away leaves the pack with the
// first update.
void unsatzonmodellklasse::loadSnowPack(long r, long c, ColumnSolver& solver) const {
  SnowPack& p = solver.pack;
  const double* ice = snowStacks[snowLineSWES][r][c];
  double* liquid = snowStacks[snowLineSWEL][r][c];
  const double* thickness = snowStacks[snowLineThick][r][c];
  const double* temperature =
      snowStacks[snowLineTemper] ? snowStacks[snowLineTemper][r][c] : nullptr;
  const double air = airTemperature ? airTemperature[r][c] : 0.0;
  // The layers keep the pack beside a glacier per unit of that part; a
  // column that stands for more of the cell holds it spread thinner.
  const double land = landShare(r, c);
  for (int k = 1; k <= snowLayers; ++k) {
    const double water = ice[k] + std::max(0.0, liquid[k]);
    if (!(ice[k] > 0.0) || !(thickness[k] > 0.0)) {
      for (double* a : {p.ice, p.liquid, p.thickness, p.theta, p.liquidFraction, p.density,
                        p.suction, p.temperature, p.previousIce, p.previousTheta})
        a[k] = snowLayerNodata;
      continue;
    }
    p.ice[k] = ice[k] * land;
    p.liquid[k] = std::max(0.0, liquid[k]) * land;
    p.thickness[k] = thickness[k] * land;
    p.theta[k] = p.density[k] = water / (thickness[k] * 1000.0);
    p.liquidFraction[k] = std::max(0.0, liquid[k]) / water;
    p.suction[k] = 0.0;
    const double t = temperature ? temperature[k] : header.nodata;
    p.temperature[k] = t > header.nodata ? std::min(t, 0.0) : std::min(air, 0.0);
    p.previousIce[k] = p.ice[k];
    p.previousTheta[k] = p.theta[k];
  }
  solver.packRelease = std::max(0.0, liquid[0]) * land;
  // Water flows in the first heat steps as it flowed at the end of the last
  // step, in the pack as in the soil; the solver's slots still hold the
  // fluxes of the column it solved before.
  const double* down = snowStacks[snowLineQu][r][c];
  for (int k = 0; k < snowLayers; ++k)
    solver.column.q[SoilColumn::snowIndex(k, snowLayers)] =
        k >= 1 && p.inUse(k) && down[k] != header.nodata ? down[k] : 0.0;
}

void unsatzonmodellklasse::writeBackSnowPack(long r, long c, const ColumnSolver& solver) {
  const SnowPack& p = solver.pack;
  const SoilColumn& column = solver.column;
  const double nodata = header.nodata;
  double* ice = snowStacks[snowLineSWES][r][c];
  double* liquid = snowStacks[snowLineSWEL][r][c];
  double* temperature = snowStacks[snowLineTemper] ? snowStacks[snowLineTemper][r][c] : nullptr;
  const double land = landShare(r, c);
  double sum = 0.0;
  double before = 0.0;
  for (int k = 1; k <= snowLayers; ++k) {
    const bool used = p.inUse(k);
    const int i = SoilColumn::snowIndex(k, snowLayers);
    if (ice[k] > 0.0) before += ice[k];
    ice[k] = used ? p.ice[k] / land : 0.0;
    liquid[k] = used ? p.liquid[k] / land : 0.0;
    sum += ice[k];
    snowStacks[snowLineThick][r][c][k] = used ? p.thickness[k] / land : nodata;
    snowStacks[snowLineDens][r][c][k] = used ? p.density[k] : nodata;
    snowStacks[snowLineTheta][r][c][k] = used ? p.theta[k] : nodata;
    snowStacks[snowLineHhyd][r][c][k] = used ? column.head[i] : nodata;
    snowStacks[snowLineHgeo][r][c][k] = used ? column.z[i] : nodata;
    snowStacks[snowLineQu][r][c][k] = used ? column.q[i] : nodata;
    if (temperature) temperature[k] = used ? p.temperature[k] : nodata;
  }
  ice[0] = sum;
  liquid[0] = 0.0;
  followSnowPack(r, c, sum - before, sum);
  snowStacks[snowLineQu][r][c][0] = column.q[column.first];
  upperIndexSnow[r][c] = p.top();
  Grid balance = snowModelGridsTaken[snowGridEnergyBalance];
  if (balance && column.first < 0 && balance[r][c] != nodata)
    balance[r][c] = solver.snowEnergyBalance;
}

// The layers carry the snow model's ice: what the column melted or froze
// in them, or let go with a layer, the snow model's pack loses or gains as
// well, so that the water is held once and the pack melts away.
void unsatzonmodellklasse::followSnowPack(long r, long c, double iceChange, double iceLeft) {
  constexpr double roundingRemainder = 1e-9; // mm
  const Grid solid = snowModelGridsTaken[snowGridSolid];
  const Grid liquid = snowModelGridsTaken[snowGridLiquid];
  const Grid total = snowModelGridsTaken[snowGridTotal];
  if (!solid || solid[r][c] == header.nodata) return;
  double& s = solid[r][c];
  s = std::max(0.0, s + iceChange);
  // The two add up the same water in another order: once the layers are
  // empty, a remainder of rounding must not keep a pack on the cell.
  if (iceLeft <= 0.0 && s < roundingRemainder) s = 0.0;
  if (total && liquid && liquid[r][c] != header.nodata) total[r][c] = s + liquid[r][c];
}

// Linear in depth from the air at the snow surface to the soil's top
// layer at the base of the pack, never above 0 degrees C.
void unsatzonmodellklasse::initialiseSnowLayerTemperatures() {
  Stack temperature = snowStacks[snowLineTemper];
  Stack thickness = snowStacks[snowLineThick];
  const int L = snowLayers;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      double* t = temperature[r][c];
      if (!isOwnValidCell(r, c)) {
        std::fill_n(t, L + 1, nodata);
        continue;
      }
      const double* d = thickness[r][c];
      int top = L + 1;
      while (top > 1 && d[top - 1] > 0.0) --top;
      upperIndexSnow[r][c] = top;
      double depth = 0.0;
      for (int k = top; k <= L; ++k) depth += d[k];
      const double air = airTemperature[r][c];
      const double base = std::min(soilTemperature[r][c][1], 0.0);
      double above = 0.0;
      for (int k = 1; k <= L; ++k) {
        if (k < top) {
          t[k] = nodata;
          continue;
        }
        const double x = depth > 0.0 ? (above + 0.5 * d[k]) / depth : 1.0;
        t[k] = std::min(0.0, x * base + (1.0 - x) * air);
        above += d[k];
      }
    }
  initialiseSnowTemperatures = false;
}
