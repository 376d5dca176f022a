#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <sstream>

#include "tests/routing/lake_model_fixture.h"

// Rain less transpiration on a closed lake whose cells lie in the strips of
// several processes: all cells stay wet, so the volume grows by 1.5 mm a
// cell and step and the level is (V + sum of bottoms) / cells. Rank 0's lake
// and every owner's ponding follow it alike on any number of processes; once
// built, rank 0 reads only its own rows of the lake grids.
TEST(LakeModelMpi, ALakeAcrossStripsBalancesAlikeOnAnyProcessCount) {
  LakeModelRun run("lake_mpi");
  const WorkingDirectory here(run.s.log.directory);
  ASSERT_EQ(run.s.build(), 0) << run.s.log.console.str();
  run.spoilOtherRows();
  for (const char* name : {"lake_codes", "zonegrid_soilmodel", "max_ponding_storage"})
    EXPECT_FALSE(run.registry[static_cast<std::size_t>(run.s.model->findGrid(name))].wholeOnRoot)
        << name;
  if (worldRank() == 0) {
    const GridRegistryEntry& e =
        run.registry[static_cast<std::size_t>(run.s.model->getPrecOnLakesIndex())];
    EXPECT_EQ(e.firstRow, run.ownFirst);
    EXPECT_EQ(e.lastRow, run.ownLast);
  }
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

// A former run writes its ponding before the last routing step sets the
// lake cells, so a warm start's cells lag behind the stored volume: after
// the state file every owner's ponding follows the volume of three steps of
// rain, not the lake's start of 20 m^3.
TEST(LakeModelMpi, AWarmStartFillsTheLakeCellsFromTheStoredVolume) {
  const std::string state = "lake.state";
  // The lakes set up and the state file read (mode 0: none).
  const auto start = [&](LakeModelRun& run, int readMode) {
    run.s.model->SetRunoffSource(run.s.flowControl > 0 && worldRank() == 0 ? run.s.runoffRows.data()
                                                                           : nullptr);
    run.s.model->InitLakeModel(0);
    if (worldRank() == 0) run.s.model->CheckInflowAbstractionLinks();
    run.s.model->ReadStorageContent(&state, readMode);
  };
  long n = 0;
  std::string stored;
  {
    LakeModelRun first("lake_state_first");
    const WorkingDirectory here(first.s.log.directory);
    ASSERT_EQ(first.s.build(), 0) << first.s.log.console.str();
    start(first, 0);
    first.s.model->setWriteStorageFlag(1);
    n = first.lakeCells();
    for (long k = 0; k < 3; ++k) {
      first.rainOnLake(1.5);
      first.step(k);
    }
    first.s.model->releaseModule();
    stored = first.s.context.outputDirectory;
  }
  LakeModelRun second("lake_state_second");
  const WorkingDirectory here(second.s.log.directory);
  second.s.context.inputDirectory = stored;
  ASSERT_EQ(second.s.build(), 0) << second.s.log.console.str();
  start(second, 1);
  second.s.model->restoreLakeCells(1);
  const double V = 20.0 + 3 * n * 1.5e-3;
  EXPECT_LT(second.pondingDeviation((V + second.bottomSum()) / static_cast<double>(n)), 1e-9);
  second.s.model->releaseModule();
}
