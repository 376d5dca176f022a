#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/vertical/interception_fixture.h"

namespace {

struct Value {
  const char* grid;
  double value;
};

} // namespace

// Buckets of capacity 0.2 mm per unit LAI, worked out by hand.
TEST(Interception, FillsAndEvaporatesTheBuckets) {
  struct Case {
    const char* what;
    int method, layers;
    std::function<void(Interception&)> prepare;
    std::vector<Value> expected;
  };
  auto cell = [](std::vector<std::pair<const char*, double>> values) {
    return [values](Interception& i) {
      for (const auto& [grid, value] : values) i.at(grid) = value;
    };
  };
  // P 2 on v 0.5: 1 falls through, 1 fills the 0.4 mm of the bucket.
  const std::vector<Case> cases = {
      {"transpiration demand",
       1,
       1,
       cell({{"precipitation", 2}, {"pot_transpiration1", 0.3}, {"pot_transpiration0", 0.5}}),
       {{"throughfall1", 1.6},
        {"interception_storage1", 0.1},
        {"interception_evaporation1", 0.3},
        {"pot_transpiration1", 0},
        {"pot_transpiration0", 0.2},
        {"throughfall0", 1.6},
        {"interception_storage0", 0.1},
        {"interception_evaporation0", 0.3}}},
      {"interception demand takes no more than the transpiration demand",
       2,
       1,
       cell({{"precipitation", 2},
             {"pot_transpiration1", 0.2},
             {"pot_transpiration0", 0.5},
             {"potential_InterceptionEvap1", 0.5}}),
       {{"interception_evaporation1", 0.4},
        {"interception_storage1", 0},
        {"pot_transpiration1", 0},
        {"pot_transpiration0", 0.3}}},
      {"after snow, the snow's outflow of 2 mm",
       2,
       1,
       cell({{"precipitation", 5}}),
       {{"throughfall1", 1.6}}},
      {"before snow, the precipitation and not the outflow",
       12,
       1,
       cell({{"precipitation", 5}}),
       {{"throughfall1", 4.6}}},
      {"no cover",
       1,
       1,
       cell({{"precipitation", 2}, {"vegetation_coverage_degree1", 0}}),
       {{"throughfall1", 2}, {"interception_storage1", 0}}},
      {"full cover fills the bucket first",
       1,
       1,
       cell({{"precipitation", 0.3}, {"vegetation_coverage_degree1", 1}}),
       {{"throughfall1", 0}, {"interception_storage1", 0.3}}},
      {"a cell without land use passes the water",
       1,
       1,
       cell({{"precipitation", 2}, {"landuse1", -9999}}),
       {{"throughfall0", 2}, {"interception_storage0", 0}}},
      // The pack and soil beside a glacier take the canopy's throughfall per
      // unit of their part; the rain on the glacier's part is its own.
      {"half glaciated",
       1,
       1,
       cell({{"precipitation", 2}, {"pot_transpiration1", 0.3}, {"GlacierizedCells", 0.5}}),
       {{"throughfall0", 1.6}, {"throughfall1", 1.6}}},
      // Glaciers take the water as it comes; the canopy grids show the air
      // above the canopy.
      {"all glacier",
       21,
       1,
       cell({{"precipitation", 2},
             {"GlacierizedCells", 1},
             {"interception_storage1", 0.3},
             {"temperature", 3},
             {"air_humidity", 0.7},
             {"AspectCorrectedGlobalRadiation", 250},
             {"wind_speed", 4}}),
       {{"throughfall0", 2},
        {"interception_storage0", 0},
        {"interception_storage1", 0},
        {"interception_evaporation1", 0},
        {"Snow_canopy_temperature", 3},
        {"Snow_canopy_rh", 0.7},
        {"Snow_canopy_rad", 250},
        {"Snow_canopy_wind", 4},
        {"Snow_canopy_unload_liquid", 2}}},
      // The snow a canopy held before a close covered the cell went with the
      // part the glacier took.
      {"all glacier over a snowy canopy",
       21,
       1,
       cell({{"precipitation", 2}, {"GlacierizedCells", 1}, {"Snow_canopy_load", 5}}),
       {{"throughfall0", 2}, {"Snow_canopy_load", 0}, {"Snow_canopy_unload_solid", 0}}},
      {"three layers, the top one missing",
       1,
       3,
       cell({{"precipitation", 2}, {"landuse1", -9999}}),
       {{"throughfall1", 2},
        {"throughfall2", 1.6},
        {"throughfall3", 1.2},
        {"throughfall0", 1.2},
        {"interception_storage0", 0.8}}},
      {"a two-layer type in a table of three",
       1,
       3,
       cell({{"precipitation", 2}, {"landuse3", -9999}}),
       {{"throughfall2", 1.2},
        {"throughfall3", 1.2},
        {"throughfall0", 1.2},
        {"interception_storage3", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Interception i("icpt_buckets", interceptionSection(c.method), c.layers);
    i.add("GlacierizedCells", 0.0);
    if (std::string(c.what).find("outflow") != std::string::npos) i.add("snowcover_outflow", 2.0);
    i.build();
    c.prepare(i);
    i.step(6);
    for (const Value& v : c.expected) EXPECT_NEAR(i.at(v.grid), v.value, 1e-12) << v.grid;
  }
}

// Method 21 on the first step of a run: 10 mm of snow at -10 degrees C on
// LAI 4 (load 0.7 * 17.6 (1 - exp(-10 / 17.6)), sub-canopy air warmed by
// the canopy closure 0.55 + 0.29 ln 4 times the 2 K offset).
TEST(Interception, HoldsSnowInTheCanopy) {
  struct Case {
    const char* what;
    int method;
    double leafArea, snowCover;
    std::vector<Value> expected;
  };
  const double subCanopy = -8.0959493;
  const std::vector<Case> cases = {
      {"method 21",
       21,
       4.0,
       0.0,
       {{"Snow_canopy_load", 5.340047},
        {"Snow_canopy_unload_solid", 4.659953},
        {"Snow_canopy_unload_liquid", 0},
        {"Snow_canopy_albedo", 0.8},
        {"Snow_canopy_age", 0.0416667},
        {"Snow_canopy_temperature", subCanopy},
        {"throughfall1", 0},
        {"Snow_canopy_sublim", 0}}},
      {"too sparse",
       21,
       0.4,
       0.0,
       {{"Snow_canopy_unload_liquid", 10},
        {"Snow_canopy_unload_solid", 0},
        {"Snow_canopy_albedo", 0.2},
        {"Snow_canopy_load", 0},
        {"throughfall1", 9.92}}},
      {"no snow on the ground",
       31,
       4.0,
       0.0,
       {{"CEB_Canopy_Temperature", subCanopy + 273.16},
        {"CEB_Canopy_Temperature_Old", subCanopy + 273.16},
        {"Canopy_Energy_balance", 0}}},
      {"too sparse, with the energy balance",
       31,
       0.4,
       10.0,
       {{"CEB_Canopy_Temperature", 263.15}, {"Canopy_Energy_balance", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Interception i("icpt_canopy", interceptionSection(c.method));
    i.at("leaf_area_index1") = c.leafArea;
    i.at("precipitation") = 10.0;
    i.at("snow_storage_total") = c.snowCover;
    i.build();
    i.module->setRainSnowThreshold(0.0, 1.0);
    i.step(6);
    for (const Value& v : c.expected) EXPECT_NEAR(i.at(v.grid), v.value, 5e-7) << v.grid;
  }
}

// What comes in leaves as throughfall, evaporates, or stays in a bucket
// or the canopy snow, in every step and cell: a week of hourly rain,
// snow and thaw on one and three layers.
TEST(Interception, ConservesTheWaterInEveryStep) {
  for (const int method : {1, 2, 22, 32}) {
    for (const int layers : {1, 3}) {
      SCOPED_TRACE(std::to_string(method) + ", " + std::to_string(layers) + " layers");
      Interception i("icpt_balance", interceptionSection(method), layers);
      if (layers == 3) i.grid("landuse2")[1][2] = -9999.0;
      i.build();
      i.module->setRainSnowThreshold(0.5, 1.0);
      const bool snow = method > 20;
      double worst = 0.0;
      double held = 0.0; // the most snow the canopy held
      for (long step = 0; step < 168; ++step) {
        const double phase = step * 2.0 * M_PI / 24.0;
        for (long r = 1; r <= 2; ++r)
          for (long c = 1; c <= 2; ++c) {
            i.grid("precipitation")[r][c] = std::max(0.0, 3.0 * std::sin(phase * 0.37 + r + c));
            i.grid("temperature")[r][c] = 4.0 * std::sin(phase / 7.0) + c - r + std::cos(phase);
            i.grid("AspectCorrectedGlobalRadiation")[r][c] = std::max(0.0, 600 * std::sin(phase));
            i.grid("air_humidity")[r][c] = 0.7 + 0.2 * std::cos(phase);
            i.grid("wind_speed")[r][c] = 1.0 + r;
            i.grid("snow_storage_total")[r][c] = step % 3;
            for (int k = 0; k <= layers; ++k) {
              i.grid("pot_transpiration" + std::to_string(k))[r][c] = 0.05 + 0.01 * k;
              i.grid("potential_InterceptionEvap" + std::to_string(k))[r][c] = 0.08;
            }
          }
        std::vector<double> before;
        for (long r = 1; r <= 2; ++r)
          for (long c = 1; c <= 2; ++c)
            before.push_back(i.grid("interception_storage0")[r][c] +
                             (snow ? i.grid("Snow_canopy_load")[r][c] : 0.0));
        i.module->computeInterception(0, step % 24, 1 + step / 24, 3, 2021);
        for (long r = 1; r <= 2; ++r)
          for (long c = 1; c <= 2; ++c) {
            if (r == 1 && c == 1) continue;
            double out = i.grid("throughfall0")[r][c] + i.grid("interception_evaporation0")[r][c] +
                         i.grid("interception_storage0")[r][c];
            if (snow) {
              const double load = i.grid("Snow_canopy_load")[r][c];
              out += i.grid("Snow_canopy_unload_solid")[r][c] + load +
                     i.grid("Snow_canopy_sublim")[r][c];
              held = std::max(held, load);
            }
            const double in = i.grid("precipitation")[r][c] + before[(r - 1) * 2 + c - 1];
            worst = std::max(worst, std::fabs(in - out));
          }
      }
      EXPECT_LT(worst, 1e-11);
      EXPECT_EQ(held > 0.0, snow);
    }
  }
}

TEST(Interception, FailsWithTheMessageOfEachFault) {
  struct Case {
    const char* what;
    std::string section;
    std::function<void(Interception&)> prepare;
    int code;
    std::string message;
  };
  auto none = [](Interception&) {};
  auto without = [](const char* name) {
    return [name](Interception& i) {
      for (GridRegistryEntry& e : i.s.registry)
        if (e.hasName && e.name == name) e.name = std::string(name) + "_gone";
    };
  };
  const std::vector<int> listed = {99};
  const std::string full = interceptionSection(32);
  const std::vector<Case> cases = {
      {"method 3", interceptionSection(3), none, 1161,
       "method 3 is not supported in interception model (use one of 1, 2, 11, 12, 21, 22, "
       "31, 32)"},
      {"no albedo", full, without("albedo"), 1160,
       "Albedo not available in advanced snow interception model with canopy energy "
       "balance (should be available when an extended snow model is used)"},
      {"no snow storage", full, without("snow_storage_total"), 1160,
       "total snow storage not available in advanced snow interception model with canopy "
       "energy balance (use any snow model to have this grid been created for you)"},
      {"no surface temperature", full, without("surftemp"), 1160,
       "snow surface temperatur not available in advanced snow interception model with "
       "canopy energy balance (in snow model, an energy balance approach should be used)"},
      {"registry full", interceptionSection(2),
       [](Interception& i) {
         for (int k = 1; k < gridRegistryLimit; ++k) i.s.registry[k].hasFileName = true;
       },
       12, "no free grid left1000"},
      {"a missing entry", interceptionSection(2).substr(0, 40), none, 17,
       "error in control file, write code outflow grid for "},
      {"a statistic of an unknown zone", interceptionSection(2, 60, "5001"),
       [&listed](Interception& i) { i.s.context.outputList = &listed; }, 1,
       "there is a code in the output list which no zone exists for (99)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Interception i("icpt_faults", c.section);
    c.prepare(i);
    i.module = constructSubmodel<TestInterception>(i.code, i.s.context);
    EXPECT_EQ(i.code, c.code);
    EXPECT_NE(i.s.log.console.str().find(c.message), std::string::npos) << i.s.log.console.str();
  }
}

// One grid per step, also at steps of a quarter of an hour: the history
// holds the last day exactly.
TEST(Interception, RemembersTheTemperatureOfTheLastDay) {
  for (const int minutes : {60, 15}) {
    Interception i("icpt_history", interceptionSection(21, minutes));
    i.build();
    const int perDay = 1440 / minutes;
    for (int k = 1; k <= perDay + 7; ++k) {
      i.at("temperature") = k;
      i.module->computeInterception((k * minutes) % 60, (k * minutes / 60) % 24,
                                    1 + k * minutes / 1440, 2, 2021);
    }
    EXPECT_EQ(i.module->temperatureHistory->count(), perDay) << minutes;
    EXPECT_DOUBLE_EQ(i.module->temperatureHistory->mean(2, 2), (8.0 + perDay + 7.0) / 2.0)
        << minutes;
  }
}

// With readgrid 1 the stores start from the files of a former run, in the
// cells of the zone grid.
TEST(Interception, StartsTheStoresFromTheirFiles) {
  std::string section = interceptionSection(21);
  section.replace(section.find("0  readgrid"), 1, "1");
  Interception i("icpt_readgrid", section);
  i.s.context.inputDirectory = i.s.log.directory + "/";
  const std::string head = "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 100\n"
                           "nodata_value -9999\n";
  const std::pair<const char*, const char*> files[] = {{"si.asc", "7 7\n7 0.25\n"},
                                                       {"si_Layer_1.asc", "7 7\n7 0.5\n"},
                                                       {"load.asc", "7 7\n7 3\n"},
                                                       {"alb.asc", "7 7\n7 0.6\n"},
                                                       {"age.asc", "7 7\n7 2\n"}};
  for (const auto& [file, rows] : files) writeFile(i.s.log.directory + "/" + file, head + rows);
  i.build();
  const std::vector<Value> expected = {
      {"interception_storage0", 0.25}, {"interception_storage1", 0.5}, {"Snow_canopy_load", 3},
      {"Snow_canopy_albedo", 0.6},     {"Snow_canopy_age", 2},         {"Snow_canopy_sublim", 0}};
  for (const Value& v : expected) EXPECT_EQ(i.at(v.grid), v.value) << v.grid;
  EXPECT_EQ(i.grid("interception_storage1")[1][1], -9999.0);
}

// A mass tracer, "mas", and one whose concentration evaporating water
// leaves behind, "con"; returns the failure code.
int startTracers(Interception& i) {
  std::vector<TracerRecord> table(3);
  table[1].name = "mas";
  table[1].maxConc = 100.0;
  table[2].name = "con";
  table[2].evaporating = 1;
  int error = -1;
  i.module->initTracers(error, 2, table, nullptr, 0);
  return error;
}

// 1 mm of water with 3 units per mm reaches a bucket of 0.4 mm holding
// 0.2 mm; the 0.8 mm above the capacity leave with their share. A mass
// tracer leaves 2 of the 3 units it brought (2.5 per mm in the bucket);
// a concentration mixes with the bucket's 1 per mm.
TEST(Interception, CarriesTracersThroughTheBucket) {
  Interception i("icpt_tracers", interceptionSection(1));
  i.at("precipitation") = 2.0;
  i.add("concflux_tracer_1_input", 3.0);
  i.add("concflux_tracer_2_input", 3.0);
  i.build();
  ASSERT_EQ(startTracers(i), 0) << i.s.log.console.str();
  i.at("interception_storage1") = 0.2;
  i.at("concstor_tracer_2_interception_model") = 1.0;
  i.step(6);
  const std::vector<Value> expected = {
      {"concstor_tracer_1_interception_model", 1.0},
      {"concflux_tracer_1_interception_model", 5.0 / 1.8},
      {"concstor_tracer_2_interception_model", 3.2 / 1.2},
      {"concflux_tracer_2_interception_model", (0.8 * 3.2 / 1.2 + 3.0) / 1.8}};
  for (const Value& v : expected) EXPECT_NEAR(i.at(v.grid), v.value, 1e-12) << v.grid;
  i.module->freeTracers();
}

// Without a snow model all 10 mm of snow at -10 degrees C that the canopy
// does not hold (as in HoldsSnowInTheCanopy) fall past the bucket, and
// carry the 3 units per mm they came with.
TEST(Interception, DropsTheCanopySnowWithoutASnowModel) {
  Interception i("icpt_tracer_snow", interceptionSection(21));
  i.at("leaf_area_index1") = 4.0;
  i.at("precipitation") = 10.0;
  i.add("concflux_tracer_1_input", 3.0);
  i.add("concflux_tracer_2_input", 3.0);
  i.build();
  i.module->setRainSnowThreshold(0.0, 1.0);
  i.module->setSnowModelBelow(false);
  ASSERT_EQ(startTracers(i), 0) << i.s.log.console.str();
  i.step(6);
  const std::vector<Value> expected = {{"throughfall0", 4.659953},
                                       {"throughfall1", 4.659953},
                                       {"interception_storage1", 0},
                                       {"concflux_tracer_1_interception_model", 3.0},
                                       {"concflux_tracer_2_interception_model", 3.0}};
  for (const Value& v : expected) EXPECT_NEAR(i.at(v.grid), v.value, 5e-7) << v.grid;
  i.module->freeTracers();
}
