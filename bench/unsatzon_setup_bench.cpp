// The construction of the unsaturated zone with a computed initial state
// (readgrid 0) on 1000 x 1000 cells of 20 soil layers, on one process with
// the number of OpenMP threads given as the argument: the wall time of the
// whole construction, and the cells per second of the initial state alone.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr long gridSize = 1000;
constexpr int soilLayers = 20;

class BenchUnsatzon : public unsatzonmodellklasse {
public:
  using unsatzonmodellklasse::computeColumns;
  using unsatzonmodellklasse::unsatzonmodellklasse;
};

std::string controlText() {
  std::ostringstream t;
  t << "[unsatzon_model]\n1\n60\n2\n0\n0\n0\n0\n1e-8\n2\n";
  for (int k = 0; k < 16; ++k) t << "stat" << k << ".txt 0\n";
  for (int k = 0; k < 24; ++k) t << "grid" << k << ".asc\n0\n";
  t << "0 0\n";
  for (int k = 0; k < 6; ++k) t << "point" << k << ".txt\n";
  t << "1\n1\n1\n1\n1\n1\n1\n0\nstate\n";
  return t.str();
}

std::string soilBlock() {
  std::string block = "method = MultipleHorizons; layers = 20;";
  for (const char* key : {"thickness = 0.1", "ksat = 1e-6", "theta_sat = 0.45", "theta_res = 0.067",
                          "alpha = 2", "Par_n = 1.41"}) {
    std::string line = std::string(" ") + key;
    const std::string value = line.substr(line.find('=') + 1);
    for (int k = 1; k < soilLayers; ++k) line += value;
    block += line + ";";
  }
  return block + "}";
}

// The registry and context of a square catchment with every grid the
// unsaturated zone takes from others.
struct Catchment {
  Catchment() : registry(gridRegistrySize), soils(2) {
    parseSoilEntry(soils[1], nullptr, soilBlock(), "MultipleHorizons");
    soils[0].setCode(1);
    soils[0].setLayerCount(soilLayers);
    soils[1].setCode(1);
    context.diag = &diag;
    context.controlFileName = "bench.ctl";
    context.registry = registry.data();
    context.header.ncols = context.header.nrows = gridSize;
    context.header.cellsize = 100.0;
    context.header.firstRow = 1;
    context.header.lastRow = gridSize;
    context.soilTable = &soils;
    add("[zone_grid]", 1.0);
    add("[elevation_model]", 1000.0, true);
    add("soil_types", 1.0);
    add("slope_angle", 5.0);
    for (const char* g :
         {"landuse1", "root_depth1", "vegetation_coverage_degree1", "leaf_area_index1",
          "SurfaceCanopyResistance1", "SurfaceIntercepResistance1", "RoughnessLength1",
          "pot_transpiration0", "pot_transpiration1", "real_transpiration0", "real_transpiration1",
          "SurfaceEvaporationResistance", "albedo", "potential_evaporation", "real_evaporation"})
      add(g, 1.0);
  }
  ~Catchment() {
    for (Grid g : grids) memory.free_matrix(g, 1, gridSize, 1, gridSize);
  }
  void add(const std::string& name, double value, bool varying = false) {
    Grid g = memory.matrix(1, gridSize, 1, gridSize, gridSize);
    for (long r = 1; r <= gridSize; ++r)
      for (long c = 1; c <= gridSize; ++c)
        g[r][c] = varying ? value + 0.01 * static_cast<double>(r + c) : value;
    grids.push_back(g);
    registerBenchGrid(registry, name, g, gridSize);
  }

  std::ostringstream console;
  DiagStream diag{"unsatzon_setup_bench.xml", 0, &console, &console};
  memory_handling memory;
  std::vector<GridRegistryEntry> registry;
  std::vector<soil_class> soils;
  std::vector<Grid> grids;
  ModelContext context;
};

void construction(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Catchment catchment;
  for (auto _ : state) {
    int code = 0;
    auto module = constructSubmodel<BenchUnsatzon>(code, catchment.context, &catchment.soils);
    if (code != 0) state.SkipWithError("construction failed");
    benchmark::DoNotOptimize(module);
    state.PauseTiming();
    module.reset();
    state.ResumeTiming();
  }
}

void initialState(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Catchment catchment;
  int code = 0;
  auto module = constructSubmodel<BenchUnsatzon>(code, catchment.context, &catchment.soils);
  if (code != 0) state.SkipWithError("construction failed");
  for (auto _ : state) module->computeColumns();
  state.counters["cells/s"] = benchmark::Counter(static_cast<double>(gridSize * gridSize),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(construction)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(initialState)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  return runBenchmarksUnderMPI(argc, argv,
                               [] { enterBenchWorkFolder("unsatzon_setup_bench", controlText()); });
}
