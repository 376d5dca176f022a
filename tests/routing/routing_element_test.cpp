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

TEST(RoutingElement, RiverflowRecordsFollowTheirChannels) {
  RoutingNetwork net("riverflow", 2, 0, 1, 60.0, 1);
  net.cellCount(1) = 1.0;
  TestChannel channel;
  channel.storageMain = channel.storageFlood = 0.0;
  channel.length = 1.0;
  routingclass& element = net.addElement(2, 1.0, {{1, {}, channel}});
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
