#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "routing/irrigationclass.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"
#include "tests/vertical/example_catchment.h"

namespace {

// A day of 4-hour steps on the example catchment, every fifth cell without
// irrigation and the others of types by schedule, soil moisture and
// evapotranspiration ratio, from groundwater and surface water; the rivers
// offer each subbasin half of its first demand (a chain of subbasins, each
// flowing into the next). On rank 0 the amounts and precipitation after the
// last step, then the files written.
std::vector<std::string> runOneDay(bool split, int threads) {
  const ExampleGrid zone("zones.asc"), dem("dem.asc");
  const std::string name = std::string("irrigation_example_") + (split ? "split" : "whole");
  StripModule strips(name, exampleOwners(zone, split ? worldSize() : 1));
  ExampleRegistry registry(strips);
  auto held = [&](const std::string& gridName, auto f) {
    return addHeldGrid(strips, registry, zone, gridName, f);
  };
  addExampleBaseGrids(strips, registry, zone, dem);
  held("irrigation_codes", [](long r, long c) { return static_cast<double>((r + 2 * c) % 5); });
  held("Max_Pumping", [](long r, long) { return 1.0 + r % 3; });
  const int amountsIndex = registry.used + 1;
  held("irrigation_amounts", [](long, long) { return 0.0; });
  const Grid topMoisture = held("SB_1_grid", [](long, long) { return 0.2; });
  held("SBLOW_grid", [](long r, long) { return 0.15 + 0.02 * (r % 5); });
  held("SBHIGH_grid", [](long, long) { return 0.35; });
  held("ETR2ETP", [](long r, long c) { return 0.3 + 0.1 * ((r + c) % 6); });
  held("root_depth1", [](long, long c) { return 0.3 + 0.05 * (c % 4); });
  const int precipitationIndex = registry.used + 1;
  const Grid rain = held("precipitation", [](long, long) { return 0.0; });

  IrrigationTable table(5);
  table[0].code = 4;
  const int methods[] = {0, 1, 3, 4, 2};
  const int origins[] = {0, 2, 1, 2, 1};
  for (int k = 1; k <= 4; ++k) {
    table[static_cast<std::size_t>(k)].method = methods[k];
    table[static_cast<std::size_t>(k)].origin = origins[k];
    table[static_cast<std::size_t>(k)].minEtrEtp = 0.6;
    table[static_cast<std::size_t>(k)].points = {{3, 1, 12.0 * k}};
  }

  const std::string dir = makeTestDirectory(name + "_" + std::to_string(threads));
  writeFile(dir + "/run.ctl", "[irrigation]\n1\n240\ngw.stat 2001\nsw.stat 2001\n");
  ModelContext context = exampleContext(strips, registry, dir, ModelDate{0, 0, 1, 3, 2021},
                                        ModelDate{0, 20, 1, 3, 2021});
  context.irrigationTable = &table;
  omp_set_num_threads(threads);
  int code = 0;
  auto module = constructSubmodel<irrigationclass>(code, context);
  EXPECT_EQ(code, 0);
  std::vector<std::string> results;
  if (!module) return results;

  const std::size_t zones = static_cast<std::size_t>(module->getZones().zoneCount) + 1;
  std::vector<std::vector<double>> offered(1, std::vector<double>(zones, 0.0));
  std::vector<std::vector<double>> reservoirs(1, std::vector<double>(zones, 0.0));
  std::vector<double*> offeredRows = {offered[0].data()}, reservoirRows = {reservoirs[0].data()};
  RoutingTopology topology;
  topology.tributaries.assign(zones + 1, 0);
  topology.downstream.assign(zones, 0);
  topology.description.assign(zones, 1);
  for (std::size_t z = 1; z + 1 < zones; ++z) {
    topology.tributaries[z] = static_cast<int>(z);
    topology.downstream[z] = static_cast<int>(z + 1);
  }
  std::vector<double> areas(zones, 1.0);
  std::vector<double*> areaRows = {areas.data(), areas.data()};
  // Routing's arrays exist on rank 0 alone.
  const bool routes = worldRank() == 0;
  module->FindTracerStorageGrids();
  module->SetMaxIrrigation(routes ? offeredRows.data() : nullptr,
                           routes ? reservoirRows.data() : nullptr);
  module->SetRoutingTarget(routes ? &topology : nullptr);
  module->SetRoutingElements(routes ? areaRows.data() : nullptr);

  for (long step = 0; step < 6; ++step) {
    for (long r = strips.lo; r <= strips.hi; ++r)
      for (long c = 1; c <= strips.ncols; ++c) {
        if (zone.grid[r][c] == nodata) continue;
        rain[r][c] = 0.1 * ((r * c + step) % 4);
        topMoisture[r][c] = 0.1 + 0.05 * ((r + step) % 6);
      }
    for (std::size_t z = 1; z < zones; ++z) {
      offered[0][z] = 1.5 + 0.5 * static_cast<double>(z % 3);
      reservoirs[0][z] = z % 2 == 0 ? 1.0 : 0.0;
    }
    module->Step(0, 4 * step, 1, 3, 2021);
  }
  for (int index : {amountsIndex, precipitationIndex})
    results.push_back(gatheredValues(*module, registry, index, zone));
  module->Flush();
  module->releaseModule();
  omp_set_num_threads(2);
  appendWrittenFiles(results, dir);
  return results;
}

} // namespace

TEST(IrrigationOnTheExample, GivesTheSameResultsOnEveryDecompositionAndThreadCount) {
  const std::vector<std::string> reference = runOneDay(false, 1);
  for (int threads : {1, 4}) {
    const std::vector<std::string> split = runOneDay(true, threads);
    if (worldRank() != 0) continue;
    ASSERT_EQ(split.size(), reference.size());
    ASSERT_EQ(split.size(), 5u); // two grids, the control file and two statistics
    for (std::size_t k = 0; k < split.size(); ++k)
      EXPECT_TRUE(split[k] == reference[k])
          << threads << " threads: " << reference[k].substr(0, 60) << "\n"
          << split[k].substr(0, 200);
    // Water on the fields in each third of the cells.
    std::istringstream amounts(reference[0].substr(reference[0].find(':') + 1));
    std::vector<double> values;
    for (double v; amounts >> v;) values.push_back(v);
    for (std::size_t part = 0; part < 3; ++part) {
      double sum = 0.0;
      for (std::size_t k = part * values.size() / 3; k < (part + 1) * values.size() / 3; ++k)
        sum += values[k];
      EXPECT_GT(sum, 0.0) << part;
    }
  }
}
