#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "tests/routing/routing_model_fixture.h"

namespace {

std::string tg(int code, double area) {
  return "TG " + std::to_string(code) + " (AREA = " + std::to_string(area) + ", F = 1)";
}

// A channel 10 km long whose delay and sub-channels change with the flow.
std::string longChannel(const std::string& element, double area = 0.03) {
  return " " + element + " (K = 2, KF = 5, B = 2, BF = 20, T = 0.3, M = 30, MF = 15, " +
         "I = 0.001, L = 10000, A = " + std::to_string(area) + ")";
}

struct WarmStartRun {
  WarmStartRun(const std::string& name, int firstHour, int tracers)
      : s(name, tracers), first(firstHour) {}
  RoutingModelSetup s;
  int first;
};

// Hourly runoff that rises and falls through the flood plains.
double runoffAt(int k, int i) { return 0.2 + 6.0 * std::pow(std::sin(0.05 * k + i), 8); }

} // namespace

// Ten days in one run, and five days writing the state followed by five
// reading it, give the same routed discharge in the last five days.
TEST(RoutingState, AWarmStartContinuesTheRun) {
  const std::string dir = makeTestDirectory("routing_warm_files", true) + "/";
  std::ostringstream inflow;
  inflow << "YY MM DD HH Q C\n";
  for (int k = 0; k < 240; ++k)
    inflow << "2001 1 " << 1 + k / 24 << " " << k % 24 << " " << 0.001 * (k % 17) << " " << k % 5
           << "\n";
  const std::string inflowFile = std::filesystem::absolute(dir + "inflow.txt").string();
  writeFile(inflowFile, inflow.str());
  const std::string network = tg(2, 0.06) + longChannel("OL 1") + "\n" + tg(4, 0.12) +
                              longChannel("SUMTRIB 3&2") +
                              longChannel("ZL 1 = extern " + inflowFile + " 1 0", 0.5) + "\n";
  const auto run = [&](const std::string& name, int firstHour, int hours, int readMode,
                       int tracers) {
    auto r = std::make_unique<RoutingModelSetup>(name, tracers);
    RoutingModelSetup& s = *r;
    s.header = "0.5 2000 40 3";
    s.context.startDate = s.hourOf(firstHour);
    s.context.inputDirectory = s.context.outputDirectory =
        std::filesystem::absolute(dir).string() + "/";
    s.writeControlFile(network);
    EXPECT_EQ(s.build(), 0) << s.log.console.str();
    const std::string state = "routing.state";
    const int code = exitCodeOf([&] { s.wire(&state, readMode); });
    if (code != -1) return std::make_pair(std::move(r), code);
    for (int k = firstHour; k < firstHour + hours; ++k) {
      for (int i = 1; i <= 4; ++i) {
        s.runoff[0][static_cast<std::size_t>(i)] = runoffAt(k, i);
        if (tracers > 0) s.runoff[1][static_cast<std::size_t>(i)] = i + 0.1 * (k % 7);
      }
      s.step(k);
    }
    s.model->releaseModule();
    return std::make_pair(std::move(r), code);
  };
  const auto continuous = run("routing_continuous", 0, 240, 0, 1);
  const std::vector<std::string> whole = continuous.first->statisticLines();
  ASSERT_EQ(whole.size(), 240u) << continuous.first->log.console.str();
  EXPECT_EQ(run("routing_first_half", 0, 120, 0, 1).second, -1);
  const auto second = run("routing_second_half", 120, 120, 1, 1);
  EXPECT_EQ(second.second, -1) << second.first->log.lastEntry();
  const std::vector<std::string> warm = second.first->statisticLines();
  EXPECT_EQ(warm, std::vector<std::string>(whole.begin() + 120, whole.end()));
  EXPECT_NE(whole[120], whole[119]);

  // The state of another number of tracers does not fit, either way.
  EXPECT_EQ(run("routing_fewer_tracers", 120, 1, 1, 0).second, 71);
  EXPECT_EQ(run("routing_no_tracer_state", 0, 1, 0, 0).second, -1);
  EXPECT_EQ(run("routing_more_tracers", 120, 1, 1, 1).second, 71);
}

// The layout of the section for one element with a tributary and an inflow,
// all of it filled with a steady 1.5 mm per step.
TEST(RoutingState, WritesTheSectionLayout) {
  RoutingModelSetup s("routing_layout");
  for (int i = 1; i <= 4; ++i) s.runoff[0][static_cast<std::size_t>(i)] = 1.5;
  s.header = "1 1 1 2";
  s.writeControlFile(tg(2, 0.06) + channelText("OL 1", 2) + channelText("ZL 1 = constant 0", 2) +
                     "\n");
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  const std::string name = "layout.state";
  s.wire(&name, 0);
  std::vector<ReinfiltrationRecord> riverflow(6);
  s.model->setRiverflowTable(riverflow.data());
  s.model->releaseModule();
  // The inflow of 0 m^3/s leaves its channel empty; the own subbasin's 1.5
  // mm fill the tributary's queue and outflows. Each queue holds twice the
  // two sub-intervals of its single sub-channel (no delay); the write
  // position stands behind the first two. The record's discharge is 1.5 mm
  // over 0.03 km^2 in an hour, its speed that of the table's only row.
  EXPECT_EQ(readFile(s.path(name)),
            "[routing_model]\n"
            "2 (routing subbasin with tributaries 1\n"
            "0 1 (tracer/flow index and tributary subbasin)\n"
            "1.5 1.5 1.5 1.5 \n"
            "1.5 1.5  (wqtab[local tributary 1].Qaus[subchannel 1][1..2])\n"
            "0 2 (wqtab[local tributary 1].qvzuq[subchannel 1])\n"
            "1.5 (riverflow_table[1].flow_mm[1])\n"
            "0.012500000025000001 0.0073063395593926956 (riverflow_table[1].flowm3s/speed\n"
            "0 5 (tracer/flow index and external inflow)\n"
            "0 0 0 0 \n"
            "0 0  (wqtab[local tributary 2].Qaus[subchannel 1][1..2])\n"
            "0 2 (wqtab[local tributary 2].qvzuq[subchannel 1])\n"
            "0 (number of reservoirs)\n"
            "\n"
            "\n"
            "\n");

  // An earlier version's file ends with what the channels owed the soil of
  // the river cells: it still starts a run, which drops what was owed.
  RoutingModelSetup owed("routing_layout_owed");
  owed.header = "1 1 1 2";
  owed.context.inputDirectory = owed.log.directory + "/";
  writeFile(owed.path("owed.state"),
            readFile(s.path(name)) + "4 (subbasins of the river water the channels owe the soil)\n"
                                     "0 0.25 0 0 (owedRiverWater)\n");
  owed.writeControlFile(tg(2, 0.06) + channelText("OL 1", 2) + channelText("ZL 1 = constant 0", 2) +
                        "\n");
  ASSERT_EQ(owed.build(), 0);
  const std::string owedName = "owed.state";
  EXPECT_EQ(exitCodeOf([&] { owed.wire(&owedName, 1); }), -1) << owed.log.lastEntry();
  EXPECT_NE(owed.log.console.str().find("holds river water the channels owed the soil of the "
                                        "river cells (0.25 mm over the subbasins)"),
            std::string::npos)
      << owed.log.console.str();

  // Three sub-intervals make longer queues than the file holds.
  RoutingModelSetup other("routing_layout_other");
  other.header = "1 1 1 3";
  other.context.inputDirectory = s.log.directory + "/";
  other.writeControlFile(tg(2, 0.06) + channelText("OL 1", 2) +
                         channelText("ZL 1 = constant 0", 2) + "\n");
  ASSERT_EQ(other.build(), 0);
  EXPECT_EQ(exitCodeOf([&] { other.wire(&name, 1); }), 72);
  EXPECT_EQ(other.log.lastEntry(),
            "error in storage file content reading the translation queue of channel 1 (column 1) "
            "of routing subbasin 2:\nvalue in actual control is:   6\nbut value in storage file "
            "is: 4\nHorva throws...");
}

// A value of the section that is not wholly a number of its kind ends the
// warm start with 71, naming the file, the line and the text.
TEST(RoutingState, RefusesValuesThatAreNotWhollyNumbers) {
  struct Case {
    const char* what;
    std::string written; // a piece of the written section
    std::string read;    // what stands there instead
    std::string message;
  };
  const Case cases[] = {
      {"a glued queue value", "1.5 1.5 1.5 1.5 \n", "1.5 1.5 1.5x 1.5 \n",
       "line 4: the translation queue of channel 1 of routing subbasin 2 reads \"1.5x\", which is "
       "not a finite number"},
      {"a tracer index of a fraction", "0 1 (tracer", "0.5 1 (tracer",
       "line 3: the tracer and column of routing subbasin 2 reads \"0.5\", which is not a whole "
       "number"},
      {"a subbasin code with letters", "2 (routing", "2a (routing",
       "line 2: the subbasin code of routing subbasin 2 reads \"2a\", which is not a finite "
       "number"},
      {"a riverflow of nan", "1.5 (riverflow", "nan (riverflow",
       "line 7: the riverflow of routing subbasin 2 reads \"nan\", which is not a finite number"},
      {"a reservoir count of inf", "0 (number of reservoirs)", "inf (number of reservoirs)",
       "line 13: the number of reservoirs of routing subbasin 2 reads \"inf\", which is not a "
       "finite number"},
  };
  RoutingModelSetup s("routing_state_values");
  for (int i = 1; i <= 4; ++i) s.runoff[0][static_cast<std::size_t>(i)] = 1.5;
  s.header = "1 1 1 2";
  const std::string network =
      tg(2, 0.06) + channelText("OL 1", 2) + channelText("ZL 1 = constant 0", 2) + "\n";
  s.writeControlFile(network);
  ASSERT_EQ(s.build(), 0) << s.log.console.str();
  const std::string name = "values.state";
  s.wire(&name, 0);
  std::vector<ReinfiltrationRecord> riverflow(6);
  s.model->setRiverflowTable(riverflow.data());
  s.model->releaseModule();
  const std::string written = readFile(s.path(name));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text = written;
    ASSERT_NE(text.find(c.written), std::string::npos);
    text.replace(text.find(c.written), c.written.size(), c.read);
    writeFile(s.path(name), text);
    RoutingModelSetup again("routing_state_values_read");
    again.header = "1 1 1 2";
    again.context.inputDirectory = s.log.directory + "/";
    again.writeControlFile(network);
    ASSERT_EQ(again.build(), 0);
    std::vector<ReinfiltrationRecord> records(6);
    again.model->setRiverflowTable(records.data());
    EXPECT_EQ(exitCodeOf([&] { again.wire(&name, 1); }), 71);
    EXPECT_EQ(again.log.lastEntry(), "the state file " + s.path(name) + ", " + c.message +
                                         "; start from the files of a former run as it wrote "
                                         "them, or cold");
  }
}

// Read modes 0, 2 and 4 read nothing, but the name is kept for writing;
// without a name the state goes to "storage.ftz".
TEST(RoutingState, ReadsOnlyWhenAskedAndWritesWhereNamed) {
  for (int mode : {0, 2, 4, -1}) {
    SCOPED_TRACE(mode);
    RoutingModelSetup s("routing_read_modes");
    s.writeControlFile(tg(2, 0.06) + channelText("OL 1", 2) + "\n");
    ASSERT_EQ(s.build(), 0);
    const std::string name = "never_written_before.state";
    EXPECT_EQ(exitCodeOf([&] { s.wire(mode < 0 ? nullptr : &name, mode < 0 ? 1 : mode); }), -1);
    s.model->releaseModule();
    EXPECT_EQ(fileExists(s.path(name)), mode >= 0);
    EXPECT_EQ(fileExists(s.path("storage.ftz")), mode < 0);
  }
}
