#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/core/output_run.h"

namespace {

double levelValue(const StripModule& s, long r, long c, long level, long hour) {
  const double v = hourValue(s, r, c, hour);
  return v == nodata ? nodata : v + 0.5 * level;
}

// From 29 February 2020, 01:00 to 1 March 2020, 12:00: the leap February
// ends, and the run ends within a day, a month and a year. Every statistic,
// the grid itself, a vegetation period and a stack are written, and a grid
// that holds values outside the catchment too (as slope and aspect do).
struct OutputRun {
  OutputRun(const std::string& name, const OwnerMap& map, const std::string& dirArg, bool ascii,
            bool alone)
      : s(name, map), dir(dirArg), g(s.grid(nodata)), st(s.stack(lastLevel, nodata)) {
    // A module that owns every cell and writes without the others.
    if (alone) s.m.mpiSize = 1;
    s.m.writeAsciiGrids = ascii;
    s.m.writeDoubleGrids = !ascii;
    const std::pair<const char*, double> vegetation[] = {
        {"VegetationStart1", 0.0}, {"VegetationStop1", 0.0}, {"VegetationDuration1", 2.0}};
    for (const auto& [grid, value] : vegetation)
      s.m.registerGrid(s.m.firstFreeRegistryIndex(), "", s.grid(value), nullptr, 0, grid, 0, s.lo,
                       s.hi);
    const std::pair<const char*, long> codes[] = {
        {"runsum.grd", 10}, {"runmean.grd", 50}, {"range.grd", 300},
        {"daily.grd", 40},  {"month.grd", 70},   {"yearly.grd", 20},
        {"snap.grd", 6},    {"veg.grd", 2000},   {"filled.grd", 318}};
    for (const auto& [file, code] : codes)
      entries.push_back(addEntry(s, dir + "/" + file, g, code));
    Grid everywhere = s.grid(0.0);
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) everywhere[r][c] = cellValue(r, c);
    entries.push_back(addEntry(s, dir + "/everywhere.grd", everywhere, 3));
    // ASCII stacks are formatted by every process over its own rows, binary
    // ones written by every process at its own cells.
    stack = addEntry(s, dir + (ascii ? "/layers.stk" : "/binary.stk"), nullptr, ascii ? 5 : 1, st,
                     lastLevel);
  }
  ~OutputRun() { releaseEntries(s); }
  OutputRun(const OutputRun&) = delete;
  OutputRun& operator=(const OutputRun&) = delete;
  void run() {
    GridRegistryEntry& veg = s.m.getRegistry()[entries[7]];
    s.m.setEndDate(2020, 3, 1, 12, 0);
    runHours(s, g, date(2020, 2, 29, 1), date(2020, 3, 1, 12), 1, [&] {
      const ModelDate& d = s.m.currentDate;
      for (long r = s.lo; r <= s.hi; ++r)
        for (long c = 1; c <= s.ncols; ++c)
          for (long l = 0; l <= lastLevel; ++l) st[r][c][l] = levelValue(s, r, c, l, d.hour);
      veg.vegPeriodStarted = d.day == 29 && d.hour == 6;
      veg.vegPeriodEnded = d.day == 29 && d.hour == 24;
      for (int index : entries) s.m.writeOutputGrids(index, 1, 0);
      s.m.writeOutputStack(stack);
    });
  }
  static constexpr long lastLevel = 2;
  StripModule s;
  std::string dir;
  Grid g;
  Stack st;
  std::vector<int> entries;
  int stack = 0;
};

} // namespace

// The run on every process of the world and, on rank 0, the same run on a
// module that owns every cell: their files are byte for byte the same.
TEST(OutputGridsMPI, FilesMatchThoseOfOneProcess) {
  for (bool ascii : {true, false}) {
    const std::string format = ascii ? "ascii" : "double";
    const std::string many = makeTestDirectory("out_mpi_many_" + format, true);
    OutputRun distributed("out_mpi_" + format, ragged(worldSize()), many, ascii, false);
    distributed.run();
    MPI_Barrier(MPI_COMM_WORLD);
    if (worldRank() == 0) {
      const std::string single = makeTestDirectory("out_mpi_single_" + format);
      std::set<std::string> names = filesIn(many);
      if (!ascii) names.erase("binary.stk");
      {
        OutputRun alone("out_mpi_one_" + format, ragged(1), single, ascii, true);
        // Its binary stack would need every process; only the ASCII one is compared.
        if (!ascii) alone.s.m.getRegistry()[alone.stack].writeMode = 0;
        alone.run();
      }
      EXPECT_EQ(names, filesIn(single));
      std::set<std::string> expected = {
          "runsum.sum",          "runmean.mit",        "range.min",          "range.max",
          "daily_2002.29s",      "daily_2003.01s",     "month_202002.mit",   "month_202003.mit",
          "yearly_2000.sum",     "snap_20200229.2400", "snap_20200301.1200", "snap.grd",
          "veg_0020_vegper.mit", "filled.grd.filled",  "filled.grd",         "filled.sum",
          "filled.min",          "filled.max",         "everywhere.grd"};
      // The sums of the periods still open, for a warm start.
      for (const char* period : {"daily", "month", "yearly"})
        for (const char* kind : {".sum_End", ".count_End"})
          expected.insert(std::string(period) + kind);
      if (ascii) expected.insert({"layers_20200229.024", "layers_20200301.012", "layers.stk"});
      EXPECT_EQ(names, expected);
      for (const std::string& name : names)
        EXPECT_TRUE(readFile(many + "/" + name) == readFile(single + "/" + name)) << name;
      if (!ascii) {
        const OutputRun& d = distributed;
        // No process owns the cells outside the catchment: they are nodata.
        const DoubleGridFile everywhere(many + "/everywhere.grd", d.s.ncols);
        ASSERT_TRUE(everywhere.valid(d.s.nrows));
        for (long r = 1; r <= d.s.nrows; ++r)
          for (long c = 1; c <= d.s.ncols; ++c)
            EXPECT_EQ(everywhere.at(r, c), inCatchment(d.s, r, c) ? cellValue(r, c) : nodata)
                << r << "," << c;
        const DoubleGridFile sums(many + "/runsum.sum", d.s.ncols);
        ASSERT_TRUE(sums.valid(d.s.nrows));
        for (long r = 1; r <= d.s.nrows; ++r)
          for (long c = 1; c <= d.s.ncols; ++c)
            if (inCatchment(d.s, r, c) && !(r == emptyRow && c == emptyColumn)) {
              EXPECT_EQ(sums.at(r, c), daySum(r, c, 24) + daySum(r, c, 12)) << r << "," << c;
            }
        const DoubleGridFile stack(many + "/binary.stk", d.s.ncols * (OutputRun::lastLevel + 1));
        ASSERT_TRUE(stack.valid(d.s.nrows));
        for (long r = 1; r <= d.s.nrows; ++r)
          for (long c = 1; c <= d.s.ncols; ++c)
            for (long l = 0; l <= OutputRun::lastLevel; ++l)
              if (inCatchment(d.s, r, c)) {
                EXPECT_EQ(stack.at(r, (c - 1) * (OutputRun::lastLevel + 1) + l + 1),
                          levelValue(d.s, r, c, l, 12))
                    << r << "," << c << "," << l;
              }
      }
    }
    MPI_Barrier(MPI_COMM_WORLD);
  }
}

// Rank 0 writes alone; when it fails, every process ends with its code
// instead of waiting in the next gather.
TEST(OutputGridsMPI, AFailedWriteEndsEveryProcess) {
  const std::string dir = makeTestDirectory("out_mpi_failure", true);
  OutputRun run("out_mpi_failure", ragged(worldSize()), dir, true, false);
  run.s.m.setEndDate(2020, 12, 31, 24, 0);
  run.s.m.currentDate = date(2020, 7, 1, 1);
  // A grid and a stack that cannot be created say so in their own words.
  const int grid = addEntry(run.s, dir + "/absent/tempr.grd", run.g, 1);
  EXPECT_EQ(exitCodeOf([&] { run.s.m.writeOutputGrids(grid); }), 26);
  const int stack =
      addEntry(run.s, dir + "/absent/layers.stk", nullptr, 1, run.st, OutputRun::lastLevel);
  EXPECT_EQ(exitCodeOf([&] { run.s.m.writeOutputStack(stack); }), 26);
  if (worldRank() == 0) {
    EXPECT_NE(run.s.m.console().find("error creating " + dir + "/absent/tempr.grd"),
              std::string::npos);
    EXPECT_NE(run.s.m.console().find("error opening " + dir + "/absent/layers.stk"),
              std::string::npos);
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

// A value that is not a finite number ends the write of a grid or stack in
// every format on every process, before the file is in place, and the
// message names the first such cell of the file whichever process owns it.
TEST(OutputGridsMPI, ANumberThatIsNotFiniteEndsEveryProcessNamingItsFirstCell) {
  const std::string dir = makeTestDirectory("out_mpi_not_finite", true);
  OutputRun run("out_mpi_not_finite", ragged(worldSize()), dir, true, false);
  StripModule& s = run.s;
  s.m.setEndDate(2020, 12, 31, 24, 0);
  s.m.currentDate = date(2020, 7, 1, 1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // (2, 5) lies in the strip of the highest rank, (7, 4) in that of rank 0.
  auto spoil = [&](double first, double later) {
    for (long r = s.lo; r <= s.hi; ++r)
      for (long c = 1; c <= s.ncols; ++c) {
        const bool own = s.owner[r][c] == s.rank;
        run.g[r][c] = own ? cellValue(r, c) : nodata;
        for (long l = 0; l <= OutputRun::lastLevel; ++l)
          run.st[r][c][l] = own ? cellValue(r, c) : nodata;
      }
    for (const auto& [r, c, v] : {std::tuple{2L, 5L, first}, std::tuple{7L, 4L, later}})
      if (s.owner[r][c] == s.rank) run.g[r][c] = run.st[r][c][1] = v;
  };
  struct Case {
    const char* name;
    bool ascii, doubles, netcdf;
    double first; // at row 2, column 5; nan at row 7, column 4
    const char* shown;
  };
  const Case cases[] = {{"ascii", true, false, false, HUGE_VAL, "inf"},
                        {"double", false, true, false, -HUGE_VAL, "-inf"},
                        // A float holds no value above about 3.4e38.
                        {"float", false, false, false, 1e39, "inf"},
                        {"netcdf", false, true, true, nan, "nan"}};
  for (const Case& c : cases) {
    spoil(c.first, nan);
    s.m.writeAsciiGrids = c.ascii;
    s.m.writeDoubleGrids = c.doubles;
    s.m.writeNetCDFGrids = c.netcdf;
    const std::string grid = dir + "/grid_" + c.name + ".grd";
    const std::string stack = dir + "/stack_" + c.name + ".stk";
    const int gridEntry = addEntry(s, grid, run.g, 1);
    const int stackEntry = addEntry(s, stack, nullptr, 1, run.st, OutputRun::lastLevel);
    EXPECT_EQ(exitCodeOf([&] { s.m.writeOutputGrids(gridEntry); }), 20) << c.name;
    EXPECT_EQ(exitCodeOf([&] { s.m.writeOutputStack(stackEntry); }), 20) << c.name;
    MPI_Barrier(MPI_COMM_WORLD);
    if (worldRank() != 0) continue;
    const std::string file = c.netcdf ? ".nc" : "";
    for (const auto& [name, place] :
         {std::pair{grid, "row 2, column 5 "}, std::pair{stack, "row 2, column 5, level 1 "}}) {
      EXPECT_NE(s.m.console().find("the output " + name + file + " would hold " + c.shown + " at " +
                                   place + "in the step of 2020-07-01 01:00"),
                std::string::npos)
          << c.name << "\n"
          << s.m.console();
      EXPECT_FALSE(fileExists(name + file)) << name;
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

namespace {

// Sets cell (r, c) of a binary double grid file, or with r 0 moves its
// corner a cell east.
void spoilDoubleGrid(const std::string& path, long ncols, long r, long c, double value) {
  std::string bytes = readFile(path);
  const size_t at = r == 0 ? 2 : 12 + static_cast<size_t>((r - 1) * ncols + (c - 1));
  double v = value;
  if (r == 0) {
    double x = 0.0, cell = 0.0;
    std::memcpy(&x, &bytes[2 * sizeof(double)], sizeof x);
    std::memcpy(&cell, &bytes[4 * sizeof(double)], sizeof cell);
    v = x + cell;
  }
  std::memcpy(&bytes[at * sizeof(double)], &v, sizeof v);
  writeFile(path, bytes);
}

} // namespace

// A warm start goes on with the sum and count of the day a former run ended
// in (here from 1 March 2020, 01:00 to 12:00, hourly), cell for cell. What
// no such run leaves ends every process with 22, the message naming the
// first such cell in the order of the file, whichever process holds it:
// (2, 5) lies in the strip of the highest rank, (8, 10) in rank 0's.
TEST(OutputGridsMPI, AWarmStartTakesTheSumsOfADayAsARunLeavesThem) {
  const std::string dir = makeTestDirectory("out_mpi_state", true);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  {
    StripModule s("out_mpi_state_former", ragged(worldSize()));
    s.m.writeAsciiGrids = false;
    s.m.writeDoubleGrids = true;
    Grid g = s.grid(nodata);
    const int daily = addEntry(s, dir + "/daily.grd", g, 40);
    s.m.setEndDate(2020, 3, 1, 12, 0);
    runHours(s, g, date(2020, 3, 1, 1), date(2020, 3, 1, 12), 1,
             [&] { s.m.writeOutputGrids(daily, 1, 0); });
    releaseEntries(s);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  const std::string sum = readFile(dir + "/daily.sum_End");
  const std::string count = readFile(dir + "/daily.count_End");
  struct Spoil {
    bool count; // else the sum
    long r, c;
    double value;
  };
  struct Case {
    const char* name;
    std::vector<Spoil> spoils;
    std::string words; // empty: read as written
  };
  // The hours' values 100 r + c + hour lie within 0 ... 1000.
  const Case cases[] = {
      {"as written", {}, ""},
      {"sum nan",
       {{false, 2, 5, nan}},
       "daily.sum_End holds nan at row 2, column 5, which is "
       "not a finite number"},
      {"sum below its values",
       {{false, 8, 10, -5.0}, {false, 2, 5, -1.0}},
       "daily.sum_End holds -1 at row 2, column 5, which must lie within its 12 values times 0 "
       "... 1000 (the test's range)"},
      {"sum above its values",
       {{false, 8, 10, 12001.0}},
       "daily.sum_End holds 12001 at row 8, column 10, which must lie within its 12 values"},
      {"count of half a value",
       {{true, 8, 10, 0.5}},
       "daily.count_End holds 0.5 at row 8, column 10, which must be a whole number of values "
       "0 ... 24 (the steps of a day of 60 minutes)"},
      {"count of more than a day", {{true, 2, 5, 25.0}}, "daily.count_End holds 25 at row 2"},
      {"count nan", {{true, 2, 5, nan}}, "daily.count_End holds nan at row 2, column 5"},
      {"a sum without values",
       {{true, 2, 5, 0.0}},
       "daily.sum_End holds 2538 at row 2, column 5, which must be 0, since " + dir +
           "/daily.count_End counts no value there"},
      {"another grid",
       {{false, 0, 0, 0.0}},
       "daily.sum_End holds 12 columns x 9 rows of cells of 1 from (1, 0) with nodata -9999, "
       "not the model grid of 12 columns x 9 rows of cells of 1 from (0, 0)"},
  };
  for (const Case& k : cases) {
    if (worldRank() == 0) {
      writeFile(dir + "/daily.sum_End", sum);
      writeFile(dir + "/daily.count_End", count);
      for (const Spoil& p : k.spoils)
        spoilDoubleGrid(dir + (p.count ? "/daily.count_End" : "/daily.sum_End"), 12, p.r, p.c,
                        p.value);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    StripModule s("out_mpi_state_warm", ragged(worldSize()));
    Grid g = s.grid(nodata);
    const int daily = addEntry(s, dir + "/daily.grd", g, 40);
    GridRegistryEntry& e = s.m.getRegistry()[daily];
    e.valueRange = GridValueRange{true, 0.0, 1000.0, "the test's range"};
    const int code = exitCodeOf([&] { s.m.readStatisticsState(60.0); });
    EXPECT_EQ(code, k.words.empty() ? -1 : 22) << k.name; // -1: none thrown
    if (k.words.empty()) {
      // Every own cell goes on with the twelve hours of the morning.
      for (long r = std::max(s.lo, e.statisticsFirstRow); r <= std::min(s.hi, e.statisticsLastRow);
           ++r)
        for (long c = 1; c <= s.ncols; ++c)
          if (s.owner[r][c] == s.rank && !(r == emptyRow && c == emptyColumn)) {
            EXPECT_EQ(e.meanGrid[r][c], daySum(r, c, 12)) << r << "," << c;
            EXPECT_EQ(e.meanCountGrid[r][c], dayCount(r, c, 12)) << r << "," << c;
          }
    } else if (worldRank() == 0) {
      EXPECT_NE(s.m.console().find(k.words), std::string::npos) << k.name << "\n" << s.m.console();
    }
    releaseEntries(s);
    MPI_Barrier(MPI_COMM_WORLD);
  }
}
