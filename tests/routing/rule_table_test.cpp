#include <gtest/gtest.h>

#include "routing/rule_table.h"
#include "tests/config/captured_log.h"

namespace {

struct ReadTable {
  explicit ReadTable(const std::string& text, bool reservoir = true) : log("rule_table") {
    const std::string path = log.directory + "/rules.ctl";
    writeFile(path, text);
    FILE* file = std::fopen(path.c_str(), "r");
    code = exitCodeOf([&] { readRuleTable(file, table, log.diag, "[rules]", path, reservoir); });
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

// Values beyond their range end the run with 17 and name the value; a row
// count larger than the rows is refused before anything is sized by it.
TEST(RuleTable, RefusesValuesOutOfRange) {
  struct Case {
    const char* text;
    const char* words;
  };
  for (const Case& c :
       {Case{"2000000000\n0 0\n10 1\n[next]\n", "the row count is 2000000000, but only 2"},
        Case{"2.5\n0 0\n10 1\n", "the row count reads \"2.5\""},
        Case{"2 200 100\n0 0 0\n10 1 1\n", "fix day 2 reads 100"},
        Case{"2 0 100\n0 0 0\n10 1 1\n", "fix day 1 reads 0"},
        Case{"2\n0 0\n10 1e999\n", "table row 2 reads \"10 1e999\""},
        Case{"2\n0 0\n10 1\nWeekDays = 1280\n", "\"WeekDays\" of column 1 reads \"1280\""},
        Case{"2\n0 0\n10 1\nstart_hour = -2\n", "\"start_hour\" of column 1 reads \"-2\""},
        Case{"2\n0 0\n10 1\nstop_hour = 7.5\n", "\"stop_hour\" of column 1 reads \"7.5\""},
        Case{"2\n0 0\n10 1\nTargetCap = nan\n", "\"TargetCap\" of column 1 reads \"nan\""},
        Case{"2\n-1 0\n10 1\n", "table row 1 reads \"-1 0\", whose value 1 must be 0 ... 1e14"},
        Case{"2\n0 -1\n10 1\n", "table row 1 reads \"0 -1\", whose value 2 must be 0 ... 1e14"},
        Case{"2\n0 0\n1e15 1\n", "table row 2 reads \"1e15 1\", whose value 1 must be 0"}}) {
    SCOPED_TRACE(c.text);
    ReadTable r(c.text);
    EXPECT_EQ(r.code, 17);
    EXPECT_NE(r.log.lastEntry().find(c.words), std::string::npos) << r.log.lastEntry();
  }
}

// An abstraction's negative value takes nothing; beyond 1e14 it is refused
// as a reservoir's.
TEST(RuleTable, LetsAnAbstractionTableHoldNegativeValues) {
  // -1: read without a failure.
  EXPECT_EQ(ReadTable("2\n0 -5\n1e9 -5\n", false).code, -1);
  ReadTable r("2\n0 -5\n1e9 -2e14\n", false);
  EXPECT_EQ(r.code, 17);
  EXPECT_NE(r.log.lastEntry().find("whose value 2 must be -1e14 ... 1e14"), std::string::npos)
      << r.log.lastEntry();
}

// The volumes of the largest lakes: Lake Victoria holds some 2.7e12 m3,
// the Caspian Sea 7.8e13 m3.
TEST(RuleTable, TakesTheVolumesOfTheLargestLakes) {
  for (const char* text : {"2\n0 0\n2.7e12 500\n", "3\n0 0\n2.7e12 500\n7.8e13 2000\n"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ReadTable(text).code, -1);
  }
}

// Every key of a hydraulic connection must be a finite number, the channel's
// width, length and roughness above 0.
TEST(RuleTable, RefusesAHydraulicConnectionOutOfRange) {
  CapturedLog log("hydraulic_connection");
  const std::string keys[] = {"TargetReservoir = 2", "ChannelWidth = 5", "ChannelBottom = 400",
                              "ChannelLength = 100", "RoughnessCoeff = 30"};
  const auto block = [&](int k, const std::string& value) {
    std::string text = "HydraulicConnection {";
    for (int j = 0; j < 5; ++j)
      text += " " + (j == k ? keys[j].substr(0, keys[j].find('=') + 2) + value : keys[j]) + ";";
    return text + " }\n";
  };
  struct Case {
    int key;
    const char* value;
    int code;
  };
  // -1: read without a failure.
  for (const Case& c : {Case{0, "2", -1}, Case{0, "0", 29}, Case{1, "0", 29}, Case{2, "nan", 29},
                        Case{3, "-100", 29}, Case{4, "inf", 29}}) {
    SCOPED_TRACE(keys[c.key] + " -> " + c.value);
    const std::string path = log.directory + "/connection.ctl";
    writeFile(path, block(c.key, c.value));
    FILE* file = std::fopen(path.c_str(), "r");
    HydraulicConnectionBlock connection;
    const int code = exitCodeOf([&] { readHydraulicConnection(file, connection, log.diag, 1); });
    std::fclose(file);
    EXPECT_EQ(code, c.code);
    if (c.code == -1) {
      EXPECT_EQ(connection.targetReservoir, 2);
    } else {
      EXPECT_NE(log.lastEntry().find(std::string(" reads \"") + c.value), std::string::npos)
          << log.lastEntry();
    }
  }
}
