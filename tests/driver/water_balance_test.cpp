#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "driver/water_balance.h"
#include "tests/driver/model_run.h"
#include "tests/driver/recording_application.h"
#include "tests/test_support.h"

namespace {

using Place = RecordingApplication::Place;

// The catchment column (the last) of every line of a balance file.
std::vector<double> catchmentColumn(const std::string& path) {
  std::istringstream text(readFile(path));
  std::vector<double> values;
  std::string line;
  for (int skipped = 0; skipped < 3 && std::getline(text, line); ++skipped) {
  }
  while (std::getline(text, line)) values.push_back(std::stod(line.substr(line.rfind('\t') + 1)));
  return values;
}

// Every column of the last line of a balance file: zone 1, zone 2, catchment.
std::vector<double> lastLine(const std::string& path) {
  const std::string text = readFile(path);
  std::istringstream line(text.substr(text.rfind('\n', text.size() - 2) + 1));
  std::vector<double> values;
  std::string field;
  for (int k = 0; std::getline(line, field, '\t'); ++k)
    if (k >= 4) values.push_back(std::stod(field));
  return values;
}

// The last line of a balance file: zone 1, zone 2, catchment.
struct ZoneValues {
  const char* file;
  std::vector<double> zones;
};

template <std::size_t N>
void expectLastLines(const std::string& dir, const ZoneValues (&expected)[N]) {
  for (const ZoneValues& e : expected) {
    const std::vector<double> values = lastLine(dir + "/balance_" + e.file + ".stat");
    ASSERT_EQ(values.size(), 3u) << e.file;
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(values[k], e.zones[k], 1e-12) << e.file << k;
  }
}

} // namespace

// Every cell gets 4 mm of rain, 2 mm more snow and 2 mm out of the snow
// cover per step, 0.5 mm of interflow and 1e-7 m/s of baseflow in every
// sub-step: the balance holds what a sub-step leaves times the sub-steps
// and keeps the difference as its residual. The rain is what fell, not
// what silting-up left of it. Without the soil the snow cover's outflow,
// not the rain, is what reaches the ground and leaves.
TEST(WaterBalance, SumsTheSubstepsAndKeepsTheResidual) {
  struct Case {
    unsigned substeps;
    double interflow; // mm per step
    double baseflow;  // 1e-7 m/s over 3600 s, in mm
    double residual;  // 4 - 2 - 2 - interflow - baseflow
  };
  const Case cases[] = {{1, 0.5, 0.36, -0.86}, {3, 1.5, 0.36, -1.86}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.substeps) + " sub-steps");
    TinyCatchment catchment;
    catchment.lastHour = 2;
    catchment.standardGridCount = 5;
    catchment.standardGrids = "";
    for (const char* name :
         {"precipitation", "snow_storage_total", "snowcover_outflow", "interflow", "baseflow"})
      catchment.standardGrids += std::string(name) + ".asc " + name +
                                 " fillcode = 0 readcode = 0 defaultValue = 0 writecode = 0\n";
    catchment.extraSections = "[recorder]\n1\n60\n\n[soil_surface_groundwater_substeps]\n" +
                              std::to_string(k.substeps) +
                              "\n[water_balance]\n1\n60\nbalance_\n2001\n";
    const std::string dir =
        std::filesystem::absolute(makeTestDirectory("water_balance_" + std::to_string(k.substeps)))
            .string();
    catchment.write(dir);
    RunLog log(dir);
    RecordingApplication model(log.diag.get(), "run.ctl", CommandLine());
    model.atPlace = [&](Place place, const ModelDate&) {
      auto fill = [&](const char* name, double value, bool add) {
        Grid g = model.grid(name);
        for (long r = 1; r <= 3; ++r)
          for (long c = 1; c <= 4; ++c) g[r][c] = add ? g[r][c] + value : value;
      };
      if (place == Place::snow) {
        fill("precipitation", 4.0, false);
        fill("snow_storage_total", 2.0, true);
        fill("snowcover_outflow", 2.0, false);
      }
      // Silting-up rewrites the grid it hands the soil, here the rain.
      if (place == Place::siltingUp) fill("precipitation", -3.0, true);
      if (place == Place::groundwaterStart) {
        fill("interflow", 0.5, false);
        fill("baseflow", 1e-7, false);
      }
    };
    ASSERT_EQ(runModel(model, dir), -1) << log.text();

    const struct {
      const char* file;
      double value;
    } expected[] = {{"precipitation", 4.0},     {"snow_storage", 2.0},    {"water_to_ground", 2.0},
                    {"interflow", k.interflow}, {"baseflow", k.baseflow}, {"residual", k.residual}};
    for (const auto& e : expected) {
      const std::vector<double> steps = catchmentColumn(dir + "/balance_" + e.file + ".stat");
      ASSERT_EQ(steps.size(), 3u) << e.file;
      for (double step : steps) EXPECT_NEAR(step, e.value, 1e-12) << e.file;
    }
  }
}

// Zone 1 holds 4 cells of 100 m x 100 m, zone 2 6 cells. Per step 80 m^3 come
// into zone 1 and 30 m^3 into zone 2 (2 and 0.5 mm), zone 1 stores 20 m^3
// more (0.5 mm) and each zone gives 0.25 mm: the catchment takes the zones by
// their area. The interflow grid gives way to the zone terms.
TEST(WaterBalance, SpreadsZoneVolumesOverTheirAreaInPlaceOfTheCellTerms) {
  TinyCatchment catchment;
  catchment.lastHour = 2;
  catchment.standardGrids = "interflow.asc interflow fillcode = 0 readcode = 0 defaultValue = 1 "
                            "writecode = 0\n";
  catchment.extraSections = "[recorder]\n1\n60\n\n[water_balance]\n1\n60\nbalance_\n2001\n";
  const std::string dir =
      std::filesystem::absolute(makeTestDirectory("water_balance_zones")).string();
  catchment.write(dir);
  RunLog log(dir);
  RecordingApplication model(log.diag.get(), "run.ctl", CommandLine());
  double stored = 100.0;
  model.atPlace = [&](Place place, const ModelDate&) {
    if (place == Place::snow) stored += 20.0;
  };
  model.beforeRecorder = [&] {
    using K = BalanceKind;
    std::vector<ZoneBalanceTerm> terms;
    terms.push_back({{"routing", "inflow", K::input, {}}, [](std::vector<double>& v) {
                       v[1] = 80.0;
                       v[2] = 30.0;
                     }});
    terms.push_back({{"routing", "held", K::storage, {}},
                     [&stored](std::vector<double>& v) { v[1] = stored; }});
    terms.push_back({{"soil", "given", K::output, {}},
                     [](std::vector<double>& v) { v[1] = v[2] = 0.25; },
                     true});
    model.waterBalance->addZoneTerms(std::move(terms), {"interflow"});
  };
  ASSERT_EQ(runModel(model, dir), -1) << log.text();

  EXPECT_FALSE(std::filesystem::exists(dir + "/balance_interflow.stat"));
  const ZoneValues expected[] = {{"inflow", {2.0, 0.5, 1.1}},
                                 {"held", {0.5, 0.0, 0.2}},
                                 {"given", {0.25, 0.25, 0.25}},
                                 {"residual", {1.25, 0.25, 0.65}}};
  expectLastLines(dir, expected);
}

// A glacier grid of fractions and codes (nodata at row 2, column 4) under
// 1 mm of water on every cell: the glacier's share takes the fractions
// below 1, the covered part the cells of 1 and more, the free part 1 - the
// fraction of a cell not covered, the fraction every cell's, the part
// beside 1 - the fraction of a cell not covered and all of a covered one.
// Zone 1: 0, 0.25, 0, 0.25; zone 2: 1, 0.25, 1, nodata, 1, 2. The lake
// codes of the columns, nodata, 1, 0 and -1, put the cells of column 2 but
// the first row's in a lake: there the land takes all of a cell a glacier
// covers in part (the 0.25 of zone 1's last cell and of zone 2's).
TEST(WaterBalance, TakesTheGlacierOrLakePartOfACell) {
  TinyCatchment catchment;
  catchment.lastHour = 1;
  catchment.standardGridCount = 3;
  catchment.standardGrids = "";
  for (const char* name : {"ice_firn", "lake_codes", "water"})
    catchment.standardGrids += std::string(name) + ".asc " + name +
                               " fillcode = 0 readcode = 0 defaultValue = 1 writecode = 0\n";
  catchment.extraSections = "[recorder]\n1\n60\n\n[water_balance]\n1\n60\nbalance_\n2001\n";
  const std::string dir =
      std::filesystem::absolute(makeTestDirectory("water_balance_glacier")).string();
  catchment.write(dir);
  RunLog log(dir);
  RecordingApplication model(log.diag.get(), "run.ctl", CommandLine());
  model.atPlace = [&](Place place, const ModelDate&) {
    if (place != Place::snow) return;
    Grid g = model.grid("ice_firn");
    Grid lakes = model.grid("lake_codes");
    const double columns[] = {0.0, 0.25, 1.0, 2.0};
    const double codes[] = {-9999.0, 1.0, 0.0, -1.0};
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        g[r][c] = columns[c - 1];
        lakes[r][c] = codes[c - 1];
      }
    g[2][4] = -9999.0;
    lakes[1][2] = 0.0;
  };
  model.beforeRecorder = [&] {
    for (const auto& [label, part] :
         {std::pair{"whole", glacierPart::whole}, std::pair{"share", glacierPart::share},
          std::pair{"beside", glacierPart::beside}, std::pair{"covered", glacierPart::covered},
          std::pair{"free", glacierPart::free}, std::pair{"fraction", glacierPart::fraction}}) {
      BalanceTerm term{"snow", label, BalanceKind::output, {"water"}};
      term.glacier = part;
      model.waterBalance->addCellTerm(term);
    }
    for (const auto& [label, part] :
         {std::pair{"outside", lakePart::outside}, std::pair{"inside", lakePart::inside}}) {
      BalanceTerm term{"routing", label, BalanceKind::output, {"water"}};
      term.lakes = part;
      model.waterBalance->addCellTerm(term);
    }
  };
  ASSERT_EQ(runModel(model, dir), -1) << log.text();

  const ZoneValues expected[] = {{"whole", {1.0, 1.0, 1.0}},
                                 {"share", {0.0625, 0.0, 0.025}},
                                 {"beside", {0.9375, 1.0, 0.975}},
                                 {"covered", {0.0, 4.0 / 6.0, 0.4}},
                                 {"free", {0.9375, 2.0 / 6.0, 0.575}},
                                 {"fraction", {0.125, 4.25 / 6.0, 0.475}},
                                 {"outside", {0.75, 5.0 / 6.0, 0.8}},
                                 {"inside", {0.25, 1.0 / 6.0, 0.2}}};
  expectLastLines(dir, expected);
}

// Glaciers grow from 0.25 to 0.5 of every cell at the end of the second
// step, under 1 mm of water. The water beside them shrinks from 0.75 to 0.5
// mm by the new extent alone; what left the glacier's part in that step
// left a quarter of the cell.
TEST(WaterBalance, BooksTheChangeOfTheGlaciersExtent) {
  TinyCatchment catchment;
  catchment.lastHour = 1;
  catchment.standardGridCount = 2;
  catchment.standardGrids = "";
  for (const auto& [name, value] : {std::pair{"GlacierizedCells", "0.25"}, std::pair{"water", "1"}})
    catchment.standardGrids += std::string(name) + ".asc " + name +
                               " fillcode = 0 readcode = 0 defaultValue = " + value +
                               " writecode = 0\n";
  catchment.extraSections = "[recorder]\n1\n60\n\n[water_balance]\n1\n60\nbalance_\n2001\n";
  const std::string dir =
      std::filesystem::absolute(makeTestDirectory("water_balance_extent")).string();
  catchment.write(dir);
  RunLog log(dir);
  RecordingApplication model(log.diag.get(), "run.ctl", CommandLine());
  model.atPlace = [&](Place place, const ModelDate& date) {
    if (place != Place::glaciers || date.hour != 1) return;
    Grid g = model.grid("GlacierizedCells");
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) g[r][c] = 0.5;
  };
  model.beforeRecorder = [&] {
    BalanceTerm held{"vertical", "held", BalanceKind::storage, {"water"}};
    held.glacier = glacierPart::free;
    model.waterBalance->addCellTerm(held);
    BalanceTerm melt{"snow", "melt", BalanceKind::output, {"water"}};
    melt.glacier = glacierPart::fraction;
    model.waterBalance->addCellTerm(melt);
  };
  ASSERT_EQ(runModel(model, dir), -1) << log.text();

  const ZoneValues expected[] = {{"held", {-0.25, -0.25, -0.25}},
                                 {"glacier_extent", {-0.25, -0.25, -0.25}},
                                 {"melt", {0.25, 0.25, 0.25}},
                                 {"residual", {-0.25, -0.25, -0.25}}};
  expectLastLines(dir, expected);
}

// The glacier grid over the columns 0, 0.25, 1 and 1.3 of a cell, under 1 mm
// of water on every cell (zone 1 holds columns 1, 2, 1, 2; zone 2 columns 3,
// 2, 3, 4, 3, 4). Where the glaciers keep a pack of their own
// ("Precipitation_onGlacier") the pack beside one stands for no area on a
// cell it covers whole: with the glacier's share every cell's water is
// counted once. Without such a pack the cell's pack is the glacier's snow
// and takes all of a covered cell, as the part beside does.
TEST(WaterBalance, ThePackBesideAWholeGlacierWithAPackOfItsOwnStandsForNoArea) {
  const struct {
    const char* name;
    std::vector<const char*> glacierGrids;
    std::vector<double> pack; // zone 1, zone 2, catchment
  } cases[] = {
      {"cell_pack", {"GlacierizedCells"}, {0.875, 5.75 / 6.0, 0.925}},
      {"own_pack",
       {"GlacierizedCells", "GlacierMassBalance", "Precipitation_onGlacier"},
       {0.875, 0.125, 0.425}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    TinyCatchment catchment;
    catchment.lastHour = 1;
    catchment.standardGridCount = static_cast<int>(k.glacierGrids.size()) + 1;
    catchment.standardGrids = "water.asc water fillcode = 0 readcode = 0 defaultValue = 1 "
                              "writecode = 0\n";
    for (const char* name : k.glacierGrids)
      catchment.standardGrids += std::string(name) + ".asc " + name +
                                 " fillcode = 0 readcode = 0 defaultValue = 0 writecode = 0\n";
    catchment.extraSections = "[recorder]\n1\n60\n\n[water_balance]\n1\n60\nbalance_\n2001\n";
    const std::string dir =
        std::filesystem::absolute(makeTestDirectory(std::string("water_balance_pack_") + k.name))
            .string();
    catchment.write(dir);
    RunLog log(dir);
    RecordingApplication model(log.diag.get(), "run.ctl", CommandLine());
    model.atPlace = [&](Place place, const ModelDate&) {
      if (place != Place::snow) return;
      Grid g = model.grid("GlacierizedCells");
      const double columns[] = {0.0, 0.25, 1.0, 1.3};
      for (long r = 1; r <= 3; ++r)
        for (long c = 1; c <= 4; ++c) g[r][c] = columns[c - 1];
    };
    model.beforeRecorder = [&] {
      for (const auto& [label, part] :
           {std::pair{"pack", glacierPart::besidePack}, std::pair{"beside", glacierPart::beside},
            std::pair{"fraction", glacierPart::fraction}}) {
        BalanceTerm term{"snow", label, BalanceKind::input, {"water"}};
        term.glacier = part;
        model.waterBalance->addCellTerm(term);
      }
    };
    ASSERT_EQ(runModel(model, dir), -1) << log.text();

    const ZoneValues expected[] = {{"pack", k.pack},
                                   {"beside", {0.875, 5.75 / 6.0, 0.925}},
                                   {"fraction", {0.125, 5.25 / 6.0, 0.575}}};
    expectLastLines(dir, expected);
  }
}
