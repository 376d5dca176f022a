#include <gtest/gtest.h>

#include "tests/config/control_file_reader_model.h"
#include "tests/test_support.h"

namespace {

std::string allKeys(const std::string& start, const std::string& end) {
  // start and end: "minute hour day month year"
  std::istringstream s(start);
  std::istringstream e(end);
  std::string text;
  for (const char* key : {"minute", "hour", "day", "month", "year"}) {
    std::string value;
    s >> value;
    text += std::string("start") + key + " = " + value + "\n";
  }
  for (const char* key : {"minute", "hour", "day", "month", "year"}) {
    std::string value;
    e >> value;
    text += std::string("end") + key + " = " + value + "\n";
  }
  return text;
}

std::vector<long> fieldsOf(const ModelDate& d) {
  return {d.minute, d.hour, d.day, d.month, d.year};
}

} // namespace

TEST(ModelTime, ReadsBothFormsAndNormalisesTheDates) {
  struct Case {
    std::string name;
    int timeStep;
    std::string lines; // after "[model_time]"
    std::vector<long> start;
    std::vector<long> end; // minute, hour, day, month, year
    int february;
  };
  const Case cases[] = {
      {"legacy form",
       0,
       "0  start hour\n1 day\n1\n1990\n23\n31\n12\n1999 end year\n",
       {0, 0, 1, 1, 1990},
       {0, 23, 31, 12, 1999},
       28},
      {"key = value form",
       60,
       allKeys("15 6 2 3 2004", "45 18 4 5 2006") + "\n",
       {15, 6, 2, 3, 2004},
       {45, 18, 4, 5, 2006},
       28},
      {"keys without blanks and several in a line",
       60,
       "startday=15\n  startminute = 0 starthour = 7\nstartmonth = 1\nstartyear = 2000\n"
       "endminute=0\nendhour=0\nendday=1\nendmonth=2\nendyear=2000\n",
       {0, 7, 15, 1, 2000},
       {0, 0, 1, 2, 2000},
       29},
      {"short years", 0, "0\n1\n1\n5\n0\n1\n1\n99\n", {0, 0, 1, 1, 1905}, {0, 0, 1, 1, 1999}, 28},
      {"year 1000 stays",
       0,
       "0\n1\n1\n1000\n0\n2\n1\n1000\n",
       {0, 0, 1, 1, 1000},
       {0, 0, 2, 1, 1000},
       28},
      {"months clamped",
       0,
       "0\n1\n0\n2000\n0\n1\n14\n2000\n",
       {0, 0, 1, 1, 2000},
       {0, 0, 1, 12, 2000},
       29},
      {"days clamped",
       0,
       "0\n0\n3\n2001\n0\n31\n4\n2001\n",
       {0, 0, 1, 3, 2001},
       {0, 0, 30, 4, 2001},
       28},
      {"31-day months",
       0,
       "0\n31\n9\n2001\n0\n31\n10\n2001\n",
       {0, 0, 30, 9, 2001},
       {0, 0, 31, 10, 2001},
       28},
      {"leap year 2000",
       0,
       "0\n1\n1\n2000\n0\n29\n2\n2000\n",
       {0, 0, 1, 1, 2000},
       {0, 0, 29, 2, 2000},
       29},
      {"no leap year 1900",
       0,
       "0\n1\n1\n1900\n0\n29\n2\n1900\n",
       {0, 0, 1, 1, 1900},
       {0, 0, 28, 2, 1900},
       28},
      {"start in a leap year, end in none",
       0,
       "0\n29\n2\n2004\n0\n1\n3\n2005\n",
       {0, 0, 29, 2, 2004},
       {0, 0, 1, 3, 2005},
       28},
      {"start in no leap year, end in one",
       0,
       "0\n29\n2\n2005\n0\n1\n1\n2008\n",
       {0, 0, 28, 2, 2005},
       {0, 0, 1, 1, 2008},
       29},
      {"across New Year",
       60,
       allKeys("0 23 31 12 1999", "30 1 1 1 2000"),
       {0, 23, 31, 12, 1999},
       {30, 1, 1, 1, 2000},
       29},
      {"end of day as hour 24",
       0,
       "0\n1\n1\n2001\n24\n31\n12\n2001\n",
       {0, 0, 1, 1, 2001},
       {0, 24, 31, 12, 2001},
       28},
      {"start equals end",
       60,
       allKeys("0 12 1 6 2010", "0 12 1 6 2010"),
       {0, 12, 1, 6, 2010},
       {0, 12, 1, 6, 2010},
       28},
      {"block stops at the next section",
       60,
       allKeys("0 0 1 1 2001", "0 0 1 1 2002") + "[next]\nendyear = 1800\n",
       {0, 0, 1, 1, 2001},
       {0, 0, 1, 1, 2002},
       28},
      {"keys on one line in any order",
       60,
       "endyear = 2002 starthour = 3 startday = 4 startmonth = 5 startyear = 2001 endhour = 6 "
       "endday = 7 endmonth = 8 endminute = 9 startminute = 10\n",
       {10, 3, 4, 5, 2001},
       {9, 6, 7, 8, 2002},
       28},
      {"a key inside a longer word is none",
       60,
       "mystartday = 9\n" + allKeys("0 0 2 1 2001", "0 0 1 1 2002"),
       {0, 0, 2, 1, 2001},
       {0, 0, 1, 1, 2002},
       28},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = makeTestDirectory("time_ok" + std::to_string(n++));
    const std::string control = dir + "/run.ctl.intern";
    writeFile(control, "[model_time]\n" + c.lines);
    ControlFileReaderModel reader(dir, control);
    reader.timeStep = c.timeStep;
    reader.openControlFile();
    reader.readModelTime();
    EXPECT_EQ(fieldsOf(reader.getStartDate()), c.start) << c.name;
    EXPECT_EQ(fieldsOf(reader.getEndDate()), c.end) << c.name;
    EXPECT_EQ(reader.monthDays[1], c.february) << c.name;
  }
}

TEST(ModelTime, EndMinuteIndexCountsThirtyOneDayMonths) {
  const std::string dir = makeTestDirectory("time_index");
  const std::string control = dir + "/run.ctl.intern";
  writeFile(control, "[model_time]\n" + allKeys("0 23 31 12 1999", "30 1 1 1 2000"));
  ControlFileReaderModel reader(dir, control);
  reader.timeStep = 60;
  reader.openControlFile();
  reader.readModelTime();
  EXPECT_EQ(reader.getEndMinuteIndex(), 2000L * 535680 + 44640 + 1440 + 60 + 30);
}

TEST(ModelTime, RejectsMissingUnreadableAndImpossibleValues) {
  struct Case {
    std::string name;
    int timeStep;
    std::string text; // the whole control file
    int code;
    std::string message; // CONTROL stands for the file name
  };
  const std::string head = "[model_time]\n";
  const std::string keysWithoutEndMinute = "startminute = 0\nstarthour = 0\nstartday = 1\n"
                                           "startmonth = 1\nstartyear = 2000\nendhour = 0\n"
                                           "endday = 1\nendmonth = 1\nendyear = 2001\n\n";
  const Case cases[] = {
      {"no section", 0, "[output_interval]\n24\n\n", 17,
       "error in control file, [model_time]; (EOF)not found!"},
      {"unreadable start day", 0, head + "0\nx\n1\n2000\n0\n1\n1\n2001\n", 17,
       "error in control file, starting day in ; [model_time], line 3 of CONTROL reads \"x\": "
       "not found!"},
      {"letters glued to a value", 0, head + "0\n1\n1\n20x1  start year\n0\n1\n1\n2001\n", 17,
       "error in control file, starting year in ; [model_time], line 5 of CONTROL reads \"20x1\": "
       "not found!"},
      {"legacy form cut short", 0, head + "0\n1\n1\n2000\n23\n", 17,
       "and day in ; [model_time], end of CONTROL: not found!"},
      {"legacy form runs into the next section", 0,
       head + "0\n1\n1\n2000\n23\n[zone_grid]\nzone.asc\n", 17,
       "and day in ; [model_time], line 7 of CONTROL reads \"[zone_grid]\": not found!"},
      {"key missing", 60, head + keysWithoutEndMinute, 1301,
       "one or more values of start and end time couldn't be read in section [model_time]\nwhen "
       "using the optional parameter timestep in section [output_interval], the start and end "
       "date/time must be provided in the new format of key = value pairs like this:\n"
       "[model_time]\nstartminute = $startminute\n"},
      {"missing key is named", 60, head + keysWithoutEndMinute, 1301,
       "without using variables)\nnot found: endminute"},
      {"empty block", 60, head + "\n" + allKeys("0 0 1 1 2000", "0 0 1 1 2001"), 1301,
       "(or, of course, by using the actual values without using variables)\nnot found: "
       "startminute starthour startday startmonth startyear endminute endhour endday endmonth "
       "endyear"},
      {"unreadable key value", 60, head + "startminute = 0\nstarthour = x\n", 17,
       "error in control file, starthour; [model_time], line 3 of CONTROL reads \"starthour = "
       "x\": not found!"},
      {"key without equals sign", 60, head + "startday 5\n", 17,
       "error in control file, startday; [model_time], line 2 of CONTROL reads \"startday 5\""},
      {"hour above 24", 0, head + "0\n1\n1\n2000\n25\n1\n1\n2001\n", 17,
       "error in control file, [model_time], line 6 of CONTROL: end hour 25 with minute 0 is not "
       "a time of the day (0 .. 23, or 24 with minute 0)"},
      {"negative hour", 0, head + "-1\n1\n1\n2000\n0\n1\n1\n2001\n", 17,
       "line 2 of CONTROL: start hour -1 with minute 0 is not a time of the day"},
      {"hour 24 with minutes", 60, head + allKeys("0 0 1 1 2000", "30 24 1 1 2001"), 17,
       "line 8 of CONTROL: end hour 24 with minute 30 is not a time of the day"},
      {"minute 60", 60, head + allKeys("60 0 1 1 2000", "0 0 1 1 2001"), 17,
       "line 2 of CONTROL: start minute 60 is not a minute of an hour (0 .. 59)"},
      {"end before start", 0, head + "0\n1\n1\n2001\n0\n31\n12\n2000\n", 17,
       "error in control file, [model_time]: the end 2000-12-31 00:00 lies before the start "
       "2001-01-01 00:00"},
      {"year too large", 0, head + "0\n1\n1\n2000\n0\n1\n1\n10000\n", 17,
       "line 9 of CONTROL: end year 10000 lies outside 1 .. 9999"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = makeTestDirectory("time_bad" + std::to_string(n++));
    const std::string control = dir + "/run.ctl.intern";
    writeFile(control, c.text);
    ControlFileReaderModel reader(dir, control);
    reader.timeStep = c.timeStep;
    reader.openControlFile();
    EXPECT_EQ(exitCodeOf([&] { reader.readModelTime(); }), c.code) << c.name;
    std::string message = c.message;
    const size_t p = message.find("CONTROL");
    if (p != std::string::npos) message.replace(p, 7, control);
    EXPECT_NE(reader.console().find(message), std::string::npos) << c.name << "\n"
                                                                 << reader.console();
  }
}
