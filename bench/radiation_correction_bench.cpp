// The radiation correction on a 1000 x 1000 grid with hills of up to 800 m:
// hourly daylight steps (6:00 to 18:00 of 1 May, then again), four
// sub-intervals per step, computed every step, with 1 and 8 OpenMP threads;
// method 2 with the shading scan on rank 0 and the scatter of "Shadow",
// method 4 without shading. "items_per_second" is cell-steps per second,
// each step timed as the slowest process sees it. The scans alone are timed
// for the suns of the same steps, so that their share of a method-2 step
// shows. Run under mpirun --bind-to none (Open MPI binds one or two
// processes to one core each, so that their threads would share it), for
// example with 1 and 2 processes; only rank 0 prints.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_catchment.h"
#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "vertical/expokorrklasse.h"
#include "vertical/terrain_shading.h"

namespace {

constexpr long gridSize = benchGridSize;
constexpr double cellSize = 100.0;
constexpr double nodata = BenchCatchment::nodata;
constexpr int subintervals = 4;

// Slope and aspect (degrees) of the hills from central differences.
void slopeAndAspectAt(long r, long c, double& slope, double& aspect) {
  const double gx = (benchElevation(r, c + 1) - benchElevation(r, c - 1)) / (2 * cellSize);
  const double gy = (benchElevation(r - 1, c) - benchElevation(r + 1, c)) / (2 * cellSize);
  slope = std::atan(std::hypot(gx, gy)) * 180.0 / M_PI;
  aspect = std::fmod(std::atan2(-gx, -gy) * 180.0 / M_PI + 360.0, 360.0);
}

// One process's share of the catchment with the grids the correction reads.
struct Domain : BenchCatchment {
  Domain() {
    add("slope_angle", [](long r, long c) {
      double slope = 0, aspect = 0;
      slopeAndAspectAt(r, c, slope, aspect);
      return slope;
    });
    add("slope_aspect", [](long r, long c) {
      double slope = 0, aspect = 0;
      slopeAndAspectAt(r, c, slope, aspect);
      return aspect;
    });
    add("temperature", [](long r, long c) { return 15.0 - 0.0065 * benchElevation(r, c); });
  }

  // A radiation correction of the method, on every step.
  std::unique_ptr<expokorrklasse> correction(int method) {
    const std::string file = "radiation_correction_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream(file) << "[radiation_correction]\n1\n60\n"
                        << method << "\nt.asc\n0\n2.0\ne.asc\n0\ns.asc\n0\n1\n"
                        << subintervals << "\n";
    context.controlFileName = file;
    int code = 0;
    std::unique_ptr<expokorrklasse> module = constructSubmodel<expokorrklasse>(code, context);
    if (code != 0) MPI_Abort(MPI_COMM_WORLD, code);
    return module;
  }
};

Domain& domain() {
  static Domain d;
  return d;
}

void correctionSteps(benchmark::State& state, int method) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  std::unique_ptr<expokorrklasse> module = domain().correction(method);
  long hour = 6;
  for (auto _ : state) {
    state.SetIterationTime(slowest([&] { module->correctRadiation(0, hour, 1, 5, 2021); }));
    hour = hour == 17 ? 6 : hour + 1;
  }
  module->releaseModule();
  state.counters["processes"] = domain().size;
  state.SetItemsProcessed(state.iterations() * gridSize * gridSize);
}

void BM_RadiationCorrectionShaded(benchmark::State& state) { correctionSteps(state, 2); }
void BM_RadiationCorrectionUnshaded(benchmark::State& state) { correctionSteps(state, 4); }

// The scans of rank 0 for the sub-intervals of the same steps, one step an
// iteration.
void BM_ShadingScansOfAStep(benchmark::State& state) {
  Domain& d = domain();
  memory_handling memory;
  Grid shadow = memory.matrix(1, gridSize, 1, gridSize, gridSize);
  ShadingTerrain terrain{d.grids[0], d.grids[3], shadow, gridSize, gridSize, cellSize, nodata};
  const std::unique_ptr<expokorrklasse> sun = d.correction(4);
  std::vector<std::pair<double, double>> suns; // hour 6 .. 17, then the sub-intervals
  for (long hour = 6; hour <= 17; ++hour)
    for (int k = 0; k < subintervals; ++k) {
      double azimuth = 0, elevation = 0;
      sun->sunPosition(1, 5, azimuth, elevation, 47.3, 8.9,
                       hour + (k + 0.5) / subintervals); // the step ends an hour later
      suns.push_back({azimuth, elevation});
    }
  size_t next = 0;
  for (auto _ : state) {
    for (int k = 0; k < subintervals; ++k, ++next)
      castTerrainShadows(terrain, suns[next].first, suns[next].second);
    if (next == suns.size()) next = 0;
  }
  sun->releaseModule();
  memory.free_matrix(shadow, 1, gridSize, 1, gridSize);
  state.SetItemsProcessed(state.iterations() * gridSize * gridSize);
}

BENCHMARK(BM_RadiationCorrectionShaded)
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_RadiationCorrectionUnshaded)
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_ShadingScansOfAStep)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
