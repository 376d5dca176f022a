#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include "tests/lateral/surfrout_fixture.h"

namespace {

// A 4 x 4 plane of river cells in two subbasins (columns 1-2 and 3-4; the
// third takes column 4 where there are three), the
// right half two flow-time zones away with `zones`; storage constants of
// 90 and 150 minutes. Each hour of the first two brings 6 mm of direct flow
// and 1 mm of interflow.
struct StatePlane {
  StatePlane(const std::string& name, bool zones, int subbasins = 2, bool doubles = false)
      : s(name, 4, 4, 100.0, [](long, long) { return 100.0; },
          [=](long, long c) { return c <= 2 ? 1.0 : subbasins == 3 && c == 4 ? 3.0 : 2.0; },
          [](long, long) { return true; }),
        dir(std::filesystem::absolute(s.base.log.directory).string() + "/") {
    if (zones) s.addGrid("flow_times", [](long r, long) { return r > 2 ? 3.0 : 1.0; });
    s.base.context.outputDirectory = s.base.context.inputDirectory = dir;
    s.base.context.writeDoubleGrids = doubles;
    s.lines[4] = "qd.stat 2001  statistics QD";
    module = s.build(2);
    EXPECT_EQ(startRouting(*module, baseflow, constants), 0);
  }
  void steps(long first, long last) {
    for (long step = first; step < last; ++step) {
      module->startStep(0, step, 1, 6, 2021);
      for (int k = 0; k < 2; ++k) {
        for (long r = 1; r <= 4; ++r)
          for (long c = 1; c <= 4; ++c) {
            s.grid("directflow")[r][c] = step < 2 ? 3.0 : 0.0;
            s.grid("interflow")[r][c] = step < 2 ? 0.5 : 0.0;
          }
        module->routeSubstep(0, step, 1, 6, 2021);
      }
      module->endStep();
    }
    module->flushStatistics();
  }
  SurfroutSetup s;
  std::string dir;
  surfaceroutingclass::RunoffArrays baseflow{std::vector<double>(4, 0.0)};
  std::vector<double> constants = {0.0, 90.0, 150.0, 150.0};
  std::unique_ptr<TestSurfaceRouting> module;
};

int codeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (int code) {
    return code;
  }
  return 0;
}

} // namespace

// Two subbasins of one zone each, nothing routed: the section line by line.
TEST(SurfaceRoutingState, WritesItsSection) {
  StatePlane p("surfrout_state_write", false);
  const std::string name = "state_0";
  p.module->readStorage(&name, 0);
  p.module->teardown(false);
  const std::string zone = "0 0 0 1 0 (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
                           "0 0 0 1 0 (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n";
  EXPECT_EQ(readFile(p.dir + name),
            "[SurfaceRoutingModel]\n2 (number of subasins)\n0 (number of tracers)\n"
            "0 (0=runoff, 1...9 = tracers)\n1 1 (zone 1 and maxzeit)\n" +
                zone + "0 (QDd[0][1])\n0 (QIi[0][1])\n2 1 (zone 2 and maxzeit)\n" + zone +
                "0 (QDd[0][2])\n0 (QIi[0][2])\n\n");
}

// Two hours, the state written and read by a new run, two more hours: the
// same lines as four hours in one run, also with water still in the zones.
TEST(SurfaceRoutingState, AWarmStartGoesOnExactly) {
  for (bool zones : {false, true}) {
    SCOPED_TRACE(zones ? "with zones" : "one zone");
    StatePlane whole("surfrout_state_whole", zones);
    whole.steps(0, 4);
    const std::string expected = readFile(whole.dir + "qd.stat");
    whole.module->teardown(false);

    StatePlane first("surfrout_state_first", zones);
    const std::string name = "state_0";
    first.module->readStorage(&name, 0);
    first.steps(0, 2);
    const std::string head = readFile(first.dir + "qd.stat");
    first.module->teardown(false);
    const std::string state = readFile(first.dir + name);
    StatePlane second("surfrout_state_second", zones);
    writeFile(second.dir + name, state);
    second.module->readStorage(&name, 1);
    second.steps(2, 4);
    const std::string tail = readFile(second.dir + "qd.stat");
    second.module->teardown(false);
    // The second run's file starts with its own header lines.
    const size_t body = tail.find("\n2021");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(head + tail.substr(body + 1), expected);
  }
}

// A section that does not fit the run stops it; a missing file or section
// leaves the run as it is; settings 0, 2 and 4 read nothing.
TEST(SurfaceRoutingState, ReadsOnlyAFittingSection) {
  struct Case {
    const char* what;
    int writtenSubbasins; // 0: no file
    bool writtenZones;
    std::string content;  // instead of a written section
    int setting;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"one more subbasin", 3, false, "", 1, 71,
       "error in storage file content reading number of subbasins:\nvalue in actual control is:   "
       "2\nbut value in storage file is: 3\nHorva throws..."},
      {"other zones", 2, true, "", 3, 71,
       "error in storage file content reading maxzeit of actual subbasin:\nvalue in actual "
       "control is:   1\nbut value in storage file is: 3\n"},
      {"no file", 0, false, "", 1, 0,
       "error opening storage content file "},
      {"no section", 0, false, "[routing_model]\n\n", 1, 0,
       "error locking for the section [SurfaceRoutingModel] in "},
      {"setting 2 reads nothing", 3, false, "", 2, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "state_0";
    std::string content = c.content;
    if (c.writtenSubbasins > 0) {
      StatePlane writer("surfrout_state_writer", c.writtenZones, c.writtenSubbasins);
      writer.module->readStorage(&name, 0);
      writer.module->teardown(false);
      content = readFile(writer.dir + name);
    }
    StatePlane reader("surfrout_state_reader", false);
    if (!content.empty()) writeFile(reader.dir + name, content);
    EXPECT_EQ(codeOf([&] { reader.module->readStorage(&name, c.setting); }), c.code);
    EXPECT_NE(reader.s.base.log.console.str().find(c.message), std::string::npos)
        << reader.s.base.log.console.str();
    reader.module->teardown(false);
  }
}

// The water left on the land comes back to the last bit at a warm start,
// for the unsaturated zone to take up; a state of a run that left no grid
// of it starts with the land dry and says so.
TEST(SurfaceRoutingState, KeepsTheWaterOnTheLand) {
  const std::string name = "state_0";
  const auto water = [](long r, long c) { return 0.1 * static_cast<double>(r) + c / 3.0; };
  StatePlane first("surfrout_state_land", false, 2, true);
  first.module->readStorage(&name, 0);
  Grid land = first.s.grid("SurfStorSiltingUp");
  for (long r = 1; r <= 4; ++r)
    for (long c = 1; c <= 4; ++c) land[r][c] = water(r, c);
  first.module->teardown(false);
  for (bool kept : {true, false}) {
    SCOPED_TRACE(kept ? "grid kept" : "no grid");
    StatePlane second(kept ? "surfrout_state_land_kept" : "surfrout_state_land_lost", false);
    writeFile(second.dir + name, readFile(first.dir + name));
    if (kept)
      writeFile(second.dir + "SurfStorSiltingUp", readFile(first.dir + "SurfStorSiltingUp"));
    second.module->readStorage(&name, 1);
    for (long r = 1; r <= 4; ++r)
      for (long c = 1; c <= 4; ++c)
        EXPECT_EQ(second.s.grid("SurfStorSiltingUp")[r][c], kept ? water(r, c) : 0.0) << r << c;
    EXPECT_EQ(second.s.base.log.console.str().find("no grid SurfStorSiltingUp of a former run") !=
                  std::string::npos,
              !kept);
    second.module->teardown(false);
  }
}

// The velocities the last inner step left, from which the next velocity
// iteration starts, come back at a warm start; without them they start
// anew with a warning, and a stack of other levels stops the run.
TEST(SurfaceRoutingState, KeepsTheVelocitiesOfTheWaterOnTheLand) {
  const std::string name = "state_0";
  const auto velocity = [](long r, long c, int k) { return 0.01 * k + 0.1 * r + c / 7.0; };
  StatePlane first("surfrout_state_velocities", false, 2, true);
  first.module->readStorage(&name, 0);
  const Stack kept = first.s.stack("SurfaceRoutingVelocity");
  for (long r = 1; r <= 4; ++r)
    for (long c = 1; c <= 4; ++c)
      for (int k = 1; k <= 8; ++k) kept[r][c][k] = velocity(r, c, k);
  first.module->teardown(false);
  struct Case {
    const char* what;
    bool written;
    int levels; // of a stack written instead, 0: the one the run left
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"stack kept", true, 0, 0, ""},
      {"no stack", false, 0, 0, "no stack SurfaceRoutingVelocity_End of a former run"},
      {"other levels", true, 4, 13,
       "wrong number of levels in stack SurfaceRoutingVelocity_End (there are 4 level, it "
       "must be 9"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    StatePlane second("surfrout_state_velocities_read", false, 2, true);
    writeFile(second.dir + name, readFile(first.dir + name));
    if (k.written && k.levels == 0)
      writeFile(second.dir + "SurfaceRoutingVelocity_End",
                readFile(first.dir + "SurfaceRoutingVelocity_End"));
    if (k.levels > 0)
      second.module->writeStack("SurfaceRoutingVelocity_End",
                                second.s.stack("SurfaceRoutingVelocity"), k.levels, false, true,
                                false);
    EXPECT_EQ(codeOf([&] { second.module->readStorage(&name, 1); }), k.code);
    EXPECT_NE(second.s.base.log.console.str().find(k.message), std::string::npos)
        << second.s.base.log.console.str();
    if (k.code == 0) {
      const Stack read = second.s.stack("SurfaceRoutingVelocity");
      for (long r = 1; r <= 4; ++r)
        for (long c = 1; c <= 4; ++c)
          for (int d = 1; d <= 8; ++d)
            EXPECT_EQ(read[r][c][d], k.written ? velocity(r, c, d) : 0.0) << r << c << d;
    }
    second.module->teardown(false);
  }
}
