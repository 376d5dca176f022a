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

#include "bench/unsatzon_bench_catchment.h"

namespace {

constexpr int soilLayers = 10;
constexpr int subbasins = 20;

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
  enterBenchWorkFolder("unsatzon_step_bench", controlText(2, 2001, subbasins));
  Catchment catchment(soilLayers, subbasins, true);
  auto module = buildBenchModule<TimedUnsatzon>(state, catchment, home);
  if (!module) return;
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
