// One sub-step of the groundwater model on 1000 x 1000 cells and two
// layers: method 1 with 20 SOR sweeps per layer ("maxiter" 20,
// "maxerror_allowed" 1e-12 m, which no sweep reaches) and method 2. Run under mpirun with 1 and 4
// processes and OMP_NUM_THREADS 1 and 8; rank 0 prints the time of a
// sub-step and the cell updates per second.
#include <benchmark/benchmark.h>
#include <mpi.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "config/soil_class.h"
#include "core/diag_stream.h"
#include "core/memory_handling.h"
#include "lateral/gwflowclass.h"

namespace {

constexpr long gridSize = 1000;
constexpr int layerCount = 2;
constexpr int sorSweeps = 20;

// Equal blocks of whole rows, rank 0 the first, with their halo rows.
struct Decomposition {
  Decomposition() {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const long rows = gridSize / size;
    first = rank * rows + 1;
    last = rank == size - 1 ? gridSize : first + rows - 1;
    lo = std::max(1L, first - 1);
    hi = std::min(gridSize, last + 1);
    const int width = static_cast<int>(gridSize);
    if (rank > 0) {
      receives.push_back(HaloStrip{static_cast<int>(first - 1), 1, width, rank - 1});
      sends.push_back(HaloStrip{static_cast<int>(first), 1, width, rank - 1});
    }
    if (rank + 1 < size) {
      receives.push_back(HaloStrip{static_cast<int>(last + 1), 1, width, rank + 1});
      sends.push_back(HaloStrip{static_cast<int>(last), 1, width, rank + 1});
    }
    ranges.assign(gridSize + 1, RowColumnRange{1, gridSize});
  }
  int rank = 0, size = 1;
  long first = 1, last = gridSize, lo = 1, hi = gridSize;
  std::vector<HaloStrip> sends, receives;
  std::vector<RowColumnRange> ranges;
};

struct Model {
  explicit Model(int method) {
    std::ostringstream section;
    section << "[groundwater_flow]\n1\n60\n"
            << method << "\n"
            << sorSweeps << "\n1e-12\n1\n1.5\n0\n"
            << layerCount << "\n0 0\ncp.txt\n";
    for (int k = 1; k <= layerCount; ++k)
      section << "h" << k << ".asc\n0\nx" << k << ".asc\n0\ny" << k << ".asc\n0\nb" << k
              << ".asc\n0\n";
    enterBenchWorkFolder("gwflow_bench", section.str());
    soil.resize(2);
    parseSoilEntry(soil[1], nullptr,
                   "method = MultipleHorizons; layers = 1; thickness = 2; ksat = 1e-5; theta_sat = "
                   "0.4; theta_res = 0.05; alpha = 1; Par_n = 1.5;}",
                   "MultipleHorizons");
    add("[zone_grid]", [](long, long) { return 1.0; });
    add("MPIRegions", [&](long r, long) { return r >= d.first && r <= d.last ? d.rank : -1.0; });
    add("MPIHelper", [](long, long) { return 0.0; });
    add("[elevation_model]", [](long r, long c) { return 100.0 + 0.01 * r + 0.02 * c; });
    add("groundwater_recharge", [](long, long) { return 0.0; });
    add("groundwater_distance", [](long r, long c) { return -1.0 - 0.001 * ((r * c) % 50); });
    add("soil_types", [](long, long) { return 1.0; });
    add("baseflow", [](long, long) { return 0.0; });
    for (int k = 1; k <= layerCount; ++k) {
      const std::string n = std::to_string(k);
      add("aquifer_thickness_" + n, [](long, long) { return 20.0; });
      add("gw_k_x_" + n, [](long r, long c) { return 1e-4 * (1 + (r + c) % 3); });
      add("gw_k_y_" + n, [](long r, long c) { return 1e-4 * (1 + (r * c) % 2); });
      add("gw_storage_coeff_" + n, [](long, long) { return 0.05; });
      add("gw_boundary_fix_h_" + n, [](long, long c) { return c == 1 ? 95.0 : -9999.0; });
      add("gw_boundary_fix_q_" + n, [](long, long) { return -9999.0; });
      if (k < layerCount) add("gw_kolmation_" + n, [](long, long) { return 1e-8; });
    }
    context.diag = &log.diag;
    context.controlFileName = "bench.ctl";
    context.registry = registry.data();
    context.header.ncols = context.header.nrows = gridSize;
    context.header.cellsize = 100.0;
    context.header.nodata = -9999.0;
    context.header.firstRow = d.first;
    context.header.lastRow = d.last;
    context.rowColumnRange = d.ranges.data();
    context.haloSendList = &d.sends;
    context.haloReceiveList = &d.receives;
    context.soilTable = &soil;
    context.outputInterval = 1;
    context.startDate = ModelDate{0, 0, 1, 1, 2021};
    context.endDate = ModelDate{0, 0, 2, 1, 2021};
    int code = 0;
    module = constructSubmodel<gwflowclass>(code, context);
    if (module) module->setSubsteps(1);
  }
  ~Model() {
    module.reset();
    for (Grid g : grids) memory.free_matrix(g, d.lo, d.hi, 1, gridSize);
  }
  template <typename F> void add(const std::string& name, F f) {
    Grid g = memory.matrix(d.lo, d.hi, 1, gridSize, gridSize);
    for (long r = d.lo; r <= d.hi; ++r)
      for (long c = 1; c <= gridSize; ++c) g[r][c] = f(r, c);
    grids.push_back(g);
    GridRegistryEntry& e = registry[static_cast<size_t>(grids.size())];
    e.hasFileName = e.hasName = true;
    e.fileName = e.name = name;
    e.grid = g;
    e.firstRow = d.lo;
    e.lastRow = d.hi;
  }

  struct QuietLog {
    std::ostringstream console;
    DiagStream diag{"gwflow_bench.xml", 0, &console, &console};
  } log;
  Decomposition d;
  memory_handling memory;
  std::vector<GridRegistryEntry> registry = std::vector<GridRegistryEntry>(gridRegistrySize);
  std::vector<Grid> grids;
  std::vector<soil_class> soil;
  ModelContext context;
  std::unique_ptr<gwflowclass> module;
};

void substep(benchmark::State& state) {
  const int method = static_cast<int>(state.range(0));
  Model model(method);
  if (!model.module) {
    state.SkipWithError("the groundwater model was not built");
    return;
  }
  for (auto _ : state) {
    const double seconds = slowest([&] {
      model.module->setStepDate(0, 1, 1, 1, 2021);
      model.module->solveGroundwater();
    });
    state.SetIterationTime(seconds);
  }
  // Cell updates: every cell of both layers per sweep.
  const double sweeps = method == 1 ? sorSweeps : 1.0;
  state.counters["cell_updates_per_s"] = benchmark::Counter(
      gridSize * gridSize * layerCount * sweeps, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(substep)->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
