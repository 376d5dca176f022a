// A lake of 100,000 cells (250 x 400) on a 1000 x 1000 grid of 100 m cells.
// Rank 0 builds its waterlevel-volume table once and balances it step by
// step with 1 and 8 threads (lake cell-steps per second); all processes
// time the lake exchange of a routing step: the packed gathers of the five
// lake grids to rank 0 and the scatter of the ponding back. Run under
// mpirun with 1 and 4 processes; rank 0 prints the figures.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "config/tracer_ini_class.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"
#include "routing/sp_class.h"

namespace {

constexpr long gridSize = 1000;
constexpr long lakeFirstRow = 301, lakeRows = 250, lakeFirstColumn = 301, lakeColumns = 400;
constexpr double lakeCells = lakeRows * lakeColumns;
constexpr int exchangeIterations = 50;

bool inLake(long r, long c) {
  return r >= lakeFirstRow && r < lakeFirstRow + lakeRows && c >= lakeFirstColumn &&
         c < lakeFirstColumn + lakeColumns;
}
double bottom(long r, long c) { return 500.0 + 0.002 * (r % 97) + 0.003 * (c % 89); }

struct QuietLog {
  std::ostringstream console;
  DiagStream diag{"lake_bench.xml", 0, &console, &console};
};

// Rank 0's list of lake cells and one lake on them.
struct LakeRig {
  LakeRig() {
    for (long r = 1; r <= gridSize; ++r)
      for (long c = 1; c <= gridSize; ++c) {
        if (!inLake(r, c)) continue;
        cells.cells.push_back(PackedCell{r, c, 0});
        cells.zones.push_back(1.0);
        cells.codes.push_back(1.0);
        cells.elevation.push_back(bottom(r, c));
        cells.maxPonding.push_back((503.0 - bottom(r, c)) * 1000.0);
      }
    const std::size_t n = cells.cells.size();
    cells.ponding.assign(n, 0.0);
    cells.transpiration.assign(n, 0.1);
    cells.precipitation.assign(n, 0.4);
    cells.bottomFlux.assign(n, 1e-9);
    cells.baseflow.assign(n, 0.0);
    cells.groundwater = true;
    cells.tracers.assign(1, {});
    ReservoirSetting s;
    s.diag = &log.diag;
    s.tracers = &tracers;
    s.subbasin = 1;
    s.zoneIndex = &zoneIndex;
    s.lake = 1;
    s.lakeCells = &cells;
    s.cellSize = 100.0;
    lake.Init(s);
    lake.ReadParameters(nullptr, 1, " file = lake.txt V0 = 5e9 C0 = 0 0 0 0 0 0 0 0 0");
  }
  QuietLog log;
  std::vector<TracerRecord> tracers{1};
  std::vector<int> zoneIndex{0, 1};
  LakeCells cells;
  SP_class lake;
};

void BM_InitLake(benchmark::State& state) {
  if (worldRank() != 0) {
    for (auto _ : state) state.SetIterationTime(0.0);
    return;
  }
  LakeRig rig;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    rig.lake.InitLake();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["table rows"] = rig.lake.getLevelTableRows();
}

void BM_LakeBalance(benchmark::State& state) {
  if (worldRank() != 0) {
    for (auto _ : state) state.SetIterationTime(0.0);
    return;
  }
  omp_set_num_threads(static_cast<int>(state.range(0)));
  LakeRig rig;
  rig.lake.InitLake();
  rig.lake.SetLakeCells(rig.lake.getVolume());
  long k = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    rig.lake.Balance(60, 0, 0, nullptr, 10.0, 2001, 1, 1 + (k / 24) % 28, k % 24, 0);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ++k;
  }
  state.counters["lake cell-steps/s"] = benchmark::Counter(
      lakeCells * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["threads"] = static_cast<double>(state.range(0));
}

// Equal blocks of whole rows, the highest rank first; every process holds
// its block, rank 0 the list of every lake cell with its owner.
class ExchangeModule : public modelobject {
public:
  ExchangeModule(DiagStream* diag, int rank, int size)
      : modelobject(diag, "", 0, false, false, false, "", "", nullptr, nullptr, nullptr, 0, 0),
        registry(gridRegistrySize), ranges(gridSize + 1, RowColumnRange{1, gridSize}) {
    const long rows = gridSize / size;
    const long first = (size - 1 - rank) * rows + 1;
    const long last = rank == 0 ? gridSize : first + rows - 1;
    header.ncols = header.nrows = gridSize;
    header.firstRow = first;
    header.lastRow = last;
    lo = first;
    hi = last;
    mpiRank = rank;
    mpiSize = size;
    ranges[0] = RowColumnRange{};
    rowColumnRange = ranges.data();
    setRegistry(registry.data());
    const auto owner = [&](long r) {
      return static_cast<int>(std::min<long>(size - 1, size - 1 - (r - 1) / rows));
    };
    Grid regions = add("MPIRegions", [&](long r, long) { return owner(r); });
    (void)regions;
    mask = registryIndex("lake_codes", [](long r, long c) { return inLake(r, c) ? 1.0 : -9999.0; });
    for (const char* name :
         {"ponding_storage", "real_transpiration0", "q_downext", "baseflow", "precipitation"})
      values.push_back(registryIndex(name, [](long r, long c) { return bottom(r, c); }));
    counts.assign(static_cast<std::size_t>(size), 0);
    for (long r = 1; r <= gridSize; ++r)
      for (long c = 1; c <= gridSize; ++c) {
        if (!inLake(r, c)) continue;
        ++counts[static_cast<std::size_t>(owner(r))];
        if (rank == 0) cells.push_back(PackedCell{r, c, owner(r)});
      }
  }
  ~ExchangeModule() override {
    for (Grid g : grids) free_matrix(g, lo, hi, 1, gridSize);
  }

  template <typename F> Grid add(const std::string& name, F value) {
    Grid g = matrix(lo, hi, 1, gridSize, gridSize);
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= gridSize; ++c) g[r][c] = value(r, c);
    grids.push_back(g);
    registerBenchGrid(registry, name, g, hi);
    registry[findGrid(name)].firstRow = lo;
    return g;
  }
  template <typename F> int registryIndex(const std::string& name, F value) {
    add(name, value);
    return findGrid(name);
  }

  std::vector<GridRegistryEntry> registry;
  std::vector<RowColumnRange> ranges;
  std::vector<Grid> grids;
  std::vector<int> values;
  std::vector<long> counts;
  std::vector<PackedCell> cells;
  std::vector<double> lakeValues;
  int mask = 0;
  long lo = 1, hi = 1;
};

void BM_LakeExchange(benchmark::State& state) {
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  QuietLog log;
  ExchangeModule m(&log.diag, rank, size);
  for (auto _ : state) {
    state.SetIterationTime(slowest([&] {
      for (int index : m.values)
        m.MPIGatherPackedGrid(index, m.mask, m.counts, m.cells, m.lakeValues);
      m.MPIScatterPackedGrid(m.values[0], m.mask, m.counts, m.cells, m.lakeValues);
    }));
  }
  state.counters["processes"] = size;
}

BENCHMARK(BM_InitLake)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LakeBalance)
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LakeExchange)
    ->Iterations(exchangeIterations)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
  return runBenchmarksUnderMPI(argc, argv, [] { enterBenchWorkFolder("lake_bench", ""); });
}
