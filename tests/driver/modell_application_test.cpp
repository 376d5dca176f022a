#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "core/ctrl_c.h"
#include "driver/signal_handlers.h"
#include "tests/driver/model_run.h"
#include "tests/driver/recording_application.h"

namespace {

using Place = RecordingApplication::Place;

std::vector<std::string> names(Place first, Place last) {
  std::vector<std::string> list;
  for (int p = static_cast<int>(first); p <= static_cast<int>(last); ++p)
    list.push_back(RecordingApplication::placeName(static_cast<Place>(p)));
  return list;
}

void append(std::vector<std::string>& list, const std::vector<std::string>& more) {
  list.insert(list.end(), more.begin(), more.end());
}

// What the recorder notes in one step: the places in their order, and the
// temperature the interpolator made for the step before any module runs.
std::vector<std::string> stepJournal(long hour, bool interceptionFirst, unsigned substeps) {
  std::vector<std::string> list = {"dataAssimilation", "temperature " + std::to_string(10 + hour)};
  append(list, names(Place::waterBalanceStart, Place::snowEvaporation));
  if (interceptionFirst)
    append(list, {"interception", "snow"});
  else
    append(list, {"snow", "interception"});
  append(list, names(Place::waterBalanceInputs, Place::groundwaterStart));
  for (unsigned k = 0; k < substeps; ++k)
    append(list, names(Place::unsaturatedZoneSubstep, Place::specialOutputSubstep));
  append(list, names(Place::glaciers, Place::waterBalance));
  list.push_back("stateCheck");
  list.push_back("specialOutput");
  return list;
}

// A run of the recorder in a directory of its own.
struct RecordedRun {
  RecordedRun(const std::string& name, const TinyCatchment& catchment,
              const CommandLine& options = CommandLine())
      : dir(std::filesystem::absolute(makeTestDirectory(name)).string()), log(dir),
        model(log.diag.get(), "run.ctl", options) {
    catchment.write(dir);
  }
  int run() { return runModel(model, dir); }

  std::string dir;
  RunLog log;
  RecordingApplication model;
};

const std::string recorderSection = "[recorder]\n1  flow control\n60  minutes\n\n";

} // namespace

TEST(ModellApplication, CallsTheModulesOfAStepInTheirOrder) {
  for (bool interceptionFirst : {false, true}) {
    for (unsigned substeps : {1u, 3u}) {
      SCOPED_TRACE("interception first " + std::to_string(interceptionFirst) + ", " +
                   std::to_string(substeps) + " sub-steps");
      TinyCatchment catchment;
      catchment.lastHour = 1;
      catchment.extraSections = recorderSection + "[soil_surface_groundwater_substeps]\n" +
                                std::to_string(substeps) + "\n";
      RecordedRun r("app_order", catchment);
      r.model.interceptionFirst = interceptionFirst ? 1 : 0;
      r.model.atPlace = [&](Place place, const ModelDate& date) {
        if (place == Place::dataAssimilation)
          r.model.journal.push_back(
              "temperature " + std::to_string(static_cast<int>(r.model.grid("temperature")[2][2])));
        // The standard grids are written after the sub-models.
        if (place == Place::channelRouting) r.model.grid("wetness")[2][2] = 100 + date.hour;
      };
      ASSERT_EQ(r.run(), -1) << r.log.text();

      std::vector<std::string> expected = {
          "construct after the interpolators and the tracer set-up",
          "setSubsteps " + std::to_string(substeps), "setOutputInterval 1"};
      for (long hour : {0, 1}) append(expected, stepJournal(hour, interceptionFirst, substeps));
      append(expected, {"flush", "tracerRelease"});
      append(expected, names(Place::channelRoutingTeardown, Place::groundwaterTeardown));
      EXPECT_EQ(r.model.journal, expected);
      EXPECT_NE(readFile(r.dir + "/wetness.asc").find("\n5\t101\t5\t5\n"), std::string::npos)
          << readFile(r.dir + "/wetness.asc");
    }
  }
}

// Every place with calls reports its own seconds, and a place that waits
// shows the wait.
TEST(ModellApplication, TimesEveryPlaceWhenAsked) {
  for (const bool timed : {false, true}) {
    SCOPED_TRACE(timed ? "timed" : "untimed");
    TinyCatchment catchment;
    catchment.lastHour = 1;
    catchment.extraSections = recorderSection;
    RecordedRun r("app_timing", catchment);
    if (timed) r.model.timePlaces();
    r.model.atPlace = [](Place place, const ModelDate&) {
      if (place == Place::channelRouting)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    ASSERT_EQ(r.run(), -1) << r.log.text();
    const auto times = r.model.placeTimes();
    if (!timed) {
      EXPECT_TRUE(times.empty());
      continue;
    }
    ASSERT_EQ(times.size(), static_cast<size_t>(Place::count));
    for (size_t p = 0; p < times.size(); ++p) {
      const Place place = static_cast<Place>(p);
      EXPECT_EQ(times[p].first, RecordingApplication::placeName(place));
      // Places the run never reaches keep nothing.
      const bool reached = place < Place::externalGroundwaterTable || place >= Place::flush;
      if (reached)
        EXPECT_GT(times[p].second, 0.0) << times[p].first;
      else
        EXPECT_EQ(times[p].second, 0.0) << times[p].first;
    }
    EXPECT_GE(times[static_cast<size_t>(Place::channelRouting)].second, 0.040); // two steps
  }
}

// The interception module's method decides whether it runs before snow.
TEST(ModellApplication, RunsInterceptionBeforeSnowAboveMethod10) {
  for (const int method : {12, 2}) {
    SCOPED_TRACE(method);
    TinyCatchment catchment;
    catchment.lastHour = 0;
    const char* const inputs[] = {"landuse1",
                                  "leaf_area_index1",
                                  "vegetation_coverage_degree1",
                                  "RoughnessLength1",
                                  "SurfaceCanopyResistance1",
                                  "SurfaceIntercepResistance1",
                                  "pot_transpiration0",
                                  "pot_transpiration1",
                                  "potential_InterceptionEvap0",
                                  "potential_InterceptionEvap1",
                                  "real_transpiration0",
                                  "real_transpiration1",
                                  "precipitation"};
    for (const char* grid : inputs)
      catchment.standardGrids += std::string(grid) + ".asc " + grid +
                                 " fillcode = 0 readcode = 0 defaultValue = 1 writecode = 0\n";
    catchment.standardGridCount += static_cast<int>(std::size(inputs));
    catchment.extraSections = recorderSection + "[interception_model]\n1\n60\n" +
                              std::to_string(method) +
                              "\ntf.asc\n0\ntf.stat 1001\nei.asc\n0\nei.stat 1001\nsi.asc\n0\n"
                              "si.stat 1001\n0.2\n0\n";
    RecordedRun r("app_interception", catchment);
    ASSERT_EQ(r.run(), -1) << r.log.text();
    const std::vector<std::string>& j = r.model.journal;
    const auto snow = std::find(j.begin(), j.end(), "snow");
    const auto interception = std::find(j.begin(), j.end(), "interception");
    ASSERT_NE(snow, j.end());
    EXPECT_EQ(interception < snow, method == 12);
    // Cover 1 on LAI 1 keeps 0.2 of the 1 mm, which the demand of 1 mm takes.
    EXPECT_NE(readFile(r.dir + "/ei.stat").find("\t0.20000"), std::string::npos)
        << readFile(r.dir + "/ei.stat");
  }
}

namespace {

// The temperatures of the steps that ran, in their order.
std::vector<std::string> stepsRun(const std::vector<std::string>& journal) {
  std::vector<std::string> steps;
  for (const std::string& entry : journal)
    if (entry.rfind("temperature ", 0) == 0) steps.push_back(entry.substr(12));
  return steps;
}

} // namespace

// A real SIGINT reaches the running model; the menu's answer comes from the
// input that the test gives it.
TEST(ModellApplication, AnswersCtrlC) {
  struct Case {
    const char* answers;
    std::vector<long> pressedAt; // hours of the steps in which Ctrl-C is pressed
    std::vector<std::string> steps;
    std::string endDate; // set by answer 1, else empty
    int flushes;         // Ctrl-C answer 3 and the shut-down
  };
  const std::vector<std::string> allSteps = {"10", "11", "12", "13", "14", "15"};
  const Case cases[] = {
      {"0\n", {1}, allSteps, "", 1},
      {"x\n", {1}, allSteps, "", 1},
      {"1\n", {1}, {"10", "11", "12"}, "2020-01-01 02:00", 1},
      {"3\n", {1}, allSteps, "", 2},
      {" 3\n1\n", {0, 2}, {"10", "11", "12", "13"}, "2020-01-01 03:00", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answers);
    TinyCatchment catchment;
    catchment.standardGrids = "wetness.asc wetness fillcode = 0 readcode = 0 defaultValue = 5 "
                              "writecode = 3\n";
    catchment.extraSections = recorderSection;
    RecordedRun r("app_ctrlc", catchment);
    std::FILE* input = std::tmpfile();
    ASSERT_NE(input, nullptr);
    std::fputs(c.answers, input);
    std::rewind(input);
    r.model.setMenuInput(input);
    r.model.atPlace = [&](Place place, const ModelDate& date) {
      if (place == Place::dataAssimilation)
        r.model.journal.push_back(
            "temperature " + std::to_string(static_cast<int>(r.model.grid("temperature")[1][1])));
      if (place != Place::channelRouting) return;
      r.model.grid("wetness")[2][2] = 100 + date.hour;
      for (long hour : c.pressedAt)
        if (hour == date.hour) std::raise(SIGINT);
    };
    const int code = exitCodeOf([&] {
      const InDirectory here(r.dir);
      r.model.init();
      installSignalHandlers();
      r.model.run();
      r.model.ClearMemory();
    });
    ResetCtrlCHandler();
    std::fclose(input);
    ASSERT_EQ(code, -1) << r.log.text();
    EXPECT_EQ(stepsRun(r.model.journal), c.steps);
    const auto count = [&](const std::string& entry) {
      return std::count(r.model.journal.begin(), r.model.journal.end(), entry);
    };
    EXPECT_EQ(count("flush"), c.flushes);
    EXPECT_EQ(count("setEndDate " + c.endDate), c.endDate.empty() ? 0 : 1);
    EXPECT_TRUE(r.log.has("\n(mpi-rank  0) your choice: \n")) << r.log.text();
    // What is written at the end of the run is written at the step that ends it.
    const std::string last = std::to_string(100 + std::stol(c.steps.back()) - 10);
    EXPECT_NE(readFile(r.dir + "/wetness.asc").find("\t" + last + "\t"), std::string::npos);
  }
}

// "[SpinUp]" repeats the period repeatCnt more times, after a temperature
// pre-spin-up over the period when that is asked for; the module states
// carry over, only the dates start again.
TEST(ModellApplication, RepeatsThePeriodForSpinUp) {
  struct Case {
    std::string spinUp; // the section, empty for none
    std::vector<std::string> preSpinUp;
    int passes;
  };
  const std::vector<std::string> period = {"10", "11", "12", "13", "14", "15"};
  const auto section = [](int on, int pre, int repeat) {
    return "[SpinUp]\n" + std::to_string(on) + "  SpinUp-switch\n" + std::to_string(pre) +
           "  doTemperaturePreSpinUp\n" + std::to_string(repeat) +
           "  repeatCnt\n1  numGrids\nwetness 1 linear  classes of the wetness\n";
  };
  const Case cases[] = {
      {"", {}, 1},
      {section(0, 1, 5), {}, 1},
      {section(1, 0, 2), {}, 3},
      {section(1, 1, 1), period, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spinUp);
    TinyCatchment catchment;
    catchment.extraSections = recorderSection + c.spinUp;
    RecordedRun r("app_spinup", catchment);
    std::vector<std::string> preSpinUp;
    int preSpinUpEnds = 0;
    double wetness = 0.0;
    r.model.atPlace = [&](Place place, const ModelDate&) {
      const std::string t = std::to_string(static_cast<int>(r.model.grid("temperature")[1][1]));
      if (place == Place::dataAssimilation) r.model.journal.push_back("temperature " + t);
      if (place == Place::preSpinUpStep) preSpinUp.push_back(t);
      if (place == Place::preSpinUpEnd) ++preSpinUpEnds;
      // The states carry over from pass to pass.
      if (place == Place::channelRouting) wetness = r.model.grid("wetness")[2][2] += 1.0;
    };
    ASSERT_EQ(r.run(), -1) << r.log.text();
    std::vector<std::string> steps;
    for (int pass = 0; pass < c.passes; ++pass) append(steps, period);
    EXPECT_EQ(stepsRun(r.model.journal), steps);
    EXPECT_EQ(preSpinUp, c.preSpinUp);
    EXPECT_EQ(preSpinUpEnds, c.preSpinUp.empty() ? 0 : 1);
    EXPECT_EQ(wetness, 5.0 + static_cast<double>(steps.size()));
    EXPECT_EQ(r.log.has("spin-up: pass " + std::to_string(c.passes) + " of "), c.passes > 1);
  }
}

// Data assimilation draws its grids first in the step; special output writes
// its cells at the end of every sub-step and of every step, and at the
// shut-down its lines are in the files.
TEST(ModellApplication, DrivesDataAssimilationAndSpecialOutput) {
  TinyCatchment catchment;
  catchment.lastHour = 3;
  catchment.extraSections =
      recorderSection + "[soil_surface_groundwater_substeps]\n2\n" +
      "[special_output]\n1\n60\n2\n"
      "{grid = temperature; file = each_substep.txt; cells = 2 2; substeps = 1;}\n"
      "{grid = wetness; file = each_step.txt; cells = 2 2 1 1;}\n"
      "[data_assimilation]\n1\n60\n1\n{kind = grid; target = wetness; file = obs; weight = 1;}\n";
  RecordedRun r("app_special", catchment);
  writeFile(r.dir + "/obs_2020010102", "ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\n"
                                       "cellsize 100\nnodata_value -9999\n"
                                       "7 7 7 -9999\n7 7 7 7\n-9999 7 7 7\n");
  std::vector<double> wetness;
  r.model.atPlace = [&](Place place, const ModelDate&) {
    if (place == Place::dataAssimilation) wetness.push_back(r.model.grid("wetness")[2][2]);
  };
  ASSERT_EQ(r.run(), -1) << r.log.text();
  EXPECT_EQ(wetness, (std::vector<double>{5, 5, 7, 7}));
  const std::string header = "YY\tMM\tDD\tHH\tmm\tsub\ttemperature(2,2)\n";
  std::string substeps = header;
  for (int hour = 0; hour <= 3; ++hour)
    for (int k = 1; k <= 2; ++k)
      substeps += "2020\t 1\t 1\t " + std::to_string(hour) + "\t 0\t" + std::to_string(k) + "\t" +
                  std::to_string(10 + hour) + "\n";
  EXPECT_EQ(readFile(r.dir + "/each_substep.txt"), substeps);
  const std::string steps = readFile(r.dir + "/each_step.txt");
  EXPECT_NE(steps.find("2020\t 1\t 1\t 1\t 0\t5\t5\n2020\t 1\t 1\t 2\t 0\t7\t7\n"),
            std::string::npos)
      << steps;
}

// A failure of the construction is logged with the place where the driver
// caught it and thrown on; the modules built so far write no state file.
// Ctrl-C or SIGUSR1 during the set-up ends it so, with code 98, whatever
// the readers of the set-up did to SIGINT.
TEST(ModellApplication, EndsAFailedConstructionWithItsCode) {
  struct Case {
    const char* name;
    std::string sections;
    int minToIntEnd;
    int failWith;
    int code;
    std::string where;
    int signal = 0; // raised before the recorder is built
  };
  const std::string coupling =
      "[ExternalCoupling]\n1\nsem.txt\n5\nI\n60\n0\n1\nout.asc nosuchgrid Sum\n0\n"
      "sem_model.txt\nContinue\n";
  const Case cases[] = {
      {"module's own part", recorderSection, 0, 42, 42, "(building recorder)"},
      {"step shorter than min_to_int_end", recorderSection, 120, 0, 63, "(building recorder)"},
      {"coupling name", recorderSection + coupling, 0, 0, 1004, "(resolveCouplingNames)"},
      // Surface routing is built after the unsaturated zone and needs the land use.
      {"surface routing without land use", recorderSection + "[SurfaceRoutingModel]\n1\n60\n", 0, 0,
       33, "(building SurfaceRoutingModel)"},
      {"Ctrl-C during the set-up", recorderSection, 0, 0, 98, "(building recorder)", SIGINT},
      {"SIGUSR1 during the set-up", recorderSection, 0, 0, 98, "(building recorder)", SIGUSR1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TinyCatchment catchment;
    catchment.minToIntEnd = c.minToIntEnd;
    catchment.extraSections = c.sections;
    RecordedRun r("app_initfail", catchment);
    r.model.failWith = c.failWith;
    if (c.signal != 0) {
      installSignalHandlers();
      // Right after a reader that restores the "default action", as the
      // probe of the zone grid's header does.
      r.model.beforeRecorder = [&] {
        ResetCtrlCHandler();
        std::raise(c.signal);
      };
    }
    const InDirectory here(r.dir);
    EXPECT_EQ(exitCodeOf([&] { r.model.init(); }), c.code);
    ctrlCState = 0;
    ResetCtrlCHandler();
    EXPECT_TRUE(r.log.has("exception " + std::to_string(c.code) +
                          " caught in ModellApplication::init " + c.where))
        << r.log.text();
    EXPECT_EQ(r.log.has("the set-up was interrupted by Ctrl-C (or SIGUSR1) before building "
                        "recorder; the run ends before its first step and leaves no results."),
              c.signal != 0);
    EXPECT_EQ(exitCodeOf([&] { r.model.ClearMemory(); }), -1);
    const bool built = std::find(r.model.journal.begin(), r.model.journal.end(),
                                 "setWriteStorageFlag 0") != r.model.journal.end();
    EXPECT_EQ(built, c.code == 1004);
    EXPECT_EQ(std::count(r.model.journal.begin(), r.model.journal.end(), "flush"), 0);
  }
}

// SIGFPE raises the floating-point-error flag of every module.
TEST(ModellApplication, FlagsAFloatingPointErrorInTheModules) {
  TinyCatchment catchment;
  catchment.lastHour = 0;
  catchment.extraSections = recorderSection;
  RecordedRun r("app_fpe", catchment);
  const InDirectory here(r.dir);
  r.model.init();
  EXPECT_EQ(r.model.recorder->floatingPointErrorState(), 0);
  installSignalHandlers();
  std::raise(SIGFPE);
  EXPECT_EQ(r.model.recorder->floatingPointErrorState(), 1);
  r.model.recorder->reportFPE(1, 2, 3, 4, 0.5, 0, 0, 0, 0);
  EXPECT_TRUE(r.log.has("fpe in i1: 1, i2: 2, i3: 3, i4: 4"));
  EXPECT_EQ(r.model.recorder->floatingPointErrorState(), 2);
  std::signal(SIGFPE, SIG_DFL);
  ResetCtrlCHandler();
  r.model.run();
  r.model.ClearMemory();
}
