#pragma once

#include <string>
#include <vector>

#include "soil/soil_heat.h"
#include "tests/soil/column_fixture.h"

// Suction of the unfrozen water per K below 0 degrees C: L / (g T0).
constexpr double clausiusClapeyron = 334000.0 / (9.81 * 273.15);

inline std::string perLayer(int layers, const char* key, double value) {
  std::string line = std::string(" ") + key + " =";
  for (int k = 0; k < layers; ++k) line += " " + std::to_string(value);
  return line + ";";
}

// A soil of equal layers with the thermal keys of a mineral soil, its
// freezing curves and the cached powers of its conductivity.
inline soil_class thermalSoil(const VanGenuchten& p, int layers, double thickness) {
  soil_class soil =
      soilOf(p, layers, thickness,
             perLayer(layers, "HeatCapacityDry", 800.0) + perLayer(layers, "DensityDry", 1500.0) +
                 perLayer(layers, "DryThermalConduct", 2.5));
  for (int l = 1; l <= layers; ++l) soil.buildFreezingCurveTables(clausiusClapeyron, l);
  soil.cacheConductivityPowers(0.57);
  return soil;
}

inline HeatModelSettings heatSettings(int method, double latentHeat = 3.34e8) {
  HeatModelSettings s;
  s.method = method;
  s.lambdaWater = 0.57;
  s.lambdaIce = 2.2;
  s.latentHeat = latentHeat;
  s.capacities = SoilHeatConstants{4.187e6, 2.1e6};
  return s;
}
