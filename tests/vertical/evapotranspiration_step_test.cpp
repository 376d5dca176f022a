#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/vertical/evapotranspiration_fixture.h"

namespace {

struct CellValue {
  const char* grid;
  double value;
  long row = 2;
  long column = 2;
};

} // namespace

// Values computed by hand from the formulas of each method (Penman-Monteith
// at night: RL = 62.5166 Wh/m2, Delta/gamma = 1.244654, ra = 63.70222 s/m,
// rs = 2500 s/m).
TEST(Evapotranspiration, GivesTheHandComputedPotentialsOfEachMethod) {
  struct Step {
    int method, minutes, layers;
    double latitude;
    long hour, day, month;
  };
  struct Case {
    const char* what;
    Step step;
    std::function<void(Evapotranspiration&)> prepare;
    std::vector<CellValue> expected;
    std::string fh = "";   // Haude's monthly factors
    std::string lake = ""; // the lake section
  };
  auto grids = [](std::vector<std::pair<const char*, double>> list) {
    return [list](Evapotranspiration& e) {
      for (const auto& [name, value] : list) e.add(name, value);
    };
  };
  const std::string lake = "[lake_model]\n1\n2\n0.08\n0.001\n";
  const std::vector<Case> cases = {
      {"Hamon, midnight sun",
       {2, 1440, 1, 80.0, 0, 21, 6},
       grids({}),
       {{"pot_transpiration0", 3.101293},
        {"pot_transpiration1", 3.101293},
        {"potential_InterceptionEvap1", 3.101293},
        {"potential_evaporation", 1.550646}}},
      {"Hamon on a lake of 5 mm",
       {2, 1440, 1, 80.0, 0, 21, 6},
       grids({{"lake_codes", 1.0}, {"ponding_storage", 5.0}}),
       {{"pot_transpiration0", 3.101293}},
       "",
       lake},
      {"Hamon on a lake of 5.1 mm: HamonCorrectionOpenWater 1.2",
       {2, 1440, 1, 80.0, 0, 21, 6},
       grids({{"lake_codes", 1.0}, {"ponding_storage", 5.1}}),
       {{"pot_transpiration0", 1.2 * 3.101293}},
       "",
       lake},
      {"Wendling by day",
       {3, 1440, 1, 80.0, 0, 21, 6},
       grids({{"global_radiation", 2000.0}}),
       {{"pot_transpiration1", 1.188571}, {"AspectCorrectedGlobalRadiation", 2000.0}}},
      {"Wendling in the polar night",
       {3, 1440, 1, 80.0, 0, 21, 12},
       grids({{"global_radiation", 2000.0}}),
       {{"pot_transpiration1", 0.149173}, {"cloudiness", 0.5}}},
      {"Haude",
       {4, 1440, 1, 47.3, 0, 21, 6},
       grids({{"temperature_14", 20.0}, {"air_humidity_14", 0.3}}),
       {{"pot_transpiration0", 4.896849}}},
      {"Haude capped at 7 mm a day",
       {4, 1440, 1, 47.3, 0, 21, 6},
       grids({{"temperature_14", 20.0}, {"air_humidity_14", 0.3}}),
       {{"pot_transpiration0", 7.0}},
       "0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5"},
      {"Penman-Monteith at night",
       {1, 60, 1, 47.3, 1, 21, 3},
       grids({{"global_radiation", 300.0}}),
       {{"pot_transpiration1", 0.0017625},
        {"potential_InterceptionEvap1", 0.0325772},
        {"potential_evaporation", 0.0258584},
        {"pot_transpiration0", 0.0276209},
        {"pot_transpiration0", -9999.0, 1, 1}}},
      // Layer 3 under layer 1 (LAI 2 above it: ra 83.70222 s/m); the soil
      // evaporates under layer 3 alone.
      {"Penman-Monteith at night, layers 1 and 3",
       {1, 60, 3, 47.3, 1, 21, 3},
       [](Evapotranspiration& e) {
         e.add("global_radiation", 300.0);
         e.grid("landuse2")[2][2] = -9999.0;
         e.grid("leaf_area_index2")[2][2] = -9999.0;
         e.grid("MPIRegions")[1][2] = 1.0;
       },
       {{"pot_transpiration1", 0.0017625},
        {"potential_InterceptionEvap1", 0.0325772},
        {"pot_transpiration2", 0.0},
        {"potential_InterceptionEvap2", 0.0},
        {"pot_transpiration3", 0.0023377},
        {"potential_InterceptionEvap3", 0.0334429},
        {"potential_evaporation", 0.0218260},
        {"pot_transpiration0", 0.0259261},
        {"pot_transpiration0", -9999.0, 1, 2},
        {"potential_evaporation", -9999.0, 1, 2}}},
      // Given sunshine s: x = 0.25 + 0.75 s.
      {"cloudiness of a clear sky",
       {3, 60, 1, 47.3, 13, 21, 6},
       grids({{"global_radiation", 700.0}, {"sunshine_duration", 1.0}}),
       {{"cloudiness", 0.0384}}},
      {"cloudiness at half the clear sky",
       {3, 60, 1, 47.3, 13, 21, 6},
       grids({{"global_radiation", 700.0}, {"sunshine_duration", 1.0 / 3.0}}),
       {{"cloudiness", 0.869175}}},
      // Without leaves, deficit and resistances the soil takes
      // Delta/gamma / (Delta/gamma + 1) of RN / lambda, however the step
      // divides into day and night (here 5:00 to 7:00 on 21 March).
      {"net radiation over sunrise",
       {1, 120, 1, 47.3, 7, 21, 3},
       [](Evapotranspiration& e) {
         e.add("net_radiation", 100.0);
         for (const char* g : {"leaf_area_index1", "vegetation_coverage_degree1",
                               "SurfaceCanopyResistance1", "SurfaceEvaporationResistance"})
           e.grid(g)[2][2] = 0.0;
         e.grid("vapor_pressure")[2][2] = 12.27872759;
       },
       {{"potential_evaporation", 0.0805860}, {"pot_transpiration1", 0.0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Step& t = c.step;
    auto entries = evapotranspirationEntries(t.method);
    if (!c.fh.empty()) entries[2] = c.fh;
    Evapotranspiration e("etp_hand", entries, t.minutes, t.layers, c.lake);
    e.s.context.latitude = t.latitude;
    c.prepare(e);
    e.build();
    EXPECT_NEAR(e.module->saturationVapourPressure(10.0), 12.27873, 5e-6);
    if (!c.lake.empty()) e.module->readLakeCodes("[lake_model]");
    e.potential(t.hour, t.day, t.month);
    for (const CellValue& v : c.expected)
      EXPECT_NEAR(e.grid(v.grid)[v.row][v.column], v.value, 5e-7 * std::max(1.0, v.value))
          << v.grid << " " << v.row << " " << v.column;
  }
}

// Daily steps warm the temperature grid by day and cool "temperature_night",
// and the corrected radiation replaces the input; a grid that nobody
// refilled since keeps the change of the step before, not a second one.
TEST(Evapotranspiration, RewritesTheGridsOfOthersOncePerRefill) {
  Evapotranspiration e("etp_rewrite", evapotranspirationEntries(), 1440);
  const Grid t = e.add("temperature_night", 10.0);
  const Grid night = e.grid("temperature_night");
  const Grid radiation = e.add("global_radiation", 3000.0);
  const Grid correction = e.add("radiation_correction", 1.2);
  e.build();
  e.module->setRadiationCorrectionGrid(correction);
  const Grid day = e.grid("temperature");
  (void)t;
  double before[3] = {}, changes[3] = {};
  const Grid grids[3] = {day, night, radiation};
  for (int step = 1; step <= 3; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    if (step == 3) { // refilled
      day[2][2] = 15.0;
      night[2][2] = 5.0;
      radiation[2][2] = 3000.0;
    }
    for (int g = 0; g < 3; ++g) before[g] = grids[g][2][2];
    e.potential(0, 21, 6);
    for (int g = 0; g < 3; ++g) {
      const double change = grids[g][2][2] - before[g];
      if (step == 1) changes[g] = change;
      EXPECT_NEAR(change, step == 2 ? 0.0 : changes[g], 1e-12) << g;
    }
  }
  EXPECT_GT(changes[0], 0.0);
  // The day takes fd + a of the amplitude, the night loses 1 - fd - a.
  const double a = 0.2 * std::cos(2 * M_PI * 172 / 365.0);
  EXPECT_NEAR(changes[1] / changes[0], -(0.4 - a) / (0.6 + a), 1e-12);
  // RGc = ((1 - CR0) s (c - 1) + 1) RG with s in (0, 1].
  EXPECT_GT(changes[2], 0.0);
  EXPECT_LE(changes[2], 0.75 * 0.2 * 3000.0 + 1e-9);
}

// The snow evaporates what the layers, then the soil, could; the potentials
// and the snow lose exactly that. Glacier snow meets what is left beside it
// without taking it from the potentials.
TEST(Evapotranspiration, EvaporatesSnowFromThePotentials) {
  struct Case {
    const char* what;
    int snowMethod;
    double snow, glacier, glacierSnow; // glacier < 0: no glacier grids
    double evaporated, snowLeft, transpiration, soil, glacierEvaporated, glacierSnowLeft;
  };
  const std::vector<Case> cases = {
      {"layer, then soil", 1, 3, -1, 0, 3, 0, 0, 1, 0, 0},
      {"no snow", 1, 0, -1, 0, 0, 0, 2, 2, 0, 0},
      {"half glacier", 1, 3, 0.5, 10, 3, 0, 0, 1, 1, 9},
      {"whole glacier", 1, 3, 1.0, 10, 0, 3, 2, 2, 4, 6},
      {"energy balance with snow", 6, 3, -1, 0, 0, 3, 0, 0, 0, 0},
      {"energy balance without snow", 6, 0, -1, 0, 0, 0, 2, 2, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Evapotranspiration e("etp_snow", evapotranspirationEntries(), 60);
    e.add("sunshine_duration", 0.5);
    const Grid snow = e.add("snowstorage_solid", c.snow);
    Grid onGlacier = nullptr, glacierSnow = nullptr;
    if (c.glacier >= 0) {
      e.add("GlacierizedCells", c.glacier);
      onGlacier = e.add("SnowEvaporation_onGlacier", 0.0);
      e.add("TotalSnowStorage_onGlacier", c.glacierSnow);
      glacierSnow = e.add("SolidSnowStorage_onGlacier", c.glacierSnow);
    }
    e.build();
    e.module->setSnowStorageGrid(snow);
    e.module->setSnowMethod(c.snowMethod);
    e.potential(12, 21, 6);
    for (const auto& [grid, value] :
         std::vector<std::pair<const char*, double>>{{"pot_transpiration1", 2.0},
                                                     {"potential_evaporation", 2.0},
                                                     {"pot_transpiration0", 4.0}})
      e.setCells(grid, value);
    e.module->computeSnowEvaporation(0, 12, 21, 6, 2021);
    EXPECT_EQ(e.grid("snow_evaporation")[2][2], c.evaporated);
    EXPECT_EQ(snow[2][2], c.snowLeft);
    EXPECT_EQ(e.grid("pot_transpiration1")[2][2], c.transpiration);
    EXPECT_EQ(e.grid("potential_evaporation")[2][2], c.soil);
    EXPECT_EQ(e.grid("pot_transpiration0")[2][2], c.transpiration + c.soil);
    if (onGlacier) {
      EXPECT_EQ(onGlacier[2][2], c.glacierEvaporated);
      EXPECT_EQ(glacierSnow[2][2], c.glacierSnowLeft);
    }
    e.module->flushStatistics();
    EXPECT_NEAR(e.lastTotal("evrs.stat"), c.evaporated, 1e-5);
  }
}

// The total is interception 0.5 + snow 0.2 + soil 0.3 + layer 1.0; the
// statistics give a glacier's share of the cell its snow evaporation alone.
TEST(Evapotranspiration, TotalsTheRealEvapotranspirationByGlacierShare) {
  struct Case {
    const char* what;
    double glacier; // < -1: no glacier grid
    bool interception;
    double total, totalStatistic, layerStatistic, soilStatistic;
  };
  const std::vector<Case> cases = {
      {"no glacier", -2, true, 2.0, 2.0, 1.0, 0.3},
      {"no interception module", -2, false, 1.5, 1.5, 1.0, 0.3},
      {"glacier fraction 1.3", 1.3, true, 2.0, 0.2, 0.0, 0.0},
      {"glacier fraction -0.2", -0.2, true, 2.0, 2.0, 1.0, 0.3},
      {"half glacier", 0.5, true, 2.0, 1.1, 0.5, 0.15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Evapotranspiration e("etp_total", evapotranspirationEntries(), 60);
    e.add("sunshine_duration", 0.5);
    if (c.glacier > -1) e.add("GlacierizedCells", c.glacier);
    e.build();
    if (c.interception) e.add("interception_evaporation0", 0.5);
    e.module->beginSubsteps(0, 12, 21, 6, 2021);
    for (int substep = 0; substep < 2; ++substep) e.module->doSubstep();
    e.setCells("snow_evaporation", 0.2);
    e.setCells("real_evaporation", 0.3);
    e.setCells("real_transpiration1", 1.0);
    e.setCells("real_transpiration0", 7.0); // what the step before left
    e.module->endSubsteps(0, 12, 21, 6, 2021);
    EXPECT_NEAR(e.grid("real_transpiration0")[2][2], c.total, 1e-12);
    e.module->flushStatistics();
    EXPECT_NEAR(e.lastTotal("etr.stat"), c.totalStatistic, 1e-5);
    EXPECT_NEAR(e.lastTotal("etr_Layer_1.stat"), c.layerStatistic, 1e-5);
    EXPECT_NEAR(e.lastTotal("evar.stat"), c.soilStatistic, 1e-5);
  }
}

// The bucket's relative storage theta reduces the transpiration below 0.6;
// the soil evaporates once under all layers; the storage falls by what is
// taken, never below 0, and a lake gives its ponded water instead.
TEST(Evapotranspiration, TakesTheRealEvapotranspirationFromABucket) {
  struct Case {
    const char* what;
    int layers;
    double storage, ponding;
    std::vector<CellValue> expected;
  };
  const std::vector<Case> cases = {
      {"moist",
       1,
       0.9,
       0,
       {{"real_transpiration1", 2}, {"real_evaporation", 2}, {"soil_storage", 0.86}}},
      {"dry",
       1,
       0.3,
       0,
       {{"real_transpiration1", 1}, {"real_evaporation", 2}, {"soil_storage", 0.27}}},
      {"nearly empty",
       1,
       0.01,
       0,
       {{"real_transpiration1", 1.0 / 30},
        {"real_evaporation", 1 - 1.0 / 30},
        {"soil_storage", 0},
        {"real_transpiration0", 1}}},
      {"two layers",
       2,
       0.9,
       0,
       {{"real_transpiration1", 2},
        {"real_transpiration2", 2},
        {"real_evaporation", 2},
        {"soil_storage", 0.84},
        {"real_transpiration0", 6}}},
      {"lake",
       1,
       0.9,
       3,
       {{"real_transpiration1", 2},
        {"real_evaporation", 0},
        {"ponding_storage", 1},
        {"pot_transpiration1", 0},
        {"soil_storage", 0.9}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Evapotranspiration e("etp_bucket", evapotranspirationEntries(), 60, c.layers,
                         "[lake_model]\n1\n1\n0.08\n0.001\n");
    e.add("sunshine_duration", 0.5);
    e.add("soil_storage", c.storage);
    e.add("available_soil_moisture", 100.0);
    e.add("lake_codes", c.ponding > 0 ? 1.0 : -9999.0);
    e.add("ponding_storage", c.ponding);
    e.build();
    e.module->readLakeCodes("[lake_model]");
    e.module->setSoilStorageGrids();
    e.potential(12, 21, 6);
    for (int k = 1; k <= c.layers; ++k) e.setCells("pot_transpiration" + std::to_string(k), 2.0);
    e.setCells("potential_evaporation", 2.0);
    e.module->computeRealEvapotranspirationBucket(0, 12, 21, 6, 2021);
    for (const CellValue& v : c.expected)
      EXPECT_NEAR(e.grid(v.grid)[2][2], v.value, 1e-12) << v.grid;
    EXPECT_EQ(e.grid("real_transpiration1")[1][1], -9999.0);
  }
}

// A step of two days (here from 14:00) takes more daylight sub-intervals
// than a day has hours, and some of them fall into the night between: their
// sun adds nothing, so that the clear-sky radiation stays below that of a
// sun in the zenith all day (x = 0.25 + 0.75 s with s = 0.5).
TEST(Evapotranspiration, KeepsTheClearSkyOfStepsLongerThanADay) {
  Evapotranspiration e("etp_two_days", evapotranspirationEntries(3), 2880);
  e.add("sunshine_duration", 0.5);
  e.build();
  e.potential(14, 22, 6);
  double sunrise = 0, sunset = 0;
  e.module->sunriseSunset(22, 6, sunrise, sunset, 47.3, 15.0);
  const double corrected = e.grid("AspectCorrectedGlobalRadiation")[2][2];
  EXPECT_GT(corrected, 0.0);
  EXPECT_LT(corrected, 0.625 * 1367.0 * 2.0 * (sunset - sunrise));
  EXPECT_TRUE(std::isfinite(e.grid("pot_transpiration1")[2][2]));
}
