#include "config/soil_class.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "config/parameter_table_entry.h"

namespace {

// Rows of a retention table: suction 0, then log-spaced from 1e-4 m to 1e5 m,
// close enough that interpolated values stay within 0.1 % of the closed form.
constexpr int tableRows = 500;
constexpr double firstSuction = 1.0e-4;
constexpr double lastSuction = 1.0e5;
// Bands of the theta index, a few rows each.
constexpr std::size_t bandCount = 1024;

const std::vector<double>& suctionAxis() {
  static const std::vector<double> axis = [] {
    std::vector<double> s(tableRows, 0.0);
    const double step = std::log10(lastSuction / firstSuction) / (tableRows - 2);
    for (int i = 1; i < tableRows; ++i)
      s[i] = firstSuction * std::pow(10.0, step * static_cast<double>(i - 1));
    return s;
  }();
  return axis;
}

// Index j >= 1 of the first entry at or below x in a strictly decreasing
// table whose first entry lies above x and whose last lies below it.
std::size_t bracketDescending(const std::vector<double>& values, double x) {
  return static_cast<std::size_t>(
      std::lower_bound(values.begin(), values.end(), x, std::greater<double>()) - values.begin());
}

double interpolate(double a, double b, double weight) { return a + weight * (b - a); }

} // namespace

soil_class::soil_class() { resizeLayers(0); }

soil_class::~soil_class() = default;

void soil_class::resizeLayers(int layers) {
  layerCount = layers;
  const std::size_t size = static_cast<std::size_t>(layers) + 1;
  for (std::vector<double>* v : {&thickness, &ksat, &thetaSat, &thetaRes, &thetaLow, &alpha, &parN,
                                 &parM, &solidConductivityPower, &waterConductivityPower})
    v->assign(size, 0.0);
  maxRatio.assign(size, std::numeric_limits<double>::infinity());
  for (std::vector<double>* v :
       {&heatCapacityDry, &densityDry, &dryThermalConduct, &minFrozenConduct})
    v->assign(size, -1.0);
  tables.assign(size, LayerTables{});
  conductivityPowersCached = false;
}

double soil_class::getTotalDepth() const {
  double depth = 0.0;
  for (int layer = 1; layer <= storedLayers(); ++layer) depth += thickness[layer];
  return depth * thicknessScaling;
}

void soil_class::buildRetentionTables() {
  const std::vector<double>& axis = suctionAxis();
  for (int layer = 1; layer <= storedLayers(); ++layer) {
    LayerTables& t = tables[layer];
    t = LayerTables{};
    const double n = parN[layer];
    const double m = parM[layer];
    for (double suction : axis) {
      // With x = (alpha psi)^n: Se = (1 + x)^-m and 1 - Se^(1/m) = x / (1 + x);
      // the Mualem term is formed without cancellation at the dry end.
      const double x = std::pow(alpha[layer] * suction, n);
      const double se = std::pow(1.0 + x, -m);
      const double theta = thetaRes[layer] + (thetaSat[layer] - thetaRes[layer]) * se;
      // Rows that no longer lower the water content (near saturation and
      // at the dry end) would make the inverse lookups ambiguous.
      if (!t.theta.empty() && !(theta < t.theta.back())) continue;
      const double open = -std::expm1(m * std::log1p(-1.0 / (1.0 + x)));
      t.suction.push_back(suction);
      t.theta.push_back(theta);
      t.krel.push_back(suction == 0.0 ? 1.0 : std::sqrt(se) * open * open);
    }
    for (std::size_t j = 0; j < t.theta.size(); ++j) {
      const double saturation = t.theta[j] - thetaRes[layer];
      t.logKrel.push_back(t.krel[j] > 0.0 ? std::log(t.krel[j]) : 0.0);
      t.logSaturation.push_back(saturation > 0.0 ? std::log(saturation) : 0.0);
    }
    const double span = t.theta.front() - t.theta.back();
    t.bandScale = span > 0.0 ? bandCount / span : 0.0;
    t.band.assign(bandCount + 1, t.theta.size() - 1);
    std::size_t j = 0;
    for (std::size_t b = 0; b <= bandCount; ++b) {
      const double top = t.theta.front() - static_cast<double>(b) / t.bandScale;
      while (j + 1 < t.theta.size() && t.theta[j] > top) ++j;
      t.band[b] = j;
    }
  }
}

std::size_t soil_class::bracket(const LayerTables& t, double theta) {
  const std::size_t last = t.band.size() - 1;
  const std::size_t b =
      std::min(static_cast<std::size_t>((t.theta.front() - theta) * t.bandScale), last);
  // Most bands hold a row or two; those near saturation, where the water
  // content hardly changes with suction, more.
  const auto begin = t.theta.begin() + static_cast<std::ptrdiff_t>(t.band[b]);
  const auto end = t.theta.begin() + static_cast<std::ptrdiff_t>(t.band[std::min(b + 1, last)]) + 1;
  std::size_t j = static_cast<std::size_t>(
      std::lower_bound(begin, end, theta, std::greater<double>()) - t.theta.begin());
  // Rounding may put theta into the neighbouring band.
  while (j > 1 && !(t.theta[j - 1] > theta)) --j;
  while (t.theta[j] > theta) ++j;
  return std::max<std::size_t>(j, 1);
}

double soil_class::thetaFromSuction(int layer, double suction) const {
  const LayerTables& t = tables[layer];
  if (suction <= 0.0) return t.theta.front();
  if (suction >= t.suction.back()) return t.theta.back();
  const std::size_t j = static_cast<std::size_t>(
      std::upper_bound(t.suction.begin(), t.suction.end(), suction) - t.suction.begin());
  const double weight = (suction - t.suction[j - 1]) / (t.suction[j] - t.suction[j - 1]);
  return interpolate(t.theta[j - 1], t.theta[j], weight);
}

double soil_class::suctionFromTheta(int layer, double theta) const {
  const LayerTables& t = tables[layer];
  if (theta >= t.theta.front()) return 0.0;
  if (theta <= t.theta.back()) return t.suction.back();
  const std::size_t j = bracket(t, theta);
  const double weight = (t.theta[j - 1] - theta) / (t.theta[j - 1] - t.theta[j]);
  return interpolate(t.suction[j - 1], t.suction[j], weight);
}

double soil_class::krelFromTheta(int layer, double thetaA, double thetaB) const {
  const LayerTables& t = tables[layer];
  const double theta = std::min(thetaA, thetaB);
  if (theta >= t.theta.front()) return 1.0;
  if (theta <= t.theta.back()) return t.krel.back();
  const std::size_t j = bracket(t, theta);
  const double weight = (t.theta[j - 1] - theta) / (t.theta[j - 1] - t.theta[j]);
  const double upper = t.krel[j - 1];
  const double lower = t.krel[j];
  // The conductivity falls by orders of magnitude along the table, close to
  // a power of the effective saturation: interpolated as such a power.
  const double seLower = t.theta[j] - thetaRes[layer];
  if (upper > 0.0 && lower > 0.0 && seLower > 0.0) {
    const double powerWeight = (std::log(theta - thetaRes[layer]) - t.logSaturation[j - 1]) /
                               (t.logSaturation[j] - t.logSaturation[j - 1]);
    return std::exp(interpolate(t.logKrel[j - 1], t.logKrel[j], powerWeight));
  }
  return interpolate(upper, lower, weight);
}

void soil_class::buildFreezingCurveTables(double factor, int layer) {
  LayerTables& t = tables[layer];
  t.freezingTemperature.clear();
  if (!(factor > 0.0)) return;
  t.freezingTemperature.reserve(t.suction.size());
  for (double suction : t.suction) t.freezingTemperature.push_back(-suction / factor);
}

void soil_class::getUnfrozenWater(int first, const double* temperature, const double* theta,
                                  double* unfrozen, double* slope) const {
  for (int layer = first; layer <= storedLayers(); ++layer) {
    unfrozen[layer] = 1.0;
    slope[layer] = 0.0;
    const LayerTables& t = tables[layer];
    const double T = temperature[layer];
    if (t.freezingTemperature.empty() || !(T < 0.0) || !(theta[layer] > 0.0)) continue;
    double liquid = t.theta.back();
    double dLiquid = 0.0;
    if (T > t.freezingTemperature.back()) {
      const std::size_t j = bracketDescending(t.freezingTemperature, T);
      const double span = t.freezingTemperature[j - 1] - t.freezingTemperature[j];
      const double weight = (t.freezingTemperature[j - 1] - T) / span;
      liquid = interpolate(t.theta[j - 1], t.theta[j], weight);
      dLiquid = (t.theta[j - 1] - t.theta[j]) / span;
    }
    if (liquid >= theta[layer]) continue;
    unfrozen[layer] = liquid / theta[layer];
    slope[layer] = dLiquid / theta[layer];
  }
}

void soil_class::getHeatCapacity(const SoilHeatConstants& constants, int first,
                                 double* heatCapacity, const double* theta,
                                 const double* unfrozen) const {
  for (int layer = first; layer <= storedLayers(); ++layer) {
    const double liquid = theta[layer] * unfrozen[layer];
    const double ice = theta[layer] - liquid;
    heatCapacity[layer] = heatCapacityDry[layer] * densityDry[layer] +
                          liquid * constants.waterHeatCapacity + ice * constants.iceHeatCapacity;
  }
}

void soil_class::cacheConductivityPowers(double lambdaWater) {
  for (int layer = 1; layer <= storedLayers(); ++layer) {
    solidConductivityPower[layer] = std::pow(dryThermalConduct[layer], 1.0 - thetaSat[layer]);
    waterConductivityPower[layer] = std::pow(lambdaWater, thetaSat[layer]);
  }
  conductivityPowersCached = true;
}

void parseSoilEntry(soil_class& r, DiagStream* diag, const std::string& block,
                    const std::string& syntax, const std::string& where) {
  using Entry = ParameterTableEntry;
  constexpr double unbounded = std::numeric_limits<double>::max();
  const char* const oldStyle = "very-old-style soil table entries are not supported";
  try {
    if (syntax != "MultipleHorizons") throw Entry::Fault{oldStyle};
    const Entry e(block);
    if (e.has("method") && e.word("method") != syntax) throw Entry::Fault{oldStyle};
    const std::vector<double> layers = e.numbers("layers", 1);
    Entry::requireIntegers("layers", layers);
    Entry::requireRange("layers", layers, 1.0, 1000.0);
    const int n = static_cast<int>(layers[0]);
    r.resizeLayers(n);
    const std::size_t count = static_cast<std::size_t>(n);

    // Per-layer values, stored from index 1.
    auto perLayer = [&](const char* key, std::vector<double>& target, bool required,
                        double fallback) {
      const std::vector<double> values =
          required ? e.numbers(key, count)
                   : e.numbers(key, count, std::vector<double>(count, fallback));
      std::copy(values.begin(), values.end(), target.begin() + 1);
      return values;
    };
    // Upper bounds beyond every soil: no horizon is thicker than 100 m, no
    // material conducts more than 1 m/s (open gravel), and a van Genuchten
    // alpha above 100 1/m or an n above 10 drains a layer within a cell's
    // width of suction (the retention tables then need endless iterations).
    const std::vector<double> thickness = perLayer("thickness", r.thickness, true, 0.0);
    Entry::requireAbove("thickness", thickness, 0.0);
    Entry::requireRange("thickness", thickness, 0.0, 100.0);
    Entry::requireRange("ksat", perLayer("ksat", r.ksat, true, 0.0), 0.0, 1.0);
    const std::vector<double> thetaSat = perLayer("theta_sat", r.thetaSat, true, 0.0);
    Entry::requireAbove("theta_sat", thetaSat, 0.0);
    Entry::requireRange("theta_sat", thetaSat, 0.0, 1.0);
    const std::vector<double> thetaRes = perLayer("theta_res", r.thetaRes, true, 0.0);
    Entry::requireRange("theta_res", thetaRes, 0.0, 1.0);
    for (std::size_t i = 0; i < count; ++i)
      if (!(thetaRes[i] < thetaSat[i]))
        throw Entry::Fault{"value out of range for \"theta_res\": " + std::to_string(thetaRes[i]) +
                           " is not below \"theta_sat\" " + std::to_string(thetaSat[i]) +
                           " in layer " + std::to_string(i + 1)};
    const std::vector<double> thetaLow = perLayer("theta_low", r.thetaLow, false, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
      if (!e.has("theta_low")) r.thetaLow[i + 1] = thetaRes[i];
      if (r.thetaLow[i + 1] < 0.0 || !(r.thetaLow[i + 1] < thetaSat[i]))
        throw Entry::Fault{"value out of range for \"theta_low\": " + std::to_string(thetaLow[i]) +
                           " is not within 0 and \"theta_sat\" " + std::to_string(thetaSat[i]) +
                           " in layer " + std::to_string(i + 1)};
    }
    const std::vector<double> alpha = perLayer("alpha", r.alpha, true, 0.0);
    Entry::requireAbove("alpha", alpha, 0.0);
    Entry::requireRange("alpha", alpha, 0.0, 100.0);
    const std::vector<double> parN = perLayer("Par_n", r.parN, true, 0.0);
    Entry::requireAbove("Par_n", parN, 1.0);
    Entry::requireRange("Par_n", parN, 1.0, 10.0);
    for (int layer = 1; layer <= n; ++layer) r.parM[layer] = 1.0 - 1.0 / r.parN[layer];
    Entry::requireRange(
        "maxratio",
        perLayer("maxratio", r.maxRatio, false, std::numeric_limits<double>::infinity()), 1.0,
        std::numeric_limits<double>::infinity());
    // Without the key a layer takes the value of [heat_transfer] (-1 marks
    // it); a value given must be one. The nominal density of a snow layer
    // divides its water; a solid may hold and conduct no heat (snow). No
    // soil or snow comes near the upper bounds (J/(kg K), W/(m K), m/s,
    // kg/m3).
    const struct {
      const char* key;
      std::vector<double>* target;
      double highest;
    } thermal[] = {{"HeatCapacityDry", &r.heatCapacityDry, 10000.0},
                   {"DryThermalConduct", &r.dryThermalConduct, 10.0},
                   {"MinFrozenConduct", &r.minFrozenConduct, 1.0}};
    for (const auto& t : thermal) {
      const std::vector<double> given = perLayer(t.key, *t.target, false, -1.0);
      if (e.has(t.key)) Entry::requireRange(t.key, given, 0.0, t.highest);
    }
    const std::vector<double> density = perLayer("DensityDry", r.densityDry, false, -1.0);
    if (e.has("DensityDry")) {
      Entry::requireAbove("DensityDry", density, 0.0);
      Entry::requireRange("DensityDry", density, 0.0, 5000.0);
    }

    const double scaling = e.number("ThicknessScaling", 1.0);
    Entry::requireAbove("ThicknessScaling", {scaling}, 0.0);
    Entry::requireRange("ThicknessScaling", {scaling}, 0.0, 100.0);
    for (int layer = 1; layer <= n; ++layer) r.thickness[layer] *= scaling;
    r.thicknessScaling = 1.0;
    r.evapDepth = e.number("EvapDepth", 0.1);
    Entry::requireRange("EvapDepth", {r.evapDepth}, 0.0, unbounded);
    r.pMacroThresh = e.number("PMacroThresh", 0.0);
    r.macroCapacity = e.number("MacroCapacity", 0.0);
    r.macroDepth = e.number("MacroDepth", 0.0);
    r.capacityRedu = e.number("CapacityRedu", 0.0);
    for (const char* key : {"PMacroThresh", "MacroCapacity", "MacroDepth", "CapacityRedu"})
      if (e.has(key)) Entry::requireRange(key, {e.number(key)}, 0.0, unbounded);
    const std::vector<double> grains = e.numbers("GrainSizeDist", 7, std::vector<double>(7, 0.0));
    Entry::requireRange("GrainSizeDist", grains, 0.0, 1.0);
    // Fractions of one soil's mass: together at most the whole of it.
    Entry::requireSumAtMost("GrainSizeDist", grains, 1.0);
    std::copy(grains.begin(), grains.end(), r.grainSizeDist.begin());
    for (int i = 0; i <= 10; ++i) {
      const std::string key = (i < 10 ? "SU_PAR0" : "SU_PAR") + std::to_string(i);
      r.suPar[static_cast<std::size_t>(i)] = e.number(key, 0.0);
    }
    e.requireAllKeysKnown();
  } catch (const Entry::Fault& fault) {
    reportTableEntryFault(diag, where, r.name, fault.reason, 52);
  }
  r.buildRetentionTables();
}
