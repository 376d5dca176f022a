// Interception on a 1000 x 1000 grid of forest: hourly steps of rain and
// snow around freezing, with 1 and 8 OpenMP threads; the buckets alone
// (method 2) and with canopy snow and the canopy energy balance on snow
// (method 32). Each step keeps the daily statistics of every series.
// "items_per_second" is cell-steps per second, each step timed as the
// slowest process sees it. Run under mpirun --bind-to none, for example
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
#include "vertical/interzeptionsmodellklasse.h"

namespace {

struct Domain : BenchCatchment {
  Domain() {
    const std::pair<const char*, double> forest[] = {{"landuse1", 1.0},
                                                     {"leaf_area_index1", 5.0},
                                                     {"vegetation_coverage_degree1", 0.9},
                                                     {"RoughnessLength1", 1.5},
                                                     {"SurfaceCanopyResistance1", 80.0},
                                                     {"SurfaceIntercepResistance1", 40.0}};
    for (const auto& [name, value] : forest) add(name, [v = value](long, long) { return v; });
    for (int k = 0; k <= 1; ++k) {
      const std::string n = std::to_string(k);
      transpiration.push_back(add("pot_transpiration" + n, [](long, long) { return 0.0; }));
      add("potential_InterceptionEvap" + n, [](long, long) { return 0.05; });
      add("real_transpiration" + n, [](long, long) { return 0.0; });
    }
    precipitation = add("precipitation", [](long, long) { return 0.0; });
    temperature = add("temperature", [](long, long) { return 0.0; });
    add("AspectCorrectedGlobalRadiation", [](long, long) { return 200.0; });
    add("wind_speed", [](long r, long c) { return 1.0 + (r + c) % 4; });
    add("air_humidity", [](long r, long c) { return 0.6 + 0.1 * ((r * c) % 4); });
    add("cloudiness", [](long, long) { return 0.5; });
    add("albedo", [](long, long) { return 0.7; });
    add("snow_storage_total", [](long, long) { return 50.0; });
    add("surftemp", [](long, long) { return 271.0; });
    context.landuseTable = &landuseTable;
    useOneZone();
  }

  // An interception module of the method with daily statistics of every
  // series and no grid output.
  std::unique_ptr<interzeptionsmodellklasse> module(int method) {
    const std::string file = "interception_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream out(file);
    out << "[interception_model]\n1\n60\n" << method << "\n";
    auto triple = [&](const char* name) { out << name << ".asc\n0\n" << name << ".stat 1024\n"; };
    for (const char* name : {"tf", "ei", "si"}) triple(name);
    out << "0.2\n0\n";
    if (method > 20) {
      for (const char* name :
           {"sct", "scrh", "scrad", "scwind", "load", "age", "alb", "subl", "unload", "liquid"})
        triple(name);
      out << "0.5\n0\n1\n";
    }
    if (method > 30)
      for (const char* name : {"ceb", "cebt", "cebold", "cebdummy"}) triple(name);
    out.close();
    auto m = constructBenchModule<interzeptionsmodellklasse>(context, file);
    m->setRainSnowThreshold(0.0, 1.0);
    return m;
  }

  Grid precipitation = nullptr;
  Grid temperature = nullptr;
  std::vector<Grid> transpiration;
  std::vector<landuse_class> landuseTable = std::vector<landuse_class>(2);
};

Domain& domain() {
  static Domain d;
  return d;
}

void interceptionSteps(benchmark::State& state, int method) {
  Domain& d = domain();
  timeCellSteps(
      state, d, [&] { return d.module(method); },
      [&](interzeptionsmodellklasse& module, long step) {
        // The interpolators and evapotranspiration refill their grids every step.
        d.fillShowers(d.precipitation, d.temperature, step, 1.0, 2.0 * std::sin(step * 0.4));
        for (Grid g : d.transpiration)
          for (long r = d.lo; r <= d.hi; ++r)
            for (long c = 1; c <= benchGridSize; ++c) g[r][c] = 0.1;
        return slowest(
            [&] { module.computeInterception(0, step % 24, 1 + step / 24 % 28, 2, 2021); });
      });
}

void BM_Buckets(benchmark::State& state) { interceptionSteps(state, 2); }
void BM_CanopySnowAndEnergyBalance(benchmark::State& state) { interceptionSteps(state, 32); }

BENCHMARK(BM_Buckets)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_CanopySnowAndEnergyBalance)
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
