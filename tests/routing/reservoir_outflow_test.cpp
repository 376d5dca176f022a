#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "tests/routing/reservoir_fixture.h"

namespace {

// Outflow 1 m^3/s per 1e6 m^3 up to 1e6 m^3, then 2 per 1e6 m^3 to 2e6 m^3.
const std::string table = "3\n0 0\n1e6 1\n2e6 3\n";

struct Date {
  int year, month, day, hour;
};
constexpr Date monday8 = {2001, 1, 1, 8};

} // namespace

// One sub-step of an hour unless the case says otherwise: the volume after
// the inflow looks up the table, the outflow leaves within the hour.
TEST(ReservoirOutflow, FollowsTheRuleTableItsWindowsAndSeasons) {
  struct Case {
    const char* what;
    std::string rules;
    std::string keys;
    int step;
    double volume;
    double inflow;
    Date date;
    double expected;
  };
  const std::string always = "WeekDays = -1\n";
  const std::string weekdays = "WeekDays = 135\nstart_hour = 8\nstop_hour = 17\n";
  const std::string night = "WeekDays = 1\nstart_hour = 22\nstop_hour = 5\n";
  const std::string hourly = " dTmin = 3600";
  const std::vector<Case> cases = {
      {"volume within the table", table + always, hourly, 60, 5e5, 0, monday8, 0.5},
      {"volume at the first row", table + always, hourly, 60, 0, 0, monday8, 0.0},
      {"sub-steps longer than the step", table + always, hourly, 15, 5e5, 0, monday8, 0.0},
      {"Monday 8 h", table + weekdays, hourly, 60, 5e5, 0, monday8, 0.5},
      {"Wednesday 17 h", table + weekdays, hourly, 60, 5e5, 0, {2001, 1, 3, 17}, 0.5},
      {"Wednesday 18 h", table + weekdays, hourly, 60, 5e5, 0, {2001, 1, 3, 18}, 0.0},
      {"Friday 7 h", table + weekdays, hourly, 60, 5e5, 0, {2001, 1, 5, 7}, 0.0},
      {"Tuesday 10 h", table + weekdays, hourly, 60, 5e5, 0, {2001, 1, 2, 10}, 0.0},
      {"Monday 23 h", table + night, hourly, 60, 5e5, 0, {2001, 1, 1, 23}, 0.5},
      {"Tuesday 0 h ends Monday", table + night, hourly, 60, 5e5, 0, {2001, 1, 2, 0}, 0.5},
      {"Tuesday 1 h", table + night, hourly, 60, 5e5, 0, {2001, 1, 2, 1}, 0.0},
      {"Monday 12 h", table + night, hourly, 60, 5e5, 0, {2001, 1, 1, 12}, 0.0},
      {"week days without hours", table + "WeekDays = 1234567\n", hourly, 60, 5e5, 0, monday8, 0.0},
      {"no week days acts always", table, hourly, 60, 5e5, 0, monday8, 0.5},
      {"above the table the inflow passes", table + always, hourly, 60, 2.1e6, 2, monday8, 2.0},
      {"also outside the window", table + weekdays, hourly, 60, 2.1e6, 2, {2001, 1, 2, 3}, 2.0},
      {"capped", "2\n0 0\n1e6 10\n" + always + "TargetCap = 3\n", hourly, 60, 5e5, 0, monday8, 3.0},
      {"before the first fix day",
       "2 100 200\n0 0 0\n1e6 1 3\n" + always,
       hourly,
       60,
       5e5,
       0,
       {2001, 2, 19, 8},
       0.5},
      {"halfway between the fix days",
       "2 100 200\n0 0 0\n1e6 1 3\n" + always,
       hourly,
       60,
       5e5,
       0,
       {2001, 5, 30, 8},
       1.0},
      {"after the last fix day",
       "2 100 200\n0 0 0\n1e6 1 3\n" + always,
       hourly,
       60,
       5e5,
       0,
       {2001, 10, 27, 8},
       1.5},
      {"indexed by flow", "3\n0 0\n1 1e6\n3 2e6\nTableIndex = Flow\n" + always, hourly, 60, 1.5e6,
       0, monday8, 2.0},
      {"asks more than it holds", "2\n0 0\n1 10\n" + always, hourly, 60, 0.5, 0, monday8,
       0.5 / 3600.0},
      // Sixty sub-steps: the first releases 0.5 + 0.6 m^3, every later one
      // the 0.6 m^3 that flowed in, never a deficit of the one before.
      {"what it holds in every sub-step", "2\n0 0\n10 100\n" + always, "", 60, 0.5, 0.01, monday8,
       (1.1 / 60.0 + 59 * 0.01) / 60.0},
  };
  for (const char* zone : {"UTC", "Pacific/Auckland"}) {
    setenv("TZ", zone, 1);
    tzset();
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " in " + zone);
      ReservoirRig rig("reservoir_rules", 0, c.step);
      auto sp = rig.make(1, reservoirKeys(c.keys), c.rules);
      sp->setVolume(c.volume);
      const Date& d = c.date;
      EXPECT_NEAR(sp->ComputeOutflow(c.inflow, c.step, d.year, d.month, d.day, d.hour, 0),
                  c.expected, 1e-12);
    }
  }
  unsetenv("TZ");
  tzset();
}

// Volumes 5e4, 1e5, .. 1.5e6 in hourly steps: the last 24 average 9.25e5
// m^3, whose outflow 0.925 m^3/s leaves in every sub-step.
TEST(ReservoirOutflow, TakesTheRunningMeanOfTheVolumes) {
  ReservoirRig rig("reservoir_running_mean");
  auto sp = rig.make(1, reservoirKeys(" UseRunningAvg = 24"), table + "WeekDays = -1\n");
  double q = 0.0;
  for (int i = 1; i <= 30; ++i) {
    sp->setVolume(5e4 * i);
    q = sp->ComputeOutflow(3.0, 60, 2001, 1, 1, 8, 0);
  }
  EXPECT_EQ(sp->getVolumeHistory().size(), 24u);
  EXPECT_NEAR(q, 0.925, 1e-12);
}

// Linear storage Q = a V, a = 1e-5 1/s, in sub-steps of 60 s:
// V' = (V' + Qin dt)(1 - a dt) has the fixed point Qin (1 - a dt) / a.
TEST(ReservoirOutflow, ALinearReservoirReachesItsSubSteppedEquilibrium) {
  ReservoirRig rig("reservoir_equilibrium");
  auto sp = rig.make(1, reservoirKeys(), "2\n0 0\n1e6 10\nWeekDays = -1\n");
  for (int k = 0; k < 240; ++k) {
    const int day = 1 + k / 24;
    sp->Balance(60, 0, 0, nullptr, 5.0, 2001, 1, day, k % 24, 0);
  }
  EXPECT_NEAR(sp->getOutflow(), 5.0, 2e-4 * 5.0);
  EXPECT_NEAR(sp->getVolume(), 499700.0, 2e-4 * 499700.0);
}

// Two lakes of one cell each, 10 m deep from 500 m: channel 10 m wide at
// 500 m, 1000 m long, k = 30. Levels 501 and 500.5: h = 1, S = 5e-4,
// R = 10/12, Q = 30 * 10 * 0.885549 * 0.0223607 = 5.94045 m^3/s.
TEST(ReservoirOutflow, AHydraulicConnectionFlowsDownTheLevels) {
  const std::string connection =
      "0\nHydraulicConnection {TargetReservoir = 2; ChannelWidth = 10; ChannelBottom = 500;\n"
      "ChannelLength = 1000; RoughnessCoeff = 30;}\n";
  struct Case {
    double level;
    double target;
    double expected;
  };
  for (const Case& c : {Case{501.0, 500.5, 5.94045}, Case{500.5, 501.0, -5.94045},
                        Case{500.7, 500.7, 0.0}, Case{499.5, 499.8, 0.0}}) {
    SCOPED_TRACE(c.level);
    ReservoirRig rig("reservoir_connection");
    rig.lakeCells({1, 2, -9999, -9999, -9999, -9999, -9999, -9999, -9999, -9999, -9999, -9999},
                  std::vector<double>(12, 490.0), std::vector<double>(12, 20000.0));
    auto own = rig.make(1, reservoirKeys(), connection, true);
    auto target = rig.make(2, reservoirKeys(), table, true);
    own->InitLake();
    target->InitLake();
    own->SetLakeCells(own->VolumeFromLevel(c.level));
    target->SetLakeCells(target->VolumeFromLevel(c.target));
    LevelRegistry levels;
    own->RegisterLevel(levels);
    target->RegisterLevel(levels);
    own->setVolume(1e6);
    EXPECT_NEAR(own->ComputeOutflow(0.0, 60, 2001, 1, 1, 8, 0), c.expected, 1e-5);
  }
}
