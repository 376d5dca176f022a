#pragma once

#include <string>
#include <vector>

// Parameter tables whose codes are not 1..n, for the tests of the code
// checks: land uses 2, 1, 30 (codes 2 and 1 swap with their record indices),
// soils 10, 20 and the irrigation types 5, 2.
namespace code_check_tables {

inline std::string landuseEntry(int code, const std::string& name) {
  return std::to_string(code) + " " + name +
         " { FixDays = 1 200; LAI = 1 2; VCF = 0.1 0.2; RootDepth = 0.1 0.2; Albedo = 0.2 0.2; "
         "Z0 = 0.1 0.1; RSC = 1 1; RSI = 1 1; RSE = 1 1; }\n";
}

inline std::string landuseSection() {
  return "[landuse_table]\n3\n" + landuseEntry(2, "meadow") + landuseEntry(1, "forest") +
         landuseEntry(30, "field");
}

inline std::string soilEntry(int code, const std::string& name) {
  return std::to_string(code) + " " + name +
         " { layers = 1; thickness = 0.5; ksat = 1e-6; theta_sat = 0.5; theta_res = 0.1; "
         "alpha = 1; Par_n = 1.2; }\n";
}

inline std::string soilSection() {
  return "[soil_table]\n2\n" + soilEntry(10, "loam") + soilEntry(20, "sand");
}

// Types 2 and 1 swap as well; their layers name the land uses by code.
inline std::string multilayerSection(const std::string& firstLayers = "1 2",
                                     const std::string& secondLayers = "30 -9999") {
  return "[multilayer_landuse]\n2\n2 orchard { layers = " + firstLayers +
         "; }\n1 hedge { layers = " + secondLayers + "; }\n";
}

inline std::string irrigationSections() {
  return "[irrigation]\n1\n[irrigation_table]\n2\n5 drip 3 1 20 3\n2 sprinkler 4 2 0.6\n";
}

// The layer lists after the check, land-use record indices: orchard's 1 and
// 2 become 2 and 1, hedge's 30 becomes 3.
inline std::vector<std::vector<int>> replacedLayers() { return {{0, 2, 1}, {0, 3, -9999}}; }

} // namespace code_check_tables
