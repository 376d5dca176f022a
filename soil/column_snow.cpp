// The layered snow pack on a soil column: its layers in the work arrays,
// its bookkeeping between the Richards iterations, the water it gives the
// soil, and the temperature at its surface.

#include <algorithm>
#include <cstdio>

#include "config/soil_class.h"
#include "soil/column_solver.h"

namespace {

constexpr double meltingPoint = 273.16;      // K
constexpr double surfaceRange = 13.0;        // K around the air temperature
constexpr double latentHeatOfIce = 337500.0; // J/kg, as the snow model's melt uses
constexpr double iceHeatCapacity = 2100.0;   // J/(kg K)
constexpr double waterHeatCapacity = 4187.0;
constexpr int packArrays = 10;

} // namespace

SnowTopTemperature snowTopTemperature(const SnowSurface& surface, double air, const double topT[2],
                                      const double ice[2], const double liquid[2], double thickness,
                                      double lambdaTop, double stepSeconds,
                                      const HeatModelSettings& heat, double iceCapacity,
                                      double waterCapacity) {
  SnowTopTemperature t;
  const double balance = surface.energyBalance;
  t.energyBalance = balance;
  if (balance == 0.0 && surface.kelvin < meltingPoint) {
    t.temperature = std::max(surface.kelvin - meltingPoint, air - surfaceRange);
    t.nFactor = heat.nFactorFreezing;
    return t;
  }
  if (balance <= 0.0) {
    t.temperature = topT[0];
    return t;
  }
  const bool second = ice[1] + liquid[1] > 0.0;
  // A single layer cannot take more than what warms and melts it.
  if (!second && stepSeconds > 0.0)
    t.energyBalance =
        std::min(balance, (latentHeatOfIce * ice[0] -
                           topT[0] * (iceHeatCapacity * ice[0] + waterHeatCapacity * liquid[0])) /
                              stepSeconds);
  const int count = second ? 2 : 1;
  double capacity = 0.0;
  double heatSum = 0.0;
  for (int k = 0; k < count; ++k) {
    const double c = iceCapacity * ice[k] + waterCapacity * liquid[k];
    capacity += c;
    heatSum += c * topT[k];
  }
  const double mean = capacity > 0.0 ? heatSum / capacity : topT[0];
  const double warmed =
      lambdaTop > 0.0 ? mean + thickness * t.energyBalance / (2.0 * lambdaTop) : mean;
  const double upper = air + surfaceRange;
  t.temperature = upper < 0.0 ? 0.0 : std::clamp(warmed, 0.0, upper);
  t.nFactor = heat.nFactorThawing;
  return t;
}

void ColumnSolver::setSnowModel(const SnowColumnSettings* settings) {
  snowModel = settings;
  const int L = settings ? settings->layers : 0;
  packStorage.assign(static_cast<std::size_t>(L + 1) * packArrays, snowLayerNodata);
  double* next = packStorage.data();
  pack = SnowPack{};
  pack.layers = L;
  for (double** a :
       {&pack.ice, &pack.liquid, &pack.thickness, &pack.theta, &pack.liquidFraction, &pack.density,
        &pack.suction, &pack.temperature, &pack.previousIce, &pack.previousTheta}) {
    *a = next;
    next += L + 1;
  }
  column.snowDrainage = settings ? settings->drainageDensity : 0.0;
  column.snowLiquidEffect = settings ? settings->liquidEffect : 0.0;
  snapshot.resize(snapshotSize());
}

void ColumnSolver::bindPack() {
  SoilColumn& c = column;
  const int L = snowModel->layers;
  const int u = pack.top();
  c.bindSnow(*snowModel->type, L, u);
  for (int k = u; k <= L; ++k) {
    const int i = SoilColumn::snowIndex(k, L);
    c.d[i] = pack.thickness[k];
    c.theta0[i] = c.theta[i] = c.thetaMean[i] = pack.theta[k];
    // Only the liquid water of a layer flows; its ice stays where it lies.
    if (heatModel) {
      const double share = std::clamp(pack.liquidFraction[k], 0.0, 1.0);
      c.unfrozen[i] = share;
      c.liquid[i] = 1.0 - c.snowLiquidEffect * (1.0 - share);
    }
  }
  for (int i = 0; i > c.first; --i) c.z[i - 1] = c.z[i] + c.d[i];
  if (!heatModel) return;
  heat.bindSnow(*snowModel->type, L, u, c.d);
  for (int k = u; k <= L; ++k) heat.T[SoilColumn::snowIndex(k, L)] = pack.temperature[k];
}

void ColumnSolver::updatePack(double* thetaNow) {
  SoilColumn& c = column;
  const int L = snowModel->layers;
  for (int i = c.first + 1; i <= 0; ++i) {
    const int k = c.layerOf(i);
    pack.theta[k] = thetaNow[i];
    pack.thickness[k] = c.d[i];
    if (heatModel) {
      pack.liquidFraction[k] = heat.unfrozen[i];
      pack.temperature[k] = heat.T[i];
    }
  }
  const double released =
      updateSnowLayers(*snowModel->type, snowModel->constants, pack) + packRelease;
  packRelease = 0.0;
  // The pack's water is the solver's again from here on.
  for (int k = 1; k <= L; ++k)
    if (pack.inUse(k)) pack.previousTheta[k] = pack.theta[k];
  snowReleased += released;
  snowSurplus += releaseToSoil(released, thetaNow);
  bindPack();
}

// Melt water leaving the pack fills soil layers 1 and 2 up to saturation;
// what they cannot take runs off at the surface.
double ColumnSolver::releaseToSoil(double water, double* thetaNow) {
  SoilColumn& c = column;
  for (int k = 1; k <= std::min(2, c.layers) && water > 0.0; ++k) {
    const double room = std::max(0.0, (c.thetaSat[k] - thetaNow[k]) * c.d[k] * 1000.0);
    const double take = std::min(room, water);
    thetaNow[k] += take / (c.d[k] * 1000.0);
    packWater.released[k] += take;
    water -= take;
  }
  return water;
}

double ColumnSolver::snowSurfaceTemperature(const HeatForcing& given) {
  const SoilColumn& c = column;
  snowEnergyBalance = given.snowSurface.energyBalance;
  if (!snowModel || c.first == 0) return given.airTemperature * given.nFactor;
  // Without the snow model's energy balance the air stands over the pack,
  // but a snow surface does not warm above melting: the snow model melts
  // the pack by its own method.
  if (!given.snowSurface.known) return std::min(given.airTemperature * given.nFactor, 0.0);
  const int top = c.first + 1;
  double topT[2] = {heat.T[top], heat.T[top]};
  double ice[2] = {0.0, 0.0};
  double liquid[2] = {0.0, 0.0};
  double thickness = 0.0;
  for (int j = 0; j < 2 && top + j <= 0; ++j) {
    const int k = c.layerOf(top + j);
    topT[j] = heat.T[top + j];
    ice[j] = std::max(0.0, pack.ice[k]);
    liquid[j] = std::max(0.0, pack.liquid[k]);
    thickness += c.d[top + j];
  }
  const SnowTopTemperature t =
      snowTopTemperature(given.snowSurface, given.airTemperature, topT, ice, liquid, thickness,
                         heat.lambda[top], given.modelStepSeconds, *heatModel,
                         snowModel->constants.iceCapacity, snowModel->constants.waterCapacity);
  snowEnergyBalance = t.energyBalance;
  return t.temperature * t.nFactor;
}

namespace {

constexpr int snowProfiles = 4;
const char* const snowLabels[snowProfiles] = {"     swes ", "     swel ", "     thickSnow ",
                                              "     densSnow "};

} // namespace

std::size_t ColumnSolver::snowSnapshotSize() const {
  return snowModel ? static_cast<std::size_t>(snowProfiles * snowModel->layers) * 8 + 4 : 0;
}

void ColumnSolver::takeSnowSnapshot(SnapshotWriter& out) {
  const int L = snowModel->layers;
  const double* profiles[snowProfiles] = {pack.ice, pack.liquid, pack.thickness, pack.density};
  snowStart.resize(static_cast<std::size_t>(snowProfiles * L));
  for (int p = 0; p < snowProfiles; ++p)
    for (int k = 1; k <= L; ++k) {
      snowStart[static_cast<std::size_t>(p * L + k - 1)] = profiles[p][k];
      out.real(profiles[p][k]);
    }
  out.integer(pack.top());
}

bool ColumnSolver::writeSnowText(std::FILE* file) const {
  const int L = snowModel->layers;
  const double* profiles[snowProfiles] = {pack.ice, pack.liquid, pack.thickness, pack.density};
  bool written = true;
  for (int p = 0; p < snowProfiles && written; ++p) {
    written = std::fputs(snowLabels[p], file) >= 0;
    for (int k = 1; k <= L && written; ++k)
      written = std::fprintf(file, "%g\t", profiles[p][k]) > 0;
    written = written && std::fprintf(file, "\ndump.%s", snowLabels[p]) > 0;
    for (int k = 1; k <= L && written; ++k)
      written = std::fprintf(file, "%g\t", snowStart[static_cast<std::size_t>(p * L + k - 1)]) > 0;
    written = written && std::fputs("\n", file) >= 0;
  }
  return written;
}
