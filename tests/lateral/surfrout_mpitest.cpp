#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/lateral/surfrout_fixture.h"
#include "tests/test_decomposition.h"

namespace {

// The rows of an ASCII grid of the example catchment, [row][column] from 1.
std::vector<std::vector<double>> exampleGrid(const std::string& name) {
  std::ifstream in(std::string(HORVA_TEST_DATA_DIR) + "/../../examples/catchment/input/" + name);
  std::string key;
  double ncols = 0, nrows = 0, value = 0;
  in >> key >> ncols >> key >> nrows;
  for (int k = 0; k < 4; ++k) in >> key >> value;
  std::vector<std::vector<double>> rows(static_cast<size_t>(nrows) + 1,
                                        std::vector<double>(static_cast<size_t>(ncols) + 1));
  for (size_t r = 1; r <= static_cast<size_t>(nrows); ++r)
    for (size_t c = 1; c <= static_cast<size_t>(ncols); ++c) in >> rows[r][c];
  return rows;
}

// The catchment's cells shared out in row order, `owners` equal runs.
OwnerMap shareOut(const std::vector<std::vector<double>>& zones, int owners) {
  long cells = 0;
  for (size_t r = 1; r < zones.size(); ++r)
    for (size_t c = 1; c < zones[r].size(); ++c) cells += zones[r][c] != nodata ? 1 : 0;
  OwnerMap map;
  long seen = 0;
  for (size_t r = 1; r < zones.size(); ++r) {
    std::string row;
    for (size_t c = 1; c < zones[r].size(); ++c) {
      if (zones[r][c] == nodata) {
        row += '.';
        continue;
      }
      row += static_cast<char>('0' + seen * owners / cells);
      ++seen;
    }
    map.push_back(row);
  }
  return map;
}

constexpr int valuesPerCell = 1 + 10 + 10 + 9;

// Surface routing on this process's share of the example catchment, with
// a river down column 40 and water of 20 to 26 mm on every cell.
struct CatchmentRouting {
  // With `statistics`, the five statistics go to files of that prefix and
  // the cells have flow times of 1 to 3 steps.
  CatchmentRouting(const std::string& name, const OwnerMap& map, int method,
                   const std::string& statistics = "")
      : zones(exampleGrid("zones.asc")), dem(exampleGrid("dem.asc")), strips(name, map),
        log(name + "_log"), directory(makeTestDirectory(name + "_files", true)),
        registry(gridRegistrySize), landuse(2) {
    add("[zone_grid]", [&](long r, long c) { return zones[r][c]; });
    add("[elevation_model]", [&](long r, long c) { return dem[r][c]; });
    add("MPIRegions", strips.regions);
    add("MPIHelper", strips.helper);
    for (const char* g : {"landuse1", "vegetation_coverage_degree1", "soil_types"})
      add(g, [](long, long) { return 1.0; });
    add("interflow", [&](long r, long) { return statistics.empty() ? 0.0 : 0.5 * (r % 3); });
    add("river_links", [](long, long) { return 0.0; });
    if (!statistics.empty()) add("flow_times", [](long, long c) { return 1.0 + c % 3; });
    add("directflow", [](long r, long c) { return 20.0 + (r + 2 * c) % 7; });
    for (const char* g : {"river_depth", "river_width"})
      add(g, [](long, long c) { return c == 40 ? 1.0 : nodata; });
    landuse[0].setCode(1);
    parseLanduseEntry(landuse[1], nullptr,
                      "FixDays = 100 200; LAI = 1 1; VCF = 1 1; RootDepth = 1 1; "
                      "Albedo = 0.2 0.2; Z0 = 1 1; RSC = 1 1; RSI = 1 1; RSE = 1 1; }",
                      "test");
    std::vector<std::string> lines = surfroutLines();
    lines[3] = std::to_string(method) + "  method";
    lines[17] = "30  maximum sub time step";
    if (!statistics.empty()) {
      lines[2] = "30  time interval";
      lines[15] = "10  velocity steps";
      const char* kinds[] = {"qd", "qi", "qb", "qg", "", "", "", "", "", "", "", "", "", "",
                             "", "", "", "qs"};
      for (size_t k : {4, 5, 6, 7, 21})
        lines[k] = statistics + kinds[k - 4] + ".stat 2001  statistic";
    }
    const std::string control = directory + "/model.ctl.intern";
    if (strips.rank == 0) writeFile(control, surfroutSection(lines));
    MPI_Barrier(MPI_COMM_WORLD);
    shareStrips(context, strips);
    context.diag = &log.diag;
    context.controlFileName = control;
    context.registry = registry.data();
    context.header.cellsize = 100.0;
    context.landuseTable = &landuse;
    context.outputDirectory = directory + "/";
    int code = 0;
    module = constructSubmodel<TestSurfaceRouting>(code, context, 4u);
    EXPECT_EQ(code, 0);
  }

  template <typename F> void add(const std::string& name, F f) {
    add(name, strips.catchmentGrid(f));
  }
  void add(const std::string& name, Grid grid) {
    registerTestGrid(registry, name, name, grid, strips.lo, strips.hi);
  }
  void exchange(surfaceroutingclass::GridSlot slot) {
    const int index = module->getRegistryIndex(slot);
    if (registry[index].stack)
      module->MPIExchangeStackHalo(index, 10);
    else
      module->MPIExchangeGridHalo(index);
  }

  // Inner steps of 30 s as the routing step runs them.
  void route(int steps) {
    using S = surfaceroutingclass;
    module->runPreparationSweep();
    for (long pass = 0; pass < steps; ++pass) {
      for (S::GridSlot slot : {S::headSlot, S::headOldSlot, S::fluxesSlot}) exchange(slot);
      if (module->flowPathMethod != 6) {
        module->runFlowSweep(pass, pass % 3 == 0 ? pass : 0);
      } else {
        module->runConductanceSweep();
        exchange(S::roughnessXSlot);
        exchange(S::roughnessYSlot);
        for (long i = 1; i <= 20; ++i) {
          exchange(S::headSlot);
          exchange(S::headOldSlot);
          double change = module->runHeadIterationSweep(i, 30.0);
          MPI_Allreduce(MPI_IN_PLACE, &change, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
          if (change <= 1e-7) break;
        }
      }
      for (S::GridSlot slot : {S::headSlot, S::headOldSlot, S::fluxesSlot}) exchange(slot);
      if (module->flowPathMethod == 6) module->runFluxSweeps();
      module->runHeadUpdateSweep(30.0);
    }
  }

  // Whole steps of two sub-steps with rain in the first two steps; like the
  // unsaturated zone, the stand-in hands the water left on the land back.
  void runSteps(int steps) {
    EXPECT_EQ(startRouting(*module, baseflow, constants), 0);
    Grid direct = registry[static_cast<size_t>(module->findGrid("directflow"))].grid;
    Grid left = registry[static_cast<size_t>(module->findGrid("SurfStorSiltingUp"))].grid;
    for (long step = 0; step < steps; ++step) {
      module->startStep(0, step, 2, 6, 2021);
      for (int k = 0; k < 2; ++k) {
        for (long r = strips.lo; r <= strips.hi; ++r)
          for (long c = 1; c <= strips.ncols; ++c)
            if (strips.owner[r][c] == strips.rank)
              direct[r][c] = (step < 2 ? 2.0 + (r + c) % 4 : 0.0) + left[r][c];
        module->routeSubstep(0, step, 2, 6, 2021);
      }
      module->endStep();
    }
    module->flushStatistics();
  }

  // Head, fluxes, velocities and weights of the cell.
  void cellValues(long r, long c, double* out) const {
    using S = surfaceroutingclass;
    const auto entry = [&](S::GridSlot slot) -> const GridRegistryEntry& {
      return registry[static_cast<size_t>(module->getRegistryIndex(slot))];
    };
    out[0] = entry(S::headSlot).grid[r][c];
    std::memcpy(out + 1, entry(S::fluxesSlot).stack[r][c], 10 * sizeof(double));
    std::memcpy(out + 11, entry(S::velocitySlot).stack[r][c], 10 * sizeof(double));
    std::memcpy(out + 21, entry(S::weightsSlot).stack[r][c], 9 * sizeof(double));
  }

  std::vector<std::vector<double>> zones, dem;
  StripModule strips;
  CapturedLog log;
  std::string directory; // shared by the processes
  std::vector<GridRegistryEntry> registry;
  std::vector<landuse_class> landuse;
  ModelContext context;
  surfaceroutingclass::RunoffArrays baseflow{std::vector<double>(4, 0.25)};
  std::vector<double> constants = {0.0, 90.0, 150.0, 240.0};
  std::unique_ptr<TestSurfaceRouting> module;
};

} // namespace

// Every method gives bitwise the same heads, fluxes, velocities and weights
// on 1, 2 or 3 processes and 1 or 4 threads as on one process alone.
TEST(SurfaceRoutingDecomposed, SweepsDoNotDependOnProcessesOrThreads) {
  const auto zones = exampleGrid("zones.asc");
  ASSERT_EQ(zones.size(), 61u);
  const int size = worldSize();
  const int rank = worldRank();
  const int threads = omp_get_max_threads();
  for (int method : {1, 2, 3, 5, 6}) {
    SCOPED_TRACE("method " + std::to_string(method));
    omp_set_num_threads(1);
    CatchmentRouting alone("surfrout_alone", shareOut(zones, 1), method);
    ASSERT_TRUE(alone.module);
    alone.route(12);
    omp_set_num_threads(4);
    CatchmentRouting shared("surfrout_shared", shareOut(zones, size), method);
    ASSERT_TRUE(shared.module);
    shared.route(12);
    omp_set_num_threads(threads);

    const StripModule& s = shared.strips;
    std::vector<double> own;
    double cell[valuesPerCell];
    for (long r = 1; r <= s.nrows; ++r)
      for (long c = 1; c <= s.ncols; ++c)
        if (s.owner[r][c] == rank) {
          shared.cellValues(r, c, cell);
          own.insert(own.end(), cell, cell + valuesPerCell);
        }
    if (rank != 0) {
      MPI_Send(own.data(), static_cast<int>(own.size()), MPI_DOUBLE, 0, 7, MPI_COMM_WORLD);
      continue;
    }
    std::vector<std::vector<double>> received(static_cast<size_t>(size));
    received[0] = own;
    for (int p = 1; p < size; ++p) {
      received[p].resize(static_cast<size_t>(s.cells[p] * valuesPerCell));
      MPI_Recv(received[p].data(), static_cast<int>(received[p].size()), MPI_DOUBLE, p, 7,
               MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }
    std::vector<size_t> next(static_cast<size_t>(size), 0);
    long differing = 0, moving = 0;
    double expected[valuesPerCell];
    for (long r = 1; r <= s.nrows; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const int p = s.owner[r][c];
        if (p < 0) continue;
        alone.cellValues(r, c, expected);
        const double* got = received[p].data() + next[p];
        next[p] += valuesPerCell;
        if (std::memcmp(got, expected, sizeof expected) != 0) ++differing;
        if (expected[1] != 0.0) ++moving;
      }
    EXPECT_EQ(differing, 0);
    EXPECT_GT(moving, 100);
  }
}

// Whole steps give the same statistics lines on any number of processes
// and threads: the zones, the pipeline and the storages are one catchment's.
TEST(SurfaceRoutingDecomposed, StatisticsDoNotDependOnProcessesOrThreads) {
  const auto zones = exampleGrid("zones.asc");
  const int threads = omp_get_max_threads();
  for (int method : {2, 6}) {
    SCOPED_TRACE("method " + std::to_string(method));
    omp_set_num_threads(1);
    CatchmentRouting alone("surfrout_steps_alone", shareOut(zones, 1), method, "alone_");
    ASSERT_TRUE(alone.module);
    alone.runSteps(4);
    omp_set_num_threads(4);
    CatchmentRouting shared("surfrout_steps_shared", shareOut(zones, worldSize()), method,
                            "shared_");
    ASSERT_TRUE(shared.module);
    shared.runSteps(4);
    omp_set_num_threads(threads);
    if (worldRank() != 0) continue;
    for (const char* kind : {"qd", "qi", "qb", "qg", "qs"}) {
      const std::string a = readFile(alone.directory + "/alone_" + kind + ".stat");
      const std::string b = readFile(shared.directory + "/shared_" + kind + ".stat");
      EXPECT_EQ(std::count(a.begin(), a.end(), '\n'), 7) << kind;
      EXPECT_EQ(a, b) << kind;
    }
  }
}
