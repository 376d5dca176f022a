#include <gtest/gtest.h>

#include <functional>

#include "tests/soil/unsatzon_fixture.h"

namespace {

// Entries of "[unsatzon_model]" by their position in the section.
constexpr size_t methodEntry = 1;
constexpr size_t interactionEntry = 2;
constexpr size_t pondEntry = 3;
constexpr size_t controlPointEntry = 72;
constexpr size_t qbottomEntry = 73;
constexpr size_t codesEntry = 79;
constexpr size_t kelsqdEntry = 80;
constexpr size_t kelsqiEntry = 81;
constexpr size_t kelsqlatEntry = 83;

const std::string groupText =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first "
    "AND the last subbasin code have\nto be specified with all their parameters like this:\n";

struct FailureCase {
  const char* what;
  std::function<void(std::vector<std::string>&, UnsatzonSetup&)> change;
  std::string extraSections;
  int code;
  std::string message; // a piece of the last log entry
};

} // namespace

// Every failure of the construction ends with its code and names what is
// wrong.
TEST(UnsatzonConstruction, FailuresEndWithTheirCodeAndMessage) {
  const std::vector<FailureCase> cases = {
      {"method 4", [](auto& l, auto&) { l[methodEntry] = "4  method"; }, "", 91,
       "in modul unsatzon_model:\ninvalid method (4)\npossible values are:\n 2 for Finite "
       "Differences with fixed timestep\n 3 for Finite Differences with dynamically calculated "
       "timestep\n"},
      {"control row beyond the grid", [](auto& l, auto&) { l[controlPointEntry] = "4 1"; }, "", 8,
       "row index (4) for output-cell must be between 1 and 3 (Input as row col) or 0 0 "},
      {"control column beyond the grid", [](auto& l, auto&) { l[controlPointEntry] = "1 5"; }, "",
       9, "column index (5) for output-cell must be between 1 and 4 (Input as row col) "},
      {"unreadable code", [](auto& l, auto&) { l[codesEntry] = "1 x 8"; }, "", 10,
       "error reading code[2] for unsatzon_model" + groupText},
      {"code without subbasin", [](auto& l, auto&) { l[codesEntry] = "1 9 8"; }, "", 10,
       "error! there is no code 9 ("},
      {"first code not the smallest", [](auto& l, auto&) { l[codesEntry] = "2 8"; }, "", 10,
       "error! the code 2 ("},
      {"too few codes", [](auto& l, auto&) { l[codesEntry] = "1 3"; }, "", 10,
       "error reading code[3] for unsatzon_model"},
      {"unreadable kelsqlat", [](auto& l, auto&) { l[kelsqlatEntry] = "1 y"; }, "", 10,
       "error reading kelsqlat[8] for unsatzon_model" + groupText},
      {"too few values in a line", [](auto& l, auto&) { l[kelsqiEntry] = "1"; }, "", 10,
       "error reading kelsqi[8] for unsatzon_model"},
      {"a negative write code of a grid that drainage alone writes",
       [](auto& l, auto&) {
         for (std::string& line : l)
           if (line == "0  write code of qdrain") line = "-1  write code of qdrain";
       },
       "", 17, "the value -1 of \"write code of QDRAIN\" must be 0 (never written)"},
      {"pond -1", [](auto& l, auto&) { l[pondEntry] = "-1  pond"; }, "", 17,
       "section [unsatzon_model]: the value -1 of \"pond parameter of \" must be 0 (off) or 1"},
      {"drainage 2", [](auto& l, auto&) { l[pondEntry + 1] = "2  drainage"; }, "", 17,
       "the value 2 of \"drainage parameter of \" must be 0 (off) or 1 (on)"},
      {"clay conductivity -1", [](auto& l, auto&) { l[pondEntry + 3] = "-1  k_sat"; }, "", 17,
       "the value -1 of \"k_sat. for clay\" must be 0 ... 1 (m/s)"},
      {"kelsqlat 0", [](auto& l, auto&) { l[kelsqlatEntry] = "0 1"; }, "", 10,
       "error! kelsqlat[1] is 0"},
      {"kelsqd above its bound", [](auto& l, auto&) { l[kelsqdEntry] = "2 10001"; }, "", 10,
       "error! kelsqd[8] is 10001 in [unsatzon_model] of "},
      {"kelsqlat above its bound", [](auto& l, auto&) { l[kelsqlatEntry] = "1e9 1"; }, "", 10,
       "error! kelsqlat[1] is 1e+09 in [unsatzon_model] of "},
      {"a channel density above its bound", [](auto& l, auto&) { l[kelsqiEntry + 1] = "101 1"; },
       "", 10, "error! channel network density[1] is 101 in [unsatzon_model] of "},
      {"a largest baseflow above its bound",
       [](auto& l, auto&) { l[kelsqlatEntry + 1] = "1 1001"; }, "", 10,
       "error! QB-Red.Faktor[8] is 1001 in [unsatzon_model] of "},
      {"a snowmelt fraction below 0", [](auto& l, auto&) { l[kelsqlatEntry + 2] = "-1 0.3"; }, "",
       10, "error! SnowRunoff_fraction[1] is -1 in [unsatzon_model] of "},
      {"a snowmelt fraction above 1", [](auto& l, auto&) { l[kelsqlatEntry + 2] = "0.3 1.5"; }, "",
       10, "error! SnowRunoff_fraction[8] is 1.5 in [unsatzon_model] of "},
      {"a missing entry", [](auto& l, auto&) { l.resize(87); }, "", 17,
       "error in control file, name of the storage content file ; (EOF)not found!"},
      {"a point file in a missing directory",
       [](auto& l, auto& s) {
         l[controlPointEntry] = "1 1";
         l[qbottomEntry] = s.base.log.directory + "/missing/qbottom.txt";
       },
       "", 62,
       "error opening file for hydraulic head (single point) \n-> check disk space or user "
       "rights"},
      {"a full registry",
       [](auto&, auto& s) {
         for (int k = 1; k < gridRegistryLimit; ++k) s.base.registry[k].hasFileName = true;
       },
       "", 12, "no more free grids in memeory, (max. 1000)!"},
      {"a missing required grid",
       [](auto&, auto& s) {
         for (GridRegistryEntry& e : s.base.registry)
           if (e.name == "albedo") e.name = "albedo_old";
       },
       "", 33, "albedo"},
      {"interaction 3", [](auto& l, auto&) { l[interactionEntry] = "3"; }, "", 17,
       "surface water interaction parameter (3) in [unsatzon_model]"},
      {"heat transfer without air temperature", [](auto&, auto&) {}, heatSection(11, "."), 33,
       "temperature"},
      {"a shortest heat step of 0", [](auto&, auto&) {},
       [] {
         std::string heat = heatSection(11, ".");
         return heat.replace(heat.find("\n60\n3600\n"), 9, "\n0\n3600\n");
       }(),
       17, "dTModShortestStep (0) in [heat_transfer] of "},
      {"a dry-soil conductivity beyond quartz", [](auto&, auto&) {},
       [] {
         std::string heat = heatSection(11, ".");
         return heat.replace(heat.find("\n2.5\n"), 5, "\n1e9\n");
       }(),
       17, "the value 1e+09 of \"dTModLamDrySoil\" must be above 0 and at most 10 (W/(m K))"},
      {"a lapse rate of 1 K/m", [](auto&, auto&) {},
       [] {
         std::string heat = heatSection(11, ".");
         return heat.replace(heat.find("\n-0.0065\n"), 9, "\n-1\n");
       }(),
       17, "the value -1 of \"dTModLapseRate\" must be -0.1 ... 0.1 (K/m)"},
      {"a suction factor of 1e9", [](auto&, auto&) {},
       [] {
         std::string heat = heatSection(11, ".");
         return heat.replace(heat.find("\n124.6\n"), 7, "\n1e9\n");
       }(),
       17, "the value 1e+09 of \"dTModFactor\" must be at most 1000 (m/K; 0 or below: no ice)"},
      {"a longest heat step above a day", [](auto&, auto&) {},
       [] {
         std::string heat = heatSection(11, ".");
         return heat.replace(heat.find("\n3600\n"), 6, "\n86401\n");
       }(),
       17, "the value 86401 of \"dTModLongestStep\" must be 0 (no limit) or at most a day"},
      {"a temperature file in a missing directory",
       [](auto& l, auto& s) {
         l[controlPointEntry] = "1 1";
         s.base.addGrid("temperature", uniform(5.0));
       },
       heatSection(11, ".", "missing/temper.txt"), 62,
       "error opening file for soil temperatures (single point details) \n-> check disk space "
       "or user rights"},
      {"a lake without ponding", [](auto&, auto& s) { s.base.addGrid("lake_codes", uniform(1.0)); },
       "[lake_model]\n1 flow\n1 method\n", 215,
       "Error in initialization method for [lake_model].\npond_use must be set in "
       "unsatzon_model (the pond parameter of [unsatzon_model] in "},
      {"lake method 3",
       [](auto& l, auto& s) {
         l[pondEntry] = "1  pond";
         s.base.addGrid("lake_codes", uniform(1.0));
         s.base.addGrid("max_ponding_storage", uniform(0.5));
       },
       "[lake_model]\n1 flow\n3 method\n", 215,
       "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"},
      {"ini_gw_level 0", [](auto& l, auto&) { l[7] = "0  ini_gw_level"; }, "", 17,
       "ini_gw_level (0) in [unsatzon_model]"},
  };
  for (const FailureCase& f : cases) {
    SCOPED_TRACE(f.what);
    UnsatzonSetup setup(std::string("unsatzon_failure_") + std::to_string(&f - cases.data()));
    std::vector<std::string> lines = setup.lines;
    f.change(lines, setup);
    int code = 0;
    auto module = setup.build(lines, code, f.extraSections);
    EXPECT_EQ(code, f.code);
    EXPECT_EQ(module, nullptr);
    EXPECT_NE(setup.base.log.console.str().find(f.message), std::string::npos)
        << setup.base.log.console.str();
  }
}

// The codes line "1 8" gives subbasins 2 .. 7 the values of subbasin 1;
// storage constants become minutes, with 0.06 as the least; a negative
// baseflow recession constant means none.
TEST(UnsatzonConstruction, SubbasinTableFillsGroupsAndConverts) {
  UnsatzonSetup setup("unsatzon_subbasins");
  std::vector<std::string> lines = setup.lines;
  lines[kelsqdEntry] = "0 2  kelsqd";
  lines[kelsqiEntry] = "2 0.5  kelsqi";
  lines[kelsqdEntry + 2] = "3 4";
  lines[kelsqlatEntry] = "-1 50";
  lines[kelsqlatEntry + 1] = "7 8";
  lines[kelsqlatEntry + 2] = "0.5 0.25";
  auto module = setup.build(lines);
  ASSERT_NE(module, nullptr);
  struct Row {
    double kelsqd, kelsqi, density, kelsqlat, maxBaseflow, snow;
  };
  const Row first = {0.06, 120.0, 3.0, 0.0, 7.0, 0.5};
  const Row last = {120.0, 30.0, 4.0, 0.02, 8.0, 0.25};
  for (int i = 1; i <= 8; ++i) {
    SCOPED_TRACE(i);
    const Row& want = i < 8 ? first : last;
    EXPECT_EQ(module->subbasinCodes[i], i);
    EXPECT_DOUBLE_EQ(module->getKelsqd()[i], want.kelsqd);
    EXPECT_DOUBLE_EQ(module->getKelsqi()[i], want.kelsqi);
    EXPECT_DOUBLE_EQ(module->channelDensity[i], want.density);
    EXPECT_DOUBLE_EQ(module->kelsqlat[i], want.kelsqlat);
    EXPECT_DOUBLE_EQ(module->maxBaseflow[i], want.maxBaseflow);
    EXPECT_DOUBLE_EQ(module->snowRunoffFraction[i], want.snow);
  }
  EXPECT_EQ(*module->getStorageFileName(), "state_0");
}

// "[unsatzon_tuning]" sets its keys from files with LF and with CRLF line
// ends up to the next section; without it the defaults hold.
TEST(UnsatzonConstruction, TuningIsReadWithEitherLineEnd) {
  struct Case {
    const char* what;
    std::string section;
    double maxError, maxIterations;
  };
  const std::vector<Case> cases = {
      {"LF", "[unsatzon_tuning]\nmax_error = 1e-7\n  max_iterations = 50\n[x]\nmax_error = 3\n",
       1e-7, 50.0},
      {"CRLF", "[unsatzon_tuning]\r\n\tmax_iterations=70\r\nmax_error = 2e-6\r\n", 2e-6, 70.0},
      {"absent", "", 1e-5, 100.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UnsatzonSetup setup(std::string("unsatzon_tuning_") + c.what);
    int code = 0;
    auto module = setup.build(setup.lines, code, c.section);
    ASSERT_EQ(code, 0);
    EXPECT_DOUBLE_EQ(module->getSettings().maxError, c.maxError);
    EXPECT_DOUBLE_EQ(module->getSettings().maxIterations, c.maxIterations);
  }
}

// A control point with one coordinate 0 is none, with a warning.
TEST(UnsatzonConstruction, WarnsOfAControlPointWithOneCoordinate) {
  UnsatzonSetup setup("unsatzon_half_point");
  std::vector<std::string> lines = setup.lines;
  lines[controlPointEntry] = "2 0";
  auto module = setup.build(lines);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->getSettings().controlRow, 0);
  EXPECT_TRUE(setup.base.log.console.str().find("in modul unsatzon_model: the control "
                                                "point row 2 column 0 has only one coordinate") !=
              std::string::npos);
  EXPECT_FALSE(fileExists(setup.base.log.directory + "/qbottom.txt"));
}
