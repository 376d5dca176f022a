// A glacierized cell in the snow step: the snow beside the glacier and on
// it, then, once the snow on the glacier is gone, the melt of firn and ice;
// and the thaw depth of permafrost under a cell without snow.
#include <algorithm>
#include <cmath>

#include "snow/schneemodellklasse.h"

double schneemodellklasse::glacierFraction(long r, long c) const {
  return glacierGrid ? std::clamp(glacierGrid[r][c], 0.0, 1.0) : 0.0;
}

// Glaciers that keep their extent have no pack of their own: the snow of a
// cell wholly under one lies on the glacier, and no soil takes its outflow.
double schneemodellklasse::glacierSnowOutflow(long r, long c) const {
  if (const Grid onGlacier = own(glacierSnowMeltGrid)) return onGlacier[r][c];
  return !glacier.dynamic() && glacierGrid[r][c] >= 1.0 ? own(outflowGrid)[r][c] : 0.0;
}

void schneemodellklasse::glacierCell(long r, long c) {
  double glacierMelt = 0.0;
  if (glacier.method == 13)
    snowMethodGlacierSnow(r, c, glacierMelt);
  else
    degreeDayGlacierSnow(r, c, glacierMelt);
  firnAndIceMelt(r, c, glacierMelt);
}

// Both packs melt by degree days, radiation adding for methods 2 and 12,
// each from the total it held at the start of the step. The canopy unloads
// onto the part of the cell beside the glacier, whose pack, as the canopy,
// holds its water per unit of that part.
void schneemodellklasse::degreeDayGlacierSnow(long r, long c, double& glacierMelt) {
  const double t = temperature[r][c];
  const double p = precipitation[r][c];
  const double n = stepsPerDay;
  const double fraction = snowFractionOf(t, t0r, transzone);
  const double snowfall = fraction * p;
  const double rainfall = (1.0 - fraction) * p;
  const double unload = canopyUnload ? canopyUnload[r][c] : 0.0;
  // No canopy stands on the glacier's part: its pack takes what falls in
  // the open.
  const double open = glacierFall(r, c);
  const double glacierSnowfall = fraction * open;
  const double glacierRainfall = (1.0 - fraction) * open;
  own(snowFractionGrid)[r][c] = snowfall + unload;
  own(rainFractionGrid)[r][c] = rainfall;
  auto potential = [&](double stored) {
    if (!(t > t0) || !(stored > 0.0)) return 0.0;
    if (glacier.method == 1 || glacier.method == 11) return (t - t0) * glacier.ddfSnow / n;
    return (glacier.mf / n + factors.snowRadiation * glacierRadiation[r][c]) * (t - t0);
  };
  const Pack outside = outsidePack();
  const double outsideMelt = potential(outside.total[r][c]);
  outside.solid[r][c] += snowfall + unload;
  outside.liquid[r][c] += rainfall;
  if (snowfall + unload > 0.0) transferLayeredSnow(r, c, false, 1.0, snowfall + unload, t);
  const double spentOutside = afterMelt(r, c, outsideMelt, t, outside);
  const Pack onGlacier = glacierPack();
  // A static glacier's snow is the cell's own pack: its melt took the
  // energy that firn and ice would have had.
  if (!onGlacier.solid) {
    glacierMelt = spentOutside;
    return;
  }
  const double melt = potential(onGlacier.total[r][c]);
  onGlacier.solid[r][c] += glacierSnowfall;
  onGlacier.liquid[r][c] += glacierRainfall;
  own(glacierPrecipitationGrid)[r][c] = glacierSnowfall + glacierRainfall;
  glacierMelt = afterMelt(r, c, melt, t, onGlacier);
}

// The snow method melts both packs, the glacier's with its own grids.
void schneemodellklasse::snowMethodGlacierSnow(long r, long c, double& glacierMelt) {
  const double unload = canopyUnload ? canopyUnload[r][c] : 0.0;
  snowSequence(r, c, unload, outsidePack());
  glacierMelt = snowSequence(r, c, unload, glacierPack());
}

// Firn and ice melt where the snow on the glacier is gone; what melted of
// that snow already took its share of the energy. The firn gives from its
// top layer down; what it cannot give melts from the ice below.
void schneemodellklasse::firnAndIceMelt(long r, long c, double glacierMelt) {
  const double t = temperature[r][c];
  const double n = stepsPerDay;
  const Grid glacierSnow = own(glacierSolidGrid) ? own(glacierSolidGrid) : own(solidGrid);
  double& firnMelt = own(firnMeltGrid)[r][c];
  double& iceMelt = own(iceMeltGrid)[r][c];
  double fromFirn = 0.0;
  if (t > t0 && !(glacierSnow && glacierSnow[r][c] > 0.0)) {
    const double d = debris && debris[r][c] > header.nodata + 1.0 ? debris[r][c] : 1.0;
    const double dIce = d * glacier.debrisScaling;
    const double warm = t - t0;
    double snowRate = warm * glacier.ddfFirn / n;
    double iceRate = dIce * glacier.ddfIce * warm / n;
    if (glacier.withRadiation()) {
      const double radiation = glacierRadiation[r][c];
      snowRate = (glacier.mf / n + factors.snowRadiation * radiation) * warm;
      iceRate = dIce * (glacier.mf / n + factors.iceRadiation * radiation) * warm;
    }
    const double firnPotential = std::max(0.0, snowRate - glacierMelt);
    const double icePotential = std::max(0.0, iceRate - glacierMelt);
    if (!glacier.dynamic()) {
      if (glacierGrid[r][c] == 1.0) iceMelt = icePotential;
      if (glacierGrid[r][c] == 2.0) firnMelt += firnPotential;
    } else if (own(firnTotalGrid)[r][c] > 0.0) {
      fromFirn = firnPotential;
    } else {
      iceMelt = icePotential;
    }
  }
  if (!glacier.dynamic()) return;
  double* layers = firnStack[r][c];
  const double nodata = header.nodata;
  double rest = fromFirn;
  double sum = 0.0;
  for (int k = 1; k <= glacier.firnLevels; ++k) {
    double& layer = layers[k];
    if (layer == nodata) layer = 0.0;
    const double taken = std::min(layer, rest);
    layer -= taken;
    rest -= taken;
    sum += layer;
  }
  firnMelt += fromFirn - rest;
  iceMelt += rest;
  layers[0] = own(firnTotalGrid)[r][c] = sum;
}

// The ground thaws with the root of the days without snow and freezes
// again under a lasting snow cover; roots reach no deeper than the thaw.
void schneemodellklasse::permafrostCell(long r, long c) {
  const double pack = own(solidGrid)[r][c] + own(liquidGrid)[r][c];
  double& free = own(snowFreeDaysGrid)[r][c];
  double& cover = own(snowCoverDaysGrid)[r][c];
  double& thaw = thawDepth[r][c];
  if (pack <= permafrost.maxSweSnowFree) {
    cover = 0.0;
    free += 1.0 / stepsPerDay;
    if (free > 0.0) thaw = thawCoefficient[r][c] * std::sqrt(free);
  } else {
    cover += 1.0 / stepsPerDay;
    if (cover >= permafrost.minSnowAgeRefreeze) free = thaw = 0.0;
  }
  if (rootDepth[r][c] > thaw) rootDepth[r][c] = thaw;
}
