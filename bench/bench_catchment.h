#pragma once

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/memory_handling.h"
#include "submodel/model_context.h"
#include "submodel/teilmodellklasse.h"

// The 1000 x 1000 grid of 100 m cells of the module benchmarks: hills of up
// to 800 m with an elliptic catchment, shared out in whole rows, the highest
// rank first, as the set-up gives them with "MPIRegions" and "MPIHelper";
// a module context at 47.3 N, 8.9 E from 1 May 2021 6:00 on.
constexpr long benchGridSize = 1000;

inline bool insideBenchCatchment(long r, long c) {
  const double y = (static_cast<double>(r) - 500.5) / 490.0;
  const double x = (static_cast<double>(c) - 500.5) / 470.0;
  return x * x + y * y <= 1.0;
}

inline double benchElevation(long r, long c) {
  const double y = static_cast<double>(r);
  const double x = static_cast<double>(c);
  return 1500.0 + 400.0 * std::sin(y / 83.0) * std::cos(x / 57.0) +
         250.0 * std::sin((x + y) / 131.0) + 150.0 * std::cos((x - 2 * y) / 37.0);
}

struct BenchCatchment {
  static constexpr double nodata = -9999.0;

  BenchCatchment() {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const long n = benchGridSize;
    const long rows = n / size;
    first = (size - 1 - rank) * rows + 1;
    last = rank == 0 ? n : first + rows - 1;
    lo = rank == 0 ? 1 : std::max(1L, first - 1);
    hi = rank == 0 ? n : std::min(n, last + 1);
    auto owner = [=](long r) {
      return static_cast<double>(std::min(size - 1L, size - 1 - (r - 1) / rows));
    };
    add("[zone_grid]", [](long r, long c) { return insideBenchCatchment(r, c) ? 1.0 : nodata; });
    add("MPIRegions",
        [&](long r, long c) { return insideBenchCatchment(r, c) ? owner(r) : nodata; });
    const Grid helper = add("MPIHelper", [](long, long) { return 0.0; });
    add("[elevation_model]", benchElevation);
    ranges.assign(n + 1, RowColumnRange{});
    for (long r = lo; r <= hi; ++r) {
      long count = 0;
      for (long c = 1; c <= n; ++c) {
        if (!insideBenchCatchment(r, c)) continue;
        if (ranges[r].first == 0) ranges[r].first = c;
        ranges[r].last = c;
        ++count;
      }
      // Rank 0: (owner, cells) from the first valid column; the others:
      // (first column, cells) of their own run.
      if (rank == 0) {
        helper[r][1] = owner(r);
        helper[r][2] = static_cast<double>(count);
      } else if (r >= first && r <= last) {
        helper[r][1] = static_cast<double>(ranges[r].first);
        helper[r][2] = static_cast<double>(count);
      }
      if (rank != 0 && (r < first || r > last)) ranges[r] = RowColumnRange{};
    }
    context.diag = &log;
    context.registry = registry.data();
    context.header.ncols = context.header.nrows = n;
    context.header.cellsize = 100.0;
    context.header.firstRow = first;
    context.header.lastRow = last;
    context.rowColumnRange = ranges.data();
    context.startDate = ModelDate{0, 6, 1, 5, 2021};
    context.endDate = ModelDate{0, 0, 31, 12, 2021};
    context.minToIntEnd = 60.0;
    context.latitude = 47.3;
    context.longitude = 8.9;
    context.referenceMeridian = 15.0;
  }
  ~BenchCatchment() {
    for (Grid g : grids) memory.free_matrix(g, lo, hi, 1, benchGridSize);
  }
  BenchCatchment(const BenchCatchment&) = delete;
  BenchCatchment& operator=(const BenchCatchment&) = delete;

  // A grid of f(row, column) over the held rows in the next registry entry.
  template <typename F> Grid add(const std::string& name, F f) {
    Grid g = memory.matrix(lo, hi, 1, benchGridSize, benchGridSize);
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= benchGridSize; ++c) g[r][c] = f(r, c);
    GridRegistryEntry& e = registry[grids.size() + 1];
    e.hasFileName = e.hasName = true;
    e.fileName = e.name = name;
    e.grid = g;
    e.firstRow = lo;
    e.lastRow = hi;
    grids.push_back(g);
    return g;
  }
  // The catchment's cells on all processes.
  long cellCount() const {
    long cells = 0;
    for (long r = first; r <= last; ++r)
      cells += std::max(0L, ranges[r].last - ranges[r].first + 1);
    MPI_Allreduce(MPI_IN_PLACE, &cells, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
    return cells;
  }
  // What the interpolators leave in a step of showers around a temperature
  // t: base + 0.2 k mm of rain in bands that move each step, and t rising
  // 1 K every thousand columns.
  void fillShowers(Grid precipitation, Grid temperature, long step, double base, double t) {
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= benchGridSize; ++c) {
        precipitation[r][c] = base + 0.2 * ((r + c + step) % 5);
        temperature[r][c] = t + 0.001 * (c - 500);
      }
  }
  // Zone 1 alone, held by rank 0, for the modules' zonal statistics.
  void useOneZone() {
    context.zoneCount = 1;
    context.zoneRecords = &zoneRecords;
    context.zoneRanks = &zoneRanks;
  }

  int rank = 0, size = 1;
  long first = 1, last = 0, lo = 1, hi = 0;
  std::ostringstream console;
  DiagStream log{"bench_catchment.xml", 0, &console, &console};
  memory_handling memory;
  std::vector<GridRegistryEntry> registry = std::vector<GridRegistryEntry>(gridRegistrySize);
  std::vector<RowColumnRange> ranges;
  std::vector<Grid> grids;
  std::vector<ZoneRecord> zoneRecords = {ZoneRecord{0, 0, 1, 1, 0}, ZoneRecord{0, 0, 1, 1, 0}};
  std::vector<int> zoneRanks = {0, 1};
  ModelContext context;
};

// The module of the control file; a failure stops every process.
template <typename Module>
std::unique_ptr<Module> constructBenchModule(ModelContext& context, const std::string& file) {
  context.controlFileName = file;
  int code = 0;
  auto m = constructSubmodel<Module>(code, context);
  if (code != 0) MPI_Abort(MPI_COMM_WORLD, code);
  return m;
}
