#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/statistic_lines.h"
#include "tests/core/zonal_statistic_fixture.h"

namespace {

// One cell in each of two zones: zone 1 holds i at step i, zone 2 10 i.
void runSteps(zonalstatistic& s, int from, int to) {
  for (int i = from; i <= to; ++i) {
    s.resetZones();
    s.addValue(1, 1, 1, i, 1.0);
    s.addValue(1, 2, 2, 10.0 * i, 1.0);
    s.storeStep(2021, 3, 1, i, 0, 1);
  }
}

// The data lines of a statistics file (behind its three header lines).
std::vector<std::string> dataLines(const std::string& path) {
  std::vector<std::string> lines = fileLines(path);
  return std::vector<std::string>(lines.begin() + 3, lines.end());
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

} // namespace

// A run of k steps and a warm start of the other 8 - k write, between them,
// the lines of a run through of 8 steps: the warm start's lines are the
// means (2004) or sums (4004) of steps 1-4 and 5-8 by hand, whichever step
// the split falls on.
TEST(StatisticLines, WarmStartGoesOnWithTheOpenLine) {
  struct Case {
    int code;
    int split;                      // steps of the former run
    std::vector<std::string> lines; // of the warm start
  };
  // Zone 1 means 2.5 and 6.5, zone 2 25 and 65, the total (11 i / 2) 13.75
  // and 35.75; sums 10, 26, 100, 260 and 55, 143.
  const std::string mean4 = "2021\t 3\t 1\t 4\t2.500\t25.000\t13.750";
  const std::string mean8 = "2021\t 3\t 1\t 8\t6.500\t65.000\t35.750";
  const std::string sum4 = "2021\t 3\t 1\t 4\t10.000\t100.000\t55.000";
  const std::string sum8 = "2021\t 3\t 1\t 8\t26.000\t260.000\t143.000";
  const Case cases[] = {
      {2004, 1, {mean4, mean8}}, {2004, 3, {mean4, mean8}}, {2004, 4, {mean8}},
      {2004, 6, {mean8}},        {4004, 2, {sum4, sum8}},   {4004, 7, {sum8}},
  };
  for (const Case& c : cases) {
    StatisticFixture former("lines_former", {1, 2}, {0.5, 0.5});
    const std::string state = former.path(statisticLinesFile);
    {
      auto s = former.zonal(c.code, 3, "daily.stat");
      ASSERT_EQ(former.error, 0);
      s->writeHeader("soil", "QD", former.table.data(), 8);
      runSteps(*s, 1, c.split);
      StatisticLines::write(former.diag, state);
      s->release();
    }
    StatisticFixture warm("lines_warm", {1, 2}, {0.5, 0.5});
    auto s = warm.zonal(c.code, 3, "daily.stat");
    s->writeHeader("soil", "QD", warm.table.data(), 8);
    StatisticLines::read(warm.diag, state, true);
    runSteps(*s, c.split + 1, 8);
    s->release();
    EXPECT_EQ(dataLines(warm.path("daily.stat")), c.lines)
        << "code " << c.code << ", split after step " << c.split;
    EXPECT_EQ(warm.diagFile().find("level=\"2\""), std::string::npos) << warm.console.str();
  }
}

// A file of an earlier version, a statistic that is not in the file and
// one whose code changed start their lines anew, with a WARNING that names
// them; a statistic of one step per line is not written.
TEST(StatisticLines, StartsLinesAnewWithAWarning) {
  struct Case {
    const char* name;
    bool exists;
    std::string text;
    std::string words;
  };
  const std::string sums = " 2 2 0 0 0 1 1 1 1 10 1 (";
  const Case cases[] = {
      {"no file", false, "", "no file "},
      {"another statistic", true, "2004" + sums + "other.stat)\n", "daily.stat (not in the file)"},
      {"another code", true, "4004" + sums + "daily.stat)\n",
       "daily.stat (code 4004 before, 2004 now)"},
  };
  for (const Case& c : cases) {
    StatisticFixture f("lines_anew", {1, 2}, {0.5, 0.5});
    const std::string state = f.path(statisticLinesFile);
    if (c.exists) writeText(state, c.text);
    auto s = f.zonal(2004, 3, "daily.stat");
    auto hourly = f.zonal(2001, 3, "hourly.stat");
    s->writeHeader("soil", "QD", f.table.data(), 8);
    StatisticLines::read(f.diag, state, c.exists);
    runSteps(*s, 3, 6);
    s->release();
    // Steps 3 to 6 make the first line, at 6.
    EXPECT_EQ(dataLines(f.path("daily.stat")),
              std::vector<std::string>{"2021\t 3\t 1\t 6\t4.500\t45.000\t24.750"})
        << c.name;
    EXPECT_NE(f.diagFile().find("level=\"2\""), std::string::npos) << c.name;
    const std::string log = f.console.str();
    EXPECT_NE(log.find(c.words), std::string::npos) << c.name << ": " << log;
    EXPECT_EQ(log.find("hourly.stat"), std::string::npos) << c.name;
  }
}

// Lines that no run writes end the warm start with 71, naming the file,
// the line, what the value is and the value read.
TEST(StatisticLines, RefusesLinesNoRunWrites) {
  struct Case {
    std::string text;
    std::string words;
  };
  const std::string zones = " 0 0 0 1 1 1 1 10 1 (daily.stat)\n";
  const Case cases[] = {
      {"2004 4 2" + zones, "line 1: the steps of the open line of the statistic daily.stat reads "
                           "\"4\", which must be 0 ... 3"},
      {"2004 -1 2" + zones, "the steps of the open line of the statistic daily.stat reads \"-1\""},
      {"2004 2.5 2" + zones, "reads \"2.5\", which is not a whole number"},
      {"2004 2 3" + zones, "the number of zones of the statistic daily.stat reads \"3\", which "
                           "must be the 2 zones of this run"},
      {"2004 2 2 0 0 0 1 1 1 1 10 (daily.stat)\n", "reads \"8 sums\", which must hold 9 sums"},
      {"2004 2 2 0 0 0 -1 1 1 1 10 1 (daily.stat)\n",
       "the weight sum of record 1 of the statistic daily.stat reads \"-1\", which must not be "
       "negative"},
      {"2004 2 2 0 0 0 1 1 1 1 10 -0.5 (daily.stat)\n",
       "the effective weight of record 2 of the statistic daily.stat reads \"-0.5\""},
      {"2004 0 2" + zones, "the weight sum of record 1 of the statistic daily.stat reads \"1\", "
                           "which must be 0 in a line of 0 steps"},
      {"2004 2 2 0 0 0 1 nan 1 1 10 1 (daily.stat)\n", "reads \"nan\", which is not a finite"},
      {"2004 2 2 0 0 0 1 1 1 1 10 1 daily.stat\n",
       "must end with the file of its statistic in parentheses"},
      {"\n4004 1 2" + zones + "2004 9 2" + zones, "line 3: the steps of the open line"},
  };
  for (const Case& c : cases) {
    StatisticFixture f("lines_refused", {1, 2}, {0.5, 0.5});
    const std::string state = f.path(statisticLinesFile);
    writeText(state, c.text);
    // Two statistics of the same file take the lines in turn.
    auto s = f.zonal(2004, 3, "daily.stat");
    auto again = f.zonal(2004, 3, "daily.stat");
    int code = 0;
    try {
      StatisticLines::read(f.diag, state, true);
    } catch (int thrown) {
      code = thrown;
    }
    EXPECT_EQ(code, 71) << c.text;
    EXPECT_NE(f.diagFile().find("level=\"0\""), std::string::npos) << c.text;
    const std::string log = f.console.str();
    EXPECT_NE(log.find("the state file " + state + ", line"), std::string::npos) << log;
    EXPECT_NE(log.find(c.words), std::string::npos) << c.text << "\n" << log;
  }
}
