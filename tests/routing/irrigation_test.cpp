#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>

#include "tests/routing/irrigation_fixture.h"

namespace {

// One step of a demand case: the date and the soil, and the amount due.
struct DemandStep {
  long month, day;
  double sb1, sblow, etrEtp;
  double expected;
};

struct DemandType {
  int method, origin, minutes;
  double minEtrEtp, maxPumping;
};

struct DemandCase {
  const char* name;
  DemandType type;
  std::vector<DemandStep> steps;
};

// (SBHIGH - SB_1) x root depth x 1000 x dt / 1440 with SBHIGH 0.4 and roots
// of 0.5 m: 0.2 x 500 = 100 mm a day from SB_1 0.2.
const double quarterDay = 100.0 / 6.0;

} // namespace

// Every case on all twelve cells; the amounts in "irrigation_amounts" after
// each step.
TEST(Irrigation, DemandFollowsTheScheduleOrTheSoil) {
  const std::vector<DemandCase> cases = {
      {"schedule",
       {1, 1, 240, 0.0, 1e9},
       {{5, 15, 0.2, 0.1, 1.0, 4.0}, {5, 16, 0.2, 0.1, 1.0, 0.0}}},
      {"text schedule",
       {2, 1, 240, 0.0, 1e9},
       {{5, 15, 0.2, 0.1, 1.0, 4.0}, {5, 16, 0.2, 0.1, 1.0, 0.0}}},
      {"soil below a day",
       {3, 1, 240, 0.0, 1e9},
       {{6, 1, 0.2, 0.25, 1.0, quarterDay},         // starts
        {6, 1, 0.22, 0.25, 1.0, quarterDay},        // keeps the rate while dry
        {6, 1, 0.3, 0.25, 1.0, quarterDay},         // runs on below SBHIGH
        {6, 1, 0.4, 0.25, 1.0, 0.0},                // stops at SBHIGH
        {6, 1, 0.35, 0.25, 1.0, 0.0},               // stays off
        {6, 2, 0.3, 0.35, 1.0, quarterDay / 2.0}}}, // starts again from 0.3
      {"soil daily",
       {3, 1, 1440, 0.0, 1e9},
       {{6, 1, 0.2, 0.25, 1.0, 100.0}, {6, 2, 0.3, 0.25, 1.0, 0.0}}},
      {"evapotranspiration ratio",
       {4, 2, 240, 0.6, 1e9},
       {{6, 1, 0.2, 0.1, 0.5, quarterDay},
        {6, 1, 0.3, 0.1, 0.7, quarterDay},
        {6, 1, 0.45, 0.1, 0.7, 0.0},
        {6, 1, 0.45, 0.1, 0.5, 0.0}}}, // wetter than SBHIGH: none, not less than none
      {"pumping limit",
       {3, 1, 240, 0.0, 5.0},
       {{6, 1, 0.2, 0.25, 1.0, 5.0}, {6, 1, 0.2, 0.25, 1.0, 5.0}}},
  };

  for (const DemandCase& k : cases) {
    SCOPED_TRACE(k.name);
    const DemandType& t = k.type;
    IrrigationSetup s(std::string("irrigation_demand_") + std::to_string(t.method) + "_" +
                          std::to_string(t.minutes) + "_" + std::to_string(t.maxPumping > 10.0),
                      t.minutes);
    const int code = s.addType(t.method, t.origin, {{5, 14, 48.0}, {5, 15, 24.0}}, t.minEtrEtp);
    ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
    s.wireStub();
    // Surface water as plentiful as the demand asks.
    for (int z = 1; z <= 4; ++z) s.stubMaxIrrig[0][static_cast<std::size_t>(z)] = 1e6;
    for (int z = 1; z <= 4; ++z) {
      s.setZone("irrigation_codes", z, code);
      s.setZone("Max_Pumping", z, t.maxPumping);
    }
    for (std::size_t j = 0; j < k.steps.size(); ++j) {
      const DemandStep& d = k.steps[j];
      for (int z = 1; z <= 4; ++z) {
        s.setZone("SB_1_grid", z, d.sb1);
        s.setZone("SBLOW_grid", z, d.sblow);
        s.setZone("ETR2ETP", z, d.etrEtp);
        s.setZone("precipitation", z, 0.0);
        s.stubMaxIrrig[0][static_cast<std::size_t>(z)] = 1e6;
      }
      s.step(ModelDate{0, static_cast<long>(j % 6) * 4, d.day, d.month, 2001});
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c) {
          EXPECT_NEAR(s.at("irrigation_amounts", r, c), d.expected, 1e-12) << "step " << j;
          EXPECT_NEAR(s.at("precipitation", r, c), d.expected, 1e-12) << "step " << j;
        }
    }
  }
}

// Every cell asks 4 mm by schedule, the glacier grid over the columns 0,
// 0.5, 1 and 1.3 of a cell. A static glacier's cell passes its water on to
// the glacier's runoff: every cell gets the 4 mm. Dynamic glaciers keep a
// pack of their own ("Precipitation_onGlacier"): a cell wholly under one
// has no field and gets none, the field beside half a glacier all 4 mm.
TEST(Irrigation, NoFieldLiesWhollyUnderAGlacierWithAPackOfItsOwn) {
  const double columns[] = {0.0, 0.5, 1.0, 1.3};
  const struct {
    const char* name;
    std::vector<const char*> grids;
    std::vector<double> expected; // per column
  } cases[] = {
      {"static", {"ice_firn"}, {4.0, 4.0, 4.0, 4.0}},
      {"dynamic",
       {"GlacierizedCells", "GlacierMassBalance", "Precipitation_onGlacier"},
       {4.0, 4.0, 0.0, 0.0}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    IrrigationSetup s(std::string("irrigation_glacier_") + k.name, 240);
    std::vector<double> shares(12);
    for (std::size_t i = 0; i < shares.size(); ++i) shares[i] = columns[i % 4];
    for (const char* grid : k.grids)
      s.routing.base.addGrid(grid, grid == k.grids.front() ? shares : std::vector<double>(12, 0.0));
    const int code = s.addType(1, 2, {{5, 15, 24.0}});
    ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
    s.wireStub();
    for (int z = 1; z <= 4; ++z) {
      s.setZone("irrigation_codes", z, code);
      s.stubMaxIrrig[0][static_cast<std::size_t>(z)] = 1e6;
    }
    s.step(ModelDate{0, 4, 15, 5, 2001});
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        const double expected = k.expected[static_cast<std::size_t>(c - 1)];
        EXPECT_NEAR(s.at("irrigation_amounts", r, c), expected, 1e-12) << r << "," << c;
        EXPECT_NEAR(s.at("precipitation", r, c), expected, 1e-12) << r << "," << c;
      }
  }
}

// Zone 1 from groundwater, zone 2 from surface water, zone 3 with code 0 and
// zone 4 with a code beyond the table: 0 in both statistics there.
TEST(Irrigation, StatisticsCountEachOriginAndNothingForCellsWithoutAType) {
  IrrigationSetup s("irrigation_statistics", 240);
  const int ground = s.addType(1, 1, {{5, 15, 24.0}});
  const int surface = s.addType(1, 2, {{5, 15, 12.0}});
  ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
  s.wireStub();
  for (int z = 1; z <= 4; ++z) s.stubMaxIrrig[0][static_cast<std::size_t>(z)] = 1e6;
  s.setZone("irrigation_codes", 1, ground);
  s.setZone("irrigation_codes", 2, surface);
  s.setZone("irrigation_codes", 4, 9.0);
  s.step(ModelDate{0, 4, 15, 5, 2001});
  s.module->Flush();
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c)
      EXPECT_EQ(s.at("irrigation_amounts", r, c), 4.0 / zoneOf(r, c) * (zoneOf(r, c) <= 2));
  const struct {
    const char* file;
    const char* title;
    std::vector<double> zones;
  } expected[] = {
      {"gw.stat", "irrigation water amount from groundwater [mm]", {4, 0, 0, 0}},
      {"sw.stat", "irrigation water amount from  surface water [mm]", {0, 2, 0, 0}},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.file);
    const std::string text = readFile(s.context.outputDirectory + e.file);
    EXPECT_NE(text.find(e.title), std::string::npos) << text;
    const std::vector<std::vector<double>> rows = s.statisticValues(e.file);
    ASSERT_EQ(rows.size(), 1u) << text;
    ASSERT_GE(rows[0].size(), 5u) << text;
    for (std::size_t z = 0; z < 4; ++z) EXPECT_NEAR(rows[0][z], e.zones[z], 1e-12) << text;
    EXPECT_NEAR(rows[0][4], (e.zones[0] + e.zones[1]) / 4.0, 1e-12) << text;
  }
}

// One mm an hour asked everywhere: zone 1 (surface water) where the river
// carries half of it, zone 2 from groundwater, zone 3 (surface water) with
// plenty, zone 4 (surface water) below zone 3 with 0.6 mm that zone 3's
// withdrawal of 1 mm uses up. The riverflow records lose what was taken.
TEST(Irrigation, TheRiverLimitsSurfaceWaterAndLosesWhatIsTaken) {
  IrrigationSetup s("irrigation_river");
  std::vector<IrrigationPoint> daily = {{1, 1, 24.0}};
  const int ground = s.addType(1, 1, daily);
  const int surface = s.addType(1, 2, daily);
  ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
  s.wireStub();
  const int codes[] = {0, surface, ground, surface, surface};
  const double offered[] = {0, 0.5, 0.0, 10.0, 0.6};
  // flow m^3/s and catchment km^2 of each record
  const double flows[][2] = {{0, 0}, {0.01, 0.03}, {0.02, 0.06}, {0.005, 0.03}, {0.1, 0.06}};
  for (int z = 1; z <= 4; ++z) {
    s.setZone("irrigation_codes", z, codes[z]);
    s.stubMaxIrrig[0][static_cast<std::size_t>(z)] = offered[z];
    ReinfiltrationRecord& r = s.riverflow[static_cast<std::size_t>(z)];
    r.attachment = 1;
    r.flowm3s = flows[z][0];
    r.catchmentArea = flows[z][1];
  }
  s.setZone("precipitation", 2, 0.25);
  s.step(ModelDate{0, 0, 1, 1, 2001});

  const double amount[] = {0, 0.5, 1.0, 1.0, 0.0};
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      const int z = zoneOf(r, c);
      EXPECT_NEAR(s.at("irrigation_amounts", r, c), amount[z], 1e-12) << r << " " << c;
      EXPECT_NEAR(s.at("precipitation", r, c), amount[z] + (z == 2 ? 0.25 : 0.0), 1e-12);
    }
  // Taken: 0.5 mm on 0.03 km^2 in an hour from zone 1, so 15 m^3 over
  // 3600 s from its record and the one below; 30 m^3 from zone 3's, which
  // held less (0), and from zone 4's.
  const double takenOne = 15.0 / 3600.0, takenThree = 30.0 / 3600.0;
  const double expected[][2] = {{0, 0},
                                {0.01 - takenOne, (0.01 - takenOne) * 3600.0 / 30000.0 * 1000.0},
                                {0.02 - takenOne, (0.02 - takenOne) * 3600.0 / 60000.0 * 1000.0},
                                {0.0, 0.0},
                                {0.1 - takenThree, (0.1 - takenThree) * 3600.0 / 60000.0 * 1000.0}};
  for (int z = 1; z <= 4; ++z) {
    const ReinfiltrationRecord& r = s.riverflow[static_cast<std::size_t>(z)];
    EXPECT_NEAR(r.flowm3s, expected[z][0], 1e-12) << z;
    EXPECT_NEAR(r.flow_mm[0], expected[z][1], 1e-9) << z;
  }
}

// Rank 0 needs routing's four arrays; the module ends with 60, its own
// lines naming the one missing, and what to mend.
TEST(Irrigation, WithoutRoutingEachMissingArrayEndsTheRun) {
  // The log shows a FATAL entry without its "FATAL: ".
  const std::string own = "if irrigation is modelled, also routing has to be modelled!";
  const std::string first =
      " is on, but channel routing is off ([routing_model] missing or its first line 0): "
      "irrigation takes its water through channel routing, which gives ";
  const std::string last = "; switch [routing_model] on, or [irrigation] off";
  const struct {
    const char* what;
    std::function<void(IrrigationSetup&)> call;
    std::string array, message;
  } cases[] = {
      {"maxirrig",
       [](IrrigationSetup& s) {
         s.module->SetMaxIrrigation(nullptr, s.stubFromReservoirRows.data());
       },
       own + "\n(Adress of array maxirrig[] is NULL\n[irrigation] of ",
       first + "the water its channels hold for the fields" + last},
      {"reservoirs",
       [](IrrigationSetup& s) { s.module->SetMaxIrrigation(s.stubMaxIrrigRows.data(), nullptr); },
       own + "\n(Adress of array maxirrigFromReservoirs[] is NULL\n[irrigation] of ",
       first + "the water its reservoirs hold for the fields" + last},
      {"topology", [](IrrigationSetup& s) { s.module->SetRoutingTarget(nullptr); },
       own + " \n(Adress of array routing-target is NULL)\n[irrigation] of ",
       first + "the subbasins its channels flow to" + last},
      {"areas", [](IrrigationSetup& s) { s.module->SetRoutingElements(nullptr); },
       own + " \n(Adress of array abfrel is NULL)\n[irrigation] of ",
       first + "the areas of its subbasins" + last},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    IrrigationSetup s(std::string("irrigation_missing_") + k.what);
    ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
    int code = 0;
    try {
      k.call(s);
    } catch (int thrown) {
      code = thrown;
    }
    EXPECT_EQ(code, 60);
    const std::string entry = s.routing.log.lastEntry();
    EXPECT_NE(entry.find(k.array), std::string::npos) << s.routing.log.console.str();
    EXPECT_NE(entry.find(k.message), std::string::npos) << s.routing.log.console.str();
    EXPECT_EQ(s.routing.log.fatalCount(), 1);
  }
}

TEST(Irrigation, AMissingDemandGridEndsTheConstructionWith33) {
  for (const char* name : {"SB_1_grid", "ETR2ETP", "root_depth1", "Max_Pumping"}) {
    SCOPED_TRACE(name);
    IrrigationSetup s(std::string("irrigation_without_") + name);
    for (GridRegistryEntry& e : s.routing.base.registry)
      if (e.hasName && e.name == name) e.name = std::string("no ") + name;
    EXPECT_EQ(s.build(), 33);
    EXPECT_NE(s.routing.log.console.str().find(std::string(name) + " not found in memory"),
              std::string::npos)
        << s.routing.log.console.str();
  }
}

// Zone 1 takes river water of concentration 2 onto as much rain of
// concentration 0; zone 2 groundwater, which carries the concentration of
// the soil's top layer (3), the grid of its storage entry, not that of the
// ponded water (7, level 0 of the stack).
TEST(Irrigation, IrrigationWaterCarriesTheConcentrationOfItsSource) {
  IrrigationSetup s("irrigation_tracers", 60, 1);
  memory_handling memory;
  Stack storage = memory.three_d_matrix(1, 3, 1, 4, 2, 3);
  Grid top = s.routing.base.addGrid("top layer", std::vector<double>(12, 3.0));
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c) {
      storage[r][c][0] = 7.0;
      storage[r][c][1] = 3.0;
    }
  GridRegistryEntry& e =
      registerTestGrid(s.routing.base.registry, "concstor_tracer_1_unsatzon_model",
                       "concstor_tracer_1_unsatzon_model", top, 1, 3);
  e.stack = storage;
  e.levels = 2;
  const int surface = s.addType(1, 2, {{1, 1, 24.0}});
  const int ground = s.addType(1, 1, {{1, 1, 24.0}});
  ASSERT_EQ(s.build(), 0) << s.routing.log.console.str();
  int code = 0;
  s.module->initTracers(code, 1, s.routing.tracerTable, s.context.statisticTable,
                        s.context.statisticTableSize);
  ASSERT_EQ(code, 0) << s.routing.log.console.str();
  s.wireStub();
  s.setZone("irrigation_codes", 1, surface);
  s.setZone("irrigation_codes", 2, ground);
  s.setZone("precipitation", 1, 1.0);
  s.stubMaxIrrig[0][1] = 10.0;
  s.stubMaxIrrig[1][1] = 2.0;
  s.step(ModelDate{0, 0, 1, 1, 2001});
  const double expected[] = {0, 1.0, 3.0, 0.0, 0.0};
  for (long r = 1; r <= 3; ++r)
    for (long c = 1; c <= 4; ++c)
      EXPECT_NEAR(s.at("concflux_tracer_1_irrigation", r, c), expected[zoneOf(r, c)], 1e-12)
          << r << " " << c;
  s.module->freeTracers();
  e.hasFileName = e.hasName = false;
  e.stack = nullptr;
  e.grid = nullptr;
  memory.free_three_d_matrix(storage, 1, 3);
}
