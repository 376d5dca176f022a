// The snow model on a 1000 x 1000 grid covered with half a metre of snow:
// hourly steps of snowfall and melt around freezing, with 1 and 8 OpenMP
// threads; degree days (method 1) and the energy balance with its
// surface-temperature iteration (method 5). Each step is the snow step and
// the closing step with the daily statistics of every series.
// "items_per_second" is cell-steps per second, each step timed as the
// slowest process sees it. Run under mpirun --bind-to none, for example
// with 1 and 2 processes; only rank 0 prints.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <string>

#include "bench/bench_catchment.h"
#include "bench/mpi_bench_main.h"
#include "snow/schneemodellklasse.h"

namespace {

struct Domain : BenchCatchment {
  Domain() {
    add("albedo", [](long, long) { return 0.7; });
    add("landuse1", [](long, long) { return nodata; });
    precipitation = add("precipitation", [](long, long) { return 0.0; });
    temperature = add("temperature", [](long, long) { return 0.0; });
    add("AspectCorrectedGlobalRadiation", [](long, long) { return 200.0; });
    add("wind_speed", [](long r, long c) { return 1.0 + (r + c) % 4; });
    add("air_humidity", [](long r, long c) { return 0.6 + 0.1 * ((r * c) % 4); });
    add("cloudiness", [](long, long) { return 0.5; });
    add("snow_evaporation", [](long, long) { return 0.0; });
    solid = add("snowstorage_solid", [](long, long) { return 500.0; });
    context.zoneCount = 1;
    context.zoneRecords = &zoneRecords;
    context.zoneRanks = &zoneRanks;
  }

  // A snow module of the method with daily statistics of every series and
  // no grid output.
  std::unique_ptr<schneemodellklasse> module(int method) {
    const std::string file = "snow_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream out(file);
    out << "[snow_model]\n1\n60\n"
        << method << "\n1\n0\n0\n0.1\n0.5\n4\n2\n0.5\n0.01\n1\n3\n0.4\n0.9\n";
    auto pair = [&](const char* name) { out << name << ".asc\n0\n" << name << ".stat 1024\n"; };
    for (const char* name : {"rain", "snow", "days", "age"}) pair(name);
    out << "albedo.stat 1024\n";
    pair("outflow");
    pair("melt");
    out << "solid.asc\n0\nliquid.asc\n0\ntotal.stat 1024\ntotal.asc\n0\n0\n";
    if (method >= 5) {
      for (const char* name : {"snowtemp", "surftemp", "input", "mobile", "deposition"}) pair(name);
      out << "55\n1\n30\n0.01\n1\n1\n1\n";
    }
    out.close();
    context.controlFileName = file;
    int code = 0;
    auto m = constructSubmodel<schneemodellklasse>(code, context);
    if (code != 0) MPI_Abort(MPI_COMM_WORLD, code);
    m->setInterceptionFirst(false);
    return m;
  }

  Grid precipitation = nullptr;
  Grid temperature = nullptr;
  Grid solid = nullptr;
  std::vector<ZoneRecord> zoneRecords = {ZoneRecord{0, 0, 1, 1, 0}, ZoneRecord{0, 0, 1, 1, 0}};
  std::vector<int> zoneRanks = {0, 1};
};

Domain& domain() {
  static Domain d;
  return d;
}

void snowSteps(benchmark::State& state, int method) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Domain& d = domain();
  std::unique_ptr<schneemodellklasse> module = d.module(method);
  const long cells = d.cellCount();
  long step = 0;
  for (auto _ : state) {
    // The interpolators refill their grids every step.
    const double t = 2.0 * std::sin(step * 0.3);
    for (long r = d.lo; r <= d.hi; ++r)
      for (long c = 1; c <= benchGridSize; ++c) {
        d.precipitation[r][c] = 0.5 + 0.2 * ((r + c + step) % 5);
        d.temperature[r][c] = t + 0.001 * (c - 500);
      }
    const long hour = step % 24;
    const long day = 1 + step / 24 % 28;
    state.SetIterationTime(slowest([&] {
      module->computeSnowStep(0, hour, day, 2, 2021);
      module->computeGlacierStep(0, hour, day, 2, 2021);
    }));
    ++step;
  }
  module->releaseModule();
  state.counters["processes"] = d.size;
  state.SetItemsProcessed(state.iterations() * cells);
}

void BM_DegreeDays(benchmark::State& state) { snowSteps(state, 1); }
void BM_EnergyBalance(benchmark::State& state) { snowSteps(state, 5); }

BENCHMARK(BM_DegreeDays)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_EnergyBalance)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
