#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/slope_aspect.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"
#include "tests/vertical/example_catchment.h"
#include "vertical/expokorrklasse.h"

namespace {

// Five hourly steps of a May morning, every second one computing, in three
// sub-intervals: the module's grids after each step, gathered on rank 0,
// then the files it wrote.
std::vector<std::string> runMorning(int method, bool split, int threads) {
  const ExampleGrid zone("zones.asc"), dem("dem.asc"), slope("dem.asc"), aspect("dem.asc");
  const GridShape shape{zone.nrows, zone.ncols, 100.0, nodata};
  slopeAndAspectFromElevation(dem.grid, slope.grid, aspect.grid, shape);
  fillFromValuedNeighbours(dem.grid, aspect.grid, shape, true);
  fillFromValuedNeighbours(dem.grid, slope.grid, shape, false);
  const std::string name = "radcorr_example_" + std::to_string(method * 10 + split);
  StripModule strips(name, exampleOwners(zone, split ? worldSize() : 1));
  auto held = [&](Grid whole, double (*f)(long, long, double)) {
    Grid g = strips.grid(nodata);
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c) g[r][c] = f(r, c, whole[r][c]);
    return g;
  };
  auto same = [](long, long, double v) { return v; };
  const Grid t = held(dem.grid, [](long, long, double z) { return 12.0 - 0.0065 * z; });
  ExampleRegistry registry(strips);
  const std::pair<const char*, Grid> inputs[] = {
      {"[zone_grid]", held(zone.grid, same)},
      {"MPIRegions", strips.regions},
      {"MPIHelper", strips.helper},
      {"[elevation_model]", held(dem.grid, same)},
      {"slope_angle", held(slope.grid, same)},
      {"slope_aspect", held(aspect.grid, same)},
      {"temperature", t},
      {"sunshine_duration",
       held(dem.grid, [](long r, long c, double) { return (r * 7 + c) % 11 / 10.0; })}};
  for (const auto& [gridName, grid] : inputs) registry.add(gridName, grid);

  const std::string dir = makeTestDirectory(name + "_" + std::to_string(threads));
  writeFile(dir + "/run.ctl", "[radiation_correction]\n1\n60\n" + std::to_string(method) +
                                  "\ntkorr.asc\n2\n2.5\nexkorr.asc\n2\nshadow.asc\n2\n2\n3\n");
  ModelContext context = exampleContext(strips, registry, dir, ModelDate{0, 5, 1, 5, 2021},
                                        ModelDate{0, 9, 1, 5, 2021});

  omp_set_num_threads(threads);
  int code = 0;
  std::unique_ptr<expokorrklasse> module = constructSubmodel<expokorrklasse>(code, context);
  EXPECT_EQ(code, 0);
  // Rank 0 holds every row of the shadows only where it casts them, the
  // other grids over its strip and halo as every process does.
  for (int index = 9; module && split && registry.entries[index].hasName; ++index) {
    const GridRegistryEntry& e = registry.entries[index];
    const GridHeader& h = module->getHeader();
    const bool whole = worldRank() == 0 && method <= 2 && e.name == "Shadow";
    EXPECT_EQ(e.firstRow, whole ? 1 : std::max(1L, h.firstRow - 1)) << e.name;
    EXPECT_EQ(e.lastRow, whole ? h.nrows : std::min(h.nrows, h.lastRow + 1)) << e.name;
  }
  std::vector<std::string> results;
  for (long hour = 5; module && hour <= 9; ++hour) {
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c) t[r][c] += 1.0;
    module->correctRadiation(0, hour, 1, 5, 2021);
    for (int index = 9; registry.entries[index].hasName; ++index) // the module's own
      results.push_back(gatheredValues(*module, registry, index, zone));
  }
  if (module) module->releaseModule();
  omp_set_num_threads(2);
  appendWrittenFiles(results, dir);
  return results;
}

} // namespace

TEST(ExpokorrklasseOnTheExample, GivesTheSameResultsOnEveryDecompositionAndThreadCount) {
  for (int method = 1; method <= 4; ++method) {
    SCOPED_TRACE("method " + std::to_string(method));
    const std::vector<std::string> reference = runMorning(method, false, 1);
    // Five steps of four or five grids; the control file, and five steps and
    // the last again of "radiation_correction", "Shadow" and "corr_temperature".
    if (worldRank() == 0) {
      ASSERT_EQ(reference.size(), method % 2 ? 20u + 13u : 25u + 19u);
    }
    const bool shaded = std::any_of(reference.begin(), reference.end(), [](const std::string& g) {
      return g.rfind("Shadow:", 0) == 0 && g.find(" 1 ") != std::string::npos;
    });
    EXPECT_EQ(shaded, worldRank() == 0 && method <= 2);
    expectSameOnSplitRuns(reference, 0u,
                          [&](int threads) { return runMorning(method, true, threads); });
  }
}
