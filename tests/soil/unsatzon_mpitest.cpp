#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "tests/soil/column_fixture.h"
#include "tests/soil/decomposed_unsatzon.h"
#include "tests/soil/heat_fixture.h"
#include "tests/soil/snow_fixture.h"
#include "tests/soil/unsatzon_fixture.h"
#include "tests/test_decomposition.h"

namespace {

// An own column of the decomposed catchment solved by a column solver of
// its own, from the state and tracer stores the module holds when it is
// made.
struct AloneColumn {
  AloneColumn(const DecomposedUnsatzon& d, long row, long column, const HeatModelSettings* heat,
              int tracers)
      : r(row), c(column), solver(std::make_unique<ColumnSolver>(4, 1, tracers)) {
    auto grid = [&](const std::string& name) { return d.entry(name).grid; };
    auto stack = [&](const std::string& name) { return d.entry(name).stack; };
    solver->setHeatModel(heat);
    for (int k = 0; k <= 4; ++k) {
      solver->column.z[k] = stack("geodetic_heads")[r][c][k];
      solver->column.theta0[k] = stack("theta")[r][c][k];
      solver->column.head[k] = stack("hydraulic_heads")[r][c][k];
      if (heat) solver->heat.T[k] = stack("Soil_Temperature_Stack")[r][c][k];
    }
    ColumnSolutes& solutes = solver->solutes;
    solutes.bind(tracers, 4);
    for (int t = 1; t <= tracers; ++t) {
      const std::string number = std::to_string(t);
      solutes.inputConcentration[static_cast<size_t>(t)] =
          grid("concflux_tracer_" + number + "_input")[r][c];
      for (int k = 1; k <= 4; ++k)
        solutes.mass(t)[k] = stack("concstor_tracer_" + number + "_unsatzon_model")[r][c][k];
    }
    table = TableState{grid("groundwater_distance")[r][c], grid("groundwater_level")[r][c],
                       grid("Theta_in_GWLEVEL")[r][c]};
    cell.slopeTangent = grid("tangens_beta")[r][c];
    cell.channelDensity = 1.0;
  }
  // One sub-step with the forcing the module gives the cell.
  void solve(const DecomposedUnsatzon& d, const ColumnStepSettings& step, const HeatForcing* heat,
             bool macropores = false) {
    cell.tableLevel = table.level;
    cell.tableHeight = solver->column.z[0] + table.distance;
    const soil_class& soil = d.soils[static_cast<size_t>(soilOf(r, c))];
    solver->column.bind(soil, 4, cell);
    if (heat) solver->heat.bind(soil, 4, solver->column.d);
    ColumnForcing forcing;
    forcing.uses = solver->uses.data();
    forcing.useCount = 1;
    forcing.input = d.entry("precipitation").grid[r][c];
    forcing.potentialEvaporation = 1.0;
    forcing.maxBaseflow = 1.0;
    forcing.recession = 1.0;
    forcing.macropores = macropores;
    forcing.heat = heat;
    double pond = 0.0;
    solver->solve(step, forcing, table, pond, budget, nullptr);
  }

  long r, c;
  std::unique_ptr<ColumnSolver> solver;
  TableState table;
  ColumnCell cell;
  ColumnBudget budget;
};

std::vector<AloneColumn> ownColumnsAlone(const DecomposedUnsatzon& d, const HeatModelSettings* heat,
                                         int tracers = 0) {
  std::vector<AloneColumn> columns;
  const StripModule& s = d.strips;
  for (long r = s.lo; r <= s.hi; ++r)
    for (long c = 1; c <= s.ncols; ++c)
      if (s.owner[r][c] == s.rank) columns.emplace_back(d, r, c, heat, tracers);
  return columns;
}

} // namespace

// Every process sets up the columns of its own cells, at rest over the
// table at the top of layer 2, and nodata in every other cell it holds; the
// summary lines come out the same whatever the number of processes.
TEST(UnsatzonDecomposed, ColumnsAndSummaryDoNotDependOnTheProcesses) {
  DecomposedUnsatzon d("unsatzon_decomposed");
  std::unique_ptr<TestUnsatzon> module;
  ASSERT_NO_FATAL_FAILURE(d.build(module, false));
  EXPECT_EQ(*module->getStorageFileName(), "state_" + std::to_string(worldRank()));

  // Rank 0 too holds the grids the lakes gather over its strip only.
  for (const char* g : {"baseflow", "q_downext"}) {
    EXPECT_EQ(d.entry(g).firstRow, d.entry("theta").firstRow) << g;
    EXPECT_EQ(d.entry(g).lastRow, d.entry("theta").lastRow) << g;
  }
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
  std::unique_ptr<TestUnsatzon> module;
  ASSERT_NO_FATAL_FAILURE(d.build(module));
  WorkingDirectory cd(d.directory);
  const StripModule& s = d.strips;
  auto grid = [&](const char* name) { return d.entry(name).grid; };
  auto stack = [&](const char* name) { return d.entry(name).stack; };

  // Each own column alone, from the state the module starts with.
  std::vector<AloneColumn> columns = ownColumnsAlone(d, nullptr);
  ColumnStepSettings settings;
  settings.substepSeconds = 3600.0;
  settings.maxError = 1e-14;
  settings.maxIterations = 200;

  omp_set_num_threads(2);
  for (int step = 0; step < 3; ++step) {
    ASSERT_EQ(module->computeTimeStep(0, step, 2, 6, 2020), 0);
    for (AloneColumn& a : columns) {
      const long r = a.r, c = a.c;
      SCOPED_TRACE("cell " + std::to_string(r) + " " + std::to_string(c));
      a.solve(d, settings, nullptr);
      const ColumnBudget& budget = a.budget;
      for (int k = 1; k <= 4; ++k) EXPECT_EQ(stack("theta")[r][c][k], a.solver->column.theta0[k]);
      EXPECT_EQ(grid("groundwater_distance")[r][c], a.table.distance);
      EXPECT_EQ(grid("directflow")[r][c], budget.directflow);
      EXPECT_EQ(grid("baseflow")[r][c], budget.baseflow / 3.6e6);
    }
  }
  omp_set_num_threads(1);

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
  std::unique_ptr<TestUnsatzon> module;
  ASSERT_NO_FATAL_FAILURE(d.build(module));
  WorkingDirectory cd(d.directory);
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
    const std::vector<double> all = gatherOnRankZero(mine);
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
      const double expected =
          direct[z] + inter[z] + std::max(0.0, static_cast<double>(base[z]) / area);
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
  std::unique_ptr<TestUnsatzon> module;
  ASSERT_NO_FATAL_FAILURE(d.build(module, false));
  WorkingDirectory cd(d.directory);
  std::vector<TracerRecord> table(2);
  table[1].name = "chl";
  table[1].soilIni = 2.0;
  table[1].gwIni = 3.0;
  int code = -1;
  module->initTracers(code, 1, table, nullptr, 0);
  ASSERT_EQ(code, 0);
  auto grid = [&](const char* name) { return d.entry(name).grid; };
  auto stack = [&](const char* name) { return d.entry(name).stack; };
  const Stack store = stack("concstor_tracer_1_unsatzon_model");

  std::vector<AloneColumn> columns = ownColumnsAlone(d, nullptr, 1);
  ColumnStepSettings settings;
  settings.substepSeconds = 3600.0;

  omp_set_num_threads(2);
  for (int step = 0; step < 3; ++step) {
    ASSERT_EQ(module->computeTimeStep(0, step, 2, 6, 2020), 0);
    for (AloneColumn& a : columns) {
      const long r = a.r, c = a.c;
      SCOPED_TRACE("cell " + std::to_string(r) + " " + std::to_string(c));
      a.solve(d, settings, nullptr, true);
      const ColumnBudget& budget = a.budget;
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
}

// With the surface water interaction 1 each process sums the takes of its
// own river cells: when the cells of one subbasin lie on several processes
// the set-up warns of it.
TEST(UnsatzonDecomposed, WarnsOfRiverCellsOfOneSubbasinOnSeveralProcesses) {
  DecomposedUnsatzon d("unsatzon_decomposed_rivers", "",
                       [](std::vector<std::string>& lines) { lines[2] = "1  interaction"; });
  for (const char* name : {"river_depth", "river_width", "kolmation"})
    d.add(name, [](long, long) { return 1.0; });
  // Every cell of subbasin 1 is a river cell linked to it.
  d.add("river_links", [](long, long c) { return c <= 6 ? 1.0 : nodata; });
  std::unique_ptr<TestUnsatzon> module;
  ASSERT_NO_FATAL_FAILURE(d.build(module));
  // The subbasin's cells lie on every process of the ragged catchment.
  const bool shared = d.strips.size > 1;
  const std::string console = d.strips.m.console();
  if (d.strips.rank != 0) return;
  EXPECT_EQ(console.find("the river cells of subbasin 1 lie on ") != std::string::npos, shared)
      << console;
  EXPECT_EQ(console.find("the surface water interaction parameter 2 solves") != std::string::npos,
            shared);
}

namespace {

// Air below and above freezing across the catchment.
double airOf(long r, long c) { return -9.0 + 3.0 * ((r + 2 * c) % 5); }

// The numbers of a text grid or stack file after its header lines.
std::vector<double> valuesAfter(const std::string& text, int headerLines) {
  std::istringstream in(text);
  std::string line;
  for (int k = 0; k < headerLines; ++k) std::getline(in, line);
  std::vector<double> values;
  for (double v; in >> v;) values.push_back(v);
  return values;
}

} // namespace

// With heat flow, freezing and thawing every own column of every process,
// on one thread or four, holds what the column solver gives it alone; the
// degree days and soil temperatures of a pre-spin-up reach their files for
// every cell.
TEST(UnsatzonDecomposed, HeatDoesNotDependOnTheProcessesOrThreads) {
  for (int threads : {1, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    DecomposedUnsatzon d("unsatzon_decomposed_heat_" + std::to_string(threads),
                         heatSection(12, "."));
    d.add("temperature", airOf);
    d.context.writeAsciiGrids = true;
    WorkingDirectory cd(d.directory);
    std::unique_ptr<TestUnsatzon> module;
    ASSERT_NO_FATAL_FAILURE(d.build(module));
    const StripModule& s = d.strips;
    auto grid = [&](const char* name) { return d.entry(name).grid; };
    auto stack = [&](const char* name) { return d.entry(name).stack; };
    HeatModelSettings settings = heatSettings(12);
    settings.shortestStep = 60.0;
    settings.longestStep = 3600.0;
    module->readGroundwaterHeads(2020, 1, 2, 0, 0);

    std::vector<AloneColumn> columns = ownColumnsAlone(d, &settings);
    ColumnStepSettings step;
    step.substepSeconds = 3600.0;
    omp_set_num_threads(threads);
    bool froze = false;
    for (int hour = 0; hour < 3; ++hour) {
      ASSERT_EQ(module->computeTimeStep(0, hour, 2, 1, 2020), 0);
      for (AloneColumn& a : columns) {
        const long r = a.r, c = a.c;
        SCOPED_TRACE("cell " + std::to_string(r) + " " + std::to_string(c));
        HeatForcing heat;
        heat.airTemperature = heat.boundary.source = airOf(r, c);
        heat.boundary.lower = grid("T_Lower_Boundary_Condition")[r][c];
        a.solve(d, step, &heat);
        for (int k = 1; k <= 4; ++k) {
          EXPECT_EQ(stack("theta")[r][c][k], a.solver->column.theta0[k]);
          EXPECT_EQ(stack("Soil_Temperature_Stack")[r][c][k], a.solver->heat.T[k]);
          EXPECT_EQ(stack("Soil_SE_Stack")[r][c][k], a.solver->heat.energy[k]);
          froze = froze || a.solver->heat.unfrozen[k] < 1.0;
        }
      }
    }
    omp_set_num_threads(1);
    EXPECT_TRUE(froze || columns.empty());

    // A pre-spin-up of ten days.
    for (int hour = 0; hour < 240; ++hour) module->preSpinUpSoilTemperature(0, hour % 24);
    module->updateSoilTemperatureStack();
    if (s.rank != 0) continue;
    const std::vector<double> degreeDays = valuesAfter(readFile("FreezingDegreeDays"), 6);
    const std::vector<double> levels = valuesAfter(readFile("temper.stk"), 12);
    ASSERT_EQ(degreeDays.size(), static_cast<size_t>(s.nrows * s.ncols));
    ASSERT_EQ(levels.size(), static_cast<size_t>(s.nrows * s.ncols * 5));
    for (long r = 1; r <= s.nrows; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const size_t cell = static_cast<size_t>((r - 1) * s.ncols + (c - 1));
        const bool valid = s.owner[r][c] >= 0;
        EXPECT_NEAR(degreeDays[cell], valid ? 10.0 * std::max(0.0, -airOf(r, c)) : nodata, 1e-4)
            << r << " " << c;
        EXPECT_NEAR(levels[cell * 5], valid ? airOf(r, c) : nodata, 1e-4) << r << " " << c;
      }
  }
}

// Cell (2, 5) lies in the strip of the highest rank: rank 1 of 2 processes.
// At the end of a run with the write-storage flag its owner appends the
// water of the final column, sum of theta d 1000 over its layers, to its own
// log, after which only rank 0 writes its means there.
TEST(UnsatzonDecomposed, TheControlCellsOwnerLogsItsWaterAtTheEnd) {
  DecomposedUnsatzon d("unsatzon_decomposed_end", "",
                       [](std::vector<std::string>& l) { l[72] = "2 5  control point"; });
  const StripModule& s = d.strips;
  const int owner = s.owner[2][5];
  ASSERT_EQ(owner, s.size - 1);
  WorkingDirectory cd(d.directory);
  std::unique_ptr<TestUnsatzon> module;
  ASSERT_NO_FATAL_FAILURE(d.build(module));
  for (long h = 0; h < 2; ++h) {
    module->readGroundwaterHeads(2020, 6, 2, h, 0);
    ASSERT_EQ(module->computeTimeStep(0, h, 2, 6, 2020), 0);
    module->concentrateRunoff(0, h, 2, 6, 2020);
  }
  char line[200] = "";
  if (s.rank == owner) {
    const soil_class& soil = d.soils[static_cast<size_t>(soilOf(2, 5))];
    double water = 0.0;
    for (int k = 1; k <= 4; ++k) water += d.entry("theta").stack[2][5][k] * soil.getThickness(k);
    std::snprintf(line, sizeof line,
                  "(mpi_rank %d) soil water content (control point r=2 c=5) at model-end: %lf mm\n",
                  owner, water * 1000.0);
  }
  module->setWriteStorageFlag(1);
  module->finishModelRun(false);
  MPI_Barrier(MPI_COMM_WORLD);
  const std::string name = "modell_" + std::to_string(s.rank) + ".log";
  const std::string log = fileExists(name) ? readFile(name) : "";
  const size_t at = log.find("soil water content (control point");
  if (s.rank != owner) {
    EXPECT_EQ(at, std::string::npos) << log;
    return;
  }
  ASSERT_NE(at, std::string::npos) << log;
  const size_t start = log.rfind('\n', at) + 1;
  EXPECT_EQ(log.substr(start, std::strlen(line)), line);
  const std::string after = log.substr(start + std::strlen(line));
  EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), owner == 0 ? 3 : 0) << after;
}

// A column failing in the strip of the highest rank writes its dump file,
// named with that rank, into the working folder; no other process writes
// one.
TEST(UnsatzonDecomposed, AFailingColumnDumpsUnderItsProcesssRank) {
  DecomposedUnsatzon d("unsatzon_decomposed_dump", "", [](std::vector<std::string>& l) {
    l[7] = "10  ini_gw_level: the table at the surface";
  });
  const StripModule& s = d.strips;
  WorkingDirectory cd(d.directory);
  std::unique_ptr<TestUnsatzon> module;
  ASSERT_NO_FATAL_FAILURE(d.build(module));
  module->setDumpMode(1, 0, 0, 0);
  // Layer 4 lies below the iteration's range and stays above saturation.
  if (s.owner[2][5] == s.rank) d.entry("theta").stack[2][5][4] = 0.46;
  module->readGroundwaterHeads(2020, 6, 2, 0, 0);
  ASSERT_EQ(module->computeTimeStep(0, 0, 2, 6, 2020), 0);
  MPI_Barrier(MPI_COMM_WORLD);
  if (s.rank != 0) return;
  const std::string name =
      "MPI_" + std::to_string(s.size - 1) + "_theta(4)_dump_row_2_col_5_substep_1_2020060200.dmp";
  EXPECT_EQ(dumpFiles(d.directory), std::set<std::string>{name});
}

// Cells alike in everything melt alike packs into alike columns, on
// whichever process and thread they are solved.
TEST(UnsatzonDecomposed, LayeredSnowDoesNotDependOnTheProcessesOrThreads) {
  for (int threads : {1, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    DecomposedUnsatzon d("unsatzon_decomposed_snow_" + std::to_string(threads),
                         heatSection(11, ".") + snowSections(".", {snowType(1, 3)}));
    d.add("temperature", [](long, long) { return 8.0; });
    const StripModule& s = d.strips;
    for (const char* name : {"soil_types", "[elevation_model]", "precipitation"}) {
      Grid g = d.entry(name).grid;
      const double alike = name[0] == 's' ? 1.0 : name[0] == '[' ? 100.0 : 0.0;
      for (long r = s.lo; r <= s.hi; ++r)
        for (long c = 1; c <= s.ncols; ++c)
          if (s.owner[r][c] >= 0) g[r][c] = alike;
    }
    WorkingDirectory cd(d.directory);
    std::unique_ptr<TestUnsatzon> module;
    ASSERT_NO_FATAL_FAILURE(d.build(module));
    module->readGroundwaterHeads(2020, 4, 1, 0, 0);
    auto stack = [&](const char* name) { return d.entry(name).stack; };
    const double placed[] = {12.0, 2.0, 5.0, 5.0};
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        if (s.owner[r][c] != s.rank) continue;
        for (int k = 0; k <= 3; ++k) {
          stack("SnowWaterEquivalentSolid")[r][c][k] = placed[k];
          if (k == 0) continue;
          stack("SnowLayerThickness")[r][c][k] = placed[k] / 100.0;
          stack("SnowDensity")[r][c][k] = 0.1;
          stack("Temperature_Stack_Snow")[r][c][k] = -2.0;
        }
        d.entry("upperIndexSnow").grid[r][c] = 1.0;
      }
    omp_set_num_threads(threads);
    ASSERT_EQ(module->computeTimeStep(0, 0, 1, 4, 2020), 0);
    omp_set_num_threads(1);
    auto valuesOf = [&](long r, long c) {
      std::vector<double> v;
      for (const char* name : {"SnowWaterEquivalentSolid", "SnowWaterEquivalentLiquid",
                               "SnowLayerThickness", "Temperature_Stack_Snow", "theta_Snow"})
        v.insert(v.end(), stack(name)[r][c], stack(name)[r][c] + 4);
      for (const char* name : {"theta", "Soil_Temperature_Stack"})
        v.insert(v.end(), stack(name)[r][c], stack(name)[r][c] + 5);
      for (const char* name : {"upperIndexSnow", "directflow", "groundwater_recharge"})
        v.push_back(d.entry(name).grid[r][c]);
      return v;
    };
    std::vector<double> reference;
    for (long r = s.lo; r <= s.hi && reference.empty(); ++r)
      for (long c = 1; c <= s.ncols && reference.empty(); ++c)
        if (s.owner[r][c] == 0 && s.rank == 0) reference = valuesOf(r, c);
    int size = static_cast<int>(reference.size());
    MPI_Bcast(&size, 1, MPI_INT, 0, MPI_COMM_WORLD);
    ASSERT_GT(size, 0);
    reference.resize(static_cast<size_t>(size));
    MPI_Bcast(reference.data(), size, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    // Melting, not gone.
    EXPECT_GT(reference[0], 0.0);
    EXPECT_LT(reference[0], 12.0);
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c)
        if (s.owner[r][c] == s.rank) {
          EXPECT_EQ(valuesOf(r, c), reference) << "cell " << r << " " << c;
        }
  }
}

// Lake method 2 sinks the lake cells by their ponding depth and flattens
// them: every process sees a neighbour's lake cell sunk, also where another
// process owns it, and rank 0 sees every lake cell flat.
TEST(UnsatzonDecomposed, EveryProcessSeesTheLakesSunkAndFlat) {
  const auto lakeCell = [](long r, long c) { return (r + 2 * c) % 3 == 0; };
  DecomposedUnsatzon d("unsatzon_decomposed_lakes", "[lake_model]\n1 flow\n2 method\n",
                       [](std::vector<std::string>& l) { l[3] = "1  pond"; });
  d.add("lake_codes", [&](long r, long c) { return lakeCell(r, c) ? 1.0 : -1.0; });
  // Metres in the file: 0.25 m deep lakes.
  d.add("max_ponding_storage", [](long, long) { return 0.25; });
  std::unique_ptr<TestUnsatzon> module;
  ASSERT_NO_FATAL_FAILURE(d.build(module, false));
  const StripModule& s = d.strips;
  const Grid elevation = d.entry("[elevation_model]").grid;
  const Grid slope = d.entry("slope_angle").grid;
  long sunkHalo = 0;
  for (long r = s.lo; r <= s.hi; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      if (s.owner[r][c] < 0) continue;
      if (s.rank == 0) {
        EXPECT_EQ(slope[r][c], lakeCell(r, c) ? 0.0 : 10.0) << "cell " << r << " " << c;
      }
      if (!(s.owner[r][c] == s.rank || s.isHalo(s.rank, r, c))) continue;
      const double expected = surfaceOf(r, c) - (lakeCell(r, c) ? 0.25 : 0.0);
      EXPECT_NEAR(elevation[r][c], expected, 1e-12) << "cell " << r << " " << c;
      if (lakeCell(r, c) && s.owner[r][c] != s.rank) ++sunkHalo;
    }
  // On more than one process some halo cell is a lake cell.
  long total = 0;
  MPI_Allreduce(&sunkHalo, &total, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
  if (s.size > 1) {
    EXPECT_GT(total, 0);
  }
}
