#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/test_decomposition.h"
#include "tests/test_support.h"
#include "tests/vertical/example_catchment.h"
#include "tests/vertical/interception_fixture.h"

namespace {

constexpr double pi = 3.14159265358979;

// Three days of hourly rain and snow around freezing on the example
// catchment, two vegetation layers (the second missing in a third of the
// cells) and glaciers on a fifth: on rank 0 the module's grids after the
// last step, then the files it wrote (the statistics of every step).
std::vector<std::string> runThreeDays(int method, bool split, int threads) {
  const ExampleGrid zone("zones.asc"), dem("dem.asc");
  const std::string name = "icpt_example_" + std::to_string(method * 10 + split);
  StripModule strips(name, exampleOwners(zone, split ? worldSize() : 1));
  ExampleRegistry registry(strips);
  auto held = [&](const std::string& gridName, auto f) {
    return addHeldGrid(strips, registry, zone, gridName, f);
  };
  addExampleBaseGrids(strips, registry, zone, dem);
  for (int k = 1; k <= 2; ++k) {
    const std::string n = std::to_string(k);
    auto missing = [k](long r, long c) { return k == 2 && (r + c) % 3 == 0; };
    held("landuse" + n, [&](long r, long c) { return missing(r, c) ? nodata : 1.0; });
    held("leaf_area_index" + n, [&](long r, long c) { return 0.5 + (r * c) % 5 / k; });
    held("vegetation_coverage_degree" + n, [](long r, long) { return 0.3 + 0.1 * (r % 6); });
    held("RoughnessLength" + n, [k](long, long c) { return 0.1 * k + 0.05 * (c % 4); });
    held("SurfaceCanopyResistance" + n, [](long, long) { return 80.0; });
    held("SurfaceIntercepResistance" + n, [](long, long) { return 40.0; });
  }
  std::vector<Grid> demand;
  for (int k = 0; k <= 2; ++k)
    for (const char* g : {"pot_transpiration", "potential_InterceptionEvap", "real_transpiration"})
      demand.push_back(held(g + std::to_string(k), [](long, long) { return 0.0; }));
  const Grid rain = held("precipitation", [](long, long) { return 0.0; });
  const Grid temperature = held("temperature", [](long, long) { return 0.0; });
  const Grid sun = held("AspectCorrectedGlobalRadiation", [](long, long) { return 0.0; });
  held("wind_speed", [](long r, long c) { return 1.0 + (r + c) % 4; });
  held("air_humidity", [](long r, long) { return 0.6 + 0.05 * (r % 7); });
  held("cloudiness", [](long, long c) { return 0.1 * (c % 10); });
  held("albedo", [](long, long) { return 0.6; });
  const Grid snow = held("snow_storage_total", [](long, long) { return 0.0; });
  held("surftemp", [](long, long) { return 271.0; });
  held("GlacierizedCells", [](long r, long c) { return ((r + 2 * c) % 5) / 4.0; });
  const int firstOwn = registry.used + 1;

  const std::string dir = makeTestDirectory(name + "_" + std::to_string(threads));
  writeFile(dir + "/run.ctl", interceptionSection(method, 60, "2001"));
  std::vector<landuse_class> landuseTable(2);
  ModelContext context = exampleContext(strips, registry, dir, ModelDate{0, 0, 1, 3, 2021},
                                        ModelDate{0, 23, 3, 3, 2021});
  context.landuseLayerCount = 2;
  context.landuseTable = &landuseTable;
  useExampleSubbasins(context);

  omp_set_num_threads(threads);
  int code = 0;
  auto module = constructSubmodel<interzeptionsmodellklasse>(code, context);
  EXPECT_EQ(code, 0);
  std::vector<std::string> results;
  if (!module) return results;
  module->setRainSnowThreshold(0.5, 1.0);
  for (long step = 0; step < 72; ++step) {
    const double hour = step % 24;
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c) {
        if (zone.grid[r][c] == nodata) continue;
        rain[r][c] = std::max(0.0, 2.0 * std::sin(0.3 * step + 0.1 * r));
        temperature[r][c] =
            2.0 - 0.004 * (dem.grid[r][c] - 500.0) + 3.0 * std::sin(2.0 * pi * (hour - 9) / 24.0);
        sun[r][c] = std::max(0.0, 500.0 * std::sin(pi * (hour - 6) / 12.0));
        snow[r][c] = (step / 12 + r + c) % 3;
        for (size_t g = 0; g < demand.size(); g += 3) {
          demand[g][r][c] = 0.02 + 0.01 * std::sin(pi * hour / 24.0);
          demand[g + 1][r][c] = 0.05;
        }
      }
    module->computeInterception(0, step % 24, 1 + step / 24, 3, 2021);
  }
  for (int i = firstOwn; registry.entries[i].hasName; ++i)
    results.push_back(gatheredValues(*module, registry, i, zone));
  module->flushStatistics();
  module->releaseModule();
  omp_set_num_threads(2);
  appendWrittenFiles(results, dir);
  return results;
}

} // namespace

TEST(InterzeptionsmodellklasseOnTheExample, GivesTheSameResultsOnEveryDecompositionAndThreadCount) {
  for (const int method : {2, 22, 32}) {
    SCOPED_TRACE("method " + std::to_string(method));
    expectSameOnSplitRuns(runThreeDays(method, false, 1), 6u,
                          [&](int threads) { return runThreeDays(method, true, threads); });
  }
}
