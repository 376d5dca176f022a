#include <gtest/gtest.h>

#include <sstream>

#include "tests/routing/reservoir_fixture.h"

namespace {

const std::string linear = "2\n0 0\n1e6 10\nWeekDays = -1\n";

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

std::size_t fieldsOf(const std::string& line) {
  return static_cast<std::size_t>(std::count(line.begin(), line.end(), '\t')) + 1;
}

} // namespace

// Each key from the reservoir's own text: a second reservoir's keys, or a
// key inside another word, are not taken.
TEST(Reservoir, ReadsItsKeysFromItsOwnText) {
  ReservoirRig rig("reservoir_keys", 2);
  auto sp = rig.make(3, " (input_file = x file = /abs/r3.txt V0 = 7 C0 = 1 2 3 4 5 6 7 8 9)", "");
  EXPECT_EQ(sp->getOutputFileName(), "/abs/r3.txt");
  EXPECT_EQ(sp->getVolume(), 7.0);
  EXPECT_EQ(sp->getConcentration(2), 2.0);
  EXPECT_EQ(sp->getDTmin(), 60.0);
  EXPECT_EQ(sp->getUseRunningAvg(), 0);
  auto relative = rig.make(4, reservoirKeys(" dTmin = 600 UseRunningAvg = 6", 1.5), "");
  EXPECT_EQ(relative->getOutputFileName(), rig.path("res.txt"));
  EXPECT_EQ(relative->getDTmin(), 600.0);
  EXPECT_EQ(relative->getUseRunningAvg(), 6);
  // Lake Victoria, routed as a reservoir, holds some 2.7e12 m3.
  auto lake = rig.make(5, " (file = v.txt V0 = 2.7e12 C0 = 0 0 0 0 0 0 0 0 0)", "");
  EXPECT_EQ(lake->getVolume(), 2.7e12);
}

// I and B0 above the volume take only what it holds; a plain reservoir
// books its change of storage and an error of 0.
TEST(Reservoir, BalancesPlainReservoirsAndTakesNoMoreThanItHolds) {
  struct Case {
    double volume, irrigation, abstraction, inflow;
    int year;
    double irrigated, abstracted, outflow;
  };
  // Rule a V with a = 1e-5 1/s, one sub-step of an hour.
  const std::vector<Case> cases = {
      {1000, 300, 200, 0, 2001, 300, 200, 1e-5 * 500 * 0.964},
      {1000, 1500, 200, 0, 2001, 1000, 0, 0},
      {1000, 300, 900, 0, 2001, 300, 700, 0},
      {1e6, 0, 0, 2, 2001, 0, 0, 1e-5 * (1e6 + 7200) * 0.964},
      {1e6, 100, 0, 2, 0, 100, 0, 1e-5 * (1e6 - 100 + 7200) * 0.964},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.irrigation);
    ReservoirRig rig("reservoir_balance");
    auto sp = rig.make(1, reservoirKeys(" dTmin = 3600", c.volume), linear);
    sp->Balance(60, c.irrigation, c.abstraction, nullptr, c.inflow, c.year, 1, 1, 8, 0);
    EXPECT_NEAR(sp->term(SP_class::Irrig).m3, c.irrigated, 1e-9);
    EXPECT_NEAR(sp->term(SP_class::Abstr).m3, c.abstracted, 1e-9);
    EXPECT_GE(sp->getVolume(), 0.0);
    // The hour's outflow of a V' = V + Qin dt is a V' less what it drained
    // itself: (1 - a dt) of the drained volume stays; here to 1e-6.
    if (c.year > 0) {
      const double start = c.volume - c.irrigated - c.abstracted + 3600 * c.inflow;
      EXPECT_NEAR(sp->getVolume(), start - 3600 * sp->getOutflow(), 1e-6);
      EXPECT_NEAR(sp->term(SP_class::dV).m3, sp->getVolume() - c.volume, 1e-6);
    } else {
      EXPECT_EQ(sp->getVolume(), c.volume - c.irrigated);
    }
    EXPECT_NEAR(sp->term(SP_class::Err).m3,
                c.year > 0 ? 0.0 : -3600 * c.inflow + 3600 * sp->getOutflow(), 1e-6);
    EXPECT_EQ(sp->term(SP_class::Qin).mm, 0.0);
    EXPECT_EQ(sp->term(SP_class::Qin).m3s, c.inflow);
  }
}

TEST(Reservoir, MixesConcentrationsByVolume) {
  SP_class sp;
  EXPECT_EQ(sp.MixConcentration(1.0, 3.0, 5.0, 5.0), 2.0);
  EXPECT_EQ(sp.MixConcentration(1.0, 3.0, 0.0, 0.0), 0.0);
  EXPECT_EQ(sp.MixConcentration(1.0, 3.0, -1.0, 3.0), 2.5);
}

// The header for hourly and quarter-hourly steps, the rows with their date
// columns, 30 values and the tracers.
TEST(Reservoir, WritesItsTableWithAHeaderAndBufferedRows) {
  const std::string terms =
      "\tW[m]\tA[m2]\tV[m3]\tQin[m3]\tQin[mm]\tQin[m3s]\tQout[m3]\tQout[mm]\tQout[m3s]\tIrrig[m3]"
      "\tIrrig[mm]\tIrrig[m3s]\tQGW[m3]\tQGW[mm]\tQGW[m3s]\tETR[m3]\tETR[mm]\tETR[m3s]\tPREC[m3]"
      "\tPREC[mm]\tPREC[m3s]\tdV[m3]\tdV[mm]\tdV[m3s]\tAbstr[m3]\tAbstr[mm]\tAbstr[m3s]\tErr[m3]"
      "\tErr[mm]\tErr[m3s]\tA\tB";
  for (int step : {60, 15}) {
    SCOPED_TRACE(step);
    ReservoirRig rig("reservoir_table", 2, step);
    auto sp = rig.make(1, reservoirKeys(), linear);
    sp->WriteOutputHeader();
    const std::string header = std::string("YY\tMM\tDD\tHH") + (step < 60 ? "\tmm" : "") + terms;
    EXPECT_EQ(readFile(rig.path("res.txt")), header + "\nreservoir_1\n" + header + "\n");
    for (int k = 0; k < 3; ++k) {
      sp->Balance(step, 0, 0, rig.runoff.data(), 0.0, 2001, 1, 2, k, 15);
      sp->StoreOutputRow(2001, 1, 2, k, 15);
    }
    sp->FlushOutput(1);
    const std::vector<std::string> lines = linesOf(readFile(rig.path("res.txt")));
    ASSERT_EQ(lines.size(), 6u);
    const std::size_t dates = step < 60 ? 5 : 4;
    EXPECT_EQ(fieldsOf(lines[5]), dates + 30 + 2);
    EXPECT_EQ(lines[3].substr(0, step < 60 ? 16 : 14),
              step < 60 ? "2001\t 1\t 2\t 0\t15" : "2001\t 1\t 2\t 0\t");
  }
}

// 2097152 / (8 * 38) = 6898 rows with 3 tracers; the row after a full
// buffer starts the next block.
TEST(Reservoir, FlushesAFullBufferBeforeTheNextRow) {
  ReservoirRig rig("reservoir_buffer", 3);
  auto sp = rig.make(1, reservoirKeys(), linear);
  EXPECT_EQ(sp->getOutputCapacity(), 6898u);
  sp->WriteOutputHeader();
  for (int k = 0; k < 6898; ++k) sp->StoreOutputRow(2001, 1, 1, 0, 0);
  EXPECT_EQ(linesOf(readFile(rig.path("res.txt"))).size(), 3u);
  sp->StoreOutputRow(2002, 1, 1, 0, 0);
  EXPECT_EQ(sp->getOutputRowCount(), 1u);
  const std::vector<std::string> lines = linesOf(readFile(rig.path("res.txt")));
  EXPECT_EQ(lines.size(), 3u + 6898u);
  EXPECT_EQ(lines.back().substr(0, 4), "2001");
  sp->FlushOutput(1);
  EXPECT_EQ(linesOf(readFile(rig.path("res.txt"))).back().substr(0, 4), "2002");
}

// Every failure of a reservoir's set-up and output, with its code.
TEST(Reservoir, RefusesFaultySetUpsWithTheirCodes) {
  struct Case {
    const char* what;
    std::function<void(ReservoirRig&)> run;
    int code;
    std::string message;
  };
  const std::string connection =
      "0\nHydraulicConnection {TargetReservoir = 2; ChannelWidth = 10;"
      " ChannelBottom = 500; ChannelLength = 1000; RoughnessCoeff = 30;}\n";
  const std::vector<Case> cases = {
      {"no file", [](ReservoirRig& r) { r.make(1, " (V0 = 0 C0 = 0 0 0 0 0 0 0 0 0)", ""); }, 35,
       "for reservoir 1: no \"file =\" found!"},
      {"no V0", [](ReservoirRig& r) { r.make(1, " (file = a C0 = 0 0 0 0 0 0 0 0 0)", ""); }, 35,
       "for reservoir 1: no \"V0 =\" found!"},
      {"V0 above its bound",
       [](ReservoirRig& r) { r.make(1, " (file = a V0 = 2e14 C0 = 0 0 0 0 0 0 0 0 0)", ""); }, 35,
       "\"V0 =\" reads \"2e14\", a volume must be at most 1e14 m3"},
      {"a negative C0",
       [](ReservoirRig& r) { r.make(1, " (file = a V0 = 0 C0 = 0 0 -1 0 0 0 0 0 0)", ""); }, 35,
       "\"C0 =\" reads \"-1\", a concentration must be 0 ... 1e6"},
      {"C0 above its bound",
       [](ReservoirRig& r) { r.make(1, " (file = a V0 = 0 C0 = 0 0 0 0 0 0 0 0 2e6)", ""); }, 35,
       "\"C0 =\" reads \"2e6\", a concentration must be 0 ... 1e6"},
      {"dTmin above a day",
       [](ReservoirRig& r) {
         r.make(1, " (file = a V0 = 0 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 86401)", "");
       },
       35, "\"dTmin =\" reads \"86401\", a sub-step must be above 0 s and at most a day"},
      {"no C0", [](ReservoirRig& r) { r.make(1, " (file = a V0 = 0)", ""); }, 35,
       "for reservoir 1: no \"C0 =\" found!"},
      {"no rule section",
       [](ReservoirRig& r) {
         writeFile(r.rulesFile, "[other]\n");
         auto sp = r.make(1, reservoirKeys(), "");
         FILE* f = std::fopen(r.rulesFile.c_str(), "r");
         const int code = exitCodeOf([&] { sp->ReadAbstractionRules(f, r.rulesFile); });
         std::fclose(f);
         throw code;
       },
       34, "section [abstraction_rule_reservoir_1] not found in control file"},
      {"connection key missing",
       [](ReservoirRig& r) {
         r.make(1, reservoirKeys(), "0\nHydraulicConnection {TargetReservoir = 2;}\n");
       },
       29,
       "reading HydraulicConnection parameters for SP 1: some values could not be read\n"
       "HydraulicConnection {TargetReservoir = 2;}"},
      {"volumes falling with the rows",
       [](ReservoirRig& r) { r.make(1, reservoirKeys(), "3\n0 0\n5e6 2\n4e6 3\n"); }, 34,
       "the volume of the first column must not fall from row to row; row 3 holds 4e+06 after "
       "5e+06"},
      {"flow-indexed volumes falling",
       [](ReservoirRig& r) { r.make(1, reservoirKeys(), "2\n0 5e6\n2 4e6\nTableIndex = Flow\n"); },
       34, "the volume of column 1 must not fall from row to row; row 2 holds 4e+06 after 5e+06"},
      {"connection of a plain reservoir",
       [&](ReservoirRig& r) { r.make(1, reservoirKeys(), connection)->checkHydraulicConnection(); },
       29, "reservoir 1 (subbasin 1) has a HydraulicConnection, but it is no lake"},
      {"connection to no reservoir",
       [&](ReservoirRig& r) {
         r.lakeCells(std::vector<double>(12, 1), std::vector<double>(12, 500),
                     std::vector<double>(12, 1000));
         auto sp = r.make(1, reservoirKeys(), connection, true);
         LevelRegistry levels;
         sp->RegisterLevel(levels);
         sp->checkHydraulicConnection();
       },
       29,
       "reservoir 1 (subbasin 1): the TargetReservoir 2 of its HydraulicConnection is no "
       "reservoir"},
      {"table file in no directory",
       [](ReservoirRig& r) {
         r.make(1, " (file = /no/such/dir/r.txt V0 = 0 C0 = 0 0 0 0 0 0 0 0 0)", "")
             ->WriteOutputHeader();
       },
       37, "error opening /no/such/dir/r.txt for reservoir 1"},
      {"table file gone",
       [](ReservoirRig& r) {
         auto sp = r.make(1, " (file = /no/such/dir/r.txt V0 = 0 C0 = 0 0 0 0 0 0 0 0 0)", "");
         sp->StoreOutputRow(2001, 1, 1, 0, 0);
         sp->FlushOutput(1);
       },
       65, "error opening reservoir file /no/such/dir/r.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReservoirRig rig("reservoir_refusals");
    EXPECT_EQ(exitCodeOf([&] { c.run(rig); }), c.code);
    EXPECT_NE(rig.log.lastEntry().find(c.message), std::string::npos) << rig.log.lastEntry();
  }
}
