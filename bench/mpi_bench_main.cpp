#include "bench/mpi_bench_main.h"

#include <benchmark/benchmark.h>
#include <mpi.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace {

class SilentReporter : public benchmark::BenchmarkReporter {
public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>&) override {}
};

} // namespace

int worldRank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

double slowest(const std::function<void()>& step) {
  MPI_Barrier(MPI_COMM_WORLD);
  const double start = MPI_Wtime();
  step();
  double elapsed = MPI_Wtime() - start;
  MPI_Allreduce(MPI_IN_PLACE, &elapsed, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  return elapsed;
}

void enterBenchWorkFolder(const std::string& prefix, const std::string& controlText) {
  const std::string directory = prefix + "_rank" + std::to_string(worldRank());
  std::filesystem::create_directories(directory);
  std::filesystem::current_path(directory);
  std::ofstream("MpiSpeedFactor.dat") << "1\n";
  std::ofstream("bench.ctl") << controlText;
}

int runBenchmarksUnderMPI(int argc, char** argv, const std::function<void()>& prepare) {
  MPI_Init(&argc, &argv);
  benchmark::Initialize(&argc, argv);
  if (prepare) prepare();
  if (worldRank() == 0) {
    benchmark::RunSpecifiedBenchmarks();
  } else {
    SilentReporter silent;
    benchmark::RunSpecifiedBenchmarks(&silent);
  }
  benchmark::Shutdown();
  MPI_Finalize();
  return 0;
}

void registerBenchGrid(std::vector<GridRegistryEntry>& registry, const std::string& name, Grid grid,
                       long lastRow) {
  size_t index = 1;
  while (registry[index].hasFileName) ++index;
  GridRegistryEntry& e = registry[index];
  e.hasFileName = e.hasName = true;
  e.fileName = e.name = name;
  e.grid = grid;
  e.firstRow = 1;
  e.lastRow = lastRow;
}
