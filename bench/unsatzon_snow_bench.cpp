// The soil-column solver with heat transfer and five snow layers holding
// snow on every one of 1000 x 1000 columns of 20 soil layers: a pack of
// 60 mm at -2 degrees C put back before every sub-step, the air at +1, so
// that the top of the pack melts and its water reaches the soil. One
// process, the number of OpenMP threads as the argument: node-steps per
// second per core (one snow or soil layer advanced by one water step) and
// heat node-steps per second per core.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/unsatzon_bench_catchment.h"

namespace {

constexpr int soilLayers = 20;
constexpr int snowLayers = 5;

// Layers of 0.05 m at a nominal 100 kg/m^3 whose ice keeps snow water
// from flowing.
std::string snowSections() {
  std::ostringstream t;
  t << "[LayeredSnowModel]\n1\n0\n400\n500\n-2\n0\n0.1\n1\n1\n";
  for (int k = 0; k < 10; ++k) t << "snow" << k << ".stk\n0\n";
  t << "[LayeredSnowProperties]\n1\n1 snow {method = MultipleHorizons; layers = " << snowLayers
    << "; ";
  const std::pair<const char*, double> keys[] = {
      {"thickness", 0.05},   {"ksat", 1e-4},           {"theta_sat", 0.9},
      {"theta_res", 0.02},   {"alpha", 5.0},           {"Par_n", 2.0},
      {"DensityDry", 100.0}, {"HeatCapacityDry", 0.0}, {"DryThermalConduct", 0.1}};
  for (const auto& [key, value] : keys) t << repeated(snowLayers, key, value) << " ";
  t << "}\n";
  return t.str();
}

void solveColumnsUnderSnow(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  omp_set_num_threads(threads);
  const std::filesystem::path home = std::filesystem::current_path();
  enterBenchWorkFolder("unsatzon_snow_bench",
                       controlText(2, 0, 1) + heatSection(11) + snowSections());
  Catchment catchment(soilLayers, 1, false);
  catchment.add("temperature", [](long, long) { return 1.0; });
  auto module = buildBenchModule(state, catchment, home);
  if (!module) return;
  auto stack = [&](const char* name) {
    return catchment.registry[static_cast<size_t>(module->findGrid(name, 1))].stack;
  };
  Stack solid = stack("SnowWaterEquivalentSolid");
  Stack liquid = stack("SnowWaterEquivalentLiquid");
  Stack thickness = stack("SnowLayerThickness");
  Stack density = stack("SnowDensity");
  Stack temperature = stack("Temperature_Stack_Snow");
  Grid top = catchment.registry[static_cast<size_t>(module->findGrid("upperIndexSnow", 1))].grid;
  module->readGroundwaterHeads(2020, 3, 1, 0, 0);
  long hour = 0;
  for (auto _ : state) {
    for (int step = 0; step < pulseSteps + spellSteps; ++step) {
      state.PauseTiming();
#pragma omp parallel for schedule(static)
      for (long r = 1; r <= gridSize; ++r)
        for (long c = 1; c <= gridSize; ++c) {
          for (int k = 1; k <= snowLayers; ++k) {
            solid[r][c][k] = 12.0;
            liquid[r][c][k] = 0.0;
            thickness[r][c][k] = 0.05;
            density[r][c][k] = 0.24;
            temperature[r][c][k] = -2.0;
          }
          solid[r][c][0] = 12.0 * snowLayers;
          liquid[r][c][0] = 0.0;
          top[r][c] = 1.0;
        }
      module->readGroundwaterHeads(2020, 3, 1 + hour / 24, hour % 24, 0);
      state.ResumeTiming();
      module->computeTimeStep(0, hour % 24, 1 + hour / 24, 3, 2020);
      ++hour;
    }
  }
  countHeatSolverSteps(state, module->getSolverTally(), threads);
  module.reset();
  std::filesystem::current_path(home);
}

} // namespace

BENCHMARK(solveColumnsUnderSnow)
    ->ArgsProduct({{1, 8}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
