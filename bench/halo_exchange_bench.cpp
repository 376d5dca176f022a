// Time of one halo exchange of a 4000 x 4000 grid cut into equal row strips,
// one per MPI process. Run under mpirun (for example with 2 and 4
// processes); rank 0 prints the figures. Each iteration is timed from a
// barrier to the last process's completion.
#include <benchmark/benchmark.h>
#include <mpi.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "core/modelobject.h"

namespace {

constexpr long gridSize = 4000;
constexpr int iterations = 200;

// Process p owns a block of whole rows, the highest rank the first rows, and
// receives the full rows next to its block from the processes above and below.
class HaloModule : public modelobject {
public:
  HaloModule(DiagStream* diag, int rank, int size)
      : modelobject(diag, "", 0, false, false, false, "", "", nullptr, &sendList, &receiveList, 0,
                    0) {
    const long rows = gridSize / size;
    const long first = (size - 1 - rank) * rows + 1;
    const long last = rank == 0 ? gridSize : first + rows - 1;
    header.ncols = gridSize;
    header.nrows = gridSize;
    header.firstRow = first;
    header.lastRow = last;
    lo = std::max(1L, first - 1);
    hi = std::min(gridSize, last + 1);
    const int width = static_cast<int>(gridSize);
    if (rank + 1 < size)
      receiveList.push_back(HaloStrip{static_cast<int>(first - 1), 1, width, rank + 1});
    if (rank > 0) receiveList.push_back(HaloStrip{static_cast<int>(last + 1), 1, width, rank - 1});
    if (rank > 0) sendList.push_back(HaloStrip{static_cast<int>(last), 1, width, rank - 1});
    if (rank + 1 < size) sendList.push_back(HaloStrip{static_cast<int>(first), 1, width, rank + 1});
    grid = matrix(lo, hi, 1, gridSize, gridSize);
  }
  ~HaloModule() override { free_matrix(grid, lo, hi, 1, gridSize); }

  Grid grid = nullptr;

private:
  std::vector<HaloStrip> sendList;
  std::vector<HaloStrip> receiveList;
  long lo = 1;
  long hi = 1;
};

struct QuietLog {
  std::ostringstream console;
  DiagStream diag{"halo_exchange_bench.xml", 0, &console, &console};
};

template <typename Exchange> void timeExchange(benchmark::State& state, Exchange exchange) {
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  QuietLog log;
  HaloModule module(&log.diag, rank, size);
  for (auto _ : state) state.SetIterationTime(slowest([&] { exchange(module); }));
  state.counters["processes"] = size;
  state.SetBytesProcessed(state.iterations() * 2 * (size - 1) * gridSize * 8);
}

void BM_ExchangeGridHalo(benchmark::State& state) {
  timeExchange(state, [](HaloModule& m) { m.MPIExchangeGridHalo(0, m.grid); });
}

void BM_SplitHaloExchange(benchmark::State& state) {
  timeExchange(state, [](HaloModule& m) {
    m.MPIStartHaloReceive(0, m.grid);
    m.MPIStartHaloSend(0, m.grid);
    m.MPIWaitHaloExchange(0);
  });
}

// Every rank must run the same number of iterations, so the count is fixed.
BENCHMARK(BM_ExchangeGridHalo)
    ->Iterations(iterations)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SplitHaloExchange)
    ->Iterations(iterations)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
