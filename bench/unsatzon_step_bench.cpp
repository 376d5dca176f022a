// Whole steps of the unsaturated zone (start of the step, the sub-step with
// the column solver and the serial statistics loop, runoff concentration) on
// 1000 x 1000 cells of 10 layers in 20 subbasins and four flow-time classes,
// a silt loam and a loamy sand in alternate rows, rain pulses and dry
// spells, one process with the number of OpenMP threads given as the
// argument: cell-steps per second and the share of the statistics loop.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr long gridSize = 1000;
constexpr int soilLayers = 10;
constexpr int subbasins = 20;
// Sub-steps of one benchmark iteration: a rain pulse, then a dry spell.
constexpr int pulseSteps = 2;
constexpr int spellSteps = 2;

std::string controlText(int method) {
  std::ostringstream t;
  t << "[unsatzon_model]\n1\n60\n" << method << "\n0\n0\n0\n0\n1e-8\n1\n";
  for (int k = 0; k < 16; ++k) t << "stat" << k << ".txt 2001\n";
  for (int k = 0; k < 24; ++k) t << "grid" << k << ".asc\n0\n";
  t << "0 0\n";
  for (int k = 0; k < 6; ++k) t << "point" << k << ".txt\n";
  t << "1 " << subbasins << "\n1 1\n1 1\n0.01 0.01\n1 1\n0.2 0.2\n1 1\n0\nstate\n";
  if (method == 3) t << "60\nsubsteps.txt 0\nsubsteps.asc\n0\n";
  return t.str();
}

// A soil of 10 layers of 0.1 m whose conductivity halves every 5 layers.
std::string soilBlock(const char* retention, double ksat) {
  std::ostringstream block;
  block << "method = MultipleHorizons; layers = " << soilLayers << "; " << retention
        << " thickness =";
  for (int k = 0; k < soilLayers; ++k) block << " 0.1";
  block << "; ksat =";
  for (int k = 0; k < soilLayers; ++k) block << " " << ksat / (1 << (k / 5));
  return block.str() + ";}";
}

// Per-layer keys for the retention of both soils, repeated per layer.
std::string repeated(const char* key, double value) {
  std::ostringstream line;
  line << key << " =";
  for (int k = 0; k < soilLayers; ++k) line << " " << value;
  return line.str() + ";";
}

struct Catchment {
  Catchment() : registry(gridRegistrySize), soils(3), uses(2) {
    const std::string siltLoam = repeated("theta_sat", 0.45) + repeated("theta_res", 0.067) +
                                 repeated("alpha", 2.0) + repeated("Par_n", 1.41);
    const std::string loamySand = repeated("theta_sat", 0.41) + repeated("theta_res", 0.057) +
                                  repeated("alpha", 12.4) + repeated("Par_n", 2.28);
    parseSoilEntry(soils[1], nullptr, soilBlock(siltLoam.c_str(), 1.25e-6), "MultipleHorizons");
    parseSoilEntry(soils[2], nullptr, soilBlock(loamySand.c_str(), 4.05e-5), "MultipleHorizons");
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
    add("[zone_grid]", [](long r, long) { return double(1 + (r - 1) * subbasins / gridSize); });
    // Classes 1 to 4 in stripes of columns.
    add("flow_times", [](long, long c) { return double((c - 1) % 4) * 3600.0; });
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
  DiagStream diag{"unsatzon_solver_bench.xml", 0, &console, &console};
  memory_handling memory;
  std::vector<GridRegistryEntry> registry;
  std::vector<soil_class> soils;
  std::vector<landuse_class> uses;
  std::vector<Grid> grids;
  Grid rain = nullptr;
  ModelContext context;
};

// The module with its serial statistics loop at hand.
class TimedUnsatzon : public unsatzonmodellklasse {
public:
  using unsatzonmodellklasse::addStepStatistics;
  using unsatzonmodellklasse::unsatzonmodellklasse;
};

void wholeSteps(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  omp_set_num_threads(threads);
  const std::filesystem::path home = std::filesystem::current_path();
  enterBenchWorkFolder("unsatzon_step_bench", controlText(2));
  Catchment catchment;
  int code = 0;
  auto module = constructSubmodel<TimedUnsatzon>(code, catchment.context, &catchment.soils);
  if (code == 0) {
    std::vector<TracerRecord> none(1);
    module->initTracers(code, 0, none, nullptr, 0);
  }
  if (code != 0) {
    state.SkipWithError("construction failed");
    std::filesystem::current_path(home);
    return;
  }
  long hour = 0;
  double stepSeconds = 0.0;
  for (auto _ : state) {
    for (int step = 0; step < pulseSteps + spellSteps; ++step) {
      state.PauseTiming();
      catchment.setRain(step < pulseSteps ? 4.0 : 0.0);
      state.ResumeTiming();
      const long h = hour % 24, day = 1 + hour / 24;
      const auto begin = std::chrono::steady_clock::now();
      module->readGroundwaterHeads(2020, 6, day, h, 0);
      module->computeTimeStep(0, h, day, 6, 2020);
      module->concentrateRunoff(0, h, day, 6, 2020);
      stepSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      ++hour;
    }
  }
  // The statistics loop alone, as many times as whole steps were made.
  const auto start = std::chrono::steady_clock::now();
  for (long k = 0; k < hour; ++k) module->addStepStatistics();
  const double statistics = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cellSteps = static_cast<double>(gridSize * gridSize) * static_cast<double>(hour);
  state.counters["cell-steps/s"] = benchmark::Counter(cellSteps, benchmark::Counter::kIsRate);
  state.counters["statistics s/step"] = statistics / static_cast<double>(hour);
  state.counters["statistics share"] = statistics / stepSeconds;
  module.reset();
  std::filesystem::current_path(home);
}

} // namespace

BENCHMARK(wholeSteps)
    ->Arg(1)
    ->Arg(8)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
