// The state file, the point series of the control point, the end of the
// run and the dump files of the unsaturated zone on the fixture's catchment.

#include <gtest/gtest.h>
#include <omp.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "core/collective_status.h"
#include "core/ctrl_c.h"
#include "tests/soil/column_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

constexpr size_t iniEntry = 7;
constexpr size_t controlEntry = 72;
constexpr size_t codesEntry = 79;

class EndOfRunUnsatzon : public TestUnsatzon {
public:
  using TestUnsatzon::TestUnsatzon;
  using unsatzonmodellklasse::dumpControl;
  using unsatzonmodellklasse::pointSeries;
  using unsatzonmodellklasse::writeStorage;
};

std::string text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0;
}

// The fixture's catchment as two subbasins (row 1 and the rest), with the
// changes of `edit` to the section's lines; steps run the columns.
struct Rig {
  explicit Rig(const std::string& name,
               const std::function<void(std::vector<std::string>&)>& edit = nullptr)
      : setup(name), uses(2), cd(setup.directory) {
    uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
    setup.base.context.landuseTable = &uses;
    setup.base.addGrid("precipitation", uniform(0.5));
    setup.base.addGrid("zonegrid_soilmodel", {1, 1, 1, 1, 2, 2, 2, 2, 2, 2, nodata, nodata});
    lines = setup.lines;
    lines[codesEntry] = "1 2  codes";
    lines[80] = "0 0  kelsqd";
    lines[81] = "0 0  kelsqi";
    lines[82] = "0.001 0.0600000001  density";
    if (edit) edit(lines);
    int code = 0;
    writeFile(setup.base.controlFile, unsatzonSection(lines));
    module = constructSubmodel<EndOfRunUnsatzon>(code, setup.base.context, &setup.soils);
    EXPECT_EQ(code, 0) << log();
    if (module) {
      EXPECT_EQ(startRunoff(*module), 0) << log();
    }
  }
  void steps(int count) {
    for (int h = 0; h < count; ++h) {
      module->readGroundwaterHeads(2020, 6, 1, h, 0);
      module->computeTimeStep(0, h, 1, 6, 2020);
      module->concentrateRunoff(0, h, 1, 6, 2020);
    }
  }
  std::string log() const { return setup.base.log.console.str(); }
  std::string path(const std::string& name) const { return setup.directory + "/" + name; }
  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  std::vector<std::string> lines;
  std::unique_ptr<EndOfRunUnsatzon> module;
};

// Two subbasins without flow times: one flow-time step each.
const char* const goldenState =
    "[unsatzon_model]\n"
    "2 (number of subasins)\n"
    "1\t2\t(code)\n"
    "0.059999999999999998 0.059999999999999998 (kelsqd in min)\n"
    "0.059999999999999998 0.059999999999999998 (kelsqi in min)\n"
    "0.001 0.060000000099999999 (drainage density)\n"
    "1 1 (inverse recession constant for baseflow [needed when using no groundwater model])\n"
    "1 1 (max. baseflow [needed when using no groundwater model])\n"
    "1 1 (surface runoff fraction of snowmelt)\n"
    "0 (number of tracers)\n"
    "0 (0=runoff, 1...9 = tracers)\n"
    "1 1 (zone 1 and maxzeit)\n"
    "0 0 1 1 0 (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
    "0 0 1 1 0 (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
    "0 (QDd[0][1])\n"
    "0 (QIi[0][1])\n"
    "2 1 (zone 2 and maxzeit)\n"
    "0 0 1 1 0 (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
    "0 0 1 1 0 (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
    "0 (QDd[0][2])\n"
    "0 (QIi[0][2])\n"
    "\n";

std::string replaced(std::string s, const std::string& from, const std::string& to) {
  const size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

} // namespace

// The section of a cold start is the golden file; after steps with runoff
// the linear storages and records are written to the last bit and read
// back the same.
TEST(UnsatzonStateFile, WritesItsSectionAndReadsItBack) {
  Rig rig("unsatzon_state_file");
  ASSERT_NE(rig.module, nullptr);
  rig.module->writeStorageFile(false);
  EXPECT_EQ(text(rig.path("state_0")), goldenState);

  rig.steps(3);
  std::vector<double> before;
  for (auto* a : {&rig.module->QDout, &rig.module->QIout})
    before.insert(before.end(), (*a)[0].begin(), (*a)[0].end());
  EXPECT_GT(before[1], 0.0);
  rig.module->writeStorageFile(false);
  rig.module->QDout[0].assign(3, 0.0);
  rig.module->QIout[0].assign(3, 0.0);
  ASSERT_EQ(catchExitCode([&] { rig.module->readStorageFile(); }), 0) << rig.log();
  std::vector<double> after;
  for (auto* a : {&rig.module->QDout, &rig.module->QIout})
    after.insert(after.end(), (*a)[0].begin(), (*a)[0].end());
  EXPECT_EQ(after, before);
}

// Every mismatch ends the read with 71 and names the value; values agree
// within 1e-5 relative, a stored 0 only with 0; a missing file is 64.
TEST(UnsatzonStateFile, ReadFailuresNameTheValue) {
  Rig rig("unsatzon_state_read");
  ASSERT_NE(rig.module, nullptr);
  const std::string golden = goldenState;
  // The console shows the entries without their level.
  const std::string mismatch = "error in storage file content reading ";
  const struct {
    const char* what;
    std::string file; // empty: no file
    int code;
    std::string message;
  } cases[] = {
      {"subbasins", replaced(golden, "2 (number of", "3 (number of"), 71,
       mismatch + "number of subbasins:\nvalue in actual control is:   2"},
      {"code", replaced(golden, "1\t2\t(code)", "1\t5\t(code)"), 71, mismatch + "subbasin code:"},
      {"kelsqd", replaced(golden, "0.059999999999999998 0.059999999999999998 (kelsqd",
                          "0.07 0.06 (kelsqd"),
       71, mismatch + "kelsqd:"},
      {"stored 0", replaced(golden, "0.001 0.060000000099999999", "0 0.06"), 71,
       mismatch + "flussdichte:"},
      {"within 1e-5", replaced(golden, "0.001 0.060000000099999999", "0.001 0.06"), 0, ""},
      {"tracers", replaced(golden, "0 (number of tracers)", "1 (number of tracers)"), 71,
       mismatch + "number of tracers:"},
      {"zone", replaced(golden, "2 1 (zone 2", "3 1 (zone 2"), 71, mismatch + "actual zone:"},
      {"maxzeit", replaced(golden, "2 1 (zone 2", "2 2 (zone 2"), 71,
       mismatch + "maxzeit of actual subbasin:"},
      {"four fields", replaced(golden, "0 0 1 1 0 (zoneFZT_QD", "0 0 1 1 (zoneFZT_QD"), 71,
       mismatch + "number of fields for zonal statistics QD:"},
      {"truncated", golden.substr(0, golden.find("0 0 1 1 0")), 71,
       mismatch + "number of fields for zonal statistics QD:"},
      {"no section", "[routing_model]\n1\n", 71,
       "error locking for the section [unsatzon_model] in state_0"},
      {"snow first",
       "[snow_model]\n2 (number of subasins)\n1\t0.000000(TG code and Qice_slr value)\n\n" +
           golden,
       0, ""},
      {"missing", "", 64, "error opening storage content file state_0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove("state_0");
    if (!c.file.empty()) writeFile("state_0", c.file);
    rig.setup.base.log.console.str("");
    EXPECT_EQ(catchExitCode([&] { rig.module->readStorageFile(); }), c.code);
    if (!c.message.empty()) {
      EXPECT_NE(rig.log().find(c.message), std::string::npos) << rig.log();
    }
  }
}

namespace {

// The rows of a point file after its header, split into fields.
std::vector<std::vector<std::string>> rowsOf(const std::string& path) {
  std::istringstream lines(text(path));
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    rows.emplace_back();
    for (std::string f; std::getline(fields, f, '\t');) rows.back().push_back(f);
  }
  return rows;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

} // namespace

// One row per sub-step, "%ld" dates and each series' own width; a buffer of
// two records is written every second sub-step, the flush writes the rest
// and logs the bytes of the series' own width.
TEST(UnsatzonPointSeries, RowsOfEverySubstepReachTheirFiles) {
  Rig rig("unsatzon_point_series", [](std::vector<std::string>& l) { l[controlEntry] = "2 2"; });
  ASSERT_NE(rig.module, nullptr);
  for (auto& series : rig.module->pointSeries) series->setCapacity(2);
  const std::pair<const char*, size_t> files[] = {{"qbottom.txt", 4}, {"theta.txt", 4},
                                                  {"hhyd.txt", 4},    {"other.txt", 24},
                                                  {"etr.txt", 5},     {"interflow.txt", 4}};
  rig.steps(3);
  for (const auto& [name, width] : files) {
    SCOPED_TRACE(name);
    const auto rows = rowsOf(rig.path(name));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].size(), 4 + width);
    EXPECT_EQ((std::vector<std::string>(rows[1].begin(), rows[1].begin() + 4)),
              (std::vector<std::string>{"2020", "6", "1", "1"}));
  }
  rig.setup.base.log.console.str("");
  rig.module->flushStatistics();
  for (const auto& [name, width] : files) {
    SCOPED_TRACE(name);
    EXPECT_EQ(rowsOf(rig.path(name)).size(), 3u);
    EXPECT_NE(rig.log().find("write " + rig.path(name) + " (" +
                             std::to_string(width * 8 + 32) + " of 2097152 buffer-bytes)"),
              std::string::npos)
        << rig.log();
  }
  // The theta row holds the column of the last sub-step.
  const auto theta = rowsOf(rig.path("theta.txt"));
  char value[32];
  std::snprintf(value, sizeof value, "%g", rig.setup.stack("theta")[2][2][3]);
  EXPECT_EQ(theta[2][4 + 2], value);
}

// A point file whose folder went away ends the run with 65, and Ctrl-C is
// caught again afterwards.
TEST(UnsatzonPointSeries, AnUnwritableFileEndsTheRunAndKeepsCtrlC) {
  char* base = realpath(makeTestDirectory("unsatzon_point_gone", true).c_str(), nullptr);
  const std::string folder = std::string(base) + "/points";
  std::free(base);
  mkdir(folder.c_str(), 0755);
  Rig rig("unsatzon_point_missing", [&](std::vector<std::string>& l) {
    l[controlEntry] = "2 2";
    for (size_t k = 73; k <= 78; ++k) l[k] = folder + "/p" + std::to_string(k) + ".txt";
  });
  ASSERT_NE(rig.module, nullptr);
  rig.steps(1);
  for (size_t k = 73; k <= 78; ++k) std::remove((folder + "/p" + std::to_string(k) + ".txt").c_str());
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  EXPECT_EQ(catchExitCode([&] { rig.module->flushStatistics(); }), 65);
  EXPECT_NE(rig.log().find("\nerror opening file " + folder + "/p73.txt"), std::string::npos);
  ctrlCState = 0;
  std::raise(SIGINT);
  EXPECT_EQ(ctrlCState, 1);
  ctrlCState = 0;
  ResetCtrlCHandler();
}

// With the write-storage flag the end writes the state file, the control
// cell's water (sum of theta d 1000 of the final column) in its owner's
// log and the three means; without it none of them.
TEST(UnsatzonEndOfRun, SummariesAndStateFileOnlyWithTheWriteStorageFlag) {
  for (const bool flag : {true, false}) {
    SCOPED_TRACE(flag);
    Rig rig(flag ? "unsatzon_end_flag" : "unsatzon_end_noflag",
            [](std::vector<std::string>& l) { l[controlEntry] = "2 2"; });
    ASSERT_NE(rig.module, nullptr);
    rig.steps(2);
    rig.module->setWriteStorageFlag(flag ? 1 : 0);
    double water = 0.0;
    for (int k = 1; k <= 4; ++k) water += rig.setup.stack("theta")[2][2][k] * 0.25 * 1000.0;
    char line[160];
    std::snprintf(line, sizeof line,
                  "(mpi_rank 0) soil water content (control point r=2 c=2) at model-end: %lf mm\n",
                  water);
    const size_t rowsBefore = rowsOf(rig.path("theta.txt")).size();
    rig.module->finishModelRun(false);
    const std::string log = text(rig.path("modell_0.log"));
    EXPECT_EQ(exists(rig.path("state_0")), flag);
    EXPECT_EQ(log.find(line) != std::string::npos, flag) << log;
    EXPECT_EQ(log.find("mean soil water content for partly or completely glacierized cells at "
                       "model-end: 0.000000 m^3/m^2\n") != std::string::npos,
              flag);
    EXPECT_EQ(rowsOf(rig.path("theta.txt")).size(), flag ? 2u : rowsBefore);
    EXPECT_EQ(rig.setup.base.registry[rig.setup.base.registry.size() - 1].hasName, false);
  }
}

namespace {

std::string dumpName(const std::string& markers, long row, long column, long hour) {
  char name[160];
  std::snprintf(name, sizeof name, "MPI_0_%sdump_row_%ld_col_%ld_substep_1_20200601%02ld.dmp",
                markers.c_str(), row, column, hour);
  return name;
}

// The files of a wet bottom layer in cells (2, 1) .. (2, cells) at the
// hours 0 .. hours - 1.
std::set<std::string> thetaDumps(long cells, long hours) {
  std::set<std::string> names;
  for (long c = 1; c <= cells; ++c)
    for (long h = 0; h < hours; ++h) names.insert(dumpName("theta(4)_", 2, c, h));
  return names;
}

// The catchment's ten cells, in row order.
const long catchmentCells[10][2] = {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 1},
                                    {2, 2}, {2, 3}, {2, 4}, {3, 1}, {3, 2}};

} // namespace

// The table stands at the surface (every layer saturated), so that layer 4
// lies below the iteration's range: warm-started 0.01 above saturation it
// fails the theta check in every water step. A largest baseflow of 20 mm
// per step drains 20 mm from the saturated layer 1 (53 mm above field
// capacity), more than the 10 mm of the dgw check.
TEST(UnsatzonDumps, FilesMessagesAndRepairsOfFailingColumns) {
  const std::string repair = "setting the misbehaving parameter back to what is expected of it :-)";
  const std::string last = repair + "\n continuing from now on without that message...";
  const std::string close = "\n\n -------- command line option -closeAfterDump active! "
                            "---------------------------------------------\n\n a dumpfile has "
                            "been written and Horva aborts now.\n";
  std::set<std::string> everyBaseflow;
  for (const auto& cell : catchmentCells)
    everyBaseflow.insert(
        dumpName(cell[0] == 2 && cell[1] == 1 ? "theta(4)_dgw_" : "dgw_", cell[0], cell[1], 0));
  struct Case {
    const char* what;
    int failing; // cells (2, 1) .. (2, failing) with the wet bottom layer
    DumpOptions options;
    double maxBaseflow; // mm per step
    int threads;
    long steps;
    std::set<std::string> files;
    long long events;
    size_t repairs; // repair messages, the last of them with its closing words
    bool lastRepair;
    int code;
  };
  const Case cases[] = {
      {"three files", 1, {1, 0, 0, 3}, 0.0, 1, 4, thetaDumps(1, 3), 4, 0, false, 0},
      {"repair", 4, {1, 0, 1, 3}, 0.0, 1, 1, thetaDumps(3, 1), 4, 3, true, 0},
      {"close", 1, {1, 1, 0, 0}, 0.0, 1, 1, thetaDumps(1, 1), 1, 0, false, 199},
      {"four threads", 4, {1, 0, 0, 0}, 0.0, 4, 1, thetaDumps(4, 1), 4, 0, false, 0},
      {"baseflow", 1, {1, 0, 0, 0}, 20.0, 1, 1, everyBaseflow, 10, 0, false, 0},
      // Without a limit the repairs are silent.
      {"baseflow repaired", 1, {1, 0, 1, 0}, 20.0, 1, 1, everyBaseflow, 10, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig(std::string("unsatzon_dump_") + std::to_string(&c - cases),
            [&](std::vector<std::string>& l) {
              l[iniEntry] = "10  ini_gw_level: the table in layer 1";
              l[84] = std::to_string(c.maxBaseflow) + " " + std::to_string(c.maxBaseflow);
            });
    ASSERT_NE(rig.module, nullptr);
    rig.module->setDumpMode(c.options.dumpMode, c.options.closeAfterDump, c.options.repairAfterDump,
                            c.options.maxDumpFiles);
    const Stack theta = rig.setup.stack("theta");
    for (long k = 1; k <= c.failing; ++k) theta[2][k][4] = 0.46;
    auto storage = [&](long r, long col) {
      double water = rig.setup.grid("ponding_storage")[r][col];
      for (int k = 1; k <= 4; ++k) water += theta[r][col][k] * 250.0;
      return water;
    };
    std::vector<double> before;
    for (const auto& cell : catchmentCells) {
      before.push_back(storage(cell[0], cell[1]));
      // The step adds its transpiration and evaporation to these.
      for (const char* name : {"real_transpiration1", "real_evaporation"})
        rig.setup.grid(name)[cell[0]][cell[1]] = 0.0;
    }
    const int threads = omp_get_max_threads();
    omp_set_num_threads(c.threads);
    int code = 0;
    for (long h = 0; h < c.steps && code == 0; ++h)
      code = catchExitCode([&] {
        rig.module->readGroundwaterHeads(2020, 6, 1, h, 0);
        rig.module->computeTimeStep(0, h, 1, 6, 2020);
      });
    omp_set_num_threads(threads);
    const std::string log = rig.log();
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(dumpFiles(rig.setup.directory), c.files);
    EXPECT_EQ(rig.module->dumpControl.events(), c.events);
    EXPECT_EQ(count(log, repair), c.repairs) << log;
    EXPECT_EQ(count(log, last), c.lastRepair ? 1u : 0u);
    EXPECT_EQ(log.find(close) != std::string::npos, c.code == 199) << log;
    // The baseflow of the step in mm; the repair leaves the rate of 10 mm
    // in a step of 3600 s.
    const Grid baseflow = rig.setup.grid("baseflow");
    for (const auto& cell : catchmentCells) {
      const double rate = baseflow[cell[0]][cell[1]];
      if (c.options.repairAfterDump && c.maxBaseflow > 0.0) {
        EXPECT_EQ(rate, 10.0 / 3.6e6);
      } else if (c.maxBaseflow > 0.0) {
        EXPECT_NEAR(rate * 3.6e6, c.maxBaseflow, 1e-9);
      }
    }
    for (long k = 1; k <= c.failing && c.options.repairAfterDump; ++k) {
      EXPECT_EQ(theta[2][k][4], 0.45);
    }
    // A repair keeps the water of the baseflow beyond 10 mm in the column
    // and books what it takes from a layer above saturation in "Balance".
    for (size_t i = 0; i < 10 && c.options.repairAfterDump; ++i) {
      const long r = catchmentCells[i][0], col = catchmentCells[i][1];
      auto g = [&](const char* name) { return rig.setup.grid(name)[r][col]; };
      const double out = g("directflow") + g("interflow") + g("real_transpiration1") +
                         g("real_evaporation") + g("baseflow") * 3.6e6;
      EXPECT_NEAR(storage(r, col) - before[i], 0.5 - out + g("Balance"), 1e-9)
          << "cell " << r << " " << col;
    }
  }
}

// A dump file holds the column at the start of its water step in the
// layout of the user guide: step 1 of 3600 s, then the cell's row and column
// after the profiles.
TEST(UnsatzonDumps, TheRecordLeadsWithTheStepAndPlacesTheCell) {
  Rig rig("unsatzon_dump_record",
          [](std::vector<std::string>& l) { l[iniEntry] = "10  ini_gw_level"; });
  ASSERT_NE(rig.module, nullptr);
  rig.module->setDumpMode(1, 0, 0, 0);
  rig.setup.stack("theta")[2][1][4] = 0.46;
  rig.module->readGroundwaterHeads(2020, 6, 1, 0, 0);
  rig.module->computeTimeStep(0, 0, 1, 6, 2020);
  const std::string bytes = text(rig.path(dumpName("theta(4)_", 2, 1, 0)));
  // One land-use layer, four soil layers.
  ASSERT_EQ(bytes.size(), 4u + 24 + 16 + 14 * 5 * 8 + 4 + 4 + 16 + 16 + 4);
  std::int32_t step = 0, row = 0, column = 0;
  double dt = 0.0;
  std::memcpy(&step, bytes.data(), 4);
  std::memcpy(&dt, bytes.data() + 4, 8);
  std::memcpy(&row, bytes.data() + 4 + 24 + 16 + 560 + 8, 4);
  std::memcpy(&column, bytes.data() + 4 + 24 + 16 + 560 + 12, 4);
  EXPECT_EQ(step, 1);
  EXPECT_EQ(dt, 3600.0);
  EXPECT_EQ(row, 2);
  EXPECT_EQ(column, 1);
}

// A dump file that cannot be created (a folder of its name) is reported
// once per process.
TEST(UnsatzonDumps, AnUnwritableDumpFileIsOneWarning) {
  Rig rig("unsatzon_dump_unwritable",
          [](std::vector<std::string>& l) { l[iniEntry] = "10  ini_gw_level"; });
  ASSERT_NE(rig.module, nullptr);
  rig.module->setDumpMode(1, 0, 0, 0);
  rig.setup.stack("theta")[2][1][4] = 0.46;
  for (long h = 0; h < 2; ++h) {
    mkdir(rig.path(dumpName("theta(4)_", 2, 1, h)).c_str(), 0755);
    rig.module->readGroundwaterHeads(2020, 6, 1, h, 0);
    rig.module->computeTimeStep(0, h, 1, 6, 2020);
  }
  EXPECT_EQ(count(rig.log(), "the dump file MPI_0_theta(4)_dump_row_2_col_1"), 1u) << rig.log();
}
