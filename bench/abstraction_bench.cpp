// The routing module's step on a chain of subbasins of 1 km^2, each routing
// description after the first with an internal inflow fed by the
// abstraction of the description before it (the subbasin upstream), so
// that every abstraction delivers in the same step:
// - 10,000 subbasins without reservoirs: the inflows constant (no
//   abstraction) against "intern" abstractions of half the flow;
// - 1,000 subbasins, each with a reservoir (dTmin 60 s, 60 sub-steps):
//   without abstractions against "intern_with_rule_from_reservoir" with a
//   weekly timetable. A reservoir keeps 2 MB of output rows, so 10,000 of
//   them would need 21 GB.
// Counts element-steps per second; routing runs on one thread, the thread
// count shows that it does not depend on it.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <sstream>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "bench/routing_bench_model.h"

namespace {

constexpr int columns = 100;

enum Variant { constantInflows, internShare, reservoirsOnly, reservoirWithdrawals };

int subbasinsOf(Variant v) { return v == constantInflows || v == internShare ? 10000 : 1000; }

std::string controlText(const std::string& directory, Variant v) {
  const int n = subbasinsOf(v);
  const bool reservoirs = v == reservoirsOnly || v == reservoirWithdrawals;
  std::ostringstream c;
  for (int i = 1; reservoirs && i <= n; ++i) {
    c << "[abstraction_rule_reservoir_" << i << "]\n2\n0 0\n1e8 10\nWeekDays = -1\n\n";
    if (v == reservoirWithdrawals && i < n)
      c << "[abstraction_rule_abstraction_" << i
        << "]\n2\n0 0\n1e8 20\nWeekDays = 12345\nstart_hour = 6\nstop_hour = 20\n\n";
  }
  c << "[routing_model]\n1\n60\n10 1000 99 1\n"
    << directory << "routed.stat 2001\nnone.txt\n0\n0\n";
  const std::string channel =
      " (K = 2, KF = 4, B = 2, BF = 20, T = 1, M = 30, MF = 15, I = 0.01, L = 500, A = 1)";
  for (int i = 1; i <= n; ++i) {
    c << "TG " << i << " (AREA = 1, F = 1)";
    if (i > 1)
      c << " ZL " << i - 1 << " = "
        << (v == constantInflows || v == reservoirsOnly ? "constant 1" : "intern") << channel;
    if (i < n && v == internShare) c << " AL " << i << " = intern 0.1 0.5 100 mm";
    if (i < n && v == reservoirWithdrawals)
      c << " AL " << i << " = intern_with_rule_from_reservoir";
    if (reservoirs)
      c << " SP " << i << " (file = " << directory << "res" << i
        << ".txt V0 = 1e6 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 60)";
    c << "\n";
  }
  c << "end\n\n[output_interval]\n1\n0\n1\n0\n";
  return c.str();
}

struct ChainModel {
  explicit ChainModel(Variant v)
      : n(subbasinsOf(v)),
        bench("horva_abstraction_bench_" + std::to_string(v), n / columns, columns, 0,
              [v](const std::string& directory) { return controlText(directory, v); }) {}

  void step(long k) {
    const long day = 1 + (k / 24) % 28;
    for (int i = 1; i <= n; ++i) bench.runoff[0][i] = 0.2 + 0.1 * ((i + k) % 5);
    bench.model->RouteTimeStep(0, k % 24, day, 1, 2001);
  }

  int n;
  RoutingBenchModel bench;
};

void BM_RouteChain(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  const Variant v = static_cast<Variant>(state.range(1));
  ChainModel chain(v);
  long k = 0;
  for (auto _ : state) chain.step(k++);
  state.counters["element_steps_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * chain.n, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_RouteChain)
    ->ArgNames({"threads", "variant"})
    ->ArgsProduct({{1, 8}, {constantInflows, internShare, reservoirsOnly, reservoirWithdrawals}})
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
