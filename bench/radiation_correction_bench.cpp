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

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "vertical/expokorrklasse.h"
#include "vertical/terrain_shading.h"

namespace {

constexpr long gridSize = 1000;
constexpr double cellSize = 100.0;
constexpr double nodata = -9999.0;
constexpr int subintervals = 4;

bool insideCatchment(long r, long c) {
  const double y = (static_cast<double>(r) - 500.5) / 490.0;
  const double x = (static_cast<double>(c) - 500.5) / 470.0;
  return x * x + y * y <= 1.0;
}

double elevationAt(long r, long c) {
  const double y = static_cast<double>(r);
  const double x = static_cast<double>(c);
  return 1500.0 + 400.0 * std::sin(y / 83.0) * std::cos(x / 57.0) +
         250.0 * std::sin((x + y) / 131.0) + 150.0 * std::cos((x - 2 * y) / 37.0);
}

// Slope and aspect (degrees) of the hills from central differences.
void slopeAndAspectAt(long r, long c, double& slope, double& aspect) {
  const double gx = (elevationAt(r, c + 1) - elevationAt(r, c - 1)) / (2 * cellSize);
  const double gy = (elevationAt(r - 1, c) - elevationAt(r + 1, c)) / (2 * cellSize);
  slope = std::atan(std::hypot(gx, gy)) * 180.0 / M_PI;
  aspect = std::fmod(std::atan2(-gx, -gy) * 180.0 / M_PI + 360.0, 360.0);
}

// One process's share: whole rows, the highest rank first, as the set-up
// gives them with "MPIRegions" and "MPIHelper", and the grids the
// correction reads.
struct Domain {
  Domain() {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const long rows = gridSize / size;
    first = (size - 1 - rank) * rows + 1;
    last = rank == 0 ? gridSize : first + rows - 1;
    lo = rank == 0 ? 1 : std::max(1L, first - 1);
    hi = rank == 0 ? gridSize : std::min(gridSize, last + 1);
    ranges.assign(gridSize + 1, RowColumnRange{});
    const char* names[] = {"[zone_grid]", "MPIRegions",   "MPIHelper",  "[elevation_model]",
                           "slope_angle", "slope_aspect", "temperature"};
    for (int k = 0; k < 7; ++k) {
      grids[k] = memory.matrix(lo, hi, 1, gridSize, gridSize);
      GridRegistryEntry& e = registry[k + 1];
      e.hasFileName = e.hasName = true;
      e.fileName = e.name = names[k];
      e.grid = grids[k];
      e.firstRow = lo;
      e.lastRow = hi;
    }
    for (long r = lo; r <= hi; ++r) {
      const int owner = static_cast<int>(std::min<long>(size - 1, size - 1 - (r - 1) / rows));
      long count = 0;
      for (long c = 1; c <= gridSize; ++c) {
        const bool inside = insideCatchment(r, c);
        double slope = 0, aspect = 0;
        slopeAndAspectAt(r, c, slope, aspect);
        const double values[] = {inside ? 1.0 : nodata,
                                 inside ? owner : nodata,
                                 0.0,
                                 elevationAt(r, c),
                                 slope,
                                 aspect,
                                 15.0 - 0.0065 * elevationAt(r, c)};
        for (int k = 0; k < 7; ++k) grids[k][r][c] = values[k];
        if (!inside) continue;
        if (ranges[r].first == 0) ranges[r].first = c;
        ranges[r].last = c;
        ++count;
      }
      // Rank 0: (owner, cells) from the first valid column; the others:
      // (first column, cells) of their own run.
      Grid helper = grids[2];
      if (rank == 0) {
        helper[r][1] = owner;
        helper[r][2] = static_cast<double>(count);
      } else if (r >= first && r <= last) {
        helper[r][1] = static_cast<double>(ranges[r].first);
        helper[r][2] = static_cast<double>(count);
      }
      if (rank != 0 && (r < first || r > last)) ranges[r] = RowColumnRange{};
    }
    context.diag = &log;
    context.registry = registry.data();
    context.header.ncols = context.header.nrows = gridSize;
    context.header.cellsize = cellSize;
    context.header.firstRow = first;
    context.header.lastRow = last;
    context.rowColumnRange = ranges.data();
    context.startDate = ModelDate{0, 6, 1, 5, 2021};
    context.endDate = ModelDate{0, 0, 31, 12, 2021};
    context.minToIntEnd = 60.0;
    context.latitude = 47.3;
    context.longitude = 8.9;
    context.referenceMeridian = 15.0;
  }
  ~Domain() {
    for (Grid g : grids) memory.free_matrix(g, lo, hi, 1, gridSize);
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

  int rank = 0, size = 1;
  long first = 1, last = 0, lo = 1, hi = 0;
  std::ostringstream console;
  DiagStream log{"radiation_correction_bench.xml", 0, &console, &console};
  memory_handling memory;
  std::vector<GridRegistryEntry> registry = std::vector<GridRegistryEntry>(gridRegistrySize);
  std::vector<RowColumnRange> ranges;
  Grid grids[7] = {};
  ModelContext context;
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
    MPI_Barrier(MPI_COMM_WORLD);
    const double start = MPI_Wtime();
    module->correctRadiation(0, hour, 1, 5, 2021);
    double elapsed = MPI_Wtime() - start;
    MPI_Allreduce(MPI_IN_PLACE, &elapsed, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    state.SetIterationTime(elapsed);
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
