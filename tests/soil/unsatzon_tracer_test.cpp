// The tracers of the unsaturated zone on the fixture's catchment: their
// set-up and its failures, their initial stores, decay, the runoff
// concentrations of the subbasins, and a warm start.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>

#include "tests/soil/column_fixture.h"
#include "tests/soil/snow_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

constexpr size_t controlEntry = 72;
constexpr size_t readGridEntry = 86;

// Two tracers: a chloride of concentration 2 in the soil and 5 in the
// groundwater, and a radioactive one stored as concentrations.
std::vector<TracerRecord> twoTracers() {
  std::vector<TracerRecord> table(3);
  table[1].name = "chl";
  table[1].soilIni = 2.0;
  table[1].gwIni = 5.0;
  table[1].gridCode = 3;
  table[2].name = "tri";
  table[2].radioactive = 1;
  table[2].halfTime = 1.0;
  table[2].soilIni = 1.0;
  table[2].gwIni = 0.5;
  table[2].takenFromOtherStore = 1;
  table[2].gridCode = 3;
  return table;
}

// The fixture's catchment with rain carrying both tracers.
struct TracerCatchment {
  explicit TracerCatchment(const std::string& name,
                           const std::function<void(TracerCatchment&)>& edit = nullptr)
      : setup(name), uses(2), cd(setup.directory), table(twoTracers()) {
    uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
    setup.base.context.landuseTable = &uses;
    setup.base.context.writeDoubleGrids = true;
    setup.base.context.inputDirectory = setup.directory + "/";
    setup.base.addGrid("precipitation", {2, 9, 5, 1, 8, 3, 0, 12, 4, 6, -9999, -9999});
    // The tracers write their grids at the end of the run.
    setup.base.addGrid("MPIRegions", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nodata, nodata});
    setup.base.addGrid("MPIHelper", uniform(0.0));
    lines = setup.lines;
    if (edit) edit(*this);
    for (const std::string& flux : fluxes) setup.base.addGrid(flux, uniform(4.0));
  }
  // Builds the module and sets up its tracers, with `between` run between
  // the two; returns the code.
  int build(const std::function<void()>& between = nullptr) {
    int code = 0;
    module = setup.build(lines, code, extra);
    if (code != 0) return code;
    if (between) between();
    code = -1;
    module->initTracers(code, static_cast<int>(table.size()) - 1, table, nullptr, 0);
    return code;
  }
  void step(int hour) {
    module->readGroundwaterHeads(2020, 6, 1, hour, 0);
    module->computeTimeStep(0, hour, 1, 6, 2020);
    module->concentrateRunoff(0, hour, 1, 6, 2020);
  }
  std::string log() const { return setup.base.log.console.str(); }

  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  std::vector<TracerRecord> table;
  std::vector<std::string> lines;
  std::vector<std::string> fluxes = {"concflux_tracer_1_input", "concflux_tracer_2_input"};
  std::string extra;
  std::unique_ptr<TestUnsatzon> module;
};

std::vector<double> state(TracerCatchment& rig) {
  std::vector<double> values;
  for (const char* name :
       {"theta", "concstor_tracer_1_unsatzon_model", "concstor_tracer_2_unsatzon_model"})
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        for (int k = 0; k <= 4; ++k) values.push_back(rig.setup.stack(name)[r][c][k]);
  for (const char* name : {"directflow", "_CONC_QD_1_", "_CONC_QI_2_", "groundwater_distance"})
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) values.push_back(rig.setup.grid(name)[r][c]);
  for (const auto& tracer : *rig.module->getQg())
    values.insert(values.end(), tracer.begin(), tracer.end());
  return values;
}

} // namespace

// What the set-up of the tracers needs, each failure with its code and
// text: the input concentration of the water, a point file that can be
// created, a free registry entry, and a stored tracer stack of the former
// run with a level per soil layer.
TEST(UnsatzonTracers, SetUpFailuresNameTheirCause) {
  struct Case {
    const char* name;
    std::function<void(TracerCatchment&)> edit;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"no input concentration", [](TracerCatchment& t) { t.fluxes = {}; }, 33,
       "concflux_tracer_1_interception_model"},
      {"point file",
       [](TracerCatchment& t) {
         t.lines[controlEntry] = "1 1  control point";
         t.table[1].path = "missing/";
       },
       65, "error opening tracer concentration file <output>/missing/chlpoint."},
      {"full registry", nullptr, 12,
       "no free grid left. please contact the author to set the number of grids to a "
       "larger value 1000"},
      {"stack levels", [](TracerCatchment& t) { t.lines[readGridEntry] = "1  readgrid"; }, 13,
       "wrong number of levels in stack chlstore. (there are 2 levels, it must be 4"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TracerCatchment rig(std::string("unsatzon_tracer_fail_") + std::to_string(&k - cases), k.edit);
    if (k.code == 12) {
      int code = 0;
      rig.module = rig.setup.build(rig.lines, code);
      ASSERT_EQ(code, 0);
      for (GridRegistryEntry& e : rig.setup.base.registry) e.hasFileName = true;
      code = -1;
      rig.module->initTracers(code, 2, rig.table, nullptr, 0);
      EXPECT_EQ(code, 12);
      for (GridRegistryEntry& e : rig.setup.base.registry) e.hasFileName = e.hasName;
    } else if (k.code == 13) {
      // A former run's stores, binary, of one level too few each.
      int code = 0;
      auto former = rig.setup.build(rig.setup.lines, code);
      ASSERT_EQ(code, 0);
      const Stack s = rig.setup.stack("theta");
      former->writeStack("chlstore.", s, 2, false, true, false);
      for (const auto& [name, entry] : {std::pair{"theta", 30}, std::pair{"hydraulic_heads", 32},
                                        std::pair{"geodetic_heads", 34}})
        former->writeStack(rig.lines[static_cast<size_t>(entry)].substr(
                               0, rig.lines[static_cast<size_t>(entry)].find(' ')),
                           rig.setup.stack(name), 4, false, true, false);
      for (const auto& [name, entry] :
           {std::pair{"groundwater_distance", 38}, std::pair{"Theta_in_GWLEVEL", 40},
            std::pair{"groundwater_level", 44}, std::pair{"baseflow", 56}})
        former->writeGrid(rig.lines[static_cast<size_t>(entry)].substr(
                              0, rig.lines[static_cast<size_t>(entry)].find(' ')),
                          rig.setup.grid(name), false, true, false);
      former.reset();
      EXPECT_EQ(rig.build(), 13);
    } else {
      EXPECT_EQ(rig.build(), k.code);
    }
    // A relative path of the tracer lies in the output directory.
    std::string message = k.message;
    if (const size_t at = message.find("<output>"); at != std::string::npos)
      message.replace(at, 8, rig.setup.directory);
    EXPECT_NE(rig.log().find(message), std::string::npos) << rig.log();
  }
}

// Without tracers only the flow-time distribution is built: no store, grid
// or point file of a tracer.
TEST(UnsatzonTracers, NoTracerBuildsNoTracerGrid) {
  TracerCatchment rig("unsatzon_tracer_none", [](TracerCatchment& t) {
    t.table.resize(1);
    t.fluxes = {};
    t.lines[controlEntry] = "1 1  control point";
  });
  ASSERT_EQ(rig.build(), 0) << rig.log();
  for (const GridRegistryEntry& e : rig.setup.base.registry)
    EXPECT_TRUE(!e.hasName || (e.name.find("tracer") == std::string::npos &&
                               e.name.find("_CONC_") == std::string::npos))
        << e.name;
  EXPECT_EQ(rig.module->getQg()->size(), 1u);
  rig.step(0);
}

// A floating-point error raised while the columns moved their tracers on
// the threads is reported once the step has left them.
TEST(UnsatzonTracers, TracerStepReportsAFloatingPointError) {
  TracerCatchment rig("unsatzon_tracer_fpe");
  ASSERT_EQ(rig.build(), 0) << rig.log();
  rig.module->floatingPointError.set(1);
  rig.step(0);
  EXPECT_NE(rig.log().find("fpe in i1: 2020, i2: 6, i3: 1, i4: 0"), std::string::npos) << rig.log();
  EXPECT_EQ(rig.module->floatingPointError.get(), 2);
}

// The cold-started columns (table at the top of layer 4) hold the soil's
// concentration above the table and the groundwater's from it down, as
// masses 1000 theta d C, or as concentrations where the store is taken from
// another one; the ponded water starts with the soil's concentration.
TEST(UnsatzonTracers, StoresStartWithTheInitialConcentrations) {
  TracerCatchment rig("unsatzon_tracer_start");
  ASSERT_EQ(rig.build(), 0) << rig.log();
  const Stack theta = rig.setup.stack("theta");
  const Stack chloride = rig.setup.stack("concstor_tracer_1_unsatzon_model");
  const Stack tritium = rig.setup.stack("concstor_tracer_2_unsatzon_model");
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      if (r == 3 && c > 2) {
        EXPECT_EQ(chloride[r][c][1], nodata);
        continue;
      }
      EXPECT_EQ(chloride[r][c][0], 2.0);
      EXPECT_EQ(tritium[r][c][0], 1.0);
      for (int k = 1; k <= 4; ++k) {
        EXPECT_NEAR(chloride[r][c][k], 1000.0 * theta[r][c][k] * 0.25 * (k < 4 ? 2.0 : 5.0), 1e-12);
        EXPECT_EQ(tritium[r][c][k], k < 4 ? 1.0 : 0.5);
      }
    }
}

// On daily steps of one sub-step a half-life of one day leaves
// exp(-1 / 1.442695041111) = 0.50000000005334 of a tracer per step in a
// column at rest; a tracer that is not radioactive keeps its mass.
TEST(UnsatzonTracers, DecayOnDailySteps) {
  TracerCatchment rig("unsatzon_tracer_decay", [](TracerCatchment& t) {
    t.table[2].takenFromOtherStore = 0;
    t.lines[84] = "0 0  no baseflow";
  });
  rig.extra = "";
  std::string text = unsatzonSection(rig.lines);
  text.replace(text.find("60  time step"), 2, "1440");
  writeFile(rig.setup.base.controlFile, text);
  int code = 0;
  rig.module = constructSubmodel<TestUnsatzon>(code, rig.setup.base.context, &rig.setup.soils);
  ASSERT_EQ(code, 0) << rig.log();
  code = -1;
  rig.module->initTracers(code, 2, rig.table, nullptr, 0);
  ASSERT_EQ(code, 0) << rig.log();
  for (const char* name : {"precipitation", "pot_transpiration1", "potential_evaporation"}) {
    Grid still = rig.setup.grid(name);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) still[r][c] = 0.0;
  }
  auto mass = [&](const char* name) {
    double m = 0.0;
    const Stack s = rig.setup.stack(name);
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        if (r < 3 || c < 3)
          for (int k = 1; k <= 4; ++k) m += s[r][c][k];
    return m;
  };
  for (int day = 1; day <= 2; ++day) {
    const double chloride = mass("concstor_tracer_1_unsatzon_model");
    const double tritium = mass("concstor_tracer_2_unsatzon_model");
    rig.module->readGroundwaterHeads(2020, 6, day, 0, 0);
    rig.module->computeTimeStep(0, 0, day, 6, 2020);
    rig.module->concentrateRunoff(0, 0, day, 6, 2020);
    EXPECT_NEAR(mass("concstor_tracer_1_unsatzon_model") / chloride, 1.0, 1e-12);
    EXPECT_NEAR(mass("concstor_tracer_2_unsatzon_model") / tritium, 0.50000000005334, 1e-12);
  }
}

// The linear storages of a subbasin (60 minutes on hourly steps, c = 1/e)
// mix the concentration of what flows in with that of what they keep:
// direct runoff of 10 mm at 2 then 10 mm at 4, interflow of 10 mm at 1;
// the total runoff takes the mean weighted by the water.
TEST(UnsatzonTracers, StoragesMixTheRunoffConcentrations) {
  TracerCatchment rig("unsatzon_tracer_storages");
  ASSERT_EQ(rig.build(), 0) << rig.log();
  auto& direct = rig.module->directRecords;
  auto& inter = rig.module->interflowRecords;
  const double c = std::exp(-1.0);
  const double first = 10.0 * (1.0 - c);
  const double second = first + c * first;
  struct Step {
    double directConcentration, interflowWater;
    double QDout, QDoutConcentration, QgConcentration;
  };
  const Step steps[] = {{2.0, 10.0, first, 2.0, 1.5},
                        {4.0, 0.0, second, (4.0 * first + 2.0 * c * first) / second,
                         ((4.0 * first + 2.0 * c * first) + c * first) / (second + c * first)}};
  int hour = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE("hour " + std::to_string(hour));
    rig.module->readGroundwaterHeads(2020, 6, 1, hour, 0);
    // Subbasin 1 is one cell of weight 1; one sub-step.
    direct[0][1].add(1, 10.0, 1.0, 1.0);
    direct[1][1].add(1, 10.0 * s.directConcentration, 10.0, 10.0);
    inter[0][1].add(1, s.interflowWater, 1.0, 1.0);
    inter[1][1].add(1, s.interflowWater * 1.0, s.interflowWater, s.interflowWater);
    rig.module->concentrateRunoff(0, hour, 1, 6, 2020);
    const auto& QDout = rig.module->QDout;
    EXPECT_NEAR(QDout[0][1], s.QDout, 1e-12);
    EXPECT_NEAR(QDout[1][1], s.QDoutConcentration, 1e-12);
    EXPECT_NEAR((*rig.module->getQg())[1][1], s.QgConcentration, 1e-12);
    ++hour;
  }
}

// Four hours run through equal two hours, whose end writes the columns, the
// tracer stores and the state file with a block per tracer, followed by two
// hours of a warm start from them.
TEST(UnsatzonTracers, WarmStartEqualsTheContinuousRun) {
  auto configure = [](TracerCatchment& t) {
    for (size_t entry : {31, 33, 35, 39, 41, 45, 57}) t.lines[entry] = "3  at the end";
  };
  std::vector<double> continuous;
  {
    TracerCatchment rig("unsatzon_tracer_continuous", configure);
    rig.setup.base.context.endDate = ModelDate{0, 3, 1, 6, 2020};
    ASSERT_EQ(rig.build(), 0) << rig.log();
    for (int hour = 0; hour < 4; ++hour) rig.step(hour);
    continuous = state(rig);
  }
  TracerCatchment rig("unsatzon_tracer_warm", configure);
  rig.setup.base.context.endDate = ModelDate{0, 1, 1, 6, 2020};
  ASSERT_EQ(rig.build(), 0) << rig.log();
  for (int hour = 0; hour < 2; ++hour) rig.step(hour);
  // The driver releases the tracers before the teardown, which then finds
  // none left.
  rig.module->freeTracers();
  rig.module->setWriteStorageFlag(1);
  rig.module->finishModelRun(false);
  rig.module.reset();
  const std::string file = readFile(rig.setup.directory + "/state_0");
  for (const char* block :
       {"2 (number of tracers)\n0 (0=runoff, 1...9 = tracers)\n",
        "\n1 (0=runoff, 1...9 = tracers)\n", "\n2 (0=runoff, 1...9 = tracers)\n"})
    EXPECT_NE(file.find(block), std::string::npos) << block;

  rig.lines[readGridEntry] = "1  readgrid";
  rig.setup.base.context.endDate = ModelDate{0, 3, 1, 6, 2020};
  ASSERT_EQ(rig.build(), 0) << rig.log();
  for (int hour = 2; hour < 4; ++hour) rig.step(hour);
  const std::vector<double> warm = state(rig);
  ASSERT_EQ(warm.size(), continuous.size());
  for (size_t i = 0; i < warm.size(); ++i) EXPECT_EQ(warm[i], continuous[i]) << i;
}

// Slides and a glacier's close change the layered pack after the soil's
// step. The step's end takes that change into the pack's tracer: what came
// at the concentration of the snow model's store, what went leaving the
// pack's; a second end without change keeps it.
TEST(UnsatzonTracers, PackTakesUpWhatTheSnowModelChangedAfterTheSoil) {
  struct Case {
    const char* name;
    double before, after, expected;
  };
  // The pack starts at the soil's 2, the snow model holds snow at 8.
  const Case cases[] = {{"grown", 10.0, 15.0, (2.0 * 10.0 + 8.0 * 5.0) / 15.0},
                        {"shrunk", 10.0, 6.0, 2.0},
                        {"from_none", 0.0, 4.0, 8.0},
                        {"unchanged", 10.0, 10.0, 2.0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TracerCatchment rig(std::string("unsatzon_tracer_pack_") + k.name, [](TracerCatchment& t) {
      t.extra = heatSection(11, t.setup.directory) +
                snowSections(t.setup.directory, {snowType(1, 3)});
      t.setup.base.addGrid("temperature", uniform(-5.0));
      for (const char* name : {"concstor_tracer_1_snow_model", "concstor_tracer_2_snow_model"})
        t.setup.base.addGrid(name, uniform(8.0));
    });
    // The water the pack's level 0 holds counts whole, without a layer.
    auto fill = [&](double water) {
      Stack liquid = rig.setup.stack("SnowWaterEquivalentLiquid");
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c)
          if (liquid[r][c][0] != nodata) liquid[r][c][0] = water;
    };
    ASSERT_EQ(rig.build([&] { fill(k.before); }), 0) << rig.log();
    fill(k.after);
    const Grid pack = rig.setup.grid("concstor_tracer_1_snowpack");
    for (int hour = 0; hour < 2; ++hour) {
      rig.module->concentrateRunoff(0, hour, 1, 6, 2020);
      int cells = 0;
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c)
          if (pack[r][c] != nodata) {
            EXPECT_NEAR(pack[r][c], k.expected, 1e-12) << hour << r << c;
            ++cells;
          }
      EXPECT_EQ(cells, 10);
    }
  }
}

// The control cell's tracer profiles: a header naming the cell and its
// layers, then per sub-step the concentration of every layer, the mass over
// the water for a stored mass and the stored value for a store of
// concentrations.
TEST(UnsatzonTracers, PointFilesHoldTheLayerConcentrations) {
  TracerCatchment rig("unsatzon_tracer_point",
                      [](TracerCatchment& t) { t.lines[controlEntry] = "1 2  control point"; });
  ASSERT_EQ(rig.build(), 0) << rig.log();
  std::string rows[3];
  for (int hour = 0; hour < 2; ++hour) {
    rig.step(hour);
    rig.module->flushStatistics();
    const Stack theta = rig.setup.stack("theta");
    for (int k = 1; k <= 2; ++k) {
      const Stack store =
          rig.setup.stack("concstor_tracer_" + std::to_string(k) + "_unsatzon_model");
      char row[200];
      int at = std::snprintf(row, sizeof row, "2020\t6\t1\t%d", hour);
      for (int level = 1; level <= 4; ++level)
        at += std::snprintf(row + at, sizeof row - static_cast<size_t>(at), "\t%g",
                            k == 2 ? store[1][2][level]
                                   : store[1][2][level] / (theta[1][2][level] * 250.0));
      rows[k] += std::string(row) + "\n";
    }
  }
  for (int k = 1; k <= 2; ++k) {
    const char* name = k == 1 ? "chl" : "tri";
    EXPECT_EQ(readFile(rig.setup.directory + "/" + name + "point."),
              "YY\tMM\tDD\tHH\ttracer concentration for tracer " + std::to_string(k) + " (" + name +
                  ") [1][2][1]\t[2]\t[3]\t[4]\t\n" + rows[k]);
  }
}
