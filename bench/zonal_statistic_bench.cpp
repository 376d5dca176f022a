// Time of one statistics step (resetZones, addValue for every cell of a
// 1000 x 1000 grid in 100 zones, storeStep) against plain sums into the same
// records, the price of the exact sums. Run on one process.
#include <benchmark/benchmark.h>
#include <mpi.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"
#include "core/zonal_statistic.h"

namespace {

constexpr long gridSize = 1000;
constexpr int zones = 100;

long zoneOf(long r, long c) { return 1 + (r * 7 + c / 10) % zones; }
double valueOf(long r, long c) { return 0.001 * r + 0.37 * c; }

struct Statistic {
  Statistic() : records(zones + 1) {
    for (int z = 1; z <= zones; ++z) records[z].code = z, records[z].areaFraction = 1.0 / zones;
    data = records.data();
    statistic = std::make_unique<zonalstatistic>(error, &diag, nullptr, 0, nullptr, 0, 0, &data,
                                                 zones, 2001, 5, fileName, "", 0, nullptr, false);
  }
  ~Statistic() {
    statistic->release();
    std::remove(fileName.c_str());
  }
  std::ostringstream console;
  DiagStream diag{"zonal_statistic_bench.xml", 0, &console, &console};
  std::vector<ZoneRecord> records;
  ZoneRecord* data = nullptr;
  std::string fileName = "zonal_statistic_bench.stat";
  int error = 0;
  std::unique_ptr<zonalstatistic> statistic;
};

void BM_ZonalStatisticStep(benchmark::State& state) {
  Statistic s;
  for (auto _ : state) {
    s.statistic->resetZones();
    for (long r = 1; r <= gridSize; ++r)
      for (long c = 1; c <= gridSize; ++c)
        s.statistic->addValue(r, c, zoneOf(r, c), valueOf(r, c), 1.0);
    s.statistic->storeStep(2020, 1, 1, 0, 0, 1);
  }
  state.SetItemsProcessed(state.iterations() * gridSize * gridSize);
}

void BM_PlainZoneSums(benchmark::State& state) {
  std::vector<ZoneRecord> records(zones + 1);
  for (auto _ : state) {
    for (ZoneRecord& z : records) z.weightSum = z.valueSum = z.effectiveWeight = 0.0;
    for (long r = 1; r <= gridSize; ++r)
      for (long c = 1; c <= gridSize; ++c) {
        ZoneRecord& z = records[zoneOf(r, c)];
        z.weightSum += 1.0;
        z.valueSum += valueOf(r, c);
        z.effectiveWeight += 1.0;
      }
    benchmark::DoNotOptimize(records.data());
  }
  state.SetItemsProcessed(state.iterations() * gridSize * gridSize);
}

BENCHMARK(BM_ZonalStatisticStep)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainZoneSums)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
