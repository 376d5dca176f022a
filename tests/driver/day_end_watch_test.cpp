#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/day_end_watch.h"
#include "tests/driver/model_run.h"

// A day that passes without a step at its end is named once, with what to
// set, and only while an output waits for the end of a day, month or year.
TEST(DayEndWatch, WarnsOnceOfDaysWhoseEndNoStepReaches) {
  struct Case {
    const char* name;
    long firstHour; // the stamps of a day: firstHour, firstHour + step ..., as the stations
    long lastHour;  // give them (24:00 ends the day it belongs to)
    long stepHours;
    long minute;
    long days;
    double minToIntEnd; // minutes
    long writeCode;
    std::string warning; // empty: none
  };
  const std::vector<Case> cases = {
      {"hours 0 to 23 alone", 0, 23, 1, 0, 3, 0, 43,
       "no step of 1.3.2021 ended the day: its steps carry the hour stamps 0:00 to 23:00, and "
       "with min_to_int_end 0 of [output_interval]"},
      {"what hours 0 to 23 need", 0, 23, 1, 0, 3, 0, 355, "to 60, the minutes"},
      {"hours 0 to 23 and 60 minutes to their end", 0, 23, 1, 0, 3, 60, 43, ""},
      {"hours 1 to 24", 1, 24, 1, 0, 3, 0, 43, ""},
      {"half hours 0:30 to 23:30 and 30 minutes", 0, 23, 1, 30, 3, 30, 43, ""},
      {"a shift that passes the end", 0, 23, 1, 0, 3, 90, 43, "to 60, the minutes"},
      {"days stamped 0:00", 0, 0, 1, 0, 3, 0, 4, "to 1440, the minutes"},
      {"no output waits for a period", 0, 23, 1, 0, 3, 0, 53, ""},
      {"a run within one day", 0, 23, 1, 0, 1, 0, 43, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunLog log(makeTestDirectory("day_end_watch"));
    std::vector<GridRegistryEntry> registry(gridRegistrySize);
    double cells[2] = {0.0, 0.0};
    double* rows[2] = {cells, cells};
    GridRegistryEntry& e = registry[3];
    e.hasFileName = true;
    e.fileName = "precipitation.asc";
    e.grid = rows;
    const WriteCodeDigits d = splitWriteCode(c.writeCode);
    e.writeMode = d.writeMode;
    e.statMode = d.statMode;
    DayEndWatch watch(c.minToIntEnd);
    for (long day = 1; day <= c.days; ++day)
      for (long hour = c.firstHour; hour <= c.lastHour; hour += c.stepHours)
        watch.step(ModelDate{c.minute, hour, day, 3, 2021}, *log.diag, registry.data());
    const std::string text = log.text();
    const auto first = text.find("no step of");
    EXPECT_EQ(first == std::string::npos, c.warning.empty()) << text;
    EXPECT_EQ(first, text.rfind("no step of")) << "warned more than once: " << text;
    if (!c.warning.empty()) {
      EXPECT_TRUE(log.has(c.warning)) << log.text();
      EXPECT_TRUE(log.has("(precipitation.asc)")) << log.text();
    }
  }
}
