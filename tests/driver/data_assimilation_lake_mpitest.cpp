#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "driver/data_assimilation.h"
#include "tests/routing/lake_model_fixture.h"

// An observed level 0.5 m above the lake's: weight 1 takes it, weight 0.5
// half its volume (0.5 m over all cells); the owners' ponding shows the new
// level in the same step. A step without a record, or with -9999, changes
// nothing.
TEST(DataAssimilationMpi, LakeRulesMoveALakeToItsObservedLevel) {
  for (double weight : {1.0, 0.5}) {
    SCOPED_TRACE(weight);
    const std::string levels =
        std::filesystem::absolute(makeTestDirectory("lake_levels", true)).string() + "/levels.txt";
    LakeModelRun probe("lake_assimilation_probe");
    const long n = probe.lakeCells();
    const double level0 = (20.0 + probe.bottomSum()) / static_cast<double>(n);
    std::ostringstream table;
    table.precision(17);
    table << "YY MM DD HH W\n2001 1 1 1 " << level0 + 0.5 << "\n2001 1 1 2 -9999\n";
    if (worldRank() == 0) writeFile(levels, table.str());
    MPI_Barrier(MPI_COMM_WORLD);
    LakeModelRun run("lake_assimilation",
                     "[data_assimilation]\n1 flow control\n60 time interval\n1 rules\n"
                     "{kind = lake; reservoir = 1; file = " +
                         levels + "; column = 0; weight = " + std::to_string(weight) + ";}\n\n");
    const WorkingDirectory here(run.s.log.directory);
    ASSERT_EQ(run.s.build(), 0) << run.s.log.console.str();
    run.s.model->InitLakeModel(0);
    std::vector<SP_class*> reservoirs;
    if (worldRank() == 0) run.s.model->collectReservoirs(reservoirs);
    int code = 0;
    auto assimilation =
        constructSubmodel<data_assimilation>(code, run.s.context, &reservoirs, run.s.model.get());
    ASSERT_EQ(code, 0) << run.s.log.console.str();
    const double moved = 20.0 + weight * 0.5 * n;
    for (long hour : {0L, 1L, 2L}) {
      assimilation->step(0, hour, 1, 1, 2001);
      const double V = hour == 0 ? 20.0 : moved;
      const double W = run.sharedLevel();
      EXPECT_NEAR(W, (V + probe.bottomSum()) / static_cast<double>(n), 1e-9) << hour;
      EXPECT_LT(run.pondingDeviation(W), 1e-6) << hour;
      if (worldRank() == 0) {
        EXPECT_NEAR(reservoirs[0]->getVolume(), V, 1e-9) << hour;
      }
    }
    run.s.model->releaseModule();
  }
}
