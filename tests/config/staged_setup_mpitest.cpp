#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "tests/config/setup_model.h"
#include "tests/test_support.h"

namespace {

// The domain of these tests: 29 valid cells in 4 rows of 8 columns.
const std::vector<std::string> zoneRows = {"1 1 2 -9999 2 2 2 2", "1 1 2 2 2 2 2 2",
                                           "-9999 3 3 3 3 3 3 -9999", "3 3 3 3 3 3 3 3"};
bool inZone(long r, long c) { return !((r == 1 && c == 4) || (r == 3 && (c == 1 || c == 8))); }
double zoneCode(long r, long c) {
  return inZone(r, c) ? (r < 3 ? (c < 3 ? 1.0 : 2.0) : 3.0) : -9999.0;
}

// A grid text of 4 x 5 values, nodata outside the zone unless everywhere.
std::string gridText(const std::function<double(long, long)>& value, bool everywhere = false) {
  std::vector<std::string> rows;
  for (long r = 1; r <= 4; ++r) {
    std::string row;
    for (long c = 1; c <= 8; ++c) {
      char cell[32];
      std::snprintf(cell, sizeof cell, "%g", everywhere || inZone(r, c) ? value(r, c) : -9999.0);
      row += (c > 1 ? " " : "") + std::string(cell);
    }
    rows.push_back(row);
  }
  return asciiGrid(rows, 8);
}

double elevation(long r, long c) { return static_cast<double>(100 * r + c); }

// The files of one set-up in a directory that every process shares; all
// processes are equally fast.
std::string prepareRun(const std::string& name, const std::string& gridSections,
                       const std::vector<std::pair<std::string, std::string>>& files = {}) {
  const std::string dir = std::filesystem::absolute(makeTestDirectory(name, true)).string();
  if (worldRank() == 0) {
    writeFile(dir + "/MpiSpeedFactor.dat", "1\n");
    writeFile(dir + "/zone.asc", asciiGrid(zoneRows, 8));
    writeFile(dir + "/dem.asc", gridText(elevation));
    for (const auto& [file, text] : files) writeFile(dir + "/" + file, text);
    writeFile(dir + "/run.ctl", setupSections() +
                                    "[zone_grid]\nzone.asc  zones\n"
                                    "[elevation_model]\ndem.asc\n" +
                                    gridSections + laterSetupSections());
  }
  MPI_Barrier(MPI_COMM_WORLD);
  return dir;
}

// Every cell this process must hold right: all on rank 0, elsewhere the own
// cells and the halo cells of its neighbours.
// Rank 0 holds every cell of its rows, the others their own and halo cells.
void expectHeldCells(SetupModel& model, Grid grid, long first, long last,
                     const std::function<double(long, long)>& expected, const std::string& what) {
  ASSERT_NE(grid, nullptr) << what;
  Grid regions = model.grid("MPIRegions");
  Grid halo = model.grid("MPIHalo");
  const int rank = worldRank();
  for (long r = first; r <= last; ++r) {
    for (long c = 1; c <= 8; ++c) {
      const bool held =
          rank == 0 || (regions[r] && regions[r][c] == rank) || (halo[r] && halo[r][c] >= 0.0);
      if (!held) continue;
      EXPECT_EQ(grid[r][c], expected(r, c)) << what << " row " << r << " column " << c;
    }
  }
}

void expectHeldCells(SetupModel& model, int index,
                     const std::function<double(long, long)>& expected, const std::string& what) {
  const GridRegistryEntry& e = model.entry(index);
  expectHeldCells(model, e.grid, e.firstRow, e.lastRow, expected, what);
}

} // namespace

TEST(StagedSetup, RunsFromAMinimalControlFileOnEveryProcessCount) {
  const std::string dir = prepareRun("setup_minimal", "[standard_grids]\n0\n[variable_grids]\n0\n");
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.constructionError, 0);
  ASSERT_EQ(model.runSetup(), -1) << model.console() << model.errors();
  EXPECT_EQ(model.calls, 24);
  EXPECT_EQ(model.setupStep, 23);
  EXPECT_EQ(model.getOutputInterval(), 1u);

  // Equal speeds: the highest rank takes the first cells in row order.
  const std::vector<std::string> owners[3] = {
      {"0 0 0 -9999 0 0 0 0", "0 0 0 0 0 0 0 0", "-9999 0 0 0 0 0 0 -9999", "0 0 0 0 0 0 0 0"},
      {"1 1 1 -9999 1 1 1 1", "1 1 1 1 1 1 1 1", "-9999 0 0 0 0 0 0 -9999", "0 0 0 0 0 0 0 0"},
      {"2 2 2 -9999 2 2 2 2", "2 2 1 1 1 1 1 1", "-9999 1 1 1 1 0 0 -9999", "0 0 0 0 0 0 0 0"}};
  if (worldRank() == 0 && worldSize() <= 3) {
    std::string expected = "ncols\t8\nnrows\t4\nxllcorner\t1000\nyllcorner\t2000\ncellsize\t100\n"
                           "nodata_value\t-9999\n";
    for (std::string row : owners[worldSize() - 1]) {
      std::replace(row.begin(), row.end(), ' ', '\t');
      expected += row + "\n";
    }
    EXPECT_EQ(readFile("MPIRegions_0"), expected);
  }

  const GridHeader& h = model.header;
  EXPECT_EQ(h.ncols, 8);
  EXPECT_EQ(h.nrows, 4);
  EXPECT_EQ(h.xllcorner, 1000.0);
  EXPECT_EQ(h.yllcorner, 2000.0);
  EXPECT_EQ(h.cellsize, 100.0);
  EXPECT_EQ(model.getMaxElevation(), 408.0);
  expectHeldCells(model, 1, zoneCode, "zone grid");
  expectHeldCells(
      model, 2, [](long r, long c) { return inZone(r, c) ? elevation(r, c) : -9999.0; },
      "elevation model");
  EXPECT_EQ(model.entry(1).name, "[zone_grid]");
  EXPECT_EQ(model.entry(2).name, "[elevation_model]");
  EXPECT_EQ(model.entry(3).name, "MPIRegions");
  // The decomposition's three grids, the cell sizes, relative area,
  // coordinates, slope, aspect, and the region and weight grids.
  EXPECT_EQ(model.getGridCount(), 12);
  EXPECT_EQ(model.getRadiationCorrection(), 1);
  EXPECT_TRUE(model.getLanduseLayerGrids().empty());

  GlobalParameters driver;
  EXPECT_EQ(model.getGlobalParameters(driver), 0);
  EXPECT_EQ(driver.controlFileName, dir + "/run.ctl.intern");
  EXPECT_EQ(driver.gridCount, 12);
  EXPECT_EQ(driver.zoneCount, 3);
  EXPECT_EQ(driver.header.firstRow, h.firstRow);
  EXPECT_EQ(driver.startDate.minuteIndex(), (ModelDate{0, 0, 1, 1, 2020}.minuteIndex()));
  EXPECT_EQ(driver.endDate.minuteIndex(), (ModelDate{0, 23, 31, 12, 2020}.minuteIndex()));
  ASSERT_NE(driver.cellsPerProcess, nullptr);
  long cells = 0;
  for (long n : *driver.cellsPerProcess) cells += n;
  EXPECT_EQ(cells, 29);
  ASSERT_NE(driver.columnRanges, nullptr);
  EXPECT_EQ(driver.columnRanges[h.lastRow].last, h.lastRow == 3 ? 7 : 8);

  if (worldRank() == 0) {
    const std::vector<std::string> entries = model.entries();
    const int quotaOfRankZero[3] = {29, 14, 10};
    const std::vector<std::string> inOrder = {
        "compiling symbols in control file " + dir + "/run.ctl",
        "MPI num cells: " + std::to_string(quotaOfRankZero[std::min(worldSize(), 3) - 1]) +
            " for instance: 0",
        "ranking zones from zone.asc for defaults",
        "before reading variable grids0",
        "check_SOIL_Codes...",
        "...ok",
        "make_Slope_and_Aspect...",
        "...ok",
        "check_ice_firn_grid...",
        "ice-grid not found in memory (at position 13)",
        "...ok",
        "MakeRegionWeightGrids...",
        "...ok",
        "GetCouplingParameters...",
        "...ok"};
    auto at = entries.begin();
    for (const std::string& line : inOrder) {
      at = std::find(at, entries.end(), line);
      ASSERT_NE(at, entries.end()) << "missing in order: " << line << "\n" << model.console();
    }
    for (const char* absent :
         {"generateMultiLayerParameterGrids...", "check_irrig_Codes", "make_nFK_kWert_and_Na..."})
      EXPECT_EQ(std::find(entries.begin(), entries.end(), absent), entries.end()) << absent;
  }

  model.FreeMemory();
  for (int i = 1; i <= 5; ++i) EXPECT_FALSE(model.entry(i).hasFileName) << "entry " << i;
}

namespace {

// A grid with data everywhere, inside the zone and outside it, except the
// holes at (2, 2) and (4, 5).
double holesValue(long r, long c) {
  if ((r == 2 && c == 2) || (r == 4 && c == 5)) return -9999.0;
  return static_cast<double>(10 * r + c);
}
double withHoles(long r, long c, double hole, bool outsideKept) {
  // A repair that finds holes also clears the cells outside the zone.
  if (!inZone(r, c)) return outsideKept ? holesValue(r, c) : -9999.0;
  return holesValue(r, c) == -9999.0 ? hole : holesValue(r, c);
}

} // namespace

TEST(StagedSetup, ReadsAndCreatesStandardAndVariableGrids) {
  const std::string sections =
      "[standard_grids]\n"
      "11  grids\n"
      "dem2.asc elevation2 0\n"
      "soil.asc filled fillcode = 1 readcode = 0 defaultValue = 3.5 writecode = 1\n"
      "\n"
      "holes.asc nearest 1   free text\n"
      "holes.asc fixed fillcode = 2 defaultValue = 7\n"
      "holes.asc kept 0\n"
      "holes.asc override 1 fillcode = 2 defaultValue = 5\n"
      "holes.asc readtwo readcode = 2 fillcode = 0\n"
      "lat.asc latitude 0\n"
      "lon.asc longitude 0\n"
      "holes.asc periodic fillcode=0 periodicity = 1 D 6 persistent = 0 3 statfile = per.stat "
      "statcode = 1001\n"
      "coarse.asc coarse 0\n"
      "[variable_grids]\n"
      "4\n"
      "var.asc soil_storage 0 0\n"
      "0   write code\n"
      "1   read code\n"
      "nofile.asc created 0 2.5\n"
      "0\n"
      "0\n"
      "holes.asc readtwo_var 2 9\n"
      "0\n"
      "2\n"
      "none.asc nothing 0 -9999\n"
      "0\n"
      "0\n";
  const auto var = [](long r, long c) { return static_cast<double>(r) + c / 10.0; };
  const std::string dir = prepareRun(
      "setup_grids", sections,
      {{"dem2.asc", gridText([](long r, long c) { return 2 * elevation(r, c); })},
       {"holes.asc",
        gridText([](long r, long c) { return r == 1 && c == 4 ? 14.0 : holesValue(r, c); }, true)},
       {"coarse.asc", "ncols 4\nnrows 2\nxllcorner 1000\nyllcorner 2000\ncellsize 200\n"
                      "nodata_value -9999\n7 7 7 7\n7 7 7 7\n"},
       {"lat.asc", gridText([](long r, long) { return 47.0 + r / 100.0; })},
       {"lon.asc", gridText([](long, long c) { return 8.0 + c / 100.0; })},
       {"var.asc", gridText(var)}});
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console() << model.errors();

  struct Expected {
    const char* name;
    std::function<double(long, long)> value;
  };
  const Expected grids[] = {
      {"elevation2", [](long r, long c) { return inZone(r, c) ? 2 * elevation(r, c) : -9999.0; }},
      {"coarse", [](long, long) { return 7.0; }},
      {"filled", [](long r, long c) { return inZone(r, c) ? 3.5 : -9999.0; }},
      {"nearest", [](long r, long c) { return withHoles(r, c, r == 2 ? 12.0 : 35.0, false); }},
      {"fixed", [](long r, long c) { return withHoles(r, c, 7.0, false); }},
      {"kept", [](long r, long c) { return withHoles(r, c, -9999.0, true); }},
      {"override", [](long r, long c) { return withHoles(r, c, 5.0, false); }},
      {"readtwo", [](long r, long c) { return withHoles(r, c, -9999.0, true); }},
      {"soil_storage", [&](long r, long c) { return inZone(r, c) ? var(r, c) : -9999.0; }},
      {"created", [](long r, long c) { return inZone(r, c) ? 2.5 : -9999.0; }},
      {"readtwo_var", [](long r, long c) { return withHoles(r, c, 9.0, false); }}};
  for (const Expected& g : grids) expectHeldCells(model, model.findGrid(g.name), g.value, g.name);

  // The rows each process holds: the strip and its halo, and on rank 0 all
  // of a grid that a computation there reads whole: grids created from
  // their default, grids read again, the variable grids. A file named for
  // both kinds is read once.
  const long stripFirst = std::max(1L, model.header.firstRow - 1);
  const long stripLast = std::min(4L, model.header.lastRow + 1);
  const bool root = worldRank() == 0;
  const long first = root ? 1 : stripFirst;
  const long last = root ? 4 : stripLast;
  for (const char* name : {"filled", "periodic", "soil_storage", "readtwo_var"}) {
    EXPECT_EQ(model.entry(model.findGrid(name)).firstRow, first) << name;
    EXPECT_EQ(model.entry(model.findGrid(name)).lastRow, last) << name;
  }
  for (const char* name : {"elevation2", "nearest", "kept", "readtwo", "latitude", "coarse"}) {
    EXPECT_EQ(model.entry(model.findGrid(name)).firstRow, stripFirst) << name;
    EXPECT_EQ(model.entry(model.findGrid(name)).lastRow, stripLast) << name;
  }

  ASSERT_EQ(model.getStandardGrids().size(), 11u);
  const StandardGrid& periodic = model.getStandardGrids()[9];
  ASSERT_NE(periodic.setupValues, nullptr);
  EXPECT_EQ(periodic.setupFirstRow, first);
  expectHeldCells(
      model, periodic.setupValues, first, last,
      [](long r, long c) { return withHoles(r, c, -9999.0, true); }, "set-up values");
  EXPECT_EQ(model.getStandardGrids()[0].setupValues, nullptr);

  // The decomposition's three grids stand between the standard and the
  // variable grids.
  EXPECT_EQ(model.getStandardGridCount(), 11);
  EXPECT_EQ(model.getVariableGridCount(), 4);
  EXPECT_EQ(model.getFirstVariableGrid(), 17);
  EXPECT_EQ(model.getGridCount(), 27);
  EXPECT_EQ(model.findGrid("soil_storage"), 17);
  EXPECT_EQ(model.getSoilStorageGrid(), model.grid("soil_storage"));
  EXPECT_EQ(model.variableReadCodes, (std::vector<int>{0, 1, 0, 2, 0}));

  // Collective maxima: of the cells only other processes own, and of none.
  EXPECT_EQ(model.globalGridMaximum(model.findGrid("elevation2")), 816.0);
  EXPECT_EQ(model.globalGridMaximum(model.findGrid("nothing")), -9999.0);

  // A grid of another geometry is resampled, and the log says so.
  if (worldRank() != 0) return;
  EXPECT_NE(model.console().find(") coarse.asc holds 4 columns x 2 rows of cells of 200 from "
                                 "(1000, 2000); it is resampled onto the model grid of 8 "
                                 "columns x 4 rows of cells of 100 from (1000, 2000)"),
            std::string::npos)
      << model.console();
  EXPECT_EQ(model.console().find("dem2.asc holds"), std::string::npos);
}

// What only rank 0 sees (the preprocessing, the zone grid's header, the
// first grids, the decomposition file) ends every process with its code.
TEST(StagedSetup, FailuresOnRankZeroEndEveryProcess) {
  struct Case {
    std::string name;
    std::string from;
    std::string to;
    int code;
  };
  const Case cases[] = {
      {"undefined symbol", "zone.asc  zones", "$zone", 17},
      {"zone grid missing", "zone.asc  zones", "nozone.asc", 21},
      {"zone grid not a grid", "zone.asc  zones", "run.ctl", 22},
      {"elevation model missing", "dem.asc", "nodem.asc", 21},
      {"no directory for the decomposition file", "WriteAsciiGrids = 1",
       "DefaultOutputDirectory = missing/", 26},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir =
        prepareRun("setup_root_failure", "[standard_grids]\n0\n[variable_grids]\n0\n");
    if (worldRank() == 0) {
      std::string control = readFile(dir + "/run.ctl");
      control.replace(control.find(c.from), c.from.size(), c.to);
      writeFile(dir + "/run.ctl", control);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    const WorkingDirectory here(dir);
    SetupModel model(dir, dir + "/run.ctl");
    EXPECT_EQ(model.runSetup(), c.code) << model.console();
  }
}

namespace {

// The ASCII grid file the writers make of values on the test domain.
std::string writtenGrid(const std::function<double(long, long)>& value) {
  std::string text =
      "ncols\t8\nnrows\t4\nxllcorner\t1000\nyllcorner\t2000\ncellsize\t100\nnodata_value\t-9999\n";
  for (long r = 1; r <= 4; ++r)
    for (long c = 1; c <= 8; ++c) {
      char cell[32];
      std::snprintf(cell, sizeof cell, "%g", inZone(r, c) ? value(r, c) : -9999.0);
      text += cell + std::string(c < 8 ? "\t" : "\n");
    }
  return text;
}

} // namespace

TEST(StagedSetup, WritesStandardAndVariableGridsAsTheirCodesAsk) {
  const std::string sections =
      "[standard_grids]\n"
      "5\n"
      "dem2.asc every fillcode = 0 writecode = 1 outname = every.asc\n"
      "dem2.asc stamped 0 writecode = 2 outname = stamp.asc\n"
      "holes.asc filled fillcode = 2 defaultValue = 7 writecode = 8 outname = filled.asc\n"
      "none.asc created 0 readcode = 0 defaultValue = 3 writecode = 53 outname = created.asc\n"
      "in.asc inplace 0 writecode = 1\n"
      "[variable_grids]\n"
      "1\n"
      "var.asc varied 0 0\n"
      "1   write code\n"
      "1   read code\n";
  const auto dem2 = [](long r, long c) { return 2 * elevation(r, c); };
  const auto holes = [](long r, long c) { return withHoles(r, c, 7.0, false); };
  const auto constant = [](double v) { return [v](long, long) { return v; }; };
  const std::string input = gridText(constant(5.0));
  const std::string dir = prepareRun("setup_writes", sections,
                                     {{"dem2.asc", gridText(dem2)},
                                      {"holes.asc", gridText(holesValue, true)},
                                      {"in.asc", input},
                                      {"var.asc", input}});
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console() << model.errors();
  const bool root = worldRank() == 0;
  // A filled grid is written once it is registered.
  if (root) {
    EXPECT_EQ(readFile("filled.asc.filled"), writtenGrid(holes));
  }

  model.writeStandardGrids(0, 1, 1, 1, 2020);
  if (root) {
    EXPECT_EQ(readFile("every.asc"), writtenGrid(dem2));
    EXPECT_EQ(readFile("stamp_20200101.0100"), writtenGrid(dem2));
    EXPECT_EQ(readFile("in.asc.out"), writtenGrid(constant(5.0)));
    EXPECT_FALSE(fileExists("created.asc"));
    EXPECT_FALSE(fileExists("var.asc.out")); // a variable grid, not a standard one
  }
  model.writeVariableGrids(0, 1, 1, 1, 2020);
  if (root) {
    EXPECT_EQ(readFile("var.asc.out"), writtenGrid(constant(5.0)));
  }

  // The end of the run.
  model.writeStandardGrids(0, 23, 31, 12, 2020);
  model.writeVariableGrids(0, 23, 31, 12, 2020);
  if (root) {
    EXPECT_EQ(readFile("stamp_20201231.2300"), writtenGrid(dem2));
    EXPECT_EQ(readFile("stamp.asc"), writtenGrid(dem2));
    EXPECT_EQ(readFile("filled.asc"), writtenGrid(holes));
    EXPECT_EQ(readFile("created.asc"), writtenGrid(constant(3.0)));
    // Statistics grids are named after the input name.
    EXPECT_EQ(readFile("none.mit"), writtenGrid(constant(3.0)));
    // The inputs are as they were.
    EXPECT_EQ(readFile("in.asc"), input);
    EXPECT_EQ(readFile("var.asc"), input);
    EXPECT_FALSE(fileExists("zone.asc.out"));
  }
}

// Once the modules are built, rank 0 keeps of a grid that only the set-up
// read whole just the strip and its halo rows, its statistics grids with it,
// and writes it as before; what a computation there reads whole stays whole.
TEST(StagedSetup, RankZeroKeepsTheStripOfGridsOnlyTheSetupReadWhole) {
  const std::string sections =
      "[standard_grids]\n"
      "4\n"
      "none.asc created 0 readcode = 0 defaultValue = 3 writecode = 53 outname = created.asc\n"
      "none.asc slidefraction1 0 readcode = 0 defaultValue = 4\n"
      "lat.asc latitude 0\n"
      "lat.asc periodic fillcode=0 periodicity = 1 D 6 persistent = 0 3\n"
      "[variable_grids]\n0\n";
  const std::string dir = prepareRun(
      "setup_release", sections, {{"lat.asc", gridText([](long r, long) { return 47.0 + r; })}});
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console() << model.errors();
  const bool root = worldRank() == 0;
  const long nrows = 4;
  const bool strips = root && worldSize() > 1;
  const long stripFirst = std::max(1L, model.header.firstRow - 1);
  const long stripLast = std::min(nrows, model.header.lastRow + 1);
  // Before the modules are built, what their set-up reads whole stays whole.
  model.releaseWholeSetupGrids(false);
  if (root) {
    EXPECT_EQ(model.entry(model.findGrid("slope_angle")).firstRow, 1);
    EXPECT_EQ(model.entry(model.findGrid("created")).firstRow, strips ? stripFirst : 1);
  }
  // Snow slides mark what they read whole.
  model.entry(model.findGrid("slidefraction1")).wholeOnRoot = root;
  model.releaseWholeSetupGrids(true);
  struct Case {
    const char* name;
    bool whole; // on rank 0
  };
  // ASCII output: no binary header weighs the cell areas, no netCDF file
  // carries the latitudes.
  const Case cases[] = {{"created", false},       {"slope_angle", false}, {"CellSizeX", false},
                        {"MPIHalo", false},       {"RelCellArea", false}, {"latitude", false},
                        {"slidefraction1", true}, {"periodic", true},     {"[zone_grid]", true},
                        {"MPIRegions", true}};
  for (const Case& k : cases) {
    if (!root) continue;
    const GridRegistryEntry& e = model.entry(model.findGrid(k.name));
    const long first = strips && !k.whole ? stripFirst : 1;
    const long last = strips && !k.whole ? stripLast : nrows;
    EXPECT_EQ(e.firstRow, first) << k.name;
    EXPECT_EQ(e.lastRow, last) << k.name;
    for (long r = 1; r <= nrows; ++r) {
      EXPECT_EQ(e.grid[r] != nullptr, r >= first && r <= last) << k.name << " row " << r;
      // Statistics grids never hold more than the process's strip.
      if (e.meanGrid && strips && (r < stripFirst || r > stripLast)) {
        EXPECT_EQ(e.meanGrid[r], nullptr) << k.name << " row " << r;
      }
    }
  }

  const auto constant = [](double v) { return [v](long, long) { return v; }; };
  model.writeStandardGrids(0, 23, 31, 12, 2020);
  if (root) {
    EXPECT_EQ(readFile("created.asc"), writtenGrid(constant(3.0)));
    EXPECT_EQ(readFile("none.mit"), writtenGrid(constant(3.0)));
  }
}
