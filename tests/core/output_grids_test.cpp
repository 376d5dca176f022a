#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/core/output_run.h"

namespace {

long countStartingWith(const std::set<std::string>& names, const std::string& prefix) {
  long n = 0;
  for (const std::string& name : names) n += name.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// Every cell of a written double grid against the expected value of an
// owned catchment cell; cells outside the catchment hold nodata, and so does
// the cell without values unless it holds `empty`.
template <typename Expected>
void expectStatistics(const StripModule& s, const std::string& path, Expected expected,
                      double empty = nodata) {
  const DoubleGridFile f(path, s.ncols);
  ASSERT_TRUE(f.valid(s.nrows)) << path;
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c) {
      const double want = !inCatchment(s, r, c)                 ? nodata
                          : (r == emptyRow && c == emptyColumn) ? empty
                                                                : expected(r, c);
      ASSERT_EQ(f.at(r, c), want) << path << " " << r << "," << c;
    }
}

// A module on the ragged catchment writing double grids into its own
// directory.
struct OutputModule {
  explicit OutputModule(const std::string& name)
      : s(name, ragged(1)), dir(makeTestDirectory(name + "_files")), g(s.grid(nodata)) {
    s.m.writeAsciiGrids = false;
    s.m.writeDoubleGrids = true;
  }
  ~OutputModule() { releaseEntries(s); }
  OutputModule(const OutputModule&) = delete;
  OutputModule& operator=(const OutputModule&) = delete;
  int add(const std::string& file, long code, Stack stack = nullptr, unsigned levels = 0) {
    return addEntry(s, dir + "/" + file, g, code, stack, levels);
  }
  void run(ModelDate from, ModelDate to, const std::vector<int>& entries, long firstHour = 1) {
    s.m.setEndDate(to.year, to.month, to.day, to.hour, to.minute);
    runHours(s, g, from, to, firstHour, [&] {
      for (int index : entries) s.m.writeOutputGrids(index, 1, 0);
    });
  }
  StripModule s;
  std::string dir;
  Grid g;
};

} // namespace

// From 1 December 2019, 01:00 to 10 February 2021, 12:00 in hourly steps:
// 437 whole days and 12 hours of the last. The model time sets February to
// the end year's 28 days; the leap February of 2020 still ends on the 29th.
TEST(OutputGrids, StatisticsOverTwoYearsOfHourlySteps) {
  OutputModule o("out_two_years");
  StripModule& s = o.s;
  s.m.monthDays[1] = 28;
  const std::vector<int> entries = {
      o.add("runsum.grd", 10), o.add("runmean.grd", 50),  o.add("range.grd", 300),
      o.add("daily.grd", 40),  o.add("monthsum.grd", 30), o.add("monthmean.grd", 70),
      o.add("yearly.grd", 20), o.add("snap.grd", 6),      o.add("ann.grd", 7)};
  o.run(date(2019, 12, 1, 1), date(2021, 2, 10, 12), entries);
  const std::string d = o.dir + "/";
  const long days = 437;
  auto runSum = [&](long r, long c) { return days * daySum(r, c, 24) + daySum(r, c, 12); };
  auto runCount = [&](long r, long c) { return days * dayCount(r, c, 24) + dayCount(r, c, 12); };
  expectStatistics(s, d + "runsum.sum", runSum);
  expectStatistics(s, d + "runmean.mit",
                   [&](long r, long c) { return runSum(r, c) / runCount(r, c); });
  // The gap cell has no value at hour 1, which neither starts nor lowers its minimum.
  expectStatistics(s, d + "range.min", [&](long r, long c) {
    return cellValue(r, c) + ((r == gapRow && c == gapColumn) ? 2 : 1);
  });
  expectStatistics(s, d + "range.max", [&](long r, long c) { return cellValue(r, c) + 24; });

  auto wholeDays = [&](long n) { return [n](long r, long c) { return n * daySum(r, c, 24); }; };
  auto withLastDay = [&](long n) {
    return [n](long r, long c) { return n * daySum(r, c, 24) + daySum(r, c, 12); };
  };
  expectStatistics(s, d + "daily_2002.29s", wholeDays(1));
  expectStatistics(s, d + "daily_2102.10s", withLastDay(0));
  expectStatistics(s, d + "monthsum_201912.sum", wholeDays(31));
  expectStatistics(s, d + "monthsum_202002.sum", wholeDays(29));
  expectStatistics(s, d + "monthsum_202102.sum", withLastDay(9));
  expectStatistics(s, d + "monthmean_202002.mit",
                   [&](long r, long c) { return daySum(r, c, 24) / dayCount(r, c, 24); });
  expectStatistics(s, d + "yearly_1900.sum", wholeDays(31));
  expectStatistics(s, d + "yearly_2000.sum", wholeDays(366));
  expectStatistics(s, d + "yearly_2100.sum", withLastDay(40));

  const std::set<std::string> files = filesIn(o.dir);
  EXPECT_EQ(countStartingWith(files, "daily_"), 438);
  EXPECT_EQ(countStartingWith(files, "monthsum_"), 15);
  EXPECT_EQ(countStartingWith(files, "yearly_"), 3);
  // Month ends from December 2019 to January 2021, then the end of the run.
  EXPECT_EQ(countStartingWith(files, "snap_"), 15);
  EXPECT_TRUE(files.count("snap_20200229.2400"));
  EXPECT_FALSE(files.count("snap_20200228.2400"));
  EXPECT_TRUE(files.count("snap_20210210.1200"));
  const std::set<std::string> annual = {"ann_20191231.2400", "ann_20201231.2400",
                                        "ann_20210210.1200", "ann.grd"};
  EXPECT_EQ(countStartingWith(files, "ann"), 4);
  for (const std::string& name : annual) EXPECT_TRUE(files.count(name)) << name;

  // The grid itself is written as it stands, outside the valid columns too.
  const DoubleGridFile february(d + "snap_20200229.2400", s.ncols);
  ASSERT_TRUE(february.valid(s.nrows));
  for (long r = 1; r <= s.nrows; ++r)
    for (long c = 1; c <= s.ncols; ++c) EXPECT_EQ(february.at(r, c), hourValue(s, r, c, 24));
  EXPECT_EQ(readFile(d + "snap.grd"), readFile(d + "snap_20210210.1200"));
  EXPECT_EQ(readFile(d + "ann.grd"), readFile(d + "ann_20210210.1200"));
}

// Which files a write code leaves after a short run, ended at the last date.
TEST(OutputGrids, WriteCodesNameTheirFiles) {
  struct Case {
    const char* file;
    long code;
    ModelDate from, to;
    std::set<std::string> files;
  };
  const ModelDate july1 = date(2020, 7, 1, 1);
  const std::vector<Case> cases = {
      {"tempr.grd",
       2,
       july1,
       date(2020, 7, 1, 3),
       {"tempr_20200701.0100", "tempr_20200701.0200", "tempr_20200701.0300", "tempr.grd"}},
      {"tempr.grd", 1, july1, date(2020, 7, 1, 2), {"tempr.grd"}},
      {"tempr.grd", 3, july1, date(2020, 7, 2, 2), {"tempr.grd"}},
      {"tempr.grd", 50, july1, date(2020, 7, 2, 24), {"tempr.mit"}},
      {"tempr.grd", 300, july1, date(2020, 7, 1, 5), {"tempr.min", "tempr.max"}},
      {"runoff",
       12,
       july1,
       date(2020, 7, 1, 2),
       {"runoff.sum", "runoff_20200701.0100", "runoff_20200701.0200", "runoff"}},
      {".hidden", 10, july1, date(2020, 7, 1, 2), {".sum"}},
      {"wet.grd", 8, july1, date(2020, 7, 1, 2), {"wet.grd.filled", "wet.grd"}},
      {"day.grd", 4, july1, date(2020, 7, 2, 3), {"day.grd"}},
      {"d5.grd", 5, july1, date(2020, 7, 2, 3), {"d5_20200701.2400", "d5_20200702.0300", "d5.grd"}},
      {"dm.grd",
       80,
       july1,
       date(2020, 7, 2, 3),
       {"dm_2007.01m", "dm_2007.02m", "dm.sum_End", "dm.count_End"}},
      {"y.grd",
       60,
       date(2020, 12, 31, 20),
       date(2021, 1, 1, 2),
       {"y_2000.mit", "y_2100.mit", "y.sum_End", "y.count_End"}},
      // A run that ends with its month writes the month once.
      {"m.grd",
       36,
       date(2020, 2, 29, 1),
       date(2020, 2, 29, 24),
       {"m_20200229.2400", "m.grd", "m_202002.sum", "m.sum_End", "m.count_End"}},
  };
  int k = 0;
  for (const Case& c : cases) {
    OutputModule o("out_codes_" + std::to_string(k++));
    o.run(c.from, c.to, {o.add(c.file, c.code)});
    EXPECT_EQ(filesIn(o.dir), c.files) << c.file << " " << c.code;
  }
}

// A daily sum ends with hour 24 of its day, or with hour 23 when the data
// hour lies one hour before the end of the step; its name carries the day.
TEST(OutputGrids, DaysEndWithTheShiftOfTheDataHour) {
  for (long shift : {0L, 1L}) {
    OutputModule o("out_shift_" + std::to_string(shift));
    StripModule& s = o.s;
    s.m.minToIntEndHours = static_cast<double>(shift);
    const int index = o.add("flow.grd", 40);
    s.m.setEndDate(2020, 12, 31, 24, 0);
    const long firstHour = 1 - shift;
    const std::string name = o.dir + "/flow_2001.15s";
    double expected[13][13] = {};
    runHours(s, o.g, date(2020, 1, 15, firstHour), date(2020, 1, 16, firstHour + 1), firstHour,
             [&] {
               const ModelDate& d = s.m.currentDate;
               if (d.day == 15)
                 for (long r = 1; r <= s.nrows; ++r)
                   for (long c = 1; c <= s.ncols; ++c)
                     if (o.g[r][c] != nodata) expected[r][c] += o.g[r][c];
               s.m.writeOutputGrids(index);
               const bool dayOver = d.day == 16 || d.hour == 24 - shift;
               ASSERT_EQ(fileExists(name), dayOver) << "shift " << shift << " hour " << d.hour;
             });
    expectStatistics(s, name, [&](long r, long c) { return expected[r][c]; });
    EXPECT_EQ(countStartingWith(filesIn(o.dir), "flow_"), 1);
  }
}

// Writes at one date are told apart by a counter; a new date starts again
// without one. Stacks keep the whole prefix of their name.
TEST(OutputGrids, TimeStampsCountRepeatsAndKeepTheWholePrefix) {
  OutputModule o("out_stamps");
  StripModule& s = o.s;
  s.m.writeAsciiGrids = true;
  Stack st = s.stack(2, 0.5);
  const int grid = o.add("tempr.grd", 2);
  const int ab = o.add("ab.stk", 5, st, 2);
  const int soil = o.add("soiltemp.stk", 5, st, 2);
  s.m.setEndDate(2020, 7, 2, 3, 0);
  for (long hour : {12L, 12L, 13L}) {
    s.m.currentDate = date(2020, 7, 1, hour);
    s.m.writeOutputGrids(grid);
  }
  s.m.currentDate = date(2020, 7, 1, 24);
  s.m.writeOutputStack(ab);
  s.m.writeOutputStack(ab);
  s.m.writeOutputStack(soil);
  s.m.currentDate = date(2020, 7, 2, 3);
  s.m.writeOutputStack(ab);
  const std::set<std::string> expected = {"tempr_20200701.1200",
                                          "tempr_20200701.1200_001",
                                          "tempr_20200701.1300",
                                          "ab_20200701.024",
                                          "ab_20200701.024_001",
                                          "ab_20200702.003",
                                          "ab.stk",
                                          "soiltemp_20200701.024"};
  EXPECT_EQ(filesIn(o.dir), expected);
  s.m.writeStack(o.dir + "/direct.stk", st, 2, true, false, false);
  EXPECT_EQ(readFile(o.dir + "/ab_20200701.024"), readFile(o.dir + "/direct.stk"));
}

// Statistics of a stepped sub-interval: pending calls count but write nothing;
// the grid of an entry that holds a stack is taken from its level 1 unless
// the module keeps it itself.
TEST(OutputGrids, PendingCallsAndStackLevelsFeedTheStatistics) {
  OutputModule o("out_pending");
  StripModule& s = o.s;
  Stack st = s.stack(1, 0.0);
  for (long r = s.lo; r <= s.hi; ++r)
    for (long c = 1; c <= s.ncols; ++c) st[r][c][1] = 1000.0 + c;
  st[emptyRow][emptyColumn][1] = nodata;
  const int shadow = o.add("shadow.grd", 12);
  Grid own = s.grid(nodata);
  const int fromStack = addEntry(s, o.dir + "/level.grd", own, 10, st, 1);
  const int kept = addEntry(s, o.dir + "/kept.grd", own, 10, st, 1);
  s.m.getRegistry()[kept].stackCopyOff = 1;
  s.m.setEndDate(2020, 7, 1, 12, 0);
  s.m.currentDate = date(2020, 7, 1, 12);
  for (long hour : {1L, 2L, 3L}) {
    fillHour(s, o.g, hour);
    fillHour(s, own, hour);
    s.m.writeOutputGrids(kept, 1, hour < 3);
    s.m.writeOutputGrids(fromStack, 1, hour < 3);
    s.m.writeOutputGrids(shadow, 1, hour < 3);
    EXPECT_EQ(filesIn(o.dir).empty(), hour < 3) << "call " << hour;
  }
  const std::set<std::string> expected = {"shadow_20200701.1200", "shadow.grd", "shadow.sum",
                                          "level.sum", "kept.sum"};
  EXPECT_EQ(filesIn(o.dir), expected);
  auto threeHours = [](long r, long c) { return daySum(r, c, 3); };
  expectStatistics(s, o.dir + "/shadow.sum", threeHours);
  expectStatistics(s, o.dir + "/kept.sum", threeHours);
  expectStatistics(s, o.dir + "/level.sum", [](long, long c) { return 3 * (1000.0 + c); });
}

// The vegetation-period sum restarts with the period's first day and is
// written on its last, per land-use layer; the mean divides by the period's
// duration.
TEST(OutputGrids, VegetationPeriodsSumBetweenTheirFlags) {
  OutputModule o("out_vegetation");
  StripModule& s = o.s;
  const long stoppedRow = 4, stoppedColumn = 6, shortRow = 6, shortColumn = 3;
  auto named = [&](const std::string& name, Grid grid) {
    s.m.registerGrid(s.m.firstFreeRegistryIndex(), "", grid, nullptr, 0, name, 0, s.lo, s.hi);
  };
  for (const std::string layer : {"1", "2"}) {
    Grid stop = s.grid(0.0);
    Grid duration = s.grid(layer == "1" ? 4.0 : 2.0);
    stop[stoppedRow][stoppedColumn] = 3.0;
    if (layer == "2") duration[shortRow][shortColumn] = 0.0;
    named("VegetationStart" + layer, s.grid(0.0));
    named("VegetationStop" + layer, stop);
    named("VegetationDuration" + layer, duration);
  }
  const int sum = o.add("transp.grd", 1000);
  const int mean = o.add("transp_Layer_2.grd", 2000);
  GridRegistryEntry* reg = s.m.getRegistry();
  s.m.setEndDate(2021, 1, 1, 1, 0);
  s.m.currentDate = date(2020, 9, 30, 24);
  for (long hour = 1; hour <= 5; ++hour) {
    for (int i : {sum, mean}) {
      reg[i].vegPeriodStarted = hour == 1;
      reg[i].vegPeriodEnded = hour == 5;
    }
    fillHour(s, o.g, hour);
    s.m.writeOutputGrids(sum);
    s.m.writeOutputGrids(mean);
  }
  EXPECT_EQ(reg[sum].vegPeriodEnded + reg[mean].vegPeriodEnded, 0) << "flags cleared";
  // The restart comes before the first step of the period adds its values, so
  // every step of the period counts; the cell that never has a value sums to
  // 0 from the restart.
  auto period = [&](long r, long c) { return daySum(r, c, 5); };
  expectStatistics(
      s, o.dir + "/transp_0020_vegper.sum",
      [&](long r, long c) { return r == stoppedRow && c == stoppedColumn ? 0.0 : period(r, c); },
      0.0);
  expectStatistics(
      s, o.dir + "/transp_Layer_2_0020_vegper.mit",
      [&](long r, long c) {
        if (r == shortRow && c == shortColumn) return nodata;
        return r == stoppedRow && c == stoppedColumn ? 0.0 : period(r, c) / 2.0;
      },
      0.0);

  const int missing = o.add("x_Layer_7.grd", 1000);
  EXPECT_EQ(exitCodeOf([&] { s.m.writeOutputGrids(missing); }), 33);
  EXPECT_NE(s.m.console().find("VegetationStart7 not found in memory"), std::string::npos);
}

// Write mode 8 writes at registration and at every call, and the last state
// of the run under the plain name; out-of-range indices and entries without
// a grid are passed over.
TEST(OutputGrids, FilledGridsAreWrittenFromTheirRegistrationOn) {
  OutputModule o("out_registration");
  StripModule& s = o.s;
  s.m.setEndDate(2020, 7, 1, 3, 0);
  fillHour(s, o.g, 7);
  const int soil = o.add("soil.grd", 8);
  const std::string filled = o.dir + "/soil.grd.filled";
  EXPECT_EQ(DoubleGridFile(filled, s.ncols).at(gapRow, gapColumn),
            cellValue(gapRow, gapColumn) + 7);
  Stack st = s.stack(0, 1.5);
  const int stackOnly = addEntry(s, o.dir + "/only.stk", nullptr, 1, st, 0);
  for (int index : {-3, 0, 1000, 1001, stackOnly}) s.m.writeOutputGrids(index);
  EXPECT_EQ(filesIn(o.dir), std::set<std::string>{"soil.grd.filled"});
  s.m.writeOutputStack(stackOnly);
  EXPECT_TRUE(fileExists(o.dir + "/only.stk"));

  runHours(s, o.g, date(2020, 7, 1, 1), date(2020, 7, 1, 3), 1, [&] {
    s.m.writeOutputGrids(soil);
    const DoubleGridFile f(filled, s.ncols);
    ASSERT_TRUE(f.valid(s.nrows));
    for (long r = 1; r <= s.nrows; ++r)
      for (long c = 1; c <= s.ncols; ++c)
        ASSERT_EQ(f.at(r, c), hourValue(s, r, c, s.m.currentDate.hour)) << r << "," << c;
  });
  EXPECT_EQ(readFile(o.dir + "/soil.grd"), readFile(filled));
}
