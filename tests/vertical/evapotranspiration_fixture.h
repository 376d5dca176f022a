#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/vertical/two_by_two_model.h"
#include "vertical/verdunstungsmodellklasse.h"

// The module with the sunshine threshold it derived in view.
class TestEvapotranspiration : public verdunstungsmodellklasse {
public:
  using verdunstungsmodellklasse::daylightPeriod;
  using verdunstungsmodellklasse::daylightSteps;
  using verdunstungsmodellklasse::sunshineThreshold;
  using verdunstungsmodellklasse::verdunstungsmodellklasse;
};

// The 31 entries of "[evapotranspiration]" behind its switch and step:
// Penman-Monteith, PEC 1 and fh 0.3 in every month, statistics of every
// step (the total of the zones), CR = (0.25, 0.75, 0, 0).
inline std::vector<std::string> evapotranspirationEntries(int method = 1) {
  std::vector<std::string> e = {std::to_string(method) + "  method", "1 1 1 1 1 1 1 1 1 1 1 1  PEC",
                                "0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3  fh", "1.0  fk"};
  for (const std::string output : {"etp", "etr", "evap", "evar", "evrs", "eip"})
    e.insert(e.end(), {output + ".asc", "0", output + ".stat 1001"});
  e.insert(e.end(), {"rgex.stat 1001", "0.25 0.75 0 0  CR", "0.072 -0.808 1.749 -0.239  CS",
                     "0.7 0.05  tau", "1500  H", "6 6 6 6 6 6\n6 6 6 6 6 6  A", "0.6 0.2  fd Aa",
                     "cloud.stat 1001", "HamonCorrectionOpenWater = 1.2"});
  return e;
}

// A 2 x 2 grid on one process, cell (1, 1) outside the zone grid: a
// canopy of LAI 2, coverage 0.5, rsc 100, rsi 0, z0 0.1 m in every layer,
// rse 100, albedo 0.2, 10 degrees C, 10 hPa, wind 2 m/s, 0 m a.s.l., at
// 47.3 N on the meridian of its time zone; one zone.
struct Evapotranspiration : TwoByTwoModel {
  Evapotranspiration(const std::string& name, std::vector<std::string> entries, int minutes = 60,
                     int layers = 1, const std::string& more = "")
      : TwoByTwoModel(name, section(entries, minutes) + more), landuseTable(2), multilayerTable(2) {
    s.context.latitude = 47.3;
    s.context.longitude = s.context.referenceMeridian = 15.0;
    s.context.landuseLayerCount = layers;
    s.context.landuseTable = &landuseTable;
    s.context.multilayerTable = &multilayerTable;
    addOneZone(0.0);
    if (layers > 1) add("landuse", 1.0);
    const std::pair<const char*, double> canopy[] = {{"landuse", 1.0},
                                                     {"leaf_area_index", 2.0},
                                                     {"root_depth", 1.0},
                                                     {"vegetation_coverage_degree", 0.5},
                                                     {"SurfaceCanopyResistance", 100.0},
                                                     {"SurfaceIntercepResistance", 0.0},
                                                     {"RoughnessLength", 0.1}};
    for (int k = 1; k <= layers; ++k)
      for (const auto& [grid, value] : canopy) add(grid + std::to_string(k), value);
    for (const auto& [grid, value] :
         std::vector<std::pair<const char*, double>>{{"wind_speed", 2.0},
                                                     {"SurfaceEvaporationResistance", 100.0},
                                                     {"albedo", 0.2},
                                                     {"temperature", 10.0},
                                                     {"vapor_pressure", 10.0}})
      add(grid, value);
  }

  static std::string section(const std::vector<std::string>& entries, int minutes) {
    std::string text = "[evapotranspiration]\n1  flow\n" + std::to_string(minutes) + "  minutes\n";
    for (const std::string& e : entries) text += e + "\n";
    return text;
  }
  // The value in the three cells of the zone grid.
  void setCells(const std::string& name, double value) {
    Grid g = grid(name);
    g[1][2] = g[2][1] = g[2][2] = value;
  }
  void build() {
    module = constructSubmodel<TestEvapotranspiration>(code, s.context);
    ASSERT_EQ(code, 0) << s.log.console.str();
  }
  void potential(long hour, long day, long month) {
    module->computePotentialEvapotranspiration(0, hour, day, month, 2021);
  }
  // The total of the last line of a statistics file.
  double lastTotal(const std::string& file) const {
    const std::string text = readFile(s.log.directory + "/" + file);
    const size_t tab = text.find_last_of('\t');
    return tab == std::string::npos ? -1.0 : std::stod(text.substr(tab + 1));
  }

  std::vector<landuse_class> landuseTable;
  std::vector<multilayer_landuse_class> multilayerTable;
  int code = -1;
  std::unique_ptr<TestEvapotranspiration> module;
};
