// Channel-steps per second of the routing element: a chain of 1000 elements,
// each with a tributary channel from the element above and one from its own
// headwater subbasin, 4 sub-intervals, channels of 11 sub-channels with flood
// plains. Serial, one process, one thread.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "routing/routingclass.h"
#include "submodel/model_context.h"

namespace {

constexpr int elements = 1000;
constexpr int subbasins = 2 * elements; // headwaters 1 .. 1000, chain 1001 .. 2000
constexpr int subIntervals = 4;

struct Chain {
  Chain() {
    omp_set_num_threads(1);
    context.diag = &diag;
    std::vector<TracerRecord>* none = &tracers;
    context.tracerTable = none;
    step.assign(subbasins + 1, 0.0);
    stepRows = {step.data()};
    sub.assign(subIntervals + 1, std::vector<double>(subbasins + 1, 0.0));
    for (auto& row : sub) subRows.push_back(row.data());
    subTable = {subRows.data()};
    queueRows.assign(subbasins + 1, nullptr);
    queueTable = {queueRows.data()};
    areas.assign(2, std::vector<double>(subbasins + 1, 1.0));
    areaRows = {areas[0].data(), areas[1].data()};
    for (int code = 0; code <= subbasins; ++code) columns.push_back(code);
    for (int k = 1; k <= elements; ++k) {
      RoutingElementLayout layout;
      layout.subbasins = subbasins;
      layout.subIntervals = subIntervals;
      layout.subbasinCode = elements + k;
      layout.elementArea = 2.0 * k;
      layout.tributaries = k == 1 ? 1 : 2;
      layout.areaTable = areaRows.data();
      layout.columnMap = &columns;
      int error = 0;
      chain.push_back(std::make_unique<routingclass>(error, context, layout));
      routingclass& e = *chain.back();
      std::vector<int> tributaries = {k};
      if (k > 1) tributaries.push_back(elements + k - 1);
      int c = 0;
      for (int code : tributaries) {
        e.BuildRoutingTables(++c, code, {}, 2.0, 4.0, 20.0, 200.0, 2.0, 30.0, 15.0, 0.001, 10000.0,
                             500.0, 1.0, 1000.0, 30.0, true);
      }
      e.CheckBasinArea();
    }
    for (int i = 1; i <= subbasins; ++i) step[i] = 0.5;
    for (auto& e : chain)
      e->SetFlowArrays(stepRows.data(), subTable.data(), queueTable.data(), nullptr, nullptr);
    for (auto& e : chain) e->InitChannelStates();
  }

  // One step of a flood on the headwaters.
  void route(long stepNumber) {
    const double wave = std::sin(0.05 * static_cast<double>(stepNumber % 126));
    for (int i = 1; i <= elements; ++i)
      for (int n = 1; n <= subIntervals; ++n) sub[n][i] = 0.05 + 2.0 * wave * wave;
    for (auto& e : chain) e->Route(2001, 1, 1, 0, 0);
  }

  std::ostringstream console;
  DiagStream diag{"routing_element_bench.xml", 0, &console, &console};
  ModelContext context;
  std::vector<TracerRecord> tracers{1};
  std::vector<double> step;
  std::vector<double*> stepRows;
  std::vector<std::vector<double>> sub;
  std::vector<double*> subRows;
  std::vector<double**> subTable;
  std::vector<double*> queueRows;
  std::vector<double**> queueTable;
  std::vector<std::vector<double>> areas;
  std::vector<double*> areaRows;
  std::vector<int> columns;
  std::vector<std::unique_ptr<routingclass>> chain;
};

void BM_RouteChain(benchmark::State& state) {
  Chain chain;
  long stepNumber = 0;
  for (auto _ : state) chain.route(stepNumber++);
  state.counters["channel_steps_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * (2 * elements - 1), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_RouteChain)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
