#pragma once

#include <string>
#include <vector>

#include "tests/snow/snow_fixture.h"

// The lines of "[ice_firn]"; statistics off unless a code is given. Lines
// 25 to 27 and 53 are kept as text, so that a test can spoil them.
struct IceFirnSection {
  int method = 11;
  double ddfIce = 8.0, ddfFirn = 6.0, ddfSnow = 4.0, mf = 2.0;
  double aIceMin = 0.0, aIceMax = 0.0, aSnowMin = 0.0, aSnowMax = 0.0;
  double kIce = 5.0, kFirn = 5.0, kSnow = 5.0;
  double qStart = 0.0; // every storage of every subbasin
  std::string qglac = "qglac.stat";
  std::string statistics = "0";
  std::string firn = "1 5000 0.01 firn_levels firn_base deltafirnper100m";
  std::string evaluation = "30 9 GMBEvalDay GMBEvalMonth";
  std::string volumeArea = "28.5 1.36 1 0 VAscaling VAexponent numElevBands extra";
  double debrisScaling = 1.0;
  std::string newGlacier = "1000 0.25 maxSnowPackToCreateGlacier relSizeNewGlacier";

  std::string text() const {
    auto n = [](double v) { return std::to_string(v); };
    std::string s = "[ice_firn]\n" + std::to_string(method) + " Glacier-Method\n";
    for (double v : {ddfIce, ddfFirn, ddfSnow, mf, aIceMin, aIceMax, aSnowMin, aSnowMax, kIce,
                     kFirn, kSnow, qStart, qStart, qStart})
      s += n(v) + "\n";
    auto grid = [&](const std::string& name) { s += name + ".asc\n0\n"; };
    auto statistic = [&](const std::string& name) { s += name + " " + statistics + "\n"; };
    grid("firn");
    statistic("qfirn.stat");
    grid("ice");
    statistic("qice.stat");
    statistic(qglac);
    if (method < 10) return s;
    statistic("qsnowonglac.stat");
    s += "0 readgrids\n" + firn + "\n" + evaluation + "\n" + volumeArea + "\n";
    grid("firnstack");
    statistic("firn.stat");
    grid("mb");
    grid("mbold");
    statistic("mb1.stat");
    statistic("mb2.stat");
    s += n(debrisScaling) + "\n";
    statistic("snowglac.stat");
    for (const char* name : {"gsolid", "gliquid", "gtotal", "gmelt", "gsurf", "gtemp", "gevap"})
      grid(name);
    return s + newGlacier + "\n";
  }
};

// The lines of "[permafrost]".
struct PermafrostSection {
  int method = 1;
  double minSnowAgeRefreeze = 3.0;
  double maxSweSnowFree = 1.0;
  std::string text() const {
    return "[permafrost]\n" + std::to_string(method) + "\n" + std::to_string(minSnowAgeRefreeze) +
           "\n" + std::to_string(maxSweSnowFree) + "\nthaw.stat 0\n1e-7\n";
  }
};

// The module with the glacier state in view.
class TestGlacierSnow : public TestSnow {
public:
  using schneemodellklasse::glacier;
  using schneemodellklasse::glacierBasins;
  using schneemodellklasse::glacierList;
  using schneemodellklasse::series;
  using schneemodellklasse::Series;
  using TestSnow::TestSnow;
};

// The 2 x 2 model of the snow tests (cell (1, 1) outside) with glacier
// grids: every valid cell glacierized by the fraction g and of glacier 1,
// at 3000 m.
struct GlacierModel : SnowModel {
  GlacierModel(const std::string& name, const SnowSection& snow, const IceFirnSection& ice,
               double g = 1.0, const std::string& extra = "")
      : SnowModel(name, snow, ice.text() + extra) {
    grid("[elevation_model]")[1][2] = grid("[elevation_model]")[2][1] =
        grid("[elevation_model]")[2][2] = 3000.0;
    if (ice.method < 10) {
      add("ice_firn", g);
    } else {
      add("GlacierizedCells", g);
      add("GlacierCodes", 1.0);
    }
    add("global_radiation", 0.0);
  }
  // interceptionFirst: the snow takes the canopy's "throughfall0".
  void buildGlacier(bool expectSuccess = true, bool interceptionFirst = false) {
    module = constructSubmodel<TestGlacierSnow>(code, s.context);
    if (expectSuccess) {
      ASSERT_EQ(code, 0) << s.log.console.str();
      module->setInterceptionFirst(interceptionFirst);
    }
  }
  // The snow step and the closing step of one date.
  void step(long day, long month, long hour = 0, long minute = 0) {
    module->computeSnowStep(minute, hour, day, month, 2021);
    module->computeGlacierStep(minute, hour, day, month, 2021);
  }
  // Every cell of a registered grid, (1, 1) outside included.
  void fill(const std::string& name, double value) {
    for (long r = 1; r <= 2; ++r)
      for (long c = 1; c <= 2; ++c) grid(name)[r][c] = value;
  }
  double* firn(long level) const {
    for (const GridRegistryEntry& e : s.registry)
      if (e.hasName && e.name == "firn_WE_stack" && e.stack) return &e.stack[2][2][level];
    return nullptr;
  }

  std::unique_ptr<TestGlacierSnow> module;
};
