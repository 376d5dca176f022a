// The soil-column solver of the unsaturated zone on 1000 x 1000 cells of 20
// layers, a silt loam and a loamy sand in alternate rows, rain pulses and dry spells, one
// process with the number of OpenMP threads given as the second argument,
// the time-step method as the first: node-steps per second per core (one
// layer advanced by one water step, every iteration included), iterations
// per water step and water steps per cell. The third argument switches dump
// mode on (1): every water step keeps its snapshot and is checked; a check
// that fired would leave a dump file, which the run reports as an error.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/unsatzon_bench_catchment.h"

namespace {

constexpr int soilLayers = 20;

// Dump files in the work folder; with remove, they are removed.
long dumpFiles(bool remove) {
  long count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    if (entry.path().filename().string().rfind("MPI_", 0) != 0) continue;
    ++count;
    if (remove) std::filesystem::remove(entry.path());
  }
  return count;
}

void solveColumns(benchmark::State& state) {
  const int method = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  const int dumpMode = static_cast<int>(state.range(2));
  omp_set_num_threads(threads);
  const std::filesystem::path home = std::filesystem::current_path();
  enterBenchWorkFolder("unsatzon_solver_bench_" + std::to_string(method),
                       controlText(method, 0, 1));
  dumpFiles(true);
  Catchment catchment(soilLayers, 1, false);
  auto module = buildBenchModule(state, catchment, home);
  if (!module) return;
  module->setDumpMode(dumpMode, 0, 0, 0);
  runRainPulses(state, catchment, *module, threads);
  module.reset();
  const long dumped = dumpFiles(false);
  std::filesystem::current_path(home);
  if (dumped > 0) state.SkipWithError("a check of dump mode fired: the figures time dump files");
}

} // namespace

BENCHMARK(solveColumns)
    ->ArgsProduct({{2, 3}, {1, 8}, {0}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(solveColumns)
    ->ArgsProduct({{2}, {1, 8}, {1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
