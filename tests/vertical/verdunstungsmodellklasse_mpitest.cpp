#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/test_decomposition.h"
#include "tests/test_support.h"
#include "tests/vertical/example_catchment.h"
#include "vertical/verdunstungsmodellklasse.h"

namespace {

constexpr double pi = 3.14159265358979;

// The layers of the example's multilayer types 1 .. 5 as land-use records
// (settlement, fields, meadows, deciduous and coniferous forest), and the
// leaf area of each record.
const int layerRecords[6][2] = {{0, 0}, {5, -9999}, {2, -9999}, {1, -9999}, {3, 1}, {4, 1}};
const double leafAreaOf[6] = {0, 3.0, 2.5, 5.0, 8.0, 0.0};

// What the run checks on the way in every step and own cell: how far the
// snow and the potentials strayed from what the snow evaporation took, and
// the total from its parts.
struct Balance {
  double snow = 0.0;
  double potentials = 0.0;
  double glacier = 0.0;
  double total = 0.0;
};

// FNV-1a, so that the runs keep a digest of every step's values.
std::uint64_t hashBytes(std::uint64_t h, const void* data, size_t count) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < count; ++i) h = (h ^ bytes[i]) * 1099511628211ULL;
  return h;
}

// Two days of hourly steps of one method on the example catchment, with a
// snow cover, glaciers and a soil that takes half of every potential: on
// rank 0 a digest of the module's grids after every step, their values
// after the last, then the files the module wrote.
std::vector<std::string> runTwoDays(int method, bool split, int threads, Balance& balance) {
  const ExampleGrid zone("zones.asc"), dem("dem.asc"), types("landuse.asc");
  const std::string name = "etp_example_" + std::to_string(method * 10 + split);
  StripModule strips(name, exampleOwners(zone, split ? worldSize() : 1));
  const int layers = method == 1 ? 2 : 1;
  ExampleRegistry registry(strips);
  // A grid of the held rows from f(row, column, multilayer type).
  auto held = [&](const std::string& gridName, auto f) {
    Grid g = strips.grid(nodata);
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c)
        if (zone.grid[r][c] != nodata)
          g[r][c] = f(r, c, method == 1 ? static_cast<int>(types.grid[r][c]) : 3);
    return registry.add(gridName, g);
  };
  held("[zone_grid]", [&](long r, long c, int) { return zone.grid[r][c]; });
  registry.add("MPIRegions", strips.regions);
  registry.add("MPIHelper", strips.helper);
  held("[elevation_model]", [&](long r, long c, int) { return dem.grid[r][c]; });
  if (layers > 1) held("landuse", [](long, long, int t) { return double(t); });
  for (int k = 1; k <= layers; ++k) {
    auto record = [k](int t) { return layerRecords[t][k - 1]; };
    auto has = [record](int t) { return record(t) > 0; };
    held("landuse" + std::to_string(k), [&](long, long, int t) { return double(record(t)); });
    held("leaf_area_index" + std::to_string(k),
         [&](long, long, int t) { return has(t) ? leafAreaOf[record(t)] : nodata; });
    held("vegetation_coverage_degree" + std::to_string(k),
         [&](long, long, int t) { return has(t) ? (record(t) == 5 ? 0.0 : 0.8) : nodata; });
    held("SurfaceCanopyResistance" + std::to_string(k),
         [&](long, long, int t) { return has(t) ? 60.0 + 10.0 * record(t) : nodata; });
    held("root_depth" + std::to_string(k), [&](long, long, int) { return 1.0; });
    held("SurfaceIntercepResistance" + std::to_string(k), [&](long, long, int) { return 10.0; });
    held("RoughnessLength" + std::to_string(k),
         [&](long, long, int t) { return has(t) ? 0.05 * record(t) * record(t) : nodata; });
  }
  held("SurfaceEvaporationResistance", [](long, long, int t) { return 150.0 + 50.0 * t; });
  held("albedo", [](long, long, int t) { return 0.12 + 0.02 * t; });
  const Grid temperature =
      held(method == 4 ? "temperature_14" : "temperature", [](long, long, int) { return 0.0; });
  const Grid humidity =
      held(method == 4 ? "air_humidity_14" : "air_humidity", [](long, long, int) { return 0.0; });
  const Grid radiation = held("global_radiation", [](long, long, int) { return 0.0; });
  held("wind_speed", [](long r, long c, int) { return 1.0 + (r + c) % 4; });
  const Grid snow = held("snowstorage_solid", [](long r, long c, int) { return (r * c) % 4; });
  held("GlacierizedCells", [](long r, long c, int) { return ((r + 2 * c) % 5) / 4.0; });
  const Grid glacierEvaporation =
      held("SnowEvaporation_onGlacier", [](long, long, int) { return 0.0; });
  held("TotalSnowStorage_onGlacier", [](long, long, int) { return 3.0; });
  const Grid glacierSnow = held("SolidSnowStorage_onGlacier", [](long, long, int) { return 3.0; });
  const int firstOwn = registry.used + 1;

  const std::string dir = makeTestDirectory(name + "_" + std::to_string(threads));
  std::string section = "[evapotranspiration]\n1\n60\n" + std::to_string(method) +
                        "\n0.2 0.2 0.2 0.2 0.25 0.3 0.3 0.3 0.25 0.2 0.2 0.2\n"
                        "0.3 0.3 0.3 0.3 0.35 0.35 0.35 0.35 0.3 0.3 0.3 0.3\n0.6\n";
  for (const char* output : {"etp", "etr", "evap", "evar", "evrs", "eip"})
    section += std::string(output) + ".asc\n13\n" + output + ".stat 2001\n";
  section += "rgex.stat 2001\n0.25 0.5 0.25 0\n0.072 -0.808 1.749 -0.239\n0.7 0.05\n1500\n"
             "4 5 6 7 8 8 8 8 7 6 5 4\n0.6 0.1\ncloud.stat 2001\n";
  writeFile(dir + "/run.ctl", section);
  std::vector<landuse_class> landuseTable(6);
  std::vector<multilayer_landuse_class> multilayerTable(6);
  ModelContext context = exampleContext(strips, registry, dir, ModelDate{0, 0, 1, 5, 2021},
                                        ModelDate{0, 23, 2, 5, 2021});
  context.landuseLayerCount = layers;
  context.landuseTable = &landuseTable;
  context.multilayerTable = &multilayerTable;
  useExampleSubbasins(context);

  omp_set_num_threads(threads);
  int code = 0;
  auto module = constructSubmodel<verdunstungsmodellklasse>(code, context);
  EXPECT_EQ(code, 0);
  std::vector<std::string> results;
  if (!module) return results;
  module->setSnowStorageGrid(snow);
  module->setSnowMethod(1);
  auto grid = [&](const std::string& gridName) {
    for (int i = firstOwn; registry.entries[i].hasName; ++i)
      if (registry.entries[i].name == gridName) return registry.entries[i].grid;
    return Grid(nullptr);
  };
  std::vector<Grid> potential, real; // layers 0 .. L
  for (int k = 0; k <= layers; ++k) {
    potential.push_back(grid("pot_transpiration" + std::to_string(k)));
    real.push_back(grid("real_transpiration" + std::to_string(k)));
  }
  const Grid soil = grid("potential_evaporation");
  const Grid realSoil = grid("real_evaporation");
  const Grid snowEvaporation = grid("snow_evaporation");
  auto own = [&](long r, long c) { return strips.held(r) && strips.owner[r][c] == strips.rank; };
  std::uint64_t digest = 14695981039346656037ULL;
  for (long step = 0; step < 48; ++step) {
    const long hour = step % 24;
    const long day = 1 + step / 24;
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c) {
        if (zone.grid[r][c] == nodata) continue;
        temperature[r][c] =
            14.0 - 0.0065 * dem.grid[r][c] + 6.0 * std::sin(2.0 * pi * (hour - 9) / 24.0);
        humidity[r][c] = 0.65 - 0.25 * std::sin(2.0 * pi * (hour - 9) / 24.0);
        radiation[r][c] = std::max(0.0, 700.0 * std::sin(pi * (hour - 5) / 15.0)) *
                          (0.5 + 0.1 * ((r * 7 + c) % 6));
      }
    module->computePotentialEvapotranspiration(0, hour, day, 5, 2021);
    // The potentials the snow may take from (layers, then the soil), their
    // total, the snow and the glacier snow before it does.
    std::vector<Grid> potentials(potential.begin() + 1, potential.end());
    potentials.insert(potentials.end(), {soil, potential[0]});
    potentials.push_back(snow);
    potentials.push_back(glacierSnow);
    const size_t count = potentials.size();
    std::vector<double> before;
    for (long r = 1; r <= strips.nrows; ++r)
      for (long c = 1; c <= strips.ncols; ++c)
        if (own(r, c))
          for (Grid g : potentials) before.push_back(g[r][c]);
    module->computeSnowEvaporation(0, hour, day, 5, 2021);
    size_t cell = 0;
    for (long r = 1; r <= strips.nrows; ++r)
      for (long c = 1; c <= strips.ncols; ++c) {
        if (!own(r, c)) continue;
        const double* was = &before[count * cell++];
        const double evaporated = snowEvaporation[r][c];
        double taken = 0.0;
        for (size_t p = 0; p + 3 < count; ++p) taken += was[p] - potentials[p][r][c];
        // The layer total falls with its parts, down to 0 (Hamon, Wendling
        // and Haude count the soil's share twice: in layer 1 and apart).
        const double total = potentials[count - 3][r][c];
        const double totalLoss = total > 0.0 ? was[count - 3] - total : taken;
        balance.snow = std::max(balance.snow, std::fabs(was[count - 2] - snow[r][c] - evaporated));
        balance.potentials = std::max(
            {balance.potentials, std::fabs(taken - evaporated), std::fabs(totalLoss - taken)});
        balance.glacier = std::max(balance.glacier, std::fabs(was[count - 1] - glacierSnow[r][c] -
                                                              glacierEvaporation[r][c]));
      }
    module->beginSubsteps(0, hour, day, 5, 2021);
    for (long r = 1; r <= strips.nrows; ++r)
      for (long c = 1; c <= strips.ncols; ++c)
        if (own(r, c)) {
          for (int k = 1; k <= layers; ++k) real[k][r][c] = 0.5 * potential[k][r][c];
          realSoil[r][c] = 0.5 * soil[r][c];
        }
    module->doSubstep();
    module->endSubsteps(0, hour, day, 5, 2021);
    for (long r = 1; r <= strips.nrows; ++r)
      for (long c = 1; c <= strips.ncols; ++c) {
        if (!own(r, c)) continue;
        double parts = snowEvaporation[r][c] + realSoil[r][c];
        const int type = method == 1 ? static_cast<int>(types.grid[r][c]) : 3;
        for (int k = 1; k <= layers; ++k)
          if (layerRecords[type][k - 1] > 0) parts += real[k][r][c];
        balance.total = std::max(balance.total, std::fabs(real[0][r][c] - parts));
      }

    // Every grid of the module, gathered: the same bits on every
    // decomposition and thread count.
    for (int i = firstOwn; registry.entries[i].hasName; ++i) {
      if (step == 47) {
        results.push_back(gatheredValues(*module, registry, i, zone));
        continue;
      }
      const std::vector<double> values = gatheredCells(*module, registry, i, zone);
      digest = hashBytes(digest, values.data(), values.size() * sizeof(double));
    }
  }
  module->releaseModule();
  omp_set_num_threads(2);
  results.push_back("digest " + std::to_string(digest));
  appendWrittenFiles(results, dir);
  return results;
}

} // namespace

TEST(VerdunstungsmodellklasseOnTheExample, GivesTheSameResultsOnEveryDecompositionAndThreadCount) {
  for (int method = 1; method <= 4; ++method) {
    SCOPED_TRACE("method " + std::to_string(method));
    Balance balance;
    expectSameOnSplitRuns(runTwoDays(method, false, 1, balance), 0u,
                          [&](int threads) { return runTwoDays(method, true, threads, balance); });
    // The snow loses what it evaporates, the potentials what the snow took,
    // and the total is the sum of its parts, in every step and cell.
    EXPECT_LT(balance.snow, 1e-12);
    EXPECT_LT(balance.potentials, 1e-12);
    EXPECT_LT(balance.glacier, 1e-12);
    EXPECT_LT(balance.total, 1e-12);
  }
}
