#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/routing/routing_model_fixture.h"

namespace {

std::string tg(int code, double area) {
  return "TG " + std::to_string(code) + " (AREA = " + std::to_string(area) + ", F = 1)";
}

const std::string chain = tg(2, 0.06) + channelText("OL 1", 2) + "\n" + tg(3, 0.09) +
                          channelText("OL 2", 2) + "\n" + tg(4, 0.12) + channelText("OL 3", 2) +
                          "\n";

// Builds and, with `wire`, wires a model; returns the exit code.
int buildAndWire(RoutingModelSetup& s, const std::string& descriptions, bool wire) {
  s.writeControlFile(descriptions);
  const int code = s.build();
  if (code != 0 || !wire) return code;
  return exitCodeOf([&] { s.wire(); });
}

} // namespace

// Every refusal of the section, the network, routing-only mode and the state
// file names its fault, with its code.
TEST(RoutingModel, RefusesFaultySetUpsWithTheirCodes) {
  const std::string dir =
      std::filesystem::absolute(makeTestDirectory("routing_refusals_files", true)).string();
  writeFile(dir + "/bad_observed.txt", "YY MM DD HH Q\n2001 1 x 0 5\n");
  writeFile(dir + "/3cols.stat", "YY MM DD HH A B C\n2001 1 1 0 1 2 3\n");
  struct Case {
    const char* what;
    std::function<int(RoutingModelSetup&)> run;
    int code;
    std::string message; // a piece of the last entry
  };
  const auto with = [](const std::string& descriptions, bool wire = false) {
    return [=](RoutingModelSetup& s) { return buildAndWire(s, descriptions, wire); };
  };
  const auto routingOnly = [](const std::string& table) {
    return [=](RoutingModelSetup& s) {
      s.context.routingOnly = true;
      if (!table.empty()) writeFile(s.path("qg.stat"), table);
      return buildAndWire(s, chain, true);
    };
  };
  const std::vector<std::vector<double>> zero(3, std::vector<double>(4, 0.0));
  const Case cases[] = {
      {"header line 3",
       [](RoutingModelSetup& s) {
         s.header = "1 1000";
         return buildAndWire(s, chain, false);
       },
       17,
       "values for min/max specific discharge and/or discharge and time interval "
       "splitting   \nnot found in control file"},
      {"tables beyond 1e5 l/s/km2",
       [](RoutingModelSetup& s) {
         s.header = "1 2e5 30 1";
         return buildAndWire(s, chain, false);
       },
       17,
       "section [routing_model]: the value 200000 of \"the largest specific discharge of the "
       "tables\" must be at most 1e5 (l/s/km2)"},
      {"steps left out below 0",
       [](RoutingModelSetup& s) {
         s.criteriaOffset = -1;
         return buildAndWire(s, chain, false);
       },
       17, "the value -1 of \"Zeitoffset fuer Beginn der R-square-Berechnung fuer\" counts"},
      {"an area beyond any basin", with(tg(2, 2e7) + channelText("OL 1", 2) + "\n"), 17,
       "the area of TG 2 is 2e+07, which must be above 0 and at most 1e7 (km2)"},
      {"an area factor above 100",
       with("TG 2 (AREA = 0.06, F = 101)" + channelText("OL 1", 2) + "\n"), 17,
       "the area factor of TG 2 is 101, which must be above 0 and at most 100"},
      {"abstraction number 0",
       with(tg(2, 0.06) + channelText("OL 1", 2) + " AL 0 = intern 2 0.5 1e9 mm\n"), 17,
       "the number of AL 1 is 0, which must be 1 or more"},
      {"descriptor without subbasin",
       [](RoutingModelSetup& s) {
         s.columnDescriptors = "1\nx";
         return buildAndWire(s, chain, false);
       },
       17, "error reading a subbasin index for column indexing in routing model"},
      {"descriptor without column",
       [](RoutingModelSetup& s) {
         s.columnDescriptors = "1\n3";
         return buildAndWire(s, chain, false);
       },
       17, "error reading a column number for column indexing in routing model"},
      {"end of file in the descriptions",
       [](RoutingModelSetup& s) {
         writeFile(s.context.controlFileName, "[routing_model]\n1\n60\n1 1 1 1\nrouted.stat "
                                              "2001\nnone.txt\n0\n0\n" +
                                                  tg(2, 0.06));
         return s.build();
       },
       38, "error reading a routing description from control file! (eof reached)."},
      {"no observed-discharge line",
       [](RoutingModelSetup& s) {
         writeFile(s.context.controlFileName,
                   "[routing_model]\n1\n60\n1 1 1 1\nrouted.stat 2001\n");
         return s.build();
       },
       17, "error in control file, name of spec.discharge files for ; (EOF)not found!"},
      {"line too long", with(tg(2, 0.06) + std::string(2400, 'x') + "\n"), 40,
       "string is too long (max. 2400 chars):\n"},
      {"TG without zone", with(tg(9, 0.03) + "\n"), 41, "there is no subbasin with code 9"},
      {"a code ends with its line",
       with("TG 9\n2 (A = 0.03, F = 1)" + channelText("OL 3", 2) + "\n"), 41,
       "there is no subbasin with code 9"},
      {"OL without zone", with(tg(2, 0.06) + channelText("OL 7", 2) + "\n"), 41,
       "there cant be a tributary with code 7 for no subbasin (according to zones)\n"},
      {"OL into itself", with(tg(2, 0.06) + channelText("OL 2", 2) + "\n"), 41,
       "subbasin 2: code of tributary 1 (2) is equal to subbasin code!\nIt is not allowed to rout "
       "the outflow of a subbasin back into \nthe same subbasin. Use a reservoir instead.\n"},
      {"SUMTRIB without zone", with(tg(2, 0.06) + channelText("SUMTRIB 8&1", 2) + "\n"), 41,
       "there cant be a tributary with code 8 for no subbasin (according to zones)"},
      {"ZL numbered 4 of three",
       with(tg(4, 0.12) + channelText("ZL 1 = constant 1", 2) +
            channelText("ZL 2 = constant 1", 2) + channelText("ZL 4 = constant 1", 2) + "\n"),
       42,
       "there is/are only 3 inflow(s) for the entire basin,\n but the codes ranges from 1 to at "
       "least 4! in routing_model"},
      {"mode word in capitals", with(tg(4, 0.12) + channelText("ZL 1 = Constant 1", 2) + "\n"), 42,
       "the modus \"Constant\" is not supported for inflow 1"},
      {"internal inflow without a feeder",
       with(tg(4, 0.12) + channelText("ZL 1 = intern", 2) + "\n", true), 302,
       "Internal Inflow ZL 1 has no conenction to an internal abstraction."},
      {"TOTAL is an abstraction",
       with("TG 2 (TOTAL = 0.06, F = 1)" + channelText("OL 1", 2) + "\n"), 17,
       "routing description 1 of [routing_model]: no value for the number of AL 1"},
      {"reservoir without its keys", with(tg(2, 0.06) + channelText("OL 1", 2) + " SP 1\n"), 35,
       "for reservoir 1: no \"file =\" found!"},
      {"downstream before upstream",
       with(tg(3, 0.09) + channelText("OL 2", 2) + "\n" + tg(2, 0.06) + channelText("OL 1", 2) +
            "\n"),
       41,
       "routing description 1 (TG 3) stands before routing description 2 (TG 2), whose outflow "
       "it routes"},
      {"descriptions routing each other",
       with(tg(2, 0.06) + channelText("OL 3", 2) + "\n" + tg(3, 0.09) + channelText("OL 2", 2) +
            "\n"),
       41, "the routing descriptions of [routing_model] form a cycle: TG 2 -> TG 3 -> TG 2; "},
      {"unreadable observed file",
       [dir](RoutingModelSetup& s) {
         s.observedFile = dir + "/bad_observed.txt";
         return buildAndWire(s, chain, false);
       },
       203, "error analysing or reading " + dir + "/bad_observed.txt at row 2 or before \n"},
      {"no runoff source",
       [](RoutingModelSetup& s) {
         s.writeControlFile(chain);
         s.build();
         return exitCodeOf([&] { s.model->SetRunoffSource(nullptr); });
       },
       43,
       "No valid discharges for discharge routing!\nYou have to run the model including at "
       "least precipitation interpolation and soil model\nif discharges are wished."},
      {"no former run", routingOnly(""), 1400,
       "/qg.stat\nseparate routing with -mode:routing can only be done with valid input data as "
       "result of a former model run (total runoff for each subbasin)!"},
      {"former run of three columns",
       [dir](RoutingModelSetup& s) {
         s.context.routingOnly = true;
         s.runoffFile = dir + "/3cols.stat";
         return buildAndWire(s, chain, true);
       },
       1410, "/3cols.stat doesn't match the number of subbasins defined in the control file!"},
      {"former run after the start", routingOnly(runoffTable(zero, 5)), 1420,
       "error looking for start date 2001-01-01 00:00 (run into error at actual position: "
       "2001-01-01 07:00) in "},
      {"former run in steps of two hours",
       [&zero](RoutingModelSetup& s) {
         s.context.routingOnly = true;
         writeFile(s.path("qg.stat"), runoffTable(zero) + "2001\t 1\t 1\t 4\t0\t0\t0\t0\t0\n");
         if (buildAndWire(s, chain, true) >= 0) return -2;
         return exitCodeOf([&] {
           for (int k = 0; k < 4; ++k) s.model->nextRoutingRecord();
         });
       },
       1420,
       " at 2001-01-01 02:00 and 2001-01-01 04:00 do not lie one routing step (60 minutes) "
       "apart"},
      {"no state file",
       [](RoutingModelSetup& s) {
         const std::string name = "missing.state";
         s.context.inputDirectory = s.log.directory + "/";
         buildAndWire(s, chain, false);
         return exitCodeOf([&] { s.wire(&name, 1); });
       },
       64, "error opening storage content file "},
      {"state file without routing section",
       [](RoutingModelSetup& s) {
         const std::string name = s.path("other.state");
         writeFile(name, "[unsatzon_model]\n1 2 3\n");
         buildAndWire(s, chain, false);
         return exitCodeOf([&] { s.wire(&name, 1); });
       },
       71, "error looking for the section routing_model in "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RoutingModelSetup s("routing_refusals");
    EXPECT_EQ(c.run(s), c.code);
    EXPECT_NE(s.log.lastEntry().find(c.message), std::string::npos) << s.log.lastEntry();
  }
}

// The eight counts of the first reading, summed-tributary lists that stop at
// a blank, and an empty list of descriptions.
TEST(RoutingModel, CountsTheKeywordsAndReadsSummedLists) {
  struct Case {
    const char* what;
    std::string descriptions;
    int counts[8];
    std::vector<int> tributaries; // columns in reading order
  };
  const Case cases[] = {
      {"no description", "", {0, 0, 0, 0, 0, 0, 0, 0}, {}},
      {"summed lists",
       tg(4, 0.12) + channelText("SUMTRIB 1&2", 2) + "\n" + channelText("SUMTRIB 3 &2", 2) + "\n",
       {1, 4, 0, 4, 2, 0, 0, 0},
       {1, 2, 3}},
  };
  const char* const labels[8] = {
      "number inbetween areas (routings)    : ", "number tributaries  total      (OL)  : ",
      " - flowing into another at the end   : ", " - flowing into another at the start : ",
      "so the total of routingchannels is   : ", "number of inflows              (ZL)  : ",
      "number of abstractions         (AL)  : ", "number reservoirs              (SP)  : "};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RoutingModelSetup s("routing_counts");
    ASSERT_EQ(buildAndWire(s, c.descriptions, true), -1) << s.log.console.str();
    for (int k = 0; k < 8; ++k)
      EXPECT_TRUE(s.log.hasEntry(labels[k] + std::to_string(c.counts[k]))) << labels[k];
    const RoutingTopology& topology = *s.model->getRoutingTarget();
    std::vector<int> read(topology.tributaries.begin() + 1, topology.tributaries.end() - 1);
    EXPECT_EQ(read, c.tributaries);
    for (int column : c.tributaries) EXPECT_EQ(topology.downstream[column], 4);
    EXPECT_EQ(s.model->getElementCount(), c.counts[0]);
    EXPECT_EQ(s.model->getMaxStorageCount(), c.counts[0] > 0 ? 1 : 0);
    EXPECT_EQ(s.log.console.str().find("INFO: Basin"), std::string::npos);
    EXPECT_EQ(readFile(s.path("routed.stat")).substr(0, 24),
              "YY\tMM\tDD\tHH\t\"1\"\t\"2\"\t\"3\"\t");
  }
}

// A value at the end of a line ends there: the next line's keyword, sign or
// value does not run into it. Each description routes as its form on one line.
TEST(RoutingModel, ReadsAValueAtTheEndOfALineAsWhole) {
  const std::string channel = "K = 2, KF = 2, B = 10, BF = 10, T = 100, M = 30, MF = 15, "
                              "I = 0.001, L = 1, A = 0.03";
  struct Case {
    const char* what;
    std::string oneLine;
    std::string joined;
  };
  const Case cases[] = {
      {"area factor before a keyword in column 1",
       tg(3, 0.09) + " OL 2 (" + channel + ")\n" + tg(4, 0.12) + " OL 3 (" + channel + ")\n",
       "TG 3 area = 0.09 factor = 1\nOL 2 " + channel + "\nTG 4 area = 0.12 factor = 1\nOL 3 " +
           channel + "\n"},
      {"channel value before an inflow",
       tg(4, 0.12) + " OL 3 (" + channel + ") ZL 1 = constant 0.01 (" + channel + ")\n",
       tg(4, 0.12) + "\n OL 3 " + channel + "\nZL 1 = constant 0.01 " + channel + "\n"},
      {"summed tributary before its further code",
       tg(4, 0.12) + " SUMTRIB 1&2 (" + channel + ") OL 3 (" + channel + ")\n",
       tg(4, 0.12) + "\n SUMTRIB 1\n&2 (" + channel + ") OL 3 (" + channel + ")\n"},
  };
  const auto routed = [](const std::string& descriptions, std::vector<std::string>& lines) {
    RoutingModelSetup s("routing_line_ends");
    ASSERT_EQ(buildAndWire(s, descriptions, true), -1) << s.log.console.str();
    for (int k = 0; k < 12; ++k) {
      for (int i = 1; i <= 4; ++i)
        s.runoff[0][static_cast<std::size_t>(i)] = k >= 1 && k <= 6 ? 0.2 * i + 0.1 * k : 0.0;
      s.step(k);
    }
    s.model->flushOutputs();
    lines = s.statisticLines();
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> expected;
    std::vector<std::string> read;
    routed(c.oneLine, expected);
    routed(c.joined, read);
    ASSERT_EQ(expected.size(), 12u);
    EXPECT_EQ(read, expected);
  }
}
