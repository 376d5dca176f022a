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
