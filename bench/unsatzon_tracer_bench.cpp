// The soil-column solver of the unsaturated zone with macropores, river
// cells and two tracers, on 1000 x 1000 cells of 20 layers (the catchment of
// the solver benchmark) in 20 subbasins, rain pulses and dry spells, fixed
// water steps, one process with the number of OpenMP threads given as the
// first argument. Every tenth column is a river cell: in columns 10, 30, ...
// the river lies above the groundwater table and loses water, in columns 20,
// 40, ... below it and gains. With the second argument 1 the losing cells
// draw from the record of their subbasin and are solved after the parallel
// region, each record's cells in order on one thread; with 0 they are not
// linked and only gain. Figures: node-steps per second per core, iterations
// per water step.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "bench/unsatzon_bench_catchment.h"

namespace {

constexpr int soilLayers = 20;
constexpr int subbasins = 20;
const char* const macropores =
    "PMacroThresh = 1e-7; MacroCapacity = 2e-6; MacroDepth = 0.5; CapacityRedu = 0.5;";

void solveColumnsWithRiversAndTracers(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const bool linked = state.range(1) != 0;
  omp_set_num_threads(threads);
  const std::filesystem::path home = std::filesystem::current_path();
  std::string text = controlText(2, 0, subbasins);
  // The surface water interaction 1.
  text.replace(text.find("\n2\n0\n"), 5, "\n2\n1\n");
  enterBenchWorkFolder("unsatzon_tracer_bench_" + std::to_string(linked), text);
  Catchment catchment(soilLayers, subbasins, false, macropores);
  const double none = -9999.0;
  catchment.add("river_depth", [](long, long c) {
    return c % 20 == 10 ? 0.5 : c % 20 == 0 ? 2.5 : -9999.0;
  });
  catchment.add("river_width", [](long, long) { return 5.0; });
  catchment.add("kolmation", [](long, long) { return 1e-6; });
  catchment.add("river_links", [&](long r, long c) {
    return linked && c % 20 == 10 ? double(1 + (r - 1) * subbasins / gridSize) : none;
  });
  catchment.add("concflux_tracer_1_input", [](long r, long) { return double(r % 3); });
  catchment.add("concflux_tracer_2_input", [](long, long c) { return double(c % 5); });
  std::vector<TracerRecord> tracers(3);
  tracers[1].name = "chl";
  tracers[1].soilIni = 1.0;
  tracers[2].name = "tri";
  tracers[2].radioactive = 1;
  tracers[2].halfTime = 10.0;
  auto module = buildBenchModule(state, catchment, home, tracers);
  if (!module) return;
  // Rivers that offer more than their cells can take.
  for (int s = 1; s <= subbasins; ++s) {
    ReinfiltrationRecord& river = module->getReinfiltrationRecords()[s];
    river.flowm3s = 1e6;
    river.speed = 1e5;
  }
  runRainPulses(state, catchment, *module, threads);
  module->freeTracers();
  module.reset();
  std::filesystem::current_path(home);
}

} // namespace

BENCHMARK(solveColumnsWithRiversAndTracers)
    ->ArgsProduct({{1, 8}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
