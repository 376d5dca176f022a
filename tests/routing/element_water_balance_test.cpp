#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/routing/routing_network.h"

// A flood wave through table channels, whose delays change as the flow rises
// and falls, through a summed channel and an inflow from outside into a
// second element: in every step what an element received is what it let go
// plus the change of what its channels hold, also where a queue's delay
// changed.
TEST(ElementWaterBalance, ChannelsHoldWhatTheyReceivedAndDidNotLetGo) {
  for (int subIntervals : {1, 2, 4}) {
    SCOPED_TRACE(std::to_string(subIntervals) + " sub-intervals");
    RoutingNetwork net("element_balance", 4, 1, subIntervals);
    for (int column = 1; column <= 3; ++column) net.cellCount(column) = 1.0;
    TestChannel fast;
    fast.length = 30000.0;
    routingclass& upper = net.addElement(2, 1.0, {{1, {}, fast}});
    routingclass& lower =
        net.addElement(4, 1.0, {{2, {}, TestChannel{}}}, {{3, {}, fast}}, {{1, {}, fast}});
    net.start();
    double before[2] = {upper.channelVolume(), lower.channelVolume()};
    int delayChanges = 0;
    const auto positions = [&] {
      int sum = 0;
      for (int s = 1; s <= static_cast<int>(upper.table(1).nSubChannels); ++s)
        sum += upper.table(1).queuePos[s];
      return sum;
    };
    int lastPos = positions();
    for (int step = 0; step < 60; ++step) {
      // 0.01 to 3.6 mm per hour and back: 3 to 1000 l/s/km^2.
      const double wave = 0.01 + 3.6 * std::exp(-std::pow((step - 15) / 6.0, 2));
      net.runoff(1) = wave;
      net.runoff(3) = 0.5 * wave;
      net.stepValue(5) = 0.2 * wave; // the inflow's column follows the subbasins
      net.step();
      const routingclass* elements[2] = {&upper, &lower};
      for (int e = 0; e < 2; ++e) {
        const ElementWaterBalance& b = elements[e]->stepBalance();
        const double after = elements[e]->channelVolume();
        const double rest = b.received + b.externalInflow - b.withdrawn -
                            b.outflow - (after - before[e]);
        EXPECT_TRUE(e == 0 || b.externalInflow > 0.0) << "no inflow in step " << step;
        EXPECT_NEAR(rest, 0.0, 1e-9 * (b.received + b.externalInflow + b.outflow))
            << "element " << e << ", step " << step;
        before[e] = after;
      }
      delayChanges += positions() != lastPos;
      lastPos = positions();
    }
    EXPECT_GT(delayChanges, 1) << "no delay changed";
  }
}

namespace {

// Column 1 flows through channel `channel` into element 2 of 2 km^2, each
// subbasin half of it (1000 m^3 per mm of either), and its fields ask
// `demand` mm a step of river water; subbasin 2 asks none.
struct WateredTributary {
  WateredTributary(const std::string& name, int subIntervals, const TestChannel& channel,
                   double demand)
      : net(name, 2, 0, subIntervals), records(3), offered(1, std::vector<double>(3, 0.0)) {
    net.cellCount(1) = net.cellCount(2) = 1.0;
    element = &net.addElement(2, 2.0, {{1, {}, channel}});
    for (ZoneRecord& r : records) r.areaFraction = 1.0;
    records[1].valueSum = demand;
    rows = {offered[0].data()};
    element->SetIrrigationRecords(records.data());
    element->SetIrrigationArrays(rows.data(), nullptr);
  }
  // One step; returns the water the channels really gave the fields and
  // checks that what the element received it let go, holds, gave or owes.
  double step(const std::string& where) {
    const double held = element->channelVolume();
    const double owed = element->irrigationOwedVolume();
    offered[0] = {0.0, 0.0, 0.0};
    net.step();
    const ElementWaterBalance& b = element->stepBalance();
    const double given = b.withdrawn - (element->irrigationOwedVolume() - owed);
    EXPECT_NEAR(b.received - b.outflow - (element->channelVolume() - held), given,
                1e-12 * (b.received + held + 1.0))
        << where;
    return given;
  }
  RoutingNetwork net;
  routingclass* element = nullptr;
  std::vector<ZoneRecord> records;
  std::vector<std::vector<double>> offered;
  std::vector<double*> rows;
};

TestChannel withoutStorage() {
  TestChannel s;
  s.storageMain = s.storageFlood = 0.0;
  s.depthMain = 100.0;
  s.length = 1.0;
  return s;
}

} // namespace

// A channel that holds no water gives the fields what the runoff of the
// step brings: what that lacks of what the column owes and asks it owes,
// by hand owed = max(0, owed before + demand - runoff), the sub-intervals
// above the rate paying what the others lacked. The element books the
// fields' whole draw as withdrawn, 1000 m^3 per mm, and what is owed as
// much.
TEST(ElementWaterBalance, TheChannelsOweWhatTheRunoffLacks) {
  const struct {
    int subIntervals;
    std::vector<std::vector<double>> runoff; // per step, per sub-interval
    std::vector<double> owed;                // after each step
    std::vector<double> passedOn;            // the runoff left to the channel
  } cases[] = {
      {1,
       {{3.0}, {1.0}, {0.5}, {4.0}, {0.0}},
       {0.0, 1.0, 2.5, 0.5, 2.5},
       {1.0, 0.0, 0.0, 0.0, 0.0}},
      {2, {{0.5, 3.5}, {0.5, 2.5}, {4.0, 4.0}}, {0.0, 0.5, 0.0}, {0.0, 0.0, 1.5}},
  };
  for (const auto& c : cases) {
    WateredTributary w("owed_by_runoff", c.subIntervals, withoutStorage(), 2.0);
    w.net.start();
    for (std::size_t k = 0; k < c.runoff.size(); ++k) {
      const std::string where =
          std::to_string(c.subIntervals) + " sub-intervals, step " + std::to_string(k + 1);
      w.net.setSubIntervalRunoff(1, c.runoff[k]);
      w.step(where);
      EXPECT_DOUBLE_EQ(w.net.ledger.owed[1], c.owed[k]) << where;
      EXPECT_DOUBLE_EQ(w.element->irrigationOwedVolume(), 1000.0 * c.owed[k]) << where;
      EXPECT_NEAR(w.element->stepBalance().withdrawn, 2000.0, 1e-9) << where;
      EXPECT_EQ(w.offered[0][1], c.runoff[k][0]) << where; // the next step's offer
      double left = 0.0;
      for (int n = 1; n <= c.subIntervals; ++n) left += w.net.subValue(1, n) / c.subIntervals;
      EXPECT_DOUBLE_EQ(left, c.passedOn[k]) << where;
      EXPECT_DOUBLE_EQ(w.net.stepValue(2), 0.5 * c.passedOn[k]) << where;
    }
  }
}

// After 30 steps of 3 mm the linear storage of 2 h holds its water; then
// the runoff stops and the fields ask 1 mm a step: the channel gives what
// it holds, up to what the column owes and asks, and only what it cannot
// give stays owed.
TEST(ElementWaterBalance, TheChannelsPayFromTheWaterTheyHold) {
  TestChannel storage = withoutStorage();
  storage.storageMain = storage.storageFlood = 2.0;
  WateredTributary w("owed_by_storage", 1, storage, 0.0);
  w.net.runoff(1) = 3.0;
  w.net.start();
  for (int k = 0; k < 30; ++k) w.step("filling, step " + std::to_string(k));
  w.records[1].valueSum = 1.0;
  w.net.runoff(1) = 0.0;
  int paidWhole = 0, owing = 0;
  double owedBefore = 0.0;
  for (int k = 0; k < 12; ++k) {
    const std::string where = "dry step " + std::to_string(k + 1);
    const double held = w.element->channelVolume() / 1000.0; // mm over subbasin 1
    const double given = w.step(where) / 1000.0;
    const double due = owedBefore + 1.0;
    EXPECT_NEAR(given, std::min(held, due), 1e-12) << where;
    EXPECT_NEAR(w.net.ledger.owed[1], std::max(0.0, due - held), 1e-12) << where;
    (held >= due ? paidWhole : owing)++;
    owedBefore = w.net.ledger.owed[1];
  }
  EXPECT_GT(paidWhole, 0);
  EXPECT_GT(owing, 0);
}
