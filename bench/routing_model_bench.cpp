// The routing module's step on 10,000 subbasins: a binary tree whose
// subbasin i receives subbasins 2i and 2i + 1 by one tributary channel each
// (5,000 routing descriptions, 9,999 channels of 500 m), tables of 100 rows, 4
// sub-intervals, with one tracer and without. Counts element-steps and
// channel-sub-interval steps per second; the set-up (reading the section,
// building the tables, the initial routing) is timed on its own. Routing
// runs on one thread; the thread count shows that it does not depend on it.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "bench/routing_bench_model.h"

namespace {

constexpr int side = 100;
constexpr int subbasins = side * side;
constexpr int descriptions = subbasins / 2;
constexpr int channels = subbasins - 1;
constexpr int subIntervals = 4;

std::string controlText(const std::string& directory) {
  // Subbasins of 1 km^2; each description's area holds its whole subtree.
  std::vector<int> cells(subbasins + 2, 0);
  for (int i = subbasins; i >= 1; --i)
    cells[i] = 1 + (2 * i <= subbasins ? cells[2 * i] : 0) +
               (2 * i + 1 <= subbasins ? cells[2 * i + 1] : 0);
  std::ostringstream c;
  c << "[routing_model]\n1\n60\n10 1000 99 " << subIntervals << "\n"
    << directory << "routed.stat 2001\nnone.txt\n0\n0\n";
  for (int i = descriptions; i >= 1; --i) {
    c << "TG " << i << " (AREA = " << cells[i] << ", F = 1)";
    for (int t : {2 * i, 2 * i + 1})
      if (t <= subbasins)
        c << " OL " << t << " (K = 2, KF = 4, B = 2, BF = 20, T = 1, M = 30, MF = 15, "
          << "I = 0.01, L = 500, A = " << cells[t] << ")";
    c << "\n";
  }
  c << "end\n\n[output_interval]\n1\n0\n1\n0\n";
  return c.str();
}

struct TreeModel {
  explicit TreeModel(int tracers)
      : bench("horva_routing_bench_" + std::to_string(tracers), side, side, tracers, controlText) {}

  // One hour of a wave that runs through the flood plains.
  void step(long k) {
    const double wave = std::sin(0.05 * static_cast<double>(k % 126));
    for (int i = 1; i <= subbasins; ++i)
      bench.runoff[0][i] = 0.05 + 3.0 * wave * wave * (i % 7) / 7.0;
    bench.model->RouteTimeStep(0, k % 24, 1 + (k / 24) % 28, 1, 2001);
  }

  RoutingBenchModel bench;
};

void BM_RouteTree(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  TreeModel tree(static_cast<int>(state.range(1)));
  long k = 0;
  for (auto _ : state) tree.step(k++);
  const double steps = static_cast<double>(state.iterations());
  state.counters["element_steps_per_s"] =
      benchmark::Counter(steps * descriptions, benchmark::Counter::kIsRate);
  state.counters["channel_subinterval_steps_per_s"] =
      benchmark::Counter(steps * channels * subIntervals, benchmark::Counter::kIsRate);
}

void BM_SetUpTree(benchmark::State& state) {
  for (auto _ : state) {
    auto tree = std::make_unique<TreeModel>(static_cast<int>(state.range(0)));
    state.PauseTiming();
    const std::string log = tree->bench.console.str();
    const std::size_t at = log.find("routing the initialization discharges (");
    if (at != std::string::npos)
      state.counters["initial_routings"] = std::atof(log.c_str() + at + 39);
    tree.reset();
    state.ResumeTiming();
  }
}

BENCHMARK(BM_RouteTree)
    ->ArgNames({"threads", "tracers"})
    ->Args({1, 0})
    ->Args({8, 0})
    ->Args({1, 1})
    ->Args({8, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetUpTree)
    ->ArgName("tracers")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
