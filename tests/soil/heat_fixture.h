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

// The thermal keys of a mineral soil.
inline std::string thermalKeys(int layers) {
  return perLayer(layers, "HeatCapacityDry", 800.0) + perLayer(layers, "DensityDry", 1500.0) +
         perLayer(layers, "DryThermalConduct", 2.5);
}

// A soil with thermal keys, given its freezing curves and the cached powers
// of its conductivity.
inline soil_class withFreezingCurves(soil_class soil) {
  for (int l = 1; l <= soil.getLayerCount(); ++l)
    soil.buildFreezingCurveTables(clausiusClapeyron, l);
  soil.cacheConductivityPowers(0.57);
  return soil;
}

// A soil of equal layers with the thermal keys of a mineral soil.
inline soil_class thermalSoil(const VanGenuchten& p, int layers, double thickness) {
  return withFreezingCurves(soilOf(p, layers, thickness, thermalKeys(layers)));
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

// The implicit heat step with water flow, in steps of one minute to an hour.
inline HeatModelSettings heatWithWaterFlow() {
  HeatModelSettings s = heatSettings(12);
  s.shortestStep = 60.0;
  s.longestStep = 3600.0;
  return s;
}

// Gives the river cell of the column tests a mineral soil's thermal keys
// and the heat model, the column at `temperature` throughout; `heat` holds
// the air temperature of its sub-steps over ground at 2 degrees C.
inline void addHeatModel(RiverColumnRig& cell, const HeatModelSettings& settings, HeatForcing& heat,
                         double temperature) {
  ColumnRig& rig = cell.rig;
  rig.soil = withFreezingCurves(riverCellSoil(thermalKeys(rig.layers)));
  rig.solver.setHeatModel(&settings);
  rig.bind();
  rig.solver.heat.bind(rig.soil, rig.layers, rig.solver.column.d);
  for (int k = 0; k <= rig.layers; ++k) rig.solver.heat.T[k] = temperature;
  heat.airTemperature = heat.boundary.source = temperature;
  heat.boundary.lower = 2.0;
  cell.forcing.heat = &heat;
}
