#include <gtest/gtest.h>
#include <mpi.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/config/setup_model.h"
#include "tests/test_support.h"

namespace {

constexpr long rows = 5;
constexpr long columns = 6;
constexpr double nodata = -9999.0;

// 27 valid cells; with three equally fast processes rank 2 owns the first
// nine in row order, rank 1 the next nine, rank 0 the rest.
const std::vector<std::string> zoneRows = {"1 1 1 1 1 -9999", "1 1 1 1 1 1", "-9999 1 1 1 1 1",
                                           "1 1 1 1 1 1", "-9999 1 1 1 1 1"};

// Two classed grids; the cells form the units P (3.7, 125), Q (3.2, 129)
// with the same classes as P, S (3, nodata), U (0.5, -3), T (nodata, 50),
// R (9999.5, 5) and V (7, 99999), in this layout:
//   P P S U T .
//   P R Q P V S
//   . U R S V P
//   R U V P Q S
//   . S T U P R
const std::vector<std::string> landRows = {"3.7 3.7 3 0.5 -9999 -9999", "3.7 9999.5 3.2 3.7 7 3",
                                           "-9999 0.5 9999.5 3 7 3.7", "9999.5 0.5 7 3.7 3.2 3",
                                           "-9999 3 -9999 0.5 3.7 9999.5"};
const std::vector<std::string> soilRows = {"125 125 -9999 -3 50 -9999", "125 5 129 125 99999 -9999",
                                           "-9999 -3 5 -9999 99999 125", "5 -3 99999 125 129 -9999",
                                           "-9999 -9999 50 -3 125 5"};
// Classes by square roots: 4 4 5 0 0 / 5 1 1 2 3 10 / . 2 2 0 0 0 / 0 ...
const std::vector<std::string> depthRows = {"-16 16 25 0 0.5 -9999", "-25 1 -1 8 9 100",
                                            "-9999 4 -4 0 0 0", "0 0 0 0 0 0", "-9999 0 0 0 0 0"};
// Units given as codes: a nodata cell inside the zone, codes that round
// alike (3.4, 3, 2.6) and a code outside the zone (77).
const std::vector<std::string> codeRows = {"50 50 7 -9999 7 77", "3.4 3 50 120 7 7",
                                           "77 120 50 3 3 3", "7 7 7 50 120 9", "77 9 9 2.6 3 50"};
// The first class above 9999 in row order is at row 2, column 3.
const std::vector<std::string> bigRows = {"1 1 1 1 1 1", "1 1 10000.2 1 1 1", "1 1 1 1 1 1",
                                          "1 1 1 1 1 1", "1 1 1 1 1 20000"};

bool inZone(long r, long c) {
  return !((r == 1 && c == 6) || (r == 3 && c == 1) || (r == 5 && c == 1));
}

std::vector<std::vector<double>> parseRows(const std::vector<std::string>& text) {
  std::vector<std::vector<double>> values;
  for (const std::string& row : text) {
    std::istringstream in(row);
    std::vector<double> cells;
    for (double v; in >> v;) cells.push_back(v);
    values.push_back(cells);
  }
  return values;
}

// The values of an ASCII grid file as the writers make it.
std::vector<std::vector<double>> readWrittenGrid(const std::string& path) {
  std::istringstream in(readFile(path));
  std::string line;
  for (int i = 0; i < 6; ++i) std::getline(in, line);
  std::vector<std::string> text;
  while (std::getline(in, line)) text.push_back(line);
  return parseRows(text);
}

std::string prepareRun(const std::string& name, const std::string& standardGrids,
                       const std::string& spinUp) {
  const std::string dir = std::filesystem::absolute(makeTestDirectory(name, true)).string();
  if (worldRank() == 0) {
    writeFile(dir + "/MpiSpeedFactor.dat", "1\n");
    writeFile(dir + "/zone.asc", asciiGrid(zoneRows, columns));
    writeFile(dir + "/dem.asc", asciiGrid(zoneRows, columns));
    writeFile(dir + "/land.asc", asciiGrid(landRows, columns));
    writeFile(dir + "/soil.asc", asciiGrid(soilRows, columns));
    writeFile(dir + "/depth.asc", asciiGrid(depthRows, columns));
    writeFile(dir + "/hru.asc", asciiGrid(codeRows, columns));
    writeFile(dir + "/big.asc", asciiGrid(bigRows, columns));
    writeFile(dir + "/run.ctl", setupSections() + "[zone_grid]\nzone.asc\n[elevation_model]\n" +
                                    "dem.asc\n[standard_grids]\n" + standardGrids +
                                    "[variable_grids]\n0\n" + laterSetupSections() + spinUp);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  return dir;
}

const char* const classGrids = "3\nland.asc landcls 0\nsoil.asc soilcls 0\ndepth.asc depth 0\n";

long openFiles() {
  long count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it)
    ++count;
  return count;
}

struct Units {
  int spinUp = -1;
  int preSpinUp = -1;
  int repeatCnt = -1;
  HRUList list;
  int code = 0;
};

Units createUnits(SetupModel& model) {
  Units u;
  u.code = exitCodeOf([&] { model.createHRUs(u.spinUp, u.preSpinUp, u.repeatCnt, u.list); });
  return u;
}

} // namespace

// Every process count numbers the units as one process scanning the whole
// grid in row order would, and keeps a master cell of each unit among its
// own cells.
TEST(SpinUpHRUs, NumberUnitsAlikeOnEveryProcessCount) {
  struct Case {
    const char* name;
    std::string standardGrids;
    std::string spinUp;
    std::vector<std::string> expected; // the gathered unit grid
    std::vector<std::string> keys;
    const char* unitFile;   // per process followed by "_%03d"
    const char* gathered;   // the gathered unit grid's file
    const char* masterFile; // both ways
  };
  const std::string none = "-9999 -9999 -9999 -9999 -9999 -9999";
  const Case cases[] = {
      {"two classed grids",
       classGrids,
       "[SpinUp]\n2  switch\n1  pre-spin-up\n3  repeats\n2  grids\n"
       "landcls 1 linear   free text\nsoilcls 10 linear\n",
       {"1 1 2 3 -9999 -9999", "1 4 1 1 5 2", "-9999 3 4 2 5 1", "4 3 5 1 1 2",
        "-9999 2 -9999 3 1 4"},
       {"0003'0012'", "0003'", "0000'-001'", "9999'0000'", "0007'9999'"},
       "All_HydrologicResponseUnits",
       "All_HydrologicResponseUnits",
       "Master_HydrologicResponseUnits"},
      {"square roots",
       classGrids,
       "[SpinUp]\n2\n1\n3\n1\ndepth 1 log_sqrt\n",
       {"1 1 2 3 3 -9999", "2 4 4 5 6 7", "-9999 5 5 3 3 3", "3 3 3 3 3 3", "-9999 3 3 3 3 3"},
       {"0004'", "0005'", "0000'", "0001'", "0002'", "0003'", "0010'"},
       "All_HydrologicResponseUnits",
       "All_HydrologicResponseUnits",
       "Master_HydrologicResponseUnits"},
      {"bracketed registry names",
       classGrids,
       "[SpinUp]\n2\n1\n3\n3\n[zone_grid] 1 linear\n[elevation_model] 1 linear\n"
       "depth 1 log_sqrt\n",
       {"1 1 2 3 3 -9999", "2 4 4 5 6 7", "-9999 5 5 3 3 3", "3 3 3 3 3 3", "-9999 3 3 3 3 3"},
       {"0001'0001'0004'", "0001'0001'0005'", "0001'0001'0000'", "0001'0001'0001'",
        "0001'0001'0002'", "0001'0001'0003'", "0001'0001'0010'"},
       "All_HydrologicResponseUnits",
       "All_HydrologicResponseUnits",
       "Master_HydrologicResponseUnits"},
      {"no grid lines",
       classGrids,
       "[SpinUp]\n2\n1\n3\n-1\n",
       {none, none, none, none, none},
       {},
       "All_HydrologicResponseUnits",
       "All_HydrologicResponseUnits",
       "Master_HydrologicResponseUnits"},
      {"units given as a grid",
       "1\nhru.asc HydrologicResponseUnits 0\n",
       "[SpinUp]\n2\n1\n3\n0\n",
       {"1 1 2 -9999 2 -9999", "3 3 1 4 2 2", "-9999 4 1 3 3 3", "2 2 2 1 4 5", "-9999 5 5 3 3 1"},
       {"50", "7", "3", "120", "9"},
       "hru.asc",
       "hru.asc.out",
       "MasterHydrologicResponseUnits"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = prepareRun("spinup_units", c.standardGrids, c.spinUp);
    const WorkingDirectory here(dir);
    SetupModel model(dir, dir + "/run.ctl");
    ASSERT_EQ(model.runSetup(), -1) << model.console() << model.errors();
    const Units u = createUnits(model);
    ASSERT_EQ(u.code, -1) << model.console() << model.errors();
    EXPECT_EQ(u.spinUp, 2);
    EXPECT_EQ(u.preSpinUp, 1);
    EXPECT_EQ(u.repeatCnt, 3);

    ASSERT_EQ(u.list.size(), c.keys.size() + 1);
    EXPECT_EQ(u.list[0].index, 0u);
    EXPECT_EQ(u.list[0].key, "");
    for (std::size_t i = 1; i < u.list.size(); ++i) {
      EXPECT_EQ(u.list[i].index, i);
      EXPECT_EQ(u.list[i].key, c.keys[i - 1]) << "unit " << i;
      EXPECT_FALSE(u.list[i].flag);
    }

    const auto expected = parseRows(c.expected);
    const int rank = worldRank();
    Grid units = model.getHRUGrid();
    Grid masters = model.getMasterHRUGrid();
    Grid regions = model.grid("MPIRegions");
    Grid halo = model.grid("MPIHalo");
    ASSERT_EQ(model.findGrid("HydrologicResponseUnits"), model.getHRUIndex());
    ASSERT_EQ(model.findGrid("MasterHydrologicResponseUnits"), model.getMasterHRUIndex());
    // The master of a unit is its first cell in row order over the whole
    // grid, on every process; its owner marks it, rank 0 after the gather.
    std::vector<bool> seen(c.keys.size() + 1, false);
    for (long r = 1; r <= rows; ++r) {
      for (long col = 1; col <= columns; ++col) {
        if (!regions[r] || !inZone(r, col)) continue;
        const int owner = static_cast<int>(regions[r][col]);
        const double unit = expected[r - 1][col - 1];
        const bool first = unit != nodata && !seen[static_cast<std::size_t>(unit)];
        if (unit != nodata) seen[static_cast<std::size_t>(unit)] = true;
        const bool own = owner == rank;
        const bool held = rank == 0 || own || (halo[r] && halo[r][col] >= 0.0);
        if (held) {
          EXPECT_EQ(units[r][col], unit) << "row " << r << " column " << col;
        }
        if (rank == 0 || own) {
          EXPECT_EQ(masters[r][col], first ? unit : nodata) << "row " << r << " column " << col;
        }
        if (first) {
          const HRUClass& record = u.list[static_cast<std::size_t>(unit)];
          EXPECT_EQ(record.masterRow, r) << "unit " << unit;
          EXPECT_EQ(record.masterColumn, col) << "unit " << unit;
        }
      }
    }

    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03d", rank);
    EXPECT_TRUE(fileExists(c.unitFile + std::string(suffix)));
    EXPECT_TRUE(fileExists(c.masterFile + std::string(suffix)));
    if (rank == 0) {
      EXPECT_EQ(readWrittenGrid(c.gathered), expected);
      std::vector<std::vector<double>> gatheredMasters(rows, std::vector<double>(columns));
      for (long r = 1; r <= rows; ++r)
        for (long col = 1; col <= columns; ++col) gatheredMasters[r - 1][col - 1] = masters[r][col];
      EXPECT_EQ(readWrittenGrid(c.masterFile), gatheredMasters);
      // The input of the renumbered grid stays as the user wrote it.
      EXPECT_EQ(readFile("hru.asc"), asciiGrid(codeRows, columns));
    }
    model.FreeMemory();
    // The next case clears the shared directory.
    MPI_Barrier(MPI_COMM_WORLD);
  }
}

// Failures end every process with the same code, also when only one
// process meets the cell that fails, and leave no control file open.
TEST(SpinUpHRUs, FailWithTheirCodesOnEveryProcess) {
  struct Case {
    const char* name;
    std::string spinUp;
    int code;
    std::string message; // on rank 0's console
    int fillRegistryTo = 0;
  };
  const Case cases[] = {
      {"no section", "", -1, ""},
      {"switched off", "[SpinUp]\n0\n1\n3\n0\n", -1, ""},
      {"no unit grid", "[SpinUp]\n1\n0\n1\n0\n", 1030,
       "standard grid with identifier HydrologicResponseUnits not found (Hydrologic "
       "Respond Units, HRU; used for SpinUp mode)"},
      {"class 10000", "[SpinUp]\n1\n0\n1\n2\nlandcls 1 linear\nbigcls 1 linear\n", 1031,
       "Creating HRUs resulted in a re-classify result of 10000 for grid bigcls at row=2 "
       "and col=3. Only 10'000 Classes are allowed for each grid. Choose a larger class width or "
       "use lg2 spacing to reduce the amount of HRUs."},
      {"width 0", "[SpinUp]\n1\n0\n1\n2\nlandcls 1 linear\nsoilcls 0 linear\n", 17,
       "the class width of grid soilcls must be greater than 0 (found 0)"},
      {"negative width", "[SpinUp]\n1\n0\n1\n1\nlandcls -10 sqrt\n", 17,
       "the class width of grid landcls must be greater than 0 (found -10)"},
      {"repeats missing", "[SpinUp]\n1\n0\n[next]\n", 17,
       "error in control file, repeatCnt not found; [SpinUp]"},
      {"short grid line", "[SpinUp]\n1\n0\n1\n1\nlandcls 1\n", 17,
       "error in control file,  error reading HRU defintions ; [SpinUp]"},
      {"grid lines run into the next section", "[SpinUp]\n1\n0\n1\n2\nlandcls 1 linear\n[next]\n",
       17, "reads \"[next]\": not found!"},
      {"unknown grid", "[SpinUp]\n1\n0\n1\n1\nnosuch 1 linear\n", 33, "Wether nosuch, [nosuch]"},
      {"no entry for the master grid", "[SpinUp]\n1\n0\n1\n1\nlandcls 1 linear\n", 12,
       "when trying to create HRUMaster grid: no free grid found in memory (max position "
       "1000)",
       998},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir =
        prepareRun("spinup_failures", "2\nland.asc landcls 0\nbig.asc bigcls 0\n", c.spinUp + "\n");
    const WorkingDirectory here(dir);
    SetupModel model(dir, dir + "/run.ctl");
    ASSERT_EQ(model.runSetup(), -1) << model.console() << model.errors();
    for (int i = 1; i <= c.fillRegistryTo; ++i) {
      GridRegistryEntry& e = model.entry(i);
      if (!e.hasFileName) e.hasFileName = true;
    }
    const long filesBefore = openFiles();
    const Units u = createUnits(model);
    EXPECT_EQ(u.code, c.code);
    EXPECT_EQ(openFiles(), filesBefore);
    if (worldRank() == 0 && !c.message.empty()) {
      EXPECT_NE(model.console().find(c.message), std::string::npos) << model.console();
    }
    if (c.code == -1) {
      EXPECT_EQ(u.spinUp, 0);
      EXPECT_EQ(u.preSpinUp, 0);
      EXPECT_EQ(u.repeatCnt, 0);
      ASSERT_EQ(u.list.size(), 1u);
      EXPECT_EQ(u.list[0].index, 0u);
      EXPECT_EQ(model.findGrid("MasterHydrologicResponseUnits", 1), 0);
      EXPECT_FALSE(fileExists("MasterHydrologicResponseUnits"));
    }
    model.FreeMemory();
    // The next case clears the shared directory.
    MPI_Barrier(MPI_COMM_WORLD);
  }
}
