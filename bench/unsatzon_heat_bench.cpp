// The soil-column solver of the unsaturated zone with heat transfer on
// 1000 x 1000 cells of 20 layers, a silt loam and a loamy sand in alternate
// rows: rain pulses at +3 degrees C and dry spells of frost at -6, so that
// the top layers freeze and thaw. One process, the heat method as the first
// argument (10 explicit, 11 implicit, 12 implicit with water flow), the
// number of OpenMP threads as the second: node-steps per second per core
// (one layer advanced by one water step), heat steps per water step, heat
// node-steps per second per core, and the share of cell sub-steps whose heat
// steps the stability of the explicit step raised.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/unsatzon_bench_catchment.h"

namespace {

constexpr int soilLayers = 20;

void solveColumnsWithHeat(benchmark::State& state) {
  const int method = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  omp_set_num_threads(threads);
  const std::filesystem::path home = std::filesystem::current_path();
  enterBenchWorkFolder("unsatzon_heat_bench_" + std::to_string(method),
                       controlText(2, 0, 1) + heatSection(method));
  Catchment catchment(soilLayers, 1, false);
  Grid air = catchment.add("temperature", [](long, long) { return 3.0; });
  auto module = buildBenchModule(state, catchment, home);
  if (!module) return;
  long hour = 0;
  for (auto _ : state) {
    for (int step = 0; step < pulseSteps + spellSteps; ++step) {
      state.PauseTiming();
      const bool rain = step < pulseSteps;
      catchment.setRain(rain ? 4.0 : 0.0);
      for (long r = 1; r <= gridSize; ++r)
        for (long c = 1; c <= gridSize; ++c) air[r][c] = rain ? 3.0 : -6.0;
      module->readGroundwaterHeads(2020, 1, 1 + hour / 24, hour % 24, 0);
      state.ResumeTiming();
      module->computeTimeStep(0, hour % 24, 1 + hour / 24, 1, 2020);
      ++hour;
    }
  }
  const SolverTally tally = module->getSolverTally();
  const double cellSubsteps = static_cast<double>(gridSize * gridSize) * static_cast<double>(hour);
  countHeatSolverSteps(state, tally, threads);
  state.counters["water steps/cell/sub-step"] =
      static_cast<double>(tally.waterSteps) / cellSubsteps;
  state.counters["raised by stability"] = static_cast<double>(tally.heatStepsRaised) / cellSubsteps;
  module.reset();
  std::filesystem::current_path(home);
}

} // namespace

BENCHMARK(solveColumnsWithHeat)
    ->ArgsProduct({{11, 12, 10}, {1, 8}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
