// The whole model on the example catchment at 1000 x 1000 cells, with
// radiation correction, snow and interception switched on besides the
// example's evapotranspiration, unsaturated zone and channel routing
// (silting-up, surface routing and irrigation need inputs the example does
// not write): set-up untimed, then one day of hourly steps with every place
// of the step timed.
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

// Degree-day snow with radiation melt; outputs off.
const std::string snowSection = "[snow_model]\n1\n60\n1\n2.0\n0.5\n0.0\n0.1\n0.05\n2.5\n0.2\n"
                                "0.1\n0.01\n0.5\n1.5\n0.4\n0.9\n"
                                "rain.asc\n0\nrain.stat 0\nsnow.asc\n0\nsnow.stat 0\n"
                                "snowdays.asc\n0\nsnowdays.stat 0\nsnowage.asc\n0\nsnowage.stat 0\n"
                                "albedo.stat 0\nqsnow.asc\n0\nqsnow.stat 0\nqmelt.asc\n0\n"
                                "qmelt.stat 0\nssnow.asc\n0\nwsnow.asc\n0\nsnowstorage.stat 0\n"
                                "snowstorage.asc\n0\n0\n\n";

// Interception after snow, on the potential transpiration.
const std::string interceptionSection =
    "[interception_model]\n1\n60\n1\ntf.asc\n0\ntf.stat 0\nei.asc\n0\nei.stat 0\n"
    "si.asc\n0\nsi.stat 0\n0.2\n0\n\n";

// The example's control file with the modules it leaves off switched on.
std::string everyModuleOn(std::string text) {
  const std::pair<std::string, std::string> switches[] = {
      {"[radiation_correction]\n0   radiation correction off\n60  time interval in minutes\n",
       "[radiation_correction]\n1   on\n60  minutes\n1   slope, aspect and shading\n"
       "tcorr.asc\n0\n1.0\nexkorr.asc\n0\nshape.asc\n0\n1\n1\n\n" +
           snowSection + interceptionSection},
  };
  for (const auto& [off, on] : switches) {
    const size_t at = text.find(off);
    if (at == std::string::npos) {
      std::fprintf(stderr, "the example's control file lacks\n%s", off.c_str());
      std::exit(1);
    }
    text.replace(at, off.size(), on);
  }
  return text;
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
  std::ifstream in(catchmentFolder() / "catchment.ctl");
  std::stringstream text;
  text << in.rdbuf();
  std::ofstream(run / "catchment.ctl") << everyModuleOn(text.str());
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
