#pragma once

#include <benchmark/benchmark.h>
#include <omp.h>

#include "bench/bench_catchment.h"

// Times a module's steps on the benchmark catchment with state.range(0)
// OpenMP threads. make() builds the module once the threads are set;
// step(module, n) refills the inputs of step n and returns the seconds of the
// step alone as the slowest process sees them. "items_per_second" is
// cell-steps per second.
template <typename Make, typename Step>
void timeCellSteps(benchmark::State& state, const BenchCatchment& d, Make make, Step step) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  auto module = make();
  const long cells = d.cellCount();
  long n = 0;
  for (auto _ : state) state.SetIterationTime(step(*module, n++));
  module->releaseModule();
  state.counters["processes"] = d.size;
  state.SetItemsProcessed(state.iterations() * cells);
}
