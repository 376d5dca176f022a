// Inverse distance weighting of 50 stations onto a 2000 x 2000 grid, one
// time step per iteration, with 1 and 8 OpenMP threads: every station with a
// value, and one fifth of them without (cells whose nearest stations lack
// values then search all stations). "items_per_second" is cell-steps per
// second. The set-up (ordering the stations of every cell once) is timed
// apart. Run on one process.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <memory>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "core/memory_handling.h"
#include "meteo/inverse_distance_weighting.h"

namespace {

constexpr long gridSize = 2000;
constexpr long stations = 50;
constexpr double cellSize = 100.0;

// The grids of a model domain whose every cell is valid.
struct Domain {
  Domain() {
    for (Grid* g : {&zone, &coordX, &coordY, &size, &target})
      *g = memory.matrix(1, gridSize, 1, gridSize, gridSize);
    for (long r = 1; r <= gridSize; ++r)
      for (long c = 1; c <= gridSize; ++c) {
        zone[r][c] = 1.0;
        coordX[r][c] = (c - 1) * cellSize;
        coordY[r][c] = (gridSize - r) * cellSize;
        size[r][c] = cellSize;
      }
    cells.firstRow = 1;
    cells.lastRow = gridSize;
    cells.ncols = gridSize;
    cells.zone = zone;
    cells.coordX = coordX;
    cells.coordY = coordY;
    cells.cellSizeX = cells.cellSizeY = size;
    unsigned seed = 4711;
    auto next = [&] {
      seed = seed * 1103515245u + 12345u;
      return static_cast<double>((seed >> 8) % 100000) / 100000.0;
    };
    for (long s = 0; s < stations; ++s) {
      x.push_back(gridSize * cellSize * next());
      y.push_back(gridSize * cellSize * next());
      values.push_back(30.0 * next() - 10.0);
      gappy.push_back(s % 5 == 2 ? -9999.0 : values.back());
    }
  }
  ~Domain() {
    for (Grid g : {zone, coordX, coordY, size, target})
      memory.free_matrix(g, 1, gridSize, 1, gridSize);
  }
  memory_handling memory;
  Grid zone = nullptr, coordX = nullptr, coordY = nullptr, size = nullptr, target = nullptr;
  InterpolationCells cells;
  std::vector<double> x, y, values, gappy;
};

Domain& domain() {
  static Domain d;
  return d;
}

const InverseDistanceWeighting::Parameters parameters{2.0, 1e9, 8};

void BM_IdwSetUp(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Domain& d = domain();
  for (auto _ : state) {
    InverseDistanceWeighting idw(d.cells, d.x, d.y, parameters);
    benchmark::DoNotOptimize(idw.listLength());
  }
  state.SetItemsProcessed(state.iterations() * gridSize * gridSize);
}

void idwStep(benchmark::State& state, bool withGaps) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Domain& d = domain();
  InverseDistanceWeighting idw(d.cells, d.x, d.y, parameters);
  const ValueLimits limits;
  for (auto _ : state) {
    idw.fill(withGaps ? d.gappy : d.values, limits, d.target);
    benchmark::DoNotOptimize(d.target[gridSize / 2][gridSize / 2]);
  }
  state.SetItemsProcessed(state.iterations() * gridSize * gridSize);
  state.counters["list_bytes_per_cell"] = 2.0 * idw.listLength();
}

void BM_IdwStep(benchmark::State& state) { idwStep(state, false); }
void BM_IdwStepWithGaps(benchmark::State& state) { idwStep(state, true); }

BENCHMARK(BM_IdwSetUp)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdwStep)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdwStepWithGaps)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
