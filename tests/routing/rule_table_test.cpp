#include <gtest/gtest.h>

#include "routing/rule_table.h"
#include "tests/config/captured_log.h"

namespace {

struct ReadTable {
  explicit ReadTable(const std::string& text) : log("rule_table") {
    const std::string path = log.directory + "/rules.ctl";
    writeFile(path, text);
    FILE* file = std::fopen(path.c_str(), "r");
    code = exitCodeOf([&] { readRuleTable(file, table, log.diag, "[rules]", path); });
    std::fclose(file);
  }
  CapturedLog log;
  RuleTable table;
  int code = 0;
};

} // namespace

// A header holding the row count alone, or one day after it, gives one
// column held all year; several days give one column each.
TEST(RuleTable, ReadsItsHeaderRowsAndKeywords) {
  for (const char* header : {"3\n", "3 120\n"}) {
    ReadTable r(std::string(header) + "0 0\n10 1\n20 1\n");
    EXPECT_EQ(r.table.columns, 1);
    EXPECT_EQ(r.table.days[1], 1);
    EXPECT_EQ(r.table.weekDays[1], -1);
    EXPECT_EQ(r.table.targetCap[1], -1.0);
  }
  ReadTable r("2 90 180\n0 0 0\n10 1 2\nlimit: TargetCap = 4 5\n  WeekDays = 67 12345\n"
              "start_hour = 22 8\nstop_hour = 4 17\nTableIndex = Flow\n[next]\nTargetCap = 9 9\n");
  EXPECT_EQ(r.table.columns, 2);
  EXPECT_EQ(r.table.days, (std::vector<int>{1, 90, 180}));
  EXPECT_EQ(r.table.targetCap, (std::vector<double>{-1, 4, 5}));
  EXPECT_EQ(r.table.weekDays, (std::vector<long>{-1, 67, 12345}));
  EXPECT_EQ(r.table.startHour, (std::vector<int>{-1, 22, 8}));
  EXPECT_EQ(r.table.stopHour, (std::vector<int>{-1, 4, 17}));
  EXPECT_TRUE(r.table.flowIndex);
  EXPECT_FALSE(ReadTable("1\n0 0\nTableIndex = Volume\n").table.flowIndex);
}

// Slopes lead from a row to the next; equal neighbours give 0.
TEST(RuleTable, DerivesSlopesOfBothIndexKinds) {
  ReadTable volume("3\n0 0\n10 5\n10 8\n");
  EXPECT_EQ(volume.table.slopes[1], (std::vector<double>{0, 0.5, 0, 0}));
  ReadTable flow("3\n0 0\n1 4\n2 4\nTableIndex = Flow\n");
  EXPECT_EQ(flow.table.slopes[1], (std::vector<double>{0, 0.25, 0, 0}));
}

// Saturday and Sunday 22 h to 4 h; the window of every day without week
// days.
TEST(RuleTable, OpensItsWindowsOnTheirDaysAndHours) {
  ReadTable r("1 1 200\n0 0 0\nWeekDays = 67 -1\nstart_hour = 22 -1\nstop_hour = 4 -1\n");
  struct Case {
    int k, weekDay, hour;
    bool open;
  };
  for (const Case& c : {Case{1, 6, 23, true}, Case{1, 7, 3, true}, Case{1, 7, 12, false},
                        Case{1, 5, 23, false}, Case{2, 3, 12, true}}) {
    SCOPED_TRACE(std::to_string(c.weekDay) + " " + std::to_string(c.hour));
    EXPECT_EQ(r.table.windowOpen(c.k, c.weekDay, c.hour), c.open);
  }
}

TEST(RuleTable, RefusesAHeaderOrRowThatIsNotNumbers) {
  for (const char* text : {"three rows\n", "2\n0 0\n10\n"}) {
    ReadTable r(text);
    EXPECT_EQ(r.code, 34);
    EXPECT_NE(r.log.lastEntry().find("[rules] in "), std::string::npos) << r.log.lastEntry();
  }
}
