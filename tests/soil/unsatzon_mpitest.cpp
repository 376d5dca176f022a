#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>

#include "tests/soil/column_fixture.h"
#include "tests/soil/unsatzon_fixture.h"
#include "tests/test_decomposition.h"

namespace {

double surfaceOf(long r, long c) { return 100.0 + r + 0.1 * c; }
// Two soil types in a checkerboard; the second has thicker layers.
int soilOf(long r, long c) { return (r + c) % 2 + 1; }
double subbasinOf(long, long c) { return c <= 6 ? 1.0 : 2.0; }

// The unsaturated zone on this process's share of the ragged catchment:
// the registry the set-up would leave, every grid it takes from others.
struct DecomposedUnsatzon {
  explicit DecomposedUnsatzon(const std::string& name, const std::string& extraSections = "",
                              const std::function<void(std::vector<std::string>&)>& edit = nullptr)
      : strips(name, ragged(worldSize())), directory(makeTestDirectory(name + "_files", true)),
        registry(gridRegistrySize), soils(3) {
    char* full = realpath(directory.c_str(), nullptr);
    directory = full;
    std::free(full);
    parseSoilEntry(soils[1], nullptr, siltLoam(4, 0.25), "MultipleHorizons");
    parseSoilEntry(soils[2], nullptr, siltLoam(4, 0.3), "MultipleHorizons");
    soils[0].setCode(2);
    soils[0].setLayerCount(4);
    soils[1].setCode(1);
    soils[2].setCode(2);
    add("[zone_grid]", subbasinOf);
    add("[elevation_model]", surfaceOf);
    add("MPIRegions", strips.regions);
    add("MPIHelper", strips.helper);
    add("soil_types", [](long r, long c) { return double(soilOf(r, c)); });
    add("slope_angle", [](long, long) { return 10.0; });
    for (const char* g :
         {"landuse1", "root_depth1", "vegetation_coverage_degree1", "leaf_area_index1",
          "SurfaceCanopyResistance1", "SurfaceIntercepResistance1", "RoughnessLength1",
          "pot_transpiration0", "pot_transpiration1", "real_transpiration0", "real_transpiration1",
          "SurfaceEvaporationResistance", "albedo", "potential_evaporation", "real_evaporation"})
      add(g, [](long, long) { return 1.0; });

    std::vector<std::string> lines = unsatzonLines(directory);
    lines[7] = "2  ini_gw_level";
    lines[72] = "6 5  control point";
    lines[79] = "1 2  codes";
    add("precipitation", [](long r, long c) { return double((3 * r + c) % 7); });
    if (edit) edit(lines);
    // One writer: a process rewriting the file while another reads it would
    // hand the reader a cut control file.
    if (strips.rank == 0)
      writeFile(directory + "/model.ctl.intern", unsatzonSection(lines) + extraSections);
    MPI_Barrier(MPI_COMM_WORLD);
    context.diag = strips.m.getDiag();
    context.controlFileName = directory + "/model.ctl.intern";
    context.registry = registry.data();
    context.header = strips.m.getHeader();
    context.rowColumnRange = strips.ranges.data();
    context.cellsPerProcess = &strips.cells;
    context.haloSendList = &strips.sends;
    context.haloReceiveList = &strips.receives;
    context.outputDirectory = directory + "/";
    context.soilTable = &soils;
  }

  template <typename F> void add(const std::string& name, F f) {
    Grid g = strips.grid(nodata);
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c)
        if (strips.owner[r][c] >= 0) g[r][c] = f(r, c);
    add(name, g);
  }
  void add(const std::string& name, Grid grid) {
    int index = 1;
    while (registry[index].hasFileName) ++index;
    GridRegistryEntry& e = registry[index];
    e.hasFileName = e.hasName = true;
    e.fileName = name;
    e.name = name;
    e.grid = grid;
    e.firstRow = strips.lo;
    e.lastRow = strips.hi;
  }
  const GridRegistryEntry& entry(const std::string& name) const {
    for (const GridRegistryEntry& e : registry)
      if (e.hasName && e.name == name) return e;
    ADD_FAILURE() << "no grid " << name;
    return registry[0];
  }

  StripModule strips;
  std::string directory;
  std::vector<GridRegistryEntry> registry;
  std::vector<soil_class> soils;
  ModelContext context;
};

// A column of the process solved alone, from the state the module starts
// with.
struct Alone {
  long r, c;
  std::unique_ptr<ColumnSolver> solver;
  TableState table;
  ColumnCell cell;
};

// Every own column alone, with the tracer stores the module starts with.
std::vector<Alone> ownColumnsAlone(const DecomposedUnsatzon& d, int tracers) {
  const StripModule& s = d.strips;
  auto grid = [&](const char* name) { return d.entry(name).grid; };
  auto stack = [&](const std::string& name) { return d.entry(name).stack; };
  std::vector<Alone> columns;
  for (long r = s.lo; r <= s.hi; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      if (s.owner[r][c] != s.rank) continue;
      Alone a{r, c, std::make_unique<ColumnSolver>(4, 1, tracers), {}, {}};
      for (int k = 0; k <= 4; ++k) {
        a.solver->column.z[k] = stack("geodetic_heads")[r][c][k];
        a.solver->column.theta0[k] = stack("theta")[r][c][k];
        a.solver->column.head[k] = stack("hydraulic_heads")[r][c][k];
      }
      ColumnSolutes& solutes = a.solver->solutes;
      solutes.bind(tracers, 4);
      for (int t = 1; t <= tracers; ++t) {
        const std::string number = std::to_string(t);
        solutes.inputConcentration[static_cast<size_t>(t)] =
            grid(("concflux_tracer_" + number + "_input").c_str())[r][c];
        for (int k = 1; k <= 4; ++k)
          solutes.mass(t)[k] = stack("concstor_tracer_" + number + "_unsatzon_model")[r][c][k];
      }
      a.table = TableState{grid("groundwater_distance")[r][c], grid("groundwater_level")[r][c],
                           grid("Theta_in_GWLEVEL")[r][c]};
      a.cell.slopeTangent = grid("tangens_beta")[r][c];
      a.cell.channelDensity = 1.0;
      a.cell.cellSize = s.m.getHeader().cellsize;
      columns.push_back(std::move(a));
    }
  return columns;
}

// One sub-step of a column alone, as the module computes it.
ColumnBudget solveAlone(const DecomposedUnsatzon& d, Alone& a, const ColumnStepSettings& settings,
                        bool macropores) {
  a.cell.tableLevel = a.table.level;
  a.cell.tableHeight = a.solver->column.z[0] + a.table.distance;
  a.solver->column.bind(d.soils[static_cast<size_t>(soilOf(a.r, a.c))], 4, a.cell);
  ColumnForcing forcing;
  forcing.uses = a.solver->uses.data();
  forcing.useCount = 1;
  forcing.input = d.entry("precipitation").grid[a.r][a.c];
  forcing.potentialEvaporation = 1.0;
  forcing.maxBaseflow = 1.0;
  forcing.recession = 1.0;
  forcing.macropores = macropores;
  double pond = 0.0;
  ColumnBudget budget;
  a.solver->solve(settings, forcing, a.table, pond, budget, nullptr);
  return budget;
}

} // namespace

// Every process sets up the columns of its own cells, at rest over the
// table at the top of layer 2, and nodata in every other cell it holds; the
// summary lines come out the same whatever the number of processes.
TEST(UnsatzonDecomposed, ColumnsAndSummaryDoNotDependOnTheProcesses) {
  DecomposedUnsatzon d("unsatzon_decomposed");
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(d.directory.c_str()), 0);
  int code = 0;
  auto module = constructSubmodel<TestUnsatzon>(code, d.context, &d.soils);
  ASSERT_EQ(chdir(previous), 0);
  std::free(previous);
  ASSERT_EQ(code, 0);
  EXPECT_EQ(*module->getStorageFileName(), "state_" + std::to_string(worldRank()));

  const StripModule& s = d.strips;
  double water = 0.0, control = 0.0;
  long cells = 0;
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      if (s.owner[r][c] < 0) continue;
      const soil_class& soil = d.soils[static_cast<size_t>(soilOf(r, c))];
      const double d1 = soil.getThickness(1);
      const double table = surfaceOf(r, c) - d1;
      const double theta1 = soil.thetaFromSuction(1, d1 / 2.0);
      water += d1 * (theta1 + 3 * 0.45);
      ++cells;
      if (r == 6 && c == 5) control = 1000.0 * d1 * (theta1 + 3 * 0.45);
      if (r < d.entry("theta").firstRow || r > d.entry("theta").lastRow) continue;
      const Stack theta = d.entry("theta").stack;
      const Stack z = d.entry("geodetic_heads").stack;
      const Stack head = d.entry("hydraulic_heads").stack;
      const bool own = s.owner[r][c] == s.rank;
      SCOPED_TRACE("cell " + std::to_string(r) + " " + std::to_string(c));
      for (int k = 0; k <= 4; ++k) {
        if (!own) {
          EXPECT_EQ(theta[r][c][k], nodata);
          EXPECT_EQ(z[r][c][k], nodata);
          EXPECT_EQ(head[r][c][k], nodata);
          continue;
        }
        EXPECT_NEAR(z[r][c][k], surfaceOf(r, c) - k * d1, 1e-12);
        EXPECT_NEAR(theta[r][c][k], k == 1 ? theta1 : 0.45, 1e-12);
      }
      for (const char* g : {"groundwater_distance", "groundwater_level", "Theta_in_GWLEVEL"})
        if (!own) {
          EXPECT_EQ(d.entry(g).grid[r][c], nodata) << g;
        }
      if (!own) continue;
      EXPECT_NEAR(head[r][c][1], table, 1e-12);
      EXPECT_EQ(d.entry("groundwater_level").grid[r][c], 2.0);
      EXPECT_NEAR(d.entry("groundwater_distance").grid[r][c], -d1, 1e-12);
    }
  if (s.rank != 0) return;
  char expected[600];
  const double mean = water / static_cast<double>(cells);
  std::snprintf(expected, sizeof expected,
                "mean soil water content for all cells at model-start: %lf m^3/m^2\n"
                "mean soil water content for unglacierized or only partly unglacierized cells at "
                "model-start: %lf m^3/m^2\n"
                "mean soil water content for partly or completely glacierized cells at "
                "model-start: %lf m^3/m^2\n",
                mean, mean, 0.0);
  const std::string log = readFile(d.directory + "/modell_0.log");
  EXPECT_NE(log.find(expected), std::string::npos) << log;
  char line[200];
  std::snprintf(line, sizeof line,
                "soil water content (for control point r=6 c=5) at model-start: %lf mm\n", control);
  const std::string owner =
      readFile(d.directory + "/modell_" + std::to_string(s.owner[6][5]) + ".log");
  EXPECT_NE(owner.find(line), std::string::npos) << owner;
}

// Every process solves its own cells, on two threads, exactly as the column
// solver does for that cell alone; so the columns, tables and runoff do not
// depend on the decomposition. Slow columns appear on rank 0's log only.
TEST(UnsatzonDecomposed, SubstepsSolveEveryOwnColumnAsAlone) {
  DecomposedUnsatzon d("unsatzon_decomposed_step",
                       "[unsatzon_tuning]\nmax_error = 1e-14\nmax_iterations = 200\n");
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(d.directory.c_str()), 0);
  int code = 0;
  auto module = constructSubmodel<TestUnsatzon>(code, d.context, &d.soils);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(startRunoff(*module), 0);
  const StripModule& s = d.strips;
  auto grid = [&](const char* name) { return d.entry(name).grid; };
  auto stack = [&](const char* name) { return d.entry(name).stack; };

  std::vector<Alone> columns = ownColumnsAlone(d, 0);
  ColumnStepSettings settings;
  settings.substepSeconds = 3600.0;
  settings.maxError = 1e-14;
  settings.maxIterations = 200;

  omp_set_num_threads(2);
  for (int step = 0; step < 3; ++step) {
    ASSERT_EQ(module->computeTimeStep(0, step, 2, 6, 2020), 0);
    for (Alone& a : columns) {
      const long r = a.r, c = a.c;
      SCOPED_TRACE("cell " + std::to_string(r) + " " + std::to_string(c));
      const ColumnBudget budget = solveAlone(d, a, settings, false);
      for (int k = 1; k <= 4; ++k) EXPECT_EQ(stack("theta")[r][c][k], a.solver->column.theta0[k]);
      EXPECT_EQ(grid("groundwater_distance")[r][c], a.table.distance);
      EXPECT_EQ(grid("directflow")[r][c], budget.directflow);
      EXPECT_EQ(grid("baseflow")[r][c], budget.baseflow / 3.6e6);
    }
  }
  omp_set_num_threads(1);
  ASSERT_EQ(chdir(previous), 0);
  std::free(previous);

  MPI_Barrier(MPI_COMM_WORLD);
  if (s.rank != 0) return;
  std::set<std::pair<long, long>> reported, own;
  const std::string log = readFile(d.directory + "/modell_0.log");
  for (size_t at = 0; (at = log.find("h r=", at)) != std::string::npos; ++at) {
    long r = 0, c = 0;
    ASSERT_EQ(std::sscanf(log.c_str() + at, "h r=%3ld, c=%3ld", &r, &c), 2);
    reported.insert({r, c});
  }
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c)
      if (s.owner[r][c] == 0) own.insert({r, c});
  EXPECT_FALSE(reported.empty());
  for (const auto& cell : reported)
    EXPECT_EQ(own.count(cell), 1u) << cell.first << " " << cell.second;
}

// Two subbasins over every process, in two flow-time classes: rank 0's Qg
// is the time-area sum and linear storages of the cells' runoff, exact to
// the last bit whatever the number of processes.
TEST(UnsatzonDecomposed, SubbasinRunoffDoesNotDependOnTheProcesses) {
  DecomposedUnsatzon d("unsatzon_decomposed_runoff");
  d.add("flow_times", [](long, long c) { return c % 2 ? 3600.0 : 5000.0; });
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(d.directory.c_str()), 0);
  int code = 0;
  auto module = constructSubmodel<TestUnsatzon>(code, d.context, &d.soils);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(startRunoff(*module), 0);
  const StripModule& s = d.strips;
  auto grid = [&](const char* name) { return d.entry(name).grid; };
  // Per subbasin and class the runoff still on its way, and the storages.
  long double pendingDirect[3][3] = {}, pendingInter[3][3] = {};
  double direct[3] = {}, inter[3] = {}, quick = 0.0;
  const double c = std::exp(-1.0); // 60-minute storages on hourly steps
  for (int step = 0; step < 5; ++step) {
    module->readGroundwaterHeads(2020, 6, 2, step, 0);
    ASSERT_EQ(module->computeTimeStep(0, step, 2, 6, 2020), 0);
    module->concentrateRunoff(0, step, 2, 6, 2020);
    // Rank 0 gathers every own cell's runoff.
    std::vector<double> mine;
    for (long r = s.lo; r <= s.hi; ++r)
      for (long col = 1; col <= s.ncols; ++col)
        if (s.owner[r][col] == s.rank)
          mine.insert(mine.end(), {double(col), grid("directflow")[r][col],
                                   grid("interflow")[r][col], grid("baseflow")[r][col] * 3.6e6});
    int count = static_cast<int>(mine.size());
    std::vector<int> counts(static_cast<size_t>(s.size)), offsets(static_cast<size_t>(s.size));
    MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    for (size_t p = 1; p < counts.size(); ++p) offsets[p] = offsets[p - 1] + counts[p - 1];
    std::vector<double> all(static_cast<size_t>(offsets.back() + counts.back()));
    MPI_Gatherv(mine.data(), count, MPI_DOUBLE, all.data(), counts.data(), offsets.data(),
                MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (s.rank != 0) continue;
    long double base[3] = {}, cells[3] = {};
    for (size_t i = 0; i < all.size(); i += 4) {
      const int z = all[i] <= 6 ? 1 : 2;
      const int t = static_cast<int>(all[i]) % 2 ? 1 : 2;
      pendingDirect[z][t] += static_cast<long double>(all[i + 1]);
      pendingInter[z][t] += static_cast<long double>(all[i + 2]);
      base[z] += static_cast<long double>(all[i + 3]);
      cells[z] += 1;
    }
    for (int z = 1; z <= 2; ++z) {
      const double area = static_cast<double>(cells[z]);
      const double qd = static_cast<double>(pendingDirect[z][1]) / area;
      const double qi = static_cast<double>(pendingInter[z][1]) / area;
      quick += qd + qi;
      direct[z] = qd * (1.0 - c) + c * direct[z];
      inter[z] = qi * (1.0 - c) + c * inter[z];
      const double expected = direct[z] + inter[z] + std::max(0.0, static_cast<double>(base[z]) / area);
      EXPECT_EQ((*module->getQg())[0][static_cast<size_t>(z)], expected)
          << "step " << step << " subbasin " << z;
      // Class 2 arrives next step; what is on its way is kept as a double
      // from one step to the next, as a state file holds it.
      for (auto* pending : {pendingDirect, pendingInter}) {
        pending[z][1] = static_cast<double>(pending[z][2]);
        pending[z][2] = 0.0L;
      }
    }
  }
  if (s.rank == 0) {
    EXPECT_GT(quick, 0.0);
  }
  ASSERT_EQ(chdir(previous), 0);
  std::free(previous);
}

// Macropores and a tracer in the rain, on two threads: every own column
// ends each sub-step with the water and tracer of the same column solved
// alone, so that neither depends on the decomposition.
TEST(UnsatzonDecomposed, TracersAndMacroporesSolveEveryOwnColumnAsAlone) {
  DecomposedUnsatzon d("unsatzon_decomposed_tracers");
  const std::string macropores =
      "PMacroThresh = 1e-7; MacroCapacity = 2e-6; MacroDepth = 0.4; CapacityRedu = 0.5;";
  d.soils[1] = soil_class();
  d.soils[2] = soil_class();
  parseSoilEntry(d.soils[1], nullptr, siltLoam(4, 0.25, macropores), "MultipleHorizons");
  parseSoilEntry(d.soils[2], nullptr, siltLoam(4, 0.3, macropores), "MultipleHorizons");
  d.soils[1].setCode(1);
  d.soils[2].setCode(2);
  d.add("concflux_tracer_1_input", [](long r, long c) { return double((r + c) % 3 + 1); });
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(d.directory.c_str()), 0);
  int code = 0;
  auto module = constructSubmodel<TestUnsatzon>(code, d.context, &d.soils);
  ASSERT_EQ(code, 0);
  std::vector<TracerRecord> table(2);
  table[1].name = "chl";
  table[1].soilIni = 2.0;
  table[1].gwIni = 3.0;
  table[1].kind = 1;
  code = -1;
  module->initTracers(code, 1, table, nullptr, 0);
  ASSERT_EQ(code, 0);
  auto grid = [&](const char* name) { return d.entry(name).grid; };
  auto stack = [&](const char* name) { return d.entry(name).stack; };
  const Stack store = stack("concstor_tracer_1_unsatzon_model");

  std::vector<Alone> columns = ownColumnsAlone(d, 1);
  ColumnStepSettings settings;
  settings.substepSeconds = 3600.0;

  omp_set_num_threads(2);
  for (int step = 0; step < 3; ++step) {
    ASSERT_EQ(module->computeTimeStep(0, step, 2, 6, 2020), 0);
    for (Alone& a : columns) {
      const long r = a.r, c = a.c;
      SCOPED_TRACE("cell " + std::to_string(r) + " " + std::to_string(c));
      const ColumnBudget budget = solveAlone(d, a, settings, true);
      for (int k = 1; k <= 4; ++k) {
        EXPECT_EQ(stack("theta")[r][c][k], a.solver->column.theta0[k]);
        EXPECT_EQ(store[r][c][k], a.solver->solutes.mass(1)[k]);
      }
      EXPECT_EQ(grid("macropore_infiltration")[r][c], budget.macropores);
      EXPECT_EQ(grid("directflow")[r][c], budget.directflow);
    }
  }
  omp_set_num_threads(1);
  module->freeTracers();
  ASSERT_EQ(chdir(previous), 0);
  std::free(previous);
}

// With the surface water interaction 1 each process caps the takes of its
// river cells by its own copy of their subbasin's record: when the cells of
// one subbasin lie on several processes the set-up warns of it.
TEST(UnsatzonDecomposed, WarnsOfRiverCellsOfOneSubbasinOnSeveralProcesses) {
  DecomposedUnsatzon d("unsatzon_decomposed_rivers", "",
                       [](std::vector<std::string>& lines) { lines[2] = "1  interaction"; });
  for (const char* name : {"river_depth", "river_width", "kolmation"})
    d.add(name, [](long, long) { return 1.0; });
  // Every cell of subbasin 1 is a river cell linked to it.
  d.add("river_links", [](long, long c) { return c <= 6 ? 1.0 : nodata; });
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(d.directory.c_str()), 0);
  int code = 0;
  auto module = constructSubmodel<TestUnsatzon>(code, d.context, &d.soils);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(startRunoff(*module), 0);
  ASSERT_EQ(chdir(previous), 0);
  std::free(previous);
  // The subbasin's cells lie on every process of the ragged catchment.
  const bool shared = d.strips.size > 1;
  const std::string console = d.strips.m.console();
  if (d.strips.rank != 0) return;
  EXPECT_EQ(console.find("the river cells of subbasin 1 lie on ") != std::string::npos, shared)
      << console;
  EXPECT_EQ(console.find("the surface water interaction parameter 2 solves") != std::string::npos,
            shared);
}
