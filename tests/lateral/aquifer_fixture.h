#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/soil_class.h"
#include "lateral/gwflowclass.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"
#include "tests/vertical/example_catchment.h"

// The module with its grids and settings in view.
class TestGroundwater : public gwflowclass {
public:
  using gwflowclass::deltaT;
  using gwflowclass::gwflowclass;
  using gwflowclass::layers;
};

// The lines of "[groundwater_flow]"; one layer line block per layer.
struct AquiferSection {
  int flow = 1, minutes = 60, method = 1, readGrid = 0, layers = 1;
  long maxiter = 200;
  double maxerror = 1e-9, alpha = 1.0, sor = 1.0;
  std::string control = "0 0", controlFile = "cp.txt";
  std::string pondLine; // empty: no flag line
  std::string headFile = "heads_%d.asc";
  std::string after;       // further sections
  std::string replacement; // the whole text instead, when given

  std::string text() const {
    if (!replacement.empty()) return replacement;
    auto n = [](double v) {
      char s[40];
      std::snprintf(s, sizeof s, "%.17g", v);
      return std::string(s);
    };
    std::string s = "[groundwater_flow]\n" + std::to_string(flow) + " flow control parameter\n" +
                    std::to_string(minutes) + " time interval\n" + std::to_string(method) +
                    " method\n" + std::to_string(maxiter) + " maxiter\n" + n(maxerror) +
                    " maxerror\n" + n(alpha) + " alpha\n" + n(sor) + " sor\n" +
                    std::to_string(readGrid) + " read\n" + std::to_string(layers) + " layers\n" +
                    control + " control point\n" + controlFile + " file\n";
    if (!pondLine.empty()) s += pondLine + "\n";
    for (int k = 1; k <= layers; ++k) {
      char head[200];
      std::snprintf(head, sizeof head, headFile.c_str(), k);
      const std::string d = std::to_string(k);
      s += std::string(head) + "\n0\nflowx_" + d + ".asc\n0\nflowy_" + d + ".asc\n0\nbal_" + d +
           ".asc\n0\n";
    }
    return s + after;
  }
};

// Owners of an nrows x ncols block whose cells `inside` admits, in row
// order in `parts` runs of equal length.
inline OwnerMap blockOwners(long nrows, long ncols, int parts,
                            const std::function<bool(long, long)>& inside = nullptr) {
  std::vector<std::pair<long, long>> cells;
  for (long r = 1; r <= nrows; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (!inside || inside(r, c)) cells.push_back({r, c});
  OwnerMap map(static_cast<size_t>(nrows), std::string(static_cast<size_t>(ncols), '.'));
  for (size_t k = 0; k < cells.size(); ++k)
    map[static_cast<size_t>(cells[k].first - 1)][static_cast<size_t>(cells[k].second - 1)] =
        static_cast<char>('0' + k * static_cast<size_t>(parts) / cells.size());
  return map;
}

// A block of aquifer on this process's share: elevation 50 m, a soil of
// 2 m, the unsaturated zone's water table 1 m below the surface, and per
// layer 10 m thick with K = 1e-4 m/s, S = 0.1, no boundaries and no
// leakage unless a test sets other values before build().
struct AquiferModel {
  using CellValue = std::function<double(long, long)>;

  AquiferModel(const std::string& name, const OwnerMap& map, const AquiferSection& s,
               double cellSize = 100.0)
      : section(s), strips(name, map), registry(strips), dir(makeTestDirectory(name + "_run")) {
    soil.resize(2);
    parseSoilEntry(soil[1], nullptr,
                   "method = MultipleHorizons; layers = 2; thickness = 1.5 0.5; ksat = 1e-5 "
                   "1e-5; theta_sat = 0.4 0.4; theta_res = 0.05 0.05; alpha = 1 1; Par_n = 1.5 "
                   "1.5;}",
                   "MultipleHorizons");
    set("[zone_grid]", 1.0);
    registry.add("MPIRegions", strips.regions);
    registry.add("MPIHelper", strips.helper);
    for (const char* g : {"[elevation_model]", "groundwater_recharge", "groundwater_distance",
                          "soil_types", "baseflow"})
      set(g, 0.0);
    set("[elevation_model]", 50.0);
    set("groundwater_distance", -1.0);
    set("soil_types", 1.0);
    for (int k = 1; k <= s.layers; ++k) {
      const std::string d = std::to_string(k);
      set("aquifer_thickness_" + d, 10.0);
      set("gw_k_x_" + d, 1e-4);
      set("gw_k_y_" + d, 1e-4);
      set("gw_storage_coeff_" + d, 0.1);
      set("gw_boundary_fix_h_" + d, nodata);
      set("gw_boundary_fix_q_" + d, nodata);
      if (k < s.layers) set("gw_kolmation_" + d, 0.0);
    }
    shareStrips(context, strips);
    context.controlFileName = dir + "/run.ctl";
    context.registry = registry.entries.data();
    context.header.cellsize = cellSize;
    context.outputDirectory = dir + "/";
    context.startDate = ModelDate{0, 0, 1, 3, 2021};
    context.endDate = ModelDate{0, 0, 1, 4, 2021};
    context.outputInterval = 1;
    context.soilTable = &soil;
  }

  // Sets an input grid (registering it on first use): f on the cells of the
  // block, nodata outside.
  Grid set(const std::string& name, const CellValue& f) {
    Grid& g = inputs[name];
    if (!g) g = registry.add(name, strips.grid(nodata));
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c) g[r][c] = strips.owner[r][c] >= 0 ? f(r, c) : nodata;
    return g;
  }
  Grid set(const std::string& name, double value) {
    return set(name, [value](long, long) { return value; });
  }

  // Builds the module; code holds its failure.
  void build() {
    writeFile(context.controlFileName, section.text());
    module = constructSubmodel<TestGroundwater>(code, context);
    if (module) module->setSubsteps(1);
  }
  void step(int count = 1, long hour = 1) {
    for (int i = 0; i < count; ++i) {
      module->setStepDate(0, hour, 2, 3, 2021);
      module->solveGroundwater();
    }
  }
  // A registry grid by name (the first entry of the name).
  Grid grid(const std::string& name) const {
    for (const GridRegistryEntry& e : registry.entries)
      if (e.hasName && e.name == name) return e.grid;
    return nullptr;
  }
  std::string log() const { return strips.m.console() + strips.m.errors(); }

  AquiferSection section;
  StripModule strips;
  ExampleRegistry registry;
  std::string dir;
  std::vector<soil_class> soil;
  std::map<std::string, Grid> inputs;
  ModelContext context;
  int code = -1;
  std::unique_ptr<TestGroundwater> module;
};
