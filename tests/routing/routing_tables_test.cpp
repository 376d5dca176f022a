#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "tests/routing/routing_network.h"
#include "tests/test_support.h"

namespace {

// Depth of a rectangular channel that carries Q by Manning-Strickler with the
// exact exponent 2/3, by bisection.
double manningDepth(double Q, double width, double manning, double slope) {
  double low = 0.0;
  double high = 100.0;
  for (int i = 0; i < 200; ++i) {
    const double d = (low + high) / 2.0;
    const double R = width * d / (width + 2.0 * d);
    (manning * std::pow(R, 2.0 / 3.0) * std::sqrt(slope) * width * d < Q ? low : high) = d;
  }
  return (low + high) / 2.0;
}

double manningFlow(double depth, double width, double manning, double slope) {
  const double R = width * depth / (width + 2.0 * depth);
  return manning * std::pow(R, 2.0 / 3.0) * std::sqrt(slope) * width * depth;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> list;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) list.push_back(line);
  return list;
}

} // namespace

TEST(RoutingTables, MatchManningStricklerByHand) {
  RoutingNetwork net("tables_manning", 2, 0, 1);
  net.cellCount(1) = net.cellCount(2) = 250.0;
  const TestChannel channel; // 20 m x 2 m, flood plains 200 m, M 30 and 15, 10 km
  routingclass& element = net.addElement(2, 500.0, {{1, {}, channel}});
  element.WriteWQTable();

  const std::vector<std::string> file = lines(readFile(net.log.directory + "/wq_table.001"));
  const std::vector<std::string> golden =
      lines(readFile(HORVA_TEST_DATA_DIR "/routing/wq_table_head.001"));
  ASSERT_EQ(file.size(), golden.size() + 31);
  for (std::size_t i = 0; i < golden.size(); ++i) EXPECT_EQ(file[i], golden[i]) << "line " << i;

  const RoutingTable& w = element.table(1);
  int mainRows = 0;
  int floodRows = 0;
  for (int k = 1; k <= 31; ++k) {
    const double q = std::pow(10.0, (k - 1) / 10.0); // 1 .. 1000 l/s/km^2
    const double Q = q / 1000.0 * channel.area;
    EXPECT_NEAR(w.Q[k], Q, 1e-9 * Q);
    if (w.df[k] == 0.0) {
      ++mainRows;
      const double d = manningDepth(Q, channel.widthMain, channel.manningMain, channel.slope);
      const double v = Q / (channel.widthMain * d);
      EXPECT_NEAR(w.dm[k], d, 0.01) << "row " << k;
      EXPECT_NEAR(w.v[k], v, 0.01) << "row " << k;
      // The flow time within what the velocity tolerance allows.
      EXPECT_NEAR(w.t[k], channel.length / v / 3600.0,
                  channel.length / 3600.0 * 0.01 / (v * v - 0.01 * v));
    } else {
      ++floodRows;
      EXPECT_NEAR(w.dm[k] - w.df[k], channel.depthMain, 0.015) << "row " << k;
      const double Qm = manningFlow(w.dm[k], channel.widthMain, channel.manningMain, channel.slope);
      const double Qf = manningFlow(w.df[k], channel.widthFlood, channel.manningFlood, channel.slope);
      EXPECT_NEAR(Qm + Qf, Q, 0.02 * Q) << "row " << k;
      EXPECT_NEAR(w.floodShare[k], Qf / (Qm + Qf), 0.02) << "row " << k;
    }
  }
  EXPECT_EQ(mainRows, 21); // bank-full between 50 and 63 m^3/s
  EXPECT_EQ(floodRows, 10);
}

TEST(RoutingTables, FindTableRowClampsToRange) {
  RoutingNetwork net("tables_rows", 3, 0, 1);
  net.cellCount(1) = net.cellCount(2) = net.cellCount(3) = 1.0;
  TestChannel single;
  single.qMin = single.qMax = 50.0;
  routingclass& element = net.addElement(3, 3.0, {{1, {}, TestChannel{}}, {2, {}, single}});
  // A specific discharge in l/s/km^2 as runoff in mm per 60-minute step. Row
  // k holds 10^((k-1)/10) l/s/km^2; the lookup scales the runoff back by
  // 16666.668 / 60 * 0.0036 = 1.00000008, so a table discharge finds its own
  // row and anything between two rows the lower one.
  const auto mm = [](double q) { return q * 0.0036; };
  const struct {
    int channel;
    double runoff;
    int row;
  } cases[] = {
      {1, 0.0, 1},         {1, mm(0.5), 1},   {1, mm(1.0), 1},   {1, mm(1.001), 1},
      {1, mm(9.99), 10},   {1, mm(10.0), 11}, {1, mm(12.5), 11}, {1, mm(1000.0), 31},
      {1, mm(5000.0), 31}, {2, mm(1.0), 1},   {2, mm(50.0), 1},  {2, mm(1e6), 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(element.FindTableRow(c.channel, c.runoff), c.row)
        << "channel " << c.channel << ", runoff " << c.runoff;
}

TEST(RoutingTables, RefuseChannelsThatGiveNoTable) {
  const struct {
    const char* what;
    double qMin, qMax, intervals;
  } cases[] = {
      {"smallest specific discharge", 0.0, 10.0, 10.0},
      {"below the smallest", 5.0, 1.0, 10.0},
      {"intervals", 1.0, 10.0, 0.0},
      {"intervals", 1.0, 10.0, -3.0},
      // Nearly no discharge: a flow time no queue can hold.
      {"queue positions", 1e-250, 1e-250, 1.0},
  };
  for (const auto& c : cases) {
    RoutingNetwork net("tables_refused", 2, 0, 1);
    TestChannel channel;
    channel.qMin = c.qMin;
    channel.qMax = c.qMax;
    channel.intervals = c.intervals;
    EXPECT_EQ(exitCodeOf([&] { net.addElement(2, 1.0, {{1, {}, channel}}); }), 17) << c.what;
    EXPECT_NE(net.log.lastEntry().find("routing: subbasin 2, channel 1 (code 1): "),
              std::string::npos);
    EXPECT_NE(net.log.lastEntry().find(c.what), std::string::npos) << net.log.lastEntry();
  }
}

TEST(RoutingTables, NameFilesAndTitlesByChannelKind) {
  RoutingNetwork net("tables_titles", 6, 2, 1);
  for (int col = 1; col <= 6; ++col) net.cellCount(col) = 1.0;
  net.addElement(6, 6.0, {{1, {}, TestChannel{}}}, {{3, {4, 5}, TestChannel{}}},
                 {{2, {}, TestChannel{}}})
      .WriteWQTable();
  const struct {
    const char* file;
    const char* title;
  } cases[] = {
      {"wq_table.001", "waterlevel-discharge-table for the channel of subbasin 1 to the outlet "
                       "of subbasin 6"},
      {"wq_table.003", "waterlevel-discharge-table for the channel of subbasins 3, 4 and 5 to "
                       "the outlet of subbasin 6"},
      {"wq_tabZL.002", "waterlevel-discharge-table for the channel of inflow 2 to the outlet of "
                       "subbasin 6"},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> file = lines(readFile(net.log.directory + "/" + c.file));
    ASSERT_FALSE(file.empty()) << c.file;
    EXPECT_EQ(file[0], c.title);
  }
}
