#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/routing/irrigation_fixture.h"

namespace {

// Water from zones 1 and 2 (subbasin 1 flows into 2's element) of the
// irrigation setup: on January 1 every cell of both zones asks for
// `perHour` mm an hour of surface water, the subbasins run off 2 mm an hour.
// Returns the outlet's routed volume [m^3] over `hours` and adds the water
// put on the fields [m^3] to `irrigated`.
double outletVolume(const std::string& name, bool irrigate, double perHour, int hours,
                    double& irrigated) {
  IrrigationSetup s(name);
  s.routing.extraSections = s.section();
  s.routing.writeControlFile("TG 2 (AREA = 0.06, F = 1)" + channelText("OL 1", 1.0) + "\n");
  for (int i = 1; i <= 4; ++i) s.routing.runoff[0][static_cast<std::size_t>(i)] = 2.0;
  EXPECT_EQ(s.routing.build(), 0) << s.routing.log.console.str();
  const int code = s.addType(1, 2, {{1, 1, 24.0 * perHour}});
  EXPECT_EQ(s.build(), 0) << s.routing.log.console.str();
  if (!s.routing.model || !s.module) return 0.0;
  s.wireRouting();
  for (int z : {1, 2}) s.setZone("irrigation_codes", z, irrigate ? code : 0);
  double volume = 0.0;
  for (int k = 0; k < hours; ++k) {
    for (int z = 1; z <= 4; ++z) s.setZone("precipitation", z, 0.0);
    const ModelDate d = s.routing.hourOf(k);
    s.step(d);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) irrigated += s.at("precipitation", r, c) * 0.01 * 1000.0;
    s.routing.step(k);
    const double out = s.routing.model->getStepRunoff(2);
    EXPECT_GE(out, 0.0) << k;
    volume += out * 0.06 * 1000.0;
  }
  return volume;
}

} // namespace

// What the fields receive from the river leaves the outlet: the routed
// volume of a run drops by the water put on the fields, also when the
// demand exceeds what the channels carry. The path turns mm into m^3/s and
// back twice (draw and outflow).
TEST(IrrigationWithRouting, TheFieldsGetWhatTheOutletLoses) {
  for (const double perHour : {0.5, 5.0}) {
    SCOPED_TRACE(perHour);
    double none = 0.0, irrigated = 0.0;
    const double dry = outletVolume("irrigation_balance_dry", false, perHour, 48, none);
    const double wet = outletVolume("irrigation_balance_wet", true, perHour, 48, irrigated);
    EXPECT_EQ(none, 0.0);
    ASSERT_GT(irrigated, 0.0);
    // From the second hour of the day on: routing has not offered water
    // before its first step.
    if (perHour < 1.0) {
      EXPECT_NEAR(irrigated, 23 * perHour * 0.06 * 1000.0, 1e-9);
    }
    EXPECT_NEAR(dry - wet, irrigated, 4e-9 * irrigated);
  }
}

// Subbasin 2 holds a reservoir in an element with tributary 1 and an area
// factor of 2. Zone 2 asks for 40 mm an hour: the reservoir gives what it
// offered up to that (a first 40 mm of its 50 mm, then what the dry
// tributary leaves, then enough once it runs off 400 mm an hour), the river
// the rest, and the reservoir books as irrigation the water that its share
// puts on zone 2's 0.03 km^2.
TEST(IrrigationWithRouting, AReservoirGivesItsShareAndTheRiverTheRest) {
  IrrigationSetup s("irrigation_reservoir");
  s.routing.extraSections =
      "[abstraction_rule_reservoir_1]\n2\n0 0\n1e7 100\nWeekDays = -1\n\n" + s.section();
  s.routing.writeControlFile("TG 2 (AREA = 0.06, F = 2)" + channelText("OL 1", 1.0) +
                             " SP 1 (file = res1.txt V0 = 1500 C0 = 0 0 0 0 0 0 0 0 0 "
                             "dTmin = 600)\n");
  s.routing.runoff[0][2] = 1.0;
  ASSERT_EQ(s.routing.build(), 0) << s.routing.log.console.str();
  const int code = s.addType(1, 2, {{1, 1, 24.0 * 40.0}});
  ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
  s.wireRouting();
  s.setZone("irrigation_codes", 2, code);
  const SP_class& reservoir = s.routing.model->getElement(1).reservoir(1);
  int limited = 0, full = 0;
  for (int k = 0; k < 12; ++k) {
    s.routing.runoff[0][1] = k < 4 ? 0.0 : 400.0;
    const double offered = s.routing.model->getMaxIrrigFromReservoirs()[0][2];
    s.setZone("precipitation", 2, 0.0);
    s.step(s.routing.hourOf(k));
    s.routing.step(k);
    if (k == 0) continue; // nothing offered yet
    const double share = std::min(40.0, offered);
    (share < 40.0 ? limited : full)++;
    EXPECT_NEAR(reservoir.term(SP_class::Irrig).m3, share * 0.03 * 1000.0, 1e-12 * 1200.0) << k;
    for (long c = 1; c <= 4; ++c)
      if (zoneOf(2, c) == 2 && share == 40.0) {
        EXPECT_NEAR(s.at("precipitation", 2, c), 40.0, 1e-9) << k;
      }
  }
  EXPECT_GT(limited, 0);
  EXPECT_GT(full, 0);
}

// A lake's cells may lose, within an hour, water its fields were offered at
// the start of it. Zone 2's reservoir (1500 m^3, no inflow in the first two
// hours) offers its content; its fields ask 40 mm an hour, 1200 m^3 over
// their 0.03 km^2. Before the second hour's routing the reservoir loses
// `lost` of its V m^3: it gives min(1200, V - lost), and its element owes
// the rest, 1200 - that by hand. In the third hour zone 2 runs off 100 mm
// (3000 m^3), which pays the debt before it reaches the reservoir. In every
// hour the element withdraws what zone 2's fields got, given or owed.
TEST(IrrigationWithRouting, AReservoirOwesWhatItsLakeLostOfItsOffer) {
  for (const double lostShare : {0.0, 0.5, 1.0}) {
    SCOPED_TRACE(lostShare);
    IrrigationSetup s("irrigation_reservoir_owes");
    s.routing.extraSections =
        "[abstraction_rule_reservoir_1]\n2\n0 0\n1e7 100\nWeekDays = -1\n\n" + s.section();
    s.routing.writeControlFile("TG 2 (AREA = 0.06, F = 1)" + channelText("OL 1", 1.0) +
                               " SP 1 (file = res1.txt V0 = 1500 C0 = 0 0 0 0 0 0 0 0 0 "
                               "dTmin = 600)\n");
    ASSERT_EQ(s.routing.build(), 0) << s.routing.log.console.str();
    const int code = s.addType(1, 2, {{1, 1, 24.0 * 40.0}});
    ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
    s.wireRouting();
    s.setZone("irrigation_codes", 2, code);
    const routingclass& element = s.routing.model->getElement(1);
    SP_class& reservoir = element.reservoir(1);
    double debt = 0.0;
    for (int k = 0; k < 3; ++k) {
      s.routing.runoff[0][2] = k == 2 ? 100.0 : 0.0;
      s.setZone("precipitation", 2, 0.0);
      s.step(s.routing.hourOf(k));
      double got = 0.0;
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c)
          if (zoneOf(r, c) == 2) got += s.at("precipitation", r, c) * 0.01 * 1000.0;
      if (k == 1) {
        const double held = reservoir.getVolume();
        ASSERT_GT(held, 1200.0);
        EXPECT_NEAR(got, 1200.0, 1e-9);
        reservoir.setVolume(held - lostShare * held);
        debt = std::max(0.0, 1200.0 - (1.0 - lostShare) * held);
      }
      s.routing.step(k);
      EXPECT_NEAR(element.stepBalance().withdrawn, got, 1e-9 * (got + 1.0)) << k;
      if (k == 1) {
        EXPECT_NEAR(reservoir.term(SP_class::Irrig).m3, 1200.0 - debt, 1e-9) << k;
        EXPECT_NEAR(element.irrigationOwedVolume(), debt, 1e-9) << k;
      }
    }
    EXPECT_NEAR(element.irrigationOwedVolume(), 0.0, 1e-9);
  }
}

// Routing takes the step's own mean demand of each subbasin, whatever the
// number of steps a line of the surface statistic sums: zone 1 asks 1 mm on
// every cell and gets a tenth more each hour, zone 2 on one cell of three.
TEST(IrrigationWithRouting, RoutingGetsTheStepsOwnDemand) {
  for (const char* statistic : {"2001", "2024"}) {
    SCOPED_TRACE(statistic);
    IrrigationSetup s(std::string("irrigation_demand_handed_") + statistic, 60, 0, statistic);
    const int code = s.addType(1, 2, {{1, 1, 24.0}});
    ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
    s.wireStub();
    s.setZone("irrigation_codes", 1, code);
    s.at("irrigation_codes", 2, 1) = code;
    for (int k = 0; k < 6; ++k) {
      const double offered = 0.1 * (k + 1);
      s.stubMaxIrrig[0][1] = offered;
      s.stubMaxIrrig[0][2] = 10.0;
      s.step(s.routing.hourOf(k));
      const ZoneRecord* demand = s.module->GetSurfaceDemand();
      EXPECT_NEAR(demand[1].valueSum / demand[1].effectiveWeight, offered, 1e-12) << k;
      EXPECT_NEAR(demand[2].valueSum / demand[2].effectiveWeight, 1.0 / 3.0, 1e-12) << k;
    }
  }
}

// Zones 1 (3 cells), 2 (2 cells), 3 (4 cells) and 4 (3 cells): 1 flows into
// 2's element, 2 into 3's, 4 is routed by nobody. Zone 2 asks 1 mm an hour
// of river water. After a step routing offers subbasin 3 its outflow as a
// depth over its own area (the element's 9 cells over zone 3's 4) plus what
// zone 2 drew, over zone 3's area; zones 1 and 4 get none of it.
TEST(IrrigationWithRouting, WaterDrawnUpstreamIsOfferedOnlyDownstream) {
  IrrigationSetup s("irrigation_passed_down");
  s.routing.base.registry[1].grid[2][1] = 3.0;
  s.routing.extraSections = s.section();
  s.routing.writeControlFile("TG 2 (AREA = 0.05, F = 1)" + channelText("OL 1", 1.0) +
                             "\nTG 3 (AREA = 0.09, F = 1)" + channelText("OL 2", 1.0) + "\n");
  for (int i = 1; i <= 4; ++i) s.routing.runoff[0][static_cast<std::size_t>(i)] = 2.0;
  ASSERT_EQ(s.routing.build(), 0) << s.routing.log.console.str();
  const int code = s.addType(1, 2, {{1, 1, 24.0}});
  ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
  s.wireRouting();
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c)
      if (s.routing.base.registry[1].grid[r][c] == 2.0) s.at("irrigation_codes", r, c) = code;
  double** offered = s.routing.model->getMaxIrrig();
  double drawn = 0.0;
  for (int k = 0; k < 4; ++k) {
    s.step(s.routing.hourOf(k));
    s.routing.step(k);
    const double D = s.module->GetSurfaceDemand()[2].valueSum;
    drawn += D;
    EXPECT_NEAR(offered[0][3], 9.0 / 4.0 * s.routing.model->getStepRunoff(3) + D * 2.0 / 4.0, 1e-12)
        << k;
    EXPECT_EQ(offered[0][4], 0.0) << k;
    EXPECT_NEAR(offered[0][1], 2.0, 1e-12) << k; // the tributary's own runoff
  }
  EXPECT_NEAR(drawn, 3.0, 1e-12); // 1 mm from the second step on
}

namespace {

// Zone 1 runs off through a channel that holds no water into 2's element:
// 4 mm an hour, then 1, 0.5, 0.5, 2 and 4 again; its fields ask 3 mm an
// hour of their river on January 1. By hand, with the offer the runoff of
// the hour before less what is owed: the fields get min(3, offer), and
// what the hour's runoff lacks of the owed and the got the channel owes,
// owed = max(0, owed + got - runoff), 30 m^3 a mm over zone 1's 0.03 km^2.
const double tributaryRunoff[] = {4.0, 4.0, 4.0, 1.0, 0.5, 0.5, 2.0, 4.0, 4.0, 4.0};
const double fieldsGet[] = {0.0, 3.0, 3.0, 3.0, 0.0, 0.0, 0.0, 2.0, 3.0, 3.0};
const double owedAfter[] = {0.0, 0.0, 0.0, 2.0, 1.5, 1.0, 0.0, 0.0, 0.0, 0.0};

struct OwingRiverRun {
  int code = -1;
  std::vector<double> got;  // mm on each cell of zone 1, per hour
  std::vector<double> owed; // m^3 the element owes at the end of each hour
  std::vector<std::string> lines;
  std::string console;
};

// Hours first .. first + hours - 1; the routing state written into dir as
// "owing.state", and with readState read from there.
OwingRiverRun runOwingRiver(const std::string& name, int first, int hours, bool readState,
                            const std::string& dir) {
  OwingRiverRun run;
  IrrigationSetup s(name);
  s.routing.extraSections = s.section();
  s.routing.writeControlFile("TG 2 (AREA = 0.06, F = 1)" + channelText("OL 1", 0.0) + "\n");
  s.context.startDate = s.routing.hourOf(first);
  s.context.inputDirectory = dir;
  if (!readState) s.context.outputDirectory = dir;
  EXPECT_EQ(s.routing.build(), 0) << s.routing.log.console.str();
  const int code = s.addType(1, 2, {{1, 1, 24.0 * 3.0}});
  EXPECT_EQ(s.build(), 0) << s.routing.log.console.str();
  if (!s.routing.model || !s.module) return run;
  const std::string state = "owing.state";
  run.code = exitCodeOf([&] { s.wireRouting(&state, readState ? 1 : 0); });
  run.console = s.routing.log.console.str();
  if (run.code != -1) return run;
  s.routing.model->setWriteStorageFlag(1);
  s.setZone("irrigation_codes", 1, code);
  for (int k = first; k < first + hours; ++k) {
    for (int z = 1; z <= 4; ++z) s.setZone("precipitation", z, 0.0);
    s.routing.runoff[0][1] = tributaryRunoff[k];
    s.routing.runoff[0][2] = 2.0;
    s.step(s.routing.hourOf(k));
    run.got.push_back(s.at("precipitation", 1, 1));
    s.routing.step(k);
    run.owed.push_back(s.routing.model->getElement(1).irrigationOwedVolume());
  }
  s.routing.model->releaseModule();
  run.lines = s.routing.statisticLines();
  run.console = s.routing.log.console.str();
  return run;
}

} // namespace

// The river owes its fields what it could not give, pays it first and
// offers them only what is left; a warm start goes on owing what the run
// owed, and a negative debt is refused.
TEST(IrrigationWithRouting, TheRiverOwesWhatItCouldNotGive) {
  const std::string dir = makeTestDirectory("irrigation_owing_states", true) + "/";
  const OwingRiverRun through = runOwingRiver("irrigation_owing_through", 0, 10, false, dir);
  ASSERT_EQ(through.got.size(), 10u) << through.console;
  for (int k = 0; k < 10; ++k) {
    EXPECT_NEAR(through.got[k], fieldsGet[k], 1e-12) << k;
    EXPECT_NEAR(through.owed[k], 30.0 * owedAfter[k], 1e-9) << k;
  }
  // The first four hours end owing zone 1 2 mm.
  EXPECT_EQ(runOwingRiver("irrigation_owing_first", 0, 4, false, dir).code, -1);
  const std::string written = readFile(dir + "owing.state");
  EXPECT_NE(written.find("4 (subbasins of the irrigation water the channels owe the fields)\n"
                         "2 0 0 0 (irrigation owed)\n"),
            std::string::npos)
      << written;
  const OwingRiverRun warm = runOwingRiver("irrigation_owing_warm", 4, 6, true, dir);
  EXPECT_EQ(warm.got, std::vector<double>(through.got.begin() + 4, through.got.end()));
  EXPECT_EQ(warm.lines, std::vector<std::string>(through.lines.begin() + 4, through.lines.end()));

  std::string negative = written;
  negative.replace(negative.find("2 0 0 0 (irrigation owed)"), 1, "-2");
  writeFile(dir + "owing.state", negative);
  const OwingRiverRun refused = runOwingRiver("irrigation_owing_negative", 4, 6, true, dir);
  EXPECT_EQ(refused.code, 71);
  EXPECT_NE(refused.console.find("must not be negative"), std::string::npos) << refused.console;
}
