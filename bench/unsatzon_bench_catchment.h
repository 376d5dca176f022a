#pragma once

// The catchment of the unsaturated zone's benchmarks: its control section,
// soils, land use and the grids the module takes from others.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

inline constexpr long gridSize = 1000;
// Sub-steps of one benchmark iteration: a rain pulse, then a dry spell.
inline constexpr int pulseSteps = 2;
inline constexpr int spellSteps = 2;

// The module's section for the time-step method; statistics with the code,
// the subbasins 1 .. subbasins with equal parameters.
inline std::string controlText(int method, int statisticCode, int subbasins) {
  std::ostringstream t;
  t << "[unsatzon_model]\n1\n60\n" << method << "\n0\n0\n0\n0\n1e-8\n1\n";
  for (int k = 0; k < 16; ++k) t << "stat" << k << ".txt " << statisticCode << "\n";
  for (int k = 0; k < 24; ++k) t << "grid" << k << ".asc\n0\n";
  t << "0 0\n";
  for (int k = 0; k < 6; ++k) t << "point" << k << ".txt\n";
  // One subbasin, or the first and the last code, whose values the others
  // between them take.
  const std::string codes = subbasins == 1 ? "1" : "1 " + std::to_string(subbasins);
  for (const char* v : {"", "1", "1", "0.01", "1", "0.2", "1"})
    t << (*v ? (subbasins == 1 ? std::string(v) : std::string(v) + " " + v) : codes) << "\n";
  t << "0\nstate\n";
  if (method == 3) t << "60\nsubsteps.txt 0\nsubsteps.asc\n0\n";
  return t.str();
}

// "[heat_transfer]" of a mineral soil, heat steps of 60 s to an hour.
inline std::string heatSection(int method) {
  std::ostringstream t;
  t << "[heat_transfer]\n1\n" << method << "\n0\n0\n";
  for (const char* value : {"10", "-0.0065", "800", "1500", "2.5", "1e-9", "0.57", "2.2", "4187",
                            "1950", "2100", "334000", "1000", "124.6", "0", "60", "3600", "1", "1"})
    t << value << "\n";
  t << "temper.txt\ntemper.stat 0\ntemper.stk\n0\nthaw.asc\n0\nse.stk\n0\n";
  return t.str();
}

// A soil of layers of 0.1 m whose conductivity halves every 5 layers, with
// further keys.
inline std::string soilBlock(int soilLayers, const std::string& retention, double ksat,
                             const std::string& keys = "") {
  std::ostringstream block;
  block << "method = MultipleHorizons; layers = " << soilLayers << "; " << retention
        << " thickness =";
  for (int k = 0; k < soilLayers; ++k) block << " 0.1";
  block << "; ksat =";
  for (int k = 0; k < soilLayers; ++k) block << " " << ksat / (1 << (k / 5));
  return block.str() + "; " + keys + "}";
}

// Per-layer keys for the retention of both soils, repeated per layer.
inline std::string repeated(int soilLayers, const char* key, double value) {
  std::ostringstream line;
  line << key << " =";
  for (int k = 0; k < soilLayers; ++k) line << " " << value;
  return line.str() + ";";
}

// 1000 x 1000 cells of soil columns, a silt loam and a loamy sand in
// alternate rows, the subbasins in bands of rows and, with flow times, the
// classes 1 to 4 in stripes of columns.
struct Catchment {
  Catchment(int soilLayers, int subbasins, bool flowTimes, const std::string& soilKeys = "")
      : registry(gridRegistrySize), soils(3), uses(2) {
    auto repeat = [&](const char* key, double value) { return repeated(soilLayers, key, value); };
    const std::string siltLoam = repeat("theta_sat", 0.45) + repeat("theta_res", 0.067) +
                                 repeat("alpha", 2.0) + repeat("Par_n", 1.41);
    const std::string loamySand = repeat("theta_sat", 0.41) + repeat("theta_res", 0.057) +
                                  repeat("alpha", 12.4) + repeat("Par_n", 2.28);
    parseSoilEntry(soils[1], nullptr, soilBlock(soilLayers, siltLoam, 1.25e-6, soilKeys),
                   "MultipleHorizons");
    parseSoilEntry(soils[2], nullptr, soilBlock(soilLayers, loamySand, 4.05e-5, soilKeys),
                   "MultipleHorizons");
    soils[0].setCode(2);
    soils[0].setLayerCount(soilLayers);
    parseLanduseEntry(uses[1], nullptr,
                      "FixDays = 100; LAI = 2; VCF = 0.8; RootDepth = 1; Albedo = 0.2; Z0 = 0.1; "
                      "RSC = 50; RSI = 50; RSE = 50; RootDist = 1;}",
                      "bench");
    context.diag = &diag;
    context.controlFileName = "bench.ctl";
    context.registry = registry.data();
    context.header.ncols = context.header.nrows = gridSize;
    context.header.cellsize = 100.0;
    context.header.firstRow = 1;
    context.header.lastRow = gridSize;
    context.soilTable = &soils;
    context.landuseTable = &uses;
    // The benches step from 1 March 2020 on.
    context.startDate = ModelDate{0, 0, 1, 3, 2020};
    add("[zone_grid]", [&](long r, long) { return double(1 + (r - 1) * subbasins / gridSize); });
    if (flowTimes) add("flow_times", [](long, long c) { return double((c - 1) % 4) * 3600.0; });
    add("[elevation_model]", [](long r, long c) { return 1000.0 + 0.01 * double(r + c); });
    add("soil_types", [](long r, long) { return double(r % 2 + 1); });
    add("slope_angle", [](long, long c) { return double(c % 20); });
    add("pot_transpiration1", [](long, long) { return 0.2; });
    add("potential_evaporation", [](long, long) { return 0.05; });
    add("vegetation_coverage_degree1", [](long, long) { return 0.8; });
    add("root_depth1", [](long, long) { return 0.8; });
    add("landuse1", [](long, long) { return 1.0; });
    for (const char* g :
         {"leaf_area_index1", "SurfaceCanopyResistance1", "SurfaceIntercepResistance1",
          "RoughnessLength1", "pot_transpiration0", "real_transpiration0", "real_transpiration1",
          "SurfaceEvaporationResistance", "albedo", "real_evaporation"})
      add(g, [](long, long) { return 0.0; });
    rain = add("precipitation", [](long, long) { return 0.0; });
  }
  ~Catchment() {
    for (Grid g : grids) memory.free_matrix(g, 1, gridSize, 1, gridSize);
  }
  template <typename F> Grid add(const std::string& name, F value) {
    Grid g = memory.matrix(1, gridSize, 1, gridSize, gridSize);
    for (long r = 1; r <= gridSize; ++r)
      for (long c = 1; c <= gridSize; ++c) g[r][c] = value(r, c);
    grids.push_back(g);
    registerBenchGrid(registry, name, g, gridSize);
    return g;
  }
  void setRain(double amount) {
    for (long r = 1; r <= gridSize; ++r)
      for (long c = 1; c <= gridSize; ++c) rain[r][c] = amount * (1.0 + 0.5 * ((r + c) % 3));
  }

  std::ostringstream console;
  DiagStream diag{"unsatzon_bench.xml", 0, &console, &console};
  memory_handling memory;
  std::vector<GridRegistryEntry> registry;
  std::vector<soil_class> soils;
  std::vector<landuse_class> uses;
  std::vector<Grid> grids;
  Grid rain = nullptr;
  ModelContext context;
};

// Every iteration runs the sub-steps of a rain pulse and a dry spell, only
// the module's sub-steps timed; the counters give the solver's node-steps
// (one layer advanced by one water step) per second and core, iterations
// per water step and water steps per cell and sub-step.
inline void runRainPulses(benchmark::State& state, Catchment& catchment,
                          unsatzonmodellklasse& module, int threads) {
  long hour = 0;
  for (auto _ : state) {
    for (int step = 0; step < pulseSteps + spellSteps; ++step) {
      state.PauseTiming();
      catchment.setRain(step < pulseSteps ? 4.0 : 0.0);
      state.ResumeTiming();
      module.computeTimeStep(0, hour % 24, 1 + hour / 24, 6, 2020);
      ++hour;
    }
  }
  const SolverTally tally = module.getSolverTally();
  state.counters["node-steps/s/core"] = benchmark::Counter(
      static_cast<double>(tally.nodeSteps) / threads, benchmark::Counter::kIsRate);
  state.counters["iterations/water step"] =
      static_cast<double>(tally.iterations) / static_cast<double>(tally.waterSteps);
  state.counters["water steps/cell/sub-step"] =
      static_cast<double>(tally.waterSteps) /
      (static_cast<double>(gridSize * gridSize) * static_cast<double>(hour));
}

// The solver's node-steps of water and of heat per second and core, and its
// heat steps per water step.
inline void countHeatSolverSteps(benchmark::State& state, const SolverTally& tally, int threads) {
  state.counters["node-steps/s/core"] = benchmark::Counter(
      static_cast<double>(tally.nodeSteps) / threads, benchmark::Counter::kIsRate);
  state.counters["heat node-steps/s/core"] = benchmark::Counter(
      static_cast<double>(tally.heatNodeSteps) / threads, benchmark::Counter::kIsRate);
  state.counters["heat steps/water step"] =
      static_cast<double>(tally.heatSteps) / static_cast<double>(tally.waterSteps);
}

// The module on the catchment with its flow-time distribution and the
// tracers of the table (entries 1 ..; none by default); after a failed
// construction null, the benchmark marked and the process back in the
// folder `home`.
template <typename Module = unsatzonmodellklasse>
std::unique_ptr<Module> buildBenchModule(benchmark::State& state, Catchment& catchment,
                                         const std::filesystem::path& home,
                                         std::vector<TracerRecord> tracers = {TracerRecord{}}) {
  int code = 0;
  auto module = constructSubmodel<Module>(code, catchment.context, &catchment.soils);
  if (code == 0)
    module->initTracers(code, static_cast<int>(tracers.size()) - 1, tracers, nullptr, 0);
  if (code == 0) return module;
  state.SkipWithError("construction failed");
  std::filesystem::current_path(home);
  return nullptr;
}
