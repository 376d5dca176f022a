// The MPI domain decomposition of a 4000 x 4000 grid with a ragged catchment
// (with lakes and, in one variant, river links), timed as the slowest
// process sees it. Run under mpirun, for example with 1, 2, 4 and 8
// processes; only rank 0 prints.
#include <benchmark/benchmark.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "config/defaultini.h"
#include "bench/mpi_bench_main.h"
#include "core/diag_stream.h"

namespace {

constexpr long gridSize = 4000;
constexpr double nodata = -9999.0;

// An ellipse with a wavy edge, lakes and scattered single holes.
bool insideCatchment(long r, long c) {
  const double y = (static_cast<double>(r) - 2000.5) / 1950.0;
  const double x = (static_cast<double>(c) - 2000.5) / 1800.0;
  const double angle = std::atan2(y, x);
  const double edge = 0.86 + 0.08 * std::sin(7 * angle) + 0.04 * std::sin(23 * angle + 1.0) +
                      0.02 * std::sin(61 * angle + 2.0);
  if (x * x + y * y > edge * edge) return false;
  for (const double centre : {0.3, -0.2, 0.55}) {
    const double dx = x - centre;
    const double dy = y + centre * 0.7;
    if (dx * dx + dy * dy < 0.004) return false;
  }
  return (r * 7919 + c * 104729) % 211 != 0;
}

// River links: meandering channels, each cut into links of 60 cells.
double riverLinkAt(long r, long c) {
  for (int channel = 0; channel < 12; ++channel) {
    const double centre = 300.0 + 300.0 * channel + 40.0 * std::sin(static_cast<double>(r) / 90.0);
    if (std::fabs(static_cast<double>(c) - centre) < 1.5)
      return 1.0 + channel * 100.0 + static_cast<double>(r / 60);
  }
  return 0.0;
}

class BenchModel : public defaultini {
public:
  BenchModel(int& error, DiagStream* diag, const std::string& control, GridRegistryEntry* table)
      : defaultini(error, diag, control, nullptr, 0, 2, table) {}
  using defaultini::header;
};

// A whole grid of rank 0, rows and columns from 1.
struct WholeGrid {
  std::vector<double> cells;
  std::vector<double*> rows;
  void fill(const std::function<double(long, long)>& value) {
    cells.assign(static_cast<size_t>((gridSize + 1) * (gridSize + 1)), nodata);
    rows.assign(static_cast<size_t>(gridSize + 1), nullptr);
    for (long r = 1; r <= gridSize; ++r) {
      rows[static_cast<size_t>(r)] = &cells[static_cast<size_t>(r * (gridSize + 1))];
      for (long c = 1; c <= gridSize; ++c) rows[static_cast<size_t>(r)][c] = value(r, c);
    }
  }
  Grid grid() { return rows.empty() ? nullptr : rows.data(); }
};

// The grids of rank 0, built once.
struct Domain {
  WholeGrid zone;
  WholeGrid elevation;
  WholeGrid links;
};

Domain& domain() {
  static Domain d;
  if (worldRank() != 0 || !d.zone.rows.empty()) return d;
  d.zone.fill([](long r, long c) { return insideCatchment(r, c) ? 1.0 : nodata; });
  d.elevation.fill([](long r, long c) { return 3000.0 - static_cast<double>(r + c) / 4; });
  d.links.fill(riverLinkAt);
  return d;
}

void decompose(benchmark::State& state) {
  const bool withLinks = state.range(0) != 0;
  const std::string control = std::filesystem::absolute("bench.ctl").string();
  Domain& d = domain();
  long cells = 0;
  size_t links = 0;
  for (auto _ : state) {
    std::ostringstream console;
    DiagStream diag("bench_diag.xml", 0, &console, &console);
    std::vector<GridRegistryEntry> registry(gridRegistrySize);
    int error = 0;
    BenchModel model(error, &diag, control, registry.data());
    model.header.ncols = gridSize;
    model.header.nrows = gridSize;
    model.header.nodata = nodata;
    model.registerGrid(1, "zone.asc", d.zone.grid(), nullptr, 0, "[zone_grid]", 0, 1, gridSize);
    model.registerGrid(2, "dem.asc", d.elevation.grid(), nullptr, 0, "[elevation_model]", 0, 1,
                       gridSize);
    if (withLinks)
      model.registerGrid(3, "links.asc", d.links.grid(), nullptr, 0, "river_links", 0, 1, gridSize);
    std::vector<long> perProcess;
    std::vector<HaloStrip> sendList;
    std::vector<HaloStrip> receiveList;
    state.SetIterationTime(slowest([&] {
      model.makeMPIRegions(perProcess, sendList, receiveList, model.header.firstRow,
                           model.header.lastRow);
    }));
    cells = 0;
    for (long n : perProcess) cells += n;
    links = model.getRiverLinks().size();
    for (int i = 1; i <= 3; ++i) model.unregisterGrid(i);
  }
  state.counters["cells"] = static_cast<double>(cells);
  state.counters["links"] = static_cast<double>(links);
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  state.counters["processes"] = size;
}
BENCHMARK(decompose)->Arg(0)->Arg(1)->ArgName("links")->Iterations(5)->UseManualTime()->Unit(
    benchmark::kMillisecond);

// One pass of the speed measurement's kernel over 1000 x 1000 cells; the
// measurement runs it 30 times when "MpiSpeedFactor.dat" is absent.
void speedKernel(benchmark::State& state) {
  std::vector<double> cells(3 * 1001 * 1001);
  std::vector<double*> rows(3 * 1001);
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = cells.data() + i * 1001;
  for (auto _ : state) defaultini::benchmarkKernel(&rows[0], &rows[1001], &rows[2002], 1000, 1000);
}
BENCHMARK(speedKernel)->Iterations(20)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
  return runBenchmarksUnderMPI(argc, argv, [] {
    enterBenchWorkFolder("decomposition_bench", "[unsatzon_model]\n1\n1\n1\n2 re-infiltration\n");
  });
}
