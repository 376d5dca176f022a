// The groundwater model under the unsaturated zone: the paths of the
// unsaturated zone that exist only with groundwater.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "lateral/gwflowclass.h"
#include "tests/soil/column_fixture.h"
#include "tests/soil/unsatzon_fixture.h"

namespace {

constexpr double nodataValue = -9999.0;

// The unsaturated zone's 4 x 3 catchment (cells of 100 m) with one aquifer
// layer of 10 m under its 1 m of soil.
struct CoupledRig {
  explicit CoupledRig(const std::string& name) : setup(name), uses(2), cd(setup.directory) {
    uses[1] = landuseOf("RootDist = 1; HReduDry = 3.45; TReduWet = 0.95; LimitReduWet = 0.5");
    setup.base.context.landuseTable = &uses;
    setup.base.addGrid("precipitation", uniform(2.0));
    setup.base.addGrid("MPIRegions", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nodataValue, nodataValue});
    setup.base.addGrid("MPIHelper", uniform(0.0));
    setup.base.addGrid("aquifer_thickness_1", uniform(10.0));
    setup.base.addGrid("gw_k_x_1", uniform(1e-4));
    setup.base.addGrid("gw_k_y_1", uniform(1e-4));
    setup.base.addGrid("gw_storage_coeff_1", uniform(0.2));
    setup.base.addGrid("gw_boundary_fix_h_1", {98.5, nodataValue, nodataValue, nodataValue,
                                               nodataValue, nodataValue, nodataValue, nodataValue,
                                               nodataValue, nodataValue, nodataValue, nodataValue});
    setup.base.addGrid("gw_boundary_fix_q_1", uniform(nodataValue));
    const std::string groundwater =
        "[groundwater_flow]\n1\n60\n1 method\n500\n1e-10\n1\n1\n0\n1\n0 "
        "0\ncp.txt\nheads.asc\n0\nfx.asc\n0\nfy.asc\n0\nbal.asc\n0\n";
    unsat = setup.build(setup.lines, unsatCode, groundwater);
    if (!unsat) return;
    unsat->setGroundwaterActive(true);
    groundwater_ = constructSubmodel<gwflowclass>(gwCode, setup.base.context);
    if (!groundwater_) return;
    groundwater_->setSubsteps(1);
    std::vector<TracerRecord> none(1);
    groundwater_->initTracers(tracerCode, 0, none, nullptr, 0);
    startCode = startRunoff(*unsat);
  }
  void step(long hour) {
    unsat->readGroundwaterHeads(2020, 6, 1, hour, 0);
    groundwater_->setStepDate(0, hour, 1, 6, 2020);
    unsat->computeTimeStep(0, hour, 1, 6, 2020);
    groundwater_->solveGroundwater();
    unsat->concentrateRunoff(0, hour, 1, 6, 2020);
    groundwater_->writeGroundwaterOutputs();
  }
  std::string log() const { return setup.base.log.console.str(); }

  UnsatzonSetup setup;
  std::vector<landuse_class> uses;
  WorkingDirectory cd;
  int unsatCode = -1, gwCode = -1, tracerCode = -1, startCode = -1;
  std::unique_ptr<TestUnsatzon> unsat;
  std::unique_ptr<gwflowclass> groundwater_;
};

// The head of layer 1 follows the unsaturated zone's water table at every
// sub-step, its storage change comes back as "baseflow" (m/s), and the
// exchange grids of the river are registered.
TEST(GroundwaterWithUnsaturatedZone, HeadsAndBaseflowPassBetweenThem) {
  CoupledRig rig("gw_unsat");
  ASSERT_EQ(rig.unsatCode, 0) << rig.log();
  ASSERT_EQ(rig.gwCode, 0) << rig.log();
  ASSERT_EQ(rig.tracerCode, 0) << rig.log();
  ASSERT_EQ(rig.startCode, 0) << rig.log();
  for (long hour = 0; hour < 3; ++hour) {
    rig.step(hour);
    const Grid h = rig.setup.grid("gw_head_1"), old = rig.setup.grid("gw_head_old_1");
    const Grid distance = rig.setup.grid("groundwater_distance");
    const Grid baseflow = rig.setup.grid("baseflow");
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        if (r == 3 && c > 2) continue;
        SCOPED_TRACE(std::to_string(hour) + ": " + std::to_string(r) + "," + std::to_string(c));
        if (r == 1 && c == 1) {
          EXPECT_EQ(h[r][c], 98.5);
          continue;
        }
        EXPECT_NEAR(old[r][c], 100.0 + distance[r][c], 1e-9);
        EXPECT_NEAR(baseflow[r][c], (old[r][c] - h[r][c]) * 0.2 / 3600.0, 1e-15);
      }
    // the fixed head drains the cells next to it
    EXPECT_GT(baseflow[1][2], 0.0);
  }
  EXPECT_NE(rig.setup.grid("river_infiltration"), nullptr);
  EXPECT_NE(rig.setup.grid("river_exfiltration"), nullptr);
}

// What layer 1 lost the soil owes on a grid of its own: the groundwater
// model adds each sub-step's loss to "groundwater_owed" (mm) and leaves
// "baseflow" the sub-step's rate, also where the soil could not pay; the
// soil drains what it owes in its next sub-step.
TEST(GroundwaterWithUnsaturatedZone, OwedWaterKeepsAGridOfItsOwn) {
  CoupledRig rig("gw_unsat_owed");
  ASSERT_EQ(rig.unsatCode, 0) << rig.log();
  ASSERT_EQ(rig.gwCode, 0) << rig.log();
  ASSERT_EQ(rig.tracerCode, 0) << rig.log();
  ASSERT_EQ(rig.startCode, 0) << rig.log();
  const Grid owed = rig.setup.grid("groundwater_owed");
  ASSERT_NE(owed, nullptr);
  const Grid baseflow = rig.setup.grid("baseflow");
  // Far more than the soil of cell (2, 2) holds: it stays owed.
  const double unpayable = 5000.0;
  for (long hour = 0; hour < 3; ++hour) {
    SCOPED_TRACE(hour);
    rig.unsat->readGroundwaterHeads(2020, 6, 1, hour, 0);
    rig.groundwater_->setStepDate(0, hour, 1, 6, 2020);
    if (hour == 1) owed[2][2] = unpayable;
    rig.unsat->computeTimeStep(0, hour, 1, 6, 2020);
    double left[4][5];
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) left[r][c] = owed[r][c];
    rig.groundwater_->solveGroundwater();
    const Grid h = rig.setup.grid("gw_head_1"), old = rig.setup.grid("gw_head_old_1");
    for (long r = 1; r <= 3; ++r)
      for (long c = 1; c <= 4; ++c) {
        if (r == 3 && c > 2) continue;
        SCOPED_TRACE(std::to_string(r) + "," + std::to_string(c));
        const double rate = (old[r][c] - h[r][c]) * 0.2 / 3600.0;
        EXPECT_NEAR(baseflow[r][c], rate, 1e-15);
        EXPECT_NEAR(owed[r][c], left[r][c] + rate * 3600.0 * 1000.0, 1e-9);
        // Every other cell paid all it owed in the soil's sub-step.
        if (r != 2 || c != 2 || hour == 0) {
          EXPECT_NEAR(left[r][c], 0.0, 1e-9);
        }
      }
    if (hour >= 1) {
      EXPECT_GT(left[2][2], 0.5 * unpayable);
      EXPECT_LT(left[2][2], unpayable);
    }
    rig.unsat->concentrateRunoff(0, hour, 1, 6, 2020);
    rig.groundwater_->writeGroundwaterOutputs();
  }
}

} // namespace
