#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "tests/routing/routing_network.h"

namespace {

// A channel without flood plain whose flow time is `hours` at every discharge
// (qMin = qMax = 50 l/s/km^2 over 100 km^2: 5 m^3/s, 0.547 m/s by
// Manning-Strickler) and without retention.
TestChannel constantDelay(double hours) {
  TestChannel s;
  s.storageMain = s.storageFlood = 0.0;
  s.depthMain = 100.0;
  s.area = 100.0;
  s.qMin = s.qMax = 50.0;
  s.length = 0.5470 * 3600.0 * hours;
  return s;
}

// Water without delay through one linear storage of K hours.
TestChannel linearStorage(double hours) {
  TestChannel s;
  s.storageMain = s.storageFlood = hours;
  s.depthMain = 100.0;
  s.length = 1.0;
  return s;
}

double binomial3(int n) { return (n + 1.0) * (n + 2.0) / 2.0; }

} // namespace

TEST(ChannelRouting, LinearStoragesGiveTheirImpulseResponse) {
  const struct {
    double timeStep;
    int outlet; // 2: one storage, 4: three in a chain
    double k;   // recession factor per step for K = 2 h
  } cases[] = {{60.0, 2, std::exp(-1.0 / 2.0)},
               {60.0, 4, std::exp(-1.0 / 2.0)},
               {30.0, 2, std::exp(-0.5 / 2.0)}};
  for (const auto& c : cases) {
    RoutingNetwork net("impulse", 4, 0, 1, c.timeStep);
    net.cellCount(1) = 1.0; // the impulse falls on subbasin 1 alone
    for (int code = 2; code <= 4; ++code)
      net.addElement(code, 1.0, {{code - 1, {}, linearStorage(2.0)}});
    net.start();
    double sum = 0.0;
    for (int n = 0; n < 400; ++n) {
      net.runoff(1) = n == 0 ? 1.0 : 0.0;
      net.step();
      const double k = c.k;
      const double expected = c.outlet == 2 ? (1 - k) * std::pow(k, n)
                                            : std::pow(1 - k, 3) * binomial3(n) * std::pow(k, n);
      EXPECT_NEAR(net.stepValue(c.outlet), expected, 1e-12) << "step " << n;
      sum += net.stepValue(c.outlet);
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
  }
}

TEST(ChannelRouting, TranslationDelaysAnImpulseBySubIntervals) {
  for (int subIntervals : {1, 2, 4}) {
    RoutingNetwork net("translation", 2, 0, subIntervals);
    net.cellCount(1) = 1.0;
    net.addElement(2, 1.0, {{1, {}, constantDelay(2.6)}});
    net.start();
    const int delay = static_cast<int>(2.6 * subIntervals); // sub-intervals
    std::vector<double> out;
    for (int step = 0; step < 6; ++step) {
      std::vector<double> in(subIntervals, 0.0);
      if (step == 1) in[0] = 3.0;
      net.setSubIntervalRunoff(1, in);
      net.step();
      for (int n = 1; n <= subIntervals; ++n) out.push_back(net.subValue(2, n));
    }
    for (int i = 0; i < static_cast<int>(out.size()); ++i)
      EXPECT_NEAR(out[i], i == subIntervals + delay ? 3.0 : 0.0, 3e-12)
          << subIntervals << " sub-intervals, " << i;
  }
}

TEST(ChannelRouting, PulseCrossesSubChannelsAfterTheSumOfTheirDelays) {
  // The table channel: 11 sub-channels; 10.5 and 12 l/s/km^2 both lie in row
  // 11 (10 l/s/km^2, flow time 5.08 h by Manning-Strickler), whose delay per
  // sub-channel is trunc(5.08 / 11 * 4) = 1 of 4 sub-intervals.
  const int subIntervals = 4;
  RoutingNetwork net("subchannels", 2, 0, subIntervals);
  net.cellCount(1) = 1.0;
  TestChannel channel;
  channel.storageMain = channel.storageFlood = 0.0;
  net.addElement(2, 1.0, {{1, {}, channel}});
  const double base = 10.5 * 0.0036;
  const double pulse = 1.5 * 0.0036;
  net.runoff(1) = base;
  net.start();
  std::vector<double> out;
  for (int step = 0; step < 8; ++step) {
    std::vector<double> in(subIntervals, base);
    if (step == 2) in[1] += pulse;
    net.setSubIntervalRunoff(1, in);
    net.step();
    for (int n = 1; n <= subIntervals; ++n) out.push_back(net.subValue(2, n) - base);
  }
  const int arrival = 2 * subIntervals + 1 + 11;
  for (int i = 0; i < static_cast<int>(out.size()); ++i)
    EXPECT_NEAR(out[i], i == arrival ? pulse : 0.0, 1e-15) << i;
}

TEST(ChannelRouting, AreasScaleRunoffAndInflows) {
  // Constant runoff on every subbasin leaves every outlet unchanged.
  RoutingNetwork steady("area_steady", 3, 0, 2);
  steady.cellCount(0) = 1.0;
  const double counts[] = {0, 40, 25, 35};
  for (int col = 1; col <= 3; ++col) steady.cellCount(col) = counts[col], steady.runoff(col) = 0.7;
  steady.addElement(2, 65.0, {{1, {}, TestChannel{}}});
  steady.addElement(3, 100.0, {{2, {}, TestChannel{}}});
  steady.start();
  // The flood plains start empty and fill through eleven sub-channels.
  for (int step = 0; step < 400; ++step) steady.step();
  EXPECT_NEAR(steady.stepValue(2), 0.7, 1e-12);
  EXPECT_NEAR(steady.stepValue(3), 0.7, 1e-12);

  // 10 m^3/s into a dry subbasin of 25 km^2 that the control file gives as
  // 30 km^2: the zone grid wins, and 10 m^3/s leave it.
  RoutingNetwork inflow("area_inflow", 1, 1, 1);
  inflow.cellCount(0) = 1.0; // km^2 per unit of the area table
  inflow.cellCount(1) = 25.0;
  routingclass& element = inflow.addElement(1, 30.0, {}, {}, {{1, {}, TestChannel{}}});
  EXPECT_EQ(inflow.log.lastEntry(), "Basin 1: area in contr.file: 30 <-> zone-grid 25 "
                                    "(adjusted to the latter)");
  element.SetInflow(1, 1, 1, 10.0, "", 0, 0, 0, 0, 0, 0, 0);
  inflow.start();
  for (int step = 0; step < 5; ++step) inflow.step();
  EXPECT_NEAR(inflow.stepValue(1), 10.0 * 0.06 * 60.0 / 25.0, 1e-12);
  EXPECT_NEAR(element.DepthToFlow(inflow.stepValue(1), 25.0, 60.0), 10.0 * 0.06 * 16.6666667,
              1e-12);
}

TEST(ChannelRouting, TracersKeepTheirMassOrDecayInTheQueue) {
  const int subIntervals = 2;
  RoutingNetwork net("tracers", 2, 0, subIntervals, 60.0, 2);
  net.tracerTable[1].halfTime = -9999.0;
  net.tracerTable[2].halfTime = 0.5; // days
  net.cellCount(1) = 1.0;
  net.addElement(2, 1.0, {{1, {}, constantDelay(2.6)}});
  net.start();
  const int delay = 5; // trunc(2.6 h * 2)
  const double decay = std::exp(-(delay * 60.0 / subIntervals / 1440.0) / (0.5 * 1.442695041111));
  double massIn = 0.0;
  double massOut = 0.0;
  std::vector<double> concentrationIn;
  std::vector<double> decayed;
  for (int step = 0; step < 8; ++step) {
    std::vector<double> water(subIntervals, 0.0), conc(subIntervals, 0.0);
    for (int n = 0; n < subIntervals && step < 3; ++n) {
      water[n] = 1.0 + step + 0.5 * n;
      conc[n] = 10.0 - 2.0 * step - n;
      massIn += water[n] * conc[n];
      concentrationIn.push_back(conc[n]);
    }
    net.setSubIntervalRunoff(1, water);
    net.setSubIntervalRunoff(1, conc, 1);
    net.setSubIntervalRunoff(1, conc, 2);
    net.step();
    for (int n = 1; n <= subIntervals; ++n) {
      massOut += net.subValue(2, n) * net.subValue(2, n, 1);
      if (net.subValue(2, n) > 1e-6)
        decayed.push_back(net.subValue(2, n, 2) / net.subValue(2, n, 1));
    }
  }
  EXPECT_NEAR(massOut, massIn, 1e-12 * massIn);
  ASSERT_EQ(decayed.size(), concentrationIn.size());
  for (double ratio : decayed) EXPECT_NEAR(ratio, decay, 1e-14);
}

// The storages give the water they hold at the concentration it came
// with: after the inflow (at 3, then at 1) ceases, and then arrives without
// water and so at 0, what still leaves them carries the mixture of what
// entered, the tracer's mass leaves with its water, and no outflow is
// below 1 or above 3.
TEST(ChannelRouting, StoragesGiveTheirWaterAtItsConcentration) {
  RoutingNetwork net("stored_tracer", 2, 0, 1, 60.0, 1);
  net.tracerTable[1].halfTime = -9999.0;
  net.cellCount(1) = 1.0;
  net.addElement(2, 1.0, {{1, {}, linearStorage(2.0)}});
  net.start();
  double massIn = 0.0, massOut = 0.0, waterIn = 0.0, waterOut = 0.0;
  double last = 0.0;
  for (int step = 0; step < 300; ++step) {
    const double water = step < 4 ? 2.0 : step < 6 ? 1.0 : 0.0;
    const double conc = step < 4 ? 3.0 : step < 6 ? 1.0 : 0.0;
    waterIn += water;
    massIn += water * conc;
    net.setSubIntervalRunoff(1, {water});
    net.setSubIntervalRunoff(1, {conc}, 1);
    net.step();
    const double out = net.subValue(2, 1);
    waterOut += out;
    massOut += out * net.subValue(2, 1, 1);
    if (step >= 1) {
      EXPECT_GE(net.subValue(2, 1, 1), 1.0 - 1e-12) << step;
      EXPECT_LE(net.subValue(2, 1, 1), 3.0 + 1e-12) << step;
    }
    if (step >= 6) {
      // Nothing enters: the storages' water leaves unmixed.
      if (step > 6) {
        EXPECT_NEAR(net.subValue(2, 1, 1), last, 1e-12) << step;
      }
      last = net.subValue(2, 1, 1);
    }
  }
  EXPECT_NEAR(waterOut, waterIn, 1e-9 * waterIn);
  EXPECT_NEAR(massOut, massIn, 1e-9 * massIn);
}

TEST(ChannelRouting, SpecialColumnsAndLimits) {
  // A hydraulically connected column passes its input through in every
  // sub-interval, whatever the channel's delay.
  RoutingNetwork connected("connected", 2, 0, 3);
  connected.cellCount(1) = 1.0;
  routingclass& element = connected.addElement(2, 1.0, {{1, {}, constantDelay(2.6)}});
  HydraulicConnectionMap map = {{1, true}};
  element.SetHydraulicConnectionMap(&map);
  connected.start();
  connected.setSubIntervalRunoff(1, {0.3, 1.7, 0.9});
  connected.step();
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(connected.subValue(2, n), connected.subValue(1, n));
  EXPECT_EQ(connected.subValue(2, 2), 1.7);

  // Irrigation takes what there is and no more: from the tributary and at
  // the outlet of an element that routes its own area alone. What the
  // runoff lacks, the channels owe (none holds water here), and pay first.
  RoutingNetwork irrigated("irrigated", 3, 0, 2);
  irrigated.cellCount(1) = irrigated.cellCount(2) = irrigated.cellCount(3) = 1.0;
  irrigated.addElement(2, 2.0, {{1, {}, linearStorage(0.0)}});
  irrigated.addElement(3, 1.0, {});
  std::vector<ZoneRecord> demand(4);
  for (ZoneRecord& record : demand) record.valueSum = 5.0, record.areaFraction = 1.0;
  std::vector<std::vector<double>> available(1, std::vector<double>(4, 0.0));
  std::vector<double*> availableRows = {available[0].data()};
  for (auto& e : irrigated.elements) {
    e->SetIrrigationRecords(demand.data());
    e->SetIrrigationArrays(availableRows.data(), nullptr);
  }
  irrigated.runoff(1) = 2.0;
  irrigated.runoff(2) = 1.0;
  irrigated.runoff(3) = 4.0;
  irrigated.start();
  irrigated.step();
  EXPECT_EQ(available[0][1], 2.0);
  EXPECT_EQ(irrigated.stepValue(2), 0.0); // 0.5 * 1 mm left after 5 mm, floored
  for (int n = 1; n <= 2; ++n) EXPECT_EQ(irrigated.subValue(2, n), 0.0);
  // The element without channels routes its own area: 4 mm, of which 5 mm
  // are demanded.
  EXPECT_EQ(available[0][3], 4.0);
  EXPECT_EQ(irrigated.stepValue(3), 0.0);
  // Owed over each subbasin: 5 - 2 mm by the tributary, 5 - 1 mm at the
  // outlet of 2 (0.5 mm of the element's depth over half its area), 5 - 4.
  EXPECT_EQ(irrigated.ledger.owed, std::vector<double>({0.0, 3.0, 4.0, 1.0}));
  demand[3].valueSum = 1.5;
  available[0] = {0, 0, 0, 0};
  irrigated.step();
  EXPECT_EQ(irrigated.stepValue(3), 1.5); // 4 mm less the 1 mm owed and 1.5 mm
  EXPECT_EQ(irrigated.ledger.owed[3], 0.0);
}
