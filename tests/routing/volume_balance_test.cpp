#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "tests/routing/routing_network.h"

namespace {

// Three elements in a chain: 5 takes subbasin 1 through a tributary channel
// and subbasins 2, 3 and 4 through a summed channel, 6 takes 5 and a constant
// inflow of 2 m^3/s while it rains, 7 takes 6. The channels start empty. One
// unit of the area table is 1 km^2, so volumes are km^2 mm. Returns (outlet
// volume - input volume) / input volume.
double chainVolumeError(const TestChannel& channel, int subIntervals, double peak) {
  RoutingNetwork net("volume_chain", 7, 1, subIntervals);
  const double counts[] = {1.0, 10, 5, 6, 7, 8, 9, 4};
  for (int col = 0; col <= 7; ++col) net.cellCount(col) = counts[col];
  net.addElement(5, 36.0, {{1, {}, channel}}, {{2, {3, 4}, channel}});
  net.addElement(6, 53.0, {{5, {}, channel}}, {}, {{1, {}, channel}})
      .SetInflow(2, 1, 1, 0.0, "", 0, 0, 0, 0, 0, 0, 0);
  net.addElement(7, 57.0, {{6, {}, channel}});
  net.start();
  const double inflowDepth = 2.0 * 3600.0 / 1000.0 / channel.area; // mm per hourly step
  double input = 0.0;
  double output = 0.0;
  for (int step = 0; step < 600; ++step) {
    // A flood wave over 24 steps, different on every subbasin.
    const bool raining = step < 24;
    for (int col = 1; col <= 7; ++col) {
      const double wave = std::sin(M_PI * (step + col) / 25.0);
      net.runoff(col) = raining ? 0.01 + peak * wave * wave : 0.0;
      input += net.runoff(col) * counts[col];
    }
    net.stepValue(8) = raining ? inflowDepth : 0.0;
    input += net.stepValue(8) * channel.area;
    net.step();
    output += net.stepValue(7) * 49.0; // subbasins 1 .. 7
  }
  return (output - input) / input;
}

} // namespace

TEST(VolumeBalance, ChainWithConstantDelaysConservesVolume) {
  TestChannel channel;
  channel.qMin = channel.qMax = 20.0; // one delay for every discharge
  channel.depthMain = 100.0;       // no flood plain
  channel.length = 30000.0;
  channel.area = 60.0;
  EXPECT_NEAR(chainVolumeError(channel, 4, 2.0), 0.0, 1e-12);
}

// The table channel with one sub-interval keeps a delay of 0 from 0.02 to
// 2 mm per step, while the flood plain takes from none to 60 % of the flow:
// a flood wave on a base flow leaves with its whole volume whatever the two
// storage constants.
TEST(VolumeBalance, RetentionConservesAFloodWhoseFloodPlainShareChanges) {
  const double constants[][2] = {{2.0, 4.0}, {4.0, 2.0}, {2.0, 2.0}};
  for (const auto& k : constants) {
    RoutingNetwork net("volume_retention", 2, 0, 1);
    net.cellCount(1) = 1.0;
    TestChannel channel;
    channel.storageMain = k[0];
    channel.storageFlood = k[1];
    net.addElement(2, 1.0, {{1, {}, channel}});
    const double base = 0.02;
    net.runoff(1) = base;
    net.start();
    double flood = 0.0;
    double balance = 0.0;
    for (int step = 0; step < 400; ++step) {
      const double wave = step < 20 ? std::sin(M_PI * step / 20.0) : 0.0;
      net.runoff(1) = base + (2.0 - base) * wave * wave;
      net.step();
      flood += net.runoff(1) - base;
      balance += net.runoff(1) - net.stepValue(2);
    }
    EXPECT_NEAR(balance / flood, 0.0, 1e-12) << "K " << k[0] << " h / " << k[1] << " h";
  }
}

// Where delays change, the queues gain or lose water at the gaps and
// overlaps; the error is printed for the record.
TEST(VolumeBalance, ChainWithChangingDelaysAndFloodPlains) {
  const struct {
    int subIntervals;
    double storageMain, storageFlood;
  } cases[] = {{4, 2.0, 2.0}, {6, 2.0, 2.0}, {4, 2.0, 4.0}, {4, 4.0, 2.0}};
  for (const auto& c : cases) {
    TestChannel channel; // the table channel: delays change, flood plains fill
    channel.storageMain = c.storageMain;
    channel.storageFlood = c.storageFlood;
    const double error = chainVolumeError(channel, c.subIntervals, 2.0);
    std::printf("volume error, %d sub-intervals, K %.0f h / %.0f h: %+.4f %%\n", c.subIntervals,
                c.storageMain, c.storageFlood, 100.0 * error);
    EXPECT_LT(std::fabs(error), 0.01);
  }
}
