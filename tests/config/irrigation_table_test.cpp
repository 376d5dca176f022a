#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "config/defaultini.h"
#include "tests/config/captured_log.h"
#include "tests/test_support.h"

namespace {

struct ReaderContext {
  ReaderContext(const std::string& name, const std::string& controlText) : log(name) {
    controlPath = log.directory + "/model.ctl.intern";
    writeFile(controlPath, controlText);
  }
  CapturedLog log;
  std::string controlPath;
  std::vector<GridRegistryEntry> ownRegistry = std::vector<GridRegistryEntry>(gridRegistrySize);
  int constructionError = 0;
};

// The control-file reader at set-up step 5: the control file open, the
// month lengths of the model time set.
class IrrigationReader : public ReaderContext, public defaultini {
public:
  IrrigationReader(const std::string& name, const std::string& controlText, int february = 28)
      : ReaderContext(name, controlText),
        defaultini(constructionError, &log.diag, controlPath, nullptr, 0, 2, ownRegistry.data()) {
    EXPECT_EQ(constructionError, 0);
    monthDays[1] = february;
    controlFile = std::fopen(controlPath.c_str(), "r");
  }
  int read(int modelVariant = 2) {
    return exitCodeOf([&] { readIrrigationIfActive(modelVariant); });
  }
};

std::string tableFile(int count, const std::string& rows) {
  return "[irrigation]\n1  irrigation on\n\n[irrigation_table]\n" + std::to_string(count) + "\n" +
         rows + "\n";
}

const std::string syntaxHelp =
    "there are 4 possible ways to define irrigation rules:\n"
    "two schedule variants:\n"
    "1.: \"starting from MM DD with XX mm to MM DD with YY mm every ZZ day\"\n"
    "2.: \"starting from MM DD with XX mm AA times every ZZ days\"\n"
    " where MM and DD are Month and day, XX is the first irrigation amount \n"
    " per irrigation event in mm/day, ZZ is the time step (e.g. every 4 days..),\n"
    " YY is the last irrigation amount in mm/day (it is linearly interpolated)\n"
    " and AA is a repeat counter (only in the secound format).\n"
    " The model recognises both formats by the different formats by analysing the\n"
    " key-words \"starting from\", \"to\" and \"times\"\n"
    " note: there may be defined multiple irrigation schemes in one row,\n"
    " but they have to be of the same type (1. or 2.) \n"
    " and they have to be seperated by a semicolon (;)\n"
    " 3.: irrigation control by demand (1): suction (psi) for start and end of irrigation must "
    "be provided\n"
    " 4.: irrigation control by demand (2): ratio between ETR and ETP for irrigation start must "
    "be provided\n";

// Expected schedules from the C library's calendar: month and day of a date
// in a year whose February has the table's length (2021 or 2020).
using Points = std::vector<IrrigationPoint>;

std::time_t dateOf(int year, long month, long day) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = static_cast<int>(month) - 1;
  t.tm_mday = static_cast<int>(day);
  t.tm_hour = 12;
  return timegm(&t);
}

IrrigationPoint pointAt(std::time_t date, double amount) {
  std::tm t{};
  gmtime_r(&date, &t);
  return {t.tm_mon + 1L, static_cast<long>(t.tm_mday), amount};
}

int yearOf(int february) { return february == 29 ? 2020 : 2021; }

// "starting from m1 d1 with a1 mm to m2 d2 with a2 mm every step day".
Points range(int february, long m1, long d1, long m2, long d2, long step, double a1, double a2) {
  const int year = yearOf(february);
  const std::time_t start = dateOf(year, m1, d1);
  std::time_t end = dateOf(year, m2, d2);
  if (end < start) end = dateOf(year + 1, m2, d2);
  std::vector<std::time_t> dates;
  for (std::time_t t = start; t <= end; t += step * 86400) dates.push_back(t);
  Points points;
  const double last = static_cast<double>(dates.size() - 1);
  for (std::size_t j = 0; j < dates.size(); ++j)
    points.push_back(pointAt(dates[j], dates.size() == 1 ? a2 : a1 + (a2 - a1) * j / last));
  return points;
}

// "starting from m1 d1 with a mm count times every step days".
Points repeat(int february, long m1, long d1, long count, long step, double a) {
  Points points;
  for (long i = 0; i < count; ++i)
    points.push_back(pointAt(dateOf(yearOf(february), m1, d1) + i * step * 86400, a));
  return points;
}

Points joined(Points a, const Points& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void expectPoints(const IrrigationRecord& record, const Points& expected, const std::string& text) {
  ASSERT_EQ(record.tabcnt(), static_cast<int>(expected.size())) << text;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(record.points[i].month, expected[i].month) << text << " point " << i + 1;
    EXPECT_EQ(record.points[i].day, expected[i].day) << text << " point " << i + 1;
    EXPECT_NEAR(record.points[i].amount, expected[i].amount, 1e-12) << text << " point " << i + 1;
  }
}

} // namespace

TEST(IrrigationTable, ReadsEveryMethodWhateverTheLineBreaks) {
  const std::string longName(80, 'r');
  IrrigationReader reader("irr_methods", tableFile(5, "11 " + longName +
                                                          " 1 2 55.5 25\n3 4 15 2.5\n4 1 3.0\n"
                                                          "  6 30 1.5\n"
                                                          "12 maize 2 1 60 30 starting from 5 1 "
                                                          "with 10 mm to 5 31 with 20 mm every "
                                                          "10 day\n"
                                                          "13 vines 3 2 70 35\n"
                                                          "14 olives 4 1 0.6 15 tomatoes 3 2 80 "
                                                          "40"));
  ASSERT_EQ(reader.read(), -1) << reader.log.console.str();
  EXPECT_EQ(reader.getIrrigationSwitch(), 1);
  const IrrigationTable& table = reader.getIrrigationTable();
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(table[0].code, 5);

  // A name longer than 50 characters is kept whole and the values after it
  // stay in place.
  EXPECT_EQ(table[1].code, 11);
  EXPECT_EQ(table[1].name, longName);
  EXPECT_EQ(table[1].method, irrigationByDatedAmounts);
  EXPECT_EQ(table[1].origin, irrigationFromSurfaceWater);
  EXPECT_EQ(table[1].psiDry, 55.5);
  EXPECT_EQ(table[1].psiWet, 25.0);
  expectPoints(table[1], {{4, 15, 2.5}, {4, 1, 3.0}, {6, 30, 1.5}}, "dated amounts");
  EXPECT_EQ(table[1].scheduledAmount(4, 1), 3.0);
  EXPECT_EQ(table[1].scheduledAmount(4, 2), 0.0);

  EXPECT_EQ(table[2].name, "maize");
  EXPECT_EQ(table[2].origin, irrigationFromGroundwater);
  expectPoints(table[2], {{5, 1, 10.0}, {5, 11, 40.0 / 3}, {5, 21, 50.0 / 3}, {5, 31, 20.0}},
               "schedule");

  EXPECT_EQ(table[3].method, irrigationBySuction);
  EXPECT_EQ(table[3].psiDry, 70.0);
  EXPECT_EQ(table[3].psiWet, 35.0);
  EXPECT_EQ(table[3].tabcnt(), 0);

  EXPECT_EQ(table[4].method, irrigationByEtrEtpRatio);
  EXPECT_EQ(table[4].minEtrEtp, 0.6);
  EXPECT_EQ(table[4].psiDry, 20.0);
  EXPECT_EQ(table[4].psiWet, 3.45);
  EXPECT_EQ(table[4].tabcnt(), 0);
  EXPECT_EQ(table[5].code, 15);
  EXPECT_EQ(table[5].name, "tomatoes");
  EXPECT_EQ(table[5].psiWet, 40.0);
}

TEST(IrrigationTable, SchedulesFallOnTheCalendarDates) {
  struct Case {
    std::string text;
    int february;
    Points expected;
  };
  const std::vector<Case> cases = {
      {"starting from 5 25 with 10 mm to 6 10 with 10 mm every 10 day", 28,
       range(28, 5, 25, 6, 10, 10, 10, 10)},
      {"starting from 12 20 with 5 mm 3 times every 7 days", 28, repeat(28, 12, 20, 3, 7, 5)},
      {"starting from 12 15 with 2 mm to 1 20 with 8 mm every 9 day", 28,
       range(28, 12, 15, 1, 20, 9, 2, 8)},
      // Intervals longer than the month lengths.
      {"starting from 1 31 with 5 mm 4 times every 40 days", 28, repeat(28, 1, 31, 4, 40, 5)},
      {"starting from 1 10 with 1 mm to 9 30 with 9 mm every 45 day", 28,
       range(28, 1, 10, 9, 30, 45, 1, 9)},
      {"starting from 11 30 with 3 mm 5 times every 100 days", 28, repeat(28, 11, 30, 5, 100, 3)},
      // February of the end year.
      {"starting from 2 20 with 4 mm to 3 10 with 6 mm every 3 day", 29,
       range(29, 2, 20, 3, 10, 3, 4, 6)},
      {"starting from 2 20 with 4 mm to 3 10 with 6 mm every 3 day", 28,
       range(28, 2, 20, 3, 10, 3, 4, 6)},
      {"starting from 2 29 with 1 mm 1 times every 1 days", 28, {{2, 28, 1}}},
      // A single event needs no interval.
      {"starting from 4 30 with 3 mm 1 times every 0 days", 28, {{4, 30, 3}}},
      // Several schemes on one line append to the same points.
      {"starting from 5 1 with 10 mm 2 times every 5 days; starting from 7 1 with 20 mm 3 times "
       "every 10 days",
       28, joined(repeat(28, 5, 1, 2, 5, 10), repeat(28, 7, 1, 3, 10, 20))},
      {"starting from 4 1 with 1 mm to 4 21 with 3 mm every 10 day starting from 8 1 with 5 mm "
       "to 8 3 with 7 mm every 1 day",
       28, joined(range(28, 4, 1, 4, 21, 10, 1, 3), range(28, 8, 1, 8, 3, 1, 5, 7))},
      // The first step passes the end: the start point alone, with the last
      // amount.
      {"starting from 3 1 with 2 mm to 3 5 with 6 mm every 10 day", 28, {{3, 1, 6}}},
      // An end day before the start day in the same month: the start point is
      // kept and counted, so the next scheme does not overwrite it.
      {"starting from 6 20 with 4 mm to 6 10 with 8 mm every 5 day", 28, {{6, 20, 8}}},
      {"starting from 6 20 with 4 mm to 6 10 with 8 mm every 5 day starting from 7 1 with 1 mm "
       "to 7 3 with 1 mm every 1 day",
       28, joined({{6, 20, 8}}, range(28, 7, 1, 7, 3, 1, 1, 1))},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    IrrigationReader reader("irr_schedule_" + std::to_string(i),
                            tableFile(1, "7 field 2 2 50 30 " + c.text), c.february);
    ASSERT_EQ(reader.read(), -1) << c.text << "\n" << reader.log.console.str();
    expectPoints(reader.getIrrigationTable()[1], c.expected, c.text);
  }
}

TEST(IrrigationTable, ScheduleSyntaxErrorsShowTheHelp) {
  const std::vector<std::string> texts = {
      "every 5 days",
      "starting from 5 1 with 10 mm every 3 day",
      "starting from x 1 with 10 mm 2 times every 3 days",
      "starting from 5 1 10 mm 2 times every 3 days",
      "starting from 5 1 with ten mm 2 times every 3 days",
      "starting from 5 1 with 10 mm to 5 with 20 mm every 3 day",
      "starting from 5 1 with 10 mm to 5 31 20 mm every 3 day",
      "starting from 5 1 with 10 mm to 5 31 with many mm every 3 day",
      "starting from 5 1 with 10 mm to 5 31 with 20 mm each 3 day",
      "starting from 5 1 with 10 2 times every 3 days",
      "starting from 5 1 with 10 mm 2 times each 3 days",
  };
  for (std::size_t i = 0; i < texts.size(); ++i) {
    IrrigationReader reader("irr_syntax_" + std::to_string(i),
                            tableFile(2, "1 rice 3 1 50 30\n2 field 2 2 50 30 " + texts[i]));
    EXPECT_EQ(reader.read(), 29) << texts[i];
    EXPECT_EQ(reader.log.lastEntry(),
              "irrigation description for irrigation type 2 is wrong " + syntaxHelp)
        << texts[i];
    EXPECT_EQ(reader.log.fatalCount(), 1) << texts[i];
  }

  // "to" or "times" only before the amount: neither kind.
  IrrigationReader reader("irr_syntax_kind",
                          tableFile(1, "1 field 2 2 50 30 starting from 5 1 times with 10 mm "
                                       "every 3 days"));
  EXPECT_EQ(reader.read(), 29);
  const std::vector<std::string> entries = reader.log.entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2],
            "none of the keywords \"to\" or \"times\" could be found!\n");
  EXPECT_EQ(entries.back(), "irrigation description for irrigation type 1 is wrong " + syntaxHelp);
}

// A date that no year has, in a table of dated amounts or a schedule, is
// refused with the irrigation's code; a value meant as a number that is not
// wholly one with 17, naming the text.
TEST(IrrigationTable, ImpossibleDatesAndPartNumbersAreRefused) {
  struct Case {
    std::string row;
    int code;
    std::string words;
  };
  const std::vector<Case> cases = {
      {"7 field 1 1 50 30 2\n5 1 10.0\n2 30 10.0", 29,
       "for irrigation code 1: month[2] and day[2] give the date 2 30 (month day), which is no "
       "day of the year"},
      {"7 field 1 1 50 30 1\n13 1 10.0", 29, "give the date 13 1"},
      {"7 field 1 1 50 30 1\n5 3.5 10.0", 17,
       "a day of irrigation type 1 in [irrigation_table]: "
       "\"3.5\" is not a whole number"},
      {"7 field 2 2 50 30 starting from 4 31 with 3 mm 2 times every 1 days", 29,
       "gives the date 4 31 (month day), which is no day of the year"},
      {"7 field 2 2 50 30 starting from 13 0 with 3 mm 1 times every 0 days", 29,
       "gives the date 13 0"},
      {"7 field 2 2 50 30 starting from 3 1 with 2 mm to 14 40 with 6 mm every 100 day", 29,
       "gives the date 14 40"},
      {"7 field 2 2 50 30 starting from 5 10x with 12 mm to 6 28 with 12 mm every 6 day", 17,
       "reads \"10x\", which is not a whole number"},
      {"7 field 2 2 50 30 starting from 5 10 with 12 mm to 6 28 with 1e999 mm every 6 day", 17,
       "reads \"1e999\", which is not a finite number"},
      {"7 field 2 2 50 30 starting from 5 10 with 12 mm 2 times every 6x days", 17,
       "reads \"6x\", which is not a whole number"},
      {"7x field 3 1 50 30", 17, "the code of irrigation type 1 in [irrigation_table]: \"7x\""},
      {"7 field 3 1 nan 30", 17, "psi_dry of irrigation type 1 in [irrigation_table]: \"nan\""},
      {"7 field 3 0 50 30", 29,
       "for irrigation code 1 in [irrigation_table]: the origin is 0, which must be 1 "
       "(groundwater) or 2 (surface water)"},
      {"7 field 3 3 50 30", 29, "the origin is 3"},
      {"7 field 3 1 -1 30", 29,
       "for irrigation code 1 in [irrigation_table]: psi_dry is -1 m, which must be 0 ... 1000 m"},
      {"7 field 3 1 50 1e9", 29, "psi_wet is 1e+09 m, which must be 0 ... 1000 m"},
      {"7 field 2 2 50 30 starting from 5 1 with 10 mm to 5 31 with 20 mm every 0 day", 29,
       "an irrigation schedule of [irrigation_table] gives the interval (every ZZ day) of 0, "
       "which must be 1 or more"},
      {"7 field 2 2 50 30 starting from 5 1 with 10 mm 0 times every 3 days", 29,
       "gives the number of events (AA times) of 0, which must be 1 or more"},
      {"7 field 2 2 50 30 starting from 5 1 with 10 mm 3 times every -1 days", 29,
       "gives the interval (every ZZ days) of -1, which must be 1 or more"},
      {"7 field 4 1 2.5", 29,
       "for irrigation code 1 in [irrigation_table]: min(ETR/ETP) is 2.5, which must be 0 ... 2"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    IrrigationReader reader("irr_refused_" + std::to_string(i), tableFile(1, c.row));
    EXPECT_EQ(reader.read(), c.code) << c.row;
    EXPECT_NE(reader.log.lastEntry().find(c.words), std::string::npos) << c.row << "\n"
                                                                       << reader.log.lastEntry();
  }
  // 29 February is a date of every schedule; it falls on the 28th where
  // February is shorter.
  IrrigationReader leap("irr_refused_leap", tableFile(1, "7 field 1 1 50 30 1\n2 29 4.0"));
  EXPECT_EQ(leap.read(), -1) << leap.log.console.str();
}

TEST(IrrigationTable, UnreadableTypesNameTheirPosition) {
  struct Case {
    std::string row;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"30 corn 1", ": code, name, method, or origin could not be read correctly\n"},
      {"30 corn x 1", ": code, name, method, or origin could not be read correctly\n"},
      {"corn 30 1 1", ": code, name, method, or origin could not be read correctly\n"},
      {"30 corn 4 2 none", ": min(ETR/ETP) could not be read correctly\n"},
      {"30 corn 3 1 50 wet", ": psi_dry or psi_wet could not be read correctly\n"},
      {"30 corn 1 1 50 30 many", ": tabcnt could not be read correctly\n"},
      {"30 corn 1 1 50 30 -2", ": tabcnt could not be read correctly\n"},
      {"30 corn 1 1 50 30 2 5 1 10.0 5 x 12",
       " month[2] or day[2] or amount[2] could not be read\n"},
      {"30 corn 1 1 50 30 3\n5 1 10.0\n6 1",
       " month[2] or day[2] or amount[2] could not be read\n"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    IrrigationReader reader("irr_type_" + std::to_string(i),
                            tableFile(3, "10 rice 3 1 50 30\n20 wheat 4 2 0.7\n" + c.row));
    EXPECT_EQ(reader.read(), 29) << c.row;
    EXPECT_EQ(reader.log.lastEntry(), "for irrigation code 3" + c.message) << c.row;
    EXPECT_EQ(reader.log.fatalCount(), 1) << c.row;
  }
}

TEST(IrrigationTable, SectionsAndCounts) {
  struct Case {
    std::string control;
    int variant;
    int code;
    std::string message; // last entry, for a failure
    int tableSize;
  };
  const std::vector<Case> cases = {
      // Irrigation off: "[irrigation_table]" is not looked for.
      {"[irrigation]\n0\n", 2, -1, "", 0},
      // Variant 1 reads nothing.
      {"", 1, -1, "", 0},
      {"[other]\n1\n", 2, 17, "error in control file, [irrigation]; (EOF)not found!", 0},
      {"[irrigation]\n1\n", 2, 17, "error in control file, [irrigation_table]; (EOF)not found!", 0},
      {"[irrigation]\non\n", 2, 17, "error in control file, irrigation switch in [irrigation]; ",
       0},
      {"[irrigation]\n1\n[irrigation_table]\nthree\n", 2, 17,
       "error in control file, number of irrigation types in [irrigation_table]; ", 0},
      {"[irrigation]\n0n\n", 2, 17,
       "error in control file, irrigation switch in [irrigation]; [irrigation], line 2 of ", 0},
      {"[irrigation]\n2\n[irrigation_table]\n0\n", 2, -1, "", 1},
      {"[irrigation]\n1\n[irrigation_table]\n-4\n", 2, -1, "", 1},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    IrrigationReader reader("irr_sections_" + std::to_string(i), c.control);
    EXPECT_EQ(reader.read(c.variant), c.code) << c.control;
    if (c.code > 0) {
      EXPECT_EQ(reader.log.lastEntry().rfind(c.message, 0), 0u) << c.control << "\n"
                                                                << reader.log.lastEntry();
      EXPECT_EQ(reader.log.fatalCount(), 1);
    } else {
      EXPECT_EQ(reader.log.fatalCount(), 0);
      ASSERT_EQ(reader.getIrrigationTable().size(), static_cast<std::size_t>(c.tableSize));
    }
  }
}
