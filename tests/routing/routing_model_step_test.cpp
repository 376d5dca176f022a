#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "tests/routing/allocation_counter.h"
#include "tests/routing/routing_model_fixture.h"

namespace {

std::string tg(int code, double area) {
  return "TG " + std::to_string(code) + " (AREA = " + std::to_string(area) + ", F = 1)";
}

// Column `zone` (1 .. 4) of a statistics line.
double columnOf(const std::string& line, int zone) {
  std::istringstream fields(line);
  std::string field;
  for (int k = 0; k < 4 + zone; ++k) std::getline(fields, field, '\t');
  return std::atof(field.c_str());
}

// A routing-only run over the former run's lines until the model says the
// period ended.
void runRoutingOnly(RoutingModelSetup& s) {
  for (;;) {
    ModelDate d;
    s.model->getRoutingModeDate(d.minute, d.hour, d.day, d.month, d.year);
    s.model->RouteTimeStep(d.minute, d.hour, d.day, d.month, d.year);
    if (s.model->isRoutingModeEnd()) break;
    s.model->nextRoutingRecord();
  }
  s.model->flushOutputs();
}

double binomial(int n, int k) {
  double b = 1.0;
  for (int i = 1; i <= k; ++i) b = b * (n - k + i) / i;
  return b;
}

} // namespace

// Three linear storages in a chain: an impulse on subbasin 1 leaves
// subbasin 4 as (1 - k)^3 C(n + 2, 2) k^n of the impulse, k = exp(-1/K).
TEST(RoutingModel, AnImpulseLeavesAChainOfStoragesAsTheirGammaSeries) {
  RoutingModelSetup s("routing_impulse");
  s.context.routingOnly = true;
  const double K = 2.0;
  std::vector<std::vector<double>> hours(40, std::vector<double>(4, 0.0));
  hours[1][0] = 10.0; // mm in the step of hour 1
  writeFile(s.path("qg.stat"), runoffTable(hours));
  s.context.endDate = s.hourOf(39);
  s.writeControlFile(tg(2, 0.06) + channelText("OL 1", K) + "\n" + tg(3, 0.09) +
                     channelText("OL 2", K) + "\n" + tg(4, 0.12) + channelText("OL 3", K) + "\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  s.wire();
  runRoutingOnly(s);
  EXPECT_EQ(s.log.console.str().find("INFO: Basin"), std::string::npos);
  const std::vector<std::string> lines = s.statisticLines();
  ASSERT_EQ(lines.size(), 40u);
  const double impulse = 10.0 * 0.03 * 1000.0 / 3600.0; // m^3/s over 0.03 km^2 in an hour
  const double k = std::exp(-1.0 / K);
  for (int n = 0; n + 1 < 40; ++n) {
    const double expected = impulse * std::pow(1.0 - k, 3) * binomial(n + 2, 2) * std::pow(k, n);
    EXPECT_NEAR(columnOf(lines[static_cast<std::size_t>(n) + 1], 4), expected, 0.5e-5 + 1e-9)
        << "step " << n;
  }
  EXPECT_EQ(columnOf(lines[0], 4), 0.0);
}

// What enters the network, runoff and inflow, leaves its outlet.
TEST(RoutingModel, TheOutletReturnsTheVolumeOfRunoffAndInflows) {
  RoutingModelSetup s("routing_volume");
  const int steps = 300;
  std::ostringstream inflow;
  inflow << "YY MM DD HH Q\n";
  double input = 0.0; // mm km^2
  for (int k = 0; k < steps; ++k) {
    const double q = k >= 2 && k <= 5 ? 0.002 * k : 0.0;
    const ModelDate d = s.hourOf(k);
    inflow << d.year << " " << d.month << " " << d.day << " " << d.hour << " " << q << "\n";
    input += q * 3.6;
  }
  writeFile(s.path("inflow.txt"), inflow.str());
  s.header = "1 1 1 2";
  s.writeControlFile(tg(3, 0.09) + channelText("SUMTRIB 1&2", 2) + "\n" + tg(4, 0.12) +
                     channelText("OL 3", 3) +
                     channelText("ZL 1 = extern " + s.path("inflow.txt") + " 1 0", 1, 0.5) + "\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  s.wire();
  double output = 0.0;
  for (int k = 0; k < steps; ++k) {
    for (int i = 1; i <= 4; ++i) {
      s.runoff[0][static_cast<std::size_t>(i)] = k >= 1 && k <= 8 ? 0.3 * i + 0.1 * (k % 3) : 0.0;
      input += s.runoff[0][static_cast<std::size_t>(i)] * 0.03;
    }
    s.step(k);
    output += s.model->getStepRunoff(4) * 0.12;
  }
  EXPECT_NEAR(output, input, 1e-8 * input);
}

// The criteria of the four blocks against a hand computation, for an
// observed file that lags the routed discharge by three steps, and one that
// ends during the run.
TEST(RoutingModel, EfficiencyCriteriaFollowTheObservedDischarge) {
  const int steps = 40;
  // Beyond the run too: the observed file goes on.
  std::vector<double> runoff(steps + 20);
  for (int t = 0; t < steps + 20; ++t)
    runoff[static_cast<std::size_t>(t)] = 1.0 + std::sin(0.4 * t) + 0.05 * t;
  // Subbasin 1 alone: its own runoff over 0.03 km^2, in m^3/s.
  const auto routed = [&](int t) { return runoff[static_cast<std::size_t>(t)] * 0.03 / 3.6; };
  const auto observed = [&](int t) {
    return routed(std::max(0, t - 3)) * (1.0 + 0.02 * std::cos(1.7 * t));
  };
  for (int lastRecord : {steps - 1 + 11, 25}) {
    SCOPED_TRACE(lastRecord);
    RoutingModelSetup s("routing_criteria");
    std::ostringstream file;
    file << "YY MM DD HH Q\n";
    for (int t = 0; t <= lastRecord; ++t) {
      const ModelDate d = s.hourOf(t);
      file.precision(17);
      file << d.year << " " << d.month << " " << d.day << " " << d.hour << " " << observed(t)
           << "\n";
    }
    writeFile(s.path("observed.txt"), file.str());
    s.observedFile = s.path("observed.txt");
    s.columnDescriptors = "1\n1 1";
    s.writeControlFile(tg(1, 0.03) + "\n");
    ASSERT_EQ(s.build(), 0) << s.log.console.str();
    s.wire();
    std::vector<std::string> messages;
    for (int t = 0; t < steps; ++t) {
      s.runoff[0][1] = runoff[static_cast<std::size_t>(t)];
      const std::size_t before = s.log.console.str().size();
      s.step(t);
      const std::string added = s.log.console.str().substr(before);
      messages.push_back(added.find("end of discharge file reached!") != std::string::npos ? "end"
                         : added.find("not found (end of discharge file at") != std::string::npos
                             ? "not found"
                             : "");
    }
    s.model->releaseModule();
    // Hand computation: at step t row m + 10 holds the observation of step
    // t + m, the start's for steps before it, none after the file.
    double best = -1e9;
    int bestShift = 99;
    for (int m = -10; m <= 10; ++m) {
      std::vector<double> q, o;
      for (int t = 0; t < steps; ++t) {
        const int when = std::max(0, t + m);
        if (when > lastRecord || t > lastRecord) continue;
        q.push_back(routed(t));
        o.push_back(observed(when));
      }
      const auto criteria = [](const std::vector<double>& a, const std::vector<double>& b) {
        const double n = static_cast<double>(a.size());
        double mo = 0.0, md = 0.0;
        for (std::size_t i = 0; i < a.size(); ++i) mo += b[i] / n, md += (a[i] - b[i]) / n;
        double vo = 0.0, e = 0.0, vd = 0.0;
        for (std::size_t i = 0; i < a.size(); ++i) {
          vo += (b[i] - mo) * (b[i] - mo);
          e += (a[i] - b[i]) * (a[i] - b[i]);
          vd += (a[i] - b[i] - md) * (a[i] - b[i] - md);
        }
        return std::pair<double, double>{1.0 - e / vo, 1.0 - vd / vo};
      };
      std::vector<double> lq, lo;
      for (std::size_t i = 0; i < q.size(); ++i)
        lq.push_back(std::log(q[i])), lo.push_back(std::log(o[i]));
      const auto [rLin, vLin] = criteria(q, o);
      const auto [rLog, vLog] = criteria(lq, lo);
      const std::string text = readFile(s.path("routed.stat"));
      const std::pair<const char*, double> rows[] = {
          {m == 0 ? "LIN. R-SQUARE" : "lin. R-square", rLin},
          {m == 0 ? "LOG. R-SQUARE" : "log. R-square", rLog},
          {m == 0 ? "COEFF.VAR.LIN" : "coeff.var.lin", vLin},
          {m == 0 ? "COEFF.VAR.LOG" : "coeff.var.log", vLog}};
      for (const auto& [label, expected] : rows) {
        const std::string key = std::string(label) + "\t" + std::to_string(m) + "\t";
        const std::size_t at = text.find(key);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_NEAR(std::atof(text.c_str() + at + key.size()), expected, 0.5e-4 + 1e-12) << key;
      }
      if (rLin > best) best = rLin, bestShift = m;
    }
    EXPECT_EQ(bestShift, 3);
    for (int t = 0; t < steps; ++t) {
      const char* expected = t > lastRecord ? "not found" : t >= lastRecord - 11 ? "end" : "";
      EXPECT_EQ(messages[static_cast<std::size_t>(t)], expected) << "step " << t;
    }
  }
  RoutingModelSetup none("routing_no_criteria");
  none.writeControlFile(tg(1, 0.03) + "\n");
  ASSERT_EQ(none.build(), 0);
  none.wire();
  none.step(0);
  none.model->releaseModule();
  EXPECT_EQ(readFile(none.path("routed.stat")).find("R-SQUARE"), std::string::npos);
}

// A former run's own runoff, written every step, gives its routed discharge
// again; the record of the end date is the last routed, and every model-time
// line names the day.
TEST(RoutingModel, RoutingOnlyModeRoutesAFormerRunAgain) {
  std::vector<std::vector<double>> hours(30, std::vector<double>(4, 0.0));
  for (std::size_t k = 1; k < hours.size(); ++k)
    for (std::size_t i = 0; i < 4; ++i)
      hours[k][i] = 0.4 + 0.1 * i + 0.37 * std::sin(0.3 * k * (i + 1));
  const std::string network = tg(2, 0.06) + channelText("OL 1", 3) + "\n" + tg(3, 0.09) +
                              channelText("SUMTRIB 2", 2) + "\n";
  RoutingModelSetup former("routing_former");
  former.header = "1 100 20 2";
  former.writeControlFile(network);
  ASSERT_EQ(former.build(), 0) << former.log.console.str();
  former.wire();
  for (int k = 0; k < 30; ++k) {
    for (int i = 1; i <= 4; ++i)
      former.runoff[0][static_cast<std::size_t>(i)] =
          hours[static_cast<std::size_t>(k)][static_cast<std::size_t>(i) - 1];
    former.step(k);
  }
  former.model->flushOutputs();

  RoutingModelSetup again("routing_again");
  again.header = "1 100 20 2";
  again.context.routingOnly = true;
  again.context.endDate = again.hourOf(24);
  writeFile(again.path("qg.stat"), runoffTable(hours));
  again.writeControlFile(network);
  ASSERT_EQ(again.build(), 0) << again.log.console.str();
  again.wire();
  runRoutingOnly(again);
  std::vector<std::string> expected = former.statisticLines();
  expected.resize(25);
  EXPECT_EQ(again.statisticLines(), expected);
  const std::string log = again.log.console.str();
  EXPECT_NE(log.find("routing_model: model time 2001-01-01 23:00 routing only for day 2001-01-01"),
            std::string::npos);
  EXPECT_NE(log.find("routing_model: model time 2001-01-02 00:00 routing only for day 2001-01-02"),
            std::string::npos);
}

TEST(RoutingModel, RoutesItsStepsWithoutAllocating) {
  RoutingModelSetup s("routing_no_allocation", 1);
  s.context.outputInterval = 0;
  std::ostringstream inflow;
  inflow << "YY MM DD HH Q C\n";
  for (int k = 0; k < 30; ++k) inflow << "2001 1 " << 1 + k / 24 << " " << k % 24 << " 0.01 2\n";
  for (int k = 30; k < 40; ++k) inflow << "2001 1 " << 1 + k / 24 << " " << k % 24 << " 0.02 1\n";
  writeFile(s.path("inflow.txt"), inflow.str());
  writeFile(s.path("observed.txt"), inflow.str());
  s.observedFile = s.path("observed.txt");
  s.columnDescriptors = "1\n4 1";
  s.header = "1 1000 30 3";
  s.writeControlFile(tg(2, 0.06) + channelText("OL 1", 2) + "\n" + tg(4, 0.12) +
                     channelText("SUMTRIB 3&2", 2) +
                     channelText("ZL 1 = extern " + s.path("inflow.txt") + " 1 0", 1, 0.5) + "\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  s.wire();
  for (int k = 0; k < 25; ++k) {
    s.runoff[0][1] = 0.5 * k;
    s.runoff[1][1] = 3.0;
    const long before = allocationCount();
    s.step(k);
    EXPECT_EQ(allocationCount() - before, 0) << "step " << k;
  }
}

// Two-digit years are years of the 1900s, for the start and the end alike.
TEST(RoutingModel, RoutingOnlyModeReadsTwoDigitYears) {
  RoutingModelSetup s("routing_two_digit_years");
  s.context.routingOnly = true;
  s.context.startDate = ModelDate{0, 0, 1, 1, 1995};
  s.context.endDate = ModelDate{0, 3, 1, 1, 1995};
  std::string table = runoffTable(std::vector<std::vector<double>>(8, {1, 2, 3, 4}));
  for (std::size_t at; (at = table.find("2001\t")) != std::string::npos;)
    table.replace(at, 4, "95");
  writeFile(s.path("qg.stat"), table);
  s.writeControlFile(tg(2, 0.06) + channelText("OL 1", 2) + "\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  s.wire();
  runRoutingOnly(s);
  const std::vector<std::string> lines = s.statisticLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines.back().substr(0, 12), "1995\t 1\t 1\t ");
  EXPECT_EQ(lines.back()[12], '3');
}

// With flow control 2 the observed m^3/s of subbasin 1 replace its runoff
// in the channel into subbasin 2: in steady state subbasin 2 passes them on
// with its own runoff.
TEST(RoutingModel, FlowControl2RoutesTheObservedDischarge) {
  RoutingModelSetup s("routing_flow_control_2");
  s.flowControl = 2;
  std::ostringstream file;
  file << "YY MM DD HH Q\n";
  for (int k = 0; k < 80; ++k) file << "2001 1 " << 1 + k / 24 << " " << k % 24 << " 0.01\n";
  writeFile(s.path("observed.txt"), file.str());
  s.observedFile = s.path("observed.txt");
  s.columnDescriptors = "1\n1 1";
  s.writeControlFile(tg(2, 0.06) + channelText("OL 1", 2) + "\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  for (int i = 1; i <= 4; ++i) s.runoff[0][static_cast<std::size_t>(i)] = 0.5;
  s.wire();
  for (int k = 0; k < 60; ++k) s.step(k);
  s.model->flushOutputs();
  const double own = 0.5 * 0.03 / 3.6; // m^3/s of 0.5 mm per hour on 0.03 km^2
  EXPECT_NEAR(columnOf(s.statisticLines().back(), 2), 0.01 + own, 0.5e-5 + 1e-9);
  EXPECT_NEAR(columnOf(s.statisticLines().back(), 1), own, 0.5e-5 + 1e-9);
}
