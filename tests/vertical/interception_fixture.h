#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/vertical/two_by_two_model.h"
#include "vertical/interzeptionsmodellklasse.h"

// The module with its temperature history in view.
class TestInterception : public interzeptionsmodellklasse {
public:
  using interzeptionsmodellklasse::interzeptionsmodellklasse;
  using interzeptionsmodellklasse::temperatureHistory;
};

// "[interception_model]" of a method: statistics of every step, 0.2 mm
// per unit of leaf area, the canopy snow model above a leaf area of 0.5
// and any roughness, the leaf area unscaled.
inline std::string interceptionSection(int method, int minutes = 60,
                                       const std::string& statistics = "1001") {
  std::string text = "[interception_model]\n1\n" + std::to_string(minutes) + "\n" +
                     std::to_string(method) + "  method\n";
  auto triple = [&](const std::string& name) {
    text += name + ".asc\n0\n" + name + ".stat " + statistics + "\n";
  };
  for (const char* name : {"tf", "ei", "si"}) triple(name);
  text += "0.2  thickness\n0  readgrid\n";
  if (method > 20) {
    for (const char* name :
         {"sct", "scrh", "scrad", "scwind", "load", "age", "alb", "subl", "unload", "liquid"})
      triple(name);
    text += "0.5\n0\n1\n";
  }
  if (method > 30)
    for (const char* name : {"ceb", "cebt", "cebold", "cebdummy"}) triple(name);
  return text;
}

// A 2 x 2 grid on one process, cell (1, 1) outside the zone grid, every
// layer with land use 1, LAI 2, coverage 0.5 and roughness 1 m; no demand,
// no water; -10 degrees C, saturated calm air, no radiation or cloud, no
// snow on the ground; one zone.
struct Interception : TwoByTwoModel {
  Interception(const std::string& name, const std::string& section, int layers = 1)
      : TwoByTwoModel(name, section), landuseTable(2) {
    s.context.landuseLayerCount = layers;
    s.context.landuseTable = &landuseTable;
    addOneZone(500.0);
    const std::pair<const char*, double> canopy[] = {{"landuse", 1.0},
                                                     {"leaf_area_index", 2.0},
                                                     {"vegetation_coverage_degree", 0.5},
                                                     {"RoughnessLength", 1.0},
                                                     {"SurfaceCanopyResistance", 100.0},
                                                     {"SurfaceIntercepResistance", 50.0}};
    for (int k = 1; k <= layers; ++k)
      for (const auto& [grid, value] : canopy) add(grid + std::to_string(k), value);
    for (int k = 0; k <= layers; ++k)
      for (const char* grid :
           {"pot_transpiration", "potential_InterceptionEvap", "real_transpiration"})
        add(grid + std::to_string(k), 0.0);
    const std::pair<const char*, double> weather[] = {{"precipitation", 0.0},
                                                      {"temperature", -10.0},
                                                      {"AspectCorrectedGlobalRadiation", 0.0},
                                                      {"wind_speed", 0.0},
                                                      {"air_humidity", 1.0},
                                                      {"cloudiness", 0.0},
                                                      {"albedo", 0.8},
                                                      {"snow_storage_total", 0.0},
                                                      {"surftemp", 270.0}};
    for (const auto& [grid, value] : weather) add(grid, value);
  }

  // The value in cell (2, 2).
  double& at(const std::string& name) const { return grid(name)[2][2]; }
  void build() {
    module = constructSubmodel<TestInterception>(code, s.context);
    ASSERT_EQ(code, 0) << s.log.console.str();
  }
  void step(long hour, long minute = 0) { module->computeInterception(minute, hour, 1, 2, 2021); }

  std::vector<landuse_class> landuseTable;
  int code = -1;
  std::unique_ptr<TestInterception> module;
};
