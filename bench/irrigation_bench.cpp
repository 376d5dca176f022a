// Irrigation on a 1000 x 1000 grid in 100 subbasins of 100 x 100 cells,
// every cell irrigated: schedules, soil moisture and evapotranspiration
// ratio, from groundwater and from surface water, the rivers offering half
// of what the first subbasins ask, with 1 and 8 OpenMP threads. Each step
// keeps the statistics of every step. "items_per_second" is cell-steps per
// second, each step timed as the slowest process sees it. Run under mpirun
// --bind-to none, for example with 1 and 4 processes; only rank 0 prints.
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_catchment.h"
#include "bench/cell_steps.h"
#include "bench/mpi_bench_main.h"
#include "routing/irrigationclass.h"

namespace {

constexpr int subbasins = 100;

struct Domain : BenchCatchment {
  Domain() {
    const Grid zone = registry[1].grid;
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= benchGridSize; ++c)
        if (zone[r][c] != nodata) zone[r][c] = 1.0 + (r - 1) / 100 * 10 + (c - 1) / 100;
    add("irrigation_codes", [](long r, long c) { return 1.0 + (r + c) % 8; });
    add("Max_Pumping", [](long, long) { return 2.0; });
    add("irrigation_amounts", [](long, long) { return 0.0; });
    moisture = add("SB_1_grid", [](long, long) { return 0.2; });
    add("SBLOW_grid", [](long r, long) { return 0.15 + 0.01 * (r % 10); });
    add("SBHIGH_grid", [](long, long) { return 0.35; });
    add("ETR2ETP", [](long r, long c) { return 0.3 + 0.1 * ((r * c) % 6); });
    add("root_depth1", [](long, long) { return 0.5; });
    precipitation = add("precipitation", [](long, long) { return 0.0; });
    // Types 1 .. 8: methods 1 to 4, each from groundwater and surface water.
    table.assign(9, IrrigationRecord{});
    table[0].code = 8;
    for (int k = 1; k <= 8; ++k) {
      IrrigationRecord& t = table[static_cast<std::size_t>(k)];
      t.code = k;
      t.method = (k - 1) / 2 + 1;
      t.origin = k % 2 + 1;
      t.minEtrEtp = 0.6;
      for (long day = 1; day <= 31; ++day) t.points.push_back({5, day, 12.0});
    }
    context.irrigationTable = &table;
    offered.assign(1, std::vector<double>(subbasins + 1, 0.0));
    reservoirs.assign(1, std::vector<double>(subbasins + 1, 0.0));
    offeredRows = {offered[0].data()};
    reservoirRows = {reservoirs[0].data()};
    // Each row of ten subbasins drains from west to east.
    topology.tributaries.assign(subbasins + 2, 0);
    topology.downstream.assign(subbasins + 1, 0);
    topology.description.assign(subbasins + 1, 1);
    int k = 1;
    for (int z = 1; z <= subbasins; ++z)
      if (z % 10 != 0) {
        topology.tributaries[static_cast<std::size_t>(k++)] = z;
        topology.downstream[static_cast<std::size_t>(z)] = z + 1;
      }
    areas.assign(subbasins + 1, 1.0);
    areaRows = {areas.data(), areas.data()};
  }

  std::unique_ptr<irrigationclass> module() {
    const std::string file = "irrigation_bench_" + std::to_string(rank) + ".ctl";
    std::ofstream out(file);
    out << "[irrigation]\n1\n240\ngw_irr.stat 2001\nsw_irr.stat 2001\n";
    out.close();
    auto m = constructBenchModule<irrigationclass>(context, file);
    m->FindTracerStorageGrids();
    m->SetMaxIrrigation(offeredRows.data(), reservoirRows.data());
    m->SetRoutingTarget(&topology);
    m->SetRoutingElements(areaRows.data());
    return m;
  }

  Grid moisture = nullptr;
  Grid precipitation = nullptr;
  IrrigationTable table;
  std::vector<std::vector<double>> offered, reservoirs;
  std::vector<double*> offeredRows, reservoirRows, areaRows;
  std::vector<double> areas;
  RoutingTopology topology;
};

Domain& domain() {
  static Domain d;
  return d;
}

void BM_IrrigationStep(benchmark::State& state) {
  Domain& d = domain();
  timeCellSteps(
      state, d, [&] { return d.module(); },
      [&](irrigationclass& module, long step) {
        // Rain and the soil change as the other modules would leave them.
        for (long r = d.lo; r <= d.hi; ++r)
          for (long c = 1; c <= benchGridSize; ++c) {
            d.precipitation[r][c] = 0.1 * ((r + c + step) % 3);
            d.moisture[r][c] = 0.1 + 0.05 * ((r + step) % 6);
          }
        for (int z = 1; z <= subbasins; ++z) {
          d.offered[0][static_cast<std::size_t>(z)] = 0.5 + 0.1 * (z % 7);
          d.reservoirs[0][static_cast<std::size_t>(z)] = z % 3 == 0 ? 0.3 : 0.0;
        }
        return slowest([&] { module.Step(0, 4 * (step % 6), 1 + step / 6 % 28, 5, 2021); });
      });
}

BENCHMARK(BM_IrrigationStep)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) { return runBenchmarksUnderMPI(argc, argv); }
