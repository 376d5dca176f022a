#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "snow/schneemodellklasse.h"
#include "tests/snow/glacier_fixture.h"
#include "tests/snow/snow_fixture.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"
#include "tests/vertical/example_catchment.h"

namespace {

constexpr double pi = 3.14159265358979;

// On rank 0 the snow of every cell, beside the glacier on 1 - g of the
// cell and on it on g (collective).
double storedSnow(modelobject& module, const ExampleRegistry& registry, const ExampleGrid& zone) {
  auto values = [&](const char* name) {
    return gatheredCells(module, registry, module.findGrid(name, 1), zone);
  };
  const std::vector<double> beside = values("snow_storage_total");
  if (module.findGrid("TotalSnowStorage_onGlacier", 1) <= 0)
    return std::accumulate(beside.begin(), beside.end(), 0.0);
  const std::vector<double> on = values("TotalSnowStorage_onGlacier");
  const std::vector<double> g = values("GlacierizedCells");
  double sum = 0.0;
  for (size_t k = 0; k < beside.size(); ++k) {
    const double f = std::clamp(g[k], 0.0, 1.0);
    sum += (1.0 - f) * beside[k] + f * on[k];
  }
  return sum;
}

// The first week of March 2021 on the example's three subbasins.
ModelContext snowContext(StripModule& strips, ExampleRegistry& registry, const std::string& dir) {
  ModelContext context = exampleContext(strips, registry, dir, ModelDate{0, 0, 1, 3, 2021},
                                        ModelDate{0, 23, 7, 3, 2021});
  useExampleSubbasins(context);
  return context;
}

// A week of hourly snowfall, melt and rain on the example catchment: on
// rank 0 the module's grids after the last step, then the files it wrote
// (the statistics of every step and the state section).
// With a glacier method, three glaciers in two subbasins on the highest
// cells run 26 hours, across the end of the evaluation day.
std::vector<std::string> runWeek(int method, bool split, int threads, int glacierMethod = 0) {
  const ExampleGrid zone("zones.asc"), dem("dem.asc");
  const std::string name =
      "snow_example_" + std::to_string(glacierMethod * 100 + method * 10 + split);
  StripModule strips(name, exampleOwners(zone, split ? worldSize() : 1));
  ExampleRegistry registry(strips);
  auto held = [&](const std::string& gridName, auto f) {
    return addHeldGrid(strips, registry, zone, gridName, f);
  };
  addExampleBaseGrids(strips, registry, zone, dem);
  held("albedo", [](long, long) { return 0.2; });
  held("landuse1", [](long, long) { return nodata; });
  const Grid rain = held("precipitation", [](long, long) { return 0.0; });
  const Grid temperature = held("temperature", [](long, long) { return 0.0; });
  const Grid sun = held("AspectCorrectedGlobalRadiation", [](long, long) { return 0.0; });
  held("wind_speed", [](long r, long c) { return 1.0 + (r + c) % 4; });
  held("air_humidity", [](long r, long) { return 0.6 + 0.05 * (r % 7); });
  held("cloudiness", [](long, long c) { return 0.1 * (c % 10); });
  held("snow_evaporation", [](long, long) { return 0.0; });
  held("slope_angle", [](long r, long c) { return 10.0 * ((r * 7 + c * 3) % 7); });
  for (int k = 1; k <= 4; ++k)
    held("slidefraction" + std::to_string(k), [k](long r, long c) { return (r + c + k) % 3; });

  auto glacierCode = [&](long r, long c) {
    const double z = zone.grid[r][c], h = dem.grid[r][c];
    if (z == 3 && h > 1420.0) return c < 40 ? 1.0 : 2.0;
    return z == 2 && h > 1150.0 ? 3.0 : nodata;
  };
  // Static glaciers: glacier 3 is firn, the others ice.
  if (glacierMethod > 10) {
    held("GlacierizedCells",
         [&](long r, long c) { return glacierCode(r, c) > 0.0 ? 0.4 + 0.3 * ((r + c) % 3) : 0.0; });
    held("GlacierCodes", glacierCode);
  } else if (glacierMethod != 0) {
    held("ice_firn", [&](long r, long c) {
      const double code = glacierCode(r, c);
      return code > 0.0 ? (code == 3.0 ? 2.0 : 1.0) : 0.0;
    });
  }
  if (glacierMethod != 0) held("global_radiation", [](long, long) { return 300.0; });

  const std::string dir = makeTestDirectory(name + "_" + std::to_string(threads));
  SnowSection section;
  section.method = method;
  section.statistics = "2001";
  section.ddf = "3 3 3.5 4 4.5 5 5 5 4.5 4 3.5 3";
  IceFirnSection ice;
  ice.method = glacierMethod;
  ice.statistics = "2001";
  ice.firn = "3 1000 0.02";
  ice.evaluation = "1 3";
  ice.volumeArea = "28.5 1.36 3 1";
  ice.ddfIce = 40.0;
  ice.aIceMin = ice.aIceMax = ice.aSnowMin = ice.aSnowMax = 0.002;
  writeFile(dir + "/run.ctl", section.text() + (glacierMethod != 0 ? ice.text() : ""));
  ModelContext context = snowContext(strips, registry, dir);

  omp_set_num_threads(threads);
  int code = 0;
  auto module = constructSubmodel<schneemodellklasse>(code, context);
  EXPECT_EQ(code, 0);
  std::vector<std::string> results;
  if (!module) return results;
  module->setInterceptionFirst(false);
  const std::string stateFile = "snowstate_" + std::to_string(worldRank());
  module->readStorage(&stateFile, 0);
  module->setWriteStorageFlag(1);
  const long steps = glacierMethod != 0 ? 26 : 168;
  for (long step = 0; step < steps; ++step) {
    const double hour = step % 24;
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c) {
        if (zone.grid[r][c] == nodata) continue;
        rain[r][c] = std::max(0.0, 3.0 * std::sin(0.2 * step + 0.1 * r));
        temperature[r][c] = 1.0 - 0.006 * (dem.grid[r][c] - 500.0) + 0.08 * step +
                            4.0 * std::sin(2.0 * pi * (hour - 9) / 24.0);
        sun[r][c] = std::max(0.0, 500.0 * std::sin(pi * (hour - 6) / 12.0));
      }
    module->computeSnowStep(0, step % 24, 1 + step / 24, 3, 2021);
    const double before = storedSnow(*module, registry, zone);
    module->computeGlacierStep(0, step % 24, 1 + step / 24, 3, 2021);
    const double after = storedSnow(*module, registry, zone);
    // Slides keep the snow; the close of the glacier year turns the snow on
    // the glaciers into firn.
    if (worldRank() == 0 && !(glacierMethod != 0 && step == 23)) {
      EXPECT_NEAR(after, before, 1e-9 * std::max(1.0, before)) << step;
    }
  }
  for (const char* grid : {"snowstorage_solid",
                           "snowstorage_liquid",
                           "snow_storage_total",
                           "days_snow",
                           "snow_age",
                           "albedo",
                           "snow_fraction",
                           "rain_fraction",
                           "snowcover_outflow",
                           "melt_from_snowcover",
                           "snowtemp",
                           "surftemp",
                           "EnergyBalance",
                           "snow_evaporation",
                           "input_mass",
                           "mobile_mass",
                           "deposition",
                           "GlacierizedCells",
                           "GlacierCodes",
                           "GlacierMassBalance",
                           "OldGlacierMassBalance",
                           "firn_WE_stack",
                           "melt_from_ice",
                           "melt_from_firn",
                           "SolidSnowStorage_onGlacier",
                           "LiquidSnowStorage_onGlacier",
                           "SnowMelt_onGlacier"}) {
    const int index = module->findGrid(grid, 1);
    if (index > 0) results.push_back(gatheredValues(*module, registry, index, zone));
  }
  module->flushStatistics();
  module->releaseModule();
  omp_set_num_threads(2);
  appendWrittenFiles(results, dir);
  return results;
}

} // namespace

TEST(SchneemodellklasseOnTheExample, GivesTheSameResultsOnEveryDecompositionAndThreadCount) {
  for (const int method : {1, 3, 5, 6}) {
    SCOPED_TRACE("method " + std::to_string(method));
    expectSameOnSplitRuns(runWeek(method, false, 1), 12u,
                          [&](int threads) { return runWeek(method, true, threads); });
  }
}

// Snow slides move the packs beside and on the glaciers on rank 0 (method
// 6); static glaciers (method 2) count the glacier shares of every
// process's cells in their runoff as well.
TEST(SchneemodellklasseOnTheExample, ClosesTheGlacierYearAlikeOnEveryDecomposition) {
  const std::pair<int, int> methods[] = {{1, 12}, {6, 12}, {1, 2}};
  for (const auto& [method, glacierMethod] : methods) {
    SCOPED_TRACE("method " + std::to_string(method) + ", glacier method " +
                 std::to_string(glacierMethod));
    expectSameOnSplitRuns(runWeek(method, false, 1, glacierMethod), 20u, [&](int threads) {
      return runWeek(method, true, threads, glacierMethod);
    });
  }
}

// Failures that rank 0 alone finds on its whole grids reach every process
// with the same code.
TEST(SchneemodellklasseOnTheExample, StopsEveryProcessOnAGlacierFailure) {
  struct Case {
    const char* what;
    int method;
    double fraction;
    bool twoSubbasins;
    int code;
  };
  const std::vector<Case> cases = {{"glacier method 3", 3, 0.5, false, 80},
                                   {"no glacierized cell", 11, 0.0, false, 80},
                                   {"a glacier in two subbasins", 11, 0.5, true, 84}};
  const ExampleGrid zone("zones.asc"), dem("dem.asc");
  for (const Case& c : cases) {
    const std::string name = "snow_glacier_failure_" + std::to_string(&c - cases.data());
    StripModule strips(name, exampleOwners(zone, worldSize()));
    ExampleRegistry registry(strips);
    auto held = [&](const std::string& gridName, auto f) {
      return addHeldGrid(strips, registry, zone, gridName, f);
    };
    addExampleBaseGrids(strips, registry, zone, dem);
    for (const char* input : {"albedo", "precipitation", "temperature", "snow_evaporation"})
      held(input, [](long, long) { return 0.0; });
    held("landuse1", [](long, long) { return nodata; });
    // The highest cells of subbasins 2 and 3, one glacier unless asked for
    // one across both.
    auto high = [&](long r, long c) { return dem.grid[r][c] > 1400.0 && zone.grid[r][c] >= 2; };
    held("GlacierizedCells", [&](long r, long col) { return high(r, col) ? c.fraction : 0.0; });
    held("GlacierCodes", [&](long r, long col) {
      if (!high(r, col)) return nodata;
      return c.twoSubbasins || zone.grid[r][col] == 3 ? 1.0 : 2.0;
    });
    const std::string dir = makeTestDirectory(name);
    IceFirnSection ice;
    ice.method = c.method;
    writeFile(dir + "/run.ctl", SnowSection().text() + ice.text());
    const ModelContext context = snowContext(strips, registry, dir);
    int code = 0;
    auto module = constructSubmodel<schneemodellklasse>(code, context);
    EXPECT_EQ(code, c.code) << c.what;
    EXPECT_FALSE(module) << c.what;
  }
}
