#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/config/code_check_tables.h"
#include "tests/config/time_step_run.h"

using namespace time_step_run;
using namespace code_check_tables;

namespace {

constexpr double setupValue = 5.0;

// A value that names the date of the time-stamped file it came from.
double dateValue(const ModelDate& d) {
  return static_cast<double>(((d.year - 2000) * 100 + d.month) * 10000 + d.day * 100 + d.hour);
}

ModelDate at(long year, long month, long day, long hour) { return {0, hour, day, month, year}; }

bool sameHour(const ModelDate& a, const ModelDate& b) {
  return a.minuteIndex() / minutesPerHour == b.minuteIndex() / minutesPerHour;
}

// A grid created from 5 and re-read by its periodicity; the dates at which
// it is re-read and those at which it gets its set-up values back.
struct PeriodicGrid {
  std::string name;
  std::string periodicity;
  std::vector<ModelDate> rereads;
  std::vector<ModelDate> restores = {};
};

struct Stepping {
  std::string name;
  ModelDate first;
  int steps;
  long hours;
  std::vector<PeriodicGrid> grids;
};

// What the grid holds after the step at date d.
double expectedValue(const PeriodicGrid& g, const std::vector<ModelDate>& dates, std::size_t step) {
  double value = setupValue;
  for (std::size_t i = 0; i <= step; ++i) {
    for (const ModelDate& d : g.rereads)
      if (sameHour(d, dates[i])) value = dateValue(d);
    for (const ModelDate& d : g.restores)
      if (sameHour(d, dates[i])) value = setupValue;
  }
  return value;
}

} // namespace

// Hours and days watch the hour, months the day, years the month; a unit
// counts by its first letter in any case. A period that ends before the
// step of the re-read starts the count again; a grid that is not persistent
// comes back after its steps, at the next step when they are 0. Only the
// files of the expected re-reads exist: any other re-read would end the run
// with 21.
TEST(PeriodicStandardGrids, AreReadAgainAtTheStepOfTheirPeriodInEveryUnit) {
  const std::vector<Stepping> steppings = {
      {"hourly",
       at(2020, 12, 30, 22),
       30,
       1,
       {{"hours", "1 hour 1", {at(2020, 12, 30, 22), at(2020, 12, 31, 0), at(2021, 1, 1, 0)}},
        {"day3", "1 Day 3", {at(2020, 12, 31, 2), at(2021, 1, 1, 2)}},
        {"twodays", "2 days 1", {at(2020, 12, 31, 0)}},
        {"month", "1 month 1", {at(2020, 12, 30, 22), at(2021, 1, 1, 0)}},
        {"month2", "1 MONTH 2", {at(2020, 12, 31, 0)}},
        {"year", "1 y 1", {at(2020, 12, 30, 22), at(2021, 1, 1, 0)}},
        {"restored",
         "1 hour 1 persistent = 0 3",
         {at(2020, 12, 30, 22), at(2020, 12, 31, 0), at(2021, 1, 1, 0)},
         {at(2020, 12, 31, 3), at(2021, 1, 1, 3)}},
        {"restoredAtOnce",
         "1 hour 1 persistent = 0 0",
         {at(2020, 12, 30, 22), at(2020, 12, 31, 0), at(2021, 1, 1, 0)},
         {at(2020, 12, 30, 23), at(2020, 12, 31, 1), at(2021, 1, 1, 1)}}}},
      {"daily",
       at(2020, 12, 28, 0),
       6,
       24,
       {{"hours", "1 H 1", {at(2020, 12, 28, 0)}},
        {"day2", "1 D 2", {}},
        {"month", "1 M 1", {at(2020, 12, 28, 0), at(2021, 1, 1, 0)}},
        {"month3", "1 M 3", {at(2020, 12, 30, 0)}},
        {"year", "1 Y 1", {at(2020, 12, 28, 0), at(2021, 1, 1, 0)}},
        {"restored",
         "1 M 1 persistent = 0 2",
         {at(2020, 12, 28, 0), at(2021, 1, 1, 0)},
         {at(2020, 12, 30, 0)}}}}};

  for (const Stepping& s : steppings) {
    SCOPED_TRACE(s.name);
    std::string lines = std::to_string(s.grids.size()) + "\n";
    std::vector<std::pair<std::string, std::string>> files;
    for (const PeriodicGrid& g : s.grids) {
      lines += g.name + ".asc " + g.name +
               " 0 readcode = 0 defaultValue = 5 periodicity = " + g.periodicity + "\n";
      for (const ModelDate& d : g.rereads)
        files.push_back({stamped(g.name + ".asc", d), gridText(constant(dateValue(d)))});
    }
    const std::string dir = prepareRun("periodic_" + s.name, lines, "", files);
    const WorkingDirectory here(dir);
    SetupModel model(dir, dir + "/run.ctl");
    ASSERT_EQ(model.runSetup(), -1) << model.console();
    ASSERT_EQ(exitCodeOf([&] { model.createStandardGridStatistics(); }), -1);

    const std::vector<ModelDate> dates = datesFrom(s.first, s.steps, s.hours);
    for (std::size_t i = 0; i < dates.size(); ++i) {
      const ModelDate& d = dates[i];
      SCOPED_TRACE(dateValue(d));
      ASSERT_EQ(exitCodeOf([&] { runTimeStep(model, d, 60.0 * static_cast<double>(s.hours)); }), -1)
          << model.console();
      for (const PeriodicGrid& g : s.grids) {
        const double expected = expectedValue(g, dates, i);
        expectHeldCells(model, model.grid(g.name), constant(expected), g.name);
      }
    }
  }
}

// A missing time-stamped file is tried six times, 200 ms apart, and then
// ends every process with code 21.
TEST(PeriodicStandardGrids, AMissingFileEndsTheRunAfterItsRetries) {
  const std::string dir = prepareRun(
      "periodic_missing", "1\nmiss.asc miss 0 readcode = 0 periodicity = 1 D 1\n", "", {});
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console();
  EXPECT_EQ(exitCodeOf([&] { runTimeStep(model, at(2020, 12, 31, 22), 60.0); }), 21);
  if (worldRank() != 0) return;
  const std::string console = model.console();
  for (int left = 5; left >= 1; --left)
    EXPECT_NE(console.find("error opening miss.asc_2020123122. Will try again in 200 ms... "
                           "(retriesleft = " +
                           std::to_string(left) + ")"),
              std::string::npos)
        << left;
  EXPECT_NE(console.find("still error opening miss.asc_2020123122 - no retry."), std::string::npos)
      << console;
}

namespace {

const std::vector<ModelDate> codeSteps = {at(2020, 12, 31, 22), at(2020, 12, 31, 23),
                                          at(2021, 1, 1, 0), at(2021, 1, 1, 1), at(2021, 1, 1, 2)};
bool west(long, long c) { return c <= 4; }

// One code grid: its codes at the set-up and in the two files, re-read at
// the first step and on the new day, and the record indices expected at
// each step.
struct CodeGridCase {
  std::string file;
  std::string line;
  CellValue setupCodes;
  CellValue firstCodes;
  CellValue secondCodes;
  std::string lookupName;
  std::vector<CellValue> indices; // per step
};

} // namespace

// A re-read code grid holds record indices like the one of the set-up, and
// so do the set-up values that a grid which is not persistent gets back;
// the land-use layers follow a re-read "landuse", whatever its file is
// named.
TEST(PeriodicStandardGrids, CodeGridsHoldRecordIndicesAfterEveryReadAndRestore) {
  // Multilayer types 2 (record 1: land uses 2 and 1) and 1 (record 2: land
  // use 3 and no second layer).
  const CellValue typeA = [](long r, long c) { return west(r, c) ? 1.0 : 2.0; };
  const CellValue typeB = [](long r, long c) { return west(r, c) ? 2.0 : 1.0; };
  const CellValue indexA = [](long r, long c) { return west(r, c) ? 2.0 : 1.0; };
  const CellValue indexB = [](long r, long c) { return west(r, c) ? 1.0 : 2.0; };
  const CellValue soilB = [](long r, long) { return r % 2 == 1 ? 10.0 : 20.0; };
  const CellValue soilIndexB = [](long r, long) { return r % 2 == 1 ? 1.0 : 2.0; };
  const CellValue irrigationA = [](long, long c) { return c % 2 == 1 ? 2.0 : 0.0; };
  const CellValue irrigationIndexA = [](long, long c) { return c % 2 == 1 ? 2.0 : 0.0; };
  const std::vector<CodeGridCase> grids = {
      {"lu.asc",
       "lu.asc landuse 0 periodicity = 1 D 1",
       constant(2.0),
       typeA,
       typeB,
       "landuse",
       {indexA, indexA, indexB, indexB, indexB}},
      {"soil.asc",
       "soil.asc soil_types 0 periodicity = 1 M 1 persistent = 0 2",
       constant(10.0),
       constant(20.0),
       soilB,
       "soil_types",
       {constant(2.0), constant(2.0), soilIndexB, soilIndexB, constant(1.0)}},
      {"irr.asc",
       "irr.asc irrigation_codes 0 periodicity = 1 D 1",
       constant(5.0),
       irrigationA,
       constant(5.0),
       "irrigation_codes",
       {irrigationIndexA, irrigationIndexA, constant(1.0), constant(1.0), constant(1.0)}}};
  // Layer 1 and 2 of each type after the check: land-use records.
  const CellValue layer1[2] = {[](long r, long c) { return west(r, c) ? 3.0 : 2.0; },
                               [](long r, long c) { return west(r, c) ? 2.0 : 3.0; }};
  const CellValue layer2[2] = {[](long r, long c) { return west(r, c) ? -9999.0 : 1.0; },
                               [](long r, long c) { return west(r, c) ? 1.0 : -9999.0; }};

  std::string lines = std::to_string(grids.size()) + "\n";
  std::vector<std::pair<std::string, std::string>> files;
  for (const CodeGridCase& g : grids) {
    lines += g.line + "\n";
    files.push_back({g.file, gridText(g.setupCodes)});
    files.push_back({stamped(g.file, codeSteps[0]), gridText(g.firstCodes)});
    files.push_back({stamped(g.file, codeSteps[2]), gridText(g.secondCodes)});
  }
  const std::string dir = prepareRun(
      "periodic_codes", lines,
      multilayerSection() + landuseSection() + soilSection() + irrigationSections(), files);
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console();
  ASSERT_EQ(model.getLanduseLayers(), 2);

  for (std::size_t i = 0; i < codeSteps.size(); ++i) {
    SCOPED_TRACE(dateValue(codeSteps[i]));
    ASSERT_EQ(exitCodeOf([&] { runTimeStep(model, codeSteps[i], 60.0); }), -1) << model.console();
    for (const CodeGridCase& g : grids)
      expectHeldCells(model, model.grid(g.lookupName), g.indices[i], g.lookupName);
    const int file = i < 2 ? 0 : 1;
    expectHeldCells(model, model.grid("landuse1"), layer1[file], "landuse1");
    expectHeldCells(model, model.grid("landuse2"), layer2[file], "landuse2");
  }
}

// Without a multilayer table the land-use grid is its own layer 1 and
// carries that name; it is still the grid whose codes are replaced.
TEST(PeriodicStandardGrids, ASingleLayerLanduseGridIsReplacedUnderItsLayerName) {
  const std::string dir =
      prepareRun("periodic_single", "1\nlu.asc landuse 0 periodicity = 1 D 1\n", landuseSection(),
                 {{"lu.asc", gridText(constant(2.0))},
                  {stamped("lu.asc", codeSteps[0]), gridText(constant(30.0))},
                  {stamped("lu.asc", codeSteps[2]), gridText(constant(1.0))}});
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console();
  ASSERT_EQ(model.getLanduseLayerGrids().size(), 2u);
  ASSERT_EQ(model.getLanduseLayerGrids()[1], model.grid("landuse1"));
  const double expected[] = {3.0, 3.0, 2.0};
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(exitCodeOf([&] { runTimeStep(model, codeSteps[i], 60.0); }), -1) << model.console();
    expectHeldCells(model, model.grid("landuse1"), constant(expected[i]), "landuse1");
  }
}

// A re-read code that its table does not know ends every process as the
// set-up's check does.
TEST(PeriodicStandardGrids, AnUnknownCodeInAReReadGridEndsEveryProcess) {
  struct Case {
    std::string line;
    std::string file;
    double code;
    int exitCode;
    std::string message;
  };
  const Case cases[] = {
      {"soil.asc soil_types 0 periodicity = 1 D 1", "soil.asc", 30.0, 32,
       "soil type 30 in grid soil.asc (soil_types)\nis not present in the control file"},
      {"lu.asc landuse 0 periodicity = 1 D 1", "lu.asc", 7.0, 311,
       "land use 7 in grid lu.asc (landuse)\nis not present in the multilayer-landuse-table"},
      {"irr.asc irrigation_codes 0 periodicity = 1 D 1", "irr.asc", 7.0, 31,
       "irrigation type 7 in grid irr.asc (irrigation_codes)\nis not present in the irrigation "
       "table"}};
  const std::map<std::string, double> setupCodes = {
      {"soil.asc", 10.0}, {"lu.asc", 2.0}, {"irr.asc", 5.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string dir =
        prepareRun("periodic_unknown", "1\n" + c.line + "\n",
                   multilayerSection() + landuseSection() + soilSection() + irrigationSections(),
                   {{c.file, gridText(constant(setupCodes.at(c.file)))},
                    {stamped(c.file, codeSteps[0]), gridText([&](long r, long col) {
                       return r == 4 && col == 8 ? c.code : setupCodes.at(c.file);
                     })}});
    const WorkingDirectory here(dir);
    SetupModel model(dir, dir + "/run.ctl");
    ASSERT_EQ(model.runSetup(), -1) << model.console();
    EXPECT_EQ(exitCodeOf([&] { runTimeStep(model, codeSteps[0], 60.0); }), c.exitCode);
    if (worldRank() == 0) {
      EXPECT_NE(model.console().find(c.message), std::string::npos) << model.console();
    }
  }
}

// A module's check of a grid's values runs after every read of its file
// during the run, on the values read and with that file's name, and not at
// the steps between.
TEST(PeriodicStandardGrids, AReadGoesThroughTheChecksOfTheModules) {
  const std::vector<ModelDate> reads = {at(2020, 12, 31, 22), at(2021, 1, 1, 0)};
  std::vector<std::pair<std::string, std::string>> files;
  for (const ModelDate& d : reads)
    files.push_back({stamped("watched.asc", d), gridText(constant(dateValue(d)))});
  const std::string dir = prepareRun(
      "periodic_checked",
      "1\nwatched.asc watched 0 readcode = 0 defaultValue = 5 periodicity = 1 D 1\n", "", files);
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console();
  const int index = model.findGrid("watched");
  const Grid grid = model.grid("watched");
  // The largest value of the own rows: the file's, above nodata.
  std::vector<std::pair<std::string, double>> checked;
  model.checkAgainOnRead(index, [&](const std::string& from) {
    const GridHeader& h = model.getHeader();
    double largest = h.nodata;
    for (long r = h.firstRow; r <= h.lastRow; ++r)
      for (long c = 1; c <= h.ncols; ++c) largest = std::max(largest, grid[r][c]);
    checked.emplace_back(from, largest);
  });
  for (const ModelDate& d : datesFrom(reads.front(), 5, 1))
    ASSERT_EQ(exitCodeOf([&] { runTimeStep(model, d, 60.0); }), -1) << model.console();
  ASSERT_EQ(checked.size(), reads.size());
  for (std::size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(checked[i].first, stamped("watched.asc", reads[i]));
    EXPECT_EQ(checked[i].second, dateValue(reads[i]));
  }
}

// What a module derived from a grid is derived again after every read of
// its file during the run, once the checks passed, and after the set-up
// values come back.
TEST(PeriodicStandardGrids, AReadAndTheSetUpValuesRebuildWhatTheModulesDerived) {
  const std::vector<ModelDate> reads = {at(2020, 12, 31, 22), at(2021, 1, 1, 0)};
  std::vector<std::pair<std::string, std::string>> files;
  for (const ModelDate& d : reads)
    files.push_back({stamped("derived.asc", d), gridText(constant(dateValue(d)))});
  const std::string dir =
      prepareRun("periodic_rebuilt",
                 "1\nderived.asc derived 0 readcode = 0 defaultValue = 5 periodicity = 1 D 1 "
                 "persistent = 0 2\n",
                 "", files);
  const WorkingDirectory here(dir);
  SetupModel model(dir, dir + "/run.ctl");
  ASSERT_EQ(model.runSetup(), -1) << model.console();
  const int index = model.findGrid("derived");
  const Grid grid = model.grid("derived");
  const GridHeader& h = model.getHeader();
  const auto largest = [&] {
    double value = h.nodata;
    for (long r = h.firstRow; r <= h.lastRow; ++r)
      for (long c = 1; c <= h.ncols; ++c) value = std::max(value, grid[r][c]);
    return value;
  };
  std::vector<std::pair<char, double>> events;
  model.rebuildOnRead(index, [&] { events.emplace_back('r', largest()); });
  model.checkAgainOnRead(index, [&](const std::string&) { events.emplace_back('c', largest()); });
  for (const ModelDate& d : datesFrom(reads.front(), 5, 1))
    ASSERT_EQ(exitCodeOf([&] { runTimeStep(model, d, 60.0); }), -1) << model.console();
  const std::vector<std::pair<char, double>> expected = {{'c', dateValue(reads[0])},
                                                         {'r', dateValue(reads[0])},
                                                         {'c', dateValue(reads[1])},
                                                         {'r', dateValue(reads[1])},
                                                         {'r', setupValue}};
  EXPECT_EQ(events, expected);
}

// A grid a module built something from once at set-up cannot be read again:
// its periodicity is refused with 17 (unless the run reads no standard grid
// again), naming the grid and what was built; other grids pass.
TEST(PeriodicStandardGrids, AReadOfAGridBuiltFromOnceIsRefused) {
  struct Case {
    const char* keys;
    bool built;
    bool periodicReads;
    int exitCode;
  };
  const std::vector<Case> cases = {{"periodicity = 1 D 1", true, true, 17},
                                   {"periodicity = 1 D 1", true, false, -1},
                                   {"periodicity = 1 D 1", false, true, -1},
                                   {"", true, true, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.keys) + (c.built ? " built" : "") +
                 (c.periodicReads ? " read" : ""));
    const std::string dir = prepareRun(
        "periodic_refused", std::string("1\ntested.asc tested 0 readcode = 0 ") + c.keys + "\n", "",
        {});
    const WorkingDirectory here(dir);
    SetupModel model(dir, dir + "/run.ctl");
    ASSERT_EQ(model.runSetup(), -1) << model.console();
    if (c.built) model.builtOnceFrom(model.findGrid("tested"), "the test builds its cells from it");
    EXPECT_EQ(exitCodeOf([&] { model.refuseReadsOfGridsBuiltOnce(c.periodicReads); }), c.exitCode);
    if (c.exitCode == 17 && worldRank() == 0) {
      EXPECT_NE(model.console().find("standard grid 1 \"tested\" (tested.asc) has periodicity = 1 "
                                     "D 1, but it cannot be read again during the run: the test "
                                     "builds its cells from it."),
                std::string::npos)
          << model.console();
    }
  }
}
