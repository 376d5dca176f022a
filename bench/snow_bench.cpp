// The snow model on a 1000 x 1000 grid covered with half a metre of snow:
// hourly steps of snowfall and melt around freezing, with 1 and 8 OpenMP
// threads; degree days (method 1) and the energy balance with its
// surface-temperature iteration (method 5). Each step is the snow step and
// the closing step with the daily statistics of every series.
// "items_per_second" is cell-steps per second, each step timed as the
// slowest process sees it. Run under mpirun --bind-to none, for example
// with 1 and 2 processes; only rank 0 prints.
#include <benchmark/benchmark.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <string>

#include "bench/bench_catchment.h"
#include "bench/cell_steps.h"
#include "bench/mpi_bench_main.h"
#include "bench/snow_bench_catchment.h"
#include "snow/schneemodellklasse.h"

namespace {

struct Domain : SnowBenchCatchment {
  Domain() {
    add("wind_speed", [](long r, long c) { return 1.0 + (r + c) % 4; });
    add("air_humidity", [](long r, long c) { return 0.6 + 0.1 * ((r * c) % 4); });
    add("cloudiness", [](long, long) { return 0.5; });
    solid = add("snowstorage_solid", [](long, long) { return 500.0; });
  }

  std::unique_ptr<schneemodellklasse> module(int method) {
    const std::string file = "snow_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream out(file);
    writeSnowBenchSection(out, method);
    out.close();
    return buildSnowBenchModule(context, file);
  }

  Grid solid = nullptr;
};

Domain& domain() {
  static Domain d;
  return d;
}

void snowSteps(benchmark::State& state, int method) {
  Domain& d = domain();
  timeCellSteps(
      state, d, [&] { return d.module(method); },
      [&](schneemodellklasse& module, long step) {
        // The interpolators refill their grids every step.
        d.fillShowers(d.precipitation, d.temperature, step, 0.5, 2.0 * std::sin(step * 0.3));
        return slowest([&] { snowBenchStep(module, step, 2); });
      });
}

void BM_DegreeDays(benchmark::State& state) { snowSteps(state, 1); }
void BM_EnergyBalance(benchmark::State& state) { snowSteps(state, 5); }

BENCHMARK(BM_DegreeDays)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_EnergyBalance)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
