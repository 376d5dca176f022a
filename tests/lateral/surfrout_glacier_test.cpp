// Overland flow over cells wholly under a glacier, which have no soil
// column: the unsaturated zone hands the water on the land back to surface
// routing in every sub-step.
#include <gtest/gtest.h>

#include <string>

#include "tests/lateral/surfrout_fixture.h"
#include "tests/soil/column_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

constexpr double nodataValue = -9999.0;

// The unsaturated zone's 4 x 3 catchment of 100 m cells, all under a
// glacier, falling towards its river cell (3, 1) in the lower left corner;
// the water brought onto the land lies on it at the start.
struct GlacierPlane {
  explicit GlacierPlane(const std::string& name) : setup(name), uses(2), cd(setup.directory) {
    uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5; "
                        "SR_K_ST = 10;");
    setup.base.context.landuseTable = &uses;
    setup.base.addGrid("precipitation", uniform(0.0));
    setup.base.addGrid("ice_firn", uniform(1.0));
    setup.base.addGrid("MPIRegions", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nodataValue, nodataValue});
    setup.base.addGrid("river_links", uniform(0.0));
    std::vector<double> river(12, nodataValue);
    river[8] = 1.0;
    setup.base.addGrid("river_depth", river);
    setup.base.addGrid("river_width", river);
    Grid z = setup.grid("[elevation_model]");
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c)
        if (z[r][c] != nodataValue) z[r][c] = 100.0 + 5.0 * static_cast<double>(c - r);
    unsat = setup.build(setup.lines, unsatCode, surfroutSection(surfroutLines()));
    if (!unsat) return;
    unsat->setSubsteps(2);
    startCode = startRunoff(*unsat);
    routing = constructSubmodel<TestSurfaceRouting>(routingCode, setup.base.context, 2u);
    if (routing) routingStart = startRouting(*routing, baseflow, constants);
  }
  // One hour of two sub-steps; returns the direct flow reaching the river.
  double step(long hour) {
    double reached = 0.0;
    routing->startStep(0, hour, 1, 6, 2020);
    for (int k = 0; k < 2; ++k) {
      unsat->computeTimeStep(0, hour, 1, 6, 2020);
      routing->routeSubstep(0, hour, 1, 6, 2020);
      reached += setup.grid("directflow")[3][1];
    }
    routing->endStep();
    return reached;
  }
  std::string log() const { return setup.base.log.console.str(); }

  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  surfaceroutingclass::RunoffArrays baseflow{1, std::vector<double>(9, 0.0)};
  std::vector<double> constants = std::vector<double>(9, 60.0);
  int unsatCode = -1, startCode = -1, routingCode = -1, routingStart = -1;
  std::unique_ptr<TestUnsatzon> unsat;
  std::unique_ptr<TestSurfaceRouting> routing;
};

// Whatever lies on the glacier runs on to the river and leaves there once:
// what reached it and what is still on the land always add up to the
// water there was, and a dry glacier passes nothing on.
TEST(SurfaceRoutingOverGlaciers, WaterOnTheIceIsNeitherLostNorCountedTwice) {
  struct Case {
    const char* what;
    std::vector<double> water; // mm on the land at the start, row by row
  };
  const Case cases[] = {
      {"dry", std::vector<double>(12, 0.0)},
      {"on the upper cells", {4, 7, 2, 9, 3, 0, 5, 1, 0, 0, 0, 0}},
      {"on the river cell alone", {0, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GlacierPlane plane("surfrout_glacier");
    ASSERT_EQ(plane.unsatCode, 0) << plane.log();
    ASSERT_EQ(plane.startCode, 0) << plane.log();
    ASSERT_EQ(plane.routingCode, 0) << plane.log();
    ASSERT_EQ(plane.routingStart, 0) << plane.log();
    Grid land = plane.setup.grid("SurfStorSiltingUp");
    double total = 0.0;
    for (long r = 1; r <= 3; ++r)
      for (long col = 1; col <= 4; ++col)
        if (land[r][col] != nodataValue) {
          land[r][col] = c.water[static_cast<size_t>((r - 1) * 4 + col - 1)];
          total += land[r][col];
        }
    double reached = 0.0;
    for (long hour = 0; hour < 3; ++hour) {
      reached += plane.step(hour);
      double left = 0.0;
      for (long r = 1; r <= 3; ++r)
        for (long col = 1; col <= 4; ++col)
          if (land[r][col] != nodataValue) left += land[r][col];
      EXPECT_NEAR(reached + left, total, 1e-9) << "hour " << hour;
    }
    EXPECT_EQ(reached > 0.0, total > 0.0);
    plane.routing->teardown(false);
  }
}

} // namespace
