#pragma once

#include <string>
#include <vector>

#include "tests/soil/heat_fixture.h"

// The file names of the snow stacks and of the top index grid, in the
// order of their lines in "[LayeredSnowModel]".
inline const char* const snowFiles[] = {"swes",     "swel",   "tsnow",     "thetasnow", "hhydsnow",
                                        "hgeosnow", "qusnow", "thicksnow", "denssnow",  "upper"};

// A snow type of equal layers of `thickness` m at a nominal density of
// 100 kg/m^3 that holds little water and conducts heat poorly.
inline std::string snowType(int code, int layers, double thickness = 0.05) {
  return std::to_string(code) +
         " snow {method = MultipleHorizons; layers = " + std::to_string(layers) + ";" +
         perLayer(layers, "thickness", thickness) + perLayer(layers, "ksat", 1e-4) +
         perLayer(layers, "theta_sat", 0.9) + perLayer(layers, "theta_res", 0.02) +
         perLayer(layers, "alpha", 5.0) + perLayer(layers, "Par_n", 2.0) +
         perLayer(layers, "DensityDry", 100.0) + perLayer(layers, "HeatCapacityDry", 0.0) +
         perLayer(layers, "DryThermalConduct", 0.1) + "}\n";
}

// "[LayeredSnowModel]" with fresh snow 2 K below the air, ice that keeps
// snow water from flowing, and its outputs in the directory; then the snow
// types.
inline std::string snowSections(const std::string& directory,
                                const std::vector<std::string>& types) {
  std::string text = "[LayeredSnowModel]\n1  switch\n0  method\n400  max density\n500  max "
                     "density\n-2  offset\n0  drainage density\n0.1  holding capacity\n1  "
                     "effectiveness\n1  effectiveness soil\n";
  for (const char* f : snowFiles) text += directory + "/" + f + ".stk  name\n0  writecode\n";
  text += "[LayeredSnowProperties]\n" + std::to_string(types.size()) + "  snow types\n";
  for (const std::string& t : types) text += t;
  return text;
}
