// The heat of the unsaturated zone on the fixture's catchment: its set-up
// and start temperatures, the temperature pre-spin-up and the dumps of a
// failing heat check.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "core/collective_status.h"
#include "tests/soil/heat_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

constexpr size_t iniEntry = 7;
constexpr size_t controlEntry = 72;
// The fixture's plane at 100 m under the section's lower boundary.
constexpr double lowerBoundary = 10.0 - 0.0065 * 100.0;

std::string text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The fixture's catchment with heat transfer of the method, the air
// temperatures given per cell, one land use and the section's lines
// changed by `edit`.
struct HeatRig {
  HeatRig(const std::string& name, int method, const std::vector<double>& air,
          const std::vector<std::string>& soils = {siltLoam()}, const std::string& minutes = "60",
          const std::function<void(std::vector<std::string>&, UnsatzonSetup&)>& edit = nullptr,
          int statisticCode = 0)
      : setup(name, "", soils), uses(2), cd(setup.directory) {
    uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
    setup.base.context.landuseTable = &uses;
    setup.base.context.writeAsciiGrids = true;
    setup.base.addGrid("precipitation", uniform(0.0));
    setup.base.addGrid("temperature", air);
    setup.stepMinutes = minutes;
    std::vector<std::string> lines = setup.lines;
    if (edit) edit(lines, setup);
    int code = 0;
    module =
        setup.build(lines, code, heatSection(method, setup.directory, "temper.txt", statisticCode));
    EXPECT_EQ(code, 0) << log();
    if (module) {
      EXPECT_EQ(startRunoff(*module), 0) << log();
    }
  }
  void step(long hour) {
    module->readGroundwaterHeads(2020, 6, 1, hour, 0);
    module->computeTimeStep(0, hour, 1, 6, 2020);
    module->concentrateRunoff(0, hour, 1, 6, 2020);
  }
  std::string log() const { return setup.base.log.console.str(); }
  std::string path(const std::string& name) const { return setup.directory + "/" + name; }
  bool valid(long r, long c) const { return !(r == 3 && c >= 3); }

  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  std::unique_ptr<TestUnsatzon> module;
};

std::vector<double> rising(double first) {
  std::vector<double> v;
  for (int k = 0; k < 12; ++k) v.push_back(first + k);
  return v;
}

} // namespace

// At construction the lower boundary follows the elevation and is written
// once, the soil table gets the thermal values it leaves out, and the
// control point's temperature file its header; the first step starts every
// column linear in depth from the air down to the lower boundary.
TEST(UnsatzonHeat, SetUpGivesEveryColumnItsStartTemperatures) {
  HeatRig rig("unsatzon_heat_setup", 11, rising(2.0),
              {siltLoam(), siltLoam(4, 0.25, perLayer(4, "DryThermalConduct", 1.8))}, "60",
              [](std::vector<std::string>& l, UnsatzonSetup& s) {
                l[controlEntry] = "1 1  control point";
                s.grid("soil_types")[2][1] = 2.0;
              });
  ASSERT_NE(rig.module, nullptr);
  const Grid lower = rig.setup.grid("T_Lower_Boundary_Condition");
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c)
      EXPECT_EQ(lower[r][c], rig.valid(r, c) ? lowerBoundary : nodata) << r << " " << c;
  EXPECT_NE(text(rig.path("T_Lower_Boundary_Condition_000")).find("9.35"), std::string::npos);
  const soil_class& defaulted = rig.setup.soils[1];
  EXPECT_EQ(defaulted.getHeatCapacityDry(1), 800.0);
  EXPECT_EQ(defaulted.getDensityDry(2), 1500.0);
  EXPECT_EQ(defaulted.getDryThermalConduct(3), 2.5);
  EXPECT_EQ(defaulted.getMinFrozenConduct(4), 1e-9);
  EXPECT_EQ(rig.setup.soils[2].getDryThermalConduct(1), 1.8);
  EXPECT_TRUE(rig.setup.soils[2].hasConductivityPowers());
  EXPECT_EQ(text(rig.path("temper.txt")), "YY\tMM\tDD\tHH\ttemper[1][1][1]\t[2]\t[3]\t[4]\t\n");

  const Stack temperature = rig.setup.stack("Soil_Temperature_Stack");
  rig.module->readGroundwaterHeads(2020, 6, 1, 0, 0);
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      const double air = 2.0 + 4 * (r - 1) + (c - 1);
      for (int k = 0; k <= 4; ++k) {
        const double x = k == 0 ? 0.0 : (k - 0.5) / 4.0;
        EXPECT_NEAR(temperature[r][c][k],
                    rig.valid(r, c) ? x * lowerBoundary + (1 - x) * air : nodata, 1e-12)
            << r << " " << c << " " << k;
      }
    }
  // Nothing freezes: the thaw depth is the column's, the column's enthalpy
  // the sum of its layers'.
  rig.module->computeTimeStep(0, 0, 1, 6, 2020);
  const Stack energy = rig.setup.stack("Soil_SE_Stack");
  EXPECT_EQ(rig.setup.grid("ThawDepthTMod")[1][2], 1.0);
  EXPECT_NEAR(energy[1][2][0],
              energy[1][2][1] + energy[1][2][2] + energy[1][2][3] + energy[1][2][4], 1e-6);
  EXPECT_GT(energy[1][2][1], 0.0);
}

// Freezing air after a warm hour: the thaw depth falls from the column's
// depth to 0, the temperature statistic takes it, and the temperatures of
// the control point reach their file.
TEST(UnsatzonHeat, FrostReachesTheThawDepthAndItsOutputs) {
  HeatRig rig(
      "unsatzon_heat_frost", 12, uniform(5.0), {siltLoam()}, "60",
      [](std::vector<std::string>& l, UnsatzonSetup&) { l[controlEntry] = "1 1  control point"; },
      2001);
  ASSERT_NE(rig.module, nullptr);
  const Grid thaw = rig.setup.grid("ThawDepthTMod");
  const Grid air = rig.setup.grid("temperature");
  long hour = 0;
  for (; hour < 48 && (hour < 2 || thaw[2][2] > 0.0); ++hour) {
    rig.step(hour);
    if (hour == 0) {
      EXPECT_EQ(thaw[2][2], 1.0);
    }
    if (hour == 1) {
      EXPECT_LT(thaw[2][2], 0.25); // the frost front, under a frozen skin
    }
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) air[r][c] = -15.0;
  }
  ASSERT_EQ(thaw[2][2], 0.0);
  rig.module->flushStatistics();
  const std::string temperatures = text(rig.path("temper.txt"));
  char row[64];
  std::snprintf(row, sizeof row, "\n2020\t6\t1\t%ld\t-", hour - 1);
  EXPECT_NE(temperatures.find(row), std::string::npos) << temperatures;
  const std::string statistic = text(rig.setup.directory + "/temper.stat");
  EXPECT_NE(statistic.find("soil thaw depth [m] "), std::string::npos);
  EXPECT_NE(statistic.find("\n2020\t 6\t 1\t 0\t1.00000\t1.00000"), std::string::npos) << statistic;
  std::snprintf(row, sizeof row, "\n2020\t 6\t 1\t%2ld\t0.00000\t0.00000", hour - 1);
  EXPECT_NE(statistic.find(row), std::string::npos) << statistic;
}

// The pre-spin-up over a year of -5 degrees C, in steps of a day and in
// steps of 100 minutes, which do not divide a day: TTOP at the layer that
// reaches 1 m, the way up to the air above it and the geothermal heat flux
// through frozen ground below; the first step after it keeps the profile.
TEST(UnsatzonPreSpinUp, SoilTemperaturesFromTheDegreeDays) {
  const double years = 365.0 * 1440.0 / 525960.0;
  const double ttop = -5.0 / years;
  EXPECT_NEAR(ttop, -5.0034, 5e-5);
  struct Case {
    const char* minutes;
    long steps;
  };
  for (const Case& c : {Case{"1440", 365}, Case{"100", 5256}}) {
    SCOPED_TRACE(std::string("steps of ") + c.minutes + " minutes");
    HeatRig rig(std::string("unsatzon_prespinup_") + c.minutes, 11, uniform(-5.0),
                {siltLoam(8, 0.25)}, c.minutes);
    ASSERT_NE(rig.module, nullptr);
    const long step = std::stol(c.minutes);
    for (long s = 0, minute = 0; s < c.steps; ++s, minute = (minute + step) % 1440)
      rig.module->preSpinUpSoilTemperature(minute % 60, minute / 60);
    rig.module->updateSoilTemperatureStack();

    const Stack t = rig.setup.stack("Soil_Temperature_Stack");
    const Stack theta = rig.setup.stack("theta");
    const double* cell = t[2][2];
    EXPECT_NEAR(cell[0], -5.0, 1e-12);
    EXPECT_NEAR(cell[4], ttop, 1e-9);
    for (int k = 1; k < 4; ++k) EXPECT_NEAR(cell[k], -5.0 + (ttop + 5.0) * (k - 0.5) / 3.5, 1e-9);
    for (int k = 5; k <= 8; ++k) {
      const double water = theta[2][2][k];
      const double filled = water + 0.55;
      const double frozen = (0.45 - water) * 0.0262 +
                            filled * std::pow(2.5, 0.55 / filled) * std::pow(2.2, water / filled);
      EXPECT_NEAR(cell[k] - cell[k - 1], 0.25 * 0.06 / frozen, 1e-12) << k;
    }
    const std::string degreeDays = text(rig.path("FreezingDegreeDays"));
    EXPECT_NE(degreeDays.find("1825"), std::string::npos) << degreeDays;
    EXPECT_FALSE(text(rig.path("AnnualTemperature")).empty());
    EXPECT_FALSE(text(rig.path("temper.stk")).empty());
    const std::vector<double> profile(cell, cell + 9);
    rig.module->readGroundwaterHeads(2020, 6, 1, 0, 0);
    EXPECT_EQ(std::vector<double>(cell, cell + 9), profile);
  }
}

// The pre-spin-up needs the heat model and four free grids.
TEST(UnsatzonPreSpinUp, FailuresEndWithTheirCodeAndMessage) {
  {
    UnsatzonSetup setup("unsatzon_prespinup_no_heat");
    auto module = setup.build(setup.lines);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(catchExitCode([&] { module->preSpinUpSoilTemperature(0, 0); }), 1040);
    EXPECT_NE(setup.base.log.lastEntry().find("heat transfer model not active in "
                                              "unsatzon_model. This is required for pre-SpinUp!"),
              std::string::npos);
  }
  HeatRig rig("unsatzon_prespinup_full", 11, uniform(-5.0));
  ASSERT_NE(rig.module, nullptr);
  for (int k = 1; k < gridRegistryLimit; ++k) rig.setup.base.registry[k].hasFileName = true;
  EXPECT_EQ(catchExitCode([&] { rig.module->preSpinUpSoilTemperature(0, 0); }), 12);
  EXPECT_NE(rig.setup.base.log.lastEntry().find("no more free grids in memory, (max. 1000)!"),
            std::string::npos);
}

// A temperature beyond 70 degrees C fires the heat check: the dump pair of
// the step holds the heat profiles, with the water's marker as well where
// a water content fires too; the repair brings the layer back.
TEST(UnsatzonHeat, FailingHeatCheckWritesItsDumpPair) {
  for (bool repair : {false, true}) {
    SCOPED_TRACE(repair ? "repair" : "dump");
    HeatRig rig(std::string("unsatzon_heat_dump_") + (repair ? "repair" : "files"), 11,
                uniform(5.0), {siltLoam()}, "60", [](std::vector<std::string>& l, UnsatzonSetup&) {
                  l[iniEntry] = "10  ini_gw_level: the table in layer 1";
                });
    ASSERT_NE(rig.module, nullptr);
    rig.module->setDumpMode(1, 0, repair ? 1 : 0, 0);
    rig.module->readGroundwaterHeads(2020, 6, 1, 0, 0);
    const Stack t = rig.setup.stack("Soil_Temperature_Stack");
    t[2][1][2] = t[2][2][2] = 80.0;
    rig.setup.stack("theta")[2][2][4] = 0.46;
    rig.module->computeTimeStep(0, 0, 1, 6, 2020);
    if (repair) {
      EXPECT_LE(t[2][1][2], 70.0);
      continue;
    }
    const std::string heatOnly = rig.path("MPI_0_heat(2)_dump_row_2_col_1_substep_1_2020060100");
    const std::string both =
        rig.path("MPI_0_heat(2)_theta(4)_dump_row_2_col_2_substep_1_2020060100");
    for (const std::string& name : {heatOnly, both}) {
      const std::string asc = text(name + ".dmp_asc");
      EXPECT_EQ(asc.rfind("this file contains some values in human readabel format for layered "
                          "snow model and heat transfer model\n     theta_sl ",
                          0),
                0u)
          << asc;
      for (const char* label :
           {"     theta_sl ", "     SE_sl ", "     temper_sl ", "     lambda_sl ",
            "     dEOverdT_sl ", "     heatcap_sl ", "    Tsurf "})
        EXPECT_NE(asc.find(std::string("\ndump.") + label), std::string::npos) << label;
      EXPECT_NE(asc.find("\ndump.     temper_sl "), std::string::npos);
      EXPECT_NE(asc.find("\t80\t"), std::string::npos);
      const std::string bytes = text(name + ".dmp");
      // The water part, then six heat profiles of five levels, two counts
      // and three temperatures and steps.
      ASSERT_EQ(bytes.size(), 4u + 24 + 16 + 14 * 5 * 8 + 4 + 4 + 16 + 16 + 4 + 6 * 5 * 8 + 8 + 24);
      double start = 0.0, surface = 0.0;
      std::memcpy(&start, bytes.data() + 648 + 5 * 8 + 2 * 8, 8);
      std::memcpy(&surface, bytes.data() + bytes.size() - 8, 8);
      EXPECT_EQ(start, 80.0);
      EXPECT_EQ(surface, 5.0);
    }
  }
}
