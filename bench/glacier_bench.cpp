// Glaciers in the snow model on the 1000 x 1000 grid: 30 % of the cells are
// glacierized, in about 1000 glaciers of 18 x 11 cells (glacier method 12,
// degree-day snow with radiation). BM_GlacierSnowStep times the snow step
// and the closing step with 1 and 8 OpenMP threads ("items_per_second" is
// cell-steps per second); BM_AnnualBalance times the closing step at the end
// of the evaluation day, whose balance grows and shrinks every glacier
// (rank 0, gathers and scatters included). Each step is timed as the
// slowest process sees it. Run under mpirun --bind-to none; only rank 0
// prints.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "bench/bench_catchment.h"
#include "bench/cell_steps.h"
#include "bench/mpi_bench_main.h"
#include "bench/snow_bench_catchment.h"
#include "snow/schneemodellklasse.h"

namespace {

constexpr long tile = 18;

// The glacier of a cell: the upper 11 rows of every other 18 x 18 tile.
double glacierCode(long r, long c) {
  const long t = (r - 1) / tile * (benchGridSize / tile + 1) + (c - 1) / tile;
  if (!insideBenchCatchment(r, c) || t % 2 != 0 || (r - 1) % tile >= 11) return -9999.0;
  return static_cast<double>(t / 2 + 1);
}

struct Domain : SnowBenchCatchment {
  Domain() {
    add("global_radiation", [](long, long) { return 200.0; });
    add("GlacierizedCells",
        [](long r, long c) { return glacierCode(r, c) > 0.0 ? 0.5 + 0.5 * ((r + c) % 2) : 0.0; });
    add("GlacierCodes", glacierCode);
  }

  // Degree-day snow with daily statistics of every series, glacier method
  // 12 balancing at the end of 30 September; no grid output.
  std::unique_ptr<schneemodellklasse> module() {
    const std::string file = "glacier_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream out(file);
    writeSnowBenchSection(out, 1);
    auto grid = [&](const char* name) { out << name << ".asc\n0\n"; };
    auto statistic = [&](const char* name) { out << name << ".stat 1024\n"; };
    out << "[ice_firn]\n12\n8\n6\n4\n2\n0.001\n0.003\n0.0005\n0.0015\n5\n10\n20\n0\n0\n0\n";
    grid("firn");
    statistic("qfirn");
    grid("ice");
    statistic("qice");
    statistic("qglac");
    statistic("qsnowonglac");
    out << "0\n3 1800 0.5\n30 9\n28.5 1.36 5 1\n";
    grid("firnstack");
    statistic("firn");
    grid("mb");
    grid("mbold");
    statistic("mb1");
    statistic("mb2");
    out << "1\n";
    statistic("snowglac");
    for (const char* name : {"gsolid", "gliquid", "gtotal", "gmelt", "gsurf", "gtemp", "gevap"})
      grid(name);
    out << "1000 0.25\n";
    out.close();
    return buildSnowBenchModule(context, file);
  }
};

Domain& domain() {
  static Domain d;
  return d;
}

void BM_GlacierSnowStep(benchmark::State& state) {
  Domain& d = domain();
  timeCellSteps(
      state, d, [&] { return d.module(); },
      [&](schneemodellklasse& module, long step) {
        // Frost and thaw: snow on the glaciers, then firn and ice melt.
        d.fillShowers(d.precipitation, d.temperature, step, 0.0, 1.0 + 4.0 * std::sin(step * 0.3));
        return slowest([&] { snowBenchStep(module, step, 6); });
      });
}

void BM_AnnualBalance(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Domain& d = domain();
  std::unique_ptr<schneemodellklasse> module = d.module();
  const Grid balance =
      d.registry[static_cast<size_t>(module->findGrid("GlacierMassBalance", 1))].grid;
  const Grid old =
      d.registry[static_cast<size_t>(module->findGrid("OldGlacierMassBalance", 1))].grid;
  std::set<double> glaciers;
  for (long r = 1; r <= benchGridSize; ++r)
    for (long c = 1; c <= benchGridSize; ++c)
      if (glacierCode(r, c) > 0.0) glaciers.insert(glacierCode(r, c));
  for (auto _ : state) {
    // A year of loss on the lower glaciers and of gain on the upper ones.
    for (long r = d.lo; r <= d.hi; ++r)
      for (long c = 1; c <= benchGridSize; ++c) {
        if (!insideBenchCatchment(r, c)) continue;
        balance[r][c] = r > 500 ? -1500.0 : 800.0;
        old[r][c] = 0.0;
      }
    state.SetIterationTime(slowest([&] { module->computeGlacierStep(0, 23, 30, 9, 2021); }));
  }
  module->releaseModule();
  state.counters["glaciers"] = static_cast<double>(glaciers.size());
  state.counters["processes"] = d.size;
}

BENCHMARK(BM_GlacierSnowStep)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_AnnualBalance)->Arg(8)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
