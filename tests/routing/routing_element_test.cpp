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
}

namespace {

// Element 2 of 1 km^2, whose channel from subbasin 1 (500 km^2) holds its
// water in linear storages: 1 mm of the column's runoff counts as 1000 in
// the element's volumes, and is 500,000 m^3 of water.
routingclass& holdingElement(RoutingNetwork& net) {
  net.cellCount(1) = 1.0;
  return net.addElement(2, 1.0, {{1, {}, TestChannel{}}});
}

// Five steps of the runoff given so far fill the element's channels, whose
// records the table holds; returns what the channels then hold.
double fillChannels(RoutingNetwork& net, routingclass& element,
                    std::vector<ReinfiltrationRecord>& table) {
  net.start();
  element.AttachRiverflowTable(table.data(), 1);
  for (int step = 0; step < 5; ++step) {
    net.step();
    element.UpdateRiverflowTable();
  }
  return element.channelVolume();
}

} // namespace

// The record offers the soil what the channel holds, in m^3; what the soil
// took the channel gives from its queue and storages before the step's
// runoff enters: the water it held less the take, no more and no less.
TEST(RoutingElement, SoilTakesWhatTheChannelHolds) {
  const double shares[] = {0.0, 0.25, 1.0};
  for (double share : shares) {
    SCOPED_TRACE(share);
    RoutingNetwork net("held_river_water", 2, 0, 2, 60.0, 0);
    routingclass& element = holdingElement(net);
    net.runoff(1) = 0.36;
    std::vector<ReinfiltrationRecord> table(3);
    const double before = fillChannels(net, element, table);
    ASSERT_GT(before, 0.0);
    EXPECT_NEAR(table[1].held, before / 1000.0 * 500.0 * 1000.0, 1e-9 * before * 500.0);
    // The soil takes share of it over the hour; the runoff stops.
    table[1].withdrawal = share * table[1].held / 3600.0;
    net.runoff(1) = 0.0;
    net.setSubIntervalRunoff(1, {0.0, 0.0});
    net.step();
    const ElementWaterBalance& b = element.stepBalance();
    const double after = element.channelVolume();
    EXPECT_NEAR(b.toSoil, share * before, 1e-8 * before);
    EXPECT_NEAR(b.received, 0.0, 1e-12);
    EXPECT_NEAR(b.withdrawn, 0.0, 1e-9);
    EXPECT_NEAR(b.received - b.toSoil - b.outflow - (after - before), 0.0, 1e-8 * before);
    // What is left flows as the rest of the channel's water would.
    if (share == 1.0) {
      EXPECT_NEAR(after, 0.0, 1e-8 * before);
      EXPECT_NEAR(b.outflow, 0.0, 1e-8 * before);
    }
    element.UpdateRiverflowTable();
    EXPECT_NEAR(table[1].held, after / 1000.0 * 500.0 * 1000.0, 1e-8 * before * 500.0);
  }
}

// The two subbasins a summed channel sums share its water: their cells
// taking all that both records offer empty the channel, no more.
TEST(RoutingElement, SubbasinsOfASummedChannelShareItsWater) {
  RoutingNetwork net("summed_river_water", 4, 0, 2, 60.0, 0);
  for (int col = 1; col <= 4; ++col) net.cellCount(col) = col;
  routingclass& element = net.addElement(4, 10.0, {}, {{2, {3}, TestChannel{}}});
  net.runoff(2) = 0.5;
  net.runoff(3) = 0.2;
  std::vector<ReinfiltrationRecord> table(5);
  const double before = fillChannels(net, element, table);
  ASSERT_GT(before, 0.0);
  for (int col : {2, 3}) {
    EXPECT_GT(table[col].held, 0.0);
    table[col].withdrawal = table[col].held / 3600.0;
  }
  for (int col : {2, 3, 4}) {
    net.runoff(col) = 0.0;
    net.setSubIntervalRunoff(col, {0.0, 0.0});
  }
  net.step();
  const ElementWaterBalance& b = element.stepBalance();
  EXPECT_NEAR(b.toSoil, before, 1e-8 * before);
  EXPECT_NEAR(element.channelVolume(), 0.0, 1e-8 * before);
  EXPECT_NEAR(b.outflow, 0.0, 1e-8 * before);
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
