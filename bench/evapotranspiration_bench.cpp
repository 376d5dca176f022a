// The potential evapotranspiration on a 1000 x 1000 grid: hourly daylight
// steps (6:00 to 18:00 of 1 May, then again), with 1 and 8 OpenMP threads;
// Penman-Monteith with one and with three vegetation layers, and Hamon.
// Each step keeps the daily statistics of every series. "items_per_second"
// is cell-steps per second, each step timed as the slowest process sees
// it. Run under mpirun --bind-to none (Open MPI binds one or two processes
// to one core each, so that their threads would share it), for example
// with 1 and 2 processes; only rank 0 prints.
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
#include "vertical/verdunstungsmodellklasse.h"

namespace {

constexpr long gridSize = 1000;
constexpr double nodata = -9999.0;
constexpr int maxLayers = 3;

bool insideCatchment(long r, long c) {
  const double y = (static_cast<double>(r) - 500.5) / 490.0;
  const double x = (static_cast<double>(c) - 500.5) / 470.0;
  return x * x + y * y <= 1.0;
}

double elevationAt(long r, long c) {
  return 1500.0 + 400.0 * std::sin(r / 83.0) * std::cos(c / 57.0) +
         250.0 * std::sin((r + c) / 131.0);
}

// One process's share: whole rows, the highest rank first, as the set-up
// gives them with "MPIRegions" and "MPIHelper", and every grid the module
// reads. Layer 2 is missing in every third cell.
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
    auto owner = [&](long r) {
      return static_cast<int>(std::min<long>(size - 1, size - 1 - (r - 1) / rows));
    };
    add("[zone_grid]", [](long, long, int) { return 1.0; });
    add("MPIRegions", [&](long r, long, int) { return double(owner(r)); });
    Grid helper = add("MPIHelper", [](long, long, int) { return 0.0; });
    add("[elevation_model]", [](long r, long c, int) { return elevationAt(r, c); });
    add("landuse", [](long, long, int) { return 1.0; });
    const std::pair<const char*, double> canopy[] = {{"landuse", 1.0},
                                                     {"leaf_area_index", 3.0},
                                                     {"root_depth", 1.0},
                                                     {"vegetation_coverage_degree", 0.8},
                                                     {"SurfaceCanopyResistance", 80.0},
                                                     {"SurfaceIntercepResistance", 10.0},
                                                     {"RoughnessLength", 0.5}};
    for (int k = 1; k <= maxLayers; ++k)
      for (const auto& [name, value] : canopy)
        add(name + std::to_string(k),
            [k, v = value, code = name == std::string("landuse")](long r, long c, int) {
              return k == 2 && (r + c) % 3 == 0 ? nodata : code ? v : v / k;
            });
    add("SurfaceEvaporationResistance", [](long, long, int) { return 200.0; });
    add("albedo", [](long, long, int) { return 0.18; });
    add("wind_speed", [](long r, long c, int) { return 1.0 + (r + c) % 4; });
    temperature =
        add("temperature", [](long r, long c, int) { return 22.0 - 0.0065 * elevationAt(r, c); });
    add("air_humidity", [](long r, long c, int) { return 0.4 + 0.1 * ((r * c) % 5); });
    radiation = add("global_radiation", [](long, long, int) { return 0.0; });
    for (long r = lo; r <= hi; ++r) {
      long count = 0;
      for (long c = 1; c <= gridSize; ++c) {
        if (!insideCatchment(r, c)) {
          for (Grid g : grids) g[r][c] = nodata;
          continue;
        }
        if (ranges[r].first == 0) ranges[r].first = c;
        ranges[r].last = c;
        ++count;
      }
      // Rank 0: (owner, cells) from the first valid column; the others:
      // (first column, cells) of their own run.
      helper[r][1] = rank == 0 ? owner(r) : static_cast<double>(ranges[r].first);
      helper[r][2] = static_cast<double>(count);
      if (rank != 0 && (r < first || r > last)) ranges[r] = RowColumnRange{};
    }
    context.diag = &log;
    context.registry = registry.data();
    context.header.ncols = context.header.nrows = gridSize;
    context.header.cellsize = 100.0;
    context.header.firstRow = first;
    context.header.lastRow = last;
    context.rowColumnRange = ranges.data();
    context.startDate = ModelDate{0, 6, 1, 5, 2021};
    context.endDate = ModelDate{0, 0, 31, 12, 2021};
    context.minToIntEnd = 60.0;
    context.latitude = 47.3;
    context.longitude = 8.9;
    context.referenceMeridian = 15.0;
    context.landuseTable = &landuseTable;
    context.multilayerTable = &multilayerTable;
    context.zoneCount = 1;
    context.zoneRecords = &zoneRecords;
    context.zoneRanks = &zoneRanks;
  }
  ~Domain() {
    for (Grid g : grids) memory.free_matrix(g, lo, hi, 1, gridSize);
  }
  template <typename F> Grid add(const std::string& name, F f) {
    Grid g = memory.matrix(lo, hi, 1, gridSize, gridSize);
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= gridSize; ++c) g[r][c] = f(r, c, 0);
    GridRegistryEntry& e = registry[grids.size() + 1];
    e.hasFileName = e.hasName = true;
    e.fileName = e.name = name;
    e.grid = g;
    e.firstRow = lo;
    e.lastRow = hi;
    grids.push_back(g);
    return g;
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
    context.controlFileName = file;
    context.landuseLayerCount = layers;
    int code = 0;
    auto m = constructSubmodel<verdunstungsmodellklasse>(code, context);
    if (code != 0) MPI_Abort(MPI_COMM_WORLD, code);
    return m;
  }

  int rank = 0, size = 1;
  long first = 1, last = 0, lo = 1, hi = 0;
  std::ostringstream console;
  DiagStream log{"evapotranspiration_bench.xml", 0, &console, &console};
  memory_handling memory;
  std::vector<GridRegistryEntry> registry = std::vector<GridRegistryEntry>(gridRegistrySize);
  std::vector<RowColumnRange> ranges;
  std::vector<Grid> grids;
  Grid temperature = nullptr;
  Grid radiation = nullptr;
  std::vector<landuse_class> landuseTable = std::vector<landuse_class>(2);
  std::vector<multilayer_landuse_class> multilayerTable = std::vector<multilayer_landuse_class>(2);
  std::vector<ZoneRecord> zoneRecords = {ZoneRecord{0, 0, 1, 1, 0}, ZoneRecord{0, 0, 1, 1, 0}};
  std::vector<int> zoneRanks = {0, 1};
  ModelContext context;
};

Domain& domain() {
  static Domain d;
  return d;
}

void potentialSteps(benchmark::State& state, int method, int layers) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Domain& d = domain();
  std::unique_ptr<verdunstungsmodellklasse> module = d.module(method, layers);
  long hour = 6;
  long cells = 0;
  for (long r = d.first; r <= d.last; ++r)
    cells += d.ranges[r].last >= d.ranges[r].first ? d.ranges[r].last - d.ranges[r].first + 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &cells, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
  for (auto _ : state) {
    // The interpolators refill the radiation every step.
    const double sun = 700.0 * std::sin(3.14159265 * (hour - 5) / 14.0);
    for (long r = d.lo; r <= d.hi; ++r)
      for (long c = 1; c <= gridSize; ++c)
        if (d.radiation[r][c] != nodata) d.radiation[r][c] = sun * (0.6 + 0.1 * ((r + c) % 5));
    MPI_Barrier(MPI_COMM_WORLD);
    const double start = MPI_Wtime();
    module->computePotentialEvapotranspiration(0, hour, 1, 5, 2021);
    double elapsed = MPI_Wtime() - start;
    MPI_Allreduce(MPI_IN_PLACE, &elapsed, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    state.SetIterationTime(elapsed);
    hour = hour == 17 ? 6 : hour + 1;
  }
  module->releaseModule();
  state.counters["processes"] = d.size;
  state.SetItemsProcessed(state.iterations() * cells);
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
