// The derived grids of the set-up for a 4000 x 4000 grid with a ragged
// catchment: cell sizes, cell corners, slope and aspect, and the region
// weights of three regions with a transition distance of 10 cells, each
// timed as the slowest process sees it (writing the grids once included).
// Run under mpirun, for example with 1 and 4 processes; only rank 0 prints.
#include <benchmark/benchmark.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <vector>

#include "config/defaultini.h"
#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"

namespace {

constexpr long gridSize = 4000;
constexpr double nodata = -9999.0;
constexpr double cellSize = 100.0;

// An ellipse with a wavy edge and a few lakes.
bool insideCatchment(long r, long c) {
  const double y = (static_cast<double>(r) - 2000.5) / 1950.0;
  const double x = (static_cast<double>(c) - 2000.5) / 1800.0;
  const double angle = std::atan2(y, x);
  const double edge = 0.86 + 0.08 * std::sin(7 * angle) + 0.04 * std::sin(23 * angle + 1.0);
  if (x * x + y * y > edge * edge) return false;
  for (const double centre : {0.3, -0.2, 0.55}) {
    const double dx = x - centre;
    const double dy = y + centre * 0.7;
    if (dx * dx + dy * dy < 0.004) return false;
  }
  return true;
}

double elevationAt(long r, long c) {
  return 3000.0 - static_cast<double>(r + c) / 4 +
         50.0 * std::sin(static_cast<double>(r) / 97.0) * std::cos(static_cast<double>(c) / 61.0);
}

// Three sectors around the centre, with wavy borders.
double regionAt(long r, long c) {
  const double angle = std::atan2(static_cast<double>(2000 - r), static_cast<double>(c - 2000)) +
                       0.05 * std::sin(static_cast<double>(r + c) / 40.0);
  if (angle > 0.6) return 3.0;
  return angle > -1.6 ? 7.0 : 12.0;
}

double sizeXAt(long r, long) { return cellSize * (0.9 + 0.2 * static_cast<double>(r) / gridSize); }
double sizeYAt(long, long c) { return cellSize * (1.1 - 0.2 * static_cast<double>(c) / gridSize); }

class BenchModel : public defaultini {
public:
  BenchModel(int& error, DiagStream* diag, const std::string& control, GridRegistryEntry* table)
      : defaultini(error, diag, control, nullptr, 0, 2, table) {}
  ~BenchModel() override {
    for (const auto& [grid, rows] : owned) free_matrix(grid, rows.first, rows.second, 1, gridSize);
  }
  using defaultini::header;

  // A grid over the rows the set-up gives this process, filled from a
  // function (rank 0 all rows), registered under the name.
  int addGrid(const std::string& name, const std::string& file,
              const std::function<double(long, long)>& value, int index) {
    const long first = heldFirstRow();
    const long last = heldLastRow();
    Grid grid = matrix(first, last, 1, gridSize, gridSize);
    owned.push_back({grid, {first, last}});
#pragma omp parallel for schedule(runtime)
    for (long r = first; r <= last; ++r)
      for (long c = 1; c <= gridSize; ++c) grid[r][c] = value(r, c);
    if (index == 0) index = firstFreeRegistryIndex();
    registerGrid(index, file, grid, nullptr, 0, name, 0, first, last);
    if (index > 2) ++gridCount;
    return index;
  }

  // Zone grid and elevation model, the decomposition and the zone ranking,
  // as the set-up leaves them; rank 0 holds the whole grids.
  void setUp() {
    header.ncols = header.nrows = gridSize;
    header.nodata = nodata;
    header.cellsize = cellSize;
    header.firstRow = 1;
    header.lastRow = gridSize;
    if (worldRank() == 0) {
      addGrid(
          "[zone_grid]", "zone.bin",
          [](long r, long c) { return insideCatchment(r, c) ? 1.0 : nodata; }, 1);
      addGrid("[elevation_model]", "dem.bin", elevationAt, 2);
    } else {
      registerGrid(1, "zone.bin", nullptr, nullptr, 0, "[zone_grid]", 0, 1, gridSize);
      registerGrid(2, "dem.bin", nullptr, nullptr, 0, "[elevation_model]", 0, 1, gridSize);
    }
    makeMPIRegions(cells, sendList, receiveList, header.firstRow, header.lastRow);
    cellsPerProcess = &cells;
    haloSendList = &sendList;
    haloReceiveList = &receiveList;
    rankZoneCodes(registry, nullptr, gridSize, gridSize, nodata);
    if (worldRank() != 0) {
      addGrid(
          "[zone_grid]", "zone.bin", [](long, long) { return nodata; }, 1);
      addGrid(
          "[elevation_model]", "dem.bin", [](long, long) { return nodata; }, 2);
    }
    for (int index : {1, 2}) {
      MPIScatterGrid(index);
      MPIExchangeGridHalo(index);
    }
    gridCount = firstFreeRegistryIndex() - 3;
  }

private:
  std::vector<std::pair<Grid, std::pair<long, long>>> owned;
  std::vector<long> cells;
  std::vector<HaloStrip> sendList;
  std::vector<HaloStrip> receiveList;
};

// The model of one iteration with its log and registry.
struct Iteration {
  Iteration() : diag("bench_diag.xml", 0, &console, &console), registry(gridRegistrySize) {
    int error = 0;
    model = std::make_unique<BenchModel>(error, &diag, std::filesystem::absolute("bench.ctl"),
                                         registry.data());
    model->setUp();
  }
  std::ostringstream console;
  DiagStream diag;
  std::vector<GridRegistryEntry> registry;
  std::unique_ptr<BenchModel> model;
};

void addProcessCount(benchmark::State& state) {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  state.counters["processes"] = size;
}

// The whole step (ranking, weights on rank 0, distribution, five grids
// written) and, again on the same grids, the weights alone.
void regionWeights(benchmark::State& state) {
  double kernel = 0.0;
  for (auto _ : state) {
    Iteration run;
    run.model->addGrid("regression_regions", "regions.bin", regionAt, 0);
    state.SetIterationTime(slowest([&] { run.model->MakeRegionWeightGrids(); }));
    kernel += slowest([&] { run.model->computeRegionWeights(); });
  }
  state.counters["weights_only_ms"] = 1000.0 * kernel / static_cast<double>(state.iterations());
  addProcessCount(state);
}
BENCHMARK(regionWeights)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// Cell sizes, corners, slope and aspect; with Arg 1 the cell sizes vary
// (given as standard grids), so the corners are summed over them.
void derivedGrids(benchmark::State& state) {
  const bool variable = state.range(0) != 0;
  double sizes = 0.0, corners = 0.0, slope = 0.0;
  for (auto _ : state) {
    Iteration run;
    if (variable) {
      run.model->addGrid("CellSizeX", "csx.bin", sizeXAt, 0);
      run.model->addGrid("CellSizeY", "csy.bin", sizeYAt, 0);
    }
    const double a = slowest([&] { run.model->makeCellSizeGrids(); });
    const double b = slowest([&] { run.model->makeCoordinateGrids(); });
    const double c = slowest([&] { run.model->make_Slope_and_Aspect(); });
    sizes += a;
    corners += b;
    slope += c;
    state.SetIterationTime(a + b + c);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["cell_sizes_ms"] = 1000.0 * sizes / n;
  state.counters["corners_ms"] = 1000.0 * corners / n;
  state.counters["slope_aspect_ms"] = 1000.0 * slope / n;
  addProcessCount(state);
}
BENCHMARK(derivedGrids)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("variable")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
  // Only rank 0 writes grids.
  return runBenchmarksUnderMPI(argc, argv, [] {
    enterBenchWorkFolder("setup_bench", "[unsatzon_model]\n1\n1\n1\n0 re-infiltration\n\n"
                                        "[region_transition_distance]\n1000 transition distance\n");
  });
}
