// The whole model on the example catchment at 1000 x 1000 cells, with every
// module the example switches on: set-up untimed, then one day of hourly
// steps with every place of the step timed.
// Reports cell-steps per second and prints the share of each module in the
// step (rank 0's times; "driver" is the interpolation, the standard grids
// and the rest the driver does itself). Run under mpirun, e.g.
//   OMP_NUM_THREADS=8 OMP_WAIT_POLICY=PASSIVE mpirun --bind-to none -np 1 whole_model_bench
// HORVA_BENCH_SIZE=<n> runs an n x n catchment instead.
#include <benchmark/benchmark.h>
#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "driver/modell_application.h"

namespace fs = std::filesystem;

namespace {

long catchmentSize() {
  const char* size = std::getenv("HORVA_BENCH_SIZE");
  return size != nullptr ? std::atol(size) : 1000;
}

fs::path catchmentFolder() {
  return fs::absolute("whole_model_catchment_" + std::to_string(catchmentSize()));
}

// One day of hourly data, generated once by rank 0 and kept for later runs.
void prepareCatchment() {
  const fs::path folder = catchmentFolder();
  if (worldRank() == 0 && !fs::exists(folder / "catchment.ctl")) {
    const std::string size = std::to_string(catchmentSize());
    const std::string command = std::string("python3 ") + HORVA_SOURCE_DIR +
                                "/examples/make_catchment.py --rows " + size + " --cols " + size +
                                " --days 1 --out " + folder.string();
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "failed: %s\n", command.c_str());
      std::exit(1);
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

// A clean work folder per process: the control file, the input folder and
// a speed file that shares the rows out equally.
void enterRunFolder() {
  const fs::path run = fs::absolute("whole_model_run_rank" + std::to_string(worldRank()));
  fs::remove_all(run);
  fs::create_directories(run / "output");
  fs::copy_file(catchmentFolder() / "catchment.ctl", run / "catchment.ctl");
  fs::create_directory_symlink(catchmentFolder() / "input", run / "input");
  std::ofstream(run / "MpiSpeedFactor.dat") << "1\n";
  fs::current_path(run);
}

class BenchApplication : public ModellApplication {
public:
  using ModellApplication::ModellApplication;
  long cells() const {
    return std::accumulate(context.cellsPerProcess->begin(), context.cellsPerProcess->end(), 0L);
  }
  double stepsPerDay() const { return context.stepsPerDay; }
};

void printShares(const std::vector<std::pair<std::string, double>>& places, double day,
                 double steps) {
  std::printf("\n| place | ms per step | share of the step |\n|---|---:|---:|\n");
  double modules = 0.0;
  for (const auto& [name, seconds] : places) {
    if (seconds <= 0.0) continue;
    modules += seconds;
    std::printf("| %s | %.1f | %.1f %% |\n", name.c_str(), 1000.0 * seconds / steps,
                100.0 * seconds / day);
  }
  std::printf("| driver | %.1f | %.1f %% |\n\n", 1000.0 * (day - modules) / steps,
              100.0 * (day - modules) / day);
}

void wholeModelDay(benchmark::State& state) {
  const fs::path home = fs::current_path();
  for (auto _ : state) {
    enterRunFolder();
    std::ostringstream console;
    DiagStream diag("diag.xml", 2, &console, &console);
    BenchApplication model(&diag, "catchment.ctl", CommandLine());
    try {
      model.init();
      model.timePlaces();
      const double day = slowest([&] { model.run(); });
      state.SetIterationTime(day);
      const double cells = static_cast<double>(model.cells());
      state.counters["cells"] = cells;
      state.counters["cell_steps_per_s"] = cells * model.stepsPerDay() / day;
      if (worldRank() == 0) printShares(model.placeTimes(), day, model.stepsPerDay());
      model.ClearMemory();
    } catch (int code) {
      std::fprintf(stderr, "the model ended with code %d:\n%s\n", code, console.str().c_str());
      std::exit(1);
    }
    fs::current_path(home);
  }
}
BENCHMARK(wholeModelDay)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv, prepareCatchment); }
