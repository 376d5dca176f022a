#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/memory_handling.h"
#include "tests/core/owned_grid.h"
#include "tests/core/zonal_statistic_fixture.h"

namespace {

const std::vector<double> codes3 = {3, 7, 12};
const std::vector<double> fractions3 = {0.25, 0.5, 0.25};

// Zone index and value of the cells of one step.
struct Cell {
  long zone;
  double value;
};

void storeCells(zonalstatistic& s, const std::vector<Cell>& cells, long year, long month, long day,
                long hour, long minute = 0) {
  s.resetZones();
  for (const Cell& c : cells) s.addValue(1, 1, c.zone, c.value, 1.0);
  s.storeStep(year, month, day, hour, minute, 1);
}

} // namespace

// The header lines, the "--" line of area fractions and the data lines with
// their right-aligned date fields, with and without the minute column, and
// "%.6g" values for 99 decimals.
TEST(ZonalStatistic, WritesTheFileLayout) {
  struct Case {
    int code;
    bool minute;
    int decimals;
    std::string expected;
  };
  const Case cases[] = {
      {2001, false, 3,
       "YY\tMM\tDD\tHH\t\"3\"\t\"7\"\t\"12\"\ttot_average\n"
       "snow_submodel:(default)\n"
       "--\t--\t--\t--\t0.2500000\t0.5000000\t0.2500000\t1.0000\n"
       "2020\t 3\t 5\t 6\t2.000\t10.250\t0.000\t4.750\n"
       "2020\t11\t15\t18\t3.000\t0.750\t7.000\t2.875\n"},
      {1001, true, 3,
       "YY\tMM\tDD\tHH\tmm\ttot_average\n"
       "snow_submodel:(default)\n"
       "--\t--\t--\t--\t--\t1.0000\n"
       "2020\t 3\t 5\t 6\t 5\t4.750\n"
       "2020\t11\t15\t18\t30\t2.875\n"},
      {2001, false, 99,
       "YY\tMM\tDD\tHH\t\"3\"\t\"7\"\t\"12\"\ttot_average\n"
       "snow_submodel:(default)\n"
       "--\t--\t--\t--\t0.2500000\t0.5000000\t0.2500000\t1.0000\n"
       "2020\t 3\t 5\t 6\t2\t10.25\t0\t4.75\n"
       "2020\t11\t15\t18\t1.23457e+06\t0.75\t7\t308644\n"},
  };
  for (const Case& c : cases) {
    StatisticFixture f("zonal_layout", codes3, fractions3);
    auto s = f.zonal(c.code, c.decimals, "snow.stat", {0}, c.minute);
    ASSERT_EQ(f.error, 0);
    EXPECT_EQ(f.fileName, f.path("snow.stat")); // the output directory goes in front
    EXPECT_EQ(s->writeHeader("snow", "(default)", f.table.data(), 8), 0);
    storeCells(*s, {{1, 1.5}, {1, 2.5}, {2, 10.25}}, 2020, 3, 5, 6, 5);
    const double first = c.decimals == 99 ? 1234567.8 : 3.0;
    storeCells(*s, {{1, first}, {2, -1.0}, {2, 2.5}, {3, 7.0}}, 2020, 11, 15, 18, 30);
    s->release();
    EXPECT_EQ(readFile(f.path("snow.stat")), c.expected) << "code " << c.code;
  }
}

// Lines of count steps: the mean (modes 1, 2, 5) or the sum (3, 4, 6) of the
// zone means, for every zone, the listed zones or the total alone.
TEST(ZonalStatistic, AggregatesStepsByCode) {
  struct Case {
    int code;
    std::vector<int> listed;
    std::vector<long> columns; // zone of each column before the total
  };
  const Case cases[] = {{2001, {0}, {1, 2, 3}}, {1024, {0}, {}},        {2024, {0}, {1, 2, 3}},
                        {3024, {0}, {}},        {4024, {0}, {1, 2, 3}}, {5024, {0, 7, 12}, {2, 3}},
                        {6024, {0, 3}, {1}}};
  const long steps = 48;
  const long cellsOf[] = {0, 2, 1, 3};
  // Cell k of zone z in step t.
  const auto value = [](long z, long k, long t) {
    return z + 0.5 * k + 0.25 * t * (z == 2 ? -1 : 1);
  };
  for (const Case& c : cases) {
    StatisticFixture f("zonal_aggregate", codes3, fractions3);
    auto s = f.zonal(c.code, 6, "agg.stat", c.listed);
    ASSERT_EQ(f.error, 0) << c.code;
    s->writeHeader("soil", "moisture", f.table.data(), 8);
    for (long t = 0; t < steps; ++t) {
      s->resetZones();
      for (long z = 1; z <= 3; ++z)
        for (long k = 0; k < cellsOf[z]; ++k) s->addValue(1, 1, z, value(z, k, t), 1.0);
      s->storeStep(2021, 6, 1 + t / 24, t % 24, 0, 1);
    }
    s->release();

    const long count = c.code % 1000;
    const bool sum = c.code / 1000 == 3 || c.code / 1000 == 4 || c.code / 1000 == 6;
    const std::vector<std::string> lines = fileLines(f.path("agg.stat"));
    ASSERT_EQ(static_cast<long>(lines.size()), 3 + steps / count) << c.code;
    for (long line = 0; line < steps / count; ++line) {
      // Zone means of every step of the line, and the mean over all cells.
      std::vector<double> expected(c.columns.size() + 1, 0.0);
      for (long t = line * count; t < (line + 1) * count; ++t) {
        double all = 0.0;
        for (size_t col = 0; col < c.columns.size(); ++col) {
          const long z = c.columns[col];
          double zoneSum = 0.0;
          for (long k = 0; k < cellsOf[z]; ++k) zoneSum += value(z, k, t);
          expected[col] += zoneSum / cellsOf[z] / (sum ? 1.0 : count);
        }
        for (long z = 1; z <= 3; ++z)
          for (long k = 0; k < cellsOf[z]; ++k) all += value(z, k, t);
        expected.back() += all / 6.0 / (sum ? 1.0 : count);
      }
      const std::vector<std::string> got = fields(lines[3 + line]);
      ASSERT_EQ(got.size(), 4 + expected.size()) << c.code;
      const long last = (line + 1) * count - 1; // the step that completes the line
      EXPECT_EQ(got[2], (1 + last / 24 < 10 ? " " : "") + std::to_string(1 + last / 24));
      EXPECT_EQ(std::stol(got[3]), last % 24);
      for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(std::stod(got[4 + i]), expected[i], 1e-6) << c.code << " column " << i;
    }
  }
}

// A weight-grid value of -9999 and cells outside the weight grid count with
// their own weight; zones and runs whose cells all weigh 0 print 0.
TEST(ZonalStatistic, WeighsCellsByTheWeightGrid) {
  memory_handling memory;
  OwnedGrid weights(memory, 2, 3, 0.0);
  weights.grid[1][3] = -9999.0;
  weights.grid[2][1] = 2.0;
  weights.grid[2][2] = 0.5;
  StatisticFixture f("zonal_weights", codes3, fractions3);
  auto s = f.zonal(2001, 3, "w.stat", {0}, false, weights.grid, 2, 3);
  ASSERT_EQ(f.error, 0);
  s->writeHeader("a", "b", f.table.data(), 8);
  s->resetZones();
  const struct {
    long row, column, zone;
    double value, weight;
  } cells[] = {{1, 1, 1, 5.0, 1.0}, {1, 2, 1, 6.0, 1.0}, {1, 3, 2, 4.0, 1.0}, {2, 4, 2, 8.0, 1.0},
               {3, 1, 2, 6.0, 1.0}, {2, 1, 3, 1.0, 1.0}, {2, 2, 3, 5.0, 2.0}};
  for (const auto& c : cells) s->addValue(c.row, c.column, c.zone, c.value, c.weight);
  s->storeStep(2020, 1, 1, 0, 0, 1);
  s->resetZones();
  s->addValue(1, 1, 1, 5.0, 1.0);
  s->storeStep(2020, 1, 1, 1, 0, 1);
  s->release();
  const std::vector<std::string> lines = fileLines(f.path("w.stat"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], "2020\t 1\t 1\t 0\t0.000\t6.000\t2.333\t4.167");
  EXPECT_EQ(lines[4], "2020\t 1\t 1\t 1\t0.000\t0.000\t0.000\t0.000");
}

// Cells whose plain sums round differently in every order, added by the
// threads of a parallel loop, also by more threads than the statistic was
// made with, write the same file as when one thread adds them in order.
TEST(ZonalStatistic, WritesTheSameFileWhateverThreadsAddTheCells) {
  const int defaultThreads = omp_get_max_threads();
  const auto value = [](long k, long t) {
    return (k % 3 == 0 ? -1.0 : 1.0) * std::ldexp(1.0 + k, (k * 37 + t) % 60 - 30);
  };
  const struct { int madeWith, addingWith; } cases[] = {{1, 1}, {4, 4}, {2, 6}};
  std::string first;
  for (const auto& c : cases) {
    StatisticFixture f("zonal_threads", codes3, fractions3);
    omp_set_num_threads(c.madeWith);
    auto s = f.zonal(2001, 99, "t.stat");
    ASSERT_EQ(f.error, 0);
    s->writeHeader("a", "b", f.table.data(), 8);
    omp_set_num_threads(c.addingWith);
    for (long t = 0; t < 3; ++t) {
      s->resetZones();
#pragma omp parallel for schedule(dynamic, 1)
      for (long k = 0; k < 300; ++k) s->addValue(1, 1, 1 + k % 3, value(k, t), 1.0 + k % 2);
      s->storeStep(2020, 1, 1, t, 0, 1);
    }
    s->release();
    const std::string file = readFile(f.path("t.stat"));
    if (first.empty()) first = file;
    EXPECT_EQ(file, first) << c.addingWith << " threads";
  }
  omp_set_num_threads(defaultThreads);
}

// Inactive codes do nothing; codes that cannot write a line warn; listed
// codes without a zone from their position on fail the construction.
TEST(ZonalStatistic, ReportsCodesThatWriteNothingOrFail) {
  {
    StatisticFixture f("zonal_inactive", codes3, fractions3);
    f.zones[1].weightSum = 5.0;
    auto s = f.zonal(1000, 3, "off.stat");
    EXPECT_EQ(f.error, 0);
    EXPECT_FALSE(s->isActive());
    EXPECT_EQ(s->writeHeader("a", "b", f.table.data(), 8), -1);
    storeCells(*s, {{1, 2.0}}, 2020, 1, 1, 0);
    s->writeBuffer();
    s->release();
    EXPECT_FALSE(fileExists(f.path("off.stat")));
    EXPECT_EQ(f.zones[1].weightSum, 5.0);
    EXPECT_EQ(f.table[0].currentValues, nullptr);
  }
  struct Case {
    int code;
    std::vector<int> listed;
    int error;
    std::string level;   // of the diagnostics line, empty for none
    std::string message; // part of that line
  };
  const Case cases[] = {
      {2000, {0}, 0, "2", "statistics code 2000 of "},
      {7001, {0}, 0, "2", "statistics code 7001 of "},
      {5001, {0, 5}, 1, "0", "there is a code in the output list which no zone exists for (5)"},
      {5001, {0, 12, 7}, 1, "0", "which no zone exists for (7)"},
      {6001, {0, 7, 7}, 1, "0", "which no zone exists for (7)"},
      {5001, {0, 3, 12}, 0, "", ""},
  };
  for (const Case& c : cases) {
    StatisticFixture f("zonal_codes", codes3, fractions3);
    auto s = f.zonal(c.code, 3, "c.stat", c.listed);
    EXPECT_EQ(f.error, c.error) << c.code;
    EXPECT_EQ(s->isOk(), c.error == 0);
    if (c.error == 0) {
      s->writeHeader("a", "b", f.table.data(), 8);
      for (int t = 0; t < 3; ++t) storeCells(*s, {{1, 1.0}}, 2020, 1, 1, t);
    }
    s->release();
    const std::string diagText = f.diagFile();
    if (c.level.empty()) {
      EXPECT_EQ(diagText.find("level=\"0\""), std::string::npos) << diagText;
      EXPECT_EQ(diagText.find("level=\"2\""), std::string::npos) << diagText;
    } else {
      const size_t at = diagText.find(c.message);
      ASSERT_NE(at, std::string::npos) << diagText;
      const size_t lineStart = diagText.rfind("<line", at);
      EXPECT_EQ(diagText.substr(lineStart, 14), "<line level=\"" + c.level) << c.code;
    }
    if (c.code == 2000) {
      EXPECT_EQ(fileLines(f.path("c.stat")).size(), 3u);
    }
  }
}

// A full buffer is written by the step that fills its last slot; an explicit
// write and the release append what is left, each line once.
TEST(ZonalStatistic, BuffersLinesUntilTheBufferIsFull) {
  const int n = 20000;
  StatisticFixture f("zonal_buffer", std::vector<double>(n, 1.0), std::vector<double>(n, 1.0 / n));
  for (int z = 1; z <= n; ++z) f.zones[z].code = z;
  auto s = f.zonal(2001, 0, "big.stat");
  ASSERT_EQ(f.error, 0);
  s->writeHeader("a", "b", f.table.data(), 8);
  const long lineBytes = 8 * (n + 1) + 32;
  const long capacity = 2097152 / lineBytes;
  ASSERT_GT(capacity, 2);
  const std::string path = f.path("big.stat");
  for (long t = 1; t <= capacity + 2; ++t) {
    storeCells(*s, {{t, 1.0}}, 2020, 1, 1, t);
    const size_t expected = t < capacity ? 3 : 3 + capacity;
    ASSERT_EQ(fileLines(path).size(), expected) << "after step " << t;
  }
  EXPECT_NE(f.console.str().find("write " + path + "(" + std::to_string(lineBytes * capacity) +
                                 " of 2097152 buffer-bytes)"),
            std::string::npos)
      << f.console.str();
  s->writeBuffer();
  EXPECT_EQ(fileLines(path).size(), static_cast<size_t>(3 + capacity + 2));
  storeCells(*s, {{1, 1.0}}, 2020, 1, 2, 0);
  s->release();
  const std::vector<std::string> lines = fileLines(path);
  ASSERT_EQ(lines.size(), static_cast<size_t>(3 + capacity + 3));
  for (long t = 1; t <= capacity + 2; ++t) {
    const std::vector<std::string> got = fields(lines[2 + t]);
    EXPECT_EQ(std::stol(got[3]), t);
    EXPECT_EQ(got[3 + t], "1") << "zone " << t;
  }
}

// writeHeader shares the series' arrays with the first free table entry;
// release frees the entry again.
TEST(ZonalStatistic, RegistersTheSeriesInTheStatisticsTable) {
  StatisticFixture f("zonal_table", codes3, fractions3);
  double occupied[2] = {};
  f.table[0].currentValues = occupied;
  auto s = f.zonal(2001, 3, "t.stat");
  EXPECT_EQ(s->writeHeader("snow", "storage", f.table.data(), 8), 1);
  const StatisticTableEntry& e = f.table[1];
  EXPECT_EQ(e.valueCount, 4);
  EXPECT_STREQ(e.name, "snow_submodel:storage");
  const std::uint64_t expectedCodes[] = {3, 7, 12, 0};
  const double expectedAreas[] = {0.25, 0.5, 0.25, 1.0};
  for (int p = 1; p <= 4; ++p) {
    EXPECT_EQ(e.zoneCodes[p], expectedCodes[p - 1]);
    EXPECT_EQ(e.areaFractions[p], expectedAreas[p - 1]);
    EXPECT_EQ(e.sums[p], 0.0);
  }
  storeCells(*s, {{1, 2.0}, {3, 4.0}}, 2020, 1, 1, 0);
  const double expectedValues[] = {2.0, 0.0, 4.0, 3.0};
  for (int p = 1; p <= 4; ++p) EXPECT_EQ(e.currentValues[p], expectedValues[p - 1]);
  // A full table gives 0 and takes no entry.
  StatisticFixture g("zonal_table_full", codes3, fractions3);
  for (StatisticTableEntry& entry : g.table) entry.currentValues = occupied;
  auto full = g.zonal(2001, 3, "t.stat");
  EXPECT_EQ(full->writeHeader("snow", "storage", g.table.data(), 8), 0);
  EXPECT_EQ(g.table[0].currentValues, occupied);
  // A second header moves the entry instead of leaving the old one behind.
  EXPECT_EQ(s->writeHeader("snow", "depth", f.table.data(), 8), 1);
  EXPECT_STREQ(f.table[1].name, "snow_submodel:depth");
  EXPECT_EQ(f.table[2].currentValues, nullptr);
  s->release();
  EXPECT_EQ(f.table[1].currentValues, nullptr);
  EXPECT_EQ(f.table[0].currentValues, occupied);
}

// A zone mean that is not a finite number ends the run when the buffer is
// written: the lines before it stay, and the message names its column and
// the date of its line. Nothing of the buffer is written again at the
// release.
TEST(ZonalStatistic, AValueThatIsNotFiniteEndsTheWriteNamingItsColumnAndLine) {
  const double nan = std::nan("");
  struct Case {
    std::vector<Cell> cells; // of the second step
    std::string place;
    const char* shown;
  };
  const Case cases[] = {{{{2, nan}}, "the column of zone 7", "nan"},
                        {{{1, HUGE_VAL}, {2, 1.0}}, "the column of zone 3", "inf"},
                        // Finite zone means whose sum overflows.
                        {{{1, 1e308}, {2, 1e308}}, "the column tot_average", "inf"}};
  for (const Case& c : cases) {
    StatisticFixture f("zonal_not_finite", codes3, fractions3);
    auto s = f.zonal(2001, 3, "etp.stat");
    ASSERT_EQ(f.error, 0);
    s->writeHeader("evapotranspiration", "ETP", f.table.data(), 8);
    storeCells(*s, {{1, 1.0}, {2, 2.0}, {3, 3.0}}, 2021, 3, 1, 1);
    storeCells(*s, c.cells, 2021, 3, 1, 2);
    EXPECT_EQ(exitCodeOf([&] { s->writeBuffer(); }), 20) << c.place;
    EXPECT_NE(f.console.str().find("the output " + f.path("etp.stat") + " would hold " + c.shown +
                                   " at " + c.place + " in the step of 2021-03-01 02:00"),
              std::string::npos)
        << f.console.str();
    s->release();
    const std::vector<std::string> lines = fileLines(f.path("etp.stat"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "2021\t 3\t 1\t 1\t1.000\t2.000\t3.000\t2.000");
  }
}
