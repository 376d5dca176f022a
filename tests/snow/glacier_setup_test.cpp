#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/snow/glacier_fixture.h"

TEST(GlacierSetup, RefusesWhatItCannotRun) {
  struct Case {
    const char* what;
    std::function<void(IceFirnSection&)> section;
    std::function<void(GlacierModel&)> grids;
    int code;
    std::string text;
    std::string extra = "";
  };
  auto none = [](auto&) {};
  const std::vector<Case> cases = {
      {"glacier method 3", [](IceFirnSection& s) { s.method = 3; }, none, 80,
       "Glacier-Method 3 of [ice_firn] in "},
      {"no glacierized cell", none, [](GlacierModel& m) { m.fill("GlacierizedCells", 0.0); }, 80,
       "There are no glacierized cells in GlacierizedCells-grid (all nodata or equal to 0)!"},
      {"a glacierized cell without a code", none,
       [](GlacierModel& m) { m.grid("GlacierCodes")[2][1] = -9999.0; }, 80,
       "having no valid value in \nGlacierCodes (must be an integer ID for each separate "
       "glacier) at row 2 and col 1"},
      {"codes without a glacier", none, [](GlacierModel& m) { m.fill("GlacierCodes", 0.0); }, 80,
       "The GlacierCodes grid (GlacierCodes.asc)contains nodata values only. \nDynamic glacier "
       "modelling will not be possible without \ndistinct glacier codes for each glacier"},
      {"line 25 unreadable", [](IceFirnSection& s) { s.firn = "three levels"; }, none, 80,
       "Could not read the three parameters firn_levels (int),\nfirn_base (double), and "
       "deltafirnper100m (double)  \nfor dynamic glacier modelling "},
      {"line 26 unreadable", [](IceFirnSection& s) { s.evaluation = "30"; }, none, 80,
       "Could not read the two parameters GMBEvalDay (int 1...31)\nand GMBEvalMonth (int 1..12) "
       "for dynamic glacier modelling "},
      {"line 27 unreadable", [](IceFirnSection& s) { s.volumeArea = "28.5 1.36 1"; }, none, 80,
       "Could not read the four parameters VAscaling, VAexponent, numElevBands and "
       "extraWeightFactorBand0\nfor Volume-Area-Relation in dynamic glacier modelling "},
      {"permafrost method 2", none,
       [](GlacierModel& m) {
         m.add("ThawCoeffPermaFrost", 0.05);
         m.add("PermafrostThawDepth", 0.0);
         m.add("root_depth1", 1.0);
       },
       80, "method for permafrost melt must be 1 (alpha*sqrt(time))",
       [] {
         PermafrostSection p;
         p.method = 2;
         return p.text();
       }()},
      {"a glacier in two subbasins", none,
       [](GlacierModel& m) { m.grid("[zone_grid]")[2][2] = 2.0; }, 84,
       "glacier 1 is located in more than one subbasin:\nFirst cell was found in subbasin 1,\n"
       "whereas the cell in row 2 and col 2 belongs to subbasin 2."},
      {"a qglac name without an extension",
       [](IceFirnSection& s) { s.method = 1, s.qglac = "out/qglac"; }, none, 103,
       "the qglac-statistic-file \"out/qglac\" of [ice_firn]"},
      {"a new glacier of no size", [](IceFirnSection& s) { s.newGlacier = "1000 0"; }, none, 80,
       "relSizeNewGlacier of [ice_firn]"},
      {"no elevation band", [](IceFirnSection& s) { s.volumeArea = "28.5 1.36 0 0"; }, none, 80,
       "numElevBands of [ice_firn]"},
      {"an exponent of 0", [](IceFirnSection& s) { s.volumeArea = "28.5 0 1 0"; }, none, 80,
       "VAexponent of [ice_firn]"},
      {"a negative scaling", [](IceFirnSection& s) { s.volumeArea = "-1 1.36 1 0"; }, none, 80,
       "VAscaling of [ice_firn]"},
      {"a storage constant of 0", [](IceFirnSection& s) { s.kFirn = 0.0; }, none, 80,
       "the storage constant kfirn_els of [ice_firn]"},
      {"a storage constant above its bound", [](IceFirnSection& s) { s.kIce = 10001.0; }, none, 80,
       "the storage constant kice_els of [ice_firn] in "},
      {"a degree-day factor above its bound", [](IceFirnSection& s) { s.ddfSnow = 100.5; }, none,
       80, "DDFsnow of [ice_firn] in "},
      {"a radiation factor above its bound", [](IceFirnSection& s) { s.aSnowMax = 1.5; }, none, 80,
       "Asnow_max of [ice_firn] in "},
      {"a start storage above its bound", [](IceFirnSection& s) { s.qStart = 1e9; }, none, 80,
       "initial Qice_els of [ice_firn] in "},
  };
  for (const Case& c : cases) {
    IceFirnSection ice;
    c.section(ice);
    GlacierModel m("glacier_refuses_" + std::to_string(&c - cases.data()), SnowSection(), ice, 1.0,
                   c.extra);
    c.grids(m);
    m.buildGlacier(false);
    EXPECT_EQ(m.code, c.code) << c.what;
    EXPECT_NE(m.s.log.console.str().find(c.text), std::string::npos) << c.what << "\n"
                                                                     << m.s.log.console.str();
  }
}

TEST(GlacierSetup, NeedsTheSectionOfARegisteredGlacierGrid) {
  SnowModel m("glacier_no_section", SnowSection());
  m.add("GlacierizedCells", 1.0);
  m.add("GlacierCodes", 1.0);
  m.build(false);
  EXPECT_EQ(m.code, 17);
}

TEST(GlacierSetup, ReadsOrDefaultsTheLastLine) {
  struct Case {
    std::string line;
    bool warning;
    double pack, size;
  };
  const std::vector<Case> cases = {{"", true, 1000.0, 0.25},
                                   {"800", true, 1000.0, 0.25},
                                   {"500 0.5 maxSnowPack relSize", false, 500.0, 0.5}};
  for (const Case& c : cases) {
    IceFirnSection ice;
    ice.newGlacier = c.line;
    GlacierModel m("glacier_line_53_" + std::to_string(&c - cases.data()), SnowSection(), ice);
    m.buildGlacier();
    const bool warned = m.s.log.console.str().find(
                            "------------- warning: -------------\nCould not "
                            "read the two optional parameters maxSnowPackToCreateGlacier "
                            "(double),\nand relSizeNewGlacier (double)") != std::string::npos;
    EXPECT_EQ(warned, c.warning) << c.line;
    EXPECT_DOUBLE_EQ(m.module->glacier.maxSnowPackToCreateGlacier, c.pack) << c.line;
    EXPECT_DOUBLE_EQ(m.module->glacier.list.relSizeNewGlacier, c.size) << c.line;
  }
}

TEST(GlacierSetup, PreparesNamesFirnAndSubbasinShares) {
  {
    IceFirnSection ice;
    ice.method = 1;
    ice.qglac = "out/qglac.stat";
    GlacierModel m("glacier_qsgl_name", SnowSection(), ice);
    m.buildGlacier();
    EXPECT_EQ(m.module->series[TestGlacierSnow::Series::glacierSnowMeltSeries].file,
              "out/qglac_qsgl_.stat");
  }
  IceFirnSection ice;
  ice.firn = "3 2500 0.01";
  GlacierModel m("glacier_firn_start", SnowSection(), ice);
  m.grid("GlacierizedCells")[1][2] = 1.4;
  m.grid("GlacierizedCells")[2][1] = -0.2;
  m.grid("GlacierizedCells")[2][2] = 0.5;
  m.buildGlacier();
  // (3000 - 2500) m times 0.01, not divided by 100.
  for (long level = 1; level <= 3; ++level) EXPECT_DOUBLE_EQ(*m.firn(level), 5.0);
  EXPECT_DOUBLE_EQ(*m.firn(0), 15.0);
  EXPECT_DOUBLE_EQ(m.at("firn_WE_stack"), 15.0);
  // A cell without glacier has no firn.
  EXPECT_EQ(m.grid("firn_WE_stack")[2][1], -9999.0);
  const GlacierSubbasin& basin = m.module->glacierBasins.at(1);
  EXPECT_TRUE(basin.hasGlacier);
  EXPECT_DOUBLE_EQ(basin.glacierArea, 1.0 + 0.0 + 0.5);
  EXPECT_DOUBLE_EQ(basin.freeArea, 0.0 + 1.0 + 0.5);
}
