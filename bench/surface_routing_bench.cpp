// Surface routing on the 1000 x 1000 catchment of 100 m cells turned into a
// plane tilted east by 1 % with 20 mm of water on every cell and a river
// down column 900: the flux and head-update sweeps of method 2 (one inner
// step each), one head-iteration sweep of method 6 (both colours with the
// halo exchange between them), and whole sub-steps of 15 minutes of both
// methods, with 1 and 8 OpenMP threads. "items_per_second" is cell-steps
// per second (cells times inner steps for whole sub-steps), each step timed
// as the slowest process sees it. Run under mpirun --bind-to none with 1
// and 4 processes; only rank 0 prints.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_catchment.h"
#include "bench/mpi_bench_main.h"
#include "config/landuse_class.h"
#include "lateral/surfaceroutingclass.h"

namespace {

// The module with its inner steps at hand.
class CountedRouting : public surfaceroutingclass {
public:
  using surfaceroutingclass::surfaceroutingclass;
  size_t innerSteps() const {
    InnerSteps steps(substepSeconds(), minSubTimeStep);
    size_t count = 0;
    for (; !steps.done(); ++count) {
      steps.take();
      steps.setLater(subTimeStep);
    }
    return count;
  }
};

struct Plane : BenchCatchment {
  Plane() {
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= benchGridSize; ++c)
        registry[4].grid[r][c] = 2000.0 - 1.0 * static_cast<double>(c);
    for (const char* name : {"landuse1", "vegetation_coverage_degree1", "soil_types"})
      add(name, [](long, long) { return 1.0; });
    for (const char* name : {"interflow", "river_links"}) add(name, [](long, long) { return 0.0; });
    directflow = add("directflow", [](long, long) { return 20.0; });
    for (const char* name : {"river_depth", "river_width"})
      add(name, [](long, long c) { return c == 900 ? 1.0 : nodata; });
    landuse[0].setCode(1);
    parseLanduseEntry(landuse[1], nullptr,
                      "FixDays = 100 200; LAI = 1 1; VCF = 1 1; RootDepth = 1 1; "
                      "Albedo = 0.2 0.2; Z0 = 1 1; RSC = 1 1; RSI = 1 1; RSE = 1 1; }",
                      "bench");
    context.landuseTable = &landuse;
    // Whole rows, the highest rank at the top: the row above the strip comes
    // from the next rank, the row below from the previous one.
    const auto strip = [&](long r, int peer) {
      long a = 0, b = -1;
      for (long c = 1; c <= benchGridSize; ++c)
        if (insideBenchCatchment(r, c)) {
          if (a == 0) a = c;
          b = c;
        }
      return HaloStrip{static_cast<int>(r), static_cast<int>(a), static_cast<int>(b - a + 1), peer};
    };
    if (rank + 1 < size) {
      receives.push_back(strip(first - 1, rank + 1));
      sends.push_back(strip(first, rank + 1));
    }
    if (rank > 0) {
      receives.push_back(strip(last + 1, rank - 1));
      sends.push_back(strip(last, rank - 1));
    }
    context.haloReceiveList = &receives;
    context.haloSendList = &sends;
  }

  std::unique_ptr<CountedRouting> module(int method) {
    const std::string file = "surface_routing_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream out(file);
    out << "[SurfaceRoutingModel]\n1\n60\n" << method << "\nqd 0\nqi 0\nqb 0\nqg 0\n"
        << "v.stk\n0\nf.stk\n0\n0.0001\n20\n0.00001\n50\n1\n100\n0.01\n1.0\n0\n";
    out.close();
    context.controlFileName = file;
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= benchGridSize; ++c) directflow[r][c] = 20.0;
    int code = 0;
    auto m = constructSubmodel<CountedRouting>(code, context, 4u);
    if (code != 0) MPI_Abort(MPI_COMM_WORLD, code);
    m->runPreparationSweep();
    return m;
  }
  void exchange(surfaceroutingclass& m, surfaceroutingclass::GridSlot slot) {
    const int index = m.getRegistryIndex(slot);
    if (registry[static_cast<size_t>(index)].stack)
      m.MPIExchangeStackHalo(index, 10);
    else
      m.MPIExchangeGridHalo(index);
  }

  Grid directflow = nullptr;
  std::vector<landuse_class> landuse = std::vector<landuse_class>(2);
  std::vector<HaloStrip> receives, sends;
};

Plane& plane() {
  static Plane p;
  return p;
}

using S = surfaceroutingclass;

void BM_Method2FluxAndHeadUpdate(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Plane& p = plane();
  auto m = p.module(2);
  const long cells = p.cellCount();
  long pass = 0;
  for (auto _ : state) {
    state.SetIterationTime(slowest([&] {
      for (S::GridSlot slot : {S::headSlot, S::fluxesSlot}) p.exchange(*m, slot);
      m->runFlowSweep(pass, pass);
      p.exchange(*m, S::fluxesSlot);
      m->runHeadUpdateSweep(10.0);
    }));
    ++pass;
  }
  m->teardown(false);
  state.counters["processes"] = p.size;
  state.SetItemsProcessed(state.iterations() * cells);
}

void BM_Method6HeadIteration(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Plane& p = plane();
  auto m = p.module(6);
  m->runConductanceSweep();
  p.exchange(*m, S::roughnessXSlot);
  p.exchange(*m, S::roughnessYSlot);
  const long cells = p.cellCount();
  long iteration = 1;
  for (auto _ : state)
    state.SetIterationTime(slowest([&] { m->runHeadIterationSweep(iteration++, 30.0); }));
  m->teardown(false);
  state.counters["processes"] = p.size;
  state.SetItemsProcessed(state.iterations() * cells);
}

void wholeSubsteps(benchmark::State& state, int method) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  Plane& p = plane();
  auto m = p.module(method);
  surfaceroutingclass::RunoffArrays baseflow(1, std::vector<double>(2, 0.0));
  std::vector<TracerRecord> none(1);
  int code = 0;
  m->initTracers(code, 0, none, nullptr, 0);
  m->setQBb(&baseflow);
  const long cells = p.cellCount();
  double cellSteps = 0.0;
  for (auto _ : state) {
    for (long r = p.lo; r <= p.hi; ++r)
      for (long c = 1; c <= benchGridSize; ++c) p.directflow[r][c] = 20.0;
    state.SetIterationTime(slowest([&] { m->routeSubstep(0, 6, 1, 5, 2021); }));
    cellSteps += static_cast<double>(cells) * static_cast<double>(m->innerSteps());
  }
  m->teardown(false);
  state.counters["processes"] = p.size;
  state.counters["cell-steps/s"] = benchmark::Counter(cellSteps, benchmark::Counter::kIsRate);
  state.SetItemsProcessed(state.iterations() * cells);
}

void BM_Method2Substep(benchmark::State& state) { wholeSubsteps(state, 2); }
void BM_Method6Substep(benchmark::State& state) { wholeSubsteps(state, 6); }

BENCHMARK(BM_Method2FluxAndHeadUpdate)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Method6HeadIteration)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Method2Substep)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_Method6Substep)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
