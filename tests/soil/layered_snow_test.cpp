// The layered snow model on the soil columns: its set-up, the bookkeeping
// of the pack, the temperature at its surface, and a melt season on the
// fixture's catchment.

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "soil/column_solver.h"
#include "soil/snow_layers.h"
#include "tests/soil/heat_fixture.h"
#include "tests/soil/snow_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

constexpr size_t readGridEntry = 86;
// The fixture's catchment with heat transfer (implicit, by default without
// the heat of the water), layered snow of the types given and the air
// temperature given per cell.
struct SnowRig {
  SnowRig(const std::string& name, double air, const std::vector<std::string>& types,
          const std::string& minutes = "60",
          const std::function<void(std::vector<std::string>&, UnsatzonSetup&)>& edit = nullptr,
          const std::vector<std::string>& soils = {siltLoam()}, int heatMethod = 11)
      : setup(name, "", soils), uses(2), cd(setup.directory) {
    uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
    setup.base.context.landuseTable = &uses;
    setup.base.addGrid("precipitation", uniform(0.0));
    setup.base.addGrid("temperature", uniform(air));
    setup.stepMinutes = minutes;
    lines = setup.lines;
    if (edit) edit(lines, setup);
    module = setup.build(lines, code,
                         heatSection(heatMethod, setup.directory) +
                             snowSections(setup.directory, types));
    if (module) {
      EXPECT_EQ(startRunoff(*module), 0) << log();
    }
  }
  std::string log() const { return setup.base.log.console.str(); }
  std::string file(int line) const { return setup.directory + "/" + snowFiles[line] + ".stk"; }
  Stack stack(const char* name) const { return setup.stack(name); }

  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  std::vector<std::string> lines;
  int code = 0;
  std::unique_ptr<TestUnsatzon> module;
};

bool ownCell(long r, long c) { return r < 3 || c < 3; }

const char* const snowStackNames[] = {"SnowWaterEquivalentSolid",
                                      "SnowWaterEquivalentLiquid",
                                      "Temperature_Stack_Snow",
                                      "theta_Snow",
                                      "hydraulic_heads_Snow",
                                      "geodetic_height_Snow",
                                      "q_down_Snow",
                                      "SnowLayerThickness",
                                      "SnowDensity"};

} // namespace

// Each failure of the set-up ends the construction with its code and
// message.
TEST(LayeredSnowSetUp, FailuresEndWithTheirCodeAndMessage) {
  struct Case {
    const char* what;
    std::string heat; // "" leaves heat transfer off
    std::vector<std::string> types;
    bool fullRegistry;
    int code;
    std::string message;
  };
  const std::string heatOn = "on";
  const std::vector<Case> cases = {
      {"without heat transfer",
       "",
       {snowType(1, 3)},
       false,
       1041,
       "Error in model configuration: when using [LayeredSnowModel], [heat_transfer] must be "
       "used as well."},
      {"layer counts differ",
       heatOn,
       {snowType(1, 3), snowType(2, 4)},
       false,
       30,
       "the numbers of snow layers has to be equal for all snow types\n(here: snow type 2: 4 "
       "layers, but snow type 1: 3 layers)"},
      {"an entry without its syntax",
       heatOn,
       {"1 snow 0.05 0.05 0.05\n"},
       false,
       30,
       "entries in [LayeredSnowProperties] must use the MultipleHorizons syntax, i.e. no "
       "very-old-style soil table entries are allowed here"},
      {"a snow heat capacity of 1e9",
       heatOn,
       {[] {
         std::string t = snowType(1, 3);
         const std::string first = "HeatCapacityDry = 0.000000";
         return t.replace(t.find(first), first.size(), "HeatCapacityDry = 1e9");
       }()},
       false,
       52,
       "value out of range for \"HeatCapacityDry\": 1e+09 (allowed 0 .. 10000)"},
      {"a snow density of 1e9",
       heatOn,
       {[] {
         std::string t = snowType(1, 3);
         const std::string first = "DensityDry = 100.000000";
         return t.replace(t.find(first), first.size(), "DensityDry = 1e9");
       }()},
       false,
       52,
       "value out of range for \"DensityDry\": 1e+09 (allowed 0 .. 5000)"},
      {"a full registry",
       heatOn,
       {snowType(1, 3)},
       true,
       12,
       "no more free grids in memeory, (max. 1000)!"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    UnsatzonSetup setup(std::string("layered_snow_failure_") + std::to_string(&k - cases.data()));
    setup.base.addGrid("temperature", uniform(0.0));
    std::vector<std::string> lines = setup.lines;
    std::string heat = k.heat.empty() ? "" : heatSection(11, setup.directory);
    if (k.fullRegistry) {
      // Room for the soil's own grids, none for the snow stacks.
      int code = 0;
      int used = 0;
      {
        auto plain = setup.build(lines, code, heat);
        ASSERT_NE(plain, nullptr);
        used = plain->firstFreeRegistryIndex();
      }
      for (int e = used; e < gridRegistryLimit; ++e) setup.base.registry[e].hasFileName = true;
    }
    int code = 0;
    auto module = setup.build(lines, code, heat + snowSections(setup.directory, k.types));
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(code, k.code);
    EXPECT_NE(setup.base.log.console.str().find(k.message), std::string::npos)
        << setup.base.log.console.str();
  }
}

// Values of "[LayeredSnowModel]" outside their ranges end the set-up with
// 17, naming the value and its range.
TEST(LayeredSnowSetUp, RefusesValuesOutOfRange) {
  const struct {
    const char* line;
    const char* edited;
    const char* message;
  } cases[] = {
      {"1  switch", "-1  switch", "the value -1 of \"switch\" must be 0 (off) or 1 or more (on)"},
      {"400  max density", "0  max density",
       "the value 0 of \"dLayeredSnowMaxDensity\" must be 1 ... 1000 (kg/m3)"},
      {"-2  offset", "21  offset", "the value 21 of \"dTOffsetFreshSnow\" must be -20 ... 20 (K)"},
      {"0  drainage density", "-1  drainage density",
       "the value -1 of \"dDrainageDensitiySnow\" must be 0 ... 100 (1/m)"},
      {"1  effectiveness\n", "1.5  effectiveness\n",
       "the value 1.5 of \"dSEeffectiveness\" must be 0 ... 1"},
      {"1  effectiveness soil", "-0.5  effectiveness soil",
       "the value -0.5 of \"dSEeffectivenessSoil\" must be 0 ... 1"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.edited);
    UnsatzonSetup setup(std::string("layered_snow_range_") + std::to_string(&k - cases));
    setup.base.addGrid("temperature", uniform(0.0));
    std::string snow = snowSections(setup.directory, {snowType(1, 3)});
    const size_t at = snow.find(k.line);
    ASSERT_NE(at, std::string::npos);
    snow.replace(at, std::string(k.line).size(), k.edited);
    int code = 0;
    auto module = setup.build(setup.lines, code, heatSection(11, setup.directory) + snow);
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(code, 17);
    EXPECT_NE(setup.base.log.console.str().find(k.message), std::string::npos)
        << setup.base.log.console.str();
  }
}

// A control file that has gone ends the reading of the section with 28.
TEST(LayeredSnowSetUp, MissingControlFileEndsWith28) {
  SnowRig rig("layered_snow_no_control", -5.0, {snowType(1, 3)});
  ASSERT_NE(rig.module, nullptr) << rig.log();
  std::remove(rig.setup.base.controlFile.c_str());
  int code = 0;
  try {
    rig.module->readLayeredSnowModel();
  } catch (int thrown) {
    code = thrown;
  }
  EXPECT_EQ(code, 28);
  EXPECT_EQ(rig.setup.base.log.lastEntry(),
            "error opening " + rig.setup.base.controlFile + " (No such file or directory)");
}

// Without stacks of a former run the pack is empty: heights rise from the
// soil surface by the layer thicknesses, the water contents are the
// residual ones, nothing is stored and the top index is L. Readgrid 2 does
// the same; cells outside the domain hold nodata. Without the section no
// snow stack exists.
TEST(LayeredSnowSetUp, ColdStartStacks) {
  for (const char* readGrid : {"0", "2"}) {
    SCOPED_TRACE(std::string("readgrid ") + readGrid);
    SnowRig rig(std::string("layered_snow_cold_") + readGrid, -5.0, {snowType(1, 3, 0.05)}, "60",
                [&](auto& l, auto&) {
                  l[readGridEntry] = readGrid;
                  writeAsciiGrid(l[38].substr(0, l[38].find(' ')), uniform(-0.1));
                });
    ASSERT_NE(rig.module, nullptr) << rig.log();
    const double heights[] = {100.15, 100.10, 100.05, 100.0};
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        const bool own = ownCell(r, c);
        for (int k = 0; k <= 3; ++k) {
          const double h = rig.stack("geodetic_height_Snow")[r][c][k];
          if (own)
            EXPECT_NEAR(h, heights[k], 1e-12) << r << c << k;
          else
            EXPECT_EQ(h, nodata);
          const double thetaExpected = own ? (k == 0 ? 0.0 : 0.02) : nodata;
          EXPECT_EQ(rig.stack("theta_Snow")[r][c][k], thetaExpected);
          EXPECT_EQ(rig.stack("SnowWaterEquivalentSolid")[r][c][k], own ? 0.0 : nodata);
          EXPECT_EQ(rig.stack("SnowWaterEquivalentLiquid")[r][c][k], own ? 0.0 : nodata);
          EXPECT_EQ(rig.stack("SnowLayerThickness")[r][c][k], nodata);
          EXPECT_EQ(rig.stack("SnowDensity")[r][c][k], nodata);
          EXPECT_EQ(rig.stack("Temperature_Stack_Snow")[r][c][k], nodata);
          EXPECT_EQ(rig.stack("q_down_Snow")[r][c][k], own ? 0.0 : nodata);
        }
        EXPECT_EQ(rig.setup.grid("upperIndexSnow")[r][c], own ? 3.0 : nodata);
      }
  }
  UnsatzonSetup s("layered_snow_none");
  s.base.addGrid("temperature", uniform(0.0));
  int code = 0;
  auto without = s.build(s.lines, code, heatSection(11, s.directory));
  ASSERT_NE(without, nullptr) << s.base.log.console.str();
  for (const char* name : snowStackNames) EXPECT_EQ(without->findGrid(name, 1), 0) << name;
  EXPECT_EQ(without->findGrid("upperIndexSnow", 1), 0);
}

// Readgrid 1 and 3 take the snow stacks of a former run as written; a
// stack with a level short ends the run with 13.
TEST(LayeredSnowSetUp, FormerStacksAreReadBack) {
  SnowRig rig("layered_snow_read_back", -5.0, {snowType(1, 3)});
  ASSERT_NE(rig.module, nullptr) << rig.log();
  // The soil's own state files, which readgrid 1 reads first.
  const std::pair<const char*, size_t> soilStacks[] = {
      {"theta", 30}, {"hydraulic_heads", 32}, {"geodetic_heads", 34}};
  const std::pair<const char*, size_t> soilGrids[] = {{"groundwater_distance", 38},
                                                      {"groundwater_level", 44},
                                                      {"Theta_in_GWLEVEL", 40},
                                                      {"baseflow", 56}};
  auto nameOf = [](const std::string& line) { return line.substr(0, line.find(' ')); };
  for (const auto& [name, entry] : soilStacks)
    rig.module->writeStack(nameOf(rig.lines[entry]), rig.setup.stack(name), 4, false, true, false);
  for (const auto& [name, entry] : soilGrids)
    rig.module->writeGrid(nameOf(rig.lines[entry]), rig.setup.grid(name), false, true, false);
  rig.module->writeStack(rig.setup.directory + "/temper.stk",
                         rig.setup.stack("Soil_Temperature_Stack"), 4, false, true, false);
  // A pack of snow in every own cell, then the files.
  for (int line = 0; line < 9; ++line) {
    Stack s = rig.stack(snowStackNames[line]);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        for (int k = 0; k <= 3; ++k)
          if (ownCell(r, c)) s[r][c][k] = 10.0 * line + k + 0.01 * (r * 4 + c);
    rig.module->writeStack(rig.file(line), s, 3, false, true, false);
  }
  Grid upper = rig.setup.grid("upperIndexSnow");
  upper[1][2] = 2.0;
  rig.module->writeGrid(rig.file(9), upper, false, true, false);
  rig.module.reset();
  const std::string sections =
      heatSection(11, rig.setup.directory) + snowSections(rig.setup.directory, {snowType(1, 3)});
  for (const char* readGrid : {"1", "3"}) {
    SCOPED_TRACE(std::string("readgrid ") + readGrid);
    std::vector<std::string> lines = rig.lines;
    lines[readGridEntry] = readGrid;
    int code = 0;
    auto module = rig.setup.build(lines, code, sections);
    ASSERT_NE(module, nullptr) << rig.log();
    for (int line = 0; line < 9; ++line) {
      if (line == 6) continue; // q_down_Snow always starts at 0
      Stack s = rig.setup.stack(snowStackNames[line]);
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c)
          for (int k = 0; k <= 3; ++k)
            EXPECT_EQ(s[r][c][k], ownCell(r, c) ? 10.0 * line + k + 0.01 * (r * 4 + c) : nodata)
                << snowStackNames[line] << r << c << k;
    }
    EXPECT_EQ(rig.setup.grid("upperIndexSnow")[1][2], 2.0);
    if (readGrid[0] == '3')
      module->writeStack(rig.file(3), rig.setup.stack("theta_Snow"), 2, false, true, false);
  }
  std::vector<std::string> lines = rig.lines;
  lines[readGridEntry] = "1";
  int code = 0;
  EXPECT_EQ(rig.setup.build(lines, code, sections), nullptr);
  EXPECT_EQ(code, 13);
  EXPECT_EQ(rig.setup.base.log.lastEntry(),
            "wrong number of levels in stack " + rig.file(3) + " (there are 2 level, it must be 3");
}

namespace {

// 12 mm of snow (times the share of the cell, if given) placed into the
// empty pack of every own cell as the snow model places it at -2 degrees C:
// 5 mm into each of the bottom two layers up to their nominal thickness, the
// rest into the top layer.
void placeSnow(SnowRig& rig, const std::function<double(long, long)>& share = nullptr) {
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      const double f = share ? share(r, c) : 1.0;
      const double placed[] = {0.0, 2.0 * f, 5.0 * f, 5.0 * f};
      if (!ownCell(r, c) || f <= 0.0) continue;
      for (int k = 1; k <= 3; ++k) {
        rig.stack("SnowWaterEquivalentSolid")[r][c][k] = placed[k];
        rig.stack("SnowLayerThickness")[r][c][k] = placed[k] / 100.0;
        rig.stack("SnowDensity")[r][c][k] = 0.1;
        rig.stack("Temperature_Stack_Snow")[r][c][k] = -2.0;
      }
      rig.stack("SnowWaterEquivalentSolid")[r][c][0] = 12.0 * f;
      rig.setup.grid("upperIndexSnow")[r][c] = 1.0;
    }
}

// Water of a cell's pack, column and pond (mm).
double cellWater(SnowRig& rig, long r, long c) {
  double water = rig.setup.grid("ponding_storage")[r][c];
  for (int k = 1; k <= 4; ++k) water += rig.setup.stack("theta")[r][c][k] * 250.0;
  water += rig.stack("SnowWaterEquivalentLiquid")[r][c][0];
  for (int k = 1; k <= 3; ++k)
    water += rig.stack("SnowWaterEquivalentSolid")[r][c][k] +
             rig.stack("SnowWaterEquivalentLiquid")[r][c][k];
  return water;
}

std::vector<double> snowResults(SnowRig& rig) {
  std::vector<double> values;
  for (const char* name : snowStackNames)
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        values.insert(values.end(), rig.stack(name)[r][c], rig.stack(name)[r][c] + 4);
  for (const char* name : {"theta", "Soil_Temperature_Stack"})
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        values.insert(values.end(), rig.stack(name)[r][c], rig.stack(name)[r][c] + 5);
  for (const char* name : {"directflow", "interflow", "upperIndexSnow"})
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) values.push_back(rig.setup.grid(name)[r][c]);
  return values;
}

} // namespace

// Warm days melt the pack from the top: layer after layer leaves it, its
// water goes into the soil, and the top index moves down to L + 1. In
// every cell and step the pack's and the soil's water change by what the
// result grids say left the cell; 1 and 4 threads give the same results.
// Over a saturated soil the melt water runs off at the surface.
TEST(LayeredSnowColumn, MeltSeasonConservesWater) {
  for (const bool saturated : {false, true}) {
    SCOPED_TRACE(saturated ? "saturated soil" : "soil above its table");
    std::vector<double> first;
    for (int threads : {1, 4}) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      omp_set_num_threads(threads);
      SnowRig rig("layered_snow_melt", 15.0, {snowType(1, 3)}, "180", [&](auto& l, auto&) {
        if (!saturated) return;
        l[readGridEntry] = "2";
        writeAsciiGrid(l[38].substr(0, l[38].find(' ')), uniform(0.0));
      });
      ASSERT_NE(rig.module, nullptr) << rig.log();
      // The start temperatures of the empty pack come first.
      rig.module->readGroundwaterHeads(2020, 3, 31, 21, 0);
      placeSnow(rig);
      auto soilWater = [&] {
        double water = 0.0;
        for (int k = 1; k <= 4; ++k) water += rig.setup.stack("theta")[1][1][k] * 250.0;
        return water;
      };
      double largestGain = 0.0;
      double runoff = 0.0;
      int lastTop = 1;
      for (int step = 0; step < 8; ++step) {
        double before[4][5], transpired[4][5], evaporated[4][5];
        for (long r = 1; r <= 3; ++r)
          for (long c = 1; c <= 4; ++c) {
            if (!ownCell(r, c)) continue;
            before[r][c] = cellWater(rig, r, c);
            transpired[r][c] = rig.setup.grid("real_transpiration1")[r][c];
            evaporated[r][c] = rig.setup.grid("real_evaporation")[r][c];
          }
        const double soilBefore = soilWater();
        const long hour = 3 * (step % 8);
        rig.module->readGroundwaterHeads(2020, 4, 1 + step / 8, hour, 0);
        ASSERT_EQ(rig.module->computeTimeStep(0, hour, 1 + step / 8, 4, 2020), 0) << rig.log();
        for (long r = 1; r <= 3; ++r)
          for (long c = 1; c <= 4; ++c) {
            if (!ownCell(r, c)) continue;
            auto g = [&](const char* name) { return rig.setup.grid(name)[r][c]; };
            const double out = g("directflow") + g("interflow") +
                               (g("real_transpiration1") - transpired[r][c]) +
                               (g("real_evaporation") - evaporated[r][c]) +
                               g("baseflow") * 10800.0 * 1000.0 - g("Balance");
            const double now = cellWater(rig, r, c);
            EXPECT_NEAR(now - before[r][c], -out, 1e-9 * now)
                << "cell " << r << " " << c << " step " << step;
          }
        largestGain = std::max(largestGain, soilWater() - soilBefore);
        runoff += rig.setup.grid("directflow")[1][1];
        const int top = static_cast<int>(rig.setup.grid("upperIndexSnow")[1][1]);
        EXPECT_GE(top, lastTop) << step;
        lastTop = top;
      }
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c)
          if (ownCell(r, c)) {
            EXPECT_EQ(rig.setup.grid("upperIndexSnow")[r][c], 4.0) << r << c;
          }
      // The soil drains between the melt steps; in one of them it gains,
      // unless it is full.
      if (saturated) {
        EXPECT_GT(runoff, 1.0);
      } else {
        EXPECT_GT(largestGain, 0.0);
        EXPECT_EQ(runoff, 0.0);
      }
      if (first.empty())
        first = snowResults(rig);
      else
        EXPECT_EQ(snowResults(rig), first);
    }
  }
  omp_set_num_threads(1);
}

// A pack with an empty layer between two of snow fires the gap check in
// dump mode: one pair of dump files, whose text holds the four snow
// profiles, each with its line at the start of the step, before the heat
// profiles. The solver closes the gap and keeps the water.
TEST(LayeredSnowColumn, GapInThePackIsDumped) {
  SnowRig rig("layered_snow_gap", -5.0, {snowType(1, 3)});
  ASSERT_NE(rig.module, nullptr) << rig.log();
  rig.module->setDumpMode(1, 0, 0, 0);
  rig.module->readGroundwaterHeads(2020, 1, 1, 0, 0);
  for (int k : {1, 3}) {
    rig.stack("SnowWaterEquivalentSolid")[1][2][k] = 4.0;
    rig.stack("SnowLayerThickness")[1][2][k] = 0.04;
    rig.stack("SnowDensity")[1][2][k] = 0.1;
    rig.stack("Temperature_Stack_Snow")[1][2][k] = -3.0;
  }
  rig.setup.grid("upperIndexSnow")[1][2] = 1.0;
  auto g = [&](const char* n) { return rig.setup.grid(n)[1][2]; };
  const double before = cellWater(rig, 1, 2);
  const double consumed = g("real_transpiration1") + g("real_evaporation");
  ASSERT_EQ(rig.module->computeTimeStep(0, 1, 1, 1, 2020), 0) << rig.log();
  const std::set<std::string> files = dumpFiles(rig.setup.directory);
  ASSERT_EQ(files.size(), 2u);
  const std::string name = "MPI_0_thetasnow(1)_dump_row_1_col_2_substep_1_2020010101.dmp";
  EXPECT_EQ(*files.begin(), name);
  std::FILE* file = std::fopen((rig.setup.directory + "/" + name + "_asc").c_str(), "r");
  ASSERT_NE(file, nullptr);
  std::string text;
  for (int ch; (ch = std::fgetc(file)) != EOF;) text += static_cast<char>(ch);
  std::fclose(file);
  size_t at = 0;
  for (const char* label :
       {"     swes ", "dump.     swes ", "     swel ", "dump.     swel ", "     thickSnow ",
        "dump.     thickSnow ", "     densSnow ", "dump.     densSnow ", "     theta_sl "}) {
    const size_t found = text.find(std::string("\n") + label, at);
    ASSERT_NE(found, std::string::npos) << label << "\n" << text;
    at = found + 1;
  }
  EXPECT_EQ(rig.setup.grid("upperIndexSnow")[1][2], 2.0);
  const double out = g("directflow") + g("interflow") + g("real_transpiration1") +
                     g("real_evaporation") - consumed + g("baseflow") * 3600.0 * 1000.0 -
                     g("Balance");
  EXPECT_NEAR(cellWater(rig, 1, 2) - before, -out, 1e-9 * before);
}

// Rain on the pack enters its top; macropores take none of it while snow
// lies on the soil, and open again once the pack is gone, melted by the
// snow model's energy balance from its top.
TEST(LayeredSnowColumn, MacroporesOpenOnceThePackIsGone) {
  const std::string macropores =
      "PMacroThresh = 1e-7; MacroCapacity = 2e-6; MacroDepth = 0.4; CapacityRedu = 0.5;";
  SnowRig rig("layered_snow_macropores", 15.0, {snowType(1, 3)}, "180",
              [](auto&, auto& setup) {
                setup.base.addGrid("surftemp", uniform(273.16));
                setup.base.addGrid("EnergyBalance", uniform(100.0));
              },
              {siltLoam(4, 0.25, macropores)});
  ASSERT_NE(rig.module, nullptr) << rig.log();
  rig.module->readGroundwaterHeads(2020, 3, 31, 21, 0);
  placeSnow(rig);
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c)
      if (ownCell(r, c)) rig.setup.grid("precipitation")[r][c] = 3.0;
  bool opened = false;
  for (int step = 0; step < 5; ++step) {
    const double topBefore = rig.setup.grid("upperIndexSnow")[1][1];
    ASSERT_EQ(rig.module->computeTimeStep(0, 3 * step, 1, 4, 2020), 0) << rig.log();
    const double macro = rig.setup.grid("macropore_infiltration")[1][1];
    if (topBefore <= 3.0) {
      EXPECT_EQ(macro, 0.0) << step;
    } else {
      opened = opened || macro > 0.0;
    }
  }
  EXPECT_TRUE(opened);
}

// A thread solves cell after cell with one set of work arrays: a column
// under snow gives the same results whatever column that thread solved
// before, bare or under another pack.
TEST(LayeredSnowColumn, ColumnsDoNotDependOnTheColumnSolvedBefore) {
  std::vector<double> first;
  for (int threads : {1, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    omp_set_num_threads(threads);
    // Heat moves with the water.
    SnowRig rig("layered_snow_patches", 15.0, {snowType(1, 3)}, "180", nullptr, {siltLoam()}, 12);
    ASSERT_NE(rig.module, nullptr) << rig.log();
    rig.module->readGroundwaterHeads(2020, 3, 31, 21, 0);
    placeSnow(rig, [](long r, long c) { return (r + c) % 2 == 1 ? 0.5 * c : 0.0; });
    for (int step = 0; step < 4; ++step) {
      rig.module->readGroundwaterHeads(2020, 4, 1, 3 * step, 0);
      ASSERT_EQ(rig.module->computeTimeStep(0, 3 * step, 1, 4, 2020), 0) << rig.log();
    }
    if (first.empty())
      first = snowResults(rig);
    else
      EXPECT_EQ(snowResults(rig), first);
  }
  omp_set_num_threads(1);
}

// The snow model's pack is the ice of the layers: whatever the column melts
// or freezes in them, the solid store of the snow model follows, so that
// the water is held once, and ice does not flow. In every step and cell the
// snow model's stores, the layers' liquid, the soil and the pond change by
// the water that fell less what the result grids say left the cell. Over a
// day a warm pack melts away and its store with it, a cold one keeps its
// 12 mm, and rain of 8 x 1 mm on a cold pack freezes in it.
TEST(LayeredSnowColumn, SnowModelPackFollowsItsLayers) {
  struct Case {
    const char* what;
    double air, rain, expectedStore, tolerance;
  };
  const Case cases[] = {{"warm pack", 15.0, 0.0, 0.0, 0.0},
                        {"cold pack", -8.0, 0.0, 12.0, 0.05},
                        {"rain on a cold pack", -8.0, 1.0, 20.0, 0.1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    // Snow without residual water, which would stay liquid in the cold.
    SnowRig rig("layered_snow_follows", k.air, {snowType(1, 3, 0.05, 0.0)}, "180",
                [](auto&, auto& setup) {
                  setup.base.addGrid("snowstorage_solid", uniform(12.0));
                  setup.base.addGrid("snowstorage_liquid", uniform(0.5));
                  setup.base.addGrid("snow_storage_total", uniform(12.5));
                });
    ASSERT_NE(rig.module, nullptr) << rig.log();
    rig.module->readGroundwaterHeads(2020, 3, 31, 21, 0);
    placeSnow(rig);
    auto g = [&](const char* name, long r, long c) { return rig.setup.grid(name)[r][c]; };
    auto water = [&](long r, long c) {
      double w =
          g("ponding_storage", r, c) + g("snowstorage_solid", r, c) + g("snowstorage_liquid", r, c);
      for (int l = 0; l <= 3; ++l) w += rig.stack("SnowWaterEquivalentLiquid")[r][c][l];
      for (int l = 1; l <= 4; ++l) w += rig.setup.stack("theta")[r][c][l] * 250.0;
      return w;
    };
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        if (ownCell(r, c)) rig.setup.grid("precipitation")[r][c] = k.rain;
    for (int step = 0; step < 8; ++step) {
      double before[4][5], used[4][5];
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c)
          if (ownCell(r, c)) {
            before[r][c] = water(r, c);
            used[r][c] = g("real_transpiration1", r, c) + g("real_evaporation", r, c);
          }
      rig.module->readGroundwaterHeads(2020, 4, 1, 3 * step, 0);
      ASSERT_EQ(rig.module->computeTimeStep(0, 3 * step, 1, 4, 2020), 0) << rig.log();
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c) {
          if (!ownCell(r, c)) continue;
          const double out = g("directflow", r, c) + g("interflow", r, c) +
                             g("real_transpiration1", r, c) + g("real_evaporation", r, c) -
                             used[r][c] + g("baseflow", r, c) * 10800.0 * 1000.0 -
                             g("Balance", r, c);
          EXPECT_NEAR(water(r, c) - before[r][c], k.rain - out, 1e-9 * before[r][c])
              << "cell " << r << " " << c << " step " << step;
          EXPECT_NEAR(g("snowstorage_solid", r, c), rig.stack("SnowWaterEquivalentSolid")[r][c][0],
                      1e-9);
          EXPECT_DOUBLE_EQ(g("snow_storage_total", r, c),
                           g("snowstorage_solid", r, c) + g("snowstorage_liquid", r, c));
        }
    }
    EXPECT_NEAR(g("snowstorage_solid", 1, 1), k.expectedStore, k.tolerance);
  }
}

// Without the snow model's energy balance the air stands over the pack, but
// a snow surface is never warmer than melting: at +6 degrees C the column's
// top over a pack is at 0, over bare soil at the air; at -5 at the air.
TEST(LayeredSnowColumn, SnowSurfaceIsNeverAboveMelting) {
  for (const double air : {6.0, -5.0}) {
    SCOPED_TRACE(air);
    SnowRig rig("layered_snow_surface", air, {snowType(1, 3)});
    ASSERT_NE(rig.module, nullptr) << rig.log();
    rig.module->readGroundwaterHeads(2020, 3, 31, 21, 0);
    placeSnow(rig, [](long r, long c) { return (r + c) % 2 == 1 ? 1.0 : 0.0; });
    rig.module->readGroundwaterHeads(2020, 4, 1, 0, 0);
    ASSERT_EQ(rig.module->computeTimeStep(0, 0, 1, 4, 2020), 0) << rig.log();
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        if (ownCell(r, c)) {
          const bool pack = (r + c) % 2 == 1;
          EXPECT_EQ(rig.setup.stack("Soil_Temperature_Stack")[r][c][0],
                    pack ? std::min(air, 0.0) : air)
              << r << " " << c;
        }
  }
}

// Less ice than the pack keeps, left by the snow model on a layer, is no
// layer: the explicit heat steps of the hour are those of the column
// without it (a sliver of 0.01 mm would need hundreds of thousands), and
// the cell ends the hour without snow.
TEST(LayeredSnowColumn, SliverOfSnowTakesNoHeatStepsOfItsOwn) {
  struct Case {
    const char* name;
    double sliver;  // mm of ice in layer 2
    double beneath; // mm of ice in layer 3
  };
  const Case cases[] = {
      {"sliver alone", 0.01, 0.0}, {"at the limit", 0.05, 0.0}, {"on a pack", 0.002, 5.0}};
  const auto hourOf = [](double sliver, double beneath, double& top) {
    SnowRig rig("layered_snow_sliver", -5.0, {snowType(1, 3)}, "60", nullptr, {siltLoam()}, 1);
    EXPECT_NE(rig.module, nullptr) << rig.log();
    if (!rig.module) return SolverTally{};
    rig.module->readGroundwaterHeads(2020, 3, 31, 23, 0);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        if (!ownCell(r, c)) continue;
        const double ice[] = {0.0, 0.0, sliver, beneath};
        for (int k = 2; k <= 3; ++k) {
          if (ice[k] <= 0.0) continue;
          rig.stack("SnowWaterEquivalentSolid")[r][c][k] = ice[k];
          rig.stack("SnowLayerThickness")[r][c][k] = ice[k] / 100.0;
          rig.stack("SnowDensity")[r][c][k] = 0.1;
          rig.stack("Temperature_Stack_Snow")[r][c][k] = -2.0;
        }
        rig.stack("SnowWaterEquivalentSolid")[r][c][0] = sliver + beneath;
        rig.setup.grid("upperIndexSnow")[r][c] =
            sliver + beneath > 0.0 ? (sliver > 0.0 ? 2 : 3) : 4;
      }
    rig.module->readGroundwaterHeads(2020, 4, 1, 0, 0);
    EXPECT_EQ(rig.module->computeTimeStep(0, 0, 1, 4, 2020), 0) << rig.log();
    top = rig.setup.grid("upperIndexSnow")[1][1];
    return rig.module->getSolverTally();
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    double top = 0.0, bareTop = 0.0;
    const SolverTally with = hourOf(k.sliver, k.beneath, top);
    const SolverTally without = hourOf(0.0, k.beneath, bareTop);
    EXPECT_GT(without.heatSteps, 0);
    EXPECT_EQ(with.heatSteps, without.heatSteps);
    EXPECT_EQ(top, k.beneath > 0.0 ? 3.0 : 4.0);
  }
}
