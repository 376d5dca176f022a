#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "tests/routing/routing_model_fixture.h"

namespace {

std::string reservoir(int number, const std::string& extra = "") {
  return " SP " + std::to_string(number) + " (file = res" + std::to_string(number) +
         ".txt V0 = 0 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600" + extra + ")";
}

std::string rules(int number, const std::string& table) {
  return "[abstraction_rule_reservoir_" + std::to_string(number) + "]\n" + table + "\n";
}

// Q = a V with a = 1e-5 1/s up to 1e7 m^3.
const std::string linear = "2\n0 0\n1e7 100\nWeekDays = -1\n";

} // namespace

// A flood from an inflow file through a channel into a linear reservoir:
// every step keeps its balance, the outflow is the recurrence of six
// sub-steps of 600 s, V' = (V' + Qin dt)(1 - a dt), and it peaks where
// inflow and outflow cross.
TEST(ReservoirModel, AFloodPassesALinearReservoirInBalance) {
  RoutingModelSetup s("reservoir_flood");
  const int steps = 60;
  std::ostringstream inflow;
  inflow << "YY MM DD HH Q\n";
  for (int k = 0; k < steps + 2; ++k) {
    const double q = std::max(0.0, 20.0 - 2.0 * std::fabs(k - 11.0));
    const ModelDate d = s.hourOf(k);
    inflow << d.year << " " << d.month << " " << d.day << " " << d.hour << " " << q << "\n";
  }
  writeFile(s.path("inflow.txt"), inflow.str());
  s.extraSections = rules(1, linear);
  s.writeControlFile("TG 1 (AREA = 0.03, F = 1)" +
                     channelText("ZL 1 = extern " + s.path("inflow.txt") + " 1 0", 0.5) +
                     reservoir(1) + "\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  s.wire();
  const SP_class& r = s.model->getElement(1).reservoir(1);
  std::vector<double> in, out;
  double V = r.getVolume();
  for (int k = 0; k < steps; ++k) {
    s.step(k);
    const double qin = r.term(SP_class::Qin).m3s;
    double sub = V;
    double expected = 0.0;
    for (int i = 0; i < 6; ++i) {
      sub += qin * 600.0;
      const double q = 1e-5 * sub;
      sub -= q * 600.0;
      expected += q / 6.0;
    }
    EXPECT_NEAR(r.getOutflow(), expected, 1e-9 * expected + 1e-15) << k;
    const double change = r.getVolume() - V;
    const double net = r.term(SP_class::Qin).m3 - r.term(SP_class::Qout).m3 -
                       r.term(SP_class::Irrig).m3 - r.term(SP_class::Abstr).m3;
    EXPECT_NEAR(change, net, 1e-9 * std::max(1.0, r.term(SP_class::Qin).m3)) << k;
    V = r.getVolume();
    in.push_back(qin);
    out.push_back(r.getOutflow());
  }
  const auto peak =
      static_cast<std::size_t>(std::max_element(out.begin(), out.end()) - out.begin());
  ASSERT_GT(peak, 0u);
  EXPECT_GE(in[peak - 1], out[peak - 1]);
  EXPECT_LE(in[peak + 1], out[peak + 1]);
  EXPECT_GT(*std::max_element(in.begin(), in.end()), out[peak]);

  s.model->flushOutputs();
  const std::vector<std::vector<double>> rows = tableRows(s.path("res1.txt"));
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(steps));
  for (std::size_t k = 1; k < rows.size(); ++k) {
    const std::vector<double>& x = rows[k];
    ASSERT_EQ(x.size(), 4u + 30u);
    const double net = x[7] - x[10] - x[13] - x[28];
    EXPECT_NEAR(x[6] - rows[k - 1][6], net, 2e-5 * std::max(x[6], x[7])) << k;
  }
  s.model->releaseModule();
}

// Two days at once, and one day writing the state followed by one reading
// it, give the same reservoir tables on the second day; the running-average
// lists come back in order and no longer than a run uses.
TEST(ReservoirModel, AWarmStartContinuesTheReservoirs) {
  const std::string network = "TG 1 (AREA = 0.03, F = 1)" + reservoir(1, " UseRunningAvg = 3") +
                              reservoir(2, " UseRunningAvg = 5") + "\n";
  std::string firstState;
  const auto run = [&](const std::string& name, int firstHour, int hours, int readMode) {
    auto s = std::make_unique<RoutingModelSetup>(name);
    s->context.startDate = s->hourOf(firstHour);
    s->context.inputDirectory = s->context.outputDirectory =
        std::filesystem::absolute(s->log.directory).string() + "/";
    s->extraSections = rules(1, linear) + rules(2, "2\n0 0\n1e5 3\nWeekDays = -1\n");
    s->writeControlFile(network);
    EXPECT_EQ(s->build(), 0) << s->log.console.str();
    if (readMode == 1) std::filesystem::copy_file(firstState, s->path("routing.state"));
    const std::string state = "routing.state";
    s->wire(&state, readMode);
    for (int k = firstHour; k < firstHour + hours; ++k) {
      s->runoff[0][1] = 5.0 + 4.0 * std::sin(0.3 * k);
      s->step(k);
    }
    return s;
  };
  auto whole = run("reservoir_two_days", 0, 48, 0);
  whole->model->releaseModule();
  auto first = run("reservoir_first_day", 0, 24, 0);
  first->model->releaseModule();
  firstState = first->path("routing.state");
  const std::string state = readFile(firstState);
  const std::size_t one = state.find("3 (useRunningAvg reservoir 1)\n");
  const std::size_t two = state.find("5 (useRunningAvg reservoir 2)\n");
  ASSERT_NE(one, std::string::npos);
  ASSERT_NE(two, std::string::npos);
  EXPECT_LT(one, two);

  auto second = run("reservoir_second_day", 24, 0, 1);
  const routingclass& element = second->model->getElement(1);
  EXPECT_EQ(element.reservoir(1).getVolumeHistory().size(), 3u);
  EXPECT_EQ(element.reservoir(2).getVolumeHistory().size(), 5u);
  std::istringstream listOne(state.substr(state.find('\n', one) + 1));
  double firstValue = 0.0;
  listOne >> firstValue;
  EXPECT_EQ(element.reservoir(1).getVolumeHistory().front(), firstValue);
  for (int k = 24; k < 48; ++k) {
    second->runoff[0][1] = 5.0 + 4.0 * std::sin(0.3 * k);
    second->step(k);
  }
  second->model->releaseModule();
  for (const char* file : {"res1.txt", "res2.txt"}) {
    SCOPED_TRACE(file);
    const auto all = tableRows(whole->path(file));
    const auto warm = tableRows(second->path(file));
    ASSERT_EQ(all.size(), 48u);
    EXPECT_EQ(warm, std::vector<std::vector<double>>(all.begin() + 24, all.end()));
  }
}

// Each reservoir of a description takes its keys from its own text: the
// first does not take what only the second gives.
TEST(ReservoirModel, ReadsEachReservoirsKeysFromItsOwnText) {
  RoutingModelSetup s("reservoir_own_keys");
  s.context.outputDirectory = std::filesystem::absolute(s.log.directory).string() + "/";
  s.extraSections = rules(1, linear) + rules(2, linear);
  s.writeControlFile("TG 1 (AREA = 0.03, F = 1) SP 1 (file = one.txt V0 = 1 C0 = 0 0 0 0 0 0 0 0 "
                     "0) SP 2 (file = two.txt V0 = 2 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 600 "
                     "UseRunningAvg = 4)\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  const SP_class& one = s.model->getElement(1).reservoir(1);
  const SP_class& two = s.model->getElement(1).reservoir(2);
  EXPECT_EQ(one.getOutputFileName(), s.context.outputDirectory + "one.txt");
  EXPECT_EQ(one.getDTmin(), 60.0);
  EXPECT_EQ(one.getUseRunningAvg(), 0);
  EXPECT_EQ(one.getV0(), 1.0);
  EXPECT_EQ(two.getOutputFileName(), s.context.outputDirectory + "two.txt");
  EXPECT_EQ(two.getDTmin(), 600.0);
  EXPECT_EQ(two.getUseRunningAvg(), 4);
  EXPECT_EQ(two.getV0(), 2.0);
  s.model->releaseModule();
}

// Set-ups of reservoirs and lakes in a routing model that fail, with their
// codes.
TEST(ReservoirModel, RefusesFaultyReservoirsWithTheirCodes) {
  struct Case {
    const char* what;
    std::string network;
    std::string sections;
    bool lakeGrids;
    int code;
    std::string message;
  };
  const std::string lakeSection = "[lake_model]\n1 on\nx\nx\nx\n0 readgrids\n\n";
  const std::vector<Case> cases = {
      {"two reservoirs of one number",
       "TG 1 (AREA = 0.03, F = 1)" + reservoir(1) + "\nTG 2 (AREA = 0.03, F = 1)" + reservoir(1) +
           "\n",
       rules(1, linear), false, 35,
       "reservoir 1 stands in routing description 1 and again in routing description 2"},
      {"no rule section", "TG 1 (AREA = 0.03, F = 1)" + reservoir(1) + "\n", "", false, 34,
       "section [abstraction_rule_reservoir_1] not found in control file"},
      {"a lake without transpiration", "TG 1 (AREA = 0.03, F = 1)" + reservoir(1) + "\n",
       rules(1, linear) + lakeSection, true, 33, "real_transpiration0"},
      {"a negative lake switch", "TG 1 (AREA = 0.03, F = 1)" + reservoir(1) + "\n",
       rules(1, linear) + "[lake_model]\n-1 on\nx\nx\nx\n0 readgrids\n\n", true, 17,
       "section [lake_model]: the value -1 of \"flow control parameter for \" must be 0 (off)"},
      {"lake readgrids 2", "TG 1 (AREA = 0.03, F = 1)" + reservoir(1) + "\n",
       rules(1, linear) + "[lake_model]\n1 on\nx\nx\nx\n2 readgrids\n\n", true, 17,
       "section [lake_model]: the value 2 of \"readgrids for \" must be 0 (the lakes start from "
       "V0) or 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RoutingModelSetup s("reservoir_refusals");
    s.context.outputDirectory = std::filesystem::absolute(s.log.directory).string() + "/";
    if (c.lakeGrids) {
      s.base.addGrid("lake_codes", {1, -9999, -9999, -9999, -9999, -9999, -9999, -9999, -9999,
                                    -9999, -9999, -9999});
      s.base.addGrid("ponding_storage", std::vector<double>(12, 0.0));
    }
    s.extraSections = c.sections;
    s.writeControlFile(c.network);
    EXPECT_EQ(s.build(), c.code);
    EXPECT_NE(s.log.lastEntry().find(c.message), std::string::npos) << s.log.lastEntry();
  }
}
