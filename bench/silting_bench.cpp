// Silting-up on a 1000 x 1000 grid of tilled fields: hourly steps of showers
// on a field tilled ten days before, with the built-in formula (method 1) and
// the same formula as expressions (method 3), with 1 and 8 OpenMP threads.
// Each step keeps the statistics of both series. "items_per_second" is
// cell-steps per second, each step timed as the slowest process sees it. Run
// under mpirun --bind-to none; only rank 0 prints.
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_catchment.h"
#include "bench/cell_steps.h"
#include "bench/mpi_bench_main.h"
#include "lateral/siltingupclass.h"

namespace {

struct Domain : BenchCatchment {
  Domain() {
    add("landuse1", [](long, long) { return 1.0; });
    add("vegetation_coverage_degree1", [](long r, long) { return 0.1 + 0.001 * (r % 100); });
    add("soil_types", [](long, long c) { return 1.0 + c % 2; });
    precipitation = add("precipitation", [](long, long) { return 0.0; });
    soilTable.resize(3);
    const char* grains[] = {"", "0.5 0.3 0.15 0.05 0 0 0", "0.3 0.4 0.2 0.1 0 0 0"};
    for (int k = 1; k <= 2; ++k)
      parseSoilEntry(soilTable[static_cast<size_t>(k)], nullptr,
                     std::string("method = MultipleHorizons; layers = 1; thickness = 0.2; ksat = "
                                 "1e-5; theta_sat = 0.45; theta_res = 0.05; alpha = 2; Par_n = "
                                 "1.5; SU_PAR01 = 65; SU_PAR02 = 12.2; SU_PAR03 = 0.52; SU_PAR04 "
                                 "= -0.64; SU_PAR05 = 0.013; SU_PAR06 = -1.03; SU_PAR07 = 0.7; "
                                 "SU_PAR08 = -0.19; GrainSizeDist = ") +
                         grains[k] + "; }",
                     "MultipleHorizons");
    parseLanduseEntry(landuseTable[1], nullptr,
                      "FixDays = 100 200 300; LAI = 1 3 2; VCF = 0.1 0.3 0.2; RootDepth = 1 1 1; "
                      "Albedo = 0.1 0.3 0.2; Z0 = 1 1 1; RSC = 1 1 1; RSI = 1 1 1; RSE = 1 1 1; "
                      "SR_ResidCovrg = 0.1 0.2 0.1; SoilTillage = 110 250; }",
                      "bench");
    context.soilTable = &soilTable;
    context.landuseTable = &landuseTable;
    context.statisticTable = statistics.data();
  }

  std::unique_ptr<siltingupclass> module(int method) {
    const std::string file = "silting_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream out(file);
    out << "[SiltingUpModel]\n1\n60\n" << method << "\nsdisp.stat 1024\nqdsu.stat 1024\n";
    for (const char* name : {"sdisp", "pause", "ekin", "tsbb", "qdsu"}) out << name << ".asc\n0\n";
    out << "1\n0.25\n0\n";
    if (method == 3)
      out << "SiltingUpExpressions { X=A; Y=B*K^C*(100*L)^D; Z=E*(100*L)^F*K^G*O^H;\n"
             "W=(P>0.05)*(P<76.2)*(11.89+8.73*LOG10(P+(P<=0.05)))+(P>=76.2)*28.33;\n"
             "V=((X-Y)*EXP(-Z*Q)+Y)*R/60; }\n";
    out.close();
    auto m = constructBenchModule<siltingupclass>(context, file);
    m->selectWaterInput(0);
    return m;
  }

  Grid precipitation = nullptr;
  std::vector<soil_class> soilTable;
  std::vector<landuse_class> landuseTable = std::vector<landuse_class>(2);
  std::vector<StatisticTableEntry> statistics = std::vector<StatisticTableEntry>(1000);
};

Domain& domain() {
  static Domain d;
  return d;
}

void siltingSteps(benchmark::State& state, int method) {
  Domain& d = domain();
  timeCellSteps(
      state, d, [&] { return d.module(method); },
      [&](siltingupclass& module, long step) {
        for (long r = d.lo; r <= d.hi; ++r)
          for (long c = 1; c <= benchGridSize; ++c)
            d.precipitation[r][c] = step % 6 < 3 ? 2.0 + 0.5 * ((r + c + step) % 40) : 0.0;
        return slowest([&] { module.step(0, step % 24, 20, 4, 2021); });
      });
}

void BM_BuiltInFormula(benchmark::State& state) { siltingSteps(state, 1); }
void BM_Expressions(benchmark::State& state) { siltingSteps(state, 3); }

BENCHMARK(BM_BuiltInFormula)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Expressions)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
