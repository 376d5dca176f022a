#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <sstream>

#include "tests/routing/lake_model_fixture.h"

// Rain less transpiration on a closed lake whose cells lie in the strips of
// several processes: all cells stay wet, so the volume grows by 1.5 mm a
// cell and step and the level is (V + sum of bottoms) / cells. Rank 0's lake
// and every owner's ponding follow it alike on any number of processes.
TEST(LakeModelMpi, ALakeAcrossStripsBalancesAlikeOnAnyProcessCount) {
  LakeModelRun run("lake_mpi");
  const WorkingDirectory here(run.s.log.directory);
  ASSERT_EQ(run.s.build(), 0) << run.s.log.console.str();
  run.s.model->SetRunoffSource(run.s.flowControl > 0 && worldRank() == 0 ? run.s.runoffRows.data()
                                                                         : nullptr);
  run.s.model->InitLakeModel(0);
  const long n = run.lakeCells();
  long logged = 0;
  int lines = 0;
  for (const std::string& entry : run.s.log.entries())
    if (entry.find("lakeCellsPerMPIRank[") != std::string::npos) {
      logged += std::atol(entry.substr(entry.find("] ") + 2).c_str());
      ++lines;
    }
  // Only rank 0 writes the log.
  if (worldRank() == 0) {
    EXPECT_EQ(lines, worldSize());
    EXPECT_EQ(logged, n);
  }
  if (worldRank() == 0) run.s.model->CheckInflowAbstractionLinks();
  const auto level = [&](double V) { return (V + run.bottomSum()) / static_cast<double>(n); };
  EXPECT_LT(run.pondingDeviation(level(20.0)), 1e-9);
  for (long k = 0; k < 6; ++k) {
    run.rainOnLake(1.5);
    run.step(k);
    const double V = 20.0 + (k + 1) * n * 1.5e-3;
    if (worldRank() == 0) {
      const SP_class& lake = run.s.model->getElement(1).reservoir(1);
      EXPECT_NEAR(lake.getVolume(), V, 1e-9);
      EXPECT_NEAR(lake.term(SP_class::PREC).m3, n * 2e-3, 1e-12);
      EXPECT_NEAR(lake.term(SP_class::ETR).m3, n * 0.5e-3, 1e-12);
      EXPECT_EQ(lake.getArea(), static_cast<double>(n));
    }
    const double W = run.sharedLevel();
    EXPECT_NEAR(W, level(V), 1e-9);
    EXPECT_LT(run.pondingDeviation(W), 1e-6);
  }
  run.s.model->releaseModule();
}
