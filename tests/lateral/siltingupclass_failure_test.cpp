#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/lateral/silting_fixture.h"

namespace {

const std::string groups =
    "\npossible error by using the same parameters\nfor groups of subbasins:";

SiltingSection section(const std::function<void(SiltingSection&)>& change) {
  SiltingSection s;
  change(s);
  return s;
}

} // namespace

// Each failure of the construction: its exit code and the text of its
// FATAL entry, which the console shows without "FATAL: ".
TEST(SiltingFailures, EndTheConstructionWithTheirCodesAndTexts) {
  struct Case {
    std::string what;
    SiltingSection section;
    std::function<void(SiltingSetup&)> prepare;
    int code;
    std::string text; // "<file>" stands for the control file's name
  };
  auto none = [](SiltingSetup&) {};
  const std::vector<Case> cases = {
      {"glaciers",
       {},
       [](SiltingSetup& s) { s.addZoneGrid("GlacierCodes", 1.0); },
       2,
       "error: Silting-Up module cannot be used when glacier model is active. Remove grids for "
       "glacier codes and glaciated cell fractions from the grid list"},
      {"unreadable code", section([](SiltingSection& s) { s.table = "1 x 3\n0.2 0.2 0.2\n"; }),
       none, 10,
       "\n-----------------error------------\nerror reading code[2] for SiltingUpModel" + groups},
      {"no subbasin", section([](SiltingSection& s) { s.table = "1 2 9\n0.2 0.2 0.2\n"; }), none,
       10,
       "\n-----------------error------------\nerror! there is no code 9 (from <file>) for a "
       "subbasin in SiltingUpModel" +
           groups},
      {"rain pause missing", section([](SiltingSection& s) { s.table = "1 2 3\n0.2 0.2\n"; }), none,
       10,
       "\n-----------------error------------\nerror reading RainPause[3] for SiltingUpModel "
       "(minimum rainpause)" +
           groups},
      {"readgrids missing", section([](SiltingSection& s) { s.readGrids = ""; }), none, 10,
       "\n-----------------error------------\nerror reading readgrid-Parameter for "
       "SiltingUpModel\npossible reason: parameter missing or a linefeed \nbefore the end of the "
       "parameter block"},
      {"readgrids 2", section([](SiltingSection& s) { s.readGrids = "2  readgrids"; }), none, 17,
       "section [SiltingUpModel]: the value 2 of \"readgrid-Parameter\" must be 0 (cold start) "
       "or 1"},
      {"a negative rain pause", section([](SiltingSection& s) { s.table = "1 2 3\n0.2 -1 0.2\n"; }),
       none, 17,
       "the value -1 of \"RainPause of subbasin 2 (minimum rainpause)\" must be 0 ... 365 (days)"},
      {"a rain pause above a year",
       section([](SiltingSection& s) { s.table = "1 2 3\n0.2 0.2 366\n"; }), none, 17,
       "the value 366 of \"RainPause of subbasin 3 (minimum rainpause)\""},
      {"a negative initial infiltration rate", section([](SiltingSection& s) {
         s.method = "2";
         s.tail = "-1\n5\n0.5\n-0.6\n0.02\n-1\n0.7\n-0.2";
       }),
       none, 17, "the value -1 of \"parameter A for method 2 (I_0)\" must be 0 ... 1000 (mm/h)"},
      {"a negative disposition factor", section([](SiltingSection& s) {
         s.method = "2";
         s.tail = "30\n5\n0.5\n-0.6\n-0.02\n-1\n0.7\n-0.2";
       }),
       none, 17, "the value -0.02 of \"parameter E for method 2 (C_v)\" must be 0 ... 10"},
      {"an exponent of 1e9", section([](SiltingSection& s) {
         s.method = "2";
         s.tail = "30\n5\n0.5\n-0.6\n0.02\n-1\n0.7\n1e9";
       }),
       none, 17, "the value 1e+09 of \"parameter H for method 2 (C_v)\" must be -10 ... 10"},
      {"registry full",
       {},
       [](SiltingSetup& s) {
         for (int k = 1; k <= 996; ++k)
           if (!s.base.registry[k].hasFileName) {
             s.base.registry[k].hasFileName = s.base.registry[k].hasName = true;
             s.base.registry[k].name = s.base.registry[k].fileName = "filler" + std::to_string(k);
           }
       },
       12,
       "no free grid left, allowed number of grids is (contact the author)1000!"},
      {"block of the next section", section([](SiltingSection& s) {
         s.method = "3";
         s.tail = "[other_section]\nSiltingUpExpressions { X=1; }";
       }),
       none, 400,
       "error looking for opening bracket \"{\" after \"SiltingUpExpressions\" in control file "
       "\"<file>\""},
      {"no closing brace", section([](SiltingSection& s) {
         s.method = "3";
         s.tail = "SiltingUpExpressions { X=1;\nY=2;";
       }),
       none, 401,
       "error looking for closing bracket \"}\" after \"SiltingUpExpressions\" in control file "
       "\"<file>\""},
      {"no expression", section([](SiltingSection& s) {
         s.method = "3";
         s.tail = "SiltingUpExpressions { X=1 }";
       }),
       none, 402,
       "no SiltingUpExpressios found (at least X, Y and Z must be initialized) in control file "
       "\"<file>\""}};
  for (const Case& c : cases) {
    SiltingSetup s("silting_failure", c.section);
    c.prepare(s);
    EXPECT_FALSE(s.build()) << c.what;
    EXPECT_EQ(s.errorCode, c.code) << c.what;
    std::string text = c.text;
    const size_t file = text.find("<file>");
    if (file != std::string::npos) text.replace(file, 6, s.base.controlFile);
    EXPECT_NE(s.base.log.console.str().find(text), std::string::npos) << c.what << "\n"
                                                                      << s.base.log.console.str();
  }
}

// Without an HRU value a cell takes its master's state.
TEST(SiltingStep, CopiesResponseUnitCellsFromTheirMasters) {
  SiltingSetup s("silting_hru");
  s.addZoneGrid("HydrologicResponseUnits", 1.0);
  Grid masters = s.addZoneGrid("MasterHydrologicResponseUnits", -9999.0);
  masters[1][1] = 1.0;
  const std::vector<HRUMasterCell> list = {{0, 0}, {1, 1}};
  s.base.context.hruFlag = 1;
  s.base.context.hruMasterCells = &list;
  auto m = s.build();
  ASSERT_TRUE(m) << s.base.log.console.str();
  s.input[1][1] = 80.0;
  s.input[2][3] = 5.0;
  m->step(0, 12, 30, 4, 2021);
  for (const char* name :
       {"KineticEnergy", "DirectRunoffSiltingUp", "RainPause", "TimeSinceLastSoilTillage",
        "SiltingUpDisposition", "precipitation", "SurfStorSiltingUp"})
    EXPECT_EQ(s.grid(name)[2][3], s.grid(name)[1][1]) << name;
  EXPECT_GT(s.grid("DirectRunoffSiltingUp")[2][3], 0.0);
}
