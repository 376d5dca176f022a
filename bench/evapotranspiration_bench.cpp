// The potential evapotranspiration on a 1000 x 1000 grid: hourly daylight
// steps (6:00 to 18:00 of 1 May, then again), with 1 and 8 OpenMP threads;
// Penman-Monteith with one and with three vegetation layers, and Hamon.
// Each step keeps the daily statistics of every series. "items_per_second"
// is cell-steps per second, each step timed as the slowest process sees
// it. Run under mpirun --bind-to none (Open MPI binds one or two processes
// to one core each, so that their threads would share it), for example
// with 1 and 2 processes; only rank 0 prints.
#include <benchmark/benchmark.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_catchment.h"
#include "bench/cell_steps.h"
#include "bench/mpi_bench_main.h"
#include "vertical/verdunstungsmodellklasse.h"

namespace {

constexpr double nodata = BenchCatchment::nodata;
constexpr int maxLayers = 3;

// One process's share of the catchment with every grid the module reads;
// layer 2 is missing in every third cell.
struct Domain : BenchCatchment {
  Domain() {
    add("landuse", [](long, long) { return 1.0; });
    const std::pair<const char*, double> canopy[] = {{"landuse", 1.0},
                                                     {"leaf_area_index", 3.0},
                                                     {"root_depth", 1.0},
                                                     {"vegetation_coverage_degree", 0.8},
                                                     {"SurfaceCanopyResistance", 80.0},
                                                     {"SurfaceIntercepResistance", 10.0},
                                                     {"RoughnessLength", 0.5}};
    for (int k = 1; k <= maxLayers; ++k)
      for (const auto& [name, value] : canopy) {
        const bool code = name == std::string("landuse");
        add(name + std::to_string(k), [k, v = value, code](long r, long c) {
          return k == 2 && (r + c) % 3 == 0 ? nodata : code ? v : v / k;
        });
      }
    add("SurfaceEvaporationResistance", [](long, long) { return 200.0; });
    add("albedo", [](long, long) { return 0.18; });
    add("wind_speed", [](long r, long c) { return 1.0 + (r + c) % 4; });
    add("temperature", [](long r, long c) { return 22.0 - 0.0065 * benchElevation(r, c); });
    add("air_humidity", [](long r, long c) { return 0.4 + 0.1 * ((r * c) % 5); });
    radiation = add("global_radiation", [](long, long) { return 0.0; });
    context.landuseTable = &landuseTable;
    context.multilayerTable = &multilayerTable;
    useOneZone();
  }

  // An evapotranspiration module of the method and layers, with daily
  // statistics of every series and no grid output.
  std::unique_ptr<verdunstungsmodellklasse> module(int method, int layers) {
    const std::string file = "evapotranspiration_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream out(file);
    out << "[evapotranspiration]\n1\n60\n"
        << method << "\n"
        << "0.2 0.2 0.2 0.2 0.25 0.3 0.3 0.3 0.25 0.2 0.2 0.2\n"
        << "0.3 0.3 0.3 0.3 0.35 0.35 0.35 0.35 0.3 0.3 0.3 0.3\n0.6\n";
    for (const char* output : {"etp", "etr", "evap", "evar", "evrs", "eip"})
      out << output << ".asc\n0\n" << output << ".stat 1024\n";
    out << "rgex.stat 1024\n0.25 0.5 0.25 0\n0.072 -0.808 1.749 -0.239\n0.7 0.05\n1500\n"
           "4 5 6 7 8 8 8 8 7 6 5 4\n0.6 0.1\ncloud.stat 1024\n";
    out.close();
    context.landuseLayerCount = layers;
    return constructBenchModule<verdunstungsmodellklasse>(context, file);
  }

  Grid radiation = nullptr;
  std::vector<landuse_class> landuseTable = std::vector<landuse_class>(2);
  std::vector<multilayer_landuse_class> multilayerTable = std::vector<multilayer_landuse_class>(2);
};

Domain& domain() {
  static Domain d;
  return d;
}

void potentialSteps(benchmark::State& state, int method, int layers) {
  Domain& d = domain();
  timeCellSteps(
      state, d, [&] { return d.module(method, layers); },
      [&](verdunstungsmodellklasse& module, long step) {
        // The interpolators refill the radiation every step.
        const long hour = 6 + step % 12;
        const double sun = 700.0 * std::sin(3.14159265 * (hour - 5) / 14.0);
        for (long r = d.lo; r <= d.hi; ++r)
          for (long c = 1; c <= benchGridSize; ++c)
            d.radiation[r][c] = sun * (0.6 + 0.1 * ((r + c) % 5));
        return slowest([&] { module.computePotentialEvapotranspiration(0, hour, 1, 5, 2021); });
      });
}

void BM_PenmanMonteithOneLayer(benchmark::State& state) { potentialSteps(state, 1, 1); }
void BM_PenmanMonteithThreeLayers(benchmark::State& state) { potentialSteps(state, 1, 3); }
void BM_Hamon(benchmark::State& state) { potentialSteps(state, 2, 1); }

BENCHMARK(BM_PenmanMonteithOneLayer)
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_PenmanMonteithThreeLayers)
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_Hamon)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
