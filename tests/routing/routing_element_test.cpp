#include <gtest/gtest.h>

#include "tests/routing/allocation_counter.h"
#include "tests/routing/routing_network.h"

TEST(RoutingElement, RoutesWithoutAllocating) {
  RoutingNetwork net("no_allocation", 6, 1, 4, 60.0, 1);
  for (int col = 1; col <= 6; ++col) net.cellCount(col) = col, net.runoff(col) = 0.3 * col;
  net.addElement(5, 15.0, {{1, {}, TestChannel{}}}, {{2, {3, 4}, TestChannel{}}},
                 {{1, {}, TestChannel{}}})
      .SetInflow(3, 1, 1, 20.0, "", 0, 0, 0, 0, 0, 0, 0);
  net.addElement(6, 21.0, {{5, {}, TestChannel{}}});
  std::vector<ZoneRecord> demand(7);
  std::vector<std::vector<double>> available(2, std::vector<double>(7, 0.0));
  std::vector<double*> rows = {available[0].data(), available[1].data()};
  std::vector<ReinfiltrationRecord> riverflow(8);
  HydraulicConnectionMap map = {{2, false}};
  const long beforeStart = allocationCount();
  net.start();
  EXPECT_GT(allocationCount(), beforeStart); // the queues are allocated here
  for (auto& element : net.elements) {
    element->SetIrrigationRecords(demand.data());
    element->SetIrrigationArrays(rows.data(), rows.data());
    element->SetHydraulicConnectionMap(&map);
    element->AttachRiverflowTable(riverflow.data(), 1);
  }
  for (int step = 0; step < 20; ++step) {
    net.runoff(1) = step < 10 ? 3.0 * step : 0.1; // through the flood plain and back
    const long before = allocationCount();
    net.step();
    for (auto& element : net.elements) element->UpdateRiverflowTable();
    EXPECT_EQ(allocationCount() - before, 0) << "step " << step;
  }
}

namespace {

// Element 2 of 1 km^2, whose channel from subbasin 1 (500 km^2) passes its
// runoff on at once.
routingclass& passingElement(RoutingNetwork& net) {
  net.cellCount(1) = 1.0;
  TestChannel channel;
  channel.storageMain = channel.storageFlood = 0.0;
  channel.length = 1.0;
  return net.addElement(2, 1.0, {{1, {}, channel}});
}

} // namespace

TEST(RoutingElement, RiverflowRecordsFollowTheirChannels) {
  RoutingNetwork net("riverflow", 2, 0, 1, 60.0, 1);
  routingclass& element = passingElement(net);
  net.runoff(1) = 0.36; // 100 l/s/km^2 over 500 km^2: 50 m^3/s
  net.runoff(1, 1) = 7.0;
  net.start();
  std::vector<ReinfiltrationRecord> table(3);
  element.AttachRiverflowTable(table.data(), 9);
  const ReinfiltrationRecord& record = table[1];
  EXPECT_EQ(record.attachment, 9);
  EXPECT_EQ(record.channel, 1);
  EXPECT_EQ(record.catchmentArea, 500.0);
  EXPECT_EQ(record.flow_mm[0], 0.36);
  EXPECT_EQ(record.flow_mm[1], 7.0);
  EXPECT_NEAR(record.flowm3s, 50.0, 1e-6);
  EXPECT_NEAR(record.speed, 1.30, 0.01); // 20 m channel, 1.92 m deep

  // A withdrawal of 10 m^3/s leaves 40 m^3/s in the channel; one of 100
  // m^3/s leaves nothing.
  const double withdrawals[][2] = {{10.0, 0.36 * 0.8}, {100.0, 0.0}};
  for (const auto& w : withdrawals) {
    table[1].withdrawal = w[0];
    net.step();
    EXPECT_NEAR(table[1].withdrawal, w[0] * 3.6 / 500.0, 1e-15);
    EXPECT_NEAR(net.stepValue(2), w[1], 1e-12);
    element.UpdateRiverflowTable();
    EXPECT_EQ(table[1].withdrawal, 0.0);
  }
}

// The soil takes on the flow of the step before; what the channel's runoff
// of the step cannot give, it owes and gives from its next runoff, and the
// river it offers the soil meanwhile is that much lower. 1 m^3/s over
// 500 km^2 in an hour is 0.0072 mm; 1 mm of the element's runoff is
// 1000 m^3.
TEST(RoutingElement, ChannelsOweWhatTheSoilTookBeyondTheirRunoff) {
  RoutingNetwork net("owed_river_water", 2, 0, 2, 60.0, 0);
  routingclass& element = passingElement(net);
  net.runoff(1) = 0.36;
  net.start();
  std::vector<ReinfiltrationRecord> table(3);
  std::vector<double> owed(3, 0.0);
  element.setOwedRiverWater(owed.data());
  element.AttachRiverflowTable(table.data(), 1);
  const struct {
    double runoff[2]; // mm per step in the two sub-intervals
    double take;      // m^3/s
    double outflow;   // mm
    double owed;      // mm
    double offered;   // m^3/s
  } steps[] = {
      {{0.36, 0.36}, 100.0, 0.0, 0.36, 0.0},   // takes 0.72 mm of 0.36
      {{0.36, 0.36}, 0.0, 0.0, 0.0, 50.0},     // gives what it owed first
      {{0.1, 0.5}, 50.0, 0.07, 0.13, 23.6111}, // gives 0.1 and 0.36
      {{0.3, 0.3}, 5.0, 0.134, 0.0, 41.6667},  // 0.036 and the 0.13 owed
  };
  double channelBefore = element.channelVolume();
  double owedBefore = 0.0;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.take);
    net.runoff(1) = (s.runoff[0] + s.runoff[1]) / 2.0;
    net.setSubIntervalRunoff(1, {s.runoff[0], s.runoff[1]});
    table[1].withdrawal = s.take;
    net.step();
    const ElementWaterBalance& b = element.stepBalance();
    EXPECT_NEAR(net.stepValue(2), s.outflow, 1e-12);
    EXPECT_NEAR(owed[1], s.owed, 1e-12);
    EXPECT_NEAR(b.toSoil, s.take * 0.0072 * 1000.0, 1e-9);
    EXPECT_NEAR(element.owedRiverVolume(), s.owed * 1000.0, 1e-9);
    EXPECT_NEAR(b.withdrawn, 0.0, 1e-9); // no irrigation
    // The water owed is the channel's, below nothing.
    const double channel = element.channelVolume();
    EXPECT_NEAR(b.received - b.toSoil - b.outflow - (channel - channelBefore) +
                    (element.owedRiverVolume() - owedBefore),
                0.0, 1e-9);
    channelBefore = channel;
    owedBefore = element.owedRiverVolume();
    element.UpdateRiverflowTable();
    EXPECT_NEAR(table[1].flowm3s, s.offered, 1e-4);
  }
}

TEST(RoutingElement, FreeMemoryLogsWhatItReleases) {
  RoutingNetwork net("free_memory", 6, 2, 1);
  for (int col = 1; col <= 6; ++col) net.cellCount(col) = 1.0;
  net.addElement(6, 6.0, {{1, {}, TestChannel{}}}, {{3, {4, 5}, TestChannel{}}},
                 {{2, {}, TestChannel{}}});
  net.start();
  net.elements.back()->FreeMemory();
  const std::vector<std::string> entries = net.log.entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2],
            " free memory TG 6, OL 1 (Subb. 1), OL 2 (Subb. 3, 4, 5), OL 3, (only ZL's), --> "
            "ZLs... 1,, --> ALs..., --> SPs... Rest... ok");
}
