#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "tests/routing/routing_model_fixture.h"

namespace {

std::string tg(int code) { return "TG " + std::to_string(code) + " (AREA = 0.03, F = 1)"; }

std::string section(const std::string& owner, int number, const std::string& rules) {
  return "[abstraction_rule_" + owner + "_" + std::to_string(number) + "]\n" + rules + "\n";
}

// A reservoir of 1e9 m^3 that releases nothing, in sub-steps of 600 s.
const std::string reservoir = " SP 1 (file = res1.txt V0 = 1e9 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600)";
const std::string closed = section("reservoir", 1, "2\n0 0\n1e12 0\nWeekDays = -1");

// The volume of a depth (mm per step) over a subbasin of 0.03 km^2, m^3.
double volumeOf(double mm) { return mm * 0.03 * 1000.0; }

} // namespace

// Two weeks of hourly steps from Monday 2001-01-01: a withdrawal of 2 m^3/s
// by rule from a reservoir on Monday, Wednesday and Friday from 8 h to 17 h
// shows in the reservoir's Abstr columns and arrives at the receiving
// subbasin in the same step, in any time zone.
TEST(AbstractionModel, ATimedWithdrawalFollowsTheWeeklyTimetable) {
  for (const char* zone : {"UTC", "EST5EDT,M3.2.0,M11.1.0"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    RoutingModelSetup s("abstraction_timetable");
    s.extraSections = closed + section("abstraction", 1,
                                       "2\n0 2\n1e12 2\nWeekDays = 135\nstart_hour = 8\n"
                                       "stop_hour = 17");
    s.writeControlFile(tg(1) + " AL 1 = intern_with_rule_from_reservoir" + reservoir + "\n" +
                       tg(2) + channelText("ZL 1 = intern", 0) + "\n");
    ASSERT_EQ(s.build(), 0) << s.log.console.str();
    s.wire();
    std::vector<bool> active;
    for (int k = 0; k < 14 * 24; ++k) {
      s.step(k);
      const int weekDay = k / 24 % 7 + 1;
      const int hour = k % 24;
      active.push_back((weekDay == 1 || weekDay == 3 || weekDay == 5) && hour >= 8 && hour <= 17);
      const double delivered = s.model->getStepRunoff(2) * 0.03 * 16.6666667 / 60.0;
      EXPECT_NEAR(delivered, active.back() ? 2.0 : 0.0, 1e-8) << k;
    }
    s.model->flushOutputs();
    const std::vector<std::vector<double>> rows = tableRows(s.path("res1.txt"));
    ASSERT_EQ(rows.size(), active.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
      EXPECT_EQ(rows[k][28], active[k] ? 7200.0 : 0.0) << k;
      EXPECT_EQ(rows[k][30], active[k] ? 2.0 : 0.0) << k;
    }
    s.model->releaseModule();
  }
  unsetenv("TZ");
  tzset();
}

// Water taken by an internal abstraction leaves its subbasin and reaches
// the receiving subbasin's outlet through a retaining channel, over a run
// that lets the channel drain; a reservoir's volume changes by its inflow
// less its outflow and withdrawals in every step.
TEST(AbstractionModel, InternalAbstractionsMoveWaterWithoutLoss) {
  struct Case {
    const char* what;
    std::string donor;
    std::string rules;
  };
  const Case cases[] = {
      {"share of the flow", " AL 1 = intern 0.5 0.4 1e9 mm", ""},
      {"by rule", " AL 1 = intern_with_rule", section("abstraction", 1, "2\n0 0\n1 0.5")},
      {"by rule from a reservoir", " AL 1 = intern_with_rule_from_reservoir" + reservoir,
       closed + section("abstraction", 1,
                        "2\n0 3\n1e12 3\nWeekDays = 12\nstart_hour = 0\nstop_hour = 23")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RoutingModelSetup s("abstraction_conservation");
    s.extraSections = c.rules;
    s.writeControlFile(tg(1) + c.donor + "\n" + tg(2) + channelText("ZL 1 = intern", 3) + "\n");
    ASSERT_EQ(s.build(), 0) << s.log.console.str();
    s.wire();
    const routingclass& donor = s.model->getElement(1);
    const bool fromReservoir = donor.reservoirCount() > 0;
    double taken = 0.0;
    double lost = 0.0;
    double arrived = 0.0;
    for (int k = 0; k < 160; ++k) {
      s.runoff[0][1] = k < 48 ? 2.0 + std::sin(0.4 * k) : 0.0;
      s.runoff[0][2] = 0.1;
      const double V = fromReservoir ? donor.reservoir(1).getVolume() : 0.0;
      s.step(k);
      if (fromReservoir) {
        const SP_class& r = donor.reservoir(1);
        taken += r.term(SP_class::Abstr).m3;
        EXPECT_NEAR(r.getVolume() - V,
                    r.term(SP_class::Qin).m3 - r.term(SP_class::Qout).m3 -
                        r.term(SP_class::Abstr).m3,
                    1e-9 * V);
      } else {
        taken += volumeOf(donor.GetAbstractedTotal());
        lost += volumeOf(s.runoff[0][1] - s.model->getStepRunoff(1));
      }
      arrived += volumeOf(s.model->getStepRunoff(2) - 0.1);
    }
    ASSERT_GT(taken, 100.0);
    EXPECT_NEAR(arrived, taken, 1e-8 * taken);
    if (!fromReservoir) {
      EXPECT_NEAR(lost, taken, 1e-8 * taken);
    }
    s.model->releaseModule();
  }
}

// Internal inflows and internal abstractions pair one to one across
// subbasins; each refusal has its exact text and code.
TEST(AbstractionModel, PairsInternalInflowsWithTheirAbstractions) {
  const std::string feeder = " AL 1 = intern 0 0.5 1 mm";
  const std::string inflow = channelText("ZL 1 = intern", 1);
  const std::string head =
      "\n ---> Error in connecting internal abstractions with internal inflows:\n";
  struct Case {
    const char* what;
    std::string descriptions;
    int code;
    std::string entry;
  };
  const Case cases[] = {
      {"second feeder", tg(1) + feeder + "\n" + tg(2) + feeder + "\n" + tg(3) + inflow + "\n", 300,
       head + "in routing description 2 for TG 2:\nInflow 1 is already connected to an internal "
              "abstraction.\nEach abstaction (AL-element) must be conencted to exactly one "
              "internal inflow(ZL-element)\n"},
      {"same subbasin", tg(1) + inflow + feeder + "\n", 301,
       head + "Abstraction AL 1 from routing description 1 and inflow ZL 1 are both defined for "
              "the same routing-subbasin TG 1.\nthis is not allowed\n"},
      {"no feeder", tg(3) + inflow + "\n", 302,
       head + "in routing description 1 for TG 3:\nInternal Inflow ZL 1 has no conenction to an "
              "internal abstraction.\nthis is not allowed\n"},
      {"an extern abstraction feeds nothing",
       tg(1) + " AL 1 = extern e.txt 0 0.5 1 mm\n" + tg(3) + inflow + "\n", 302,
       head + "in routing description 2 for TG 3:\nInternal Inflow ZL 1 has no conenction to an "
              "internal abstraction.\nthis is not allowed\n"},
      {"no inflow", tg(1) + feeder + "\n", 303,
       head + "in routing description 1 for TG 1:\nInternal abstraction AL 1 is not connected to "
              "any internal inflow.\n"},
      {"receiver first", tg(3) + inflow + "\n" + tg(1) + feeder + "\n", 0,
       "routing description 1 (TG 3) takes its internal inflow ZL 1 from abstraction AL "
       "1 of routing description 2 (TG 1), which is routed after it: the inflow carries the "
       "water the abstraction took in the step before; list routing description 2 first to "
       "deliver it in the same step"},
      {"nothing internal",
       tg(1) + " AL 1 = extern e.txt 0 0.5 1 mm\n" + tg(3) + channelText("ZL 1 = constant 1", 1) +
           "\n",
       0, "checking connection of internal inflows and abstractions"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RoutingModelSetup s("abstraction_links");
    s.writeControlFile(c.descriptions);
    ASSERT_EQ(s.build(), 0) << s.log.console.str();
    const int code = exitCodeOf([&] { s.wire(); });
    EXPECT_EQ(code, c.code == 0 ? -1 : c.code);
    const std::vector<std::string> entries = s.log.entries();
    const auto check = std::find(entries.begin(), entries.end(),
                                 "checking connection of internal inflows and abstractions");
    ASSERT_NE(check, entries.end());
    ASSERT_NE(check + 1, entries.end());
    if (c.code == 0 && c.entry == *check)
      EXPECT_EQ((check + 1)->rfind("routing the initialization discharges", 0), 0u);
    else
      EXPECT_EQ(*(check + 1), c.entry);
  }
}
