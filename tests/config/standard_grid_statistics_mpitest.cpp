#include <gtest/gtest.h>

#include "tests/config/time_step_run.h"

using namespace time_step_run;

namespace {

// Relative cell areas 2 in row 4, 1 elsewhere: zone areas 4, 11 and 22.
double relativeArea(long r, long) { return r == 4 ? 2.0 : 1.0; }

// A hole inside zone 1 at (2, 1), and values outside the zone grid that no
// statistic may count.
double statValue(long r, long c) { return r == 2 && c == 1 ? -9999.0 : r + c / 4.0; }
double outsideValue(long, long) { return 1000.0; }

// The time-stamped files of "rain.asc": k + c / 8 in file k.
CellValue rainFile(double k) {
  return [k](long, long c) { return k + c / 8.0; };
}

const ModelDate firstStep = {0, 21, 31, 12, 2020};

const std::string zoneHeader = "YY\tMM\tDD\tHH\t\"1\"\t\"2\"\t\"3\"\ttot_average\n";
const std::string areaLine = "--\t--\t--\t--\t0.1081081\t0.2972973\t0.5945946\t1.0000\n";
const std::vector<std::string> hours = {"2020\t12\t31\t21", "2020\t12\t31\t22", "2020\t12\t31\t23",
                                        "2021\t 1\t 1\t 0", "2021\t 1\t 1\t 1", "2021\t 1\t 1\t 2"};

std::string linesOf(const std::vector<std::string>& dates, const std::vector<std::string>& values) {
  std::string text;
  for (std::size_t i = 0; i < dates.size(); ++i) text += dates[i] + values[i] + "\n";
  return text;
}

// What every process count must write: every zone and the total per step
// (2001), the total as the mean of two steps (1002), and every zone and the
// total as the sum of three steps (4003) of a grid re-read at the first step
// and on the new day.
const std::vector<std::pair<std::string, std::string>> expectedFiles = {
    {"statA.txt",
     zoneHeader + "statA_submodel:(default)\n" + areaLine +
         linesOf(hours, std::vector<std::string>(6, "\t1.75000\t2.95455\t4.85227\t4.01389"))},
    {"statB.txt",
     "YY\tMM\tDD\tHH\ttot_average\nstatB_submodel:(default)\n--\t--\t--\t--\t1.0000\n" +
         linesOf({hours[1], hours[3], hours[5]}, std::vector<std::string>(3, "\t4.01389"))},
    {"rainA.txt",
     zoneHeader + "rainA_submodel:(default)\n" + areaLine +
         linesOf(hours,
                 {"\t1.18750\t1.70455\t1.56250\t1.56419", "\t1.18750\t1.70455\t1.56250\t1.56419",
                  "\t1.18750\t1.70455\t1.56250\t1.56419", "\t2.18750\t2.70455\t2.56250\t2.56419",
                  "\t2.18750\t2.70455\t2.56250\t2.56419", "\t2.18750\t2.70455\t2.56250\t2.56419"})},
    {"rainB.txt", zoneHeader + "rainB_submodel:(default)\n" + areaLine +
                      linesOf({hours[2], hours[5]}, {"\t3.56250\t5.11364\t4.68750\t4.69257",
                                                     "\t6.56250\t8.11364\t7.68750\t7.69257"})}};

} // namespace

// The files hold each cell inside the zone grid once, on whichever process
// owns it, without its nodata cells: byte for byte the same for every
// process count, whether the driver flushes them at the end or the teardown
// writes what is left.
TEST(StandardGridStatistics, WriteTheSameFilesOnEveryProcessCount) {
  const std::string grids = "7\n"
                            "area.asc RelCellArea 0\n"
                            "stat.asc statA 0 statfile = statA.txt statcode = 2001\n"
                            "stat.asc statB 0 statfile = statB.txt statcode = 1002\n"
                            "rain.asc rainA 0 periodicity = 1 D 1 statfile = rainA.txt "
                            "statcode = 2001\n"
                            "rain.asc rainB 0 periodicity = 1 D 1 statfile = rainB.txt "
                            "statcode = 4003\n"
                            "stat.asc quiet 0 statfile = quiet.txt statcode = 1000\n"
                            "stat.asc plain 0\n";
  for (const bool flush : {true, false}) {
    SCOPED_TRACE(flush ? "flushed at the end" : "written at the teardown");
    const std::string dir =
        prepareRun(flush ? "stdstat_flush" : "stdstat_teardown", grids, "",
                   {{"area.asc", gridText(relativeArea)},
                    {"stat.asc", gridText(statValue, outsideValue)},
                    {"rain.asc", gridText(constant(0.0))},
                    {stamped("rain.asc", firstStep), gridText(rainFile(1.0))},
                    {stamped("rain.asc", ModelDate{0, 0, 1, 1, 2021}), gridText(rainFile(2.0))}});
    const WorkingDirectory here(dir);
    SetupModel model(dir, dir + "/run.ctl");
    ASSERT_EQ(model.runSetup(), -1) << model.console();
    ASSERT_EQ(exitCodeOf([&] { model.createStandardGridStatistics(); }), -1) << model.console();
    // The inactive code 1000 has a series that writes nothing.
    EXPECT_EQ(model.getStandardGridStatisticCount(), 5);
    const int code = exitCodeOf([&] {
      for (const ModelDate& d : datesFrom(firstStep, 6, 1)) runTimeStep(model, d, 60.0);
      if (flush) model.flushStandardGridStatistics();
      model.FreeMemory();
    });
    ASSERT_EQ(code, -1) << model.console();
    EXPECT_EQ(model.getStandardGridStatisticCount(), 0);
    if (worldRank() != 0) continue;
    for (const auto& [file, text] : expectedFiles) EXPECT_EQ(readFile(file), text) << file;
    EXPECT_FALSE(fileExists("quiet.txt"));
  }
}

// A statistics file that cannot be created ends every process with the
// code of the rank that writes it.
TEST(StandardGridStatistics, AFileThatCannotBeCreatedEndsEveryProcess) {
  const std::string dir = prepareRun(
      "stdstat_unwritable", "1\nstat.asc statA 0 statfile = none/statA.txt statcode = 2001\n", "",
      {{"stat.asc", gridText(statValue)}});
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console();
  EXPECT_EQ(exitCodeOf([&] { model.createStandardGridStatistics(); }), 15);
  if (worldRank() == 0) {
    EXPECT_NE(model.console().find("error opening \nnone/statA.txt"), std::string::npos)
        << model.console();
  }
}
